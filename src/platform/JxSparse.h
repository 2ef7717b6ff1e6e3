#pragma once
// Holes in files: where a file holds data (SEEK_DATA / SEEK_HOLE), and
// writes that leave zeros unallocated. A sender reads and sends only the data
// of a sparse file; a receiver writes zeros as holes, so a replica takes the
// space of its data, not of its size.
//
// A file system without SEEK_DATA reports the whole file as data, and one
// that cannot punch holes gets the zeros written: never a wrong byte, only
// space.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace jx {

// Zero runs shorter than this (or not aligned to it in the file) are left as
// data: the usual file system block.
inline constexpr size_t kHoleUnit = 4096;

struct DataRange {
    int64_t offset = 0;
    int64_t length = 0;
};

// The first range of fd holding data at or after from, cut at end: true with
// *range set, false when [from, end) is all hole (or from >= end). Moves the
// descriptor's file offset (lseek): callers read with pread.
bool nextDataRange(int fd, int64_t from, int64_t end, DataRange* range);

inline bool isAllZero(const unsigned char* p, size_t len) {
    return len == 0 || (p[0] == 0 && std::memcmp(p, p + 1, len - 1) == 0);
}

// Splits len bytes at p, which sit at file offset base, into runs:
// f(from, n, zero) for each in order, from relative to p. A zero run is made
// of whole units of kHoleUnit aligned in the file, at least minHole bytes
// long, or reaches the end of the piece; shorter zeros stay in the data run
// around them.
template <class F>
void forEachZeroRun(const unsigned char* p, size_t len, int64_t base, size_t minHole, F&& f) {
    size_t dataFrom = 0;
    size_t at = 0;
    // The first unit ends at the next aligned offset.
    auto unitEnd = [&](size_t from) {
        const uint64_t abs = static_cast<uint64_t>(base) + from;
        const size_t next = from + static_cast<size_t>(kHoleUnit - abs % kHoleUnit);
        return next < len ? next : len;
    };
    while (at < len) {
        size_t zeroEnd = at;
        while (zeroEnd < len) {
            const size_t e = unitEnd(zeroEnd);
            if (!isAllZero(p + zeroEnd, e - zeroEnd)) break;
            zeroEnd = e;
        }
        if (zeroEnd > at && (zeroEnd - at >= minHole || (zeroEnd == len && at == 0))) {
            if (at > dataFrom) f(dataFrom, at - dataFrom, false);
            f(at, zeroEnd - at, true);
            dataFrom = zeroEnd;
            at = zeroEnd;
            continue;
        }
        at = zeroEnd > at ? zeroEnd : unitEnd(at);
    }
    if (len > dataFrom) f(dataFrom, len - dataFrom, false);
}

// Writes len bytes at offset like writeAllAt, except that zero runs of whole
// units become holes: past the end of the file they are not written (the
// size still grows to cover them), inside it they are punched. 0 or an
// errno value.
int writeSparseAt(int fd, const void* data, size_t len, int64_t offset);

// Makes [offset, offset + len) of fd read as zeros without allocating it
// where the file system can (punched hole), else by writing zeros; grows the
// file when the range ends past it. 0 or an errno value.
int zeroRange(int fd, int64_t offset, int64_t len);

// copyRange (JxDirFd.h) of only the data ranges of in: holes of in are
// skipped, so out must read as zeros over [outOff, outOff + len) already (the
// unwritten part of a new file). out grows to outOff + len. 0 or an errno
// value, EIO when in ends before inOff + len.
int copyDataRanges(int in, int64_t inOff, int out, int64_t outOff, int64_t len);

// Reserves the blocks of [offset, offset + len) of fd without changing its
// size or bytes (fallocate FALLOC_FL_KEEP_SIZE); 0 or an errno value (ENOSPC
// when they do not fit).
int reserveRange(int fd, int64_t offset, int64_t len);

// True when the file system holding the folder dirPath keeps holes: a file
// grown with ftruncate there stays unallocated (tests skip without it).
bool keepsHoles(const char* dirPath);

}  // namespace jx
