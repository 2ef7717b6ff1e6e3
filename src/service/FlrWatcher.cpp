// The watcher's main loop: the live journal, the first run, the head
// journal service, resyncs, resends and the clean stop.
#include "FLR/service/FlrWatcher.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <set>
#include <thread>

#include "FLR/FlrHelper.h"
#include "FLR/FlrLiveJournal.h"
#include "FLR/FlrNetHead.h"
#include "FLR/FlrRateLimit.h"
#include "FLR/platform/EvDebug.h"
#include "FLR/platform/JxException.h"
#include "FLR/platform/JxFile.h"
#include "FLR/platform/JxFileLock.h"
#include "FLR/service/FlrEndpoint.h"
#include "FLR/service/FlrLocalTail.h"
#include "FLR/service/FlrWatcherGate.h"

namespace {

const char* const kFn = "FlrWatcher";
using Clock = std::chrono::steady_clock;

// Resends wait this long for more of their kind: one transfer for a burst.
constexpr auto kResendBatch = std::chrono::milliseconds(200);
// The settling scan after a busy scan waits for this much quiet, or this long.
constexpr auto kSettleQuiet = std::chrono::seconds(1);
constexpr auto kSettleAtMost = std::chrono::seconds(30);
// A failed resync scan is tried again after this long.
constexpr auto kResyncRetry = std::chrono::seconds(5);
bool earlier(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// A moment read off the wall clock, taken back by the margin of the coarse
// clock the kernel stamps changes with.
struct timespec beforeClockMargin(struct timespec t) {
    long long ns = static_cast<long long>(t.tv_sec) * 1'000'000'000 + t.tv_nsec -
                   FlrWatcherGate::kClockMarginNanos;
    return {time_t(ns / 1'000'000'000), long(ns % 1'000'000'000)};
}

// The pair's id towards the tail: from its state folder's name (a digest of
// source and destination), so two pairs sharing a tail keep apart.
int pairIdOf(const std::string& stateDir) {
    const std::string name = stateDir.substr(stateDir.rfind('/') + 1);
    return static_cast<int>(std::strtoul(name.substr(0, 7).c_str(), nullptr, 16)) + 1;
}

long long nowEpoch() {
    return static_cast<long long>(::time(nullptr));
}

}  // namespace

struct FlrWatcher::Impl {
    FlrWatcher& w;
    const FlrWatchOptions& o;
    std::string source, state;
    int pairId = 1;
    std::unique_ptr<JxFileLock> lock;
    std::unique_ptr<FlrLocalTail> tail;
    std::string destination;  // the folder the journal's records name
    FlrEndpoint remote;
    std::unique_ptr<FlrLiveJournal> live;
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
    void checkJournal();
    void resync();
    bool waitForTail(uint64_t seq, Clock::time_point until);
    Clock::time_point holdLimit() const;
    void resend();
    bool holdsFile(const FlrLiveResend& r) const;
    void takeEvents();
    void raiseResync(const std::string& reason);
    void noteScanned();
    void settleWhenQuiet();
    void scanFromBeforeLateRecords();
    struct timespec lastRun() const;
    void publish();
    void recordWhileWatching();
    bool recordConsistentPoint(struct timespec at);
    void shutdown();
};

void FlrWatcher::Impl::start() {
    source = FlrReplicator::absolutePath(o.replicate.source);
    state = w.stateDir();
    jx::makePrivateDir(state, kFn);
    pairId = pairIdOf(state);
    lock = std::make_unique<JxFileLock>(state + "/lock", 0600);
    if (!lock->lock(1, 0))
        JX_THROW(kFn, "Another run of " + source + " to " + o.replicate.target + " is in progress");
    {
        std::lock_guard<std::mutex> g(w.mutex_);
        w.state_.source = source;
        w.state_.target = o.replicate.target;
        w.state_.pid = static_cast<long>(::getpid());
        w.state_.startedAt = nowEpoch();
    }
    // The journal first: a change made while the first run scans is a
    // record after the mark.
    FlrLiveJournal::Options lo;
    lo.smallFileMax = o.smallFileMax;
    lo.flushDelayMs = o.flushDelayMs;
    lo.boundedQueue = o.boundedQueue;
    live = std::make_unique<FlrLiveJournal>(std::vector<FlrLiveFolder>{{pairId, source}}, lo);
    mark = live->lastSeq();
    scanCovered = mark;
    gate = std::make_unique<FlrWatcherGate>(*live, o.flushDelayMs);

    std::string host, port, path;
    if (FlrReplicator::parseRemote(o.replicate.target, &host, &port, &path)) {
        remote = FlrEndpoint{host, port};
        destination = FlrHelper::stripTrailingSlashes(path);
    } else {
        FlrTailApplier::Options to;
        to.storeDir = state + "/tail-store";
        to.journalState = state + "/tail-journal";
        to.privileged = FlrPrivileged::Keep;  // same host, same user
        tail = std::make_unique<FlrLocalTail>(o.replicate.target, to);
        destination = tail->destination();
    }
}

FlrReplicateOptions FlrWatcher::Impl::runOptions() const {
    FlrReplicateOptions r = o.replicate;
    r.localTail = tail.get();
    r.lockHeld = true;
    r.nameDb = state + "/names";
    r.changedEntriesOnly = true;
    return r;
}

// A baseline or a smart-sync scan from the last consistent point; rebuilds
// the name database, so the journal must be stopped. False when stop()
// aborted it.
bool FlrWatcher::Impl::runReplicator() {
    FlrReplicateOptions ro = runOptions();
    std::string text;
    setPhase(jx::readFileIfExists(state + "/last-run", &text, "run record") && !ro.baseline
                 ? "smart-sync"
                 : "baseline");
    FlrReplicator r(ro, &w.runAbort_);
    FlrReplicateSummary s;
    try {
        if (w.stop_.load()) JX_THROW(kFn, "Stopped before the run");
        s = r.run();
    } catch (const JxException&) {
        // Stopped meanwhile: the run records nothing, the next start covers it.
        if (w.stop_.load()) return false;
        throw;
    }
    std::lock_guard<std::mutex> g(w.mutex_);
    w.state_.lastRunScan = s.scan;
    w.state_.lastRunAt = nowEpoch();
    w.state_.lastRunFiles = s.files;
    w.state_.lastRunBytes = s.bytesSent;
    w.state_.lastRunSeconds = s.seconds;
    countPrivileged(s);
    return true;
}

// The first run, where entries the destination could not apply do not end
// the watch: on a busy tree they are mostly entries changed under the
// transfer, whose changes the journal carries from the mark on. A resync
// scans again shortly, as after a failed resync; the run recorded nothing,
// so it scans from the last completed run. Any other failure still ends it.
bool FlrWatcher::Impl::firstRun() {
    // As for a resync: what the journal has made so far, the scan covers.
    mark = scanCovered = live->lastSeq();
    try {
        const bool done = runReplicator();
        if (done) noteScanned();
        return done;
    } catch (const JxException& e) {
        if (e.getCode() != FlrReplicator::kUnappliedEntries) throw;
        EvDebug::Error(kFn, "First run incomplete, a resync follows: %s", e.what());
        raiseResync("first run incomplete");
        resyncAt = Clock::now() + kResyncRetry;
        return true;
    }
}

void FlrWatcher::Impl::startJournal(uint64_t startSeq) {
    // Records change the destination's folders behind the last mirror: one
    // the tail could not apply (or a watch killed between the halves of an
    // exchange) may leave an entry the source never had in a folder whose
    // listing did not change.
    FlrReplicator::forgetMirroredFolders(state);
    FlrHeadJournalOptions h;
    h.pairId = pairId;
    h.source = source;
    h.dbRoot = FlrHelper::getMountDir(source.c_str());
    h.destination = destination;
    h.dbDir = state + "/names";
    h.stateDir = state + "/journal";
    h.startSeq = startSeq;
    h.filter = FlrReplicator::excludeFilter(source, o.replicate.excludes, o.replicate.includes);
    h.keepRemoved = o.replicate.noDelete;
    if (o.replicate.onSent || o.replicate.onRemoved) {
        // On the journal's thread, possibly while a scan lists its own.
        h.onRecord = [this](const std::string& rel, bool removed) {
            if (removed && o.replicate.onRemoved)
                o.replicate.onRemoved(rel);
            else if (!removed && o.replicate.onSent)
                o.replicate.onSent(rel);
        };
    }
    if (o.consistentEveryMs > 0) h.durableCheckMs = std::max(o.consistentEveryMs / 2, 100);
    if (tail) {
        h.connect = [t = tail.get()](FlrNetHead& head) { t->connect(head); };
    } else {
        // One rate for the journal's link across its reconnections.
        std::shared_ptr<FlrRateLimit> rate;
        if (o.replicate.bwlimit > 0) rate = std::make_shared<FlrRateLimit>(o.replicate.bwlimit);
        h.connect = [e = remote, ro = o.replicate, rate](FlrNetHead& head) {
            flrConnectHead(head, e);
            if (ro.compress > 0) head.setCompression(ro.compress);
            if (ro.encrypt) head.setEncryption(1);
            if (rate) head.setRateLimit(rate);
        };
    }
    journal = std::make_unique<FlrHeadJournal>(h);
    journalFrom = startSeq;
    journalResyncs = 0;
    before = journal->counters();
    beforeAt = Clock::now();
    journalThread = std::thread([this, j = journal.get()] {
        try {
            j->run(*gate);
        } catch (const JxException& e) {
            std::lock_guard<std::mutex> g(errorMutex);
            journalError = e.what();
        }
    });
}

void FlrWatcher::Impl::stopJournal() {
    if (!journal) return;
    journal->stop();
    if (journalThread.joinable()) journalThread.join();
    const FlrHeadJournalCounters last = journal->counters();
    carried.taken += last.taken;
    carried.sent += last.sent;
    carried.sentBytes += last.sentBytes;
    carried.reconnects += last.reconnects;
    carried.privStripped += last.privStripped;
    carried.privWithheld += last.privWithheld;
    journal.reset();
}

void FlrWatcher::Impl::checkJournal() {
    std::lock_guard<std::mutex> g(errorMutex);
    if (!journalError.empty()) JX_THROW(kFn, "The head journal service failed: " + journalError);
}

// Holds the journal, scans from the last consistent point and goes on: the
// records held were made after the scan began, the ones before it are
// covered by it and never sent.
void FlrWatcher::Impl::resync() {
    setPhase("resync");
    // Not yet known whether the last scan had late records: this scan
    // starts early enough in case it had.
    if (settleUnknown) scanFromBeforeLateRecords();
    gate->holdAll();
    // Records already passed on must be applied before the scan: one applied
    // after the scan's mirror would bring back what the mirror removed.
    if (!waitForTail(gate->passedSeq(), holdLimit())) {
        resyncAt = Clock::now() + kResyncRetry;
        gate->release();
        setPhase("watching");
        return;
    }
    stopJournal();
    // Every record made by now comes from a change made before the scan
    // starts, which the scan sends as the source has it: such a record must
    // not follow the scan, where it would take the destination back. The ones
    // made later from changes before this moment are the late records the
    // settling scan is for.
    const uint64_t covered = std::max({mark, gate->passedSeq(), live->lastSeq()});
    scanCovered = covered;
    EvDebug::Debug(kFn, "Resync: covers records up to %llu (mark %llu, passed %llu, last %llu)",
                   static_cast<unsigned long long>(covered), static_cast<unsigned long long>(mark),
                   static_cast<unsigned long long>(gate->passedSeq()),
                   static_cast<unsigned long long>(live->lastSeq()));
    bool done = false;  // false: stopped meanwhile, the resync stays due
    try {
        done = runReplicator();
    } catch (const JxException& e) {
        EvDebug::Error(kFn, "Resync scan failed, tried again shortly: %s", e.what());
        resyncAt = Clock::now() + kResyncRetry;
    }
    if (done) {
        resyncNeeded = false;
        noteScanned();
        std::erase_if(pending, [&](const FlrLiveResend& r) { return r.seq <= covered; });
    }
    // Failed or not, the records it covers stay unsent: the resync is still
    // due and scans from the same point, which precedes their changes.
    mark = covered;
    startJournal(mark);
    gate->release();
    setPhase("watching");
}

// Called before the journal resumes: whether records were made from events
// queued since the hold is known at the first drain after it. Until then the
// run's own record (its start) may be later than changes the journal is yet
// to apply over the scan's work, and a stop or a kill before the settling
// scan would leave whatever those take back to no later scan: the record is
// moved back before the journal sends anything.
void FlrWatcher::Impl::noteScanned() {
    settleUnknown = true;
    drainsAtRestart = live->drains();
    scanFromBeforeLateRecords();
}

// A source that never rests gets its settling scan anyway after a while: it
// narrows what is unsettled to the changes made during that scan.
void FlrWatcher::Impl::settleWhenQuiet() {
    if (settleUnknown && live->drains() > drainsAtRestart) {
        settleUnknown = false;
        if (live->lastSeqAtDrain() > scanCovered) {
            scanFromBeforeLateRecords();
            settleNeeded = true;
            settleBy = Clock::now() + kSettleAtMost;
            quietSince = Clock::now();
            quietSeq = live->lastSeq();
        }
    }
    if (!settleNeeded || resyncNeeded) return;
    const uint64_t seq = live->lastSeq();
    if (seq != quietSeq) {
        quietSeq = seq;
        quietSince = Clock::now();
    }
    if (Clock::now() - quietSince < kSettleQuiet && Clock::now() < settleBy) return;
    settleNeeded = false;
    raiseResync("settling the changes made during the last scan");
}

// Records passed on after a scan include some made before it began (held
// while it waited), and what they take back is mended only by a scan that
// goes back to the moment after which all of them were made: the run's own
// record (its start) is moved back there, so the next scan, settling or
// not, starts early enough.
void FlrWatcher::Impl::scanFromBeforeLateRecords() {
    struct timespec at {};
    if (!live->drainedBefore(scanCovered, &at)) {
        at.tv_sec = 0;  // forgotten: compare everything
        at.tv_nsec = 0;
    } else {
        at = beforeClockMargin(at);
    }
    if (!earlier(at, lastRun())) return;
    EvDebug::Debug(kFn, "Run record moved back to %lld.%09ld, before late records",
                   static_cast<long long>(at.tv_sec), at.tv_nsec);
    FlrReplicator::recordConsistentPoint(state, at.tv_sec, at.tv_nsec);
}

// The moment the last run record vouches for; 0 when there is none.
struct timespec FlrWatcher::Impl::lastRun() const {
    std::string text;
    long long was = 0;
    long wasNanos = 0;
    if (jx::readFileIfExists(state + "/last-run", &text, "run record"))
        std::sscanf(text.c_str(), "%lld %ld", &was, &wasNanos);
    return {time_t(was), wasNanos};
}

// True once the tail has applied every record up to seq.
bool FlrWatcher::Impl::waitForTail(uint64_t seq, Clock::time_point until) {
    // Records up to the journal's start were covered by the scan before it:
    // the new journal never sends them, so nothing is to wait for.
    if (seq <= journalFrom) return true;
    while (Clock::now() < until) {
        checkJournal();
        const FlrHeadJournalCounters c = journal->counters();
        if (c.lastSentSeq >= seq && c.lastConfirmed >= seq) return true;
        if (w.stop_.load() && !stopping) return false;  // the stop waits its own time
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool FlrWatcher::Impl::holdsFile(const FlrLiveResend& r) const {
    struct stat st;
    return jx::fileOps().lstat((source + "/" + r.path).c_str(), &st) == 0 &&
           uint64_t(st.st_ino) == r.ino;
}

// A stop shares one limit for all its waits: with a remote tail down, a
// resend's own hold would keep the user's interrupt waiting far longer.
Clock::time_point FlrWatcher::Impl::holdLimit() const {
    return stopping ? stopBy : Clock::now() + std::chrono::seconds(o.holdSeconds);
}

// Large written files go by the transfer's delta methods, read as they are
// now. Records before their markers reach the tail first (a rename of the
// file must not land after its new data), and later ones wait until the
// data is there.
void FlrWatcher::Impl::resend() {
    uint64_t upTo = 0;
    std::set<std::string> paths;
    bool moved = false;
    for (const FlrLiveResend& r : pending) {
        upTo = std::max(upTo, r.seq);
        // Renamed or replaced since: its data must go to the name the tail
        // holds it under, which the path no longer reaches. A scan does it.
        if (r.ino != 0 && !holdsFile(r))
            moved = true;
        else
            paths.insert(r.path);
    }
    if (moved) raiseResync("a written file moved before its data was sent");
    setPhase("resend");
    gate->holdAbove(upTo);
    const bool ready = waitForTail(upTo, holdLimit());
    if (ready) {
        try {
            FlrReplicator r(runOptions(), &w.runAbort_);
            const FlrReplicateSummary sent = r.sendFiles({paths.begin(), paths.end()});
            std::lock_guard<std::mutex> g(w.mutex_);
            w.state_.resentFiles += paths.size();
            countPrivileged(sent);
        } catch (const JxException& e) {
            // The scan reads them again.
            EvDebug::Error(kFn, "Resend failed, a scan takes over: %s", e.what());
            resyncNeeded = true;
            resyncAt = Clock::now();
            std::lock_guard<std::mutex> g(w.mutex_);
            ++w.state_.resyncs;
            w.state_.lastResyncAt = nowEpoch();
            w.state_.lastResyncReason = "resend failed";
        }
        pending.clear();
    }
    gate->release();
    setPhase("watching");
}

void FlrWatcher::Impl::raiseResync(const std::string& reason) {
    EvDebug::Debug(kFn, "Resync of %s: %s", source.c_str(), reason.c_str());
    if (!resyncNeeded) resyncAt = Clock::now();
    resyncNeeded = true;
    std::lock_guard<std::mutex> g(w.mutex_);
    ++w.state_.resyncs;
    w.state_.lastResyncAt = nowEpoch();
    w.state_.lastResyncReason = reason;
}

void FlrWatcher::Impl::takeEvents() {
    for (const FlrLiveResync& r : live->takeResyncs()) raiseResync(r.reason);
    if (journal) {
        const FlrHeadJournalCounters c = journal->counters();
        if (c.resyncsAsked > journalResyncs) {
            journalResyncs = c.resyncsAsked;
            raiseResync(c.resyncReason);
        }
    }
    std::vector<FlrLiveResend> more = live->takeResends();
    // Raised before the last scan's mark and taken only now: the scan sent them.
    std::erase_if(more, [&](const FlrLiveResend& r) { return r.seq <= mark; });
    if (!more.empty() && pending.empty()) pendingSince = Clock::now();
    pending.insert(pending.end(), more.begin(), more.end());
}

void FlrWatcher::Impl::publish() {
    FlrWatchState s;
    {
        std::lock_guard<std::mutex> g(w.mutex_);
        // Totals over every journal service of the watch; rates of the running one.
        const FlrHeadJournalCounters now = journal ? journal->counters() : FlrHeadJournalCounters{};
        w.state_.taken = carried.taken + now.taken;
        w.state_.sent = carried.sent + now.sent;
        w.state_.sentBytes = carried.sentBytes + now.sentBytes;
        w.state_.reconnects = carried.reconnects + now.reconnects;
        w.state_.privStripped = carried.privStripped + now.privStripped;
        w.state_.privWithheld = carried.privWithheld + now.privWithheld;
        if (journal) {
            const double secs = std::chrono::duration<double>(Clock::now() - beforeAt).count();
            const FlrHeadJournalRates r = flrHeadJournalRates(before, now, secs, nowEpoch());
            w.state_.connected = now.connected;
            w.state_.recordsPerSecond = r.recordsPerSecond;
            w.state_.bytesPerSecond = r.bytesPerSecond;
            w.state_.lagRecords = r.lagRecords;
            w.state_.lagSeconds = r.lagSeconds;
            before = now;
            beforeAt = Clock::now();
        }
        w.state_.updatedAt = nowEpoch();
        s = w.state_;
    }
    try {
        jx::replaceFile(flrWatchStateFile(state), flrFormatWatchState(s), 0600, "status file", kFn);
    } catch (const JxException& e) {
        EvDebug::Error(kFn, "%s", e.what());
    }
    if (w.listener_) w.listener_(s);
}

// Records the moment up to which the tail durably holds every change, so a
// watch killed outright scans from there rather than from its last run. The
// moment comes first, then what was passed on by then: a resend or resync
// the source raised before it is taken before the check.
void FlrWatcher::Impl::recordWhileWatching() {
    if (o.consistentEveryMs <= 0 || Clock::now() < nextConsistent) return;
    nextConsistent = Clock::now() + std::chrono::milliseconds(o.consistentEveryMs);
    struct timespec at {};
    if (!gate->consistentPoint(&at)) return;
    const uint64_t passed = gate->passedSeq();
    takeEvents();
    if (!pending.empty() || resyncNeeded || settleNeeded || settleUnknown) return;
    const FlrHeadJournalCounters c = journal->counters();
    if (c.lastSentSeq < passed || c.lastDurable < passed) return;
    // A record found unapplied since takeEvents() looked: the rescan it asks
    // for must start before it.
    if (c.resyncsAsked > journalResyncs) return;
    recordConsistentPoint(at);
}

// Records `at` unless the last run's own record (or an earlier point) is
// newer; true when it did.
bool FlrWatcher::Impl::recordConsistentPoint(struct timespec at) {
    // Not past a change the journal may still have missed: a resync it
    // raises for that change must scan from before it.
    struct timespec unsettled {};
    if (live->unsettledSince(&unsettled)) {
        unsettled = beforeClockMargin(unsettled);
        if (earlier(unsettled, at)) at = unsettled;
    }
    if (!earlier(lastRun(), at)) return false;
    EvDebug::Debug(kFn, "Consistent point %lld.%09ld recorded", static_cast<long long>(at.tv_sec),
                   at.tv_nsec);
    FlrReplicator::recordConsistentPoint(state, at.tv_sec, at.tv_nsec);
    std::lock_guard<std::mutex> g(w.mutex_);
    w.state_.consistentAt = at.tv_sec;
    return true;
}

// Stops the journal, sends what it still owes and records up to when the
// destination holds every change.
void FlrWatcher::Impl::shutdown() {
    setPhase("stopping");
    stopping = true;
    stopBy = Clock::now() + std::chrono::seconds(o.drainSeconds);
    gate->stopSampling();
    live->stop();
    takeEvents();
    if (!pending.empty()) resend();
    setPhase("stopping");
    const bool drained = waitForTail(gate->passedSeq(), stopBy);
    struct timespec at {};
    const bool consistent = drained && pending.empty() && !resyncNeeded && !settleNeeded &&
                            !settleUnknown && gate->consistentPoint(&at);
    stopJournal();
    if (consistent && live->settle()) {
        recordConsistentPoint(at);  // never behind the last run's own record
    } else {
        EvDebug::Debug(kFn, "Stopped without catching up: the next start scans from the last run");
    }
    setPhase("stopped");
    publish();
}

FlrWatcher::FlrWatcher(FlrWatchOptions options) : options_(std::move(options)) {}
FlrWatcher::~FlrWatcher() = default;

void FlrWatcher::setStatusListener(std::function<void(const FlrWatchState&)> fn) {
    listener_ = std::move(fn);
}

std::string FlrWatcher::stateDir() const {
    return FlrReplicator(options_.replicate).stateDir();
}

FlrWatchState FlrWatcher::state() const {
    std::lock_guard<std::mutex> g(mutex_);
    return state_;
}

void FlrWatcher::run() {
    impl_ = std::make_unique<Impl>(*this);
    Impl& m = *impl_;
    try {
        m.start();
        if (!m.firstRun()) {
            // Stopped during the first run: nothing was sent by the journal.
            m.live->stop();
            m.setPhase("stopped");
            m.publish();
            impl_.reset();
            return;
        }
        m.publish();
        if (options_.beforeJournal) options_.beforeJournal();
        m.startJournal(m.mark);
        m.setPhase("watching");
        m.nextConsistent = Clock::now() + std::chrono::milliseconds(options_.consistentEveryMs);
        auto lastPublish = Clock::now();
        uint64_t publishedSent = 0;
        while (!stop_.load()) {
            m.checkJournal();
            m.takeEvents();
            m.settleWhenQuiet();
            if (m.resyncNeeded && Clock::now() >= m.resyncAt) m.resync();
            if (!m.pending.empty() && Clock::now() - m.pendingSince >= kResendBatch) m.resend();
            m.recordWhileWatching();
            // Every second, and soon after records went out, so that a
            // status read just after a change reached the tail shows it.
            const uint64_t sent = m.journal ? m.journal->counters().sent : 0;
            const auto quiet = Clock::now() - lastPublish;
            if (quiet >= std::chrono::seconds(1) ||
                (sent != publishedSent && quiet >= std::chrono::milliseconds(100))) {
                m.publish();
                lastPublish = Clock::now();
                publishedSent = sent;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        m.shutdown();
    } catch (const JxException& e) {
        m.stopJournal();
        {
            std::lock_guard<std::mutex> g(mutex_);
            state_.phase = "failed";
            state_.error = e.what();
        }
        // Never over the status of the watch that holds the pair.
        if (m.lock && m.lock->isLocked()) m.publish();
        throw;
    }
    impl_.reset();
}
