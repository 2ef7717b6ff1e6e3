// Sending and receiving frames (docs/protocol.md, "Frames").
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

#include "FLR/JxException.h"
#include "SdtLinkImpl.h"
#include "SdtNetLink.h"

using namespace sdt;

namespace {

// Below this a payload is not worth a compression attempt.
constexpr size_t kMinCompress = 64;
// Large sealed frames are encrypted and decrypted in pieces of this size, so
// the scratch buffer stays bounded however large the frame. Each piece is one
// system call: 64 KiB pieces cost the engine 40 % of its sealed throughput on
// a 2-vCPU host (1.0 against 2.0 GB/s for 256 KiB frames), where the calls
// are dear; 1 MiB keeps bulk frames whole.
constexpr size_t kSealPiece = 1024 * 1024;
// sendMessages gathers frames of up to kGatherFrame bytes into writes of up
// to kGatherBytes: small frames cost a system call each otherwise, larger
// ones are written from the caller's buffer without a copy.
constexpr size_t kGatherFrame = 16 * 1024;
constexpr size_t kGatherBytes = 256 * 1024;

int secondsToMs(int timeout) {
    if (timeout < 0) return -1;
    return timeout > INT_MAX / 1000 ? INT_MAX : timeout * 1000;
}

void growTo(std::vector<uint8_t>& v, size_t n) {
    if (v.size() < n) v.resize(n);
}

}  // namespace

// --- sending -------------------------------------------------------------------

SdtError SdtNetLink::sendMessage(int type, const void* data, int len, int timeout, bool /*flag*/) {
    if (len < 0 || (len > 0 && !data))
        return SdtError(SdtError::kInvalidArgs, "Invalid arguments: a message needs its bytes");
    if (static_cast<size_t>(len) > maxPayload_.load())
        return SdtError(SdtError::kInvalidArgs,
                        jxFormat("Message of %d bytes exceeds the link's limit of %zu bytes", len,
                                 maxPayload_.load()));
    std::lock_guard<std::mutex> lock(impl_->txMtx);
    return impl_->sendFrame(kKindMessage, static_cast<uint32_t>(type),
                            static_cast<const uint8_t*>(data), static_cast<size_t>(len),
                            secondsToMs(timeout));
}

// Caller holds txMtx.
SdtNetLink::Impl::Prepared SdtNetLink::Impl::prepareFrame(uint8_t kind, uint32_t type,
                                                          const uint8_t* data, size_t len) {
    Prepared p;
    p.h.kind = kind;
    p.h.type = type;
    p.h.plainLen = static_cast<uint32_t>(len);
    p.h.counter = txCounter;
    p.body = data;
    p.bodyLen = len;
    const int level = compression.load(std::memory_order_relaxed);
    if (level > 0 && len >= kMinCompress) {
        growTo(txScratch, Compressor::bound(len));
        const size_t c = zc.compress(txScratch.data(), txScratch.size(), data, len, level);
        if (c > 0) {
            p.body = txScratch.data();
            p.bodyLen = c;
            p.h.flags |= kFlagZstd;
        }
    }
    // Every frame is authenticated: sealed, or on an integrity-only link
    // MAC-only unless the sender asked for encryption.
    p.seal = !integrityOnly || encrypt.load(std::memory_order_relaxed);
    p.h.flags |= p.seal ? kFlagGcm : kFlagMac;
    p.withCrc = crc.load(std::memory_order_relaxed);
    if (p.withCrc) p.h.flags |= kFlagCrc;
    p.h.wireLen = static_cast<uint32_t>(p.bodyLen + kTagLen);
    return p;
}

// Caller holds txMtx. What a write's status means for the link: a write
// that left nothing of its frames on the wire leaves the link as it was
// (their counters, and with them the GCM nonces, were never seen); any other
// failure ends it.
SdtError SdtNetLink::Impl::txOutcome(const IoStatus& s) {
    if (s.io == Io::Error && s.err == ETIMEDOUT)
        return failTx(SdtError::kConnReset,
                      jxFormat("The peer %s accepted no data for %d ms while a frame was being "
                               "sent; link closed",
                               peer.c_str(), sendStallMs.load()));
    if (s.io == Io::Ok) return {};
    SdtError e = ioError(s, peer, "sending a frame");
    if (s.done == 0 && (s.io == Io::Timeout || s.io == Io::Aborted)) return e;
    if (s.done > 0 && s.io != Io::Error)
        e = SdtError(SdtError::kConnReset,
                     e.text() + " after part of the frame was written; link closed");
    return failTx(e.code(), e.text());
}

