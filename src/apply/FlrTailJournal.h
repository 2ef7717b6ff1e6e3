#pragma once
// The tail's journal service: applies the records of FLR_NET_JOURNAL messages
// path by path beneath the destination root, and keeps per pair the number of
// the last record applied, durably, so a head that reconnects (or a tail that
// was killed and restarted) resends exactly from there.
//
// Pairs and paths: a record names its files by destination path, the way a
// transfer's MIR_HEADER does (the head maps its source folder onto the pair's
// destination); absolute paths must lie under the root, relative ones are
// taken from it. A record belongs to the session's pair, the last
// MIR_SET_PAIR_ID it sent (0 before any). Every path is confined like a
// transfer's: a "..", a path outside the root, or a symbolic link on the way
// or as the last component of a write is refused, logged and counted; the
// session goes on.
//
// Replays are harmless: every record can be applied a second time over the
// tree it (and the records after it) produced. A record whose folder is gone,
// whose entry is gone, or whose entry has since become another kind (a file
// where a folder was made) changes nothing: the records after it own that
// name. CREATE keeps an existing entry of its kind, LINK keeps an existing
// target, REMOVE leaves folders alone and RMDIR leaves non-empty folders
// alone. The one thing no record can tell is whether an entry it moves away
// (RENAME, LINK source) is the one it moved or a later one of the same name,
// so a record that creates an entry at such a name (or at a folder above it)
// first makes everything before it durable: no replay starts before it. A
// record that makes a name refer to another entry (a hard link, a rename over
// an existing target) is made durable at once: replayed after it, the
// records before it would change the new entry (or, for a link, re-create
// its source as a new file and leave the two names apart).
//
// Durability: records at or below the pair's last applied number are skipped.
// The numbers are made durable together: first every change applied so far
// (syncfs of the root's file system, unless data syncing is off), then the
// state file, replaced atomically; at most every syncRecords records or
// syncMs milliseconds, when the session idles, in the two cases above, and
// always before the number is answered (GET_LAST_SEQNUM). So the
// tail never reports a record the tree could lose in a crash; what it applied
// after the last durable number is applied again when resent.
//
// Open files: recently used files and folders stay open across records, by
// path. A record that moves or removes a name closes what was held at or
// below it; a sync, treeChanged() and closeFiles() close them all, so a
// change made beside the journal (a transfer, or someone on the tail) is
// seen by the next sync at the latest.
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "FLR/FlrNetJournal.h"
#include "FlrTailRoot.h"

class FlrTailJournalOps;

// What a tail does with entries that would hand out privileges on its host:
// files with the setuid or setgid bit, and device nodes. A head is trusted
// with the tree below the root, not with the host: whoever controls a head
// must not become root on a root tail. Keep applies them as sent (a local
// destination: same host, same user, nothing gained); Strip clears the two
// bits of files and withholds device nodes; Refuse withholds both. Under
// Strip and Refuse the root folder's own owner, mode and ACL are the
// operator's: no head changes them.
enum class FlrPrivileged { Keep, Strip, Refuse };
const char* flrPrivilegedName(FlrPrivileged p);
// "keep", "strip" or "refuse"; false for anything else.
bool flrParsePrivileged(const std::string& text, FlrPrivileged* p);

struct FlrTailJournalStats {
    long long records = 0;       // records received whole
    long long applied = 0;       // records that changed the tree
    long long settled = 0;       // nothing left to do (a replay, or gone since)
    long long sequenceOnly = 0;  // NOOP, SNAP, STUB and the like: numbers only
    long long skipped = 0;       // at or below the pair's last applied number
    long long refused = 0;       // a path the confinement refused
    long long failed = 0;        // could not be applied, or damaged
    long long syncs = 0;         // times the numbers were made durable
    long long stripped = 0;      // modes applied without their setuid/setgid bits
    long long withheld = 0;      // privileged entries or modes not applied at all

    void add(const FlrTailJournalStats& o);
};

class FlrTailJournal {
  public:
    struct Options {
        bool syncData = true;  // syncfs before the numbers are written
        int syncRecords = 4096;
        int syncMs = 1000;
        bool setOwners = ::geteuid() == 0;
        size_t maxLinkTarget = 4096;
        size_t maxACL = 1 << 20;
        FlrPrivileged privileged = FlrPrivileged::Strip;
    };
    enum class Outcome { Applied, Settled, SequenceOnly, Refused, Failed };

    // Loads the numbers from stateFile (empty: defaultStateFile(root)); a
    // missing file means nothing applied yet. Throws JxException when the
    // file is unreadable or malformed.
    FlrTailJournal(const FlrTailRoot& root, std::string stateFile, Options options);
    FlrTailJournal(const FlrTailRoot& root, std::string stateFile);
    // Makes the numbers durable.
    ~FlrTailJournal();
    FlrTailJournal(const FlrTailJournal&) = delete;
    FlrTailJournal& operator=(const FlrTailJournal&) = delete;

    // Applies the records of one JOURNAL payload for pair, in order; a
    // damaged record ends the payload (counted failed). The payload's
    // counts are also added to *session when given.
    void apply(const void* data, size_t len, int pair, FlrTailJournalStats* session = nullptr);
    // One decoded record, whatever its number (no sequence check).
    Outcome applyRecord(const FlrJrnCommandNet& rec);

    // Makes the numbers durable when syncRecords or syncMs is reached.
    void syncIfDue();
    // Makes every number applied so far durable; false (logged) when the
    // file system or the state file failed.
    bool sync();
    // The pair's durable number, after making everything applied durable.
    unsigned long long lastSeqNum(int pair);
    // The pair's number as applied (durable or not).
    unsigned long long lastApplied(int pair) const;
    // Drops a deleted pair's number.
    void forget(int pair);
    // Files and folders are kept open across records (a stream of writes to
    // one file opens it once). Call after changing the tree other than
    // through this journal (a transfer putting files in place): the next
    // record opens afresh.
    void treeChanged() { reopen_.store(true); }
    // Closes what is kept open, waiting for a payload being applied; when
    // a session idles or ends.
    void closeFiles();

    FlrTailJournalStats totals() const;
    const std::string& stateFile() const { return stateFile_; }
    // <install dir>/tail/<16 hex digits of the root's canonical path>.journal
    static std::string defaultStateFile(const std::string& root);

  private:
    using Clock = std::chrono::steady_clock;
    void load();
    void count(Outcome o, FlrTailJournalStats& s) const;
    static void trace(int pair, const FlrJrnCommandNet& rec, Outcome o);
    // Syncs first when rec creates an entry at a name that a RENAME or LINK
    // since the last sync carried away.
    void guardNameReuse(const FlrJrnCommandNet& rec);
    void noteCarried(const FlrJrnCommandNet& rec);
    // Under applyMtx_: closes what is kept open when treeChanged() asked.
    void reopenIfAsked();
    bool reusesCarried(const std::string& rel) const;

    const FlrTailRoot& root_;
    std::string stateFile_;
    Options options_;
    std::unique_ptr<FlrTailJournalOps> ops_;

    // One payload at a time: a cut session still applying its last messages
    // and the new session's resend of the same records never interleave.
    std::mutex applyMtx_;
    std::atomic<bool> reopen_{false};
    std::mutex syncMtx_;  // one sync at a time
    mutable std::mutex mtx_;
    std::map<int, unsigned long long> applied_;
    std::map<int, unsigned long long> durable_;
    std::set<std::string> carried_;  // relative paths moved away since the last sync
    bool dirty_ = false;
    long long pending_ = 0;  // records applied since the last sync
    Clock::time_point lastSync_;
    FlrTailJournalStats totals_;
};
