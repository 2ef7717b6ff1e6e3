// The tail journal service: every record type applied over the link leaves
// the tree made directly; any suffix applied again leaves it too; hostile
// paths touch nothing outside the root; numbers at or below the last applied
// are skipped, durably, across restarts; a tail killed mid-stream converges
// when the head resends from its answer.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <random>

#include "FLR/FlrTreeVerify.h"
#include "FLR/JxException.h"
#include "TailJournalFixture.h"
#include "apply/FlrTailJournal.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxFile.h"
#include "platform/JxSparse.h"
#include "support/SparseFile.h"

using namespace tailtest;
using namespace jrntest;

namespace {

// The registry also puts the default state folder in the test's temp dir.
struct JournalRegistry : Registry {
    JournalRegistry() { JXPlatformInfo::setString("Platform", "dInstall", dir() + "/install"); }
};

FlrTailApplier::Options journalOptions(const std::string& state, int syncRecords = 4096) {
    FlrTailApplier::Options o;
    o.journalState = state;
    o.journalSyncRecords = syncRecords;
    o.journalSyncMs = 600000;  // only the count, the rules and questions sync
    return o;
}

std::string verifyTrees(const std::string& expected, const std::string& root) {
    FlrTreeVerifyOptions vo;
    vo.mtimes = true;
    const FlrTreeVerifyResult r = FlrTreeVerify(vo).compare(expected, root);
    std::string out;
    for (const FlrTreeDiff& d : r.diffs) out += d.path + ": " + d.what + "\n";
    return out;
}

void sendPayload(Head& head, const std::string& bytes) {
    head.net.sendJournalEntry(bytes.data(), static_cast<int>(bytes.size()));
}

std::string stateText(const std::string& file) {
    return flrtest::readFile(file);
}

}  // namespace

TEST(TailJournal, EveryRecordTypeOverTheLinkLeavesTheExpectedTree) {
    JournalRegistry reg;
    flrtest::TempDir root, expected;
    const bool acl = aclsWork(root.path());
    EveryType e(root.path(), acl);
    e.buildExpected(expected.path(), acl);
    Tail tail(root.path(), journalOptions(reg.dir() + "/state"));
    Head head(tail.port());
    head.net.setMirPairID(1);
    for (size_t at = 0; at < e.s.recs.size(); at += 10) sendPayload(head, e.s.payload(at, at + 10));
    unsigned long long last = 0;
    head.net.getLastSeqNum(1, &last, nullptr);

    EXPECT_EQ(e.s.recs.size(), last);
    EXPECT_EQ("", verifyTrees(expected.path(), root.path()));
    EXPECT_TRUE(sameInode(root.file("docs/old"), root.file("docs/hard")));
    EXPECT_EQ("v1", xattrOf(root.file("docs/old"), "user.flr.kept"));
    EXPECT_EQ("(none)", xattrOf(root.file("docs/old"), "user.flr.dropped"));
    if (acl) {
        EXPECT_EQ(e.form, JxACL::Helper().get(root.file("docs/b.bin")));
    }
    const FlrTailJournalStats t = tail.applier->journal().totals();
    EXPECT_EQ(0, t.failed + t.refused + t.settled);
    EXPECT_EQ(2, t.sequenceOnly);  // NOOP, SNAP
    EXPECT_EQ("flr-tail-journal 1\n1 " + std::to_string(last) + "\n",
              stateText(reg.dir() + "/state"));
}

// The pair's durable number as the state file has it.
unsigned long long durableIn(const std::string& state) {
    std::string text;
    if (!jx::readFileIfExists(state, &text)) return 0;
    const size_t at = text.find("\n1 ");
    return at == std::string::npos ? 0 : std::stoull(text.substr(at + 3));
}

