// The head's LBFS exchange against a scripted tail: which entries go by
// blocks, that exactly the requested bytes travel, how the LBFS thread
// survives a vanished file and ends on flush, abort and destruction, the
// saved-bytes figure, and the multi-stream backup over LBFS.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "LBFSTestTail.h"
#include "platform/EvDebug.h"
#include "scan/FlrCollectFile.h"
#include "scan/FlrCollectText.h"
#include "transfer/FlrBackup.h"
#include "transfer/FlrMultiStreamBackup.h"

namespace {

using lbfstest::Announce;
using lbfstest::LBFSTail;

std::string lbfsRandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen() & 0xFF);
    return s;
}

// Every other announced block, starting with the first.
std::list<JxLBFS::Block> everyOther(const Announce& a) {
    std::list<JxLBFS::Block> out;
    for (size_t i = 0; i < a.blocks.size(); i += 2) out.push_back(a.blocks[i].block);
    return out;
}

class BackupLBFS : public ::testing::Test {
  protected:
    void SetUp() override { head.connect("127.0.0.1", tail.port(), 0); }

    std::string put(const std::string& name, const std::string& content) {
        flrtest::writeFile(src.file(name), content);
        return src.file(name);
    }
    std::string collect(const std::vector<std::string>& paths) {
        std::string text;
        for (const std::string& p : paths) text += FlrCollectText::escape(p) + "\n";
        const std::string path = work.file("collect.txt");
        flrtest::writeFile(path, text);
        return path;
    }
    std::unique_ptr<FlrBackup> driver(bool lbfs = true) {
        auto b = std::make_unique<FlrBackup>(&head, &abortFlag, nullptr);
        b->addDirPair(src.path().c_str(), "/dst");
        b->useLBFS = lbfs;
        return b;
    }
    void run(FlrBackup& b, const std::vector<std::string>& paths, bool sendOffsets = false) {
        b.backup(collect(paths).c_str(), 0, sendOffsets, -1);
        head.ping();  // the tail has seen everything before the reply
    }
    // The bytes the tail received for path's blocks equal the source at
    // every received offset; returns the number of bytes received.
    size_t checkBlocks(const std::string& path, const std::string& content) {
        const Announce a = tail.announceOf(path);
        EXPECT_NE(0u, a.token) << path << " was not announced";
        size_t bytes = 0;
        for (const lbfstest::Block& b : tail.blocks()) {
            if (b.token != a.token) continue;
            EXPECT_EQ(content.substr(b.offset, b.data.size()), b.data) << path << " @" << b.offset;
            bytes += b.data.size();
        }
        return bytes;
    }

    LBFSTail tail;
    flrtest::TempDir src;
    flrtest::TempDir work;
    FlrNetHead head;
    JxSafeFlags abortFlag;
};

