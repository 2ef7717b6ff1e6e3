#pragma once
// What the sources of the file-id name database share: the table's index
// numbers and record flags, a record's words and name, the one way an engine
// failure becomes an exception, the transaction wrapper and the path cache's
// entry. Included only by FlrDatabase*.cpp.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

#include "DbBatch.h"
#include "FLR/JxException.h"
#include "FlrDatabase.h"

namespace fiddb {

constexpr int kFidIndex = 0;
constexpr int kNameIndex = 1;
constexpr size_t kNamePrefix = 56;  // bytes of a name in index 1
constexpr uint8_t kTypeMask = 3;
constexpr uint8_t kReachable = 4;
constexpr uint64_t kUnscannedDirSeq = 0xFFFFFFFFFFFFFFFFULL;
// No real tree is this deep (PATH_MAX); a longer parent chain is a cycle.
constexpr int kMaxDepth = 65536;

inline bool sameFid(const uint64_t words[3], const fsf_fid& fid) {
    return std::memcmp(words, fid.bytes, fsf_fid::kSize) == 0;
}

inline fsf_fid fidOf(const uint64_t words[3]) {
    fsf_fid f;
    std::memcpy(f.bytes, words, fsf_fid::kSize);
    return f;
}

inline void setWords(uint64_t words[3], const fsf_fid& fid) {
    std::memcpy(words, fid.bytes, fsf_fid::kSize);
}

inline bool isNull(const uint64_t words[3]) {
    return sameFid(words, fsf_fid::fid0);
}

inline size_t nameLen(const FlrDatabase::Record& r) {
    return strnlen(r.sname, sizeof r.sname);
}

inline std::string_view nameOf(const FlrDatabase::Record& r) {
    return {r.sname, nameLen(r)};
}

inline FLR_FTYPE typeOf(const FlrDatabase::Record& r) {
    return static_cast<FLR_FTYPE>(r.flags & kTypeMask);
}

[[noreturn]] inline void engineFailure(const char* function, const char* message, int rc,
                                       int line) {
    throw JxException(function, message + TCtreeTable::errToString(rc), "FlrDatabase", line, -1);
}

// Order-preserving set of former parents.
inline void addOnce(std::vector<fsf_fid>& list, const fsf_fid& fid) {
    for (const fsf_fid& f : list)
        if (f == fid) return;
    list.push_back(fid);
}

}  // namespace fiddb

// A cached path: the entry is followed by the path's bytes and a NUL.
struct FlrDatabase::CacheEntry {
    CacheEntry* bucketPrev;
    CacheEntry* bucketNext;
    CacheEntry* mruPrev;
    CacheEntry* mruNext;
    fsf_fid fid;
    uint64_t seq;
    FLR_FTYPE type;
    size_t pathLen;
    size_t capacity;  // bytes allocated for the path, NUL included
    char* path() { return reinterpret_cast<char*>(this + 1); }
    const char* path() const { return reinterpret_cast<const char*>(this + 1); }
};

// Runs body as one transaction (see DbBatch.h).
template <class Body>
void FlrDatabase::batched(const char* function, Body&& body) {
    flrdb::BatchOutcome out = flrdb::runBatched(table_, function, [&] {
        body();
        return static_cast<int>(TCtreeTable::kOk);
    });
    if (out.stage == flrdb::BatchStage::Begin)
        fiddb::engineFailure(function, "Failed to start a transaction: ", out.rc, __LINE__);
    if (!out.ok())
        fiddb::engineFailure(function, "Failed to commit changes to the DB: ", out.rc, __LINE__);
}
