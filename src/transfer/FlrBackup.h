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
// The roles own their state: the planner (FlrBackupPlanner, with the work
// list), the entry sender and one sender per method (FlrBackupSender,
// FlrBackupSenders.h), the block server (FlrBlockServer), the source side
// (FlrBackupSource) and the progress (FlrBackupProgress); FlrBackupContext
// hands the shared read-only things to each. This class sets them up and
// runs the loops.
//
// Failures are JxException (code -1) from "FlrBackup::<operation>"; a set
// abort flag makes the loops throw "Aborted". Link and job-client exceptions
// pass through; the caller restarts from getLastCollectOffset().
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "FLR/FlrFid.h"
#include "FLR/JxException.h"
#include "FLR/JxSafeFlags.h"
#include "FlrAdaptiveMD5.h"
#include "FlrBackupContext.h"
#include "FlrBackupPlanner.h"
#include "FlrBackupProgress.h"
#include "FlrBackupSender.h"
#include "FlrBackupSenders.h"
#include "FlrBackupSource.h"
#include "FlrBlockServer.h"
#include "digest/JxLBFS.h"

class FlrCollectFile;
class FlrDriver;
class FlrNetHead;

class FlrBackup : public FlrBackupSettings {
  public:
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
    static constexpr int kSampleBudget = FlrBackupSamples::kBudget;
    static constexpr int kPingSampleSecs = 120;
    // Copy references per MIR_RSYNC message.
    static constexpr int kRSyncRefsPerMessage = 128;
    // A full copy leaves out zero runs from this long on (a seek costs less
    // than their bytes); the tail keeps them as holes.
    static constexpr size_t kSkippedZeroRun = 32 << 10;
    // Regular files up to this size go whole even when LBFS is on.
    static constexpr long long kLBFSMinFileSize = JxLBFS::kWholeFileMax;
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

    using DirPair = FlrBackupDirPair;
    using ChunkCSUM = FlrBackupChunkCSUM;
    using File = FlrBackupItem;

    using ProgressFn = FlrBackupProgress::ProgressFn;

    FlrBackup(FlrNetHead* head, JxSafeFlags* abort, FlrDriver* driver);
    ~FlrBackup();
    FlrBackup(const FlrBackup&) = delete;
    FlrBackup& operator=(const FlrBackup&) = delete;

    // --- settings (set before backup): the fields of FlrBackupSettings ---------
    // For the next run: the file with this device and inode was sent under
    // src (by another connection, already in place on the tail).
    void seedLinkName(const std::string& src, std::pair<dev_t, ino_t> key) {
        sender_.seedLinkName(src, key);
    }

    bool isMD5Disabled() const { return disableMD5_; }
    bool isRSyncDisabled() const { return disableRSync_; }
    bool isLBFSDisabled() const { return disableLBFS_; }
    int getClusterNode() const { return planner_.clusterNode(); }
    int getClusterSize() const { return planner_.clusterSize(); }
    bool hasACLHelper() const { return source_.hasACLHelper(); }
    void setProgressCallback(ProgressFn fn, void* context) { progress_.setCallback(fn, context); }
    // Counters this driver adds its sent entries and data bytes to as it
    // goes, for a progress display on another thread (several drivers may
    // share them). Null: none.
    // onEntrySent (a setting) is called with each entry's source path once
    // it is sent.
    void setLiveCounters(std::atomic<long long>* files, std::atomic<long long>* bytes) {
        counters_.liveFiles = files;
        counters_.liveBytes = bytes;
    }

    // --- directory pairs ---------------------------------------------------------
    void addDirPair(const char* src, const char* dst);
    const std::vector<DirPair>& getDirPairs() const { return source_.pairs(); }
    static std::string translate(const char* path, const DirPair& pair) {
        return FlrBackupSource::translate(path, pair);
    }
    // Translates with the longest matching pair (null when none matched).
    std::string translate(const char* path, const DirPair** matched) const {
        return source_.translate(path, matched);
    }

    // --- the run -------------------------------------------------------------------
    void backup(FlrCollectFile* cf, bool sendOffsets, int pairId);
    void backup(const char* collectPath, int offset, bool sendOffsets, int pairId);

    // A read-only descriptor of a regular file, or -1 for a vanished entry
    // when skipVanished is on.
    int openFile(const char* path, const fsf_fid& fid, struct stat* st) {
        return source_.openFile(path, fid, st);
    }
    // Reads until len bytes or end of file; throws on errors.
    int readAll(int fd, void* buf, int len) { return FlrBackupSource::readAll(fd, buf, len); }
    void pushToBNIfNeeded(const char* caller) { progress_.reportIfDue(caller); }

