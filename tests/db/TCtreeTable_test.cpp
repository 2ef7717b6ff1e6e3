// The table engine on its own, through a small table that uses every field
// type, a unique and several duplicate indices, and a variable part.
#include "table/TCtreeTable.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

namespace {

struct Rec {
    uint64_t id;     // index 0, unique
    uint32_t group;  // index 1 with name, duplicates
    uint16_t small;  // index 2, duplicates
    uint8_t tiny;
    uint8_t flag;
    uint8_t blob[16];  // index 3, duplicates
    char name[64];     // variable part
};
static_assert(sizeof(Rec) == 96);

constexpr int kById = 0, kByGroupName = 1, kBySmall = 2, kByBlob = 3;

class TestTable : public TCtreeTable {
  public:
    explicit TestTable(const std::string& dir, const char* type = "Test Table")
        : TCtreeTable("TestTable"), dir_(dir), type_(type) {}
    int initialize(const char* dir) override {
        int rc = internalInitialize(std::string(dir) + "/test", 1, 7, 4, 5, sizeof(Rec), 32);
        if (!rc) rc = setNextField("id", 0, kTypeUInt64, 8);
        if (!rc) rc = setNextField("group", 8, kTypeUInt32, 4);
        if (!rc) rc = setNextField("small", 12, kTypeUInt16, 2);
        if (!rc) rc = setNextField("tiny", 14, kTypeUInt8, 1);
        if (!rc) rc = setNextField("flag", 15, kTypeByte, 1);
        if (!rc) rc = setNextField("blob", 16, kTypeBinary, 16);
        if (!rc) rc = setNextField("name", 32, kTypeString, 64);
        if (!rc) rc = setNextIndex("id", 8, 0, 0, 0, 0, 1, 0);
        if (!rc) rc = setNextIndex("group_name", 24, 12, 1, 0, 0, 2, 1);
        if (!rc) rc = setNextIndex("small", 2, 0, 1, 0, 0, 1, 3);
        if (!rc) rc = setNextIndex("blob", 16, 0, 1, 0, 0, 1, 4);
        if (!rc) rc = setNextSegment(0, 8, 1);
        if (!rc) rc = setNextSegment(1, 4, 1);
        if (!rc) rc = setNextSegment(6, 20, 1);
        if (!rc) rc = setNextSegment(2, 2, 1);
        if (!rc) rc = setNextSegment(5, 16, 1);
        if (rc) return rc;
        for (int f = 0; f < 7; ++f) shellOrder(f);
        return initializeComplete();
    }
    const char* getTableType() const override { return type_; }
    int registerTable() override { return internalRegisterTable(1, 2, 3); }

    int setup() { return initialize(dir_.c_str()); }
    int openOrCreate() {
        if (int rc = setup()) return rc;
        return create();
    }

    // Key helpers over the protected key builders.
    std::vector<char> idKey(uint64_t id) {
        std::vector<char> k(keyLength(kById));
        char* c = k.data();
        int left = static_cast<int>(k.size());
        EXPECT_EQ(0, fillKeySegment(&c, &left, &id, 0, kById, 0));
        EXPECT_EQ(0, finishKey(&c, &left, kById, 0));
        return k;
    }
    std::vector<char> groupKey(uint32_t group, const char* name = nullptr) {
        std::vector<char> k(keyLength(kByGroupName), 'x');
        char* c = k.data();
        int left = static_cast<int>(k.size());
        EXPECT_EQ(0, fillKeySegment(&c, &left, &group, 0, kByGroupName, 0));
        if (name) {
            EXPECT_EQ(0, fillKeySegment(&c, &left, name, 0, kByGroupName, 1));
        }
        EXPECT_EQ(0, finishKey(&c, &left, kByGroupName, 0));
        return k;
    }
    std::vector<char> smallKey(uint16_t v) {
        std::vector<char> k(2);
        char* c = k.data();
        int left = 2;
        EXPECT_EQ(0, fillKeySegment(&c, &left, &v, 0, kBySmall, 0));
        return k;
    }
    int fill(char** c, int* left, const void* v, int index, int seg) {
        return fillKeySegment(c, left, v, 0, index, seg);
    }

