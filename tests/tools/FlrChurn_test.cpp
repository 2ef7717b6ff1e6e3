// `flr replicate --watch` converges whatever the source does: a seeded random
// workload (ChurnWorkload.h) runs on the source from several threads while
// the watch replicates it, to a local folder or to a `flr tail` process; the
// watch (and the tail) are killed with SIGKILL once mid-run and restarted.
// Once the workload stops, the replica must become identical within a bound,
// and a one-shot replicate of the pair must then find nothing to do.
//
// FLR_CHURN_SEED replays a seed's choices (each failure names it; the timing
// between threads is not replayed), FLR_CHURN_SECONDS sets the workload's
// length (16 s by default, `make test-long` runs ten minutes).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "ChurnWorkload.h"
#include "FLR/FlrTreeVerify.h"
#include "platform/FlrDriver.h"
#include "support/TestSupport.h"
#include "support/ToolRunner.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kThreads = 3;
// Resyncs under load have taken close to a minute; beyond two, it is a divergence.
constexpr int kConvergeSeconds = 120;

uint64_t churnSeed() {
    const char* text = std::getenv("FLR_CHURN_SEED");
    if (text && *text) return std::strtoull(text, nullptr, 0);
    return static_cast<uint64_t>(Clock::now().time_since_epoch().count());
}

int churnSeconds() {
    const char* text = std::getenv("FLR_CHURN_SECONDS");
    if (text && *text) return std::max(1, std::atoi(text));
    return flrtest::scaled(16);
}

// A loopback port free now, so a restarted tail can listen where the watch
// reconnects.
int freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    ::close(fd);
    return port;
}

// The end of a log; all of it with FLR_CHURN_FULL_LOGS set.
std::string lastLines(const std::string& text, size_t bytes = 2000) {
    if (std::getenv("FLR_CHURN_FULL_LOGS")) return text;
    return text.size() <= bytes ? text : "..." + text.substr(text.size() - bytes);
}

struct ChurnVariant {
    const char* name;
    bool network;  // through a `flr tail` process, else to a local folder
};

void PrintTo(const ChurnVariant& v, std::ostream* os) {
    *os << v.name;
}

class FlrChurn : public ::testing::TestWithParam<ChurnVariant> {
  protected:
    void SetUp() override {
        FLR_REQUIRE_TOOL();
        std::string why;
        if (!FlrDriver::hasCapability(&why)) GTEST_SKIP() << "the live journal needs it: " << why;
        std::printf("[ churn    ] FLR_CHURN_SEED=%llu, %d s of workload\n",
                    static_cast<unsigned long long>(seed_), seconds_);
        ASSERT_EQ(0, ::mkdir(src_.c_str(), 0755));
        ASSERT_EQ("", flrtest::setUpInstall(dir_.file("install"), env_));
        if (!GetParam().network) return;
        ASSERT_EQ(0, ::mkdir(root_.c_str(), 0755));
        ASSERT_EQ("", flrtest::setUpLinkKey(dir_.file("link.key"), dir_.file("install"), env_));
        port_ = freePort();
        ASSERT_GT(port_, 0);
        startTail();
    }
    void TearDown() override {
        if (tail_ && tail_->pid() > 0) {
            ::kill(tail_->pid(), SIGTERM);
            tail_->finish();
        }
    }

    flrtest::ToolRun tool(const std::vector<std::string>& args) const {
        return flrtest::runTool(args, {}, env_);
    }
    std::string target() const {
        return GetParam().network ? "127.0.0.1:" + std::to_string(port_) + ":" + replica_
                                  : replica_;
    }
    void startTail() {
        tail_ = std::make_unique<flrtest::ToolProcess>(
            std::vector<std::string>{"tail", "--listen", "127.0.0.1:" + std::to_string(port_),
                                     "--root", root_, "--store", dir_.file("store")},
            env_);
        ASSERT_FALSE(tail_->waitForLine("listening on 127.0.0.1:", 60).empty()) << tail_->output();
    }
    // Started and past its first scan: watching.
    void startWatch() {
        watch_ = std::make_unique<flrtest::ToolProcess>(
            std::vector<std::string>{"replicate", src_, target(), "--watch", "--state-dir", state_},
            env_);
        flrtest::ToolRun st;
        const bool up = flrtest::eventually(
            [&] {
                if (watch_->exited()) return true;
                st = tool({"status", src_, target(), "--state-dir", state_, "--json"});
                // The pid too: a killed watch leaves its last status behind.
                return st.out.find("\"phase\":\"watching\"") != std::string::npos &&
                       st.out.find("\"pid\":" + std::to_string(watch_->pid())) != std::string::npos;
            },
            120);
        ASSERT_TRUE(up && watch_->pid() > 0) << watch_->output() << st.out;
    }
    // SIGKILL: no chance to drain or save anything beyond what is durable.
    static void killHard(std::unique_ptr<flrtest::ToolProcess>& p, std::string* log) {
        ASSERT_EQ(0, ::kill(p->pid(), SIGKILL));
        EXPECT_EQ(128 + SIGKILL, p->finish());
        *log += p->output();
    }
    FlrTreeVerifyResult compare() const {
        FlrTreeVerifyOptions o;
        o.mtimes = true;
        o.maxDiffs = 20;
        return FlrTreeVerify(o).compare(src_, replica_);
    }
    static std::string describe(const FlrTreeVerifyResult& r) {
        std::string s = std::to_string(r.differences) + " differences of " +
                        std::to_string(r.entries) + " entries:\n";
        for (const auto& d : r.diffs) s += "  " + d.path + ": " + d.what + "\n";
        return s;
    }

