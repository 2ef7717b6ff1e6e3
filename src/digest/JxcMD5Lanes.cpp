// MD5 of many equal-length messages at once: each message takes one 32-bit
// lane of a vector register, so AVX-512 digests 16 blocks in about the time
// OpenSSL's scalar code needs for one or two. The path is picked once from
// the processor's features; the rest of the build keeps its own flags, since
// only these functions carry target attributes.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>

#include "Jxc.h"
#include "platform/JxCoding.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

using Path = Jxc::Md5Path;

#if defined(__x86_64__)

namespace avx512 {
#define MD5L_ATTR __attribute__((target("avx512f")))
using Vec = __m512i;
constexpr size_t kLanes = 16;
MD5L_ATTR inline Vec set1(uint32_t v) {
    return _mm512_set1_epi32(static_cast<int>(v));
}
MD5L_ATTR inline Vec add(Vec x, Vec y) {
    return _mm512_add_epi32(x, y);
}
// The four round functions as one three-input logic instruction each; the
// immediates are their truth tables over (b, c, d).
MD5L_ATTR inline Vec F(Vec b, Vec c, Vec d) {
    return _mm512_ternarylogic_epi32(b, c, d, 0xca);
}
MD5L_ATTR inline Vec G(Vec b, Vec c, Vec d) {
    return _mm512_ternarylogic_epi32(b, c, d, 0xe4);
}
MD5L_ATTR inline Vec H(Vec b, Vec c, Vec d) {
    return _mm512_ternarylogic_epi32(b, c, d, 0x96);
}
MD5L_ATTR inline Vec I(Vec b, Vec c, Vec d) {
    return _mm512_ternarylogic_epi32(b, c, d, 0x39);
}
// The all-lanes forms of rotate and gather leave their pass-through
// operand undefined, which GCC 12 reports as uninitialised; the masked forms
// with every lane selected are the same instructions.
template <int S>
MD5L_ATTR inline Vec rotl(Vec x) {
    return _mm512_mask_rol_epi32(x, 0xffff, x, S);
}
MD5L_ATTR inline Vec gather(const unsigned char* base, Vec offsets) {
    return _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), 0xffff, offsets, base, 1);
}
MD5L_ATTR inline Vec loadOffsets(const int32_t* offs) {
    return _mm512_load_si512(offs);
}
MD5L_ATTR inline void store(uint32_t* dst, Vec v) {
    _mm512_store_si512(dst, v);
}
#include "JxcMD5LanesKernel.inc"
#undef MD5L_ATTR
}  // namespace avx512

namespace avx2 {
#define MD5L_ATTR __attribute__((target("avx2")))
using Vec = __m256i;
constexpr size_t kLanes = 8;
MD5L_ATTR inline Vec set1(uint32_t v) {
    return _mm256_set1_epi32(static_cast<int>(v));
}
MD5L_ATTR inline Vec add(Vec x, Vec y) {
    return _mm256_add_epi32(x, y);
}
MD5L_ATTR inline Vec F(Vec b, Vec c, Vec d) {
    return _mm256_xor_si256(d, _mm256_and_si256(b, _mm256_xor_si256(c, d)));
}
MD5L_ATTR inline Vec G(Vec b, Vec c, Vec d) {
    return _mm256_xor_si256(c, _mm256_and_si256(d, _mm256_xor_si256(b, c)));
}
MD5L_ATTR inline Vec H(Vec b, Vec c, Vec d) {
    return _mm256_xor_si256(_mm256_xor_si256(b, c), d);
}
MD5L_ATTR inline Vec I(Vec b, Vec c, Vec d) {
    return _mm256_xor_si256(c, _mm256_or_si256(b, _mm256_xor_si256(d, _mm256_set1_epi32(-1))));
}
template <int S>
MD5L_ATTR inline Vec rotl(Vec x) {
    return _mm256_or_si256(_mm256_slli_epi32(x, S), _mm256_srli_epi32(x, 32 - S));
}
MD5L_ATTR inline Vec gather(const unsigned char* base, Vec offsets) {
    return _mm256_i32gather_epi32(reinterpret_cast<const int*>(base), offsets, 1);
}
MD5L_ATTR inline Vec loadOffsets(const int32_t* offs) {
    return _mm256_load_si256(reinterpret_cast<const Vec*>(offs));
}
MD5L_ATTR inline void store(uint32_t* dst, Vec v) {
    _mm256_store_si256(reinterpret_cast<Vec*>(dst), v);
}
#include "JxcMD5LanesKernel.inc"
#undef MD5L_ATTR
}  // namespace avx2

