#include "mgmt/JXZrpJobClient.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "mgmt/MgmtConfig.h"
#include "platform/JXPlatformInfo.h"
#include "support/TestSupport.h"

namespace {

TEST(JXZrpJobClient, JsonLinesRoundTripAnyFileName) {
    const std::vector<std::string> names = {
        "",
        "/plain/path",
        "/quote\"back\\slash",
        "/line\nfeed\ttab\rcr",
        "/utf8/\xc3\xa9t\xc3\xa9",
        "/\x01\x1f control",
    };
    for (const std::string& name : names) {
        JXZrpJobClient::State s;
        s.job = 12345678901ULL;
        s.pair = -3;
        s.server = "srv";
        s.state = "running";
        s.time = "2026-01-01T00:00:00Z";
        s.filesToTransfer = 1LL << 40;
        s.bytesTransferred = 7;
        s.currentFile = name;
        const std::string line = JXZrpJobClient::toJson(s);
        EXPECT_EQ(std::string::npos, line.find('\n'));
        JXZrpJobClient::State back;
        ASSERT_TRUE(JXZrpJobClient::fromJson(line, back)) << line;
        EXPECT_EQ(name, back.currentFile);
        EXPECT_EQ(s.job, back.job);
        EXPECT_EQ(-3, back.pair);
        EXPECT_EQ(1LL << 40, back.filesToTransfer);
    }
    // Bytes that are not UTF-8 stay one JSON line, readable, never raw.
    JXZrpJobClient::State s;
    s.job = 1;
    s.currentFile = "/bad\xff\xfe";
    EXPECT_NE(std::string::npos, JXZrpJobClient::toJson(s).find("\\u00ff\\u00fe"));
}

TEST(JXZrpJobClient, ReaderSkipsTornAndForeignLinesAndKeepsTheLatestPerJob) {
    flrtest::TempDir dir;
    JXZrpJobClient::State a, b;
    a.job = 1;
    a.filesTransferred = 1;
    b.job = 2;
    std::string text = JXZrpJobClient::toJson(a) + "\n" + "{\"kind\":\"alert\",\"job\":1}\n" +
                       "not json\n" + JXZrpJobClient::toJson(b) + "\n";
    a.filesTransferred = 5;
    text += JXZrpJobClient::toJson(a) + "\n";
    a.filesTransferred = 9;
    text += JXZrpJobClient::toJson(a).substr(0, 40);  // a crash cut the last append
    flrtest::writeFile(dir.file("o"), text);
    const auto jobs = JXZrpJobClient::readOutbox(dir.file("o"));
    ASSERT_EQ(2u, jobs.size());
    EXPECT_EQ(5, jobs.at(1).filesTransferred);
}

// Reports of several processes are whole lines, never interleaved.
TEST(JXZrpJobClient, ConcurrentWritersAppendWholeLines) {
    flrtest::ScopedRegistry reg;
    flrtest::TempDir install;
    ASSERT_EQ(0, JXPlatformInfo::setString("Platform", "dInstall", install.path()));
    const int reports = flrtest::scaled(200);
    std::vector<pid_t> kids;
    for (int k = 0; k < 4; ++k) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            JXZrpJobClient jc;
            if (jc.init("srv", 1) != 0) ::_exit(1);
            jc.setPairId(k);
            for (int i = 0; i < reports; ++i) {
                jc.setCurrentFile(std::string(300 + k * 50, char('a' + k)));
                jc.setNumberOfTransferedFiles(1);
                if (jc.updateInfo(false, nullptr) != 0) ::_exit(2);
            }
            ::_exit(0);
        }
        kids.push_back(pid);
    }
    for (pid_t pid : kids) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    // job 0 is not a job for the reader, so count the lines by hand.
    const std::string text = flrtest::readFile(JXZrpJobClient::outboxPath());
    size_t lines = 0, start = 0;
    for (size_t at; (at = text.find('\n', start)) != std::string::npos; start = at + 1, ++lines) {
        const std::string line = text.substr(start, at - start);
        ASSERT_EQ('{', line.front());
        ASSERT_EQ('}', line.back());
    }
    EXPECT_EQ(size_t(4 * reports), lines);
}

}  // namespace
