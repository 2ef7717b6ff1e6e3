// Every aspect `rsync -aHAXS --numeric-ids` keeps survives the flr command:
// a tree holding one entry (or group) per aspect is replicated by a one-shot
// `flr replicate` to a folder, by one to a `flr tail` on loopback, and by a
// `flr replicate --watch` that sees the tree made, then compared aspect by
// aspect. Root adds what only root can make or keep: other owners, trusted.*
// attributes (a symbolic link's own among them) and a device node.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "FLR/FlrTreeVerify.h"
#include "platform/FlrDriver.h"
#include "platform/JxACL.h"
#include "platform/JxXattr.h"
#include "support/SparseFile.h"
#include "support/TestSupport.h"
#include "support/ToolRunner.h"

namespace fidelitytest {

constexpr int64_t kSparseSize = 16 << 20;
constexpr int64_t kSparseSlack = 64 << 10;  // a file system's allocation granularity, and more
constexpr int kConvergeSeconds = 60;
const timespec kFileTime{1700000000, 123456789}, kDirTime{1600000000, 987654321},
    kLinkTime{1500000000, 1};
// Names a shell, a terminal or a UTF-8 decoder stumbles over.
const char* const kAwkwardNames[] = {"sp ace", "new\nline", "-dash", "tab\tname", "bad \xff\xfe"};

bool isRoot() {
    return ::geteuid() == 0;
}

std::string human(int64_t bytes) {
    return bytes >= (4 << 20) ? std::to_string(bytes >> 20) + " MiB"
                              : std::to_string(bytes >> 10) + " KiB";
}

std::string timeText(const timespec& t) {
    char s[40];
    std::snprintf(s, sizeof s, "%lld.%09ld", static_cast<long long>(t.tv_sec), t.tv_nsec);
    return s;
}

void setTime(const std::string& path, const timespec& t) {
    const timespec both[2] = {t, t};
    ASSERT_EQ(0, ::utimensat(AT_FDCWD, path.c_str(), both, AT_SYMLINK_NOFOLLOW)) << path;
}

void setXattr(const std::string& path, const std::string& name, const std::string& value) {
    ASSERT_EQ(0, ::lsetxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0))
        << path << " " << name << ": " << std::strerror(errno);
}

JxACL::Entry perm(uint8_t tag, uint8_t perms, uint32_t id = 0) {
    return {tag, perms, id};
}

// A named user with read (and for folders execute) access; on a folder the
// same as the default its new entries inherit.
void setAcl(const std::string& path, bool folder) {
    const uint8_t x = folder ? 1 : 0;
    JxACL::Acl a;
    a.hasAccess = true;
    a.access = {perm(JxACL::TAG_USER_OBJ, 6 | x), perm(JxACL::TAG_USER, 4 | x, 4321),
                perm(JxACL::TAG_GROUP_OBJ, 4 | x), perm(JxACL::TAG_MASK, 4 | x),
                perm(JxACL::TAG_OTHER, 0)};
    if (folder) {
        a.hasDefault = true;
        a.defaults = {perm(JxACL::TAG_USER_OBJ, 7), perm(JxACL::TAG_USER, 7, 4321),
                      perm(JxACL::TAG_GROUP_OBJ, 5), perm(JxACL::TAG_MASK, 7),
                      perm(JxACL::TAG_OTHER, 5)};
    }
    const std::vector<unsigned char> form = JxACL::encode(a);
    JxACL::Helper().apply(path, form.data(), form.size());
}