// Caller holds txMtx.
SdtError SdtNetLink::Impl::sendFrame(uint8_t kind, uint32_t type, const uint8_t* data, size_t len,
                                     int timeoutMs) {
    if (!txBroken.ok()) return txBroken;
    if (txFds.empty()) return SdtError(SdtError::kInvalidArgs, "The link is not connected");

    const Prepared p = prepareFrame(kind, type, data, len);
    uint8_t hdr[kFrameHeaderLen];
    encodeFrameHeader(p.h, hdr);
    const int sock = txFds[socketFor(txCounter, txBase, txFds.size())];
    Waiter w(timeoutMs, &aborts, true);
    w.setStallLimit(sendStallMs.load(std::memory_order_relaxed));
    bool cryptoOk = true;
    const IoStatus s = p.seal && !(p.h.flags & kFlagZstd) && p.bodyLen > kSealPiece
                           ? writeSealedInPieces(sock, p.h.counter, hdr, p.body, p.bodyLen,
                                                 p.withCrc, w, &cryptoOk)
                           : writeWhole(sock, p.h.counter, hdr, p.body, p.bodyLen, p.seal,
                                        p.withCrc, w, &cryptoOk);
    if (!cryptoOk) return failTx(SdtError::kFailure, "AES-256-GCM sealing failed; link closed");
    if (SdtError e = txOutcome(s); !e.ok()) return e;
    ++txCounter;
    txWireBytes.fetch_add(
        static_cast<long long>(kFrameHeaderLen + p.h.wireLen + (p.withCrc ? kCrcLen : 0)),
        std::memory_order_relaxed);
    return {};
}

SdtError SdtNetLink::sendMessages(const SdtOutMessage* msgs, int n, int timeout) {
    if (n < 0 || (n > 0 && !msgs))
        return SdtError(SdtError::kInvalidArgs, "Invalid arguments: no messages to send");
    for (int i = 0; i < n; ++i) {
        const SdtOutMessage& m = msgs[i];
        if (m.len < 0 || (m.len > 0 && !m.data))
            return SdtError(SdtError::kInvalidArgs, "Invalid arguments: a message needs its bytes");
        if (static_cast<size_t>(m.len) > maxPayload_.load())
            return SdtError(SdtError::kInvalidArgs,
                            jxFormat("Message of %d bytes exceeds the link's limit of %zu bytes",
                                     m.len, maxPayload_.load()));
    }
    Impl& im = *impl_;
    std::lock_guard<std::mutex> lock(im.txMtx);
    const int timeoutMs = secondsToMs(timeout);
    for (int i = 0; i < n;) {
        // Extra sockets take frames round-robin, one write each.
        int j = i;
        size_t bytes = 0;
        if (im.txFds.size() == 1) {
            while (j < n && static_cast<size_t>(msgs[j].len) <= kGatherFrame &&
                   bytes + static_cast<size_t>(msgs[j].len) <= kGatherBytes)
                bytes += static_cast<size_t>(msgs[j++].len);
        }
        SdtError e;
        if (j - i > 1) {
            e = im.sendGathered(msgs + i, j - i, timeoutMs);
        } else {
            j = i + 1;
            e = im.sendFrame(kKindMessage, static_cast<uint32_t>(msgs[i].type),
                             static_cast<const uint8_t*>(msgs[i].data),
                             static_cast<size_t>(msgs[i].len), timeoutMs);
        }
        if (!e.ok()) return e;
        i = j;
    }
    return {};
}

// Caller holds txMtx. The frames are made exactly as sendFrame makes them,
// one after the other into txBatch, and leave in one write.
SdtError SdtNetLink::Impl::sendGathered(const SdtOutMessage* msgs, int n, int timeoutMs) {
    if (!txBroken.ok()) return txBroken;
    if (txFds.empty()) return SdtError(SdtError::kInvalidArgs, "The link is not connected");
    const uint64_t first = txCounter;
    txBatch.clear();
    for (int k = 0; k < n; ++k) {
        Prepared p = prepareFrame(kKindMessage, static_cast<uint32_t>(msgs[k].type),
                                  static_cast<const uint8_t*>(msgs[k].data),
                                  static_cast<size_t>(msgs[k].len));
        p.h.counter = first + static_cast<uint64_t>(k);
        if (!appendFrame(p, txBatch))
            return failTx(SdtError::kFailure, "AES-256-GCM sealing failed; link closed");
    }
    Waiter w(timeoutMs, &aborts, true);
    w.setStallLimit(sendStallMs.load(std::memory_order_relaxed));
    if (SdtError e = txOutcome(writeAll(txFds[0], txBatch.data(), txBatch.size(), w)); !e.ok())
        return e;
    txCounter = first + static_cast<uint64_t>(n);
    txWireBytes.fetch_add(static_cast<long long>(txBatch.size()), std::memory_order_relaxed);
    return {};
}

