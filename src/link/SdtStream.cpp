#include "SdtStream.h"

#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "SdtFrame.h"

namespace sdt {

bool AbortList::add(int fd) {
    std::lock_guard<std::mutex> lock(mtx_);
    if (std::find(fds_.begin(), fds_.end(), fd) != fds_.end()) return true;
    if (fds_.size() >= static_cast<size_t>(kMax)) return false;
    fds_.push_back(fd);
    return true;
}

void AbortList::remove(int fd) {
    std::lock_guard<std::mutex> lock(mtx_);
    fds_.erase(std::remove(fds_.begin(), fds_.end(), fd), fds_.end());
}

int AbortList::snapshot(struct pollfd* out) const {
    std::lock_guard<std::mutex> lock(mtx_);
    int n = 0;
    for (int fd : fds_) {
        out[n].fd = fd;
        out[n].events = POLLIN;
        out[n].revents = 0;
        ++n;
    }
    return n;
}

Waiter::Waiter(int timeoutMs, const AbortList* aborts, bool frame)
    : timeoutMs_(timeoutMs), frame_(frame), aborts_(aborts) {
    if (timeoutMs_ >= 0) deadline_ = Clock::now() + std::chrono::milliseconds(timeoutMs_);
}

void Waiter::enterFrame() {
    if (!frame_) return;
    inFrame_ = true;
    rearm();
}

void Waiter::setStallLimit(int ms) {
    stallMs_ = ms;
    if (ms > 0) stallDeadline_ = Clock::now() + std::chrono::milliseconds(ms);
}

void Waiter::progress() {
    if (stallMs_ > 0) stallDeadline_ = Clock::now() + std::chrono::milliseconds(stallMs_);
    if (!frame_) return;
    inFrame_ = true;
    rearm();
}

void Waiter::rearm() {
    if (timeoutMs_ < 0) return;
    deadline_ = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs_, kMinFrameStallMs));
}

IoStatus Waiter::wait(int fd, short events) {
    struct pollfd pfd[1 + AbortList::kMax];
    pfd[0].fd = fd;
    pfd[0].events = events;
    const int nAbort = aborts_ ? aborts_->snapshot(pfd + 1) : 0;
    for (;;) {
        int ms = -1;
        const auto now = Clock::now();
        if (timeoutMs_ >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - now).count();
            if (left <= 0) return {Io::Timeout, 0, 0};
            ms = static_cast<int>(std::min<long long>(left, INT_MAX));
        }
        if (stallMs_ > 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(stallDeadline_ - now).count();
            if (left <= 0) return {Io::Error, ETIMEDOUT, 0};
            const int cap = static_cast<int>(std::min<long long>(left, INT_MAX));
            ms = ms < 0 ? cap : std::min(ms, cap);
        }
        pfd[0].revents = 0;
        const int r = ::poll(pfd, static_cast<nfds_t>(1 + nAbort), ms);
        if (r < 0) {
            if (errno == EINTR) continue;
            return {Io::Error, errno, 0};
        }
        if (r == 0) continue;  // re-checks the deadline
        for (int i = 1; i <= nAbort; ++i)
            if (pfd[i].revents & (POLLIN | POLLHUP | POLLERR)) return {Io::Aborted, 0, 0};
        if (pfd[0].revents & POLLNVAL) return {Io::Error, EBADF, 0};
        // Errors and hang-ups surface from the next read or write with their errno.
        if (pfd[0].revents) return {Io::Ok, 0, 0};
    }
}

IoStatus readExact(int fd, uint8_t* dst, size_t n, Waiter& w) {
    size_t done = 0;
    while (done < n) {
        const ssize_t r = ::recv(fd, dst + done, n - done, 0);
        if (r > 0) {
            done += static_cast<size_t>(r);
            w.progress();
            continue;
        }
        if (r == 0) return {Io::Eof, 0, done};
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return {Io::Error, errno, done};
        IoStatus s = w.wait(fd, POLLIN);
        if (s.io != Io::Ok) return {s.io, s.err, done};
    }
    return {Io::Ok, 0, done};
}

