// The flr stub and flr mounts commands, run as a person would run them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mgmt/qzhsm/QZHSMCommon/QZHSMStubFile.h"
#include "support/TestSupport.h"
#include "support/ToolRunner.h"

namespace {

class StubToolTest : public ::testing::Test {
  protected:
    void SetUp() override { FLR_REQUIRE_TOOL(); }

    static flrtest::ToolRun flr(const std::vector<std::string>& args) {
        return flrtest::runTool(args);
    }

    static size_t count(const std::string& text, const std::string& part) {
        size_t n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
            ++n;
        return n;
    }

    flrtest::TempDir dir_;
};

TEST_F(StubToolTest, EncodeThenDecodeShowsEveryField) {
    const std::string stub = dir_.file("stub");
    const std::string meta = "1:2:3:4:5:2:3:abc:4711|{app-guid}";
    auto enc = flr({"stub", "encode", meta, "--value", "-9", "-o", stub});
    ASSERT_EQ(enc.status, 0) << enc.err;
    const std::string bytes = flrtest::readFile(stub);
    EXPECT_EQ(bytes.size(), meta.size() + 26);
    EXPECT_TRUE(qzhsm_stub2meta(bytes.data(), static_cast<int>(bytes.size()), nullptr, nullptr,
                                nullptr, 0, true));

    auto dec = flr({"stub", "decode", stub});
    ASSERT_EQ(dec.status, 0) << dec.err;
    EXPECT_NE(dec.out.find("total length:  " + std::to_string(bytes.size())), std::string::npos);
    EXPECT_NE(dec.out.find("value:         -9\n"), std::string::npos) << dec.out;
    EXPECT_NE(dec.out.find("metadata:      " + meta + "\n"), std::string::npos);
    EXPECT_NE(dec.out.find("app id:        4711\n"), std::string::npos);
    EXPECT_NE(dec.out.find("GUID:          abc\n"), std::string::npos);
    EXPECT_NE(dec.out.find("app GUID:      {app-guid}\n"), std::string::npos);
}

TEST_F(StubToolTest, BadEnvelopeShowsTheReasonOnceAndFails) {
    const std::string stub = dir_.file("stub");
    ASSERT_EQ(flr({"stub", "encode", "abc", "-o", stub}).status, 0);
    std::string bytes = flrtest::readFile(stub);
    bytes[22] = 'X';
    flrtest::writeFile(stub, bytes);
    auto dec = flr({"stub", "decode", stub});
    EXPECT_EQ(dec.status, 1);
    EXPECT_TRUE(dec.out.empty()) << dec.out;
    EXPECT_EQ(count(dec.err, "Stub data is corrupt: invalid CRC32 0x"), 1u) << dec.err;

    flrtest::writeFile(stub, bytes.substr(0, 20));
    dec = flr({"stub", "decode", stub});
    EXPECT_EQ(dec.status, 1);
    EXPECT_NE(dec.err.find("Stub data is too short (20 instead of at least 26)"), std::string::npos)
        << dec.err;
    EXPECT_EQ(flr({"stub", "decode", dir_.file("absent")}).status, 1);
    EXPECT_EQ(flr({"stub", "decode"}).status, 2);
}

TEST_F(StubToolTest, MountsListsOrFindsTheHoldingEntry) {
    const std::string table = dir_.file("mounts");
    flrtest::writeFile(table,
                       "/dev/root / ext4 rw 0 0\n"
                       "/dev/sdb1 /data xfs ro,noatime 0 0\n");
    auto all = flr({"mounts", "--table", table});
    ASSERT_EQ(all.status, 0) << all.err;
    EXPECT_EQ(count(all.out, "\n"), 2u);
    auto one = flr({"mounts", "--table", table, "/data/x"});
    ASSERT_EQ(one.status, 0) << one.err;
    EXPECT_EQ(one.out.rfind("/dev/sdb1", 0), 0u) << one.out;
    EXPECT_NE(one.out.find(" ro "), std::string::npos) << one.out;
    EXPECT_EQ(flr({"mounts", "--table", table, "/database"}).out.rfind("/dev/root", 0), 0u);

    flrtest::writeFile(table, "/dev/sdb1 /data xfs rw 0 0\n");
    auto none = flr({"mounts", "--table", table, "/database"});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("Failed to find mount point containing file /database"),
              std::string::npos);
}

}  // namespace
