// Block-filter engine: the /proc side on a fake tree under a root prefix,
// the ioctl side through a double that records every request.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <cstring>
#include <map>

#include "FLR/JxException.h"
#include "StoreFakes.h"
#include "platform/JXPlatformInfo.h"
#include "snap/FlrSnapOSQzbf.h"

using flrtest::FakeStore;
using flrtest::writeFile;

namespace {

constexpr int kMajor = 251;

class DriverDouble : public FlrQzbfProcDriver {
  public:
    struct Request {
        unsigned long code;
        int32_t minor;  // the minor argument, or the record's origin
        QzbfAddSnapRecord rec;
    };
    explicit DriverDouble(const std::string& root) : FlrQzbfProcDriver(root), root_(root) {}

    bool deviceNumber(const std::string& path, uint64_t* rdev) override {
        const auto it = devices.find(path);
        if (it == devices.end()) return false;
        *rdev = it->second;
        return true;
    }
    int openControl() override {
        ++opens;
        return openError;
    }
    void closeControl() override { ++closes; }
    int control(unsigned long code, void* arg) override {
        Request r{code, 0, {}};
        if (code == kAddSnapNode) {
            auto* rec = static_cast<QzbfAddSnapRecord*>(arg);
            r.rec = *rec;
            if (!failOn.count(code)) {
                rec->snapMinor = 7;
                std::strcpy(rec->uuid, "uuid-of-seven");
                addNode(7, "snap", std::string("/dev/qzbf/") + rec->name, "uuid-of-seven");
            }
        } else {
            r.minor = *static_cast<int32_t*>(arg);
        }
        requests.push_back(r);
        const auto f = failOn.find(code);
        return f == failOn.end() ? 0 : f->second;
    }

    void addNode(int minor, const std::string& type, const std::string& devName,
                 const std::string& uuid, const std::string& snaps = "",
                 const std::string& delPending = "0\n") {
        const std::string dir = root_ + "/proc/qzbf/qzbf" + std::to_string(minor);
        ::mkdir(dir.c_str(), 0755);
        writeFile(dir + "/dev_type", type + "\n");
        writeFile(dir + "/dev_name", devName + "\n");
        writeFile(dir + "/uuid", uuid + "\n");
        writeFile(dir + "/snaps", snaps);
        writeFile(dir + "/stop_pending", "0\n");
        writeFile(dir + "/del_pending", delPending);
        devices[devName] = makedev(kMajor, minor);
    }

    std::map<std::string, uint64_t> devices;
    std::map<unsigned long, int> failOn;
    std::vector<Request> requests;
    int openError = 0, opens = 0, closes = 0;

  private:
    std::string root_;
};

class QzbfTest : public ::testing::Test {
  protected:
    QzbfTest() : store_(R"({"gpfs": {}})"), drv_(store_.dir()) {
        ::mkdir((store_.dir() + "/proc").c_str(), 0755);
        ::mkdir((store_.dir() + "/proc/qzbf").c_str(), 0755);
        writeFile(store_.dir() + "/proc/qzbf/blk_major", std::to_string(kMajor) + "\n");
        drv_.addNode(0, "filter", "/dev/qzbfa", "uuid-origin", "1 2 3\n");
        drv_.addNode(1, "snap", "/dev/qzbf/jxr_1", "uuid-1");
        drv_.addNode(2, "snap", "/dev/qzbf/jxr_2", "uuid-2", "", "1\n");  // being deleted
        drv_.addNode(3, "filter", "/dev/qzbfb", "uuid-b");                // not a snapshot node
        JXPlatformInfo::setString("HotspotSnapshotAgent", "sSNAPPART", "/var/cache/qzbf");
        FlrQzbfDriver::setCurrent(&drv_);
    }
    ~QzbfTest() override { FlrQzbfDriver::setCurrent(nullptr); }

    FlrSnapOS_LV_linux_qzbf origin() {
        return FlrSnapOS_LV_linux_qzbf(FlrSnapOS::RDEV("/dev/qzbfa"), "uuid-origin",
                                       FLR_SNAP_ENG_LINUX_QZBF);
    }
    std::string messageOf(const std::function<void()>& f) {
        try {
            f();
        } catch (const JxException& e) {
            return e.getMessage();
        }
        return "no exception";
    }

