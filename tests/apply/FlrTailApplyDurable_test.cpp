// What the batched tail makes durable besides file data: every folder that
// received an entry is synced once per batch (a failing folder sync counts as
// a failure), and the start-up sweep finds temporaries at any depth without
// touching anything else.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "TailApplyFixture.h"
#include "apply/FlrTailAnswers.h"
#include "apply/FlrTailApplier.h"
#include "apply/FlrTailRoot.h"
#include "platform/JxFile.h"

using namespace tailtest;

namespace {

using Inode = std::pair<dev_t, ino_t>;

// Records which folders are fsync'd (by inode) and can make those fail;
// counts whole file system syncs.
struct FolderSyncSpy : jx::PosixFileOps {
    std::map<Inode, int> folderSyncs;
    int fileSystemSyncs = 0;
    bool failFolders = false;
    int syncFileSystem(int fd) override {
        ++fileSystemSyncs;
        return jx::PosixFileOps::syncFileSystem(fd);
    }
    int fsync(int fd) override {
        struct stat st {};
        if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
            ++folderSyncs[{st.st_dev, st.st_ino}];
            if (failFolders) {
                errno = EIO;
                return -1;
            }
        }
        return jx::PosixFileOps::fsync(fd);
    }
};

Inode inodeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return {st.st_dev, st.st_ino};
}

void sendFile(FlrTailApplySession& s, const std::string& path, const std::string& data) {
    FlrNetMessage h(FLR_NET_MIR_HEADER);
    h.mirHeader = header(path, S_IFREG | 0644, data.size());
    s.handle(h, nullptr);
    FlrNetMessage d(FLR_NET_MIR_DATA);
    d.data = {data.data(), static_cast<int>(data.size())};
    s.handle(d, nullptr);
    s.handle(FlrNetMessage(FLR_NET_MIR_EOF), nullptr);
}

