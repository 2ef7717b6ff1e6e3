// GPFS engine and administration class against the fake mm* commands:
// listing per file set (global snapshots under "root"), snapshots visible
// without mounting through the manager, removal, failures.
#include <gtest/gtest.h>
#include <unistd.h>

#include "FLR/FlrSnapMgr.h"
#include "FLR/JxException.h"
#include "StoreFakes.h"
#include "mgmt/Gpfs.h"
#include "platform/JXPlatformInfo.h"
#include "snap/FlrSnapOSGpfs.h"

using flrtest::FakeStore;
using Argv = std::vector<std::string>;

namespace {

// The file set's name and junction carry a blank, a colon (escaped by -Y),
// quotes and shell syntax.
const std::string kOddSet = "set one:'$(id);\"";

const char* const kState = R"({"gpfs": {"gpfs1": {"mount": "/gpfs/fs1",
    "filesets": [{"name": "root", "path": "/gpfs/fs1"},
                 {"name": "set one:'$(id);\"", "path": "/gpfs/fs1/set one:'$(id);\""},
                 {"name": "old", "path": "--", "status": "Unlinked"}],
    "snaps": [{"name": "jxm_10", "fileset": ""}, {"name": "jxr_20", "fileset": "set one:'$(id);\""}]},
  "gpfs2": {"mount": "/gpfs/fs2", "filesets": [{"name": "root", "path": "/gpfs/fs2"}], "snaps": []}}})";

class GpfsTest : public ::testing::Test {
  protected:
    GpfsTest() : store_(kState) {
        store_.setMounts("gpfs1 /gpfs/fs1 gpfs rw 0 0\n");  // gpfs2 is not mounted here
        JXPlatformInfo::setString("Platform", "sHostName", "tailhost");
    }
    FakeStore store_;
};

TEST_F(GpfsTest, ListsLinkedFileSetsOfMountedDevicesWithTheirSnapshots) {
    const auto lvs = FlrSnapOS_LV_gpfs::getLVList();
    ASSERT_EQ(lvs.size(), 2u);
    auto root = lvs.front().cast<FlrSnapOS_LV_gpfs>();
    auto odd = lvs.back().cast<FlrSnapOS_LV_gpfs>();
    ASSERT_TRUE(root && odd);
    EXPECT_EQ(root->fileSet, "root");
    EXPECT_EQ(odd->fileSet, kOddSet);
    EXPECT_EQ(root->rdev.path, "gpfs1");
    ASSERT_EQ(root->snaps.size(), 1u);
    const auto& global = root->snaps.front();
    EXPECT_EQ(global->rdev.path, "jxm_10@gpfs1");
    EXPECT_EQ(global->name, "jxm_10@gpfs1");
    EXPECT_EQ(global->rdev.leaf, "jxm_10");
    EXPECT_FALSE(global->isUnMountable());
    ASSERT_EQ(odd->snaps.size(), 1u);
    EXPECT_EQ(odd->snaps.front()->rdev.leaf, "jxr_20");
}

TEST_F(GpfsTest, NoDeviceListsNothingAndOtherEnginesStillList) {
    store_.setState(R"({"gpfs": {}})");
    EXPECT_TRUE(FlrSnapOS_LV_gpfs::getLVList().empty());
    store_.setState(R"({"gpfs": {}, "fail": {"mmlsfs": "mmlsfs: command not found"}})");
    EXPECT_TRUE(FlrSnapOS_LV_gpfs::getLVList().empty());
    const auto saved = FlrSnapOS::getEngine(FLR_SNAP_ENG_LINUX_LVM);
    FlrSnapOS::registerEngine(FLR_SNAP_ENG_LINUX_LVM, [] {
        return FlrSnapOS::LVList{SP<FlrSnapOS::LV>(
            new FlrSnapOS_LV_gpfs(FlrSnapOS::RDEV("other"), "x", FLR_SNAP_ENG_GPFS, "x"))};
    });
    const auto all =
        FlrSnapOS::getLVList(std::list<FLR_SNAP_ENG>{FLR_SNAP_ENG_LINUX_LVM, FLR_SNAP_ENG_GPFS});
    FlrSnapOS::registerEngine(FLR_SNAP_ENG_LINUX_LVM, saved);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all.front()->rdev.path, "other");
}

