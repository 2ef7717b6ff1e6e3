// flr cache ls|verify|dump on real cache directories, run as a person would
// (an argument vector, no shell).
#include <gtest/gtest.h>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "FLR/FlrRawJournal.h"
#include "buffer/FlrRolCache.h"
#include "buffer/FlrRolCacheTestUtil.h"
#include "journal/FlrJrnSample.h"
#include "support/TestSupport.h"
#include "support/ToolRunner.h"

namespace {

constexpr int kMiB = 1048576;

struct CacheRun {
    int status = -1;
    std::string out;  // standard output, then standard error
};

CacheRun flr(const std::vector<std::string>& args) {
    const flrtest::ToolRun r = flrtest::runTool(args);
    return {r.status, r.out + r.err};
}

class RolCacheCmdTest : public ::testing::Test {
  protected:
    void SetUp() override { FLR_REQUIRE_TOOL(); }
    flrtest::ScopedRegistry reg;
    flrtest::TempDir dir;
    std::string path(const std::string& name) const { return dir.file(name); }

    // About 3 MB of raw journal records in three files.
    void fillWithJournal(uint64_t count) {
        FlrRolCache c(dir.path().c_str(), 64 * kMiB, 2 * kMiB);
        FlrJrnSample::Options o;
        o.seed = 7;
        FlrJrnSample sample(o);
        std::vector<uint8_t> rec;
        for (uint64_t i = 0; i < count; ++i) {
            rec.clear();
            sample.appendNext(rec);
            FlrJrnHeader h{};
            ASSERT_EQ(decodeRawHdr(rec.data(), rec.size(), &h, nullptr), 0);
            c.addEntry(rec.data(), static_cast<int>(rec.size()), h.seq_num);
        }
    }
    // Offsets of the records of one file.
    static std::vector<long long> recordOffsets(const std::string& bytes) {
        std::vector<long long> out;
        size_t off = 8;
        while (off + 12 <= bytes.size()) {
            uint64_t seq = 0;
            int32_t len = 0;
            FlrRolCacheBase::decodeRecordHeader(
                reinterpret_cast<const unsigned char*>(bytes.data() + off), seq, len);
            out.push_back(static_cast<long long>(off));
            off += 12 + static_cast<size_t>(len);
        }
        return out;
    }
    // The offset verify reports, or -1.
    static long long reportedOffset(const std::string& out) {
        const size_t at = out.find("damaged record at offset ");
        if (at == std::string::npos) return -1;
        return std::atoll(out.c_str() + at + 25);
    }
};

TEST_F(RolCacheCmdTest, LsListsFilesNumbersEntriesAndBytes) {
    flrtest::writeFile(path("cache.1"), rctest::fileBytes({{1, 10}, {2, 20}, {5, 30}}));
    flrtest::writeFile(path("cache.9"), rctest::fileBytes({{9, 40}}));
    flrtest::writeFile(path("cache.x"), "stray");
    const CacheRun r = flr({"cache", "ls", dir.path()});
    EXPECT_EQ(r.status, 0) << r.out;
    auto row = [](const char* file, int first, int last, int entries, int bytes) {
        char line[200];
        std::snprintf(line, sizeof(line), "%-26s %20d %20d %9d %12d\n", file, first, last, entries,
                      bytes);
        return std::string(line);
    };
    EXPECT_NE(r.out.find(row("cache.1", 1, 5, 3, 8 + 3 * 12 + 60)), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(row("cache.9", 9, 9, 1, 8 + 12 + 40)), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("cache.x" + std::string(19, ' ') + " (not a cache file name)"),
              std::string::npos);
    EXPECT_NE(r.out.find("2 files, 4 entries, " + std::to_string(104 + 60) + " bytes"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(flr({"cache", "ls", path("missing")}).status, 1);
    EXPECT_EQ(flr({"cache", "ls"}).status, 2);
}

TEST_F(RolCacheCmdTest, VerifyPassesASoundCacheOfJournalRecords) {
    fillWithJournal(6000);
    const CacheRun r = flr({"cache", "verify", dir.path()});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("entries: sound"), std::string::npos) << r.out;
}

// Every byte of the framing of a record in the middle of the middle file,
// and of its journal header's number and length, is checked.
TEST_F(RolCacheCmdTest, VerifyFindsAFlippedByteInTheMiddleOfAFile) {
    fillWithJournal(6000);
    FlrRolCacheBase scan(dir.path().c_str());
    const auto files = scan.getFiles();
    ASSERT_GE(files.size(), 3u);
    const std::string name = path(FlrRolCacheBase::cacheFileName(files[files.size() / 2]));
    const std::string good = flrtest::readFile(name);
    const auto offsets = recordOffsets(good);
    const size_t mid = offsets.size() / 2;
    const long long rec = offsets[mid];
    const long long next = offsets[mid + 1];
    std::vector<long long> positions;
    for (int i = 0; i < 12; ++i) positions.push_back(rec + i);  // sequence number, length
    for (int i : {0, 1, 2, 3, 12, 13, 14, 15, 16, 17, 18, 19})  // cmd, rec_len, seq_num
        positions.push_back(rec + 12 + i);
    for (long long at : positions) {
        SCOPED_TRACE(at - rec);
        std::string bad = good;
        bad[static_cast<size_t>(at)] = static_cast<char>(bad[static_cast<size_t>(at)] ^ 0x10);
        flrtest::writeFile(name, bad);
        const CacheRun r = flr({"cache", "verify", dir.path()});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find(name + ": damaged record at offset"), std::string::npos) << r.out;
        // A damaged length shows where the framing breaks, at or after it.
        const long long reported = reportedOffset(r.out);
        EXPECT_GE(reported, rec) << r.out;
        if (at - rec < 8 || at - rec >= 12) {
            EXPECT_LE(reported, next) << r.out;
        }
    }
    flrtest::writeFile(name, good);
    EXPECT_EQ(flr({"cache", "verify", dir.path()}).status, 0);
}

// Payload bytes have no structure to check; the checksums written beside every
// file its writer closed find them, and name the record that holds the byte.
TEST_F(RolCacheCmdTest, VerifyFindsAFlippedPayloadByteThroughTheChecksums) {
    fillWithJournal(6000);
    FlrRolCacheBase scan(dir.path().c_str());
    const auto files = scan.getFiles();
    ASSERT_GE(files.size(), 3u);
    for (uint64_t seq : files)
        EXPECT_TRUE(flrtest::readFile(path(FlrRolCacheBase::cacheFileName(seq)) + ".sum").size() >
                    24)
            << seq;
    const std::string name = path(FlrRolCacheBase::cacheFileName(files[files.size() / 2]));
    const std::string good = flrtest::readFile(name);
    const auto offsets = recordOffsets(good);
    for (size_t at : {good.size() / 2, good.size() - 1, size_t{9000}}) {
        SCOPED_TRACE(at);
        std::string bad = good;
        bad[at] = static_cast<char>(bad[at] ^ 0x01);
        flrtest::writeFile(name, bad);
        const CacheRun r = flr({"cache", "verify", dir.path()});
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find("content does not match the file's checksums"), std::string::npos)
            << r.out;
        // The reported record is the last one starting at or before the block.
        const long long block = static_cast<long long>(at) / 65536 * 65536;
        long long expected = offsets.front();
        for (long long o : offsets)
            if (o <= block) expected = o;
        const long long reported = reportedOffset(r.out);
        EXPECT_LE(reported, static_cast<long long>(at)) << r.out;
        EXPECT_GE(reported, expected) << r.out;
    }
    // A file cut short is damage too once its writer recorded its size.
    flrtest::writeFile(name, good.substr(0, offsets.back()));
    CacheRun r = flr({"cache", "verify", dir.path()});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("but was closed at"), std::string::npos) << r.out;
    flrtest::writeFile(name, good);
    r = flr({"cache", "verify", dir.path()});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("not a cache file name"), std::string::npos) << r.out;

    // A damaged checksum file only loses the payload check: the cache stays sound.
    flrtest::writeFile(name + ".sum", "garbage");
    EXPECT_EQ(flr({"cache", "verify", dir.path()}).status, 0);
}

