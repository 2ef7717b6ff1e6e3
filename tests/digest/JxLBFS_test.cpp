#include "digest/JxLBFS.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "digest/Jxc.h"
#include "platform/JxFile.h"
#include "support/TestSupport.h"

namespace {

using Bytes = std::vector<unsigned char>;
using JxLBFS::HashBlock;
using JxLBFS::kMaxBlockSize;
using JxLBFS::kMinBlockSize;

// A fixed pseudo-random buffer (xorshift64, fixed seed): the same on every run.
Bytes noise(size_t len, uint64_t seed = 0x2545f4914f6cdd1dULL) {
    Bytes out(len);
    uint64_t x = seed;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        b = static_cast<unsigned char>(x >> 32);
    }
    return out;
}

void collect(const HashBlock& block, void* context) {
    static_cast<std::vector<HashBlock>*>(context)->push_back(block);
}

// Cuts data with the Chunker, feeding it in pieces whose sizes come from
// nextPiece (0 means all the rest).
std::vector<HashBlock> chunk(const Bytes& data, const std::function<size_t()>& nextPiece = {}) {
    std::vector<HashBlock> blocks;
    JxLBFS::Chunker chunker(&collect, &blocks);
    for (size_t at = 0; at < data.size();) {
        size_t piece = nextPiece ? nextPiece() : 0;
        if (piece == 0 || piece > data.size() - at) piece = data.size() - at;
        chunker.feed(data.data() + at, piece);
        at += piece;
    }
    chunker.finish();
    return blocks;
}

std::string lbfsHex(const unsigned char* p, size_t n) {
    std::string out;
    char buf[3];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02x", p[i]);
        out += buf;
    }
    return out;
}

bool sameBlocks(const std::vector<HashBlock>& a, const std::vector<HashBlock>& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i].block.offset != b[i].block.offset || a[i].block.length != b[i].block.length ||
            lbfsHex(a[i].hash, 32) != lbfsHex(b[i].hash, 32))
            return false;
    return true;
}

// Blocks tile the data from 0 to its end, every block but the last is within
// the size limits, and each carries the SHA-256 of its bytes.
void expectTiling(const Bytes& data, const std::vector<HashBlock>& blocks) {
    uint64_t at = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const auto& b = blocks[i];
        ASSERT_EQ(b.block.offset, at) << "block " << i;
        ASSERT_GT(b.block.length, 0u);
        ASSERT_LE(b.block.length, kMaxBlockSize);
        if (i + 1 < blocks.size()) {
            ASSERT_GE(b.block.length, kMinBlockSize) << "block " << i;
        }
        unsigned char expect[32];
        Jxc::sha256(data.data() + at, b.block.length, expect);
        ASSERT_EQ(lbfsHex(b.hash, 32), lbfsHex(expect, 32)) << "block " << i;
        at += b.block.length;
    }
    EXPECT_EQ(at, data.size());
}

TEST(JxLBFS, FixedInputCutsAtPinnedPoints) {
    const Bytes data = noise(8u << 20);
    const auto blocks = chunk(data);
    expectTiling(data, blocks);
    const double average = static_cast<double>(data.size()) / static_cast<double>(blocks.size());
    EXPECT_GT(average, 6.0 * 1024);
    EXPECT_LT(average, 12.0 * 1024);
    // Pinned: a change here changes every stored block of every replica.
    // The whole-buffer feed takes the four-lane path, the pieces test below
    // the byte-at-a-time one, so both are held to these points.
    EXPECT_EQ(blocks.size(), 897u);
    const std::vector<uint64_t> firstCuts = {8378, 14740, 25172, 33513, 41850};
    for (size_t i = 0; i < firstCuts.size(); ++i)
        EXPECT_EQ(blocks[i].block.offset + blocks[i].block.length, firstCuts[i]) << i;
    EXPECT_EQ(lbfsHex(blocks[0].hash, 32),
              "63cea7d79ed4d683bd9681b3a6ae2c72ad58d4612106a75404d0c583b01f4337");
}