// For every point k a tail could be killed at, the records it made durable
// (d <= k) and the tree of the first k: the head's resend from d+1 on that
// tree leaves the expected one. On the finished tree any suffix after the
// last durable point changes nothing either.
TEST(TailJournal, ReplayingFromTheDurableNumberLeavesTheSameTree) {
    JournalRegistry reg;
    flrtest::TempDir expected;
    const bool acl = aclsWork(expected.path());
    FlrJrnCommandNet c{};
    auto replay = [&](FlrTailJournal& j, const Stream& s, size_t from) {
        for (size_t i = from; i < s.recs.size(); ++i) {
            decodeNetCmd(s.recs[i].data(), s.recs[i].size(), &c);
            EXPECT_NE(FlrTailJournal::Outcome::Failed, j.applyRecord(c)) << "record " << i;
        }
    };
    auto check = [&](const flrtest::TempDir& root, const EveryType& e, const std::string& when) {
        EXPECT_EQ("", verifyTrees(expected.path(), root.path())) << when;
        EXPECT_TRUE(sameInode(root.file("docs/old"), root.file("docs/hard"))) << when;
        EXPECT_EQ("v1", xattrOf(root.file("docs/old"), "user.flr.kept")) << when;
        if (acl) {
            EXPECT_EQ(e.form, JxACL::Helper().get(root.file("docs/b.bin"))) << when;
        }
    };
    FlrTailJournal::Options o;
    o.syncData = false;
    o.syncRecords = 1 << 30;
    o.syncMs = 1 << 30;
    const size_t n = EveryType("/unused", acl).s.recs.size();
    for (size_t k = 0; k <= n; ++k) {
        flrtest::TempDir root;
        EveryType e(root.path(), acl);
        if (k == 0) e.buildExpected(expected.path(), acl);
        const std::string state = reg.dir() + "/state" + std::to_string(k);
        FlrTailRoot r(root.path());
        FlrTailJournal j(r, state, o);
        for (size_t i = 0; i < k; ++i) {
            const std::string one = e.s.recs[i];
            j.apply(one.data(), one.size(), 1);
        }
        const unsigned long long d = durableIn(state);
        ASSERT_LE(d, k);
        replay(j, e.s, d);
        check(root, e, "killed after " + std::to_string(k) + ", durable " + std::to_string(d));
        if (k < n) continue;
        // The finished tree: every suffix a resend could bring, in turn,
        // then at random.
        for (size_t from = d; from < n; ++from) {
            replay(j, e.s, from);
            check(root, e, "suffix from " + std::to_string(from));
        }
        std::mt19937 rng(11);
        for (int round = 0; d < n && round < flrtest::scaled(20); ++round) {
            const size_t from = d + rng() % (n - d);
            replay(j, e.s, from);
            check(root, e, "random suffix from " + std::to_string(from));
        }
    }
}

TEST(TailJournal, HostilePathsAreRefusedAndNothingOutsideChanges) {
    JournalRegistry reg;
    flrtest::TempDir root, outside;
    flrtest::writeFile(outside.file("victim"), "precious");
    ::mkdir(outside.file("sub").c_str(), 0755);
    Tail tail(root.path(), journalOptions(reg.dir() + "/state"));
    Head head(tail.port());
    Stream s;
    s.symlink(outside.path(), "esc");  // a link may point anywhere; it is never followed
    s.create("f", S_IFREG | 0644);
    sendPayload(head, s.payload(0, 2));
    const std::string v = "x";
    struct Row {
        const char* name;
        std::function<void(Stream&)> add;
    };
    const std::vector<Row> rows = {
        {"parent folder", [](Stream& t) { t.create("../escape", S_IFREG | 0644); }},
        {"absolute outside", [&](Stream& t) { t.create(outside.file("abs"), S_IFREG | 0644); }},
        {"sibling sharing a prefix", [&](Stream& t) { t.mkdir(root.path() + "-x", 0755); }},
        {"write through a linked folder", [](Stream& t) { t.write("esc/victim", 0, "pwned"); }},
        {"write to the link itself", [](Stream& t) { t.write("esc", 0, "pwned"); }},
        {"create beneath a link", [](Stream& t) { t.create("esc/new", S_IFREG | 0644); }},
        {"mkdir beneath a link", [](Stream& t) { t.mkdir("esc/d", 0755); }},
        {"symlink beneath a link", [](Stream& t) { t.symlink("x", "esc/l"); }},
        {"remove beneath a link", [](Stream& t) { t.remove("esc/victim"); }},
        {"rmdir beneath a link", [](Stream& t) { t.rmdir("esc/sub"); }},
        {"rename out of a link", [](Stream& t) { t.rename("esc/victim", "stolen"); }},
        {"rename into a link", [](Stream& t) { t.rename("f", "esc/planted"); }},
        {"hard link from beneath a link", [](Stream& t) { t.link("esc/victim", "hard"); }},
        {"truncate through a link", [](Stream& t) { t.truncate("esc/victim", 0); }},
        {"chmod through a link", [](Stream& t) { t.chmod("esc/victim", 0777); }},
        {"clear through a link", [](Stream& t) { t.fclear("esc/victim", 0, 8); }},
        {"xattr on the link's target", [&](Stream& t) { t.xattr("esc", "user.x", &v); }},
    };
    const auto before = snapshot(outside.path());
    for (const Row& row : rows) {
        const long long refused = tail.applier->journal().totals().refused;
        const size_t at = s.recs.size();
        row.add(s);
        sendPayload(head, s.payload(at, at + 1));
        head.sync();
        EXPECT_EQ(refused + 1, tail.applier->journal().totals().refused) << row.name;
        EXPECT_EQ(before, snapshot(outside.path())) << row.name;
    }
    if (::geteuid() == 0) {
        // As root a link's own trusted.* attribute is set and removed on the
        // link itself, never on what it points to.
        char got[8];
        for (const std::string* value : {&v, static_cast<const std::string*>(nullptr)}) {
            const size_t at = s.recs.size();
            s.xattr("esc", "trusted.mark", value);
            sendPayload(head, s.payload(at, at + 1));
            head.sync();
            const ssize_t n =
                ::lgetxattr(root.file("esc").c_str(), "trusted.mark", got, sizeof got);
            EXPECT_EQ(value ? 1 : -1, n);
            EXPECT_EQ(-1, ::getxattr(outside.path().c_str(), "trusted.mark", got, sizeof got));
        }
    }
    unsigned long long last = 0;  // the session is still up and every number counted
    head.net.getLastSeqNum(0, &last, nullptr);
    EXPECT_EQ(s.recs.size(), last);
    struct stat st {};
    EXPECT_EQ(0, ::lstat(root.file("f").c_str(), &st));  // "rename into" left it
    EXPECT_NE(0, ::lstat((root.path() + "-x").c_str(), &st));
}

