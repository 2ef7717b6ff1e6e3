// A run's dry run: the comparison `flr verify` makes, read as what a run
// would do to the destination. Nothing here writes anywhere.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <memory>

#include "FLR/FlrEndpoint.h"
#include "FLR/FlrRemoteVerify.h"
#include "FLR/FlrReplicator.h"
#include "FLR/FlrTreeVerify.h"
#include "FLR/JxException.h"
#include "env/FlrHelper.h"
#include "net/FlrNetHead.h"
#include "platform/JxFile.h"
#include "scan/FlrFilter.h"

namespace {

const char* const kDryRunFn = "FlrReplicator::dryRun";

// The comparison's words, as actions. Several differences of one entry
// (size and time) are one action; an attribute "missing on destination" is
// a change of an entry that is there.
FlrDryRunItem::Action actionFor(const std::string& what) {
    if (what == "missing on destination") return FlrDryRunItem::kNew;
    if (what == "extra on destination") return FlrDryRunItem::kRemoved;
    if (what.rfind("type differs", 0) == 0 || what == "one root is a folder, the other is not")
        return FlrDryRunItem::kReplaced;
    if (what.find("cannot be") != std::string::npos || what.rfind("read failed", 0) == 0)
        return FlrDryRunItem::kUnreadable;
    return FlrDryRunItem::kChanged;
}

class DryRun {
  public:
    DryRun(std::string source, std::shared_ptr<const FlrFilter> excludes, bool noDelete)
        : source_(std::move(source)), excludes_(std::move(excludes)), noDelete_(noDelete) {}

    // The comparison's differences in its order (depth first, folders
    // before what they hold).
    void take(const FlrTreeVerifyResult& r) {
        report_.entries = r.entries;
        for (const FlrTreeDiff& d : r.diffs) {
            if (excluded(d.path)) continue;
            const FlrDryRunItem::Action a = actionFor(d.what);
            if (a == FlrDryRunItem::kRemoved && noDelete_) continue;
            // An entry that differs in several ways is listed once.
            if (!report_.items.empty() && report_.items.back().path == d.path &&
                a == FlrDryRunItem::kChanged)
                continue;
            add(a, d.path, d.what);
            if (a == FlrDryRunItem::kNew || a == FlrDryRunItem::kReplaced) addBelow(d.path);
        }
    }
    // A destination that does not exist yet: every entry is new.
    void allNew() {
        report_.entries = 1;
        addBelow("");
    }
    FlrDryRunReport& report() { return report_; }

  private:
    std::string full(const std::string& rel) const {
        return rel.empty() ? source_ : source_ + "/" + rel;
    }
    // Excluded when the path or a folder above it matches, as the scan
    // never enters an excluded folder.
    bool excluded(const std::string& rel) const {
        if (!excludes_ || rel.empty()) return false;
        for (size_t slash = rel.find('/');; slash = rel.find('/', slash + 1)) {
            if (excludes_->isFilteredOut(full(rel.substr(0, slash)))) return true;
            if (slash == std::string::npos) return false;
        }
    }
    void add(FlrDryRunItem::Action a, const std::string& rel, const std::string& what) {
        switch (a) {
            case FlrDryRunItem::kNew:
            case FlrDryRunItem::kChanged:
                ++report_.sent;
                break;
            case FlrDryRunItem::kReplaced:
                ++report_.replaced;
                break;
            case FlrDryRunItem::kRemoved:
                ++report_.removed;
                break;
            case FlrDryRunItem::kUnreadable:
                ++report_.unreadable;
                break;
        }
        struct stat st {};
        if (a != FlrDryRunItem::kRemoved && a != FlrDryRunItem::kUnreadable &&
            jx::fileOps().lstat(full(rel).c_str(), &st) == 0 && S_ISREG(st.st_mode))
            report_.bytes += st.st_size;
        report_.items.push_back({a, rel, what});
    }
    // What a new folder holds is new too: a run sends every entry of it. The
    // comparison names only the folder, so its entries are listed here.
    void addBelow(const std::string& rel) {
        struct stat st {};
        if (jx::fileOps().lstat(full(rel).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
        std::vector<std::string> names;
        if (const int err = jx::fileOps().listDir(full(rel).c_str(), &names)) {
            add(FlrDryRunItem::kUnreadable, rel, "source cannot be listed: " + jxErrnoText(err));
            return;
        }
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            const std::string child = rel.empty() ? name : rel + "/" + name;
            if (excluded(child)) continue;
            ++report_.entries;
            add(FlrDryRunItem::kNew, child, "missing on destination");
            addBelow(child);
        }
    }

    std::string source_;
    std::shared_ptr<const FlrFilter> excludes_;
    bool noDelete_;
    FlrDryRunReport report_;
};

}  // namespace

FlrDryRunReport FlrReplicator::dryRun() {
    const auto t0 = std::chrono::steady_clock::now();
    const std::string source = absolutePath(options_.source);
    struct stat st {};
    if (jx::fileOps().stat(source.c_str(), &st) != 0)
        JX_THROW_ERRNO(kDryRunFn, "Failed to stat " + source, errno);
    if (!S_ISDIR(st.st_mode)) JX_THROW(kDryRunFn, source + " is not a folder");
    DryRun dry(source, excludeFilter(source, options_.excludes, options_.includes),
               options_.noDelete);
    // A run's quick check: kinds, sizes and modification times, not the
    // bytes (a run selects by times too, so a dry run of a large tree
    // reads no file); owners are left out, as a run sets them only where
    // it may.
    FlrTreeVerifyOptions compare;
    compare.mtimes = true;
    compare.contents = false;
    compare.maxDiffs = SIZE_MAX;
    std::string host, port, path;
    if (parseRemote(options_.target, &host, &port, &path)) {
        FlrNetHead head;
        flrConnectHead(head, FlrEndpoint{host, port});
        if (options_.compress > 0) head.setCompression(options_.compress);
        if (options_.encrypt) head.setEncryption(1);
        try {
            dry.take(flrVerifyRemote(source, head, FlrHelper::stripTrailingSlashes(path), compare));
        } catch (const JxException& e) {
            // A first run makes the folder on the tail, as it does locally.
            if (e.getCode() != ENOENT) throw;
            dry.allNew();
        }
    } else if (jx::fileOps().lstat(absolutePath(options_.target).c_str(), &st) != 0 &&
               errno == ENOENT) {
        dry.allNew();
    } else {
        dry.take(FlrTreeVerify(compare).compare(source, absolutePath(options_.target)));
    }
    FlrDryRunReport& r = dry.report();
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return std::move(r);
}
