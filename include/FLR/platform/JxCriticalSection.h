#pragma once
// Re-entrant critical section without condition waits.
#include <mutex>

#include "FLR/platform/FlrExport.h"

class FLR_EXPORT JxCriticalSection {
  public:
    void enter() { m_.lock(); }
    bool tryEnter() { return m_.try_lock(); }
    void exit() { m_.unlock(); }

  private:
    std::recursive_mutex m_;
};

class FLR_EXPORT JxCriticalSectionH : public JxCriticalSection {};

class FLR_EXPORT JxCriticalSectionLock {
  public:
    explicit JxCriticalSectionLock(JxCriticalSection& cs) : cs_(cs) { cs_.enter(); }
    ~JxCriticalSectionLock() { cs_.exit(); }
    JxCriticalSectionLock(const JxCriticalSectionLock&) = delete;
    JxCriticalSectionLock& operator=(const JxCriticalSectionLock&) = delete;

  private:
    JxCriticalSection& cs_;
};
