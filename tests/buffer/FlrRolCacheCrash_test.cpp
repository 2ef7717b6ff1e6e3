// Crash consistency: a writer killed at any instant leaves a cache that the
// next FlrRolCache opens, reads back whole and continues; what a crash
// cannot leave behind is still reported as damage.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <thread>

#include "FLR/JxException.h"
#include "FlrRolCacheTestUtil.h"
#include "buffer/FlrRolCache.h"
#include "buffer/FlrRolCacheWBA.h"
#include "platform/EvDebug.h"
#include "support/TestSupport.h"

namespace {

constexpr int kMiB = 1048576;

class RolCacheCrashTest : public ::testing::Test {
  protected:
    flrtest::ScopedRegistry reg;
    flrtest::TempDir dir;
    const char* d() const { return dir.path().c_str(); }
    std::string path(const std::string& name) const { return dir.file(name); }
    static std::vector<std::pair<uint64_t, size_t>> run(uint64_t first, uint64_t last, size_t len) {
        std::vector<std::pair<uint64_t, size_t>> out;
        for (uint64_t s = first; s <= last; ++s) out.emplace_back(s, len);
        return out;
    }
};

std::string messageOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const JxException& e) {
        return e.getMessage();
    }
    return "(no exception)";
}

// Reads every entry from first to last through getNextEntry (memory and
// disk) and through FlrRolCacheWBA; false with a note on the first gap,
// disorder or wrong payload.
::testing::AssertionResult readsBackWhole(FlrRolCache& c, const char* dirName, uint64_t first,
                                          uint64_t last,
                                          const std::function<size_t(uint64_t)>& sizeOf) {
    c.becomeNonBlock(600);
    char* buf = nullptr;
    int cap = 0, len = 0;
    uint64_t seq = 0;
    uint64_t at = first;
    for (;;) {
        const int r = c.getNextEntry(at, buf, cap, &len, &seq, 1);
        if (r == FlrRolCache::kNonBlocking) break;
        if (r != FlrRolCache::kDelivered || seq != at + 1 || len != static_cast<int>(sizeOf(seq)) ||
            std::string(buf, len) != rctest::payload(seq, len)) {
            std::free(buf);
            return ::testing::AssertionFailure()
                   << "getNextEntry(" << at << ") gave " << r << " with entry " << seq;
        }
        at = seq;
    }
    std::free(buf);
    c.becomeNonBlock(-1);
    if (at != last) return ::testing::AssertionFailure() << "getNextEntry ended at " << at;

    FlrRolCacheWBA w(dirName);
    const char* data = nullptr;
    if (w.getFirstEntry(&seq, &data, &len) != 1 || seq != first ||
        std::string(data, len) != rctest::payload(seq, sizeOf(seq)))
        return ::testing::AssertionFailure() << "WBA starts at " << seq << ", not " << first;
    at = first;
    while (w.getNextEntry(&seq, &data, &len) == 1) {
        if (seq != at + 1 || std::string(data, len) != rctest::payload(seq, len))
            return ::testing::AssertionFailure() << "WBA gave " << seq << " after " << at;
        at = seq;
    }
    if (at != last) return ::testing::AssertionFailure() << "WBA ended at " << at;
    return ::testing::AssertionSuccess();
}

size_t fixedSize(uint64_t s) {
    return s <= 20 ? 30 : (s <= 25 ? 40 : 50);
}

// Entry 26 of cache.21 cut after every possible byte count.
TEST_F(RolCacheCrashTest, IncompleteFinalRecordIsCutOff) {
    const std::string older = rctest::fileBytes(run(1, 20, 30));
    const std::string kept = rctest::fileBytes(run(21, 25, 40));
    const std::string last = rctest::recordBytes(26, rctest::payload(26, 50));
    for (size_t n = 0; n < last.size(); ++n) {
        SCOPED_TRACE(n);
        flrtest::writeFile(path("cache.1"), older);
        flrtest::writeFile(path("cache.21"), kept + last.substr(0, n));
        EvDebugCapture cap;
        FlrRolCache c(d(), 4 * kMiB, 2 * kMiB);
        EXPECT_EQ(c.getLastSeq(), 25u);
        EXPECT_EQ(c.getMemCount(), 5);
        EXPECT_EQ(flrtest::readFile(path("cache.21")), kept);
        EXPECT_EQ(cap.contains(jxFormat("Dropped an incomplete final record of %zu bytes at "
                                        "offset %zu of %s: its writer stopped while appending it.",
                                        n, kept.size(), path("cache.21").c_str())),
                  n > 0);
        EXPECT_EQ(c.getDiskBytes(), older.size() + kept.size());
        const std::string p = rctest::payload(26, 50);
        c.addEntry(p.data(), 50, 26);  // the dropped number is accepted again
        EXPECT_TRUE(readsBackWhole(c, d(), 1, 26, fixedSize));
        FlrRolCache::deleteCacheFiles(dir.path());
    }
}

