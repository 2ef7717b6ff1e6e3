// The reading side of the rolling cache: entries from memory and from the
// cache files, waiting at the newest entry, per-thread contexts and their
// LRU, damage reports, and one writer with eight readers at full speed.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>

#include "FLR/JxException.h"
#include "FlrRolCacheTestUtil.h"
#include "buffer/FlrRolCache.h"
#include "support/TestSupport.h"

namespace {

constexpr int kMiBytes = 1048576;

// A reader's malloc buffer, freed at the end of the scope.
struct ReadBuf {
    char* buf = nullptr;
    int cap = 0;
    int len = 0;
    uint64_t seq = 0;
    ~ReadBuf() { std::free(buf); }
    int next(FlrRolCache& c, uint64_t after, int timeout = 1) {
        return c.getNextEntry(after, buf, cap, &len, &seq, timeout);
    }
    bool holds(uint64_t s) const {
        return seq == s && std::string(buf, static_cast<size_t>(len)) ==
                               rctest::payload(s, static_cast<size_t>(len));
    }
};

class RolCacheReaderTest : public ::testing::Test {
  protected:
    flrtest::ScopedRegistry reg;
    flrtest::TempDir dir;
    const char* d() const { return dir.path().c_str(); }
    std::string path(const std::string& name) const { return dir.file(name); }
    static void add(FlrRolCache& c, uint64_t seq, size_t len) {
        const std::string p = rctest::payload(seq, len);
        c.addEntry(p.data(), static_cast<int>(p.size()), seq);
    }
    // A file of entries first..last, each len bytes.
    void writeRun(uint64_t first, uint64_t last, size_t len) {
        std::vector<std::pair<uint64_t, size_t>> entries;
        for (uint64_t s = first; s <= last; ++s) entries.emplace_back(s, len);
        flrtest::writeFile(path(FlrRolCacheBase::cacheFileName(first)), rctest::fileBytes(entries));
    }
};

std::string errorMessageOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const JxException& e) {
        return e.getMessage();
    }
    return "(no exception)";
}

double secondsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

TEST_F(RolCacheReaderTest, ResidentEntriesAndTheNewest) {
    FlrRolCache c(d(), 4 * kMiBytes, 2 * kMiBytes);
    for (uint64_t s : {10, 11, 12}) add(c, s, 2000 + s);
    ReadBuf r;
    ASSERT_EQ(r.next(c, 10), FlrRolCache::kDelivered);
    EXPECT_TRUE(r.holds(11));
    EXPECT_EQ(r.cap % 1024, 0);
    EXPECT_GE(r.cap, 2011);
    ASSERT_EQ(r.next(c, 11), FlrRolCache::kDelivered);
    EXPECT_TRUE(r.holds(12));
    EXPECT_EQ(r.next(c, 7), FlrRolCache::kNotInCache);  // never added, not on disk
    EXPECT_EQ(r.next(c, 13), FlrRolCache::kNotInCache);

    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(r.next(c, 12, 1), FlrRolCache::kTimedOut);
    EXPECT_GE(secondsSince(t0), 0.9);

    c.becomeNonBlock(30);
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(r.next(c, 12, 5), FlrRolCache::kNonBlocking);
    EXPECT_LT(secondsSince(t0), 2.5);  // not the 5 s time-out
    c.becomeNonBlock(-1);              // period over
    EXPECT_EQ(r.next(c, 12, 1), FlrRolCache::kTimedOut);

    // Out pointers are optional.
    EXPECT_EQ(c.getNextEntry(10, r.buf, r.cap, nullptr, nullptr, 1), FlrRolCache::kDelivered);
}

