// The send history ring and its file.
#include "FlrSendHistory.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FLR/JxException.h"
#include "platform/EvDebug.h"
#include "platform/JxCoding.h"
#include "platform/JxFile.h"
#include "platform/JxIO.h"

namespace {

const char* const kHistoryWhat = "swap file";
const char* const kHistorySource = "FlrSendHistory";

uint64_t roundUp8(uint64_t n) {
    return (n + 7) & ~uint64_t{7};
}

// Bytes a record of len payload bytes takes in the ring.
uint64_t recordSize(uint64_t len) {
    return FlrSendHistory::kRecordHeader + roundUp8(len);
}

// Errors of the file layer, told as this family's own.
template <class Fn>
void asHistoryError(const char* function, Fn fn) {
    try {
        fn();
    } catch (const JxException& e) {
        throw JxException(function, e.getMessage(), kHistorySource, e.getLine(), e.getCode());
    }
}

}  // namespace

FlrSendHistory::FlrSendHistory(int maxBytes) {
    EvDebug::Debug("FlrSendHistory", "Storing up to %0.1fMB of history of journal entries.",
                   maxBytes / 1048576.0);
    capacity_ = maxBytes > 0 ? maxBytes : 0;
    ring_ = static_cast<unsigned char*>(std::malloc(capacity_ > 0 ? capacity_ : 1));
    if (!ring_) JX_THROW("FlrSendHistory", "Not enough memory.");
}

FlrSendHistory::~FlrSendHistory() {
    std::free(ring_);
}

uint32_t FlrSendHistory::nextOf(long off) const {
    return jx::loadBE32(ring_ + off);
}

uint32_t FlrSendHistory::lenOf(long off) const {
    return jx::loadBE32(ring_ + off + 4);
}

uint64_t FlrSendHistory::seqOf(long off) const {
    return jx::loadBE64(ring_ + off + 8);
}

long FlrSendHistory::endOf(long off) const {
    return off + static_cast<long>(recordSize(lenOf(off)));
}

void FlrSendHistory::writeRecord(long off, unsigned long long seq, const void* data, int len) {
    unsigned char* p = ring_ + off;
    jx::storeBE32(p, kEndMarker);
    jx::storeBE32(p + 4, static_cast<uint32_t>(len));
    jx::storeBE64(p + 8, seq);
    if (len > 0) std::memcpy(p + kRecordHeader, data, static_cast<size_t>(len));
    // Padding is zeroed so that saved files never carry stale ring bytes.
    const size_t pad = roundUp8(static_cast<uint64_t>(len)) - static_cast<uint64_t>(len);
    std::memset(p + kRecordHeader + len, 0, pad);
}

void FlrSendHistory::dropOldest() {
    if (oldest_ == newest_) {
        oldest_ = newest_ = -1;
        return;
    }
    oldest_ = static_cast<long>(nextOf(oldest_));
}

void FlrSendHistory::add(unsigned long long seq, const void* data, int len) {
    if (len < 0 || (len > 0 && !data))
        JX_THROW("FlrSendHistory::add", "Invalid arguments: an entry needs its bytes");
    const long long span = static_cast<long long>(len) + 32;
    if (span > capacity_) {
        if (span > INT_MAX) JX_THROW("FlrSendHistory::add", "Not enough memory.");
        auto* grown = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(span)));
        if (!grown) JX_THROW("FlrSendHistory::add", "Not enough memory.");
        std::free(ring_);
        ring_ = grown;
        capacity_ = static_cast<int>(span);
        writeRecord(0, seq, data, len);
        oldest_ = newest_ = 0;
        return;
    }
    if (empty()) {
        writeRecord(0, seq, data, len);
        oldest_ = newest_ = 0;
        return;
    }
    const long newestEnd = endOf(newest_);
    long p = newestEnd;
    const bool wraps = p + static_cast<long>(recordSize(static_cast<uint64_t>(len))) > capacity_;
    if (wraps) p = 0;
    jx::storeBE32(ring_ + newest_, static_cast<uint32_t>(p));
    if (wraps) {
        // Everything from the old end to the ring's end precedes, in the
        // chain, the records at the ring's start that the new one is about to
        // overwrite: those older entries must go first, or the history would
        // keep them while losing newer ones, and a resend would skip entries.
        while (!empty() && oldest_ >= newestEnd) dropOldest();
    }
    while (!empty() && oldest_ >= p && oldest_ < p + span) dropOldest();
    writeRecord(p, seq, data, len);
    newest_ = p;
    if (empty()) oldest_ = p;
}

