// The flr command as two processes on loopback, each with its own registry:
// a tail (flr tail) and heads (flr head ping / seq) exchange PING and
// sequence numbers; a head with the wrong secret is refused.
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

extern char** environ;

namespace {

const char* tool() {
    const char* t = std::getenv("FLR_TOOL");
    return t && *t ? t : nullptr;
}

std::vector<std::string> envWith(const std::string& registry) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "FLR_REGISTRY=", 13) != 0) env.emplace_back(*e);
    env.push_back("FLR_REGISTRY=" + registry);
    return env;
}

struct Child {
    pid_t pid = -1;
    int out = -1;  // read ends
    int err = -1;
};

Child spawn(const std::vector<std::string>& args, const std::string& registry) {
    int out[2];
    int err[2];
    EXPECT_EQ(0, ::pipe2(out, O_CLOEXEC));
    EXPECT_EQ(0, ::pipe2(err, O_CLOEXEC));
    std::vector<char*> argv;
    std::vector<std::string> all = args;
    all.insert(all.begin(), tool());
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = envWith(registry);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_adddup2(&fa, err[1], 2);
    Child c;
    EXPECT_EQ(0, ::posix_spawn(&c.pid, argv[0], &fa, nullptr, argv.data(), envp.data()));
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    ::close(err[1]);
    c.out = out[0];
    c.err = err[0];
    return c;
}

std::string drain(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return s;
}

struct Result {
    int code = -1;
    std::string out;
    std::string err;
};

Result run(const std::vector<std::string>& args, const std::string& registry) {
    Child c = spawn(args, registry);
    Result r;
    r.out = drain(c.out);
    r.err = drain(c.err);
    int status = 0;
    ::waitpid(c.pid, &status, 0);
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return r;
}

// Reads the child's stdout up to the line naming its port.
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

class FlrCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!tool()) GTEST_SKIP() << "FLR_TOOL is not set (ctest sets it to the built flr)";
        flrtest::writeFile(tailRegistry(), "[ZRP]\nsLinkSecret = process test secret, at least 32 bytes\n");
        ::chmod(tailRegistry().c_str(), 0600);  // an inline secret needs a private registry
        tail_ = spawn({"tail", "--listen", "127.0.0.1:0"}, tailRegistry());
        port_ = listeningPort(tail_.out);
    }
    void TearDown() override {
        if (tail_.pid <= 0) return;
        ::kill(tail_.pid, SIGTERM);
        tailOut_ = drain(tail_.out);
        tailErr_ = drain(tail_.err);
        int status = 0;
        ::waitpid(tail_.pid, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        EXPECT_NE(std::string::npos, tailOut_.find("flr tail: ")) << tailOut_;
    }
    std::string tailRegistry() const { return dir_.file("tail.ini"); }
    std::string headRegistry(const std::string& secretLine) const {
        const std::string path = dir_.file("head.ini");
        flrtest::writeFile(path, "[ZRP]\n" + secretLine + "\n");
        ::chmod(path.c_str(), 0600);
        return path;
    }
    std::string target() const { return "127.0.0.1:" + std::to_string(port_); }

    flrtest::TempDir dir_;
    Child tail_;
    int port_ = 0;
    std::string tailOut_;
    std::string tailErr_;
};

TEST_F(FlrCommand, HeadAndTailProcessesExchangePingAndSequenceNumbers) {
    const std::string reg = headRegistry("sLinkSecret = process test secret, at least 32 bytes");
    Result r = run({"head", "ping", target()}, reg);
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_EQ(0u, r.out.find("PING " + target() + ": reply in ")) << r.out;

    r = run({"head", "seq", target(), "--pair", "3", "--set", "42"}, reg);
    EXPECT_EQ(0, r.code) << r.err;
    EXPECT_EQ("pair 3: last sequence number 42\n", r.out);
    r = run({"head", "seq", target(), "--pair", "3"}, reg);
    EXPECT_EQ("pair 3: last sequence number 42\n", r.out);
    r = run({"head", "seq", target(), "--pair", "4"}, reg);
    EXPECT_EQ("pair 4: last sequence number 0\n", r.out);

    TearDown();
    tail_.pid = -1;
    EXPECT_NE(std::string::npos, tailOut_.find("connection 2 from 127.0.0.1:")) << tailOut_;
    EXPECT_NE(std::string::npos,
              tailOut_.find("flr tail: 4 connections, 6 messages, 1 journal entries, 20 bytes "
                            "received"))
        << tailOut_;
}

TEST_F(FlrCommand, WrongOrMissingSecretIsRefused) {
    Result r = run({"head", "ping", target()}, headRegistry("sLinkSecret = not the secret, but long enough to try"));
    EXPECT_EQ(1, r.code);
    EXPECT_NE(std::string::npos, r.err.find("Failed to setup and authenticate socket connection: "))
        << r.err;
    r = run({"head", "ping", target()}, headRegistry("sOther = 1"));
    EXPECT_EQ(1, r.code);
    EXPECT_NE(std::string::npos, r.err.find("No link secret configured")) << r.err;
    // Usage errors are told apart from failures.
    r = run({"head", "ping", "no-port-here"}, headRegistry("sLinkSecret = process test secret, at least 32 bytes"));
    EXPECT_EQ(2, r.code);

    TearDown();
    tail_.pid = -1;
    EXPECT_NE(std::string::npos, tailErr_.find("refused connection 1 from 127.0.0.1:")) << tailErr_;
}

}  // namespace
