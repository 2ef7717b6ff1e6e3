// The head journal service against a scripted tail on loopback: records
// arrive in order with destination paths, what lies outside the pair or
// inside a filter is dropped, the name database follows the journal, and a
// cut link or a killed head loses nothing and sends nothing twice.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "FLR/FlrHeadJournal.h"
#include "FLR/FlrJrnConvert.h"
#include "FLR/FlrNetJournal.h"
#include "FLR/FlrRawJournal.h"
#include "FLR/FlrTailService.h"
#include "FLR/JxException.h"
#include "buffer/FlrRolCache.h"
#include "db/FlrDatabase.h"
#include "journal/FlrJournalSource.h"
#include "net/FlrNetHead.h"
#include "net/FlrNetTail.h"
#include "platform/EvDebug.h"
#include "platform/JXPlatformInfo.h"
#include "scan/FlrFilter.h"
#include "support/TestSupport.h"
#include "support/ToolRunner.h"
#include "table/TCtreeTable.h"

namespace {

constexpr char kJournalSecret[] = "head journal test secret, thirty-two bytes or more";

fsf_fid fid(unsigned n) {
    fsf_fid f = fsf_fid::fid0;
    f.bytes[20] = static_cast<uint8_t>(n >> 8);
    f.bytes[21] = static_cast<uint8_t>(n);
    f.bytes[0] = 0x42;
    return f;
}

const fsf_fid kRoot = fid(1);

// Encoded raw records, built by sequence number.
struct Journal {
    std::vector<std::vector<uint8_t>> records;
    uint64_t seq = 100;

    FlrJrnCommand base(uint32_t code) {
        FlrJrnCommand c{};
        c.cmd = code;
        c.seq_num = ++seq;
        c.timestamp = 1700000000;
        return c;
    }
    void add(const FlrJrnCommand& c) {
        std::vector<uint8_t> r(static_cast<size_t>(getRawCmdSize(&c)));
        encodeRawCmd(&c, r.data());
        records.push_back(std::move(r));
    }
    void create(uint32_t code, unsigned par, const char* name, unsigned f) {
        FlrJrnCommand c = base(code);
        c.create.par_fid = fid(par);
        c.create.fid = fid(f);
        c.create.short_name = name;
        c.create.mode = code == FLR_JRN_MKDIR ? 040755 : 0100644;
        add(c);
    }
    void write(unsigned f, const char* data) {
        FlrJrnCommand c = base(FLR_JRN_WRITE);
        c.write.fid = fid(f);
        c.write.size = static_cast<uint32_t>(strlen(data));
        c.write.data = data;
        add(c);
    }
    void rename(unsigned srcPar, const char* srcName, unsigned f, unsigned dstPar,
                const char* dstName) {
        FlrJrnCommand c = base(FLR_JRN_RENAME);
        c.rename.src_fid = fid(f);
        c.rename.src_par_fid = fid(srcPar);
        c.rename.src_short_name = srcName;
        c.rename.dst_par_fid = fid(dstPar);
        c.rename.dst_short_name = dstName;
        add(c);
    }
    void remove(unsigned par, const char* name, unsigned f) {
        FlrJrnCommand c = base(FLR_JRN_REMOVE);
        c.remove.par_fid = fid(par);
        c.remove.short_name = name;
        c.remove.file_fid = fid(f);
        c.remove.nlink = 0;
        add(c);
    }
    void rmdir(unsigned par, const char* name, unsigned f) {
        FlrJrnCommand c = base(FLR_JRN_RMDIR);
        c.rmdir.par_fid = fid(par);
        c.rmdir.short_name = name;
        c.rmdir.dir_fid = fid(f);
        add(c);
    }
    void text(const char* msg) {
        FlrJrnCommand c = base(FLR_JRN_TXTMSG);
        c.txtmsg.msg = msg;
        add(c);
    }
    void noop() { add(base(FLR_JRN_NOOP)); }
    // n files created and written under the root: a long stream.
    void files(int n) {
        for (int i = 0; i < n; ++i) {
            const std::string name = "f" + std::to_string(i);
            create(FLR_JRN_CREATE, 1, name.c_str(), 1000 + static_cast<unsigned>(i));
            write(1000 + static_cast<unsigned>(i), "data");
        }
    }
};

// Hands out records, then nothing.
class VectorSource : public FlrJournalSource {
  public:
    explicit VectorSource(const Journal& j) : records_(j.records) {}
    bool next(std::vector<uint8_t>& record, int) override {
        if (pos_ == records_.size()) return false;
        record = records_[pos_++];
        return true;
    }

