#include "FLR/FlrReplicator.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <ctime>

#include "FLR/FlrTreeVerify.h"
#include "FLR/JxException.h"
#include "apply/FlrTailApplier.h"
#include "apply/FlrTailStore.h"
#include "platform/JxACL.h"
#include "platform/JxFile.h"
#include "platform/JxFileLock.h"
#include "service/FlrLocalTail.h"
#include "support/TestSupport.h"
#include "transfer/FlrLBFSBlockCache.h"

namespace {

using flrtest::writeFile;

struct Tree {
    flrtest::ScopedRegistry registry;
    flrtest::TempDir dir;
    std::string src = dir.file("src"), dst = dir.file("dst"), state = dir.file("state");

    Tree() {
        ::mkdir(src.c_str(), 0755);
        ::mkdir((src + "/sub").c_str(), 0750);
        for (int i = 0; i < 20; ++i)
            writeFile(src + "/sub/f" + std::to_string(i), std::string(1000 * i + 7, 'a' + i % 26));
        writeFile(src + "/odd\nname\\with\rbytes", "odd");
        ::symlink("../../outside", (src + "/sub/link").c_str());
    }

    FlrReplicateSummary replicate(const std::string& method = "auto", int streams = 1) {
        FlrReplicateOptions o;
        o.source = src;
        o.target = dst;
        o.method = method;
        o.streams = streams;
        o.stateRoot = state;
        return FlrReplicator(o).run();
    }
    bool same() { return FlrTreeVerify().compare(src, dst).same(); }
};

// Bytes no two seeds share a block of.
std::string replicatorNoise(size_t size, unsigned seed) {
    std::string s(size, '\0');
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<char>(((i + seed * 7919u) * 2654435761u) >> (9 + seed % 5));
    return s;
}

TEST(FlrReplicator, EveryMethodMakesAnExactReplica) {
    for (const char* method : {"full", "md5", "rsync", "lbfs", "auto"}) {
        SCOPED_TRACE(method);
        Tree t;
        FlrReplicateSummary s = t.replicate(method);
        EXPECT_EQ(s.scan, "baseline");
        EXPECT_EQ(s.files, s.selected);
        // The destination was empty, so every byte travelled (uncompressed).
        EXPECT_GE(s.wireBytes, s.bytesRead);
        EXPECT_TRUE(t.same());
    }
}

// A local destination keeps nanosecond times of files, links and folders and
// the extended attributes, by every method; an attribute-only change travels
// without file data.
TEST(FlrReplicator, LocalReplicaKeepsNanosecondsAndExtendedAttributes) {
    for (const char* method : {"full", "md5", "rsync", "lbfs", "auto"}) {
        SCOPED_TRACE(method);
        Tree t;
        writeFile(t.src + "/sub/big", replicatorNoise(300000, 3));
        if (::setxattr((t.src + "/sub/big").c_str(), "user.k", "v", 1, 0) != 0)
            GTEST_SKIP() << "no user xattrs here";
        ASSERT_EQ(0, ::setxattr((t.src + "/sub").c_str(), "user.folder", "f", 1, 0));
        const char* const stamped[] = {"/sub/big", "/sub/f3", "/sub/link", "/sub"};
        for (const char* rel : stamped) {
            const struct timespec ts[2] = {{1600000000, 42}, {1700000000, 987654321}};
            ASSERT_EQ(0, ::utimensat(AT_FDCWD, (t.src + rel).c_str(), ts, AT_SYMLINK_NOFOLLOW));
        }
        // Older than the next run's margin: only the changed file is selected again.
        ::usleep(100000);
        EXPECT_EQ(0, t.replicate(method).refused);
        FlrTreeVerifyOptions vo;
        vo.mtimes = true;
        const FlrTreeVerifyResult r = FlrTreeVerify(vo).compare(t.src, t.dst);
        EXPECT_TRUE(r.same()) << (r.diffs.empty() ? "" : r.diffs[0].path + ": " + r.diffs[0].what);
        for (const char* rel : stamped) {
            struct stat st {};
            ASSERT_EQ(0, ::lstat((t.dst + rel).c_str(), &st)) << rel;
            EXPECT_EQ(987654321, st.st_mtim.tv_nsec) << rel;
        }

        ::usleep(100000);
        ASSERT_EQ(0, ::setxattr((t.src + "/sub/big").c_str(), "user.k", "changed", 7, 0));
        const FlrReplicateSummary again = t.replicate(method);
        EXPECT_TRUE(t.same());
        if (std::string(method) != "full") {
            EXPECT_LT(again.bytesSent, 1000);
        }
    }
}

// Content-defined blocks end to end: a renamed folder and a copied file cost
// almost nothing, and a file the tail got by another method still serves its
// own path.
TEST(FlrReplicator, LBFSReusesWhatTheTailHoldsAnywhere) {
    Tree t;
    std::string big(400000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 2654435761u) >> 13);
    writeFile(t.src + "/sub/big", big);
    writeFile(t.src + "/full", big + "tail");
    t.replicate("full");
    ASSERT_TRUE(t.same());

