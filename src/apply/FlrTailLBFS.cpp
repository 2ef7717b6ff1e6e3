// LBFS transfers on the tail: one session's side of the exchange (the
// registry the sessions share is in FlrTailLBFSRegistry.cpp).
#include "FlrTailLBFS.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <list>
#include <unordered_map>

#include "FLR/JxException.h"
#include "FlrTailApplyEntry.h"
#include "FlrTailLBFSFile.h"
#include "FlrTailStore.h"
#include "digest/Jxc.h"
#include "net/FlrNetTail.h"
#include "platform/EvDebug.h"
#include "platform/JxDirFd.h"

namespace {

const char* const kTailLbfsFn = "FlrTailLBFS";
constexpr int kHashSize = JxLBFS::HashBlock::kHashSize;
// What a block still waits for.
constexpr uint8_t kAsked = 1;  // its LBFS_BLOCK
constexpr uint8_t kCopy = 2;   // an earlier block of the same content

// Adjacent missing blocks are asked for as one range, up to the piece the
// head sends in one LBFS_BLOCK, so a range always comes back whole: one
// request entry and one reply per run of blocks instead of per block.
constexpr uint64_t kMaxRange = 4u << 20;

std::list<JxLBFS::Block> asRanges(const std::vector<JxLBFS::Block>& blocks) {
    std::list<JxLBFS::Block> ranges;
    for (const JxLBFS::Block& b : blocks) {
        if (!ranges.empty()) {
            JxLBFS::Block& last = ranges.back();
            if (last.offset + last.length == b.offset && last.length + b.length <= kMaxRange) {
                last.length += b.length;
                continue;
            }
        }
        ranges.push_back(b);
    }
    return ranges;
}

}  // namespace

// --- one session ---------------------------------------------------------------------

FlrTailLBFS::FlrTailLBFS(FlrTailLBFSRegistry& registry, const FlrTailRoot& root,
                         const FlrTailApplier::Options& options, Finished finished)
    : registry_(registry),
      root_(root),
      options_(options),
      finished_(std::move(finished)),
      id_(registry.newAgent()) {}

FlrTailLBFS::~FlrTailLBFS() {
    registry_.forgetAgent(id_);
}

FlrTailLBFS::FilePtr FlrTailLBFS::begin(std::unique_ptr<FlrTailApplyEntry>& entry,
                                        const FlrNetLBFSStart& m, FlrTailApplyStats& stats) {
    if (!entry) {
        EvDebug::DebugLvl(kTailLbfsFn, 2, "Block list of %s ignored: its entry is not applied",
                          m.path ? m.path : "");
        return nullptr;
    }
    if (entry->keeping()) return nullptr;
    if (entry->method() != FlrNetMirHeader::kLBFS ||
        entry->kind() != FlrTailApplyEntry::Kind::File) {
        EvDebug::Error(kTailLbfsFn, "LBFS block list inside a method %d entry of %s: not applied",
                       entry->method(), entry->rel().c_str());
        ++stats.failed;
        entry.reset();
        return nullptr;
    }
    auto f = std::make_shared<FlrTailLBFSFile>();
    f->origin = id_;
    f->rel = entry->rel();
    f->headPath = m.path ? m.path : "";
    f->headFid = m.fid ? m.fid : "";
    f->entry = std::move(entry);
    f->ticket.reset(new FlrTailLBFSTicket{registry_, id_, f->rel});
    registry_.add(f);
    return f;
}

void FlrTailLBFS::start(std::unique_ptr<FlrTailApplyEntry>& entry, const FlrNetLBFSStart& m,
                        FlrNetTail* reply, FlrTailApplyStats& stats) {
    if (!current_) current_ = begin(entry, m, stats);
    if (!current_) return;
    FlrTailLBFSFile& f = *current_;
    std::vector<JxLBFS::Block> missing;
    {
        std::lock_guard<std::mutex> lock(f.fileMutex);
        if (f.over) return;
        try {
            if (!addChunk(f, m, &missing, stats)) return;
        } catch (const JxException& e) {
            fail(f, e.getMessage(), stats);
            return;
        }
        if (m.last) {
            f.listDone = true;
            // Only the block list reads the old copy: don't hold a descriptor
            // per file while blocks are awaited.
            f.oldCopy.reset();
            f.oldList = {};
            f.oldByHash = {};
        }
        if (missing.empty()) return;
        if (!reply) {
            fail(f, "there is no link to ask the head for its blocks", stats);
            return;
        }
        ++f.requestsOut;  // before the request: its blocks may come at once
    }
    stats.requested += static_cast<long long>(missing.size());
    const std::list<JxLBFS::Block> request = asRanges(missing);
    reply->sendLBFSBlockReq(f.headPath.c_str(), f.headFid.c_str(), f.token, request);
}

