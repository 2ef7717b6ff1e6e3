// The LBFS tree database: numbering, path resolution and creation, kind
// conflicts, renames and deletions together with the hash database, walks,
// reopening, and the flr command.
#include "db/FlrLBFSTreeDB.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/EvDebug.h"
#include "support/TestSupport.h"

namespace {

JxLBFS::HashBlock hashBlock(uint64_t offset, uint32_t length, uint64_t seed) {
    JxLBFS::HashBlock b;
    b.block.offset = offset;
    b.block.length = length;
    // Distinct seeds give distinct hashes; none is all zero.
    for (int i = 0; i < JxLBFS::HashBlock::kHashSize; ++i)
        b.hash[i] = static_cast<unsigned char>((seed >> (8 * (i % 8))) + i + 1);
    return b;
}

class FlrLBFSTreeDBTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tree.initialize(dir.path()).IsSuccess());
        ASSERT_TRUE(hash.initialize(dir.path()).IsSuccess());
    }
    uint64_t create(const std::string& path) {
        uint64_t fid = 0;
        FlrLBFSTreeDB::Record r;
        CQiError err = tree.createFile(path, &hash, &fid, &r);
        EXPECT_TRUE(err.IsSuccess()) << err.AsString();
        EXPECT_EQ(fid, r.fid);
        return fid;
    }
    // A file with two blocks in the hash database.
    uint64_t createWithBlocks(const std::string& path) {
        uint64_t fid = create(path);
        EXPECT_TRUE(
            hash.update(fid, {hashBlock(0, 100, fid), hashBlock(100, 50, fid + 1000)}).IsSuccess());
        return fid;
    }
    uint64_t fidOf(const std::string& path) {
        uint64_t fid = 99999;
        uint32_t time = 1;
        CQiError err = tree.path2fid(path, &fid, &time);
        EXPECT_TRUE(err.IsSuccess()) << err.AsString();
        return fid;
    }
    std::string pathOf(uint64_t fid) {
        std::string path = "(unset)";
        CQiError err = tree.fid2path(fid, &path);
        EXPECT_TRUE(err.IsSuccess()) << err.AsString();
        return path;
    }
    size_t blockCount(uint64_t fid) {
        std::vector<JxLBFS::HashBlock> blocks;
        EXPECT_TRUE(hash.get(fid, &blocks).IsSuccess());
        return blocks.size();
    }
    std::vector<std::string> children(uint64_t fid) {
        std::vector<FlrLBFSTreeDB::Record> recs;
        EXPECT_TRUE(tree.getChildren(fid, &recs).IsSuccess());
        std::vector<std::string> names;
        for (const auto& r : recs) names.push_back(r.sname);
        return names;
    }

    flrtest::TempDir dir;
    FlrLBFSTreeDB tree;
    FlrLBFSHashDB hash;
};

}  // namespace

TEST(FlrLBFSTreeDBFiles, NewTreeHasItsRootAndReopensWithItsNumbering) {
    flrtest::TempDir dir;
    EvDebugCapture log;
    {
        FlrLBFSTreeDB tree;
        ASSERT_TRUE(tree.initialize(dir.path()).IsSuccess());
        EXPECT_TRUE(
            log.contains("Creating new FlrLBFSTreeDB " + dir.path() + "/FlrLBFSTreeDB.dat"));
        EXPECT_TRUE(log.contains("Next available FID is 2"));
        FlrLBFSTreeDB::Record root;
        ASSERT_TRUE(tree.getRootRec(&root).IsSuccess());
        EXPECT_EQ(1u, root.fid);
        EXPECT_EQ(0u, root.parent);
        EXPECT_TRUE(root.isDir());
        EXPECT_STREQ("", root.sname);
        uint64_t fid;
        for (const char* p : {"/a/1", "/a/2", "/a/3"})
            ASSERT_TRUE(tree.createFile(p, nullptr, &fid, nullptr).IsSuccess());
        ASSERT_TRUE(tree.del(std::string("/a/2"), nullptr).IsSuccess());
    }
    {
        FlrLBFSTreeDB tree;
        ASSERT_TRUE(tree.initialize(dir.path()).IsSuccess());
        EXPECT_TRUE(
            log.contains("Opening existing FlrLBFSTreeDB " + dir.path() + "/FlrLBFSTreeDB.dat"));
        EXPECT_EQ(6u, tree.nextFid());  // after the largest stored number, 5
        uint64_t fid;
        ASSERT_TRUE(tree.createFile("/a/4", nullptr, &fid, nullptr).IsSuccess());
        EXPECT_EQ(6u, fid);
    }
    const std::string other = dir.file("other");
    ASSERT_EQ(0, ::mkdir(other.c_str(), 0755));
    ASSERT_TRUE(FlrLBFSTreeDB::copy(dir.path(), other).IsSuccess());
    ASSERT_TRUE(FlrLBFSTreeDB::remove(dir.path()).IsSuccess());
    struct stat st;
    EXPECT_NE(0, ::stat((dir.path() + "/FlrLBFSTreeDB.dat").c_str(), &st));
    FlrLBFSTreeDB copied;
    ASSERT_TRUE(copied.initialize(other, JXIndexing::TAccessReadOnly).IsSuccess());
    uint64_t fid = 0;
    ASSERT_TRUE(copied.path2fid("/a/4", &fid, nullptr).IsSuccess());
    EXPECT_EQ(6u, fid);
    EXPECT_TRUE(copied.createFile("/b", nullptr, &fid, nullptr).IsError());
}

