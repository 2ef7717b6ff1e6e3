// The reading side of the rolling cache: getNextEntry from memory or from
// the cache files with one context per reading thread, and the reload of the
// newest file at construction, which also repairs what a writer killed in the
// middle of an append left behind.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <vector>

#include "FLR/JxException.h"
#include "FlrRolCache.h"
#include "FlrRolCacheImpl.h"
#include "platform/JxFile.h"
#include "platform/JxFileLock.h"

namespace {

constexpr const char* kGet = "FlrRolCache::getNextEntry";
constexpr const char* kLoad = "FlrRolCache::loadLastCacheFile";

int roundUp1024(long long n) {
    return static_cast<int>((n + 1023) / 1024 * 1024);
}

// Thread ids are addresses of page-aligned thread blocks: their low bits
// hardly differ, so the bits above the page offset are folded in.
size_t contextChain(pthread_t tid) {
    const auto v = static_cast<uint64_t>(tid);
    return static_cast<size_t>((v ^ (v >> 12) ^ (v >> 20)) & (FlrRolCache::kContextBuckets - 1));
}

}  // namespace

// --- getNextEntry ----------------------------------------------------------

int FlrRolCache::getNextEntry(uint64_t seq, char*& buf, int& cap, int* outLen, uint64_t* outSeq,
                              int timeout) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::seconds(timeout > 0 ? timeout : 0);
    JxMonitorLock lk(monitor);
    for (;;) {
        if (oldestResident != 0 && oldestResident <= seq) {
            Entry* e = findResident(seq);
            if (!e) return kNotInCache;
            if (Entry* next = e->listNext) {
                reallocBuffer(buf, cap, next->len);
                std::memcpy(buf, next->payload(), static_cast<size_t>(next->len));
                if (outLen) *outLen = next->len;
                if (outSeq) *outSeq = next->seq_num;
                return kDelivered;
            }
        } else if (oldestResident != 0 || seq == 0 || seq != lastSeq) {
            // Older than memory holds. (With nothing resident, because every
            // entry was larger than the memory limit, the newest entry is
            // still waited on below rather than reported as unknown.)
            return readFromDisk(seq, buf, cap, outLen, outSeq);
        }
        // seq is the newest entry.
        if (std::time(nullptr) <= nonBlockUntil) return kNonBlocking;
        if (timeout <= 0) {
            monitor.wait(-1);
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        if (left <= 0 || !monitor.wait(static_cast<long>(left))) return kTimedOut;
    }
}

FlrRolCache::Entry* FlrRolCache::findResident(uint64_t seq) const {
    for (Entry* e = chains[seq & mask]; e; e = e->chainNext)
        if (e->seq_num == seq) return e;
    return nullptr;
}

void FlrRolCache::reallocBuffer(char*& buf, int& cap, int need) {
    if (buf && cap >= need) return;
    const int size = roundUp1024(need);
    auto* fresh = static_cast<char*>(std::malloc(static_cast<size_t>(size)));
    if (!fresh) JX_THROW("FlrRolCache::reallocBuffer", "Memory allocation failed.");
    std::free(buf);
    buf = fresh;
    cap = size;
}

