#pragma once
// The reference tail's applying handler: puts the files a head transfers into
// a confined destination root and answers the checksum requests of the MD5
// and RSync transfers; bookkeeping requests go to an FlrTailBookkeeper. One
// instance serves every session of an FlrTailService (a head's main, planner
// and stream connections, and several heads); each session applies its own
// entries.
//
// Every regular file is built under a temporary name in its folder and
// renamed into place at its MIR_EOF, after fsync: a transfer cut at any point
// leaves the previous copy or the new one, never a mix. MD5 and RSync
// transfers update the old copy in place under a temporary name (only the
// blocks that differ are written): cut, it is gone rather than mixed, and the
// next run sends it again; with Options::inPlace off, or for a copy with
// several links, they build a new file from the old copy and the blocks.
// Temporaries a killed tail left behind are removed when the next one starts.
// A path that would leave the root is logged, counted and skipped; the
// session goes on. LBFS transfers build files from verified blocks of the
// content store (Options::storeDir) and blocks the head sends on another
// session; see src/apply/FlrTailLBFS.h. JOURNAL records and the last-number questions go to the
// applier's FlrTailJournal.
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

#include "FLR/FlrTailService.h"
#include "FlrTailBatchBudget.h"
#include "FlrTailBookkeeper.h"
#include "FlrTailJournal.h"
#include "FlrTailRoot.h"
#include "FlrTailRuns.h"
#include "net/FlrNetMessage.h"

class FlrNetTail;
class FlrTailAnswered;
class FlrTailApplyEntry;
class FlrTailDirChange;
class FlrTailHardLink;
class FlrTailLBFS;
class FlrTailLBFSRegistry;
class FlrTailStore;
class FlrTailIndexWorker;

struct FlrTailApplyStats {
    long long files = 0;      // regular files put in place
    long long dirs = 0;       // folders made or updated
    long long links = 0;      // symbolic links
    long long specials = 0;   // FIFOs, device nodes, sockets
    long long kept = 0;       // existing files left alone (overwrite off)
    long long bytes = 0;      // literal data bytes written
    long long reused = 0;     // bytes taken from the old copy (MD5, RSync)
    long long refused = 0;    // paths refused by the confinement
    long long failed = 0;     // entries that could not be applied
    long long cut = 0;        // entries whose MIR_EOF never came
    long long deleted = 0;    // entries removed by a dirchange file
    long long answers = 0;    // checksum requests answered
    long long requested = 0;  // LBFS blocks asked of the head
    long long rejected = 0;   // LBFS blocks refused: not asked for or not matching their hash
    long long stripped = 0;   // entries applied without their setuid/setgid bits
    long long withheld = 0;   // privileged entries not applied (device nodes, or by Refuse)

    void add(const FlrTailApplyStats& o);
};

class FlrTailApplier {
  public:
    struct Options {
        // Make files durable before they are renamed into place (a power cut
        // then costs at most the files still in flight). Finished entries
        // wait in a batch made durable with one syncfs, then renamed.
        bool syncFiles = true;
        // A batch is committed at this many entries (and when the batches of
        // every session together hold a quarter of the open-file limit: each
        // entry holds its folder open, see FlrTailBatchBudget) or data bytes, before a
        // request is answered, before an MD5 or RSync entry or a dirchange
        // is applied, when the session idles for a second, and at its end.
        size_t batchEntries = 1024;
        long long batchBytes = 256ll << 20;
        // MD5 and RSync change the old copy in place (see above) instead of
        // building a whole new file beside it.
        bool inPlace = true;
        // Old bytes an in-place RSync update keeps for copy references that
        // may still name them; past this the file is built beside instead.
        long long inPlaceKeepBytes = 32ll << 20;
        // Owners are set only when the tail may give files away.
        bool setOwners = ::geteuid() == 0;
        // Setuid/setgid files, device nodes and the root folder's own
        // attributes (see FlrPrivileged): a tail serving heads over the
        // network strips by default; a local destination keeps.
        FlrPrivileged privileged = FlrPrivileged::Strip;
        // Longest symbolic link target and ACL form accepted.
        size_t maxLinkTarget = 4096;
        size_t maxACL = 1 << 20;
        // Digests per RECV_MD5 message.
        int md5BlocksPerMessage = 1024;
        // Largest answer to GET_RSYNC_CSUMS / GET_FILE_CHECKSUMS in blocks
        // (beyond it the answer is empty: the head sends the file in full).
        size_t maxAnswerBlocks = 1u << 21;
        // Called with the path (as the head named its folder) of each entry a
        // dirchange file removes, on the session's thread. Null: none.
        std::function<void(const std::string& path)> onRemoved;
        // The content store of LBFS transfers: a folder outside the root
        // (empty: none, every block is asked of the head).
        std::string storeDir;
        // An LBFS file none of whose blocks came for this long is dropped.
        int lbfsIdleSeconds = 60;
        // How long a session that names its run waits while the run it
        // follows is still applying; past it the session ends (see
        // FlrTailRuns).
        std::chrono::milliseconds runWait = FlrTailRuns::kLimit;
        // Journal records: where the last applied numbers are kept (empty:
        // FlrTailJournal::defaultStateFile) and how often they are made durable.
        std::string journalState;
        int journalSyncRecords = 4096;
        int journalSyncMs = 1000;
    };

