// The snapshot model: device descriptors, engine enumeration, mount and
// unmount through the fake mount tools.
#include "FLR/FlrSnapOS.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "FLR/JxException.h"
#include "SnapFakes.h"
#include "platform/EvDebug.h"

using flrtest::FakeHost;
using RDEV = FlrSnapOS::RDEV;

namespace {

struct RdevCase {
    const char* text;
    int32_t type;
    const char* host;
    const char* remotePath;
    const char* volume;
    const char* volPath;
    const char* leaf;
};

TEST(FlrSnapOS, RdevFieldsFromText) {
    const RdevCase cases[] = {
        {"filer1:/vol/vol0/.snapshot/s1/a/b", 1, "filer1", "/vol/vol0/.snapshot/s1/a/b", "vol0",
         "a/b", "s1"},
        {"filer1:/vol/vol0/.snapshot/s1", 1, "filer1", "/vol/vol0/.snapshot/s1", "vol0", "", "s1"},
        {"filer1:/vol/vol0/dir", 1, "filer1", "/vol/vol0/dir", "vol0", "dir", ""},
        {"filer1:/vol/vol0", 1, "filer1", "/vol/vol0", "vol0", "", ""},
        {"filer1:/export/x", 1, "filer1", "/export/x", "", "", ""},
        {"tmpfs", 2, "", "", "", "", ""},
        {"proc", 2, "", "", "", "", ""},
        {"/dev/vg00/jxr_5f00", 0, "", "", "", "", "jxr_5f00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const RDEV d(c.text);
        EXPECT_FALSE(d.isNull);
        EXPECT_EQ(d.type, c.type);
        EXPECT_EQ(d.path, c.text);
        EXPECT_EQ(d.host, c.host);
        EXPECT_EQ(d.remotePath, c.remotePath);
        EXPECT_EQ(d.volume, c.volume);
        EXPECT_EQ(d.volPath, c.volPath);
        EXPECT_EQ(d.leaf, c.leaf);
    }
    const RDEV empty("");
    EXPECT_TRUE(empty.isNull);
    EXPECT_EQ(empty.type, 2);
    EXPECT_EQ(empty.rdev, 0u);
}

TEST(FlrSnapOS, RdevOfMissingNodeLogsAndHasNoDeviceNumber) {
    EvDebugCapture log;
    const RDEV d("/dev/flr-no-such-node");
    EXPECT_EQ(d.type, 0);
    EXPECT_EQ(d.rdev, 0u);
    EXPECT_TRUE(log.containsFragment("Failed to stat /dev/flr-no-such-node: "));
}

TEST(FlrSnapOS, RdevEquality) {
    struct stat st {};
    ASSERT_EQ(::stat("/dev/null", &st), 0);
    // Two names of one node are one device; other types compare texts.
    EXPECT_EQ(RDEV("/dev/null"), RDEV("/dev/../dev/null"));
    EXPECT_NE(RDEV("/dev/null"), RDEV("/dev/zero"));
    EXPECT_EQ(RDEV("tmpfs"), RDEV("tmpfs"));
    EXPECT_NE(RDEV("tmpfs"), RDEV("proc"));
    EXPECT_NE(RDEV("tmpfs"), RDEV("/dev/null"));
    EXPECT_EQ(RDEV("h:/vol/v/a"), RDEV("h:/vol/v/a"));
    EXPECT_NE(RDEV("h:/vol/v/a"), RDEV("h:/vol/v/b"));
    // Nodes that cannot be examined are told apart by their paths.
    EXPECT_NE(RDEV("/dev/vg00/home"), RDEV("/dev/vg00/data"));
    EXPECT_EQ(RDEV("/dev/vg00/home"), RDEV("/dev/vg00/home"));
}

// Enumeration hooks that record the order they were called in.
class EngineOrder : public ::testing::Test {
  protected:
    void SetUp() override {
        for (auto e : kEngines) saved_.push_back(FlrSnapOS::getEngine(e));
        for (auto e : kEngines)
            FlrSnapOS::registerEngine(e, [this, e] {
                calls_.push_back(e);
                if (e == throwing_)
                    throw JxException("Engine::getLVList", "engine down", "test", 1);
                return FlrSnapOS::LVList();
            });
    }
    void TearDown() override {
        for (size_t i = 0; i < std::size(kEngines); ++i)
            FlrSnapOS::registerEngine(kEngines[i], saved_[i]);
    }
    static constexpr FLR_SNAP_ENG kEngines[] = {FLR_SNAP_ENG_VXVM, FLR_SNAP_ENG_LINUX_LVM,
                                                FLR_SNAP_ENG_LINUX_QZBF, FLR_SNAP_ENG_GPFS,
                                                FLR_SNAP_ENG_BTRFS};
    std::vector<FlrSnapOS::Enumerator> saved_;
    std::vector<int> calls_;
    int throwing_ = -1;
};

TEST_F(EngineOrder, SelectsInFixedOrderAndSkipsFailingEngines) {
    FlrSnapOS::getLVList({FLR_SNAP_ENG_VXVM, FLR_SNAP_ENG_LINUX_LVM});
    EXPECT_EQ(calls_, (std::vector<int>{4, 3}));
    calls_.clear();
    FlrSnapOS::getLVList(std::list<FLR_SNAP_ENG>{});
    EXPECT_TRUE(calls_.empty());

    throwing_ = FLR_SNAP_ENG_LINUX_QZBF;
    EvDebugCapture log;
    FlrSnapOS::getLVList();
    EXPECT_EQ(calls_, (std::vector<int>{4, 5, 7, 3, 8}));
    bool logged = false;
    for (const auto& l : log.lines())
        logged = logged || (l.level == EvDebug::kError && l.function == "Engine::getLVList" &&
                            l.text == "engine down");
    EXPECT_TRUE(logged);
}

// A name with blanks, quotes, a command substitution and a separator is one
// argument and runs nothing.
const std::string kHostileDir = "snap dir \"q\" 'x' $(touch pwned) ; `id`";

TEST(FlrSnapOSMount, RunsMountWithArgumentsOnly) {
    FakeHost host(R"({"lvs": []})");
    const std::string point = host.dir() + "/" + kHostileDir;
    ASSERT_EQ(::mkdir(point.c_str(), 0755), 0);

    FlrSnapOS::mount(RDEV("/dev/vg00/jxm_1"), point, "", "");
    FlrSnapOS::mount(RDEV("/dev/vg00/jxm_2"), point, "ro,acl", "xfs");
    auto calls = host.calls("mount");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].argv, (std::vector<std::string>{"mount", "/dev/vg00/jxm_1", point}));
    EXPECT_EQ(calls[1].argv, (std::vector<std::string>{"mount", "-t", "xfs", "-o", "ro,acl",
                                                       "/dev/vg00/jxm_2", point}));
    std::string mp, opts, fs;
    ASSERT_TRUE(FlrSnapOS::getMountDetail(RDEV("/dev/vg00/jxm_2"), &mp, &opts, &fs));
    EXPECT_EQ(mp, point);
    EXPECT_EQ(opts, "ro,acl");
    EXPECT_EQ(fs, "xfs");
    EXPECT_TRUE(FlrSnapOS::getMountDetail(RDEV("/dev/vg00/jxm_1"), nullptr, nullptr, nullptr));
    EXPECT_FALSE(FlrSnapOS::getMountDetail(RDEV("/dev/vg00/other"), &mp, nullptr, nullptr));
    EXPECT_EQ(::access("pwned", F_OK), -1);

