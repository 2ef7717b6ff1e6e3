// The network engine's two threads: the receive thread fills the receive
// queue from the link within a memory budget, the send thread empties the
// send queue into it at the rate limit's pace and keeps an idle link alive.
// Starting and stopping them is here too.
#include "FlrNetBase.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "FLR/JxException.h"
#include "FlrRateLimit.h"
#include "buffer/FlrPerf.h"
#include "platform/EvDebug.h"

namespace {

const char* const kRecvThread = "FlrNetBase::recvThread";
const char* const kSendThread = "FlrNetBase::sendThread";

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

}  // namespace

// --- starting ----------------------------------------------------------------------

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
        // Frames held back for a batch go to the caller before any wait.
        if (recvHeldBack_ && (isFull(recvHead_, recvTail_) || recvOverBudget())) {
            recvHeldBack_ = false;
            recvMon_.broadcast();
        }
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
        bool more = false;
        {
            MonitorUnlock unlock(recvMon_);
            link_.setRecvBuffer(slot.buf.get());
            link_.setMaxRecvPayload(maxRecvPayload_.load());
            FlrPerfCounter* perf = FlrPerf::counter(FLR_PERF_SOCKRECV);
            if (perf) perf->start();
            err = link_.recvMsgPacket(&slot.pkt, -1);
            if (perf) perf->stop(err.ok() ? static_cast<uint64_t>(slot.pkt.frameSize) : 0);
            if (err.ok()) err = checkPayloadLimit(slot.pkt);
            more = err.ok() && link_.frameWaiting();
        }
        slot.held = slot.buf->capacity();
        if (err.ok()) {
            EvDebug::DebugLvl(kRecvThread, 4, "Received %s (queue len: %ld)",
                              flrNetMsgName(static_cast<int>(slot.pkt.msgType)),
                              static_cast<long>(queued(recvHead_, recvTail_) + 1));
            if (slot.pkt.msgType == FLR_NET_KEEP_ALIVE) {
                if (recvHeldBack_ && !more) {
                    recvHeldBack_ = false;
                    recvMon_.broadcast();
                }
                continue;
            }
        } else if (recvStop_) {
            // Our own stop interrupted the wait: nothing more will come, which
            // recvMessage reports once the queue is empty.
            return;
        }
        slot.err = err;
        recvTail_ = next(recvTail_);
        if (!err.ok()) recvEnded_ = true;
        // While whole frames wait in the link's read-ahead, the caller gets
        // them as one batch (one wake-up) once they are read or half the
        // queue is full; a frame still arriving never holds back the ones
        // before it.
        recvHeldBack_ = more && queued(recvHead_, recvTail_) < kWakeMark;
        if (!recvHeldBack_) recvMon_.broadcast();
        if (!err.ok()) return;
    }
}

void FlrNetBase::sendLoop() {
    EvDebug::Debug(kSendThread, "Starting...");
    JxMonitorLock lock(sendMon_);
    sendBatch_.reserve(kQueueSlots);
    while (lastSendError_.ok()) {
        if (!waitWhileSendIdle()) return;
        // The slots from the head to the tail belong to this thread until the
        // head moves past them: all of them go in one call, which gathers the
        // small ones into one write. A paced link sends one at a time, so the
        // pace stays as even as its messages allow.
        const std::shared_ptr<FlrRateLimit> limit = rateLimit_;
        const int n = limit ? 1 : queued(sendHead_, sendTail_);
        sendBatch_.clear();
        for (int i = 0, s = sendHead_; i < n; ++i, s = next(s))
            sendBatch_.push_back({sendSlots_[s].type, sendSlots_[s].buf, sendSlots_[s].len});
        SdtError err;
        Clock::time_point paceUntil{};
        {
            MonitorUnlock unlock(sendMon_);
            for (const SdtOutMessage& m : sendBatch_)
                EvDebug::DebugLvl(kSendThread, 4, "Sending %s (batch of %d)", flrNetMsgName(m.type),
                                  n);
            const long long wireBefore = link_.wireBytesSent();
            // A peer that stops reading holds this thread no longer than the
            // network time-out; stopping interrupts it at once.
            err = link_.sendMessages(sendBatch_.data(), n, netTimeout_);
            if (limit && err.ok()) paceUntil = limit->reserve(link_.wireBytesSent() - wireBefore);
        }
        sendHead_ = (sendHead_ + n) % kQueueSlots;
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
