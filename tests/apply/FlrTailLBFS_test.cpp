// LBFS transfers into a tail with a content store: blocks already under the
// root are reused (also across names and restarts), only the rest is asked
// for; every block is verified, so a faulty head or a stale store entry never
// puts wrong bytes under a name.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <list>
#include <map>
#include <vector>

#include "FLR/JxException.h"
#include "TailLBFSFixture.h"
#include "apply/FlrTailApplyEntry.h"
#include "apply/FlrTailLBFS.h"
#include "apply/FlrTailStore.h"
#include "platform/JxFile.h"

using namespace tailtest;

namespace {

struct TailLBFS : ::testing::Test {
    Registry reg;
    flrtest::TempDir tmp;
    std::string root = tmp.path() + "/root";
    std::string storeDir = tmp.path() + "/store";
    std::unique_ptr<Tail> tail;
    long long rangesAsked = 0;  // by the last replicate()

    void SetUp() override {
        ::mkdir(root.c_str(), 0755);
        start();
    }
    void start(int idleSeconds = 60, bool syncFiles = false) {
        tail.reset();
        FlrTailApplier::Options o;
        o.storeDir = storeDir;
        o.lbfsIdleSeconds = idleSeconds;
        tail = std::make_unique<Tail>(root, o, syncFiles);
    }
    std::string at(const std::string& rel) const { return root + "/" + rel; }
    // The counts, once every session has ended and added its own.
    FlrTailApplyStats totals() const {
        for (int i = 0; i < 1000 && tail->service->stats().sessions > 0; ++i) ::usleep(10000);
        return tail->totals();
    }
    // Sends the files in one exchange; the blocks the tail asked for.
    long long replicate(const std::map<std::string, std::string>& files,
                        std::map<std::string, LBFSHead::Fault> faults = {}) {
        LBFSHead head(tail->port());
        head.faults = std::move(faults);
        for (const auto& [path, content] : files) head.announce(path, content);
        head.finish();
        EXPECT_TRUE(head.stopEchoed);
        rangesAsked = head.rangesAsked;
        return head.blocksAsked;
    }
};

TEST_F(TailLBFS, ReusesWhatTheRootHoldsAndAsksOnlyForTheRest) {
    const std::string a = pattern(40000, 1);  // 10 blocks of 4 KiB
    std::string changed = a;
    changed[20000] ^= 1;  // inside the fifth block
    const std::string repeated = std::string(9 * 4096, 'z') + pattern(3136, 12);

    struct Step {
        const char* what;
        std::string path;
        std::string content;
        long long asked;
        long long ranges;  // adjacent blocks are asked for as one range
        long long reused;
    };
    const Step steps[] = {
        {"a new file: every block", "a.bin", a, 10, 1, 0},
        {"the same content under another name: none", "copy/b.bin", a, 0, 0, 40000},
        {"one block changed: that one", "a.bin", changed, 1, 1, 40000 - 4096},
        {"the content again: no block", "c.bin", a, 0, 0, 40000},
        {"repeated content: each distinct block once", "z.bin", repeated, 2, 2, 8 * 4096},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        const FlrTailApplyStats before = totals();
        EXPECT_EQ(replicate({{s.path, s.content}}), s.asked);
        EXPECT_EQ(rangesAsked, s.ranges);
        EXPECT_EQ(flrtest::readFile(at(s.path)), s.content);
        const FlrTailApplyStats after = totals();
        EXPECT_EQ(after.requested - before.requested, s.asked);
        EXPECT_EQ(after.reused - before.reused, s.reused);
        EXPECT_EQ(after.bytes - before.bytes, 40000 - s.reused);
        EXPECT_EQ(after.files - before.files, 1);
        EXPECT_EQ(tail->applier->store()->blocksOf(s.path).size(), 10u);
    }
    EXPECT_EQ(totals().failed, 0);
}

TEST_F(TailLBFS, StoreSurvivesARestart) {
    const std::string a = pattern(30000, 2);
    EXPECT_EQ(replicate({{"a.bin", a}}), 8);
    start();  // a new applier on the same store
    EXPECT_EQ(replicate({{"again/a.bin", a}}), 0);
    EXPECT_EQ(flrtest::readFile(at("again/a.bin")), a);
}

TEST_F(TailLBFS, FaultyHeadFailsTheFileAndStoresNothing) {
    struct Case {
        const char* what;
        LBFSHead::Fault fault;
    };
    const Case cases[] = {
        {"data not matching the announced hash", LBFSHead::Fault::WrongData},
        {"a block nobody asked for", LBFSHead::Fault::WrongOffset},
        {"a request answered without all its blocks", LBFSHead::Fault::Withhold},
        {"a range answered by a piece ending inside a block", LBFSHead::Fault::ShortPiece},
    };
    const std::string old = "the old copy stays";
    const std::string good = pattern(20000, 3);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        flrtest::writeFile(at("bad.bin"), old);
        const FlrTailApplyStats before = totals();
        const std::string sent = pattern(20000, 4 + static_cast<unsigned>(c.fault));
        replicate({{"bad.bin", sent}, {"good.bin", good}}, {{"bad.bin", c.fault}});
        const FlrTailApplyStats after = totals();
        EXPECT_EQ(flrtest::readFile(at("bad.bin")), old);
        EXPECT_EQ(flrtest::readFile(at("good.bin")), good);
        EXPECT_EQ(after.failed - before.failed, 1);
        EXPECT_EQ(after.rejected - before.rejected, c.fault == LBFSHead::Fault::Withhold ? 0 : 1);
        EXPECT_TRUE(tail->applier->store()->blocksOf("bad.bin").empty());
        // Nothing of the refused content is offered to later files.
        EXPECT_EQ(replicate({{"probe.bin", sent}}), 5);
        EXPECT_EQ(flrtest::readFile(at("probe.bin")), sent);
    }
    for (const auto& [name, v] : snapshot(root))
        EXPECT_EQ(name.find(".flrtmp."), std::string::npos) << name;
}

