// flr verify against a replica on a running `flr tail --root`: the tail
// lists the replica, the head compares. A fresh replica is the same; each
// kind of change made behind the tail's back is reported; a path that
// leaves the tail's root and an unreachable tail end with status 2.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "support/ToolRunner.h"

namespace {

const std::string kRegistry = "[ZRP]\nsLinkSecret = remote verify test secret, 32 bytes and more\n";

class RemoteVerify : public ::testing::Test {
  protected:
    void SetUp() override {
        FLR_REQUIRE_TOOL();
        ASSERT_EQ(0, ::mkdir(src_.c_str(), 0755));
        ASSERT_EQ(0, ::mkdir(root_.c_str(), 0755));
        flrtest::writeFile(registry_, kRegistry);
        ::chmod(registry_.c_str(), 0600);  // an inline secret needs a private registry
        env_ = {"FLR_REGISTRY=" + registry_};
        tail_ = std::make_unique<flrtest::ToolProcess>(
            std::vector<std::string>{"tail", "--listen", "127.0.0.1:0", "--root", root_, "--store",
                                     dir_.file("store")},
            env_);
        const std::string line = tail_->waitForLine("listening on 127.0.0.1:", 20);
        ASSERT_FALSE(line.empty()) << tail_->output();
        port_ = std::atoi(line.c_str() + line.find("127.0.0.1:") + 10);
        ASSERT_GT(port_, 0) << line;

        ASSERT_EQ(0, ::mkdir((src_ + "/d").c_str(), 0755));
        flrtest::writeFile(src_ + "/a.txt", "alpha\n");
        flrtest::writeFile(src_ + "/d/big", std::string(300000, 'x'));
        flrtest::writeFile(src_ + "/d/gone", "soon removed on the replica");
        flrtest::writeFile(src_ + "/d/mode", "mode");
        ASSERT_EQ(0, ::chmod((src_ + "/d/mode").c_str(), 0644));
        ASSERT_EQ(0, ::symlink("a.txt", (src_ + "/link").c_str()));
        const flrtest::ToolRun rep =
            run({"replicate", "-q", "--state-dir", state_, src_, remote(replica())});
        ASSERT_EQ(0, rep.status) << rep.out << rep.err;
    }
    flrtest::ToolRun run(const std::vector<std::string>& args) const {
        return flrtest::runTool(args, {}, env_);
    }
    std::string remote(const std::string& path) const {
        return "127.0.0.1:" + std::to_string(port_) + ":" + path;
    }
    std::string replica() const { return root_ + "/replica"; }

    flrtest::TempDir dir_;
    std::string src_ = dir_.file("src"), root_ = dir_.file("root"), state_ = dir_.file("state");
    std::string registry_ = dir_.file("flr.ini");
    std::vector<std::string> env_;
    std::unique_ptr<flrtest::ToolProcess> tail_;
    int port_ = 0;
};

TEST_F(RemoteVerify, AFreshReplicaIsTheSameAndEachChangeIsReported) {
    const flrtest::ToolRun same = run({"verify", src_, remote(replica())});
    EXPECT_EQ(0, same.status) << same.out << same.err;
    EXPECT_NE(std::string::npos, same.out.find("flr verify: same (7 entries, 300037 bytes"))
        << same.out;
    const flrtest::ToolRun encrypted =
        run({"verify", "--encrypt", "--compress", "3", src_, remote(replica())});
    EXPECT_EQ(0, encrypted.status) << encrypted.out << encrypted.err;

    flrtest::writeFile(replica() + "/d/big", std::string(299999, 'x') + "y");
    ASSERT_EQ(0, ::unlink((replica() + "/d/gone").c_str()));
    ASSERT_EQ(0, ::chmod((replica() + "/d/mode").c_str(), 0600));
    ASSERT_EQ(0, ::unlink((replica() + "/link").c_str()));
    ASSERT_EQ(0, ::symlink("d/big", (replica() + "/link").c_str()));
    const bool xattrs = ::setxattr((replica() + "/a.txt").c_str(), "user.extra", "x", 1, 0) == 0;
    const flrtest::ToolRun diff = run({"verify", "--json", src_, remote(replica())});
    EXPECT_EQ(1, diff.status) << diff.out << diff.err;
    const std::vector<std::string> expected = {
        R"({"path":"d/big","what":"content differs"})",
        R"({"path":"d/gone","what":"missing on destination"})",
        R"({"path":"d/mode","what":"mode differs: 0644 on source, 0600 on destination"})",
        R"({"path":"link","what":"link target differs"})",
    };
    for (const std::string& e : expected) EXPECT_NE(std::string::npos, diff.out.find(e)) << e;
    if (xattrs) {
        EXPECT_NE(std::string::npos,
                  diff.out.find(R"({"path":"a.txt","what":"extended attributes differ"})"))
            << diff.out;
    }
    EXPECT_NE(std::string::npos, diff.out.find(xattrs ? "\"differences\":5" : "\"differences\":4"))
        << diff.out;

    // Times to the nanosecond, and --attrs limits what is compared.
    struct stat st {};
    ASSERT_EQ(0, ::stat((src_ + "/a.txt").c_str(), &st));
    const struct timespec ts[2] = {st.st_atim,
                                   {st.st_mtim.tv_sec, (st.st_mtim.tv_nsec + 1) % 1000000000}};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, (replica() + "/a.txt").c_str(), ts, 0));
    const flrtest::ToolRun times = run({"verify", "--attrs", "mtime", src_, remote(replica())});
    EXPECT_EQ(1, times.status) << times.out << times.err;
    EXPECT_NE(std::string::npos, times.out.find("a.txt: modification time differs: ")) << times.out;
    EXPECT_EQ(std::string::npos, times.out.find("mode differs")) << times.out;
    EXPECT_EQ(std::string::npos, times.out.find("extended attributes")) << times.out;
}

TEST_F(RemoteVerify, PathsOutsideTheRootAndDeadTailsEndWithStatusTwo) {
    struct Case {
        std::string dst;
        std::string says;
    };
    const std::vector<Case> cases = {
        {remote("/../etc"), "refused"},
        {remote(root_ + "/../.."), "refused"},
        {remote(replica() + "/a.txt"), "cannot open"},
        {"127.0.0.1:1:" + replica(), "flr verify: 127.0.0.1:1:"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.dst);
        const flrtest::ToolRun r = run({"verify", src_, k.dst});
        EXPECT_EQ(2, r.status) << r.out << r.err;
        EXPECT_NE(std::string::npos, r.err.find(k.says)) << r.err;
        EXPECT_EQ(std::string::npos, r.out.find("same")) << r.out;
    }
}

}  // namespace