// The aspect tree under d (which exists), made with plain system calls.
void makeTree(const std::string& d) {
    const auto p = [&](const std::string& rel) { return d + "/" + rel; };
    for (const char* folder : {"hl", "hl2", "attrs", "acl-dir", "times", "times/dir", "names"})
        ASSERT_EQ(0, ::mkdir(p(folder).c_str(), 0755)) << folder;

    // One hard-link group of three names over two folders, and a lone file.
    flrtest::writeFile(p("hl/a"), "linked\n");
    ASSERT_EQ(0, ::link(p("hl/a").c_str(), p("hl/b").c_str()));
    ASSERT_EQ(0, ::link(p("hl/a").c_str(), p("hl2/c").c_str()));
    flrtest::writeFile(p("hl/lone"), "linked\n");

    flrtest::writeSparse(p("sparse"), kSparseSize, {{0, 4096}, {kSparseSize - 4096, 4096}});
    ASSERT_LE(flrtest::allocatedBytes(p("sparse")), kSparseSlack) << "no holes on this file system";

    flrtest::writeFile(p("attrs/file"), "attributes\n");
    ASSERT_NO_FATAL_FAILURE(setXattr(p("attrs/file"), "user.color", "blue"));
    ASSERT_NO_FATAL_FAILURE(setXattr(p("attrs/file"), "user.bin", std::string("\0\xff", 2)));
    ASSERT_NO_FATAL_FAILURE(setXattr(p("attrs"), "user.folder", "f"));
    if (isRoot()) {
        ASSERT_NO_FATAL_FAILURE(setXattr(p("attrs/file"), "trusted.mark", "t"));
    }

    flrtest::writeFile(p("acl-file"), "acl\n");
    ASSERT_NO_THROW(setAcl(p("acl-file"), false));
    ASSERT_NO_THROW(setAcl(p("acl-dir"), true));
    flrtest::writeFile(p("acl-dir/inherited"), "inherits the default\n");

    flrtest::writeFile(p("times/file"), "ns\n");
    ASSERT_EQ(0, ::symlink("file", p("times/link").c_str()));
    if (isRoot()) {
        ASSERT_NO_FATAL_FAILURE(setXattr(p("times/link"), "trusted.link", "l"));
    }
    flrtest::writeFile(p("times/dir/inner"), "inner\n");
    ASSERT_NO_FATAL_FAILURE(setTime(p("times/file"), kFileTime));
    ASSERT_NO_FATAL_FAILURE(setTime(p("times/link"), kLinkTime));
    ASSERT_NO_FATAL_FAILURE(setTime(p("times/dir"), kDirTime));

    for (const char* name : kAwkwardNames) flrtest::writeFile(p("names/") + name, name);
    ASSERT_EQ(0, ::mkfifo(p("fifo").c_str(), 0640));
    flrtest::writeFile(p("suid"), "#!/bin/true\n");
    if (isRoot()) {
        ASSERT_EQ(0, ::mknod(p("dev").c_str(), S_IFCHR | 0600, makedev(1, 3)));
        flrtest::writeFile(p("owned"), "someone else's\n");
        ASSERT_EQ(0, ::chown(p("owned").c_str(), 4321, 4322));
        ASSERT_EQ(0, ::chown(p("suid").c_str(), 4321, 4322));
    }
    // After the chown, which clears them.
    ASSERT_EQ(0, ::chmod(p("suid").c_str(), 06755));
}

// --- the checks: "" when the replica keeps the aspect, else what was seen ---

struct Sides {
    std::string src, dst;
};

struct stat lstatOf(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) st.st_ino = 0;
    return st;
}

std::string checkTree(const Sides& s) {
    FlrTreeVerifyOptions o;
    o.owners = isRoot();
    o.mtimes = true;
    o.maxDiffs = 20;
    const FlrTreeVerifyResult r = FlrTreeVerify(o).compare(s.src, s.dst);
    std::string what;
    for (const FlrTreeDiff& d : r.diffs)
        what += (what.empty() ? "" : "; ") + d.path + ": " + d.what;
    return r.same() ? "" : std::to_string(r.differences) + " differences: " + what;
}

std::string checkHardlinks(const Sides& s) {
    const ino_t a = lstatOf(s.dst + "/hl/a").st_ino;
    if (a == 0) return "hl/a missing in the replica";
    for (const char* name : {"hl/b", "hl2/c"})
        if (lstatOf(s.dst + "/" + name).st_ino != a)
            return std::string("names hl/a and ") + name + " are different inodes";
    if (lstatOf(s.dst + "/hl/lone").st_ino == a) return "the lone hl/lone shares hl/a's inode";
    return "";
}

std::string checkSparse(const Sides& s) {
    const int64_t src = flrtest::allocatedBytes(s.src + "/sparse");
    const int64_t dst = flrtest::allocatedBytes(s.dst + "/sparse");
    if (dst >= 0 && dst <= src + kSparseSlack) return "";
    return human(dst) + " allocated in the replica, " + human(src) + " in the source";
}

