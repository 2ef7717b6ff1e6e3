#pragma once
// Helpers shared by the raw buffer tests: tagged payloads, a consumer with its
// own buffer, export file images in the current and the earlier format.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FLR/JxException.h"
#include "buffer/FlrRawBuffer.h"
#include "digest/Jxc.h"
#include "platform/JxCoding.h"

namespace rbtest {

// Deterministic payload: its bytes depend on a tag, so a swapped, shifted or
// truncated entry shows up as a mismatch.
inline std::string payload(uint32_t tag, size_t len) {
    std::string s(len, '\0');
    uint64_t x = (tag + 1) * 0x9E3779B97F4A7C15ULL;
    uint64_t block[512];
    for (size_t done = 0; done < len; done += sizeof block) {
        for (uint64_t& w : block) {
            x ^= x >> 12;
            x ^= x << 25;
            x ^= x >> 27;
            w = x * 0x2545F4914F6CDD1DULL;
        }
        std::memcpy(s.data() + done, block, std::min(sizeof block, len - done));
    }
    if (len >= 4) std::memcpy(s.data(), &tag, 4);
    return s;
}

inline void add(FlrRawBuffer& rb, const std::string& s) {
    rb.addEntry(s.data(), static_cast<int>(s.size()));
}

// A consumer with its own reusable buffer.
struct Consumer {
    char* buf = nullptr;
    int cap = 0;
    ~Consumer() { std::free(buf); }
    bool next(FlrRawBuffer& rb, std::string& out) {
        int len = -1;
        if (!rb.getNextEntry(buf, cap, &len)) return false;
        out.assign(buf, static_cast<size_t>(len));
        return true;
    }
    std::string take(FlrRawBuffer& rb) {
        std::string s;
        EXPECT_TRUE(next(rb, s));
        return s;
    }
};

inline bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

inline off_t fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

template <typename F>
std::string thrownMessage(F&& f) {
    try {
        f();
    } catch (const JxException& e) {
        return e.getMessage();
    }
    return "<no exception>";
}

inline std::string beLen(uint32_t len) {
    const uint32_t be = htonl(len);
    return std::string(reinterpret_cast<const char*>(&be), 4);
}

// An export file as this version writes it: signature, entries, end record.
inline std::string exportBytes(const std::vector<std::string>& entries) {
    std::string out(reinterpret_cast<const char*>(FlrRawBuffer::kExportSignature), 8);
    for (const auto& e : entries) out += beLen(static_cast<uint32_t>(e.size())) + e;
    const uint32_t crc = ~jx_crc32(0xFFFFFFFFu, out.data(), out.size());
    char end[16];
    jx::storeBE32(end, FlrRawBuffer::kExportEndMarker);
    jx::storeBE64(end + 4, entries.size());
    jx::storeBE32(end + 12, crc);
    return out + std::string(end, sizeof end);
}

// An export file as earlier versions wrote it: no end record.
inline std::string legacyExportBytes(const std::vector<std::string>& entries) {
    std::string out("ZRPAW\n\x0e\xaf", 8);
    for (const auto& e : entries) out += beLen(static_cast<uint32_t>(e.size())) + e;
    return out;
}

}  // namespace rbtest
