// Sending written intervals: what travels for each interval list, that the
// tail rebuilds the file from its old copy, the failures, the per-pair byte
// counters and the switch to LBFS; then the same cases through the applying
// tail, where the replica must end equal to the source.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <list>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "FLR/FlrTreeVerify.h"
#include "FLR/JxException.h"
#include "FlrBackupTestUtil.h"
#include "apply/TailApplyFixture.h"
#include "db/FlrWrDatabase.h"
#include "platform/JXPlatformInfo.h"
#include "transfer/FlrBackup.h"

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
            if (m.type != FLR_NET_MIR_HEADER && m.type != FLR_NET_MIR_ATTRS) out.push_back(m.type);
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
    EXPECT_EQ(5u, tail.messagesOf("/dst/b")[2].offset);
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

// Through the applying tail: the tail's copy plus what travelled must be the
// source, whichever way the intervals went.
class WBAApplied : public ::testing::Test {
  protected:
    void SetUp() override { head.connect("127.0.0.1", tail.port(), 0); }

    std::unique_ptr<FlrBackup> driver(bool lbfsDisabled) {
        EXPECT_EQ(0, JXPlatformInfo::setString("ZRP", "nDisableLBFS", lbfsDisabled ? "1" : "0"));
        auto b = std::make_unique<FlrBackup>(&head, &abortFlag, nullptr);
        b->setDirPairWBA(src.path().c_str(), dst.path().c_str());
        return b;
    }
    // The first difference between source and replica, "" when none.
    std::string replicaDiff() {
        const FlrTreeVerifyResult r = FlrTreeVerify().compare(src.path(), dst.path());
        if (r.same()) return "";
        return r.diffs.empty() ? "differences" : r.diffs[0].path + ": " + r.diffs[0].what;
    }
    // What LBFS costs for a file of this size at this path, as the switch
    // reckons it (no interval is as short as the smallest block here).
    static unsigned long long lbfsCost(size_t size, const std::string& path) {
        return size / JxLBFS::getAvgBlockSize() * 32 + 124 + path.size();
    }

    tailtest::Registry registry;
    flrtest::TempDir src;
    flrtest::TempDir dst;
    tailtest::Tail tail{dst.path()};
    FlrNetHead head;
    JxSafeFlags abortFlag;
};