TEST_F(TailLBFS, StaleStoreEntryLeadsToARequestNotToWrongBytes) {
    const std::string a = pattern(40000, 5);
    EXPECT_EQ(replicate({{"a.bin", a}}), 10);
    // Edited behind the service's back: same size, other bytes in block 3.
    std::string edited = a;
    edited[12300] ^= 0x40;
    flrtest::writeFile(at("a.bin"), edited);

    // Blocks 0-2 still match and are taken; block 3 does not, and from then
    // on nothing of the edited file is trusted: 7 asked for.
    EXPECT_EQ(replicate({{"b.bin", a}}), 7);
    EXPECT_EQ(flrtest::readFile(at("b.bin")), a);
    // b.bin now serves the content; a.bin's entries are gone.
    EXPECT_TRUE(tail->applier->store()->blocksOf("a.bin").empty());
    EXPECT_EQ(replicate({{"c.bin", a}}), 0);
    EXPECT_EQ(flrtest::readFile(at("c.bin")), a);
}

TEST_F(TailLBFS, ACopyTheStoreDoesNotKnowStillServesItsOwnPath) {
    // Put in place by another method (or before the store existed): the
    // tail cuts its own copy, so one change costs about one block, and a
    // copy edited since is verified block by block, never trusted.
    const std::string a = pattern(300000, 7);
    std::string changed = a;
    changed[150000] ^= 0x01;
    flrtest::writeFile(at("old.bin"), a);
    const size_t total = cutBlocks(changed, 0).size();
    ASSERT_GT(total, 10u);
    LBFSHead head(tail->port());
    head.announce("old.bin", changed, "", 0);
    head.finish();
    EXPECT_GE(head.blocksAsked, 1);
    EXPECT_LE(head.blocksAsked, 2);
    EXPECT_EQ(flrtest::readFile(at("old.bin")), changed);

    // Another file's old copy differs everywhere: every block is asked for.
    flrtest::writeFile(at("other.bin"), pattern(300000, 8));
    EXPECT_EQ(replicate({{"other.bin", a}}), static_cast<long long>(cutBlocks(a).size()));
    EXPECT_EQ(flrtest::readFile(at("other.bin")), a);
}

