#pragma once
// The four walks over a journal record body: decode, size, encode and print.
// Each codec describes a body once, as a call per field in wire order
//
//     v.fid("fid", c.write.fid);
//     v.u64("offset", c.write.offset);
//     v.u32("size", c.write.size);
//     v.bytes("data", c.write.data, c.write.size, kCopied | kShown);
//
// and runs that description with one of the visitors below. The field name is
// the label of the dump and the name in a checked decoder's refusal. Every
// member is inlined, so a walk compiles to the same straight-line loads and
// stores as a hand-written codec. Private to src/journal.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "FLR/FlrRawJournal.h"
#include "FlrJrnWire.h"

#define FLR_JRN_INLINE inline __attribute__((always_inline))

namespace flrwire {

// How a number reads in a dump; 64-bit fields print as long long.
enum class Show { Dec, Oct, Hex };

// Payload traits: kCopied goes through the raw encoder's copy routine when
// one is given, kShown prints a preview of its text.
enum PayloadTrait : unsigned { kPlain = 0, kCopied = 1, kShown = 2 };

// No body has more strings than this.
constexpr unsigned kMaxStrings = 4;

template <bool Checked>
class DecodeFields {
  public:
    explicit DecodeFields(Reader<Checked>& r) : r_(r) {}

    template <class T>
    FLR_JRN_INLINE void u8(const char* name, T& f, Show = Show::Dec) {
        f = static_cast<T>(r_.u8(name));
    }
    template <class T>
    FLR_JRN_INLINE void u32(const char* name, T& f, Show = Show::Dec) {
        f = static_cast<T>(r_.u32(name));
    }
    template <class T>
    FLR_JRN_INLINE void u64(const char* name, T& f, Show = Show::Dec) {
        f = static_cast<T>(r_.u64(name));
    }
    FLR_JRN_INLINE void time(const char* name, FlrJrnTime& t) {
        t.sec = r_.u32(name);
        t.sub = r_.u32(name);
    }
    FLR_JRN_INLINE void fid(const char* name, fsf_fid& f) { r_.fid(f, name); }
    FLR_JRN_INLINE void str(const char* name, const char*& s) { s = r_.str(name); }
    FLR_JRN_INLINE void bytes(const char* name, const void*& data, uint32_t len, unsigned) {
        data = r_.bytes(len, name);
    }
    // A field with no bytes behind it that decoding clears.
    template <class T>
    FLR_JRN_INLINE void cleared(T& f) {
        f = 0;
    }

  private:
    Reader<Checked>& r_;
};

// Adds up the encoded size, wide so that a record too long for its 24-bit
// length is seen rather than wrapped, and keeps each string's length for the
// encoder so that no string is measured twice.
class SizeFields {
  public:
    explicit SizeFields(uint64_t header) : total(header) {}

    template <class T>
    FLR_JRN_INLINE void u8(const char*, const T&, Show = Show::Dec) {
        total += 1;
    }
    template <class T>
    FLR_JRN_INLINE void u32(const char*, const T&, Show = Show::Dec) {
        total += 4;
    }
    template <class T>
    FLR_JRN_INLINE void u64(const char*, const T&, Show = Show::Dec) {
        total += 8;
    }
    FLR_JRN_INLINE void time(const char*, const FlrJrnTime&) { total += 8; }
    FLR_JRN_INLINE void fid(const char*, const fsf_fid&) { total += fsf_fid::kSize; }
    FLR_JRN_INLINE void str(const char*, const char* s) {
        const size_t n = strLen(s);
        lens[strings++] = n;
        total += n + 1;
    }
    FLR_JRN_INLINE void bytes(const char*, const void*, uint32_t len, unsigned) { total += len; }
    template <class T>
    FLR_JRN_INLINE void cleared(const T&) {}

    uint64_t total;
    size_t lens[kMaxStrings];
    unsigned strings = 0;
};

// Lays the body down after SizeFields has measured it.
class EncodeFields {
  public:
    EncodeFields(Writer& w, const SizeFields& sized, FlrJrnCopyFn copyFn, void* ctx)
        : w_(w), lens_(sized.lens), copyFn_(copyFn), ctx_(ctx) {}

