// The head's cache of LBFS block lists.
//
// File layout (big-endian): "FLRLBC1\n", run number (8), entry count (8),
// entries, SHA-256 of everything before it. An entry: device, inode, size,
// mtime in ns (8 each), last run (8), path length (4), path, block count (4),
// then per block its length (2) and hash (32).
#include "FlrLBFSBlockCache.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <vector>

#include "FLR/JxException.h"
#include "digest/Jxc.h"
#include "platform/EvDebug.h"
#include "platform/JxCoding.h"
#include "platform/JxFile.h"

namespace {

const char* const kBlockCacheFn = "FlrLBFSBlockCache";
constexpr char kBlockCacheMagic[] = "FLRLBC1\n";
constexpr size_t kMagicSize = 8;
constexpr size_t kBlockHashSize = JxLBFS::HashBlock::kHashSize;
constexpr size_t kBlockRecord = 2 + kBlockHashSize;

// A bounds-checked reader over the loaded file.
struct Reader {
    const unsigned char* p;
    size_t left;
    bool take(size_t n, const unsigned char** at) {
        if (n > left) return false;
        *at = p;
        p += n;
        left -= n;
        return true;
    }
    bool u64(uint64_t* v) {
        const unsigned char* at;
        if (!take(8, &at)) return false;
        *v = jx::loadBE64(at);
        return true;
    }
    bool u32(uint32_t* v) {
        const unsigned char* at;
        if (!take(4, &at)) return false;
        *v = jx::loadBE32(at);
        return true;
    }
};

void putU64(std::string& out, uint64_t v) {
    unsigned char b[8];
    jx::storeBE64(b, v);
    out.append(reinterpret_cast<const char*>(b), 8);
}

void putU32(std::string& out, uint32_t v) {
    unsigned char b[4];
    jx::storeBE32(b, v);
    out.append(reinterpret_cast<const char*>(b), 4);
}

int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

}  // namespace

size_t FlrLBFSBlockCache::KeyHash::operator()(const Key& k) const {
    uint64_t h = k.ino * 0x9E3779B97F4A7C15ULL;
    h ^= k.dev + 0x632BE59BD9B4E019ULL + (h << 6) + (h >> 2);
    h ^= static_cast<uint64_t>(k.mtimeNs) + (h << 6) + (h >> 2);
    h ^= k.size + (h << 6) + (h >> 2);
    return static_cast<size_t>(h);
}

FlrLBFSBlockCache::Key FlrLBFSBlockCache::keyOf(const struct stat& st) {
    Key k;
    k.dev = static_cast<uint64_t>(st.st_dev);
    k.ino = static_cast<uint64_t>(st.st_ino);
    k.size = static_cast<uint64_t>(st.st_size);
    k.mtimeNs = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
    return k;
}

FlrLBFSBlockCache::FlrLBFSBlockCache(std::string file, size_t maxBlocks)
    : file_(std::move(file)), maxBlocks_(maxBlocks) {
    if (file_.empty()) return;
    std::string data;
    try {
        if (!jx::readFileIfExists(file_, &data, "LBFS block cache", kBlockCacheFn)) return;
    } catch (const JxException& e) {
        EvDebug::Error(kBlockCacheFn, "%s; starting with an empty cache", e.getMessage().c_str());
        return;
    }
    if (!load(data)) {
        EvDebug::Error(kBlockCacheFn,
                       "LBFS block cache %s is damaged; starting with an empty cache",
                       file_.c_str());
        entries_.clear();
        run_ = 1;
    }
}

bool FlrLBFSBlockCache::load(const std::string& data) {
    if (data.size() < kMagicSize + 16 + kBlockHashSize ||
        std::memcmp(data.data(), kBlockCacheMagic, kMagicSize) != 0)
        return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
    const size_t body = data.size() - kBlockHashSize;
    unsigned char digest[kBlockHashSize];
    Jxc::sha256(bytes, body, digest);
    if (std::memcmp(digest, bytes + body, kBlockHashSize) != 0) return false;
    Reader r{bytes + kMagicSize, body - kMagicSize};
    uint64_t run = 0, count = 0;
    if (!r.u64(&run) || !r.u64(&count)) return false;
    run_ = run + 1;
    for (uint64_t i = 0; i < count; ++i) {
        Key k;
        uint64_t mtime = 0, lastUse = 0;
        uint32_t pathLen = 0, blocks = 0;
        const unsigned char* at = nullptr;
        if (!r.u64(&k.dev) || !r.u64(&k.ino) || !r.u64(&k.size) || !r.u64(&mtime) ||
            !r.u64(&lastUse) || !r.u32(&pathLen) || !r.take(pathLen, &at))
            return false;
        k.mtimeNs = static_cast<int64_t>(mtime);
        Entry e;
        e.path.assign(reinterpret_cast<const char*>(at), pathLen);
        e.lastUse = lastUse;
        if (!r.u32(&blocks) || blocks > r.left / kBlockRecord ||
            !r.take(size_t{blocks} * kBlockRecord, &at))
            return false;
        e.blocks.assign(reinterpret_cast<const char*>(at), size_t{blocks} * kBlockRecord);
        entries_[k] = std::move(e);
    }
    return r.left == 0;
}

