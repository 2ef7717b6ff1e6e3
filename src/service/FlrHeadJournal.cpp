// The head journal service: the source-to-cache intake, the cache-to-tail
// sender and the reconnect with resend. One thread does all three in turn,
// so the order of records is the order of the cache and nothing needs a lock
// but the counters.
#include "FLR/FlrHeadJournal.h"

#include <fcntl.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <thread>
#include <vector>

#include "FLR/FlrJrnConvert.h"
#include "FLR/JxException.h"
#include "FlrHeadJournalImpl.h"
#include "buffer/FlrRolCache.h"
#include "buffer/FlrSendHistory.h"
#include "db/FlrDatabase.h"
#include "db/FlrJournalPaths.h"
#include "env/FlrHelper.h"
#include "journal/FlrJournalSource.h"
#include "net/FlrNetHead.h"
#include "platform/EvDebug.h"
#include "platform/FlrDriver.h"
#include "platform/JxCoding.h"
#include "platform/JxFile.h"
#include "scan/FlrFilter.h"

namespace {

const char* const kHeadJournalFn = "FlrHeadJournal";
using Clock = std::chrono::steady_clock;
// An intake gathers at most this many raw bytes, and this many sending
// rounds' worth of records, before they go to the cache.
constexpr size_t kIntakeBytes = 4 << 20;
constexpr size_t kIntakeRounds = 16;
// A round rolled back for want of map is done again, this often at most.
constexpr int kRoundAttempts = 3;

void makeJournalDirs(const std::string& dir) {
    if (FlrHelper::mkdir1(dir.c_str()) != 0)
        JX_THROW_ERRNO(kHeadJournalFn, "Failed to create folder " + dir, errno);
}

// Flushes one file's data to the disk.
void syncFile(const std::string& path) {
    jx::File f(jx::fileOps().open(path.c_str(), O_RDONLY | O_CLOEXEC, 0));
    if (!f.valid())
        JX_THROW_ERRNO(kHeadJournalFn, "Failed to open " + path + " for syncing", errno);
    if (jx::fileOps().fsync(f.get()) != 0)
        JX_THROW_ERRNO(kHeadJournalFn, "Failed to sync " + path, errno);
}

}  // namespace

FlrHeadJournal::Impl::Impl(FlrHeadJournalOptions opts)
    : o(std::move(opts)),
      db((makeJournalDirs(o.dbDir), o.dbDir)),
      paths(db, o.source, o.dbRoot, o.destination),
      cache((makeJournalDirs(o.stateDir + "/cache"), (o.stateDir + "/cache").c_str()),
            o.cacheDiskBytes, o.cacheMemBytes),
      history(o.historyBytes),
      historyFile(o.stateDir + "/history"),
      positionFile(o.stateDir + "/position") {
    if (!o.connect) JX_THROW(kHeadJournalFn, "No way to connect to the tail was given");
    enterRoot();
    history.load(historyFile.c_str());
    loadPosition();
    taken = cache.getLastSeq();
    // Everything up to the start is covered by a scan, also records a cache
    // left by an earlier run holds.
    if (processed < o.startSeq) processed = o.startSeq;
    if (taken < processed) taken = processed;
    batch.reserve(static_cast<size_t>(o.batchBytes) + 65536);
    staged.reserve(static_cast<size_t>(o.batchRecords));
    c.lastTakenSeq = taken;
    c.lastSentSeq = processed;
}

void FlrHeadJournal::Impl::enterRoot() {
    const std::string root = o.dbRoot.empty() ? o.source : o.dbRoot;
    fsf_fid fid = o.rootFid;
    if (fid.isZero()) fid = FlrDriver().getFID(root, true);
    if (db.fidToNodeName(fid).empty()) db.addRootNode(fid);
}

// "<processed>\n": the newest record whose database change is made.
void FlrHeadJournal::Impl::loadPosition() {
    std::string text;
    if (!jx::readFileIfExists(positionFile, &text, "journal position")) return;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (end == text.c_str() || (*end != '\n' && *end != '\0'))
        JX_THROW(kHeadJournalFn, "The journal position file " + positionFile + " is damaged");
    processed = v;
}

void FlrHeadJournal::Impl::savePosition(bool force) {
    if (!positionDirty) return;
    if (!force && Clock::now() - positionSaved < std::chrono::milliseconds(o.positionSaveMs))
        return;
    jx::replaceFile(positionFile, std::to_string(processed) + "\n", 0600, "journal position",
                    kHeadJournalFn);
    positionDirty = false;
    positionSaved = Clock::now();
}

