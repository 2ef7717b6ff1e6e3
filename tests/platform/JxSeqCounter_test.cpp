#include "platform/JxSeqCounter.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <random>
#include <set>
#include <vector>

#include "support/TestSupport.h"

namespace {

uint64_t persistedEnd(const std::string& path) {
    std::ifstream in(path);
    unsigned long long v = 0;
    in >> v;
    return v;
}

TEST(JxSeqCounter, CountersOnOneFileShareOneStrictlyIncreasingSequence) {
    flrtest::TempDir dir;
    const std::string path = dir.file("sub/journal.seq");
    JxSeqCounter a(path, 3), b(path, 3);
    uint64_t last = 0;
    for (int i = 0; i < 20; ++i) {
        const uint64_t n = (i % 3 == 0 ? b : a).next();
        EXPECT_GT(n, last);
        last = n;
        // The block holding every handed-out number is on disk first.
        EXPECT_GE(persistedEnd(path), n);
    }
    EXPECT_EQ(1u + 19u, last);  // no gaps without a restart
}

TEST(JxSeqCounter, AHostRestartSkipsTheUnusedRestOfTheBlock) {
    flrtest::TempDir dir;
    const std::string path = dir.file("journal.seq");
    uint64_t last = 0;
    {
        JxSeqCounter c(path, 100);
        for (int i = 0; i < 5; ++i) last = c.next();
    }
    // A new boot: the shared page is stale (here: wiped).
    flrtest::writeFile(path + ".shm", std::string(64, '\0'));
    JxSeqCounter c(path, 100);
    const uint64_t n = c.next();
    EXPECT_GT(n, last);
    EXPECT_EQ(101u, n);
}

// A child draws numbers and reports each one after drawing it; it is killed
// at a random moment. Neither the survivor nor a host restart ever hands out
// a number the child may have had.
TEST(JxSeqCounter, KilledDrawerNeverCausesARepeat) {
    flrtest::TempDir dir;
    const std::string path = dir.file("journal.seq");
    std::mt19937 rng(11);
    const int rounds = flrtest::scaled(8);
    for (int round = 0; round < rounds; ++round) {
        int fds[2];
        ASSERT_EQ(0, ::pipe(fds));
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(fds[0]);
            JxSeqCounter c(path, 1 + round % 7);
            for (;;) {
                const uint64_t n = c.next();
                if (::write(fds[1], &n, sizeof n) != sizeof n) ::_exit(1);
            }
        }
        ::close(fds[1]);
        const int reads = 1 + int(rng() % 200);
        uint64_t seen = 0, n = 0;
        for (int i = 0; i < reads && ::read(fds[0], &n, sizeof n) == sizeof n; ++i) seen = n;
        ::kill(pid, SIGKILL);
        // Whatever is still in the pipe was drawn too.
        while (::read(fds[0], &n, sizeof n) == sizeof n) seen = std::max(seen, n);
        ::close(fds[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));
        if (round % 2) flrtest::writeFile(path + ".shm", std::string(64, '\0'));
        JxSeqCounter c(path, 5);
        EXPECT_GT(c.next(), seen) << "round " << round;
    }
}

TEST(JxSeqCounter, ProcessesDrawingTogetherNeverShareANumber) {
    flrtest::TempDir dir;
    const std::string path = dir.file("journal.seq");
    const int perChild = flrtest::scaled(2000);
    std::vector<pid_t> kids;
    for (int k = 0; k < 3; ++k) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            JxSeqCounter c(path, 64);
            std::ofstream out(dir.file("out" + std::to_string(k)));
            uint64_t last = 0;
            for (int i = 0; i < perChild; ++i) {
                const uint64_t n = c.next();
                if (n <= last) ::_exit(3);
                last = n;
                out << n << "\n";
            }
            out.close();  // _exit does not flush streams
            ::_exit(0);
        }
        kids.push_back(pid);
    }
    for (pid_t pid : kids) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::set<uint64_t> all;
    for (int k = 0; k < 3; ++k) {
        std::ifstream in(dir.file("out" + std::to_string(k)));
        unsigned long long n;
        while (in >> n) EXPECT_TRUE(all.insert(n).second) << n << " handed out twice";
    }
    EXPECT_EQ(size_t(3 * perChild), all.size());
}

}  // namespace
