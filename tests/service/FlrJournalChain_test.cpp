// The live journal chain end to end: a real head tree changed by a
// workload, watched by FlrLiveJournal, sent by the head journal service and
// applied by a tail, until the tail tree verifies the same as the head's.
// Each record reaches the tail once: what the tail took minus what it
// skipped as already applied is exactly what the head sent.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "JournalChainFixture.h"

namespace {

using chaintest::ChainRegistry;
using chaintest::HeadPaths;
using chaintest::LiveHead;

#define REQUIRE_LIVE_JOURNAL()                                             \
    if (const std::string why = chaintest::liveSkipReason(); !why.empty()) \
    GTEST_SKIP() << "the live journal needs CAP_SYS_ADMIN: " << why

void appendTo(const std::string& path, const std::string& data) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(static_cast<ssize_t>(data.size()), ::write(fd, data.data(), data.size()));
    ::close(fd);
}

// Changes of every kind the journal reports, files large and small.
void changeEverything(const std::string& s) {
    using tailtest::pattern;
    const auto at = [&](const char* rel) { return s + "/" + rel; };
    for (const char* d : {"a", "a/b", "c", "gone.d"})
        ASSERT_EQ(0, ::mkdir(at(d).c_str(), 0755)) << d;
    flrtest::writeFile(at("a/f1").c_str(), "hello");
    flrtest::writeFile(at("a/b/f2").c_str(), pattern(10000, 1));
    flrtest::writeFile(at("a/b/f3").c_str(), "three");
    flrtest::writeFile(at("c/big").c_str(), pattern(200000, 2));  // beyond a WRITE record
    flrtest::writeFile(at("gone").c_str(), "short-lived");
    appendTo(at("a/f1").c_str(), " world");
    ASSERT_EQ(0, ::truncate(at("a/b/f2").c_str(), 100));
    ASSERT_EQ(0, ::symlink("f1", at("a/l").c_str()));
    ASSERT_EQ(0, ::symlink("../c/big", at("a/lbig").c_str()));
    ASSERT_EQ(0, ::link(at("a/f1").c_str(), at("c/hard").c_str()));
    ASSERT_EQ(0, ::rename(at("a/b/f2").c_str(), at("c/f2moved").c_str()));  // across folders
    ASSERT_EQ(0, ::rename(at("a/b").c_str(), at("c/b2").c_str()));  // a folder with its file
    ASSERT_EQ(0, ::unlink(at("gone").c_str()));
    ASSERT_EQ(0, ::rmdir(at("gone.d").c_str()));
    ASSERT_EQ(0, ::chmod(at("a/f1").c_str(), 0600));
    if (::geteuid() == 0) {
        ASSERT_EQ(0, ::chown(at("c/f2moved").c_str(), 1234, 4321));
    }
    const struct timeval times[2] = {{1500000000, 0}, {1500000100, 0}};
    ASSERT_EQ(0, ::utimes(at("c/f2moved").c_str(), times));
    flrtest::writeFile(at("c/b2/f3").c_str(), "rewritten shorter");
    appendTo(at("c/big").c_str(), pattern(70000, 3));  // resent again, whole
    flrtest::writeFile(at("a/replaced").c_str(), "old");
    flrtest::writeFile(at("a/replacement").c_str(), "new content");
    ASSERT_EQ(0, ::rename(at("a/replacement").c_str(), at("a/replaced").c_str()));  // over a file
}

// Every record sent reached the tail and was applied exactly once.
void expectEachRecordOnce(const FlrHeadJournalCounters& c, const FlrTailJournalStats& t) {
    EXPECT_EQ(static_cast<long long>(c.sent), t.records - t.skipped);
    EXPECT_EQ(0, t.failed);
    EXPECT_EQ(0, t.refused);
}

TEST(JournalChain, WorkloadOfEveryKindConverges) {
    REQUIRE_LIVE_JOURNAL();
    ChainRegistry reg;
    flrtest::TempDir head, dst;
    const HeadPaths paths(head.path());
    ASSERT_EQ(0, ::mkdir(paths.src.c_str(), 0755));
    tailtest::Tail tail(dst.path(), [&] {
        FlrTailApplier::Options o;
        o.journalState = reg.dir() + "/tail.state";
        return o;
    }());
    auto port = std::make_shared<std::atomic<int>>(tail.port());
    LiveHead chain(paths, dst.path(), port);
    changeEverything(paths.src);

    EXPECT_EQ("", chain.settle());
    expectEachRecordOnce(chain.counters(), tail.applier->journal().totals());
    EXPECT_TRUE(chain.resyncs().empty()) << chain.resyncs().front().reason;
    EXPECT_EQ("hello world", flrtest::readFile(dst.file("c/hard")));
    EXPECT_GT(tail.totals().files, 0);  // the large file came as a resend
    EXPECT_FALSE(tailtest::hasTemporaries(dst.path()));
}

// Folders x files small creates, as fast as the head can make them. The
// kernel queue may overflow only as a resync, answered by a scan.
TEST(JournalChain, BurstOfCreatesAllArrive) {
    REQUIRE_LIVE_JOURNAL();
    ChainRegistry reg;
    flrtest::TempDir head, dst;
    const HeadPaths paths(head.path());
    ASSERT_EQ(0, ::mkdir(paths.src.c_str(), 0755));
    tailtest::Tail tail(dst.path(), [&] {
        FlrTailApplier::Options o;
        o.journalState = reg.dir() + "/tail.state";
        return o;
    }());
    auto port = std::make_shared<std::atomic<int>>(tail.port());
    LiveHead chain(paths, dst.path(), port);
    const int folders = std::min(100, flrtest::scaled(10));
    const int files = std::min(1000, flrtest::scaled(100));
    const auto started = chaintest::Clock::now();
    for (int d = 0; d < folders; ++d) {
        const std::string dir = paths.src + "/d" + std::to_string(d);
        ASSERT_EQ(0, ::mkdir(dir.c_str(), 0755));
        for (int f = 0; f < files; ++f)
            flrtest::writeFile(dir + "/f" + std::to_string(f), std::to_string(d * files + f));
    }

    EXPECT_EQ("", chain.settle());
    const double seconds = std::chrono::duration<double>(chaintest::Clock::now() - started).count();
    bool overflowed = false;
    for (const FlrLiveResync& r : chain.resyncs())
        overflowed |= r.reason.find("overflow") != std::string::npos;
    std::printf("[ burst    ] %d creates in %.2f s, kernel queue %s\n", folders * files, seconds,
                overflowed ? "overflowed (converged through a scan)" : "did not overflow");
    RecordProperty("overflowed", overflowed ? "yes" : "no");
    EXPECT_EQ(chain.scans(), static_cast<int>(chain.resyncs().size()));
    if (!overflowed) {
        EXPECT_EQ(0, chain.scans());  // no full rescan without an overflow
        expectEachRecordOnce(chain.counters(), tail.applier->journal().totals());
        EXPECT_GE(tail.applier->journal().totals().applied, 2LL * folders * files);
    }
}

}  // namespace
