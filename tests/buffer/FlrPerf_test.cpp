#include "buffer/FlrPerf.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/EvDebug.h"
#include "platform/JXPlatformInfo.h"
#include "support/TestSupport.h"

// Nothing here may switch counting on in the test process itself: once on,
// it stays on. The test that switches it on runs in a child.

TEST(FlrPerfFormat, SummaryLinesScaleSizesAndRates) {
    EXPECT_EQ(FlrPerf::formatLine("FileRead", false, 3, 3145728, 2.0),
              "FileRead: 3.0MB, 1.5MB/s, 2.0s, 3 samples");
    EXPECT_EQ(FlrPerf::formatLine("SockSend", false, 1, 512, 10.0),
              "SockSend: 512B, 51.2B/s, 10.0s, 1 samples");
    EXPECT_EQ(FlrPerf::formatLine("FileClose", true, 7, 0, 1.24), "FileClose: 1.2s, 7 samples");
    // Boundaries of the size text.
    EXPECT_EQ(FlrPerf::formatLine("X", false, 1, 1023, 0.0), "X: 1023B, 0.0B/s, 0.0s, 1 samples");
    EXPECT_EQ(FlrPerf::formatLine("X", false, 1, 1024, 1.0), "X: 1.0KB, 1.0KB/s, 1.0s, 1 samples");
    EXPECT_EQ(FlrPerf::formatLine("X", false, 1, 1073741824ULL * 3, 1.0),
              "X: 3.0GB, 3.0GB/s, 1.0s, 1 samples");
    // Rate boundaries: 99 B/s, 100 B/s (shown in KB/s), 104857 B/s (MB/s).
    EXPECT_EQ(FlrPerf::formatLine("X", false, 1, 99, 1.0), "X: 99B, 99.0B/s, 1.0s, 1 samples");
    EXPECT_EQ(FlrPerf::formatLine("X", false, 1, 100, 1.0), "X: 100B, 0.1KB/s, 1.0s, 1 samples");
    EXPECT_EQ(FlrPerf::formatLine("X", false, 1, 104857, 1.0),
              "X: 102.4KB, 0.1MB/s, 1.0s, 1 samples");
}

TEST(FlrPerfStopWatch, AccumulatesOnlyBetweenStartAndStop) {
    FlrPerfStopWatch w;
    EXPECT_EQ(w.ticksPerSec, 1000000u);
    w.stop();  // without start: nothing
    EXPECT_EQ(w.elapsed, 0u);
    w.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    w.start();  // already running: keeps the first start
    w.stop();
    EXPECT_FALSE(w.running);
    const uint64_t first = w.elapsed;
    EXPECT_GE(first, 25000u);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(w.elapsed, first);  // not running: no time passes
    w.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    w.stop();
    EXPECT_GE(w.elapsed, first + 15000u);
    EXPECT_DOUBLE_EQ(w.time(), static_cast<double>(w.elapsed) / 1e6);

    w.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // Bounded by the time from just before the reset to just after the stop,
    // which a measurement kept from the start (20 ms earlier) would exceed.
    const auto beforeReset = std::chrono::steady_clock::now();
    w.reset();  // running: restarts the measurement from now
    EXPECT_EQ(w.elapsed, 0u);
    EXPECT_TRUE(w.running);
    w.stop();
    const auto window = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - beforeReset);
    EXPECT_LE(w.elapsed, static_cast<uint64_t>(window.count()) + 5000);  // wall-clock slew
}

TEST(FlrPerfCounter, CountsPerThreadAndFoldsThreadsThatEnded) {
    FlrPerfCounter counter;
    constexpr int kThreads = 6, kSamples = 200;
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&counter, t] {
            for (int i = 0; i < kSamples; ++i) {
                counter.start();
                counter.stop(static_cast<uint64_t>(t + 1));
            }
            counter.stop(1000);  // no matching start: not counted
        });
    }
    for (auto& w : workers) w.join();
    EXPECT_EQ(counter.getThreadCount(), static_cast<size_t>(kThreads));

    // The calling thread has a measurement in progress across the fold.
    counter.start();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    counter.accumulate();
    int samples = 0;
    uint64_t bytes = 0;
    double secs = 0;
    counter.getTotals(samples, bytes, secs);
    EXPECT_EQ(samples, kThreads * kSamples);
    EXPECT_EQ(bytes, static_cast<uint64_t>(kSamples) * (kThreads * (kThreads + 1) / 2));
    EXPECT_GE(secs, 0.015);
    // Threads that ended are gone; the caller stays, still measuring.
    EXPECT_EQ(counter.getThreadCount(), 1u);
    ASSERT_EQ(counter.threads.count(FlrPerfCounter::getThreadID()), 1u);
    EXPECT_TRUE(counter.threads[FlrPerfCounter::getThreadID()]->running);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    counter.stop(4096);

    counter.reset();
    counter.getTotals(samples, bytes, secs);
    EXPECT_EQ(samples, 0);
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(secs, 0.0);
    counter.accumulate();  // the reset also dropped the caller's pending sample
    counter.getTotals(samples, bytes, secs);
    EXPECT_EQ(samples, 0);
    EXPECT_EQ(bytes, 0u);
}

