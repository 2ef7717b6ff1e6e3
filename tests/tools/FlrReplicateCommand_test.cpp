// flr replicate against a separate `flr tail --root` process, each with its
// own registry holding the link secret: a replica made and kept up to date,
// SIGTERM ending the tail cleanly, and a head killed with SIGKILL at any
// moment of its run leaving only whole files, with the next run converging,
// and several pairs sharing one tail at once, each within its destination.
#include <dirent.h>
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
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "net/FlrNetHead.h"
#include "platform/JXPlatformInfo.h"
#include "support/TestSupport.h"
#include "support/ToolRunner.h"

extern char** environ;

namespace {

const char kSecret[] = "replicate command test secret, 32 bytes+";
const std::string kRegistry = std::string("[ZRP]\nsLinkSecret = ") + kSecret + "\n";

std::vector<char*> cStrings(std::vector<std::string>& v) {
    std::vector<char*> out;
    for (std::string& s : v) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// flr with args, the given registry, stdout to a pipe (when out is set).
pid_t spawnFlr(std::vector<std::string> args, const std::string& registry, int* out) {
    args.insert(args.begin(), flrtest::toolPath());
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "FLR_REGISTRY=", 13) != 0) env.emplace_back(*e);
    env.push_back("FLR_REGISTRY=" + registry);
    int p[2] = {-1, -1};
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    if (out) {
        EXPECT_EQ(0, ::pipe2(p, O_CLOEXEC));
        posix_spawn_file_actions_adddup2(&fa, p[1], 1);
    } else {
        posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    }
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    std::vector<char*> argv = cStrings(args);
    std::vector<char*> envp = cStrings(env);
    EXPECT_EQ(0, ::posix_spawn(&pid, argv[0], &fa, nullptr, argv.data(), envp.data()));
    posix_spawn_file_actions_destroy(&fa);
    if (out) {
        ::close(p[1]);
        *out = p[0];
    }
    return pid;
}

int waitStatus(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string replicateDrain(int fd) {
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) s.append(buf, static_cast<size_t>(n));
    ::close(fd);
    return s;
}

// Reads the tail's stdout up to its "listening on" line; 0 when it never came.
int listeningPort(int fd, std::string* seen) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        struct pollfd p {
            fd, POLLIN, 0
        };
        if (::poll(&p, 1, 200) <= 0) continue;
        char c;
        if (::read(fd, &c, 1) != 1) break;
        *seen += c;
        const size_t at = seen->find("listening on 127.0.0.1:");
        if (c == '\n' && at != std::string::npos) return std::atoi(seen->c_str() + at + 23);
    }
    return 0;
}

std::string version(int file, int v) {
    std::string s(8192 + static_cast<size_t>((file * 7 + v * 13) % 23) * 1024, '\0');
    uint32_t x = static_cast<uint32_t>(file * 7919 + v * 104729 + 1);
    for (char& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

// The bytes of path; false when there is no such file. One open and no
// look before it: the name may go in between.
bool readIfThere(const std::string& path, std::string* out) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out->clear();
    char buf[8192];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) out->append(buf, static_cast<size_t>(n));
    ::close(fd);
    return true;
}

