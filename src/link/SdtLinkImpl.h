#pragma once
// The link's inner state, shared by its sources: SdtNetLink.cpp (connection,
// options), SdtLinkFrames.cpp (sending and receiving frames), SdtLinkJoin.cpp
// (extra sockets and the tail's session registry).
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "SdtCrypto.h"
#include "SdtFrame.h"
#include "SdtHandshake.h"
#include "SdtNetLink.h"
#include "SdtStream.h"

namespace sdt {

// Which socket carries frame `counter`: all frames before `base` went on the
// first socket; from `base` on they go round-robin over n sockets.
inline size_t socketFor(uint64_t counter, uint64_t base, size_t n) {
    if (n <= 1 || counter < base) return 0;
    return static_cast<size_t>((counter - base) % n);
}

}  // namespace sdt

struct SdtNetLink::Impl {
    sdt::AbortList aborts;
    std::atomic<SdtBuffer*> recvBuffer{nullptr};
    std::mutex secretMtx;
    std::string secretOverride;

    // Options for later frames and sockets.
    std::atomic<int> compression{0};
    std::atomic<bool> encrypt{false};
    std::atomic<bool> crc{false};
    // Frames are written whole in one call, so Nagle's algorithm only delays
    // them (40 ms behind a delayed acknowledgement per small reply): off
    // unless a caller turns it on.
    std::atomic<int> nodelay{1};
    std::atomic<int> sndBuf{0};
    std::atomic<int> rcvBuf{0};
    std::atomic<int> sendStallMs{SdtNetLink::kDefaultSendStallMs};

    // Connection. Lock order: rxMtx, txMtx, connMtx; the session registry
    // before connMtx.
    std::atomic<int> fd{-1};
    std::atomic<int> extras{0};
    mutable std::mutex connMtx;
    int savedFlags = -1;
    bool server = false;
    // Fixed by the handshake: frames may be MAC-only instead of sealed.
    // Written only with every lock held (install), read under txMtx or rxMtx.
    bool integrityOnly = false;
#ifdef FLR_LINK_FUZZ_HOOK
    bool fuzzUnauthenticated = false;
#endif
    uint8_t session[sdt::kSessionIdLen] = {};
    uint8_t joinKey[sdt::kKeyLen] = {};
    std::string peer;
    std::vector<int> allFds;  // every socket of the session, primary first
    std::vector<int> joined;  // tail: extra socket by index - 1 (-1 = not yet)

    // Send direction.
    std::mutex txMtx;
    uint64_t txCounter = 0;
    uint64_t txBase = 0;
    std::vector<int> txFds;
    sdt::Gcm txGcm;
    sdt::Compressor zc;
    std::vector<uint8_t> txScratch;
    // Whole frames of a gathered write (sendGathered), kept between batches.
    std::vector<uint8_t> txBatch;
    SdtError txBroken;
    // Frame bytes written/read on every socket of the session (headers,
    // tags and trailers included): what a transfer cost on the wire.
    std::atomic<long long> txWireBytes{0};
    std::atomic<long long> rxWireBytes{0};

    // Receive direction.
    std::mutex rxMtx;
    uint64_t rxCounter = 0;
    uint64_t rxBase = 0;
    bool lastFrameLarge = false;
    std::vector<sdt::RecvStream> rx;
    sdt::Gcm rxGcm;
    sdt::Decompressor zd;
    std::vector<uint8_t> rxScratch;
    SdtError rxBroken;

    ~Impl() {
        sdt::wipe(joinKey, sizeof joinKey);
    }

    void applyOptions(int sock) const;
    void shutdownAll();
    SdtError failRx(int code, const std::string& text);
    SdtError failTx(int code, const std::string& text);
    // A frame's header and the bytes to protect: the caller's, or their
    // compressed form in txScratch.
    struct Prepared {
        sdt::FrameHeader h;
        const uint8_t* body = nullptr;
        size_t bodyLen = 0;
        bool seal = false;
        bool withCrc = false;
    };
    Prepared prepareFrame(uint8_t kind, uint32_t type, const uint8_t* data, size_t len);
    SdtError sendFrame(uint8_t kind, uint32_t type, const uint8_t* data, size_t len, int timeoutMs);
    SdtError sendGathered(const SdtOutMessage* msgs, int n, int timeoutMs);
    bool appendFrame(const Prepared& p, std::vector<uint8_t>& out);
    SdtError txOutcome(const sdt::IoStatus& s);
    sdt::IoStatus writeWhole(int sock, uint64_t counter, const uint8_t* hdr, const uint8_t* body,
                             size_t bodyLen, bool seal, bool withCrc, sdt::Waiter& w,
                             bool* cryptoOk);
    sdt::IoStatus writeSealedInPieces(int sock, uint64_t counter, const uint8_t* hdr,
                                      const uint8_t* data, size_t len, bool withCrc, sdt::Waiter& w,
                                      bool* cryptoOk);
    SdtError readSealedInPieces(sdt::RecvStream& s, const sdt::FrameHeader& h, const uint8_t* hdr,
                                uint8_t* dst, sdt::Waiter& w);
    SdtError readBody(sdt::RecvStream& s, const sdt::FrameHeader& h, const uint8_t* hdr,
                      uint8_t* dst, sdt::Waiter& w);
    SdtError checkProtection(const sdt::FrameHeader& h, bool mustBeSealed);
    SdtError applyControl(const sdt::FrameHeader& h, const uint8_t* payload);
    void install(int sock, bool asServer, bool integrity, int flags, const sdt::SessionKeys& keys,
                 const uint8_t sess[sdt::kSessionIdLen], std::string peerName);
    void resetLocked();
};

// Called (when set) by acceptJoin right after a socket was handed to its
// session and before the answer goes out: lets a test close the session in
// that window.
extern void (*joinAttachedHook)(int fd);

// The tail's live sessions, which extra sockets may join.
void registerSession(const uint8_t session[sdt::kSessionIdLen], SdtNetLink::Impl* impl);
void unregisterSession(SdtNetLink::Impl* impl);
