#include "JxLBFS.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>

#include <algorithm>
#include <array>

#include "Jxc.h"
#include "platform/JxFile.h"

namespace JxLBFS {

namespace {

const char* const kLbfsSource = "JxLBFS.cpp";

// The gear table: 256 fixed pseudo-random words from splitmix64 with a fixed
// seed, computed at compile time, so every build on every host cuts alike.
// Never change the seed: stored blocks of existing replicas would stop
// matching the blocks a new build cuts.
constexpr uint64_t kGearSeed = 0x464c52474541520bULL;

constexpr uint64_t splitmix64(uint64_t& state) {
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

constexpr std::array<uint64_t, 256> makeGear(int shift) {
    std::array<uint64_t, 256> gear{};
    uint64_t state = kGearSeed;
    for (auto& g : gear) g = splitmix64(state) << shift;
    return gear;
}

constexpr std::array<uint64_t, 256> kGear = makeGear(0);
// The same words shifted once: two bytes per step (see scanRegion).
constexpr std::array<uint64_t, 256> kGearShifted = makeGear(1);

// Bit k of the hash depends on the last k + 1 bytes only, so with the masks
// in bits 48..62 a cut point depends on the 63 bytes before it and no more.
// Bit 63 stays out of the masks: the two-byte step tests the first byte's
// hash shifted left once, which would push bit 63 out.
constexpr int kWindow = 64;
constexpr uint64_t topMask(int bits) {
    return ((uint64_t{1} << bits) - 1) << (63 - bits);
}
// Normalised chunking: two more bits than the average asks for before the
// average size (cuts rarer), two fewer after it (cuts likelier).
constexpr uint64_t kMaskStrict = topMask(15);
constexpr uint64_t kMaskLoose = topMask(11);
static_assert((kMaskStrict & kMaskLoose) == kMaskLoose);
static_assert(kMinBlockSize >= kWindow && kAvgBlockSize > kMinBlockSize);

// Hashes p[i..end) into h and tests the mask after each byte. Returns the
// index just past the first byte whose hash passes, or 0 when none does.
// Two bytes per step: shifting by two and adding the first byte's word
// pre-shifted gives twice the first byte's hash, which the shifted mask tests.
template <uint64_t kMask>
inline size_t scanRegion(const unsigned char* p, size_t i, size_t end, uint64_t& hash) {
    constexpr uint64_t kMaskShifted = kMask << 1;
    uint64_t h = hash;  // a local: the byte loads could otherwise alias it
    for (; i + 2 <= end; i += 2) {
        h = (h << 2) + kGearShifted[p[i]];
        if ((h & kMaskShifted) == 0) [[unlikely]]
            return i + 1;
        h += kGear[p[i + 1]];
        if ((h & kMask) == 0) [[unlikely]]
            return i + 2;
    }
    if (i < end) {
        h = (h << 1) + kGear[p[i]];
        if ((h & kMask) == 0) return i + 1;
    }
    hash = h;
    return 0;
}

// Below the average size, where most of each block's hashing happens, the
// bytes are known up front (a fixed span), so four independent hashes run
// over four quarters of the span at once: each starts kWindow - 1 bytes early,
// which gives it the same values a single pass would have, while the
// processor overlaps the four dependency chains. Returns the first cut in the
// span or 0; h becomes the hash at the span's end.
constexpr size_t kStrictBegin = kMinBlockSize - 1;  // index of the first byte tested
constexpr size_t kStrictEnd = kAvgBlockSize - 1;
constexpr size_t kLanes = 4;
constexpr size_t kLaneLen = (kStrictEnd - kStrictBegin) / kLanes;
static_assert(kLaneLen * kLanes == kStrictEnd - kStrictBegin);

size_t scanStrictLanes(const unsigned char* blk, uint64_t& h) {
    const unsigned char* p = blk + kStrictBegin - (kWindow - 1);
    uint64_t h0 = 0, h1 = 0, h2 = 0, h3 = 0;
    for (size_t j = 0; j < kWindow - 1; ++j) {
        h0 = (h0 << 1) + kGear[p[j]];
        h1 = (h1 << 1) + kGear[p[j + kLaneLen]];
        h2 = (h2 << 1) + kGear[p[j + 2 * kLaneLen]];
        h3 = (h3 << 1) + kGear[p[j + 3 * kLaneLen]];
    }
    p += kWindow - 1;
    // The loop leaves on any lane's hit; the lanes' first hits are sorted out
    // off the hot path, and the loop resumes.
    size_t first[kLanes] = {};
    for (size_t j = 0;; ++j) {
        for (; j < kLaneLen; ++j) {
            h0 = (h0 << 1) + kGear[p[j]];
            h1 = (h1 << 1) + kGear[p[j + kLaneLen]];
            h2 = (h2 << 1) + kGear[p[j + 2 * kLaneLen]];
            h3 = (h3 << 1) + kGear[p[j + 3 * kLaneLen]];
            if ((h0 & kMaskStrict) == 0) [[unlikely]]
                break;
            if ((h1 & kMaskStrict) == 0) [[unlikely]]
                break;
            if ((h2 & kMaskStrict) == 0) [[unlikely]]
                break;
            if ((h3 & kMaskStrict) == 0) [[unlikely]]
                break;
        }
        if (j == kLaneLen) break;
        if ((h0 & kMaskStrict) == 0) return kStrictBegin + j + 1;  // lane 0 comes first
        const uint64_t lanes[kLanes] = {h0, h1, h2, h3};
        for (size_t k = 1; k < kLanes; ++k)
            if ((lanes[k] & kMaskStrict) == 0 && first[k] == 0)
                first[k] = kStrictBegin + k * kLaneLen + j + 1;
    }
    h = h3;
    for (const size_t cut : first)
        if (cut != 0) return cut;
    return 0;
}

// Progress of the scan through the block under way: bytes hashed so far
// (from the block's start) and the hash over them. A scan stopped for want of
// data resumes here when more arrives.
struct ScanState {
    size_t pos = 0;
    uint64_t h = 0;
};

// The cut of the block at blk[0] among the avail bytes seen so far: its
// length, or 0 while it is not yet known (no cut point and fewer than the
// maximum bytes). No cut comes before the minimum size; the bytes before the
// last kWindow of those are never hashed, since no cut point depends on them.
size_t scanBlock(const unsigned char* blk, size_t avail, ScanState& st) {
    const size_t limit = std::min<size_t>(avail, kMaxBlockSize);
    if (st.pos <= kMinBlockSize - kWindow && limit >= kStrictEnd) {
        if (const size_t cut = scanStrictLanes(blk, st.h)) return cut;
        st.pos = kStrictEnd;
    }
    if (st.pos < kMinBlockSize - kWindow) st.pos = kMinBlockSize - kWindow;
    if (st.pos < kMinBlockSize - 1) {
        const size_t end = std::min<size_t>(limit, kMinBlockSize - 1);
        uint64_t h = st.h;
        for (; st.pos < end; ++st.pos) h = (h << 1) + kGear[blk[st.pos]];
        st.h = h;
    }
    if (st.pos < kAvgBlockSize - 1 && st.pos < limit) {
        const size_t end = std::min<size_t>(limit, kAvgBlockSize - 1);
        if (const size_t cut = scanRegion<kMaskStrict>(blk, st.pos, end, st.h)) return cut;
        st.pos = end;
    }
    if (st.pos < limit) {
        if (const size_t cut = scanRegion<kMaskLoose>(blk, st.pos, limit, st.h)) return cut;
        st.pos = limit;
    }
    return limit == kMaxBlockSize ? limit : 0;
}

}  // namespace

uint32_t getMinBlockSize() {
    return kMinBlockSize;
}

uint32_t getAvgBlockSize() {
    return kAvgBlockSize;
}

size_t findCut(const unsigned char* data, size_t len) {
    ScanState st;
    const size_t cut = scanBlock(data, len, st);
    return cut != 0 ? cut : len;
}

// The block under way is either still in the caller's buffer or, once a
// feed() ended inside it, copied to pending (at most kMaxBlockSize bytes), so
// every block is hashed from one contiguous run of bytes.
struct Chunker::Impl {
    Sink sink;
    void* context;
    Jxc::Sha256 sha;
    std::vector<unsigned char> pending;
    ScanState scan;
    uint64_t offset = 0;

