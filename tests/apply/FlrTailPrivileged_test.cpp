// The tail's policy for entries that hand out privileges (setuid/setgid
// files, device nodes) and for the root folder's own attributes: what each
// policy leaves in the replica, through transfers and journal records alike,
// and what the head is told.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "TailJournalFixture.h"

using namespace tailtest;

namespace {

struct PrivilegedTest : ::testing::Test {
    Registry reg;
    flrtest::TempDir dir;
    std::string root = dir.path() + "/root";
    void SetUp() override { ASSERT_EQ(::mkdir(root.c_str(), 0750), 0); }
    std::string at(const std::string& rel) const { return rel.empty() ? root : root + "/" + rel; }
    // The entry's st_mode, or 0 when it is not there.
    mode_t modeOf(const std::string& rel) const {
        struct stat st {};
        return ::lstat(at(rel).c_str(), &st) == 0 ? st.st_mode : 0;
    }
    FlrTailApplier::Options policy(FlrPrivileged p) const {
        FlrTailApplier::Options o;
        o.privileged = p;
        o.journalState = dir.path() + "/journal-state";
        return o;
    }
};

struct PrivilegedCase {
    const char* name;
    mode_t sent;
    // What the replica holds under keep, strip and refuse (0: nothing).
    mode_t expect[3];
};

const PrivilegedCase kCases[] = {
    {"setuid-file", S_IFREG | 04755, {S_IFREG | 04755, S_IFREG | 0755, 0}},
    {"setgid-file", S_IFREG | 02750, {S_IFREG | 02750, S_IFREG | 0750, 0}},
    {"both-bits", S_IFREG | 06711, {S_IFREG | 06711, S_IFREG | 0711, 0}},
    {"plain-file", S_IFREG | 0640, {S_IFREG | 0640, S_IFREG | 0640, S_IFREG | 0640}},
    {"setgid-folder", S_IFDIR | 02770, {S_IFDIR | 02770, S_IFDIR | 02770, S_IFDIR | 02770}},
    {"fifo", S_IFIFO | 0600, {S_IFIFO | 0600, S_IFIFO | 0600, S_IFIFO | 0600}},
    {"char-device", S_IFCHR | 0666, {S_IFCHR | 0666, 0, 0}},
    {"block-device", S_IFBLK | 0660, {S_IFBLK | 0660, 0, 0}},
};

long long expectedCount(FlrPrivileged p, bool stripped) {
    long long n = 0;
    const int k = static_cast<int>(p);
    for (const PrivilegedCase& c : kCases) {
        const bool changed = c.expect[k] != c.sent;
        if (changed && (c.expect[k] != 0) == stripped) ++n;
    }
    return n;
}

}  // namespace

TEST_F(PrivilegedTest, EachPolicyLeavesWhatItSaysAndTellsTheHead) {
    if (::geteuid() != 0) GTEST_SKIP() << "setuid files owned by others and device nodes need root";
    for (FlrPrivileged p : {FlrPrivileged::Keep, FlrPrivileged::Strip, FlrPrivileged::Refuse}) {
        SCOPED_TRACE(flrPrivilegedName(p));
        Tail tail(root, policy(p));
        Head head(tail.port());
        for (const PrivilegedCase& c : kCases) {
            const std::string path = at(c.name);  // the header points into it
            FlrNetMirHeader h = header(path, c.sent, S_ISREG(c.sent) ? 3 : 0);
            h.rdev = makedev(1, 3);
            head.net.sendMirHeader(h);
            if (S_ISREG(c.sent)) head.net.sendMirData("abc", 3);
            head.net.sendMirEOF();
        }
        head.sync();
        for (const PrivilegedCase& c : kCases)
            EXPECT_EQ(modeOf(c.name), c.expect[static_cast<int>(p)]) << c.name;
        long long stripped = -1, withheld = -1;
        ASSERT_TRUE(head.net.privilegedEntries(&stripped, &withheld));
        EXPECT_EQ(stripped, expectedCount(p, true));
        EXPECT_EQ(withheld, expectedCount(p, false));
        // Withheld entries are no failure: the run is complete as far as
        // the head is concerned, or every later run would send them again.
        EXPECT_EQ(head.net.unappliedEntries(), 0);
        for (const PrivilegedCase& c : kCases) flrtest::removeTree(at(c.name));
    }
}

TEST_F(PrivilegedTest, JournalRecordsFollowThePolicyToo) {
    if (::geteuid() != 0) GTEST_SKIP() << "device nodes need root";
    Tail tail(root, policy(FlrPrivileged::Strip));
    Head head(tail.port());
    jrntest::Stream s;
    s.create("tool", S_IFREG | 04755);
    s.create("plain", S_IFREG | 0644);
    s.chmod("plain", 02755);
    s.create("dev", S_IFCHR | 0600);
    s.chmod(root, 0777);  // the root folder itself
    const std::string bytes = s.payload(0, s.recs.size());
    head.net.sendJournalEntry(bytes.data(), static_cast<int>(bytes.size()));
    head.sync();
    EXPECT_EQ(modeOf("tool"), S_IFREG | 0755);
    EXPECT_EQ(modeOf("plain"), S_IFREG | 0755);
    EXPECT_EQ(modeOf("dev"), 0u);
    EXPECT_EQ(modeOf(""), S_IFDIR | 0750);
    long long stripped = 0, withheld = 0;
    ASSERT_TRUE(head.net.privilegedEntries(&stripped, &withheld));
    EXPECT_EQ(stripped, 2);
    EXPECT_EQ(withheld, 1);
}

// The operator chose the root folder's owner and mode (say 0750, to keep
// users out of a replica of their home folders); only a trusted head may
// change them.
TEST_F(PrivilegedTest, TheRootFolderKeepsItsModeUnlessHeadsAreTrusted) {
    for (FlrPrivileged p : {FlrPrivileged::Strip, FlrPrivileged::Keep}) {
        SCOPED_TRACE(flrPrivilegedName(p));
        ASSERT_EQ(::chmod(root.c_str(), 0750), 0);
        Tail tail(root, policy(p));
        Head head(tail.port());
        head.sendEntry(root, S_IFDIR | 0777);
        head.sync();
        EXPECT_EQ(modeOf(""), p == FlrPrivileged::Keep ? S_IFDIR | 0777 : S_IFDIR | 0750);
        struct stat st {};
        ASSERT_EQ(::stat(root.c_str(), &st), 0);
        EXPECT_EQ(st.st_mtime, 1600000100) << "its times follow the source under any policy";
    }
}

TEST(Privileged, PolicyNamesRoundTripAndNothingElseParses) {
    for (FlrPrivileged p : {FlrPrivileged::Keep, FlrPrivileged::Strip, FlrPrivileged::Refuse}) {
        FlrPrivileged back = FlrPrivileged::Keep;
        ASSERT_TRUE(flrParsePrivileged(flrPrivilegedName(p), &back));
        EXPECT_EQ(back, p);
    }
    FlrPrivileged untouched = FlrPrivileged::Refuse;
    for (const char* bad : {"", "Keep", "strip ", "none", "1"})
        EXPECT_FALSE(flrParsePrivileged(bad, &untouched)) << bad;
    EXPECT_EQ(untouched, FlrPrivileged::Refuse);
}