TEST_F(FlrLBFSTreeDBTest, PathsAreCreatedOnDemandAndResolvedBothWays) {
    EvDebugCapture log;
    FlrLBFSTreeDB::Record r;
    uint64_t fid = 0;
    ASSERT_TRUE(tree.createFile("/a/b", &hash, &fid, &r).IsSuccess());
    EXPECT_EQ(3u, fid);
    EXPECT_EQ(2u, r.parent);
    EXPECT_FALSE(r.isDir());
    EXPECT_STREQ("b", r.sname);
    EXPECT_TRUE(log.contains("Created new fid 2, /a"));
    EXPECT_TRUE(log.contains("Created new fid 3, /a/b"));
    EXPECT_EQ(3u, create("/a/b"));  // found, not made again
    EXPECT_EQ(4u, tree.nextFid());

    EXPECT_EQ(3u, fidOf("//a///b/"));
    EXPECT_EQ(2u, fidOf("/a"));
    EXPECT_EQ(1u, fidOf("/"));
    EXPECT_EQ(1u, fidOf(""));
    EXPECT_EQ(0u, fidOf("/a/missing"));
    EXPECT_EQ(0u, fidOf("/a/b/below-a-file"));
    EXPECT_EQ("/a/b", pathOf(3));
    EXPECT_EQ("/a", pathOf(2));
    EXPECT_EQ("", pathOf(1));
    EXPECT_EQ("", pathOf(12345));

    ASSERT_TRUE(tree.updateTime(3, 1700000000).IsSuccess());
    uint32_t time = 0;
    ASSERT_TRUE(tree.path2fid("/a/b", &fid, &time).IsSuccess());
    EXPECT_EQ(1700000000u, time);
    CQiError err = tree.updateTime(777, 1);
    ASSERT_TRUE(err.IsError());
    EXPECT_EQ("Couldn't find fid 777 in the DB: no record found", err.GetMessage());
    EXPECT_EQ(-TCtreeTable::kNoRecord, err.GetCode());
}

TEST_F(FlrLBFSTreeDBTest, AnEntryOfTheOtherKindIsReplacedWithItsBlocks) {
    const uint64_t b = createWithBlocks("/a/b");
    ASSERT_EQ(3u, b);
    // b must become a directory: the file and its blocks go.
    EXPECT_EQ(5u, create("/a/b/c"));
    EXPECT_EQ(4u, fidOf("/a/b"));
    EXPECT_EQ(0u, blockCount(b));
    EXPECT_EQ("", pathOf(b));

    // A directory where a file is wanted: the whole subtree goes.
    const uint64_t d = createWithBlocks("/a/b/d");
    const uint64_t a = create("/a");
    EXPECT_EQ(d + 1, a);
    EXPECT_EQ(0u, blockCount(d));
    EXPECT_EQ((std::vector<std::string>{"a"}), children(1));
    EXPECT_TRUE(children(a).empty());
    EXPECT_EQ(0u, fidOf("/a/b"));
}

