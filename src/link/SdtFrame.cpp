#include "SdtFrame.h"

#include <zlib.h>
#include <zstd.h>

#include <cstring>

#include "SdtCrypto.h"

namespace sdt {

uint32_t crc32Of(const uint8_t* p, size_t n, uint32_t crc) {
    return static_cast<uint32_t>(crc32_z(crc, p, n));
}

void encodeHello(const Hello& h, uint8_t out[kHelloLen]) {
    std::memcpy(out, kMagic, 4);
    out[4] = h.kind;
    out[5] = h.role;
    jx::storeBE16(out + 6, h.index);
    jx::storeBE32(out + 8, h.version);
    std::memcpy(out + 12, h.nonce, kNonceLen);
    std::memcpy(out + 44, h.session, kSessionIdLen);
}

const char* decodeHello(const uint8_t in[kHelloLen], Hello* h) {
    if (std::memcmp(in, kMagic, 4) != 0) return "not an FLR link hello (bad magic)";
    h->kind = in[4];
    h->role = in[5];
    h->index = jx::loadBE16(in + 6);
    h->version = jx::loadBE32(in + 8);
    std::memcpy(h->nonce, in + 12, kNonceLen);
    std::memcpy(h->session, in + 44, kSessionIdLen);
    if (h->kind != kHelloOpen && h->kind != kHelloJoin) return "unknown hello kind";
    if (h->role != kRoleHead && h->role != kRoleTail) return "unknown role in hello";
    if (h->version == 0) return "protocol version 0 in hello";
    return nullptr;
}

void encodeReply(uint32_t status, const uint8_t body[32], uint8_t out[kReplyLen]) {
    jx::storeBE32(out, status);
    if (body)
        std::memcpy(out + 4, body, 32);
    else
        std::memset(out + 4, 0, 32);
}

void encodeFrameHeader(const FrameHeader& h, uint8_t out[kFrameHeaderLen]) {
    out[0] = h.kind;
    out[1] = h.flags;
    jx::storeBE16(out + 2, 0);
    jx::storeBE32(out + 4, h.type);
    jx::storeBE32(out + 8, h.plainLen);
    jx::storeBE32(out + 12, h.wireLen);
    jx::storeBE64(out + 16, h.counter);
    jx::storeBE32(out + 24, crc32Of(out, 24));
}

const char* decodeFrameHeader(const uint8_t in[kFrameHeaderLen], FrameHeader* h) {
    if (jx::loadBE32(in + 24) != crc32Of(in, 24)) return "frame header check failed";
    h->kind = in[0];
    h->flags = in[1];
    h->type = jx::loadBE32(in + 4);
    h->plainLen = jx::loadBE32(in + 8);
    h->wireLen = jx::loadBE32(in + 12);
    h->counter = jx::loadBE64(in + 16);
    if (h->kind != kKindMessage && h->kind != kKindControl) return "unknown frame kind";
    if ((h->flags & ~kKnownFlags) != 0) return "unknown frame flags";
    if (jx::loadBE16(in + 2) != 0) return "reserved header bits set";
    if (h->kind == kKindControl && h->plainLen > kMaxControlPayload)
        return "control frame too long";
    if ((h->flags & kFlagGcm) && (h->flags & kFlagMac)) return "frame both sealed and MAC-only";
    const size_t tag = (h->flags & (kFlagGcm | kFlagMac)) ? kTagLen : 0;
    if (h->flags & kFlagZstd) {
        // Sent compressed only when that shrank it.
        if (h->wireLen <= tag || h->wireLen - tag >= h->plainLen)
            return "compressed length out of range";
    } else if (h->wireLen != h->plainLen + tag) {
        return "frame length does not match payload length";
    }
    return nullptr;
}

Compressor::Compressor() : ctx_(ZSTD_createCCtx()) {}
Compressor::~Compressor() {
    ZSTD_freeCCtx(ctx_);
}

size_t Compressor::bound(size_t n) {
    return ZSTD_compressBound(n);
}

size_t Compressor::compress(uint8_t* dst, size_t cap, const uint8_t* src, size_t n, int level) {
    if (!ctx_) return 0;
    const size_t r = ZSTD_compressCCtx(ctx_, dst, cap, src, n, level);
    if (ZSTD_isError(r) || r >= n) return 0;
    return r;
}

Decompressor::Decompressor() : ctx_(ZSTD_createDCtx()) {}
Decompressor::~Decompressor() {
    ZSTD_freeDCtx(ctx_);
}

bool Decompressor::decompress(uint8_t* dst, size_t n, const uint8_t* src, size_t srcLen) {
    if (!ctx_) return false;
    // The frame must state its size and it must be exactly n: the capacity
    // bounds the output, the equality rejects short bombs and truncations.
    const unsigned long long declared = ZSTD_getFrameContentSize(src, srcLen);
    if (declared != n) return false;
    const size_t r = ZSTD_decompressDCtx(ctx_, dst, n, src, srcLen);
    return !ZSTD_isError(r) && r == n;
}

int maxCompressionLevel() {
    return ZSTD_maxCLevel();
}

}  // namespace sdt
