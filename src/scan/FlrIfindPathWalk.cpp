// The path walk of the baseline, SDR and DDR scans: one descriptor per
// directory level, entries read with getdents and stat-ed relative to the
// directory's descriptor, one reused buffer per level.
#include <fcntl.h>

#include <cerrno>
#include <new>

#include "FLR/JxException.h"
#include "FlrFilter.h"
#include "FlrIfind.h"
#include "FlrIfindImpl.h"
#include "FlrIfindWalk.h"
#include "db/FlrDatabase.h"
#include "platform/EvDebug.h"
#include "platform/FlrDriver.h"
#include "platform/JxDirReader.h"
#include "platform/JxUtf.h"

namespace {

// Restores a path string to its length on scope exit.
class PathMark {
  public:
    explicit PathMark(std::string& s) : s_(s), len_(s.size()) {}
    ~PathMark() { s_.resize(len_); }
    PathMark(const PathMark&) = delete;
    PathMark& operator=(const PathMark&) = delete;

  private:
    std::string& s_;
    size_t len_;
};

}  // namespace

FlrIfind::Walk::Level& FlrIfind::Walk::level(int depth) {
    while (static_cast<int>(levels.size()) <= depth) levels.push_back(std::make_unique<Level>());
    return *levels[static_cast<size_t>(depth)];
}

// The reported name of an entry: the local name, converted to UTF-8 where the
// locale needs it. False (logged) when it cannot be converted.
bool FlrIfind::Walk::reportName(const char* name, std::string_view& out) {
    if (!convert) {
        out = name;
        return true;
    }
    if (!mbeToUtf(name, nameUtf)) {
        EvDebug::Error("FlrIfind::recurseDir", "Failed to convert %s/%s to UTF-8",
                       reportPath.c_str(), name);
        return false;
    }
    out = nameUtf;
    return true;
}

// The next entry of the folder lv reads, and the name it is reported by;
// names that cannot be reported (logged) are passed over.
FlrIfind::Walk::Next FlrIfind::Walk::nextEntry(Level& lv, const char** name,
                                               std::string_view* shown) {
    unsigned char type = 0;
    for (;;) {
        const int got = lv.reader.next(name, &type);
        if (got < 0 && errno == ENOENT) return Next::Gone;
        if (got < 0)
            IFIND_FAIL("FlrIfind::recurseDir",
                       ifind::withErrno("Failed to read directory " + walkPath, errno));
        if (got == 0) return Next::End;
        if (reportName(*name, *shown)) return Next::Entry;
    }
}

