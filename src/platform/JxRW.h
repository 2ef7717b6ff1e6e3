#pragma once
// Read-write locks. JxRW is the interface the callers hold; JxSplitRW is the
// implementation with a JxMonitor: many readers or one writer, and a waiting
// writer holds back new readers so writers are not starved.
#include "JxMonitor.h"

class JxRW {
  public:
    virtual ~JxRW() = default;
    virtual void readLock() = 0;
    virtual void readUnlock() = 0;
    virtual void writeLock() = 0;
    virtual void writeUnlock() = 0;
};

class JxSplitRW : public JxRW {
  public:
    void readLock() override;
    void readUnlock() override;
    void writeLock() override;
    void writeUnlock() override;
    // True while some writer is queued for the lock (for tests and diagnostics).
    bool writerWaiting();

  private:
    JxMonitor mon_;  // guards the three counters below
    int readers_ = 0;
    int writersWaiting_ = 0;
    bool writer_ = false;
};

class JxReadLock {
  public:
    explicit JxReadLock(JxRW& rw) : rw_(rw) { rw_.readLock(); }
    ~JxReadLock() { rw_.readUnlock(); }
    JxReadLock(const JxReadLock&) = delete;
    JxReadLock& operator=(const JxReadLock&) = delete;

  private:
    JxRW& rw_;
};

class JxWriteLock {
  public:
    explicit JxWriteLock(JxRW& rw) : rw_(rw) { rw_.writeLock(); }
    ~JxWriteLock() { rw_.writeUnlock(); }
    JxWriteLock(const JxWriteLock&) = delete;
    JxWriteLock& operator=(const JxWriteLock&) = delete;

  private:
    JxRW& rw_;
};
