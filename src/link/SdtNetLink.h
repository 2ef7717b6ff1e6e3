#pragma once
// The framed, authenticated link over TCP that carries every message between
// head and tail (wire format: docs/protocol.md).
//
//   SdtError       result of every link operation
//   SdtBuffer      one receive buffer; a payload lands there contiguously
//   SdtLinkPacket  one received frame: kind, type, payload pointer and length
//   SdtNetLink     the link: handshake, frames, compression, encryption, CRC,
//                  abort descriptors, extra sockets
//
// Typical use (the network engine):
//   SdtNetLink link; link.setRecvBuffer(&buf); link.addAbortFd(pipeRead);
//   link.setSocket(fd, server);  link.setSendBufSize(..); link.fatten(n);
//   then sendMessage() on one thread and recvMsgPacket() on another.
//
// The link secret comes from the registry, section "ZRP": "sLinkSecretFile"
// names a file holding it (must not be group/world readable; it wins when both
// keys are set), else "sLinkSecret" holds it; setSecret() overrides both.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class SdtError {
  public:
    static constexpr int kOk = 0;
    static constexpr int kFailure = 1;      // local failure (system call, resources)
    static constexpr int kAuthFailed = 2;   // handshake refused: secret missing or wrong
    static constexpr int kProtocol = 3;     // malformed, corrupted or out-of-order frame
    static constexpr int kInvalidArgs = 4;  // bad argument or call out of order
    static constexpr int kTimeout = 90;     // receive/send time-out; the link stays usable
    static constexpr int kPeerClosed = 91;  // orderly close by the peer at a frame boundary
    static constexpr int kConnReset = 92;   // reset, broken pipe, or EOF inside a frame
    static constexpr int kAborted = 93;     // an abort descriptor became readable

    SdtError() = default;
    SdtError(int code, std::string text) : code_(code), text_(std::move(text)) {}

    int code() const { return code_; }
    const std::string& text() const { return text_; }
    bool ok() const { return code_ == kOk; }
    bool isTimeout() const { return code_ == kTimeout; }
    // The connection is gone (91 or 92).
    bool isGone() const { return code_ == kPeerClosed || code_ == kConnReset; }

  private:
    int code_ = kOk;
    std::string text_;
};

// A receive buffer. Starts with `size` bytes and grows (never shrinks) when a
// frame's payload is larger, so steady state allocates nothing per frame.
class SdtBuffer {
  public:
    explicit SdtBuffer(int size = 65536);
    ~SdtBuffer();
    SdtBuffer(const SdtBuffer&) = delete;
    SdtBuffer& operator=(const SdtBuffer&) = delete;

    char* data() { return data_; }
    const char* data() const { return data_; }
    size_t capacity() const { return capacity_; }
    // Grows to at least n bytes (rounded up to 64 KiB); contents are not kept.
    // Throws std::bad_alloc when memory is short.
    void reserve(size_t n);

  private:
    char* data_ = nullptr;
    size_t capacity_ = 0;
};

// One message of a batch handed to SdtNetLink::sendMessages.
struct SdtOutMessage {
    int type = 0;
    const void* data = nullptr;
    int len = 0;
};

struct SdtLinkPacket {
    static constexpr int kMessageFrame = 1;

    int kind = 0;             // 1 = message frame (the only kind delivered)
    uint32_t msgType = 0;     // the sender's 32-bit message type
    int payloadLen = 0;       // bytes at payload
    char* payload = nullptr;  // into the SdtBuffer given to setRecvBuffer
    long long frameSize = 0;  // bytes the frame took on the wire (byte counters)
};

class SdtNetLink {
  public:
    // 5: a ping's answer carries the entries the tail could not apply.
    // 6: a ping asks for the entries removed; 7: for privileged entries
    // stripped or withheld.
    // 8: a tail lists its replica for a remote verify (VERIFY_REQ).
    // 9: entries may carry MIR_ATTRS (nanosecond times, extended attributes).
    static constexpr uint32_t kProtocolVersion = 12;
    // 10: hard links (MIR_HEADER method 4), seeks over holes in deltas.
    // 11: tree records of a remote verify carry nanoseconds and attribute
    // digests; attribute records of links are applied to the link.
    // 12: each connection of a replication run names its run (SET_RUN_ID).
    // The version this process's hellos announce: kProtocolVersion, or what
    // tests set to play an older peer (0 restores the default).
    static uint32_t advertisedVersion();
    static void setAdvertisedVersionForTests(uint32_t version);
    static constexpr size_t kDefaultMaxPayload = 64u << 20;
    static constexpr int kMaxExtraSockets = 64;
    static constexpr int kDefaultSendStallMs = 120000;

