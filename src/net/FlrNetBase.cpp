// The network engine: two bounded queues, a send thread and a receive thread
// around one link.
#include "FlrNetBase.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "FLR/JxException.h"
#include "FlrRateLimit.h"
#include "buffer/FlrPerf.h"
#include "platform/EvDebug.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxFile.h"
#include "platform/JxUtf.h"

namespace {

const char* const kRecvThread = "FlrNetBase::recvThread";
const char* const kSendThread = "FlrNetBase::sendThread";
// Timed waits on the send queue look again at least this often (ms).
constexpr long long kPollMs = 100;

// Releases a held monitor for a scope (a blocking link call) and takes it
// back, also when the scope ends with an exception.
class MonitorUnlock {
  public:
    explicit MonitorUnlock(JxMonitor& m) : m_(m) { m_.exit(); }
    ~MonitorUnlock() { m_.enter(); }
    MonitorUnlock(const MonitorUnlock&) = delete;
    MonitorUnlock& operator=(const MonitorUnlock&) = delete;

  private:
    JxMonitor& m_;
};

long clampToInt(long v) {
    return std::clamp<long>(v, INT_MIN, INT_MAX);
}

// Rounded up, so that 0 means the deadline has passed.
long long msUntil(std::chrono::steady_clock::time_point deadline) {
    return std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
        .count();
}

}  // namespace

// --- life cycle ------------------------------------------------------------------

FlrNetBase::FlrNetBase() {
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0)
        JX_THROW("FlrNetBase", "Couldn't initialize signalling pipe");
    link_.addAbortFd(pipe_[0]);
    readSettings();
}

FlrNetBase::~FlrNetBase() {
    EvDebug::Debug("FlrNetBase::~FlrNetBase", "Destroying");
    try {
        int secs = 0;
        {
            JxMonitorLock lock(sendMon_);
            secs = closeFlushSecs_;
        }
        flushFor("FlrNetBase::~FlrNetBase", secs, secs);
    } catch (const JxException& e) {
        EvDebug::Error("FlrNetBase::~FlrNetBase", "%s", e.getMessage().c_str());
    }
    try {
        stopRecvThread();
        stopSendThread();
    } catch (const std::exception& e) {
        EvDebug::Error("FlrNetBase::~FlrNetBase", "%s", e.what());
    }
    link_.removeAbortFd(pipe_[0]);
    ::close(pipe_[0]);
    ::close(pipe_[1]);
    link_.setRecvBuffer(nullptr);
    for (SendSlot& s : sendSlots_) std::free(s.buf);
}

void FlrNetBase::readSettings() {
    static const char* const kFn = "FlrNetBase";
    long minutes = 0;
    int keepAlive = kDefaultKeepAliveSecs;
    if (JXPlatformInfo::getNumber("ZRP", "nKeepAlive", minutes))
        keepAlive = static_cast<int>(std::clamp<long>(minutes, 0, INT_MAX / 60) * 60);
    if (keepAlive == 0)
        EvDebug::Debug(kFn, "Not sending keep-alives");
    else
        EvDebug::Debug(kFn, "Sending keep-alives every %ld seconds", static_cast<long>(keepAlive));
    {
        JxMonitorLock lock(sendMon_);
        keepAliveBase_ = keepAlive;
        keepAlive_ = keepAlive;
    }

    long timeout = 0;
    if (!JXPlatformInfo::getNumber("ZRP", "nNetTimeout", timeout) || timeout < 60)
        timeout = kDefaultNetTimeout;
    netTimeout_ = static_cast<int>(clampToInt(timeout));
    EvDebug::Debug(kFn, "Network timeout: %d secs", netTimeout_);
}

int FlrNetBase::getKeepAliveInterval() const {
    JxMonitorLock lock(sendMon_);
    return keepAlive_;
}

void FlrNetBase::setKeepAliveInterval(int seconds) {
    JxMonitorLock lock(sendMon_);
    keepAliveBase_ = std::max(seconds, 0);
    keepAlive_ = keepAliveBase_;
    sendMon_.broadcast();
}

int FlrNetBase::keepAliveWithExtraSockets(int keepAlive, int extraSockets) {
    if (keepAlive == 0 || extraSockets <= 0) return keepAlive;
    return std::max(keepAlive / extraSockets, 1);
}

