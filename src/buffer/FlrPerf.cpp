#include "FlrPerf.h"

#include <sys/time.h>

#include <mutex>
#include <vector>

#include "FLR/JxException.h"
#include "platform/EvDebug.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxThread.h"

namespace {

constexpr int kMinLogInterval = 5;

std::atomic<bool> initialized{false};
std::atomic<int> log_interval{0};
std::mutex initMutex;

// Marks, at the exit of the thread that owns them, every per-thread counter
// that thread created as ended.
struct ThreadExitMarks {
    std::vector<std::shared_ptr<std::atomic<bool>>> flags;
    ~ThreadExitMarks() {
        for (auto& f : flags) f->store(false, std::memory_order_release);
    }
};
thread_local ThreadExitMarks exitMarks;

std::shared_ptr<std::atomic<bool>> aliveFlagOfCallingThread() {
    auto flag = std::make_shared<std::atomic<bool>>(true);
    exitMarks.flags.push_back(flag);
    return flag;
}

std::string sizeText(uint64_t bytes) {
    if (bytes <= 1023) return jxFormat("%luB", static_cast<unsigned long>(bytes));
    const double b = static_cast<double>(bytes);
    if (bytes < 1048576ULL) return jxFormat("%0.1fKB", b / 1024.0);
    if (bytes < 1073741824ULL) return jxFormat("%0.1fMB", b / 1048576.0);
    return jxFormat("%0.1fGB", b / 1073741824.0);
}

std::string rateText(double rate) {
    if (rate < 100.0) return jxFormat("%0.1fB/s", rate);
    if (rate < 104857.0) return jxFormat("%0.1fKB/s", rate / 1024.0);
    if (rate < 107374182.0) return jxFormat("%0.1fMB/s", rate / 1048576.0);
    return jxFormat("%0.1fGB/s", rate / 1073741824.0);
}

void perfLogThread() {
    for (;;) {
        jxSleepMs(static_cast<long>(log_interval.load()) * 1000);
        FlrPerf::log();
    }
}

}  // namespace

// --- stop-watch ----------------------------------------------------------------

uint64_t FlrPerfStopWatch::getCtr() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<uint64_t>(tv.tv_sec) * 1000000ULL + static_cast<uint64_t>(tv.tv_usec);
}

void FlrPerfStopWatch::start() {
    if (running) return;
    startCtr = getCtr();
    running = true;
}

void FlrPerfStopWatch::stop() {
    if (!running) return;
    const uint64_t now = getCtr();
    // The wall clock may have been set back meanwhile.
    if (now > startCtr) elapsed += now - startCtr;
    running = false;
}

void FlrPerfStopWatch::reset() {
    elapsed = 0;
    if (running) startCtr = getCtr();
}

double FlrPerfStopWatch::time() const {
    return static_cast<double>(elapsed) / static_cast<double>(ticksPerSec);
}

// --- per-thread counter ------------------------------------------------------

FlrPerfPerThreadCounter::FlrPerfPerThreadCounter()
    : tid(pthread_self()), alive(aliveFlagOfCallingThread()) {}

bool FlrPerfPerThreadCounter::isThreadAlive() const {
    return alive->load(std::memory_order_acquire);
}

// --- counter -----------------------------------------------------------------

unsigned long FlrPerfCounter::getThreadID() {
    return static_cast<unsigned long>(pthread_self());
}

// Caller holds the read lock.
FlrPerfPerThreadCounter* FlrPerfCounter::findLive(unsigned long id) {
    auto it = threads.find(id);
    if (it == threads.end() || !it->second->isThreadAlive()) return nullptr;
    return it->second.get();
}

void FlrPerfCounter::addCallingThread(unsigned long id) {
    JxWriteLock lock(rw);
    auto& slot = threads[id];
    if (!slot) {
        slot = std::make_unique<FlrPerfPerThreadCounter>();
    } else if (!slot->isThreadAlive()) {
        // The id of a thread that ended, now given to the caller: keep the
        // values not yet folded and let the entry follow the new thread.
        slot->tid = pthread_self();
        slot->alive = aliveFlagOfCallingThread();
    }
}

