// The file-id name database: declaration of the "FLR FID Table", the path
// cache, and the tree operations the scanner and the journal path use.
#include "FlrDatabase.h"
#include "DbBatch.h"
#include "platform/JxFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_map>

#include "FLR/JxException.h"
#include "env/FlrHelper.h"

namespace {

constexpr int kFidIndex = 0;
constexpr int kNameIndex = 1;
constexpr size_t kNamePrefix = 56;  // bytes of a name in index 1
constexpr uint8_t kTypeMask = 3;
constexpr uint8_t kReachable = 4;
constexpr uint64_t kUnscannedDirSeq = 0xFFFFFFFFFFFFFFFFULL;
// No real tree is this deep (PATH_MAX); a longer parent chain is a cycle.
constexpr int kMaxDepth = 65536;
constexpr uint32_t kGoldenRatio = 0x9E3779B9u;

bool sameFid(const uint64_t words[3], const fsf_fid& fid) {
    return std::memcmp(words, fid.bytes, fsf_fid::kSize) == 0;
}

fsf_fid fidOf(const uint64_t words[3]) {
    fsf_fid f;
    std::memcpy(f.bytes, words, fsf_fid::kSize);
    return f;
}

void setWords(uint64_t words[3], const fsf_fid& fid) {
    std::memcpy(words, fid.bytes, fsf_fid::kSize);
}

bool isNull(const uint64_t words[3]) {
    return sameFid(words, fsf_fid::fid0);
}

size_t nameLen(const FlrDatabase::Record& r) {
    return strnlen(r.sname, sizeof r.sname);
}

std::string_view nameOf(const FlrDatabase::Record& r) {
    return {r.sname, nameLen(r)};
}

FLR_FTYPE typeOf(const FlrDatabase::Record& r) {
    return static_cast<FLR_FTYPE>(r.flags & kTypeMask);
}

[[noreturn]] void engineFailure(const char* function, const char* message, int rc, int line) {
    throw JxException(function, message + TCtreeTable::errToString(rc), "FlrDatabase", line, -1);
}

// Order-preserving set of former parents.
void addOnce(std::vector<fsf_fid>& list, const fsf_fid& fid) {
    for (const fsf_fid& f : list)
        if (f == fid) return;
    list.push_back(fid);
}

}  // namespace

static_assert(offsetof(FlrDatabase::Record, parent_fid) == 24);
static_assert(offsetof(FlrDatabase::Record, scan_seqnum) == 48);
static_assert(offsetof(FlrDatabase::Record, flags) == 56);
static_assert(offsetof(FlrDatabase::Record, sname) == 57);
static_assert(sizeof(FlrDatabase::Record) == 1088);

#define DB_FAIL(function, message, rc) engineFailure((function), (message), (rc), __LINE__)

// A cached path: the entry is followed by the path's bytes and a NUL.
struct FlrDatabase::CacheEntry {
    CacheEntry* bucketPrev;
    CacheEntry* bucketNext;
    CacheEntry* mruPrev;
    CacheEntry* mruNext;
    fsf_fid fid;
    uint64_t seq;
    FLR_FTYPE type;
    size_t pathLen;
    size_t capacity;  // bytes allocated for the path, NUL included
    char* path() { return reinterpret_cast<char*>(this + 1); }
    const char* path() const { return reinterpret_cast<const char*>(this + 1); }
};

// --- construction --------------------------------------------------------

FlrDatabase::FlrDatabase(const std::string& dir)
    : table_({"FlrDatabase", "FLR FID Table", {18, 10, 18}}), dir_(dir), base_(dir + "/zrpdb") {
    int rc = initialize(dir.c_str());
    if (rc)
        JX_THROW("FlrDatabase", "Failed to initialize DB engine: " + TCtreeTable::errToString(rc));
    struct stat st;
    if (jx::fileOps().stat((base_ + ".dat").c_str(), &st) != 0) {
        table_.debug(1, "Creating new ZRP database %s", base_.c_str());
        if ((rc = table_.create()))
            JX_THROW("FlrDatabase", "Failed to create ZRP DB: " + TCtreeTable::errToString(rc));
    } else {
        table_.debug(1, "Opening existing ZRP database %s", base_.c_str());
        if ((rc = table_.open(JXIndexing::TAccessReadWrite)))
            JX_THROW("FlrDatabase",
                     "Failed to open an existing ZRP DB: " + TCtreeTable::errToString(rc));
    }
}

FlrDatabase::FlrDatabase(const std::string& dir, JXIndexing::TAccessEnum mode)
    : table_({"FlrDatabase", "FLR FID Table", {18, 10, 18}}), dir_(dir), base_(dir + "/zrpdb") {
    int rc = initialize(dir.c_str());
    if (rc)
        JX_THROW("FlrDatabase", "Failed to initialize DB engine: " + TCtreeTable::errToString(rc));
    table_.debug(1, "Opening existing ZRP database %s", base_.c_str());
    if ((rc = table_.open(mode)))
        JX_THROW("FlrDatabase",
                 "Failed to open an existing ZRP DB: " + TCtreeTable::errToString(rc));
}

