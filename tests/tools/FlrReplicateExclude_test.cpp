// flr replicate --exclude/--include/--exclude-from/--no-delete: what is left
// out is neither sent nor removed on the destination, and a run whose
// patterns changed looks at every entry again.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "support/ToolRunner.h"

namespace {

struct ExcludeRun {
    flrtest::TempDir dir;
    std::string src = dir.file("src"), dst = dir.file("dst"), state = dir.file("state");
    ExcludeRun() {
        for (const char* d : {"src", "src/a", "src/a/cache", "src/b", "dst", "dst/a"})
            ::mkdir(dir.file(d).c_str(), 0755);
        for (const char* f : {"a/keep.txt", "a/junk.tmp", "a/cache/big", "b/x.log", "b/y.tmp"})
            flrtest::writeFile(src + "/" + f, f);
    }
    flrtest::ToolRun run(std::vector<std::string> options,
                         const std::vector<std::string>& env = {}) const {
        std::vector<std::string> args = {"replicate", "-q", "--state-dir", state};
        args.insert(args.end(), options.begin(), options.end());
        args.push_back(src);
        args.push_back(dst);
        return flrtest::runTool(args, {}, env);
    }
    bool has(const std::string& rel) const {
        return ::access((dst + "/" + rel).c_str(), F_OK) == 0;
    }
};

TEST(ReplicateExclude, ExcludedPathsAreNeitherSentNorRemoved) {
    FLR_REQUIRE_TOOL();
    ExcludeRun e;
    flrtest::writeFile(e.dir.file("patterns"), "# build output\n\n*.tmp\n/a/cache\n");
    // The replica's own copy of an excluded file that the source has too.
    flrtest::writeFile(e.dst + "/a/junk.tmp", "the replica's own");
    const struct {
        std::vector<std::string> options;
        std::vector<const char*> present, absent;
    } cases[] = {
        {{"--exclude", "*.tmp", "--exclude", "/a/cache"},
         {"a/keep.txt", "b/x.log", "a/junk.tmp"},
         {"b/y.tmp", "a/cache"}},
        {{"--exclude-from", e.dir.file("patterns"), "--include", "y.tmp"},
         {"a/keep.txt", "b/y.tmp", "a/junk.tmp"},
         {"a/cache"}},
        // Patterns gone: everything is looked at again and sent.
        {{}, {"a/cache/big", "b/y.tmp"}, {}},
    };
    for (const auto& c : cases) {
        const flrtest::ToolRun r = e.run(c.options);
        ASSERT_EQ(0, r.status) << r.err;
        for (const char* p : c.present) EXPECT_TRUE(e.has(p)) << p << " missing";
        for (const char* p : c.absent) EXPECT_FALSE(e.has(p)) << p << " sent though excluded";
        if (!c.options.empty()) {
            EXPECT_EQ("the replica's own", flrtest::readFile(e.dst + "/a/junk.tmp"));
        }
    }
    EXPECT_EQ("a/junk.tmp", flrtest::readFile(e.dst + "/a/junk.tmp"));
}

TEST(ReplicateExclude, NoDeleteKeepsWhatTheSourceLostUntilARunMirrorsAgain) {
    FLR_REQUIRE_TOOL();
    ExcludeRun e;
    ASSERT_EQ(0, e.run({}).status);
    ASSERT_EQ(0, ::unlink((e.src + "/a/keep.txt").c_str()));
    flrtest::writeFile(e.src + "/b/new", "new");
    ASSERT_EQ(0, e.run({"--no-delete"}).status);
    EXPECT_TRUE(e.has("a/keep.txt"));
    EXPECT_TRUE(e.has("b/new"));
    // The next run that mirrors finds the removal, though the folder changed
    // before the run that did not.
    ASSERT_EQ(0, e.run({}).status);
    EXPECT_FALSE(e.has("a/keep.txt"));
}

TEST(ReplicateExclude, ABadPatternOrMissingFileIsRefused) {
    FLR_REQUIRE_TOOL();
    ExcludeRun e;
    for (const std::vector<std::string>& options :
         {std::vector<std::string>{"--exclude-from", e.dir.file("none")}, {"--exclude", "[a"}}) {
        const flrtest::ToolRun r = e.run(options);
        EXPECT_NE(0, r.status);
        // The reason for a person, without the code's class names.
        const size_t at = r.err.find("flr: ");
        if (at != std::string::npos) {
            EXPECT_EQ(r.err.find("Flr", at), std::string::npos) << r.err;
        }
    }
    EXPECT_FALSE(e.has("a/keep.txt"));
}

// The filters of the set a declared pair belongs to apply to its runs: an
// exclusion at any depth, one by absolute path, an exception below it; one
// that names nothing below the source is reported and left out.
TEST(ReplicateExclude, ADeclaredPairsSetFiltersApply) {
    FLR_REQUIRE_TOOL();
    ExcludeRun e;
    flrtest::ScopedRegistry reg;
    const std::vector<std::string> env{"FLR_REGISTRY=" + reg.path()};
    const std::vector<std::vector<std::string>> config = {
        {"config", "client", "add", "head"},
        {"config", "client", "add", "tail"},
        {"config", "set", "add", "web", "--client", "head", "--dest", "tail"},
        {"config", "pair", "add", "--set", "web", e.src, e.dst + "/"},
        {"config", "filter", "add", "--set", "web", "*.tmp"},
        {"config", "filter", "add", "--set", "web", e.src + "/a/cache"},
        {"config", "filter", "add", "--set", "web", "--exception", e.src + "/b/y.tmp"},
        {"config", "filter", "add", "--set", "web", "/elsewhere/x"},
    };
    for (const auto& step : config) {
        const flrtest::ToolRun r = flrtest::runTool(step, {}, env);
        ASSERT_EQ(0, r.status) << step[1] << ": " << r.err;
    }
    const flrtest::ToolRun r = e.run({}, env);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_NE(r.err.find("/elsewhere/x"), std::string::npos) << r.err;
    for (const char* rel : {"a/keep.txt", "b/x.log", "b/y.tmp"}) EXPECT_TRUE(e.has(rel)) << rel;
    for (const char* rel : {"a/junk.tmp", "a/cache"}) EXPECT_FALSE(e.has(rel)) << rel;
}

}  // namespace
