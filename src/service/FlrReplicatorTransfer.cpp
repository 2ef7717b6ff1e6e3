// The transfer half of a replication run: the tail (started here for a local
// destination), the driver, the dirchange file, and the progress ticker.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <thread>

#include "FLR/FlrEndpoint.h"
#include "FLR/FlrReplicator.h"
#include "FLR/FlrTailService.h"
#include "FLR/JxException.h"
#include "FlrReplicatorRun.h"
#include "apply/FlrTailApplier.h"
#include "env/FlrHelper.h"
#include "link/SdtCrypto.h"
#include "link/SdtNetLink.h"
#include "net/FlrNetHead.h"
#include "net/FlrNetMessage.h"
#include "net/FlrRateLimit.h"
#include "platform/JxFile.h"
#include "platform/JxLineReader.h"
#include "scan/FlrCollectText.h"
#include "transfer/FlrBackup.h"
#include "transfer/FlrLBFSBlockCache.h"
#include "transfer/FlrMultiStreamBackup.h"

namespace {

const char* const kTransferFn = "FlrReplicator::transfer";
using Clock = std::chrono::steady_clock;

// Calls tick every quarter second from its own thread until destroyed.
class Ticker {
  public:
    explicit Ticker(std::function<void()> tick) : tick_(std::move(tick)) {
        if (tick_) thread_ = std::thread([this] { loop(); });
    }
    ~Ticker() {
        {
            std::lock_guard<std::mutex> lock(mtx_);
            done_ = true;
        }
        cv_.notify_all();
        if (thread_.joinable()) thread_.join();
    }

  private:
    void loop() {
        std::unique_lock<std::mutex> lock(mtx_);
        while (!cv_.wait_for(lock, std::chrono::milliseconds(250), [this] { return done_; })) {
            lock.unlock();
            tick_();
            lock.lock();
        }
    }
    std::function<void()> tick_;
    std::mutex mtx_;  // guards done_
    std::condition_variable cv_;
    bool done_ = false;
    std::thread thread_;
};

// Streams the translated dirchange into a temporary file while comparing it,
// line by line, with the one the tail applied last: the file names every
// entry of the tree, so it is never held whole.
class DirChangeWriter {
  public:
    DirChangeWriter(const std::string& sent, const std::string& applied)
        : out_(sent, 0600, "dirchange file", "FlrReplicator"),
          applied_(applied, "applied dirchange file"),
          same_(!applied_.missing()) {
        buf_.reserve(kFlushBytes + 4096);
    }

    // One line, given in pieces (no newline).
    void line(std::string_view a, std::string_view b = {}) {
        const size_t at = buf_.size();
        buf_.append(a).append(b);
        std::string_view was;
        if (same_) same_ = applied_.next(&was) && was == std::string_view(buf_).substr(at);
        buf_ += '\n';
        if (buf_.size() >= kFlushBytes) flush();
    }
    // Whether every line equals the applied file's, which ends there too.
    bool sameAsApplied() {
        std::string_view more;
        return same_ && !applied_.next(&more);
    }
    void commit() {
        flush();
        out_.commit();
    }

  private:
    static constexpr size_t kFlushBytes = 64 << 10;

    void flush() {
        out_.write(buf_);
        buf_.clear();
    }