// A file another method brings as one stream is recorded with the blocks of
// what it now holds, and so is one rebuilt from its old copy (MD5 with a
// block kept: the old record where nothing changed, the rest cut again; the
// old record here is the fixed blocks it came in); one removed by the mirror
// loses its entry.
TEST_F(TailLBFS, OtherMethodsRecordOrDropStoreEntries) {
    const std::string a = pattern(20000, 6);
    const std::string b = pattern(70000, 7);
    replicate({{"full.bin", a}, {"md5.bin", a}, {"gone/x.bin", a}});
    std::string edited = a;
    edited.replace(4096, 4096, std::string(4096, 'e'));
    {
        Head head(tail->port());
        head.sendFile("full.bin", b, 0644, 5000);
        head.askSums("md5.bin", FlrNetMirHeader::kMD5);
        head.net.sendMirHeader(header("md5.bin", S_IFREG | 0644, a.size(), FlrNetMirHeader::kMD5));
        head.net.sendMirSeek(4096);
        head.net.sendMirData(edited.data() + 4096, static_cast<int>(edited.size() - 4096));
        head.net.sendMirEOF();
        head.sync();
        EXPECT_EQ(flrtest::readFile(at("md5.bin")), edited);
    }
    for (const auto& [name, content] :
         {std::pair{"full.bin", &b},
          std::pair{"md5.bin", static_cast<const std::string*>(&edited)}}) {
        SCOPED_TRACE(name);
        std::vector<JxLBFS::HashBlock> expected;
        const uint64_t kept = std::string(name) == "md5.bin" ? 4096 : 0;
        if (kept) expected.push_back(cutBlocks(a).front());
        for (auto blk : cutBlocks(content->substr(kept), 0)) {
            blk.block.offset += kept;
            expected.push_back(blk);
        }
        const std::vector<JxLBFS::HashBlock> stored = tail->applier->store()->blocksOf(name);
        ASSERT_EQ(stored.size(), expected.size());
        for (size_t i = 0; i < stored.size(); ++i) {
            EXPECT_EQ(stored[i].block.offset, expected[i].block.offset);
            EXPECT_EQ(stored[i].block.length, expected[i].block.length);
            EXPECT_EQ(std::memcmp(stored[i].hash, expected[i].hash, 32), 0) << "block " << i;
        }
    }
    EXPECT_EQ(tail->applier->store()->blocksOf("gone/x.bin").size(), 5u);
    {
        // The recorded content serves a later file under another name.
        LBFSHead head(tail->port());
        head.announce("copy.bin", b, "", 0);
        head.finish();
        EXPECT_EQ(head.blocksAsked, 0);
    }
    EXPECT_EQ(flrtest::readFile(at("copy.bin")), b);
    {
        Head head(tail->port());
        const std::string list = root + "\n\tfull.bin\n";
        const std::string file = tmp.path() + "/dirchange";
        flrtest::writeFile(file, list);
        head.net.sendMirSpecFile(FLR_SPEC_FILE_DIRCHANGE, file.c_str());
        head.sync();
    }
    EXPECT_NE(::access(at("gone/x.bin").c_str(), F_OK), 0);
    EXPECT_TRUE(tail->applier->store()->blocksOf("gone/x.bin").empty());
}

