// Uncontended enter/exit of the re-entrant monitor against the standard
// recursive mutex, the natural baseline: the monitor guards the raw buffer,
// the rolling cache and the network queues, which are entered per entry.
// The last line prints the cost ratio monitor / baseline.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <string>

#include "platform/JxMonitor.h"

namespace {

void BM_RecursiveMutexLockUnlock(benchmark::State& state) {
    std::recursive_mutex m;
    for (auto _ : state) {
        m.lock();
        benchmark::ClobberMemory();
        m.unlock();
    }
}
BENCHMARK(BM_RecursiveMutexLockUnlock);

void BM_MonitorEnterExit(benchmark::State& state) {
    JxMonitorH m;
    for (auto _ : state) {
        m.enter();
        benchmark::ClobberMemory();
        m.exit();
    }
}
BENCHMARK(BM_MonitorEnterExit);

// Re-entry by the holder, as addEntry -> delOldestCacheFile does.
void BM_RecursiveMutexNested(benchmark::State& state) {
    std::recursive_mutex m;
    m.lock();
    for (auto _ : state) {
        m.lock();
        benchmark::ClobberMemory();
        m.unlock();
    }
    m.unlock();
}
BENCHMARK(BM_RecursiveMutexNested);

void BM_MonitorNested(benchmark::State& state) {
    JxMonitorH m;
    m.enter();
    for (auto _ : state) {
        m.enter();
        benchmark::ClobberMemory();
        m.exit();
    }
    m.exit();
}
BENCHMARK(BM_MonitorNested);

class CollectingReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) nsPerOp[r.benchmark_name()] = r.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> nsPerOp;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    CollectingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto& t = reporter.nsPerOp;
    const double base = t["BM_RecursiveMutexLockUnlock"], mon = t["BM_MonitorEnterExit"];
    const double nestedBase = t["BM_RecursiveMutexNested"], nested = t["BM_MonitorNested"];
    if (base > 0 && nestedBase > 0)
        std::printf("monitor/recursive_mutex enter+exit ratio: %.2f (nested: %.2f)\n", mon / base,
                    nested / nestedBase);
    return 0;
}
