#include "FLR/JxNamedMutex.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "FLR/JxException.h"
#include "ForkedHolder.h"
#include "platform/EvDebug.h"
#include "platform/JXPlatformInfo.h"
#include "support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

class JxNamedMutexTest : public ::testing::Test {
  protected:
    void SetUp() override {
        lockDir_ = tmp_.path() + "/run/locks";
        ASSERT_EQ(JXPlatformInfo::setString("Platform", "dLock", lockDir_), 0);
        ASSERT_EQ(JXPlatformInfo::setString("Platform", "dTemp", tmp_.path() + "/tmp"), 0);
    }

    // 0 when a forked child got the mutex at once, 1 when refused.
    static int childTries(const std::string& name) {
        return flrtest::runInChild([&] {
            JxNamedMutex m(name);
            if (!m.lock(0)) return 1;
            m.unlock();
            return 0;
        });
    }

    // Whether another thread of this process gets the mutex within timeoutSec.
    static bool otherThreadGets(const std::string& name, int timeoutSec) {
        bool got = false;
        std::thread t([&] {
            JxNamedMutex m(name);
            got = m.lock(timeoutSec);
            if (got) m.unlock();
        });
        t.join();
        return got;
    }

    flrtest::ScopedRegistry registry_;
    flrtest::TempDir tmp_;
    std::string lockDir_;
};

TEST_F(JxNamedMutexTest, LockFileLivesInTheConfiguredDirectoryMadeOnDemand) {
    EXPECT_EQ(JxNamedMutex::lockDirectory(), lockDir_);
    JxNamedMutex m("FLR_SNAP_MGR_MUTEX");
    EXPECT_EQ(m.name(), "FLR_SNAP_MGR_MUTEX");
    ASSERT_TRUE(m.lock(0));
    struct stat st {};
    ASSERT_EQ(stat((lockDir_ + "/FLR_SNAP_MGR_MUTEX.lock").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    m.unlock();
}

TEST_F(JxNamedMutexTest, DefaultDirectoryIsLocksUnderTheTempDirectory) {
    ASSERT_EQ(JXPlatformInfo::deleteValue("Platform", "dLock"), 0);
    EXPECT_EQ(JxNamedMutex::lockDirectory(), tmp_.path() + "/tmp/locks");
    JxNamedMutex m("FLR_DEFAULT_DIR_TEST");
    ASSERT_TRUE(m.lock(0));
    struct stat st {};
    EXPECT_EQ(stat((tmp_.path() + "/tmp/locks/FLR_DEFAULT_DIR_TEST.lock").c_str(), &st), 0);
    m.unlock();
}

TEST_F(JxNamedMutexTest, ReentrantForTheHolderAndExclusiveForOtherProcesses) {
    const std::string name = "FLR_REENTRY_TEST";
    JxNamedMutex m(name);
    ASSERT_TRUE(m.lock(-1));
    ASSERT_TRUE(m.lock(0));
    ASSERT_TRUE(m.lock(5));
    EXPECT_EQ(childTries(name), 1);
    m.unlock();
    m.unlock();
    EXPECT_EQ(childTries(name), 1);  // one level left
    m.unlock();
    EXPECT_EQ(childTries(name), 0);
}

TEST_F(JxNamedMutexTest, AnotherProcessHoldingItKeepsUsOutUntilItLetsGo) {
    const std::string name = "FLR_SENDCPLISTTOBN";
    {
        JxNamedMutex theirs(name);
        flrtest::ForkedHolder holder([&] { return theirs.lock(0); }, [&] { theirs.unlock(); }, 300);
        ASSERT_TRUE(holder.acquired());
        JxNamedMutex mine(name);
        EXPECT_FALSE(mine.lock(0));
        const auto start = Clock::now();
        EXPECT_FALSE(mine.lock(1));
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));
        holder.release();
        ASSERT_TRUE(mine.lock(10));
        EXPECT_EQ(holder.wait(), 0);
        mine.unlock();
    }
    // A holder that dies frees the mutex with its process.
    JxNamedMutex theirs(name);
    flrtest::ForkedHolder holder([&] { return theirs.lock(0); }, [] {});
    ASSERT_TRUE(holder.acquired());
    JxNamedMutex mine(name);
    EXPECT_FALSE(mine.lock(0));
    holder.killChild();
    EXPECT_TRUE(mine.lock(0));
    mine.unlock();
}

