// flr cache ls|verify|dump: what a rolling-cache directory holds, whether
// every file is sound, and the entries themselves.
//
// The commands read the files directly and take no lock, so they never hold
// up a live writer: a file the writer deletes meanwhile is reported as gone,
// and the record the writer is appending to the newest file as incomplete.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "Commands.h"
#include "FLR/FlrRawJournal.h"
#include "FLR/FlrRolCacheBase.h"
#include "FLR/FlrRolCacheSum.h"
#include "FLR/platform/JxException.h"
#include "FLR/platform/JxIO.h"
#include "FLR/platform/JxUtf.h"

namespace {

using Base = FlrRolCacheBase;

struct CacheFile {
    uint64_t seq;
    std::string name;
};

struct Listing {
    std::vector<CacheFile> files;     // ascending
    std::vector<std::string> strays;  // "cache." names the cache never writes
};

Listing listCacheDir(const std::string& dir) {
    DIR* d = opendir_utf(dir.c_str());
    if (!d) JX_THROW_ERRNO("flr cache", "Failed to open directory " + dir, errno);
    Listing out;
    JxBuffer entryBuf;
    for (;;) {
        struct dirent* ent = nullptr;
        const int err = readdir_r_utf(d, entryBuf, &ent);
        if (err != 0) {
            ::closedir(d);
            JX_THROW_ERRNO("flr cache", "Failed to read directory " + dir, err);
        }
        if (!ent) break;
        if (std::strncmp(ent->d_name, "cache.", 6) != 0) continue;
        uint64_t seq = 0;
        const std::string name = ent->d_name;
        if (Base::parseCacheFileName(name.c_str(), seq))
            out.files.push_back({seq, name});
        else if (!FlrRolCacheSum::isSumFileName(name))
            out.strays.push_back(name);
    }
    ::closedir(d);
    std::sort(out.files.begin(), out.files.end(),
              [](const CacheFile& a, const CacheFile& b) { return a.seq < b.seq; });
    std::sort(out.strays.begin(), out.strays.end());
    return out;
}

// Reads a whole file, or one byte more than any cache file may hold. False
// when the file is gone.
bool readWhole(const std::string& path, std::vector<unsigned char>& data) {
    const int fd = open_utf(path.c_str(), O_RDONLY);
    if (fd < 0) {
        if (errno == ENOENT) return false;
        JX_THROW_ERRNO("flr cache", "Failed to open " + path + " for reading", errno);
    }
    data.resize(static_cast<size_t>(Base::kMaxFileSize) + 1);
    const long n = jx::readUpTo(fd, data.data(), data.size());
    const int err = errno;
    ::close(fd);
    if (n < 0) JX_THROW_ERRNO("flr cache", "Failed to read " + path, err);
    data.resize(static_cast<size_t>(n));
    return true;
}

enum class Outcome { kSound, kGone, kIncomplete, kDamaged };

struct FileCheck {
    Outcome outcome = Outcome::kSound;
    uint64_t first = 0, last = 0, entries = 0;
    long long size = 0;
    long long offset = 0;  // of the damaged or incomplete record
    std::string why;
};

// A payload is taken for a raw journal record when its header says so
// twice over: its length is the entry's, or its sequence number is. Such a
// record must then decode and carry the entry's number and length, which
// finds most damage inside journal payloads; other payloads are opaque.
bool journalDamage(const unsigned char* p, int len, uint64_t seq, std::string& why) {
    FlrJrnHeader hdr{};
    if (decodeRawHdr(p, static_cast<size_t>(len), &hdr, nullptr) != 0) return false;
    if (hdr.rec_len != static_cast<uint32_t>(len) && hdr.seq_num != seq) return false;
    FlrJrnCommand cmd{};
    std::string reason;
    if (decodeRawCmd(p, static_cast<size_t>(len), &cmd, &reason) != 0) {
        why = "journal record does not decode: " + reason;
        return true;
    }
    if (hdr.rec_len != static_cast<uint32_t>(len)) {
        why = jxFormat("journal record of %u bytes in an entry of %d bytes", hdr.rec_len, len);
        return true;
    }
    if (hdr.seq_num != seq) {
        why = jxFormat("journal record carries sequence number %llu",
                       static_cast<unsigned long long>(hdr.seq_num));
        return true;
    }
    return false;
}

using Visitor =
    std::function<bool(uint64_t seq, long long offset, const unsigned char* p, int len)>;

struct CheckOptions {
    bool newest = false;   // the writer may be appending to it
    bool journal = false;  // check journal payloads
};

// Walks the records of one cache file, checking everything the format lets
// one check; prev is the number before the file and becomes its last.
// visit may stop the walk by returning false.
FileCheck checkFile(const std::vector<unsigned char>& data, uint64_t nameSeq, CheckOptions opt,
                    uint64_t& prev, const Visitor& visit) {
    FileCheck fc;
    fc.size = static_cast<long long>(data.size());
    auto damaged = [&](long long off, std::string why) {
        fc.outcome = Outcome::kDamaged;
        fc.offset = off;
        fc.why = std::move(why);
        return fc;
    };
    auto incomplete = [&](long long off, std::string why) {
        fc.outcome = Outcome::kIncomplete;
        fc.offset = off;
        fc.why = std::move(why);
        return fc;
    };
    if (fc.size > Base::kMaxFileSize)
        return damaged(0, jxFormat("file is larger than %d bytes", Base::kMaxFileSize));
    const size_t sigLen = std::min<size_t>(data.size(), Base::kSigSize);
    if (sigLen > 0 && std::memcmp(data.data(), Base::sig, sigLen) != 0)
        return damaged(0, "invalid signature");
    if (fc.size <= Base::kSigSize) {
        if (opt.newest) return incomplete(0, "the file holds no entry yet");
        return damaged(0, jxFormat("file is only %lld bytes long", fc.size));
    }
    long long off = Base::kSigSize;
    while (off < fc.size) {
        const long long remain = fc.size - off;
        const unsigned char* p = data.data() + off;
        unsigned char hdr[Base::kRecordHeaderSize] = {};
        std::memcpy(hdr, p, static_cast<size_t>(std::min<long long>(remain, sizeof(hdr))));
        uint64_t seq = 0;
        int32_t len = 0;
        Base::decodeRecordHeader(hdr, seq, len);
        if (remain >= 8) {
            if (seq == 0) return damaged(off, "sequence number 0");
            if (seq <= prev)
                return damaged(off, jxFormat("sequence number %llu does not follow %llu",
                                             static_cast<unsigned long long>(seq),
                                             static_cast<unsigned long long>(prev)));
            if (fc.entries == 0 && seq != nameSeq)
                return damaged(off, jxFormat("first entry %llu does not match the file name",
                                             static_cast<unsigned long long>(seq)));
        }
        if (remain < Base::kRecordHeaderSize) {
            const std::string why = jxFormat("%lld bytes of a record header", remain);
            return opt.newest ? incomplete(off, why) : damaged(off, why);
        }
        if (len < 1 || len > Base::kMaxRecordLen)
            return damaged(off, jxFormat("invalid record length %d", len));
        if (len > remain - Base::kRecordHeaderSize) {
            const std::string why =
                jxFormat("record of %d bytes has only %lld", len, remain - Base::kRecordHeaderSize);
            return opt.newest ? incomplete(off, why) : damaged(off, why);
        }
        const unsigned char* payload = p + Base::kRecordHeaderSize;
        std::string why;
        if (opt.journal && journalDamage(payload, len, seq, why)) return damaged(off, why);
        if (fc.entries == 0) fc.first = seq;
        fc.last = seq;
        ++fc.entries;
        prev = seq;
        if (visit && !visit(seq, off, payload, len)) return fc;
        off += Base::kRecordHeaderSize + len;
    }
    return fc;
}

std::string noteOf(const FileCheck& fc) {
    switch (fc.outcome) {
        case Outcome::kGone:
            return "deleted while reading (rolled off by the writer)";
        case Outcome::kIncomplete:
            return jxFormat(
                "incomplete final record at offset %lld (%s): being appended, or "
                "left by a writer that stopped; cut off when the cache is next opened",
                fc.offset, fc.why.c_str());
        case Outcome::kDamaged:
            return jxFormat("damaged record at offset %lld: %s", fc.offset, fc.why.c_str());
        case Outcome::kSound:
            break;
    }
    return "";
}

// A file closed by its writer has block checksums beside it: they find what
// the record structure cannot, a changed byte inside a payload.
void checkSums(const std::string& path, const std::vector<unsigned char>& data, FileCheck& fc) {
    uint64_t size = 0;
    std::vector<uint32_t> blocks;
    if (!FlrRolCacheSum::load(path, size, blocks)) return;
    if (size != data.size()) {
        fc.outcome = Outcome::kDamaged;
        fc.offset = static_cast<long long>(std::min<uint64_t>(size, data.size()));
        fc.why = jxFormat("file is %zu bytes long but was closed at %llu bytes", data.size(),
                          static_cast<unsigned long long>(size));
        return;
    }
    const long long bad = FlrRolCacheSum::firstBadBlock(data.data(), data.size(), blocks);
    if (bad < 0) return;
    const long long from = bad * FlrRolCacheSum::kBlockSize;
    const long long to = std::min<long long>(from + FlrRolCacheSum::kBlockSize, fc.size) - 1;
    // The first record that overlaps the damaged block; the structure is sound,
    // so the walk by lengths is safe.
    long long off = Base::kSigSize, recordOff = Base::kSigSize;
    while (off < fc.size) {
        uint64_t seq = 0;
        int32_t len = 0;
        Base::decodeRecordHeader(data.data() + off, seq, len);
        const long long end = off + Base::kRecordHeaderSize + len;
        recordOff = off;
        if (end > from) break;
        off = end;
    }
    fc.outcome = Outcome::kDamaged;
    fc.offset = recordOff;
    fc.why =
        jxFormat("content does not match the file's checksums (bytes %lld-%lld changed)", from, to);
}

struct Walk {
    std::string dir;
    Listing listing;
    std::vector<unsigned char> data;  // reused for every file
    uint64_t prev = 0;
};

FileCheck checkOne(Walk& w, size_t i, CheckOptions opt, const Visitor& visit) {
    const CacheFile& f = w.listing.files[i];
    opt.newest = i + 1 == w.listing.files.size();
    if (!readWhole(w.dir + "/" + f.name, w.data)) {
        FileCheck gone;
        gone.outcome = Outcome::kGone;
        return gone;
    }
    FileCheck fc = checkFile(w.data, f.seq, opt, w.prev, visit);
    if (fc.outcome == Outcome::kSound) checkSums(w.dir + "/" + f.name, w.data, fc);
    return fc;
}

void runLs(const std::string& dir) {
    Walk w{dir, listCacheDir(dir), {}, 0};
    std::printf("%-26s %20s %20s %9s %12s\n", "FILE", "FIRST", "LAST", "ENTRIES", "BYTES");
    uint64_t entries = 0;
    long long bytes = 0;
    bool bad = false;
    for (size_t i = 0; i < w.listing.files.size(); ++i) {
        const FileCheck fc = checkOne(w, i, {}, nullptr);
        std::printf("%-26s %20llu %20llu %9llu %12lld", w.listing.files[i].name.c_str(),
                    static_cast<unsigned long long>(fc.first),
                    static_cast<unsigned long long>(fc.last),
                    static_cast<unsigned long long>(fc.entries), fc.size);
        if (fc.outcome != Outcome::kSound) std::printf("  %s", noteOf(fc).c_str());
        std::printf("\n");
        bad = bad || fc.outcome == Outcome::kDamaged;
        entries += fc.entries;
        bytes += fc.size;
    }
    for (const auto& s : w.listing.strays)
        std::printf("%-26s (not a cache file name)\n", s.c_str());
    std::printf("%zu files, %llu entries, %lld bytes\n", w.listing.files.size(),
                static_cast<unsigned long long>(entries), bytes);
    if (bad) {
        std::fflush(stdout);
        std::fprintf(stderr, "flr: %s holds damaged files; see flr cache verify\n", dir.c_str());
        throw ExitCode{1};
    }
}

void runVerify(const std::string& dir) {
    Walk w{dir, listCacheDir(dir), {}, 0};
    CheckOptions opt;
    opt.journal = true;
    uint64_t entries = 0;
    int damaged = 0;
    for (size_t i = 0; i < w.listing.files.size(); ++i) {
        const FileCheck fc = checkOne(w, i, opt, nullptr);
        entries += fc.entries;
        if (fc.outcome == Outcome::kSound) continue;
        std::printf("%s/%s: %s\n", dir.c_str(), w.listing.files[i].name.c_str(),
                    noteOf(fc).c_str());
        if (fc.outcome == Outcome::kDamaged) ++damaged;
    }
    for (const auto& s : w.listing.strays)
        std::printf("%s/%s: not a cache file name; readers ignore it\n", dir.c_str(), s.c_str());
    std::printf("%zu files, %llu entries: %s\n", w.listing.files.size(),
                static_cast<unsigned long long>(entries),
                damaged == 0 ? "sound" : jxFormat("%d damaged", damaged).c_str());
    if (damaged) throw ExitCode{1};
}

void printHex(const unsigned char* p, int len) {
    constexpr int kShown = 256;
    const int n = std::min(len, kShown);
    for (int row = 0; row < n; row += 16) {
        std::printf("  %04x ", row);
        for (int i = row; i < row + 16; ++i) {
            if (i < n)
                std::printf(" %02x", p[i]);
            else
                std::printf("   ");
        }
        std::printf("  |");
        for (int i = row; i < row + 16 && i < n; ++i)
            std::putchar(p[i] >= 0x20 && p[i] < 0x7f ? p[i] : '.');
        std::printf("|\n");
    }
    if (len > n) std::printf("  ... %d more bytes\n", len - n);
}

void runDump(const std::string& dir, uint64_t from, long long count) {
    Walk w{dir, listCacheDir(dir), {}, 0};
    // The last file starting at or below from; earlier files hold nothing wanted.
    size_t start = 0;
    for (size_t i = 0; i < w.listing.files.size(); ++i)
        if (w.listing.files[i].seq <= from) start = i;
    if (start > 0) w.prev = w.listing.files[start].seq - 1;
    std::vector<char> text(65536);
    long long shown = 0;
    std::string why;
    for (size_t i = start; i < w.listing.files.size() && (count < 0 || shown < count); ++i) {
        const std::string& name = w.listing.files[i].name;
        auto show = [&](uint64_t seq, long long off, const unsigned char* p, int len) {
            if (seq < from) return true;
            std::printf("entry %llu (%s, offset %lld, %d bytes)\n",
                        static_cast<unsigned long long>(seq), name.c_str(), off, len);
            FlrJrnCommand cmd{};
            why.clear();
            if (decodeRawCmd(p, static_cast<size_t>(len), &cmd, &why) == 0) {
                printRawCmd(text.data(), text.size(), &cmd);
                std::printf("%s\n", text.data());
            } else {
                std::printf("  (not a raw journal record: %s)\n", why.c_str());
                printHex(p, len);
            }
            return count < 0 || ++shown < count;
        };
        const FileCheck fc = checkOne(w, i, {}, show);
        if (fc.outcome == Outcome::kSound) continue;
        std::fflush(stdout);
        std::fprintf(stderr, "flr: %s/%s: %s\n", dir.c_str(), name.c_str(), noteOf(fc).c_str());
        if (fc.outcome == Outcome::kDamaged) throw ExitCode{1};
    }
}

}  // namespace

void addCacheCommands(CLI::App& app) {
    auto* cache = app.add_subcommand("cache", "Inspect a rolling-cache directory");
    cache->require_subcommand(1);
    static std::string dir;
    static uint64_t from = 0;
    static long long count = -1;

    auto* ls = cache->add_subcommand("ls", "List the cache files: numbers, entries, bytes");
    ls->add_option("DIR", dir, "Cache directory")->required();
    ls->callback([] { runLs(dir); });

    auto* verify = cache->add_subcommand(
        "verify",
        "Check every cache file record by record; report the first damaged record of each "
        "file (exit 1 on damage)");
    verify->add_option("DIR", dir, "Cache directory")->required();
    verify->callback([] { runVerify(dir); });

    auto* dump =
        cache->add_subcommand("dump", "Print entries, decoding those that are raw journal records");
    dump->add_option("DIR", dir, "Cache directory")->required();
    dump->add_option("--from", from, "First sequence number to show (default: the oldest)");
    dump->add_option("--count", count, "Number of entries to show (default: all)")
        ->check(CLI::PositiveNumber);
    dump->callback([] { runDump(dir, from, count); });
}
