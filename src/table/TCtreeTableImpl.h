#pragma once
// Private to the table engine: the state behind TCtreeTable and what its
// source files (environment, keys, cursors, writes) share. Nothing outside
// src/table includes this.
#include <lmdb.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "TCtreeTable.h"

namespace tctree {

constexpr size_t kRecnoLen = 8;
// LMDB's compiled-in key limit is 511 bytes; the record number takes 8.
constexpr int kMaxKeyLen = 511 - static_cast<int>(kRecnoLen);
constexpr size_t kDefaultMapSize = size_t(4) << 20;
constexpr size_t kSmallFileLimit = (size_t(2) << 30) - 4096;
constexpr unsigned kMaxDbs = 32;
constexpr unsigned kMaxReaders = 510;
constexpr int kMaxIndices = kMaxDbs - 2;
constexpr const char* kRecordsDb = "records";
constexpr const char* kMetaDb = "meta";

extern std::atomic<size_t> gInitialMapSize;

inline int fromMdb(int rc) {
    if (rc == 0) return TCtreeTable::kOk;
    if (rc == MDB_NOTFOUND) return TCtreeTable::kNoRecord;
    if (rc > 0) return TCtreeTable::kSystemErrorBase + rc;
    return rc;
}

// Failures after which an LMDB write transaction may not go on.
inline bool poisonsTransaction(int rc) {
    return rc < 0 || rc >= TCtreeTable::kSystemErrorBase;
}

// One LMDB environment per file and process: LMDB forbids opening a file twice
// in one process, so every table instance of that file shares this.
struct SharedEnv {
    MDB_env* env = nullptr;
    pid_t pid = 0;
    bool readOnly = false;
    size_t pageSize = 4096;
    // Shared while a transaction of this process is live, exclusive while the
    // map is resized (LMDB requires no live transaction then).
    std::shared_mutex resize;
    size_t mapSize = 0;  // changed only under the exclusive lock
    std::mutex setup;    // opening database handles
    std::map<std::string, MDB_dbi> dbis;
    bool recnoKnown = false;
    uint64_t nextRecno = 1;  // touched only inside write transactions
    // Committed changes not yet flushed to disk (see TCtreeTableSync.cpp).
    std::atomic<bool> unsynced{false};

    ~SharedEnv();
};

// The process's environment of file (TCtreeTableEnv.cpp): shared with every
// instance that has it open, else opened.
int openShared(const std::string& file, bool mustExist, bool ro, std::shared_ptr<SharedEnv>* out);
// A consistent copy of env at target (TCtreeTableSync.cpp).
int copyEnv(SharedEnv& env, const std::string& target);

// Flushing committed changes (TCtreeTableSync.cpp). noteCommit marks the
// environment and has it flushed within the sync interval; syncNow flushes at
// once.
void noteCommit(const std::shared_ptr<SharedEnv>& env);
int syncNow(SharedEnv& env);

struct Field {
    std::string name;
    int offset, type, length;
};
struct Segment {
    int field, length, mode;
};
struct Index {
    std::string name;
    int keyLength, keyType;
    bool duplicates;
    int segmentCount, firstSegment;
    MDB_dbi dbi = 0;
};

// Position and current record; what pushContext saves.
struct Context {
    bool hasPosition = false;
    bool hasCurrent = false;
    uint64_t recno = 0;
    int posIndex = TCtreeTable::kFileOrder;
    std::vector<uint8_t> posKey;
    std::vector<uint8_t> rec;  // stored form of the current record
    int setIndex = -2;
    std::vector<uint8_t> setPrefix;
};

enum class Move { First, Last, AtOrAfter, After, Before };

}  // namespace tctree

using tctree::Context;
using tctree::Field;
using tctree::Index;
using tctree::Move;
using tctree::Segment;
using tctree::SharedEnv;

struct TCtreeTable::Impl {
    TCtreeTable& owner;
    explicit Impl(TCtreeTable& o) : owner(o) {}

    // --- declaration --------------------------------------------------------
    std::string base;
    bool variable = false;
    int declaredFields = 0, declaredIndices = 0, declaredSegments = 0;
    int recLen = 0, fixedLen = 0;
    std::vector<Field> fields;
    std::vector<Index> indices;
    std::vector<Segment> segments;
    int shellOrdered = 0;
    bool declared = false;
    bool hasStrings = false;
    std::string layout;
    int registered[3] = {0, 0, 0};
    int kbIndex = -1, kbNext = 0;  // key being built

    // --- open state ---------------------------------------------------------
    std::shared_ptr<SharedEnv> env;
    pid_t ownerPid = 0;
    bool readOnly = false;
    MDB_dbi recordsDbi = 0, metaDbi = 0;
    MDB_txn* rtxn = nullptr;  // reset between operations, renewed for each
    std::vector<MDB_cursor*> rcur;
    uint64_t renewed = 0;
    MDB_txn* wtxn = nullptr;  // the transaction of one change
    std::vector<MDB_cursor*> wcur;
    MDB_txn* btxn = nullptr;  // the batch transaction
    std::vector<MDB_cursor*> bcur;
    int batchDepth = 0;
    bool batchFailed = false;
    MDB_txn* active = nullptr;  // what the running operation reads through

