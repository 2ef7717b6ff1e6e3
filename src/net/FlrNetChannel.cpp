#include "FlrNetChannel.h"

#include <algorithm>
#include <cstring>

#include "FLR/JxException.h"
#include "FlrNetBase.h"

namespace {

// The reader is woken for small held messages once this many wait, and a
// waiting writer once the queue is down to this many (and half the slack):
// a burst each time, not a wake-up per message.
constexpr size_t kWakeMark = 8;

}  // namespace

bool FlrNetChannel::hasRoom(const Queue& q, size_t len) {
    const size_t after = q.queuedBytes + len;
    if (q.count == 0 || after <= kSlackBytes) return true;
    return q.count < kMessages && after <= kQueueBudget;
}

void FlrNetChannel::waitForRoom(std::unique_lock<std::mutex>& lock, Queue& q, size_t len,
                                int timeoutSecs, const char* function) {
    auto gone = [&] {
        if (q.writerClosed) JX_THROW(function, "Couldn't send FLR message: the link was ended");
        if (q.readerClosed)
            JX_THROW(function, "Couldn't send FLR message: " +
                                   (q.readerWhy.empty() ? std::string("the peer closed the link")
                                                        : q.readerWhy));
    };
    gone();
    // A held batch may have filled the queue without waking the reader.
    if (!hasRoom(q, len) && q.readerWaiting) cv_.notify_all();
    const auto deadline = Clock::now() + std::chrono::seconds(std::max(timeoutSecs, 0));
    while (!hasRoom(q, len)) {
        q.writerWaiting = true;
        if (timeoutSecs < 0) {
            cv_.wait(lock);
        } else if (cv_.wait_until(lock, deadline) == std::cv_status::timeout && !hasRoom(q, len)) {
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
}

// The ring doubles when full; the messages keep their order.
void FlrNetChannel::push(Queue& q, Message&& m) {
    if (q.count == q.ring.size()) {
        std::vector<Message> bigger(q.ring.size() * 2);
        for (size_t i = 0; i < q.count; ++i)
            bigger[i] = std::move(q.ring[(q.head + i) % q.ring.size()]);
        q.ring.swap(bigger);
        q.head = 0;
    }
    q.ring[(q.head + q.count) % q.ring.size()] = std::move(m);
    ++q.count;
}

void FlrNetChannel::send(int side, int type, const void* data, int len, int timeoutSecs,
                         const char* function) {
    if (len < 0 || (len > 0 && !data)) JX_THROW(function, "Invalid arguments: no message");
    Queue& q = queues_[side];
    const auto n = static_cast<size_t>(len);
    Message m;
    m.type = type;
    m.len = len;
    std::unique_lock<std::mutex> lock(mtx_);
    waitForRoom(lock, q, n, timeoutSecs, function);
    if (!q.spare.empty()) {
        m.data = std::move(q.spare.back());
        q.spare.pop_back();
    }
    lock.unlock();
    // The one writer of this direction may copy without the lock: the room
    // it waited for can only grow meanwhile.
    if (m.data.size() < n) m.data.resize(n);
    if (n > 0) std::memcpy(m.data.data(), data, n);
    lock.lock();
    if (q.readerClosed) return;  // dropped, as bytes written to a closed socket are
    push(q, std::move(m));
    q.queuedBytes += n;
    q.bytes += len + kFrameOverhead;
    const bool wake = q.held == 0 || len >= FlrNetBase::kBatchWakeBytes || q.count >= kWakeMark;
    if (wake && q.readerWaiting) cv_.notify_all();
}

int FlrNetChannel::receive(int side, SdtLinkPacket* pkt, int timeoutSecs) {
    Queue& q = queues_[1 - side];
    std::unique_lock<std::mutex> lock(mtx_);
    const auto deadline = Clock::now() + std::chrono::seconds(std::max(timeoutSecs, 0));
    // Held messages are taken when the reader comes anyway: a hold only
    // spares wake-ups, it never delays a reader that is awake.
    while (q.count == 0) {
        if (q.writerClosed || q.readerClosed) return -1;
        q.readerWaiting = true;
        if (timeoutSecs < 0) {
            cv_.wait(lock);
        } else if (cv_.wait_until(lock, deadline) == std::cv_status::timeout && q.count == 0) {
            q.readerWaiting = false;
            if (q.writerClosed || q.readerClosed) return -1;
            return -2;
        }
        q.readerWaiting = false;
    }
    // The previous message is given up: its buffer goes to the writer.
    std::vector<char>& done = q.taken.data;
    if (done.capacity() <= kKeepBufferBytes && q.spare.size() < kSpareBuffers)
        q.spare.push_back(std::move(done));
    q.taken = std::move(q.ring[q.head]);
    q.head = (q.head + 1) % q.ring.size();
    --q.count;
    q.queuedBytes -= static_cast<size_t>(q.taken.len);
    if (q.writerWaiting &&
        (q.count == 0 || (q.count <= kWakeMark && q.queuedBytes <= kSlackBytes / 2)))
        cv_.notify_all();
    pkt->kind = SdtLinkPacket::kMessageFrame;
    pkt->msgType = static_cast<uint32_t>(q.taken.type);
    pkt->payloadLen = q.taken.len;
    pkt->payload = q.taken.data.data();
    pkt->frameSize = q.taken.len + kFrameOverhead;
    return 0;
}

void FlrNetChannel::hold(int side, int delta) {
    Queue& q = queues_[side];
    std::lock_guard<std::mutex> lock(mtx_);
    q.held = std::max(q.held + delta, 0);
    if (q.held == 0 && q.count > 0 && q.readerWaiting) cv_.notify_all();
}

void FlrNetChannel::flush(int side) {
    const Queue& q = queues_[side];
    std::lock_guard<std::mutex> lock(mtx_);
    if (q.count > 0 && q.readerWaiting) cv_.notify_all();
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
