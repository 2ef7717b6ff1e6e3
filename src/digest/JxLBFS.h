#pragma once
// Content-defined blocks of a file, as the LBFS transfer and its stores
// exchange them, and the chunker that cuts a file into them.
//
// The chunker is FastCDC-style: a gear rolling hash over the bytes, with a
// stricter cut mask below the average block size and a looser one above it
// (normalised chunking), so block sizes cluster around the average. Cut
// points depend only on the content near them: inserting bytes changes the
// blocks around the insertion, not the ones after it. The gear table is fixed
// in the source, so every host and build cuts the same input into the same
// blocks. Each block carries the SHA-256 of its content.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "platform/CQiError.h"

namespace JxLBFS {

// One block of a file: where it starts and how many bytes it holds.
struct Block {
    uint64_t offset = 0;
    uint32_t length = 0;
};

// A block and the hash (SHA-256) of its content.
struct HashBlock {
    static constexpr int kHashSize = 32;

    Block block;
    unsigned char hash[kHashSize] = {};
};

// Block size limits. The stores keep lengths in 16 bits, so no block reaches
// 64 KiB.
constexpr uint32_t kMinBlockSize = 2048;
// Files up to this size always travel whole (their block list and requests
// would cost more than their bytes), so content stores keep no blocks of
// them: nothing ever looks them up.
constexpr int64_t kWholeFileMax = 256;
constexpr uint32_t kAvgBlockSize = 8192;
constexpr uint32_t kMaxBlockSize = 65535;

uint32_t getMinBlockSize();
uint32_t getAvgBlockSize();

// Cuts a file into blocks. The list is cleared first; an empty file gives no
// blocks. Failures (open, read) come back as a negative CQiError naming the
// file and the system error; the list is then unspecified. The descriptor
// forms read from offset 0 to the end with pread, leaving the descriptor's
// offset alone, so a caller may reuse it.
CQiError split(const std::string& path, std::list<HashBlock>& blocks);
CQiError split(int fd, std::list<HashBlock>& blocks);
CQiError split(const std::string& path, std::vector<HashBlock>& blocks);
CQiError split(int fd, std::vector<HashBlock>& blocks);

// Incremental form for data already in memory (tests, benchmarks, a caller
// with its own reader): feed bytes in any pieces, each completed block goes
// to the sink in order, finish() emits the last partial block. The same
// bytes give the same blocks however they are split into feed() calls.
class Chunker {
  public:
    using Sink = void (*)(const HashBlock& block, void* context);

    Chunker(Sink sink, void* context);
    ~Chunker();
    Chunker(const Chunker&) = delete;
    Chunker& operator=(const Chunker&) = delete;

    void feed(const void* data, size_t len);
    void finish();
    // Starts over at offset 0 (after finish()).
    void reset();

  private:
    struct Impl;
    Impl* impl_;
};

// Where the next cut falls in data[0..len): the length of the block that
// starts at data[0] (len when no cut point lies inside and len <= the maximum;
// the caller decides whether more data may follow).
size_t findCut(const unsigned char* data, size_t len);

}  // namespace JxLBFS
