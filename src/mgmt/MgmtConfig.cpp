#include "MgmtConfig.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <sstream>

#include "FLR/JxException.h"
#include "MgmtConfigStore.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxFileLock.h"

namespace mgmtstore {

std::string clientSection(long id) {
    return "Management/Client/" + std::to_string(id);
}
std::string setSection(long id) {
    return "Management/Set/" + std::to_string(id);
}
std::string subSection(long id) {
    return "Management/Subclient/" + std::to_string(id);
}
const char* filterKey(int type) {
    return type == JX_FILTER_EXCLUSIONS   ? "sNoDirs"
           : type == JX_FILTER_EXCEPTIONS ? "sYesDirs"
                                          : nullptr;
}

// ---- values -------------------------------------------------------------

std::vector<long> readIds(const char* key) {
    std::string text;
    std::vector<long> ids;
    if (!JXPlatformInfo::getString(kRoot, key, text)) return ids;
    std::istringstream in(text);
    long id;
    while (in >> id) ids.push_back(id);
    return ids;
}

bool listed(const char* key, long id) {
    const std::vector<long> ids = readIds(key);
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

bool getLong(const std::string& section, const char* key, long& out) {
    long long v = 0;
    if (!JXPlatformInfo::getLongLong(section, key, v)) return false;
    out = long(v);
    return true;
}

// Filter lists are one value: entries joined by '|', with '%' and '|' inside
// an entry written as %25 and %7C, so one registry write replaces a list.
std::string encodeList(const std::vector<std::string>& list) {
    std::string out;
    for (size_t i = 0; i < list.size(); ++i) {
        if (i) out += '|';
        for (char c : list[i]) {
            if (c == '%')
                out += "%25";
            else if (c == '|')
                out += "%7C";
            else
                out += c;
        }
    }
    return out;
}

std::vector<std::string> decodeList(const std::string& text) {
    std::vector<std::string> out;
    if (text.empty()) return out;
    std::string cur;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '|') {
            out.push_back(cur);
            cur.clear();
        } else if (text.compare(i, 3, "%25") == 0) {
            cur += '%';
            i += 2;
        } else if (text.compare(i, 3, "%7C") == 0) {
            cur += '|';
            i += 2;
        } else {
            cur += text[i];
        }
    }
    out.push_back(cur);
    return out;
}

[[noreturn]] void writeFailed(const char* function, int err) {
    JX_THROW_ERRNO(function, "Failed to write registry " + JXPlatformInfo::getRegistryFile(), err);
}

void put(const char* function, const std::string& section, const char* key,
         const std::string& value) {
    if (JXPlatformInfo::setString(section, key, value) != 0) writeFailed(function, errno);
}

void drop(const char* function, const std::string& section, const char* key) {
    if (JXPlatformInfo::deleteValue(section, key) != 0) writeFailed(function, errno);
}

void writeIds(const char* function, const char* key, const std::vector<long>& ids) {
    std::string text;
    for (long id : ids) {
        if (!text.empty()) text += ' ';
        text += std::to_string(id);
    }
    put(function, kRoot, key, text);
}

void addId(const char* function, const char* key, long id) {
    std::vector<long> ids = readIds(key);
    ids.push_back(id);
    writeIds(function, key, ids);
}

void removeId(const char* function, const char* key, long id) {
    std::vector<long> ids = readIds(key);
    ids.erase(std::remove(ids.begin(), ids.end(), id), ids.end());
    writeIds(function, key, ids);
}

long nextFreeId(const char* key) {
    long next = 1;
    for (long id : readIds(key)) next = std::max(next, id + 1);
    return next;
}

std::string MgmtLock::lockPath() {
    const std::string reg = JXPlatformInfo::getRegistryFile();
    const size_t slash = reg.rfind('/');
    if (slash != std::string::npos && slash > 0) ::mkdir(reg.substr(0, slash).c_str(), 0755);
    return reg + ".mgmt.lock";
}

std::string str(const std::string& section, const char* key) {
    std::string v;
    JXPlatformInfo::getString(section, key, v);
    return v;
}

bool subclientOfSet(long sub, long setId, bool& isDefault) {
    long owner = 0, def = 0;
    if (!getLong(subSection(sub), "nSetId", owner) || owner != setId) return false;
    isDefault = getLong(subSection(sub), "bDefault", def) && def == 1;
    return true;
}

long defaultSubclientOf(const char* function, long setId) {
    long sub = 0;
    if (!listed(kSets, setId)) JX_THROW(function, "No set " + std::to_string(setId));
    if (!getLong(setSection(setId), "nDefaultSubclient", sub) || !listed(kSubclients, sub))
        JX_THROW(function, "Set " + std::to_string(setId) + " has no default subclient");
    return sub;
}

}  // namespace mgmtstore

using namespace mgmtstore;

// ---- readers ---------------------------------------------------------------

int BackupSet::getBackupSetName(std::string& name) const {
    if (!listed(kSets, setId_)) return -1;
    return JXPlatformInfo::getString(setSection(setId_), "sName", name) ? 0 : -1;
}

int BackupSet::getClientIdForBackupSet(int& clientId) const {
    long v = 0;
    if (!listed(kSets, setId_) || !getLong(setSection(setId_), "nClientId", v)) return -1;
    clientId = int(v);
    return 0;
}

