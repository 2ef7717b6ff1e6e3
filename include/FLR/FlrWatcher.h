#pragma once
// Continuous replication of one source folder to one destination, as
// `flr replicate SRC DST --watch` does it.
//
// The live journal on the source starts first; the host-wide sequence
// number at its start is the watch's mark. Then one replication run (a
// baseline the first time, a smart-sync scan from the last consistent point
// afterwards) brings the destination up to date and rebuilds the pair's name
// database, and the head journal service sends every record after the mark.
// A resync (queue overflow) holds the journal, runs a smart-sync scan and
// goes on from there; the data of large written files goes by the transfer's
// delta methods once the records before them have reached the tail. A local
// destination is served by one loopback tail for the whole watch.
//
// stop() ends the watch: the journal is drained (a bounded wait), the
// pending resends are sent, and the moment up to which the destination holds
// every change is recorded so the next start is a smart-sync from there.
// While watching, that moment is also recorded every consistentEveryMs once
// the tail reports everything before it durable, so a watch killed outright
// rescans only from there.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FLR/FlrExport.h"
#include "FLR/FlrHeadJournal.h"
#include "FLR/FlrReplicator.h"

struct FLR_EXPORT FlrWatchOptions {
    FlrReplicateOptions replicate;      // source, target, method, state root, link
    uint32_t smallFileMax = 64 * 1024;  // larger written files go as resends
    int flushDelayMs = 5000;            // a file kept open is sent after this long
    bool boundedQueue = false;          // tests: let the kernel's event queue overflow
    int drainSeconds = 10;              // longest wait at the stop for the tail to catch up
    int holdSeconds = 30;               // longest wait for the tail before a resend
    // While watching, the moment up to which the tail durably holds every
    // change is recorded this often (when it moved), so that a watch killed
    // outright scans from there on its next start; 0: only at a clean stop.
    int consistentEveryMs = 10000;
    // Tests: called after the first run, before the journal is read.
    std::function<void()> beforeJournal;
};

// What the watcher shows and writes to its status file every second.
struct FLR_EXPORT FlrWatchState {
    std::string source;
    std::string target;
    long pid = 0;
    long long startedAt = 0;  // epoch seconds
    long long updatedAt = 0;
    // "baseline", "smart-sync", "watching", "resync", "resend", "stopping",
    // "stopped" or "failed".
    std::string phase;
    bool connected = false;
    uint64_t taken = 0;  // journal records taken, sent, resent after reconnects
    uint64_t sent = 0;
    uint64_t sentBytes = 0;
    uint64_t reconnects = 0;
    double recordsPerSecond = 0;
    double bytesPerSecond = 0;
    uint64_t lagRecords = 0;
    double lagSeconds = 0;
    uint64_t resyncs = 0;
    uint64_t resentFiles = 0;  // large written files sent by the transfer
    // The tail's privileged-entry policy (FlrPrivileged) at work: entries
    // applied without setuid/setgid, entries not applied.
    uint64_t privStripped = 0;
    uint64_t privWithheld = 0;
    long long lastResyncAt = 0;
    std::string lastResyncReason;
    std::string lastRunScan;  // "baseline" or "smart-sync"
    long long lastRunAt = 0;  // when it completed
    long long lastRunFiles = 0;
    long long lastRunBytes = 0;
    double lastRunSeconds = 0;
    long long consistentAt = 0;  // the last consistent point recorded by this watch
    std::string error;           // phase "failed": why
};

// The status file's text ("key value" lines) and back; false when the
// text is not one.
FLR_EXPORT std::string flrFormatWatchState(const FlrWatchState& s);
FLR_EXPORT bool flrParseWatchState(const std::string& text, FlrWatchState* s);
// The status file in a pair's state folder.
FLR_EXPORT std::string flrWatchStateFile(const std::string& stateDir);

class FlrLiveFeed;
class FlrLiveShare;

class FLR_EXPORT FlrWatcher {
  public:
    explicit FlrWatcher(FlrWatchOptions options);
    ~FlrWatcher();
    FlrWatcher(const FlrWatcher&) = delete;
    FlrWatcher& operator=(const FlrWatcher&) = delete;

    // Called from the running thread about once a second.
    void setStatusListener(std::function<void(const FlrWatchState&)> fn);
    // Runs until stop(); returns after a clean stop. Throws JxException
    // (function "FlrWatcher") naming what failed: no CAP_SYS_ADMIN, the
    // pair already running, a failed run.
    void run();
    // Any thread, and from a signal handler (it sets flags): a run in
    // progress is aborted, the watch then stops as usual.
    void stop() {
        stop_.store(true);
        runAbort_.set(1);
    }

    FlrWatchState state() const;
    std::string stateDir() const;

  private:
    friend class FlrWatchGroup;
    struct Impl;
    FlrWatchOptions options_;
    FlrLiveFeed* feed_ = nullptr;  // a group's live journal, else one of its own
    std::function<void(const FlrWatchState&)> listener_;
    std::atomic<bool> stop_{false};
    JxSafeFlags runAbort_;      // polled by every run and resend this watch makes
    mutable std::mutex mutex_;  // guards state_
    FlrWatchState state_;
    std::unique_ptr<Impl> impl_;
};

// Several pairs watched by one process over one live journal: one fanotify
// group and one reader thread for all, each pair with its own watcher,
// state, head journal and tail, as `flr replicate --watch --watched` runs
// the declared pairs marked for watching. A pair that fails is started again
// after retrySeconds while the others go on. The live journal's settings
// (smallFileMax, flushDelayMs, boundedQueue) are the first pair's, for all.
struct FLR_EXPORT FlrWatchGroupOptions {
    std::vector<FlrWatchOptions> pairs;
    int retrySeconds = 10;
};

class FLR_EXPORT FlrWatchGroup {
  public:
    explicit FlrWatchGroup(FlrWatchGroupOptions options);
    ~FlrWatchGroup();
    FlrWatchGroup(const FlrWatchGroup&) = delete;
    FlrWatchGroup& operator=(const FlrWatchGroup&) = delete;

    // Called from each pair's thread about once a second, with its index.
    void setStatusListener(std::function<void(size_t pair, const FlrWatchState&)> fn);
    // Runs every pair until stop(); returns after every pair stopped
    // cleanly. Throws JxException (function "FlrWatchGroup") when the live
    // journal cannot start (no CAP_SYS_ADMIN, a source inside another's)
    // or two pairs are the same.
    void run();
    // Any thread, and from a signal handler (it sets a flag).
    void stop() { stop_.store(true); }

    // Each pair's state, in the order given.
    std::vector<FlrWatchState> states() const;

  private:
    struct Slot;
    void runPair(size_t i);
    void stopPairs();
    void waitToRetry();

    FlrWatchGroupOptions options_;
    std::function<void(size_t, const FlrWatchState&)> listener_;
    std::atomic<bool> stop_{false};
    std::unique_ptr<FlrLiveShare> share_;
    mutable std::mutex mutex_;  // guards slots_' watchers and states, and stopping_
    std::condition_variable wake_;
    bool stopping_ = false;
    std::vector<std::unique_ptr<Slot>> slots_;
};
