// Changes to the LBFS tree, each one transaction: creating entries on
// demand, renames, recursive deletion (the deleted files' hash blocks are
// dropped once it commits) and times.
#include "DbBatch.h"
#include "FlrLBFSTreeDB.h"
#include "FlrLBFSTreeDBShared.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "FLR/JxException.h"
#include "platform/EvDebug.h"

namespace {

void setName(FlrLBFSTreeDB::Record& r, const std::string& name) {
    size_t n = std::min(name.size(), FlrLBFSTreeDB::kMaxNameLen);
    std::memcpy(r.sname, name.data(), n);
    r.sname[n] = '\0';
}

}  // namespace

// A failure at this line of the running operation (fn: its signature).
#define TFAIL(rc, ...) \
    CQiError(lbfstree::failCode(rc), lbfstree::kSource, fn, __LINE__, __VA_ARGS__)
#define TPUSH(err) (err).Push(lbfstree::kSource, fn, __LINE__)

// --- transactions ------------------------------------------------------------------

// Runs an operation as one transaction (see DbBatch.h). An operation called
// by another runs in the caller's transaction. The numbers handed out and the
// blocks to drop belong to the attempt: a rolled back attempt forgets them.
template <class Body>
CQiError FlrLBFSTreeDB::batched(const char* fn, Body&& body) {
    if (opDepth_ > 0) return body();
    struct Depth {
        int& depth;
        explicit Depth(int& d) : depth(d) { ++depth; }
        ~Depth() { --depth; }
    } running(opDepth_);
    const uint64_t savedNext = next_;
    CQiError err;
    flrdb::BatchOutcome out = flrdb::runBatched(table_, fn, [&] {
        next_ = savedNext;
        drops_.clear();
        err = body();
        if (!err.IsError()) {
            dropBlocks();
            return static_cast<int>(TCtreeTable::kOk);
        }
        return err.GetCode() == -TCtreeTable::kBatchRolledBack
                   ? static_cast<int>(TCtreeTable::kBatchRolledBack)
                   : -1;
    });
    if (out.ok()) return err;
    next_ = savedNext;
    drops_.clear();
    switch (out.stage) {
        case flrdb::BatchStage::Body:
            return err;
        case flrdb::BatchStage::Begin:
            return TFAIL(out.rc, "Couldn't start a transaction: %s",
                         TCtreeTable::errToString(out.rc).c_str());
        default:
            break;
    }
    return TFAIL(out.rc, "Couldn't commit changes to FlrLBFSTreeDB: %s",
                 TCtreeTable::errToString(out.rc).c_str());
}

// A failure leaves blocks of deleted entries behind: logged, not passed up,
// as the entries themselves are gone either way.
void FlrLBFSTreeDB::dropBlocks() {
    std::map<FlrLBFSHashDB*, std::vector<uint64_t>> byDb;
    for (const auto& [db, fid] : drops_)
        if (db) byDb[db].push_back(fid);
    drops_.clear();
    for (const auto& [db, fids] : byDb) {
        CQiError err = db->del(fids);
        if (err.IsError())
            EvDebug::Error("FlrLBFSTreeDB", "Couldn't delete the hash blocks of %zu entries: %s",
                           fids.size(), err.AsString().c_str());
    }
}

// --- creating ----------------------------------------------------------------------

CQiError FlrLBFSTreeDB::createIn(const char* fn, const std::vector<std::string>& components,
                                 FlrLBFSHashDB* hashDb, uint64_t* fid, Record* rec) {
    Record cur;
    CQiError err = getRootRec(&cur);
    if (err.IsError()) return TPUSH(err);
    if ((err = syncNext(fn)).IsError()) return err;
    std::string sofar;
    for (size_t i = 0; i < components.size(); ++i) {
        const std::string& name = components[i];
        const bool wantDir = i + 1 < components.size();
        sofar += "/" + name;
        int rc = findChild(fn, cur.fid, name, &err);
        if (err.IsError()) return err;
        if (rc != TCtreeTable::kOk && rc != TCtreeTable::kNoRecord)
            return TFAIL(rc, "Couldn't find %s in the DB: %s", sofar.c_str(),
                         TCtreeTable::errToString(rc).c_str());
        if (rc == TCtreeTable::kOk) {
            if (rec_.isDir() == wantDir) {
                cur = rec_;
                continue;
            }
            const uint64_t conflicting = rec_.fid;
            table_.pushContext();
            err = del(conflicting, hashDb);
            table_.popContext();
            if (err.IsError())
                return TPUSH(err).Push(jxFormat("Couldn't delete conflicting %s", sofar.c_str()));
        }
        std::memset(&rec_, 0, sizeof rec_);
        rec_.fid = next_;
        rec_.parent = cur.fid;
        rec_.flags = wantDir ? kDirectory : 0;
        setName(rec_, name);
        if ((rc = table_.addRecord(&rec_)))
            return TFAIL(rc, "Couldn't insert %s into DB: %s", sofar.c_str(),
                         TCtreeTable::errToString(rc).c_str());
        table_.debug(2, "Created new fid %lld, %s", static_cast<long long>(next_), sofar.c_str());
        ++next_;
        cur = rec_;
    }
    if (fid) *fid = cur.fid;
    if (rec) *rec = cur;
    return CQiError();
}

