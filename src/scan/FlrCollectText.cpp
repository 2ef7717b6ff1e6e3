#include "FlrCollectText.h"

#include <cstring>

namespace FlrCollectText {

namespace {

int lowerHexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

}  // namespace

void appendEscaped(std::string& out, std::string_view path) {
    for (char c : path) {
        switch (c) {
            case '\n':
                out += "\\x0a";
                break;
            case '\r':
                out += "\\x0d";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                out += c;
        }
    }
}

std::string escape(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    appendEscaped(out, path);
    return out;
}

size_t unescapeInPlace(char* text, size_t len) {
    // Most paths hold no backslash: nothing moves before the first one.
    const void* first = std::memchr(text, '\\', len);
    if (!first) return len;
    size_t out = static_cast<size_t>(static_cast<const char*>(first) - text);
    for (size_t i = out; i < len; ++i) {
        if (text[i] != '\\' || i + 1 >= len) {
            text[out++] = text[i];
            continue;
        }
        if (text[i + 1] == '\\') {
            text[out++] = '\\';
            ++i;
            continue;
        }
        if (text[i + 1] == 'x' && i + 3 < len) {
            int hi = lowerHexValue(text[i + 2]), lo = lowerHexValue(text[i + 3]);
            if (hi >= 0 && lo >= 0) {
                text[out++] = static_cast<char>(hi * 16 + lo);
                i += 3;
                continue;
            }
        }
        text[out++] = text[i];  // any other sequence is kept as it stands
    }
    return out;
}

std::string unescape(std::string_view text) {
    std::string out(text);
    out.resize(unescapeInPlace(out.data(), out.size()));
    return out;
}

}  // namespace FlrCollectText
