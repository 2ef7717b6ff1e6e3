#include "FlrRolCacheWBA.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "FLR/JxException.h"
#include "platform/JxFile.h"
#include "platform/JxIO.h"

namespace {

constexpr int kInitialBuffer = 2097152;
constexpr const char* kBeyondEnd = "Cache file is corrupt: a journal entry goes beyond its end.";

bool isSigPrefix(int fd, long long size) {
    char head[FlrRolCacheBase::kSigSize];
    const long got = jx::readUpTo(fd, head, static_cast<size_t>(size));
    return got == size && std::memcmp(head, FlrRolCacheBase::sig, static_cast<size_t>(got)) == 0;
}

}  // namespace

FlrRolCacheWBA::FlrRolCacheWBA(const char* dir) : FlrRolCacheBase(dir) {
    buf = static_cast<char*>(std::malloc(kInitialBuffer));
    if (!buf) JX_THROW("FlrRolCacheWBA", "Memory allocation failed.");
    bufCap = kInitialBuffer;
}

FlrRolCacheWBA::~FlrRolCacheWBA() {
    std::free(buf);
}

// Opened before it is measured, so a file the writer deletes in between is
// simply gone rather than a failure. index is the file's place in the scan:
// the last one may be a file the writer is just starting.
FlrRolCacheWBA::Load FlrRolCacheWBA::loadFile(const std::string& name, int index,
                                              const char* function) {
    const int fd = jx::fileOps().open(name.c_str(), O_RDONLY, 0);
    if (fd < 0) {
        if (errno == ENOENT) return Load::kGone;
        JX_THROW_ERRNO(function, "Failed to open " + name, errno);
    }
    jx::File closer(fd);  // closes fd on every way out
    struct stat st;
    if (jx::fileOps().fstat(fd, &st) != 0)
        JX_THROW_ERRNO(function, "Failed to open " + name, errno);
    if (st.st_size > kMaxFileSize) JX_THROW(function, "File " + name + " is too big.");
    if (st.st_size <= kSigSize) {
        if (!(index == static_cast<int>(files.size()) - 1 && isSigPrefix(fd, st.st_size)))
            JX_THROW(function, "File " + name + " is too short.");
        // The writer has just created it and not yet written a record.
        dataLen = 0;
        pos = buf;
        loadedName = name;
        return Load::kLoaded;
    }
    const int size = static_cast<int>(st.st_size);
    if (bufCap < size - kSigSize) {
        auto* grown = static_cast<char*>(std::realloc(buf, static_cast<size_t>(size)));
        if (!grown) JX_THROW(function, "Memory allocation failed.");
        buf = grown;
        bufCap = size;
    }
    char head[kSigSize];
    readAll(fd, head, kSigSize, true);
    if (std::memcmp(head, sig, kSigSize) != 0)
        JX_THROW(function, "File " + name + " is corrupt: invalid signature.");
    // The writer may cut an incomplete final record off meanwhile: what is
    // there is what counts.
    const long got = jx::readUpTo(fd, buf, static_cast<size_t>(size - kSigSize));
    if (got < 0)
        JX_THROW_CODE(function, "Failed to read data from cache file: " + jxErrnoText(errno),
                      errno);
    dataLen = static_cast<int>(got);
    pos = buf;
    loadedName = name;
    return Load::kLoaded;
}

// The newest file of the scan may be the one the writer is appending to, so
// a record that is not all there yet ends it instead of being damage.
bool FlrRolCacheWBA::onLastFile() const {
    return fileIndex >= 0 && fileIndex == static_cast<int>(files.size()) - 1;
}

