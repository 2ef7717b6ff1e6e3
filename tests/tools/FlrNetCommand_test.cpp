// flr tail, flr head and flr link as separate processes on loopback, each
// with its own registry: heads exchange PING and sequence numbers with a
// running tail, a wrong or missing secret is refused, SIGTERM ends the tail
// with its summary, and a secret file from flr link keygen links the two.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/TestSupport.h"
#include "support/ToolRunner.h"

extern char** environ;

namespace {

const std::string kSecretLine = "sLinkSecret = process test secret, at least 32 bytes";

// The tail runs until it is told to stop, so it is started here rather than
// through runTool; its output is read as it comes.
struct Tail {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
};

Tail spawnTail(const std::string& registry) {
    int out[2];
    int err[2];
    EXPECT_EQ(0, ::pipe2(out, O_CLOEXEC));
    EXPECT_EQ(0, ::pipe2(err, O_CLOEXEC));
    std::vector<std::string> args = {flrtest::toolPath(), "tail", "--listen", "127.0.0.1:0",
                                     "--bookkeeping"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "FLR_REGISTRY=", 13) != 0) env.emplace_back(*e);
    env.push_back("FLR_REGISTRY=" + registry);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    Tail t;
    EXPECT_EQ(0, ::posix_spawn(&t.pid, argv[0], &fa, nullptr, argv.data(), envp.data()));
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ::close(err[1]);
    t.out = out[0];
    t.err = err[0];
    return t;
}

std::string drain(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return s;
}

// Reads the tail's stdout up to the line naming its port.
int listeningPort(int fd) {
    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        struct pollfd p {
            fd, POLLIN, 0
        };
        if (::poll(&p, 1, 200) <= 0) continue;
        char c;
        if (::read(fd, &c, 1) != 1) break;
        seen += c;
        const size_t at = seen.find("listening on 127.0.0.1:");
        if (c == '\n' && at != std::string::npos) return std::atoi(seen.c_str() + at + 23);
    }
    ADD_FAILURE() << "the tail did not start: " << seen;
    return 0;
}

class FlrNetCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        FLR_REQUIRE_TOOL();
        startTail("[ZRP]\n" + kSecretLine + "\n");
    }
    void TearDown() override { stopTail(); }

    void startTail(const std::string& registryText) {
        writeRegistry(tailRegistry(), registryText);
        tail_ = spawnTail(tailRegistry());
        port_ = listeningPort(tail_.out);
    }
    // SIGTERM ends the tail promptly, with status 0 and its summary.
    void stopTail() {
        if (tail_.pid <= 0) return;
        ::kill(tail_.pid, SIGTERM);
        tailOut_ = drain(tail_.out);
        tailErr_ = drain(tail_.err);
        int status = 0;
        ::waitpid(tail_.pid, &status, 0);
        tail_.pid = -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_NE(std::string::npos, tailOut_.find("flr tail: ")) << tailOut_;
    }
    static void writeRegistry(const std::string& path, const std::string& text) {
        flrtest::writeFile(path, text);
        ::chmod(path.c_str(), 0600);  // an inline secret needs a private registry
    }
    std::string tailRegistry() const { return dir_.file("tail.ini"); }
    std::vector<std::string> headEnv(const std::string& secretLine) const {
        const std::string path = dir_.file("head.ini");
        writeRegistry(path, "[ZRP]\n" + secretLine + "\n");
        return {"FLR_REGISTRY=" + path};
    }
    flrtest::ToolRun head(const std::vector<std::string>& args,
                          const std::string& secretLine = kSecretLine) const {
        std::vector<std::string> all = {"head"};
        all.insert(all.end(), args.begin(), args.end());
        return flrtest::runTool(all, {}, headEnv(secretLine));
    }
    std::string target() const { return "127.0.0.1:" + std::to_string(port_); }

    flrtest::TempDir dir_;
    Tail tail_;
    int port_ = 0;
    std::string tailOut_;
    std::string tailErr_;
};

