// The LBFS block-hash database: declaration of the "FlrLBFSHashDB Table",
// block lists per file, changed-range marking, lookup by hash, and the file
// maintenance the LBFS databases share.
#include "FlrLBFSHashDB.h"
#include "DbBatch.h"
#include "platform/JxFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "FLR/JxException.h"
#include "platform/EvDebug.h"

namespace {

constexpr const char* kHashDbSource = "FlrLBFSHashDB";
constexpr const char* kName = "FlrLBFSHashDB";
constexpr int kHashIndex = 0;
constexpr int kFileIndex = 1;
constexpr uint64_t kMaxOffset = 0xFFFFFFFFFFFFFFFFULL;
const unsigned char kZeroHash[FlrLBFSHashDB::kHashSize] = {};

// Engine codes are positive (or LMDB's negative ones); a failure's code must
// be negative so that callers testing IsError() see it.
int failCode(int rc) {
    return rc < 0 ? rc : rc == 0 ? -1 : -rc;
}

uint64_t endOf(uint64_t offset, uint64_t length) {
    return length > kMaxOffset - offset ? kMaxOffset : offset + length;
}

bool isZero(const unsigned char* hash) {
    return std::memcmp(hash, kZeroHash, FlrLBFSHashDB::kHashSize) == 0;
}

bool exists(const std::string& path) {
    struct stat st;
    return jx::fileOps().stat(path.c_str(), &st) == 0;
}

}  // namespace

static_assert(offsetof(FlrLBFSHashDB::Record, size) == 2);
static_assert(offsetof(FlrLBFSHashDB::Record, fid) == 8);
static_assert(offsetof(FlrLBFSHashDB::Record, offset) == 16);
static_assert(offsetof(FlrLBFSHashDB::Record, hash) == 24);
static_assert(sizeof(FlrLBFSHashDB::Record) == 56);

// A failure at this line of the running operation (fn: its signature).
#define HFAIL(rc, ...) CQiError(failCode(rc), kHashDbSource, fn, __LINE__, __VA_ARGS__)
#define HPUSH(err) (err).Push(kHashDbSource, fn, __LINE__)

FlrLBFSHashDB::FlrLBFSHashDB() : table_({"FlrLBFSHashDB", "FlrLBFSHashDB Table", {10, 6, 10}}) {}

FlrLBFSHashDB::~FlrLBFSHashDB() {
    table_.close();
}

int FlrLBFSHashDB::close() {
    return table_.close();
}

TCtreeTable::BatchScope FlrLBFSHashDB::transaction(size_t expectedBytes, TCtreeTable::Flush flush) {
    return TCtreeTable::BatchScope(table_, expectedBytes, flush);
}

CQiError FlrLBFSHashDB::initialize(const std::string& dir, JXIndexing::TAccessEnum mode) {
    const char* const fn = __PRETTY_FUNCTION__;
    table_.debug(1, "Opening/creating FlrLBFSHashDB in %s", dir.c_str());
    const std::string base = dir + "/" + kName;
    int rc = table_.internalInitialize(base, 0, 5, 2, 3, sizeof(Record), sizeof(Record));
    if (rc)
        return HFAIL(rc, "Failed to initialize FlrLBFSHashDB: %s",
                     TCtreeTable::errToString(rc).c_str());

    rc = table_.setNextField("dummy", offsetof(Record, dummy), TCtreeTable::kTypeUInt16, 2);
    if (!rc) rc = table_.setNextField("size", offsetof(Record, size), TCtreeTable::kTypeUInt16, 2);
    if (!rc) rc = table_.setNextField("fid", offsetof(Record, fid), TCtreeTable::kTypeUInt64, 8);
    if (!rc)
        rc = table_.setNextField("offset", offsetof(Record, offset), TCtreeTable::kTypeUInt64, 8);
    if (!rc)
        rc = table_.setNextField("hash", offsetof(Record, hash), TCtreeTable::kTypeBinary,
                                 kHashSize);
    if (rc)
        return HFAIL(rc, "Failed to configure FlrLBFSHashDB fields: %s",
                     TCtreeTable::errToString(rc).c_str());

    rc = table_.declareIndex({.name = "hash",
                              .keyLength = kHashSize,
                              .duplicates = true,
                              .firstSegment = 0,
                              .segmentCount = 1});
    if (!rc)
        rc = table_.declareIndex({.name = "fid_offset",
                                  .keyLength = 16,
                                  .duplicates = false,
                                  .firstSegment = 1,
                                  .segmentCount = 2});
    if (rc)
        return HFAIL(rc, "Failed to configure FlrLBFSHashDB indices: %s",
                     TCtreeTable::errToString(rc).c_str());

    rc = table_.setNextSegment(4, kHashSize, 1);
    if (!rc) rc = table_.setNextSegment(2, 8, 1);
    if (!rc) rc = table_.setNextSegment(3, 8, 1);
    if (rc)
        return HFAIL(rc, "Failed to configure FlrLBFSHashDB segments: %s",
                     TCtreeTable::errToString(rc).c_str());

    for (int field = 0; field < 5; ++field) table_.shellOrder(field);
    if ((rc = table_.initializeComplete()))
        return HFAIL(rc, "Failed to complete initialization of FlrLBFSHashDB: %s",
                     TCtreeTable::errToString(rc).c_str());

    const std::string data = base + ".dat";
    if (exists(data) || mode == JXIndexing::TAccessReadOnly) {
        table_.debug(1, "Opening existing FlrLBFSHashDB %s", data.c_str());
        if ((rc = table_.open(mode)))
            return HFAIL(rc, "Failed to open an existing FlrLBFSHashDB: %s",
                         TCtreeTable::errToString(rc).c_str());
    } else {
        table_.debug(1, "Creating new FlrLBFSHashDB %s", data.c_str());
        if ((rc = table_.create()))
            return HFAIL(rc, "Failed to create FlrLBFSHashDB: %s",
                         TCtreeTable::errToString(rc).c_str());
    }
    return CQiError();
}

