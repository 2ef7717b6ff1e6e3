#include "journal/FlrLiveShare.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "FLR/FlrRawJournal.h"
#include "FLR/JxException.h"
#include "platform/FlrDriver.h"
#include "platform/JxSeqCounter.h"
#include "support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

// Folders a and b watched by one share; feeds: 0 = a, 1 = b, 2 = a again
// (a second pair of the same source).
struct ShareFixture {
    flrtest::TempDir dir;
    JxSeqCounter counter{dir.file("journal.seq"), 1024};
    std::string a = dir.file("a"), b = dir.file("b");
    std::unique_ptr<FlrLiveShare> share;
    std::string skip;

    explicit ShareFixture(size_t maxQueued = FlrLiveShare::kMaxQueuedBytes) {
        ::mkdir(a.c_str(), 0755);
        ::mkdir(b.c_str(), 0755);
        if (!FlrDriver::hasCapability(&skip)) return;
        FlrLiveJournal::Options o;
        o.flushDelayMs = 200;
        try {
            share = std::make_unique<FlrLiveShare>(std::vector<std::string>{a, b, a}, o, maxQueued,
                                                   &counter);
        } catch (const JxException& e) {
            skip = e.getMessage();
        }
        if (!share) return;
        for (size_t i = 0; i < share->size(); ++i) share->feed(i).restart();
    }
    // The sequence numbers a feed gives until an empty read of quietMs is
    // idle (the reader has caught up), or 30 s passed.
    static std::vector<uint64_t> drain(FlrLiveFeed& f, int quietMs = 500) {
        std::vector<uint64_t> seqs;
        std::vector<uint8_t> rec;
        const auto until = Clock::now() + std::chrono::seconds(30);
        while (Clock::now() < until) {
            if (!f.next(rec, quietMs)) {
                if (f.emptyWasIdle()) break;
                continue;
            }
            FlrJrnHeader h{};
            EXPECT_EQ(0, decodeRawHdr(rec.data(), rec.size(), &h));
            seqs.push_back(h.seq_num);
        }
        return seqs;
    }
};

#define REQUIRE_SHARE(f) \
    if (!(f).share) GTEST_SKIP() << (f).skip

TEST(FlrLiveShare, EachPairGetsTheRecordsOfItsFolderOnly) {
    ShareFixture f;
    REQUIRE_SHARE(f);
    flrtest::writeFile(f.a + "/x", "in a");
    ASSERT_EQ(0, ::mkdir((f.b + "/d").c_str(), 0755));
    flrtest::writeFile(f.b + "/d/y", "in b");
    const std::vector<uint64_t> a = ShareFixture::drain(f.share->feed(0));
    const std::vector<uint64_t> b = ShareFixture::drain(f.share->feed(1));
    const std::vector<uint64_t> again = ShareFixture::drain(f.share->feed(2));
    ASSERT_FALSE(a.empty());
    ASSERT_FALSE(b.empty());
    EXPECT_EQ(a, again) << "two pairs of one source see the same records";
    std::set<uint64_t> all(a.begin(), a.end());
    for (uint64_t s : b) EXPECT_TRUE(all.insert(s).second) << "record " << s << " went to both";
    EXPECT_TRUE(std::is_sorted(a.begin(), a.end()));
    EXPECT_TRUE(std::is_sorted(b.begin(), b.end()));
    // The last record before the last drain is the pair's own.
    const auto atLastDrain = [&](size_t i) {
        return f.share->feed(i).lastSeqAtDrainAfter(f.share->feed(i).drains() - 1);
    };
    EXPECT_EQ(a.back(), atLastDrain(0));
    EXPECT_EQ(b.back(), atLastDrain(1));
    EXPECT_GE(f.share->feed(0).lastSeq(), std::max(a.back(), b.back()));
}