int FlrRolCacheWBA::getEntry(uint64_t seq, const char** data, int* len) {
    static const char* const kFn = "FlrRolCacheWBA::getEntry";
    if (!data || !len) JX_THROW(kFn, "NULL buffer or length pointer passed as input.");
    JxMonitorLock lk(monitor);
    int index = -1;
    const std::string name = getFileName(seq, &index);
    if (name.empty() || loadFile(name, index, kFn) == Load::kGone) {
        fileIndex = -1;
        return 0;
    }
    fileIndex = index;
    const char* const end = buf + dataLen;
    while (end - pos >= kRecordHeaderSize) {
        uint64_t recSeq = 0;
        int32_t recLen = 0;
        decodeRecordHeader(reinterpret_cast<const unsigned char*>(pos), recSeq, recLen);
        const bool inRange = recLen >= 1 && recLen <= kMaxRecordLen;
        if (!inRange || recLen > end - pos - kRecordHeaderSize) {
            if (inRange && onLastFile()) break;
            JX_THROW(kFn, "Cache file is corrupt: invalid record size");
        }
        if (recSeq == seq) {
            *data = pos + kRecordHeaderSize;
            *len = recLen;
            pos += kRecordHeaderSize + recLen;
            lastReturned = recSeq;
            return 1;
        }
        if (recSeq > seq) break;
        pos += kRecordHeaderSize + recLen;
    }
    fileIndex = -1;
    return 0;
}

int FlrRolCacheWBA::getFirstEntry(uint64_t* seq, const char** data, int* len) {
    static const char* const kFn = "FlrRolCacheWBA::getFirstEntry";
    if (!seq || !data || !len) JX_THROW(kFn, "NULL buffer or length pointer passed as input.");
    JxMonitorLock lk(monitor);
    // The writer may have deleted the oldest files since the scan: the
    // oldest entry left is in the first file still there.
    for (size_t i = 0; i < files.size(); ++i) {
        if (loadFile(filePath(files[i]), static_cast<int>(i), kFn) == Load::kGone) continue;
        fileIndex = static_cast<int>(i);
        lastReturned = 0;
        return nextRecord(seq, data, len, kFn);
    }
    fileIndex = -1;
    return 0;
}

int FlrRolCacheWBA::getNextEntry(uint64_t* seq, const char** data, int* len) {
    static const char* const kFn = "FlrRolCacheWBA::getNextEntry";
    if (!seq || !data || !len)
        JX_THROW(kFn, "NULL seq_num, buffer or length pointers passed as input.");
    JxMonitorLock lk(monitor);
    if (fileIndex == -1)
        JX_THROW(kFn, "Must call getEntry() or getFirstEntry() before using getNextEntry().");
    return nextRecord(seq, data, len, kFn);
}

int FlrRolCacheWBA::nextRecord(uint64_t* seq, const char** data, int* len, const char* function) {
    for (;;) {
        const long remain = buf + dataLen - pos;
        if (remain >= kRecordHeaderSize) break;
        if (remain > 0 && !onLastFile()) JX_THROW(function, kBeyondEnd);
        if (fileIndex >= static_cast<int>(files.size()) - 1) return 0;
        ++fileIndex;
        if (loadFile(filePath(files[static_cast<size_t>(fileIndex)]), fileIndex, function) ==
            Load::kGone) {
            fileIndex = -1;
            return 0;
        }
    }
    const long remain = buf + dataLen - pos;
    uint64_t recSeq = 0;
    int32_t recLen = 0;
    decodeRecordHeader(reinterpret_cast<const unsigned char*>(pos), recSeq, recLen);
    const bool inRange = recLen >= 1 && recLen <= kMaxRecordLen;
    if (!inRange || recLen > remain - kRecordHeaderSize) {
        if (inRange && onLastFile()) return 0;
        JX_THROW(function, kBeyondEnd);
    }
    if (recSeq == 0 || recSeq <= lastReturned)
        JX_THROW(function,
                 "Cache file " + loadedName + " is corrupt: sequence numbers out of order.");
    *seq = recSeq;
    *data = pos + kRecordHeaderSize;
    *len = recLen;
    pos += kRecordHeaderSize + recLen;
    lastReturned = recSeq;
    return 1;
}
