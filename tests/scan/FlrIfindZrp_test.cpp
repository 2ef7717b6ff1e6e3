// The ZRP scan over a live tree: typed collect lines, the name database
// reconciled after moves, renames and deletes, directories listed again when
// they change while being listed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <ctime>
#include <string>
#include <vector>

#include "FLR/JxException.h"
#include "IfindTestUtil.h"
#include "db/FlrDatabase.h"
#include "env/FlrHelper.h"
#include "mgmt/MgmtConfig.h"
#include "platform/EvDebug.h"
#include "platform/FlrDriver.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxSeqCounter.h"
#include "scan/FlrIfind.h"

using namespace ifindtest;

namespace {

#define REQUIRE_HANDLES()                                         \
    do {                                                          \
        std::string why;                                          \
        if (!FlrDriver::hasCapability(&why)) GTEST_SKIP() << why; \
    } while (0)

struct ZrpPair {
    flrtest::ScopedRegistry reg;
    flrtest::TempDir dir;
    std::string src = dir.file("src");
    std::string collect = dir.file("Collect.txt");
    std::string dirchange = dir.file("DirChange.txt");
    JxSeqCounter counter{dir.file("seq/journal.seq"), 16};
    FlrDriver driver{counter};
    long set = 0;
    int pair = 0;
    ZrpPair() {
        mkdirs(src);
        JXPlatformInfo::setString("Platform", "dInstall", dir.file("install"));
        JXPlatformInfo::setString("ZRP", "dDBDir", dir.file("db"));
        const int head = MgmtConfig::addClient("head", "");
        set = MgmtConfig::addSet("web", head, head);
        pair = int(MgmtConfig::addPair(set, src, "/dst"));
    }
    std::string at(const std::string& rel) const { return src + "/" + rel; }
    fsf_fid fid(const std::string& rel, bool follow = false) {
        return driver.getFID(rel.empty() ? src : at(rel), follow);
    }
    // Lists the directory start (relative; "" the source folder) and what
    // is new below it, then writes the output of the whole pair.
    void scan(long timestamp = 0, int format = FlrIfind::kFormatAttributes,
              const std::string& start = "") {
        FlrIfind s;
        s.setSeqCounter(&counter);
        s.dirchangeFormat = format;
        s.zrpscan(fid(start, true), timestamp, collect.c_str(), dirchange.c_str(), pair);
    }
    std::string line(char type, const std::string& rel) {
        return std::string(1, type) + " " + fid(rel).toString() + " " +
               (rel.empty() ? src : at(rel));
    }
    std::vector<std::string> collectLines() { return lines(flrtest::readFile(collect)); }
    std::string dbPath(const std::string& rel) {
        FlrDatabase db(FlrHelper::getDatabaseDir(pair));
        return db.fidToNodeName(fid(rel));
    }
};

TEST(FlrIfindZrp, WritesTypedLinesChildrenBeforeTheirDirectory) {
    REQUIRE_HANDLES();
    ZrpPair p;
    mkdirs(p.at("d/e"));
    flrtest::writeFile(p.at("a"), "alpha");
    flrtest::writeFile(p.at("d/e/c"), "cc");
    ASSERT_EQ(0, ::symlink("a", p.at("link").c_str()));
    ASSERT_EQ(0, ::mkfifo(p.at("fifo").c_str(), 0600));  // never opened, so never blocks
    char cwd[PATH_MAX];
    ASSERT_NE(nullptr, ::getcwd(cwd, sizeof cwd));
    EvDebugCapture log;
    p.scan();
    char after[PATH_MAX];
    ASSERT_NE(nullptr, ::getcwd(after, sizeof after));
    EXPECT_STREQ(cwd, after);  // the working directory is never changed

    const std::vector<std::string> got = p.collectLines();
    const std::vector<std::string> want = {
        p.line('D', ""),      p.line('F', "a"),    p.line('D', "d"),   p.line('D', "d/e"),
        p.line('F', "d/e/c"), p.line('F', "fifo"), p.line('F', "link")};
    EXPECT_EQ(sorted(want), sorted(got));
    EXPECT_EQ(p.line('D', ""), got.back());
    const auto dirE = std::find(got.begin(), got.end(), p.line('D', "d/e"));
    EXPECT_LT(std::find(got.begin(), got.end(), p.line('F', "d/e/c")), dirE);

    const auto blocks = readDirChange(p.dirchange);
    ASSERT_EQ(3u, blocks.size());
    EXPECT_EQ(p.at("d/e"), blocks[0].path);
    EXPECT_EQ(p.src, blocks[2].path);
    EXPECT_EQ((std::vector<std::string>{"a", "d", "fifo", "link"}), entryNames(blocks[2]));
    EXPECT_EQ("/d/e/c", p.dbPath("d/e/c"));

    // The link counts the length of its target.
    const std::vector<std::string> logged = {
        "pair_id=" + std::to_string(p.pair) + ", src_dir=" + p.src,
        "Beginning ZRP scan...",
        "Start FID       = " + p.fid("").toString(),
        "Pair Source Dir = " + p.src,
        "Rep Pair ID     = " + std::to_string(p.pair),
        "DirChange Fmt   = With Attributes",
        "Live FS scan complete.",
        "Generating collect and dirchange files.",
        "Going to transfer 8 bytes, 7 files"};
    for (const std::string& l : logged) EXPECT_TRUE(log.contains(l)) << l;
}

TEST(FlrIfindZrp, ASecondScanReconcilesMovesRenamesAndDeletes) {
    REQUIRE_HANDLES();
    ZrpPair p;
    mkdirs(p.at("d/sub"));
    mkdirs(p.at("e"));
    flrtest::writeFile(p.at("d/b"), "b");
    flrtest::writeFile(p.at("d/sub/s"), "s");
    flrtest::writeFile(p.at("gone"), "g");
    p.scan();
    const fsf_fid b = p.fid("d/b");
    const fsf_fid sub = p.fid("d/sub");

    ASSERT_EQ(0, ::rename(p.at("d/b").c_str(), p.at("e/b2").c_str()));
    ASSERT_EQ(0, ::rename(p.at("d/sub").c_str(), p.at("e/moved").c_str()));
    ASSERT_EQ(0, ::unlink(p.at("gone").c_str()));
    mkdirs(p.at("new/x"));
    // As the journal would ask: list the directories that changed. Those
    // already known are not listed again unless named; what is new is.
    p.scan(0, 0, "d");
    EXPECT_TRUE(contains(p.collectLines(), p.line('D', "d")));
    p.scan(0, 0, "e");
    std::vector<std::string> got = p.collectLines();
    EXPECT_TRUE(contains(got, p.line('F', "e/b2")));
    EXPECT_TRUE(contains(got, p.line('D', "e/moved")));
    EXPECT_TRUE(contains(got, p.line('F', "e/moved/s")));
    // Directories not listed in this scan write nothing to the collect file.
    EXPECT_FALSE(contains(got, p.line('D', "")));
    p.scan(0, 0, "");
    got = p.collectLines();
    EXPECT_TRUE(contains(got, p.line('D', "new/x")));
    for (const std::string& l : got) {
        EXPECT_EQ(std::string::npos, l.find(p.at("gone"))) << l;
        EXPECT_EQ(std::string::npos, l.find(p.at("d/b"))) << l;
    }
    FlrDatabase db(FlrHelper::getDatabaseDir(p.pair));
    EXPECT_EQ("/e/b2", db.fidToNodeName(b));
    EXPECT_EQ("/e/moved", db.fidToNodeName(sub));
    FlrDatabase::Child c;
    EXPECT_FALSE(db.find("/gone", &c));
    EXPECT_FALSE(db.find("/d/sub", &c));
    EXPECT_FALSE(db.find("/d/b", &c));
    EXPECT_TRUE(db.find("/new/x", &c));
    // The dirchange file always covers the whole pair.
    const auto blocks = readDirChange(p.dirchange);
    ASSERT_NE(nullptr, blockOf(blocks, p.at("e")));
    EXPECT_EQ((std::vector<std::string>{"b2", "moved"}), entryNames(*blockOf(blocks, p.at("e"))));
    EXPECT_EQ(std::vector<std::string>{}, entryNames(*blockOf(blocks, p.at("d"))));
}

TEST(FlrIfindZrp, NothingToCopyStillNamesTheStartDirectory) {
    REQUIRE_HANDLES();
    ZrpPair p;
    flrtest::writeFile(p.at("a"), "a");
    const long future = long(std::time(nullptr)) + 100000;
    p.scan(future, 0);
    EXPECT_EQ(std::vector<std::string>{p.line('D', "")}, p.collectLines());
    EXPECT_EQ(p.src + "\n\ta\n", flrtest::readFile(p.dirchange));
}

TEST(FlrIfindZrp, FilteredEntriesLeaveOutputAndDatabase) {
    REQUIRE_HANDLES();
    ZrpPair p;
    mkdirs(p.at("cache/deep"));
    flrtest::writeFile(p.at("cache/deep/f"), "f");
    flrtest::writeFile(p.at("keep"), "k");
    p.scan();
    EXPECT_EQ("/cache/deep/f", p.dbPath("cache/deep/f"));
    MgmtConfig::addFilter(p.set, JX_FILTER_EXCLUSIONS, "cache");
    EvDebugCapture log;
    p.scan();
    EXPECT_TRUE(log.contains("Filtering out " + p.at("cache")));
    for (const std::string& l : p.collectLines())
        EXPECT_EQ(std::string::npos, l.find("cache")) << l;
    EXPECT_EQ("", p.dbPath("cache/deep/f"));
}

// Adds a file to one directory right after its first listing was read, so
// only a second listing can see it.
class LateArrival : public jx::PosixFileOps {
  public:
    explicit LateArrival(std::string dir) : dir_(std::move(dir)) {}
    ssize_t readDirEntries(int fd, void* buf, size_t len) override {
        const ssize_t n = jx::PosixFileOps::readDirEntries(fd, buf, len);
        struct stat st, target;
        if (n > 0 && ::fstat(fd, &st) == 0 && ::stat(dir_.c_str(), &target) == 0 &&
            st.st_ino == target.st_ino && listings_++ == 0)
            flrtest::writeFile(dir_ + "/late", "late");
        return n;
    }
    int listings() const { return listings_; }

