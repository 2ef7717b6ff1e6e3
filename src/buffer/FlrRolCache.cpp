// The writing side of the rolling cache: limits, adding entries, the
// resident index, file rotation, deletion and clearing. The reading side is
// in FlrRolCacheReader.cpp.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "FLR/JxException.h"
#include "FlrRolCache.h"
#include "FlrRolCacheImpl.h"
#include "platform/JxFile.h"
#include "platform/JxFileLock.h"
#include "platform/JxIO.h"

namespace {

constexpr const char* kAdd = "FlrRolCache::addEntry";
constexpr int kRehashLoad = 6;

int smallestPowerOfTwoAtLeast(long long n) {
    long long p = 1;
    while (p < n) p <<= 1;
    return static_cast<int>(p);
}

}  // namespace

FlrRolCache::FlrRolCache(const char* dir, uint64_t maxDiskBytes, int maxVMBytes)
    : FlrRolCacheBase(dir), maxVM(maxVMBytes), maxDisk(maxDiskBytes) {
    static const char* const kFn = "FlrRolCache::FlrRolCache";
    if (maxVM < kMinLimit)
        JX_THROW(kFn, jxFormat("Resident part of rolling cache (%d) is too small: should be at "
                               "least %d",
                               maxVM, kMinLimit));
    if (maxDisk < static_cast<uint64_t>(kMinLimit))
        JX_THROW(kFn, jxFormat("Disk part of rolling cache (%lld) is too small: should be at "
                               "least %d",
                               static_cast<long long>(maxDisk), kMinLimit));
    EvDebug::Debug(kFn, "Max Cache Size: %lld (%fGB), Max VM: %d (%fMB)",
                   static_cast<long long>(maxDisk), static_cast<double>(maxDisk) / 1073741824.0,
                   maxVM, static_cast<double>(maxVM) / 1048576.0);
    buckets = smallestPowerOfTwoAtLeast(maxVM / 1024);
    mask = static_cast<uint64_t>(buckets) - 1;
    chains = static_cast<Entry**>(std::calloc(static_cast<size_t>(buckets), sizeof(Entry*)));
    contextChains = static_cast<Context**>(std::calloc(kContextBuckets, sizeof(Context*)));
    if (!chains || !contextChains) {
        std::free(chains);
        std::free(contextChains);
        JX_THROW(kFn, "Memory allocation failed.");
    }
    try {
        loadLastCacheFile();
    } catch (...) {
        cleanMem();
        std::free(chains);
        std::free(contextChains);
        throw;
    }
    EvDebug::Debug(kFn, "Thread Context hash buckets: %d, mask: 0x%08x", kContextBuckets,
                   kContextBuckets - 1);
    EvDebug::Debug(kFn, "Memory Cache hash buckets: %d, mask: 0x%08x", buckets,
                   static_cast<unsigned>(mask));
}

FlrRolCache::~FlrRolCache() {
    EvDebug::Debug("FlrRolCache::~FlrRolCache", "Destroying rolling cache.");
    cleanMem();
    cleanThreadHash();
    closeCurrentFile();
    std::free(spare);
    std::free(chains);
    std::free(contextChains);
}

// --- adding entries --------------------------------------------------------

void FlrRolCache::checkNewEntry(const void* data, int len, uint64_t seq, uint64_t after) {
    if (seq == 0) JX_THROW(kAdd, "Invalid sequence number: must be 1 or higher.");
    if (!data || len <= 0)
        JX_THROW(kAdd, "NULL or empty journal entry passed to FlrRolCache::addEntry()");
    if (seq == after)
        JX_THROW(kAdd, jxFormat("Duplicate sequence number %lld detected. An entry with the same "
                                "number has just been added, so I can't add it again.",
                                static_cast<long long>(seq)));
    if (seq < after)
        JX_THROW(kAdd, jxFormat("Sequence number rollback detected: last number was %lld, and "
                                "this one is %lld.",
                                static_cast<long long>(after), static_cast<long long>(seq)));
    // A bigger number cannot be written as a file name, and a bigger entry
    // would make a file that every reader refuses.
    if (seq > kMaxSeq)
        JX_THROW(kAdd,
                 jxFormat("Sequence number %llu is too large for the rolling cache: at most "
                          "%lld.",
                          static_cast<unsigned long long>(seq), static_cast<long long>(kMaxSeq)));
    if (len > kMaxEntryLen)
        JX_THROW(kAdd, jxFormat("Journal entry of %d bytes is too large for the rolling cache: at "
                                "most %d bytes.",
                                len, kMaxEntryLen));
}

