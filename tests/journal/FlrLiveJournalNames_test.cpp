// Renames and removals whose names the live journal must get right: a
// folder removed after it was renamed, and two entries exchanged.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "FLR/FlrRawJournal.h"
#include "FLR/JxException.h"
#include "journal/FlrLiveJournal.h"
#include "journal/FlrLiveNameCheck.h"
#include "platform/FlrDriver.h"
#include "platform/JxFanotify.h"
#include "platform/JxSeqCounter.h"
#include "support/TestSupport.h"
#include "support/ToolRunner.h"

namespace live_names {

struct Rec {
    std::vector<uint8_t> bytes;
    FlrJrnCommand cmd;
};

struct NamesFixture {
    flrtest::TempDir dir;
    JxSeqCounter counter{dir.file("journal.seq"), 1024};
    FlrDriver driver{counter};
    std::string src = dir.file("src");
    std::unique_ptr<FlrLiveJournal> live;
    std::string skip;

    NamesFixture() {
        ::mkdir(src.c_str(), 0755);
        if (!FlrDriver::hasCapability(&skip)) return;
        FlrLiveJournal::Options opt;
        opt.flushDelayMs = 300;
        try {
            live = std::make_unique<FlrLiveJournal>(std::vector<FlrLiveFolder>{{7, src}}, opt,
                                                    counter);
        } catch (const JxException& e) {
            skip = e.getMessage();
        }
    }
    std::string path(const std::string& rel) const { return src + "/" + rel; }
    fsf_fid fid(const std::string& rel) { return driver.getFID(path(rel), false); }

    std::vector<Rec> drain(int quietMs = 400) {
        std::vector<Rec> got;
        std::vector<uint8_t> bytes;
        while (live->next(bytes, quietMs)) {
            Rec r{bytes, {}};
            std::string why;
            EXPECT_EQ(0, decodeRawCmd(r.bytes.data(), r.bytes.size(), &r.cmd, &why)) << why;
            got.push_back(std::move(r));
        }
        for (auto& r : got) decodeRawCmd(r.bytes.data(), r.bytes.size(), &r.cmd);
        return got;
    }
};

#define REQUIRE_NAMES_LIVE(f) \
    if (!(f).live) GTEST_SKIP() << (f).skip

std::vector<const FlrJrnCommand*> recordsOf(const std::vector<Rec>& recs, uint32_t code) {
    std::vector<const FlrJrnCommand*> v;
    for (const auto& r : recs)
        if (r.cmd.cmd == code) v.push_back(&r.cmd);
    return v;
}

// The folder's path is gone from the journal's view once it is renamed; its
// children's removals must still be recorded when the whole tree is removed
// before the events are read.
TEST(FlrLiveJournalNames, RemovalsInARenamedThenRemovedTreeAreRecorded) {
    NamesFixture f;
    REQUIRE_NAMES_LIVE(f);
    ASSERT_EQ(0, ::mkdir(f.path("d").c_str(), 0755));
    ASSERT_EQ(0, ::mkdir(f.path("d/x").c_str(), 0755));
    flrtest::writeFile(f.path("d/x/f"), "a");
    f.drain();
    const fsf_fid d = f.fid("d"), x = f.fid("d/x"), file = f.fid("d/x/f");
    ASSERT_EQ(0, ::rename(f.path("d").c_str(), f.path("dr").c_str()));
    f.drain();
    ASSERT_EQ(0, ::unlink(f.path("dr/x/f").c_str()));
    ASSERT_EQ(0, ::rmdir(f.path("dr/x").c_str()));
    ASSERT_EQ(0, ::rmdir(f.path("dr").c_str()));
    const auto recs = f.drain();
    // Only the test's own entries count: the whole file system is watched.
    const fsf_fid root = f.driver.getFID(f.src, false);
    std::vector<const FlrJrnCommand*> removes, rmdirs;
    for (const auto* c : recordsOf(recs, FLR_JRN_REMOVE))
        if (c->remove.par_fid == x) removes.push_back(c);
    for (const auto* c : recordsOf(recs, FLR_JRN_RMDIR))
        if (c->rmdir.par_fid == d || c->rmdir.par_fid == root) rmdirs.push_back(c);
    ASSERT_EQ(1u, removes.size());
    EXPECT_EQ(file, removes[0]->remove.file_fid);
    ASSERT_EQ(2u, rmdirs.size());
    EXPECT_EQ(d, rmdirs[0]->rmdir.par_fid);
    EXPECT_STREQ("x", rmdirs[0]->rmdir.short_name);
    EXPECT_EQ(root, rmdirs[1]->rmdir.par_fid);
    EXPECT_STREQ("dr", rmdirs[1]->rmdir.short_name);
    EXPECT_TRUE(f.live->takeResyncs().empty());
}

}  // namespace live_names

