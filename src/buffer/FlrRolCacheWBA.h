#pragma once
// A reader of a rolling-cache directory that a FlrRolCache in another
// process writes: one entry by number, or the oldest, then entry by entry
// across the files. It never writes, never waits and keeps no index: it
// loads one whole cache file at a time. Its file list is the directory as
// scanned at construction; a file the writer deleted since then reads as
// "not found". Entries are returned as pointers into the loaded file, valid
// until the next call. Meant for one reading thread.
#include <cstdint>
#include <string>

#include "FlrRolCacheBase.h"

class FlrRolCacheWBA : public FlrRolCacheBase {
  public:
    explicit FlrRolCacheWBA(const char* dir);
    ~FlrRolCacheWBA() override;

    // 1 with the entry numbered seq, 0 when it is not in the cache.
    int getEntry(uint64_t seq, const char** data, int* len);
    // 1 with the oldest entry, 0 when there is none.
    int getFirstEntry(uint64_t* seq, const char** data, int* len);
    // 1 with the entry after the last one returned, 0 at the end.
    int getNextEntry(uint64_t* seq, const char** data, int* len);

  private:
    enum class Load { kLoaded, kGone };
    Load loadFile(const std::string& name, int index, const char* function);
    int nextRecord(uint64_t* seq, const char** data, int* len, const char* function);
    bool onLastFile() const;

    int dataLen = 0;
    char* buf = nullptr;
    int bufCap = 0;
    char* pos = nullptr;
    int fileIndex = -1;
    std::string loadedName;
    uint64_t lastReturned = 0;
};