void FlrHeadJournal::Impl::saveHistory(bool force) {
    if (!historyDirty) return;
    if (!force && Clock::now() - historySaved < std::chrono::milliseconds(o.historySaveMs)) return;
    history.save(historyFile.c_str());
    historyDirty = false;
    historySaved = Clock::now();
}

// --- intake --------------------------------------------------------------------

// Takes what the source has, up to several rounds' worth; true when the
// source had nothing more. They reach the cache together (a few write calls)
// and then the disk (one sync): a burst costs system calls per intake, not
// per record, and the sync's wait is shared by all of them.
bool FlrHeadJournal::Impl::intake(FlrJournalSource& source, int waitMs) {
    bool idle = false;
    int64_t firstStamp = 0;
    uint64_t last = taken;
    intakeBytes.clear();
    intakeItems.clear();
    // Bounded so that what it takes is still resident when it is sent.
    const size_t maxBytes = std::min(kIntakeBytes, static_cast<size_t>(o.cacheMemBytes) / 2);
    const size_t maxRecords = static_cast<size_t>(o.batchRecords) * kIntakeRounds;
    while (intakeItems.size() < maxRecords && intakeBytes.size() < maxBytes) {
        if (!source.next(record, intakeItems.empty() ? waitMs : 0)) {
            idle = true;
            break;
        }
        FlrJrnCommand cmd;
        std::string why;
        if (decodeRawCmd(record.data(), record.size(), &cmd, &why) != 0)
            JX_THROW(kHeadJournalFn, "The journal source gave a bad record after sequence number " +
                                         std::to_string(last) + ": " + why);
        // Taken before a restart, or covered by the scan.
        if (cmd.seq_num <= last) continue;
        if (intakeItems.empty()) firstStamp = static_cast<uint32_t>(cmd.timestamp);
        // Pointed into once the buffer stops growing (and moving).
        intakeItems.push_back({nullptr, static_cast<int>(record.size()), cmd.seq_num});
        intakeBytes.insert(intakeBytes.end(), record.begin(), record.end());
        last = cmd.seq_num;
    }
    if (intakeItems.empty()) return idle;
    size_t at = 0;
    for (FlrRolCache::Item& it : intakeItems) {
        it.data = intakeBytes.data() + at;
        at += static_cast<size_t>(it.len);
    }
    cache.addEntries(intakeItems.data(), static_cast<int>(intakeItems.size()));
    taken = last;
    makeDurable();
    const auto n = static_cast<uint64_t>(intakeItems.size());
    count([&](FlrHeadJournalCounters& k) {
        k.taken += n;
        k.lastTakenSeq = taken;
        if (k.pendingSince == 0) k.pendingSince = firstStamp;
    });
    return idle;
}

// A record counts as taken once its cache file (and, for a new file, the
// folder entry) is on the disk.
void FlrHeadJournal::Impl::makeDurable() {
    const std::vector<uint64_t> files = cache.getFiles();
    if (files.empty()) return;
    const std::string newest =
        cache.getCacheDir() + "/" + FlrRolCacheBase::cacheFileName(files.back());
    syncFile(newest);
    if (newest != syncedFile) {
        jx::fsyncDir(cache.getCacheDir());
        syncedFile = newest;
    }
}

// --- reading the cache ---------------------------------------------------------

// The entry after `after` into `entry`; false when there is none yet.
bool FlrHeadJournal::Impl::nextEntry(uint64_t after, int& len, uint64_t& seq) {
    if (after >= cache.getLastSeq()) return false;
    const int r = cache.getNextEntry(after, entry, entryCap, &len, &seq, 1);
    if (r == FlrRolCache::kDelivered) return true;
    if (r != FlrRolCache::kNotInCache) return false;
    // `after` is no entry of the cache (the start, or a record dropped
    // before the cache had it): the first entry above it is found on disk.
    checkOverrun(after);
    return firstEntryAfter(after, len, seq);
}

// The disk limit deleted records the tail never got: what they changed is
// known to nobody, so the pair is rescanned from its last consistent point.
// Reported once per drop, not per record read past it.
void FlrHeadJournal::Impl::checkOverrun(uint64_t after) {
    const uint64_t dropped = cache.getDroppedLast();
    if (after >= dropped || dropped <= overrunReported) return;
    overrunReported = dropped;
    std::string why = "rolling cache overrun: records after " + std::to_string(after) + " up to " +
                      std::to_string(dropped) +
                      " were dropped by its disk limit before the tail had them";
    EvDebug::Error(kHeadJournalFn, "%s; the pair is rescanned", why.c_str());
    count([&](FlrHeadJournalCounters& k) {
        ++k.resyncsAsked;
        k.resyncReason = std::move(why);
    });
}

