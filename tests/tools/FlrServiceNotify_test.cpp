// The tail and the watch run as systemd Type=notify services: the test plays
// the service manager with a datagram socket named in NOTIFY_SOCKET and checks
// what they tell it and when; SIGHUP reopens a watch's log file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/FlrDriver.h"
#include "support/TestSupport.h"
#include "support/ToolRunner.h"

namespace flr_service_notify_test {

// The manager's end: every datagram a service sends, one message each.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        bound_ = fd_ >= 0 && path.size() < sizeof a.sun_path &&
                 ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        timeval tv{0, 200000};
        if (bound_) ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~NotifySocket() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool bound() const { return bound_; }
    std::string env() const { return "NOTIFY_SOCKET=" + path_; }

    // Waits up to `seconds` for a message holding `line` as one of its lines;
    // `seen` runs on arrival of each message.
    bool waitFor(const std::string& line, int seconds,
                 const std::function<void(const std::string&)>& seen = {}) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (std::chrono::steady_clock::now() < until) {
            char buf[4096];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) continue;
            const std::string msg(buf, static_cast<size_t>(n));
            messages_.push_back(msg);
            if (seen) seen(msg);
            if (("\n" + msg + "\n").find("\n" + line) != std::string::npos) return true;
        }
        return false;
    }
    std::string all() const {
        std::string text;
        for (const auto& m : messages_) text += "[" + m + "]";
        return text;
    }

  private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
    std::vector<std::string> messages_;
};

TEST(FlrServiceNotify, TailIsReadyOnceListeningAndPingsTheWatchdog) {
    FLR_REQUIRE_TOOL();
    flrtest::TempDir dir;
    NotifySocket manager(dir.file("notify"));
    ASSERT_TRUE(manager.bound()) << dir.path();
    ASSERT_EQ(0, flrtest::runTool({"link", "keygen", dir.file("link.key")}).status);
    flrtest::writeFile(dir.file("flr.ini"),
                       "[ZRP]\nsLinkSecretFile = " + dir.file("link.key") + "\n");
    // Half of 0.2 s between pings: several arrive within the wait below.
    flrtest::ToolProcess tail(
        {"tail", "--listen", "127.0.0.1:0", "--bookkeeping"},
        {manager.env(), "WATCHDOG_USEC=200000", "FLR_REGISTRY=" + dir.file("flr.ini")});
    std::string outputAtReady;
    ASSERT_TRUE(manager.waitFor("READY=1", 60,
                                [&](const std::string& m) {
                                    if (m.find("READY=1") != std::string::npos)
                                        outputAtReady = tail.output();
                                }))
        << manager.all() << tail.output();
    // Whoever is told "ready" may connect at once: the socket listens by then.
    EXPECT_NE(std::string::npos, outputAtReady.find("listening on 127.0.0.1:")) << outputAtReady;
    EXPECT_NE(std::string::npos, manager.all().find("STATUS=listening on 127.0.0.1:"))
        << manager.all();
    EXPECT_TRUE(manager.waitFor("WATCHDOG=1", 10)) << manager.all();
    ASSERT_EQ(0, ::kill(tail.pid(), SIGTERM));
    EXPECT_EQ(0, tail.finish()) << tail.output();
}

