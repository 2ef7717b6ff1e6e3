#pragma once
// The sessions an applier serves, and the replication run each belongs to.
//
// A head killed mid-run leaves sessions that go on applying what it had
// already sent (the kernel holds it; the hang-up shows only once it is
// read), while the head's next run asks for checksums and places files.
// Two guards keep them apart: a session starts only once the sessions whose
// head visibly hung up have ended (enter, at most kLimit), and a session that
// names its run waits while a session of the run it follows is still
// applying (join). A session of that run that has been idle for kQuiet holds
// nothing back: its head is gone (a host that died sends no hang-up) and
// nothing of it is left to apply. One still applying when join's limit
// passes ends the joining session instead (the head's run fails and is tried
// again): starting beside it could let its late copies land over newer ones.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>

class FlrTailRuns {
  public:
    static constexpr std::chrono::seconds kLimit{60};
    static constexpr std::chrono::milliseconds kQuiet{1000};

    struct Session {
        explicit Session(std::function<bool()> gone) : hungUp(std::move(gone)) {}
        std::function<bool()> hungUp;  // whether its head has gone
        uint64_t run = 0;              // 0 until it names one; guarded by mtx_
        std::atomic<bool> working{false};
        std::atomic<int64_t> lastMs{0};  // when it last finished a message
    };
    using Handle = std::list<Session>::iterator;

    Handle enter(std::function<bool()> hungUp, const std::atomic<bool>& stopping);
    void leave(Handle h);
    // A session counted in for its lifetime (enter, then leave).
    class Entered {
      public:
        Entered(FlrTailRuns& runs, std::function<bool()> hungUp, const std::atomic<bool>& stop)
            : runs_(runs), it_(runs.enter(std::move(hungUp), stop)) {}
        ~Entered() { runs_.leave(it_); }
        Entered(const Entered&) = delete;
        Entered& operator=(const Entered&) = delete;
        Handle it() const { return it_; }

      private:
        FlrTailRuns& runs_;
        Handle it_;
    };
    // Marks h as applying something (true) or not (false); progressed: it
    // applied a message just now (idle-time commits are no sign of a head).
    static void working(Handle h, bool on, bool progressed = false);
    // Names h's run; then waits while a session of `follows` (not 0) is
    // still applying. False when `limit` passed first (logged).
    bool join(Handle h, uint64_t run, uint64_t follows, std::chrono::milliseconds limit,
              const std::atomic<bool>& stopping);

  private:
    // Polls `blocked` (under mtx_) every few milliseconds until it is false,
    // the session stops or the limit passes; false on the limit.
    bool waitUntilClear(const std::function<bool()>& blocked, std::chrono::milliseconds limit,
                        const std::atomic<bool>& stopping);

    std::mutex mtx_;               // guards sessions_ and each Session's run
    std::list<Session> sessions_;  // every session being served
};
