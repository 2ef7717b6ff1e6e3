// The write-interval database: declaration of the "FLR Write Interval Table",
// the merge of written ranges and the acknowledgement walk.
#include "FlrWrDatabase.h"
#include "DbBatch.h"
#include "DbCursor.h"
#include "platform/JxFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "FLR/JxException.h"
#include "env/FlrHelper.h"

namespace {

constexpr int kIntervalIndex = 0;
constexpr uint64_t kWrMaxOffset = 0xFFFFFFFFFFFFFFFFULL;

[[noreturn]] void wrEngineFailure(const char* function, const char* message, int rc, int line) {
    throw JxException(function, message + TCtreeTable::errToString(rc), "FlrWrDatabase", line, -1);
}

// Offsets near the top of the range must not wrap around when the slack is
// added: a wrapped bound would merge with, or miss, the wrong intervals.
uint64_t plusSlack(uint64_t offset) {
    return offset > kWrMaxOffset - FlrWrDatabase::kSlack ? kWrMaxOffset
                                                         : offset + FlrWrDatabase::kSlack;
}

bool sameFile(const FlrWrDatabase::Record& r, const uint64_t fid[3]) {
    return std::memcmp(r.fid, fid, sizeof r.fid) == 0;
}

void fillOutputs(const FlrWrDatabase::Record& r, fsf_fid* fid, uint64_t* start, uint64_t* end,
                 uint64_t* ackid) {
    if (fid) std::memcpy(fid->bytes, r.fid, fsf_fid::kSize);
    if (start) *start = r.start;
    if (end) *end = r.end;
    if (ackid) *ackid = r.ackid;
}

}  // namespace

static_assert(offsetof(FlrWrDatabase::Record, fid) == 8);
static_assert(offsetof(FlrWrDatabase::Record, start) == 32);
static_assert(offsetof(FlrWrDatabase::Record, end) == 40);
static_assert(sizeof(FlrWrDatabase::Record) == 48);
static_assert(sizeof(fsf_fid) == 3 * sizeof(uint64_t));

#define DB_FAIL(function, message, rc) wrEngineFailure((function), (message), (rc), __LINE__)

// --- construction --------------------------------------------------------

FlrWrDatabase::FlrWrDatabase(const std::string& dir)
    : table_({"FlrWrDatabase", "FLR Write Interval Table", {18, 10, 18}}), base_(dir + "/zrpwrdb") {
    int rc = initialize(dir.c_str());
    if (rc)
        JX_THROW("FlrWrDatabase",
                 "Failed to initialize DB engine: " + TCtreeTable::errToString(rc));
    struct stat st;
    if (jx::fileOps().stat((base_ + ".dat").c_str(), &st) != 0) {
        table_.debug(1, "Creating new ZRP database %s", base_.c_str());
        if ((rc = table_.create()))
            JX_THROW("FlrWrDatabase", "Failed to create ZRP DB: " + TCtreeTable::errToString(rc));
    } else {
        table_.debug(1, "Opening existing ZRP database %s", base_.c_str());
        if ((rc = table_.open(JXIndexing::TAccessReadWrite)))
            JX_THROW("FlrWrDatabase",
                     "Failed to open an existing ZRP DB: " + TCtreeTable::errToString(rc));
    }
}

FlrWrDatabase::FlrWrDatabase(const std::string& dir, JXIndexing::TAccessEnum mode)
    : table_({"FlrWrDatabase", "FLR Write Interval Table", {18, 10, 18}}), base_(dir + "/zrpwrdb") {
    int rc = initialize(dir.c_str());
    if (rc)
        JX_THROW("FlrWrDatabase",
                 "Failed to initialize DB engine: " + TCtreeTable::errToString(rc));
    table_.debug(1, "Opening existing ZRP database %s", base_.c_str());
    if ((rc = table_.open(mode)))
        JX_THROW("FlrWrDatabase",
                 "Failed to open an existing ZRP DB: " + TCtreeTable::errToString(rc));
}

FlrWrDatabase::~FlrWrDatabase() {
    table_.close();
}

int FlrWrDatabase::initialize(const char* dir) {
    static const char* fn = "FlrWrDatabase::initialize";
    if (FlrHelper::mkdir1(dir) < 0)
        JX_THROW_ERRNO(fn, std::string("Failed to create directory ") + dir, errno);
    base_ = std::string(dir) + "/zrpwrdb";
    int rc = table_.internalInitialize(base_, 0, 6, 1, 4, sizeof(Record), sizeof(Record));
    if (rc) JX_THROW(fn, "Failed to initialize FLR database: " + TCtreeTable::errToString(rc));

    rc = table_.setNextField("ackid", offsetof(Record, ackid), TCtreeTable::kTypeUInt64, 8);
    char name[16];
    for (int i = 0; i < 3 && !rc; ++i) {
        std::snprintf(name, sizeof name, "fid%d", i);
        rc = table_.setNextField(name, offsetof(Record, fid) + 8 * i, TCtreeTable::kTypeUInt64, 8);
    }
    if (!rc)
        rc = table_.setNextField("start", offsetof(Record, start), TCtreeTable::kTypeUInt64, 8);
    if (!rc) rc = table_.setNextField("end", offsetof(Record, end), TCtreeTable::kTypeUInt64, 8);
    if (rc) JX_THROW(fn, "Failed to configure DB fields: " + TCtreeTable::errToString(rc));

    rc = table_.declareIndex({.name = "fid_start",
                              .keyLength = 32,
                              .duplicates = false,
                              .firstSegment = 0,
                              .segmentCount = 4});
    if (rc) JX_THROW(fn, "Failed to configure DB indices: " + TCtreeTable::errToString(rc));

    for (int field = 1; field <= 4 && !rc; ++field) rc = table_.setNextSegment(field, 8, 1);
    if (rc) JX_THROW(fn, "Failed to configure DB segments: " + TCtreeTable::errToString(rc));

    for (int field = 0; field < 6; ++field) table_.shellOrder(field);
    return table_.initializeComplete();
}

