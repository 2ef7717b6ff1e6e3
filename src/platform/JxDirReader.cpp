#include "JxDirReader.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace jx {

namespace {

// The kernel's record; glibc has no wrapper type for it before 2.30.
struct LinuxDirent64 {
    uint64_t d_ino;
    int64_t d_off;
    unsigned short d_reclen;
    unsigned char d_type;
    char d_name[];
};

bool isDotOrDotDot(const char* n) {
    return n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0));
}

}  // namespace

int FileOps::openAt(int dirFd, const char* name, int flags, mode_t mode) {
    return ::openat(dirFd, name, flags | O_CLOEXEC, mode);
}

int FileOps::statAt(int dirFd, const char* name, struct stat* st, int flags) {
    return ::fstatat(dirFd, name, st, flags);
}

ssize_t FileOps::readDirEntries(int fd, void* buf, size_t len) {
    return ::syscall(SYS_getdents64, fd, buf, len);
}

int FileOps::syncFileSystem(int fd) {
    return ::syncfs(fd);
}

File openDirAt(int dirFd, const char* name) {
    return File(fileOps().openAt(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW, 0));
}

int statAt(int dirFd, const char* name, struct stat* st) {
    return fileOps().statAt(dirFd, name, st, AT_SYMLINK_NOFOLLOW);
}

DirReader::DirReader(size_t bufferBytes) : buf_(bufferBytes < 4096 ? 4096 : bufferBytes) {}

int DirReader::start(int fd) {
    fd_ = fd;
    pos_ = len_ = 0;
    return ::lseek(fd, 0, SEEK_SET) < 0 ? -1 : 0;
}

int DirReader::next(const char** name, unsigned char* type) {
    for (;;) {
        if (pos_ >= len_) {
            const ssize_t n = fileOps().readDirEntries(fd_, buf_.data(), buf_.size());
            if (n < 0) return -1;
            if (n == 0) return 0;
            pos_ = 0;
            len_ = static_cast<size_t>(n);
        }
        // The kernel fills whole, aligned records; still refuse a record
        // that would reach past what was read.
        const size_t headerBytes = offsetof(LinuxDirent64, d_name);
        if (len_ - pos_ < headerBytes) {
            errno = EIO;
            return -1;
        }
        auto* d = reinterpret_cast<LinuxDirent64*>(buf_.data() + pos_);
        if (d->d_reclen < headerBytes + 1 || d->d_reclen > len_ - pos_) {
            errno = EIO;
            return -1;
        }
        pos_ += d->d_reclen;
        if (isDotOrDotDot(d->d_name)) continue;
        *name = d->d_name;
        *type = d->d_type;
        return 1;
    }
}

}  // namespace jx
