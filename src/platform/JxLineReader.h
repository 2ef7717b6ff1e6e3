#pragma once
// Reads a text file a line at a time through one reused buffer, for files
// too large to hold whole (a dirchange file names every entry of a tree).
// Reads go through the file seam (fileOps()), so faults can be injected.
#include <string>
#include <string_view>

#include "JxFile.h"

namespace jx {

class LineReader {
  public:
    // A missing file gives a reader with no lines (missing() true); any other
    // failure to open throws JxException ("LineReader", errno as code) naming
    // what the file is.
    LineReader(const std::string& path, const char* what);

    bool missing() const { return !file_; }
    // The next line without its newline (a last line without one too);
    // false at the end. The view is valid until the next call. Throws
    // JxException on a read error.
    bool next(std::string_view* line);

  private:
    bool fill();

    std::string path_;
    std::string what_;
    File file_;
    std::string buf_;
    size_t start_ = 0;    // first byte not yet returned
    size_t end_ = 0;      // end of the bytes read
    size_t scanned_ = 0;  // bytes after start_ known to hold no newline
    bool eof_ = false;
};

}  // namespace jx