int FileReplicationBackupSet::getDestinationHostId(int* clientId, void*) const {
    long v = 0;
    if (!clientId || !listed(kSets, setId_) || !getLong(setSection(setId_), "nDestClientId", v))
        return -1;
    *clientId = int(v);
    return 0;
}

int ApplicationId::getBackupSetId(long& setId) const {
    if (kind_ != kSubclient || !listed(kSubclients, id_)) return -1;
    long v = 0;
    if (!getLong(subSection(id_), "nSetId", v) || !listed(kSets, v)) return -1;
    setId = v;
    return 0;
}

int ClientApplicationList::getSubclientList(std::vector<long>& ids, std::vector<std::string>& names,
                                            std::vector<int>& flags, int appType, long instanceId,
                                            long setId, int reserved, int selection) const {
    if (instanceId != JX_DEFAULT_INSTANCE_ID) return -1;
    return getSubclientList(ids, names, flags, appType, setId, reserved, selection);
}

int ClientApplicationList::getSubclientList(std::vector<long>& ids, std::vector<std::string>& names,
                                            std::vector<int>& flags, int appType, long setId,
                                            int reserved, int selection) const {
    ids.clear();
    names.clear();
    flags.clear();
    if (appType != JX_APPTYPE_FILE_REPLICATION || reserved != 0) return -1;
    if (selection != JX_SUBCLIENTS_ALL && selection != JX_SUBCLIENTS_PAIRS) return -1;
    long owner = 0;
    if (!listed(kSets, setId)) return -1;
    if (clientId_ != 0 && (!getLong(setSection(setId), "nClientId", owner) || owner != clientId_))
        return -1;
    std::vector<long> subs = readIds(kSubclients);
    std::sort(subs.begin(), subs.end());
    for (long sub : subs) {
        bool isDefault = false;
        if (!subclientOfSet(sub, setId, isDefault)) continue;
        if (isDefault && selection == JX_SUBCLIENTS_PAIRS) continue;
        ids.push_back(sub);
        names.push_back(isDefault ? "default" : str(subSection(sub), "dSrcPath"));
        flags.push_back(isDefault ? JX_SUBCLIENT_FLAG_DEFAULT : 0);
    }
    return 0;
}

bool Subclient::isDefaultSubclient() const {
    long def = 0;
    return listed(kSubclients, id_) && getLong(subSection(id_), "bDefault", def) && def == 1;
}

int SubclientConf::getFilters(int type, std::vector<std::string>& filters) const {
    const char* key = filterKey(type);
    if (!key || !listed(kSubclients, id_)) return -1;
    filters = decodeList(str(subSection(id_), key));
    return 0;
}

int FileReplicationSubClient::getsrcPath(std::string* path, void*) const {
    if (!path || !listed(kSubclients, id_)) return -1;
    return JXPlatformInfo::getString(subSection(id_), "dSrcPath", *path) ? 0 : -1;
}

int FileReplicationSubClient::getdestPath(std::string* path, void*) const {
    if (!path || !listed(kSubclients, id_)) return -1;
    return JXPlatformInfo::getString(subSection(id_), "dDestPath", *path) ? 0 : -1;
}

int ApplBackupContent::getContent(BackupContent& content) const {
    if (!listed(kSubclients, id_)) return -1;
    const std::string s = subSection(id_);
    content.srcPath = str(s, "dSrcPath");
    content.destPath = str(s, "dDestPath");
    content.exclusions = decodeList(str(s, "sNoDirs"));
    content.exceptions = decodeList(str(s, "sYesDirs"));
    return 0;
}

int ApplBackupContent::updateFilters(int type, const std::vector<std::string>& oldFilters,
                                     const std::vector<std::string>& newFilters) const {
    const char* key = filterKey(type);
    if (!key) return -1;
    try {
        MgmtLock lock;
        if (!listed(kSubclients, id_)) return -1;
        if (decodeList(str(subSection(id_), key)) != oldFilters) return -1;
        return JXPlatformInfo::setString(subSection(id_), key, encodeList(newFilters));
    } catch (const JxException&) {
        return -1;  // the lock file could not be had
    }
}

JXClient::JXClient(const std::string& name, int nameType) : id_(-1) {
    if (nameType != kShortName) return;
    for (long id : readIds(kClients))
        if (str(clientSection(id), "sName") == name) id_ = int(id);
}

int JXClient::getClientId(int& id) const {
    if (!listed(kClients, id_)) return -1;
    id = id_;
    return 0;
}

int JXClient::getShortName(std::string& name) const {
    if (!listed(kClients, id_)) return -1;
    return JXPlatformInfo::getString(clientSection(id_), "sName", name) ? 0 : -1;
}

int JXClient::getNetworkHostname(std::string& host) const {
    if (!listed(kClients, id_)) return -1;
    return JXPlatformInfo::getString(clientSection(id_), "sHostName", host) ? 0 : -1;
}

int JXClient::getNetworkHostnameMangled(std::string& host) const {
    if (getNetworkHostname(host) != 0) return -1;
    for (char& c : host) {
        const bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                          (c >= '0' && c <= '9') || c == '-' || c == '.';
        if (!keep) c = '_';
    }
    return 0;
}
