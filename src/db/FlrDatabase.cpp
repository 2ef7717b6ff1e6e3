// The file-id name database: declaration of the "FLR FID Table", and the
// tree operations and lookups the scanner and the journal path use (the path
// cache and reconciliation with a scan have sources of their own).
#include "FlrDatabase.h"
#include "FlrDatabaseShared.h"
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

static_assert(offsetof(FlrDatabase::Record, parent_fid) == 24);
static_assert(offsetof(FlrDatabase::Record, scan_seqnum) == 48);
static_assert(offsetof(FlrDatabase::Record, flags) == 56);
static_assert(offsetof(FlrDatabase::Record, sname) == 57);
static_assert(sizeof(FlrDatabase::Record) == 1088);

// The names the database's sources share.
using namespace fiddb;

#define DB_FAIL(function, message, rc) engineFailure((function), (message), (rc), __LINE__)

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

// The library may be compiled in batches of sources: the macros end with this file.
#undef DB_FAIL
