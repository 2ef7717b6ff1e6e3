#pragma once
// The content store's blocks of a file rebuilt from its old copy (MD5,
// RSync), found without reading the whole file again. A content-defined cut
// depends only on the bytes since the previous cut, so an old block that
// starts where the new cutting stands and whose bytes did not change is a
// block of the new file too: only the blocks around the changed ranges are
// read and cut again.
#include <cstdint>
#include <utility>
#include <vector>

#include "digest/JxLBFS.h"

// Ranges of a new file that may differ from the old copy at the same offset,
// sorted and merged when asked for. Past kMaxRanges it gives up and says the
// whole file changed (a cut of the whole file is then as cheap as any).
class FlrTailChangedRanges {
  public:
    static constexpr size_t kMaxRanges = 4096;

    void add(int64_t offset, int64_t len);
    // Everything may have changed (no usable old copy).
    void all() { all_ = true; }
    bool isAll() const { return all_; }
    // [begin, end) pairs, sorted, disjoint and not adjacent.
    std::vector<std::pair<int64_t, int64_t>> merged() const;

  private:
    std::vector<std::pair<int64_t, int64_t>> ranges_;
    bool all_ = false;
};

// The blocks of the file open at fd (newSize bytes), given the blocks of its
// old copy (oldSize bytes, in offset order) and what changed. False when the
// old blocks do not describe a file of oldSize bytes or a read fails: the
// caller cuts the whole file instead. The reused blocks' hashes are the old
// record's; like every store entry they are checked when read.
bool recutChanged(int fd, const std::vector<JxLBFS::HashBlock>& oldBlocks, int64_t oldSize,
                  const FlrTailChangedRanges& changed, int64_t newSize,
                  std::vector<JxLBFS::HashBlock>* blocks);
