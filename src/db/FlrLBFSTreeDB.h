#pragma once
// The name tree of an LBFS content store: every file and directory has a
// 64-bit file number of its own (assigned here, counting up from 2; the root
// is 1), a parent number, a short name, a time and a directory flag. Paths are
// resolved against the tree and created on demand; deleting or replacing an
// entry also drops its block list in the hash database (FlrLBFSHashDB).
//
// Files: <dir>/FlrLBFSTreeDB.dat (an LMDB environment, see TCtreeTable) and
// its lock file. Operations report failures as CQiError values (negative
// code). The next-number counter belongs to the instance; changes of several
// records run in one transaction.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "DbCursor.h"
#include "DbTable.h"
#include "FlrLBFSHashDB.h"
#include "platform/CQiError.h"

class FlrLBFSTreeDB {
  public:
    static constexpr uint64_t kRootFid = 1;
    // Longer names are cut to this many bytes (the field keeps its NUL).
    static constexpr size_t kMaxNameLen = 255;
    static constexpr uint8_t kDirectory = 1;  // flags bit 0

    // The record, as laid out in the table (280-byte buffer, 21-byte fixed part).
    struct Record {
        uint64_t fid;
        uint64_t parent;  // 0 for the root
        uint32_t time;
        uint8_t flags;
        char sname[kMaxNameLen + 1];
        char pad[3];
        bool isDir() const { return flags & kDirectory; }
    };

    FlrLBFSTreeDB();
    ~FlrLBFSTreeDB();
    FlrLBFSTreeDB(const FlrLBFSTreeDB&) = delete;
    FlrLBFSTreeDB& operator=(const FlrLBFSTreeDB&) = delete;

    // Declares the table in dir and opens it, creating it with its root when
    // missing (only in read-write mode; TAccessReadOnly is for tools).
    CQiError initialize(const std::string& dir,
                        JXIndexing::TAccessEnum mode = JXIndexing::TAccessReadWrite);
    // Flushes and closes the table (the destructor does too); 0 or an engine
    // code.
    int close();
    // A transaction of several changes (see TCtreeTable::BatchScope): they
    // become visible, and survive a crash of the process, all at once.
    TCtreeTable::BatchScope transaction(size_t expectedBytes = 0,
                                        TCtreeTable::Flush flush = TCtreeTable::Flush::AtEnd);

    CQiError getRootRec(Record* rec);
    // File number and time of a path; number 0 (and time 0) when it does not
    // exist. "/" and "" are the root.
    CQiError path2fid(const std::string& path, uint64_t* fid, uint32_t* time);
    // "/a/b" for a file number; "" for the root and for an unknown number.
    CQiError fid2path(uint64_t fid, std::string* path);
    // Finds or creates path: its directories as directories, the last
    // component as a file; an entry of the other kind is deleted and made
    // anew. hashDb (may be null) loses the blocks of what is deleted.
    CQiError createFile(const std::string& path, FlrLBFSHashDB* hashDb, uint64_t* fid, Record* rec);
    // Creates dirPath + "/" + the next file number.
    CQiError createMosaicFile(const std::string& dirPath, std::string* path, uint64_t* fid,
                              Record* rec);
    // Moves an entry to newPath, replacing what is there.
    CQiError rename(uint64_t fid, const std::string& newPath, FlrLBFSHashDB* hashDb);
    // Deletes an entry and, for a directory, everything below it. Deleting the
    // root empties the tree but keeps the root.
    CQiError del(uint64_t fid, FlrLBFSHashDB* hashDb);
    CQiError del(const std::string& path, FlrLBFSHashDB* hashDb);
    CQiError updateTime(uint64_t fid, uint32_t time);
    // The entries of a directory in name order (for tools walking the tree).
    CQiError getChildren(uint64_t fid, std::vector<Record>* children);
    uint64_t nextFid() const { return next_; }

    static CQiError remove(const std::string& dir);
    static CQiError move(const std::string& from, const std::string& to);
    static CQiError copy(const std::string& from, const std::string& to);

  private:
    struct LBFSDirent {
        uint64_t fid;
        std::string name;
    };

    CQiError fidKey(const char* function, uint64_t fid);
    CQiError childKey(const char* function, uint64_t parent, const char* name);
    int findFid(const char* function, uint64_t fid, CQiError* err);
    int findChild(const char* function, uint64_t parent, const std::string& name, CQiError* err);
    flrdb::DbCursor childrenOf(const char* function, uint64_t parent, CQiError* err);
    CQiError lastFid(const char* function, uint64_t* fid);
    CQiError addRoot(const char* function);
    CQiError syncNext(const char* function);
    void dropBlocks();
    CQiError createIn(const char* function, const std::vector<std::string>& components,
                      FlrLBFSHashDB* hashDb, uint64_t* fid, Record* rec);
    CQiError checkMove(const char* function, uint64_t fid, const std::string& newPath,
                       const std::vector<std::string>& components, bool* samePlace);
    template <class Body>
    CQiError batched(const char* function, Body&& body);

    flrdb::DbTable table_;
    Record rec_{};
    char key_[64];
    uint64_t next_ = 2;
    // Operations of this instance running (an operation calls others).
    int opDepth_ = 0;
    // Files whose blocks go when the running operation's records are gone:
    // dropped just before its transaction commits, so a crash leaves at worst
    // entries without blocks (hashed again), never blocks of deleted entries.
    std::vector<std::pair<FlrLBFSHashDB*, uint64_t>> drops_;
};