    jx::AtomicFile out_;
    jx::LineReader applied_;
    bool same_;
    std::string buf_;
};

// Rewrites the scan's dirchange file with destination folder paths: each
// block's first line is an escaped source path, and escaping works byte by
// byte, so the escaped source prefix is replaced by the escaped destination.
void translateDirChange(const std::string& in, const std::string& src, const std::string& dst,
                        DirChangeWriter& out) {
    jx::LineReader lines(in, "dirchange file");
    if (lines.missing()) JX_THROW(kTransferFn, "The scan wrote no dirchange file " + in);
    const std::string from = FlrCollectText::escape(src);
    const std::string to = FlrCollectText::escape(dst == "/" ? "" : dst);
    std::string_view line;
    while (lines.next(&line)) {
        const bool pathLine = line.find('\t') == std::string_view::npos;
        if (pathLine && line.substr(0, from.size()) == from &&
            (line.size() == from.size() || line[from.size()] == '/')) {
            const std::string_view rest = line.substr(from.size());
            if (to.empty() && rest.empty())
                out.line("/");
            else
                out.line(to, rest);
        } else {
            out.line(line);
        }
    }
}

// The senders a driver may use for --method m. LBFS needs a tail above
// protocol version 3, which the driver checks; a disabled LBFS gives way to
// MD5 and RSync, as in the multi-stream backup.
// auto compares blocks on a baseline: an empty tail holds nothing worth
// finding, and LBFS would cost about twice a full send. On later runs a file
// whose path the tail holds is compared by MD5/RSync (an in-place edit costs
// about half the bytes of LBFS's block list plus the touched blocks), and a file the tail holds
// nothing at (a rename, a copy, a new file) goes by LBFS, which builds it from content the tail
// holds under any name. The tail's answer to a checksum request on the pipeline's own connection
// tells which (asked also for files the threshold sends whole): it is current even when the tail
// changed behind the head's back, where the head's record of earlier runs would not be.
void chooseSenders(const std::string& m, bool tailHoldsContent, FlrBackup& b) {
    const bool lbfs = m == "lbfs" || (m == "auto" && tailHoldsContent);
    b.useLBFS = lbfs && !b.isLBFSDisabled();
    b.useMD5 = (m == "md5" || m == "auto") && !b.isMD5Disabled();
    b.useRSync = (m == "rsync" || m == "auto") && !b.isRSyncDisabled();
    b.lbfsForNewNames = m == "auto";
    if (lbfs && b.isLBFSDisabled()) {
        b.useMD5 = !b.isMD5Disabled();
        b.useRSync = !b.isRSyncDisabled();
    }
}

// A local destination absent or empty as the run begins holds no file worth
// a checksum request.
bool holdsNothing(const std::string& dir) {
    std::vector<std::string> names;
    const int rc = jx::fileOps().listDir(dir.c_str(), &names);
    return rc == ENOENT || (rc == 0 && names.empty());
}

// The streams and the LBFS connection are dup()s of the main connection
// and share its rate.
void configureLink(FlrNetHead& head, const FlrReplicateOptions& o) {
    if (o.compress > 0) head.setCompression(o.compress);
    if (o.encrypt) head.setEncryption(1);
    if (o.bwlimit > 0) head.setRateLimit(std::make_shared<FlrRateLimit>(o.bwlimit));
}

// "root/a/b" -> "a/b" (the root itself -> ""); a path outside root as given.
std::string relativeTo(const std::string& root, const std::string& path) {
    if (path == root) return {};
    const std::string prefix = root == "/" ? root : root + "/";
    return path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : path;
}

// Names the run, and the run before it from the pair's state: a head killed
// mid-run leaves sessions on the tail that may still be applying what it
// sent, and the tail lets this run start only once they have ended. An
// unreadable record names no run before (the tail then waits for no one).
void nameRun(const std::string& state, uint64_t* runId, uint64_t* follows) {
    const std::string file = state + "/run-id";
    std::string text;
    if (jx::readFileIfExists(file, &text, "run id")) {
        char* end = nullptr;
        const unsigned long long v = std::strtoull(text.c_str(), &end, 16);
        if (end && end != text.c_str() && (*end == '\n' || *end == '\0')) *follows = v;
    }
    *runId = 0;
    while (*runId == 0)
        if (!sdt::randomBytes(reinterpret_cast<uint8_t*>(runId), sizeof *runId))
            JX_THROW(kTransferFn, "Couldn't draw a run id");
    jx::replaceFile(file, jxFormat("%016llx\n", static_cast<unsigned long long>(*runId)), 0600,
                    "run id", kTransferFn);
}

}  // namespace