namespace live_names {

struct Renamed {
    fsf_fid fid;
    std::string from, to;  // "<parent id hex>/<name>"
};

std::string at(const fsf_fid& par, const char* name) {
    return par.toString() + "/" + name;
}

std::vector<Renamed> renamesOf(const std::vector<Rec>& recs) {
    std::vector<Renamed> v;
    for (const auto* c : recordsOf(recs, FLR_JRN_RENAME))
        v.push_back({c->rename.src_fid, at(c->rename.src_par_fid, c->rename.src_short_name),
                     at(c->rename.dst_par_fid, c->rename.dst_short_name)});
    return v;
}

// Where each entry ends when the renames are applied in order to a table of
// names, as the tail and the name database apply them: a rename onto a
// taken name drops what held it.
std::map<std::string, fsf_fid> applied(std::map<std::string, fsf_fid> names,
                                       const std::vector<Renamed>& renames) {
    for (const auto& r : renames) {
        bool ours = false;  // the whole file system is watched
        for (const auto& [name, id] : names) ours = ours || id == r.fid;
        if (!ours) continue;
        const auto it = names.find(r.from);
        if (it == names.end()) {
            ADD_FAILURE() << "rename of a name nobody holds: " << r.from;
            continue;
        }
        const fsf_fid moved = it->second;
        names.erase(it);
        names[r.to] = moved;
    }
    return names;
}

// Files and folders swapped with renameat2(RENAME_EXCHANGE), in one folder
// and across two: each entry must end under the other's name, none lost.
TEST(FlrLiveJournalNames, ExchangedEntriesSwapNamesAndKeepBoth) {
    NamesFixture f;
    REQUIRE_NAMES_LIVE(f);
    struct Case {
        const char* what;
        const char* a;
        const char* b;
        bool folders;
    };
    const Case cases[] = {{"files in one folder", "a", "b", false},
                          {"files across folders", "p/a", "q/b", false},
                          {"folders", "p/da", "q/db", true}};
    ASSERT_EQ(0, ::mkdir(f.path("p").c_str(), 0755));
    ASSERT_EQ(0, ::mkdir(f.path("q").c_str(), 0755));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const char* n : {c.a, c.b}) {
            if (c.folders) {
                ASSERT_EQ(0, ::mkdir(f.path(n).c_str(), 0755));
                flrtest::writeFile(f.path(std::string(n) + "/inner"), n);
            } else {
                flrtest::writeFile(f.path(n), n);
            }
        }
        f.drain();
        const std::string a = f.path(c.a), b = f.path(c.b);
        const fsf_fid idA = f.fid(c.a), idB = f.fid(c.b);
        const auto parentAt = [&](const std::string& rel) {
            const size_t slash = rel.rfind('/');
            const fsf_fid par = f.driver.getFID(
                slash == std::string::npos ? f.src : f.path(rel.substr(0, slash)), false);
            return at(par, rel.c_str() + (slash == std::string::npos ? 0 : slash + 1));
        };
        const std::string nameA = parentAt(c.a), nameB = parentAt(c.b);
        ASSERT_EQ(0, ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE));
        const auto recs = f.drain();
        const auto after = applied({{nameA, idA}, {nameB, idB}}, renamesOf(recs));
        ASSERT_EQ(2u, after.size());
        EXPECT_EQ(idB, after.at(nameA));
        EXPECT_EQ(idA, after.at(nameB));
    }
    EXPECT_TRUE(f.live->takeResyncs().empty());
}

