// The write-interval database: the merge with its slack, cutting at a new
// size, the acknowledgement walk, a reference model under random writes,
// crashes, and the flr command.
#include "db/FlrWrDatabase.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "FLR/JxException.h"
#include "platform/EvDebug.h"
#include "support/LmdbInspect.h"
#include "support/TestSupport.h"

namespace {

constexpr uint64_t kMax = 0xFFFFFFFFFFFFFFFFULL;

fsf_fid Fid(uint64_t n) {
    uint64_t w[3] = {n * 0x9E3779B97F4A7C15ULL + 1, ~n, n ^ 0x5555};
    fsf_fid f;
    std::memcpy(f.bytes, w, sizeof w);
    return f;
}

struct Interval {
    fsf_fid fid;
    uint64_t start, end, ackid;
    bool operator==(const Interval& o) const {
        return fid == o.fid && start == o.start && end == o.end && ackid == o.ackid;
    }
};

std::ostream& operator<<(std::ostream& os, const Interval& i) {
    return os << i.fid.toString().substr(0, 8) << " [" << i.start << "-" << i.end << ") ack "
              << i.ackid;
}

std::vector<Interval> all(FlrWrDatabase& db) {
    std::vector<Interval> out;
    Interval i;
    for (bool more = db.getFirst(&i.fid, &i.start, &i.end, &i.ackid); more;
         more = db.getNext(&i.fid, &i.start, &i.end, &i.ackid, false))
        out.push_back(i);
    return out;
}

std::vector<Interval> of(FlrWrDatabase& db, const fsf_fid& fid) {
    std::vector<Interval> out;
    for (const Interval& i : all(db))
        if (i.fid == fid) out.push_back(i);
    return out;
}

// The same merge rules, on plain maps: per file (by its three words, the
// table's order), start -> {end, ackid}.
class Model {
  public:
    using Key = std::array<uint64_t, 3>;
    struct Value {
        uint64_t end, ackid;
    };

    static Key keyOf(const fsf_fid& fid) {
        Key k;
        std::memcpy(k.data(), fid.bytes, sizeof k);
        return k;
    }
    static uint64_t slack(uint64_t v) { return v > kMax - 128 ? kMax : v + 128; }

    void add(const fsf_fid& fid, uint64_t start, uint64_t end) {
        auto& m = files_[keyOf(fid)];
        auto it = m.upper_bound(slack(end));
        if (it != m.begin()) {
            --it;
            if (it->second.ackid == 0 && it->first <= start && end <= it->second.end) return;
            if (start <= slack(it->second.end)) {
                uint64_t s = std::min(it->first, start), e = std::max(it->second.end, end);
                while (it != m.begin()) {
                    auto before = std::prev(it);
                    if (slack(before->second.end) < start) break;
                    s = std::min(s, before->first);
                    m.erase(before);
                }
                m.erase(it);
                m[s] = Value{e, 0};
                return;
            }
        }
        m[start] = Value{end, 0};
    }

    void resize(const fsf_fid& fid, uint64_t size) {
        auto& m = files_[keyOf(fid)];
        while (!m.empty()) {
            auto last = std::prev(m.end());
            if (last->second.end <= size) break;
            if (last->first < size) {
                last->second.end = size;
                break;
            }
            m.erase(last);
        }
    }

    void ack(const fsf_fid& fid, uint64_t start, uint64_t ackid) {
        files_[keyOf(fid)][start].ackid = ackid;
    }
    void erase(const fsf_fid& fid, uint64_t start) { files_[keyOf(fid)].erase(start); }

    std::vector<Interval> all() const {
        std::vector<Interval> out;
        for (const auto& [k, m] : files_) {
            fsf_fid fid;
            std::memcpy(fid.bytes, k.data(), sizeof k);
            for (const auto& [s, v] : m) out.push_back(Interval{fid, s, v.end, v.ackid});
        }
        return out;
    }

