// The plain/LBFS loop, the LBFS sender and the LBFS thread that answers the
// tail's block requests.
//
// Connections: the main one carries headers, LBFS_START and LBFS_STOP out
// and the tail's LBFS_BLOCK_REQ (and its LBFS_STOP echo) in; the LBFS
// connection carries LBFS_BLOCK and LBFS_DONE out. Only the LBFS thread reads
// the main connection while it runs.
#include <fcntl.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "FlrBackup.h"
#include "FlrLBFSBlockCache.h"
#include "net/FlrNetHead.h"
#include "platform/EvDebug.h"
#include "platform/JxFile.h"

namespace {

const char* const kThreadFn = "FlrBackup::lbfsThread";

// The main connection is polled this often for block requests, so an abort
// ends the thread promptly although it waits without limit.
constexpr int kPollSecs = 1;

}  // namespace

// The tail's request being answered; its chunks share token and file.
struct FlrBackup::BlockRequest {
    unsigned long long token = 0;
    std::string path;
    jx::File file;
    uint64_t length = 0;  // as announced: no block may end beyond it
    bool active = false;  // chunks of this request seen, the last one not yet
    bool skipped = false;
};

FlrBackup::RunLoop FlrBackup::chooseRunLoop(bool lbfs, bool md5, bool rsync, uint32_t peerVersion,
                                            bool newNames) {
    const bool lbfsPossible = lbfs && peerVersion > 3;
    if (lbfsPossible && newNames && (md5 || rsync)) return RunLoop::MD5OrRSyncLBFS;
    if (lbfsPossible) return RunLoop::LBFS;
    if (md5 || rsync) return RunLoop::MD5OrRSync;
    return RunLoop::Plain;
}

void FlrBackup::runChosenLoop() {
    lbfsFileBytes_ = 0;
    lbfsBlockBytes_ = 0;
    lbfsUnapplied_ = 0;
    {
        JxMonitorLock lock(lbfsMon_);
        lbfsError_.clear();
        lbfsAnnounced_.clear();
    }
    const RunLoop loop =
        chooseRunLoop(useLBFS, useMD5, useRSync, head_->getPeerVersion(), lbfsForNewNames);
    newNamesByLBFS_ = loop == RunLoop::MD5OrRSyncLBFS;
    switch (loop) {
        case RunLoop::LBFS:
            backupRegOrLBFS(true);
            break;
        case RunLoop::MD5OrRSync:
        case RunLoop::MD5OrRSyncLBFS:
            backupMD5OrRSync();
            break;
        case RunLoop::Plain:
            backupRegOrLBFS(false);
            break;
    }
}

// An entry that can no longer be opened by id still reaches the tail, as a
// world-writable folder or empty file stamped now, so the journal records
// that follow it (a rename, a removal) find something to act on.
void FlrBackup::sendPlaceholder(File& f) {
    const time_t now = std::time(nullptr);
    f.st = {};
    f.st.st_mode = f.type == 'D' ? 0x41FF : 0x81FF;
    f.st.st_nlink = 1;
    f.st.st_atime = f.st.st_mtime = f.st.st_ctime = now;
    f.acl.clear();
    sendHeader(f, FlrNetMirHeader::kFull);
    head_->sendMirEOF();
    countFile(f, FlrNetMirHeader::kFull);
}

void FlrBackup::backupRegOrLBFS(bool lbfs) {
    const char* fn = "FlrBackup::backup";
    // An LBFS file is complete on the tail only once its blocks came over the
    // other connection, after its MIR_EOF: an offset in the header would let
    // a restart skip a file that never arrived.
    if (lbfs) sendOffsets_ = false;
    File f;
    while (true) {
        checkAbort(fn);
        if (!nextEntry(f)) break;
        if (!statEntry(f)) {
            if (!f.fid.isZero()) sendPlaceholder(f);
            continue;
        }
        if (sendIfHardLink(f)) continue;
        int fd = -1;
        if (S_ISREG(f.st.st_mode)) {
            fd = openFile(f.src.c_str(), f.fid, &f.st);
            if (fd < 0) {
                if (!f.fid.isZero()) sendPlaceholder(f);
                continue;
            }
        }
        gatherACL(f, fd);
        const bool byBlocks = lbfs && fd >= 0 && lbfsFits(f.st.st_size);
        const uint8_t method = byBlocks ? FlrNetMirHeader::kLBFS : FlrNetMirHeader::kFull;
        if (!sendEntry(f, fd, method)) {
            if (!f.fid.isZero()) sendPlaceholder(f);
            continue;
        }
        rememberLinkName(f);
        countFile(f, method);
    }
    flushLBFS();
    head_->flush(300);
    EvDebug::Debug(fn, "Transfer complete");
}

