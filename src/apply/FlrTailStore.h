#pragma once
// The tail's content store: which file under the destination root holds a
// block of a given SHA-256, so an LBFS transfer builds a new file from content
// the tail already has (the old copy, a renamed or copied file) and asks the
// head only for the rest.
//
// Paths ("/a/b", relative to the root) get file numbers in an FlrLBFSTreeDB,
// their blocks live in an FlrLBFSHashDB, both in the store's own folder,
// which must lie outside the root (a mirrored removal would take it). A file's
// blocks are recorded after it is renamed into place and dropped when the
// tail deletes or replaces it. An entry may still go stale (the file changed
// behind the tail's back, a crash between a rename and its record): users
// verify every block they read against its hash and call forgetFile() on a
// mismatch, so a stale entry costs a block request, never wrong bytes.
//
// Thread-safe: one lock around both databases. One process per store (an
// exclusive lock file in the folder).
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "db/FlrLBFSHashDB.h"
#include "db/FlrLBFSTreeDB.h"
#include "digest/JxLBFS.h"
#include "platform/JxFileLock.h"

class FlrTailStore {
  public:
    struct Hit {
        uint64_t fid = 0;  // the store's file number
        std::string rel;   // path relative to the root
        uint64_t offset = 0;
        uint32_t length = 0;
    };

    // Takes the store in dir (made when missing) for the root at rootPath;
    // its databases open on first use. Throws JxException when dir lies
    // inside the root or is locked by another process. Databases that cannot
    // be opened are logged and the store behaves as an empty one.
    FlrTailStore(const std::string& dir, const std::string& rootPath);
    ~FlrTailStore();
    FlrTailStore(const FlrTailStore&) = delete;
    FlrTailStore& operator=(const FlrTailStore&) = delete;

    const std::string& dir() const { return dir_; }
    // True once a record, forget or lookup has opened the databases.
    bool isOpen() const;

    // Some stored block with this hash; false when there is none (or the
    // store failed, logged).
    bool find(const unsigned char* hash, Hit* hit);
    // The file rel now holds exactly these blocks (it was just put in place).
    // Records and forgets are gathered and written together, before any
    // lookup, at kMaxPendingFiles files and on close. A crash loses the
    // records not yet written: their content is then asked for like unknown
    // content, and a forget lost leaves an entry that verification catches.
    void record(const std::string& rel, const std::vector<JxLBFS::HashBlock>& blocks);
    // Writes the gathered records now.
    void flush();
    // rel was deleted or replaced: its blocks (a folder: of everything below)
    // are no longer trusted.
    void forget(const std::string& rel);
    // A block read from file number fid did not match its hash: none of the
    // file's blocks are trusted any more.
    void forgetFile(uint64_t fid);
    // Blocks stored for file number fid, in offset order: a reader that
    // found one block there checks whether the next ones follow it.
    std::vector<JxLBFS::HashBlock> blocksOf(uint64_t fid);
    // Blocks stored for rel, in offset order (for tests and tools).
    std::vector<JxLBFS::HashBlock> blocksOf(const std::string& rel);

    // The blocks last recorded for rel, counting records not yet written;
    // unlike blocksOf() it writes nothing, so a caller may ask per file.
    std::vector<JxLBFS::HashBlock> latestBlocksOf(const std::string& rel);
    // Where `flr tail` keeps the store of a root by default: a folder per root
    // (by the digest of its canonical path) beside the replication state.
    static std::string defaultDir(const std::string& rootPath);

    static constexpr size_t kMaxPendingFiles = 1024;
    static constexpr size_t kMaxPendingBlocks = size_t{1} << 18;

  private:
    void logFailure(const char* what, const CQiError& e) const;
    // A record or forget not yet written, in the order they came.
    struct Pending {
        std::string rel;
        std::vector<JxLBFS::HashBlock> blocks;
        bool forget = false;
    };
    void queueLocked(Pending op);
    void applyLocked(const Pending& op);
    void flushPendingLocked();
    bool openLocked();
    // What the databases hold for rel (records not yet written aside).
    std::vector<JxLBFS::HashBlock> storedBlocksLocked(const std::string& rel);

    enum class DbState { Closed, Open, Failed };
    std::string dir_;
    std::unique_ptr<JxFileLock> lock_;
    mutable std::mutex dbMutex_;  // the databases have no locking of their own
    DbState state_ = DbState::Closed;
    FlrLBFSTreeDB tree_;
    FlrLBFSHashDB hashes_;
    std::vector<Pending> pending_;
    size_t pendingBlocks_ = 0;
};
