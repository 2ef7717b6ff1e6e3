// A dirchange mirror never removes across a mount point: a file system
// mounted under the replica root keeps its contents when the folder holding
// it is no longer on the source; what is left is counted, not hidden.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <string>

#include "TailApplyFixture.h"
#include "apply/FlrTailDirChange.h"
#include "apply/FlrTailRoot.h"

using namespace tailtest;

namespace {

struct MountedBelow {
    std::string at;
    bool mounted = false;
    explicit MountedBelow(std::string path) : at(std::move(path)) {
        mounted = ::mount("flrtest", at.c_str(), "tmpfs", 0, "size=1m") == 0;
    }
    ~MountedBelow() {
        if (mounted) ::umount2(at.c_str(), MNT_DETACH);
    }
};

TEST(TailDirChangeMount, AMountedFileSystemSurvivesTheRemovalOfItsParent) {
    Registry reg;
    flrtest::TempDir tmp;
    const std::string root = tmp.path() + "/root";
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((root + "/gone").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((root + "/gone/mnt").c_str(), 0755), 0);
    flrtest::writeFile(root + "/gone/plain", "plain");
    flrtest::writeFile(root + "/kept", "kept");
    MountedBelow m(root + "/gone/mnt");
    if (!m.mounted) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
    flrtest::writeFile(root + "/gone/mnt/inside", "inside");
    ASSERT_EQ(::mkdir((root + "/gone/mnt/sub").c_str(), 0755), 0);
    flrtest::writeFile(root + "/gone/mnt/sub/deep", "deep");

    FlrTailRoot r(root);
    FlrTailApplyStats stats;
    FlrTailDirChange mirror(r, stats);
    const std::string listing = root + "\n\tkept\n";
    mirror.feed(listing.data(), listing.size());
    mirror.finish();

    EXPECT_EQ(flrtest::readFile(root + "/gone/mnt/inside"), "inside");
    EXPECT_EQ(flrtest::readFile(root + "/gone/mnt/sub/deep"), "deep");
    EXPECT_EQ(flrtest::readFile(root + "/kept"), "kept");
    struct stat st {};
    EXPECT_NE(::lstat((root + "/gone/plain").c_str(), &st), 0) << "the same-device part goes";
    EXPECT_GE(stats.failed, 1) << "what is left is counted";
}

}  // namespace