void FlrBackup::sendRegFileLBFS(File& f, int fd) {
    const char* fn = "FlrBackup::sendRegFileLBFS";
    jx::File file(fd);
    const std::string error = lbfsErrorText();
    if (!error.empty()) {
        EvDebug::Error(fn, "LBFS thread encountered an error: %s", error.c_str());
        JX_THROW(fn, error);
    }
    std::list<JxLBFS::HashBlock> blocks;
    cutIntoBlocks(f, file.get(), &blocks);
    announceLBFS(f, file.get(), blocks);
    head_->sendLBFSStart(f.src.c_str(), f.fid, blocks);
    startLBFSThread();
    unsigned long long bytes = 0;
    for (const JxLBFS::HashBlock& b : blocks) bytes += b.block.length;
    lbfsFileBytes_ += bytes;
}

// Once an exchange has ended no request can come for what it announced; a
// watch's long-lived sender must not keep its paths.
void FlrBackup::forgetAnnounced() {
    JxMonitorLock lock(lbfsMon_);
    lbfsAnnounced_.clear();
}

// Recorded before the block list leaves, so the tail's first request for
// it always finds it.
void FlrBackup::announceLBFS(const File& f, int fd, const std::list<JxLBFS::HashBlock>& blocks) {
    AnnouncedFile a;
    a.fid = f.fid;
    struct stat st {};
    if (jx::fileOps().fstat(fd, &st) == 0) a.dev = st.st_dev, a.ino = st.st_ino;
    for (const JxLBFS::HashBlock& b : blocks)
        a.length = std::max<uint64_t>(a.length, b.block.offset + b.block.length);
    JxMonitorLock lock(lbfsMon_);
    lbfsAnnounced_[f.src] = a;
}

// An unchanged file's blocks come from the cache; a file cut here goes
// into it.
void FlrBackup::cutIntoBlocks(const File& f, int fd, std::list<JxLBFS::HashBlock>* blocks) {
    const char* fn = "FlrBackup::sendRegFileLBFS";
    struct stat before {};
    const bool known = lbfsBlockCache && jx::fileOps().fstat(fd, &before) == 0;
    if (known && lbfsBlockCache->lookup(FlrLBFSBlockCache::keyOf(before), f.src, blocks)) {
        EvDebug::DebugLvl(fn, 2, "Block list of %s taken from the cache", f.src.c_str());
        return;
    }
    const CQiError e = JxLBFS::split(fd, *blocks);
    if (e.IsError()) JX_THROW(fn, e.GetMessage());
    EvDebug::DebugLvl(fn, 2, "Split %s into %lu hash blocks", f.src.c_str(),
                      static_cast<unsigned long>(blocks->size()));
    struct stat after {};
    if (known && jx::fileOps().fstat(fd, &after) == 0)
        lbfsBlockCache->insert(before, after, f.src, *blocks);
}

// --- the thread ------------------------------------------------------------------

bool FlrBackup::isLBFSRunning() const {
    JxMonitorLock lock(lbfsMon_);
    return lbfsRunning_;
}

std::string FlrBackup::lbfsErrorText() const {
    JxMonitorLock lock(lbfsMon_);
    return lbfsError_;
}

void FlrBackup::startLBFSThread() {
    {
        JxMonitorLock lock(lbfsMon_);
        if (lbfsRunning_) return;
    }
    // A thread of an earlier exchange has ended; collect it first.
    if (lbfsThread_.joinable()) lbfsThread_.join();
    // Connected here, on the sending thread, so the main connection is only
    // ever touched by one thread for sending and one for receiving.
    FlrNetHead* conn = head_->dup();
    JxMonitorLock lock(lbfsMon_);
    lbfsRunning_ = true;
    lbfsStop_ = false;
    lbfsError_.clear();
    lbfsConn_ = conn;
    lbfsThread_.start("FlrLBFS", [this, conn] { lbfsThread(conn); });
}

