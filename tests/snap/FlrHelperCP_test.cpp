// Recovery-point registration over an in-memory engine: grouping by job
// across volumes, which pairs a snapshot serves, removal of snapshots that
// serve none, mounted and unmounted snapshots, the empty request, and the
// JSON lines that reach the outbox.
#include <gtest/gtest.h>

#include <set>

#include "FLR/FlrSnapMgr.h"
#include "StoreFakes.h"
#include "env/FlrHelper.h"
#include "env/FlrPair.h"
#include "mgmt/MgmtConfig.h"
#include "mgmt/ReplicaDBClient.h"
#include "platform/EvDebug.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxMntTab.h"

using flrtest::FakeStore;

namespace {

std::set<std::string> g_removed;

class MemSnap : public FlrSnapOS::Snap {
  public:
    MemSnap(const std::string& dev, FLR_SNAP_ENG eng)
        : Snap(FlrSnapOS::RDEV(dev), "uuid-" + FlrSnapOS::RDEV(dev).leaf, eng) {}
    bool isOrdered() const override { return false; }
    bool isTransient() const override { return false; }
    void unSnap() override { g_removed.insert(rdev.path); }
};

class MemLV : public FlrSnapOS::LVP {
  public:
    MemLV(const std::string& dev, FLR_SNAP_ENG eng) : LVP(FlrSnapOS::RDEV(dev), dev, eng) {}
    int getMaxNumSnaps() const override { return 32; }
    SP<FlrSnapOS::Snap> snap(int, const std::string&, std::string*) override { return nullptr; }
    void mount(SP<FlrSnapOS::Snap>&, const std::string&) override {}
};

class RegistrationTest : public ::testing::Test {
  protected:
    RegistrationTest() : store_(R"({"gpfs": {}})") {
        saved_ = FlrSnapOS::getEngine(FLR_SNAP_ENG_LINUX_LVM);
        FlrSnapOS::registerEngine(FLR_SNAP_ENG_LINUX_LVM, [this] { return lvs_; });
        // Not a configured client: the process-wide client id stays unknown
        // (it is cached once known), as other suites of this binary expect.
        JXPlatformInfo::setString("Platform", "sHostName", "unlisted-host");
        g_removed.clear();
        src_ = MgmtConfig::addClient("headhost", "headhost");
        dst_ = MgmtConfig::addClient("tailhost", "tailhost");
    }
    ~RegistrationTest() override { FlrSnapOS::registerEngine(FLR_SNAP_ENG_LINUX_LVM, saved_); }

    SP<FlrSnapOS::LV> volume(const std::string& dev, FLR_SNAP_ENG eng = FLR_SNAP_ENG_LINUX_LVM) {
        lvs_.push_back(SP<FlrSnapOS::LV>(new MemLV(dev, eng)));
        return lvs_.back();
    }
    // A recovery snapshot with its registry record.
    std::string snap(SP<FlrSnapOS::LV>& lv, const std::string& name, long set,
                     unsigned long long job) {
        const std::string dev = "/dev/mem/" + name;
        lv->snaps.push_back(SP<FlrSnapOS::Snap>(new MemSnap(dev, lv->engine)));
        if (set)
            JXPlatformInfo::setString("ZRP", lv->snaps.back()->name,
                                      std::to_string(set) + ":" + std::to_string(job));
        return dev;
    }
    long set(std::initializer_list<std::string> destFolders) {
        const long id = MgmtConfig::addSet("set" + std::to_string(++sets_), src_, dst_);
        for (const auto& f : destFolders) MgmtConfig::addPair(id, "/src" + f, f);
        return id;
    }
    CreateCPArgsById_t registerNow() {
        CreateCPArgsById_t sent;
        FlrHelper::sendCPListToBN(&sent);
        return sent;
    }

