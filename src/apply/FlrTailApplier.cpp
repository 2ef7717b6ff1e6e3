// The reference tail's applying handler: one session's message dispatch.
#include "FlrTailApplier.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <unordered_map>
#include <unordered_set>

#include "FLR/JxException.h"
#include "FlrTailAnswers.h"
#include "FlrTailApplyEntry.h"
#include "FlrTailDirChange.h"
#include "FlrTailHardLink.h"
#include "FlrTailIndexer.h"
#include "FlrTailLBFS.h"
#include "FlrTailStore.h"
#include "FlrTailVerifyAnswer.h"
#include "net/FlrNetHead.h"
#include "net/FlrNetTail.h"
#include "platform/EvDebug.h"
#include "platform/JxDirFd.h"

namespace {
const char* const kTailApplierFn = "FlrTailApplier";

// The messages of an entry's header, attributes and body.
bool partOfEntry(int type) {
    switch (type) {
        case FLR_NET_MIR_HEADER:
        case FLR_NET_MIR_ACL:
        case FLR_NET_MIR_ATTRS:
        case FLR_NET_MIR_DATA:
        case FLR_NET_MIR_SEEK:
        case FLR_NET_MIR_RSYNC:
        case FLR_NET_MIR_EOF:
            return true;
        default:
            return false;
    }
}

}  // namespace

void FlrTailApplyStats::add(const FlrTailApplyStats& o) {
    files += o.files;
    dirs += o.dirs;
    links += o.links;
    specials += o.specials;
    kept += o.kept;
    bytes += o.bytes;
    reused += o.reused;
    refused += o.refused;
    failed += o.failed;
    cut += o.cut;
    deleted += o.deleted;
    answers += o.answers;
    requested += o.requested;
    rejected += o.rejected;
    stripped += o.stripped;
    withheld += o.withheld;
}

// --- the applier -----------------------------------------------------------------

FlrTailApplier::FlrTailApplier(const std::string& root) : FlrTailApplier(root, Options{}) {}

FlrTailApplier::FlrTailApplier(const std::string& root, Options options)
    : root_(root), options_(options), answered_(std::make_unique<FlrTailAnswered>()) {
    if (!options_.storeDir.empty())
        store_ = std::make_unique<FlrTailStore>(options_.storeDir, root_.path());
    lbfs_ = std::make_unique<FlrTailLBFSRegistry>(store_.get());
    if (!takeCleanStopMark()) root_.sweepTemporaries();
    FlrTailJournal::Options j;
    j.syncData = options_.syncFiles;
    j.syncRecords = options_.journalSyncRecords;
    j.syncMs = options_.journalSyncMs;
    j.setOwners = options_.setOwners;
    j.maxLinkTarget = options_.maxLinkTarget;
    j.maxACL = options_.maxACL;
    j.privileged = options_.privileged;
    journal_ = std::make_unique<FlrTailJournal>(root_, options_.journalState, j);
}

// A tail that ended normally left no temporaries: every session removes the
// one of an entry it did not finish. Its successor then skips the sweep,
// which lists the whole destination (seconds per hundred thousand folders at
// every start). The mark goes before anything is applied, so a tail killed
// afterwards leaves none and the next start sweeps.
bool FlrTailApplier::takeCleanStopMark() {
    if (options_.storeDir.empty()) return false;
    const std::string mark = options_.storeDir + "/" + kCleanStopMark;
    if (jx::fileOps().unlink(mark.c_str()) == 0) return true;
    if (errno != ENOENT) JX_THROW_ERRNO(kTailApplierFn, "Failed to remove " + mark, errno);
    return false;
}

FlrTailApplier::~FlrTailApplier() {
    if (options_.storeDir.empty()) return;
    try {
        jx::replaceFile(options_.storeDir + "/" + kCleanStopMark, "", 0600, "clean stop mark",
                        kTailApplierFn);
    } catch (const JxException& e) {
        EvDebug::Error(kTailApplierFn, "%s: the next start sweeps the destination", e.what());
    }
}

