#pragma once
// The tail's side of LBFS transfers. A head announces a file as a list of
// content-defined blocks with their SHA-256 (LBFS_START chunks between the
// file's MIR_HEADER and MIR_EOF, on its main connection). The tail builds the
// new file under a temporary name: every block the content store finds under
// the root is read there, checked against the announced hash and copied;
// the rest is asked for with LBFS_BLOCK_REQ (the head's path and file id
// echoed, value = a token the tail draws for the file). The head answers on
// another connection, a session of its own here, with LBFS_BLOCK (token,
// block, data) and LBFS_DONE (token) after each request. A received block is
// written only when it is one that was asked for and its SHA-256 matches the
// announced hash; anything else fails the file (logged, counted, temporary
// removed, nothing recorded): a faulty or hostile head cannot put wrong bytes
// under a name nor poison the store.
//
// A file is complete when its MIR_EOF came, its block list ended and every
// requested block arrived (and its LBFS_DONE). Then, in whichever session saw
// the last of these, it gets its attributes, joins that session's batch, is
// renamed into place, and its blocks are recorded in the store. A file whose
// blocks are all found locally never sends a request: it completes at its
// MIR_EOF like a full copy. The head's LBFS_STOP is echoed at once: every
// request for the files before it has been sent by then.
//
// Pending files live in a registry shared by the sessions (owned by the
// applier), by token. The session that began a file waits for it to settle
// (placed, failed or dropped) before it answers a request, before an entry at
// or above its path, before a dirchange and when it ends; a file whose blocks
// stop coming for Options::lbfsIdleSeconds is dropped, as is one whose
// block-sending session ends first.
//
// A file completed by the block-sending session while its own session does
// not wait for it is parked in the registry, not left in the completing
// session's batch: that session commits only when it fills, idles for a
// second or sees a ping, so a session that began waiting just after the
// completion waited a second for nothing. Parked files are put in place by
// whichever comes first: their own session when it settles or ends, or the
// completing session when it settles (before a ping), idles, ends, or parks
// kMaxParked files.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "FlrTailApplier.h"
#include "digest/JxLBFS.h"
#include "net/FlrNetMessage.h"
#include "platform/JxFile.h"

class FlrNetTail;
class FlrTailApplyEntry;
class FlrTailStore;
struct FlrTailLBFSFile;

class FlrTailLBFSRegistry {
  public:
    using Clock = std::chrono::steady_clock;
    using Entries = std::vector<std::unique_ptr<FlrTailApplyEntry>>;

    explicit FlrTailLBFSRegistry(FlrTailStore* store) : store_(store) {}
    FlrTailStore* store() const { return store_; }

    uint64_t newAgent();
    // Registers a file begun by agent `origin` and draws its token.
    void add(const std::shared_ptr<FlrTailLBFSFile>& file);
    std::shared_ptr<FlrTailLBFSFile> find(uint64_t token);
    // Unregisters (idempotent).
    void remove(const FlrTailLBFSFile& file);
    // Blocks of origin's files arrived: its idle clock starts over.
    void progress(uint64_t origin);
    // One of origin's files (at rel) is in place, failed or dropped.
    void settled(uint64_t origin, const std::string& rel);
    // True when a file of origin is pending at rel or below it.
    bool pendingAt(uint64_t origin, const std::string& rel);
    // True when some session waits for origin's files.
    bool awaited(uint64_t origin);
    // Waits until origin's files have settled, stop is set, or no block came
    // for idleSeconds (goneSeconds once gone() says the head hung up); true
    // when they all settled.
    // Files parked for origin meanwhile are handed to place (without the lock).
    // With inBatch, the last *inBatch of origin's files count as settled:
    // they wait in the caller's batch, complete, for its next commit.
    bool waitSettled(uint64_t origin, const std::atomic<bool>* stop, int idleSeconds,
                     const std::function<bool()>& gone = {}, int goneSeconds = 0,
                     const std::function<void(Entries)>& place = {}, const int* inBatch = nullptr);
    // Unregisters and returns the files begun by (or fed by) an agent.
    std::vector<std::shared_ptr<FlrTailLBFSFile>> takeBegunBy(uint64_t origin);
    std::vector<std::shared_ptr<FlrTailLBFSFile>> takeFedBy(uint64_t feeder);
    // An agent is gone: its bookkeeping goes too.
    void forgetAgent(uint64_t agent);