    Impl(Sink s, void* c) : sink(s), context(c) { pending.reserve(kMaxBlockSize); }

    void emit(const unsigned char* data, size_t len) {
        HashBlock hb;
        hb.block.offset = offset;
        hb.block.length = static_cast<uint32_t>(len);
        sha.digest(data, len, hb.hash);
        offset += len;
        scan = ScanState();
        sink(hb, context);
    }

    // Adds bytes to the pending block; returns how many of them it took.
    size_t extendPending(const unsigned char* p, size_t n) {
        const size_t take = std::min(n, kMaxBlockSize - pending.size());
        pending.insert(pending.end(), p, p + take);
        const size_t cut = scanBlock(pending.data(), pending.size(), scan);
        if (cut == 0) return take;
        const size_t unused = pending.size() - cut;
        emit(pending.data(), cut);
        pending.clear();
        return take - unused;
    }

    void feed(const unsigned char* p, size_t n) {
        if (!pending.empty()) {
            const size_t used = extendPending(p, n);
            p += used;
            n -= used;
            if (!pending.empty()) return;
        }
        while (n > 0) {
            const size_t cut = scanBlock(p, n, scan);
            if (cut == 0) {
                pending.assign(p, p + n);
                return;
            }
            emit(p, cut);
            p += cut;
            n -= cut;
        }
    }

