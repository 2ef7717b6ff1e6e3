// The btrfs engine for real, on a loop-mounted btrfs image: read-only
// snapshots through the manager, its per-set limit, pending removals and
// registration. Needs root, loop devices and btrfs-progs; skipped with the
// reason elsewhere.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "FLR/FlrSnapMgr.h"
#include "env/FlrHelper.h"
#include "mgmt/MgmtConfig.h"
#include "mgmt/ReplicaDBClient.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxProcess.h"
#include "snap/FlrSnapOSBtrfs.h"
#include "support/TestSupport.h"

namespace {

// The mount point's name carries a blank, quotes and shell syntax.
const char* const kMountName = "rep 'a'\"$(touch pwned);b";

class BtrfsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a btrfs image";
        if (::access("/dev/loop-control", F_OK) != 0) GTEST_SKIP() << "no loop devices";
        const std::string image = dir_.file("btrfs.img");
        mnt_ = dir_.file(kMountName);
        ::mkdir(mnt_.c_str(), 0755);
        flrtest::writeFile(image, "");
        if (::truncate(image.c_str(), 128ll << 20) != 0) GTEST_SKIP() << "cannot size the image";
        const auto mkfs = JxProcess::run({"mkfs.btrfs", "-q", "-f", image});
        if (mkfs.status != 0) GTEST_SKIP() << "mkfs.btrfs unavailable: " << mkfs.error;
        const auto mount = JxProcess::run({"mount", "-o", "loop", image, mnt_});
        if (mount.status != 0) GTEST_SKIP() << "cannot loop-mount btrfs: " << mount.error;
        mounted_ = true;
        flrtest::writeFile(mnt_ + "/file", "replica data");
        JXPlatformInfo::setString("Platform", "dInstall", dir_.file("install"));
        JXPlatformInfo::setString("Platform", "dTemp", dir_.path());
        JXPlatformInfo::setString("ZRP", "dSnapMountDir", dir_.file("snapmount"));
        // Not a configured client: the process-wide client id stays unknown
        // (it is cached once known), as other suites of this binary expect.
        JXPlatformInfo::setString("Platform", "sHostName", "unlisted-host");
    }
    void TearDown() override {
        if (!mounted_) return;
        for (const auto& s : snapshots()) JxProcess::run({"btrfs", "subvolume", "delete", s});
        JxProcess::run({"umount", mnt_});
    }

    std::vector<std::string> snapshots() const {
        std::vector<std::string> out;
        for (const auto& lv : FlrSnapOS::getLVList(FLR_SNAP_ENG_BTRFS))
            if (lv->rdev.path == mnt_)
                for (const auto& s : lv->snaps) out.push_back(s->rdev.path);
        return out;
    }
    std::string create(unsigned long long job, int set, int maxPerSet) {
        std::string device, mountPath;
        FlrSnapMgr(job).snap(mnt_.c_str(), SNAP_TYPE_RECOVERY, job, set, maxPerSet, &device,
                             &mountPath);
        EXPECT_EQ(device, mountPath);  // visible where it is, nothing mounted
        return device;
    }

    flrtest::HostVolumeLock hostLock_;  // first: held until the image is unmounted
    flrtest::TempDir dir_;
    flrtest::ScopedRegistry registry_;
    std::string mnt_;
    bool mounted_ = false;
};

TEST_F(BtrfsTest, RecoveryPointIsAReadOnlyCopyVisibleWithoutMounting) {
    const std::string snap = create(11, 3, 4);
    EXPECT_EQ(snap.substr(0, mnt_.size() + 14), mnt_ + "/.flrsnap/jxr_");
    EXPECT_EQ(flrtest::readFile(snap + "/file"), "replica data");
    flrtest::writeFile(mnt_ + "/file", "changed later");
    EXPECT_EQ(flrtest::readFile(snap + "/file"), "replica data");
    std::ofstream(snap + "/new") << "x";
    EXPECT_NE(::access((snap + "/new").c_str(), F_OK), 0);  // read-only
    EXPECT_NE(::access((dir_.path() + "/pwned").c_str(), F_OK), 0);

    const auto list = FlrSnapMgr(0).getSnapList(mnt_.c_str());
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list.front().jobId, 11u);
    EXPECT_EQ(list.front().setId, 3);
    EXPECT_EQ(list.front().snap->name.size(), 36u);  // the subvolume's UUID names its record
}

TEST_F(BtrfsTest, PerSetLimitRemovesTheOldestJob) {
    create(1, 5, 2);
    create(2, 5, 2);
    create(3, 5, 2);
    std::vector<unsigned long long> jobs;
    for (const auto& e : FlrSnapMgr(0).getSnapList(mnt_.c_str())) jobs.push_back(e.jobId);
    EXPECT_EQ(jobs, (std::vector<unsigned long long>{2, 3}));
    EXPECT_EQ(snapshots().size(), 2u);
}

