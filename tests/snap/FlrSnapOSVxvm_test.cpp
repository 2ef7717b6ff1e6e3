// VxVM engine against the fake VxVM tools: listing, the prepare rule, the
// exact argument vectors (also with hostile names), refusals and failures.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FLR/JxException.h"
#include "StoreFakes.h"
#include "platform/JXPlatformInfo.h"
#include "snap/FlrSnapOSVxvm.h"

using flrtest::FakeStore;
using Argv = std::vector<std::string>;

namespace {

// A name that a shell would act on: quotes, a command substitution, a ';'.
const std::string kHostile = "v'\"$(touch${IFS}pwned);x";

class VxvmTest : public ::testing::Test {
  protected:
    VxvmTest()
        : store_(R"({"vx": {"devroot": "@DIR@/vx", "groups": {"datadg": {
              "vols": {"home": {"guid": "{g-home}", "instant": "off", "fastresync": "off"},
                       "ready": {"guid": "{g-ready}", "instant": "on", "fastresync": "on"},
                       "s1": {"guid": "{g-s1}"}},
              "snaps": {"s1": "home"}}}}})") {
        for (const char* d : {"/vx", "/vx/dsk", "/vx/dsk/datadg"})
            ::mkdir((store_.dir() + d).c_str(), 0755);
        for (const char* v : {"home", "ready", "s1"}) flrtest::writeFile(node(v), "");
        FlrSnapOS_LV_vxvm::setDeviceRoot(store_.dir() + "/vx");
        JXPlatformInfo::setString("Platform", "sHostName", "tailhost");
    }
    ~VxvmTest() override { FlrSnapOS_LV_vxvm::setDeviceRoot(""); }

    std::string node(const std::string& vol) const {
        return store_.dir() + "/vx/dsk/datadg/" + vol;
    }
    SP<FlrSnapOS::LV> volume(const std::string& vol) {
        return SP<FlrSnapOS::LV>(new FlrSnapOS_LV_vxvm(FlrSnapOS::RDEV("/dev/vx/dsk/datadg/" + vol),
                                                       vol, FLR_SNAP_ENG_VXVM));
    }

    FakeStore store_;
};

TEST_F(VxvmTest, ListsVolumesWithTheirSpaceOptimisedSnapshots) {
    const auto lvs = FlrSnapOS_LV_vxvm::getLVList();
    ASSERT_EQ(lvs.size(), 2u);
    const auto& home = lvs.front();
    EXPECT_EQ(home->rdev.path, "/dev/vx/dsk/datadg/home");
    EXPECT_EQ(home->engine, FLR_SNAP_ENG_VXVM);
    EXPECT_EQ(home->getMaxNumSnaps(), 256);
    ASSERT_EQ(home->snaps.size(), 1u);
    EXPECT_EQ(home->snaps.front()->rdev.path, "/dev/vx/dsk/datadg/s1");
    EXPECT_EQ(home->snaps.front()->name, "{g-s1}");  // the volume's GUID
    EXPECT_TRUE(lvs.back()->snaps.empty());
}

TEST_F(VxvmTest, NoDeviceTreeMeansNoVxvmAndNoToolCalls) {
    FlrSnapOS_LV_vxvm::setDeviceRoot(store_.dir() + "/absent");
    EXPECT_TRUE(FlrSnapOS_LV_vxvm::getLVList().empty());
    EXPECT_TRUE(store_.calls("vxdg").empty());
}

TEST_F(VxvmTest, PreparesOnlyAVolumeThatIsNotInstantReady) {
    struct Case {
        const char* vol;
        bool prepared;
    };
    for (const Case& c : {Case{"home", true}, Case{"ready", false}}) {
        SCOPED_TRACE(c.vol);
        store_.clearCalls();
        auto lv = volume(c.vol);
        std::string mountPath;
        auto snap = lv->snap(4096, std::string("jxr_") + c.vol, &mountPath);
        EXPECT_TRUE(mountPath.empty());
        EXPECT_EQ(snap->rdev.path, "/dev/vx/dsk/datadg/jxr_" + std::string(c.vol));
        EXPECT_EQ(snap->name.front(), '{');  // the new volume's GUID
        std::vector<Argv> expected;
        if (c.prepared) expected.push_back({"vxsnap", "-g", "datadg", "prepare", c.vol, "drl=no"});
        expected.push_back({"vxsnap", "-g", "datadg", "make",
                            std::string("source=") + c.vol + "/newvol=jxr_" + c.vol +
                                "/cachesize=4096m/autogrow=yes"});
        EXPECT_EQ(store_.calls("vxsnap"), expected);
        EXPECT_EQ(store_.calls("vxprint").size(), 3u);  // instant, fastresync, guid
    }
}