  private:
    std::string dir_;
    const char* type_;
};

Rec makeRec(uint64_t id, uint32_t group = 0, const char* name = "", uint16_t small = 0) {
    Rec r{};
    r.id = id;
    r.group = group;
    r.small = small;
    r.tiny = static_cast<uint8_t>(id);
    r.flag = 'f';
    for (int i = 0; i < 16; ++i) r.blob[i] = static_cast<uint8_t>(id >> (i % 8));
    std::snprintf(r.name, sizeof r.name, "%s", name);
    return r;
}

// Small maps for the tables opened in its scope.
struct SmallMaps {
    explicit SmallMaps(size_t bytes) { TCtreeTable::setInitialMapSize(bytes); }
    ~SmallMaps() { TCtreeTable::setInitialMapSize(0); }
};

class TCtreeTableTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(0, table.openOrCreate()); }
    void add(uint64_t id, uint32_t group = 0, const char* name = "", uint16_t small = 0) {
        Rec r = makeRec(id, group, name, small);
        ASSERT_EQ(0, table.addRecord(&r)) << id;
    }
    // Ids met walking an index from first to last (or last to first).
    std::vector<uint64_t> walk(int index, bool backwards = false) {
        std::vector<uint64_t> ids;
        Rec r;
        int rc = backwards ? table.lastRecord(index, &r) : table.firstRecord(index, &r);
        for (; rc == 0;
             rc = backwards ? table.previousRecord(index, &r) : table.nextRecord(index, &r))
            ids.push_back(r.id);
        EXPECT_EQ(TCtreeTable::kNoRecord, rc);
        EXPECT_TRUE(table.noRecordFound());
        return ids;
    }
    uint64_t count() {
        uint64_t n = 0;
        EXPECT_EQ(0, table.getRecordCount(&n));
        return n;
    }

    flrtest::TempDir dir;
    TestTable table{dir.path()};
};

}  // namespace

TEST_F(TCtreeTableTest, KeyedReadsHonourTheirBoundaries) {
    for (uint64_t id : {20, 10, 30}) add(id);
    Rec r;
    auto read = [&](int (TCtreeTable::*op)(int, const void*, void*), uint64_t id) -> int64_t {
        auto key = table.idKey(id);
        int rc = (table.*op)(kById, key.data(), &r);
        return rc == 0 ? static_cast<int64_t>(r.id) : -rc;
    };
    const int64_t none = -TCtreeTable::kNoRecord;
    EXPECT_EQ(20, read(&TCtreeTable::getRecord, 20));
    EXPECT_EQ(none, read(&TCtreeTable::getRecord, 25));
    EXPECT_EQ(20, read(&TCtreeTable::getGTERecord, 20));
    EXPECT_EQ(30, read(&TCtreeTable::getGTERecord, 21));
    EXPECT_EQ(10, read(&TCtreeTable::getGTERecord, 0));
    EXPECT_EQ(none, read(&TCtreeTable::getGTERecord, 31));
    EXPECT_EQ(30, read(&TCtreeTable::getGTRecord, 20));
    EXPECT_EQ(none, read(&TCtreeTable::getGTRecord, 30));
    EXPECT_EQ(20, read(&TCtreeTable::getLTERecord, 20));
    EXPECT_EQ(10, read(&TCtreeTable::getLTERecord, 19));
    EXPECT_EQ(30, read(&TCtreeTable::getLTERecord, UINT64_MAX));
    EXPECT_EQ(none, read(&TCtreeTable::getLTERecord, 9));
    EXPECT_EQ(10, read(&TCtreeTable::getLTRecord, 20));
    EXPECT_EQ(30, read(&TCtreeTable::getLTRecord, 31));
    EXPECT_EQ(none, read(&TCtreeTable::getLTRecord, 10));
    EXPECT_TRUE(table.noRecordFound());

    // Each read makes its record current: next and previous go on from it.
    ASSERT_EQ(20, read(&TCtreeTable::getLTERecord, 25));
    ASSERT_EQ(0, table.nextRecord(kById, &r));
    EXPECT_EQ(30u, r.id);
    ASSERT_EQ(20, read(&TCtreeTable::getGTRecord, 10));
    ASSERT_EQ(0, table.previousRecord(kById, &r));
    EXPECT_EQ(10u, r.id);
    EXPECT_EQ(TCtreeTable::kNoRecord, table.previousRecord(kById, &r));
}

