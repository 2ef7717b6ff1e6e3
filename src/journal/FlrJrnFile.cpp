#include "FLR/FlrJrnFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "FLR/platform/JxCoding.h"
#include "FLR/platform/JxException.h"
#include "FLR/platform/JxIO.h"

// --- reading ---------------------------------------------------------------------

FlrJrnFileReader::FlrJrnFileReader(const std::string& path, FlrJrnForm form, const char* function)
    : form_(form), function_(function) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) JX_THROW_ERRNO(function, "Failed to open " + path + " for reading", errno);
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        const int err = errno;
        ::close(fd);
        JX_THROW_ERRNO(function, "Failed to stat " + path, err);
    }
    size_ = static_cast<size_t>(st.st_size);
    if (size_ > 0) {
        void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd, 0);
        if (p == MAP_FAILED) {
            const int err = errno;
            ::close(fd);
            JX_THROW_ERRNO(function, "Failed to map " + path, err);
        }
        data_ = static_cast<const uint8_t*>(p);
        mapped_ = true;
    }
    ::close(fd);
}

FlrJrnFileReader::FlrJrnFileReader(const void* data, size_t size, FlrJrnForm form,
                                   const char* function)
    : data_(static_cast<const uint8_t*>(data)), size_(size), form_(form), function_(function) {}

FlrJrnFileReader::~FlrJrnFileReader() {
    if (mapped_) ::munmap(const_cast<uint8_t*>(data_), size_);
}

void FlrJrnFileReader::badRecord(size_t offset, const std::string& why) const {
    JX_THROW(function_, jxFormat("bad record at byte offset %zu: %s", offset, why.c_str()));
}

void FlrJrnFileReader::expectForm(FlrJrnForm form) const {
    if (form != form_) {
        JX_THROW(function_, form_ == FlrJrnForm::Raw ? "the journal file holds raw records"
                                                     : "the journal file holds network records");
    }
}

// Steps past the record last returned; true when none is left.
bool FlrJrnFileReader::atEnd() {
    offset_ += length_;
    length_ = 0;
    return offset_ >= size_;
}

bool FlrJrnFileReader::next(FlrJrnCommand& cmd) {
    expectForm(FlrJrnForm::Raw);
    if (atEnd()) return false;
    std::string why;
    if (decodeRawCmd(data_ + offset_, size_ - offset_, &cmd, &why) != 0) badRecord(offset_, why);
    // The checked decoder has seen rec_len within the bytes left.
    length_ = jx::loadBE24(data_ + offset_ + 1);
    return true;
}

bool FlrJrnFileReader::next(FlrJrnCommandNet& cmd) {
    expectForm(FlrJrnForm::Net);
    if (atEnd()) return false;
    try {
        decodeNetCmd(data_ + offset_, size_ - offset_, &cmd);
    } catch (const JxException& e) {
        badRecord(offset_, e.getMessage());
    }
    length_ = jx::loadBE24(data_ + offset_ + 1);
    return true;
}

size_t FlrJrnFileStats::totalRecords() const {
    size_t n = 0;
    for (size_t r : records) n += r;
    return n;
}

size_t FlrJrnFileStats::totalBytes() const {
    size_t n = 0;
    for (size_t b : bytes) n += b;
    return n;
}

namespace {

template <class Command>
void countRecords(FlrJrnFileReader& in, FlrJrnFileStats& stats) {
    Command cmd;
    while (in.next(cmd)) {
        ++stats.records[cmd.cmd];
        stats.bytes[cmd.cmd] += in.length();
    }
}

}  // namespace

FlrJrnFileStats countJournalFile(FlrJrnFileReader& in) {
    // Decoded codes are at most FLR_JRN_MAX_CODE: the checked decoders refuse others.
    FlrJrnFileStats stats;
    in.rewind();
    if (in.form() == FlrJrnForm::Raw) {
        countRecords<FlrJrnCommand>(in, stats);
    } else {
        countRecords<FlrJrnCommandNet>(in, stats);
    }
    return stats;
}

// --- writing ---------------------------------------------------------------------

FlrJrnFileWriter::FlrJrnFileWriter(std::string path, const char* function)
    : path_(std::move(path)), tmp_(path_ + ".tmp"), function_(function) {
    fd_ = ::open(tmp_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0) JX_THROW_ERRNO(function_, "Failed to open " + tmp_ + " for writing", errno);
    buf_.reserve(kFlushAt + 65536);
}

FlrJrnFileWriter::~FlrJrnFileWriter() {
    if (fd_ >= 0) {
        ::close(fd_);
        ::unlink(tmp_.c_str());
    }
}

void FlrJrnFileWriter::write(const void* data, size_t len) {
    const auto* p = static_cast<const uint8_t*>(data);
    buf_.insert(buf_.end(), p, p + len);
    if (buf_.size() >= kFlushAt) flush();
}

void FlrJrnFileWriter::flush() {
    jx::writeAll(fd_, buf_.data(), buf_.size(), "journal file", "FlrJrnFile");
    buf_.clear();
}

void FlrJrnFileWriter::commit() {
    flush();
    if (::fsync(fd_) != 0) JX_THROW_ERRNO(function_, "Failed to sync " + tmp_, errno);
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
        const int err = errno;
        ::unlink(tmp_.c_str());
        JX_THROW_ERRNO(function_, "Failed to close " + tmp_, err);
    }
    if (::rename(tmp_.c_str(), path_.c_str()) != 0) {
        const int err = errno;
        ::unlink(tmp_.c_str());
        JX_THROW_ERRNO(function_, "Failed to rename " + tmp_ + " to " + path_, err);
    }
    // The rename lasts only once the folder holding it is on disk.
    const size_t slash = path_.rfind('/');
    const std::string dir = slash == std::string::npos ? "." : path_.substr(0, slash + 1);
    const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
}

// --- converting ------------------------------------------------------------------

FlrJrnFileConversion convertJournalFile(FlrJrnFileReader& in, const FlrFidResolver& paths,
                                        FlrJrnFileWriter& out) {
    FlrJrnConverter conv(paths);
    FlrJrnFileConversion done;
    FlrJrnCommand raw;
    FlrJrnCommandNet net;
    char* wire = nullptr;
    int capacity = 0;
    // The growable buffer is the caller's to free, whatever happens.
    struct FreeOnExit {
        char*& p;
        ~FreeOnExit() { std::free(p); }
    } wireGuard{wire};
    in.rewind();
    while (in.next(raw)) {
        switch (conv.convert(raw, net)) {
            case FlrJrnConvResult::Ok: {
                const int n = encodeNetCmd(&net, wire, capacity);
                out.write(wire, static_cast<size_t>(n));
                ++done.converted;
                done.bytes += static_cast<size_t>(n);
                break;
            }
            case FlrJrnConvResult::NoNetForm:
                ++(raw.cmd == FLR_JRN_TXTMSG ? done.skippedMsg : done.skippedDdr);
                break;
            default:
                JX_THROW(in.function(),
                         jxFormat("record at byte offset %zu (seq_num %llu): %s", in.offset(),
                                  static_cast<unsigned long long>(raw.seq_num), conv.lastError()));
        }
    }
    return done;
}