// Header, protected body, tag and trailer of one frame, appended to out.
bool SdtNetLink::Impl::appendFrame(const Prepared& p, std::vector<uint8_t>& out) {
    const size_t at = out.size();
    out.resize(at + kFrameHeaderLen + p.bodyLen + kTagLen + (p.withCrc ? kCrcLen : 0));
    uint8_t* hdr = out.data() + at;
    uint8_t* body = hdr + kFrameHeaderLen;
    uint8_t* tag = body + p.bodyLen;
    encodeFrameHeader(p.h, hdr);
    bool ok;
    if (p.seal) {
        ok = txGcm.seal(p.h.counter, hdr, kFrameHeaderLen, p.body, p.bodyLen, body, tag);
    } else {
        if (p.bodyLen) std::memcpy(body, p.body, p.bodyLen);
        ok = txGcm.mac(p.h.counter, hdr, kFrameHeaderLen, body, p.bodyLen, tag);
    }
    if (ok && p.withCrc)
        jx::storeBE32(tag + kTagLen, crc32Of(tag, kTagLen, crc32Of(body, p.bodyLen)));
    return ok;
}

// Small or compressed frames: sealed (or MAC'd) whole into the scratch buffer,
// then header, body, tag and trailer in one gathered write.
IoStatus SdtNetLink::Impl::writeWhole(int sock, uint64_t counter, const uint8_t* hdr,
                                      const uint8_t* body, size_t bodyLen, bool seal, bool withCrc,
                                      Waiter& w, bool* cryptoOk) {
    uint8_t tag[kTagLen];
    if (seal) {
        // Compressed bytes already sit in the scratch buffer and are sealed in
        // place; the caller's bytes are sealed into it.
        if (body != txScratch.data()) growTo(txScratch, bodyLen);
        *cryptoOk = txGcm.seal(counter, hdr, kFrameHeaderLen, body, bodyLen, txScratch.data(), tag);
        body = txScratch.data();
    } else {
        *cryptoOk = txGcm.mac(counter, hdr, kFrameHeaderLen, body, bodyLen, tag);
    }
    if (!*cryptoOk) return {Io::Error, EIO, 0};
    uint8_t trailer[kCrcLen];
    if (withCrc) jx::storeBE32(trailer, crc32Of(tag, kTagLen, crc32Of(body, bodyLen)));
    struct iovec iov[4];
    int n = 0;
    iov[n++] = {const_cast<uint8_t*>(hdr), kFrameHeaderLen};
    if (bodyLen) iov[n++] = {const_cast<uint8_t*>(body), bodyLen};
    iov[n++] = {tag, kTagLen};
    if (withCrc) iov[n++] = {trailer, kCrcLen};
    return writeAll(sock, iov, n, w);
}

// Large sealed frames: each piece is encrypted into a cache-sized scratch
// buffer and written while it is still in cache; the tag (and trailer) go
// with the last piece.
IoStatus SdtNetLink::Impl::writeSealedInPieces(int sock, uint64_t counter, const uint8_t* hdr,
                                               const uint8_t* data, size_t len, bool withCrc,
                                               Waiter& w, bool* cryptoOk) {
    growTo(txScratch, kSealPiece);
    uint8_t* piece = txScratch.data();
    uint8_t tail[kTagLen + kCrcLen];
    uint32_t crcValue = 0;
    size_t written = 0;
    *cryptoOk = txGcm.sealBegin(counter, hdr, kFrameHeaderLen);
    for (size_t off = 0; *cryptoOk && off < len; off += kSealPiece) {
        const size_t n = std::min(kSealPiece, len - off);
        const bool last = off + n == len;
        *cryptoOk = txGcm.sealUpdate(data + off, n, piece) && (!last || txGcm.sealFinish(tail));
        if (!*cryptoOk) break;
        if (withCrc) crcValue = crc32Of(piece, n, crcValue);
        struct iovec iov[3];
        int k = 0;
        if (off == 0) iov[k++] = {const_cast<uint8_t*>(hdr), kFrameHeaderLen};
        iov[k++] = {piece, n};
        if (last) {
            size_t tailLen = kTagLen;
            if (withCrc) {
                jx::storeBE32(tail + kTagLen, crc32Of(tail, kTagLen, crcValue));
                tailLen += kCrcLen;
            }
            iov[k++] = {tail, tailLen};
        }
        IoStatus st = writeAll(sock, iov, k, w);
        written += st.done;
        if (st.io != Io::Ok) return {st.io, st.err, written};
    }
    if (!*cryptoOk) return {Io::Error, EIO, written};
    return {Io::Ok, 0, written};
}

