#pragma once
// The head's cache of LBFS block lists: a file whose identity (device, inode,
// size, modification time in ns: the quick check the scans rely on) has not
// changed since it was cut into blocks is announced from the cache instead
// of being read and hashed again. A renamed or re-sent unchanged tree then
// costs the head a stat per file.
//
// Kept in one file in the pair's state, loaded at the start of a run and
// written atomically by save(). A damaged or foreign file counts as empty.
// save() keeps what this run used or added, and older entries only while
// their file (by the path they were last seen under) still has the same
// identity; beyond maxBlocks the least recently used go first.
//
// A file written and cut within the same clock tick could change again
// without a new modification time; such files (modified less than
// kSettleSeconds before they were cut) are not cached. A file rewritten with
// its size and time restored is trusted as the scans trust it; the blocks
// the tail asks for are checked against the cached hashes, so such a file
// fails rather than mixing old and new content.
//
// Thread-safe (the streams of one run share it).
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <unordered_map>

#include "digest/JxLBFS.h"

class FlrLBFSBlockCache {
  public:
    // About 16 GiB of files at the average block size; 34 bytes per block.
    static constexpr size_t kDefaultMaxBlocks = size_t{1} << 21;
    static constexpr int kSettleSeconds = 2;

    struct Key {
        uint64_t dev = 0;
        uint64_t ino = 0;
        uint64_t size = 0;
        int64_t mtimeNs = 0;
        bool operator==(const Key& o) const {
            return dev == o.dev && ino == o.ino && size == o.size && mtimeNs == o.mtimeNs;
        }
    };
    static Key keyOf(const struct stat& st);

    // Loads file when it exists (an empty file name keeps the cache in memory).
    explicit FlrLBFSBlockCache(std::string file, size_t maxBlocks = kDefaultMaxBlocks);

    // The blocks of the file with this identity, now seen under path.
    bool lookup(const Key& key, const std::string& path, std::list<JxLBFS::HashBlock>* blocks);
    // The file was just cut into these blocks; st before and after the cut
    // must agree (else the file changed meanwhile and nothing is kept).
    void insert(const struct stat& before, const struct stat& after, const std::string& path,
                const std::list<JxLBFS::HashBlock>& blocks);
    // Writes the cache file (see above); a failure is logged and returns
    // false (the previous file stays).
    bool save();

    size_t entries() const;
    unsigned long long hits() const;

  private:
    struct KeyHash {
        size_t operator()(const Key& k) const;
    };
    struct Entry {
        std::string path;
        std::string blocks;  // per block: length (BE16) and hash
        uint64_t lastUse = 0;
    };
    bool load(const std::string& data);
    std::string encode();
    void dropVanished();
    void bound();

    std::string file_;
    size_t maxBlocks_;
    mutable std::mutex mutex_;  // everything below
    std::unordered_map<Key, Entry, KeyHash> entries_;
    uint64_t run_ = 1;  // this run's number; entries carry the last run that used them
    unsigned long long hits_ = 0;
};
