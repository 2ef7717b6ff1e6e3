// `flr replicate SRC DST --watch` as a process, and `flr status` of it while
// it runs and after SIGINT has stopped it cleanly; a watch to a separate
// `flr tail` process through HOST:PORT:/path.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/FlrDriver.h"
#include "support/TestSupport.h"
#include "support/ToolRunner.h"

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

    const std::vector<std::string> env{"FLR_REGISTRY=" + dir.file("flr.ini")};
    ASSERT_EQ("", flrtest::setUpInstall(dir.file("install"), env));
    flrtest::ToolProcess watch({"replicate", "-v", src, dst, "--watch", "--state-dir", state}, env);
    flrtest::ToolRun running;
    const bool up = eventuallyTrue([&] {
        if (watch.exited()) return true;
        running = flrtest::runTool({"status", src, dst, "--state-dir", state, "--json"});
        return running.status == 0 &&
               running.out.find("\"phase\":\"watching\"") != std::string::npos;
    });
    ASSERT_TRUE(up);
    if (watch.pid() < 0) {
        GTEST_SKIP() << "the watch could not start here (exit " << watch.exitStatus()
                     << "): " << watch.output();
    }
    EXPECT_NE(std::string::npos, running.out.find("\"running\":true")) << running.out;
    EXPECT_NE(std::string::npos, running.out.find("\"pid\":" + std::to_string(watch.pid())))
        << running.out;
    EXPECT_NE(std::string::npos, running.out.find("\"scan\":\"baseline\"")) << running.out;

    flrtest::writeFile(src + "/during", "made while watched");
    EXPECT_TRUE(eventuallyTrue([&] { return ::access((dst + "/during").c_str(), F_OK) == 0; }));
    ASSERT_EQ(0, ::unlink((src + "/before").c_str()));
    EXPECT_TRUE(eventuallyTrue([&] { return ::access((dst + "/before").c_str(), F_OK) != 0; }));
    const auto all = flrtest::runTool({"status", "--state-dir", state, "--json"});
    EXPECT_EQ(0, all.status) << all.err;
    EXPECT_NE(std::string::npos, all.out.find("{\"pairs\":[{")) << all.out;

    ASSERT_EQ(0, ::kill(watch.pid(), SIGINT));
    EXPECT_EQ(0, watch.finish()) << watch.output();
    EXPECT_NE(std::string::npos, watch.output().find("stopped")) << watch.output();
    // -v lists the journal's records as they go, not only what scans send.
    EXPECT_NE(std::string::npos, watch.output().find("  sent      during\n")) << watch.output();
    EXPECT_NE(std::string::npos, watch.output().find("  removed   before\n")) << watch.output();

    const auto stopped = flrtest::runTool({"status", src, dst, "--state-dir", state, "--json"});
    EXPECT_EQ(1, stopped.status) << stopped.out;
    EXPECT_NE(std::string::npos, stopped.out.find("\"running\":false")) << stopped.out;
    EXPECT_NE(std::string::npos, stopped.out.find("\"phase\":\"stopped\"")) << stopped.out;
    EXPECT_EQ(0, flrtest::runTool({"verify", src, dst}).status);
}

// A pair watched as a user runs it against a tail on another host: the tail
// and the head each read the link secret from a key file named in the
// registry, nothing secret on a command line (a path to it is no secret).
class RemoteWatch : public ::testing::Test {
  protected:
    void SetUp() override {
        FLR_REQUIRE_TOOL();
        std::string why;
        if (!FlrDriver::hasCapability(&why)) GTEST_SKIP() << "the live journal needs it: " << why;
        ASSERT_EQ(0, ::mkdir(src_.c_str(), 0755));
        ASSERT_EQ(0, ::mkdir(root_.c_str(), 0755));
        ASSERT_EQ("", flrtest::setUpLinkKey(key_, dir_.file("install"), env_));
        tail_ = std::make_unique<flrtest::ToolProcess>(
            std::vector<std::string>{"tail", "--listen", "127.0.0.1:0", "--root", root_, "--store",
                                     dir_.file("store")},
            env_);
        const std::string line = tail_->waitForLine("listening on 127.0.0.1:", 120);
        ASSERT_FALSE(line.empty()) << tail_->output();
        port_ = std::atoi(line.c_str() + line.find("127.0.0.1:") + 10);
        ASSERT_GT(port_, 0) << line;
    }
    void TearDown() override {
        if (!tail_ || tail_->pid() < 0) return;
        ::kill(tail_->pid(), SIGTERM);
        EXPECT_EQ(0, tail_->finish()) << tail_->output();
    }

