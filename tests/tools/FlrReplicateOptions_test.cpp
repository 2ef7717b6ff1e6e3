// flr replicate's rsync-like options: --dry-run changes nothing and says
// what the next run then does, to a local folder and to a tail;
// --bwlimit paces the run; -v names what went; --log-file keeps the log.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "net/FlrRateLimit.h"
#include "support/TestSupport.h"
#include "support/ToolRunner.h"

namespace replicate_options_test {

namespace fs = std::filesystem;

// Every entry below root with its kind, size, mode, time and content.
std::map<std::string, std::string> treeEntries(const std::string& root) {
    std::map<std::string, std::string> entries;
    if (::access(root.c_str(), F_OK) != 0) return entries;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        struct stat st {};
        ::lstat(e.path().c_str(), &st);
        std::ostringstream text;
        text << st.st_mode << ' ' << st.st_size << ' ' << st.st_mtim.tv_sec << '.'
             << st.st_mtim.tv_nsec;
        if (S_ISREG(st.st_mode)) text << ' ' << flrtest::readFile(e.path());
        if (S_ISLNK(st.st_mode)) text << ' ' << fs::read_symlink(e.path()).string();
        entries[fs::relative(e.path(), root).string()] = text.str();
    }
    return entries;
}

// Two equal digests mean nothing was changed in between.
std::string treeDigest(const std::string& root) {
    if (::access(root.c_str(), F_OK) != 0) return "absent";
    std::string out;
    for (const auto& [path, text] : treeEntries(root)) out += path + "\n" + text + "\n";
    return out;
}

// The paths of the lines "  WORD      path" of a command's output.
std::set<std::string> listed(const std::string& out, const std::string& word) {
    std::set<std::string> paths;
    std::istringstream in(out);
    const std::string prefix =
        "  " + word + std::string(word.size() < 9 ? 9 - word.size() : 0, ' ') + " ";
    for (std::string line; std::getline(in, line);)
        if (line.rfind(prefix, 0) == 0) paths.insert(line.substr(prefix.size()));
    return paths;
}

bool isFolder(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

const std::string kRegistry = "[ZRP]\nsLinkSecret = replicate options test secret, 32 bytes+\n";

// A source and a destination, local or on a tail of its own.
class ReplicateOptions : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        FLR_REQUIRE_TOOL();
        ASSERT_EQ(0, ::mkdir(src_.c_str(), 0755));
        ASSERT_EQ(0, ::mkdir(root_.c_str(), 0755));
        flrtest::writeFile(registry_, kRegistry);
        ::chmod(registry_.c_str(), 0600);
        env_ = {"FLR_REGISTRY=" + registry_};
        if (!GetParam()) return;
        tail_ = std::make_unique<flrtest::ToolProcess>(
            std::vector<std::string>{"tail", "--listen", "127.0.0.1:0", "--root", root_, "--store",
                                     dir_.file("store")},
            env_);
        const std::string line = tail_->waitForLine("listening on 127.0.0.1:", 20);
        ASSERT_FALSE(line.empty()) << tail_->output();
        port_ = std::atoi(line.c_str() + line.find("127.0.0.1:") + 10);
    }
    std::string replica() const { return root_ + "/replica"; }
    std::string target() const {
        return GetParam() ? "127.0.0.1:" + std::to_string(port_) + ":" + replica() : replica();
    }
    flrtest::ToolRun replicate(std::vector<std::string> options) const {
        std::vector<std::string> args = {"replicate", "--state-dir", state_};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(src_);
        args.push_back(target());
        return flrtest::runTool(args, {}, env_);
    }

    flrtest::TempDir dir_;
    std::string src_ = dir_.file("src"), root_ = dir_.file("root"), state_ = dir_.file("state");
    std::string registry_ = dir_.file("flr.ini");
    std::vector<std::string> env_;
    std::unique_ptr<flrtest::ToolProcess> tail_;
    int port_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Destinations, ReplicateOptions, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& p) {
                             return p.param ? "Tail" : "Local";
                         });

