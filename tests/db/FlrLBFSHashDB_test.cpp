// The LBFS hash database: block lists, lookups by hash, changed-range
// marking and re-hashing (against a reference model), block-size limits,
// error values and file maintenance.
#include "db/FlrLBFSHashDB.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/EvDebug.h"
#include "support/LmdbInspect.h"
#include "support/TestSupport.h"

namespace {

constexpr uint64_t kNone = FlrLBFSHashDB::kNone;

JxLBFS::HashBlock block(uint64_t offset, uint32_t length, uint64_t seed) {
    JxLBFS::HashBlock b;
    b.block.offset = offset;
    b.block.length = length;
    // Distinct seeds give distinct hashes; none is all zero.
    for (int i = 0; i < JxLBFS::HashBlock::kHashSize; ++i)
        b.hash[i] = static_cast<unsigned char>((seed >> (8 * (i % 8))) + i + 1);
    return b;
}

bool zeroHash(const unsigned char* h) {
    for (int i = 0; i < JxLBFS::HashBlock::kHashSize; ++i)
        if (h[i]) return false;
    return true;
}

// offset:length, with "*" for a changed block.
std::string layout(const std::vector<JxLBFS::HashBlock>& blocks) {
    std::string out;
    for (const auto& b : blocks) {
        if (!out.empty()) out += " ";
        out += std::to_string(b.block.offset) + ":" + std::to_string(b.block.length);
        if (zeroHash(b.hash)) out += "*";
    }
    return out;
}

std::vector<JxLBFS::HashBlock> evenBlocks(uint64_t from, uint64_t to, uint32_t size,
                                          uint64_t seed) {
    std::vector<JxLBFS::HashBlock> out;
    for (uint64_t o = from; o < to; o += size)
        out.push_back(block(o, static_cast<uint32_t>(std::min<uint64_t>(size, to - o)), seed++));
    return out;
}

class FlrLBFSHashDBTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(db.initialize(dir.path()).IsSuccess()); }
    std::string blocksOf(uint64_t fid) {
        std::vector<JxLBFS::HashBlock> blocks;
        CQiError err = db.get(fid, &blocks);
        EXPECT_TRUE(err.IsSuccess()) << err.AsString();
        return layout(blocks);
    }
    std::pair<uint64_t, uint64_t> firstRange(uint64_t fid) {
        uint64_t start = 1, length = 1;
        CQiError err = db.getFirstChangedRange(fid, &start, &length);
        EXPECT_TRUE(err.IsSuccess()) << err.AsString();
        return {start, length};
    }
    uint64_t changedFile() {
        uint64_t fid = 1;
        EXPECT_TRUE(db.getFirstChangedFile(&fid).IsSuccess());
        return fid;
    }

    flrtest::TempDir dir;
    FlrLBFSHashDB db;
};

}  // namespace

