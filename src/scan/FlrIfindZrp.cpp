// The ZRP scan: lists the live file system by file id, every directory
// between two journal marks, reconciles the name database with the listings
// and then writes the collect and dirchange files from the database.
//
// Directories are listed through a descriptor that openByFID points at them,
// with getdents and fstatat relative to it: the working directory of the
// process is never changed (other threads of a service use relative paths).
#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <deque>
#include <list>
#include <thread>

#include "FlrFilter.h"
#include "FlrIfind.h"
#include "FlrIfindImpl.h"
#include "db/FlrDatabase.h"
#include "env/FlrHelper.h"
#include "mgmt/MgmtConfig.h"
#include "platform/EvDebug.h"
#include "platform/FlrDriver.h"
#include "platform/JxDirReader.h"
#include "platform/JxUtf.h"

namespace {

std::string hexOf(const fsf_fid& fid) {
    return fid.toString();
}

// One directory's listing, taken until the driver reports it unchanged
// across the listing; returns the sequence number it is consistent with.
class DirLister {
  public:
    DirLister(FlrDriver& driver, bool convert) : driver_(driver), convert_(convert) {}

    uint64_t list(int fd, dev_t dev, const fsf_fid& id, std::list<FlrDatabase::Child>& out,
                  int64_t& entries) {
        uint64_t seq = 0;
        for (int attempt = 0;; ++attempt) {
            driver_.startDetailStat(dev, id);
            out.clear();
            readOnce(fd, id, out);
            int changed = 0;
            driver_.stopDetailStat(dev, id, &seq, &changed);
            entries += static_cast<int64_t>(out.size());
            if (!changed) return seq;
            // Time stamps of a directory changed just now cannot tell a
            // second change apart; give the clock a tick before trying again.
            if (attempt >= 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

  private:
    void readOnce(int fd, const fsf_fid& id, std::list<FlrDatabase::Child>& out) {
        static const char* fn = "FlrIfind::zrpscan";
        if (reader_.start(fd) != 0)
            IFIND_FAIL(fn, ifind::withErrno("Failed to open dir " + hexOf(id), errno));
        const char* name = nullptr;
        unsigned char type = 0;
        for (;;) {
            const int got = reader_.next(&name, &type);
            if (got < 0)
                IFIND_FAIL(fn, ifind::withErrno("Failed to read directory " + hexOf(id), errno));
            if (got == 0) return;
            struct stat st;
            if (jx::statAt(fd, name, &st) != 0) {
                if (errno == ENOENT) continue;  // vanished since it was read
                IFIND_FAIL(fn,
                           ifind::withErrno(std::string("Failed to stat child ") + name, errno));
            }
            FlrDatabase::Child child;
            try {
                child.fid = driver_.getFIDAt(fd, name, false);
            } catch (const JxException& e) {
                if (e.getCode() == ENOENT) continue;
                throw;
            }
            if (!convert_ || !mbeToUtf(name, child.name)) child.name = name;
            child.type = S_ISDIR(st.st_mode) ? FLR_FTYPE_DIR : FLR_FTYPE_FILE;
            child.scan_seqnum = 0;
            out.push_back(std::move(child));
        }
    }

    FlrDriver& driver_;
    bool convert_;
    jx::DirReader reader_;
};

void logListing(const fsf_fid& id, const std::list<FlrDatabase::Child>& listing) {
    if (!EvDebug::enabled(2)) return;
    EvDebug::DebugLvl("FlrIfind", 2, "Directory FID %s", hexOf(id).c_str());
    for (const FlrDatabase::Child& c : listing)
        EvDebug::DebugLvl("FlrIfind", 2, "   %c %s", c.type == FLR_FTYPE_DIR ? 'D' : 'F',
                          c.name.c_str());
}

}  // namespace

void FlrIfind::zrpListLiveTree(const fsf_fid& startFid, int sourceFd, FlrDatabase& db,
                               FlrDriver& driver) {
    static const char* fn = "FlrIfind::zrpscan";
    // A descriptor of our own that openByFID points at each directory.
    jx::File dirFd(jx::fileOps().openAt(sourceFd, ".", O_RDONLY | O_DIRECTORY, 0));
    if (!dirFd.valid()) IFIND_FAIL(fn, ifind::withErrno("Failed to open dir .", errno));
    DirLister lister(driver, utfNeedsConversion());
    std::list<fsf_fid> queue{startFid};
    std::list<FlrDatabase::Child> listing;
    while (!queue.empty()) {
        const fsf_fid id = queue.front();
        queue.pop_front();
        struct stat st;
        if (driver.openByFID(dirFd.get(), id, &st) < 0) {
            FLR_FTYPE type = FLR_FTYPE_FILE;
            if (id == startFid && !db.fidToNodeName(startFid, nullptr, &type).empty() &&
                type == FLR_FTYPE_DIR) {
                // The start directory is gone: so is everything below it.
                uint64_t seq = 0;
                driver.injectNOOP(&seq, nullptr);
                db.updateDir(startFid, seq, queue, {});
            }
            continue;
        }
        if (!S_ISDIR(st.st_mode)) continue;
        int64_t listed = 0;
        const uint64_t seq = lister.list(dirFd.get(), st.st_dev, id, listing, listed);
        for (int64_t i = 0; i < listed; ++i) countEntry();
        logListing(id, listing);
        db.updateDir(id, seq, queue, listing);
    }
}

// --- output from the database ------------------------------------------------

struct FlrIfind::FidWalk {
    FlrIfind* self = nullptr;
    Output* collect = nullptr;
    Output* dirchange = nullptr;
    const FlrFilterConf* filter = nullptr;
    FlrDatabase* db = nullptr;
    FlrDriver* driver = nullptr;
    int statFd = -1;
    bool attrs = false;
    // Per depth; a deque, so growing it leaves the callers' blocks in place.
    std::deque<std::string> blocks;

    void recurse(const fsf_fid& dirFid, uint64_t dirSeq, std::string& dirPath, long timestamp,
                 uint64_t startSeq, const struct stat* parentStat, const struct stat& dirStat,
                 int depth) {
        // The directory by id, so its children can be stat-ed by name
        // relative to it (a third of the cost of opening each by id).
        jx::File dirFd(::fcntl(statFd, F_DUPFD_CLOEXEC, 0));
        if (dirFd.valid() && driver->openByFID(dirFd.get(), dirFid, nullptr) < 0) dirFd.reset();
        const bool changed = ifind::changedSince(dirStat, timestamp);
        const long childTimestamp =
            parentStat && changed && ifind::changedSince(*parentStat, timestamp) ? 0 : timestamp;
        const bool listedNow = startSeq <= dirSeq;
        const uint64_t childStartSeq = dirSeq >= startSeq ? 0 : startSeq;
        if (static_cast<int>(blocks.size()) <= depth) blocks.resize(static_cast<size_t>(depth) + 1);
        std::string& block = blocks[static_cast<size_t>(depth)];
        block.clear();
        if (dirchange) {
            ifind::appendDirChangeEscaped(block, dirPath);
            block += '\n';
        }
        const std::list<FlrDatabase::Child> children = db->getChildList(dirFid);
        for (const FlrDatabase::Child& c : children) {
            const size_t mark = dirPath.size();
            dirPath += '/';
            dirPath += c.name;
            visit(c, dirFid, dirFd.get(), dirPath, timestamp, childTimestamp, changed, listedNow,
                  childStartSeq, dirStat, depth, block);
            dirPath.resize(mark);
        }
        if (dirchange) {
            dirchange->buffer().append(block);
            dirchange->flushIfFull();
        }
        if (listedNow && ifind::changedSince(dirStat, timestamp))
            self->addToCollect(*collect, 'D', dirFid, dirPath);
    }

  private:
    // The child's stat: by name when the name still holds the recorded id,
    // else by id (renamed or replaced since the listing).
    bool statChild(int dirFd, const FlrDatabase::Child& c, struct stat* st) {
        if (dirFd >= 0 && jx::statAt(dirFd, c.name.c_str(), st) == 0) {
            try {
                if (driver->getFIDAt(dirFd, c.name, false) == c.fid) return true;
            } catch (const JxException&) {
                // gone or not comparable: ask by id
            }
        }
        return driver->statByFID(statFd, c.fid, st) == 0;
    }

    void visit(const FlrDatabase::Child& c, const fsf_fid& dirFid, int dirFd, std::string& path,
               long timestamp, long childTimestamp, bool dirChanged, bool listedNow,
               uint64_t childStartSeq, const struct stat& dirStat, int depth, std::string& block) {
        if (filter && filter->match(path)) {
            EvDebug::Debug("FlrIfind", "Filtering out %s", path.c_str());
            db->delTree(dirFid, c.name);
            return;
        }
        // A failed stat must never count as recent.
        struct stat st = {};
        st.st_mtime = st.st_ctime = -1;
        const bool statOk = statChild(dirFd, c, &st);
        if (!statOk) {
            st = {};
            st.st_mtime = st.st_ctime = -1;
        }
        if (dirchange) {
            if (attrs) ifind::appendAttributes(block, st);
            block += '\t';
            ifind::appendDirChangeEscaped(block, c.name);
            block += '\n';
        }
        if (c.type == FLR_FTYPE_DIR) {
            if (statOk && S_ISDIR(st.st_mode) && st.st_dev == dirStat.st_dev)
                recurse(c.fid, c.scan_seqnum, path, childTimestamp, childStartSeq, &dirStat, st,
                        depth + 1);
            return;
        }
        if (listedNow && (dirChanged || ifind::changedSince(st, timestamp))) {
            self->addToCollect(*collect, 'F', c.fid, path);
            self->byteCount += st.st_size;
        }
    }
};

void FlrIfind::zrpscan(const fsf_fid& startFid, long timestamp, const char* collectFile,
                       const char* dirchangeFile, int pairId) {
    static const char* fn = "FlrIfind::zrpscan";
    std::string configured;
    if (FileReplicationSubClient(pairId).getsrcPath(&configured) != 0 || configured.empty())
        IFIND_FAIL(fn, "Failed to get source directory name for pair " + std::to_string(pairId));
    EvDebug::Debug("FlrIfind", "pair_id=%d, src_dir=%s", pairId, configured.c_str());
    const std::string src = FlrHelper::stripTrailingSlashes(configured);
    std::string local;
    if (!utfToMbe(src, local)) local = src;
    struct stat srcStat;
    if (jx::fileOps().statAt(AT_FDCWD, local.c_str(), &srcStat, 0) != 0)
        IFIND_FAIL(fn, ifind::withErrno("Failed to stat source folder [" + src + "] of pair " +
                                            std::to_string(pairId),
                                        errno));
    const std::unique_ptr<FlrDriver> driverOwner = makeDriver();
    FlrDriver& driver = *driverOwner;
    const fsf_fid srcFid = driver.getFID(local, true);
    const int setId = FlrHelper::pairToSetId(2, pairId);
    EvDebug::Debug("FlrIfind", "Beginning ZRP scan...");
    EvDebug::Debug("FlrIfind", "Start FID       = %s", hexOf(startFid).c_str());
    EvDebug::Debug("FlrIfind", "Pair Source Dir = %s", src.c_str());
    EvDebug::Debug("FlrIfind", "Pair Source FID = %s", hexOf(srcFid).c_str());
    EvDebug::Debug("FlrIfind", "Timestamp       = %ld (%s)", timestamp,
                   ifind::timeText(timestamp).c_str());
    EvDebug::Debug("FlrIfind", "Collect File    = %s", collectFile ? collectFile : "NULL");
    EvDebug::Debug("FlrIfind", "Dirchange File  = %s", dirchangeFile ? dirchangeFile : "NULL");
    EvDebug::Debug("FlrIfind", "Rep Pair ID     = %d", pairId);
    EvDebug::Debug("FlrIfind", "Rep Set  ID     = %lu", static_cast<unsigned long>(setId));
    EvDebug::Debug("FlrIfind", "DirChange Fmt   = %s", ifind::formatName(dirchangeFormat));
    FlrFilterConf filter(setId);

    FlrDatabase db(FlrHelper::getDatabaseDir(pairId));
    if (db.fidToNodeName(startFid).empty()) db.addRootNode(startFid);
    Files files;
    openFiles(fn, files, collectFile, dirchangeFile, false, false);
    jx::File sourceFd(jx::fileOps().openAt(AT_FDCWD, local.c_str(), O_RDONLY | O_DIRECTORY, 0));
    if (!sourceFd.valid())
        IFIND_FAIL(fn, ifind::withErrno("Failed to open pair's source folder " + src, errno));
    EvDebug::Debug("FlrIfind", "Scanning live FS starting with FID=%s", hexOf(startFid).c_str());
    uint64_t startSeq = 0;
    driver.injectNOOP(&startSeq, nullptr);
    zrpListLiveTree(startFid, sourceFd.get(), db, driver);
    db.removeDisconnected(startFid);
    EvDebug::Debug("FlrIfind", "Live FS scan complete.");
    EvDebug::Debug("FlrIfind", "Generating collect and dirchange files.");

    const int64_t linesBefore = fileCount;
    uint64_t srcSeq = 0;
    if (!db.fidToNodeName(srcFid, &srcSeq).empty()) {
        FidWalk walk;
        walk.self = this;
        walk.collect = &files.collect;
        walk.dirchange = files.dirchangeOrNull();
        walk.filter = &filter;
        walk.db = &db;
        walk.driver = &driver;
        walk.statFd = sourceFd.get();
        walk.attrs = dirchangeFormat == kFormatAttributes;
        std::string path = src;
        walk.recurse(srcFid, srcSeq, path, timestamp, startSeq, nullptr, srcStat, 0);
    }
    if (fileCount == linesBefore) {
        // Nothing to copy: one line still names the start directory.
        FLR_FTYPE type = FLR_FTYPE_DIR;
        const std::string node = db.fidToNodeName(startFid, nullptr, &type);
        const std::string path =
            startFid == srcFid
                ? src
                : FlrHelper::stripTrailingSlashes(FlrHelper::getMountDir(local.c_str()) + node);
        addToCollect(files.collect, type == FLR_FTYPE_DIR ? 'D' : 'F', startFid, path);
    }
    sourceFd.reset();
    finish(fn, files, pairId, false);
}
