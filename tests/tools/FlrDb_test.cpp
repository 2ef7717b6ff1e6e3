// The flr command's database inspection (flr db tree/path/lbfs/intervals):
// what it prints for databases written through the library, its exit codes,
// and that inspecting creates nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "db/FlrDatabase.h"
#include "db/FlrLBFSHashDB.h"
#include "db/FlrLBFSTreeDB.h"
#include "db/FlrWrDatabase.h"
#include "support/TestSupport.h"
#include "support/ToolRunner.h"

namespace {

fsf_fid F(uint64_t n) {
    uint64_t w[3] = {n * 0x9E3779B97F4A7C15ULL + 1, ~n, n ^ 0x5555};
    fsf_fid f;
    std::memcpy(f.bytes, w, sizeof w);
    return f;
}

JxLBFS::HashBlock block(uint64_t offset, uint32_t length, uint64_t seed) {
    JxLBFS::HashBlock b;
    b.block.offset = offset;
    b.block.length = length;
    for (int i = 0; i < JxLBFS::HashBlock::kHashSize; ++i)
        b.hash[i] = static_cast<unsigned char>((seed >> (8 * (i % 8))) + i + 1);
    return b;
}

// Runs `flr` with the words of args (none has spaces here), returning its
// exit status and standard output.
int runFlr(const std::string& args, std::string* out) {
    std::vector<std::string> argv;
    std::istringstream words(args);
    for (std::string w; words >> w;) argv.push_back(w);
    flrtest::ToolRun run = flrtest::runTool(argv);
    *out = run.out;
    return run.status;
}

}  // namespace

TEST(FlrDbCommand, PrintsTreeAndPaths) {
    FLR_REQUIRE_TOOL();
    flrtest::TempDir dir;
    {
        FlrDatabase db(dir.path());
        db.addRootNode(F(1));
        db.addNode(F(1), "etc", F(2), FLR_FTYPE_DIR, 5);
        db.addNode(F(2), "passwd", F(3), FLR_FTYPE_FILE, 7);
        db.addNode(fsf_fid::fid0, "lost", F(4), FLR_FTYPE_DIR, 0);
    }
    std::string out;
    ASSERT_EQ(0, runFlr("db tree " + dir.path(), &out));
    EXPECT_EQ("/  " + F(1).toString() + "  seq 0\n" + "  etc/  " + F(2).toString() + "  seq 5\n" +
                  "    passwd  " + F(3).toString() + "  seq 7\n" + "(detached)\n" + "  lost/  " +
                  F(4).toString() + "  seq 0\n" +
                  "4 records: 3 in the tree, 1 detached, 0 unreachable\n",
              out);
    ASSERT_EQ(0, runFlr("db path " + dir.path() + " " + F(3).toString(), &out));
    EXPECT_EQ("/etc/passwd\n", out);
    ASSERT_EQ(0, runFlr("db path --json " + dir.path() + " " + F(2).toString(), &out));
    EXPECT_EQ(
        "{\"fid\":\"" + F(2).toString() + "\",\"path\":\"/etc\",\"type\":\"dir\",\"seq\":5}\n",
        out);
    EXPECT_EQ(1, runFlr("db path " + dir.path() + " " + F(9).toString(), &out));
    EXPECT_EQ(1, runFlr("db path " + dir.path() + " 12", &out));
    EXPECT_EQ(1, runFlr("db tree " + dir.path() + "/missing", &out));
    EXPECT_EQ(2, runFlr("db path " + F(3).toString(), &out));
    struct stat st;
    EXPECT_NE(0, ::stat((dir.path() + "/missing").c_str(), &st));  // inspecting creates nothing
}

TEST(FlrDbLbfsCommand, PrintsFilesBlocksAndChangedRanges) {
    FLR_REQUIRE_TOOL();
    flrtest::TempDir dir;
    {
        FlrLBFSTreeDB tree;
        FlrLBFSHashDB hash;
        ASSERT_TRUE(tree.initialize(dir.path()).IsSuccess());
        ASSERT_TRUE(hash.initialize(dir.path()).IsSuccess());
        uint64_t f = 0;
        ASSERT_TRUE(tree.createFile("/docs/a.txt", &hash, &f, nullptr).IsSuccess());
        ASSERT_TRUE(hash.update(f, {block(0, 100, 1), block(100, 100, 2), block(200, 100, 3),
                                    block(300, 50, 4)})
                        .IsSuccess());
        ASSERT_TRUE(hash.markChanged(f, 120, 10).IsSuccess());
        ASSERT_TRUE(hash.markChanged(f, 320, 10).IsSuccess());
        ASSERT_TRUE(tree.updateTime(f, 1234).IsSuccess());
        ASSERT_TRUE(tree.createFile("/empty", &hash, &f, nullptr).IsSuccess());
        ASSERT_TRUE(hash.addBlock(77, block(0, 10, 5)).IsSuccess());
    }
    std::string out;
    ASSERT_EQ(0, runFlr("db lbfs " + dir.path(), &out));
    EXPECT_EQ(
        "/  fid 1\n"
        "  docs/  fid 2  time 0\n"
        "    a.txt  fid 3  time 1234  blocks 4  bytes 350  changed [100-300) [300-end)\n"
        "  empty  fid 4  time 0  blocks 0  bytes 0\n"
        "(no name)  fid 77  blocks 1  bytes 10\n"
        "2 files, 1 directories, 1 without a name; 5 blocks, 2 changed, in 2 changed ranges\n",
        out);
    ASSERT_EQ(0, runFlr("db lbfs --blocks " + dir.path(), &out));
    EXPECT_NE(std::string::npos, out.find("      @100  100  changed\n")) << out;
    EXPECT_NE(std::string::npos,
              out.find("      @0  100  " + FlrLBFSHashDB::hashText(block(0, 0, 1).hash) + "\n"))
        << out;
    EXPECT_EQ(1, runFlr("db lbfs " + dir.path() + "/missing", &out));
}

TEST(FlrDbIntervalsCommand, PrintsIntervalsByFile) {
    FLR_REQUIRE_TOOL();
    flrtest::TempDir dir;
    // The table orders files by their first word: F(0) before F(1).
    {
        FlrWrDatabase db(dir.path());
        db.add(F(1), 4096, 8192);
        db.add(F(0), 0, 100);
        db.add(F(0), 1000, 1010);
        ASSERT_TRUE(db.getFirst(nullptr, nullptr, nullptr, nullptr));
        db.updateAckID(17);
    }
    std::string out;
    ASSERT_EQ(0, runFlr("db intervals " + dir.path(), &out));
    EXPECT_EQ(F(0).toString() + "  [0-100)  100 bytes  ackid 17\n" + F(0).toString() +
                  "  [1000-1010)  10 bytes  unacknowledged\n" + F(1).toString() +
                  "  [4096-8192)  4096 bytes  unacknowledged\n" +
                  "3 intervals in 2 files, 4206 bytes, 2 unacknowledged\n",
              out);
    ASSERT_EQ(0, runFlr("db intervals --json " + dir.path(), &out));
    EXPECT_EQ(0u, out.find("{\"fid\":\"" + F(0).toString() +
                           "\",\"start\":0,\"end\":100,\"ackid\":17}\n"))
        << out;
    EXPECT_EQ(1, runFlr("db intervals " + dir.path() + "/missing", &out));
    EXPECT_EQ(2, runFlr("db intervals", &out));
    struct stat st;
    EXPECT_NE(0, ::stat((dir.path() + "/missing").c_str(), &st));  // inspecting creates nothing
}