    ::rename((t.src + "/sub").c_str(), (t.src + "/moved").c_str());
    writeFile(t.src + "/copy", big);
    std::string edited = big + "tail";
    edited[200000] ^= 1;
    writeFile(t.src + "/full", edited);
    ::usleep(100000);
    FlrReplicateSummary s = t.replicate("lbfs");
    EXPECT_TRUE(t.same());
    EXPECT_GT(s.methods[3], 0);
    // The store knew nothing yet (the first run was full): the renamed and
    // copied files travel whole, but "full" serves its own path, so only a
    // block or two of it travels, not another 400 KB.
    EXPECT_LT(s.wireBytes, 3 * static_cast<long long>(big.size()));

    // Now the store knows the tree: renaming it again costs almost nothing.
    ::rename((t.src + "/moved").c_str(), (t.src + "/again").c_str());
    writeFile(t.src + "/copy2", big);
    ::usleep(100000);
    FlrReplicateSummary again = t.replicate("lbfs");
    EXPECT_TRUE(t.same());
    EXPECT_LT(again.wireBytes, static_cast<long long>(big.size()) / 10);
}

// The head's block lists of settled files are cached in the pair's state,
// follow a rename (the replica stays exact) and leave with their file. Every
// file is settled (an hour old): a fresh one would be cached or not depending
// on whether a later run, under load more than 2 s on, selects it again.
TEST(FlrReplicator, LBFSBlockListsAreCachedAndFollowARename) {
    Tree t;
    std::string big(300000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 2654435761u) >> 11);
    ::mkdir((t.src + "/old").c_str(), 0755);
    const timespec anHourAgo[2] = {{0, UTIME_OMIT}, {::time(nullptr) - 3600, 0}};
    for (const char* name : {"/old/a", "/old/b"}) {
        writeFile(t.src + name, big + name);
        ASSERT_EQ(0, ::utimensat(AT_FDCWD, (t.src + name).c_str(), anHourAgo, 0));
    }
    size_t treeFiles = 0;  // of the tree's files, those LBFS sends as blocks
    for (const std::string& name : jx::listDir(t.src + "/sub")) {
        const std::string path = t.src + "/sub/" + name;
        struct stat st {};
        ASSERT_EQ(0, ::lstat(path.c_str(), &st));
        if (!S_ISREG(st.st_mode)) continue;
        ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), anHourAgo, 0));
        treeFiles += st.st_size > 256 ? 1 : 0;
    }
    auto cached = [&] {
        for (const std::string& pair : jx::listDir(t.state))
            if (::access((t.state + "/" + pair + "/lbfs-blocks").c_str(), F_OK) == 0)
                return FlrLBFSBlockCache(t.state + "/" + pair + "/lbfs-blocks").entries();
        return size_t{0};
    };
    // The tree must be older than the first run's start (less its margin),
    // else the second run selects it again and, a loaded second later, finds
    // it old enough to cache.
    ::usleep(200000);
    t.replicate("lbfs");
    EXPECT_EQ(cached(), treeFiles + 2);

    ::rename((t.src + "/old").c_str(), (t.src + "/moved").c_str());
    FlrReplicateSummary s = t.replicate("lbfs");
    EXPECT_TRUE(t.same());
    EXPECT_LT(s.wireBytes, static_cast<long long>(big.size()) / 10);
    EXPECT_EQ(cached(), treeFiles + 2);

    ::unlink((t.src + "/moved/a").c_str());
    t.replicate("lbfs");
    EXPECT_TRUE(t.same());
    EXPECT_EQ(cached(), treeFiles + 1);
}

