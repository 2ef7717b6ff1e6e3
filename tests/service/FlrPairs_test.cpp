// Declared pairs: what is written is what a run reads, refusals leave the
// registry as it was, and state folders are listed and removed only while
// no run holds them.
#include "FLR/FlrPairs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "FLR/JxException.h"
#include "platform/JxFile.h"
#include "platform/JxFileLock.h"
#include "support/TestSupport.h"

namespace {

bool exists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

using flrtest::ScopedRegistry;
using flrtest::TempDir;

struct PairsFixture {
    ScopedRegistry reg;
    TempDir dir;
    std::string src = dir.file("src");
    PairsFixture() { ::mkdir(src.c_str(), 0700); }

    FlrDeclaredPair pair(const std::string& name, const std::string& target) const {
        FlrDeclaredPair p;
        p.name = name;
        p.options.source = src + "/.";
        p.options.target = target;
        return p;
    }
};

TEST(FlrPairs, WhatIsSavedIsWhatARunReads) {
    PairsFixture f;
    FlrDeclaredPair p = f.pair("www-1", f.dir.file("dst"));
    FlrReplicateOptions& o = p.options;
    o.method = "lbfs";
    o.streams = 4;
    o.compress = 3;
    o.encrypt = true;
    o.noDelete = true;
    o.bwlimit = 10 << 20;
    o.excludes = {"*.tmp", "/cache", " padded "};
    o.includes = {"keep.tmp"};
    p.watch = true;
    FlrPairs::save(p, false);

    FlrDeclaredPair back;
    ASSERT_TRUE(FlrPairs::find("www-1", &back));
    EXPECT_EQ(f.src, back.options.source);  // resolved
    EXPECT_EQ(f.dir.file("dst"), back.options.target);
    EXPECT_EQ("lbfs", back.options.method);
    EXPECT_EQ(4, back.options.streams);
    EXPECT_EQ(3, back.options.compress);
    EXPECT_TRUE(back.options.encrypt);
    EXPECT_TRUE(back.options.noDelete);
    EXPECT_EQ(10 << 20, back.options.bwlimit);
    EXPECT_EQ(o.excludes, back.options.excludes);
    EXPECT_EQ(o.includes, back.options.includes);
    EXPECT_TRUE(back.watch);

    // A remote destination is kept as written; replace overwrites.
    FlrPairs::save(f.pair("www-1", "tail1:7000:/replica/www"), true);
    ASSERT_TRUE(FlrPairs::find("www-1", &back));
    EXPECT_EQ("tail1:7000:/replica/www", back.options.target);
    EXPECT_TRUE(back.options.excludes.empty());
    EXPECT_FALSE(back.watch);

    FlrPairs::save(f.pair("other", f.dir.file("dst2")), false);
    EXPECT_EQ((std::vector<std::string>{"other", "www-1"}), FlrPairs::names());
    EXPECT_TRUE(FlrPairs::remove("www-1"));
    EXPECT_FALSE(FlrPairs::remove("www-1"));
    EXPECT_FALSE(FlrPairs::find("www-1", &back));
    EXPECT_EQ((std::vector<std::string>{"other"}), FlrPairs::names());
}

TEST(FlrPairs, RefusesAPairARunWouldRefuseAndKeepsTheRegistry) {
    PairsFixture f;
    FlrPairs::save(f.pair("taken", f.dir.file("dst")), false);
    const std::string before = flrtest::readFile(f.reg.path());
    struct Case {
        const char* what;
        FlrDeclaredPair pair;
        const char* expected;
    };
    auto with = [&](const std::string& name, const std::string& target, auto edit) {
        FlrDeclaredPair p = f.pair(name, target);
        edit(p);
        return p;
    };
    auto none = [](FlrDeclaredPair&) {};
    const std::vector<Case> cases = {
        {"a slash in the name", f.pair("a/b", f.dir.file("d")), "Invalid pair name"},
        {"a leading dash", f.pair("-x", f.dir.file("d")), "Invalid pair name"},
        {"an empty name", f.pair("", f.dir.file("d")), "Invalid pair name"},
        {"the destination inside the source", f.pair("in", f.src + "/copy"), "overlap"},
        {"the source inside the destination", f.pair("out", f.dir.path()), "overlap"},
        {"an address without its path", f.pair("addr", "127.0.0.1:17311"), "HOST:PORT:/path"},
        {"no destination", f.pair("nodst", ""), "needs both"},
        {"a bad exclude",
         with("pat", f.dir.file("d"), [](auto& p) { p.options.excludes = {"a/[b"}; }),
         "unterminated bracket"},
        {"a bad include",
         with("pat", f.dir.file("d"), [](auto& p) { p.options.includes = {"[z"}; }),
         "unterminated bracket"},
        {"a bad method", with("m", f.dir.file("d"), [](auto& p) { p.options.method = "scp"; }),
         "is not full, md5"},
        {"too many streams", with("s", f.dir.file("d"), [](auto& p) { p.options.streams = 65; }),
         "from 1 to 64"},
        {"a name already declared", with("taken", f.dir.file("d2"), none), "already declared"},
    };
    for (const Case& c : cases) {
        try {
            FlrPairs::save(c.pair, false);
            ADD_FAILURE() << c.what << ": accepted";
        } catch (const JxException& e) {
            EXPECT_NE(std::string::npos, e.getMessage().find(c.expected))
                << c.what << ": " << e.getMessage();
        }
    }
    EXPECT_EQ(before, flrtest::readFile(f.reg.path()));
}

// Processes adding the same names at once: each name goes to exactly one of
// them, the others are told it is taken.
TEST(FlrPairs, ConcurrentAddsOfOneNameLeaveOneWinner) {
    PairsFixture f;
    constexpr int kProcs = 4, kNames = 20;
    std::vector<pid_t> kids;
    for (int p = 0; p < kProcs; ++p) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            int won = 0;
            for (int i = 0; i < kNames; ++i) {
                try {
                    FlrPairs::save(
                        f.pair("n" + std::to_string(i), f.dir.file("dst" + std::to_string(p))),
                        false);
                    ++won;
                } catch (const JxException& e) {
                    if (e.getCode() != EEXIST) _exit(100);
                }
            }
            _exit(won);
        }
        kids.push_back(pid);
    }
    int won = 0;
    for (const pid_t pid : kids) {
        int status = 0;
        ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) <= kNames) << status;
        won += WEXITSTATUS(status);
    }
    EXPECT_EQ(kNames, won);
}