std::string checkFolderMtime(const Sides& s) {
    const timespec t = lstatOf(s.dst + "/times/dir").st_mtim;
    if (t.tv_sec == kDirTime.tv_sec && t.tv_nsec == kDirTime.tv_nsec) return "";
    return "times/dir has " + timeText(t) + " in the replica, " + timeText(kDirTime) + " set";
}

std::string checkLinkXattr(const Sides& s) {
    std::vector<jx::Xattr> link, target;
    jx::readXattrsPath(s.dst + "/times/link", jx::kXattrPrivileged, &link);
    jx::readXattrsPath(s.dst + "/times/file", jx::kXattrPrivileged, &target);
    if (link != std::vector<jx::Xattr>{{"trusted.link", "l"}})
        return "times/link lacks its own trusted.link (it has " + std::to_string(link.size()) +
               " trusted.* attributes)";
    for (const jx::Xattr& x : target)
        if (x.name == "trusted.link") return "trusted.link landed on the link's target";
    return "";
}

std::string checkDevice(const Sides& s) {
    const struct stat a = lstatOf(s.src + "/dev"), b = lstatOf(s.dst + "/dev");
    if (b.st_ino != 0 && S_ISCHR(b.st_mode) && b.st_rdev == a.st_rdev) return "";
    return b.st_ino == 0 ? "dev missing in the replica"
                         : "dev is not the character device " + std::to_string(major(a.st_rdev)) +
                               "," + std::to_string(minor(a.st_rdev));
}

struct Check {
    const char* name;
    bool rootOnly;
    std::string (*run)(const Sides&);
};

// FlrTreeVerify covers names, kinds, modes (setuid/setgid), owners, contents,
// file and link mtimes, attributes and ACLs; the rest is checked directly.
const Check kChecks[] = {
    {"tree", false, checkTree},           {"hardlinks", false, checkHardlinks},
    {"sparse", false, checkSparse},       {"folder mtime", false, checkFolderMtime},
    {"link xattr", true, checkLinkXattr}, {"device", true, checkDevice},
};

// "name: what" for each aspect the replica lost; empty when it kept them all.
std::string lostAspects(const Sides& s) {
    std::string lost;
    for (const Check& c : kChecks)
        if (!c.rootOnly || isRoot())
            if (std::string what = c.run(s); !what.empty())
                lost += std::string(c.name) + ": " + what + "\n";
    return lost;
}

// --- the three ways of replicating ------------------------------------------

enum class Kind { Local, ThroughTail, Watch };

struct Mode {
    const char* name;
    Kind kind;
};

void PrintTo(const Mode& m, std::ostream* os) {
    *os << m.name;
}

class FlrFidelity : public ::testing::TestWithParam<Mode> {
  protected:
    void SetUp() override {
        FLR_REQUIRE_TOOL();
        std::string why;
        if (kind() == Kind::Watch && !FlrDriver::hasCapability(&why))
            GTEST_SKIP() << "the live journal needs it: " << why;
        if (!JxACL::Helper::supported()) GTEST_SKIP() << "no POSIX ACLs in this build or host";
        ASSERT_EQ(0, ::mkdir(src_.c_str(), 0755));
        ASSERT_EQ(0, ::mkdir(root_.c_str(), 0755));
        ASSERT_EQ("", flrtest::setUpLinkKey(dir_.file("link.key"), dir_.file("install"), env_));
        if (kind() != Kind::ThroughTail) return;
        // keep: setuid/setgid files and device nodes as sent, as rsync run by root does.
        tail_ = std::make_unique<flrtest::ToolProcess>(
            std::vector<std::string>{"tail", "--listen", "127.0.0.1:0", "--root", root_, "--store",
                                     dir_.file("store"), "--privileged", "keep"},
            env_);
        const int port = flrtest::listeningPort(*tail_, 60);
        ASSERT_GT(port, 0) << tail_->output();
        target_ = "127.0.0.1:" + std::to_string(port) + ":" + replica_;
    }
    void TearDown() override {
        for (auto* p : {&watch_, &tail_})
            if (*p && (*p)->pid() > 0) {
                ::kill((*p)->pid(), SIGTERM);
                (*p)->finish();
            }
    }

