// Tree records: the link codec refuses every cut and every lying length,
// the canonical order sorts a folder's contents before its next sibling,
// and walking two trees and merging the streams finds each kind of
// difference (once per subtree present on one side only).
#include "apply/FlrTreeListing.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "FLR/JxException.h"
#include "platform/JxACL.h"
#include "platform/JxDirFd.h"
#include "support/TestSupport.h"

namespace {

FlrTreeRecord sampleRecord() {
    FlrTreeRecord r;
    r.rel = "d/file name";
    r.mode = 0100640;
    r.uid = 1000;
    r.gid = 1001;
    r.size = 1ULL << 33;
    r.mtime = -5;
    r.rdev = 0x0801;
    r.target = "../elsewhere";
    r.hasDigest = true;
    for (int i = 0; i < 32; ++i) r.digest[i] = static_cast<unsigned char>(i * 7);
    r.error = "";
    return r;
}

TEST(FlrTreeRecordCodec, RoundTripsAndRefusesEveryCut) {
    std::vector<unsigned char> batch;
    FlrTreeRecord a = sampleRecord();
    FlrTreeRecord b;
    b.rel = "";
    b.mode = 040755;
    b.error = "cannot be listed: Permission denied";
    FlrTreeRecordCodec::append(a, &batch);
    FlrTreeRecordCodec::append(b, &batch);

    size_t pos = 0;
    FlrTreeRecord got;
    FlrTreeRecordCodec::take(batch.data(), batch.size(), &pos, &got);
    EXPECT_EQ(a.rel, got.rel);
    EXPECT_EQ(a.mode, got.mode);
    EXPECT_EQ(a.uid, got.uid);
    EXPECT_EQ(a.gid, got.gid);
    EXPECT_EQ(a.size, got.size);
    EXPECT_EQ(a.mtime, got.mtime);
    EXPECT_EQ(a.rdev, got.rdev);
    EXPECT_EQ(a.target, got.target);
    EXPECT_TRUE(got.hasDigest);
    EXPECT_EQ(0, std::memcmp(a.digest, got.digest, 32));
    FlrTreeRecordCodec::take(batch.data(), batch.size(), &pos, &got);
    EXPECT_EQ(b.error, got.error);
    EXPECT_FALSE(got.hasDigest);
    EXPECT_EQ(batch.size(), pos);

    std::vector<unsigned char> one;
    FlrTreeRecordCodec::append(a, &one);
    for (size_t len = 0; len < one.size(); ++len) {
        SCOPED_TRACE("cut to " + std::to_string(len));
        size_t at = 0;
        EXPECT_THROW(FlrTreeRecordCodec::take(one.data(), len, &at, &got), JxException);
        EXPECT_EQ(0u, at);
    }
}

TEST(FlrTreeRecordCodec, LyingLengthsAndFlagsAreRefused) {
    std::vector<unsigned char> good;
    FlrTreeRecordCodec::append(sampleRecord(), &good);
    struct Case {
        const char* what;
        size_t at;  // byte to overwrite
        unsigned char value;
    };
    // Offsets: length 0..3, fixed fields 4..39, flags 40, digest 41..72,
    // then the path's 4-byte length at 73..76.
    const std::vector<Case> cases = {
        {"record longer than the batch", 0, 0x7F},
        {"unknown flags", 40, 4},
        {"string longer than the record", 75, 0x01},
        {"string over the limit", 74, 0x7F},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        std::vector<unsigned char> bad = good;
        bad[k.at] = k.value;
        size_t pos = 0;
        FlrTreeRecord r;
        EXPECT_THROW(FlrTreeRecordCodec::take(bad.data(), bad.size(), &pos, &r), JxException);
    }
    // Spare bytes inside a record's own length are refused too.
    std::vector<unsigned char> padded = good;
    padded.push_back(0);
    padded[3] = static_cast<unsigned char>(padded[3] + 1);
    size_t pos = 0;
    FlrTreeRecord r;
    EXPECT_THROW(FlrTreeRecordCodec::take(padded.data(), padded.size(), &pos, &r), JxException);
}

// The extended form (link version 11) carries nanoseconds and attribute
// digests; the plain form leaves them out for older heads.
TEST(FlrTreeRecordCodec, ExtendedFormRoundTripsAndIsCheckedToo) {
    FlrTreeRecord a = sampleRecord();
    a.extended = true;
    a.mtimeNsec = 999999999;
    a.userXattrs.state = FlrTreeXattrSum::kSum;
    for (int i = 0; i < 32; ++i) a.userXattrs.sum[i] = static_cast<unsigned char>(i + 1);
    a.privXattrs.state = FlrTreeXattrSum::kUnreadable;
    std::vector<unsigned char> ext, plain;
    FlrTreeRecordCodec::append(a, &ext);
    FlrTreeRecordCodec::append(a, &plain, false);
    ASSERT_EQ(plain.size() + 4 + 1 + 32 + 1 + 1, ext.size());

    FlrTreeRecord got;
    size_t pos = 0;
    FlrTreeRecordCodec::take(ext.data(), ext.size(), &pos, &got);
    EXPECT_TRUE(got.extended);
    EXPECT_EQ(a.mtimeNsec, got.mtimeNsec);
    EXPECT_EQ(FlrTreeXattrSum::kSum, got.userXattrs.state);
    EXPECT_EQ(0, std::memcmp(a.userXattrs.sum, got.userXattrs.sum, 32));
    EXPECT_EQ(FlrTreeXattrSum::kUnreadable, got.privXattrs.state);
    EXPECT_EQ(a.rel, got.rel);
    pos = 0;
    FlrTreeRecordCodec::take(plain.data(), plain.size(), &pos, &got);
    EXPECT_FALSE(got.extended);
    EXPECT_EQ(0u, got.mtimeNsec);

    for (size_t len = 0; len < ext.size(); ++len) {
        size_t at = 0;
        EXPECT_THROW(FlrTreeRecordCodec::take(ext.data(), len, &at, &got), JxException) << len;
    }
    // Offsets: flags 40, digest 41..72, nanoseconds 73..76, user state 77.
    struct Case {
        const char* what;
        size_t at;
        unsigned char value;
    };
    for (const Case& k : std::vector<Case>{{"nanoseconds past the second", 73, 0x3C},
                                           {"unknown attribute state", 77, 3}}) {
        SCOPED_TRACE(k.what);
        std::vector<unsigned char> bad = ext;
        bad[k.at] = k.value;
        pos = 0;
        EXPECT_THROW(FlrTreeRecordCodec::take(bad.data(), bad.size(), &pos, &got), JxException);
    }
}

TEST(FlrTreeRecordCompare, CanonicalOrderIsComponentWise) {
    struct Case {
        const char* a;
        const char* b;
        int want;
    };
    const std::vector<Case> cases = {
        {"", "a", -1},     {"d/x", "d-y", -1},   {"d", "d/x", -1},    {"d-y", "d/x", 1},
        {"a/b", "a/b", 0}, {"a/\xc3", "a/b", 1}, {"ab/c", "a/zz", 1},
    };
    for (const Case& k : cases) {
        EXPECT_EQ(k.want, FlrTreeRecordCompare::order(k.a, k.b)) << k.a << " vs " << k.b;
        EXPECT_EQ(-k.want, FlrTreeRecordCompare::order(k.b, k.a)) << k.b << " vs " << k.a;
    }
}

void makeListingTree(const std::string& root) {
    ASSERT_EQ(0, ::mkdir((root + "/d").c_str(), 0755));
    ASSERT_EQ(0, ::mkdir((root + "/d-x").c_str(), 0755));
    ASSERT_EQ(0, ::mkdir((root + "/d/sub").c_str(), 0700));
    flrtest::writeFile(root + "/a", "alpha");
    flrtest::writeFile(root + "/d/b", std::string(3 << 20, 'b'));  // beyond one read chunk
    flrtest::writeFile(root + "/d/sub/c", "c");
    flrtest::writeFile(root + "/d-x/e", "e");
    ASSERT_EQ(0, ::symlink("a", (root + "/link").c_str()));
}

FlrTreeVerifyResult walkAndCompareTrees(const std::string& a, const std::string& b,
                                        FlrTreeVerifyOptions o = {}) {
    FlrTreeWalker wa(jx::openDirectory(a)), wb(jx::openDirectory(b));
    return FlrTreeRecordCompare(o).run([&](FlrTreeRecord* r) { return wa.next(r); },
                                       [&](FlrTreeRecord* r) { return wb.next(r); });
}

TEST(FlrTreeRecordCompare, WalkedTreesShowEachDifferenceOnce) {
    struct Case {
        const char* name;
        void (*change)(const std::string& dst);
        const char* path;
        const char* what;
    };
    const std::vector<Case> cases = {
        {"content of the same size",
         [](const std::string& d) { flrtest::writeFile(d + "/d/b", std::string(3 << 20, 'c')); },
         "d/b", "content differs"},
        {"mode", [](const std::string& d) { ::chmod((d + "/a").c_str(), 0600); }, "a",
         "mode differs: 0644 on source, 0600 on destination"},
        {"link target",
         [](const std::string& d) {
             ::unlink((d + "/link").c_str());
             ::symlink("b", (d + "/link").c_str());
         },
         "link", "link target differs"},
        {"missing subtree", [](const std::string& d) { flrtest::removeTree(d + "/d/sub"); },
         "d/sub", "missing on destination"},
        {"extra file", [](const std::string& d) { flrtest::writeFile(d + "/d-x/f", "f"); }, "d-x/f",
         "extra on destination"},
        {"folder made a file",
         [](const std::string& d) {
             flrtest::removeTree(d + "/d-x");
             flrtest::writeFile(d + "/d-x", "now a file");
         },
         "d-x", "type differs: folder on source, file on destination"},
    };
    ::umask(022);
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        flrtest::TempDir src, dst;
        makeListingTree(src.path());
        makeListingTree(dst.path());
        const FlrTreeVerifyResult same = walkAndCompareTrees(src.path(), dst.path());
        EXPECT_TRUE(same.same());
        EXPECT_EQ(9, same.entries);
        EXPECT_EQ((3 << 20) + 7, same.bytes);
        k.change(dst.path());
        const FlrTreeVerifyResult r = walkAndCompareTrees(src.path(), dst.path());
        ASSERT_EQ(1, r.differences);
        EXPECT_EQ(k.path, r.diffs[0].path);
        EXPECT_EQ(k.what, r.diffs[0].what);
    }
}

