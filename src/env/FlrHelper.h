#pragma once
// Where every file of the library lives: per-pair directories and their fixed
// file names, the database directories, recovery-point lock files, the
// clients that have replication installed, and mount points of paths.
// Stateless; every operation may be called from any thread.
#include <list>
#include <string>

class FlrPair;
struct CreateCPArgsById_t;

class FlrHelper {
  public:
    // mkdir -p with mode 0777 (before umask). 0 on success or when the
    // directory exists, -1 with errno set otherwise.
    // Where pairs keep their state unless told: <orchard>/replicate for root
    // (when it can be made), else $XDG_STATE_HOME/flr/replicate or
    // ~/.local/state/flr/replicate. Throws when none can be named.
    static std::string defaultStateRoot();
    static int mkdir1(const char* path);
    static std::string stripTrailingSlashes(const std::string& path);

    static std::string getPairDir(int pairId, const std::string& clientName);
    static std::string getOrphanFileName(int pairId, const std::string& clientName);
    static std::string getCollectFileName(int pairId, const std::string& clientName);
    static std::string getResendCollectFileName(int pairId, const std::string& clientName);
    static std::string getSendHistoryFileName(int pairId, const std::string& clientName);
    static std::string getDirChangeFileName(int pairId, const std::string& clientName, bool tail);
    static std::string getResendDirChangeFileName(int pairId, const std::string& clientName,
                                                  bool tail);

    static std::string getDatabaseDir(int pairId);
    static std::string getWrDatabaseDir(int pairId);
    static std::string getLBFSDatabaseDir();

    static std::string getCRPLockFileName(unsigned long long jobId);
    static std::list<std::string> getZRPClientList(bool activeOnly);
    static std::string getMountDir(const char* path);

    // The replication set of an application: kind 2 is a pair. Throws
    // "Failed to lookup backup set for pair N" when it has none.
    static int pairToSetId(int kind, int pairId);

    // Sends the list of every recovery point on this host (the recovery
    // snapshots, grouped by job, tied to the pairs whose destination folders
    // lie on the snapshotted volume) in one request; snapshots that serve no
    // pair are removed. An empty list is sent too, so the server's view
    // mirrors the host. Throws when the request is rejected. One
    // registration at a time per host ("FLR_SENDCPLISTTOBN").
    static void sendCPListToBN();
    // As above; *sent (when given) receives the request as it was sent.
    static void sendCPListToBN(CreateCPArgsById_t* sent);
    // Raises an alert about the pair for the management server.
    static void sendAlert(const FlrPair& pair, const char* message);
};
