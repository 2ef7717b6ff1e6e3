#pragma once
// Inter-process lock on a file (flock). Type 0 is shared, type 1 exclusive:
// holders of type 0 exclude type 1 and the other way round; two type 1
// holders exclude each other, also inside one process (each lock has its
// own open file description).
#include <string>

class JxFileLock {
  public:
    // mode: of the file when the lock creates it.
    explicit JxFileLock(std::string path, unsigned mode = 0644);
    ~JxFileLock();  // releases
    JxFileLock(const JxFileLock&) = delete;
    JxFileLock& operator=(const JxFileLock&) = delete;

    // Creates the file when missing, never through a symbolic link. timeoutSec -1 waits without
    // limit, 0 tries once. False on time-out; throws JxException when the
    // file cannot be opened or the lock call fails.
    bool lock(int type, int timeoutSec = -1);
    void unlock();
    bool isLocked() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
    unsigned mode_;
    int fd_ = -1;
};

// Scope guard for JxFileLock::lock(type, -1).
class JxFileLockGuard {
  public:
    JxFileLockGuard(JxFileLock& l, int type) : l_(l) { l_.lock(type, -1); }
    ~JxFileLockGuard() { l_.unlock(); }
    JxFileLockGuard(const JxFileLockGuard&) = delete;
    JxFileLockGuard& operator=(const JxFileLockGuard&) = delete;

  private:
    JxFileLock& l_;
};
