// Several streams over one collect file, through the applying tail.
#include "transfer/FlrMultiStreamBackup.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "FLR/JxException.h"
#include "TreeUtil.h"
#include "apply/TailApplyFixture.h"
#include "net/FlrNetHead.h"
#include "platform/JXPlatformInfo.h"
#include "transfer/FlrBackup.h"

namespace {

class MultiStream : public ::testing::Test {
  protected:
    void makeTree(int files) {
        for (const char* d : {"x", "x/y", "z"}) ASSERT_EQ(0, ::mkdir(src.file(d).c_str(), 0755));
        for (int i = 0; i < files; ++i) {
            const char* dir = i % 3 == 0 ? "x/" : i % 3 == 1 ? "x/y/" : "z/";
            flrtest::writeFile(src.file(dir + std::to_string(i)),
                               treeutil::randomBytes(static_cast<size_t>(i) * 977, i));
        }
        ASSERT_EQ(0, ::symlink("x/0", src.file("z/link").c_str()));
    }
    std::string collectOf(const std::string& extra = "") {
        std::string lines;
        treeutil::collectLines(src.path(), "", lines);
        const std::string cf = work.file("collect.txt");
        flrtest::writeFile(cf, lines + extra);
        return cf;
    }
    // Runs ms against a fresh applying tail; the tail's counts.
    FlrTailApplyStats run(FlrMultiStreamBackup& ms, const std::string& cf,
                          FlrTailApplyStats* onFailure = nullptr) {
        auto tail = std::make_unique<tailtest::Tail>(dst.path());
        FlrNetHead head;
        head.connect("127.0.0.1", tail->port(), 0);
        JxSafeFlags abortFlag;
        ms.addDirPair(src.path(), dst.path());
        ms.tune = [this](FlrBackup& b) {
            b.hashChunkSize = 4096;
            b.hashMinFileSize = 1;
            if (tune) tune(b);
        };
        try {
            ms.backup(&head, cf.c_str(), 0, false, &abortFlag, -1);
        } catch (...) {
            head.closeSocket();
            const FlrTailApplyStats stats = treeutil::stopped(std::move(tail));
            if (onFailure) *onFailure = stats;
            throw;
        }
        head.ping();
        head.closeSocket();
        return treeutil::stopped(std::move(tail));
    }

    static bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

    std::function<void(FlrBackup&)> tune;
    tailtest::Registry registry;
    flrtest::TempDir src;
    flrtest::TempDir dst;
    flrtest::TempDir work;
};

TEST_F(MultiStream, EveryStreamCountDeliversTheTreeOnce) {
    makeTree(40);
    const std::string cf = collectOf();
    for (int streams : {1, 2, 4}) {
        for (bool md5 : {false, true}) {
            SCOPED_TRACE(std::to_string(streams) + (md5 ? " streams, md5" : " streams"));
            flrtest::removeTree(dst.path());
            ASSERT_EQ(0, ::mkdir(dst.path().c_str(), 0700));
            FlrMultiStreamBackup ms(streams);
            ms.wantMD5 = md5;
            const FlrTailApplyStats stats = run(ms, cf);
            EXPECT_EQ(40u, ms.getSplitFiles());
            EXPECT_EQ(4u, ms.getSplitDirs());  // three folders and a link
            EXPECT_EQ(44, ms.getTotalFiles());
            EXPECT_EQ(40, stats.files);  // each file applied exactly once
            EXPECT_EQ(0, stats.failed);
            EXPECT_EQ("", treeutil::differences(src.path(), dst.path()));
            EXPECT_FALSE(exists(cf + ".files"));
            EXPECT_FALSE(exists(cf + ".dirs"));
        }
    }
}

TEST_F(MultiStream, OnlyDirectoriesAndLinesWithoutSlash) {
    ASSERT_EQ(0, ::mkdir(src.file("d").c_str(), 0755));
    FlrMultiStreamBackup ms(2);
    ms.skipVanished = true;  // "relative-name" names nothing
    run(ms, collectOf("relative-name\n"));
    EXPECT_EQ(0u, ms.getSplitFiles());
    EXPECT_EQ(2u, ms.getSplitDirs());
    EXPECT_EQ(1, ms.getTotalFiles());
    EXPECT_EQ("", treeutil::differences(src.path(), dst.path()));
}

// An entry gone before the split fails the directory pass; one that goes
// after it fails its stream, and then no directory is sent at all.
TEST_F(MultiStream, AVanishedEntryFailsTheRunNamingIt) {
    makeTree(6);
    for (bool inStream : {false, true}) {
        SCOPED_TRACE(inStream ? "gone after the split" : "gone before the split");
        const std::string gone = src.file(inStream ? "x/3" : "nothing-here");
        const std::string cf = collectOf(inStream ? "" : gone + "\n");
        if (inStream) tune = [&](FlrBackup&) { ::unlink(gone.c_str()); };
        FlrMultiStreamBackup ms(2);
        FlrTailApplyStats stats;
        try {
            run(ms, cf, &stats);
            ADD_FAILURE() << "a vanished entry was skipped without skipVanished";
        } catch (const JxException& e) {
            EXPECT_EQ("Failed to stat file " + gone, e.getMessage());
        }
        if (inStream) {
            EXPECT_EQ(0, stats.dirs);
        }
        EXPECT_FALSE(exists(cf + ".files"));
        EXPECT_FALSE(exists(cf + ".dirs"));
        tune = nullptr;
    }
}

TEST_F(MultiStream, DisabledLBFSFallsBackToMD5AndRSync) {
    ASSERT_EQ(0, JXPlatformInfo::setString("ZRP", "nDisableLBFS", "1"));
    ASSERT_EQ(0, JXPlatformInfo::setString("ZRP", "nDisableRSync", "1"));
    makeTree(3);
    FlrMultiStreamBackup ms(2);
    ms.wantLBFS = true;
    bool md5 = false, rsync = true, lbfs = true;
    tune = [&](FlrBackup& b) {
        md5 = b.useMD5;
        rsync = b.useRSync;
        lbfs = b.useLBFS;
    };
    run(ms, collectOf());
    EXPECT_TRUE(md5);
    EXPECT_FALSE(rsync);
    EXPECT_FALSE(lbfs);
    // MD5 found nothing to compare on the empty destination: all went whole.
    EXPECT_EQ(0, ms.getMethodCount(FlrNetMirHeader::kMD5));
    EXPECT_EQ("", treeutil::differences(src.path(), dst.path()));
}

}  // namespace