unsigned long long FlrSendHistory::resend(unsigned long long seq, const Send& send) {
    if (empty()) return seq;
    if (seq < seqOf(oldest_))
        JX_THROW("FlrSendHistory::resend",
                 jxFormat("Entry with sequence number %lld is not in the send history.",
                          static_cast<long long>(seq)));
    long off = oldest_;
    for (;;) {
        if (seqOf(off) > seq) send(ring_ + off + kRecordHeader, static_cast<int>(lenOf(off)));
        if (off == newest_) break;
        off = static_cast<long>(nextOf(off));
    }
    return seqOf(newest_);
}

unsigned long long FlrSendHistory::getMinSeqNum() const {
    return empty() ? 0 : seqOf(oldest_);
}

unsigned long long FlrSendHistory::getMaxSeqNum() const {
    return empty() ? 0 : seqOf(newest_);
}

void FlrSendHistory::forEach(
    const std::function<void(unsigned long long, const void*, int)>& fn) const {
    if (empty()) return;
    for (long off = oldest_;; off = static_cast<long>(nextOf(off))) {
        fn(seqOf(off), ring_ + off + kRecordHeader, static_cast<int>(lenOf(off)));
        if (off == newest_) break;
    }
}

void FlrSendHistory::clear(const char* path) {
    oldest_ = newest_ = -1;
    if (path) removeFile("FlrSendHistory::clear", path);
}

// Removes path durably: a removal lost in a power cut would bring the old
// history back on the next load.
void FlrSendHistory::removeFile(const char* function, const char* path) {
    if (jx::fileOps().unlink(path) != 0) {
        if (errno == ENOENT) return;
        JX_THROW_ERRNO(function, std::string("Failed to remove ") + path, errno);
    }
    asHistoryError(function, [&] { jx::fsyncDir(jx::parentDir(path), kHistorySource); });
}

void FlrSendHistory::save(const char* path) {
    static const char* const kFn = "FlrSendHistory::save";
    if (!path) JX_THROW(kFn, "Invalid arguments: path==NULL");
    // An empty history has no file (the format has no empty form that a cut
    // file could not also take); the old one must not come back on load.
    if (empty()) return removeFile(kFn, path);
    // The chain lies in at most two runs: from the oldest record up to where
    // it wrapped, then from offset 0 up to the newest.
    struct iovec iov[3];
    int n = 0;
    iov[n++] = {const_cast<unsigned char*>(kSignature), sizeof kSignature};
    long runStart = oldest_;
    for (long off = oldest_;; off = static_cast<long>(nextOf(off))) {
        if (off == newest_) break;
        if (static_cast<long>(nextOf(off)) != endOf(off)) {
            iov[n++] = {ring_ + runStart, static_cast<size_t>(endOf(off) - runStart)};
            runStart = static_cast<long>(nextOf(off));
        }
    }
    iov[n++] = {ring_ + runStart, static_cast<size_t>(endOf(newest_) - runStart)};

    // Replaced atomically: a crash or power cut at any point leaves the
    // previous file or this one, never a cut file that load would refuse.
    asHistoryError(kFn, [&] {
        jx::AtomicFile file(path, 0600, kHistoryWhat, kHistorySource);
        file.writev(iov, n);
        file.commit();
    });
}

