#pragma once
// Glob matching of paths, level by level. A pattern is split at the delimiter
// (default '/') into levels:
//   *        any run of characters within one level (never the delimiter)
//   ?        one character other than the delimiter
//   [...]    one character of a set: ranges a-z, negation [!...] or [^...],
//            a ']' first in the set is literal; never matches the delimiter
//   \c       the character c itself
//   **       a whole level: any number of levels. As the last level it
//            stands for one or more levels (/a/** matches what lies below
//            /a, not /a itself), anywhere else for zero or more
//            (/**/tmp matches /tmp and /x/y/tmp).
// Matching costs O(path length) for a pattern without "**" and at most
// O(path length x pattern length) with any number of "**" levels: no input
// makes it backtrack exponentially.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

class TPathMatch {
  public:
    TPathMatch() = default;

    // Takes effect for the next compile(); a compiled pattern is compiled
    // again with the new delimiter.
    void setDelimiter(char delimiter);

    // 0 when the pattern is usable; non-zero (lastError() says why) for an
    // empty pattern, an unterminated or empty bracket expression, a reversed
    // range, a trailing backslash, an escaped or bracketed delimiter, or "**"
    // that is not a whole level. caseSensitive 0 folds ASCII letters;
    // matchBelow non-zero also matches every path below a matching one.
    int compile(const std::string& pattern, int caseSensitive, int matchBelow);

    // Non-zero when the compiled pattern matches the whole path; 0 when it
    // does not or nothing is compiled.
    int match(std::string_view path) const;
    int match(const std::string& path) const { return match(std::string_view(path)); }
    int match(const char* path) const { return match(std::string_view(path)); }

    const std::string& lastError() const { return error_; }
    const std::string& pattern() const { return pattern_; }

    // One element of a level: a literal byte, '?', '*' or a set.
    struct Token {
        enum Kind : uint8_t { Literal, Any, Star, Set } kind;
        uint8_t ch;    // Literal
        uint16_t set;  // Set: index into sets_
    };
    struct Level {
        enum Kind : uint8_t { Text, Glob, GlobStar } kind;
        std::string text;           // Text: the literal level, folded when case-blind
        std::vector<Token> tokens;  // Glob
    };
    // 256 bits: which bytes a bracket expression accepts.
    struct ByteSet {
        uint64_t bits[4] = {0, 0, 0, 0};
        bool has(uint8_t c) const { return (bits[c >> 6] >> (c & 63)) & 1; }
        void add(uint8_t c) { bits[c >> 6] |= uint64_t{1} << (c & 63); }
    };

  private:
    bool parse(const std::string& pattern);
    bool parseSet(const std::string& p, size_t& i, Level& level);
    bool fail(const std::string& why, size_t offset);
    bool levelMatches(const Level& level, std::string_view text) const;
    bool globMatches(const std::vector<Token>& tokens, std::string_view text) const;
    bool matchWithGlobStars(std::string_view path) const;

    char delimiter_ = '/';
    bool caseSensitive_ = true;
    bool matchBelow_ = false;
    bool compiled_ = false;
    std::string pattern_;
    std::string error_;
    std::vector<Level> levels_;
    std::vector<ByteSet> sets_;
    // Levels before the first "**" and after the last one; -1 without "**".
    int firstStar_ = -1;
    int lastStar_ = -1;
};
