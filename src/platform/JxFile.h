#pragma once
// The one file API of the platform layer. Every family that keeps files reaches
// the file system through fileOps(), so a test can put a fault-injecting layer
// (failed writes, full disks, failed renames) under any of them, the way a
// storage engine's environment object allows. On top of the operations sit an
// owned descriptor, whole-file atomic replace (temporary file in the same
// folder, fsync, rename, fsync of the folder), a read that tells a missing file
// from a failing one, and directory listing.
//
// Paths are UTF-8; the POSIX operations convert them to the locale's encoding
// where that is not UTF-8 (see JxUtf.h).
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <vector>

namespace jx {

// The replaceable operations. Each has the POSIX call's contract: -1 (or an
// errno value where said) with errno set on failure, no exceptions.
class FileOps {
  public:
    virtual ~FileOps() = default;

    virtual int open(const char* path, int flags, mode_t mode) = 0;
    virtual int close(int fd) = 0;
    virtual ssize_t read(int fd, void* buf, size_t len) = 0;
    virtual ssize_t pread(int fd, void* buf, size_t len, off_t offset) = 0;
    virtual ssize_t write(int fd, const void* data, size_t len) = 0;
    virtual ssize_t writev(int fd, const struct iovec* iov, int iovcnt) = 0;
    virtual ssize_t pwrite(int fd, const void* data, size_t len, off_t offset) = 0;
    virtual off_t lseek(int fd, off_t offset, int whence) = 0;
    virtual int fsync(int fd) = 0;
    virtual int ftruncate(int fd, off_t len) = 0;
    virtual int fstat(int fd, struct stat* st) = 0;
    virtual int stat(const char* path, struct stat* st) = 0;
    virtual int lstat(const char* path, struct stat* st) = 0;
    virtual int rename(const char* from, const char* to) = 0;
    virtual int unlink(const char* path) = 0;
    virtual int mkdir(const char* path, mode_t mode) = 0;
    virtual int rmdir(const char* path) = 0;
    // Entry names of a folder without "." and ".."; 0, or an errno value.
    virtual int listDir(const char* path, std::vector<std::string>* names) = 0;

    // Descriptor-relative calls of the tree scans (JxDirReader.h). Names are
    // the file system's bytes, not converted. The defaults are the POSIX
    // calls, so a layer overrides them only where it wants a fault.
    virtual int openAt(int dirFd, const char* name, int flags, mode_t mode);
    virtual int statAt(int dirFd, const char* name, struct stat* st, int flags);
    // getdents64: bytes of directory records read into buf, 0 at the end.
    virtual ssize_t readDirEntries(int fd, void* buf, size_t len);
    // syncfs: everything of fd's file system made durable.
    virtual int syncFileSystem(int fd);
};

// The real thing. Subclass it to change one call and keep the rest.
class PosixFileOps : public FileOps {
  public:
    int open(const char* path, int flags, mode_t mode) override;
    int close(int fd) override;
    ssize_t read(int fd, void* buf, size_t len) override;
    ssize_t pread(int fd, void* buf, size_t len, off_t offset) override;
    ssize_t write(int fd, const void* data, size_t len) override;
    ssize_t writev(int fd, const struct iovec* iov, int iovcnt) override;
    ssize_t pwrite(int fd, const void* data, size_t len, off_t offset) override;
    off_t lseek(int fd, off_t offset, int whence) override;
    int fsync(int fd) override;
    int ftruncate(int fd, off_t len) override;
    int fstat(int fd, struct stat* st) override;
    int stat(const char* path, struct stat* st) override;
    int lstat(const char* path, struct stat* st) override;
    int rename(const char* from, const char* to) override;
    int unlink(const char* path) override;
    int mkdir(const char* path, mode_t mode) override;
    int rmdir(const char* path) override;
    int listDir(const char* path, std::vector<std::string>* names) override;
};

PosixFileOps& posixFileOps();

namespace detail {
extern std::atomic<FileOps*> currentFileOps;
}

// The operations in force: one load and one indirect call per operation.
inline FileOps& fileOps() {
    return *detail::currentFileOps.load(std::memory_order_acquire);
}

// Puts ops under every file call for the scope (tests); restores the previous
// layer on exit. Install before starting threads that use files.
class ScopedFileOps {
  public:
    explicit ScopedFileOps(FileOps& ops);
    ~ScopedFileOps();
    ScopedFileOps(const ScopedFileOps&) = delete;
    ScopedFileOps& operator=(const ScopedFileOps&) = delete;

