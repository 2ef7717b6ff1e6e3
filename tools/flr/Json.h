#pragma once
// The one JSON writer of flr: every --json output goes through it, so that
// quoting, separators and odd bytes are handled in one place.
//
// Strings are escaped for JSON and for a terminal alike: quotes, backslashes,
// control characters and DEL become escapes. JSON text is UTF-8, but a file
// name may hold any byte: a byte that is not part of valid UTF-8 is written as
// \u00XX (it reads back as U+00XX), so the output stays valid JSON and a
// reader still sees which byte it was.
#include <cmath>
#include <concepts>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

class Json {
  public:
    // Length of the valid UTF-8 sequence starting at s[i], or 0 when the byte
    // there does not start one (stray continuation, overlong form, surrogate,
    // beyond U+10FFFF, or cut short).
    static size_t utf8Length(std::string_view s, size_t i) {
        const auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
        const unsigned char c = at(i);
        if (c < 0x80) return 1;
        size_t n = 0;
        unsigned cp = 0, min = 0;
        if ((c & 0xE0) == 0xC0) {
            n = 2, cp = c & 0x1Fu, min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            n = 3, cp = c & 0x0Fu, min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            n = 4, cp = c & 0x07u, min = 0x10000;
        } else {
            return 0;
        }
        if (i + n > s.size()) return 0;
        for (size_t k = 1; k < n; ++k) {
            if ((at(i + k) & 0xC0) != 0x80) return 0;
            cp = (cp << 6) | (at(i + k) & 0x3Fu);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
        return n;
    }

    // s as a quoted JSON string.
    static std::string quote(std::string_view s) {
        std::string out;
        appendQuoted(out, s);
        return out;
    }

    static void appendQuoted(std::string& out, std::string_view s) {
        out += '"';
        for (size_t i = 0; i < s.size();) {
            const unsigned char c = static_cast<unsigned char>(s[i]);
            const size_t n = utf8Length(s, i);
            if (c == '"' || c == '\\') {
                out += '\\';
                out += static_cast<char>(c);
            } else if (c < 0x20 || c == 0x7f || n == 0) {
                char esc[8];
                std::snprintf(esc, sizeof esc, "\\u%04x", c);
                out += esc;
            } else {
                out.append(s.substr(i, n));
                i += n;
                continue;
            }
            ++i;
        }
        out += '"';
    }

    Json& beginObject() { return open('{'); }
    Json& endObject() { return close('}'); }
    Json& beginArray() { return open('['); }
    Json& endArray() { return close(']'); }

    // The name of the next member of the open object.
    Json& key(std::string_view name) {
        separate();
        appendQuoted(out_, name);
        out_ += ':';
        afterKey_ = true;
        return *this;
    }

    Json& value(std::string_view s) {
        separate();
        appendQuoted(out_, s);
        return *this;
    }
    Json& value(const char* s) { return value(std::string_view(s)); }
    Json& value(const std::string& s) { return value(std::string_view(s)); }
    Json& value(bool b) { return raw(b ? "true" : "false"); }
    template <std::integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, char>) Json& value(T n) {
        return raw(std::to_string(n));
    }
    // A number with a fixed count of decimals; NaN and infinities, which
    // JSON cannot hold, become null.
    Json& value(double d, int decimals) {
        if (!std::isfinite(d)) return null();
        char text[64];
        std::snprintf(text, sizeof text, "%.*f", decimals, d);
        return raw(text);
    }
    Json& null() { return raw("null"); }

    // A value that is JSON text already (an object another part encoded).
    Json& raw(std::string_view json) {
        separate();
        out_.append(json);
        return *this;
    }

    template <typename T>
    Json& field(std::string_view name, const T& v) {
        return key(name).value(v);
    }
    Json& field(std::string_view name, double d, int decimals) {
        return key(name).value(d, decimals);
    }
    Json& field(std::string_view name, const std::vector<std::string>& list) {
        key(name).beginArray();
        for (const std::string& s : list) value(s);
        return endArray();
    }

    const std::string& str() const { return out_; }

    // Write what was built as one line on stdout and start afresh.
    void printLine() {
        std::fwrite(out_.data(), 1, out_.size(), stdout);
        std::fputc('\n', stdout);
        out_.clear();
        first_.clear();
        afterKey_ = false;
    }

  private:
    Json& open(char c) {
        separate();
        out_ += c;
        first_.push_back(true);
        return *this;
    }
    Json& close(char c) {
        out_ += c;
        if (!first_.empty()) first_.pop_back();
        return *this;
    }
    // A comma before every value of a container but its first; none after a key.
    void separate() {
        if (afterKey_) {
            afterKey_ = false;
            return;
        }
        if (first_.empty()) return;
        if (!first_.back()) out_ += ',';
        first_.back() = false;
    }

    std::string out_;
    std::vector<bool> first_;
    bool afterKey_ = false;
};
