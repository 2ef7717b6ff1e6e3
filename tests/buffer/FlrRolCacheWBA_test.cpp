// The reader for other processes: look-ups, stepping across files, files the
// writer deletes or is still appending to, damage, and a reader process
// running beside a writer that rolls files off.
#include "buffer/FlrRolCacheWBA.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "FLR/JxException.h"
#include "FlrRolCacheTestUtil.h"
#include "buffer/FlrRolCache.h"
#include "support/TestSupport.h"

namespace {

constexpr int kOneMiB = 1048576;

class RolCacheWBATest : public ::testing::Test {
  protected:
    flrtest::ScopedRegistry reg;
    flrtest::TempDir dir;
    const char* d() const { return dir.path().c_str(); }
    std::string path(const std::string& name) const { return dir.file(name); }
    void place(const std::string& name, const std::vector<std::pair<uint64_t, size_t>>& entries,
               const std::string& tail = "") {
        flrtest::writeFile(path(name), rctest::fileBytes(entries) + tail);
    }
};

struct Got {
    uint64_t seq = 0;
    const char* data = nullptr;
    int len = 0;
    bool valid() const { return std::string(data, len) == rctest::payload(seq, len); }
};

std::string errorTextOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const JxException& e) {
        return e.getMessage();
    }
    return "(no exception)";
}

TEST_F(RolCacheWBATest, LookUpThenStepAcrossFiles) {
    place("cache.1", {{1, 10}, {2, 20}, {3, 30}});
    place("cache.4", {{4, 40}, {7, 70}});
    FlrRolCacheWBA w(d());
    Got g;
    ASSERT_EQ(w.getEntry(2, &g.data, &g.len), 1);
    g.seq = 2;
    EXPECT_TRUE(g.valid());
    for (uint64_t want : {3, 4, 7}) {
        ASSERT_EQ(w.getNextEntry(&g.seq, &g.data, &g.len), 1);
        EXPECT_EQ(g.seq, want);
        EXPECT_TRUE(g.valid());
    }
    EXPECT_EQ(w.getNextEntry(&g.seq, &g.data, &g.len), 0);
    EXPECT_EQ(w.getNextEntry(&g.seq, &g.data, &g.len), 0);

    EXPECT_EQ(w.getEntry(5, &g.data, &g.len), 0);  // the search stops at 7
    EXPECT_EQ(errorTextOf([&] { w.getNextEntry(&g.seq, &g.data, &g.len); }),
              "Must call getEntry() or getFirstEntry() before using getNextEntry().");
    EXPECT_EQ(w.getEntry(0, &g.data, &g.len), 0);
    EXPECT_EQ(w.getEntry(8, &g.data, &g.len), 0);

    ASSERT_EQ(w.getFirstEntry(&g.seq, &g.data, &g.len), 1);
    EXPECT_EQ(g.seq, 1u);
    EXPECT_TRUE(g.valid());
}

TEST_F(RolCacheWBATest, NullPointersAndEmptyDirectory) {
    FlrRolCacheWBA w(d());
    Got g;
    EXPECT_EQ(w.getFirstEntry(&g.seq, &g.data, &g.len), 0);
    EXPECT_EQ(w.getEntry(1, &g.data, &g.len), 0);
    EXPECT_EQ(errorTextOf([&] { w.getEntry(1, nullptr, &g.len); }),
              "NULL buffer or length pointer passed as input.");
    EXPECT_EQ(errorTextOf([&] { w.getFirstEntry(&g.seq, &g.data, nullptr); }),
              "NULL buffer or length pointer passed as input.");
    EXPECT_EQ(errorTextOf([&] { w.getNextEntry(nullptr, &g.data, &g.len); }),
              "NULL seq_num, buffer or length pointers passed as input.");
}