bool FlrSendHistory::load(const char* path) {
    static const char* const kFn = "FlrSendHistory::load";
    if (!path) JX_THROW(kFn, "Invalid arguments: path==NULL");
    jx::File file = jx::openFile(path, O_RDONLY);
    if (!file) {
        if (errno == ENOENT) return false;
        JX_THROW_ERRNO(kFn, std::string("Failed to open ") + path + " for reading", errno);
    }
    const int fd = file.get();
    struct stat st {};
    if (jx::fileOps().fstat(fd, &st) != 0)
        JX_THROW_ERRNO(kFn, std::string("Failed to stat ") + path, errno);
    const std::string refused = std::string("Can't load FLR history from ") + path + ": ";
    if (!S_ISREG(st.st_mode)) JX_THROW(kFn, refused + "not a regular file.");
    if (st.st_size > INT_MAX - 1024) JX_THROW(kFn, refused + "the file is too large.");
    unsigned char sig[sizeof kSignature];
    jx::readAll(fd, sig, sizeof sig, true, kHistoryWhat, kHistorySource);
    if (std::memcmp(sig, kSignature, sizeof sig) != 0)
        JX_THROW(kFn, refused + "invalid file signature.");

    // Everything is read and checked in a ring of its own, so a damaged file
    // leaves the current history untouched.
    const auto fileSize = static_cast<long>(st.st_size);
    const long dataLen = fileSize - static_cast<long>(sizeof kSignature);
    int cap = capacity_;
    if (fileSize > capacity_) cap = static_cast<int>((fileSize + 1023) / 1024 * 1024);
    auto* ring = static_cast<unsigned char*>(std::malloc(cap > 0 ? cap : 1));
    if (!ring) JX_THROW(kFn, "Not enough memory.");
    struct RingFree {
        unsigned char*& p;
        ~RingFree() { std::free(p); }
    } ringFree{ring};
    if (dataLen > 0)
        jx::readAll(fd, ring, static_cast<size_t>(dataLen), true, kHistoryWhat, kHistorySource);

    long oldest = -1;
    long newest = -1;
    for (long off = 0; off < dataLen;) {
        if (dataLen - off < kRecordHeader)
            JX_THROW(kFn, refused + jxFormat("the record at offset %ld is cut short.", off));
        const uint64_t size = recordSize(jx::loadBE32(ring + off + 4));
        if (size > static_cast<uint64_t>(dataLen - off))
            JX_THROW(kFn, refused + jxFormat("the record at offset %ld runs past the end of the "
                                             "file.",
                                             off));
        const long end = off + static_cast<long>(size);
        if (oldest < 0) oldest = off;
        if (jx::loadBE32(ring + off) == kEndMarker) {
            if (end != dataLen)
                JX_THROW(kFn,
                         refused + jxFormat("data follows the newest record at offset %ld.", off));
            newest = off;
            break;
        }
        jx::storeBE32(ring + off, static_cast<uint32_t>(end));
        off = end;
    }
    // save() writes no file for an empty history, so a file without a record
    // is one cut after its signature.
    if (oldest < 0) JX_THROW(kFn, refused + "the file holds no record.");
    if (newest < 0) JX_THROW(kFn, refused + "the newest record is missing.");

    std::swap(ring_, ring);
    capacity_ = cap;
    oldest_ = oldest;
    newest_ = newest;
    return true;
}

bool FlrSendHistory::operator==(const FlrSendHistory& other) const {
    if (empty() || other.empty()) return empty() && other.empty();
    long a = oldest_;
    long b = other.oldest_;
    for (;;) {
        const uint32_t len = lenOf(a);
        if (len != other.lenOf(b) || seqOf(a) != other.seqOf(b) ||
            std::memcmp(ring_ + a + kRecordHeader, other.ring_ + b + kRecordHeader, len) != 0)
            return false;
        const bool lastA = a == newest_;
        const bool lastB = b == other.newest_;
        if (lastA || lastB) return lastA && lastB;
        a = static_cast<long>(nextOf(a));
        b = static_cast<long>(other.nextOf(b));
    }
}
