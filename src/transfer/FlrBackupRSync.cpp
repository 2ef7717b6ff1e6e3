// The rsync-style delta sender: a window of one block slides over the local
// file; where it matches a block of the tail's copy (weak sum, then MD5) a
// copy reference is sent, everything else travels as literal data, all in
// file order so the tail rebuilds the file as the messages arrive.
#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <vector>

#include "FlrBackup.h"
#include "FlrBackupProgress.h"
#include "FlrBackupSenders.h"
#include "FlrBackupSource.h"
#include "digest/Jxc.h"
#include "net/FlrNetHead.h"
#include "platform/EvDebug.h"

namespace {

// The tail's blocks by weak sum, with a bit filter in front so the common
// miss at every byte offset costs one memory access.
class WeakIndex {
  public:
    explicit WeakIndex(const std::vector<FlrBackupChunkCSUM>& sums) {
        // About 16 bits per block keeps false hits rare; small files get a
        // small filter (it is cleared per file).
        while (shift_ > 12 && (1u << (32 - shift_)) < sums.size() * 16) --shift_;
        bits_.assign((1u << (32 - shift_)) / 64, 0);
        for (size_t i = 0; i < sums.size(); ++i) {
            map_.emplace(sums[i].weak, i);
            const uint32_t b = bit(sums[i].weak);
            bits_[b / 64] |= 1ULL << (b % 64);
        }
    }
    bool maybe(uint32_t weak) const {
        const uint32_t b = bit(weak);
        return (bits_[b / 64] >> (b % 64)) & 1;
    }
    auto candidates(uint32_t weak) const { return map_.equal_range(weak); }

  private:
    uint32_t bit(uint32_t weak) const { return (weak * 2654435761u) >> shift_; }
    unsigned shift_ = 26;  // 64 bits at least, 2^20 at most
    std::vector<uint64_t> bits_;
    std::unordered_multimap<uint32_t, size_t> map_;
};

}  // namespace