TEST(FlrLBFSHashDBFiles, CreatesOpensCopiesMovesAndRemoves) {
    flrtest::TempDir dir;
    const std::string a = dir.path(), b = dir.file("b"), c = dir.file("c");
    ASSERT_EQ(0, ::mkdir(b.c_str(), 0755));
    ASSERT_EQ(0, ::mkdir(c.c_str(), 0755));
    EvDebugCapture log;
    {
        FlrLBFSHashDB db;
        ASSERT_TRUE(db.initialize(a).IsSuccess());
        ASSERT_TRUE(db.update(7, evenBlocks(0, 300, 100, 1)).IsSuccess());
    }
    EXPECT_TRUE(log.contains("Opening/creating FlrLBFSHashDB in " + a));
    EXPECT_TRUE(log.contains("Creating new FlrLBFSHashDB " + a + "/FlrLBFSHashDB.dat"));

    ASSERT_TRUE(FlrLBFSHashDB::copy(a, b).IsSuccess());
    EXPECT_TRUE(log.contains("Copying FlrLBFSHashDB from " + a + " to " + b));
    ASSERT_TRUE(FlrLBFSHashDB::move(b, c).IsSuccess());
    struct stat st;
    EXPECT_NE(0, ::stat((b + "/FlrLBFSHashDB.dat").c_str(), &st));
    EXPECT_NE(0, ::stat((c + "/FlrLBFSHashDB.dat.tmp").c_str(), &st));
    {
        FlrLBFSHashDB moved;
        ASSERT_TRUE(moved.initialize(c).IsSuccess());
        EXPECT_TRUE(log.contains("Opening existing FlrLBFSHashDB " + c + "/FlrLBFSHashDB.dat"));
        std::vector<JxLBFS::HashBlock> blocks;
        ASSERT_TRUE(moved.get(7, &blocks).IsSuccess());
        EXPECT_EQ("0:100 100:100 200:100", layout(blocks));
    }

    // Any LMDB tool reads the file: one database per index, plus records.
    EXPECT_EQ(3u, flrtest::lmdbEntries(c + "/FlrLBFSHashDB.dat", "hash").size());

    CQiError err = FlrLBFSHashDB::copy(a, dir.file("missing"));
    EXPECT_TRUE(err.IsError());
    EXPECT_NE(std::string::npos, err.AsString().find("Couldn't copy FlrLBFSHashDB from " + a +
                                                     " to " + dir.file("missing")))
        << err.AsString();
    err = FlrLBFSHashDB::move(dir.file("missing"), c);
    EXPECT_TRUE(err.IsError());

    ASSERT_TRUE(FlrLBFSHashDB::remove(c).IsSuccess());
    EXPECT_NE(0, ::stat((c + "/FlrLBFSHashDB.dat").c_str(), &st));
    FlrLBFSHashDB readOnly;
    EXPECT_TRUE(readOnly.initialize(c, JXIndexing::TAccessReadOnly).IsError());
    EXPECT_NE(0, ::stat((c + "/FlrLBFSHashDB.dat").c_str(), &st));  // not created
}

TEST_F(FlrLBFSHashDBTest, BlocksByFileAndByHash) {
    ASSERT_TRUE(db.update(5, evenBlocks(0, 350, 100, 10)).IsSuccess());
    ASSERT_TRUE(db.update(6, evenBlocks(0, 200, 100, 20)).IsSuccess());
    EXPECT_EQ("0:100 100:100 200:100 300:50", blocksOf(5));

    FlrLBFSHashDB::Record r;
    ASSERT_TRUE(db.find(block(0, 0, 12).hash, &r).IsSuccess());
    EXPECT_EQ(5u, r.fid);
    EXPECT_EQ(200u, r.offset);
    EXPECT_EQ(100u, r.size);
    ASSERT_TRUE(db.find(block(0, 0, 999).hash, &r).IsSuccess());  // unknown: a zero record
    EXPECT_EQ(0u, r.fid);
    EXPECT_EQ(0u, r.size);
    EXPECT_TRUE(zeroHash(r.hash));

    // Replaced whole; the other file is untouched.
    ASSERT_TRUE(db.update(5, evenBlocks(0, 150, 75, 30)).IsSuccess());
    EXPECT_EQ("0:75 75:75", blocksOf(5));
    EXPECT_EQ("0:100 100:100", blocksOf(6));
    ASSERT_TRUE(db.find(block(0, 0, 12).hash, &r).IsSuccess());
    EXPECT_EQ(0u, r.fid);  // the old blocks' hashes are gone too

    ASSERT_TRUE(db.addBlock(9, block(0, 10, 40)).IsSuccess());
    std::vector<uint64_t> files;
    uint64_t fid = 0;
    for (db.getNextFile(0, &fid); fid; db.getNextFile(fid, &fid)) files.push_back(fid);
    EXPECT_EQ((std::vector<uint64_t>{5, 6, 9}), files);

    ASSERT_TRUE(db.del(5).IsSuccess());
    ASSERT_TRUE(db.del(std::vector<uint64_t>{9, 12}).IsSuccess());
    EXPECT_EQ("", blocksOf(5));
    EXPECT_EQ("", blocksOf(9));
    EXPECT_EQ("0:100 100:100", blocksOf(6));
    ASSERT_TRUE(db.update(6, {}).IsSuccess());
    EXPECT_EQ("", blocksOf(6));
}