void FlrTailApplier::serve(FlrTailSession& session, FlrTailApplyStats* out) {
    // Declared first so it is left last, after the session's final commit. A
    // head run again at once would otherwise race its own dead sessions.
    const FlrTailRuns::Entered counted(
        runs_, [&net = session.net] { return net.peerHungUp(); }, session.stopFlag);
    FlrTailApplySession apply(*this);
    apply.setStop(&session.stopFlag);
    apply.setJoinRun([this, &counted, &session](uint64_t run, uint64_t follows) {
        return runs_.join(counted.it(), run, follows, options_.runWait, session.stopFlag);
    });
    // A head killed while this session waits for its blocks (before a
    // folder's entry, a dirchange, a ping) is noticed by its hang-up: the
    // other connections that would feed the files may never have said whose
    // they are.
    apply.setHeadGone([&net = session.net] { return net.peerHungUp(); });
    FlrNetMessage m;
    struct Report {
        FlrTailApplySession& apply;
        FlrTailJournal& journal;
        FlrTailApplyStats* out;
        FlrTailRuns::Handle it;
        ~Report() {
            FlrTailRuns::working(it, true);  // its last batch is still to be placed
            try {
                apply.commit();  // so the counts include the last batch
                // A head that ends its main connection cleanly has every
                // block in already; one that died leaves files nothing will
                // feed: their temporaries go once no block came for a moment.
                apply.settleLBFS(FlrTailApplySession::kEndGraceSeconds);
                journal.closeFiles();
            } catch (...) {
            }
            if (out) *out = apply.stats();
        }
    } report{apply, journal(), out, counted.it()};
    while (!session.stopping()) {
        const int rc = session.net.recvMessage(&m, 1);
        if (rc == -2) {
            FlrTailRuns::working(counted.it(), true);
            apply.placeParkedLBFS();
            apply.commit();          // idle: nothing waits for long
            journal().closeFiles();  // none kept open while nothing comes
            FlrTailRuns::working(counted.it(), false);
            continue;
        }
        if (rc == -1) return;
        FlrTailRuns::working(counted.it(), true);
        apply.handle(m, &session.net);
        FlrTailRuns::working(counted.it(), false, true);
        if (apply.ended()) return;
    }
}

FlrTailApplyStats FlrTailApplier::totals() const {
    std::lock_guard<std::mutex> lock(mtx_);
    return totals_;
}

void FlrTailApplier::addTotals(const FlrTailApplyStats& s) {
    std::lock_guard<std::mutex> lock(mtx_);
    totals_.add(s);
}

// --- one session -------------------------------------------------------------------

FlrTailApplySession::FlrTailApplySession(FlrTailApplier& applier)
    : applier_(applier),
      lbfs_(
          std::make_unique<FlrTailLBFS>(applier.lbfs(), applier.root(), applier.options(),
                                        [this](std::unique_ptr<FlrTailApplyEntry> e, bool urgent) {
                                            enqueue(std::move(e));
                                            if (urgent) commit();  // a session waits for this file
                                        })) {
    batchLimit_ = std::max<size_t>(
        1, std::min(applier.options().batchEntries, applier.batchBudget().limit()));
}

FlrTailApplySession::~FlrTailApplySession() {
    try {
        dropOpen("the connection ended");
        commit();  // what arrived whole is put in place
        lbfs_->endSession(stats_);
    } catch (...) {
    }
    applier_.addTotals(stats_);
}

void FlrTailApplySession::placeParkedLBFS() {
    lbfs_->placeParked();
}

void FlrTailApplySession::settleLBFS(int idleSeconds) {
    commit();  // files this session completed itself
    lbfs_->settle(stop_, stats_, idleSeconds, headGone_, kEndGraceSeconds);
}

void FlrTailApplySession::gatherLBFS() {
    lbfs_->settle(stop_, stats_, -1, headGone_, kEndGraceSeconds, false);
}

void FlrTailApplySession::dropOpen(const char* why) {
    if (entry_ || hardLink_) {
        EvDebug::Error(kTailApplierFn, "%s: %s arrived incomplete and was not applied", why,
                       (entry_ ? entry_->rel() : hardLink_->rel()).c_str());
        ++stats_.cut;
        entry_.reset();
        hardLink_.reset();
    }
    lbfs_->dropOpen(stats_);
    // A dirchange without its end is not mirrored: its last block may be cut.
    dirChange_.reset();
    inSpecial_ = false;
}

template <class Fn>
void FlrTailApplySession::onEntry(Fn fn) {
    if (!entry_) return;
    try {
        fn(*entry_);
    } catch (const JxException& e) {
        EvDebug::Error(kTailApplierFn, "%s", e.getMessage().c_str());
        ++stats_.failed;
        entry_.reset();
    }
}

