#include "FLR/FlrJrnFile.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "FLR/JxException.h"
#include "platform/JxCoding.h"
#include "platform/JxFile.h"
#include "platform/JxIO.h"

// --- reading ---------------------------------------------------------------------

FlrJrnFileReader::FlrJrnFileReader(const std::string& path, FlrJrnForm form, const char* function)
    : form_(form), function_(function) {
    jx::File file = jx::openFile(path, O_RDONLY);
    if (!file) JX_THROW_ERRNO(function, "Failed to open " + path + " for reading", errno);
    struct stat st;
    if (jx::fileOps().fstat(file.get(), &st) != 0)
        JX_THROW_ERRNO(function, "Failed to stat " + path, errno);
    size_ = static_cast<size_t>(st.st_size);
    if (size_ > 0) {
        // Mapped rather than read: journal files can be larger than memory
        // would like to hold twice, and records are walked once in order.
        void* p = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, file.get(), 0);
        if (p == MAP_FAILED) JX_THROW_ERRNO(function, "Failed to map " + path, errno);
        data_ = static_cast<const uint8_t*>(p);
        mapped_ = true;
    }
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
    : file_(std::make_unique<jx::AtomicFile>(std::move(path), 0644, "journal file", function)) {
    buf_.reserve(kFlushAt + 65536);
}

// The AtomicFile removes its temporary file unless it was committed.
FlrJrnFileWriter::~FlrJrnFileWriter() = default;

void FlrJrnFileWriter::write(const void* data, size_t len) {
    const auto* p = static_cast<const uint8_t*>(data);
    buf_.insert(buf_.end(), p, p + len);
    if (buf_.size() >= kFlushAt) flush();
}

void FlrJrnFileWriter::flush() {
    file_->write(buf_.data(), buf_.size());
    buf_.clear();
}

// fsync, rename into place, fsync of the folder: the file is whole or absent.
void FlrJrnFileWriter::commit() {
    flush();
    file_->commit();
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
