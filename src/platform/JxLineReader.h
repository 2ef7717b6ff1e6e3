#pragma once
// Reads a text file a line at a time through one reused buffer, for files
// too large to hold whole (a dirchange file names every entry of a tree).
// Reads go through the file seam (fileOps()), so faults can be injected.
#include <cstdint>
#include <string>
#include <string_view>

#include "JxFile.h"

namespace jx {

class LineReader {
  public:
    // Longest line accepted by default: far above any path.
    static constexpr size_t kMaxLine = 1 << 20;

    // A missing file gives a reader with no lines (missing() true); any other
    // failure to open throws JxException ("LineReader", errno as code) naming
    // what the file is.
    LineReader(const std::string& path, const char* what, size_t maxLine = kMaxLine);

    bool missing() const { return !file_; }
    // The next line without its newline (a last line without one too:
    // lastEnded() tells); false at the end. The view is valid until the next
    // call. Throws JxException on a read error and on a line longer than
    // maxLine (code EFBIG), before holding more of it.
    bool next(std::string_view* line);
    // Whether the line next() gave last ended with a newline.
    bool lastEnded() const { return lastEnded_; }
    // Lines given so far.
    int64_t lines() const { return lines_; }

  private:
    bool fill();
    [[noreturn]] void fail(const std::string& why, int err) const;

    std::string path_;
    std::string what_;
    size_t maxLine_;
    File file_;
    std::string buf_;
    size_t start_ = 0;    // first byte not yet returned
    size_t end_ = 0;      // end of the bytes read
    size_t scanned_ = 0;  // bytes after start_ known to hold no newline
    bool eof_ = false;
    bool lastEnded_ = true;
    int64_t lines_ = 0;
};

}  // namespace jx
