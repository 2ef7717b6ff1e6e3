// The send history: the ring over many laps (also with entries of every size),
// oversized entries, resend through a real head to a real tail, the history
// file: atomic saves under faults and kills, refusal of damaged or cut files.
#include "buffer/FlrSendHistory.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "FLR/JxException.h"
#include "net/FlrNetHead.h"
#include "net/FlrNetTail.h"
#include "net/NetTestUtil.h"
#include "platform/JxFile.h"
#include "support/FaultyFileOps.h"
#include "support/TestSupport.h"

namespace {

// Entry seq: its number, then bytes derived from it.
std::string entry(unsigned long long seq, size_t len) {
    std::string s(len, '\0');
    for (size_t i = 0; i < len; ++i) s[i] = static_cast<char>(seq * 131 + i * 7);
    if (len >= sizeof seq) std::memcpy(&s[0], &seq, sizeof seq);
    return s;
}

void add(FlrSendHistory& h, unsigned long long seq, size_t len) {
    const std::string e = entry(seq, len);
    h.add(seq, e.data(), static_cast<int>(e.size()));
}

struct Held {
    unsigned long long seq;
    std::string data;
};

std::vector<Held> contents(const FlrSendHistory& h) {
    std::vector<Held> out;
    h.forEach([&](unsigned long long seq, const void* data, int len) {
        out.push_back({seq, std::string(static_cast<const char*>(data), static_cast<size_t>(len))});
    });
    return out;
}

// What resend relies on: the entries held are an unbroken run of sequence
// numbers ending with the newest, each with its own bytes.
void expectUnbrokenRun(const FlrSendHistory& h, unsigned long long newest,
                       const std::vector<size_t>& lens) {
    const std::vector<Held> held = contents(h);
    ASSERT_FALSE(held.empty());
    EXPECT_EQ(newest, held.back().seq);
    EXPECT_EQ(held.front().seq, h.getMinSeqNum());
    EXPECT_EQ(newest, h.getMaxSeqNum());
    for (size_t i = 0; i < held.size(); ++i) {
        const unsigned long long seq = held.front().seq + i;
        ASSERT_EQ(seq, held[i].seq) << "gap in the history";
        ASSERT_EQ(entry(seq, lens[seq]), held[i].data) << "entry " << seq;
    }
}

std::string errorOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const JxException& e) {
        return e.getMessage();
    }
    return "no exception";
}

TEST(FlrSendHistory, KeepsTheNewestEntriesOverManyLaps) {
    FlrSendHistory h(1 << 20);
    EXPECT_TRUE(h.empty());
    EXPECT_EQ(0u, h.getMinSeqNum());
    EXPECT_EQ(0u, h.getMaxSeqNum());
    std::vector<size_t> lens(1);
    unsigned long long lastMin = 0;
    // 100-byte entries take 120 bytes: about 8,700 fit, 60,000 lap the ring ~7 times.
    // Never fewer than two laps, also when scaled down.
    const auto laps = static_cast<unsigned long long>(std::max(flrtest::scaled(60000), 18000));
    for (unsigned long long seq = 1; seq <= laps; ++seq) {
        add(h, seq, 100);
        lens.push_back(100);
        EXPECT_GE(h.getMinSeqNum(), lastMin);
        lastMin = h.getMinSeqNum();
    }
    EXPECT_GT(h.getMinSeqNum(), laps - 8800u);
    EXPECT_LT(h.getMinSeqNum(), laps - 8600u);
    expectUnbrokenRun(h, laps, lens);
}

TEST(FlrSendHistory, EntriesOfEverySizeNeverLeaveAGap) {
    // Mixed sizes make the ring wrap with old entries still lying between the
    // newest one and the ring's end; those must go before newer ones do.
    std::mt19937 rng(7);
    for (int capacity : {4096, 5000, 65536}) {
        SCOPED_TRACE(capacity);
        FlrSendHistory h(capacity);
        std::vector<size_t> lens(1);
        for (unsigned long long seq = 1;
             seq <= static_cast<unsigned long long>(flrtest::scaled(5000)); ++seq) {
            const size_t len =
                rng() % 4 == 0 ? rng() % static_cast<unsigned>(capacity / 2) : rng() % 200;
            add(h, seq, len);
            lens.push_back(len);
            expectUnbrokenRun(h, seq, lens);
            if (HasFatalFailure()) return;
        }
    }
}