TEST_F(TCtreeTableTest, EmptyTableAndMissingPositionAreReported) {
    Rec r;
    EXPECT_EQ(TCtreeTable::kNoRecord, table.firstRecord(kById, &r));
    EXPECT_EQ(TCtreeTable::kNoRecord, table.lastRecord(TCtreeTable::kFileOrder, &r));
    EXPECT_EQ(TCtreeTable::kNoCurrentRecord, table.nextRecord(kById, &r));
    EXPECT_EQ(TCtreeTable::kNoCurrentRecord, table.modifyRecord(&r));
    EXPECT_EQ(TCtreeTable::kNoCurrentRecord, table.deleteRecord());
    EXPECT_FALSE(table.noRecordFound());
    EXPECT_EQ(TCtreeTable::kBadArgument, table.firstRecord(7, &r));
    EXPECT_EQ(TCtreeTable::kBadArgument, table.getRecord(TCtreeTable::kFileOrder, "", &r));
}

TEST_F(TCtreeTableTest, IntegerSegmentsOrderNumerically) {
    // Little-endian bytes would sort 256 before 1 and 2^32 before 255.
    std::vector<uint64_t> ids{1, 255, 256, 65535, 65536, 1ull << 32, (1ull << 63) + 1, 2, 0};
    std::vector<uint64_t> shuffled = ids;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
    for (uint64_t id : shuffled)
        add(id, static_cast<uint32_t>(id * 2654435761u), "", static_cast<uint16_t>(id ^ 0x5a5a));
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, walk(kById));
    std::vector<uint64_t> reversed(ids.rbegin(), ids.rend());
    EXPECT_EQ(reversed, walk(kById, true));

    auto byGroup = walk(kByGroupName);
    EXPECT_TRUE(std::is_sorted(byGroup.begin(), byGroup.end(), [](uint64_t a, uint64_t b) {
        return static_cast<uint32_t>(a * 2654435761u) < static_cast<uint32_t>(b * 2654435761u);
    }));
    auto bySmall = walk(kBySmall);
    EXPECT_TRUE(std::is_sorted(bySmall.begin(), bySmall.end(), [](uint64_t a, uint64_t b) {
        return static_cast<uint16_t>(a ^ 0x5a5a) < static_cast<uint16_t>(b ^ 0x5a5a);
    }));
}

TEST_F(TCtreeTableTest, DuplicatesKeepInsertionOrderAndUniqueKeysRefuseThem) {
    for (uint64_t id : {50, 40, 30, 20, 10}) add(id, 7, "same", 3);
    EXPECT_EQ((std::vector<uint64_t>{50, 40, 30, 20, 10}), walk(kBySmall));
    EXPECT_EQ((std::vector<uint64_t>{10, 20, 30, 40, 50}), walk(TCtreeTable::kFileOrder, true));

    // A deleted duplicate leaves the others in order; a new one goes last.
    Rec r;
    auto key = table.idKey(30);
    ASSERT_EQ(0, table.getRecord(kById, key.data(), &r));
    ASSERT_EQ(0, table.deleteRecord());
    add(5, 7, "same", 3);
    EXPECT_EQ((std::vector<uint64_t>{50, 40, 20, 10, 5}), walk(kBySmall));

    // The unique index refuses a second id 40, and nothing of it is stored.
    Rec dup = makeRec(40, 9, "other", 9);
    EXPECT_EQ(TCtreeTable::kDuplicateKey, table.addRecord(&dup));
    EXPECT_EQ(5u, count());
    auto other = table.smallKey(9);
    EXPECT_EQ(TCtreeTable::kNoRecord, table.getRecord(kBySmall, other.data(), &r));

    // A modify onto a taken id is refused and changes nothing.
    key = table.idKey(50);
    ASSERT_EQ(0, table.getRecord(kById, key.data(), &r));
    r.id = 10;
    r.small = 99;
    EXPECT_EQ(TCtreeTable::kDuplicateKey, table.modifyRecord(&r));
    ASSERT_EQ(0, table.getRecord(kById, key.data(), &r));
    EXPECT_EQ(3, r.small);
}