void FlrRolCache::addEntry(const void* data, int len, uint64_t seq) {
    const Item item{data, len, seq};
    addEntries(&item, 1);
}

void FlrRolCache::addEntries(const Item* items, int n) {
    JxMonitorLock lk(monitor);
    for (int done = 0; done < n;) done += addGroup(items + done, n - done);
    if (memCount / buckets > kRehashLoad) {
        // The entries are stored; a bigger index is only an optimisation.
        try {
            rehash(memCount / 4);
        } catch (const JxException& ex) {
            EvDebug::Error(kAdd, "%s", ex.getMessage().c_str());
        }
    }
    monitor.broadcast();
}

// How many of items, from the first, go to disk with one writev: those that
// fit the file the first one goes to, up to an invalid one (which a group of
// its own then refuses).
int FlrRolCache::groupSize(const Item* items, int n) const {
    long long size = needsNewFile(items[0].len) ? 0 : curFileSize;
    uint64_t prev = lastSeq;
    int count = 0;
    for (; count < n && count < kGroupMax; ++count) {
        const Item& it = items[count];
        if (count > 0) {
            if (size >= kRotateSize ||
                static_cast<long long>(kSigSize) + size + kRecordHeaderSize + it.len > kMaxFileSize)
                break;
            try {
                checkNewEntry(it.data, it.len, it.seq, prev);
            } catch (const JxException&) {
                break;
            }
        }
        size += it.len + kRecordHeaderSize;
        prev = it.seq;
    }
    return count;
}

// Writes a group, then makes it resident: a failure leaves the cache as it
// was before the group.
int FlrRolCache::addGroup(const Item* items, int n) {
    checkNewEntry(items[0].data, items[0].len, items[0].seq, lastSeq);
    const int count = groupSize(items, n);
    Entry* entries[kGroupMax];
    int made = 0;
    try {
        for (; made < count; ++made) entries[made] = allocEntry(items[made].len);
        if (needsNewFile(items[0].len)) startNewFile(items[0].seq);
        appendRecords(items, count);
    } catch (...) {
        while (made > 0) releaseEntry(entries[--made]);
        throw;
    }
    for (int i = 0; i < count; ++i) {
        Entry* e = entries[i];
        const Item& it = items[i];
        e->seq_num = it.seq;
        e->len = it.len;
        std::memcpy(e->payload(), it.data, static_cast<size_t>(it.len));
        insertResident(e);
        memUsed += it.len;
        ++memCount;
        if (oldestResident == 0) oldestResident = it.seq;
        // On disk already: an entry of this group may go again at once.
        while (memUsed > maxVM) evictOldest();
        lastSeq = it.seq;
        curFileSize += it.len + kRecordHeaderSize;
        diskBytes += static_cast<uint64_t>(it.len) + kRecordHeaderSize;
    }
    return count;
}

// A file is closed at the rotation size, and before a record that would make
// it larger than the readers accept.
bool FlrRolCache::needsNewFile(int len) const {
    if (curFd < 0 || curFileSize >= kRotateSize) return true;
    return static_cast<long long>(kSigSize) + curFileSize + kRecordHeaderSize + len > kMaxFileSize;
}

void FlrRolCache::startNewFile(uint64_t seq) {
    if (curFd >= 0 && !files.empty()) lastOfFile[files.back()] = lastSeq;
    freeDiskSpace();
    closeCurrentFile();
    const std::string path = filePath(seq);
    const int fd = createCacheFile(path);
    try {
        jx::writeAll(fd, sig, kSigSize, "cache file", "FlrRolCache");
    } catch (...) {
        // A file holding no record is refused by every reader: do not leave it.
        jx::fileOps().close(fd);
        jx::fileOps().unlink(path.c_str());
        throw;
    }
    curFd = fd;
    curFileSize = 0;
    sum.reset();
    sum.add(sig, kSigSize);
    files.push_back(seq);
    diskBytes += kSigSize;
}

