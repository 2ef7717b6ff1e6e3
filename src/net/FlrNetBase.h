#pragma once
// The network engine: one link turned into two bounded queues served by two
// threads. Callers enqueue messages and never touch the socket; the send
// thread drains the send queue into the link and sends keep-alives on an idle
// link; the receive thread fills the receive queue; callers dequeue with a
// time-out. FlrNetHead and FlrNetTail derive from it.
//
// Time-outs are in seconds, negative meaning without limit. Failures throw
// JxException (code -1) from "FlrNetBase::<operation>". The first link error
// poisons the direction it happened in: a send error makes every later
// enqueue throw, a receive error is queued behind the messages received
// before it and answered by every later recvMessage.
//
// A peer may be hostile even after it authenticated (a stolen secret, a
// broken head): every received payload is held to its type's limit
// (maxPayloadFor), buffers grown for a large frame are released once the
// frame is consumed, and the receive thread stops reading ahead when the
// queued frames hold kRecvMemoryBudget bytes. Receive buffers are only
// allocated once a socket is attached, so an engine waiting for a handshake
// costs a pipe and little else. Sends time out after the network time-out,
// closing flushes for at most setCloseFlushTimeout seconds, and abort() ends
// the link at once from any thread.
//
// Registry, section "ZRP": nKeepAlive (minutes, 0 = none, default 5),
// nNetTimeout (seconds, below 60 gives 7,200), nSockSendBufSize and
// nSockRecvBufSize (bytes), nExtraSockets (head only: extra TCP connections,
// the keep-alive interval is divided by their number).
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FLR/JxSafeFlags.h"
#include "FlrNetMessage.h"
#include "link/SdtNetLink.h"
#include "platform/JxMonitor.h"
#include "platform/JxThread.h"

class FlrNetChannel;
class FlrRateLimit;

class FlrNetBase {
  public:
    // Each queue has this many slots; one always stays free, so at most 15
    // messages wait in either direction.
    static constexpr int kQueueSlots = 16;
    static constexpr int kRecvBufferSize = 65536;
    // Pieces of a file sent by sendMirSpecFile.
    static constexpr int kFilePieceSize = 262144;
    static constexpr int kDefaultKeepAliveSecs = 300;
    static constexpr int kDefaultNetTimeout = 7200;
    static constexpr int kDefaultCloseFlushSecs = 30;
    // Payload ceilings by message type (see maxPayloadFor).
    static constexpr uint32_t kMaxControlPayload = 64;
    static constexpr uint32_t kMaxPathPayload = 65536;
    static constexpr uint32_t kMaxDataPayload = 64u << 20;
    // MIR_ATTRS: 1 MiB of names and values and 5 bytes per item besides (an
    // entry lists at most 64 KiB of names, so far fewer than 600,000 items).
    static constexpr uint32_t kMaxAttrsPayload = 4u << 20;
    // A batch of tree records: senders close one at 256 KiB, so a last
    // record of two longest paths and a reason still fits.
    static constexpr uint32_t kMaxVerifyBatch = 512u << 10;
    // Receive buffers above this size are released once their frame is
    // consumed; smaller ones are kept, so steady streams allocate nothing.
    static constexpr size_t kKeepRecvBufferSize = 1u << 20;
    // The receive thread reads ahead only while the queued frames and the one
    // the caller holds leave room for another largest frame in this many bytes.
    static constexpr size_t kRecvMemoryBudget = 128u << 20;

    FlrNetBase();
    virtual ~FlrNetBase();
    FlrNetBase(const FlrNetBase&) = delete;
    FlrNetBase& operator=(const FlrNetBase&) = delete;

    // Attaches a connected socket (authenticating it as tail when server is
    // true, as head otherwise) and starts both threads; fd -1 only detaches.
    // On failure the descriptor is still the caller's.
    void setSocket(int fd, bool server);
    // Attaches one side (0 head, 1 tail) of an in-process channel instead of
    // a socket: no threads, no frames; each send copies the message into
    // the peer's queue. Replaces any socket attached before.
    void attachChannel(std::shared_ptr<FlrNetChannel> channel, int side);
    bool inProcess() const { return channel_ != nullptr; }
    // Flushes (at most the close-flush time-out), stops both threads and
    // closes the link.
    void closeSocket();
    // Waits until the send queue is empty; throws when it makes no progress
    // for `seconds`, or when the send thread ended with messages still queued.
    void flush(int seconds);
    // How long closeSocket and the destructor wait in total for queued
    // messages to leave (default kDefaultCloseFlushSecs); a peer that stops
    // reading cannot hold a shutdown longer than this.
    void setCloseFlushTimeout(int seconds);
    // Ends the link now, from any thread: waiting and later enqueues throw,
    // later receives throw with `why`, both threads wind down, queued
    // messages are dropped. Used after a request whose reply did not come in
    // time (a late reply must not answer the next request) and by services
    // that shut down.
    void abort(const std::string& why);
    bool isAborted() const;
    // True once the receive thread met the end of the link (the peer closed
    // it, or it failed): nothing more will come. Work done for the peer
    // without reading from it (a long answer) checks this to stop when the
    // peer has gone.
    bool recvEnded() const;
    // The peer has closed its end (the socket hung up, or the in-process
    // peer let go), whatever is still queued; asks the link, not the queue.
    bool peerHungUp() const;
    // fd's readability interrupts blocked link operations.
    void setAbortSocket(int fd);