    EXPECT_TRUE(FlrSnapOS::unMount(point));
    EXPECT_EQ(host.calls("umount").back().argv, (std::vector<std::string>{"umount", point}));
}

TEST(FlrSnapOSMount, FailuresAndBusyFileSystems) {
    FakeHost host(R"({"lvs": []})");
    try {
        FlrSnapOS::mount(RDEV("/dev/vg00/a"), host.dir() + "/missing", "", "");
        FAIL() << "mount on a missing folder succeeded";
    } catch (const JxException& e) {
        EXPECT_EQ(e.getFunction(), "FlrSnapOS::mount");
        EXPECT_EQ(e.getMessage(), "Failed to mount device /dev/vg00/a under " + host.dir() +
                                      "/missing: mount: " + host.dir() +
                                      "/missing: mount point does not exist.\n");
        EXPECT_EQ(e.getSource(), "FlrSnapOS");
    }
    // Busy in either spelling is a false answer, not an error.
    const struct {
        const char* failText;
        bool busy;
    } cases[] = {{"umount: /x: target is busy.", true},
                 {"Device or resource Busy", true},
                 {"umount: /x: not mounted.", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failText);
        host.setState(std::string(R"({"lvs": [], "fail": {"umount": ")") + c.failText + "\"}}");
        if (c.busy) {
            EXPECT_FALSE(FlrSnapOS::unMount("/x"));
        } else {
            try {
                FlrSnapOS::unMount("/x");
                FAIL() << "no exception";
            } catch (const JxException& e) {
                EXPECT_EQ(e.getMessage(),
                          std::string("Failed to unmount /x: ") + c.failText + "\n");
            }
        }
    }
}

// A volume whose engine shows snapshots without mounting them.
class PathEngineLV : public FlrSnapOS::LVP {
  public:
    using LVP::LVP;
    int getMaxNumSnaps() const override { return 1; }
    SP<FlrSnapOS::Snap> snap(int, const std::string&, std::string* path) override {
        if (!enginePath.empty()) *path = enginePath;
        return SP<FlrSnapOS::Snap>();
    }
    void mount(SP<FlrSnapOS::Snap>&, const std::string& point) override { mountedOn = point; }
    std::string enginePath;
    std::string mountedOn;
};

TEST(FlrSnapOS, SnapAndMountMountsOnlyWhenTheEngineGaveNoPath) {
    SP<PathEngineLV> lv(new PathEngineLV(RDEV("tmpfs"), "v", FLR_SNAP_ENG_GPFS));
    std::string path = "/mnt/snaps/a";
    lv->snapAndMount(1, "a", &path);
    EXPECT_EQ(lv->mountedOn, "/mnt/snaps/a");

    lv->mountedOn.clear();
    lv->enginePath = "/gpfs/fs0/.snapshots/a";
    lv->snapAndMount(1, "a", &path);
    EXPECT_EQ(lv->mountedOn, "");
    EXPECT_EQ(path, "/gpfs/fs0/.snapshots/a");
}

}  // namespace
