// `--metrics` on a running `flr tail` and `flr replicate --watch`: the page
// is served on the loopback port it printed, its figures move as the
// process works, promtool accepts it, and the process still stops cleanly.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/FlrDriver.h"
#include "platform/JxProcess.h"
#include "support/TestSupport.h"
#include "support/ToolRunner.h"

namespace flrmetricscmdtest {

using Clock = std::chrono::steady_clock;

bool eventually(const std::function<bool()>& pred, int seconds = 60) {
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < until) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return pred();
}

// The port of the "metrics on http://127.0.0.1:PORT/metrics" line; 0 if none.
int metricsPort(flrtest::ToolProcess& p) {
    const std::string line = p.waitForLine("metrics on http://127.0.0.1:", 120);
    const size_t at = line.find("127.0.0.1:");
    return at == std::string::npos ? 0 : std::atoi(line.c_str() + at + 10);
}

std::string scrape(int port, const std::string& path = "/metrics", int* status = nullptr) {
    httplib::Client client("127.0.0.1", port);
    const auto res = client.Get(path);
    if (status) *status = res ? res->status : -1;
    return res && res->status == 200 ? res->body : std::string();
}

// The value of one sample line "name{labels} value"; -1 when missing.
double figure(const std::string& page, const std::string& key) {
    const size_t at = page.find("\n" + key + " ");
    return at == std::string::npos ? -1 : std::atof(page.c_str() + at + key.size() + 2);
}

// promtool's verdict on a page: empty when accepted (or promtool is missing:
// then *skipped says so).
std::string promtoolProblems(const std::string& page, bool* skipped) {
    const JxProcess::Result r = JxProcess::run({"promtool", "check", "metrics"}, page);
    *skipped = r.status == -1 || r.status == 127;
    return r.status == 0 || *skipped ? std::string() : r.output + r.error;
}

class MetricsCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        FLR_REQUIRE_TOOL();
        const auto keygen = flrtest::runTool({"link", "keygen", dir_.file("link.key")}, {}, env_);
        ASSERT_EQ(0, keygen.status) << keygen.err;
        const auto set = flrtest::runTool(
            {"registry", "set", "ZRP", "sLinkSecretFile", dir_.file("link.key")}, {}, env_);
        ASSERT_EQ(0, set.status) << set.err;
    }
    void checkWithPromtool(const std::string& page) {
        bool skipped = false;
        EXPECT_EQ("", promtoolProblems(page, &skipped)) << page;
        if (skipped) std::printf("promtool is not installed: the page was not linted\n");
    }

    flrtest::TempDir dir_;
    std::vector<std::string> env_{"FLR_REGISTRY=" + dir_.file("flr.ini")};
};

TEST_F(MetricsCommand, BadAddressesAreUsageErrors) {
    for (const char* bad : {"70000", "host:http", "localhost:"}) {
        const auto r = flrtest::runTool(
            {"tail", "--listen", "127.0.0.1:0", "--bookkeeping", "--metrics", bad}, {}, env_);
        EXPECT_EQ(2, r.status) << bad << ": " << r.err;
        EXPECT_NE(std::string::npos, r.err.find("--metrics")) << r.err;
    }
    const auto noWatch =
        flrtest::runTool({"replicate", dir_.file("a"), dir_.file("b"), "--metrics", "0"}, {}, env_);
    EXPECT_EQ(2, noWatch.status) << noWatch.err;
}

