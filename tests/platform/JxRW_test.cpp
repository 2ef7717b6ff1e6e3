#include "platform/JxRW.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/JxThread.h"
#include "support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

template <class Pred>
bool spinUntil(Pred pred) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (!pred()) {
        if (Clock::now() >= deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

TEST(JxSplitRW, ReadersHoldTheLockTogether) {
    constexpr int kReaders = 4;
    JxSplitRW rw;
    std::atomic<int> inside{0};
    std::atomic<bool> allMet{true};
    std::vector<std::thread> readers;
    for (int i = 0; i < kReaders; ++i)
        readers.emplace_back([&] {
            JxReadLock lk(rw);
            inside.fetch_add(1);
            // Every reader stays until all are in: only possible when they share.
            if (!spinUntil([&] { return inside.load() == kReaders; })) allMet = false;
        });
    for (auto& t : readers) t.join();
    EXPECT_TRUE(allMet.load());
}

TEST(JxSplitRW, WriterExcludesReadersAndOtherWriters) {
    JxSplitRW rw;
    long a = 0, b = 0;  // plain data: a race also shows under ThreadSanitizer
    std::atomic<int> readersIn{0}, writersIn{0};
    std::atomic<int> violations{0};
    const int rounds = flrtest::scaled(2000);
    std::vector<std::thread> threads;
    for (int w = 0; w < 2; ++w)
        threads.emplace_back([&] {
            for (int i = 0; i < rounds; ++i) {
                JxWriteLock lk(rw);
                if (writersIn.fetch_add(1) != 0 || readersIn.load() != 0) ++violations;
                ++a;
                ++b;
                writersIn.fetch_sub(1);
            }
        });
    for (int r = 0; r < 3; ++r)
        threads.emplace_back([&] {
            for (int i = 0; i < rounds; ++i) {
                JxReadLock lk(rw);
                readersIn.fetch_add(1);
                if (writersIn.load() != 0 || a != b) ++violations;
                readersIn.fetch_sub(1);
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(violations.load(), 0);
    EXPECT_EQ(a, 2L * rounds);
}

TEST(JxSplitRW, WaitingWriterHoldsBackNewReaders) {
    JxSplitRW rw;
    std::atomic<int> step{0};
    std::vector<int> order;  // guarded by rw itself
    rw.readLock();
    std::thread writer([&] {
        JxWriteLock lk(rw);
        order.push_back(1);
    });
    ASSERT_TRUE(spinUntil([&] { return rw.writerWaiting(); }));
    std::thread lateReader([&] {
        step = 1;
        JxReadLock lk(rw);
        order.push_back(2);
    });
    ASSERT_TRUE(spinUntil([&] { return step.load() == 1; }));
    // Room for a reader-preferring lock to let the late reader in ahead.
    jxSleepMs(100);
    rw.readUnlock();
    writer.join();
    lateReader.join();
    ASSERT_EQ(order.size(), 2u);
    EXPECT_EQ(order[0], 1);
    EXPECT_EQ(order[1], 2);
}

}  // namespace
