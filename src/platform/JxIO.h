#pragma once
// Whole-buffer read and write loops shared by every family that keeps files;
// they go through jx::fileOps() (JxFile.h), so a test can fault them.
// `what` names the file kind in messages ("swap file", "cache file"), `source`
// the family that calls, so errors read as that family's own.
#include <sys/uio.h>

#include <cstddef>

namespace jx {

// Reads exactly len bytes, retrying on EINTR. Returns len, or 0 on a clean end
// of file before any byte when eofIsError is false. A read error throws
// "Failed to read data from <what>: <strerror>" (code errno); a short read
// throws "Failed to read data from <what>: Unexpected EOF." (code -1).
// Function name "readAll".
int readAll(int fd, void* buf, size_t len, bool eofIsError, const char* what, const char* source);

// Writes exactly len bytes, retrying on EINTR and short writes. Errors throw
// "Failed to write data to <what>: <strerror>" (code errno), function "writeAll".
void writeAll(int fd, const void* data, size_t len, const char* what, const char* source);

// writev of all iov buffers in one system call when the kernel takes them all,
// continuing after short writes; same errors as writeAll. iov is modified.
void writevAll(int fd, struct iovec* iov, int iovcnt, const char* what, const char* source);

// Reads up to len bytes, stopping early only at end of file; retries EINTR.
// Returns the bytes read; -1 with errno set on a read error.
long readUpTo(int fd, void* buf, size_t len);

}  // namespace jx