FlrDatabase::~FlrDatabase() {
    table_.close();
    clearCache();
}

int FlrDatabase::initialize(const char* dir) {
    static const char* fn = "FlrDatabase::initialize";
    if (FlrHelper::mkdir1(dir) < 0)
        JX_THROW_ERRNO(fn, std::string("Failed to create directory ") + dir, errno);
    if (!buckets_) {
        buckets_.reset(new (std::nothrow) CacheEntry*[kCacheBuckets]());
        if (!buckets_) JX_THROW(fn, "Not enough memory");
    }
    base_ = std::string(dir) + "/zrpdb";
    int rc = table_.internalInitialize(base_, 1, 9, 2, 7, sizeof(Record), offsetof(Record, sname));
    if (rc) JX_THROW(fn, "Failed to initialize FLR database: " + TCtreeTable::errToString(rc));

    char name[32];
    for (int i = 0; i < 3 && !rc; ++i) {
        std::snprintf(name, sizeof name, "fid%d", i);
        rc = table_.setNextField(name, 8 * i, TCtreeTable::kTypeUInt64, 8);
    }
    for (int i = 0; i < 3 && !rc; ++i) {
        std::snprintf(name, sizeof name, "parent_fid%d", i);
        rc = table_.setNextField(name, 24 + 8 * i, TCtreeTable::kTypeUInt64, 8);
    }
    if (!rc) rc = table_.setNextField("scan_seqnum", 48, TCtreeTable::kTypeUInt64, 8);
    if (!rc) rc = table_.setNextField("flags", 56, TCtreeTable::kTypeUInt8, 1);
    if (!rc) rc = table_.setNextField("sname", 57, TCtreeTable::kTypeString, kMaxNameLen + 1);
    if (rc) JX_THROW(fn, "Failed to configure DB fields: " + TCtreeTable::errToString(rc));

    rc = table_.declareIndex(
        {.name = "fid", .keyLength = 24, .duplicates = true, .firstSegment = 0, .segmentCount = 3});
    if (!rc)
        rc = table_.declareIndex({.name = "parent_fid_and_sname",
                                  .keyLength = 24 + kNamePrefix,
                                  .duplicates = true,
                                  .firstSegment = 3,
                                  .segmentCount = 4,
                                  .keyType = 12});
    if (rc) JX_THROW(fn, "Failed to configure DB indices: " + TCtreeTable::errToString(rc));

    for (int field = 0; field < 6 && !rc; ++field) rc = table_.setNextSegment(field, 8, 1);
    if (!rc) rc = table_.setNextSegment(8, kNamePrefix, 1);
    if (rc) JX_THROW(fn, "Failed to configure DB segments: " + TCtreeTable::errToString(rc));

    for (int field = 0; field < 9; ++field) table_.shellOrder(field);
    return table_.initializeComplete();
}

void FlrDatabase::clear(const std::string& dir) {
    TCtreeTable::removeTableFiles(dir + "/zrpdb");
}

TCtreeTable::BatchScope FlrDatabase::transaction(size_t expectedBytes, TCtreeTable::Flush flush) {
    return TCtreeTable::BatchScope(table_, expectedBytes, flush);
}

bool FlrDatabase::rolledBackForMap() const {
    return table_.lastResult() == TCtreeTable::kBatchRolledBack;
}

// --- keys and positioning ---------------------------------------------------

void FlrDatabase::fidKey(const char* function, const fsf_fid& fid) {
    std::memset(key_, 0, 56);
    char* cursor = key_;
    int remaining = 56;
    uint64_t words[3];
    setWords(words, fid);
    for (int s = 0; s < 3; ++s)
        if (int rc = table_.fillKeySegment(&cursor, &remaining, &words[s], 0, kFidIndex, s))
            DB_FAIL(function, "Failed to fill key segment: ", rc);
    if (int rc = table_.finishKey(&cursor, &remaining, kFidIndex, 0))
        DB_FAIL(function, "Failed to fill key segment: ", rc);
}

void FlrDatabase::nameKey(const char* function, const fsf_fid& parent, const char* name) {
    std::memset(key_, 0, sizeof key_);
    char* cursor = key_;
    int remaining = sizeof key_;
    uint64_t words[3];
    setWords(words, parent);
    for (int s = 0; s < 3; ++s)
        if (int rc = table_.fillKeySegment(&cursor, &remaining, &words[s], 0, kNameIndex, s))
            DB_FAIL(function, "Failed to fill key segment: ", rc);
    if (int rc = table_.fillKeySegment(&cursor, &remaining, name, 0, kNameIndex, 3))
        DB_FAIL(function, "Failed to fill key segment: ", rc);
    if (int rc = table_.finishKey(&cursor, &remaining, kNameIndex, 0))
        DB_FAIL(function, "Failed to fill key segment: ", rc);
}

int FlrDatabase::locateByFid(const char* function, const fsf_fid& fid) {
    fidKey(function, fid);
    int rc = table_.getGTERecord(kFidIndex, key_, &rec_);
    if (rc) return rc;
    return sameFid(rec_.fid, fid) ? TCtreeTable::kOk : TCtreeTable::kNoRecord;
}

