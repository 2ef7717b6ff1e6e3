#pragma once
// The head journal service's state, shared by its two sources: the intake and
// sending side (FlrHeadJournal.cpp) and the link side (FlrHeadJournalLink.cpp).
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FLR/FlrHeadJournal.h"
#include "FLR/FlrJrnConvert.h"
#include "FLR/JxException.h"
#include "buffer/FlrRolCache.h"
#include "buffer/FlrSendHistory.h"
#include "db/FlrDatabase.h"
#include "db/FlrJournalPaths.h"
#include "net/FlrNetHead.h"

class FlrJournalSource;

struct FlrHeadJournal::Impl {
    using Clock = std::chrono::steady_clock;
    FlrHeadJournalOptions o;
    FlrDatabase db;
    FlrJournalPaths paths;
    FlrJrnConverter converter{paths};
    FlrRolCache cache;
    FlrSendHistory history;
    std::unique_ptr<FlrNetHead> head;
    std::string historyFile, positionFile;

    uint64_t taken = 0;      // newest record in the cache
    uint64_t processed = 0;  // newest record converted and entered (the position)
    uint64_t tailHas = 0;    // the tail's last number at the last connect
    bool positionDirty = false;
    Clock::time_point positionSaved = Clock::now();
    bool connected = false;
    bool everConnected = false;
    bool historyDirty = false;
    Clock::time_point historySaved = Clock::now();
    Clock::time_point nextConnect = Clock::now();
    int backoffMs = 0;
    bool linkDown = false;     // the loss is logged; later failed attempts are warnings
    int failedAttempts = 0;    // connects that failed since the link was lost
    bool unconfirmed = false;  // records sent since the last answer from the tail
    // The tail's privileged-entry counts: of the connections before this
    // one, and of this one at its last ping.
    long long privBefore[2] = {0, 0};
    long long privNow[2] = {0, 0};
    uint64_t lastStaged = 0;  // newest record staged for the tail (sent or resent)
    uint64_t durable = 0;     // everything processed up to here is durable on the tail
    Clock::time_point durableAsked = Clock::now();
    std::string syncedFile;  // the cache file whose folder entry was last made durable

    // Reused buffers: steady operation allocates nothing per record.
    std::vector<uint8_t> record;
    std::vector<uint8_t> intakeBytes;  // an intake round's records, back to back
    std::vector<FlrRolCache::Item> intakeItems;
    char* entry = nullptr;
    int entryCap = 0;
    // Network records waiting to be sent, back to back, and where each lies.
    struct Staged {
        uint64_t seq;
        size_t offset;
        int len;
    };
    std::vector<uint8_t> batch;
    std::vector<Staged> staged;
    char* encoded = nullptr;
    int encodedCap = 0;
    std::string sourcePath;
    size_t lastLen = 0;  // network bytes of the record convertInto kept last

    mutable std::mutex mtx;  // guards c
    FlrHeadJournalCounters c;

    explicit Impl(FlrHeadJournalOptions opts);
    ~Impl() {
        std::free(entry);
        std::free(encoded);
    }

    void enterRoot();
    void loadPosition();
    void savePosition(bool force);
    void saveHistory(bool force);

    bool intake(FlrJournalSource& source, int waitMs);
    void makeDurable();

    bool nextEntry(uint64_t after, int& len, uint64_t& seq);
    bool firstEntryAfter(uint64_t after, int& len, uint64_t& seq);
    void checkOverrun(uint64_t after);
    uint64_t overrunReported = 0;  // the cache's drop already reported
    // Records the tail could not apply, as its pings on this connection
    // told (each new one asks for a rescan); see checkUnapplied().
    void checkUnapplied();
    long long unappliedSeen = 0;
    // What one round of process() did, counted once its database changes
    // are committed.
    struct Round {
        int records = 0;
        uint64_t sent = 0, bytes = 0, outside = 0, filtered = 0, noNet = 0, already = 0,
                 dbErrors = 0, resyncs = 0;
        std::string resyncReason;
    };
    int process();
    Round convertRound();
    enum class Outcome { Sent, Outside, Filtered, NoNetForm };
    Outcome convertInto(const FlrJrnCommand& raw);
    void resendFault(const std::string& first, int faults);
    void convertOne(const FlrJrnCommand& raw, Round& r);
    void nameDbFault(const JxException& e, uint64_t seq, Round& r);
    void stage(uint64_t seq, const void* data, int len);
    void sendStaged(bool enterHistory);
    void sendStagedIfFull();
    bool filteredOut(std::string& path) const;
    void tellRecord(const FlrJrnCommandNet& net) const;

    void tryConnect();
    void resendAfter(uint64_t tailLast);
    int resendFromCache(uint64_t after, uint64_t upTo);
    bool confirm();
    void askDurable();
    void linkBroken(const JxException& e);

    template <class Fn>
    void count(Fn fn) {
        std::lock_guard<std::mutex> lock(mtx);
        fn(c);
    }
};