bool FlrHeadJournal::Impl::firstEntryAfter(uint64_t after, int& len, uint64_t& seq) {
    const std::vector<uint64_t> files = cache.getFiles();
    std::string data;
    for (size_t i = 0; i < files.size(); ++i) {
        if (i + 1 < files.size() && files[i + 1] <= after) continue;  // wholly older
        const std::string name =
            cache.getCacheDir() + "/" + FlrRolCacheBase::cacheFileName(files[i]);
        if (!jx::readFileIfExists(name, &data, "cache file")) continue;  // rolled off meanwhile
        size_t pos = FlrRolCacheBase::kSigSize;
        while (data.size() >= pos + FlrRolCacheBase::kRecordHeaderSize) {
            uint64_t s = 0;
            int32_t l = 0;
            FlrRolCacheBase::decodeRecordHeader(
                reinterpret_cast<const unsigned char*>(data.data() + pos), s, l);
            pos += FlrRolCacheBase::kRecordHeaderSize;
            if (l < 1 || static_cast<size_t>(l) > data.size() - pos)
                JX_THROW(kHeadJournalFn, "Cache file " + name + " is corrupt: invalid record size");
            if (s > after) {
                if (entryCap < l) {
                    char* fresh = static_cast<char*>(std::realloc(entry, static_cast<size_t>(l)));
                    if (!fresh) JX_THROW(kHeadJournalFn, "Memory allocation failed.");
                    entry = fresh;
                    entryCap = l;
                }
                std::memcpy(entry, data.data() + pos, static_cast<size_t>(l));
                len = l;
                seq = s;
                return true;
            }
            pos += static_cast<size_t>(l);
        }
    }
    return false;
}

// --- sending -------------------------------------------------------------------

FlrHeadJournal::Impl::Outcome FlrHeadJournal::Impl::convertInto(const FlrJrnCommand& raw) {
    FlrJrnCommandNet net;
    switch (converter.convert(raw, net)) {
        case FlrJrnConvResult::Ok:
            break;
        case FlrJrnConvResult::UnknownFid:
            return Outcome::Outside;
        default:
            return Outcome::NoNetForm;
    }
    if (o.keepRemoved && (net.cmd == FLR_JRN_REMOVE || net.cmd == FLR_JRN_RMDIR))
        return Outcome::Filtered;
    if (const char* changed = flrJournalChangedPath(net); changed && o.filter) {
        if (paths.toSource(changed, sourcePath) && filteredOut(sourcePath))
            return Outcome::Filtered;
    }
    const int len = encodeNetCmd(&net, encoded, encodedCap);
    lastLen = static_cast<size_t>(len);
    stage(raw.seq_num, encoded, len);
    if (EvDebug::enabled(3)) {
        const char* path = flrJournalChangedPath(net);
        const char* from = net.cmd == FLR_JRN_RENAME ? net.rename.src_path : nullptr;
        EvDebug::DebugLvl(kHeadJournalFn, 3, "record %llu %s %s%s%s staged",
                          static_cast<unsigned long long>(raw.seq_num), flrJrnCodeName(net.cmd),
                          from ? from : "", from ? " -> " : "", path ? path : "");
    }
    if (o.onRecord) tellRecord(net);
    return Outcome::Sent;
}

void FlrHeadJournal::Impl::tellRecord(const FlrJrnCommandNet& net) const {
    const char* changed = flrJournalChangedPath(net);
    std::string path;
    if (!changed || !paths.toSource(changed, path)) return;
    const std::string& top = paths.source();
    const std::string rel = path.size() > top.size() ? path.substr(top.size() + 1) : "";
    o.onRecord(rel, net.cmd == FLR_JRN_REMOVE || net.cmd == FLR_JRN_RMDIR);
}

// A scan never enters an excluded folder, so a record below one is excluded
// too: the path and each of its folders up to the pair's source are tried.
bool FlrHeadJournal::Impl::filteredOut(std::string& path) const {
    const std::string& top = paths.source();
    for (;;) {
        if (o.filter->isFilteredOut(path)) return true;
        if (path.size() <= top.size()) return false;
        const size_t slash = path.rfind('/');
        if (slash == std::string::npos || slash < top.size()) return false;
        path.resize(slash == 0 ? 1 : slash);
    }
}

void FlrHeadJournal::Impl::stage(uint64_t seq, const void* data, int len) {
    const auto* p = static_cast<const uint8_t*>(data);
    lastStaged = std::max(lastStaged, seq);
    staged.push_back({seq, batch.size(), len});
    batch.insert(batch.end(), p, p + len);
}

