#include "platform/JxProcess.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <sstream>
#include <thread>
#include <vector>

#include "platform/EvDebug.h"
#include "support/TestSupport.h"

namespace {

TEST(JxProcess, SystemReturnsStatusOutputAndErrorText) {
    std::string out, err;
    EXPECT_EQ(JxProcess::system("echo to-out; echo to-err >&2; exit 3", &out, &err), 3);
    EXPECT_EQ(out, "to-out\n");
    EXPECT_EQ(err, "to-err\n");
    EXPECT_EQ(JxProcess::system("true"), 0);
    EXPECT_EQ(JxProcess::system("exit 255", &out), 255);
    EXPECT_EQ(out, "");
}

TEST(JxProcess, ChildStdinIsEmptyWhenNoInputIsGiven) {
    // A tool that reads its stdin must see an end of file, not hang on ours.
    auto r = JxProcess::run({"cat"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "");
}

// Megabyte streams on both pipes, stderr first: a runner that drains one
// pipe before the other deadlocks here.
TEST(JxProcess, LargeOutputOnBothPipesDoesNotDeadlock) {
    constexpr size_t kMiB = 1 << 20;
    std::string out, err;
    const int rc = JxProcess::system(
        "head -c 1048576 /dev/zero | tr '\\0' e >&2; head -c 1048576 /dev/zero | tr '\\0' o", &out,
        &err);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(out, std::string(kMiB, 'o'));
    EXPECT_EQ(err, std::string(kMiB, 'e'));
}

TEST(JxProcess, StdinRoundTripsThroughCat) {
    std::string input;
    input.reserve((1 << 20) + 256);
    for (size_t i = 0; i < (1u << 20) + 256; ++i) input.push_back(static_cast<char>(i * 31 + 7));
    auto r = JxProcess::run({"cat"}, input);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output.size(), input.size());
    EXPECT_TRUE(r.output == input);
    EXPECT_EQ(r.error, "");

    r = JxProcess::run({"sh", "-c", "read secret; echo \"got ${#secret}\""}, "hunter2\n");
    EXPECT_EQ(r.output, "got 7\n");
}

TEST(JxProcess, ChildThatIgnoresItsInputDoesNotHurtTheCaller) {
    // The child exits without reading: writing the rest must not kill us by SIGPIPE.
    auto r = JxProcess::run({"true"}, std::string(4 << 20, 'x'));
    EXPECT_EQ(r.status, 0);
    r = JxProcess::run({"head", "-c", "5"}, std::string(4 << 20, 'y'));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.output, "yyyyy");
}

TEST(JxProcess, KilledChildReportsSignalAndMissingProgramMinusOne) {
    auto r = JxProcess::run({"sh", "-c", "echo before; kill -9 $$"});
    EXPECT_EQ(r.status, 128 + 9);
    EXPECT_EQ(r.output, "before\n");

    r = JxProcess::run({"/nonexistent/flr-tool", "--flag"});
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.error, "failed to start /nonexistent/flr-tool: No such file or directory");
    r = JxProcess::run({"flr-no-such-program-on-path"});
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.error, "failed to start flr-no-such-program-on-path: No such file or directory");
    r = JxProcess::run(std::vector<std::string>{});
    EXPECT_EQ(r.status, -1);
    EXPECT_FALSE(r.error.empty());
}

TEST(JxProcess, ArgvIsPassedLiterallyWithoutAShell) {
    const std::vector<std::string> args = {"a b",           "\"quoted\"", "$(echo hi)", "'single'",
                                           "; rm -rf /tmp", "*",          "`id`",       ""};
    std::vector<std::string> argv = {"printf", "[%s]\\n"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto r = JxProcess::run(argv);
    ASSERT_EQ(r.status, 0) << r.error;
    std::ostringstream expected;
    for (const auto& a : args) expected << '[' << a << "]\n";
    EXPECT_EQ(r.output, expected.str());
}

TEST(JxProcess, OnlyTheThreeStandardDescriptorsReachTheChild) {
    flrtest::TempDir dir;
    const int leaky = open(dir.file("f").c_str(), O_CREAT | O_RDWR, 0600);  // no O_CLOEXEC
    ASSERT_GE(leaky, 3);
    auto r = JxProcess::run({"ls", "/proc/self/fd"});
    close(leaky);
    ASSERT_EQ(r.status, 0);
    std::istringstream in(r.output);
    std::string fd;
    std::vector<std::string> fds;
    while (in >> fd) fds.push_back(fd);
    // 0, 1, 2 and the directory ls itself has open; the leaky one would be a fifth.
    EXPECT_EQ(fds.size(), 4u) << r.output;
}

TEST(JxProcess, SignalsIgnoredByTheCallerAreDefaultInTheChild) {
    struct sigaction ignore {
    }, old{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &old);
    // Ignored-on-entry signals cannot be restored by a shell; it would survive.
    const int rc = JxProcess::system("kill -PIPE $$; exit 0");
    sigaction(SIGPIPE, &old, nullptr);
    EXPECT_EQ(rc, 128 + SIGPIPE);
}

TEST(JxProcess, NothingOfTheArgumentsReachesTheLog) {
    EvDebugCapture capture;
    JxProcess::run({"sh", "-c", "exit 0", "pw=S3cr3t-Value"});
    JxProcess::run({"/nonexistent/tool", "pw=S3cr3t-Value"});
    JxProcess::run({"cat"}, "pw=S3cr3t-Value");
    EXPECT_FALSE(capture.containsFragment("S3cr3t"));
}

TEST(JxProcess, ConcurrentRunsKeepTheirOwnPipes) {
    std::vector<std::thread> threads;
    std::vector<int> bad(4, 0);
    const int runs = flrtest::scaled(15);
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t, runs, &bad] {
            for (int i = 0; i < runs; ++i) {
                const std::string token = std::to_string(t) + ":" + std::to_string(i);
                auto r = JxProcess::run({"cat"}, token);
                if (r.status != 0 || r.output != token) ++bad[t];
            }
        });
    for (auto& th : threads) th.join();
    for (int t = 0; t < 4; ++t) EXPECT_EQ(bad[t], 0) << "thread " << t;
}

}  // namespace
