// The scanner's entry points and what every scan does at its start and end.
#include "FlrIfind.h"

#include <fcntl.h>

#include <cerrno>

#include "FlrFilter.h"
#include "FlrIfindImpl.h"
#include "FlrIfindWalk.h"
#include "db/FlrDatabase.h"
#include "env/FlrHelper.h"
#include "env/FlrJobClient.h"
#include "platform/EvDebug.h"
#include "platform/FlrDriver.h"
#include "platform/JxDirReader.h"
#include "platform/JxUtf.h"

namespace {

bool isEmpty(const char* s) {
    return !s || !*s;
}

std::string localPath(const char* function, const std::string& utf) {
    std::string local;
    if (!utfToMbe(utf, local))
        IFIND_FAIL(function, ifind::withErrno("Failed to stat " + utf, EILSEQ));
    return local;
}

struct stat statOrFail(const char* function, const std::string& local, const std::string& shown) {
    struct stat st;
    if (jx::fileOps().statAt(AT_FDCWD, local.c_str(), &st, 0) != 0)
        IFIND_FAIL(function, ifind::withErrno("Failed to stat " + shown, errno));
    return st;
}

// The top of a walk may itself be reached through a symbolic link.
jx::File openTop(const char* function, const std::string& local, const std::string& shown) {
    jx::File dir(jx::fileOps().openAt(AT_FDCWD, local.c_str(), O_RDONLY | O_DIRECTORY, 0));
    if (!dir.valid())
        IFIND_FAIL(function, ifind::withErrno("Failed to open directory " + shown, errno));
    return dir;
}

std::unique_ptr<FlrFilterConf> filterFor(int setId, int pairId) {
    if (pairId <= 0) return nullptr;
    return std::make_unique<FlrFilterConf>(setId);
}

}  // namespace

FlrIfind::FlrIfind() {
    EvDebug::Debug("FlrIfind", "Initializing file scanner...");
}

FlrIfind::~FlrIfind() = default;

std::unique_ptr<FlrDriver> FlrIfind::makeDriver() const {
    return counter_ ? std::make_unique<FlrDriver>(*counter_) : std::make_unique<FlrDriver>();
}

void FlrIfind::setProgress(std::function<void(const FlrIfind&)> callback, int64_t every) {
    progress_ = std::move(callback);
    progressEvery_ = every > 0 ? every : 1;
    nextProgress_ = entries_ + progressEvery_;
}

void FlrIfind::countEntry() {
    if (++entries_ >= nextProgress_ && progress_) {
        nextProgress_ = entries_ + progressEvery_;
        progress_(*this);
    }
}

void FlrIfind::openFiles(const char* function, Files& files, const char* collectFile,
                         const char* dirchangeFile, bool append, bool dirchangeOptional) {
    files.collect.open(function, collectFile ? collectFile : "", append);
    if (dirchangeOptional && isEmpty(dirchangeFile)) return;
    files.dirchange.open(function, dirchangeFile ? dirchangeFile : "", false);
}

void FlrIfind::finish(const char* function, Files& files, int pairId, bool baselineTotals) {
    (void)function;
    // Both written whole before either is kept: a failure on the second
    // still deletes the first.
    files.collect.close();
    files.dirchange.close();
    files.collect.keep();
    files.dirchange.keep();
    files.committed = true;
    lastFiles_ = fileCount;
    lastBytes_ = byteCount;
    if (pairId < 0) {
        if (baselineTotals) fileCount = byteCount = 0;
        return;
    }
    reportToJob(pairId, baselineTotals);
}

void FlrIfind::reportToJob(int pairId, bool baselineTotals) {
    std::unique_ptr<FlrJobClient> job = openJobClient(pairId);
    job->setNumberOfFilesToTransfer(fileCount);
    job->setDataToTransfer(byteCount);
    job->updateInfo(false, nullptr);
    if (baselineTotals) {
        EvDebug::Debug("FlrIfind", "Transferred %lld bytes, %lld files",
                       static_cast<long long>(byteCount), static_cast<long long>(fileCount));
        fileCount = byteCount = 0;
        return;
    }
    EvDebug::Debug("FlrIfind", "Going to transfer %lld bytes, %lld files",
                   static_cast<long long>(byteCount), static_cast<long long>(fileCount));
}