int FlrRolCache::readFromDisk(uint64_t seq, char*& buf, int& cap, int* outLen, uint64_t* outSeq) {
    Context* c = contextOfThisThread();
    const bool positioned = c->pos && c->posSeq != 0 && c->posSeq == seq;
    if (!positioned && !positionContext(c, seq)) return kNotInCache;
    for (;;) {
        const long remain = c->data + c->dataSize - c->pos;
        if (remain >= kRecordHeaderSize) break;
        // The writer never leaves part of a header behind a complete file.
        if (remain > 0) JX_THROW(kGet, "Cache file is corrupt: invalid record size.");
        if (!advanceToNextFile(c)) return kNotInCache;
    }
    const long remain = c->data + c->dataSize - c->pos;
    uint64_t recSeq = 0;
    int32_t len = 0;
    decodeRecordHeader(reinterpret_cast<unsigned char*>(c->pos), recSeq, len);
    if (len < 1 || len > kMaxRecordLen || len > remain - kRecordHeaderSize)
        JX_THROW(kGet, "Cache file is corrupt: invalid record size.");
    if (recSeq <= seq)
        JX_THROW(kGet, "Cache file " + c->name + " is corrupt: sequence numbers out of order.");
    reallocBuffer(buf, cap, len);
    std::memcpy(buf, c->pos + kRecordHeaderSize, static_cast<size_t>(len));
    if (outLen) *outLen = len;
    if (outSeq) *outSeq = recSeq;
    c->posSeq = recSeq;
    c->pos += kRecordHeaderSize + len;
    return kDelivered;
}

// Loads the file that would hold seq and stops right after its record.
bool FlrRolCache::positionContext(Context* c, uint64_t seq) {
    c->posSeq = 0;
    c->pos = nullptr;
    int index = -1;
    const std::string name = getFileName(seq, &index);
    if (name.empty()) return false;
    loadIntoContext(c, name);
    c->fileIndex = index;
    char* p = c->data + kSigSize;
    char* const end = c->data + c->dataSize;
    while (end - p >= kRecordHeaderSize) {
        uint64_t recSeq = 0;
        int32_t len = 0;
        decodeRecordHeader(reinterpret_cast<unsigned char*>(p), recSeq, len);
        if (len < 1 || len > kMaxRecordLen || len > end - p - kRecordHeaderSize)
            JX_THROW(kGet, "Cache file " + name + " is corrupt: invalid record size");
        p += kRecordHeaderSize + len;
        if (recSeq == seq) {
            c->pos = p;
            c->posSeq = seq;
            return true;
        }
        // Numbers increase: seq is not an entry of this cache.
        if (recSeq > seq) return false;
    }
    if (p != end) JX_THROW(kGet, "Cache file " + name + " is corrupt: invalid record size");
    return false;
}

bool FlrRolCache::advanceToNextFile(Context* c) {
    int index = c->fileIndex;
    std::string name;
    if (index == -1) {
        // The context's own file was deleted while it read from memory; the
        // file after it is now the first one.
        if (files.empty()) return false;
        index = 0;
        name = filePath(files.front());
    } else {
        name = getNextFileName(index);
    }
    if (name.empty()) return false;
    loadIntoContext(c, name);
    c->fileIndex = index;
    return true;
}

void FlrRolCache::loadIntoContext(Context* c, const std::string& name) {
    c->pos = nullptr;
    c->dataSize = 0;
    struct stat st;
    if (jx::fileOps().stat(name.c_str(), &st) != 0)
        JX_THROW_ERRNO(kGet, "Failed to stat file " + name, errno);
    if (st.st_size > kMaxFileSize) JX_THROW(kGet, "File " + name + " is too big.");
    if (st.st_size < kSigSize + 1) JX_THROW(kGet, "File " + name + " is too short.");
    const int size = static_cast<int>(st.st_size);
    if (c->dataCap < size) {
        const int newCap = roundUp1024(size);
        auto* fresh = static_cast<char*>(std::realloc(c->data, static_cast<size_t>(newCap)));
        if (!fresh) JX_THROW("FlrRolCache::reallocBuffer", "Memory allocation failed.");
        c->data = fresh;
        c->dataCap = newCap;
    }
    const int fd = jx::fileOps().open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) JX_THROW_ERRNO(kGet, "Failed to open file " + name + " for reading", errno);
    {
        jx::File closer(fd);  // closes fd on every way out
        readAll(fd, c->data, size, true);
    }
    if (std::memcmp(c->data, sig, kSigSize) != 0)
        JX_THROW(kGet, "Cache file " + name + " is corrupt: Invalid signature.");
    c->dataSize = size;
    c->pos = c->data + kSigSize;
    c->name = name;
}

