// The planner of the MD5/RSync pipeline: reads the collect file, asks the
// tail for the checksums of its copies over a connection of its own, and
// queues work items for the sending thread.
#include "FlrBackupPlanner.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <memory>

#include "FlrBackup.h"
#include "FlrBackupSource.h"
#include "digest/Jxc.h"
#include "net/FlrNetHead.h"
#include "platform/EvDebug.h"
#include "platform/JxCoding.h"
#include "scan/FlrCollectFile.h"

namespace {

const char* const kPlannerFn = "FlrBackup::md5Thread";
constexpr int kMinBlock = 2048;
// Checksum requests in flight on the planner's connection: the tail works
// on the next file while the head reads the answer for this one (one at a
// time, a resync of many files waited a round trip and the tail's hashing of
// each file in turn). Answers for new names are empty and quick, so with
// auto the window, not the tail, limits a renamed tree: 8 cost it about
// 0.5 s per 200 files on a loaded machine.
constexpr size_t kAskAhead = 32;
// Files up to this size may go unasked while the tail holds nothing at the
// paths asked; a larger one is always asked: a round trip is little beside
// its data, and a wrong guess would resend all of it.
constexpr long long kUnaskedMax = 1LL << 20;
// Between two probes at most this many files, and bytes, go unasked: what a
// guess costs when the tail's files begin again.
constexpr int kMaxProbeGap = 1024;
constexpr long long kMaxUnaskedBytes = 4LL << 20;

// Answers that the tail holds nothing at the paths asked, in a row: a
// baseline into an empty or half-made replica, or a new folder. After two,
// the next small files are taken for new and go unasked (a round trip per
// file cost a tree of small files several times its data); the probes
// between them spread out twice as far after each further miss, and one
// answer that the tail holds the file ends the guessing. Answers lag up to
// kAskAhead files behind the choices, so a guess reaches a little past the
// point where the tail's files begin again: those few go whole.
class MissStreak {
  public:
    void answered(bool held) {
        misses_ = held ? 0 : misses_ + 1;
        gap_ = misses_ < 2 ? 0 : std::min(1 << std::min(misses_ - 2, 10), kMaxProbeGap);
    }
    // True when a file of this size goes unasked; false when it is asked
    // (a probe, or no guessing).
    bool guessNew(long long size) {
        if (gap_ == 0 || unasked_ >= gap_ || unaskedBytes_ + size > kMaxUnaskedBytes) {
            unasked_ = 0;
            unaskedBytes_ = 0;
            return false;
        }
        ++unasked_;
        unaskedBytes_ += size;
        return true;
    }

  private:
    int misses_ = 0;
    int gap_ = 0;
    int unasked_ = 0;
    long long unaskedBytes_ = 0;
};

// An item carrying what the sender needs of the entry, without checksums.
std::unique_ptr<FlrBackupItem> itemOf(const FlrBackupItem& f, bool withACL) {
    auto item = std::make_unique<FlrBackupItem>();
    item->type = f.type;
    item->seq = f.seq;
    item->fid = f.fid;
    item->src = f.src;
    item->dst = f.dst;
    item->st = f.st;
    item->collectOffset = f.collectOffset;
    item->block = f.block;
    item->lbfs = f.lbfs;
    if (withACL) item->acl = f.acl;
    return item;
}

}  // namespace

FlrBackupPlanner::FlrBackupPlanner(FlrBackupContext& ctx)
    : ctx_(ctx), work_(FlrBackup::kWorkListLimit, FlrBackup::kWaitMs, ctx.abort) {}

FlrBackupPlanner::~FlrBackupPlanner() {
    stop();
}

// --- collect entries -----------------------------------------------------------------

bool FlrBackupPlanner::parseLine(const char* line, FlrBackupItem& f) const {
    if (!ctx_.source.driver()) {
        f.type = 'F';
        f.fid = fsf_fid::fid0;
        f.src = line;
        return !f.src.empty();
    }
    FlrCollectEntry entry;
    if (!FlrCollectFile::parseTypedLine(line, &entry)) return false;
    f.type = entry.type;
    f.fid = entry.fid;
    f.src = std::move(entry.path);
    return true;
}

