#pragma once
// Byte-level helpers shared by the raw and network journal codecs: a reader
// that walks a record body and a writer that lays one down, both on the
// big-endian coding of JxCoding.h. Private to src/journal.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "FLR/FlrFid.h"
#include "platform/JxCoding.h"

namespace flrwire {

// Length of a string field; a null pointer encodes as the empty string.
inline size_t strLen(const char* s) {
    return s ? std::strlen(s) : 0;
}

// Walks a record body. Checked readers stop at `end`: the first field that
// does not fit is remembered, the cursor jumps to the end and every later
// read yields zero without touching memory. Unchecked readers trust the
// record, as the plain decoders always have.
template <bool Checked>
class Reader {
  public:
    enum class Fault { None, Field, String, Payload };

    Reader(const uint8_t* p, const uint8_t* end) : p_(p), end_(end) {}

    bool ok() const { return fault_ == Fault::None; }
    const uint8_t* pos() const { return p_; }
    size_t remaining() const { return static_cast<size_t>(end_ - p_); }

    uint8_t u8(const char* field) { return need(1, field, Fault::Field) ? *p_++ : 0; }
    uint32_t u32(const char* field) {
        if (!need(4, field, Fault::Field)) return 0;
        const uint32_t v = jx::loadBE32(p_);
        p_ += 4;
        return v;
    }
    uint64_t u64(const char* field) {
        if (!need(8, field, Fault::Field)) return 0;
        const uint64_t v = jx::loadBE64(p_);
        p_ += 8;
        return v;
    }
    void fid(fsf_fid& out, const char* field) {
        if (!need(fsf_fid::kSize, field, Fault::Field)) {
            out = fsf_fid::fid0;
            return;
        }
        std::memcpy(out.bytes, p_, fsf_fid::kSize);
        p_ += fsf_fid::kSize;
    }
    // A NUL-terminated string; the pointer aims into the record.
    const char* str(const char* field) {
        const char* s = reinterpret_cast<const char*>(p_);
        if constexpr (Checked) {
            if (!ok()) return "";
            const void* nul = std::memchr(p_, 0, remaining());
            if (!nul) {
                fail(field, Fault::String, 0);
                return "";
            }
            p_ = static_cast<const uint8_t*>(nul) + 1;
        } else {
            p_ += std::strlen(s) + 1;
        }
        return s;
    }
    // `len` raw bytes; the pointer aims into the record.
    const void* bytes(uint32_t len, const char* field) {
        if (!need(len, field, Fault::Payload)) return nullptr;
        const void* b = p_;
        p_ += len;
        return b;
    }

    // "short_name runs past the end of the record", for a failed walk.
    std::string faultText() const {
        char text[160];
        switch (fault_) {
            case Fault::None:
                return {};
            case Fault::Payload:
                std::snprintf(text, sizeof text,
                              "%s of %zu bytes runs past the end of the record (%zu left)", field_,
                              wanted_, left_);
                return text;
            case Fault::String:
                std::snprintf(text, sizeof text,
                              "%s runs past the end of the record (no terminating NUL)", field_);
                return text;
            case Fault::Field:
                break;
        }
        std::snprintf(text, sizeof text, "%s runs past the end of the record", field_);
        return text;
    }

  private:
    bool need(size_t n, const char* field, Fault kind) {
        if constexpr (!Checked) {
            (void)field;
            (void)kind;
            return true;
        } else {
            if (remaining() >= n && ok()) return true;
            fail(field, kind, n);
            return false;
        }
    }
    void fail(const char* field, Fault kind, size_t wanted) {
        if (ok()) {
            fault_ = kind;
            field_ = field;
            wanted_ = wanted;
            left_ = remaining();
        }
        p_ = end_;
    }

    const uint8_t* p_;
    const uint8_t* end_;
    Fault fault_ = Fault::None;
    const char* field_ = "";
    size_t wanted_ = 0;
    size_t left_ = 0;
};

// Lays down a record into a buffer the caller sized beforehand.
class Writer {
  public:
    explicit Writer(uint8_t* p) : start_(p), p_(p) {}

    size_t written() const { return static_cast<size_t>(p_ - start_); }
    uint8_t* pos() { return p_; }
    void skip(size_t n) { p_ += n; }

    void u8(uint8_t v) { *p_++ = v; }
    void u32(uint32_t v) {
        jx::storeBE32(p_, v);
        p_ += 4;
    }
    void u64(uint64_t v) {
        jx::storeBE64(p_, v);
        p_ += 8;
    }
    void fid(const fsf_fid& f) {
        std::memcpy(p_, f.bytes, fsf_fid::kSize);
        p_ += fsf_fid::kSize;
    }
    // A string whose length the caller measured already.
    void strn(const char* s, size_t n) {
        if (n) std::memcpy(p_, s, n);
        p_[n] = 0;
        p_ += n + 1;
    }
    // A payload without a source is laid down as zeros so that the record
    // keeps the length its header claims.
    void bytes(const void* b, uint32_t len) {
        if (len == 0) return;
        if (b) {
            std::memcpy(p_, b, len);
        } else {
            std::memset(p_, 0, len);
        }
        p_ += len;
    }

  private:
    uint8_t* start_;
    uint8_t* p_;
};

// The text of a WRITE payload in a dump: up to 60 bytes, stopping at a NUL.
inline void payloadPreview(const void* data, uint32_t size, char (&out)[61]) {
    size_t n = 0;
    if (data) {
        const auto* b = static_cast<const char*>(data);
        const size_t limit = size < 60 ? size : 60;
        while (n < limit && b[n] != '\0') {
            out[n] = b[n];
            ++n;
        }
    }
    out[n] = '\0';
}

}  // namespace flrwire