bool FlrTailLBFS::addChunk(FlrTailLBFSFile& f, const FlrNetLBFSStart& m,
                           std::vector<JxLBFS::Block>* missing, FlrTailApplyStats& stats) {
    if (f.listDone) {
        fail(f, "a block list came after its last chunk", stats);
        return false;
    }
    if (f.blocks.size() + static_cast<size_t>(std::max(m.count, 0)) > kMaxFileBlocks) {
        fail(f, jxFormat("a block list of more than %zu blocks", FlrTailLBFS::kMaxFileBlocks),
             stats);
        return false;
    }
    if (!f.oldIndexed) indexOldCopy(f);
    const uint64_t size = static_cast<uint64_t>(f.entry->size());
    const size_t first = f.blocks.size();
    if (m.count > 0 && !registry_.holdBlocks(id_, static_cast<size_t>(m.count))) {
        fail(f,
             jxFormat("its block lists would hold more than %zu blocks in this session; it is "
                      "refused",
                      FlrTailLBFSRegistry::kMaxBlocksPerSession),
             stats);
        return false;
    }
    if (f.ticket) f.ticket->blocks += static_cast<size_t>(m.count);
    for (int i = 0; i < m.count; ++i) {
        JxLBFS::HashBlock b;
        b.block.offset = m.offsetAt(i);
        b.block.length = m.lengthAt(i);
        std::memcpy(b.hash, m.hashes[i], kHashSize);
        // The blocks tile the file from offset 0: no gap, no overlap.
        // Only a file's last block is shorter than the chunker's minimum.
        const bool last = b.block.offset + b.block.length >= size;
        if (b.block.offset != f.end || b.block.length == 0 ||
            b.block.length > JxLBFS::kMaxBlockSize ||
            (b.block.length < JxLBFS::kMinBlockSize && !last)) {
            fail(f,
                 jxFormat("block [%llu+%u] is out of place (expected at %llu)",
                          (unsigned long long)b.block.offset, b.block.length,
                          (unsigned long long)f.end),
                 stats);
            return false;
        }
        f.end += b.block.length;
        // The file grew after the head took its size: what lies beyond is cut.
        if (b.block.offset >= size) continue;
        f.blocks.push_back(b);
        f.wanted.push_back(0);
    }
    std::vector<size_t> absent;
    placeLocal(f, first, f.blocks.size(), &absent, stats);
    for (const size_t at : absent) {
        ++f.missing;
        // Repeated content (zeros, say) is asked for once.
        const BlockHash key = hashKey(f.blocks[at].hash);
        if (auto asked = f.askedByHash.find(key); asked != f.askedByHash.end()) {
            f.wanted[at] = kCopy;
            f.copies.emplace(asked->second, at);
            continue;
        }
        f.wanted[at] = kAsked;
        f.askedByHash.emplace(key, at);
        missing->push_back(f.blocks[at].block);
    }
    return true;
}

void FlrTailLBFS::acl(const void* data, size_t len, FlrTailApplyStats& stats) {
    if (!current_) return;
    std::lock_guard<std::mutex> lock(current_->fileMutex);
    if (current_->over) return;
    try {
        current_->entry->acl(data, len);
    } catch (const JxException& e) {
        fail(*current_, e.getMessage(), stats);
    }
}

void FlrTailLBFS::eof(FlrTailApplyStats& stats) {
    const FilePtr f = std::move(current_);
    current_.reset();
    dropSource();  // no deleted file kept open between files
    if (!f) return;
    std::unique_ptr<FlrTailApplyEntry> done;
    {
        std::lock_guard<std::mutex> lock(f->fileMutex);
        if (f->over) return;
        f->eofSeen = true;
        if (!f->listDone) {
            fail(*f, "its MIR_EOF came before the end of its block list", stats);
            return;
        }
        done = completeIfReady(*f, stats);
    }
    if (done) hand(std::move(done), f->origin);
}

