// The transfer driver: its roles set up from the registry's settings,
// directory pairs, and a run from its start to its report.
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

// The connection, once it is known that neither it nor the flag is null.
FlrNetHead& checkedHead(FlrNetHead* head, const JxSafeFlags* abort) {
    if (!head || !abort)
        JX_THROW("FlrBackup::FlrBackup", "Invalid arguments: NULL pointers passed as input.");
    return *head;
}

}  // namespace

FlrBackup::FlrBackup(FlrNetHead* head, JxSafeFlags* abort, FlrDriver* driver)
    : head_(head),
      driver_(driver),
      source_(driver, *this, counters_),
      ctx_{checkedHead(head, abort), *abort, *this, source_, counters_, samples_},
      blocks_(ctx_),
      planner_(ctx_),
      progress_(ctx_),
      buf_(hashChunkSize),
      sender_(ctx_, progress_, buf_, planner_, blocks_),
      wba_(ctx_, progress_, buf_, sender_) {
    const char* fn = "FlrBackup::FlrBackup";
    readSettings();
    EvDebug::Debug(fn, "Default minimum file size for hashing: %d", kDefaultHashMinFileSize);
    EvDebug::Debug(fn, "Default maximum file size for RSync: %d", kDefaultRSyncMaxFileSize);
    EvDebug::Debug(fn, "Default hash chunk size: %d", kDefaultHashChunkSize);
}

FlrBackup::~FlrBackup() {
    blocks_.abort();
    planner_.stop();
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

// --- directory pairs ---------------------------------------------------------------

void FlrBackup::addDirPair(const char* src, const char* dst) {
    source_.addPair(src, dst);
}

void FlrBackup::addDirPairWBA(const char* src, const char* dst) {
    addDirPair(src, dst);
    wba_.countPair(src);
}

void FlrBackup::setDirPairWBA(const char* src, const char* dst) {
    source_.clearPairs();
    wba_.clearPairs();
    addDirPairWBA(src, dst);
}

// --- collect entries -----------------------------------------------------------------

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
    std::unique_ptr<FlrJobClient> job;
    if (pairId >= 0) {
        job = openJobClient(pairId);
        readReplicationSetProperties(pairId);
    }
    progress_.beginRun(std::move(job), static_cast<unsigned long long>(cf->getOffset()));
    sender_.beginRun();
    try {
        runChosenLoop();
    } catch (...) {
        blocks_.abort();
        progress_.abandonRun();
        planner_.setCollectFile(nullptr);
        throw;
    }
    finishRun();
}

void FlrBackup::finishRun() {
    progress_.finishRun();
    EvDebug::Debug("FlrBackup::backup", "Transferred %lld bytes, %lld files.", getTotalBytes(),
                   getTotalFiles());
    planner_.setCollectFile(nullptr);
}
