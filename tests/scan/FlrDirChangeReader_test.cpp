#include "scan/FlrDirChangeReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FLR/JxException.h"
#include "support/TestSupport.h"

namespace {

using Reader = FlrDirChangeReader;

TEST(FlrDirChangeReader, ParsesBlocksOfBothFormatsAndUnescapes) {
    const std::string text =
        "/src/a\\x09b\n"
        "|644|0|0|5|100|\tfile\\x0aname\n"
        "|755|1|2|0|7|\tsub\n"
        "/src\n"
        "\tback\\\\slash\n"
        "\ttab\\x09in\\x0dname\n"
        "/empty\n";
    const auto blocks = Reader::parse(text);
    ASSERT_EQ(3u, blocks.size());
    EXPECT_EQ("/src/a\tb", blocks[0].path);
    ASSERT_EQ(2u, blocks[0].entries.size());
    EXPECT_EQ("file\nname", blocks[0].entries[0].name);
    EXPECT_EQ("|644|0|0|5|100|", blocks[0].entries[0].attrs);
    EXPECT_EQ("/src", blocks[1].path);
    EXPECT_EQ("back\\slash", blocks[1].entries[0].name);
    EXPECT_EQ("", blocks[1].entries[0].attrs);
    EXPECT_EQ("tab\tin\rname", blocks[1].entries[1].name);
    EXPECT_TRUE(blocks[2].entries.empty());
    EXPECT_TRUE(Reader::parse("").empty());
}

TEST(FlrDirChangeReader, RefusesMalformedTextNamingTheLine) {
    struct Case {
        std::string text;
        std::string why;
    };
    const Case cases[] = {
        {"\tentry\n", "line 1: an entry before any directory"},
        {"/d\n\tx\n/cut", "line 3: the last line has no line feed (file cut short?)"},
        {"/d\n\n", "line 2: an empty directory path"},
        {"/d\n\t" + std::string(Reader::kMaxLine, 'n') + "\n", "line 2: line longer than"},
    };
    for (const Case& c : cases) {
        try {
            Reader::parse(c.text);
            ADD_FAILURE() << "no exception for " << c.why;
        } catch (const JxException& e) {
            EXPECT_NE(std::string::npos, e.getMessage().find(c.why)) << e.getMessage();
            EXPECT_EQ("FlrDirChangeReader::next", e.getFunction());
        }
    }
}

TEST(FlrDirChangeReader, ReadsAFileAcrossItsBufferBoundaries) {
    flrtest::TempDir dir;
    std::string text;
    const int blocks = flrtest::scaled(300);
    for (int b = 0; b < blocks; ++b) {
        text += "/dir/" + std::to_string(b) + "\n";
        for (int e = 0; e < 40; ++e) text += "|600|0|0|1|2|\tentry" + std::to_string(e) + "\n";
    }
    flrtest::writeFile(dir.file("DirChange.txt"), text);
    Reader reader(dir.file("DirChange.txt"));
    Reader::Block block;
    int n = 0;
    while (reader.next(block)) {
        EXPECT_EQ("/dir/" + std::to_string(n), block.path);
        ASSERT_EQ(40u, block.entries.size());
        EXPECT_EQ("entry39", block.entries.back().name);
        ++n;
    }
    EXPECT_EQ(blocks, n);
    EXPECT_FALSE(reader.next(block));
    try {
        Reader missing(dir.file("none"));
        FAIL() << "no exception";
    } catch (const JxException& e) {
        EXPECT_EQ(
            "Couldn't open dirchange file " + dir.file("none") + ": No such file or directory",
            e.getMessage());
    }
}

TEST(FlrDirChangeReader, AttributeStrings) {
    Reader::Attributes a;
    ASSERT_TRUE(Reader::parseAttributes("|4755|1000|100|12345678901|4294967295|", a));
    EXPECT_EQ(04755u, a.mode);
    EXPECT_EQ(1000, a.uid);
    EXPECT_EQ(100, a.gid);
    EXPECT_EQ(12345678901LL, a.size);
    EXPECT_EQ(4294967295u, a.mtime);
    for (const char* bad : {"", "|644|0|0|5|", "644|0|0|5|1|", "|644|0|0|5|1|x", "|9|0|0|0|0|",
                            "|644|0|0|5|4294967296|", "|644||0|5|1|"})
        EXPECT_FALSE(Reader::parseAttributes(bad, a)) << bad;
}

}  // namespace