void FlrBackup::lbfsThread(FlrNetHead* connection) {
    std::unique_ptr<FlrNetHead> conn(connection);
    std::string error;
    try {
        serveBlockRequests(*conn);
    } catch (const JxException& e) {
        error = e.getMessage();
    } catch (const std::exception& e) {
        error = e.what();
    }
    {
        JxMonitorLock lock(lbfsMon_);
        lbfsConn_ = nullptr;
        // A thread stopped by abortLBFS fails because of it; that is no error.
        if (lbfsStop_) error.clear();
    }
    if (!error.empty()) {
        EvDebug::Error(kThreadFn, "%s", error.c_str());
        // A broken exchange has nothing worth flushing: closing must not
        // wait for a tail that stopped reading.
        conn->abort(error);
    }
    conn.reset();
    JxMonitorLock lock(lbfsMon_);
    lbfsError_ = error;
    lbfsRunning_ = false;
    lbfsMon_.broadcast();
}

void FlrBackup::serveBlockRequests(FlrNetHead& conn) {
    BlockRequest req;
    for (;;) {
        {
            JxMonitorLock lock(lbfsMon_);
            if (lbfsStop_) return;
        }
        FlrNetMessage m;
        const int rc = head_->recvMessage(&m, kPollSecs);
        if (rc == -2) continue;
        if (rc != 0)
            JX_THROW(kThreadFn,
                     jxFormat("Couldn't receive next LBFS message from the tail: %d", rc));
        if (m.type == FLR_NET_LBFS_BLOCK_REQ) {
            answerBlockRequest(conn, req, m);
        } else if (m.type == FLR_NET_LBFS_STOP) {
            EvDebug::Debug(kThreadFn, "LBFS exchange is done, terminating");
            conn.flush(120);
            // Answered once the tail has taken in every block and LBFS_DONE
            // before it, so the run's end means the files are there.
            conn.ping();
            lbfsUnapplied_ += conn.unappliedEntries();
            conn.setSocket(-1, true);
            return;
        } else {
            EvDebug::Error(kThreadFn, "Unknown message %s ignored", flrNetMsgName(m.type));
        }
    }
}

// The tail names a path and a file id; it gets blocks only of a file this
// run announced, read from that very file (an entry replaced since is
// skipped, the tail's hash check then fails it), within its announced
// length. Anything else is a tail that is not following the protocol: the
// exchange ends and the run fails.
void FlrBackup::answerBlockRequest(FlrNetHead& conn, BlockRequest& req, const FlrNetMessage& m) {
    const FlrNetLBFSBlockReq& r = m.lbfsBlockReq;
    const char* path = r.str1 ? r.str1 : "";
    const char* fidText = r.str2 ? r.str2 : "";
    if (!req.active || req.token != r.value || req.path != path) {
        req.file.reset();
        req.token = r.value;
        req.path = path;
        req.active = true;
        req.skipped = false;
        openRequested(req, path, fidText);
    }
    for (int i = 0; i < r.count; ++i) {
        const JxLBFS::Block block{r.offsetAt(i), r.lengthAt(i)};
        if (block.offset > req.length || block.length > req.length - block.offset)
            JX_THROW(kThreadFn,
                     jxFormat("The tail asked for bytes %llu to %llu of %s, beyond the %llu "
                              "announced; the exchange is ended",
                              static_cast<unsigned long long>(block.offset),
                              static_cast<unsigned long long>(block.offset) + block.length, path,
                              static_cast<unsigned long long>(req.length)));
        if (!req.skipped) sendBlock(conn, req, block);
    }
    if (!r.last) return;
    // Also for a skipped request: the tail learns that no more blocks come
    // and fails the file instead of waiting for them.
    conn.sendLBFSDone(req.token);
    req.file.reset();
    req.active = false;
}

void FlrBackup::openRequested(BlockRequest& req, const char* path, const char* fidText) {
    AnnouncedFile announced;
    {
        JxMonitorLock lock(lbfsMon_);
        const auto it = lbfsAnnounced_.find(path);
        if (it == lbfsAnnounced_.end() || it->second.fid != str2fid(fidText))
            JX_THROW(kThreadFn, jxFormat("The tail asked for blocks of %s, which this run did not "
                                         "announce; the exchange is ended",
                                         path));
        announced = it->second;
    }
    req.length = announced.length;
    try {
        struct stat st {};
        const int fd = openFile(path, announced.fid, &st);
        if (fd >= 0) req.file = jx::File(fd);
        if (req.file && (st.st_dev != announced.dev || st.st_ino != announced.ino)) {
            EvDebug::Error(kThreadFn, "%s was replaced after its blocks were announced", path);
            req.file.reset();
        }
    } catch (const JxException& e) {
        EvDebug::DebugLvl(kThreadFn, 2, "%s", e.getMessage().c_str());
    }
    if (!req.file) {
        EvDebug::Error(kThreadFn, "Couldn't open %s (%s) for reading", path, fidText);
        req.skipped = true;
    }
}

