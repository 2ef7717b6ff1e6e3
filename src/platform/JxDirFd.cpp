// Confined, directory-relative file operations (see JxDirFd.h).
#include "JxDirFd.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/vfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace jx {

namespace {

std::atomic<bool> walkOnly{false};
// Set once openat2 answered ENOSYS: the kernel has none.
std::atomic<bool> noOpenat2{false};

bool isPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

// Components of rel; false when one is ".." (or rel is absolute).
bool splitRelative(const std::string& rel, std::vector<std::string>* parts) {
    if (!rel.empty() && rel[0] == '/') return false;
    size_t start = 0;
    while (start <= rel.size()) {
        size_t slash = rel.find('/', start);
        if (slash == std::string::npos) slash = rel.size();
        const std::string part = rel.substr(start, slash - start);
        if (part == "..") return false;
        if (!part.empty() && part != ".") parts->push_back(part);
        start = slash + 1;
    }
    return true;
}

int tryOpenat2(int dirFd, const char* rel, int flags, mode_t mode) {
    struct open_how how {};
    how.flags = static_cast<uint64_t>(flags);
    how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    for (;;) {
        const long fd = ::syscall(SYS_openat2, dirFd, rel, &how, sizeof how);
        if (fd >= 0 || errno != EAGAIN) return static_cast<int>(fd);
        // EAGAIN: a rename raced the lookup; resolving again is safe.
    }
}

// ELOOP, as openat2 says, when the component that failed is a symbolic link
// (O_DIRECTORY with O_NOFOLLOW reports one as ENOTDIR).
int linkAwareErrno(int dirFd, const std::string& name, int err) {
    struct stat st {};
    if (err == ENOTDIR && ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode))
        return ELOOP;
    return err;
}

// Where openat2 is missing: one component at a time, none followed.
int walkBeneath(int dirFd, const std::vector<std::string>& parts, int flags, mode_t mode) {
    if (parts.empty()) return ::openat(dirFd, ".", flags, mode);
    int cur = dirFd;
    int fd = -1;
    int err = 0;
    for (size_t i = 0; i < parts.size(); ++i) {
        const bool last = i + 1 == parts.size();
        fd = last ? ::openat(cur, parts[i].c_str(), flags, mode)
                  : ::openat(cur, parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        err = fd < 0 ? linkAwareErrno(cur, parts[i], errno) : 0;
        if (cur != dirFd) ::close(cur);
        if (fd < 0 || last) break;
        cur = fd;
    }
    errno = err;
    return fd;
}

// A nanosecond part outside its range would make utimensat fail (or, as
// UTIME_NOW/UTIME_OMIT, mean something else): it counts as 0.
struct timespec timeOf(int64_t sec, long nsec) {
    return {static_cast<time_t>(sec), nsec >= 0 && nsec < 1000000000L ? nsec : 0};
}

}  // namespace