// --- keys and helpers ----------------------------------------------------------

CQiError FlrLBFSHashDB::fileKey(const char* fn, uint64_t fid, uint64_t offset) {
    char* cursor = key_;
    int remaining = sizeof key_;
    int rc = table_.fillKeySegment(&cursor, &remaining, &fid, 0, kFileIndex, 0);
    if (!rc) rc = table_.fillKeySegment(&cursor, &remaining, &offset, 0, kFileIndex, 1);
    if (!rc) rc = table_.finishKey(&cursor, &remaining, kFileIndex, 0);
    if (rc)
        return HFAIL(rc, "Failed to fill key segment: %s", TCtreeTable::errToString(rc).c_str());
    return CQiError();
}

CQiError FlrLBFSHashDB::hashKey(const char* fn, const unsigned char* hash) {
    char* cursor = key_;
    int remaining = sizeof key_;
    int rc = table_.fillKeySegment(&cursor, &remaining, hash, 0, kHashIndex, 0);
    if (!rc) rc = table_.finishKey(&cursor, &remaining, kHashIndex, 0);
    if (rc)
        return HFAIL(rc, "Failed to fill key segment: %s", TCtreeTable::errToString(rc).c_str());
    return CQiError();
}

// Positions on the block of fid that starts at or before offset; when the
// file's first block starts after offset, on that block instead, so that no
// block of the file at or after offset is skipped. kNoRecord when the file
// has no block there.
int FlrLBFSHashDB::locateCovering(const char* fn, uint64_t fid, uint64_t offset, CQiError* err) {
    if ((*err = fileKey(fn, fid, offset)).IsError()) return -1;
    int rc = table_.getLTERecord(kFileIndex, key_, &rec_);
    if (rc == TCtreeTable::kOk && rec_.fid == fid) return TCtreeTable::kOk;
    if (rc != TCtreeTable::kOk && rc != TCtreeTable::kNoRecord) return rc;
    if ((*err = fileKey(fn, fid, offset)).IsError()) return -1;
    rc = table_.getGTERecord(kFileIndex, key_, &rec_);
    if (rc == TCtreeTable::kOk && rec_.fid != fid) return TCtreeTable::kNoRecord;
    return rc;
}

// The file's blocks in order of offset, from its first; the walk runs past
// them into the next file's, so a loop also checks rec_.fid.
flrdb::DbCursor FlrLBFSHashDB::blocksOf(const char* fn, uint64_t fid, CQiError* err) {
    if ((*err = fileKey(fn, fid, 0)).IsError())
        return flrdb::DbCursor(table_, kFileIndex, &rec_, TCtreeTable::kNoRecord);
    flrdb::DbCursor c(table_, kFileIndex, &rec_);
    c.seek(key_);
    return c;
}

