#pragma once
// Sparse files for tests: data extents at chosen offsets with holes between,
// and what a file really takes on disk.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace flrtest {

struct Extent {
    int64_t offset;
    int64_t length;
};

// Bytes without a zero run (so a sender cannot mistake them for a hole),
// different per seed.
inline std::string noZeros(size_t n, unsigned seed) {
    std::string s(n, '\0');
    uint32_t x = 2463534242u + seed * 7919u;
    for (auto& c : s) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = static_cast<char>((x & 0x7F) | 1);
    }
    return s;
}

// A file of `size` bytes holding noZeros() data at each extent, holes
// elsewhere. Returns the bytes written.
inline int64_t writeSparse(const std::string& path, int64_t size,
                           const std::vector<Extent>& extents) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw std::runtime_error("cannot create " + path);
    int64_t written = 0;
    unsigned seed = 1;
    for (const Extent& e : extents) {
        const std::string data = noZeros(static_cast<size_t>(e.length), seed++);
        if (::pwrite(fd, data.data(), data.size(), e.offset) != e.length) {
            ::close(fd);
            throw std::runtime_error("cannot write " + path);
        }
        written += e.length;
    }
    const bool sized = ::ftruncate(fd, size) == 0;
    ::close(fd);
    if (!sized) throw std::runtime_error("cannot size " + path);
    return written;
}

// Bytes the file takes on disk (st_blocks).
inline int64_t allocatedBytes(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return -1;
    return static_cast<int64_t>(st.st_blocks) * 512;
}

}  // namespace flrtest
