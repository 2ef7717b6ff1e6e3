#include "platform/JxMntTab.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "support/TestSupport.h"

namespace {

// Points JxMntTab at a private file for one test and puts the old one back.
class JxMntTabTest : public ::testing::Test {
  protected:
    JxMntTabTest() : previous_(JxMntTab::getMountTableFile()) {}
    ~JxMntTabTest() override { JxMntTab::setMountTableFile(previous_); }

    void useTable(const std::string& content) {
        const std::string path = dir_.file("mounts");
        flrtest::writeFile(path, content);
        JxMntTab::setMountTableFile(path);
    }

    flrtest::TempDir dir_;
    std::string previous_;
};

std::list<JxMntTab::Entry> table(std::initializer_list<const char*> mountPoints) {
    std::list<JxMntTab::Entry> entries;
    int n = 0;
    for (const char* mp : mountPoints)
        entries.push_back(JxMntTab::Entry{"dev" + std::to_string(n++), mp, "ext4", "rw"});
    return entries;
}

std::string deviceFor(const std::list<JxMntTab::Entry>& entries, const char* path) {
    const JxMntTab::Entry* e = JxMntTab::find(entries, path);
    return e ? e->device : "none";
}

TEST_F(JxMntTabTest, GetAllKeepsOrderSkipsCommentsAndDecodesEscapes) {
    useTable(
        "# comment line\n"
        "/dev/sda1 / ext4 rw,relatime 0 0\n"
        "\n"
        "server:/export\\040dir /mnt/with\\040space\\011tab nfs4 ro,vers=4.2 0 0\n"
        "tmpfs /back\\134slash tmpfs rw 0 0");  // last line without newline
    std::list<JxMntTab::Entry> entries;
    CQiError rc = JxMntTab::getAll(entries);
    ASSERT_TRUE(rc.IsSuccess()) << rc.AsString();
    ASSERT_EQ(entries.size(), 3u);
    auto it = entries.begin();
    EXPECT_EQ(it->device, "/dev/sda1");
    EXPECT_EQ(it->mountPoint, "/");
    EXPECT_EQ(it->fsType, "ext4");
    EXPECT_EQ(it->options, "rw,relatime");
    ++it;
    EXPECT_EQ(it->device, "server:/export dir");
    EXPECT_EQ(it->mountPoint, "/mnt/with space\ttab");
    EXPECT_EQ(it->fsType, "nfs4");
    EXPECT_EQ(it->options, "ro,vers=4.2");
    ++it;
    EXPECT_EQ(it->mountPoint, "/back\\slash");
}

TEST_F(JxMntTabTest, KeepsLongOptionLists) {
    const std::string options = "rw,lowerdir=" + std::string(20000, 'l');
    useTable("overlay /merged overlay " + options + " 0 0\nproc /proc proc rw 0 0\n");
    std::list<JxMntTab::Entry> entries;
    ASSERT_TRUE(JxMntTab::getAll(entries).IsSuccess());
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries.front().options, options);
    EXPECT_EQ(entries.back().mountPoint, "/proc");
}

TEST_F(JxMntTabTest, UnreadableTableIsAnErrorWithTheSystemText) {
    const std::string missing = dir_.file("no-such-mounts");
    JxMntTab::setMountTableFile(missing);
    std::list<JxMntTab::Entry> entries = table({"/keep"});
    CQiError rc = JxMntTab::getAll(entries);
    EXPECT_TRUE(rc.IsError());
    EXPECT_EQ(rc.GetCode(), -ENOENT);
    EXPECT_NE(rc.GetMessage().find(missing), std::string::npos) << rc.GetMessage();
    EXPECT_NE(rc.GetMessage().find(strerror(ENOENT)), std::string::npos) << rc.GetMessage();
    ASSERT_EQ(entries.size(), 1u) << "a failed read must leave the caller's list alone";
}