// Index 1 holds only the first 56 bytes of a name: step over the entries
// that share them until the full name matches.
int FlrDatabase::locateByName(const char* function, const fsf_fid& parent, const char* name) {
    nameKey(function, parent, name);
    flrdb::DbCursor c(table_, kNameIndex, &rec_);
    for (c.seek(key_); c.ok(); c.next()) {
        if (!sameFid(rec_.parent_fid, parent)) return TCtreeTable::kNoRecord;
        if (std::strncmp(rec_.sname, name, kNamePrefix) != 0) return TCtreeTable::kNoRecord;
        if (nameOf(rec_) == name) return TCtreeTable::kOk;
    }
    return c.rc();
}

flrdb::DbCursor FlrDatabase::childrenOf(const char* function, const fsf_fid& parent) {
    nameKey(function, parent, "");
    flrdb::DbCursor c(table_, kNameIndex, &rec_);
    c.seek(key_);
    return c;
}

flrdb::DbCursor FlrDatabase::recordsOf(const char* function, const fsf_fid& fid) {
    return flrdb::DbCursor(table_, kFidIndex, &rec_, locateByFid(function, fid));
}

void FlrDatabase::modifyCurrent(const char* function, const char* message, int line) {
    if (int rc = table_.modifyRecord(&rec_)) engineFailure(function, message, rc, line);
}

void FlrDatabase::deleteCurrent(const char* function, const char* message, int line) {
    if (int rc = table_.deleteRecord()) engineFailure(function, message, rc, line);
}

void FlrDatabase::addCurrent(const char* function, const char* message, int line) {
    if (int rc = table_.addRecord(&rec_)) engineFailure(function, message, rc, line);
}

void FlrDatabase::fillRecord(const fsf_fid& fid, const fsf_fid& parent, uint64_t seq, uint8_t flags,
                             const char* name, size_t len) {
    setWords(rec_.fid, fid);
    setWords(rec_.parent_fid, parent);
    rec_.scan_seqnum = seq;
    rec_.flags = flags;
    std::memcpy(rec_.sname, name, len);
    rec_.sname[len] = '\0';
}

// Runs body as one transaction (see DbBatch.h).
template <class Body>
void FlrDatabase::batched(const char* function, Body&& body) {
    flrdb::BatchOutcome out = flrdb::runBatched(table_, function, [&] {
        body();
        return static_cast<int>(TCtreeTable::kOk);
    });
    if (out.stage == flrdb::BatchStage::Begin)
        DB_FAIL(function, "Failed to start a transaction: ", out.rc);
    if (!out.ok()) DB_FAIL(function, "Failed to commit changes to the DB: ", out.rc);
}

// --- adding, deleting, renaming --------------------------------------------

void FlrDatabase::addRootNode(const fsf_fid& fid) {
    addNode(fsf_fid::fid0, "/", fid, FLR_FTYPE_DIR, 0);
}

void FlrDatabase::addNode(const fsf_fid& dirFid, const std::string& sname, const fsf_fid& fid,
                          FLR_FTYPE type, uint64_t seq) {
    static const char* fn = "FlrDatabase::addNode";
    // Checked before anything changes.
    if (sname.size() > kMaxNameLen)
        JX_THROW(fn, jxFormat("Can't add node to the DB with short file name longer than %ld",
                              static_cast<long>(kMaxNameLen)));
    // One transaction for the lookup, the directory mark and the new record:
    // cheaper than a read and a write of their own, and never half done.
    batched(fn, [&] {
        int rc = locateByFid(fn, dirFid);
        if (rc == TCtreeTable::kOk) {
            if ((rec_.flags & kTypeMask) != FLR_FTYPE_DIR) {
                rec_.flags = (rec_.flags & ~kTypeMask) | FLR_FTYPE_DIR;
                modifyCurrent(fn, "Failed to modify current record: ", __LINE__);
            }
        } else if (rc != TCtreeTable::kNoRecord) {
            DB_FAIL(fn, "Failed to find directory FID in the DB: ", rc);
        }
        fillRecord(fid, dirFid, seq, static_cast<uint8_t>(type & kTypeMask), sname.data(),
                   sname.size());
        addCurrent(fn, "Can't add node to the DB: ", __LINE__);
    });
}

void FlrDatabase::delNode(const fsf_fid& dirFid, const std::string& sname) {
    static const char* fn = "FlrDatabase::delNode";
    int rc = locateByName(fn, dirFid, sname.c_str());
    if (rc == TCtreeTable::kNoRecord) JX_THROW(fn, "The node to be deleted is not in the DB.");
    if (rc) DB_FAIL(fn, "Could not find the node to delete in the DB: ", rc);
    const fsf_fid fid = fidOf(rec_.fid);
    const bool wasDir = typeOf(rec_) == FLR_FTYPE_DIR;
    deleteCurrent(fn, "Failed to delete current record: ", __LINE__);
    // The paths cached below a deleted directory no longer lead anywhere.
    if (wasDir)
        clearCache();
    else
        cacheRemove(fid);
}