TEST_F(RolCacheWBATest, FilesDeletedAfterTheScanReadAsNotFound) {
    place("cache.1", {{1, 10}, {2, 10}});
    place("cache.3", {{3, 10}, {4, 10}});
    place("cache.5", {{5, 10}});
    FlrRolCacheWBA w(d());
    Got g;
    ::unlink(path("cache.1").c_str());
    EXPECT_EQ(w.getEntry(2, &g.data, &g.len), 0);
    // The oldest entry left is in the first file still there.
    ASSERT_EQ(w.getFirstEntry(&g.seq, &g.data, &g.len), 1);
    EXPECT_EQ(g.seq, 3u);
    ASSERT_EQ(w.getNextEntry(&g.seq, &g.data, &g.len), 1);
    EXPECT_EQ(g.seq, 4u);
    ::unlink(path("cache.5").c_str());
    EXPECT_EQ(w.getNextEntry(&g.seq, &g.data, &g.len), 0);
    EXPECT_THROW(w.getNextEntry(&g.seq, &g.data, &g.len), JxException);
    // Files created after construction are not seen.
    place("cache.9", {{9, 10}});
    EXPECT_EQ(w.getEntry(9, &g.data, &g.len), 0);
}

TEST_F(RolCacheWBATest, ARecordStillBeingAppendedEndsTheNewestFile) {
    place("cache.1", {{1, 10}, {2, 10}});
    // The writer has put down the header and part of entry 4's payload.
    const std::string partial = rctest::recordBytes(4, rctest::payload(4, 100)).substr(0, 50);
    place("cache.3", {{3, 10}}, partial);
    FlrRolCacheWBA w(d());
    Got g;
    ASSERT_EQ(w.getEntry(2, &g.data, &g.len), 1);
    ASSERT_EQ(w.getNextEntry(&g.seq, &g.data, &g.len), 1);
    EXPECT_EQ(g.seq, 3u);
    EXPECT_EQ(w.getNextEntry(&g.seq, &g.data, &g.len), 0);
    EXPECT_EQ(w.getEntry(4, &g.data, &g.len), 0);
    // Only part of a header.
    place("cache.3", {{3, 10}}, partial.substr(0, 5));
    ASSERT_EQ(w.getEntry(3, &g.data, &g.len), 1);
    EXPECT_EQ(w.getNextEntry(&g.seq, &g.data, &g.len), 0);
    // Created, signature not (all) written yet.
    for (size_t n : {0, 3, 8}) {
        flrtest::writeFile(path("cache.3"), rctest::sigBytes().substr(0, n));
        ASSERT_EQ(w.getEntry(2, &g.data, &g.len), 1);
        EXPECT_EQ(w.getNextEntry(&g.seq, &g.data, &g.len), 0) << n;
        EXPECT_EQ(w.getEntry(3, &g.data, &g.len), 0) << n;
    }
}

TEST_F(RolCacheWBATest, DamageIsReported) {
    const std::string partial = rctest::recordBytes(3, rctest::payload(3, 100)).substr(0, 50);
    place("cache.1", {{1, 10}, {2, 10}}, partial);  // not the newest: damage
    place("cache.10", {{10, 10}});
    FlrRolCacheWBA w(d());
    Got g;
    ASSERT_EQ(w.getEntry(2, &g.data, &g.len), 1);
    EXPECT_EQ(errorTextOf([&] { w.getNextEntry(&g.seq, &g.data, &g.len); }),
              "Cache file is corrupt: a journal entry goes beyond its end.");
    EXPECT_EQ(errorTextOf([&] { w.getEntry(3, &g.data, &g.len); }),
              "Cache file is corrupt: invalid record size");

    flrtest::writeFile(path("cache.1"), rctest::sigBytes());
    EXPECT_EQ(errorTextOf([&] { w.getEntry(1, &g.data, &g.len); }),
              "File " + path("cache.1") + " is too short.");
    EXPECT_EQ(errorTextOf([&] { w.getFirstEntry(&g.seq, &g.data, &g.len); }),
              "File " + path("cache.1") + " is too short.");
    flrtest::writeFile(path("cache.1"), "ZRP1L\n\x0E\xAE" + rctest::recordBytes(1, "x"));
    EXPECT_EQ(errorTextOf([&] { w.getEntry(1, &g.data, &g.len); }),
              "File " + path("cache.1") + " is corrupt: invalid signature.");
    flrtest::writeFile(path("cache.1"), std::string(FlrRolCacheBase::kMaxFileSize + 1, 'x'));
    EXPECT_EQ(errorTextOf([&] { w.getEntry(1, &g.data, &g.len); }),
              "File " + path("cache.1") + " is too big.");
    place("cache.1", {{1, 10}, {1, 10}});
    ASSERT_EQ(w.getFirstEntry(&g.seq, &g.data, &g.len), 1);
    EXPECT_EQ(errorTextOf([&] { w.getNextEntry(&g.seq, &g.data, &g.len); }),
              "Cache file " + path("cache.1") + " is corrupt: sequence numbers out of order.");
}

