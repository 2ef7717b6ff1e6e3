#pragma once
// Byte layouts of the link (docs/protocol.md): the handshake records and the
// frame header, plus the per-direction zstd contexts. Every decoder here is
// given exactly the bytes it parses and validates them before use.
#include <cstddef>
#include <cstdint>

#include "platform/JxCoding.h"

typedef struct ZSTD_CCtx_s ZSTD_CCtx;
typedef struct ZSTD_DCtx_s ZSTD_DCtx;

namespace sdt {

uint32_t crc32Of(const uint8_t* p, size_t n, uint32_t crc = 0);

// --- handshake -----------------------------------------------------------------
constexpr uint8_t kMagic[4] = {'F', 'L', 'R', 'L'};
constexpr size_t kNonceLen = 32;
constexpr size_t kSessionIdLen = 16;
constexpr size_t kHelloLen = 60;
constexpr size_t kReplyLen = 36;   // status (32) + 32 bytes (proof or nonce)
constexpr uint8_t kHelloOpen = 1;  // opens a session
constexpr uint8_t kHelloJoin = 2;  // adds an extra socket to a session
constexpr uint8_t kRoleHead = 0;
constexpr uint8_t kRoleTail = 1;
constexpr uint32_t kReplyOk = 0;
constexpr uint32_t kReplyRefused = 1;
constexpr uint32_t kReplyUnknownSession = 2;

struct Hello {
    uint8_t kind = kHelloOpen;
    uint8_t role = kRoleHead;
    uint16_t index = 0;  // joins: extra socket number; opens: kOpt* bits
    uint32_t version = 0;
    uint8_t nonce[kNonceLen] = {};
    uint8_t session[kSessionIdLen] = {};
};

void encodeHello(const Hello& h, uint8_t out[kHelloLen]);
// nullptr when the bytes hold a hello (any kind); else why not.
const char* decodeHello(const uint8_t in[kHelloLen], Hello* h);

void encodeReply(uint32_t status, const uint8_t body[32], uint8_t out[kReplyLen]);

// --- frames --------------------------------------------------------------------
constexpr size_t kFrameHeaderLen = 28;
constexpr size_t kCrcLen = 4;
constexpr uint8_t kKindMessage = 1;
constexpr uint8_t kKindControl = 2;
constexpr uint8_t kFlagCrc = 1;
constexpr uint8_t kFlagZstd = 2;
constexpr uint8_t kFlagGcm = 4;  // sealed: encrypted and authenticated
constexpr uint8_t kFlagMac = 8;  // authenticated only (GMAC over header and body)
constexpr uint8_t kKnownFlags = kFlagCrc | kFlagZstd | kFlagGcm | kFlagMac;
// Hello options (bytes 6-7 of a session-opening hello).
constexpr uint16_t kOptIntegrityOnly = 1;  // this end accepts frames that are not encrypted
// Control frame types.
constexpr uint32_t kCtlSpread = 1;  // payload: socket count (32); applies from the next frame
constexpr size_t kMaxControlPayload = 64;

struct FrameHeader {
    uint8_t kind = kKindMessage;
    uint8_t flags = 0;
    uint32_t type = 0;
    uint32_t plainLen = 0;  // payload bytes delivered
    uint32_t wireLen = 0;   // bytes between header and CRC trailer (GCM tag included)
    uint64_t counter = 0;
};

void encodeFrameHeader(const FrameHeader& h, uint8_t out[kFrameHeaderLen]);
// nullptr when the header is well formed; else the reason. The payload limit
// and the counter are the caller's to check.
const char* decodeFrameHeader(const uint8_t in[kFrameHeaderLen], FrameHeader* h);

// --- compression -----------------------------------------------------------------
class Compressor {
  public:
    Compressor();
    ~Compressor();
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;
    static size_t bound(size_t n);
    // Compressed size, or 0 when compression failed or does not shrink the data.
    size_t compress(uint8_t* dst, size_t cap, const uint8_t* src, size_t n, int level);

  private:
    ZSTD_CCtx* ctx_;
};

class Decompressor {
  public:
    Decompressor();
    ~Decompressor();
    Decompressor(const Decompressor&) = delete;
    Decompressor& operator=(const Decompressor&) = delete;
    // True when src expands to exactly n bytes in dst.
    bool decompress(uint8_t* dst, size_t n, const uint8_t* src, size_t srcLen);

  private:
    ZSTD_DCtx* ctx_;
};

int maxCompressionLevel();

}  // namespace sdt
