// Head to tail over loopback: the driver sends a tree through the applying
// tail service, then a changed tree, and the destination equals the source
// every time, whatever the method.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "TreeUtil.h"
#include "apply/TailApplyFixture.h"
#include "net/FlrNetHead.h"
#include "scan/FlrCollectText.h"
#include "transfer/FlrBackup.h"

namespace {

using treeutil::collectLines;
using treeutil::differences;
using treeutil::randomBytes;

constexpr int kBlock = 4096;

struct Method {
    const char* name;
    bool md5;
    bool rsync;
};

class BackupRoundTrip : public ::testing::TestWithParam<Method> {
  protected:
    void makeTree() {
        ASSERT_EQ(0, ::mkdir(src.file("a").c_str(), 0755));
        ASSERT_EQ(0, ::mkdir(src.file("a/b").c_str(), 0700));
        ASSERT_EQ(0, ::mkdir(src.file("empty").c_str(), 0750));
        const size_t sizes[] = {0, 1, kBlock - 1, kBlock, 3 * kBlock + kBlock / 2, 300000};
        for (size_t i = 0; i < sizeof sizes / sizeof sizes[0]; ++i)
            flrtest::writeFile(src.file((i % 2 ? "a/f" : "a/b/f") + std::to_string(i)),
                               randomBytes(sizes[i], static_cast<unsigned>(i)));
        flrtest::writeFile(src.file("top"), randomBytes(100000, 99));
        ASSERT_EQ(0, ::chmod(src.file("top").c_str(), 0600));
        ASSERT_EQ(0, ::symlink("a/f1", src.file("link").c_str()));
        ASSERT_EQ(0, ::symlink("/nowhere/at/all", src.file("a/dangling").c_str()));
        ASSERT_EQ(0, ::mkfifo(src.file("a/fifo").c_str(), 0640));
    }
    void changeTree() {
        std::string top = flrtest::readFile(src.file("top"));
        top[50000] ^= 0x11;
        top.insert(70000, "inserted");
        flrtest::writeFile(src.file("top"), top);
        std::string f5 = flrtest::readFile(src.file("a/f5"));
        f5[10] ^= 1;
        flrtest::writeFile(src.file("a/f5"), f5 + randomBytes(5000, 7));
        const std::string f4 = flrtest::readFile(src.file("a/b/f4"));
        flrtest::writeFile(src.file("a/b/f4"), f4.substr(0, kBlock + 3));
        flrtest::writeFile(src.file("a/new"), "a new file");
    }
    struct Result {
        FlrTailApplyStats tail;
        long long sent = 0;  // data bytes the head sent
    };
    Result transfer() {
        std::string lines;
        collectLines(src.path(), "", lines);
        const std::string cf = work.file("collect.txt");
        flrtest::writeFile(cf, lines);
        auto tail = std::make_unique<tailtest::Tail>(dst.path());
        FlrNetHead head;
        head.connect("127.0.0.1", tail->port(), 0);
        JxSafeFlags abortFlag;
        FlrBackup b(&head, &abortFlag, nullptr);
        b.addDirPair(src.path().c_str(), dst.path().c_str());
        b.hashChunkSize = kBlock;
        b.hashMinFileSize = 1;
        b.useMD5 = GetParam().md5;
        b.useRSync = GetParam().rsync;
        b.backup(cf.c_str(), 0, false, -1);
        head.ping();  // everything sent before it has been applied
        head.closeSocket();
        return {treeutil::stopped(std::move(tail)), b.getTotalBytes()};
    }

    tailtest::Registry registry;
    flrtest::TempDir src;
    flrtest::TempDir dst;
    flrtest::TempDir work;
};

TEST_P(BackupRoundTrip, TreeThenChangedTree) {
    makeTree();
    const Result first = transfer();
    EXPECT_EQ(0, first.tail.failed);
    EXPECT_EQ(0, first.tail.refused);
    EXPECT_EQ("", differences(src.path(), dst.path()));
    changeTree();
    const Result second = transfer();
    EXPECT_EQ(0, second.tail.failed);
    EXPECT_EQ("", differences(src.path(), dst.path()));
    if (GetParam().md5 || GetParam().rsync) {
        // The unchanged bulk of the files came from the tail's old copies.
        EXPECT_GT(second.tail.reused, 300000);
        EXPECT_LT(second.sent, first.sent / 4);
    } else {
        EXPECT_EQ(0, second.tail.reused);
    }
}

INSTANTIATE_TEST_SUITE_P(Methods, BackupRoundTrip,
                         ::testing::Values(Method{"full", false, false}, Method{"md5", true, false},
                                           Method{"rsync", false, true},
                                           Method{"both", true, true}),
                         [](const ::testing::TestParamInfo<Method>& p) {
                             return std::string(p.param.name);
                         });

}  // namespace