void FlrNetBase::setSocket(int fd, bool server) {
    static const char* const kFn = "FlrNetBase::setSocket";
    EvDebug::Debug(kFn, "Using socket %d in %s mode", fd, server ? "server" : "client");
    stopRecvThread();
    stopSendThread();
    const SdtError e = link_.setSocket(fd, server);
    if (!e.ok()) JX_THROW(kFn, "Failed to setup and authenticate socket connection: " + e.text());
    if (fd == -1) return;
    applySocketSettings(server);
    try {
        allocateRecvBuffers();
    } catch (const std::bad_alloc&) {
        link_.stealSocket();
        JX_THROW(kFn, "Not enough memory for the receive buffers");
    }
    startThreads();
}

// Socket buffer sizes and extra sockets from the registry. A failure hands
// the descriptor back to the caller untouched by the link.
void FlrNetBase::applySocketSettings(bool server) {
    static const char* const kFn = "FlrNetBase::setSocket";
    auto fail = [this](const SdtError& e) {
        link_.stealSocket();
        JX_THROW(kFn, e.text());
    };
    long v = 0;
    if (JXPlatformInfo::getNumber("ZRP", "nSockSendBufSize", v)) {
        EvDebug::Debug(kFn, "Using %ld-byte socket send buffer size", v);
        const SdtError e = link_.setSendBufSize(static_cast<int>(clampToInt(v)));
        if (!e.ok()) fail(e);
    }
    if (JXPlatformInfo::getNumber("ZRP", "nSockRecvBufSize", v)) {
        EvDebug::Debug(kFn, "Using %ld-byte socket recv buffer size", v);
        const SdtError e = link_.setRecvBufSize(static_cast<int>(clampToInt(v)));
        if (!e.ok()) fail(e);
    }
    int keepAlive = 0;
    {
        JxMonitorLock lock(sendMon_);
        keepAlive = keepAliveBase_;
    }
    if (!server && JXPlatformInfo::getNumber("ZRP", "nExtraSockets", v)) {
        EvDebug::Debug(kFn, "Using %ld extra SDT socket connections", v);
        const SdtError e = link_.fatten(static_cast<int>(clampToInt(v)));
        if (!e.ok()) fail(e);
        // Each socket carries only a share of the frames, so each must hear
        // from us that much more often to stay open through idle firewalls.
        if (keepAlive != 0 && v > 0) {
            keepAlive = keepAliveWithExtraSockets(keepAlive, static_cast<int>(clampToInt(v)));
            EvDebug::Debug(kFn,
                           "Reducing keep-alive interval down to %d secs due to extra SDT "
                           "sockets",
                           keepAlive);
        }
    }
    JxMonitorLock lock(sendMon_);
    keepAlive_ = keepAlive;
}

void FlrNetBase::allocateRecvBuffers() {
    JxMonitorLock lock(recvMon_);
    for (RecvSlot& s : recvSlots_) {
        if (!s.buf) s.buf = std::make_unique<SdtBuffer>(kRecvBufferSize);
        s.held = s.buf->capacity();
    }
}

void FlrNetBase::startThreads() {
    {
        JxMonitorLock lock(recvMon_);
        recvHead_ = recvTail_ = 0;
        abortReason_.clear();
        link_.setRecvBuffer(recvSlots_[recvTail_].buf.get());
        recvDone_.set(0);
        recvRunning_ = true;
        recvStop_ = false;
    }
    {
        JxMonitorLock lock(sendMon_);
        sendHead_ = sendTail_ = 0;
        sendDone_.set(0);
        sendRunning_ = true;
        sendStop_ = false;
        lastSendError_ = SdtError();
        // Callers that waited for room on the old connection find it now.
        sendMon_.broadcast();
    }
    recvThread_.start("FlrNetRecv", [this] {
        runThread(kRecvThread, recvMon_, recvDone_, &FlrNetBase::recvLoop);
    });
    sendThread_.start("FlrNetSend", [this] {
        runThread(kSendThread, sendMon_, sendDone_, &FlrNetBase::sendLoop);
    });
}

void FlrNetBase::closeSocket() {
    // Stop and close even when the queue could not drain; the flush failure
    // is what the caller needs to hear about, so it wins over a close error.
    bool flushed = true;
    JxException flushError("", "", "", 0);
    try {
        int secs = 0;
        {
            JxMonitorLock lock(sendMon_);
            secs = closeFlushSecs_;
        }
        flushFor("FlrNetBase::closeSocket", secs, secs);
    } catch (const JxException& e) {
        flushed = false;
        flushError = e;
    }
    stopRecvThread();
    stopSendThread();
    const SdtError e = link_.closeSocket();
    if (!flushed) throw flushError;
    if (!e.ok())
        JX_THROW("FlrNetBase::closeSocket", "Failed to close socket connection: " + e.text());
}