void FlrReplicator::connect(Run& r) {
    nameRun(r.state, &r.runId, &r.follows);
    std::string host, port, path;
    if (parseRemote(options_.target, &host, &port, &path)) {
        r.remote = true;
        r.destination = FlrHelper::stripTrailingSlashes(path);
        flrConnectHead(r.head, FlrEndpoint{host, port});
        configureLink(r.head, options_);
        r.head.setRunId(r.runId, r.follows);
        return;
    }
    // A local destination: a tail of our own in this process, unless the
    // caller serves one for longer.
    r.tail = options_.localTail;
    if (!r.tail) {
        // The content store of LBFS runs lives with the pair's state, never
        // in the destination (the mirror would delete it).
        FlrTailApplier::Options tailOptions;
        tailOptions.storeDir = r.state + "/tail-store";
        // Same host, same user: a privileged entry gains no one anything.
        tailOptions.privileged = FlrPrivileged::Keep;
        if (options_.onRemoved)
            tailOptions.onRemoved = [this, &r](const std::string& removed) {
                std::lock_guard<std::mutex> lock(listMtx_);
                options_.onRemoved(relativeTo(r.destination, removed));
            };
        r.ownTail = std::make_unique<FlrLocalTail>(options_.target, tailOptions);
        r.tail = r.ownTail.get();
    }
    r.tailBefore = r.tail->applier().totals();
    r.destination = r.tail->destination();
    r.tail->connect(r.head);
    configureLink(r.head, options_);
    r.head.setRunId(r.runId, r.follows);
}

void FlrReplicator::transfer(Run& r, FlrReplicateSummary& s) {
    const auto t0 = Clock::now();
    sendCollect(r, s);
    mirror(r);
    finishTransfer(r, s);  // throws when the tail of this process could not apply entries
    s.transferSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
}

void FlrReplicator::sendCollect(Run& r, FlrReplicateSummary& s) {
    const auto t0 = Clock::now();
    const std::string& m = options_.method;
    if (m != "full" && m != "md5" && m != "rsync" && m != "lbfs" && m != "auto")
        JX_THROW(kTransferFn, "Unknown transfer method " + m + " (full, md5, rsync, lbfs or auto)");
    if (options_.streams < 1 || options_.streams > 64)
        JX_THROW(kTransferFn, "The number of streams must be 1 to 64");
    connect(r);
    const bool destinationEmpty = !r.remote && holdsNothing(r.destination);
    std::atomic<long long> files{0}, bytes{0};
    auto blockCache = std::make_shared<FlrLBFSBlockCache>(r.state + "/lbfs-blocks");
    // Settings every driver of the run gets, also the streams' own.
    auto tune = [&](FlrBackup& b) {
        b.setLiveCounters(&files, &bytes);
        b.lbfsBlockCache = blockCache;
        chooseSenders(m, r.lastStart >= 0, b);
        if (m == "auto") b.hashMinFileSize = 0;  // the threshold the model learns
        b.tailHoldsNothing = destinationEmpty;
        b.blockBySize = true;
        if (options_.onSent)
            b.onEntrySent = [this, &r](const std::string& src) {
                std::lock_guard<std::mutex> lock(listMtx_);
                options_.onSent(relativeTo(r.source, src));
            };
    };
    Ticker ticker(progress_ ? std::function<void()>([&] {
        FlrReplicateProgress p;
        p.phase = "transfer";
        p.files = files.load();
        p.bytes = bytes.load();
        p.totalFiles = s.selected;
        p.totalBytes = s.bytesRead;
        p.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
        progress_(p);
    })
                            : std::function<void()>());
    if (options_.streams > 1) {
        FlrMultiStreamBackup multi(options_.streams);
        multi.skipVanished = options_.skipVanished;
        multi.linkHardLinks = true;
        multi.tune = tune;
        multi.addDirPair(r.source, r.destination);
        multi.backup(&r.head, r.collect.c_str(), 0, false, abort_, -1);
        for (int k = 0; k < 4; ++k) s.methods[k] = multi.getMethodCount(k);
        s.lbfsSaved = multi.getLBFSStats(nullptr, nullptr);
        r.streamUnapplied = multi.getUnappliedEntries();
        r.streamWireBytes = multi.getOwnWireBytes();
        s.skipped = multi.getSkippedEntries();
        r.streamPrivReported = multi.getPrivilegedEntries(&r.streamStripped, &r.streamWithheld);
    } else {
        FlrBackup backup(&r.head, abort_, nullptr);
        backup.skipVanished = options_.skipVanished;
        backup.linkHardLinks = true;
        tune(backup);
        backup.addDirPair(r.source.c_str(), r.destination.c_str());
        backup.backup(r.collect.c_str(), 0, false, -1);
        for (int k = 0; k < 4; ++k) s.methods[k] = backup.getMethodCount(k);
        s.lbfsSaved = backup.getLBFSStats(nullptr, nullptr);
        r.streamUnapplied = backup.getUnappliedEntries();
        r.streamWireBytes = backup.getOwnWireBytes();
        s.skipped = backup.getSkippedEntries();
    }
    s.files = files.load();
    s.bytesSent = bytes.load();
    // Only LBFS sends read or fill the cache; a run without one leaves it as
    // it was, and rewriting it durably would cost two syncs for nothing.
    if (s.methods[3] > 0) blockCache->save();
}