bool available(Path path) {
    switch (path) {
        case Path::Avx512:
            return __builtin_cpu_supports("avx512f");
        case Path::Avx2:
            return __builtin_cpu_supports("avx2");
        default:
            return true;
    }
}

#else

bool available(Path path) {
    return path == Path::Auto || path == Path::OpenSSL;
}

#endif

Path bestPath() {
    if (available(Path::Avx512)) return Path::Avx512;
    if (available(Path::Avx2)) return Path::Avx2;
    return Path::OpenSSL;
}

Path detectedPath() {
    static const Path best = bestPath();
    return best;
}

// Set only by md5UsePath; Auto means the detected best path.
std::atomic<Path> forcedPath{Path::Auto};

Path currentPath() {
    const Path forced = forcedPath.load(std::memory_order_relaxed);
    return forced == Path::Auto ? detectedPath() : forced;
}

size_t lanesOf(Path path) {
    switch (path) {
        case Path::Avx512:
            return 16;
        case Path::Avx2:
            return 8;
        default:
            return 1;
    }
}

// The lanes gather with signed 32-bit offsets from the group's lowest
// pointer; messages further apart than that go one by one.
bool withinGatherReach(const unsigned char* const* msgs, size_t n, size_t len) {
    const auto [lo, hi] = std::minmax_element(msgs, msgs + n);
    const auto reach = static_cast<size_t>(std::numeric_limits<int32_t>::max());
    return static_cast<size_t>(*hi - *lo) <= reach && len <= reach;
}

void digestOneByOne(const unsigned char* const* msgs, size_t n, size_t len,
                    unsigned char (*out)[16]) {
    for (size_t i = 0; i < n; ++i) Jxc::md5(msgs[i], len, out[i]);
}

void digestGroup(Path path, const unsigned char* const* msgs, size_t n, size_t len,
                 unsigned char (*out)[16]) {
#if defined(__x86_64__)
    if (withinGatherReach(msgs, n, len)) {
        if (path == Path::Avx512) return avx512::digestGroup(msgs, n, len, out);
        if (path == Path::Avx2) return avx2::digestGroup(msgs, n, len, out);
    }
#else
    (void)path;
#endif
    digestOneByOne(msgs, n, len, out);
}

}  // namespace

namespace Jxc {

void md5Many(const unsigned char* const* msgs, size_t count, size_t len, unsigned char (*out)[16]) {
    const Path path = currentPath();
    const size_t lanes = lanesOf(path);
    // A lone message costs the lanes as much as a full group; OpenSSL's
    // scalar code is quicker for it unless a path was forced.
    if (count == 1 && forcedPath.load(std::memory_order_relaxed) == Path::Auto)
        return digestOneByOne(msgs, count, len, out);
    for (size_t at = 0; at < count; at += lanes)
        digestGroup(path, msgs + at, std::min(lanes, count - at), len, out + at);
}

bool md5UsePath(Md5Path path) {
    if (!available(path)) return false;
    forcedPath.store(path, std::memory_order_relaxed);
    return true;
}

Md5Path md5Path() {
    return currentPath();
}

size_t md5Lanes() {
    return lanesOf(currentPath());
}

}  // namespace Jxc
