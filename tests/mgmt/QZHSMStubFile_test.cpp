#include "mgmt/qzhsm/QZHSMCommon/QZHSMStubFile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "FLR/JxException.h"
#include "digest/Jxc.h"
#include "platform/EvDebug.h"

namespace {

const std::string kGuid = "{6f2b1c3e-9a0d-4e57-8b21-0c9d7e4f5a61}";
const std::string kAppGuid = "{11111111-2222-3333-4444-555555555555}";
const std::string kMeta = "7:0:1:3:5000000000:2:" + std::to_string(kGuid.size()) + ":" + kGuid +
                          ":4711|" + kAppGuid + "|extra";

std::vector<char> envelope(const std::string& meta, long long value = 0) {
    std::vector<char> buf(static_cast<size_t>(qzhsm_meta2stub(meta.c_str(), value, nullptr, 0)));
    qzhsm_meta2stub(meta.c_str(), value, buf.data(), static_cast<int>(buf.size()));
    return buf;
}

unsigned long long readBE(const std::vector<char>& b, size_t off, int n) {
    unsigned long long v = 0;
    for (int i = 0; i < n; ++i) v = (v << 8) | static_cast<unsigned char>(b[off + i]);
    return v;
}

void writeBE(std::vector<char>& b, size_t off, unsigned long long v, int n) {
    for (int i = n - 1; i >= 0; --i, v >>= 8) b[off + i] = static_cast<char>(v & 0xff);
}

// Recomputes the CRC after a deliberate change, so that the later checks run.
void reseal(std::vector<char>& b) {
    const size_t crcOff = b.size() - 4;
    writeBE(b, crcOff, jx_crc32(0xffffffffu, b.data(), crcOff), 4);
}

// Decodes with the checked form and returns the one error line it logged.
std::string decodeError(const std::vector<char>& b, int metaBufLen = 1024) {
    EvDebugCapture capture;
    std::vector<char> meta(static_cast<size_t>(metaBufLen > 0 ? metaBufLen : 1));
    if (qzhsm_stub2meta(b.data(), static_cast<int>(b.size()), nullptr, nullptr, meta.data(),
                        metaBufLen, false))
        return "decoded";
    const auto lines = capture.lines();
    if (lines.size() != 1) return "lines: " + std::to_string(lines.size());
    if (lines[0].level != EvDebug::kError || lines[0].function != "qzhsm_stub2meta")
        return "wrong level or function";
    return lines[0].text;
}

TEST(QZHSMStubEncode, AbcGivesTheDocumentedEnvelope) {
    const std::vector<char> b = envelope("abc", -2);
    // Built independently (Python struct + zlib): the stored CRC is zlib's
    // CRC-32 of the first 25 bytes, inverted.
    const unsigned char golden[] = {0x4f, 0x53, 0x54, 0x55, 0x42, 0x0a, 0x0e, 0xaf, 0x01, 0x00,
                                    0x1d, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xfe, 0x00,
                                    0x03, 0x61, 0x62, 0x63, 0x00, 0xde, 0x11, 0x78, 0xfb};
    ASSERT_EQ(b.size(), sizeof golden);
    EXPECT_EQ(memcmp(b.data(), golden, sizeof golden), 0);
    EXPECT_EQ(readBE(b, 9, 2), 29u);
    EXPECT_EQ(readBE(b, 19, 2), 3u);

    int total = 0;
    long long value = 0;
    char meta[4];
    ASSERT_TRUE(qzhsm_stub2meta(b.data(), 29, &total, &value, meta, sizeof meta, false));
    EXPECT_EQ(total, 29);
    EXPECT_EQ(value, -2);
    EXPECT_STREQ(meta, "abc");
}

TEST(QZHSMStubEncode, SizeQueryBufferLimitsAndLengthCeiling) {
    EXPECT_EQ(qzhsm_meta2stub("abc", 0, nullptr, 0), 29);
    EXPECT_EQ(qzhsm_meta2stub("", 0, nullptr, 0), 26);
    char buf[29];
    EXPECT_EQ(qzhsm_meta2stub("abc", 5, buf, 29), 29);
    try {
        qzhsm_meta2stub("abc", 5, buf, 28);
        FAIL() << "expected JxException";
    } catch (const JxException& e) {
        EXPECT_EQ(e.getMessage(), "Buffer for stubfile data is too small.");
        EXPECT_EQ(e.getFunction(), "qzhsm_meta2stub");
        EXPECT_EQ(e.getCode(), -1);
    }
    EXPECT_THROW(qzhsm_meta2stub(nullptr, 0, buf, 29), JxException);

    // The longest text whose lengths still fit the 16-bit fields round-trips;
    // one more character would wrap them, so it is refused.
    const std::string longest(QZHSM_STUB_MAX_METADATA, 'm');
    const std::vector<char> b = envelope(longest, 9);
    EXPECT_EQ(b.size(), 0xffffu);
    std::vector<char> meta(longest.size() + 1);
    ASSERT_TRUE(qzhsm_stub2meta(b.data(), static_cast<int>(b.size()), nullptr, nullptr, meta.data(),
                                static_cast<int>(meta.size()), false));
    EXPECT_EQ(std::string(meta.data()), longest);
    EXPECT_THROW(qzhsm_meta2stub((longest + "m").c_str(), 0, nullptr, 0), JxException);
}

TEST(QZHSMStubDecode, OutPointersMayBeNullAndQuietLogsNothing) {
    const std::vector<char> good = envelope("abc", 42);
    EXPECT_TRUE(qzhsm_stub2meta(good.data(), 29, nullptr, nullptr, nullptr, 0, false));
    EXPECT_TRUE(qzhsm_stub2meta(good.data(), nullptr, nullptr, nullptr, 0, false));

    std::vector<char> bad = good;
    bad[0] = 'X';
    EvDebugCapture capture;
    EXPECT_FALSE(qzhsm_stub2meta(bad.data(), 29, nullptr, nullptr, nullptr, 0, true));
    EXPECT_FALSE(qzhsm_stub2meta(bad.data(), nullptr, nullptr, nullptr, 0, true));
    EXPECT_TRUE(capture.lines().empty());
}

TEST(QZHSMStubDecode, EveryFlippedByteFailsWithItsFieldsMessage) {
    const std::vector<char> good = envelope("abc", 7);
    for (size_t i = 0; i < good.size(); ++i) {
        std::vector<char> b = good;
        b[i] = static_cast<char>(b[i] ^ 0xff);
        std::string expected;
        if (i < 8) {
            char text[96];
            snprintf(text, sizeof text,
                     "Invalid stub signature 0x%08llx (should have been 0x4f535455420a0eaf)",
                     readBE(b, 0, 8));
            expected = text;
        } else if (i == 8) {
            expected = "Invalid stub version 254 (should have been 1)";
        } else if (i == 9 || i == 10) {
            expected = "Stub data is too short (29 instead of at least " +
                       std::to_string(readBE(b, 9, 2)) + ")";
        } else {
            EXPECT_EQ(decodeError(b).rfind("Stub data is corrupt: invalid CRC32 0x", 0), 0u)
                << "byte " << i;
            continue;
        }
        EXPECT_EQ(decodeError(b), expected) << "byte " << i;
    }
}

TEST(QZHSMStubDecode, EveryFlippedBitIsRefused) {
    const std::vector<char> good = envelope(kMeta, 123456789012345LL);
    for (size_t i = 0; i < good.size() * 8; ++i) {
        std::vector<char> b = good;
        b[i / 8] = static_cast<char>(b[i / 8] ^ (1 << (i % 8)));
        EXPECT_NE(decodeError(b), "decoded") << "bit " << i;
    }
}

TEST(QZHSMStubDecode, CorruptCrcMessageNamesComputedThenStored) {
    std::vector<char> b = envelope("abc");
    const auto computed = static_cast<unsigned>(readBE(b, 25, 4));
    writeBE(b, 25, 0x01020304, 4);
    char expected[128];
    snprintf(expected, sizeof expected,
             "Stub data is corrupt: invalid CRC32 0x%08x instead of 0x01020304", computed);
    EXPECT_EQ(decodeError(b), expected);
}

TEST(QZHSMStubDecode, MetadataBufferMustHoldTheTextAndItsNul) {
    const std::vector<char> b = envelope("abc", 3);
    EXPECT_EQ(decodeError(b, 4), "decoded");
    EXPECT_EQ(decodeError(b, 3), "Metadata will not fit into the incoming buffer (4>3)");
    EXPECT_EQ(decodeError(b, 0), "Metadata will not fit into the incoming buffer (4>0)");
    int total = 0;
    char meta[3];
    EXPECT_FALSE(qzhsm_stub2meta(b.data(), 29, &total, nullptr, meta, sizeof meta, true));
    EXPECT_EQ(total, 29) << "the total length is reported even when the text does not fit";
}

TEST(QZHSMStubDecode, NullEmptyAndShortInputs) {
    EXPECT_EQ(decodeError({}), "Invalid NULL input passed.");
    EvDebugCapture capture;
    EXPECT_FALSE(qzhsm_stub2meta(nullptr, nullptr, nullptr, nullptr, 0, false));
    EXPECT_FALSE(qzhsm_stub2meta("", nullptr, nullptr, nullptr, 0, false));
    EXPECT_EQ(capture.lines().size(), 2u);
    EXPECT_TRUE(capture.contains("Invalid NULL input passed."));

    // Every prefix of a good envelope is refused by the checked form, before
    // any byte beyond it is read (ASan builds catch an over-read here).
    const std::vector<char> good = envelope("abc");
    for (size_t n = 1; n < good.size(); ++n) {
        const std::vector<char> prefix(good.begin(), good.begin() + static_cast<long>(n));
        const int need = n < 26 ? 26 : 29;
        EXPECT_EQ(decodeError(prefix), "Stub data is too short (" + std::to_string(n) +
                                           " instead of at least " + std::to_string(need) + ")")
            << n;
    }
    // Bytes after the envelope are not part of it.
    std::vector<char> padded = good;
    padded.resize(64, 'z');
    EXPECT_EQ(decodeError(padded), "decoded");
}

TEST(QZHSMStubDecode, TotalLengthBelowTheFixedFieldsIsTooShort) {
    std::vector<char> b = envelope("abc");
    writeBE(b, 9, 25, 2);
    EXPECT_EQ(decodeError(b), "Stub data is too short (25 instead of at least 26)");
}

TEST(QZHSMStubDecode, MetadataLengthAndTerminatorMustAgreeWithTheTotal) {
    std::vector<char> b = envelope("abcd");
    writeBE(b, 19, 3, 2);
    reseal(b);
    EXPECT_EQ(decodeError(b), "Stub data contains invalid metadata length 3");

    b = envelope("abcd");
    writeBE(b, 19, 0, 2);
    reseal(b);
    EXPECT_EQ(decodeError(b), "Stub data contains invalid metadata length 0");

    b = envelope("");
    EXPECT_EQ(decodeError(b), "Stub data contains invalid metadata length 0");

    b = envelope("abcd");
    b[21 + 4] = 'x';  // the NUL
    reseal(b);
    EXPECT_EQ(decodeError(b), "Stub metadata is not a text of 4 characters ending in NUL");

    b = envelope("abcd");
    b[22] = '\0';  // a NUL inside the text would make the copy shorter than the field says
    reseal(b);
    EXPECT_EQ(decodeError(b), "Stub metadata is not a text of 4 characters ending in NUL");
}

TEST(QZHSMStubDecode, TrustedFormReadsNoFurtherThanTheFieldsVouchFor) {
    const std::vector<char> good = envelope("abc", 11);
    long long value = 0;
    char meta[8];
    ASSERT_TRUE(qzhsm_stub2meta(good.data(), nullptr, &value, meta, sizeof meta, true));
    EXPECT_EQ(value, 11);
    EXPECT_STREQ(meta, "abc");

    EvDebugCapture capture;
    std::vector<char> badSig(good.begin(), good.begin() + 9);
    badSig[3] = 'Q';
    EXPECT_FALSE(qzhsm_stub2meta(badSig.data(), nullptr, nullptr, nullptr, 0, false));
    std::vector<char> badVersion(good.begin(), good.begin() + 9);
    badVersion[8] = 2;
    EXPECT_FALSE(qzhsm_stub2meta(badVersion.data(), nullptr, nullptr, nullptr, 0, false));
    std::vector<char> shortTotal(good.begin(), good.begin() + 11);
    writeBE(shortTotal, 9, 20, 2);
    EXPECT_FALSE(qzhsm_stub2meta(shortTotal.data(), nullptr, nullptr, nullptr, 0, false));
    ASSERT_EQ(capture.lines().size(), 3u);
    EXPECT_EQ(capture.lines()[0].text.rfind("Invalid stub signature", 0), 0u);
    EXPECT_EQ(capture.lines()[1].text, "Invalid stub version 2 (should have been 1)");
    EXPECT_EQ(capture.lines()[2].text, "Stub data is too short (20 instead of at least 26)");
}

// --- metadata readers --------------------------------------------------------

TEST(QZHSMStubMetadata, ParsesEveryField) {
    ReparseData d;
    ASSERT_TRUE(ParseStubReparseData(kMeta, d));
    EXPECT_EQ(d.hsmFields, (std::array<int, 4>{7, 0, 1, 3}));
    EXPECT_EQ(d.hsmValue, 5000000000LL);
    EXPECT_EQ(d.kind, QZHSM_META_KIND_GUID);
    EXPECT_EQ(d.guidLength, static_cast<int>(kGuid.size()));
    EXPECT_EQ(d.guid, kGuid);
    EXPECT_EQ(d.appId, 4711u);
    EXPECT_EQ(d.texts, (std::vector<std::string>{kAppGuid, "extra"}));

    ASSERT_TRUE(ParseStubReparseData("-1:2:3:4:-5:1:0::4294967295", d));
    EXPECT_EQ(d.hsmFields[0], -1);
    EXPECT_EQ(d.hsmValue, -5);
    EXPECT_TRUE(d.guid.empty());
    EXPECT_EQ(d.appId, 4294967295u);
    EXPECT_TRUE(d.texts.empty());

    std::vector<char> stub = envelope(kMeta);
    ReparseData fromStub;
    ASSERT_TRUE(ParseStubData(stub, fromStub));
    EXPECT_EQ(fromStub.guid, kGuid);
}

TEST(QZHSMStubMetadata, MalformedTextsFailCleanlyAndLeaveTheRecord) {
    const char* malformed[] = {
        "",
        "1:2:3:4:5:2",                   // six fields
        "1:2:3:4:5:2:3",                 // no GUID separator
        "1:2:3:4:5:2:99:abc:7",          // GUID longer than the text
        "1:2:3:4:5:2:-1:abc:7",          // negative GUID length
        "1:2:3:4:5:2:3:abc",             // nothing after the GUID
        "1:2:3:4:5:2:3:abc:",            // empty application id
        "1:2:3:4:5:2:3:abc:7x",          // trailing garbage in the id
        "1:2:3:4:5:2:3:abc:-7",          // negative id
        "1:2:3:4:5:2:3:abc:4294967296",  // id beyond 32 bits
        "99999999999:2:3:4:5:2:3:abc:7",
        "1:2:3:4:99999999999999999999:2:3:abc:7",
        "1: 2:3:4:5:2:3:abc:7",
        "a:2:3:4:5:2:3:abc:7",
    };
    for (const char* text : malformed) {
        EvDebugCapture capture;
        ReparseData d;
        d.appId = 99;
        EXPECT_FALSE(ParseStubReparseData(text, d)) << text;
        EXPECT_EQ(d.appId, 99u) << text;
        const auto lines = capture.lines();
        ASSERT_EQ(lines.size(), 1u) << text;
        EXPECT_EQ(lines[0].level, 5);
        EXPECT_EQ(lines[0].function, "ParseReparseData");
        EXPECT_EQ(lines[0].text, std::string("Parsing '") + text + "' failed");
    }
}

TEST(QZHSMStubMetadata, StubReadersReportABadEnvelopeAtLevelTwo) {
    std::vector<char> stub = envelope(kMeta);
    stub[30] ^= 1;
    EvDebugCapture capture;
    std::string text;
    ReparseData d;
    unsigned int appId = 0;
    std::string guid, appGuid;
    EXPECT_FALSE(GetStubReparseData(stub, text));
    EXPECT_FALSE(ParseStubData(stub, d));
    EXPECT_FALSE(GetAppIdAndGUIDFromStubData(stub, appId, guid));
    EXPECT_FALSE(GetAppGUIDAndStubGUIDFromStubData(stub, appGuid, guid));
    std::vector<char> empty;
    EXPECT_FALSE(GetStubReparseData(empty, text));
    for (const auto& l : capture.lines()) {
        EXPECT_EQ(l.level, 2);
        EXPECT_EQ(l.text, "Failed to extract metadata.");
    }
    EXPECT_EQ(capture.lines().size(), 5u);
    EXPECT_EQ(capture.lines()[0].function, "GetStubReparseData");
    EXPECT_EQ(capture.lines()[2].function, "getAppIdFromStubData");

    // The readers open envelopes into 1024 bytes: 1023 characters is the most.
    std::vector<char> longest = envelope(std::string(1023, 'a'));
    EXPECT_TRUE(GetStubReparseData(longest, text));
    EXPECT_EQ(text.size(), 1023u);
    std::vector<char> tooLong = envelope(std::string(1024, 'a'));
    EXPECT_FALSE(GetStubReparseData(tooLong, text));
}

TEST(QZHSMStubMetadata, AppIdAndGuid) {
    std::vector<char> stub = envelope(kMeta);
    unsigned int appId = 0;
    std::string guid;
    EvDebugCapture capture;
    ASSERT_TRUE(GetAppIdAndGUIDFromStubData(stub, appId, guid));
    EXPECT_EQ(appId, 4711u);
    EXPECT_EQ(guid, kGuid);
    EXPECT_TRUE(capture.contains("Metadata passes id [" + kMeta + "]."));

    std::vector<char> endsAtId = envelope("1:1:1:1:1:2:3:abc|9");  // any one separator
    ASSERT_TRUE(GetAppIdAndGUIDFromStubData(endsAtId, appId, guid));
    EXPECT_EQ(appId, 9u);
    EXPECT_EQ(guid, "abc");
}

TEST(QZHSMStubMetadata, AppIdFailuresSayWhy) {
    const std::pair<const char*, const char*> cases[] = {
        {"1:2:3:4:5:2", "AppID not found in metadata."},
        {"1:2:3:4:5:1:3:abc:7", "The supplied stub dose not have GUID in it."},
        {"1:2:3:4:5:2:40:abc:7", "Invalid GUID length 40 in metadata '1:2:3:4:5:2:40:abc:7'."},
        {"1:2:3:4:5:2:3:abc", "AppID not found in metadata."},
        {"1:2:3:4:5:2:3:abc:x", "AppID not found in metadata."},
    };
    for (const auto& [meta, message] : cases) {
        std::vector<char> stub = envelope(meta);
        unsigned int appId = 5;
        std::string guid = "keep";
        EvDebugCapture capture;
        EXPECT_FALSE(GetAppIdAndGUIDFromStubData(stub, appId, guid)) << meta;
        EXPECT_EQ(appId, 5u);
        EXPECT_EQ(guid, "keep");
        EXPECT_TRUE(capture.contains(message)) << meta;
    }
}

TEST(QZHSMStubMetadata, AppGuidAndStubGuid) {
    std::vector<char> stub = envelope(kMeta);
    std::string appGuid, stubGuid;
    ASSERT_TRUE(GetAppGUIDAndStubGUIDFromStubData(stub, appGuid, stubGuid));
    EXPECT_EQ(appGuid, kAppGuid);
    EXPECT_EQ(stubGuid, kGuid);

    for (const char* meta : {"1:2:3:4:5:2:3:abc:7", "1:2:3:4:5:2:3:abc:7|"}) {
        std::vector<char> noAppGuid = envelope(meta);
        EvDebugCapture capture;
        appGuid = stubGuid = "keep";
        EXPECT_FALSE(GetAppGUIDAndStubGUIDFromStubData(noAppGuid, appGuid, stubGuid)) << meta;
        EXPECT_EQ(appGuid, "keep");
        EXPECT_TRUE(capture.contains("Application GUID not found in metadata.")) << meta;
    }
}

}  // namespace