CQiError FlrLBFSTreeDB::createFile(const std::string& path, FlrLBFSHashDB* hashDb, uint64_t* fid,
                                   Record* rec) {
    const char* const fn = __PRETTY_FUNCTION__;
    const std::vector<std::string> components = lbfstree::componentsOf(path);
    return batched(fn, [&] { return createIn(fn, components, hashDb, fid, rec); });
}

CQiError FlrLBFSTreeDB::createMosaicFile(const std::string& dirPath, std::string* path,
                                         uint64_t* fid, Record* rec) {
    const char* const fn = __PRETTY_FUNCTION__;
    return batched(fn, [&]() -> CQiError {
        CQiError err = syncNext(fn);
        if (err.IsError()) return err;
        *path = dirPath + jxFormat("/%lu", next_);
        err = createIn(fn, lbfstree::componentsOf(*path), nullptr, fid, rec);
        return err.IsError() ? TPUSH(err) : err;
    });
}

// --- moving, deleting, times ----------------------------------------------------------

// Refuses moves that would destroy what is moved: the root, a path through
// the entry itself (below itself, a cycle), or a target that contains it
// (replacing the target deletes everything below it). samePlace: newPath
// already names the entry.
CQiError FlrLBFSTreeDB::checkMove(const char* fn, uint64_t fid, const std::string& newPath,
                                  const std::vector<std::string>& components, bool* samePlace) {
    *samePlace = false;
    CQiError err;
    int rc = findFid(fn, fid, &err);
    if (err.IsError()) return err;
    if (rc)
        return TFAIL(rc, "Couldn't find fid %lu in the DB: %s", fid,
                     TCtreeTable::errToString(rc).c_str());
    if (fid == kRootFid || components.empty())
        return CQiError(-1, lbfstree::kSource, fn, __LINE__, "Couldn't move fid %lu to %s: %s", fid,
                        newPath.c_str(), "the root can't be moved or replaced");
    std::vector<uint64_t> ancestors;
    for (uint64_t up = rec_.parent; up != 0; up = rec_.parent) {
        if ((rc = findFid(fn, up, &err)) ||
            ancestors.size() > static_cast<size_t>(lbfstree::kMaxDepth))
            break;
        ancestors.push_back(up);
    }
    Record cur;
    if ((err = getRootRec(&cur)).IsError()) return TPUSH(err);
    for (size_t i = 0; i < components.size(); ++i) {
        rc = findChild(fn, cur.fid, components[i], &err);
        if (err.IsError()) return err;
        if (rc == TCtreeTable::kNoRecord) return CQiError();
        if (rc)
            return TFAIL(rc, "Couldn't move fid %lu to %s: %s", fid, newPath.c_str(),
                         TCtreeTable::errToString(rc).c_str());
        const bool last = i + 1 == components.size();
        if (rec_.fid == fid && last) {
            *samePlace = true;
            return CQiError();
        }
        if (rec_.fid == fid)
            return CQiError(-1, lbfstree::kSource, fn, __LINE__, "Couldn't move fid %lu to %s: %s",
                            fid, newPath.c_str(), "the new path leads through the entry itself");
        if (last && std::find(ancestors.begin(), ancestors.end(), rec_.fid) != ancestors.end())
            return CQiError(-1, lbfstree::kSource, fn, __LINE__, "Couldn't move fid %lu to %s: %s",
                            fid, newPath.c_str(), "the target contains the entry itself");
        cur = rec_;
    }
    return CQiError();
}