bool FlrBackupPlanner::handledByThisNode(const std::string& path) const {
    if (clusterSize_ == 0) return true;
    unsigned char digest[20];
    Jxc::sha1(path.data(), path.size(), digest);
    return digest[0] % clusterSize_ + 1 == clusterNode_;
}

bool FlrBackupPlanner::nextEntry(FlrBackupItem& f) {
    char line[FlrBackup::kCollectLineSize];
    for (;;) {
        if (!cf_->readLine(line, sizeof line)) return false;
        f = FlrBackupItem();
        if (!parseLine(line, f)) {
            EvDebug::Error("FlrBackup::backup", "Skipping malformed collect line: %s", line);
            continue;
        }
        f.collectOffset = static_cast<unsigned long long>(cf_->getOffset());
        if (f.type == 'F' && !handledByThisNode(f.src)) continue;
        f.dst = ctx_.source.translate(f.src.c_str(), nullptr);
        return true;
    }
}

// --- choices ---------------------------------------------------------------------------

long long FlrBackupPlanner::checksumThreshold() {
    if (ctx_.settings.hashMinFileSize > 0) return ctx_.settings.hashMinFileSize;
    return ctx_.samples.learnedThreshold();
}

int FlrBackupPlanner::blockSizeFor(long long size) const {
    if (!ctx_.settings.blockBySize) return ctx_.settings.hashChunkSize;
    // Digests cost 20 * size / B, a change costs about B more data: the sum
    // is least at B = sqrt(20 * size).
    const double best = std::sqrt(20.0 * static_cast<double>(std::max(size, 0LL)));
    int block = kMinBlock;
    while (block < ctx_.settings.hashChunkSize && block * 1.5 < best) block *= 2;
    return std::min(block, ctx_.settings.hashChunkSize);
}

int FlrBackupPlanner::chooseMethod(long long size, long long threshold) const {
    if (threshold < 0 || size < threshold) return FlrNetMirHeader::kFull;
    if (ctx_.settings.useRSync && (!ctx_.settings.useMD5 || size < ctx_.settings.rsyncMaxFileSize))
        return FlrNetMirHeader::kRSync;
    return ctx_.settings.useMD5 ? FlrNetMirHeader::kMD5 : FlrNetMirHeader::kFull;
}

int FlrBackupPlanner::recvWatching(FlrNetHead& conn, FlrNetMessage* msg) {
    const long long limit = conn.getNetTimeout();
    for (long long waited = 0;; ++waited) {
        work_.check(kPlannerFn);
        const int rc = conn.recvMessage(msg, 1);
        if (rc != -2 || (limit >= 0 && waited >= limit)) return rc;
    }
}

void FlrBackupPlanner::askChecksums(FlrNetHead& conn, const FlrBackupItem& f, int method) {
    if (method == FlrNetMirHeader::kMD5) {
        EvDebug::DebugLvl(kPlannerFn, 2, "Requesting MD5 stream for %s", f.dst.c_str());
        conn.startMD5Stream(f.dst.c_str(), f.block);
        return;
    }
    EvDebug::DebugLvl(kPlannerFn, 2, "Requesting RSync checksums for %s", f.dst.c_str());
    FlrNetMessage m(FLR_NET_GET_RSYNC_CSUMS_REQ);
    m.rsyncCsumsReq = {f.block, f.dst.c_str()};
    FlrNagleOff nagleOff(conn);
    conn.sendMessage(m, conn.getNetTimeout(), false);
}