IoStatus peekExact(int fd, uint8_t* dst, size_t n, Waiter& w) {
    for (;;) {
        const ssize_t r = ::recv(fd, dst, n, MSG_PEEK);
        if (r >= 0 && static_cast<size_t>(r) == n) return {Io::Ok, 0, n};
        if (r == 0) return {Io::Eof, 0, 0};
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return {Io::Error, errno, 0};
        if (r > 0) {
            // Part of the record is here; poll would report readable at once,
            // so give the rest a moment to arrive. A peer that hung up after
            // a part (or a socket shut down here) never completes it.
            struct pollfd hangUp {
                fd, POLLRDHUP, 0
            };
            if (::poll(&hangUp, 1, 5) > 0 && (hangUp.revents & (POLLRDHUP | POLLHUP | POLLERR)))
                return {Io::Eof, 0, 0};
        }
        IoStatus s = w.wait(fd, POLLIN);
        if (s.io != Io::Ok) return s;
    }
}

IoStatus writeAll(int fd, struct iovec* iov, int iovcnt, Waiter& w) {
    size_t done = 0;
    while (iovcnt > 0) {
        struct msghdr msg {};
        msg.msg_iov = iov;
        msg.msg_iovlen = static_cast<size_t>(iovcnt);
        const ssize_t r = ::sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (r < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) return {Io::Error, errno, done};
            IoStatus s = w.wait(fd, POLLOUT);
            if (s.io != Io::Ok) return {s.io, s.err, done};
            continue;
        }
        size_t left = static_cast<size_t>(r);
        done += left;
        if (left > 0) w.progress();
        while (iovcnt > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --iovcnt;
        }
        if (iovcnt > 0) {
            iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
    return {Io::Ok, 0, done};
}

RecvStream::RecvStream(int fd) : fd_(fd), buf_(new uint8_t[kCapacity]) {}

IoStatus RecvStream::read(uint8_t* dst, size_t n, Waiter& w, bool noReadAhead) {
    size_t done = 0;
    while (done < n) {
        if (begin_ < end_) {
            const size_t take = std::min(n - done, end_ - begin_);
            std::copy(buf_.get() + begin_, buf_.get() + begin_ + take, dst + done);
            begin_ += take;
            done += take;
            continue;
        }
        // Big remainders go straight to their destination; small ones refill
        // the read-ahead buffer so that following frames come along.
        const bool direct = noReadAhead || n - done >= kCapacity / 2;
        uint8_t* into = direct ? dst + done : buf_.get();
        const size_t want = direct ? n - done : kCapacity;
        const ssize_t r = ::recv(fd_, into, want, 0);
        if (r > 0) {
            if (direct) {
                done += static_cast<size_t>(r);
            } else {
                begin_ = 0;
                end_ = static_cast<size_t>(r);
            }
            w.progress();
            continue;
        }
        if (r == 0) return {Io::Eof, 0, done};
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return {Io::Error, errno, done};
        // Waiting for the rest of a large payload: wake once it is all there
        // (or the socket's cap) instead of once per arriving segment.
        setLowWater(direct && !noReadAhead ? std::min(n - done, kMaxLowWater) : 1);
        IoStatus s = w.wait(fd_, POLLIN);
        if (s.io != Io::Ok) return {s.io, s.err, done};
    }
    return {Io::Ok, 0, done};
}

bool RecvStream::holdsWholeFrame() const {
    const size_t held = end_ - begin_;
    if (held < kFrameHeaderLen) return false;
    FrameHeader h;
    if (decodeFrameHeader(buf_.get() + begin_, &h) || h.kind != kKindMessage) return false;
    return held >= kFrameHeaderLen + h.wireLen + ((h.flags & kFlagCrc) ? kCrcLen : 0);
}

void RecvStream::setLowWater(size_t bytes) {
    const int v = static_cast<int>(bytes);
    if (v == lowWater_) return;
    // The kernel caps it at half the receive buffer; EOF and errors still wake.
    if (::setsockopt(fd_, SOL_SOCKET, SO_RCVLOWAT, &v, sizeof v) == 0) lowWater_ = v;
}

int makeNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return -1;
    if (!(flags & O_NONBLOCK) && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) return -1;
    return flags;
}

void restoreFlags(int fd, int flags) {
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags);
}

}  // namespace sdt
