// The applier's sessions and their runs.
#include "FlrTailRuns.h"

#include <thread>

#include "platform/EvDebug.h"

namespace {
int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
}  // namespace

bool FlrTailRuns::waitUntilClear(const std::function<bool()>& blocked,
                                 std::chrono::milliseconds limit,
                                 const std::atomic<bool>& stopping) {
    const auto until = std::chrono::steady_clock::now() + limit;
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
        kLimit, stopping);
    std::lock_guard<std::mutex> lock(mtx_);
    sessions_.emplace_front(std::move(hungUp));
    sessions_.front().lastMs = nowMs();
    return sessions_.begin();
}

void FlrTailRuns::leave(Handle h) {
    std::lock_guard<std::mutex> lock(mtx_);
    sessions_.erase(h);
}

void FlrTailRuns::working(Handle h, bool on, bool progressed) {
    if (progressed) h->lastMs.store(nowMs(), std::memory_order_relaxed);
    h->working.store(on, std::memory_order_release);
}

bool FlrTailRuns::join(Handle h, uint64_t run, uint64_t follows, std::chrono::milliseconds limit,
                       const std::atomic<bool>& stopping) {
    {
        std::lock_guard<std::mutex> lock(mtx_);
        h->run = run;
    }
    if (follows == 0 || follows == run) return true;
    const bool clear = waitUntilClear(
        [this, follows] {
            const int64_t now = nowMs();
            for (const Session& s : sessions_)
                if (s.run == follows &&
                    (s.working.load(std::memory_order_acquire) ||
                     now - s.lastMs.load(std::memory_order_relaxed) < kQuiet.count()))
                    return true;
            return false;
        },
        limit, stopping);
    if (!clear)
        EvDebug::Error("FlrTailRuns",
                       "Run %016llx refused: the run before it (%016llx) is still applying; its "
                       "head tries again",
                       static_cast<unsigned long long>(run),
                       static_cast<unsigned long long>(follows));
    return clear;
}