  private:
    std::vector<std::vector<uint8_t>> records_;
    size_t pos_ = 0;
};

struct Received {
    uint64_t seq;
    uint32_t cmd;
    std::string path;
    uint32_t len;
};

// A tail that keeps every journal record it receives, answers the last
// sequence number per pair and PING, and can end a session after a given
// number of records (a cut link).
class ScriptedTail {
  public:
    ScriptedTail() : service_([this](FlrTailSession& s) { serve(s); }) {
        service_.setSecret(kJournalSecret);
        service_.listen("127.0.0.1", "0");
        runner_ = std::thread([this] { service_.run(); });
    }
    ~ScriptedTail() {
        service_.stop();
        runner_.join();
    }
    int port() const { return service_.localPort(); }
    // Sessions end after this many records in total (once each), 0: never.
    void cutAt(std::vector<size_t> points) {
        std::lock_guard<std::mutex> lock(mtx_);
        cuts_ = std::move(points);
    }
    std::vector<Received> records() const {
        std::lock_guard<std::mutex> lock(mtx_);
        return got_;
    }
    int sessions() const { return sessions_.load(); }
    // What every session answers when asked for its privileged entries stripped.
    std::atomic<long long> strippedPerSession{0};

  private:
    void serve(FlrTailSession& s) {
        ++sessions_;
        int pair = 0;
        FlrNetMessage m;
        while (!s.stopping()) {
            const int rc = s.net.recvMessage(&m, 1);
            if (rc == -2) continue;
            if (rc == -1) return;
            if (m.type == FLR_NET_MIR_SET_PAIR_ID) pair = m.setPairId.pairId;
            if (m.type == FLR_NET_PING && m.ping.value == FlrNetHead::kPingStripped)
                s.net.pongCount(strippedPerSession);
            else if (m.type == FLR_NET_PING)
                s.net.pong();
            if (m.type == FLR_NET_GET_LAST_SEQNUM_REQ) {
                std::lock_guard<std::mutex> lock(mtx_);
                s.net.sendLastSeqNum(last_[m.getLastSeqNumReq.pairId], 0);
            }
            if (m.type == FLR_NET_JOURNAL && !take(m.journal, pair)) return;
        }
    }
    // False when the session is to end here.
    bool take(const FlrNetRawBody& body, int pair) {
        const auto* p = static_cast<const uint8_t*>(body.data);
        size_t left = static_cast<size_t>(body.len);
        std::lock_guard<std::mutex> lock(mtx_);
        while (left > 0) {
            FlrJrnCommandNet net;
            FlrJrnHeaderNet h{};
            decodeNetHdr(p, left, &h);
            decodeNetCmd(p, h.rec_len, &net);
            got_.push_back({net.seq_num, net.cmd, pathOf(net), h.rec_len});
            last_[pair] = net.seq_num;
            p += h.rec_len;
            left -= h.rec_len;
            if (!cuts_.empty() && got_.size() >= cuts_.front()) {
                cuts_.erase(cuts_.begin());
                return false;
            }
        }
        return true;
    }
    static std::string pathOf(const FlrJrnCommandNet& n) {
        switch (n.cmd) {
            case FLR_JRN_CREATE:
            case FLR_JRN_MKDIR:
                return n.create.path;
            case FLR_JRN_WRITE:
                return n.write.path;
            case FLR_JRN_REMOVE:
                return n.remove.path;
            case FLR_JRN_RMDIR:
                return n.rmdir.path;
            case FLR_JRN_RENAME:
                return std::string(n.rename.src_path) + ">" + n.rename.dst_path;
            default:
                return "";
        }
    }

    FlrTailService service_;
    std::thread runner_;
    mutable std::mutex mtx_;
    std::vector<Received> got_;
    std::map<int, uint64_t> last_;
    std::vector<size_t> cuts_;
    std::atomic<int> sessions_{0};
};

struct HeadJournalTest : ::testing::Test {
    flrtest::TempDir dir;