bool FlrLBFSBlockCache::lookup(const Key& key, const std::string& path,
                               std::list<JxLBFS::HashBlock>* blocks) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = entries_.find(key);
    if (it == entries_.end()) return false;
    Entry& e = it->second;
    blocks->clear();
    uint64_t offset = 0;
    const auto* p = reinterpret_cast<const unsigned char*>(e.blocks.data());
    for (size_t at = 0; at + kBlockRecord <= e.blocks.size(); at += kBlockRecord) {
        JxLBFS::HashBlock b;
        b.block.offset = offset;
        b.block.length = jx::loadBE16(p + at);
        std::memcpy(b.hash, p + at + 2, kBlockHashSize);
        offset += b.block.length;
        blocks->push_back(b);
    }
    // A list that does not cover the file exactly is not this file's.
    if (offset != key.size) {
        entries_.erase(it);
        blocks->clear();
        return false;
    }
    e.path = path;
    e.lastUse = run_;
    ++hits_;
    return true;
}

void FlrLBFSBlockCache::insert(const struct stat& before, const struct stat& after,
                               const std::string& path,
                               const std::list<JxLBFS::HashBlock>& blocks) {
    const Key key = keyOf(before);
    if (!(keyOf(after) == key) || blocks.empty()) return;
    if (nowNs() - key.mtimeNs < int64_t{kSettleSeconds} * 1000000000) return;
    Entry e;
    e.path = path;
    e.lastUse = run_;
    e.blocks.reserve(blocks.size() * kBlockRecord);
    uint64_t offset = 0;
    for (const JxLBFS::HashBlock& b : blocks) {
        if (b.block.offset != offset || b.block.length == 0 || b.block.length > 0xFFFF) return;
        unsigned char len[2];
        jx::storeBE16(len, static_cast<uint16_t>(b.block.length));
        e.blocks.append(reinterpret_cast<const char*>(len), 2);
        e.blocks.append(reinterpret_cast<const char*>(b.hash), kBlockHashSize);
        offset += b.block.length;
    }
    if (offset != key.size) return;
    std::lock_guard<std::mutex> lock(mutex_);
    entries_[key] = std::move(e);
}

// Entries this run did not use are kept only while their file is unchanged
// under the path they were last seen at.
void FlrLBFSBlockCache::dropVanished() {
    for (auto it = entries_.begin(); it != entries_.end();) {
        struct stat st {};
        const bool keep =
            it->second.lastUse == run_ || (jx::fileOps().lstat(it->second.path.c_str(), &st) == 0 &&
                                           S_ISREG(st.st_mode) && keyOf(st) == it->first);
        it = keep ? std::next(it) : entries_.erase(it);
    }
}

void FlrLBFSBlockCache::bound() {
    size_t total = 0;
    for (const auto& [key, e] : entries_) total += e.blocks.size() / kBlockRecord;
    if (total <= maxBlocks_) return;
    std::vector<std::pair<uint64_t, Key>> byUse;
    byUse.reserve(entries_.size());
    for (const auto& [key, e] : entries_) byUse.emplace_back(e.lastUse, key);
    std::sort(byUse.begin(), byUse.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [use, key] : byUse) {
        if (total <= maxBlocks_) break;
        auto it = entries_.find(key);
        total -= it->second.blocks.size() / kBlockRecord;
        entries_.erase(it);
    }
}

std::string FlrLBFSBlockCache::encode() {
    std::string out(kBlockCacheMagic, kMagicSize);
    putU64(out, run_);
    putU64(out, entries_.size());
    for (const auto& [k, e] : entries_) {
        putU64(out, k.dev);
        putU64(out, k.ino);
        putU64(out, k.size);
        putU64(out, static_cast<uint64_t>(k.mtimeNs));
        putU64(out, e.lastUse);
        putU32(out, static_cast<uint32_t>(e.path.size()));
        out += e.path;
        putU32(out, static_cast<uint32_t>(e.blocks.size() / kBlockRecord));
        out += e.blocks;
    }
    unsigned char digest[kBlockHashSize];
    Jxc::sha256(out.data(), out.size(), digest);
    out.append(reinterpret_cast<const char*>(digest), kBlockHashSize);
    return out;
}

bool FlrLBFSBlockCache::save() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (file_.empty()) return true;
    dropVanished();
    bound();
    try {
        jx::replaceFile(file_, encode(), 0600, "LBFS block cache", kBlockCacheFn);
    } catch (const JxException& e) {
        // Only speed depends on it: the next run cuts its files again.
        EvDebug::Error(kBlockCacheFn, "%s", e.getMessage().c_str());
        return false;
    }
    return true;
}

size_t FlrLBFSBlockCache::entries() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return entries_.size();
}

unsigned long long FlrLBFSBlockCache::hits() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return hits_;
}
