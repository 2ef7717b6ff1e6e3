#pragma once
// The on-disk form of the rolling cache, shared by its writer (FlrRolCache)
// and its readers (the reader side of FlrRolCache, FlrRolCacheWBA).
//
// A cache directory holds files named "cache.<first sequence number>" and a
// ".lock" file for the inter-process JxFileLock. A cache file is the 8-byte
// signature followed by records: sequence number (8 bytes), payload length
// (4 bytes, signed), payload; big-endian, packed, sequence numbers strictly
// increasing within and across files. There is no index and no trailer.
//
// FlrRolCacheBase owns the directory, the sorted list of cache files, the
// bytes they take and the cache's generation number. One writer and any
// number of readers, each in its own process or object, share a directory;
// deletions exclude directory scans through the file lock.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/EvDebug.h"
#include "platform/JxMonitor.h"

class FlrRolCacheBase {
  public:
    // "ZRP1L\n" 0x0E 0xAF.
    static const char sig[8];
    static constexpr int kSigSize = 8;
    static constexpr int kRecordHeaderSize = 12;
    // Readers refuse bigger files and longer records.
    static constexpr int kMaxFileSize = 10485760;
    static constexpr int kMaxRecordLen = 10485760;
    // The largest payload whose file stays readable: signature, one header.
    static constexpr int kMaxEntryLen = kMaxFileSize - kSigSize - kRecordHeaderSize;
    // File names are "%lld": larger numbers cannot be named.
    static constexpr uint64_t kMaxSeq = 0x7FFFFFFFFFFFFFFFULL;

    // Throws "NULL or empty cache directory name passed as input." for a null
    // or empty name; reads the generation number and scans the directory.
    explicit FlrRolCacheBase(const char* dir);
    virtual ~FlrRolCacheBase();
    FlrRolCacheBase(const FlrRolCacheBase&) = delete;
    FlrRolCacheBase& operator=(const FlrRolCacheBase&) = delete;

    // Stores the generation number and writes it to [ZRP] nRolCacheGenID.
    void setGenID(uint64_t id);
    uint64_t getGenID();

    // Rebuilds the file list and the byte count from the directory.
    void scanDisk();
    // Path of the file whose range would hold seq (the last one starting at
    // or below it), its index in *outIndex; empty when seq precedes them all.
    std::string getFileName(uint64_t seq, int* outIndex = nullptr);
    // Path of the file after the one at index (index advanced), or empty.
    std::string getNextFileName(int& index);

    const std::string& getCacheDir() const { return cacheDir; }
    std::vector<uint64_t> getFiles();
    uint64_t getDiskBytes();

    // jx::readAll with the cache file's messages ("Failed to read data from
    // cache file: ...").
    static int readAll(int fd, void* buf, int len, bool eofIsError);
    // Leading blanks, then decimal digits; no sign, no overflow check.
    static long long strtoll(const char* text, const char** end = nullptr);

    // "cache.<seq>".
    static std::string cacheFileName(uint64_t firstSeq);
    // True for the names this cache writes: "cache." and a decimal number of
    // 1 or more without leading zeros or anything else.
    static bool parseCacheFileName(const char* name, uint64_t& firstSeq);
    static void encodeRecordHeader(uint64_t seq, int32_t len, unsigned char* out);
    static void decodeRecordHeader(const unsigned char* in, uint64_t& seq, int32_t& len);

  protected:
    std::string filePath(uint64_t firstSeq) const {
        return cacheDir + "/" + cacheFileName(firstSeq);
    }

    std::string cacheDir;
    std::string lockFile;
    std::vector<uint64_t> files;  // first sequence numbers, ascending; under monitor
    JxMonitorH monitor;
    EvDebug logger;
    uint64_t genID = 0;
    uint64_t diskBytes = 0;  // under monitor
};
