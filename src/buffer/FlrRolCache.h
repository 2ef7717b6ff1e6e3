#pragma once
// The rolling cache: a bounded history of journal entries keyed by their
// sequence number, newest entries in memory (the resident part, limited by
// maxVM payload bytes) and every entry that fits the disk limit in the cache
// files of FlrRolCacheBase. Both ends roll: memory evicts its oldest entries,
// disk deletes its oldest files before it starts a new one.
//
// One thread writes (addEntry); any number of threads read with
// getNextEntry, each with its own position in the cache files. Everything
// runs under the base's re-entrant monitor; a reader waiting for the next
// entry is woken by addEntry, becomeNonBlock and clear.
//
// A process killed while appending leaves an incomplete final record in the
// newest file; construction cuts that record off (and a newest file left
// with no complete entry), loads the rest and accepts the next number.
#include <pthread.h>

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "FlrRolCacheBase.h"
#include "FlrRolCacheSum.h"

class FlrRolCache : public FlrRolCacheBase {
  public:
    static constexpr int kMinLimit = 0x200000;    // least maxVM and maxDisk
    static constexpr int kRotateSize = 0x100000;  // record bytes that close a file
    static constexpr int kContextBuckets = 128;
    static constexpr int kMaxContexts = 100;

    // getNextEntry results.
    enum : int {
        kNotInCache = 0,   // seq unknown, or what follows it rolled off
        kNonBlocking = 1,  // seq is the newest entry, non-blocking period
        kDelivered = 2,    // the following entry is in buf
        kTimedOut = 3,     // seq is the newest entry and nothing newer came
    };

    // Throws on a limit below 2 MiB; loads the newest cache file.
    FlrRolCache(const char* dir, uint64_t maxDisk, int maxVM);
    ~FlrRolCache() override;

    // Appends one entry under seq, which must be above every number added
    // before. Each record reaches its file whole within one write system call.
    void addEntry(const void* data, int len, uint64_t seq);
    // The same for n entries in order, several to a write system call. On a
    // throw, the entries before the one refused (or before the group whose
    // write failed) are added; getLastSeq tells which.
    struct Item {
        const void* data;
        int len;
        uint64_t seq;
    };
    void addEntries(const Item* items, int n);
    // Closes the current file; the next entry starts a new one.
    void flush();
    // For the given seconds, readers at the newest entry return at once.
    void becomeNonBlock(int seconds);
    // Empties memory and disk; any sequence number may follow.
    void clear();
    void cleanDisk();
    // Deletes every cache file of dir (no instance needed).
    static void deleteCacheFiles(const std::string& dir);
    // Deletes the oldest file unless it is the only one; true when one went.
    bool delOldestCacheFile();
    void rehash(int n);
    void cleanMem();
    void cleanThreadHash();
    static void writeAll(int fd, const void* data, int len);

    // The entry after seq into buf (a malloc buffer of cap bytes, replaced
    // when too small). Returns one of the results above; timeout in seconds,
    // 0 or less waits without limit. outLen and outSeq may be null.
    int getNextEntry(uint64_t seq, char*& buf, int& cap, int* outLen, uint64_t* outSeq,
                     int timeout);
    // Refills the resident part from the newest cache file (construction).
    void loadLastCacheFile();

    // State, read under the monitor.
    uint64_t getLastSeq();
    // The newest record the disk limit deleted (its file rolled off); 0:
    // none since this instance opened the cache. A reader still before it
    // missed records.
    uint64_t getDroppedLast();
    uint64_t getOldestResident();
    int getMemUsed();
    int getMemCount();
    int getBuckets();
    int getContextCount();
    // Threads that own a reader context, most recently used first.
    std::vector<pthread_t> getContextThreads();

  private:
    struct Entry;
    struct Context;
    enum class LoadResult { kLoaded, kNoEntries };

    // Writer.
    static constexpr int kGroupMax = 128;  // records per writev (two iovecs each)
    static void checkNewEntry(const void* data, int len, uint64_t seq, uint64_t lastSeq);
    int groupSize(const Item* items, int n) const;
    int addGroup(const Item* items, int n);
    bool needsNewFile(int len) const;
    void startNewFile(uint64_t seq);
    void freeDiskSpace();
    int createCacheFile(const std::string& path);
    Entry* allocEntry(int len);
    void appendRecords(const Item* items, int count);
    void dropFailedRecord();
    void insertResident(Entry* e);
    void evictOldest();
    void unlinkResident(Entry* e);
    void releaseEntry(Entry* e);
    void closeCurrentFile();

    // Reader.
    Entry* findResident(uint64_t seq) const;
    int waitForNewer(uint64_t seq, const timespec& deadline, int timeout);
    int readFromDisk(uint64_t seq, char*& buf, int& cap, int* outLen, uint64_t* outSeq);
    Context* contextOfThisThread();
    void trimContexts();
    void freeContext(Context* c);
    bool positionContext(Context* c, uint64_t seq);
    bool advanceToNextFile(Context* c);
    void loadIntoContext(Context* c, const std::string& name);
    static void reallocBuffer(char*& buf, int& cap, int need);
    LoadResult loadNewestFile(const std::string& name);
    void cutIncompleteTail(const std::string& name, long long keep, long long size);
    void removeEmptyNewest(const std::string& name, long long size);

    time_t nonBlockUntil = 0;
    int maxVM;
    int memUsed = 0;
    uint64_t maxDisk;
    Entry** chains = nullptr;
    int buckets = 0;
    uint64_t mask = 0;
    int memCount = 0;
    Entry* residentHead = nullptr;  // oldest
    Entry* residentTail = nullptr;  // newest
    uint64_t oldestResident = 0;
    uint64_t lastSeq = 0;
    uint64_t droppedLast = 0;
    // First -> last record of each file this instance closed; a file found
    // on disk at the start is known to end before the next one begins.
    std::map<uint64_t, uint64_t> lastOfFile;
    int curFd = -1;
    int curFileSize = 0;
    // Block checksums of the file being written, kept beside it when it closes.
    FlrRolCacheSum sum;
    // Reader contexts: 128 chains by thread id, and a list, most recent first.
    Context** contextChains = nullptr;
    int contextCount = 0;
    Context* contextHead = nullptr;
    Context* contextTail = nullptr;
    // One evicted allocation kept for the next entry, so a steady stream of
    // similar entries allocates nothing.
    Entry* spare = nullptr;
};
