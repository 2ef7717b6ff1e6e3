#pragma once
// An in-process link between a head engine and a tail engine of the same
// process (a local destination): two bounded queues of encoded messages and
// nothing else. Where a socket costs each message a frame, a MAC, a write, a
// read and two thread hand-offs, here the caller's thread copies the payload
// into the peer's queue and the peer's caller takes it from there.
//
// Side 0 is the head, side 1 the tail; each side writes one direction and
// reads the other. One thread at a time writes a direction (FlrNetBase
// serialises its senders) and one reads it. A slot taken by the reader stays
// valid until its next take, as the socket engine's receive slots do.
//
// Ends: close(side) tells the peer that nothing more comes (it reads what
// was queued, then "gone") and that its writes have no reader; the channel
// lives until both engines let go of it.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "link/SdtNetLink.h"

class FlrNetChannel {
  public:
    static constexpr int kSlots = 16;  // one always free: 15 messages queued at most
    // Slot buffers grown past this for one large message are given back.
    static constexpr size_t kKeepSlotBytes = 1u << 20;
    // Queued payloads above this make the writer wait (a reader that falls
    // behind on large messages holds no more than this).
    static constexpr size_t kQueueBudget = 128u << 20;
    // Counted per message besides its payload, as the socket link's frame
    // header is, so byte figures compare across both kinds of link.
    static constexpr long long kFrameOverhead = 28;

    FlrNetChannel() = default;
    FlrNetChannel(const FlrNetChannel&) = delete;
    FlrNetChannel& operator=(const FlrNetChannel&) = delete;

    // Queues a copy of data for the other side, waiting at most timeoutSecs
    // for room (negative: without limit; 0 never waits and fails). Throws
    // JxException from function when the peer has closed, this side has
    // closed, or the time-out passed. While this side holds a batch, small
    // messages do not wake the reader until the batch ends or half the queue
    // is taken.
    void send(int side, int type, const void* data, int len, int timeoutSecs, const char* function);
    // 0 = a message in pkt (valid until the next receive of this side),
    // -1 = the peer closed and everything it sent was taken, -2 = time-out.
    int receive(int side, SdtLinkPacket* pkt, int timeoutSecs);
    // Holds (+1) or releases (-1) the reader's wake-up for this side's
    // messages; releasing the last hold wakes it when anything is queued.
    void hold(int side, int delta);
    // Wakes a waiting reader for what this side queued under a hold.
    void flush(int side);
    // This side sends nothing more and reads nothing more; why (when not
    // empty) is what the peer's writes report. Idempotent.
    void close(int side, const std::string& why = {});
    // The peer closed: nothing more will arrive for this side.
    bool peerClosed(int side) const;

    long long bytesSent(int side) const;
    long long bytesReceived(int side) const;

  private:
    struct Slot {
        int type = 0;
        int len = 0;
        std::vector<char> data;
    };
    // One direction: written by one side, read by the other.
    struct Queue {
        Slot slots[kSlots];
        int head = 0;
        int tail = 0;
        size_t queuedBytes = 0;
        int held = 0;                // the writer's batch holds
        bool writerClosed = false;   // nothing more comes
        bool readerClosed = false;   // nobody reads what would come
        std::string readerWhy;       // why the reader left (for the writer's error)
        bool readerWaiting = false;  // the reader sleeps on an empty queue
        bool writerWaiting = false;  // the writer sleeps on a full queue
        long long bytes = 0;         // payload plus overhead of every message queued
    };
    using Clock = std::chrono::steady_clock;

    static int next(int i) { return (i + 1) % kSlots; }
    static int queued(const Queue& q) { return (q.tail - q.head + kSlots) % kSlots; }
    static bool full(const Queue& q) { return queued(q) == kSlots - 1; }
    bool noRoomFor(const Queue& q, int len) const;
    // The slot at q.tail, once there is room; under mtx_.
    Slot& waitForRoom(std::unique_lock<std::mutex>& lock, Queue& q, int len, int timeoutSecs,
                      const char* function);

    // mtx_ guards both queues' positions, flags and counters; a slot's bytes
    // belong to the writer between q.tail and publication, and to the reader
    // from its take until its next take.
    mutable std::mutex mtx_;
    std::condition_variable cv_;
    Queue queues_[2];  // queues_[s]: written by side s
};
