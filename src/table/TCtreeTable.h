#pragma once
// The indexed table engine: keyed record tables declared field by field and
// index by index, stored in one LMDB environment per table (base + ".dat",
// lock file base + ".dat-lock").
//
// Storage: a "records" database maps the record number (8 bytes, big-endian,
// counting up) to the record bytes; each index is a database of its own whose
// keys are the index key bytes followed by the record number, so entries with
// equal keys keep insertion order. Integer segments are big-endian in keys, so
// byte order is numeric order. A "meta" database holds the table type and its
// layout, checked on open.
//
// Transactions: every change is its own write transaction, so a crashed
// process never leaves a half-changed record. Pages are written with write(2)
// (no writable map), so a full disk shows as a failed change, never as a
// crash, and the file grows as it fills.
// Durability: commits do not wait for the disk. Committed changes are flushed
// (fdatasync) by a background thread at most the sync interval (1 s) after
// the first unflushed commit, at the end of every BatchScope, by sync() and on
// close. So a process crash (even SIGKILL) loses nothing that was committed:
// the kernel holds it. A power cut or kernel crash loses at most the changes
// of the last sync interval (or since the last batch scope ended), never the
// database: LMDB writes the meta page that makes a commit visible after its
// data pages, so the file on disk is always some earlier committed state.
// A batch (beginBatch/commitBatch, or BatchScope) groups many changes into one
// transaction that becomes visible, and durable against a crash of the
// process, all at once. The map doubles when full. Several processes may use a
// table at once (LMDB's lock file); within one process every instance of one
// file shares a single environment. An instance belongs to one thread at a
// time and must not be used in a child process after fork() (the child opens
// its own). While a batch is open, a change through another instance waits
// for it to end, so a thread must not change a table through a second
// instance while it holds a batch on the first.
//
// Results: 0 success, kNoRecord (101) when no (further) record matches, any
// other value is a failure described by errToString().
//
// Navigation: a read makes the record current and remembers its position in
// the index it was read by. next/previous step from that position in index
// order; after modifyRecord or deleteRecord of the current record they still
// step from where the record was, so a walk may change or delete what it walks
// over. Stepping on another index than the one the position came from starts
// from the current record's key in that index.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/EvDebug.h"

namespace JXIndexing {
enum TAccessEnum {
    TAccessReadWrite = 1,  // the normal mode of every table
    TAccessReadOnly = 2,   // inspection: every change fails
};
}

class TCtreeTable : public TDebuggable {
  public:
    // Field type codes.
    static constexpr int kTypeUInt64 = 239;
    static constexpr int kTypeUInt32 = 59;
    static constexpr int kTypeUInt16 = 41;
    static constexpr int kTypeUInt8 = 16;
    static constexpr int kTypeByte = 24;
    static constexpr int kTypeBinary = 128;
    static constexpr int kTypeString = 146;  // NUL-terminated, up to the field length

    // Result codes. LMDB's own failures keep their (negative) codes; system
    // errors are kSystemErrorBase + errno.
    static constexpr int kOk = 0;
    static constexpr int kDuplicateKey = 2;       // a unique index already holds the key
    static constexpr int kNoCurrentRecord = 100;  // modify/delete/next without a current record
    static constexpr int kNoRecord = 101;         // nothing (further) matches
    static constexpr int kBadDeclaration = 401;
    static constexpr int kBadArgument = 402;
    static constexpr int kKeyBufferTooShort = 403;
    static constexpr int kNotOpen = 404;
    static constexpr int kAlreadyOpen = 405;
    static constexpr int kTableMismatch = 406;  // the file holds another table or layout
    static constexpr int kReadOnly = 407;
    static constexpr int kBatchRolledBack = 408;  // the map filled up inside a batch
    static constexpr int kNoBatch = 409;
    static constexpr int kCorruptRecord = 410;  // a stored record shorter than the fixed part
    static constexpr int kSystemErrorBase = 10000;

    // Index number meaning the records in file (record number) order.
    static constexpr int kFileOrder = -1;

    explicit TCtreeTable(std::string logName);
    ~TCtreeTable() override;
    TCtreeTable(const TCtreeTable&) = delete;
    TCtreeTable& operator=(const TCtreeTable&) = delete;

    // --- callbacks each table provides -----------------------------------
    // Declares the table (the calls below) for files in dir; 0 or a code.
    virtual int initialize(const char* dir) = 0;
    // The table's name, stored in the file and checked on open.
    virtual const char* getTableType() const = 0;
    // Calls internalRegisterTable with the table's numbers.
    virtual int registerTable() = 0;
    // False limits the file to 2 GiB.
    virtual bool createHugeFile() const { return true; }
    // Smallest step by which the map grows, in bytes.
    virtual long hugeFileIncr() const { return 524288; }

    // --- life cycle -------------------------------------------------------
    // Makes the table's file when missing and opens it; a file that already
    // holds this table (another process was first) is simply opened.
    int create();
    int open(JXIndexing::TAccessEnum mode);
    // Flushes and closes; a batch still open is rolled back. Idempotent.
    int close();
    bool isOpen() const;
    // Flushes committed changes to disk now.
    int sync();

    // --- keyed reads (fill record, make it current) -------------------------
    int getRecord(int index, const void* key, void* record);  // key equal
    int getGTERecord(int index, const void* key, void* record);
    int getGTRecord(int index, const void* key, void* record);
    int getLTERecord(int index, const void* key, void* record);
    int getLTRecord(int index, const void* key, void* record);

    // index kFileOrder walks by record number.
    int firstRecord(int index, void* record);
    int lastRecord(int index, void* record);
    int nextRecord(int index, void* record);
    int previousRecord(int index, void* record);