TEST(FlrPairs, AHandEditedSectionIsCheckedWhenRead) {
    PairsFixture f;
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"source = /s\ndestination = /d\nexcludes = x\n", "unknown key \"excludes\""},
        {"source = /s\ndestination = /d\nstreams = many\n", "from 1 to 64"},
        {"source = /s\ndestination = /d\nwatch = perhaps\n", "yes or no"},
        {"source = /s\ndestination = /d\nbwlimit = 1.5M\n", "a rate"},
        {"source = /s\n", "needs both"},
    };
    for (const auto& [body, expected] : cases) {
        flrtest::writeFile(f.reg.path(), "[Pairs/hand]\n" + body);
        FlrDeclaredPair p;
        try {
            FlrPairs::find("hand", &p);
            ADD_FAILURE() << body << ": accepted";
        } catch (const JxException& e) {
            EXPECT_NE(std::string::npos, e.getMessage().find(expected)) << e.getMessage();
        }
    }
    flrtest::writeFile(f.reg.path(),
                       "[Pairs/hand]\nsource = /s\ndestination = h:1:/d\nexclude = a\n"
                       "exclude = b\nwatch = on\nbwlimit = 2K\n");
    FlrDeclaredPair p;
    ASSERT_TRUE(FlrPairs::find("hand", &p));
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), p.options.excludes);
    EXPECT_TRUE(p.watch);
    EXPECT_EQ(2048, p.options.bwlimit);
    EXPECT_EQ("auto", p.options.method);  // what is not written keeps its default
}

TEST(FlrPairs, StateFoldersAreListedAndRemovedOnlyWhenIdle) {
    PairsFixture f;
    const std::string root = f.dir.file("state");
    EXPECT_TRUE(FlrPairs::states(root).empty());  // no root yet
    const std::string named = root + "/aaa", bare = root + "/bbb";
    jx::makePrivateDir(named + "/journal", "test");
    jx::makePrivateDir(bare, "test");
    flrtest::writeFile(FlrPairs::pairFile(named), "/src\nh:1:/dst\n");
    flrtest::writeFile(named + "/journal/cache", "x");
    ASSERT_EQ(0, ::symlink(f.src.c_str(), (named + "/journal/link").c_str()));
    flrtest::writeFile(f.src + "/kept", "k");

    const std::vector<FlrPairState> all = FlrPairs::states(root);
    ASSERT_EQ(2u, all.size());
    EXPECT_EQ("aaa", all[0].id);
    EXPECT_EQ("/src", all[0].source);
    EXPECT_EQ("h:1:/dst", all[0].target);
    EXPECT_EQ("", all[1].source);  // says nothing of its pair
    EXPECT_FALSE(all[0].busy);

    {
        JxFileLock run(named + "/lock", 0600);
        ASSERT_TRUE(run.lock(1, 0));
        EXPECT_TRUE(FlrPairs::states(root)[0].busy);
        EXPECT_THROW(FlrPairs::removeState(named), JxException);
        EXPECT_TRUE(exists(named + "/journal/cache"));
    }
    FlrPairs::removeState(named);
    EXPECT_FALSE(exists(named));
    EXPECT_TRUE(exists(f.src + "/kept"));  // the link inside was not followed
    ASSERT_EQ(1u, FlrPairs::states(root).size());
}

}  // namespace
