#pragma once
// Private layouts of FlrRolCache, shared by its writer and reader sources.
#include <pthread.h>

#include <cstdint>
#include <string>

#include "FlrRolCache.h"

// One allocation per resident entry: the links of its index chain and of the
// resident list, its number and length, then the payload.
struct FlrRolCache::Entry {
    Entry* chainNext;
    Entry* chainPrev;
    Entry* listNext;  // newer
    Entry* listPrev;  // older
    uint64_t seq_num;
    int len;
    int cap;  // payload bytes the allocation holds (reused allocations may hold more)

    char* payload() { return reinterpret_cast<char*>(this + 1); }
};

// A reading thread's position in the cache files: one whole file in memory.
struct FlrRolCache::Context {
    Context* chainNext = nullptr;
    Context* chainPrev = nullptr;
    Context* listNext = nullptr;  // less recently used
    Context* listPrev = nullptr;  // more recently used
    pthread_t tid{};
    uint64_t posSeq = 0;  // number of the record just before pos; 0 when not positioned
    int dataSize = 0;
    char* data = nullptr;
    int dataCap = 0;
    char* pos = nullptr;  // next record; null when no file is loaded
    int fileIndex = -1;
    std::string name;  // the loaded file, for messages
};