bool FlrBackupPlanner::requestMD5Stream(FlrNetHead& conn, FlrBackupItem& f, uint64_t since) {
    const char* fn = kPlannerFn;
    const bool sampled = ctx_.samples.remote.tryTake();
    const uint64_t start = since;
    uint32_t index = 0;
    bool first = true;
    for (;;) {
        FlrNetMessage m;
        if (recvWatching(conn, &m) != 0)
            JX_THROW(fn, "Failed to receive next MD5 checksum from the tail.");
        if (m.type == FLR_NET_RECV_MD5_EOF) break;
        if (m.type != FLR_NET_RECV_MD5 || m.recvMD5.count < 0)
            JX_THROW(fn, "Did not get the expected stream of MD5 checksum from the tail");
        if (f.fullIfHeld) {
            // Only asked whether the tail holds the file: the digests go unused.
            index += static_cast<uint32_t>(std::max(m.recvMD5.count, 0));
            continue;
        }
        auto item = itemOf(f, first);
        first = false;
        item->md5 = true;
        item->last = false;
        item->csums.resize(static_cast<size_t>(m.recvMD5.count));
        for (FlrBackupChunkCSUM& c : item->csums) {
            const size_t i = static_cast<size_t>(&c - item->csums.data());
            c.index = index++;
            c.weak = jx::loadBE32(m.recvMD5.weak[i]);
            c.length = static_cast<uint32_t>(f.block);
            std::memcpy(c.md5, m.recvMD5.md5[i], sizeof c.md5);
        }
        work_.push(std::move(item), kPlannerFn);
    }
    auto final = itemOf(f, first);
    final->md5 = true;
    final->last = true;
    final->tailHeldNothing = index == 0;
    if (f.lbfsIfNew) settleNewName(f, *final, index > 0);
    work_.push(std::move(final), kPlannerFn);
    // An answer for a file the tail lacks says nothing of its hashing: fed
    // to the model as a 0-byte file it kept the threshold at 0 for good.
    if (sampled && index > 0)
        ctx_.samples.add(2, static_cast<unsigned long long>(f.st.st_size),
                         FlrAdaptiveMD5::nowMicros() - start);
    return index > 0;
}

bool FlrBackupPlanner::requestRSyncSums(FlrNetHead& conn, FlrBackupItem& f, uint64_t since) {
    const char* fn = kPlannerFn;
    const bool sampled = ctx_.samples.remote.tryTake();
    const uint64_t start = since;
    FlrNetMessage m;
    // No time limit: the tail may hash a large copy for long (an abort still
    // ends the wait).
    int rc = -2;
    while (rc == -2) rc = recvWatching(conn, &m);
    if (rc != 0 || m.type != FLR_NET_GET_RSYNC_CSUMS_RESP) {
        // Answers carry no request id: the connection has lost its place.
        conn.abort("Didn't get expected FLR_NET_GET_RSYNC_CSUMS_RESP message back.");
        JX_THROW(fn, "Didn't get expected FLR_NET_GET_RSYNC_CSUMS_RESP message back.");
    }
    unsigned char(*weak)[4] = m.rsyncCsums.weak;
    unsigned char(*md5)[16] = m.rsyncCsums.md5;
    const int n = m.rsyncCsums.count;
    const unsigned long long tailSize = m.rsyncCsums.value;
    auto item = itemOf(f, true);
    item->rsync = true;
    item->last = true;
    item->tailHeldNothing = n <= 0;
    if (f.lbfsIfNew && settleNewName(f, *item, n > 0)) {
        if (sampled && n > 0)
            ctx_.samples.add(2, static_cast<unsigned long long>(f.st.st_size),
                             FlrAdaptiveMD5::nowMicros() - start);
        work_.push(std::move(item), kPlannerFn);
        return n > 0;
    }
    const unsigned long long block = static_cast<unsigned long long>(f.block);
    // The value is the size of the tail's copy; only a size that agrees
    // with the block count can tell the length of a short last block.
    const bool sizeKnown = n > 0 && (tailSize + block - 1) / block == static_cast<unsigned>(n);
    item->csums.resize(n > 0 ? static_cast<size_t>(n) : 0);
    for (size_t i = 0; i < item->csums.size(); ++i) {
        FlrBackupChunkCSUM& c = item->csums[i];
        c.index = static_cast<uint32_t>(i);
        c.weak = jx::loadBE32(weak[i]);
        c.length = static_cast<uint32_t>(block);
        if (sizeKnown && i + 1 == item->csums.size())
            c.length = static_cast<uint32_t>(tailSize - i * block);
        std::memcpy(c.md5, md5[i], sizeof c.md5);
    }
    if (sampled && n > 0)
        ctx_.samples.add(2, static_cast<unsigned long long>(f.st.st_size),
                         FlrAdaptiveMD5::nowMicros() - start);
    work_.push(std::move(item), kPlannerFn);
    return n > 0;
}

