// Path walks (baseline, SDR, DDR) over real trees: selection, output bytes,
// odd names, mounts, failures.
#include "scan/FlrIfind.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <cerrno>
#include <ctime>
#include <string>
#include <vector>

#include "FLR/JxException.h"
#include "IfindTestUtil.h"
#include "db/FlrDatabase.h"
#include "env/FlrHelper.h"
#include "mgmt/JXZrpJobClient.h"
#include "mgmt/MgmtConfig.h"
#include "platform/EvDebug.h"
#include "platform/FlrDriver.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxSeqCounter.h"
#include "support/FaultyFileOps.h"

using namespace ifindtest;

namespace {

struct Tree {
    flrtest::ScopedRegistry reg;
    flrtest::TempDir dir;
    std::string src = dir.file("src");
    std::string collect = dir.file("Collect.txt");
    std::string dirchange = dir.file("DirChange.txt");
    Tree() {
        mkdirs(src);
        JXPlatformInfo::setString("Platform", "dInstall", dir.file("install"));
    }
    std::string at(const std::string& rel) const { return src + "/" + rel; }
    void file(const std::string& rel, const std::string& content = "12345") const {
        flrtest::writeFile(at(rel), content);
    }
};

std::string attrsOf(const std::string& path) {
    struct stat st;
    EXPECT_EQ(0, ::lstat(path.c_str(), &st)) << path;
    char buf[FlrIfind::kAttrBufSize];
    FlrIfind::stat2str(st, buf, sizeof buf);
    return buf;
}

TEST(FlrIfindBaseline, ListsEveryEntryOnceAndBlocksFollowTheirSubdirectories) {
    Tree t;
    mkdirs(t.at("d/e"));
    t.file("a", "alpha");
    t.file("d/b", "bb");
    t.file("d/e/c", "");
    ASSERT_EQ(0, ::link(t.at("a").c_str(), t.at("hard").c_str()));
    // Links are listed, never followed: the target's tree must not show.
    mkdirs(t.dir.file("outside/deep"));
    ASSERT_EQ(0, ::symlink(t.dir.file("outside").c_str(), t.at("d/link").c_str()));
    FlrIfind scan;
    scan.dirchangeFormat = FlrIfind::kFormatAttributes;
    scan.baseline(t.src.c_str(), t.collect.c_str(), t.dirchange.c_str(), -1, false);

    const std::vector<std::string> want = {t.src,          t.at("a"),   t.at("d"),
                                           t.at("d/b"),    t.at("d/e"), t.at("d/e/c"),
                                           t.at("d/link"), t.at("hard")};
    const std::vector<std::string> got = collectPaths(t.collect);
    EXPECT_EQ(want, sorted(got));
    // A directory's own line follows its contents; the top comes last.
    EXPECT_EQ(t.src, got.back());
    EXPECT_LT(std::find(got.begin(), got.end(), t.at("d/e/c")) - got.begin(),
              std::find(got.begin(), got.end(), t.at("d/e")) - got.begin());
    // Counted 64-bit: the counters are reset at the end of a baseline.
    EXPECT_EQ(0, scan.fileCount);
    EXPECT_EQ(0, scan.byteCount);

    const auto blocks = readDirChange(t.dirchange);
    ASSERT_EQ(3u, blocks.size());
    EXPECT_EQ(t.at("d/e"), blocks[0].path);
    EXPECT_EQ(t.at("d"), blocks[1].path);
    EXPECT_EQ(t.src, blocks[2].path);
    EXPECT_EQ((std::vector<std::string>{"a", "d", "hard"}), entryNames(blocks[2]));
    EXPECT_EQ((std::vector<std::string>{"b", "e", "link"}), entryNames(blocks[1]));
    // The one-entry block, byte for byte.
    const std::string text = flrtest::readFile(t.dirchange);
    const std::string eBlock = t.at("d/e") + "\n" + attrsOf(t.at("d/e/c")) + "\tc\n";
    EXPECT_EQ(0u, text.find(eBlock));
    for (const auto& e : blocks[1].entries) {
        EXPECT_EQ(attrsOf(t.at("d/" + e.name)), e.attrs);
        if (e.name == "link") {
            EXPECT_EQ(0u, e.attrs.find("|000|"));
        }
    }
}

TEST(FlrIfindBaseline, CountsFilesAndBytesIn64Bits) {
    Tree t;
    // A sparse 5 GiB file: a 32-bit counter would wrap.
    const long long big = 5LL << 30;
    flrtest::writeFile(t.at("big"), "");
    ASSERT_EQ(0, ::truncate(t.at("big").c_str(), big));
    t.file("small", "xyz");
    FlrIfind scan;
    scan.smartsyncSDR(t.src.c_str(), 0, t.collect.c_str(), t.dirchange.c_str(), -1);
    EXPECT_EQ(3, scan.fileCount);  // two files and the folder itself
    EXPECT_EQ(big + 3, scan.byteCount);
    EXPECT_EQ(3, scan.entryCount() + 1);
}

TEST(FlrIfindBaseline, OddNamesStayOneLineAndReadBackUnchanged) {
    Tree t;
    const std::vector<std::string> names = {"line\nfeed", "carriage\rreturn", "back\\slash",
                                            "tab\there",  "latin1-\xe9\xff",  "\\x0a literal",
                                            "plain"};
    for (const std::string& n : names) t.file(n);
    mkdirs(t.at("dir\twith\ntab"));
    t.file("dir\twith\ntab/inner");
    FlrIfind scan;
    scan.dirchangeFormat = FlrIfind::kFormatAttributes;
    scan.baseline(t.src.c_str(), t.collect.c_str(), t.dirchange.c_str(), -1, false);

    const std::vector<std::string> got = collectPaths(t.collect);
    ASSERT_EQ(names.size() + 3, got.size());  // + folder, subfolder, inner file
    for (const std::string& n : names) EXPECT_TRUE(contains(got, t.at(n))) << n;
    EXPECT_TRUE(contains(got, t.at("dir\twith\ntab/inner")));
    // Plain names are written as they are.
    EXPECT_NE(std::string::npos, flrtest::readFile(t.collect).find(t.at("plain") + "\n"));

    const auto blocks = readDirChange(t.dirchange);
    ASSERT_EQ(2u, blocks.size());
    EXPECT_EQ(t.at("dir\twith\ntab"), blocks[0].path);
    std::vector<std::string> want = names;
    want.push_back("dir\twith\ntab");
    EXPECT_EQ(sorted(want), entryNames(blocks[1]));
    // A TAB never appears inside a name field of the file.
    for (const std::string& l : lines(flrtest::readFile(t.dirchange)))
        EXPECT_LE(std::count(l.begin(), l.end(), '\t'), 1) << l;
}

TEST(FlrIfindBaseline, PlainFormatAndOptionalDirchangeFile) {
    Tree t;
    t.file("only");
    FlrIfind scan;
    scan.baseline(t.src.c_str(), t.collect.c_str(), t.dirchange.c_str(), -1, false);
    EXPECT_EQ(t.src + "\n\tonly\n", flrtest::readFile(t.dirchange));

    // No dirchange name: only the collect file; append extends it.
    ::unlink(t.dirchange.c_str());
    FlrIfind again;
    again.baseline(t.src.c_str(), t.collect.c_str(), "", -1, true);
    EXPECT_FALSE(exists(t.dirchange));
    EXPECT_EQ(4u, collectPaths(t.collect).size());
}

// SDR selection by time stamps. ctime cannot be set, so the scan's time
// lies in the future: every ctime is before it and only mtimes decide.
struct SdrCase {
    const char* name;
    bool topNew, dirNew, subNew, fileNew;
    bool fileSelected;
    bool subSelected;
};

TEST(FlrIfindSmartSync, SelectsByTimestampOfEntryDirectoryAndParent) {
    const SdrCase cases[] = {
        {"nothing changed", false, false, false, false, false, false},
        {"the file changed", false, false, false, true, true, false},
        {"its directory changed", false, false, true, false, true, true},
        // dir and sub changed: sub's walk is below a directory that changed
        // with its parent? dir's parent (top) did not change: no.
        {"directory and parent changed", false, true, false, false, false, false},
        // top changed with dir: everything below dir is new.
        {"top and directory changed", true, true, false, false, true, true},
        {"only the top changed", true, false, false, false, false, false},
    };
    const time_t ts = std::time(nullptr) + 100000;
    for (const SdrCase& c : cases) {
        SCOPED_TRACE(c.name);
        Tree t;
        mkdirs(t.at("dir/sub"));
        t.file("dir/sub/f");
        setMtime(t.at("dir/sub/f"), c.fileNew ? ts + 10 : ts - 5000);
        setMtime(t.at("dir/sub"), c.subNew ? ts : ts - 5000);
        setMtime(t.at("dir"), c.dirNew ? ts + 1 : ts - 5000);
        setMtime(t.src, c.topNew ? ts + 2 : ts - 5000);
        FlrIfind scan;
        scan.smartsyncSDR(t.src.c_str(), ts, t.collect.c_str(), t.dirchange.c_str(), -1);
        const std::vector<std::string> got = collectPaths(t.collect);
        EXPECT_EQ(c.fileSelected, contains(got, t.at("dir/sub/f")));
        EXPECT_EQ(c.subSelected, contains(got, t.at("dir/sub")));
        EXPECT_EQ(c.dirNew, contains(got, t.at("dir")));
        EXPECT_EQ(c.topNew, contains(got, t.src));
        // The dirchange file lists every directory whatever was selected.
        EXPECT_EQ(3u, readDirChange(t.dirchange).size());
    }
}

// Selecting only changed entries (a watch's restart), a folder that changed
// together with its parent was moved there or made: its own files are new
// to the destination too, while a folder that only gained an entry keeps
// its old files unsent.
TEST(FlrIfindSmartSync, AMovedFolderBringsItsFilesWhenOnlyChangesAreSelected) {
    const time_t ts = std::time(nullptr) + 100000;
    for (const bool parentChanged : {true, false}) {
        SCOPED_TRACE(parentChanged ? "moved under a changed parent" : "only the folder changed");
        Tree t;
        mkdirs(t.at("dir/sub"));
        t.file("dir/f");
        t.file("dir/sub/g");
        for (const char* old : {"dir/f", "dir/sub/g", "dir/sub"}) setMtime(t.at(old), ts - 5000);
        setMtime(t.at("dir"), ts + 1);
        setMtime(t.src, parentChanged ? ts + 2 : ts - 5000);
        FlrIfind scan;
        scan.changedEntriesOnly = true;
        scan.smartsyncSDR(t.src.c_str(), ts, t.collect.c_str(), t.dirchange.c_str(), -1);
        const std::vector<std::string> got = collectPaths(t.collect);
        EXPECT_TRUE(contains(got, t.at("dir")));
        EXPECT_EQ(parentChanged, contains(got, t.at("dir/f")));
        EXPECT_EQ(parentChanged, contains(got, t.at("dir/sub/g")));
    }
}

// The threshold's fraction of a second counts: a run that started at .5 s
// does not select what changed at .4 s of that second again.
TEST(FlrIfindSmartSync, TheThresholdsFractionOfASecondSelects) {
    const time_t ts = std::time(nullptr) + 100000;
    const long half = 500000000;
    struct Case {
        const char* name;
        time_t sec;
        long nsec;
        bool selected;
    } cases[] = {
        {"a nanosecond before", ts, half - 1, false},    {"at the threshold", ts, half, true},
        {"the second before", ts - 1, 999999999, false}, {"the second after", ts + 1, 0, true},
        {"same second, later", ts, 999999999, true},
    };
    Tree t;
    for (const Case& c : cases) {
        t.file(c.name);
        const struct timespec times[2] = {{c.sec, c.nsec}, {c.sec, c.nsec}};
        ASSERT_EQ(0, ::utimensat(AT_FDCWD, t.at(c.name).c_str(), times, 0));
    }
    setMtime(t.src, ts - 5000);
    FlrIfind scan;
    scan.timestampNanos = half;
    scan.smartsyncSDR(t.src.c_str(), ts, t.collect.c_str(), t.dirchange.c_str(), -1);
    const std::vector<std::string> got = collectPaths(t.collect);
    for (const Case& c : cases) EXPECT_EQ(c.selected, contains(got, t.at(c.name))) << c.name;
}

TEST(FlrIfindSmartSync, LogsItsParameters) {
    Tree t;
    EvDebugCapture log;
    FlrIfind scan;
    scan.dirchangeFormat = FlrIfind::kFormatAttributes;
    scan.smartsyncSDR((t.src + "//").c_str(), 86400, t.collect.c_str(), t.dirchange.c_str(), -1);
    time_t day = 86400;
    char when[64];
    ctime_r(&day, when);
    std::string whenText(when);
    whenText.pop_back();
    for (const std::string& l :
         {std::string("Initializing file scanner..."),
          std::string("Beginning SDR smart-sync scan..."), "Source Dir     = " + t.src,
          "Timestamp      = 86400 (" + whenText + ")", "Collect File   = " + t.collect,
          "Dirchange File = " + t.dirchange, std::string("Rep Pair ID    = -1"),
          std::string("Rep Set  ID    = 0"), std::string("DirChange Fmt  = With Attributes")})
        EXPECT_TRUE(log.contains(l)) << l;
}

TEST(FlrIfindBaseline, LogsBannerAndTotalsForAPair) {
    Tree t;
    t.file("a", "1234");
    const int head = MgmtConfig::addClient("head", "");
    const long set = MgmtConfig::addSet("web", head, head);
    const long pair = MgmtConfig::addPair(set, t.src, "/dst");
    EvDebugCapture log;
    FlrIfind scan;
    scan.baseline(t.src.c_str(), t.collect.c_str(), nullptr, int(pair), false);
    for (const std::string& l :
         {std::string("Beginning baselining/copyback scan..."),
          std::string("Dirchange File = NULL"), "Rep Pair ID    = " + std::to_string(pair),
          "Rep Set  ID  = " + std::to_string(set), std::string("Transferred 4 bytes, 2 files")})
        EXPECT_TRUE(log.contains(l)) << l;
    const auto jobs = JXZrpJobClient::readOutbox(JXZrpJobClient::outboxPath());
    ASSERT_EQ(1u, jobs.size());
    EXPECT_EQ(2, jobs.begin()->second.filesToTransfer);
    EXPECT_EQ(4, jobs.begin()->second.bytesToTransfer);
}

TEST(FlrIfindFilters, ExclusionsWithExceptionsAtDepth) {
    Tree t;
    mkdirs(t.at("a/tmp/keep"));
    mkdirs(t.at("b/c/tmp"));
    t.file("a/tmp/x");
    t.file("a/tmp/keep/y");
    t.file("b/c/tmp/z");
    t.file("b/c/w");
    const int head = MgmtConfig::addClient("head", "");
    const long set = MgmtConfig::addSet("web", head, head);
    const long pair = MgmtConfig::addPair(set, t.src, "/dst");
    MgmtConfig::addFilter(set, JX_FILTER_EXCLUSIONS, "tmp");
    MgmtConfig::addFilter(set, JX_FILTER_EXCEPTIONS, t.src + "/a/tmp");
    MgmtConfig::addFilter(set, JX_FILTER_EXCEPTIONS, t.src + "/a/tmp/keep/**");
    EvDebugCapture log;
    FlrIfind scan;
    scan.smartsyncSDR(t.src.c_str(), 0, t.collect.c_str(), t.dirchange.c_str(), int(pair));
    const std::vector<std::string> got = collectPaths(t.collect);
    EXPECT_TRUE(contains(got, t.at("a/tmp/keep/y")));
    EXPECT_TRUE(contains(got, t.at("a/tmp")));
    EXPECT_TRUE(contains(got, t.at("a/tmp/x")));  // below the exception, matched by nothing
    EXPECT_FALSE(contains(got, t.at("b/c/tmp/z")));
    EXPECT_FALSE(contains(got, t.at("b/c/tmp")));
    EXPECT_TRUE(contains(got, t.at("b/c/w")));
    EXPECT_TRUE(log.contains("Filtering out " + t.at("b/c/tmp")));
    const auto blocks = readDirChange(t.dirchange);
    EXPECT_EQ(nullptr, blockOf(blocks, t.at("b/c/tmp")));
    ASSERT_NE(nullptr, blockOf(blocks, t.at("b/c")));
    EXPECT_EQ(std::vector<std::string>{"w"}, entryNames(*blockOf(blocks, t.at("b/c"))));
}

// A layer where chosen names vanish between the listing and their stat.
class VanishingOps : public jx::PosixFileOps {
  public:
    explicit VanishingOps(std::string name) : name_(std::move(name)) {}
    int statAt(int dirFd, const char* name, struct stat* st, int flags) override {
        if (name_ == name) ::unlinkat(dirFd, name, 0);
        return jx::PosixFileOps::statAt(dirFd, name, st, flags);
    }

