// The file-id name database: the path cache (recently resolved paths by file
// id, in hash buckets with a most-recently-used list).
#include "FlrDatabase.h"
#include "FlrDatabaseShared.h"

#include <algorithm>
#include <cstdlib>
#include <string>

namespace {
constexpr uint32_t kGoldenRatio = 0x9E3779B9u;
}  // namespace

// --- path cache ------------------------------------------------------------

unsigned FlrDatabase::bucketOf(const fsf_fid& fid) {
    uint32_t w[4];
    std::memcpy(w, fid.bytes, sizeof w);
    uint32_t h = (w[0] ^ w[1] ^ w[2] ^ w[3]) * kGoldenRatio;
    return h >> 24;
}

FlrDatabase::CacheEntry* FlrDatabase::cacheFind(const fsf_fid& fid) {
    if (!buckets_) return nullptr;
    for (CacheEntry* e = buckets_[bucketOf(fid)]; e; e = e->bucketNext) {
        if (e->fid != fid) continue;
        if (e != mruHead_) {  // most recently used first
            e->mruPrev->mruNext = e->mruNext;
            if (e->mruNext)
                e->mruNext->mruPrev = e->mruPrev;
            else
                mruTail_ = e->mruPrev;
            e->mruPrev = nullptr;
            e->mruNext = mruHead_;
            mruHead_->mruPrev = e;
            mruHead_ = e;
        }
        return e;
    }
    return nullptr;
}

void FlrDatabase::cacheUnlink(CacheEntry* e) {
    if (e->bucketPrev)
        e->bucketPrev->bucketNext = e->bucketNext;
    else
        buckets_[bucketOf(e->fid)] = e->bucketNext;
    if (e->bucketNext) e->bucketNext->bucketPrev = e->bucketPrev;
    if (e->mruPrev)
        e->mruPrev->mruNext = e->mruNext;
    else
        mruHead_ = e->mruNext;
    if (e->mruNext)
        e->mruNext->mruPrev = e->mruPrev;
    else
        mruTail_ = e->mruPrev;
    --cacheCount_;
}

void FlrDatabase::cacheInsert(const fsf_fid& fid, const std::string& path, uint64_t seq,
                              FLR_FTYPE type) {
    if (!buckets_) return;
    const size_t need = path.size() + 1;
    CacheEntry* e = nullptr;
    if (cacheCount_ >= kCacheLimit && mruTail_) {
        // The entry that would be freed right after this insertion is reused.
        e = mruTail_;
        cacheUnlink(e);
        if (e->capacity < need) {
            void* grown = std::realloc(e, sizeof(CacheEntry) + need);
            if (!grown) {
                std::free(e);
                JX_THROW("FlrDatabase::fidToNodeName", "Memory allocation failed");
            }
            e = static_cast<CacheEntry*>(grown);
            e->capacity = need;
        }
    } else {
        e = static_cast<CacheEntry*>(std::malloc(sizeof(CacheEntry) + need));
        if (!e) JX_THROW("FlrDatabase::fidToNodeName", "Memory allocation failed");
        e->capacity = need;
    }
    e->fid = fid;
    e->seq = seq;
    e->type = type;
    e->pathLen = path.size();
    std::memcpy(e->path(), path.c_str(), need);
    CacheEntry*& head = buckets_[bucketOf(fid)];
    e->bucketPrev = nullptr;
    e->bucketNext = head;
    if (head) head->bucketPrev = e;
    head = e;
    e->mruPrev = nullptr;
    e->mruNext = mruHead_;
    if (mruHead_) mruHead_->mruPrev = e;
    mruHead_ = e;
    if (!mruTail_) mruTail_ = e;
    ++cacheCount_;
}

void FlrDatabase::cacheRemove(const fsf_fid& fid) {
    if (!buckets_) return;
    for (CacheEntry* e = buckets_[bucketOf(fid)]; e; e = e->bucketNext) {
        if (e->fid != fid) continue;
        cacheUnlink(e);
        std::free(e);
        return;
    }
}

void FlrDatabase::clearCache() {
    for (CacheEntry* e = mruHead_; e;) {
        CacheEntry* next = e->mruNext;
        std::free(e);
        e = next;
    }
    mruHead_ = mruTail_ = nullptr;
    cacheCount_ = 0;
    if (buckets_) std::fill(buckets_.get(), buckets_.get() + kCacheBuckets, nullptr);
}