  private:
    std::string dir_;
    int listings_ = 0;
};

TEST(FlrIfindZrp, ADirectoryChangedWhileListedIsListedAgain) {
    REQUIRE_HANDLES();
    ZrpPair p;
    mkdirs(p.at("busy"));
    flrtest::writeFile(p.at("busy/early"), "e");
    LateArrival ops(p.at("busy"));
    {
        jx::ScopedFileOps scoped(ops);
        p.scan();
    }
    EXPECT_GE(ops.listings(), 2);
    EXPECT_TRUE(contains(p.collectLines(), p.line('F', "busy/late")));
    EXPECT_EQ("/busy/late", p.dbPath("busy/late"));
}

TEST(FlrIfindZrp, APairWithoutASourceFolderFailsClearly) {
    ZrpPair p;
    FlrIfind s;
    s.setSeqCounter(&p.counter);
    try {
        s.zrpscan(fsf_fid::fid0, 0, p.collect.c_str(), p.dirchange.c_str(), 99);
        FAIL() << "no exception";
    } catch (const JxException& e) {
        EXPECT_EQ("Failed to get source directory name for pair 99", e.getMessage());
        EXPECT_EQ("FlrIfind::zrpscan", e.getFunction());
    }
    EXPECT_FALSE(exists(p.collect));
}

}  // namespace
