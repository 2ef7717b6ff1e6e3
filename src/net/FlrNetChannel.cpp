#include "FlrNetChannel.h"

#include <algorithm>
#include <cstring>

#include "FLR/JxException.h"
#include "FlrNetBase.h"

namespace {

// The reader is woken for small held messages only once this many wait.
constexpr int kWakeMark = FlrNetChannel::kSlots / 2;

}  // namespace

bool FlrNetChannel::noRoomFor(const Queue& q, int len) const {
    if (full(q)) return true;
    // One message always fits into an empty queue, however large.
    return q.head != q.tail && q.queuedBytes + static_cast<size_t>(len) > kQueueBudget;
}

FlrNetChannel::Slot& FlrNetChannel::waitForRoom(std::unique_lock<std::mutex>& lock, Queue& q,
                                                int len, int timeoutSecs, const char* function) {
    auto gone = [&] {
        if (q.writerClosed) JX_THROW(function, "Couldn't send FLR message: the link was ended");
        if (q.readerClosed)
            JX_THROW(function, "Couldn't send FLR message: " +
                                   (q.readerWhy.empty() ? std::string("the peer closed the link")
                                                        : q.readerWhy));
    };
    gone();
    // A held batch may have filled the queue without waking the reader.
    if (noRoomFor(q, len) && q.readerWaiting) cv_.notify_all();
    const auto deadline = Clock::now() + std::chrono::seconds(std::max(timeoutSecs, 0));
    while (noRoomFor(q, len)) {
        q.writerWaiting = true;
        if (timeoutSecs < 0) {
            cv_.wait(lock);
        } else if (cv_.wait_until(lock, deadline) == std::cv_status::timeout && noRoomFor(q, len)) {
            q.writerWaiting = false;
            JX_THROW(function,
                     jxFormat("Timed out after %d secs waiting for room in the send queue",
                              timeoutSecs));
        }
        q.writerWaiting = false;
        gone();
    }
    // As on the socket engine, a zero time-out never succeeds: callers use
    // it to probe.
    if (timeoutSecs == 0)
        JX_THROW(function, "Timed out after 0 secs waiting for room in the send queue");
    return q.slots[q.tail];
}

void FlrNetChannel::send(int side, int type, const void* data, int len, int timeoutSecs,
                         const char* function) {
    if (len < 0 || (len > 0 && !data)) JX_THROW(function, "Invalid arguments: no message");
    Queue& q = queues_[side];
    std::unique_lock<std::mutex> lock(mtx_);
    Slot& slot = waitForRoom(lock, q, len, timeoutSecs, function);
    lock.unlock();
    // The slot at the tail is the writer's until it is published, so the
    // copy needs no lock.
    const auto n = static_cast<size_t>(len);
    if (slot.data.size() > kKeepSlotBytes && n <= kKeepSlotBytes)
        std::vector<char>().swap(slot.data);
    if (slot.data.size() < n) slot.data.resize(n);
    if (n > 0) std::memcpy(slot.data.data(), data, n);
    slot.type = type;
    slot.len = len;
    lock.lock();
    if (q.readerClosed) return;  // dropped, as bytes written to a closed socket are
    q.tail = next(q.tail);
    q.queuedBytes += n;
    q.bytes += len + kFrameOverhead;
    const bool wake = q.held == 0 || len >= FlrNetBase::kBatchWakeBytes || queued(q) >= kWakeMark;
    if (wake && q.readerWaiting) cv_.notify_all();
}

int FlrNetChannel::receive(int side, SdtLinkPacket* pkt, int timeoutSecs) {
    Queue& q = queues_[1 - side];
    std::unique_lock<std::mutex> lock(mtx_);
    const auto deadline = Clock::now() + std::chrono::seconds(std::max(timeoutSecs, 0));
    // Held messages are taken when the reader comes anyway: a hold only
    // spares wake-ups, it never delays a reader that is awake.
    while (q.head == q.tail) {
        if (q.writerClosed || q.readerClosed) return -1;
        q.readerWaiting = true;
        if (timeoutSecs < 0) {
            cv_.wait(lock);
        } else if (cv_.wait_until(lock, deadline) == std::cv_status::timeout && q.head == q.tail) {
            q.readerWaiting = false;
            if (q.writerClosed || q.readerClosed) return -1;
            return -2;
        }
        q.readerWaiting = false;
    }
    Slot& slot = q.slots[q.head];
    pkt->kind = SdtLinkPacket::kMessageFrame;
    pkt->msgType = static_cast<uint32_t>(slot.type);
    pkt->payloadLen = slot.len;
    pkt->payload = slot.data.data();
    pkt->frameSize = slot.len + kFrameOverhead;
    q.head = next(q.head);
    q.queuedBytes -= static_cast<size_t>(slot.len);
    // The writer refills once half the queue is free: a burst each time,
    // not a wake-up per message.
    if (q.writerWaiting && (queued(q) <= kWakeMark || q.queuedBytes < kQueueBudget / 2))
        cv_.notify_all();
    return 0;
}

void FlrNetChannel::hold(int side, int delta) {
    Queue& q = queues_[side];
    std::lock_guard<std::mutex> lock(mtx_);
    q.held = std::max(q.held + delta, 0);
    if (q.held == 0 && q.head != q.tail && q.readerWaiting) cv_.notify_all();
}

void FlrNetChannel::flush(int side) {
    const Queue& q = queues_[side];
    std::lock_guard<std::mutex> lock(mtx_);
    if (q.head != q.tail && q.readerWaiting) cv_.notify_all();
}

void FlrNetChannel::close(int side, const std::string& why) {
    std::lock_guard<std::mutex> lock(mtx_);
    Queue& mine = queues_[side];
    Queue& theirs = queues_[1 - side];
    mine.writerClosed = true;
    if (!theirs.readerClosed) {
        theirs.readerClosed = true;
        theirs.readerWhy = why;
    }
    cv_.notify_all();
}

bool FlrNetChannel::peerClosed(int side) const {
    std::lock_guard<std::mutex> lock(mtx_);
    return queues_[1 - side].writerClosed;
}

long long FlrNetChannel::bytesSent(int side) const {
    std::lock_guard<std::mutex> lock(mtx_);
    return queues_[side].bytes;
}

long long FlrNetChannel::bytesReceived(int side) const {
    std::lock_guard<std::mutex> lock(mtx_);
    return queues_[1 - side].bytes;
}
