// Line-at-a-time reading of large text files.
#include "JxLineReader.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "FLR/JxException.h"

namespace jx {

namespace {
constexpr size_t kReadBytes = 64 << 10;
}

LineReader::LineReader(const std::string& path, const char* what, size_t maxLine)
    : path_(path), what_(what), maxLine_(maxLine), file_(openFile(path, O_RDONLY)) {
    if (!file_ && errno != ENOENT) fail("Couldn't open " + what_ + " " + path_, errno);
    eof_ = !file_;
}

void LineReader::fail(const std::string& why, int err) const {
    JX_THROW_CODE("LineReader", why + ": " + jxErrnoText(err), err);
}

// Reads more after what is unread, moving that to the front first; false at
// the end of the file.
bool LineReader::fill() {
    if (eof_) return false;
    if (start_ > 0) {
        std::memmove(buf_.data(), buf_.data() + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
    }
    if (buf_.size() < end_ + kReadBytes) buf_.resize(end_ + kReadBytes);
    for (;;) {
        const ssize_t n = fileOps().read(file_.get(), buf_.data() + end_, kReadBytes);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail("Failed to read " + what_ + " " + path_, errno);
        if (n == 0) eof_ = true;
        end_ += static_cast<size_t>(n);
        return n > 0;
    }
}

bool LineReader::next(std::string_view* line) {
    for (;;) {
        const char* from = buf_.data() + start_ + scanned_;
        const void* nl = std::memchr(from, '\n', end_ - start_ - scanned_);
        if (nl) {
            const size_t len =
                static_cast<size_t>(static_cast<const char*>(nl) - buf_.data()) - start_;
            if (len > maxLine_) break;
            *line = std::string_view(buf_.data() + start_, len);
            start_ += len + 1;
            scanned_ = 0;
            lastEnded_ = true;
            ++lines_;
            return true;
        }
        scanned_ = end_ - start_;
        if (scanned_ > maxLine_ || !fill()) break;
    }
    if (end_ - start_ > maxLine_)
        JX_THROW_CODE("LineReader",
                      "Malformed " + what_ + " " + path_ + ", line " + std::to_string(lines_ + 1) +
                          ": line longer than " + std::to_string(maxLine_) + " bytes",
                      EFBIG);
    if (start_ == end_) return false;
    *line = std::string_view(buf_.data() + start_, end_ - start_);
    start_ = end_;
    scanned_ = 0;
    lastEnded_ = false;
    ++lines_;
    return true;
}

}  // namespace jx