void FlrTailLBFS::block(const FlrNetLBFSBlock& m, FlrTailApplyStats& stats) {
    const FilePtr f = registry_.find(m.value);
    if (!f) {
        EvDebug::DebugLvl(kTailLbfsFn, 2, "Block [%llu+%u] for no pending file ignored",
                          (unsigned long long)m.offset, m.length);
        return;
    }
    std::lock_guard<std::mutex> lock(f->fileMutex);
    if (f->over) return;
    uint64_t none = 0;
    f->feeder.compare_exchange_strong(none, id_);
    auto it = std::lower_bound(
        f->blocks.begin(), f->blocks.end(), m.offset,
        [](const JxLBFS::HashBlock& b, uint64_t off) { return b.block.offset < off; });
    const size_t first = static_cast<size_t>(it - f->blocks.begin());
    const std::string where = jxFormat("block [%llu+%u]", (unsigned long long)m.offset, m.length);
    // A range of asked-for blocks, each checked on its own before any is
    // written.
    size_t end = first;
    uint64_t covered = 0;
    while (covered < m.length && end < f->blocks.size() &&
           f->blocks[end].block.offset == m.offset + covered && f->wanted[end] == kAsked) {
        covered += f->blocks[end].block.length;
        ++end;
    }
    if (end == first || covered != m.length) {
        ++stats.rejected;
        fail(*f, where + " was not asked for", stats);
        return;
    }
    const auto* data = static_cast<const unsigned char*>(m.data);
    for (size_t i = first; i < end; ++i) {
        const JxLBFS::HashBlock& b = f->blocks[i];
        unsigned char hash[kHashSize];
        Jxc::sha256(data + (b.block.offset - m.offset), b.block.length, hash);
        if (std::memcmp(hash, b.hash, kHashSize) != 0) {
            ++stats.rejected;
            fail(*f, where + " does not match the hash the head announced", stats);
            return;
        }
    }
    try {
        f->entry->writeAt(data, m.length, static_cast<int64_t>(m.offset));
        for (size_t i = first; i < end; ++i) {
            const JxLBFS::HashBlock& b = f->blocks[i];
            const unsigned char* at = data + (b.block.offset - m.offset);
            f->wanted[i] = 0;
            --f->missing;
            auto [from, to] = f->copies.equal_range(i);
            for (auto c = from; c != to; ++c) {
                f->entry->writeAt(at, b.block.length,
                                  static_cast<int64_t>(f->blocks[c->second].block.offset));
                f->wanted[c->second] = 0;
                --f->missing;
                stats.reused += b.block.length;
            }
        }
    } catch (const JxException& e) {
        fail(*f, e.getMessage(), stats);
        return;
    }
    stats.bytes += m.length;
    registry_.progress(f->origin);
}

void FlrTailLBFS::done(uint64_t token, FlrTailApplyStats& stats) {
    const FilePtr f = registry_.find(token);
    if (!f) {
        EvDebug::DebugLvl(kTailLbfsFn, 2, "LBFS_DONE for no pending file ignored");
        return;
    }
    std::unique_ptr<FlrTailApplyEntry> complete;
    {
        std::lock_guard<std::mutex> lock(f->fileMutex);
        if (f->over) return;
        uint64_t none = 0;
        f->feeder.compare_exchange_strong(none, id_);
        if (f->requestsOut <= 0) {
            fail(*f, "LBFS_DONE came without a request", stats);
            return;
        }
        // Blocks of a request come before its LBFS_DONE.
        if (--f->requestsOut == 0 && f->missing > 0) {
            fail(*f, jxFormat("the head did not send %zu of the blocks asked for", f->missing),
                 stats);
            return;
        }
        registry_.progress(f->origin);
        complete = completeIfReady(*f, stats);
    }
    if (complete) hand(std::move(complete), f->origin);
}

std::unique_ptr<FlrTailApplyEntry> FlrTailLBFS::completeIfReady(FlrTailLBFSFile& f,
                                                                FlrTailApplyStats& stats) {
    if (f.over || !f.eofSeen || !f.listDone || f.missing > 0 || f.requestsOut > 0) return nullptr;
    try {
        f.entry->finish(stats);
    } catch (const JxException& e) {
        fail(f, e.getMessage(), stats);
        return nullptr;
    }
    f.over = true;
    registry_.remove(f);
    // A block the size cut short is not the file's any more.
    const uint64_t size = static_cast<uint64_t>(f.entry->size());
    while (!f.blocks.empty() && f.blocks.back().block.offset + f.blocks.back().block.length > size)
        f.blocks.pop_back();
    auto blocks = std::make_shared<const std::vector<JxLBFS::HashBlock>>(std::move(f.blocks));
    f.wanted.clear();
    f.askedByHash.clear();
    f.copies.clear();
    // Recorded once the file has its name; the ticket settles the file when
    // the entry goes, renamed or not.
    f.entry->placed = [store = registry_.store(), rel = f.rel, blocks,
                       ticket = std::move(f.ticket)] {
        (void)ticket;
        if (store) store->record(rel, *blocks);
    };
    return std::move(f.entry);
}