// One LBFS_START chunk as given (sendLBFSStart would mark it last).
void sendChunk(FlrNetHead& net, const std::vector<JxLBFS::HashBlock>& blocks, bool last) {
    std::vector<unsigned char> hashes;
    std::vector<uint64_t> offsets;
    std::vector<uint32_t> lengths;
    for (const auto& b : blocks) {
        hashes.insert(hashes.end(), b.hash, b.hash + 32);
        offsets.push_back(b.block.offset);
        lengths.push_back(b.block.length);
    }
    FlrNetMessage m(FLR_NET_LBFS_START);
    m.lbfsStart.last = last ? 1 : 0;
    m.lbfsStart.count = static_cast<int>(blocks.size());
    m.lbfsStart.hashes = reinterpret_cast<unsigned char(*)[32]>(hashes.data());
    m.lbfsStart.offsets = offsets.data();
    m.lbfsStart.lengths = lengths.data();
    m.lbfsStart.path = "/src/x";
    m.lbfsStart.fid = "000000000000000000000000000000000000000000000000";
    net.sendMessage(m, 30, false);
}

TEST_F(TailLBFS, MalformedBlockListsFailTheFile) {
    const std::string content = pattern(12288, 10);
    const std::list<JxLBFS::HashBlock> cut = cutBlocks(content);
    const std::vector<JxLBFS::HashBlock> good(cut.begin(), cut.end());  // 3 blocks
    auto edited = [&](auto change) {
        std::vector<JxLBFS::HashBlock> v = good;
        change(v);
        return v;
    };
    struct Case {
        const char* what;
        std::vector<JxLBFS::HashBlock> blocks;
        bool last;
        uint8_t method;
        long long asked;  // before the fault showed
    };
    const Case cases[] = {
        {"a gap", edited([](auto& v) { v[1].block.offset += 1; }), true, FlrNetMirHeader::kLBFS, 0},
        {"an overlap", edited([](auto& v) { v[2].block.offset -= 1; }), true,
         FlrNetMirHeader::kLBFS, 0},
        {"an empty block", edited([](auto& v) { v[1].block.length = 0; }), true,
         FlrNetMirHeader::kLBFS, 0},
        {"a block over 65535 bytes", edited([](auto& v) { v[0].block.length = 70000; }), true,
         FlrNetMirHeader::kLBFS, 0},
        {"MIR_EOF before the last chunk", good, false, FlrNetMirHeader::kLBFS, 3},
        {"a block list in a full copy", good, true, FlrNetMirHeader::kFull, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        flrtest::writeFile(at("x.bin"), "old");
        const FlrTailApplyStats before = totals();
        long long asked = 0;
        {
            LBFSHead head(tail->port());
            head.files["/src/x"] = content;
            head.announced["/src/x"] = cut;
            head.net.sendMirHeader(header("x.bin", S_IFREG | 0644, content.size(), c.method));
            sendChunk(head.net, c.blocks, c.last);
            head.net.sendMirEOF();
            head.finish();
            asked = head.blocksAsked;
        }
        EXPECT_EQ(flrtest::readFile(at("x.bin")), "old");
        EXPECT_EQ(totals().failed - before.failed, 1);
        EXPECT_EQ(asked, c.asked);
    }
    for (const auto& [name, v] : snapshot(root))
        EXPECT_EQ(name.find(".flrtmp."), std::string::npos) << name;
}

TEST_F(TailLBFS, FolderAfterItsFilesKeepsItsTimes) {
    // The folder's entry comes after its files, before their blocks: it
    // must get its times after they are renamed into it.
    LBFSHead head(tail->port());
    head.announce("d/a.bin", pattern(10000, 7));
    head.net.sendMirHeader(header("d", S_IFDIR | 0755, 0));
    head.net.sendMirEOF();
    head.finish();
    struct stat st {};
    ASSERT_EQ(::stat(at("d").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, 1600000100);
    EXPECT_EQ(flrtest::readFile(at("d/a.bin")), pattern(10000, 7));
}

// Counts whole file system syncs, from every thread of the tail.
struct FileSystemSyncCounter : jx::PosixFileOps {
    std::atomic<int> syncs{0};
    int syncFileSystem(int fd) override {
        ++syncs;
        return jx::PosixFileOps::syncFileSystem(fd);
    }
};

// One connection sends each folder's entry right after its files (a moved
// tree, its content already under the root): the folder waits for its files
// in the batch, not for a commit of its own. A sync per folder made such a
// resync five times slower; every folder must still get its times after its
// files are in it.
TEST_F(TailLBFS, FoldersAfterTheirFilesShareBatchesAndKeepTheirTimes) {
    start(60, true);  // completed files wait in batches
    constexpr int kFolders = 40;
    auto content = [](int d) { return pattern(9000 + d, 500u + static_cast<unsigned>(d)); };
    std::map<std::string, std::string> old;
    for (int d = 0; d < kFolders; ++d) old["old/d" + std::to_string(d) + "/a.bin"] = content(d);
    replicate(old);

    FileSystemSyncCounter counter;
    jx::ScopedFileOps scoped(counter);
    {
        LBFSHead head(tail->port());
        for (int d = 0; d < kFolders; ++d) {
            const std::string dir = "new/d" + std::to_string(d);
            head.announce(dir + "/a.bin", content(d));
            head.net.sendMirHeader(header(dir, S_IFDIR | 0755, 0));
            head.net.sendMirEOF();
        }
        head.finish();
        EXPECT_EQ(head.blocksAsked, 0);
    }
    for (int d = 0; d < kFolders; ++d) {
        const std::string dir = "new/d" + std::to_string(d);
        EXPECT_EQ(flrtest::readFile(at(dir + "/a.bin")), content(d)) << dir;
        struct stat st {};
        ASSERT_EQ(::stat(at(dir).c_str(), &st), 0) << dir;
        EXPECT_EQ(st.st_mtime, 1600000100) << dir;
    }
    EXPECT_LT(counter.syncs.load(), kFolders / 4);
    EXPECT_EQ(totals().failed, 0);
}

// A file whose blocks all came before its session began to wait for it (at
// the folder's entry) is put in place by that wait, not left for the block
// connection to commit once it idles: a busy block connection held it back
// until the wait gave up, and the ping's answer came before the file.
TEST_F(TailLBFS, AFileCompletedBeforeItsSessionWaitsIsPlacedByTheWait) {
    start(2, true);  // completed files wait in batches
    const std::string content = pattern(20000, 31);
    LBFSHead head(tail->port());
    head.announce("d/a.bin", content);
    FlrNetMessage m;
    ASSERT_EQ(head.net.recvMessage(&m, 30), 0);
    ASSERT_EQ(m.type, FLR_NET_LBFS_BLOCK_REQ);
    head.answer(m.lbfsBlockReq);
    head.blockLink->flush(30);
    // The block connection never idles from now on (an idle one commits what it holds).
    std::atomic<bool> chatting{true};
    std::thread chatter([&] {
        while (chatting) {
            head.blockLink->sendLBFSDone(0);
            head.blockLink->flush(30);
            ::usleep(100000);
        }
    });
    // Completed: the temporary has the header's times.
    auto completed = [&] {
        DIR* d = ::opendir(at("d").c_str());
        if (!d) return false;
        bool done = false;
        while (struct dirent* e = ::readdir(d)) {
            struct stat st {};
            if (std::strstr(e->d_name, ".flrtmp.") &&
                ::stat(at(std::string("d/") + e->d_name).c_str(), &st) == 0 &&
                st.st_mtime == 1600000100)
                done = true;
        }
        ::closedir(d);
        return done;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!completed() && std::chrono::steady_clock::now() < deadline) ::usleep(5000);
    EXPECT_TRUE(completed());
    head.net.sendMirHeader(header("d", S_IFDIR | 0755, 0));
    head.net.sendMirEOF();
    head.net.ping();
    const std::string placed = flrtest::readFile(at("d/a.bin"));
    chatting = false;
    chatter.join();
    EXPECT_EQ(placed, content);
    head.finish();
    EXPECT_EQ(flrtest::readFile(at("d/a.bin")), content);
}

TEST_F(TailLBFS, HostilePathsAreRefusedAndHeadPathsOnlyEchoed) {
    const std::string outside = tmp.path() + "/outside";
    ::mkdir(outside.c_str(), 0755);
    ASSERT_EQ(::symlink(outside.c_str(), at("link").c_str()), 0);
    const std::string content = pattern(9000, 8);
    std::map<std::string, std::set<uint64_t>> requested;
    std::string fidText;
    {
        LBFSHead head(tail->port());
        for (const std::string& p :
             {std::string("../escape.bin"), outside + "/abs.bin", std::string("link/via.bin")})
            head.announce(p, content, "/head/" + std::to_string(head.files.size()));
        // The head's own path names nothing on the tail: it is echoed as is.
        head.announce("ok.bin", content, "/etc/passwd");
        head.finish();
        requested = head.requested;
        fidText = head.requestFid["/etc/passwd"];
    }
    EXPECT_EQ(totals().refused, 3);
    EXPECT_TRUE(snapshot(outside).empty());
    EXPECT_NE(::access((tmp.path() + "/escape.bin").c_str(), F_OK), 0);
    EXPECT_EQ(flrtest::readFile(at("ok.bin")), content);
    ASSERT_EQ(requested.size(), 1u) << "refused entries ask for nothing";
    EXPECT_EQ(requested.begin()->first, "/etc/passwd");
    EXPECT_EQ(fidText.size(), 48u);
}

TEST_F(TailLBFS, BlocksThatNeverComeAreDroppedAfterTheIdleTime) {
    start(1);
    flrtest::writeFile(at("a.bin"), "old");
    {
        LBFSHead head(tail->port());
        head.announce("a.bin", pattern(9000, 9));
        head.net.sendLBFSStop();
        FlrNetMessage m;
        while (head.net.recvMessage(&m, 30) == 0 && m.type != FLR_NET_LBFS_STOP) {
        }
        head.net.ping();  // returns once the tail gave up on the file
    }
    EXPECT_EQ(flrtest::readFile(at("a.bin")), "old");
    EXPECT_EQ(totals().cut, 1);
}

// A head killed while its main session waits for blocks (here: for the files
// of a folder whose entry came) must not leave that session waiting out the
// idle time with their temporaries beside the next run: the hang-up of its
// own connection ends the wait. Also when the block connection fed another
// file first, and when it fed nothing at all.
TEST_F(TailLBFS, AHeadKilledWhileTheTailWaitsForItsBlocksLeavesNoTemporaries) {
    start(600);  // the idle time cannot be what clears them
    for (const bool fedFirst : {false, true}) {
        SCOPED_TRACE(fedFirst ? "one block of the first file came" : "no block came");
        const FlrTailApplyStats before = totals();
        {
            LBFSHead head(tail->port());
            head.announce("d/a.bin", pattern(20000, 21));
            head.announce("d/b.bin", pattern(20000, 22));
            if (fedFirst) {
                FlrNetMessage m;
                ASSERT_EQ(head.net.recvMessage(&m, 30), 0);
                ASSERT_EQ(m.type, FLR_NET_LBFS_BLOCK_REQ);
                const FlrNetLBFSBlockReq& req = m.lbfsBlockReq;
                const std::string& content = head.files[req.str1];
                // The first block of the first range (4096 bytes) only.
                JxLBFS::Block b{req.offsetAt(0), 4096};
                head.blockLink->sendLBFSBlock(req.value, b, content.data() + b.offset);
                head.blockLink->flush(30);
            }
            // The folder's entry makes the session wait for its files.
            head.net.sendMirHeader(header("d", S_IFDIR | 0755, 0));
            head.net.sendMirEOF();
            head.net.flush(30);
            head.net.abort("killed");
            head.blockLink->abort("killed");
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (hasTemporaries(root) && std::chrono::steady_clock::now() < deadline) ::usleep(20000);
        EXPECT_FALSE(hasTemporaries(root));
        // A session adds its counts when it ends, after its files went.
        while (totals().cut - before.cut < 2 && std::chrono::steady_clock::now() < deadline)
            ::usleep(20000);
        EXPECT_EQ(totals().cut - before.cut, 2);
        EXPECT_NE(::access(at("d/a.bin").c_str(), F_OK), 0);
    }
}

TEST(TailStore, RefusesAFolderInsideTheRootAndASecondUser) {
    Registry reg;
    flrtest::TempDir tmp;
    const std::string root = tmp.path() + "/root";
    ::mkdir(root.c_str(), 0755);
    for (const std::string& inside : {root + "/.store", root})
        EXPECT_THROW({ FlrTailStore s(inside, root); }, JxException) << inside;
    FlrTailStore first(tmp.path() + "/store", root);
    EXPECT_THROW({ FlrTailStore s(tmp.path() + "/store", root); }, JxException);
}

// Records and forgets are written together later; lookups see them in order,
// a close writes them, and a process killed before that loses only records.
TEST(TailStore, GatheredChangesKeepTheirOrderAndAKillLosesOnlyRecords) {
    Registry reg;
    flrtest::TempDir tmp;
    const std::string root = tmp.path() + "/root", dir = tmp.path() + "/store";
    ::mkdir(root.c_str(), 0755);
    const std::list<JxLBFS::HashBlock> list = cutBlocks(pattern(30000, 9));
    const std::vector<JxLBFS::HashBlock> blocks(list.begin(), list.end());
    {
        FlrTailStore store(dir, root);
        store.record("gone", blocks);
        store.forget("gone");
        store.record("kept", blocks);
        EXPECT_TRUE(store.blocksOf("gone").empty());
        FlrTailStore::Hit hit;
        ASSERT_TRUE(store.find(blocks[1].hash, &hit));
        EXPECT_EQ(hit.rel, "kept");
        store.forget("kept");
        store.record("again", blocks);
    }
    EXPECT_EQ(
        0, flrtest::runInChild([&] {
            FlrTailStore store(dir, root);
            if (store.blocksOf("again").size() != blocks.size() || !store.blocksOf("kept").empty())
                return 1;
            store.record("lost", blocks);
            _exit(0);  // killed before the gathered record was written
        }));
    FlrTailStore store(dir, root);
    EXPECT_TRUE(store.blocksOf("lost").empty());
    EXPECT_EQ(store.blocksOf("again").size(), blocks.size());
}

// A head announcing more blocks than a session may hold (here for a file it
// declares at 1 TiB) gets the file refused before the list is kept, and the
// session goes on with the next file. So do blocks shorter than the chunker
// ever cuts, which would let a list grow past any size.
TEST_F(TailLBFS, BlockListsBeyondTheSessionsBudgetAreRefused) {
    struct Case {
        const char* what;
        size_t blocks;
        uint32_t length;
    };
    const Case cases[] = {
        {"more blocks than the budget", FlrTailLBFSRegistry::kMaxBlocksPerSession + 1, 2048},
        {"blocks below the chunker's minimum", 1000, 16},
    };
    const std::string good = pattern(20000, 9);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const FlrTailApplyStats before = totals();
        {
            LBFSHead head(tail->port());
            head.net.sendMirHeader(
                header("huge.bin", S_IFREG | 0644, uint64_t{1} << 40, FlrNetMirHeader::kLBFS));
            std::list<JxLBFS::HashBlock> blocks;
            for (size_t i = 0; i < c.blocks; ++i) {
                JxLBFS::HashBlock b{};
                b.block.offset = i * c.length;
                b.block.length = c.length;
                blocks.push_back(b);
            }
            head.net.sendLBFSStart("huge.bin", fsf_fid{}, blocks);
            head.net.sendMirEOF();
            head.announce("good.bin", good);
            head.finish();
            EXPECT_TRUE(head.stopEchoed);
        }
        const FlrTailApplyStats after = totals();
        EXPECT_EQ(after.failed - before.failed, 1);
        EXPECT_EQ(flrtest::readFile(at("good.bin")), good);
        EXPECT_NE(::access(at("huge.bin").c_str(), F_OK), 0);
    }
}

}  // namespace
