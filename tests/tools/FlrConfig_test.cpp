// flr config and flr jobs, run as a person would run them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mgmt/JXZrpJobClient.h"
#include "mgmt/MgmtConfig.h"
#include "platform/JXPlatformInfo.h"
#include "support/TestSupport.h"
#include "support/ToolRunner.h"

namespace {

using Args = std::vector<std::string>;

struct ConfigFixture {
    flrtest::ScopedRegistry reg;
    std::vector<std::string> env{"FLR_REGISTRY=" + reg.path()};

    flrtest::ToolRun run(const Args& args) {
        Args full{"config"};
        full.insert(full.end(), args.begin(), args.end());
        return flrtest::runTool(full, {}, env);
    }
};

TEST(FlrConfig, BuildsAConfigurationTheLibraryReads) {
    FLR_REQUIRE_TOOL();
    ConfigFixture f;
    const Args steps[] = {
        {"client", "add", "head", "--host", "head.example.com"},
        {"client", "add", "tail"},
        {"set", "add", "web", "--client", "head", "--dest", "2"},
        {"pair", "add", "--set", "web", "/srv/www", "/rep/www"},
        {"pair", "add", "--set", "1", "/srv/data", "/rep/data", "--id", "40"},
        {"filter", "add", "--set", "web", "tmp"},
        {"filter", "add", "--set", "web", "--exception", "/srv/www/tmp"},
    };
    const char* printed[] = {"added client 1\n",
                             "added client 2\n",
                             "added set 1\n",
                             "added pair 2\n",
                             "added pair 40\n",
                             "",
                             ""};
    for (size_t i = 0; i < std::size(steps); ++i) {
        const auto r = f.run(steps[i]);
        EXPECT_EQ(0, r.status) << steps[i][0] << " " << steps[i][1] << ": " << r.err;
        EXPECT_EQ(printed[i], r.out);
    }
    // The library sees what the commands wrote.
    std::string dest;
    ASSERT_EQ(0, FileReplicationSubClient(40).getdestPath(&dest));
    EXPECT_EQ("/rep/data", dest);
    EXPECT_EQ(std::vector<std::string>{"tmp"}, MgmtConfig::getFilters(1, JX_FILTER_EXCLUSIONS));

    auto pairs = f.run({"pair", "list", "--json"});
    EXPECT_EQ(0, pairs.status);
    EXPECT_EQ(
        "{\"id\":2,\"set\":1,\"src\":\"/srv/www\",\"dst\":\"/rep/www\"}\n"
        "{\"id\":40,\"set\":1,\"src\":\"/srv/data\",\"dst\":\"/rep/data\"}\n",
        pairs.out);
    auto filters = f.run({"filter", "list", "--set", "web"});
    EXPECT_EQ("exclude    tmp\nexception  /srv/www/tmp\n", filters.out);

    // Taken apart again, in the order the configuration demands.
    for (const Args& a :
         {Args{"filter", "remove", "--set", "web", "tmp"}, Args{"pair", "remove", "2"},
          Args{"pair", "remove", "40"}, Args{"set", "remove", "web"},
          Args{"client", "remove", "head"}, Args{"client", "remove", "2"}}) {
        const auto r = f.run(a);
        EXPECT_EQ(0, r.status) << a[0] << " " << a[1] << ": " << r.err;
    }
    EXPECT_EQ("", f.run({"client", "list"}).out);
}

TEST(FlrConfig, RefusalsExitOneWithTheReasonAndUsageErrorsExitTwo) {
    FLR_REQUIRE_TOOL();
    ConfigFixture f;
    ASSERT_EQ(0, f.run({"client", "add", "head"}).status);
    ASSERT_EQ(0, f.run({"set", "add", "s", "--client", "1", "--dest", "1"}).status);
    const struct {
        Args args;
        int status;
        const char* err;
    } cases[] = {
        {{"client", "remove", "head"}, 1, "Client 1 is used by set 1 (s); remove the set first"},
        {{"set", "add", "t", "--client", "nobody", "--dest", "1"}, 1, "No client named nobody"},
        {{"pair", "add", "--set", "s", "rel", "/d"}, 1, "must be an absolute path: rel"},
        {{"pair", "remove", "9"}, 1, "No pair 9"},
        {{"filter", "add", "--set", "s", "/a/**b"}, 1, "'**' must be a whole level"},
        {{"filter", "list", "--set", "nope"}, 1, "No set named nope"},
        {{"pair", "add", "/x"}, 2, "--set is required"},
        {{"client", "frobnicate"}, 2, ""},
        {{}, 2, ""},
    };
    for (const auto& c : cases) {
        const auto r = f.run(c.args);
        EXPECT_EQ(c.status, r.status) << (c.args.empty() ? "" : c.args[0]) << ": " << r.err;
        EXPECT_NE(std::string::npos, r.err.find(c.err)) << r.err;
    }
}

TEST(FlrJobs, ShowsTheLatestStatePerJob) {
    FLR_REQUIRE_TOOL();
    ConfigFixture f;
    flrtest::TempDir dir;
    JXZrpJobClient::State s;
    s.job = 7;
    s.pair = 3;
    s.state = "running";
    s.filesToTransfer = 10;
    s.filesTransferred = 2;
    std::string text = JXZrpJobClient::toJson(s) + "\n";
    s.filesTransferred = 5;
    s.bytesToTransfer = 200;
    s.bytesTransferred = 50;
    s.currentFile = "/srv/a b";
    text += JXZrpJobClient::toJson(s) + "\n";
    JXZrpJobClient::State other;
    other.job = 8;
    other.pair = 4;
    other.state = "complete";
    text += JXZrpJobClient::toJson(other) + "\n";
    flrtest::writeFile(dir.file("outbox.jsonl"), text);

    auto r = flrtest::runTool(
        {"jobs", "--outbox", dir.file("outbox.jsonl"), "--json", "--pair", "3"}, {}, f.env);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(JXZrpJobClient::toJson(s) + "\n", r.out);

    r = flrtest::runTool({"jobs", "--outbox", dir.file("outbox.jsonl")}, {}, f.env);
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.out.find("5/10 50%"));
    EXPECT_NE(std::string::npos, r.out.find("50/200 25%"));
    EXPECT_NE(std::string::npos, r.out.find("\"/srv/a b\""));
    EXPECT_NE(std::string::npos, r.out.find("complete"));

    // The install directory from the registry names the default outbox.
    ASSERT_EQ(0, JXPlatformInfo::setString("Platform", "dInstall", dir.path() + "/none"));
    r = flrtest::runTool({"jobs"}, {}, f.env);
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos, r.err.find("no job has reported yet"));
}

}  // namespace