void FlrRSyncSender::send(FlrBackupItem& f, int fd) {
    const char* fn = "FlrBackup::sendRegFileRSync";
    const long long block = f.block > 0 ? f.block : ctx_.settings.hashChunkSize;
    const long long size = static_cast<long long>(f.st.st_size);
    const long long literalMax = buf_.size();
    const WeakIndex index(f.csums);

    // Local bytes [base, base + have) of the file; holds at least the
    // pending literal and the window.
    std::vector<unsigned char> win(static_cast<size_t>(std::min(literalMax + 2 * block, size + 1)));
    long long base = 0;
    long long have = 0;
    long long eof = size;
    auto fill = [&](long long from, long long to) {
        to = std::min(to, eof);
        if (to - base > static_cast<long long>(win.size())) {
            const long long drop = from - base;
            std::memmove(win.data(), win.data() + drop, static_cast<size_t>(have - drop));
            base = from;
            have -= drop;
        }
        while (base + have < to) {
            const long long room =
                std::min<long long>(static_cast<long long>(win.size()) - have, eof - (base + have));
            const int n = FlrBackupSource::readAll(fd, win.data() + have, static_cast<int>(room));
            have += n;
            if (n < room) {
                eof = base + have;  // the file shrank since the header
                break;
            }
        }
    };
    auto at = [&](long long off) { return win.data() + (off - base); };

    std::vector<long long> refOffsets;
    std::vector<long long> refLengths;
    auto flushRefs = [&]() {
        if (refOffsets.empty()) return;
        ctx_.head.sendMirRSync(static_cast<int>(refOffsets.size()), refOffsets.data(),
                               refLengths.data());
        refOffsets.clear();
        refLengths.clear();
    };
    auto addRef = [&](long long offset, long long length) {
        if (!refOffsets.empty() && refOffsets.back() + refLengths.back() == offset) {
            refLengths.back() += length;
            return;
        }
        if (static_cast<int>(refOffsets.size()) == FlrBackup::kRSyncRefsPerMessage) flushRefs();
        refOffsets.push_back(offset);
        refLengths.push_back(length);
    };
    auto sendLiteral = [&](long long from, long long to) {
        if (to <= from) return;
        flushRefs();
        EvDebug::DebugLvl(fn, 2, "[%lld-%lld] %s => %s", from, to - 1, f.src.c_str(),
                          f.dst.c_str());
        ctx_.head.sendMirData(at(from), static_cast<int>(to - from));
        progress_.countBytes(to - from);
        progress_.reportIfDue(fn);
    };
    // A match is usually followed by more, one block further each: where a
    // match ended (or at the start), the windows at p, p + block, ... already
    // in memory are digested together in vector lanes, and later lookups take
    // their digest from here. Elsewhere a weak hit is digested alone, so
    // hits that do not pan out cost no more than before.
    constexpr int kAhead = 32;
    long long matchEnd = 0;
    long long aheadFrom = -1;
    int aheadCount = 0;
    unsigned char ahead[kAhead][16];
    auto digestOf = [&](long long p, long long len, unsigned char out[16]) {
        if (len == block && aheadFrom >= 0 && p >= aheadFrom && (p - aheadFrom) % block == 0 &&
            (p - aheadFrom) / block < aheadCount) {
            std::memcpy(out, ahead[(p - aheadFrom) / block], 16);
            return;
        }
        const bool sampled = ctx_.samples.local.tryTake();
        const uint64_t t0 = FlrAdaptiveMD5::nowMicros();
        const long long loaded = std::min<long long>((base + have - p) / block, kAhead);
        long long bytes = len;
        if (len != block || loaded < 2 || p != matchEnd) {
            Jxc::md5(at(p), static_cast<size_t>(len), out);
        } else {
            const unsigned char* windows[kAhead];
            for (int i = 0; i < loaded; ++i) windows[i] = at(p + i * block);
            Jxc::md5Many(windows, static_cast<size_t>(loaded), static_cast<size_t>(block), ahead);
            aheadFrom = p;
            aheadCount = static_cast<int>(loaded);
            std::memcpy(out, ahead[0], 16);
            bytes = loaded * block;
        }
        if (sampled)
            ctx_.samples.add(1, static_cast<unsigned long long>(bytes),
                             FlrAdaptiveMD5::nowMicros() - t0);
    };
    // The tail block the window [p, p + len) repeats, or -1.
    auto match = [&](long long p, long long len, uint32_t weak) -> long long {
        if (!index.maybe(weak)) return -1;
        unsigned char digest[16];
        bool hashed = false;
        auto range = index.candidates(weak);
        for (auto it = range.first; it != range.second; ++it) {
            const FlrBackupChunkCSUM& c = f.csums[it->second];
            if (c.length != static_cast<uint32_t>(len)) continue;
            if (!hashed) digestOf(p, len, digest);
            hashed = true;
            if (std::memcmp(digest, c.md5, sizeof digest) == 0)
                return static_cast<long long>(c.index) * block;
        }
        return -1;
    };

    long long p = 0;
    long long literal = 0;
    bool haveSum = false;
    uint32_t sum = 0;
    unsigned steps = 0;
    fill(0, block + 1);
    while (p + block <= eof) {
        if ((++steps & 0xFFFF) == 0) ctx_.checkAbort(fn);
        fill(literal, p + block + 1);
        if (p + block > eof) break;
        if (!haveSum) sum = Jxc::rsync(at(p), static_cast<size_t>(block));
        haveSum = true;
        const long long tailOffset = match(p, block, sum);
        if (tailOffset >= 0) {
            sendLiteral(literal, p);
            addRef(tailOffset, block);
            p += block;
            literal = p;
            matchEnd = p;
            haveSum = false;
            continue;
        }
        if (p + block < eof)
            sum = Jxc::rsyncRoll(sum, static_cast<size_t>(block), *at(p), *at(p + block));
        else
            haveSum = false;
        ++p;
        if (p - literal >= literalMax) {
            sendLiteral(literal, p);
            literal = p;
        }
    }
    // Less than a block is left: it can only repeat the tail's short last
    // block, and only where the file ends.
    fill(literal, eof);
    const FlrBackupChunkCSUM* shortLast = f.csums.empty() ? nullptr : &f.csums.back();
    if (shortLast && shortLast->length < block && eof - shortLast->length >= p) {
        const long long q = eof - shortLast->length;
        const long long tailOffset =
            match(q, shortLast->length, Jxc::rsync(at(q), shortLast->length));
        if (tailOffset >= 0) {
            sendLiteral(literal, q);
            addRef(tailOffset, shortLast->length);
            literal = eof;
        }
    }
    while (literal < eof) {
        const long long to = std::min(eof, literal + literalMax);
        sendLiteral(literal, to);
        literal = to;
    }
    flushRefs();
}
