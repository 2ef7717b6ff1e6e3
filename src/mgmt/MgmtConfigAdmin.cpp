// Adding, listing and removing clients, sets, pairs and filters. Entries are
// written key by key, so the order matters: keys first and the id listed
// last on the way in, the id unlisted first on the way out.
#include <algorithm>

#include "FLR/JxException.h"
#include "MgmtConfig.h"
#include "MgmtConfigStore.h"
#include "platform/JXPlatformInfo.h"
#include "platform/TPathMatch.h"

using namespace mgmtstore;

namespace {

void requireText(const char* function, const std::string& what, const std::string& value) {
    if (value.empty()) JX_THROW(function, what + " must not be empty");
    if (value.find_first_of("\n\r") != std::string::npos)
        JX_THROW(function, what + " must not contain a line break");
}

void requireAbsolute(const char* function, const std::string& what, const std::string& path) {
    requireText(function, what, path);
    if (path[0] != '/') JX_THROW(function, what + " must be an absolute path: " + path);
}

void requireClient(const char* function, long id) {
    if (!listed(kClients, id)) JX_THROW(function, "No client " + std::to_string(id));
}

std::string idList(const std::vector<long>& ids) {
    std::string out;
    for (long id : ids) out += (out.empty() ? "" : ", ") + std::to_string(id);
    return out;
}

// The pattern a configured filter becomes (a name without "/" matches at any
// depth), checked by the matcher so a bad filter is refused when added, not
// when the next scan starts.
void requireUsableFilter(const char* function, const std::string& filter) {
    requireText(function, "A filter", filter);
    std::string pattern = filter[0] == '/' ? filter : "/**/" + filter;
    while (pattern.size() > 1 && (pattern.back() == '/' || pattern.back() == '\\'))
        pattern.pop_back();
    TPathMatch m;
    m.setDelimiter('/');
    if (m.compile(pattern, 1, 0) != 0) JX_THROW(function, m.lastError());
}

// Subclients still naming a set that is not listed were left by a change
// that died half-way; a new set with that number must not inherit them (a
// second default subclient would hide its filters).
void dropOrphans(const char* function, long setId) {
    for (long sub : readIds(kSubclients)) {
        long owner = 0;
        if (!getLong(subSection(sub), "nSetId", owner) || owner != setId) continue;
        removeId(function, kSubclients, sub);
        for (const char* key :
             {"nSetId", "bDefault", "dSrcPath", "dDestPath", "sNoDirs", "sYesDirs", "nJobId"})
            drop(function, subSection(sub), key);
    }
}

}  // namespace

