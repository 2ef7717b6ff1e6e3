#include "platform/JXPlatformInfo.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/JxFile.h"
#include "support/FaultyFileOps.h"
#include "support/TestSupport.h"

using flrtest::ScopedRegistry;

TEST(Registry, MissingFileAndKeysKeepDefaults) {
    ScopedRegistry reg;
    std::string s = "untouched";
    long long n = 42;
    EXPECT_EQ(0, JXPlatformInfo::getString("ZRP", "dDBDir", s));
    EXPECT_EQ("untouched", s);
    EXPECT_EQ(0, JXPlatformInfo::getLongLong("ZRP", "nRolCacheGenID", n));
    EXPECT_EQ(42, n);
}

TEST(Registry, ReadsHandWrittenFileWithCommentsSlashSectionsAndNumbers) {
    ScopedRegistry reg;
    flrtest::writeFile(reg.path(),
                       "# managed by hand\n"
                       "[ZRP]\n"
                       "nKeepAlive = 7\n"
                       "  dDBDir=/var/db/zrp  \n"
                       "nHex = 0x1F\n"
                       "nBad = 12abc\n"
                       "; comment = not a key\n"
                       "[Machines/host1/ZRP]\n"
                       "nINSTALL = 1\n");
    int keep = 0;
    std::string db, comment;
    EXPECT_EQ(1, JXPlatformInfo::getNumber("ZRP", "nKeepAlive", keep));
    EXPECT_EQ(7, keep);
    EXPECT_EQ(1, JXPlatformInfo::getString("ZRP", "dDBDir", db));
    EXPECT_EQ("/var/db/zrp", db);
    long long hex = 0, bad = -5;
    EXPECT_EQ(1, JXPlatformInfo::getLongLong("ZRP", "nHex", hex));
    EXPECT_EQ(31, hex);
    // A number key that is not a number keeps the caller's default.
    EXPECT_EQ(0, JXPlatformInfo::getLongLong("ZRP", "nBad", bad));
    EXPECT_EQ(-5, bad);
    EXPECT_EQ(0, JXPlatformInfo::getString("ZRP", "; comment", comment));
    std::string inst;
    EXPECT_EQ(1, JXPlatformInfo::getString("Machines/host1/ZRP", "nINSTALL", inst));
    EXPECT_EQ("1", inst);
}

TEST(Registry, WritesKeepOtherLinesAndRoundTripValues) {
    ScopedRegistry reg;
    flrtest::writeFile(reg.path(), "# keep me\n[ZRP]\nnA = 1\n\n[Other]\nsB = x\n");
    ASSERT_EQ(0, JXPlatformInfo::setLongLong("ZRP", "nRolCacheGenID", 1234567890123LL));
    ASSERT_EQ(0, JXPlatformInfo::setString("ZRP", "nA", "2"));
    ASSERT_EQ(0, JXPlatformInfo::setString("New/Section", "sPadded", " 1 "));
    ASSERT_EQ(0, JXPlatformInfo::setString("New/Section", "sEmpty", ""));

    long long gen = 0;
    std::string a, padded = "x", empty = "x", b;
    EXPECT_EQ(1, JXPlatformInfo::getLongLong("ZRP", "nRolCacheGenID", gen));
    EXPECT_EQ(1234567890123LL, gen);
    EXPECT_EQ(1, JXPlatformInfo::getString("ZRP", "nA", a));
    EXPECT_EQ("2", a);
    EXPECT_EQ(1, JXPlatformInfo::getString("New/Section", "sPadded", padded));
    EXPECT_EQ(" 1 ", padded);  // edge blanks survive the round trip
    EXPECT_EQ(1, JXPlatformInfo::getString("New/Section", "sEmpty", empty));
    EXPECT_EQ("", empty);
    EXPECT_EQ(1, JXPlatformInfo::getString("Other", "sB", b));

    const std::string text = flrtest::readFile(reg.path());
    EXPECT_NE(std::string::npos, text.find("# keep me\n[ZRP]\n"));
    // A new key of an existing section lands in that section.
    EXPECT_LT(text.find("nRolCacheGenID"), text.find("[Other]"));

    struct stat st;
    ASSERT_EQ(0, ::stat(reg.path().c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777u);  // it may hold the link secret

    ASSERT_EQ(0, JXPlatformInfo::deleteValue("ZRP", "nA"));
    EXPECT_EQ(0, JXPlatformInfo::getString("ZRP", "nA", a));
    EXPECT_EQ(0, JXPlatformInfo::deleteValue("ZRP", "nA"));  // absent is fine
}

TEST(Registry, RefusesValuesThatWouldBreakTheFile) {
    ScopedRegistry reg;
    EXPECT_EQ(-1, JXPlatformInfo::setString("ZRP", "sX", "two\nlines"));
    EXPECT_EQ(-1, JXPlatformInfo::setString("ZRP", "a=b", "v"));
    EXPECT_EQ(-1, JXPlatformInfo::setString("Z]RP", "k", "v"));
    std::string v;
    EXPECT_EQ(0, JXPlatformInfo::getString("ZRP", "sX", v));
}

// Whole sections: repeated keys in order, a replacement that leaves the
// neighbours (and their comments) alone, and removal.
TEST(Registry, SectionsAreReadAndReplacedWhole) {
    ScopedRegistry reg;
    flrtest::writeFile(reg.path(),
                       "[Pairs/a]\nsource = /s\nexclude = *.o\n# note\nexclude = tmp\n\n"
                       "[Pairs/b]\nsource = /t\n\n[Other]\n; keep\nk = v\n");
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), JXPlatformInfo::getSectionNames("Pairs/"));
    using E = JXPlatformInfo::Entries;
    EXPECT_EQ((E{{"source", "/s"}, {"exclude", "*.o"}, {"exclude", "tmp"}}),
              JXPlatformInfo::getSection("Pairs/a"));

    const E replaced{{"source", "/u"}, {"exclude", " padded "}, {"exclude", "x"}};
    ASSERT_EQ(0, JXPlatformInfo::replaceSection("Pairs/a", replaced));
    ASSERT_EQ(0, JXPlatformInfo::replaceSection("Pairs/c", {{"source", "/c"}}));
    EXPECT_EQ(replaced, JXPlatformInfo::getSection("Pairs/a"));
    EXPECT_EQ((E{{"source", "/t"}}), JXPlatformInfo::getSection("Pairs/b"));
    EXPECT_EQ((E{{"source", "/c"}}), JXPlatformInfo::getSection("Pairs/c"));
    std::string k;
    EXPECT_EQ(1, JXPlatformInfo::getString("Other", "k", k));
    EXPECT_NE(std::string::npos, flrtest::readFile(reg.path()).find("; keep\n"));

    ASSERT_EQ(0, JXPlatformInfo::replaceSection("Pairs/b", {}));
    EXPECT_TRUE(JXPlatformInfo::getSection("Pairs/b").empty());
    EXPECT_EQ((std::vector<std::string>{"a", "c"}), JXPlatformInfo::getSectionNames("Pairs/"));
    EXPECT_EQ(0, JXPlatformInfo::replaceSection("Pairs/none", {}));  // absent is fine

    EXPECT_EQ(-1, JXPlatformInfo::replaceSection("Pairs/a", {{"[x", "v"}}));
    EXPECT_EQ(-1, JXPlatformInfo::replaceSection("Pairs/a", {{"k", "two\nlines"}}));
    EXPECT_EQ(replaced, JXPlatformInfo::getSection("Pairs/a"));
}

