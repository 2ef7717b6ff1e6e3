// flr replicate's guards on what a pair is: every spelling of one destination
// is one pair (one state folder, one lock, no second baseline), folders that
// overlap and a tail's address without its path are refused before anything
// is created, and the pair's state is private to the user who runs it.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/JxFile.h"
#include "support/TestSupport.h"
#include "support/ToolRunner.h"

namespace {

using flrtest::runTool;
using flrtest::TempDir;

struct Fixture {
    TempDir dir;
    std::string src = dir.file("src");
    std::string dst = dir.file("dst");
    std::string state = dir.file("state");
    Fixture() {
        ::mkdir(src.c_str(), 0700);
        flrtest::writeFile(src + "/a.txt", "alpha\n");
    }
    flrtest::ToolRun replicate(const std::string& from, const std::string& to) const {
        return runTool({"replicate", "-q", "--json", "--state-dir", state, from, to});
    }
};

std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> out;
    for (const std::string& n : jx::listDir(dir))
        if (!jx::isAtomicTempName(n)) out.push_back(n);
    return out;
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(0, ::lstat(path.c_str(), &st)) << path;
    return st.st_mode & 07777;
}

TEST(ReplicateGuards, EverySpellingOfOneDestinationIsOnePair) {
    FLR_REQUIRE_TOOL();
    Fixture f;
    ASSERT_EQ(0, ::symlink(f.dir.path().c_str(), f.dir.file("via-link").c_str()));
    const flrtest::ToolRun first = f.replicate(f.src, f.dst);
    ASSERT_EQ(0, first.status) << first.err;
    EXPECT_NE(std::string::npos, first.out.find("\"scan\":\"baseline\"")) << first.out;
    const std::vector<std::pair<std::string, std::string>> spellings = {
        {f.src + "/", f.dir.path() + "/./dst"},
        {f.dir.path() + "/dst/../src", f.dir.path() + "/src/../dst/"},
        {f.dir.file("via-link") + "/src", f.dir.file("via-link") + "/dst"},
    };
    for (const auto& [from, to] : spellings) {
        const flrtest::ToolRun again = f.replicate(from, to);
        ASSERT_EQ(0, again.status) << from << " -> " << to << ": " << again.err;
        EXPECT_NE(std::string::npos, again.out.find("\"scan\":\"smart-sync\""))
            << from << " -> " << to << " started over: " << again.out;
    }
    EXPECT_EQ(1u, entries(f.state).size()) << "one pair, one state folder";
}

TEST(ReplicateGuards, OverlappingFoldersAndAddressesWithoutPathAreRefused) {
    FLR_REQUIRE_TOOL();
    Fixture f;
    ::mkdir(f.dst.c_str(), 0700);
    ::mkdir((f.dst + "/inner").c_str(), 0700);
    struct Case {
        std::string from, to, says;
    };
    const std::vector<Case> cases = {
        {f.src, f.src + "/copy", "overlap"},
        {f.src, f.src, "overlap"},
        {f.dst + "/inner", f.dst, "overlap"},
        {f.src, f.dir.path() + "/src/./sub/../copy", "overlap"},
        {f.src, "127.0.0.1:17311", "HOST:PORT:/path"},
        {f.src, "127.0.0.1:17311/backup", "HOST:PORT:/path"},
        {f.src, "[::1]:17311", "HOST:PORT:/path"},
        {f.src, "tailhost:9/x", "HOST:PORT:/path"},
    };
    for (const Case& c : cases) {
        const flrtest::ToolRun r = f.replicate(c.from, c.to);
        EXPECT_EQ(2, r.status) << c.to << ": " << r.out << r.err;
        EXPECT_NE(std::string::npos, r.err.find(c.says)) << c.to << ": " << r.err;
    }
    EXPECT_EQ(std::vector<std::string>{"a.txt"}, entries(f.src)) << "nothing copied into SRC";
    EXPECT_NE(0, ::access("127.0.0.1:17311", F_OK)) << "no local folder named like an address";
    EXPECT_NE(0, ::access("127.0.0.1:17311/backup", F_OK));
    EXPECT_NE(0, ::access(f.state.c_str(), F_OK)) << "a refused run keeps no state";
}

TEST(ReplicateGuards, PairStateIsPrivateToItsUser) {
    FLR_REQUIRE_TOOL();
    Fixture f;
    const flrtest::ToolRun r = f.replicate(f.src, f.dst);
    ASSERT_EQ(0, r.status) << r.err;
    const std::vector<std::string> pairs = entries(f.state);
    ASSERT_EQ(1u, pairs.size());
    const std::string pair = f.state + "/" + pairs[0];
    EXPECT_EQ(0700u, modeOf(pair));
    // Whatever the run kept (its scratch lists are gone by now).
    const std::vector<std::string> kept = entries(pair);
    for (const char* name : {"last-run", "lock", "DirChangeApplied.txt", "run-id"})
        EXPECT_NE(std::find(kept.begin(), kept.end(), name), kept.end()) << name;
    for (const std::string& name : kept)
        EXPECT_EQ(name == "tail-store" ? 0700u : 0600u, modeOf(pair + "/" + name)) << name;
}

