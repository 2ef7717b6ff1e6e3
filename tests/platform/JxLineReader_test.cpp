// Line-at-a-time reading: every line comes back whole and in order, whatever
// its length against the read size, and failures are reported, not taken as
// an end.
#include "platform/JxLineReader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "FLR/JxException.h"
#include "support/FaultyFileOps.h"
#include "support/TestSupport.h"

namespace {

std::vector<std::string> readLines(const std::string& path) {
    jx::LineReader r(path, "test file");
    std::vector<std::string> lines;
    std::string_view line;
    while (r.next(&line)) lines.emplace_back(line);
    return lines;
}

TEST(JxLineReader, GivesEveryLineWholeAndInOrder) {
    const std::string longLine(200000, 'x');  // several reads long
    struct Case {
        const char* name;
        std::string content;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"empty", "", {}},
        {"one line", "a\n", {"a"}},
        {"no last newline", "a\nb", {"a", "b"}},
        {"empty lines", "\n\na\n\n", {"", "", "a", ""}},
        {"line longer than a read", "s\n" + longLine + "\nt\n", {"s", longLine, "t"}},
        {"long last line without newline", longLine, {longLine}},
    };
    flrtest::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.file(c.name);
        flrtest::writeFile(path, c.content);
        EXPECT_EQ(readLines(path), c.lines);
    }
    // Many lines crossing every read boundary.
    std::string many;
    std::vector<std::string> want;
    for (int i = 0; i < 30000; ++i) {
        want.push_back(std::string(static_cast<size_t>(i % 97), 'a' + i % 26));
        many += want.back() + "\n";
    }
    flrtest::writeFile(dir.file("many"), many);
    EXPECT_EQ(readLines(dir.file("many")), want);

    // Whether the last line ended, and a bound on the length of a line.
    flrtest::writeFile(dir.file("cut"), "a\nb");
    jx::LineReader cut(dir.file("cut"), "test file");
    std::string_view line;
    ASSERT_TRUE(cut.next(&line));
    EXPECT_TRUE(cut.lastEnded());
    ASSERT_TRUE(cut.next(&line));
    EXPECT_FALSE(cut.lastEnded());
    jx::LineReader bounded(dir.file("line longer than a read"), "test file", 1000);
    ASSERT_TRUE(bounded.next(&line));
    try {
        bounded.next(&line);
        ADD_FAILURE() << "a line over the bound was given";
    } catch (const JxException& e) {
        EXPECT_EQ(EFBIG, e.getCode());
        EXPECT_NE(std::string::npos, e.getMessage().find("line 2: line longer than 1000 bytes"))
            << e.getMessage();
    }
}

TEST(JxLineReader, AMissingFileHasNoLinesAndOtherFailuresThrow) {
    flrtest::TempDir dir;
    jx::LineReader missing(dir.file("none"), "test file");
    std::string_view line;
    EXPECT_TRUE(missing.missing());
    EXPECT_FALSE(missing.next(&line));

    flrtest::writeFile(dir.file("f"), std::string(100000, 'a') + "\n");
    for (const auto op : {flrtest::FaultyFileOps::Op::Open, flrtest::FaultyFileOps::Op::Read}) {
        flrtest::FaultyFileOps faulty;
        faulty.failNth(op, op == flrtest::FaultyFileOps::Op::Read ? 2 : 1, EIO);
        jx::ScopedFileOps scope(faulty);
        try {
            jx::LineReader r(dir.file("f"), "test file");
            while (r.next(&line)) {
            }
            ADD_FAILURE() << "a failed read was taken as the end";
        } catch (const JxException& e) {
            EXPECT_EQ(EIO, e.getCode());
            EXPECT_NE(std::string::npos, e.getMessage().find("test file " + dir.file("f")))
                << e.getMessage();
        }
    }
}

}  // namespace