TEST_F(FlrLBFSHashDBTest, MarkingChangedBlocksAndFindingTheRanges) {
    ASSERT_TRUE(db.update(5, evenBlocks(0, 600, 100, 1)).IsSuccess());
    EXPECT_EQ(0u, changedFile());
    EXPECT_EQ(kNone, firstRange(5).first);

    EvDebugCapture log;
    ASSERT_TRUE(db.markChanged(5, 150, 100).IsSuccess());  // overlaps two blocks
    EXPECT_TRUE(log.contains("Marking [150-250] as changed for fid 5"));
    EXPECT_EQ("0:100 100:100* 200:100* 300:100 400:100 500:100", blocksOf(5));
    EXPECT_EQ(5u, changedFile());
    // Through the first unchanged block after the changed ones.
    EXPECT_EQ(std::make_pair(uint64_t(100), uint64_t(300)), firstRange(5));

    // Block edges: a range ending where a block starts does not touch it.
    ASSERT_TRUE(db.markChanged(5, 499, 1).IsSuccess());
    ASSERT_TRUE(db.markChanged(5, 500, 0).IsSuccess());  // nothing, so the last block
    EXPECT_EQ("0:100 100:100* 200:100* 300:100 400:100* 500:100*", blocksOf(5));
    // The last block changed: the range runs to the end of the file.
    ASSERT_TRUE(db.updateChangedRange(5, evenBlocks(100, 400, 100, 50)).IsSuccess());
    EXPECT_EQ(std::make_pair(uint64_t(400), kNone), firstRange(5));

    // Written past the end: the last block is hashed again.
    ASSERT_TRUE(db.update(6, evenBlocks(0, 300, 100, 60)).IsSuccess());
    ASSERT_TRUE(db.markChanged(6, 5000, 10).IsSuccess());
    EXPECT_EQ("0:100 100:100 200:100*", blocksOf(6));

    // No blocks at all: one changed placeholder from the start.
    ASSERT_TRUE(db.markChanged(7, 100, 50).IsSuccess());
    EXPECT_EQ("0:150*", blocksOf(7));
    EXPECT_EQ(std::make_pair(uint64_t(0), kNone), firstRange(7));
}

TEST_F(FlrLBFSHashDBTest, RehashedRangeReplacesTheBlocksItOverlaps) {
    ASSERT_TRUE(db.update(5, evenBlocks(0, 500, 100, 1)).IsSuccess());
    ASSERT_TRUE(db.markChanged(5, 150, 100).IsSuccess());
    auto [start, length] = firstRange(5);
    ASSERT_EQ(100u, start);
    ASSERT_EQ(300u, length);
    EvDebugCapture log;
    // Content-defined edges need not fall where the old ones were.
    std::vector<JxLBFS::HashBlock> fresh{block(100, 80, 70), block(180, 80, 71),
                                         block(260, 140, 72)};
    ASSERT_TRUE(db.updateChangedRange(5, fresh).IsSuccess());
    EXPECT_TRUE(log.contains("Updating 3 hash blocks for fid 5, [100-400]"));
    EXPECT_EQ("0:100 100:80 180:80 260:140 400:100", blocksOf(5));
    EXPECT_EQ(0u, changedFile());
    EXPECT_EQ(kNone, firstRange(5).first);

    // A changed placeholder larger than 16 bits can hold is replaced whole.
    ASSERT_TRUE(db.markChanged(8, 100000, 5000).IsSuccess());
    EXPECT_EQ("0:65535*", blocksOf(8));
    std::vector<JxLBFS::HashBlock> whole = evenBlocks(0, 105000, 60000, 80);
    ASSERT_TRUE(db.updateChangedRange(8, whole).IsSuccess());
    EXPECT_EQ("0:60000 60000:45000", blocksOf(8));
    EXPECT_EQ(0u, changedFile());
}

TEST_F(FlrLBFSHashDBTest, BlocksThatDoNotFitAreRefusedAndChangeNothing) {
    ASSERT_TRUE(db.update(5, evenBlocks(0, 200, 100, 1)).IsSuccess());
    CQiError err = db.update(5, {block(0, 65536, 2)});
    EXPECT_TRUE(err.IsError());
    EXPECT_EQ(-1, err.GetCode());
    EXPECT_NE(std::string::npos, err.GetMessage().find("size 65536 is not between 1 and 65535"))
        << err.GetMessage();
    EXPECT_TRUE(db.addBlock(5, block(500, 0, 3)).IsError());
    EXPECT_TRUE(db.updateChangedRange(5, {block(0, 100, 4), block(50, 100, 5)}).IsError());
    EXPECT_TRUE(db.updateChangedRange(5, {}).IsError());
    EXPECT_EQ("0:100 100:100", blocksOf(5));

    ASSERT_TRUE(db.update(5, {block(0, 65535, 6), block(65535, 1, 7)}).IsSuccess());
    EXPECT_EQ("0:65535 65535:1", blocksOf(5));
}

