// The LBFS thread that answers the tail's block requests.
//
// Connections: the main one carries the tail's LBFS_BLOCK_REQ (and its
// LBFS_STOP echo) in; the thread's own connection carries LBFS_BLOCK and
// LBFS_DONE out.
#include "FlrBlockServer.h"

#include <algorithm>
#include <memory>

#include "FlrBackup.h"
#include "FlrBackupSource.h"
#include "net/FlrNetHead.h"
#include "platform/EvDebug.h"
#include "platform/JxFile.h"

namespace {

const char* const kServerFn = "FlrBackup::lbfsThread";

// The main connection is polled this often for block requests, so an abort
// ends the thread promptly although it waits without limit.
constexpr int kPollSecs = 1;

}  // namespace

// The tail's request being answered; its chunks share token and file.
struct FlrBlockServer::Request {
    unsigned long long token = 0;
    std::string path;
    jx::File file;
    uint64_t length = 0;  // as announced: no block may end beyond it
    bool active = false;  // chunks of this request seen, the last one not yet
    bool skipped = false;
};

FlrBlockServer::FlrBlockServer(FlrBackupContext& ctx) : ctx_(ctx) {}

FlrBlockServer::~FlrBlockServer() {
    abort();
}

void FlrBlockServer::resetRun() {
    JxMonitorLock lock(mon_);
    error_.clear();
    announced_.clear();
}

// Recorded before the block list leaves, so the tail's first request for
// it always finds it.
void FlrBlockServer::announce(const FlrBackupItem& f, int fd,
                              const std::list<JxLBFS::HashBlock>& blocks) {
    Announced a;
    a.fid = f.fid;
    struct stat st {};
    if (jx::fileOps().fstat(fd, &st) == 0) a.dev = st.st_dev, a.ino = st.st_ino;
    for (const JxLBFS::HashBlock& b : blocks)
        a.length = std::max<uint64_t>(a.length, b.block.offset + b.block.length);
    JxMonitorLock lock(mon_);
    announced_[f.src] = a;
}

// Once an exchange has ended no request can come for what it announced; a
// watch's long-lived sender must not keep its paths.
void FlrBlockServer::forgetAnnounced() {
    JxMonitorLock lock(mon_);
    announced_.clear();
}

bool FlrBlockServer::isRunning() const {
    JxMonitorLock lock(mon_);
    return running_;
}

std::string FlrBlockServer::errorText() const {
    JxMonitorLock lock(mon_);
    return error_;
}

void FlrBlockServer::start() {
    {
        JxMonitorLock lock(mon_);
        if (running_) return;
    }
    // A thread of an earlier exchange has ended; collect it first.
    if (thread_.joinable()) thread_.join();
    // Connected here, on the sending thread, so the main connection is only
    // ever touched by one thread for sending and one for receiving.
    FlrNetHead* conn = ctx_.head.dup();
    JxMonitorLock lock(mon_);
    running_ = true;
    stop_ = false;
    error_.clear();
    conn_ = conn;
    thread_.start("FlrLBFS", [this, conn] { run(conn); });
}

void FlrBlockServer::run(FlrNetHead* connection) {
    std::unique_ptr<FlrNetHead> conn(connection);
    std::string error;
    try {
        serve(*conn);
    } catch (const JxException& e) {
        error = e.getMessage();
    } catch (const std::exception& e) {
        error = e.what();
    }
    {
        JxMonitorLock lock(mon_);
        conn_ = nullptr;
        // A thread stopped by abort() fails because of it; that is no error.
        if (stop_) error.clear();
    }
    if (!error.empty()) {
        EvDebug::Error(kServerFn, "%s", error.c_str());
        // A broken exchange has nothing worth flushing: closing must not
        // wait for a tail that stopped reading.
        conn->abort(error);
    }
    conn.reset();
    JxMonitorLock lock(mon_);
    error_ = error;
    running_ = false;
    mon_.broadcast();
}

void FlrBlockServer::serve(FlrNetHead& conn) {
    Request req;
    for (;;) {
        {
            JxMonitorLock lock(mon_);
            if (stop_) return;
        }
        FlrNetMessage m;
        const int rc = ctx_.head.recvMessage(&m, kPollSecs);
        if (rc == -2) continue;
        if (rc != 0)
            JX_THROW(kServerFn,
                     jxFormat("Couldn't receive next LBFS message from the tail: %d", rc));
        if (m.type == FLR_NET_LBFS_BLOCK_REQ) {
            answer(conn, req, m);
        } else if (m.type == FLR_NET_LBFS_STOP) {
            EvDebug::Debug(kServerFn, "LBFS exchange is done, terminating");
            conn.flush(120);
            // Answered once the tail has taken in every block and LBFS_DONE
            // before it, so the run's end means the files are there.
            conn.ping();
            ctx_.counters.lbfsUnapplied += conn.unappliedEntries();
            ctx_.counters.lbfsWireBytes += conn.wireBytesSent() + conn.wireBytesReceived();
            conn.setSocket(-1, true);
            return;
        } else {
            EvDebug::Error(kServerFn, "Unknown message %s ignored", flrNetMsgName(m.type));
        }
    }
}