TEST_F(FlrLBFSTreeDBTest, RenameReplacesTheTargetAndGivesItsNumberBack) {
    const uint64_t x = createWithBlocks("/d/x");
    const uint64_t y = createWithBlocks("/d/y");
    const uint64_t next = tree.nextFid();
    ASSERT_TRUE(tree.rename(x, "/d/y", &hash).IsSuccess());
    EXPECT_EQ(x, fidOf("/d/y"));
    EXPECT_EQ(0u, fidOf("/d/x"));
    EXPECT_EQ("", pathOf(y));
    EXPECT_EQ(0u, blockCount(y));
    EXPECT_EQ(2u, blockCount(x));
    // y was the last number handed out: it is free again.
    ASSERT_EQ(y + 1, next);
    EXPECT_EQ(y, tree.nextFid());

    // To a new place: the new directory keeps its number, the file's
    // placeholder number is given back.
    ASSERT_TRUE(tree.rename(x, "/e/z", &hash).IsSuccess());
    EXPECT_EQ(y, fidOf("/e"));
    EXPECT_EQ(x, fidOf("/e/z"));
    EXPECT_EQ(y + 1, tree.nextFid());
    EXPECT_TRUE(children(fidOf("/d")).empty());

    // A directory moves with everything below it.
    const uint64_t f = createWithBlocks("/e/sub/f");
    ASSERT_TRUE(tree.rename(fidOf("/e"), "/moved", &hash).IsSuccess());
    EXPECT_EQ("/moved/sub/f", pathOf(f));
    EXPECT_EQ(2u, blockCount(f));

    // The same place: nothing to do.
    ASSERT_TRUE(tree.rename(f, "/moved/sub/f", &hash).IsSuccess());
    EXPECT_EQ("/moved/sub/f", pathOf(f));
    EXPECT_EQ(2u, blockCount(f));
}

TEST_F(FlrLBFSTreeDBTest, RenamesThatWouldDestroyTheEntryAreRefused) {
    const uint64_t file = create("/p/q/file");
    const uint64_t p = fidOf("/p"), q = fidOf("/p/q");
    ASSERT_TRUE(hash.update(file, {hashBlock(0, 10, 1)}).IsSuccess());
    const uint64_t next = tree.nextFid();

    CQiError err = tree.rename(p, "/p/q/new/deeper", &hash);
    ASSERT_TRUE(err.IsError());
    EXPECT_NE(std::string::npos, err.GetMessage().find("leads through the entry itself"))
        << err.GetMessage();
    err = tree.rename(q, "/p", &hash);  // onto its own parent
    ASSERT_TRUE(err.IsError());
    EXPECT_NE(std::string::npos, err.GetMessage().find("contains the entry itself"));
    EXPECT_TRUE(tree.rename(1, "/r", &hash).IsError());
    EXPECT_TRUE(tree.rename(file, "/", &hash).IsError());
    err = tree.rename(999, "/x/y", &hash);
    ASSERT_TRUE(err.IsError());
    EXPECT_EQ("Couldn't find fid 999 in the DB: no record found", err.GetMessage());

    // Nothing changed on the way.
    EXPECT_EQ("/p/q/file", pathOf(file));
    EXPECT_EQ(0u, fidOf("/p/q/new"));
    EXPECT_EQ(0u, fidOf("/x"));
    EXPECT_EQ(1u, blockCount(file));
    EXPECT_EQ(next, tree.nextFid());
}

TEST_F(FlrLBFSTreeDBTest, DeletionTakesSubtreesAndTheirBlocks) {
    const uint64_t f1 = createWithBlocks("/top/f1");
    const uint64_t f2 = createWithBlocks("/top/sub/f2");
    const uint64_t f3 = createWithBlocks("/top/sub/deeper/f3");
    const uint64_t f4 = createWithBlocks("/other/f4");
    EvDebugCapture log;
    ASSERT_TRUE(tree.del(std::string("/top"), &hash).IsSuccess());
    for (uint64_t f : {f1, f2, f3}) {
        EXPECT_EQ("", pathOf(f));
        EXPECT_EQ(0u, blockCount(f));
    }
    EXPECT_TRUE(log.contains("Deleting fid " + std::to_string(f3)));
    EXPECT_EQ(2u, blockCount(f4));
    EXPECT_EQ((std::vector<std::string>{"other"}), children(1));
    ASSERT_TRUE(tree.del(std::string("/not/there"), &hash).IsSuccess());
    ASSERT_TRUE(tree.del(uint64_t(424242), &hash).IsSuccess());

    // The root: everything below goes, the root stays usable.
    ASSERT_TRUE(tree.del(FlrLBFSTreeDB::kRootFid, &hash).IsSuccess());
    EXPECT_TRUE(children(1).empty());
    EXPECT_EQ(0u, blockCount(f4));
    FlrLBFSTreeDB::Record root;
    ASSERT_TRUE(tree.getRootRec(&root).IsSuccess());
    EXPECT_GT(create("/again"), f4);
}