void FlrIfind::Walk::recurse(int dirFd, long timestamp, const struct stat* parentStat,
                             const struct stat& dirStat, const fsf_fid& dirFid, int depth) {
    static const char* fn = "FlrIfind::recurseDir";
    Level& lv = level(depth);
    if (lv.reader.start(dirFd) != 0) {
        if (errno == ENOENT) return folderGone();
        IFIND_FAIL(fn, ifind::withErrno("Failed to read directory " + walkPath, errno));
    }
    const bool dirChanged = ifind::changedSince(dirStat, timestamp, sinceNanos);
    if (db && reconcile && dirChanged) {
        if (!reconcileFolder(dirFd, dirFid, lv)) return folderGone();
        if (lv.reader.start(dirFd) != 0) {
            if (errno == ENOENT) return folderGone();
            IFIND_FAIL(fn, ifind::withErrno("Failed to read directory " + walkPath, errno));
        }
    }
    // Below a directory that changed together with its parent everything is
    // new: it may have been moved here (times alone cannot tell), and its
    // entries then are new to the destination whatever their own times say.
    // Reconciling, the database tells which folders were moved or made (the
    // parent's listing): only those are taken whole.
    const long childTimestamp = !reconcile && parentStat && dirChanged &&
                                        ifind::changedSince(*parentStat, timestamp, sinceNanos)
                                    ? 0
                                    : timestamp;

    std::string& block = lv.block;
    block.clear();
    if (dirchange) {
        ifind::appendDirChangeEscaped(block, reportPath);
        block += '\n';
    }
    const char* name = nullptr;
    std::string_view shown;
    for (Next got; (got = nextEntry(lv, &name, &shown)) != Next::End;) {
        if (got == Next::Gone) return folderGone();
        PathMark reportMark(reportPath);
        reportPath += '/';
        reportPath.append(shown);
        if (filter && filter->match(reportPath)) {
            EvDebug::Debug("FlrIfind", "Filtering out %s", reportPath.c_str());
            continue;
        }
        struct stat st;
        if (jx::statAt(dirFd, name, &st) != 0) {
            const int err = errno;
            EvDebug::Error(fn, "Failed to stat %s: %s", reportPath.c_str(),
                           jxErrnoText(err).c_str());
            continue;
        }
        if (excludes && excludes->isFilteredOut(reportPath)) {
            if (dirchange) addToDirContents(block, st, shown);
            continue;
        }
        self->countEntry();
        const bool isDir = S_ISDIR(st.st_mode);
        fsf_fid entryFid;
        if (db && driver && !reconcile) {
            if (!fidOfEntry(dirFd, name, &entryFid)) continue;
            names.push_back(
                {dirFid, entryFid, std::string(shown), isDir ? FLR_FTYPE_DIR : FLR_FTYPE_FILE});
            if (names.size() >= kNamesPerTransaction) writeNames();
        }
        if (dirchange) addToDirContents(block, st, shown);
        if (!isDir) {
            // A name the database did not hold here goes whatever its times
            // (a folder whose entries only the journal's records named).
            if ((changedOnly || !dirChanged) &&
                !ifind::changedSince(st, childTimestamp, sinceNanos) &&
                (lv.newFiles.empty() || !lv.newFiles.count(std::string(shown))))
                continue;
            self->addToCollect(*collect, reportPath);
            self->byteCount += st.st_size;
            continue;
        }
        // Another file system mounted below is listed, never entered.
        if (st.st_dev != dirStat.st_dev) continue;
        long below = childTimestamp;
        if (db && reconcile) {
            // Moved here or made since: everything below it is new too.
            if (!lv.newFolders.empty() && lv.newFolders.count(std::string(shown))) below = 0;
            if ((below == 0 || ifind::changedSince(st, below, sinceNanos)) &&
                !fidOfEntry(dirFd, name, &entryFid))
                continue;
        }
        descend(dirFd, name, below, dirStat, st, entryFid, depth);
    }
    if (dirchange) {
        dirchange->buffer().append(block);
        dirchange->flushIfFull();
    }
    if (ifind::changedSince(dirStat, timestamp, sinceNanos))
        self->addToCollect(*collect, reportPath);
}

// Lists the folder into the database as it is now: the entries a rebuild
// would add (filtered and excluded ones left out), with their ids. False when
// the folder was removed meanwhile.
bool FlrIfind::Walk::reconcileFolder(int dirFd, const fsf_fid& dirFid, Level& lv) {
    static const char* fn = "FlrIfind::recurseDir";
    lv.listing.clear();
    lv.newFolders.clear();
    lv.newFiles.clear();
    if (lv.reader.start(dirFd) != 0) {
        if (errno == ENOENT) return false;
        IFIND_FAIL(fn, ifind::withErrno("Failed to read directory " + walkPath, errno));
    }
    const char* name = nullptr;
    std::string_view shown;
    for (Next got; (got = nextEntry(lv, &name, &shown)) != Next::End;) {
        if (got == Next::Gone) return false;
        PathMark reportMark(reportPath);
        reportPath += '/';
        reportPath.append(shown);
        if (filter && filter->match(reportPath)) continue;
        struct stat st;
        if (jx::statAt(dirFd, name, &st) != 0) continue;  // gone: the main pass says so
        if (excludes && excludes->isFilteredOut(reportPath)) continue;
        FlrDatabase::Child c;
        if (!fidOfEntry(dirFd, name, &c.fid)) continue;
        c.name.assign(shown);
        c.type = S_ISDIR(st.st_mode) ? FLR_FTYPE_DIR : FLR_FTYPE_FILE;
        c.scan_seqnum = 0;
        lv.listing.push_back(std::move(c));
    }
    FlrDatabase::Reconciled changed;
    std::list<fsf_fid> queue;  // this walk visits every folder itself
    db->updateDir(dirFid, 0, queue, lv.listing, &changed);
    ++foldersReconciled;
    detached.insert(detached.end(), changed.detached.begin(), changed.detached.end());
    if (!changed.added.empty() || !changed.moved.empty() || !changed.newFiles.empty()) {
        std::unordered_set<fsf_fid> arrived(changed.added.begin(), changed.added.end());
        arrived.insert(changed.moved.begin(), changed.moved.end());
        arrived.insert(changed.newFiles.begin(), changed.newFiles.end());
        for (const FlrDatabase::Child& c : lv.listing)
            if (arrived.count(c.fid))
                (c.type == FLR_FTYPE_DIR ? lv.newFolders : lv.newFiles).insert(c.name);
    }
    return true;
}

