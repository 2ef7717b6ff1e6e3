// The file-id name database: tree operations, the path cache, reconciliation
// with directory listings, crashes and concurrent processes.
#include "db/FlrDatabase.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "FLR/JxException.h"
#include "platform/EvDebug.h"
#include "support/LmdbInspect.h"
#include "support/TestSupport.h"

namespace {

// Distinct ids whose three words all differ, so every index segment matters.
fsf_fid F(uint64_t n) {
    uint64_t w[3] = {n * 0x9E3779B97F4A7C15ULL + 1, ~n, n ^ 0x5555};
    fsf_fid f;
    std::memcpy(f.bytes, w, sizeof w);
    return f;
}

// Ids that share their first 16 bytes, so they fall into one cache bucket.
fsf_fid sameBucket(uint64_t n) {
    uint64_t w[3] = {42, 43, n};
    fsf_fid f;
    std::memcpy(f.bytes, w, sizeof w);
    return f;
}

FlrDatabase::Child entry(const std::string& name, const fsf_fid& fid,
                         FLR_FTYPE type = FLR_FTYPE_FILE) {
    return FlrDatabase::Child{fid, name, type, 0};
}

template <class E>
std::string messageOf(E&& call) {
    try {
        call();
    } catch (const JxException& e) {
        return e.getMessage();
    }
    return "(no exception)";
}

std::vector<std::string> names(const std::list<FlrDatabase::Child>& children) {
    std::vector<std::string> out;
    for (const auto& c : children) out.push_back(c.name);
    return out;
}

class FlrDatabaseTest : public ::testing::Test {
  protected:
    void SetUp() override {
        db = new FlrDatabase(dir.path());
        ref = db;
        db->addRootNode(root);
    }
    std::string path(const fsf_fid& fid) { return db->fidToNodeName(fid); }

    flrtest::TempDir dir;
    FlrDatabase* db = nullptr;
    SP<FlrDatabase> ref;  // shared as the services hold it
    const fsf_fid root = F(1);
};

}  // namespace

TEST(FlrDatabaseFiles, CreatesOpensAndClearsAnLmdbEnvironment) {
    flrtest::TempDir dir;
    const std::string sub = dir.path() + "/pair/7";
    EvDebugCapture log;
    {
        FlrDatabase db(sub);
        db.addRootNode(F(1));
    }
    EXPECT_TRUE(log.contains("Creating new ZRP database " + sub + "/zrpdb"));
    {
        FlrDatabase db(sub);
        EXPECT_EQ("/", db.fidToNodeName(F(1)));
        EXPECT_EQ(1u, db.getRecordCount());
    }
    EXPECT_TRUE(log.contains("Opening existing ZRP database " + sub + "/zrpdb"));

    // Any LMDB tool reads the file: one database per index, plus records.
    EXPECT_EQ((std::set<std::string>{"fid", "meta", "parent_fid_and_sname", "records"}),
              flrtest::lmdbDatabases(sub + "/zrpdb.dat"));

    FlrDatabase::clear(sub);
    struct stat st;
    EXPECT_NE(0, ::stat((sub + "/zrpdb.dat").c_str(), &st));
    EXPECT_NE(0, ::stat((sub + "/zrpdb.dat-lock").c_str(), &st));
    FlrDatabase fresh(sub);
    EXPECT_EQ("", fresh.fidToNodeName(F(1)));

    flrtest::writeFile(dir.path() + "/file", "x");
    EXPECT_EQ("Failed to create directory " + dir.path() + "/file/db: Not a directory",
              messageOf([&] { FlrDatabase bad(dir.path() + "/file/db"); }));
    EXPECT_NE(std::string::npos, messageOf([&] {
                                     FlrDatabase ro(dir.path() + "/none",
                                                    JXIndexing::TAccessReadOnly);
                                 }).find("Failed to open an existing ZRP DB: "));
}

