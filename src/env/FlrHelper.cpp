#include "FLR/FlrHelper.h"

#include <sys/stat.h>

#include <cerrno>

#include "FLR/platform/EvDebug.h"
#include "FLR/platform/JXPlatformInfo.h"
#include "FLR/platform/JxException.h"
#include "FLR/platform/JxFile.h"
#include "FLR/platform/JxMntTab.h"
#include "FLR/platform/MgmtConfig.h"

namespace {

std::string dbRoot(const char* function) {
    std::string root;
    if (!JXPlatformInfo::getString("ZRP", "dDBDir", root))
        JX_THROW(function, "Failed to retrieve FLR DB directory name from registry.");
    return root;
}

// "dDBDir" cut at its last "/"; a value without one is used whole.
std::string dbParent(const char* function) {
    std::string root = dbRoot(function);
    size_t slash = root.rfind('/');
    return slash == std::string::npos ? root : root.substr(0, slash);
}

// A file in the pair directory. The directory is made again (result ignored)
// so the name is usable even when another process removed it meanwhile.
std::string pairFile(int pairId, const std::string& clientName, const char* name) {
    std::string dir = FlrHelper::getPairDir(pairId, clientName);
    FlrHelper::mkdir1(dir.c_str());
    return dir + "/" + name;
}

}  // namespace

int FlrHelper::mkdir1(const char* path) {
    if (!path || !*path) {
        errno = EINVAL;
        return -1;
    }
    if (jx::fileOps().mkdir(path, 0777) == 0) return 0;
    if (errno == EEXIST) return 0;
    if (errno != ENOENT) return -1;
    std::string parent(path);
    size_t slash = parent.rfind('/');
    parent = slash == std::string::npos ? std::string() : parent.substr(0, slash);
    int rc = mkdir1(parent.c_str());
    if (rc != 0) return rc;
    if (jx::fileOps().mkdir(path, 0777) == 0) return 0;
    // Another thread or process may have made it since the first attempt, and
    // a path ending in "/" names the directory its parent step just made.
    return errno == EEXIST ? 0 : -1;
}

std::string FlrHelper::stripTrailingSlashes(const std::string& path) {
    std::string out = path;
    while (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

std::string FlrHelper::getPairDir(int pairId, const std::string& clientName) {
    std::string results = JXPI_CommClient::getJobResultsDirectory(clientName);
    if (results.empty())
        JX_THROW("FlrHelper::getPairDir",
                 "Failed to get jobResults directory for client " + clientName);
    std::string dir = results + "/zrp/" + std::to_string(pairId);
    mkdir1(dir.c_str());
    return dir;
}

std::string FlrHelper::getOrphanFileName(int pairId, const std::string& clientName) {
    return pairFile(pairId, clientName, "OrphanFiles.txt");
}

std::string FlrHelper::getCollectFileName(int pairId, const std::string& clientName) {
    return pairFile(pairId, clientName, "Collect.txt");
}

std::string FlrHelper::getResendCollectFileName(int pairId, const std::string& clientName) {
    return pairFile(pairId, clientName, "ResendCollect.txt");
}

std::string FlrHelper::getSendHistoryFileName(int pairId, const std::string& clientName) {
    return pairFile(pairId, clientName, "SendHistory.dat");
}

std::string FlrHelper::getDirChangeFileName(int pairId, const std::string& clientName, bool tail) {
    return pairFile(pairId, clientName, tail ? "DirChangeTail.txt" : "DirChange.txt");
}

std::string FlrHelper::getResendDirChangeFileName(int pairId, const std::string& clientName,
                                                  bool tail) {
    return pairFile(pairId, clientName, tail ? "ResendDirChangeTail.txt" : "ResendDirChange.txt");
}

std::string FlrHelper::getDatabaseDir(int pairId) {
    return dbRoot("FlrHelper::getDatabaseDir") + "/" + std::to_string(pairId);
}

std::string FlrHelper::getWrDatabaseDir(int pairId) {
    return dbParent("FlrHelper::getWrDatabaseDir") + "/WRDB/" + std::to_string(pairId);
}

std::string FlrHelper::getLBFSDatabaseDir() {
    return dbParent("FlrHelper::getLBFSDatabaseDir") + "/LBFSDB";
}

std::string FlrHelper::getCRPLockFileName(unsigned long long jobId) {
    std::string tmp = JXPI_Base::getOrchardTempDirectory();
    if (tmp.empty())
        JX_THROW("FlrHelper::getCRPLockFileName",
                 "Failed to get Orchard temporary directory name from registry.");
    // Printed signed, as job numbers always have been in these names.
    return tmp + "/crp_job_" + std::to_string(static_cast<long long>(jobId));
}

std::list<std::string> FlrHelper::getZRPClientList(bool activeOnly) {
    std::list<std::string> clients, result;
    if (activeOnly)
        JXPlatformInfo::getActiveClientList(clients);
    else
        JXPlatformInfo::getClientList(clients);
    for (const auto& name : clients) {
        std::string installed;
        if (JXPlatformInfo::getString("Machines/" + name + "/ZRP", "nINSTALL", installed) &&
            installed == "1")
            result.push_back(name);
    }
    return result;
}

std::string FlrHelper::getMountDir(const char* path) {
    std::list<JxMntTab::Entry> entries;
    CQiError err = JxMntTab::getAll(entries);
    if (err.IsError())
        JX_THROW("FlrHelper::getMountDir", "JxMntTab::getAll failed, error=" + err.AsString());
    const JxMntTab::Entry* entry = JxMntTab::find(entries, path);
    if (!entry)
        JX_THROW("FlrHelper::getMountDir", std::string("Unable to find mount point of FS that ") +
                                               (path ? path : "") + " belongs to.");
    std::string mountPoint = stripTrailingSlashes(entry->mountPoint);
    EvDebug::Debug("FlrHelper::getMountDir", "%s belongs to FS with mount point: %s", path,
                   mountPoint.c_str());
    return mountPoint;
}

int FlrHelper::pairToSetId(int kind, int pairId) {
    long setId = 0;
    if (ApplicationId(kind, pairId).getBackupSetId(setId) != 0)
        JX_THROW("FlrHelper::pairToSetId",
                 jxFormat("Failed to lookup backup set for pair %d", pairId));
    return int(setId);
}
