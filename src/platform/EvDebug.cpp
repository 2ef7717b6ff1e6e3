#include "EvDebug.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <string>

namespace {

// Errors shown on a terminal or a service's journal: a source may show
// kShownPerWindow lines per window; the rest are counted and summed up in one
// line when its window ends or the process flushes. A log file keeps all.
constexpr int kShownPerWindow = 10;
constexpr time_t kWindowSeconds = 60;

struct ErrorBudget {
    time_t windowStart = 0;
    int shown = 0;
    long long held = 0;
};

// All logger state; sinkMutex guards fd/ownsFd/teeFd/budgets, captureMutex the capture list.
struct LoggerState {
    std::mutex sinkMutex;
    int fd = 2;
    bool ownsFd = false;
    std::atomic<int> sinkLevel{0};
    // A second file that gets the lines up to teeLevel (-1: none).
    int teeFd = -1;
    std::atomic<int> teeLevel{-1};
    std::map<std::string, ErrorBudget> budgets;  // by function, for stderr only
    std::mutex captureMutex;
    std::vector<EvLogLine> captured;
    std::atomic<int> captures{0};

    LoggerState() {
        if (const char* path = std::getenv("FLR_LOG"); path && *path) {
            int f = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (f >= 0) {
                fd = f;
                ownsFd = true;
                sinkLevel = 1;
            }
        }
        if (const char* lvl = std::getenv("FLR_LOG_LEVEL"); lvl && *lvl) sinkLevel = std::atoi(lvl);
    }
};

LoggerState& state() {
    static LoggerState* s = new LoggerState;  // never destroyed: threads may log during exit
    return *s;
}

const char* levelName(int level, bool warning) {
    if (warning) return "WARNING";
    switch (level) {
        case 0:
            return "ERROR";
        case 1:
            return "DEBUG";
        default:
            return "DEBUG";
    }
}

std::string heldLine(const std::string& function, long long held) {
    return "flr: " + std::to_string(held) + " more error" + (held == 1 ? "" : "s") + " from " +
           function + " not shown (--log-file or FLR_LOG keeps every line)\n";
}

void writeAll(int fd, const std::string& line) {
    ssize_t ignored = ::write(fd, line.data(), line.size());
    (void)ignored;
}

// Under sinkMutex. False when this line is to be held back from stderr.
bool withinBudget(LoggerState& s, const char* function, time_t now) {
    ErrorBudget& b = s.budgets[function ? function : ""];
    if (now - b.windowStart >= kWindowSeconds) {
        if (b.held > 0) writeAll(s.fd, heldLine(function ? function : "", b.held));
        b = ErrorBudget{now, 0, 0};
    }
    if (b.shown < kShownPerWindow) {
        ++b.shown;
        return true;
    }
    ++b.held;
    return false;
}

void emit(int level, const char* function, const char* text, bool warning) {
    LoggerState& s = state();
    if (s.captures.load(std::memory_order_acquire) > 0) {
        std::lock_guard<std::mutex> lk(s.captureMutex);
        s.captured.push_back(EvLogLine{level, function ? function : "", text, warning});
    }
    const bool toSink = level <= s.sinkLevel.load(std::memory_order_relaxed);
    const bool toTee = level <= s.teeLevel.load(std::memory_order_relaxed);
    if (!toSink && !toTee) return;
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tmv;
    localtime_r(&tv.tv_sec, &tmv);
    char head[128];
    int h = snprintf(head, sizeof head, "%04d-%02d-%02d %02d:%02d:%02d.%03ld %d %ld %s(%d) ",
                     tmv.tm_year + 1900, tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min,
                     tmv.tm_sec, static_cast<long>(tv.tv_usec / 1000), static_cast<int>(getpid()),
                     static_cast<long>(syscall(SYS_gettid)), levelName(level, warning), level);
    std::string line(head, static_cast<size_t>(h));
    line += function ? function : "";
    line += ": ";
    line += text;
    line += '\n';
    std::lock_guard<std::mutex> lk(s.sinkMutex);
    // One write per line keeps lines whole when several processes share a file.
    if (toSink && (level > 0 || s.ownsFd || withinBudget(s, function, tv.tv_sec)))
        writeAll(s.fd, line);
    if (toTee && s.teeFd >= 0 && s.teeFd != s.fd) {
        ssize_t ignored = ::write(s.teeFd, line.data(), line.size());
        (void)ignored;
    }
}

}  // namespace