TEST(LBFSChoice, RunLoopNeedsATailAboveVersionThree) {
    using L = FlrBackup::RunLoop;
    struct Case {
        bool lbfs, md5, rsync;
        uint32_t peer;
        L expected;
        bool newNames = false;
    } cases[] = {
        {true, false, false, 4, L::LBFS},
        {true, true, true, 4, L::LBFS},
        {true, true, false, 3, L::MD5OrRSync},
        {true, false, true, 3, L::MD5OrRSync},
        {true, false, false, 3, L::Plain},
        {false, true, false, 4, L::MD5OrRSync},
        {false, false, false, 4, L::Plain},
        {true, false, false, 0, L::Plain},
        // LBFS for new names only: inside the pipeline, when LBFS is possible.
        {true, true, true, 4, L::MD5OrRSyncLBFS, true},
        {true, false, true, 4, L::MD5OrRSyncLBFS, true},
        {true, true, true, 3, L::MD5OrRSync, true},
        {false, true, true, 4, L::MD5OrRSync, true},
        {true, false, false, 4, L::LBFS, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.expected, FlrBackup::chooseRunLoop(c.lbfs, c.md5, c.rsync, c.peer, c.newNames))
            << c.lbfs << c.md5 << c.rsync << " peer " << c.peer << " new names " << c.newNames;
}

TEST(LBFSChoice, SavedPercentFollowsTheFormula) {
    struct Case {
        long long total;
        unsigned long long blocks, files;
        float expected;
    } cases[] = {
        {0, 0, 0, 0.0f},           // nothing sent
        {1000, 1000, 1000, 0.0f},  // every block asked for
        {100, 100, 1000, 90.0f},   // a tenth of the file travelled
        {600, 100, 1000, 60.0f},   // 500 bytes of whole files beside it
        {500, 0, 0, 0.0f},         // no LBFS file at all
        {0, 0, 4096, 100.0f},      // the tail had everything
    };
    for (const Case& c : cases)
        EXPECT_FLOAT_EQ(c.expected, FlrBackup::lbfsSavedPercent(c.total, c.blocks, c.files))
            << c.total << " " << c.blocks << " " << c.files;
}

TEST_F(BackupLBFS, FilesAbove256BytesGoByBlocks) {
    ASSERT_EQ(0, ::mkdir(src.file("d").c_str(), 0755));
    ASSERT_EQ(0, ::symlink("target", src.file("link").c_str()));
    const std::vector<size_t> sizes = {0, 1, 256, 257, 70000};
    std::vector<std::string> paths = {src.file("d"), src.file("link")};
    std::vector<std::string> contents;
    for (size_t n : sizes) {
        contents.push_back(lbfsRandomBytes(n, static_cast<unsigned>(n)));
        paths.push_back(put("f" + std::to_string(n), contents.back()));
    }
    for (bool lbfs : {false, true}) {
        SCOPED_TRACE(lbfs ? "LBFS on" : "LBFS off");
        auto b = driver(lbfs);
        const size_t before = tail.headers().size();
        run(*b, paths);
        std::vector<lbfstest::Header> h = tail.headers();
        ASSERT_EQ(before + paths.size(), h.size());
        h.erase(h.begin(), h.begin() + static_cast<long>(before));
        EXPECT_EQ(FlrNetMirHeader::kFull, h[0].method);  // folder
        EXPECT_EQ(FlrNetMirHeader::kFull, h[1].method);  // link
        for (size_t i = 0; i < sizes.size(); ++i) {
            const int expected = lbfs && sizes[i] > 256 ? 3 : 0;
            EXPECT_EQ(expected, h[i + 2].method) << sizes[i] << " bytes";
            EXPECT_EQ(sizes[i], h[i + 2].size);
        }
        EXPECT_EQ(lbfs ? 2 : 0, b->getMethodCount(FlrNetMirHeader::kLBFS));
        EXPECT_FALSE(b->isLBFSRunning());
        // Nothing reads the main connection any more: the reply is ours.
        EXPECT_NO_THROW(head.ping());
    }
    // Every block was asked for: each file arrived whole, nothing was saved.
    ASSERT_EQ(2u, tail.announced().size());
    EXPECT_EQ(257u, checkBlocks(src.file("f257"), contents[3]));
    EXPECT_EQ(70000u, checkBlocks(src.file("f70000"), contents[4]));
    EXPECT_EQ(2u, tail.dones().size());
    EXPECT_EQ(1, tail.stops());  // the run without LBFS files sends no stop
}

TEST_F(BackupLBFS, HeadersCarryCollectOffsetsOnlyWithoutLBFS) {
    const std::vector<std::string> paths = {put("a", lbfsRandomBytes(1000, 1)), put("b", "small")};
    for (bool lbfs : {false, true}) {
        SCOPED_TRACE(lbfs ? "LBFS on" : "LBFS off");
        auto b = driver(lbfs);
        const size_t before = tail.headers().size();
        run(*b, paths, true);
        const std::vector<lbfstest::Header> h = tail.headers();
        ASSERT_EQ(before + 2, h.size());
        for (size_t i = before; i < h.size(); ++i) {
            if (lbfs)
                EXPECT_EQ(0u, h[i].offset) << h[i].path;
            else
                EXPECT_GT(h[i].offset, 0u) << h[i].path;
        }
    }
}

TEST_F(BackupLBFS, OnlyRequestedBlocksTravelAndTheFigureCountsThem) {
    const std::string content = lbfsRandomBytes(300000, 7);
    const std::string path = put("big", content);
    tail.setChooser(everyOther);
    auto b = driver();
    EXPECT_FLOAT_EQ(0.0f, b->getLBFSStats(nullptr, nullptr));
    run(*b, {path});
    const Announce a = tail.announceOf(path);
    ASSERT_GT(a.blocks.size(), 4u);
    std::set<uint64_t> wanted, got;
    for (const JxLBFS::Block& blk : everyOther(a)) wanted.insert(blk.offset);
    for (const lbfstest::Block& blk : tail.blocks()) got.insert(blk.offset);
    EXPECT_EQ(wanted, got);
    const size_t sent = checkBlocks(path, content);
    EXPECT_EQ(std::vector<uint64_t>{a.token}, tail.dones());
    EXPECT_EQ(300000u, b->getLBFSFileBytes());
    EXPECT_EQ(sent, b->getLBFSBlockBytes());
    EXPECT_EQ(static_cast<long long>(sent), b->getTotalBytes());
    EXPECT_NEAR(100.0 * (300000.0 - static_cast<double>(sent)) / 300000.0,
                b->getLBFSStats(nullptr, nullptr), 0.01);
}

// The chunker never cuts blocks this long, but a tail may ask for any range
// of the announced file: it gets every byte of it, also past the thread's
// buffer and in pieces past the largest single message; a file that shrank
// since gives what is there.
TEST_F(BackupLBFS, LongRangesAreSentCompletely) {
    const size_t size = (5u << 20) + 1000;
    const std::string content = lbfsRandomBytes(size, 3);
    const std::string path = put("huge", content);
    const uint32_t first = 300000;
    const uint32_t second = static_cast<uint32_t>(FlrBackup::kLBFSMaxPiece) + 700;
    tail.setChooser([&](const Announce&) {
        ::truncate(path.c_str(), static_cast<off_t>(size - 900));
        return std::list<JxLBFS::Block>{{0, first}, {first, second}, {size - 1000, 1000}};
    });
    auto b = driver();
    run(*b, {path});
    const uint64_t token = tail.announceOf(path).token;
    std::vector<std::pair<uint64_t, size_t>> pieces;
    for (const lbfstest::Block& blk : tail.blocks())
        if (blk.token == token) pieces.emplace_back(blk.offset, blk.data.size());
    ASSERT_EQ(4u, pieces.size());
    EXPECT_EQ((std::pair<uint64_t, size_t>{0, first}), pieces[0]);
    EXPECT_EQ((std::pair<uint64_t, size_t>{first, FlrBackup::kLBFSMaxPiece}), pieces[1]);
    EXPECT_EQ((std::pair<uint64_t, size_t>{first + FlrBackup::kLBFSMaxPiece, 700}), pieces[2]);
    EXPECT_EQ((std::pair<uint64_t, size_t>{size - 1000, 100}), pieces[3]);
    EXPECT_EQ(first + second + 100u, checkBlocks(path, content));
}

TEST_F(BackupLBFS, AVanishedFileOrAStrayMessageDoesNotStopTheThread) {
    EvDebugCapture log;
    const std::string gone = put("gone", lbfsRandomBytes(5000, 1));
    const std::string kept = lbfsRandomBytes(40000, 2);
    const std::string stays = put("stays", kept);
    tail.setChooser([&](const Announce& a) {
        if (a.path == gone) ::unlink(gone.c_str());
        std::list<JxLBFS::Block> all;
        for (const JxLBFS::HashBlock& h : a.blocks) all.push_back(h.block);
        return all;
    });
    tail.setBeforeEcho([](FlrNetTail& net) { net.pong(); });
    auto b = driver();
    run(*b, {gone, stays});
    EXPECT_TRUE(log.containsFragment("Couldn't open " + gone + " ("));
    EXPECT_TRUE(log.contains("Unknown message FLR_NET_PING ignored"));
    const uint64_t goneToken = tail.announceOf(gone).token;
    EXPECT_TRUE(tail.bytesOf(goneToken).empty());
    EXPECT_EQ(kept, tail.bytesOf(tail.announceOf(stays).token));
    // The tail hears that nothing more comes for the vanished file.
    const std::vector<uint64_t> dones = tail.dones();
    ASSERT_EQ(2u, dones.size());
    EXPECT_EQ(goneToken, dones[0]);
}

TEST_F(BackupLBFS, AbortWhileWaitingForTheStopEchoEndsTheThread) {
    tail.setEchoStop(false);
    const std::string path = put("f", lbfsRandomBytes(20000, 4));
    auto b = driver();
    auto done = std::async(std::launch::async, [&] { run(*b, {path}); });
    for (int i = 0; i < 2000 && tail.stops() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(1, tail.stops());
    EXPECT_TRUE(b->isLBFSRunning());
    abortFlag.set(1);
    try {
        done.get();
        ADD_FAILURE() << "the run ended without its exchange";
    } catch (const JxException& e) {
        EXPECT_EQ("Aborted", e.getMessage());
    }
    EXPECT_FALSE(b->isLBFSRunning());
    EXPECT_NO_THROW(head.ping());
}

// Write intervals switched to LBFS start the thread outside a run: the
// owner flushes, aborts or destroys the driver, and each ends the thread.
TEST_F(BackupLBFS, FlushAbortAndDestructionEndAThreadStartedByWriteIntervals) {
    const std::string content = lbfsRandomBytes(200000, 5);
    const std::string path = put("w", content);
    const std::list<unsigned long long> starts = {0}, ends = {200000};
    // Flushing last: its thread also answers the requests the others left.
    for (const char* how : {"abort", "destroy", "flush"}) {
        SCOPED_TRACE(how);
        auto b = driver();
        b->sendRegFileWBA(fsf_fid::fid0, path.c_str(), starts, ends);
        EXPECT_TRUE(b->isLBFSRunning());
        if (std::string(how) == "flush") {
            b->flushLBFS();
            EXPECT_EQ(content, tail.bytesOf(tail.announced().back().token));
            EXPECT_EQ(FlrNetMirHeader::kLBFS, tail.headers().back().method);
            EXPECT_EQ("/dst/w", tail.headers().back().path);
        } else if (std::string(how) == "abort") {
            b->abortLBFS();
        }
        EXPECT_EQ(std::string(how) == "destroy", b->isLBFSRunning());
        b.reset();
    }
    // The main connection still works after every way of ending.
    EXPECT_NO_THROW(head.ping());
}

TEST_F(BackupLBFS, MultiStreamRunsEveryStreamThroughLBFS) {
    ASSERT_EQ(0, ::mkdir(src.file("x").c_str(), 0755));
    std::vector<std::string> paths = {src.file("x")};
    std::map<std::string, std::string> contents;
    for (int i = 0; i < 9; ++i) {
        const std::string name = "x/" + std::to_string(i);
        contents[src.file(name)] = lbfsRandomBytes(static_cast<size_t>(i) * 9000 + 100, i);
        paths.push_back(put(name, contents[src.file(name)]));
    }
    tail.setChooser(everyOther);
    FlrMultiStreamBackup ms(3);
    ms.wantLBFS = true;
    ms.addDirPair(src.path(), "/dst");
    ms.backup(&head, collect(paths).c_str(), 0, false, &abortFlag, -1);
    EXPECT_EQ(8, ms.getMethodCount(FlrNetMirHeader::kLBFS));  // all but the 100-byte file
    EXPECT_EQ(2, ms.getMethodCount(FlrNetMirHeader::kFull));  // it and the folder
    ASSERT_EQ(8u, tail.announced().size());
    unsigned long long fileBytes = 0, sent = 0;
    for (const Announce& a : tail.announced()) {
        fileBytes += contents[a.path].size();
        sent += checkBlocks(a.path, contents[a.path]);
    }
    unsigned long blocks = 0, files = 0;
    const float figure = ms.getLBFSStats(&blocks, &files);
    EXPECT_EQ(sent, blocks);
    EXPECT_EQ(fileBytes, files);
    const double total = static_cast<double>(sent) + 100.0;  // the small file went whole
    const double logical = total - static_cast<double>(sent) + static_cast<double>(fileBytes);
    EXPECT_NEAR(100.0 * (logical - total) / logical, figure, 0.01);
    EXPECT_GT(figure, 10.0f);
}

// A tail may ask only for blocks of what this run announced, of that very
// file and within its length; any other request ends the exchange and fails
// the run, and nothing of the file it named travels.
TEST_F(BackupLBFS, RequestsForWhatWasNotAnnouncedEndTheRun) {
    flrtest::TempDir outside;
    const std::string secret = outside.file("shadow");
    flrtest::writeFile(secret, std::string(4096, 'S'));
    const std::string announced = lbfsRandomBytes(40000, 5);
    struct Case {
        const char* name;
        std::function<std::list<JxLBFS::Block>(Announce&)> hostile;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"a path outside the source",
         [&](Announce& a) {
             a.path = secret;
             return std::list<JxLBFS::Block>{{0, 4096}};
         },
         "which this run did not announce; the exchange is ended"},
        {"another file id",
         [](Announce& a) {
             a.fid = std::string(fsf_fid::kHexLen, '7');
             return std::list<JxLBFS::Block>{{0, 100}};
         },
         "which this run did not announce; the exchange is ended"},
        {"bytes beyond the announced length",
         [](Announce&) {
             return std::list<JxLBFS::Block>{{0, 100}, {39990, 100}};
         },
         "beyond the 40000 announced; the exchange is ended"},
        {"an offset far beyond it",
         [](Announce&) {
             return std::list<JxLBFS::Block>{{1ull << 40, 10}};
         },
         "beyond the 40000 announced; the exchange is ended"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LBFSTail hostile;
        FlrNetHead conn;
        conn.connect("127.0.0.1", hostile.port(), 0);
        hostile.setChooser(c.hostile);
        const std::string path = put("file", announced);
        flrtest::writeFile(path + ".more", announced);
        FlrBackup b(&conn, &abortFlag, nullptr);
        b.addDirPair(src.path().c_str(), "/dst");
        b.useLBFS = true;
        std::string error;
        try {
            b.backup(collect({path, path + ".more"}).c_str(), 0, false, -1);
        } catch (const JxException& e) {
            error = e.getMessage();
        }
        EXPECT_NE(std::string::npos, error.find(c.message)) << error;
        for (const lbfstest::Block& blk : hostile.blocks())
            EXPECT_EQ(std::string::npos, blk.data.find('S')) << "bytes of " << secret << " sent";
    }
}

// Files completed on the block connection fail there: its count reaches the
// run, whether one driver or the streams of a multi-stream run sent them.
TEST_F(BackupLBFS, TheBlockConnectionsUnappliedCountReachesTheRun) {
    tail.setBlockSessionUnapplied(4);
    const std::string path = put("big", lbfsRandomBytes(40000, 9));
    auto b = driver();
    run(*b, {path});
    EXPECT_EQ(4, b->getUnappliedEntries());
    EXPECT_EQ(0, head.unappliedEntries());

    FlrMultiStreamBackup ms(2);
    ms.wantLBFS = true;
    ms.addDirPair(src.path(), "/dst");
    ms.backup(&head, collect({path, put("other", lbfsRandomBytes(40000, 10))}).c_str(), 0, false,
              &abortFlag, -1);
    EXPECT_GE(ms.getUnappliedEntries(), 4);
}

}  // namespace