TEST_F(FlrNetCommand, HeadAndTailProcessesExchangePingAndSequenceNumbers) {
    flrtest::ToolRun r = head({"ping", target()});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ(0u, r.out.find("PING " + target() + ": reply in ")) << r.out;

    r = head({"seq", target(), "--pair", "3", "--set", "42"});
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("pair 3: last sequence number 42\n", r.out);
    r = head({"seq", target(), "--pair", "3"});
    EXPECT_EQ("pair 3: last sequence number 42\n", r.out);
    r = head({"seq", target(), "--pair", "4"});
    EXPECT_EQ("pair 4: last sequence number 0\n", r.out);

    stopTail();
    EXPECT_NE(std::string::npos, tailOut_.find("connection 2 from 127.0.0.1:")) << tailOut_;
    EXPECT_NE(std::string::npos,
              tailOut_.find("flr tail: 4 connections, 6 messages, 1 journal entries, 20 bytes "
                            "received"))
        << tailOut_;
}

TEST_F(FlrNetCommand, WrongOrMissingSecretIsRefused) {
    flrtest::ToolRun r =
        head({"ping", target()}, "sLinkSecret = not the secret, but long enough to try");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("Failed to setup and authenticate socket connection: "))
        << r.err;
    r = head({"ping", target()}, "sOther = 1");
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("No link secret configured")) << r.err;
    // Usage errors are told apart from failures.
    r = head({"ping", "no-port-here"});
    EXPECT_EQ(2, r.status);

    stopTail();
    EXPECT_NE(std::string::npos, tailErr_.find("refused connection 1 from 127.0.0.1:")) << tailErr_;

    // A tail no head could authenticate to does not start at all.
    flrtest::writeFile(dir_.file("bare.ini"), "[ZRP]\nsOther = 1\n");
    const std::string root = dir_.file("root");
    ASSERT_EQ(0, ::mkdir(root.c_str(), 0755));
    r = flrtest::runTool(
        {"tail", "--listen", "127.0.0.1:0", "--root", root, "--store", dir_.file("store")}, {},
        {"FLR_REGISTRY=" + dir_.file("bare.ini")});
    EXPECT_EQ(1, r.status);
    EXPECT_NE(std::string::npos, r.err.find("Not listening: No link secret configured")) << r.err;
}

// keygen writes a private secret file that never replaces an existing one
// and never shows the secret; a tail and a head sharing it are linked.
TEST_F(FlrNetCommand, KeygenWritesASecretFileBothEndsCanUse) {
    stopTail();
    const std::string key = dir_.file("link.key");
    flrtest::ToolRun r = flrtest::runTool({"link", "keygen", key});
    ASSERT_EQ(0, r.status) << r.err;
    struct stat st {};
    ASSERT_EQ(0, ::stat(key.c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    const std::string secret = flrtest::readFile(key);
    EXPECT_EQ(65u, secret.size());
    EXPECT_EQ(std::string::npos, r.out.find(secret.substr(0, 64)));

    r = flrtest::runTool({"link", "keygen", key});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ(secret, flrtest::readFile(key));

    startTail("[ZRP]\nsLinkSecretFile = " + key + "\n");
    r = head({"ping", target()}, "sLinkSecretFile = " + key);
    EXPECT_EQ(0, r.status) << r.err;
}

// A key file in folders that do not exist yet: the missing ones are made
// private (0700) and an existing one keeps the mode it had.
TEST_F(FlrNetCommand, KeygenMakesMissingFoldersPrivate) {
    const std::string top = dir_.file("etc");
    ASSERT_EQ(0, ::mkdir(top.c_str(), 0755));
    ASSERT_EQ(0, ::chmod(top.c_str(), 0755));
    const std::string key = top + "/flr/keys/link.key";
    const flrtest::ToolRun r = flrtest::runTool({"link", "keygen", key});
    ASSERT_EQ(0, r.status) << r.err;
    const struct {
        std::string path;
        unsigned mode;
    } expected[] = {{top, 0755}, {top + "/flr", 0700}, {top + "/flr/keys", 0700}, {key, 0600}};
    for (const auto& e : expected) {
        struct stat st {};
        ASSERT_EQ(0, ::stat(e.path.c_str(), &st)) << e.path;
        EXPECT_EQ(e.mode, st.st_mode & 07777) << e.path;
    }
    EXPECT_EQ(65u, flrtest::readFile(key).size());
}

}  // namespace
