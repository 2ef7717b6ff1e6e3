#pragma once
// Socket I/O of the link: non-blocking sockets, poll with time-outs and abort
// descriptors, exact reads through a per-socket read-ahead buffer, gathered
// writes without SIGPIPE.
#include <poll.h>
#include <sys/uio.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace sdt {

enum class Io { Ok, Eof, Timeout, Aborted, Error };

struct IoStatus {
    Io io = Io::Ok;
    int err = 0;      // errno for Io::Error
    size_t done = 0;  // bytes moved before the status
};

// Descriptors that interrupt blocked I/O when they become readable.
class AbortList {
  public:
    static constexpr int kMax = 8;
    bool add(int fd);
    void remove(int fd);
    // Copies the descriptors into out (at most kMax); returns how many.
    int snapshot(struct pollfd* out) const;

  private:
    mutable std::mutex mtx_;
    std::vector<int> fds_;
};

// A time budget for one operation. A plain waiter has one deadline for
// everything (the handshake, so a slowly dripping peer cannot stretch it). A
// frame waiter starts the same way (the wait for a frame to begin), but once
// the frame has begun - its first byte moved, or enterFrame() - the budget
// bounds each stall instead, restarts whenever bytes move, and is never below
// kMinFrameStallMs: a frame half read or written cannot be resumed, so a short
// caller time-out must not cut one off.
class Waiter {
  public:
    static constexpr int kMinFrameStallMs = 30000;
    Waiter(int timeoutMs, const AbortList* aborts, bool frame = false);
    // Ok when fd is ready for events; Timeout, Aborted or Error otherwise.
    IoStatus wait(int fd, short events);
    void enterFrame();
    void progress();
    // However long the caller would wait, a wait with no progress for ms
    // fails with ETIMEDOUT (a peer that stopped reading); <= 0 = none.
    void setStallLimit(int ms);

  private:
    using Clock = std::chrono::steady_clock;
    void rearm();
    int timeoutMs_;
    bool frame_;
    bool inFrame_ = false;
    Clock::time_point deadline_;
    int stallMs_ = 0;
    Clock::time_point stallDeadline_;
    const AbortList* aborts_;
};

// Exact read straight from the socket (no read-ahead: the handshake must not
// consume anything past the records it parses).
IoStatus readExact(int fd, uint8_t* dst, size_t n, Waiter& w);
// Waits until n bytes can be peeked, and copies them without consuming.
IoStatus peekExact(int fd, uint8_t* dst, size_t n, Waiter& w);
// Writes all of iov (modified), MSG_NOSIGNAL.
IoStatus writeAll(int fd, struct iovec* iov, int iovcnt, Waiter& w);
inline IoStatus writeAll(int fd, const void* p, size_t n, Waiter& w) {
    struct iovec v {
        const_cast<void*>(p), n
    };
    return writeAll(fd, &v, 1, w);
}

// Read side of one socket with a read-ahead buffer, so that many small frames
// cost one system call and large payloads go straight to their destination.
class RecvStream {
  public:
    static constexpr size_t kCapacity = 64 * 1024;
    explicit RecvStream(int fd);
    int fd() const { return fd_; }
    // noReadAhead: take nothing beyond these n bytes from the socket (a
    // header expected before a large payload, which should land in place).
    IoStatus read(uint8_t* dst, size_t n, Waiter& w, bool noReadAhead = false);
    // True when the read-ahead buffer holds a whole frame already (its
    // header and every byte the header announces).
    bool holdsWholeFrame() const;

  private:
    static constexpr size_t kMaxLowWater = 256 * 1024;
    void setLowWater(size_t bytes);

    int fd_;
    int lowWater_ = 1;
    std::unique_ptr<uint8_t[]> buf_;
    size_t begin_ = 0;
    size_t end_ = 0;
};

// O_NONBLOCK on; returns the previous flags, or -1 with errno.
int makeNonBlocking(int fd);
void restoreFlags(int fd, int flags);

}  // namespace sdt