TEST(TailJournal, NumbersAtOrBelowTheLastAppliedAreSkippedAcrossRestarts) {
    JournalRegistry reg;
    flrtest::TempDir root;
    const std::string state = reg.dir() + "/state";
    Stream first;
    first.create("s", S_IFREG | 0644);
    first.write("s", 0, "v1");
    Stream again;  // numbers 1..3 once more: only 3 is new
    again.write("s", 0, "XX");
    again.write("s", 0, "YY");
    again.write("s", 0, "v2");
    {
        Tail tail(root.path(), journalOptions(state));
        Head head(tail.port());
        head.net.setMirPairID(3);
        sendPayload(head, first.payload(0, 2));
        unsigned long long last = 0;
        head.net.getLastSeqNum(3, &last, nullptr);
        EXPECT_EQ(2u, last);
        EXPECT_EQ("flr-tail-journal 1\n3 2\n", stateText(state));
        sendPayload(head, again.payload(0, 3));
        head.net.getLastSeqNum(3, &last, nullptr);
        EXPECT_EQ(3u, last);
        head.net.getLastSeqNum(4, &last, nullptr);
        EXPECT_EQ(0u, last);  // pairs are apart
        EXPECT_EQ("v2", flrtest::readFile(root.file("s")));
        EXPECT_EQ(2, tail.applier->journal().totals().skipped);
    }
    Tail tail(root.path(), journalOptions(state));  // a restarted tail
    Head head(tail.port());
    head.net.setMirPairID(3);
    unsigned long long last = 0;
    head.net.getLastSeqNum(3, &last, nullptr);
    EXPECT_EQ(3u, last);
    sendPayload(head, again.payload(0, 3));
    head.sync();
    EXPECT_EQ(3, tail.applier->journal().totals().skipped);
    EXPECT_EQ("v2", flrtest::readFile(root.file("s")));
    // A damaged record ends its message; the next message applies.
    Stream more;
    more.next = 4;
    more.write("s", 0, "v3");
    more.write("s", 0, "v4");
    std::string damaged = more.recs[0] + more.recs[1].substr(0, 25);
    sendPayload(head, damaged);
    head.sync();
    EXPECT_EQ("v3", flrtest::readFile(root.file("s")));
    EXPECT_EQ(1, tail.applier->journal().totals().failed);
    sendPayload(head, more.recs[1]);
    head.net.getLastSeqNum(3, &last, nullptr);
    EXPECT_EQ(5u, last);
    EXPECT_EQ("v4", flrtest::readFile(root.file("s")));
    head.net.delPair(3);
    head.net.getLastSeqNum(3, &last, nullptr);
    EXPECT_EQ(0u, last);
    EXPECT_EQ("flr-tail-journal 1\n", stateText(state));
}

