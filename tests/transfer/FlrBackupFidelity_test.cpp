// Head to tail over loopback: nanosecond modification times and extended
// attributes of files, folders and links reach a tail that takes them, and
// a tail of an older version gets whole seconds and no attributes, without
// a failure.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "TreeUtil.h"
#include "apply/TailApplyFixture.h"
#include "link/SdtNetLink.h"
#include "net/FlrNetHead.h"
#include "platform/JxXattr.h"
#include "transfer/FlrBackup.h"

namespace fidelitytest {

struct Stamp {
    const char* rel;
    long nsec;
};

// Files, a folder and links, each with its own sub-second part.
const Stamp kStamps[] = {{"a/f", 123456789},
                         {"a/empty", 1},
                         {"a", 987654321},
                         {"link", 555000555},
                         {"a/dangling", 999999999}};

struct Peer {
    const char* name;
    uint32_t version;  // announced by both ends; 0: this build's
    bool fidelity;     // MIR_ATTRS travels
};

class BackupFidelity : public ::testing::TestWithParam<Peer> {
  protected:
    void SetUp() override { SdtNetLink::setAdvertisedVersionForTests(GetParam().version); }
    void TearDown() override { SdtNetLink::setAdvertisedVersionForTests(0); }

    bool makeTree() {
        EXPECT_EQ(0, ::mkdir(src.file("a").c_str(), 0755));
        flrtest::writeFile(src.file("a/f"), treeutil::randomBytes(5000, 1));
        flrtest::writeFile(src.file("a/empty"), "");
        EXPECT_EQ(0, ::symlink("a/f", src.file("link").c_str()));
        EXPECT_EQ(0, ::symlink("/nowhere", src.file("a/dangling").c_str()));
        if (::setxattr(src.file("a/f").c_str(), "user.color", "blue", 4, 0) != 0) return false;
        const std::string binary("\0\x01\xfe", 3);
        EXPECT_EQ(0, ::setxattr(src.file("a/f").c_str(), "user.bin", binary.data(), 3, 0));
        EXPECT_EQ(0, ::setxattr(src.file("a").c_str(), "user.folder", "yes", 3, 0));
        if (::geteuid() == 0) {
            EXPECT_EQ(0, ::lsetxattr(src.file("link").c_str(), "trusted.mark", "l", 1, 0));
        }
        stamp();
        return true;
    }
    void stamp() {
        for (const Stamp& s : kStamps) {
            const struct timespec ts[2] = {{1600000000, s.nsec}, {1700000000, s.nsec}};
            EXPECT_EQ(0, ::utimensat(AT_FDCWD, src.file(s.rel).c_str(), ts, AT_SYMLINK_NOFOLLOW))
                << s.rel;
        }
    }
    FlrTailApplyStats transfer() {
        std::string lines;
        treeutil::collectLines(src.path(), "", lines);
        const std::string cf = work.file("collect.txt");
        flrtest::writeFile(cf, lines);
        auto tail = std::make_unique<tailtest::Tail>(dst.path());
        FlrNetHead head;
        head.connect("127.0.0.1", tail->port(), 0);
        JxSafeFlags abortFlag;
        FlrBackup b(&head, &abortFlag, nullptr);
        b.addDirPair(src.path().c_str(), dst.path().c_str());
        b.backup(cf.c_str(), 0, false, -1);
        head.ping();
        head.closeSocket();
        return treeutil::stopped(std::move(tail));
    }
    std::vector<jx::Xattr> xattrsOf(const std::string& path) {
        std::vector<jx::Xattr> got;
        const unsigned scope = jx::kXattrUser | (::geteuid() == 0 ? jx::kXattrPrivileged : 0u);
        EXPECT_EQ(0, jx::readXattrsPath(path, scope, &got)) << path;
        return got;
    }
    void expectTimes(bool exact) {
        for (const Stamp& s : kStamps) {
            struct stat st {};
            ASSERT_EQ(0, ::lstat(dst.file(s.rel).c_str(), &st)) << s.rel;
            EXPECT_EQ(1700000000, st.st_mtim.tv_sec) << s.rel;
            EXPECT_EQ(exact ? s.nsec : 0, st.st_mtim.tv_nsec) << s.rel;
        }
    }
    void expectXattrs(bool equal) {
        for (const char* rel : {"a/f", "a", "link", "a/empty"}) {
            if (equal)
                EXPECT_EQ(xattrsOf(src.file(rel)), xattrsOf(dst.file(rel))) << rel;
            else
                EXPECT_TRUE(xattrsOf(dst.file(rel)).empty()) << rel;
        }
    }