CQiError FlrLBFSTreeDB::rename(uint64_t fid, const std::string& newPath, FlrLBFSHashDB* hashDb) {
    const char* const fn = __PRETTY_FUNCTION__;
    table_.debug(2, "Moving fid %lu to %s", fid, newPath.c_str());
    const std::vector<std::string> components = lbfstree::componentsOf(newPath);
    return batched(fn, [&]() -> CQiError {
        bool samePlace = false;
        CQiError err = checkMove(fn, fid, newPath, components, &samePlace);
        if (err.IsError() || samePlace) return err;
        uint64_t target = 0;
        Record targetRec;
        if ((err = createIn(fn, components, hashDb, &target, &targetRec)).IsError())
            return TPUSH(err);
        int rc = findFid(fn, target, &err);
        if (err.IsError()) return err;
        if (!rc) rc = table_.deleteRecord();
        if (rc)
            return TFAIL(rc, "Couldn't move fid %lu to %s: %s", fid, newPath.c_str(),
                         TCtreeTable::errToString(rc).c_str());
        if (next_ == target + 1) next_ = target;
        drops_.emplace_back(hashDb, target);

        rc = findFid(fn, fid, &err);
        if (err.IsError()) return err;
        if (rc)
            return TFAIL(rc, "Couldn't find fid %lu in the DB: %s", fid,
                         TCtreeTable::errToString(rc).c_str());
        rec_.parent = targetRec.parent;
        std::memcpy(rec_.sname, targetRec.sname, sizeof rec_.sname);
        if ((rc = table_.modifyRecord(&rec_)))
            return TFAIL(rc, "Couldn't move fid %lu to %s: %s", fid, newPath.c_str(),
                         TCtreeTable::errToString(rc).c_str());
        return CQiError();
    });
}

CQiError FlrLBFSTreeDB::del(uint64_t fid, FlrLBFSHashDB* hashDb) {
    const char* const fn = __PRETTY_FUNCTION__;
    return batched(fn, [&]() -> CQiError {
        CQiError err;
        int rc = findFid(fn, fid, &err);
        if (err.IsError()) return err;
        if (rc == TCtreeTable::kNoRecord) return CQiError();
        if (rc)
            return TFAIL(rc, "Couldn't lookup fid %lu: %s", fid,
                         TCtreeTable::errToString(rc).c_str());
        table_.debug(2, "Deleting fid %lu", fid);
        const bool dir = rec_.isDir();
        // The root stays: without it no path resolves and nothing can be
        // created again.
        if (fid != kRootFid && (rc = table_.deleteRecord()))
            return TFAIL(rc, "Couldn't delete fid %lu: %s", fid,
                         TCtreeTable::errToString(rc).c_str());
        if (fid != kRootFid) drops_.emplace_back(hashDb, fid);
        std::vector<uint64_t> queue;
        if (dir) queue.push_back(fid);
        for (size_t next = 0; next < queue.size(); ++next) {
            const uint64_t parent = queue[next];
            flrdb::DbCursor c = childrenOf(fn, parent, &err);
            if (err.IsError()) return err;
            for (; c.ok() && rec_.parent == parent; c.next()) {
                table_.debug(2, "Deleting fid %lld", static_cast<long long>(rec_.fid));
                if (rec_.isDir())
                    queue.push_back(rec_.fid);
                else
                    drops_.emplace_back(hashDb, rec_.fid);
                if (int d = table_.deleteRecord())
                    return TFAIL(d, "Couldn't delete fid %lu: %s", rec_.fid,
                                 TCtreeTable::errToString(d).c_str());
            }
            if (c.failed())
                return TFAIL(c.rc(), "Couldn't lookup children of fid %lu: %s", parent,
                             TCtreeTable::errToString(c.rc()).c_str());
        }
        return CQiError();
    });
}

CQiError FlrLBFSTreeDB::del(const std::string& path, FlrLBFSHashDB* hashDb) {
    const char* const fn = __PRETTY_FUNCTION__;
    uint64_t fid = 0;
    CQiError err = path2fid(path, &fid, nullptr);
    if (err.IsError()) return TPUSH(err).Push(jxFormat("Couldn't remove %s from DB", path.c_str()));
    if (fid == 0) return CQiError();
    err = del(fid, hashDb);
    return err.IsError() ? TPUSH(err) : err;
}

CQiError FlrLBFSTreeDB::updateTime(uint64_t fid, uint32_t time) {
    const char* const fn = __PRETTY_FUNCTION__;
    return batched(fn, [&]() -> CQiError {
        CQiError err;
        int rc = findFid(fn, fid, &err);
        if (err.IsError()) return err;
        if (rc)
            return TFAIL(rc, "Couldn't find fid %lu in the DB: %s", fid,
                         TCtreeTable::errToString(rc).c_str());
        rec_.time = time;
        if ((rc = table_.modifyRecord(&rec_)))
            return TFAIL(rc, "Couldn't update time of fid %lu in the DB: %s", fid,
                         TCtreeTable::errToString(rc).c_str());
        return CQiError();
    });
}

// The library may be compiled in batches of sources: the macros end with this file.
#undef TFAIL
#undef TPUSH