void FlrTailApplySession::beginEntry(const FlrNetMirHeader& sent) {
    dropOpen("a new header came first");
    const std::string received = sent.path ? sent.path : "";
    FlrNetMirHeader h = sent;
    if (!screenPrivileged(received, &h)) return;
    std::string rel;
    std::string why;
    if (!applier_.root().relative(received, &rel, &why)) {
        EvDebug::Error(kTailApplierFn, "Refused %s: %s", received.c_str(), why.c_str());
        ++stats_.refused;
        return;
    }
    // An LBFS file at rel or below it goes first: entries of one path are put
    // in place in the order they came, and a folder after what it holds. The
    // batch takes them and this entry after them: a sync per folder made a
    // one-connection resync of a moved tree five times slower.
    if (lbfs_->pendingAt(rel)) gatherLBFS();
    // A delta reads the old copy, and any entry may replace the path or a
    // folder on its way: what waits in the batch there goes first. Entries
    // below rel stay (a folder's times are set after them, in batch order);
    // a delta of any other file joins the batch (a syncfs per changed file
    // made resyncs of many files slower than sending them whole).
    if (batched(rel)) commit();
    // A delta relies on the copy its checksums described. Any other entry at
    // rel ends what the answer described: left, it would be taken by a later
    // delta it no longer describes.
    const bool delta = h.method == FlrNetMirHeader::kMD5 || h.method == FlrNetMirHeader::kRSync;
    std::optional<FlrTailCopyId> described = applier_.answered().take(run_, rel);
    if (!delta) described.reset();
    // Within a named run every delta was asked for: one without its answer
    // would be built over whatever copy is there now.
    if (delta && !described && run_ != 0) {
        EvDebug::Error(kTailApplierFn,
                       "%s: no checksums of this run describe its copy: its delta is not applied, "
                       "the next run sends it again",
                       received.c_str());
        ++stats_.failed;
        return;
    }
    if (h.method == FlrNetMirHeader::kLink && S_ISREG(h.mode)) return beginHardLink(rel);
    try {
        entry_ = std::make_unique<FlrTailApplyEntry>(applier_.root(), applier_.options(), h, rel,
                                                     described, &folders_);
        forgetOnPlacing(*entry_);
    } catch (const JxException& e) {
        // A symbolic link on the way is the confinement at work.
        const int err = e.getCode();
        const bool refused = err == ELOOP || err == EXDEV;
        EvDebug::Error(kTailApplierFn, "%s %s: %s", refused ? "Refused" : "Couldn't apply",
                       received.c_str(), e.getMessage().c_str());
        ++(refused ? stats_.refused : stats_.failed);
    }
}

void FlrTailApplySession::endEntry() {
    onEntry([&](FlrTailApplyEntry& e) { e.finish(stats_); });
    if (!entry_) return;
    enqueue(std::move(entry_));
}

namespace {

// Files from this size on are cut on the session's index worker.
constexpr int64_t kIndexOnWorkerBytes = int64_t{256} << 10;

// The blocks of a rebuilt file just placed: the old copy's blocks where
// nothing changed, the rest cut again; the whole file when the store has no
// usable record of the old copy.
bool cutPlaced(const FlrTailRoot& root, FlrTailStore& store, const FlrTailApplyEntry& e,
               std::vector<JxLBFS::HashBlock>* blocks) {
    constexpr int64_t kMaxCut = int64_t{1} << 32;  // as for files cut while written
    if (e.size() <= 0 || e.size() > kMaxCut) return false;
    jx::File f = jx::openRegularBeneath(root.fd(), e.rel(), O_RDONLY);
    if (!f) return false;
    if (!e.changedRanges().isAll() &&
        recutChanged(f.get(), store.latestBlocksOf(e.rel()), e.oldSize(), e.changedRanges(),
                     e.size(), blocks))
        return true;
    if (JxLBFS::split(f.get(), *blocks).IsError()) {
        blocks->clear();
        return false;
    }
    return true;
}

}  // namespace

