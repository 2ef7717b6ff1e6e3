#pragma once
// The head's transfer driver: copies the entries named by a collect file to
// the tail over one FlrNetHead connection, translating source paths through
// directory pairs into destination paths.
//
// One loop is chosen for the whole run: the plain loop (every file in
// full, or with LBFS as content-defined blocks the tail asks for), or the
// MD5/RSync pipeline, in which a
// planner thread reads the collect file and asks the tail, over a connection
// of its own (dup()), for the checksums of its copy, while the calling thread
// sends each file in full, as the blocks that differ (MD5) or as an
// rsync-style delta. With lbfsForNewNames the pipeline also sends by LBFS
// every file the tail holds nothing at (its answer is empty: a new name). The planner is bounded to
// kWorkListLimit pending items and never outlives the run: an abort or a failure cuts its
// connection and joins it.
//
// LBFS: the main loop sends each file's block list (LBFS_START) and goes on;
// an LBFS thread reads the tail's block requests from the main connection
// and answers them over a second connection (dup()). While it runs nothing
// else reads the main connection. flushLBFS() ends the exchange (LBFS_STOP,
// echoed by the tail once it asked for everything); abortLBFS(), a failed
// run and the destructor end the thread without it.
//
// Failures are JxException (code -1) from "FlrBackup::<operation>"; a set
// abort flag makes the loops throw "Aborted". Link and job-client exceptions
// pass through; the caller restarts from getLastCollectOffset().
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "FLR/FlrFid.h"
#include "FLR/JxException.h"
#include "FLR/JxSafeFlags.h"
#include "FlrAdaptiveMD5.h"
#include "digest/JxLBFS.h"
#include "platform/JxFile.h"
#include "platform/JxMonitor.h"
#include "platform/JxThread.h"
#include "platform/JxXattr.h"

class FlrCollectFile;
class FlrDriver;
class FlrJobClient;
class FlrLBFSBlockCache;
class FlrNetHead;
struct FlrNetMessage;
namespace JxACL {
class Helper;
}

class FlrBackup {
  public:
    static constexpr int kDefaultHashChunkSize = 32768;
    static constexpr int kDefaultHashMinFileSize = 65536;
    static constexpr int kDefaultRSyncMaxFileSize = 104857600;
    // The transfer buffer holds at least this many bytes (and 3 blocks).
    static constexpr int kTransferBufferBytes = 524288;
    static constexpr int kCollectLineSize = 4096;
    // Pending work items before the planner waits.
    static constexpr size_t kWorkListLimit = 512;
    static constexpr int kWaitMs = 1000;
    // A progress report is due after this much since the last one...
    static constexpr long long kReportBytes = 8388608;
    static constexpr int kReportFiles = 100;
    // ...and at most once per this many seconds.
    static constexpr int kReportSecs = 60;
    static constexpr int kSampleBudget = 10;
    static constexpr int kPingSampleSecs = 120;
    // Copy references per MIR_RSYNC message.
    static constexpr int kRSyncRefsPerMessage = 128;
    // A full copy leaves out zero runs from this long on (a seek costs less
    // than their bytes); the tail keeps them as holes.
    static constexpr size_t kSkippedZeroRun = 32 << 10;
    // Regular files up to this size go whole even when LBFS is on.
    static constexpr long long kLBFSMinFileSize = 256;
    // ... and larger ones go another way: a tail holds the block lists of a
    // session's pending files within a fixed budget (about 400,000 blocks).
    static constexpr long long kLBFSMaxFileSize = 768ll << 20;
    static bool lbfsFits(long long size) {
        return size > kLBFSMinFileSize && size <= kLBFSMaxFileSize;
    }
    // The LBFS thread's read buffer; larger requested blocks grow it up to
    // kLBFSMaxPiece and go out as pieces of that size beyond.
    static constexpr int kLBFSBufferSize = 131072;
    static constexpr int kLBFSMaxPiece = 4 << 20;
    // Write intervals are read and sent in pieces of this size.
    static constexpr int kWBAPieceSize = 262144;

    // The loop a run takes (see chooseRunLoop).
    // MD5OrRSyncLBFS: the pipeline, sending files the tail does not hold by
    // LBFS.
    enum class RunLoop { LBFS, MD5OrRSync, MD5OrRSyncLBFS, Plain };

