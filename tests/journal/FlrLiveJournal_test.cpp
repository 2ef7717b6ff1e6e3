#include "journal/FlrLiveJournal.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FLR/FlrRawJournal.h"
#include "FLR/JxException.h"
#include "platform/FlrDriver.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxFile.h"
#include "platform/JxSeqCounter.h"
#include "support/TestSupport.h"
#include "support/ToolRunner.h"

namespace {

// A record kept with its bytes, so the decoded pointers stay valid.
struct Rec {
    std::vector<uint8_t> bytes;
    FlrJrnCommand cmd;
};

struct LiveFixture {
    flrtest::TempDir dir;
    JxSeqCounter counter{dir.file("journal.seq"), 1024};
    FlrDriver driver{counter};
    std::string src = dir.file("src");
    // A sibling whose name starts with the folder's: a prefix is not a parent.
    std::string out = dir.file("src2");
    std::unique_ptr<FlrLiveJournal> live;
    std::string skip;

    explicit LiveFixture(FlrLiveJournal::Options opt = {},
                         const std::vector<std::string>& existing = {}) {
        ::mkdir(src.c_str(), 0755);
        ::mkdir(out.c_str(), 0755);
        for (const auto& name : existing) flrtest::writeFile(src + "/" + name, name);
        // Files are stamped with the kernel's coarse clock: the ones made
        // before the watch must be a tick older than it.
        if (!existing.empty()) ::usleep(30000);
        if (!FlrDriver::hasCapability(&skip)) return;
        if (opt.flushDelayMs == FlrLiveJournal::Options{}.flushDelayMs) opt.flushDelayMs = 300;
        try {
            live = std::make_unique<FlrLiveJournal>(std::vector<FlrLiveFolder>{{7, src}}, opt,
                                                    counter);
        } catch (const JxException& e) {
            skip = e.getMessage();  // no CAP_SYS_ADMIN, or no file ids on this file system
        }
    }
    fsf_fid fid(const std::string& rel) { return driver.getFID(src + "/" + rel, false); }
    fsf_fid root() { return driver.getFID(src, false); }

