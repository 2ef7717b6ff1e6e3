// The snapshot manager over an in-process engine whose volumes and
// snapshots live in a file (so forked processes share them), with the fake
// umount of tests/fakes for busy file systems.
#include "FLR/FlrSnapMgr.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "FLR/JxException.h"
#include "SnapFakes.h"
#include "mgmt/JXZrpJobClient.h"
#include "mgmt/MgmtConfig.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxMntTab.h"

using flrtest::FakeHost;
using RDEV = FlrSnapOS::RDEV;

namespace {

constexpr int kClientId = 0x42;

// The engine's world: "V <volume> <max snaps>" and "S <volume> <snapshot name>" lines.
struct World {
    std::string file;
    std::string removedLog;  // snapshot devices in the order they were removed
    int snapDelayMs = 0;     // between reading and writing the world in snap
};
World world;

struct Line {
    char kind;
    std::string volume, value;
};

std::vector<Line> readWorld() {
    std::vector<Line> lines;
    std::istringstream in(flrtest::readFile(world.file));
    for (std::string kind, volume, value; in >> kind >> volume >> value;)
        lines.push_back({kind[0], volume, value});
    return lines;
}

void writeWorld(const std::vector<Line>& lines) {
    std::string text;
    for (const auto& l : lines)
        text += std::string(1, l.kind) + " " + l.volume + " " + l.value + "\n";
    const std::string tmp = world.file + ".tmp." + std::to_string(::getpid());
    flrtest::writeFile(tmp, text);
    ::rename(tmp.c_str(), world.file.c_str());
}

std::string snapDevice(const std::string& volume, const std::string& name) {
    return volume.substr(0, volume.rfind('/') + 1) + name;
}

class MgrMemSnap : public FlrSnapOS::Snap {
  public:
    MgrMemSnap(const std::string& volume, const std::string& snapName)
        // A name ending in "?" stands for a snapshot whose identity the engine
        // failed to read.
        : Snap(RDEV(snapDevice(volume, snapName)),
               snapName.back() == '?' ? std::string() : "UUID-" + snapName, FLR_SNAP_ENG_LINUX_LVM),
          volume_(volume),
          snapName_(snapName) {}
    bool isOrdered() const override { return false; }
    bool isTransient() const override { return false; }
    void unSnap() override {
        auto lines = readWorld();
        std::erase_if(lines, [&](const Line& l) {
            return l.kind == 'S' && l.volume == volume_ && l.value == snapName_;
        });
        writeWorld(lines);
        std::ofstream(world.removedLog, std::ios::app) << rdev.path << "\n";
    }

  private:
    std::string volume_, snapName_;
};

class MgrMemLV : public FlrSnapOS::LVP {
  public:
    MgrMemLV(const std::string& volume, int maxSnaps)
        : LVP(RDEV(volume), "UUID-" + volume, FLR_SNAP_ENG_LINUX_LVM), max_(maxSnaps) {}
    int getMaxNumSnaps() const override { return max_; }
    SP<FlrSnapOS::Snap> snap(int, const std::string& snapName, std::string*) override {
        auto lines = readWorld();
        std::this_thread::sleep_for(std::chrono::milliseconds(world.snapDelayMs));
        for (const auto& l : lines)
            if (l.kind == 'S' && l.volume == rdev.path && l.value == snapName)
                throw JxException("MgrMemLV::snap", "snapshot " + snapName + " exists", "test", 1);
        lines.push_back({'S', rdev.path, snapName});
        writeWorld(lines);
        return new MgrMemSnap(rdev.path, snapName);
    }
    void mount(SP<FlrSnapOS::Snap>& s, const std::string& mountPoint) override {
        std::ofstream(JxMntTab::getMountTableFile(), std::ios::app)
            << s->rdev.path << " " << mountPoint << " ext4 ro 0 0\n";
    }