// --- reader contexts -------------------------------------------------------------

FlrRolCache::Context* FlrRolCache::contextOfThisThread() {
    const pthread_t me = pthread_self();
    Context*& head = contextChains[contextChain(me)];
    for (Context* c = head; c; c = c->chainNext) {
        if (!pthread_equal(c->tid, me)) continue;
        if (c != contextHead) {  // to the front of the list
            c->listPrev->listNext = c->listNext;
            if (c->listNext)
                c->listNext->listPrev = c->listPrev;
            else
                contextTail = c->listPrev;
            c->listPrev = nullptr;
            c->listNext = contextHead;
            contextHead->listPrev = c;
            contextHead = c;
        }
        return c;
    }
    auto* c = new (std::nothrow) Context;
    if (!c) JX_THROW(kGet, "Memory allocation failed.");
    c->tid = me;
    c->chainNext = head;
    if (head) head->chainPrev = c;
    head = c;
    c->listNext = contextHead;
    if (contextHead)
        contextHead->listPrev = c;
    else
        contextTail = c;
    contextHead = c;
    ++contextCount;
    trimContexts();
    return c;
}

void FlrRolCache::trimContexts() {
    while (contextCount > kMaxContexts) freeContext(contextTail);
}

void FlrRolCache::freeContext(Context* c) {
    if (c->chainPrev)
        c->chainPrev->chainNext = c->chainNext;
    else
        contextChains[contextChain(c->tid)] = c->chainNext;
    if (c->chainNext) c->chainNext->chainPrev = c->chainPrev;
    if (c->listPrev)
        c->listPrev->listNext = c->listNext;
    else
        contextHead = c->listNext;
    if (c->listNext)
        c->listNext->listPrev = c->listPrev;
    else
        contextTail = c->listPrev;
    std::free(c->data);
    delete c;
    --contextCount;
}

void FlrRolCache::cleanThreadHash() {
    JxMonitorLock lk(monitor);
    while (contextHead) freeContext(contextHead);
}

int FlrRolCache::getContextCount() {
    JxMonitorLock lk(monitor);
    return contextCount;
}

std::vector<pthread_t> FlrRolCache::getContextThreads() {
    JxMonitorLock lk(monitor);
    std::vector<pthread_t> out;
    for (Context* c = contextHead; c; c = c->listNext) out.push_back(c->tid);
    return out;
}

// --- loadLastCacheFile ----------------------------------------------------------

void FlrRolCache::loadLastCacheFile() {
    JxMonitorLock lk(monitor);
    if (files.empty()) return;
    cleanMem();
    // A newest file that holds no complete entry is removed and the one
    // before it loaded instead.
    while (!files.empty()) {
        const std::string name = filePath(files.back());
        if (loadNewestFile(name) == LoadResult::kLoaded) {
            EvDebug::Debug(kLoad, "Successfully loaded %d entries (%dKB) from last cache file %s",
                           memCount, memUsed / 1024, name.c_str());
            return;
        }
    }
}

