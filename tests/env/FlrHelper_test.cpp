#include "env/FlrHelper.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <thread>
#include <vector>

#include "FLR/FlrSnapMgr.h"
#include "FLR/JxException.h"
#include "platform/EvDebug.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxMntTab.h"
#include "support/TestSupport.h"

namespace {

bool isDir(const std::string& p) {
    struct stat st;
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

template <class F>
std::string thrownMessage(F f, std::string* function = nullptr) {
    try {
        f();
    } catch (const JxException& e) {
        if (function) *function = e.getFunction();
        EXPECT_EQ("FlrHelper", e.getSource());
        EXPECT_EQ(-1, e.getCode());
        return e.getMessage();
    }
    ADD_FAILURE() << "no exception";
    return {};
}

// Runs in a fresh working directory so relative paths land in the temp dir.
class InTempCwd {
  public:
    InTempCwd() {
        char buf[PATH_MAX];
        old_ = getcwd(buf, sizeof buf) ? buf : "/";
        EXPECT_EQ(0, chdir(dir_.path().c_str()));
    }
    ~InTempCwd() { EXPECT_EQ(0, chdir(old_.c_str())); }
    const flrtest::TempDir& dir() const { return dir_; }

  private:
    flrtest::TempDir dir_;
    std::string old_;
};

}  // namespace

TEST(FlrHelperMkdir, CreatesMissingLevelsAndRefusesBadInput) {
    InTempCwd cwd;
    errno = 0;
    EXPECT_EQ(-1, FlrHelper::mkdir1(nullptr));
    EXPECT_EQ(EINVAL, errno);
    errno = 0;
    EXPECT_EQ(-1, FlrHelper::mkdir1(""));
    EXPECT_EQ(EINVAL, errno);

    EXPECT_EQ(0, FlrHelper::mkdir1("a/b/c"));  // relative, three new levels
    EXPECT_TRUE(isDir(cwd.dir().file("a/b/c")));
    EXPECT_EQ(0, FlrHelper::mkdir1("a/b/c"));  // existing is success

    // A trailing slash names the same directory: success, not a spurious EEXIST.
    EXPECT_EQ(0, FlrHelper::mkdir1((cwd.dir().path() + "/x/y/").c_str()));
    EXPECT_TRUE(isDir(cwd.dir().file("x/y")));

    flrtest::writeFile(cwd.dir().file("file"), "data");
    EXPECT_EQ(-1, FlrHelper::mkdir1((cwd.dir().path() + "/file/sub").c_str()));
    EXPECT_EQ(-1, FlrHelper::mkdir1((cwd.dir().path() + "/file/sub/deeper").c_str()));
}

TEST(FlrHelperMkdir, ConcurrentCreationOfOneDeepPathAlwaysSucceeds) {
    flrtest::TempDir dir;
    const int rounds = flrtest::scaled(20);
    for (int round = 0; round < rounds; ++round) {
        const std::string path = dir.path() + "/r" + std::to_string(round) + "/a/b/c/d/e";
        std::vector<int> rc(8, -2);
        std::vector<std::thread> ts;
        for (int i = 0; i < 8; ++i)
            ts.emplace_back([&, i] { rc[i] = FlrHelper::mkdir1(path.c_str()); });
        for (auto& t : ts) t.join();
        for (int r : rc) EXPECT_EQ(0, r);
        EXPECT_TRUE(isDir(path));
    }
}

TEST(FlrHelperMkdir, StripTrailingSlashes) {
    EXPECT_EQ("/", FlrHelper::stripTrailingSlashes("/"));
    EXPECT_EQ("/", FlrHelper::stripTrailingSlashes("//"));
    EXPECT_EQ("/", FlrHelper::stripTrailingSlashes("///"));
    EXPECT_EQ("a/b", FlrHelper::stripTrailingSlashes("a/b//"));
    EXPECT_EQ("", FlrHelper::stripTrailingSlashes(""));
    EXPECT_EQ("a", FlrHelper::stripTrailingSlashes("a"));
}

TEST(FlrHelperPairDir, FileNamesUnderTheClientsJobResultsAndDirectoryCreated) {
    flrtest::ScopedRegistry reg;
    const std::string jr = reg.dir() + "/jobresults";
    ASSERT_EQ(0, JXPlatformInfo::setString("Machines/host1", "dJobResults", jr));
    const std::string pairDir = jr + "/zrp/3";
    EXPECT_EQ(pairDir, FlrHelper::getPairDir(3, "host1"));
    EXPECT_TRUE(isDir(pairDir));
    EXPECT_EQ(pairDir + "/OrphanFiles.txt", FlrHelper::getOrphanFileName(3, "host1"));
    EXPECT_EQ(pairDir + "/Collect.txt", FlrHelper::getCollectFileName(3, "host1"));
    EXPECT_EQ(pairDir + "/ResendCollect.txt", FlrHelper::getResendCollectFileName(3, "host1"));
    EXPECT_EQ(pairDir + "/SendHistory.dat", FlrHelper::getSendHistoryFileName(3, "host1"));
    EXPECT_EQ(pairDir + "/DirChangeTail.txt", FlrHelper::getDirChangeFileName(3, "host1", true));
    EXPECT_EQ(pairDir + "/DirChange.txt", FlrHelper::getDirChangeFileName(3, "host1", false));
    EXPECT_EQ(pairDir + "/ResendDirChangeTail.txt",
              FlrHelper::getResendDirChangeFileName(3, "host1", true));
    EXPECT_EQ(pairDir + "/ResendDirChange.txt",
              FlrHelper::getResendDirChangeFileName(3, "host1", false));
    EXPECT_EQ(jr + "/zrp/-7", FlrHelper::getPairDir(-7, "host1"));

    // The name is given even when the directory cannot be made.
    ASSERT_EQ(0, JXPlatformInfo::setString("Machines/host2", "dJobResults", "/proc/flr-no"));
    EXPECT_EQ("/proc/flr-no/zrp/1/Collect.txt", FlrHelper::getCollectFileName(1, "host2"));

    ASSERT_EQ(0, JXPlatformInfo::setString("Machines/host3", "dJobResults", ""));
    std::string fn;
    EXPECT_EQ("Failed to get jobResults directory for client host3",
              thrownMessage([] { FlrHelper::getCollectFileName(1, "host3"); }, &fn));
    EXPECT_EQ("FlrHelper::getPairDir", fn);
}

TEST(FlrHelperDatabaseDirs, DerivedFromDbDirAndItsParent) {
    flrtest::ScopedRegistry reg;
    std::string fn;
    EXPECT_EQ("Failed to retrieve FLR DB directory name from registry.",
              thrownMessage([] { FlrHelper::getDatabaseDir(1); }, &fn));
    EXPECT_EQ("FlrHelper::getDatabaseDir", fn);
    EXPECT_EQ("Failed to retrieve FLR DB directory name from registry.",
              thrownMessage([] { FlrHelper::getLBFSDatabaseDir(); }, &fn));
    EXPECT_EQ("FlrHelper::getLBFSDatabaseDir", fn);

    struct Case {
        const char* dbDir;
        const char* db7;
        const char* wr7;
        const char* lbfs;
    } cases[] = {
        {"/var/db/zrp", "/var/db/zrp/7", "/var/db/WRDB/7", "/var/db/LBFSDB"},
        {"/db", "/db/7", "/WRDB/7", "/LBFSDB"},
        {"db", "db/7", "db/WRDB/7", "db/LBFSDB"},
        {"/var/db/", "/var/db//7", "/var/db/WRDB/7", "/var/db/LBFSDB"},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(0, JXPlatformInfo::setString("ZRP", "dDBDir", c.dbDir));
        EXPECT_EQ(c.db7, FlrHelper::getDatabaseDir(7)) << c.dbDir;
        EXPECT_EQ(c.wr7, FlrHelper::getWrDatabaseDir(7)) << c.dbDir;
        EXPECT_EQ(c.lbfs, FlrHelper::getLBFSDatabaseDir()) << c.dbDir;
    }
    ASSERT_EQ(0, JXPlatformInfo::setString("ZRP", "dDBDir", "/var/db/zrp"));
    EXPECT_EQ("/var/db/zrp/-1", FlrHelper::getDatabaseDir(-1));
}

TEST(FlrHelperLocks, CrpLockFileNamePrintsTheJobSigned) {
    flrtest::ScopedRegistry reg;
    ASSERT_EQ(0, JXPlatformInfo::setString("Platform", "dTemp", "/tmp/flrtmp"));
    EXPECT_EQ("/tmp/flrtmp/crp_job_42", FlrHelper::getCRPLockFileName(42));
    EXPECT_EQ("/tmp/flrtmp/crp_job_-1", FlrHelper::getCRPLockFileName(ULLONG_MAX));
    ASSERT_EQ(0, JXPlatformInfo::setString("Platform", "dTemp", ""));
    EXPECT_EQ("Failed to get Orchard temporary directory name from registry.",
              thrownMessage([] { FlrHelper::getCRPLockFileName(1); }));
}

TEST(FlrHelperClients, OnlyClientsWithInstallExactlyOne) {
    flrtest::ScopedRegistry reg;
    ASSERT_EQ(0, JXPlatformInfo::setString("Machines/a/ZRP", "nINSTALL", "1"));
    ASSERT_EQ(0, JXPlatformInfo::setString("Machines/b/ZRP", "nINSTALL", "01"));
    ASSERT_EQ(0, JXPlatformInfo::setString("Machines/c/ZRP", "nINSTALL", "1 "));
    ASSERT_EQ(0, JXPlatformInfo::setString("Machines/d/ZRP", "nOther", "1"));
    ASSERT_EQ(0, JXPlatformInfo::setString("Machines/e/ZRP", "nINSTALL", "1"));
    ASSERT_EQ(0, JXPlatformInfo::setString("Machines/e", "bActive", "0"));
    EXPECT_EQ((std::list<std::string>{"a", "e"}), FlrHelper::getZRPClientList(false));
    EXPECT_EQ((std::list<std::string>{"a"}), FlrHelper::getZRPClientList(true));
}

TEST(FlrHelperMounts, MountDirOfAPathFromTheMountTable) {
    flrtest::TempDir dir;
    const std::string tab = dir.file("mounts");
    flrtest::writeFile(tab,
                       "/dev/sda1 / ext4 rw,relatime 0 0\n"
                       "/dev/sdb1 /data xfs rw 0 0\n"
                       "/dev/sdc1 /mnt/with\\040space ext4 rw 0 0\n");
    JxMntTab::setMountTableFile(tab);
    {
        EvDebugCapture cap;
        EXPECT_EQ("/data", FlrHelper::getMountDir("/data/x/y"));
        EXPECT_TRUE(cap.contains("/data/x/y belongs to FS with mount point: /data"));
    }
    EXPECT_EQ("/", FlrHelper::getMountDir("/database/x"));
    EXPECT_EQ("/mnt/with space", FlrHelper::getMountDir("/mnt/with space/f"));

    flrtest::writeFile(tab, "/dev/sdb1 /data xfs rw 0 0\n");
    EXPECT_EQ("Unable to find mount point of FS that /home belongs to.",
              thrownMessage([] { FlrHelper::getMountDir("/home"); }));
    JxMntTab::setMountTableFile(dir.file("missing"));
    EXPECT_EQ(0u, thrownMessage([] {
                      FlrHelper::getMountDir("/x");
                  }).find("JxMntTab::getAll failed, error="));
    JxMntTab::setMountTableFile("");
    EXPECT_FALSE(FlrHelper::getMountDir("/").empty());  // the real table
}

TEST(FlrSnapMountDir, RootFromRegistryOrInstallDirAndNamesConfined) {
    flrtest::ScopedRegistry reg;
    ASSERT_EQ(0, JXPlatformInfo::setString("Platform", "dInstall", reg.dir() + "/inst"));
    EXPECT_EQ(reg.dir() + "/inst/SnapMount", FlrSnapMgr::getSnapMountDir());
    ASSERT_EQ(0, JXPlatformInfo::setString("ZRP", "dSnapMountDir", reg.dir() + "/snaps"));
    EXPECT_EQ(reg.dir() + "/snaps", FlrSnapMgr::getSnapMountDir());
    const std::string made = FlrSnapMgr::makeSnapMountDir("FLR_1_2");
    EXPECT_EQ(reg.dir() + "/snaps/FLR_1_2", made);
    EXPECT_TRUE(isDir(made));
    EXPECT_EQ(made, FlrSnapMgr::makeSnapMountDir("FLR_1_2"));  // again: fine
    EXPECT_THROW(FlrSnapMgr::makeSnapMountDir("../escape"), JxException);
    EXPECT_THROW(FlrSnapMgr::makeSnapMountDir(".."), JxException);

    ASSERT_EQ(0, JXPlatformInfo::deleteValue("ZRP", "dSnapMountDir"));
    ASSERT_EQ(0, JXPlatformInfo::setString("Platform", "dInstall", ""));
    try {
        FlrSnapMgr::getSnapMountDir();
        FAIL();
    } catch (const JxException& e) {
        EXPECT_EQ("FlrSnapMgr::getSnapMountDir", e.getFunction());
        EXPECT_EQ("FlrSnapMgr", e.getSource());
        EXPECT_EQ("Failed to get snap mount directory name from registry.", e.getMessage());
    }
    flrtest::writeFile(reg.dir() + "/blocker", "x");
    ASSERT_EQ(0, JXPlatformInfo::setString("ZRP", "dSnapMountDir", reg.dir() + "/blocker"));
    try {
        FlrSnapMgr::makeSnapMountDir("s");
        FAIL();
    } catch (const JxException& e) {
        EXPECT_EQ(
            "Failed to create snap mount directory " + reg.dir() + "/blocker/s: Not a directory",
            e.getMessage());
        EXPECT_EQ(ENOTDIR, e.getCode());
    }
}
