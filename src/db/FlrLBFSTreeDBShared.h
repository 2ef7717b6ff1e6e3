#pragma once
// What the sources of the LBFS tree database share: the name failures are
// logged under, the depth past which a parent chain is a cycle, the one way an
// engine status becomes a failure code, and how a path splits into names.
// Included only by FlrLBFSTreeDB*.cpp.
#include <string>
#include <vector>

namespace lbfstree {

constexpr const char* kSource = "FlrLBFSTreeDB";
// No real tree is this deep (PATH_MAX); a longer parent chain is a cycle.
constexpr int kMaxDepth = 65536;

// Engine codes are positive (or LMDB's negative ones); a failure's code must
// be negative so that callers testing IsError() see it.
inline int failCode(int rc) {
    return rc < 0 ? rc : rc == 0 ? -1 : -rc;
}

// Components of a path, runs of "/" skipped, each cut to the longest name a
// record holds (lookups cut the same way, so a long name finds its entry).
std::vector<std::string> componentsOf(const std::string& path);

}  // namespace lbfstree
