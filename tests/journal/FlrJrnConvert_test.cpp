#include "FLR/FlrJrnConvert.h"

#include <gtest/gtest.h>

#include "FLR/JxException.h"
#include "JournalTestUtil.h"
#include "support/TestSupport.h"

using namespace jrntest;

namespace {

class FlrJrnConvertTest : public ::testing::Test {
  protected:
    void SetUp() override {
        paths_.set(fidOf(1), "/src");
        paths_.set(fidOf(2), "/src/dir");
        paths_.set(fidOf(3), "/src/dir/file");
        paths_.set(fidOf(9), "/");
    }
    FlrFidPathMap paths_;
};

TEST_F(FlrJrnConvertTest, NamesAreJoinedToTheirParentsPath) {
    FlrJrnConverter conv(paths_);
    FlrJrnCommandNet net;

    FlrJrnCommand c = rawCmd(FLR_JRN_CREATE);
    c.create.par_fid = fidOf(2);
    c.create.fid = fidOf(77);  // new: not known yet, and not needed
    c.create.short_name = "new.txt";
    c.create.mode = 0100600;
    c.create.rdev = 0x801;
    ASSERT_EQ(conv.convert(c, net), FlrJrnConvResult::Ok) << conv.lastError();
    EXPECT_STREQ(net.create.path, "/src/dir/new.txt");
    EXPECT_EQ(net.create.mode, 0100600u);
    EXPECT_EQ(net.create.rdev, 0x801u);
    EXPECT_EQ(net.seq_num, 42u);
    EXPECT_EQ(net.timestamp, 1700000000u);
    EXPECT_EQ(net.mask, 5u);

    c = rawCmd(FLR_JRN_REMOVE);
    c.remove.par_fid = fidOf(9);  // the root: no doubled slash
    c.remove.short_name = "top";
    c.remove.file_fid = fidOf(55);
    ASSERT_EQ(conv.convert(c, net), FlrJrnConvResult::Ok);
    EXPECT_STREQ(net.remove.path, "/top");

    c = rawCmd(FLR_JRN_RENAME);
    c.rename.src_fid = fidOf(3);
    c.rename.src_par_fid = fidOf(2);
    c.rename.src_short_name = "file";
    c.rename.dst_par_fid = fidOf(1);
    c.rename.dst_short_name = "moved";
    ASSERT_EQ(conv.convert(c, net), FlrJrnConvResult::Ok);
    EXPECT_STREQ(net.rename.src_path, "/src/dir/file");
    EXPECT_STREQ(net.rename.dst_path, "/src/moved");

    c = rawCmd(FLR_JRN_LINK);
    c.link.src_fid = fidOf(3);
    c.link.dst_par_fid = fidOf(1);
    c.link.dst_short_name = "hard";
    ASSERT_EQ(conv.convert(c, net), FlrJrnConvResult::Ok);
    EXPECT_STREQ(net.link.src_path, "/src/dir/file");
    EXPECT_STREQ(net.link.dst_path, "/src/hard");
}

TEST_F(FlrJrnConvertTest, IdentifiedFilesUseTheirOwnPathAndPayloadsAreShared) {
    FlrJrnConverter conv(paths_);
    FlrJrnCommandNet net;
    const char data[4] = {'a', 'b', 'c', 'd'};
    FlrJrnCommand w = rawCmd(FLR_JRN_TWRITE);
    w.write.fid = fidOf(3);
    w.write.offset = 4096;
    w.write.size = 4;
    w.write.data = data;
    ASSERT_EQ(conv.convert(w, net), FlrJrnConvResult::Ok);
    EXPECT_EQ(net.cmd, FLR_JRN_TWRITE);
    EXPECT_STREQ(net.write.path, "/src/dir/file");
    EXPECT_EQ(net.write.data, data);
    EXPECT_EQ(encodeNet(net).size(), 33u + 13u + 4u);

    FlrJrnCommand s = rawCmd(FLR_JRN_SETATTR);
    s.setattr.fid = fidOf(3);
    s.setattr.ctime_valid = 1;
    s.setattr.blocks_valid = 1;
    s.setattr.size_valid = 1;
    s.setattr.size = 1234;
    ASSERT_EQ(conv.convert(s, net), FlrJrnConvResult::Ok);
    EXPECT_EQ(net.setattr.size_valid, 1);
    EXPECT_EQ(net.setattr.size, 1234u);
}

TEST_F(FlrJrnConvertTest, RecordsWithoutANetworkFormAreReported) {
    FlrJrnConverter conv(paths_);
    FlrJrnCommandNet net;
    FlrJrnCommand t = rawCmd(FLR_JRN_TXTMSG);
    t.txtmsg.msg = "hello";
    EXPECT_EQ(conv.convert(t, net), FlrJrnConvResult::NoNetForm);
    EXPECT_STREQ(conv.lastError(), "FLR_JRN_TXTMSG has no network form");
    FlrJrnCommand d = rawCmd(FLR_JRN_WRITE_DDR);
    EXPECT_EQ(conv.convert(d, net), FlrJrnConvResult::NoNetForm);
    EXPECT_STREQ(conv.lastError(), "FLR_JRN_WRITE_DDR has no network form");
    FlrJrnCommand u = rawCmd(3);
    EXPECT_EQ(conv.convert(u, net), FlrJrnConvResult::UnknownCommand);
}

TEST_F(FlrJrnConvertTest, UnknownIdentifiersAreNamed) {
    FlrJrnConverter conv(paths_);
    FlrJrnCommandNet net;
    FlrJrnCommand c = rawCmd(FLR_JRN_RMDIR);
    c.rmdir.dir_fid = fidOf(2);
    c.rmdir.par_fid = fidOf(0xab);
    c.rmdir.short_name = "dir";
    EXPECT_EQ(conv.convert(c, net), FlrJrnConvResult::UnknownFid);
    EXPECT_EQ(std::string(conv.lastError()), "no path known for par_fid " + fidOf(0xab).toString());
    // The next good record clears the error.
    c.rmdir.par_fid = fidOf(1);
    EXPECT_EQ(conv.convert(c, net), FlrJrnConvResult::Ok);
    EXPECT_STREQ(conv.lastError(), "");
    EXPECT_STREQ(net.rmdir.path, "/src/dir");
}

TEST_F(FlrJrnConvertTest, FunctionResolverWorksLikeATable) {
    const std::string where = "/elsewhere/x";
    FlrFidResolverFn fn(
        [&](const fsf_fid& fid) { return fid == fidOf(5) ? where.c_str() : nullptr; });
    FlrJrnConverter conv(fn);
    FlrJrnCommandNet net;
    FlrJrnCommand c = rawCmd(FLR_JRN_UNSTUB);
    c.unstub.fid = fidOf(5);
    ASSERT_EQ(conv.convert(c, net), FlrJrnConvResult::Ok);
    EXPECT_STREQ(net.unstub.path, "/elsewhere/x");
}

TEST_F(FlrJrnConvertTest, PathMapFileRoundTripsAndNamesBadLines) {
    flrtest::TempDir dir;
    const std::string file = dir.file("map");
    paths_.set(fidOf(4), "/with space/and\ttab");
    paths_.save(file);
    const std::string text = flrtest::readFile(file);
    EXPECT_EQ(text.substr(0, 49), fidOf(1).toString() + " ");
    FlrFidPathMap back;
    back.load(file);
    EXPECT_EQ(back.size(), paths_.size());
    EXPECT_STREQ(back.pathOf(fidOf(4)), "/with space/and\ttab");
    EXPECT_EQ(back.toText(), text);

    flrtest::writeFile(file, fidOf(1).toString() + " /a\n\nnot-a-fid /b\n");
    try {
        back.load(file);
        FAIL() << "bad line accepted";
    } catch (const JxException& e) {
        EXPECT_EQ(e.getMessage(),
                  "Bad line 3 in " + file + ": expected \"<48 hex digits> <path>\"");
    }
    EXPECT_EQ(back.size(), paths_.size()) << "a failed load keeps the old table";
    flrtest::writeFile(file, std::string(47, '0') + "g /a\n");
    EXPECT_THROW(back.load(file), JxException);

    FlrFidPathMap withNewline;
    withNewline.set(fidOf(1), "/a\nb");
    EXPECT_THROW(withNewline.save(file), JxException);
}

// The sample generator's table resolves every identifier its records name.
TEST(FlrJrnConvertSample, EverySampleRecordConverts) {
    for (auto mix : {FlrJrnSample::Mix::Full, FlrJrnSample::Mix::Bench}) {
        FlrFidPathMap paths;
        const auto records = sampleRecords(1500, 21, mix, &paths);
        FlrJrnConverter conv(paths);
        size_t ok = 0, none = 0;
        for (const auto& rec : records) {
            FlrJrnCommand raw;
            ASSERT_EQ(decodeRawCmd(rec.data(), rec.size(), &raw), 0);
            FlrJrnCommandNet net;
            const FlrJrnConvResult rc = conv.convert(raw, net);
            if (rc == FlrJrnConvResult::NoNetForm) {
                ++none;
                continue;
            }
            ASSERT_EQ(rc, FlrJrnConvResult::Ok) << conv.lastError();
            ++ok;
            const auto wire = encodeNet(net);
            FlrJrnCommandNet back;
            decodeNetCmd(wire.data(), wire.size(), &back);
            EXPECT_EQ(back.cmd, raw.cmd);
            EXPECT_EQ(back.seq_num, raw.seq_num);
        }
        EXPECT_GT(ok, 1000u);
        if (mix == FlrJrnSample::Mix::Bench) {
            EXPECT_EQ(none, 0u);
        }
    }
}

}  // namespace
