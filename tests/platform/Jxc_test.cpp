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