TEST_F(RolCacheWBATest, FilesLargerThanTheInitialBuffer) {
    place("cache.1", {{1, 3 * kOneMiB}, {2, 2 * kOneMiB}});
    place("cache.3", {{3, 10}});
    FlrRolCacheWBA w(d());
    Got g;
    ASSERT_EQ(w.getFirstEntry(&g.seq, &g.data, &g.len), 1);
    EXPECT_TRUE(g.valid());
    ASSERT_EQ(w.getNextEntry(&g.seq, &g.data, &g.len), 1);
    EXPECT_EQ(g.seq, 2u);
    EXPECT_TRUE(g.valid());
    ASSERT_EQ(w.getNextEntry(&g.seq, &g.data, &g.len), 1);
    EXPECT_EQ(g.seq, 3u);
}

size_t sizeOf(uint64_t s) {
    return 1 + rctest::mix(s) % 8000;
}

// A second process reads the whole cache again and again while this one
// writes and rolls files off the disk.
TEST_F(RolCacheWBATest, ReaderProcessBesideARollingWriter) {
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    FlrRolCache c(d(), 2 * kOneMiB, 2 * kOneMiB);
    uint64_t s = 1;
    auto addOne = [&] {
        const std::string p = rctest::payload(s, sizeOf(s));
        c.addEntry(p.data(), static_cast<int>(p.size()), s);
        ++s;
    };
    while (c.getFiles().size() < 2) addOne();
    const pid_t pid =
        rctest::spawnSelf("RolCacheChild.WbaReader",
                          {"FLR_RC_WBA_DIR=" + dir.path(),
                           "FLR_RC_WBA_FD=" + std::to_string(fds[1]), "FLR_REGISTRY=" + reg.path()},
                          fds[1]);
    ::close(fds[1]);
    const uint64_t firstBefore = c.getFiles().front();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int status = -1;
    while (std::chrono::steady_clock::now() < deadline) {
        for (int i = 0; i < 20; ++i) addOne();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        int st = 0;
        if (::waitpid(pid, &st, WNOHANG) == pid) {
            status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            break;
        }
    }
    if (status == -1) {
        ::kill(pid, SIGKILL);
        status = rctest::waitChild(pid);
    }
    uint64_t stats[2] = {0, 0};  // entries read, passes
    const long n = ::read(fds[0], stats, sizeof(stats));
    ::close(fds[0]);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(n, static_cast<long>(sizeof(stats)));
    EXPECT_GT(stats[0], 0u);
    EXPECT_GE(stats[1], 5u);
    // Files really went while the reader read.
    EXPECT_GT(c.getFiles().front(), firstBefore);
    RecordProperty("entriesRead", static_cast<int>(stats[0]));
}

TEST(RolCacheChild, WbaReader) {
    const char* dirName = std::getenv("FLR_RC_WBA_DIR");
    if (!dirName) GTEST_SKIP() << "child of ReaderProcessBesideARollingWriter";
    const int fd = std::atoi(std::getenv("FLR_RC_WBA_FD"));
    uint64_t entries = 0, passes = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (std::chrono::steady_clock::now() < until) {
        FlrRolCacheWBA w(dirName);
        Got g;
        if (w.getFirstEntry(&g.seq, &g.data, &g.len) != 1) continue;
        uint64_t prev = g.seq;
        ASSERT_EQ(g.len, static_cast<int>(sizeOf(g.seq)));
        ASSERT_TRUE(g.valid());
        ++entries;
        while (w.getNextEntry(&g.seq, &g.data, &g.len) == 1) {
            // The writer numbers without gaps: a reader never skips one.
            ASSERT_EQ(g.seq, prev + 1);
            ASSERT_EQ(g.len, static_cast<int>(sizeOf(g.seq)));
            ASSERT_TRUE(g.valid());
            prev = g.seq;
            ++entries;
        }
        ++passes;
    }
    const uint64_t stats[2] = {entries, passes};
    ASSERT_EQ(::write(fd, stats, sizeof(stats)), static_cast<long>(sizeof(stats)));
}

}  // namespace