    // Announced blocks a session's pending files may hold at once (about 130
    // bytes each with their indexes): a head cannot make a tail hold more than
    // some 64 MiB of block lists per session. A head sends larger files
    // another way (FlrBackup::kLBFSMaxFileSize).
    static constexpr size_t kMaxBlocksPerSession = 480000;
    // Counts n more blocks against origin's budget; false (nothing counted)
    // when they would exceed it.
    bool holdBlocks(uint64_t origin, size_t n);
    // A file of origin that held n blocks settled.
    void releaseBlocks(uint64_t origin, size_t n);

    static constexpr size_t kMaxParked = 256;
    // Parks a completed file of origin, fed by feeder; false (entry kept)
    // when origin has ended or holds kMaxParked files from feeder.
    bool park(uint64_t origin, uint64_t feeder, std::unique_ptr<FlrTailApplyEntry>& entry);
    // The parked files of origin, or those fed by feeder, in the order parked.
    Entries unpark(uint64_t origin);
    Entries unparkFedBy(uint64_t feeder);
    // origin ends: nothing more is parked for it.
    void close(uint64_t origin);

  private:
    struct Origin {
        int outstanding = 0;
        int waiters = 0;
        size_t blocks = 0;  // announced blocks of its pending files
        bool closed = false;
        // Completed files waiting for a commit: (feeder, entry).
        std::vector<std::pair<uint64_t, std::unique_ptr<FlrTailApplyEntry>>> parked;
        Clock::time_point lastProgress = Clock::now();
        // Pending files per path and per folder above them ("" = the root).
        std::unordered_map<std::string, int> paths;
    };
    void countPaths(Origin& o, const std::string& rel, int delta);

    FlrTailStore* store_;
    std::mutex pendingMutex_;  // everything below
    std::condition_variable settledCv_;
    std::unordered_map<uint64_t, std::shared_ptr<FlrTailLBFSFile>> byToken_;
    std::unordered_map<uint64_t, Origin> origins_;
    uint64_t nextAgent_ = 1;
    std::mt19937_64 tokens_{std::random_device{}()};
};

// One session's LBFS work: the files it begins (main connection) and the
// blocks it receives (the head's block connection). Session thread only.
class FlrTailLBFS {
  public:
    // A file's block list is held in memory (with its requests, some 150
    // bytes a block at most): a longer list fails the file, so no head makes
    // a session hold more than about 56 MiB for one (3 GiB of content at the
    // average block).
    static constexpr size_t kMaxFileBlocks = 384u << 10;

    // Takes a completed file into the session's batch; urgent when another
    // session waits for it (commit the batch now).
    using Finished = std::function<void(std::unique_ptr<FlrTailApplyEntry> entry, bool urgent)>;

    FlrTailLBFS(FlrTailLBFSRegistry& registry, const FlrTailRoot& root,
                const FlrTailApplier::Options& options, Finished finished);
    ~FlrTailLBFS();
    FlrTailLBFS(const FlrTailLBFS&) = delete;
    FlrTailLBFS& operator=(const FlrTailLBFS&) = delete;

    // Between a file's first LBFS_START and its MIR_EOF.
    bool open() const { return current_ != nullptr; }
    // LBFS_START: takes the session's entry at the first chunk.
    void start(std::unique_ptr<FlrTailApplyEntry>& entry, const FlrNetLBFSStart& m,
               FlrNetTail* reply, FlrTailApplyStats& stats);
    void acl(const void* data, size_t len, FlrTailApplyStats& stats);
    void eof(FlrTailApplyStats& stats);
    void block(const FlrNetLBFSBlock& m, FlrTailApplyStats& stats);
    void done(uint64_t token, FlrTailApplyStats& stats);
    // The open file's MIR_EOF will not come.
    void dropOpen(FlrTailApplyStats& stats);