TEST_F(FlrLBFSTreeDBTest, MosaicFilesAreNamedAfterTheNextNumber) {
    std::string path;
    uint64_t fid = 0;
    FlrLBFSTreeDB::Record r;
    ASSERT_TRUE(tree.createMosaicFile("/m", &path, &fid, &r).IsSuccess());
    EXPECT_EQ("/m/2", path);  // the directory took 2
    EXPECT_EQ(3u, fid);
    ASSERT_TRUE(tree.createMosaicFile("/m", &path, &fid, &r).IsSuccess());
    EXPECT_EQ("/m/4", path);
    EXPECT_EQ(4u, fid);
    EXPECT_STREQ("4", r.sname);
    EXPECT_EQ((std::vector<std::string>{"2", "4"}), children(2));
}

TEST_F(FlrLBFSTreeDBTest, LongAndSimilarNamesAreToldApart) {
    const std::string prefix(60, 'n');
    const uint64_t one = create("/d/" + prefix + "1");
    const uint64_t two = create("/d/" + prefix + "2");
    EXPECT_NE(one, two);
    EXPECT_EQ(two, fidOf("/d/" + prefix + "2"));
    EXPECT_EQ(0u, fidOf("/d/" + prefix));

    const std::string longName(300, 'L');
    const uint64_t cut = create("/d/" + longName);
    EXPECT_EQ(cut, create("/d/" + longName));
    EXPECT_EQ(cut, fidOf("/d/" + longName));
    EXPECT_EQ("/d/" + longName.substr(0, 255), pathOf(cut));

    create("/d/c");
    create("/d/a");
    // Name order by byte, then creation order among names sharing 56 bytes.
    EXPECT_EQ(
        (std::vector<std::string>{longName.substr(0, 255), "a", "c", prefix + "1", prefix + "2"}),
        children(fidOf("/d")));
}

TEST_F(FlrLBFSTreeDBTest, ThousandsOfEntriesResolveBackAfterReopening) {
    std::vector<std::pair<std::string, uint64_t>> made;
    {
        TCtreeTable::BatchScope batch = tree.transaction(16 << 20);  // bulk creation at once
        for (int i = 0; i < 3000; ++i) {
            std::string p = "/dir" + std::to_string(i % 30) + "/s" + std::to_string(i % 7) +
                            "/file-" + std::to_string(i);
            made.emplace_back(p, create(p));
        }
        ASSERT_EQ(0, batch.commit());
    }
    for (const auto& [p, f] : made) ASSERT_EQ(p, pathOf(f));
    tree.close();
    FlrLBFSTreeDB again;
    ASSERT_TRUE(again.initialize(dir.path()).IsSuccess());
    std::set<uint64_t> numbers;
    for (const auto& [p, f] : made) {
        uint64_t fid = 0;
        ASSERT_TRUE(again.path2fid(p, &fid, nullptr).IsSuccess());
        ASSERT_EQ(f, fid);
        numbers.insert(f);
    }
    EXPECT_EQ(made.size(), numbers.size());
    EXPECT_EQ(3000u + 30 + 30 * 7 + 2, again.nextFid());
}

// A creation that outgrows the map is rolled back and redone whole: the
// numbers handed out by the failed attempt are handed out again.
TEST(FlrLBFSTreeDBBatches, CreationThatOutgrowsTheMapKeepsItsNumbering) {
    flrtest::TempDir dir;
    TCtreeTable::setInitialMapSize(65536);
    struct Restore {
        ~Restore() { TCtreeTable::setInitialMapSize(0); }
    } restore;
    FlrLBFSTreeDB tree;
    ASSERT_TRUE(tree.initialize(dir.path()).IsSuccess());
    std::string path;
    for (int i = 0; i < 400; ++i) path += "/" + std::string(200, static_cast<char>('a' + i % 26));
    EvDebugCapture log;
    uint64_t fid = 0;
    CQiError err = tree.createFile(path, nullptr, &fid, nullptr);
    ASSERT_TRUE(err.IsSuccess()) << err.AsString();
    EXPECT_TRUE(log.containsFragment("rolled back"));
    EXPECT_EQ(401u, fid);
    EXPECT_EQ(402u, tree.nextFid());
    std::string back;
    ASSERT_TRUE(tree.fid2path(fid, &back).IsSuccess());
    EXPECT_EQ(path, back);
}
