#include "FLR/platform/Jxc.h"

#include <zlib.h>

// zlib's crc32 inverts the register on the way in and out; undoing both turns
// it into the raw register update that callers chain and store as is.
uint32_t jx_crc32(uint32_t crc, const void* data, size_t len) {
    if (len == 0) return crc;
    const auto* bytes = static_cast<const Bytef*>(data);
    return ~static_cast<uint32_t>(crc32_z(~crc & 0xffffffffUL, bytes, len));
}