TEST_F(JxMntTabTest, EmptyFileNameMeansTheProcessTable) {
    JxMntTab::setMountTableFile("");
    EXPECT_EQ(JxMntTab::getMountTableFile(), "/proc/self/mounts");
    std::list<JxMntTab::Entry> entries;
    ASSERT_TRUE(JxMntTab::getAll(entries).IsSuccess());
    EXPECT_FALSE(entries.empty());
    EXPECT_NE(JxMntTab::find(entries, "/proc/self/mounts"), nullptr);
}

TEST(JxMntTabFind, LongestWholeComponentPrefixWins) {
    const auto entries = table({"/", "/data", "/data/x/y", "/mnt/"});
    EXPECT_EQ(deviceFor(entries, "/data/x"), "dev1");
    EXPECT_EQ(deviceFor(entries, "/data"), "dev1");
    EXPECT_EQ(deviceFor(entries, "/data/"), "dev1");
    EXPECT_EQ(deviceFor(entries, "/database"), "dev0");
    EXPECT_EQ(deviceFor(entries, "/data/x/y/z"), "dev2");
    EXPECT_EQ(deviceFor(entries, "/data/x/yz"), "dev1");
    EXPECT_EQ(deviceFor(entries, "/mnt/a"), "dev3");
    EXPECT_EQ(deviceFor(entries, "/mnt"), "dev3");
    EXPECT_EQ(deviceFor(entries, "/"), "dev0");
}

TEST(JxMntTabFind, LaterEntryWinsATieAndNoneGivesNull) {
    const auto stacked = table({"/", "/data", "/data"});
    EXPECT_EQ(deviceFor(stacked, "/data/f"), "dev2");
    const auto noRoot = table({"/data"});
    EXPECT_EQ(JxMntTab::find(noRoot, "/database"), nullptr);
    EXPECT_EQ(JxMntTab::find(noRoot, nullptr), nullptr);
    EXPECT_EQ(JxMntTab::find(noRoot, ""), nullptr);
    EXPECT_EQ(JxMntTab::find({}, "/data"), nullptr);
}

TEST_F(JxMntTabTest, RawRecordsCarryTheReadOnlyOption) {
    useTable(
        "/dev/a /a ext4 ro,noatime 0 0\n"
        "/dev/b /b ext4 rw,errors=remount-ro 0 0\n"
        "/dev/c /c xfs rootcontext=x,ro 0 0\n"
        "/dev/d /d xfs rw,roa 0 0\n");
    char err[64] = "untouched";
    JxMntRecords* raw = jxReadMntTab(err, sizeof err);
    ASSERT_NE(raw, nullptr) << err;
    ASSERT_EQ(raw->count, 4);
    EXPECT_STREQ(raw->records[0].device, "/dev/a");
    EXPECT_STREQ(raw->records[0].mountPoint, "/a");
    EXPECT_STREQ(raw->records[0].options, "ro,noatime");
    EXPECT_STREQ(raw->records[0].fsType, "ext4");
    const std::vector<bool> readOnly = {true, false, true, false};
    for (int i = 0; i < raw->count; ++i) EXPECT_EQ(raw->records[i].readOnly, readOnly[i]) << i;
    jxFreeMntTab(raw);
    jxFreeMntTab(nullptr);
}

TEST_F(JxMntTabTest, RawReaderFailureFillsTheErrorBufferWithinItsLength) {
    JxMntTab::setMountTableFile(dir_.file("absent"));
    char err[1024];
    EXPECT_EQ(jxReadMntTab(err, sizeof err), nullptr);
    EXPECT_NE(std::string(err).find(strerror(ENOENT)), std::string::npos) << err;

    char tiny[8];
    memset(tiny, 'x', sizeof tiny);
    EXPECT_EQ(jxReadMntTab(tiny, sizeof tiny), nullptr);
    EXPECT_EQ(strlen(tiny), sizeof tiny - 1);
    EXPECT_EQ(jxReadMntTab(nullptr, 0), nullptr);
}

TEST_F(JxMntTabTest, EmptyTableGivesNoRecords) {
    useTable("");
    char err[64];
    JxMntRecords* raw = jxReadMntTab(err, sizeof err);
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(raw->count, 0);
    jxFreeMntTab(raw);
}

}  // namespace
