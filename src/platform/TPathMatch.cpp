#include "TPathMatch.h"

#include <cstring>

namespace {

uint8_t foldByte(uint8_t c) {
    return (c >= 'A' && c <= 'Z') ? uint8_t(c + ('a' - 'A')) : c;
}

bool equalFolded(std::string_view a, std::string_view folded) {
    if (a.size() != folded.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (foldByte(uint8_t(a[i])) != uint8_t(folded[i])) return false;
    return true;
}

// Splits text at the delimiter into its levels (an empty text is one empty
// level; "/a" is "" and "a").
void splitLevels(std::string_view text, char delimiter, std::vector<std::string_view>& out) {
    out.clear();
    size_t start = 0;
    for (;;) {
        const void* hit = std::memchr(text.data() + start, delimiter, text.size() - start);
        if (!hit) break;
        const size_t at = size_t(static_cast<const char*>(hit) - text.data());
        out.push_back(text.substr(start, at - start));
        start = at + 1;
    }
    out.push_back(text.substr(start));
}

std::string_view lastLevel(std::string_view text, char delimiter) {
    const size_t at = text.rfind(delimiter);
    return at == std::string_view::npos ? text : text.substr(at + 1);
}

}  // namespace

void TPathMatch::setDelimiter(char delimiter) {
    delimiter_ = delimiter;
    if (compiled_) compile(pattern_, caseSensitive_ ? 1 : 0, matchBelow_ ? 1 : 0);
}

bool TPathMatch::fail(const std::string& why, size_t offset) {
    error_ = "Invalid pattern [" + pattern_ + "]: " + why + " at offset " + std::to_string(offset);
    return false;
}

int TPathMatch::compile(const std::string& pattern, int caseSensitive, int matchBelow) {
    pattern_ = pattern;
    caseSensitive_ = caseSensitive != 0;
    matchBelow_ = matchBelow != 0;
    error_.clear();
    compiled_ = parse(pattern);
    if (!compiled_) {
        levels_.clear();
        sets_.clear();
        return -1;
    }
    firstStar_ = lastStar_ = -1;
    for (size_t i = 0; i < levels_.size(); ++i) {
        if (levels_[i].kind != Level::GlobStar) continue;
        if (firstStar_ < 0) firstStar_ = int(i);
        lastStar_ = int(i);
    }
    return 0;
}

bool TPathMatch::parse(const std::string& p) {
    levels_.clear();
    sets_.clear();
    if (p.empty()) return fail("empty pattern", 0);
    Level level{Level::Glob, {}, {}};
    auto finishLevel = [&] {
        if (level.kind == Level::Glob) {
            bool literal = true;
            for (const Token& t : level.tokens) literal = literal && t.kind == Token::Literal;
            if (literal) {
                level.kind = Level::Text;
                for (const Token& t : level.tokens) level.text.push_back(char(t.ch));
                level.tokens.clear();
            }
        }
        levels_.push_back(std::move(level));
        level = Level{Level::Glob, {}, {}};
    };
    auto literal = [&](uint8_t c) {
        level.tokens.push_back({Token::Literal, caseSensitive_ ? c : foldByte(c), 0});
    };
    for (size_t i = 0; i < p.size(); ++i) {
        const char c = p[i];
        if (c == delimiter_) {
            finishLevel();
        } else if (c == '\\') {
            if (i + 1 == p.size()) return fail("trailing backslash", i);
            if (p[++i] == delimiter_) return fail("the delimiter cannot be escaped", i);
            literal(uint8_t(p[i]));
        } else if (c == '[') {
            if (!parseSet(p, i, level)) return false;
        } else if (c == '*') {
            size_t run = 1;
            while (i + run < p.size() && p[i + run] == '*') ++run;
            if (run == 1) {
                level.tokens.push_back({Token::Star, 0, 0});
                continue;
            }
            const bool wholeLevel = level.tokens.empty() && level.kind == Level::Glob &&
                                    (i + run == p.size() || p[i + run] == delimiter_);
            if (run != 2 || !wholeLevel) return fail("'**' must be a whole level", i);
            level.kind = Level::GlobStar;
            i += run - 1;
        } else if (c == '?') {
            level.tokens.push_back({Token::Any, 0, 0});
        } else {
            literal(uint8_t(c));
        }
    }
    finishLevel();
    return true;
}

// Reads the bracket expression starting at p[i] == '[' and leaves i on its ']'.
bool TPathMatch::parseSet(const std::string& p, size_t& i, Level& level) {
    const size_t open = i;
    size_t j = i + 1;
    const bool negate = j < p.size() && (p[j] == '!' || p[j] == '^');
    if (negate) ++j;
    ByteSet set;
    // One member, escapes resolved; j is left on its last byte.
    auto member = [&](uint8_t& out) {
        if (j >= p.size()) return fail("unterminated bracket expression", open);
        if (p[j] == '\\') {
            if (++j >= p.size()) return fail("unterminated bracket expression", open);
        }
        if (p[j] == delimiter_) return fail("a bracket expression cannot hold the delimiter", j);
        out = uint8_t(p[j]);
        return true;
    };
    for (bool first = true;; first = false, ++j) {
        if (j >= p.size()) return fail("unterminated bracket expression", open);
        if (p[j] == ']' && !first) break;
        uint8_t lo = 0, hi = 0;
        if (!member(lo)) return false;
        hi = lo;
        if (j + 2 < p.size() && p[j + 1] == '-' && p[j + 2] != ']') {
            j += 2;
            if (!member(hi)) return false;
            if (hi < lo) return fail("reversed range in bracket expression", open);
        }
        for (unsigned c = lo; c <= hi; ++c) set.add(uint8_t(c));
    }
    if (!caseSensitive_) {
        for (unsigned c = 'a'; c <= 'z'; ++c) {
            const uint8_t upper = uint8_t(c - ('a' - 'A'));
            if (set.has(uint8_t(c)) || set.has(upper)) {
                set.add(uint8_t(c));
                set.add(upper);
            }
        }
    }
    if (negate)
        for (uint64_t& w : set.bits) w = ~w;
    // A set never crosses a level, negated or not.
    set.bits[uint8_t(delimiter_) >> 6] &= ~(uint64_t{1} << (uint8_t(delimiter_) & 63));
    if (sets_.size() >= 0xFFFF) return fail("too many bracket expressions", open);
    sets_.push_back(set);
    level.tokens.push_back({Token::Set, 0, uint16_t(sets_.size() - 1)});
    i = j;
    return true;
}

// Classic glob within one level: on a mismatch only the most recent '*' is
// widened, so the cost is at most text length x token count.
bool TPathMatch::globMatches(const std::vector<Token>& tokens, std::string_view text) const {
    auto accepts = [&](const Token& t, uint8_t c) {
        if (!caseSensitive_) c = foldByte(c);
        switch (t.kind) {
            case Token::Literal:
                return t.ch == c;
            case Token::Any:
                return true;
            case Token::Set:
                return sets_[t.set].has(c);
            case Token::Star:
                return false;
        }
        return false;
    };
    const size_t npos = size_t(-1);
    size_t p = 0, s = 0, starP = npos, starS = 0;
    while (s < text.size()) {
        if (p < tokens.size() && tokens[p].kind == Token::Star) {
            starP = p++;
            starS = s;
        } else if (p < tokens.size() && accepts(tokens[p], uint8_t(text[s]))) {
            ++p;
            ++s;
        } else if (starP != npos) {
            p = starP + 1;
            s = ++starS;
        } else {
            return false;
        }
    }
    while (p < tokens.size() && tokens[p].kind == Token::Star) ++p;
    return p == tokens.size();
}

bool TPathMatch::levelMatches(const Level& level, std::string_view text) const {
    if (level.kind == Level::Text)
        return caseSensitive_ ? text == level.text : equalFolded(text, level.text);
    return globMatches(level.tokens, text);
}

int TPathMatch::match(std::string_view path) const {
    if (!compiled_) return 0;
    if (firstStar_ >= 0) return matchWithGlobStars(path) ? 1 : 0;
    // Levels in lockstep: one pass over the path.
    size_t start = 0;
    for (size_t j = 0; j < levels_.size(); ++j) {
        if (start > path.size()) return 0;  // the path has fewer levels
        const void* hit = std::memchr(path.data() + start, delimiter_, path.size() - start);
        const size_t end = hit ? size_t(static_cast<const char*>(hit) - path.data()) : path.size();
        if (!levelMatches(levels_[j], path.substr(start, end - start))) return 0;
        start = end + 1;
    }
    return (start > path.size() || matchBelow_) ? 1 : 0;
}

// With "**" levels the pattern is head ** g1 ** g2 ... ** tail: the head is
// anchored at the first level, the tail at the last, and each group in between
// is placed at its earliest fit after the previous one. Earliest placement
// never loses a match because the gaps between groups are unbounded, so
// nothing is retried and the cost stays polynomial.
bool TPathMatch::matchWithGlobStars(std::string_view path) const {
    const size_t m = levels_.size();
    const size_t head = size_t(firstStar_);
    const size_t tail = m - size_t(lastStar_) - 1;
    const bool trailingStar = tail == 0;
    // Cheap rejection first: most paths fail on their last level.
    if (!matchBelow_ && !trailingStar && !levelMatches(levels_[m - 1], lastLevel(path, delimiter_)))
        return false;

    // The head in one pass from the start, before anything is split.
    size_t start = 0;
    for (size_t j = 0; j < head; ++j) {
        if (start > path.size()) return false;
        const void* hit = std::memchr(path.data() + start, delimiter_, path.size() - start);
        const size_t end = hit ? size_t(static_cast<const char*>(hit) - path.data()) : path.size();
        if (!levelMatches(levels_[j], path.substr(start, end - start))) return false;
        start = end + 1;
    }
    // Levels past the head; lv[k] is path level k, the head's ones left empty.
    thread_local std::vector<std::string_view> lv;
    if (start > path.size()) {
        lv.assign(head, std::string_view());
    } else {
        splitLevels(path.substr(start), delimiter_, lv);
        lv.insert(lv.begin(), head, std::string_view());
    }
    const size_t n = lv.size();

    auto fitsAt = [&](size_t first, size_t count, size_t at) {
        for (size_t k = 0; k < count; ++k)
            if (!levelMatches(levels_[first + k], lv[at + k])) return false;
        return true;
    };
    // Earliest at in [from, limit - count] where levels [first, first+count) fit.
    auto place = [&](size_t first, size_t count, size_t from, size_t limit, size_t& at) {
        for (at = from; at + count <= limit; ++at)
            if (fitsAt(first, count, at)) return true;
        return false;
    };

    size_t limit = n;
    if (!matchBelow_) {
        if (trailingStar) {
            limit = n - 1;  // the last "**" needs a level of its own
        } else {
            if (n < head + tail || !fitsAt(size_t(lastStar_) + 1, tail, n - tail)) return false;
            limit = n - tail;
        }
        if (limit < head) return false;
    }
    size_t pos = head;
    for (size_t j = head + 1; j < size_t(lastStar_);) {
        size_t count = 0;
        while (j + count < size_t(lastStar_) && levels_[j + count].kind != Level::GlobStar) ++count;
        size_t at = 0;
        if (count > 0) {
            if (!place(j, count, pos, limit, at)) return false;
            pos = at + count;
        }
        j += count + 1;
    }
    if (!matchBelow_) return true;
    if (trailingStar) return pos < n;
    size_t at = 0;
    return place(size_t(lastStar_) + 1, tail, pos, n, at);
}