    // Held by a producer while it queues messages that belong together (an
    // entry's header, attributes, data and end): the send thread is woken
    // once for the group, not once a message, and writes it with one call.
    // A message of kBatchWakeBytes or more, a queue at its wake mark, a full
    // queue, a flush and the end of the hold wake it at once, so bulk data
    // streams as before and nothing waits past the hold. Holds nest.
    class SendBatch {
      public:
        explicit SendBatch(FlrNetBase& net);
        ~SendBatch();
        SendBatch(const SendBatch&) = delete;
        SendBatch& operator=(const SendBatch&) = delete;

      private:
        FlrNetBase& net_;
    };
    static constexpr int kBatchWakeBytes = 65536;

    // Copying enqueue: encodes msg into the free slot's own buffer.
    void sendMessage(const FlrNetMessage& msg, int timeout, bool flag);
    // Swapping enqueue of a raw payload: buf (malloc'd, capacity bufSize,
    // len bytes filled) becomes the slot's buffer and the caller gets a
    // buffer of at least its capacity back in buf/bufSize.
    void sendMessage(int type, void*& buf, int len, int& bufSize, int timeout, bool flag);
    // 0 = a message, -1 = the connection is gone (and every later call says
    // so once the messages queued before it are taken), -2 = time-out.
    int recvMessage(FlrNetMessage* msg, int timeout);

    void sendMirData(const void* data, int len);
    void sendMirData(void*& buf, int len, int& bufSize);
    void sendMirEOF();
    // MIR_SPEC_FILE(id), the file's content as MIR_DATA, MIR_EOF.
    void sendMirSpecFile(int id, const char* path);

    SdtError setCompression(int level);
    SdtError setEncryption(int mode);
    SdtError enableCRC32(bool on);

    // Writes msg's payload into buf (grown with realloc to a multiple of
    // 1,024 bytes when too small); *outLen gets its length.
    static void encodeMessage(const FlrNetMessage& msg, void*& buf, int& bufSize, int* outLen);
    // Fills msg from a received frame, converting arrays in place; throws
    // when the payload is shorter than the fields of its type.
    // Arrays the wire places at offsets their type may not sit at (the
    // 64-bit arrays of MIR_RSYNC) are copied to `aligned`, valid until its
    // next use; the two-argument form uses a store of the calling thread.
    static void decodeMessage(FlrNetMessage* msg, const SdtLinkPacket& pkt);
    static void decodeMessage(FlrNetMessage* msg, const SdtLinkPacket& pkt,
                              std::vector<long long>& aligned);
    // The largest payload a received message of this type may carry: a few
    // bytes for fixed-size control messages, one path's worth for messages
    // naming a file, kMaxDataPayload for data and array messages.
    static uint32_t maxPayloadFor(int type);
    // Lowers the largest payload accepted from the peer below
    // kMaxDataPayload; the link refuses a larger frame, also a compressed
    // one, before it allocates or decompresses anything for it.
    void setMaxRecvPayload(uint32_t bytes);
    // Bytes held by the receive buffers now (for services' statistics).
    size_t recvBufferBytes() const;
    int getNetTimeout() const { return netTimeout_; }
    int getKeepAliveInterval() const;
    // Overrides nKeepAlive in seconds (the registry key counts minutes);
    // 0 switches keep-alives off. Takes effect at the send thread's next wait.
    void setKeepAliveInterval(int seconds);
    // The keep-alive interval with n extra sockets: divided by n, at least 1.
    static int keepAliveWithExtraSockets(int keepAlive, int extraSockets);

    // Paces this link's sends by a rate it may share with other links (the
    // wire bytes of each message count); null: as fast as the link goes.
    // dup() of a head passes it on.
    void setRateLimit(std::shared_ptr<FlrRateLimit> limit);
    std::shared_ptr<FlrRateLimit> rateLimit() const;

