// Export files of the raw buffer: the queue drained into one file and read
// back. Format (docs/formats.md): signature "ZRPAW\n" 0x0E 0xB0; per entry its
// length (4, big-endian, 1..kMaxExportEntry) and payload; then the end record:
// 0xFFFFFFFF, the entry count (8) and the CRC-32 (4) of every byte before the
// end record. The file ends there.
//
// Why an end record: a file cut at an entry boundary (a crash, a power cut, a
// full disk) used to read as a complete export, a silent gap in the journal.
// Files written before it ("ZRPAW\n" 0x0E 0xAF, entries up to the end of the
// file) are still imported: they hold the only copy of the journal of an
// outage spanning an upgrade, and refusing them would drop it all. Their
// completeness cannot be proven, so importing one logs an error-level warning
// (a smart-sync scan makes up for a cut). A file with the new signature is
// never taken without its end record, whatever its length.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "FLR/JxException.h"
#include "FlrRawBuffer.h"
#include "digest/Jxc.h"
#include "platform/JxCoding.h"
#include "platform/JxFile.h"
#include "platform/JxIO.h"

namespace {

constexpr const char* kExportSource = "FlrRawBuffer";
constexpr const char* kExportWhat = "export file";
constexpr const char* kImport = "FlrRawBuffer::importFromFile";
constexpr const char* kExport = "FlrRawBuffer::exportToFile";
constexpr const char* kExportEmptyEntry =
    "NULL or empty journal entry passed to FlrRawBuffer::addEntry()";

[[noreturn]] void throwUnexpectedEof(int line) {
    throw JxException("readAll",
                      std::string("Failed to read data from ") + kExportWhat + ": Unexpected EOF.",
                      kExportSource, line, -1);
}

// Errors read as the raw buffer's own, whichever of its sources throws.
#define RB_THROW(function, message) \
    throw JxException((function), (message), kExportSource, __LINE__, -1)
#define RB_THROW_ERRNO(function, message, err)                                           \
    do {                                                                                 \
        const int rbErr_ = (err);                                                        \
        throw JxException((function), std::string(message) + ": " + jxErrnoText(rbErr_), \
                          kExportSource, __LINE__, rbErr_);                              \
    } while (0)

[[noreturn]] void throwCorrupt(const std::string& name, const std::string& why) {
    RB_THROW(kImport, "Export file " + name + " is corrupt: " + why);
}

}  // namespace

const unsigned char FlrRawBuffer::kExportSignature[8] = {'Z', 'R', 'P', 'A', 'W', '\n', 0x0E, 0xB0};
const unsigned char FlrRawBuffer::kLegacyExportSignature[8] = {'Z', 'R',  'P',  'A',
                                                               'W', '\n', 0x0E, 0xAF};

// Entries written and the CRC-32 register over every byte written.
struct FlrRawBuffer::ExportTally {
    uint64_t count = 0;
    uint32_t crc = 0xFFFFFFFFu;
    void add(const void* data, size_t len) { crc = jx_crc32(crc, data, len); }
    uint32_t checksum() const { return ~crc; }
};