void FlrIfind::pathWalk(Walk& walk, Files& files, const FlrFilterConf* filter,
                        const std::string& walkPath, const std::string& reportPath) {
    walk.self = this;
    walk.collect = &files.collect;
    walk.dirchange = files.dirchangeOrNull();
    walk.filter = filter;
    walk.excludes = excludes;
    walk.walkPath = walkPath;
    walk.reportPath = reportPath;
    walk.attrs = dirchangeFormat == kFormatAttributes;
    walk.convert = utfNeedsConversion();
}

// --- baseline ----------------------------------------------------------------

void FlrIfind::baseline(const char* srcDir, const char* collectFile, const char* dirchangeFile,
                        int pairId, bool append) {
    static const char* fn = "FlrIfind::baseline";
    const std::string src = FlrHelper::stripTrailingSlashes(srcDir ? srcDir : "");
    const int setId = pairId > 0 ? FlrHelper::pairToSetId(2, pairId) : 0;
    EvDebug::Debug("FlrIfind", "Beginning baselining/copyback scan...");
    EvDebug::Debug("FlrIfind", "Source Dir     = %s", src.c_str());
    EvDebug::Debug("FlrIfind", "Collect File   = %s", collectFile ? collectFile : "NULL");
    EvDebug::Debug("FlrIfind", "Dirchange File = %s",
                   isEmpty(dirchangeFile) ? "NULL" : dirchangeFile);
    EvDebug::Debug("FlrIfind", "Rep Pair ID    = %d", pairId);
    EvDebug::Debug("FlrIfind", "Rep Set  ID  = %lu", static_cast<unsigned long>(setId));
    const std::unique_ptr<FlrFilterConf> filter = filterFor(setId, pairId);

    Files files;
    openFiles(fn, files, collectFile, dirchangeFile, append, true);
    const std::string local = localPath(fn, src);
    const struct stat top = statOrFail(fn, local, src);
    Walk walk;
    pathWalk(walk, files, filter.get(), local, src);
    jx::File dir = openTop("FlrIfind::recurseDir", local, src);
    walk.recurse(dir.get(), 0, nullptr, top, fsf_fid(), 0);
    dir.reset();
    finish(fn, files, pairId, true);
}

// --- SDR smart-sync ----------------------------------------------------------

namespace {

void logSmartSyncParameters(long timestamp, const char* collectFile, const char* dirchangeFile,
                            int pairId, int setId, int format) {
    EvDebug::Debug("FlrIfind", "Timestamp      = %ld (%s)", timestamp,
                   ifind::timeText(timestamp).c_str());
    EvDebug::Debug("FlrIfind", "Collect File   = %s", collectFile ? collectFile : "NULL");
    EvDebug::Debug("FlrIfind", "Dirchange File = %s", dirchangeFile ? dirchangeFile : "NULL");
    EvDebug::Debug("FlrIfind", "Rep Pair ID    = %d", pairId);
    EvDebug::Debug("FlrIfind", "Rep Set  ID    = %lu", static_cast<unsigned long>(setId));
    EvDebug::Debug("FlrIfind", "DirChange Fmt  = %s", ifind::formatName(format));
}

}  // namespace

void FlrIfind::smartsyncSDR(const char* srcDir, long timestamp, const char* collectFile,
                            const char* dirchangeFile, int pairId) {
    static const char* fn = "FlrIfind::smartsyncSDR";
    const std::string src = FlrHelper::stripTrailingSlashes(srcDir ? srcDir : "");
    const int setId = pairId > 0 ? FlrHelper::pairToSetId(2, pairId) : 0;
    EvDebug::Debug("FlrIfind", "Beginning SDR smart-sync scan...");
    EvDebug::Debug("FlrIfind", "Source Dir     = %s", src.c_str());
    logSmartSyncParameters(timestamp, collectFile, dirchangeFile, pairId, setId, dirchangeFormat);
    const std::unique_ptr<FlrFilterConf> filter = filterFor(setId, pairId);

    Files files;
    openFiles(fn, files, collectFile, dirchangeFile, false, false);
    const std::string local = localPath(fn, src);
    const struct stat top = statOrFail(fn, local, src);
    Walk walk;
    pathWalk(walk, files, filter.get(), local, src);
    jx::File dir = openTop("FlrIfind::recurseDir", local, src);
    walk.sinceNanos = timestampNanos;
    walk.changedOnly = changedEntriesOnly;
    walk.recurse(dir.get(), timestamp, nullptr, top, fsf_fid(), 0);
    dir.reset();
    finish(fn, files, pairId, false);
}

// --- DDR smart-sync ----------------------------------------------------------

