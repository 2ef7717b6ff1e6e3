// Block checksum files of the rolling cache: written durably (file and folder
// synced before the sums count as written), loaded only when whole.
#include "buffer/FlrRolCacheSum.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "buffer/FlrRolCacheBase.h"
#include "platform/JxFile.h"
#include "support/FaultyFileOps.h"
#include "support/TestSupport.h"

namespace {

FlrRolCacheSum sumsOf(const std::string& bytes) {
    FlrRolCacheSum sum;
    sum.add(bytes.data(), bytes.size());
    return sum;
}

}  // namespace

// The sums are on disk, file and folder entry, before write() reports them
// written; a failing sync is a failed write that keeps the previous sums.
TEST(FlrRolCacheSum, WriteSyncsFileAndFolderAndKeepsOldSumsOnFailure) {
    using Op = flrtest::FaultyFileOps::Op;
    flrtest::TempDir dir;
    const std::string cache = dir.file(FlrRolCacheBase::cacheFileName(7));
    const std::string before(200000, 'a'), after(150000, 'b');
    ASSERT_TRUE(sumsOf(before).write(cache));
    for (const auto& [op, nth] : {std::pair{Op::Fsync, 1}, std::pair{Op::Write, 1},
                                  std::pair{Op::Rename, 1}, std::pair{Op::Fsync, 2}}) {
        flrtest::FaultyFileOps faulty;
        faulty.failNth(op, nth, EIO);
        {
            jx::ScopedFileOps scope(faulty);
            errno = 0;
            const bool written = sumsOf(after).write(cache);
            if (op == Op::Fsync && nth == 2) {
                // The folder sync comes after the rename: the new sums are in
                // place but not known durable, and the caller hears of it.
                EXPECT_FALSE(written);
                continue;
            }
            EXPECT_FALSE(written) << static_cast<int>(op);
            EXPECT_EQ(EIO, errno);
        }
        uint64_t size = 0;
        std::vector<uint32_t> blocks;
        ASSERT_TRUE(FlrRolCacheSum::load(cache, size, blocks));
        EXPECT_EQ(before.size(), size);
        EXPECT_EQ(
            -1, FlrRolCacheSum::firstBadBlock(reinterpret_cast<const unsigned char*>(before.data()),
                                              before.size(), blocks));
    }
    flrtest::FaultyFileOps counting;
    {
        jx::ScopedFileOps scope(counting);
        ASSERT_TRUE(sumsOf(after).write(cache));
    }
    EXPECT_EQ(2, counting.count(Op::Fsync));  // the file, then its folder
    for (const std::string& name : jx::listDir(dir.path()))
        EXPECT_FALSE(jx::isAtomicTempName(name)) << name;
}

// A sum file cut at any length is not loaded: verification then has no sums
// rather than wrong ones.
TEST(FlrRolCacheSum, EveryTruncationIsRefused) {
    flrtest::TempDir dir;
    const std::string cache = dir.file(FlrRolCacheBase::cacheFileName(3));
    ASSERT_TRUE(sumsOf(std::string(3 * 65536 + 100, 'x')).write(cache));
    const std::string bytes = flrtest::readFile(FlrRolCacheSum::sumFileName(cache));
    uint64_t size = 0;
    std::vector<uint32_t> blocks;
    for (size_t len = 0; len < bytes.size(); ++len) {
        flrtest::writeFile(FlrRolCacheSum::sumFileName(cache), bytes.substr(0, len));
        EXPECT_FALSE(FlrRolCacheSum::load(cache, size, blocks)) << "cut at " << len;
    }
    flrtest::writeFile(FlrRolCacheSum::sumFileName(cache), bytes);
    ASSERT_TRUE(FlrRolCacheSum::load(cache, size, blocks));
    EXPECT_EQ(4u, blocks.size());
}