// One transaction for the names gathered; done again from the start when
// the engine rolled it back to grow its map. A record's folder need not be
// written first: nothing here looks the names up.
void FlrIfind::Walk::writeNames() {
    if (names.empty()) return;
    for (int attempt = 1;; ++attempt) {
        TCtreeTable::BatchScope batch =
            db->transaction(names.size() * 512, TCtreeTable::Flush::Background);
        if (batch.beginResult() != TCtreeTable::kOk)
            IFIND_FAIL("FlrIfind::recurseDir", "Failed to start a name database transaction: " +
                                                   TCtreeTable::errToString(batch.beginResult()));
        int rc = TCtreeTable::kBatchRolledBack;
        try {
            for (const Name& n : names) db->addNode(n.dir, n.name, n.fid, n.type, 0);
            rc = batch.commit();
        } catch (const JxException&) {
            if (!db->rolledBackForMap() || attempt >= 10) throw;
        }
        if (rc == TCtreeTable::kOk) break;
        if (rc != TCtreeTable::kBatchRolledBack || attempt >= 10)
            IFIND_FAIL("FlrIfind::recurseDir",
                       "Failed to write names to the database: " + TCtreeTable::errToString(rc));
        db->clearCache();
    }
    names.clear();
}

// A folder removed while it was read: like an entry that vanished after it
// was listed, it is left out; its removal reaches the replica by the journal
// or the next scan.
void FlrIfind::Walk::folderGone() {
    EvDebug::Debug("FlrIfind::recurseDir", "%s removed while it was read", walkPath.c_str());
}

// False when the entry is gone since it was stat-ed.
bool FlrIfind::Walk::fidOfEntry(int dirFd, const char* name, fsf_fid* fid) {
    try {
        *fid = driver->getFIDAt(dirFd, name, false);
        return true;
    } catch (const JxException& e) {
        if (e.getCode() != ENOENT) throw;
        EvDebug::Debug("FlrIfind::recurseDir", "%s/%s removed while it was read", walkPath.c_str(),
                       name);
        return false;
    }
}

void FlrIfind::Walk::descend(int dirFd, const char* name, long timestamp,
                             const struct stat& dirStat, const struct stat& childStat,
                             const fsf_fid& childFid, int depth) {
    PathMark walkMark(walkPath);
    walkPath += '/';
    walkPath += name;
    jx::File child = jx::openDirAt(dirFd, name);
    if (!child.valid()) {
        const int err = errno;
        // Gone or replaced since it was stat-ed: like an entry that vanished.
        if (err == ENOENT || err == ENOTDIR || err == ELOOP) {
            EvDebug::Error("FlrIfind::recurseDir", "Failed to open directory %s: %s",
                           walkPath.c_str(), jxErrnoText(err).c_str());
            return;
        }
        IFIND_FAIL("FlrIfind::recurseDir",
                   ifind::withErrno("Failed to open directory " + walkPath, err));
    }
    recurse(child.get(), timestamp, &dirStat, childStat, childFid, depth + 1);
}

void FlrIfind::Walk::addToDirContents(std::string& block, const struct stat& st,
                                      std::string_view name) {
    try {
        if (attrs) ifind::appendAttributes(block, st);
        block += '\t';
        ifind::appendDirChangeEscaped(block, name);
        block += '\n';
    } catch (const std::bad_alloc&) {
        IFIND_FAIL("FlrIfind::addToDirContents", "Memory allocation failed.");
    }
}
