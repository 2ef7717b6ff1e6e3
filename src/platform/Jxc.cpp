#include "FLR/platform/Jxc.h"

#include <zlib.h>

// zlib's crc32 inverts the register on the way in and out; undoing both turns
// it into the raw register update that callers chain and store as is.
uint32_t jx_crc32(uint32_t crc, const void* data, size_t len) {
    if (len == 0) return crc;
    const auto* bytes = static_cast<const Bytef*>(data);
    return ~static_cast<uint32_t>(crc32_z(~crc & 0xffffffffUL, bytes, len));
}

namespace {

constexpr uint32_t kCastagnoliReflected = 0x82f63b78u;

struct Crc32cTable {
    uint32_t t[256];
    constexpr Crc32cTable() : t() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kCastagnoliReflected : c >> 1;
            t[i] = c;
        }
    }
};
constexpr Crc32cTable kCrc32cTable;

uint32_t crc32cPortable(uint32_t crc, const unsigned char* p, size_t len) {
    while (len--) crc = kCrc32cTable.t[(crc ^ *p++) & 0xff] ^ (crc >> 8);
    return crc;
}

#if defined(__x86_64__)
__attribute__((target("sse4.2"))) uint32_t crc32cHardware(uint32_t crc, const unsigned char* p,
                                                          size_t len) {
    uint64_t c = crc;
    while (len >= 8) {
        uint64_t v;
        __builtin_memcpy(&v, p, 8);
        c = __builtin_ia32_crc32di(c, v);
        p += 8;
        len -= 8;
    }
    auto c32 = static_cast<uint32_t>(c);
    while (len--) c32 = __builtin_ia32_crc32qi(c32, *p++);
    return c32;
}

bool haveHardwareCrc32c() {
    static const bool have = __builtin_cpu_supports("sse4.2");
    return have;
}
#endif

}  // namespace

uint32_t jx_crc32c(uint32_t crc, const void* data, size_t len) {
    const auto* p = static_cast<const unsigned char*>(data);
#if defined(__x86_64__)
    if (haveHardwareCrc32c()) return crc32cHardware(crc, p, len);
#endif
    return crc32cPortable(crc, p, len);
}