// Killed while creating a file: a newest file with part of a signature, or
// a signature and part of its first record, holds nothing and goes.
TEST_F(RolCacheCrashTest, NewestFileWithoutACompleteEntryIsRemoved) {
    const std::string first = rctest::recordBytes(26, rctest::payload(26, 50));
    std::vector<std::string> leftovers;
    for (size_t n = 0; n <= 8; ++n) leftovers.push_back(rctest::sigBytes().substr(0, n));
    for (size_t n = 1; n < first.size(); n += 7)
        leftovers.push_back(rctest::sigBytes() + first.substr(0, n));
    for (const auto& bytes : leftovers) {
        SCOPED_TRACE(bytes.size());
        flrtest::writeFile(path("cache.1"), rctest::fileBytes(run(1, 20, 30)));
        flrtest::writeFile(path("cache.21"), rctest::fileBytes(run(21, 25, 40)));
        flrtest::writeFile(path("cache.26"), bytes);
        EvDebugCapture cap;
        FlrRolCache c(d(), 4 * kMiB, 2 * kMiB);
        EXPECT_TRUE(cap.contains("Removed " + path("cache.26") +
                                 ": it holds no complete entry (its writer stopped while "
                                 "starting it)."));
        EXPECT_EQ(c.getFiles(), (std::vector<uint64_t>{1, 21}));
        EXPECT_EQ(c.getLastSeq(), 25u);
        EXPECT_NE(::access(path("cache.26").c_str(), F_OK), 0);
        const std::string p = rctest::payload(26, 50);
        c.addEntry(p.data(), 50, 26);
        EXPECT_EQ(c.getFiles(), (std::vector<uint64_t>{1, 21, 26}));
        EXPECT_TRUE(readsBackWhole(c, d(), 1, 26, fixedSize));
        FlrRolCache::deleteCacheFiles(dir.path());
    }
    // The only file, holding nothing: an empty cache.
    flrtest::writeFile(path("cache.5"), rctest::sigBytes());
    FlrRolCache c(d(), 4 * kMiB, 2 * kMiB);
    EXPECT_TRUE(c.getFiles().empty());
    EXPECT_EQ(c.getLastSeq(), 0u);
}

// Damage a crash cannot cause still stops construction, and nothing is cut.
TEST_F(RolCacheCrashTest, OtherDamageStillThrows) {
    const std::string name = path("cache.21");
    const std::string good = rctest::fileBytes(run(21, 25, 40));
    struct Case {
        std::string bytes;
        std::string message;
    };
    auto withByte = [&](size_t at, char v) {
        std::string b = good;
        b[at] = v;
        return b;
    };
    const size_t rec = 12 + 40;        // bytes per record
    const size_t third = 8 + 2 * rec;  // the record of entry 23
    auto withLength = [&](uint32_t len) {
        std::string b = good;
        for (int k = 0; k < 4; ++k) b[third + 8 + k] = static_cast<char>(len >> (24 - 8 * k));
        return b;
    };
    const std::vector<Case> cases = {
        {withLength(0), "Cache file " + name + " is corrupt: invalid entry size."},
        {withLength(0x01000028), "Cache file " + name + " is corrupt: invalid entry size."},
        {withByte(third + 7, 22),
         "Cache file " + name + " is corrupt: sequence numbers out of order."},
        // Part of a header whose number goes backwards is no append.
        {good + rctest::recordBytes(3, "partial").substr(0, 9),
         "Cache file " + name + " is corrupt: sequence numbers out of order."},
        {withByte(7, 0), "Cache file " + name + " is corrupt: invalid signature."},
        {"garbage", "File " + name + " is too short."},
        {rctest::sigBytes() + std::string(FlrRolCacheBase::kMaxFileSize, 'x'),
         "File " + name + " is too big."},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        const std::string& bytes = cases[i].bytes;
        const std::string& message = cases[i].message;
        flrtest::writeFile(path("cache.1"), rctest::fileBytes(run(1, 20, 30)));
        flrtest::writeFile(name, bytes);
        EXPECT_EQ(messageOf([&] { FlrRolCache c(d(), 4 * kMiB, 2 * kMiB); }), message);
        EXPECT_EQ(flrtest::readFile(name), bytes);
        FlrRolCache::deleteCacheFiles(dir.path());
    }
}