bool FlrBackupPlanner::settleNewName(const FlrBackupItem& asked, FlrBackupItem& item, bool held) {
    if (held && !asked.fullIfHeld) return false;
    item.md5 = item.rsync = false;
    item.lbfs = !held;
    item.csums.clear();
    return true;
}

void FlrBackupPlanner::pingSampleIfDue(FlrNetHead& conn) {
    const long long now = static_cast<long long>(FlrAdaptiveMD5::nowMicros() / 1000000);
    if (now - lastPing_ < FlrBackup::kPingSampleSecs || !ctx_.samples.remote.tryTake()) return;
    lastPing_ = now;
    const uint64_t start = FlrAdaptiveMD5::nowMicros();
    conn.ping();
    ctx_.samples.add(2, 0, FlrAdaptiveMD5::nowMicros() - start);
}

namespace {

// An entry waiting for its turn in the work list: a checksum request sent
// (or none, for a full send behind requests still unanswered).
struct Asked {
    FlrBackupItem file;
    int method;
    uint64_t sentAt;
};

}  // namespace

void FlrBackupPlanner::planEntries(const std::function<FlrNetHead&()>& conn) {
    const char* fn = kPlannerFn;
    FlrBackupItem f;
    unsigned long long seq = 0;
    // Items reach the work list in collect order: an answer is read, and a
    // full send queued, only when everything before it has been.
    std::deque<Asked> asked;
    uint64_t lastAnswered = 0;
    MissStreak streak;
    auto takeOldest = [&]() {
        Asked& a = asked.front();
        // The tail starts on a request once it has answered the one before.
        const uint64_t since = std::max(a.sentAt, lastAnswered);
        if (a.method == FlrNetMirHeader::kRSync)
            streak.answered(requestRSyncSums(conn(), a.file, since));
        else if (a.method == FlrNetMirHeader::kMD5)
            streak.answered(requestMD5Stream(conn(), a.file, since));
        else
            work_.push(itemOf(a.file, true), kPlannerFn);
        if (a.method != FlrNetMirHeader::kFull) lastAnswered = FlrAdaptiveMD5::nowMicros();
        asked.pop_front();
    };
    auto requestsInFlight = [&]() {
        return std::any_of(asked.begin(), asked.end(),
                           [](const Asked& a) { return a.method != FlrNetMirHeader::kFull; });
    };
    while (nextEntry(f)) {
        work_.check(fn);
        bool present = false;
        try {
            present = ctx_.source.statEntry(f);
        } catch (const JxException&) {
            // What came before a vanished entry is still sent.
            while (!asked.empty()) takeOldest();
            throw;
        }
        if (!present) continue;
        f.seq = ++seq;
        // A regular file's ACL is read by the sender from the descriptor it
        // opens for the data (one open per file, not two).
        if (!S_ISREG(f.st.st_mode)) ctx_.source.gatherACL(f);
        int method = FlrNetMirHeader::kFull;
        f.lbfsIfNew = f.fullIfHeld = f.lbfs = false;
        if (S_ISREG(f.st.st_mode)) {
            const long long threshold = checksumThreshold();
            EvDebug::DebugLvl(fn, 2, "Current checksum threshold is %lld bytes", threshold);
            const long long size = static_cast<long long>(f.st.st_size);
            method = chooseMethod(size, threshold);
            if (ctx_.newNamesByLBFS && FlrBackup::lbfsFits(size)) {
                // The tail's answer tells whether it holds dst: asked also for a
                // file the threshold sends whole, which goes whole if held.
                f.lbfsIfNew = true;
                f.fullIfHeld = method == FlrNetMirHeader::kFull;
                if (f.fullIfHeld) method = chooseMethod(size, 0);
            }
            if (method != FlrNetMirHeader::kFull &&
                (ctx_.settings.tailHoldsNothing ||
                 (size <= kUnaskedMax && streak.guessNew(size)))) {
                EvDebug::DebugLvl(fn, 2, "Not asking for %s: taken for new", f.dst.c_str());
                // What the answer "nothing there" would have chosen.
                f.lbfs = f.lbfsIfNew;
                f.lbfsIfNew = f.fullIfHeld = false;
                method = FlrNetMirHeader::kFull;
            }
        }
        if (method == FlrNetMirHeader::kFull && asked.empty()) {
            work_.push(itemOf(f, true), kPlannerFn);
            continue;
        }
        if (method != FlrNetMirHeader::kFull) {
            // A ping's reply must not meet an unread answer.
            if (!requestsInFlight()) pingSampleIfDue(conn());
            f.block = blockSizeFor(static_cast<long long>(f.st.st_size));
            askChecksums(conn(), f, method);
        }
        asked.push_back({f, method, FlrAdaptiveMD5::nowMicros()});
        if (asked.size() >= kAskAhead) takeOldest();
    }
    while (!asked.empty()) takeOldest();
}

