// The watcher end to end on a real tree (fanotify, so CAP_SYS_ADMIN): a
// workload converging on a local destination, a stop and a restart that
// resumes by a smart-sync scan, and a kernel queue overflow repaired by the
// scan.
#include "FLR/FlrWatcher.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "FLR/FlrRawJournal.h"
#include "FLR/FlrTreeVerify.h"
#include "FLR/JxException.h"
#include "WatchFixture.h"
#include "apply/TailApplyFixture.h"
#include "journal/FlrLiveJournal.h"
#include "platform/EvDebug.h"
#include "platform/FlrDriver.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxACL.h"
#include "platform/JxFile.h"
#include "service/FlrWatcherGate.h"
#include "support/TestSupport.h"

namespace {

TEST(FlrWatcher, WorkloadConvergesOnALocalDestination) {
    flrtest::TempDir dir;
    REQUIRE_LIVE(dir);
    const std::string s = dir.file("src");
    ::mkdir((s + "/a").c_str(), 0755);
    flrtest::writeFile(s + "/a/old", "there before the watch");
    flrtest::writeFile(s + "/a/gone", "removed while watched");
    Watch w(dir);
    ASSERT_NO_FATAL_FAILURE(w.start());
    EXPECT_EQ("baseline", w.watcher->state().lastRunScan);

    ::mkdir((s + "/b").c_str(), 0755);
    flrtest::writeFile(s + "/b/small", "small");
    flrtest::writeFile(s + "/b/large", std::string(300 * 1024, 'L'));  // a resend
    flrtest::writeFile(s + "/a/old", "rewritten, a file the name database knew from the scan");
    {
        jx::File f(::open((s + "/b/small").c_str(), O_WRONLY | O_APPEND));
        ASSERT_EQ(7, ::write(f.get(), " append", 7));
    }
    flrtest::writeFile(s + "/a/cut", std::string(100 * 1024, 'c'));
    ASSERT_EQ(0, ::truncate((s + "/a/cut").c_str(), 1000));
    ASSERT_EQ(0, ::rename((s + "/b/small").c_str(), (s + "/a/moved").c_str()));
    ASSERT_EQ(0, ::link((s + "/a/moved").c_str(), (s + "/b/hard").c_str()));
    ASSERT_EQ(0, ::symlink("../a/moved", (s + "/b/sym").c_str()));
    ASSERT_EQ(0, ::unlink((s + "/a/gone").c_str()));
    ASSERT_EQ(0, ::chmod((s + "/a/old").c_str(), 0600));
    ::mkdir((s + "/b/sub").c_str(), 0700);
    ASSERT_EQ(0, ::rename((s + "/b/sub").c_str(), (s + "/a/sub").c_str()));

    EXPECT_TRUE(eventually([&] { return w.converged(); })) << treeDiffs(w.src(), w.dst());
    // The large file went by the transfer, the rest as records (the counts
    // are published once a second).
    EXPECT_TRUE(eventually([&] {
        const FlrWatchState st = w.watcher->state();
        return st.resentFiles >= 1 && st.sent > 0;
    })) << w.watcher->state().resentFiles
        << " resent, " << w.watcher->state().sent << " sent";
    w.stop();
    EXPECT_TRUE(w.returned) << w.error;
    EXPECT_EQ("stopped", w.watcher->state().phase);
}

// Entries swapped with renameat2(RENAME_EXCHANGE), files and folders with
// trees below, and a folder renamed then removed whole: the destination
// follows by records alone, no resync and no failed journal.
TEST(FlrWatcher, ExchangesAndRemovedRenamedFoldersConvergeWithoutAResync) {
    flrtest::TempDir dir;
    REQUIRE_LIVE(dir);
    const std::string s = dir.file("src");
    for (const char* d : {"/p", "/q", "/p/da", "/q/db"}) ::mkdir((s + d).c_str(), 0755);
    flrtest::writeFile(s + "/p/a", "first");
    flrtest::writeFile(s + "/q/b", "second");
    flrtest::writeFile(s + "/p/da/inner", "in da");
    flrtest::writeFile(s + "/q/db/inner2", "in db");
    Watch w(dir);
    ASSERT_NO_FATAL_FAILURE(w.start());
    ::mkdir((s + "/d").c_str(), 0755);
    ::mkdir((s + "/d/x").c_str(), 0755);
    flrtest::writeFile(s + "/d/x/f", "under a folder renamed, then removed");
    EXPECT_TRUE(eventually([&] { return w.converged(); })) << treeDiffs(w.src(), w.dst());
    const auto swap = [&](const char* a, const char* b) {
        ASSERT_EQ(
            0, ::renameat2(AT_FDCWD, (s + a).c_str(), AT_FDCWD, (s + b).c_str(), RENAME_EXCHANGE))
            << a << " " << b;
    };
    swap("/p/a", "/q/b");
    swap("/p/da", "/q/db");
    ASSERT_EQ(0, ::rename((s + "/d").c_str(), (s + "/dr").c_str()));
    EXPECT_TRUE(eventually([&] { return w.converged(); })) << treeDiffs(w.src(), w.dst());
    ASSERT_EQ(0, ::unlink((s + "/dr/x/f").c_str()));
    ASSERT_EQ(0, ::rmdir((s + "/dr/x").c_str()));
    ASSERT_EQ(0, ::rmdir((s + "/dr").c_str()));
    EXPECT_TRUE(eventually([&] { return w.converged(); })) << treeDiffs(w.src(), w.dst());
    EXPECT_EQ(0u, w.watcher->state().resyncs) << w.watcher->state().lastResyncReason;
    w.stop();
    EXPECT_TRUE(w.returned) << w.error;
}

// A record the destination cannot apply (here a folder removed on the source
// that is not empty on the destination, where someone left a file) is no
// silent divergence: the tail's answer makes the watch rescan the pair, and
// the rescan's mirror removes what the record could not.
TEST(FlrWatcher, ARecordTheTailCouldNotApplyBringsARescan) {
    flrtest::TempDir dir;
    REQUIRE_LIVE(dir);
    const std::string s = dir.file("src");
    ::mkdir((s + "/keep").c_str(), 0755);
    ::mkdir((s + "/gone").c_str(), 0755);
    Watch w(dir);
    ASSERT_NO_FATAL_FAILURE(w.start());
    flrtest::writeFile(w.dst() + "/gone/stray", "made on the destination only");
    ASSERT_EQ(0, ::rmdir((s + "/gone").c_str()));
    flrtest::writeFile(s + "/keep/after", "a change after it");
    // Seen before a settling scan (a second of quiet later) may follow it.
    EXPECT_TRUE(eventually([&] {
        return w.watcher->state().lastResyncReason.find("could not be applied") !=
               std::string::npos;
    })) << w.watcher->state().lastResyncReason;
    EXPECT_TRUE(eventually([&] { return w.converged(); })) << treeDiffs(w.src(), w.dst());
    w.stop();
    EXPECT_TRUE(w.returned) << w.error;
}

// Excludes hold for the watch's records as for its scans: an excluded file
// made, written or removed while watched never reaches the destination.
TEST(FlrWatcher, ExcludedPathsStayOutOfTheRecords) {
    flrtest::TempDir dir;
    REQUIRE_LIVE(dir);
    const std::string s = dir.file("src");
    ::mkdir((s + "/cache").c_str(), 0755);
    Watch w(dir);
    w.options.replicate.excludes = {"*.tmp", "/cache"};
    ASSERT_NO_FATAL_FAILURE(w.start());
    flrtest::writeFile(s + "/work.tmp", "scratch");
    flrtest::writeFile(s + "/cache/blob", "cached");
    flrtest::writeFile(s + "/kept.txt", "kept");
    EXPECT_TRUE(eventually([&] { return ::access((w.dst() + "/kept.txt").c_str(), F_OK) == 0; }));
    // Give the records of the excluded ones time to arrive, were they sent.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_NE(0, ::access((w.dst() + "/work.tmp").c_str(), F_OK));
    EXPECT_NE(0, ::access((w.dst() + "/cache/blob").c_str(), F_OK));
    w.stop();
    EXPECT_TRUE(w.returned) << w.error;
}

std::string xattrOf(const std::string& path, const char* name) {
    char buf[64];
    const ssize_t n = ::getxattr(path.c_str(), name, buf, sizeof buf);
    return n < 0 ? "(none)" : std::string(buf, static_cast<size_t>(n));
}

// Attribute changes arrive as FAN_ATTRIB without the name: set, replaced and
// removed attributes (one there before the watch) and a nanosecond time
// reach the replica by records, without a resync.
TEST(FlrWatcher, ExtendedAttributesAndNanosecondTimesFollowByRecords) {
    flrtest::TempDir dir;
    REQUIRE_LIVE(dir);
    const std::string s = dir.file("src");
    flrtest::writeFile(s + "/f", "data");
    ::mkdir((s + "/d").c_str(), 0755);
    if (::setxattr((s + "/f").c_str(), "user.before", "b", 1, 0) != 0)
        GTEST_SKIP() << "no user xattrs here";
    Watch w(dir);
    ASSERT_NO_FATAL_FAILURE(w.start());
    EXPECT_TRUE(eventually([&] { return w.converged(); })) << treeDiffs(w.src(), w.dst());

    ASSERT_EQ(0, ::setxattr((s + "/f").c_str(), "user.color", "blue", 4, 0));
    ASSERT_EQ(0, ::setxattr((s + "/d").c_str(), "user.dir", "1", 1, 0));
    EXPECT_TRUE(eventually([&] { return xattrOf(w.dst() + "/d", "user.dir") == "1"; }));
    EXPECT_TRUE(eventually([&] { return w.converged(); })) << treeDiffs(w.src(), w.dst());

    ASSERT_EQ(0, ::setxattr((s + "/f").c_str(), "user.color", "red", 3, 0));
    ASSERT_EQ(0, ::removexattr((s + "/f").c_str(), "user.before"));
    ASSERT_EQ(0, ::removexattr((s + "/d").c_str(), "user.dir"));
    const struct timespec ts[2] = {{1600000000, 1}, {1700000000, 123456789}};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, (s + "/f").c_str(), ts, 0));
    EXPECT_TRUE(eventually([&] {
        struct stat st {};
        return xattrOf(w.dst() + "/f", "user.before") == "(none)" &&
               xattrOf(w.dst() + "/d", "user.dir") == "(none)" &&
               ::stat((w.dst() + "/f").c_str(), &st) == 0 && st.st_mtim.tv_nsec == 123456789;
    })) << treeDiffs(w.src(), w.dst());
    EXPECT_EQ("red", xattrOf(w.dst() + "/f", "user.color"));
    EXPECT_TRUE(w.converged()) << treeDiffs(w.src(), w.dst());
    EXPECT_EQ(0u, w.watcher->state().resyncs) << w.watcher->state().lastResyncReason;
    w.stop();
    EXPECT_TRUE(w.returned) << w.error;
}