    Context cur;
    std::vector<Context> stack;
    int last = 0;

    // --- scratch buffers, sized once ----------------------------------------
    std::vector<uint8_t> probe, stored, full, oldFull, keys, oldKeys;
    std::vector<int> keyOffset;

    int result(int rc) { return last = rc; }
    int slotOf(int index) const { return index < 0 ? static_cast<int>(indices.size()) : index; }
    MDB_dbi dbiOf(int index) const { return index < 0 ? recordsDbi : indices[index].dbi; }
    bool validIndex(int index, bool fileOrderOk) const {
        return (fileOrderOk && index == kFileOrder) ||
               (index >= 0 && index < static_cast<int>(indices.size()));
    }

    void resetDeclaration() {
        fields.clear();
        indices.clear();
        segments.clear();
        declared = false;
        shellOrdered = 0;
        hasStrings = false;
    }

    // --- keys and records ---------------------------------------------------
    void encode(const Field& f, const Segment& s, const uint8_t* value, size_t valueMax,
                uint8_t* out) const;

    // Key bytes of index i from a full record.
    void keyOf(int i, const uint8_t* rec, uint8_t* out) const;

    // The bytes kept for a record: string fields end at their NUL, and the
    // variable part of a variable table ends at its last meaningful byte.
    size_t storedForm(const uint8_t* rec, const uint8_t** out);

    int expand(const MDB_val& v, void* out) const;

    // --- environment --------------------------------------------------------
    int acquireEnv(bool mustExist, bool ro);

    // Sets the map size (under the exclusive lock).
    int resizeMap(size_t target);

    // Another process grew the map: take its size.
    int adoptMapSize();

    size_t maxMapSize() const {
        return owner.createHugeFile() ? SIZE_MAX / 2 : tctree::kSmallFileLimit;
    }

    // The map filled up at size `seen`: double it (or step by hugeFileIncr).
    int grow(size_t seen);

    // Before a batch: room for at least as much again as the file holds, so a
    // large batch rarely has to be rolled back for want of map.
    int ensureHeadroom(size_t expected);

    // Opens the named databases and checks (or writes) the table description.
    int setupDatabases(bool createMissing);

    int setupInTxn(bool createMissing);

    int checkMeta(MDB_txn* t, bool mayWrite);

    // --- transactions ---------------------------------------------------------
    void closeCursors(std::vector<MDB_cursor*>& cs);

    void dropReadTxn();

    // Starts the read of one operation: through the batch when one is open,
    // else through the renewed read transaction under the shared lock.
    int beginRead(bool* locked);

    void endRead(bool locked);

    struct ReadScope {
        Impl& m;
        bool locked = false;
        int rc;
        explicit ReadScope(Impl& impl) : m(impl), rc(impl.beginRead(&locked)) {}
        ~ReadScope() { m.endRead(locked); }
    };

    int cursorFor(int index, MDB_cursor** out);

    // Runs one change: inside the batch, or as its own transaction that is
    // retried after growing the map.
    template <class Body>
    int withWrite(Body&& body);

    void rollbackBatch();

    // --- reading --------------------------------------------------------------
    // Makes the record behind index entry `k` current and copies it out.
    int loadAt(int index, const MDB_val& k, void* out);

    int move(MDB_cursor* c, Move how, const uint8_t* p, size_t n, MDB_val* k);

    // One positioning read; with prefixLen the found key must begin with prefix.
    int readAt(int index, Move how, const uint8_t* p, size_t n, void* out,
               const uint8_t* prefix = nullptr, size_t prefixLen = 0);

    int keyedRead(int index, const void* key, void* out, Move how, uint8_t fill, bool exact);

    // The full stored key of the current position in `index`.
    int positionIn(int index, size_t* n);

    int step(int index, Move how, void* out, bool inSet);

    int setRead(int index, const void* key, void* out, int prefixLength, bool fromEnd);

    // --- writing --------------------------------------------------------------
    // Key bytes of every index for a full record, into buf at keyOffset.
    void allKeys(const uint8_t* rec, std::vector<uint8_t>& buf);

    int keyTaken(int i, const uint8_t* key);

    int putEntry(MDB_txn* t, int i, const uint8_t* key, uint64_t recno);

    int delEntry(MDB_txn* t, int i, const uint8_t* key, uint64_t recno);

    int putRecord(MDB_txn* t, uint64_t* recno, const uint8_t* data, size_t len);

    // Reads the stored record `recno` into oldFull (full length).
    int loadOld(MDB_txn* t, uint64_t recno);

    int addRecord(const void* record);

    int modifyRecord(const void* record);

    int deleteRecord();

    // --- life cycle -----------------------------------------------------------
    int openTable(bool create, bool ro);

    int closeTable();
};