    SdtNetLink& getLink() { return link_; }
    // This process's own version on an in-process channel.
    uint32_t getPeerVersion() const;
    // Frame bytes sent and received so far (on a channel: payloads plus a
    // frame header's worth each, as they would have been on a link).
    long long wireBytesSent() const;
    long long wireBytesReceived() const;

  protected:
    // Messages wait for room in the send queue with this time-out.
    int netTimeout_ = kDefaultNetTimeout;

  private:
    struct RecvSlot {
        SdtLinkPacket pkt;
        SdtError err;
        std::unique_ptr<SdtBuffer> buf;
        size_t held = 0;  // buf's capacity, guarded by recvMon_
    };
    struct SendSlot {
        int type = 0;
        int flag = 0;
        int len = 0;
        int capacity = 0;
        void* buf = nullptr;
    };
    using Clock = std::chrono::steady_clock;

    static int next(int i) { return (i + 1) % kQueueSlots; }
    static bool isFull(int head, int tail) {
        return (tail - head + kQueueSlots) % kQueueSlots == kQueueSlots - 1;
    }
    static int queued(int head, int tail) { return (tail - head + kQueueSlots) % kQueueSlots; }
    // Threads waiting for room in a queue are woken when it holds this few.
    static constexpr int kWakeMark = kQueueSlots / 2;
    // Milliseconds left until deadline, rounded up: 0 once it has passed.
    static long long msUntil(Clock::time_point deadline);

    void readSettings();
    void applySocketSettings(bool server);
    void startThreads();
    void stopRecvThread();
    void stopSendThread();
    void wakeLink();
    void drainPipe();

    void allocateRecvBuffers();
    // Caller holds recvMon_.
    void releaseIdleRecvBuffers();
    void releaseCallersRecvBuffer();
    bool recvOverBudget() const;
    SdtError checkPayloadLimit(const SdtLinkPacket& pkt) const;
    void flushFor(const char* function, int idleSeconds, int totalSeconds);
    void recvLoop();
    void sendLoop();
    bool waitWhileSendIdle();
    // Caller holds sendMon_: waits (releasing it) until `until` or a stop.
    void waitForPace(Clock::time_point until);
    void runThread(const char* name, JxMonitor& mon, JxSafeFlags& done, void (FlrNetBase::*body)());

    // Caller holds sendMon_. Waits for a free send slot; throws on time-out
    // or a recorded send error.
    void waitForSendRoom(const char* function, int timeout);
    void throwIfSendFailed(const char* function);
    // Caller holds sendMon_, having queued a message of len bytes.
    void wakeSender(int len);

    // The send and receive calls of an in-process channel.
    void sendOnChannel(int type, const void* data, int len, int timeout, const char* function);
    int recvFromChannel(FlrNetMessage* msg, int timeout);

    SdtNetLink link_;
    int pipe_[2] = {-1, -1};
    // Set once before use (attachChannel), like the socket; the channel
    // has its own lock.
    std::shared_ptr<FlrNetChannel> channel_;
    int channelSide_ = 0;
    // Guarded by sendMon_: the configured interval and the one in force
    // (smaller with extra sockets).
    int keepAliveBase_ = kDefaultKeepAliveSecs;
    int keepAlive_ = kDefaultKeepAliveSecs;

    mutable JxMonitorH recvMon_;
    RecvSlot recvSlots_[kQueueSlots];
    int recvHead_ = 0;
    int recvTail_ = 0;
    bool recvRunning_ = false;
    bool recvStop_ = false;
    bool recvWaitsForMemory_ = false;
    bool recvHeldBack_ = false;  // queued frames the caller was not woken for
    bool recvEnded_ = false;
    std::string abortReason_;
    std::vector<long long> alignedArrays_;
    JxSafeFlags recvDone_{1};
    JxThread recvThread_;

    mutable JxMonitorH sendMon_;
    SendSlot sendSlots_[kQueueSlots];
    int sendHead_ = 0;
    int sendTail_ = 0;
    bool sendRunning_ = false;
    bool sendStop_ = false;
    int sendHeld_ = 0;  // SendBatch holds
    // The send thread's view of the queued messages it writes in one call.
    std::vector<SdtOutMessage> sendBatch_;
    JxSafeFlags sendDone_{1};
    JxThread sendThread_;
    SdtError lastSendError_;
    std::shared_ptr<FlrRateLimit> rateLimit_;  // guarded by sendMon_
    int closeFlushSecs_ = kDefaultCloseFlushSecs;
    std::atomic<uint32_t> maxRecvPayload_{kMaxDataPayload};
};