TEST_F(RolCacheCmdTest, ChecksumFilesLeaveWithTheirCacheFiles) {
    {
        FlrRolCache c(dir.path().c_str(), 4 * kMiB, 2 * kMiB);
        std::vector<char> entry(100000, 'x');
        for (uint64_t seq = 1; seq <= 100; ++seq)
            c.addEntry(entry.data(), static_cast<int>(entry.size()), seq);
    }
    FlrRolCacheBase scan(dir.path().c_str());
    const auto files = scan.getFiles();
    ASSERT_GE(files.size(), 2u);
    int sums = 0;
    for (uint64_t seq = 1; seq <= 100; ++seq) {
        const std::string sum = path(FlrRolCacheBase::cacheFileName(seq)) + ".sum";
        if (::access(sum.c_str(), F_OK) != 0) continue;
        ++sums;
        EXPECT_NE(std::find(files.begin(), files.end(), seq), files.end()) << seq;
    }
    EXPECT_EQ(sums, static_cast<int>(files.size()));
    EXPECT_EQ(flr({"cache", "verify", dir.path()}).status, 0);
}

TEST_F(RolCacheCmdTest, VerifyChecksNamesOrderAndEnds) {
    auto verify = [&] { return flr({"cache", "verify", dir.path()}); };
    flrtest::writeFile(path("cache.1"), rctest::fileBytes({{1, 10}, {2, 10}}));
    flrtest::writeFile(path("cache.3"), rctest::fileBytes({{3, 10}}));
    EXPECT_EQ(verify().status, 0);

    // The record being appended to the newest file is no damage.
    const std::string partial = rctest::recordBytes(4, rctest::payload(4, 100)).substr(0, 40);
    flrtest::writeFile(path("cache.3"), rctest::fileBytes({{3, 10}}) + partial);
    CacheRun r = verify();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("cache.3: incomplete final record at offset 30"), std::string::npos)
        << r.out;
    // In an older file it is.
    flrtest::writeFile(path("cache.1"), rctest::fileBytes({{1, 10}, {2, 10}}) + partial);
    r = verify();
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("cache.1: damaged record at offset 52: record of 100 bytes has only 28"),
              std::string::npos)
        << r.out;
    flrtest::writeFile(path("cache.1"), rctest::fileBytes({{1, 10}, {2, 10}}));

    // A file just created: incomplete when newest, damage otherwise.
    flrtest::writeFile(path("cache.3"), "");
    r = verify();
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("cache.3: incomplete final record at offset 0"), std::string::npos);
    flrtest::writeFile(path("cache.4"), rctest::fileBytes({{4, 10}}));
    r = verify();
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("cache.3: damaged record at offset 0: file is only 0 bytes long"),
              std::string::npos)
        << r.out;
    ::unlink(path("cache.4").c_str());

    flrtest::writeFile(path("cache.3"), rctest::fileBytes({{4, 10}}));
    r = verify();
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("cache.3: damaged record at offset 8: first entry 4 does not match the "
                         "file name"),
              std::string::npos)
        << r.out;

    flrtest::writeFile(path("cache.3"), rctest::fileBytes({{3, 10}}));
    flrtest::writeFile(path("cache.2"), rctest::fileBytes({{2, 10}}));  // overlaps cache.1
    r = verify();
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(
        r.out.find("cache.2: damaged record at offset 8: sequence number 2 does not follow 2"),
        std::string::npos)
        << r.out;
    ::unlink(path("cache.2").c_str());

    flrtest::writeFile(path("cache.007"), "x");
    r = verify();
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("cache.007: not a cache file name"), std::string::npos) << r.out;
}

