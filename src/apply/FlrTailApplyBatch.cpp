// A session's batch: finished entries wait in it, and a commit makes them
// durable with one sync, puts them in place in arrival order and syncs the
// folders that received them.
#include <cerrno>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "FLR/JxException.h"
#include "FlrTailApplier.h"
#include "FlrTailApplyEntry.h"
#include "FlrTailLBFS.h"
#include "platform/EvDebug.h"
#include "platform/JxDirFd.h"

namespace {
const char* const kTailBatchFn = "FlrTailApplier";

// The folder part of a path relative to the root ("" for the root itself).
std::string folderOf(const std::string& rel) {
    const size_t cut = rel.rfind('/');
    return cut == std::string::npos ? "" : rel.substr(0, cut);
}
}  // namespace

void FlrTailApplySession::enqueue(std::unique_ptr<FlrTailApplyEntry> entry) {
    if (!applier_.options().syncFiles) {
        try {
            entry->commit(stats_);
        } catch (const JxException& x) {
            EvDebug::Error(kTailBatchFn, "%s", x.getMessage().c_str());
            ++stats_.failed;
        }
        entry.reset();
        lbfs_->batchCommitted();  // nothing waits in a batch
        return;
    }
    batchBytes_ += entry->bytes();
    batchPaths_.insert(entry->rel());
    batch_.push_back(std::move(entry));
    const bool spent = !applier_.batchBudget().take();
    if (spent || batch_.size() >= batchLimit_ || batchBytes_ >= applier_.options().batchBytes)
        commit();
}

// True when rel or a folder on its way waits in the batch: entries of one
// path are put in place in the order they came.
bool FlrTailApplySession::batched(const std::string& rel) const {
    if (batchPaths_.empty()) return false;
    for (size_t slash = rel.find('/'); slash != std::string::npos; slash = rel.find('/', slash + 1))
        if (batchPaths_.count(rel.substr(0, slash))) return true;
    return batchPaths_.count(rel) != 0;
}

void FlrTailApplySession::commit() {
    folders_.clear();
    lbfs_->batchCommitted();  // the batch's files are placed by the end of this call
    applier_.journal().syncIfDue();
    if (batch_.empty()) return;
    // Given back once the batch's entries (declared after it) have closed their folders.
    const struct Give {
        FlrTailBatchBudget& budget;
        size_t n;
        ~Give() { budget.give(n); }
    } give{applier_.batchBudget(), batch_.size()};
    std::vector<std::unique_ptr<FlrTailApplyEntry>> batch;
    batch.swap(batch_);
    batchBytes_ = 0;
    batchPaths_.clear();
    applyHeldWrites(batch);  // failures are counted per entry; the rest goes on
    if (!syncBatch(batch)) return;
    for (auto& e : batch) {
        if (!e) continue;
        try {
            e->commit(stats_);
        } catch (const JxException& x) {
            EvDebug::Error(kTailBatchFn, "%s", x.getMessage().c_str());
            ++stats_.failed;
        }
    }
    // Files put in place replace what the journal may hold open by name.
    applier_.journal().treeChanged();
    syncFolders(batch);
}

// One syncfs for the whole batch; when it fails none of it is applied (the
// entries remove their temporaries, or give in-place copies their names back).
bool FlrTailApplySession::syncBatch(std::vector<std::unique_ptr<FlrTailApplyEntry>>& batch) {
    if (jx::syncFileSystem(applier_.root().fd()) == 0) return true;
    size_t n = 0;
    for (const auto& e : batch) n += e ? 1 : 0;
    EvDebug::Error(kTailBatchFn, "Couldn't make %zu files durable: %s; they are not applied", n,
                   jxErrnoText(errno).c_str());
    stats_.failed += static_cast<long long>(n);
    return false;
}

// In-place updates held their writes until their renames were durable: one
// fsync per folder makes them so (cheaper than a second syncfs, which would
// also wait for every other writer's data), then the writes go out and the
// batch's syncfs covers them with the rest.
void FlrTailApplySession::applyHeldWrites(std::vector<std::unique_ptr<FlrTailApplyEntry>>& batch) {
    std::unordered_map<std::string, bool> folderSynced;
    for (auto& e : batch) {
        if (!e || !e->holdingWrites()) continue;
        const std::string folder = folderOf(e->rel());
        auto [it, first] = folderSynced.emplace(folder, true);
        if (first && jx::fileOps().fsync(e->parentFd()) != 0) {
            EvDebug::Error(kTailBatchFn, "Couldn't make the updates in /%s durable: %s",
                           folder.c_str(), jxErrnoText(errno).c_str());
            it->second = false;
        }
        try {
            if (!it->second)
                JX_THROW(kTailBatchFn, e->rel() + " is not updated: its folder cannot be synced");
            e->applyHeld();
        } catch (const JxException& x) {
            EvDebug::Error(kTailBatchFn, "%s", x.getMessage().c_str());
            ++stats_.failed;
            e.reset();  // its old copy gets its name back, or the next run resends it
        }
    }
}

// The renames are directory entries, which the data's sync does not cover on
// every file system: each folder the batch put something into is synced
// once, or, when they are many (a tree of small folders), the whole file
// system at once: one journal commit instead of one a folder, and the
// folders made on the way are covered too.
void FlrTailApplySession::syncFolders(
    const std::vector<std::unique_ptr<FlrTailApplyEntry>>& batch) {
    std::unordered_set<std::string> folders;
    for (const auto& e : batch)
        if (e && e->parentFd() >= 0) folders.insert(folderOf(e->rel()));
    if (folders.size() > kFoldersSyncedOneByOne) {
        if (jx::syncFileSystem(applier_.root().fd()) == 0) return;
        EvDebug::Error(kTailBatchFn, "Couldn't make the new entries of %zu folders durable: %s",
                       folders.size(), jxErrnoText(errno).c_str());
        stats_.failed += static_cast<long long>(folders.size());
        return;
    }
    std::unordered_set<std::string> done;
    for (const auto& e : batch) {
        if (!e) continue;
        const std::string folder = folderOf(e->rel());
        if (e->parentFd() < 0 || !done.insert(folder).second) continue;
        if (jx::fileOps().fsync(e->parentFd()) != 0) {
            EvDebug::Error(kTailBatchFn, "Couldn't make the new entries of /%s durable: %s",
                           folder.c_str(), jxErrnoText(errno).c_str());
            ++stats_.failed;
        }
    }
}
