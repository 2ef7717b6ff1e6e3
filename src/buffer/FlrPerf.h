#pragma once
// Optional performance counters of the data path: how long threads spend in a
// few kinds of I/O and how many bytes they move, summarised in the debug log
// at a fixed interval. Switched on by registry "ZRP" / "nPerfLogInterval"
// (seconds, at least 5); while it is off the counters do not exist and callers
// skip their timing calls:
//
//     if (FlrPerfCounter* c = FlrPerf::counter(FLR_PERF_FILEREAD)) c->start();
#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/JxRW.h"

enum FlrPerfKind {
    FLR_PERF_FILEREAD = 0,
    FLR_PERF_SOCKSEND = 1,
    FLR_PERF_SOCKRECV = 2,
    FLR_PERF_MSGRECV = 3,
    FLR_PERF_FILEWRITE = 4,
    FLR_PERF_FILECLOSE = 5,
    FLR_PERF_COUNT = 6
};

// Accumulates wall-clock microseconds between start and stop.
class FlrPerfStopWatch {
  public:
    bool running = false;
    uint64_t startCtr = 0;
    uint64_t ticksPerSec = 1000000;
    uint64_t elapsed = 0;

    static uint64_t getCtr();
    void start();
    void stop();
    void reset();
    double time() const;
};

// One thread's share of a counter; touched only by that thread (read lock)
// and by the folding of the log thread (write lock).
class FlrPerfPerThreadCounter : public FlrPerfStopWatch {
  public:
    FlrPerfPerThreadCounter();

    int samples = 0;
    uint64_t bytes = 0;
    pthread_t tid;
    // Cleared by the thread's own exit; thread ids are reused, and asking the
    // system about the id of a thread that has ended is undefined.
    std::shared_ptr<std::atomic<bool>> alive;

    bool isThreadAlive() const;
};

class FlrPerfCounter {
  public:
    FlrPerfCounter() = default;
    FlrPerfCounter(const FlrPerfCounter&) = delete;
    FlrPerfCounter& operator=(const FlrPerfCounter&) = delete;

    static unsigned long getThreadID();

    // Starts timing for the calling thread.
    void start();
    // Ends the calling thread's timing and counts one sample of `bytes`; a
    // stop without a start changes nothing.
    void stop(uint64_t bytes = 0);
    // Folds the per-thread values into the totals (a running measurement
    // continues into the next interval) and forgets threads that ended.
    void accumulate();
    // Zeroes the per-thread values and the totals.
    void reset();

    // Consistent copy of the totals.
    void getTotals(int& samples, uint64_t& bytesMoved, double& seconds);
    size_t getThreadCount();

    std::map<unsigned long, std::unique_ptr<FlrPerfPerThreadCounter>> threads;
    JxSplitRW rw;
    int totalSamples = 0;
    uint64_t totalBytes = 0;
    double totalTime = 0.0;

  private:
    FlrPerfPerThreadCounter* findLive(unsigned long id);
    void addCallingThread(unsigned long id);
};

class FlrPerf {
  public:
    struct Entry {
        const char* name;
        int timeOnly;
        std::atomic<FlrPerfCounter*> counter;  // null while counting is off
    };
    static Entry counters[FLR_PERF_COUNT];

    // Reads the interval and, when it is 5 s or more, creates the counters and
    // starts the detached log thread. Later calls do nothing once it is on.
    static void init();
    // One line per counter that saw activity, then resets it.
    static void log();

    static bool isInitialized();
    static int getLogInterval();
    static FlrPerfCounter* counter(int kind) {
        return counters[kind].counter.load(std::memory_order_acquire);
    }
    // The text of one summary line (what log writes).
    static std::string formatLine(const char* name, bool timeOnly, int samples, uint64_t bytes,
                                  double seconds);
};
