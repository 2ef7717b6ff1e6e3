// The watcher's scans and what they vouch for: the first run, resyncs and
// the settling scan after them, the consistent points recorded while
// watching, and the clean stop.
#include "FLR/FlrWatcher.h"

#include "FLR/FlrReplicator.h"
#include "FlrWatcherImpl.h"

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
    namesTrusted = false;  // a scan cut short leaves the database half listed
    try {
        if (w.stop_.load()) JX_THROW(kFn, "Stopped before the run");
        s = r.run();
        namesTrusted = true;
    } catch (const JxException&) {
        // Stopped meanwhile: the run records nothing, the next start covers it.
        // Entries the destination refused leave the names ahead of it: they
        // stay untrusted.
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
    namesTrusted = takeNamesMark();
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
        // This scan started after every record of the last one was applied
        // or covered, from a run record moved back before them: it settles
        // them too, and its own are looked for anew.
        settleNeeded = false;
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
        if (live->lastSeqAtDrainAfter(drainsAtRestart) > scanCovered) {
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
    raiseResync("settling the changes made during the last scan", true);
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

// The mark says the name database names the tree as it stood at the run
// record it holds: every record up to a clean stop was converted, so only
// folders changed since (whose times say so) differ. Any other run, or a
// crash after the journal wrote the database again, leaves no mark that
// matches: it is taken away before the database changes.
bool FlrWatcher::Impl::takeNamesMark() {
    const std::string markFile = state + "/" + kNamesMark;
    std::string marked, run;
    const bool known = jx::readFileIfExists(markFile, &marked, "names mark") &&
                       jx::readFileIfExists(state + "/last-run", &run, "run record") &&
                       !run.empty() && marked == run;
    if (jx::fileOps().unlink(markFile.c_str()) != 0 && errno != ENOENT)
        JX_THROW_ERRNO(kFn, "Failed to remove " + markFile, errno);
    return known;
}

void FlrWatcher::Impl::markNamesKnown() {
    std::string run;
    if (!jx::readFileIfExists(state + "/last-run", &run, "run record") || run.empty()) return;
    try {
        jx::replaceFile(state + "/" + kNamesMark, run, 0600, "names mark", kFn);
    } catch (const JxException& e) {
        // Only the next start's speed depends on it.
        EvDebug::Error(kFn, "%s", e.what());
    }
}

// Stops the journal, sends what it still owes and records up to when the
// destination holds every change.
void FlrWatcher::Impl::shutdown() {
    setPhase("stopping");
    stopping = true;
    stopBy = Clock::now() + std::chrono::seconds(o.drainSeconds);
    gate->stopSampling();
    stopLive();
    takeEvents();
    if (!pending.empty()) resend();
    setPhase("stopping");
    const bool drained = waitForTail(gate->passedSeq(), stopBy);
    struct timespec at {};
    const bool consistent = drained && pending.empty() && !resyncNeeded && !settleNeeded &&
                            !settleUnknown && gate->consistentPoint(&at);
    stopJournal();
    // A group's reader settles once every pair stopped: a stop of all
    // pairs reaches them together.
    if (consistent && live->settle(std::max(stopBy, Clock::now() + std::chrono::seconds(5)))) {
        recordConsistentPoint(at);  // never behind the last run's own record
        if (namesTrusted) markNamesKnown();
    } else {
        EvDebug::Debug(kFn, "Stopped without catching up: the next start scans from the last run");
    }
    setPhase("stopped");
    publish();
}
