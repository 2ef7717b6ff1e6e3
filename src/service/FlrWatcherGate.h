#pragma once
// Between the live journal and the head journal service: passes records
// through, or holds every record above a sequence number while the watcher
// makes the tail consistent by other means (a scan, a resend). It also
// notes when the source was found idle, from which the watcher learns up to
// when every change has become a record.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

#include "journal/FlrJournalSource.h"

class FlrWatcherGate : public FlrJournalSource {
  public:
    // The kernel stamps changes with a coarse clock, up to a few ticks
    // behind the wall clock read here: moments taken from it go back this far.
    static constexpr long long kClockMarginNanos = 50'000'000;
    FlrWatcherGate(FlrJournalSource& inner, int flushDelayMs);

    bool next(std::vector<uint8_t>& record, int timeoutMs) override;

    // Records above seq wait until release(); the ones up to it pass.
    void holdAbove(uint64_t seq);
    // Holds every record not passed on yet.
    void holdAll();
    void release();
    // The sequence number of the last record passed on.
    uint64_t passedSeq() const;
    // The source is being stopped: no more idle samples, and an empty read
    // waits out its time-out (a stopped source returns at once).
    void stopSampling();

    // A moment such that every change made before it has become a record
    // passed on, or a file still waiting to be flushed was written after it
    // (the source flushes a dirty file within the flush delay). False when
    // the source was never idle long enough to tell.
    bool consistentPoint(struct timespec* at) const;

  private:
    using Clock = std::chrono::steady_clock;
    struct Idle {
        struct timespec wallStart;
        Clock::time_point start;
        Clock::time_point end;
    };
    void noteIdle(const struct timespec& wall, Clock::time_point start);

    FlrJournalSource& inner_;
    const std::chrono::milliseconds flushDelay_;
    mutable std::mutex mutex_;  // guards everything below
    std::condition_variable released_;
    bool holding_ = false;
    bool sampling_ = true;
    uint64_t holdAbove_ = 0;
    uint64_t passed_ = 0;
    std::optional<std::vector<uint8_t>> held_;
    std::deque<Idle> idle_;
};