// auto: a baseline compares blocks (the tail has nothing to find by
// content); on later runs new names take LBFS. The tail cut the baseline's
// files into blocks as they arrived, so a renamed folder costs almost nothing
// and bytes inserted at the start of a renamed file a block or two, where
// fixed blocks would all shift.
TEST(FlrReplicator, AutoComparesBlocksOnABaselineAndTakesLBFSAfter) {
    Tree t;
    std::string big(400000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 2654435761u) >> 13);
    writeFile(t.src + "/sub/big", big);
    ::usleep(200000);  // the tree is older than the first run's start
    const FlrReplicateSummary first = t.replicate();
    EXPECT_EQ(first.scan, "baseline");
    EXPECT_EQ(first.methods[3], 0);
    ASSERT_TRUE(t.same());

    ::rename((t.src + "/sub").c_str(), (t.src + "/moved").c_str());
    writeFile(t.src + "/moved/big", std::string(100, 'i') + big);
    const FlrReplicateSummary later = t.replicate();
    EXPECT_EQ(later.scan, "smart-sync");
    EXPECT_GT(later.methods[3], 1);
    EXPECT_LT(later.wireBytes, static_cast<long long>(big.size()) / 8);
    EXPECT_TRUE(t.same());
}

// auto after a baseline: a file edited where it lies is compared with the
// tail's copy (MD5/RSync); a renamed file and a copy are new names, go by
// LBFS and are built from content the tail holds, so they cost their block
// lists, not their bytes, also when that content came as a delta. Several
// streams choose the same way.
TEST(FlrReplicator, AutoComparesHeldPathsAndSendsNewNamesByLBFS) {
    for (const int streams : {1, 2}) {
        SCOPED_TRACE(streams);
        Tree t;
        const size_t size = 400000;
        std::string edited = replicatorNoise(size, 1);
        writeFile(t.src + "/sub/edited", edited);
        writeFile(t.src + "/sub/renamed", replicatorNoise(size, 2));
        ::usleep(200000);  // the tree is older than the first run's start
        const FlrReplicateSummary first = t.replicate("auto", streams);
        EXPECT_EQ(first.methods[3], 0);
        ASSERT_TRUE(t.same());

        for (size_t at : {size_t{1000}, size / 2, size - 10}) edited[at] ^= 0x55;
        writeFile(t.src + "/sub/edited", edited);
        ASSERT_EQ(0, ::rename((t.src + "/sub/renamed").c_str(), (t.src + "/moved").c_str()));
        writeFile(t.src + "/sub/copy", flrtest::readFile(t.src + "/moved"));
        const FlrReplicateSummary later = t.replicate("auto", streams);
        EXPECT_EQ(later.scan, "smart-sync");
        // The scan may select unchanged files of the tree again: they are
        // held at their paths too, so only the two new names take LBFS.
        EXPECT_GE(later.methods[1] + later.methods[2], 1) << "the edited file";
        EXPECT_EQ(later.methods[3], 2) << "the renamed file and the copy";
        // Sent whole, any one of the three would be 400 KB.
        EXPECT_LT(later.wireBytes, static_cast<long long>(size) / 4);
        EXPECT_TRUE(t.same());

        // The tail took the edit as a delta; renaming the edited file still
        // costs only its block list.
        ASSERT_EQ(0, ::rename((t.src + "/sub/edited").c_str(), (t.src + "/edited").c_str()));
        const FlrReplicateSummary renamed = t.replicate("auto", streams);
        EXPECT_EQ(renamed.methods[3], 1);
        EXPECT_LT(renamed.wireBytes, static_cast<long long>(size) / 4);
        EXPECT_TRUE(t.same());
    }
}

TEST(FlrReplicator, ALaterRunSendsOnlyChangesAndMirrorsRemovals) {
    Tree t;
    t.replicate();
    ::sleep(1);  // the second run's scan compares whole seconds
    writeFile(t.src + "/sub/f5", "changed");
    ::unlink((t.src + "/sub/f6").c_str());
    ::rename((t.src + "/sub/f7").c_str(), (t.src + "/moved").c_str());
    writeFile(t.dst + "/stray", "not in the source");
    FlrReplicateSummary s = t.replicate();
    EXPECT_EQ(s.scan, "smart-sync");
    EXPECT_GE(s.removed, 2);  // f6, f7 and the stray file
    EXPECT_TRUE(t.same());
    // The scan's lists served their run only; what the next run compares
    // with stays.
    FlrReplicateOptions o;
    o.source = t.src;
    o.target = t.dst;
    o.stateRoot = t.state;
    const std::string state = FlrReplicator(o).stateDir();
    for (const char* scratch : {"/Collect.txt", "/DirChange.txt"})
        EXPECT_NE(::access((state + scratch).c_str(), F_OK), 0) << scratch << " left behind";
    EXPECT_EQ(::access((state + "/DirChangeApplied.txt").c_str(), F_OK), 0);
}

