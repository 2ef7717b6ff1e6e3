#pragma once
// The one way the databases run a change as a transaction: the body runs
// inside a batch of the table, so a change of several records is never seen
// (or left by a crash) half done, and a lookup and the change it decides
// cannot be split by another process. When the map fills up inside it, the
// engine rolls everything back and grows the map; the body is then run again,
// but only when this call owns the transaction (an enclosing batch must be
// redone by its owner).
#include "FLR/JxException.h"
#include "platform/EvDebug.h"
#include "table/TCtreeTable.h"

namespace flrdb {

constexpr int kBatchAttempts = 10;

// Where a batched change stopped.
enum class BatchStage { Done, Begin, Body, Commit };

struct BatchOutcome {
    BatchStage stage = BatchStage::Done;
    int rc = TCtreeTable::kOk;  // the engine's code when stage is Begin or Commit
    bool ok() const { return stage == BatchStage::Done; }
};

// body() returns 0 when done, TCtreeTable::kBatchRolledBack when the engine
// rolled the batch back, any other value to stop (stage Body). A JxException
// from body is retried when the table's last result says the batch was rolled
// back, else passed on. Single changes flush in the background (within the
// engine's sync interval): a flush each would cost a disk round trip per
// change.
template <class Body>
BatchOutcome runBatched(TCtreeTable& table, const char* function, Body&& body,
                        TCtreeTable::Flush flush = TCtreeTable::Flush::Background) {
    for (int attempt = 1;; ++attempt) {
        const bool redo = !table.inBatch() && attempt < kBatchAttempts;
        TCtreeTable::BatchScope batch(table, 0, flush);
        if (int rc = batch.beginResult()) return {BatchStage::Begin, rc};
        int rc;
        try {
            rc = body();
        } catch (const JxException&) {
            if (!(redo && table.lastResult() == TCtreeTable::kBatchRolledBack)) throw;
            rc = TCtreeTable::kBatchRolledBack;
        }
        BatchStage stage = BatchStage::Body;
        if (rc == TCtreeTable::kOk) {
            stage = BatchStage::Commit;
            rc = batch.commit();
            if (rc == TCtreeTable::kOk) return {};
        }
        if (redo && rc == TCtreeTable::kBatchRolledBack) {
            table.debug(2, "%s rolled back for want of map, doing it again", function);
            continue;
        }
        return {stage, rc};
    }
}

}  // namespace flrdb