TEST_F(FlrDatabaseTest, ResolvesPathsWithTheirOutputs) {
    db->addNode(root, "etc", F(2), FLR_FTYPE_DIR, 5);
    db->addNode(F(2), "passwd", F(3), FLR_FTYPE_FILE, 77);
    uint64_t seq = 1;
    FLR_FTYPE type = FLR_FTYPE_DIR;
    EXPECT_EQ("/", db->fidToNodeName(root, &seq, &type));
    EXPECT_EQ(0u, seq);
    EXPECT_EQ(FLR_FTYPE_DIR, type);
    EXPECT_EQ("/etc/passwd", db->fidToNodeName(F(3), &seq, &type));
    EXPECT_EQ(77u, seq);
    EXPECT_EQ(FLR_FTYPE_FILE, type);
    // Answered from the cache, with the same outputs.
    seq = 0;
    type = FLR_FTYPE_DIR;
    EXPECT_EQ("/etc/passwd", db->fidToNodeName(F(3), &seq, &type));
    EXPECT_EQ(77u, seq);
    EXPECT_EQ(FLR_FTYPE_FILE, type);
    // Unknown: empty, outputs untouched.
    seq = 123;
    EXPECT_EQ("", db->fidToNodeName(F(99), &seq, &type));
    EXPECT_EQ(123u, seq);
    EXPECT_EQ(FLR_FTYPE_FILE, type);

    // Adding under a file makes it a directory.
    db->addNode(F(3), "inner", F(4), FLR_FTYPE_FILE, 0);
    FlrDatabase::Child c;
    ASSERT_TRUE(db->find("/etc/passwd", &c));
    EXPECT_EQ(FLR_FTYPE_DIR, c.type);
    EXPECT_EQ(3u, db->getRecordCount() - 1);
}

TEST_F(FlrDatabaseTest, HundredThousandEntriesResolveBack) {
    std::vector<std::pair<fsf_fid, std::string>> expected;
    uint64_t next = 2;
    const size_t total = 100000;
    auto add = [&](const fsf_fid& parent, const std::string& parentPath, const std::string& name,
                   FLR_FTYPE type) {
        fsf_fid fid = F(next++);
        db->addNode(parent, name, fid, type, next);
        expected.emplace_back(fid, (parentPath == "/" ? "" : parentPath) + "/" + name);
        return fid;
    };
    // The first directory unbatched, the rest the way a scan adds in bulk.
    for (int d = 0; expected.size() + 1 < total; ++d) {
        std::unique_ptr<TCtreeTable::BatchScope> batch;
        if (d > 0) batch.reset(new TCtreeTable::BatchScope(db->transaction()));
        std::string dname = "dir" + std::to_string(d);
        fsf_fid dfid = add(root, "/", dname, FLR_FTYPE_DIR);
        for (int s = 0; s < 10 && expected.size() + 1 < total; ++s) {
            std::string sname = "sub" + std::to_string(s);
            fsf_fid sfid = add(dfid, "/" + dname, sname, FLR_FTYPE_DIR);
            for (int f = 0; f < 99 && expected.size() + 1 < total; ++f)
                add(sfid, "/" + dname + "/" + sname, "file-" + std::to_string(f) + ".dat",
                    FLR_FTYPE_FILE);
        }
        if (batch) {
            ASSERT_EQ(0, batch->commit());
        }
    }
    ASSERT_EQ(total, db->getRecordCount());

    for (const auto& [fid, p] : expected) ASSERT_EQ(p, db->fidToNodeName(fid));
    EXPECT_EQ(FlrDatabase::kCacheLimit, db->cacheSize());
    for (size_t i = 0; i < expected.size(); i += 7) {
        db->clearCache();
        uint64_t seq = 0;
        ASSERT_EQ(expected[i].second, db->fidToNodeName(expected[i].first, &seq));
        ASSERT_EQ(i + 3, seq);
    }
    FlrDatabase::Child c;
    ASSERT_TRUE(db->find("/dir7/sub3/file-42.dat", &c));
    EXPECT_EQ("file-42.dat", c.name);
    EXPECT_FALSE(db->find("/dir7/sub3/file-99.dat", &c));
}

