#include "FlrRolCacheBase.h"
#include "FlrRolCacheSum.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "FLR/JxException.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxFile.h"
#include "platform/JxFileLock.h"
#include "platform/JxIO.h"

const char FlrRolCacheBase::sig[8] = {'Z', 'R', 'P', '1', 'L', '\n', '\x0E', '\xAF'};

namespace {

constexpr const char kPrefix[] = "cache.";
constexpr size_t kPrefixLen = sizeof(kPrefix) - 1;

// A directory nobody can write to has no writer that could delete files
// under a scan, and a reader may lack the rights to create ".lock" there.
bool takeSharedLock(JxFileLock& lock) {
    try {
        lock.lock(0, -1);
        return true;
    } catch (const JxException& e) {
        if (e.getCode() != EACCES && e.getCode() != EROFS && e.getCode() != ENOENT) throw;
        EvDebug::Debug("FlrRolCacheBase::scanDisk", "Scanning without the cache lock: %s",
                       e.getMessage().c_str());
        return false;
    }
}

}  // namespace

FlrRolCacheBase::FlrRolCacheBase(const char* dir) {
    if (!dir || !*dir)
        JX_THROW("FlrRolCacheBase", "NULL or empty cache directory name passed as input.");
    cacheDir = dir;
    EvDebug::Debug("FlrRolCacheBase", "Cache dir: %s", cacheDir.c_str());
    lockFile = cacheDir + "/.lock";
    long long id = 0;
    if (JXPlatformInfo::getLongLong("ZRP", "nRolCacheGenID", id)) genID = static_cast<uint64_t>(id);
    scanDisk();
}

FlrRolCacheBase::~FlrRolCacheBase() = default;

void FlrRolCacheBase::setGenID(uint64_t id) {
    JxMonitorLock lk(monitor);
    genID = id;
    if (JXPlatformInfo::setLongLong("ZRP", "nRolCacheGenID", static_cast<long long>(id)) != 0)
        JX_THROW_ERRNO("FlrRolCacheBase::setGenID",
                       "Failed to write nRolCacheGenID to " + JXPlatformInfo::getRegistryFile(),
                       errno);
}

uint64_t FlrRolCacheBase::getGenID() {
    JxMonitorLock lk(monitor);
    return genID;
}

void FlrRolCacheBase::scanDisk() {
    static const char* const kFn = "FlrRolCacheBase::scanDisk";
    std::vector<uint64_t> found;
    uint64_t bytes = 0;
    {
        // The directory is checked before the lock is taken so that a missing
        // directory is reported as such, not as a missing lock file.
        struct stat dirSt;
        if (jx::fileOps().stat(cacheDir.c_str(), &dirSt) != 0)
            JX_THROW_ERRNO(kFn, "Failed to open directory " + cacheDir, errno);
        JxFileLock lock(lockFile);
        takeSharedLock(lock);
        std::vector<std::string> names;
        if (const int err = jx::fileOps().listDir(cacheDir.c_str(), &names); err != 0)
            JX_THROW_ERRNO(kFn, "Failed to read directory " + cacheDir, err);
        for (const std::string& name : names) {
            if (name.compare(0, kPrefixLen, kPrefix) != 0) continue;
            // Checksums of finished files are for verification only.
            if (FlrRolCacheSum::isSumFileName(name)) continue;
            uint64_t seq = 0;
            if (parseCacheFileName(name.c_str(), seq))
                found.push_back(seq);
            else
                EvDebug::Error(kFn, "Unexpected file %s found in cache directory %s", name.c_str(),
                               cacheDir.c_str());
            const std::string path = cacheDir + "/" + name;
            struct stat st;
            if (jx::fileOps().stat(path.c_str(), &st) != 0)
                EvDebug::Error(kFn, "Failed to stat %s: %s", path.c_str(),
                               jxErrnoText(errno).c_str());
            else
                bytes += static_cast<uint64_t>(st.st_size);
        }
    }
    std::sort(found.begin(), found.end());
    JxMonitorLock lk(monitor);
    files.swap(found);
    diskBytes = bytes;
    EvDebug::Debug(kFn, "Discovered %lu cache files (%fMB).",
                   static_cast<unsigned long>(files.size()),
                   static_cast<double>(diskBytes) / 1048576.0);
}