// Sends the dirchange file so the destination mirrors removals, then waits
// until the tail has applied everything sent.
void FlrReplicator::mirror(Run& r) {
    bool sendDirChange = false;
    if (!options_.noDelete) {
        DirChangeWriter out(r.dirchangeSent, r.dirchangeDone);
        translateDirChange(r.dirchange, r.source, r.destination, out);
        // The same text the tail applied before: no folder gained, lost or
        // changed an entry since, so mirroring it again removes nothing.
        sendDirChange = r.lastStart < 0 || !out.sameAsApplied();
        if (sendDirChange) out.commit();
    }
    if (sendDirChange) r.head.sendMirSpecFile(FLR_SPEC_FILE_DIRCHANGE, r.dirchangeSent.c_str());
    // The tail answers in order: once the ping is back, everything before it
    // has been applied or has failed.
    r.head.ping();
    confirmApplied(r);
    // Only a dirchange the tail has applied counts as applied: a failed run
    // leaves the record as it was, and the next run sends its own.
    if (sendDirChange && std::rename(r.dirchangeSent.c_str(), r.dirchangeDone.c_str()) != 0)
        JX_THROW_ERRNO(kTransferFn, "Failed to record the applied dirchange file", errno);
}

// A running tail tells in its ping answers what it could not apply (a
// refused path, a failed entry): the run must not count as complete, or its
// files would not be sent again. The run's own tail is asked directly once
// stopped (finishTransfer); a shared one (the watch's) is not: its sessions
// add their counts to its totals only when they end, which may be after the
// run read them.
void FlrReplicator::confirmApplied(const Run& r) const {
    if (r.ownTail) return;
    const long long n = r.head.unappliedEntries() + r.streamUnapplied;
    if (n > 0)
        JX_THROW_CODE(kTransferFn,
                      jxFormat("%lld entries could not be applied on the destination (see the "
                               "tail's log)",
                               n),
                      kUnappliedEntries);
}

void FlrReplicator::finishTransfer(Run& r, FlrReplicateSummary& s) {
    if (!r.tail) {
        const long long removed = r.head.removedEntries();
        s.removedReported = removed >= 0;
        s.removed = std::max(removed, 0LL);
        s.privReported =
            r.head.privilegedEntries(&s.privStripped, &s.privWithheld) && r.streamPrivReported;
        s.privStripped += r.streamStripped;
        s.privWithheld += r.streamWithheld;
    }
    s.wireBytes = r.head.wireBytesSent() + r.head.wireBytesReceived() + r.streamWireBytes;
    r.head.closeSocket();
    r.stopTail();
    if (r.ownTail) s.wireBytes = r.ownTail->stats().wireBytes;  // every connection of the run
    if (r.tail) {
        // A shared tail's sessions may still be ending: its counts are a
        // lower bound until then.
        const FlrTailApplyStats t = r.tail->applier().totals();
        const FlrTailApplyStats& b = r.tailBefore;
        s.refused = (t.refused + t.failed + t.cut) - (b.refused + b.failed + b.cut);
        s.removed = t.deleted - b.deleted;
        s.privStripped = t.stripped - b.stripped;
        s.privWithheld = t.withheld - b.withheld;
    }
    if (s.refused > 0)
        JX_THROW_CODE(kTransferFn,
                      jxFormat("%lld entries could not be applied on the destination (see the log)",
                               s.refused),
                      kUnappliedEntries);
}