bool EvDebug::enabled(int level) {
    LoggerState& s = state();
    return level <= s.sinkLevel.load(std::memory_order_relaxed) ||
           level <= s.teeLevel.load(std::memory_order_relaxed) ||
           s.captures.load(std::memory_order_relaxed) > 0;
}

namespace {

void formatAndEmit(int level, const char* function, const char* fmt, va_list ap, bool warning) {
    char buf[1024];
    va_list ap2;
    va_copy(ap2, ap);
    int n = vsnprintf(buf, sizeof buf, fmt, ap);
    if (n >= 0 && static_cast<size_t>(n) >= sizeof buf) {
        std::string big(static_cast<size_t>(n), '\0');
        vsnprintf(big.data(), big.size() + 1, fmt, ap2);
        emit(level, function, big.c_str(), warning);
    } else {
        emit(level, function, n < 0 ? fmt : buf, warning);
    }
    va_end(ap2);
}

}  // namespace

void EvDebug::log(int level, const char* function, const char* fmt, va_list ap) {
    if (enabled(level)) formatAndEmit(level, function, fmt, ap, false);
}

void EvDebug::Warning(const char* function, const char* fmt, ...) {
    if (!enabled(kError)) return;
    va_list ap;
    va_start(ap, fmt);
    formatAndEmit(kError, function, fmt, ap, true);
    va_end(ap);
}

void EvDebug::Debug(const char* function, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log(kDebug, function, fmt, ap);
    va_end(ap);
}

void EvDebug::DebugLvl(const char* function, int level, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log(level, function, fmt, ap);
    va_end(ap);
}

void EvDebug::Error(const char* function, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log(kError, function, fmt, ap);
    va_end(ap);
}

void EvDebug::setLevel(int level) {
    state().sinkLevel = level;
}
int EvDebug::getLevel() {
    return state().sinkLevel;
}

void EvDebug::setLogFile(const std::string& path) {
    LoggerState& s = state();
    int f = 2;
    bool owns = false;
    if (!path.empty()) {
        f = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (f < 0) return;
        owns = true;
    }
    std::lock_guard<std::mutex> lk(s.sinkMutex);
    if (s.ownsFd) ::close(s.fd);
    s.fd = f;
    s.ownsFd = owns;
}

void EvDebug::flushHeldErrors() {
    LoggerState& s = state();
    std::lock_guard<std::mutex> lk(s.sinkMutex);
    for (auto& [function, b] : s.budgets) {
        if (b.held > 0) writeAll(s.fd, heldLine(function, b.held));
        b.held = 0;
    }
}

int EvDebug::teeToFile(const std::string& path, int level) {
    LoggerState& s = state();
    int f = -1;
    if (!path.empty()) {
        // A log may name paths and hosts: private from the start.
        f = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (f < 0) return errno;
    }
    std::lock_guard<std::mutex> lk(s.sinkMutex);
    if (s.teeFd >= 0) ::close(s.teeFd);
    s.teeFd = f;
    s.teeLevel = f >= 0 ? level : -1;
    return 0;
}

EvDebugCapture::EvDebugCapture() {
    LoggerState& s = state();
    std::lock_guard<std::mutex> lk(s.captureMutex);
    s.captured.clear();
    s.captures.fetch_add(1);
}

EvDebugCapture::~EvDebugCapture() {
    LoggerState& s = state();
    std::lock_guard<std::mutex> lk(s.captureMutex);
    if (s.captures.fetch_sub(1) == 1) s.captured.clear();
}

std::vector<EvLogLine> EvDebugCapture::lines() const {
    LoggerState& s = state();
    std::lock_guard<std::mutex> lk(s.captureMutex);
    return s.captured;
}

bool EvDebugCapture::contains(const std::string& text) const {
    for (const auto& l : lines())
        if (l.text == text) return true;
    return false;
}

bool EvDebugCapture::containsFragment(const std::string& fragment) const {
    for (const auto& l : lines())
        if (l.text.find(fragment) != std::string::npos) return true;
    return false;
}

void EvDebugCapture::clear() {
    LoggerState& s = state();
    std::lock_guard<std::mutex> lk(s.captureMutex);
    s.captured.clear();
}

void TDebuggable::debug(int level, const char* fmt, ...) const {
    va_list ap;
    va_start(ap, fmt);
    EvDebug::log(level, name_.c_str(), fmt, ap);
    va_end(ap);
}