    struct DirPair {
        std::string src;
        std::string dst;
        // The source folder, opened once: entries are opened beneath it.
        std::shared_ptr<const jx::File> srcRoot;
    };

    // One block of the tail's copy.
    struct ChunkCSUM {
        uint32_t index = 0;
        uint32_t weak = 0;
        uint32_t length = 0;
        unsigned char md5[16] = {};
    };

    // One work item. A compared file may span several items (one per digest
    // message of the tail); its final item is marked `last`.
    struct File {
        bool md5 = false;
        bool rsync = false;
        bool last = true;
        char type = 'F';
        // Numbers the entries of a run, so the items of one file are known.
        unsigned long long seq = 0;
        fsf_fid fid = fsf_fid::fid0;
        std::string src;
        std::string dst;
        struct stat st = {};
        std::vector<unsigned char> acl;
        unsigned long long collectOffset = 0;
        std::vector<ChunkCSUM> csums;
        // The block size the tail's checksums of this file were asked with
        // (0: hashChunkSize).
        int block = 0;
        // Planner: send by LBFS if the tail holds nothing at dst; send in
        // full if it holds something (the threshold chose full, the request
        // only asked whether dst is there).
        bool lbfsIfNew = false;
        bool fullIfHeld = false;
        // Sender: the tail holds nothing at dst; send by LBFS.
        bool lbfs = false;
        // Compared by MD5 or RSync, but the tail had no block to compare
        // with: the content travels whole (and is counted as full).
        bool tailHeldNothing = false;
    };

    using ProgressFn = void (*)(long long totalFiles, long long totalBytes, void* context);

    FlrBackup(FlrNetHead* head, JxSafeFlags* abort, FlrDriver* driver);
    ~FlrBackup();
    FlrBackup(const FlrBackup&) = delete;
    FlrBackup& operator=(const FlrBackup&) = delete;

    // --- settings (set before backup) ------------------------------------------
    bool useMD5 = false;
    bool useRSync = false;
    bool useLBFS = false;
    bool overwrite = true;
    bool skipVanished = false;
    // A regular file's later names in a run travel as hard links to its
    // first (one connection only: the first name must be in place first).
    bool linkHardLinks = false;
    // For the next run: the file with this device and inode was sent under
    // src (by another connection, already in place on the tail).
    void seedLinkName(const std::string& src, std::pair<dev_t, ino_t> key);
    // 0 means adaptive (the threshold the model has learned).
    int hashChunkSize = kDefaultHashChunkSize;
    int hashMinFileSize = kDefaultHashMinFileSize;
    int rsyncMaxFileSize = kDefaultRSyncMaxFileSize;
    // Compare each file in blocks sized by the file (blockSizeFor) instead
    // of hashChunkSize for all: fewer bytes for a small change in a small file.
    bool blockBySize = false;
    // With useLBFS and useMD5/useRSync: compare the files whose path the tail
    // holds (MD5/RSync, as the threshold picks) and send the others by LBFS,
    // where content the tail holds under other names is not sent again.
    // Without it useLBFS sends every file by LBFS.
    bool lbfsForNewNames = false;
    // The destination held nothing as the run began (its caller looked): no
    // file is asked about; each goes whole, or by LBFS where new names do.
    bool tailHoldsNothing = false;
    // Block lists of unchanged files, shared by the drivers of a run; null:
    // every LBFS file is cut into blocks again.
    std::shared_ptr<FlrLBFSBlockCache> lbfsBlockCache;

    bool isMD5Disabled() const { return disableMD5_; }
    bool isRSyncDisabled() const { return disableRSync_; }
    bool isLBFSDisabled() const { return disableLBFS_; }
    int getClusterNode() const { return clusterNode_; }
    int getClusterSize() const { return clusterSize_; }
    bool hasACLHelper() const { return aclHelper_ != nullptr; }
    void setProgressCallback(ProgressFn fn, void* context);
    // Counters this driver adds its sent entries and data bytes to as it
    // goes, for a progress display on another thread (several drivers may
    // share them). Null: none.
    // Called with each entry's source path once it is sent, on the thread
    // running backup() (several drivers of a run call it from theirs).
    std::function<void(const std::string& src)> onEntrySent;
    void setLiveCounters(std::atomic<long long>* files, std::atomic<long long>* bytes) {
        liveFiles_ = files;
        liveBytes_ = bytes;
    }