    FakeStore store_;
    FlrSnapOS::LVList lvs_;
    FlrSnapOS::Enumerator saved_;
    int src_ = 0, dst_ = 0, sets_ = 0;
};

TEST_F(RegistrationTest, HostWithoutRecoveryPointsStillSendsAnEmptyRequest) {
    auto lv = volume("/dev/mem/data");
    snap(lv, "jxm_5f000000", 0, 0);  // plain snapshot
    store_.setMounts("/dev/mem/data /data ext4 rw 0 0\n");
    const auto sent = registerNow();
    EXPECT_TRUE(sent.consistencyPoints.empty());
    EXPECT_TRUE(sent.snapshots.empty());
    EXPECT_NE(store_.outbox().find(
                  R"("consistencyPoints":[],"snapshots":[],"snapPairs":[],"mountPoints":[]})"),
              std::string::npos);
}

TEST_F(RegistrationTest, OneJobAcrossTwoVolumesIsOneRecoveryPoint) {
    const long s = set({"/data/rep1", "/home/rep2"});
    auto data = volume("/dev/mem/data");
    auto home = volume("/dev/mem/home");
    const std::string a = snap(data, "jxr_5f000010", s, 900);
    const std::string b = snap(home, "jxr_5f000011", s, 900);
    const std::string c = snap(home, "jxc_5f000020", s, 901);
    store_.setMounts("/dev/mem/data /data ext4 rw 0 0\n/dev/mem/home /home ext4 rw 0 0\n" + a +
                     " /snaps/a ext4 ro 0 0\n");
    const auto sent = registerNow();
    ASSERT_EQ(sent.consistencyPoints.size(), 2u);
    const auto& cp = sent.consistencyPoints[0];
    EXPECT_EQ(cp.cpOrdinal, 1);
    EXPECT_EQ(cp.jobId, 900u);
    EXPECT_EQ(cp.time, 0x5f000010);
    EXPECT_EQ(cp.setId, s);
    EXPECT_EQ(cp.destClientId, dst_);
    EXPECT_EQ(cp.kind, 2);
    EXPECT_TRUE(cp.flag);
    EXPECT_EQ(cp.reference, -1);
    EXPECT_FALSE(sent.consistencyPoints[1].flag);  // "jxc_"
    ASSERT_EQ(sent.snapshots.size(), 3u);
    EXPECT_EQ(sent.snapshots[0].cpOrdinal, 1);
    EXPECT_EQ(sent.snapshots[1].cpOrdinal, 1);
    EXPECT_EQ(sent.snapshots[2].cpOrdinal, 2);
    EXPECT_EQ(sent.snapshots[1].device, b);
    EXPECT_EQ(sent.snapshots[2].device, c);
    EXPECT_EQ(sent.snapshots[0].name, "uuid-jxr_5f000010");
    EXPECT_EQ(sent.snapshots[0].engineCode, 3);
    // Only the mounted snapshot has a mount-point record.
    ASSERT_EQ(sent.mountPoints.size(), 1u);
    EXPECT_EQ(sent.mountPoints[0].snapOrdinal, 1);
    EXPECT_EQ(sent.mountPoints[0].mountPoint, "/snaps/a");
    // Each snapshot links the pair on its own volume.
    ASSERT_EQ(sent.snapPairs.size(), 3u);
    EXPECT_EQ(sent.snapPairs[0].snapOrdinal, 1);
    EXPECT_EQ(sent.snapPairs[1].snapOrdinal, 2);
    EXPECT_NE(sent.snapPairs[0].pairId, sent.snapPairs[1].pairId);
    EXPECT_TRUE(g_removed.empty());
}

TEST_F(RegistrationTest, PairsBelongOnWholePathComponentsOrOnTheRoot) {
    struct Case {
        const char* mountPoint;
        bool belongs;
    };
    const Case cases[] = {
        {"/data", true}, {"/dat", false}, {"/", true}, {"/data/rep1", true}, {"/data/rep", false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mountPoint);
        lvs_.clear();
        g_removed.clear();
        const long s = set({"/data/rep1"});
        auto lv = volume("/dev/mem/vol");
        const std::string dev = snap(lv, "jxr_5f000100", s, 42);
        store_.setMounts(std::string("/dev/mem/vol ") + c.mountPoint + " ext4 rw 0 0\n");
        const auto sent = registerNow();
        EXPECT_EQ(sent.snapshots.size(), c.belongs ? 1u : 0u);
        EXPECT_EQ(g_removed.count(dev), c.belongs ? 0u : 1u);  // a snapshot nobody uses goes
    }
}

TEST_F(RegistrationTest, SnapshotsOfUnmountedVolumesAreLeftAloneAndNotSent) {
    const long s = set({"/data/rep1"});
    auto lv = volume("/dev/mem/data");
    snap(lv, "jxr_5f000200", s, 7);
    EvDebugCapture log;
    EvDebug::setLevel(EvDebug::kDebug);
    const auto sent = registerNow();
    EXPECT_TRUE(sent.snapshots.empty());
    EXPECT_TRUE(g_removed.empty());
    EXPECT_TRUE(log.contains("   Snap [/dev/mem/jxr_5f000200], mounted under [NOWHERE]"));
    EXPECT_TRUE(log.contains("Found [C]RP for job 7:"));
}

TEST_F(RegistrationTest, BlockFilterSnapshotsCarryEngineCodeOne) {
    const long s = set({"/data/rep1"});
    auto lv = volume("/dev/mem/data", FLR_SNAP_ENG_LINUX_QZBF);
    snap(lv, "jxr_5f000300", s, 8);
    store_.setMounts("/dev/mem/data /data ext4 rw 0 0\n");
    const auto sent = registerNow();
    ASSERT_EQ(sent.snapshots.size(), 1u);
    EXPECT_EQ(sent.snapshots[0].engineCode, 1);
}

TEST_F(RegistrationTest, AlertCarriesThePairAndTheMessage) {
    const long s = set({"/data/rep1"});
    const auto pairs = MgmtConfig::listPairs(s);
    ASSERT_EQ(pairs.size(), 1u);
    FlrPair pair(static_cast<int>(s), static_cast<int>(pairs[0].id));
    FlrHelper::sendAlert(pair, "disk \"full\"");
    const std::string outbox = store_.outbox();
    EXPECT_NE(outbox.find(R"("kind":"alert","type":25,"subtype":48,"flags":0,)"),
              std::string::npos);
    EXPECT_NE(outbox.find(R"("dstPath":"/data/rep1","message":"disk \"full\""})"),
              std::string::npos);
    EXPECT_NE(outbox.find("\"srcClient\":" + std::to_string(src_)), std::string::npos);
}

}  // namespace
