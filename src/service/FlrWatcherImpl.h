#pragma once
// The watcher's state and steps, shared by its two sources: FlrWatcher.cpp
// (the live journal, the head journal service, resends and the main loop)
// and FlrWatcherScans.cpp (scans, settling, consistent points, the stop).
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "FLR/FlrEndpoint.h"
#include "FLR/FlrWatcher.h"
#include "FLR/JxException.h"
#include "FlrLocalTail.h"
#include "FlrWatcherGate.h"
#include "env/FlrHelper.h"
#include "journal/FlrLiveJournal.h"
#include "journal/FlrLiveShare.h"
#include "net/FlrNetHead.h"
#include "net/FlrRateLimit.h"
#include "platform/EvDebug.h"
#include "platform/JxFile.h"
#include "platform/JxFileLock.h"

// The live journal of these sources with a watch's settings (its own, or
// a group's from its first pair).
std::unique_ptr<FlrLiveShare> flrWatchShare(const std::vector<std::string>& sources,
                                            const FlrWatchOptions& o);

struct FlrWatcher::Impl {
    // Members, not file-scope names: both sources share a unity batch with others.
    static constexpr const char* kFn = "FlrWatcher";
    using Clock = std::chrono::steady_clock;
    // Resends wait this long for more of their kind: one transfer for a burst.
    static constexpr auto kResendBatch = std::chrono::milliseconds(200);
    // The settling scan after a busy scan waits for this much quiet, or this long.
    static constexpr auto kSettleQuiet = std::chrono::seconds(1);
    static constexpr auto kSettleAtMost = std::chrono::seconds(30);
    // A failed resync scan is tried again after this long.
    static constexpr auto kResyncRetry = std::chrono::seconds(5);
    // The state file saying the name database matches the run record.
    static constexpr const char* kNamesMark = "names-known";

    static bool earlier(const struct timespec& a, const struct timespec& b) {
        return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
    }
    // A moment read off the wall clock, taken back by the margin of the
    // coarse clock the kernel stamps changes with.
    static struct timespec beforeClockMargin(struct timespec t) {
        long long ns = static_cast<long long>(t.tv_sec) * 1'000'000'000 + t.tv_nsec -
                       FlrWatcherGate::kClockMarginNanos;
        return {time_t(ns / 1'000'000'000), long(ns % 1'000'000'000)};
    }
    static long long nowEpoch() { return static_cast<long long>(::time(nullptr)); }

    FlrWatcher& w;
    const FlrWatchOptions& o;
    std::string source, state;
    int pairId = 1;
    std::unique_ptr<JxFileLock> lock;
    std::unique_ptr<FlrLocalTail> tail;
    std::string destination;  // the folder the journal's records name
    FlrEndpoint remote;
    // The live journal: the group's, or one of the watch's own.
    std::unique_ptr<FlrLiveShare> ownShare;
    FlrLiveFeed* live = nullptr;
    std::unique_ptr<FlrWatcherGate> gate;
    std::unique_ptr<FlrHeadJournal> journal;
    std::thread journalThread;
    std::mutex errorMutex;  // guards journalError
    std::string journalError;
    uint64_t journalResyncs = 0;  // the running journal's requests already raised
    uint64_t mark = 0;            // records up to here are covered by a scan
    uint64_t journalFrom = 0;     // the running journal's start
    bool stopping = false;
    Clock::time_point stopBy;  // the whole stop waits for the tail until then
    bool resyncNeeded = false;
    // The name database names the tree as it stood at the run record, but
    // for folders changed since (whose times say so): every record before it
    // was converted. A scan then lists only changed folders into it. Set by
    // a completed scan or a clean stop's mark; cleared while a scan runs and
    // by a resync that doubts the names themselves.
    bool namesTrusted = false;
    Clock::time_point resyncAt;
    // Records made while a scan ran are applied over what the scan already
    // sent, and some of them (a rename whose old name the scan saw holding a
    // newer entry) can move the wrong entry. Their folders all changed after
    // the scan began, so one more scan from there, once the source is quiet,
    // settles them; until then no consistent point is recorded.
    bool settleNeeded = false;
    bool settleUnknown = false;  // a scan ended; its records not yet all read
    uint64_t scanCovered = 0;    // records after it are sent after the scan
    uint64_t drainsAtRestart = 0;
    Clock::time_point settleBy, quietSince;
    uint64_t quietSeq = 0;
    std::vector<FlrLiveResend> pending;
    Clock::time_point pendingSince;
    FlrHeadJournalCounters carried;  // totals of journal services stopped for a resync
    // A run's or a resend's privileged-entry counts join the journal's;
    // called under w.mutex_.
    void countPrivileged(const FlrReplicateSummary& s) {
        carried.privStripped += static_cast<uint64_t>(std::max(s.privStripped, 0LL));
        carried.privWithheld += static_cast<uint64_t>(std::max(s.privWithheld, 0LL));
    }
    FlrHeadJournalCounters before;
    Clock::time_point beforeAt = Clock::now();
    Clock::time_point nextConsistent = Clock::now();

    Impl(FlrWatcher& watcher) : w(watcher), o(watcher.options_) {}
    ~Impl() { stopJournal(); }

    void setPhase(const std::string& phase) {
        std::lock_guard<std::mutex> g(w.mutex_);
        w.state_.phase = phase;
    }

    void start();
    FlrReplicateOptions runOptions() const;
    bool runReplicator();
    bool firstRun();
    void startJournal(uint64_t startSeq);
    void stopJournal();
    void stopLive();
    void checkJournal();
    void resync();
    bool waitForTail(uint64_t seq, Clock::time_point until);
    Clock::time_point holdLimit() const;
    void resend();
    bool holdsFile(const FlrLiveResend& r) const;
    void takeEvents();
    void raiseResync(const std::string& reason, bool routine = false);
    void noteScanned();
    void settleWhenQuiet();
    void scanFromBeforeLateRecords();
    struct timespec lastRun() const;
    void publish();
    void recordWhileWatching();
    bool recordConsistentPoint(struct timespec at);
    bool takeNamesMark();
    static bool namesSurvive(const std::string& resyncReason);
    void markNamesKnown();
    void shutdown();
};
