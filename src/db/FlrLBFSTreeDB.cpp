// The LBFS tree database: declaration of the "FlrLBFSTreeDB Table", keys and
// lookups, path resolution and the database's files. What changes the tree
// is in FlrLBFSTreeDBChanges.cpp.
#include "FlrLBFSTreeDB.h"
#include "FlrLBFSTreeDBShared.h"
#include "platform/JxFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "FLR/JxException.h"
#include "platform/EvDebug.h"

namespace {

constexpr const char* kTreeDbName = "FlrLBFSTreeDB";
constexpr int kTreeFidIndex = 0;
constexpr int kTreeNameIndex = 1;
constexpr size_t kTreeNamePrefix = 56;  // bytes of a name in index 1

}  // namespace

std::vector<std::string> lbfstree::componentsOf(const std::string& path) {
    std::vector<std::string> out;
    for (size_t pos = 0; pos < path.size();) {
        if (path[pos] == '/') {
            ++pos;
            continue;
        }
        size_t end = path.find('/', pos);
        if (end == std::string::npos) end = path.size();
        out.push_back(path.substr(pos, std::min(end - pos, FlrLBFSTreeDB::kMaxNameLen)));
        pos = end;
    }
    return out;
}

static_assert(offsetof(FlrLBFSTreeDB::Record, parent) == 8);
static_assert(offsetof(FlrLBFSTreeDB::Record, time) == 16);
static_assert(offsetof(FlrLBFSTreeDB::Record, flags) == 20);
static_assert(offsetof(FlrLBFSTreeDB::Record, sname) == 21);
static_assert(sizeof(FlrLBFSTreeDB::Record) == 280);

// A failure at this line of the running operation (fn: its signature).
#define TFAIL(rc, ...) \
    CQiError(lbfstree::failCode(rc), lbfstree::kSource, fn, __LINE__, __VA_ARGS__)
#define TPUSH(err) (err).Push(lbfstree::kSource, fn, __LINE__)

FlrLBFSTreeDB::FlrLBFSTreeDB() : table_({"FlrLBFSTreeDB", "FlrLBFSTreeDB Table", {10, 6, 10}}) {}

FlrLBFSTreeDB::~FlrLBFSTreeDB() {
    table_.close();
}

int FlrLBFSTreeDB::close() {
    return table_.close();
}

TCtreeTable::BatchScope FlrLBFSTreeDB::transaction(size_t expectedBytes, TCtreeTable::Flush flush) {
    return TCtreeTable::BatchScope(table_, expectedBytes, flush);
}

