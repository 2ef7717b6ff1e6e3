// Sending written intervals: what travels for each interval list, that the
// tail rebuilds the file from its old copy, the failures, the per-pair byte
// counters and the switch to LBFS.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "FLR/FlrBackup.h"
#include "FLR/platform/JXPlatformInfo.h"
#include "FLR/platform/JxException.h"
#include "transfer/FlrBackupTestUtil.h"

namespace {

using flrbackuptest::FakeTail;
using flrbackuptest::Msg;
using Offsets = std::list<unsigned long long>;

std::string wbaRandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(gen() & 0xFF);
    return s;
}

class BackupWBA : public ::testing::Test {
  protected:
    void SetUp() override { head.connect("127.0.0.1", tail.port(), 0); }

    std::unique_ptr<FlrBackup> driver() {
        auto b = std::make_unique<FlrBackup>(&head, &abortFlag, nullptr);
        b->setDirPairWBA(src.path().c_str(), "/dst");
        return b;
    }
    // Sends and waits until the tail has everything before a ping.
    void send(FlrBackup& b, const std::string& name, const Offsets& starts, const Offsets& ends) {
        b.sendRegFileWBA(fsf_fid::fid0, src.file(name).c_str(), starts, ends);
        head.ping();
    }
    // Message types of the entry, without the header.
    std::vector<int> typesOf(const std::string& name) {
        std::vector<int> out;
        for (const Msg& m : tail.messagesOf("/dst/" + name))
            if (m.type != FLR_NET_MIR_HEADER) out.push_back(m.type);
        return out;
    }

    FakeTail tail;
    flrtest::TempDir src;
    FlrNetHead head;
    JxSafeFlags abortFlag;
};

TEST_F(BackupWBA, IntervalsRebuildTheFileFromTheTailsCopy) {
    const std::string old = wbaRandomBytes(400000, 1);
    std::string now = old;
    now.replace(1000, 500, wbaRandomBytes(500, 2));
    now.replace(50000, 8000, wbaRandomBytes(8000, 3));
    flrtest::writeFile(src.file("f"), now);
    tail.setCopy("/dst/f", old);
    auto b = driver();
    send(*b, "f", {1000, 50000}, {1500, 58000});
    EXPECT_EQ(now, tail.copy("/dst/f"));
    const std::vector<Msg> msgs = tail.messagesOf("/dst/f");
    ASSERT_FALSE(msgs.empty());
    EXPECT_EQ(FlrNetMirHeader::kMD5, msgs[0].method);  // the tail keeps its copy
    EXPECT_EQ((std::vector<int>{FLR_NET_MIR_SEEK, FLR_NET_MIR_DATA, FLR_NET_MIR_SEEK,
                                FLR_NET_MIR_DATA, FLR_NET_MIR_EOF}),
              typesOf("f"));
    EXPECT_EQ(8500u, b->getByteCntWBA(src.path().c_str()));
    EXPECT_EQ(8500u, b->getByteCntWBA((src.path() + "//").c_str()));
    EXPECT_EQ(0u, b->getByteCntWBA("/elsewhere"));
    EXPECT_EQ(8500, b->getTotalBytes());
    // A new pair starts the counters again.
    b->setDirPairWBA(src.path().c_str(), "/dst");
    EXPECT_EQ(0u, b->getByteCntWBA(src.path().c_str()));
    EXPECT_EQ(1u, b->getDirPairs().size());
}

TEST_F(BackupWBA, EmptyAndZeroLengthIntervals) {
    flrtest::writeFile(src.file("a"), "content of a");
    flrtest::writeFile(src.file("b"), "content of b");
    auto b = driver();
    send(*b, "a", {}, {});
    send(*b, "b", {5}, {5});
    EXPECT_EQ(std::vector<int>{FLR_NET_MIR_EOF}, typesOf("a"));
    EXPECT_EQ((std::vector<int>{FLR_NET_MIR_SEEK, FLR_NET_MIR_EOF}), typesOf("b"));
    EXPECT_EQ(5u, tail.messagesOf("/dst/b")[1].offset);
    EXPECT_EQ(0u, b->getByteCntWBA(src.path().c_str()));
}

TEST_F(BackupWBA, LongIntervalsTravelInPieces) {
    ASSERT_EQ(0, JXPlatformInfo::setString("ZRP", "nDisableLBFS", "1"));
    const std::string content = wbaRandomBytes(700000, 4);
    flrtest::writeFile(src.file("f"), content);
    tail.setCopy("/dst/f", std::string(700000, 'x'));
    auto b = driver();
    send(*b, "f", {0}, {700000});
    std::vector<size_t> pieces;
    for (const Msg& m : tail.messagesOf("/dst/f"))
        if (m.type == FLR_NET_MIR_DATA) pieces.push_back(m.data.size());
    EXPECT_EQ((std::vector<size_t>{262144, 262144, 175712}), pieces);
    EXPECT_EQ(content, tail.copy("/dst/f"));
}

TEST_F(BackupWBA, Failures) {
    flrtest::writeFile(src.file("short"), std::string(100, 's'));
    auto b = driver();
    struct Case {
        const char* name;
        Offsets starts, ends;
        std::string message;
    } cases[] = {
        {"short", {0, 50}, {10, 150}, "Unexpected EOF when reading from " + src.file("short")},
        {"short", {0, 50}, {10}, "Internal error: start and end offset lists do not match."},
        {"gone", {0}, {10}, "Failed to stat file " + src.file("gone")},
    };
    for (const Case& c : cases) {
        try {
            b->sendRegFileWBA(fsf_fid::fid0, src.file(c.name).c_str(), c.starts, c.ends);
            ADD_FAILURE() << c.message;
        } catch (const JxException& e) {
            EXPECT_EQ(c.message, e.getMessage());
        }
    }
    // With skipVanished a missing file is passed over quietly.
    b->skipVanished = true;
    EXPECT_NO_THROW(b->sendRegFileWBA(fsf_fid::fid0, src.file("gone").c_str(), {0}, {10}));
    head.ping();
    EXPECT_TRUE(tail.messagesOf("/dst/gone").empty());
}

TEST(WBAChoice, LBFSWhenFiveTimesItsCostIsBelowTheWrittenBytes) {
    // 1 MiB file, 10-byte path: 128 average blocks x 32 + 124 + 10 = 4,230.
    const unsigned long long mib = 1 << 20;
    ASSERT_EQ(8192u, JxLBFS::getAvgBlockSize());
    ASSERT_EQ(2048u, JxLBFS::getMinBlockSize());
    struct Case {
        uint32_t peer;
        bool disabled;
        Offsets starts, ends;
        bool expected;
    } cases[] = {
        {4, false, {0}, {21151}, true},   // 21,151 > 5 x 4,230
        {4, false, {0}, {21150}, false},  // equal is not below
        // An interval no longer than the smallest block adds to the cost.
        {4, false, {0, 100000}, {21150, 102048}, false},
        {4, false, {0, 100000}, {21150, 102049}, true},
        {3, false, {0}, {mib}, false},  // an old tail never gets LBFS
        {4, true, {0}, {mib}, false},   // nor does a head with LBFS disabled
        {4, false, {}, {}, false},
    };
    for (const Case& c : cases) {
        const bool got = FlrBackup::wbaUsesLBFS(c.peer, c.disabled, mib, 10, c.starts, c.ends);
        EXPECT_EQ(c.expected, got) << "peer " << c.peer << ", " << c.ends.size() << " intervals"
                                   << (c.ends.empty() ? 0 : c.ends.back());
    }
}

}  // namespace