// --- receiving -----------------------------------------------------------------

SdtError SdtNetLink::recvMsgPacket(SdtLinkPacket* pkt, int timeout) {
    return recvMsgPacketMs(pkt, secondsToMs(timeout));
}

SdtError SdtNetLink::recvMsgPacketMs(SdtLinkPacket* pkt, int timeoutMs) {
    if (!pkt) return SdtError(SdtError::kInvalidArgs, "Invalid arguments: pkt==NULL");
    Impl& im = *impl_;
    std::lock_guard<std::mutex> lock(im.rxMtx);
    if (!im.rxBroken.ok()) return im.rxBroken;
    if (im.rx.empty()) return SdtError(SdtError::kInvalidArgs, "The link is not connected");
    SdtBuffer* buf = im.recvBuffer.load();
    if (!buf) return SdtError(SdtError::kInvalidArgs, "No receive buffer given to the link");
    const size_t maxPayload =
        std::min<size_t>(maxPayload_.load(), maxRecvPayload_.load(std::memory_order_relaxed));
    const bool mustBeSealed = requireSealed_.load();

    for (;;) {
        Waiter w(timeoutMs, &im.aborts, true);
        RecvStream& s = im.rx[socketFor(im.rxCounter, im.rxBase, im.rx.size())];
        uint8_t hdr[kFrameHeaderLen];
        // After a large frame, expect another: read its header alone so its
        // payload lands in place instead of partly through read-ahead.
        const IoStatus st = s.read(hdr, sizeof hdr, w, im.lastFrameLarge);
        if (st.io != Io::Ok) {
            SdtError e = ioError(st, im.peer, "waiting for a frame");
            if (st.done == 0 && (st.io == Io::Timeout || st.io == Io::Aborted)) return e;
            if (st.done == 0 && st.io == Io::Eof) {
                im.rxBroken = SdtError(SdtError::kPeerClosed, "Connection closed by the peer");
                return im.rxBroken;
            }
            return im.failRx(SdtError::kConnReset, e.text() + " inside a frame header");
        }
        w.enterFrame();
        FrameHeader h;
        if (const char* bad = decodeFrameHeader(hdr, &h))
            return im.failRx(SdtError::kProtocol, jxFormat("Received a bad frame from %s: %s; "
                                                           "link closed",
                                                           im.peer.c_str(), bad));
        // Refused before anything is allocated for it; a compressed payload
        // must expand to exactly this size, so it cannot grow past it either.
        if (h.plainLen > maxPayload)
            return im.failRx(SdtError::kProtocol,
                             jxFormat("Frame %llu from %s declares a payload of %u bytes, more "
                                      "than this link accepts (%zu bytes); link closed",
                                      static_cast<unsigned long long>(h.counter), im.peer.c_str(),
                                      h.plainLen, maxPayload));
        if (h.counter != im.rxCounter)
            return im.failRx(SdtError::kProtocol,
                             jxFormat("Frame %llu from %s arrived where frame %llu was expected "
                                      "(replayed, reordered or forged); link closed",
                                      static_cast<unsigned long long>(h.counter), im.peer.c_str(),
                                      static_cast<unsigned long long>(im.rxCounter)));
        if (SdtError a = im.checkProtection(h, mustBeSealed); !a.ok()) return a;
        uint8_t control[kMaxControlPayload];
        uint8_t* dst = control;
        if (h.kind == kKindMessage) {
            try {
                buf->reserve(h.plainLen);
            } catch (const std::bad_alloc&) {
                return im.failRx(SdtError::kFailure,
                                 jxFormat("Not enough memory for a %u-byte frame", h.plainLen));
            }
            dst = reinterpret_cast<uint8_t*>(buf->data());
        }
        SdtError e = im.readBody(s, h, hdr, dst, w);
        if (!e.ok()) return e;
        ++im.rxCounter;
        im.rxWireBytes.fetch_add(static_cast<long long>(kFrameHeaderLen + h.wireLen +
                                                        ((h.flags & kFlagCrc) ? kCrcLen : 0)),
                                 std::memory_order_relaxed);
        im.lastFrameLarge = h.wireLen >= RecvStream::kCapacity / 2;
        if (h.kind == kKindControl) {
            e = im.applyControl(h, control);
            if (!e.ok()) return e;
            continue;
        }
        pkt->kind = SdtLinkPacket::kMessageFrame;
        pkt->msgType = h.type;
        pkt->payloadLen = static_cast<int>(h.plainLen);
        pkt->payload = buf->data();
        pkt->frameSize = static_cast<long long>(kFrameHeaderLen + h.wireLen +
                                                ((h.flags & kFlagCrc) ? kCrcLen : 0));
        return {};
    }
}