// A rename onto a taken name, and a rename whose old name is made again at
// once, each stay one plain rename.
TEST(FlrLiveJournalNames, RenamesThatAreNoExchangeGoAsTheyCame) {
    NamesFixture f;
    REQUIRE_NAMES_LIVE(f);
    flrtest::writeFile(f.path("a"), "a");
    flrtest::writeFile(f.path("b"), "b");
    f.drain();
    const fsf_fid idA = f.fid("a");
    ASSERT_EQ(0, ::rename(f.path("a").c_str(), f.path("b").c_str()));
    flrtest::writeFile(f.path("a"), "again");
    const auto recs = f.drain();
    const auto renames = renamesOf(recs);
    ASSERT_EQ(1u, renames.size());
    EXPECT_EQ(idA, renames[0].fid);
    EXPECT_EQ(at(f.driver.getFID(f.src, false), "b"), renames[0].to);
    // The rename comes before the new file's creation.
    ASSERT_FALSE(recs.empty());
    EXPECT_EQ(uint32_t(FLR_JRN_RENAME), recs[0].cmd.cmd);
    EXPECT_EQ(1u, recordsOf(recs, FLR_JRN_CREATE).size());
}

// The kernel folds an event into an identical one still queued: the third
// rename below is read with the first, so the records leave "a" while the
// source has "b". The journal finds the name wrong once the queue is drained
// and asks for a resync; the moment before it stays unsettled until then.
TEST(FlrLiveJournalNames, ARenameFoldedIntoAnEarlierOneRaisesAResync) {
    NamesFixture f;
    REQUIRE_NAMES_LIVE(f);
    flrtest::writeFile(f.path("a"), "a");
    f.drain();
    EXPECT_TRUE(f.live->takeResyncs().empty());
    for (const auto& [from, to] : {std::pair{"a", "b"}, {"b", "a"}, {"a", "b"}})
        ASSERT_EQ(0, ::rename(f.path(from).c_str(), f.path(to).c_str()));
    const fsf_fid id = f.fid("b"), root = f.driver.getFID(f.src, false);
    std::vector<Rec> recs(1);
    ASSERT_TRUE(f.live->next(recs[0].bytes, 1000));
    struct timespec since {};
    EXPECT_TRUE(f.live->unsettledSince(&since));
    for (auto& r : f.drain()) recs.push_back(std::move(r));
    for (auto& r : recs) ASSERT_EQ(0, decodeRawCmd(r.bytes.data(), r.bytes.size(), &r.cmd));
    const auto after = applied({{at(root, "a"), id}}, renamesOf(recs));
    ASSERT_EQ(1u, after.size());
    if (after.count(at(root, "b")))
        GTEST_SKIP() << "this kernel did not fold the renames; nothing to catch";
    const auto resyncs = f.live->takeResyncs();
    ASSERT_EQ(1u, resyncs.size());
    EXPECT_EQ(7, resyncs[0].pairId);
    EXPECT_NE(std::string::npos, resyncs[0].reason.find("folded")) << resyncs[0].reason;
    EXPECT_FALSE(f.live->unsettledSince(&since));
}

// A link removed and made again is one event with both changes: the name as
// it is now decides their order, so the records end with the name there.
TEST(FlrLiveJournalNames, ALinkRemovedAndMadeAgainEndsPresent) {
    NamesFixture f;
    REQUIRE_NAMES_LIVE(f);
    flrtest::writeFile(f.path("a"), "a");
    f.drain();
    ASSERT_EQ(0, ::link(f.path("a").c_str(), f.path("c").c_str()));
    ASSERT_EQ(0, ::unlink(f.path("c").c_str()));
    ASSERT_EQ(0, ::link(f.path("a").c_str(), f.path("c").c_str()));
    const auto recs = f.drain();
    const fsf_fid root = f.driver.getFID(f.src, false);
    uint32_t last = 0;
    for (const auto& r : recs) {
        if (r.cmd.cmd == FLR_JRN_LINK && r.cmd.link.dst_par_fid == root &&
            std::string(r.cmd.link.dst_short_name) == "c")
            last = r.cmd.cmd;
        if (r.cmd.cmd == FLR_JRN_REMOVE && r.cmd.remove.par_fid == root &&
            std::string(r.cmd.remove.short_name) == "c")
            last = r.cmd.cmd;
    }
    EXPECT_EQ(uint32_t(FLR_JRN_LINK), last);
    EXPECT_TRUE(f.live->takeResyncs().empty());
}