// A dry run writes nowhere, and what it lists is what the next run sends
// and removes; after that run it finds nothing left to do.
TEST_P(ReplicateOptions, DryRunChangesNothingAndForetellsTheRun) {
    for (const char* d : {"a", "b"}) ASSERT_EQ(0, ::mkdir((src_ + "/" + d).c_str(), 0755));
    for (const char* f : {"a/same", "a/grow", "a/gone", "kind", "b/x.tmp"})
        flrtest::writeFile(src_ + "/" + f, f);
    ASSERT_EQ(0, ::symlink("a/same", (src_ + "/link").c_str()));
    const std::vector<std::string> excl = {"--exclude", "*.tmp"};
    std::vector<std::string> quiet = excl;
    quiet.push_back("-q");
    ASSERT_EQ(0, replicate(quiet).status);

    flrtest::writeFile(src_ + "/a/grow", "grown since the last run");
    ASSERT_EQ(0, ::unlink((src_ + "/a/gone").c_str()));
    ASSERT_EQ(0, ::unlink((src_ + "/kind").c_str()));
    ASSERT_EQ(0, ::mkdir((src_ + "/kind").c_str(), 0755));
    flrtest::writeFile(src_ + "/kind/inner", "a folder now");
    ASSERT_EQ(0, ::mkdir((src_ + "/new").c_str(), 0755));
    flrtest::writeFile(src_ + "/new/f", "new");
    flrtest::writeFile(src_ + "/c.txt", "new");
    flrtest::writeFile(src_ + "/b/y.tmp", "excluded");
    flrtest::writeFile(replica() + "/only-here", "the destination's own");

    const std::string srcBefore = treeDigest(src_), dstBefore = treeDigest(replica()),
                      stateBefore = treeDigest(state_);
    std::vector<std::string> dryArgs = excl;
    dryArgs.push_back("--dry-run");
    const flrtest::ToolRun dry = replicate(dryArgs);
    ASSERT_EQ(0, dry.status) << dry.out << dry.err;
    EXPECT_EQ(srcBefore, treeDigest(src_));
    EXPECT_EQ(dstBefore, treeDigest(replica()));
    EXPECT_EQ(stateBefore, treeDigest(state_));

    const std::set<std::string> added = listed(dry.out, "new"),
                                changed = listed(dry.out, "changed"),
                                replaced = listed(dry.out, "replace"),
                                removed = listed(dry.out, "remove");
    EXPECT_EQ((std::set<std::string>{"c.txt", "kind/inner", "new", "new/f"}), added) << dry.out;
    EXPECT_EQ((std::set<std::string>{"a/grow"}), changed) << dry.out;
    EXPECT_EQ((std::set<std::string>{"kind"}), replaced) << dry.out;
    EXPECT_EQ((std::set<std::string>{"a/gone", "only-here"}), removed) << dry.out;
    EXPECT_NE(std::string::npos, dry.out.find("5 to send")) << dry.out;

    std::vector<std::string> keep = dryArgs;
    keep.push_back("--no-delete");
    const flrtest::ToolRun kept = replicate(keep);
    EXPECT_TRUE(listed(kept.out, "remove").empty()) << kept.out;
    EXPECT_EQ(added, listed(kept.out, "new")) << kept.out;

    // --json: the same counts.
    dryArgs.push_back("--json");
    const flrtest::ToolRun json = replicate(dryArgs);
    EXPECT_NE(std::string::npos,
              json.out.find("\"counts\":{\"send\":5,\"replace\":1,\"remove\":2,\"unreadable\":0}"))
        << json.out;

    const std::map<std::string, std::string> before = treeEntries(replica());
    std::vector<std::string> realArgs = excl;
    realArgs.insert(realArgs.end(), {"-v", "--json"});
    const flrtest::ToolRun real = replicate(realArgs);
    ASSERT_EQ(0, real.status) << real.err;
    EXPECT_NE(std::string::npos, real.out.find("\"removed\":2,")) << real.out;
    // What the run changed on the destination (folders aside: their times
    // change with what they hold) is what was foretold; it sends more (the
    // other entries of a folder that changed), which arrive unchanged.
    std::set<std::string> foretold, changedByRun;
    for (const auto* set : {&added, &changed, &replaced})
        for (const std::string& p : *set)
            if (!isFolder(src_ + "/" + p)) foretold.insert(p);
    for (const auto& [path, text] : treeEntries(replica())) {
        const auto was = before.find(path);
        if (!isFolder(replica() + "/" + path) && (was == before.end() || was->second != text))
            changedByRun.insert(path);
    }
    EXPECT_EQ(foretold, changedByRun);
    const std::set<std::string> sent = listed(real.err, "sent");
    for (const std::string& p : foretold) EXPECT_EQ(1u, sent.count(p)) << p << real.err;
    if (!GetParam()) {
        EXPECT_EQ(removed, listed(real.err, "removed")) << real.err;
    }

    dryArgs.pop_back();
    const flrtest::ToolRun after = replicate(dryArgs);
    EXPECT_NE(std::string::npos, after.out.find("0 to send (0 B), 0 to replace, 0 to remove"))
        << after.out;
}

// A first dry run of a pair makes no state folder and no destination (the
// tail has none yet either), and lists every entry of the source as new.
TEST_P(ReplicateOptions, FirstDryRunLeavesNoTrace) {
    ASSERT_EQ(0, ::mkdir((src_ + "/d").c_str(), 0755));
    flrtest::writeFile(src_ + "/d/f", "12345");
    const std::string dstBefore = treeDigest(replica());
    const flrtest::ToolRun dry = replicate({"-n"});
    ASSERT_EQ(0, dry.status) << dry.out << dry.err;
    EXPECT_EQ((std::set<std::string>{"d", "d/f"}), listed(dry.out, "new")) << dry.out;
    EXPECT_NE(std::string::npos, dry.out.find("2 to send (5 B)")) << dry.out;
    EXPECT_EQ("absent", treeDigest(state_));
    EXPECT_EQ(dstBefore, treeDigest(replica()));
}

