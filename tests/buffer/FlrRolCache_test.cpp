// The writing side of the rolling cache: limits, the file format on disk,
// rotation, the disk and memory limits, the resident index, clearing and
// what a failed write leaves behind.
#include "buffer/FlrRolCache.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "FLR/JxException.h"
#include "FlrRolCacheTestUtil.h"
#include "buffer/FlrRolCacheWBA.h"
#include "platform/EvDebug.h"
#include "platform/JXPlatformInfo.h"
#include "support/TestSupport.h"

namespace {

constexpr int kMebibyte = 1048576;

class RolCacheTest : public ::testing::Test {
  protected:
    flrtest::ScopedRegistry reg;
    flrtest::TempDir dir;
    const char* d() const { return dir.path().c_str(); }
    std::string path(const std::string& name) const { return dir.file(name); }

    static void add(FlrRolCache& c, uint64_t seq, size_t len) {
        const std::string p = rctest::payload(seq, len);
        c.addEntry(p.data(), static_cast<int>(p.size()), seq);
    }
    static long long fileSize(const std::string& p) {
        struct stat st;
        return ::stat(p.c_str(), &st) == 0 ? st.st_size : -1;
    }
    // The cache files really in the directory, ascending.
    std::vector<uint64_t> filesOnDisk() const {
        FlrRolCacheBase scan(d());
        return scan.getFiles();
    }
};

std::string whatOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const JxException& e) {
        return e.getMessage();
    }
    return "(no exception)";
}

TEST_F(RolCacheTest, LimitsAndIndexSize) {
    EXPECT_EQ(whatOf([&] { FlrRolCache c(d(), 4 * kMebibyte, 2097151); }),
              "Resident part of rolling cache (2097151) is too small: should be at least 2097152");
    EXPECT_EQ(whatOf([&] { FlrRolCache c(d(), 2097151, 4 * kMebibyte); }),
              "Disk part of rolling cache (2097151) is too small: should be at least 2097152");
    {
        EvDebugCapture cap;
        FlrRolCache c(d(), 2097152, 2097152);
        EXPECT_EQ(c.getBuckets(), 2048);
        EXPECT_TRUE(cap.contains("Memory Cache hash buckets: 2048, mask: 0x000007ff"));
        EXPECT_TRUE(cap.contains("Thread Context hash buckets: 128, mask: 0x0000007f"));
        EXPECT_TRUE(
            cap.contains("Max Cache Size: 2097152 (0.001953GB), Max VM: 2097152 (2.000000MB)"));
    }
    FlrRolCache c3(d(), 4 * kMebibyte, 3 * kMebibyte);
    EXPECT_EQ(c3.getBuckets(), 4096);
    try {
        FlrRolCache c(d(), 4 * kMebibyte, 0);
    } catch (const JxException& e) {
        EXPECT_EQ(e.getFunction(), "FlrRolCache::FlrRolCache");
        EXPECT_EQ(e.getSource(), "FlrRolCache");
    }
}

