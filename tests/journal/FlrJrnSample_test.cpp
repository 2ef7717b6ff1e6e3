#include "journal/FlrJrnSample.h"

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "JournalTestUtil.h"

using namespace jrntest;

namespace {

std::vector<uint8_t> journal(uint64_t seed, FlrJrnSample::Mix mix, size_t count) {
    FlrJrnSample::Options opt;
    opt.seed = seed;
    opt.mix = mix;
    FlrJrnSample s(opt);
    std::vector<uint8_t> out;
    s.generate(count, out);
    return out;
}

TEST(FlrJrnSample, SameSeedSameJournal) {
    EXPECT_EQ(journal(5, FlrJrnSample::Mix::Full, 300), journal(5, FlrJrnSample::Mix::Full, 300));
    EXPECT_NE(journal(5, FlrJrnSample::Mix::Full, 300), journal(6, FlrJrnSample::Mix::Full, 300));
    EXPECT_EQ(journal(5, FlrJrnSample::Mix::Bench, 300), journal(5, FlrJrnSample::Mix::Bench, 300));
}

TEST(FlrJrnSample, FullMixOpensWithEveryCode) {
    for (uint64_t seed : {1, 2, 3, 99}) {
        std::set<uint32_t> codes;
        for (const auto& rec : sampleRecords(23, seed, FlrJrnSample::Mix::Full))
            codes.insert(rec[0]);
        EXPECT_EQ(codes.size(), 23u) << "seed " << seed;
        EXPECT_EQ(codes.count(3), 0u);
    }
}

TEST(FlrJrnSample, FullMixCarriesLongNamesAndRealisticPayloads) {
    size_t longest = 0, fourK = 0, seqExpected = 1;
    uint32_t prevTime = 0;
    for (const auto& rec : sampleRecords(2000, 4, FlrJrnSample::Mix::Full)) {
        FlrJrnCommand c;
        ASSERT_EQ(decodeRawCmd(rec.data(), rec.size(), &c), 0);
        EXPECT_EQ(c.seq_num, seqExpected++);
        EXPECT_GE(static_cast<uint32_t>(c.timestamp), prevTime);
        prevTime = static_cast<uint32_t>(c.timestamp);
        if (c.cmd == FLR_JRN_CREATE) longest = std::max(longest, strlen(c.create.short_name));
        if (c.cmd == FLR_JRN_WRITE && c.write.size == 4096) ++fourK;
    }
    EXPECT_EQ(longest, 255u);
    EXPECT_GT(fourK, 100u);
}

TEST(FlrJrnSample, BenchMixHoldsOnlyItsFiveCommands) {
    std::map<uint32_t, size_t> counts;
    for (const auto& rec : sampleRecords(2000, 8, FlrJrnSample::Mix::Bench)) {
        FlrJrnCommand c;
        ASSERT_EQ(decodeRawCmd(rec.data(), rec.size(), &c), 0);
        ++counts[c.cmd];
        if (c.cmd == FLR_JRN_WRITE) {
            EXPECT_EQ(c.write.size, 4096u);
        }
    }
    EXPECT_EQ(counts.size(), 5u);
    for (uint32_t code :
         {FLR_JRN_WRITE, FLR_JRN_CREATE, FLR_JRN_RENAME, FLR_JRN_SETATTR, FLR_JRN_REMOVE}) {
        EXPECT_GT(counts[code], 100u) << flrJrnCodeName(code);
    }
}

}  // namespace