namespace watchAcl {

std::vector<unsigned char> aclOf(const std::string& path) {
    try {
        return JxACL::Helper().get(path);
    } catch (const JxException&) {
        return {};
    }
}

JxACL::Acl namedUser(uint32_t uid, bool withDefault) {
    JxACL::Acl a;
    a.hasAccess = true;
    a.access = {{JxACL::TAG_USER_OBJ, 7, 0},
                {JxACL::TAG_USER, 5, uid},
                {JxACL::TAG_GROUP_OBJ, 5, 0},
                {JxACL::TAG_MASK, 5, 0},
                {JxACL::TAG_OTHER, 5, 0}};
    if (withDefault) {
        a.hasDefault = true;
        a.defaults = a.access;
    }
    return a;
}

std::string linkXattr(const std::string& path) {
    char buf[64];
    const ssize_t n = ::lgetxattr(path.c_str(), "trusted.mark", buf, sizeof buf);
    return n < 0 ? "(none)" : std::string(buf, static_cast<size_t>(n));
}

}  // namespace watchAcl

// ACL changes also come as FAN_ATTRIB: a file's access ACL and a folder's
// access and default ACL reach the replica by records, and so does their
// removal; as root, a symbolic link's own trusted.* attribute does too,
// without the link being followed.
TEST(FlrWatcher, ACLsAndLinkAttributesFollowByRecords) {
    flrtest::TempDir dir;
    REQUIRE_LIVE(dir);
    const std::string s = dir.file("src");
    flrtest::writeFile(s + "/f", "data");
    ::mkdir((s + "/d").c_str(), 0755);
    ASSERT_EQ(0, ::symlink("f", (s + "/l").c_str()));
    const bool root = ::geteuid() == 0;
    Watch w(dir);
    ASSERT_NO_FATAL_FAILURE(w.start());
    EXPECT_TRUE(eventually([&] { return w.converged(); }, 30)) << treeDiffs(w.src(), w.dst());

    const std::vector<unsigned char> fileAcl = JxACL::encode(watchAcl::namedUser(4321, false));
    const std::vector<unsigned char> dirAcl = JxACL::encode(watchAcl::namedUser(4321, true));
    try {
        JxACL::Helper().apply(s + "/f", fileAcl.data(), fileAcl.size());
        JxACL::Helper().apply(s + "/d", dirAcl.data(), dirAcl.size());
    } catch (const JxException& e) {
        GTEST_SKIP() << "the file system keeps no ACLs: " << e.getMessage();
    }
    if (root) {
        ASSERT_EQ(0, ::lsetxattr((s + "/l").c_str(), "trusted.mark", "L", 1, 0));
    }
    EXPECT_TRUE(eventually(
        [&] {
            return watchAcl::aclOf(w.dst() + "/f") == fileAcl &&
                   watchAcl::aclOf(w.dst() + "/d") == dirAcl &&
                   (!root || watchAcl::linkXattr(w.dst() + "/l") == "L");
        },
        30))
        << JxACL::toText(dirAcl.data(), dirAcl.size()) << " wanted on d, there: " <<
        [&] {
            const auto got = watchAcl::aclOf(w.dst() + "/d");
            return JxACL::toText(got.data(), got.size());
        }()
        << "; link: " << watchAcl::linkXattr(w.dst() + "/l");
    EXPECT_EQ("(none)", watchAcl::linkXattr(w.dst() + "/f"));  // not followed

    // Only the access ACL now: the default goes on the replica too.
    const std::vector<unsigned char> accessOnly = JxACL::encode(watchAcl::namedUser(99, false));
    JxACL::Helper().apply(s + "/d", accessOnly.data(), accessOnly.size());
    JxACL::Helper().apply(s + "/f", nullptr, 0);
    if (root) {
        ASSERT_EQ(0, ::lremovexattr((s + "/l").c_str(), "trusted.mark"));
    }
    EXPECT_TRUE(eventually(
        [&] {
            return watchAcl::aclOf(w.dst() + "/d") == accessOnly &&
                   watchAcl::aclOf(w.dst() + "/f").empty() &&
                   watchAcl::linkXattr(w.dst() + "/l") == "(none)";
        },
        30));
    EXPECT_EQ(0u, w.watcher->state().resyncs) << w.watcher->state().lastResyncReason;
    w.stop();
    EXPECT_TRUE(w.returned) << w.error;
}