// The journal keeps files open across records; a file a transfer puts in
// place under the same name gets the records after it.
TEST(TailJournal, RecordsAfterATransferWriteTheFileItPutInPlace) {
    JournalRegistry reg;
    flrtest::TempDir root;
    Tail tail(root.path(), journalOptions(reg.dir() + "/state"));
    Head head(tail.port());
    Stream s;
    s.create("f", S_IFREG | 0644);
    s.write("f", 0, "journal");
    sendPayload(head, s.payload(0, 2));
    head.sendFile("f", "transferred");
    s.write("f", 0, "T");
    sendPayload(head, s.payload(2, 3));
    head.sync();
    EXPECT_EQ("Transferred", flrtest::readFile(root.file("f")));
}

// Entries of one folder share its open descriptor, but only until a message
// that may move the folder: a file sent after a record renamed its folder
// lands at its own path, not in the moved folder.
TEST(TailJournal, EntriesAfterAFolderMovedLandAtTheirOwnPath) {
    JournalRegistry reg;
    flrtest::TempDir root;
    Tail tail(root.path(), journalOptions(reg.dir() + "/state"));
    Head head(tail.port());
    Stream s;
    s.rename("d", "moved");
    head.sendFile("d/a", "first");
    head.sendFile("d/b", "second");
    sendPayload(head, s.payload(0, 1));
    head.sendFile("d/c", "third");
    head.sendFile("moved/e", "fourth");
    head.sendFile("d/f", "fifth");
    head.sync();
    EXPECT_EQ("first", flrtest::readFile(root.file("moved/a")));
    EXPECT_EQ("second", flrtest::readFile(root.file("moved/b")));
    EXPECT_EQ("fourth", flrtest::readFile(root.file("moved/e")));
    EXPECT_EQ("third", flrtest::readFile(root.file("d/c")));
    EXPECT_EQ("fifth", flrtest::readFile(root.file("d/f")));
    for (const char* stray : {"moved/c", "moved/f"})
        EXPECT_NE(0, ::access(root.file(stray).c_str(), F_OK)) << stray;
}

// Zeros a write grows a file by, and a cleared range, take no space on the
// tail: the bytes read the same, the blocks stay free.
TEST(TailJournal, ZeroWritesAndClearsLeaveHoles) {
    JournalRegistry reg;
    flrtest::TempDir root;
    if (!jx::keepsHoles(root.path().c_str())) GTEST_SKIP() << "no holes on this file system";
    Tail tail(root.path(), journalOptions(reg.dir() + "/state"));
    Head head(tail.port());
    const std::string data = flrtest::noZeros(4096, 5);
    const std::string zeros(2 << 20, '\0');
    const std::string full = flrtest::noZeros(2 << 20, 6);
    Stream s;
    s.create("grown", S_IFREG | 0644);
    s.write("grown", 0, data);
    s.write("grown", 4096, zeros);
    s.write("grown", 4096 + zeros.size(), data);
    s.create("cleared", S_IFREG | 0644);
    s.write("cleared", 0, full);
    s.fclear("cleared", 4096, full.size() - 8192);
    sendPayload(head, s.payload(0, s.recs.size()));
    head.sync();
    EXPECT_TRUE(flrtest::readFile(root.file("grown")) == data + zeros + data);
    EXPECT_LE(flrtest::allocatedBytes(root.file("grown")), 2 * 4096 + (64 << 10));
    const std::string cleared = full.substr(0, 4096) + std::string(full.size() - 8192, '\0') +
                                full.substr(full.size() - 4096);
    EXPECT_TRUE(flrtest::readFile(root.file("cleared")) == cleared);
    EXPECT_LE(flrtest::allocatedBytes(root.file("cleared")), 2 * 4096 + (64 << 10));
}

TEST(TailJournal, MalformedStateFileIsRefusedAndKept) {
    JournalRegistry reg;
    flrtest::TempDir root;
    FlrTailRoot r(root.path());
    const std::string state = reg.dir() + "/state";
    for (const char* text :
         {"", "garbage\n", "flr-tail-journal 1\n3\n", "flr-tail-journal 1\n3 -5\n",
          "flr-tail-journal 1\n3 5x\n", "flr-tail-journal 1\nx 5\n", "flr-tail-journal 1\n3  5\n",
          "flr-tail-journal 2\n3 5\n"}) {
        flrtest::writeFile(state, text);
        try {
            FlrTailJournal j(r, state);
            ADD_FAILURE() << "accepted \"" << text << "\"";
        } catch (const JxException& e) {
            EXPECT_NE(std::string::npos, e.getMessage().find(state)) << e.getMessage();
        }
        EXPECT_EQ(text, flrtest::readFile(state));
    }
    flrtest::writeFile(state, "flr-tail-journal 1\n-2 9\n3 18446744073709551615\n");
    FlrTailJournal j(r, state);
    EXPECT_EQ(9u, j.lastApplied(-2));
    EXPECT_EQ(18446744073709551615ull, j.lastApplied(3));
    EXPECT_EQ(0u, j.lastApplied(4));
    // Without a file given, the state lives under the install folder.
    EXPECT_EQ(0u, FlrTailJournal::defaultStateFile(root.path()).find(reg.dir() + "/install/tail/"));
}