File openDirectory(const std::string& path) {
    return File(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

void setBeneathWalkOnly(bool only) {
    walkOnly = only;
}

File openBeneath(int dirFd, const std::string& rel, int flags, mode_t mode) {
    std::vector<std::string> parts;
    if (!splitRelative(rel, &parts)) {
        errno = EXDEV;
        return File();
    }
    flags |= O_CLOEXEC | O_NOFOLLOW;
    if (!walkOnly && !noOpenat2) {
        const int fd = tryOpenat2(dirFd, rel.empty() ? "." : rel.c_str(), flags, mode);
        // ENOTDIR may stand for a symbolic link where a folder was asked
        // for: the walk says which (ELOOP), and is just as safe.
        if (fd >= 0 || (errno != ENOSYS && errno != ENOTDIR)) return File(fd);
        if (errno == ENOSYS) noOpenat2 = true;
    }
    return File(walkBeneath(dirFd, parts, flags, mode));
}

int statAt(int dirFd, const std::string& name, struct stat* st) {
    return ::fstatat(dirFd, name.c_str(), st, AT_SYMLINK_NOFOLLOW);
}

int mkdirAt(int dirFd, const std::string& name, mode_t mode) {
    if (!isPlainName(name)) return errno = EINVAL, -1;
    return ::mkdirat(dirFd, name.c_str(), mode);
}

int renameAt(int dirFd, const std::string& from, const std::string& to) {
    if (!isPlainName(from) || !isPlainName(to)) return errno = EINVAL, -1;
    return ::renameat(dirFd, from.c_str(), dirFd, to.c_str());
}

int renameNoReplaceAt(int dirFd, const std::string& from, const std::string& to) {
    if (!isPlainName(from) || !isPlainName(to)) return errno = EINVAL, -1;
    return ::renameat2(dirFd, from.c_str(), dirFd, to.c_str(), RENAME_NOREPLACE);
}

int unlinkAt(int dirFd, const std::string& name, bool isDir) {
    if (!isPlainName(name)) return errno = EINVAL, -1;
    return ::unlinkat(dirFd, name.c_str(), isDir ? AT_REMOVEDIR : 0);
}

int symlinkAt(const std::string& target, int dirFd, const std::string& name) {
    if (!isPlainName(name)) return errno = EINVAL, -1;
    return ::symlinkat(target.c_str(), dirFd, name.c_str());
}

int mknodAt(int dirFd, const std::string& name, mode_t mode, dev_t dev) {
    if (!isPlainName(name)) return errno = EINVAL, -1;
    return ::mknodat(dirFd, name.c_str(), mode, dev);
}

int renameBetween(int fromDir, const std::string& from, int toDir, const std::string& to) {
    if (!isPlainName(from) || !isPlainName(to)) return errno = EINVAL, -1;
    return ::renameat(fromDir, from.c_str(), toDir, to.c_str());
}

int linkBetween(int fromDir, const std::string& from, int toDir, const std::string& to) {
    if (!isPlainName(from) || !isPlainName(to)) return errno = EINVAL, -1;
    return ::linkat(fromDir, from.c_str(), toDir, to.c_str(), 0);
}

int chownAt(int dirFd, const std::string& name, uid_t uid, gid_t gid) {
    return ::fchownat(dirFd, name.c_str(), uid, gid, AT_SYMLINK_NOFOLLOW);
}

int chmodAt(int dirFd, const std::string& name, mode_t mode) {
    return ::fchmodat(dirFd, name.c_str(), mode, AT_SYMLINK_NOFOLLOW);
}

int setTimesAt(int dirFd, const std::string& name, int64_t atime, int64_t mtime, long atimeNsec,
               long mtimeNsec) {
    struct timespec ts[2] = {timeOf(atime, atimeNsec), timeOf(mtime, mtimeNsec)};
    return ::utimensat(dirFd, name.c_str(), ts, AT_SYMLINK_NOFOLLOW);
}

int chownFd(int fd, uid_t uid, gid_t gid) {
    return ::fchown(fd, uid, gid);
}

int chmodFd(int fd, mode_t mode) {
    return ::fchmod(fd, mode);
}

int setTimesFd(int fd, int64_t atime, int64_t mtime, long atimeNsec, long mtimeNsec) {
    struct timespec ts[2] = {timeOf(atime, atimeNsec), timeOf(mtime, mtimeNsec)};
    return ::futimens(fd, ts);
}

int setXattrFd(int fd, const std::string& name, const void* value, size_t len, int flags) {
    return ::fsetxattr(fd, name.c_str(), value, len, flags);
}

int removeXattrFd(int fd, const std::string& name) {
    return ::fremovexattr(fd, name.c_str());
}

int listDirFd(int dirFd, std::vector<std::string>* names) {
    return listDirFd(dirFd, names, nullptr);
}

int listDirFd(int dirFd, std::vector<std::string>* names, std::vector<unsigned char>* types) {
    // fdopendir takes over its descriptor: hand it a fresh one of its own.
    const int own = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (own < 0) return errno;
    DIR* d = ::fdopendir(own);
    if (!d) {
        const int err = errno;
        ::close(own);
        return err;
    }
    names->clear();
    if (types) types->clear();
    errno = 0;
    while (struct dirent* e = ::readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
            names->emplace_back(e->d_name);
            if (types) types->push_back(e->d_type);
        }
        errno = 0;
    }
    const int err = errno;
    ::closedir(d);
    return err;
}

int startWriteback(int fd) {
    return ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE) == 0 ? 0 : errno;
}