    std::string target() const { return "127.0.0.1:" + std::to_string(port_) + ":" + replica_; }
    flrtest::ToolRun status() const {
        return flrtest::runTool({"status", src_, target(), "--state-dir", state_, "--json"}, {},
                                env_);
    }
    // Started and watching; the status then in `running`.
    std::unique_ptr<flrtest::ToolProcess> startWatch(flrtest::ToolRun* running) {
        auto watch = std::make_unique<flrtest::ToolProcess>(
            std::vector<std::string>{"replicate", src_, target(), "--watch", "--state-dir", state_},
            env_);
        const bool up = eventuallyTrue([&] {
            if (watch->exited()) return true;
            *running = status();
            return running->out.find("\"phase\":\"watching\"") != std::string::npos;
        });
        EXPECT_TRUE(up && watch->pid() > 0) << watch->output() << running->out;
        return watch;
    }
    bool verified() const {
        return flrtest::runTool({"verify", src_, replica_}, {}, env_).status == 0;
    }
    // SIGINT: the watch drains and exits 0.
    void stop(flrtest::ToolProcess& watch) {
        ASSERT_EQ(0, ::kill(watch.pid(), SIGINT));
        EXPECT_EQ(0, watch.finish()) << watch.output();
    }

    flrtest::TempDir dir_;
    std::string src_ = dir_.file("src"), root_ = dir_.file("root"), state_ = dir_.file("state");
    std::string replica_ = root_ + "/replica", key_ = dir_.file("link.key");
    std::vector<std::string> env_{"FLR_REGISTRY=" + dir_.file("flr.ini")};
    std::unique_ptr<flrtest::ToolProcess> tail_;
    int port_ = 0;
};

TEST_F(RemoteWatch, ChangesArriveAndARestartCatchesUp) {
    ::mkdir((src_ + "/a").c_str(), 0755);
    ::mkdir((src_ + "/b").c_str(), 0755);
    flrtest::writeFile(src_ + "/a/kept", "there before the watch");
    flrtest::writeFile(src_ + "/a/moved", "moved across folders while watched");
    flrtest::writeFile(src_ + "/b/removed", "removed while watched");

    flrtest::ToolRun running;
    auto watch = startWatch(&running);
    ASSERT_GT(watch->pid(), 0);
    EXPECT_NE(std::string::npos, running.out.find("\"scan\":\"baseline\"")) << running.out;

    flrtest::writeFile(src_ + "/a/new", "made while watched");
    flrtest::writeFile(src_ + "/a/kept", "there before the watch, rewritten");
    // Larger than a record carries: resent through the transfer.
    flrtest::writeFile(src_ + "/b/large", std::string(300 * 1024, 'L'));
    ASSERT_EQ(0, ::rename((src_ + "/a/moved").c_str(), (src_ + "/b/moved").c_str()));
    ASSERT_EQ(0, ::unlink((src_ + "/b/removed").c_str()));
    EXPECT_TRUE(eventuallyTrue([&] { return verified(); }))
        << flrtest::runTool({"verify", src_, replica_}, {}, env_).out;
    // By the journal and a resend, not by a scan (the status file is
    // rewritten each second).
    EXPECT_TRUE(eventuallyTrue([&] {
        const std::string now = status().out;
        return now.find("\"sent\":0,") == std::string::npos &&
               now.find("\"resent_files\":0,") == std::string::npos;
    })) << status().out;
    stop(*watch);

    // Changed while nobody watches: the next start's smart-sync sends it.
    flrtest::writeFile(src_ + "/a/while-stopped", "made while stopped");
    ASSERT_EQ(0, ::unlink((src_ + "/a/new").c_str()));
    watch = startWatch(&running);
    ASSERT_GT(watch->pid(), 0);
    EXPECT_NE(std::string::npos, running.out.find("\"scan\":\"smart-sync\"")) << running.out;
    EXPECT_TRUE(eventuallyTrue([&] { return verified(); }))
        << flrtest::runTool({"verify", src_, replica_}, {}, env_).out;
    stop(*watch);
    ::kill(tail_->pid(), SIGTERM);
    EXPECT_EQ(0, tail_->finish());
    EXPECT_NE(std::string::npos, tail_->output().find(" 0 refused, 0 failed\n")) << tail_->output();
    std::printf("%s", tail_->output().c_str());
}

}  // namespace