void FlrNetBase::setAbortSocket(int fd) {
    link_.addAbortFd(fd);
}

void FlrNetBase::setCloseFlushTimeout(int seconds) {
    JxMonitorLock lock(sendMon_);
    closeFlushSecs_ = std::max(seconds, 0);
}

void FlrNetBase::abort(const std::string& why) {
    EvDebug::Debug("FlrNetBase::abort", "Ending the link: %s", why.c_str());
    {
        JxMonitorLock lock(sendMon_);
        if (lastSendError_.ok()) lastSendError_ = SdtError(SdtError::kAborted, why);
        sendMon_.broadcast();
    }
    {
        JxMonitorLock lock(recvMon_);
        if (abortReason_.empty()) abortReason_ = why.empty() ? "aborted" : why;
        recvMon_.broadcast();
    }
    // Blocked link calls return at once; the pipe stays readable until the
    // threads are stopped, so no later link call blocks either. Closing
    // tells the peer.
    wakeLink();
    const SdtError e = link_.closeSocket();
    if (!e.ok()) EvDebug::Error("FlrNetBase::abort", "%s", e.text().c_str());
}

bool FlrNetBase::isAborted() const {
    JxMonitorLock lock(recvMon_);
    return !abortReason_.empty();
}

bool FlrNetBase::recvEnded() const {
    JxMonitorLock lock(recvMon_);
    return recvEnded_;
}

SdtError FlrNetBase::setCompression(int level) {
    return link_.setCompression(level);
}

SdtError FlrNetBase::setEncryption(int mode) {
    return link_.setEncryption(mode);
}

SdtError FlrNetBase::enableCRC32(bool on) {
    return link_.enableCRC32(on);
}

// --- stopping ----------------------------------------------------------------------

void FlrNetBase::wakeLink() {
    const char x = 'x';
    // A full pipe already wakes everyone; nothing else can go wrong here.
    if (::write(pipe_[1], &x, 1) < 0 && errno != EAGAIN) {
        EvDebug::Error("FlrNetBase::wakeLink", "Couldn't write to signalling pipe: %s",
                       jxErrnoText(errno).c_str());
    }
}

void FlrNetBase::drainPipe() {
    char junk[64];
    while (::read(pipe_[0], junk, sizeof junk) > 0) {
    }
}

void FlrNetBase::stopRecvThread() {
    {
        JxMonitorLock lock(recvMon_);
        if (!recvRunning_) return;
        EvDebug::Debug("FlrNetBase::stopRecvThread", "Telling receive thread to stop");
        recvStop_ = true;
        recvMon_.broadcast();
        wakeLink();
        while (recvDone_.get() != 1) recvMon_.wait(-1);
    }
    recvThread_.join();
    {
        JxMonitorLock lock(recvMon_);
        recvRunning_ = false;
    }
    drainPipe();
}

void FlrNetBase::stopSendThread() {
    {
        JxMonitorLock lock(sendMon_);
        if (!sendRunning_) return;
        EvDebug::Debug("FlrNetBase::stopSendThread", "Telling send thread to stop");
        sendStop_ = true;
        sendMon_.broadcast();
        wakeLink();
        while (sendDone_.get() != 1) sendMon_.wait(-1);
    }
    sendThread_.join();
    {
        JxMonitorLock lock(sendMon_);
        sendRunning_ = false;
    }
    drainPipe();
}

// --- threads -------------------------------------------------------------------------

void FlrNetBase::runThread(const char* name, JxMonitor& mon, JxSafeFlags& done,
                           void (FlrNetBase::*body)()) {
    try {
        (this->*body)();
        EvDebug::Debug(name, "Stopping...");
    } catch (const JxException& e) {
        EvDebug::Error(name, "%s", e.getMessage().c_str());
    } catch (const std::exception& e) {
        EvDebug::Error(name, "%s", e.what());
    }
    JxMonitorLock lock(mon);
    done.set(1);
    mon.broadcast();
}