int copyRange(int in, int64_t inOff, int out, int64_t outOff, int64_t len) {
    loff_t a = inOff;
    loff_t b = outOff;
    while (len > 0) {
        const ssize_t n = ::copy_file_range(in, &a, out, &b, static_cast<size_t>(len), 0);
        if (n > 0) {
            len -= n;
            continue;
        }
        if (n == 0) return EIO;  // the source ended early
        if (errno == EINTR) continue;
        if (errno != EXDEV && errno != EINVAL && errno != EOPNOTSUPP && errno != ENOSYS)
            return errno;
        break;  // not offered here: copy through a buffer
    }
    std::vector<char> buf(static_cast<size_t>(std::min<int64_t>(len, 1 << 20)));
    while (len > 0) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(len, buf.size()));
        const ssize_t n = readFullAt(in, buf.data(), want, a);
        if (n < 0) return errno;
        if (n == 0) return EIO;
        if (const int err = writeAllAt(out, buf.data(), static_cast<size_t>(n), b)) return err;
        a += n;
        b += n;
        len -= n;
    }
    return 0;
}

File openRegularBeneath(int dirFd, const std::string& rel, int flags, struct stat* st) {
    // O_NONBLOCK keeps the open of a FIFO from waiting for a writer; a device
    // is refused before anything but the open reached it (O_NOCTTY: never a
    // controlling terminal either).
    File f = openBeneath(dirFd, rel, flags | O_NONBLOCK | O_NOCTTY);
    if (!f) return f;
    struct stat own {};
    if (!st) st = &own;
    if (::fstat(f.get(), st) != 0) return File();
    if (!S_ISREG(st->st_mode)) {
        errno = S_ISDIR(st->st_mode) ? EISDIR : ENXIO;
        return File();
    }
    if (!(flags & O_NONBLOCK)) ::fcntl(f.get(), F_SETFL, ::fcntl(f.get(), F_GETFL) & ~O_NONBLOCK);
    return f;
}

bool overwritesInPlace(int fd) {
    struct statfs fs {};
    if (::fstatfs(fd, &fs) != 0) return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
        case EXT4_SUPER_MAGIC:  // also ext2 and ext3
        case XFS_SUPER_MAGIC:
        case TMPFS_MAGIC:
            return true;
        default:
            return false;
    }
}

int reserveSpace(int fd, int64_t len) {
    if (len <= 0) return 0;
    while (::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(len)) != 0)
        if (errno != EINTR) return errno;
    return 0;
}

int syncFileSystem(int fd) {
    return fileOps().syncFileSystem(fd);
}

int writeAllAt(int fd, const void* data, size_t len, int64_t offset) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        const ssize_t n = fileOps().pwrite(fd, p, len, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR) continue;
            return errno;
        }
        if (n == 0) return EIO;
        p += n;
        len -= static_cast<size_t>(n);
        offset += n;
    }
    return 0;
}

ssize_t readFullAt(int fd, void* buf, size_t len, int64_t offset) {
    char* p = static_cast<char*>(buf);
    size_t got = 0;
    while (got < len) {
        const ssize_t n = fileOps().pread(fd, p + got, len - got, static_cast<off_t>(offset + got));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

}  // namespace jx
