#include "JxFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "FLR/JxException.h"
#include "JxIO.h"
#include "JxUtf.h"

namespace jx {

// --- the POSIX operations ----------------------------------------------------

namespace {

// Runs call on the locale form of a UTF-8 path; EILSEQ when it has none.
template <typename Call>
int onLocalPath(const char* path, Call call) {
    std::string local;
    if (!utfToMbe(path, local)) {
        errno = EILSEQ;
        return -1;
    }
    return call(local.c_str());
}

}  // namespace

int PosixFileOps::open(const char* path, int flags, mode_t mode) {
    return open_utf(path, flags | O_CLOEXEC, mode);
}
int PosixFileOps::close(int fd) {
    return ::close(fd);
}
ssize_t PosixFileOps::read(int fd, void* buf, size_t len) {
    return ::read(fd, buf, len);
}
ssize_t PosixFileOps::pread(int fd, void* buf, size_t len, off_t offset) {
    return ::pread(fd, buf, len, offset);
}
ssize_t PosixFileOps::write(int fd, const void* data, size_t len) {
    return ::write(fd, data, len);
}
ssize_t PosixFileOps::writev(int fd, const struct iovec* iov, int iovcnt) {
    return ::writev(fd, iov, iovcnt);
}
ssize_t PosixFileOps::pwrite(int fd, const void* data, size_t len, off_t offset) {
    return ::pwrite(fd, data, len, offset);
}
off_t PosixFileOps::lseek(int fd, off_t offset, int whence) {
    return ::lseek(fd, offset, whence);
}
int PosixFileOps::fsync(int fd) {
    return ::fsync(fd);
}
int PosixFileOps::ftruncate(int fd, off_t len) {
    return ::ftruncate(fd, len);
}
int PosixFileOps::fstat(int fd, struct stat* st) {
    return ::fstat(fd, st);
}
int PosixFileOps::stat(const char* path, struct stat* st) {
    return stat_utf(path, st);
}
int PosixFileOps::lstat(const char* path, struct stat* st) {
    return lstat_utf(path, st);
}
int PosixFileOps::unlink(const char* path) {
    return unlink_utf(path);
}

int PosixFileOps::rename(const char* from, const char* to) {
    std::string localFrom;
    if (!utfToMbe(from, localFrom)) {
        errno = EILSEQ;
        return -1;
    }
    return onLocalPath(to, [&](const char* t) { return ::rename(localFrom.c_str(), t); });
}

int PosixFileOps::mkdir(const char* path, mode_t mode) {
    return onLocalPath(path, [mode](const char* p) { return ::mkdir(p, mode); });
}

int PosixFileOps::rmdir(const char* path) {
    return onLocalPath(path, [](const char* p) { return ::rmdir(p); });
}

int PosixFileOps::listDir(const char* path, std::vector<std::string>* names) {
    DIR* dir = opendir_utf(path);
    if (!dir) return errno;
    JxBuffer entryBuf;
    int rc = 0;
    for (;;) {
        struct dirent* entry = nullptr;
        rc = readdir_r_utf(dir, entryBuf, &entry);
        if (rc != 0 || !entry) break;
        const char* n = entry->d_name;
        if (std::strcmp(n, ".") == 0 || std::strcmp(n, "..") == 0) continue;
        names->emplace_back(n);
    }
    ::closedir(dir);
    return rc;
}

// Constant-initialized, so file calls made by other static initializers find
// the POSIX layer already in place.
namespace {
constinit PosixFileOps gPosixFileOps;
}

PosixFileOps& posixFileOps() {
    return gPosixFileOps;
}

namespace detail {
constinit std::atomic<FileOps*> currentFileOps{&gPosixFileOps};
}

ScopedFileOps::ScopedFileOps(FileOps& ops)
    : previous_(detail::currentFileOps.exchange(&ops, std::memory_order_acq_rel)) {}

ScopedFileOps::~ScopedFileOps() {
    detail::currentFileOps.store(previous_, std::memory_order_release);
}

// --- owned descriptors ---------------------------------------------------------

int File::close() {
    const int fd = release();
    return fd < 0 ? 0 : fileOps().close(fd);
}

void File::reset() noexcept {
    const int fd = release();
    if (fd >= 0) {
        const int saved = errno;  // a destructor must not disturb the caller's errno
        fileOps().close(fd);
        errno = saved;
    }
}

File openFile(const std::string& path, int flags, mode_t mode) {
    return File(fileOps().open(path.c_str(), flags | O_CLOEXEC, mode));
}

std::string readSymlink(const std::string& path, const char* source) {
    std::string target(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
        if (n < 0)
            throw JxException("readSymlink",
                              "Failed to read link " + path + ": " + jxErrnoText(errno), source,
                              __LINE__, errno);
        if (static_cast<size_t>(n) < target.size()) {
            target.resize(static_cast<size_t>(n));
            return target;
        }
        target.resize(target.size() * 2);  // may have been cut: try again larger
    }
}

std::string parentDir(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// --- atomic replace ---------------------------------------------------------

namespace {

constexpr const char kTempMark[] = ".jxtmp.";

std::string baseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ".<name>.jxtmp.<pid>.<n>" beside the target: hidden from listings that look
// for the family's own names, unique across threads and processes.
std::string tempNameFor(const std::string& path, unsigned attempt) {
    static std::atomic<unsigned> counter{0};
    const std::string dir = parentDir(path);
    const std::string prefix = dir == "." && path.find('/') == std::string::npos ? "" : dir + "/";
    return prefix + "." + baseName(path) + kTempMark + std::to_string(::getpid()) + "." +
           std::to_string(counter.fetch_add(1) + attempt);
}

}  // namespace

bool isAtomicTempName(const std::string& name) {
    return !name.empty() && name[0] == '.' && name.find(kTempMark) != std::string::npos;
}

void removeAtomicTemps(const std::string& path) {
    const std::string dir = parentDir(path);
    // Appended, not concatenated: g++ 12 -O3 warns falsely on "." + string.
    std::string prefix = ".";
    prefix += baseName(path);
    prefix += kTempMark;
    std::vector<std::string> names;
    if (fileOps().listDir(dir.c_str(), &names) != 0) return;  // nothing to sweep then
    for (const std::string& name : names)
        if (name.compare(0, prefix.size(), prefix) == 0)
            fileOps().unlink((dir + "/" + name).c_str());
}

AtomicFile::AtomicFile(std::string path, mode_t mode, const char* what, const char* source)
    : path_(std::move(path)), what_(what), source_(source) {
    for (unsigned attempt = 0;; ++attempt) {
        temp_ = tempNameFor(path_, attempt);
        file_ = openFile(temp_, O_WRONLY | O_CREAT | O_EXCL, mode);
        if (file_.valid()) return;
        if (errno != EEXIST || attempt >= 16) {
            const int err = errno;
            temp_.clear();
            done_ = true;
            fail("create", err);
        }
    }
}

AtomicFile::~AtomicFile() {
    abandon();
}

void AtomicFile::abandon() noexcept {
    if (done_) return;
    done_ = true;
    file_.reset();
    if (!temp_.empty()) fileOps().unlink(temp_.c_str());
}

void AtomicFile::fail(const char* step, int err) {
    abandon();
    throw JxException("AtomicFile::" + std::string(step),
                      "Failed to write " + what_ + " " + path_ + ": " + jxErrnoText(err), source_,
                      __LINE__, err);
}

void AtomicFile::write(const void* data, size_t len) {
    if (done_) fail("write", EBADF);
    try {
        writeAll(file_.get(), data, len, what_.c_str(), source_.c_str());
    } catch (const JxException& e) {
        fail("write", e.getCode());
    }
}

void AtomicFile::writev(struct iovec* iov, int iovcnt) {
    if (done_) fail("write", EBADF);
    try {
        writevAll(file_.get(), iov, iovcnt, what_.c_str(), source_.c_str());
    } catch (const JxException& e) {
        fail("write", e.getCode());
    }
}

void AtomicFile::commit() {
    if (done_) fail("commit", EBADF);
    if (fileOps().fsync(file_.get()) != 0) fail("commit", errno);
    if (file_.close() != 0) fail("commit", errno);
    if (fileOps().rename(temp_.c_str(), path_.c_str()) != 0) fail("commit", errno);
    done_ = true;  // the target is replaced; nothing to remove any more
    try {
        fsyncDir(parentDir(path_), source_.c_str());
    } catch (const JxException& e) {
        throw JxException(
            "AtomicFile::commit",
            "Failed to write " + what_ + " " + path_ + ": " + jxErrnoText(e.getCode()), source_,
            __LINE__, e.getCode());
    }
}

void replaceFile(const std::string& path, const void* data, size_t len, mode_t mode,
                 const char* what, const char* source) {
    try {
        AtomicFile file(path, mode, what, source);
        file.write(data, len);
        file.commit();
    } catch (const JxException& e) {
        throw JxException("replaceFile", e.getMessage(), source, __LINE__, e.getCode());
    }
}

// --- reading and folders ------------------------------------------------------

bool readFileIfExists(const std::string& path, std::string* out, const char* what,
                      const char* source) {
    auto failRead = [&](int err) {
        throw JxException(
            "readFileIfExists",
            std::string("Failed to read ") + what + " " + path + ": " + jxErrnoText(err), source,
            __LINE__, err);
    };
    File file = openFile(path, O_RDONLY);
    if (!file) {
        if (errno == ENOENT || errno == ENOTDIR) return false;
        failRead(errno);
    }
    struct stat st {};
    if (fileOps().fstat(file.get(), &st) != 0) failRead(errno);
    if (S_ISDIR(st.st_mode)) failRead(EISDIR);
    std::string data;
    data.reserve(S_ISREG(st.st_mode) ? static_cast<size_t>(st.st_size) : 0);
    char buf[65536];
    for (;;) {
        const ssize_t n = fileOps().read(file.get(), buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            failRead(errno);
        }
        if (n == 0) break;
        data.append(buf, static_cast<size_t>(n));
    }
    *out = std::move(data);
    return true;
}

std::vector<std::string> listDir(const std::string& path, const char* source) {
    std::vector<std::string> names;
    const int rc = fileOps().listDir(path.c_str(), &names);
    if (rc != 0)
        throw JxException("listDir", "Failed to list folder " + path + ": " + jxErrnoText(rc),
                          source, __LINE__, rc);
    return names;
}

void fsyncDir(const std::string& path, const char* source) {
    File dir = openFile(path, O_RDONLY | O_DIRECTORY);
    int err = 0;
    if (!dir) {
        err = errno;
    } else if (fileOps().fsync(dir.get()) != 0 && errno != EINVAL) {
        // EINVAL: the file system keeps no folder metadata to sync.
        err = errno;
    }
    if (err != 0)
        throw JxException("fsyncDir", "Failed to sync folder " + path + ": " + jxErrnoText(err),
                          source, __LINE__, err);
}

}  // namespace jx
