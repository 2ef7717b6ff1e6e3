// The attribute block of FLR_NET_MIR_ATTRS: checking a received one, walking
// a checked one, building one to send (layout in docs/protocol.md).
#include <cstring>
#include <string>
#include <utility>

#include "FLR/JxException.h"
#include "FlrNetMessage.h"
#include "platform/JxCoding.h"

size_t flrNetCheckXattrBlock(const unsigned char* p, size_t avail, uint32_t count,
                             std::string* why) {
    const auto refuse = [why](std::string text) {
        *why = std::move(text);
        return size_t{0};
    };
    size_t at = 0;
    size_t total = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const void* nul = at < avail ? std::memchr(p + at, 0, avail - at) : nullptr;
        if (!nul) return refuse(jxFormat("attribute %u of %u runs past its end", i, count));
        const size_t nameLen = static_cast<size_t>(static_cast<const unsigned char*>(nul) - p) - at;
        if (nameLen == 0 || nameLen > FlrNetMirAttrs::kNameMax)
            return refuse(jxFormat("attribute %u has a name of %zu bytes (1 to %u allowed)", i,
                                   nameLen, FlrNetMirAttrs::kNameMax));
        at += nameLen + 1;
        if (avail - at < 4)
            return refuse(jxFormat("attribute %u of %u runs past its end", i, count));
        const uint32_t len = jx::loadBE32(p + at);
        at += 4;
        if (len > FlrNetMirAttrs::kValueMax)
            return refuse(jxFormat("attribute %u has a value of %u bytes (at most %u allowed)", i,
                                   len, FlrNetMirAttrs::kValueMax));
        if (len > avail - at)
            return refuse(jxFormat("attribute %u of %u runs past its end", i, count));
        at += len;
        total += nameLen + len;
        if (total > FlrNetMirAttrs::kBlockMax)
            return refuse(jxFormat("attributes of more than %u bytes", FlrNetMirAttrs::kBlockMax));
    }
    return at;
}

bool flrNetNextXattr(const FlrNetMirAttrs& a, size_t* at, FlrNetXattrItem* out) {
    if (!a.block || *at >= a.blockLen) return false;
    const unsigned char* p = a.block + *at;
    const size_t left = a.blockLen - *at;
    const void* nul = std::memchr(p, 0, left);
    if (!nul) return false;
    const size_t nameLen = static_cast<size_t>(static_cast<const unsigned char*>(nul) - p);
    if (left - nameLen - 1 < 4) return false;
    const uint32_t len = jx::loadBE32(p + nameLen + 1);
    if (len > left - nameLen - 5) return false;
    out->name = reinterpret_cast<const char*>(p);
    out->value = p + nameLen + 5;
    out->len = len;
    *at += nameLen + 5 + len;
    return true;
}

void flrNetAppendXattr(std::string* block, const std::string& name, const std::string& value) {
    unsigned char len[4];
    jx::storeBE32(len, static_cast<uint32_t>(value.size()));
    block->append(name);
    block->push_back('\0');
    block->append(reinterpret_cast<const char*>(len), 4);
    block->append(value);
}
