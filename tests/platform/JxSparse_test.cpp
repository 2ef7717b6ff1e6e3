#include "platform/JxSparse.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/JxFile.h"
#include "support/SparseFile.h"
#include "support/TestSupport.h"

namespace {

using flrtest::allocatedBytes;
using flrtest::Extent;
using flrtest::noZeros;
using flrtest::writeSparse;

constexpr int64_t kMiB = 1 << 20;
// What a file system may allocate beyond the data: partial blocks, an
// extent tree, indirect blocks.
constexpr int64_t kSlack = 64 << 10;

struct Piece {
    size_t from;
    size_t n;
    bool zero;
    bool operator==(const Piece& o) const { return from == o.from && n == o.n && zero == o.zero; }
};

std::string describe(const std::vector<Piece>& pieces) {
    std::string s;
    for (const Piece& r : pieces)
        s += (r.zero ? "Z" : "D") + std::to_string(r.from) + "+" + std::to_string(r.n) + " ";
    return s;
}

// A piece built from (length, zero?) parts, split at a given file offset.
TEST(JxSparse, ZeroRunsAreWholeAlignedUnitsOfTheMinimumLength) {
    struct Case {
        const char* name;
        std::vector<std::pair<size_t, bool>> parts;  // (bytes, zero)
        int64_t base;
        size_t minHole;
        std::vector<Piece> want;
    };
    const size_t U = jx::kHoleUnit;
    const std::vector<Case> cases = {
        {"all data", {{3 * U, false}}, 0, U, {{0, 3 * U, false}}},
        {"all zero, shorter than the minimum", {{100, true}}, 0, U, {{0, 100, true}}},
        {"hole between data",
         {{U, false}, {2 * U, true}, {U, false}},
         0,
         U,
         {{0, U, false}, {U, 2 * U, true}, {3 * U, U, false}}},
        {"zeros at the end", {{U, false}, {2 * U, true}}, 0, U, {{0, U, false}, {U, 2 * U, true}}},
        {"zero run below the minimum stays data",
         {{U, false}, {U, true}, {U, false}},
         0,
         2 * U,
         {{0, 3 * U, false}}},
        // At base 100 the units end at U - 100, 2U - 100, ...: a zero run must
        // cover whole aligned units.
        {"unaligned piece",
         {{U - 100, false}, {2 * U, true}, {100, false}},
         100,
         U,
         {{0, U - 100, false}, {U - 100, 2 * U, true}, {3 * U - 100, 100, false}}},
        {"zeros not covering an aligned unit stay data",
         {{10, false}, {U, true}, {10, false}},
         0,
         U,
         {{0, U + 20, false}}},
        {"leading zeros", {{2 * U, true}, {5, false}}, 0, U, {{0, 2 * U, true}, {2 * U, 5, false}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string piece;
        for (const auto& [n, zero] : c.parts) piece += zero ? std::string(n, '\0') : noZeros(n, 3);
        std::vector<Piece> got;
        jx::forEachZeroRun(reinterpret_cast<const unsigned char*>(piece.data()), piece.size(),
                           c.base, c.minHole, [&](size_t from, size_t n, bool zero) {
                               got.push_back({from, n, zero});
                           });
        EXPECT_EQ(got, c.want) << describe(got);
    }
}

struct SparseDir {
    flrtest::TempDir dir;
    bool holes = jx::keepsHoles(dir.path().c_str());
};

TEST(JxSparse, DataRangesSkipTheHoles) {
    SparseDir d;
    if (!d.holes) GTEST_SKIP() << "the test folder's file system keeps no holes";
    const std::string path = d.dir.file("f");
    writeSparse(path, 16 * kMiB, {{0, 4096}, {4 * kMiB, 8192}, {16 * kMiB - 4096, 4096}});
    jx::File f = jx::openFile(path, O_RDONLY);
    std::vector<std::pair<int64_t, int64_t>> got;
    jx::DataRange r;
    for (int64_t at = 0; jx::nextDataRange(f.get(), at, 16 * kMiB, &r); at = r.offset + r.length)
        got.emplace_back(r.offset, r.length);
    const std::vector<std::pair<int64_t, int64_t>> want = {
        {0, 4096}, {4 * kMiB, 8192}, {16 * kMiB - 4096, 4096}};
    EXPECT_EQ(got, want);
    // A window that ends inside a range cuts it; one in a hole finds nothing.
    ASSERT_TRUE(jx::nextDataRange(f.get(), 100, 4 * kMiB + 10, &r));
    EXPECT_EQ(r.offset, 100);
    EXPECT_EQ(r.length, 4096 - 100);
    EXPECT_FALSE(jx::nextDataRange(f.get(), 8192, 4 * kMiB, &r));
    EXPECT_FALSE(jx::nextDataRange(f.get(), 16 * kMiB, 16 * kMiB, &r));
}

// Every way a write meets zeros: the bytes read back as if written, the
// size is what a plain write leaves, and the zeros take no space.
TEST(JxSparse, ZeroWritesLeaveHolesAndTheSameBytes) {
    SparseDir d;
    if (!d.holes) GTEST_SKIP() << "the test folder's file system keeps no holes";
    struct Case {
        const char* name;
        std::string before;  // the file's content first
        int64_t offset;
        std::string piece;
        int64_t maxAllocated;
    };
    const std::string data = noZeros(4096, 9);
    const std::string zeros(2 * kMiB, '\0');
    const std::vector<Case> cases = {
        {"zeros past the end grow the file only", data, 4096, zeros, 4096 + kSlack},
        {"data after zeros past the end", "", 0, zeros + data, 4096 + kSlack},
        {"zeros over data are punched", noZeros(2 * kMiB, 4), 0, zeros, kSlack},
        {"zeros partly over data, partly past the end", noZeros(kMiB, 5), 0, zeros, kSlack},
        {"short zeros inside data", data + data, 100, std::string(100, '\0'), 8192 + kSlack},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = d.dir.file("w");
        flrtest::writeFile(path, c.before);
        jx::File f = jx::openFile(path, O_RDWR);
        ASSERT_EQ(0, jx::writeSparseAt(f.get(), c.piece.data(), c.piece.size(), c.offset));
        f.reset();
        std::string want = c.before;
        const size_t end = static_cast<size_t>(c.offset) + c.piece.size();
        if (want.size() < end) want.resize(end, '\0');
        want.replace(static_cast<size_t>(c.offset), c.piece.size(), c.piece);
        EXPECT_TRUE(flrtest::readFile(path) == want);
        EXPECT_LE(allocatedBytes(path), c.maxAllocated);
    }
}

TEST(JxSparse, CopiedRangesKeepTheSourceHoles) {
    SparseDir d;
    if (!d.holes) GTEST_SKIP() << "the test folder's file system keeps no holes";
    const std::string src = d.dir.file("src");
    const std::string dst = d.dir.file("dst");
    const int64_t size = 8 * kMiB;
    const int64_t data = writeSparse(src, size, {{kMiB, 65536}, {5 * kMiB, 4096}});
    jx::File in = jx::openFile(src, O_RDONLY);
    jx::File out = jx::openFile(dst, O_RDWR | O_CREAT | O_TRUNC, 0600);
    // The whole file at an offset, then a window that ends in a hole.
    ASSERT_EQ(0, jx::copyDataRanges(in.get(), 0, out.get(), 4096, size));
    out.reset();
    EXPECT_TRUE(flrtest::readFile(dst) == std::string(4096, '\0') + flrtest::readFile(src));
    EXPECT_LE(allocatedBytes(dst), data + 2 * 4096 + kSlack);

    jx::File out2 = jx::openFile(dst, O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_EQ(0, jx::copyDataRanges(in.get(), kMiB, out2.get(), 0, 2 * kMiB));
    out2.reset();
    EXPECT_TRUE(flrtest::readFile(dst) == flrtest::readFile(src).substr(kMiB, 2 * kMiB));
    // A source shorter than the range is an error, as for copyRange.
    jx::File out3 = jx::openFile(dst, O_RDWR | O_TRUNC);
    EXPECT_EQ(EIO, jx::copyDataRanges(in.get(), size - 10, out3.get(), 0, 20));
}

}  // namespace
