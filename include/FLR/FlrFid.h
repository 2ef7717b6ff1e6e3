#pragma once
// The file identifier: an opaque 24-byte value that names one file
// independently of its path. The library never looks inside it; it copies,
// compares and prints it byte by byte. Text form: 48 lower-case hex digits,
// first byte first.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>

#include "FLR/FlrExport.h"

struct FLR_EXPORT fsf_fid {
    static constexpr size_t kSize = 24;
    // Length of the text form without its NUL.
    static constexpr size_t kHexLen = 2 * kSize;

    uint8_t bytes[kSize];

    // All zero: no identifier is known.
    static const fsf_fid fid0;

    std::string toString() const;
    bool isZero() const { return *this == fid0; }

    friend bool operator==(const fsf_fid& a, const fsf_fid& b) {
        return std::memcmp(a.bytes, b.bytes, kSize) == 0;
    }
    friend bool operator!=(const fsf_fid& a, const fsf_fid& b) { return !(a == b); }
    // Byte order, so identifiers can key ordered containers.
    friend bool operator<(const fsf_fid& a, const fsf_fid& b) {
        return std::memcmp(a.bytes, b.bytes, kSize) < 0;
    }
};

static_assert(sizeof(fsf_fid) == fsf_fid::kSize, "fsf_fid is exactly 24 bytes");

// Writes the 48 hex digits of the 24 bytes at fid and a NUL into out (49
// bytes); returns out.
FLR_EXPORT char* fid2hex(const void* fid, char* out);

// Parses the text form (either case). Throws JxException (function
// "str2fid", source "FlrHelper", code -1) with "Invalid FID \"<text>\": too
// short." or "...: too long.", and "...: not a hexadecimal digit." for any
// other character.
FLR_EXPORT fsf_fid str2fid(const std::string& text);

template <>
struct std::hash<fsf_fid> {
    size_t operator()(const fsf_fid& fid) const noexcept {
        // The identifier's bytes are already well spread (inode, generation);
        // folding the three words is enough for hashing.
        uint64_t w[3];
        std::memcpy(w, fid.bytes, sizeof w);
        uint64_t h = w[0] * 0x9e3779b97f4a7c15ULL;
        h ^= w[1] + 0x7f4a7c159e3779b9ULL + (h << 6) + (h >> 2);
        h ^= w[2] + 0x94d049bb133111ebULL + (h << 6) + (h >> 2);
        return static_cast<size_t>(h);
    }
};
