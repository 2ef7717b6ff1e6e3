// Path resolution and private folders of the file API.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "FLR/JxException.h"
#include "platform/JxFile.h"
#include "platform/JxFileLock.h"
#include "support/TestSupport.h"

namespace {

using flrtest::TempDir;

TEST(JxFilePaths, ResolvePathGivesOneSpellingPerFolder) {
    TempDir t;
    const std::string real = jx::resolvePath(t.path());
    ASSERT_EQ(0, ::mkdir(t.file("a").c_str(), 0700));
    ASSERT_EQ(0, ::symlink(t.file("a").c_str(), t.file("link").c_str()));
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {t.file("a"), real + "/a"},
        {t.file("a/"), real + "/a"},
        {t.path() + "/./a", real + "/a"},
        {t.file("link"), real + "/a"},
        {t.file("link/new"), real + "/a/new"},
        {t.file("missing/deeper/../x"), real + "/missing/x"},
        {t.file("a/missing/."), real + "/a/missing"},
        {"/", "/"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.out, jx::resolvePath(c.in)) << c.in;
    char cwd[4096];
    ASSERT_NE(nullptr, ::getcwd(cwd, sizeof cwd));
    EXPECT_EQ(jx::resolvePath(cwd) + "/x", jx::resolvePath("./x"));
}

TEST(JxFilePaths, PathWithinComparesWholeNames) {
    EXPECT_TRUE(jx::pathWithin("/a/b", "/a"));
    EXPECT_TRUE(jx::pathWithin("/a", "/a"));
    EXPECT_TRUE(jx::pathWithin("/a", "/"));
    EXPECT_FALSE(jx::pathWithin("/ab", "/a"));
    EXPECT_FALSE(jx::pathWithin("/a", "/a/b"));
}

TEST(JxFilePaths, MakePrivateDirCreatesAndRefusesFoldersOthersControl) {
    TempDir t;
    const std::string fresh = t.file("x/y/state");
    jx::makePrivateDir(fresh);
    struct stat st {};
    ASSERT_EQ(0, ::stat(fresh.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 07777);

    const std::string wide = t.file("wide");
    ASSERT_EQ(0, ::mkdir(wide.c_str(), 0755));
    jx::makePrivateDir(wide);  // the caller's own, only it can change it: narrowed
    ASSERT_EQ(0, ::stat(wide.c_str(), &st));
    EXPECT_EQ(0700u, st.st_mode & 07777);

    struct Refused {
        std::string path, says;
    };
    const std::string open = t.file("open"), link = t.file("link"), foreign = t.file("foreign");
    ASSERT_EQ(0, ::mkdir(open.c_str(), 0700));
    ASSERT_EQ(0, ::chmod(open.c_str(), 0777));
    ASSERT_EQ(0, ::symlink(wide.c_str(), link.c_str()));
    ASSERT_EQ(0, ::mkdir(foreign.c_str(), 0700));
    const bool canChown = ::chown(foreign.c_str(), 65534, 65534) == 0;
    std::vector<Refused> refused = {{open, "writable by group or others"},
                                    {link, "not a plain folder"}};
    if (canChown) refused.push_back({foreign, "owned by user 65534"});
    for (const Refused& r : refused) {
        try {
            jx::makePrivateDir(r.path);
            ADD_FAILURE() << r.path << " accepted";
        } catch (const JxException& e) {
            EXPECT_NE(std::string::npos, e.toString().find(r.says)) << e.toString();
        }
    }
}

TEST(JxFilePaths, ALockNeverFollowsALink) {
    TempDir t;
    const std::string victim = t.file("victim"), lockPath = t.file("lock");
    ASSERT_EQ(0, ::symlink(victim.c_str(), lockPath.c_str()));
    JxFileLock lock(lockPath, 0600);
    EXPECT_THROW(lock.lock(1, 0), JxException);
    EXPECT_NE(0, ::access(victim.c_str(), F_OK)) << "the lock created a file through a link";
    JxFileLock plain(t.file("plain"), 0600);
    ASSERT_TRUE(plain.lock(1, 0));
    struct stat st {};
    ASSERT_EQ(0, ::stat(t.file("plain").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 07777);
}

}  // namespace