    void finish() {
        if (!pending.empty()) emit(pending.data(), pending.size());
        pending.clear();
        scan = ScanState();
    }
};

Chunker::Chunker(Sink sink, void* context) : impl_(new Impl(sink, context)) {}

Chunker::~Chunker() {
    delete impl_;
}

void Chunker::feed(const void* data, size_t len) {
    impl_->feed(static_cast<const unsigned char*>(data), len);
}

void Chunker::finish() {
    impl_->finish();
}

void Chunker::reset() {
    impl_->pending.clear();
    impl_->scan = ScanState();
    impl_->offset = 0;
}

namespace {

constexpr size_t kReadSize = size_t{1} << 20;

template <typename Container>
void appendBlock(const HashBlock& block, void* context) {
    static_cast<Container*>(context)->push_back(block);
}

// Reads the file from offset 0 to its end through one reused buffer and cuts
// it as it goes.
template <typename Container>
CQiError splitOpen(int fd, const std::string& name, Container& blocks) {
    blocks.clear();
    (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    std::vector<unsigned char> buf(kReadSize);
    Chunker chunker(&appendBlock<Container>, &blocks);
    off_t offset = 0;
    for (;;) {
        const ssize_t n = jx::fileOps().pread(fd, buf.data(), buf.size(), offset);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            return CQiError(-err, kLbfsSource, "JxLBFS::split", __LINE__, "Couldn't read %s: %s",
                            name.c_str(), strerror(err));
        }
        if (n == 0) break;
        chunker.feed(buf.data(), static_cast<size_t>(n));
        offset += n;
    }
    chunker.finish();
    return CQiError();
}

template <typename Container>
CQiError splitPath(const std::string& path, Container& blocks) {
    blocks.clear();
    jx::File file(jx::fileOps().open(path.c_str(), O_RDONLY | O_CLOEXEC, 0));
    if (!file) {
        const int err = errno;
        return CQiError(-err, kLbfsSource, "JxLBFS::split", __LINE__, "Couldn't open %s: %s",
                        path.c_str(), strerror(err));
    }
    return splitOpen(file.get(), path, blocks);
}

std::string descriptorName(int fd) {
    return "descriptor " + std::to_string(fd);
}

}  // namespace

CQiError split(const std::string& path, std::list<HashBlock>& blocks) {
    return splitPath(path, blocks);
}

CQiError split(int fd, std::list<HashBlock>& blocks) {
    return splitOpen(fd, descriptorName(fd), blocks);
}

CQiError split(const std::string& path, std::vector<HashBlock>& blocks) {
    return splitPath(path, blocks);
}

CQiError split(int fd, std::vector<HashBlock>& blocks) {
    return splitOpen(fd, descriptorName(fd), blocks);
}

}  // namespace JxLBFS