TEST_F(FlrDatabaseTest, NamesSharingTheirFirst56BytesAreToldApart) {
    const std::string prefix(60, 'n');
    db->addNode(root, prefix + "2", F(2), FLR_FTYPE_FILE, 0);
    db->addNode(root, prefix, F(3), FLR_FTYPE_FILE, 0);
    db->addNode(root, prefix + "1", F(4), FLR_FTYPE_DIR, 0);
    db->addNode(F(4), "x", F(5), FLR_FTYPE_FILE, 0);
    FlrDatabase::Child c;
    ASSERT_TRUE(db->find(root, (prefix + "1").c_str(), &c));
    EXPECT_EQ(F(4), c.fid);
    ASSERT_TRUE(db->find(("/" + prefix + "2").c_str(), &c));
    EXPECT_EQ(F(2), c.fid);
    ASSERT_TRUE(db->find(("//" + prefix + "1//x/").c_str(), &c));
    EXPECT_EQ(F(5), c.fid);
    EXPECT_FALSE(db->find(root, (prefix + "3").c_str(), &c));
    EXPECT_FALSE(db->find(root, std::string(55, 'n').c_str(), &c));
    // Equal first 56 bytes: insertion order.
    EXPECT_EQ((std::vector<std::string>{prefix + "2", prefix, prefix + "1"}),
              names(db->getChildList(root)));
    db->delNode(root, prefix);
    EXPECT_EQ((std::vector<std::string>{prefix + "2", prefix + "1"}),
              names(db->getChildList(root)));
}

TEST_F(FlrDatabaseTest, NameLengthIsLimitedWithoutCorruptingRecords) {
    const std::string ok(1023, 'a'), tooLong(1024, 'b');
    db->addNode(root, ok, F(2), FLR_FTYPE_FILE, 0);
    EXPECT_EQ("/" + ok, path(F(2)));
    EXPECT_EQ("Can't add node to the DB with short file name longer than 1023",
              messageOf([&] { db->addNode(root, tooLong, F(3), FLR_FTYPE_FILE, 0); }));
    EXPECT_EQ("Can't rename node in the DB to short file name longer than 1023",
              messageOf([&] { db->renameNode(root, ok, root, tooLong); }));
    db->clearCache();
    EXPECT_EQ("/" + ok, path(F(2)));
    EXPECT_EQ(2u, db->getRecordCount());
    std::list<fsf_fid> queue;
    EXPECT_EQ("File or subdirectory name " + tooLong + " is too long.",
              messageOf([&] { db->updateDir(root, 9, queue, {entry(tooLong, F(4))}); }));
    EXPECT_EQ(2u, db->getRecordCount());
}

TEST_F(FlrDatabaseTest, LookupErrorsCarryTheirMessages) {
    FlrDatabase::Child c;
    EXPECT_EQ("NULL path or child pointer passed as input.",
              messageOf([&] { db->find(static_cast<const char*>(nullptr), &c); }));
    EXPECT_EQ("NULL sname or child pointer passed as input.",
              messageOf([&] { db->find(root, "x", nullptr); }));
    EXPECT_EQ("Absolute file path expected. Got \"etc/x\" instead.",
              messageOf([&] { db->find("etc/x", &c); }));
    ASSERT_TRUE(db->find("/", &c));
    EXPECT_EQ("/", c.name);
    EXPECT_EQ(root, c.fid);
    EXPECT_EQ("The node to be deleted is not in the DB.",
              messageOf([&] { db->delNode(root, "nothing"); }));
    EXPECT_EQ("The node to be renamed is not in the DB.",
              messageOf([&] { db->renameNode(root, "a", root, "b"); }));

    flrtest::TempDir other;
    FlrDatabase empty(other.path());
    EXPECT_EQ("Could not find root node in the DB.", messageOf([&] { empty.find("/a", &c); }));
    try {
        empty.delNode(root, "x");
    } catch (const JxException& e) {
        EXPECT_EQ("FlrDatabase::delNode", e.getFunction());
        EXPECT_EQ("FlrDatabase", e.getSource());
        EXPECT_EQ(-1, e.getCode());
    }
}