    template <class T>
    FLR_JRN_INLINE void u8(const char*, const T& f, Show = Show::Dec) {
        w_.u8(static_cast<uint8_t>(f));
    }
    template <class T>
    FLR_JRN_INLINE void u32(const char*, const T& f, Show = Show::Dec) {
        w_.u32(static_cast<uint32_t>(f));
    }
    template <class T>
    FLR_JRN_INLINE void u64(const char*, const T& f, Show = Show::Dec) {
        w_.u64(static_cast<uint64_t>(f));
    }
    FLR_JRN_INLINE void time(const char*, const FlrJrnTime& t) {
        w_.u32(static_cast<uint32_t>(t.sec));
        w_.u32(static_cast<uint32_t>(t.sub));
    }
    FLR_JRN_INLINE void fid(const char*, const fsf_fid& f) { w_.fid(f); }
    FLR_JRN_INLINE void str(const char*, const char* s) { w_.strn(s, lens_[string_++]); }
    // The length counts in full whatever the copy routine answers.
    FLR_JRN_INLINE void bytes(const char*, const void* data, uint32_t len, unsigned traits) {
        if (copyFn_ && (traits & kCopied)) {
            rc = copyFn_(w_.pos(), data, static_cast<int>(len), ctx_);
            w_.skip(len);
        } else {
            w_.bytes(data, len);
        }
    }
    template <class T>
    FLR_JRN_INLINE void cleared(const T&) {}

    int rc = 0;  // the copy routine's answer for the record's payload

  private:
    Writer& w_;
    const size_t* lens_;
    unsigned string_ = 0;
    FlrJrnCopyFn copyFn_;
    void* ctx_;
};

// Appends to a fixed buffer as one snprintf of the whole text would: a short
// buffer keeps the leading part and its NUL.
class TextOut {
  public:
    TextOut(char* buf, size_t size) : buf_(buf), size_(size) {}

    void add(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (used_ + 1 >= size_) return;
        va_list ap;
        va_start(ap, fmt);
        const int n = std::vsnprintf(buf_ + used_, size_ - used_, fmt, ap);
        va_end(ap);
        if (n <= 0) return;
        const size_t room = size_ - used_ - 1;
        used_ += static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room;
    }
    // "\nname............ ": every label is padded with dots to 17 characters.
    void label(const char* name) {
        static constexpr char kDots[] = ".................";
        const int pad = 17 - static_cast<int>(std::strlen(name));
        add("\n%s%.*s ", name, pad > 0 ? pad : 0, kDots);
    }

  private:
    char* buf_;
    size_t size_;
    size_t used_ = 0;
};

class PrintFields {
  public:
    explicit PrintFields(TextOut& out) : out_(out) {}

    template <class T>
    void u8(const char* name, const T& f, Show s = Show::Dec) {
        number(name, f, s);
    }
    template <class T>
    void u32(const char* name, const T& f, Show s = Show::Dec) {
        number(name, f, s);
    }
    template <class T>
    void u64(const char* name, const T& f, Show s = Show::Dec) {
        number(name, f, s);
    }
    void time(const char* name, const FlrJrnTime& t) {
        out_.label(name);
        out_.add("(%ld, %ld)", static_cast<long>(t.sec), static_cast<long>(t.sub));
    }
    void fid(const char* name, const fsf_fid& f) {
        char text[fsf_fid::kHexLen + 1];
        fid2hex(f.bytes, text);
        out_.label(name);
        out_.add("%s", text);
    }
    void str(const char* name, const char* s) {
        out_.label(name);
        out_.add("%s", s ? s : "(null)");
    }
    void bytes(const char* name, const void* data, uint32_t len, unsigned traits) {
        if (!(traits & kShown)) return;
        char shown[61];
        payloadPreview(data, len, shown);
        out_.label(name);
        out_.add("%s...", shown);
    }
    template <class T>
    void cleared(const T&) {}

  private:
    template <class T>
    void number(const char* name, T v, Show s) {
        out_.label(name);
        if constexpr (sizeof(T) == 8) {
            if (s == Show::Hex) {
                out_.add("0x%llx", static_cast<unsigned long long>(v));
            } else {
                out_.add("%lld", static_cast<long long>(v));
            }
        } else if (s == Show::Oct) {
            out_.add("%o", static_cast<unsigned>(v));
        } else if (s == Show::Hex) {
            out_.add("0x%x", static_cast<unsigned>(v));
        } else {
            out_.add("%d", static_cast<int>(v));
        }
    }

    TextOut& out_;
};

}  // namespace flrwire
