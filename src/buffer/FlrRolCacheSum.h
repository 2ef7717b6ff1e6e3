#pragma once
// Block checksums of one finished rolling-cache file, kept beside it as
// "<cache file>.sum". The cache file format has no checksum of its own, so
// without these a flipped byte inside an entry's payload would read back as
// valid data. The writer feeds every byte it appends and writes the sums when
// it closes the file; readers never need them; verification compares them.
//
// Sum file (big-endian): "FLRSUM\n" 0x00, u64 size of the cache file, u32
// block size, u32 block count, one u32 CRC-32C per block, u32 CRC-32C of all
// preceding bytes.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class FlrRolCacheSum {
  public:
    static constexpr uint32_t kBlockSize = 65536;

    void reset();
    void add(const void* data, size_t len);
    uint64_t size() const { return size_; }

    // Writes the sums of the bytes added so far beside cacheFile, replaced
    // atomically and durably (jx::replaceFile). False with errno set on failure.
    bool write(const std::string& cacheFile) const;

    static std::string sumFileName(const std::string& cacheFile);
    // True for "cache.<n>.sum", the sums of cache file "cache.<n>".
    static bool isSumFileName(const std::string& name);
    // Reads a sum file; false when it is absent, unreadable or damaged itself.
    static bool load(const std::string& cacheFile, uint64_t& size, std::vector<uint32_t>& blocks);
    // Index of the first block of data whose checksum differs, or -1.
    static long long firstBadBlock(const unsigned char* data, size_t len,
                                   const std::vector<uint32_t>& blocks);

  private:
    std::vector<uint32_t> blocks_;
    uint32_t blockCrc_ = 0xffffffffu;  // as after reset(): a fresh object sums correctly
    uint32_t blockFill_ = 0;
    uint64_t size_ = 0;
};