TEST(ReplicateOptionsUsage, DryRunWithWatchAndBadRatesAreRefused) {
    FLR_REQUIRE_TOOL();
    flrtest::TempDir dir;
    const struct {
        std::vector<std::string> options;
        const char* message;
    } cases[] = {
        {{"--dry-run", "--watch"}, "cannot be combined with --watch"},
        {{"--bwlimit", "10X"}, "--bwlimit"},
        {{"--bwlimit", "-5"}, "is not a rate"},
        {{"-v", "-q"}, "excludes"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"replicate", "--state-dir", dir.file("state")};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), {dir.path(), dir.file("dst")});
        const flrtest::ToolRun r = flrtest::runTool(args);
        EXPECT_EQ(2, r.status) << c.options[0];
        EXPECT_NE(std::string::npos, r.err.find(c.message)) << r.err;
        EXPECT_FALSE(fs::exists(dir.file("state"))) << c.options[0];
    }
}

TEST(ReplicateOptionsUsage, RatesParseLikeRsync) {
    const struct {
        const char* text;
        bool ok;
        long long rate;
    } cases[] = {
        {"0", true, 0},
        {"65536", true, 65536},
        {"500K", true, 512000},
        {"500k", true, 512000},
        {"10M", true, 10485760},
        {"1G", true, 1073741824},
        {"8796093022207M", true, 8796093022207LL << 20},
        {"8796093022208M", false, 0},
        {"99999999999999999999", false, 0},
        {"", false, 0},
        {"K", false, 0},
        {"-1", false, 0},
        {"1.5M", false, 0},
        {"10KB", false, 0},
        {"10X", false, 0},
        {" 10", false, 0},
    };
    for (const auto& c : cases) {
        long long rate = -1;
        std::string why;
        EXPECT_EQ(c.ok, FlrRateLimit::parse(c.text, &rate, &why)) << c.text;
        if (c.ok) {
            EXPECT_EQ(c.rate, rate) << c.text;
        } else {
            EXPECT_FALSE(why.empty()) << c.text;
        }
    }
}

// 2 MiB that do not compress, in two files on two connections, at 1 MiB/s
// for both together, cannot take less than about 2 s (only a lower bound is
// asserted: a slow machine only takes longer).
TEST(ReplicateOptionsUsage, BandwidthLimitPacesAllConnectionsTogether) {
    FLR_REQUIRE_TOOL();
    flrtest::TempDir dir;
    ASSERT_EQ(0, ::mkdir(dir.file("src").c_str(), 0755));
    std::mt19937_64 rng(7);
    std::string data[2];
    for (std::string& d : data) {
        d.resize(1 << 20);
        for (char& ch : d) ch = static_cast<char>(rng());
    }
    flrtest::writeFile(dir.file("src/one"), data[0]);
    flrtest::writeFile(dir.file("src/two"), data[1]);
    const auto t0 = std::chrono::steady_clock::now();
    const flrtest::ToolRun r =
        flrtest::runTool({"replicate", "-q", "--state-dir", dir.file("state"), "--method", "full",
                          "--streams", "2", "--bwlimit", "1M", dir.file("src"), dir.file("dst")});
    const double secs =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(data[0], flrtest::readFile(dir.file("dst/one")));
    EXPECT_EQ(data[1], flrtest::readFile(dir.file("dst/two")));
    EXPECT_GE(secs, 1.5);
}

// The log file gets the run's log lines, appended run after run, private,
// while standard error keeps to what it shows anyway.
TEST(ReplicateOptionsUsage, LogFileKeepsTheRunsLogPrivately) {
    FLR_REQUIRE_TOOL();
    flrtest::TempDir dir;
    ASSERT_EQ(0, ::mkdir(dir.file("src").c_str(), 0755));
    flrtest::writeFile(dir.file("src/f"), "f");
    const std::string log = dir.file("run.log");
    auto run = [&](const std::string& src) {
        return flrtest::runTool({"replicate", "-q", "--state-dir", dir.file("state"), "--log-file",
                                 log, src, dir.file("dst")});
    };
    flrtest::ToolRun r = run(dir.file("src"));
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.err);
    struct stat st {};
    ASSERT_EQ(0, ::stat(log.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
    const std::string first = flrtest::readFile(log);
    EXPECT_NE(std::string::npos, first.find("DEBUG(1) flr replicate: " + dir.file("src"))) << first;
    EXPECT_NE(std::string::npos, first.find("Done: baseline, 2 entries sent")) << first;

    r = run(dir.file("missing"));
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("missing")) << r.err;
    EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
    const std::string both = flrtest::readFile(log);
    ASSERT_EQ(first, both.substr(0, first.size()));
    EXPECT_NE(std::string::npos, both.find("flr replicate: Failed: ", first.size())) << both;
}

}  // namespace replicate_options_test
