#pragma once
// Process-shared mutex named by a string, e.g. "FLR_SNAP_MGR_MUTEX": an
// exclusive flock on <lock dir>/<name>.lock between processes, and an
// in-process owner with a re-entry count between threads. The lock directory
// is registry [Platform] dLock, default <temp dir>/locks.
#include <string>

#include "FLR/FlrExport.h"

class FLR_EXPORT JxNamedMutex {
  public:
    explicit JxNamedMutex(std::string name);
    ~JxNamedMutex();  // releases every level still held by this object
    JxNamedMutex(const JxNamedMutex&) = delete;
    JxNamedMutex& operator=(const JxNamedMutex&) = delete;

    // timeoutSec -1: no limit. False on time-out; throws JxException when the
    // lock file cannot be made. Re-entrant for the holding thread.
    bool lock(int timeoutSec = -1);
    void unlock();
    const std::string& name() const { return name_; }
    static std::string lockDirectory();

    struct Shared;  // public so that the source's helpers can name it

  private:
    int& levelsHere(const Shared& s);

    std::string name_;
    Shared* shared_;   // per-name process-wide state, owned by a registry
    int held_ = 0;     // levels taken through this object, for the destructor
    int heldPid_ = 0;  // process that took them (a forked child holds none)
};

class FLR_EXPORT JxNamedMutexLock {
  public:
    explicit JxNamedMutexLock(JxNamedMutex& m) : m_(m) { m_.lock(-1); }
    ~JxNamedMutexLock() { m_.unlock(); }
    JxNamedMutexLock(const JxNamedMutexLock&) = delete;
    JxNamedMutexLock& operator=(const JxNamedMutexLock&) = delete;

  private:
    JxNamedMutex& m_;
};
