// The rolling-cache verifier as a library: record walks over file images
// (sound, cut, out of order), the checksums of closed files, and listings.
#include "buffer/FlrRolCacheVerify.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FLR/JxException.h"
#include "FlrRolCacheTestUtil.h"
#include "buffer/FlrRolCache.h"
#include "support/TestSupport.h"

namespace {

using Verify = FlrRolCacheVerify;
using Outcome = Verify::Outcome;

std::vector<unsigned char> bytesOf(const std::string& s) {
    return {s.begin(), s.end()};
}

}  // namespace

TEST(FlrRolCacheVerify, WalksRecordsAndTellsCutFromDamage) {
    const std::string sound = rctest::fileBytes({{5, 10}, {6, 20}, {9, 30}});
    struct Case {
        const char* what;
        std::string bytes;
        bool newest;
        uint64_t prev;
        Outcome outcome;
        const char* why;  // fragment
    };
    const Case cases[] = {
        {"sound", sound, false, 4, Outcome::kSound, ""},
        {"cut newest", sound.substr(0, sound.size() - 3), true, 4, Outcome::kIncomplete,
         "record of 30 bytes has only 27"},
        {"cut older", sound.substr(0, sound.size() - 3), false, 4, Outcome::kDamaged,
         "record of 30 bytes has only 27"},
        {"not after prev", sound, false, 5, Outcome::kDamaged, "does not follow 5"},
        {"bad signature", "X" + sound.substr(1), false, 4, Outcome::kDamaged, "invalid signature"},
        {"empty older", rctest::sigBytes(), false, 4, Outcome::kDamaged, "only 8 bytes"},
        {"empty newest", rctest::sigBytes(), true, 4, Outcome::kIncomplete, "no entry yet"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        uint64_t prev = c.prev;
        Verify::Options opt;
        opt.newest = c.newest;
        const Verify::FileCheck fc = Verify::checkBytes(bytesOf(c.bytes), 5, opt, prev);
        EXPECT_EQ(c.outcome, fc.outcome) << fc.why;
        EXPECT_NE(std::string::npos, fc.why.find(c.why)) << fc.why;
        if (c.outcome == Outcome::kSound) {
            EXPECT_EQ(5u, fc.first);
            EXPECT_EQ(9u, fc.last);
            EXPECT_EQ(3u, fc.entries);
            EXPECT_EQ(9u, prev);
        }
    }
}

// A changed byte inside a payload leaves the record structure sound; only the
// checksums written when the file was closed find it.
TEST(FlrRolCacheVerify, ClosedFilesAreCheckedAgainstTheirSums) {
    flrtest::ScopedRegistry reg;
    flrtest::TempDir dir;
    {
        FlrRolCache c(dir.path().c_str(), 64 << 20, 2 << 20);
        for (uint64_t s = 1; s <= 600; ++s) {
            const std::string p = rctest::payload(s, 9000);
            c.addEntry(p.data(), static_cast<int>(p.size()), s);
        }
    }
    flrtest::writeFile(dir.file("cache.x"), "stray");
    Verify v(dir.path());
    ASSERT_GE(v.files().size(), 2u);
    EXPECT_EQ(std::vector<std::string>{"cache.x"}, v.strays());
    const std::string first = dir.file(v.files()[0].name);
    std::string bytes = flrtest::readFile(first);
    bytes[bytes.size() / 2] ^= 0x40;
    flrtest::writeFile(first, bytes);
    const Verify::FileCheck fc = v.check(0, {});
    EXPECT_EQ(Outcome::kDamaged, fc.outcome);
    EXPECT_NE(std::string::npos,
              Verify::noteOf(fc).find("content does not match the file's checksums"))
        << Verify::noteOf(fc);
    EXPECT_EQ(Outcome::kSound, v.check(1, {}).outcome);

    try {
        Verify missing(dir.file("none"));
        FAIL();
    } catch (const JxException& e) {
        EXPECT_EQ("Failed to open directory " + dir.file("none") + ": No such file or directory",
                  e.getMessage());
    }
}
