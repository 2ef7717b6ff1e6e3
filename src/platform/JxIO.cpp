#include "JxIO.h"

#include <cerrno>
#include <string>

#include "FLR/JxException.h"
#include "JxFile.h"

namespace jx {

int readAll(int fd, void* buf, size_t len, bool eofIsError, const char* what, const char* source) {
    auto* p = static_cast<char*>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t n = fileOps().read(fd, p + done, len - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            throw JxException(
                "readAll",
                std::string("Failed to read data from ") + what + ": " + jxErrnoText(err), source,
                __LINE__, err);
        }
        if (n == 0) {
            if (done == 0 && !eofIsError) return 0;
            throw JxException("readAll",
                              std::string("Failed to read data from ") + what + ": Unexpected EOF.",
                              source, __LINE__, -1);
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<int>(done);
}

[[noreturn]] static void throwWrite(const char* what, const char* source, int err) {
    throw JxException("writeAll",
                      std::string("Failed to write data to ") + what + ": " + jxErrnoText(err),
                      source, __LINE__, err);
}

void writeAll(int fd, const void* data, size_t len, const char* what, const char* source) {
    const auto* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = fileOps().write(fd, p, len);
        if (n < 0) {
            if (errno == EINTR) continue;
            throwWrite(what, source, errno);
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
}

void writevAll(int fd, struct iovec* iov, int iovcnt, const char* what, const char* source) {
    while (iovcnt > 0) {
        ssize_t n = fileOps().writev(fd, iov, iovcnt);
        if (n < 0) {
            if (errno == EINTR) continue;
            throwWrite(what, source, errno);
        }
        auto left = static_cast<size_t>(n);
        while (iovcnt > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            ++iov;
            --iovcnt;
        }
        if (iovcnt > 0) {
            iov->iov_base = static_cast<char*>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
}

long readUpTo(int fd, void* buf, size_t len) {
    auto* p = static_cast<char*>(buf);
    size_t done = 0;
    while (done < len) {
        ssize_t n = fileOps().read(fd, p + done, len - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return -1;
        }
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    return static_cast<long>(done);
}

}  // namespace jx
