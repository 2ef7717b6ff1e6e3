// MD5 and RSync deltas over an old copy that changed on the tail after its
// checksums were sent: the entry fails, the copy stays as it was left (or
// absent), never a mix of the head's blocks and other bytes, and the next
// run converges.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "FLR/FlrTreeVerify.h"
#include "FLR/JxException.h"
#include "TailApplyFixture.h"
#include "apply/FlrTailAnswers.h"
#include "apply/FlrTailApplier.h"
#include "digest/Jxc.h"
#include "net/FlrNetMessage.h"

using namespace tailtest;

namespace {

constexpr int kOldCopyBlock = 4096;

std::string digestOf(const std::string& s) {
    unsigned char d[16];
    Jxc::md5(s.data(), s.size(), d);
    return std::string(reinterpret_cast<char*>(d), 16);
}

// Block digests of a copy, as the tail's answer gives them.
std::vector<std::string> blockDigests(const std::string& copy) {
    std::vector<std::string> out;
    for (size_t at = 0; at < copy.size(); at += kOldCopyBlock)
        out.push_back(digestOf(copy.substr(at, kOldCopyBlock)));
    return out;
}

// What a head sends for `now` once the tail described `described`: MD5
// skips equal blocks (a seek before the next data), RSync refers to them.
void sendDeltaOver(Head& head, const std::string& path, uint8_t method, const std::string& now,
                   const std::string& described) {
    const std::vector<std::string> old = blockDigests(described);
    head.net.sendMirHeader(header(path, S_IFREG | 0644, now.size(), method));
    bool skipped = false;
    for (size_t b = 0; b * kOldCopyBlock < now.size(); ++b) {
        const std::string block = now.substr(b * kOldCopyBlock, kOldCopyBlock);
        const std::string d = digestOf(block);
        if (method == FlrNetMirHeader::kMD5 && b < old.size() && old[b] == d) {
            skipped = true;
            continue;
        }
        long long ref = -1;
        for (size_t i = 0; method == FlrNetMirHeader::kRSync && i < old.size() && ref < 0; ++i)
            if (old[i] == d) ref = static_cast<long long>(i) * kOldCopyBlock;
        if (ref >= 0) {
            long long len = static_cast<long long>(block.size());
            head.net.sendMirRSync(1, &ref, &len);
            continue;
        }
        if (skipped) head.net.sendMirSeek(static_cast<long long>(b * kOldCopyBlock));
        skipped = false;
        head.net.sendMirData(block.data(), static_cast<int>(block.size()));
    }
    head.net.sendMirEOF();
}

std::optional<std::string> contentOf(const std::string& path) {
    if (::access(path.c_str(), F_OK) != 0) return std::nullopt;
    return flrtest::readFile(path);
}

struct SavedTimes {
    struct timespec times[2];
    explicit SavedTimes(const std::string& path) {
        struct stat st {};
        EXPECT_EQ(::stat(path.c_str(), &st), 0);
        times[0] = st.st_atim;
        times[1] = st.st_mtim;
    }
    void restore(const std::string& path) const {
        EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }
};

// Waits until a change made now gets another status-change time than
// path has (the clock behind it may advance in coarse ticks).
void awaitNewChangeTime(const std::string& path, const std::string& probe) {
    struct stat old {};
    ASSERT_EQ(::stat(path.c_str(), &old), 0);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (;;) {
        flrtest::writeFile(probe, "tick");
        struct stat now {};
        ASSERT_EQ(::stat(probe.c_str(), &now), 0);
        if (now.st_ctim.tv_sec != old.st_ctim.tv_sec || now.st_ctim.tv_nsec != old.st_ctim.tv_nsec)
            return;
        ASSERT_LT(std::chrono::steady_clock::now(), until) << "the clock never moved";
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

struct OldCopyTest : ::testing::Test {
    Registry registry;
    flrtest::TempDir tmp;
    std::string root = tmp.file("dst");
    std::string source = tmp.file("src");
    void SetUp() override {
        ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(source.c_str(), 0755), 0);
    }
    std::string at(const std::string& rel) const { return root + "/" + rel; }

    // The tail's counts once the session that sent the one entry ended
    // (its counts join the totals then): the entry placed or failed.
    static FlrTailApplyStats totalsOnceSent(const Tail& tail) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        auto ended = [&] {
            const FlrTailApplyStats s = tail.totals();
            return s.files + s.failed + s.cut > 0;
        };
        while (!ended() && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return tail.totals();
    }

    // A later run: asks again and sends the delta over what is there now.
    void rerunConverges(const std::string& now, uint8_t method, const FlrTailApplier::Options& o) {
        flrtest::writeFile(source + "/f", now);
        ::chmod((source + "/f").c_str(), 0644);
        Tail tail(root, o);
        Head head(tail.port());
        head.askSums(at("f"), method);
        sendDeltaOver(head, at("f"), method, now, contentOf(at("f")).value_or(""));
        head.sync();
        const FlrTreeVerifyResult r = FlrTreeVerify().compare(source, root);
        EXPECT_TRUE(r.same()) << (r.diffs.empty() ? "" : r.diffs[0].path + ": " + r.diffs[0].what);
        EXPECT_FALSE(hasTemporaries(root));
    }
};

struct OldCopyPlacement {
    const char* name;
    bool inPlace;
};
constexpr OldCopyPlacement kPlacements[] = {{"in place", true}, {"beside", false}};

struct OldCopyMethod {
    const char* name;
    uint8_t id;
};
constexpr OldCopyMethod kMethods[] = {{"md5", FlrNetMirHeader::kMD5},
                                      {"rsync", FlrNetMirHeader::kRSync}};

// Between the tail's answer and the entry's header, someone changes the copy.
// (An entry nobody asked checksums for, as write intervals are sent, is built
// over the copy there: the WBA tests apply those.)
TEST_F(OldCopyTest, ACopyChangedSinceItsAnswerFailsTheEntry) {
    const std::string old = pattern(8 * kOldCopyBlock, 1);
    std::string now = old;
    now[5 * kOldCopyBlock + 9] ^= 0x5a;
    const std::string other = pattern(old.size(), 2);
    struct Change {
        const char* name;
        std::function<void(const std::string& path)> apply;
    };
    const std::string probe = tmp.file("probe");
    const std::string side = tmp.file("side");
    const Change changes[] = {
        {"removed", [](const std::string& p) { ASSERT_EQ(::unlink(p.c_str()), 0); }},
        {"shortened", [](const std::string& p) { ASSERT_EQ(::truncate(p.c_str(), 3 * 4096), 0); }},
        {"rewritten, times restored",
         [&](const std::string& p) {
             const SavedTimes times(p);
             awaitNewChangeTime(p, probe);
             const int fd = ::open(p.c_str(), O_WRONLY);
             ASSERT_GE(fd, 0);
             EXPECT_EQ(::pwrite(fd, other.data(), kOldCopyBlock, 2 * kOldCopyBlock), kOldCopyBlock);
             ::close(fd);
             times.restore(p);
         }},
        {"replaced by a rename",
         [&](const std::string& p) {
             flrtest::writeFile(side, other);
             SavedTimes(p).restore(side);
             ASSERT_EQ(::rename(side.c_str(), p.c_str()), 0);
         }},
    };
    for (const OldCopyMethod& method : kMethods)
        for (const OldCopyPlacement& placement : kPlacements)
            for (const Change& change : changes) {
                SCOPED_TRACE(std::string(method.name) + ", " + placement.name + ", " + change.name);
                const std::string path = at("f");
                flrtest::writeFile(path, old);
                FlrTailApplier::Options o;
                o.inPlace = placement.inPlace;
                std::optional<std::string> left;
                {
                    Tail tail(root, o);
                    Head planner(tail.port());
                    planner.askSums(path, method.id);
                    change.apply(path);
                    left = contentOf(path);
                    {
                        Head sender(tail.port());
                        sendDeltaOver(sender, path, method.id, now, old);
                        sender.sync();
                    }
                    EXPECT_EQ(contentOf(path), left) << "not the copy as it was left";
                    EXPECT_FALSE(hasTemporaries(root));
                    const FlrTailApplyStats s = totalsOnceSent(tail);
                    EXPECT_EQ(s.failed, 1);
                    EXPECT_EQ(s.files, 0);
                }
                rerunConverges(now, method.id, o);
                ::unlink(path.c_str());
            }
}

// With a true answer, MD5 ranges the head claims to have skipped past the
// old copy's end are not taken as zeros.
TEST_F(OldCopyTest, SkippedBytesPastTheOldEndFailTheEntry) {
    const std::string old = pattern(2 * kOldCopyBlock, 3);
    const std::string block = pattern(kOldCopyBlock, 4);
    struct Case {
        const char* name;
        std::function<void(Head&)> send;
    };
    const Case cases[] = {
        {"seek past the end",
         [&](Head& h) {
             h.net.sendMirSeek(3 * kOldCopyBlock);
             h.net.sendMirData(block.data(), kOldCopyBlock);
         }},
        {"unsent bytes across the end",
         [&](Head& h) { h.net.sendMirData(block.data(), kOldCopyBlock); }},
    };
    for (const OldCopyPlacement& placement : kPlacements)
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(placement.name) + ", " + c.name);
            const std::string path = at("f");
            flrtest::writeFile(path, old);
            FlrTailApplier::Options o;
            o.inPlace = placement.inPlace;
            Tail tail(root, o);
            {
                Head head(tail.port());
                head.askSums(path, FlrNetMirHeader::kMD5);
                head.net.sendMirHeader(
                    header(path, S_IFREG | 0644, 4 * kOldCopyBlock, FlrNetMirHeader::kMD5));
                c.send(head);
                head.net.sendMirEOF();
                head.sync();
            }
            const std::optional<std::string> got = contentOf(path);
            EXPECT_TRUE(!got || *got == old) << "a mixed file of " << got->size() << " bytes";
            EXPECT_FALSE(hasTemporaries(root));
            const FlrTailApplyStats s = totalsOnceSent(tail);
            EXPECT_EQ(s.failed, 1);
            EXPECT_EQ(s.files, 0);
        }
}

