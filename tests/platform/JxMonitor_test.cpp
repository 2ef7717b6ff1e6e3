#include "platform/JxMonitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "FLR/JxException.h"
#include "platform/EvDebug.h"
#include "platform/JxCriticalSection.h"
#include "support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

long msSince(Clock::time_point start) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// Waits (on a monitor of its own) until pred holds; false after 10 s, so a
// broken monitor fails the test instead of hanging it.
template <class Pred>
bool eventually(JxMonitor& m, Pred pred) {
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    JxMonitorLock lk(m);
    while (!pred()) {
        if (Clock::now() >= deadline) return false;
        m.wait(20);
    }
    return true;
}

bool otherThreadCanEnter(JxMonitor& m) {
    bool entered = false;
    std::thread t([&] {
        entered = m.tryEnter();
        if (entered) m.exit();
    });
    t.join();
    return entered;
}

TEST(JxMonitor, ReentryCountsLevelsAndExcludesOtherThreads) {
    JxMonitorH m;
    EXPECT_FALSE(m.heldByMe());
    m.enter();
    EXPECT_TRUE(m.tryEnter());
    m.enter();
    EXPECT_TRUE(m.heldByMe());
    EXPECT_FALSE(otherThreadCanEnter(m));
    m.exit();
    m.exit();
    EXPECT_FALSE(otherThreadCanEnter(m));  // one level still held
    m.exit();
    EXPECT_FALSE(m.heldByMe());
    EXPECT_TRUE(otherThreadCanEnter(m));
}

TEST(JxMonitor, WaitFromDepthThreeReleasesEveryLevelAndRestoresThem) {
    JxMonitorH m;
    bool inWait = false;
    bool ready = false;
    bool wokenBySignal = false;
    std::thread waiter([&] {
        JxMonitorLock l1(m);
        JxMonitorLock l2(m);
        JxMonitorLock l3(m);
        inWait = true;
        while (!ready) wokenBySignal = m.wait(-1);
        // All three levels are back: two exits still leave the monitor held.
        m.exit();
        m.exit();
        EXPECT_TRUE(m.heldByMe());
        EXPECT_FALSE(otherThreadCanEnter(m));
        m.enter();
        m.enter();
    });
    // Entering is only possible while the waiter sits in wait() with every
    // level released.
    ASSERT_TRUE(eventually(m, [&] { return inWait; }));
    {
        JxMonitorLock lk(m);
        ready = true;
        m.signal();
    }
    waiter.join();
    EXPECT_TRUE(wokenBySignal);
    EXPECT_TRUE(otherThreadCanEnter(m));
}

TEST(JxMonitor, TimedWaitReturnsFalseAfterTheTimeAndStillHolds) {
    JxMonitorH m;
    JxMonitorLock l1(m);
    JxMonitorLock l2(m);
    const auto start = Clock::now();
    EXPECT_FALSE(m.wait(200));
    EXPECT_GE(msSince(start), 180);
    EXPECT_TRUE(m.heldByMe());
    EXPECT_FALSE(otherThreadCanEnter(m));
    EXPECT_FALSE(m.wait(0));
}

TEST(JxMonitor, SignalWithNoWaiterIsNotRemembered) {
    JxMonitorH m;
    m.signal();
    m.broadcast();
    JxMonitorLock lk(m);
    EXPECT_FALSE(m.wait(50));
}

// Waiters count themselves in under the monitor before waiting; once the
// main thread holds the monitor and sees them all, every one is inside wait().
struct WaiterPool {
    JxMonitorH m;
    JxMonitorH progress;  // separate, so reporting does not consume signals of m
    int inWait = 0;
    int woken = 0;
    std::vector<std::thread> threads;

    void start(int n) {
        for (int i = 0; i < n; ++i)
            threads.emplace_back([this] {
                {
                    JxMonitorLock lk(m);
                    ++inWait;
                    EXPECT_TRUE(m.wait(-1));
                }
                JxMonitorLock lk(progress);
                ++woken;
                progress.broadcast();
            });
        ASSERT_TRUE(eventually(m, [&] { return inWait == n; }));
    }
    int wokenNow() {
        JxMonitorLock lk(progress);
        return woken;
    }
    ~WaiterPool() {
        for (auto& t : threads) t.join();
    }
};

TEST(JxMonitor, SignalWakesExactlyOneOfTwoWaitersAndBroadcastTheRest) {
    WaiterPool pool;
    pool.start(2);
    {
        JxMonitorLock lk(pool.m);
        pool.m.signal();
    }
    ASSERT_TRUE(eventually(pool.progress, [&] { return pool.woken >= 1; }));
    // The second waiter must stay asleep; give a wrong implementation time to show it.
    {
        JxMonitorLock lk(pool.progress);
        pool.progress.wait(150);
    }
    EXPECT_EQ(pool.wokenNow(), 1);
    {
        JxMonitorLock lk(pool.m);
        pool.m.broadcast();
    }
    EXPECT_TRUE(eventually(pool.progress, [&] { return pool.woken == 2; }));
}