// Enters the chain from the source folder up to its mount point, so the
// database's root is the mount point and its paths are relative to it.
void FlrIfind::rebuildDdrDatabase(const std::string& srcLocal, FlrDatabase& db, FlrDriver& driver) {
    static const char* fn = "FlrIfind::smartsyncDDR";
    struct stat st;
    if (jx::fileOps().statAt(AT_FDCWD, srcLocal.c_str(), &st, 0) == 0)
        db.delTree(driver.getFID(srcLocal, true));
    const std::string mount = FlrHelper::getMountDir(srcLocal.c_str());
    std::string dir = srcLocal;
    while (dir.size() > mount.size() && dir != "/") {
        const size_t slash = dir.rfind('/');
        if (slash == std::string::npos) IFIND_FAIL(fn, "Invalid directory name \"" + dir + "\"");
        const std::string parent = slash == 0 ? "/" : dir.substr(0, slash);
        if (jx::fileOps().statAt(AT_FDCWD, dir.c_str(), &st, 0) != 0)
            IFIND_FAIL(fn, ifind::withErrno("Failed to stat " + dir, errno));
        db.addNode(driver.getFID(parent, true), dir.substr(slash + 1), driver.getFID(dir, true),
                   S_ISDIR(st.st_mode) ? FLR_FTYPE_DIR : FLR_FTYPE_FILE, 0);
        dir = parent;
    }
    db.addRootNode(driver.getFID(mount, true));
}

void FlrIfind::smartsyncDDR(const char* snapDir, const char* srcDir, long timestamp,
                            const char* collectFile, const char* dirchangeFile, int pairId,
                            FlrDatabase* db) {
    static const char* fn = "FlrIfind::smartsyncDDR";
    const std::string snap = FlrHelper::stripTrailingSlashes(snapDir ? snapDir : "");
    const std::string src = FlrHelper::stripTrailingSlashes(srcDir ? srcDir : "");
    const int setId = pairId > 0 ? FlrHelper::pairToSetId(2, pairId) : 0;
    EvDebug::Debug("FlrIfind", "Beginning smart-sync scan...");
    EvDebug::Debug("FlrIfind", "Snap Dir       = %s", snap.c_str());
    EvDebug::Debug("FlrIfind", "Source Dir     = %s", src.c_str());
    logSmartSyncParameters(timestamp, collectFile, dirchangeFile, pairId, setId, dirchangeFormat);
    const std::unique_ptr<FlrFilterConf> filter = filterFor(setId, pairId);

    Files files;
    openFiles(fn, files, collectFile, dirchangeFile, false, false);
    const std::string snapLocal = localPath(fn, snap);
    const struct stat top = statOrFail(fn, snapLocal, snap);
    std::unique_ptr<FlrDriver> driver;
    fsf_fid topFid;
    bool reconcile = false;
    if (db) {
        driver = makeDriver();
        const std::string srcLocal = localPath(fn, src);
        topFid = driver->getFID(srcLocal, true);
        reconcile = namesKnownAtTimestamp && timestamp > 0 && namesSource(*db, srcLocal, topFid);
        if (!reconcile) rebuildDdrDatabase(srcLocal, *db, *driver);
    }
    Walk walk;
    pathWalk(walk, files, filter.get(), snapLocal, src);
    walk.db = db;
    walk.driver = driver.get();
    walk.reconcile = reconcile;
    jx::File dir = openTop("FlrIfind::recurseDir", snapLocal, snap);
    walk.sinceNanos = timestampNanos;
    walk.changedOnly = changedEntriesOnly;
    walk.recurse(dir.get(), timestamp, nullptr, top, topFid, 0);
    dir.reset();
    if (db) walk.writeNames();
    foldersReconciled = walk.foldersReconciled;
    if (reconcile) {
        const size_t dropped = db->dropDetached(walk.detached);
        EvDebug::Debug("FlrIfind", "Names reconciled in %lld changed folders, %zu removed subtrees",
                       static_cast<long long>(foldersReconciled), dropped);
    }
    finish(fn, files, pairId, false);
}

// Whether the database names the source folder where it is: a source
// replaced or moved since, or a database that lost it, is rebuilt whole.
bool FlrIfind::namesSource(FlrDatabase& db, const std::string& srcLocal, const fsf_fid& srcFid) {
    const std::string mount = FlrHelper::getMountDir(srcLocal.c_str());
    const std::string rel = srcLocal.substr(mount == "/" ? 0 : mount.size());
    return db.fidToNodeName(srcFid) == (rel.empty() ? "/" : rel);
}
