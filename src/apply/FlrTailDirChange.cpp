// Folder mirroring from a streamed dirchange file.
#include "FlrTailDirChange.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string_view>
#include <vector>

#include "FLR/JxException.h"
#include "FlrTailStore.h"
#include "platform/EvDebug.h"
#include "platform/JxDirFd.h"
#include "scan/FlrCollectText.h"

namespace {

const char* const kDirChangeFn = "FlrTailDirChange";
// A longer line is no path or name any file system holds.
constexpr size_t kMaxLine = 64 * 1024;
// Names in one block: 32 MiB of hashes. A folder with more is not mirrored
// (its removals are counted failed, so the run is not recorded complete).
constexpr size_t kMaxNames = 4u << 20;
// No file system holds a longer name (NAME_MAX).
constexpr size_t kMaxName = 255;

uint64_t nameHash(std::string_view name) {
    return std::hash<std::string_view>{}(name);
}

}  // namespace

FlrTailDirChange::FlrTailDirChange(const FlrTailRoot& root, FlrTailApplyStats& stats,
                                   FlrTailStore* store,
                                   std::function<void(const std::string&)> onRemoved)
    : root_(root), stats_(stats), store_(store), onRemoved_(std::move(onRemoved)) {}

void FlrTailDirChange::feed(const void* data, size_t len) {
    const char* p = static_cast<const char*>(data);
    const char* end = p + len;
    while (p < end) {
        const char* nl =
            static_cast<const char*>(std::memchr(p, '\n', static_cast<size_t>(end - p)));
        const char* stop = nl ? nl : end;
        if (!overlong_) {
            partial_.append(p, static_cast<size_t>(stop - p));
            if (partial_.size() > kMaxLine) {
                overlong_ = true;
                partial_.clear();
            }
        }
        if (!nl) return;
        if (overlong_) {
            EvDebug::Error(kDirChangeFn,
                           "A dirchange line longer than %zu bytes: its block is skipped",
                           kMaxLine);
            blockBroken_ = true;
            overlong_ = false;
        } else {
            line(partial_);
        }
        partial_.clear();
        p = nl + 1;
    }
}

void FlrTailDirChange::line(const std::string& text) {
    if (text.empty()) return;
    // Entry lines hold a tab; paths never do (a tab in one is written "\x09").
    const size_t tab = text.find('\t');
    if (tab == std::string::npos) {
        applyBlock();
        inBlock_ = true;
        blockBroken_ = false;
        folder_ = FlrCollectText::unescape(text);
        names_.clear();
        if (names_.capacity() > (1u << 16)) names_.shrink_to_fit();
        return;
    }
    if (!inBlock_) return;  // entries before any folder line
    if (names_.size() >= kMaxNames) {
        if (!blockBroken_)
            EvDebug::Error(kDirChangeFn,
                           "Dirchange block of %s lists more than %zu names: not mirrored",
                           folder_.c_str(), kMaxNames);
        if (!blockBroken_) ++stats_.failed;
        blockBroken_ = true;
        return;
    }
    const std::string name = FlrCollectText::unescape(std::string_view(text).substr(tab + 1));
    if (name.size() > kMaxName) {
        if (!blockBroken_) {
            EvDebug::Error(kDirChangeFn,
                           "Dirchange block of %s lists a name of %zu bytes: not mirrored",
                           folder_.c_str(), name.size());
            ++stats_.failed;
        }
        blockBroken_ = true;
        return;
    }
    names_.push_back(nameHash(name));
}

void FlrTailDirChange::finish() {
    // A last line without its line feed is still whole once MIR_EOF came.
    if (!partial_.empty() && !overlong_) line(partial_);
    partial_.clear();
    applyBlock();
    inBlock_ = false;
}

void FlrTailDirChange::applyBlock() {
    if (!inBlock_) return;
    inBlock_ = false;
    if (blockBroken_) return;
    std::string rel;
    std::string why;
    if (!root_.relative(folder_, &rel, &why)) {
        EvDebug::Error(kDirChangeFn, "Refused dirchange folder %s: %s", folder_.c_str(),
                       why.c_str());
        ++stats_.refused;
        return;
    }
    jx::File dir = root_.openDir(rel);
    if (!dir) {
        const int err = errno;
        if (err == ENOENT) return;  // nothing there to mirror
        EvDebug::Error(kDirChangeFn, "Refused dirchange folder %s: %s", folder_.c_str(),
                       jxErrnoText(err).c_str());
        if (err == ELOOP || err == EXDEV || err == ENOTDIR)
            ++stats_.refused;
        else
            ++stats_.failed;
        return;
    }
    std::vector<std::string> present;
    if (const int err = jx::listDirFd(dir.get(), &present)) {
        EvDebug::Error(kDirChangeFn, "Couldn't list %s: %s", folder_.c_str(),
                       jxErrnoText(err).c_str());
        ++stats_.failed;
        return;
    }
    std::sort(names_.begin(), names_.end());
    bool removed = false;
    for (const std::string& name : present) {
        // Temporaries may belong to a transfer still running in another session.
        if (std::binary_search(names_.begin(), names_.end(), nameHash(name)) ||
            FlrTailRoot::isTemporaryName(name))
            continue;
        // Recovery points are the tail's own, never the head's to mirror.
        if (rel.empty() && FlrTailRoot::inSnapshotFolder(name)) continue;
        if (const int err = FlrTailRoot::removeEntry(dir.get(), name)) {
            // A file system mounted below the root is never entered (like
            // rsync -x); what stays is counted, so the difference is seen.
            if (err == EXDEV) {
                EvDebug::Warning(kDirChangeFn,
                                 "Left %s/%s in place: a file system is mounted there",
                                 folder_.c_str(), name.c_str());
                ++stats_.failed;
                continue;
            }
            EvDebug::Error(kDirChangeFn, "Couldn't remove %s/%s: %s", folder_.c_str(), name.c_str(),
                           jxErrnoText(err).c_str());
            ++stats_.failed;
            continue;
        }
        EvDebug::DebugLvl(kDirChangeFn, 2, "Removed %s/%s (no longer on the source)",
                          folder_.c_str(), name.c_str());
        ++stats_.deleted;
        removed = true;
        if (onRemoved_) onRemoved_(folder_ + "/" + name);
        if (store_) store_->forget(rel.empty() ? name : rel + "/" + name);
    }
    // The head records a run complete once its last ping is answered: a
    // removal must not come back after a crash that the record outlives.
    if (removed && jx::fileOps().fsync(dir.get()) != 0) {
        EvDebug::Error(kDirChangeFn, "Couldn't make the removals in %s durable: %s",
                       folder_.c_str(), jxErrnoText(errno).c_str());
        ++stats_.failed;
    }
}
