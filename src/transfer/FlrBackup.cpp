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
    : head_(head),
      abort_(abort),
      driver_(driver),
      source_(driver, *this, counters_),
      ctx_{*head, *abort, *this, source_, counters_, samples_},
      blocks_(ctx_),
      planner_(ctx_) {
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
}

FlrBackup::~FlrBackup() {
    blocks_.abort();
    planner_.stop();
    std::free(buf_);
}

void FlrBackup::readSettings() {
    const char* fn = "FlrBackup::FlrBackup";
    int value = 0;
    if (JXPlatformInfo::getNumber("ZRP", "bNoACL", value) && value != 0) {
        EvDebug::Debug(fn, "bNoACL is set in registry. Not mirroring ACLs.");
    } else {
        source_.enableACLs();
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
        int node = 0;
        int size = 0;
        if (parseClusterId(cluster, node, size)) {
            planner_.setCluster(node, size);
            EvDebug::Debug(fn, "This is cluster node %d of %d (ZRP/sClusterNodeID)", node, size);
        } else {
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
    source_.addPair(src, dst);
}

// --- collect entries -----------------------------------------------------------------

// --- progress ----------------------------------------------------------------------------

void FlrBackup::countBytes(long long bytes) {
    totalBytes_ += bytes;
    bytesSinceReport_ += bytes;
    if (counters_.liveBytes) counters_.liveBytes->fetch_add(bytes, std::memory_order_relaxed);
}

void FlrBackup::countFile(const File& f, uint8_t method) {
    ++totalFiles_;
    ++filesSinceReport_;
    if (counters_.liveFiles) counters_.liveFiles->fetch_add(1, std::memory_order_relaxed);
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
    samples_.refillIfDue(nowSeconds(), kReportSecs);
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

void FlrBackup::logRun(FlrCollectFile* cf, bool sendOffsets, int pairId) {
    const char* fn = "FlrBackup::backup";
    const std::vector<DirPair>& pairs = source_.pairs();
    for (size_t i = 0; i < pairs.size(); ++i) {
        EvDebug::Debug(fn, "Source Dir[%d]      = %s", static_cast<int>(i), pairs[i].src.c_str());
        EvDebug::Debug(fn, "Destination Dir[%d] = %s", static_cast<int>(i), pairs[i].dst.c_str());
    }
    EvDebug::Debug(fn, "Collect File       = %s", cf->getName().c_str());
    EvDebug::Debug(fn, "Collect Offset     = %lu", static_cast<unsigned long>(cf->getOffset()));
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
    if (source_.pairs().empty()) JX_THROW(fn, "Path translation directory pair list is empty");
    if (hashChunkSize <= 0 || hashChunkSize > kTransferBufferBytes / 3)
        JX_THROW(fn, "Invalid hash chunk size " + std::to_string(hashChunkSize));
    planner_.setCollectFile(cf);
    ctx_.sendOffsets = sendOffsets;
    ctx_.pairId = pairId;
    logRun(cf, sendOffsets, pairId);
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
        planner_.setCollectFile(nullptr);
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
    planner_.setCollectFile(nullptr);
}