TEST_F(TCtreeTableTest, InSetWalksStayInsideThePrefix) {
    add(1, 1, "a");
    add(2, 2, "b");
    add(3, 2, "a");
    add(4, 2, "c");
    add(5, 3, "a");
    Rec r;
    auto key = table.groupKey(2);
    std::vector<uint64_t> ids;
    for (int rc = table.firstInSet(kByGroupName, key.data(), &r, 4); rc == 0;
         rc = table.nextInSet(kByGroupName, &r))
        ids.push_back(r.id);
    EXPECT_TRUE(table.noRecordFound());
    EXPECT_EQ((std::vector<uint64_t>{3, 2, 4}), ids);  // names a, b, c

    ids.clear();
    for (int rc = table.lastInSet(kByGroupName, key.data(), &r, 4); rc == 0;
         rc = table.previousInSet(kByGroupName, &r))
        ids.push_back(r.id);
    EXPECT_EQ((std::vector<uint64_t>{4, 2, 3}), ids);

    // A set nothing belongs to, the whole index as a set, a full-key set.
    auto none = table.groupKey(4);
    EXPECT_EQ(TCtreeTable::kNoRecord, table.firstInSet(kByGroupName, none.data(), &r, 4));
    EXPECT_EQ(TCtreeTable::kNoRecord, table.lastInSet(kByGroupName, none.data(), &r, 4));
    ASSERT_EQ(0, table.lastInSet(kByGroupName, key.data(), &r, 0));
    EXPECT_EQ(5u, r.id);
    auto exact = table.groupKey(2, "b");
    ASSERT_EQ(0, table.firstInSet(kByGroupName, exact.data(), &r, 24));
    EXPECT_EQ(2u, r.id);
    EXPECT_EQ(TCtreeTable::kNoRecord, table.nextInSet(kByGroupName, &r));
    EXPECT_EQ(TCtreeTable::kBadArgument, table.firstInSet(kByGroupName, key.data(), &r, 25));
}

TEST_F(TCtreeTableTest, WalksMayModifyAndDeleteWhatTheyWalkOver) {
    for (uint64_t id = 1; id <= 10; ++id) add(id, 5, ("n" + std::to_string(id)).c_str());
    // Moving each record out of group 5 changes its key; the walk still
    // visits each original member exactly once, in key order.
    Rec r;
    auto key = table.groupKey(5);
    std::vector<uint64_t> seen;
    for (int rc = table.firstInSet(kByGroupName, key.data(), &r, 4); rc == 0;
         rc = table.nextInSet(kByGroupName, &r)) {
        seen.push_back(r.id);
        if (r.id % 2) {
            ASSERT_EQ(0, table.deleteRecord());
        } else {
            r.group = 1;
            ASSERT_EQ(0, table.modifyRecord(&r));
        }
    }
    EXPECT_EQ((std::vector<uint64_t>{1, 10, 2, 3, 4, 5, 6, 7, 8, 9}), seen);  // "n10" < "n2"
    EXPECT_EQ((std::vector<uint64_t>{2, 4, 6, 8, 10}), walk(kById));
    EXPECT_EQ(TCtreeTable::kNoRecord, table.firstInSet(kByGroupName, key.data(), &r, 4));

    // After deleting the current record it can neither be modified nor
    // deleted again, but next still steps on from where it was.
    auto k4 = table.idKey(4);
    ASSERT_EQ(0, table.getRecord(kById, k4.data(), &r));
    ASSERT_EQ(0, table.deleteRecord());
    EXPECT_EQ(TCtreeTable::kNoCurrentRecord, table.deleteRecord());
    ASSERT_EQ(0, table.nextRecord(kById, &r));
    EXPECT_EQ(6u, r.id);
}