TEST(JxMonitor, BroadcastWakesEveryWaiter) {
    WaiterPool pool;
    pool.start(4);
    {
        JxMonitorLock lk(pool.m);
        pool.m.broadcast();
    }
    EXPECT_TRUE(eventually(pool.progress, [&] { return pool.woken == 4; }));
}

TEST(JxMonitor, SignalIsNotTakenByAThreadThatStartsWaitingLater) {
    WaiterPool pool;
    pool.start(1);
    {
        JxMonitorLock lk(pool.m);
        pool.m.signal();
    }
    // A latecomer may well reach wait() before the first waiter wakes up.
    bool lateWoken = false;
    std::thread late([&] {
        JxMonitorLock lk(pool.m);
        lateWoken = pool.m.wait(300);
    });
    EXPECT_TRUE(eventually(pool.progress, [&] { return pool.woken == 1; }));
    late.join();
    EXPECT_FALSE(lateWoken);
}

TEST(JxMonitor, MisuseByANonHolderIsRefusedWithoutReleasingTheHolder) {
    JxMonitorH m;
    EXPECT_THROW(m.wait(10), JxException);
    m.enter();
    EvDebugCapture capture;
    std::thread t([&] {
        m.exit();
        EXPECT_THROW(m.wait(10), JxException);
    });
    t.join();
    EXPECT_TRUE(capture.contains("Monitor left by a thread that does not hold it"));
    EXPECT_TRUE(m.heldByMe());
    EXPECT_FALSE(otherThreadCanEnter(m));
    m.exit();
}

// Bounded queue with several producers and consumers waiting on one monitor,
// entered twice to exercise waits below the top level.
TEST(JxMonitor, ProducersAndConsumersPassEveryItemOnce) {
    constexpr int kProducers = 3, kConsumers = 3, kCapacity = 8;
    const int kItems = flrtest::scaled(3000);
    JxMonitorH m;
    std::vector<int> queue;
    int producersLeft = kProducers;
    long long consumedSum = 0;
    int consumedCount = 0;

    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p)
        threads.emplace_back([&, p] {
            for (int i = 0; i < kItems; ++i) {
                JxMonitorLock outer(m);
                JxMonitorLock inner(m);
                while (static_cast<int>(queue.size()) >= kCapacity) m.wait(-1);
                queue.push_back(p * kItems + i);
                m.broadcast();
            }
            JxMonitorLock lk(m);
            --producersLeft;
            m.broadcast();
        });
    for (int c = 0; c < kConsumers; ++c)
        threads.emplace_back([&] {
            for (;;) {
                JxMonitorLock outer(m);
                JxMonitorLock inner(m);
                while (queue.empty() && producersLeft > 0) m.wait(-1);
                if (queue.empty()) return;
                consumedSum += queue.back();
                ++consumedCount;
                queue.pop_back();
                m.broadcast();
            }
        });
    for (auto& t : threads) t.join();

    const long long n = static_cast<long long>(kProducers) * kItems;
    EXPECT_EQ(consumedCount, n);
    EXPECT_EQ(consumedSum, n * (n - 1) / 2);
}

// signal() alone must be enough when every waiter waits for the same thing.
TEST(JxMonitor, SignalPerItemKeepsConsumersGoing) {
    constexpr int kConsumers = 4;
    const int kItems = flrtest::scaled(4000);
    JxMonitorH m;
    int available = 0;
    bool done = false;
    std::atomic<int> taken{0};
    std::vector<std::thread> consumers;
    for (int c = 0; c < kConsumers; ++c)
        consumers.emplace_back([&] {
            JxMonitorLock lk(m);
            for (;;) {
                while (available == 0 && !done) m.wait(-1);
                if (available == 0) return;
                --available;
                taken.fetch_add(1);
            }
        });
    for (int i = 0; i < kItems; ++i) {
        JxMonitorLock lk(m);
        ++available;
        m.signal();
    }
    {
        JxMonitorLock lk(m);
        done = true;
        m.broadcast();
    }
    for (auto& t : consumers) t.join();
    EXPECT_EQ(taken.load(), kItems);
}

TEST(JxCriticalSection, ReentrantForItsHolderExclusiveForOthers) {
    JxCriticalSectionH cs;
    cs.enter();
    {
        JxCriticalSectionLock again(cs);
        bool other = true;
        std::thread t([&] { other = cs.tryEnter(); });
        t.join();
        EXPECT_FALSE(other);
    }
    cs.exit();
    bool other = false;
    std::thread t([&] {
        other = cs.tryEnter();
        if (other) cs.exit();
    });
    t.join();
    EXPECT_TRUE(other);
}

}  // namespace
