// The driver against a recording tail over loopback: what travels for each
// entry and method, and that the tail can rebuild every file from it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "FlrBackupTestUtil.h"
#include "scan/FlrCollectFile.h"
#include "scan/FlrCollectText.h"
#include "transfer/FlrBackup.h"

namespace {

using flrbackuptest::FakeTail;
using flrbackuptest::Msg;
using flrbackuptest::randomContent;

constexpr int kTransferBlock = 4096;

class BackupTransfer : public ::testing::Test {
  protected:
    void SetUp() override { head.connect("127.0.0.1", tail.port(), 0); }

    std::string srcPath(const std::string& name) const { return src.file(name); }
    static std::string dstPath(const std::string& name) { return "/dst/" + name; }
    void put(const std::string& name, const std::string& content) {
        flrtest::writeFile(srcPath(name), content);
    }
    // A path-form collect file of these lines.
    std::string collect(const std::vector<std::string>& lines) {
        std::string text;
        for (const std::string& l : lines) text += FlrCollectText::escape(l) + "\n";
        const std::string path = work.file("collect.txt");
        flrtest::writeFile(path, text);
        return path;
    }
    std::unique_ptr<FlrBackup> driver() {
        auto b = std::make_unique<FlrBackup>(&head, &abortFlag, nullptr);
        b->addDirPair(src.path().c_str(), "/dst");
        b->hashChunkSize = kTransferBlock;
        b->hashMinFileSize = 1;
        return b;
    }
    // Runs b over the named files; waits until `sent` of them (default
    // all) reached the tail.
    void run(FlrBackup& b, const std::vector<std::string>& names, size_t sent = SIZE_MAX) {
        std::vector<std::string> lines;
        for (const std::string& n : names) lines.push_back(srcPath(n));
        b.backup(collect(lines).c_str(), 0, false, -1);
        head.flush(30);
        waitForEOFs(std::min(sent, names.size()));
    }
    void waitForEOFs(size_t n) {
        for (int i = 0; i < 2000; ++i) {
            size_t eofs = 0;
            for (const Msg& m : tail.messages()) eofs += m.type == FLR_NET_MIR_EOF;
            if (eofs >= n) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    FakeTail tail;
    flrtest::TempDir src;
    flrtest::TempDir work;
    FlrNetHead head;
    JxSafeFlags abortFlag;
};

// (seek offset or -1, bytes) of each contiguous piece the sender sent.
std::vector<std::pair<long long, size_t>> pieces(const std::vector<Msg>& msgs) {
    std::vector<std::pair<long long, size_t>> out;
    bool afterData = false;
    for (const Msg& m : msgs) {
        if (m.type == FLR_NET_MIR_SEEK) {
            out.emplace_back(static_cast<long long>(m.offset), 0);
            afterData = false;
        } else if (m.type == FLR_NET_MIR_DATA) {
            if (!afterData && (out.empty() || out.back().second != 0)) out.emplace_back(-1, 0);
            out.back().second += m.data.size();
            afterData = true;
        }
    }
    return out;
}

TEST_F(BackupTransfer, MD5SendsOnlyDifferingBlocks) {
    const std::string base = randomContent(5 * kTransferBlock + 100, 1);
    auto changed = [&](std::initializer_list<int> blocks) {
        std::string s = base;
        for (int b : blocks) s[static_cast<size_t>(b * kTransferBlock + 7)] ^= 0x5A;
        return s;
    };
    const std::string longBase = randomContent(70 * kTransferBlock + 100, 3);
    auto changedLong = [&](std::initializer_list<int> blocks) {
        std::string s = longBase;
        for (int b : blocks) s[static_cast<size_t>(b * kTransferBlock + 11)] ^= 0x5A;
        return s;
    };
    struct Case {
        const char* name;
        std::string tailCopy;
        std::string local;
        // Expected pieces: (seek offset or -1 for none, length).
        std::vector<std::pair<long long, size_t>> pieces;
    } cases[] = {
        {"equal", base, base, {}},
        {"start", base, changed({0}), {{-1, kTransferBlock}}},
        {"start-and-next", base, changed({0, 1}), {{-1, 2 * kTransferBlock}}},
        {"middle", base, changed({2}), {{2 * kTransferBlock, kTransferBlock}}},
        {"two-runs",
         base,
         changed({1, 3}),
         {{kTransferBlock, kTransferBlock}, {3 * kTransferBlock, kTransferBlock}}},
        {"end", base, changed({5}), {{5 * kTransferBlock, 100}}},
        // Local data beyond the tail's last digest still reaches the tail.
        {"tail-shorter",
         base.substr(0, 2 * kTransferBlock),
         base,
         {{2 * kTransferBlock, 3 * kTransferBlock + 100}}},
        {"tail-short-last-block",
         base.substr(0, 2 * kTransferBlock + 10),
         base,
         {{2 * kTransferBlock, 3 * kTransferBlock + 100}}},
        {"tail-longer",
         base + randomContent(3 * kTransferBlock, 2),
         base,
         {{5 * kTransferBlock, 100}}},
        {"tail-longer-at-boundary",
         base.substr(0, 4 * kTransferBlock) + "xyz",
         base.substr(0, 4 * kTransferBlock),
         {}},
        {"tail-longer-partial",
         base,
         base.substr(0, 2 * kTransferBlock + 5),
         {{2 * kTransferBlock, 5}}},
        {"tail-empty", "", base, {{-1, base.size()}}},
        // Longer files are compared many blocks per pass: changes on both
        // sides of a pass edge, a run across one, a copy ending inside one.
        {"pass-edges",
         longBase,
         changedLong({31, 32, 64}),
         {{31 * kTransferBlock, 2 * kTransferBlock}, {64 * kTransferBlock, kTransferBlock}}},
        {"run-across-passes",
         longBase,
         changedLong({28, 29, 30, 31, 32, 33, 34, 35, 36}),
         {{28 * kTransferBlock, 9 * kTransferBlock}}},
        {"tail-shorter-mid-pass",
         longBase.substr(0, 40 * kTransferBlock + 10),
         longBase,
         {{40 * kTransferBlock, 30 * kTransferBlock + 100}}},
    };
    auto b = driver();
    b->useMD5 = true;
    std::vector<std::string> names;
    for (const Case& c : cases) {
        put(c.name, c.local);
        tail.setCopy(dstPath(c.name), c.tailCopy);
        names.push_back(c.name);
    }
    run(*b, names);
    for (const Case& c : cases) {
        const std::vector<Msg> msgs = tail.messagesOf(dstPath(c.name));
        ASSERT_FALSE(msgs.empty()) << c.name;
        EXPECT_EQ(FlrNetMirHeader::kMD5, msgs.front().method) << c.name;
        EXPECT_EQ(c.local.size(), msgs.front().size) << c.name;
        EXPECT_EQ(c.pieces, pieces(msgs)) << c.name;
        EXPECT_TRUE(tail.copy(dstPath(c.name)) == c.local) << c.name;
    }
    // A copy the tail held nothing of travelled whole, and is counted so.
    EXPECT_EQ(static_cast<long long>(names.size()) - 1, b->getMethodCount(FlrNetMirHeader::kMD5));
    EXPECT_EQ(1, b->getMethodCount(FlrNetMirHeader::kFull));
}

// With blockBySize each file is compared in blocks sized by the file: a one
// byte change in 1 MiB resends 4 KiB, not the 32 KiB of hashChunkSize, under
// both methods, and the tail rebuilds every file exactly.
TEST_F(BackupTransfer, BlocksSizedByTheFileShrinkWhatAChangeResends) {
    struct Case {
        const char* name;
        size_t size;
        bool rsync;
        size_t block;  // expected comparison block
    } cases[] = {
        {"small-md5", 40000, false, 2048},  // never below 2 KiB
        {"1m-md5", 1 << 20, false, 4096},   // sqrt(20 MiB) ~ 4.6 KiB
        {"1m-rsync", 1 << 20, true, 4096},
        {"8m-md5", 8 << 20, false, 16384},
    };
    size_t done = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string old = randomContent(c.size, 3);
        std::string now = old;
        const size_t at = c.size / 2 + 123;
        now[at] ^= 0x5A;
        put(c.name, now);
        tail.setCopy(dstPath(c.name), old);
        auto b = driver();
        b->hashChunkSize = 32768;
        b->blockBySize = true;
        b->useMD5 = !c.rsync;
        b->useRSync = c.rsync;
        EXPECT_EQ(static_cast<int>(c.block), b->blockSizeFor(static_cast<long long>(c.size)));
        b->backup(collect({srcPath(c.name)}).c_str(), 0, false, -1);
        head.flush(30);
        waitForEOFs(++done);  // the tail's EOFs of every case so far
        size_t data = 0;
        for (const Msg& m : tail.messagesOf(dstPath(c.name)))
            if (m.type == FLR_NET_MIR_DATA) data += m.data.size();
        // The changed block travels; under RSync the window may carry up to a
        // block of literal bytes on either side of the change.
        EXPECT_GE(data, 1u);
        EXPECT_LE(data, c.rsync ? 2 * c.block : c.block);
        EXPECT_TRUE(tail.copy(dstPath(c.name)) == now);
    }
    // Off, every file uses hashChunkSize.
    auto plain = driver();
    EXPECT_EQ(kTransferBlock, plain->blockSizeFor(1 << 20));
}

TEST_F(BackupTransfer, NoCopyOnTheTailMeansAFullSendUnderMD5) {
    const std::string content = randomContent(3 * kTransferBlock + 1, 3);
    put("new", content);
    auto b = driver();
    b->useMD5 = true;
    run(*b, {"new"});
    const std::vector<Msg> msgs = tail.messagesOf(dstPath("new"));
    ASSERT_FALSE(msgs.empty());
    EXPECT_EQ(FlrNetMirHeader::kMD5, msgs.front().method);
    EXPECT_EQ((std::vector<std::pair<long long, size_t>>{{-1, content.size()}}), pieces(msgs));
    EXPECT_EQ(FLR_NET_MIR_EOF, msgs.back().type);
    EXPECT_TRUE(tail.copy(dstPath("new")) == content);
}

TEST_F(BackupTransfer, RSyncRebuildsFromCopiesAndLiterals) {
    const std::string base = randomContent(40 * kTransferBlock + 123, 4);
    std::string inserted = base;
    inserted.insert(17 * kTransferBlock + 5, "a few inserted bytes");
    std::string edited = base;
    edited[3 * kTransferBlock + 9] ^= 1;
    edited[30 * kTransferBlock] ^= 1;
    struct Case {
        const char* name;
        std::string tailCopy;
        std::string local;
        bool anyCopy;
        size_t maxLiteral;
    } cases[] = {
        {"same", base, base, true, 0},
        {"inserted", base, inserted, true, 2 * kTransferBlock},
        {"edited", base, edited, true, 2 * kTransferBlock},
        {"prefix-removed", base, base.substr(1000), true, 2 * kTransferBlock},
        {"tail-shorter", base.substr(0, 10 * kTransferBlock), base, true,
         base.size() - 10 * kTransferBlock},
        {"tail-longer", base + "more", base, true, kTransferBlock},
        {"unrelated", randomContent(5 * kTransferBlock, 5), base, false, base.size()},
        {"no-copy", "", base, false, base.size()},
    };
    auto b = driver();
    b->useRSync = true;
    std::vector<std::string> names;
    for (const Case& c : cases) {
        put(c.name, c.local);
        tail.setCopy(dstPath(c.name), c.tailCopy);
        names.push_back(c.name);
    }
    run(*b, names);
    for (const Case& c : cases) {
        const std::vector<Msg> msgs = tail.messagesOf(dstPath(c.name));
        ASSERT_FALSE(msgs.empty()) << c.name;
        EXPECT_EQ(FlrNetMirHeader::kRSync, msgs.front().method) << c.name;
        size_t literal = 0;
        size_t refs = 0;
        for (const Msg& m : msgs) {
            if (m.type == FLR_NET_MIR_DATA) literal += m.data.size();
            refs += m.refs.size();
            EXPECT_LE(m.refs.size(), static_cast<size_t>(FlrBackup::kRSyncRefsPerMessage));
        }
        EXPECT_LE(literal, c.maxLiteral) << c.name;
        EXPECT_EQ(c.anyCopy, refs > 0) << c.name;
        EXPECT_TRUE(tail.copy(dstPath(c.name)) == c.local) << c.name;
    }
}

// Checksum requests run ahead of their answers: over many files of every
// method, mixed, each file still gets its own tail's sums (a mix-up rebuilds
// the wrong bytes), in collect order, and files sent whole keep their place.
TEST_F(BackupTransfer, ChecksumRequestsRunAheadAndEachFileKeepsItsOwnSums) {
    auto b = driver();
    b->useMD5 = true;
    b->useRSync = true;
    b->rsyncMaxFileSize = 6 * kTransferBlock;
    b->hashMinFileSize = 1000;
    std::vector<std::string> names;
    for (int i = 0; i < 30; ++i) {
        const std::string name = "f" + std::to_string(i);
        // Whole (small), RSync (mid-sized) and MD5 (large) in turn.
        const size_t size = i % 3 == 0   ? 500 + i
                            : i % 3 == 1 ? 4 * kTransferBlock + i
                                         : 8 * kTransferBlock + i;
        const std::string old = randomContent(size, 100 + i);
        std::string now = old;
        now[size / 2] ^= 1;
        put(name, now);
        tail.setCopy(dstPath(name), old);
        names.push_back(name);
    }
    run(*b, names);
    EXPECT_EQ(20, tail.checksumRequests());
    std::vector<std::string> expected;
    for (const std::string& n : names) expected.push_back(dstPath(n));
    EXPECT_EQ(expected, tail.headerPaths());
    for (size_t i = 0; i < names.size(); ++i) {
        const std::vector<Msg> msgs = tail.messagesOf(dstPath(names[i]));
        ASSERT_FALSE(msgs.empty()) << names[i];
        const int method = i % 3 == 0   ? FlrNetMirHeader::kFull
                           : i % 3 == 1 ? FlrNetMirHeader::kRSync
                                        : FlrNetMirHeader::kMD5;
        EXPECT_EQ(method, msgs.front().method) << names[i];
        size_t literal = 0;
        for (const Msg& m : msgs) literal += m.type == FLR_NET_MIR_DATA ? m.data.size() : 0;
        if (method != FlrNetMirHeader::kFull) {
            EXPECT_LE(literal, 2u * kTransferBlock) << names[i];
        }
        EXPECT_TRUE(tail.copy(dstPath(names[i])) == flrtest::readFile(srcPath(names[i])))
            << names[i];
    }
}

TEST_F(BackupTransfer, RSyncBoundaryAndThresholdPickTheMethodOnTheWire) {
    auto b = driver();
    b->useMD5 = true;
    b->useRSync = true;
    b->rsyncMaxFileSize = 3 * kTransferBlock;
    b->hashMinFileSize = 1000;
    put("at-max", randomContent(3 * kTransferBlock, 6));
    put("below-max", randomContent(3 * kTransferBlock - 1, 7));
    put("below-threshold", randomContent(999, 8));
    run(*b, {"at-max", "below-max", "below-threshold"});
    EXPECT_EQ(FlrNetMirHeader::kMD5, tail.messagesOf(dstPath("at-max")).front().method);
    EXPECT_EQ(FlrNetMirHeader::kRSync, tail.messagesOf(dstPath("below-max")).front().method);
    EXPECT_EQ(FlrNetMirHeader::kFull, tail.messagesOf(dstPath("below-threshold")).front().method);
    EXPECT_EQ(2, tail.checksumRequests());
}

TEST_F(BackupTransfer, LearnedThresholdAbove2GiBSendsOrdinaryFilesWhole) {
    auto b = driver();
    b->useMD5 = true;
    b->hashMinFileSize = 0;
    {
        std::lock_guard<std::mutex> lock(b->adaptiveLock());
        for (unsigned long long x : {1000ULL, 2000ULL, 3000ULL}) {
            b->adaptive().addNetSample(x, x);
            b->adaptive().addLMD5Sample(x, x / 20);
            b->adaptive().addRMD5Sample(x, 200000000ULL + x * 9 / 10);
        }
    }
    put("f", randomContent(10 * kTransferBlock, 9));
    tail.setCopy(dstPath("f"), randomContent(10 * kTransferBlock, 9));
    run(*b, {"f"});
    EXPECT_EQ(FlrNetMirHeader::kFull, tail.messagesOf(dstPath("f")).front().method);
    EXPECT_EQ(0, tail.checksumRequests());
}

TEST_F(BackupTransfer, OverwriteOffSkipsFilesTheTailHas) {
    put("there", randomContent(2 * kTransferBlock, 10));
    put("missing", randomContent(2 * kTransferBlock, 11));
    tail.setCopy(dstPath("there"), "old content");
    auto b = driver();
    b->useMD5 = true;
    b->overwrite = false;
    run(*b, {"there", "missing"}, 1);
    EXPECT_EQ(std::vector<std::string>{dstPath("missing")}, tail.headerPaths());
    EXPECT_EQ("old content", tail.copy(dstPath("there")));
}

TEST_F(BackupTransfer, PlainLoopSendsEveryEntryType) {
    const std::string content = randomContent(600000, 12);  // more than one buffer
    put("file", content);
    ASSERT_EQ(0, ::symlink("../somewhere/else", srcPath("link").c_str()));
    ASSERT_EQ(0, ::mkdir(srcPath("dir").c_str(), 0750));
    auto b = driver();
    b->backup(collect({srcPath("file"), srcPath("link"), srcPath("dir")}).c_str(), 0, true, -1);
    waitForEOFs(3);
    EXPECT_EQ(3, b->getTotalFiles());
    const std::vector<Msg> file = tail.messagesOf(dstPath("file"));
    ASSERT_FALSE(file.empty());
    EXPECT_EQ(FlrNetMirHeader::kFull, file.front().method);
    EXPECT_GT(file.front().offset, 0u);  // collect offsets travel when asked
    EXPECT_TRUE(tail.copy(dstPath("file")) == content);
    const std::vector<Msg> link = tail.messagesOf(dstPath("link"));
    // Each header is followed by the entry's full times and attributes.
    ASSERT_EQ(4u, link.size());
    EXPECT_TRUE(S_ISLNK(link[0].mode));
    EXPECT_EQ(FLR_NET_MIR_ATTRS, link[1].type);
    EXPECT_EQ("../somewhere/else", link[2].data);
    const std::vector<Msg> dir = tail.messagesOf(dstPath("dir"));
    ASSERT_EQ(3u, dir.size());
    EXPECT_TRUE(S_ISDIR(dir[0].mode));
    EXPECT_EQ(FLR_NET_MIR_ATTRS, dir[1].type);
    EXPECT_EQ(FLR_NET_MIR_EOF, dir[2].type);
}

TEST_F(BackupTransfer, VanishedEntriesNeedSkipVanished) {
    for (bool md5 : {false, true}) {
        for (bool skip : {false, true}) {
            SCOPED_TRACE(std::string(md5 ? "md5" : "plain") + (skip ? " skip" : " fail"));
            const std::string tag = std::string(md5 ? "m" : "p") + (skip ? "s" : "f");
            put(tag + "-before", "one");
            put(tag + "-after", "two");
            auto b = driver();
            b->useMD5 = md5;
            b->skipVanished = skip;
            const std::string gone = srcPath(tag + "-gone");
            const std::string cf =
                collect({srcPath(tag + "-before"), gone, srcPath(tag + "-after")});
            if (skip) {
                b->backup(cf.c_str(), 0, false, -1);
                EXPECT_EQ(2, b->getTotalFiles());
            } else {
                try {
                    b->backup(cf.c_str(), 0, false, -1);
                    ADD_FAILURE() << "a vanished entry was skipped silently";
                } catch (const JxException& e) {
                    EXPECT_EQ("Failed to stat file " + gone, e.getMessage());
                }
                EXPECT_EQ(1, b->getTotalFiles());
            }
        }
    }
}

TEST_F(BackupTransfer, OverlongCollectLineIsNeverSplit) {
    put("real", "real content");
    put("after", "after content");
    // The part past the reader's buffer names an existing file: a split
    // line would send it.
    std::string longLine = "/z" + std::string(FlrBackup::kCollectLineSize - 4, 'a');
    longLine += srcPath("real");
    auto b = driver();
    b->skipVanished = true;
    b->backup(collect({longLine, srcPath("after")}).c_str(), 0, false, -1);
    waitForEOFs(1);
    EXPECT_EQ(std::vector<std::string>{dstPath("after")}, tail.headerPaths());
}

// Both kinds of checksum request wait for the tail: the MD5 stream with the
// network time-out, the RSync answer without any limit. The requests of the
// three files go out ahead of their answers.
TEST_F(BackupTransfer, AbortCutsThePlannerWaitingForTheTail) {
    for (int i = 0; i < 3; ++i) put("f" + std::to_string(i), randomContent(2 * kTransferBlock, 13));
    tail.setSilent(true);
    const std::string cf = collect({srcPath("f0"), srcPath("f1"), srcPath("f2")});
    for (bool rsync : {false, true}) {
        SCOPED_TRACE(rsync ? "rsync" : "md5");
        abortFlag.set(0);
        const int ended = tail.endedSessions();
        const int requests = tail.checksumRequests();
        auto b = driver();
        b->useMD5 = !rsync;
        b->useRSync = rsync;
        std::thread aborter([&] {
            while (tail.checksumRequests() < requests + 3)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            abortFlag.set(1);
        });
        try {
            b->backup(cf.c_str(), 0, false, -1);
            ADD_FAILURE() << "an aborted run returned";
        } catch (const JxException& e) {
            EXPECT_EQ("Aborted", e.getMessage());
        }
        aborter.join();
        // The planner's connection is gone, not left waiting for its digests.
        for (int i = 0; i < 2000 && tail.endedSessions() == ended; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(ended + 1, tail.endedSessions());
        EXPECT_EQ(requests + 3, tail.checksumRequests());
    }
}

TEST_F(BackupTransfer, RunPreconditions) {
    auto b = std::make_unique<FlrBackup>(&head, &abortFlag, nullptr);
    try {
        b->backup(static_cast<FlrCollectFile*>(nullptr), false, -1);
        ADD_FAILURE();
    } catch (const JxException& e) {
        EXPECT_EQ("NULL collect file passed as input.", e.getMessage());
    }
    FlrCollectFile cf(collect({}), 0);
    try {
        b->backup(&cf, false, -1);
        ADD_FAILURE();
    } catch (const JxException& e) {
        EXPECT_EQ("Path translation directory pair list is empty", e.getMessage());
    }
}

}  // namespace
