// MIR_ATTRS: nanosecond times and the attribute block, byte for byte, and
// refusal of every truncated, oversized or lying payload.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "FLR/JxException.h"
#include "net/FlrNetBase.h"
#include "net/NetMessageSamples.h"

namespace mirattrstest {

using flrnettest::Bytes;
using flrnettest::encodeToBytes;

FlrNetMessage decode(const Bytes& bytes, Bytes& holder) {
    FlrNetMessage m;
    flrnettest::decodeFromBytes(&m, FLR_NET_MIR_ATTRS, bytes, holder);
    return m;
}

std::string refusal(const Bytes& bytes) {
    Bytes holder;
    try {
        decode(bytes, holder);
    } catch (const JxException& e) {
        EXPECT_EQ("FlrNetBase::decodeMessage", e.getFunction());
        EXPECT_NE(std::string::npos, e.getMessage().find("FLR_NET_MIR_ATTRS")) << e.getMessage();
        return e.getMessage();
    }
    return "(accepted)";
}

struct Item {
    std::string name;
    std::string value;
};

Bytes attrsMessage(const std::vector<Item>& items, uint32_t mtimeNsec = 123456789,
                   uint8_t flags = FlrNetMirAttrs::kTimes | FlrNetMirAttrs::kXattrs) {
    std::string block;
    for (const Item& i : items) flrNetAppendXattr(&block, i.name, i.value);
    FlrNetMessage m(FLR_NET_MIR_ATTRS);
    m.mirAttrs.flags = flags;
    m.mirAttrs.atimeSec = -5;  // before 1970
    m.mirAttrs.atimeNsec = 7;
    m.mirAttrs.mtimeSec = int64_t{5000000000};  // past 2106: beyond the header's 32 bits
    m.mirAttrs.mtimeNsec = mtimeNsec;
    m.mirAttrs.count = static_cast<uint32_t>(items.size());
    m.mirAttrs.block = reinterpret_cast<const unsigned char*>(block.data());
    m.mirAttrs.blockLen = static_cast<uint32_t>(block.size());
    return encodeToBytes(m);
}

std::vector<Item> itemsOf(const FlrNetMirAttrs& a) {
    std::vector<Item> out;
    size_t at = 0;
    FlrNetXattrItem x{};
    while (flrNetNextXattr(a, &at, &x))
        out.push_back({x.name, std::string(static_cast<const char*>(x.value), x.len)});
    return out;
}

TEST(FlrNetMirAttrs, RoundTripsAtTheDocumentedOffsets) {
    const std::vector<Item> items = {
        {"user.a", "1"}, {"user.bin", std::string("\0\xff", 2)}, {"trusted.empty", ""}};
    const Bytes wire = attrsMessage(items);
    ASSERT_EQ(size_t(FlrNetMirAttrs::kFixedSize) + (7 + 4 + 1) + (9 + 4 + 2) + (14 + 4 + 0),
              wire.size());
    EXPECT_EQ(1, wire[0]);  // format
    EXPECT_EQ(3, wire[1]);  // flags
    EXPECT_EQ(0xff, wire[4]);
    EXPECT_EQ(0xfb, wire[11]);  // -5
    EXPECT_EQ(7, wire[15]);
    EXPECT_EQ(0x01, wire[19]);  // 5,000,000,000 = 0x1_2A05_F200
    EXPECT_EQ(0x2a, wire[20]);
    EXPECT_EQ(0x07, wire[24]);  // 123456789 = 0x075B_CD15
    EXPECT_EQ(3, wire[31]);     // count
    EXPECT_EQ('u', wire[32]);

    Bytes holder;
    const FlrNetMessage m = decode(wire, holder);
    ASSERT_EQ(FLR_NET_MIR_ATTRS, m.type);
    const FlrNetMirAttrs& a = m.mirAttrs;
    EXPECT_EQ(3, a.flags);
    EXPECT_EQ(-5, a.atimeSec);
    EXPECT_EQ(7u, a.atimeNsec);
    EXPECT_EQ(int64_t{5000000000}, a.mtimeSec);
    EXPECT_EQ(123456789u, a.mtimeNsec);
    ASSERT_EQ(3u, a.count);
    const std::vector<Item> back = itemsOf(a);
    ASSERT_EQ(items.size(), back.size());
    for (size_t i = 0; i < items.size(); ++i) {
        EXPECT_EQ(items[i].name, back[i].name);
        EXPECT_EQ(items[i].value, back[i].value);
    }
    EXPECT_STREQ("FLR_NET_MIR_ATTRS", flrNetMsgName(FLR_NET_MIR_ATTRS));
}

TEST(FlrNetMirAttrs, EveryTruncationIsRefused) {
    const Bytes wire = attrsMessage({{"user.a", "xyz"}, {"user.b", ""}});
    for (size_t n = 0; n < wire.size(); ++n) {
        const Bytes cut(wire.begin(), wire.begin() + static_cast<long>(n));
        EXPECT_NE("(accepted)", refusal(cut)) << n << " bytes";
    }
}

TEST(FlrNetMirAttrs, OversizedOrLyingBlocksAreRefused) {
    const std::string value64k(FlrNetMirAttrs::kValueMax, 'v');
    std::vector<Item> overMiB;
    for (int i = 0; i < 16; ++i) overMiB.push_back({"user." + std::to_string(i), value64k});
    overMiB.push_back({"user.last", "x"});

    Bytes badFormat = attrsMessage({});
    badFormat[0] = 2;
    Bytes countLies = attrsMessage({{"user.a", "1"}});
    countLies[31] = 2;
    Bytes lengthLies = attrsMessage({{"user.a", "1"}});
    lengthLies[32 + 7 + 3] = 9;  // value length 9, one byte there

    struct Case {
        const char* what;
        Bytes wire;
        const char* fragment;
    } const cases[] = {
        {"format", badFormat, "format 2"},
        {"nanoseconds", attrsMessage({}, 1000000000u), "nanoseconds"},
        {"empty name", attrsMessage({{"", "v"}}), "name of 0 bytes"},
        {"long name", attrsMessage({{"user." + std::string(251, 'n'), "v"}}), "name of 256"},
        {"long value", attrsMessage({{"user.v", value64k + "x"}}), "value of 65537"},
        {"over 1 MiB", attrsMessage(overMiB), "more than 1048576"},
        {"count", countLies, "runs past its end"},
        {"length", lengthLies, "runs past its end"},
    };
    for (const Case& c : cases) {
        const std::string why = refusal(c.wire);
        EXPECT_NE(std::string::npos, why.find(c.fragment)) << c.what << ": " << why;
    }
    // The bounds themselves pass: a 255-byte name, a 64 KiB value, 1 MiB in all.
    std::vector<Item> exactMiB;
    for (int i = 0; i < 15; ++i) exactMiB.push_back({"user." + std::to_string(i), value64k});
    size_t total = 0;
    for (const Item& i : exactMiB) total += i.name.size() + i.value.size();
    const std::string longName = "user." + std::string(250, 'n');
    exactMiB.push_back({longName, std::string(FlrNetMirAttrs::kBlockMax - total - 255, 'w')});
    EXPECT_EQ("(accepted)", refusal(attrsMessage(exactMiB)));
    EXPECT_EQ("(accepted)", refusal(attrsMessage({}, 999999999u)));
}

}  // namespace mirattrstest