TEST_F(FlrLBFSHashDBTest, FailuresCarryNegativeCodesAndTheirLocations) {
    ASSERT_TRUE(db.addBlock(5, block(0, 10, 1)).IsSuccess());
    CQiError err = db.addBlock(5, block(0, 20, 2));
    ASSERT_TRUE(err.IsError());
    EXPECT_EQ(-TCtreeTable::kDuplicateKey, err.GetCode());
    EXPECT_EQ("Couldn't add new hash block: duplicate key in a unique index", err.GetMessage());
    ASSERT_EQ(1u, err.GetLocations().size());
    EXPECT_EQ(0u, err.GetLocations()[0].find("FlrLBFSHashDB:")) << err.GetLocations()[0];
    EXPECT_NE(std::string::npos, err.GetLocations()[0].find("FlrLBFSHashDB::addBlock("))
        << err.GetLocations()[0];

    FlrLBFSHashDB closed;
    err = closed.del(5);
    ASSERT_TRUE(err.IsError());
    EXPECT_EQ(-TCtreeTable::kNotOpen, err.GetCode());
    EXPECT_EQ("Couldn't start a transaction: table is not open", err.GetMessage());
    EXPECT_NE(std::string::npos, err.AsString().find("FlrLBFSHashDB::del(")) << err.AsString();
    EXPECT_EQ("0:10", blocksOf(5));
}

// A reference model of the marking and re-hashing rules under random
// writes, with re-hashing passes in between, on several files at once.
TEST_F(FlrLBFSHashDBTest, RandomMarkingAndRehashingMatchTheModel) {
    struct Block {
        uint32_t size;
        bool changed;
    };
    using File = std::map<uint64_t, Block>;
    std::map<uint64_t, File> model;
    std::mt19937_64 rng(4711);
    uint64_t seed = 1000;
    auto randomBlocks = [&](uint64_t from, uint64_t to) {
        std::vector<JxLBFS::HashBlock> out;
        for (uint64_t o = from; o < to;) {
            uint32_t size = static_cast<uint32_t>(std::min<uint64_t>(1 + rng() % 3000, to - o));
            out.push_back(block(o, size, seed++));
            o += size;
        }
        return out;
    };
    auto expectSame = [&](uint64_t fid) {
        std::vector<JxLBFS::HashBlock> got;
        ASSERT_TRUE(db.get(fid, &got).IsSuccess());
        std::string want;
        for (const auto& [o, b] : model[fid]) {
            if (!want.empty()) want += " ";
            want += std::to_string(o) + ":" + std::to_string(b.size) + (b.changed ? "*" : "");
        }
        ASSERT_EQ(want, layout(got));
    };
    for (uint64_t fid = 1; fid <= 3; ++fid) {
        auto blocks = randomBlocks(0, 5000 + rng() % 20000);
        ASSERT_TRUE(db.update(fid, blocks).IsSuccess());
        for (const auto& b : blocks) model[fid][b.block.offset] = Block{b.block.length, false};
    }
    for (int op = 0; op < 600; ++op) {
        const uint64_t fid = 1 + rng() % 4;  // file 4 starts without blocks
        File& f = model[fid];
        if (rng() % 3) {
            const uint64_t offset = rng() % 30000, length = rng() % 4000, end = offset + length;
            ASSERT_TRUE(db.markChanged(fid, offset, length).IsSuccess());
            bool marked = false;
            for (auto& [o, b] : f)
                if (o < end && o + b.size > offset) marked = b.changed = true;
            if (!marked && !f.empty()) std::prev(f.end())->second.changed = true;
            if (!marked && f.empty())
                f[0] = Block{static_cast<uint32_t>(std::clamp<uint64_t>(end, 1, 65535)), true};
        } else {
            // One re-hashing pass over the file's first changed range.
            uint64_t start, length;
            uint64_t first = 0;
            for (const auto& [o, b] : f)
                if (b.changed) {
                    first = o;
                    break;
                }
            ASSERT_TRUE(db.getFirstChangedRange(fid, &start, &length).IsSuccess());
            bool any = std::any_of(f.begin(), f.end(), [](auto& e) { return e.second.changed; });
            if (!any) {
                ASSERT_EQ(kNone, start);
                continue;
            }
            ASSERT_EQ(first, start);
            uint64_t end = kNone;
            for (auto it = f.find(first); it != f.end(); ++it)
                if (!it->second.changed) {
                    end = it->first + it->second.size;
                    break;
                }
            ASSERT_EQ(end == kNone ? kNone : end - start, length);
            if (end == kNone) end = start + 1 + rng() % 10000;  // the file's new end
            auto blocks = randomBlocks(start, end);
            ASSERT_TRUE(db.updateChangedRange(fid, blocks).IsSuccess());
            for (auto it = f.begin(); it != f.end();)
                it = it->first < end && it->first + it->second.size > start ? f.erase(it)
                                                                            : std::next(it);
            for (const auto& b : blocks) f[b.block.offset] = Block{b.block.length, false};
        }
        expectSame(fid);
        uint64_t changed = changedFile();
        if (changed) {
            auto& cf = model[changed];
            EXPECT_TRUE(
                std::any_of(cf.begin(), cf.end(), [](auto& e) { return e.second.changed; }));
        } else {
            for (auto& [id, file] : model)
                for (auto& [o, b] : file) ASSERT_FALSE(b.changed) << id << "@" << o;
        }
    }
    // Reopened, every block is still there.
    db.close();
    FlrLBFSHashDB again;
    ASSERT_TRUE(again.initialize(dir.path()).IsSuccess());
    for (uint64_t fid = 1; fid <= 4; ++fid) {
        std::vector<JxLBFS::HashBlock> got;
        ASSERT_TRUE(again.get(fid, &got).IsSuccess());
        ASSERT_EQ(model[fid].size(), got.size());
        for (const auto& b : got) {
            if (zeroHash(b.hash)) continue;
            FlrLBFSHashDB::Record r;
            ASSERT_TRUE(again.find(b.hash, &r).IsSuccess());
            EXPECT_EQ(fid, r.fid);
            EXPECT_EQ(b.block.offset, r.offset);
        }
    }
}

