#include "mgmt/qzhsm/QZHSMCommon/QZHSMMntTab.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "FLR/JxException.h"
#include "platform/JxMntTab.h"
#include "support/TestSupport.h"

namespace {

class QZHSMMntTabTest : public ::testing::Test {
  protected:
    std::string tableFile(const std::string& content) {
        const std::string path = dir_.file("mounts");
        flrtest::writeFile(path, content);
        return path;
    }

    flrtest::TempDir dir_;
};

const char* kTable =
    "/dev/root / ext4 rw,relatime 0 0\n"
    "/dev/sdb1 /data xfs ro,noatime 0 0\n"
    "tmpfs /data/tmp tmpfs rw 0 0\n"
    "/dev/sdc1 /data/tmp tmpfs rw,size=1g 0 0\n";

std::string thrownMessage(const QZHSMMntTab& tab, const char* path, std::string* function) {
    try {
        tab.find(path);
    } catch (const JxException& e) {
        if (function) *function = e.getFunction();
        return e.getMessage();
    }
    return "no exception";
}

TEST_F(QZHSMMntTabTest, CopiesEveryRecordInTableOrder) {
    QZHSMMntTab tab(tableFile(kTable));
    ASSERT_EQ(tab.size(), 4u);
    const QZHSMMntTab::Entry& data = *std::next(tab.begin());
    EXPECT_EQ(data.device, "/dev/sdb1");
    EXPECT_EQ(data.mountPoint, "/data");
    EXPECT_TRUE(data.readOnly);
    EXPECT_EQ(data.options, "ro,noatime");
    EXPECT_EQ(data.fsType, "xfs");
    EXPECT_FALSE(tab.begin()->readOnly);
}

TEST_F(QZHSMMntTabTest, FindChoosesTheLongestHoldingMountPoint) {
    QZHSMMntTab tab(tableFile(kTable));
    EXPECT_EQ(tab.find("/data/x")->device, "/dev/sdb1");
    EXPECT_EQ(tab.find("/data")->device, "/dev/sdb1");
    EXPECT_EQ(tab.find("/database")->device, "/dev/root");
    EXPECT_EQ(tab.find("/")->device, "/dev/root");
    EXPECT_EQ(tab.find("/data/tmpfile")->device, "/dev/sdb1");
    // Two mounts at one place: the later one covers the earlier.
    EXPECT_EQ(tab.find("/data/tmp/f")->device, "/dev/sdc1");
}

TEST_F(QZHSMMntTabTest, FindFailuresThrowTheirMessages) {
    QZHSMMntTab tab(tableFile("/dev/sdb1 /data xfs rw 0 0\n"));
    std::string function;
    EXPECT_EQ(thrownMessage(tab, "/database", &function),
              "Failed to find mount point containing file /database");
    EXPECT_EQ(function, "QZHSMMntTab::find");
    EXPECT_EQ(thrownMessage(tab, "relative/data", nullptr),
              "Failed to find mount point containing file relative/data");
    EXPECT_EQ(thrownMessage(tab, nullptr, nullptr), "Internal error: fname==NULL");
    EXPECT_EQ(thrownMessage(tab, "", nullptr), "Internal error: fname==NULL");
}

TEST_F(QZHSMMntTabTest, FindByMountPointAndType) {
    QZHSMMntTab tab(tableFile(kTable));
    const QZHSMMntTab::Entry* e = tab.find("/data", "xfs");
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->device, "/dev/sdb1");
    EXPECT_EQ(tab.find("/data", "ext4"), nullptr);
    EXPECT_EQ(tab.find("/data/", "xfs"), nullptr);
    EXPECT_EQ(tab.find(nullptr, "xfs"), nullptr);
    EXPECT_EQ(tab.find("/data", nullptr), nullptr);
    EXPECT_EQ(tab.find("/data/tmp", "tmpfs")->device, "/dev/sdc1");
}

TEST_F(QZHSMMntTabTest, UnreadableTableThrowsAndRestoresTheTableFile) {
    JxMntTab::setMountTableFile("");
    const std::string missing = dir_.file("absent");
    try {
        QZHSMMntTab tab(missing);
        FAIL() << "expected JxException";
    } catch (const JxException& e) {
        EXPECT_EQ(e.getFunction(), "QZHSMMntTab");
        EXPECT_EQ(e.getSource(), "QZHSMMntTab");
        EXPECT_NE(e.getMessage().find(missing), std::string::npos) << e.getMessage();
        EXPECT_NE(e.getMessage().find(strerror(ENOENT)), std::string::npos) << e.getMessage();
    }
    EXPECT_EQ(JxMntTab::getMountTableFile(), "/proc/self/mounts");
    QZHSMMntTab fromFile(tableFile(kTable));
    EXPECT_EQ(JxMntTab::getMountTableFile(), "/proc/self/mounts");
}

TEST(QZHSMMntTab, ReadsTheHostTable) {
    QZHSMMntTab tab;
    EXPECT_FALSE(tab.empty());
    EXPECT_NE(tab.find("/proc/self/mounts"), nullptr);
}

}  // namespace
