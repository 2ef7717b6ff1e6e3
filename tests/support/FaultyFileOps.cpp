#include "FaultyFileOps.h"

#include <cerrno>

namespace flrtest {

FaultyFileOps::FaultyFileOps() : inner_(jx::fileOps()) {}

void FaultyFileOps::failNth(Op op, int n, int err, bool sticky) {
    Plan& p = plans_[index(op)];
    p.err = err;
    p.sticky = sticky;
    p.at = counts_[index(op)].load() + n;
}

void FaultyFileOps::clear() {
    for (auto& p : plans_) p.at = 0;
    shortWrite_ = 0;
    pathFilter_.clear();
}

bool FaultyFileOps::fault(Op op, const char* path) {
    if (path && !pathFilter_.empty() && pathFilter_ != path) return false;
    const int call = ++counts_[index(op)];
    const Plan& p = plans_[index(op)];
    const int at = p.at.load();
    if (at == 0 || call < at || (call > at && !p.sticky)) return false;
    ++injected_;
    errno = p.err;
    return true;
}

int FaultyFileOps::open(const char* path, int flags, mode_t mode) {
    return fault(Op::Open, path) ? -1 : inner_.open(path, flags, mode);
}
int FaultyFileOps::close(int fd) {
    if (fault(Op::Close)) {
        inner_.close(fd);  // the descriptor is gone either way, as with a real close
        return -1;
    }
    return inner_.close(fd);
}
ssize_t FaultyFileOps::read(int fd, void* buf, size_t len) {
    return fault(Op::Read) ? -1 : inner_.read(fd, buf, len);
}
ssize_t FaultyFileOps::pread(int fd, void* buf, size_t len, off_t offset) {
    return fault(Op::Read) ? -1 : inner_.pread(fd, buf, len, offset);
}
ssize_t FaultyFileOps::write(int fd, const void* data, size_t len) {
    if (fault(Op::Write)) return -1;
    if (shortWrite_ != 0 && len > shortWrite_) len = shortWrite_;
    return inner_.write(fd, data, len);
}
ssize_t FaultyFileOps::writev(int fd, const struct iovec* iov, int iovcnt) {
    if (fault(Op::Write)) return -1;
    if (shortWrite_ != 0 && iovcnt > 0) {
        // Cut to the first buffer, shortened: exercises the caller's resume path.
        const size_t n = iov[0].iov_len < shortWrite_ ? iov[0].iov_len : shortWrite_;
        return inner_.write(fd, iov[0].iov_base, n);
    }
    return inner_.writev(fd, iov, iovcnt);
}
ssize_t FaultyFileOps::pwrite(int fd, const void* data, size_t len, off_t offset) {
    if (fault(Op::Write)) return -1;
    if (shortWrite_ != 0 && len > shortWrite_) len = shortWrite_;
    return inner_.pwrite(fd, data, len, offset);
}
off_t FaultyFileOps::lseek(int fd, off_t offset, int whence) {
    return inner_.lseek(fd, offset, whence);
}
int FaultyFileOps::fsync(int fd) {
    return fault(Op::Fsync) ? -1 : inner_.fsync(fd);
}
int FaultyFileOps::ftruncate(int fd, off_t len) {
    return fault(Op::Ftruncate) ? -1 : inner_.ftruncate(fd, len);
}
int FaultyFileOps::fstat(int fd, struct stat* st) {
    return inner_.fstat(fd, st);
}
int FaultyFileOps::stat(const char* path, struct stat* st) {
    return inner_.stat(path, st);
}
int FaultyFileOps::lstat(const char* path, struct stat* st) {
    return inner_.lstat(path, st);
}
int FaultyFileOps::rename(const char* from, const char* to) {
    return fault(Op::Rename, to) ? -1 : inner_.rename(from, to);
}
int FaultyFileOps::unlink(const char* path) {
    return fault(Op::Unlink, path) ? -1 : inner_.unlink(path);
}
int FaultyFileOps::mkdir(const char* path, mode_t mode) {
    return fault(Op::Mkdir, path) ? -1 : inner_.mkdir(path, mode);
}
int FaultyFileOps::rmdir(const char* path) {
    return inner_.rmdir(path);
}
int FaultyFileOps::listDir(const char* path, std::vector<std::string>* names) {
    if (fault(Op::ListDir, path)) return errno;
    return inner_.listDir(path, names);
}

}  // namespace flrtest
