#pragma once
// The live journal source: fanotify on the file systems of the pairs' source
// folders, turned into raw journal records (FlrRawJournal codec). File ids
// are the kernel handles packed as FlrDriver packs them, so ids from scans
// and from the journal agree; sequence numbers come from the host-wide
// JxSeqCounter that FlrDriver::injectNOOP draws from.
//
// fanotify reports no written ranges. A modified file is kept dirty until it
// is closed after writing, or until it has been dirty for flushDelayMs when a
// writer keeps it open. Then a file of at most smallFileMax bytes goes out as
// one WRITE record with its whole content followed by a SETATTR (size, owner,
// mode, times); a larger file gets a WRITE_DDR marker record (its data comes
// by other means) and an entry in the resend list, which the service turns
// into a collect file for the transfer's delta methods.
//
// A lost event (queue overflow, a handle that does not fit a file id, a
// folder moved in from outside) or a restart of the source raises a resync:
// the pair needs a smart-sync scan, and records up to `sinceSeq` are known
// to be complete. The journal goes on. So does a name the records leave
// different from the source once the queue is drained (the kernel folds
// repeated events into one): unsettledSince() says from when changes are not
// yet confirmed, and a consistent point must not pass it.
#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "FLR/FlrFid.h"
#include "FlrJournalSource.h"
#include "platform/JxFanotify.h"
#include "platform/JxXattr.h"

class FlrLiveNameCheck;
class JxSeqCounter;

struct FlrLiveFolder {
    int pairId = 0;
    std::string path;  // the pair's source folder
};

struct FlrLiveResync {
    int pairId;
    uint64_t sinceSeq;   // records up to here are complete
    std::string reason;  // for the log: "event queue overflow", ...
};

struct FlrLiveResend {
    int pairId;
    fsf_fid fid;
    std::string path;  // relative to the pair's source folder, at flush time
    uint64_t size;
    uint64_t seq;      // of the WRITE_DDR marker
    uint64_t ino = 0;  // of the file: another file at the path later is not it
};

class FlrLiveJournal : public FlrJournalSource {
  public:
    struct Options {
        uint32_t smallFileMax = 64 * 1024;
        int flushDelayMs = 5000;
        bool boundedQueue = false;  // tests: let the kernel queue overflow
        // Remembers the last sequence number across runs: a start that finds
        // it raises a resync for every pair (changes made while no source ran
        // are unknown). Empty: no memory.
        std::string stateFile;
    };

    // Watches the file system of every folder. Throws JxException: no
    // CAP_SYS_ADMIN, a folder missing, or a file system without file ids.
    FlrLiveJournal(std::vector<FlrLiveFolder> folders, Options options, JxSeqCounter& counter);
    FlrLiveJournal(std::vector<FlrLiveFolder> folders, Options options);  // host counter
    ~FlrLiveJournal() override;

    bool next(std::vector<uint8_t>& record, int timeoutMs) override;
    // The same, saying which folder (index into the folders given) the
    // record belongs to.
    bool next(std::vector<uint8_t>& record, int timeoutMs, int* folder);
    // Any thread: next() returns false from now on; the state file is saved.
    void stop();

    // Any thread: what has been raised since the last call.
    std::vector<FlrLiveResync> takeResyncs();
    std::vector<FlrLiveResend> takeResends();

    // Any thread: the earliest moment from which a change may still be
    // missing from the records sent (see FlrLiveNameCheck); false when every
    // name the records changed agrees with the source.
    bool unsettledSince(struct timespec* at) const;
    // Once next() is no longer called (after stop()): checks every name once
    // more, so a clean stop leaves unsettled only what disagrees now. False
    // when one asked for a resync: no consistent point may be recorded.
    bool settle();

    // Any thread: how many times next() found the kernel queue empty, and the
    // last record made by the last of them. A record made from an event
    // queued while nobody read (a scan) is made before the first such
    // moment after reading resumes.
    uint64_t drains() const { return drains_.load(); }
    uint64_t lastSeqAtDrain() const { return seqAtDrain_.load(); }
    // Any thread: the wall-clock moment of the last drain after which every
    // record above `seq` was made, so every change they carry happened after
    // it; false when that drain is no longer remembered (a few minutes).
    bool drainedBefore(uint64_t seq, struct timespec* at) const;

    // The sequence number of the last record made (or of the start mark).
    uint64_t lastSeq() const { return lastSeq_.load(); }
    // Turns one event into records, as if read from the kernel (tests feed
    // crafted events through it).
    void process(const JxFanEvent& ev);

  private:
    struct FileSystem {
        uint64_t fsid;
        dev_t dev;
        int fd;  // a descriptor on it for opening handles
    };
    struct Dirty {
        int pair;
        JxFanHandle handle;
        JxFanHandle dir;
        std::string name;
        std::chrono::steady_clock::time_point since;
    };
    struct Where {
        const FileSystem* fs = nullptr;
        int pair = -1;        // index into folders_
        std::string relPath;  // of the directory, relative to the pair's folder
        bool gone = false;    // the directory is removed: its path is unknown
    };

