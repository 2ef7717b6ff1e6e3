#include "platform/JxThread.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "FLR/JxException.h"
#include "platform/EvDebug.h"
#include "platform/JxMonitor.h"
#include "support/TestSupport.h"

namespace {

unsigned long kernelTid() {
    return static_cast<unsigned long>(syscall(SYS_gettid));
}

std::string currentThreadName() {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return name;
}

TEST(JxThread, RunsTheBodyNamedAndJoins) {
    std::string seenName;
    unsigned long seenId = 0, seenTid = 0;
    JxThread t;
    t.start("flr-short", [&] {
        seenName = currentThreadName();
        seenId = JxThread::currentId();
        seenTid = kernelTid();
    });
    EXPECT_TRUE(t.joinable());
    t.join();
    EXPECT_FALSE(t.joinable());
    EXPECT_EQ(seenName, "flr-short");
    EXPECT_EQ(seenId, seenTid);
    EXPECT_NE(seenId, JxThread::currentId());
    EXPECT_EQ(JxThread::currentId(), kernelTid());
}

TEST(JxThread, LongNamesAreCutToFifteenCharacters) {
    std::string seenName;
    JxThread t;
    t.start("FlrNetBase-receive-thread", [&] { seenName = currentThreadName(); });
    t.join();
    EXPECT_EQ(seenName, "FlrNetBase-rece");
}

TEST(JxThread, StartingARunningThreadAgainIsRefused) {
    JxMonitorH m;
    bool release = false;
    JxThread t;
    t.start("holder", [&] {
        JxMonitorLock lk(m);
        while (!release) m.wait(-1);
    });
    EXPECT_THROW(t.start("again", [] {}), JxException);
    {
        JxMonitorLock lk(m);
        release = true;
        m.broadcast();
    }
    // The destructor joins.
}

TEST(JxThread, ExceptionsEscapingABodyAreLoggedNotFatal) {
    EvDebugCapture capture;
    {
        JxThread a, b, c;
        a.start("throws-jx", [] { JX_THROW("Worker::run", "disk is full"); });
        b.start("throws-std", [] { throw std::runtime_error("bad state"); });
        c.start("throws-int", [] { throw 42; });
    }
    EXPECT_TRUE(capture.contains("Worker::run: disk is full"));
    EXPECT_TRUE(capture.contains("bad state"));
    EXPECT_TRUE(capture.containsFragment("throws-int"));
    int errors = 0;
    for (const auto& line : capture.lines())
        if (line.level == EvDebug::kError && line.function == "JxThread::run") ++errors;
    EXPECT_EQ(errors, 3);
}

TEST(JxThread, DetachedThreadRunsOnItsOwn) {
    JxMonitorH m;
    bool ran = false;
    std::string seenName;
    JxThread::createDetachedThread("perf-log", [&] {
        JxMonitorLock lk(m);
        seenName = currentThreadName();
        ran = true;
        m.broadcast();
    });
    JxMonitorLock lk(m);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!ran && std::chrono::steady_clock::now() < deadline) m.wait(100);
    EXPECT_TRUE(ran);
    EXPECT_EQ(seenName, "perf-log");
}

TEST(JxThread, CurrentIdIsTheChildsOwnAfterFork) {
    const unsigned long parentId = JxThread::currentId();
    const int rc = flrtest::runInChild([parentId] {
        if (JxThread::currentId() == parentId) return 1;
        return JxThread::currentId() == kernelTid() ? 0 : 2;
    });
    EXPECT_EQ(rc, 0);
}

// The nice value is the calling thread's alone: the rest of the process
// keeps its own.
TEST(JxThread, SetNiceLowersOnlyTheCallingThread) {
    const int before = ::getpriority(PRIO_PROCESS, 0);
    int seen = -100;
    std::thread t([&] {
        ASSERT_TRUE(JxThread::setNice(std::min(before + 5, 19)));
        seen = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
    });
    t.join();
    EXPECT_EQ(std::min(before + 5, 19), seen);
    EXPECT_EQ(before, ::getpriority(PRIO_PROCESS, 0));
}

TEST(JxSleep, SleepsAtLeastTheTimeAndIgnoresNonPositive) {
    auto start = std::chrono::steady_clock::now();
    jxSleepMs(120);
    const auto slept = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    EXPECT_GE(slept.count(), 120);
    start = std::chrono::steady_clock::now();
    jxSleepMs(-5);
    jxSleepMs(0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

}  // namespace
