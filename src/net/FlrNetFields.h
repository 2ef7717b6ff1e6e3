#pragma once
// The walks over an FLR_NET_* payload: encode (measure, then write), decode,
// ceiling and print. FlrNetMessage.cpp describes each message once, as a call
// per field in wire order
//
//     v.u64("value", b.value);
//     v.u64("offset", b.offset);
//     v.u32("length", b.length);
//     v.bytes("data", b.data, b.length);
//
// and runs that description with one of the visitors below. The field name
// is the label of the text form and the name in an encoder's refusal.
// Private to src/net.
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <string>
#include <type_traits>
#include <vector>

#include "FlrNetWire.h"

namespace flrnetwire {

// Writes the fields, or only measures them (WireWriter(nullptr)). Arguments
// are checked on both passes, so a bad message throws before anything is
// written.
class EncodeFields {
  public:
    explicit EncodeFields(WireWriter& w) : w_(w) {}

    template <class T>
    void u8(const char*, const T& f) {
        w_.u8(static_cast<uint8_t>(f));
    }
    template <class T>
    void u32(const char*, const T& f) {
        w_.u32(static_cast<uint32_t>(f));
    }
    template <class T>
    void u64(const char*, const T& f) {
        w_.u64(static_cast<uint64_t>(f));
    }
    // Written as 0 whatever the message holds; read back as it came.
    void filler(const char*, const int&) { w_.u32(0); }
    void constant(const char*, uint8_t v) { w_.u8(v); }
    void reserved(const char*) { w_.u8(0); }
    void str(const char*, const char* s) { w_.str(s); }
    void count(const char*, const int& n) { w_.u32(static_cast<uint32_t>(n)); }
    // Arrays of a shared count; elements of raw bytes, or host-order integers
    // that travel big-endian.
    template <class P>
    void blob(const char* name, const P& p, int n, size_t elem) {
        w_.bytes(p, elem * checkedCount(n, p, name));
    }
    template <class P>
    void array32(const char* name, const P& p, int n) {
        w_.array32(p, checkedCount(n, p, name));
    }
    template <class P>
    void array64(const char* name, const P& p, int n) {
        w_.array64(p, checkedCount(n, p, name));
    }
    template <class P>
    void aligned64(const char* name, const P& p, int n) {
        w_.array64(p, checkedCount(n, p, name));
    }
    // Bytes whose length a field before them gave.
    void bytes(const char*, const void* p, uint32_t len) {
        if (len > static_cast<uint32_t>(INT_MAX) || (len > 0 && !p))
            JX_THROW(kEncodeFn, "Invalid arguments: a block needs its bytes");
        w_.bytes(p, len);
    }
    // The whole payload.
    void raw(const char*, const FlrNetRawBody& b, uint32_t) {
        if (b.len < 0 || (b.len > 0 && !b.data))
            JX_THROW(kEncodeFn, "Invalid arguments: a raw payload needs its bytes");
        w_.bytes(b.data, static_cast<size_t>(b.len));
    }
    // MIR_ATTRS: the item count, then the block of items.
    void xattrs(const char*, const uint32_t& n, const unsigned char* block, uint32_t len) {
        if (len > 0 && !block)
            JX_THROW(kEncodeFn, "Invalid arguments: an attribute block needs its bytes");
        w_.u32(n);
        w_.bytes(block, len);
    }
    void require(bool, const char*) {}

  private:
    static size_t checkedCount(int count, const void* array, const char* what) {
        if (count < 0)
            JX_THROW(kEncodeFn,
                     jxFormat("Invalid arguments: negative count %d of %s", count, what));
        if (count > 0 && !array) JX_THROW(kEncodeFn, jxFormat("Invalid arguments: %s==NULL", what));
        return static_cast<size_t>(count);
    }

    WireWriter& w_;
};

// Reads the fields from a received payload, checking each against its length.
// Arrays are converted to host order in place only by finish(), once every
// field was found inside the payload, so a refused frame stays as it came.
class DecodeFields {
  public:
    DecodeFields(WireReader& r, std::vector<long long>& aligned) : r_(r), aligned_(aligned) {}