    // --- directory pairs ---------------------------------------------------------
    void addDirPair(const char* src, const char* dst);
    const std::vector<DirPair>& getDirPairs() const { return pairs_; }
    static std::string translate(const char* path, const DirPair& pair);
    // Translates with the longest matching pair (null when none matched).
    std::string translate(const char* path, const DirPair** matched) const;

    // --- the run -------------------------------------------------------------------
    void backup(FlrCollectFile* cf, bool sendOffsets, int pairId);
    void backup(const char* collectPath, int offset, bool sendOffsets, int pairId);

    // A read-only descriptor of a regular file, or -1 for a vanished entry
    // when skipVanished is on.
    int openFile(const char* path, const fsf_fid& fid, struct stat* st);
    // Reads until len bytes or end of file; throws on errors.
    int readAll(int fd, void* buf, int len);
    void pushToBNIfNeeded(const char* caller);

    // --- LBFS ----------------------------------------------------------------------
    // Percentage of the LBFS files' bytes that did not have to be sent, 0
    // when nothing was sent (the arguments are not used).
    float getLBFSStats(unsigned long* a, unsigned long* b) const;
    // 100 * (L - T) / L with L = T - blocks + fileBytes; 0 when L is 0.
    static float lbfsSavedPercent(long long total, unsigned long long blocks,
                                  unsigned long long fileBytes);
    // Bytes of the files sent by LBFS, and bytes the tail asked for as blocks.
    unsigned long long getLBFSFileBytes() const { return lbfsFileBytes_.load(); }
    unsigned long long getLBFSBlockBytes() const { return lbfsBlockBytes_.load(); }
    // Entries left to the next pass because they changed kind or were
    // swapped for a link between the scan and their open.
    long long getSkippedEntries() const { return skippedEntries_.load(); }
    // Entries whose extended attributes exceeded the limits and were left out.
    long long getXattrsSkipped() const { return xattrsSkipped_.load(); }
    // Entries the tail could not apply that completed on the LBFS
    // connection (its final ping's answer; the main connection's count is
    // the caller's FlrNetHead::unappliedEntries()).
    long long getUnappliedEntries() const { return lbfsUnapplied_.load(); }
    // Sends LBFS_STOP and waits until the LBFS thread ended (no-op when it
    // does not run); throws the thread's error, or "Aborted".
    void flushLBFS();
    // Ends the LBFS thread at once, without the exchange, and joins it.
    void abortLBFS();
    bool isLBFSRunning() const;
    // LBFS for a run needs a tail above protocol version 3; otherwise MD5 or
    // RSync when wanted, else every file whole. newNames: LBFS only for the
    // files the tail does not hold, inside the MD5/RSync pipeline.
    static RunLoop chooseRunLoop(bool lbfs, bool md5, bool rsync, uint32_t peerVersion,
                                 bool newNames = false);

    // --- write intervals (WBA) ---------------------------------------------------------
    // addDirPair with a byte counter of 0 for src.
    void addDirPairWBA(const char* src, const char* dst);
    // Clears the pairs, then addDirPairWBA.
    void setDirPairWBA(const char* src, const char* dst);
    // Bytes sent by sendRegFileWBA under the pair whose source is src.
    unsigned long long getByteCntWBA(const char* src) const;
    // Sends the written intervals [starts[i], ends[i]) of one file, or the
    // file by LBFS when that is cheaper (the caller ends with flushLBFS()).
    void sendRegFileWBA(const fsf_fid& fid, const char* path,
                        const std::list<unsigned long long>& starts,
                        const std::list<unsigned long long>& ends);
    // True when LBFS is possible (a tail above protocol version 3, LBFS not
    // disabled) and 5 x its cost for the file is below the interval bytes.
    static bool wbaUsesLBFS(uint32_t peerVersion, bool lbfsDisabled, unsigned long long size,
                            size_t pathLen, const std::list<unsigned long long>& starts,
                            const std::list<unsigned long long>& ends);

    // Totals of the last (or running) backup; bytes include LBFS blocks.
    long long getTotalFiles() const { return totalFiles_; }
    long long getTotalBytes() const {
        return totalBytes_ + static_cast<long long>(lbfsBlockBytes_.load());
    }
    // Where a restarted run continues: past the last entry sent.
    unsigned long long getLastCollectOffset() const { return lastCollectOffset_; }
    // Files sent by each method (full, MD5, RSync, LBFS) in the last run.
    long long getMethodCount(int method) const;