TEST_F(RolCacheTest, RefusedEntriesLeaveTheCacheAsItWas) {
    FlrRolCache c(d(), 4 * kMebibyte, 2 * kMebibyte);
    add(c, 5, 10);
    add(c, 9, 10);
    add(c, 12, 10);
    const std::string before = flrtest::readFile(path("cache.5"));
    const char data[4] = {1, 2, 3, 4};
    EXPECT_EQ(whatOf([&] { c.addEntry(data, 4, 0); }),
              "Invalid sequence number: must be 1 or higher.");
    EXPECT_EQ(whatOf([&] { c.addEntry(nullptr, 4, 13); }),
              "NULL or empty journal entry passed to FlrRolCache::addEntry()");
    EXPECT_EQ(whatOf([&] { c.addEntry(data, 0, 13); }),
              "NULL or empty journal entry passed to FlrRolCache::addEntry()");
    EXPECT_EQ(whatOf([&] { c.addEntry(data, 4, 12); }),
              "Duplicate sequence number 12 detected. An entry with the same number has just "
              "been added, so I can't add it again.");
    EXPECT_EQ(whatOf([&] { c.addEntry(data, 4, 11); }),
              "Sequence number rollback detected: last number was 12, and this one is 11.");
    // Checked in this order: a zero number wins over an empty entry.
    EXPECT_EQ(whatOf([&] { c.addEntry(nullptr, 0, 0); }),
              "Invalid sequence number: must be 1 or higher.");
    EXPECT_EQ(whatOf([&] { c.addEntry(data, 4, 0x8000000000000000ULL); }),
              "Sequence number 9223372036854775808 is too large for the rolling cache: at most "
              "9223372036854775807.");
    EXPECT_EQ(whatOf([&] { c.addEntry(data, FlrRolCacheBase::kMaxEntryLen + 1, 13); }),
              "Journal entry of 10485741 bytes is too large for the rolling cache: at most "
              "10485740 bytes.");
    EXPECT_EQ(c.getLastSeq(), 12u);
    EXPECT_EQ(c.getMemCount(), 3);
    EXPECT_EQ(flrtest::readFile(path("cache.5")), before);
    add(c, 13, 1);  // numbers need not be consecutive
    EXPECT_EQ(c.getLastSeq(), 13u);
}

