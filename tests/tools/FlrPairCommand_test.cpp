// flr pair and flr replicate --pair: a declared pair's settings reach its
// runs, and every state folder can be named and removed.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/FlrDriver.h"
#include "support/TestSupport.h"
#include "support/ToolRunner.h"

namespace {

using flrtest::runTool;

struct PairRun {
    flrtest::ScopedRegistry reg;
    flrtest::TempDir dir;
    std::string src = dir.file("src"), dst = dir.file("dst"), state = dir.file("state");
    PairRun() {
        ::mkdir(src.c_str(), 0700);
        flrtest::writeFile(src + "/keep.txt", "keep\n");
        flrtest::writeFile(src + "/junk.tmp", "junk\n");
    }
    flrtest::ToolRun flr(std::vector<std::string> args) const {
        if (args[0] == "pair") args.insert(args.begin() + 1, {"--state-dir", state});
        if (args[0] == "replicate") args.insert(args.begin() + 1, {"-q", "--state-dir", state});
        return runTool(args, {}, {"FLR_REGISTRY=" + reg.path()});
    }
    bool has(const std::string& rel) const {
        struct stat st;
        return ::lstat((dst + "/" + rel).c_str(), &st) == 0;
    }
    bool arrives(const std::string& rel, int seconds = 30) const {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
        while (!has(rel) && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return has(rel);
    }
};

TEST(FlrPairCommand, ARunOfADeclaredPairTakesItsSettings) {
    FLR_REQUIRE_TOOL();
    PairRun p;
    const flrtest::ToolRun add =
        p.flr({"pair", "add", "www", p.src, p.dst, "--exclude", "*.tmp", "--method", "full"});
    ASSERT_EQ(0, add.status) << add.err;
    const flrtest::ToolRun run = p.flr({"replicate", "--pair", "www", "--json"});
    ASSERT_EQ(0, run.status) << run.err;
    EXPECT_TRUE(p.has("keep.txt"));
    EXPECT_FALSE(p.has("junk.tmp")) << "the pair's exclude was not applied";

    const std::vector<std::pair<std::vector<std::string>, const char*>> refused = {
        {{"replicate", "--pair", "nope"}, "no pair named nope"},
        {{"replicate", "--pair", "www", p.src}, "give no SRC or DST"},
        {{"replicate", p.src}, "give SRC and DST"},
        {{"pair", "add", "www", p.src, p.dir.file("d2")}, "already declared"},
        {{"pair", "show", "nope"}, "No pair named nope"},
    };
    for (const auto& [args, expected] : refused) {
        const flrtest::ToolRun r = p.flr(args);
        EXPECT_NE(0, r.status) << args[0];
        EXPECT_NE(std::string::npos, r.err.find(expected)) << r.err;
    }
}

TEST(FlrPairCommand, StateFoldersAreListedAndRemoved) {
    FLR_REQUIRE_TOOL();
    PairRun p;
    ASSERT_EQ(0, p.flr({"pair", "add", "www", p.src, p.dst, "--watch"}).status);
    ASSERT_EQ(0, p.flr({"replicate", "--pair", "www"}).status);
    // A one-shot run no pair declares leaves state too.
    ASSERT_EQ(0, p.flr({"replicate", p.src, p.dir.file("other")}).status);

    flrtest::ToolRun ls = p.flr({"pair", "ls", "--json"});
    ASSERT_EQ(0, ls.status) << ls.err;
    EXPECT_NE(std::string::npos, ls.out.find("\"name\":\"www\"")) << ls.out;
    EXPECT_NE(std::string::npos, ls.out.find("\"watch\":true,\"state\":\"stopped\"")) << ls.out;
    const size_t idAt = ls.out.find("\"state_id\":\"");
    ASSERT_NE(std::string::npos, idAt) << ls.out;
    EXPECT_NE(std::string::npos, ls.out.find(p.dir.file("other"), idAt)) << ls.out;
    const std::string id = ls.out.substr(idAt + 12, 40);

    ASSERT_EQ(0, p.flr({"pair", "rm", "--state-id", id}).status);
    ASSERT_EQ(0, p.flr({"pair", "rm", "www", "--state"}).status);
    ls = p.flr({"pair", "ls"});
    EXPECT_EQ("", ls.out);
    EXPECT_NE(0, p.flr({"pair", "rm", "--state-id", id}).status);
    // The replica stays; only the pair's bookkeeping went.
    EXPECT_TRUE(p.has("keep.txt"));
}

// What `systemctl reload flr-watch@NAME` does after the pair was edited.
TEST(FlrPairCommand, AWatchTakesTheChangedPairOnHangup) {
    FLR_REQUIRE_TOOL();
    std::string why;
    if (!FlrDriver::hasCapability(&why)) GTEST_SKIP() << "the live journal needs it: " << why;
    PairRun p;
    ASSERT_EQ("", flrtest::setUpInstall(p.dir.file("install"), {"FLR_REGISTRY=" + p.reg.path()}));
    ASSERT_EQ(0, p.flr({"pair", "add", "www", p.src, p.dst}).status);
    flrtest::ToolProcess watch(
        {"replicate", "--pair", "www", "--watch", "-q", "--state-dir", p.state},
        {"FLR_REGISTRY=" + p.reg.path()});
    flrtest::writeFile(p.src + "/probe.log", "watched");
    ASSERT_TRUE(p.arrives("probe.log")) << watch.output();

    ASSERT_EQ(
        0, p.flr({"pair", "add", "www", p.src, p.dst, "--exclude", "*.log", "--replace"}).status);
    ASSERT_EQ(0, ::kill(watch.pid(), SIGHUP));
    ASSERT_FALSE(watch.waitForLine("watching again with its new settings", 60).empty())
        << watch.output();
    flrtest::writeFile(p.src + "/after.log", "excluded now");
    flrtest::writeFile(p.src + "/after.txt", "sent");
    EXPECT_TRUE(p.arrives("after.txt")) << watch.output();
    EXPECT_FALSE(p.has("after.log"));

    // A hangup with the pair unchanged only reopens the log.
    ASSERT_EQ(0, ::kill(watch.pid(), SIGHUP));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ASSERT_EQ(0, ::kill(watch.pid(), SIGINT));
    EXPECT_EQ(0, watch.finish()) << watch.output();
    size_t restarts = 0;
    for (size_t at = watch.output().find("watching again"); at != std::string::npos;
         at = watch.output().find("watching again", at + 1))
        ++restarts;
    EXPECT_EQ(1u, restarts) << watch.output();
}

}  // namespace