TEST_F(TCtreeTableTest, SteppingOnAnotherIndexStartsFromTheCurrentRecord) {
    add(1, 9, "z", 30);
    add(2, 8, "y", 10);
    add(3, 7, "x", 20);
    Rec r;
    auto key = table.idKey(3);  // small 20
    ASSERT_EQ(0, table.getRecord(kById, key.data(), &r));
    ASSERT_EQ(0, table.nextRecord(kBySmall, &r));
    EXPECT_EQ(1u, r.id);  // small 30
    ASSERT_EQ(0, table.previousRecord(kByGroupName, &r));
    EXPECT_EQ(2u, r.id);  // group 8 < 9
}

TEST_F(TCtreeTableTest, PushAndPopContextRestoreThePosition) {
    for (uint64_t id = 1; id <= 5; ++id) add(id);
    Rec r;
    auto k2 = table.idKey(2);
    ASSERT_EQ(0, table.getRecord(kById, k2.data(), &r));
    table.pushContext();
    auto k5 = table.idKey(5);
    ASSERT_EQ(0, table.getRecord(kById, k5.data(), &r));
    ASSERT_EQ(0, table.deleteRecord());
    table.popContext();
    // The current record is 2 again: modify hits it, next goes to 3.
    Rec changed = makeRec(2, 0, "changed");
    ASSERT_EQ(0, table.modifyRecord(&changed));
    ASSERT_EQ(0, table.nextRecord(kById, &r));
    EXPECT_EQ(3u, r.id);
    ASSERT_EQ(0, table.getRecord(kById, k2.data(), &r));
    EXPECT_STREQ("changed", r.name);
    table.popContext();  // an empty stack is no error
}

TEST_F(TCtreeTableTest, VariablePartRoundTripsWithoutStaleBytes) {
    Rec r = makeRec(1, 1, "long name that fills many bytes");
    ASSERT_EQ(0, table.addRecord(&r));
    // A shorter name written over a longer one leaves garbage after the NUL
    // in the caller's buffer; it is not stored.
    std::memcpy(r.name, "ab\0", 3);
    ASSERT_EQ(0, table.modifyRecord(&r));
    Rec out;
    std::memset(&out, 0xAA, sizeof out);
    auto key = table.idKey(1);
    ASSERT_EQ(0, table.getRecord(kById, key.data(), &out));
    EXPECT_STREQ("ab", out.name);
    for (size_t i = 3; i < sizeof out.name; ++i) ASSERT_EQ(0, out.name[i]) << i;
    EXPECT_EQ(0, std::memcmp(&r, &out, offsetof(Rec, name)));

    // A name using the whole field (no NUL) survives whole.
    std::memset(r.name, 'q', sizeof r.name);
    r.id = 2;
    ASSERT_EQ(0, table.addRecord(&r));
    key = table.idKey(2);
    ASSERT_EQ(0, table.getRecord(kById, key.data(), &out));
    EXPECT_EQ(0, std::memcmp(r.name, out.name, sizeof r.name));
}

TEST_F(TCtreeTableTest, KeyBuildingChecksItsBuffer) {
    char buf[10];
    char* c = buf;
    int left = 4;
    uint64_t id = 1;
    EXPECT_EQ(TCtreeTable::kKeyBufferTooShort, table.fill(&c, &left, &id, kById, 0));
    EXPECT_EQ(4, left);
    EXPECT_EQ(TCtreeTable::kBadArgument, table.fill(&c, &left, &id, kById, 1));
    EXPECT_EQ(TCtreeTable::kBadArgument, table.fill(&c, &left, &id, 9, 0));
    // A group key without its name: the rest of the key is zero-filled.
    auto key = table.groupKey(0x01020304);
    EXPECT_EQ(std::string("\x01\x02\x03\x04", 4), std::string(key.data(), 4));
    EXPECT_EQ(std::string(20, '\0'), std::string(key.data() + 4, 20));
}

