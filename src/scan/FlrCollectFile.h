#pragma once
// Reads a collect file back, one entry per line, for the transfer threads.
//
// Lines are handed out in file order, each to exactly one caller, however
// many threads share the reader: streamLock_ is held only while a line is
// taken from the stream; unescaping happens outside it. Offsets are 64-bit
// byte positions from the start of the file; getOffset() is where the next
// unread line starts, so a reader built with it resumes after the lines
// already taken.
//
// A line that does not fit the caller's buffer is never split: it is read to
// its end, refused with a logged error naming its offset, and reading goes on
// with the next line. A line holding a NUL byte, raw or as "\x00" (no path
// can), is refused the same way.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FLR/FlrFid.h"
#include "platform/JxCriticalSection.h"
#include "platform/JxFile.h"

// One typed line of a file-id scan: "F", "D" or "L", the file id, the path.
struct FlrCollectEntry {
    char type = 'F';
    fsf_fid fid = fsf_fid::fid0;
    std::string path;
};

class FlrCollectFile {
  public:
    // The longest line readLine(std::string&) accepts, line feed excluded.
    static constexpr size_t kMaxStringLine = 1 << 20;

    // Opens name for reading and positions it at offset. Throws JxException
    // (function and source "FlrCollectFile") "Couldn't open collect file
    // NAME: <system text>", and "Invalid offset N for collect file NAME" for a
    // negative offset. An offset at or past the end gives no lines.
    FlrCollectFile(const std::string& name, int offset);
    FlrCollectFile(const std::string& name, int64_t offset);
    ~FlrCollectFile();
    FlrCollectFile(const FlrCollectFile&) = delete;
    FlrCollectFile& operator=(const FlrCollectFile&) = delete;

    // Reads the next line into buffer as a NUL-terminated, unescaped path.
    // A line fits when its text, line feed excluded, is at most size - 2
    // bytes (4094 with the transfer's 4096-byte buffer); longer lines are
    // refused whole (see above). False at the end of the file. A final line
    // without its line feed is read as it stands. Throws JxException on a
    // read error (never taken for the end) or on a buffer under 2 bytes.
    bool readLine(char* buffer, int size);

    // The same without a caller's buffer: lines up to kMaxStringLine bytes.
    // line's capacity is reused, so a loop over one string does not allocate
    // per line.
    bool readLine(std::string& line);

    // Byte offset of the next unread line.
    int64_t getOffset();

    // Lines refused so far (too long, or holding a NUL byte).
    uint64_t refusedLines();

    const std::string& getName() const { return name_; }

    // A typed line ("T FID PATH", already unescaped): the letter F, D or L,
    // white space, the file id in its text form, white space, and the path,
    // which is the rest of the line and not empty. False, out untouched,
    // for a line of any other shape.
    static bool parseTypedLine(std::string_view line, FlrCollectEntry* out);

  private:
    enum class Taken { kLine, kEnd, kTooLong, kHasNul };
    struct Take {
        Taken what = Taken::kEnd;
        size_t length = 0;  // bytes of the whole line, line feed excluded
        int64_t offset = 0;
    };

    void open(int64_t offset);
    // Under streamLock_: the next line into dst (limit bytes at most) or,
    // with grow, appended to *grow.
    Take takeLine(char* dst, size_t limit, std::string* grow);
    bool refill();
    bool decodedNul(const char* text, size_t length, Take* t);
    void copyOut(char* dst, std::string* grow, size_t at, const char* from, size_t n);
    void logRefused(const Take& t, size_t limit);

    std::string name_;
    jx::File file_;
    // Guards the descriptor's position and the buffered bytes (the next four).
    JxCriticalSection streamLock_;
    std::vector<char> buf_;
    size_t pos_ = 0;       // next unread byte in buf_
    size_t end_ = 0;       // bytes of buf_ holding file data
    int64_t bufBase_ = 0;  // file offset of buf_[0]
    std::atomic<uint64_t> refused_{0};
};
