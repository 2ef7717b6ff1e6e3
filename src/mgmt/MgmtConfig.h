#pragma once
// The management configuration the library reads: clients, replication sets,
// their pairs (subclients) and each set's default subclient with its two
// filter lists. Kept in registry sections (docs/formats.md, "Management
// configuration"); MgmtConfig adds, lists and removes entries so nobody edits
// the file by hand. The reader classes keep the names and calls the library
// uses; each returns 0 on success and -1 when the entry or value is missing.
#include <string>
#include <vector>

class PropCallBack;
class ContentCallBack;

// Instance number of the one file-replication instance on a client.
constexpr long JX_DEFAULT_INSTANCE_ID = 1;
// Application type of file replication in subclient lists.
constexpr int JX_APPTYPE_FILE_REPLICATION = 84;
// Subclient-list selections: every subclient of a set, or only its pairs.
constexpr int JX_SUBCLIENTS_ALL = 4;
constexpr int JX_SUBCLIENTS_PAIRS = 13;
// Flag bit of a subclient list entry: the set's default subclient.
constexpr int JX_SUBCLIENT_FLAG_DEFAULT = 1;
// Filter list types of a subclient: exceptions (YESDIRS), exclusions (NODIRS).
constexpr int JX_FILTER_EXCEPTIONS = 2;
constexpr int JX_FILTER_EXCLUSIONS = 3;

class BackupSet {
  public:
    explicit BackupSet(long setId) : setId_(setId) {}
    virtual ~BackupSet() = default;
    int getBackupSetName(std::string& name) const;
    // The set's source client.
    int getClientIdForBackupSet(int& clientId) const;
    long getBackupSetId() const { return setId_; }

  protected:
    long setId_;
};

class FileReplicationBackupSet : public BackupSet {
  public:
    explicit FileReplicationBackupSet(long setId) : BackupSet(setId) {}
    // The set's destination client; `reserved` is not used.
    int getDestinationHostId(int* clientId, void* reserved = nullptr) const;
};

// An application instance: kind 2 is a replication pair (a subclient).
class ApplicationId {
  public:
    static constexpr int kSubclient = 2;
    ApplicationId(int kind, long id) : kind_(kind), id_(id) {}
    int getBackupSetId(long& setId) const;

  private:
    int kind_;
    long id_;
};

class ClientApplicationList {
  public:
    // 0: subclients of every client.
    explicit ClientApplicationList(int clientId = 0) : clientId_(clientId) {}
    // The subclients of a set in id order, with their names and flags.
    // appType must be 84; selection 4 lists every subclient, 13 only the
    // pairs; `reserved` must be 0. -1 for an unknown set or argument.
    int getSubclientList(std::vector<long>& ids, std::vector<std::string>& names,
                         std::vector<int>& flags, int appType, long instanceId, long setId,
                         int reserved, int selection) const;
    int getSubclientList(std::vector<long>& ids, std::vector<std::string>& names,
                         std::vector<int>& flags, int appType, long setId, int reserved,
                         int selection) const;

  private:
    int clientId_;
};

class Subclient {
  public:
    explicit Subclient(long id) : id_(id) {}
    bool isDefaultSubclient() const;

  private:
    long id_;
};

class SubclientConf {
  public:
    explicit SubclientConf(long subclientId) : id_(subclientId) {}
    virtual ~SubclientConf() = default;
    // The entries of one filter list (type 3 exclusions, 2 exceptions), in order.
    int getFilters(int type, std::vector<std::string>& filters) const;
    long getSubclientId() const { return id_; }

  protected:
    long id_;
};

class FileReplicationSubClient : public SubclientConf {
  public:
    // The callbacks are accepted as the configuration readers require; this
    // registry-backed reader has nothing to report through them.
    FileReplicationSubClient(long subclientId, PropCallBack* props = nullptr,
                             ContentCallBack* content = nullptr)
        : SubclientConf(subclientId), props_(props), content_(content) {}
    int getsrcPath(std::string* path, void* reserved = nullptr) const;
    int getdestPath(std::string* path, void* reserved = nullptr) const;

  private:
    PropCallBack* props_;
    ContentCallBack* content_;
};

// What a subclient holds: its folders (empty for a default subclient) and
// its two filter lists.
struct BackupContent {
    std::string srcPath;
    std::string destPath;
    std::vector<std::string> exclusions;
    std::vector<std::string> exceptions;
};

class ApplBackupContent {
  public:
    explicit ApplBackupContent(long subclientId) : id_(subclientId) {}
    int getContent(BackupContent& content) const;
    // Writes newFilters in place of the type's list, provided the list still
    // holds oldFilters (a concurrent change is not overwritten: -1).
    int updateFilters(int type, const std::vector<std::string>& oldFilters,
                      const std::vector<std::string>& newFilters) const;

  private:
    long id_;
};

class JXClient {
  public:
    static constexpr int kShortName = 1;
    explicit JXClient(int clientId) : id_(clientId) {}
    // Looks the client up by name; nameType 1 is the short name.
    JXClient(const std::string& name, int nameType);
    int getClientId(int& id) const;
    int getShortName(std::string& name) const;
    int getNetworkHostname(std::string& host) const;
    // The network host name with every byte other than a letter, digit, '-'
    // or '.' replaced by '_', fit for a file name.
    int getNetworkHostnameMangled(std::string& host) const;

  private:
    int id_;
};

// Adding, listing and removing entries. Every change runs under one
// inter-process lock beside the registry file, writes an entry's keys
// before listing it and unlists it before deleting its keys, so a reader
// never sees half an entry. Failures throw JxException with a clear message.
namespace MgmtConfig {

struct Client {
    int id = 0;
    std::string name;
    std::string host;
};
struct Set {
    long id = 0;
    std::string name;
    int clientId = 0;
    int destClientId = 0;
    long defaultSubclient = 0;
};
struct Pair {
    long id = 0;
    long setId = 0;
    std::string srcPath;
    std::string destPath;
};

// id 0 takes the next free id; the id is returned.
int addClient(const std::string& name, const std::string& host, int id = 0);
void removeClient(int id);
std::vector<Client> listClients();

// Also creates the set's default subclient (next free subclient id).
long addSet(const std::string& name, int clientId, int destClientId, long id = 0);
void removeSet(long id);
std::vector<Set> listSets();

long addPair(long setId, const std::string& srcPath, const std::string& destPath, long id = 0);
void removePair(long id);
std::vector<Pair> listPairs(long setId = 0);

// The default subclient's filter lists of a set (type 3 or 2).
std::vector<std::string> getFilters(long setId, int type);
void addFilter(long setId, int type, const std::string& filter);
void removeFilter(long setId, int type, const std::string& filter);

// The job of a pair: its stored job number, or a new one from the host's
// job counter (stored with the pair). 0 when the pair does not exist.
unsigned long long jobIdForPair(long pairId);

}  // namespace MgmtConfig