    template <class T>
    void u8(const char*, T& f) {
        f = static_cast<T>(r_.u8());
    }
    template <class T>
    void u32(const char*, T& f) {
        f = static_cast<T>(r_.u32());
    }
    template <class T>
    void u64(const char*, T& f) {
        f = static_cast<T>(r_.u64());
    }
    void filler(const char*, int& f) { f = static_cast<int>(r_.u32()); }
    void constant(const char* name, uint8_t v) {
        const uint8_t got = r_.u8();
        if (got != v) r_.refuse(jxFormat("%s %u is not known here", name, got));
    }
    void reserved(const char*) { r_.u8(); }
    void str(const char*, const char*& s) { s = r_.str(); }
    void count(const char*, int& n) { n = r_.count(); }
    template <class P>
    void blob(const char*, P& p, int n, size_t elem) {
        p = reinterpret_cast<P>(r_.array(n, elem));
    }
    template <class P>
    void array32(const char*, P& p, int n) {
        p = reinterpret_cast<P>(later(r_.array(n, 4), n, 4));
    }
    template <class P>
    void array64(const char*, P& p, int n) {
        p = reinterpret_cast<P>(later(r_.array(n, 8), n, 8));
    }
    // A 64-bit array the wire places where its type may not sit: its values
    // go to aligned storage (both arrays of a message share it).
    void aligned64(const char*, long long*& p, int n) {
        const unsigned char* src = r_.array(n, 8);
        const size_t at = alignedUsed_;
        alignedUsed_ += static_cast<size_t>(n);
        aligned_.resize(alignedUsed_);
        for (int i = 0; i < n; ++i)
            aligned_[at + i] = static_cast<long long>(jx::loadBE64(src + 8 * i));
        alignedAt_[alignedArrays_] = at;
        alignedOut_[alignedArrays_++] = &p;
    }
    void bytes(const char*, const void*& p, uint32_t len) { p = r_.bytes(len); }
    void raw(const char*, FlrNetRawBody& b, uint32_t) {
        b.len = static_cast<int>(r_.left());
        b.data = r_.bytes(r_.left());
    }
    void xattrs(const char*, uint32_t& n, const unsigned char*& block, uint32_t& len) {
        n = r_.u32();
        block = r_.rest();
        std::string why;
        const size_t used = flrNetCheckXattrBlock(block, r_.left(), n, &why);
        if (!why.empty()) r_.refuse(why);
        r_.bytes(used);
        len = static_cast<uint32_t>(used);
    }
    void require(bool ok, const char* why) {
        if (!ok) r_.refuse(why);
    }

    // Converts the arrays; the pointers into aligned storage are set only
    // now, as its growth may have moved it.
    void finish() {
        for (unsigned i = 0; i < swaps_; ++i) {
            unsigned char* p = swap_[i].p;
            for (int k = 0; k < swap_[i].n; ++k, p += swap_[i].size) {
                if (swap_[i].size == 4)
                    jx::storeLE32(p, jx::loadBE32(p));
                else
                    jx::storeLE64(p, jx::loadBE64(p));
            }
        }
        for (unsigned i = 0; i < alignedArrays_; ++i)
            *alignedOut_[i] = aligned_.data() + alignedAt_[i];
    }

  private:
    static constexpr unsigned kMaxArrays = 2;

    unsigned char* later(unsigned char* p, int n, size_t size) {
        swap_[swaps_++] = {p, n, size};
        return p;
    }

    struct Swap {
        unsigned char* p;
        int n;
        size_t size;
    };
    WireReader& r_;
    std::vector<long long>& aligned_;
    Swap swap_[kMaxArrays];
    unsigned swaps_ = 0;
    size_t alignedUsed_ = 0;
    size_t alignedAt_[kMaxArrays];
    long long** alignedOut_[kMaxArrays];
    unsigned alignedArrays_ = 0;
};

// The largest payload a type may carry, from the kinds of its fields: a few
// bytes for fixed fields, one path's worth with a string, the data ceiling
// with arrays or data, a raw body its own.
template <uint32_t kControl, uint32_t kPath, uint32_t kData, uint32_t kAttrs>
class CeilingFields {
  public:
    uint32_t ceiling = kControl;