void FlrTailLBFS::hand(std::unique_ptr<FlrTailApplyEntry> entry, uint64_t origin) {
    if (origin == id_) {
        ++ownInBatch_;  // before: a full batch commits in finished_
        finished_(std::move(entry), false);
        return;
    }
    if (registry_.awaited(origin)) {
        finished_(std::move(entry), true);
        return;
    }
    // Without batches every file is put in place at once anyway.
    if (options_.syncFiles && registry_.park(origin, id_, entry)) return;
    // Its session has ended, or this session parked enough: all of them go
    // in place now, in one commit.
    FlrTailLBFSRegistry::Entries entries = registry_.unparkFedBy(id_);
    entries.push_back(std::move(entry));
    place(std::move(entries));
}

void FlrTailLBFS::placeParked() {
    place(registry_.unpark(id_), true, true);
    place(registry_.unparkFedBy(id_));
}

void FlrTailLBFS::place(FlrTailLBFSRegistry::Entries entries, bool commit, bool own) {
    for (size_t i = 0; i < entries.size(); ++i) {
        if (own) ++ownInBatch_;  // before: a full batch commits in finished_
        finished_(std::move(entries[i]), commit && i + 1 == entries.size());
    }
}

void FlrTailLBFS::fail(FlrTailLBFSFile& f, const std::string& why, FlrTailApplyStats& stats) {
    if (f.over) return;
    f.over = true;
    EvDebug::Error(kTailLbfsFn, "LBFS transfer of %s failed: %s; it is not applied", f.rel.c_str(),
                   why.c_str());
    ++stats.failed;
    f.entry.reset();  // the temporary goes, the old copy stays
    f.blocks = {};
    f.wanted = {};
    f.askedByHash = {};
    f.copies = {};
    registry_.remove(f);
    f.ticket.reset();
}

void FlrTailLBFS::abandon(const std::vector<FilePtr>& files, const char* why,
                          FlrTailApplyStats& stats) {
    for (const FilePtr& f : files) {
        std::lock_guard<std::mutex> lock(f->fileMutex);
        if (f->over) continue;
        f->over = true;
        EvDebug::Error(kTailLbfsFn, "%s: %s arrived incomplete and was not applied", why,
                       f->rel.c_str());
        ++stats.cut;
        f->entry.reset();
        f->blocks = {};
        f->wanted = {};
        registry_.remove(*f);
        f->ticket.reset();
    }
}

void FlrTailLBFS::dropOpen(FlrTailApplyStats& stats) {
    if (!current_) return;
    const FilePtr f = std::move(current_);
    current_.reset();
    abandon({f}, "its MIR_EOF never came", stats);
}

void FlrTailLBFS::settle(const std::atomic<bool>* stop, FlrTailApplyStats& stats, int idleSeconds,
                         const std::function<bool()>& gone, int goneSeconds, bool commit) {
    if (idleSeconds < 0) idleSeconds = options_.lbfsIdleSeconds;
    // Files this session completed for others are committed now, also when
    // gathering: a ping's answer means they are in place, and left in the
    // batch they could wait for this session's commit while it waits for
    // its own files.
    place(registry_.unparkFedBy(id_));
    if (registry_.waitSettled(
            id_, stop, idleSeconds, gone, goneSeconds,
            [this, commit](FlrTailLBFSRegistry::Entries e) { place(std::move(e), commit, true); },
            commit ? nullptr : &ownInBatch_))
        return;
    const std::vector<FilePtr> left = registry_.takeBegunBy(id_);
    if (left.empty()) return;
    const std::string why = stop && stop->load() ? std::string("the tail is stopping")
                            : gone && gone()
                                ? std::string("the head hung up and no block came")
                                : jxFormat("no block came for %d seconds", idleSeconds);
    abandon(left, why.c_str(), stats);
}

void FlrTailLBFS::endSession(FlrTailApplyStats& stats) {
    dropOpen(stats);
    registry_.close(id_);
    place(registry_.unpark(id_));
    place(registry_.unparkFedBy(id_));
    abandon(registry_.takeFedBy(id_), "the connection bringing its blocks ended", stats);
    abandon(registry_.takeBegunBy(id_), "the connection that began it ended", stats);
}
