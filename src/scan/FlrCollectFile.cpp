#include "FlrCollectFile.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "FLR/JxException.h"
#include "FlrCollectText.h"
#include "platform/EvDebug.h"

namespace {

// Large enough that a read system call carries hundreds of typical lines.
constexpr size_t kReadBufferSize = 64 * 1024;

const char* const kCollectFileFn = "FlrCollectFile";

// The white space of the C locale, without its locale look-up.
bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool isHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

size_t skipBlanks(std::string_view s, size_t i) {
    while (i < s.size() && isBlank(s[i])) ++i;
    return i;
}
}  // namespace

FlrCollectFile::FlrCollectFile(const std::string& name, int offset) : name_(name) {
    open(offset);
}

FlrCollectFile::FlrCollectFile(const std::string& name, int64_t offset) : name_(name) {
    open(offset);
}

FlrCollectFile::~FlrCollectFile() = default;

void FlrCollectFile::open(int64_t offset) {
    if (offset < 0)
        JX_THROW(kCollectFileFn, jxFormat("Invalid offset %lld for collect file %s",
                                          static_cast<long long>(offset), name_.c_str()));
    file_ = jx::openFile(name_, O_RDONLY);
    if (!file_) JX_THROW_ERRNO(kCollectFileFn, "Couldn't open collect file " + name_, errno);
    struct stat st;
    if (jx::fileOps().fstat(file_.get(), &st) == 0 && S_ISDIR(st.st_mode))
        JX_THROW_ERRNO(kCollectFileFn, "Couldn't open collect file " + name_, EISDIR);
    if (offset > 0 && jx::fileOps().lseek(file_.get(), static_cast<off_t>(offset), SEEK_SET) < 0)
        JX_THROW_ERRNO(kCollectFileFn, "Couldn't open collect file " + name_, errno);
    bufBase_ = offset;
    buf_.resize(kReadBufferSize);
}

bool FlrCollectFile::readLine(char* buffer, int size) {
    if (!buffer || size < 2)
        JX_THROW("FlrCollectFile::readLine",
                 jxFormat("A line buffer of %d bytes cannot hold a line", size));
    const size_t limit = static_cast<size_t>(size) - 2;
    for (;;) {
        Take t;
        {
            JxCriticalSectionLock guard(streamLock_);
            t = takeLine(buffer, limit, nullptr);
        }
        if (t.what == Taken::kEnd) {
            buffer[0] = '\0';
            return false;
        }
        if (t.what == Taken::kLine) {
            const size_t length = FlrCollectText::unescapeInPlace(buffer, t.length);
            buffer[length] = '\0';
            if (!decodedNul(buffer, length, &t)) return true;
        }
        logRefused(t, limit);
    }
}

bool FlrCollectFile::readLine(std::string& line) {
    for (;;) {
        Take t;
        {
            JxCriticalSectionLock guard(streamLock_);
            line.clear();
            t = takeLine(nullptr, kMaxStringLine, &line);
        }
        if (t.what == Taken::kEnd) return false;
        if (t.what == Taken::kLine) {
            line.resize(FlrCollectText::unescapeInPlace(line.data(), line.size()));
            if (!decodedNul(line.data(), line.size(), &t)) return true;
        }
        logRefused(t, kMaxStringLine);
    }
}

int64_t FlrCollectFile::getOffset() {
    JxCriticalSectionLock guard(streamLock_);
    return bufBase_ + static_cast<int64_t>(pos_);
}

uint64_t FlrCollectFile::refusedLines() {
    return refused_.load(std::memory_order_relaxed);
}

// A line is consumed to its line feed whatever happens to its bytes, so the
// next call always starts at a line boundary.
FlrCollectFile::Take FlrCollectFile::takeLine(char* dst, size_t limit, std::string* grow) {
    Take t;
    t.offset = bufBase_ + static_cast<int64_t>(pos_);
    size_t length = 0;
    Taken verdict = Taken::kLine;
    for (;;) {
        if (pos_ == end_ && !refill()) {
            if (length == 0) return t;  // kEnd
            break;                      // a last line without its line feed
        }
        const char* start = buf_.data() + pos_;
        const size_t avail = end_ - pos_;
        const char* lf = static_cast<const char*>(std::memchr(start, '\n', avail));
        const size_t n = lf ? static_cast<size_t>(lf - start) : avail;
        if (verdict == Taken::kLine) {
            if (length + n > limit)
                verdict = Taken::kTooLong;
            else
                copyOut(dst, grow, length, start, n);
        }
        length += n;
        pos_ += n + (lf ? 1 : 0);
        if (lf) break;
    }
    t.what = verdict;
    t.length = length;
    if (verdict != Taken::kLine) ++refused_;
    return t;
}

// No path holds a NUL byte, raw or escaped as "\x00", and a caller's C
// string would cut the path short at it. Unescaping keeps raw NULs, so one
// look at the decoded text finds both.
bool FlrCollectFile::decodedNul(const char* text, size_t length, Take* t) {
    if (!std::memchr(text, '\0', length)) return false;
    t->what = Taken::kHasNul;
    ++refused_;
    return true;
}

void FlrCollectFile::copyOut(char* dst, std::string* grow, size_t at, const char* from, size_t n) {
    if (grow)
        grow->append(from, n);
    else
        std::memcpy(dst + at, from, n);
}

// Not sticky at the end: a later call looks again, as a stream reader would.
bool FlrCollectFile::refill() {
    bufBase_ += static_cast<int64_t>(end_);
    pos_ = end_ = 0;
    for (;;) {
        const ssize_t n = jx::fileOps().read(file_.get(), buf_.data(), buf_.size());
        if (n > 0) {
            end_ = static_cast<size_t>(n);
            return true;
        }
        if (n == 0) return false;
        if (errno != EINTR)
            JX_THROW_ERRNO("FlrCollectFile::readLine", "Failed to read collect file " + name_,
                           errno);
    }
}

void FlrCollectFile::logRefused(const Take& t, size_t limit) {
    if (t.what == Taken::kTooLong)
        EvDebug::Error("FlrCollectFile::readLine",
                       "Skipped the line at offset %lld of collect file %s: %zu bytes, longer "
                       "than the %zu a line may hold",
                       static_cast<long long>(t.offset), name_.c_str(), t.length, limit);
    else
        EvDebug::Error("FlrCollectFile::readLine",
                       "Skipped the line at offset %lld of collect file %s: it holds a NUL byte",
                       static_cast<long long>(t.offset), name_.c_str());
}

bool FlrCollectFile::parseTypedLine(std::string_view line, FlrCollectEntry* out) {
    if (line.size() < 2) return false;
    const char type = line[0];
    if (type != 'F' && type != 'D' && type != 'L') return false;
    if (!isBlank(line[1])) return false;
    const size_t fidStart = skipBlanks(line, 1);
    size_t fidEnd = fidStart;
    while (fidEnd < line.size() && isHex(line[fidEnd])) ++fidEnd;
    if (fidEnd - fidStart != fsf_fid::kHexLen) return false;
    if (fidEnd >= line.size() || !isBlank(line[fidEnd])) return false;
    const size_t pathStart = skipBlanks(line, fidEnd);
    if (pathStart >= line.size()) return false;
    out->type = type;
    out->fid = str2fid(std::string(line.substr(fidStart, fsf_fid::kHexLen)));
    out->path.assign(line.substr(pathStart));
    return true;
}
