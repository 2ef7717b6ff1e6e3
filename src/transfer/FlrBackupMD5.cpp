// The sending side of the MD5/RSync pipeline and the MD5 block sender.
#include <algorithm>
#include <cstring>

#include "FLR/FlrBackup.h"
#include "FLR/FlrNetHead.h"
#include "FLR/platform/EvDebug.h"
#include "FLR/platform/JxFile.h"
#include "FLR/platform/Jxc.h"

std::unique_ptr<FlrBackup::File> FlrBackup::takeItem(const char* function) {
    JxMonitorLock lock(workMon_);
    for (;;) {
        checkAbort(function);
        if (!work_.empty()) {
            std::unique_ptr<File> item = std::move(work_.front());
            work_.pop_front();
            workMon_.broadcast();
            return item;
        }
        // What the planner queued before it failed is still sent.
        if (planError_) throw JxException(*planError_);
        if (planDone_) return nullptr;
        workMon_.wait(kWaitMs);
    }
}

std::unique_ptr<FlrBackup::File> FlrBackup::takeSameFile(const File& first, const char* function) {
    std::unique_ptr<File> next = takeItem(function);
    if (!next || next->seq != first.seq)
        JX_THROW(function, "MD5 stream is corrupt. Didn't get EOF record for file " + first.src +
                               ". Got a new record for file " + (next ? next->src : "") +
                               " instead");
    return next;
}

void FlrBackup::drainFile(const File& item, const char* function) {
    bool last = item.last;
    while (!last) last = takeSameFile(item, function)->last;
}

void FlrBackup::backupMD5OrRSync() {
    const char* fn = "FlrBackup::backupMD5OrRSync";
    {
        JxMonitorLock lock(workMon_);
        work_.clear();
        planDone_ = planStop_ = false;
        planError_.reset();
    }
    // As in the LBFS loop: an LBFS file is complete on the tail only once its
    // blocks came, after its MIR_EOF, so no header may carry a restart offset.
    if (newNamesByLBFS_) sendOffsets_ = false;
    planner_.start("md5Thread", [this] { md5Thread(); });
    // The planner never outlives the run, however it ends.
    struct Stop {
        FlrBackup* self;
        ~Stop() { self->stopPlanner(); }
    } stop{this};
    if (driver_)
        EvDebug::DebugLvl(fn, 2,
                          "All file names are *approximate* and may not correspond to live FS");
    while (std::unique_ptr<File> item = takeItem(fn)) {
        if (!item->csums.empty() && !overwrite) {
            EvDebug::DebugLvl(fn, 2, "Skipping %s: already there on destination.",
                              item->src.c_str());
            drainFile(*item, fn);
            continue;
        }
        int fd = -1;
        if (S_ISREG(item->st.st_mode)) {
            fd = openFile(item->src.c_str(), item->fid, &item->st);
            if (fd < 0) {
                drainFile(*item, fn);
                continue;
            }
            gatherACL(*item, fd);
        }
        const uint8_t method = item->lbfs    ? FlrNetMirHeader::kLBFS
                               : item->rsync ? FlrNetMirHeader::kRSync
                               : item->md5   ? FlrNetMirHeader::kMD5
                                             : FlrNetMirHeader::kFull;
        sendEntry(*item, fd, method);
        countFile(*item, method);
    }
    // The LBFS thread (started by the first new name) answers block
    // requests until the tail asked for everything.
    flushLBFS();
    head_->flush(300);
    EvDebug::Debug(fn, "Transfer complete");
}

namespace {

// Blocks that differ, gathered so that a run of them leaves as one piece.
struct PendingRun {
    long long start = 0;
    int len = 0;
};

}  // namespace

void FlrBackup::sendRegFileMD5(File& first, int fd) {
    const char* fn = "FlrBackup::sendRegFileMD5";
    const int block = first.block > 0 ? first.block : hashChunkSize;
    long long size = static_cast<long long>(first.st.st_size);
    const File* cur = &first;
    std::unique_ptr<File> held;
    size_t next = 0;
    // The tail's digest for the next block, or null past its last one:
    // everything from there on is local data the tail lacks and is sent.
    auto digest = [&]() -> const ChunkCSUM* {
        while (next >= cur->csums.size()) {
            if (cur->last) return nullptr;
            held = takeSameFile(first, fn);
            cur = held.get();
            next = 0;
        }
        return &cur->csums[next++];
    };
    const bool sampleNet = netSamples_.tryTake();
    unsigned long long netMicros = 0;
    long long netBytes = 0;
    PendingRun run;
    bool prevSkipped = false;
    auto flushRun = [&]() {
        if (run.len == 0) return;
        const uint64_t t0 = FlrAdaptiveMD5::nowMicros();
        head_->sendMirData(buf_, run.len, bufSize_);
        netMicros += FlrAdaptiveMD5::nowMicros() - t0;
        netBytes += run.len;
        countBytes(run.len);
        pushToBNIfNeeded(fn);
        run.len = 0;
    };
    md5_state_t md5;
    for (long long off = 0; off < size;) {
        checkAbort(fn);
        const int want = static_cast<int>(std::min<long long>(block, size - off));
        if (run.len + want > bufSize_) flushRun();
        unsigned char* data = static_cast<unsigned char*>(buf_) + run.len;
        const int n = readAll(fd, data, want);
        if (n <= 0) break;
        const ChunkCSUM* tail = digest();
        bool same = false;
        if (tail && tail->index == static_cast<uint32_t>(off / block)) {
            uint32_t crc = 0xFFFFFFFFu;
            jx_crc32(data, static_cast<size_t>(n), &crc);
            if (crc == tail->weak) {
                const bool sampleLocal = localSamples_.tryTake();
                const uint64_t t0 = FlrAdaptiveMD5::nowMicros();
                unsigned char local[16];
                md5_init(&md5);
                md5_append(&md5, data, static_cast<size_t>(n));
                md5_finish(&md5, local);
                if (sampleLocal)
                    addSample(1, static_cast<unsigned long long>(n),
                              FlrAdaptiveMD5::nowMicros() - t0);
                same = std::memcmp(local, tail->md5, sizeof local) == 0;
            }
        }
        if (same) {
            flushRun();
            prevSkipped = true;
        } else {
            // Only a skipped block breaks the stream; a run that merely
            // filled the buffer continues where it ended.
            if (run.len == 0 && prevSkipped) head_->sendMirSeek(off);
            if (run.len == 0) run.start = off;
            run.len += n;
            prevSkipped = false;
            EvDebug::DebugLvl(fn, 3, "[%lld-%lld]: %s => %s", off, off + n - 1, first.src.c_str(),
                              first.dst.c_str());
        }
        off += n;
        if (n < want) break;  // the file shrank since the header
    }
    flushRun();
    if (sampleNet) addSample(0, static_cast<unsigned long long>(netBytes), netMicros);
    if (!cur->last) drainFile(*cur, fn);
}