TEST_F(JxNamedMutexTest, ExcludesOtherThreadsOfTheProcess) {
    const std::string name = "FLR_THREAD_TEST";
    JxNamedMutex m(name);
    ASSERT_TRUE(m.lock(-1));
    EXPECT_FALSE(otherThreadGets(name, 0));
    const auto start = Clock::now();
    EXPECT_FALSE(otherThreadGets(name, 1));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));

    // A blocked thread gets it only after the holder's last unlock.
    std::atomic<bool> released{false};
    std::atomic<bool> gotAfterRelease{false};
    std::thread waiter([&] {
        JxNamedMutex other(name);
        JxNamedMutexLock lk(other);
        gotAfterRelease = released.load();
    });
    ASSERT_TRUE(m.lock(0));  // second level
    m.unlock();
    released = true;
    m.unlock();
    waiter.join();
    EXPECT_TRUE(gotAfterRelease.load());
    EXPECT_TRUE(otherThreadGets(name, 0));
}

TEST_F(JxNamedMutexTest, DestructorReleasesTheLevelsItHolds) {
    const std::string name = "FLR_DTOR_TEST";
    {
        JxNamedMutex m(name);
        ASSERT_TRUE(m.lock(0));
        ASSERT_TRUE(m.lock(0));
    }
    EXPECT_TRUE(otherThreadGets(name, 0));
    EXPECT_EQ(childTries(name), 0);
}

// A child forked while the parent holds the mutex inherits the parent's
// in-process state; it must not take that for its own re-entry.
TEST_F(JxNamedMutexTest, ChildForkedFromTheHolderDoesNotOwnIt) {
    const std::string name = "FLR_FORK_TEST";
    JxNamedMutex m(name);
    ASSERT_TRUE(m.lock(-1));
    EXPECT_EQ(flrtest::runInChild([&] { return m.lock(0) ? 1 : 0; }), 0);
    EXPECT_EQ(childTries(name), 1);
    m.unlock();
    EXPECT_EQ(childTries(name), 0);
}

TEST_F(JxNamedMutexTest, MisuseIsReportedNotObeyed) {
    EXPECT_THROW(JxNamedMutex(""), JxException);
    EXPECT_THROW(JxNamedMutex("../escape"), JxException);
    EXPECT_THROW(JxNamedMutex(".."), JxException);

    const std::string name = "FLR_MISUSE_TEST";
    JxNamedMutex m(name);
    EvDebugCapture capture;
    m.unlock();  // not held
    EXPECT_TRUE(capture.containsFragment("released by a thread that does not hold it"));
    ASSERT_TRUE(m.lock(0));
    std::thread t([&] { m.unlock(); });  // held, but by another thread
    t.join();
    EXPECT_EQ(childTries(name), 1);
    m.unlock();
    EXPECT_EQ(childTries(name), 0);
}

TEST_F(JxNamedMutexTest, UnmakeableLockDirectoryThrows) {
    flrtest::writeFile(tmp_.path() + "/file", "x");
    ASSERT_EQ(JXPlatformInfo::setString("Platform", "dLock", tmp_.path() + "/file/locks"), 0);
    JxNamedMutex m("FLR_BAD_DIR_TEST");
    EXPECT_THROW(m.lock(0), JxException);
    // The failed attempt leaves the mutex free for the next one.
    ASSERT_EQ(JXPlatformInfo::setString("Platform", "dLock", lockDir_), 0);
    EXPECT_TRUE(m.lock(0));
    m.unlock();
}

}  // namespace
