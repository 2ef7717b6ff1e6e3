#include "FlrRolCacheSum.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "FLR/JxException.h"
#include "FlrRolCacheBase.h"
#include "digest/Jxc.h"
#include "platform/JxCoding.h"
#include "platform/JxFile.h"
#include "platform/JxIO.h"

namespace {

constexpr char kMagic[8] = {'F', 'L', 'R', 'S', 'U', 'M', '\n', '\0'};
constexpr size_t kFixed = 8 + 8 + 4 + 4;
constexpr uint32_t kCrcStart = 0xffffffffu;

void put32(std::string& out, uint32_t v) {
    char be[4];
    jx::storeBE32(be, v);
    out.append(be, sizeof be);
}

}  // namespace

void FlrRolCacheSum::reset() {
    blocks_.clear();
    blockCrc_ = kCrcStart;
    blockFill_ = 0;
    size_ = 0;
}

void FlrRolCacheSum::add(const void* data, size_t len) {
    const auto* p = static_cast<const unsigned char*>(data);
    size_ += len;
    while (len > 0) {
        const size_t take = std::min<size_t>(len, kBlockSize - blockFill_);
        blockCrc_ = jx_crc32c(blockCrc_, p, take);
        blockFill_ += static_cast<uint32_t>(take);
        p += take;
        len -= take;
        if (blockFill_ == kBlockSize) {
            blocks_.push_back(blockCrc_);
            blockCrc_ = kCrcStart;
            blockFill_ = 0;
        }
    }
}

std::string FlrRolCacheSum::sumFileName(const std::string& cacheFile) {
    return cacheFile + ".sum";
}

bool FlrRolCacheSum::isSumFileName(const std::string& name) {
    static const std::string suffix = ".sum";
    if (name.size() <= suffix.size() ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    uint64_t seq = 0;
    return FlrRolCacheBase::parseCacheFileName(name.substr(0, name.size() - suffix.size()).c_str(),
                                               seq);
}

bool FlrRolCacheSum::write(const std::string& cacheFile) const {
    std::string out(kMagic, sizeof kMagic);
    put32(out, static_cast<uint32_t>(size_ >> 32));
    put32(out, static_cast<uint32_t>(size_));
    put32(out, kBlockSize);
    const size_t count = blocks_.size() + (blockFill_ ? 1 : 0);
    put32(out, static_cast<uint32_t>(count));
    for (uint32_t c : blocks_) put32(out, c);
    if (blockFill_) put32(out, blockCrc_);
    put32(out, jx_crc32c(kCrcStart, out.data(), out.size()));

    // Replaced atomically and durably: a sum file that a crash or power cut
    // left cut would make verification report a sound cache file as damaged.
    // The temporary file's name starts with "." so that scanners of the
    // directory, which look for "cache.*", never see it.
    try {
        jx::replaceFile(sumFileName(cacheFile), out, 0600, "checksum file", "FlrRolCacheSum");
    } catch (const JxException& e) {
        errno = e.getCode() > 0 ? e.getCode() : EIO;
        return false;
    }
    return true;
}

bool FlrRolCacheSum::load(const std::string& cacheFile, uint64_t& size,
                          std::vector<uint32_t>& blocks) {
    const jx::File file = jx::openFile(sumFileName(cacheFile), O_RDONLY);
    if (!file) return false;
    const int fd = file.get();
    std::vector<unsigned char> buf(kFixed + 4);
    long n = jx::readUpTo(fd, buf.data(), buf.size());
    bool ok = n == static_cast<long>(buf.size()) && std::memcmp(buf.data(), kMagic, 8) == 0;
    uint32_t count = 0;
    if (ok) {
        size = (uint64_t{jx::loadBE32(&buf[8])} << 32) | jx::loadBE32(&buf[12]);
        count = jx::loadBE32(&buf[20]);
        // A cache file is at most a few MiB: refuse counts no real file has.
        ok = jx::loadBE32(&buf[16]) == kBlockSize && count <= (1u << 20) &&
             count == (size + kBlockSize - 1) / kBlockSize;
    }
    if (ok) {
        const size_t total = kFixed + 4 * size_t{count} + 4;
        buf.resize(total + 1);  // one more byte shows trailing garbage
        n = jx::readUpTo(fd, buf.data() + kFixed + 4, total + 1 - (kFixed + 4));
        ok = n == static_cast<long>(total - (kFixed + 4)) &&
             jx::loadBE32(&buf[total - 4]) == jx_crc32c(kCrcStart, buf.data(), total - 4);
        if (ok) {
            blocks.resize(count);
            for (uint32_t i = 0; i < count; ++i) blocks[i] = jx::loadBE32(&buf[kFixed + 4 * i]);
        }
    }
    return ok;
}

long long FlrRolCacheSum::firstBadBlock(const unsigned char* data, size_t len,
                                        const std::vector<uint32_t>& blocks) {
    for (size_t i = 0; i < blocks.size(); ++i) {
        const size_t off = i * kBlockSize;
        if (off >= len) return static_cast<long long>(i);
        const size_t take = std::min<size_t>(kBlockSize, len - off);
        if (jx_crc32c(kCrcStart, data + off, take) != blocks[i]) return static_cast<long long>(i);
    }
    return -1;
}