    SdtNetLink();
    ~SdtNetLink();
    SdtNetLink(const SdtNetLink&) = delete;
    SdtNetLink& operator=(const SdtNetLink&) = delete;

    // --- connection --------------------------------------------------------
    // Takes a connected TCP socket and runs the handshake as tail (server) or
    // head (client). The link owns fd on success; on failure fd stays open and
    // is the caller's (stealSocket() is then a no-op returning -1). fd -1
    // detaches (closes the current connection). Handshake reads time out after
    // setHandshakeTimeout() milliseconds (default 30,000).
    SdtError setSocket(int fd, bool server);
    // Detaches the primary socket without closing it (blocking mode restored);
    // extra sockets are closed. Returns -1 when there is none.
    int stealSocket();
    // Closes every socket of the link. Safe while another thread is blocked in
    // recvMsgPacket/sendMessage: those return 91/92 or an error.
    SdtError closeSocket();
    bool isConnected() const;
    // True when the peer has closed or reset the primary connection (or there
    // is none), also while frames it sent before are still unread. Lets a
    // service that waits on other connections notice its peer is gone.
    bool peerHungUp() const;
    // The peer's protocol version from its hello; 0 before a handshake.
    uint32_t getPeerVersion() const { return peerVersion_.load(std::memory_order_relaxed); }
    // Frame bytes sent and received so far, as they went over the sockets
    // (after compression, with headers and tags).
    long long wireBytesSent() const;
    long long wireBytesReceived() const;
    // The 16-byte session id chosen by the tail (hex); empty before a handshake.
    std::string getSessionId() const;

    // Head only: n more TCP connections to the same peer address, joined to
    // this session; later frames are spread over all of them round-robin and
    // the receiver reads them back in frame-counter order. n = 0 does nothing.
    SdtError fatten(int n);
    int extraSocketCount() const;

    // Tail side: the listening code hands every accepted socket here before
    // setSocket(). Returns 1 when the socket was a join request of a live
    // session and is now owned by that session; 0 when it opens a new session
    // (nothing consumed: pass it to setSocket); -1 when it was a join request
    // that failed (err says why; the socket is still the caller's to close).
    // Waits at most timeoutMs for the first bytes.
    static int acceptJoin(int fd, SdtError* err, int timeoutMs = 30000);
    // Whether the peer of an accepted TCP socket has sent any byte yet (read
    // or still queued): an honest head speaks at once, a flood of idle
    // connections never does. False when the kernel cannot tell.
    static bool peerHasSpoken(int fd);

    // --- receiving ---------------------------------------------------------
    // The next frame's payload lands in buf; null detaches.
    void setRecvBuffer(SdtBuffer* buf);
    // Blocks until one whole message frame arrived (0), the time-out expired
    // (90), the peer closed (91) or reset (92), an abort descriptor became
    // readable (93) or the frame was bad (3: the link is then ended). timeout
    // in seconds, -1 = without limit. Frames already received are delivered
    // before 91/92. Every result but 90 and 93 between frames is sticky:
    // later calls return it again (a time-out or abort inside a frame ends the
    // link with 92, since the stream has lost its place).
    SdtError recvMsgPacket(SdtLinkPacket* pkt, int timeout);
    // The same with a time-out in milliseconds (-1 = without limit).
    SdtError recvMsgPacketMs(SdtLinkPacket* pkt, int timeoutMs);
    // True when the next frame is a message frame that has arrived whole
    // already, so that the next recvMsgPacket returns without waiting.
    // A receiver hands on what it has once this turns false.
    bool frameWaiting() const;

    // --- sending -----------------------------------------------------------
    // Sends one frame of len bytes with the given type; the peer receives the
    // same type, length and bytes. timeout in seconds (-1 = without limit).
    // flag: the caller's per-message hint (request/reply traffic); it does not
    // change the bytes delivered.
    SdtError sendMessage(int type, const void* data, int len, int timeout, bool flag);
    // Sends n messages in order, each its own frame as sendMessage makes it;
    // runs of small frames on a single-socket link go out in one write, so a
    // queue of small messages costs one system call instead of one each.
    // timeout bounds each write. Nothing is sent when an argument is bad.
    SdtError sendMessages(const SdtOutMessage* msgs, int n, int timeout);

