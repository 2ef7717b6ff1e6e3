#pragma once
// Content-defined blocks of a file, as the LBFS transfer and its databases
// exchange them. Only the block records live here for now; the
// content-defined chunker that produces them joins this header later.
#include <cstdint>

#include "FLR/platform/FlrExport.h"

namespace JxLBFS {

// One block of a file: where it starts and how many bytes it holds.
struct FLR_EXPORT Block {
    uint64_t offset = 0;
    uint32_t length = 0;
};

// A block and the hash of its content.
struct FLR_EXPORT HashBlock {
    static constexpr int kHashSize = 32;

    Block block;
    unsigned char hash[kHashSize] = {};
};

}  // namespace JxLBFS