  private:
    std::map<Key, std::map<uint64_t, Value>> files_;
};

// Whatever the history, intervals of one file are ordered and further apart
// than the slack.
void expectSeparated(const std::vector<Interval>& intervals) {
    for (size_t i = 1; i < intervals.size(); ++i) {
        const Interval &a = intervals[i - 1], &b = intervals[i];
        EXPECT_LE(a.start, a.end);
        if (a.fid == b.fid) {
            EXPECT_GT(b.start, a.end + 128) << a << " then " << b;
        }
    }
}

template <class E>
JxException caught(E&& call) {
    try {
        call();
    } catch (const JxException& e) {
        return e;
    }
    return JxException("", "(no exception)", "", 0);
}

class FlrWrDatabaseTest : public ::testing::Test {
  protected:
    void SetUp() override { db = new FlrWrDatabase(dir.path()); }
    std::vector<Interval> intervals(const fsf_fid& fid) { return of(*db, fid); }

    flrtest::TempDir dir;
    SP<FlrWrDatabase> db;  // shared as the services hold it
    const fsf_fid a = Fid(1), b = Fid(2);
};

}  // namespace

TEST(FlrWrDatabaseFiles, CreatesReopensAndClearsAnLmdbEnvironment) {
    flrtest::TempDir dir;
    const std::string sub = dir.path() + "/WRDB/7";
    EvDebugCapture log;
    {
        FlrWrDatabase db(sub);
        db.add(Fid(1), 0, 100);
    }
    EXPECT_TRUE(log.contains("Creating new ZRP database " + sub + "/zrpwrdb"));
    {
        FlrWrDatabase db(sub);
        EXPECT_EQ((std::vector<Interval>{{Fid(1), 0, 100, 0}}), all(db));
        db.add(Fid(1), 150, 300);
    }
    EXPECT_TRUE(log.contains("Opening existing ZRP database " + sub + "/zrpwrdb"));
    {
        FlrWrDatabase db(sub, JXIndexing::TAccessReadOnly);
        EXPECT_EQ((std::vector<Interval>{{Fid(1), 0, 300, 0}}), all(db));
        EXPECT_EQ("Failed to start a transaction: table is open read-only",
                  caught([&] { db.add(Fid(1), 1000, 1100); }).getMessage());
    }
    EXPECT_EQ((std::set<std::string>{"fid_start", "meta", "records"}),
              flrtest::lmdbDatabases(sub + "/zrpwrdb.dat"));

    FlrWrDatabase::clear(sub);
    struct stat st;
    EXPECT_NE(0, ::stat((sub + "/zrpwrdb.dat").c_str(), &st));
    JxException e = caught([&] { FlrWrDatabase db(sub, JXIndexing::TAccessReadOnly); });
    EXPECT_EQ("FlrWrDatabase", e.getFunction());
    EXPECT_EQ(0u, e.getMessage().find("Failed to open an existing ZRP DB: ")) << e.getMessage();
}

TEST_F(FlrWrDatabaseTest, SlackMergesRangesUpTo128BytesApartOnEitherSide) {
    db->add(a, 0, 100);
    db->add(a, 150, 300);  // 50 bytes apart
    EXPECT_EQ((std::vector<Interval>{{a, 0, 300, 0}}), intervals(a));
    db->add(a, 500, 600);  // 200 bytes apart
    EXPECT_EQ((std::vector<Interval>{{a, 0, 300, 0}, {a, 500, 600, 0}}), intervals(a));

    // After an interval: exactly 128 apart merges, 129 does not.
    db->add(b, 1000, 1100);
    db->add(b, 1228, 1300);
    db->add(b, 1429, 1500);
    EXPECT_EQ((std::vector<Interval>{{b, 1000, 1300, 0}, {b, 1429, 1500, 0}}), intervals(b));

    // Before an interval: the same on the left.
    const fsf_fid c = Fid(3), d = Fid(4);
    db->add(c, 1000, 1100);
    db->add(c, 800, 872);
    EXPECT_EQ((std::vector<Interval>{{c, 800, 1100, 0}}), intervals(c));
    db->add(d, 1000, 1100);
    db->add(d, 800, 871);
    EXPECT_EQ((std::vector<Interval>{{d, 800, 871, 0}, {d, 1000, 1100, 0}}), intervals(d));

    // Files never merge with each other, however close their keys.
    EXPECT_EQ(2u, intervals(a).size());
    EXPECT_EQ(7u, all(*db).size());
}