    const uint64_t seed_ = churnSeed();
    const int seconds_ = churnSeconds();
    flrtest::TempDir dir_;
    std::string src_ = dir_.file("src"), root_ = dir_.file("root"), state_ = dir_.file("state");
    std::string replica_ = GetParam().network ? root_ + "/replica" : dir_.file("dst");
    std::vector<std::string> env_{"FLR_REGISTRY=" + dir_.file("flr.ini")};
    std::unique_ptr<flrtest::ToolProcess> tail_, watch_;
    std::string log_;  // output of the processes killed on the way
    int port_ = 0;
};

TEST_P(FlrChurn, WatchedReplicaConvergesThroughKillsAndRestarts) {
    SCOPED_TRACE("FLR_CHURN_SEED=" + std::to_string(seed_));
    flrtest::ChurnWorkload work(src_, seed_, kThreads);
    work.populate(150);
    ASSERT_NO_FATAL_FAILURE(startWatch());

    // The watch dies a third of the way in, the tail two thirds in; each
    // comes back while the workload goes on.
    const auto begin = Clock::now();
    const auto at = [&](double part) {
        std::this_thread::sleep_until(
            begin + std::chrono::milliseconds(static_cast<long long>(seconds_ * 1000 * part)));
    };
    work.start();
    at(1.0 / 3);
    ASSERT_NO_FATAL_FAILURE(killHard(watch_, &log_));
    ASSERT_NO_FATAL_FAILURE(startWatch());
    if (GetParam().network) {
        at(2.0 / 3);
        ASSERT_NO_FATAL_FAILURE(killHard(tail_, &log_));
        ASSERT_NO_FATAL_FAILURE(startTail());
    }
    at(1.0);
    work.stop();
    std::printf("[ churn    ] %lld operations: %s\n", work.operations(), work.tally().c_str());

    FlrTreeVerifyResult last;
    const auto settled = Clock::now();
    const bool same = flrtest::eventually(
        [&] {
            last = compare();
            return last.same();
        },
        kConvergeSeconds);
    ASSERT_TRUE(same) << "not converged " << kConvergeSeconds
                      << " s after the workload: " << describe(last)
                      << "watch: " << lastLines(watch_->output())
                      << "\nkilled ones: " << lastLines(log_);
    std::printf("[ churn    ] converged in %.1f s, %lld entries\n",
                std::chrono::duration<double>(Clock::now() - settled).count(), last.entries);

    // And stays so: nothing the watch still holds may take it back.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const std::string status =
        tool({"status", src_, target(), "--state-dir", state_, "--json"}).out;
    last = compare();
    EXPECT_TRUE(last.same()) << "regressed while watching: " << describe(last)
                             << "status: " << status << "watch: " << lastLines(watch_->output());

    // Stopped cleanly, then a one-shot run of the pair has nothing left to do.
    ASSERT_EQ(0, ::kill(watch_->pid(), SIGINT));
    EXPECT_EQ(0, watch_->finish()) << watch_->output();
    last = compare();
    EXPECT_TRUE(last.same()) << "regressed by the stop: " << describe(last)
                             << "watch: " << lastLines(watch_->output());
    const auto once = tool({"replicate", src_, target(), "--state-dir", state_, "--json", "-q"});
    EXPECT_EQ(0, once.status) << once.err;
    EXPECT_NE(std::string::npos, once.out.find("\"files\":0,")) << once.out;
    EXPECT_NE(std::string::npos, once.out.find("\"removed\":0,")) << once.out;
    last = compare();
    EXPECT_TRUE(last.same()) << "after a one-shot run: " << describe(last) << once.out;
}

INSTANTIATE_TEST_SUITE_P(Targets, FlrChurn,
                         ::testing::Values(ChurnVariant{"Local", false},
                                           ChurnVariant{"ThroughTail", true}),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