// The staged records go out in JOURNAL messages of at most batchBytes each
// (a larger record alone). A broken link leaves them to the resend after the
// reconnect: they are in the history or the cache.
void FlrHeadJournal::Impl::sendStaged(bool enterHistory) {
    size_t first = 0;
    const size_t limit = static_cast<size_t>(o.batchBytes);
    for (size_t i = 0; i <= staged.size() && connected; ++i) {
        const size_t from = first < staged.size() ? staged[first].offset : batch.size();
        const size_t to = i < staged.size() ? staged[i].offset : batch.size();
        const bool last = i == staged.size();
        const bool full =
            !last && i > first && to + static_cast<size_t>(staged[i].len) - from > limit;
        if (!last && !full) continue;
        if (to > from) {
            try {
                head->sendJournalEntry(batch.data() + from, static_cast<int>(to - from));
                unconfirmed = true;
            } catch (const JxException& e) {
                linkBroken(e);
            }
        }
        first = i;
    }
    if (enterHistory) {
        for (const Staged& r : staged) history.add(r.seq, batch.data() + r.offset, r.len);
        historyDirty = historyDirty || !staged.empty();
    }
    batch.clear();
    staged.clear();
}

// Resends stream through the stage a message at a time.
void FlrHeadJournal::Impl::sendStagedIfFull() {
    if (batch.size() >= static_cast<size_t>(o.batchBytes)) sendStaged(false);
}

// Converts up to a batch of cached records into the stage and brings the
// name database along (inside the caller's transaction).
FlrHeadJournal::Impl::Round FlrHeadJournal::Impl::convertRound() {
    Round r;
    int len = 0;
    uint64_t seq = 0;
    while (r.records < o.batchRecords && nextEntry(processed, len, seq)) {
        FlrJrnCommand raw;
        std::string why;
        if (decodeRawCmd(entry, static_cast<size_t>(len), &raw, &why) != 0)
            JX_THROW(kHeadJournalFn, "Cache entry " + std::to_string(seq) + " is damaged: " + why);
        if (seq <= tailHas) {
            ++r.already;  // taken again after a kill: the tail applied it
        } else {
            try {
                convertOne(raw, r);
            } catch (const JxException& e) {
                nameDbFault(e, seq, r);
                ++r.outside;  // dropped: the rescan brings what it changed
            }
        }
        // After converting: a removal or rename is resolved with the names
        // as they were when it happened.
        try {
            flrApplyToNameDb(db, raw);
        } catch (const JxException& e) {
            nameDbFault(e, seq, r);
        }
        processed = seq;
        ++r.records;
    }
    return r;
}

void FlrHeadJournal::Impl::convertOne(const FlrJrnCommand& raw, Round& r) {
    switch (convertInto(raw)) {
        case Outcome::Sent:
            ++r.sent;
            r.bytes += lastLen;
            break;
        case Outcome::Outside:
            ++r.outside;
            break;
        case Outcome::Filtered:
            ++r.filtered;
            break;
        case Outcome::NoNetForm:
            ++r.noNet;
            break;
    }
}

// The names no longer match the source (an entry lost its parent, a rename
// found nothing to move): the record cannot be trusted, and neither can what
// the tail holds below it. The watch goes on; the pair is rescanned, which
// also rebuilds the database. A round rolled back for want of map is no
// fault of the names: it is done again.
void FlrHeadJournal::Impl::nameDbFault(const JxException& e, uint64_t seq, Round& r) {
    if (db.rolledBackForMap()) throw;
    EvDebug::Error(kHeadJournalFn, "Record %llu: %s; the pair is rescanned",
                   static_cast<unsigned long long>(seq), e.what());
    ++r.dbErrors;
    ++r.resyncs;
    r.resyncReason = std::string("name database inconsistent: ") + e.what();
}