TEST_F(FlrWrDatabaseTest, CoveredRangesAndAcknowledgedIntervals) {
    db->add(a, 100, 200);
    ASSERT_TRUE(db->getFirst(nullptr, nullptr, nullptr, nullptr));
    db->updateAckID(42);
    EXPECT_EQ((std::vector<Interval>{{a, 100, 200, 42}}), intervals(a));

    // Written again after the acknowledgement: it must be sent again.
    db->add(a, 120, 130);
    EXPECT_EQ((std::vector<Interval>{{a, 100, 200, 0}}), intervals(a));
    // Covered by an unacknowledged interval: nothing changes.
    db->add(a, 100, 200);
    db->add(a, 150, 150);
    EXPECT_EQ((std::vector<Interval>{{a, 100, 200, 0}}), intervals(a));

    // A range that bridges several intervals, some acknowledged, merges them.
    db->add(a, 500, 600);
    db->add(a, 900, 1000);
    db->add(a, 2000, 2100);
    fsf_fid fid;
    uint64_t start;
    for (bool more = db->getFirst(&fid, &start, nullptr, nullptr); more;
         more = db->getNext(&fid, &start, nullptr, nullptr, false))
        if (start == 500) db->updateAckID(7);
    db->add(a, 250, 800);
    EXPECT_EQ((std::vector<Interval>{{a, 100, 1000, 0}, {a, 2000, 2100, 0}}), intervals(a));
    expectSeparated(all(*db));
}

TEST_F(FlrWrDatabaseTest, OffsetsNearTheTopDoNotWrapAround) {
    db->add(a, 0, 10);
    db->add(a, kMax - 200, kMax - 100);
    db->add(a, kMax - 150, kMax);
    EXPECT_EQ((std::vector<Interval>{{a, 0, 10, 0}, {a, kMax - 200, kMax, 0}}), intervals(a));
    db->add(a, kMax - 1000, kMax - 900);
    EXPECT_EQ(3u, intervals(a).size());
    db->resizeFID(a, kMax - 120);
    EXPECT_EQ((std::vector<Interval>{
                  {a, 0, 10, 0}, {a, kMax - 1000, kMax - 900, 0}, {a, kMax - 200, kMax - 120, 0}}),
              intervals(a));

    JxException e = caught([&] { db->add(a, 10, 5); });
    EXPECT_EQ("FlrWrDatabase::add", e.getFunction());
    EXPECT_EQ("FlrWrDatabase", e.getSource());
    EXPECT_NE(std::string::npos, e.getMessage().find("start after end")) << e.getMessage();
    EXPECT_EQ(3u, intervals(a).size());
}

TEST_F(FlrWrDatabaseTest, ResizeCutsAndDropsOnlyThatFile) {
    for (uint64_t s : {0, 300, 600}) {
        db->add(a, s, s + 100);
        db->add(b, s, s + 100);
    }
    db->resizeFID(a, 350);
    EXPECT_EQ((std::vector<Interval>{{a, 0, 100, 0}, {a, 300, 350, 0}}), intervals(a));
    db->resizeFID(a, 300);  // an interval starting at the new size goes
    EXPECT_EQ((std::vector<Interval>{{a, 0, 100, 0}}), intervals(a));
    db->resizeFID(a, 5000);
    EXPECT_EQ(1u, intervals(a).size());
    db->resizeFID(a, 0);
    EXPECT_TRUE(intervals(a).empty());
    db->resizeFID(Fid(99), 0);  // no intervals at all
    EXPECT_EQ(3u, intervals(b).size());
}