namespace MgmtConfig {

int addClient(const std::string& name, const std::string& host, int id) {
    const char* fn = "MgmtConfig::addClient";
    requireText(fn, "A client name", name);
    if (!host.empty()) requireText(fn, "A host name", host);
    MgmtLock lock;
    for (long other : readIds(kClients))
        if (str(clientSection(other), "sName") == name)
            JX_THROW(fn, "Client name " + name + " is taken by client " + std::to_string(other));
    if (id < 0) JX_THROW(fn, "A client id must be positive");
    if (id == 0) id = int(nextFreeId(kClients));
    if (listed(kClients, id)) JX_THROW(fn, "Client " + std::to_string(id) + " exists already");
    put(fn, clientSection(id), "sName", name);
    put(fn, clientSection(id), "sHostName", host.empty() ? name : host);
    addId(fn, kClients, id);
    return id;
}

void removeClient(int id) {
    const char* fn = "MgmtConfig::removeClient";
    MgmtLock lock;
    requireClient(fn, id);
    for (const Set& s : listSets())
        if (s.clientId == id || s.destClientId == id)
            JX_THROW(fn, "Client " + std::to_string(id) + " is used by set " +
                             std::to_string(s.id) + " (" + s.name + "); remove the set first");
    removeId(fn, kClients, id);
    drop(fn, clientSection(id), "sName");
    drop(fn, clientSection(id), "sHostName");
}

std::vector<Client> listClients() {
    std::vector<Client> out;
    for (long id : readIds(kClients))
        out.push_back(
            {int(id), str(clientSection(id), "sName"), str(clientSection(id), "sHostName")});
    return out;
}

long addSet(const std::string& name, int clientId, int destClientId, long id) {
    const char* fn = "MgmtConfig::addSet";
    requireText(fn, "A set name", name);
    MgmtLock lock;
    requireClient(fn, clientId);
    requireClient(fn, destClientId);
    for (long other : readIds(kSets))
        if (str(setSection(other), "sName") == name)
            JX_THROW(fn, "Set name " + name + " is taken by set " + std::to_string(other));
    if (id < 0) JX_THROW(fn, "A set id must be positive");
    if (id == 0) id = nextFreeId(kSets);
    if (listed(kSets, id)) JX_THROW(fn, "Set " + std::to_string(id) + " exists already");
    dropOrphans(fn, id);
    const long sub = nextFreeId(kSubclients);
    put(fn, subSection(sub), "nSetId", std::to_string(id));
    put(fn, subSection(sub), "bDefault", "1");
    addId(fn, kSubclients, sub);
    const std::string s = setSection(id);
    put(fn, s, "sName", name);
    put(fn, s, "nClientId", std::to_string(clientId));
    put(fn, s, "nDestClientId", std::to_string(destClientId));
    put(fn, s, "nDefaultSubclient", std::to_string(sub));
    addId(fn, kSets, id);
    return id;
}

void removeSet(long id) {
    const char* fn = "MgmtConfig::removeSet";
    MgmtLock lock;
    if (!listed(kSets, id)) JX_THROW(fn, "No set " + std::to_string(id));
    std::vector<long> pairs;
    for (const Pair& p : listPairs(id)) pairs.push_back(p.id);
    if (!pairs.empty())
        JX_THROW(fn, "Set " + std::to_string(id) + " still has pairs " + idList(pairs) +
                         "; remove them first");
    long sub = 0;
    const bool hasDefault = getLong(setSection(id), "nDefaultSubclient", sub);
    removeId(fn, kSets, id);
    for (const char* key : {"sName", "nClientId", "nDestClientId", "nDefaultSubclient"})
        drop(fn, setSection(id), key);
    if (hasDefault) {
        removeId(fn, kSubclients, sub);
        for (const char* key : {"nSetId", "bDefault", "sNoDirs", "sYesDirs"})
            drop(fn, subSection(sub), key);
    }
}

std::vector<Set> listSets() {
    std::vector<Set> out;
    for (long id : readIds(kSets)) {
        Set s;
        s.id = id;
        s.name = str(setSection(id), "sName");
        long v = 0;
        if (getLong(setSection(id), "nClientId", v)) s.clientId = int(v);
        if (getLong(setSection(id), "nDestClientId", v)) s.destClientId = int(v);
        getLong(setSection(id), "nDefaultSubclient", s.defaultSubclient);
        out.push_back(s);
    }
    return out;
}

long addPair(long setId, const std::string& srcPath, const std::string& destPath, long id) {
    const char* fn = "MgmtConfig::addPair";
    requireAbsolute(fn, "The source folder", srcPath);
    requireAbsolute(fn, "The destination folder", destPath);
    MgmtLock lock;
    if (!listed(kSets, setId)) JX_THROW(fn, "No set " + std::to_string(setId));
    for (const Pair& p : listPairs(setId))
        if (p.srcPath == srcPath)
            JX_THROW(fn, "Set " + std::to_string(setId) + " replicates " + srcPath +
                             " already (pair " + std::to_string(p.id) + ")");
    if (id < 0) JX_THROW(fn, "A pair id must be positive");
    if (id == 0) id = nextFreeId(kSubclients);
    if (listed(kSubclients, id))
        JX_THROW(fn, "Pair id " + std::to_string(id) + " is taken by another pair or set");
    const std::string s = subSection(id);
    put(fn, s, "nSetId", std::to_string(setId));
    put(fn, s, "bDefault", "0");
    put(fn, s, "dSrcPath", srcPath);
    put(fn, s, "dDestPath", destPath);
    addId(fn, kSubclients, id);
    return id;
}

void removePair(long id) {
    const char* fn = "MgmtConfig::removePair";
    MgmtLock lock;
    bool isDefault = false;
    long setId = 0;
    if (!listed(kSubclients, id) || !getLong(subSection(id), "nSetId", setId) ||
        !subclientOfSet(id, setId, isDefault) || isDefault)
        JX_THROW(fn, "No pair " + std::to_string(id));
    removeId(fn, kSubclients, id);
    for (const char* key : {"nSetId", "bDefault", "dSrcPath", "dDestPath", "nJobId"})
        drop(fn, subSection(id), key);
}

std::vector<Pair> listPairs(long setId) {
    std::vector<Pair> out;
    for (long id : readIds(kSubclients)) {
        Pair p;
        bool isDefault = false;
        if (!getLong(subSection(id), "nSetId", p.setId)) continue;
        if (!subclientOfSet(id, p.setId, isDefault) || isDefault) continue;
        if (setId != 0 && p.setId != setId) continue;
        p.id = id;
        p.srcPath = str(subSection(id), "dSrcPath");
        p.destPath = str(subSection(id), "dDestPath");
        out.push_back(p);
    }
    return out;
}

std::vector<std::string> getFilters(long setId, int type) {
    const char* fn = "MgmtConfig::getFilters";
    const char* key = filterKey(type);
    if (!key) JX_THROW(fn, "Unknown filter type " + std::to_string(type));
    return decodeList(str(subSection(defaultSubclientOf(fn, setId)), key));
}

void addFilter(long setId, int type, const std::string& filter) {
    const char* fn = "MgmtConfig::addFilter";
    const char* key = filterKey(type);
    if (!key) JX_THROW(fn, "Unknown filter type " + std::to_string(type));
    requireUsableFilter(fn, filter);
    MgmtLock lock;
    const long sub = defaultSubclientOf(fn, setId);
    std::vector<std::string> list = decodeList(str(subSection(sub), key));
    if (std::find(list.begin(), list.end(), filter) != list.end())
        JX_THROW(fn, "Set " + std::to_string(setId) + " has the filter " + filter + " already");
    list.push_back(filter);
    put(fn, subSection(sub), key, encodeList(list));
}

void removeFilter(long setId, int type, const std::string& filter) {
    const char* fn = "MgmtConfig::removeFilter";
    const char* key = filterKey(type);
    if (!key) JX_THROW(fn, "Unknown filter type " + std::to_string(type));
    MgmtLock lock;
    const long sub = defaultSubclientOf(fn, setId);
    std::vector<std::string> list = decodeList(str(subSection(sub), key));
    auto it = std::find(list.begin(), list.end(), filter);
    if (it == list.end()) JX_THROW(fn, "Set " + std::to_string(setId) + " has no filter " + filter);
    list.erase(it);
    put(fn, subSection(sub), key, encodeList(list));
}

unsigned long long jobIdForPair(long pairId) {
    const char* fn = "MgmtConfig::jobIdForPair";
    MgmtLock lock;
    bool isDefault = false;
    long setId = 0, job = 0;
    if (!listed(kSubclients, pairId) || !getLong(subSection(pairId), "nSetId", setId) ||
        !subclientOfSet(pairId, setId, isDefault) || isDefault)
        return 0;
    if (getLong(subSection(pairId), "nJobId", job) && job > 0) return (unsigned long long)job;
    long next = 1;
    getLong(kRoot, "nNextJobId", next);
    if (next < 1) next = 1;
    // The counter moves first: a crash between the writes skips a number
    // rather than giving one to two pairs.
    put(fn, kRoot, "nNextJobId", std::to_string(next + 1));
    put(fn, subSection(pairId), "nJobId", std::to_string(next));
    return (unsigned long long)next;
}

}  // namespace MgmtConfig