TEST_F(FlrDatabaseTest, DeletedDirectoryLeavesDisconnectedRecordsUntilRemoved) {
    db->addNode(root, "d", F(2), FLR_FTYPE_DIR, 0);
    db->addNode(F(2), "e", F(3), FLR_FTYPE_DIR, 0);
    db->addNode(F(3), "f", F(4), FLR_FTYPE_FILE, 0);
    db->addNode(root, "keep", F(5), FLR_FTYPE_FILE, 0);
    EXPECT_EQ("/d/e/f", path(F(4)));
    db->delNode(root, "d");
    EXPECT_EQ(4u, db->getRecordCount());
    // The cached path went with the directory: the chain is broken now.
    EXPECT_EQ("DB is corrupt: couldn't find record for FID " + F(2).toString(),
              messageOf([&] { path(F(4)); }));
    db->removeDisconnected(F(5));
    EXPECT_EQ(2u, db->getRecordCount());
    EXPECT_EQ("", path(F(4)));
    EXPECT_EQ("/keep", path(F(5)));
    EXPECT_EQ("Node is not in the DB.", messageOf([&] { db->removeDisconnected(F(4)); }));
    // The marks left behind do not keep anything alive on the next sweep.
    db->delNode(root, "keep");
    db->removeDisconnected(root);
    EXPECT_EQ(1u, db->getRecordCount());
}

TEST_F(FlrDatabaseTest, HardLinksResolveThroughTheFirstEntry) {
    db->addNode(root, "a", F(2), FLR_FTYPE_DIR, 0);
    db->addNode(root, "b", F(3), FLR_FTYPE_DIR, 0);
    db->addNode(F(3), "second", F(9), FLR_FTYPE_FILE, 0);
    db->addNode(F(2), "first", F(9), FLR_FTYPE_FILE, 0);
    EXPECT_EQ("/b/second", path(F(9)));
    db->delNode(F(3), "second");
    EXPECT_EQ("/a/first", path(F(9)));
    db->addNode(F(3), "third", F(9), FLR_FTYPE_FILE, 0);
    EXPECT_TRUE(db->delTree(F(9)));  // every link
    EXPECT_EQ(3u, db->getRecordCount());
    EXPECT_FALSE(db->delTree(F(9)));
}

TEST_F(FlrDatabaseTest, RenameMovesTheEntryAndReplacesOnlyTheTarget) {
    db->addNode(root, "d", F(2), FLR_FTYPE_DIR, 0);
    db->addNode(F(2), "a", F(3), FLR_FTYPE_DIR, 4);
    db->addNode(F(3), "child", F(4), FLR_FTYPE_FILE, 0);
    db->addNode(F(2), "b", F(5), FLR_FTYPE_DIR, 0);
    db->addNode(F(5), "orphan", F(6), FLR_FTYPE_FILE, 0);
    EXPECT_EQ("/d/a/child", path(F(4)));
    db->renameNode(F(2), "a", F(2), "b");
    EXPECT_EQ("/d/b/child", path(F(4)));  // the cache was dropped
    uint64_t seq = 0;
    EXPECT_EQ("/d/b", db->fidToNodeName(F(3), &seq));
    EXPECT_EQ(4u, seq);
    EXPECT_EQ("", path(F(5)));
    EXPECT_EQ(5u, db->getRecordCount());  // b's record gone, its child left behind

    db->renameNode(F(2), "b", root, "top");
    EXPECT_EQ("/top/child", path(F(4)));
    // Onto itself or onto another link of the same file: nothing changes.
    db->renameNode(root, "top", root, "top");
    EXPECT_EQ("/top", path(F(3)));
    db->addNode(F(2), "link1", F(7), FLR_FTYPE_FILE, 0);
    db->addNode(F(2), "link2", F(7), FLR_FTYPE_FILE, 0);
    db->renameNode(F(2), "link1", F(2), "link2");
    EXPECT_EQ((std::vector<std::string>{"link1", "link2"}), names(db->getChildList(F(2))));
    // A failed rename deletes nothing, not even the target.
    EXPECT_ANY_THROW(db->renameNode(F(2), "missing", F(2), "link2"));
    EXPECT_EQ((std::vector<std::string>{"link1", "link2"}), names(db->getChildList(F(2))));
}

