#pragma once
// The descriptors the batches of every session of one applier hold open
// together. An entry waiting in a batch keeps its folder open until the batch
// commits; with a quarter of the open-file limit for each session, four heads
// at once used all of it at the usual limit of 1,024 and nearly every entry
// failed with EMFILE. So the quarter is one budget shared by the sessions: a
// session whose entry finds it spent commits its own batch, which gives its
// share back, and every session makes progress on its own.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstddef>

class FlrTailBatchBudget {
  public:
    // A quarter of the process's open-file limit, at least kFewest; the rest
    // of the process (sockets, journal, store, links, LBFS files) keeps the
    // other three quarters.
    FlrTailBatchBudget() : limit_(quarterOfOpenFileLimit()) {}
    explicit FlrTailBatchBudget(size_t limit) : limit_(std::max<size_t>(1, limit)) {}

    size_t limit() const { return limit_; }
    size_t held() const { return held_.load(std::memory_order_relaxed); }
    // Counts one batched entry in; false once the budget is spent (the
    // caller then commits its batch).
    bool take() { return held_.fetch_add(1, std::memory_order_relaxed) + 1 < limit_; }
    // A committed batch of n entries closed their folders.
    void give(size_t n) { held_.fetch_sub(n, std::memory_order_relaxed); }

  private:
    static constexpr size_t kFewest = 16;
    static size_t quarterOfOpenFileLimit() {
        struct rlimit lim {};
        if (::getrlimit(RLIMIT_NOFILE, &lim) != 0 || lim.rlim_cur == RLIM_INFINITY)
            return static_cast<size_t>(-1) / 2;
        return std::max(kFewest, static_cast<size_t>(lim.rlim_cur / 4));
    }

    const size_t limit_;
    std::atomic<size_t> held_{0};
};
