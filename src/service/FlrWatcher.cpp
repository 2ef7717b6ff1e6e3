// The watcher's main loop: the live journal, the first run, the head
// journal service, resends and the clean stop; its scans and consistent
// points are in FlrWatcherScans.cpp.
#include "FLR/FlrWatcher.h"

#include "FlrWatcherImpl.h"

namespace {

// A local destination's applying runs below the programs whose changes it
// replicates: on a busy host they keep the processor and the replica lags
// (the journal holds the records), instead of the workload slowing down.
constexpr int kLocalApplyNice = 10;

// The pair's id towards the tail: from its state folder's name (a digest of
// source and destination), so two pairs sharing a tail keep apart.
int pairIdOf(const std::string& stateDir) {
    const std::string name = stateDir.substr(stateDir.rfind('/') + 1);
    return static_cast<int>(std::strtoul(name.substr(0, 7).c_str(), nullptr, 16)) + 1;
}

}  // namespace

std::unique_ptr<FlrLiveShare> flrWatchShare(const std::vector<std::string>& sources,
                                            const FlrWatchOptions& o) {
    FlrLiveJournal::Options lo;
    lo.smallFileMax = o.smallFileMax;
    lo.flushDelayMs = o.flushDelayMs;
    lo.boundedQueue = o.boundedQueue;
    // Tests that let the kernel's queue overflow let the pairs' queues overflow too.
    return std::make_unique<FlrLiveShare>(
        sources, lo, o.boundedQueue ? size_t(256) << 10 : FlrLiveShare::kMaxQueuedBytes);
}

void FlrWatcher::Impl::start() {
    FlrReplicator::refuseHalfRemote(o.replicate.target);
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
    // record after the mark the first run takes.
    if (w.feed_) {
        live = w.feed_;
    } else {
        ownShare = flrWatchShare({source}, o);
        live = &ownShare->feed(0);
    }
    live->restart();
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
        tail = std::make_unique<FlrLocalTail>(o.replicate.target, to, kLocalApplyNice);
        destination = tail->destination();
    }
}

FlrReplicateOptions FlrWatcher::Impl::runOptions() const {
    FlrReplicateOptions r = o.replicate;
    r.localTail = tail.get();
    r.lockHeld = true;
    r.nameDb = state + "/names";
    r.namesKnownAtLastRun = namesTrusted;
    r.changedEntriesOnly = true;
    return r;
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

// No more records: a watch of its own stops its live journal, a group's
// reader goes on for the other pairs.
void FlrWatcher::Impl::stopLive() {
    if (!live) return;
    if (ownShare) ownShare->beginStop();
    live->stop();
}

void FlrWatcher::Impl::checkJournal() {
    std::lock_guard<std::mutex> g(errorMutex);
    if (!journalError.empty()) JX_THROW(kFn, "The head journal service failed: " + journalError);
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
FlrWatcher::Impl::Clock::time_point FlrWatcher::Impl::holdLimit() const {
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

void FlrWatcher::Impl::raiseResync(const std::string& reason, bool routine) {
    // Whoever reads the log at night learns why a whole tree is scanned
    // again; the settling scan after every scan is routine.
    if (routine)
        EvDebug::Debug(kFn, "Resync of %s: %s", source.c_str(), reason.c_str());
    else
        EvDebug::Warning(kFn, "Resync of %s: %s", source.c_str(), reason.c_str());
    if (!namesSurvive(reason)) namesTrusted = false;
    if (!resyncNeeded) resyncAt = Clock::now();
    resyncNeeded = true;
    std::lock_guard<std::mutex> g(w.mutex_);
    ++w.state_.resyncs;
    w.state_.lastResyncAt = nowEpoch();
    w.state_.lastResyncReason = reason;
}

// A resync keeps the names trusted only where the database and the tail
// agree on every folder whose times did not change: changes the kernel's
// queue lost reached neither, and a settling scan follows a scan and records
// the tail applied. Any other reason (records converted but dropped or
// refused before the tail had them, a name the database got wrong, one not
// recognised here) rebuilds the names whole, and folders that changed with
// their parent go whole, as a moved one must.
bool FlrWatcher::Impl::namesSurvive(const std::string& reason) {
    static const char* const kAgreed[] = {
        "settling the changes made during the last scan",
        "event queue overflow",
    };
    for (const char* r : kAgreed)
        if (reason.rfind(r, 0) == 0) return true;
    return false;
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
    using Clock = Impl::Clock;
    impl_ = std::make_unique<Impl>(*this);
    Impl& m = *impl_;
    try {
        m.start();
        if (!m.firstRun()) {
            // Stopped during the first run: nothing was sent by the journal.
            m.stopLive();
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
            if (!m.pending.empty() && Clock::now() - m.pendingSince >= Impl::kResendBatch)
                m.resend();
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
        m.stopLive();
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
