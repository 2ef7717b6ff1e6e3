#pragma once
// The one exception type of the library: who threw (function), what went wrong
// (message), where (source file stem and line) and a code (-1, or the errno
// whose text ends the message).
#include <exception>
#include <string>

#include "FLR/FlrExport.h"

class FLR_EXPORT JxException : public std::exception {
  public:
    JxException(std::string function, std::string message, std::string source, int line,
                int code = -1);

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& getFunction() const { return function_; }
    const std::string& getMessage() const { return message_; }
    const std::string& getSource() const { return source_; }
    int getLine() const { return line_; }
    int getCode() const { return code_; }
    // "function: message" - what a log line or a command's error output shows.
    std::string toString() const { return function_ + ": " + message_; }

  private:
    std::string function_;
    std::string message_;
    std::string source_;
    int line_;
    int code_;
};

// printf into a std::string.
FLR_EXPORT std::string jxFormat(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// strerror for errno values, thread-safe.
FLR_EXPORT std::string jxErrnoText(int err);
// "src/buffer/FlrRolCache.cpp" -> "FlrRolCache".
FLR_EXPORT std::string jxSourceName(const char* file);

#define JX_THROW(function, message) \
    throw JxException((function), (message), jxSourceName(__FILE__), __LINE__, -1)
#define JX_THROW_CODE(function, message, code) \
    throw JxException((function), (message), jxSourceName(__FILE__), __LINE__, (code))
// Appends ": " + strerror(err) to the message and uses err as the code.
#define JX_THROW_ERRNO(function, message, err)                                           \
    do {                                                                                 \
        const int jxErr_ = (err);                                                        \
        throw JxException((function), std::string(message) + ": " + jxErrnoText(jxErr_), \
                          jxSourceName(__FILE__), __LINE__, jxErr_);                     \
    } while (0)
