// The link's frame reader fed through a socketpair, past the handshake (fuzz
// builds attach without one and let unauthenticated frames through).
// Input: one control byte, then the byte stream. Control bit 0 makes the
// harness fix each frame header's check word and bit 1 each CRC trailer, so
// that the fuzzer reaches the length, flag, zstd and counter checks behind
// them instead of stopping at the first checksum.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "digest/Jxc.h"
#include "link/SdtNetLink.h"
#include "platform/EvDebug.h"

namespace {

constexpr size_t kHeader = 28;
constexpr size_t kMaxInput = 1 << 16;  // stays within the socket buffer

volatile uint8_t g_sink;

uint32_t crc32Std(const uint8_t* p, size_t n) {
    return ~jx_crc32(0xffffffffu, p, n);
}

void putBE32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

uint32_t getBE32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void fixChecks(std::vector<uint8_t>& s, bool headers, bool trailers) {
    size_t pos = 0;
    while (pos + kHeader <= s.size()) {
        uint8_t* h = s.data() + pos;
        if (headers) putBE32(h + 24, crc32Std(h, 24));
        const size_t wire = getBE32(h + 12);
        const bool crc = h[1] & 1;
        pos += kHeader;
        if (wire > s.size() - pos) break;
        if (crc && trailers && pos + wire + 4 <= s.size())
            putBE32(s.data() + pos + wire, crc32Std(s.data() + pos, wire));
        pos += wire + (crc ? 4 : 0);
    }
}

}  // namespace

// Every refused frame logs an error line; keep them out of the fuzzer's output.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    EvDebug::setLogFile("/dev/null");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > kMaxInput) return 0;
    const uint8_t control = data[0];
    std::vector<uint8_t> stream(data + 1, data + size);
    fixChecks(stream, control & 1, control & 2);

    int sp[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sp) != 0) return 0;
    int bufSize = 4 * static_cast<int>(kMaxInput);
    ::setsockopt(sp[1], SOL_SOCKET, SO_SNDBUF, &bufSize, sizeof bufSize);
    ::setsockopt(sp[0], SOL_SOCKET, SO_RCVBUF, &bufSize, sizeof bufSize);
    SdtNetLink link;
    SdtBuffer buf(64);  // small, so that growing is exercised
    link.setRecvBuffer(&buf);
    link.setMaxPayload(1 << 20);
    if (!link.attachForFuzzing(sp[0], true, "fuzzing secret").ok()) {
        ::close(sp[0]);
        ::close(sp[1]);
        return 0;
    }
    size_t off = 0;
    while (off < stream.size()) {
        const ssize_t n = ::write(sp[1], stream.data() + off, stream.size() - off);
        if (n <= 0) break;
        off += static_cast<size_t>(n);
    }
    ::shutdown(sp[1], SHUT_WR);
    SdtLinkPacket pkt;
    for (int i = 0; i < 4096; ++i) {
        if (!link.recvMsgPacketMs(&pkt, 1000).ok()) break;
        // Touch every delivered byte: the payload must lie inside the buffer.
        uint8_t x = 0;
        for (int j = 0; j < pkt.payloadLen; ++j) x ^= static_cast<uint8_t>(pkt.payload[j]);
        g_sink = x;
    }
    link.closeSocket();
    ::close(sp[1]);
    return 0;
}