    FlrHeadJournalOptions options(int port) {
        FlrHeadJournalOptions o;
        o.pairId = 7;
        o.source = "/src";
        o.destination = "/dst";
        o.dbDir = dir.file("db");
        o.stateDir = dir.file("state");
        o.rootFid = kRoot;
        o.startSeq = 100;
        o.reconnectMinMs = 10;
        o.reconnectMaxMs = 50;
        o.connect = [port](FlrNetHead& head) {
            head.getLink().setSecret(kJournalSecret);
            head.connect("127.0.0.1", port, 0);
        };
        return o;
    }
    // Runs a service over the journal until everything is confirmed.
    FlrHeadJournalCounters replay(const Journal& j, FlrHeadJournalOptions o) {
        FlrHeadJournal service(std::move(o));
        VectorSource source(j);
        service.run(source, true);
        return service.counters();
    }
};

std::vector<uint64_t> seqsOf(const std::vector<Received>& got) {
    std::vector<uint64_t> s;
    for (const Received& r : got) s.push_back(r.seq);
    return s;
}

// Every record a stream sends, in order, once.
std::vector<uint64_t> expectedSeqs(const Journal& j) {
    std::vector<uint64_t> s;
    for (const auto& r : j.records) {
        FlrJrnCommand c;
        decodeRawCmd(r.data(), &c);
        if (c.cmd != FLR_JRN_TXTMSG) s.push_back(c.seq_num);
    }
    return s;
}

TEST_F(HeadJournalTest, RecordsArriveInOrderWithDestinationPaths) {
    ScriptedTail tail;
    Journal j;
    j.create(FLR_JRN_MKDIR, 1, "d", 2);
    j.create(FLR_JRN_CREATE, 2, "f", 3);
    j.write(3, "hello");
    j.text("a message the tail never sees");
    j.rename(2, "f", 3, 1, "g");
    j.write(3, "again");
    j.noop();
    j.remove(1, "g", 3);
    j.rmdir(1, "d", 2);
    FlrHeadJournalOptions o = options(tail.port());
    o.batchBytes = 100;  // several messages, some records past a full buffer
    const FlrHeadJournalCounters c = replay(j, o);

    const struct {
        uint32_t cmd;
        const char* path;
    } want[] = {
        {FLR_JRN_MKDIR, "/dst/d"},   {FLR_JRN_CREATE, "/dst/d/f"},
        {FLR_JRN_WRITE, "/dst/d/f"}, {FLR_JRN_RENAME, "/dst/d/f>/dst/g"},
        {FLR_JRN_WRITE, "/dst/g"},   {FLR_JRN_NOOP, ""},
        {FLR_JRN_REMOVE, "/dst/g"},  {FLR_JRN_RMDIR, "/dst/d"},
    };
    const std::vector<Received> got = tail.records();
    ASSERT_EQ(got.size(), std::size(want));
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(got[i].cmd, want[i].cmd) << i;
        EXPECT_EQ(got[i].path, want[i].path) << i;
    }
    EXPECT_EQ(seqsOf(got), expectedSeqs(j));
    EXPECT_EQ(c.taken, j.records.size());
    EXPECT_EQ(c.sent, std::size(want));
    EXPECT_EQ(c.noNetForm, 1u);
    EXPECT_EQ(c.lastConfirmed, j.seq);
    uint64_t bytes = 0;
    for (const Received& r : got) bytes += r.len;
    EXPECT_EQ(c.sentBytes, bytes);
    EXPECT_EQ(c.reconnects, 0u);
}

// What the tail's privileged-entry policy did reaches the counters (and from
// there the watch's status).
TEST_F(HeadJournalTest, TheTailsPrivilegedCountsReachTheCounters) {
    ScriptedTail tail;
    tail.strippedPerSession = 2;
    Journal j;
    j.create(FLR_JRN_CREATE, 2, "f", 3);
    const FlrHeadJournalCounters c = replay(j, options(tail.port()));
    EXPECT_EQ(c.privStripped, 2u);
    EXPECT_EQ(c.privWithheld, 0u);
}

TEST_F(HeadJournalTest, OutsideAndFilteredRecordsAreDropped) {
    ScriptedTail tail;
    Journal j;
    // The database's root stands for "/": the pair is /src below it.
    j.create(FLR_JRN_MKDIR, 1, "src", 2);
    j.create(FLR_JRN_MKDIR, 1, "other", 3);
    j.create(FLR_JRN_CREATE, 3, "x", 4);     // outside: /other/x
    j.write(4, "outside");                   // outside
    j.create(FLR_JRN_CREATE, 99, "y", 5);    // unknown parent
    j.create(FLR_JRN_MKDIR, 2, "tmp", 6);    // filtered: /src/tmp
    j.create(FLR_JRN_CREATE, 6, "t", 7);     // filtered: /src/tmp/t
    j.create(FLR_JRN_CREATE, 2, "keep", 8);  // sent
    j.write(8, "kept");                      // sent
    j.rename(2, "keep", 8, 3, "moved");      // leaves the pair: outside
    FlrHeadJournalOptions o = options(tail.port());
    o.dbRoot = "/";
    o.filter = std::make_shared<FlrFilter>(std::vector<std::string>{"/src/tmp"},
                                           std::vector<std::string>{});
    const FlrHeadJournalCounters c = replay(j, o);

    std::vector<std::string> paths;
    for (const Received& r : tail.records()) paths.push_back(r.path);
    // Making the pair's top folder happens in its parent, outside the pair.
    EXPECT_EQ(paths, (std::vector<std::string>{"/dst/keep", "/dst/keep"}));
    EXPECT_EQ(c.filtered, 2u);
    EXPECT_EQ(c.outside, 6u);
    EXPECT_EQ(c.sent, 2u);
}

