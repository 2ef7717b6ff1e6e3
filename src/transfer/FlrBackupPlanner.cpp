// The planner of the MD5/RSync pipeline: reads the collect file, asks the
// tail for the checksums of its copies over a connection of its own, and
// queues work items for the sending thread.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <memory>

#include "FlrBackup.h"
#include "net/FlrNetHead.h"
#include "platform/EvDebug.h"
#include "platform/JxCoding.h"
#include "scan/FlrCollectFile.h"

namespace {

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
std::unique_ptr<FlrBackup::File> itemOf(const FlrBackup::File& f, bool withACL) {
    auto item = std::make_unique<FlrBackup::File>();
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

long long FlrBackup::checksumThreshold() {
    if (hashMinFileSize > 0) return hashMinFileSize;
    return samples_.learnedThreshold();
}

int FlrBackup::blockSizeFor(long long size) const {
    if (!blockBySize) return hashChunkSize;
    // Digests cost 20 * size / B, a change costs about B more data: the sum
    // is least at B = sqrt(20 * size).
    const double best = std::sqrt(20.0 * static_cast<double>(std::max(size, 0LL)));
    int block = kMinBlock;
    while (block < hashChunkSize && block * 1.5 < best) block *= 2;
    return std::min(block, hashChunkSize);
}

int FlrBackup::chooseMethod(long long size, long long threshold) const {
    if (threshold < 0 || size < threshold) return FlrNetMirHeader::kFull;
    if (useRSync && (!useMD5 || size < rsyncMaxFileSize)) return FlrNetMirHeader::kRSync;
    return useMD5 ? FlrNetMirHeader::kMD5 : FlrNetMirHeader::kFull;
}

void FlrBackup::queueItem(std::unique_ptr<File> item) {
    JxMonitorLock lock(workMon_);
    while (work_.size() >= kWorkListLimit) {
        if (planStop_ || abort_->isSet()) JX_THROW("FlrBackup::md5Thread", "Aborted");
        workMon_.wait(kWaitMs);
    }
    work_.push_back(std::move(item));
    workMon_.broadcast();
}

int FlrBackup::recvWatching(FlrNetHead& conn, FlrNetMessage* msg) {
    const long long limit = conn.getNetTimeout();
    for (long long waited = 0;; ++waited) {
        {
            JxMonitorLock lock(workMon_);
            if (planStop_ || abort_->isSet()) JX_THROW("FlrBackup::md5Thread", "Aborted");
        }
        const int rc = conn.recvMessage(msg, 1);
        if (rc != -2 || (limit >= 0 && waited >= limit)) return rc;
    }
}

void FlrBackup::askChecksums(FlrNetHead& conn, const File& f, int method) {
    if (method == FlrNetMirHeader::kMD5) {
        EvDebug::DebugLvl("FlrBackup::md5Thread", 2, "Requesting MD5 stream for %s", f.dst.c_str());
        conn.startMD5Stream(f.dst.c_str(), f.block);
        return;
    }
    EvDebug::DebugLvl("FlrBackup::md5Thread", 2, "Requesting RSync checksums for %s",
                      f.dst.c_str());
    FlrNetMessage m(FLR_NET_GET_RSYNC_CSUMS_REQ);
    m.rsyncCsumsReq = {f.block, f.dst.c_str()};
    FlrNagleOff nagleOff(conn);
    conn.sendMessage(m, conn.getNetTimeout(), false);
}

bool FlrBackup::requestMD5Stream(FlrNetHead& conn, File& f, uint64_t since) {
    const char* fn = "FlrBackup::md5Thread";
    const bool sampled = samples_.remote.tryTake();
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
        for (ChunkCSUM& c : item->csums) {
            const size_t i = static_cast<size_t>(&c - item->csums.data());
            c.index = index++;
            c.weak = jx::loadBE32(m.recvMD5.weak[i]);
            c.length = static_cast<uint32_t>(f.block);
            std::memcpy(c.md5, m.recvMD5.md5[i], sizeof c.md5);
        }
        queueItem(std::move(item));
    }
    auto final = itemOf(f, first);
    final->md5 = true;
    final->last = true;
    final->tailHeldNothing = index == 0;
    if (f.lbfsIfNew) settleNewName(f, *final, index > 0);
    queueItem(std::move(final));
    // An answer for a file the tail lacks says nothing of its hashing: fed
    // to the model as a 0-byte file it kept the threshold at 0 for good.
    if (sampled && index > 0)
        samples_.add(2, static_cast<unsigned long long>(f.st.st_size),
                     FlrAdaptiveMD5::nowMicros() - start);
    return index > 0;
}

bool FlrBackup::requestRSyncSums(FlrNetHead& conn, File& f, uint64_t since) {
    const char* fn = "FlrBackup::md5Thread";
    const bool sampled = samples_.remote.tryTake();
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
            samples_.add(2, static_cast<unsigned long long>(f.st.st_size),
                         FlrAdaptiveMD5::nowMicros() - start);
        queueItem(std::move(item));
        return n > 0;
    }
    const unsigned long long block = static_cast<unsigned long long>(f.block);
    // The value is the size of the tail's copy; only a size that agrees
    // with the block count can tell the length of a short last block.
    const bool sizeKnown = n > 0 && (tailSize + block - 1) / block == static_cast<unsigned>(n);
    item->csums.resize(n > 0 ? static_cast<size_t>(n) : 0);
    for (size_t i = 0; i < item->csums.size(); ++i) {
        ChunkCSUM& c = item->csums[i];
        c.index = static_cast<uint32_t>(i);
        c.weak = jx::loadBE32(weak[i]);
        c.length = static_cast<uint32_t>(block);
        if (sizeKnown && i + 1 == item->csums.size())
            c.length = static_cast<uint32_t>(tailSize - i * block);
        std::memcpy(c.md5, md5[i], sizeof c.md5);
    }
    if (sampled && n > 0)
        samples_.add(2, static_cast<unsigned long long>(f.st.st_size),
                     FlrAdaptiveMD5::nowMicros() - start);
    queueItem(std::move(item));
    return n > 0;
}