// Loads every complete record of the newest file. What follows the last
// complete record can only be the record its writer was appending when it
// died, so it is cut off; anything out of place before that is damage.
FlrRolCache::LoadResult FlrRolCache::loadNewestFile(const std::string& name) {
    struct stat st;
    if (jx::fileOps().stat(name.c_str(), &st) != 0)
        JX_THROW_ERRNO(kLoad, "Failed to stat file " + name, errno);
    if (st.st_size > kMaxFileSize) JX_THROW(kLoad, "File " + name + " is too big.");
    const long long size = st.st_size;
    std::vector<unsigned char> data(static_cast<size_t>(size));
    const int fd = jx::fileOps().open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) JX_THROW_ERRNO(kLoad, "Failed to open file " + name + " for reading", errno);
    {
        jx::File closer(fd);  // closes fd on every way out
        readAll(fd, data.data(), static_cast<int>(size), true);
    }
    if (size < kSigSize + 1) {
        // Created, but stopped before or while writing its signature.
        if (size > 0 && std::memcmp(data.data(), sig, static_cast<size_t>(size)) != 0)
            JX_THROW(kLoad, "File " + name + " is too short.");
        removeEmptyNewest(name, size);
        return LoadResult::kNoEntries;
    }
    if (std::memcmp(data.data(), sig, kSigSize) != 0)
        JX_THROW(kLoad, "Cache file " + name + " is corrupt: invalid signature.");

    long long off = kSigSize;
    uint64_t prev = 0;
    while (off < size) {
        const long long remain = size - off;
        const unsigned char* p = data.data() + off;
        uint64_t seq = 0;
        int32_t len = 0;
        if (remain < 8) break;  // part of a header
        unsigned char hdr[kRecordHeaderSize] = {};
        std::memcpy(hdr, p, static_cast<size_t>(std::min<long long>(remain, kRecordHeaderSize)));
        decodeRecordHeader(hdr, seq, len);
        if (seq == 0 || seq <= prev)
            JX_THROW(kLoad, "Cache file " + name + " is corrupt: sequence numbers out of order.");
        if (remain < kRecordHeaderSize) break;
        if (len < 1 || len > kMaxRecordLen)
            JX_THROW(kLoad, "Cache file " + name + " is corrupt: invalid entry size.");
        if (len > remain - kRecordHeaderSize) break;  // payload not all written
        auto* e = static_cast<Entry*>(std::malloc(sizeof(Entry) + static_cast<size_t>(len)));
        if (!e) JX_THROW(kLoad, "Memory allocation failed.");
        e->seq_num = seq;
        e->len = len;
        e->cap = len;
        std::memcpy(e->payload(), p + kRecordHeaderSize, static_cast<size_t>(len));
        insertResident(e);
        memUsed += len;
        ++memCount;
        if (oldestResident == 0) oldestResident = seq;
        lastSeq = seq;
        prev = seq;
        off += kRecordHeaderSize + len;
    }
    if (off < size) cutIncompleteTail(name, off, size);
    if (memCount == 0) {
        removeEmptyNewest(name, off);
        return LoadResult::kNoEntries;
    }
    return LoadResult::kLoaded;
}

void FlrRolCache::cutIncompleteTail(const std::string& name, long long keep, long long size) {
    JxFileLock lock(lockFile);
    lock.lock(1, -1);
    const int fd = jx::fileOps().open(name.c_str(), O_WRONLY, 0);
    if (fd < 0) JX_THROW_ERRNO(kLoad, "Failed to open " + name + " for writing", errno);
    jx::File closer(fd);  // closes fd on every way out
    if (jx::fileOps().ftruncate(fd, static_cast<off_t>(keep)) != 0)
        JX_THROW_ERRNO(kLoad, "Failed to truncate " + name, errno);
    diskBytes -= std::min<uint64_t>(diskBytes, static_cast<uint64_t>(size - keep));
    EvDebug::Error(kLoad,
                   "Dropped an incomplete final record of %lld bytes at offset %lld of %s: its "
                   "writer stopped while appending it.",
                   size - keep, keep, name.c_str());
}

void FlrRolCache::removeEmptyNewest(const std::string& name, long long size) {
    JxFileLock lock(lockFile);
    lock.lock(1, -1);
    if (jx::fileOps().unlink(name.c_str()) != 0 && errno != ENOENT)
        JX_THROW_ERRNO(kLoad, "Failed to delete " + name, errno);
    files.pop_back();
    diskBytes -= std::min<uint64_t>(diskBytes, static_cast<uint64_t>(size));
    EvDebug::Error(kLoad,
                   "Removed %s: it holds no complete entry (its writer stopped while starting "
                   "it).",
                   name.c_str());
}
