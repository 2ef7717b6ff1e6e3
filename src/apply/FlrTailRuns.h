#pragma once
// The sessions an applier serves, and the replication run each belongs to.
//
// A head killed mid-run leaves sessions that go on applying what it had
// already sent (the kernel holds it; the hang-up shows only once it is
// read), while the head's next run asks for checksums and places files.
// Two guards keep them apart: a session starts only once the sessions whose
// head visibly hung up have ended (enter), and a session that names its run
// waits until no session of the run it follows is left (join). Both waits
// are bounded (kLimit) and end early when the session stops.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>

class FlrTailRuns {
  public:
    static constexpr std::chrono::seconds kLimit{60};

    struct Session {
        std::function<bool()> hungUp;  // whether its head has gone
        uint64_t run = 0;              // 0 until it names one
    };
    using Handle = std::list<Session>::iterator;

    Handle enter(std::function<bool()> hungUp, const std::atomic<bool>& stopping);
    void leave(Handle h);
    // Names h's run; then waits while a session of `follows` (not 0) is
    // still served. False when the limit ran out first.
    bool join(Handle h, uint64_t run, uint64_t follows, const std::atomic<bool>& stopping);

  private:
    // Polls `blocked` (under mtx_) every few milliseconds until it is false,
    // the session stops or the limit passes; false on the limit.
    bool waitUntilClear(const std::function<bool()>& blocked, const std::atomic<bool>& stopping);

    std::mutex mtx_;               // guards sessions_ and each Session's run
    std::list<Session> sessions_;  // every session being served
};
