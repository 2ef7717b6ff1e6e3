// The scanner's output: collect lines, dirchange text and attribute strings.
#include <fcntl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "FlrCollectText.h"
#include "FlrIfind.h"
#include "FlrIfindImpl.h"
#include "platform/EvDebug.h"

namespace ifind {

void fail(const char* function, const std::string& message, int line) {
    throw JxException(function, message, "FlrIfind", line, -1);
}

std::string withErrno(const std::string& message, int err) {
    return message + ": " + jxErrnoText(err);
}

std::string timeText(long timestamp) {
    const time_t t = static_cast<time_t>(timestamp);
    char buf[64] = {};
    if (!ctime_r(&t, buf)) return "?";
    std::string text(buf);
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

const char* formatName(int dirchangeFormat) {
    return dirchangeFormat == FlrIfind::kFormatAttributes ? "With Attributes" : "Plain";
}

void appendCollectEscaped(std::string& out, std::string_view path) {
    if (path.find_first_of("\n\r\\") == std::string_view::npos) {
        out.append(path);
        return;
    }
    FlrCollectText::appendEscaped(out, path);
}

void appendDirChangeEscaped(std::string& out, std::string_view name) {
    for (;;) {
        const size_t tab = name.find('\t');
        appendCollectEscaped(out, name.substr(0, tab));
        if (tab == std::string_view::npos) return;
        out += "\\x09";
        name.remove_prefix(tab + 1);
    }
}

namespace {

void appendUnsigned(std::string& out, unsigned long long v) {
    char digits[24];
    char* p = digits + sizeof digits;
    do {
        *--p = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v);
    out.append(p, static_cast<size_t>(digits + sizeof digits - p));
}

void appendSigned(std::string& out, long long v) {
    if (v < 0) {
        out += '-';
        appendUnsigned(out, 0ULL - static_cast<unsigned long long>(v));
        return;
    }
    appendUnsigned(out, static_cast<unsigned long long>(v));
}

void appendOctal3(std::string& out, unsigned v) {
    char digits[8];
    char* p = digits + sizeof digits;
    int n = 0;
    do {
        *--p = static_cast<char>('0' + (v & 7));
        v >>= 3;
        ++n;
    } while (v || n < 3);
    out.append(p, static_cast<size_t>(digits + sizeof digits - p));
}

}  // namespace

void appendAttributes(std::string& out, const struct stat& st) {
    const bool link = S_ISLNK(st.st_mode);
    out += '|';
    appendOctal3(out, link ? 0u : static_cast<unsigned>(st.st_mode & 07777));
    out += '|';
    appendSigned(out, static_cast<long long>(st.st_uid));
    out += '|';
    appendSigned(out, static_cast<long long>(st.st_gid));
    out += '|';
    appendSigned(out, S_ISREG(st.st_mode) ? static_cast<long long>(st.st_size) : 0LL);
    out += '|';
    appendUnsigned(out, static_cast<uint32_t>(st.st_mtime));
    out += '|';
}

}  // namespace ifind

// --- output files ------------------------------------------------------------

void FlrIfind::Output::open(const char* function, const std::string& name, bool append) {
    function_ = function;
    const int flags = O_WRONLY | O_CREAT | (append ? O_APPEND : O_TRUNC);
    // 0600: the names of a private source tree stay private.
    file_ = jx::openFile(name, flags, 0600);
    if (!file_.valid()) {
        const int err = errno;
        IFIND_FAIL(function, ifind::withErrno(std::string("Failed to open ") + kind_ + " file " +
                                                  name + " for writing",
                                              err));
    }
    name_ = name;
    buf_.clear();
    buf_.reserve(kFlushBytes + 64 * 1024);
}

void FlrIfind::Output::flush() {
    size_t done = 0;
    while (done < buf_.size()) {
        const ssize_t n = jx::fileOps().write(file_.get(), buf_.data() + done, buf_.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : EIO;
            IFIND_FAIL(
                function_,
                ifind::withErrno(std::string("Failed to write ") + kind_ + " file " + name_, err));
        }
        done += static_cast<size_t>(n);
    }
    buf_.clear();
}

void FlrIfind::Output::close() {
    if (!file_.valid()) return;
    flush();
    if (file_.close() != 0) {
        const int err = errno;
        IFIND_FAIL(function_, ifind::withErrno(
                                  std::string("Failed to close ") + kind_ + " file " + name_, err));
    }
}

void FlrIfind::Output::discard() noexcept {
    if (!file_.valid() && name_.empty()) return;
    file_.reset();
    if (!name_.empty()) jx::fileOps().unlink(name_.c_str());
    name_.clear();
    buf_.clear();
}

// --- collect lines -----------------------------------------------------------

void FlrIfind::addToCollect(Output& file, const std::string& path) {
    if (EvDebug::enabled(2)) EvDebug::DebugLvl("FlrIfind", 2, "Adding to Collect %s", path.c_str());
    std::string& out = file.buffer();
    ifind::appendCollectEscaped(out, path);
    out += '\n';
    ++fileCount;
    file.flushIfFull();
}

void FlrIfind::addToCollect(Output& file, char type, const fsf_fid& fid, const std::string& path) {
    if (EvDebug::enabled(2)) EvDebug::DebugLvl("FlrIfind", 2, "Adding to Collect %s", path.c_str());
    std::string& out = file.buffer();
    char hex[fsf_fid::kHexLen + 1];
    out += type;
    out += ' ';
    out.append(fid2hex(fid.bytes, hex), fsf_fid::kHexLen);
    out += ' ';
    ifind::appendCollectEscaped(out, path);
    out += '\n';
    ++fileCount;
    file.flushIfFull();
}

// --- attribute strings -------------------------------------------------------

void FlrIfind::stat2str(const struct stat& st, char* buffer, size_t size) {
    if (!buffer || size == 0) return;
    const bool link = S_ISLNK(st.st_mode);
    std::snprintf(buffer, size, "|%03o|%lld|%lld|%lld|%u|",
                  link ? 0u : static_cast<unsigned>(st.st_mode & 07777),
                  static_cast<long long>(st.st_uid), static_cast<long long>(st.st_gid),
                  S_ISREG(st.st_mode) ? static_cast<long long>(st.st_size) : 0LL,
                  static_cast<unsigned>(static_cast<uint32_t>(st.st_mtime)));
    buffer[size - 1] = '\0';
}

std::string FlrIfind::escape(const std::string& path) {
    return FlrCollectText::escape(path);
}

std::string FlrIfind::unescape(const std::string& text) {
    return FlrCollectText::unescape(text);
}