  private:
    int max_;
};

FlrSnapOS::LVList enumerate() {
    FlrSnapOS::LVList lvs;
    const auto lines = readWorld();
    for (const auto& l : lines)
        if (l.kind == 'V') lvs.push_back(new MgrMemLV(l.volume, std::stoi(l.value)));
    for (const auto& l : lines) {
        if (l.kind != 'S') continue;
        for (auto& lv : lvs)
            if (lv->rdev.path == l.volume) lv->snaps.push_back(new MgrMemSnap(l.volume, l.value));
    }
    return lvs;
}

class SnapMgr : public ::testing::Test {
  protected:
    void SetUp() override {
        world.file = host_.dir() + "/world";
        world.removedLog = host_.dir() + "/removed";
        world.snapDelayMs = 0;
        flrtest::writeFile(world.file, "V /dev/vg00/a 32\nV /dev/vg01/b 32\n");
        saved_ = FlrSnapOS::getEngine(FLR_SNAP_ENG_LINUX_LVM);
        FlrSnapOS::registerEngine(FLR_SNAP_ENG_LINUX_LVM, enumerate);
        MgmtConfig::addClient("tailhost", "tailhost", kClientId);
    }
    void TearDown() override { FlrSnapOS::registerEngine(FLR_SNAP_ENG_LINUX_LVM, saved_); }

    // A snapshot already there, with its recovery record when set is not 0.
    void seed(const std::string& volume, const std::string& name, int set = 0, int job = 0) {
        std::ofstream(world.file, std::ios::app) << "S " << volume << " " << name << "\n";
        if (set) JXPlatformInfo::setString("ZRP", "UUID-" + name, jxFormat("%d:%d", set, job));
    }
    std::vector<std::string> snapsOf(const std::string& volume) {
        std::vector<std::string> names;
        for (const auto& l : readWorld())
            if (l.kind == 'S' && l.volume == volume) names.push_back(l.value);
        return names;
    }
    std::vector<std::string> removed() {
        std::vector<std::string> out;
        std::istringstream in(flrtest::readFile(world.removedLog));
        for (std::string l; std::getline(in, l);) out.push_back(l);
        return out;
    }
    // Event lines of the outbox with the id.
    std::vector<std::string> events(unsigned id) {
        std::vector<std::string> out;
        std::istringstream in(flrtest::readFile(JXZrpJobClient::outboxPath()));
        for (std::string l; std::getline(in, l);)
            if (l.find(jxFormat("\"id\":\"0x%08x\"", id)) != std::string::npos) out.push_back(l);
        return out;
    }
    static std::string failure(const std::function<void()>& f) {
        try {
            f();
        } catch (const JxException& e) {
            return e.getMessage();
        }
        return "no exception";
    }

