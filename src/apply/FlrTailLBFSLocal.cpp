// Blocks an LBFS file takes from what the tail already holds: its own old
// copy of the path, or any file the content store names. Blocks that follow
// each other in the announced list and in the holder are read, verified and
// written as one run, so a renamed or copied file costs one read, one hash
// pass and one write per run instead of a store lookup and two system calls
// per block. Every block is still checked against its own announced hash.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>

#include "FlrTailLBFS.h"
#include "FlrTailLBFSFile.h"
#include "FlrTailStore.h"
#include "digest/Jxc.h"
#include "platform/EvDebug.h"
#include "platform/JxDirFd.h"

namespace {

const char* const kLocalFn = "FlrTailLBFS";
// A hash found in this many holders that all turned out stale is asked for.
constexpr int kStaleTries = 4;
// Longest run read and written at once.
constexpr uint64_t kMaxRun = 1u << 20;

bool sameBlock(const JxLBFS::HashBlock& a, const JxLBFS::HashBlock& b) {
    return a.block.length == b.block.length &&
           std::memcmp(a.hash, b.hash, JxLBFS::HashBlock::kHashSize) == 0;
}

}  // namespace

// Where one block was found.
struct FlrTailLBFS::Holder {
    int fd = -1;
    const std::vector<JxLBFS::HashBlock>* list = nullptr;  // the holder's blocks by offset
    size_t index = 0;                                      // the block's place in list
    uint64_t offset = 0;                                   // the block's offset in the holder
    uint64_t fid = 0;                                      // store file number; 0: the old copy
};

void FlrTailLBFS::indexOldCopy(FlrTailLBFSFile& f) {
    f.oldIndexed = true;
    FlrTailStore* store = registry_.store();
    if (store && !store->blocksOf(f.rel).empty()) return;
    struct stat st {};
    jx::File old = jx::openRegularBeneath(root_.fd(), f.rel, O_RDONLY, &st);
    if (!old || st.st_size == 0) return;
    std::vector<JxLBFS::HashBlock> blocks;
    const CQiError err = JxLBFS::split(old.get(), blocks);
    if (err.IsError()) {
        EvDebug::DebugLvl(kLocalFn, 2, "Couldn't cut the old copy of %s into blocks: %s",
                          f.rel.c_str(), err.GetMessage().c_str());
        return;
    }
    for (size_t i = 0; i < blocks.size(); ++i) f.oldByHash.emplace(hashKey(blocks[i].hash), i);
    f.oldList = std::move(blocks);
    f.oldCopy = std::move(old);
}

void FlrTailLBFS::dropSource() {
    source_.reset();
    sourceFid_ = 0;
    sourceBlocks_ = {};
}

bool FlrTailLBFS::findHolder(FlrTailLBFSFile& f, const JxLBFS::HashBlock& b, Holder* h) {
    if (f.oldCopy) {
        const auto it = f.oldByHash.find(hashKey(b.hash));
        if (it != f.oldByHash.end() && sameBlock(f.oldList[it->second], b)) {
            *h = Holder{f.oldCopy.get(), &f.oldList, it->second, f.oldList[it->second].block.offset,
                        0};
            return true;
        }
    }
    FlrTailStore* store = registry_.store();
    FlrTailStore::Hit hit;
    if (!store || !store->find(b.hash, &hit)) return false;
    if (hit.fid != sourceFid_ || !source_) {
        dropSource();
        sourceFid_ = hit.fid;
        source_ = jx::openRegularBeneath(root_.fd(), hit.rel, O_RDONLY);
        if (source_) sourceBlocks_ = store->blocksOf(hit.fid);
    }
    *h = Holder{source_.get(), nullptr, 0, hit.offset, hit.fid};
    const auto at = std::lower_bound(
        sourceBlocks_.begin(), sourceBlocks_.end(), hit.offset,
        [](const JxLBFS::HashBlock& s, uint64_t off) { return s.block.offset < off; });
    if (at != sourceBlocks_.end() && at->block.offset == hit.offset && sameBlock(*at, b)) {
        h->list = &sourceBlocks_;
        h->index = static_cast<size_t>(at - sourceBlocks_.begin());
    }
    // An entry of another length cannot hold this content: stale.
    if (hit.length != b.block.length) h->fd = -1;
    return true;
}

// The end of the run that starts with block `from` in h: the announced
// blocks that follow it in the holder too.
size_t FlrTailLBFS::extendRun(const FlrTailLBFSFile& f, const Holder& h, size_t from,
                              size_t to) const {
    size_t end = from + 1;
    if (!h.list) return end;
    const std::vector<JxLBFS::HashBlock>& list = *h.list;
    uint64_t bytes = f.blocks[from].block.length;
    for (size_t k = h.index + 1; end < to && k < list.size(); ++k, ++end) {
        const JxLBFS::HashBlock& next = list[k];
        if (next.block.offset != list[k - 1].block.offset + list[k - 1].block.length ||
            !sameBlock(next, f.blocks[end]) || bytes + next.block.length > kMaxRun)
            break;
        bytes += next.block.length;
    }
    return end;
}

// Reads the run [from, to) from h and writes the blocks that match their
// hashes, up to the first that does not; returns how many were written.
size_t FlrTailLBFS::copyRun(FlrTailLBFSFile& f, const Holder& h, size_t from, size_t to,
                            FlrTailApplyStats& stats) {
    if (h.fd < 0) return 0;
    const uint64_t start = f.blocks[from].block.offset;
    const uint64_t len = f.blocks[to - 1].block.offset + f.blocks[to - 1].block.length - start;
    buf_.resize(len);
    const ssize_t got = jx::readFullAt(h.fd, buf_.data(), len, static_cast<int64_t>(h.offset));
    if (got <= 0) return 0;
    uint64_t good = 0;
    size_t end = from;
    for (; end < to; ++end) {
        const JxLBFS::HashBlock& b = f.blocks[end];
        if (good + b.block.length > static_cast<uint64_t>(got)) break;
        unsigned char hash[JxLBFS::HashBlock::kHashSize];
        Jxc::sha256(buf_.data() + good, b.block.length, hash);
        if (std::memcmp(hash, b.hash, sizeof hash) != 0) break;
        good += b.block.length;
    }
    if (good == 0) return 0;
    f.entry->writeAt(buf_.data(), good, static_cast<int64_t>(start));
    stats.reused += static_cast<long long>(good);
    return end - from;
}

// A holder whose bytes did not match: the store forgets the file, a stale
// old copy is not read again.
void FlrTailLBFS::dropHolder(FlrTailLBFSFile& f, const Holder& h) {
    if (h.fid == 0) {
        f.oldCopy.reset();
        return;
    }
    EvDebug::DebugLvl(kLocalFn, 2, "A content store entry is stale: its file's blocks are dropped");
    if (FlrTailStore* store = registry_.store()) store->forgetFile(h.fid);
    dropSource();
}

void FlrTailLBFS::placeLocal(FlrTailLBFSFile& f, size_t from, size_t to,
                             std::vector<size_t>* absent, FlrTailApplyStats& stats) {
    int stale = 0;
    for (size_t i = from; i < to;) {
        Holder h;
        if (!findHolder(f, f.blocks[i], &h)) {
            absent->push_back(i++);
            stale = 0;
            continue;
        }
        const size_t end = extendRun(f, h, i, to);
        const size_t placed = copyRun(f, h, i, end, stats);
        if (placed > 0) stale = 0;
        i += placed;
        if (i == end) continue;
        dropHolder(f, h);  // block i did not match where h said it was
        if (++stale >= kStaleTries) {
            absent->push_back(i++);
            stale = 0;
        }
    }
}