    // Opens the root (and the content store) and removes temporaries of an
    // earlier, killed tail (with a store: only when the last tail on it did
    // not end normally). Throws JxException when root is not a folder or
    // the store cannot be opened.
    explicit FlrTailApplier(const std::string& root);
    FlrTailApplier(const std::string& root, Options options);
    ~FlrTailApplier();

    // The handler: serves one session until the peer leaves or the service
    // stops; the session's counts go to `out` when given.
    void serve(FlrTailSession& session, FlrTailApplyStats* out = nullptr);
    FlrTailService::Handler handler() {
        return [this](FlrTailSession& s) { serve(s); };
    }

    FlrTailApplyStats totals() const;
    const FlrTailRoot& root() const { return root_; }
    const Options& options() const { return options_; }
    FlrTailBookkeeper& bookkeeper() { return keeper_; }
    FlrTailJournal& journal() { return *journal_; }
    void addTotals(const FlrTailApplyStats& s);
    // The content store; null without Options::storeDir.
    FlrTailStore* store() const { return store_.get(); }
    FlrTailLBFSRegistry& lbfs() { return *lbfs_; }
    // The copies the checksum answers of every session described.
    FlrTailAnswered& answered() { return *answered_; }
    // The folders the sessions' batches hold open together.
    FlrTailBatchBudget& batchBudget() { return batchBudget_; }

  private:
    static constexpr const char* kCleanStopMark = "clean-stop";
    bool takeCleanStopMark();

    FlrTailRoot root_;
    Options options_;
    FlrTailRuns runs_;  // the sessions being served, and their runs
    FlrTailBookkeeper keeper_;
    std::unique_ptr<FlrTailStore> store_;
    std::unique_ptr<FlrTailLBFSRegistry> lbfs_;
    std::unique_ptr<FlrTailJournal> journal_;
    std::unique_ptr<FlrTailAnswered> answered_;
    FlrTailBatchBudget batchBudget_;
    mutable std::mutex mtx_;
    FlrTailApplyStats totals_;
};

// One session's apply state: the entry being received and the special file
// being streamed. Also usable without a link (answers then go nowhere).
class FlrTailApplySession {
  public:
    // A batch that put entries into more folders than this syncs the file
    // system once after its renames instead of each folder.
    static constexpr size_t kFoldersSyncedOneByOne = 16;

    explicit FlrTailApplySession(FlrTailApplier& applier);
    // Adds the counts to the applier's totals; an entry still open is
    // dropped (its temporary removed), so the old copy stays.
    ~FlrTailApplySession();
    FlrTailApplySession(const FlrTailApplySession&) = delete;
    FlrTailApplySession& operator=(const FlrTailApplySession&) = delete;

