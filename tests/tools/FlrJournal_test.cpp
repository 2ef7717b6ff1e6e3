// The flr journal and flr fid commands end to end: what a person sees, and
// that bad input gives a clear error with exit status 1, never a crash.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <string>
#include <vector>

#include "FLR/FlrRawJournal.h"
#include "journal/FlrJrnSample.h"
#include "support/TestSupport.h"
#include "support/ToolRunner.h"

namespace {

using flrtest::runTool;
using flrtest::ToolRun;

class FlrJournalTool : public ::testing::Test {
  protected:
    void SetUp() override { FLR_REQUIRE_TOOL(); }
    std::string file(const std::string& name) const { return dir_.file(name); }

    flrtest::TempDir dir_;
};

TEST_F(FlrJournalTool, GenPrintConvertAndPrintAgain) {
    const std::string raw = file("j.raw"), map = file("j.map"), net = file("j.net");
    ToolRun gen = runTool({"journal", "gen", raw, "--count", "40", "--seed", "9", "--map", map});
    ASSERT_EQ(gen.status, 0) << gen.err;
    EXPECT_EQ(gen.out.rfind("wrote 40 records (", 0), 0u) << gen.out;

    // The file holds what the generator makes for the same seed.
    std::vector<uint8_t> expect;
    FlrJrnSample::Options opt;
    opt.seed = 9;
    FlrJrnSample sample(opt);
    sample.generate(40, expect);
    const std::string bytes = flrtest::readFile(raw);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.end()), expect);
    EXPECT_EQ(flrtest::readFile(map), sample.pathMap().toText());

    ToolRun print = runTool({"journal", "print", raw});
    ASSERT_EQ(print.status, 0) << print.err;
    EXPECT_EQ(print.out.rfind("cmd.............. FLR_JRN_NOOP\ntimestamp........ ", 0), 0u);
    EXPECT_NE(print.out.find("\n\ncmd.............. FLR_JRN_TXTMSG\n"), std::string::npos);
    size_t dumps = 0;
    for (size_t at = 0; (at = print.out.find("cmd.............. ", at)) != std::string::npos;
         ++at) {
        ++dumps;
    }
    EXPECT_EQ(dumps, 40u);

    ToolRun conv = runTool({"journal", "to-net", raw, net, "--map", map});
    ASSERT_EQ(conv.status, 0) << conv.err;
    EXPECT_NE(conv.out.find("have no network form"), std::string::npos) << conv.out;
    ToolRun netPrint = runTool({"journal", "print", "--net", net});
    ASSERT_EQ(netPrint.status, 0) << netPrint.err;
    EXPECT_NE(netPrint.out.find("\npath............. /srv/flr/src/"), std::string::npos);
    EXPECT_EQ(netPrint.out.find("FLR_JRN_TXTMSG"), std::string::npos);

    ToolRun stats = runTool({"journal", "stats", raw});
    ASSERT_EQ(stats.status, 0) << stats.err;
    EXPECT_NE(stats.out.find("total                            40"), std::string::npos)
        << stats.out;
    ToolRun json = runTool({"journal", "stats", "--net", "--json", net});
    ASSERT_EQ(json.status, 0) << json.err;
    EXPECT_EQ(json.out.rfind("{\"form\":\"net\",\"records\":", 0), 0u) << json.out;
    EXPECT_EQ(json.out.find("FLR_JRN_TXTMSG"), std::string::npos) << json.out;
}

TEST_F(FlrJournalTool, DamagedJournalNamesTheByteOffset) {
    const std::string raw = file("j.raw");
    ASSERT_EQ(runTool({"journal", "gen", raw, "--count", "10", "--seed", "2"}).status, 0);
    std::string bytes = flrtest::readFile(raw);
    FlrJrnCommand first;
    ASSERT_EQ(decodeRawCmd(bytes.data(), bytes.size(), &first), 0);
    const size_t second = static_cast<size_t>(getRawCmdSize(&first));

    flrtest::writeFile(file("cut"), bytes.substr(0, bytes.size() - 1));
    ToolRun cut = runTool({"journal", "print", file("cut")});
    EXPECT_EQ(cut.status, 1);
    EXPECT_NE(cut.err.find("bad record at byte offset "), std::string::npos) << cut.err;
    EXPECT_NE(cut.err.find("exceeds the "), std::string::npos) << cut.err;

    bytes[second] = 3;  // the second record's code
    flrtest::writeFile(file("code"), bytes);
    ToolRun code = runTool({"journal", "print", file("code")});
    EXPECT_EQ(code.status, 1);
    EXPECT_EQ(code.err, "flr: journal print: bad record at byte offset " + std::to_string(second) +
                            ": unknown journal command 3\n");
    EXPECT_EQ(code.out.find("FLR_JRN_SNAP"), std::string::npos);
    EXPECT_EQ(code.out.rfind("cmd.............. FLR_JRN_NOOP", 0), 0u) << "records before it print";

    ToolRun net = runTool({"journal", "print", "--net", file("code")});
    EXPECT_EQ(net.status, 1);
    EXPECT_NE(net.err.find("bad record at byte offset 0"), std::string::npos) << net.err;

    // A failed conversion leaves no output file behind.
    flrtest::writeFile(file("empty.map"), "");
    ToolRun conv = runTool({"journal", "to-net", raw, file("out.net"), "--map", file("empty.map")});
    EXPECT_EQ(conv.status, 1);
    EXPECT_NE(conv.err.find("no path known for "), std::string::npos) << conv.err;
    EXPECT_FALSE(std::ifstream(file("out.net")).good());
    EXPECT_FALSE(std::ifstream(file("out.net.tmp")).good());
}

TEST_F(FlrJournalTool, FidCommands) {
    const std::string hex = "000102030405060708090a0b0c0d0e0f1011121314abcdef";
    std::string upper = hex;
    for (char& c : upper) c = static_cast<char>(toupper(c));
    ToolRun norm = runTool({"fid", "normalize", upper});
    EXPECT_EQ(norm.status, 0);
    EXPECT_EQ(norm.out, hex + "\n");

    ToolRun check = runTool({"fid", "check", hex, "abc", hex + "00"});
    EXPECT_EQ(check.status, 1);
    EXPECT_EQ(check.out, hex + " ok\n");
    EXPECT_EQ(check.err,
              "flr: str2fid: Invalid FID \"abc\": too short.\nflr: str2fid: Invalid FID \"" + hex +
                  "00\": too long.\n");

    ToolRun bytes = runTool({"fid", "to-bytes", hex, "-o", file("fid.bin")});
    EXPECT_EQ(bytes.status, 0);
    EXPECT_EQ(flrtest::readFile(file("fid.bin")).size(), 24u);
    ToolRun back = runTool({"fid", "from-bytes", file("fid.bin")});
    EXPECT_EQ(back.out, hex + "\n");
    ToolRun shortRead = runTool({"fid", "from-bytes", file("fid.bin"), "--offset", "4"});
    EXPECT_EQ(shortRead.status, 1);
    EXPECT_NE(shortRead.err.find("holds 20 bytes from offset 4"), std::string::npos);
    EXPECT_EQ(runTool({"fid"}).status, 2) << "a family without a command is a usage error";
}

}  // namespace
