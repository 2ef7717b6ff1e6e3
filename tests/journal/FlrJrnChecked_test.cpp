// The checked decoders against untrusted bytes: truncated, overlong and
// unterminated records are refused with a reason, and nothing past the
// given length is read (ASan builds make those bytes unreadable).
#include <gtest/gtest.h>

#include <algorithm>

#include "FLR/FlrJrnConvert.h"
#include "FLR/FlrNetJournal.h"
#include "FLR/FlrRawJournal.h"
#include "FLR/JxException.h"
#include "JournalTestUtil.h"

using namespace jrntest;

namespace {

std::string rawRefusal(const std::vector<uint8_t>& rec, size_t len) {
    FlrJrnCommand c;
    std::string why;
    if (decodeRawCmd(rec.data(), len, &c, &why) == 0) return "accepted";
    EXPECT_FALSE(why.empty());
    return why;
}

std::string netRefusal(const std::vector<uint8_t>& rec, size_t len) {
    FlrJrnCommandNet c;
    try {
        decodeNetCmd(rec.data(), len, &c);
    } catch (const JxException& e) {
        EXPECT_EQ(e.getFunction(), "decodeNetCmd");
        EXPECT_EQ(e.getSource(), "FlrNetJournal");
        EXPECT_EQ(e.getCode(), -1);
        return e.getMessage();
    }
    return "accepted";
}

void setRecLen(std::vector<uint8_t>& rec, uint32_t len) {
    rec[1] = static_cast<uint8_t>(len >> 16);
    rec[2] = static_cast<uint8_t>(len >> 8);
    rec[3] = static_cast<uint8_t>(len);
}

std::vector<std::vector<uint8_t>> netSampleRecords(size_t count, uint64_t seed) {
    FlrFidPathMap paths;
    const auto raws = sampleRecords(count, seed, FlrJrnSample::Mix::Full, &paths);
    FlrJrnConverter conv(paths);
    std::vector<std::vector<uint8_t>> out;
    for (const auto& rec : raws) {
        FlrJrnCommand raw;
        EXPECT_EQ(decodeRawCmd(rec.data(), rec.size(), &raw), 0);
        FlrJrnCommandNet net;
        const FlrJrnConvResult rc = conv.convert(raw, net);
        if (rc == FlrJrnConvResult::NoNetForm) continue;
        EXPECT_EQ(rc, FlrJrnConvResult::Ok) << conv.lastError();
        out.push_back(encodeNet(net));
    }
    return out;
}

// Every length short of the record, two ways: the intact header claiming more
// than is there, and a header that claims exactly the truncated length.
TEST(FlrJrnChecked, RawRefusesEveryTruncationOfEverySampleRecord) {
    size_t checked = 0;
    for (auto rec : sampleRecords(120, 11, FlrJrnSample::Mix::Full)) {
        const uint32_t full = recLen(rec);
        ASSERT_EQ(rawRefusal(rec, rec.size()), "accepted");
        for (size_t k = 0; k < full; ++k) {
            PoisonTail guard(rec.data(), k, rec.size());
            ASSERT_NE(rawRefusal(rec, k), "accepted") << "length " << k << " of " << full;
            ++checked;
        }
        for (uint32_t k = 26; k < full; ++k) {
            setRecLen(rec, k);
            PoisonTail guard(rec.data(), k, rec.size());
            ASSERT_NE(rawRefusal(rec, k), "accepted") << "rec_len " << k << " of " << full;
        }
    }
    EXPECT_GT(checked, 10000u);
}

TEST(FlrJrnChecked, NetRefusesEveryTruncationOfEverySampleRecord) {
    for (auto rec : netSampleRecords(120, 12)) {
        const uint32_t full = recLen(rec);
        ASSERT_EQ(netRefusal(rec, rec.size()), "accepted");
        for (size_t k = 0; k < full; ++k) {
            PoisonTail guard(rec.data(), k, rec.size());
            ASSERT_NE(netRefusal(rec, k), "accepted") << "length " << k << " of " << full;
        }
        for (uint32_t k = 20; k < full; ++k) {
            setRecLen(rec, k);
            PoisonTail guard(rec.data(), k, rec.size());
            ASSERT_NE(netRefusal(rec, k), "accepted") << "rec_len " << k << " of " << full;
        }
    }
}

TEST(FlrJrnChecked, CheckedDecodersAgreeWithTheTrustingOnes) {
    for (const auto& rec : sampleRecords(300, 13, FlrJrnSample::Mix::Full)) {
        FlrJrnCommand a, b;
        ASSERT_EQ(decodeRawCmd(rec.data(), &a), 0);
        // Trailing bytes after the record belong to the next one.
        std::vector<uint8_t> longer = rec;
        longer.resize(rec.size() + 100, 0xaa);
        ASSERT_EQ(decodeRawCmd(longer.data(), longer.size(), &b), 0);
        EXPECT_EQ(rawDump(a), rawDump(b));
    }
    for (const auto& rec : netSampleRecords(300, 14)) {
        FlrJrnCommandNet a, b;
        decodeNetCmd(rec.data(), &a);
        decodeNetCmd(rec.data(), rec.size(), &b);
        EXPECT_EQ(encodeNet(a), encodeNet(b));
    }
}

TEST(FlrJrnChecked, RawReasonsNameWhatWasWrong) {
    FlrJrnCommand c = rawCmd(FLR_JRN_CREATE);
    c.create.short_name = "name";
    auto rec = encodeRaw(c);  // 123 bytes
    EXPECT_EQ(rawRefusal(rec, 20), "20 bytes are too few for the 26-byte record header");

    std::vector<uint8_t> big(512, 0);
    big[0] = FLR_JRN_WRITE;
    setRecLen(big, 70000);
    EXPECT_EQ(rawRefusal(big, big.size()), "record length 70000 exceeds the 512 bytes available");
    setRecLen(big, 25);
    EXPECT_EQ(rawRefusal(big, big.size()),
              "record length 25 is shorter than the 26-byte record header");

    // The name's NUL replaced: the string runs to the end of the record.
    auto unterminated = rec;
    std::fill(unterminated.begin() + 74, unterminated.end(), 'x');
    EXPECT_EQ(rawRefusal(unterminated, unterminated.size()),
              "short_name runs past the end of the record (no terminating NUL)");

    // A record one byte short of its fixed fields.
    auto shortRec = rec;
    shortRec.pop_back();
    setRecLen(shortRec, static_cast<uint32_t>(shortRec.size()));
    EXPECT_EQ(rawRefusal(shortRec, shortRec.size()), "rdev runs past the end of the record");

    auto overlong = rec;
    overlong.push_back(0);
    setRecLen(overlong, static_cast<uint32_t>(overlong.size()));
    EXPECT_EQ(rawRefusal(overlong, overlong.size()),
              "record length 124 is longer than the 123 bytes its FLR_JRN_CREATE fields take");

    for (uint8_t code : {3, 24, 255}) {
        auto unknown = rec;
        unknown[0] = code;
        EXPECT_EQ(rawRefusal(unknown, unknown.size()),
                  "unknown journal command " + std::to_string(code));
    }
}

TEST(FlrJrnChecked, RawRefusesPayloadLengthsPointingPastTheRecord) {
    const char data[16] = "0123456789abcde";
    FlrJrnCommand w = rawCmd(FLR_JRN_WRITE);
    w.write.size = 16;
    w.write.data = data;
    auto rec = encodeRaw(w);
    rec[61] = 17;  // size field claims one byte more
    EXPECT_EQ(rawRefusal(rec, rec.size()),
              "data of 17 bytes runs past the end of the record (16 left)");
    rec[58] = 0xff;  // and a length near 4 GiB
    EXPECT_NE(rawRefusal(rec, rec.size()), "accepted");

    FlrJrnCommand x = rawCmd(FLR_JRN_SETXATTR);
    x.setxattr.attr_name = "user.k";
    x.setxattr.attr_len = 3;
    x.setxattr.value = data;
    auto xrec = encodeRaw(x);
    xrec[xrec.size() - 4] = 4;  // attr_len low byte
    EXPECT_EQ(rawRefusal(xrec, xrec.size()),
              "attr_value of 4 bytes runs past the end of the record (3 left)");
}

TEST(FlrJrnChecked, RawHeaderCheckedForm) {
    FlrJrnHeader h;
    std::string why;
    uint8_t buf[26] = {FLR_JRN_NOOP, 0, 0, 26};
    EXPECT_EQ(decodeRawHdr(buf, 26, &h, &why), 0);
    EXPECT_EQ(h.rec_len, 26u);
    EXPECT_EQ(decodeRawHdr(buf, 25, &h, &why), -1);
    EXPECT_EQ(why, "25 bytes are too few for the 26-byte record header");
    buf[3] = 10;
    EXPECT_EQ(decodeRawHdr(buf, 26, &h, &why), -1);
    EXPECT_EQ(why, "record length 10 is shorter than the 26-byte record header");
    buf[1] = 1;  // longer than the buffer: the header alone is fine
    EXPECT_EQ(decodeRawHdr(buf, 26, &h, nullptr), 0);
    EXPECT_EQ(h.rec_len, 0x1000au);
}

TEST(FlrJrnChecked, NetReasonsNameWhatWasWrong) {
    FlrJrnCommandNet c = netCmd(FLR_JRN_RENAME);
    c.rename.src_path = "/a";
    c.rename.dst_path = "/b";
    auto rec = encodeNet(c);
    ASSERT_EQ(rec.size(), 26u);
    EXPECT_EQ(netRefusal(rec, 19), "19 bytes are too few for the 20-byte record header");
    auto big = rec;
    big.resize(512);
    setRecLen(big, 70000);
    EXPECT_EQ(netRefusal(big, big.size()), "record length 70000 exceeds the 512 bytes available");
    auto unterminated = rec;
    unterminated.back() = 'x';
    EXPECT_EQ(netRefusal(unterminated, unterminated.size()),
              "dst_path runs past the end of the record (no terminating NUL)");
    auto overlong = rec;
    overlong.push_back(0);
    setRecLen(overlong, 27);
    EXPECT_EQ(netRefusal(overlong, overlong.size()),
              "record length 27 is longer than the 26 bytes its FLR_JRN_RENAME fields take");
    for (uint8_t code : {3, 19, 23, 24}) {
        auto unknown = rec;
        unknown[0] = code;
        EXPECT_EQ(netRefusal(unknown, unknown.size()),
                  "Can't decode unknown net journal command " + std::to_string(code));
    }
    FlrJrnHeaderNet h;
    EXPECT_THROW(decodeNetHdr(rec.data(), 19, &h), JxException);
    rec[3] = 19;
    EXPECT_THROW(decodeNetHdr(rec.data(), rec.size(), &h), JxException);
}

}  // namespace