TEST(FlrSendHistory, AnEntryTooLargeForTheRingReplacesEverything) {
    FlrSendHistory h(1000);
    for (unsigned long long seq = 1; seq <= 20; ++seq) add(h, seq, 10);
    add(h, 21, 969);  // capacity - 31: does not fit with its 32 bytes of room
    EXPECT_EQ(1001, h.getCapacity());
    EXPECT_EQ(21u, h.getMinSeqNum());
    EXPECT_EQ(21u, h.getMaxSeqNum());
    add(h, 22, 968);  // fits the grown ring, and pushes 21 out
    EXPECT_EQ(1001, h.getCapacity());
    EXPECT_EQ(22u, h.getMinSeqNum());

    FlrSendHistory small(1000);
    add(small, 1, 968);  // 968 + 32 = capacity: fits
    EXPECT_EQ(1000, small.getCapacity());
    EXPECT_THROW(small.add(2, nullptr, 5), JxException);
    EXPECT_EQ(1u, small.getMaxSeqNum());  // a refused add changes nothing
}

FlrSendHistory::Send sendingThrough(FlrNetHead& net) {
    return [&net](const void* data, int len) { net.sendJournalEntry(data, len); };
}

TEST(FlrSendHistory, ResendReplaysExactlyTheUnconfirmedEntries) {
    flrnettest::Connected c;
    FlrSendHistory h(64 * 1024);
    std::vector<size_t> lens(1);
    for (unsigned long long seq = 1; seq <= 3000; ++seq) {
        add(h, seq, 50 + seq % 150);
        lens.push_back(50 + seq % 150);
    }
    const unsigned long long oldest = h.getMinSeqNum();
    ASSERT_GT(oldest, 1000u);  // the ring has lapped several times

    // The tail confirmed oldest + 1: everything after it comes again, in order.
    EXPECT_EQ(3000u, h.resend(oldest + 1, sendingThrough(c.head)));
    for (unsigned long long seq = oldest + 2; seq <= 3000; ++seq) {
        const FlrNetMessage m = flrnettest::recvOne(*c.tail);
        ASSERT_EQ(FLR_NET_JOURNAL, m.type);
        ASSERT_EQ(entry(seq, lens[seq]), std::string(static_cast<const char*>(m.journal.data),
                                                     static_cast<size_t>(m.journal.len)));
    }
    // Nothing newer than the newest: nothing sent.
    EXPECT_EQ(3000u, h.resend(3000, sendingThrough(c.head)));
    EXPECT_EQ(3000u, h.resend(5000, sendingThrough(c.head)));
    FlrNetMessage m;
    EXPECT_EQ(-2, c.tail->recvMessage(&m, 1));

    EXPECT_EQ(
        "Entry with sequence number " + std::to_string(oldest - 1) + " is not in the send history.",
        errorOf([&] { h.resend(oldest - 1, sendingThrough(c.head)); }));
    FlrSendHistory empty(1024);
    EXPECT_EQ(77u, empty.resend(77, sendingThrough(c.head)));
}

