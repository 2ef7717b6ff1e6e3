#pragma once
// A walk over one index of a database's held table that carries the status
// of its last step: a loop runs while a record is current (ok), and the check
// after it tells a failed step from running out of records (failed).
#include "table/TCtreeTable.h"

namespace flrdb {

class DbCursor {
  public:
    // rc: the status of the read that made the starting record current, when
    // the walk goes on from a lookup done elsewhere.
    DbCursor(TCtreeTable& table, int index, void* record, int rc = TCtreeTable::kOk)
        : table_(&table), record_(record), index_(index), rc_(rc) {}

    // The index's first record (the first by number for kFileOrder).
    DbCursor& first() { return step(table_->firstRecord(index_, record_)); }
    // The first record whose key is at or after key.
    DbCursor& seek(const void* key) { return step(table_->getGTERecord(index_, key, record_)); }
    // The last record whose key is at or before key, for walks backwards.
    DbCursor& seekBack(const void* key) { return step(table_->getLTERecord(index_, key, record_)); }
    DbCursor& next() { return step(table_->nextRecord(index_, record_)); }
    DbCursor& previous() { return step(table_->previousRecord(index_, record_)); }

    bool ok() const { return rc_ == TCtreeTable::kOk; }
    bool failed() const { return rc_ != TCtreeTable::kOk && rc_ != TCtreeTable::kNoRecord; }
    int rc() const { return rc_; }

  private:
    DbCursor& step(int rc) {
        rc_ = rc;
        return *this;
    }

    TCtreeTable* table_;
    void* record_;
    int index_;
    int rc_;
};

}  // namespace flrdb