TEST_F(TCtreeTableTest, BatchIsOneTransaction) {
    add(1);
    TestTable other(dir.path());
    ASSERT_EQ(0, other.setup());
    ASSERT_EQ(0, other.open(JXIndexing::TAccessReadWrite));
    uint64_t n = 0;
    {
        TCtreeTable::BatchScope batch(table);
        ASSERT_EQ(0, batch.beginResult());
        add(2);
        add(3);
        Rec r;
        auto key = table.idKey(1);
        ASSERT_EQ(0, table.getRecord(kById, key.data(), &r));
        ASSERT_EQ(0, table.deleteRecord());
        EXPECT_EQ((std::vector<uint64_t>{2, 3}), walk(kById));  // the batch sees itself
        ASSERT_EQ(0, other.getRecordCount(&n));
        EXPECT_EQ(1u, n);  // nobody else does yet
        {
            TCtreeTable::BatchScope inner(table);  // nested: part of the outer one
            add(4);
            EXPECT_EQ(0, inner.commit());
        }
        ASSERT_EQ(0, other.getRecordCount(&n));
        EXPECT_EQ(1u, n);
        EXPECT_EQ(0, batch.commit());
    }
    ASSERT_EQ(0, other.getRecordCount(&n));
    EXPECT_EQ(3u, n);

    {
        TCtreeTable::BatchScope batch(table);  // rolled back when left uncommitted
        add(5);
        EXPECT_EQ(4u, count());
    }
    EXPECT_EQ((std::vector<uint64_t>{2, 3, 4}), walk(kById));
    ASSERT_EQ(0, table.beginBatch());
    add(6);
    table.abortBatch();
    EXPECT_FALSE(table.inBatch());
    EXPECT_EQ(3u, count());
    EXPECT_EQ(TCtreeTable::kNoBatch, table.commitBatch());
}

TEST(TCtreeTable, MapGrowsPastItsInitialSize) {
    flrtest::TempDir dir;
    TestTable table(dir.path());
    {
        SmallMaps small(65536);
        ASSERT_EQ(0, table.openOrCreate());
    }
    for (uint64_t id = 0; id < 5000; ++id) {
        Rec r = makeRec(id, static_cast<uint32_t>(id % 17), "a name of some thirty bytes....");
        ASSERT_EQ(0, table.addRecord(&r)) << id;
    }
    uint64_t n = 0;
    ASSERT_EQ(0, table.getRecordCount(&n));
    EXPECT_EQ(5000u, n);
    struct stat st;
    ASSERT_EQ(0, ::stat(table.dataFileName().c_str(), &st));
    EXPECT_GT(st.st_size, 65536 * 4);
}

TEST(TCtreeTable, BatchThatOutgrowsTheMapIsRolledBackAndCanBeRedone) {
    flrtest::TempDir dir;
    SmallMaps small(65536);
    TestTable table(dir.path());
    ASSERT_EQ(0, table.openOrCreate());
    Rec seed = makeRec(999999);
    ASSERT_EQ(0, table.addRecord(&seed));
    const uint64_t total = 10000;
    int rolledBack = 0;
    for (int attempt = 0; attempt < 10; ++attempt) {
        ASSERT_EQ(0, table.beginBatch());
        int rc = 0;
        for (uint64_t id = 0; id < total && rc == 0; ++id) {
            Rec r = makeRec(id, 1, "thirty bytes of name, or so..");
            rc = table.addRecord(&r);
        }
        int commit = table.commitBatch();
        if (rc == 0 && commit == 0) break;
        EXPECT_EQ(TCtreeTable::kBatchRolledBack, rc ? rc : commit);
        ++rolledBack;
        uint64_t n = 0;
        ASSERT_EQ(0, table.getRecordCount(&n));
        EXPECT_EQ(1u, n);  // nothing of the failed batch is left
    }
    EXPECT_GT(rolledBack, 0);
    uint64_t n = 0;
    ASSERT_EQ(0, table.getRecordCount(&n));
    EXPECT_EQ(total + 1, n);
}