    // Applies or answers one message; answers go to reply (none when null).
    void handle(const FlrNetMessage& m, FlrNetTail* reply);
    // Commits and waits (at most until the session's LBFS files stop
    // progressing, or the stop flag of setStop() is set) for the LBFS files
    // this session began to be placed or failed; idleSeconds < 0: the
    // configured idle time without a block before they are dropped.
    void settleLBFS(int idleSeconds = -1);
    // Waits like settleLBFS for the LBFS files this session began and takes
    // them into the batch without committing it: the entry that needed them
    // first (their folder) follows them in the same batch.
    void gatherLBFS();
    // LBFS files completed but parked for a commit are put in place now.
    void placeParkedLBFS();
    void setStop(const std::atomic<bool>* stop) { stop_ = stop; }
    // Tells whether the head has hung up: a wait for its LBFS files then
    // ends after kEndGraceSeconds without a block, not the idle time.
    void setHeadGone(std::function<bool()> gone) { headGone_ = std::move(gone); }
    // Called when the head names the session's run (SET_RUN_ID): waits
    // until the run it follows has finished applying, false when it would
    // not (the session then ends: ended() is true); null: the run is taken
    // as named.
    void setJoinRun(std::function<bool(uint64_t run, uint64_t follows)> join) {
        joinRun_ = std::move(join);
    }
    bool ended() const { return ended_; }
    // How long LBFS files of a head that is gone may still take to progress.
    static constexpr int kEndGraceSeconds = 1;
    // Makes the finished entries durable and puts them in place.
    void commit();
    const FlrTailApplyStats& stats() const { return stats_; }
    const FlrTailBookkeeper::Counts& counts() const { return counts_; }

  private:
    void handleOne(const FlrNetMessage& m, FlrNetTail* reply);
    void beginEntry(const FlrNetMirHeader& sent);
    bool screenPrivileged(const std::string& received, FlrNetMirHeader* h);
    void endEntry();
    void beginHardLink(const std::string& rel);
    void feedHardLink(const void* data, size_t len);
    void endHardLink();
    void enqueue(std::unique_ptr<FlrTailApplyEntry> entry);
    void forgetOnPlacing(FlrTailApplyEntry& e);
    bool batched(const std::string& rel) const;
    void beginSpecial(int id);
    void endSpecial();
    void dropOpen(const char* why);
    void syncFolders(const std::vector<std::unique_ptr<FlrTailApplyEntry>>& batch);
    bool syncBatch(std::vector<std::unique_ptr<FlrTailApplyEntry>>& batch);
    void applyHeldWrites(std::vector<std::unique_ptr<FlrTailApplyEntry>>& batch);
    void answer(const FlrNetMessage& m, FlrNetTail& reply);
    template <class Fn>
    void onEntry(Fn fn);

    FlrTailApplier& applier_;
    // Cuts files that arrive whole for the content store (made on first use;
    // outlives the entries below).
    std::unique_ptr<FlrTailIndexWorker> indexWorker_;
    std::unique_ptr<FlrTailApplyEntry> entry_;
    FlrTailFolderCache folders_;
    std::unique_ptr<FlrTailHardLink> hardLink_;  // instead of entry_ for a link
    // Finished entries waiting for commit(), in arrival order.
    std::vector<std::unique_ptr<FlrTailApplyEntry>> batch_;
    std::unordered_set<std::string> batchPaths_;
    long long batchBytes_ = 0;
    // Entries a batch holds at most: each keeps its folder open until the
    // batch commits, so the applier's budget of descriptors bounds it too.
    size_t batchLimit_ = 0;
    std::unique_ptr<FlrTailDirChange> dirChange_;
    std::unique_ptr<FlrTailLBFS> lbfs_;
    const std::atomic<bool>* stop_ = nullptr;
    std::function<bool()> headGone_;
    std::function<bool(uint64_t, uint64_t)> joinRun_;
    bool ended_ = false;  // its run was refused: nothing more is applied
    // The run the head named for this session; checksum answers and the
    // deltas built on them are matched within it (0: none named).
    uint64_t run_ = 0;
    // Between MIR_SPEC_FILE and its MIR_EOF (an unknown id streams into nothing).
    bool inSpecial_ = false;
    int pair_ = 0;
    FlrTailApplyStats stats_;
    FlrTailJournalStats journalStats_;  // one JOURNAL message's counts, reused
    FlrTailBookkeeper::Counts counts_;
};
