#pragma once
// Mirrors folder contents from a dirchange file as it streams in: each block
// (a folder's path, then one line per entry the source still has) removes the
// folder's other entries on the tail, like rsync --delete. A block is applied
// only once it is known complete (the next block begins, or the file ends),
// so a cut stream never deletes on the strength of half a list. Nothing
// outside the listed folders is touched; a folder path outside the root is
// refused and counted. Nothing is removed across a mount point: what stays
// for that reason is counted as not applied.
//
// Lines: the folder path; entries as "\t<name>" or "<attributes>\t<name>"
// (a line holding a tab is an entry, any other starts the next block), as
// FlrDirChangeReader reads them; paths and names in the collect escaping
// ("\x0a", "\x09", "\\"). Streamed here, so memory stays at one block, of at
// most kMaxNames names (a larger block is not applied, and counted failed).
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "FlrTailApplier.h"

class FlrTailStore;

class FlrTailDirChange {
  public:
    // store (may be null) forgets what the mirror removes.
    // onRemoved (may be null) hears of each entry removed, by its path.
    FlrTailDirChange(const FlrTailRoot& root, FlrTailApplyStats& stats,
                     FlrTailStore* store = nullptr,
                     std::function<void(const std::string&)> onRemoved = {});

    void feed(const void* data, size_t len);
    // The stream ended with MIR_EOF: the last block is complete.
    void finish();

  private:
    void line(const std::string& text);
    void applyBlock();

    const FlrTailRoot& root_;
    FlrTailApplyStats& stats_;
    FlrTailStore* store_;
    std::function<void(const std::string&)> onRemoved_;
    std::string partial_;
    bool overlong_ = false;  // the current line outgrew the limit
    bool inBlock_ = false;
    bool blockBroken_ = false;  // an unreadable line: the block is not applied
    std::string folder_;
    // The block's names as 64-bit hashes: 8 bytes a name whatever its length,
    // so a block's memory is bounded by its name count. Two names with one
    // hash only spare an entry that should have gone; nothing is removed
    // that the source listed.
    std::vector<uint64_t> names_;
};