TEST(TCtreeTable, ReopenKeepsRecordsAndInsertionOrder) {
    flrtest::TempDir dir;
    {
        TestTable table(dir.path());
        ASSERT_EQ(0, table.openOrCreate());
        for (uint64_t id : {3, 1, 2}) {
            Rec r = makeRec(id, 1, "dup");
            ASSERT_EQ(0, table.addRecord(&r));
        }
        ASSERT_EQ(0, table.close());
        EXPECT_FALSE(table.isOpen());
        EXPECT_EQ(0, table.close());
    }
    TestTable table(dir.path());
    ASSERT_EQ(0, table.setup());
    ASSERT_EQ(0, table.open(JXIndexing::TAccessReadWrite));
    Rec r = makeRec(0, 1, "dup");
    ASSERT_EQ(0, table.addRecord(&r));
    std::vector<uint64_t> ids;
    auto key = table.groupKey(1, "dup");
    for (int rc = table.firstInSet(kByGroupName, key.data(), &r, 24); rc == 0;
         rc = table.nextInSet(kByGroupName, &r))
        ids.push_back(r.id);
    EXPECT_EQ((std::vector<uint64_t>{3, 1, 2, 0}), ids);
}

TEST(TCtreeTable, OpenChecksFileModeAndTableType) {
    flrtest::TempDir dir;
    TestTable missing(dir.path());
    ASSERT_EQ(0, missing.setup());
    int rc = missing.open(JXIndexing::TAccessReadWrite);
    EXPECT_EQ(TCtreeTable::kSystemErrorBase + ENOENT, rc);
    EXPECT_EQ("No such file or directory", TCtreeTable::errToString(rc));
    struct stat st;
    EXPECT_NE(0, ::stat(missing.dataFileName().c_str(), &st));  // not created by open

    {
        TestTable table(dir.path());
        ASSERT_EQ(0, table.openOrCreate());
        Rec r = makeRec(1);
        ASSERT_EQ(0, table.addRecord(&r));
        EXPECT_EQ(TCtreeTable::kAlreadyOpen, table.create());
    }
    {
        TestTable wrongType(dir.path(), "Another Table");
        ASSERT_EQ(0, wrongType.setup());
        rc = wrongType.open(JXIndexing::TAccessReadWrite);
        EXPECT_EQ(TCtreeTable::kTableMismatch, rc);
        EXPECT_NE(std::string::npos, TCtreeTable::errToString(rc).find("another table"));
    }
    TestTable reader(dir.path());
    ASSERT_EQ(0, reader.setup());
    ASSERT_EQ(0, reader.open(JXIndexing::TAccessReadOnly));
    Rec r;
    ASSERT_EQ(0, reader.firstRecord(kById, &r));
    EXPECT_EQ(TCtreeTable::kReadOnly, reader.deleteRecord());
    EXPECT_EQ(TCtreeTable::kReadOnly, reader.addRecord(&r));
    EXPECT_EQ(TCtreeTable::kReadOnly, reader.beginBatch());
    EXPECT_EQ(0, reader.close());

    TCtreeTable::removeTableFiles(dir.path() + "/test");
    for (const std::string& f : TCtreeTable::tableFiles(dir.path() + "/test"))
        EXPECT_NE(0, ::stat(f.c_str(), &st)) << f;
}