// A file replaced by any other method: the store gets its blocks when it came
// as one stream (cut while written); a file rebuilt from its old copy (MD5,
// RSync) is cut again around its changes once placed, since auto sends edits
// that way and a later rename of it must find its content; else its old
// blocks are dropped.
void FlrTailApplySession::forgetOnPlacing(FlrTailApplyEntry& e) {
    FlrTailStore* store = applier_.store();
    if (!store || e.kind() == FlrTailApplyEntry::Kind::Folder ||
        e.method() == FlrNetMirHeader::kLBFS)
        return;
    // A file that always travels whole leaves no blocks either (a record of
    // a larger old copy at its name goes): on a tree of small files the
    // store would otherwise outgrow everything else the pair keeps.
    if (e.kind() != FlrTailApplyEntry::Kind::File || e.size() <= JxLBFS::kWholeFileMax) {
        e.placed = [store, rel = e.rel()] { store->forget(rel); };
        return;
    }
    // Small files are cut at once: handing them over would cost about what
    // cutting them does.
    FlrTailIndexWorker* worker = nullptr;
    if (e.size() >= kIndexOnWorkerBytes) {
        if (!indexWorker_) indexWorker_ = std::make_unique<FlrTailIndexWorker>();
        worker = indexWorker_.get();
    }
    auto index = std::make_shared<FlrTailIndexer>(worker, e.size());
    e.wrote = [index](const void* data, size_t len, int64_t at) { index->wrote(data, len, at); };
    const bool rebuilt =
        e.method() == FlrNetMirHeader::kMD5 || e.method() == FlrNetMirHeader::kRSync;
    // The entry calls this from its own commit(), so it is still there.
    e.placed = [store, index, rebuilt, &e, &root = applier_.root()] {
        std::vector<JxLBFS::HashBlock> blocks;
        if (index->take(e.size(), &blocks) || (rebuilt && cutPlaced(root, *store, e, &blocks)))
            store->record(e.rel(), blocks);
        else
            store->forget(e.rel());
    };
}

void FlrTailApplySession::beginSpecial(int id) {
    dropOpen("a special file came first");
    settleLBFS();  // the mirror sees every entry that came before it
    inSpecial_ = true;
    if (id == FLR_SPEC_FILE_DIRCHANGE)
        dirChange_ = std::make_unique<FlrTailDirChange>(applier_.root(), stats_, applier_.store(),
                                                        applier_.options().onRemoved);
    else
        EvDebug::Error(kTailApplierFn, "Ignoring special file %d: unknown here", id);
}

void FlrTailApplySession::endSpecial() {
    if (dirChange_) dirChange_->finish();
    dirChange_.reset();
    inSpecial_ = false;
}

void FlrTailApplySession::handle(const FlrNetMessage& m, FlrNetTail* reply) {
    handleOne(m, reply);
    // Entries, dirchanges and LBFS files change the tree beside the journal;
    // questions between journal messages do not.
    if (m.type != FLR_NET_JOURNAL && m.type != FLR_NET_PING &&
        m.type != FLR_NET_GET_LAST_SEQNUM_REQ && m.type != FLR_NET_VERIFY_REQ &&
        m.type != FLR_NET_SET_RUN_ID)
        applier_.journal().treeChanged();
}

