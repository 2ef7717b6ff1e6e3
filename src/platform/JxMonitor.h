#pragma once
// Re-entrant monitor: a lock its holder may take again, with Mesa-style
// condition waits in milliseconds. wait() releases every level the holder
// took and takes them all back before returning, so a wait deep inside
// nested calls does not deadlock.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>

class JxMonitor {
  public:
    JxMonitor() = default;
    JxMonitor(const JxMonitor&) = delete;
    JxMonitor& operator=(const JxMonitor&) = delete;

    void enter();
    bool tryEnter();
    void exit();
    // Caller holds the monitor. Waits for signal/broadcast or until timeoutMs
    // passes (negative: no limit). True when woken by a signal, false on
    // time-out. Wake-ups may be spurious: callers re-check their condition.
    bool wait(long timeoutMs = -1);
    void signal();
    void broadcast();
    bool heldByMe() const;

  private:
    // Ownership is a plain mutex plus the owner's id and re-entry depth, so an
    // uncontended enter/exit is one lock/unlock. The owner id is atomic
    // because any thread compares it with its own; only the owner changes it
    // to or from its own id, and only the owner touches depth_.
    std::mutex own_;
    std::atomic<std::thread::id> owner_{};
    int depth_ = 0;

    // Condition state, guarded by m_. A waiter registers here before it lets
    // go of own_, so a signal sent by the next holder is never lost.
    mutable std::mutex m_;
    std::condition_variable sigCv_;  // signal/broadcast
    uint64_t generation_ = 0;        // bumped by each signal/broadcast
    int waiters_ = 0;
    int pendingSignals_ = 0;
};

// The handle form callers hold as a member; the same monitor.
class JxMonitorH : public JxMonitor {};

// Scope guard: enters on construction, exits on destruction (also on throw).
class JxMonitorLock {
  public:
    explicit JxMonitorLock(JxMonitor& m) : m_(m) { m_.enter(); }
    ~JxMonitorLock() { m_.exit(); }
    JxMonitorLock(const JxMonitorLock&) = delete;
    JxMonitorLock& operator=(const JxMonitorLock&) = delete;

  private:
    JxMonitor& m_;
};
