#pragma once
// One live journal for several watched pairs: one fanotify group and one
// reader thread on the host, however many pairs watch folders on it. The
// reader sorts every record to the feeds of the pairs whose source folder
// it belongs to; each pair's watcher reads its feed as it would read a live
// journal of its own, holds it during a scan, and learns of resyncs, resends
// and drains that concern it alone.
//
// Contract:
// - Sources must not lie inside one another (the constructor refuses);
//   pairs with the same source folder each get every record of it.
// - A feed's records are queued while its watcher does not read (a scan);
//   past kMaxQueuedBytes they are dropped and the pair gets a resync, as
//   when the kernel's own queue overflows. A stopped feed queues nothing.
// - A feed reports an empty read as idle (emptyWasIdle) only when the
//   reader found the kernel queue empty after the read began and every
//   record made by then was handed out: what the watcher's consistent
//   points rest on.
// - The reader ends once beginStop() was called and every feed is stopped;
//   it then settles the names once (FlrLiveJournal::settle) for all.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "FlrJournalSource.h"
#include "FlrLiveJournal.h"

class FlrLiveShare;

class FlrLiveFeed : public FlrJournalSource {
  public:
    // Throws JxException when the reader failed.
    bool next(std::vector<uint8_t>& record, int timeoutMs) override;
    bool emptyWasIdle() const override;

    // Starts (again) taking this pair's records; what was queued or raised
    // for an earlier watcher of the pair is dropped.
    void restart();
    // next() returns false from now on and records are no longer queued.
    void stop();
    // After stop(): waits (until `until`) for the reader to end and settle;
    // false when it did not, or a name of this pair disagrees with the source.
    bool settle(std::chrono::steady_clock::time_point until);

    std::vector<FlrLiveResync> takeResyncs();
    std::vector<FlrLiveResend> takeResends();
    // As FlrLiveJournal's, for this pair: drains counts the moments the
    // reader found the kernel queue empty with every record made handed
    // out; lastSeqAtDrainAfter(n) is this pair's last record made before
    // the first one counted after n (or, when that is forgotten, before the
    // earliest remembered: a later one).
    uint64_t drains() const;
    uint64_t lastSeqAtDrainAfter(uint64_t drains) const;
    // These hold for the whole journal, so for every pair.
    bool drainedBefore(uint64_t seq, struct timespec* at) const;
    bool unsettledSince(struct timespec* at) const;
    uint64_t lastSeq() const;

  private:
    friend class FlrLiveShare;
    FlrLiveFeed(FlrLiveShare& share, size_t folder) : share_(share), folder_(folder) {}

    FlrLiveShare& share_;
    const size_t folder_;  // the live journal's folder this pair reads
    // Guarded by share_.mutex_:
    std::condition_variable ready_;
    std::deque<std::vector<uint8_t>> queue_;
    size_t queuedBytes_ = 0;
    bool stopped_ = true;  // until a watcher restarts it
    bool idle_ = false;
    uint64_t lastQueued_ = 0;  // this pair's last record handed to the feed
    // (drain, lastQueued_ at it) whenever that changed from the drain
    // before, the last few.
    std::deque<std::pair<uint64_t, uint64_t>> drainHistory_;
    bool settleFailed_ = false;
    std::vector<FlrLiveResync> resyncs_;
    std::vector<FlrLiveResend> resends_;
};

class FlrLiveShare {
  public:
    // Past this, a pair's queued records are dropped for a resync.
    static constexpr size_t kMaxQueuedBytes = size_t(64) << 20;

    // One feed per source, in order. Starts the reader. Throws JxException
    // as FlrLiveJournal does, or when one source lies inside another.
    // Records are numbered by `counter`, the host's when null.
    FlrLiveShare(const std::vector<std::string>& sources, FlrLiveJournal::Options options,
                 size_t maxQueuedBytes = kMaxQueuedBytes, JxSeqCounter* counter = nullptr);
    ~FlrLiveShare();
    FlrLiveShare(const FlrLiveShare&) = delete;
    FlrLiveShare& operator=(const FlrLiveShare&) = delete;

    FlrLiveFeed& feed(size_t pair) { return *feeds_[pair]; }
    size_t size() const { return feeds_.size(); }
    // The reader ends once every feed is stopped (at once when they are).
    void beginStop();

  private:
    friend class FlrLiveFeed;
    void read();
    void noteDrainLocked();
    void dispatchLocked(size_t folder, std::vector<uint8_t>& record);
    void queueLocked(FlrLiveFeed& f, std::vector<uint8_t> record, uint64_t seq);
    void collectLocked();
    void stopReaderIfDoneLocked();
    void finish();

    std::vector<FlrLiveFolder> folders_;
    const size_t maxQueued_;
    std::unique_ptr<FlrLiveJournal> live_;
    std::vector<std::unique_ptr<FlrLiveFeed>> feeds_;
    std::vector<std::vector<size_t>> feedsOf_;  // per folder
    mutable std::mutex mutex_;                  // guards the members below and every feed's
    std::condition_variable settled_;
    bool stopping_ = false;
    bool readerStopped_ = false;
    bool settledDone_ = false;
    uint64_t drainGen_ = 0;
    uint64_t seenDrains_ = 0;
    std::string error_;  // the reader failed
    std::thread reader_;
};