TEST_F(WBAApplied, EveryIntervalListLeavesTheReplicaEqualToTheSource) {
    const std::string base = wbaRandomBytes(300000, 11);
    const std::string mib = wbaRandomBytes(1 << 20, 12);
    auto changed = [](std::string s, size_t at, size_t len, unsigned seed) {
        s.replace(at, len, wbaRandomBytes(len, seed));
        return s;
    };
    // Intervals as long as five times LBFS's cost, and one byte longer.
    // Every row's file name is padded to one length, so the switch sees one cost.
    auto padded = [](const char* name) {
        return std::string(name) + std::string(8 - std::strlen(name), '_');
    };
    const unsigned long long atSwitch = 5 * lbfsCost(mib.size(), src.file(padded("over")));
    ASSERT_LT(atSwitch + 1 + 200000, mib.size());
    enum Via { kIntervals, kLBFS };
    struct Row {
        const char* name;
        std::string old, now;
        Offsets starts, ends;
        bool lbfsDisabled;
        Via via;
        mode_t mode;
    } rows[] = {
        // Nothing written, but the mode changed: only the header travels.
        {"empty", base, base, {}, {}, false, kIntervals, 0600},
        {"zero",
         base,
         changed(base, 5000, 4000, 13),
         {100, 5000},
         {100, 9000},
         false,
         kIntervals,
         0644},
        {"grown",
         base,
         changed(base, 0, 10, 14) + wbaRandomBytes(3000, 15),
         {0, 300000},
         {10, 303000},
         false,
         kIntervals,
         0644},
        // The database cuts intervals at a truncation; the tail cuts its copy.
        {"shrunk",
         base,
         changed(base, 119000, 1000, 16).substr(0, 120000),
         {119000},
         {120000},
         false,
         kIntervals,
         0644},
        {"over",
         mib,
         changed(mib, 200000, atSwitch + 1, 17),
         {200000},
         {200000 + atSwitch + 1},
         false,
         kLBFS,
         0644},
        {"at",
         mib,
         changed(mib, 200000, atSwitch, 18),
         {200000},
         {200000 + atSwitch},
         false,
         kIntervals,
         0644},
        // What a tail at protocol version 3 gets as well: no LBFS.
        {"disabled", mib, changed(mib, 0, 600000, 19), {0}, {600000}, true, kIntervals, 0644},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string name = padded(row.name);
        flrtest::writeFile(dst.file(name), row.old);
        flrtest::writeFile(src.file(name), row.now);
        ASSERT_EQ(0, ::chmod(src.file(name).c_str(), row.mode));
        auto b = driver(row.lbfsDisabled);
        b->sendRegFileWBA(fsf_fid::fid0, src.file(name).c_str(), row.starts, row.ends);
        EXPECT_EQ(row.via == kLBFS, b->isLBFSRunning());
        b->flushLBFS();  // until then its thread reads the main connection
        head.ping();
        EXPECT_EQ("", replicaDiff());
        unsigned long long written = 0;
        for (auto s = row.starts.begin(), e = row.ends.begin(); s != row.starts.end(); ++s, ++e)
            written += *e - *s;
        if (row.via == kLBFS) {
            EXPECT_EQ(0u, b->getByteCntWBA(src.path().c_str()));
            EXPECT_EQ(row.now.size(), b->getLBFSFileBytes());
        } else {
            EXPECT_EQ(written, b->getByteCntWBA(src.path().c_str()));
            EXPECT_EQ(0u, b->getLBFSFileBytes());
        }
    }
}

// A file cut below an interval after its writes were recorded: the send
// fails and the tail keeps its whole old copy; once the database has seen
// the new size, the intervals it gives bring the replica up to date.
TEST_F(WBAApplied, AFileCutBelowAnIntervalFailsAndTheTailKeepsItsCopy) {
    const std::string old = wbaRandomBytes(100000, 21);
    std::string now = old;
    now.replace(0, 10, wbaRandomBytes(10, 22));
    now.replace(500, 100, wbaRandomBytes(100, 23));
    flrtest::writeFile(dst.file("f"), old);
    const std::string path = src.file("f");
    flrtest::writeFile(path, now.substr(0, 400));
    flrtest::TempDir dbDir;
    FlrWrDatabase db(dbDir.path());
    fsf_fid fid{};
    fid.bytes[0] = 7;
    db.add(fid, 0, 10);
    db.add(fid, 500, 600);
    auto intervals = [&db](Offsets* starts, Offsets* ends) {
        uint64_t s = 0, e = 0;
        for (bool more = db.getFirst(nullptr, &s, &e, nullptr); more;
             more = db.getNext(nullptr, &s, &e, nullptr, false)) {
            starts->push_back(s);
            ends->push_back(e);
        }
    };
    Offsets starts, ends;
    intervals(&starts, &ends);
    ASSERT_EQ((Offsets{0, 500}), starts);
    auto b = driver(false);
    try {
        b->sendRegFileWBA(fsf_fid::fid0, path.c_str(), starts, ends);
        ADD_FAILURE() << "a file shorter than its intervals was sent";
    } catch (const JxException& e) {
        EXPECT_EQ("Unexpected EOF when reading from " + path, e.getMessage());
    }
    head.ping();
    EXPECT_TRUE(old == flrtest::readFile(dst.file("f"))) << "the tail's copy was changed or lost";
    db.resizeFID(fid, 400);
    starts.clear();
    ends.clear();
    intervals(&starts, &ends);
    ASSERT_EQ((Offsets{10}), ends);
    b->sendRegFileWBA(fsf_fid::fid0, path.c_str(), starts, ends);
    head.ping();
    EXPECT_EQ("", replicaDiff());
}

}  // namespace
