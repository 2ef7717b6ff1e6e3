// The applying tail over loopback: every entry type, the header's size as the
// final size, and MD5 and RSync deltas rebuilt from the old copy, with the
// checksum answers checked against the platform's own sums.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FLR/JxException.h"
#include "TailApplyFixture.h"
#include "TailDeltaFixture.h"
#include "apply/FlrTailApplier.h"
#include "digest/Jxc.h"
#include "net/FlrNetMessage.h"
#include "platform/JxACL.h"
#include "platform/JxCoding.h"

using namespace tailtest;

namespace {

struct ApplyTest : ::testing::Test {
    Registry registry;
    flrtest::TempDir tmp;
    std::string root = tmp.file("dst");
    void SetUp() override { ASSERT_EQ(::mkdir(root.c_str(), 0755), 0); }
    std::string at(const std::string& rel) const { return root + "/" + rel; }
};

mode_t modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode;
}

time_t mtimeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mtime;
}

TEST_F(ApplyTest, EveryEntryTypeLandsWithItsAttributes) {
    Tail tail(root);
    Head head(tail.port());
    // Collect order: contents before their folder, so folders are made on the way.
    head.sendFile(at("a/b/file"), "hello", 0640);
    head.sendEntry(at("a/b"), S_IFDIR | 0750);
    head.sendEntry(at("a/link"), S_IFLNK | 0777, "../../outside/target");
    head.sendEntry(at("a/fifo"), S_IFIFO | 0620);
    head.sendEntry("a/relative", S_IFREG | 0600, "by a path relative to the root");
    head.sync();

    EXPECT_EQ(flrtest::readFile(at("a/b/file")), "hello");
    EXPECT_EQ(modeOf(at("a/b/file")), S_IFREG | 0640);
    EXPECT_EQ(mtimeOf(at("a/b/file")), 1600000100);
    EXPECT_EQ(modeOf(at("a/b")), S_IFDIR | 0750);
    EXPECT_EQ(mtimeOf(at("a/b")), 1600000100);
    char target[256] = {};
    ASSERT_GT(::readlink(at("a/link").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "../../outside/target");
    EXPECT_TRUE(S_ISFIFO(modeOf(at("a/fifo"))));
    EXPECT_EQ(modeOf(at("a/fifo")) & 07777, 0620u);
    EXPECT_EQ(flrtest::readFile(at("a/relative")), "by a path relative to the root");

    // A session's counts reach the totals when it ends.
    head.net.closeSocket();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (tail.totals().files < 2 && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const FlrTailApplyStats s = tail.totals();
    EXPECT_EQ(s.files, 2);
    EXPECT_EQ(s.dirs, 1);
    EXPECT_EQ(s.links, 1);
    EXPECT_EQ(s.specials, 1);
    EXPECT_EQ(s.refused + s.failed, 0);
}

TEST_F(ApplyTest, TypeChangesReplaceTheOldEntry) {
    flrtest::writeFile(at("was-file"), "x");
    ASSERT_EQ(::mkdir(at("was-dir").c_str(), 0755), 0);
    flrtest::writeFile(at("was-dir/inner"), "y");
    ASSERT_EQ(::mkdir(at("was-empty-dir").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("/", at("was-link").c_str()), 0);
    Tail tail(root);
    Head head(tail.port());
    head.sendEntry(at("was-file"), S_IFDIR | 0755);
    head.sendFile(at("was-dir"), "now a file");
    head.sendFile(at("was-link"), "now a file too");
    head.sendFile(at("was-empty-dir"), "");
    head.sync();
    EXPECT_TRUE(S_ISREG(modeOf(at("was-empty-dir"))));
    EXPECT_TRUE(S_ISDIR(modeOf(at("was-file"))));
    EXPECT_EQ(flrtest::readFile(at("was-dir")), "now a file");
    EXPECT_EQ(flrtest::readFile(at("was-link")), "now a file too");
    EXPECT_TRUE(S_ISREG(modeOf(at("was-link"))));
}

TEST_F(ApplyTest, DeviceNodesWhenPrivileged) {
    if (::geteuid() != 0) GTEST_SKIP() << "device nodes need root";
    FlrTailApplier::Options keep;
    keep.privileged = FlrPrivileged::Keep;
    Tail tail(root, keep);
    Head head(tail.port());
    const std::string path = at("null");
    FlrNetMirHeader h = header(path, S_IFCHR | 0666, 0);
    h.rdev = makedev(1, 3);
    head.net.sendMirHeader(h);
    head.net.sendMirEOF();
    head.sync();
    struct stat st {};
    ASSERT_EQ(::lstat(at("null").c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(st.st_rdev, makedev(1, 3));
}

TEST_F(ApplyTest, OwnersAndACLsAreSetAtTheEnd) {
    if (!JxACL::Helper::supported()) GTEST_SKIP() << "no ACL support in this build";
    JxACL::Acl acl;
    acl.hasAccess = true;
    acl.access = {{JxACL::TAG_USER_OBJ, 6, 0},
                  {JxACL::TAG_USER, 4, 4321},
                  {JxACL::TAG_GROUP_OBJ, 4, 0},
                  {JxACL::TAG_MASK, 4, 0},
                  {JxACL::TAG_OTHER, 0, 0}};
    const std::vector<unsigned char> form = JxACL::encode(acl);
    const std::string path = at("owned");
    FlrNetMirHeader h = header(path, S_IFREG | 0640, 2);
    const bool asRoot = ::geteuid() == 0;
    if (asRoot) {
        h.uid = 1234;
        h.gid = 5678;
    }
    h.hasACL = 1;
    Tail tail(root);
    Head head(tail.port());
    head.net.sendMirHeader(h);
    head.net.sendMirACL(form.data(), static_cast<int>(form.size()));
    head.net.sendMirData("ok", 2);
    head.net.sendMirEOF();
    head.sync();
    struct stat st {};
    ASSERT_EQ(::lstat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, asRoot ? 1234u : ::getuid());
    EXPECT_EQ(st.st_gid, asRoot ? 5678u : ::getgid());
    std::vector<unsigned char> got;
    try {
        got = JxACL::Helper().get(path);
    } catch (const JxException& e) {
        GTEST_SKIP() << e.getMessage();
    }
    if (got.empty()) GTEST_SKIP() << "the file system keeps no ACLs";
    EXPECT_EQ(JxACL::decode(got.data(), got.size()), acl);
}

// Finished entries wait for one syncfs and are then put in place in arrival
// order; whoever asks something sees everything sent before.
TEST_F(ApplyTest, BatchedEntriesLandInOrderAtCommit) {
    FlrTailApplier::Options options;
    options.batchEntries = 100;
    FlrTailApplier applier(root, options);
    const std::string f = at("f");
    auto send = [&](FlrTailApplySession& s, mode_t mode, const std::string& data) {
        FlrNetMessage m(FLR_NET_MIR_HEADER);
        m.mirHeader = header(f, mode, data.size());
        s.handle(m, nullptr);
        if (!data.empty()) {
            FlrNetMessage d(FLR_NET_MIR_DATA);
            d.data = {data.data(), static_cast<int>(data.size())};
            s.handle(d, nullptr);
        }
        s.handle(FlrNetMessage(FLR_NET_MIR_EOF), nullptr);
    };
    {
        FlrTailApplySession session(applier);
        send(session, S_IFREG | 0644, "first");
        EXPECT_NE(::access(f.c_str(), F_OK), 0) << "visible before its commit";
        send(session, S_IFREG | 0644, "second");  // same path: the first is committed now
        EXPECT_EQ(flrtest::readFile(f), "first");
        send(session, S_IFDIR | 0755, "");
        session.commit();
        EXPECT_TRUE(S_ISDIR(modeOf(f))) << "the folder came last and stays";
        EXPECT_EQ(session.stats().files, 2);
        send(session, S_IFREG | 0600, "third");
    }  // a session that ends puts what arrived whole in place
    EXPECT_EQ(flrtest::readFile(f), "third");
    EXPECT_EQ(snapshot(root).size(), 1u) << "no temporary left behind";
}

// The header's size wins over the bytes that came and over the old copy.
TEST_F(ApplyTest, HeaderSizeIsFinal) {
    struct Case {
        const char* name;
        std::string old;
        std::string sent;
        uint64_t size;
        std::string expect;
        long long seekTo = -1;  // a MIR_SEEK and more data after the first
        std::string more;
    };
    const std::vector<Case> cases = {
        {"longer-on-tail", std::string(10000, 'o'), "new", 3, "new", -1, ""},
        {"shorter-on-tail", "o", std::string(5000, 'n'), 5000, std::string(5000, 'n'), -1, ""},
        {"equal", "same", "same", 4, "same", -1, ""},
        {"more-sent-than-size", "", "abcdef", 4, "abcd", -1, ""},
        {"less-sent-than-size", "", "ab", 4, std::string("ab\0\0", 4), -1, ""},
        {"rewritten-below-size", "", "abcdef", 4, "xycd", 0, "xy"},
        {"hole-then-tail", "", "", 4, std::string("\0\0cd", 4), 2, "cd"},
        {"past-size-then-back", "", "abc", 3, "abc", 5, "zz"},
    };
    Tail tail(root);
    Head head(tail.port());
    for (const Case& c : cases) {
        if (!c.old.empty()) flrtest::writeFile(at(c.name), c.old);
        head.net.sendMirHeader(header(at(c.name), S_IFREG | 0644, c.size));
        head.net.sendMirData(c.sent.data(), static_cast<int>(c.sent.size()));
        if (c.seekTo >= 0) {
            head.net.sendMirSeek(c.seekTo);
            head.net.sendMirData(c.more.data(), static_cast<int>(c.more.size()));
        }
        head.net.sendMirEOF();
    }
    head.sync();
    for (const Case& c : cases) EXPECT_EQ(flrtest::readFile(at(c.name)), c.expect) << c.name;
}

TEST_F(ApplyTest, OverwriteOffKeepsAnExistingFile) {
    flrtest::writeFile(at("kept"), "tail's own");
    Tail tail(root);
    Head head(tail.port());
    const std::string kept = at("kept");
    const std::string fresh = at("fresh");
    FlrNetMirHeader h = header(kept, S_IFREG | 0644, 3);
    h.overwrite = 0;
    head.net.sendMirHeader(h);
    head.net.sendMirData("new", 3);
    head.net.sendMirEOF();
    h = header(fresh, S_IFREG | 0644, 3);
    h.overwrite = 0;
    head.net.sendMirHeader(h);
    head.net.sendMirData("new", 3);
    head.net.sendMirEOF();
    head.sync();
    EXPECT_EQ(flrtest::readFile(at("kept")), "tail's own");
    EXPECT_EQ(flrtest::readFile(at("fresh")), "new");
}

// --- MD5 and RSync deltas ----------------------------------------------------------

constexpr int kBlock = kDeltaBlock;

TEST_F(ApplyTest, MD5DeltasRebuildTheFile) {
    for (const DeltaMode& mode : kDeltaModes) {
        Tail tail(root, deltaOptions(mode));
        Head head(tail.port());
        for (const DeltaCase& c : deltaCases()) {
            if (c.old)
                flrtest::writeFile(at(c.name), *c.old);
            else
                ::unlink(at(c.name).c_str());
            sendMD5Delta(head, at(c.name), c.now);
            head.sync();
            EXPECT_EQ(flrtest::readFile(at(c.name)), c.now) << mode.name << ": " << c.name;
        }
        EXPECT_EQ(snapshot(root).size(), deltaCases().size()) << "temporaries left: " << mode.name;
    }
}

TEST_F(ApplyTest, RSyncDeltasRebuildTheFile) {
    for (const DeltaMode& mode : kDeltaModes) {
        Tail tail(root, deltaOptions(mode));
        Head head(tail.port());
        for (const DeltaCase& c : deltaCases()) {
            if (c.old)
                flrtest::writeFile(at(c.name), *c.old);
            else
                ::unlink(at(c.name).c_str());
            sendRSyncDelta(head, at(c.name), c.now, c.old);
            head.sync();
            EXPECT_EQ(flrtest::readFile(at(c.name)), c.now) << mode.name << ": " << c.name;
        }
        EXPECT_EQ(snapshot(root).size(), deltaCases().size()) << "temporaries left: " << mode.name;
    }
}

// In place would change every name of the file: a copy with another link
// is built beside, and the other name keeps the old bytes.
TEST_F(ApplyTest, ADeltaLeavesOtherLinksOfTheOldCopyAlone) {
    const std::string old = pattern(6 * kBlock, 3);
    std::string now = old;
    now[kBlock + 5] ^= 1;
    Tail tail(root);
    Head head(tail.port());
    for (int method : {FlrNetMirHeader::kMD5, FlrNetMirHeader::kRSync}) {
        flrtest::writeFile(at("f"), old);
        ::unlink(at("g").c_str());
        ASSERT_EQ(::link(at("f").c_str(), at("g").c_str()), 0);
        if (method == FlrNetMirHeader::kMD5)
            sendMD5Delta(head, at("f"), now);
        else
            sendRSyncDelta(head, at("f"), now, old);
        head.sync();
        EXPECT_EQ(flrtest::readFile(at("f")), now) << "method " << method;
        EXPECT_EQ(flrtest::readFile(at("g")), old) << "method " << method;
    }
}

// References may point anywhere in the old copy, repeat and overlap.
TEST_F(ApplyTest, RSyncReferencesAreCopiedInArrivalOrder) {
    flrtest::writeFile(at("f"), "0123456789");
    Tail tail(root);
    Head head(tail.port());
    head.askSums(at("f"), FlrNetMirHeader::kRSync);
    head.net.sendMirHeader(header(at("f"), S_IFREG | 0644, 14, FlrNetMirHeader::kRSync));
    long long off[] = {5, 0, 3};
    long long len[] = {5, 2, 4};
    head.net.sendMirRSync(2, off, len);
    head.net.sendMirData("xyz", 3);
    head.net.sendMirRSync(1, off + 2, len + 2);
    head.net.sendMirEOF();
    head.sync();
    EXPECT_EQ(flrtest::readFile(at("f")), "5678901xyz3456");
}

// A reference outside the old copy spoils the entry before anything is
// written: the old copy stays (in place, it gets its name back).
TEST_F(ApplyTest, BadDeltaLeavesTheOldCopy) {
    flrtest::writeFile(at("f"), "0123456789");
    Tail tail(root);
    Head head(tail.port());
    head.askSums(at("f"), FlrNetMirHeader::kRSync);
    head.askSums(at("g"), FlrNetMirHeader::kMD5);
    head.net.sendMirHeader(header(at("f"), S_IFREG | 0644, 20, FlrNetMirHeader::kRSync));
    long long off = 8;
    long long len = 5;
    head.net.sendMirRSync(1, &off, &len);
    head.net.sendMirEOF();
    head.net.sendMirHeader(header(at("g"), S_IFREG | 0644, 4, FlrNetMirHeader::kMD5));
    head.net.sendMirSeek(-1);
    head.net.sendMirEOF();
    head.sync();
    EXPECT_EQ(flrtest::readFile(at("f")), "0123456789");
    EXPECT_NE(::access(at("g").c_str(), F_OK), 0);
    EXPECT_EQ(snapshot(root).size(), 1u) << "no temporary left behind";
}

TEST_F(ApplyTest, ChecksumAnswersForMissingAndPresentCopies) {
    const std::string content = pattern(3 * kBlock + 7, 9);
    flrtest::writeFile(at("present"), content);
    ASSERT_EQ(::symlink("present", at("link").c_str()), 0);
    Tail tail(root);
    Head head(tail.port());
    EXPECT_TRUE(md5Stream(head, at("missing")).empty());
    EXPECT_TRUE(md5Stream(head, at("link")).empty()) << "a link is never read through";
    const std::vector<Sum> sums = md5Stream(head, at("present"));
    ASSERT_EQ(sums.size(), 4u);
    EXPECT_EQ(sums[3].md5, md5Of(content.substr(3 * kBlock)));
    unsigned char(*md5)[16] = nullptr;
    int n = -1;
    head.net.getFileCheckSums(at("present").c_str(), kBlock, &md5, &n);
    ASSERT_EQ(n, 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(md5[1]), 16),
              md5Of(content.substr(kBlock, kBlock)));
    head.net.getFileCheckSums(at("missing").c_str(), kBlock, &md5, &n);
    EXPECT_EQ(n, 0);
}

}  // namespace
