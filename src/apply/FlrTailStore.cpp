// The tail's content store over the LBFS tree and hash databases.
#include "FlrTailStore.h"

#include <limits.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>

#include "FLR/JxException.h"
#include "digest/Jxc.h"
#include "env/FlrHelper.h"
#include "platform/EvDebug.h"
#include "platform/JxFile.h"

namespace {

const char* const kTailStoreFn = "FlrTailStore";

std::string canonical(const std::string& path) {
    char buf[PATH_MAX];
    return ::realpath(path.c_str(), buf) ? std::string(buf) : path;
}

bool isInside(const std::string& path, const std::string& folder) {
    if (folder == "/") return true;
    return path.compare(0, folder.size(), folder) == 0 &&
           (path.size() == folder.size() || path[folder.size()] == '/');
}

std::string storePath(const std::string& rel) {
    return "/" + rel;
}

}  // namespace

FlrTailStore::FlrTailStore(const std::string& dir, const std::string& rootPath) : dir_(dir) {
    if (dir_.empty()) JX_THROW(kTailStoreFn, "The content store folder is empty");
    // It names every file of the replica and holds the tail's lock: nobody
    // else may read it or plant a link in it.
    jx::makePrivateDir(dir_, kTailStoreFn);
    const std::string root = canonical(rootPath);
    if (isInside(canonical(dir_), root))
        JX_THROW(kTailStoreFn, "The content store " + dir_ + " lies inside the destination root " +
                                   root + ": mirroring the source would delete it");
    lock_ = std::make_unique<JxFileLock>(dir_ + "/lock");
    if (!lock_->lock(1, 0))
        JX_THROW(kTailStoreFn, "The content store " + dir_ + " is in use by another tail");
    // The databases open on first use: opening them syncs twice, which an
    // unchanged run (nothing recorded, nothing looked up) need not pay.
}

FlrTailStore::~FlrTailStore() {
    std::lock_guard<std::mutex> lock(dbMutex_);
    flushPendingLocked();
    if (state_ == DbState::Open) {
        hashes_.close();
        tree_.close();
    }
}

// A store that cannot be opened is logged once and then behaves as an empty
// one: LBFS asks the head for every block, nothing else depends on it.
bool FlrTailStore::openLocked() {
    if (state_ == DbState::Closed) {
        state_ = DbState::Failed;
        if (CQiError e = tree_.initialize(dir_); e.IsError()) {
            logFailure("open", e);
            return false;
        }
        if (CQiError e = hashes_.initialize(dir_); e.IsError()) {
            logFailure("open", e);
            tree_.close();
            return false;
        }
        state_ = DbState::Open;
    }
    return state_ == DbState::Open;
}

bool FlrTailStore::isOpen() const {
    std::lock_guard<std::mutex> lock(dbMutex_);
    return state_ == DbState::Open;
}

void FlrTailStore::logFailure(const char* what, const CQiError& e) const {
    EvDebug::Error(kTailStoreFn, "Content store %s: couldn't %s: %s", dir_.c_str(), what,
                   e.GetMessage().c_str());
}

bool FlrTailStore::find(const unsigned char* hash, Hit* hit) {
    std::lock_guard<std::mutex> lock(dbMutex_);
    flushPendingLocked();
    if (!openLocked()) return false;
    FlrLBFSHashDB::Record rec{};
    if (CQiError e = hashes_.find(hash, &rec); e.IsError()) {
        logFailure("look a block up", e);
        return false;
    }
    if (rec.fid == 0) return false;
    std::string path;
    if (CQiError e = tree_.fid2path(rec.fid, &path); e.IsError() || path.size() < 2) {
        // Blocks of a file the tree no longer names are of no use.
        hashes_.del(rec.fid);
        return false;
    }
    hit->fid = rec.fid;
    hit->rel = path.substr(1);
    hit->offset = rec.offset;
    hit->length = rec.size;
    return true;
}

void FlrTailStore::record(const std::string& rel, const std::vector<JxLBFS::HashBlock>& blocks) {
    if (rel.empty()) return;
    std::lock_guard<std::mutex> lock(dbMutex_);
    queueLocked(Pending{rel, blocks, false});
}

void FlrTailStore::queueLocked(Pending op) {
    pendingBlocks_ += op.blocks.size();
    pending_.push_back(std::move(op));
    if (pending_.size() >= kMaxPendingFiles || pendingBlocks_ >= kMaxPendingBlocks)
        flushPendingLocked();
}

void FlrTailStore::flush() {
    std::lock_guard<std::mutex> lock(dbMutex_);
    flushPendingLocked();
}