TEST_F(FlrDatabaseTest, DelTreeRemovesWholeSubtrees) {
    db->addNode(root, "d", F(2), FLR_FTYPE_DIR, 0);
    db->addNode(F(2), "e", F(3), FLR_FTYPE_DIR, 0);
    db->addNode(F(3), "f", F(4), FLR_FTYPE_FILE, 0);
    db->addNode(F(2), "g", F(5), FLR_FTYPE_FILE, 0);
    db->addNode(root, "h", F(6), FLR_FTYPE_DIR, 0);
    db->addNode(F(6), "i", F(7), FLR_FTYPE_FILE, 0);
    EXPECT_FALSE(db->delTree(root, "nothing"));
    EXPECT_TRUE(db->delTree(root, "d"));
    EXPECT_EQ(3u, db->getRecordCount());
    EXPECT_TRUE(db->delTree(F(6)));
    EXPECT_EQ(1u, db->getRecordCount());
    EXPECT_TRUE(db->getChildList(root).empty());
}

TEST_F(FlrDatabaseTest, NodeListPutsSubtreesBeforeTheirDirectory) {
    db->addNode(root, "a", F(2), FLR_FTYPE_DIR, 0);
    db->addNode(F(2), "a1", F(3), FLR_FTYPE_FILE, 0);
    db->addNode(F(2), "a2", F(4), FLR_FTYPE_DIR, 0);
    db->addNode(F(4), "x", F(5), FLR_FTYPE_FILE, 0);
    db->addNode(root, "b", F(6), FLR_FTYPE_FILE, 0);
    std::vector<std::string> paths;
    std::vector<int> types;
    for (const auto& n : db->getNodeList(root)) {
        paths.push_back(n.path);
        types.push_back(n.type);
    }
    EXPECT_EQ((std::vector<std::string>{"/", "/a/a1", "/a/a2/x", "/a/a2", "/a", "/b"}), paths);
    EXPECT_EQ((std::vector<int>{1, 0, 0, 1, 1, 0}), types);
    auto sub = db->getNodeList(F(4));
    ASSERT_EQ(2u, sub.size());
    EXPECT_EQ("/a/a2", sub.front().path);
    EXPECT_EQ("/a/a2/x", sub.back().path);

    // A damaged tree whose directory holds its own ancestor ends, not loops.
    db->addNode(F(5), "loop", F(2), FLR_FTYPE_DIR, 0);
    EXPECT_EQ(7u, db->getNodeList(root).size());
}

TEST_F(FlrDatabaseTest, CacheEvictsTheLeastRecentlyUsed) {
    db->addNode(root, "d", F(2), FLR_FTYPE_DIR, 0);
    db->addNode(F(2), "x", F(3), FLR_FTYPE_FILE, 0);
    for (uint64_t i = 0; i < 300; ++i)
        db->addNode(root, "f" + std::to_string(i), sameBucket(i), FLR_FTYPE_FILE, i);

    // Another instance renames d; this one keeps answering from its cache
    // for as long as the entry stays in it.
    FlrDatabase other(dir.path());
    EXPECT_EQ("/d/x", path(F(3)));
    other.renameNode(root, "d", root, "e");
    for (uint64_t i = 0; i < 255; ++i) path(sameBucket(i));
    EXPECT_EQ("/d/x", path(F(3)));  // the least recent, touched: the most recent again
    for (uint64_t i = 255; i < 300; ++i) path(sameBucket(i));
    EXPECT_EQ(FlrDatabase::kCacheLimit, db->cacheSize());
    EXPECT_EQ("/d/x", path(F(3)));  // 45 older entries went instead
    for (uint64_t i = 0; i < 300; ++i) path(sameBucket(i));
    EXPECT_EQ(FlrDatabase::kCacheLimit, db->cacheSize());
    EXPECT_EQ("/e/x", path(F(3)));  // evicted, looked up afresh

    // One bucket holding everything: each id still finds its own entry.
    for (uint64_t i = 0; i < 300; i += 3) {
        uint64_t seq = 0;
        ASSERT_EQ("/f" + std::to_string(i), db->fidToNodeName(sameBucket(i), &seq));
        ASSERT_EQ(i, seq);
    }
    db->delNode(root, "f297");
    EXPECT_EQ("", path(sameBucket(297)));
    EXPECT_EQ("/f294", path(sameBucket(294)));
    db->clearCache();
    EXPECT_EQ(0, db->cacheSize());
}