TEST_F(RolCacheReaderTest, WaitingReaderIsWokenByTheWriterAndByClear) {
    FlrRolCache c(d(), 4 * kMiBytes, 2 * kMiBytes);
    add(c, 1, 10);
    std::atomic<int> result{-1};
    uint64_t got = 0;
    std::thread reader([&] {
        ReadBuf r;
        result = r.next(c, 1, 0);  // no time limit
        got = r.seq;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(result.load(), -1);
    add(c, 2, 10);
    reader.join();
    EXPECT_EQ(result.load(), FlrRolCache::kDelivered);
    EXPECT_EQ(got, 2u);

    std::thread waiter([&] {
        ReadBuf r;
        result = r.next(c, 2, 0);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    c.clear();
    waiter.join();
    EXPECT_EQ(result.load(), FlrRolCache::kNotInCache);  // 2 is gone
}

TEST_F(RolCacheReaderTest, AfterRestartOlderEntriesComeFromTheFiles) {
    writeRun(1, 500, 100);
    writeRun(501, 900, 100);
    FlrRolCache c(d(), 4 * kMiBytes, 2 * kMiBytes);
    EXPECT_EQ(c.getOldestResident(), 501u);
    EXPECT_EQ(c.getLastSeq(), 900u);
    EXPECT_EQ(c.getMemCount(), 400);
    ReadBuf r;
    ASSERT_EQ(r.next(c, 499), FlrRolCache::kDelivered);
    EXPECT_TRUE(r.holds(500));
    EXPECT_EQ(c.getContextCount(), 1);
    ASSERT_EQ(r.next(c, 500), FlrRolCache::kDelivered);  // crosses into cache.501
    EXPECT_TRUE(r.holds(501));
    // Every entry in order, from disk and then from memory.
    uint64_t at = 1;
    ASSERT_EQ(r.next(c, at), FlrRolCache::kDelivered);
    while (r.seq != 900) {
        ASSERT_TRUE(r.holds(at + 1)) << at;
        at = r.seq;
        ASSERT_EQ(r.next(c, at), FlrRolCache::kDelivered);
    }
    EXPECT_EQ(r.next(c, 900, 1), FlrRolCache::kTimedOut);
}

TEST_F(RolCacheReaderTest, NumbersThatAreNoEntryGiveZero) {
    flrtest::writeFile(path("cache.5"), rctest::fileBytes({{5, 10}, {9, 10}, {20, 10}}));
    writeRun(100, 110, 10);
    FlrRolCache c(d(), 4 * kMiBytes, 2 * kMiBytes);
    ReadBuf r;
    EXPECT_EQ(r.next(c, 7), FlrRolCache::kNotInCache);
    EXPECT_EQ(r.next(c, 4), FlrRolCache::kNotInCache);
    EXPECT_EQ(r.next(c, 0), FlrRolCache::kNotInCache);
    ASSERT_EQ(r.next(c, 9), FlrRolCache::kDelivered);
    EXPECT_TRUE(r.holds(20));
    ASSERT_EQ(r.next(c, 20), FlrRolCache::kDelivered);
    EXPECT_TRUE(r.holds(100));
}

TEST_F(RolCacheReaderTest, EntriesLargerThanMemoryAreStillRead) {
    // Nothing stays resident; the files hold every entry.
    FlrRolCache c(d(), 64 * kMiBytes, 2 * kMiBytes);
    for (uint64_t s = 1; s <= 3; ++s) add(c, s, 2 * kMiBytes + 512 * 1024);
    EXPECT_EQ(c.getOldestResident(), 0u);
    ReadBuf r;
    ASSERT_EQ(r.next(c, 1), FlrRolCache::kDelivered);
    EXPECT_TRUE(r.holds(2));
    ASSERT_EQ(r.next(c, 2), FlrRolCache::kDelivered);
    EXPECT_TRUE(r.holds(3));
    EXPECT_EQ(r.next(c, 3, 1), FlrRolCache::kTimedOut);  // the newest: wait for more
    c.becomeNonBlock(30);
    EXPECT_EQ(r.next(c, 3, 1), FlrRolCache::kNonBlocking);
}

TEST_F(RolCacheReaderTest, ReaderWhoseFileWasDeletedGoesOnToTheNextFile) {
    writeRun(1, 10, 100);
    writeRun(11, 20, 100);
    writeRun(21, 30, 100);
    FlrRolCache c(d(), 4 * kMiBytes, 2 * kMiBytes);
    ReadBuf r;
    ASSERT_EQ(r.next(c, 1), FlrRolCache::kDelivered);  // loads cache.1
    ASSERT_TRUE(c.delOldestCacheFile());               // ... which now goes
    for (uint64_t s = 2; s <= 10; ++s) {
        ASSERT_EQ(r.next(c, s), FlrRolCache::kDelivered);  // from the loaded copy
        ASSERT_TRUE(r.holds(s + 1));
    }
    ASSERT_EQ(r.next(c, 11), FlrRolCache::kDelivered);
    EXPECT_TRUE(r.holds(12));

    // Once the file after the loaded one is gone too, what follows is lost.
    FlrRolCache c2(d(), 4 * kMiBytes, 2 * kMiBytes);
    writeRun(1, 10, 100);
    c2.scanDisk();
    ASSERT_EQ(r.next(c2, 1), FlrRolCache::kDelivered);
    ASSERT_TRUE(c2.delOldestCacheFile());
    ASSERT_TRUE(c2.delOldestCacheFile());
    for (uint64_t s = 2; s <= 9; ++s) ASSERT_EQ(r.next(c2, s), FlrRolCache::kDelivered);
    EXPECT_EQ(r.next(c2, 10), FlrRolCache::kNotInCache);
}

TEST_F(RolCacheReaderTest, DamagedFilesAreReportedNotSkipped) {
    writeRun(1000, 1010, 10);  // the newest, loaded at construction
    FlrRolCache c(d(), 4 * kMiBytes, 2 * kMiBytes);
    ReadBuf r;
    auto readAt = [&](uint64_t s) { return errorMessageOf([&] { r.next(c, s); }); };
    auto place = [&](const std::string& name, const std::string& bytes) {
        flrtest::writeFile(path(name), bytes);
        c.scanDisk();
    };

    place("cache.1", rctest::sigBytes());
    EXPECT_EQ(readAt(1), "File " + path("cache.1") + " is too short.");
    ::unlink(path("cache.1").c_str());

    place("cache.2", "ZRP1L\n\x0E\xAE" + rctest::recordBytes(2, "abc"));
    EXPECT_EQ(readAt(2), "Cache file " + path("cache.2") + " is corrupt: Invalid signature.");
    ::unlink(path("cache.2").c_str());

    std::string bad = rctest::fileBytes({{3, 10}});
    bad[8 + 11] = 100;  // length runs past the end
    place("cache.3", bad);
    EXPECT_EQ(readAt(3), "Cache file " + path("cache.3") + " is corrupt: invalid record size");
    ::unlink(path("cache.3").c_str());

    // Positioned on entry 4, the record after it is damaged.
    bad = rctest::fileBytes({{4, 10}, {5, 10}});
    bad[8 + 22 + 8] = 0x7F;  // length far above 10 MiB
    place("cache.4", bad);
    EXPECT_EQ(readAt(4), "Cache file is corrupt: invalid record size.");
    ::unlink(path("cache.4").c_str());

    place("cache.6", rctest::fileBytes({{6, 10}}) + std::string(5, '\0'));
    EXPECT_EQ(readAt(6), "Cache file is corrupt: invalid record size.");
    ::unlink(path("cache.6").c_str());

    place("cache.7", rctest::fileBytes({{7, 10}, {6, 10}}));
    EXPECT_EQ(readAt(7),
              "Cache file " + path("cache.7") + " is corrupt: sequence numbers out of order.");
    ::unlink(path("cache.7").c_str());

    place("cache.8", rctest::sigBytes() + std::string(FlrRolCacheBase::kMaxFileSize, 'x'));
    EXPECT_EQ(readAt(8), "File " + path("cache.8") + " is too big.");
    ::unlink(path("cache.8").c_str());

    // A file listed by the last scan but gone since.
    place("cache.9", rctest::fileBytes({{9, 10}}));
    ::unlink(path("cache.9").c_str());
    EXPECT_EQ(readAt(9), "Failed to stat file " + path("cache.9") + ": No such file or directory");
}

TEST_F(RolCacheReaderTest, ThreadsKeepTheirOwnPositions) {
    writeRun(1, 100, 50);
    writeRun(101, 200, 50);
    writeRun(201, 300, 50);
    FlrRolCache c(d(), 4 * kMiBytes, 2 * kMiBytes);
    // Two threads take turns, each walking its own stretch.
    std::mutex m;
    std::condition_variable cv;
    int turn = 0;
    std::atomic<int> failures{0};
    auto walk = [&](int me, uint64_t from, uint64_t to) {
        ReadBuf r;
        for (uint64_t s = from; s < to; ++s) {
            std::unique_lock<std::mutex> lk(m);
            cv.wait(lk, [&] { return turn == me; });
            if (r.next(c, s) != FlrRolCache::kDelivered || !r.holds(s + 1)) ++failures;
            turn = 1 - me;
            cv.notify_all();
        }
    };
    std::thread a(walk, 0, 1, 150), b(walk, 1, 60, 209);
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(c.getContextCount(), 2);
}

TEST_F(RolCacheReaderTest, AtMostAHundredContextsLeastRecentlyUsedGoFirst) {
    writeRun(1, 200, 10);
    writeRun(201, 210, 10);
    FlrRolCache c(d(), 4 * kMiBytes, 2 * kMiBytes);
    // 101 threads stay alive (a finished thread's id may be reused) and read
    // from disk one after another, in the order given by the script.
    constexpr int kThreads = 101;
    std::vector<int> script;
    for (int i = 0; i < 100; ++i) script.push_back(i);
    script.push_back(0);    // thread 0 becomes the most recently used
    script.push_back(100);  // the 101st context: thread 1 is the oldest now
    std::mutex m;
    std::condition_variable cv;
    size_t step = 0;
    bool finished = false;
    std::vector<pthread_t> ids(kThreads);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            ids[t] = pthread_self();
            ReadBuf r;
            std::unique_lock<std::mutex> lk(m);
            for (;;) {
                cv.wait(lk,
                        [&] { return finished || (step < script.size() && script[step] == t); });
                if (finished) return;
                const uint64_t s = 1 + static_cast<uint64_t>(t);
                if (r.next(c, s) != FlrRolCache::kDelivered || !r.holds(s + 1)) ++failures;
                ++step;
                cv.notify_all();
                if (step == script.size()) {
                    // Inspect while every thread is still alive.
                    auto order = c.getContextThreads();
                    EXPECT_EQ(order.size(), 100u);
                    EXPECT_EQ(c.getContextCount(), 100);
                    EXPECT_TRUE(pthread_equal(order.at(0), ids[100]));
                    EXPECT_TRUE(pthread_equal(order.at(1), ids[0]));
                    EXPECT_TRUE(pthread_equal(order.at(2), ids[99]));
                    EXPECT_TRUE(pthread_equal(order.back(), ids[2]));
                    for (pthread_t id : order) EXPECT_FALSE(pthread_equal(id, ids[1]));
                    finished = true;
                    cv.notify_all();
                    return;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_TRUE(finished);
    EXPECT_EQ(failures.load(), 0);
    c.cleanThreadHash();
    EXPECT_EQ(c.getContextCount(), 0);
}

// One writer rolls the cache over both limits while eight readers follow it,
// some closely (memory), some far behind (disk), some so slowly that what
// they want rolls off. Every entry a reader gets must be the next one.
TEST_F(RolCacheReaderTest, OneWriterEightReaders) {
    // About 12 MB; never below 9 MB, which the disk limit must roll over.
    const uint64_t kEntries = static_cast<uint64_t>(std::max(flrtest::scaled(6000), 4500));
    constexpr int kReaders = 8;
    FlrRolCache c(d(), 6 * kMiBytes, 2 * kMiBytes);
    std::atomic<bool> writerDone{false};
    std::atomic<int> failures{0};
    std::atomic<long> rolledOff{0}, delivered{0};

    auto sizeOf = [](uint64_t s) { return 1 + rctest::mix(s) % 4096; };
    auto reader = [&](int id) {
        ReadBuf r;
        std::mt19937 rng(static_cast<unsigned>(id));
        // The last reader starts only once entry 1 left memory: it must read
        // the files (they hold about 6 MiB, memory 2 MiB).
        if (id == kReaders - 1)
            while (c.getOldestResident() <= 1 && !writerDone) std::this_thread::yield();
        while (c.getLastSeq() == 0) std::this_thread::yield();
        uint64_t at = 1;
        while (at < kEntries) {
            const int res = r.next(c, at, 2);
            if (res == FlrRolCache::kDelivered) {
                if (r.seq != at + 1 || r.len != static_cast<int>(sizeOf(r.seq)) ||
                    !r.holds(r.seq)) {
                    ++failures;
                    return;
                }
                at = r.seq;
                ++delivered;
            } else if (res == FlrRolCache::kNotInCache) {
                // Only allowed when the entry really rolled off the disk.
                const auto files = c.getFiles();
                if (files.empty() || files.front() <= at) {
                    ++failures;
                    return;
                }
                ++rolledOff;
                at = files.front();
            } else if (res == FlrRolCache::kTimedOut && writerDone) {
                break;
            }
            // Slow readers fall behind memory, the slowest behind disk.
            if (id >= 4 && rng() % 64 == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(300 * (id - 3)));
        }
        if (at != kEntries) ++failures;
    };
    std::vector<std::thread> readers;
    for (int id = 0; id < kReaders; ++id) readers.emplace_back(reader, id);
    for (uint64_t s = 1; s <= kEntries; ++s) {
        const std::string p = rctest::payload(s, sizeOf(s));
        c.addEntry(p.data(), static_cast<int>(p.size()), s);
        if (s % 32 == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    writerDone = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(c.getFiles().front(), 1u);   // disk rolled over
    EXPECT_GT(c.getOldestResident(), 1u);  // memory rolled over
    EXPECT_GE(c.getContextCount(), 1);     // somebody read the files
    EXPECT_GT(delivered.load(), static_cast<long>(kEntries));
    RecordProperty("rolledOff", static_cast<int>(rolledOff.load()));
}

}  // namespace
