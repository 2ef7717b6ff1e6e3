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

#include "FLR/platform/JxException.h"

void jx_crc32(const void* data, size_t len, uint32_t* crc) {
    *crc = jx_crc32(*crc, data, len);
}
md5_state_t::~md5_state_t() = default;
md5_state_t& md5_state_t::operator=(md5_state_t&&) noexcept {
    return *this;
}
void md5_init(md5_state_t*) {
    JX_THROW("md5_init", "not yet");
}
void md5_append(md5_state_t*, const void*, size_t) {
    JX_THROW("md5_append", "not yet");
}
void md5_finish(md5_state_t*, md5_byte_t*) {
    JX_THROW("md5_finish", "not yet");
}
namespace Jxc {
void md5(const void*, size_t, unsigned char*) {
    JX_THROW("Jxc::md5", "not yet");
}
void sha1(const void*, size_t, unsigned char*) {
    JX_THROW("Jxc::sha1", "not yet");
}
Sha1::Sha1() = default;
Sha1::~Sha1() = default;
void Sha1::update(const void*, size_t) {
    JX_THROW("Jxc::Sha1", "not yet");
}
void Sha1::final(unsigned char*) {
    JX_THROW("Jxc::Sha1", "not yet");
}
uint32_t rsync(const void*, size_t) {
    JX_THROW("Jxc::rsync", "not yet");
}
uint32_t rsyncRoll(uint32_t, size_t, unsigned char, unsigned char) {
    JX_THROW("Jxc::rsyncRoll", "not yet");
}
uint32_t rsyncUpdate(uint32_t, const void*, size_t) {
    JX_THROW("Jxc::rsyncUpdate", "not yet");
}
uint32_t weakSum(Weak, const void*, size_t) {
    JX_THROW("Jxc::weakSum", "not yet");
}
uint64_t blockSums(const void*, size_t, uint32_t, Weak, const BlockSink&) {
    JX_THROW("Jxc::blockSums", "not yet");
}
uint64_t blockSums(int, uint32_t, Weak, const BlockSink&) {
    JX_THROW("Jxc::blockSums", "not yet");
}
}  // namespace Jxc