  private:
    std::string name_;
};

TEST(FlrIfindBaseline, AnEntryThatVanishesIsLoggedAndLeftOut) {
    Tree t;
    t.file("stays");
    t.file("goes");
    VanishingOps ops("goes");
    jx::ScopedFileOps scoped(ops);
    EvDebugCapture log;
    FlrIfind scan;
    scan.baseline(t.src.c_str(), t.collect.c_str(), t.dirchange.c_str(), -1, false);
    EXPECT_EQ((std::vector<std::string>{t.src, t.at("stays")}), sorted(collectPaths(t.collect)));
    EXPECT_EQ(t.src + "\n\tstays\n", flrtest::readFile(t.dirchange));
    EXPECT_TRUE(log.contains("Failed to stat " + t.at("goes") + ": No such file or directory"));
}

// A layer that removes one folder after it was opened, before it is read.
class FolderGoesWhileRead : public jx::PosixFileOps {
  public:
    explicit FolderGoesWhileRead(std::string dir) : dir_(std::move(dir)) {}
    ssize_t readDirEntries(int fd, void* buf, size_t len) override {
        struct stat st, target;
        if (::fstat(fd, &st) == 0 && ::stat(dir_.c_str(), &target) == 0 &&
            st.st_ino == target.st_ino) {
            ::unlink((dir_ + "/inner").c_str());
            ::rmdir(dir_.c_str());
        }
        return jx::PosixFileOps::readDirEntries(fd, buf, len);
    }