bool FlrBackup::settleNewName(const File& asked, File& item, bool held) {
    if (held && !asked.fullIfHeld) return false;
    item.md5 = item.rsync = false;
    item.lbfs = !held;
    item.csums.clear();
    return true;
}

void FlrBackup::pingSampleIfDue(FlrNetHead& conn) {
    const long long now = static_cast<long long>(FlrAdaptiveMD5::nowMicros() / 1000000);
    if (now - lastPing_ < kPingSampleSecs || !samples_.remote.tryTake()) return;
    lastPing_ = now;
    const uint64_t start = FlrAdaptiveMD5::nowMicros();
    conn.ping();
    samples_.add(2, 0, FlrAdaptiveMD5::nowMicros() - start);
}

namespace {

// An entry waiting for its turn in the work list: a checksum request sent
// (or none, for a full send behind requests still unanswered).
struct Asked {
    FlrBackup::File file;
    int method;
    uint64_t sentAt;
};

}  // namespace

void FlrBackup::planEntries(const std::function<FlrNetHead&()>& conn) {
    const char* fn = "FlrBackup::md5Thread";
    File f;
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
            queueItem(itemOf(a.file, true));
        if (a.method != FlrNetMirHeader::kFull) lastAnswered = FlrAdaptiveMD5::nowMicros();
        asked.pop_front();
    };
    auto requestsInFlight = [&]() {
        return std::any_of(asked.begin(), asked.end(),
                           [](const Asked& a) { return a.method != FlrNetMirHeader::kFull; });
    };
    while (nextEntry(f)) {
        {
            JxMonitorLock lock(workMon_);
            if (planStop_ || abort_->isSet()) JX_THROW(fn, "Aborted");
        }
        bool present = false;
        try {
            present = source_.statEntry(f);
        } catch (const JxException&) {
            // What came before a vanished entry is still sent.
            while (!asked.empty()) takeOldest();
            throw;
        }
        if (!present) continue;
        f.seq = ++seq;
        // A regular file's ACL is read by the sender from the descriptor it
        // opens for the data (one open per file, not two).
        if (!S_ISREG(f.st.st_mode)) source_.gatherACL(f);
        int method = FlrNetMirHeader::kFull;
        f.lbfsIfNew = f.fullIfHeld = f.lbfs = false;
        if (S_ISREG(f.st.st_mode)) {
            const long long threshold = checksumThreshold();
            EvDebug::DebugLvl(fn, 2, "Current checksum threshold is %lld bytes", threshold);
            const long long size = static_cast<long long>(f.st.st_size);
            method = chooseMethod(size, threshold);
            if (ctx_.newNamesByLBFS && lbfsFits(size)) {
                // The tail's answer tells whether it holds dst: asked also for a
                // file the threshold sends whole, which goes whole if held.
                f.lbfsIfNew = true;
                f.fullIfHeld = method == FlrNetMirHeader::kFull;
                if (f.fullIfHeld) method = chooseMethod(size, 0);
            }
            if (method != FlrNetMirHeader::kFull &&
                (tailHoldsNothing || (size <= kUnaskedMax && streak.guessNew(size)))) {
                EvDebug::DebugLvl(fn, 2, "Not asking for %s: taken for new", f.dst.c_str());
                // What the answer "nothing there" would have chosen.
                f.lbfs = f.lbfsIfNew;
                f.lbfsIfNew = f.fullIfHeld = false;
                method = FlrNetMirHeader::kFull;
            }
        }
        if (method == FlrNetMirHeader::kFull && asked.empty()) {
            queueItem(itemOf(f, true));
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

void FlrBackup::md5Thread() {
    const char* fn = "FlrBackup::md5Thread";
    try {
        std::unique_ptr<FlrNetHead> conn;
        // Cleared before the connection goes, so nobody aborts a dead one.
        struct Unpublish {
            FlrBackup* self;
            ~Unpublish() {
                JxMonitorLock lock(self->workMon_);
                self->planConn_ = nullptr;
            }
        } unpublish{this};
        // Opened for the first file compared: a run that compares nothing
        // (nothing changed, or only small files) pays for no second handshake.
        auto open = [&]() -> FlrNetHead& {
            if (conn) return *conn;
            EvDebug::Debug(fn, "Opening MD5 connection to destination");
            conn.reset(head_->dup());
            JxMonitorLock lock(workMon_);
            planConn_ = conn.get();
            if (planStop_) conn->abort("Aborted");
            return *conn;
        };
        EvDebug::Debug(fn, "Reading collect file %s", cf_->getName().c_str());
        planEntries(open);
    } catch (const JxException& e) {
        EvDebug::Error(fn, "%s", e.toString().c_str());
        JxMonitorLock lock(workMon_);
        planError_ = std::make_unique<JxException>(e);
    } catch (const std::exception& e) {
        EvDebug::Error(fn, "%s", e.what());
        JxMonitorLock lock(workMon_);
        planError_ = std::make_unique<JxException>(fn, e.what(), "FlrBackupPlanner", 0, -1);
    }
    JxMonitorLock lock(workMon_);
    planDone_ = true;
    workMon_.broadcast();
}

void FlrBackup::stopPlanner() {
    {
        JxMonitorLock lock(workMon_);
        planStop_ = true;
        if (planConn_) planConn_->abort("Aborted");
        workMon_.broadcast();
    }
    if (planner_.joinable()) planner_.join();
}
