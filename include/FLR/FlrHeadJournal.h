#pragma once
// The head's journal service for one pair: raw records from a journal source
// are appended to the pair's rolling cache (made durable before they count as
// taken), then taken from the cache in sequence order, their file ids turned
// into destination paths through the pair's name database (which they keep
// current: creates, renames, removes), converted to the network form and sent
// to the tail in FLR_NET_JOURNAL messages (several records per message), each
// also entered in the send history. Records outside the pair's source folder
// and records whose path the pair's filter excludes are dropped.
//
// After a broken link the service reconnects with back-off, asks the tail for
// the pair's last sequence number and resends what the tail lacks: from the
// send history, or from the rolling cache for what the history no longer
// holds (converted again with the database as it is then). A head that is
// killed and restarted resumes the same way from its state folder.
//
// One thread runs run(); stop() and counters() may be called from any other.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "FLR/FlrExport.h"
#include "FLR/FlrFid.h"

class FlrFilter;
class FlrJournalSource;
class FlrNetHead;

struct FLR_EXPORT FlrHeadJournalOptions {
    int pairId = 1;
    std::string source;       // the pair's source folder (absolute)
    std::string dbRoot;       // the folder the database's root stands for; empty: source
    std::string destination;  // the pair's folder on the tail
    std::string dbDir;        // the pair's name database (FlrDatabase)
    // File id of dbRoot, entered as the database's root when it has none;
    // zero: taken from the file system (FlrDriver).
    fsf_fid rootFid = fsf_fid::fid0;
    std::string stateDir;  // rolling cache, send history and position
    // Excludes source paths (absolute); null: nothing is filtered.
    std::shared_ptr<const FlrFilter> filter;
    // Removals stay on the source side (REMOVE and RMDIR are not sent).
    bool keepRemoved = false;
    // Records at or below this number are covered by a scan: never sent.
    uint64_t startSeq = 0;

    uint64_t cacheDiskBytes = 256ULL << 20;
    int cacheMemBytes = 8 << 20;
    int historyBytes = 4 << 20;
    int batchRecords = 1024;     // records taken or sent per round
    int batchBytes = 256 << 10;  // network bytes per JOURNAL message
    int historySaveMs = 2000;    // the history file is rewritten at most this often
    // The position is rewritten at most this often while records flow (and
    // always when idle or stopping): a head killed in between converts the
    // records after it again, and sends only those the tail lacks.
    int positionSaveMs = 500;
    // Room a round's name database transaction asks for per record (a
    // record and its index entries, with slack for page splits). A round
    // that still fills the map is rolled back and converted again.
    size_t dbBytesPerRecord = 4096;
    // While idle with records the tail has not reported durable, it is asked
    // (GET_LAST_SEQNUM, answered once durable) at most this often; 0: never.
    int durableCheckMs = 0;
    int reconnectMinMs = 100;  // back-off doubles up to the maximum
    int reconnectMaxMs = 10000;
    // Makes a fresh connection to the tail; throws JxException when it cannot.
    std::function<void(FlrNetHead&)> connect;
    // Told the source path a record changes (relative to the source, "" for
    // the source itself) as the record goes to the tail for the first time;
    // removed for REMOVE and RMDIR. Called on the journal's thread.
    std::function<void(const std::string& rel, bool removed)> onRecord;
};

// Monotonic counts; rates come from two snapshots (FlrHeadJournalRates).
struct FLR_EXPORT FlrHeadJournalCounters {
    uint64_t taken = 0;          // records appended to the rolling cache
    uint64_t sent = 0;           // records sent (first time)
    uint64_t sentBytes = 0;      // network record bytes sent (first time)
    uint64_t outside = 0;        // dropped: outside the pair
    uint64_t filtered = 0;       // dropped: excluded by the filter
    uint64_t noNetForm = 0;      // dropped: no network form (WRITE_DDR, TXTMSG)
    uint64_t alreadyThere = 0;   // not sent: the tail had them (taken again after a kill)
    uint64_t resentHistory = 0;  // records resent from the send history
    uint64_t resentCache = 0;    // records resent from the rolling cache
    uint64_t reconnects = 0;     // connections made after the first
    uint64_t dbErrors = 0;       // name database changes that failed (logged)
    uint64_t roundsRedone = 0;   // rounds converted again after the map had to grow
    // Faults that leave the tail's copy unknown (a name database found
    // inconsistent while converting): each asks for a rescan of the pair.
    uint64_t resyncsAsked = 0;
    std::string resyncReason;  // the last one's, for the log and the status
    // What the tail's privileged-entry policy did to the records (see
    // FlrPrivileged): modes applied without setuid/setgid, entries withheld.
    uint64_t privStripped = 0;
    uint64_t privWithheld = 0;
    uint64_t lastTakenSeq = 0;
    uint64_t lastSentSeq = 0;    // last record processed (sent or dropped)
    uint64_t lastConfirmed = 0;  // the tail's answer at the last connect or ping
    uint64_t lastDurable = 0;    // the tail's last answer to GET_LAST_SEQNUM (durable there)
    int64_t pendingSince = 0;    // time stamp of the oldest record not yet processed; 0: none
    bool connected = false;
};

// What a status line shows, from two snapshots `seconds` apart.
struct FLR_EXPORT FlrHeadJournalRates {
    double recordsPerSecond = 0;
    double bytesPerSecond = 0;
    uint64_t lagRecords = 0;  // taken, not yet processed
    double lagSeconds = 0;    // age of the oldest record not yet processed
};
FLR_EXPORT FlrHeadJournalRates flrHeadJournalRates(const FlrHeadJournalCounters& before,
                                                   const FlrHeadJournalCounters& now,
                                                   double seconds, int64_t nowEpoch);

class FLR_EXPORT FlrHeadJournal {
  public:
    // Opens the database, the rolling cache and the saved history and
    // position under stateDir (made when missing). Throws JxException
    // (function "FlrHeadJournal") naming what failed.
    explicit FlrHeadJournal(FlrHeadJournalOptions options);
    ~FlrHeadJournal();
    FlrHeadJournal(const FlrHeadJournal&) = delete;
    FlrHeadJournal& operator=(const FlrHeadJournal&) = delete;

    // Runs until stop(). With untilDrained, returns once the source has
    // nothing more (a timed-out next), everything taken is sent and a ping
    // has confirmed it. A failing source or database throws; a broken link
    // never does (it is reconnected).
    void run(FlrJournalSource& source, bool untilDrained = false);
    void stop() { stop_.store(true); }

    FlrHeadJournalCounters counters() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::atomic<bool> stop_{false};
};