void FlrLBFSHashDB::fillRecord(uint64_t fid, const JxLBFS::HashBlock& block) {
    std::memset(&rec_, 0, sizeof rec_);
    rec_.size = static_cast<uint16_t>(block.block.length);
    rec_.fid = fid;
    rec_.offset = block.block.offset;
    std::memcpy(rec_.hash, block.hash, kHashSize);
}

// Refused before anything changes: a size that does not fit the record, or
// blocks out of order, would store wrong ranges or collide on their keys.
CQiError FlrLBFSHashDB::checkBlocks(const char* fn, uint64_t fid,
                                    const std::vector<JxLBFS::HashBlock>& blocks) {
    uint64_t previousEnd = 0;
    for (size_t i = 0; i < blocks.size(); ++i) {
        const JxLBFS::Block& b = blocks[i].block;
        if (b.length == 0 || b.length > kMaxBlockSize)
            return CQiError(-1, kHashDbSource, fn, __LINE__,
                            "Invalid hash block for fid %lu at offset %lu: size %u is not "
                            "between 1 and %u",
                            fid, b.offset, b.length, kMaxBlockSize);
        if (b.length > kMaxOffset - b.offset || (i > 0 && b.offset < previousEnd))
            return CQiError(-1, kHashDbSource, fn, __LINE__,
                            "Invalid hash block for fid %lu at offset %lu: blocks must follow "
                            "each other without overlapping",
                            fid, b.offset);
        previousEnd = b.offset + b.length;
    }
    return CQiError();
}

// Runs body as one transaction (see DbBatch.h).
template <class Body>
CQiError FlrLBFSHashDB::batched(const char* fn, Body&& body) {
    CQiError err;
    flrdb::BatchOutcome out = flrdb::runBatched(table_, fn, [&] {
        err = body();
        if (!err.IsError()) return static_cast<int>(TCtreeTable::kOk);
        return err.GetCode() == -TCtreeTable::kBatchRolledBack
                   ? static_cast<int>(TCtreeTable::kBatchRolledBack)
                   : -1;
    });
    switch (out.stage) {
        case flrdb::BatchStage::Done:
        case flrdb::BatchStage::Body:
            return err;
        case flrdb::BatchStage::Begin:
            return HFAIL(out.rc, "Couldn't start a transaction: %s",
                         TCtreeTable::errToString(out.rc).c_str());
        case flrdb::BatchStage::Commit:
            break;
    }
    return HFAIL(out.rc, "Couldn't commit changes to FlrLBFSHashDB: %s",
                 TCtreeTable::errToString(out.rc).c_str());
}

// --- deleting --------------------------------------------------------------------

CQiError FlrLBFSHashDB::deleteFile(const char* fn, uint64_t fid) {
    CQiError err;
    flrdb::DbCursor c = blocksOf(fn, fid, &err);
    if (err.IsError()) return err;
    if (c.ok() && rec_.fid == fid) table_.debug(2, "Deleting all hash blocks for fid %lu", fid);
    for (; c.ok() && rec_.fid == fid; c.next())
        if (int d = table_.deleteRecord())
            return HFAIL(d, "Couldn't delete hash blocks for fid %lu: %s", fid,
                         TCtreeTable::errToString(d).c_str());
    if (c.failed())
        return HFAIL(c.rc(), "Couldn't find hash blocks for fid %lu: %s", fid,
                     TCtreeTable::errToString(c.rc()).c_str());
    return CQiError();
}

CQiError FlrLBFSHashDB::del(uint64_t fid) {
    const char* const fn = __PRETTY_FUNCTION__;
    return batched(fn, [&] { return deleteFile(fn, fid); });
}

CQiError FlrLBFSHashDB::del(const std::vector<uint64_t>& fids) {
    const char* const fn = __PRETTY_FUNCTION__;
    return batched(fn, [&]() -> CQiError {
        for (uint64_t fid : fids) {
            CQiError err = deleteFile(fn, fid);
            if (err.IsError()) return HPUSH(err);
        }
        return CQiError();
    });
}

// --- changed blocks ----------------------------------------------------------------

