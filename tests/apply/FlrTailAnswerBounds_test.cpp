// The work of a checksum answer is bounded by the tail's real copy and ends
// with its session: a head that made a sparse file of a terabyte cannot keep
// a tail core busy reading holes, and a stopping service is not held up by
// an answer in progress.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "TailApplyFixture.h"

using namespace tailtest;

namespace {

using Clock = std::chrono::steady_clock;
constexpr off_t kTerabyte = off_t{1} << 40;

struct AnswerBounds : ::testing::Test {
    Registry registry;
    flrtest::TempDir tmp;
    std::string root = tmp.file("dst");
    void SetUp() override {
        ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
        flrtest::writeFile(root + "/huge", "");
        if (::truncate((root + "/huge").c_str(), kTerabyte) != 0)
            GTEST_SKIP() << "no sparse file of a terabyte here";
    }
};

TEST_F(AnswerBounds, SumsOfMoreBlocksThanAnAnswerCarriesAreRefusedBeforeReading) {
    Tail tail(root);
    Head head(tail.port());
    struct Row {
        const char* what;
        std::function<int()> ask;
    };
    const Row rows[] = {
        {"RSync checksums",
         [&] {
             unsigned char(*weak)[4] = nullptr;
             unsigned char(*md5)[16] = nullptr;
             int n = -1;
             unsigned long long size = 1;
             head.net.getRSyncCheckSums("huge", 65536, &weak, &md5, &n, &size);
             return n;
         }},
        {"file checksums",
         [&] {
             unsigned char(*md5)[16] = nullptr;
             int n = -1;
             head.net.getFileCheckSums("huge", 65536, &md5, &n);
             return n;
         }},
    };
    for (const Row& row : rows) {
        const auto started = Clock::now();
        EXPECT_EQ(row.ask(), 0) << row.what;
        EXPECT_LT(Clock::now() - started, std::chrono::seconds(5)) << row.what;
    }
}

// The bounds are a few 64 MiB blocks hashed under a sanitizer on a loaded
// machine (8 s has been seen under TSan); the whole stream would take hours.
TEST_F(AnswerBounds, AStoppingServiceEndsAnMD5StreamWithinABlock) {
    auto tail = std::make_unique<Tail>(root);
    auto head = std::make_unique<Head>(tail->port());
    // 16,384 blocks of 64 MiB: the first message would come after 64 GiB.
    head->net.startMD5Stream("huge", 64 << 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto started = Clock::now();
    tail.reset();
    EXPECT_LT(Clock::now() - started, std::chrono::seconds(30));
}

// A head that hangs up while its answer is being computed is not waited on:
// the session ends within a block, not after the terabyte.
TEST_F(AnswerBounds, AHeadThatHangsUpEndsItsMD5StreamWithinABlock) {
    Tail tail(root);
    auto head = std::make_unique<Head>(tail.port());
    head->net.startMD5Stream("huge", 64 << 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    head.reset();
    const auto hungUp = Clock::now();
    while (tail.service->stats().sessions > 0 && Clock::now() - hungUp < std::chrono::seconds(60))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(tail.service->stats().sessions, 0);
    EXPECT_LT(Clock::now() - hungUp, std::chrono::seconds(30));
}

}  // namespace
