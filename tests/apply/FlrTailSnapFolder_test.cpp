// The tail's recovery points' folder (".flrsnap" at the top of the root, where
// the btrfs engine keeps its snapshots) is no part of the replica: a head can
// neither make, change, rename nor remove anything there, by a transfer, a
// journal record or a dirchange block, and the dirchange mirror of the root
// leaves the folder alone.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "TailJournalFixture.h"
#include "net/FlrNetMessage.h"

using namespace tailtest;
using jrntest::Stream;

namespace {

struct SnapFolderRegistry : Registry {
    SnapFolderRegistry() { JXPlatformInfo::setString("Platform", "dInstall", dir() + "/install"); }
};

struct SnapFolderTest : ::testing::Test {
    SnapFolderRegistry registry;
    flrtest::TempDir tmp;
    std::string root = tmp.file("dst");
    std::string victim = tmp.file("other-subvolume");

    void SetUp() override {
        ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(victim.c_str(), 0755), 0);
        flrtest::writeFile(victim + "/data", "precious");
        ASSERT_EQ(::mkdir(at(".flrsnap").c_str(), 0700), 0);
        ASSERT_EQ(::mkdir(at(".flrsnap/jxr_00000001").c_str(), 0755), 0);
        flrtest::writeFile(at(".flrsnap/jxr_00000001/f"), "recovery point");
        flrtest::writeFile(at("f"), "replica file");
    }
    std::string at(const std::string& rel) const { return root + "/" + rel; }
    FlrTailApplier::Options journal() const {
        FlrTailApplier::Options o;
        o.journalState = registry.dir() + "/state";
        o.journalSyncMs = 600000;
        return o;
    }
    // The journal's state lives in the registry's folder, not here.
    std::map<std::string, std::string> everything() const { return snapshot(tmp.path()); }
};

TEST_F(SnapFolderTest, TransfersIntoTheFolderAreRefused) {
    const auto before = everything();
    Tail tail(root);
    Head head(tail.port());
    struct Row {
        std::string path;
        mode_t mode;
        std::string data;
    };
    const std::vector<Row> rows = {
        {".flrsnap/jxr_00000003", S_IFLNK | 0777, victim},
        {at(".flrsnap/jxr_00000004"), S_IFLNK | 0777, victim},
        {".flrsnap/jxr_00000001/f", S_IFREG | 0644, "overwritten"},
        {".flrsnap/new", S_IFREG | 0644, "planted"},
        {".flrsnap/jxr_00000005", S_IFDIR | 0755, ""},
        {".flrsnap", S_IFDIR | 0777, ""},
        {".flrsnap", S_IFREG | 0644, "a file in its place"},
        {"./.flrsnap//jxr_00000001", S_IFLNK | 0777, victim},
    };
    long long refused = 0;
    for (const Row& row : rows) {
        head.sendEntry(row.path, row.mode, row.data);
        head.sync();
        EXPECT_EQ(head.net.unappliedEntries(), ++refused) << row.path;
    }
    // The same name below the top is an ordinary entry of the replica.
    head.sendFile("sub/.flrsnap", "fine");
    head.sync();
    EXPECT_EQ(head.net.unappliedEntries(), refused);
    auto expected = before;
    expected["dst/sub"] = everything()["dst/sub"];
    expected["dst/sub/.flrsnap"] = everything()["dst/sub/.flrsnap"];
    EXPECT_EQ(everything(), expected);
}

TEST_F(SnapFolderTest, JournalRecordsInTheFolderAreRefused) {
    Tail tail(root, journal());
    Head head(tail.port());
    const std::string v = "x";
    struct Row {
        const char* name;
        std::function<void(Stream&)> add;
    };
    const std::vector<Row> rows = {
        {"symlink", [&](Stream& s) { s.symlink(victim, ".flrsnap/jxr_00000003"); }},
        {"create", [](Stream& s) { s.create(".flrsnap/new", S_IFREG | 0644); }},
        {"mkdir", [](Stream& s) { s.mkdir(".flrsnap/jxr_00000002", 0755); }},
        {"write", [](Stream& s) { s.write(".flrsnap/jxr_00000001/f", 0, "pwned"); }},
        {"rename into", [](Stream& s) { s.rename("f", ".flrsnap/jxr_00000002"); }},
        {"rename out of", [](Stream& s) { s.rename(".flrsnap/jxr_00000001", "stolen"); }},
        {"rename the folder", [](Stream& s) { s.rename(".flrsnap", "stolen"); }},
        {"hard link into", [](Stream& s) { s.link("f", ".flrsnap/hard"); }},
        {"remove", [](Stream& s) { s.remove(".flrsnap/jxr_00000001/f"); }},
        {"rmdir", [](Stream& s) { s.rmdir(".flrsnap/jxr_00000001"); }},
        {"rmdir the folder", [](Stream& s) { s.rmdir(".flrsnap"); }},
        {"chmod", [](Stream& s) { s.chmod(".flrsnap", 0777); }},
        {"times", [](Stream& s) { s.times(".flrsnap/jxr_00000001"); }},
        {"truncate", [](Stream& s) { s.truncate(".flrsnap/jxr_00000001/f", 0); }},
        {"xattr", [&](Stream& s) { s.xattr(".flrsnap", "user.x", &v); }},
    };
    const auto before = everything();
    Stream s;
    for (const Row& row : rows) {
        const long long refused = tail.applier->journal().totals().refused;
        const size_t from = s.recs.size();
        row.add(s);
        const std::string bytes = s.payload(from, from + 1);
        head.net.sendJournalEntry(bytes.data(), static_cast<int>(bytes.size()));
        head.sync();
        EXPECT_EQ(refused + 1, tail.applier->journal().totals().refused) << row.name;
        EXPECT_EQ(before, everything()) << row.name;
    }
}

void sendDirChange(Head& head, const std::string& list) {
    FlrNetMessage m(FLR_NET_MIR_SPEC_FILE);
    m.mirSpecFile.id = FLR_SPEC_FILE_DIRCHANGE;
    head.net.sendMessage(m, 10, false);
    head.net.sendMirData(list.data(), static_cast<int>(list.size()));
    head.net.sendMirEOF();
    head.sync();
}

TEST_F(SnapFolderTest, TheMirrorOfTheRootLeavesTheFolderAlone) {
    flrtest::writeFile(at("gone"), "no longer on the source");
    Tail tail(root);
    Head head(tail.port());
    for (int run = 0; run < 2; ++run) {  // every later run too
        sendDirChange(head, root + "\n\tf\n");
        EXPECT_EQ(head.net.unappliedEntries(), 0) << "run " << run;
    }
    EXPECT_NE(::access(at("gone").c_str(), F_OK), 0);
    EXPECT_EQ(flrtest::readFile(at(".flrsnap/jxr_00000001/f")), "recovery point");
    // A block for the folder itself or one in it is refused.
    sendDirChange(head, at(".flrsnap") + "\n\tnothing\n" + at(".flrsnap/jxr_00000001") + "\n");
    EXPECT_EQ(head.net.unappliedEntries(), 2);
    EXPECT_EQ(flrtest::readFile(at(".flrsnap/jxr_00000001/f")), "recovery point");
}

}  // namespace