TEST(ReplicateGuards, APairFolderOthersCanChangeIsRefused) {
    FLR_REQUIRE_TOOL();
    Fixture f;
    ASSERT_EQ(0, f.replicate(f.src, f.dst).status);
    const std::string pair = f.state + "/" + entries(f.state).at(0);
    const std::string victim = f.dir.file("victim");
    flrtest::writeFile(victim, "keep me\n");
    // Someone who could write to the pair folder plants a link where the
    // run record is prepared.
    ASSERT_EQ(0, ::chmod(pair.c_str(), 0777));
    ASSERT_EQ(0, ::symlink(victim.c_str(), (pair + "/last-run.new").c_str()));
    const flrtest::ToolRun r = f.replicate(f.src, f.dst);
    EXPECT_NE(0, r.status);
    EXPECT_NE(std::string::npos, r.err.find("writable by group or others")) << r.err;
    EXPECT_EQ("keep me\n", flrtest::readFile(victim));
}

// A run to a running tail counts what the tail's mirror removed, as a run to
// a local folder does.
// A registry with a link secret for a tail and its heads, and that tail's
// address once it listens (0 when it never did).
std::vector<std::string> linkRegistry(const Fixture& f) {
    const std::string registry = f.dir.file("registry.ini");
    flrtest::writeFile(registry,
                       "[ZRP]\nsLinkSecret = guards test link secret, 32 bytes or more\n");
    EXPECT_EQ(0, ::chmod(registry.c_str(), 0600));
    return {"FLR_REGISTRY=" + registry};
}

TEST(ReplicateGuards, ARemoteRunCountsWhatTheTailRemoved) {
    FLR_REQUIRE_TOOL();
    Fixture f;
    ::mkdir(f.dst.c_str(), 0700);
    flrtest::writeFile(f.src + "/b.txt", "beta\n");
    const std::vector<std::string> env = linkRegistry(f);
    flrtest::ToolProcess tail(
        {"tail", "--listen", "127.0.0.1:0", "--root", f.dst, "--store", f.dir.file("store")}, env);
    const int port = flrtest::listeningPort(tail, 20);
    ASSERT_GT(port, 0) << tail.output();
    const std::string target = "127.0.0.1:" + std::to_string(port) + ":" + f.dst;
    auto run = [&] {
        return runTool({"replicate", "-q", "--json", "--state-dir", f.state, f.src, target}, {},
                       env);
    };
    flrtest::ToolRun r = run();
    ASSERT_EQ(0, r.status) << r.err;
    ASSERT_EQ(0, ::unlink((f.src + "/b.txt").c_str()));
    r = run();
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("\"removed\":1,\"removed_reported\":true")) << r.out;
    EXPECT_NE(0, ::access((f.dst + "/b.txt").c_str(), F_OK));
}

// A bookkeeping tail applies nothing: a run sent to it fails rather than
// recording files as replicated that are nowhere.
TEST(ReplicateGuards, ARunToABookkeepingTailFails) {
    FLR_REQUIRE_TOOL();
    Fixture f;
    const std::vector<std::string> env = linkRegistry(f);
    flrtest::ToolProcess tail({"tail", "--listen", "127.0.0.1:0", "--bookkeeping"}, env);
    const int port = flrtest::listeningPort(tail, 20);
    ASSERT_GT(port, 0) << tail.output();
    const std::string target = "127.0.0.1:" + std::to_string(port) + ":" + f.dst;
    const flrtest::ToolRun r =
        runTool({"replicate", "-q", "--state-dir", f.state, f.src, target}, {}, env);
    EXPECT_NE(0, r.status) << r.out;
    EXPECT_NE(std::string::npos, r.err.find("could not be applied")) << r.err;
}

// A tail without a destination can't apply a head's files: started that way
// by mistake it says so at once instead of serving heads that then wait for
// answers forever.
TEST(ReplicateGuards, ATailWithoutARootRefusesToStart) {
    FLR_REQUIRE_TOOL();
    flrtest::ToolProcess tail({"tail", "--listen", "127.0.0.1:0"});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!tail.exited() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(tail.exited()) << "still serving: " << tail.output();
    EXPECT_EQ(2, tail.exitStatus());
    EXPECT_NE(std::string::npos, tail.output().find("--root DIR")) << tail.output();
    EXPECT_EQ(std::string::npos, tail.output().find("listening")) << tail.output();
}

}  // namespace