void FlrBackupPlanner::run() {
    const char* fn = kPlannerFn;
    std::unique_ptr<JxException> error;
    try {
        std::unique_ptr<FlrNetHead> conn;
        // Cleared before the connection goes, so nobody aborts a dead one.
        struct Unpublish {
            FlrBackupPlanner* self;
            ~Unpublish() {
                JxMonitorLock lock(self->connMon_);
                self->conn_ = nullptr;
            }
        } unpublish{this};
        // Opened for the first file compared: a run that compares nothing
        // (nothing changed, or only small files) pays for no second handshake.
        auto open = [&]() -> FlrNetHead& {
            if (conn) return *conn;
            EvDebug::Debug(fn, "Opening MD5 connection to destination");
            conn.reset(ctx_.head.dup());
            JxMonitorLock lock(connMon_);
            conn_ = conn.get();
            // stop() marks the list before it looks for a connection to cut.
            if (work_.stopped()) conn->abort("Aborted");
            return *conn;
        };
        EvDebug::Debug(fn, "Reading collect file %s", cf_->getName().c_str());
        planEntries(open);
    } catch (const JxException& e) {
        // A stop cuts the planner's connection: that error is the stop's
        // (whoever stopped it says why), not a fault of its own.
        if (work_.stopped())
            EvDebug::Debug(fn, "%s", e.toString().c_str());
        else
            EvDebug::Error(fn, "%s", e.toString().c_str());
        error = std::make_unique<JxException>(e);
    } catch (const std::exception& e) {
        EvDebug::Error(fn, "%s", e.what());
        error = std::make_unique<JxException>(fn, e.what(), "FlrBackupPlanner", 0, -1);
    }
    work_.finish(std::move(error));
}

void FlrBackupPlanner::start() {
    work_.reset();
    thread_.start("md5Thread", [this] { run(); });
}

void FlrBackupPlanner::stop() {
    work_.stop();
    {
        JxMonitorLock lock(connMon_);
        if (conn_) conn_->abort("Aborted");
    }
    if (thread_.joinable()) thread_.join();
}

// --- the sender's side -------------------------------------------------------------------

std::unique_ptr<FlrBackupItem> FlrBackupPlanner::takeSameFile(const FlrBackupItem& first,
                                                              const char* function) {
    std::unique_ptr<FlrBackupItem> next = take(function);
    if (!next || next->seq != first.seq)
        JX_THROW(function, "MD5 stream is corrupt. Didn't get EOF record for file " + first.src +
                               ". Got a new record for file " + (next ? next->src : "") +
                               " instead");
    return next;
}

void FlrBackupPlanner::drainFile(const FlrBackupItem& item, const char* function) {
    bool last = item.last;
    while (!last) last = takeSameFile(item, function)->last;
}