// The bytes of an export file, read twice: once to validate, once to queue.
// A regular file is rewound by seeking; anything else (a pipe) is read into
// memory first, so it too is validated before anything is queued.
class FlrRawBuffer::ExportSource {
  public:
    explicit ExportSource(int fd) : fd_(fd) {
        struct stat st {};
        if (jx::fileOps().fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return;
        inMemory_ = true;
        char buf[65536];
        for (;;) {
            const long n = jx::readUpTo(fd, buf, sizeof buf);
            if (n < 0) RB_THROW_ERRNO("readAll", "Failed to read data from export file", errno);
            if (n == 0) break;
            bytes_.append(buf, static_cast<size_t>(n));
            if (static_cast<size_t>(n) < sizeof buf) break;
        }
    }

    // As jx::readAll: len, or 0 at a clean end of file when !eofIsError.
    int read(void* buf, size_t len, bool eofIsError) {
        if (!inMemory_) return jx::readAll(fd_, buf, len, eofIsError, kExportWhat, kExportSource);
        if (pos_ == bytes_.size() && !eofIsError) return 0;
        if (bytes_.size() - pos_ < len) throwUnexpectedEof(__LINE__);
        std::memcpy(buf, bytes_.data() + pos_, len);
        pos_ += len;
        return static_cast<int>(len);
    }

    void rewind() {
        pos_ = 0;
        if (!inMemory_ && jx::fileOps().lseek(fd_, 0, SEEK_SET) < 0)
            RB_THROW_ERRNO(kImport, "Failed to read export file", errno);
    }

  private:
    int fd_;
    bool inMemory_ = false;
    std::string bytes_;
    size_t pos_ = 0;
};

// --- export ---------------------------------------------------------------------

void FlrRawBuffer::exportToFile(const char* path) {
    const std::string name = path ? path : "";
    // A device or a pipe is written in place; a file is replaced atomically,
    // so a crash leaves the previous file or the whole export, never a cut one.
    struct stat st {};
    const bool inPlace = jx::fileOps().stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
    std::optional<jx::AtomicFile> atomic;
    jx::File direct;
    int fd = -1;
    try {
        if (inPlace) {
            direct = jx::openFile(name, O_WRONLY);
            if (!direct) throw JxException("open", "", kExportSource, __LINE__, errno);
            fd = direct.get();
        } else {
            atomic.emplace(name, 0600, kExportWhat, kExportSource);
            fd = atomic->fd();
        }
    } catch (const JxException& e) {
        RB_THROW_ERRNO(kExport, "Failed to open export file " + name + " for writing", e.getCode());
    }
    char* work = nullptr;
    int workCap = 0;
    try {
        ExportTally tally;
        jx::writeAll(fd, kExportSignature, sizeof kExportSignature, kExportWhat, kExportSource);
        tally.add(kExportSignature, sizeof kExportSignature);
        JxMonitorLock lock(monitor);
        writeExport(fd, work, workCap, tally);
        unsigned char end[kExportEndRecord];
        jx::storeBE32(end, kExportEndMarker);
        jx::storeBE64(end + 4, tally.count);
        jx::storeBE32(end + 12, tally.checksum());
        jx::writeAll(fd, end, sizeof end, kExportWhat, kExportSource);
        if (atomic) {
            atomic->commit();
        } else {
            if (jx::fileOps().fsync(fd) != 0 && errno != EINVAL)
                RB_THROW_ERRNO(kExport, "Failed to write export file " + name, errno);
            if (direct.close() != 0)
                RB_THROW_ERRNO(kExport, "Failed to write export file " + name, errno);
        }
        // Only now that every entry is safely in the file may the queue go.
        cleanQueue();
        closeSwap();
        monitor.broadcast();
    } catch (const JxException& e) {
        std::free(work);
        // The temporary file goes with `atomic`; the previous file stays.
        if (e.getFunction().rfind("AtomicFile::", 0) == 0)
            throw JxException(kExport, e.getMessage(), kExportSource, e.getLine(), e.getCode());
        throw;
    } catch (...) {
        std::free(work);
        throw;
    }
    std::free(work);
}

void FlrRawBuffer::writeExport(int fd, char*& work, int& workCap, ExportTally& tally) {
    forEachQueued(work, workCap, kExport, [&](char* payload, int len) {
        unsigned char beLen[4];
        jx::storeBE32(beLen, static_cast<uint32_t>(len));
        tally.add(beLen, sizeof beLen);
        tally.add(payload, static_cast<size_t>(len));
        ++tally.count;
        iovec iov[2] = {{beLen, sizeof beLen}, {payload, static_cast<size_t>(len)}};
        jx::writevAll(fd, iov, 2, kExportWhat, kExportSource);
    });
}

// --- import ---------------------------------------------------------------------

void FlrRawBuffer::importFromFile(const char* path) {
    const std::string name = path ? path : "";
    jx::File file = jx::openFile(name, O_RDONLY);
    if (!file)
        RB_THROW_ERRNO(kImport, "Failed to open export file " + name + " for reading", errno);
    ExportSource src(file.get());
    bool legacy = false;
    const uint64_t count = validateExport(src, name, legacy);
    if (legacy)
        Error(kImport,
              "Export file %s has the format of an earlier version, without an end record: "
              "importing its %llu entries, but that none is missing after them cannot be "
              "proven; a smart-sync scan makes up for a cut file.",
              name.c_str(), static_cast<unsigned long long>(count));
    queueExport(src, count);
}

// Reads the whole file before anything is queued, so that a damaged or cut
// file is refused whole instead of half imported. Returns the entry count.
uint64_t FlrRawBuffer::validateExport(ExportSource& src, const std::string& name, bool& legacy) {
    unsigned char sig[sizeof kExportSignature];
    src.read(sig, sizeof sig, true);
    legacy = std::memcmp(sig, kLegacyExportSignature, sizeof sig) == 0;
    if (!legacy && std::memcmp(sig, kExportSignature, sizeof sig) != 0)
        throwCorrupt(name, "invalid signature.");
    ExportTally tally;
    tally.add(sig, sizeof sig);
    std::string work;
    for (;;) {
        unsigned char beLen[4];
        if (src.read(beLen, sizeof beLen, false) == 0) {
            if (legacy) return tally.count;
            throwCorrupt(name, "the end record is missing, the file is cut short.");
        }
        const uint32_t len = jx::loadBE32(beLen);
        if (!legacy && len == kExportEndMarker) break;
        if (len > kMaxExportEntry) throwCorrupt(name, "invalid entry size encountered.");
        if (len == 0) RB_THROW("FlrRawBuffer::addEntry", kExportEmptyEntry);
        checkFits(len);
        work.resize(len);
        src.read(work.data(), len, true);
        tally.add(beLen, sizeof beLen);
        tally.add(work.data(), len);
        ++tally.count;
    }
    unsigned char end[kExportEndRecord - 4];
    src.read(end, sizeof end, true);
    const uint64_t count = jx::loadBE64(end);
    if (count != tally.count)
        throwCorrupt(name, jxFormat("the end record counts %llu entries, the file holds %llu.",
                                    static_cast<unsigned long long>(count),
                                    static_cast<unsigned long long>(tally.count)));
    if (jx::loadBE32(end + 8) != tally.checksum()) throwCorrupt(name, "checksum mismatch.");
    char extra;
    if (src.read(&extra, 1, false) != 0) throwCorrupt(name, "data follows the end record.");
    return count;
}

void FlrRawBuffer::queueExport(ExportSource& src, uint64_t count) {
    src.rewind();
    unsigned char sig[sizeof kExportSignature];
    src.read(sig, sizeof sig, true);
    std::string work;
    for (uint64_t i = 0; i < count; ++i) {
        unsigned char beLen[4];
        src.read(beLen, sizeof beLen, true);
        work.resize(jx::loadBE32(beLen));
        src.read(work.data(), work.size(), true);
        addEntry(work.data(), static_cast<int>(work.size()));
    }
}

// The library may be compiled in batches of sources: the macros end with this file.
#undef RB_THROW
#undef RB_THROW_ERRNO
