// The databases hold their table engine: its cursor and change calls are not
// reachable through them, and what callers get instead (a transaction, the
// rolled-back check, close) behaves like the engine's own.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <type_traits>

#include "FLR/JxException.h"
#include "db/DbTable.h"
#include "db/FlrDatabase.h"
#include "db/FlrLBFSHashDB.h"
#include "db/FlrLBFSTreeDB.h"
#include "db/FlrWrDatabase.h"
#include "support/TestSupport.h"

namespace {

template <class Db>
constexpr bool kHeldExposesEngine = std::is_base_of_v<TCtreeTable, Db> || requires(Db& d, char* r) {
    d.firstRecord(0, r);
}
|| requires(Db& d, char* r) {
    d.nextRecord(0, r);
}
|| requires(Db& d, char* r) {
    d.getGTERecord(0, r, r);
}
|| requires(Db& d, const char* r) {
    d.addRecord(r);
}
|| requires(Db& d) {
    d.deleteRecord();
}
|| requires(Db& d) {
    d.pushContext();
}
|| requires(Db& d) {
    d.beginBatch();
};

static_assert(kHeldExposesEngine<flrdb::DbTable>, "the check must see an engine when there is one");
static_assert(!kHeldExposesEngine<FlrDatabase>);
static_assert(!kHeldExposesEngine<FlrWrDatabase>);
static_assert(!kHeldExposesEngine<FlrLBFSHashDB>);
static_assert(!kHeldExposesEngine<FlrLBFSTreeDB>);

fsf_fid heldFid(uint64_t n) {
    uint64_t w[3] = {n, 0, 0};
    fsf_fid f;
    std::memcpy(f.bytes, w, sizeof w);
    return f;
}

struct HeldMapSize {
    explicit HeldMapSize(size_t bytes) { TCtreeTable::setInitialMapSize(bytes); }
    ~HeldMapSize() { TCtreeTable::setInitialMapSize(0); }
};

}  // namespace

TEST(DbEngineHeld, TransactionKeepsItsChangesOnlyWhenCommitted) {
    flrtest::TempDir dir;
    FlrDatabase db(dir.path());
    db.addRootNode(heldFid(1));
    for (bool commit : {false, true}) {
        SCOPED_TRACE(commit ? "committed" : "left");
        {
            TCtreeTable::BatchScope tx = db.transaction();
            ASSERT_EQ(TCtreeTable::kOk, tx.beginResult());
            db.addNode(heldFid(1), "a", heldFid(2), FLR_FTYPE_DIR, 1);
            db.addNode(heldFid(2), "b", heldFid(3), FLR_FTYPE_FILE, 1);
            EXPECT_EQ(3u, db.getRecordCount());  // seen inside the transaction
            if (commit) {
                EXPECT_EQ(TCtreeTable::kOk, tx.commit());
            }
        }
        db.clearCache();
        EXPECT_EQ(commit ? 3u : 1u, db.getRecordCount());
        EXPECT_EQ(commit ? "/a/b" : "", db.fidToNodeName(heldFid(3)));
    }
}

// A change that fills the map inside a caller's transaction fails, and the
// database says why, so the caller redoes the transaction instead of giving up.
TEST(DbEngineHeld, ChangeThatFillsTheMapInATransactionSaysItWasRolledBack) {
    flrtest::TempDir dir;
    HeldMapSize small(65536);
    FlrDatabase db(dir.path());
    db.addRootNode(heldFid(1));
    EXPECT_FALSE(db.rolledBackForMap());
    bool failed = false;
    {
        TCtreeTable::BatchScope tx = db.transaction();
        ASSERT_EQ(TCtreeTable::kOk, tx.beginResult());
        const std::string pad(600, 'x');
        for (uint64_t i = 0; i < 10000 && !failed; ++i) {
            try {
                db.addNode(heldFid(1), pad + std::to_string(i), heldFid(10 + i), FLR_FTYPE_FILE, 1);
            } catch (const JxException&) {
                failed = true;
            }
        }
    }
    ASSERT_TRUE(failed) << "the map never filled up";
    EXPECT_TRUE(db.rolledBackForMap());
    db.clearCache();
    EXPECT_EQ(1u, db.getRecordCount());  // the whole transaction is gone
    db.addNode(heldFid(1), "after", heldFid(5), FLR_FTYPE_FILE, 1);  // the map has grown
    EXPECT_FALSE(db.rolledBackForMap());
    EXPECT_EQ("/after", db.fidToNodeName(heldFid(5)));
}

TEST(DbEngineHeld, ClosedBlockDatabasesRefuseChangesAndReopen) {
    flrtest::TempDir dir;
    FlrLBFSHashDB hashes;
    FlrLBFSTreeDB tree;
    ASSERT_TRUE(hashes.initialize(dir.path()).IsSuccess());
    ASSERT_TRUE(tree.initialize(dir.path()).IsSuccess());
    uint64_t fid = 0;
    FlrLBFSTreeDB::Record rec{};
    {
        TCtreeTable::BatchScope tx = tree.transaction();
        ASSERT_TRUE(tree.createFile("/d/f", &hashes, &fid, &rec).IsSuccess());
        ASSERT_EQ(TCtreeTable::kOk, tx.commit());
    }
    EXPECT_EQ(TCtreeTable::kOk, hashes.close());
    EXPECT_EQ(TCtreeTable::kOk, tree.close());
    EXPECT_EQ(TCtreeTable::kOk, tree.close());  // idempotent
    EXPECT_EQ(-TCtreeTable::kNotOpen, tree.updateTime(fid, 7).GetCode());
    FlrLBFSTreeDB again;
    ASSERT_TRUE(again.initialize(dir.path()).IsSuccess());
    std::string path;
    ASSERT_TRUE(again.fid2path(fid, &path).IsSuccess());
    EXPECT_EQ("/d/f", path);
}
