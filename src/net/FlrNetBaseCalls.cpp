// The callers' side of the network engine: queueing a message for the send
// thread (waiting for room, or for the queue to drain), taking the next one
// the receive thread queued, and sending a file as a data stream.
#include "FlrNetBase.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "FLR/JxException.h"
#include "FlrNetChannel.h"
#include "FlrRateLimit.h"
#include "buffer/FlrPerf.h"
#include "platform/EvDebug.h"
#include "platform/JxFile.h"
#include "platform/JxUtf.h"

namespace {

// Timed waits on the send queue look again at least this often (ms).
constexpr long long kPollMs = 100;

}  // namespace

// Rounded up, so that 0 means the deadline has passed.
long long FlrNetBase::msUntil(Clock::time_point deadline) {
    return std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
}

// --- sending -------------------------------------------------------------------------

void FlrNetBase::throwIfSendFailed(const char* function) {
    if (!lastSendError_.ok())
        JX_THROW(function, "Couldn't send FLR message: " + lastSendError_.text());
}

void FlrNetBase::waitForSendRoom(const char* function, int timeout) {
    // A held batch may have filled the queue without waking the send thread.
    if (isFull(sendHead_, sendTail_)) sendMon_.broadcast();
    if (timeout < 0) {
        while (isFull(sendHead_, sendTail_)) {
            throwIfSendFailed(function);
            sendMon_.wait(-1);
        }
        return;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(timeout);
    auto timedOut = [&] {
        JX_THROW(function,
                 jxFormat("Timed out after %d secs waiting for room in the send queue", timeout));
    };
    while (isFull(sendHead_, sendTail_)) {
        const long long left = msUntil(deadline);
        if (left <= 0) timedOut();
        throwIfSendFailed(function);
        // Room is announced only at the wake mark; looking now and then
        // keeps a deadline from passing while a slot already stands free.
        sendMon_.wait(static_cast<long>(std::min<long long>(left, kPollMs)));
    }
    // A zero time-out never waits and so never succeeds: callers use it to
    // probe, and an enqueue that was not given time is not one.
    if (Clock::now() >= deadline) timedOut();
}

void FlrNetBase::sendMessage(const FlrNetMessage& msg, int timeout, bool flag) {
    static const char* const kFn = "FlrNetBase::sendMessage";
    JxMonitorLock lock(sendMon_);
    if (channel_) {
        // The first slot's buffer is scratch: no send thread uses it.
        SendSlot& scratch = sendSlots_[0];
        int len = 0;
        encodeMessage(msg, scratch.buf, scratch.capacity, &len);
        sendOnChannel(msg.type, scratch.buf, len, timeout, kFn);
        return;
    }
    EvDebug::DebugLvl(kFn, 4, "=> %s (queue len: %ld)", flrNetMsgName(msg.type),
                      static_cast<long>(queued(sendHead_, sendTail_)));
    waitForSendRoom(kFn, timeout);
    throwIfSendFailed(kFn);
    SendSlot& slot = sendSlots_[sendTail_];
    int len = 0;
    encodeMessage(msg, slot.buf, slot.capacity, &len);
    slot.type = msg.type;
    slot.flag = flag ? 1 : 0;
    slot.len = len;
    sendTail_ = next(sendTail_);
    wakeSender(len);
}

void FlrNetBase::sendMessage(int type, void*& buf, int len, int& bufSize, int timeout, bool flag) {
    static const char* const kFn = "FlrNetBase::sendMessage";
    if (len < 0 || len > bufSize || (bufSize > 0 && !buf))
        JX_THROW(kFn, "Invalid arguments: the buffer does not hold the message");
    JxMonitorLock lock(sendMon_);
    if (channel_) {
        // The caller keeps its buffer: the channel copies.
        sendOnChannel(type, buf, len, timeout, kFn);
        return;
    }
    EvDebug::DebugLvl(kFn, 4, "=> %s (queue len: %ld)", flrNetMsgName(type),
                      static_cast<long>(queued(sendHead_, sendTail_)));
    waitForSendRoom(kFn, timeout);
    throwIfSendFailed(kFn);
    SendSlot& slot = sendSlots_[sendTail_];
    void* back = slot.buf;
    int backCapacity = slot.capacity;
    if (backCapacity < bufSize) {
        // The caller keeps filling buffers of its size; one too small would
        // make it reallocate on every piece.
        void* fresh = std::malloc(static_cast<size_t>(bufSize));
        if (!fresh) JX_THROW(kFn, "Couldn't allocate send buffer");
        std::free(back);
        back = fresh;
        backCapacity = bufSize;
    }
    slot.buf = buf;
    slot.capacity = bufSize;
    slot.len = len;
    slot.type = type;
    slot.flag = flag ? 1 : 0;
    buf = back;
    bufSize = backCapacity;
    sendTail_ = next(sendTail_);
    wakeSender(len);
}

// Caller holds sendMon_, which keeps this engine's senders in order.
void FlrNetBase::sendOnChannel(int type, const void* data, int len, int timeout,
                               const char* function) {
    throwIfSendFailed(function);
    EvDebug::DebugLvl(function, 4, "=> %s (in process)", flrNetMsgName(type));
    channel_->send(channelSide_, type, data, len, timeout, function);
    if (rateLimit_) waitForPace(rateLimit_->reserve(len + FlrNetChannel::kFrameOverhead));
}

void FlrNetBase::wakeSender(int len) {
    if (sendHeld_ > 0 && len < kBatchWakeBytes && queued(sendHead_, sendTail_) < kWakeMark) return;
    sendMon_.broadcast();
}

FlrNetBase::SendBatch::SendBatch(FlrNetBase& net) : net_(net) {
    if (net_.channel_) {
        net_.channel_->hold(net_.channelSide_, 1);
        return;
    }
    JxMonitorLock lock(net_.sendMon_);
    ++net_.sendHeld_;
}

FlrNetBase::SendBatch::~SendBatch() {
    if (net_.channel_) {
        net_.channel_->hold(net_.channelSide_, -1);
        return;
    }
    JxMonitorLock lock(net_.sendMon_);
    if (--net_.sendHeld_ == 0 && net_.sendHead_ != net_.sendTail_) net_.sendMon_.broadcast();
}

void FlrNetBase::flush(int seconds) {
    flushFor("FlrNetBase::flush", seconds, -1);
}

// Waits until the queue is empty: at most idleSeconds without progress and,
// when totalSeconds is not negative, at most that long in all.
void FlrNetBase::flushFor(const char* kFn, int idleSeconds, int totalSeconds) {
    const int seconds = idleSeconds;
    // A channel keeps nothing on this side: what was sent is queued at the
    // peer, which only needs waking for what a held batch queued.
    if (channel_) {
        channel_->flush(channelSide_);
        return;
    }
    JxMonitorLock lock(sendMon_);
    if (!sendRunning_) return;
    sendMon_.broadcast();  // what a held batch queued goes now
    int lastHead = sendHead_;
    auto deadline = Clock::now() + std::chrono::seconds(std::max(seconds, 0));
    const auto hardDeadline = totalSeconds < 0 ? Clock::time_point::max()
                                               : Clock::now() + std::chrono::seconds(totalSeconds);
    bool told = false;
    while (sendHead_ != sendTail_) {
        // An ended send thread drains nothing: say why instead of waiting.
        if (sendDone_.isSet()) {
            throwIfSendFailed(kFn);
            return;
        }
        if (!told) EvDebug::Debug(kFn, "Waiting for the send queue to drain...");
        told = true;
        if (seconds < 0) {
            sendMon_.wait(-1);
            continue;
        }
        const long long left = msUntil(std::min(deadline, hardDeadline));
        if (left <= 0) JX_THROW(kFn, "Timed out trying to flush send queue");
        sendMon_.wait(static_cast<long>(std::min<long long>(left, kPollMs)));
        if (sendHead_ != lastHead) {
            lastHead = sendHead_;
            deadline = Clock::now() + std::chrono::seconds(seconds);
        }
    }
}

// --- receiving -----------------------------------------------------------------------

int FlrNetBase::recvMessage(FlrNetMessage* msg, int timeout) {
    static const char* const kFn = "FlrNetBase::recvMessage";
    if (!msg) JX_THROW(kFn, "Invalid arguments: msg==NULL");
    if (channel_) return recvFromChannel(msg, timeout);
    const auto deadline = Clock::now() + std::chrono::seconds(std::max(timeout, 0));
    RecvSlot* slot = nullptr;
    long left = 0;
    {
        JxMonitorLock lock(recvMon_);
        if (!abortReason_.empty())
            JX_THROW(kFn,
                     "Failed to receive next FLR message: the link was ended: " + abortReason_);
        while (recvHead_ == recvTail_) {
            // No receive thread: nothing can arrive any more.
            if (!recvRunning_ || recvDone_.isSet()) return -1;
            if (timeout < 0) {
                recvMon_.wait(-1);
                continue;
            }
            const long long ms = msUntil(deadline);
            if (ms <= 0) return -2;
            recvMon_.wait(static_cast<long>(std::min<long long>(ms, LONG_MAX)));
            if (!abortReason_.empty())
                JX_THROW(kFn,
                         "Failed to receive next FLR message: the link was ended: " + abortReason_);
        }
        slot = &recvSlots_[recvHead_];
        // An error stays at the head, so every later call answers the same.
        const SdtError& err = slot->err;
        if (!err.ok()) {
            if (err.isGone()) return -1;
            if (err.isTimeout()) return -2;
            JX_THROW(kFn, "Failed to receive next FLR message: " + err.text());
        }
        releaseCallersRecvBuffer();
        recvHead_ = next(recvHead_);
        left = queued(recvHead_, recvTail_);
        // Only the receive thread waits for room; it resumes once half the
        // queue is free (see sendLoop).
        if (left <= kWakeMark || recvWaitsForMemory_) recvMon_.broadcast();
    }
    // The slot just taken is not refilled before the next call, so decoding
    // outside the monitor is safe; so is the aligned store, which only
    // callers use (one at a time, as for the slot).
    if (alignedArrays_.capacity() * sizeof(long long) > kKeepRecvBufferSize)
        std::vector<long long>().swap(alignedArrays_);
    decodeMessage(msg, slot->pkt, alignedArrays_);
    EvDebug::DebugLvl(kFn, 4, "<= %s (queue len: %ld)", flrNetMsgName(msg->type), left);
    return 0;
}

int FlrNetBase::recvFromChannel(FlrNetMessage* msg, int timeout) {
    static const char* const kFn = "FlrNetBase::recvMessage";
    auto throwIfAborted = [this] {
        JxMonitorLock lock(recvMon_);
        if (!abortReason_.empty())
            JX_THROW(kFn,
                     "Failed to receive next FLR message: the link was ended: " + abortReason_);
    };
    throwIfAborted();
    SdtLinkPacket pkt;
    const int r = channel_->receive(channelSide_, &pkt, timeout);
    if (r == -1) throwIfAborted();
    if (r != 0) return r;
    if (const SdtError e = checkPayloadLimit(pkt); !e.ok())
        JX_THROW(kFn, "Failed to receive next FLR message: " + e.text());
    if (alignedArrays_.capacity() * sizeof(long long) > kKeepRecvBufferSize)
        std::vector<long long>().swap(alignedArrays_);
    decodeMessage(msg, pkt, alignedArrays_);
    EvDebug::DebugLvl(kFn, 4, "<= %s (in process)", flrNetMsgName(msg->type));
    return 0;
}

// --- data streams ----------------------------------------------------------------------

void FlrNetBase::sendMirData(const void* data, int len) {
    FlrNetMessage m(FLR_NET_MIR_DATA);
    m.data.data = data;
    m.data.len = len;
    sendMessage(m, netTimeout_, false);
}

void FlrNetBase::sendMirData(void*& buf, int len, int& bufSize) {
    sendMessage(FLR_NET_MIR_DATA, buf, len, bufSize, netTimeout_, false);
}

void FlrNetBase::sendMirEOF() {
    FlrNetMessage m(FLR_NET_MIR_EOF);
    m.eof.filler = 0;
    sendMessage(m, netTimeout_, false);
}

void FlrNetBase::sendMirSpecFile(int id, const char* path) {
    static const char* const kFn = "FlrNetBase::sendMirSpecFile";
    FlrNetMessage m(FLR_NET_MIR_SPEC_FILE);
    m.mirSpecFile.id = id;
    if (!path || !*path) {
        sendMessage(m, netTimeout_, false);
        sendMirEOF();
        return;
    }
    struct stat st {};
    if (stat_utf(path, &st) != 0)
        JX_THROW_ERRNO(kFn, std::string("Failed to stat file ") + path, errno);
    const int fd = open_utf(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) JX_THROW_ERRNO(kFn, std::string("Failed to open ") + path + " for reading", errno);
    jx::File closer(fd);  // closes fd on every way out
    sendMessage(m, netTimeout_, false);

    // Pieces go out through the swapping enqueue: the queue hands back an
    // equally large buffer, so the file is read straight into send buffers.
    int cap = kFilePieceSize;
    void* buf = std::malloc(static_cast<size_t>(cap));
    if (!buf) JX_THROW(kFn, "Couldn't allocate send buffer");
    struct BufFree {
        void*& p;
        ~BufFree() { std::free(p); }
    } bufFree{buf};
    const auto total = static_cast<unsigned long long>(st.st_size);
    unsigned long long sent = 0;
    while (sent < total) {
        const size_t want = static_cast<size_t>(std::min<unsigned long long>(total - sent, cap));
        FlrPerfCounter* perf = FlrPerf::counter(FLR_PERF_FILEREAD);
        if (perf) perf->start();
        ssize_t r;
        do {
            r = ::read(fd, buf, want);
        } while (r < 0 && errno == EINTR);
        if (perf) perf->stop(r > 0 ? static_cast<uint64_t>(r) : 0);
        if (r < 0) JX_THROW_ERRNO(kFn, std::string("Failed to read from \"") + path + "\"", errno);
        if (r == 0)
            JX_THROW(kFn, std::string("Unexpected EOF when trying to read from \"") + path + "\"");
        sendMirData(buf, static_cast<int>(r), cap);
        sent += static_cast<unsigned long long>(r);
    }
    sendMirEOF();
}