// Runs back to back: an idle run selects nothing it sent before (the last
// run's start counts to the nanosecond), a change made right after a run is
// taken by the next, and a removal after an idle run (which sent no dirchange
// file) is still mirrored.
TEST(FlrReplicator, BackToBackRunsSelectExactlyWhatChanged) {
    Tree t;
    ::usleep(200000);  // the tree is older than the first run's start
    t.replicate();
    FlrReplicateSummary idle = t.replicate();
    EXPECT_EQ(idle.selected, 0);
    EXPECT_EQ(idle.files, 0);

    writeFile(t.src + "/sub/f3", "changed at once");
    FlrReplicateSummary changed = t.replicate();
    EXPECT_GE(changed.selected, 1);
    EXPECT_EQ(flrtest::readFile(t.dst + "/sub/f3"), "changed at once");
    // Changed within the margin before that run's start: looked at once more.
    // Runs can be shorter than the margin, so the next is started after it.
    ::usleep(100000);
    EXPECT_LE(t.replicate().selected, 1);

    EXPECT_EQ(t.replicate().selected, 0);
    ::unlink((t.src + "/sub/f4").c_str());
    FlrReplicateSummary removal = t.replicate();
    EXPECT_EQ(removal.removed, 1);
    EXPECT_TRUE(t.same());
}

