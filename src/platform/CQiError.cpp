#include "CQiError.h"

#include <cstdarg>
#include <cstdio>

CQiError::CQiError(int code, const char* source, const char* function, int line, const char* fmt,
                   ...)
    : code_(code) {
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    message_ = buf;
    Push(source, function, line);
}

CQiError& CQiError::Push(const char* source, const char* function, int line) {
    locations_.push_back(std::string(source ? source : "?") + ":" + std::to_string(line) + " " +
                         (function ? function : "?"));
    return *this;
}

CQiError& CQiError::Push(const std::string& text) {
    message_ = message_.empty() ? text : message_ + ": " + text;
    return *this;
}

std::string CQiError::AsString() const {
    if (code_ == 0 && message_.empty()) return "success";
    std::string s = message_.empty() ? "error" : message_;
    s += " (code " + std::to_string(code_) + ")";
    for (size_t i = 0; i < locations_.size(); ++i) s += (i == 0 ? " at " : " <- ") + locations_[i];
    return s;
}