TEST_F(HeadJournalTest, NameDatabaseFollowsCreatesRenamesAndRemoves) {
    ScriptedTail tail;
    Journal j;
    j.create(FLR_JRN_MKDIR, 1, "a", 2);
    j.create(FLR_JRN_MKDIR, 2, "b", 3);
    j.create(FLR_JRN_CREATE, 3, "f", 4);
    j.create(FLR_JRN_CREATE, 1, "gone", 5);
    j.remove(1, "gone", 5);
    j.rename(1, "a", 2, 1, "z");  // a folder: its children follow
    j.create(FLR_JRN_CREATE, 1, "old", 6);
    j.create(FLR_JRN_CREATE, 1, "new", 7);
    j.rename(1, "new", 7, 1, "old");  // over an existing name
    j.create(FLR_JRN_MKDIR, 1, "tree", 8);
    j.create(FLR_JRN_CREATE, 8, "leaf", 9);
    j.rmdir(1, "tree", 8);
    replay(j, options(tail.port()));

    FlrDatabase db(dir.file("db"));
    const struct {
        unsigned fid;
        const char* path;  // "" for no entry
    } want[] = {{1, "/"}, {2, "/z"},   {3, "/z/b"}, {4, "/z/b/f"}, {5, ""},
                {6, ""},  {7, "/old"}, {8, ""},     {9, ""}};
    for (const auto& w : want) EXPECT_EQ(db.fidToNodeName(fid(w.fid)), w.path) << w.fid;
}

// A workload whose rounds change many names: long names in a folder, renames
// within and out of it, removals, the folder itself renamed, then writes
// that must name the final paths.
Journal nameHeavyJournal(int files) {
    Journal j;
    j.create(FLR_JRN_MKDIR, 1, "d", 2);
    j.create(FLR_JRN_MKDIR, 1, "e", 3);
    const std::string pad(240, 'x');
    for (int i = 0; i < files; ++i) {
        const auto f = 100 + static_cast<unsigned>(i);
        const std::string name = pad + std::to_string(i);
        j.create(FLR_JRN_CREATE, 2, name.c_str(), f);
        if (i % 5 == 1) j.rename(2, name.c_str(), f, 3, ("m" + std::to_string(i)).c_str());
        if (i % 7 == 2) j.remove(2, name.c_str(), f);
    }
    j.rename(1, "d", 2, 1, "dd");
    for (int i = 0; i < files; i += 3)
        if (i % 7 != 2) j.write(100 + static_cast<unsigned>(i), "late");
    return j;
}

TEST_F(HeadJournalTest, RoundRolledBackForMapIsConvertedAgainFromItsStart) {
    // The same journal through a roomy map and through a tiny one whose
    // rounds fill it: the tail gets the same records, the database holds the
    // same names, and nothing is lost or sent twice.
    const Journal j = nameHeavyJournal(500);
    struct Run {
        std::vector<Received> got;
        FlrHeadJournalCounters c;
        std::map<unsigned, std::string> names;
    };
    auto runWith = [&](size_t initialMap, size_t bytesPerRecord) {
        struct MapSize {
            explicit MapSize(size_t bytes) { TCtreeTable::setInitialMapSize(bytes); }
            ~MapSize() { TCtreeTable::setInitialMapSize(0); }
        } mapSize(initialMap);
        flrtest::TempDir state;
        ScriptedTail tail;
        FlrHeadJournalOptions o = options(tail.port());
        o.stateDir = state.file("state");
        o.dbDir = state.file("db");
        // A first round of names far larger than the fresh map: it fills
        // the map several times over before one attempt fits.
        o.batchRecords = 800;
        o.dbBytesPerRecord = bytesPerRecord;
        Run r;
        r.c = replay(j, o);
        r.got = tail.records();
        FlrDatabase db(o.dbDir);
        for (unsigned f = 1; f < 100 + 500; ++f) r.names[f] = db.fidToNodeName(fid(f));
        return r;
    };
    const Run roomy = runWith(0, 4096);
    const Run tiny = runWith(65536, 0);
    ASSERT_EQ(roomy.c.roundsRedone, 0u);
    ASSERT_GT(tiny.c.roundsRedone, 0u) << "no round was rolled back: the test proves nothing";
    EXPECT_EQ(seqsOf(tiny.got), expectedSeqs(j));
    ASSERT_EQ(tiny.got.size(), roomy.got.size());
    for (size_t i = 0; i < tiny.got.size(); ++i) {
        EXPECT_EQ(tiny.got[i].cmd, roomy.got[i].cmd) << i;
        EXPECT_EQ(tiny.got[i].path, roomy.got[i].path) << i;
    }
    EXPECT_EQ(tiny.names, roomy.names);
    EXPECT_EQ(tiny.names.at(2), "/dd");
    EXPECT_EQ(tiny.names.at(103), "/dd/" + std::string(240, 'x') + "3");
    EXPECT_EQ(tiny.names.at(101), "/e/m1");
    EXPECT_EQ(tiny.names.at(102), "");  // removed
    EXPECT_EQ(tiny.c.sent, roomy.c.sent);
    EXPECT_EQ(tiny.c.dbErrors + roomy.c.dbErrors, 0u);
}