// Entries the replica cannot take in the first run do not end the watch: a
// link on the replica where the source has a folder with content (the tail
// never follows a link) is replaced by the run's mirror after the content was
// refused, and the resync that follows completes the replica.
TEST(FlrWatcher, FirstRunWithUnappliedEntriesResyncsInsteadOfFailing) {
    flrtest::TempDir dir;
    REQUIRE_LIVE(dir);
    const std::string s = dir.file("src"), d = dir.file("dst");
    ASSERT_EQ(0, ::mkdir((s + "/x").c_str(), 0755));
    flrtest::writeFile(s + "/x/f", "inside a folder the replica holds a link for");
    ASSERT_EQ(0, ::mkdir(d.c_str(), 0755));
    ASSERT_EQ(0, ::symlink("/nonexistent", (d + "/x").c_str()));
    Watch w(dir);
    ASSERT_NO_FATAL_FAILURE(w.start());
    EXPECT_TRUE(eventually([&] { return w.converged(); }, 60)) << treeDiffs(s, d);
    EXPECT_GE(w.watcher->state().resyncs, 1u);
    EXPECT_EQ("first run incomplete", w.watcher->state().lastResyncReason);
    w.stop();
    EXPECT_TRUE(w.returned) << w.error;
}

TEST(FlrWatcher, RestartResumesBySmartSyncFromTheConsistentPoint) {
    flrtest::TempDir dir;
    REQUIRE_LIVE(dir);
    const std::string s = dir.file("src");
    const int files = 40;
    ::mkdir((s + "/keep").c_str(), 0755);
    ::mkdir((s + "/edit").c_str(), 0755);
    for (int i = 0; i < files; ++i) flrtest::writeFile(s + "/keep/f" + std::to_string(i), "v1");
    for (int i = 0; i < 3; ++i) flrtest::writeFile(s + "/edit/f" + std::to_string(i), "v1");
    // A run counts changes from a little before its start (the kernel's
    // coarse clock): these files must be clearly older than the first run.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    Watch w(dir);
    ASSERT_NO_FATAL_FAILURE(w.start());
    flrtest::writeFile(s + "/during", "made while watched");
    ASSERT_TRUE(eventually([&] { return w.converged(); })) << treeDiffs(w.src(), w.dst());
    // Stopped at a consistent point, the watch's names are known at the next
    // start; without one, a folder that changed with its parent goes whole.
    ASSERT_TRUE(eventually([&] { return w.watcher->state().consistentAt > 0; }));
    w.stop();
    ASSERT_TRUE(w.returned) << w.error;

    // Changes while no watch runs; a new name changes the folder, whose
    // other entries stay unsent.
    flrtest::writeFile(s + "/keep/f1", "v2 while stopped");
    flrtest::writeFile(s + "/keep/added", "new in a folder of old files");
    flrtest::writeFile(s + "/edit/new", "new while stopped");
    ASSERT_EQ(0, ::unlink((s + "/edit/f2").c_str()));

    ASSERT_NO_FATAL_FAILURE(w.start());
    const FlrWatchState st = w.watcher->state();
    EXPECT_EQ("smart-sync", st.lastRunScan);
    EXPECT_LT(st.lastRunFiles, files / 2) << "the restart copied most files again";
    EXPECT_TRUE(eventually([&] { return w.converged(); })) << treeDiffs(w.src(), w.dst());
    flrtest::writeFile(s + "/after", "after the restart");
    EXPECT_TRUE(eventually([&] { return w.converged(); })) << treeDiffs(w.src(), w.dst());
    w.stop();
    EXPECT_TRUE(w.returned) << w.error;
}