CQiError FlrLBFSTreeDB::initialize(const std::string& dir, JXIndexing::TAccessEnum mode) {
    const char* const fn = __PRETTY_FUNCTION__;
    table_.debug(1, "Opening/creating FlrLBFSTreeDB in %s", dir.c_str());
    const std::string base = dir + "/" + kTreeDbName;
    int rc = table_.internalInitialize(base, 1, 5, 2, 3, sizeof(Record), offsetof(Record, sname));
    if (rc)
        return TFAIL(rc, "Failed to initialize FlrLBFSTreeDB: %s",
                     TCtreeTable::errToString(rc).c_str());

    rc = table_.setNextField("fid", offsetof(Record, fid), TCtreeTable::kTypeUInt64, 8);
    if (!rc)
        rc = table_.setNextField("parent", offsetof(Record, parent), TCtreeTable::kTypeUInt64, 8);
    if (!rc) rc = table_.setNextField("time", offsetof(Record, time), TCtreeTable::kTypeUInt32, 4);
    if (!rc) rc = table_.setNextField("flags", offsetof(Record, flags), TCtreeTable::kTypeByte, 1);
    if (!rc)
        rc = table_.setNextField("sname", offsetof(Record, sname), TCtreeTable::kTypeString,
                                 kMaxNameLen + 1);
    if (rc)
        return TFAIL(rc, "Failed to configure FlrLBFSTreeDB fields: %s",
                     TCtreeTable::errToString(rc).c_str());

    rc = table_.declareIndex(
        {.name = "fid", .keyLength = 8, .duplicates = false, .firstSegment = 0, .segmentCount = 1});
    if (!rc)
        rc = table_.declareIndex({.name = "parent_sname",
                                  .keyLength = 8 + kTreeNamePrefix,
                                  .duplicates = true,
                                  .firstSegment = 1,
                                  .segmentCount = 2,
                                  .keyType = 12});
    if (rc)
        return TFAIL(rc, "Failed to configure FlrLBFSTreeDB indices: %s",
                     TCtreeTable::errToString(rc).c_str());

    rc = table_.setNextSegment(0, 8, 1);
    if (!rc) rc = table_.setNextSegment(1, 8, 1);
    if (!rc) rc = table_.setNextSegment(4, kTreeNamePrefix, 1);
    if (rc)
        return TFAIL(rc, "Failed to configure FlrLBFSTreeDB segments: %s",
                     TCtreeTable::errToString(rc).c_str());

    for (int field = 0; field < 5; ++field) table_.shellOrder(field);
    if ((rc = table_.initializeComplete()))
        return TFAIL(rc, "Failed to complete initialization of FlrLBFSTreeDB: %s",
                     TCtreeTable::errToString(rc).c_str());

    const std::string data = base + ".dat";
    struct stat st;
    if (jx::fileOps().stat(data.c_str(), &st) == 0 || mode == JXIndexing::TAccessReadOnly) {
        table_.debug(1, "Opening existing FlrLBFSTreeDB %s", data.c_str());
        if ((rc = table_.open(mode)))
            return TFAIL(rc, "Failed to open an existing FlrLBFSTreeDB: %s",
                         TCtreeTable::errToString(rc).c_str());
    } else {
        table_.debug(1, "Creating new FlrLBFSTreeDB %s", data.c_str());
        if ((rc = table_.create()))
            return TFAIL(rc, "Failed to create FlrLBFSTreeDB: %s",
                         TCtreeTable::errToString(rc).c_str());
    }
    uint64_t last = 0;
    CQiError err = lastFid(fn, &last);
    if (err.IsError()) return TPUSH(err);
    next_ = last + 1;
    // A new table, or one whose creator died before adding the root.
    if (last == 0 && mode != JXIndexing::TAccessReadOnly) {
        if ((err = addRoot(fn)).IsError()) return TPUSH(err);
        next_ = kRootFid + 1;
    }
    table_.debug(2, "Next available FID is %lu", next_);
    return CQiError();
}

// --- keys and lookups --------------------------------------------------------------

CQiError FlrLBFSTreeDB::fidKey(const char* fn, uint64_t fid) {
    char* cursor = key_;
    int remaining = sizeof key_;
    int rc = table_.fillKeySegment(&cursor, &remaining, &fid, 0, kTreeFidIndex, 0);
    if (!rc) rc = table_.finishKey(&cursor, &remaining, kTreeFidIndex, 0);
    if (rc)
        return TFAIL(rc, "Failed to fill key segment: %s", TCtreeTable::errToString(rc).c_str());
    return CQiError();
}

CQiError FlrLBFSTreeDB::childKey(const char* fn, uint64_t parent, const char* name) {
    char* cursor = key_;
    int remaining = sizeof key_;
    int rc = table_.fillKeySegment(&cursor, &remaining, &parent, 0, kTreeNameIndex, 0);
    if (!rc) rc = table_.fillKeySegment(&cursor, &remaining, name, 0, kTreeNameIndex, 1);
    if (!rc) rc = table_.finishKey(&cursor, &remaining, kTreeNameIndex, 0);
    if (rc)
        return TFAIL(rc, "Failed to fill key segment: %s", TCtreeTable::errToString(rc).c_str());
    return CQiError();
}

// 0 with the record in rec_, kNoRecord, an engine code, or -1 with *err set.
int FlrLBFSTreeDB::findFid(const char* fn, uint64_t fid, CQiError* err) {
    if ((*err = fidKey(fn, fid)).IsError()) return -1;
    return table_.getRecord(kTreeFidIndex, key_, &rec_);
}