void FlrDatabase::renameNode(const fsf_fid& oldDir, const std::string& oldName,
                             const fsf_fid& newDir, const std::string& newName) {
    static const char* fn = "FlrDatabase::renameNode";
    if (newName.size() > kMaxNameLen)
        JX_THROW(fn, jxFormat("Can't rename node in the DB to short file name longer than %ld",
                              static_cast<long>(kMaxNameLen)));
    clearCache();
    batched(fn, [&] {
        fsf_fid target = fsf_fid::fid0;
        int rc = locateByName(fn, newDir, newName.c_str());
        bool targetExists = rc == TCtreeTable::kOk;
        if (targetExists) target = fidOf(rec_.fid);
        if (rc != TCtreeTable::kOk && rc != TCtreeTable::kNoRecord)
            DB_FAIL(fn, "Could not find the node to rename over in the DB: ", rc);
        rc = locateByName(fn, oldDir, oldName.c_str());
        if (rc == TCtreeTable::kNoRecord) JX_THROW(fn, "The node to be renamed is not in the DB.");
        if (rc) DB_FAIL(fn, "Could not find the node to rename in the DB: ", rc);
        // Renaming a name onto itself or onto another link of the same file
        // changes nothing on disk, so nothing here either.
        if (targetExists && target == fidOf(rec_.fid)) return;
        if (targetExists) {
            if ((rc = locateByName(fn, newDir, newName.c_str())))
                DB_FAIL(fn, "Could not find the node to rename over in the DB: ", rc);
            deleteCurrent(fn, "Failed to delete record being renamed over: ", __LINE__);
            if ((rc = locateByName(fn, oldDir, oldName.c_str())))
                DB_FAIL(fn, "Could not find the node to rename in the DB: ", rc);
        }
        setWords(rec_.parent_fid, newDir);
        std::memcpy(rec_.sname, newName.c_str(), newName.size() + 1);
        modifyCurrent(fn, "Failed to modify current record: ", __LINE__);
    });
}

// Breadth first below every id of work; work is emptied.
void FlrDatabase::deleteDescendants(const char* function, std::list<fsf_fid>& work) {
    while (!work.empty()) {
        const fsf_fid id = work.front();
        flrdb::DbCursor c = childrenOf(function, id);
        for (; c.ok() && sameFid(rec_.parent_fid, id); c.next()) {
            work.push_back(fidOf(rec_.fid));
            deleteCurrent(function, "Failed to delete current record: ", __LINE__);
        }
        if (c.failed()) DB_FAIL(function, "Failed to lookup next record by parent FID: ", c.rc());
        work.pop_front();
    }
}

bool FlrDatabase::delTree(const fsf_fid& dirFid, const std::string& sname) {
    static const char* fn = "FlrDatabase::delTree";
    clearCache();
    bool found = false;
    batched(fn, [&] {
        int rc = locateByName(fn, dirFid, sname.c_str());
        if (rc == TCtreeTable::kNoRecord) return;
        if (rc) DB_FAIL(fn, "Failed to lookup record to delete by FID and sname: ", rc);
        std::list<fsf_fid> work{fidOf(rec_.fid)};
        deleteCurrent(fn, "Failed to delete current record: ", __LINE__);
        deleteDescendants(fn, work);
        found = true;
    });
    return found;
}

bool FlrDatabase::delTree(const fsf_fid& fid) {
    static const char* fn = "FlrDatabase::delTree";
    clearCache();
    bool found = false;
    batched(fn, [&] {
        flrdb::DbCursor c = recordsOf(fn, fid);
        if (c.rc() == TCtreeTable::kNoRecord) return;
        if (c.failed()) DB_FAIL(fn, "Failed to do a FID lookup: ", c.rc());
        for (; c.ok() && sameFid(rec_.fid, fid); c.next())
            deleteCurrent(fn, "Failed to delete current record: ", __LINE__);
        if (c.failed()) DB_FAIL(fn, "Failed to do a FID lookup: ", c.rc());
        std::list<fsf_fid> work{fid};
        deleteDescendants(fn, work);
        found = true;
    });
    return found;
}