void FlrNetBase::recvLoop() {
    EvDebug::Debug(kRecvThread, "Starting...");
    JxMonitorLock lock(recvMon_);
    for (;;) {
        while (isFull(recvHead_, recvTail_) && !recvStop_) {
            EvDebug::DebugLvl(kRecvThread, 4, "Queue is full, waiting..");
            recvMon_.wait(-1);
        }
        while (recvOverBudget() && !recvStop_) {
            EvDebug::DebugLvl(kRecvThread, 4, "Queued frames hold the memory budget, waiting..");
            recvWaitsForMemory_ = true;
            recvMon_.wait(-1);
        }
        recvWaitsForMemory_ = false;
        if (recvStop_) return;
        releaseIdleRecvBuffers();
        // The tail slot is not visible to consumers until the tail moves, so
        // the link may fill it without the monitor.
        RecvSlot& slot = recvSlots_[recvTail_];
        SdtError err;
        {
            MonitorUnlock unlock(recvMon_);
            link_.setRecvBuffer(slot.buf.get());
            link_.setMaxRecvPayload(maxRecvPayload_.load());
            FlrPerfCounter* perf = FlrPerf::counter(FLR_PERF_SOCKRECV);
            if (perf) perf->start();
            err = link_.recvMsgPacket(&slot.pkt, -1);
            if (perf) perf->stop(err.ok() ? static_cast<uint64_t>(slot.pkt.frameSize) : 0);
            if (err.ok()) err = checkPayloadLimit(slot.pkt);
        }
        slot.held = slot.buf->capacity();
        if (err.ok()) {
            EvDebug::DebugLvl(kRecvThread, 4, "Received %s (queue len: %ld)",
                              flrNetMsgName(static_cast<int>(slot.pkt.msgType)),
                              static_cast<long>(queued(recvHead_, recvTail_) + 1));
            if (slot.pkt.msgType == FLR_NET_KEEP_ALIVE) continue;
        } else if (recvStop_) {
            // Our own stop interrupted the wait: nothing more will come, which
            // recvMessage reports once the queue is empty.
            return;
        }
        slot.err = err;
        recvTail_ = next(recvTail_);
        if (!err.ok()) recvEnded_ = true;
        recvMon_.broadcast();
        if (!err.ok()) return;
    }
}

void FlrNetBase::sendLoop() {
    EvDebug::Debug(kSendThread, "Starting...");
    JxMonitorLock lock(sendMon_);
    while (lastSendError_.ok()) {
        if (!waitWhileSendIdle()) return;
        // The head slot belongs to this thread until the head moves.
        const SendSlot& slot = sendSlots_[sendHead_];
        const long len = queued(sendHead_, sendTail_);
        SdtError err;
        const std::shared_ptr<FlrRateLimit> limit = rateLimit_;
        Clock::time_point paceUntil{};
        {
            MonitorUnlock unlock(sendMon_);
            EvDebug::DebugLvl(kSendThread, 4, "Sending %s (queue len: %ld)",
                              flrNetMsgName(slot.type), len);
            const long long wireBefore = link_.wireBytesSent();
            // A peer that stops reading holds this thread no longer than the
            // network time-out; stopping interrupts it at once.
            err = link_.sendMessage(slot.type, slot.buf, slot.len, netTimeout_, slot.flag != 0);
            if (limit && err.ok()) paceUntil = limit->reserve(link_.wireBytesSent() - wireBefore);
        }
        sendHead_ = next(sendHead_);
        // An abort's reason, set meanwhile, is the better one to report.
        if (lastSendError_.ok()) lastSendError_ = err;
        // Callers waiting for room are woken once half the queue is free, not
        // for every slot: they then queue a burst instead of trading a
        // wake-up per message with this thread.
        if (queued(sendHead_, sendTail_) <= kWakeMark || !err.ok() || sendStop_)
            sendMon_.broadcast();
        if (sendStop_) return;
        if (limit) waitForPace(paceUntil);
    }
}

void FlrNetBase::waitForPace(Clock::time_point until) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (sendStop_ || !lastSendError_.ok() || left.count() <= 0) return;
        sendMon_.wait(static_cast<long>(left.count()) + 1);
    }
}

void FlrNetBase::setRateLimit(std::shared_ptr<FlrRateLimit> limit) {
    JxMonitorLock lock(sendMon_);
    rateLimit_ = std::move(limit);
}

std::shared_ptr<FlrRateLimit> FlrNetBase::rateLimit() const {
    JxMonitorLock lock(sendMon_);
    return rateLimit_;
}

// Slots outside the queue are nobody's, except the one just before the head:
// the caller's last message points into it. The tail slot is free whenever
// the queue is not full.
void FlrNetBase::releaseIdleRecvBuffers() {
    const int callers = (recvHead_ + kQueueSlots - 1) % kQueueSlots;
    for (int i = recvTail_; i != callers; i = next(i)) {
        RecvSlot& s = recvSlots_[i];
        if (s.held <= kKeepRecvBufferSize) continue;
        s.pkt = SdtLinkPacket();
        s.buf = std::make_unique<SdtBuffer>(kRecvBufferSize);
        s.held = s.buf->capacity();
    }
}

