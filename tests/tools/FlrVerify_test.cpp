#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/TestSupport.h"
#include "support/ToolRunner.h"

namespace {

using flrtest::writeFile;

// Files, a nested folder, a dangling symbolic link and a fifo.
void makeTree(const std::string& root) {
    ASSERT_EQ(::mkdir((root + "/d").c_str(), 0755), 0);
    writeFile(root + "/a.txt", "alpha\n");
    writeFile(root + "/d/big", std::string(100000, 'x'));
    ASSERT_EQ(::symlink("../nowhere", (root + "/d/link").c_str()), 0);
    ASSERT_EQ(::mkfifo((root + "/d/fifo").c_str(), 0640), 0);
}

struct Pair {
    flrtest::TempDir src, dst;
    Pair() {
        makeTree(src.path());
        makeTree(dst.path());
    }
};

TEST(FlrVerifyCommand, ExitStatusTellsSameFromDifferent) {
    FLR_REQUIRE_TOOL();
    Pair p;
    flrtest::ToolRun same = flrtest::runTool({"verify", p.src.path(), p.dst.path()});
    EXPECT_EQ(same.status, 0) << same.err;
    EXPECT_NE(same.out.find("flr verify: same (6 entries"), std::string::npos) << same.out;

    writeFile(p.dst.file("d/big"), "changed");
    flrtest::ToolRun diff = flrtest::runTool({"verify", "--json", p.src.path(), p.dst.path()});
    EXPECT_EQ(diff.status, 1);
    EXPECT_NE(diff.out.find("\"path\":\"d/big\",\"what\":\"size differs"), std::string::npos)
        << diff.out;

    EXPECT_EQ(flrtest::runTool({"verify", p.src.path(), p.dst.file("absent")}).status, 1);
    EXPECT_EQ(flrtest::runTool({"verify", p.src.path()}).status, 2);
}

}  // namespace
