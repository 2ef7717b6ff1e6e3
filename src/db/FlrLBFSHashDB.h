#pragma once
// The block-hash database of an LBFS content store: for every file (by its
// file number in FlrLBFSTreeDB) the content-defined blocks it is made of, with
// their 32-byte hashes. Blocks are found by hash (to reuse content already in
// the store) or by file and offset. A block whose hash is all zero bytes is
// changed: its content must be hashed again.
//
// Files: <dir>/FlrLBFSHashDB.dat (an LMDB environment, see TCtreeTable) and
// its lock file. Operations report failures as CQiError values (negative
// code) instead of throwing. One instance per user, no internal locking.
#include <cstdint>
#include <string>
#include <vector>

#include "DbCursor.h"
#include "DbTable.h"
#include "digest/JxLBFS.h"
#include "platform/CQiError.h"

class FlrLBFSHashDB {
  public:
    static constexpr int kHashSize = JxLBFS::HashBlock::kHashSize;
    // Sizes are kept in 16 bits; the chunker never makes larger blocks.
    static constexpr uint32_t kMaxBlockSize = 65535;
    // getFirstChangedRange: start when no block is changed, length when the
    // range runs to the end of the file.
    static constexpr uint64_t kNone = 0xFFFFFFFFFFFFFFFFULL;

    // The record, as laid out in the table (56 bytes, all fixed).
    struct Record {
        uint16_t dummy;  // always 0
        uint16_t size;   // block length in bytes
        uint32_t gap;    // always 0
        uint64_t fid;
        uint64_t offset;
        unsigned char hash[kHashSize];  // all zero: changed
    };

    FlrLBFSHashDB();
    ~FlrLBFSHashDB();
    FlrLBFSHashDB(const FlrLBFSHashDB&) = delete;
    FlrLBFSHashDB& operator=(const FlrLBFSHashDB&) = delete;

    // Declares the table in dir and opens it, creating it when missing (only
    // in read-write mode; TAccessReadOnly is for inspection tools).
    CQiError initialize(const std::string& dir,
                        JXIndexing::TAccessEnum mode = JXIndexing::TAccessReadWrite);
    // Flushes and closes the table (the destructor does too); 0 or an engine
    // code.
    int close();
    // A transaction of several changes (see TCtreeTable::BatchScope): they
    // become visible, and survive a crash of the process, all at once.
    TCtreeTable::BatchScope transaction(size_t expectedBytes = 0,
                                        TCtreeTable::Flush flush = TCtreeTable::Flush::AtEnd);

    // Deletes every block of the file (of each file).
    CQiError del(uint64_t fid);
    CQiError del(const std::vector<uint64_t>& fids);
    // Zeroes the hash of every block overlapping [offset, offset + length).
    CQiError markChanged(uint64_t fid, uint64_t offset, uint64_t length);
    // Some file with a changed block, 0 when there is none.
    CQiError getFirstChangedFile(uint64_t* fid);
    // The first range of the file to hash again: from the first changed block
    // through the first unchanged block after it (length kNone: to the end of
    // the file). start is kNone when nothing changed.
    CQiError getFirstChangedRange(uint64_t fid, uint64_t* start, uint64_t* length);
    // Replaces the blocks that overlap the range the given (re-hashed) blocks
    // cover. Blocks must be in increasing offset order without overlaps.
    CQiError updateChangedRange(uint64_t fid, const std::vector<JxLBFS::HashBlock>& blocks);
    // Every block of the file by increasing offset.
    CQiError get(uint64_t fid, std::vector<JxLBFS::HashBlock>* blocks);
    // Replaces every block of the file.
    CQiError update(uint64_t fid, const std::vector<JxLBFS::HashBlock>& blocks);
    CQiError addBlock(uint64_t fid, const JxLBFS::HashBlock& block);
    // Some block with this hash; an all-zero record when there is none.
    CQiError find(const unsigned char* hash, Record* rec);
    // The smallest file number above `after` that has blocks, 0 when none
    // (for tools walking the table).
    CQiError getNextFile(uint64_t after, uint64_t* fid);

    static CQiError remove(const std::string& dir);
    static CQiError move(const std::string& from, const std::string& to);
    static CQiError copy(const std::string& from, const std::string& to);

    // Lower-case hex of a hash.
    static std::string hashText(const unsigned char* hash);

    // File maintenance shared by the LBFS databases; name is the file name
    // without extension. Return 0 or an errno value.
    static void removeFiles(const std::string& dir, const char* name);
    static int moveFiles(const std::string& from, const std::string& to, const char* name);
    static int copyFiles(const std::string& from, const std::string& to, const char* name);

  private:
    CQiError fileKey(const char* function, uint64_t fid, uint64_t offset);
    CQiError hashKey(const char* function, const unsigned char* hash);
    // First record of the file at or before offset, else at or after it.
    int locateCovering(const char* function, uint64_t fid, uint64_t offset, CQiError* err);
    flrdb::DbCursor blocksOf(const char* function, uint64_t fid, CQiError* err);
    CQiError checkBlocks(const char* function, uint64_t fid,
                         const std::vector<JxLBFS::HashBlock>& blocks);
    CQiError deleteFile(const char* function, uint64_t fid);
    CQiError insertBlocks(const char* function, uint64_t fid,
                          const std::vector<JxLBFS::HashBlock>& blocks);
    void fillRecord(uint64_t fid, const JxLBFS::HashBlock& block);
    template <class Body>
    CQiError batched(const char* function, Body&& body);

    flrdb::DbTable table_;
    Record rec_{};
    char key_[32];
};
