// The recorded-journal source: hands out exactly the file's records, in
// order, and refuses a damaged or missing file before handing out any.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FLR/JxException.h"
#include "journal/FlrJrnFileSource.h"
#include "journal/FlrJrnSample.h"
#include "support/TestSupport.h"

namespace {

TEST(JrnFileSource, HandsOutEveryRecordByteForByteThenNothing) {
    flrtest::TempDir dir;
    FlrJrnSample sample(FlrJrnSample::Options{});
    std::vector<uint8_t> bytes;
    std::vector<size_t> sizes;
    for (int i = 0; i < 300; ++i) sizes.push_back(sample.appendNext(bytes));
    flrtest::writeFile(dir.file("j"), std::string(bytes.begin(), bytes.end()));

    FlrJrnFileSource source(dir.file("j"), "journal replay");
    ASSERT_EQ(source.records(), sizes.size());
    std::vector<uint8_t> record, joined;
    size_t n = 0;
    while (source.next(record, 0)) {
        ASSERT_LT(n, sizes.size());
        EXPECT_EQ(record.size(), sizes[n++]);
        joined.insert(joined.end(), record.begin(), record.end());
    }
    EXPECT_EQ(joined, bytes);
    EXPECT_TRUE(source.exhausted());
    EXPECT_FALSE(source.next(record, 0));
}

TEST(JrnFileSource, RefusesBadFiles) {
    flrtest::TempDir dir;
    FlrJrnSample sample(FlrJrnSample::Options{});
    std::vector<uint8_t> bytes;
    sample.generate(20, bytes);
    const std::string good(bytes.begin(), bytes.end());
    const struct {
        const char* name;
        std::string content;  // empty name: no file
        const char* message;
    } cases[] = {
        {"cut", good.substr(0, good.size() - 3), "bad record at byte offset"},
        {"garbage", good + std::string(40, '\xee'), "bad record at byte offset"},
        {"", "", "does not exist"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        const std::string path = dir.file(c.name[0] ? c.name : "missing");
        if (c.name[0]) flrtest::writeFile(path, c.content);
        try {
            FlrJrnFileSource source(path, "journal replay");
            ADD_FAILURE() << "accepted";
        } catch (const JxException& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

}  // namespace
