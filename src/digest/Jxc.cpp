#include "Jxc.h"

#include <errno.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <zlib.h>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include <algorithm>
#include <cstring>
#include <vector>

#include "FLR/JxException.h"
#include "platform/JxFile.h"

namespace {

// zlib's crc32 inverts the register on the way in and out; undoing both turns
// it into the raw register update that callers chain and store as is.
uint32_t crc32Zlib(uint32_t crc, const unsigned char* p, size_t len) {
    if (len == 0) return crc;
    return ~static_cast<uint32_t>(crc32_z(~crc & 0xffffffffUL, p, len));
}

#if defined(__x86_64__)
// Carry-less multiply folding (Intel, "Fast CRC Computation for Generic
// Polynomials Using PCLMULQDQ"): the raw register is linear, so the start
// value joins the first bytes and each 16-byte lane is carried forward by
// multiplying its halves with x^(n+32) and x^(n-32) mod P, n the distance
// (bit-reflected constants for zlib's polynomial). The 16 bytes left after
// folding are congruent to everything before them; zlib finishes them and
// the tail from a zero register. Several times zlib's speed on long runs.
__attribute__((target("pclmul,sse2"))) __m128i fold16(__m128i x, __m128i k) {
    return _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11));
}

__attribute__((target("pclmul,sse2"))) uint32_t crc32Folded(uint32_t crc, const unsigned char* p,
                                                            size_t len) {
    auto load = [](const unsigned char* q) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
    };
    __m128i x0 = _mm_xor_si128(load(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x1 = load(p + 16), x2 = load(p + 32), x3 = load(p + 48);
    p += 64;
    len -= 64;
    const __m128i by4 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    for (; len >= 64; p += 64, len -= 64) {
        x0 = _mm_xor_si128(fold16(x0, by4), load(p));
        x1 = _mm_xor_si128(fold16(x1, by4), load(p + 16));
        x2 = _mm_xor_si128(fold16(x2, by4), load(p + 32));
        x3 = _mm_xor_si128(fold16(x3, by4), load(p + 48));
    }
    const __m128i by1 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    __m128i x = _mm_xor_si128(fold16(x0, by1), x1);
    x = _mm_xor_si128(fold16(x, by1), x2);
    x = _mm_xor_si128(fold16(x, by1), x3);
    for (; len >= 16; p += 16, len -= 16) x = _mm_xor_si128(fold16(x, by1), load(p));
    unsigned char rest[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(rest), x);
    return crc32Zlib(crc32Zlib(0, rest, 16), p, len);
}

bool haveClmul() {
    static const bool have = __builtin_cpu_supports("pclmul");
    return have;
}
#endif

}  // namespace

uint32_t jx_crc32(uint32_t crc, const void* data, size_t len) {
    const auto* p = static_cast<const unsigned char*>(data);
#if defined(__x86_64__)
    if (len >= 64 && haveClmul()) return crc32Folded(crc, p, len);
#endif
    return crc32Zlib(crc, p, len);
}

