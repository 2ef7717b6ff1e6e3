// Hard-link groups: a replica shares inodes as its source does, by every
// loop of the sender and with parallel streams, to a local and a network
// tail; removing a name keeps the others, and a name added later joins its
// file. A tail never links outside its root or to a non-file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "FLR/FlrReplicator.h"
#include "FLR/FlrTreeVerify.h"
#include "apply/TailApplyFixture.h"
#include "support/TestSupport.h"

namespace {

struct Names {
    std::vector<const char*> rels;  // one file, the first name made first
};

const std::vector<Names> kGroups = {
    {{"a/three", "b/three-again", "b/deeper/three-thrice"}},
    {{"a/two", "c/two-too"}},
};

struct LinkTree {
    tailtest::Registry registry;  // the network tail's link secret
    flrtest::TempDir dir;
    std::string src = dir.file("src"), dst = dir.file("dst"), state = dir.file("state");

    LinkTree() {
        for (const char* d : {"", "/a", "/b", "/b/deeper", "/c"}) ::mkdir((src + d).c_str(), 0755);
        int n = 0;
        for (const Names& g : kGroups) {
            flrtest::writeFile(src + "/" + g.rels[0], std::string(20000 + n++, 'x'));
            for (size_t i = 1; i < g.rels.size(); ++i)
                ::link((src + "/" + g.rels[0]).c_str(), (src + "/" + g.rels[i]).c_str());
        }
        flrtest::writeFile(src + "/a/single", "one name");
    }

    FlrReplicateSummary replicate(const std::string& method, const std::string& target,
                                  int streams) {
        FlrReplicateOptions o;
        o.streams = streams;
        o.source = src;
        o.target = target;
        o.method = method;
        o.stateRoot = state;
        return FlrReplicator(o).run();
    }

    static struct stat statOf(const std::string& path) {
        struct stat st {};
        EXPECT_EQ(0, ::stat(path.c_str(), &st)) << path;
        return st;
    }

    // Every group is one inode in the replica with the source's link count.
    void expectGroupsShared(const std::vector<Names>& groups) {
        EXPECT_TRUE(FlrTreeVerify().compare(src, dst).same());
        for (const Names& g : groups) {
            const struct stat first = statOf(dst + "/" + g.rels[0]);
            EXPECT_EQ(first.st_nlink, statOf(src + "/" + g.rels[0]).st_nlink) << g.rels[0];
            for (const char* rel : g.rels)
                EXPECT_EQ(statOf(dst + "/" + rel).st_ino, first.st_ino) << rel;
        }
        EXPECT_EQ(statOf(dst + "/a/single").st_nlink, statOf(src + "/a/single").st_nlink);
    }
};

TEST(FlrReplicatorLinks, GroupsShareAnInodeOnEveryTail) {
    for (const bool network : {false, true}) {
        for (const auto& [method, streams] : std::vector<std::pair<const char*, int>>{
                 {"full", 1}, {"md5", 1}, {"lbfs", 1}, {"full", 3}, {"md5", 3}}) {
            SCOPED_TRACE(std::string(network ? "network " : "local ") + method + " x" +
                         std::to_string(streams));
            LinkTree t;
            std::unique_ptr<tailtest::Tail> tail;
            std::string where = t.dst;
            if (network) {
                ASSERT_EQ(0, ::mkdir(t.dst.c_str(), 0755));
                tail = std::make_unique<tailtest::Tail>(t.dst, FlrTailApplier::Options{}, true);
                where = "127.0.0.1:" + std::to_string(tail->port()) + ":" + t.dst;
            }
            const FlrReplicateSummary s = t.replicate(method, where, streams);
            EXPECT_EQ(s.refused, 0);
            // Into an empty destination every file's bytes travel once (a
            // link's names as links), on whichever connection carried them.
            EXPECT_GE(s.wireBytes, 20000 + 20001 + 8);
            t.expectGroupsShared(kGroups);

            // One name of the three goes: the other two stay one file.
            ASSERT_EQ(0, ::unlink((t.src + "/b/three-again").c_str()));
            t.replicate(method, where, streams);
            EXPECT_NE(0, ::access((t.dst + "/b/three-again").c_str(), F_OK));
            t.expectGroupsShared({{{"a/three", "b/deeper/three-thrice"}}, kGroups[1]});

            // A new name of a file an earlier run sent: both names change (the
            // link count is the inode's), so the run links them again.
            ASSERT_EQ(0, ::link((t.src + "/a/single").c_str(), (t.src + "/c/single-too").c_str()));
            t.replicate(method, where, streams);
            t.expectGroupsShared({{{"a/single", "c/single-too"}}});
        }
    }
}

// What a link entry may name: a regular file under the root, never a path
// outside it, through a symbolic link, or a folder. Refused ones create
// nothing and leave the name's old entry.
TEST(FlrReplicatorLinks, TheTailLinksOnlyFilesUnderItsRoot) {
    tailtest::Registry registry;
    flrtest::TempDir dir;
    const std::string root = dir.file("root");
    ASSERT_EQ(0, ::mkdir(root.c_str(), 0755));
    ASSERT_EQ(0, ::mkdir((root + "/folder").c_str(), 0755));
    flrtest::writeFile(dir.file("outside"), "outside");
    flrtest::writeFile(root + "/file", "inside");
    ASSERT_EQ(0, ::symlink(dir.path().c_str(), (root + "/out").c_str()));
    ASSERT_EQ(0, ::symlink("file", (root + "/symlink").c_str()));
    flrtest::writeFile(root + "/name", "old entry");
    struct Case {
        const char* target;
        bool linked;
    };
    const Case cases[] = {
        {"file", true},     {"../outside", false}, {"/etc/passwd", false}, {"out/outside", false},
        {"symlink", false}, {"folder", false},     {"missing", false},     {"name", false},
    };
    tailtest::Tail tail(root);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.target);
        flrtest::writeFile(root + "/name", "old entry");
        {
            tailtest::Head head(tail.port());
            const std::string name = "name";
            head.net.sendMirHeader(
                tailtest::header(name, S_IFREG | 0644, 6, FlrNetMirHeader::kLink));
            head.net.sendMirData(c.target, static_cast<int>(std::strlen(c.target)));
            head.net.sendMirEOF();
            head.sync();
        }
        struct stat st {};
        ASSERT_EQ(0, ::stat((root + "/name").c_str(), &st));
        EXPECT_EQ(flrtest::readFile(root + "/name"), c.linked ? "inside" : "old entry");
        EXPECT_EQ(st.st_nlink, c.linked ? 2u : 1u);
        if (c.linked) {
            ASSERT_EQ(0, ::unlink((root + "/name").c_str()));
        }
    }
    EXPECT_EQ(flrtest::readFile(dir.file("outside")), "outside");
    EXPECT_FALSE(tailtest::hasTemporaries(root));
}

}  // namespace