// An answer describes the copy for the entry that follows it: a file sent
// whole in between ends it, so a later write interval (sent without asking)
// is built over the copy there then, not refused against the old answer.
TEST_F(OldCopyTest, AnAnswerEndsWithTheNextEntryAtItsPath) {
    const std::string whole = pattern(4 * kOldCopyBlock, 5);
    const std::string edit = pattern(kOldCopyBlock, 6);
    for (const OldCopyMethod& asked : kMethods) {
        SCOPED_TRACE(asked.name);
        const std::string path = at("f");
        ::unlink(path.c_str());
        Tail tail(root);
        {
            Head head(tail.port());
            head.askSums(path, asked.id);  // no copy yet
            head.sendFile(path, whole);
            head.net.sendMirHeader(
                header(path, S_IFREG | 0644, whole.size(), FlrNetMirHeader::kMD5));
            head.net.sendMirSeek(kOldCopyBlock);
            head.net.sendMirData(edit.data(), kOldCopyBlock);
            head.net.sendMirEOF();
            head.sync();
        }
        std::string want = whole;
        want.replace(kOldCopyBlock, kOldCopyBlock, edit);
        EXPECT_TRUE(contentOf(path) == want);
        EXPECT_EQ(totalsOnceSent(tail).failed, 0);
    }
}

