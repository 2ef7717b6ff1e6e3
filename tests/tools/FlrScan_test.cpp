// flr scan, run as a person would run it.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "support/ToolRunner.h"

namespace {

using Args = std::vector<std::string>;

struct ScanFixture {
    flrtest::TempDir dir;
    std::string src = dir.file("src");
    std::string collect = dir.file("Collect.txt");
    std::string dirchange = dir.file("DirChange.txt");
    std::vector<std::string> env{"FLR_REGISTRY=" + dir.file("registry.ini")};
    ScanFixture() {
        ::mkdir(src.c_str(), 0755);
        ::mkdir((src + "/d").c_str(), 0755);
        flrtest::writeFile(src + "/a", "12345");
        flrtest::writeFile(src + "/d/b", "xy");
    }
    flrtest::ToolRun run(const Args& args) { return flrtest::runTool(args, {}, env); }
};

TEST(FlrScan, BaselineWritesBothFilesAndReportsTotals) {
    FLR_REQUIRE_TOOL();
    ScanFixture f;
    const flrtest::ToolRun r = f.run({"scan", "baseline", f.src, "--collect", f.collect,
                                      "--dirchange", f.dirchange, "--attrs", "--json"});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_NE(std::string::npos, r.out.find("\"scan\":\"baseline\",\"entries\":3,\"files\":4,"
                                            "\"bytes\":7,"))
        << r.out;
    EXPECT_EQ("", r.err);  // no progress line without a terminal
    const std::string collect = flrtest::readFile(f.collect);
    EXPECT_NE(std::string::npos, collect.find(f.src + "/d/b\n"));
    EXPECT_NE(std::string::npos, flrtest::readFile(f.dirchange).find("|2|"));

    const flrtest::ToolRun plain = f.run({"scan", "sdr", f.src, "--since", "2000-01-01T00:00:00",
                                          "--collect", f.collect, "--dirchange", f.dirchange});
    ASSERT_EQ(0, plain.status) << plain.err;
    EXPECT_EQ(0u, plain.out.find("sdr scan: 3 entries, 4 files (7 bytes) selected in "))
        << plain.out;
}

TEST(FlrScan, ErrorsExitOneAndUsageTwo) {
    FLR_REQUIRE_TOOL();
    ScanFixture f;
    const flrtest::ToolRun missing = f.run(
        {"scan", "sdr", f.dir.file("none"), "--collect", f.collect, "--dirchange", f.dirchange});
    EXPECT_EQ(1, missing.status);
    EXPECT_NE(std::string::npos,
              missing.err.find("Failed to stat " + f.dir.file("none") + ": No such file"))
        << missing.err;
    struct stat st;
    EXPECT_NE(0, ::stat(f.collect.c_str(), &st));  // a failed scan leaves no files
    const Args usage[] = {
        {"scan"},
        {"scan", "baseline", f.src},                     // no --collect
        {"scan", "sdr", f.src, "--collect", f.collect},  // no --dirchange
        {"scan", "sdr", f.src, "--collect", f.collect, "--dirchange", f.dirchange, "--since",
         "yesterday"},
        {"scan", "zrp", "--collect", f.collect, "--dirchange", f.dirchange},  // no pair
        {"scan", "ddr", f.src, "--collect", f.collect, "--dirchange", f.dirchange},
    };
    for (const Args& a : usage) EXPECT_EQ(2, f.run(a).status) << a.size();
}

}  // namespace
