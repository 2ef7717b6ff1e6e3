#pragma once
// Internals shared by the scanner's sources: the buffered output files, the
// failure helper and the dirchange text rules.
#include <sys/stat.h>

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

#include "FLR/JxException.h"
#include "FlrIfind.h"
#include "platform/JxFile.h"

namespace ifind {

// Scan failures name the scan's function, source "FlrIfind", code -1.
[[noreturn]] void fail(const char* function, const std::string& message, int line);
#define IFIND_FAIL(function, message) ::ifind::fail((function), (message), __LINE__)

// "with the system text": message + ": " + strerror(err).
std::string withErrno(const std::string& message, int err);

// ctime_r without its trailing line feed.
std::string timeText(long timestamp);

const char* formatName(int dirchangeFormat);

// Collect escaping, with a fast path for the usual name that needs none.
void appendCollectEscaped(std::string& out, std::string_view path);
// Dirchange escaping: the collect escaping plus TAB as "\x09", so a name is
// always one line and one field.
void appendDirChangeEscaped(std::string& out, std::string_view name);

// Appends stat2str's text without a formatting call per entry.
void appendAttributes(std::string& out, const struct stat& st);

inline bool atOrAfter(const struct timespec& t, long seconds, long nanos) {
    return t.tv_sec > seconds || (t.tv_sec == seconds && t.tv_nsec >= nanos);
}

// nanos: the threshold's fraction of a second.
inline bool changedSince(const struct stat& st, long timestamp, long nanos = 0) {
    return atOrAfter(st.st_ctim, timestamp, nanos) || atOrAfter(st.st_mtim, timestamp, nanos);
}

}  // namespace ifind

// A collect or dirchange file being written: one buffer, flushed in large
// writes through the platform file API.
class FlrIfind::Output {
  public:
    explicit Output(const char* kind) : kind_(kind) {}
    ~Output() { discard(); }
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Throws "Failed to open <kind> file NAME for writing: TEXT".
    void open(const char* function, const std::string& name, bool append);
    bool isOpen() const { return file_.valid(); }
    const std::string& name() const { return name_; }

    std::string& buffer() { return buf_; }
    void flushIfFull() {
        if (buf_.size() >= kFlushBytes) flush();
    }
    // Writes what is buffered and closes; throws on failure. The file is
    // still deleted by discard() until keep() is called.
    void close();
    void keep() { name_.clear(); }
    // Closes without writing and deletes the file (a failed scan).
    void discard() noexcept;

  private:
    static constexpr size_t kFlushBytes = 256 * 1024;
    void flush();

    const char* kind_;
    const char* function_ = "";
    std::string name_;
    std::string buf_;
    jx::File file_;
};

// Both files of one scan. Unless committed, both are deleted when this goes
// out of scope: an exception anywhere in a scan leaves no partial output.
struct FlrIfind::Files {
    Output collect{"collect"};
    Output dirchange{"dirchange"};
    bool committed = false;
    ~Files() {
        if (committed) return;
        collect.discard();
        dirchange.discard();
    }
    Output* dirchangeOrNull() { return dirchange.isOpen() ? &dirchange : nullptr; }
};