  private:
    FileOps* previous_;
};

// An owned descriptor: closed (through fileOps()) when destroyed.
class File {
  public:
    File() = default;
    explicit File(int fd) : fd_(fd) {}
    ~File() { reset(); }
    File(File&& other) noexcept : fd_(other.release()) {}
    File& operator=(File&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = other.release();
        }
        return *this;
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    explicit operator bool() const { return valid(); }
    // Gives up ownership without closing.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes now and reports the result: 0, or -1 with errno (a failed close
    // of a written file can mean lost data, so writers check it).
    int close();
    void reset() noexcept;

  private:
    int fd_ = -1;
};

// Opens path (O_CLOEXEC always added); an invalid File with errno set on failure.
File openFile(const std::string& path, int flags, mode_t mode = 0);

// Writes a whole file atomically: after a crash or power cut at any moment the
// path holds either its previous content or all of data, never a mix or a cut.
// Errors throw "Failed to write <what> <path>: <strerror>" (function
// "replaceFile", code errno); the previous file is left untouched.
void replaceFile(const std::string& path, const void* data, size_t len, mode_t mode,
                 const char* what, const char* source);
inline void replaceFile(const std::string& path, const std::string& data, mode_t mode,
                        const char* what, const char* source) {
    replaceFile(path, data.data(), data.size(), mode, what, source);
}

// Streaming form of replaceFile: writes go to a temporary file in the target's
// folder; commit() makes them the file's content in one step. Destroyed
// without commit (an error, an exception) the temporary file is removed and
// the target keeps its previous content.
class AtomicFile {
  public:
    AtomicFile(std::string path, mode_t mode, const char* what, const char* source);
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    int fd() const { return file_.get(); }
    const std::string& tempPath() const { return temp_; }
    void write(const void* data, size_t len);
    void write(const std::string& data) { write(data.data(), data.size()); }
    // Writes every buffer of iov (which it modifies), resuming after short writes.
    void writev(struct iovec* iov, int iovcnt);
    // fsync, close, rename over the target, fsync of the folder.
    void commit();
    // Removes the temporary file now (also what the destructor does).
    void abandon() noexcept;

  private:
    [[noreturn]] void fail(const char* step, int err);

    std::string path_;
    std::string temp_;
    std::string what_;
    std::string source_;
    File file_;
    bool done_ = false;
};

// True when name (a folder entry) is a temporary file of AtomicFile or
// replaceFile, which a crash may leave behind; folder scans skip or remove them.
bool isAtomicTempName(const std::string& name);
// Removes the temporary files a killed writer of path left in its folder.
// Only for writers that hold their own lock: it would remove the temporary
// file of a writer at work.
void removeAtomicTemps(const std::string& path);

// Reads a whole file. False only when it does not exist (ENOENT, or ENOTDIR on
// the way); any other failure throws "Failed to read <what> <path>: <strerror>"
// (function "readFileIfExists", code errno), so a caller never takes an
// unreadable file for an empty one.
bool readFileIfExists(const std::string& path, std::string* out, const char* what = "file",
                      const char* source = "JxFile");

// Names in a folder without "." and "..", in directory order. Errors throw
// "Failed to list folder <path>: <strerror>" (function "listDir").
std::vector<std::string> listDir(const std::string& path, const char* source = "JxFile");

// Makes the folder's entries (a create, rename or unlink in it) durable.
// Errors throw "Failed to sync folder <path>: <strerror>" (function "fsyncDir").
void fsyncDir(const std::string& path, const char* source = "JxFile");

// The target of a symbolic link, of any length. Errors throw "Failed to read
// link <path>: <strerror>" (function "readSymlink", code errno).
std::string readSymlink(const std::string& path, const char* source = "JxFile");

// The one absolute spelling of a path, so that "dst", "./dst" and "/x/dst"
// (or a symbolic link to it) compare equal: symbolic links, "." and ".." of
// the part that exists are resolved by the kernel, the missing rest is
// appended lexically. Errors other than a missing part throw "Failed to
// resolve <path>: <strerror>" (function "resolvePath").
std::string resolvePath(const std::string& path, const char* source = "JxFile");

// True when inner is outer or lies below it (both resolved paths).
bool pathWithin(const std::string& inner, const std::string& outer);

// A folder only the caller can change: created with its missing parents
// (the last one mode 0700), refused when it is a symbolic link, owned by
// another user, or writable by group or others, so nobody else can plant a
// link among the files written there. An existing folder of the caller's that
// only it can change is narrowed to 0700. Errors throw (function "makePrivateDir") with a message
// that names the folder and the reason.
void makePrivateDir(const std::string& path, const char* source = "JxFile");

// mkdir -p with mode 0777 (less the umask): 0 when path is a folder at the
// end, else -1 with errno. Safe against another process making the same
// folders at the same time.
int makeDirs(const char* path);

// "dir/name" -> "dir"; "name" -> "."; "/name" -> "/".
std::string parentDir(const std::string& path);

}  // namespace jx