// Oldest files go first. When only the file just finished is left, nothing
// more can go: the new file is started anyway, over the limit.
void FlrRolCache::freeDiskSpace() {
    while (static_cast<uint64_t>(curFileSize) + diskBytes > maxDisk) {
        if (!delOldestCacheFile()) {
            EvDebug::Debug(kAdd,
                           "Cache files take %llu bytes and no more can be deleted (limit %llu); "
                           "starting a new file anyway.",
                           static_cast<unsigned long long>(diskBytes),
                           static_cast<unsigned long long>(maxDisk));
            break;
        }
    }
}

int FlrRolCache::createCacheFile(const std::string& path) {
    for (;;) {
        const int fd = jx::fileOps().open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd >= 0) return fd;
        const int err = errno;
        if (err == EINTR) continue;
        if ((err == ENOSPC || err == EDQUOT) && delOldestCacheFile()) continue;
        JX_THROW_ERRNO(kAdd, "Failed to open " + path, err);
    }
}

// Headers and payloads of a group in one writev, so a record is never split
// by a scheduling gap between separate writes, and a burst costs one system
// call per group rather than per record.
void FlrRolCache::appendRecords(const Item* items, int count) {
    unsigned char hdrs[kGroupMax][kRecordHeaderSize];
    struct iovec iov[2 * kGroupMax];
    for (int i = 0; i < count; ++i) {
        encodeRecordHeader(items[i].seq, items[i].len, hdrs[i]);
        iov[2 * i].iov_base = hdrs[i];
        iov[2 * i].iov_len = kRecordHeaderSize;
        iov[2 * i + 1].iov_base = const_cast<void*>(items[i].data);
        iov[2 * i + 1].iov_len = static_cast<size_t>(items[i].len);
    }
    try {
        jx::writevAll(curFd, iov, 2 * count, "cache file", "FlrRolCache");
    } catch (...) {
        dropFailedRecord();
        throw;
    }
    for (int i = 0; i < count; ++i) {
        sum.add(hdrs[i], kRecordHeaderSize);
        sum.add(items[i].data, static_cast<size_t>(items[i].len));
    }
}

// Cuts a partly written record off its file and closes the file, so that the
// file stays readable and the next entry starts a new one (which may free
// space by deleting old files). A file left without records goes too.
void FlrRolCache::dropFailedRecord() {
    const std::string path = filePath(files.back());
    if (curFileSize == 0) {
        jx::fileOps().close(curFd);
        curFd = -1;
        jx::fileOps().unlink(path.c_str());
        files.pop_back();
        diskBytes -= std::min<uint64_t>(diskBytes, kSigSize);
        return;
    }
    if (jx::fileOps().ftruncate(curFd, static_cast<off_t>(kSigSize) + curFileSize) != 0)
        EvDebug::Error(kAdd, "Failed to cut the partial record off %s: %s", path.c_str(),
                       jxErrnoText(errno).c_str());
    closeCurrentFile();
    curFileSize = 0;
}

// The checksums are advisory: a file without them is still read, only its
// payloads cannot be verified.
void FlrRolCache::closeCurrentFile() {
    if (curFd < 0) return;
    jx::fileOps().close(curFd);
    curFd = -1;
    if (files.empty() || sum.size() != static_cast<uint64_t>(kSigSize) + curFileSize) return;
    const std::string path = filePath(files.back());
    if (!sum.write(path))
        EvDebug::Error(kAdd, "Failed to write the checksums of %s: %s", path.c_str(),
                       jxErrnoText(errno).c_str());
}

// --- the resident part ------------------------------------------------------

FlrRolCache::Entry* FlrRolCache::allocEntry(int len) {
    static_assert(sizeof(Entry) == 48, "a resident entry is its payload + 48 bytes");
    // A spare much larger than needed would hold memory nobody counts.
    if (spare && spare->cap >= len && spare->cap <= 2 * len + 1024) {
        Entry* e = std::exchange(spare, nullptr);
        return e;
    }
    auto* e = static_cast<Entry*>(std::malloc(sizeof(Entry) + static_cast<size_t>(len)));
    if (!e) JX_THROW(kAdd, "Memory allocation failed.");
    e->cap = len;
    return e;
}