TEST_F(MetricsCommand, TailCountsConnections) {
    flrtest::ToolProcess tail(
        {"tail", "--listen", "127.0.0.1:0", "--bookkeeping", "--metrics", "127.0.0.1:0"}, env_);
    const std::string listening = tail.waitForLine("listening on 127.0.0.1:", 120);
    ASSERT_FALSE(listening.empty()) << tail.output();
    const int tailPort = std::atoi(listening.c_str() + listening.find("127.0.0.1:") + 10);
    const int port = metricsPort(tail);
    ASSERT_GT(port, 0) << tail.output();

    const std::string before = scrape(port);
    EXPECT_EQ(0, figure(before, "flr_tail_accepted_connections_total")) << before;
    EXPECT_GT(figure(before, "process_start_time_seconds"), 1.6e9) << before;
    int status = 0;
    scrape(port, "/", &status);
    EXPECT_EQ(404, status);

    // A connection that never proves the secret: accepted, then a failed
    // handshake once the tail sees it gone.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(tailPort));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
    ::close(fd);
    std::string after;
    EXPECT_TRUE(eventually([&] {
        after = scrape(port);
        return figure(after, "flr_tail_accepted_connections_total") == 1 &&
               figure(after, "flr_tail_failed_handshakes_total") == 1;
    })) << after;
    checkWithPromtool(after);

    ASSERT_EQ(0, ::kill(tail.pid(), SIGTERM));
    EXPECT_EQ(0, tail.finish()) << tail.output();
    scrape(port, "/metrics", &status);
    EXPECT_EQ(-1, status) << "still served after the tail ended";
}

// A watch to a separate tail, both with --metrics: the head's records sent
// and the tail's records applied move together.
TEST_F(MetricsCommand, WatchAndTailFiguresMoveAsChangesGo) {
    std::string why;
    if (!FlrDriver::hasCapability(&why)) GTEST_SKIP() << "the live journal needs it: " << why;
    const std::string src = dir_.file("src"), root = dir_.file("root"), state = dir_.file("state");
    ASSERT_EQ(0, ::mkdir(src.c_str(), 0755));
    ASSERT_EQ(0, ::mkdir(root.c_str(), 0755));
    flrtest::writeFile(src + "/before", "there before the watch");
    const auto install = flrtest::runTool(
        {"registry", "set", "Platform", "dInstall", dir_.file("install")}, {}, env_);
    ASSERT_EQ(0, install.status) << install.err;
    flrtest::ToolProcess tail({"tail", "--listen", "127.0.0.1:0", "--root", root, "--store",
                               dir_.file("store"), "--metrics", "0"},
                              env_);
    const std::string listening = tail.waitForLine("listening on 127.0.0.1:", 120);
    ASSERT_FALSE(listening.empty()) << tail.output();
    const std::string tailAt = listening.substr(listening.find("127.0.0.1:"));
    const int tailMetrics = metricsPort(tail);
    ASSERT_GT(tailMetrics, 0) << tail.output();
    const std::string dst = tailAt + ":" + root + "/replica";

    flrtest::ToolProcess watch(
        {"replicate", src, dst, "--watch", "--state-dir", state, "--metrics", "0"}, env_);
    const int port = metricsPort(watch);
    ASSERT_GT(port, 0) << watch.output();
    std::string page;
    ASSERT_TRUE(eventually([&] {
        page = scrape(port);
        return page.find("phase=\"watching\"") != std::string::npos || watch.exited();
    })) << page;
    if (watch.exited()) GTEST_SKIP() << "the watch could not start here: " << watch.output();
    const double sentBefore = figure(page, "flr_watch_records_sent_total");
    EXPECT_GE(sentBefore, 0) << page;

    flrtest::writeFile(src + "/during", "made while watched");
    std::string tailPage;
    EXPECT_TRUE(eventually([&] {
        page = scrape(port);
        tailPage = scrape(tailMetrics);
        return figure(page, "flr_watch_records_sent_total") > sentBefore &&
               figure(tailPage, "flr_tail_journal_outcomes_total{outcome=\"applied\"}") > 0;
    })) << page
        << tailPage;
    EXPECT_GT(figure(page, "flr_watch_sent_bytes_total"), 0) << page;
    EXPECT_EQ(1, figure(page, "flr_watch_link_up")) << page;
    EXPECT_GT(figure(page, "process_start_time_seconds"), 1.6e9) << page;
    EXPECT_GE(figure(tailPage, "flr_tail_sessions"), 1) << tailPage;
    EXPECT_EQ(0, figure(tailPage, "flr_tail_journal_outcomes_total{outcome=\"failed\"}"))
        << tailPage;
    checkWithPromtool(page);
    checkWithPromtool(tailPage);
    // The status shows the consistent point the page does.
    const auto status =
        flrtest::runTool({"status", src, dst, "--state-dir", state, "--json"}, {}, env_);
    EXPECT_NE(std::string::npos, status.out.find("\"consistent_at\":")) << status.out;

    ASSERT_EQ(0, ::kill(watch.pid(), SIGINT));
    EXPECT_EQ(0, watch.finish()) << watch.output();
    EXPECT_NE(std::string::npos, watch.output().find("stopped")) << watch.output();
    ASSERT_EQ(0, ::kill(tail.pid(), SIGTERM));
    EXPECT_EQ(0, tail.finish()) << tail.output();
}