void FlrWrDatabase::clear(const std::string& dir) {
    TCtreeTable::removeTableFiles(dir + "/zrpwrdb");
}

// --- helpers -----------------------------------------------------------------

void FlrWrDatabase::intervalKey(const char* function, const uint64_t fid[3], uint64_t start) {
    char* cursor = key_;
    int remaining = sizeof key_;
    for (int s = 0; s < 3; ++s)
        if (int rc = table_.fillKeySegment(&cursor, &remaining, &fid[s], 0, kIntervalIndex, s))
            DB_FAIL(function, "Failed to fill key segment: ", rc);
    if (int rc = table_.fillKeySegment(&cursor, &remaining, &start, 0, kIntervalIndex, 3))
        DB_FAIL(function, "Failed to fill key segment: ", rc);
    if (int rc = table_.finishKey(&cursor, &remaining, kIntervalIndex, 0))
        DB_FAIL(function, "Failed to fill key segment: ", rc);
}

// Runs body as one transaction (see DbBatch.h).
template <class Body>
void FlrWrDatabase::batched(const char* function, Body&& body) {
    flrdb::BatchOutcome out = flrdb::runBatched(table_, function, [&] {
        body();
        return static_cast<int>(TCtreeTable::kOk);
    });
    if (out.stage == flrdb::BatchStage::Begin)
        DB_FAIL(function, "Failed to start a transaction: ", out.rc);
    if (!out.ok()) DB_FAIL(function, "Failed to commit changes to the DB: ", out.rc);
}

// --- adding and cutting ------------------------------------------------------

void FlrWrDatabase::add(const fsf_fid& fid, uint64_t start, uint64_t end) {
    static const char* fn = "FlrWrDatabase::add";
    if (start > end)
        JX_THROW(fn, jxFormat("Invalid interval [%llu-%llu) for FID %s: start after end",
                              static_cast<unsigned long long>(start),
                              static_cast<unsigned long long>(end), fid.toString().c_str()));
    uint64_t words[3];
    std::memcpy(words, fid.bytes, sizeof words);
    batched(fn, [&] {
        intervalKey(fn, words, plusSlack(end));
        int rc = table_.getLTERecord(kIntervalIndex, key_, &rec_);
        if (rc != TCtreeTable::kOk && rc != TCtreeTable::kNoRecord)
            DB_FAIL(fn, "DB lookup failed: ", rc);
        if (rc == TCtreeTable::kOk && sameFile(rec_, words)) {
            if (rec_.ackid == 0 && rec_.start <= start && end <= rec_.end) return;
            if (start <= plusSlack(rec_.end)) {
                mergeRun(fn, start, end);
                return;
            }
        }
        rec_ = Record{0, {words[0], words[1], words[2]}, start, end};
        if ((rc = table_.addRecord(&rec_))) DB_FAIL(fn, "Can't add interval to the DB: ", rc);
    });
}

// rec_ (current) is the last interval of the file starting at or before the
// new range's end + slack, and close enough to it. It absorbs the intervals
// before it that reach the new range, and the new range itself.
void FlrWrDatabase::mergeRun(const char* function, uint64_t start, uint64_t end) {
    Record merged = rec_;
    merged.ackid = 0;
    merged.start = std::min(merged.start, start);
    merged.end = std::max(merged.end, end);
    table_.pushContext();
    flrdb::DbCursor c(table_, kIntervalIndex, &rec_);
    for (c.previous(); c.ok() && sameFile(rec_, merged.fid) && plusSlack(rec_.end) >= start;
         c.previous()) {
        merged.start = std::min(merged.start, rec_.start);
        if (int del = table_.deleteRecord()) {
            table_.popContext();
            DB_FAIL(function, "Failed to delete record: ", del);
        }
    }
    table_.popContext();
    if (c.failed()) DB_FAIL(function, "DB lookup failed: ", c.rc());
    rec_ = merged;
    if (int rc = table_.modifyRecord(&rec_))
        DB_FAIL(function, "Failed to modify current interval: ", rc);
}