TEST_F(HeadJournalTest, CutLinkResendsExactlyWhatTheTailLacks) {
    // Where the tail cuts the link, in records received; several cuts in a
    // row test the back-off and a resend cut in its turn.
    const std::vector<std::vector<size_t>> cases = {{1}, {7}, {150}, {20, 21, 60}, {399}};
    for (const auto& cuts : cases) {
        SCOPED_TRACE(::testing::PrintToString(cuts));
        flrtest::TempDir state;
        ScriptedTail tail;
        tail.cutAt(cuts);
        Journal j;
        j.files(200);
        FlrHeadJournalOptions o = options(tail.port());
        o.stateDir = state.file("state");
        o.dbDir = state.file("db");
        o.batchRecords = 16;
        EvDebugCapture log;
        const FlrHeadJournalCounters c = replay(j, o);
        EXPECT_EQ(seqsOf(tail.records()), expectedSeqs(j));
        EXPECT_EQ(c.reconnects, cuts.size());
        // Each loss is one error; the tail listens, so no attempt fails.
        size_t lost = 0;
        for (const EvLogLine& l : log.lines())
            if (l.function == "FlrHeadJournal" && l.level == EvDebug::kError) {
                EXPECT_TRUE(!l.warning || l.text == "Link to the tail back") << l.text;
                lost += l.text.rfind("Link to the tail lost, trying again in ", 0) == 0;
            }
        EXPECT_EQ(lost, cuts.size());
        EXPECT_EQ(tail.sessions(), static_cast<int>(cuts.size()) + 1);
        EXPECT_GT(c.resentHistory, 0u);
        EXPECT_EQ(c.resentCache, 0u);
    }
}

TEST_F(HeadJournalTest, ResendOlderThanTheHistoryComesFromTheCache) {
    ScriptedTail tail;
    tail.cutAt({30});
    Journal j;
    j.files(100);
    FlrHeadJournalOptions o = options(tail.port());
    o.historyBytes = 512;  // a handful of records
    o.batchRecords = 64;
    const FlrHeadJournalCounters c = replay(j, o);
    EXPECT_EQ(seqsOf(tail.records()), expectedSeqs(j));
    EXPECT_GT(c.resentCache, 0u);
    EXPECT_EQ(c.reconnects, 1u);
}

// A source that kills its process once it has handed out `killAt` records
// and the service asks again (by then they are taken and, with a tail, some
// are sent).
class KillingSource : public FlrJournalSource {
  public:
    KillingSource(const Journal& j, size_t killAt) : inner_(j), left_(killAt) {}
    bool next(std::vector<uint8_t>& record, int ms) override {
        if (left_ == 0) ::kill(::getpid(), SIGKILL);
        --left_;
        return inner_.next(record, ms);
    }

  private:
    VectorSource inner_;
    size_t left_;
};

// One killed head of KilledHeadResumesFromTheCache, in a process of its own.
// Started by exec, not fork: a fork of the threaded test process (its tail's
// threads) would keep every lock one of them held at the fork, the sanitizer
// runtimes' among them, and the child could hang.
TEST_F(HeadJournalTest, DISABLED_KilledHeadChild) {
    const char* stateDir = std::getenv("FLR_HJ_CHILD_STATE");
    if (!stateDir) GTEST_SKIP() << "started by KilledHeadResumesFromTheCache";
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);  // never outlives the test that started it
    if (std::to_string(::getppid()) != std::getenv("FLR_HJ_CHILD_PARENT")) return;
    FlrHeadJournalOptions o = options(std::atoi(std::getenv("FLR_HJ_CHILD_PORT")));
    o.stateDir = std::string(stateDir) + "/state";
    o.dbDir = std::string(stateDir) + "/db";
    o.batchRecords = std::atoi(std::getenv("FLR_HJ_CHILD_BATCH"));
    o.positionSaveMs = std::atoi(std::getenv("FLR_HJ_CHILD_SAVE_MS"));
    Journal j;
    j.files(150);
    FlrHeadJournal service(o);
    KillingSource source(j, static_cast<size_t>(std::atoll(std::getenv("FLR_HJ_CHILD_KILL_AT"))));
    service.run(source, true);
    FAIL() << "the source never killed the head";
}