// Mark and sweep from the root of the tree that holds fid.
void FlrDatabase::removeDisconnected(const fsf_fid& fid) {
    static const char* fn = "FlrDatabase::removeDisconnected";
    clearCache();
    batched(fn, [&] {
        fsf_fid root = fid;
        for (int depth = 0;; ++depth) {
            int rc = locateByFid(fn, root);
            if (rc == TCtreeTable::kNoRecord) JX_THROW(fn, "Node is not in the DB.");
            if (rc) DB_FAIL(fn, "Failed to find node in the DB: ", rc);
            if (isNull(rec_.parent_fid)) break;
            if (depth >= kMaxDepth)
                JX_THROW(fn, "DB is corrupt: the parent chain of FID " + fid.toString() +
                                 " does not reach the root");
            root = fidOf(rec_.parent_fid);
        }

        flrdb::DbCursor all(table_, TCtreeTable::kFileOrder, &rec_);
        for (all.first(); all.ok(); all.next()) {
            if (!(rec_.flags & kReachable)) continue;
            rec_.flags &= ~kReachable;
            modifyCurrent(fn, "Failed to modify current record: ", __LINE__);
        }
        if (all.failed()) DB_FAIL(fn, "Failed to iterate over all DB records: ", all.rc());

        int rc = locateByFid(fn, root);
        if (rc == TCtreeTable::kNoRecord) JX_THROW(fn, "Root node is not in the DB.");
        if (rc) DB_FAIL(fn, "Failed to find root node in the DB: ", rc);
        rec_.flags |= kReachable;
        modifyCurrent(fn, "Failed to modify current record: ", __LINE__);

        // Only newly marked directories are queued, so a cycle cannot loop.
        std::list<fsf_fid> queue{root};
        while (!queue.empty()) {
            const fsf_fid dir = queue.front();
            queue.pop_front();
            flrdb::DbCursor c = childrenOf(fn, dir);
            for (; c.ok() && sameFid(rec_.parent_fid, dir); c.next()) {
                if (rec_.flags & kReachable) continue;
                rec_.flags |= kReachable;
                modifyCurrent(fn, "Failed to modify current record: ", __LINE__);
                if (typeOf(rec_) == FLR_FTYPE_DIR) queue.push_back(fidOf(rec_.fid));
            }
            if (c.failed()) DB_FAIL(fn, "Failed to lookup next record by parent FID: ", c.rc());
        }

        for (all.first(); all.ok(); all.next()) {
            if (!(rec_.flags & kReachable))
                deleteCurrent(fn, "Failed to delete current record: ", __LINE__);
        }
        if (all.failed()) DB_FAIL(fn, "Failed to iterate over all DB records: ", all.rc());
    });
}

// --- lookups ---------------------------------------------------------------

bool FlrDatabase::find(const char* path, Child* child) {
    static const char* fn = "FlrDatabase::find";
    if (!path || !child) JX_THROW(fn, "NULL path or child pointer passed as input.");
    if (path[0] != '/')
        JX_THROW(fn, std::string("Absolute file path expected. Got \"") + path + "\" instead.");
    int rc = locateByName(fn, fsf_fid::fid0, "/");
    if (rc == TCtreeTable::kNoRecord) JX_THROW(fn, "Could not find root node in the DB.");
    if (rc) DB_FAIL(fn, "Could not find root node in the DB: ", rc);
    fsf_fid current = fidOf(rec_.fid);
    std::string component;
    for (const char* p = path; *p;) {
        while (*p == '/') ++p;
        if (!*p) break;
        const char* end = std::strchr(p, '/');
        if (!end) end = p + std::strlen(p);
        component.assign(p, end);
        p = end;
        rc = locateByName(fn, current, component.c_str());
        if (rc == TCtreeTable::kNoRecord) return false;
        if (rc)
            DB_FAIL(fn,
                    ("Could not find the node (" + current.toString() + ", " + component +
                     ") in the DB: ")
                        .c_str(),
                    rc);
        current = fidOf(rec_.fid);
    }
    child->fid = current;
    child->name.assign(nameOf(rec_));
    child->type = typeOf(rec_);
    child->scan_seqnum = rec_.scan_seqnum;
    return true;
}

bool FlrDatabase::find(const fsf_fid& dirFid, const char* sname, Child* child) {
    static const char* fn = "FlrDatabase::find";
    if (!sname || !child) JX_THROW(fn, "NULL sname or child pointer passed as input.");
    int rc = locateByName(fn, dirFid, sname);
    if (rc == TCtreeTable::kNoRecord) return false;
    if (rc)
        DB_FAIL(fn,
                ("Could not find the node (" + dirFid.toString() + ", " + sname + ") in the DB: ")
                    .c_str(),
                rc);
    child->fid = fidOf(rec_.fid);
    child->name.assign(nameOf(rec_));
    child->type = typeOf(rec_);
    child->scan_seqnum = rec_.scan_seqnum;
    return true;
}

std::string FlrDatabase::fidToNodeName(const fsf_fid& fid, uint64_t* seq, FLR_FTYPE* type) {
    if (CacheEntry* hit = cacheFind(fid)) {
        if (seq) *seq = hit->seq;
        if (type) *type = hit->type;
        return std::string(hit->path(), hit->pathLen);
    }
    return buildPath(fid, seq, type);
}

