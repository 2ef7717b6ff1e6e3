#pragma once
// Re-entrant critical section without condition waits.
#include <mutex>

class JxCriticalSection {
  public:
    void enter() { m_.lock(); }
    bool tryEnter() { return m_.try_lock(); }
    void exit() { m_.unlock(); }

  private:
    std::recursive_mutex m_;
};

class JxCriticalSectionH : public JxCriticalSection {};

class JxCriticalSectionLock {
  public:
    explicit JxCriticalSectionLock(JxCriticalSection& cs) : cs_(cs) { cs_.enter(); }
    ~JxCriticalSectionLock() { cs_.exit(); }
    JxCriticalSectionLock(const JxCriticalSectionLock&) = delete;
    JxCriticalSectionLock& operator=(const JxCriticalSectionLock&) = delete;

  private:
    JxCriticalSection& cs_;
};