// The copy is one committed state even while another process writes: each
// update replaces a file's whole block list, so every file in the copy has a
// whole list, and the copy is never older than the one before it.
TEST(FlrLBFSHashDBFiles, CopyWhileAnotherProcessWritesIsConsistent) {
    flrtest::TempDir dir;
    const std::string from = dir.file("from");
    ASSERT_EQ(0, ::mkdir(from.c_str(), 0755));
    {
        FlrLBFSHashDB seed;
        ASSERT_TRUE(seed.initialize(from).IsSuccess());
    }
    int ready[2];
    ASSERT_EQ(0, pipe(ready));
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        FlrLBFSHashDB writer;
        if (writer.initialize(from).IsError()) _exit(2);
        // File k gets k % 7 + 1 blocks; rounds go over the files again.
        for (uint64_t round = 1;; ++round) {
            for (uint64_t fid = 1; fid <= 50; ++fid)
                if (writer.update(fid, evenBlocks(0, 100 * (fid % 7 + 1), 100, round)).IsError())
                    _exit(3);
            if (round == 1 && write(ready[1], "r", 1) != 1) _exit(4);
        }
    }
    char r;
    ASSERT_EQ(1, read(ready[0], &r, 1)) << "the writer did not start";
    size_t lastFiles = 0;
    const int copies = flrtest::scaled(6);
    for (int i = 0; i < copies; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        const std::string to = dir.file("copy" + std::to_string(i));
        ASSERT_EQ(0, ::mkdir(to.c_str(), 0755));
        CQiError err = FlrLBFSHashDB::copy(from, to);
        ASSERT_TRUE(err.IsSuccess()) << err.AsString();
        FlrLBFSHashDB copy;
        ASSERT_TRUE(copy.initialize(to).IsSuccess());
        size_t files = 0;
        for (uint64_t fid = 1; fid <= 50; ++fid) {
            std::vector<JxLBFS::HashBlock> blocks;
            ASSERT_TRUE(copy.get(fid, &blocks).IsSuccess());
            if (blocks.empty()) continue;
            ++files;
            EXPECT_EQ(fid % 7 + 1, blocks.size()) << "copy " << i << " file " << fid;
        }
        EXPECT_GE(files, lastFiles);
        lastFiles = files;
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    EXPECT_EQ(50u, lastFiles);
}
