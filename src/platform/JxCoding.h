#pragma once
// Fixed-width integer coding for every on-disk and on-wire format: big-endian
// (network order, and byte order = numeric order for LMDB keys) and
// little-endian loads and stores on unaligned bytes. Callers bound-check
// before calling; these never read or write more than the width they name.
#include <cstdint>
#include <cstring>

namespace jx {

inline uint16_t loadBE16(const void* src) {
    const auto* p = static_cast<const uint8_t*>(src);
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t loadBE24(const void* src) {
    const auto* p = static_cast<const uint8_t*>(src);
    return (uint32_t{p[0]} << 16) | (uint32_t{p[1]} << 8) | uint32_t{p[2]};
}
inline uint32_t loadBE32(const void* src) {
    uint32_t v;
    std::memcpy(&v, src, 4);
    return __builtin_bswap32(v);
}
inline uint64_t loadBE64(const void* src) {
    uint64_t v;
    std::memcpy(&v, src, 8);
    return __builtin_bswap64(v);
}

inline void storeBE16(void* dst, uint16_t v) {
    auto* p = static_cast<uint8_t*>(dst);
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void storeBE24(void* dst, uint32_t v) {
    auto* p = static_cast<uint8_t*>(dst);
    p[0] = static_cast<uint8_t>(v >> 16);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v);
}
inline void storeBE32(void* dst, uint32_t v) {
    v = __builtin_bswap32(v);
    std::memcpy(dst, &v, 4);
}
inline void storeBE64(void* dst, uint64_t v) {
    v = __builtin_bswap64(v);
    std::memcpy(dst, &v, 8);
}

// Little-endian forms, for formats that store host (x86) order.
inline uint16_t loadLE16(const void* src) {
    uint16_t v;
    std::memcpy(&v, src, 2);
    return v;
}
inline uint32_t loadLE32(const void* src) {
    uint32_t v;
    std::memcpy(&v, src, 4);
    return v;
}
inline uint64_t loadLE64(const void* src) {
    uint64_t v;
    std::memcpy(&v, src, 8);
    return v;
}
inline void storeLE16(void* dst, uint16_t v) {
    std::memcpy(dst, &v, 2);
}
inline void storeLE32(void* dst, uint32_t v) {
    std::memcpy(dst, &v, 4);
}
inline void storeLE64(void* dst, uint64_t v) {
    std::memcpy(dst, &v, 8);
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the little-endian forms copy host order; add swaps for a big-endian host");

}  // namespace jx