TEST_F(FlrWrDatabaseTest, WalkWithDeletionEmptiesTheTable) {
    for (uint64_t f = 1; f <= 5; ++f)
        for (uint64_t s = 0; s < 4; ++s) db->add(Fid(f), s * 1000, s * 1000 + 10);
    size_t walked = 0;
    Interval i;
    for (bool more = db->getFirst(&i.fid, &i.start, &i.end, &i.ackid); more;
         more = db->getNext(&i.fid, &i.start, &i.end, &i.ackid, true))
        ++walked;
    EXPECT_EQ(20u, walked);
    EXPECT_TRUE(all(*db).empty());
    EXPECT_FALSE(db->getNext(nullptr, nullptr, nullptr, nullptr, true));

    JxException e = caught([&] { db->updateAckID(1); });
    EXPECT_EQ("FlrWrDatabase::updateAckID", e.getFunction());
    EXPECT_EQ("Can't update ACK ID: no current record.", e.getMessage());

    db->add(a, 0, 10);
    db->add(b, 0, 10);
    db->clear();
    EXPECT_TRUE(all(*db).empty());
}

// A merge between reading an interval and acting on it must not lose the
// ranges it absorbed; a cut or an unrelated change does no harm.
TEST_F(FlrWrDatabaseTest, IntervalChangedSinceReadingIsNeitherDeletedNorAcknowledged) {
    db->add(a, 0, 100);
    db->add(a, 1000, 1100);
    uint64_t start = 1, end = 1;
    ASSERT_TRUE(db->getFirst(nullptr, &start, &end, nullptr));
    ASSERT_EQ(0u, start);
    db->add(a, 150, 300);  // grows the interval just read
    db->updateAckID(5);
    ASSERT_TRUE(db->getNext(nullptr, &start, &end, nullptr, true));
    EXPECT_EQ(1000u, start);
    // A second instance looks on without disturbing this one's walk.
    FlrWrDatabase view(dir.path());
    EXPECT_EQ((std::vector<Interval>{{a, 0, 300, 0}, {a, 1000, 1100, 0}}), of(view, a));

    // The interval just read is cut: acknowledging and deleting it is right.
    db->resizeFID(a, 1050);
    db->updateAckID(6);
    EXPECT_EQ((std::vector<Interval>{{a, 0, 300, 0}, {a, 1000, 1050, 6}}), of(view, a));
    // Acknowledged, then written again: it stays.
    db->add(a, 1000, 1010);
    EXPECT_FALSE(db->getNext(nullptr, nullptr, nullptr, nullptr, true));
    EXPECT_EQ((std::vector<Interval>{{a, 0, 300, 0}, {a, 1000, 1050, 0}}), intervals(a));
}

TEST(FlrWrDatabaseModel, RandomWritesMatchTheReferenceModel) {
    flrtest::TempDir dir;
    // A small map: batches fill it up, are rolled back and redone.
    TCtreeTable::setInitialMapSize(65536);
    struct Restore {
        ~Restore() { TCtreeTable::setInitialMapSize(0); }
    } restore;
    std::mt19937_64 rng(20240607);
    Model model;
    uint64_t nextAck = 1;
    auto check = [&](FlrWrDatabase& db) {
        std::vector<Interval> got = all(db);
        ASSERT_EQ(model.all(), got);
        expectSeparated(got);
    };
    {
        FlrWrDatabase db(dir.path());
        for (int op = 0; op < 12000; ++op) {
            const fsf_fid fid = Fid(rng() % 16);
            const uint64_t roll = rng() % 1000;
            if (roll < 8) {
                uint64_t size = rng() % 150000;
                db.resizeFID(fid, size);
                model.resize(fid, size);
            } else if (roll < 12) {
                // Acknowledge some intervals, delete others on the way.
                Interval i;
                bool more = db.getFirst(&i.fid, &i.start, &i.end, &i.ackid);
                while (more) {
                    const uint64_t what = rng() % 4;
                    if (what == 0) {
                        db.updateAckID(nextAck);
                        model.ack(i.fid, i.start, nextAck++);
                    } else if (what == 1) {
                        model.erase(i.fid, i.start);
                    }
                    more = db.getNext(&i.fid, &i.start, &i.end, &i.ackid, what == 1);
                }
            } else {
                const uint64_t start = rng() % 150000, len = rng() % 3000;
                db.add(fid, start, start + len);
                model.add(fid, start, start + len);
            }
            if (op % 1500 == 0) check(db);
        }
        check(db);
    }
    FlrWrDatabase reopened(dir.path());
    check(reopened);
}
