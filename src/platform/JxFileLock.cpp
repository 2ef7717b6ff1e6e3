#include "JxFileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <utility>

#include "FLR/JxException.h"
#include "JxThread.h"

namespace {

// O_NOFOLLOW: in a folder others can write to, a planted link must not make
// the lock create or open a file elsewhere.
int openLockFile(const std::string& path, unsigned mode) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, mode);
    } while (fd < 0 && errno == EINTR);
    // A reader without write access to an existing lock file can still lock it.
    if (fd < 0 && (errno == EACCES || errno == EROFS)) {
        do {
            fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        } while (fd < 0 && errno == EINTR);
    }
    if (fd < 0) JX_THROW_ERRNO("JxFileLock::lock", "Failed to open lock file " + path, errno);
    return fd;
}

// True when locked, false when held by someone else; throws on other errors.
bool tryFlock(int fd, int op, const std::string& path) {
    while (::flock(fd, op | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        if (errno == EWOULDBLOCK) return false;
        JX_THROW_ERRNO("JxFileLock::lock", "Failed to lock " + path, errno);
    }
    return true;
}

void waitFlock(int fd, int op, const std::string& path) {
    while (::flock(fd, op) != 0) {
        if (errno != EINTR) JX_THROW_ERRNO("JxFileLock::lock", "Failed to lock " + path, errno);
    }
}

// Polls with growing pauses; the lock is usually held for short stretches.
bool pollFlock(int fd, int op, const std::string& path, int timeoutSec) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec);
    long pauseMs = 1;
    for (;;) {
        if (tryFlock(fd, op, path)) return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0) return false;
        jxSleepMs(std::min<long>(pauseMs, left));
        pauseMs = std::min<long>(pauseMs * 2, 50);
    }
}

bool flockWithTimeout(int fd, int op, const std::string& path, int timeoutSec) {
    if (timeoutSec < 0) {
        waitFlock(fd, op, path);
        return true;
    }
    if (timeoutSec == 0) return tryFlock(fd, op, path);
    return pollFlock(fd, op, path, timeoutSec);
}

}  // namespace

JxFileLock::JxFileLock(std::string path, unsigned mode) : path_(std::move(path)), mode_(mode) {}

JxFileLock::~JxFileLock() {
    unlock();
}

bool JxFileLock::lock(int type, int timeoutSec) {
    if (type != 0 && type != 1)
        JX_THROW("JxFileLock::lock", "Invalid lock type " + std::to_string(type) + " for " + path_);
    // Changing the type of a held flock is not atomic (it may drop the lock
    // on the way), so a second lock through the same object is refused.
    if (fd_ >= 0) JX_THROW("JxFileLock::lock", "Lock on " + path_ + " is already held");
    const int fd = openLockFile(path_, mode_);
    bool locked = false;
    try {
        locked = flockWithTimeout(fd, type == 0 ? LOCK_SH : LOCK_EX, path_, timeoutSec);
    } catch (...) {
        ::close(fd);
        throw;
    }
    if (!locked) {
        ::close(fd);
        return false;
    }
    fd_ = fd;
    return true;
}

void JxFileLock::unlock() {
    if (fd_ < 0) return;
    // Closing, not LOCK_UN: a forked child that inherited the descriptor shares
    // the lock, and LOCK_UN there would drop it under the parent's feet.
    ::close(fd_);
    fd_ = -1;
}