TEST(TailJournal, MovedAwayNamesAndHardLinksAreDurableBeforeAReplayCouldMixThemUp) {
    JournalRegistry reg;
    flrtest::TempDir root;
    FlrTailRoot r(root.path());
    const std::string state = reg.dir() + "/state";
    FlrTailJournal::Options o;
    o.syncData = false;
    o.syncRecords = 1 << 30;
    o.syncMs = 1 << 30;
    FlrTailJournal j(r, state, o);
    Stream s;
    s.create("a", S_IFREG | 0644);
    s.write("a", 0, "one");
    s.rename("a", "b");
    s.create("a", S_IFREG | 0644);  // reuses the moved name: 1..3 durable first
    s.write("a", 0, "two");
    s.create("z", S_IFREG | 0644);
    s.rename("z", "y");  // moved away, never reused: no sync
    s.write("y", 0, "y");
    std::string p = s.payload(0, s.recs.size());
    j.apply(p.data(), p.size(), 1);
    EXPECT_EQ("flr-tail-journal 1\n1 3\n", stateText(state));
    const size_t linkAt = s.recs.size();
    s.link("b", "c");
    s.write("c", 0, "ONE");
    p = s.payload(linkAt, s.recs.size());
    j.apply(p.data(), p.size(), 1);
    EXPECT_EQ("flr-tail-journal 1\n1 " + std::to_string(linkAt + 1) + "\n", stateText(state));
    // What a crash would replay from the durable number leaves the tree as it is.
    const auto before = snapshot(root.path());
    for (size_t i = linkAt + 1; i < s.recs.size(); ++i) {
        FlrJrnCommandNet c{};
        decodeNetCmd(s.recs[i].data(), s.recs[i].size(), &c);
        j.applyRecord(c);
    }
    EXPECT_EQ(before, snapshot(root.path()));
    EXPECT_EQ("ONE", flrtest::readFile(root.file("b")));
    EXPECT_EQ("two", flrtest::readFile(root.file("a")));
}

TEST(TailJournalCrash, KilledMidStreamThenResentFromItsAnswerConverges) {
    JournalRegistry reg;
    std::mt19937 rng(5);
    for (int round = 0; round < flrtest::scaled(8); ++round) {
        flrtest::TempDir root, expected;
        const std::string state = reg.dir() + "/state" + std::to_string(round);
        EveryType e(root.path(), false);
        e.buildExpected(expected.path(), false);
        const size_t n = e.s.recs.size();
        const size_t killAt = 1 + rng() % n;
        {
            ChildTail child(root.path(), journalOptions(state, 3));
            ASSERT_GT(child.port, 0);
            try {
                Head head(child.port);
                head.net.setMirPairID(1);
                for (size_t i = 0; i < killAt; ++i) sendPayload(head, e.s.recs[i]);
                if (rng() % 2) head.sync();  // else killed with records in flight
            } catch (const JxException&) {
            }
            child.kill();
        }
        ChildTail child(root.path(), journalOptions(state, 3));
        ASSERT_GT(child.port, 0);
        Head head(child.port);
        head.net.setMirPairID(1);
        unsigned long long last = 0;
        head.net.getLastSeqNum(1, &last, nullptr);
        ASSERT_LE(last, killAt) << "round " << round;
        for (size_t i = last; i < n; ++i) sendPayload(head, e.s.recs[i]);  // numbers from 1
        head.net.getLastSeqNum(1, &last, nullptr);
        EXPECT_EQ(n, last);
        EXPECT_EQ("", verifyTrees(expected.path(), root.path())) << "killed after " << killAt;
        EXPECT_TRUE(sameInode(root.file("docs/old"), root.file("docs/hard"))) << killAt;
        EXPECT_EQ("v1", xattrOf(root.file("docs/old"), "user.flr.kept")) << killAt;
    }
}