// Only the newest file is repaired: an older one cut short is damage that
// readers report when they reach it.
TEST_F(RolCacheCrashTest, OlderFileCutShortIsDamageForReaders) {
    const std::string cut = rctest::recordBytes(21, rctest::payload(21, 30)).substr(0, 20);
    flrtest::writeFile(path("cache.1"), rctest::fileBytes(run(1, 20, 30)) + cut);
    flrtest::writeFile(path("cache.21"), rctest::fileBytes(run(21, 25, 30)));
    FlrRolCache c(d(), 4 * kMiB, 2 * kMiB);
    EXPECT_EQ(flrtest::readFile(path("cache.1")).size(), 8 + 20 * 42 + cut.size());
    char* buf = nullptr;
    int cap = 0;
    EXPECT_EQ(c.getNextEntry(19, buf, cap, nullptr, nullptr, 1), FlrRolCache::kDelivered);
    EXPECT_EQ(messageOf([&] { c.getNextEntry(20, buf, cap, nullptr, nullptr, 1); }),
              "Cache file is corrupt: invalid record size.");
    std::free(buf);
    FlrRolCacheWBA w(d());
    const char* data = nullptr;
    int len = 0;
    uint64_t seq = 0;
    ASSERT_EQ(w.getEntry(20, &data, &len), 1);
    EXPECT_EQ(messageOf([&] { w.getNextEntry(&seq, &data, &len); }),
              "Cache file is corrupt: a journal entry goes beyond its end.");
}

// Mostly small entries; now and then one of a few hundred KiB, whose write
// spans many pages and so can be cut short by the kill.
size_t crashSize(uint64_t s) {
    const uint64_t h = rctest::mix(s);
    return s % 40 == 0 ? 64 * 1024 + h % (128 * 1024) : 1 + h % 400;
}

// A child appends entries and reports each one addEntry returned; it is
// killed at a random moment, and the cache it leaves must open, hold every
// reported entry (and at most the one being written) in order, and go on.
TEST_F(RolCacheCrashTest, WriterKilledAtRandomMoments) {
    const int kKills = flrtest::scaled(60);
    std::mt19937 rng(20240611);
    uint64_t last = 0;  // newest entry after the previous round
    int cut = 0, removed = 0, landedInWrite = 0;
    for (int round = 0; round < kKills; ++round) {
        SCOPED_TRACE(round);
        int fds[2];
        ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        const pid_t pid = rctest::spawnSelf(
            "RolCacheChild.AppendUntilKilled",
            {"FLR_RC_CRASH_DIR=" + dir.path(), "FLR_RC_CRASH_FD=" + std::to_string(fds[1]),
             "FLR_REGISTRY=" + reg.path(), "FLR_LOG_LEVEL=-1"},
            fds[1]);
        ::close(fds[1]);
        // A few rounds kill the child before it wrote anything, possibly
        // while it opens the cache.
        const int acks = round % 10 == 3 ? 0 : 1 + static_cast<int>(rng() % 300);
        uint64_t acked = last;
        uint64_t v = 0;
        for (int i = 0; i < acks && ::read(fds[0], &v, sizeof(v)) == sizeof(v); ++i) acked = v;
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
        ::kill(pid, SIGKILL);
        EXPECT_EQ(rctest::waitChild(pid), 128 + SIGKILL);
        while (::read(fds[0], &v, sizeof(v)) == sizeof(v)) acked = v;
        ::close(fds[0]);

        EvDebugCapture cap;
        FlrRolCache c(d(), 2 * kMiB, 2 * kMiB);
        if (cap.containsFragment("Dropped an incomplete final record")) ++cut;
        if (cap.containsFragment("it holds no complete entry")) ++removed;
        const uint64_t now = c.getLastSeq();
        // Everything reported is there; beyond it at most the entry whose
        // report the kill prevented.
        ASSERT_GE(now, acked);
        ASSERT_LE(now, acked + 1);
        if (now == acked + 1) ++landedInWrite;
        ASSERT_FALSE(c.getFiles().empty());
        ASSERT_TRUE(readsBackWhole(c, d(), c.getFiles().front(), now, crashSize));
        const std::string p = rctest::payload(now + 1, crashSize(now + 1));
        c.addEntry(p.data(), static_cast<int>(p.size()), now + 1);
        last = now + 1;
    }
    RecordProperty("tailsCut", cut);
    RecordProperty("emptyFilesRemoved", removed);
    RecordProperty("killsAfterWrite", landedInWrite);
    std::printf(
        "%d kills: %d incomplete records cut, %d empty files removed, %d entries "
        "written but not reported\n",
        kKills, cut, removed, landedInWrite);
}

TEST(RolCacheChild, AppendUntilKilled) {
    const char* dirName = std::getenv("FLR_RC_CRASH_DIR");
    if (!dirName) GTEST_SKIP() << "child of WriterKilledAtRandomMoments";
    const int fd = std::atoi(std::getenv("FLR_RC_CRASH_FD"));
    FlrRolCache c(dirName, 2 * kMiB, 2 * kMiB);
    for (uint64_t s = c.getLastSeq() + 1;; ++s) {
        const std::string p = rctest::payload(s, crashSize(s));
        c.addEntry(p.data(), static_cast<int>(p.size()), s);
        if (::write(fd, &s, sizeof(s)) != sizeof(s)) return;
    }
}

}  // namespace
