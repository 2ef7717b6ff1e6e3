#pragma once
// Reads a dirchange file back, block by block: a directory path, then one
// line per entry ("ATTRIBUTES<TAB>NAME" with attributes, "<TAB>NAME" plain).
// Paths and names are written escaped (a line feed as "\x0a", a carriage
// return as "\x0d", a TAB as "\x09", a backslash doubled) so that each is one
// line and one field; the reader unescapes them. Entry lines are the lines
// holding a TAB; any other line starts the next block.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/JxLineReader.h"

class FlrDirChangeReader {
  public:
    // Longest line accepted: far above any path the file systems allow.
    static constexpr size_t kMaxLine = 1 << 20;

    struct Entry {
        std::string name;   // unescaped
        std::string attrs;  // the attribute string; empty in the plain format
    };
    struct Block {
        std::string path;  // unescaped
        std::vector<Entry> entries;
    };
    // An attribute string "|mode|uid|gid|size|mtime|" taken apart.
    struct Attributes {
        unsigned mode = 0;  // permission bits
        long long uid = 0;
        long long gid = 0;
        long long size = 0;
        uint32_t mtime = 0;
    };

    // Throws JxException "Couldn't open dirchange file NAME: TEXT" (function
    // "FlrDirChangeReader" for a missing file, "LineReader" otherwise).
    explicit FlrDirChangeReader(const std::string& fileName);
    ~FlrDirChangeReader();
    FlrDirChangeReader(const FlrDirChangeReader&) = delete;
    FlrDirChangeReader& operator=(const FlrDirChangeReader&) = delete;

    // The next block; false at the end of the file. A malformed file (an
    // entry before any directory, a line longer than kMaxLine, a last line
    // without its line feed) throws JxException naming the file and line
    // (function "FlrDirChangeReader::next"; "LineReader" for a line too long
    // in a file, refused before it is held whole); nothing of a bad line is
    // used.
    bool next(Block& block);

    // All blocks of a dirchange text in memory; same rules and errors.
    static std::vector<Block> parse(std::string_view text);
    // False when text is not an attribute string.
    static bool parseAttributes(std::string_view text, Attributes& out);

  private:
    // Next line without its line feed: 1, 0 at a clean end, throws otherwise.
    int readLine(std::string& line);
    [[noreturn]] void malformed(const std::string& why) const;

    std::string name_;
    std::optional<jx::LineReader> lines_;  // the file; none for parse()
    size_t pos_ = 0;                       // parse(): the next line's start
    int64_t line_ = 0;
    bool havePending_ = false;
    std::string pending_;    // a block's path line read ahead
    std::string_view text_;  // parse(): the text instead of a file

    FlrDirChangeReader() = default;
};
