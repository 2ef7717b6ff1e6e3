#pragma once
// One replication run of a source folder to a destination, as `flr
// replicate` does it: scan (a baseline the first time, a smart-sync scan
// from the start of the last completed run afterwards), transfer the
// selected entries, send the dirchange file so the destination mirrors
// removals, and remember the run. The destination is a local folder (a tail
// is started in-process on loopback with a one-time secret) or
// "HOST:PORT:/path" of a running tail (the registry's link secret).
//
// The state of a source/destination pair (collect and dirchange files, the
// last run's start time) lives in its own folder under stateRoot(); a lock
// there keeps two runs of one pair apart.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FLR/FlrExport.h"
#include "FLR/JxSafeFlags.h"

class FlrFilter;
class FlrLocalTail;

struct FLR_EXPORT FlrReplicateOptions {
    std::string source;
    std::string target;
    // full, md5, rsync, lbfs or auto (MD5 and RSync as the learned
    // threshold says).
    std::string method = "auto";
    int streams = 1;
    bool encrypt = false;   // seal frames (they are always authenticated)
    int compress = 0;       // zstd level, 0 = off
    bool baseline = false;  // scan everything even when an earlier run exists
    // A file that vanished between the scan and its transfer is skipped (a
    // live tree changes); off, the run fails naming it.
    bool skipVanished = true;
    std::string stateRoot;  // empty: defaultStateRoot()

    // For a caller that keeps replicating between runs (the watcher):
    // a local destination served by this tail rather than one per run,
    FlrLocalTail* localTail = nullptr;
    // the pair's lock held by the caller for as long as it runs,
    bool lockHeld = false;
    // and a name database (folder) the scan rebuilds for the source tree,
    std::string nameDb;
    // or, when it names the tree as it stood at the last run's start (a
    // watch that stopped cleanly), brings up to date in changed folders only.
    bool namesKnownAtLastRun = false;
    // A smart-sync sends only the entries changed since the last run, not
    // every entry of a folder that changed (FlrIfind::changedEntriesOnly).
    bool changedEntriesOnly = false;
    // Paths of the source left alone: an excluded entry is neither sent nor
    // removed on the destination, unless an include matches it too. A
    // pattern with a leading "/" is anchored at the source folder, one
    // without matches at any depth; "*" and "?" stay within a name, "**"
    // crosses folders. A run with other patterns than the last one scans
    // everything.
    std::vector<std::string> excludes;
    std::vector<std::string> includes;
    // Keep on the destination what the source lost (no mirroring).
    bool noDelete = false;
    // Bytes per second that every connection of a run sends together (wire
    // bytes, after compression), 0 = no limit.
    long long bwlimit = 0;
    // Called with the path relative to the source of each entry sent (one
    // call at a time, from the transfer's threads), and relative to the
    // destination of each entry a local destination of this run removed (a
    // tail over the network tells how many, not which). Null: not listed.
    // Under a watch (FlrWatcher) also each journal record's path as it is
    // sent, removals to onRemoved, from the journal's thread: a watch's
    // callbacks may be called concurrently.
    std::function<void(const std::string& rel)> onSent;
    std::function<void(const std::string& rel)> onRemoved;
};

// What a run would change on the destination (FlrReplicator::dryRun).
struct FLR_EXPORT FlrDryRunItem {
    enum Action : char {
        kNew = '+',        // not on the destination: sent
        kChanged = '>',    // differs (size, time, content, mode, link target): sent
        kReplaced = 'R',   // another kind on the destination: replaced
        kRemoved = '-',    // only on the destination: removed
        kUnreadable = '!'  // cannot be compared (the reason is in what)
    };
    Action action = kNew;
    std::string path;  // relative to both folders
    std::string what;  // the difference that decided it
};

struct FLR_EXPORT FlrDryRunReport {
    long long entries = 0;  // source entries compared
    long long sent = 0;     // new and changed entries
    long long replaced = 0;
    long long removed = 0;
    long long unreadable = 0;
    long long bytes = 0;               // sizes of the regular files a run would send
    std::vector<FlrDryRunItem> items;  // in tree order
    double seconds = 0;
};

struct FLR_EXPORT FlrReplicateProgress {
    const char* phase = "";    // "scan", "transfer", "mirror"
    long long entries = 0;     // scan: entries examined
    long long files = 0;       // scan: selected; transfer: sent
    long long bytes = 0;       // scan: selected; transfer: sent
    long long totalFiles = 0;  // transfer: selected by the scan
    long long totalBytes = 0;
    double seconds = 0;  // since the phase began
};