// --- updateDir -------------------------------------------------------------

class UpdateDirTest : public FlrDatabaseTest {
  protected:
    void SetUp() override {
        FlrDatabaseTest::SetUp();
        db->addNode(root, "a", A, FLR_FTYPE_DIR, 1);
        db->addNode(root, "b", B, FLR_FTYPE_DIR, 1);
    }
    void update(const fsf_fid& d, std::list<FlrDatabase::Child> listing, uint64_t seq = 10) {
        db->updateDir(d, seq, queue, listing);
    }
    const fsf_fid A = F(2), B = F(3);
    std::list<fsf_fid> queue;
};

TEST_F(UpdateDirTest, NewEntriesAreRecordedAndNewDirectoriesQueued) {
    update(A, {entry("f", F(10)), entry("sub", F(11), FLR_FTYPE_DIR)}, 20);
    EXPECT_EQ((std::list<fsf_fid>{F(11)}), queue);
    uint64_t seq = 0;
    FLR_FTYPE type;
    EXPECT_EQ("/a/f", db->fidToNodeName(F(10), &seq, &type));
    EXPECT_EQ(20u, seq);
    EXPECT_EQ("/a/sub", db->fidToNodeName(F(11), &seq, &type));
    EXPECT_EQ(0xFFFFFFFFFFFFFFFFULL, seq);
    EXPECT_EQ(FLR_FTYPE_DIR, type);
    db->fidToNodeName(A, &seq);
    EXPECT_EQ(20u, seq);
    // The same listing again: nothing new to visit, every entry confirmed.
    queue.clear();
    update(A, {entry("f", F(10)), entry("sub", F(11), FLR_FTYPE_DIR)}, 30);
    EXPECT_TRUE(queue.empty());
    db->fidToNodeName(F(10), &seq);
    EXPECT_EQ(30u, seq);
    EXPECT_EQ(5u, db->getRecordCount());
}

TEST_F(UpdateDirTest, FileRenamedWithinAndAcrossDirectories) {
    update(A, {entry("f", F(10)), entry("g", F(11))});
    update(A, {entry("h", F(10)), entry("g", F(11))});
    EXPECT_EQ("/a/h", path(F(10)));
    EXPECT_EQ((std::vector<std::string>{"g", "h"}), names(db->getChildList(A)));
    // Moved to b: b is listed first, so for a moment the file has two names.
    update(B, {entry("h", F(10))}, 11);
    update(A, {entry("g", F(11))}, 11);
    EXPECT_EQ("/b/h", path(F(10)));
    EXPECT_EQ((std::vector<std::string>{"g"}), names(db->getChildList(A)));
    EXPECT_EQ(5u, db->getRecordCount());
    EXPECT_TRUE(queue.empty());
}