    // --- options (each may change at any time, from any thread) -------------
    // zstd level for later frames: 0 off, 1..22; a frame is sent compressed
    // only when that makes it smaller.
    SdtError setCompression(int level);
    // 1: seal later frames with AES-256-GCM even on an integrity-only link;
    // 0: back to what the handshake negotiated. Never turns authentication
    // off: every frame is sealed or, on an integrity-only link, MAC-only.
    SdtError setEncryption(int mode);
    // CRC-32 trailer on later frames.
    SdtError enableCRC32(bool on);
    // When on, frames that arrive MAC-only end the link even on an
    // integrity-only link (unauthenticated frames always do).
    void requireEncryption(bool on) { requireSealed_.store(on, std::memory_order_relaxed); }
    // Largest payload accepted or sent (checked before allocating).
    void setMaxPayload(size_t bytes) { maxPayload_.store(bytes, std::memory_order_relaxed); }
    // Largest payload accepted from the peer, as a frame header declares it
    // and as zstd expands it: a larger one ends the link before anything is
    // allocated for it. Default kDefaultMaxPayload; setMaxPayload also bounds it.
    void setMaxRecvPayload(uint32_t bytes) {
        maxRecvPayload_.store(bytes, std::memory_order_relaxed);
    }
    void setHandshakeTimeout(int ms) { handshakeTimeoutMs_.store(ms, std::memory_order_relaxed); }
    // The secret to prove; overrides the registry. Empty = use the registry.
    // At least 32 bytes, like every link secret.
    void setSecret(const std::string& secret);
    // Takes over other's setSecret() override (a further connection of the
    // same peer proves the same secret), without the secret leaving either.
    void inheritSecret(const SdtNetLink& other);
    // Whether a secret can be had now (the override, else the registry's),
    // so a server can refuse to start instead of refusing every peer. The
    // error's text names where the secret should be, never the secret.
    SdtError checkSecret() const;
    // Whether this end offers integrity-only frames (authenticated, not
    // encrypted) at the next handshake: -1 as registry [ZRP]
    // bLinkIntegrityOnly says (the default), 0 no, 1 yes. The link is
    // integrity-only when both ends offer it; otherwise every frame is sealed.
    void setIntegrityOnly(int mode) { integrityOnly_.store(mode, std::memory_order_relaxed); }
    // What the handshake negotiated; false when not connected.
    bool isIntegrityOnly() const;
    // A send stalled this long (no byte accepted by the socket) ends the
    // link, whatever the caller's time-out; also the sockets' TCP_USER_TIMEOUT.
    // Default kDefaultSendStallMs; applies to sockets connected later.
    void setSendStallLimit(int ms);
    // Writes a new random link secret (64 hex digits and a line end) to a new
    // file of mode 0600, created atomically; refuses to replace an existing
    // file. The result's text names the path, never the secret.
    static SdtError writeNewSecretFile(const std::string& path);
    // A new random link secret (64 hex digits) in memory, for a tail and a
    // head started together for one run.
    static SdtError newSecret(std::string* out);

    SdtError nagleOff();
    SdtError nagleOn();
    bool isNagleOff() const;
    SdtError setSendBufSize(int bytes);
    SdtError setRecvBufSize(int bytes);

    // Descriptors whose readability interrupts blocked link operations.
    void addAbortFd(int fd);
    void removeAbortFd(int fd);

#ifdef FLR_LINK_FUZZ_HOOK
    // Fuzz builds only: attach fd as if a handshake with all-zero nonces had
    // completed, and let unauthenticated frames through so that the fuzzer
    // reaches the frame decoder. Never compiled into a shipped library.
    SdtError attachForFuzzing(int fd, bool server, const std::string& secret);
#endif

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
    std::atomic<uint32_t> peerVersion_{0};
    std::atomic<bool> requireSealed_{false};
    std::atomic<size_t> maxPayload_{kDefaultMaxPayload};
    std::atomic<uint32_t> maxRecvPayload_{kDefaultMaxPayload};
    std::atomic<int> handshakeTimeoutMs_{30000};
    std::atomic<int> integrityOnly_{-1};
};
