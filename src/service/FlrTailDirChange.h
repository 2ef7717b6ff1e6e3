#pragma once
// Mirrors folder contents from a dirchange file as it streams in: each block
// (a folder's path, then one line per entry the source still has) removes the
// folder's other entries on the tail, like rsync --delete. A block is applied
// only once it is known complete (the next block begins, or the file ends),
// so a cut stream never deletes on the strength of half a list. Nothing
// outside the listed folders is touched; a folder path outside the root is
// refused and counted.
//
// Lines: the folder path; entries as "\t<name>" or "<attributes>\t<name>"
// (a line holding a tab is an entry, any other starts the next block), as
// FlrDirChangeReader reads them; paths and names in the collect escaping
// ("\x0a", "\x09", "\\"). Streamed here, so memory stays at one block, and
// a block is bounded: a name longer than a file system allows, a line over
// 64 KiB or names past kMaxBlockBytes refuse the block (counted, nothing of
// it applied).
#include <cstddef>
#include <set>
#include <string>

#include "FLR/service/FlrTailApplier.h"

class FlrTailStore;

class FlrTailDirChange {
  public:
    // The memory one block's names may take (their bytes and the set's own).
    static constexpr size_t kMaxBlockBytes = 32u << 20;

    // store (may be null) forgets what the mirror removes.
    FlrTailDirChange(const FlrTailRoot& root, FlrTailApplyStats& stats,
                     FlrTailStore* store = nullptr);

    void feed(const void* data, size_t len);
    // The stream ended with MIR_EOF: the last block is complete.
    void finish();

  private:
    void line(const std::string& text);
    void applyBlock();
    void refuseBlock(const std::string& why);

    const FlrTailRoot& root_;
    FlrTailApplyStats& stats_;
    FlrTailStore* store_;
    std::string partial_;
    bool overlong_ = false;  // the current line outgrew the limit
    bool inBlock_ = false;
    bool blockBroken_ = false;  // an unreadable line: the block is not applied
    std::string folder_;
    std::set<std::string> names_;
    size_t namesBytes_ = 0;  // names_ as counted against kMaxBlockBytes
};
