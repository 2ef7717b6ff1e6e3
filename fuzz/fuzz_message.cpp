// FLR_NET_* payloads from untrusted bytes (what either end reads off the
// link). Input: one byte selecting the message type, then the payload. The
// decoder must refuse clearly or accept without reading past the payload, and
// an accepted message must encode back to the bytes it was decoded from.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "FLR/JxException.h"
#include "net/FlrNetBase.h"

namespace {

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "fuzz_message: %s\n", what);
    std::abort();
}

std::vector<uint8_t> encode(const FlrNetMessage& m) {
    void* buf = nullptr;
    int cap = 0;
    int len = 0;
    FlrNetBase::encodeMessage(m, buf, cap, &len);
    const auto* p = static_cast<const uint8_t*>(buf);
    std::vector<uint8_t> out(p, p + len);
    std::free(buf);
    return out;
}

bool isFiller(int type) {
    return type == FLR_NET_MIR_EOF || type == FLR_NET_LBFS_STOP;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // Mostly assigned codes, sometimes anything at all.
    const int type = data[0] < 200 ? data[0] % (FLR_NET_MAX_TYPE + 1) : data[0] * 1000;
    const std::vector<uint8_t> original(data + 1, data + size);
    // Exactly the payload's size, so a read past it is caught.
    std::vector<uint8_t> payload(original);
    payload.shrink_to_fit();

    SdtLinkPacket pkt;
    pkt.kind = SdtLinkPacket::kMessageFrame;
    pkt.msgType = static_cast<uint32_t>(type);
    pkt.payloadLen = static_cast<int>(payload.size());
    pkt.payload = payload.empty() ? nullptr : reinterpret_cast<char*>(payload.data());
    FlrNetMessage msg;
    try {
        FlrNetBase::decodeMessage(&msg, pkt);
    } catch (const JxException& e) {
        if (e.getMessage().empty() || e.getFunction() != "FlrNetBase::decodeMessage")
            fail("unclear refusal");
        if (payload != original) fail("a refused payload was changed");
        return 0;
    }
    if (msg.type != type) fail("type not kept");

    std::vector<uint8_t> out;
    try {
        out = encode(msg);
    } catch (const JxException&) {
        fail("a decoded message does not encode");
    }
    if (out.size() > original.size()) fail("encoding is longer than the payload");
    const size_t skip = isFiller(type) ? 4 : 0;  // fillers are written as 0
    if (out.size() > skip &&
        std::memcmp(out.data() + skip, original.data() + skip, out.size() - skip) != 0)
        fail("decode -> encode changed the bytes");
    return 0;
}