struct FLR_EXPORT FlrReplicateSummary {
    std::string scan;         // "baseline" or "smart-sync"
    long long since = 0;      // smart-sync: changes at or after this time
    long long entries = 0;    // entries the scan examined
    long long selected = 0;   // entries the scan selected
    long long bytesRead = 0;  // bytes of the selected files, read by the head
    long long files = 0;      // entries sent
    long long bytesSent = 0;  // file data sent (literal bytes)
    // Frame bytes both ways: every connection of the run with a local tail,
    // the main connection with a remote one.
    long long wireBytes = 0;
    long long methods[4] = {0, 0, 0, 0};  // files sent in full, by MD5 blocks, by RSync, by LBFS
    double lbfsSaved = 0;   // percentage of the LBFS files' bytes the tail did not need
    long long refused = 0;  // local tail: entries refused or failed
    long long removed = 0;  // entries removed on the destination by mirroring
    // Entries that changed kind or went while they were being sent: left to
    // the next run, which selects them again (they changed after this one began).
    long long skipped = 0;
    // False when a remote tail older than link version 6 could not say
    // (removed is then 0).
    bool removedReported = true;
    // Entries the tail's privileged-entry policy applied without their
    // setuid/setgid bits, or did not apply (device nodes; see FlrPrivileged).
    long long privStripped = 0;
    long long privWithheld = 0;
    // False when a remote tail older than link version 7 could not say.
    bool privReported = true;
    double scanSeconds = 0;
    double transferSeconds = 0;
    double seconds = 0;
};

class FLR_EXPORT FlrReplicator {
  public:
    explicit FlrReplicator(FlrReplicateOptions options);
    // Polls the caller's flag instead of its own: a stopper that outlives the
    // run can then abort it without holding a pointer to this object.
    FlrReplicator(FlrReplicateOptions options, JxSafeFlags* abortFlag);
    ~FlrReplicator();
    FlrReplicator(const FlrReplicator&) = delete;
    FlrReplicator& operator=(const FlrReplicator&) = delete;

    // Called from the running thread, at most every quarter second or so.
    void setProgress(std::function<void(const FlrReplicateProgress&)> fn);
    // The code of the JxException a run throws when it went through but the
    // destination could not apply some entries (errno codes are positive).
    static constexpr int kUnappliedEntries = -2;

    // Runs once; throws JxException (function "FlrReplicator::run") naming
    // what failed. The next run after a failure scans from the last
    // completed run again, so nothing is missed.
    FlrReplicateSummary run();
    // Sends these files (paths relative to the source) by the transfer's
    // methods as they are now: no scan, no mirror, no run record. A file
    // gone meanwhile is skipped.
    FlrReplicateSummary sendFiles(const std::vector<std::string>& relPaths);
    // Compares the source with the destination (names, kinds, sizes,
    // modification times; contents where those agree) and says what a run
    // would send, replace and remove, honouring the excludes and noDelete.
    // Changes nothing: neither the destination nor the pair's state (no
    // state folder, lock, run record or name database). Throws JxException.
    FlrDryRunReport dryRun();
    // Makes a running run() fail promptly with "Aborted"; any thread.
    void abort() { abort_->set(1); }

    // The pair's state folder (made by run()).
    std::string stateDir() const;
    // /var/lib/flr/replicate when that is writable (as root), else
    // $XDG_STATE_HOME/flr/replicate or ~/.local/state/flr/replicate.
    static std::string defaultStateRoot();
    // Records that the destination holds every change made before `at`: the
    // next run's smart-sync scan starts there.
    static void recordConsistentPoint(const std::string& stateDir, long long seconds, long nanos);
    // The destination is about to be changed by other means than a run (a
    // watch's journal): the folder listings the last run mirrored no longer
    // vouch for it, so the next run mirrors every folder again.
    static void forgetMirroredFolders(const std::string& stateDir);
    // The folder `path` as an absolute path without trailing slashes.
    static std::string absolutePath(const std::string& path);
    // "HOST:PORT:PATH" taken apart; false for a local path.
    static bool parseRemote(const std::string& target, std::string* host, std::string* port,
                            std::string* path);
    // Throws when target looks like a tail but is not one ("HOST::PATH",
    // "HOST:PORT" without ":/path"): it must not become a local folder.
    static void refuseHalfRemote(const std::string& target);
    // The excludes and includes as a filter of absolute paths below source
    // (null when there are none); throws JxException for a bad pattern.
    static std::shared_ptr<const FlrFilter> excludeFilter(const std::string& source,
                                                          const std::vector<std::string>& excludes,
                                                          const std::vector<std::string>& includes);

  private:
    struct Run;
    void prepare(Run& r);
    void writePairFile(const std::string& state, const std::string& source) const;
    void connect(Run& r);
    void scan(Run& r, FlrReplicateSummary& s);
    void transfer(Run& r, FlrReplicateSummary& s);
    void sendCollect(Run& r, FlrReplicateSummary& s);
    void mirror(Run& r);
    void confirmApplied(const Run& r) const;
    void finishTransfer(Run& r, FlrReplicateSummary& s);
    std::string excludeText() const;

    FlrReplicateOptions options_;
    std::function<void(const FlrReplicateProgress&)> progress_;
    JxSafeFlags ownAbort_;
    JxSafeFlags* abort_ = &ownAbort_;  // ownAbort_ or the caller's flag
    std::mutex listMtx_;               // one onSent/onRemoved call at a time
};
