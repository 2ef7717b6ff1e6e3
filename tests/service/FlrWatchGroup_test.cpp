// Several pairs watched over one live journal: each converges on its own
// destination, a failing pair leaves the others replicating, and a clean stop
// of the group leaves every pair a consistent point to start again from.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FLR/FlrTreeVerify.h"
#include "FLR/FlrWatcher.h"
#include "FLR/JxException.h"
#include "WatchFixture.h"
#include "support/TestSupport.h"

namespace {

// A group of the pairs dir/NAME/src -> dir/NAME/dst, run in a thread.
struct Group {
    flrtest::TempDir& dir;
    FlrWatchGroupOptions options;
    std::unique_ptr<FlrWatchGroup> group;
    std::thread thread;
    std::string error;
    std::atomic<bool> ended{false};

    Group(flrtest::TempDir& d, const std::vector<std::string>& names) : dir(d) {
        for (const std::string& n : names) {
            ::mkdir(d.file(n).c_str(), 0755);
            ::mkdir(d.file(n + "/src").c_str(), 0755);
            options.pairs.push_back(watchOptions(d.file(n)));
        }
        options.retrySeconds = 1;
    }
    ~Group() { stop(); }

    void start() {
        keepHostCounterInTempDir();
        group = std::make_unique<FlrWatchGroup>(options);
        ended = false;
        thread = std::thread([this] {
            try {
                group->run();
            } catch (const JxException& e) {
                error = e.what();
            }
            ended = true;
        });
    }
    // Pair i watching, or false once the group ended.
    bool watching(size_t i) {
        return eventually([&] {
                   const std::vector<FlrWatchState> s = group->states();
                   return ended.load() || (s.size() > i && s[i].phase == "watching");
               }) &&
               !ended.load();
    }
    void stop() {
        if (!group) return;
        group->stop();
        if (thread.joinable()) thread.join();
    }
    FlrWatchState state(size_t i) const { return group->states().at(i); }
    std::string src(size_t i) const { return options.pairs[i].replicate.source; }
    std::string dst(size_t i) const { return options.pairs[i].replicate.target; }
    bool converged(size_t i) const { return FlrTreeVerify().compare(src(i), dst(i)).same(); }
};

TEST(FlrWatchGroup, PairsShareOneJournalAndEachConverges) {
    flrtest::TempDir dir;
    REQUIRE_LIVE(dir);
    Group g(dir, {"one", "two"});
    flrtest::writeFile(g.src(0) + "/before", "there before the watch");
    g.start();
    ASSERT_TRUE(g.watching(0)) << g.error;
    ASSERT_TRUE(g.watching(1)) << g.error;

    for (size_t i = 0; i < 2; ++i) {
        const std::string s = g.src(i);
        ASSERT_EQ(0, ::mkdir((s + "/d").c_str(), 0755));
        flrtest::writeFile(s + "/d/small", "pair " + std::to_string(i));
        flrtest::writeFile(s + "/d/large", std::string(200 * 1024, char('a' + i)));  // a resend
        ASSERT_EQ(0, ::rename((s + "/d/small").c_str(), (s + "/moved").c_str()));
    }
    ASSERT_EQ(0, ::unlink((g.src(0) + "/before").c_str()));
    for (size_t i = 0; i < 2; ++i)
        EXPECT_TRUE(eventually([&] { return g.converged(i); })) << treeDiffs(g.src(i), g.dst(i));
    for (size_t i = 0; i < 2; ++i)
        ASSERT_TRUE(eventually([&] { return g.state(i).consistentAt > 0; })) << i;
    g.stop();
    EXPECT_EQ("", g.error);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ("stopped", g.state(i).phase);
        // A settling scan is routine when the tails' writes kept the reader
        // from finding the queue empty before the changes came; no other.
        const std::string why = g.state(i).lastResyncReason;
        EXPECT_TRUE(why.empty() || why.rfind("settling", 0) == 0) << why;
    }

    // Changed while stopped: the next start scans from the consistent point.
    flrtest::writeFile(g.src(1) + "/while-stopped", "x");
    g.start();
    ASSERT_TRUE(g.watching(0)) << g.error;
    ASSERT_TRUE(g.watching(1)) << g.error;
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ("smart-sync", g.state(i).lastRunScan);
        EXPECT_TRUE(eventually([&] { return g.converged(i); })) << treeDiffs(g.src(i), g.dst(i));
    }
}

// The second pair's tail does not answer: it fails and is tried again, while
// the first replicates every change.
TEST(FlrWatchGroup, AFailingPairLeavesTheOthersReplicating) {
    flrtest::TempDir dir;
    REQUIRE_LIVE(dir);
    Group g(dir, {"ok", "down"});
    g.options.pairs[1].replicate.target = "127.0.0.1:1:" + dir.file("down/dst");
    g.start();
    ASSERT_TRUE(g.watching(0)) << g.error;
    ASSERT_TRUE(eventually([&] { return g.state(1).phase == "failed"; })) << g.state(1).phase;
    EXPECT_FALSE(g.state(1).error.empty());
    flrtest::writeFile(g.src(0) + "/after", "sent while the other pair fails");
    EXPECT_TRUE(eventually([&] { return g.converged(0); })) << treeDiffs(g.src(0), g.dst(0));
    g.stop();
    EXPECT_EQ("", g.error);
    EXPECT_EQ("stopped", g.state(0).phase);
}

TEST(FlrWatchGroup, PairsThatCannotShareAJournalAreRefused) {
    flrtest::TempDir dir;
    REQUIRE_LIVE(dir);
    struct Case {
        const char* what;
        std::function<void(FlrWatchGroupOptions&)> change;
        const char* message;
    } cases[] = {
        {"the same pair twice", [](FlrWatchGroupOptions& o) { o.pairs[1] = o.pairs[0]; },
         "given twice"},
        {"a source inside another",
         [&](FlrWatchGroupOptions& o) {
             o.pairs[1].replicate.source = o.pairs[0].replicate.source + "/in";
         },
         "one inside the other"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Group g(dir, {"p", "q"});
        ::mkdir((g.src(0) + "/in").c_str(), 0755);
        c.change(g.options);
        g.start();
        ASSERT_TRUE(eventually([&] { return g.ended.load(); }));
        g.stop();
        EXPECT_NE(std::string::npos, g.error.find(c.message)) << g.error;
    }
}

}  // namespace