TEST(JxLBFS, FeedPiecesDoNotMoveCuts) {
    const Bytes data = noise(1u << 20, 7);
    const auto whole = chunk(data);
    ASSERT_GT(whole.size(), 50u);
    uint64_t rng = 99;
    const std::vector<std::pair<const char*, std::function<size_t()>>> feeds = {
        {"one byte", [] { return size_t{1}; }},
        {"7", [] { return size_t{7}; }},
        {"4099", [] { return size_t{4099}; }},
        {"65537", [] { return size_t{65537}; }},
        {"random",
         [&rng] {
             rng ^= rng << 13;
             rng ^= rng >> 7;
             rng ^= rng << 17;
             return size_t{1} + rng % 20000;
         }},
    };
    for (const auto& [name, next] : feeds)
        EXPECT_TRUE(sameBlocks(chunk(data, next), whole)) << name;
}

// An edit in the middle changes the blocks around it; the blocks after it
// keep their content and hash, only their offsets move.
TEST(JxLBFS, EditChangesOnlyNearbyBlocks) {
    const Bytes data = noise(2u << 20, 11);
    const auto before = chunk(data);
    const size_t mid = data.size() / 2;
    struct Edit {
        const char* name;
        long delta;
    };
    for (const Edit edit : {Edit{"insert one", 1}, Edit{"delete one", -1}, Edit{"insert 100", 100},
                            Edit{"delete 100", -100}}) {
        SCOPED_TRACE(edit.name);
        Bytes changed(data.begin(), data.begin() + static_cast<long>(mid));
        if (edit.delta > 0) changed.insert(changed.end(), static_cast<size_t>(edit.delta), 0xa5);
        const size_t resume = edit.delta < 0 ? mid + static_cast<size_t>(-edit.delta) : mid;
        changed.insert(changed.end(), data.begin() + static_cast<long>(resume), data.end());
        const auto after = chunk(changed);
        expectTiling(changed, after);

        size_t lead = 0;  // blocks equal from the front
        while (lead < before.size() && lead < after.size() &&
               sameBlocks({before[lead]}, {after[lead]}))
            ++lead;
        size_t tail = 0;  // blocks with equal hashes from the back
        while (tail < before.size() - lead && tail < after.size() - lead &&
               lbfsHex(before[before.size() - 1 - tail].hash, 32) ==
                   lbfsHex(after[after.size() - 1 - tail].hash, 32))
            ++tail;
        EXPECT_LE(after.size() - lead - tail, 3u);
        EXPECT_LE(before.size() - lead - tail, 3u);
        EXPECT_GT(tail, before.size() / 3);
        const auto& lastBefore = before.back().block;
        const auto& lastAfter = after.back().block;
        EXPECT_EQ(static_cast<long>(lastAfter.offset) - static_cast<long>(lastBefore.offset),
                  edit.delta);
    }
}

// Sizes at the limits, on content with no cut points (zeros) and on noise.
TEST(JxLBFS, SizesAtTheLimits) {
    const size_t kMax = kMaxBlockSize;
    struct Case {
        const char* name;
        Bytes data;
        std::vector<uint32_t> lengths;
    };
    const std::vector<Case> cases = {
        {"empty", {}, {}},
        {"one byte", Bytes(1), {1}},
        {"zeros, min", Bytes(kMinBlockSize), {kMinBlockSize}},
        {"zeros, max", Bytes(kMax), {kMaxBlockSize}},
        {"zeros, max + 1", Bytes(kMax + 1), {kMaxBlockSize, 1}},
        {"zeros, 3 max + 5", Bytes(3 * kMax + 5), {kMaxBlockSize, kMaxBlockSize, kMaxBlockSize, 5}},
        {"noise, min - 1", noise(kMinBlockSize - 1), {kMinBlockSize - 1}},
        {"noise, min", noise(kMinBlockSize), {kMinBlockSize}},
    };
    for (const auto& c : cases) {
        const auto blocks = chunk(c.data);
        std::vector<uint32_t> lengths;
        for (const auto& b : blocks) lengths.push_back(b.block.length);
        EXPECT_EQ(lengths, c.lengths) << c.name;
        expectTiling(c.data, blocks);
    }
}