bool SdtNetLink::frameWaiting() const {
    Impl& im = *impl_;
    std::lock_guard<std::mutex> lock(im.rxMtx);
    if (!im.rxBroken.ok() || im.rx.empty()) return false;
    return im.rx[socketFor(im.rxCounter, im.rxBase, im.rx.size())].holdsWholeFrame();
}

// A frame must be authenticated as the handshake fixed: sealed, or on an
// integrity-only link MAC-only unless the receiver requires encryption.
SdtError SdtNetLink::Impl::checkProtection(const FrameHeader& h, bool mustBeSealed) {
    if (h.flags & kFlagGcm) return {};
#ifdef FLR_LINK_FUZZ_HOOK
    if (fuzzUnauthenticated) return {};
#endif
    if (!(h.flags & kFlagMac))
        return failRx(SdtError::kProtocol,
                      jxFormat("Received frame %llu from %s without authentication; link closed",
                               static_cast<unsigned long long>(h.counter), peer.c_str()));
    if (!integrityOnly || mustBeSealed)
        return failRx(SdtError::kProtocol,
                      jxFormat("Received unencrypted frame %llu from %s while this link requires "
                               "encryption; link closed",
                               static_cast<unsigned long long>(h.counter), peer.c_str()));
    return {};
}

// Reads the rest of the frame and checks it; on success dst holds the payload.
SdtError SdtNetLink::Impl::readBody(RecvStream& s, const FrameHeader& h, const uint8_t* hdr,
                                    uint8_t* dst, Waiter& w) {
    const bool sealed = h.flags & kFlagGcm;
    const bool macOnly = h.flags & kFlagMac;
    const bool packed = h.flags & kFlagZstd;
    if (sealed && !packed && h.plainLen > kSealPiece) return readSealedInPieces(s, h, hdr, dst, w);
    const size_t tagLen = (sealed || macOnly) ? kTagLen : 0;
    uint8_t tag[kTagLen];
    uint8_t trailer[kCrcLen];
    uint8_t* body = dst;
    size_t bodyLen = h.plainLen;

    auto readPart = [&](uint8_t* into, size_t n) -> SdtError {
        const IoStatus st = s.read(into, n, w);
        if (st.io == Io::Ok) return {};
        SdtError e = ioError(st, peer, "receiving a frame");
        return failRx(st.io == Io::Error ? e.code() : SdtError::kConnReset,
                      e.text() + " inside a frame; link closed");
    };
    SdtError e;
    if (packed) {
        growTo(rxScratch, h.wireLen);
        body = rxScratch.data();
        bodyLen = h.wireLen - tagLen;
        e = readPart(body, bodyLen);
    } else {
        e = readPart(dst, h.plainLen);
    }
    if (e.ok() && tagLen) e = readPart(tag, tagLen);
    if (e.ok() && (h.flags & kFlagCrc)) e = readPart(trailer, kCrcLen);
    if (!e.ok()) return e;

    if ((h.flags & kFlagCrc) &&
        crc32Of(tag, tagLen, crc32Of(body, bodyLen)) != jx::loadBE32(trailer))
        return failRx(SdtError::kProtocol,
                      jxFormat("CRC-32 mismatch in frame %llu (type %u) from %s; link closed",
                               static_cast<unsigned long long>(h.counter), h.type, peer.c_str()));
    const bool authentic =
        sealed    ? rxGcm.open(h.counter, hdr, kFrameHeaderLen, body, bodyLen, body, tag)
        : macOnly ? rxGcm.verifyMac(h.counter, hdr, kFrameHeaderLen, body, bodyLen, tag)
                  : true;
    if (!authentic)
        return failRx(SdtError::kProtocol,
                      jxFormat("AES-256-GCM authentication failed for frame %llu (type %u) from "
                               "%s; link closed",
                               static_cast<unsigned long long>(h.counter), h.type, peer.c_str()));
    if (packed && !zd.decompress(dst, h.plainLen, body, bodyLen))
        return failRx(
            SdtError::kProtocol,
            jxFormat("Compressed frame %llu from %s does not expand to its %u bytes; "
                     "link closed",
                     static_cast<unsigned long long>(h.counter), peer.c_str(), h.plainLen));
    return {};
}

