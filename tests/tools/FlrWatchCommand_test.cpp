// `flr replicate SRC DST --watch` as a process, and `flr status` of it while
// it runs and after SIGINT has stopped it cleanly.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "FLR/platform/FlrDriver.h"
#include "support/TestSupport.h"
#include "support/ToolRunner.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

bool eventuallyTrue(const std::function<bool()>& pred, int seconds = 120) {
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < until) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return pred();
}

// flr with args, stdout into a pipe read back by finish().
struct WatchProcess {
    pid_t pid = -1;
    int out = -1;

    explicit WatchProcess(std::vector<std::string> args) {
        args.insert(args.begin(), flrtest::toolPath());
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int p[2];
        EXPECT_EQ(0, ::pipe2(p, O_CLOEXEC));
        posix_spawn_file_actions_t fa;
        posix_spawn_file_actions_init(&fa);
        posix_spawn_file_actions_adddup2(&fa, p[1], 1);
        posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
        EXPECT_EQ(0, ::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), environ));
        posix_spawn_file_actions_destroy(&fa);
        ::close(p[1]);
        out = p[0];
    }
    ~WatchProcess() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            finish();
        }
    }
    bool exited() {
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) != pid) return false;
        pid = -1;
        exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
    }
    // Waits for the exit; returns its status with stdout in `printed`.
    int finish() {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(out, buf, sizeof buf)) > 0) printed.append(buf, size_t(n));
        ::close(out);
        if (pid > 0) {
            int status = 0;
            ::waitpid(pid, &status, 0);
            pid = -1;
            exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        return exitStatus;
    }
    int exitStatus = -1;
    std::string printed;
};

TEST(FlrWatchCommand, StatusOfARunningAndOfAStoppedWatch) {
    FLR_REQUIRE_TOOL();
    std::string why;
    if (!FlrDriver::hasCapability(&why)) GTEST_SKIP() << "the live journal needs it: " << why;
    flrtest::TempDir dir;
    const std::string src = dir.file("src"), dst = dir.file("dst"), state = dir.file("state");
    ASSERT_EQ(0, ::mkdir(src.c_str(), 0755));
    flrtest::writeFile(src + "/before", "there before the watch");
    const std::vector<std::string> pair{src, dst, "--state-dir", state};

    // Never watched: not running.
    auto none = flrtest::runTool({"status", src, dst, "--state-dir", state, "--json"});
    EXPECT_EQ(1, none.status) << none.err;
    EXPECT_NE(std::string::npos, none.out.find("\"running\":false")) << none.out;

    WatchProcess watch({"replicate", src, dst, "--watch", "--state-dir", state});
    flrtest::ToolRun running;
    const bool up = eventuallyTrue([&] {
        if (watch.exited()) return true;
        running = flrtest::runTool({"status", src, dst, "--state-dir", state, "--json"});
        return running.status == 0 &&
               running.out.find("\"phase\":\"watching\"") != std::string::npos;
    });
    ASSERT_TRUE(up);
    if (watch.pid < 0) {
        watch.finish();
        GTEST_SKIP() << "the watch could not start here (exit " << watch.exitStatus << ")";
    }
    EXPECT_NE(std::string::npos, running.out.find("\"running\":true")) << running.out;
    EXPECT_NE(std::string::npos, running.out.find("\"pid\":" + std::to_string(watch.pid)))
        << running.out;
    EXPECT_NE(std::string::npos, running.out.find("\"scan\":\"baseline\"")) << running.out;

    flrtest::writeFile(src + "/during", "made while watched");
    EXPECT_TRUE(eventuallyTrue([&] { return ::access((dst + "/during").c_str(), F_OK) == 0; }));
    const auto all = flrtest::runTool({"status", "--state-dir", state, "--json"});
    EXPECT_EQ(0, all.status) << all.err;
    EXPECT_NE(std::string::npos, all.out.find("{\"pairs\":[{")) << all.out;

    ASSERT_EQ(0, ::kill(watch.pid, SIGINT));
    EXPECT_EQ(0, watch.finish()) << watch.printed;
    EXPECT_NE(std::string::npos, watch.printed.find("stopped")) << watch.printed;

    const auto stopped = flrtest::runTool({"status", src, dst, "--state-dir", state, "--json"});
    EXPECT_EQ(1, stopped.status) << stopped.out;
    EXPECT_NE(std::string::npos, stopped.out.find("\"running\":false")) << stopped.out;
    EXPECT_NE(std::string::npos, stopped.out.find("\"phase\":\"stopped\"")) << stopped.out;
    EXPECT_EQ(0, flrtest::runTool({"verify", src, dst}).status);
}

}  // namespace