TEST(FlrSendHistory, SavedHistoryLoadsEqual) {
    flrtest::TempDir dir;
    const std::string path = dir.file("history");
    FlrSendHistory h(8192);
    // Empty: the old file goes, so no older history comes back on load.
    flrtest::writeFile(path, "old history");
    h.save(path.c_str());
    EXPECT_FALSE(h.load(path.c_str()));
    h.save(path.c_str());  // and again, with nothing to remove

    for (unsigned long long seq = 1; seq <= 500; ++seq) add(h, seq, 1 + seq % 97);
    h.save(path.c_str());
    const std::string fresh = dir.file("fresh");
    h.save(fresh.c_str());
    struct stat st {};
    ASSERT_EQ(0, ::stat(fresh.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    const std::string file = flrtest::readFile(path);
    EXPECT_EQ(file, flrtest::readFile(fresh));
    EXPECT_EQ(std::string("FLRHIS\xEA\x0F", 8), file.substr(0, 8));

    FlrSendHistory loaded(1024);  // smaller than the file: grows
    ASSERT_TRUE(loaded.load(path.c_str()));
    EXPECT_TRUE(loaded == h);
    EXPECT_EQ(static_cast<int>((file.size() + 1023) / 1024 * 1024), loaded.getCapacity());
    EXPECT_EQ(h.getMinSeqNum(), loaded.getMinSeqNum());
    EXPECT_EQ(500u, loaded.getMaxSeqNum());

    // The loaded history goes on like any other.
    add(loaded, 501, 40);
    EXPECT_EQ(501u, loaded.getMaxSeqNum());
    EXPECT_GE(loaded.getMinSeqNum(), h.getMinSeqNum());

    // Copies in a larger ring: equal, until one byte of the last payload differs.
    FlrSendHistory same(65536);
    FlrSendHistory other(65536);
    h.forEach([&](unsigned long long seq, const void* data, int len) {
        std::string s(static_cast<const char*>(data), static_cast<size_t>(len));
        same.add(seq, s.data(), len);
        if (seq == 500) s.back() ^= 1;
        other.add(seq, s.data(), len);
    });
    EXPECT_TRUE(same == h);
    EXPECT_FALSE(other == h);
    EXPECT_TRUE(FlrSendHistory(10) == FlrSendHistory(20));
    EXPECT_FALSE(FlrSendHistory(10) == h);

    EXPECT_FALSE(loaded.load(dir.file("missing").c_str()));
    loaded.clear(path.c_str());
    EXPECT_TRUE(loaded.empty());
    EXPECT_NE(0, ::access(path.c_str(), F_OK));
}

TEST(FlrSendHistory, DamagedFilesAreRefusedAndChangeNothing) {
    flrtest::TempDir dir;
    const std::string good = dir.file("good");
    FlrSendHistory h(4096);
    for (unsigned long long seq = 1; seq <= 5; ++seq) add(h, seq, 20);
    h.save(good.c_str());
    const std::string bytes = flrtest::readFile(good);
    ASSERT_EQ(8u + 5u * 40u, bytes.size());

    FlrSendHistory target(4096);
    add(target, 99, 10);
    auto refused = [&](const std::string& content, const std::string& fragment) {
        const std::string path = dir.file("damaged");
        flrtest::writeFile(path, content);
        const std::string text = errorOf([&] { target.load(path.c_str()); });
        EXPECT_NE(std::string::npos, text.find(fragment)) << text;
        EXPECT_EQ(99u, target.getMaxSeqNum());
        EXPECT_EQ(99u, target.getMinSeqNum());
    };
    refused("FLRHIX\xEA\x0F" + bytes.substr(8), "invalid file signature.");
    refused(bytes.substr(0, 5), "Unexpected EOF.");
    refused(bytes.substr(0, bytes.size() - 1), "runs past the end of the file.");
    refused(bytes.substr(0, bytes.size() - 30), "cut short.");
    refused(bytes.substr(0, bytes.size() - 40), "the newest record is missing.");
    refused(bytes + std::string(40, '\0'), "data follows the newest record");
    std::string hugeLen = bytes;
    hugeLen[8 + 4] = '\x7F';  // the first record's length
    refused(hugeLen, "runs past the end of the file.");

    // Only the signature: save() never writes that (an empty history has no
    // file), so it is a file cut after its signature.
    refused(bytes.substr(0, 8), "the file holds no record.");
}

// Cut at any length, as a power cut can leave a file the file system had not
// fully written, a history file is refused, never loaded as a shorter history.
TEST(FlrSendHistory, EveryTruncationIsRefused) {
    flrtest::TempDir dir;
    const std::string path = dir.file("history");
    FlrSendHistory h(4096);
    for (unsigned long long seq = 1; seq <= 12; ++seq) add(h, seq, 3 + seq * 5);
    h.save(path.c_str());
    const std::string bytes = flrtest::readFile(path);
    FlrSendHistory target(4096);
    add(target, 99, 10);
    for (size_t len = 0; len < bytes.size(); ++len) {
        flrtest::writeFile(path, bytes.substr(0, len));
        EXPECT_THROW(target.load(path.c_str()), JxException) << "cut at " << len;
        ASSERT_EQ(99u, target.getMinSeqNum());
        ASSERT_EQ(99u, target.getMaxSeqNum());
    }
    flrtest::writeFile(path, bytes);
    ASSERT_TRUE(target.load(path.c_str()));
    EXPECT_TRUE(target == h);
}

FlrSendHistory& filled(FlrSendHistory& h, unsigned long long count, size_t lenStep) {
    for (unsigned long long seq = 1; seq <= count; ++seq) add(h, seq, 1 + (seq * lenStep) % 300);
    return h;
}

// A full disk or an I/O error at any write, a failing fsync or rename: the
// save fails with the cause and the previous history file loads as it was.
TEST(FlrSendHistory, FailedSaveKeepsThePreviousFile) {
    using Op = flrtest::FaultyFileOps::Op;
    struct Case {
        Op op;
        int n;
        int err;
    };
    const Case cases[] = {{Op::Open, 1, EMFILE},  {Op::Write, 1, ENOSPC}, {Op::Write, 3, EIO},
                          {Op::Write, 9, ENOSPC}, {Op::Fsync, 1, EIO},    {Op::Rename, 1, EIO}};
    FlrSendHistory previous(65536), next(65536);
    filled(previous, 150, 7);
    filled(next, 220, 13);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n);
        flrtest::TempDir dir;
        const std::string path = dir.file("history");
        previous.save(path.c_str());
        flrtest::FaultyFileOps faulty;
        faulty.shortWrites(4096);
        faulty.failNth(c.op, c.n, c.err);
        {
            jx::ScopedFileOps scope(faulty);
            try {
                next.save(path.c_str());
                FAIL() << "no error";
            } catch (const JxException& e) {
                EXPECT_EQ(c.err, e.getCode());
                EXPECT_EQ("FlrSendHistory::save", e.getFunction());
                EXPECT_NE(std::string::npos, e.getMessage().find(path)) << e.getMessage();
            }
        }
        FlrSendHistory loaded(1024);
        ASSERT_TRUE(loaded.load(path.c_str()));
        EXPECT_TRUE(loaded == previous);
        EXPECT_EQ(std::vector<std::string>{"history"}, jx::listDir(dir.path()));
    }
}

// A process killed at any point of a save leaves the previous history or the
// new one, never a cut file (which load would refuse: the resend history lost).
TEST(FlrSendHistory, SaveKilledAtAnyPointLeavesACompleteHistory) {
    flrtest::TempDir dir;
    const std::string path = dir.file("history");
    FlrSendHistory a(1 << 20), b(1 << 20);
    filled(a, 2000, 7);
    filled(b, 3000, 13);
    a.save(path.c_str());
    const int rounds = flrtest::scaled(30);
    for (int i = 0; i < rounds; ++i) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            for (int k = 0;; ++k) (k % 2 ? a : b).save(path.c_str());
        }
        std::this_thread::sleep_for(std::chrono::microseconds(300 + (i * 613) % 5000));
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        FlrSendHistory loaded(1024);
        ASSERT_NO_THROW(ASSERT_TRUE(loaded.load(path.c_str()))) << "round " << i;
        ASSERT_TRUE(loaded == a || loaded == b) << "round " << i;
    }
}

}  // namespace
