#pragma once
// Compares a replica with its source: the same names, types, sizes, modes,
// contents, link targets, extended attributes and ACLs at every level (optionally
// owners and modification times). Symbolic links are compared as links, never followed;
// a mount point below either root is compared like any folder. Used by
// `flr verify` and by the tests that check a transfer converged.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "FLR/FlrExport.h"

struct FLR_EXPORT FlrTreeDiff {
    std::string path;  // relative to both roots, "" for the roots themselves
    std::string what;  // e.g. "missing on destination", "content differs"
};

struct FLR_EXPORT FlrTreeVerifyOptions {
    bool modes = true;       // compare permission bits
    bool owners = false;     // compare uid and gid
    bool mtimes = false;     // compare modification times (to the ns) of files and links
    bool xattrs = true;      // compare user.* attributes (as root also trusted.*, security.*)
    bool acls = true;        // compare POSIX ACLs (access, and a folder's default)
    bool contents = true;    // compare files' bytes; off: kinds and sizes (and the above) only
    size_t maxDiffs = 1000;  // differences kept; counting goes on beyond them
};

struct FLR_EXPORT FlrTreeVerifyResult {
    long long entries = 0;  // entries of the source examined
    long long bytes = 0;    // content bytes compared
    long long differences = 0;
    std::vector<FlrTreeDiff> diffs;  // the first maxDiffs of them
    // Aspects asked for that could not be compared, and why (e.g. the tail
    // speaks an older link version); not differences.
    std::vector<std::string> notes;
    // Record comparisons only: entries compared without nanoseconds and
    // attributes (an older tail's records), and entries whose trusted.* and
    // security.* only one side listed.
    long long plainRecords = 0;
    long long privUncompared = 0;

    bool same() const { return differences == 0; }
};

class FLR_EXPORT FlrTreeVerify {
  public:
    explicit FlrTreeVerify(FlrTreeVerifyOptions options = {});

    // Throws JxException when a root cannot be examined; anything below the
    // roots that cannot be read counts as a difference, naming the reason.
    FlrTreeVerifyResult compare(const std::string& srcRoot, const std::string& dstRoot);

  private:
    void compareEntry(const std::string& rel);
    void compareFolder(const std::string& rel);
    void compareContent(const std::string& rel);
    void compareXattrs(const std::string& rel, mode_t mode);
    void compareAcls(const std::string& rel);
    void differ(const std::string& rel, std::string what);

    FlrTreeVerifyOptions options_;
    std::string src_, dst_;
    FlrTreeVerifyResult result_;
    std::vector<char> bufA_, bufB_;
};