TEST_F(HeadJournalTest, KilledHeadResumesFromTheCache) {
    const int rounds = flrtest::scaled(4);
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE(round);
        flrtest::TempDir state;
        ScriptedTail tail;
        Journal j;
        j.files(150);  // the child builds the same journal
        FlrHeadJournalOptions o = options(tail.port());
        o.stateDir = state.file("state");
        o.dbDir = state.file("db");
        // Small rounds, so that several intakes end before the kill.
        o.batchRecords = 2 + round * 3;
        // Every other round the position is never saved before the kill: the
        // new head converts everything again and must send only what the
        // tail lacks.
        o.positionSaveMs = round % 2 == 0 ? 0 : 600000;
        const size_t killAt = 40 + static_cast<size_t>(round) * 61;
        const pid_t pid =
            flrtest::spawnSelf("HeadJournalTest.DISABLED_KilledHeadChild",
                               {"FLR_HJ_CHILD_STATE=" + state.path(),
                                "FLR_HJ_CHILD_PORT=" + std::to_string(tail.port()),
                                "FLR_HJ_CHILD_BATCH=" + std::to_string(o.batchRecords),
                                "FLR_HJ_CHILD_SAVE_MS=" + std::to_string(o.positionSaveMs),
                                "FLR_HJ_CHILD_KILL_AT=" + std::to_string(killAt),
                                "FLR_HJ_CHILD_PARENT=" + std::to_string(::getpid())});
        ASSERT_GT(pid, 0) << "the head child did not start";
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "the head child ended by itself, status " << status;
        uint64_t cached = 0;
        {
            FlrRolCache cache(state.file("state/cache").c_str(), o.cacheDiskBytes, o.cacheMemBytes);
            cached = cache.getLastSeq();
        }
        ASSERT_GT(cached, 100u) << "nothing was taken before the kill";
        // The source starts again from its first record: what was taken is skipped.
        const FlrHeadJournalCounters c = replay(j, o);
        EXPECT_EQ(seqsOf(tail.records()), expectedSeqs(j));
        EXPECT_EQ(c.taken, j.seq - cached);
    }
}

TEST_F(HeadJournalTest, TailDownAtFirstKeepsTakingAndSendsLater) {
    Journal j;
    j.files(50);
    // A port nothing listens on: taken, not sent.
    auto closed = std::make_unique<ScriptedTail>();
    const int port = closed->port();
    closed.reset();
    FlrHeadJournalOptions o = options(port);
    {
        FlrHeadJournal service(o);
        VectorSource source(j);
        std::thread stopper([&] {
            while (service.counters().taken < j.records.size())
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            service.stop();
        });
        service.run(source, true);
        stopper.join();
        const FlrHeadJournalCounters c = service.counters();
        EXPECT_EQ(c.taken, j.records.size());
        EXPECT_EQ(c.sent, 0u);
        EXPECT_FALSE(c.connected);
        const FlrHeadJournalRates r =
            flrHeadJournalRates(FlrHeadJournalCounters{}, c, 1.0, 1700000100);
        EXPECT_EQ(r.lagRecords, j.records.size());
        EXPECT_DOUBLE_EQ(r.lagSeconds, 100.0);
    }
    ScriptedTail tail;
    FlrHeadJournalOptions again = options(tail.port());
    const FlrHeadJournalCounters c = replay(j, again);
    EXPECT_EQ(seqsOf(tail.records()), expectedSeqs(j));
    EXPECT_EQ(c.sent, j.records.size());
}

// Waits (bounded, generously: CI runs loaded and under sanitizers) until pred holds.
template <typename Pred>
bool headEventually(Pred pred) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

std::vector<EvLogLine> journalLines(const EvDebugCapture& log, const char* function) {
    std::vector<EvLogLine> out;
    for (const EvLogLine& l : log.lines())
        if (l.function == function && l.level == EvDebug::kError) out.push_back(l);
    return out;
}

