#include "JxSparse.h"

#include <fcntl.h>
#include <linux/falloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "JxDirFd.h"
#include "JxFile.h"

namespace jx {

bool nextDataRange(int fd, int64_t from, int64_t end, DataRange* range) {
    if (from >= end) return false;
    const off_t data = fileOps().lseek(fd, static_cast<off_t>(from), SEEK_DATA);
    if (data < 0) {
        // ENXIO: nothing but hole up to the end of the file. Anything else
        // (no SEEK_DATA here): all of it counts as data.
        if (errno == ENXIO) return false;
        *range = {from, end - from};
        return true;
    }
    if (data >= end) return false;
    off_t hole = fileOps().lseek(fd, data, SEEK_HOLE);
    if (hole < 0 || hole > end) hole = static_cast<off_t>(end);
    *range = {data, hole - data};
    return true;
}

namespace {

// Zeros at the end of what exists: with the file's size tracked in *size,
// a range past it only grows the file (when nothing after it will).
int holeAt(int fd, int64_t offset, int64_t len, bool last, int64_t* size) {
    const int64_t end = offset + len;
    if (offset < *size) {
        const int64_t inside = std::min(end, *size) - offset;
        if (::fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                        static_cast<off_t>(inside)) != 0) {
            // Cannot punch here: the zeros are written.
            const std::vector<char> zeros(static_cast<size_t>(std::min<int64_t>(inside, 1 << 20)));
            for (int64_t at = offset; at < offset + inside;) {
                const size_t n = static_cast<size_t>(
                    std::min<int64_t>(offset + inside - at, static_cast<int64_t>(zeros.size())));
                if (const int err = writeAllAt(fd, zeros.data(), n, at)) return err;
                at += static_cast<int64_t>(n);
            }
        }
    }
    if (end > *size && last) {
        if (fileOps().ftruncate(fd, static_cast<off_t>(end)) != 0) return errno;
        *size = end;
    }
    return 0;
}

}  // namespace

int writeSparseAt(int fd, const void* data, size_t len, int64_t offset) {
    const auto* p = static_cast<const unsigned char*>(data);
    int64_t size = -1;  // read when a zero run needs it
    int err = 0;
    forEachZeroRun(p, len, offset, kHoleUnit, [&](size_t from, size_t n, bool zero) {
        if (err) return;
        const int64_t at = offset + static_cast<int64_t>(from);
        if (!zero) {
            err = writeAllAt(fd, p + from, n, at);
            if (size >= 0) size = std::max(size, at + static_cast<int64_t>(n));
            return;
        }
        if (size < 0) {
            struct stat st {};
            if (fileOps().fstat(fd, &st) != 0) {
                err = errno;
                return;
            }
            size = st.st_size;
        }
        err = holeAt(fd, at, static_cast<int64_t>(n), from + n == len, &size);
    });
    return err;
}

int zeroRange(int fd, int64_t offset, int64_t len) {
    if (len <= 0) return 0;
    struct stat st {};
    if (fileOps().fstat(fd, &st) != 0) return errno;
    int64_t size = st.st_size;
    return holeAt(fd, offset, len, true, &size);
}

int copyDataRanges(int in, int64_t inOff, int out, int64_t outOff, int64_t len) {
    if (len <= 0) return 0;
    struct stat st {};
    if (fileOps().fstat(in, &st) != 0) return errno;
    if (st.st_size < inOff + len) return EIO;
    const int64_t end = inOff + len;
    DataRange r;
    for (int64_t at = inOff; nextDataRange(in, at, end, &r); at = r.offset + r.length)
        if (const int err = copyRange(in, r.offset, out, outOff + (r.offset - inOff), r.length))
            return err;
    struct stat ost {};
    if (fileOps().fstat(out, &ost) != 0) return errno;
    if (ost.st_size < outOff + len && fileOps().ftruncate(out, static_cast<off_t>(outOff + len)))
        return errno;
    return 0;
}

int reserveRange(int fd, int64_t offset, int64_t len) {
    if (len <= 0) return 0;
    while (::fallocate(fd, FALLOC_FL_KEEP_SIZE, static_cast<off_t>(offset),
                       static_cast<off_t>(len)) != 0)
        if (errno != EINTR) return errno;
    return 0;
}

bool keepsHoles(const char* dirPath) {
    const std::string probe = std::string(dirPath) + "/.flr-hole-probe";
    File f = openFile(probe, O_RDWR | O_CREAT | O_TRUNC, 0600);
    if (!f) return false;
    bool holes = fileOps().ftruncate(f.get(), 8 << 20) == 0;
    struct stat st {};
    holes = holes && fileOps().fstat(f.get(), &st) == 0 && st.st_blocks * 512 < (1 << 20);
    // The file system must also say where data is, or senders read it all.
    holes = holes && fileOps().lseek(f.get(), 0, SEEK_HOLE) == 0;
    f.reset();
    fileOps().unlink(probe.c_str());
    return holes;
}

}  // namespace jx