TEST_F(UpdateDirTest, DirectoryMovedUnderASibling) {
    update(A, {entry("x", F(10), FLR_FTYPE_DIR), entry("y", F(11), FLR_FTYPE_DIR)});
    update(F(10), {entry("k", F(12))});
    queue.clear();
    // The parent is listed first: x is detached with its subtree ...
    update(A, {entry("y", F(11), FLR_FTYPE_DIR)});
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ((std::vector<std::string>{"y"}), names(db->getChildList(A)));
    // ... and re-attached, subtree and all, when its new parent is listed.
    update(F(11), {entry("x", F(10), FLR_FTYPE_DIR)});
    EXPECT_EQ("/a/y/x/k", path(F(12)));
    EXPECT_TRUE(queue.empty());
    EXPECT_EQ(6u, db->getRecordCount());

    // The other order: the new parent first. The old parent then loses its
    // entries and is queued to be listed again.
    update(B, {entry("x", F(10), FLR_FTYPE_DIR)});
    EXPECT_EQ("/b/x/k", path(F(12)));
    EXPECT_EQ((std::list<fsf_fid>{F(11)}), queue);
    queue.clear();
    update(F(11), {});
    db->removeDisconnected(root);
    EXPECT_EQ("/a/y", path(F(11)));
    EXPECT_EQ("/b/x/k", path(F(12)));
    EXPECT_EQ(6u, db->getRecordCount());
}

TEST_F(UpdateDirTest, FormerParentIsReListed) {
    update(A, {entry("x", F(10), FLR_FTYPE_DIR), entry("f", F(13))});
    queue.clear();
    update(B, {entry("x", F(10), FLR_FTYPE_DIR)});
    EXPECT_EQ((std::list<fsf_fid>{A}), queue);
    // a's other entries were dropped until a is listed again.
    EXPECT_TRUE(db->getChildList(A).empty());
    queue.clear();
    update(A, {entry("f", F(13))});
    EXPECT_EQ("/a/f", path(F(13)));
    EXPECT_EQ("/b/x", path(F(10)));
    EXPECT_TRUE(queue.empty());
}

TEST_F(UpdateDirTest, HardLinksInTwoDirectories) {
    update(A, {entry("f", F(10))}, 10);
    update(B, {entry("g", F(10))}, 12);
    EXPECT_EQ("/a/f", path(F(10)));
    FlrDatabase::Child c;
    ASSERT_TRUE(db->find("/a/f", &c));
    EXPECT_EQ(12u, c.scan_seqnum);  // every link confirmed
    ASSERT_TRUE(db->find("/b/g", &c));
    EXPECT_EQ(F(10), c.fid);
    update(A, {}, 13);
    db->clearCache();
    EXPECT_EQ("/b/g", path(F(10)));
}

TEST_F(UpdateDirTest, DirectoryReplacedByAFile) {
    update(A, {entry("d", F(10), FLR_FTYPE_DIR)});
    update(F(10), {entry("in1", F(11)), entry("sub", F(12), FLR_FTYPE_DIR)});
    update(F(12), {entry("in2", F(13))});
    queue.clear();
    update(A, {entry("d", F(20))});
    FlrDatabase::Child c;
    ASSERT_TRUE(db->find("/a/d", &c));
    EXPECT_EQ(F(20), c.fid);
    EXPECT_EQ(FLR_FTYPE_FILE, c.type);
    EXPECT_EQ(8u, db->getRecordCount());  // the old directory is detached, not gone
    db->removeDisconnected(A);
    EXPECT_EQ(4u, db->getRecordCount());
    EXPECT_EQ("", path(F(13)));
    EXPECT_TRUE(queue.empty());
}

TEST_F(UpdateDirTest, EverythingDeleted) {
    update(A, {entry("f", F(10)), entry("d", F(11), FLR_FTYPE_DIR)});
    update(F(11), {entry("g", F(12))});
    update(root, {});
    EXPECT_TRUE(db->getChildList(root).empty());
    db->removeDisconnected(root);
    EXPECT_EQ(1u, db->getRecordCount());
    EXPECT_EQ("/", path(root));
}

