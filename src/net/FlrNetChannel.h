#pragma once
// An in-process link between a head engine and a tail engine of the same
// process (a local destination): two bounded queues of encoded messages and
// nothing else. Where a socket costs each message a frame, a MAC, a write, a
// read and two thread hand-offs, here the caller's thread copies the payload
// into the peer's queue and the peer's caller takes it from there.
//
// Side 0 is the head, side 1 the tail; each side writes one direction and
// reads the other. One thread at a time writes a direction (FlrNetBase
// serialises its senders) and one reads it. A message taken by the reader
// stays valid until its next take, as the socket engine's receive slots do.
//
// A direction holds as much as a socket pair with its two queues would: up
// to kMessages messages within kQueueBudget bytes, and besides any number
// of small ones within kSlackBytes, the kernel buffers' share. Callers rely
// on that slack: a planner pipelines checksum requests and reads the
// answers later, so answers must not wait for it to read.
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
    static constexpr size_t kMessages = 15;
    static constexpr size_t kQueueBudget = 128u << 20;
    static constexpr size_t kSlackBytes = 1u << 20;
    // Buffers kept for reuse: so many, of at most this size each.
    static constexpr size_t kSpareBuffers = 16;
    static constexpr size_t kKeepBufferBytes = 256u << 10;
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
    struct Message {
        int type = 0;
        int len = 0;
        std::vector<char> data;
    };
    // One direction: written by one side, read by the other.
    struct Queue {
        std::vector<Message> ring = std::vector<Message>(kMessages + 1);  // grows, never shrinks
        size_t head = 0;
        size_t count = 0;
        size_t queuedBytes = 0;
        Message taken;  // the reader's last message
        std::vector<std::vector<char>> spare;
        int held = 0;                // the writer's batch holds
        bool writerClosed = false;   // nothing more comes
        bool readerClosed = false;   // nobody reads what would come
        std::string readerWhy;       // why the reader left (for the writer's error)
        bool readerWaiting = false;  // the reader sleeps on an empty queue
        bool writerWaiting = false;  // the writer sleeps on a full queue
        long long bytes = 0;         // payload plus overhead of every message queued
    };
    using Clock = std::chrono::steady_clock;

    static bool hasRoom(const Queue& q, size_t len);
    // Under mtx_: waits until len more bytes fit; throws as send() says.
    void waitForRoom(std::unique_lock<std::mutex>& lock, Queue& q, size_t len, int timeoutSecs,
                     const char* function);
    static void push(Queue& q, Message&& m);

    // mtx_ guards both queues; a buffer being filled belongs to the writer
    // until it is pushed, the taken message to the reader until its next take.
    mutable std::mutex mtx_;
    std::condition_variable cv_;
    Queue queues_[2];  // queues_[s]: written by side s
};
