// The file-id name database: reconciling the records with what a scan found
// (a directory's fresh listing; the records no longer reachable from the root).
#include "FlrDatabase.h"
#include "FlrDatabaseShared.h"

#include <algorithm>
#include <cstring>
#include <list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The names the database's sources share.
using namespace fiddb;

#define DB_FAIL(function, message, rc) engineFailure((function), (message), (rc), __LINE__)

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

// --- reconciliation with a directory listing --------------------------------

void FlrDatabase::updateDir(const fsf_fid& dirFid, uint64_t seq, std::list<fsf_fid>& queue,
                            const std::list<Child>& listing, Reconciled* changed) {
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
    Reconciled none;
    Reconciled& out = changed ? *changed : none;
    const size_t addedBefore = out.added.size(), movedBefore = out.moved.size(),
                 newFilesBefore = out.newFiles.size(), detachedBefore = out.detached.size();
    batched(fn, [&] {
        queue.resize(queued);  // a redone attempt starts from the caller's queue
        out.added.resize(addedBefore);
        out.moved.resize(movedBefore);
        out.newFiles.resize(newFilesBefore);
        out.detached.resize(detachedBefore);
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
                out.detached.push_back(fidOf(rec_.fid));
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
                out.newFiles.push_back(c.fid);
                continue;
            }
            rc = locateByFid(fn, c.fid);
            if (rc == TCtreeTable::kOk) {
                out.moved.push_back(c.fid);
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
                out.added.push_back(c.fid);
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
                    out.detached.push_back(fidOf(rec_.fid));
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

size_t FlrDatabase::dropDetached(const std::vector<fsf_fid>& fids) {
    static const char* fn = "FlrDatabase::dropDetached";
    std::vector<fsf_fid> candidates = fids, gone;
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    for (const fsf_fid& fid : candidates) {
        const int rc = locateByFid(fn, fid);
        if (rc == TCtreeTable::kNoRecord) continue;
        if (rc) DB_FAIL(fn, "Failed to find a detached directory: ", rc);
        // Attached again, or the root (whose parent is null too).
        if (!isNull(rec_.parent_fid) || std::strcmp(rec_.sname, "/") == 0) continue;
        gone.push_back(fid);
    }
    for (const fsf_fid& fid : gone) delTree(fid);
    return gone.size();
}

// The library may be compiled in batches of sources: the macros end with this file.
#undef DB_FAIL