bool hasTemporaries(const std::string& dir) {
    std::vector<std::string> todo{dir};
    while (!todo.empty()) {
        const std::string d = todo.back();
        todo.pop_back();
        std::vector<std::string> names;
        if (DIR* h = ::opendir(d.c_str())) {
            while (struct dirent* e = ::readdir(h))
                if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
                    names.emplace_back(e->d_name);
            ::closedir(h);
        }
        for (const std::string& n : names) {
            if (n.find(".flrtmp.") != std::string::npos) return true;
            struct stat st {};
            if (::lstat((d + "/" + n).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
                todo.push_back(d + "/" + n);
        }
    }
    return false;
}

class ReplicateCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        FLR_REQUIRE_TOOL();
        ASSERT_EQ(0, ::mkdir(src_.c_str(), 0755));
        ASSERT_EQ(0, ::mkdir(root_.c_str(), 0755));
        flrtest::writeFile(registry_, kRegistry);
        ::chmod(registry_.c_str(), 0600);  // an inline secret needs a private registry
        tail_ = spawnFlr(
            {"tail", "--listen", "127.0.0.1:0", "--root", root_, "--store", dir_.file("store")},
            registry_, &tailOut_);
        port_ = listeningPort(tailOut_, &tailSeen_);
        ASSERT_GT(port_, 0) << tailSeen_;
    }
    void TearDown() override {
        if (tail_ > 0) stopTail();
    }
    // SIGTERM ends the tail with status 0 and its summary.
    void stopTail() {
        ::kill(tail_, SIGTERM);
        tailSeen_ += replicateDrain(tailOut_);
        EXPECT_EQ(0, waitStatus(tail_)) << tailSeen_;
        tail_ = -1;
        EXPECT_NE(std::string::npos, tailSeen_.find("flr tail: destination root")) << tailSeen_;
    }
    std::vector<std::string> replicateArgs() const {
        return {"replicate", "-q", "--state-dir",
                state_,      src_, "127.0.0.1:" + std::to_string(port_) + ":" + replica()};
    }
    int replicate() const { return waitStatus(spawnFlr(replicateArgs(), registry_, nullptr)); }
    int verify() const {
        const auto r = flrtest::runTool({"verify", src_, replica()});
        if (r.status != 0) ADD_FAILURE() << r.out;
        return r.status;
    }
    std::string replica() const { return root_ + "/replica"; }
    void writeVersion(int file, int v) {
        const std::string path =
            src_ + "/d" + std::to_string(file % 4) + "/f" + std::to_string(file);
        ::mkdir((src_ + "/d" + std::to_string(file % 4)).c_str(), 0755);
        flrtest::writeFile(path, version(file, v));
        versions_[file].insert(version(file, v));
    }
    // Every replica file is one whole version of its source file. The killed
    // head's session may still be applying what reached the tail before the
    // kill: an MD5 or RSync update takes the file's name away while it
    // changes the old copy in place, so a name can go between two looks and
    // a copy opened before it went can change while it is read. So the
    // check is repeated until it holds: a file put in place whole passes as
    // soon as that session is done, one that is no version stays so.
    void expectWholeVersions(int round) {
        std::string bad;
        const bool whole = flrtest::eventually(
            [&] {
                for (const auto& [file, seen] : versions_) {
                    const std::string path =
                        replica() + "/d" + std::to_string(file % 4) + "/f" + std::to_string(file);
                    std::string bytes;
                    if (!readIfThere(path, &bytes)) continue;  // not there (yet)
                    if (!seen.count(bytes)) {
                        bad = path;
                        return false;
                    }
                }
                return true;
            },
            10, 20);
        EXPECT_TRUE(whole) << "round " << round << ": " << bad << " is no version of its source";
    }

    flrtest::TempDir dir_;
    std::string src_ = dir_.file("src"), root_ = dir_.file("root"), state_ = dir_.file("state");
    std::string registry_ = dir_.file("flr.ini");
    pid_t tail_ = -1;
    int tailOut_ = -1;
    int port_ = 0;
    std::string tailSeen_;
    std::map<int, std::set<std::string>> versions_;
};

TEST_F(ReplicateCommand, ATailCommandKeepsAReplicaAndEndsOnSigterm) {
    for (int f = 0; f < 12; ++f) writeVersion(f, 0);
    ::symlink("d0/f0", (src_ + "/link").c_str());
    ::mkdir((src_ + "/empty").c_str(), 0700);
    ASSERT_EQ(0, replicate());
    EXPECT_EQ(0, verify());

    writeVersion(3, 1);
    ::unlink((src_ + "/d1/f5").c_str());
    ::rmdir((src_ + "/empty").c_str());
    ASSERT_EQ(0, replicate());
    EXPECT_EQ(0, verify());
    EXPECT_NE(0, ::access((replica() + "/d1/f5").c_str(), F_OK)) << "removal not mirrored";

    // A path outside the tail's root is refused, nothing lands there, and the
    // run says so: it must not record itself as complete.
    std::vector<std::string> outside = replicateArgs();
    outside.back() = "127.0.0.1:" + std::to_string(port_) + ":" + dir_.file("elsewhere");
    EXPECT_NE(0, waitStatus(spawnFlr(outside, registry_, nullptr)))
        << "a run the tail refused every entry of reported success";
    EXPECT_NE(0, ::access(dir_.file("elsewhere").c_str(), F_OK));

    stopTail();
    EXPECT_FALSE(hasTemporaries(root_));
    EXPECT_EQ(0, verify());
}