// Walks up the parent chain, collecting names, until the root or a cached
// ancestor; the path is then assembled once and cached under fid.
std::string FlrDatabase::buildPath(const fsf_fid& fid, uint64_t* seq, FLR_FTYPE* type) {
    static const char* fn = "FlrDatabase::fidToNodeName";
    names_.clear();
    nameEnds_.clear();
    fsf_fid current = fid;
    const CacheEntry* ancestor = nullptr;
    uint64_t foundSeq = 0;
    FLR_FTYPE foundType = FLR_FTYPE_FILE;
    for (int depth = 0;; ++depth) {
        if (depth > 0 && (ancestor = cacheFind(current))) break;
        int rc = locateByFid(fn, current);
        if (rc == TCtreeTable::kNoRecord) {
            if (depth == 0) return std::string();
            JX_THROW(fn, "DB is corrupt: couldn't find record for FID " + current.toString());
        }
        if (rc) DB_FAIL(fn, "DB lookup failed: ", rc);
        if (depth == 0) {
            foundSeq = rec_.scan_seqnum;
            foundType = typeOf(rec_);
            if (seq) *seq = foundSeq;
            if (type) *type = foundType;
        }
        if (isNull(rec_.parent_fid)) break;
        if (depth >= kMaxDepth)
            JX_THROW(fn, "DB is corrupt: the parent chain of FID " + fid.toString() +
                             " does not reach the root");
        names_.append(rec_.sname, nameLen(rec_));
        nameEnds_.push_back(names_.size());
        current = fidOf(rec_.parent_fid);
    }
    std::string path = joinPath(ancestor ? std::string_view(ancestor->path(), ancestor->pathLen)
                                         : std::string_view());
    cacheInsert(fid, path, foundSeq, foundType);
    return path;
}

// The ancestor's path followed by the collected names, root first. Built by
// size and copy: the appending form makes g++ 12 at -O3 see an overlap
// (-Wrestrict) that cannot happen.
std::string FlrDatabase::joinPath(std::string_view prefix) const {
    const bool prefixSlash = !prefix.empty() && prefix.back() == '/';
    size_t total = prefix.size() + names_.size() + nameEnds_.size() - (prefixSlash ? 1 : 0);
    if (nameEnds_.empty()) total = prefix.size();
    if (total == 0) return std::string(1, '/');
    std::string path(total, '/');
    char* out = path.data();
    if (!prefix.empty()) std::memcpy(out, prefix.data(), prefix.size());
    out += prefix.size();
    for (size_t i = nameEnds_.size(); i-- > 0;) {
        if (out == path.data() || out[-1] != '/') ++out;  // over a '/' already there
        size_t begin = i ? nameEnds_[i - 1] : 0;
        std::memcpy(out, names_.data() + begin, nameEnds_[i] - begin);
        out += nameEnds_[i] - begin;
    }
    path.resize(static_cast<size_t>(out - path.data()));
    return path;
}

std::list<FlrDatabase::Child> FlrDatabase::getChildList(const fsf_fid& dirFid) {
    static const char* fn = "FlrDatabase::getChildList";
    std::list<Child> children;
    flrdb::DbCursor c = childrenOf(fn, dirFid);
    for (; c.ok() && sameFid(rec_.parent_fid, dirFid); c.next())
        children.push_back(
            Child{fidOf(rec_.fid), std::string(nameOf(rec_)), typeOf(rec_), rec_.scan_seqnum});
    if (c.failed()) DB_FAIL(fn, "Failed to lookup next record by parent FID: ", c.rc());
    return children;
}

std::list<FlrDatabase::Node> FlrDatabase::getNodeList(const fsf_fid& fid) {
    std::list<Node> out;
    std::string path = fidToNodeName(fid);
    out.push_back(Node{fid, path, FLR_FTYPE_DIR});
    std::list<fsf_fid> onPath{fid};
    listSubtree(fid, path, out, onPath);
    return out;
}

// Each child's subtree comes before the child itself. A child that is already
// on the way down (a damaged tree with a cycle) is not entered again.
void FlrDatabase::listSubtree(const fsf_fid& dir, const std::string& path, std::list<Node>& out,
                              std::list<fsf_fid>& onPath) {
    for (Child& c : getChildList(dir)) {
        std::string childPath = path;
        if (childPath.empty() || childPath.back() != '/') childPath += '/';
        childPath += c.name;
        bool cycle = false;
        for (const fsf_fid& f : onPath) cycle = cycle || f == c.fid;
        if (!cycle) {
            onPath.push_back(c.fid);
            listSubtree(c.fid, childPath, out, onPath);
            onPath.pop_back();
        }
        out.push_back(Node{c.fid, std::move(childPath), c.type});
    }
}

unsigned long FlrDatabase::getRecordCount() {
    uint64_t count = 0;
    if (int rc = table_.getRecordCount(&count))
        DB_FAIL("FlrDatabase::getRecordCount", "Failed to count DB records: ", rc);
    return static_cast<unsigned long>(count);
}

// --- reconciliation with a directory listing --------------------------------

