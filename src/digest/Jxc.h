#pragma once
// Checksums: CRC-32 (zlib's polynomial) and the other digests of the library:
// CRC-32C, the rsync-style rolling weak sum, MD5 and SHA-1 (OpenSSL EVP), and
// the per-block signatures that head and tail both compute when they compare
// copies of a file block by block.
#include <cstddef>
#include <cstdint>
#include <functional>

// Raw CRC-32 register update: no implicit inversion in or out, so a caller
// chooses its start value (0xffffffff for the stub envelope) and keeps the
// register as the stored value. Continuation: jx_crc32(jx_crc32(s, a), b) ==
// jx_crc32(s, a+b).
uint32_t jx_crc32(uint32_t crc, const void* data, size_t len);

// The same register update in place: *crc = jx_crc32(*crc, data, len). The
// block comparison starts the register at 0xffffffff and compares the raw
// register afterwards (the standard CRC-32 of the block is its complement,
// ~*crc; "123456789" leaves 0x340bc6d9 = ~0xcbf43926).
void jx_crc32(const void* data, size_t len, uint32_t* crc);

// Raw CRC-32C (Castagnoli) register update, same conventions as jx_crc32. Uses
// the processor's crc32 instruction where it has one (several GB/s), so it
// can run on every byte of a hot write path.
uint32_t jx_crc32c(uint32_t crc, const void* data, size_t len);

// MD5 (RFC 1321) in the classic init/append/finish shape. MD5 here only spots
// blocks that changed between two copies of a file; it is no security
// measure, so it is taken from OpenSSL even where a FIPS default would hide
// it. The state owns an OpenSSL digest context; md5_init may be called again
// on a finished (or half-used) state to reuse the context, which is much
// cheaper than a new state per block. Failures throw JxException.
typedef unsigned char md5_byte_t;
struct evp_md_ctx_st;
struct md5_state_t {
    md5_state_t() = default;
    ~md5_state_t();
    md5_state_t(md5_state_t&& other) noexcept : ctx(other.ctx) { other.ctx = nullptr; }
    md5_state_t& operator=(md5_state_t&& other) noexcept;
    md5_state_t(const md5_state_t&) = delete;
    md5_state_t& operator=(const md5_state_t&) = delete;

    evp_md_ctx_st* ctx = nullptr;
};
void md5_init(md5_state_t* state);
void md5_append(md5_state_t* state, const void* data, size_t len);
// Writes the 16-byte digest; the state must be initialised again before reuse.
void md5_finish(md5_state_t* state, md5_byte_t digest[16]);

namespace Jxc {

// One-shot digests.
void md5(const void* data, size_t len, unsigned char out[16]);
void sha1(const void* data, size_t len, unsigned char out[20]);
void sha256(const void* data, size_t len, unsigned char out[32]);

// MD5 of count independent messages of len bytes each (msgs[i] -> out[i]).
// Where the processor has vector units, several messages share one pass, a
// 32-bit lane each (16 with AVX-512, 8 with AVX2); otherwise, and for a lone
// message, OpenSSL digests them one by one. The digests are the same either
// way. Messages of different lengths need separate calls.
void md5Many(const unsigned char* const* msgs, size_t count, size_t len, unsigned char (*out)[16]);

// How md5Many computes: Auto is the best path this processor has. Forcing a
// path lets tests and benchmarks compare them; md5UsePath returns false and
// changes nothing when the processor lacks it. Not meant to change while
// other threads digest.
enum class Md5Path : uint8_t { Auto, OpenSSL, Avx2, Avx512 };
bool md5UsePath(Md5Path path);
// The path md5Many takes now (never Auto) and its lane count (1 for OpenSSL).
Md5Path md5Path();
size_t md5Lanes();

// Incremental SHA-1 (FIPS 180-4). After final() the object starts over.
class Sha1 {
  public:
    Sha1();
    ~Sha1();
    Sha1(const Sha1&) = delete;
    Sha1& operator=(const Sha1&) = delete;
    void update(const void* data, size_t len);
    void final(unsigned char out[20]);

  private:
    evp_md_ctx_st* ctx_ = nullptr;
};

// Incremental SHA-256; one object hashes block after block without a new
// digest context each time (content-defined blocks are only ~8 KiB). After
// final() the object starts over.
class Sha256 {
  public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    void update(const void* data, size_t len);
    void final(unsigned char out[32]);
    // update + final of one buffer.
    void digest(const void* data, size_t len, unsigned char out[32]) {
        update(data, len);
        final(out);
    }

  private:
    evp_md_ctx_st* ctx_ = nullptr;
};

// Rolling weak sum in rsync's form: over the bytes x[0..n-1] of a window
// (taken unsigned, character offset 0),
//   a = sum x[i]              (mod 2^16)
//   b = sum (n - i) * x[i]    (mod 2^16)
// and the sum is a | b << 16. Moving the window one byte costs a few
// additions, so a sender can look for a block of the other side's copy at
// every byte offset of its own file.
//
// rsync(data, len): the sum of one window.
uint32_t rsync(const void* data, size_t len);
// Slides a window of len bytes by one: outByte leaves at the front, inByte
// joins at the back. Equals rsync() of the moved window.
uint32_t rsyncRoll(uint32_t sum, size_t len, unsigned char outByte, unsigned char inByte);
// Extends a window's sum by the bytes that follow it:
// rsyncUpdate(rsync(p, n), p + n, m) == rsync(p, n + m); rsyncUpdate(0, p, n)
// == rsync(p, n).
uint32_t rsyncUpdate(uint32_t sum, const void* data, size_t len);

// Which weak sum a block signature carries: the MD5 block comparison uses the
// CRC-32 register (started at 0xffffffff, see jx_crc32 above), the rsync delta
// the rolling sum, since only that one can be moved byte by byte.
enum class Weak : uint8_t { Crc32 = 0, Rsync = 1 };

uint32_t weakSum(Weak kind, const void* data, size_t len);

// Signature of one block of a file: its index (offset = index * block size),
// weak sum, length (the last block may be short) and MD5 digest. On the wire
// the weak sum travels as 4 big-endian bytes (jx::storeBE32).
struct BlockSum {
    uint32_t index = 0;
    uint32_t weak = 0;
    uint32_t length = 0;
    unsigned char md5[16] = {};
};

// Receives the signatures in block order; returning false stops the walk.
using BlockSink = std::function<bool(const BlockSum&)>;

// Signs data in blocks of blockSize bytes (the last one may be shorter; empty
// data has no blocks). Returns the number of blocks handed to sink. A block
// size of 0 or above 64 MiB throws (it may come from the other host).
uint64_t blockSums(const void* data, size_t len, uint32_t blockSize, Weak kind,
                   const BlockSink& sink);

// The same over an open file, read from offset 0 to its end through the
// platform's file operations (pread, so the descriptor's offset is left
// alone). A read error throws JxException with the errno text; the caller
// adds the file's name.
uint64_t blockSums(int fd, uint32_t blockSize, Weak kind, const BlockSink& sink);

}  // namespace Jxc