    void openFileSystems();
    void loadState();
    void saveState();
    const FileSystem* fileSystemOf(const JxFanHandle& h) const;
    Where locateDir(const JxFanHandle& dir);
    Where placeRemovedDir(Where w, const std::string& key);
    void rememberPairOf(const std::string& key, int pair);
    bool fidOf(const JxFanHandle& h, int pair, fsf_fid& fid);
    void resync(int pair, const std::string& reason);
    void resyncAll(const std::string& reason);

    void onCreate(const JxFanEvent& ev, const Where& w);
    void onDelete(const JxFanEvent& ev, const Where& w);
    void onRename(const JxFanEvent& ev);
    void emitRename(const Where& w, const fsf_fid& fid, const fsf_fid& fromPar,
                    const char* fromName, const fsf_fid& toPar, const char* toName);
    bool nameTaken(const FileSystem& fs, const JxFanHandle& dir, const std::string& name) const;
    bool touchesHeldRename(const JxFanEvent& ev) const;
    void expectAt(const Where& w, const JxFanHandle& dir, const std::string& name,
                  const JxFanHandle* object);
    void expectMoved(const Where& w, const JxFanEvent& ev);
    void checkNames(bool drained);
    void noteDrain(const struct timespec& wall);
    bool completesExchange(const JxFanEvent& ev);
    void releaseHeldRename();
    void releaseHeldRenameIfDue();
    int msUntilHeldRenameDue() const;
    void followRenamed(const JxFanEvent& ev);
    void onMovedIn(const JxFanEvent& ev, const Where& to);
    void onAttrib(const JxFanEvent& ev, const Where& w);
    void markDirty(const JxFanEvent& ev, const Where& w);
    void flushDirty(const JxFanHandle& h);
    void flushDue();
    void flush(const Dirty& d);

    void emitSetattr(const Where& w, const fsf_fid& fid, const struct stat& st);
    void emitXattrs(const Where& w, const fsf_fid& fid, const JxFanHandle& h, mode_t mode);
    void emitAcl(const Where& w, const fsf_fid& fid, int fd);
    void emit(struct FlrJrnCommand& cmd, const Where& w);
    bool isKnownCreated(const fsf_fid& fid) const;
    void rememberCreated(const fsf_fid& fid);
    bool isLinkOfOldFile(const JxFanStat& st) const;
    int msUntilNextFlush() const;

    std::vector<FlrLiveFolder> folders_;
    Options options_;
    JxSeqCounter& counter_;
    std::unique_ptr<JxFanotify> fan_;
    std::vector<FileSystem> fileSystems_;
    std::vector<JxFanEvent> events_;
    struct Ready {
        int folder;  // index into folders_
        std::vector<uint8_t> record;
    };
    std::deque<Ready> ready_;
    // A rename whose old name is taken again by the time it is read: the
    // first half of an exchange, held until its mirror or a short time-out.
    std::unique_ptr<JxFanEvent> heldRename_;
    std::chrono::steady_clock::time_point heldUntil_;
    std::map<std::string, std::string> dirPaths_;  // fsid + handle bytes -> path
    // The pair of each directory seen inside one: kept across folder renames
    // (which drop the paths), so a directory removed before its events are
    // read still has one.
    std::map<std::string, int> pairOfDir_;
    std::map<std::string, Dirty> dirty_;   // fsid + handle bytes -> entry
    std::unordered_set<fsf_fid> created_;  // ids born while watching
    // Extended attributes last sent per entry (name, hash of the value),
    // for entries that hold some; bounded (FlrLiveJournalXattrs.cpp).
    using SentXattrs = std::vector<std::pair<std::string, size_t>>;
    std::unordered_map<fsf_fid, SentXattrs> xattrsSent_;
    std::vector<jx::Xattr> xattrsNow_;
    // Hash of the ACL form last sent per entry, for entries that hold one.
    std::unordered_map<fsf_fid, size_t> aclsSent_;
    struct timespec bornAfter_ = {0, 0};  // files born before were there already
    std::atomic<uint64_t> lastSeq_{0};
    std::unique_ptr<FlrLiveNameCheck> names_;
    struct timespec drainedAt_ = {0, 0};   // wall clock before the queue was last found empty
    std::atomic<int64_t> unsettledNs_{0};  // 0: every name agrees
    std::atomic<uint64_t> seqAtDrain_{0};  // stored before drains_ counts it
    std::atomic<uint64_t> drains_{0};
    struct DrainMark {
        uint64_t seq;  // the last record made when the queue was found empty
        struct timespec wall;
    };
    mutable std::mutex drainMutex_;     // guards drainMarks_
    std::deque<DrainMark> drainMarks_;  // the last kMaxDrainMarks drains that made records
    std::chrono::steady_clock::time_point savedAt_;
    std::mutex mutex_;  // guards the two lists below
    std::vector<FlrLiveResync> resyncs_;
    std::vector<FlrLiveResend> resends_;
};