    FakeStore store_;
    DriverDouble drv_;
};

TEST_F(QzbfTest, ListsFilterNodesWithTheirLiveSnapshotNodes) {
    const auto lvs = FlrSnapOS_LV_linux_qzbf::getLVList();
    ASSERT_EQ(lvs.size(), 2u);  // both filter nodes
    const auto& lv = lvs.front();
    EXPECT_EQ(lv->rdev.path, "/dev/qzbfa");
    EXPECT_EQ(lv->name, "uuid-origin");
    EXPECT_EQ(lv->engine, FLR_SNAP_ENG_LINUX_QZBF);
    ASSERT_EQ(lv->snaps.size(), 1u);
    EXPECT_EQ(lv->snaps.front()->rdev.path, "/dev/qzbf/jxr_1");
    EXPECT_EQ(lv->snaps.front()->name, "uuid-1");
}

TEST_F(QzbfTest, CreatesStartsAndSavesTheConfiguration) {
    auto lv = origin();
    std::string mountPath;
    auto snap = lv.snap(4096, "jxr_5", &mountPath);
    EXPECT_TRUE(mountPath.empty());
    EXPECT_EQ(snap->rdev.path, "/dev/qzbf/jxr_5");
    EXPECT_EQ(snap->name, "uuid-of-seven");
    ASSERT_EQ(drv_.requests.size(), 2u);
    const auto& add = drv_.requests[0].rec;
    EXPECT_EQ(drv_.requests[0].code, 0xc8b44302ul);
    EXPECT_EQ(add.originMinor, 0);
    EXPECT_EQ(add.snapMinor, -1);
    EXPECT_EQ(add.flags, 32768);
    EXPECT_STREQ(add.cowBitmapPath, "/var/cache/qzbf/jxr_5.cow.bmp");
    EXPECT_STREQ(add.cowDataPath, "/var/cache/qzbf/jxr_5.cow.data");
    EXPECT_STREQ(add.name, "jxr_5");
    EXPECT_EQ(drv_.requests[1].code, 0x80044304ul);
    EXPECT_EQ(drv_.requests[1].minor, 7);
    EXPECT_EQ(drv_.opens, drv_.closes);
    EXPECT_EQ(store_.calls("jxsnap"),
              (std::vector<std::vector<std::string>>{
                  {"jxsnap", "-o", "/sbin/qzbf-bootscript1.rc", "-c", "create_script"}}));
}

TEST_F(QzbfTest, RemovalStopsThenDeletesTheNode) {
    FlrSnapOS_Snap_linux_qzbf snap(FlrSnapOS::RDEV("/dev/qzbf/jxr_1"), "uuid-1",
                                   FLR_SNAP_ENG_LINUX_QZBF);
    snap.unSnap();
    ASSERT_EQ(drv_.requests.size(), 2u);
    EXPECT_EQ(drv_.requests[0].code, 0x80044305ul);
    EXPECT_EQ(drv_.requests[1].code, 0x80044303ul);
    EXPECT_EQ(drv_.requests[0].minor, 1);
    EXPECT_EQ(drv_.requests[1].minor, 1);
    EXPECT_EQ(store_.calls("jxsnap").size(), 1u);
}

TEST_F(QzbfTest, DriverFailuresThrowTheirMessagesAndCloseTheControlNode) {
    auto lv = origin();
    FlrSnapOS_Snap_linux_qzbf snap(FlrSnapOS::RDEV("/dev/qzbf/jxr_1"), "uuid-1",
                                   FLR_SNAP_ENG_LINUX_QZBF);
    struct Case {
        unsigned long code;
        bool create;
        const char* message;
    };
    const Case cases[] = {
        {FlrQzbfDriver::kAddSnapNode, true,
         "Failed to snap /dev/qzbfa: ioctl(QZBF_ADD_SNAP_NODE) failed: Operation not permitted"},
        {FlrQzbfDriver::kStartNode, true,
         "Failed to start snap /dev/qzbf/jxr_9: ioctl(QZBF_START_NODE) failed: Operation not "
         "permitted"},
        {FlrQzbfDriver::kStopNode, false,
         "Failed to stop snap device /dev/qzbf/jxr_1: ioctl(QZBF_STOP_NODE) failed: Operation "
         "not permitted"},
        {FlrQzbfDriver::kDelNode, false,
         "Failed to delete snap device /dev/qzbf/jxr_1: ioctl(QZBF_DEL_NODE) failed: Operation "
         "not permitted"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        drv_.failOn = {{c.code, EPERM}};
        EXPECT_EQ(messageOf([&] {
                      if (c.create)
                          lv.snap(1, "jxr_9", nullptr);
                      else
                          snap.unSnap();
                  }),
                  c.message);
        EXPECT_EQ(drv_.opens, drv_.closes);
    }
    EXPECT_TRUE(store_.calls("jxsnap").empty());  // nothing changed, nothing saved
    drv_.failOn.clear();
    drv_.openError = ENOENT;
    EXPECT_EQ(messageOf([&] { lv.snap(1, "jxr_9", nullptr); }),
              "Failed to open QZBF control node /dev/qzbf/ctrl: No such file or directory");
}

TEST_F(QzbfTest, WithoutTheDriverNothingIsADriverDeviceAndTheServerIsTold) {
    ::unlink((store_.dir() + "/proc/qzbf/blk_major").c_str());
    DriverDouble unloaded(store_.dir());
    unloaded.devices = drv_.devices;
    FlrQzbfDriver::setCurrent(&unloaded);
    store_.setMounts("/dev/qzbfa /data ext4 rw 0 0\n");
    auto lv = origin();
    EXPECT_EQ(messageOf([&] { lv.snap(1, "jxr_9", nullptr); }),
              "Can't snap /dev/qzbfa: Not a QZBF device.");
    FlrSnapOS_LV_linux_qzbf other(FlrSnapOS::RDEV("/dev/unknown"), "", FLR_SNAP_ENG_LINUX_QZBF);
    EXPECT_EQ(messageOf([&] { other.snap(1, "jxr_9", nullptr); }),
              "Can't snap /dev/unknown: Not a QZBF device.");
    const std::string outbox = store_.outbox();
    EXPECT_NE(outbox.find(R"("id":"0x4c000090","level":"critical","job":0,"flags":256)"),
              std::string::npos);
    EXPECT_NE(outbox.find(R"("args":["/data","/dev/qzbfa","/dev/qzbfa"])"), std::string::npos);
    EXPECT_NE(outbox.find(R"("id":"0x4c00008f")"), std::string::npos);
    EXPECT_NE(outbox.find(R"("args":["/dev/unknown","/dev/unknown"])"), std::string::npos);
    EXPECT_TRUE(unloaded.requests.empty());
    FlrQzbfDriver::setCurrent(&drv_);
}

TEST_F(QzbfTest, MissingCacheDirectoryIsRefusedBeforeTheDriverIsTouched) {
    JXPlatformInfo::deleteValue("HotspotSnapshotAgent", "sSNAPPART");
    auto lv = origin();
    EXPECT_EQ(messageOf([&] { lv.snap(1, "jxr_9", nullptr); }),
              "Failed to get COW cache directory name from registry.");
    EXPECT_EQ(drv_.opens, 0);
}

TEST(QzbfRecord, LongNamesAndPathsAreCutToTheirFields) {
    QzbfAddSnapRecord rec;
    const std::string name127(127, 'n'), longDir(1100, 'd');
    FlrSnapOS_LV_linux_qzbf::fillAddRecord(rec, 3, "/c", name127);
    EXPECT_EQ(std::string(rec.name), name127);
    FlrSnapOS_LV_linux_qzbf::fillAddRecord(rec, 3, longDir, name127 + "xyz");
    EXPECT_EQ(std::string(rec.name), name127);
    EXPECT_EQ(std::strlen(rec.cowBitmapPath), 1023u);
    EXPECT_EQ(std::strlen(rec.cowDataPath), 1023u);
    EXPECT_EQ(rec.uuid[0], '\0');
    EXPECT_EQ(offsetof(QzbfAddSnapRecord, cowBitmapPath), 12u);
    EXPECT_EQ(offsetof(QzbfAddSnapRecord, cowDataPath), 1036u);
    EXPECT_EQ(offsetof(QzbfAddSnapRecord, uuid), 2060u);
    EXPECT_EQ(offsetof(QzbfAddSnapRecord, name), 2099u);
}

}  // namespace
