// The applier's sessions and their runs.
#include "FlrTailRuns.h"

#include <thread>

#include "platform/EvDebug.h"

bool FlrTailRuns::waitUntilClear(const std::function<bool()>& blocked,
                                 const std::atomic<bool>& stopping) {
    const auto until = std::chrono::steady_clock::now() + kLimit;
    while (true) {
        {
            std::lock_guard<std::mutex> lock(mtx_);
            if (!blocked()) return true;
        }
        if (stopping.load()) return true;
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

FlrTailRuns::Handle FlrTailRuns::enter(std::function<bool()> hungUp,
                                       const std::atomic<bool>& stopping) {
    waitUntilClear(
        [this] {
            for (const Session& s : sessions_)
                if (s.hungUp && s.hungUp()) return true;
            return false;
        },
        stopping);
    std::lock_guard<std::mutex> lock(mtx_);
    sessions_.push_front(Session{std::move(hungUp), 0});
    return sessions_.begin();
}

void FlrTailRuns::leave(Handle h) {
    std::lock_guard<std::mutex> lock(mtx_);
    sessions_.erase(h);
}

bool FlrTailRuns::join(Handle h, uint64_t run, uint64_t follows,
                       const std::atomic<bool>& stopping) {
    {
        std::lock_guard<std::mutex> lock(mtx_);
        h->run = run;
    }
    if (follows == 0 || follows == run) return true;
    const bool clear = waitUntilClear(
        [this, follows] {
            for (const Session& s : sessions_)
                if (s.run == follows) return true;
            return false;
        },
        stopping);
    if (!clear)
        EvDebug::Warning("FlrTailRuns",
                         "Run %016llx starts while sessions of the run before it (%016llx) are "
                         "still applying",
                         static_cast<unsigned long long>(run),
                         static_cast<unsigned long long>(follows));
    return clear;
}