// `--watch --all-pairs`: the declared pairs marked for watching run in one
// process, each labelled on the page; a hangup takes a newly marked pair in.
TEST_F(MetricsCommand, WatchedPairsRunTogetherAndShowUnderTheirNames) {
    std::string why;
    if (!FlrDriver::hasCapability(&why)) GTEST_SKIP() << "the live journal needs it: " << why;
    const std::string state = dir_.file("state");
    ASSERT_EQ(0, flrtest::runTool({"registry", "set", "Platform", "dInstall", dir_.file("install")},
                                  {}, env_)
                     .status);
    const auto add = [&](const std::string& name, bool watch) {
        ::mkdir(dir_.file(name).c_str(), 0755);
        std::vector<std::string> args = {"pair", "add", name, dir_.file(name),
                                         dir_.file(name + ".r")};
        if (watch) args.push_back("--watch");
        args.push_back("--replace");
        const auto r = flrtest::runTool(args, {}, env_);
        EXPECT_EQ(0, r.status) << r.err;
    };
    const auto none = flrtest::runTool({"replicate", "--watch", "--all-pairs"}, {}, env_);
    EXPECT_EQ(2, none.status);
    EXPECT_NE(std::string::npos, none.err.find("no declared pair is marked for watching"))
        << none.err;
    add("www", true);
    add("db", true);
    add("off", false);
    const auto withSrc =
        flrtest::runTool({"replicate", dir_.file("www"), "--watch", "--all-pairs"}, {}, env_);
    EXPECT_EQ(2, withSrc.status) << withSrc.err;

    flrtest::ToolProcess watch(
        {"replicate", "--watch", "--all-pairs", "-q", "--state-dir", state, "--metrics", "0"},
        env_);
    const int port = metricsPort(watch);
    ASSERT_GT(port, 0) << watch.output();
    std::string page;
    const auto watching = [&](const std::string& pair) {
        return page.find("flr_watch_info{pair=\"" + pair + "\"") != std::string::npos &&
               page.find("target=\"" + dir_.file(pair + ".r") + "\",phase=\"watching\"") !=
                   std::string::npos;
    };
    ASSERT_TRUE(eventually([&] {
        page = scrape(port);
        return (watching("www") && watching("db")) || watch.exited();
    })) << page;
    ASSERT_FALSE(watch.exited()) << watch.output();
    EXPECT_EQ(std::string::npos, page.find("pair=\"off\"")) << page;
    checkWithPromtool(page);
    flrtest::writeFile(dir_.file("db/during"), "made while watched");
    struct stat st;
    EXPECT_TRUE(eventually([&] { return ::stat(dir_.file("db.r/during").c_str(), &st) == 0; }));

    add("off", true);
    ASSERT_EQ(0, ::kill(watch.pid(), SIGHUP));
    ASSERT_FALSE(watch.waitForLine("the pairs changed", 60).empty()) << watch.output();
    // The page of the watch started again, on a port of its own.
    const std::string text = "metrics on http://127.0.0.1:";
    int again = 0;
    ASSERT_TRUE(eventually([&] {
        const std::string out = watch.output();
        const size_t last = out.rfind(text);
        if (last == std::string::npos || last == out.find(text)) return false;
        again = std::atoi(out.c_str() + last + text.size());
        return true;
    })) << watch.output();
    EXPECT_TRUE(eventually([&] {
        page = scrape(again);
        return watching("off") && watching("www") && watching("db");
    })) << page;
    ASSERT_EQ(0, ::kill(watch.pid(), SIGINT));
    EXPECT_EQ(0, watch.finish()) << watch.output();
    EXPECT_NE(std::string::npos, watch.output().find("watch of off (")) << watch.output();
}

}  // namespace flrmetricscmdtest
