#pragma once
// Storage helpers shared by the management configuration readers and the
// MgmtConfig changes: section names, id lists, list values, the change lock.
#include <string>
#include <vector>

#include "platform/JxFileLock.h"

namespace mgmtstore {

constexpr const char* kRoot = "Management";
constexpr const char* kClients = "sClients";
constexpr const char* kSets = "sSets";
constexpr const char* kSubclients = "sSubclients";

std::string clientSection(long id);
std::string setSection(long id);
std::string subSection(long id);
// "sNoDirs" for type 3, "sYesDirs" for type 2, null otherwise.
const char* filterKey(int type);

std::vector<long> readIds(const char* key);
bool listed(const char* key, long id);
bool getLong(const std::string& section, const char* key, long& out);
std::string str(const std::string& section, const char* key);
std::string encodeList(const std::vector<std::string>& list);
std::vector<std::string> decodeList(const std::string& text);

// Writers throw JxException "Failed to write registry FILE: reason".
[[noreturn]] void writeFailed(const char* function, int err);
void put(const char* function, const std::string& section, const char* key,
         const std::string& value);
void drop(const char* function, const std::string& section, const char* key);
void writeIds(const char* function, const char* key, const std::vector<long>& ids);
void addId(const char* function, const char* key, long id);
void removeId(const char* function, const char* key, long id);
long nextFreeId(const char* key);

bool subclientOfSet(long sub, long setId, bool& isDefault);
long defaultSubclientOf(const char* function, long setId);

// Serialises read-modify-write changes among processes; the registry's own
// lock covers one key write only.
class MgmtLock {
  public:
    MgmtLock() : lock_(lockPath()) { lock_.lock(1, -1); }

  private:
    static std::string lockPath();
    JxFileLock lock_;
};

}  // namespace mgmtstore
