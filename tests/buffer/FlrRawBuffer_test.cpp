#include "buffer/FlrRawBuffer.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "FLR/JxException.h"
#include "FlrRawBufferTestUtil.h"
#include "platform/EvDebug.h"
#include "support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace rbtest;

}  // namespace

// --- memory queue ------------------------------------------------------------

TEST(FlrRawBufferMemory, KeepsArrivalOrderAndReusesTheConsumerBuffer) {
    EvDebugCapture cap;
    FlrRawBuffer rb(nullptr, 1 << 20);
    EXPECT_TRUE(cap.contains("Swap dir: DISABLED, Max VM: 1048576"));
    for (uint32_t i = 0; i < 100; ++i) add(rb, payload(i, 10 + i * 13));
    EXPECT_EQ(rb.getMemCount(), 100);

    Consumer c;
    ASSERT_EQ(c.take(rb), payload(0, 10));
    EXPECT_EQ(c.cap, 1024);
    for (uint32_t i = 1; i < 100; ++i) ASSERT_EQ(c.take(rb), payload(i, 10 + i * 13)) << i;
    EXPECT_NE(c.buf, nullptr);
    EXPECT_EQ(c.cap, 2048);  // grew once, in 1 KiB steps, never shrank
    EXPECT_EQ(rb.getMemUsed(), 0);
    EXPECT_EQ(rb.getMemCount(), 0);
}

TEST(FlrRawBufferMemory, GrowsABufferOfCapacityZeroToWholeKibibytes) {
    FlrRawBuffer rb("", 10000);
    add(rb, payload(1, 1500));
    add(rb, payload(2, 100));
    Consumer c;
    EXPECT_EQ(c.take(rb), payload(1, 1500));
    EXPECT_EQ(c.cap, 2048);
    char* kept = c.buf;
    EXPECT_EQ(c.take(rb), payload(2, 100));
    EXPECT_EQ(c.buf, kept);  // big enough: not replaced
    EXPECT_EQ(c.cap, 2048);
}

TEST(FlrRawBufferMemory, RefusesEmptyEntriesAndOversizeEntriesWithoutSwap) {
    FlrRawBuffer rb(nullptr, 1000);
    const char byte = 'x';
    EXPECT_EQ(thrownMessage([&] { rb.addEntry(nullptr, 5); }),
              "NULL or empty journal entry passed to FlrRawBuffer::addEntry()");
    EXPECT_EQ(thrownMessage([&] { rb.addEntry(&byte, 0); }),
              "NULL or empty journal entry passed to FlrRawBuffer::addEntry()");

    // Would otherwise wait for ever: no consumer can ever make room for it.
    const std::string big = payload(7, 1001);
    const auto t0 = Clock::now();
    try {
        add(rb, big);
        FAIL() << "oversize entry accepted";
    } catch (const JxException& e) {
        EXPECT_EQ(e.getFunction(), "FlrRawBuffer::addEntry");
        EXPECT_EQ(e.getSource(), "FlrRawBuffer");
        EXPECT_NE(e.getMessage().find("1001 bytes"), std::string::npos) << e.getMessage();
        EXPECT_NE(e.getMessage().find("1000"), std::string::npos) << e.getMessage();
    }
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(1));
    add(rb, payload(8, 1000));  // exactly the limit fits
    EXPECT_EQ(rb.getMemCount(), 1);
}