void FlrPerfCounter::start() {
    const unsigned long id = getThreadID();
    {
        JxReadLock lock(rw);
        if (FlrPerfPerThreadCounter* mine = findLive(id)) {
            mine->start();
            return;
        }
    }
    addCallingThread(id);
    JxReadLock lock(rw);
    if (FlrPerfPerThreadCounter* mine = findLive(id)) mine->start();
}

void FlrPerfCounter::stop(uint64_t bytes) {
    JxReadLock lock(rw);
    FlrPerfPerThreadCounter* mine = findLive(getThreadID());
    if (!mine || !mine->running) return;
    ++mine->samples;
    mine->bytes += bytes;
    mine->stop();
}

void FlrPerfCounter::accumulate() {
    JxWriteLock lock(rw);
    for (auto it = threads.begin(); it != threads.end();) {
        FlrPerfPerThreadCounter& c = *it->second;
        const bool ended = !c.isThreadAlive();
        totalSamples += c.samples;
        totalBytes += c.bytes;
        c.samples = 0;
        c.bytes = 0;
        const bool wasRunning = c.running;
        c.stop();
        totalTime += c.time();
        c.reset();
        // What a thread did before it ended still counts; only its entry goes.
        if (ended) {
            it = threads.erase(it);
            continue;
        }
        if (wasRunning) c.start();
        ++it;
    }
}

void FlrPerfCounter::reset() {
    JxWriteLock lock(rw);
    for (auto& [id, c] : threads) {
        c->samples = 0;
        c->bytes = 0;
        c->reset();
    }
    totalSamples = 0;
    totalBytes = 0;
    totalTime = 0.0;
}

void FlrPerfCounter::getTotals(int& samples, uint64_t& bytesMoved, double& seconds) {
    JxReadLock lock(rw);
    samples = totalSamples;
    bytesMoved = totalBytes;
    seconds = totalTime;
}

size_t FlrPerfCounter::getThreadCount() {
    JxReadLock lock(rw);
    return threads.size();
}

// --- module ------------------------------------------------------------------

FlrPerf::Entry FlrPerf::counters[FLR_PERF_COUNT] = {
    {"FileRead", 0, nullptr}, {"SockSend", 0, nullptr},  {"SockRecv", 0, nullptr},
    {"MsgRecv", 0, nullptr},  {"FileWrite", 0, nullptr}, {"FileClose", 1, nullptr},
};

bool FlrPerf::isInitialized() {
    return initialized.load(std::memory_order_acquire);
}

int FlrPerf::getLogInterval() {
    return log_interval.load();
}

void FlrPerf::init() {
    std::lock_guard<std::mutex> guard(initMutex);
    if (isInitialized()) return;
    int interval = 0;
    if (!JXPlatformInfo::getNumber("ZRP", "nPerfLogInterval", interval)) interval = 0;
    if (interval < kMinLogInterval) return;
    log_interval.store(interval);
    EvDebug::Debug("FlrPerf::init", "Initializing perfomance counters.");
    EvDebug::Debug("FlrPerf::init", "Will log results every %d secs", interval);
    for (Entry& e : counters) {
        if (!e.counter.load()) e.counter.store(new FlrPerfCounter, std::memory_order_release);
    }
    JxThread::createDetachedThread("FlrPerfLog", perfLogThread);
    initialized.store(true, std::memory_order_release);
}

std::string FlrPerf::formatLine(const char* name, bool timeOnly, int samples, uint64_t bytes,
                                double seconds) {
    if (timeOnly) return jxFormat("%s: %0.1fs, %d samples", name, seconds, samples);
    const double rate = seconds > 0.0 ? static_cast<double>(bytes) / seconds : 0.0;
    return jxFormat("%s: %s, %s, %0.1fs, %d samples", name, sizeText(bytes).c_str(),
                    rateText(rate).c_str(), seconds, samples);
}

void FlrPerf::log() {
    if (!isInitialized()) return;
    for (Entry& e : counters) {
        FlrPerfCounter* c = e.counter.load(std::memory_order_acquire);
        if (!c) continue;
        c->accumulate();
        int samples = 0;
        uint64_t bytes = 0;
        double seconds = 0.0;
        c->getTotals(samples, bytes, seconds);
        if (samples != 0 || bytes != 0 || seconds != 0.0)
            EvDebug::Debug("FlrPerf", "%s",
                           formatLine(e.name, e.timeOnly != 0, samples, bytes, seconds).c_str());
        c->reset();
    }
}