void FlrDatabase::updateDir(const fsf_fid& dirFid, uint64_t seq, std::list<fsf_fid>& queue,
                            const std::list<Child>& listing) {
    static const char* fn = "FlrDatabase::updateDir";
    clearCache();
    std::vector<const Child*> entries;
    std::vector<fsf_fid> dirs, files;
    entries.reserve(listing.size());
    for (const Child& c : listing) {
        // Refused before anything changes.
        if (c.name.size() > kMaxNameLen)
            JX_THROW(fn, "File or subdirectory name " + c.name + " is too long.");
        entries.push_back(&c);
        (c.type == FLR_FTYPE_DIR ? dirs : files).push_back(c.fid);
    }
    std::unordered_map<std::string_view, size_t> byName;
    byName.reserve(entries.size());
    for (size_t i = 0; i < entries.size(); ++i) byName.emplace(entries[i]->name, i);

    const size_t queued = queue.size();
    batched(fn, [&] {
        queue.resize(queued);  // a redone attempt starts from the caller's queue
        std::vector<fsf_fid> formerParents;
        std::vector<bool> consumed(entries.size(), false);

        // The directory's own record, and stale duplicates of it.
        int rc = locateByFid(fn, dirFid);
        if (rc == TCtreeTable::kNoRecord)
            JX_THROW(fn, "Can't find requested directory FID in the DB.");
        if (rc) DB_FAIL(fn, "Can't find requested directory FID in the DB: ", rc);
        rec_.scan_seqnum = seq;
        rec_.flags = (rec_.flags & ~kTypeMask) | FLR_FTYPE_DIR;
        modifyCurrent(fn, "Failed to modify current record: ", __LINE__);
        flrdb::DbCursor same(table_, kFidIndex, &rec_);
        for (same.next(); same.ok() && sameFid(rec_.fid, dirFid); same.next()) {
            const fsf_fid parent = fidOf(rec_.parent_fid);
            deleteCurrent(fn, "Failed to delete record: ", __LINE__);
            if (!parent.isZero()) addOnce(formerParents, parent);
        }
        if (same.failed()) DB_FAIL(fn, "Failed to find record by FID: ", same.rc());

        // Existing children: keep what the listing confirms, detach other
        // directories (their subtrees stay with them), delete the rest.
        flrdb::DbCursor kids = childrenOf(fn, dirFid);
        for (; kids.ok() && sameFid(rec_.parent_fid, dirFid); kids.next()) {
            auto it = byName.find(nameOf(rec_));
            if (it != byName.end() && !consumed[it->second] &&
                entries[it->second]->fid == fidOf(rec_.fid)) {
                consumed[it->second] = true;
            } else if (typeOf(rec_) == FLR_FTYPE_DIR) {
                setWords(rec_.parent_fid, fsf_fid::fid0);
                modifyCurrent(fn, "Failed to modify current record: ", __LINE__);
            } else {
                deleteCurrent(fn, "Failed to delete current record: ", __LINE__);
            }
        }
        if (kids.failed())
            DB_FAIL(fn, "Failed to look up record by FID and short name: ", kids.rc());

        // New entries; directories that exist elsewhere are moved here.
        for (size_t i = 0; i < entries.size(); ++i) {
            if (consumed[i]) continue;
            const Child& c = *entries[i];
            if (c.type != FLR_FTYPE_DIR) {
                fillRecord(c.fid, dirFid, seq, static_cast<uint8_t>(c.type & kTypeMask),
                           c.name.data(), c.name.size());
                addCurrent(fn, "Can't add new file record to the DB: ", __LINE__);
                continue;
            }
            rc = locateByFid(fn, c.fid);
            if (rc == TCtreeTable::kOk) {
                if (!isNull(rec_.parent_fid)) addOnce(formerParents, fidOf(rec_.parent_fid));
                setWords(rec_.parent_fid, dirFid);
                rec_.flags = (rec_.flags & ~kTypeMask) | FLR_FTYPE_DIR;
                std::memcpy(rec_.sname, c.name.c_str(), c.name.size() + 1);
                modifyCurrent(fn, "Failed to modify current record: ", __LINE__);
            } else if (rc == TCtreeTable::kNoRecord) {
                fillRecord(c.fid, dirFid, kUnscannedDirSeq, FLR_FTYPE_DIR, c.name.data(),
                           c.name.size());
                addCurrent(fn, "Can't add new subdirectory record to the DB: ", __LINE__);
                queue.push_back(c.fid);
            } else {
                DB_FAIL(fn, "FID lookup failed: ", rc);
            }
        }

        // A directory lives in one place: drop its records elsewhere.
        for (const fsf_fid& d : dirs) {
            flrdb::DbCursor c = recordsOf(fn, d);
            for (; c.ok() && sameFid(rec_.fid, d); c.next()) {
                if (sameFid(rec_.parent_fid, dirFid)) {
                    if (typeOf(rec_) == FLR_FTYPE_DIR) continue;
                    rec_.flags = (rec_.flags & ~kTypeMask) | FLR_FTYPE_DIR;
                    modifyCurrent(fn,
                                  "Failed to set directory flag for a subdirectory: ", __LINE__);
                } else {
                    const fsf_fid parent = fidOf(rec_.parent_fid);
                    deleteCurrent(fn, "Failed to delete duplicate directory FID: ", __LINE__);
                    if (!parent.isZero()) addOnce(formerParents, parent);
                }
            }
            if (c.failed()) DB_FAIL(fn, "Failed to iterate over subdirectories: ", c.rc());
        }

        // Every link of a listed file is confirmed at seq.
        for (const fsf_fid& f : files) {
            flrdb::DbCursor c = recordsOf(fn, f);
            for (; c.ok() && sameFid(rec_.fid, f); c.next()) {
                if ((rec_.flags & kTypeMask) == 0 && rec_.scan_seqnum == seq) continue;
                rec_.flags &= ~kTypeMask;
                rec_.scan_seqnum = seq;
                modifyCurrent(fn, "Failed to set directory flag for a subdirectory: ", __LINE__);
            }
            if (c.failed()) DB_FAIL(fn, "Failed to iterate over files: ", c.rc());
        }

        // A directory that lost an entry to this one must be listed again.
        for (const fsf_fid& p : formerParents) {
            flrdb::DbCursor c = childrenOf(fn, p);
            for (; c.ok() && sameFid(rec_.parent_fid, p); c.next()) {
                if (typeOf(rec_) == FLR_FTYPE_DIR) {
                    setWords(rec_.parent_fid, fsf_fid::fid0);
                    modifyCurrent(fn, "Failed to modify current record: ", __LINE__);
                } else {
                    deleteCurrent(fn, "Failed to delete current record: ", __LINE__);
                }
            }
            if (c.failed()) DB_FAIL(fn, "Failed to look up record by FID and short name: ", c.rc());
        }
        for (const fsf_fid& p : formerParents) queue.push_back(p);
    });
}

