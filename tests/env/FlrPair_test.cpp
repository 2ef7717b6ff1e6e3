#include "env/FlrPair.h"

#include <gtest/gtest.h>

#include <string>

#include "FLR/JxException.h"
#include "env/FlrHelper.h"
#include "env/FlrJobClient.h"
#include "mgmt/MgmtConfig.h"
#include "platform/JXPlatformInfo.h"
#include "support/TestSupport.h"

namespace {

struct PairFixture {
    flrtest::ScopedRegistry reg;
    int head = MgmtConfig::addClient("head", "head.example.com");
    int tail = MgmtConfig::addClient("tail", "tail:node/2");
    long set = MgmtConfig::addSet("web", head, tail);
    long pair = MgmtConfig::addPair(set, "/", "/data/rep/");
};

std::string messageOf(int setId, int pairId) {
    try {
        FlrPair p(setId, pairId);
    } catch (const JxException& e) {
        EXPECT_EQ("FlrPair", e.getFunction());
        return e.getMessage();
    }
    return "(nothing thrown)";
}

TEST(FlrPair, GathersEveryFieldAndStripsTrailingSlashes) {
    PairFixture f;
    FlrPair p(int(f.set), int(f.pair));
    EXPECT_EQ(int(f.pair), p.pairId);
    EXPECT_EQ(int(f.set), p.setId);
    EXPECT_EQ(f.head, p.srcClientId);
    EXPECT_EQ(f.tail, p.dstClientId);
    EXPECT_EQ("head", p.srcName);
    EXPECT_EQ("tail", p.dstName);
    EXPECT_EQ("head.example.com", p.srcHost);
    EXPECT_EQ("tail:node/2", p.dstHost);
    EXPECT_EQ("head.example.com", p.srcHostMangled);
    EXPECT_EQ("tail_node_2", p.dstHostMangled);
    EXPECT_EQ("/", p.srcPath);
    EXPECT_EQ("/data/rep", p.dstPath);
    EXPECT_EQ("web", p.setName);
}

TEST(FlrPair, EachMissingPieceThrowsItsMessage) {
    PairFixture f;
    EXPECT_EQ("Failed to get replication options for set 7", messageOf(7, int(f.pair)));
    EXPECT_EQ("Failed to get source or destination folder name for pair 99",
              messageOf(int(f.set), 99));
    // A set whose destination client is gone: refused before clients are read.
    ASSERT_EQ(0, JXPlatformInfo::deleteValue("Management/Set/1", "nDestClientId"));
    EXPECT_EQ("Failed to get replication options for set 1", messageOf(int(f.set), int(f.pair)));
    ASSERT_EQ(0, JXPlatformInfo::setString("Management/Set/1", "nDestClientId", "2"));
    // The destination client lost its host name: the message names the source client.
    ASSERT_EQ(0, JXPlatformInfo::deleteValue("Management/Client/2", "sHostName"));
    EXPECT_EQ("Failed to query name of client 1", messageOf(int(f.set), int(f.pair)));
}

TEST(FlrHelper, PairToSetIdFindsTheSetOfAPair) {
    PairFixture f;
    EXPECT_EQ(int(f.set), FlrHelper::pairToSetId(2, int(f.pair)));
    try {
        FlrHelper::pairToSetId(2, 77);
        FAIL() << "no exception";
    } catch (const JxException& e) {
        EXPECT_EQ("Failed to lookup backup set for pair 77", e.getMessage());
        EXPECT_EQ("FlrHelper::pairToSetId", e.getFunction());
        EXPECT_EQ("FlrHelper", e.getSource());
    }
}

TEST(FlrJobClient, ReportsContinueAJobAcrossClients) {
    PairFixture f;
    flrtest::TempDir install;
    ASSERT_EQ(0, JXPlatformInfo::setString("Platform", "dInstall", install.path() + "/inst"));
    ASSERT_EQ(0, JXPlatformInfo::setString("Platform", "sManagementServer", "cs1"));
    {
        auto jc = openJobClient(int(f.pair));
        jc->setNumberOfFilesToTransfer(10);
        jc->setDataToTransfer(1000);
        // Not updated explicitly: the destructor reports the totals.
    }
    {
        auto jc = openJobClient(int(f.pair));
        EXPECT_EQ(10, jc->state().filesToTransfer);
        jc->setNumberOfTransferedFiles(4);
        jc->setDataTransfered(400);
        jc->setCurrentFile("/a\nb");
        bool stop = true;
        ASSERT_EQ(0, jc->updateInfo(false, &stop));
        EXPECT_FALSE(stop);
        jc->setNumberOfTransferedFiles(6);
        jc->setDataTransfered(600);
        jc->setCurrentFile("");
        ASSERT_EQ(0, jc->updateInfo(true, nullptr));
    }
    const auto jobs = JXZrpJobClient::readOutbox(install.path() + "/inst/outbox.jsonl");
    ASSERT_EQ(1u, jobs.size());
    const JXZrpJobClient::State& s = jobs.begin()->second;
    EXPECT_EQ(int(f.pair), s.pair);
    EXPECT_EQ("cs1", s.server);
    EXPECT_EQ("complete", s.state);
    EXPECT_EQ(10, s.filesTransferred);
    EXPECT_EQ(1000, s.bytesTransferred);
    EXPECT_EQ(1000, s.bytesToTransfer);
    EXPECT_EQ(3u, [&] {
        size_t lines = 0;
        for (char c : flrtest::readFile(install.path() + "/inst/outbox.jsonl")) lines += c == '\n';
        return lines;
    }());
}

TEST(FlrJobClient, AnUnconfiguredPairHasNoJob) {
    PairFixture f;
    flrtest::TempDir install;
    ASSERT_EQ(0, JXPlatformInfo::setString("Platform", "dInstall", install.path()));
    try {
        openJobClient(55);
        FAIL() << "no exception";
    } catch (const JxException& e) {
        EXPECT_EQ("Failed to init JXZrpJobClient object.", e.getMessage());
    }
    // An outbox that cannot be created gives the same message.
    ASSERT_EQ(0, JXPlatformInfo::setString("Platform", "dInstall", "/proc/no/such"));
    EXPECT_THROW(openJobClient(int(f.pair)), JxException);
}

}  // namespace
