#pragma once
// An error value for operations that report instead of throwing: a code
// (negative = failure, 0 = success), a message and the stack of code locations
// the failure passed through on its way up.
#include <string>
#include <vector>

class CQiError {
  public:
    CQiError() = default;
    explicit CQiError(int code, std::string message = {})
        : code_(code), message_(std::move(message)) {}
    // A failure made at a code location with a printf message.
    CQiError(int code, const char* source, const char* function, int line, const char* fmt, ...)
        __attribute__((format(printf, 6, 7)));

    int GetCode() const { return code_; }
    bool IsError() const { return code_ < 0; }
    bool IsSuccess() const { return code_ >= 0; }
    const std::string& GetMessage() const { return message_; }
    const std::vector<std::string>& GetLocations() const { return locations_; }

    // Records that the failure passed through a caller.
    CQiError& Push(const char* source, const char* function, int line);
    // Adds a line of context to the message.
    CQiError& Push(const std::string& text);

    // "message (code N) at source:line function <- caller..."; "success" for code 0.
    std::string AsString() const;

  private:
    int code_ = 0;
    std::string message_;
    std::vector<std::string> locations_;
};