std::string FlrRolCacheBase::getFileName(uint64_t seq, int* outIndex) {
    JxMonitorLock lk(monitor);
    if (files.empty() || seq < files.front()) return std::string();
    // The last element not above seq.
    const auto it = std::upper_bound(files.begin(), files.end(), seq) - 1;
    if (outIndex) *outIndex = static_cast<int>(it - files.begin());
    return filePath(*it);
}

std::string FlrRolCacheBase::getNextFileName(int& index) {
    JxMonitorLock lk(monitor);
    if (index < 0 || index >= static_cast<int>(files.size()) - 1) return std::string();
    ++index;
    return filePath(files[static_cast<size_t>(index)]);
}

std::vector<uint64_t> FlrRolCacheBase::getFiles() {
    JxMonitorLock lk(monitor);
    return files;
}

uint64_t FlrRolCacheBase::getDiskBytes() {
    JxMonitorLock lk(monitor);
    return diskBytes;
}

int FlrRolCacheBase::readAll(int fd, void* buf, int len, bool eofIsError) {
    return jx::readAll(fd, buf, len > 0 ? static_cast<size_t>(len) : 0, eofIsError, "cache file",
                       "FlrRolCacheBase");
}

long long FlrRolCacheBase::strtoll(const char* text, const char** end) {
    const char* p = text;
    while (*p && std::isspace(static_cast<unsigned char>(*p))) ++p;
    long long value = 0;
    while (*p >= '0' && *p <= '9') {
        // Wraps like the unsigned arithmetic it stands for instead of
        // overflowing a signed value.
        value = static_cast<long long>(static_cast<unsigned long long>(value) * 10u +
                                       static_cast<unsigned>(*p - '0'));
        ++p;
    }
    if (end) *end = p;
    return value;
}

std::string FlrRolCacheBase::cacheFileName(uint64_t firstSeq) {
    return jxFormat("cache.%lld", static_cast<long long>(firstSeq));
}

bool FlrRolCacheBase::parseCacheFileName(const char* name, uint64_t& firstSeq) {
    if (std::strncmp(name, kPrefix, kPrefixLen) != 0) return false;
    const char* digits = name + kPrefixLen;
    const size_t n = std::strlen(digits);
    // 19 digits hold every value up to kMaxSeq; a leading zero or anything
    // but digits would name a file this cache never writes.
    if (n == 0 || n > 19 || digits[0] == '0') return false;
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) {
        if (digits[i] < '0' || digits[i] > '9') return false;
        v = v * 10 + static_cast<uint64_t>(digits[i] - '0');
    }
    if (v > kMaxSeq) return false;
    firstSeq = v;
    return true;
}

void FlrRolCacheBase::encodeRecordHeader(uint64_t seq, int32_t len, unsigned char* out) {
    for (int i = 7; i >= 0; --i) {
        out[i] = static_cast<unsigned char>(seq & 0xFF);
        seq >>= 8;
    }
    const auto ulen = static_cast<uint32_t>(len);
    out[8] = static_cast<unsigned char>(ulen >> 24);
    out[9] = static_cast<unsigned char>(ulen >> 16);
    out[10] = static_cast<unsigned char>(ulen >> 8);
    out[11] = static_cast<unsigned char>(ulen);
}

void FlrRolCacheBase::decodeRecordHeader(const unsigned char* in, uint64_t& seq, int32_t& len) {
    uint64_t s = 0;
    for (int i = 0; i < 8; ++i) s = (s << 8) | in[i];
    seq = s;
    const uint32_t ulen = (static_cast<uint32_t>(in[8]) << 24) |
                          (static_cast<uint32_t>(in[9]) << 16) |
                          (static_cast<uint32_t>(in[10]) << 8) | static_cast<uint32_t>(in[11]);
    len = static_cast<int32_t>(ulen);
}