void jx_crc32(const void* data, size_t len, uint32_t* crc) {
    *crc = jx_crc32(*crc, data, len);
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

// --- MD5 and SHA-1 on OpenSSL EVP ------------------------------------------

namespace {

// Fetched once: an implicit fetch on every init costs more than digesting a
// 32 KiB block. "-fips" drops a FIPS-only default query, since these digests
// only compare copies of a file; if no provider offers the algorithm yet, the
// default provider is loaded once and asked again.
const EVP_MD* fetchDigest(const char* name, const char* caller) {
    EVP_MD* md = EVP_MD_fetch(nullptr, name, "-fips");
    if (md == nullptr && OSSL_PROVIDER_try_load(nullptr, "default", 1) != nullptr)
        md = EVP_MD_fetch(nullptr, name, "-fips");
    if (md == nullptr) JX_THROW(caller, std::string(name) + " is not available from OpenSSL");
    return md;
}

const EVP_MD* md5Digest() {
    static const EVP_MD* const md = fetchDigest("MD5", "md5_init");
    return md;
}

const EVP_MD* sha1Digest() {
    static const EVP_MD* const md = fetchDigest("SHA1", "Jxc::sha1");
    return md;
}

const EVP_MD* sha256Digest() {
    static const EVP_MD* const md = fetchDigest("SHA256", "Jxc::sha256");
    return md;
}

EVP_MD_CTX* newContext(const char* caller) {
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    if (ctx == nullptr) JX_THROW(caller, "Out of memory for a digest context");
    return ctx;
}

void digestInit(EVP_MD_CTX* ctx, const EVP_MD* md, const char* caller) {
    if (EVP_DigestInit_ex2(ctx, md, nullptr) != 1) JX_THROW(caller, "Digest initialisation failed");
}

void digestUpdate(EVP_MD_CTX* ctx, const void* data, size_t len, const char* caller) {
    if (len != 0 && EVP_DigestUpdate(ctx, data, len) != 1) JX_THROW(caller, "Digest update failed");
}

void digestFinal(EVP_MD_CTX* ctx, unsigned char* out, const char* caller) {
    if (EVP_DigestFinal_ex(ctx, out, nullptr) != 1) JX_THROW(caller, "Digest finalisation failed");
}

void oneShot(const EVP_MD* md, const void* data, size_t len, unsigned char* out,
             const char* caller) {
    if (EVP_Digest(data, len, out, nullptr, md, nullptr) != 1) JX_THROW(caller, "Digest failed");
}

}  // namespace

md5_state_t::~md5_state_t() {
    EVP_MD_CTX_free(ctx);
}

md5_state_t& md5_state_t::operator=(md5_state_t&& other) noexcept {
    if (this != &other) {
        EVP_MD_CTX_free(ctx);
        ctx = other.ctx;
        other.ctx = nullptr;
    }
    return *this;
}

void md5_init(md5_state_t* state) {
    if (state->ctx == nullptr) state->ctx = newContext("md5_init");
    digestInit(state->ctx, md5Digest(), "md5_init");
}

void md5_append(md5_state_t* state, const void* data, size_t len) {
    if (state->ctx == nullptr) JX_THROW("md5_append", "MD5 state used before md5_init");
    digestUpdate(state->ctx, data, len, "md5_append");
}

void md5_finish(md5_state_t* state, md5_byte_t digest[16]) {
    if (state->ctx == nullptr) JX_THROW("md5_finish", "MD5 state used before md5_init");
    digestFinal(state->ctx, digest, "md5_finish");
}

namespace Jxc {

void md5(const void* data, size_t len, unsigned char out[16]) {
    oneShot(md5Digest(), data, len, out, "Jxc::md5");
}

void sha1(const void* data, size_t len, unsigned char out[20]) {
    oneShot(sha1Digest(), data, len, out, "Jxc::sha1");
}

Sha1::Sha1() : ctx_(newContext("Jxc::Sha1")) {
    try {
        digestInit(ctx_, sha1Digest(), "Jxc::Sha1");
    } catch (...) {
        EVP_MD_CTX_free(ctx_);
        throw;
    }
}

Sha1::~Sha1() {
    EVP_MD_CTX_free(ctx_);
}

void Sha1::update(const void* data, size_t len) {
    digestUpdate(ctx_, data, len, "Jxc::Sha1");
}

void Sha1::final(unsigned char out[20]) {
    digestFinal(ctx_, out, "Jxc::Sha1");
    digestInit(ctx_, sha1Digest(), "Jxc::Sha1");
}

void sha256(const void* data, size_t len, unsigned char out[32]) {
    oneShot(sha256Digest(), data, len, out, "Jxc::sha256");
}

Sha256::Sha256() : ctx_(newContext("Jxc::Sha256")) {
    try {
        digestInit(ctx_, sha256Digest(), "Jxc::Sha256");
    } catch (...) {
        EVP_MD_CTX_free(ctx_);
        throw;
    }
}

Sha256::~Sha256() {
    EVP_MD_CTX_free(ctx_);
}

void Sha256::update(const void* data, size_t len) {
    digestUpdate(ctx_, data, len, "Jxc::Sha256");
}

void Sha256::final(unsigned char out[32]) {
    digestFinal(ctx_, out, "Jxc::Sha256");
    digestInit(ctx_, sha256Digest(), "Jxc::Sha256");
}

// --- rolling weak sum -------------------------------------------------------

namespace {

uint32_t packSums(uint32_t a, uint32_t b) {
    return (a & 0xffffu) | (b << 16);
}

}  // namespace

// b is the sum of a over every prefix, so appending a byte adds it to a and
// the new a to b. Four bytes at a time: b gains 4a plus the bytes weighted
// 4, 3, 2, 1. Both run modulo 2^32 and are cut to 16 bits at the end, which
// gives the same result as cutting after every step.
uint32_t rsyncUpdate(uint32_t sum, const void* data, size_t len) {
    const auto* p = static_cast<const unsigned char*>(data);
    uint32_t a = sum & 0xffffu;
    uint32_t b = sum >> 16;
    size_t i = 0;
    for (; i + 4 <= len; i += 4) {
        b += 4 * a + 4 * uint32_t{p[i]} + 3 * uint32_t{p[i + 1]} + 2 * uint32_t{p[i + 2]} +
             uint32_t{p[i + 3]};
        a += uint32_t{p[i]} + p[i + 1] + p[i + 2] + p[i + 3];
    }
    for (; i < len; ++i) {
        a += p[i];
        b += a;
    }
    return packSums(a, b);
}

uint32_t rsync(const void* data, size_t len) {
    return rsyncUpdate(0, data, len);
}

uint32_t rsyncRoll(uint32_t sum, size_t len, unsigned char outByte, unsigned char inByte) {
    const uint32_t a = (sum & 0xffffu) - outByte + inByte;
    const uint32_t b = (sum >> 16) - static_cast<uint32_t>(len) * outByte + a;
    return packSums(a, b);
}

// --- block signatures -------------------------------------------------------

uint32_t weakSum(Weak kind, const void* data, size_t len) {
    if (kind == Weak::Rsync) return rsync(data, len);
    uint32_t crc = 0xffffffffu;
    jx_crc32(data, len, &crc);
    return crc;
}

namespace {

constexpr uint32_t kMaxBlockSize = 64u << 20;
constexpr size_t kReadChunk = 1u << 20;

void checkBlockSize(uint32_t blockSize) {
    if (blockSize == 0 || blockSize > kMaxBlockSize)
        JX_THROW("Jxc::blockSums",
                 jxFormat("Block size %u is outside 1..%u", blockSize, kMaxBlockSize));
}

// Blocks signed per pass: enough to fill the MD5 lanes twice over, few
// enough that a sink which stops early wastes little.
constexpr size_t kWindowBlocks = 32;

// Signs consecutive blocks window by window: the weak sums one by one, the
// MD5s of the window's whole blocks together in lanes, a short last block on
// its own; then hands them to the sink in block order.
class Signer {
  public:
    Signer(Weak kind, uint32_t blockSize, const BlockSink& sink)
        : kind_(kind), blockSize_(blockSize), sink_(sink) {}

    // Signs [p, p + len); returns false when the sink asked to stop.
    bool sign(const unsigned char* p, size_t len) {
        for (size_t at = 0; at < len;) {
            const size_t span = std::min(len - at, kWindowBlocks * blockSize_);
            if (!signWindow(p + at, span)) return false;
            at += span;
        }
        return true;
    }
    uint64_t count() const { return next_; }

  private:
    bool signWindow(const unsigned char* p, size_t len) {
        const size_t whole = len / blockSize_;
        const size_t blocks = whole + (len % blockSize_ != 0 ? 1 : 0);
        const unsigned char* starts[kWindowBlocks] = {};
        for (size_t i = 0; i < blocks; ++i) {
            starts[i] = p + i * blockSize_;
            BlockSum& s = sums_[i];
            s.length = static_cast<uint32_t>(std::min<size_t>(blockSize_, len - i * blockSize_));
            s.weak = weakSum(kind_, starts[i], s.length);
        }
        md5Many(starts, whole, blockSize_, digests_);
        if (blocks > whole) md5(starts[whole], sums_[whole].length, digests_[whole]);
        for (size_t i = 0; i < blocks; ++i) {
            if (next_ == UINT32_MAX)
                JX_THROW("Jxc::blockSums", "More blocks than a 32-bit index holds");
            sums_[i].index = next_++;
            std::memcpy(sums_[i].md5, digests_[i], sizeof digests_[i]);
            if (!sink_(sums_[i])) return false;
        }
        return true;
    }

    Weak kind_;
    size_t blockSize_;
    const BlockSink& sink_;
    BlockSum sums_[kWindowBlocks];
    unsigned char digests_[kWindowBlocks][16];
    uint32_t next_ = 0;
};

// Fills buf from offset as far as the file goes; returns the bytes read.
size_t readFull(int fd, unsigned char* buf, size_t len, uint64_t offset) {
    size_t got = 0;
    while (got < len) {
        const ssize_t n =
            jx::fileOps().pread(fd, buf + got, len - got, static_cast<off_t>(offset + got));
        if (n < 0) {
            if (errno == EINTR) continue;
            JX_THROW_ERRNO("Jxc::blockSums",
                           jxFormat("Read failed at offset %llu",
                                    static_cast<unsigned long long>(offset + got)),
                           errno);
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return got;
}

}  // namespace

uint64_t blockSums(const void* data, size_t len, uint32_t blockSize, Weak kind,
                   const BlockSink& sink) {
    checkBlockSize(blockSize);
    Signer signer(kind, blockSize, sink);
    signer.sign(static_cast<const unsigned char*>(data), len);
    return signer.count();
}

// Reads a whole number of blocks per call (about 1 MiB), so small blocks do
// not cost a system call each.
uint64_t blockSums(int fd, uint32_t blockSize, Weak kind, const BlockSink& sink) {
    checkBlockSize(blockSize);
    const size_t chunk = std::max<size_t>(1, kReadChunk / blockSize) * blockSize;
    std::vector<unsigned char> buf(chunk);
    Signer signer(kind, blockSize, sink);
    uint64_t offset = 0;
    for (;;) {
        const size_t got = readFull(fd, buf.data(), chunk, offset);
        if (!signer.sign(buf.data(), got) || got < chunk) return signer.count();
        offset += got;
    }
}

}  // namespace Jxc
