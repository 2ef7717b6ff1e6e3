// Journal files: walking them record by record in either form, the byte
// offset of the first damaged record, counting, atomic writing and the
// raw-to-network conversion of a whole file.
#include "FLR/FlrJrnFile.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "FLR/JxException.h"
#include "JournalTestUtil.h"
#include "support/TestSupport.h"

namespace {

using namespace jrntest;

std::string joined(const std::vector<std::vector<uint8_t>>& records) {
    std::string out;
    for (const auto& r : records) out.append(r.begin(), r.end());
    return out;
}

struct Form {
    FlrJrnForm form;
    const char* name;
};

class FlrJrnFileForms : public ::testing::TestWithParam<Form> {
  protected:
    // The sample journal in the form under test, one record per element.
    std::vector<std::vector<uint8_t>> records() {
        FlrFidPathMap paths;
        auto raw = sampleRecords(300, 5, FlrJrnSample::Mix::Full, &paths);
        if (GetParam().form == FlrJrnForm::Raw) return raw;
        FlrJrnConverter conv(paths);
        std::vector<std::vector<uint8_t>> net;
        for (const auto& rec : raw) {
            FlrJrnCommand c;
            FlrJrnCommandNet n;
            EXPECT_EQ(decodeRawCmd(rec.data(), rec.size(), &c), 0);
            if (conv.convert(c, n) == FlrJrnConvResult::Ok) net.push_back(encodeNet(n));
        }
        return net;
    }
    // Walks the reader; the offset and length of every record.
    std::vector<std::pair<size_t, uint32_t>> walk(FlrJrnFileReader& in) {
        std::vector<std::pair<size_t, uint32_t>> seen;
        FlrJrnCommand raw;
        FlrJrnCommandNet net;
        while (GetParam().form == FlrJrnForm::Raw ? in.next(raw) : in.next(net)) {
            seen.emplace_back(in.offset(), in.length());
        }
        return seen;
    }
    flrtest::TempDir dir_;
};

TEST_P(FlrJrnFileForms, WalksEveryRecordInOrderFromFileOrMemory) {
    const auto recs = records();
    const std::string bytes = joined(recs);
    const std::string path = dir_.file("j");
    flrtest::writeFile(path, bytes);
    FlrJrnFileReader fromFile(path, GetParam().form, "test");
    FlrJrnFileReader fromMemory(bytes.data(), bytes.size(), GetParam().form, "test");
    for (FlrJrnFileReader* in : {&fromFile, &fromMemory}) {
        const auto seen = walk(*in);
        ASSERT_EQ(seen.size(), recs.size());
        size_t off = 0;
        for (size_t i = 0; i < recs.size(); ++i) {
            EXPECT_EQ(seen[i].first, off);
            EXPECT_EQ(seen[i].second, recs[i].size());
            off += recs[i].size();
        }
        in->rewind();
        EXPECT_EQ(walk(*in).size(), recs.size()) << "rewind starts over";
    }
    const FlrJrnFileStats st = countJournalFile(fromFile);
    EXPECT_EQ(st.totalRecords(), recs.size());
    EXPECT_EQ(st.totalBytes(), bytes.size());
}

TEST_P(FlrJrnFileForms, DamagedRecordNamesItsOffsetAfterTheGoodOnes) {
    const auto recs = records();
    std::string bytes = joined(recs);
    const size_t second = recs[0].size();
    bytes[second] = 3;  // no form has code 3
    FlrJrnFileReader in(bytes.data(), bytes.size(), GetParam().form, "journal print");
    FlrJrnCommand raw;
    FlrJrnCommandNet net;
    EXPECT_TRUE(GetParam().form == FlrJrnForm::Raw ? in.next(raw) : in.next(net));
    try {
        GetParam().form == FlrJrnForm::Raw ? in.next(raw) : in.next(net);
        FAIL() << "the damaged record was accepted";
    } catch (const JxException& e) {
        EXPECT_EQ(e.getFunction(), "journal print");
        const std::string expect = GetParam().form == FlrJrnForm::Raw
                                       ? "unknown journal command 3"
                                       : "Can't decode unknown net journal command 3";
        EXPECT_EQ(e.getMessage(),
                  "bad record at byte offset " + std::to_string(second) + ": " + expect);
    }

    // A file cut inside its last record: the reader never reads past it.
    // An allocation of exactly the cut size, so AddressSanitizer sees any
    // read past it.
    const std::string cut = joined(recs).substr(0, bytes.size() - 1);
    std::unique_ptr<uint8_t[]> exact(new uint8_t[cut.size()]);
    std::memcpy(exact.get(), cut.data(), cut.size());
    FlrJrnFileReader shortIn(exact.get(), cut.size(), GetParam().form, "f");
    try {
        walk(shortIn);
        FAIL() << "the cut record was accepted";
    } catch (const JxException& e) {
        EXPECT_EQ(e.getMessage().rfind("bad record at byte offset " +
                                           std::to_string(cut.size() + 1 - recs.back().size()),
                                       0),
                  0u)
            << e.getMessage();
        EXPECT_NE(e.getMessage().find("exceeds the "), std::string::npos) << e.getMessage();
    }
}

INSTANTIATE_TEST_SUITE_P(Both, FlrJrnFileForms,
                         ::testing::Values(Form{FlrJrnForm::Raw, "Raw"},
                                           Form{FlrJrnForm::Net, "Net"}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST(FlrJrnFile, EmptyMissingAndOtherFormFiles) {
    flrtest::TempDir dir;
    flrtest::writeFile(dir.file("empty"), "");
    FlrJrnFileReader empty(dir.file("empty"), FlrJrnForm::Raw, "f");
    FlrJrnCommand c;
    EXPECT_FALSE(empty.next(c));
    EXPECT_EQ(countJournalFile(empty).totalRecords(), 0u);

    try {
        FlrJrnFileReader missing(dir.file("none"), FlrJrnForm::Raw, "journal stats");
        FAIL() << "a missing file was opened";
    } catch (const JxException& e) {
        EXPECT_EQ(e.getFunction(), "journal stats");
        EXPECT_EQ(e.getMessage().rfind("Failed to open " + dir.file("none") + " for reading", 0),
                  0u);
    }

    FlrJrnCommandNet n;
    EXPECT_THROW(empty.next(n), JxException) << "a raw file is not read as network records";
}

TEST(FlrJrnFile, WriterShowsNothingUnderTheNameBeforeCommit) {
    flrtest::TempDir dir;
    const std::string path = dir.file("out");
    {
        FlrJrnFileWriter out(path, "f");
        out.write("abc", 3);
    }
    EXPECT_FALSE(std::ifstream(path).good());
    EXPECT_FALSE(std::ifstream(path + ".tmp").good()) << "an abandoned file is removed";

    flrtest::writeFile(path, "old");
    FlrJrnFileWriter out(path, "f");
    std::string big(3 << 20, 'x');  // past the flush threshold
    out.write(big.data(), big.size());
    out.write("end", 3);
    EXPECT_EQ(flrtest::readFile(path), "old") << "the old file stays until commit";
    out.commit();
    EXPECT_EQ(flrtest::readFile(path), big + "end");
    EXPECT_FALSE(std::ifstream(path + ".tmp").good());
}

TEST(FlrJrnFile, ConversionWritesEachNetworkRecordAndCountsTheSkipped) {
    FlrFidPathMap paths;
    const auto raw = sampleRecords(200, 3, FlrJrnSample::Mix::Full, &paths);
    const std::string bytes = joined(raw);
    std::string expect;
    size_t msg = 0, ddr = 0;
    FlrJrnConverter conv(paths);
    for (const auto& rec : raw) {
        FlrJrnCommand c;
        FlrJrnCommandNet n;
        ASSERT_EQ(decodeRawCmd(rec.data(), rec.size(), &c), 0);
        if (conv.convert(c, n) == FlrJrnConvResult::Ok) {
            const auto w = encodeNet(n);
            expect.append(w.begin(), w.end());
        } else {
            ++(c.cmd == FLR_JRN_TXTMSG ? msg : ddr);
        }
    }
    ASSERT_GT(msg + ddr, 0u);

    flrtest::TempDir dir;
    FlrJrnFileReader in(bytes.data(), bytes.size(), FlrJrnForm::Raw, "journal to-net");
    FlrJrnFileWriter out(dir.file("net"), "journal to-net");
    const FlrJrnFileConversion done = convertJournalFile(in, paths, out);
    out.commit();
    EXPECT_EQ(flrtest::readFile(dir.file("net")), expect);
    EXPECT_EQ(done.converted + msg + ddr, raw.size());
    EXPECT_EQ(done.bytes, expect.size());
    EXPECT_EQ(done.skippedMsg, msg);
    EXPECT_EQ(done.skippedDdr, ddr);

    // A record naming an unknown file stops the conversion with its offset.
    FlrFidPathMap none;
    FlrJrnFileWriter failed(dir.file("failed"), "journal to-net");
    try {
        convertJournalFile(in, none, failed);
        FAIL() << "converted without paths";
    } catch (const JxException& e) {
        EXPECT_EQ(e.getFunction(), "journal to-net");
        EXPECT_NE(e.getMessage().find(" (seq_num "), std::string::npos) << e.getMessage();
        EXPECT_NE(e.getMessage().find("no path known for "), std::string::npos) << e.getMessage();
    }
}

}  // namespace