void FlrRolCache::releaseEntry(Entry* e) {
    if (!spare || e->cap > spare->cap) std::swap(spare, e);
    std::free(e);
}

void FlrRolCache::insertResident(Entry* e) {
    Entry*& head = chains[e->seq_num & mask];
    e->chainPrev = nullptr;
    e->chainNext = head;
    if (head) head->chainPrev = e;
    head = e;
    e->listNext = nullptr;
    e->listPrev = residentTail;
    if (residentTail)
        residentTail->listNext = e;
    else
        residentHead = e;
    residentTail = e;
}

void FlrRolCache::unlinkResident(Entry* e) {
    if (e->chainPrev)
        e->chainPrev->chainNext = e->chainNext;
    else
        chains[e->seq_num & mask] = e->chainNext;
    if (e->chainNext) e->chainNext->chainPrev = e->chainPrev;
    if (e->listPrev)
        e->listPrev->listNext = e->listNext;
    else
        residentHead = e->listNext;
    if (e->listNext)
        e->listNext->listPrev = e->listPrev;
    else
        residentTail = e->listPrev;
}

void FlrRolCache::evictOldest() {
    Entry* e = residentHead;
    unlinkResident(e);
    memUsed -= e->len;
    --memCount;
    oldestResident = residentHead ? residentHead->seq_num : 0;
    releaseEntry(e);
}

void FlrRolCache::rehash(int n) {
    JxMonitorLock lk(monitor);
    int size;
    if (n - 1 < 2) {
        if (buckets > 1) return;
        size = 2;
    } else {
        size = smallestPowerOfTwoAtLeast(n);
    }
    if (size <= buckets) return;
    EvDebug::Debug("FlrRolCache::rehash", "Rehashing to %d buckets.", size);
    auto* fresh = static_cast<Entry**>(std::calloc(static_cast<size_t>(size), sizeof(Entry*)));
    if (!fresh) JX_THROW("FlrRolCache::rehash", "Memory allocation failed.");
    const uint64_t freshMask = static_cast<uint64_t>(size) - 1;
    for (Entry* e = residentHead; e; e = e->listNext) {
        Entry*& head = fresh[e->seq_num & freshMask];
        e->chainPrev = nullptr;
        e->chainNext = head;
        if (head) head->chainPrev = e;
        head = e;
    }
    std::free(chains);
    chains = fresh;
    buckets = size;
    mask = freshMask;
}

void FlrRolCache::cleanMem() {
    JxMonitorLock lk(monitor);
    for (Entry* e = residentHead; e;) {
        Entry* next = e->listNext;
        std::free(e);
        e = next;
    }
    residentHead = residentTail = nullptr;
    if (chains) std::memset(chains, 0, static_cast<size_t>(buckets) * sizeof(Entry*));
    memCount = 0;
    memUsed = 0;
    oldestResident = 0;
}

// --- files --------------------------------------------------------------------

void FlrRolCache::flush() {
    JxMonitorLock lk(monitor);
    if (curFd < 0) return;
    EvDebug::Debug("FlrRolCache::flush", "Flushing current %d-byte file to disk", curFileSize);
    closeCurrentFile();
    curFileSize = 0;
}