TEST(FlrLiveShare, FoldersInsideOneAnotherAreRefused) {
    flrtest::TempDir dir;
    std::string skip;
    if (!FlrDriver::hasCapability(&skip)) GTEST_SKIP() << skip;
    ::mkdir(dir.file("p").c_str(), 0755);
    ::mkdir(dir.file("p/c").c_str(), 0755);
    ::mkdir(dir.file("p2").c_str(), 0755);
    JxSeqCounter counter{dir.file("journal.seq"), 1024};
    struct Case {
        std::vector<std::string> sources;
        bool refused;
    } cases[] = {
        {{dir.file("p"), dir.file("p/c")}, true},
        {{dir.file("p/c"), dir.file("p")}, true},
        {{dir.file("p"), dir.file("p2")}, false},  // a prefix of the name is no parent
        {{dir.file("p"), dir.file("p") + "/"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sources[0] + " " + c.sources[1]);
        try {
            FlrLiveShare share(c.sources, FlrLiveJournal::Options{}, FlrLiveShare::kMaxQueuedBytes,
                               &counter);
            EXPECT_FALSE(c.refused);
        } catch (const JxException& e) {
            EXPECT_TRUE(c.refused) << e.getMessage();
            EXPECT_NE(std::string::npos, e.getMessage().find("one inside the other"));
        }
    }
}

// A pair that does not read (its watcher scans) loses its records to a
// resync past the limit; the other pairs lose nothing.
TEST(FlrLiveShare, APairThatDoesNotReadOverflowsAloneIntoAResync) {
    ShareFixture f(16 << 10);
    REQUIRE_SHARE(f);
    for (int i = 0; i < 400; ++i) flrtest::writeFile(f.a + "/f" + std::to_string(i), "x");
    flrtest::writeFile(f.b + "/only", "in b");
    ASSERT_TRUE(
        flrtest::eventually([&] { return !f.share->feed(0).takeResyncs().empty(); }, 30, 20));
    EXPECT_TRUE(f.share->feed(1).takeResyncs().empty());
    EXPECT_FALSE(ShareFixture::drain(f.share->feed(1)).empty());
    // What is left after the drop stays under the limit and in order.
    const std::vector<uint64_t> left = ShareFixture::drain(f.share->feed(0));
    EXPECT_TRUE(std::is_sorted(left.begin(), left.end()));
}

TEST(FlrLiveShare, AnEmptyReadIsIdleOnlyOnceTheReaderHasCaughtUp) {
    ShareFixture f;
    REQUIRE_SHARE(f);
    FlrLiveFeed& feed = f.share->feed(1);
    std::vector<uint8_t> rec;
    EXPECT_FALSE(feed.next(rec, 0));
    EXPECT_FALSE(feed.emptyWasIdle()) << "no drain can follow a read that does not wait";
    // The reader yields to busy programs: on a loaded machine it may take
    // a few reads to find the queue empty twice.
    bool idle = false;
    for (int i = 0; i < 50 && !idle; ++i) {
        EXPECT_FALSE(feed.next(rec, 300));
        idle = feed.emptyWasIdle();
    }
    EXPECT_TRUE(idle);
    feed.stop();
    const auto before = Clock::now();
    EXPECT_FALSE(feed.next(rec, 300));
    EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(250)) << "a stopped feed waits not";
    EXPECT_FALSE(feed.emptyWasIdle());
    // Stopped, it queues nothing; started again, it takes what comes.
    const uint64_t start = feed.lastSeq();
    flrtest::writeFile(f.b + "/later", "x");
    uint64_t seen = 0;
    ASSERT_TRUE(flrtest::eventually(
        [&] {
            const uint64_t now = feed.lastSeq();
            const bool quiet = now > start && now == seen;
            seen = now;
            return quiet;
        },
        30, 300));
    feed.restart();
    flrtest::writeFile(f.b + "/after", "x");
    const std::vector<uint64_t> got = ShareFixture::drain(feed);
    ASSERT_FALSE(got.empty());
    EXPECT_GT(got.front(), seen) << "a record made while stopped was kept";
}

// The names are settled once, after every pair stopped taking records.
TEST(FlrLiveShare, SettlingWaitsForEveryPairToStop) {
    ShareFixture f;
    REQUIRE_SHARE(f);
    f.share->beginStop();
    f.share->feed(0).stop();
    f.share->feed(2).stop();
    const auto soon = Clock::now() + std::chrono::milliseconds(300);
    EXPECT_FALSE(f.share->feed(0).settle(soon)) << "pair 1 still reads";
    f.share->feed(1).stop();
    const auto later = Clock::now() + std::chrono::seconds(10);
    EXPECT_TRUE(f.share->feed(0).settle(later));
    EXPECT_TRUE(f.share->feed(1).settle(later));
    std::vector<uint8_t> rec;
    EXPECT_FALSE(f.share->feed(1).next(rec, 50));
}

}  // namespace
