#pragma once
// The debug logger. One line per call: time, pid, tid, level, function, text.
// Sink: the file named by FLR_LOG, else stderr; lines above FLR_LOG_LEVEL are
// dropped before formatting (default 0 = errors only on stderr, 1 with FLR_LOG).
// Tests capture every line at every level through EvDebugCapture.
#include <cstdarg>
#include <string>
#include <vector>

struct EvLogLine {
    int level;  // 0 error or warning, 1 debug, 2.. DebugLvl levels
    std::string function;
    std::string text;
    bool warning = false;  // a level 0 line that is a warning, not an error
};

class EvDebug {
  public:
    static constexpr int kError = 0;
    static constexpr int kDebug = 1;

    static void Debug(const char* function, const char* fmt, ...)
        __attribute__((format(printf, 2, 3)));
    static void DebugLvl(const char* function, int level, const char* fmt, ...)
        __attribute__((format(printf, 3, 4)));
    static void Error(const char* function, const char* fmt, ...)
        __attribute__((format(printf, 2, 3)));
    // Shown where errors are (level 0), marked WARNING: something went wrong
    // that the caller recovers from by itself, such as a retried connect.
    static void Warning(const char* function, const char* fmt, ...)
        __attribute__((format(printf, 2, 3)));
    static void log(int level, const char* function, const char* fmt, va_list ap);

    // True when a line of this level would go anywhere; lets hot paths skip
    // building arguments.
    static bool enabled(int level);
    static void setLevel(int level);
    static int getLevel();
    // Empty path: back to stderr.
    static void setLogFile(const std::string& path);
    // Also writes every line up to `level` to the file at path (appended,
    // created 0600), whatever the sink shows; empty path: no longer. 0, or
    // the errno of a file that cannot be opened.
    static int teeToFile(const std::string& path, int level);
    // On stderr each function shows at most 10 errors a minute; the others
    // are counted and summed up in one line when the minute ends, or now.
    // A program calls this before it exits. Log files get every line.
    static void flushHeldErrors();
};

// While alive, every log line of every thread is also kept here.
class EvDebugCapture {
  public:
    EvDebugCapture();
    ~EvDebugCapture();
    EvDebugCapture(const EvDebugCapture&) = delete;
    EvDebugCapture& operator=(const EvDebugCapture&) = delete;

    std::vector<EvLogLine> lines() const;
    // True when some captured line's text equals text exactly.
    bool contains(const std::string& text) const;
    // True when some captured line's text contains the fragment.
    bool containsFragment(const std::string& fragment) const;
    void clear();
};

// Base of the table classes: logs under its own name.
class TDebuggable {
  public:
    explicit TDebuggable(std::string name) : name_(std::move(name)) {}
    virtual ~TDebuggable() = default;
    void debug(int level, const char* fmt, ...) const __attribute__((format(printf, 3, 4)));
    const std::string& debugName() const { return name_; }

  private:
    std::string name_;
};