    template <class T>
    void u8(const char*, const T&) {}
    template <class T>
    void u32(const char*, const T&) {}
    template <class T>
    void u64(const char*, const T&) {}
    void filler(const char*, const int&) {}
    void constant(const char*, uint8_t) {}
    void reserved(const char*) {}
    void str(const char*, const char*) { atLeast(kPath); }
    void count(const char*, const int&) {}
    template <class P>
    void blob(const char*, const P&, int, size_t) {
        atLeast(kData);
    }
    template <class P>
    void array32(const char*, const P&, int) {
        atLeast(kData);
    }
    template <class P>
    void array64(const char*, const P&, int) {
        atLeast(kData);
    }
    template <class P>
    void aligned64(const char*, const P&, int) {
        atLeast(kData);
    }
    void bytes(const char*, const void*, uint32_t) { atLeast(kData); }
    void raw(const char*, const FlrNetRawBody&, uint32_t most) { atLeast(most); }
    void xattrs(const char*, const uint32_t&, const unsigned char*, uint32_t) { atLeast(kAttrs); }
    void require(bool, const char*) {}

  private:
    void atLeast(uint32_t n) {
        if (n > ceiling) ceiling = n;
    }
};

// "name=value" per field; arrays show their first elements.
class PrintFields {
  public:
    explicit PrintFields(std::string& out) : out_(out) {}

    template <class T>
    void u8(const char* name, const T& f) {
        number(name, static_cast<long long>(f));
    }
    template <class T>
    void u32(const char* name, const T& f) {
        number(name, static_cast<long long>(f));
    }
    template <class T>
    void u64(const char* name, const T& f) {
        if constexpr (std::is_signed_v<T>)
            number(name, static_cast<long long>(f));
        else
            add(name, jxFormat("%" PRIu64, static_cast<uint64_t>(f)));
    }
    void filler(const char* name, const int& f) { number(name, f); }
    void constant(const char*, uint8_t) {}
    void reserved(const char*) {}
    void str(const char* name, const char* s) {
        add(name, std::string("\"") + (s ? s : "") + "\"");
    }
    void count(const char* name, const int& n) { number(name, n); }
    template <class P>
    void blob(const char* name, const P& p, int n, size_t elem) {
        std::string t;
        const auto* b = reinterpret_cast<const unsigned char*>(p);
        for (int i = 0; i < shown(n); ++i) {
            if (i) t += ' ';
            for (size_t k = 0; k < elem; ++k) t += jxFormat("%02x", b[i * elem + k]);
        }
        add(name, list(t, n));
    }
    template <class P>
    void array32(const char* name, const P& p, int n) {
        std::string t;
        for (int i = 0; i < shown(n); ++i)
            t += jxFormat(i ? " %u" : "%u", flrNetLoad(p, static_cast<size_t>(i)));
        add(name, list(t, n));
    }
    template <class P>
    void array64(const char* name, const P& p, int n) {
        std::string t;
        for (int i = 0; i < shown(n); ++i)
            t += jxFormat(i ? " %lld" : "%lld",
                          static_cast<long long>(flrNetLoad(p, static_cast<size_t>(i))));
        add(name, list(t, n));
    }
    template <class P>
    void aligned64(const char* name, const P& p, int n) {
        array64(name, p, n);
    }
    void bytes(const char* name, const void* p, uint32_t len) {
        blob(name, static_cast<const unsigned char*>(p), static_cast<int>(len), 1);
    }
    void raw(const char* name, const FlrNetRawBody& b, uint32_t) {
        blob(name, static_cast<const unsigned char*>(b.data), b.len, 1);
    }
    void xattrs(const char* name, const uint32_t& n, const unsigned char*, uint32_t len) {
        add(name, jxFormat("%u items in %u bytes", n, len));
    }
    void require(bool, const char*) {}

  private:
    static constexpr int kShown = 16;

    static int shown(int n) { return n < kShown ? n : kShown; }
    static std::string list(const std::string& t, int n) {
        return "[" + t + (n > kShown ? " ...]" : "]");
    }
    void number(const char* name, long long v) { add(name, std::to_string(v)); }
    void add(const char* name, const std::string& v) {
        out_ += ' ';
        out_ += name;
        out_ += '=';
        out_ += v;
    }

    std::string& out_;
};

}  // namespace flrnetwire
