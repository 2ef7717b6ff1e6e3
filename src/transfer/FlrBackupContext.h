#pragma once
// What the roles of one transfer driver share: the types that pass between
// them (directory pairs, work items), the caller's settings, the counters
// several threads add to, the adaptive model, and the context that hands
// these to each role by reference. The roles are the planner
// (FlrBackupPlanner), the senders (FlrBackupSender and the method senders)
// and the block server (FlrBlockServer); FlrBackup owns and coordinates them.
#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FLR/FlrFid.h"
#include "FLR/JxSafeFlags.h"
#include "FlrAdaptiveMD5.h"

class FlrBackupSource;
class FlrLBFSBlockCache;
class FlrNetHead;
namespace jx {
class File;
}

struct FlrBackupDirPair {
    std::string src;
    std::string dst;
    // The source folder, opened once: entries are opened beneath it.
    std::shared_ptr<const jx::File> srcRoot;
};

// One block of the tail's copy.
struct FlrBackupChunkCSUM {
    uint32_t index = 0;
    uint32_t weak = 0;
    uint32_t length = 0;
    unsigned char md5[16] = {};
};

// One work item. A compared file may span several items (one per digest
// message of the tail); its final item is marked `last`.
struct FlrBackupItem {
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
    std::vector<FlrBackupChunkCSUM> csums;
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

// The caller's settings, set before a run (FlrBackup's public fields).
struct FlrBackupSettings {
    static constexpr int kDefaultHashChunkSize = 32768;
    static constexpr int kDefaultHashMinFileSize = 65536;
    static constexpr int kDefaultRSyncMaxFileSize = 104857600;

    bool useMD5 = false;
    bool useRSync = false;
    bool useLBFS = false;
    bool overwrite = true;
    bool skipVanished = false;
    // A regular file's later names in a run travel as hard links to its
    // first (one connection only: the first name must be in place first).
    bool linkHardLinks = false;
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
    // Called with each entry's source path once it is sent, on the thread
    // running backup() (several drivers of a run call it from theirs).
    std::function<void(const std::string& src)> onEntrySent;
};

// Counters the roles add to from their threads, read by the owner at any
// time (all atomic).
struct FlrBackupCounters {
    std::atomic<unsigned long long> lbfsFileBytes{0};
    std::atomic<unsigned long long> lbfsBlockBytes{0};
    std::atomic<long long> lbfsUnapplied{0};
    std::atomic<long long> lbfsWireBytes{0};  // both ways on the LBFS connection
    std::atomic<long long> skippedEntries{0};
    std::atomic<long long> xattrsSkipped{0};
    // The caller's counters for a progress display (null: none); set
    // before a run, shared with other drivers.
    std::atomic<long long>* liveFiles = nullptr;
    std::atomic<long long>* liveBytes = nullptr;
};

// The adaptive model and the budgets of timing samples fed to it: the
// planner samples the tail's hashing, the sender the link and local hashing.
class FlrBackupSamples {
  public:
    static constexpr int kBudget = 10;
    enum Kind { kNet = 0, kLocal = 1, kRemote = 2 };

    FlrBackupSamples();

    void add(int kind, unsigned long long bytes, unsigned long long micros);
    // The learned size from which comparing pays off; -1 means never.
    long long learnedThreshold();
    // New budgets once per period: the link and the disks change speed over
    // a long run. Sending thread only.
    void refillIfDue(long long now, long long period);

    FlrAdaptiveMD5& model() { return model_; }
    std::mutex& lock() { return mtx_; }

    JxSafeFlags net{kBudget};
    JxSafeFlags local{kBudget};
    JxSafeFlags remote{kBudget};

  private:
    FlrAdaptiveMD5 model_;  // guarded by mtx_
    std::mutex mtx_;
    long long lastRefill_;  // sending thread only
};

// Handed to every role by reference. The references stay fixed for the
// driver's life; the run fields are set by FlrBackup before a run starts
// any thread and only read while it goes.
struct FlrBackupContext {
    FlrNetHead& head;  // the main connection
    JxSafeFlags& abort;
    const FlrBackupSettings& settings;
    FlrBackupSource& source;
    FlrBackupCounters& counters;
    FlrBackupSamples& samples;
    // This run: headers carry collect offsets; the replication pair; the
    // pipeline sends files the tail does not hold by LBFS.
    bool sendOffsets = false;
    int pairId = -1;
    bool newNamesByLBFS = false;

    // Throws "Aborted" from function once the run's abort flag is set.
    void checkAbort(const char* function) const;
};