// Large sealed frames: each piece is decrypted in place right after it
// arrived, while it is in cache. Nothing is delivered before the tag verified.
SdtError SdtNetLink::Impl::readSealedInPieces(RecvStream& s, const FrameHeader& h,
                                              const uint8_t* hdr, uint8_t* dst, Waiter& w) {
    auto readPart = [&](uint8_t* into, size_t n) -> SdtError {
        const IoStatus st = s.read(into, n, w);
        if (st.io == Io::Ok) return {};
        SdtError e = ioError(st, peer, "receiving a frame");
        return failRx(st.io == Io::Error ? e.code() : SdtError::kConnReset,
                      e.text() + " inside a frame; link closed");
    };
    const bool withCrc = h.flags & kFlagCrc;
    uint32_t crcValue = 0;
    bool cryptoOk = rxGcm.openBegin(h.counter, hdr, kFrameHeaderLen);
    for (size_t off = 0; off < h.plainLen; off += kSealPiece) {
        const size_t n = std::min<size_t>(kSealPiece, h.plainLen - off);
        if (SdtError e = readPart(dst + off, n); !e.ok()) return e;
        if (withCrc) crcValue = crc32Of(dst + off, n, crcValue);
        cryptoOk = cryptoOk && rxGcm.openUpdate(dst + off, n, dst + off);
    }
    uint8_t tail[kTagLen + kCrcLen];
    if (SdtError e = readPart(tail, kTagLen + (withCrc ? kCrcLen : 0)); !e.ok()) return e;
    if (withCrc && crc32Of(tail, kTagLen, crcValue) != jx::loadBE32(tail + kTagLen))
        return failRx(SdtError::kProtocol,
                      jxFormat("CRC-32 mismatch in frame %llu (type %u) from %s; link closed",
                               static_cast<unsigned long long>(h.counter), h.type, peer.c_str()));
    if (!cryptoOk || !rxGcm.openFinish(tail))
        return failRx(SdtError::kProtocol,
                      jxFormat("AES-256-GCM authentication failed for frame %llu (type %u) from "
                               "%s; link closed",
                               static_cast<unsigned long long>(h.counter), h.type, peer.c_str()));
    return {};
}

// Control frames change the link itself and never reach the caller.
SdtError SdtNetLink::Impl::applyControl(const FrameHeader& h, const uint8_t* payload) {
    if (h.type != kCtlSpread || h.plainLen != 4)
        return failRx(SdtError::kProtocol, jxFormat("Unknown control frame %u from %s; link closed",
                                                    h.type, peer.c_str()));
    const uint32_t n = jx::loadBE32(payload);
    std::string problem;
    {
        std::lock_guard<std::mutex> lock(connMtx);
        if (n < rx.size() || n > static_cast<uint32_t>(1 + kMaxExtraSockets) ||
            n - 1 > joined.size()) {
            problem = jxFormat(
                "the peer asked to spread frames over %u sockets but %zu have "
                "joined",
                n, joined.size() + 1);
        } else {
            for (size_t i = rx.size(); i < n && problem.empty(); ++i)
                if (joined[i - 1] < 0) problem = jxFormat("extra socket %zu never joined", i);
            for (size_t i = rx.size(); i < n && problem.empty(); ++i)
                rx.emplace_back(joined[i - 1]);
        }
    }
    if (!problem.empty())
        return failRx(SdtError::kProtocol,
                      "Control frame from " + peer + " refused: " + problem + "; link closed");
    rxBase = rxCounter;
    extras = static_cast<int>(n - 1);
    return {};
}