TEST_F(HeadJournalTest, TailDownLogsOneErrorThenAWarningPerAttemptBackingOff) {
    EvDebugCapture log;
    Journal j;
    j.files(20);
    auto closed = std::make_unique<ScriptedTail>();
    auto port = std::make_shared<std::atomic<int>>(closed->port());
    closed.reset();  // nothing listens there now
    FlrHeadJournalOptions o = options(0);
    o.reconnectMinMs = 10;
    o.reconnectMaxMs = 40;
    o.connect = [port](FlrNetHead& head) {
        head.getLink().setSecret(kJournalSecret);
        head.connect("127.0.0.1", port->load(), 0);
    };
    FlrHeadJournal service(o);
    VectorSource source(j);
    std::thread runner([&] { service.run(source, true); });
    const size_t attempts = 6;
    const bool retried =
        headEventually([&] { return journalLines(log, "FlrHeadJournal").size() >= attempts; });
    const FlrHeadJournalCounters down = service.counters();
    ScriptedTail tail;
    port->store(tail.port());
    runner.join();
    ASSERT_TRUE(retried);
    EXPECT_FALSE(down.connected);
    EXPECT_TRUE(service.counters().connected);
    EXPECT_EQ(seqsOf(tail.records()), expectedSeqs(j));

    const std::vector<EvLogLine> lines = journalLines(log, "FlrHeadJournal");
    ASSERT_GE(lines.size(), attempts + 1);
    EXPECT_FALSE(lines[0].warning);
    EXPECT_EQ(0u, lines[0].text.find("Cannot reach the tail, trying again in 10 ms: "))
        << lines[0].text;
    EXPECT_NE(lines[0].text.find("Connection refused"), std::string::npos) << lines[0].text;
    // Then one warning per attempt, with its reason, the delay doubling to the maximum.
    for (size_t i = 1; i + 1 < lines.size(); ++i) {
        SCOPED_TRACE(lines[i].text);
        const int delay = std::min(10 << i, 40);
        EXPECT_TRUE(lines[i].warning);
        EXPECT_EQ(0u, lines[i].text.find("Tail still unreachable after " + std::to_string(i + 1) +
                                         " failed attempts, trying again in " +
                                         std::to_string(delay) + " ms: "));
        EXPECT_NE(lines[i].text.find("Connection refused"), std::string::npos);
    }
    EXPECT_TRUE(lines.back().warning);
    EXPECT_EQ(lines.back().text, "Link to the tail back after " + std::to_string(lines.size() - 1) +
                                     " failed attempts");
    // Nothing else logs the attempts as errors.
    size_t errors = 0;
    for (const EvLogLine& l : log.lines()) errors += l.level == EvDebug::kError && !l.warning;
    EXPECT_EQ(errors, 1u);
}