bool FlrRolCache::delOldestCacheFile() {
    static const char* const kFn = "FlrRolCache::delOldestCacheFile";
    JxMonitorLock lk(monitor);
    // The newest file may be the one being written: it stays.
    if (files.size() < 2) return false;
    JxFileLock lock(lockFile);
    lock.lock(1, -1);
    const std::string path = filePath(files.front());
    struct stat st;
    if (jx::fileOps().stat(path.c_str(), &st) != 0) {
        const int err = errno;
        if (err != ENOENT) JX_THROW_ERRNO(kFn, "Failed to stat " + path, err);
        EvDebug::Error(kFn, "Failed to stat %s: %s", path.c_str(), jxErrnoText(err).c_str());
    } else {
        diskBytes -= std::min<uint64_t>(diskBytes, static_cast<uint64_t>(st.st_size));
        jx::fileOps().unlink(FlrRolCacheSum::sumFileName(path).c_str());
        if (jx::fileOps().unlink(path.c_str()) != 0) {
            const int err = errno;
            if (err != ENOENT) JX_THROW_ERRNO(kFn, "Failed to delete " + path, err);
            EvDebug::Error(kFn, "Failed to delete %s: %s", path.c_str(), jxErrnoText(err).c_str());
        }
    }
    const auto last = lastOfFile.find(files.front());
    droppedLast = std::max(droppedLast, last != lastOfFile.end() ? last->second : files[1] - 1);
    if (last != lastOfFile.end()) lastOfFile.erase(last);
    files.erase(files.begin());
    for (Context* c = contextHead; c; c = c->listNext) --c->fileIndex;
    return true;
}

void FlrRolCache::deleteCacheFiles(const std::string& dir) {
    static const char* const kFn = "FlrRolCache::deleteCacheFiles";
    EvDebug::Debug(kFn, "Removing all cache files from %s", dir.c_str());
    struct stat dirSt;
    if (jx::fileOps().stat(dir.c_str(), &dirSt) != 0)
        JX_THROW_ERRNO(kFn, "Failed to open directory " + dir, errno);
    std::vector<std::pair<uint64_t, std::string>> names;
    {
        JxFileLock lock(dir + "/.lock");
        lock.lock(1, -1);
        std::vector<std::string> entries;
        if (const int err = jx::fileOps().listDir(dir.c_str(), &entries); err != 0)
            JX_THROW_ERRNO(kFn, "Failed to read directory " + dir, err);
        for (const std::string& name : entries) {
            if (name.compare(0, 6, "cache.") != 0) continue;
            uint64_t seq = 0;
            if (!parseCacheFileName(name.c_str(), seq)) seq = kMaxSeq + 1;
            names.emplace_back(seq, name);
        }
        // Newest first: a process stopped part-way leaves the oldest files,
        // which still form an unbroken run of entries.
        std::sort(names.begin(), names.end(),
                  [](const auto& a, const auto& b) { return a.first > b.first; });
        for (const auto& n : names) jx::fileOps().unlink((dir + "/" + n.second).c_str());
    }
}

void FlrRolCache::cleanDisk() {
    JxMonitorLock lk(monitor);
    closeCurrentFile();
    deleteCacheFiles(cacheDir);
    diskBytes = 0;
    files.clear();
    curFileSize = 0;
    lastSeq = 0;
}

void FlrRolCache::clear() {
    JxMonitorLock lk(monitor);
    EvDebug::Debug("FlrRolCache::clear", "Clearing rolling cache...");
    cleanMem();
    cleanThreadHash();
    cleanDisk();
    lastOfFile.clear();
    droppedLast = 0;
    monitor.broadcast();
}

void FlrRolCache::becomeNonBlock(int seconds) {
    EvDebug::Debug("FlrRolCache::becomeNonBlock",
                   "Switching rolling cache to non-blocking mode for %d seconds.", seconds);
    JxMonitorLock lk(monitor);
    nonBlockUntil = std::time(nullptr) + seconds;
    monitor.broadcast();
}

void FlrRolCache::writeAll(int fd, const void* data, int len) {
    jx::writeAll(fd, data, len > 0 ? static_cast<size_t>(len) : 0, "cache file", "FlrRolCache");
}

// --- state ----------------------------------------------------------------------

uint64_t FlrRolCache::getDroppedLast() {
    JxMonitorLock lk(monitor);
    return droppedLast;
}

uint64_t FlrRolCache::getLastSeq() {
    JxMonitorLock lk(monitor);
    return lastSeq;
}

uint64_t FlrRolCache::getOldestResident() {
    JxMonitorLock lk(monitor);
    return oldestResident;
}

int FlrRolCache::getMemUsed() {
    JxMonitorLock lk(monitor);
    return memUsed;
}

int FlrRolCache::getMemCount() {
    JxMonitorLock lk(monitor);
    return memCount;
}

int FlrRolCache::getBuckets() {
    JxMonitorLock lk(monitor);
    return buckets;
}