// --- path cache ------------------------------------------------------------

unsigned FlrDatabase::bucketOf(const fsf_fid& fid) {
    uint32_t w[4];
    std::memcpy(w, fid.bytes, sizeof w);
    uint32_t h = (w[0] ^ w[1] ^ w[2] ^ w[3]) * kGoldenRatio;
    return h >> 24;
}

FlrDatabase::CacheEntry* FlrDatabase::cacheFind(const fsf_fid& fid) {
    if (!buckets_) return nullptr;
    for (CacheEntry* e = buckets_[bucketOf(fid)]; e; e = e->bucketNext) {
        if (e->fid != fid) continue;
        if (e != mruHead_) {  // most recently used first
            e->mruPrev->mruNext = e->mruNext;
            if (e->mruNext)
                e->mruNext->mruPrev = e->mruPrev;
            else
                mruTail_ = e->mruPrev;
            e->mruPrev = nullptr;
            e->mruNext = mruHead_;
            mruHead_->mruPrev = e;
            mruHead_ = e;
        }
        return e;
    }
    return nullptr;
}

void FlrDatabase::cacheUnlink(CacheEntry* e) {
    if (e->bucketPrev)
        e->bucketPrev->bucketNext = e->bucketNext;
    else
        buckets_[bucketOf(e->fid)] = e->bucketNext;
    if (e->bucketNext) e->bucketNext->bucketPrev = e->bucketPrev;
    if (e->mruPrev)
        e->mruPrev->mruNext = e->mruNext;
    else
        mruHead_ = e->mruNext;
    if (e->mruNext)
        e->mruNext->mruPrev = e->mruPrev;
    else
        mruTail_ = e->mruPrev;
    --cacheCount_;
}

void FlrDatabase::cacheInsert(const fsf_fid& fid, const std::string& path, uint64_t seq,
                              FLR_FTYPE type) {
    if (!buckets_) return;
    const size_t need = path.size() + 1;
    CacheEntry* e = nullptr;
    if (cacheCount_ >= kCacheLimit && mruTail_) {
        // The entry that would be freed right after this insertion is reused.
        e = mruTail_;
        cacheUnlink(e);
        if (e->capacity < need) {
            void* grown = std::realloc(e, sizeof(CacheEntry) + need);
            if (!grown) {
                std::free(e);
                JX_THROW("FlrDatabase::fidToNodeName", "Memory allocation failed");
            }
            e = static_cast<CacheEntry*>(grown);
            e->capacity = need;
        }
    } else {
        e = static_cast<CacheEntry*>(std::malloc(sizeof(CacheEntry) + need));
        if (!e) JX_THROW("FlrDatabase::fidToNodeName", "Memory allocation failed");
        e->capacity = need;
    }
    e->fid = fid;
    e->seq = seq;
    e->type = type;
    e->pathLen = path.size();
    std::memcpy(e->path(), path.c_str(), need);
    CacheEntry*& head = buckets_[bucketOf(fid)];
    e->bucketPrev = nullptr;
    e->bucketNext = head;
    if (head) head->bucketPrev = e;
    head = e;
    e->mruPrev = nullptr;
    e->mruNext = mruHead_;
    if (mruHead_) mruHead_->mruPrev = e;
    mruHead_ = e;
    if (!mruTail_) mruTail_ = e;
    ++cacheCount_;
}

void FlrDatabase::cacheRemove(const fsf_fid& fid) {
    if (!buckets_) return;
    for (CacheEntry* e = buckets_[bucketOf(fid)]; e; e = e->bucketNext) {
        if (e->fid != fid) continue;
        cacheUnlink(e);
        std::free(e);
        return;
    }
}

void FlrDatabase::clearCache() {
    for (CacheEntry* e = mruHead_; e;) {
        CacheEntry* next = e->mruNext;
        std::free(e);
        e = next;
    }
    mruHead_ = mruTail_ = nullptr;
    cacheCount_ = 0;
    if (buckets_) std::fill(buckets_.get(), buckets_.get() + kCacheBuckets, nullptr);
}

// The library may be compiled in batches of sources: the macros end with this file.
#undef DB_FAIL