TEST_F(HeadJournalTest, ReplayCommandSendsARecordedJournal) {
    FLR_REQUIRE_TOOL();
    flrtest::ScopedRegistry registry;
    JXPlatformInfo::setString("ZRP", "sLinkSecret", kJournalSecret);
    ScriptedTail tail;
    Journal j;
    j.create(FLR_JRN_MKDIR, 1, "d", 2);
    j.create(FLR_JRN_CREATE, 2, "f", 3);
    j.write(3, "x");
    j.create(FLR_JRN_CREATE, 77, "lost", 4);  // a folder the table does not know
    std::string bytes;
    for (const auto& r : j.records) bytes.append(r.begin(), r.end());
    flrtest::writeFile(dir.file("journal"), bytes);
    FlrFidPathMap map;
    map.set(kRoot, "/data/src");
    map.save(dir.file("map"));

    const flrtest::ToolRun run =
        flrtest::runTool({"journal", "replay", dir.file("journal"),
                          "127.0.0.1:" + std::to_string(tail.port()) + ":/backup", "--source",
                          "/data/src", "--map", dir.file("map"), "--pair", "3"},
                         {}, {"FLR_REGISTRY=" + registry.path()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("3 sent"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("1 outside the pair"), std::string::npos) << run.out;
    std::vector<std::string> paths;
    for (const Received& r : tail.records()) paths.push_back(r.path);
    EXPECT_EQ(paths, (std::vector<std::string>{"/backup/d", "/backup/d/f", "/backup/d/f"}));

    const flrtest::ToolRun bad =
        flrtest::runTool({"journal", "replay", dir.file("journal"), "/a/local/folder"}, {},
                         {"FLR_REGISTRY=" + registry.path()});
    EXPECT_NE(bad.status, 0);
    EXPECT_NE(bad.err.find("HOST:PORT:/path"), std::string::npos) << bad.err;
}

}  // namespace

namespace {

// Names the database cannot resolve (here: a folder renamed over another
// that still had an entry below it, as an exchange applied as one rename
// leaves them) cost a rescan of the pair, never the service: later records
// still go out, and the fault is counted with its reason.
TEST_F(HeadJournalTest, InconsistentNamesAskForARescanAndTheServiceGoesOn) {
    ScriptedTail tail;
    Journal j;
    j.create(FLR_JRN_MKDIR, 1, "p", 2);
    j.create(FLR_JRN_CREATE, 2, "inner", 3);
    j.create(FLR_JRN_MKDIR, 1, "q", 4);
    j.rename(1, "q", 4, 1, "p");  // drops p's entry, not inner's
    j.write(3, "orphan");         // inner's parent chain is broken
    j.create(FLR_JRN_CREATE, 1, "after", 5);
    j.write(5, "still sent");
    FlrHeadJournalCounters c;
    ASSERT_NO_THROW(c = replay(j, options(tail.port())));
    EXPECT_EQ(c.resyncsAsked, 1u);
    EXPECT_NE(c.resyncReason.find("name database inconsistent"), std::string::npos)
        << c.resyncReason;
    const std::vector<Received> got = tail.records();
    ASSERT_GE(got.size(), 2u);
    EXPECT_EQ(got[got.size() - 2].path, "/dst/after");
    EXPECT_EQ(got.back().path, "/dst/after");
    EXPECT_EQ(c.lastSentSeq, j.seq);
    // Every record is accounted for: no lag is left behind by the fault.
    EXPECT_EQ(flrHeadJournalRates(c, c, 1, 0).lagRecords, 0u);
}

// After a reconnect, records older than the history are converted again
// with the names as they are now: one whose folder was renamed over since no
// longer resolves. That must ask for a rescan once, not break every
// reconnect for ever.
TEST_F(HeadJournalTest, ARecordThatNoLongerResolvesOnAResendAsksForARescan) {
    ScriptedTail tail;
    tail.cutAt({2});
    Journal j;
    j.create(FLR_JRN_MKDIR, 1, "p", 2);
    j.create(FLR_JRN_CREATE, 2, "inner", 3);
    j.write(3, "sent once, then unresolvable");
    j.create(FLR_JRN_MKDIR, 1, "q", 4);
    j.rename(1, "q", 4, 1, "p");  // drops p's entry: inner's chain is broken
    j.create(FLR_JRN_CREATE, 1, "after", 5);
    j.write(5, "still sent");
    FlrHeadJournalOptions o = options(tail.port());
    o.historyBytes = 1;  // every resend comes from the cache
    const FlrHeadJournalCounters c = replay(j, o);
    EXPECT_EQ(c.reconnects, 1u);
    EXPECT_EQ(c.resyncsAsked, 1u);
    EXPECT_NE(c.resyncReason.find("on a resend"), std::string::npos) << c.resyncReason;
    const std::vector<Received> got = tail.records();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back().path, "/dst/after");
    EXPECT_EQ(c.lastSentSeq, j.seq);
}

}  // namespace

namespace {

// With the tail away, the cache's disk limit deletes records before they
// were sent: the service says so once and asks for a rescan, rather than
// going on silently from the next record it still has.
TEST_F(HeadJournalTest, CacheOverrunBeforeSendingAsksForOneRescan) {
    ScriptedTail tail;
    Journal j;
    const std::string big(20000, 'x');
    for (unsigned i = 0; i < 200; ++i) {
        j.create(FLR_JRN_CREATE, 1, ("f" + std::to_string(i)).c_str(), 1000 + i);
        j.write(1000 + i, big.c_str());
    }
    FlrHeadJournalOptions o = options(tail.port());
    o.cacheDiskBytes = FlrRolCache::kMinLimit;
    auto open = std::make_shared<std::atomic<bool>>(false);
    o.connect = [open, connect = o.connect](FlrNetHead& head) {
        if (!open->load()) JX_THROW("test", "the tail is away");
        connect(head);
    };
    EvDebugCapture log;
    FlrHeadJournal service(o);
    VectorSource source(j);
    std::thread opener([&] {
        while (service.counters().taken < j.records.size())
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        open->store(true);
    });
    service.run(source, true);
    opener.join();
    const FlrHeadJournalCounters c = service.counters();
    EXPECT_EQ(c.resyncsAsked, 1u);
    EXPECT_NE(c.resyncReason.find("rolling cache overrun"), std::string::npos) << c.resyncReason;
    const std::vector<Received> got = tail.records();
    ASSERT_FALSE(got.empty()) << c.sent << " sent, " << c.outside << " outside, last "
                              << c.lastSentSeq << ", connected " << c.connected;
    EXPECT_LT(got.size(), j.records.size());
    EXPECT_EQ(got.back().seq, j.seq);
    size_t overruns = 0;
    for (const EvLogLine& l : journalLines(log, "FlrHeadJournal"))
        overruns += l.text.find("rolling cache overrun") != std::string::npos;
    EXPECT_EQ(overruns, 1u);
}

}  // namespace
