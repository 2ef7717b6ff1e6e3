// Confinement of the applying tail: hostile paths, symbolic links in the
// destination (planted or sent), and dirchange blocks naming folders outside
// are refused and counted with nothing outside the root touched, through
// openat2 and through the component walk used where it is missing. Also the
// dirchange mirror itself.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "TailApplyFixture.h"
#include "net/FlrNetMessage.h"
#include "platform/JxDirFd.h"

using namespace tailtest;

namespace {

struct ConfineTest : ::testing::TestWithParam<bool> {
    Registry registry;
    flrtest::TempDir tmp;
    std::string root = tmp.file("dst");
    std::string outside = tmp.file("outside");

    void SetUp() override {
        jx::setBeneathWalkOnly(GetParam());
        ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(outside.c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((outside + "/sub").c_str(), 0755), 0);
        flrtest::writeFile(outside + "/x", "canary");
        flrtest::writeFile(outside + "/sub/y", "canary too");
        ASSERT_EQ(::symlink(outside.c_str(), at("escape").c_str()), 0);
        ASSERT_EQ(::symlink("../outside", at("rel-escape").c_str()), 0);
        ASSERT_EQ(::symlink((outside + "/x").c_str(), at("file-link").c_str()), 0);
    }
    void TearDown() override { jx::setBeneathWalkOnly(false); }
    std::string at(const std::string& rel) const { return root + "/" + rel; }
};

// The session's counts reach the totals when it ends.
FlrTailApplyStats totalsAfter(Tail& tail, Head& head, long long refused) {
    head.net.closeSocket();
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (tail.totals().refused < refused && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return tail.totals();
}

TEST_P(ConfineTest, HostilePathsAreRefusedAndTheSessionGoesOn) {
    const auto before = snapshot(outside);
    const std::vector<std::string> hostile = {
        "../outside/x",
        at("../outside/x"),
        "/etc/x",
        outside + "/x",
        root + "-sibling/x",
        "escape/x",
        "rel-escape/x",
        at("escape/new-folder/deeper/x"),
        at("sub/../../outside/x"),
        // The tail's recovery points are no part of the replica.
        ".flrsnap/jxr_00000003",
        at(".flrsnap/jxr_00000003/x"),
    };
    Tail tail(root);
    Head head(tail.port());
    long long refused = 0;
    for (const std::string& path : hostile) {
        head.sendFile(path, "overwritten!");
        head.sync();  // the connection stays up, and the answer counts the refusal
        EXPECT_EQ(head.net.unappliedEntries(), ++refused) << path;
    }
    // A link the head itself made, then a write through it.
    head.sendEntry(at("made-link"), S_IFLNK | 0777, outside);
    head.sendFile(at("made-link/x"), "through a sent link");
    head.sendEntry(at("made-link/sub"), S_IFDIR | 0777);
    // A delta whose old copy would be read through a link.
    head.askSums(at("file-link"), FlrNetMirHeader::kMD5);
    head.net.sendMirHeader(header(at("file-link"), S_IFREG | 0644, 6, FlrNetMirHeader::kMD5));
    head.net.sendMirEOF();
    head.sync();
    EXPECT_EQ(head.net.unappliedEntries(), static_cast<long long>(hostile.size()) + 2);

    EXPECT_EQ(snapshot(outside), before);
    EXPECT_NE(::access(at(".flrsnap").c_str(), F_OK), 0);
    // The planted link was replaced by the file, not written through.
    struct stat st {};
    ASSERT_EQ(::lstat(at("file-link").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(flrtest::readFile(at("file-link")), std::string(6, '\0'));
    const FlrTailApplyStats s = totalsAfter(tail, head, static_cast<long long>(hostile.size()) + 2);
    EXPECT_EQ(s.refused, static_cast<long long>(hostile.size()) + 2);
    EXPECT_EQ(s.links, 1);
}

TEST_P(ConfineTest, ChecksumRequestsNeverReadOutside) {
    Tail tail(root);
    Head head(tail.port());
    for (const std::string& path :
         {std::string("escape/x"), outside + "/x", std::string("../outside/x"), at("file-link")}) {
        unsigned char(*md5)[16] = nullptr;
        int n = -1;
        head.net.getFileCheckSums(path.c_str(), 4096, &md5, &n);
        EXPECT_EQ(n, 0) << path;
    }
}

TEST_P(ConfineTest, DirChangeBlocksOutsideAreRefused) {
    const auto before = snapshot(outside);
    const std::string list = outside + "\n\tnothing\n" + at("../outside") + "\n\tnothing\n" +
                             at("escape") + "\n\tnothing\n" + at("escape/sub") + "\n" +
                             "../outside\n\tnothing\n";
    Tail tail(root);
    Head head(tail.port());
    head.net.sendMirSpecFile(FLR_SPEC_FILE_DIRCHANGE, nullptr);  // empty: nothing happens
    FlrNetMessage m(FLR_NET_MIR_SPEC_FILE);
    m.mirSpecFile.id = FLR_SPEC_FILE_DIRCHANGE;
    head.net.sendMessage(m, 10, false);
    head.net.sendMirData(list.data(), static_cast<int>(list.size()));
    head.net.sendMirEOF();
    head.sync();
    EXPECT_EQ(snapshot(outside), before);
    EXPECT_EQ(totalsAfter(tail, head, 5).refused, 5);
}

INSTANTIATE_TEST_SUITE_P(Resolve, ConfineTest, ::testing::Values(false, true),
                         [](const auto& p) { return p.param ? "Walk" : "Openat2"; });

// --- the mirror ----------------------------------------------------------------------

struct DirChangeTest : ::testing::Test {
    Registry registry;
    flrtest::TempDir tmp;
    std::string root = tmp.file("dst");
    void SetUp() override {
        ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
        for (const char* d : {"d", "d/gone-dir", "d/kept-dir", "other"})
            ASSERT_EQ(::mkdir(at(d).c_str(), 0755), 0);
        for (const char* f :
             {"d/kept", "d/gone", "d/gone-dir/f", "d/kept-dir/f", "other/f", "d/tab\tname"})
            flrtest::writeFile(at(f), "x");
    }
    // After the tail started (it sweeps temporaries when it starts).
    void addTemporary() { flrtest::writeFile(at("d/.x.flrtmp.0123456789abcdef"), "x"); }
    std::string at(const std::string& rel) const { return root + "/" + rel; }
    void send(Head& head, const std::string& list, bool end) {
        FlrNetMessage m(FLR_NET_MIR_SPEC_FILE);
        m.mirSpecFile.id = FLR_SPEC_FILE_DIRCHANGE;
        head.net.sendMessage(m, 10, false);
        // Split mid-line: blocks must survive any piece boundary.
        const size_t half = list.size() / 2;
        head.net.sendMirData(list.data(), static_cast<int>(half));
        head.net.sendMirData(list.data() + half, static_cast<int>(list.size() - half));
        if (end) head.net.sendMirEOF();
        head.sync();
    }
};

TEST_F(DirChangeTest, EntriesTheSourceNoLongerListsAreRemoved) {
    Tail tail(root);
    addTemporary();
    Head head(tail.port());
    send(head,
         at("d/kept-dir") + "\n\tf\n" + at("d") +
             "\n|644|0|0|1|1600000000|\tkept\n\tkept-dir\n\ttab\\x09name\n",
         true);
    std::vector<std::string> left;
    for (const auto& [k, v] : snapshot(root)) left.push_back(k);
    EXPECT_EQ(left,
              (std::vector<std::string>{"d", "d/.x.flrtmp.0123456789abcdef", "d/kept", "d/kept-dir",
                                        "d/kept-dir/f", "d/tab\tname", "other", "other/f"}));
}

// Without its MIR_EOF the last block may be cut short: nothing of it is applied.
TEST_F(DirChangeTest, ACutStreamDeletesNothingOnHalfAList) {
    const auto before = snapshot(root);
    {
        Tail tail(root);
        Head head(tail.port());
        send(head, at("d") + "\n\tkept\n", false);
    }
    EXPECT_EQ(snapshot(root), before);
}

// The mirror removes what the source no longer lists, but never the tail's
// recovery points; a file system mounted below the root is left too and
// counted (a tmpfs here; that part is skipped where mount is not permitted).
TEST_F(DirChangeTest, RecoveryPointsAndMountedFileSystemsAreNeverMirroredAway) {
    ASSERT_EQ(::mkdir(at(".flrsnap").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(at(".flrsnap/jxr_00000001").c_str(), 0700), 0);
    flrtest::writeFile(at(".flrsnap/jxr_00000001/f"), "recovery point");
    ASSERT_EQ(::mkdir(at("d/mnt").c_str(), 0755), 0);
    const bool mounted = ::mount("tmpfs", at("d/mnt").c_str(), "tmpfs", 0, "size=1m") == 0;
    if (mounted) flrtest::writeFile(at("d/mnt/on-another-fs"), "keep");
    {
        Tail tail(root);
        Head head(tail.port());
        send(head, root + "\n\td\n" + at("d") + "\n\tkept\n", true);
        EXPECT_EQ(head.net.unappliedEntries(), mounted ? 1 : 0);
    }
    EXPECT_EQ(flrtest::readFile(at(".flrsnap/jxr_00000001/f")), "recovery point");
    EXPECT_NE(::access(at("other").c_str(), F_OK), 0);  // the mirror did run
    EXPECT_NE(::access(at("d/gone").c_str(), F_OK), 0);
    if (mounted) {
        EXPECT_EQ(flrtest::readFile(at("d/mnt/on-another-fs")), "keep");
        ::umount2(at("d/mnt").c_str(), MNT_DETACH);
    }
}

}  // namespace