void FlrWrDatabase::resizeFID(const fsf_fid& fid, uint64_t size) {
    static const char* fn = "FlrWrDatabase::resizeFID";
    uint64_t words[3];
    std::memcpy(words, fid.bytes, sizeof words);
    batched(fn, [&] {
        intervalKey(fn, words, kWrMaxOffset);
        flrdb::DbCursor c(table_, kIntervalIndex, &rec_);
        for (c.seekBack(key_); c.ok() && sameFile(rec_, words) && rec_.end > size; c.previous()) {
            if (rec_.start < size) {
                rec_.end = size;
                if (int m = table_.modifyRecord(&rec_)) DB_FAIL(fn, "Failed to modify record: ", m);
            } else if (int d = table_.deleteRecord()) {
                DB_FAIL(fn, "Failed to delete record: ", d);
            }
        }
        if (c.failed()) DB_FAIL(fn, "DB lookup failed: ", c.rc());
    });
}

// --- iteration ---------------------------------------------------------------

bool FlrWrDatabase::getFirst(fsf_fid* fid, uint64_t* start, uint64_t* end, uint64_t* ackid) {
    static const char* fn = "FlrWrDatabase::getFirst";
    static const uint64_t zero[3] = {0, 0, 0};
    intervalKey(fn, zero, 0);
    return readNext(fn, table_.getGTERecord(kIntervalIndex, key_, &rec_), fid, start, end, ackid);
}

bool FlrWrDatabase::readNext(const char* function, int rc, fsf_fid* fid, uint64_t* start,
                             uint64_t* end, uint64_t* ackid) {
    if (rc == TCtreeTable::kNoRecord) {
        currentValid_ = false;
        return false;
    }
    if (rc) DB_FAIL(function, "DB lookup failed: ", rc);
    current_ = rec_;
    currentValid_ = true;
    fillOutputs(current_, fid, start, end, ackid);
    return true;
}

// Finds the interval last returned again: the caller may have added or cut
// intervals (and so moved the engine's position) since, and another process
// may have changed it. Same: it holds nothing the caller has not seen (it may
// have been cut). Grown: a merge added ranges the caller never saw.
FlrWrDatabase::Relocate FlrWrDatabase::relocateCurrent(const char* function) {
    intervalKey(function, current_.fid, current_.start);
    int rc = table_.getRecord(kIntervalIndex, key_, &rec_);
    if (rc == TCtreeTable::kNoRecord) return Relocate::Gone;
    if (rc) DB_FAIL(function, "DB lookup failed: ", rc);
    // A merge also resets the ACK ID of an interval written to again.
    const bool redirtied = rec_.ackid == 0 && current_.ackid != 0;
    return rec_.end <= current_.end && !redirtied ? Relocate::Same : Relocate::Grown;
}

bool FlrWrDatabase::getNext(fsf_fid* fid, uint64_t* start, uint64_t* end, uint64_t* ackid,
                            bool deleteCurrent) {
    static const char* fn = "FlrWrDatabase::getNext";
    if (!currentValid_) return getFirst(fid, start, end, ackid);
    if (deleteCurrent) {
        batched(fn, [&] {
            Relocate where = relocateCurrent(fn);
            if (where == Relocate::Grown) {
                // Deleting it would lose the ranges written since it was read.
                table_.debug(2, "Interval [%llu-%llu) grew since it was read; not deleted",
                             static_cast<unsigned long long>(rec_.start),
                             static_cast<unsigned long long>(rec_.end));
                return;
            }
            if (where == Relocate::Same)
                if (int rc = table_.deleteRecord())
                    DB_FAIL(fn, "Failed to delete current record: ", rc);
        });
    }
    intervalKey(fn, current_.fid, current_.start);
    return readNext(fn, table_.getGTRecord(kIntervalIndex, key_, &rec_), fid, start, end, ackid);
}

void FlrWrDatabase::updateAckID(uint64_t ackid) {
    static const char* fn = "FlrWrDatabase::updateAckID";
    if (!currentValid_) JX_THROW(fn, "Can't update ACK ID: no current record.");
    batched(fn, [&] {
        Relocate where = relocateCurrent(fn);
        if (where != Relocate::Same) {
            // An interval that grew holds ranges this ACK does not cover; it
            // stays unacknowledged and is sent again.
            table_.debug(2, "Interval starting at %llu changed since it was read; ACK ID not set",
                         static_cast<unsigned long long>(current_.start));
            return;
        }
        rec_.ackid = ackid;
        if (int rc = table_.modifyRecord(&rec_))
            DB_FAIL(fn, "Failed to modify current record: ", rc);
        current_ = rec_;
    });
}

void FlrWrDatabase::clear() {
    static const char* fn = "FlrWrDatabase::clear";
    currentValid_ = false;
    batched(fn, [&] {
        flrdb::DbCursor all(table_, TCtreeTable::kFileOrder, &rec_);
        for (all.first(); all.ok(); all.next())
            if (int d = table_.deleteRecord()) DB_FAIL(fn, "Failed to delete current record: ", d);
        if (all.failed()) DB_FAIL(fn, "Failed to iterate over all DB records: ", all.rc());
    });
}

// The library may be compiled in batches of sources: the macros end with this file.
#undef DB_FAIL