  private:
    std::string dir_;
};

// The scan goes on without it: a busy tree must not end a watch's resync.
TEST(FlrIfindBaseline, AFolderRemovedWhileReadIsLeftOut) {
    Tree t;
    t.file("stays");
    mkdirs(t.at("gone"));
    t.file("gone/inner");
    FolderGoesWhileRead ops(t.at("gone"));
    jx::ScopedFileOps scoped(ops);
    FlrIfind scan;
    scan.baseline(t.src.c_str(), t.collect.c_str(), t.dirchange.c_str(), -1, false);
    EXPECT_EQ((std::vector<std::string>{t.src, t.at("stays")}), sorted(collectPaths(t.collect)));
}

TEST(FlrIfindFailures, AFailedScanDeletesBothFiles) {
    Tree t;
    // Enough long names that the collect file is written in several pieces.
    const int files = flrtest::scaled(3000);
    mkdirs(t.at("many"));
    const std::string pad(120, 'n');
    for (int i = 0; i < files; ++i) t.file("many/" + pad + std::to_string(i), "");
    // How many writes a whole scan makes: the last one ends the second file,
    // after the first was closed.
    int writes = 0;
    {
        flrtest::FaultyFileOps counting;
        jx::ScopedFileOps scoped(counting);
        FlrIfind scan;
        scan.smartsyncSDR(t.src.c_str(), 0, t.collect.c_str(), t.dirchange.c_str(), -1);
        writes = counting.count(flrtest::FaultyFileOps::Op::Write);
    }
    ASSERT_GE(writes, 2);
    struct Case {
        const char* name;
        int nthWrite;
    };
    for (const Case c :
         {Case{"first write", 1}, Case{"a middle write", writes / 2}, Case{"last write", writes}}) {
        SCOPED_TRACE(c.name);
        flrtest::writeFile(t.collect, "old collect\n");
        flrtest::FaultyFileOps faulty;
        faulty.failNth(flrtest::FaultyFileOps::Op::Write, c.nthWrite, ENOSPC);
        jx::ScopedFileOps scoped(faulty);
        FlrIfind scan;
        try {
            scan.smartsyncSDR(t.src.c_str(), 0, t.collect.c_str(), t.dirchange.c_str(), -1);
            FAIL() << "no exception";
        } catch (const JxException& e) {
            EXPECT_NE(std::string::npos, e.getMessage().find(": No space left on device"));
            EXPECT_EQ("FlrIfind::smartsyncSDR", e.getFunction());
            EXPECT_EQ("FlrIfind", e.getSource());
            EXPECT_EQ(-1, e.getCode());
        }
        EXPECT_EQ(1, faulty.faultsInjected());
        EXPECT_FALSE(exists(t.collect));
        EXPECT_FALSE(exists(t.dirchange));
    }

    // A source folder that is not there: same, with the exact message.
    flrtest::writeFile(t.dirchange, "old");
    FlrIfind scan;
    const std::string missing = t.dir.file("missing");
    try {
        scan.baseline(missing.c_str(), t.collect.c_str(), t.dirchange.c_str(), -1, false);
        FAIL() << "no exception";
    } catch (const JxException& e) {
        EXPECT_EQ("Failed to stat " + missing + ": No such file or directory", e.getMessage());
        EXPECT_EQ("FlrIfind::baseline", e.getFunction());
    }
    EXPECT_FALSE(exists(t.collect));
    EXPECT_FALSE(exists(t.dirchange));
    // A collect file that cannot be opened.
    try {
        scan.baseline(t.src.c_str(), t.dir.file("no/such/c").c_str(), nullptr, -1, false);
        FAIL() << "no exception";
    } catch (const JxException& e) {
        EXPECT_EQ("Failed to open collect file " + t.dir.file("no/such/c") +
                      " for writing: No such file or directory",
                  e.getMessage());
    }
}

TEST(FlrIfindBaseline, AFileSystemMountedBelowIsListedNotEntered) {
    Tree t;
    mkdirs(t.at("mnt"));
    if (::mount("flrtest", t.at("mnt").c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here: " << jxErrnoText(errno);
    flrtest::writeFile(t.at("mnt/inside"), "x");
    FlrIfind scan;
    try {
        scan.baseline(t.src.c_str(), t.collect.c_str(), t.dirchange.c_str(), -1, false);
    } catch (...) {
        ::umount(t.at("mnt").c_str());
        throw;
    }
    ::umount(t.at("mnt").c_str());
    const auto blocks = readDirChange(t.dirchange);
    ASSERT_EQ(1u, blocks.size());
    EXPECT_EQ(std::vector<std::string>{"mnt"}, entryNames(blocks[0]));
    EXPECT_FALSE(contains(collectPaths(t.collect), t.at("mnt/inside")));
}

TEST(FlrIfindSmartSyncDDR, ReportsSourcePathsAndRebuildsTheDatabase) {
    std::string why;
    if (!FlrDriver::hasCapability(&why)) GTEST_SKIP() << why;
    Tree t;
    const std::string snap = t.dir.file("snap");
    mkdirs(snap + "/d");
    flrtest::writeFile(snap + "/d/f", "x");
    mkdirs(t.at("d"));
    JxSeqCounter counter(t.dir.file("seq/journal.seq"), 16);
    FlrDatabase db(t.dir.file("db"));
    FlrIfind scan;
    scan.setSeqCounter(&counter);
    scan.smartsyncDDR(snap.c_str(), t.src.c_str(), 0, t.collect.c_str(), t.dirchange.c_str(), -1,
                      &db);
    EXPECT_EQ((std::vector<std::string>{t.src, t.at("d"), t.at("d/f")}),
              sorted(collectPaths(t.collect)));
    EXPECT_EQ(t.at("d"), readDirChange(t.dirchange)[0].path);
    // Paths in the database run from the source folder's mount point.
    FlrDriver driver(counter);
    const std::string mount = FlrHelper::getMountDir(t.src.c_str());
    const std::string rel = t.src.substr(mount == "/" ? 0 : mount.size());
    EXPECT_EQ(rel, db.fidToNodeName(driver.getFID(t.src, true)));
    EXPECT_EQ(rel + "/d/f", db.fidToNodeName(driver.getFID(snap + "/d/f", false)));
}

TEST(FlrIfindWriters, AttributeStrings) {
    struct Case {
        mode_t mode;
        long long size;
        time_t mtime;
        const char* want;
    };
    const Case cases[] = {
        {S_IFREG | 0644, 12, 1000, "|644|7|8|12|1000|"},
        {S_IFREG | 04755, 0, 0, "|4755|7|8|0|0|"},
        {S_IFDIR | 0700, 4096, 5, "|700|7|8|0|5|"},             // size only for files
        {S_IFLNK | 0777, 10, 6, "|000|7|8|0|6|"},               // links: no mode, no size
        {S_IFREG | 0600, 1, (1LL << 32) + 9, "|600|7|8|1|9|"},  // 32-bit mtime
    };
    for (const Case& c : cases) {
        struct stat st = {};
        st.st_mode = c.mode;
        st.st_uid = 7;
        st.st_gid = 8;
        st.st_size = c.size;
        st.st_mtime = c.mtime;
        char buf[FlrIfind::kAttrBufSize];
        FlrIfind::stat2str(st, buf, sizeof buf);
        EXPECT_STREQ(c.want, buf);
        char tiny[6];
        FlrIfind::stat2str(st, tiny, sizeof tiny);
        EXPECT_EQ('\0', tiny[5]);
    }
    EXPECT_EQ("a\\x0ab\\\\", FlrIfind::escape("a\nb\\"));
    EXPECT_EQ("a\nb\\", FlrIfind::unescape("a\\x0ab\\\\"));
}

}  // namespace
