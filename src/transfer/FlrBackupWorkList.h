#pragma once
// The work items on their way from the planner thread to the sending
// thread, in order and at most `limit` at a time: a planner ahead of a slow
// sender waits instead of holding a whole collect file's checksums. Either
// side ends the exchange: the planner with finish() (and its error, which
// the sender gets once it took what came before it), the sender with stop(),
// and the run's abort flag ends both.
#include <cstddef>
#include <deque>
#include <memory>

#include "FLR/JxException.h"
#include "FLR/JxSafeFlags.h"
#include "FlrBackupContext.h"
#include "platform/JxMonitor.h"

class FlrBackupWorkList {
  public:
    FlrBackupWorkList(size_t limit, int waitMs, JxSafeFlags& abort)
        : limit_(limit), waitMs_(waitMs), abort_(abort) {}

    // A new run: empty, not finished, not stopped.
    void reset();

    // Planner side. push waits while the list is full; it and check throw
    // "Aborted" (from function) once the list is stopped or the run aborted.
    void push(std::unique_ptr<FlrBackupItem> item, const char* function);
    void check(const char* function);
    // No more items; error (null: none) reaches the sender after them.
    void finish(std::unique_ptr<JxException> error);

    // Sender side. The next item, waiting for one; null once the planner
    // finished and everything was taken. Throws the planner's error, or
    // "Aborted" from function when the run is aborted.
    std::unique_ptr<FlrBackupItem> take(const char* function);
    // Ends the planner's waits and checks.
    void stop();
    bool stopped() const;

  private:
    const size_t limit_;
    const int waitMs_;
    JxSafeFlags& abort_;
    mutable JxMonitorH mon_;
    std::deque<std::unique_ptr<FlrBackupItem>> items_;  // guarded by mon_
    bool done_ = false;                                 // guarded by mon_
    bool stop_ = false;                                 // guarded by mon_
    std::unique_ptr<JxException> error_;                // guarded by mon_
};
