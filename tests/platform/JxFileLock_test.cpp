#include "platform/JxFileLock.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>

#include "FLR/JxException.h"
#include "ForkedHolder.h"
#include "support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kShared = 0;
constexpr int kExclusive = 1;

// Exit status of a child that tries the lock once: 0 got it, 1 refused.
int childTries(const std::string& path, int type) {
    return flrtest::runInChild([&] {
        JxFileLock l(path);
        return l.lock(type, 0) ? 0 : 1;
    });
}

TEST(JxFileLock, CreatesTheLockFileAndReleasesOnUnlock) {
    flrtest::TempDir dir;
    const std::string path = dir.file(".lock");
    const mode_t old = umask(022);
    {
        JxFileLock l(path);
        EXPECT_FALSE(l.isLocked());
        ASSERT_TRUE(l.lock(kExclusive, 0));
        EXPECT_TRUE(l.isLocked());
        EXPECT_EQ(l.path(), path);
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0644u);
        EXPECT_EQ(childTries(path, kShared), 1);
        l.unlock();
        EXPECT_FALSE(l.isLocked());
        EXPECT_EQ(childTries(path, kExclusive), 0);
    }
    umask(old);
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0);  // the file stays
}

TEST(JxFileLock, SharedHoldersCoexistAndExcludeExclusiveAcrossProcesses) {
    flrtest::TempDir dir;
    const std::string path = dir.file(".lock");
    JxFileLock l(path);
    ASSERT_TRUE(l.lock(kShared, -1));
    EXPECT_EQ(childTries(path, kShared), 0);
    EXPECT_EQ(childTries(path, kExclusive), 1);
    l.unlock();

    ASSERT_TRUE(l.lock(kExclusive, -1));
    EXPECT_EQ(childTries(path, kShared), 1);
    EXPECT_EQ(childTries(path, kExclusive), 1);
}

TEST(JxFileLock, ExclusiveHolderInAnotherProcessBlocksUntilItLetsGo) {
    flrtest::TempDir dir;
    const std::string path = dir.file(".lock");
    JxFileLock mine(path);
    {
        JxFileLock theirs(path);
        flrtest::ForkedHolder holder([&] { return theirs.lock(kExclusive, 0); },
                                     [&] { theirs.unlock(); }, 300);
        ASSERT_TRUE(holder.acquired());
        EXPECT_FALSE(mine.lock(kShared, 0));
        const auto start = Clock::now();
        EXPECT_FALSE(mine.lock(kExclusive, 1));
        EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(900));
        EXPECT_FALSE(mine.isLocked());

        // The holder lets go 300 ms after being told; the poll must pick that up.
        holder.release();
        EXPECT_TRUE(mine.lock(kExclusive, 10));
        EXPECT_EQ(holder.wait(), 0);
    }
    mine.unlock();
    // A waiting lock (-1) simply blocks until the shared holder is done.
    JxFileLock theirs(path);
    flrtest::ForkedHolder holder([&] { return theirs.lock(kShared, 0); }, [&] { theirs.unlock(); },
                                 200);
    ASSERT_TRUE(holder.acquired());
    EXPECT_TRUE(mine.lock(kShared, 0));  // shared with shared
    mine.unlock();
    holder.release();
    EXPECT_TRUE(mine.lock(kExclusive, -1));
}

TEST(JxFileLock, LockOfAHolderThatDiesIsReleased) {
    flrtest::TempDir dir;
    const std::string path = dir.file(".lock");
    JxFileLock theirs(path);
    flrtest::ForkedHolder holder([&] { return theirs.lock(kExclusive, 0); }, [] {});
    ASSERT_TRUE(holder.acquired());
    JxFileLock mine(path);
    EXPECT_FALSE(mine.lock(kExclusive, 0));
    EXPECT_EQ(holder.killChild(), 128 + 9);
    EXPECT_TRUE(mine.lock(kExclusive, 0));
}

TEST(JxFileLock, TwoExclusiveObjectsInOneProcessExcludeEachOther) {
    flrtest::TempDir dir;
    JxFileLock a(dir.file(".lock")), b(dir.file(".lock"));
    ASSERT_TRUE(a.lock(kExclusive, 0));
    EXPECT_FALSE(b.lock(kExclusive, 0));
    EXPECT_FALSE(b.lock(kShared, 0));
    a.unlock();
    EXPECT_TRUE(b.lock(kShared, 0));
    EXPECT_TRUE(a.lock(kShared, 0));
}

// A forked child's copy of the object must not drop the parent's lock.
TEST(JxFileLock, ChildUnlockingAnInheritedCopyKeepsTheParentsLock) {
    flrtest::TempDir dir;
    const std::string path = dir.file(".lock");
    JxFileLock l(path);
    ASSERT_TRUE(l.lock(kExclusive, 0));
    const int rc = flrtest::runInChild([&] {
        l.unlock();
        JxFileLock probe(path);
        return probe.lock(kExclusive, 0) ? 1 : 0;
    });
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(childTries(path, kExclusive), 1);
}

TEST(JxFileLock, BadUseAndUnopenableFilesThrow) {
    flrtest::TempDir dir;
    JxFileLock l(dir.file(".lock"));
    EXPECT_THROW(l.lock(2, 0), JxException);
    ASSERT_TRUE(l.lock(kShared, 0));
    EXPECT_THROW(l.lock(kExclusive, 0), JxException);
    EXPECT_TRUE(l.isLocked());

    JxFileLock missing(dir.file("no/such/dir/.lock"));
    try {
        missing.lock(kShared, 0);
        FAIL() << "no exception";
    } catch (const JxException& e) {
        EXPECT_EQ(e.getMessage(), "Failed to open lock file " + dir.file("no/such/dir/.lock") +
                                      ": No such file or directory");
        EXPECT_EQ(e.getCode(), ENOENT);
        EXPECT_EQ(e.getFunction(), "JxFileLock::lock");
    }
    EXPECT_FALSE(missing.isLocked());
}

TEST(JxFileLock, GuardHoldsForItsScope) {
    flrtest::TempDir dir;
    const std::string path = dir.file(".lock");
    JxFileLock l(path);
    {
        JxFileLockGuard g(l, kExclusive);
        EXPECT_EQ(childTries(path, kShared), 1);
    }
    EXPECT_EQ(childTries(path, kExclusive), 0);
}

}  // namespace
