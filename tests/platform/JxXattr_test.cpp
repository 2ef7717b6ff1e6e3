#include "platform/JxXattr.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/JxDirFd.h"
#include "support/TestSupport.h"

namespace xattrtest {

using flrtest::TempDir;
using flrtest::writeFile;
using jx::Xattr;

bool userXattrsWork(const std::string& path) {
    if (::setxattr(path.c_str(), "user.probe", "1", 1, 0) != 0) return false;
    ::removexattr(path.c_str(), "user.probe");
    return true;
}

std::vector<Xattr> readPath(const std::string& path, unsigned scope) {
    std::vector<Xattr> got;
    EXPECT_EQ(0, jx::readXattrsPath(path, scope, &got)) << path;
    return got;
}

TEST(JxXattr, ScopesSelectNamespaces) {
    struct Case {
        const char* name;
        unsigned scope;
        bool in;
    } const cases[] = {
        {"user.a", jx::kXattrUser, true},
        {"user.a", jx::kXattrPrivileged, false},
        {"trusted.a", jx::kXattrUser, false},
        {"trusted.a", jx::kXattrPrivileged, true},
        {"security.selinux", jx::kXattrPrivileged, true},
        {"system.posix_acl_access", jx::kXattrUser | jx::kXattrPrivileged, false},
        {"username", jx::kXattrUser, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.in, jx::xattrInScope(c.name, c.scope)) << c.name << " " << c.scope;
    EXPECT_EQ(unsigned(jx::kXattrUser), jx::xattrScopeFor(S_IFREG | 0644, false));
    EXPECT_EQ(unsigned(jx::kXattrUser | jx::kXattrPrivileged),
              jx::xattrScopeFor(S_IFDIR | 0755, true));
    EXPECT_EQ(0u, jx::xattrScopeFor(S_IFLNK | 0777, false));
    EXPECT_EQ(unsigned(jx::kXattrPrivileged), jx::xattrScopeFor(S_IFIFO | 0600, true));
}

TEST(JxXattr, SyncMakesTheSetEqualAndReadsItBackSorted) {
    TempDir dir;
    const std::string f = dir.file("f");
    writeFile(f, "x");
    if (!userXattrsWork(f)) GTEST_SKIP() << "no user xattrs here";
    ASSERT_EQ(0, ::setxattr(f.c_str(), "user.stale", "old", 3, 0));
    ASSERT_EQ(0, ::setxattr(f.c_str(), "user.keep", "v1", 2, 0));

    const std::vector<Xattr> want = {{"user.keep", "v2"},
                                     {"user.new", std::string("\0b", 2)},
                                     {"user.empty", ""},
                                     {"trusted.outside", "ignored"}};
    jx::File fd = jx::openFile(f, O_RDONLY);
    ASSERT_TRUE(fd);
    ASSERT_EQ(0, jx::syncXattrsFd(fd.get(), jx::kXattrUser, want));
    const std::vector<Xattr> expected = {
        {"user.empty", ""}, {"user.keep", "v2"}, {"user.new", std::string("\0b", 2)}};
    EXPECT_EQ(expected, readPath(f, jx::kXattrUser));
    std::vector<Xattr> byFd;
    ASSERT_EQ(0, jx::readXattrsFd(fd.get(), jx::kXattrUser, &byFd));
    EXPECT_EQ(expected, byFd);
    // The out-of-scope name was not set.
    char buf[16];
    EXPECT_LT(::getxattr(f.c_str(), "trusted.outside", buf, sizeof buf), 0);

    // An empty wish empties the scope.
    ASSERT_EQ(0, jx::syncXattrsFd(fd.get(), jx::kXattrUser, {}));
    EXPECT_TRUE(readPath(f, jx::kXattrUser).empty());
}

TEST(JxXattr, SymbolicLinksAreHandledThemselvesNeverTheirTarget) {
    if (::geteuid() != 0) GTEST_SKIP() << "trusted.* needs root";
    TempDir dir;
    writeFile(dir.file("target"), "x");
    ASSERT_EQ(0, ::symlink("target", dir.file("link").c_str()));
    jx::File d = jx::openDirectory(dir.path());
    ASSERT_TRUE(d);
    const std::vector<Xattr> want = {{"trusted.mark", "on-link"}};
    const int rc = jx::syncXattrsAt(d.get(), "link", jx::kXattrPrivileged, want);
    if (rc == ENOTSUP || rc == EOPNOTSUPP) GTEST_SKIP() << "no trusted xattrs on links here";
    ASSERT_EQ(0, rc);
    std::vector<Xattr> got;
    ASSERT_EQ(0, jx::readXattrsAt(d.get(), "link", jx::kXattrPrivileged, &got));
    EXPECT_EQ(want, got);
    EXPECT_EQ(want, readPath(dir.file("link"), jx::kXattrPrivileged));
    EXPECT_TRUE(readPath(dir.file("target"), jx::kXattrPrivileged).empty());

    // One name at a time by name, and read back through an O_PATH
    // descriptor of the link (how the watch reads a link by its handle).
    ASSERT_EQ(0, jx::setXattrAt(d.get(), "link", "trusted.two", "2", 1));
    const int lfd = ::openat(d.get(), "link", O_PATH | O_NOFOLLOW | O_CLOEXEC);
    ASSERT_LE(0, lfd);
    jx::File linkFd(lfd);
    ASSERT_EQ(0, jx::readXattrsOpath(linkFd.get(), jx::kXattrPrivileged, &got));
    EXPECT_EQ((std::vector<Xattr>{{"trusted.mark", "on-link"}, {"trusted.two", "2"}}), got);
    ASSERT_EQ(0, jx::removeXattrAt(d.get(), "link", "trusted.mark"));
    EXPECT_EQ(ENODATA, jx::removeXattrAt(d.get(), "link", "trusted.mark"));
    EXPECT_EQ(EINVAL, jx::setXattrAt(d.get(), "../link", "trusted.x", "x", 1));
    EXPECT_EQ((std::vector<Xattr>{{"trusted.two", "2"}}),
              readPath(dir.file("link"), jx::kXattrPrivileged));
    EXPECT_TRUE(readPath(dir.file("target"), jx::kXattrPrivileged).empty());
}

TEST(JxXattr, RefusesNamesThatLeaveTheFolderAndValuesBeyondTheBounds) {
    TempDir dir;
    writeFile(dir.file("f"), "x");
    jx::File d = jx::openDirectory(dir.path());
    ASSERT_TRUE(d);
    std::vector<Xattr> got;
    for (const char* bad : {"", ".", "..", "sub/f", "/etc/passwd"})
        EXPECT_EQ(EINVAL, jx::readXattrsAt(d.get(), bad, jx::kXattrUser, &got)) << bad;

    if (!userXattrsWork(dir.file("f"))) GTEST_SKIP() << "no user xattrs here";
    // ext4 keeps values up to a block; a value over 64 KiB needs a file
    // system that takes it, so only the largest allowed one is checked there.
    const std::string big(jx::kXattrValueMax + 1, 'v');
    if (::setxattr(dir.file("f").c_str(), "user.big", big.data(), big.size(), 0) == 0) {
        EXPECT_EQ(E2BIG, jx::readXattrsAt(d.get(), "f", jx::kXattrUser, &got));
        ::removexattr(dir.file("f").c_str(), "user.big");
    }
    const std::string block(1000, 'b');
    ASSERT_EQ(0, ::setxattr(dir.file("f").c_str(), "user.block", block.data(), block.size(), 0));
    ASSERT_EQ(0, jx::readXattrsAt(d.get(), "f", jx::kXattrUser, &got));
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(block, got[0].value);
}

TEST(JxDirFdTimes, NanosecondsReachFilesAndLinks) {
    TempDir dir;
    writeFile(dir.file("f"), "x");
    ASSERT_EQ(0, ::symlink("f", dir.file("l").c_str()));
    jx::File d = jx::openDirectory(dir.path());
    ASSERT_TRUE(d);
    ASSERT_EQ(0, jx::setTimesAt(d.get(), "l", 1000, 2000, 111, 222222222));
    ASSERT_EQ(0, jx::setTimesAt(d.get(), "f", 3000, 4000, 333, 444444444));
    struct stat ls {};
    struct stat fs {};
    ASSERT_EQ(0, ::lstat(dir.file("l").c_str(), &ls));
    ASSERT_EQ(0, ::stat(dir.file("f").c_str(), &fs));
    EXPECT_EQ(2000, ls.st_mtim.tv_sec);
    EXPECT_EQ(222222222, ls.st_mtim.tv_nsec);
    EXPECT_EQ(4000, fs.st_mtim.tv_sec);
    EXPECT_EQ(444444444, fs.st_mtim.tv_nsec);
    // Out of range nanoseconds count as 0 rather than meaning "now" or "omit".
    jx::File f = jx::openFile(dir.file("f"), O_RDONLY);
    ASSERT_EQ(0, jx::setTimesFd(f.get(), 5000, 6000, -1, 1000000000L));
    ASSERT_EQ(0, ::stat(dir.file("f").c_str(), &fs));
    EXPECT_EQ(6000, fs.st_mtim.tv_sec);
    EXPECT_EQ(0, fs.st_mtim.tv_nsec);
}

}  // namespace xattrtest
