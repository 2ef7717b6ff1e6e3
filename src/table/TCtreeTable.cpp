// The indexed table engine on LMDB. See the header for the storage layout and
// the transaction rules. The engine is split by what changes together:
// TCtreeTableEnv.cpp (environments, map size, open and close),
// TCtreeTableSync.cpp (flushing), TCtreeTableKeys.cpp (declarations and key
// encoding), TCtreeTableCursor.cpp (reads), TCtreeTableWrite.cpp (changes and
// batches). They are the only place that talks to LMDB for the databases.
#include "TCtreeTable.h"

#include <cerrno>

#include "FLR/JxException.h"
#include "TCtreeTableImpl.h"

using namespace tctree;

TCtreeTable::TCtreeTable(std::string logName)
    : TDebuggable(std::move(logName)), impl_(std::make_unique<Impl>(*this)) {}

TCtreeTable::~TCtreeTable() {
    impl_->closeTable();
}

int TCtreeTable::noRecordFound() const {
    return impl_->last == kNoRecord;
}
int TCtreeTable::lastResult() const {
    return impl_->last;
}

std::string TCtreeTable::errToString(int code) {
    switch (code) {
        case kOk:
            return "success";
        case kDuplicateKey:
            return "duplicate key in a unique index";
        case kNoCurrentRecord:
            return "no current record";
        case kNoRecord:
            return "no record found";
        case kBadDeclaration:
            return "invalid table declaration";
        case kBadArgument:
            return "invalid argument";
        case kKeyBufferTooShort:
            return "key buffer too short";
        case kNotOpen:
            return "table is not open";
        case kAlreadyOpen:
            return "table is already open";
        case kTableMismatch:
            return "the file holds another table or another layout";
        case kReadOnly:
            return "table is open read-only";
        case kBatchRolledBack:
            return "the batch was rolled back because the database map filled up; it must be "
                   "redone";
        case kNoBatch:
            return "no batch is open";
        case kCorruptRecord:
            return "the database is corrupt: a stored record is damaged";
        default:
            break;
    }
    if (code == kSystemErrorBase + ENOSPC)
        return "the disk is full: " + jxErrnoText(ENOSPC) + " (nothing of the change was kept)";
    if (code >= kSystemErrorBase) return jxErrnoText(code - kSystemErrorBase);
    if (code < 0) return mdb_strerror(code);
    return "table engine error " + std::to_string(code);
}

std::string TCtreeTable::dataFileName() const {
    return impl_->base.empty() ? std::string() : impl_->base + ".dat";
}

std::vector<std::string> TCtreeTable::tableFiles(const std::string& base) {
    return {base + ".dat", base + ".dat-lock", base + ".idx"};
}