TEST(Registry, SeesChangesMadeByAnotherProcess) {
    ScopedRegistry reg;
    ASSERT_EQ(0, JXPlatformInfo::setString("ZRP", "nK", "1"));
    int k = 0;
    ASSERT_EQ(1, JXPlatformInfo::getNumber("ZRP", "nK", k));
    ASSERT_EQ(0, flrtest::runInChild([] { return JXPlatformInfo::setString("ZRP", "nK", "2"); }));
    ASSERT_EQ(1, JXPlatformInfo::getNumber("ZRP", "nK", k));
    EXPECT_EQ(2, k);
}

// Writers in several processes and threads at once must never lose a key.
TEST(Registry, ConcurrentWritersInProcessesAndThreadsLoseNothing) {
    ScopedRegistry reg;
    constexpr int kProcs = 4, kKeys = 25;
    std::vector<pid_t> kids;
    for (int p = 0; p < kProcs; ++p) {
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int rc = 0;
            for (int i = 0; i < kKeys; ++i)
                rc |= JXPlatformInfo::setLongLong("Proc" + std::to_string(p),
                                                  "n" + std::to_string(i), i * 10 + p);
            _exit(rc == 0 ? 0 : 1);
        }
        kids.push_back(pid);
    }
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kKeys; ++i)
                JXPlatformInfo::setLongLong("Thread" + std::to_string(t), "n" + std::to_string(i),
                                            i);
        });
    for (auto& t : threads) t.join();
    for (pid_t pid : kids) {
        int status = 0;
        ASSERT_EQ(pid, waitpid(pid, &status, 0));
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int p = 0; p < kProcs; ++p)
        for (int i = 0; i < kKeys; ++i) {
            long long v = -1;
            ASSERT_EQ(1, JXPlatformInfo::getLongLong("Proc" + std::to_string(p),
                                                     "n" + std::to_string(i), v));
            EXPECT_EQ(i * 10 + p, v);
        }
    for (int t = 0; t < 2; ++t)
        for (int i = 0; i < kKeys; ++i) {
            long long v = -1;
            ASSERT_EQ(1, JXPlatformInfo::getLongLong("Thread" + std::to_string(t),
                                                     "n" + std::to_string(i), v));
        }
}