    // The set is the records whose key begins with the first prefixLength
    // bytes of key; the walks stay inside it.
    int firstInSet(int index, const void* key, void* record, int prefixLength);
    int lastInSet(int index, const void* key, void* record, int prefixLength);
    int nextInSet(int index, void* record);
    int previousInSet(int index, void* record);

    // --- changes ------------------------------------------------------------
    // Adds a record (recordLength bytes) and makes it current.
    int addRecord(const void* record);
    // Replace / delete the current record.
    int modifyRecord(const void* record);
    int deleteRecord();

    // Saves and restores the current record, position and set.
    void pushContext();
    void popContext();

    // Non-zero when the last failed read found no (further) record.
    int noRecordFound() const;
    // The result of the last operation.
    int lastResult() const;
    static std::string errToString(int code);

    // Number of records (from the engine's statistics, no walk).
    int getRecordCount(uint64_t* count);

    // --- batches ------------------------------------------------------------
    // Every change until commitBatch is one transaction; reads inside see it.
    // Batches nest: only the outermost commit commits. The map cannot grow
    // while a transaction is open, so beginBatch makes room first: as much as
    // the file holds (at least the initial map size), or expectedBytes when
    // more is expected. If the map fills up all the same, everything since
    // beginBatch is rolled back, the map is grown, and that change and
    // commitBatch return kBatchRolledBack: the batch must be redone. Bulk work
    // either passes a size hint or commits in bounded batches.
    int beginBatch(size_t expectedBytes = 0);
    int commitBatch();
    void abortBatch();
    bool inBatch() const;

    // When the changes of an outermost batch scope reach the disk: at its
    // commit (AtEnd), or within the sync interval like single changes
    // (Background: for scopes that group one logical change, where a flush
    // each would cost a disk round trip per change).
    enum class Flush { AtEnd, Background };

    // Rolls the batch back unless commit() was called.
    class BatchScope {
      public:
        explicit BatchScope(TCtreeTable& table, size_t expectedBytes = 0,
                            Flush flush = Flush::AtEnd);
        ~BatchScope();
        BatchScope(const BatchScope&) = delete;
        BatchScope& operator=(const BatchScope&) = delete;
        // 0, or the code of the failed begin, commit or flush.
        int commit();
        int beginResult() const { return begin_; }

      private:
        TCtreeTable& table_;
        int begin_;
        bool open_;
        Flush flush_;
    };

    // --- durability ---------------------------------------------------------
    // Longest time a committed change waits to be flushed, for tables of this
    // process (tests shorten it). 0 or less restores the default 1 s.
    static void setSyncInterval(long milliseconds);
    // True while this table's file has commits not yet flushed to disk.
    bool hasUnsyncedChanges() const;
    // Flushes done by this process so far (a counter for tests and tools).
    static uint64_t syncCount();
    // The LMDB environment flags the table's file is open with.
    int environmentFlags(unsigned* flags) const;
    // Copies the table, as one committed state even while other processes
    // write it, to target + ".tmp", flushes it, and renames it to target.
    int copyTo(const std::string& target);
    // The same for the table at sourceBase (whatever its layout) to
    // targetBase + ".dat"; the source is opened when this process has not.
    static int copyTable(const std::string& sourceBase, const std::string& targetBase);

    // --- files --------------------------------------------------------------
    // base + ".dat"; empty before internalInitialize.
    std::string dataFileName() const;
    // Every file a table at base may have (".dat", ".dat-lock", ".idx").
    static std::vector<std::string> tableFiles(const std::string& base);
    // Unlinks them all; errors are ignored.
    static void removeTableFiles(const std::string& base);

    // Initial map size of tables opened from now on in this process (tests use
    // small maps to exercise growth). 0 restores the default.
    static void setInitialMapSize(size_t bytes);

    // Declared layout, for tools.
    int recordLength() const;
    int keyLength(int index) const;
    int indexCount() const;

  protected:
    // --- declaration, in this order, from initialize() ----------------------
    int internalInitialize(const std::string& base, int variable, int fieldCount, int indexCount,
                           int segmentCount, int recordLength, int fixedLength);
    int setNextField(const char* name, int offset, int type, int length);
    // duplicates: 1 allowed, 0 unique. firstSegment: number of the index's
    // first segment among all segments.
    int setNextIndex(const char* name, int keyLength, int keyType, int duplicates, int reserved1,
                     int reserved2, int segmentCount, int firstSegment);
    // mode 1: encoded by the field's type (integers big-endian).
    int setNextSegment(int field, int length, int mode);
    // An index by name, for designated initializers: the key is segments
    // firstSegment .. firstSegment + segmentCount - 1 (setNextSegment order)
    // one after the other, keyLength bytes in all.
    struct IndexLayout {
        const char* name;
        int keyLength;
        bool duplicates;  // false: a unique index
        int firstSegment;
        int segmentCount;
        int keyType = 0;  // kept for tools; keys are encoded by segment
    };
    int declareIndex(const IndexLayout& index);
    int shellOrder(int field);
    int initializeComplete();
    int internalRegisterTable(int a, int b, int c);

    // --- keys ---------------------------------------------------------------
    // Writes segment `segment` of `index` at *cursor from value (a native
    // integer of the field's width, a string, or raw bytes) and advances the
    // cursor. Segments are filled in order from 0.
    int fillKeySegment(char** cursor, int* remaining, const void* value, int flags, int index,
                       int segment);
    // Zero-fills the segments not filled; the key is then complete.
    int finishKey(char** cursor, int* remaining, int index, int flags);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
