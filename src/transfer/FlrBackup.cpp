// The transfer driver: settings, directory pairs, collect entries, opening
// files, progress, and the choice of method for a run.
#include "FlrBackup.h"

#include <fcntl.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "digest/Jxc.h"
#include "env/FlrJobClient.h"
#include "mgmt/MgmtConfig.h"
#include "net/FlrNetHead.h"
#include "platform/EvDebug.h"
#include "platform/FlrDriver.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxACL.h"
#include "platform/JxDirFd.h"
#include "platform/JxFile.h"
#include "scan/FlrCollectFile.h"

namespace {

std::string stripTrailingSlashes(const char* path) {
    std::string s = path ? path : "";
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

// True when path lies at or beneath src ("/data" covers "/data" and
// "/data/x", not "/database").
bool covers(const std::string& src, const char* path) {
    if (src == "/") return true;
    const size_t n = src.size();
    return std::strncmp(path, src.c_str(), n) == 0 && (path[n] == '\0' || path[n] == '/');
}

// "node/size" with 0 < node <= size.
bool parseClusterId(const std::string& text, int& node, int& size) {
    const size_t slash = text.find('/');
    if (slash == std::string::npos) return false;
    char* end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (end != text.c_str() + slash) return false;
    const char* rest = text.c_str() + slash + 1;
    const long s = std::strtol(rest, &end, 10);
    if (end == rest || *end != '\0') return false;
    if (n <= 0 || s <= 0 || n > s || s > 1000000) return false;
    node = static_cast<int>(n);
    size = static_cast<int>(s);
    return true;
}

long long nowSeconds() {
    return static_cast<long long>(std::time(nullptr));
}

}  // namespace

FlrBackup::FlrBackup(FlrNetHead* head, JxSafeFlags* abort, FlrDriver* driver)
    : head_(head), abort_(abort), driver_(driver) {
    const char* fn = "FlrBackup::FlrBackup";
    if (!head || !abort) JX_THROW(fn, "Invalid arguments: NULL pointers passed as input.");
    readSettings();
    EvDebug::Debug(fn, "Default minimum file size for hashing: %d", kDefaultHashMinFileSize);
    EvDebug::Debug(fn, "Default maximum file size for RSync: %d", kDefaultRSyncMaxFileSize);
    EvDebug::Debug(fn, "Default hash chunk size: %d", kDefaultHashChunkSize);
    const int blocks = std::max(3, kTransferBufferBytes / hashChunkSize);
    bufSize_ = blocks * hashChunkSize;
    buf_ = std::malloc(static_cast<size_t>(bufSize_));
    if (!buf_) JX_THROW(fn, "Memory allocation failed.");
    lastRefill_ = nowSeconds();
}

FlrBackup::~FlrBackup() {
    abortLBFS();
    stopPlanner();
    std::free(buf_);
}

void FlrBackup::readSettings() {
    const char* fn = "FlrBackup::FlrBackup";
    int value = 0;
    if (JXPlatformInfo::getNumber("ZRP", "bNoACL", value) && value != 0) {
        EvDebug::Debug(fn, "bNoACL is set in registry. Not mirroring ACLs.");
    } else if (JxACL::Helper::supported()) {
        aclHelper_ = std::make_unique<JxACL::Helper>();
    } else {
        EvDebug::Debug(fn, "ACL is not supported.");
    }
    struct Switch {
        const char* key;
        bool* flag;
        const char* text;
    };
    const Switch switches[] = {
        {"nDisableMD5", &disableMD5_, "Disabling dedup as per ZRP/nDisableMD5"},
        {"nDisableRSync", &disableRSync_, "Disabling dedup as per ZRP/nDisableRSync"},
        {"nDisableLBFS", &disableLBFS_, "Disabling dedup as per ZRP/nDisableLBFS"},
    };
    for (const Switch& s : switches) {
        value = 0;
        if (JXPlatformInfo::getNumber("ZRP", s.key, value) && value != 0) {
            *s.flag = true;
            EvDebug::Debug(fn, "%s", s.text);
        }
    }
    std::string cluster;
    if (JXPlatformInfo::getString("ZRP", "sClusterNodeID", cluster) && !cluster.empty()) {
        if (parseClusterId(cluster, clusterNode_, clusterSize_)) {
            EvDebug::Debug(fn, "This is cluster node %d of %d (ZRP/sClusterNodeID)", clusterNode_,
                           clusterSize_);
        } else {
            clusterNode_ = clusterSize_ = 0;
            EvDebug::Error(fn, "Invalid ZRP/sClusterNodeID=%s", cluster.c_str());
        }
    }
}

void FlrBackup::setProgressCallback(ProgressFn fn, void* context) {
    progressFn_ = fn;
    progressCtx_ = context;
}

// --- directory pairs ---------------------------------------------------------------

void FlrBackup::addDirPair(const char* src, const char* dst) {
    DirPair pair{stripTrailingSlashes(src), stripTrailingSlashes(dst), nullptr};
    for (const DirPair& p : pairs_)
        if (p.src == pair.src) return;
    jx::File root = jx::openDirectory(pair.src);
    if (root) pair.srcRoot = std::make_shared<const jx::File>(std::move(root));
    pairs_.push_back(std::move(pair));
}

std::string FlrBackup::translate(const char* path, const DirPair& pair) {
    if (pair.src == "/") return pair.dst + path;
    if (covers(pair.src, path)) return pair.dst + (path + pair.src.size());
    return path;
}

std::string FlrBackup::translate(const char* path, const DirPair** matched) const {
    const DirPair* best = nullptr;
    for (const DirPair& p : pairs_) {
        if (!covers(p.src, path)) continue;
        const size_t len = p.src == "/" ? 1 : p.src.size();
        const size_t bestLen = !best ? 0 : best->src == "/" ? 1 : best->src.size();
        if (!best || len > bestLen) best = &p;
    }
    if (matched) *matched = best;
    return best ? translate(path, *best) : std::string(path);
}

// --- collect entries -----------------------------------------------------------------

bool FlrBackup::parseLine(const char* line, File& f) const {
    if (!driver_) {
        f.type = 'F';
        f.fid = fsf_fid::fid0;
        f.src = line;
        return !f.src.empty();
    }
    FlrCollectEntry entry;
    if (!FlrCollectFile::parseTypedLine(line, &entry)) return false;
    f.type = entry.type;
    f.fid = entry.fid;
    f.src = std::move(entry.path);
    return true;
}

bool FlrBackup::handledByThisNode(const std::string& path) const {
    if (clusterSize_ == 0) return true;
    unsigned char digest[20];
    Jxc::sha1(path.data(), path.size(), digest);
    return digest[0] % clusterSize_ + 1 == clusterNode_;
}

bool FlrBackup::nextEntry(File& f) {
    char line[kCollectLineSize];
    for (;;) {
        if (!cf_->readLine(line, sizeof line)) return false;
        f = File();
        if (!parseLine(line, f)) {
            EvDebug::Error("FlrBackup::backup", "Skipping malformed collect line: %s", line);
            continue;
        }
        f.collectOffset = static_cast<unsigned long long>(cf_->getOffset());
        if (f.type == 'F' && !handledByThisNode(f.src)) continue;
        f.dst = translate(f.src.c_str(), nullptr);
        return true;
    }
}

bool FlrBackup::statEntry(File& f) {
    const char* fn = "FlrBackup::openFile";
    if (f.fid.isZero()) {
        if (jx::fileOps().lstat(f.src.c_str(), &f.st) == 0) return true;
        const int err = errno;
        if (skipVanished) {
            EvDebug::DebugLvl(fn, 2, "Couldn't stat %s: %s", f.src.c_str(),
                              jxErrnoText(err).c_str());
            return false;
        }
        JX_THROW_CODE(fn, "Failed to stat file " + f.src, err);
    }
    // By id the open describes the entry; a descriptor of a directory or a
    // link is of no further use here.
    const int fd = openFile(f.src.c_str(), f.fid, &f.st);
    if (fd < 0) return false;
    jx::fileOps().close(fd);
    return true;
}

void FlrBackup::gatherACL(File& f, int fd) {
    if (!aclHelper_ || S_ISLNK(f.st.st_mode)) return;
    try {
        f.acl = fd >= 0 ? aclHelper_->get(fd) : aclHelper_->get(f.src);
    } catch (const JxException& e) {
        EvDebug::Error("FlrBackup::backup", "Failed to get ACL info for %s: %s", f.src.c_str(),
                       e.getMessage().c_str());
        f.acl.clear();
    }
}

// --- opening and reading -----------------------------------------------------------------

int FlrBackup::openFile(const char* path, const fsf_fid& fid, struct stat* st) {
    const char* fn = "FlrBackup::openFile";
    if (fid.isZero()) return openBeneathSource(path, st);
    if (!driver_) JX_THROW(fn, "Internal error: Can't open files by FID w/o FlrDriver");
    const DirPair* pair = nullptr;
    translate(path, &pair);
    if (!pair) JX_THROW(fn, std::string("Couldn't relate ") + path + " to any replication pair");
    const int dirFd = jx::fileOps().open(pair->src.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    const std::string id = fid.toString();
    if (dirFd < 0) JX_THROW(fn, "Couldn't open FID " + id + " due to unknown error");
    const int fd = driver_->openByFID(dirFd, fid, st);
    const int err = errno;
    if (fd >= 0) return fd;
    jx::fileOps().close(dirFd);
    if (err == ENOENT || err == ESTALE) {
        if (skipVanished) {
            EvDebug::Debug(fn, "Couldn't open FID %s because it's no longer on the FS", id.c_str());
            return -1;
        }
        JX_THROW(fn, "Couldn't open FID " + id + " because it's no longer on the FS");
    }
    if (err == EISDIR || err == ELOOP || err == ENOTDIR)
        JX_THROW(fn, "Couldn't open FID " + id + " because it's no a file");
    JX_THROW(fn, "Couldn't open FID " + id + " due to unknown error");
}

// Opened beneath its pair's source folder without following a link on the
// way, and described by fstat of what was opened: a folder swapped for a link
// between the scan and here cannot make a root head read outside the source,
// and the header always describes the bytes that are read. An entry that is
// no longer a regular file there (a folder, a link, a FIFO now) is left to the
// next pass, which sees it as it is then: one entry never ends the run.
int FlrBackup::openBeneathSource(const char* path, struct stat* st) {
    const char* fn = "FlrBackup::openFile";
    const DirPair* pair = nullptr;
    translate(path, &pair);
    const int flags = O_RDONLY | O_LARGEFILE | O_NONBLOCK | O_NOCTTY;
    jx::File file;
    if (pair && pair->srcRoot) {
        const size_t skip =
            pair->src == "/" ? 1 : pair->src.size() + (path[pair->src.size()] ? 1 : 0);
        file = jx::openBeneath(pair->srcRoot->get(), path + skip, flags);
    } else {
        file = jx::openFile(path, flags | O_NOFOLLOW | O_CLOEXEC);
    }
    int err = errno;
    if (file && jx::fileOps().fstat(file.get(), st) != 0) err = errno, file.reset();
    if (file && S_ISREG(st->st_mode)) return file.release();
    if (file || err == ELOOP || err == ENOTDIR || err == EXDEV || err == ENXIO) {
        ++skippedEntries_;
        EvDebug::Error(
            fn, "%s is no longer a regular file of the source; it is left to the next pass", path);
        return -1;
    }
    if (err == ENOENT && skipVanished) {
        EvDebug::DebugLvl(fn, 2, "Couldn't open %s: %s", path, jxErrnoText(err).c_str());
        return -1;
    }
    if (err == ENOENT) JX_THROW_CODE(fn, std::string("Failed to stat file ") + path, err);
    JX_THROW(fn, std::string("Failed to open file ") + path + ": " + jxErrnoText(err));
}

int FlrBackup::readAll(int fd, void* buf, int len) {
    int done = 0;
    while (done < len) {
        const ssize_t n =
            jx::fileOps().read(fd, static_cast<char*>(buf) + done, static_cast<size_t>(len - done));
        if (n > 0) {
            done += static_cast<int>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            JX_THROW("FlrBackup::readAll", "File read error: " + jxErrnoText(errno));
        }
    }
    return done;
}

// --- progress ----------------------------------------------------------------------------

void FlrBackup::countBytes(long long bytes) {
    totalBytes_ += bytes;
    bytesSinceReport_ += bytes;
    if (liveBytes_) liveBytes_->fetch_add(bytes, std::memory_order_relaxed);
}

void FlrBackup::countFile(const File& f, uint8_t method) {
    ++totalFiles_;
    ++filesSinceReport_;
    if (liveFiles_) liveFiles_->fetch_add(1, std::memory_order_relaxed);
    if (onEntrySent) onEntrySent(f.src);
    if (method < 4) ++methodCounts_[method];
    currentFile_ = f.src;
    if (f.collectOffset) lastCollectOffset_ = f.collectOffset;
    refillSampleBudgets();
    pushToBNIfNeeded("FlrBackup::backup");
}

long long FlrBackup::getMethodCount(int method) const {
    return method >= 0 && method < 4 ? methodCounts_[method] : 0;
}

void FlrBackup::refillSampleBudgets() {
    // The link and the disks change speed over a long run: new samples now
    // and then keep the model current at a bounded cost.
    const long long now = nowSeconds();
    if (now - lastRefill_ < kReportSecs) return;
    lastRefill_ = now;
    netSamples_.set(kSampleBudget);
    localSamples_.set(kSampleBudget);
    remoteSamples_.set(kSampleBudget);
}

void FlrBackup::pushToBNIfNeeded(const char* caller) {
    if (bytesSinceReport_ <= kReportBytes && filesSinceReport_ <= kReportFiles) return;
    const long long now = nowSeconds();
    if (now - lastReport_ <= kReportSecs) return;
    EvDebug::Debug(caller, "Transferred %lld bytes, %lld files so far.", totalBytes_, totalFiles_);
    EvDebug::Debug(caller, "mir_file_inc=%d, mir_byte_inc=%lld, job_client=%p", filesSinceReport_,
                   bytesSinceReport_, static_cast<void*>(job_.get()));
    if (job_) {
        job_->setNumberOfTransferedFiles(filesSinceReport_);
        job_->setDataTransfered(bytesSinceReport_);
        job_->setCurrentFile(currentFile_);
        job_->updateInfo(false, nullptr);
    }
    if (progressFn_) progressFn_(totalFiles_, totalBytes_, progressCtx_);
    lastReport_ = now;
    filesSinceReport_ = 0;
    bytesSinceReport_ = 0;
}

void FlrBackup::checkAbort(const char* function) const {
    if (abort_->isSet()) JX_THROW(function, "Aborted");
}

// --- the run -----------------------------------------------------------------------------

void FlrBackup::backup(const char* collectPath, int offset, bool sendOffsets, int pairId) {
    FlrCollectFile cf(collectPath, offset);
    backup(&cf, sendOffsets, pairId);
}

void FlrBackup::logRun(bool sendOffsets, int pairId) {
    const char* fn = "FlrBackup::backup";
    for (size_t i = 0; i < pairs_.size(); ++i) {
        EvDebug::Debug(fn, "Source Dir[%d]      = %s", static_cast<int>(i), pairs_[i].src.c_str());
        EvDebug::Debug(fn, "Destination Dir[%d] = %s", static_cast<int>(i), pairs_[i].dst.c_str());
    }
    EvDebug::Debug(fn, "Collect File       = %s", cf_->getName().c_str());
    EvDebug::Debug(fn, "Collect Offset     = %lu", static_cast<unsigned long>(cf_->getOffset()));
    EvDebug::Debug(fn, "Send CF Offset     = %s", sendOffsets ? "TRUE" : "FALSE");
    EvDebug::Debug(fn, "Rep Pair ID        = %d", pairId);
    EvDebug::Debug(fn, "LBFS Enabled       = %s", useLBFS ? "YES" : "NO");
    EvDebug::Debug(fn, "MD5 Enabled        = %s", useMD5 ? "YES" : "NO");
    EvDebug::Debug(fn, "RSync Enabled      = %s", useRSync ? "YES" : "NO");
    EvDebug::Debug(fn, "Peer version       = %d", static_cast<int>(head_->getPeerVersion()));
}

void FlrBackup::readReplicationSetProperties(int pairId) {
    const char* fn = "FlrBackup::backup";
    hashChunkSize = kDefaultHashChunkSize;
    for (const MgmtConfig::Pair& p : MgmtConfig::listPairs()) {
        if (p.id != pairId) continue;
        int kib = 0;
        const std::string section = "Management/Set/" + std::to_string(p.setId);
        if (JXPlatformInfo::getNumber(section, "nHashBlockSizeKB", kib) && kib > 0 &&
            kib <= kTransferBufferBytes / 1024 / 3)
            hashChunkSize = kib * 1024;
    }
    hashMinFileSize = 0;
    EvDebug::Debug(fn, "Hash Min File Size = ADAPTIVE");
    EvDebug::Debug(fn, "Hash Block Size    = %d", hashChunkSize);
}

void FlrBackup::backup(FlrCollectFile* cf, bool sendOffsets, int pairId) {
    const char* fn = "FlrBackup::backup";
    if (!cf) JX_THROW(fn, "NULL collect file passed as input.");
    if (pairs_.empty()) JX_THROW(fn, "Path translation directory pair list is empty");
    if (hashChunkSize <= 0 || hashChunkSize > kTransferBufferBytes / 3)
        JX_THROW(fn, "Invalid hash chunk size " + std::to_string(hashChunkSize));
    cf_ = cf;
    sendOffsets_ = sendOffsets;
    pairId_ = pairId;
    logRun(sendOffsets, pairId);
    if (pairId >= 0) {
        job_ = openJobClient(pairId);
        readReplicationSetProperties(pairId);
    }
    lastReport_ = nowSeconds();
    currentFile_.clear();
    totalBytes_ = bytesSinceReport_ = totalFiles_ = 0;
    filesSinceReport_ = 0;
    std::fill(std::begin(methodCounts_), std::end(methodCounts_), 0);
    linkNames_ = std::move(seededLinkNames_);
    seededLinkNames_.clear();
    lastCollectOffset_ = static_cast<unsigned long long>(cf->getOffset());
    try {
        runChosenLoop();
    } catch (...) {
        abortLBFS();
        job_.reset();
        cf_ = nullptr;
        throw;
    }
    finishRun();
}

void FlrBackup::finishRun() {
    if (job_) {
        job_->setNumberOfTransferedFiles(filesSinceReport_);
        job_->setDataTransfered(bytesSinceReport_);
        job_->setCurrentFile("");
        job_->updateInfo(false, nullptr);
        job_.reset();
    }
    filesSinceReport_ = 0;
    bytesSinceReport_ = 0;
    if (progressFn_) progressFn_(totalFiles_, totalBytes_, progressCtx_);
    EvDebug::Debug("FlrBackup::backup", "Transferred %lld bytes, %lld files.", getTotalBytes(),
                   totalFiles_);
    cf_ = nullptr;
}
