// Re-cutting a rebuilt file around its changes (see FlrTailRecut.h).
#include "FlrTailRecut.h"

#include <algorithm>

#include "digest/Jxc.h"
#include "platform/JxDirFd.h"

void FlrTailChangedRanges::add(int64_t offset, int64_t len) {
    if (all_ || len <= 0) return;
    // Data mostly comes in order: a piece that continues the last range grows it.
    if (!ranges_.empty() && ranges_.back().second == offset) {
        ranges_.back().second += len;
        return;
    }
    if (ranges_.size() >= kMaxRanges) {
        all_ = true;
        ranges_.clear();
        return;
    }
    ranges_.emplace_back(offset, offset + len);
}

std::vector<std::pair<int64_t, int64_t>> FlrTailChangedRanges::merged() const {
    std::vector<std::pair<int64_t, int64_t>> sorted = ranges_;
    std::sort(sorted.begin(), sorted.end());
    std::vector<std::pair<int64_t, int64_t>> out;
    for (const auto& r : sorted) {
        if (!out.empty() && r.first <= out.back().second)
            out.back().second = std::max(out.back().second, r.second);
        else
            out.push_back(r);
    }
    return out;
}

namespace {

using JxLBFS::HashBlock;

// True when the blocks follow each other from 0 to exactly size.
bool coversFile(const std::vector<HashBlock>& blocks, int64_t size) {
    uint64_t at = 0;
    for (const HashBlock& b : blocks) {
        if (b.block.offset != at || b.block.length == 0 || b.block.length > JxLBFS::kMaxBlockSize)
            return false;
        at += b.block.length;
    }
    return at == static_cast<uint64_t>(size);
}

// Cuts blocks of the new file at given starts, reading it through one window.
class WindowCutter {
  public:
    WindowCutter(int fd, int64_t size)
        : fd_(fd),
          size_(size),
          buf_(static_cast<size_t>(std::min<int64_t>(size, int64_t{4} * JxLBFS::kMaxBlockSize))) {}

    bool cutAt(int64_t pos, HashBlock* out) {
        const size_t want =
            static_cast<size_t>(std::min<int64_t>(JxLBFS::kMaxBlockSize, size_ - pos));
        if (pos < at_ || pos + static_cast<int64_t>(want) > at_ + static_cast<int64_t>(len_)) {
            const size_t n = static_cast<size_t>(std::min<int64_t>(buf_.size(), size_ - pos));
            if (jx::readFullAt(fd_, buf_.data(), n, pos) != static_cast<ssize_t>(n)) return false;
            at_ = pos;
            len_ = n;
        }
        const unsigned char* p = buf_.data() + (pos - at_);
        const size_t len = JxLBFS::findCut(p, want);
        out->block.offset = static_cast<uint64_t>(pos);
        out->block.length = static_cast<uint32_t>(len);
        sha_.digest(p, len, out->hash);
        return true;
    }

  private:
    int fd_;
    int64_t size_;
    std::vector<unsigned char> buf_;
    int64_t at_ = 0;
    size_t len_ = 0;
    Jxc::Sha256 sha_;
};

}  // namespace

bool recutChanged(int fd, const std::vector<HashBlock>& oldBlocks, int64_t oldSize,
                  const FlrTailChangedRanges& changed, int64_t newSize,
                  std::vector<HashBlock>* blocks) {
    blocks->clear();
    if (changed.isAll() || newSize <= 0 || !coversFile(oldBlocks, oldSize)) return false;
    const auto dirty = changed.merged();
    WindowCutter cutter(fd, newSize);
    size_t next = 0;  // first old block not before pos
    size_t d = 0;     // first changed range not before pos
    int64_t pos = 0;
    // An old block is a new one when it starts at a cut of the new file, lies
    // within both files, did not end at the old end of file only because the
    // file ended there (unless the size stayed), and none of it changed.
    auto reusable = [&](const HashBlock& b, bool last) {
        const int64_t end = static_cast<int64_t>(b.block.offset + b.block.length);
        if (end > newSize || (last && newSize != oldSize)) return false;
        while (d < dirty.size() && dirty[d].second <= static_cast<int64_t>(b.block.offset)) ++d;
        return d == dirty.size() || dirty[d].first >= end;
    };
    while (pos < newSize) {
        while (next < oldBlocks.size() && static_cast<int64_t>(oldBlocks[next].block.offset) < pos)
            ++next;
        if (next < oldBlocks.size() && static_cast<int64_t>(oldBlocks[next].block.offset) == pos &&
            reusable(oldBlocks[next], next + 1 == oldBlocks.size())) {
            blocks->push_back(oldBlocks[next]);
            pos += oldBlocks[next].block.length;
            ++next;
            continue;
        }
        HashBlock b;
        if (!cutter.cutAt(pos, &b)) {
            blocks->clear();
            return false;
        }
        blocks->push_back(b);
        pos += b.block.length;
    }
    return true;
}