TEST_F(ReplicateCommand, AHeadKilledAnywhereLeavesWholeFilesAndTheNextRunConverges) {
    const int files = 48;
    for (int f = 0; f < files; ++f) writeVersion(f, 0);
    // A full run's length sets the range the kills are spread over.
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(0, replicate());
    const long long runMicros =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    ASSERT_EQ(0, verify());

    std::mt19937 rng(11);
    const int rounds = flrtest::scaled(16);
    int killed = 0;
    for (int round = 1; round <= rounds; ++round) {
        // About half the files change each round, sizes too.
        for (int f = 0; f < files; ++f)
            if (rng() % 2) writeVersion(f, round);
        if (round % 5 == 0)
            ::unlink((src_ + "/d2/f" + std::to_string(2 + 4 * round % files)).c_str());
        const pid_t head = spawnFlr(replicateArgs(), registry_, nullptr);
        std::this_thread::sleep_for(
            std::chrono::microseconds(rng() % static_cast<unsigned long long>(runMicros + 1)));
        ::kill(head, SIGKILL);
        if (waitStatus(head) == 128 + SIGKILL) ++killed;
        expectWholeVersions(round);
        // Every few rounds the next run goes to the end: a clean replica.
        if (round % 4 == 0 || round == rounds) {
            ASSERT_EQ(0, replicate()) << "round " << round;
            // Files a killed head began and never fed are dropped by the tail
            // a moment after its connections end (a generous bound: the
            // machine may be loaded).
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (hasTemporaries(root_) && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            EXPECT_EQ(0, verify()) << "round " << round;
        }
    }
    EXPECT_GT(killed, 0) << "every head finished before its kill";
    stopTail();
    EXPECT_FALSE(hasTemporaries(root_)) << "the killed heads' temporaries outlived their sessions";
}

// Several heads into one tail at once: each run changes only its own
// destination (also beside a sibling whose name begins with the same
// letters) and keeps its own state, and a pair whose head is killed, or whose
// destination the tail refuses (past a symbolic link), fails alone while the
// others complete.
TEST_F(ReplicateCommand, PairsSharingATailStayInTheirDestinationsAndFailAlone) {
    struct Pair {
        std::string src, dst;
    };
    const std::vector<Pair> pairs = {{dir_.file("srcA"), root_ + "/a"},
                                     {dir_.file("srcB"), root_ + "/ab"}};
    for (size_t p = 0; p < pairs.size(); ++p) {
        ASSERT_EQ(0, ::mkdir(pairs[p].src.c_str(), 0755));
        for (int f = 0; f < 40; ++f) {
            const std::string dir = pairs[p].src + "/d" + std::to_string(f % 4);
            ::mkdir(dir.c_str(), 0755);
            flrtest::writeFile(dir + "/f" + std::to_string(f), version(f, static_cast<int>(p) + 1));
        }
    }
    // The killed pair: the fixture's own, large enough for the kill to land mid-run.
    for (int f = 0; f < 400; ++f) writeVersion(f, 0);
    const std::string elsewhere = dir_.file("elsewhere");
    ASSERT_EQ(0, ::mkdir(elsewhere.c_str(), 0755));
    ASSERT_EQ(0, ::symlink(elsewhere.c_str(), (root_ + "/linked").c_str()));
    const auto args = [&](const std::string& src, const std::string& dst) {
        return std::vector<std::string>{
            "replicate", "-q", "--state-dir",
            state_,      src,  "127.0.0.1:" + std::to_string(port_) + ":" + dst};
    };

    const pid_t killed = spawnFlr(replicateArgs(), registry_, nullptr);
    std::vector<pid_t> heads;
    for (const Pair& p : pairs) heads.push_back(spawnFlr(args(p.src, p.dst), registry_, nullptr));
    const pid_t refused = spawnFlr(args(pairs[0].src, root_ + "/linked/x"), registry_, nullptr);
    // Killed once its first entries are in: mid-run.
    flrtest::eventually([&] { return ::access((replica() + "/d0").c_str(), F_OK) == 0; }, 20, 5);
    ::kill(killed, SIGKILL);
    EXPECT_EQ(128 + SIGKILL, waitStatus(killed)) << "the head finished before its kill";
    for (size_t p = 0; p < pairs.size(); ++p)
        EXPECT_EQ(0, waitStatus(heads[p])) << pairs[p].dst << " failed beside the others";
    EXPECT_NE(0, waitStatus(refused)) << "a run whose every entry was refused succeeded";
    EXPECT_NE(0, ::access((elsewhere + "/x").c_str(), F_OK)) << "a run went past the link";
    for (const Pair& p : pairs)
        EXPECT_EQ(0, flrtest::runTool({"verify", p.src, p.dst}).status) << p.dst;
    expectWholeVersions(0);

    // A removal reaches only its own pair's destination; the other pair's
    // run record is untouched (its next run is no baseline).
    ASSERT_EQ(0, ::unlink((pairs[0].src + "/d1/f1").c_str()));
    ASSERT_EQ(0, waitStatus(spawnFlr(args(pairs[0].src, pairs[0].dst), registry_, nullptr)));
    EXPECT_NE(0, ::access((pairs[0].dst + "/d1/f1").c_str(), F_OK));
    EXPECT_EQ(0, ::access((pairs[1].dst + "/d1/f1").c_str(), F_OK));
    std::vector<std::string> again = args(pairs[1].src, pairs[1].dst);
    again[1] = "--json";
    int out = -1;
    const pid_t second = spawnFlr(again, registry_, &out);
    const std::string json = replicateDrain(out);
    ASSERT_EQ(0, waitStatus(second)) << json;
    EXPECT_NE(std::string::npos, json.find("\"scan\":\"smart-sync\"")) << json;
    EXPECT_EQ(0, flrtest::runTool({"verify", pairs[1].src, pairs[1].dst}).status);

    // The killed pair converges on its next run.
    ASSERT_EQ(0, replicate());
    EXPECT_EQ(0, verify());
}

// A network tail strips what would make its host's files setuid (its
// default policy) and the run says how many entries it stripped.
TEST_F(ReplicateCommand, ATailStripsSetuidBitsAndTheRunSaysSo) {
    ASSERT_EQ(0, ::mkdir((src_ + "/bin").c_str(), 0755));
    flrtest::writeFile(src_ + "/bin/tool", "#!/bin/sh\n");
    flrtest::writeFile(src_ + "/bin/plain", "text\n");
    ASSERT_EQ(0, ::chmod((src_ + "/bin/tool").c_str(), 04755));
    int out = -1;
    std::vector<std::string> args = replicateArgs();
    args[1] = "--json";
    const pid_t head = spawnFlr(args, registry_, &out);
    const std::string json = replicateDrain(out);
    ASSERT_EQ(0, waitStatus(head)) << json;
    EXPECT_NE(std::string::npos, json.find("\"privileged_stripped\":1,")) << json;
    EXPECT_NE(std::string::npos, json.find("\"privileged_reported\":true")) << json;
    struct stat st {};
    ASSERT_EQ(0, ::stat((replica() + "/bin/tool").c_str(), &st));
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    ASSERT_EQ(0, ::stat((replica() + "/bin/plain").c_str(), &st));
}

// A head that announced an LBFS file and then never answers the tail's
// block request holds its session in a wait; SIGTERM still ends the tail
// at once, not after that wait's minute.
TEST_F(ReplicateCommand, ATailWaitingOnAMuteHeadEndsWithinTwoSecondsOfSigterm) {
    flrtest::ScopedRegistry reg;
    JXPlatformInfo::setString("ZRP", "sLinkSecret", kSecret);
    FlrNetHead head;
    head.connect("127.0.0.1", port_, 0);
    ASSERT_EQ(0, ::mkdir(replica().c_str(), 0755));
    const std::string path = replica() + "/big";
    FlrNetMirHeader h{};
    h.mode = S_IFREG | 0644;
    h.size = 65535;
    h.nlink = 1;
    h.method = FlrNetMirHeader::kLBFS;
    h.overwrite = 1;
    h.path = path.c_str();
    JxLBFS::HashBlock b;
    b.block.offset = 0;
    b.block.length = 65535;
    std::memset(b.hash, 0x5a, sizeof b.hash);
    head.sendMirHeader(h);
    head.sendLBFSStart(path.c_str(), fsf_fid::fid0, {b});
    head.sendMirEOF();
    // The ping makes the tail wait for the file's blocks before answering;
    // the head reads nothing, so it never seems gone.
    FlrNetMessage ping(FLR_NET_PING);
    ping.ping.value = 0;
    head.sendMessage(ping, 10, false);
    FlrNetMessage m;
    ASSERT_EQ(0, head.recvMessage(&m, 10));
    ASSERT_EQ(FLR_NET_LBFS_BLOCK_REQ, m.type) << "the tail should ask for the block first";
    ASSERT_NE(0, head.recvMessage(&m, 1)) << "the tail answered without waiting for the block";
    const auto t0 = std::chrono::steady_clock::now();
    stopTail();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(seconds, 2.0) << "SIGTERM took " << seconds << " s";
}

}  // namespace