// The watch of KilledWatchRescansFromItsLastConsistentPoint, in a process of
// its own (started by exec: a fork of the threaded test would keep the locks
// its threads held) that runs until killed.
TEST(FlrWatcher, DISABLED_WatchChildRunsUntilKilled) {
    const char* base = std::getenv("FLR_WATCH_CHILD_DIR");
    if (!base) GTEST_SKIP() << "started by KilledWatchRescansFromItsLastConsistentPoint";
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the test that started it
    if (std::to_string(::getppid()) != std::getenv("FLR_WATCH_CHILD_PARENT")) return;
    keepHostCounterInTempDir();
    FlrWatchOptions o = watchOptions(base);
    FlrWatcher(o).run();
    FAIL() << "the watch ended by itself";
}

// "seconds nanos" of the pair's last consistent point; {0, 0} when none.
std::pair<long long, long> lastConsistentPoint(const std::string& stateDir) {
    std::string text;
    long long s = 0;
    long ns = 0;
    if (jx::readFileIfExists(stateDir + "/last-run", &text, "run record"))
        std::sscanf(text.c_str(), "%lld %ld", &s, &ns);
    return {s, ns};
}

TEST(FlrWatcher, KilledWatchRescansFromItsLastConsistentPoint) {
    flrtest::TempDir dir;
    REQUIRE_LIVE(dir);
    const std::string s = dir.file("src");
    const std::string stateDir = FlrWatcher(watchOptions(dir.path())).stateDir();
    const pid_t pid = flrtest::spawnSelf("FlrWatcher.DISABLED_WatchChildRunsUntilKilled",
                                         {"FLR_WATCH_CHILD_DIR=" + dir.path(),
                                          "FLR_WATCH_CHILD_PARENT=" + std::to_string(::getpid()),
                                          "FLR_WATCH_CHILD_INSTALL=" + keepHostCounterInTempDir()});
    ASSERT_GT(pid, 0);
    // Kills the child when the test ends early. Never with a pid of 0 or
    // less: kill(-1) would signal every process the test may signal.
    struct Reap {
        pid_t pid;
        ~Reap() {
            if (pid <= 0) return;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    } reap{pid};
    FlrWatchState st;
    ASSERT_TRUE(eventually([&] {
        std::string text;
        return jx::readFileIfExists(flrWatchStateFile(stateDir), &text, "status") &&
               flrParseWatchState(text, &st) && st.phase == "watching";
    })) << st.phase;
    // Made while watched, in a folder new since the first run: a scan from
    // that run's start would send all of them again.
    const int files = 30;
    ::mkdir((s + "/during").c_str(), 0755);
    for (int i = 0; i < files; ++i) flrtest::writeFile(s + "/during/f" + std::to_string(i), "v1");
    struct timespec made {};
    ::clock_gettime(CLOCK_REALTIME, &made);
    ASSERT_TRUE(eventually([&] { return FlrTreeVerify().compare(s, dir.file("dst")).same(); }))
        << treeDiffs(s, dir.file("dst"));
    // Recorded while watching, past the changes.
    ASSERT_TRUE(eventually([&] {
        const auto [sec, ns] = lastConsistentPoint(stateDir);
        return sec > made.tv_sec || (sec == made.tv_sec && ns > made.tv_nsec);
    })) << "no consistent point past the changes was recorded while watching";
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
    reap.pid = 0;  // reaped
    ASSERT_TRUE(WIFSIGNALED(status)) << "the watch ended by itself, status " << status;

    flrtest::writeFile(s + "/while-killed", "made while no watch ran");
    Watch w(dir);
    ASSERT_NO_FATAL_FAILURE(w.start());
    st = w.watcher->state();
    EXPECT_EQ("smart-sync", st.lastRunScan);
    EXPECT_LT(st.lastRunFiles, files / 2) << "the restart scanned from the first run's start";
    EXPECT_TRUE(eventually([&] { return w.converged(); })) << treeDiffs(w.src(), w.dst());
    w.stop();
    EXPECT_TRUE(w.returned) << w.error;
}

TEST(FlrWatcher, QueueOverflowConvergesThroughTheSmartSyncScan) {
    flrtest::TempDir dir;
    REQUIRE_LIVE(dir);
    const std::string s = dir.file("src");
    flrtest::writeFile(s + "/old", "removed after the overflow");
    flrtest::writeFile(s + "/kept", "v1");
    std::string limit = "16384";
    jx::readFileIfExists("/proc/sys/fs/fanotify/max_queued_events", &limit);
    const int renames = std::stoi(limit) + 1000;
    if (renames > 1000000) GTEST_SKIP() << "the kernel queue holds " << limit << " events";

    Watch w(dir);
    w.options.boundedQueue = true;
    // Nobody takes the records yet: renames to ever new names overflow the
    // queues, and the changes after them are lost to the journal.
    w.options.beforeJournal = [&] {
        std::string name = s + "/0";
        flrtest::writeFile(name, "renamed many times");
        for (int i = 1; i <= renames; ++i) {
            const std::string to = s + "/r" + std::to_string(i);
            ASSERT_EQ(0, ::rename(name.c_str(), to.c_str()));
            name = to;
        }
        flrtest::writeFile(s + "/late", "made after the overflow");
        flrtest::writeFile(s + "/kept", "v2 after the overflow");
        ASSERT_EQ(0, ::unlink((s + "/old").c_str()));
    };
    // The overflow's resync may be followed by a settling one (records still
    // being made from the renames while it scanned): every reason is logged.
    // The live journal keeps one pending resync a pair: a name check the
    // reader made of the renames may raise one first, which covers the
    // overflow as well.
    EvDebugCapture log;
    ASSERT_NO_FATAL_FAILURE(w.start());
    EXPECT_TRUE(eventually([&] { return w.watcher->state().resyncs >= 1; }));
    EXPECT_TRUE(eventually([&] {
        return log.containsFragment(": event queue overflow") ||
               log.containsFragment(": too many changed names to check") ||
               log.containsFragment(": a change the event queue folded into another");
    })) << w.watcher->state().lastResyncReason;
    EXPECT_TRUE(eventually([&] { return w.converged(); })) << treeDiffs(w.src(), w.dst());
    w.stop();
    EXPECT_TRUE(w.returned) << w.error;
}

// Renames src/a to src/b and makes a new src/a, once, as the first run's scan
// starts reading the source folder: the scan sends the later tree, and the
// records of those changes then replay over it.
class ChangedUnderTheScan : public jx::PosixFileOps {
  public:
    explicit ChangedUnderTheScan(std::string src) : src_(std::move(src)) {}
    ssize_t readDirEntries(int fd, void* buf, size_t len) override {
        struct stat st, root;
        if (::fstat(fd, &st) == 0 && ::stat(src_.c_str(), &root) == 0 && st.st_ino == root.st_ino &&
            !done_.exchange(true)) {
            ::rename((src_ + "/a").c_str(), (src_ + "/b").c_str());
            flrtest::writeFile(src_ + "/a", "the new a");
        }
        return jx::PosixFileOps::readDirEntries(fd, buf, len);
    }

  private:
    std::string src_;
    std::atomic<bool> done_{false};
};

// The replayed rename moves the new a over the old one the scan sent as b;
// nothing later names b. A second scan from the first one's start mends it.
TEST(FlrWatcher, ChangesMadeUnderAScanAreSettledByAnotherScan) {
    flrtest::TempDir dir;
    REQUIRE_LIVE(dir);
    flrtest::writeFile(dir.file("src/a"), "the old a, moved under the scan");
    ChangedUnderTheScan ops(dir.file("src"));
    jx::ScopedFileOps scoped(ops);
    Watch w(dir);
    ASSERT_NO_FATAL_FAILURE(w.start());
    // The first run's copy can match for a moment, before the replayed
    // records take b back: the settling scan is what makes it final.
    const std::string settling = "settling the changes made during the last scan";
    EXPECT_TRUE(eventually([&] { return w.watcher->state().lastResyncReason == settling; }, 30))
        << w.watcher->state().lastResyncReason;
    EXPECT_TRUE(eventually([&] { return w.converged(); }, 30)) << treeDiffs(w.src(), w.dst());
    w.stop();
    EXPECT_TRUE(w.returned) << w.error;
}

// A remote tail down when the watch is stopped with a resend owed: the stop
// gives up after the drain limit rather than the resend's longer hold, and
// records no consistent point (the next start scans from the last run).
TEST(FlrWatcher, StopWithTheRemoteTailDownKeepsToTheDrainLimit) {
    flrtest::TempDir dir;
    REQUIRE_LIVE(dir);
    tailtest::Registry reg;
    JXPlatformInfo::setString("Platform", "dInstall", reg.dir() + "/install");
    const std::string root = dir.file("root");
    ASSERT_EQ(0, ::mkdir(root.c_str(), 0755));
    auto tail = std::make_unique<tailtest::Tail>(root);
    Watch w(dir);
    w.options.replicate.target = "127.0.0.1:" + std::to_string(tail->port()) + ":" + root + "/r";
    w.options.drainSeconds = 1;
    w.options.consistentEveryMs = 0;  // only the stop could record one
    w.options.holdSeconds = 150;      // far beyond the wait below, within the test's time-out
    ASSERT_NO_FATAL_FAILURE(w.start());
    tail.reset();
    flrtest::writeFile(w.src() + "/large", std::string(200 * 1024, 'L'));
    ASSERT_TRUE(eventually([&] { return w.watcher->state().phase == "resend"; }))
        << w.watcher->state().phase;
    w.watcher->stop();
    EXPECT_TRUE(eventually([&] { return w.ended.load(); }, 60)) << "the stop waited for the hold";
    w.stop();
    EXPECT_TRUE(w.returned) << w.error;
    EXPECT_EQ(0, w.watcher->state().consistentAt);
}

// A source that hands out NOOP records with the given numbers, then nothing.
class ScriptedSource : public FlrJournalSource {
  public:
    std::deque<uint64_t> seqs;
    bool next(std::vector<uint8_t>& record, int) override {
        if (seqs.empty()) return false;
        FlrJrnCommand c{};
        c.cmd = FLR_JRN_NOOP;
        c.seq_num = seqs.front();
        seqs.pop_front();
        record.resize(static_cast<size_t>(getRawCmdSize(&c)));
        encodeRawCmd(&c, record.data());
        return true;
    }
};

uint64_t seqOf(const std::vector<uint8_t>& record) {
    FlrJrnHeader h{};
    decodeRawHdr(record.data(), record.size(), &h);
    return h.seq_num;
}

// What the journal service sees through the gate: every record exactly
// once, in order, none above the hold until the release.
TEST(FlrWatcherGate, HeldRecordsFollowTheReleaseInOrder) {
    ScriptedSource src;
    src.seqs = {10, 11, 12, 13};
    FlrWatcherGate gate(src, 0);
    std::vector<uint8_t> rec;
    ASSERT_TRUE(gate.next(rec, 0));
    EXPECT_EQ(10u, seqOf(rec));
    gate.holdAbove(11);
    ASSERT_TRUE(gate.next(rec, 0));
    EXPECT_EQ(11u, seqOf(rec));
    EXPECT_FALSE(gate.next(rec, 0));  // 12 is held
    EXPECT_FALSE(gate.next(rec, 0));  // and stays held
    EXPECT_EQ(11u, gate.passedSeq());
    gate.release();
    std::vector<uint64_t> after;
    while (gate.next(rec, 0)) after.push_back(seqOf(rec));
    EXPECT_EQ((std::vector<uint64_t>{12, 13}), after);
    EXPECT_EQ(13u, gate.passedSeq());

    src.seqs = {14, 15};
    gate.holdAll();  // everything not passed on yet
    EXPECT_FALSE(gate.next(rec, 0));
    gate.release();
    after.clear();
    while (gate.next(rec, 0)) after.push_back(seqOf(rec));
    EXPECT_EQ((std::vector<uint64_t>{14, 15}), after);
}

struct timespec wallNow() {
    struct timespec t {};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return t;
}

long long nanosOf(const struct timespec& t) {
    return static_cast<long long>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// A consistent point needs two idle reads, the later one at least the flush
// delay after the earlier; it lies before the earlier read began.
TEST(FlrWatcherGate, ConsistentPointNeedsTwoIdleReadsAFlushDelayApart) {
    struct Case {
        int flushDelayMs;
        int idleReads;
        bool found;
    } cases[] = {{0, 0, false}, {0, 1, false}, {0, 2, true}, {60'000, 2, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.flushDelayMs << " ms, " << c.idleReads << " reads");
        ScriptedSource src;
        FlrWatcherGate gate(src, c.flushDelayMs);
        const struct timespec before = wallNow();
        std::vector<uint8_t> rec;
        for (int i = 0; i < c.idleReads; ++i) {
            if (i)
                std::this_thread::sleep_for(std::chrono::milliseconds(120));  // one sample a tenth
            EXPECT_FALSE(gate.next(rec, 0));
        }
        struct timespec at {};
        ASSERT_EQ(c.found, gate.consistentPoint(&at));
        if (!c.found) continue;
        EXPECT_LE(nanosOf(at), nanosOf(before));  // the clock margin puts it before the read
        EXPECT_GE(nanosOf(at), nanosOf(before) - 1'000'000'000);
    }
    // A stopping source's empty reads say nothing about the file system.
    ScriptedSource src;
    FlrWatcherGate gate(src, 0);
    gate.stopSampling();
    std::vector<uint8_t> rec;
    EXPECT_FALSE(gate.next(rec, 0));
    std::this_thread::sleep_for(std::chrono::milliseconds(120));
    EXPECT_FALSE(gate.next(rec, 0));
    struct timespec at {};
    EXPECT_FALSE(gate.consistentPoint(&at));
}

}  // namespace
