#pragma once
// Big-endian field writers and bounds-checked readers of the FLR_NET_*
// payload codec (FlrNetMessage.cpp); private to the net layer.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "FLR/JxException.h"
#include "FlrNetMessage.h"
#include "platform/JxCoding.h"

namespace flrnetwire {

inline const char* const kEncodeFn = "FlrNetBase::encodeMessage";
inline const char* const kDecodeFn = "FlrNetBase::decodeMessage";

// Writes big-endian fields at out, or only counts them when out is null.
class WireWriter {
  public:
    explicit WireWriter(unsigned char* out) : out_(out) {}

    size_t size() const { return pos_; }

    void u8(uint8_t v) { put(&v, 1); }
    void u32(uint32_t v) {
        unsigned char b[4];
        jx::storeBE32(b, v);
        put(b, 4);
    }
    void u64(uint64_t v) {
        unsigned char b[8];
        jx::storeBE64(b, v);
        put(b, 8);
    }
    void bytes(const void* p, size_t n) {
        if (n) put(p, n);
    }
    // A null string travels as an empty one.
    void str(const char* s) {
        if (!s) s = "";
        put(s, std::strlen(s) + 1);
    }
    void array32(const void* p, size_t n) {
        if (!out_) {
            pos_ += 4 * n;
            return;
        }
        const auto* src = static_cast<const unsigned char*>(p);
        for (size_t i = 0; i < n; ++i) u32(jx::loadLE32(src + 4 * i));
    }
    void array64(const void* p, size_t n) {
        if (!out_) {
            pos_ += 8 * n;
            return;
        }
        const auto* src = static_cast<const unsigned char*>(p);
        for (size_t i = 0; i < n; ++i) u64(jx::loadLE64(src + 8 * i));
    }

  private:
    void put(const void* p, size_t n) {
        if (out_) std::memcpy(out_ + pos_, p, n);
        pos_ += n;
    }

    unsigned char* out_;
    size_t pos_ = 0;
};

// Reads fields from a received payload, refusing anything past its end.
class WireReader {
  public:
    WireReader(unsigned char* p, size_t n, int type) : p_(p), n_(n), type_(type) {}

    uint8_t u8() { return *take(1, "fixed fields"); }
    uint32_t u32() { return jx::loadBE32(take(4, "fixed fields")); }
    uint64_t u64() { return jx::loadBE64(take(8, "fixed fields")); }
    int count() { return static_cast<int>(u32()); }
    // Element counts come from the peer: the array must lie inside the
    // payload (the multiplication cannot overflow: 2^32 * 44 fits 64 bits).
    unsigned char* array(int count, size_t elemSize) {
        if (count < 0 || static_cast<uint64_t>(static_cast<uint32_t>(count)) * elemSize > n_ - pos_)
            JX_THROW(kDecodeFn, jxFormat("%s message of %zu bytes: count %u points past its end",
                                         flrNetMsgName(type_), n_, static_cast<uint32_t>(count)));
        return take(static_cast<size_t>(count) * elemSize, "arrays");
    }
    unsigned char* bytes(size_t n) { return take(n, "data"); }
    // What follows the fields read so far (not consumed).
    unsigned char* rest() { return p_ + pos_; }
    size_t left() const { return n_ - pos_; }
    [[noreturn]] void refuse(const std::string& why) const {
        JX_THROW(kDecodeFn, jxFormat("%s message of %zu bytes: ", flrNetMsgName(type_), n_) + why);
    }
    const char* str() {
        const void* nul = pos_ < n_ ? std::memchr(p_ + pos_, 0, n_ - pos_) : nullptr;
        if (!nul)
            JX_THROW(kDecodeFn, jxFormat("%s message of %zu bytes: string without its NUL inside "
                                         "the payload",
                                         flrNetMsgName(type_), n_));
        const char* s = reinterpret_cast<const char*>(p_ + pos_);
        pos_ = static_cast<size_t>(static_cast<const unsigned char*>(nul) - p_) + 1;
        return s;
    }

  private:
    unsigned char* take(size_t n, const char* what) {
        if (n > n_ - pos_)
            JX_THROW(kDecodeFn, jxFormat("%s message of %zu bytes is shorter than its %s",
                                         flrNetMsgName(type_), n_, what));
        unsigned char* at = p_ + pos_;
        pos_ += n;
        return at;
    }

    unsigned char* p_;
    size_t n_;
    size_t pos_ = 0;
    int type_;
};

}  // namespace flrnetwire