TEST_F(RolCacheTest, FileBytesAreTheFormat) {
    FlrRolCache c(d(), 4 * kMebibyte, 2 * kMebibyte);
    EXPECT_TRUE(c.getFiles().empty());
    add(c, 5, 3);
    add(c, 9, 1);
    add(c, 12, 300);
    EXPECT_EQ(filesOnDisk(), std::vector<uint64_t>{5});
    EXPECT_EQ(flrtest::readFile(path("cache.5")), rctest::fileBytes({{5, 3}, {9, 1}, {12, 300}}));
    struct stat st;
    ASSERT_EQ(::stat(path("cache.5").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(c.getDiskBytes(), static_cast<uint64_t>(st.st_size));
    EXPECT_EQ(c.getMemUsed(), 304);
    EXPECT_EQ(c.getOldestResident(), 5u);
}

TEST_F(RolCacheTest, RotatesAfterAMegabyteOfRecords) {
    FlrRolCache c(d(), 64 * kMebibyte, 2 * kMebibyte);
    const size_t len = 100 * 1024;
    uint64_t seq = 1;
    // 10 records take 10 * (102400 + 12) bytes, short of 1 MiB; the 11th
    // crosses it, so the 12th starts the next file.
    for (; seq <= 11; ++seq) add(c, seq, len);
    EXPECT_EQ(filesOnDisk(), std::vector<uint64_t>{1});
    add(c, seq, len);
    EXPECT_EQ(filesOnDisk(), (std::vector<uint64_t>{1, 12}));
    EXPECT_EQ(fileSize(path("cache.1")), 8 + 11 * (102400 + 12));
    EXPECT_EQ(c.getFiles(), (std::vector<uint64_t>{1, 12}));
}

// A run of entries written in groups leaves the same files and state as the
// same entries added one at a time, across group and rotation boundaries.
TEST_F(RolCacheTest, AddEntriesMatchesAddingOneByOne) {
    std::vector<std::string> payloads;
    std::vector<FlrRolCache::Item> items;
    for (uint64_t seq = 1; seq <= 700; ++seq)  // about 2.1 MiB: rotates and evicts
        payloads.push_back(rctest::payload(seq, seq % 7 == 0 ? 20000 : 150 + seq % 50));
    for (size_t i = 0; i < payloads.size(); ++i)
        items.push_back({payloads[i].data(), static_cast<int>(payloads[i].size()), 3 * i + 1});
    flrtest::TempDir single;
    FlrRolCache one(single.path().c_str(), 64 * kMebibyte, 2 * kMebibyte);
    for (const FlrRolCache::Item& it : items) one.addEntry(it.data, it.len, it.seq);
    FlrRolCache grouped(d(), 64 * kMebibyte, 2 * kMebibyte);
    // Runs of uneven lengths, one longer than a group.
    for (size_t at = 0, n = 1; at < items.size(); at += n, n = n * 3 + 1)
        grouped.addEntries(&items[at], static_cast<int>(std::min(n, items.size() - at)));

    ASSERT_EQ(grouped.getFiles(), one.getFiles());
    EXPECT_GE(grouped.getFiles().size(), 2u);
    for (uint64_t f : one.getFiles()) {
        const std::string name = FlrRolCacheBase::cacheFileName(f);
        EXPECT_EQ(flrtest::readFile(path(name)), flrtest::readFile(single.file(name))) << name;
    }
    EXPECT_EQ(grouped.getLastSeq(), one.getLastSeq());
    EXPECT_EQ(grouped.getMemUsed(), one.getMemUsed());
    EXPECT_EQ(grouped.getOldestResident(), one.getOldestResident());
    EXPECT_EQ(grouped.getDiskBytes(), one.getDiskBytes());
}

// A refused entry in a run: those before it are added, it and those after
// it are not.
TEST_F(RolCacheTest, AddEntriesStopsAtARefusedEntry) {
    FlrRolCache c(d(), 4 * kMebibyte, 2 * kMebibyte);
    const char data[] = "abcd";
    const std::vector<FlrRolCache::Item> items = {
        {data, 4, 10}, {data, 4, 11}, {data, 4, 11}, {data, 4, 12}};
    EXPECT_EQ(whatOf([&] { c.addEntries(items.data(), static_cast<int>(items.size())); }),
              "Duplicate sequence number 11 detected. An entry with the same number has just "
              "been added, so I can't add it again.");
    EXPECT_EQ(c.getLastSeq(), 11u);
    EXPECT_EQ(c.getMemUsed(), 8);
    EXPECT_EQ(
        flrtest::readFile(path("cache.10")),
        rctest::sigBytes() + rctest::recordBytes(10, "abcd") + rctest::recordBytes(11, "abcd"));
}

TEST_F(RolCacheTest, NoFileGrowsBeyondWhatReadersAccept) {
    FlrRolCache c(d(), 64 * kMebibyte, 2 * kMebibyte);
    add(c, 1, kMebibyte - 100);  // just short of the rotation size
    // Appending this one would make cache.1 larger than 10 MiB.
    add(c, 2, FlrRolCacheBase::kMaxEntryLen);
    add(c, 3, 10);
    EXPECT_EQ(filesOnDisk(), (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_EQ(fileSize(path("cache.2")), FlrRolCacheBase::kMaxFileSize);
    FlrRolCacheWBA wba(d());
    const char* data = nullptr;
    int len = 0;
    ASSERT_EQ(wba.getEntry(2, &data, &len), 1);
    EXPECT_EQ(len, FlrRolCacheBase::kMaxEntryLen);
    EXPECT_EQ(std::string(data, 64),
              rctest::payload(2, FlrRolCacheBase::kMaxEntryLen).substr(0, 64));
}

TEST_F(RolCacheTest, DiskLimitDeletesOldestFilesFirst) {
    FlrRolCache c(d(), 2 * kMebibyte, 2 * kMebibyte);
    const size_t len = 100 * 1024;
    uint64_t lastFirst = 0;
    for (uint64_t seq = 1; seq <= 120; ++seq) {
        add(c, seq, len);
        const auto onDisk = filesOnDisk();
        ASSERT_EQ(onDisk, c.getFiles()) << "after " << seq;
        ASSERT_LE(onDisk.size(), 2u) << "after " << seq;
        ASSERT_GE(onDisk.front(), lastFirst);
        lastFirst = onDisk.front();
    }
    EXPECT_GT(lastFirst, 1u);
    // diskBytes keeps up with what the directory really holds.
    long long total = 0;
    for (uint64_t f : c.getFiles()) total += fileSize(path(FlrRolCacheBase::cacheFileName(f)));
    EXPECT_EQ(c.getDiskBytes(), static_cast<uint64_t>(total));
}

TEST_F(RolCacheTest, DiskLimitLoopEndsWhenNothingMoreCanGo) {
    // Every entry alone fills more than half the limit: the one file left
    // after deleting can never make room, and adding must still go on.
    EvDebugCapture cap;
    FlrRolCache c(d(), 2 * kMebibyte, 2 * kMebibyte);
    for (uint64_t seq = 1; seq <= 6; ++seq) add(c, seq, 1536 * 1024);
    EXPECT_EQ(filesOnDisk(), (std::vector<uint64_t>{5, 6}));
    EXPECT_TRUE(cap.containsFragment("no more can be deleted"));
    EXPECT_FALSE(c.delOldestCacheFile() && c.delOldestCacheFile());
    EXPECT_EQ(filesOnDisk(), std::vector<uint64_t>{6});
}

TEST_F(RolCacheTest, LimitLoweredBelowWhatAnEarlierRunLeft) {
    {
        FlrRolCache big(d(), 64 * kMebibyte, 2 * kMebibyte);
        for (uint64_t seq = 1; seq <= 60; ++seq) add(big, seq, 100 * 1024);
    }
    EXPECT_EQ(filesOnDisk().size(), 6u);
    FlrRolCache small(d(), 2 * kMebibyte, 2 * kMebibyte);
    add(small, 61, 10);
    // The oldest files went, until what is left fits, before the new one
    // started: cache.45 (1.1 MB) and cache.56 (0.5 MB) stay under 2 MiB.
    EXPECT_EQ(filesOnDisk(), (std::vector<uint64_t>{45, 56, 61}));
}

TEST_F(RolCacheTest, MemoryLimitEvictsOldestEntries) {
    FlrRolCache c(d(), 64 * kMebibyte, 2 * kMebibyte);
    const size_t len = 300 * 1024;
    for (uint64_t seq = 1; seq <= 6; ++seq) add(c, seq, len);
    // 6 * 300 KiB fit in 2 MiB; the 7th pushes out the oldest.
    EXPECT_EQ(c.getOldestResident(), 1u);
    add(c, 7, len);
    EXPECT_EQ(c.getOldestResident(), 2u);
    EXPECT_EQ(c.getMemCount(), 6);
    EXPECT_EQ(c.getMemUsed(), 6 * 300 * 1024);
    // One entry above the limit pushes out everything, itself included.
    add(c, 8, 3 * kMebibyte);
    EXPECT_EQ(c.getMemCount(), 0);
    EXPECT_EQ(c.getMemUsed(), 0);
    EXPECT_EQ(c.getOldestResident(), 0u);
    add(c, 9, 10);
    EXPECT_EQ(c.getOldestResident(), 9u);
}

TEST_F(RolCacheTest, IndexGrowsAtSevenEntriesPerChainAndNeverShrinks) {
    EvDebugCapture cap;
    FlrRolCache c(d(), 64 * kMebibyte, 2 * kMebibyte);
    const char one = 'x';
    uint64_t seq = 1;
    for (; seq < 7 * 2048; ++seq) c.addEntry(&one, 1, seq);
    EXPECT_EQ(c.getBuckets(), 2048);
    c.addEntry(&one, 1, seq);  // memCount 14336 = 7 * 2048
    EXPECT_EQ(c.getBuckets(), 4096);
    EXPECT_TRUE(cap.contains("Rehashing to 4096 buckets."));
    c.rehash(100);
    c.rehash(1);
    EXPECT_EQ(c.getBuckets(), 4096);
    c.rehash(5000);
    EXPECT_EQ(c.getBuckets(), 8192);
    // Every entry is still found through the new chains.
    char* buf = nullptr;
    int cap2 = 0;
    uint64_t got = 0;
    for (uint64_t s = 1; s < seq; s += 997) {
        ASSERT_EQ(c.getNextEntry(s, buf, cap2, nullptr, &got, 1), FlrRolCache::kDelivered);
        ASSERT_EQ(got, s + 1);
    }
    std::free(buf);
}

TEST_F(RolCacheTest, ClearEmptiesMemoryAndDisk) {
    FlrRolCache c(d(), 4 * kMebibyte, 2 * kMebibyte);
    for (uint64_t seq = 100; seq < 110; ++seq) add(c, seq, 1000);
    flrtest::writeFile(path("keep.me"), "x");
    EvDebugCapture cap;
    c.clear();
    EXPECT_TRUE(cap.contains("Clearing rolling cache..."));
    EXPECT_TRUE(filesOnDisk().empty());
    EXPECT_TRUE(c.getFiles().empty());
    EXPECT_EQ(c.getMemCount(), 0);
    EXPECT_EQ(c.getDiskBytes(), 0u);
    EXPECT_EQ(::access(path("keep.me").c_str(), F_OK), 0);
    EXPECT_EQ(::access(path(".lock").c_str(), F_OK), 0);
    add(c, 1, 10);  // any number after clear
    EXPECT_EQ(filesOnDisk(), std::vector<uint64_t>{1});
    EXPECT_EQ(flrtest::readFile(path("cache.1")), rctest::fileBytes({{1, 10}}));
}

TEST_F(RolCacheTest, FlushStartsANewFileWithTheNextEntry) {
    FlrRolCache c(d(), 4 * kMebibyte, 2 * kMebibyte);
    add(c, 1, 10);
    EvDebugCapture cap;
    c.flush();
    EXPECT_TRUE(cap.contains("Flushing current 22-byte file to disk"));
    c.flush();  // nothing open: nothing logged
    EXPECT_EQ(cap.lines().size(), 1u);
    add(c, 2, 10);
    EXPECT_EQ(filesOnDisk(), (std::vector<uint64_t>{1, 2}));
}

TEST_F(RolCacheTest, DeleteCacheFilesWithoutAnInstance) {
    for (const char* n : {"cache.1", "cache.20", "cache.x", "other"})
        flrtest::writeFile(path(n), "data");
    FlrRolCache::deleteCacheFiles(dir.path());
    EXPECT_NE(::access(path("cache.1").c_str(), F_OK), 0);
    EXPECT_NE(::access(path("cache.20").c_str(), F_OK), 0);
    EXPECT_NE(::access(path("cache.x").c_str(), F_OK), 0);
    EXPECT_EQ(::access(path("other").c_str(), F_OK), 0);
    EXPECT_EQ(whatOf([&] { FlrRolCache::deleteCacheFiles(path("missing")); }),
              "Failed to open directory " + path("missing") + ": No such file or directory");
}

TEST_F(RolCacheTest, RestartContinuesAfterTheNewestEntry) {
    {
        FlrRolCache c(d(), 64 * kMebibyte, 2 * kMebibyte);
        for (uint64_t seq = 1; seq <= 25; ++seq) add(c, seq, 100 * 1024);
    }
    EXPECT_EQ(filesOnDisk(), (std::vector<uint64_t>{1, 12, 23}));
    EvDebugCapture cap;
    FlrRolCache c(d(), 64 * kMebibyte, 2 * kMebibyte);
    EXPECT_TRUE(cap.contains("Successfully loaded 3 entries (300KB) from last cache file " +
                             path("cache.23")));
    EXPECT_EQ(c.getLastSeq(), 25u);
    EXPECT_EQ(c.getOldestResident(), 23u);
    EXPECT_EQ(c.getMemCount(), 3);
    EXPECT_EQ(whatOf([&] { add(c, 25, 1); }),
              "Duplicate sequence number 25 detected. An entry with the same number has just "
              "been added, so I can't add it again.");
    add(c, 26, 1);
    // The loaded file is not appended to.
    EXPECT_EQ(filesOnDisk(), (std::vector<uint64_t>{1, 12, 23, 26}));
}

TEST_F(RolCacheTest, FailedSignatureWriteLeavesNoFile) {
    FlrRolCache c(d(), 4 * kMebibyte, 2 * kMebibyte);
    ASSERT_EQ(::symlink("/dev/full", path("cache.100").c_str()), 0);
    try {
        add(c, 100, 10);
        FAIL();
    } catch (const JxException& e) {
        EXPECT_EQ(e.getMessage(), "Failed to write data to cache file: No space left on device");
        EXPECT_EQ(e.getCode(), ENOSPC);
        EXPECT_EQ(e.getSource(), "FlrRolCache");
    }
    EXPECT_TRUE(c.getFiles().empty());
    EXPECT_EQ(c.getLastSeq(), 0u);
    add(c, 100, 10);
    EXPECT_EQ(flrtest::readFile(path("cache.100")), rctest::fileBytes({{100, 10}}));
}

// A record cut short by a write error is removed again: the file stays
// readable, the entry is not kept, and it can be added once more.
TEST_F(RolCacheTest, FailedRecordWriteIsCutOff) {
    const pid_t pid =
        rctest::spawnSelf("RolCacheChild.WriteFailsPartWay",
                          {"FLR_RC_FSIZE_DIR=" + dir.path(), "FLR_REGISTRY=" + reg.path()});
    ASSERT_EQ(rctest::waitChild(pid), 0);
    FlrRolCacheWBA wba(d());
    uint64_t seq = 0;
    const char* data = nullptr;
    int len = 0;
    std::vector<uint64_t> seen;
    for (int r = wba.getFirstEntry(&seq, &data, &len); r == 1;
         r = wba.getNextEntry(&seq, &data, &len)) {
        EXPECT_EQ(std::string(data, len), rctest::payload(seq, len));
        seen.push_back(seq);
    }
    EXPECT_EQ(seen, (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_EQ(filesOnDisk(), (std::vector<uint64_t>{1, 2, 3}));
}

// Runs in a child process: the file size limit applies to the whole process.
TEST(RolCacheChild, WriteFailsPartWay) {
    const char* dirName = std::getenv("FLR_RC_FSIZE_DIR");
    if (!dirName) GTEST_SKIP() << "child of FailedRecordWriteIsCutOff";
    ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit old;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto limitTo = [&](rlim_t n) {
        struct rlimit rl = old;
        rl.rlim_cur = n;
        ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &rl), 0);
    };
    FlrRolCache c(dirName, 4 * kMebibyte, 2 * kMebibyte);
    const std::string p1 = rctest::payload(1, 100), p2 = rctest::payload(2, 500),
                      p3 = rctest::payload(3, 700);
    c.addEntry(p1.data(), 100, 1);  // cache.1: 8 + 112 bytes
    limitTo(300);
    try {
        c.addEntry(p2.data(), 500, 2);
        ADD_FAILURE() << "write beyond the limit succeeded";
    } catch (const JxException& e) {
        EXPECT_EQ(e.getCode(), EFBIG);
        EXPECT_EQ(e.getMessage(), "Failed to write data to cache file: File too large");
    }
    limitTo(old.rlim_cur);
    struct stat st;
    ASSERT_EQ(::stat((std::string(dirName) + "/cache.1").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 120);
    EXPECT_EQ(c.getLastSeq(), 1u);
    EXPECT_EQ(c.getMemCount(), 1);
    c.addEntry(p2.data(), 500, 2);  // a new file
    c.flush();
    // The first record of a new file fails: the file goes with it.
    limitTo(100);
    EXPECT_THROW(c.addEntry(p3.data(), 700, 3), JxException);
    limitTo(old.rlim_cur);
    EXPECT_NE(::access((std::string(dirName) + "/cache.3").c_str(), F_OK), 0);
    EXPECT_EQ(c.getFiles(), (std::vector<uint64_t>{1, 2}));
    c.addEntry(p3.data(), 700, 3);
}

}  // namespace
