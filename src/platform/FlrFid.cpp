#include "FLR/FlrFid.h"

#include "FLR/JxException.h"

const fsf_fid fsf_fid::fid0 = {};

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// -1 for anything that is not a hex digit of either case.
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// str2fid is part of the helper family for its callers; its errors say so.
[[noreturn]] void throwInvalidFid(const std::string& text, const char* why, int line) {
    throw JxException("str2fid", "Invalid FID \"" + text + "\": " + why, "FlrHelper", line, -1);
}

}  // namespace

char* fid2hex(const void* fid, char* out) {
    const auto* in = static_cast<const uint8_t*>(fid);
    for (size_t i = 0; i < fsf_fid::kSize; ++i) {
        out[2 * i] = kHexDigits[in[i] >> 4];
        out[2 * i + 1] = kHexDigits[in[i] & 0x0f];
    }
    out[fsf_fid::kHexLen] = '\0';
    return out;
}

std::string fsf_fid::toString() const {
    char text[kHexLen + 1];
    return std::string(fid2hex(bytes, text), kHexLen);
}

fsf_fid str2fid(const std::string& text) {
    // An odd-length text of 47 digits would leave the last byte half given;
    // it is refused like any other text that does not fill all 24 bytes.
    if (text.size() < fsf_fid::kHexLen) throwInvalidFid(text, "too short.", __LINE__);
    if (text.size() > fsf_fid::kHexLen) throwInvalidFid(text, "too long.", __LINE__);
    fsf_fid fid;
    for (size_t i = 0; i < fsf_fid::kSize; ++i) {
        const int hi = hexValue(text[2 * i]);
        const int lo = hexValue(text[2 * i + 1]);
        if (hi < 0 || lo < 0) throwInvalidFid(text, "not a hexadecimal digit.", __LINE__);
        fid.bytes[i] = static_cast<uint8_t>((hi << 4) | lo);
    }
    return fid;
}