    bool pendingAt(const std::string& rel) { return registry_.pendingAt(id_, rel); }
    // Waits for this session's files (see the header comment).
    // idleSeconds < 0: the configured idle time; goneSeconds once gone().
    // commit false: the files go into the session's batch and stay there
    // until it commits for its own reasons (an entry placed after them joins
    // the same batch, in order).
    void settle(const std::atomic<bool>* stop, FlrTailApplyStats& stats, int idleSeconds = -1,
                const std::function<bool()>& gone = {}, int goneSeconds = 0, bool commit = true);
    // Puts in place the parked files this session began or completed (it
    // idles: nothing waits for long).
    void placeParked();
    // The session's batch was committed: the files in it are placed.
    void batchCommitted() { ownInBatch_ = 0; }
    // The session ends: whatever it began or fed and is still pending goes.
    void endSession(FlrTailApplyStats& stats);

  private:
    using FilePtr = std::shared_ptr<FlrTailLBFSFile>;

    FilePtr begin(std::unique_ptr<FlrTailApplyEntry>& entry, const FlrNetLBFSStart& m,
                  FlrTailApplyStats& stats);
    // Appends the chunk's blocks, copying what the store has; the blocks to
    // ask for go to missing. False when the chunk is refused (file failed).
    bool addChunk(FlrTailLBFSFile& f, const FlrNetLBFSStart& m, std::vector<JxLBFS::Block>* missing,
                  FlrTailApplyStats& stats);
    // Local copies (FlrTailLBFSLocal.cpp).
    struct Holder;
    void indexOldCopy(FlrTailLBFSFile& f);
    // Copies the blocks [from, to) found under the root; the others go to
    // absent, in order.
    void placeLocal(FlrTailLBFSFile& f, size_t from, size_t to, std::vector<size_t>* absent,
                    FlrTailApplyStats& stats);
    bool findHolder(FlrTailLBFSFile& f, const JxLBFS::HashBlock& b, Holder* h);
    size_t extendRun(const FlrTailLBFSFile& f, const Holder& h, size_t from, size_t to) const;
    size_t copyRun(FlrTailLBFSFile& f, const Holder& h, size_t from, size_t to,
                   FlrTailApplyStats& stats);
    void dropHolder(FlrTailLBFSFile& f, const Holder& h);
    void dropSource();
    // Under the file's lock: the completed entry, when the file is complete.
    std::unique_ptr<FlrTailApplyEntry> completeIfReady(FlrTailLBFSFile& f,
                                                       FlrTailApplyStats& stats);
    void fail(FlrTailLBFSFile& f, const std::string& why, FlrTailApplyStats& stats);
    void abandon(const std::vector<FilePtr>& files, const char* why, FlrTailApplyStats& stats);
    void hand(std::unique_ptr<FlrTailApplyEntry> entry, uint64_t origin);
    // Takes parked files into this session's batch and commits it, unless
    // commit is false; own: they are files this session began.
    void place(FlrTailLBFSRegistry::Entries entries, bool commit = true, bool own = false);

    FlrTailLBFSRegistry& registry_;
    const FlrTailRoot& root_;
    const FlrTailApplier::Options& options_;
    Finished finished_;
    uint64_t id_;
    // Files this session began that wait complete in its batch (its commit
    // sets it back to 0: batchCommitted()).
    int ownInBatch_ = 0;
    FilePtr current_;
    // The last stored file read for blocks and its block list (consecutive
    // blocks mostly come from one file, in order).
    uint64_t sourceFid_ = 0;
    jx::File source_;
    std::vector<JxLBFS::HashBlock> sourceBlocks_;
    std::vector<unsigned char> buf_;
};