TEST_F(VxvmTest, RefusesDevicesOutsideTheBlockDeviceTree) {
    for (const char* dev : {"/dev/vx/rdsk/datadg/home", "/dev/vx/dsk/datadg", "/dev/sdb1",
                            "/dev/vx/dsk/datadg/a/b"}) {
        SCOPED_TRACE(dev);
        SP<FlrSnapOS::LV> lv(new FlrSnapOS_LV_vxvm(FlrSnapOS::RDEV(dev), "x", FLR_SNAP_ENG_VXVM));
        try {
            lv->snap(10, "jxr_1", nullptr);
            FAIL() << "accepted";
        } catch (const JxException& e) {
            EXPECT_EQ(e.getMessage(), std::string("Invalid VxVM device name ") + dev);
        }
        FlrSnapOS_Snap_vxvm snap(FlrSnapOS::RDEV(dev), "x", FLR_SNAP_ENG_VXVM);
        try {
            snap.unSnap();
            FAIL() << "accepted";
        } catch (const JxException& e) {
            EXPECT_EQ(e.getMessage(), std::string("Invalid VxVM snap device name ") + dev);
        }
    }
    EXPECT_TRUE(store_.calls("vxsnap").empty());
    EXPECT_TRUE(store_.calls("vxedit").empty());
}

TEST_F(VxvmTest, RemovesWithVxeditAndReportsItsError) {
    FlrSnapOS_Snap_vxvm snap(FlrSnapOS::RDEV("/dev/vx/dsk/datadg/s1"), "{g-s1}", FLR_SNAP_ENG_VXVM);
    snap.unSnap();
    EXPECT_EQ(store_.calls("vxedit"),
              (std::vector<Argv>{{"vxedit", "-g", "datadg", "-f", "-r", "rm", "s1"}}));
    EXPECT_EQ(::access(node("s1").c_str(), F_OK), -1);
    try {
        snap.unSnap();  // gone now
        FAIL() << "removed twice";
    } catch (const JxException& e) {
        EXPECT_EQ(e.getMessage(),
                  "Failed to unsnap volume s1: VxVM vxedit ERROR V-5-1-924 Record "
                  "s1 not found");
        EXPECT_EQ(e.getFunction(), "FlrSnapOS_Snap_vxvm::unSnap");
    }
}

TEST_F(VxvmTest, ToolFailuresCarryTheToolsErrorText) {
    store_.setState(
        R"({"vx": {"devroot": "@DIR@/vx", "groups": {}}, "fail": {"vxdg": "no vold"}})");
    try {
        FlrSnapOS_LV_vxvm::getLVList();
        FAIL() << "listed";
    } catch (const JxException& e) {
        EXPECT_EQ(e.getMessage(), "Failed to query the list of VxVM volume groups: no vold");
    }
    // The model's enumeration logs it and goes on.
    EXPECT_TRUE(FlrSnapOS::getLVList(FLR_SNAP_ENG_VXVM).empty());
}

TEST_F(VxvmTest, HostileNamesReachTheToolsAsOneArgumentEach) {
    store_.setState(R"({"vx": {"devroot": "@DIR@/vx", "groups": {"datadg": {"vols": {")" +
                    std::string("v'\\\"$(touch${IFS}pwned);x") +
                    R"(": {"guid": "{g}", "instant": "on", "fastresync": "on"}}, "snaps": {}}}}})");
    auto lv = volume(kHostile);
    auto snap = lv->snap(1, "jxm_5", nullptr);
    EXPECT_EQ(store_.calls("vxprint").front(),
              (Argv{"vxprint", "-g", "datadg", "-F%instant", kHostile}));
    EXPECT_EQ(store_.calls("vxsnap").back().back(),
              "source=" + kHostile + "/newvol=jxm_5/cachesize=1m/autogrow=yes");
}

}  // namespace
