#pragma once
// The planner: reads the collect file (the entries this cluster node
// handles, translated to their destination paths) and, in the MD5/RSync
// pipeline, runs a thread that asks the tail over a connection of its own
// (dup()) for the checksums of its copies and queues work items for the
// sending thread in collect order. The thread never outlives the run: stop()
// (also on destruction) cuts its connection and joins it.
#include <functional>
#include <memory>
#include <string>

#include "FlrBackupContext.h"
#include "FlrBackupWorkList.h"
#include "platform/JxThread.h"

class FlrCollectFile;
class FlrNetHead;
struct FlrNetMessage;

class FlrBackupPlanner {
  public:
    explicit FlrBackupPlanner(FlrBackupContext& ctx);
    ~FlrBackupPlanner();
    FlrBackupPlanner(const FlrBackupPlanner&) = delete;
    FlrBackupPlanner& operator=(const FlrBackupPlanner&) = delete;

    // "node/size" entries: this node handles the "F" entries whose path
    // hashes to it (size 0: all).
    void setCluster(int node, int size) { clusterNode_ = node, clusterSize_ = size; }
    int clusterNode() const { return clusterNode_; }
    int clusterSize() const { return clusterSize_; }
    bool handledByThisNode(const std::string& path) const;

    // The collect file of the run (null once it ended); read by one thread
    // at a time: the caller's in the plain loop, the planner's in the pipeline.
    void setCollectFile(FlrCollectFile* cf) { cf_ = cf; }
    // Reads the next entry this node handles; false at the end.
    bool nextEntry(FlrBackupItem& f);

    // The size from which a file is compared: the fixed setting, or the
    // learned one when hashMinFileSize is 0. -1 means never.
    long long checksumThreshold();
    // 0 full, 1 MD5, 2 RSync for a regular file of this size.
    int chooseMethod(long long size, long long threshold) const;
    // The comparison block for a file of this size.
    int blockSizeFor(long long size) const;

    // The pipeline: start() begins the thread on a fresh work list; the
    // sending thread takes the items; stop() ends the thread however the
    // run ended.
    void start();
    void stop();
    // The next item, waiting for the planner; null once the list is done.
    std::unique_ptr<FlrBackupItem> take(const char* function) { return work_.take(function); }
    // The next item of the same entry as first, or an exception when the
    // planner's stream broke off or moved on to another entry.
    std::unique_ptr<FlrBackupItem> takeSameFile(const FlrBackupItem& first, const char* function);
    // Consumes the remaining items of an entry that is not sent.
    void drainFile(const FlrBackupItem& item, const char* function);

  private:
    // The planner's verdict on a file asked about with lbfsIfNew, whose tail
    // copy answered with no blocks (held false) or some: LBFS for a new
    // name, full for a held file only asked about. False: compare as asked.
    static bool settleNewName(const FlrBackupItem& asked, FlrBackupItem& item, bool held);
    // A collect line taken apart. False for a line that does not fit.
    bool parseLine(const char* line, FlrBackupItem& f) const;
    void run();
    // conn opens the planner's connection on first use.
    void planEntries(const std::function<FlrNetHead&()>& conn);
    // Checksum requests go out ahead of their answers (the tail answers in
    // order); `since` is when the tail could start on this one. The
    // requests return whether the tail held anything at f.dst.
    void askChecksums(FlrNetHead& conn, const FlrBackupItem& f, int method);
    bool requestMD5Stream(FlrNetHead& conn, FlrBackupItem& f, uint64_t since);
    bool requestRSyncSums(FlrNetHead& conn, FlrBackupItem& f, uint64_t since);
    void pingSampleIfDue(FlrNetHead& conn);
    // recvMessage that watches the abort flags while it waits.
    int recvWatching(FlrNetHead& conn, FlrNetMessage* msg);

    FlrBackupContext& ctx_;
    int clusterNode_ = 0;
    int clusterSize_ = 0;
    FlrCollectFile* cf_ = nullptr;
    FlrBackupWorkList work_;
    // The thread's connection while it has one, for stop() to cut.
    JxMonitorH connMon_;
    FlrNetHead* conn_ = nullptr;  // guarded by connMon_
    JxThread thread_;
    long long lastPing_ = 0;  // planner thread only
};
