#include "FLR/FlrTreeVerify.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <vector>

#include "platform/JxACL.h"
#include "support/TestSupport.h"

namespace {

using flrtest::writeFile;

// The same small tree under both roots: files, an empty file, a nested
// folder, a symbolic link (dangling on purpose: it must not be followed) and
// a fifo.
void makeTree(const std::string& root) {
    ASSERT_EQ(::mkdir((root + "/d").c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((root + "/d/e").c_str(), 0700), 0);
    writeFile(root + "/a.txt", "alpha\n");
    writeFile(root + "/empty", "");
    writeFile(root + "/d/e/big", std::string(3 << 20, 'x') + "tail");
    ASSERT_EQ(::symlink("../nowhere", (root + "/d/link").c_str()), 0);
    ASSERT_EQ(::mkfifo((root + "/d/fifo").c_str(), 0640), 0);
}

struct Pair {
    flrtest::TempDir src, dst;
    Pair() {
        makeTree(src.path());
        makeTree(dst.path());
    }
};

TEST(FlrTreeVerify, EqualTreesAreTheSameAndEveryByteIsCompared) {
    Pair p;
    FlrTreeVerifyResult r = FlrTreeVerify().compare(p.src.path(), p.dst.path());
    EXPECT_TRUE(r.same());
    EXPECT_EQ(r.entries, 8);  // the root and its seven entries
    EXPECT_EQ(r.bytes, 6 + (3 << 20) + 4);
}

struct Mutation {
    const char* name;
    std::function<void(const std::string& dst)> change;
    const char* path;
    const char* what;  // start of the reported difference
};

TEST(FlrTreeVerify, EachKindOfDifferenceIsFoundAndNamed) {
    const Mutation cases[] = {
        {"missing", [](const std::string& d) { ::unlink((d + "/a.txt").c_str()); }, "a.txt",
         "missing on destination"},
        {"extra", [](const std::string& d) { writeFile(d + "/d/new", "n"); }, "d/new",
         "extra on destination"},
        {"size", [](const std::string& d) { writeFile(d + "/a.txt", "alpha"); }, "a.txt",
         "size differs: 6 on source, 5 on destination"},
        {"last byte",
         [](const std::string& d) {
             writeFile(d + "/d/e/big", std::string(3 << 20, 'x') + "tai!");
         },
         "d/e/big", "content differs at byte 3145731"},
        {"mode", [](const std::string& d) { ::chmod((d + "/d/e").c_str(), 0755); }, "d/e",
         "mode differs: 0700 on source, 0755 on destination"},
        {"link target",
         [](const std::string& d) {
             ::unlink((d + "/d/link").c_str());
             ::symlink("../elsewhere", (d + "/d/link").c_str());
         },
         "d/link", "link target differs"},
        {"type",
         [](const std::string& d) {
             ::unlink((d + "/d/fifo").c_str());
             writeFile(d + "/d/fifo", "");
             ::chmod((d + "/d/fifo").c_str(), 0640);
         },
         "d/fifo", "type differs: fifo on source, file on destination"},
    };
    for (const Mutation& c : cases) {
        SCOPED_TRACE(c.name);
        Pair p;
        c.change(p.dst.path());
        FlrTreeVerifyResult r = FlrTreeVerify().compare(p.src.path(), p.dst.path());
        ASSERT_EQ(r.differences, 1);
        EXPECT_EQ(r.diffs[0].path, c.path);
        EXPECT_EQ(r.diffs[0].what.rfind(c.what, 0), 0u) << r.diffs[0].what;
    }
}

// The two trees are made one after the other, perhaps a clock tick apart:
// give every entry the same times before times are compared.
void pinTimes(const std::string& root) {
    const struct timeval t[2] = {{1700000000, 0}, {1700000000, 0}};
    for (const char* rel : {"a.txt", "empty", "d/e/big", "d/fifo", "d/link", "d/e", "d", ""}) {
        const std::string path = root + "/" + rel;
        ASSERT_EQ(::lutimes(path.c_str(), t), 0) << path;
    }
}

TEST(FlrTreeVerify, TimesAndOwnersAreComparedOnlyWhenAsked) {
    Pair p;
    pinTimes(p.src.path());
    pinTimes(p.dst.path());
    struct timeval old[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(::utimes((p.dst.path() + "/a.txt").c_str(), old), 0);
    EXPECT_TRUE(FlrTreeVerify().compare(p.src.path(), p.dst.path()).same());
    FlrTreeVerifyOptions o;
    o.mtimes = true;
    FlrTreeVerifyResult r = FlrTreeVerify(o).compare(p.src.path(), p.dst.path());
    ASSERT_EQ(r.differences, 1);
    EXPECT_EQ(r.diffs[0].path, "a.txt");
}

TEST(FlrTreeVerify, NanosecondsAndExtendedAttributesAreCompared) {
    struct Case {
        const char* name;
        std::function<void(const std::string& src, const std::string& dst)> change;
        bool timesOnly;  // a difference only with mtimes on
        const char* what;
    };
    const auto setX = [](const std::string& path, const char* name, const char* value) {
        return ::lsetxattr(path.c_str(), name, value, std::strlen(value), 0) == 0;
    };
    const Case cases[] = {
        {"nanoseconds",
         [](const std::string&, const std::string& dst) {
             const struct timespec t[2] = {{1700000000, 0}, {1700000000, 1}};
             ASSERT_EQ(0, ::utimensat(AT_FDCWD, (dst + "/a.txt").c_str(), t, 0));
         },
         true, "modification time differs: 1700000000.000000000 on source, 1700000000.000000001"},
        {"value",
         [&](const std::string& src, const std::string& dst) {
             ASSERT_TRUE(setX(src + "/a.txt", "user.k", "1"));
             ASSERT_TRUE(setX(dst + "/a.txt", "user.k", "2"));
         },
         false, "extended attribute user.k differs"},
        {"missing",
         [&](const std::string& src, const std::string& dst) {
             ASSERT_TRUE(setX(src + "/d", "user.a", "1"));
             ASSERT_TRUE(setX(src + "/d", "user.b", "1"));
             ASSERT_TRUE(setX(dst + "/d", "user.b", "1"));
         },
         false, "extended attribute user.a missing on destination"},
        {"extra",
         [&](const std::string&, const std::string& dst) {
             ASSERT_TRUE(setX(dst + "/a.txt", "user.z", ""));
         },
         false, "extended attribute user.z extra on destination"},
        {"a folder's default ACL",
         [](const std::string& src, const std::string& dst) {
             JxACL::Acl acl;
             acl.hasAccess = true;
             acl.access = {{JxACL::TAG_USER_OBJ, 7, 0},
                           {JxACL::TAG_USER, 5, 4321},
                           {JxACL::TAG_GROUP_OBJ, 5, 0},
                           {JxACL::TAG_MASK, 5, 0},
                           {JxACL::TAG_OTHER, 5, 0}};
             const std::vector<unsigned char> access = JxACL::encode(acl);
             acl.hasDefault = true;
             acl.defaults = acl.access;
             const std::vector<unsigned char> both = JxACL::encode(acl);
             ASSERT_NO_THROW(JxACL::Helper().apply(src + "/d", both.data(), both.size()));
             ASSERT_NO_THROW(JxACL::Helper().apply(dst + "/d", access.data(), access.size()));
         },
         false, "ACL differs"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Pair p;
        if (!setX(p.src.file("empty"), "user.probe", "")) GTEST_SKIP() << "no user xattrs here";
        ASSERT_EQ(0, ::removexattr(p.src.file("empty").c_str(), "user.probe"));
        pinTimes(p.src.path());
        pinTimes(p.dst.path());
        c.change(p.src.path(), p.dst.path());
        FlrTreeVerifyOptions o;
        EXPECT_EQ(c.timesOnly, FlrTreeVerify(o).compare(p.src.path(), p.dst.path()).same());
        o.mtimes = true;
        FlrTreeVerifyResult r = FlrTreeVerify(o).compare(p.src.path(), p.dst.path());
        ASSERT_EQ(r.differences, 1);
        EXPECT_EQ(r.diffs[0].what.rfind(c.what, 0), 0u) << r.diffs[0].what;
    }
}

TEST(FlrTreeVerify, CountsEveryDifferenceButKeepsAtMostTheLimit) {
    Pair p;
    for (int i = 0; i < 30; ++i) writeFile(p.dst.file("extra" + std::to_string(i)), "");
    FlrTreeVerifyOptions o;
    o.maxDiffs = 10;
    FlrTreeVerifyResult r = FlrTreeVerify(o).compare(p.src.path(), p.dst.path());
    EXPECT_EQ(r.differences, 30);
    EXPECT_EQ(r.diffs.size(), 10u);
}

}  // namespace
