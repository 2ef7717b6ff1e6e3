// The adaptive MD5 threshold: fitted costs, the sliding window, ignored
// samples, degenerate and losing models, and sizes whose squares exceed 64 bits.
#include "transfer/FlrAdaptiveMD5.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>

#include "platform/EvDebug.h"

namespace {

struct Coeffs {
    bool measured;
    double net, local, fixed, perByte;
};

Coeffs coeffs(const FlrAdaptiveMD5& a) {
    Coeffs c{};
    c.measured = a.getCoeffs(&c.net, &c.local, &c.fixed, &c.perByte);
    return c;
}

// Net 1 us/byte, local MD5 0.1 us/byte.
void addLinearNetAndLocal(FlrAdaptiveMD5& a) {
    for (unsigned long long x : {1000ULL, 2000ULL, 3000ULL}) {
        a.addNetSample(x, x);
        a.addLMD5Sample(10 * x, x);
    }
}

// Remote: fixed cost plus per-byte cost over three file sizes.
void addRemote(FlrAdaptiveMD5& a, long long fixed, double perByte) {
    for (unsigned long long x : {10000ULL, 20000ULL, 30000ULL})
        a.addRMD5Sample(x, static_cast<unsigned long long>(fixed + perByte * x));
}

TEST(FlrAdaptiveMD5, AnswersZeroUntilEveryCostIsMeasured) {
    FlrAdaptiveMD5 a;
    EXPECT_EQ(0, a.getSizeThresh());
    Coeffs c = coeffs(a);
    EXPECT_FALSE(c.measured);
    EXPECT_DOUBLE_EQ(0.9536, c.net);
    EXPECT_DOUBLE_EQ(0.0698, c.local);
    EXPECT_DOUBLE_EQ(1000.0, c.fixed);
    EXPECT_DOUBLE_EQ(0.0698, c.perByte);

    addLinearNetAndLocal(a);
    c = coeffs(a);
    EXPECT_FALSE(c.measured);
    EXPECT_DOUBLE_EQ(1.0, c.net);
    EXPECT_DOUBLE_EQ(0.1, c.local);
    EXPECT_EQ(0, a.getSizeThresh());

    // Remote samples all on one file size: no line fits through them.
    for (int i = 0; i < 3; ++i) a.addRMD5Sample(5000, 3000 + i);
    c = coeffs(a);
    EXPECT_FALSE(c.measured);
    EXPECT_DOUBLE_EQ(1000.0, c.fixed);
    EXPECT_DOUBLE_EQ(0.1, c.perByte);
    EXPECT_EQ(0, a.getSizeThresh());
}

TEST(FlrAdaptiveMD5, ThresholdFollowsTheFittedCosts) {
    FlrAdaptiveMD5 a;
    addLinearNetAndLocal(a);
    addRemote(a, 5000, 0.2);
    const Coeffs c = coeffs(a);
    ASSERT_TRUE(c.measured);
    EXPECT_NEAR(5000.0, c.fixed, 1e-6);
    EXPECT_NEAR(0.2, c.perByte, 1e-9);
    // 5000 / (1 - 0.1 - 0.2)
    EXPECT_EQ(7142, a.getSizeThresh());
    EXPECT_EQ(7142, a.getSizeThresh());

    // The network gets cheap: MD5 never pays off.
    for (int i = 0; i < 100; ++i) a.addNetSample(1000, 250);
    EXPECT_EQ(-1, a.getSizeThresh());

    // A negative fitted fixed cost: MD5 wins at every size.
    FlrAdaptiveMD5 b;
    addLinearNetAndLocal(b);
    addRemote(b, -1000, 0.5);
    EXPECT_EQ(0, b.getSizeThresh());
}

TEST(FlrAdaptiveMD5, TheHundredAndFirstSampleReplacesTheFirst) {
    FlrAdaptiveMD5 all;
    FlrAdaptiveMD5 lastHundred;
    for (unsigned long long i = 1; i <= 101; ++i) {
        // Sample 1 is far off the line the others lie on.
        const unsigned long long y = i == 1 ? 999999 : 3 * i * 1000;
        all.addNetSample(i * 1000, y);
        all.addLMD5Sample(i * 1000, y);
        all.addRMD5Sample(i * 1000, y + 700);
        if (i == 1) continue;
        lastHundred.addNetSample(i * 1000, y);
        lastHundred.addLMD5Sample(i * 1000, y);
        lastHundred.addRMD5Sample(i * 1000, y + 700);
    }
    const Coeffs a = coeffs(all);
    const Coeffs b = coeffs(lastHundred);
    EXPECT_EQ(a.measured, b.measured);
    EXPECT_DOUBLE_EQ(b.net, a.net);
    EXPECT_DOUBLE_EQ(b.local, a.local);
    EXPECT_DOUBLE_EQ(b.fixed, a.fixed);
    EXPECT_DOUBLE_EQ(b.perByte, a.perByte);
    EXPECT_DOUBLE_EQ(3.0, a.net);
    EXPECT_NEAR(700.0, a.fixed, 1e-6);
}

TEST(FlrAdaptiveMD5, ZeroSizesCountOnlyForTheRemoteModel) {
    EvDebugCapture log;
    FlrAdaptiveMD5 a;
    for (int i = 0; i < 3; ++i) a.addNetSample(0, 100);
    a.addNetSample(1000, 2000);
    a.addNetSample(2000, 4000);
    a.addNetSample(5000, 0);           // no time: ignored
    a.addNetSample(2147483647, 4000);  // beyond 2 GiB - 2: ignored
    for (unsigned long long x : {1000ULL, 2000ULL, 3000ULL}) a.addLMD5Sample(x, x / 10);
    a.addLMD5Sample(0, 50);
    a.addRMD5Sample(0, 1000);  // a ping: the fixed cost alone
    a.addRMD5Sample(1000, 1200);
    a.addRMD5Sample(2000, 1400);
    const Coeffs c = coeffs(a);
    // Net holds two samples only, so its default cost stands and the result
    // is not "measured"; the remote model has its three.
    EXPECT_FALSE(c.measured);
    EXPECT_DOUBLE_EQ(0.9536, c.net);
    EXPECT_DOUBLE_EQ(0.1, c.local);
    EXPECT_NEAR(1000.0, c.fixed, 1e-9);
    EXPECT_NEAR(0.2, c.perByte, 1e-12);
    EXPECT_TRUE(log.contains("(0, 1000)"));
    EXPECT_FALSE(log.contains("(0, 100)"));
    EXPECT_FALSE(log.contains("(5000, 0)"));
}

TEST(FlrAdaptiveMD5, FileSizesNearTwoGiBDoNotOverflowTheSums) {
    // 100 squares of 2e9 exceed 2^64 many times over.
    FlrAdaptiveMD5 a;
    for (int i = 0; i < 100; ++i) {
        a.addNetSample(2000000000ULL, 1000000000ULL);
        a.addLMD5Sample(2000000000ULL - i, (2000000000ULL - i) / 20);
        a.addRMD5Sample(1000000000ULL + 10000000ULL * i,
                        5000 + (1000000000ULL + 10000000ULL * i) / 10);
    }
    const Coeffs c = coeffs(a);
    ASSERT_TRUE(c.measured);
    EXPECT_DOUBLE_EQ(0.5, c.net);
    EXPECT_NEAR(0.05, c.local, 1e-9);
    EXPECT_NEAR(0.1, c.perByte, 1e-9);
    EXPECT_NEAR(5000.0, c.fixed, 1.0);
    EXPECT_NEAR(14285, a.getSizeThresh(), 5);  // 5000 / 0.35
}

TEST(FlrAdaptiveMD5, MeasurementsTimeTheirSpan) {
    EvDebugCapture log;
    FlrAdaptiveMD5 a;
    a.startRMD5Sample();
    a.startNetSample();
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    a.endRMD5Sample(0);
    a.endNetSample(0);
    bool remote = false;
    for (const EvLogLine& l : log.lines()) {
        EXPECT_NE("FlrAdaptiveMD5::addNetSample", l.function);
        if (l.function == "FlrAdaptiveMD5::addRMD5Sample") {
            long long x = -1;
            long long y = -1;
            ASSERT_EQ(2, std::sscanf(l.text.c_str(), "(%lld, %lld)", &x, &y));
            EXPECT_EQ(0, x);
            EXPECT_GE(y, 2500);
            remote = true;
        }
    }
    EXPECT_TRUE(remote);
}

}  // namespace