TEST(FlrRawBufferMemory, ProducerWaitsForRoomWhenSwappingIsDisabled) {
    FlrRawBuffer rb(nullptr, 1000);
    add(rb, payload(1, 600));
    std::atomic<bool> added{false};
    std::thread producer([&] {
        add(rb, payload(2, 600));
        added = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(added.load());
    Consumer c;
    EXPECT_EQ(c.take(rb), payload(1, 600));
    producer.join();
    EXPECT_TRUE(added.load());
    EXPECT_EQ(c.take(rb), payload(2, 600));

    // clear() frees the memory a waiting producer needs.
    add(rb, payload(3, 900));
    std::thread waiting([&] { add(rb, payload(4, 900)); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    rb.clear();
    waiting.join();
    EXPECT_EQ(c.take(rb), payload(4, 900));
}

TEST(FlrRawBufferMemory, BlockingAndNonBlockingConsumers) {
    EvDebugCapture log;
    FlrRawBuffer rb(nullptr, 1 << 16);
    Consumer c;

    // Blocking: a consumer on an empty queue waits for the next entry.
    std::string got;
    std::thread blocked([&] { got = c.take(rb); });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_TRUE(got.empty());
    add(rb, payload(1, 50));
    blocked.join();
    EXPECT_EQ(got, payload(1, 50));

    // A consumer already waiting is released by a non-blocking period.
    std::atomic<int> result{-1};
    Consumer c2;
    std::thread waiter([&] {
        std::string s;
        result = c2.next(rb, s) ? 1 : 0;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    EXPECT_EQ(result.load(), -1);
    rb.becomeNonBlock(1);
    const time_t periodEnd = time(nullptr) + 1;
    waiter.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_TRUE(log.contains("Switching raw buffer to non-blocking mode for 1 seconds."));

    // During the period an empty queue answers at once; entries still come.
    std::string s;
    const auto t0 = Clock::now();
    EXPECT_FALSE(c.next(rb, s));
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(500));
    add(rb, payload(2, 60));
    EXPECT_TRUE(c.next(rb, s));
    EXPECT_EQ(s, payload(2, 60));

    // After the period the consumer blocks again.
    while (time(nullptr) <= periodEnd) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::atomic<bool> delivered{false};
    std::thread again([&] {
        std::string t;
        delivered = c2.next(rb, t) && t == payload(3, 70);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(delivered.load());
    add(rb, payload(3, 70));
    again.join();
    EXPECT_TRUE(delivered.load());
}

// --- swap files --------------------------------------------------------------

TEST(FlrRawBufferSwap, RollsFilesAfter0x4FFFFFBytesAndDeletesThemWhenUsedUp) {
    flrtest::TempDir dir;
    FlrRawBuffer rb(dir.path().c_str(), 0);
    const std::string swap0 = dir.file("swap.0"), swap1 = dir.file("swap.1");

    // A file holding exactly 0x4FFFFF bytes still takes one more entry.
    add(rb, payload(1, 0x4FFFFF));
    add(rb, payload(2, 1));
    EXPECT_EQ(rb.getSwapFileCount(), 1);
    struct stat st {};
    ASSERT_EQ(::stat(swap0.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Now it holds more than 0x4FFFFF: the next entry opens swap.1, and swap.0
    // is complete on disk.
    add(rb, payload(3, 1 << 20));
    EXPECT_EQ(rb.getSwapFileCount(), 2);
    EXPECT_EQ(fileSize(swap0), 0x500000);
    EXPECT_EQ(fileSize(swap1), 1 << 20);
    EXPECT_EQ(rb.getSwapCount(), 3);
    EXPECT_EQ(rb.getMemCount(), 0);

    Consumer c;
    EXPECT_EQ(c.take(rb), payload(1, 0x4FFFFF));
    EXPECT_TRUE(exists(swap0));
    EXPECT_EQ(c.take(rb), payload(2, 1));
    EXPECT_FALSE(exists(swap0));  // used up
    EXPECT_TRUE(exists(swap1));
    EXPECT_EQ(c.take(rb), payload(3, 1 << 20));
    EXPECT_FALSE(exists(swap1));
    EXPECT_EQ(rb.getSwapFileCount(), 0);

    // Five 1 MiB entries fill swap.2 past the limit; the sixth starts swap.3.
    for (uint32_t i = 0; i < 6; ++i) add(rb, payload(10 + i, 1 << 20));
    EXPECT_EQ(fileSize(dir.file("swap.2")), 5 << 20);
    EXPECT_EQ(fileSize(dir.file("swap.3")), 1 << 20);
    for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(c.take(rb), payload(10 + i, 1 << 20));
    EXPECT_FALSE(exists(dir.file("swap.2")));
    EXPECT_EQ(c.take(rb), payload(15, 1 << 20));
    EXPECT_FALSE(exists(dir.file("swap.3")));
}

TEST(FlrRawBufferSwap, KeepsOrderAcrossMemoryAndSwap) {
    flrtest::TempDir dir;
    FlrRawBuffer rb(dir.path().c_str(), 1000);
    add(rb, payload(1, 600));  // memory
    add(rb, payload(2, 600));  // no room: swap
    add(rb, payload(3, 300));  // fits again: memory
    EXPECT_EQ(rb.getMemCount(), 2);
    EXPECT_EQ(rb.getSwapCount(), 1);
    EXPECT_EQ(rb.getMemUsed(), 900);
    Consumer c;
    EXPECT_EQ(c.take(rb), payload(1, 600));
    EXPECT_EQ(c.take(rb), payload(2, 600));
    EXPECT_EQ(c.take(rb), payload(3, 300));

    // Larger than the memory limit: goes to swap instead of being refused.
    add(rb, payload(4, 5000));
    EXPECT_EQ(c.take(rb), payload(4, 5000));
}

TEST(FlrRawBufferSwap, StaleSwapFilesGoAtConstructionClearAndDestruction) {
    flrtest::TempDir dir;
    flrtest::writeFile(dir.file("swap.7"), "old");
    flrtest::writeFile(dir.file("swapfile"), "keep");
    {
        EvDebugCapture log;
        FlrRawBuffer rb(dir.path().c_str(), 0);
        EXPECT_TRUE(log.contains("Swap dir: " + dir.path() + ", Max VM: 0"));
        EXPECT_TRUE(log.contains("Removing stale swap file swap.7"));
        EXPECT_FALSE(exists(dir.file("swap.7")));
        EXPECT_TRUE(exists(dir.file("swapfile")));

        add(rb, payload(1, 100));
        add(rb, payload(2, 100));
        EXPECT_TRUE(exists(dir.file("swap.0")));
        rb.clear();
        EXPECT_FALSE(exists(dir.file("swap.0")));
        EXPECT_EQ(rb.getSwapCount(), 0);
        std::string s;
        Consumer c;
        rb.becomeNonBlock(5);
        EXPECT_FALSE(c.next(rb, s));

        // Numbering starts again after clear.
        add(rb, payload(3, 100));
        EXPECT_TRUE(exists(dir.file("swap.0")));
        EXPECT_EQ(c.take(rb), payload(3, 100));
        add(rb, payload(4, 100));
    }
    EXPECT_FALSE(exists(dir.file("swap.0")));
    EXPECT_FALSE(exists(dir.file("swap.1")));
    EXPECT_TRUE(exists(dir.file("swapfile")));

    const std::string missing = dir.file("nope");
    try {
        FlrRawBuffer rb(missing.c_str(), 0);
        FAIL() << "missing swap directory accepted";
    } catch (const JxException& e) {
        EXPECT_EQ(e.getFunction(), "FlrRawBuffer::cleanSwapDir");
        EXPECT_EQ(e.getMessage(),
                  "Failed to open directory " + missing + ": No such file or directory");
        EXPECT_EQ(e.getCode(), ENOENT);
    }
}

// --- export and import -------------------------------------------------------

// --- failing writes ----------------------------------------------------------

namespace {

// Limits every file this process writes to `bytes` (RLIM_INFINITY lifts the
// limit again); writes beyond it fail with EFBIG instead of raising SIGXFSZ.
void limitFileSizeTo(rlim_t bytes) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit lim{};
    getrlimit(RLIMIT_FSIZE, &lim);
    lim.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &lim);
}

}  // namespace

TEST(FlrRawBufferFailure, FailedSwapWriteLeavesTheQueueAligned) {
    flrtest::TempDir dir;
    const int rc = flrtest::runInChild([&]() -> int {
        limitFileSizeTo(1536 * 1024);
        FlrRawBuffer rb(dir.path().c_str(), 1000);
        const std::string a = payload(1, 1 << 20), b = payload(2, 1 << 20), c = payload(3, 300000);
        const std::string m = payload(4, 500), d = payload(5, 4000);
        add(rb, a);  // swap.0 holds 1 MiB
        int code = 0;
        std::string msg = thrownMessage([&] {
            try {
                add(rb, b);  // half of it fits, then EFBIG
            } catch (const JxException& e) {
                code = e.getCode();
                throw;
            }
        });
        if (msg != "Failed to write data to swap file: File too large" || code != EFBIG) return 10;
        if (rb.getSwapCount() != 1) return 11;
        limitFileSizeTo(RLIM_INFINITY);
        add(rb, m);  // memory
        add(rb, c);  // must not land behind the partial bytes in swap.0
        if (!exists(dir.file("swap.1"))) return 12;
        if (fileSize(dir.file("swap.1")) != 300000) return 15;
        add(rb, d);  // swap.1 is still open and takes it
        const std::string huge = payload(6, 6 << 20);
        add(rb, huge);  // fills swap.1 past its roll size
        // A first write that fails leaves no empty file behind.
        limitFileSizeTo(1000);
        if (thrownMessage([&] { add(rb, c); }).find("File too large") == std::string::npos)
            return 13;
        if (exists(dir.file("swap.2"))) return 14;
        limitFileSizeTo(RLIM_INFINITY);
        add(rb, d);
        Consumer cons;
        if (cons.take(rb) != a) return 20;
        if (exists(dir.file("swap.0"))) return 21;  // used up despite the stray bytes
        if (cons.take(rb) != m) return 22;
        if (cons.take(rb) != c) return 23;
        if (cons.take(rb) != d) return 24;
        if (cons.take(rb) != huge) return 26;
        if (cons.take(rb) != d) return 27;
        return rb.getSwapFileCount() == 0 ? 0 : 25;
    });
    EXPECT_EQ(rc, 0);
}

TEST(FlrRawBufferFailure, FailedBlockWriteKeepsQueuedEntriesReadable) {
    flrtest::TempDir dir;
    const int rc = flrtest::runInChild([&]() -> int {
        FlrRawBuffer rb(dir.path().c_str(), 0);
        std::vector<std::string> entries;
        for (uint32_t i = 0; i < 100; ++i) {
            entries.push_back(payload(i, 1000));
            add(rb, entries.back());  // gathered in memory, not yet written
        }
        limitFileSizeTo(50000);
        // Needs the gathered block written first; half of it fits.
        const std::string next = payload(500, 40000);
        if (thrownMessage([&] { add(rb, next); }) !=
            "Failed to write data to swap file: File too large")
            return 10;
        if (rb.getSwapCount() != 100) return 11;
        limitFileSizeTo(RLIM_INFINITY);
        entries.push_back(payload(501, 40000));
        add(rb, entries.back());  // a new file: swap.0 takes nothing more
        if (!exists(dir.file("swap.1"))) return 12;
        Consumer c;
        for (const auto& e : entries)
            if (c.take(rb) != e) return 13;
        return rb.getSwapFileCount() == 0 ? 0 : 14;
    });
    EXPECT_EQ(rc, 0);
}

// --- contention --------------------------------------------------------------

TEST(FlrRawBufferConcurrency, SeveralProducersOneConsumer) {
    for (const bool swap : {true, false}) {
        SCOPED_TRACE(swap ? "with swap" : "memory only");
        flrtest::TempDir dir;
        FlrRawBuffer rb(swap ? dir.path().c_str() : nullptr, 64 * 1024);
        constexpr uint32_t kProducers = 4, kPerProducer = 1000;
        std::vector<std::thread> producers;
        for (uint32_t p = 0; p < kProducers; ++p) {
            producers.emplace_back([&rb, p] {
                std::mt19937 rng(p);
                for (uint32_t i = 0; i < kPerProducer; ++i) {
                    const uint32_t tag = p << 24 | i;
                    add(rb, payload(tag, 4 + rng() % 20000));
                }
            });
        }
        std::vector<uint32_t> next(kProducers, 0);
        std::vector<std::mt19937> rngs;
        for (uint32_t p = 0; p < kProducers; ++p) rngs.emplace_back(p);
        Consumer c;
        std::string s;
        for (uint32_t n = 0; n < kProducers * kPerProducer; ++n) {
            ASSERT_TRUE(c.next(rb, s));
            uint32_t tag = 0;
            std::memcpy(&tag, s.data(), 4);
            const uint32_t p = tag >> 24;
            if (p >= kProducers) {
                ADD_FAILURE() << "entry " << n << " has no producer";
                continue;
            }
            // Each producer's entries arrive in its own order, intact.
            EXPECT_EQ(tag & 0xFFFFFF, next[p]);
            EXPECT_TRUE(s == payload(tag, 4 + rngs[p]() % 20000)) << "entry " << n << " damaged";
            ++next[p];
        }
        for (auto& t : producers) t.join();
        EXPECT_EQ(rb.getMemCount() + rb.getSwapCount(), 0);
        EXPECT_EQ(rb.getSwapFileCount(), 0);
    }
}