// Index 1 holds only the first 56 bytes of a name: step over the entries
// that share them until the full name matches.
int FlrLBFSTreeDB::findChild(const char* fn, uint64_t parent, const std::string& name,
                             CQiError* err) {
    if ((*err = childKey(fn, parent, name.c_str())).IsError()) return -1;
    flrdb::DbCursor c(table_, kTreeNameIndex, &rec_);
    for (c.seek(key_); c.ok(); c.next()) {
        if (rec_.parent != parent || std::strncmp(rec_.sname, name.c_str(), kTreeNamePrefix) != 0)
            return TCtreeTable::kNoRecord;
        if (name == rec_.sname) return TCtreeTable::kOk;
    }
    return c.rc();
}

// The entries of parent in name order, from its first; the walk runs past
// them into the next folder's, so a loop also checks rec_.parent.
flrdb::DbCursor FlrLBFSTreeDB::childrenOf(const char* fn, uint64_t parent, CQiError* err) {
    if ((*err = childKey(fn, parent, "")).IsError())
        return flrdb::DbCursor(table_, kTreeNameIndex, &rec_, TCtreeTable::kNoRecord);
    flrdb::DbCursor c(table_, kTreeNameIndex, &rec_);
    c.seek(key_);
    return c;
}

CQiError FlrLBFSTreeDB::lastFid(const char* fn, uint64_t* fid) {
    *fid = 0;
    int rc = table_.lastRecord(kTreeFidIndex, &rec_);
    if (rc == TCtreeTable::kOk) *fid = rec_.fid;
    if (rc != TCtreeTable::kOk && rc != TCtreeTable::kNoRecord)
        return TFAIL(rc, "Couldn't find the last fid in the DB: %s",
                     TCtreeTable::errToString(rc).c_str());
    return CQiError();
}

// Another instance (or process) may have created entries since this one
// counted: never hand out a number already taken.
CQiError FlrLBFSTreeDB::syncNext(const char* fn) {
    uint64_t last = 0;
    CQiError err = lastFid(fn, &last);
    if (err.IsError()) return TPUSH(err);
    next_ = std::max(next_, last + 1);
    return CQiError();
}

CQiError FlrLBFSTreeDB::addRoot(const char* fn) {
    std::memset(&rec_, 0, sizeof rec_);
    rec_.fid = kRootFid;
    rec_.flags = kDirectory;
    if (int rc = table_.addRecord(&rec_))
        return TFAIL(rc, "Couldn't insert %s into DB: %s", "/",
                     TCtreeTable::errToString(rc).c_str());
    return CQiError();
}

CQiError FlrLBFSTreeDB::getRootRec(Record* rec) {
    const char* const fn = __PRETTY_FUNCTION__;
    CQiError err = childKey(fn, 0, "");
    if (err.IsError()) return err;
    int rc = table_.getGTERecord(kTreeNameIndex, key_, &rec_);
    if (rc != TCtreeTable::kOk && rc != TCtreeTable::kNoRecord)
        return TFAIL(rc, "Couldn't lookup root node: %s", TCtreeTable::errToString(rc).c_str());
    if (rc == TCtreeTable::kNoRecord || rec_.parent != 0)
        return CQiError(-1, lbfstree::kSource, fn, __LINE__, "No root node in the DB");
    *rec = rec_;
    return CQiError();
}

// --- paths -------------------------------------------------------------------------

CQiError FlrLBFSTreeDB::path2fid(const std::string& path, uint64_t* fid, uint32_t* time) {
    const char* const fn = __PRETTY_FUNCTION__;
    Record cur;
    CQiError err = getRootRec(&cur);
    if (err.IsError()) return TPUSH(err);
    for (const std::string& name : lbfstree::componentsOf(path)) {
        int rc = findChild(fn, cur.fid, name, &err);
        if (err.IsError()) return err;
        if (rc == TCtreeTable::kNoRecord) {
            if (fid) *fid = 0;
            if (time) *time = 0;
            return CQiError();
        }
        if (rc)
            return TFAIL(rc, "Couldn't find %s in the DB: %s", path.c_str(),
                         TCtreeTable::errToString(rc).c_str());
        cur = rec_;
    }
    if (fid) *fid = cur.fid;
    if (time) *time = cur.time;
    return CQiError();
}