TEST(TCtreeTable, DeclarationErrorsAreRefused) {
    struct Bad : TCtreeTable {
        Bad() : TCtreeTable("Bad") {}
        int initialize(const char*) override { return 0; }
        const char* getTableType() const override { return "Bad"; }
        int registerTable() override { return 0; }
        using TCtreeTable::initializeComplete;
        using TCtreeTable::internalInitialize;
        using TCtreeTable::setNextField;
        using TCtreeTable::setNextIndex;
        using TCtreeTable::setNextSegment;
    } t;
    EXPECT_EQ(TCtreeTable::kBadDeclaration, t.create());  // nothing declared
    EXPECT_EQ(TCtreeTable::kBadDeclaration, t.internalInitialize("/tmp/x", 0, 1, 1, 1, 16, 8));
    ASSERT_EQ(0, t.internalInitialize("/tmp/x", 0, 2, 1, 2, 16, 16));
    EXPECT_EQ(TCtreeTable::kBadDeclaration, t.setNextField("a", 0, TCtreeTable::kTypeUInt64, 4));
    EXPECT_EQ(TCtreeTable::kBadDeclaration, t.setNextField("a", 12, TCtreeTable::kTypeUInt64, 8));
    EXPECT_EQ(TCtreeTable::kBadDeclaration, t.setNextField("a", 0, 77, 8));
    ASSERT_EQ(0, t.setNextField("a", 0, TCtreeTable::kTypeUInt64, 8));
    ASSERT_EQ(0, t.setNextField("b", 8, TCtreeTable::kTypeString, 8));
    EXPECT_EQ(TCtreeTable::kBadDeclaration, t.setNextIndex("records", 8, 0, 0, 0, 0, 1, 0));
    ASSERT_EQ(0, t.setNextIndex("ab", 12, 0, 0, 0, 0, 2, 0));
    EXPECT_EQ(TCtreeTable::kBadDeclaration, t.setNextSegment(0, 4, 1));  // integer cut short
    ASSERT_EQ(0, t.setNextSegment(0, 8, 1));
    ASSERT_EQ(0, t.setNextSegment(1, 3, 1));
    EXPECT_EQ(TCtreeTable::kBadDeclaration, t.initializeComplete());  // 8 + 3 != 12
}

TEST(TCtreeTable, ErrorTextsAreDistinct) {
    std::vector<int> codes{TCtreeTable::kOk,
                           TCtreeTable::kDuplicateKey,
                           TCtreeTable::kNoCurrentRecord,
                           TCtreeTable::kNoRecord,
                           TCtreeTable::kBadDeclaration,
                           TCtreeTable::kNotOpen,
                           TCtreeTable::kTableMismatch,
                           TCtreeTable::kBatchRolledBack,
                           -30792 /* MDB_MAP_FULL */,
                           TCtreeTable::kSystemErrorBase + EACCES,
                           12345};
    std::vector<std::string> texts;
    for (int c : codes) texts.push_back(TCtreeTable::errToString(c));
    std::sort(texts.begin(), texts.end());
    EXPECT_EQ(texts.end(), std::adjacent_find(texts.begin(), texts.end()));
    EXPECT_NE(std::string::npos, TCtreeTable::errToString(-30792).find("MDB_MAP_FULL"));
}

TEST(TCtreeTable, InstancesInSeveralThreadsShareOneFile) {
    flrtest::TempDir dir;
    SmallMaps small(65536);  // growth happens while the other thread works
    constexpr uint64_t kEach = 2000;
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (uint64_t t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            TestTable table(dir.path());
            if (table.openOrCreate()) {
                ++failures;
                return;
            }
            for (uint64_t i = 0; i < kEach; ++i) {
                Rec r = makeRec(t * kEach + i, static_cast<uint32_t>(t), "from a thread");
                if (table.addRecord(&r)) ++failures;
                if (i % 100 == 0) {
                    TCtreeTable::BatchScope batch(table);
                    Rec got;
                    auto key = table.idKey(t * kEach + i);
                    if (table.getRecord(kById, key.data(), &got) || got.id != t * kEach + i)
                        ++failures;
                    if (batch.commit()) ++failures;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(0, failures.load());
    TestTable table(dir.path());
    ASSERT_EQ(0, table.setup());
    ASSERT_EQ(0, table.open(JXIndexing::TAccessReadOnly));
    uint64_t n = 0;
    ASSERT_EQ(0, table.getRecordCount(&n));
    EXPECT_EQ(2 * kEach, n);
}