void FlrTailStore::applyLocked(const Pending& op) {
    const std::string& rel = op.rel;
    if (op.forget) {
        if (CQiError e = tree_.del(storePath(rel), &hashes_); e.IsError())
            logFailure(("forget " + rel).c_str(), e);
        return;
    }
    const std::vector<JxLBFS::HashBlock>& blocks = op.blocks;
    uint64_t fid = 0;
    FlrLBFSTreeDB::Record rec{};
    if (CQiError e = tree_.createFile(storePath(rel), &hashes_, &fid, &rec); e.IsError()) {
        logFailure(("record " + rel).c_str(), e);
        return;
    }
    if (CQiError e = hashes_.update(fid, blocks); e.IsError()) {
        logFailure(("record the blocks of " + rel).c_str(), e);
        hashes_.del(fid);
    }
}

// The files recorded since the last flush go in as one transaction per
// database: a commit each cost a page write per touched index page and made
// placing files wait for the databases' flushes. When the batch cannot be
// had (or the map fills up in it), each file goes on its own.
void FlrTailStore::flushPendingLocked() {
    if (pending_.empty()) return;
    std::vector<Pending> files;
    files.swap(pending_);
    const size_t blocks = pendingBlocks_;
    pendingBlocks_ = 0;
    if (!openLocked()) return;
    {
        TCtreeTable::BatchScope treeBatch =
            tree_.transaction(files.size() * 512, TCtreeTable::Flush::Background);
        TCtreeTable::BatchScope hashBatch =
            hashes_.transaction(blocks * 512, TCtreeTable::Flush::Background);
        if (treeBatch.beginResult() == 0 && hashBatch.beginResult() == 0) {
            for (const Pending& op : files) applyLocked(op);
            if (hashBatch.commit() == 0 && treeBatch.commit() == 0) return;
        }
    }
    for (const Pending& op : files) applyLocked(op);
}

void FlrTailStore::forget(const std::string& rel) {
    std::lock_guard<std::mutex> lock(dbMutex_);
    queueLocked(Pending{rel, {}, true});
}

void FlrTailStore::forgetFile(uint64_t fid) {
    std::lock_guard<std::mutex> lock(dbMutex_);
    flushPendingLocked();
    if (!openLocked()) return;
    if (CQiError e = hashes_.del(fid); e.IsError()) logFailure("forget a stale file", e);
}

std::vector<JxLBFS::HashBlock> FlrTailStore::blocksOf(uint64_t fid) {
    std::lock_guard<std::mutex> lock(dbMutex_);
    flushPendingLocked();
    std::vector<JxLBFS::HashBlock> blocks;
    if (!openLocked()) return blocks;
    if (CQiError e = hashes_.get(fid, &blocks); e.IsError()) blocks.clear();
    return blocks;
}

std::vector<JxLBFS::HashBlock> FlrTailStore::blocksOf(const std::string& rel) {
    std::lock_guard<std::mutex> lock(dbMutex_);
    flushPendingLocked();
    return storedBlocksLocked(rel);
}

std::vector<JxLBFS::HashBlock> FlrTailStore::storedBlocksLocked(const std::string& rel) {
    std::vector<JxLBFS::HashBlock> blocks;
    if (!openLocked()) return blocks;
    uint64_t fid = 0;
    uint32_t time = 0;
    if (tree_.path2fid(storePath(rel), &fid, &time).IsSuccess() && fid != 0)
        hashes_.get(fid, &blocks);
    return blocks;
}

std::vector<JxLBFS::HashBlock> FlrTailStore::latestBlocksOf(const std::string& rel) {
    std::lock_guard<std::mutex> lock(dbMutex_);
    std::vector<JxLBFS::HashBlock> blocks;
    for (auto op = pending_.rbegin(); op != pending_.rend(); ++op) {
        if (op->rel == rel) return op->forget ? blocks : op->blocks;
        const bool below = op->rel.empty() || (rel.size() > op->rel.size() &&
                                               rel.compare(0, op->rel.size(), op->rel) == 0 &&
                                               rel[op->rel.size()] == '/');
        if (op->forget && below) return blocks;
    }
    return storedBlocksLocked(rel);
}

std::string FlrTailStore::defaultDir(const std::string& rootPath) {
    std::string state = FlrHelper::defaultStateRoot();
    state = state.substr(0, state.rfind('/'));
    const std::string root = canonical(rootPath);
    unsigned char d[32];
    Jxc::sha256(root.data(), root.size(), d);
    static const char digits[] = "0123456789abcdef";
    std::string name;
    for (int i = 0; i < 8; ++i) {
        name += digits[d[i] >> 4];
        name += digits[d[i] & 15];
    }
    return state + "/tail-store/" + name;
}