    // The size from which the planner compares a file: the fixed setting,
    // or the learned one when hashMinFileSize is 0. -1 means never.
    long long checksumThreshold();
    // Which method the planner asks for a regular file of this size:
    // 0 full, 1 MD5, 2 RSync.
    int chooseMethod(long long size, long long threshold) const;
    // The comparison block for a file of this size: the power of two nearest
    // the one that balances the digests (20 bytes a block) against the data a
    // changed block resends, between 2 KiB and hashChunkSize.
    int blockSizeFor(long long size) const;
    // True when this cluster node handles an "F" entry with this path.
    bool handledByThisNode(const std::string& path) const;
    // The adaptive model, for the owner's inspection; lock adaptiveLock().
    FlrAdaptiveMD5& adaptive() { return adaptive_; }
    std::mutex& adaptiveLock() { return adaptiveMtx_; }

  private:
    // A collect line taken apart. False for a line that does not fit.
    bool parseLine(const char* line, File& f) const;
    // Reads the next entry this node handles; false at the end.
    bool nextEntry(File& f);
    // lstat (or stat by id) with the vanished rule; false to skip.
    bool statEntry(File& f);
    // From fd when the file is open already (no second open by path).
    void gatherACL(File& f, int fd = -1);
    void readSettings();
    void readReplicationSetProperties(int pairId);
    void logRun(bool sendOffsets, int pairId);
    void checkAbort(const char* function) const;
    void finishRun();

    // Loops.
    void runChosenLoop();
    void backupRegOrLBFS(bool lbfs);
    void sendPlaceholder(File& f);
    void backupMD5OrRSync();
    // The planner's verdict on a file asked about with lbfsIfNew, whose tail
    // copy answered with no blocks (held false) or some: LBFS for a new
    // name, full for a held file only asked about. False: compare as asked.
    static bool settleNewName(const File& asked, File& item, bool held);
    // Header, ACL, body, EOF of one entry; fd (when >= 0) is consumed. False
    // when nothing was sent: a link that is no longer one.
    bool sendEntry(File& f, int fd, uint8_t method);
    void sendHeader(const File& f, uint8_t method);
    void sendAttrs(const File& f);
    bool gatherXattrs(const File& f);
    void sendLinkTarget(const File& f);
    bool sendIfHardLink(const File& f);
    void rememberLinkName(const File& f);
    bool deltaOfNothing(const File& f, uint8_t method) const;
    bool readLinkTarget(const File& f, std::string* target);
    void sendRegFileFull(File& f, int fd);
    long long sendDataSkippingZeros(long long at, int n, long long* cursor);
    void finishFullSample(bool sampled, long long sent, uint64_t start);
    void sendRegFileMD5(File& f, int fd);
    void sendRegFileRSync(File& f, int fd);
    void sendRegFileLBFS(File& f, int fd);
    void cutIntoBlocks(const File& f, int fd, std::list<JxLBFS::HashBlock>* blocks);
    void sendIntervals(const File& f, int fd, const std::list<unsigned long long>& starts,
                       const std::list<unsigned long long>& ends);
    void countFile(const File& f, uint8_t method);
    void countBytes(long long bytes);
    void refillSampleBudgets();

    // Planner.
    void md5Thread();
    // conn opens the planner's connection on first use.
    void planEntries(const std::function<FlrNetHead&()>& conn);
    // Checksum requests go out ahead of their answers (the tail answers in
    // order); `since` is when the tail could start on this one. The
    // requests return whether the tail held anything at f.dst.
    void askChecksums(FlrNetHead& conn, const File& f, int method);
    bool requestMD5Stream(FlrNetHead& conn, File& f, uint64_t since);
    bool requestRSyncSums(FlrNetHead& conn, File& f, uint64_t since);
    void pingSampleIfDue(FlrNetHead& conn);
    void queueItem(std::unique_ptr<File> item);
    // The next item, waiting for the planner; null once the list is done.
    std::unique_ptr<File> takeItem(const char* function);
    void stopPlanner();
    // The next item of the same entry as first, or an exception when the
    // planner's stream broke off or moved on to another entry.
    std::unique_ptr<File> takeSameFile(const File& first, const char* function);
    // Consumes the remaining items of an entry that is not sent.
    void drainFile(const File& item, const char* function);
    // recvMessage that watches the abort flags while it waits.
    int recvWatching(FlrNetHead& conn, FlrNetMessage* msg);

