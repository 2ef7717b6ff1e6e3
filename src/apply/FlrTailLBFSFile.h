#pragma once
// What the tail keeps of one pending LBFS file; shared by the parts of
// FlrTailLBFS.
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "FlrTailApplyEntry.h"
#include "FlrTailLBFS.h"
#include "digest/JxLBFS.h"
#include "platform/JxFile.h"

using BlockHash = std::array<unsigned char, JxLBFS::HashBlock::kHashSize>;

inline BlockHash hashKey(const unsigned char* hash) {
    BlockHash key;
    std::memcpy(key.data(), hash, key.size());
    return key;
}

// Block hashes are SHA-256: any 8 of their bytes hash well enough.
struct HashKeyHasher {
    size_t operator()(const BlockHash& h) const {
        uint64_t v;
        std::memcpy(&v, h.data(), sizeof v);
        return static_cast<size_t>(v);
    }
};

// Tells the registry that a file settled when its last holder lets go: the
// file itself until it fails, or the completed entry until it is renamed.
struct FlrTailLBFSTicket {
    FlrTailLBFSRegistry& registry;
    uint64_t origin;
    std::string rel;
    size_t blocks = 0;  // held against origin's budget
    ~FlrTailLBFSTicket() {
        registry.releaseBlocks(origin, blocks);
        registry.settled(origin, rel);
    }
};

struct FlrTailLBFSFile {
    std::mutex fileMutex;  // what follows; taken before the registry's lock
    uint64_t token = 0;
    uint64_t origin = 0;              // the agent that began it
    std::atomic<uint64_t> feeder{0};  // the agent whose session brings its blocks
    std::string rel;
    std::string headPath;  // echoed in requests
    std::string headFid;
    std::unique_ptr<FlrTailApplyEntry> entry;
    std::vector<JxLBFS::HashBlock> blocks;  // announced, contiguous from 0
    std::vector<uint8_t> wanted;            // per block: kAsked, kCopy or 0 (here)
    // Blocks asked for, by hash, and the later blocks of the same content
    // that are copied from them when they come (asked for once).
    std::unordered_map<BlockHash, size_t, HashKeyHasher> askedByHash;
    std::unordered_multimap<size_t, size_t> copies;
    // The tail's own copy of the path when the store knows nothing of it
    // (put in place by another method, or before the store existed): cut
    // into blocks here so a resync after a full copy still sends only what
    // changed. Every block taken from it is verified like a store block.
    bool oldIndexed = false;
    jx::File oldCopy;
    std::vector<JxLBFS::HashBlock> oldList;                          // its blocks by offset
    std::unordered_map<BlockHash, size_t, HashKeyHasher> oldByHash;  // into oldList
    uint64_t end = 0;  // where the next announced block starts
    size_t missing = 0;
    int requestsOut = 0;  // requests without their LBFS_DONE
    bool listDone = false;
    bool eofSeen = false;
    bool over = false;  // completed, failed or dropped
    std::shared_ptr<FlrTailLBFSTicket> ticket;
};
