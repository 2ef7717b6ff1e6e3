#pragma once
// Directory-relative file operations for trees that must stay confined: every
// call names its target by a folder descriptor plus a name (or a relative
// path) and never follows a symbolic link, so a link planted inside the tree
// cannot redirect a create, write, rename or delete outside it.
//
// openBeneath resolves a relative path with openat2(RESOLVE_BENEATH |
// RESOLVE_NO_SYMLINKS); on kernels without openat2 it walks the components
// one by one with O_NOFOLLOW. Every call has the POSIX contract: -1 (or an
// invalid File) with errno set, no exceptions.
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "JxFile.h"

namespace jx {

// Opens a folder by an ordinary path (the root of a confined tree).
File openDirectory(const std::string& path);

// Opens rel beneath dirFd. rel is relative, its components separated by "/";
// "" means dirFd itself. A symbolic link anywhere on the way, the last
// component included, fails with ELOOP; ".." or an absolute path fails with
// EXDEV. O_CLOEXEC and O_NOFOLLOW are always added.
File openBeneath(int dirFd, const std::string& rel, int flags, mode_t mode = 0);

// openBeneath for a regular file's data: the open never blocks and never
// reaches a device (O_NONBLOCK, O_NOCTTY; a FIFO or device node under the name
// fails with ENXIO, a folder with EISDIR), and *st, when given, describes
// what was opened.
File openRegularBeneath(int dirFd, const std::string& rel, int flags, struct stat* st = nullptr);

// Tests force the component walk used where openat2 is missing.
void setBeneathWalkOnly(bool walkOnly);

// Single-name operations inside the folder dirFd (name has no "/").
int statAt(int dirFd, const std::string& name, struct stat* st);  // lstat-like
int mkdirAt(int dirFd, const std::string& name, mode_t mode);
int renameAt(int dirFd, const std::string& from, const std::string& to);
// As renameAt, but fails with EEXIST instead of replacing an existing `to`.
int renameNoReplaceAt(int dirFd, const std::string& from, const std::string& to);
int unlinkAt(int dirFd, const std::string& name, bool isDir);
int symlinkAt(const std::string& target, int dirFd, const std::string& name);
int mknodAt(int dirFd, const std::string& name, mode_t mode, dev_t dev);
// Between two folders: a rename (replacing to, as rename(2) does) and a hard
// link of the entry itself (a symbolic link is linked, not its target).
int renameBetween(int fromDir, const std::string& from, int toDir, const std::string& to);
int linkBetween(int fromDir, const std::string& from, int toDir, const std::string& to);
// Owner, mode and times of the entry itself, never of a link's target (the
// mode of a symbolic link cannot be set: EOPNOTSUPP).
int chownAt(int dirFd, const std::string& name, uid_t uid, gid_t gid);
int chmodAt(int dirFd, const std::string& name, mode_t mode);
// Times are seconds and nanoseconds (0 to 999,999,999; others are taken as 0).
int setTimesAt(int dirFd, const std::string& name, int64_t atime, int64_t mtime, long atimeNsec = 0,
               long mtimeNsec = 0);

// The same on an open descriptor.
int chownFd(int fd, uid_t uid, gid_t gid);
int chmodFd(int fd, mode_t mode);
int setTimesFd(int fd, int64_t atime, int64_t mtime, long atimeNsec = 0, long mtimeNsec = 0);
// Extended attributes of an open file (flags as setxattr(2): 0, XATTR_CREATE
// or XATTR_REPLACE).
int setXattrFd(int fd, const std::string& name, const void* value, size_t len, int flags);
int removeXattrFd(int fd, const std::string& name);

// Entry names of the open folder dirFd without "." and ".."; 0 or an errno
// value. dirFd itself is left open and unmoved.
int listDirFd(int dirFd, std::vector<std::string>* names);
// The same with each entry's type as the folder reports it (DT_REG, DT_DIR,
// ...; DT_UNKNOWN where the file system does not say: stat those).
int listDirFd(int dirFd, std::vector<std::string>* names, std::vector<unsigned char>* types);

// Copies len bytes from in at inOff to out at outOff (copy_file_range where
// the file system offers it, else read and write); 0 or an errno value, EIO
// when in ends early.
int copyRange(int in, int64_t inOff, int out, int64_t outOff, int64_t len);

// True when the file system holding fd overwrites a file's blocks where they
// are (ext4, XFS, tmpfs): space reserved beforehand is then enough for any
// overwrite. Copy-on-write file systems (btrfs and the rest) need new space
// for every block rewritten, so an update in place may fail half done.
bool overwritesInPlace(int fd);

// Reserves the blocks of [0, len) of fd without changing its size or bytes
// (fallocate FALLOC_FL_KEEP_SIZE); 0 or an errno value (ENOSPC when the file
// system cannot hold it; EOPNOTSUPP where it cannot reserve).
int reserveSpace(int fd, int64_t len);

// Makes everything written on the file system holding fd durable (syncfs):
// one call instead of an fsync per file when many small files are written.
int syncFileSystem(int fd);

// Starts writing fd's dirty pages to disk without waiting (sync_file_range):
// a later syncFileSystem then finds most of it done. 0 or an errno value.
int startWriteback(int fd);

// Writes all of data at offset; 0 or an errno value.
int writeAllAt(int fd, const void* data, size_t len, int64_t offset);

// Reads up to len bytes at offset, retrying short reads until end of file;
// the count, or -1 with errno.
ssize_t readFullAt(int fd, void* buf, size_t len, int64_t offset);

}  // namespace jx
