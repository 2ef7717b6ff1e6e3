#pragma once
// Helpers shared by the journal tests: expected-byte builders, encoders
// returning vectors, sample journals split into records, and a guard that
// makes the bytes past a truncation point unreadable under AddressSanitizer.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FLR/FlrNetJournal.h"
#include "FLR/FlrRawJournal.h"
#include "journal/FlrJrnSample.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define FLRTEST_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define FLRTEST_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define FLRTEST_POISON(p, n) ((void)(p), (void)(n))
#define FLRTEST_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace jrntest {

// Big-endian byte builder for hand-written expected records.
class Bytes {
  public:
    Bytes& u8(uint8_t v) {
        b_.push_back(v);
        return *this;
    }
    Bytes& u16(uint16_t v) { return u8(uint8_t(v >> 8)).u8(uint8_t(v)); }
    Bytes& u24(uint32_t v) { return u8(uint8_t(v >> 16)).u8(uint8_t(v >> 8)).u8(uint8_t(v)); }
    Bytes& u32(uint32_t v) { return u16(uint16_t(v >> 16)).u16(uint16_t(v)); }
    Bytes& u64(uint64_t v) { return u32(uint32_t(v >> 32)).u32(uint32_t(v)); }
    Bytes& str(const std::string& s) {
        b_.insert(b_.end(), s.begin(), s.end());
        return u8(0);
    }
    Bytes& raw(const void* p, size_t n) {
        auto* c = static_cast<const uint8_t*>(p);
        b_.insert(b_.end(), c, c + n);
        return *this;
    }
    Bytes& fid(const fsf_fid& f) { return raw(f.bytes, sizeof f.bytes); }
    Bytes& fill(uint8_t v, size_t n) {
        b_.insert(b_.end(), n, v);
        return *this;
    }
    const std::vector<uint8_t>& vec() const { return b_; }
    size_t size() const { return b_.size(); }

  private:
    std::vector<uint8_t> b_;
};

inline fsf_fid fidOf(uint8_t v) {
    fsf_fid f;
    std::memset(f.bytes, v, sizeof f.bytes);
    return f;
}

inline FlrJrnCommand rawCmd(uint32_t code) {
    FlrJrnCommand c;
    std::memset(&c, 0, sizeof c);
    c.cmd = code;
    c.timestamp = 1700000000;
    c.seq_num = 42;
    c.devt = 0x803;
    c.mask = 5;
    return c;
}

inline FlrJrnCommandNet netCmd(uint32_t code) {
    FlrJrnCommandNet c;
    std::memset(&c, 0, sizeof c);
    c.cmd = code;
    c.seq_num = 42;
    c.timestamp = 1700000000;
    c.mask = 0x10005;
    return c;
}

inline std::vector<uint8_t> encodeRaw(const FlrJrnCommand& c) {
    std::vector<uint8_t> out(static_cast<size_t>(getRawCmdSize(&c)));
    encodeRawCmd(&c, out.data());
    return out;
}

inline std::vector<uint8_t> encodeNet(const FlrJrnCommandNet& c) {
    std::vector<uint8_t> out(static_cast<size_t>(getNetCmdSize(&c)));
    encodeNetCmd(&c, out.data());
    return out;
}

inline uint32_t recLen(const std::vector<uint8_t>& rec) {
    return (uint32_t{rec[1]} << 16) | (uint32_t{rec[2]} << 8) | rec[3];
}

inline std::string rawDump(const FlrJrnCommand& c, size_t size = 8192) {
    std::vector<char> buf(size);
    printRawCmd(buf.data(), buf.size(), &c);
    return std::string(buf.data());
}

// The records of a sample journal, each as its own byte vector.
inline std::vector<std::vector<uint8_t>> sampleRecords(size_t count, uint64_t seed,
                                                       FlrJrnSample::Mix mix,
                                                       FlrFidPathMap* paths = nullptr) {
    FlrJrnSample::Options opt;
    opt.seed = seed;
    opt.mix = mix;
    FlrJrnSample sample(opt);
    std::vector<std::vector<uint8_t>> records;
    for (size_t i = 0; i < count; ++i) {
        std::vector<uint8_t> rec;
        sample.appendNext(rec);
        records.push_back(std::move(rec));
    }
    if (paths) *paths = sample.pathMap();
    return records;
}

// Makes [p + from, p + size) unreadable under ASan while alive.
class PoisonTail {
  public:
    PoisonTail(const uint8_t* p, size_t from, size_t size) : p_(p + from), n_(size - from) {
        FLRTEST_POISON(p_, n_);
    }
    ~PoisonTail() { FLRTEST_UNPOISON(p_, n_); }
    PoisonTail(const PoisonTail&) = delete;
    PoisonTail& operator=(const PoisonTail&) = delete;

  private:
    const uint8_t* p_;
    size_t n_;
};

}  // namespace jrntest
