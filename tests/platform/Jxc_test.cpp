#include "FLR/platform/Jxc.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string kCheckInput = "123456789";

TEST(JxcCrc32, MatchesCatalogueCheckValues) {
    // Raw register from all ones is CRC-32/JAMCRC; inverting it gives the
    // familiar CRC-32 (zlib, PNG, Ethernet) check value.
    const uint32_t raw = jx_crc32(0xffffffffu, kCheckInput.data(), kCheckInput.size());
    EXPECT_EQ(raw, 0x340bc6d9u);
    EXPECT_EQ(~raw, 0xcbf43926u);
}

TEST(JxcCrc32, EmptyInputLeavesRegisterUnchanged) {
    EXPECT_EQ(jx_crc32(0x12345678u, nullptr, 0), 0x12345678u);
    EXPECT_EQ(jx_crc32(0xffffffffu, "", 0), 0xffffffffu);
}

TEST(JxcCrc32, ContinuesAcrossEverySplitPoint) {
    std::string data;
    for (int i = 0; i < 300; ++i) data.push_back(static_cast<char>(i * 37 + 11));
    const uint32_t whole = jx_crc32(0xffffffffu, data.data(), data.size());
    for (size_t cut = 0; cut <= data.size(); ++cut) {
        const uint32_t head = jx_crc32(0xffffffffu, data.data(), cut);
        EXPECT_EQ(jx_crc32(head, data.data() + cut, data.size() - cut), whole) << "cut " << cut;
    }
}

}  // namespace

TEST(Jxc, Crc32cMatchesTheCatalogueAndContinues) {
    // CRC-32C check value of "123456789" is 0xe3069283 after the final inversion.
    const char* text = "123456789";
    EXPECT_EQ(0xe3069283u, ~jx_crc32c(0xffffffffu, text, 9));
    EXPECT_EQ(0x12345678u, jx_crc32c(0x12345678u, text, 0));
    // Every split point and every alignment gives the one-shot value, so the
    // 8-byte hardware steps and the byte tail agree with each other.
    std::string data;
    for (int i = 0; i < 1000; ++i) data.push_back(static_cast<char>(i * 31 + 7));
    for (size_t start = 0; start < 9; ++start) {
        const std::string s = data.substr(start);
        const uint32_t whole = jx_crc32c(0xffffffffu, s.data(), s.size());
        for (size_t cut = 0; cut <= s.size(); cut += 37)
            EXPECT_EQ(whole, jx_crc32c(jx_crc32c(0xffffffffu, s.data(), cut), s.data() + cut,
                                       s.size() - cut));
    }
}