void FlrTailApplySession::handleOne(const FlrNetMessage& m, FlrNetTail* reply) {
    ++counts_.messages;
    // Only the messages of plain entries leave the tree's folders where they
    // were; anything else may move or remove the folder held open.
    if (!partOfEntry(m.type)) folders_.clear();
    switch (m.type) {
        case FLR_NET_MIR_HEADER:
            beginEntry(m.mirHeader);
            return;
        case FLR_NET_MIR_ACL:
            counts_.bytes += m.acl.len;
            if (lbfs_->open()) lbfs_->acl(m.acl.data, static_cast<size_t>(m.acl.len), stats_);
            onEntry(
                [&](FlrTailApplyEntry& e) { e.acl(m.acl.data, static_cast<size_t>(m.acl.len)); });
            return;
        case FLR_NET_MIR_ATTRS:
            counts_.bytes += m.mirAttrs.blockLen;
            onEntry([&](FlrTailApplyEntry& e) { e.attrs(m.mirAttrs); });
            return;
        case FLR_NET_MIR_DATA:
            counts_.bytes += m.data.len;
            if (inSpecial_) {
                if (dirChange_) dirChange_->feed(m.data.data, static_cast<size_t>(m.data.len));
                return;
            }
            if (hardLink_) return feedHardLink(m.data.data, static_cast<size_t>(m.data.len));
            onEntry([&](FlrTailApplyEntry& e) {
                e.data(m.data.data, static_cast<size_t>(m.data.len), stats_);
            });
            return;
        case FLR_NET_MIR_SEEK:
            onEntry([&](FlrTailApplyEntry& e) { e.seek(m.seek.offset); });
            return;
        case FLR_NET_MIR_RSYNC:
            onEntry([&](FlrTailApplyEntry& e) { e.rsync(m.mirRSync, stats_); });
            return;
        case FLR_NET_MIR_EOF:
            if (inSpecial_)
                endSpecial();
            else if (hardLink_)
                endHardLink();
            else if (lbfs_->open())
                lbfs_->eof(stats_);
            else
                endEntry();
            return;
        case FLR_NET_LBFS_START:
            lbfs_->start(entry_, m.lbfsStart, reply, stats_);
            return;
        case FLR_NET_LBFS_BLOCK:
            counts_.bytes += m.lbfsBlock.length;
            lbfs_->block(m.lbfsBlock, stats_);
            return;
        case FLR_NET_LBFS_DONE:
            lbfs_->done(m.lbfsDone.value, stats_);
            return;
        case FLR_NET_LBFS_STOP:
            // Every block request before it has been sent: the head's
            // block sender may end.
            if (reply) reply->sendLBFSStop();
            return;
        case FLR_NET_MIR_SPEC_FILE:
            beginSpecial(m.mirSpecFile.id);
            return;
        case FLR_NET_SET_RUN_ID:
            run_ = m.setRunId.runId;
            if (joinRun_ && !joinRun_(run_, m.setRunId.follows)) ended_ = true;
            return;
        case FLR_NET_JOURNAL:
            commit();  // entries transferred before the records are in place first
            counts_.bytes += m.journal.len;
            applier_.journal().apply(m.journal.data, static_cast<size_t>(m.journal.len), pair_,
                                     &journalStats_);
            stats_.refused += journalStats_.refused;
            stats_.failed += journalStats_.failed;
            stats_.stripped += journalStats_.stripped;
            stats_.withheld += journalStats_.withheld;
            journalStats_ = {};
            return;
        default:
            break;
    }
    // Whoever asks something (a PING included) sees what came before it.
    settleLBFS();
    if (reply) answer(m, *reply);
}

void FlrTailApplySession::answer(const FlrNetMessage& m, FlrNetTail& reply) {
    switch (m.type) {
        case FLR_NET_START_MD5_STREAM:
            FlrTailAnswers::md5Stream(applier_.root(), applier_.options(),
                                      {applier_.answered(), run_}, m.startMD5Stream, reply);
            ++stats_.answers;
            return;
        case FLR_NET_GET_RSYNC_CSUMS_REQ:
            FlrTailAnswers::rsyncSums(applier_.root(), applier_.options(),
                                      {applier_.answered(), run_}, m.rsyncCsumsReq, reply);
            ++stats_.answers;
            return;
        case FLR_NET_GET_FILE_CHECKSUMS_REQ:
            FlrTailAnswers::fileSums(applier_.root(), applier_.options(), m.fileCheckSumsReq,
                                     reply);
            ++stats_.answers;
            return;
        case FLR_NET_VERIFY_REQ:
            FlrTailVerifyAnswer::answer(applier_.root(), m.verifyReq, reply);
            ++stats_.answers;
            return;
        case FLR_NET_GET_LAST_SEQNUM_REQ: {
            // Durable first: the head never skips a record a crash could lose.
            const unsigned long long seq = applier_.journal().lastSeqNum(m.getLastSeqNumReq.pairId);
            reply.sendLastSeqNum(seq, seq);
            return;
        }
        case FLR_NET_PING:
            // The head takes the answer as "everything before it is in
            // place": it also says what was not. Journal records keep their
            // own account (the journal's last sequence number).
            if (m.ping.value == FlrNetHead::kPingRemoved) return reply.pongCount(stats_.deleted);
            if (m.ping.value == FlrNetHead::kPingStripped) return reply.pongCount(stats_.stripped);
            if (m.ping.value == FlrNetHead::kPingWithheld) return reply.pongCount(stats_.withheld);
            if (m.ping.value != 0) return;
            reply.pong(stats_.refused + stats_.failed + stats_.cut);
            return;
        case FLR_NET_DEL_PAIR_REQ:
            applier_.journal().forget(m.delPairReq.pairId);
            [[fallthrough]];
        default:
            applier_.bookkeeper().answer(reply, m, pair_, counts_);
    }
}
