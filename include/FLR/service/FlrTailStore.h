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
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "FLR/FlrLBFSHashDB.h"
#include "FLR/FlrLBFSTreeDB.h"
#include "FLR/platform/FlrExport.h"
#include "FLR/platform/JxFileLock.h"
#include "FLR/platform/JxLBFS.h"

class FLR_EXPORT FlrTailStore {
  public:
    struct Hit {
        uint64_t fid = 0;  // the store's file number
        std::string rel;   // path relative to the root
        uint64_t offset = 0;
        uint32_t length = 0;
    };

    // Opens the store in dir (made when missing) for the root at rootPath.
    // Throws JxException when dir lies inside the root, is locked by another
    // process, or its databases cannot be opened.
    FlrTailStore(const std::string& dir, const std::string& rootPath);
    ~FlrTailStore();
    FlrTailStore(const FlrTailStore&) = delete;
    FlrTailStore& operator=(const FlrTailStore&) = delete;

    const std::string& dir() const { return dir_; }

    // Some stored block with this hash; false when there is none (or the
    // store failed, logged).
    bool find(const unsigned char* hash, Hit* hit);
    // The file rel now holds exactly these blocks (it was just put in place).
    // Records and forgets are gathered and written together: before any
    // lookup, on close, and in the background once kBackgroundFiles files or
    // kBackgroundBlocks blocks wait (so a large batch of placed files is
    // written while the tail goes on renaming, not all at its end; the
    // caller never waits for the databases here). A crash loses the
    // records not yet written: their content is then asked for like unknown
    // content, and a forget lost leaves an entry that verification catches.
    void record(const std::string& rel, const std::vector<JxLBFS::HashBlock>& blocks);
    // Writes the gathered records now.
    void flush();
    // Records and forgets not yet written (queued or being written).
    size_t unwritten();
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

    // Where `flr tail` keeps the store of a root by default: a folder per root
    // (by the digest of its canonical path) beside the replication state.
    static std::string defaultDir(const std::string& rootPath);

    static constexpr size_t kBackgroundFiles = 64;
    static constexpr size_t kBackgroundBlocks = size_t{1} << 14;

  private:
    void logFailure(const char* what, const CQiError& e) const;
    // A record or forget not yet written, in the order they came.
    struct Pending {
        std::string rel;
        std::vector<JxLBFS::HashBlock> blocks;
        bool forget = false;
    };
    void queue(Pending op);
    void applyLocked(const Pending& op);
    // Under dbMutex_: writes everything queued so far, in order.
    void flushPendingLocked();
    void writeBatch(const std::vector<Pending>& files, size_t blocks);
    void writeInBackground();
    void stopWriter();

    std::string dir_;
    std::unique_ptr<JxFileLock> lock_;
    std::mutex dbMutex_;  // the databases have no locking of their own
    FlrLBFSTreeDB tree_;
    FlrLBFSHashDB hashes_;
    // Taken after dbMutex_ when both are held; record() and forget() take
    // only this one, so a caller never waits for a write in progress.
    std::mutex queueMutex_;
    std::condition_variable queueCv_;
    std::vector<Pending> pending_;
    size_t pendingBlocks_ = 0;
    size_t inFlight_ = 0;  // taken from pending_, not yet written
    bool stopWriter_ = false;
    std::thread writer_;  // started at the first background write
};