CQiError FlrLBFSHashDB::markChanged(uint64_t fid, uint64_t offset, uint64_t length) {
    const char* const fn = __PRETTY_FUNCTION__;
    const uint64_t end = endOf(offset, length);
    return batched(fn, [&]() -> CQiError {
        bool marked = false;
        CQiError err;
        flrdb::DbCursor c(table_, kFileIndex, &rec_, locateCovering(fn, fid, offset, &err));
        if (err.IsError()) return err;
        int rc = TCtreeTable::kOk;  // a change that failed, else the walk's status
        for (; c.ok() && rec_.fid == fid && rec_.offset < end; c.next()) {
            if (offset >= rec_.offset + rec_.size) continue;
            if (!marked)
                table_.debug(2, "Marking [%lu-%lu] as changed for fid %lu", offset, end, fid);
            marked = true;
            if (isZero(rec_.hash)) continue;
            std::memset(rec_.hash, 0, kHashSize);
            if ((rc = table_.modifyRecord(&rec_))) break;
        }
        if (rc == TCtreeTable::kOk) rc = c.rc();
        if (rc != TCtreeTable::kOk && rc != TCtreeTable::kNoRecord)
            return HFAIL(rc,
                         "Couldn't mark hash blocks for fid %lu between [%lu-%lu] as changed: %s",
                         fid, offset, end, TCtreeTable::errToString(rc).c_str());
        if (marked) return CQiError();

        // Written past the blocks the file has: its last block (whose end was
        // the old end of the file) must be hashed again, and what follows it.
        if ((err = fileKey(fn, fid, kMaxOffset)).IsError()) return err;
        rc = table_.getLTERecord(kFileIndex, key_, &rec_);
        if (rc != TCtreeTable::kOk && rc != TCtreeTable::kNoRecord)
            return HFAIL(rc, "Couldn't find hash blocks for fid %lu: %s", fid,
                         TCtreeTable::errToString(rc).c_str());
        if (rc == TCtreeTable::kOk && rec_.fid == fid) {
            if (isZero(rec_.hash)) return CQiError();
            std::memset(rec_.hash, 0, kHashSize);
            if ((rc = table_.modifyRecord(&rec_)))
                return HFAIL(rc,
                             "Couldn't mark hash blocks for fid %lu between [%lu-%lu] as changed: "
                             "%s",
                             fid, offset, end, TCtreeTable::errToString(rc).c_str());
            return CQiError();
        }
        // No block at all: one changed placeholder from the start of the file.
        // Its size only has to cover a byte for the range to be found and
        // replaced; a size past 16 bits would be stored cut (even to 0).
        JxLBFS::HashBlock placeholder;
        placeholder.block.offset = 0;
        placeholder.block.length =
            static_cast<uint32_t>(std::clamp<uint64_t>(end, 1, kMaxBlockSize));
        fillRecord(fid, placeholder);
        if ((rc = table_.addRecord(&rec_)))
            return HFAIL(rc, "Couldn't add new hash block: %s",
                         TCtreeTable::errToString(rc).c_str());
        return CQiError();
    });
}

CQiError FlrLBFSHashDB::getFirstChangedFile(uint64_t* fid) {
    const char* const fn = __PRETTY_FUNCTION__;
    *fid = 0;
    CQiError err = hashKey(fn, kZeroHash);
    if (err.IsError()) return err;
    int rc = table_.getGTERecord(kHashIndex, key_, &rec_);
    if (rc == TCtreeTable::kNoRecord) return CQiError();
    if (rc)
        return HFAIL(rc, "Couldn't lookup NULL hash block: %s",
                     TCtreeTable::errToString(rc).c_str());
    if (isZero(rec_.hash)) *fid = rec_.fid;
    return CQiError();
}

CQiError FlrLBFSHashDB::getFirstChangedRange(uint64_t fid, uint64_t* start, uint64_t* length) {
    const char* const fn = __PRETTY_FUNCTION__;
    *start = kNone;
    *length = 0;
    bool lengthSet = false;
    CQiError err;
    flrdb::DbCursor c = blocksOf(fn, fid, &err);
    if (err.IsError()) return err;
    for (; c.ok() && rec_.fid == fid; c.next()) {
        if (*start == kNone) {
            if (isZero(rec_.hash)) *start = rec_.offset;
        } else if (!isZero(rec_.hash)) {
            *length = rec_.offset + rec_.size - *start;
            lengthSet = true;
            break;
        }
    }
    if (c.failed())
        return HFAIL(c.rc(), "Couldn't find hash blocks for fid %lu: %s", fid,
                     TCtreeTable::errToString(c.rc()).c_str());
    if (*start != kNone && !lengthSet) *length = kNone;
    return CQiError();
}

