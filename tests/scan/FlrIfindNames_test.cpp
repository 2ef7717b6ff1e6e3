// The DDR smart-sync that brings a name database up to date in the folders
// changed since its threshold only: after any mix of namespace changes, the
// database must equal one rebuilt whole, record for record.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "IfindTestUtil.h"
#include "db/FlrDatabase.h"
#include "platform/FlrDriver.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxFile.h"
#include "platform/JxSeqCounter.h"
#include "scan/FlrIfind.h"
#include "table/TCtreeTable.h"

using namespace ifindtest;

namespace {

using Names = std::set<std::tuple<std::string, std::string, int>>;  // path, fid, type

struct NamesTree {
    flrtest::ScopedRegistry reg;
    flrtest::TempDir dir;
    std::string src = dir.file("src"), outside = dir.file("outside");
    JxSeqCounter counter{dir.file("seq/journal.seq"), 16};
    NamesTree() {
        mkdirs(src);
        mkdirs(outside);
        JXPlatformInfo::setString("Platform", "dInstall", dir.file("install"));
    }
    std::string at(const std::string& rel) const { return src + "/" + rel; }

    // One DDR smart-sync of the source into db; returns the folders it listed.
    int64_t scan(FlrDatabase& db, struct timespec since, bool known, bool changedOnly = false) {
        FlrIfind s;
        s.setSeqCounter(&counter);
        s.timestampNanos = since.tv_nsec;
        s.namesKnownAtTimestamp = known;
        s.changedEntriesOnly = changedOnly;
        s.smartsyncDDR(src.c_str(), src.c_str(), since.tv_sec, dir.file("c").c_str(),
                       dir.file("d").c_str(), -1, &db);
        return s.foldersReconciled;
    }
    Names names(FlrDatabase& db) {
        FlrDriver driver(counter);
        Names out;
        for (const FlrDatabase::Node& n : db.getNodeList(driver.getFID(src, true)))
            out.emplace(n.path, n.fid.toString(), int(n.type));
        return out;
    }
};

// A moment after which every change the kernel stamps counts as later, even
// on its coarse clock.
struct timespec threshold() {
    struct timespec t {};
    ::clock_gettime(CLOCK_REALTIME, &t);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    return t;
}

void put(const std::string& path) {
    flrtest::writeFile(path, "x");
}

// Builds the tree, records it whole, changes it by ops, then checks that the
// reconciling scan leaves the same records as a rebuild, and that it listed
// only some folders.
void expectSameAsRebuild(NamesTree& t, const std::function<void()>& build,
                         const std::function<void()>& ops, int64_t foldersAtMost) {
    build();
    FlrDatabase kept(t.dir.file("kept"));
    t.scan(kept, {0, 0}, false);
    const struct timespec since = threshold();
    ops();
    const int64_t listed = t.scan(kept, since, true);
    FlrDatabase fresh(t.dir.file("fresh"));
    t.scan(fresh, {0, 0}, false);
    EXPECT_EQ(t.names(fresh), t.names(kept));
    EXPECT_EQ(fresh.getRecordCount(), kept.getRecordCount()) << "records left behind";
    EXPECT_GT(listed, 0);
    EXPECT_LE(listed, foldersAtMost) << "unchanged folders were listed";
}

#define REQUIRE_HANDLES()                                         \
    do {                                                          \
        std::string why;                                          \
        if (!FlrDriver::hasCapability(&why)) GTEST_SKIP() << why; \
    } while (0)

TEST(FlrIfindNames, EveryKindOfNameChangeEndsAsARebuildWould) {
    REQUIRE_HANDLES();
    NamesTree t;
    auto build = [&] {
        for (const char* d :
             {"a/b/c", "a/x/y", "d", "e", "p/in", "q", "r", "quiet/deep/er", "gone"})
            mkdirs(t.at(d));
        for (const char* f : {"a/b/c/f1", "a/b/c/f2", "a/x/y/g", "d/h1", "d/h2", "p/in/pf", "q/qf",
                              "r/z", "quiet/deep/er/s", "gone/t"})
            put(t.at(f));
        ASSERT_EQ(0, ::link(t.at("d/h1").c_str(), t.at("a/hl").c_str()));
        mkdirs(t.outside + "/in/sub");
        put(t.outside + "/in/sub/k");
    };
    auto ops = [&] {
        put(t.at("a/new"));     // created
        mkdirs(t.at("n/m/o"));  // a new subtree
        put(t.at("n/m/o/leaf"));
        ASSERT_EQ(0, ::unlink(t.at("d/h2").c_str()));     // removed
        ASSERT_EQ(0, ::unlink(t.at("a/x/y/g").c_str()));  // a subtree removed
        ASSERT_EQ(0, ::rmdir(t.at("a/x/y").c_str()));
        ASSERT_EQ(0, ::rmdir(t.at("a/x").c_str()));
        ASSERT_EQ(0, ::rename(t.at("a/b/c/f1").c_str(), t.at("d/f1moved").c_str()));
        ASSERT_EQ(0, ::rename(t.at("a/b/c").c_str(), t.at("a/c").c_str()));  // up a level
        ASSERT_EQ(0, ::rename(t.at("d").c_str(), t.at("e/d").c_str()));      // down a level
        ASSERT_EQ(0, ::renameat2(AT_FDCWD, t.at("p").c_str(), AT_FDCWD, t.at("q").c_str(),
                                 RENAME_EXCHANGE));
        ASSERT_EQ(0, ::link(t.at("e/d/h1").c_str(), t.at("n/h1link").c_str()));
        ASSERT_EQ(0, ::unlink(t.at("a/hl").c_str()));
        ASSERT_EQ(0, ::rename((t.outside + "/in").c_str(), t.at("in").c_str()));  // moved in
        ASSERT_EQ(0, ::rename(t.at("gone").c_str(), (t.outside + "/gone").c_str()));
        ASSERT_EQ(0, ::unlink(t.at("r/z").c_str()));  // a file becomes a folder
        mkdirs(t.at("r/z"));
    };
    // "quiet" and its two folders below are never listed.
    expectSameAsRebuild(t, build, ops, 16);
}

// Times vouch only for what the database held: a folder it lacks, found in a
// changed folder, is listed with everything below it, however old they are.
TEST(FlrIfindNames, AFolderTheDatabaseLostIsListedWithAllBelowIt) {
    REQUIRE_HANDLES();
    NamesTree t;
    mkdirs(t.at("old/deep/er"));
    put(t.at("old/deep/er/s"));
    FlrDatabase kept(t.dir.file("kept"));
    t.scan(kept, {0, 0}, false);
    FlrDriver driver(t.counter);
    ASSERT_TRUE(kept.delTree(driver.getFID(t.at("old"), true)));
    const struct timespec since = threshold();
    put(t.at("new"));
    EXPECT_EQ(4, t.scan(kept, since, true));  // the source, old, deep, er
    FlrDatabase fresh(t.dir.file("fresh"));
    t.scan(fresh, {0, 0}, false);
    EXPECT_EQ(t.names(fresh), t.names(kept));
}

// A rebuild writes its names in large transactions: one that outgrows the
// database's map is done again, and every name arrives.
TEST(FlrIfindNames, ARebuildLargerThanTheMapKeepsEveryName) {
    REQUIRE_HANDLES();
    NamesTree t;
    for (int d = 0; d < 3; ++d) {
        mkdirs(t.at("d" + std::to_string(d)));
        for (int f = 0; f < 2000; ++f)
            put(t.at("d" + std::to_string(d) + "/a-longer-name-" + std::to_string(f)));
    }
    TCtreeTable::setInitialMapSize(65536);
    try {
        FlrDatabase db(t.dir.file("db"));
        t.scan(db, {0, 0}, false);
        TCtreeTable::setInitialMapSize(0);
        EXPECT_EQ(6004u, t.names(db).size());  // the files, their folders and the source
    } catch (...) {
        TCtreeTable::setInitialMapSize(0);
        throw;
    }
}

// The journal names a folder moved in from outside (its MKDIR) but nothing
// in it: its files keep their old times, yet the destination lacks them.
TEST(FlrIfindNames, EntriesNewToTheDatabaseAreSentWhateverTheirTimes) {
    REQUIRE_HANDLES();
    NamesTree t;
    mkdirs(t.at("here"));
    mkdirs(t.outside + "/in/sub");
    put(t.outside + "/in/old");
    put(t.outside + "/in/sub/deeper");
    FlrDatabase db(t.dir.file("db"));
    t.scan(db, {0, 0}, false);
    const struct timespec since = threshold();
    ASSERT_EQ(0, ::rename((t.outside + "/in").c_str(), t.at("here/in").c_str()));
    FlrDriver driver(t.counter);
    db.addNode(driver.getFID(t.at("here"), true), "in", driver.getFID(t.at("here/in"), true),
               FLR_FTYPE_DIR, 0);
    t.scan(db, since, true, true);
    const std::vector<std::string> sent = collectPaths(t.dir.file("c"));
    EXPECT_TRUE(contains(sent, t.at("here/in/old")));
    EXPECT_TRUE(contains(sent, t.at("here/in/sub/deeper")));
}

TEST(FlrIfindNames, RandomChangesEndAsARebuildWould) {
    REQUIRE_HANDLES();
    for (unsigned seed : {1u, 2u, 3u, 4u}) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        NamesTree t;
        std::mt19937 rng(seed);
        std::vector<std::string> dirs{""}, files;
        auto pick = [&](std::vector<std::string>& v) { return v[rng() % v.size()]; };
        auto under = [](const std::string& d, const std::string& name) {
            return d.empty() ? name : d + "/" + name;
        };
        int made = 0;
        auto build = [&] {
            for (int i = 0; i < 60; ++i) {
                const std::string d = under(pick(dirs), "d" + std::to_string(made++));
                mkdirs(t.at(d));
                dirs.push_back(d);
                const std::string f = under(d, "f" + std::to_string(made++));
                put(t.at(f));
                files.push_back(f);
            }
        };
        // Renames and removals of names that still exist; a folder is never
        // moved below itself.
        auto ops = [&] {
            for (int i = 0; i < 25; ++i) {
                const std::string d = pick(dirs);
                const std::string f = pick(files);
                const std::string to = under(pick(dirs), "r" + std::to_string(made++));
                switch (rng() % 5) {
                    case 0:
                        put(t.at(under(d, "n" + std::to_string(made++))));
                        break;
                    case 1:
                        ::unlink(t.at(f).c_str());
                        break;
                    case 2:
                        ::rename(t.at(f).c_str(), t.at(to).c_str());
                        break;
                    case 3:
                        if (!d.empty() && to.rfind(d + "/", 0) != 0)
                            ::rename(t.at(d).c_str(), t.at(to).c_str());
                        break;
                    default:
                        ::link(t.at(f).c_str(), t.at(to).c_str());
                        break;
                }
                // Names that moved are looked up again on disk.
                dirs.clear();
                files.clear();
                dirs.push_back("");
                std::function<void(const std::string&)> list = [&](const std::string& rel) {
                    std::vector<std::string> names;
                    jx::fileOps().listDir(t.at(rel).c_str(), &names);
                    for (const std::string& n : names) {
                        const std::string p = under(rel, n);
                        struct stat st;
                        if (::lstat(t.at(p).c_str(), &st) != 0) continue;
                        if (S_ISDIR(st.st_mode)) {
                            dirs.push_back(p);
                            list(p);
                        } else {
                            files.push_back(p);
                        }
                    }
                };
                list("");
                if (files.empty()) {
                    const std::string refill = under(pick(dirs), "refill" + std::to_string(made++));
                    put(t.at(refill));
                    files.push_back(refill);
                }
            }
        };
        expectSameAsRebuild(t, build, ops, 1000);
        if (HasFailure()) return;
    }
}

}  // namespace