    Kind kind() const { return GetParam().kind; }
    flrtest::ToolRun tool(const std::vector<std::string>& args) const {
        return flrtest::runTool(args, {}, env_);
    }
    flrtest::ToolRun oneShot() const {
        return tool({"replicate", src_, target_, "--state-dir", state_, "--json", "-q"});
    }
    std::string logs() const {
        std::string s;
        if (watch_) s += "watch: " + watch_->output();
        if (tail_) s += "tail: " + tail_->output();
        return s;
    }
    // The moment the watch last recorded as held by the replica; 0 if none.
    long long consistentAt() const {
        const std::string out =
            tool({"status", src_, target_, "--state-dir", state_, "--json"}).out;
        const size_t at = out.find("\"consistent_at\":");
        return at == std::string::npos ? 0 : std::atoll(out.c_str() + at + 16);
    }
    // Started on the empty source and past its first scan.
    void startWatch() {
        watch_ = std::make_unique<flrtest::ToolProcess>(
            std::vector<std::string>{"replicate", src_, target_, "--watch", "--state-dir", state_},
            env_);
        flrtest::ToolRun st;
        const bool up = flrtest::eventually(
            [&] {
                if (watch_->exited()) return true;
                st = tool({"status", src_, target_, "--state-dir", state_, "--json"});
                return st.out.find("\"phase\":\"watching\"") != std::string::npos;
            },
            120);
        ASSERT_TRUE(up && !watch_->exited()) << watch_->output() << st.out;
    }

    flrtest::TempDir dir_;
    std::string src_ = dir_.file("src"), root_ = dir_.file("root"), state_ = dir_.file("state");
    std::string replica_ = root_ + "/replica", target_ = replica_;
    std::vector<std::string> env_{"FLR_REGISTRY=" + dir_.file("flr.ini")};
    std::unique_ptr<flrtest::ToolProcess> tail_, watch_;
};

TEST_P(FlrFidelity, ReplicaKeepsEveryAspect) {
    const Sides sides{src_, replica_};
    std::string lost;
    if (kind() == Kind::Watch) {
        ASSERT_NO_FATAL_FAILURE(startWatch());
        ASSERT_NO_FATAL_FAILURE(makeTree(src_));
        const time_t made = ::time(nullptr);
        const bool kept = flrtest::eventually([&] { return (lost = lostAspects(sides)).empty(); },
                                              kConvergeSeconds, 500);
        ASSERT_TRUE(kept) << "not converged in " << kConvergeSeconds << " s:\n" << lost << logs();
        // Once the watch vouches for a moment past the tree (after its flush
        // delay), a one-shot run of the pair has nothing left to do.
        const bool vouched =
            flrtest::eventually([&] { return consistentAt() > made; }, kConvergeSeconds, 500);
        EXPECT_TRUE(vouched)
            << "no consistent point past the tree: "
            << tool({"status", src_, target_, "--state-dir", state_, "--json"}).out;
        ASSERT_EQ(0, ::kill(watch_->pid(), SIGINT));
        EXPECT_EQ(0, watch_->finish()) << watch_->output();
    } else {
        ASSERT_NO_FATAL_FAILURE(makeTree(src_));
        // A change within the run's clock margin before it starts is looked
        // at again by the next run; the second run below is to find none.
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const flrtest::ToolRun first = oneShot();
        ASSERT_EQ(0, first.status) << first.out << first.err << logs();
        lost = lostAspects(sides);
        EXPECT_TRUE(lost.empty()) << lost << first.out << logs();
    }
    const flrtest::ToolRun again = oneShot();
    EXPECT_EQ(0, again.status) << again.err;
    EXPECT_NE(std::string::npos, again.out.find("\"files\":0,")) << again.out << logs();
    EXPECT_NE(std::string::npos, again.out.find("\"removed\":0,")) << again.out;
    lost = lostAspects(sides);
    EXPECT_TRUE(lost.empty()) << "after a second run:\n" << lost;
}

INSTANTIATE_TEST_SUITE_P(Modes, FlrFidelity,
                         ::testing::Values(Mode{"Local", Kind::Local},
                                           Mode{"ThroughTail", Kind::ThroughTail},
                                           Mode{"Watch", Kind::Watch}),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace fidelitytest