    tailtest::Registry registry;
    flrtest::TempDir src;
    flrtest::TempDir dst;
    flrtest::TempDir work;
};

TEST_P(BackupFidelity, TimesAndAttributesFollowTheTailsVersion) {
    if (!makeTree()) GTEST_SKIP() << "no user xattrs here";
    const bool fidelity = GetParam().fidelity;
    FlrTailApplyStats st = transfer();
    EXPECT_EQ(0, st.failed);
    EXPECT_EQ(0, st.refused);
    expectTimes(fidelity);
    expectXattrs(fidelity);

    // Changed attributes: one replaced, one removed, one added; the replica
    // follows, and names the source never had are removed from it.
    ASSERT_EQ(0, ::setxattr(src.file("a/f").c_str(), "user.color", "red", 3, 0));
    ASSERT_EQ(0, ::removexattr(src.file("a/f").c_str(), "user.bin"));
    ASSERT_EQ(0, ::setxattr(src.file("a/empty").c_str(), "user.new", "1", 1, 0));
    ASSERT_EQ(0, ::setxattr(dst.file("a").c_str(), "user.only-here", "x", 1, 0));
    stamp();
    st = transfer();
    EXPECT_EQ(0, st.failed);
    expectTimes(fidelity);
    if (fidelity) expectXattrs(true);
}

// Over 1 MiB of attributes (tmpfs holds that many trusted.* values as root):
// the head leaves that entry's attributes out, counts it, and the file and
// the entries after it still arrive.
TEST(BackupFidelityBounds, OversizedAttributeSetIsSkippedAndCounted) {
    if (::geteuid() != 0) GTEST_SKIP() << "trusted.* needs root";
    char shm[] = "/dev/shm/flrxattr.XXXXXX";
    if (!::mkdtemp(shm)) GTEST_SKIP() << "no /dev/shm";
    const std::string src = shm;
    flrtest::writeFile(src + "/big", "content");
    flrtest::writeFile(src + "/next", "after it");
    const std::string value(64 << 10, 'v');
    bool made = ::setxattr((src + "/big").c_str(), "user.small", "s", 1, 0) == 0;
    for (int i = 0; made && i < 17; ++i)
        made = ::setxattr((src + "/big").c_str(), ("trusted.v" + std::to_string(i)).c_str(),
                          value.data(), value.size(), 0) == 0;
    made = made && ::setxattr((src + "/next").c_str(), "user.n", "1", 1, 0) == 0;
    if (made) {
        tailtest::Registry registry;
        flrtest::TempDir dst;
        flrtest::TempDir work;
        const std::string cf = work.file("collect.txt");
        flrtest::writeFile(cf, src + "/big\n" + src + "/next\n");
        auto tail = std::make_unique<tailtest::Tail>(dst.path());
        FlrNetHead head;
        head.connect("127.0.0.1", tail->port(), 0);
        JxSafeFlags abortFlag;
        FlrBackup b(&head, &abortFlag, nullptr);
        b.addDirPair(src.c_str(), dst.path().c_str());
        b.backup(cf.c_str(), 0, false, -1);
        head.ping();
        head.closeSocket();
        const FlrTailApplyStats st = treeutil::stopped(std::move(tail));
        EXPECT_EQ(0, st.failed);
        EXPECT_EQ(1, b.getXattrsSkipped());
        EXPECT_EQ("content", flrtest::readFile(dst.file("big")));
        char buf[8];
        EXPECT_LT(::getxattr(dst.file("big").c_str(), "user.small", buf, sizeof buf), 0);
        EXPECT_EQ(1, ::getxattr(dst.file("next").c_str(), "user.n", buf, sizeof buf));
    }
    ::unlink((src + "/big").c_str());
    ::unlink((src + "/next").c_str());
    ::rmdir(src.c_str());
    if (!made) GTEST_SKIP() << "this tmpfs holds no 1 MiB of attributes";
}

INSTANTIATE_TEST_SUITE_P(Peers, BackupFidelity,
                         ::testing::Values(Peer{"current", 0, true}, Peer{"version8", 8, false}),
                         [](const ::testing::TestParamInfo<Peer>& p) {
                             return std::string(p.param.name);
                         });

}  // namespace fidelitytest
