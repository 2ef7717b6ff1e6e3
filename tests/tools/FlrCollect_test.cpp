// flr collect print, run as a person would run it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "support/ToolRunner.h"

namespace {

const std::string kFid = "00112233445566778899aabbccddeeff0011223344556677";

TEST(FlrCollect, PrintsPathAndTypedEntriesUnescaped) {
    FLR_REQUIRE_TOOL();
    flrtest::TempDir dir;
    const std::string file = dir.file("Collect.txt");
    const std::string lines[] = {"/a/x\\x0ay\n", "F " + kFid + " /b/\\\\q\n", "D " + kFid + " /b\n",
                                 "/c/\"\xff\"\n"};
    std::string text;
    std::vector<std::string> at;
    for (const std::string& l : lines) {
        at.push_back(std::to_string(text.size()));
        text += l;
    }
    flrtest::writeFile(file, text);
    auto json = [&at](int i, const std::string& rest) {
        return "{\"offset\":" + at[size_t(i)] + "," + rest + "}\n";
    };
    const struct {
        std::vector<std::string> args;
        std::string out;
    } cases[] = {
        {{}, "/a/x\\x0ay\nF " + kFid + " /b/\\q\nD " + kFid + " /b\n/c/\"\xff\"\n"},
        {{"--from", at[2], "--offsets"}, at[2] + " D " + kFid + " /b\n" + at[3] + " /c/\"\xff\"\n"},
        {{"--json"},
         json(0, R"("type":"F","path":"/a/x\u000ay")") +
             json(1, R"("type":"F","fid":"00112233445566778899aabbccddeeff0011223344556677",)"
                     R"("path":"/b/\\q")") +
             json(2, R"("type":"D","fid":"00112233445566778899aabbccddeeff0011223344556677",)"
                     R"("path":"/b")") +
             json(3, R"("type":"F","path":"/c/\"\u00ff\"")")},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"collect", "print", file};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const auto r = flrtest::runTool(args);
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ(c.out, r.out);
    }
}

TEST(FlrCollect, SkippedAndMalformedLinesFailTheRunButNotTheRest) {
    FLR_REQUIRE_TOOL();
    flrtest::TempDir dir;
    const std::string file = dir.file("c");
    const std::string bad = "X " + kFid + " /bad\n";
    flrtest::writeFile(file, "/ok\n" + bad + "/" + std::string(2 << 20, 'l') + "\n/end\n");
    const auto r = flrtest::runTool({"collect", "print", file});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("/ok\n/end\n", r.out);
    EXPECT_NE(std::string::npos, r.err.find(file + ": the line at offset 4 is not a collect entry"))
        << r.err;
    EXPECT_NE(std::string::npos,
              r.err.find("line at offset " + std::to_string(4 + bad.size()) + " of collect file"))
        << r.err;

    const auto missing = flrtest::runTool({"collect", "print", dir.file("none")});
    EXPECT_EQ(1, missing.status);
    EXPECT_EQ(
        "flr: Couldn't open collect file " + dir.file("none") + ": No such file or directory\n",
        missing.err);
    EXPECT_EQ(2, flrtest::runTool({"collect", "print", file, "--from", "-1"}).status);
}

}  // namespace