TEST(FlrServiceNotify, WatchIsReadyAfterItsFirstRunAndReopensItsLogOnHangup) {
    FLR_REQUIRE_TOOL();
    std::string why;
    if (!FlrDriver::hasCapability(&why)) GTEST_SKIP() << "the live journal needs it: " << why;
    flrtest::TempDir dir;
    const std::string src = dir.file("src"), dst = dir.file("dst"), log = dir.file("watch.log");
    ASSERT_EQ(0, ::mkdir(src.c_str(), 0755));
    flrtest::writeFile(src + "/before", "there before the watch");
    NotifySocket manager(dir.file("notify"));
    ASSERT_TRUE(manager.bound()) << dir.path();
    ASSERT_EQ("",
              flrtest::setUpInstall(dir.file("install"), {"FLR_REGISTRY=" + dir.file("flr.ini")}));
    flrtest::ToolProcess watch(
        {"replicate", src, dst, "--watch", "--state-dir", dir.file("state"), "--log-file", log},
        {manager.env(), "FLR_REGISTRY=" + dir.file("flr.ini")});
    if (!manager.waitFor("READY=1", 120)) {
        if (watch.exited())
            GTEST_SKIP() << "the watch could not start here (exit " << watch.exitStatus()
                         << "): " << watch.output();
        FAIL() << manager.all() << watch.output();
    }
    // Ready means the first run is done: its copy is there.
    EXPECT_EQ(0, ::access((dst + "/before").c_str(), F_OK));
    EXPECT_NE(std::string::npos, manager.all().find("STATUS=watch watching")) << manager.all();

    // As logrotate does: move the file away, then SIGHUP.
    ASSERT_EQ(0, ::rename(log.c_str(), (log + ".1").c_str()));
    ASSERT_EQ(0, ::kill(watch.pid(), SIGHUP));
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (::access(log.c_str(), F_OK) != 0 && std::chrono::steady_clock::now() < until &&
           !watch.exited())
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(0, ::access(log.c_str(), F_OK)) << watch.output();
    struct stat st {};
    ASSERT_EQ(0, ::stat(log.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    ASSERT_FALSE(watch.exited()) << "SIGHUP ended the watch: " << watch.output();
    ASSERT_EQ(0, ::kill(watch.pid(), SIGINT));
    EXPECT_EQ(0, watch.finish()) << watch.output();
}

// The flr-watch unit: ready once every marked pair watches or has failed
// (a failed one is retried), the status summing them.
TEST(FlrServiceNotify, AllPairsAreReadyOnceEachWatchesOrFailed) {
    FLR_REQUIRE_TOOL();
    std::string why;
    if (!FlrDriver::hasCapability(&why)) GTEST_SKIP() << "the live journal needs it: " << why;
    flrtest::TempDir dir;
    const std::vector<std::string> env = {"FLR_REGISTRY=" + dir.file("flr.ini")};
    ASSERT_EQ("", flrtest::setUpInstall(dir.file("install"), env));
    for (const char* name : {"up", "down"}) ASSERT_EQ(0, ::mkdir(dir.file(name).c_str(), 0755));
    flrtest::writeFile(dir.file("up/before"), "there before the watch");
    const std::string state = dir.file("state");
    for (const std::vector<std::string>& add :
         {std::vector<std::string>{"up", dir.file("up"), dir.file("up.copy")},
          std::vector<std::string>{"down", dir.file("down"), "127.0.0.1:1:" + dir.file("x")}}) {
        std::vector<std::string> args = {"pair", "--state-dir", state, "add"};
        args.insert(args.end(), add.begin(), add.end());
        args.push_back("--watch");
        const auto r = flrtest::runTool(args, {}, env);
        ASSERT_EQ(0, r.status) << r.err;
    }
    NotifySocket manager(dir.file("notify"));
    ASSERT_TRUE(manager.bound()) << dir.path();
    std::vector<std::string> watchEnv = env;
    watchEnv.push_back(manager.env());
    flrtest::ToolProcess watch({"replicate", "--watch", "--all-pairs", "--state-dir", state},
                               watchEnv);
    if (!manager.waitFor("READY=1", 120)) {
        if (watch.exited())
            GTEST_SKIP() << "the watch could not start here (exit " << watch.exitStatus()
                         << "): " << watch.output();
        FAIL() << manager.all() << watch.output();
    }
    EXPECT_EQ(0, ::access(dir.file("up.copy/before").c_str(), F_OK));
    EXPECT_NE(std::string::npos,
              manager.all().find("STATUS=watch of 2 pairs: 1 watching, 1 failed"))
        << manager.all();
    ASSERT_EQ(0, ::kill(watch.pid(), SIGTERM));
    EXPECT_EQ(0, watch.finish()) << watch.output();
}

}  // namespace flr_service_notify_test