TEST(FlrPerfCounter, ConcurrentWorkersAndFolding) {
    FlrPerfCounter counter;
    std::atomic<bool> stop{false};
    std::atomic<long> done{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&] {
            while (!stop.load()) {
                counter.start();
                counter.stop(10);
                done.fetch_add(1);
            }
        });
    }
    long folded = 0;
    for (int i = 0; i < 50; ++i) {
        counter.accumulate();
        int samples = 0;
        uint64_t bytes = 0;
        double secs = 0;
        counter.getTotals(samples, bytes, secs);
        folded += samples;
        EXPECT_EQ(bytes, static_cast<uint64_t>(samples) * 10);
        counter.reset();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    stop = true;
    for (auto& w : workers) w.join();
    counter.accumulate();
    int samples = 0;
    uint64_t bytes = 0;
    double secs = 0;
    counter.getTotals(samples, bytes, secs);
    // A sample lost between a fold and its reset is the only allowed gap.
    EXPECT_LE(folded + samples, done.load());
    EXPECT_GT(folded + samples, 0);
    EXPECT_EQ(counter.getThreadCount(), 0u);
}

TEST(FlrPerfInit, CountingStaysOffBelowFiveSeconds) {
    flrtest::ScopedRegistry reg;
    EvDebugCapture log;
    FlrPerf::init();  // key absent
    EXPECT_FALSE(FlrPerf::isInitialized());
    ASSERT_EQ(JXPlatformInfo::setString("ZRP", "nPerfLogInterval", "4"), 0);
    FlrPerf::init();
    EXPECT_FALSE(FlrPerf::isInitialized());
    for (int k = 0; k < FLR_PERF_COUNT; ++k) EXPECT_EQ(FlrPerf::counter(k), nullptr) << k;
    EXPECT_FALSE(log.contains("Initializing perfomance counters."));
    FlrPerf::log();  // off: nothing to write
    EXPECT_FALSE(log.containsFragment("FileRead"));
}

TEST(FlrPerfInit, LogThreadWritesOneLinePerActiveCounter) {
    flrtest::ScopedRegistry reg;
    ASSERT_EQ(JXPlatformInfo::setString("ZRP", "nPerfLogInterval", "5"), 0);
    const int rc = flrtest::runInChild([]() -> int {
        EvDebugCapture log;
        FlrPerf::init();
        if (!FlrPerf::isInitialized() || FlrPerf::getLogInterval() != 5) return 10;
        if (!log.contains("Initializing perfomance counters.")) return 11;
        if (!log.contains("Will log results every 5 secs")) return 12;
        for (int k = 0; k < FLR_PERF_COUNT; ++k)
            if (!FlrPerf::counter(k)) return 13;
        FlrPerf::init();  // already on: nothing changes
        int initLines = 0;
        for (const auto& l : log.lines()) initLines += l.function == "FlrPerf::init";
        if (initLines != 2) return 14;

        // Two threads read 3 KiB each in 3 samples, one closes a file.
        std::vector<std::thread> workers;
        for (int t = 0; t < 2; ++t) {
            workers.emplace_back([] {
                for (int i = 0; i < 3; ++i) {
                    FlrPerf::counter(FLR_PERF_FILEREAD)->start();
                    FlrPerf::counter(FLR_PERF_FILEREAD)->stop(1024);
                }
            });
        }
        for (auto& w : workers) w.join();
        FlrPerf::counter(FLR_PERF_FILECLOSE)->start();
        FlrPerf::counter(FLR_PERF_FILECLOSE)->stop();

        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        std::string readLine, closeLine;
        while (std::chrono::steady_clock::now() < deadline && closeLine.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            for (const auto& l : log.lines()) {
                if (l.function != "FlrPerf" || l.level != EvDebug::kDebug) continue;
                if (l.text.rfind("FileRead: ", 0) == 0) readLine = l.text;
                if (l.text.rfind("FileClose: ", 0) == 0) closeLine = l.text;
            }
        }
        if (readLine.rfind("FileRead: 6.0KB, ", 0) != 0) return 20;
        if (readLine.find("s, 6 samples") == std::string::npos) return 21;
        if (closeLine.find("s, 1 samples") == std::string::npos) return 22;
        if (closeLine.find("B/s") != std::string::npos) return 23;  // time only
        // Idle counters write nothing, and the ended workers are forgotten.
        if (log.containsFragment("SockSend:") || log.containsFragment("MsgRecv:")) return 24;
        if (FlrPerf::counter(FLR_PERF_FILEREAD)->getThreadCount() != 0) return 25;
        return 0;
    });
    EXPECT_EQ(rc, 0);
}