    // LBFS thread.
    struct BlockRequest;
    void startLBFSThread();
    void lbfsThread(FlrNetHead* conn);
    void serveBlockRequests(FlrNetHead& conn);
    void answerBlockRequest(FlrNetHead& conn, BlockRequest& req, const FlrNetMessage& m);
    void sendBlock(FlrNetHead& conn, BlockRequest& req, const JxLBFS::Block& block);
    void announceLBFS(const File& f, int fd, const std::list<JxLBFS::HashBlock>& blocks);
    void openRequested(BlockRequest& req, const char* path, const char* fidText);
    void forgetAnnounced();
    int openBeneathSource(const char* path, struct stat* st);
    std::string lbfsErrorText() const;

    // Adaptive model calls, serialised.
    void addSample(int kind, unsigned long long bytes, unsigned long long micros);

    FlrNetHead* head_;
    JxSafeFlags* abort_;
    FlrDriver* driver_;
    // The first destination name of each multi-link file sent this run.
    std::map<std::pair<dev_t, ino_t>, std::string> linkNames_;
    std::map<std::pair<dev_t, ino_t>, std::string> seededLinkNames_;
    void* buf_ = nullptr;
    int bufSize_ = 0;
    std::unique_ptr<JxACL::Helper> aclHelper_;
    bool disableMD5_ = false;
    bool disableRSync_ = false;
    bool disableLBFS_ = false;
    FlrAdaptiveMD5 adaptive_;
    std::mutex adaptiveMtx_;
    JxSafeFlags netSamples_{kSampleBudget};
    JxSafeFlags localSamples_{kSampleBudget};
    JxSafeFlags remoteSamples_{kSampleBudget};
    long long lastRefill_ = 0;
    std::vector<DirPair> pairs_;
    FlrCollectFile* cf_ = nullptr;
    bool sendOffsets_ = false;
    int pairId_ = -1;
    int clusterNode_ = 0;
    int clusterSize_ = 0;
    ProgressFn progressFn_ = nullptr;
    void* progressCtx_ = nullptr;

    // Progress.
    long long lastReport_ = 0;
    std::string currentFile_;
    std::atomic<long long>* liveFiles_ = nullptr;
    std::atomic<long long>* liveBytes_ = nullptr;
    long long totalBytes_ = 0;
    long long bytesSinceReport_ = 0;
    long long totalFiles_ = 0;
    int filesSinceReport_ = 0;
    long long methodCounts_[4] = {0, 0, 0, 0};
    unsigned long long lastCollectOffset_ = 0;
    std::unique_ptr<FlrJobClient> job_;

    // LBFS thread state, guarded by lbfsMon_; the counters are atomic.
    mutable JxMonitorH lbfsMon_;
    bool lbfsRunning_ = false;
    bool lbfsStop_ = false;
    std::string lbfsError_;
    FlrNetHead* lbfsConn_ = nullptr;
    JxThread lbfsThread_;
    // This run's pipeline sends files the tail does not hold by LBFS.
    bool newNamesByLBFS_ = false;
    std::vector<char> lbfsBuf_;
    std::atomic<unsigned long long> lbfsFileBytes_{0};
    std::atomic<unsigned long long> lbfsBlockBytes_{0};
    std::atomic<long long> lbfsUnapplied_{0};
    std::atomic<long long> skippedEntries_{0};
    std::atomic<long long> xattrsSkipped_{0};
    // The attributes of the entry being sent, reused from entry to entry.
    std::vector<jx::Xattr> xattrs_;
    std::string xattrBlock_;
    // What this run announced by LBFS, by source path: the tail may ask for
    // blocks of these files alone, of the very file announced (device and
    // inode), and within the announced length. Guarded by lbfsMon_.
    struct AnnouncedFile {
        fsf_fid fid;
        dev_t dev = 0;
        ino_t ino = 0;
        uint64_t length = 0;
    };
    std::unordered_map<std::string, AnnouncedFile> lbfsAnnounced_;
    std::map<std::string, unsigned long long> wbaBytes_;

    // Work list shared by planner and sender, guarded by workMon_.
    JxMonitorH workMon_;
    std::deque<std::unique_ptr<File>> work_;
    bool planDone_ = false;
    bool planStop_ = false;
    std::unique_ptr<JxException> planError_;
    FlrNetHead* planConn_ = nullptr;
    JxThread planner_;
    long long lastPing_ = 0;
};