TEST_F(RolCacheCmdTest, DumpDecodesJournalRecords) {
    fillWithJournal(300);
    const std::string opaque = "not a journal record";
    {
        FlrRolCache c(dir.path().c_str(), 64 * kMiB, 2 * kMiB);
        c.addEntry(opaque.data(), static_cast<int>(opaque.size()), 100000);
    }
    CacheRun r = flr({"cache", "dump", dir.path(), "--from", "150", "--count", "2"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out.find("entry 150 (cache.1, offset "), 0u) << r.out;
    EXPECT_NE(r.out.find("\nentry 151 "), std::string::npos);
    EXPECT_EQ(r.out.find("entry 152 "), std::string::npos);
    EXPECT_NE(r.out.find("seq_num.......... 150\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("cmd.............. FLR_JRN_"), std::string::npos);

    r = flr({"cache", "dump", dir.path(), "--from", "300"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("entry 100000 "), std::string::npos);
    EXPECT_NE(r.out.find("(not a raw journal record: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("|not a journal re|"), std::string::npos) << r.out;

    EXPECT_EQ(flr({"cache", "dump", dir.path(), "--count", "0"}).status, 2);
    // A damaged file stops the dump with an error.
    std::string bytes = flrtest::readFile(path("cache.1"));
    bytes[8 + 8] = 0x7F;
    flrtest::writeFile(path("cache.1"), bytes);
    r = flr({"cache", "dump", dir.path()});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("damaged record at offset 8: invalid record length"), std::string::npos)
        << r.out;
}

}  // namespace