// Caller holds recvMon_, about to take the head slot: the previous message
// is given up, and the receive thread is not filling its slot (were the
// queue full, it would wait; otherwise that slot is not the tail).
void FlrNetBase::releaseCallersRecvBuffer() {
    RecvSlot& s = recvSlots_[(recvHead_ + kQueueSlots - 1) % kQueueSlots];
    if (s.held <= kKeepRecvBufferSize || !s.buf) return;
    s.pkt = SdtLinkPacket();
    s.buf = std::make_unique<SdtBuffer>(kRecvBufferSize);
    s.held = s.buf->capacity();
}

// With something queued, reading ahead waits until the queued frames and the
// caller's message leave room for one more frame of the largest size.
bool FlrNetBase::recvOverBudget() const {
    if (recvHead_ == recvTail_) return false;
    size_t held = recvSlots_[(recvHead_ + kQueueSlots - 1) % kQueueSlots].held;
    for (int i = recvHead_; i != recvTail_; i = next(i)) held += recvSlots_[i].held;
    return held + kMaxDataPayload > kRecvMemoryBudget;
}

void FlrNetBase::setMaxRecvPayload(uint32_t bytes) {
    maxRecvPayload_ = std::min(bytes, kMaxDataPayload);
}

size_t FlrNetBase::recvBufferBytes() const {
    JxMonitorLock lock(recvMon_);
    size_t total = 0;
    for (const RecvSlot& s : recvSlots_) total += s.held;
    return total;
}

SdtError FlrNetBase::checkPayloadLimit(const SdtLinkPacket& pkt) const {
    const int type = static_cast<int>(pkt.msgType);
    const uint32_t limit = std::min(maxPayloadFor(type), maxRecvPayload_.load());
    if (pkt.payloadLen >= 0 && static_cast<uint32_t>(pkt.payloadLen) <= limit) return SdtError();
    return SdtError(SdtError::kProtocol,
                    jxFormat("%s message of %d bytes is over its limit of %u bytes",
                             flrNetMsgName(type), pkt.payloadLen, limit));
}

// Caller holds sendMon_. Returns false when asked to stop, true when a
// message waits at the head. A queue idle for a whole keep-alive interval
// gets a KEEP_ALIVE, so the peer and the firewalls between see life.
bool FlrNetBase::waitWhileSendIdle() {
    auto idleSince = Clock::now();
    while (sendHead_ == sendTail_) {
        if (sendStop_) return false;
        EvDebug::DebugLvl(kSendThread, 4, "Queue is empty, waiting...");
        if (keepAlive_ == 0) {
            sendMon_.wait(-1);
            continue;
        }
        const long long left = msUntil(idleSince + std::chrono::seconds(keepAlive_));
        if (left > 0) {
            sendMon_.wait(static_cast<long>(std::min<long long>(left, LONG_MAX)));
            continue;
        }
        FlrNetMessage ka(FLR_NET_KEEP_ALIVE);
        ka.keepAlive.value = 0;
        sendMessage(ka, -1, false);
        idleSince = Clock::now();
    }
    return !sendStop_;
}

// --- sending -------------------------------------------------------------------------

void FlrNetBase::throwIfSendFailed(const char* function) {
    if (!lastSendError_.ok())
        JX_THROW(function, "Couldn't send FLR message: " + lastSendError_.text());
}

void FlrNetBase::waitForSendRoom(const char* function, int timeout) {
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
    sendMon_.broadcast();
}

void FlrNetBase::sendMessage(int type, void*& buf, int len, int& bufSize, int timeout, bool flag) {
    static const char* const kFn = "FlrNetBase::sendMessage";
    if (len < 0 || len > bufSize || (bufSize > 0 && !buf))
        JX_THROW(kFn, "Invalid arguments: the buffer does not hold the message");
    JxMonitorLock lock(sendMon_);
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
    sendMon_.broadcast();
}

void FlrNetBase::flush(int seconds) {
    flushFor("FlrNetBase::flush", seconds, -1);
}

// Waits until the queue is empty: at most idleSeconds without progress and,
// when totalSeconds is not negative, at most that long in all.
void FlrNetBase::flushFor(const char* kFn, int idleSeconds, int totalSeconds) {
    const int seconds = idleSeconds;
    JxMonitorLock lock(sendMon_);
    if (!sendRunning_) return;
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
