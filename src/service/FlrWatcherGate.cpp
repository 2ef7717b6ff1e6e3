#include "FlrWatcherGate.h"

#include <algorithm>

FlrWatcherGate::FlrWatcherGate(FlrJournalSource& inner, int flushDelayMs)
    : inner_(inner), flushDelay_(flushDelayMs) {}

bool FlrWatcherGate::next(std::vector<uint8_t>& record, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (held_) {
        // Wait (bounded by the caller's time-out) for the release.
        released_.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)),
                           [this] { return !holding_; });
        if (holding_) return false;
        record = std::move(*held_);
        held_.reset();
        passed_ = flrRecordSeq(record);
        return true;
    }
    lock.unlock();
    struct timespec wall {};
    ::clock_gettime(CLOCK_REALTIME, &wall);
    const auto start = Clock::now();
    if (!inner_.next(record, timeoutMs)) {
        if (inner_.emptyWasIdle()) noteIdle(wall, start);
        lock.lock();
        if (!sampling_)
            released_.wait_until(lock, start + std::chrono::milliseconds(std::max(timeoutMs, 0)),
                                 [] { return false; });
        return false;
    }
    const uint64_t seq = flrRecordSeq(record);
    lock.lock();
    if (holding_ && seq > holdAbove_) {
        held_ = std::move(record);
        return false;
    }
    passed_ = seq;
    return true;
}

void FlrWatcherGate::noteIdle(const struct timespec& wall, Clock::time_point start) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!sampling_) return;
    const auto end = Clock::now();
    // One sample per tenth of a second is plenty; keep those the search
    // in consistentPoint() can use.
    if (!idle_.empty() && start - idle_.back().start < std::chrono::milliseconds(100)) return;
    idle_.push_back({wall, start, end});
    const auto keep = flushDelay_ * 2 + std::chrono::seconds(30);
    while (idle_.size() > 2 && end - idle_.front().start > keep) idle_.pop_front();
}

void FlrWatcherGate::holdAbove(uint64_t seq) {
    std::lock_guard<std::mutex> lock(mutex_);
    holding_ = true;
    holdAbove_ = seq;
}

void FlrWatcherGate::holdAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    holding_ = true;
    holdAbove_ = passed_;
}

void FlrWatcherGate::release() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        holding_ = false;
    }
    released_.notify_all();
}

uint64_t FlrWatcherGate::passedSeq() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return passed_;
}

void FlrWatcherGate::stopSampling() {
    std::lock_guard<std::mutex> lock(mutex_);
    sampling_ = false;
}

// An idle read starting at A saw every event made before A. A later idle
// read starting at B, at least the flush delay after A ended, found no file
// due: every file dirty then got dirty after A ended, by a write made after
// A. So every change made before A is a record passed on, or a dirty file
// whose times are after A.
bool FlrWatcherGate::consistentPoint(struct timespec* at) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (idle_.size() < 2) return false;
    const Clock::time_point b = idle_.back().start;
    for (auto it = idle_.rbegin(); it != idle_.rend(); ++it) {
        if (it->end + flushDelay_ > b) continue;
        long long ns = static_cast<long long>(it->wallStart.tv_sec) * 1'000'000'000 +
                       it->wallStart.tv_nsec - kClockMarginNanos;
        at->tv_sec = static_cast<time_t>(ns / 1'000'000'000);
        at->tv_nsec = static_cast<long>(ns % 1'000'000'000);
        return true;
    }
    return false;
}