CQiError FlrLBFSHashDB::updateChangedRange(uint64_t fid,
                                           const std::vector<JxLBFS::HashBlock>& blocks) {
    const char* const fn = __PRETTY_FUNCTION__;
    if (blocks.empty())
        return CQiError(-1, kHashDbSource, fn, __LINE__,
                        "Couldn't update hash blocks for fid %lu: no blocks given", fid);
    CQiError err = checkBlocks(fn, fid, blocks);
    if (err.IsError()) return err;
    const uint64_t rangeStart = blocks.front().block.offset;
    const uint64_t rangeEnd = blocks.back().block.offset + blocks.back().block.length;
    return batched(fn, [&]() -> CQiError {
        CQiError e;
        flrdb::DbCursor c(table_, kFileIndex, &rec_, locateCovering(fn, fid, rangeStart, &e));
        if (e.IsError()) return e;
        for (; c.ok() && rec_.fid == fid && rec_.offset < rangeEnd; c.next()) {
            if (rec_.offset + rec_.size <= rangeStart) continue;
            if (int d = table_.deleteRecord())
                return HFAIL(d, "Couldn't delete hash blocks for fid %lu: %s", fid,
                             TCtreeTable::errToString(d).c_str());
        }
        if (c.failed())
            return HFAIL(c.rc(), "Couldn't find hash blocks for fid %lu: %s", fid,
                         TCtreeTable::errToString(c.rc()).c_str());
        table_.debug(2, "Updating %d hash blocks for fid %lu, [%lu-%lu]",
                     static_cast<int>(blocks.size()), fid, rangeStart, rangeEnd);
        e = insertBlocks(fn, fid, blocks);
        return e.IsError() ? HPUSH(e) : e;
    });
}

// --- whole files and single blocks -----------------------------------------------

CQiError FlrLBFSHashDB::get(uint64_t fid, std::vector<JxLBFS::HashBlock>* blocks) {
    const char* const fn = __PRETTY_FUNCTION__;
    blocks->clear();
    CQiError err;
    flrdb::DbCursor c = blocksOf(fn, fid, &err);
    if (err.IsError()) return err;
    for (; c.ok() && rec_.fid == fid; c.next()) {
        JxLBFS::HashBlock& b = blocks->emplace_back();
        b.block.offset = rec_.offset;
        b.block.length = rec_.size;
        std::memcpy(b.hash, rec_.hash, kHashSize);
    }
    if (c.failed())
        return HFAIL(c.rc(), "Couldn't find hash blocks for fid %lu: %s", fid,
                     TCtreeTable::errToString(c.rc()).c_str());
    return CQiError();
}

CQiError FlrLBFSHashDB::insertBlocks(const char* fn, uint64_t fid,
                                     const std::vector<JxLBFS::HashBlock>& blocks) {
    for (const JxLBFS::HashBlock& b : blocks) {
        fillRecord(fid, b);
        if (int rc = table_.addRecord(&rec_))
            return HFAIL(rc, "Couldn't insert hash block: %s",
                         TCtreeTable::errToString(rc).c_str());
    }
    return CQiError();
}

CQiError FlrLBFSHashDB::update(uint64_t fid, const std::vector<JxLBFS::HashBlock>& blocks) {
    const char* const fn = __PRETTY_FUNCTION__;
    CQiError err = checkBlocks(fn, fid, blocks);
    if (err.IsError()) return err;
    return batched(fn, [&]() -> CQiError {
        CQiError e = deleteFile(fn, fid);
        if (e.IsError()) return HPUSH(e);
        table_.debug(2, "Inserting %lu hash blocks for fid %lu",
                     static_cast<unsigned long>(blocks.size()), fid);
        return insertBlocks(fn, fid, blocks);
    });
}

CQiError FlrLBFSHashDB::addBlock(uint64_t fid, const JxLBFS::HashBlock& block) {
    const char* const fn = __PRETTY_FUNCTION__;
    CQiError err = checkBlocks(fn, fid, std::vector<JxLBFS::HashBlock>{block});
    if (err.IsError()) return err;
    fillRecord(fid, block);
    if (int rc = table_.addRecord(&rec_))
        return HFAIL(rc, "Couldn't add new hash block: %s", TCtreeTable::errToString(rc).c_str());
    return CQiError();
}

CQiError FlrLBFSHashDB::find(const unsigned char* hash, Record* rec) {
    const char* const fn = __PRETTY_FUNCTION__;
    CQiError err = hashKey(fn, hash);
    if (err.IsError()) return err;
    int rc = table_.getGTERecord(kHashIndex, key_, rec);
    if (rc == TCtreeTable::kOk && std::memcmp(rec->hash, hash, kHashSize) == 0) return CQiError();
    std::memset(rec, 0, sizeof *rec);
    if (rc == TCtreeTable::kOk || rc == TCtreeTable::kNoRecord) return CQiError();
    return HFAIL(rc, "Couldn't find hash block %s: %s", hashText(hash).c_str(),
                 TCtreeTable::errToString(rc).c_str());
}