    // --- LBFS ----------------------------------------------------------------------
    // Percentage of the LBFS files' bytes that did not have to be sent, 0
    // when nothing was sent (the arguments are not used).
    float getLBFSStats(unsigned long* a, unsigned long* b) const;
    // 100 * (L - T) / L with L = T - blocks + fileBytes; 0 when L is 0.
    static float lbfsSavedPercent(long long total, unsigned long long blocks,
                                  unsigned long long fileBytes);
    // Bytes of the files sent by LBFS, and bytes the tail asked for as blocks.
    unsigned long long getLBFSFileBytes() const { return counters_.lbfsFileBytes.load(); }
    unsigned long long getLBFSBlockBytes() const { return counters_.lbfsBlockBytes.load(); }
    // Entries left to the next pass because they changed kind or were
    // swapped for a link between the scan and their open.
    long long getSkippedEntries() const { return counters_.skippedEntries.load(); }
    // Entries whose extended attributes exceeded the limits and were left out.
    long long getXattrsSkipped() const { return counters_.xattrsSkipped.load(); }
    // Entries the tail could not apply that completed on the LBFS
    // connection (its final ping's answer; the main connection's count is
    // the caller's FlrNetHead::unappliedEntries()).
    long long getUnappliedEntries() const { return counters_.lbfsUnapplied.load(); }
    // Bytes both ways on the connections the driver opened itself (the LBFS
    // one); the caller's connection counts its own.
    long long getOwnWireBytes() const { return counters_.lbfsWireBytes.load(); }
    // Sends LBFS_STOP and waits until the LBFS thread ended (no-op when it
    // does not run); throws the thread's error, or "Aborted".
    void flushLBFS() { blocks_.flush(); }
    // Ends the LBFS thread at once, without the exchange, and joins it.
    void abortLBFS() { blocks_.abort(); }
    bool isLBFSRunning() const { return blocks_.isRunning(); }
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
    unsigned long long getByteCntWBA(const char* src) const { return wba_.bytesOf(src); }
    // Sends the written intervals [starts[i], ends[i]) of one file, or the
    // file by LBFS when that is cheaper (the caller ends with flushLBFS()).
    void sendRegFileWBA(const fsf_fid& fid, const char* path,
                        const std::list<unsigned long long>& starts,
                        const std::list<unsigned long long>& ends) {
        wba_.send(fid, path, starts, ends, disableLBFS_);
    }
    // True when LBFS is possible (a tail above protocol version 3, LBFS not
    // disabled) and 5 x its cost for the file is below the interval bytes.
    static bool wbaUsesLBFS(uint32_t peerVersion, bool lbfsDisabled, unsigned long long size,
                            size_t pathLen, const std::list<unsigned long long>& starts,
                            const std::list<unsigned long long>& ends) {
        return FlrWBASender::usesLBFS(peerVersion, lbfsDisabled, size, pathLen, starts, ends);
    }

    // Totals of the last (or running) backup; bytes include LBFS blocks.
    long long getTotalFiles() const { return progress_.totalFiles(); }
    long long getTotalBytes() const {
        return progress_.totalBytes() + static_cast<long long>(counters_.lbfsBlockBytes.load());
    }
    // Where a restarted run continues: past the last entry sent.
    unsigned long long getLastCollectOffset() const { return progress_.lastCollectOffset(); }
    // Files sent by each method (full, MD5, RSync, LBFS) in the last run.
    long long getMethodCount(int method) const { return progress_.methodCount(method); }

    // The size from which the planner compares a file: the fixed setting,
    // or the learned one when hashMinFileSize is 0. -1 means never.
    long long checksumThreshold() { return planner_.checksumThreshold(); }
    // Which method the planner asks for a regular file of this size:
    // 0 full, 1 MD5, 2 RSync.
    int chooseMethod(long long size, long long threshold) const {
        return planner_.chooseMethod(size, threshold);
    }
    // The comparison block for a file of this size: the power of two nearest
    // the one that balances the digests (20 bytes a block) against the data a
    // changed block resends, between 2 KiB and hashChunkSize.
    int blockSizeFor(long long size) const { return planner_.blockSizeFor(size); }
    // True when this cluster node handles an "F" entry with this path.
    bool handledByThisNode(const std::string& path) const {
        return planner_.handledByThisNode(path);
    }
    // The adaptive model, for the owner's inspection; lock adaptiveLock().
    FlrAdaptiveMD5& adaptive() { return samples_.model(); }
    std::mutex& adaptiveLock() { return samples_.lock(); }

  private:
    void readSettings();
    void readReplicationSetProperties(int pairId);
    void logRun(FlrCollectFile* cf, bool sendOffsets, int pairId);
    void finishRun();

    // Loops.
    void runChosenLoop();
    void backupRegOrLBFS(bool lbfs);
    void backupMD5OrRSync();

    FlrNetHead* head_;
    FlrDriver* driver_;
    bool disableMD5_ = false;
    bool disableRSync_ = false;
    bool disableLBFS_ = false;
    FlrBackupCounters counters_;
    FlrBackupSamples samples_;
    FlrBackupSource source_;
    FlrBackupContext ctx_;
    FlrBlockServer blocks_;
    FlrBackupPlanner planner_;
    FlrBackupProgress progress_;
    FlrTransferBuffer buf_;
    FlrBackupSender sender_;
    FlrWBASender wba_;
};