// One round: its name database changes are one transaction (flushed in the
// background like single changes), then its records are sent and entered in
// the history. Returns how many records it processed.
int FlrHeadJournal::Impl::process() {
    if (!connected || processed >= taken) return 0;
    const uint64_t start = processed;
    Round r;
    for (int attempt = 1;; ++attempt) {
        TCtreeTable::BatchScope scope =
            db.transaction(o.dbBytesPerRecord * static_cast<size_t>(o.batchRecords),
                           TCtreeTable::Flush::Background);
        if (scope.beginResult() != TCtreeTable::kOk)
            JX_THROW(kHeadJournalFn, "Failed to start a name database transaction: " +
                                         TCtreeTable::errToString(scope.beginResult()));
        int rc = TCtreeTable::kBatchRolledBack;
        try {
            r = convertRound();
            rc = scope.commit();
        } catch (const JxException&) {
            if (!db.rolledBackForMap()) {
                processed = start;  // the scope rolls the round's changes back
                batch.clear();
                staged.clear();
                throw;
            }
        }
        if (rc == TCtreeTable::kOk) break;
        // Rolled back (the map grew): the round is done again from its start.
        db.clearCache();
        processed = start;
        batch.clear();
        staged.clear();
        if (rc != TCtreeTable::kBatchRolledBack || attempt == kRoundAttempts)
            JX_THROW(kHeadJournalFn,
                     "Failed to commit the name database changes up to sequence number " +
                         std::to_string(processed) + ": " + TCtreeTable::errToString(rc));
        count([](FlrHeadJournalCounters& k) { ++k.roundsRedone; });
    }
    if (r.records == 0) return 0;
    sendStaged(true);
    positionDirty = true;
    savePosition(false);
    int64_t nextStamp = 0;
    int len = 0;
    uint64_t seq = 0;
    if (nextEntry(processed, len, seq)) {
        FlrJrnHeader h{};
        decodeRawHdr(entry, static_cast<size_t>(len), &h);
        nextStamp = h.timestamp;
    }
    count([&](FlrHeadJournalCounters& k) {
        k.sent += r.sent;
        k.sentBytes += r.bytes;
        k.outside += r.outside;
        k.filtered += r.filtered;
        k.noNetForm += r.noNet;
        k.alreadyThere += r.already;
        k.dbErrors += r.dbErrors;
        k.resyncsAsked += r.resyncs;
        if (r.resyncs > 0) k.resyncReason = r.resyncReason;
        k.lastSentSeq = processed;
        // Only dropped records since the last answered ping: the tail has
        // everything up to here that it will get.
        if (!unconfirmed) k.lastConfirmed = processed;
        k.pendingSince = nextStamp;
    });
    return r.records;
}

// --- the service ---------------------------------------------------------------

FlrHeadJournal::FlrHeadJournal(FlrHeadJournalOptions options)
    : impl_(std::make_unique<Impl>(std::move(options))) {}

FlrHeadJournal::~FlrHeadJournal() {
    try {
        impl_->saveHistory(true);
    } catch (const JxException& e) {
        EvDebug::Error(kHeadJournalFn, "%s", e.what());
    }
}

FlrHeadJournalCounters FlrHeadJournal::counters() const {
    std::lock_guard<std::mutex> lock(impl_->mtx);
    return impl_->c;
}

void FlrHeadJournal::run(FlrJournalSource& source, bool untilDrained) {
    Impl& s = *impl_;
    auto lastPing = Clock::now();
    while (!stop_.load()) {
        s.tryConnect();
        const bool backlog = s.connected && s.processed < s.taken;
        const bool idle = s.intake(source, backlog ? 0 : 100);
        // As many rounds as one intake may take go out before the next
        // intake: a burst shares its sync, and a backlog never keeps the
        // source waiting for longer than that.
        int done = 0;
        for (size_t round = 0, n = 1;
             n > 0 && round < kIntakeRounds && s.processed < s.taken && !stop_.load(); ++round) {
            n = static_cast<size_t>(s.process());
            done += static_cast<int>(n);
            s.saveHistory(false);
        }
        if (!idle || done > 0) continue;
        // Nothing came and nothing was left to send.
        s.savePosition(true);
        const bool caughtUp = s.connected && s.processed >= s.taken;
        if (untilDrained && caughtUp && s.confirm()) break;
        if (s.unconfirmed && Clock::now() - lastPing > std::chrono::seconds(1)) {
            s.confirm();
            lastPing = Clock::now();
        }
        s.askDurable();
        if (!s.connected)
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(s.backoffMs, 100)));
    }
    s.savePosition(true);
    s.saveHistory(true);
}

FlrHeadJournalRates flrHeadJournalRates(const FlrHeadJournalCounters& before,
                                        const FlrHeadJournalCounters& now, double seconds,
                                        int64_t nowEpoch) {
    FlrHeadJournalRates r;
    if (seconds > 0) {
        r.recordsPerSecond = static_cast<double>(now.sent - before.sent) / seconds;
        r.bytesPerSecond = static_cast<double>(now.sentBytes - before.sentBytes) / seconds;
    }
    const uint64_t processed =
        now.sent + now.outside + now.filtered + now.noNetForm + now.alreadyThere;
    r.lagRecords = now.taken > processed ? now.taken - processed : 0;
    if (now.pendingSince > 0 && nowEpoch > now.pendingSince)
        r.lagSeconds = static_cast<double>(nowEpoch - now.pendingSince);
    return r;
}
