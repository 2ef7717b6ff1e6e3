#include "FLR/FlrFid.h"

#include <gtest/gtest.h>

#include <string>
#include <unordered_set>

#include "FLR/JxException.h"

namespace {

const std::string kHex = "000102030405060708090a0b0c0d0e0f1011121314abcdef";

void expectStr2fidError(const std::string& text, const std::string& message) {
    try {
        str2fid(text);
        FAIL() << "str2fid accepted \"" << text << "\"";
    } catch (const JxException& e) {
        EXPECT_EQ(e.getMessage(), message);
        EXPECT_EQ(e.getFunction(), "str2fid");
        EXPECT_EQ(e.getSource(), "FlrHelper");
        EXPECT_EQ(e.getCode(), -1);
    }
}

TEST(FlrFid, ZeroIdentifierPrintsAsZerosAndEqualsFid0) {
    fsf_fid zero{};
    EXPECT_EQ(zero, fsf_fid::fid0);
    EXPECT_TRUE(zero.isZero());
    EXPECT_EQ(zero.toString(), std::string(48, '0'));
    zero.bytes[23] = 1;
    EXPECT_NE(zero, fsf_fid::fid0);
    EXPECT_FALSE(zero.isZero());
}

TEST(FlrFid, HexTextIsLowerCaseInMemoryOrder) {
    fsf_fid fid;
    for (int i = 0; i < 24; ++i) fid.bytes[i] = static_cast<uint8_t>(i);
    fid.bytes[21] = 0xab;
    fid.bytes[22] = 0xcd;
    fid.bytes[23] = 0xef;
    char text[49];
    text[48] = 'x';
    EXPECT_EQ(fid2hex(fid.bytes, text), text);
    EXPECT_EQ(text[48], '\0');
    EXPECT_EQ(std::string(text), kHex);
    EXPECT_EQ(fid.toString(), kHex);
}

TEST(FlrFid, ParsesEitherCaseToTheSameIdentifier) {
    std::string upper = kHex;
    for (char& c : upper) c = static_cast<char>(toupper(c));
    const fsf_fid a = str2fid(kHex);
    const fsf_fid b = str2fid(upper);
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.toString(), kHex);
    EXPECT_EQ(a.bytes[0], 0x00);
    EXPECT_EQ(a.bytes[23], 0xef);
}

TEST(FlrFid, RefusesTextOfTheWrongLengthWithExactMessages) {
    expectStr2fidError(kHex.substr(0, 46),
                       "Invalid FID \"" + kHex.substr(0, 46) + "\": too short.");
    expectStr2fidError("", "Invalid FID \"\": too short.");
    // 47 digits would leave the last byte half given.
    expectStr2fidError(kHex.substr(0, 47),
                       "Invalid FID \"" + kHex.substr(0, 47) + "\": too short.");
    expectStr2fidError(kHex + "00", "Invalid FID \"" + kHex + "00\": too long.");
    expectStr2fidError(kHex + "0", "Invalid FID \"" + kHex + "0\": too long.");
}

TEST(FlrFid, RefusesCharactersThatAreNotHexDigits) {
    std::string bad = kHex;
    bad[10] = 'g';
    expectStr2fidError(bad, "Invalid FID \"" + bad + "\": not a hexadecimal digit.");
    bad = kHex;
    bad[47] = ' ';
    expectStr2fidError(bad, "Invalid FID \"" + bad + "\": not a hexadecimal digit.");
}

TEST(FlrFid, KeysHashedAndOrderedContainers) {
    std::unordered_set<fsf_fid> set;
    fsf_fid a = fsf_fid::fid0, b = fsf_fid::fid0;
    b.bytes[0] = 1;
    set.insert(a);
    set.insert(b);
    set.insert(str2fid(b.toString()));
    EXPECT_EQ(set.size(), 2u);
    EXPECT_TRUE(a < b);
    EXPECT_FALSE(b < a);
}

}  // namespace
