#include "FlrHelper.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "FLR/JxException.h"
#include "mgmt/MgmtConfig.h"
#include "platform/EvDebug.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxFile.h"
#include "platform/JxMntTab.h"

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
    return jx::makeDirs(path);
}

std::string FlrHelper::defaultStateRoot() {
    const std::string system = JXPI_Base::getOrchardDirectory();
    if (::geteuid() == 0 &&
        (::access(system.c_str(), W_OK | X_OK) == 0 || mkdir1(system.c_str()) == 0))
        return system + "/replicate";
    if (const char* xdg = std::getenv("XDG_STATE_HOME"); xdg && xdg[0] == '/')
        return std::string(xdg) + "/flr/replicate";
    const char* home = std::getenv("HOME");
    if (!home || home[0] != '/')
        JX_THROW("FlrReplicator", "No folder for replication state: set XDG_STATE_HOME or HOME");
    return std::string(home) + "/.local/state/flr/replicate";
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
