// The full-copy sender, and the transfer buffer of the sending thread.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "FlrBackup.h"
#include "FlrBackupProgress.h"
#include "FlrBackupSenders.h"
#include "net/FlrNetHead.h"
#include "platform/EvDebug.h"
#include "platform/JxDirFd.h"
#include "platform/JxFile.h"
#include "platform/JxSparse.h"

FlrTransferBuffer::FlrTransferBuffer(int hashChunkSize) {
    const int blocks = std::max(3, FlrBackup::kTransferBufferBytes / hashChunkSize);
    size_ = blocks * hashChunkSize;
    data_ = std::malloc(static_cast<size_t>(size_));
    if (!data_) JX_THROW("FlrBackup::FlrBackup", "Memory allocation failed.");
}

FlrTransferBuffer::~FlrTransferBuffer() {
    std::free(data_);
}

void FlrFullSender::send(FlrBackupItem& f, int fd) {
    const char* fn = "FlrBackup::sendRegFileFull";
    jx::File opened;
    if (fd < 0) {
        opened = jx::openFile(f.src, O_RDONLY | O_LARGEFILE);
        if (!opened)
            JX_THROW(fn, "Failed to open \"" + f.src + "\" for reading: " + jxErrnoText(errno));
        fd = opened.get();
    }
    // The header promised this size; the tail cuts anything beyond it and
    // leaves what was never written (holes, zero runs) as holes.
    const long long size = static_cast<long long>(f.st.st_size);
    const bool sampled = ctx_.samples.net.tryTake();
    const uint64_t start = FlrAdaptiveMD5::nowMicros();
    long long sent = 0;
    long long cursor = 0;  // where the tail writes the next data
    // A file with blocks for all its bytes has no hole to look for: the
    // seeks are spared (zero runs are still left as holes below).
    const bool dense = static_cast<long long>(f.st.st_blocks) * 512 >= size;
    auto nextRange = [&](long long at, jx::DataRange* r) {
        if (!dense) return jx::nextDataRange(fd, at, size, r);
        if (at >= size) return false;
        *r = {at, size - at};
        return true;
    };
    jx::DataRange range;
    for (long long at = 0; nextRange(at, &range);) {
        at = range.offset;
        const long long end = range.offset + range.length;
        while (at < end) {
            ctx_.checkAbort(fn);
            const int want = static_cast<int>(std::min<long long>(end - at, buf_.size()));
            const ssize_t n = jx::readFullAt(fd, buf_.data(), static_cast<size_t>(want), at);
            if (n < 0) JX_THROW(fn, "FlrBackupItem read error: " + jxErrnoText(errno));
            if (n > 0) sent += sendSkippingZeros(at, static_cast<int>(n), &cursor);
            at += n;
            if (n < want) return finishSample(sampled, sent, start);  // the file shrank
            progress_.reportIfDue(fn);
        }
    }
    finishSample(sampled, sent, start);
}

// The n bytes in buf_.data() at file offset at, less the zero runs worth a seek:
// those the tail leaves as holes. Returns the bytes sent. A piece without
// such a run (the usual case) hands buf_.data() itself to the link.
long long FlrFullSender::sendSkippingZeros(long long at, int n, long long* cursor) {
    long long sent = 0;
    const auto* data = static_cast<const unsigned char*>(buf_.data());
    bool whole = false;
    jx::forEachZeroRun(data, static_cast<size_t>(n), at, FlrBackup::kSkippedZeroRun,
                       [&](size_t from, size_t len, bool zero) {
                           if (zero) return;
                           const long long off = at + static_cast<long long>(from);
                           if (off != *cursor) ctx_.head.sendMirSeek(off);
                           *cursor = off + static_cast<long long>(len);
                           sent += static_cast<long long>(len);
                           whole = len == static_cast<size_t>(n);
                           if (!whole) ctx_.head.sendMirData(data + from, static_cast<int>(len));
                       });
    if (whole) ctx_.head.sendMirData(buf_.data(), n, buf_.size());
    progress_.countBytes(sent);
    return sent;
}

void FlrFullSender::finishSample(bool sampled, long long sent, uint64_t start) {
    if (sampled)
        ctx_.samples.add(FlrBackupSamples::kNet, static_cast<unsigned long long>(sent),
                         FlrAdaptiveMD5::nowMicros() - start);
}