// After a "no copy" answer a delta may seek over holes (forward, under
// RSync), which read as zeros; without that answer a skip still needs the
// old copy's bytes.
TEST_F(OldCopyTest, SeeksOverHolesOnlyAfterANoCopyAnswer) {
    const std::string block = pattern(kOldCopyBlock, 7);
    const std::string hole(2 * kOldCopyBlock, '\0');
    struct Case {
        const char* name;
        uint8_t method;
        bool asked;
        long long seekTo;
        bool applied;
        bool emptyCopy = false;  // an empty file there: it describes nothing either
    };
    const Case cases[] = {
        {"md5 over a hole", FlrNetMirHeader::kMD5, true, 3 * kOldCopyBlock, true},
        {"rsync over a hole", FlrNetMirHeader::kRSync, true, 3 * kOldCopyBlock, true},
        {"md5 over an empty copy", FlrNetMirHeader::kMD5, true, 3 * kOldCopyBlock, true, true},
        {"rsync over an empty copy", FlrNetMirHeader::kRSync, true, 3 * kOldCopyBlock, true, true},
        {"rsync back", FlrNetMirHeader::kRSync, true, 0, false},
        {"md5 never asked", FlrNetMirHeader::kMD5, false, 3 * kOldCopyBlock, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = at("f");
        ::unlink(path.c_str());
        if (c.emptyCopy) flrtest::writeFile(path, "");
        Tail tail(root);
        {
            Head head(tail.port());
            if (c.asked) head.askSums(path, c.method);
            head.net.sendMirHeader(header(path, S_IFREG | 0644, 4 * kOldCopyBlock, c.method));
            head.net.sendMirData(block.data(), kOldCopyBlock);
            head.net.sendMirSeek(c.seekTo);
            head.net.sendMirData(block.data(), kOldCopyBlock);
            head.net.sendMirEOF();
            head.sync();
        }
        const std::optional<std::string> kept =
            c.emptyCopy ? std::optional<std::string>("") : std::nullopt;
        EXPECT_TRUE(contentOf(path) ==
                    (c.applied ? std::optional<std::string>(block + hole + block) : kept));
        EXPECT_EQ(totalsOnceSent(tail).failed, c.applied ? 0 : 1);
    }
}

// A FIFO where the head expects a file: the answer is empty at once, the
// session never waits for a writer to open it.
TEST_F(OldCopyTest, ChecksumRequestsNeverWaitOnAFifo) {
    ASSERT_EQ(::mkfifo(at("fifo").c_str(), 0644), 0);
    for (const OldCopyMethod& method : kMethods) {
        SCOPED_TRACE(method.name);
        Tail tail(root);
        Head head(tail.port());
        EXPECT_NO_THROW(head.askSums(at("fifo"), method.id));
        // A tail stuck opening it is released here, so the test ends (with
        // no reader the open fails).
        const int fd = ::open(at("fifo").c_str(), O_WRONLY | O_NONBLOCK);
        EXPECT_LT(fd, 0) << "the tail held the FIFO open";
        if (fd >= 0) ::close(fd);
    }
}

// Two runs ask for the same file's checksums (a killed run's session still
// reading what it sent, and the next run): each delta is built only over the
// copy its own run's answer described. A delta whose copy has changed since
// fails and is counted, and so does one of a run that never asked; the copy
// is one whole version throughout, never a mix.
TEST_F(OldCopyTest, EachRunsDeltaIsBuiltOnlyOverItsOwnRunsAnswer) {
    const std::string old = pattern(8 * kOldCopyBlock, 1);
    std::string first = old;
    first[5 * kOldCopyBlock + 9] ^= 0x5a;
    std::string second = old;
    second[2 * kOldCopyBlock + 3] ^= 0x33;
    for (const OldCopyMethod& method : kMethods) {
        SCOPED_TRACE(method.name);
        const std::string path = at("f");
        flrtest::writeFile(path, old);
        Tail tail(root);
        Head killed(tail.port());
        killed.net.setRunId(0xA1, 0);
        Head next(tail.port());
        next.net.setRunId(0xB2, 0);
        killed.askSums(path, method.id);
        next.askSums(path, method.id);
        sendDeltaOver(killed, path, method.id, first, old);
        killed.sync();
        EXPECT_EQ(killed.net.unappliedEntries(), 0);
        EXPECT_TRUE(contentOf(path) == first);
        sendDeltaOver(next, path, method.id, second, old);
        next.sync();
        EXPECT_EQ(next.net.unappliedEntries(), 1) << "built over a copy its answer never described";
        EXPECT_TRUE(contentOf(path) == first) << "not one whole version";
        Head unasked(tail.port());
        unasked.net.setRunId(0xC3, 0);
        sendDeltaOver(unasked, path, method.id, second, first);
        unasked.sync();
        EXPECT_EQ(unasked.net.unappliedEntries(), 1) << "a delta of a run that never asked";
        EXPECT_TRUE(contentOf(path) == first);
        EXPECT_FALSE(hasTemporaries(root));
    }
}

// A head that keeps one session applying: pings back to back, from a
// thread, until stopped.
struct BusyRun {
    Head head;
    std::atomic<bool> stop{false};
    std::thread thread;
    BusyRun(int port, uint64_t run) : head(port) {
        head.net.setRunId(run, 0);
        head.sync();
        thread = std::thread([this] {
            while (!stop) head.sync();
        });
    }
    ~BusyRun() { end(); }
    void end() {
        stop = true;
        if (thread.joinable()) thread.join();
    }
};

// A run that names the run before it starts only once that run has stopped
// applying: while a session of it still works the new one waits, and past
// the limit it is refused rather than run beside it. A session of the run
// before that sits idle (its host died without a hang-up) and a run that
// follows none hold nothing back.
TEST_F(OldCopyTest, ARunStartsOnceTheRunItFollowsHasStoppedApplying) {
    FlrTailApplier::Options o;
    o.runWait = std::chrono::milliseconds(1500);
    Tail tail(root, o);
    auto startRun = [&](uint64_t run, uint64_t follows, std::atomic<int>* state) {
        return std::thread([&tail, run, follows, state] {
            try {
                Head head(tail.port());
                head.net.setRunId(run, follows);
                head.sync();
                *state = 1;
            } catch (const JxException&) {
                *state = 2;  // the tail ended the session
            }
        });
    };
    {
        auto before = std::make_unique<BusyRun>(tail.port(), 0xA1);
        Head unrelated(tail.port());
        unrelated.net.setRunId(0xC3, 0);
        unrelated.sync();
        std::atomic<int> after{0};
        std::thread t = startRun(0xB2, 0xA1, &after);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(after.load(), 0) << "began beside a session of the run before it";
        before.reset();
        t.join();
        EXPECT_EQ(after.load(), 1);
    }
    {
        BusyRun before(tail.port(), 0xA2);
        std::atomic<int> after{0};
        std::thread t = startRun(0xB3, 0xA2, &after);
        t.join();
        EXPECT_EQ(after.load(), 2) << "ran beside a run still applying past the limit";
        before.end();
        EXPECT_NO_THROW(before.head.sync()) << "the run before it was disturbed";
    }
    {
        Head idle(tail.port());
        idle.net.setRunId(0xA3, 0);
        idle.sync();
        std::this_thread::sleep_for(FlrTailRuns::kQuiet + std::chrono::milliseconds(200));
        std::atomic<int> after{0};
        std::thread t = startRun(0xB4, 0xA3, &after);
        t.join();
        EXPECT_EQ(after.load(), 1) << "held back by an idle session";
    }
}

// A head asks ahead of what it sends, and what it sent waits in the link:
// with small files that is tens of thousands of entries (a resync of 100,000
// changed 64-byte files lost 30,000 answers when 4,096 were kept, and failed
// those entries). Each of them still finds its answer.
TEST(TailAnswered, AHeadFarAheadOfTheTailLosesNoAnswer) {
    constexpr int kAhead = 40000;
    FlrTailAnswered answered;
    FlrTailCopyId id;
    id.present = true;
    for (int i = 0; i < kAhead; ++i) {
        id.ino = static_cast<ino_t>(i + 1);
        answered.remember(9, "d" + std::to_string(i / 1000) + "/f" + std::to_string(i), id);
    }
    int found = 0;
    for (int i = 0; i < kAhead; ++i) {
        const auto got =
            answered.take(9, "d" + std::to_string(i / 1000) + "/f" + std::to_string(i));
        found += got && got->ino == static_cast<ino_t>(i + 1);
    }
    EXPECT_EQ(found, kAhead);
}

// The last kKept answers are kept; one replaced by a newer answer for its
// path does not take the newer one with it when it ages out. Runs are kept
// apart: a killed run's session never takes the answer of the run after it.
TEST(TailAnswered, KeepsTheLastAnswersAndTheNewestPerPathOfEachRun) {
    constexpr uint64_t kRun = 7;
    constexpr uint64_t kNextRun = 8;
    FlrTailAnswered answered;
    FlrTailCopyId older;
    older.present = true;
    older.ino = 1;
    FlrTailCopyId newer = older;
    newer.ino = 2;
    FlrTailCopyId nextRuns = older;
    nextRuns.ino = 3;
    answered.remember(kRun, "asked twice", older);
    answered.remember(kRun, "asked once", older);
    answered.remember(kNextRun, "asked twice", nextRuns);
    answered.remember(kRun, "asked twice", newer);
    for (size_t i = 0; i + 2 < FlrTailAnswered::kKept; ++i)
        answered.remember(kRun, "other " + std::to_string(i), older);
    const std::optional<FlrTailCopyId> kept = answered.take(kRun, "asked twice");
    ASSERT_TRUE(kept.has_value()) << "the newer answer aged out with the older one";
    EXPECT_EQ(kept->ino, newer.ino);
    EXPECT_FALSE(answered.take(kRun, "asked twice").has_value()) << "taken twice";
    const std::optional<FlrTailCopyId> next = answered.take(kNextRun, "asked twice");
    ASSERT_TRUE(next.has_value()) << "the next run's answer was taken by the run before";
    EXPECT_EQ(next->ino, nextRuns.ino);
    EXPECT_FALSE(answered.take(kRun, "asked once").has_value()) << "older than the last kKept";
    EXPECT_FALSE(answered.take(0, "other 0").has_value()) << "a session of no run took it";
    EXPECT_TRUE(answered.take(kRun, "other 0").has_value());
}

}  // namespace
