#pragma once
// The file-id name database of a replication pair: one record per directory
// entry (file id, parent directory's file id, short name, entry type, the
// journal sequence number at which a scan last confirmed it). It answers the
// path of a file id (journal records carry ids only) and the children of a
// directory, and lets the scanner rebuild and reconcile the tree.
//
// Files: <dir>/zrpdb.dat (an LMDB environment, see TCtreeTable) and its lock
// file. One instance is used by one thread at a time; several processes may
// use one database at once.
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "DbCursor.h"
#include "DbTable.h"
#include "FLR/FlrFid.h"
#include "FLR/SP.h"

enum FLR_FTYPE : int {
    FLR_FTYPE_FILE = 0,  // not a directory: regular file, symbolic link, anything else
    FLR_FTYPE_DIR = 1,
};

class FlrDatabase : public SPEnabled {
  public:
    // Longest short name a record holds (the field keeps its NUL).
    static constexpr size_t kMaxNameLen = 1023;
    static constexpr int kCacheBuckets = 256;
    static constexpr int kCacheLimit = 256;

    struct Child {
        fsf_fid fid;
        std::string name;
        FLR_FTYPE type;
        uint64_t scan_seqnum;
    };
    struct Node {
        fsf_fid fid;
        std::string path;  // from the root of the tree, starting with "/"
        FLR_FTYPE type;
    };

    // Opens the database in dir, creating it (and dir) when missing.
    explicit FlrDatabase(const std::string& dir);
    // Opens an existing database; TAccessReadOnly for inspection tools.
    FlrDatabase(const std::string& dir, JXIndexing::TAccessEnum mode);
    ~FlrDatabase() override;

    void addRootNode(const fsf_fid& fid);
    void addNode(const fsf_fid& dirFid, const std::string& sname, const fsf_fid& fid,
                 FLR_FTYPE type, uint64_t seq);
    void delNode(const fsf_fid& dirFid, const std::string& sname);
    void renameNode(const fsf_fid& oldDir, const std::string& oldName, const fsf_fid& newDir,
                    const std::string& newName);
    bool delTree(const fsf_fid& dirFid, const std::string& sname);
    bool delTree(const fsf_fid& fid);
    void removeDisconnected(const fsf_fid& fid);

    bool find(const char* path, Child* child);
    bool find(const fsf_fid& dirFid, const char* sname, Child* child);
    // Full path of fid; "" when fid has no entry (outputs untouched then).
    std::string fidToNodeName(const fsf_fid& fid, uint64_t* seq = nullptr,
                              FLR_FTYPE* type = nullptr);
    std::list<Child> getChildList(const fsf_fid& dirFid);
    std::list<Node> getNodeList(const fsf_fid& fid);
    unsigned long getRecordCount();

    // Deletes the database files in dir.
    static void clear(const std::string& dir);

    // What one updateDir changed, for a caller walking the tree itself.
    struct Reconciled {
        std::vector<fsf_fid> added;     // directories new to the database
        std::vector<fsf_fid> moved;     // directories it held elsewhere, moved here
        std::vector<fsf_fid> newFiles;  // other entries under a name it did not hold here
        std::vector<fsf_fid> detached;  // directories cut from their parent
    };
    // Brings the children of dirFid in line with a fresh listing (whose
    // scan_seqnum is not read), consistent with journal sequence number seq.
    // Appends to queue the directories still to visit. One transaction: a
    // crash never leaves the directory half reconciled.
    void updateDir(const fsf_fid& dirFid, uint64_t seq, std::list<fsf_fid>& queue,
                   const std::list<Child>& listing, Reconciled* changed = nullptr);
    // Deletes, with their subtrees, the directories among fids that no
    // reconciliation attached again: they were removed, or moved out of the
    // tree. Returns how many went.
    size_t dropDetached(const std::vector<fsf_fid>& fids);

    // A transaction of several changes (see TCtreeTable::BatchScope): they
    // become visible, and survive a crash of the process, all at once.
    TCtreeTable::BatchScope transaction(size_t expectedBytes = 0,
                                        TCtreeTable::Flush flush = TCtreeTable::Flush::AtEnd);
    // True when the last change failed because the engine rolled the
    // enclosing transaction back to grow the map: the transaction is redone.
    bool rolledBackForMap() const;

    void clearCache();
    // Entries in the path cache (for tests and tools).
    int cacheSize() const { return cacheCount_; }

    // The record, as laid out in the table (1088-byte buffer, 57-byte fixed part).
    struct Record {
        uint64_t fid[3];
        uint64_t parent_fid[3];
        uint64_t scan_seqnum;
        uint8_t flags;
        char sname[kMaxNameLen + 1];
        char pad[7];
    };

  private:
    struct CacheEntry;

    // Declares the table for files in dir.
    int initialize(const char* dir);

    // Positioning helpers: 0 found (record in rec_), kNoRecord, or an engine code.
    int locateByFid(const char* function, const fsf_fid& fid);
    int locateByName(const char* function, const fsf_fid& parent, const char* name);
    // Walks from the first child of parent (name order), from the first
    // record of fid; the caller stops where they end.
    flrdb::DbCursor childrenOf(const char* function, const fsf_fid& parent);
    flrdb::DbCursor recordsOf(const char* function, const fsf_fid& fid);
    void fidKey(const char* function, const fsf_fid& fid);
    void nameKey(const char* function, const fsf_fid& parent, const char* name);
    void modifyCurrent(const char* function, const char* message, int line);
    void deleteCurrent(const char* function, const char* message, int line);
    void addCurrent(const char* function, const char* message, int line);
    void fillRecord(const fsf_fid& fid, const fsf_fid& parent, uint64_t seq, uint8_t flags,
                    const char* name, size_t nameLen);
    void deleteDescendants(const char* function, std::list<fsf_fid>& work);
    std::string buildPath(const fsf_fid& fid, uint64_t* seq, FLR_FTYPE* type);
    std::string joinPath(std::string_view prefix) const;
    void listSubtree(const fsf_fid& dir, const std::string& path, std::list<Node>& out,
                     std::list<fsf_fid>& onPath);
    template <class Body>
    void batched(const char* function, Body&& body);

    // Path cache.
    static unsigned bucketOf(const fsf_fid& fid);
    CacheEntry* cacheFind(const fsf_fid& fid);
    void cacheInsert(const fsf_fid& fid, const std::string& path, uint64_t seq, FLR_FTYPE type);
    void cacheRemove(const fsf_fid& fid);
    void cacheUnlink(CacheEntry* e);

    flrdb::DbTable table_;
    std::string dir_;
    std::string base_;
    Record rec_;
    char key_[112];
    std::string names_;  // scratch of fidToNodeName: names collected on the way up
    std::vector<size_t> nameEnds_;
    std::unique_ptr<CacheEntry*[]> buckets_;
    CacheEntry* mruHead_ = nullptr;
    CacheEntry* mruTail_ = nullptr;
    int cacheCount_ = 0;
};