TEST_F(GpfsTest, SnapshotIsVisibleUnderTheJunctionAndNotMounted) {
    auto lv = FlrSnapOS_LV_gpfs::getLVList().back();  // the odd file set of gpfs1
    std::string path = "/not/used";
    auto snap = lv->snapAndMount(4096, "jxr_30", &path);
    EXPECT_EQ(path, "/gpfs/fs1/" + kOddSet + "/.snapshots/jxr_30");
    EXPECT_EQ(store_.calls("mmcrsnapshot"),
              (std::vector<Argv>{{"mmcrsnapshot", "gpfs1", "jxr_30", "-j", kOddSet}}));
    EXPECT_EQ(flrtest::readFile(store_.dir() + "/mounts"), "gpfs1 /gpfs/fs1 gpfs rw 0 0\n");
    EXPECT_EQ(snap->rdev.path, "jxr_30@gpfs1");
}

TEST_F(GpfsTest, RecoveryPointThroughTheManagerOnAGlobalSnapshot) {
    const auto saved = FlrSnapOS::getEngine(FLR_SNAP_ENG_LINUX_LVM);
    FlrSnapOS::registerEngine(FLR_SNAP_ENG_LINUX_LVM, {});
    std::string snapDevice, mountPath;
    FlrSnapMgr(0).snap("gpfs1", SNAP_TYPE_RECOVERY, 77, 3, 5, &snapDevice, &mountPath);
    const auto list = FlrSnapMgr(0).getSnapList("gpfs1");
    FlrSnapOS::registerEngine(FLR_SNAP_ENG_LINUX_LVM, saved);
    EXPECT_EQ(mountPath.substr(0, 21), "/gpfs/fs1/.snapshots/");
    EXPECT_EQ(snapDevice.substr(0, 4), "jxr_");
    EXPECT_EQ(flrtest::readFile(store_.dir() + "/mounts"), "gpfs1 /gpfs/fs1 gpfs rw 0 0\n");
    int recovery = 0;
    for (const auto& e : list) recovery += e.type == SNAP_TYPE_RECOVERY && e.jobId == 77;
    EXPECT_EQ(recovery, 1);
}

TEST_F(GpfsTest, RemovalNeedsTheSeparatorAndPassesTheFileSet) {
    FlrSnapOS_Snap_gpfs bad("gpfs1", "root", "x");
    bad.rdev = FlrSnapOS::RDEV("no-separator");
    EXPECT_NO_THROW(bad.unSnap());
    EXPECT_TRUE(store_.calls("mmdelsnapshot").empty());

    FlrSnapOS_Snap_gpfs odd("gpfs1", kOddSet, "jxr_20");
    odd.unSnap();
    FlrSnapOS_Snap_gpfs global("gpfs1", "root", "jxm_10");
    global.unSnap();
    EXPECT_EQ(store_.calls("mmdelsnapshot"),
              (std::vector<Argv>{{"mmdelsnapshot", "gpfs1", "jxr_20", "-j", kOddSet},
                                 {"mmdelsnapshot", "gpfs1", "jxm_10"}}));
    try {
        global.unSnap();
        FAIL() << "removed twice";
    } catch (const JxException& e) {
        EXPECT_EQ(e.getMessage(),
                  "Failed to destroy snapshot jxm_10 of device gpfs1: "
                  "mmdelsnapshot failed (exit 2): Snapshot jxm_10 does not exist.");
    }
}

TEST_F(GpfsTest, CreationFailureCarriesTheCommandsText) {
    FlrSnapOS_LV_gpfs lv(FlrSnapOS::RDEV("gpfs1"), "root", FLR_SNAP_ENG_GPFS, "root");
    try {
        lv.snap(1, "jxm_10", nullptr);  // exists already
        FAIL() << "created twice";
    } catch (const JxException& e) {
        EXPECT_EQ(e.getMessage(),
                  "Failed to create snapshot of device gpfs1 with name jxm_10: "
                  "mmcrsnapshot failed (exit 17): Snapshot jxm_10 already exists.");
        EXPECT_EQ(e.getFunction(), "FlrSnapOS_LV_gpfs::snap");
    }
}

TEST(GpfsParseY, DecodesFieldsByHeadingAndSkipsRowsWithoutOne) {
    const auto rows = Gpfs::parseY(
        "mmlsfs::0:1:::orphan:x:y::\n"
        "mmlsfs::HEADER:version:reserved:reserved:deviceName:fieldName:data:remarks:\n"
        "mmlsfs::0:1:::fs%3A1:defaultMountPoint:%2Fgpfs%2Ffs%201::\n"
        "short\n");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].at("deviceName"), "fs:1");
    EXPECT_EQ(rows[0].at("data"), "/gpfs/fs 1");
}

}  // namespace