    FakeHost host_{R"({"lvs": []})"};
    FlrSnapOS::Enumerator saved_;
    FlrSnapMgr mgr_{77};
};

TEST_F(SnapMgr, RefusalsCreateNothing) {
    const struct {
        const char* device;
        SNAP_TYPE type;
        int set, max;
        const char* message;
    } cases[] = {
        {"/dev/vg00/a", SNAP_TYPE_RECOVERY, 0, 3,
         "Replication Set ID must be passed when creating recovery snaps."},
        {"/dev/vg00/a", SNAP_TYPE_RECOVERY2, 7, 0,
         "Maximum number of snaps per set must be passed when creating recovery snaps."},
        {"/dev/vg09/none", SNAP_TYPE_PLAIN, 0, 0,
         "Don't know how to snap /dev/vg09/none: unrecognized device name."},
    };
    for (const auto& c : cases)
        EXPECT_EQ(failure([&] { mgr_.snap(c.device, c.type, 5, c.set, c.max, nullptr, nullptr); }),
                  c.message);
    EXPECT_TRUE(snapsOf("/dev/vg00/a").empty());
}

TEST_F(SnapMgr, PerSetLimitRemovesTheOldestJobOnEveryVolume) {
    seed("/dev/vg00/a", "jxr_100", 7, 1);
    seed("/dev/vg01/b", "jxr_101", 7, 1);  // same job, other volume
    seed("/dev/vg00/a", "jxr_200", 7, 2);
    seed("/dev/vg00/a", "jxr_300", 7, 3);
    seed("/dev/vg00/a", "jxr_50", 8, 4);  // older, but another set
    std::string device, mountPath;
    mgr_.snap("/dev/vg00/a", SNAP_TYPE_RECOVERY, 9, 7, 3, &device, &mountPath);

    const auto a = snapsOf("/dev/vg00/a");
    ASSERT_EQ(a.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(a.begin(), a.begin() + 3),
              (std::vector<std::string>{"jxr_200", "jxr_300", "jxr_50"}));
    EXPECT_TRUE(snapsOf("/dev/vg01/b").empty());
    EXPECT_EQ(device, "/dev/vg00/" + a.back());
    EXPECT_EQ(mountPath, host_.mountRoot() + "/" + a.back());
    std::string record;
    ASSERT_TRUE(JXPlatformInfo::getString("ZRP", "UUID-" + a.back(), record));
    EXPECT_EQ(record, "7:9");
    EXPECT_NE(host_.mounts().find(device + " " + mountPath + " "), std::string::npos);
    EXPECT_EQ(events(FlrSnapMgr::kEvRemoved).size(), 2u);
    const auto created = events(FlrSnapMgr::kEvCreated);
    ASSERT_EQ(created.size(), 1u);
    EXPECT_NE(created[0].find("\"job\":9,\"flags\":256"), std::string::npos) << created[0];
    EXPECT_NE(created[0].find("[\"/dev/vg00/a\"]"), std::string::npos) << created[0];

    const auto listed = mgr_.getSnapList("/dev/vg00/a");
    ASSERT_EQ(listed.size(), 4u);
    EXPECT_EQ(FlrSnapMgr::getRepSetSnapCnt(listed, RDEV("/dev/vg00/a"), 7), 3);
    auto list = listed;
    auto oldest = FlrSnapMgr::findOldestRecoverySnap(list, RDEV("/dev/vg00/a"), 0);
    ASSERT_NE(oldest, list.end());
    EXPECT_EQ(oldest->snap->rdev.leaf, "jxr_50");
}

TEST_F(SnapMgr, VolumeLimit) {
    flrtest::writeFile(world.file, "V /dev/vg00/a 3\n");
    for (const char* n : {"jxm_1", "jxm_2", "jxm_3"}) seed("/dev/vg00/a", n);
    EXPECT_EQ(
        failure([&] { mgr_.snap("/dev/vg00/a", SNAP_TYPE_PLAIN, 5, 0, 0, nullptr, nullptr); }),
        "Can't create another snap of /dev/vg00/a: too many snaps active already.");
    // With a recovery point among them, its job goes to make room.
    flrtest::writeFile(world.file, "V /dev/vg00/a 3\n");
    seed("/dev/vg00/a", "jxm_1");
    seed("/dev/vg00/a", "jxr_2", 4, 40);
    seed("/dev/vg00/a", "jxr_3", 4, 41);
    mgr_.snap("/dev/vg00/a", SNAP_TYPE_PLAIN, 5, 0, 0, nullptr, nullptr);
    const auto a = snapsOf("/dev/vg00/a");
    ASSERT_EQ(a.size(), 3u);
    EXPECT_EQ(a[0], "jxm_1");
    EXPECT_EQ(a[1], "jxr_3");
}

TEST_F(SnapMgr, RecoveryPointOfJobZeroLeavesPlainSnapshots) {
    seed("/dev/vg00/a", "jxm_10");
    seed("/dev/vg00/a", "jxr_20", 7, 0);
    mgr_.snap("/dev/vg00/a", SNAP_TYPE_RECOVERY, 9, 7, 1, nullptr, nullptr);
    const auto a = snapsOf("/dev/vg00/a");
    ASSERT_EQ(a.size(), 2u);
    EXPECT_EQ(a[0], "jxm_10");
    EXPECT_EQ(removed(), std::vector<std::string>{"/dev/vg00/jxr_20"});
}

TEST_F(SnapMgr, NamesWithinOneSecondDiffer) {
    std::string first, second;
    mgr_.snap("/dev/vg00/a", SNAP_TYPE_PLAIN, 5, 0, 0, &first, nullptr);
    mgr_.snap("/dev/vg00/a", SNAP_TYPE_PLAIN, 5, 0, 0, &second, nullptr);
    int64_t t1 = 0, t2 = 0;
    ASSERT_TRUE(FlrSnapMgr::parseSnapName(RDEV(first).leaf, nullptr, &t1, nullptr));
    ASSERT_TRUE(FlrSnapMgr::parseSnapName(RDEV(second).leaf, nullptr, &t2, nullptr));
    EXPECT_GT(t2, t1);
}

TEST_F(SnapMgr, NameParsing) {
    const struct {
        const char* name;
        bool ok;
        SNAP_TYPE type;
        int64_t time;
        unsigned long long host;
    } cases[] = {
        {"jxm_5f0a", true, SNAP_TYPE_PLAIN, 0x5f0a, 0},
        {"jxr_ABC_42", true, SNAP_TYPE_RECOVERY, 0xabc, 0x42},
        {"jxc_1_0", true, SNAP_TYPE_RECOVERY2, 1, 0},
        {"jxr_", false, {}, 0, 0},
        {"jxr_12g", false, {}, 0, 0},
        {"jxr_12_", false, {}, 0, 0},
        {"jxr_0x12", false, {}, 0, 0},
        {"jxr_1_2_3", false, {}, 0, 0},
        {"xjxr_12", false, {}, 0, 0},
        {"jxr_-1", false, {}, 0, 0},
        {"snap1", false, {}, 0, 0},
    };
    for (const auto& c : cases) {
        SNAP_TYPE type{};
        int64_t time = 0;
        unsigned long long host = 0;
        ASSERT_EQ(FlrSnapMgr::parseSnapName(c.name, &type, &time, &host), c.ok) << c.name;
        if (!c.ok) continue;
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(time, c.time);
        EXPECT_EQ(host, c.host);
    }
}

// Nothing the registry does not record is removed: a name proves nothing.
TEST_F(SnapMgr, ListingSkipsForeignAndUnrecordedRecoverySnapshots) {
    seed("/dev/vg00/a", "manual");
    seed("/dev/vg00/a", "jxm_10_0");
    seed("/dev/vg00/a", "jxr_20_99", 3, 1);  // another host's
    seed("/dev/vg00/a", "jxr_30_42", 3, 2);  // this host's (client 0x42)
    seed("/dev/vg00/a", "jxr_40");           // no record
    seed("/dev/vg00/a", "jxc_50", 3, 0);
    JXPlatformInfo::setString("ZRP", "UUID-jxc_50", "3:x");  // a record that does not parse
    seed("/dev/vg00/a", "jxr_60?", 3, 4);  // identity unreadable just now: kept, not listed

    const auto listed = mgr_.getSnapList(nullptr);
    std::vector<std::string> names;
    for (const auto& e : listed) names.push_back(e.snap->rdev.leaf);
    EXPECT_EQ(names, (std::vector<std::string>{"jxm_10_0", "jxr_30_42"}));
    EXPECT_EQ(listed.back().setId, 3);
    EXPECT_EQ(listed.back().jobId, 2u);
    EXPECT_EQ(snapsOf("/dev/vg00/a"),
              (std::vector<std::string>{"manual", "jxm_10_0", "jxr_20_99", "jxr_30_42", "jxr_40",
                                        "jxc_50", "jxr_60?"}));
    EXPECT_TRUE(removed().empty());
}

TEST_F(SnapMgr, BusySnapshotWaitsInThePendingListOnce) {
    std::string device, mountPath;
    mgr_.snap("/dev/vg00/a", SNAP_TYPE_RECOVERY, 9, 7, 3, &device, &mountPath);
    host_.setState(R"({"lvs": [], "busy": [")" + mountPath + R"("]})");

    EXPECT_FALSE(mgr_.unSnap(device.c_str()));
    EXPECT_FALSE(mgr_.unSnap(device.c_str()));
    EXPECT_EQ(FlrSnapMgr::getUnsnapTODO(), std::list<std::string>{device});
    EXPECT_EQ(events(FlrSnapMgr::kEvDeferred).size(), 2u);
    EXPECT_EQ(snapsOf("/dev/vg00/a").size(), 1u);

    // The next operation retries it.
    host_.setState(R"({"lvs": []})");
    mgr_.snap("/dev/vg01/b", SNAP_TYPE_PLAIN, 9, 0, 0, nullptr, nullptr);
    EXPECT_TRUE(snapsOf("/dev/vg00/a").empty());
    EXPECT_TRUE(FlrSnapMgr::getUnsnapTODO().empty());
    struct stat st;
    EXPECT_NE(::stat(mountPath.c_str(), &st), 0) << "mount directory left behind";
    EXPECT_EQ(events(FlrSnapMgr::kEvRemoved).size(), 1u);

    // Nothing to remove: done, and gone from the list.
    FlrSnapMgr::setUnsnapTODO({"/dev/vg00/jxr_9", "/dev/vg00/gone"});
    EXPECT_TRUE(mgr_.unSnap("/dev/vg00/gone", true));
    EXPECT_EQ(FlrSnapMgr::getUnsnapTODO(), std::list<std::string>{"/dev/vg00/jxr_9"});
}

TEST_F(SnapMgr, PendingRemovalsRetriedOldestFirst) {
    for (const char* n : {"jxm_300", "manual", "jxm_100", "jxm_200"}) seed("/dev/vg00/a", n);
    JXPlatformInfo::setString("ZRP", "sUnsnapTODO",
                              "  /dev/vg00/jxm_300 /dev/vg00/manual\t/dev/vg00/jxm_100 "
                              "/dev/vg00/jxm_200 ");
    EXPECT_EQ(FlrSnapMgr::getUnsnapTODO().size(), 4u);
    mgr_.cleanupTODO();
    EXPECT_EQ(removed(), (std::vector<std::string>{"/dev/vg00/jxm_100", "/dev/vg00/manual",
                                                   "/dev/vg00/jxm_200", "/dev/vg00/jxm_300"}));
    EXPECT_TRUE(FlrSnapMgr::getUnsnapTODO().empty());
}

TEST_F(SnapMgr, UnSnapAllAndAutoMount) {
    seed("/dev/vg00/a", "jxr_10", 1, 1);
    seed("/dev/vg00/a", "jxr_30", 1, 2);
    seed("/dev/vg00/a", "jxm_20");
    seed("/dev/vg01/b", "jxr_40", 1, 3);
    mgr_.autoMountAllSnaps();
    for (const char* dev : {"/dev/vg00/jxr_10", "/dev/vg00/jxm_20", "/dev/vg01/jxr_40"})
        EXPECT_NE(host_.mounts().find(std::string(dev) + " " + host_.mountRoot() + "/" +
                                      RDEV(dev).leaf + " "),
                  std::string::npos)
            << dev;
    EXPECT_TRUE(mgr_.unSnapAll("/dev/vg00/a", SNAP_TYPE_RECOVERY));
    EXPECT_EQ(removed(), (std::vector<std::string>{"/dev/vg00/jxr_30", "/dev/vg00/jxr_10"}));
    EXPECT_EQ(snapsOf("/dev/vg00/a"), std::vector<std::string>{"jxm_20"});
    EXPECT_EQ(snapsOf("/dev/vg01/b"), std::vector<std::string>{"jxr_40"});
}

TEST_F(SnapMgr, TwoProcessesCreateAtOnce) {
    world.snapDelayMs = 300;  // wide enough for the other process to list in between
    pid_t children[2];
    for (pid_t& child : children) {
        child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            int rc = 0;
            try {
                FlrSnapMgr mgr(1);
                mgr.snap("/dev/vg00/a", SNAP_TYPE_PLAIN, 5, 0, 0, nullptr, nullptr);
            } catch (const std::exception& e) {
                fprintf(stderr, "child: %s\n", e.what());
                rc = 1;
            }
            ::_exit(rc);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const auto a = snapsOf("/dev/vg00/a");
    ASSERT_EQ(a.size(), 2u);
    EXPECT_NE(a[0], a[1]);
}

}  // namespace