// Nanoseconds (with --times), user.* attributes and ACLs are compared when both
// streams carry them; records in the plain form (an older tail) compare
// whole seconds only and are counted, so the caller can say so.
TEST(FlrTreeRecordCompare, NanosecondsAndAttributesNeedTheExtendedForm) {
    ::umask(022);
    flrtest::TempDir src, dst;
    makeListingTree(src.path());
    makeListingTree(dst.path());
    if (::setxattr((dst.path() + "/a").c_str(), "user.only-here", "1", 1, 0) != 0)
        GTEST_SKIP() << "no user xattrs here";
    JxACL::Acl acl;
    acl.hasAccess = true;
    acl.access = {{JxACL::TAG_USER_OBJ, 6, 0},
                  {JxACL::TAG_USER, 4, 4321},
                  {JxACL::TAG_GROUP_OBJ, 4, 0},
                  {JxACL::TAG_MASK, 4, 0},
                  {JxACL::TAG_OTHER, 4, 0}};
    const std::vector<unsigned char> form = JxACL::encode(acl);
    try {
        JxACL::Helper().apply(dst.path() + "/d-x/e", form.data(), form.size());
    } catch (const JxException& e) {
        GTEST_SKIP() << "the file system keeps no ACLs: " << e.getMessage();
    }
    for (const std::string& root : {src.path(), dst.path()}) {
        for (const char* rel : {"a", "d/b", "d/sub/c", "d-x/e", "link"}) {
            const long ns = std::string(rel) == "d/b" && root == dst.path() ? 6 : 5;
            const struct timespec ts[2] = {{1600000000, 0}, {1700000000, ns}};
            ASSERT_EQ(0,
                      ::utimensat(AT_FDCWD, (root + "/" + rel).c_str(), ts, AT_SYMLINK_NOFOLLOW));
        }
    }
    FlrTreeVerifyOptions o;
    o.mtimes = true;
    FlrTreeVerifyResult r = walkAndCompareTrees(src.path(), dst.path(), o);
    ASSERT_EQ(3, r.differences);
    EXPECT_EQ("a", r.diffs[0].path);
    EXPECT_EQ("extended attributes differ", r.diffs[0].what);
    EXPECT_EQ("d/b", r.diffs[1].path);
    EXPECT_EQ(
        "modification time differs: 1700000000.000000005 on source, "
        "1700000000.000000006 on destination",
        r.diffs[1].what);
    EXPECT_EQ("d-x/e", r.diffs[2].path);
    EXPECT_EQ("ACL differs", r.diffs[2].what);
    EXPECT_EQ(0, r.plainRecords);

    // The destination's records through the plain form.
    FlrTreeWalker wa(jx::openDirectory(src.path())), wb(jx::openDirectory(dst.path()));
    r = FlrTreeRecordCompare(o).run([&](FlrTreeRecord* out) { return wa.next(out); },
                                    [&](FlrTreeRecord* out) {
                                        FlrTreeRecord full;
                                        if (!wb.next(&full)) return false;
                                        std::vector<unsigned char> bytes;
                                        FlrTreeRecordCodec::append(full, &bytes, false);
                                        size_t pos = 0;
                                        FlrTreeRecordCodec::take(bytes.data(), bytes.size(), &pos,
                                                                 out);
                                        return true;
                                    });
    EXPECT_EQ(0, r.differences) << r.diffs[0].path << ": " << r.diffs[0].what;
    EXPECT_EQ(9, r.plainRecords);
}