TEST_F(BtrfsTest, PendingRemovalIsCarriedOutByTheNextOperation) {
    const std::string old = create(1, 5, 9);
    FlrSnapMgr::addToUnsnapTODO(old.c_str());
    FlrSnapMgr::addToUnsnapTODO(old.c_str());  // no duplicate
    EXPECT_EQ(FlrSnapMgr::getUnsnapTODO().size(), 1u);
    const std::string fresh = create(2, 5, 9);
    EXPECT_TRUE(FlrSnapMgr::getUnsnapTODO().empty());
    EXPECT_EQ(snapshots(), std::vector<std::string>{fresh});
    EXPECT_TRUE(FlrSnapMgr(0).unSnapAll(mnt_.c_str(), SNAP_TYPE_RECOVERY));
    EXPECT_TRUE(snapshots().empty());
}

TEST_F(BtrfsTest, RegistrationTiesTheSnapshotToThePairOnTheMount) {
    const int src = MgmtConfig::addClient("headhost", "headhost");
    const int dst = MgmtConfig::addClient("tailhost", "tailhost");
    const long set = MgmtConfig::addSet("s", src, dst);
    const long pair = MgmtConfig::addPair(set, "/src", mnt_ + "/replica");
    const std::string snap = create(21, static_cast<int>(set), 3);
    CreateCPArgsById_t sent;
    FlrHelper::sendCPListToBN(&sent);
    ASSERT_EQ(sent.consistencyPoints.size(), 1u);
    EXPECT_EQ(sent.consistencyPoints[0].jobId, 21u);
    ASSERT_EQ(sent.snapshots.size(), 1u);
    EXPECT_EQ(sent.snapshots[0].device, snap);
    ASSERT_EQ(sent.snapPairs.size(), 1u);
    EXPECT_EQ(sent.snapPairs[0].pairId, pair);
    ASSERT_EQ(sent.mountPoints.size(), 1u);
    EXPECT_EQ(sent.mountPoints[0].mountPoint, snap);
}

// A head that replicated into the recovery points' folder (a link to another
// subvolume, a file) gets neither listed, and listing or removing every
// recovery point deletes nothing through them.
TEST_F(BtrfsTest, OnlyRealSubvolumesInTheSnapshotFolderAreRecoveryPoints) {
    const std::string kept = create(31, 6, 9);
    const std::string other = mnt_ + "/other";
    ASSERT_EQ(JxProcess::run({"btrfs", "subvolume", "create", other}).status, 0);
    flrtest::writeFile(other + "/data", "another subvolume");
    const std::string dir = mnt_ + "/" + FlrSnapOS_LV_btrfs::kSnapDir;
    ASSERT_EQ(::symlink(other.c_str(), (dir + "/jxr_00000003").c_str()), 0);
    flrtest::writeFile(dir + "/jxr_00000004", "a file");

    EXPECT_EQ(snapshots(), std::vector<std::string>{kept});
    (void)FlrSnapMgr(0).getSnapList(mnt_.c_str());
    EXPECT_TRUE(FlrSnapMgr(0).unSnapAll(mnt_.c_str(), SNAP_TYPE_RECOVERY));
    EXPECT_EQ(flrtest::readFile(other + "/data"), "another subvolume");
    EXPECT_TRUE(snapshots().empty());
}

}  // namespace

namespace {

// Snapshot paths under a mount point with white space survive the
// blank-separated pending list; plain device paths are stored as they are.
TEST(PendingList, KeepsPathsWithWhiteSpaceWhole) {
    flrtest::ScopedRegistry registry;
    const std::string odd = "/mnt/rep 'a'\t\\b/.flrsnap/jxr_1";
    FlrSnapMgr::addToUnsnapTODO("/dev/vg/jxr_2");
    FlrSnapMgr::addToUnsnapTODO(odd.c_str());
    FlrSnapMgr::addToUnsnapTODO(odd.c_str());
    EXPECT_EQ(FlrSnapMgr::getUnsnapTODO(), (std::list<std::string>{"/dev/vg/jxr_2", odd}));
    std::string stored;
    JXPlatformInfo::getString("ZRP", "sUnsnapTODO", stored);
    EXPECT_EQ(stored, "/dev/vg/jxr_2 /mnt/rep\\040'a'\\011\\134b/.flrsnap/jxr_1");
    FlrSnapMgr::delFromUnsnapTODO(odd.c_str());
    EXPECT_EQ(FlrSnapMgr::getUnsnapTODO(), (std::list<std::string>{"/dev/vg/jxr_2"}));
}

}  // namespace