struct DurableTest : ::testing::Test {
    Registry registry;
    flrtest::TempDir tmp;
    std::string root = tmp.file("dst");
    void SetUp() override {
        ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((root + "/a").c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((root + "/a/b").c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((root + "/quiet").c_str(), 0755), 0);
    }
};

TEST_F(DurableTest, EachFolderOfABatchIsSyncedOnceAfterItsRenames) {
    struct Case {
        const char* name;
        std::vector<std::string> files;  // relative to the root, one batch
        std::set<std::string> synced;    // folders expected synced, once each
    };
    const Case cases[] = {
        {"one folder, many files", {"a/1", "a/2", "a/3"}, {"a"}},
        {"root and nested folders", {"top", "a/x", "a/b/y", "a/b/z", "top2"}, {"", "a", "a/b"}},
        {"a folder made on the way", {"new/deep/f"}, {"new/deep"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FolderSyncSpy spy;
        jx::ScopedFileOps scoped(spy);
        FlrTailApplier::Options o;
        o.batchEntries = 100;
        FlrTailApplier applier(root, o);
        FlrTailApplySession session(applier);
        for (const std::string& f : c.files) sendFile(session, root + "/" + f, "data of " + f);
        EXPECT_TRUE(spy.folderSyncs.empty()) << "synced before the batch was committed";
        session.commit();
        for (const std::string& f : c.files)
            EXPECT_EQ(flrtest::readFile(root + "/" + f), "data of " + f);
        std::map<Inode, int> expected;
        for (const std::string& d : c.synced)
            expected[inodeOf(d.empty() ? root : root + "/" + d)] = 1;
        EXPECT_EQ(spy.folderSyncs, expected);
        EXPECT_EQ(spy.folderSyncs.count(inodeOf(root + "/quiet")), 0u);
        EXPECT_EQ(session.stats().failed, 0);
    }
}

// A batch spread over many folders (a tree of small folders) syncs the file
// system once after its renames instead of every folder.
TEST_F(DurableTest, ABatchOverManyFoldersSyncsTheFileSystemOnceForItsRenames) {
    FolderSyncSpy spy;
    jx::ScopedFileOps scoped(spy);
    FlrTailApplier::Options o;
    o.batchEntries = 1000;
    FlrTailApplier applier(root, o);
    FlrTailApplySession session(applier);
    const size_t folders = FlrTailApplySession::kFoldersSyncedOneByOne + 1;
    for (size_t i = 0; i < folders; ++i)
        sendFile(session, root + "/many/d" + std::to_string(i) + "/f", "f");
    session.commit();
    EXPECT_TRUE(spy.folderSyncs.empty());
    EXPECT_EQ(spy.fileSystemSyncs, 2);  // the data's, then the renames'
    EXPECT_EQ(session.stats().failed, 0);
    for (size_t i = 0; i < folders; ++i)
        EXPECT_EQ(flrtest::readFile(root + "/many/d" + std::to_string(i) + "/f"), "f");
}

TEST_F(DurableTest, AFolderThatCannotBeSyncedCountsAsAFailure) {
    FolderSyncSpy spy;
    spy.failFolders = true;
    jx::ScopedFileOps scoped(spy);
    FlrTailApplier::Options o;
    o.batchEntries = 100;
    FlrTailApplier applier(root, o);
    FlrTailApplySession session(applier);
    sendFile(session, root + "/a/1", "one");
    sendFile(session, root + "/a/b/2", "two");
    session.commit();
    // Renamed already, but not known durable: the head is told through the
    // failure count and its run is not recorded as complete.
    EXPECT_EQ(session.stats().failed, 2);
    EXPECT_EQ(flrtest::readFile(root + "/a/1"), "one");
}

// The bytes of the one temporary in folder, or "" when there is none.
std::string temporaryIn(const std::string& folder) {
    for (const std::string& name : jx::listDir(folder, "test"))
        if (FlrTailRoot::isTemporaryName(name)) return flrtest::readFile(folder + "/" + name);
    return "";
}

// An MD5 or RSync delta of a/1 that changes its middle block: header and
// data, and the end when `whole`.
void sendMiddleBlockDelta(FlrTailApplySession& s, const std::string& path, uint8_t method,
                          size_t block, const std::string& middle, bool whole) {
    FlrNetMessage h(FLR_NET_MIR_HEADER);
    h.mirHeader = header(path, S_IFREG | 0644, 3 * block, method);
    s.handle(h, nullptr);
    auto ref = [&](long long off) {
        long long len = static_cast<long long>(block);
        FlrNetMessage r(FLR_NET_MIR_RSYNC);
        r.mirRSync = {1, &off, &len};
        s.handle(r, nullptr);
    };
    if (method == FlrNetMirHeader::kRSync) {
        ref(0);
    } else {
        FlrNetMessage seek(FLR_NET_MIR_SEEK);
        seek.seek.offset = static_cast<long long>(block);
        s.handle(seek, nullptr);
    }
    FlrNetMessage d(FLR_NET_MIR_DATA);
    d.data = {middle.data(), static_cast<int>(middle.size())};
    s.handle(d, nullptr);
    if (!whole) return;
    if (method == FlrNetMirHeader::kRSync) ref(static_cast<long long>(2 * block));
    s.handle(FlrNetMessage(FLR_NET_MIR_EOF), nullptr);
}

// An in-place update renames the old copy away at its header. Until the
// batch's sync has made that rename durable nothing of the copy may change
// on disk (a power cut would find changed bytes under the real name), and no
// folder is synced per file for it (once per batch instead). A cut update
// leaves the old copy whole.
TEST_F(DurableTest, AnInPlaceUpdateChangesTheCopyOnlyAfterItsBatchSync) {
    constexpr size_t kBlock = 4096;
    const std::string old =
        std::string(kBlock, 'a') + std::string(kBlock, 'b') + std::string(kBlock, 'c');
    const std::string middle(kBlock, 'N');
    const std::string now = old.substr(0, kBlock) + middle + old.substr(2 * kBlock);
    struct Case {
        const char* name;
        uint8_t method;
        bool whole;  // false: the session ends before the entry's end
    };
    const Case cases[] = {
        {"md5", FlrNetMirHeader::kMD5, true},
        {"rsync", FlrNetMirHeader::kRSync, true},
        {"md5, cut", FlrNetMirHeader::kMD5, false},
        {"rsync, cut", FlrNetMirHeader::kRSync, false},
    };
    const std::string path = root + "/a/1";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        flrtest::writeFile(path, old);
        FolderSyncSpy spy;
        jx::ScopedFileOps scoped(spy);
        FlrTailApplier applier(root, FlrTailApplier::Options{});
        // What the head's checksum request would have left (no link here).
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        applier.answered().remember(0, "a/1", FlrTailCopyId::of(st));
        {
            FlrTailApplySession session(applier);
            sendMiddleBlockDelta(session, path, c.method, kBlock, middle, c.whole);
            EXPECT_NE(::access(path.c_str(), F_OK), 0) << "the copy kept its name while changing";
            EXPECT_EQ(temporaryIn(root + "/a"), old) << "changed before the rename was durable";
            EXPECT_EQ(spy.folderSyncs.count(inodeOf(root + "/a")), 0u);
            if (c.whole) {
                session.commit();
                // Once before the held writes, once after the renames.
                EXPECT_EQ(spy.folderSyncs[inodeOf(root + "/a")], 2);
                EXPECT_EQ(session.stats().failed, 0);
            }
        }
        EXPECT_EQ(flrtest::readFile(path), c.whole ? now : old);
        EXPECT_FALSE(hasTemporaries(root));
    }
}

TEST_F(DurableTest, TheSweepRemovesTemporariesAtAnyDepthAndNothingElse) {
    const std::string temp = FlrTailRoot::temporaryName("f");
    const std::vector<std::string> temporaries = {temp, "a/" + temp, "a/b/" + temp,
                                                  "a/b/" + FlrTailRoot::temporaryName("g")};
    const std::vector<std::string> kept = {"f",
                                           "a/f",
                                           "a/b/.f.flrtmp.",
                                           "a/b/.f.flrtmp.0123",
                                           "quiet/" + temp + "x",
                                           "a/b/.f.flrtmp.0123456789ABCDEF"};
    for (const std::string& t : temporaries) flrtest::writeFile(root + "/" + t, "t");
    for (const std::string& k : kept) flrtest::writeFile(root + "/" + k, "k");
    // A temporary folder (a cut-off folder replacement) goes with what it holds.
    const std::string tempDir = "a/" + FlrTailRoot::temporaryName("d");
    ASSERT_EQ(::mkdir((root + "/" + tempDir).c_str(), 0755), 0);
    flrtest::writeFile(root + "/" + tempDir + "/inside", "i");

    FlrTailRoot tailRoot(root);
    EXPECT_EQ(tailRoot.sweepTemporaries(), static_cast<long>(temporaries.size()) + 1);
    for (const std::string& t : temporaries)
        EXPECT_NE(::access((root + "/" + t).c_str(), F_OK), 0) << t;
    EXPECT_NE(::access((root + "/" + tempDir).c_str(), F_OK), 0);
    for (const std::string& k : kept) EXPECT_EQ(flrtest::readFile(root + "/" + k), "k") << k;
    EXPECT_EQ(tailRoot.sweepTemporaries(), 0);
}

// With a content store, a tail that ended normally lets the next one skip
// the sweep (a listing of the whole destination); one that did not (no mark
// left, as after a kill) makes it sweep.
TEST_F(DurableTest, OnlyATailAfterOneThatDidNotEndNormallySweeps) {
    FlrTailApplier::Options o;
    o.storeDir = tmp.file("store");
    const std::string temp = root + "/a/" + FlrTailRoot::temporaryName("f");
    flrtest::writeFile(temp, "left by a killed tail");
    { FlrTailApplier first(root, o); }  // no mark yet: sweeps
    EXPECT_NE(::access(temp.c_str(), F_OK), 0);
    EXPECT_EQ(::access((o.storeDir + "/clean-stop").c_str(), F_OK), 0) << "no mark at the end";

    // Found here, it can only have been put by hand: a tail after a clean
    // stop leaves it, and takes the mark away while it runs.
    flrtest::writeFile(temp, "t");
    {
        FlrTailApplier second(root, o);
        EXPECT_EQ(flrtest::readFile(temp), "t");
        EXPECT_NE(::access((o.storeDir + "/clean-stop").c_str(), F_OK), 0);
        ::unlink(temp.c_str());
    }
    flrtest::writeFile(temp, "t");
    ASSERT_EQ(::unlink((o.storeDir + "/clean-stop").c_str()), 0);  // as if killed
    { FlrTailApplier third(root, o); }
    EXPECT_NE(::access(temp.c_str(), F_OK), 0);
}

}  // namespace
