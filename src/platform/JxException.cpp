#include "FLR/JxException.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

JxException::JxException(std::string function, std::string message, std::string source, int line,
                         int code)
    : function_(std::move(function)),
      message_(std::move(message)),
      source_(std::move(source)),
      line_(line),
      code_(code) {}

std::string jxFormat(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    char small[256];
    va_list ap2;
    va_copy(ap2, ap);
    int n = vsnprintf(small, sizeof small, fmt, ap);
    va_end(ap);
    if (n < 0) {
        va_end(ap2);
        return {};
    }
    if (static_cast<size_t>(n) < sizeof small) {
        va_end(ap2);
        return std::string(small, static_cast<size_t>(n));
    }
    std::string out(static_cast<size_t>(n), '\0');
    vsnprintf(out.data(), out.size() + 1, fmt, ap2);
    va_end(ap2);
    return out;
}

std::string jxErrnoText(int err) {
    char buf[256];
    // GNU strerror_r returns the text, which may or may not live in buf.
    return std::string(strerror_r(err, buf, sizeof buf));
}

std::string jxSourceName(const char* file) {
    if (!file) return {};
    const char* base = std::strrchr(file, '/');
    base = base ? base + 1 : file;
    const char* dot = std::strrchr(base, '.');
    return dot ? std::string(base, static_cast<size_t>(dot - base)) : std::string(base);
}