// The run record is the point the next scan starts from: one a crash left
// empty or torn must not be read as some moment (it could skip changes), so
// the next run is a baseline; records of whole seconds still read.
TEST(FlrReplicator, AnUnreadableRunRecordMakesTheNextRunABaseline) {
    struct Case {
        const char* name;
        std::string record;
        const char* scan;
    };
    const Case cases[] = {
        {"empty", "", "baseline"},
        {"zeros", std::string(24, '\0'), "baseline"},
        {"torn", "17000", "smart-sync"},
        {"garbage after the seconds", "1700000000x 5\n", "baseline"},
        {"nanoseconds out of range", "1700000000 1000000000\n", "baseline"},
        {"two lines", "1700000000 5\n1700000000 5\n", "baseline"},
        {"seconds and nanoseconds", "1700000000 000000005\n", "smart-sync"},
        {"whole seconds", "1700000000\n", "smart-sync"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Tree t;
        t.replicate();
        FlrReplicateOptions o;
        o.source = t.src;
        o.target = t.dst;
        o.stateRoot = t.state;
        writeFile(FlrReplicator(o).stateDir() + "/last-run", c.record);
        const FlrReplicateSummary s = t.replicate();
        EXPECT_EQ(s.scan, c.scan);
        EXPECT_TRUE(t.same());
        // The run rewrote it, readable again.
        EXPECT_EQ(t.replicate().scan, "smart-sync");
    }
}

// A run that stores and looks up no content leaves the tail's content store
// closed (opening it costs syncs), and a run without LBFS leaves the head's
// block cache unwritten; a run that replaces a file opens the store.
TEST(FlrReplicator, OnlyRunsThatNeedTheContentStoreOpenIt) {
    Tree t;
    ::usleep(200000);  // the tree is older than the first run's start
    t.replicate("md5");
    FlrReplicateOptions o;
    o.source = t.src;
    o.target = t.dst;
    o.stateRoot = t.state;
    o.method = "md5";
    FlrTailApplier::Options tailOptions;
    tailOptions.storeDir = t.dir.file("store");
    {
        FlrLocalTail tail(t.dst, tailOptions);
        o.localTail = &tail;
        EXPECT_EQ(FlrReplicator(o).run().files, 0);
        tail.stop();
        EXPECT_FALSE(tail.applier().store()->isOpen());
    }
    std::string changed(200000, '\0');
    for (size_t i = 0; i < changed.size(); ++i)
        changed[i] = static_cast<char>((i * 2654435761u) >> 11);
    writeFile(t.src + "/sub/f3", changed);
    {
        FlrLocalTail tail(t.dst, tailOptions);
        o.localTail = &tail;
        EXPECT_EQ(FlrReplicator(o).run().files, 1);
        tail.stop();
        // The file came whole as data: its blocks are recorded.
        EXPECT_FALSE(tail.applier().store()->blocksOf("sub/f3").empty());
        EXPECT_TRUE(tail.applier().store()->isOpen());
    }
    EXPECT_TRUE(t.same());
    EXPECT_NE(::access((FlrReplicator(o).stateDir() + "/lbfs-blocks").c_str(), F_OK), 0);
}

// The head reads a file's ACL from the descriptor it sends the data from, on
// the direct path (full) and behind the checksum planner (md5) alike.
TEST(FlrReplicator, FileACLsArriveWithEveryMethod) {
    if (!JxACL::Helper::supported()) GTEST_SKIP() << "no ACL support in this build";
    JxACL::Acl acl;
    acl.hasAccess = true;
    acl.access = {{JxACL::TAG_USER_OBJ, 6, 0},
                  {JxACL::TAG_USER, 4, 4321},
                  {JxACL::TAG_GROUP_OBJ, 4, 0},
                  {JxACL::TAG_MASK, 4, 0},
                  {JxACL::TAG_OTHER, 0, 0}};
    const std::vector<unsigned char> form = JxACL::encode(acl);
    for (const char* method : {"full", "md5"}) {
        SCOPED_TRACE(method);
        Tree t;
        const std::string file = t.src + "/sub/f3";
        try {
            JxACL::Helper().apply(file, form.data(), form.size());
        } catch (const JxException& e) {
            GTEST_SKIP() << "the file system keeps no ACLs: " << e.getMessage();
        }
        t.replicate(method);
        const std::vector<unsigned char> got = JxACL::Helper().get(t.dst + "/sub/f3");
        EXPECT_EQ(JxACL::decode(got.data(), got.size()), acl);
        EXPECT_TRUE(JxACL::Helper().get(t.dst + "/sub/f4").empty());
        EXPECT_TRUE(t.same());
    }
}

TEST(FlrReplicator, ATransferToAFolderThatCannotBeMadeFailsAndIsRetriedInFull) {
    Tree t;
    writeFile(t.dir.file("blocker"), "");
    FlrReplicateOptions o;
    o.source = t.src;
    o.target = t.dir.file("blocker") + "/dst";
    o.stateRoot = t.state;
    EXPECT_THROW(FlrReplicator(o).run(), JxException);
    ::unlink(t.dir.file("blocker").c_str());
    // No run was recorded: the next one is a baseline again.
    EXPECT_EQ(FlrReplicator(o).run().scan, "baseline");
}

TEST(FlrReplicator, TwoRunsOfOnePairExcludeEachOther) {
    Tree t;
    FlrReplicateOptions o;
    o.source = t.src;
    o.target = t.dst;
    o.stateRoot = t.state;
    FlrReplicator r(o);
    ::mkdir(t.state.c_str(), 0700);
    ::mkdir(r.stateDir().c_str(), 0700);
    JxFileLock held(r.stateDir() + "/lock");
    ASSERT_TRUE(held.lock(1, 0));
    try {
        r.run();
        FAIL() << "a second run went ahead";
    } catch (const JxException& e) {
        EXPECT_NE(e.getMessage().find("is in progress"), std::string::npos) << e.getMessage();
    }
}

TEST(FlrReplicator, RemoteTargetsAreToldFromLocalPaths) {
    struct Case {
        const char* target;
        bool remote;
        const char* host;
        const char* port;
        const char* path;
        bool refused = false;
    };
    const Case cases[] = {
        {"tail1:7000:/srv/replica", true, "tail1", "7000", "/srv/replica"},
        {"[::1]:7000:/r", true, "[::1]", "7000", "/r"},
        {"tail1:flr:rel/dir", true, "tail1", "flr", "rel/dir"},
        {"tail1:7000:", true, "tail1", "7000", "/"},
        {"/local/dir", false, "", "", ""},
        {"./a:b:c", false, "", "", ""},
        {"dir/with:colon:x", false, "", "", ""},
        // Half a tail's name is refused rather than made a local folder.
        {"host::/x", false, "", "", "", true},
        {"host:7000", false, "", "", "", true},
        {"plain", false, "", "", ""},
    };
    for (const Case& c : cases) {
        std::string host, port, path;
        ASSERT_EQ(FlrReplicator::parseRemote(c.target, &host, &port, &path), c.remote) << c.target;
        bool refused = false;
        try {
            FlrReplicator::refuseHalfRemote(c.target);
        } catch (const JxException&) {
            refused = true;
        }
        EXPECT_EQ(c.refused, refused) << c.target;
        if (!c.remote) continue;
        EXPECT_EQ(host, c.host);
        EXPECT_EQ(port, c.port);
        EXPECT_EQ(path, c.path);
    }
}

}  // namespace