CQiError FlrLBFSHashDB::getNextFile(uint64_t after, uint64_t* fid) {
    const char* const fn = __PRETTY_FUNCTION__;
    *fid = 0;
    if (after == kMaxOffset) return CQiError();
    CQiError err = fileKey(fn, after + 1, 0);
    if (err.IsError()) return err;
    int rc = table_.getGTERecord(kFileIndex, key_, &rec_);
    if (rc == TCtreeTable::kOk) *fid = rec_.fid;
    if (rc != TCtreeTable::kOk && rc != TCtreeTable::kNoRecord)
        return HFAIL(rc, "Couldn't find hash blocks after fid %lu: %s", after,
                     TCtreeTable::errToString(rc).c_str());
    return CQiError();
}

std::string FlrLBFSHashDB::hashText(const unsigned char* hash) {
    static const char digits[] = "0123456789abcdef";
    std::string out(2 * kHashSize, '0');
    for (int i = 0; i < kHashSize; ++i) {
        out[2 * i] = digits[hash[i] >> 4];
        out[2 * i + 1] = digits[hash[i] & 15];
    }
    return out;
}

// --- files -----------------------------------------------------------------------

void FlrLBFSHashDB::removeFiles(const std::string& dir, const char* name) {
    TCtreeTable::removeTableFiles(dir + "/" + name);
}

int FlrLBFSHashDB::moveFiles(const std::string& from, const std::string& to, const char* name) {
    for (const char* ext : {".dat", ".idx"}) {
        const std::string src = from + "/" + name + ext;
        // The engine keeps everything in ".dat"; ".idx" moves along if present.
        if (std::strcmp(ext, ".idx") == 0 && !exists(src)) continue;
        if (jx::fileOps().rename(src.c_str(), (to + "/" + name + ext).c_str()) == 0) continue;
        if (errno != EXDEV) return errno;
        // Another file system: copy, then drop the source.
        if (int err = copyFiles(from, to, name)) return err;
        removeFiles(from, name);
        return 0;
    }
    return 0;
}

// The engine copies one committed state of the table, even while another
// process writes it, under a temporary name that is flushed and then renamed
// into place: `to` never holds a half-copied table, and on failure what it
// held is left as it was. Returns an errno value.
int FlrLBFSHashDB::copyFiles(const std::string& from, const std::string& to, const char* name) {
    int rc = TCtreeTable::copyTable(from + "/" + name, to + "/" + name);
    if (rc == TCtreeTable::kOk) return 0;
    return rc >= TCtreeTable::kSystemErrorBase ? rc - TCtreeTable::kSystemErrorBase : EIO;
}

CQiError FlrLBFSHashDB::remove(const std::string& dir) {
    EvDebug::Debug("FlrLBFSHashDB::remove", "Removing FlrLBFSHashDB from %s", dir.c_str());
    removeFiles(dir, kName);
    return CQiError();
}

CQiError FlrLBFSHashDB::move(const std::string& from, const std::string& to) {
    const char* const fn = __PRETTY_FUNCTION__;
    EvDebug::Debug("FlrLBFSHashDB::move", "Moving FlrLBFSHashDB from %s to %s", from.c_str(),
                   to.c_str());
    if (int err = moveFiles(from, to, kName))
        return CQiError(-err, kHashDbSource, fn, __LINE__,
                        "Couldn't move FlrLBFSHashDB from %s to %s", from.c_str(), to.c_str())
            .Push(jxErrnoText(err));
    return CQiError();
}

CQiError FlrLBFSHashDB::copy(const std::string& from, const std::string& to) {
    const char* const fn = __PRETTY_FUNCTION__;
    EvDebug::Debug("FlrLBFSHashDB::copy", "Copying FlrLBFSHashDB from %s to %s", from.c_str(),
                   to.c_str());
    if (int err = copyFiles(from, to, kName))
        return CQiError(-err, kHashDbSource, fn, __LINE__,
                        "Couldn't copy FlrLBFSHashDB from %s to %s", from.c_str(), to.c_str())
            .Push(jxErrnoText(err));
    return CQiError();
}

// The library may be compiled in batches of sources: the macros end with this file.
#undef HFAIL
#undef HPUSH