// One requested block; a block longer than the buffer grows it (up to
// kLBFSMaxPiece) and beyond that goes as consecutive pieces, so every
// requested byte is sent.
void FlrBackup::sendBlock(FlrNetHead& conn, BlockRequest& req, const JxLBFS::Block& block) {
    const int fd = req.file.get();
    if (jx::fileOps().lseek(fd, static_cast<off_t>(block.offset), SEEK_SET) < 0) {
        EvDebug::Error(kThreadFn, "Couldn't seek to %lu of %s",
                       static_cast<unsigned long>(block.offset), req.path.c_str());
        return;
    }
    const size_t want = std::min<size_t>(block.length, kLBFSMaxPiece);
    if (lbfsBuf_.size() < std::max<size_t>(want, kLBFSBufferSize))
        lbfsBuf_.resize(std::max<size_t>(want, kLBFSBufferSize));
    uint64_t offset = block.offset;
    uint32_t left = block.length;
    while (left > 0) {
        const int len = static_cast<int>(std::min<uint32_t>(left, kLBFSMaxPiece));
        const int n = readAll(fd, lbfsBuf_.data(), len);
        if (n <= 0) break;  // the file shrank: the tail's hash check fails the file
        EvDebug::DebugLvl(
            kThreadFn, 2, "Sending [%lu-%lu] of %s", static_cast<unsigned long>(offset),
            static_cast<unsigned long>(offset + static_cast<uint64_t>(n)), req.path.c_str());
        conn.sendLBFSBlock(req.token, JxLBFS::Block{offset, static_cast<uint32_t>(n)},
                           lbfsBuf_.data());
        lbfsBlockBytes_ += static_cast<unsigned long long>(n);
        if (liveBytes_) liveBytes_->fetch_add(n, std::memory_order_relaxed);
        offset += static_cast<uint64_t>(n);
        left -= static_cast<uint32_t>(n);
        if (n < len) break;
    }
}

// --- ending the exchange -------------------------------------------------------------

void FlrBackup::flushLBFS() {
    const char* fn = "FlrBackup::flushLBFS";
    if (isLBFSRunning()) {
        EvDebug::Debug(fn, "Sending FLR_NET_LBFS_STOP message...");
        head_->sendLBFSStop();
        EvDebug::Debug(fn, "Waiting for LBFS thread to terminate...");
        bool aborted = false;
        {
            JxMonitorLock lock(lbfsMon_);
            while (lbfsRunning_ && !(aborted = abort_->isSet())) lbfsMon_.wait(kWaitMs);
        }
        if (aborted) {
            abortLBFS();
            JX_THROW(fn, "Aborted");
        }
    }
    if (lbfsThread_.joinable()) lbfsThread_.join();
    forgetAnnounced();
    const std::string error = lbfsErrorText();
    if (!error.empty()) JX_THROW(fn, "LBFS thread encountered an error: " + error);
}

void FlrBackup::abortLBFS() {
    {
        JxMonitorLock lock(lbfsMon_);
        if (lbfsRunning_) {
            EvDebug::Debug("FlrBackup::abortLBFS", "Forcefully aborting LBFS thread...");
            lbfsStop_ = true;
            if (lbfsConn_) lbfsConn_->abort("Aborted");
        }
    }
    if (lbfsThread_.joinable()) lbfsThread_.join();
    forgetAnnounced();
}

// --- statistics ------------------------------------------------------------------------

float FlrBackup::lbfsSavedPercent(long long total, unsigned long long blocks,
                                  unsigned long long fileBytes) {
    const double t = static_cast<double>(total);
    const double l = t - static_cast<double>(blocks) + static_cast<double>(fileBytes);
    if (l == 0) return 0.0f;
    return static_cast<float>(100.0 * (l - t) / l);
}

float FlrBackup::getLBFSStats(unsigned long* /*a*/, unsigned long* /*b*/) const {
    return lbfsSavedPercent(getTotalBytes(), lbfsBlockBytes_.load(), lbfsFileBytes_.load());
}