TEST_F(UpdateDirTest, StaleRecordsOfTheListedDirectoryAreDropped) {
    db->addNode(B, "again", A, FLR_FTYPE_DIR, 0);  // a second record of a
    update(A, {entry("f", F(10))});
    EXPECT_EQ((std::list<fsf_fid>{B}), queue);
    EXPECT_EQ("/a/f", path(F(10)));
    EXPECT_EQ("Can't find requested directory FID in the DB.",
              messageOf([&] { update(F(99), {}); }));
}

TEST(FlrDatabaseBatches, ReconciliationThatOutgrowsTheMapIsRedoneWhole) {
    flrtest::TempDir dir;
    TCtreeTable::setInitialMapSize(65536);
    std::list<fsf_fid> queue{F(999)};
    std::list<FlrDatabase::Child> listing;
    for (uint64_t i = 0; i < 4000; ++i)
        listing.push_back(entry("entry-" + std::to_string(i), F(100 + i),
                                i % 4 == 0 ? FLR_FTYPE_DIR : FLR_FTYPE_FILE));
    EvDebugCapture log;
    try {
        FlrDatabase db(dir.path());
        db.addRootNode(F(1));
        db.updateDir(F(1), 5, queue, listing);
        TCtreeTable::setInitialMapSize(0);
        EXPECT_EQ(4001u, db.getRecordCount());
        EXPECT_EQ("/entry-3999", db.fidToNodeName(F(100 + 3999)));
    } catch (...) {
        TCtreeTable::setInitialMapSize(0);
        throw;
    }
    EXPECT_TRUE(log.containsFragment("rolled back"));
    // The caller's entry, then each new directory once, however often the
    // work was redone.
    ASSERT_EQ(1001u, queue.size());
    EXPECT_EQ(F(999), queue.front());
    EXPECT_EQ(F(100 + 3996), queue.back());
}

// --- processes ---------------------------------------------------------------

TEST(FlrDatabaseProcesses, ReaderAndWriterAtOnce) {
    flrtest::TempDir dir;
    // Made in a child of its own: a commit here would start this process's
    // background flusher, and a fork while that thread is inside malloc
    // leaves the sanitizer's allocator locked in the writer for ever.
    ASSERT_EQ(0, flrtest::runInChild([&] {
                  FlrDatabase db(dir.path());
                  db.addRootNode(F(1));
                  return 0;
              }));
    const uint32_t total = 3000;
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(fds[0]);
        int rc = 0;
        try {
            FlrDatabase writer(dir.path());
            for (uint32_t i = 0; i < total; ++i) {
                fsf_fid parent = i % 100 == 0 ? F(1) : F(1000 + i - i % 100);
                writer.addNode(parent, "e" + std::to_string(i), F(1000 + i),
                               i % 100 == 0 ? FLR_FTYPE_DIR : FLR_FTYPE_FILE, i);
            }
        } catch (...) {
            rc = 3;
        }
        char done = 'd';
        if (write(fds[1], &done, 1) != 1) rc = 4;
        _exit(rc);
    }
    ::close(fds[1]);
    FlrDatabase reader(dir.path());
    size_t seen = 0;
    bool finished = false;
    while (!finished) {
        pollfd p{fds[0], POLLIN, 0};
        finished = poll(&p, 1, 0) == 1;
        // Whatever is visible is whole: entries appear in order and every
        // visible entry resolves to its full path.
        size_t now = reader.getRecordCount() - 1;
        ASSERT_GE(now, seen);
        seen = now;
        reader.clearCache();
        for (size_t i = 0; i < now; i += 97) {
            std::string expect =
                i % 100 == 0 ? "/e" + std::to_string(i)
                             : "/e" + std::to_string(i - i % 100) + "/e" + std::to_string(i);
            ASSERT_EQ(expect, reader.fidToNodeName(F(1000 + i)));
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ::close(fds[0]);
    ASSERT_TRUE(WIFEXITED(status));
    ASSERT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ(total + 1, reader.getRecordCount());
    EXPECT_EQ("/e2900/e2999", reader.fidToNodeName(F(1000 + 2999)));
}