    // Everything recorded until the journal has been quiet for quietMs.
    std::vector<Rec> drain(int quietMs = 400) {
        std::vector<Rec> got;
        std::vector<uint8_t> bytes;
        while (live->next(bytes, quietMs)) {
            Rec r{bytes, {}};
            std::string why;
            EXPECT_EQ(0, decodeRawCmd(r.bytes.data(), r.bytes.size(), &r.cmd, &why)) << why;
            got.push_back(std::move(r));
        }
        // Decoded pointers refer to each record's own bytes: re-decode after moves.
        for (auto& r : got) decodeRawCmd(r.bytes.data(), r.bytes.size(), &r.cmd);
        return got;
    }
};

#define REQUIRE_LIVE(f) \
    if (!(f).live) GTEST_SKIP() << (f).skip

std::string codes(const std::vector<Rec>& recs) {
    std::string s;
    for (const auto& r : recs) s += std::string(s.empty() ? "" : " ") + flrJrnCodeName(r.cmd.cmd);
    return s;
}

// The records of `code`, in order.
std::vector<const FlrJrnCommand*> only(const std::vector<Rec>& recs, uint32_t code) {
    std::vector<const FlrJrnCommand*> v;
    for (const auto& r : recs)
        if (r.cmd.cmd == code) v.push_back(&r.cmd);
    return v;
}

std::string dataOf(const FlrJrnCommand* w) {
    return std::string(static_cast<const char*>(w->write.data), w->write.size);
}

TEST(FlrLiveJournal, WorkloadBecomesMatchingRecords) {
    LiveFixture f;
    REQUIRE_LIVE(f);
    const uint64_t start = f.live->lastSeq();
    fsf_fid file, dirId, sym;
    struct Step {
        const char* what;
        std::function<void()> act;
        // Every record of the step except the SETATTRs, in order.
        std::string main;
        std::function<void(const std::vector<Rec>&)> check;
    };
    const auto path = [&](const std::string& rel) { return f.src + "/" + rel; };
    std::vector<Step> steps = {
        {"mkdir", [&] { ASSERT_EQ(0, ::mkdir(path("d").c_str(), 0750)); }, "FLR_JRN_MKDIR",
         [&](const std::vector<Rec>& r) {
             dirId = f.fid("d");
             const auto& m = only(r, FLR_JRN_MKDIR)[0]->mkdir;
             EXPECT_EQ(f.root(), m.par_fid);
             EXPECT_EQ(dirId, m.fid);
             EXPECT_STREQ("d", m.short_name);
             EXPECT_EQ(uint32_t(S_IFDIR | 0750), m.mode & ~uint32_t(S_ISGID));
         }},
        {"create and write", [&] { flrtest::writeFile(path("f"), "hello"); },
         "FLR_JRN_CREATE FLR_JRN_WRITE",
         [&](const std::vector<Rec>& r) {
             file = f.fid("f");
             const auto& c = only(r, FLR_JRN_CREATE)[0]->create;
             EXPECT_EQ(f.root(), c.par_fid);
             EXPECT_EQ(file, c.fid);
             EXPECT_STREQ("f", c.short_name);
             EXPECT_TRUE(S_ISREG(c.mode));
             const auto* w = only(r, FLR_JRN_WRITE)[0];
             EXPECT_EQ(file, w->write.fid);
             EXPECT_EQ("hello", dataOf(w));
             EXPECT_EQ(5u, only(r, FLR_JRN_SETATTR).back()->setattr.size);
         }},
        {"append",
         [&] {
             const int fd = ::open(path("f").c_str(), O_WRONLY | O_APPEND);
             ASSERT_EQ(6, ::write(fd, " world", 6));
             ::close(fd);
         },
         "FLR_JRN_WRITE",
         [&](const std::vector<Rec>& r) {
             EXPECT_EQ("hello world", dataOf(only(r, FLR_JRN_WRITE)[0]));
             EXPECT_EQ(11u, only(r, FLR_JRN_SETATTR).back()->setattr.size);
         }},
        // truncate(2) never opens the file: only the bounded delay flushes it.
        {"truncate", [&] { ASSERT_EQ(0, ::truncate(path("f").c_str(), 3)); }, "FLR_JRN_WRITE",
         [&](const std::vector<Rec>& r) {
             EXPECT_EQ("hel", dataOf(only(r, FLR_JRN_WRITE)[0]));
             const auto& a = only(r, FLR_JRN_SETATTR).back()->setattr;
             EXPECT_EQ(file, a.fid);
             EXPECT_TRUE(a.size_valid);
             EXPECT_EQ(3u, a.size);
         }},
        {"rename across folders",
         [&] { ASSERT_EQ(0, ::rename(path("f").c_str(), path("d/g").c_str())); }, "FLR_JRN_RENAME",
         [&](const std::vector<Rec>& r) {
             const auto& m = only(r, FLR_JRN_RENAME)[0]->rename;
             EXPECT_EQ(file, m.src_fid);
             EXPECT_EQ(f.root(), m.src_par_fid);
             EXPECT_STREQ("f", m.src_short_name);
             EXPECT_EQ(dirId, m.dst_par_fid);
             EXPECT_STREQ("g", m.dst_short_name);
         }},
        {"rename within a folder",
         [&] { ASSERT_EQ(0, ::rename(path("d/g").c_str(), path("d/h").c_str())); },
         "FLR_JRN_RENAME",
         [&](const std::vector<Rec>& r) {
             const auto& m = only(r, FLR_JRN_RENAME)[0]->rename;
             EXPECT_EQ(file, m.src_fid);
             EXPECT_EQ(dirId, m.src_par_fid);
             EXPECT_EQ(dirId, m.dst_par_fid);
             EXPECT_STREQ("h", m.dst_short_name);
         }},
        {"hard link", [&] { ASSERT_EQ(0, ::link(path("d/h").c_str(), path("l").c_str())); },
         "FLR_JRN_LINK",
         [&](const std::vector<Rec>& r) {
             const auto& l = only(r, FLR_JRN_LINK)[0]->link;
             EXPECT_EQ(file, l.src_fid);
             EXPECT_EQ(f.root(), l.dst_par_fid);
             EXPECT_STREQ("l", l.dst_short_name);
         }},
        {"symbolic link", [&] { ASSERT_EQ(0, ::symlink("d/h", path("s").c_str())); },
         "FLR_JRN_SYMLINK",
         [&](const std::vector<Rec>& r) {
             sym = f.fid("s");
             const auto& s = only(r, FLR_JRN_SYMLINK)[0]->symlink;
             EXPECT_STREQ("d/h", s.src_name);
             EXPECT_EQ(f.root(), s.dst_par_fid);
             EXPECT_STREQ("s", s.dst_short_name);
             EXPECT_EQ(sym, s.dst_fid);
             EXPECT_NE(file, sym);
             // The link's own times follow it, or the tail's copy gets the apply time.
             struct stat st {};
             ASSERT_EQ(0, ::lstat(path("s").c_str(), &st));
             const auto times = only(r, FLR_JRN_SETATTR);
             ASSERT_FALSE(times.empty());
             EXPECT_EQ(sym, times.back()->setattr.fid);
             EXPECT_EQ(int64_t(st.st_mtim.tv_sec), times.back()->setattr.mtime.sec);
         }},
        {"chmod, chown, utimes",
         [&] {
             ASSERT_EQ(0, ::chmod(path("l").c_str(), 0604));
             ASSERT_EQ(0, ::chown(path("l").c_str(), 1234, 4321));
             struct timeval tv[2] = {{1000, 0}, {2000000, 0}};
             ASSERT_EQ(0, ::utimes(path("l").c_str(), tv));
         },
         "",
         [&](const std::vector<Rec>& r) {
             ASSERT_FALSE(only(r, FLR_JRN_SETATTR).empty());
             const auto& a = only(r, FLR_JRN_SETATTR).back()->setattr;
             EXPECT_EQ(file, a.fid);
             EXPECT_EQ(uint32_t(S_IFREG | 0604), a.mode);
             EXPECT_EQ(1234u, a.uid);
             EXPECT_EQ(4321u, a.gid);
             EXPECT_EQ(2000000, a.mtime.sec);
             EXPECT_TRUE(a.mode_valid && a.uid_valid && a.gid_valid && a.mtime_valid);
         }},
        {"unlink one of two names", [&] { ASSERT_EQ(0, ::unlink(path("l").c_str())); },
         "FLR_JRN_REMOVE",
         [&](const std::vector<Rec>& r) {
             const auto& m = only(r, FLR_JRN_REMOVE)[0]->remove;
             EXPECT_EQ(f.root(), m.par_fid);
             EXPECT_STREQ("l", m.short_name);
             EXPECT_EQ(file, m.file_fid);
             EXPECT_EQ(1, m.nlink);
         }},
        {"unlink the last name", [&] { ASSERT_EQ(0, ::unlink(path("d/h").c_str())); },
         "FLR_JRN_REMOVE",
         [&](const std::vector<Rec>& r) {
             const auto& m = only(r, FLR_JRN_REMOVE)[0]->remove;
             EXPECT_EQ(dirId, m.par_fid);
             EXPECT_EQ(file, m.file_fid);
             EXPECT_EQ(0, m.nlink);
         }},
        {"rmdir", [&] { ASSERT_EQ(0, ::rmdir(path("d").c_str())); }, "FLR_JRN_RMDIR",
         [&](const std::vector<Rec>& r) {
             const auto& m = only(r, FLR_JRN_RMDIR)[0]->rmdir;
             EXPECT_EQ(dirId, m.dir_fid);
             EXPECT_EQ(f.root(), m.par_fid);
             EXPECT_STREQ("d", m.short_name);
         }},
    };
    uint64_t last = start;
    for (const auto& step : steps) {
        step.act();
        // The same changes outside the watched folder must leave no trace.
        flrtest::writeFile(f.out + "/noise", step.what);
        const std::vector<Rec> recs = f.drain();
        std::string main;
        for (const auto& r : recs) {
            EXPECT_GT(r.cmd.seq_num, last) << step.what;
            last = r.cmd.seq_num;
            const fsf_fid noise = f.driver.getFID(f.out + "/noise", false);
            EXPECT_TRUE(r.bytes.end() == std::search(r.bytes.begin(), r.bytes.end(), noise.bytes,
                                                     noise.bytes + fsf_fid::kSize))
                << step.what << ": a record names a file outside the folder";
            if (r.cmd.cmd != FLR_JRN_SETATTR)
                main += std::string(main.empty() ? "" : " ") + flrJrnCodeName(r.cmd.cmd);
        }
        ASSERT_EQ(step.main, main) << step.what << ": " << codes(recs);
        step.check(recs);
    }
    // A no-op mark drawn afterwards orders after every record.
    uint64_t noop = 0;
    f.driver.injectNOOP(&noop, nullptr);
    EXPECT_GT(noop, last);
    EXPECT_TRUE(f.live->takeResyncs().empty());
}

TEST(FlrLiveJournal, ASecondNameIsALinkOnlyForAFileThatHadOne) {
    LiveFixture f({}, {"old"});
    REQUIRE_LIVE(f);
    ASSERT_EQ(0, ::link((f.src + "/old").c_str(), (f.src + "/old2").c_str()));
    // Linked before the journal sees its creation: the first name is still a create.
    flrtest::writeFile(f.src + "/new", "n");
    ASSERT_EQ(0, ::link((f.src + "/new").c_str(), (f.src + "/new2").c_str()));
    const auto recs = f.drain();
    const auto links = only(recs, FLR_JRN_LINK);
    const auto creates = only(recs, FLR_JRN_CREATE);
    ASSERT_EQ(2u, links.size()) << codes(recs);
    ASSERT_EQ(1u, creates.size()) << codes(recs);
    EXPECT_EQ(f.fid("old"), links[0]->link.src_fid);
    EXPECT_STREQ("old2", links[0]->link.dst_short_name);
    EXPECT_STREQ("new", creates[0]->create.short_name);
    EXPECT_EQ(f.fid("new"), creates[0]->create.fid);
    EXPECT_EQ(f.fid("new"), links[1]->link.src_fid);
    EXPECT_STREQ("new2", links[1]->link.dst_short_name);
}

TEST(FlrLiveJournal, LargeFilesGoToTheResendList) {
    FlrLiveJournal::Options opt;
    opt.smallFileMax = 1024;
    LiveFixture f(opt);
    REQUIRE_LIVE(f);
    ::mkdir((f.src + "/sub").c_str(), 0755);
    flrtest::writeFile(f.src + "/sub/small", std::string(1024, 's'));
    flrtest::writeFile(f.src + "/sub/big", std::string(1025, 'b'));
    const auto recs = f.drain();
    const auto writes = only(recs, FLR_JRN_WRITE);
    ASSERT_EQ(1u, writes.size()) << codes(recs);
    EXPECT_EQ(f.fid("sub/small"), writes[0]->write.fid);
    EXPECT_EQ(1024u, writes[0]->write.size);
    const auto ddr = only(recs, FLR_JRN_WRITE_DDR);
    ASSERT_EQ(1u, ddr.size()) << codes(recs);
    EXPECT_EQ(f.fid("sub/big"), ddr[0]->write.fid);
    EXPECT_EQ(1025u, ddr[0]->write.size);
    const auto resends = f.live->takeResends();
    ASSERT_EQ(1u, resends.size());
    EXPECT_EQ(7, resends[0].pairId);
    EXPECT_EQ("sub/big", resends[0].path);
    EXPECT_EQ(f.fid("sub/big"), resends[0].fid);
    EXPECT_EQ(1025u, resends[0].size);
    EXPECT_EQ(ddr[0]->seq_num, resends[0].seq);
    EXPECT_TRUE(f.live->takeResends().empty());
}

TEST(FlrLiveJournal, MovesAcrossTheWatchedBoundary) {
    LiveFixture f;
    REQUIRE_LIVE(f);
    flrtest::writeFile(f.out + "/in", "moved in");
    ::mkdir((f.out + "/tree").c_str(), 0755);
    flrtest::writeFile(f.src + "/leaving", "x");
    f.drain();
    const fsf_fid leaving = f.fid("leaving");
    ASSERT_EQ(0, ::rename((f.out + "/in").c_str(), (f.src + "/in").c_str()));
    ASSERT_EQ(0, ::rename((f.out + "/tree").c_str(), (f.src + "/tree").c_str()));
    ASSERT_EQ(0, ::rename((f.src + "/leaving").c_str(), (f.out + "/left").c_str()));
    const auto recs = f.drain();
    ASSERT_EQ("FLR_JRN_CREATE FLR_JRN_WRITE FLR_JRN_SETATTR FLR_JRN_MKDIR FLR_JRN_REMOVE",
              codes(recs));
    EXPECT_EQ(f.fid("in"), recs[0].cmd.create.fid);
    EXPECT_EQ("moved in", dataOf(&recs[1].cmd));
    EXPECT_EQ(f.fid("tree"), recs[3].cmd.mkdir.fid);
    EXPECT_EQ(leaving, recs[4].cmd.remove.file_fid);
    EXPECT_STREQ("leaving", recs[4].cmd.remove.short_name);
    // The folder's content never went through the journal: a scan must fetch it.
    const auto resyncs = f.live->takeResyncs();
    ASSERT_EQ(1u, resyncs.size());
    EXPECT_EQ(7, resyncs[0].pairId);
    EXPECT_EQ("folder moved in from outside", resyncs[0].reason);
    EXPECT_EQ(recs[3].cmd.seq_num, resyncs[0].sinceSeq);
}

TEST(FlrLiveJournal, OverflowRaisesAResyncAndTheJournalGoesOn) {
    FlrLiveJournal::Options opt;
    opt.boundedQueue = true;
    LiveFixture f(opt);
    REQUIRE_LIVE(f);
    // The crafted form first: exactly what the kernel queues when it drops events.
    JxFanEvent over;
    over.mask = FAN_Q_OVERFLOW;
    f.live->process(over);
    auto resyncs = f.live->takeResyncs();
    ASSERT_EQ(1u, resyncs.size());
    EXPECT_EQ("event queue overflow", resyncs[0].reason);
    EXPECT_EQ(f.live->lastSeq(), resyncs[0].sinceSeq);

    // Then the real one: more events than the kernel queues, none read
    // meanwhile. Renames to ever new names, which the kernel cannot merge.
    std::string limit = "16384";
    jx::readFileIfExists("/proc/sys/fs/fanotify/max_queued_events", &limit);
    const int renames = std::stoi(limit) + 1000;
    if (renames > 1000000) GTEST_SKIP() << "the kernel queue holds " << limit << " events";
    std::string name = f.src + "/0";
    flrtest::writeFile(name, "");
    for (int i = 1; i <= renames; ++i) {
        const std::string to = f.src + "/" + std::to_string(i);
        ASSERT_EQ(0, ::rename(name.c_str(), to.c_str()));
        name = to;
    }
    const size_t burst = f.drain(200).size();
    resyncs = f.live->takeResyncs();
    ASSERT_EQ(1u, resyncs.size()) << burst << " records from " << renames << " renames";
    EXPECT_EQ(7, resyncs[0].pairId);
    EXPECT_EQ("event queue overflow", resyncs[0].reason);
    EXPECT_LE(resyncs[0].sinceSeq, f.live->lastSeq());
    flrtest::writeFile(f.src + "/after", "a");
    const auto recs = f.drain();
    ASSERT_FALSE(only(recs, FLR_JRN_CREATE).empty()) << codes(recs);
    EXPECT_EQ(f.fid("after"), only(recs, FLR_JRN_CREATE)[0]->create.fid);
}

TEST(FlrLiveJournal, RestartRaisesAResyncFromTheLastRecord) {
    flrtest::TempDir state;
    FlrLiveJournal::Options opt;
    opt.stateFile = state.file("live.state");
    uint64_t lastOfFirstRun = 0;
    {
        LiveFixture f(opt);
        REQUIRE_LIVE(f);
        EXPECT_TRUE(f.live->takeResyncs().empty());  // a first run has no past
        flrtest::writeFile(f.src + "/a", "a");
        const auto recs = f.drain();
        ASSERT_FALSE(recs.empty());
        lastOfFirstRun = recs.back().cmd.seq_num;
        f.live->stop();
        std::vector<uint8_t> rec;
        EXPECT_FALSE(f.live->next(rec, 1000));
    }
    LiveFixture again(opt);
    REQUIRE_LIVE(again);
    const auto resyncs = again.live->takeResyncs();
    ASSERT_EQ(1u, resyncs.size());
    EXPECT_EQ(7, resyncs[0].pairId);
    EXPECT_EQ(lastOfFirstRun, resyncs[0].sinceSeq);
    EXPECT_EQ("journal source restarted", resyncs[0].reason);
}

TEST(FlrLiveJournal, StopFromAnotherThreadEndsAWaitingNext) {
    LiveFixture f;
    REQUIRE_LIVE(f);
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        f.live->stop();
    });
    std::vector<uint8_t> rec;
    EXPECT_FALSE(f.live->next(rec, -1));
    stopper.join();
    flrtest::writeFile(f.src + "/late", "x");
    EXPECT_FALSE(f.live->next(rec, 500));  // stays stopped
}

TEST(FlrLiveJournal, WatchCommandPrintsRecords) {
    FLR_REQUIRE_TOOL();
    LiveFixture f;
    REQUIRE_LIVE(f);
    f.live.reset();
    flrtest::ScopedRegistry reg;
    JXPlatformInfo::setString("Platform", "dInstall", f.dir.file("install"));
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        flrtest::writeFile(f.src + "/seen", "data");
    });
    const auto run =
        flrtest::runTool({"journal", "watch", f.src, "--count", "2", "--idle-ms", "10000"}, {},
                         {"FLR_REGISTRY=" + reg.path()});
    writer.join();
    EXPECT_EQ(0, run.status) << run.err;
    EXPECT_NE(std::string::npos, run.out.find("cmd.............. FLR_JRN_CREATE")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("cmd.............. FLR_JRN_WRITE")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("seen")) << run.out;
}

}  // namespace