TEST(Registry, ClientListsAndPlatformDirectories) {
    ScopedRegistry reg;
    flrtest::writeFile(reg.path(),
                       "[Machines/beta/ZRP]\nnINSTALL = 1\n"
                       "[Machines/alpha]\nbActive = 0\n"
                       "[Machines/alpha/ZRP]\nnINSTALL = 1\n"
                       "[Machines/gamma/Other]\nx = 1\n"
                       "[Platform]\ndInstall = /opt/flr\ndJobResults = /jr\n"
                       "[Machines/beta]\ndJobResults = /beta-jr\n");
    std::list<std::string> all, active;
    JXPlatformInfo::getClientList(all);
    JXPlatformInfo::getActiveClientList(active);
    EXPECT_EQ((std::list<std::string>{"alpha", "beta", "gamma"}), all);
    EXPECT_EQ((std::list<std::string>{"beta", "gamma"}), active);
    EXPECT_EQ("/opt/flr", JXPI_Base::getOrchardDirectory());
    EXPECT_EQ("/opt/flr/tmp", JXPI_Base::getOrchardTempDirectory());
    EXPECT_EQ("/beta-jr", JXPI_CommClient::getJobResultsDirectory("beta"));
    EXPECT_EQ("/jr", JXPI_CommClient::getJobResultsDirectory("alpha"));
}

// A registry that exists but cannot be read (too many open files, no
// permission, an I/O error) is not an empty one: the write fails and the
// file keeps every key, the link secret included.
TEST(Registry, UnreadableFileFailsTheWriteAndKeepsEveryKey) {
    using Op = flrtest::FaultyFileOps::Op;
    struct Case {
        Op op;
        int err;
    };
    for (const Case c : {Case{Op::Open, EMFILE}, Case{Op::Open, EACCES}, Case{Op::Read, EIO}}) {
        SCOPED_TRACE(c.err);
        ScopedRegistry reg;
        const std::string before = "[ZRP]\nsLinkSecret = s3cr3t\nnKeep = 1\n[Other]\nx = 2\n";
        flrtest::writeFile(reg.path(), before);
        std::string v;
        ASSERT_EQ(1, JXPlatformInfo::getString("ZRP", "nKeep", v));  // primes the cache
        flrtest::FaultyFileOps faulty;
        faulty.onlyPath(reg.path());
        faulty.failNth(c.op, 1, c.err, /*sticky=*/true);
        {
            jx::ScopedFileOps scope(faulty);
            errno = 0;
            EXPECT_EQ(-1, JXPlatformInfo::setString("ZRP", "nNew", "5"));
            EXPECT_EQ(c.err, errno);
            EXPECT_EQ(-1, JXPlatformInfo::deleteValue("Other", "x"));
            // Reads keep answering from the last good parse meanwhile.
            EXPECT_EQ(1, JXPlatformInfo::getString("ZRP", "sLinkSecret", v));
        }
        EXPECT_GE(faulty.faultsInjected(), 2);
        EXPECT_EQ(before, flrtest::readFile(reg.path()));
        ASSERT_EQ(0, JXPlatformInfo::setString("ZRP", "nNew", "5"));
        EXPECT_EQ(1, JXPlatformInfo::getString("ZRP", "sLinkSecret", v));
        EXPECT_EQ("s3cr3t", v);
        EXPECT_EQ(1, JXPlatformInfo::getString("Other", "x", v));
    }
}

// The replace is durable: the file and then its folder are synced, and a
// failing sync is a failed write. A crash leaves no stray temporary file.
TEST(Registry, WriteSyncsFileAndFolder) {
    using Op = flrtest::FaultyFileOps::Op;
    for (int nth : {1, 2}) {
        ScopedRegistry reg;
        flrtest::FaultyFileOps faulty;
        faulty.failNth(Op::Fsync, nth, EIO);
        jx::ScopedFileOps scope(faulty);
        errno = 0;
        EXPECT_EQ(-1, JXPlatformInfo::setString("ZRP", "nA", "1")) << "fsync " << nth;
        EXPECT_EQ(EIO, errno);
        EXPECT_EQ(nth, faulty.count(Op::Fsync));
    }
}

// Killed at any point of a stream of writes, the registry still holds every
// key written before, and the key being rewritten holds a whole value.
TEST(Registry, WriterKilledAtAnyPointLosesNoKey) {
    ScopedRegistry reg;
    ASSERT_EQ(0, JXPlatformInfo::setString("ZRP", "sLinkSecret", "s3cr3t"));
    ASSERT_EQ(0, JXPlatformInfo::setString("Other", "nKeep", "7"));
    const int rounds = flrtest::scaled(20);
    for (int i = 0; i < rounds; ++i) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (long long k = 0;; ++k) JXPlatformInfo::setLongLong("ZRP", "nCounter", k);
        }
        std::this_thread::sleep_for(std::chrono::microseconds(500 + (i * 731) % 4000));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        std::string v;
        long long counter = -1;
        ASSERT_EQ(1, JXPlatformInfo::getString("ZRP", "sLinkSecret", v)) << "round " << i;
        EXPECT_EQ("s3cr3t", v);
        ASSERT_EQ(1, JXPlatformInfo::getString("Other", "nKeep", v));
        JXPlatformInfo::getLongLong("ZRP", "nCounter", counter);
    }
    // The next writer sweeps temporary files the killed ones left.
    ASSERT_EQ(0, JXPlatformInfo::setString("ZRP", "nDone", "1"));
    for (const std::string& name : jx::listDir(reg.dir()))
        EXPECT_FALSE(jx::isAtomicTempName(name)) << name;
}
