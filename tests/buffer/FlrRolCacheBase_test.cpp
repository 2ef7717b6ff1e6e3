// The cache directory: scanning, look-ups by sequence number, the generation
// number and the small parsing helpers.
#include "buffer/FlrRolCacheBase.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "FLR/JxException.h"
#include "FlrRolCacheTestUtil.h"
#include "platform/EvDebug.h"
#include "platform/JXPlatformInfo.h"
#include "support/TestSupport.h"

namespace {

class RolCacheBaseTest : public ::testing::Test {
  protected:
    flrtest::ScopedRegistry reg;
    flrtest::TempDir dir;
    std::string path(const std::string& name) const { return dir.file(name); }
};

TEST_F(RolCacheBaseTest, RefusesMissingDirectoryName) {
    for (const char* name : {static_cast<const char*>(nullptr), ""}) {
        try {
            FlrRolCacheBase base(name);
            FAIL() << "accepted an empty name";
        } catch (const JxException& e) {
            EXPECT_EQ(e.getMessage(), "NULL or empty cache directory name passed as input.");
            EXPECT_EQ(e.getFunction(), "FlrRolCacheBase");
            EXPECT_EQ(e.getSource(), "FlrRolCacheBase");
        }
    }
}

TEST_F(RolCacheBaseTest, MissingDirectoryIsReportedWithErrno) {
    const std::string missing = path("nope");
    try {
        FlrRolCacheBase base(missing.c_str());
        FAIL();
    } catch (const JxException& e) {
        EXPECT_EQ(e.getMessage(),
                  "Failed to open directory " + missing + ": No such file or directory");
        EXPECT_EQ(e.getCode(), ENOENT);
    }
}

TEST_F(RolCacheBaseTest, EmptyDirectory) {
    EvDebugCapture cap;
    FlrRolCacheBase base(dir.path().c_str());
    EXPECT_TRUE(base.getFiles().empty());
    EXPECT_EQ(base.getDiskBytes(), 0u);
    EXPECT_TRUE(cap.contains("Discovered 0 cache files (0.000000MB)."));
    EXPECT_TRUE(cap.contains("Cache dir: " + dir.path()));
    EXPECT_EQ(base.getFileName(1), "");
}

TEST_F(RolCacheBaseTest, ScanSortsFilesAndCountsEverySize) {
    flrtest::writeFile(path("cache.10"), std::string(100, 'a'));
    flrtest::writeFile(path("cache.2"), std::string(20, 'b'));
    flrtest::writeFile(path("cache.300"), std::string(3, 'c'));
    flrtest::writeFile(path("cache.12abc"), std::string(1000, 'd'));
    flrtest::writeFile(path("cache.007"), std::string(7, 'e'));
    flrtest::writeFile(path("other"), std::string(5000, 'f'));  // not ours, not counted
    EvDebugCapture cap;
    FlrRolCacheBase base(dir.path().c_str());
    EXPECT_EQ(base.getFiles(), (std::vector<uint64_t>{2, 10, 300}));
    // Unexpected cache.* names still take disk space.
    EXPECT_EQ(base.getDiskBytes(), 100u + 20 + 3 + 1000 + 7);
    EXPECT_TRUE(cap.contains("Unexpected file cache.12abc found in cache directory " + dir.path()));
    // A leading zero names a file this cache never writes: its path would
    // be rebuilt as cache.7, which does not exist.
    EXPECT_TRUE(cap.contains("Unexpected file cache.007 found in cache directory " + dir.path()));
    EXPECT_FALSE(cap.containsFragment("other"));

    int index = -1;
    EXPECT_EQ(base.getFileName(9, &index), path("cache.2"));
    EXPECT_EQ(index, 0);
    EXPECT_EQ(base.getFileName(10, &index), path("cache.10"));
    EXPECT_EQ(index, 1);
    index = 42;
    EXPECT_EQ(base.getFileName(1, &index), "");
    EXPECT_EQ(index, 42);  // untouched when nothing is found
    EXPECT_EQ(base.getFileName(5000, &index), path("cache.300"));
    EXPECT_EQ(index, 2);
    EXPECT_EQ(base.getFileName(299), path("cache.10"));

    index = 2;
    EXPECT_EQ(base.getNextFileName(index), "");
    EXPECT_EQ(index, 2);
    index = 0;
    EXPECT_EQ(base.getNextFileName(index), path("cache.10"));
    EXPECT_EQ(index, 1);
    index = -1;
    EXPECT_EQ(base.getNextFileName(index), "");
    EXPECT_EQ(index, -1);
}

TEST_F(RolCacheBaseTest, RescanSeesChanges) {
    flrtest::writeFile(path("cache.5"), "x");
    FlrRolCacheBase base(dir.path().c_str());
    EXPECT_EQ(base.getFiles(), std::vector<uint64_t>{5});
    flrtest::writeFile(path("cache.50"), "yy");
    ::unlink(path("cache.5").c_str());
    base.scanDisk();
    EXPECT_EQ(base.getFiles(), std::vector<uint64_t>{50});
    EXPECT_EQ(base.getDiskBytes(), 2u);
}

TEST_F(RolCacheBaseTest, ScanCreatesTheLockFile) {
    FlrRolCacheBase base(dir.path().c_str());
    EXPECT_EQ(::access(path(".lock").c_str(), F_OK), 0);
}

TEST_F(RolCacheBaseTest, CacheFileNames) {
    uint64_t seq = 0;
    EXPECT_TRUE(FlrRolCacheBase::parseCacheFileName("cache.1", seq));
    EXPECT_EQ(seq, 1u);
    EXPECT_TRUE(FlrRolCacheBase::parseCacheFileName("cache.9223372036854775807", seq));
    EXPECT_EQ(seq, 9223372036854775807ULL);
    for (const char* bad :
         {"cache.", "cache.0", "cache.01", "cache. 5", "cache.5 ", "cache.-5", "cache.+5",
          "cache.9223372036854775808", "cache.99999999999999999999", "cachex5", "cache.5.tmp"})
        EXPECT_FALSE(FlrRolCacheBase::parseCacheFileName(bad, seq)) << bad;
    EXPECT_EQ(FlrRolCacheBase::cacheFileName(123456789012345ULL), "cache.123456789012345");
}

TEST_F(RolCacheBaseTest, Strtoll) {
    const char* end = nullptr;
    const char* text = "  42x";
    EXPECT_EQ(FlrRolCacheBase::strtoll(text, &end), 42);
    EXPECT_EQ(end, text + 4);
    text = "-5";
    EXPECT_EQ(FlrRolCacheBase::strtoll(text, &end), 0);
    EXPECT_EQ(end, text);
    text = "   ";
    EXPECT_EQ(FlrRolCacheBase::strtoll(text, &end), 0);
    EXPECT_EQ(end, text + 3);
    EXPECT_EQ(FlrRolCacheBase::strtoll(""), 0);
    EXPECT_EQ(FlrRolCacheBase::strtoll("\t\n 9007199254740993"), 9007199254740993LL);
}

TEST_F(RolCacheBaseTest, RecordHeaderIsBigEndian) {
    unsigned char hdr[12];
    FlrRolCacheBase::encodeRecordHeader(0x0102030405060708ULL, 0x0A0B0C0D, hdr);
    const unsigned char want[12] = {1, 2, 3, 4, 5, 6, 7, 8, 0x0A, 0x0B, 0x0C, 0x0D};
    EXPECT_EQ(0, std::memcmp(hdr, want, 12));
    uint64_t seq = 0;
    int32_t len = 0;
    FlrRolCacheBase::decodeRecordHeader(hdr, seq, len);
    EXPECT_EQ(seq, 0x0102030405060708ULL);
    EXPECT_EQ(len, 0x0A0B0C0D);
    const unsigned char neg[12] = {0, 0, 0, 0, 0, 0, 0, 1, 0xFF, 0xFF, 0xFF, 0xFE};
    FlrRolCacheBase::decodeRecordHeader(neg, seq, len);
    EXPECT_EQ(len, -2);
    EXPECT_EQ(std::string(FlrRolCacheBase::sig, 8), std::string("ZRP1L\n\x0E\xAF", 8));
}

TEST_F(RolCacheBaseTest, GenerationNumberLivesInTheRegistry) {
    {
        FlrRolCacheBase base(dir.path().c_str());
        EXPECT_EQ(base.getGenID(), 0u);  // key absent
        base.setGenID(0x123456789ULL);
        EXPECT_EQ(base.getGenID(), 0x123456789ULL);
    }
    long long stored = 0;
    ASSERT_TRUE(JXPlatformInfo::getLongLong("ZRP", "nRolCacheGenID", stored));
    EXPECT_EQ(stored, 0x123456789LL);
    FlrRolCacheBase again(dir.path().c_str());
    EXPECT_EQ(again.getGenID(), 0x123456789ULL);
}

TEST_F(RolCacheBaseTest, ReadAllUsesTheCacheFileMessages) {
    flrtest::writeFile(path("f"), "abc");
    const int fd = ::open(path("f").c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    char buf[8];
    try {
        FlrRolCacheBase::readAll(fd, buf, 8, false);
        FAIL();
    } catch (const JxException& e) {
        EXPECT_EQ(e.getMessage(), "Failed to read data from cache file: Unexpected EOF.");
        EXPECT_EQ(e.getFunction(), "readAll");
        EXPECT_EQ(e.getSource(), "FlrRolCacheBase");
    }
    EXPECT_EQ(FlrRolCacheBase::readAll(fd, buf, 8, false), 0);  // clean end
    ::close(fd);
}

}  // namespace