// The tail names a path and a file id; it gets blocks only of a file this
// run announced, read from that very file (an entry replaced since is
// skipped, the tail's hash check then fails it), within its announced
// length. Anything else is a tail that is not following the protocol: the
// exchange ends and the run fails.
void FlrBlockServer::answer(FlrNetHead& conn, Request& req, const FlrNetMessage& m) {
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
            JX_THROW(kServerFn,
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

void FlrBlockServer::openRequested(Request& req, const char* path, const char* fidText) {
    Announced announced;
    {
        JxMonitorLock lock(mon_);
        const auto it = announced_.find(path);
        if (it == announced_.end() || it->second.fid != str2fid(fidText))
            JX_THROW(kServerFn, jxFormat("The tail asked for blocks of %s, which this run did not "
                                         "announce; the exchange is ended",
                                         path));
        announced = it->second;
    }
    req.length = announced.length;
    try {
        struct stat st {};
        const int fd = ctx_.source.openFile(path, announced.fid, &st);
        if (fd >= 0) req.file = jx::File(fd);
        if (req.file && (st.st_dev != announced.dev || st.st_ino != announced.ino)) {
            EvDebug::Error(kServerFn, "%s was replaced after its blocks were announced", path);
            req.file.reset();
        }
    } catch (const JxException& e) {
        EvDebug::DebugLvl(kServerFn, 2, "%s", e.getMessage().c_str());
    }
    if (!req.file) {
        EvDebug::Error(kServerFn, "Couldn't open %s (%s) for reading", path, fidText);
        req.skipped = true;
    }
}

// One requested block; a block longer than the buffer grows it (up to
// kLBFSMaxPiece) and beyond that goes as consecutive pieces, so every
// requested byte is sent.
void FlrBlockServer::sendBlock(FlrNetHead& conn, Request& req, const JxLBFS::Block& block) {
    const int fd = req.file.get();
    if (jx::fileOps().lseek(fd, static_cast<off_t>(block.offset), SEEK_SET) < 0) {
        EvDebug::Error(kServerFn, "Couldn't seek to %lu of %s",
                       static_cast<unsigned long>(block.offset), req.path.c_str());
        return;
    }
    const size_t want = std::min<size_t>(block.length, FlrBackup::kLBFSMaxPiece);
    if (buf_.size() < std::max<size_t>(want, FlrBackup::kLBFSBufferSize))
        buf_.resize(std::max<size_t>(want, FlrBackup::kLBFSBufferSize));
    uint64_t offset = block.offset;
    uint32_t left = block.length;
    while (left > 0) {
        const int len = static_cast<int>(std::min<uint32_t>(left, FlrBackup::kLBFSMaxPiece));
        const int n = FlrBackupSource::readAll(fd, buf_.data(), len);
        if (n <= 0) break;  // the file shrank: the tail's hash check fails the file
        EvDebug::DebugLvl(
            kServerFn, 2, "Sending [%lu-%lu] of %s", static_cast<unsigned long>(offset),
            static_cast<unsigned long>(offset + static_cast<uint64_t>(n)), req.path.c_str());
        conn.sendLBFSBlock(req.token, JxLBFS::Block{offset, static_cast<uint32_t>(n)}, buf_.data());
        ctx_.counters.lbfsBlockBytes += static_cast<unsigned long long>(n);
        if (ctx_.counters.liveBytes)
            ctx_.counters.liveBytes->fetch_add(n, std::memory_order_relaxed);
        offset += static_cast<uint64_t>(n);
        left -= static_cast<uint32_t>(n);
        if (n < len) break;
    }
}

// --- ending the exchange -------------------------------------------------------------

void FlrBlockServer::flush() {
    const char* fn = "FlrBackup::flushLBFS";
    if (isRunning()) {
        EvDebug::Debug(fn, "Sending FLR_NET_LBFS_STOP message...");
        ctx_.head.sendLBFSStop();
        EvDebug::Debug(fn, "Waiting for LBFS thread to terminate...");
        bool aborted = false;
        {
            JxMonitorLock lock(mon_);
            while (running_ && !(aborted = ctx_.abort.isSet())) mon_.wait(FlrBackup::kWaitMs);
        }
        if (aborted) {
            abort();
            JX_THROW(fn, "Aborted");
        }
    }
    if (thread_.joinable()) thread_.join();
    forgetAnnounced();
    const std::string error = errorText();
    if (!error.empty()) JX_THROW(fn, "LBFS thread encountered an error: " + error);
}

void FlrBlockServer::abort() {
    {
        JxMonitorLock lock(mon_);
        if (running_) {
            EvDebug::Debug("FlrBackup::abortLBFS", "Forcefully aborting LBFS thread...");
            stop_ = true;
            if (conn_) conn_->abort("Aborted");
        }
    }
    if (thread_.joinable()) thread_.join();
    forgetAnnounced();
}