TEST(JxLBFS, FindCutAgreesWithTheChunker) {
    const Bytes data = noise(1u << 20, 3);
    const auto blocks = chunk(data);
    size_t at = 0;
    for (const auto& b : blocks) {
        ASSERT_EQ(JxLBFS::findCut(data.data() + at, data.size() - at), b.block.length);
        at += b.block.length;
    }
    const Bytes zeros(3 * kMaxBlockSize);
    EXPECT_EQ(JxLBFS::findCut(zeros.data(), zeros.size()), kMaxBlockSize);
    EXPECT_EQ(JxLBFS::findCut(zeros.data(), 100), 100u);
    EXPECT_EQ(JxLBFS::getMinBlockSize(), kMinBlockSize);
    EXPECT_EQ(JxLBFS::getAvgBlockSize(), JxLBFS::kAvgBlockSize);
}

TEST(JxLBFS, ResetStartsOverAtOffsetZero) {
    const Bytes data = noise(300000, 5);
    std::vector<HashBlock> blocks;
    JxLBFS::Chunker chunker(&collect, &blocks);
    chunker.feed(data.data(), 12345);
    chunker.finish();
    chunker.reset();
    blocks.clear();
    chunker.feed(data.data(), data.size());
    chunker.finish();
    EXPECT_TRUE(sameBlocks(blocks, chunk(data)));
}

class JxLBFSFiles : public ::testing::Test {
  protected:
    flrtest::TempDir dir_;
    Bytes data_ = noise(3u << 20, 17);  // several read buffers

    std::string writeData() {
        const std::string path = dir_.file("data");
        flrtest::writeFile(path, std::string(data_.begin(), data_.end()));
        return path;
    }
};

TEST_F(JxLBFSFiles, PathAndDescriptorGiveTheChunkersBlocks) {
    const std::string path = writeData();
    const auto expect = chunk(data_);
    std::vector<HashBlock> byPath;
    ASSERT_TRUE(JxLBFS::split(path, byPath).IsSuccess());
    EXPECT_TRUE(sameBlocks(byPath, expect));

    std::list<HashBlock> asList;
    ASSERT_TRUE(JxLBFS::split(path, asList).IsSuccess());
    EXPECT_TRUE(sameBlocks({asList.begin(), asList.end()}, expect));

    // The descriptor is read from 0 whatever its offset, which stays put.
    const int fd = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::lseek(fd, 1000, SEEK_SET), 1000);
    std::vector<HashBlock> byFd = {HashBlock()};  // cleared first
    ASSERT_TRUE(JxLBFS::split(fd, byFd).IsSuccess());
    EXPECT_TRUE(sameBlocks(byFd, expect));
    asList.clear();
    ASSERT_TRUE(JxLBFS::split(fd, asList).IsSuccess());
    EXPECT_TRUE(sameBlocks({asList.begin(), asList.end()}, expect));
    EXPECT_EQ(::lseek(fd, 0, SEEK_CUR), 1000);
    ::close(fd);
}

TEST_F(JxLBFSFiles, FailuresNameTheFile) {
    const std::string missing = dir_.file("missing");
    std::vector<HashBlock> blocks;
    const CQiError openErr = JxLBFS::split(missing, blocks);
    EXPECT_LT(openErr.GetCode(), 0);
    EXPECT_NE(openErr.GetMessage().find("Couldn't open " + missing), std::string::npos)
        << openErr.GetMessage();
    EXPECT_NE(openErr.GetMessage().find(strerror(ENOENT)), std::string::npos);

    // A read that fails after the first buffer.
    struct FailingReads : jx::PosixFileOps {
        int reads = 0;
        ssize_t pread(int fd, void* buf, size_t len, off_t offset) override {
            if (++reads > 1) {
                errno = EIO;
                return -1;
            }
            return jx::PosixFileOps::pread(fd, buf, len, offset);
        }
    } failing;
    const std::string path = writeData();
    jx::ScopedFileOps scoped(failing);
    const CQiError readErr = JxLBFS::split(path, blocks);
    EXPECT_LT(readErr.GetCode(), 0);
    EXPECT_NE(readErr.GetMessage().find("Couldn't read " + path), std::string::npos)
        << readErr.GetMessage();
    EXPECT_NE(readErr.GetMessage().find(strerror(EIO)), std::string::npos);
}

}  // namespace
