#pragma once
// Directory walking on descriptors, for the tree scans: open a directory
// relative to its parent's descriptor, read its entries with getdents64 into
// one reused buffer, and stat entries relative to it. Names are the file
// system's own bytes (no encoding conversion: the scans convert once, where
// they report). Nothing here changes the working directory, so other threads
// may keep using relative paths.
//
// The calls go through fileOps() (openAt, statAt, readDirEntries), so a test
// can make an entry vanish or a listing fail.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "JxFile.h"

namespace jx {

// Opens the directory name below dirFd (AT_FDCWD: name is a path) for
// listing; a final symbolic link is never followed. Invalid File and errno
// on failure.
File openDirAt(int dirFd, const char* name);

// lstat of name below dirFd. 0, or -1 with errno.
int statAt(int dirFd, const char* name, struct stat* st);

// Reads the entries of an open directory, "." and ".." left out.
class DirReader {
  public:
    explicit DirReader(size_t bufferBytes = 64 * 1024);

    // Starts over on fd (rewound to its first entry).
    int start(int fd);
    // The next entry: 1 with *name set (valid until the next call), 0 at the
    // end, -1 with errno on a read failure. *type is the dirent type
    // (DT_UNKNOWN when the file system does not say).
    int next(const char** name, unsigned char* type);

  private:
    std::vector<char> buf_;
    int fd_ = -1;
    size_t pos_ = 0;
    size_t len_ = 0;
};

}  // namespace jx