CQiError FlrLBFSTreeDB::fid2path(uint64_t fid, std::string* path) {
    const char* const fn = __PRETTY_FUNCTION__;
    path->clear();
    std::vector<LBFSDirent> up;
    uint64_t current = fid;
    for (int depth = 0;; ++depth) {
        CQiError err;
        int rc = findFid(fn, current, &err);
        if (err.IsError()) return err;
        if (rc == TCtreeTable::kNoRecord && depth == 0) return CQiError();
        if (rc)
            return TFAIL(rc, "Couldn't find fid %lu in the DB: %s", current,
                         TCtreeTable::errToString(rc).c_str());
        if (rec_.parent == 0) break;
        if (depth >= lbfstree::kMaxDepth)
            return CQiError(-1, lbfstree::kSource, fn, __LINE__,
                            "DB is corrupt: the parent chain of fid %lu does not reach the root",
                            fid);
        up.push_back(LBFSDirent{rec_.fid, rec_.sname});
        current = rec_.parent;
    }
    for (auto it = up.rbegin(); it != up.rend(); ++it) *path += "/" + it->name;
    return CQiError();
}

CQiError FlrLBFSTreeDB::getChildren(uint64_t fid, std::vector<Record>* children) {
    const char* const fn = __PRETTY_FUNCTION__;
    children->clear();
    CQiError err;
    flrdb::DbCursor c = childrenOf(fn, fid, &err);
    if (err.IsError()) return err;
    for (; c.ok() && rec_.parent == fid; c.next()) children->push_back(rec_);
    if (c.failed())
        return TFAIL(c.rc(), "Couldn't lookup children of fid %lu: %s", fid,
                     TCtreeTable::errToString(c.rc()).c_str());
    return CQiError();
}

// --- files -------------------------------------------------------------------------

CQiError FlrLBFSTreeDB::remove(const std::string& dir) {
    EvDebug::Debug("FlrLBFSTreeDB::remove", "Removing FlrLBFSTreeDB from %s", dir.c_str());
    FlrLBFSHashDB::removeFiles(dir, kTreeDbName);
    return CQiError();
}

CQiError FlrLBFSTreeDB::move(const std::string& from, const std::string& to) {
    const char* const fn = __PRETTY_FUNCTION__;
    EvDebug::Debug("FlrLBFSTreeDB::move", "Moving FlrLBFSTreeDB from %s to %s", from.c_str(),
                   to.c_str());
    if (int err = FlrLBFSHashDB::moveFiles(from, to, kTreeDbName))
        return CQiError(-err, lbfstree::kSource, fn, __LINE__,
                        "Couldn't move FlrLBFSTreeDB from %s to %s", from.c_str(), to.c_str())
            .Push(jxErrnoText(err));
    return CQiError();
}

CQiError FlrLBFSTreeDB::copy(const std::string& from, const std::string& to) {
    const char* const fn = __PRETTY_FUNCTION__;
    EvDebug::Debug("FlrLBFSTreeDB::copy", "Copying FlrLBFSTreeDB from %s to %s", from.c_str(),
                   to.c_str());
    if (int err = FlrLBFSHashDB::copyFiles(from, to, kTreeDbName))
        return CQiError(-err, lbfstree::kSource, fn, __LINE__,
                        "Couldn't copy FlrLBFSTreeDB from %s to %s", from.c_str(), to.c_str())
            .Push(jxErrnoText(err));
    return CQiError();
}

// The library may be compiled in batches of sources: the macros end with this file.
#undef TFAIL
#undef TPUSH