// Another thread's event can be queued between the two halves of an
// exchange. Replayed in that order (taken from a second queue), the
// exchange must still swap the names rather than drop one.
TEST(FlrLiveJournalNames, AnExchangeSplitByAnotherFoldersEventStillSwaps) {
    NamesFixture f;
    REQUIRE_NAMES_LIVE(f);
    ASSERT_EQ(0, ::mkdir(f.path("q").c_str(), 0755));
    flrtest::writeFile(f.path("a"), "a");
    flrtest::writeFile(f.path("b"), "b");
    f.drain();
    JxFanotify spy;
    spy.markFileSystem(f.src);
    const fsf_fid idA = f.fid("a"), idB = f.fid("b"), root = f.driver.getFID(f.src, false);
    ASSERT_EQ(0, ::renameat2(AT_FDCWD, f.path("a").c_str(), AT_FDCWD, f.path("b").c_str(),
                             RENAME_EXCHANGE));
    flrtest::writeFile(f.path("q/other"), "x");
    std::vector<JxFanEvent> seen, renames, others;
    for (int i = 0; i < 10 && spy.wait(300) == JxFanotify::Wait::Ready; ++i) spy.read(seen);
    for (const auto& ev : seen)  // the whole file system is watched
        if (ev.pid == ::getpid()) (ev.mask & FAN_RENAME ? renames : others).push_back(ev);
    ASSERT_EQ(2u, renames.size());
    ASSERT_FALSE(others.empty());
    // A journal started after the changes: only the replayed events reach it.
    FlrLiveJournal replay({{7, f.src}}, {}, f.counter);
    replay.process(renames[0]);
    for (const auto& ev : others) replay.process(ev);
    replay.process(renames[1]);
    std::vector<Rec> recs;
    for (std::vector<uint8_t> bytes; replay.next(bytes, 300);) recs.push_back({bytes, {}});
    for (auto& r : recs) ASSERT_EQ(0, decodeRawCmd(r.bytes.data(), r.bytes.size(), &r.cmd));
    const auto after = applied({{at(root, "a"), idA}, {at(root, "b"), idB}}, renamesOf(recs));
    ASSERT_EQ(2u, after.size());
    EXPECT_EQ(idB, after.at(at(root, "a")));
    EXPECT_EQ(idA, after.at(at(root, "b")));
}

}  // namespace live_names

namespace live_names {

// The kernel's handle of a path, as the journal keeps it.
JxFanHandle handleOf(const std::string& path) {
    struct {
        struct file_handle fh;
        unsigned char bytes[JxFanHandle::kMaxBytes];
    } h{};
    h.fh.handle_bytes = JxFanHandle::kMaxBytes;
    int mountId = 0;
    EXPECT_EQ(0, ::name_to_handle_at(AT_FDCWD, path.c_str(), &h.fh, &mountId, 0)) << path;
    JxFanHandle out;
    out.fsid = JxFanotify::fsidOf(path);
    out.type = h.fh.handle_type;
    out.length = h.fh.handle_bytes;
    std::memcpy(out.bytes, h.fh.f_handle, h.fh.handle_bytes);
    return out;
}

// A burst that never lets the queue drain fills the list: what agrees with
// the source goes at once, what does not stays for the drained check.
TEST(FlrLiveNameCheck, DropAgreeingKeepsOnlyTheNamesTheSourceDisagreesWith) {
    std::string skip;
    if (!FlrDriver::hasCapability(&skip)) GTEST_SKIP() << skip;
    flrtest::TempDir dir;
    flrtest::writeFile(dir.file("a"), "a");
    flrtest::writeFile(dir.file("b"), "b");
    const int mountFd = ::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(mountFd, 0);
    const JxFanHandle folder = handleOf(dir.path());
    const JxFanHandle a = handleOf(dir.file("a"));
    const struct timespec since = {1, 0};
    FlrLiveNameCheck names;
    names.expect(mountFd, 1, folder, "a", &a, since);          // holds a: agrees
    names.expect(mountFd, 1, folder, "gone", nullptr, since);  // nothing: agrees
    names.expect(mountFd, 1, folder, "b", nullptr, since);     // b is there: disagrees
    names.expect(mountFd, 1, folder, "b2", &a, since);         // a is not there: disagrees
    names.dropAgreeing();
    EXPECT_EQ(2u, names.size());
    // The two left are the ones a drained check would count.
    const auto later = FlrLiveNameCheck::Clock::now();
    EXPECT_TRUE(names.check(later).empty());
    EXPECT_EQ(std::vector<int>{1}, names.check(later + FlrLiveNameCheck::kSettle));
    ::close(mountFd);
}

}  // namespace live_names