// Paths travel as strings of at most 64 KiB: a deeper folder is named with
// a reason rather than listed, so no record is one the other side refuses.
TEST(FlrTreeWalker, FoldersTooDeepForARecordAreReportedNotEntered) {
    flrtest::TempDir top;
    const std::string name(250, 'x');
    jx::File dir = jx::openDirectory(top.path());
    for (int depth = 0; depth < 270 && dir; ++depth) {
        ASSERT_EQ(0, jx::mkdirAt(dir.get(), name, 0755));
        dir = jx::openBeneath(dir.get(), name, O_RDONLY | O_DIRECTORY);
    }
    ASSERT_TRUE(dir);
    flrtest::writeFile("/proc/self/fd/" + std::to_string(dir.get()) + "/leaf", "deep");
    FlrTreeWalker walker(jx::openDirectory(top.path()));
    FlrTreeRecord r;
    int tooDeep = 0;
    while (walker.next(&r)) {
        std::vector<unsigned char> batch;
        FlrTreeRecordCodec::append(r, &batch);
        size_t pos = 0;
        FlrTreeRecord back;
        ASSERT_NO_THROW(FlrTreeRecordCodec::take(batch.data(), batch.size(), &pos, &back))
            << r.rel.size();
        tooDeep += r.error == "lies too deep to be listed";
    }
    EXPECT_EQ(1, tooDeep);
}

}  // namespace
