// The sending side of the MD5/RSync pipeline and the MD5 block sender.
#include <algorithm>
#include <cstring>
#include <vector>

#include "FlrBackup.h"
#include "digest/Jxc.h"
#include "net/FlrNetHead.h"
#include "platform/EvDebug.h"
#include "platform/JxFile.h"

void FlrBackup::backupMD5OrRSync() {
    const char* fn = "FlrBackup::backupMD5OrRSync";
    // As in the LBFS loop: an LBFS file is complete on the tail only once its
    // blocks came, after its MIR_EOF, so no header may carry a restart offset.
    if (ctx_.newNamesByLBFS) ctx_.sendOffsets = false;
    planner_.start();
    // The planner never outlives the run, however it ends.
    struct Stop {
        FlrBackup* self;
        ~Stop() { self->planner_.stop(); }
    } stop{this};
    if (driver_)
        EvDebug::DebugLvl(fn, 2,
                          "All file names are *approximate* and may not correspond to live FS");
    while (std::unique_ptr<File> item = planner_.take(fn)) {
        if (!item->csums.empty() && !overwrite) {
            EvDebug::DebugLvl(fn, 2, "Skipping %s: already there on destination.",
                              item->src.c_str());
            planner_.drainFile(*item, fn);
            continue;
        }
        if (sendIfHardLink(*item)) {
            planner_.drainFile(*item, fn);
            continue;
        }
        int fd = -1;
        if (S_ISREG(item->st.st_mode)) {
            fd = openFile(item->src.c_str(), item->fid, &item->st);
            if (fd < 0) {
                planner_.drainFile(*item, fn);
                continue;
            }
            source_.gatherACL(*item, fd);
        }
        const uint8_t method = item->lbfs    ? FlrNetMirHeader::kLBFS
                               : item->rsync ? FlrNetMirHeader::kRSync
                               : item->md5   ? FlrNetMirHeader::kMD5
                                             : FlrNetMirHeader::kFull;
        if (!sendEntry(*item, fd, method)) {
            planner_.drainFile(*item, fn);
            continue;
        }
        rememberLinkName(*item);
        // A file the tail held nothing of travelled whole, whatever the
        // message says: the summary counts it as full.
        const bool compared = method == FlrNetMirHeader::kMD5 || method == FlrNetMirHeader::kRSync;
        countFile(*item, compared && item->tailHeldNothing ? FlrNetMirHeader::kFull : method);
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

// Blocks read and compared per pass: their MD5s share the vector lanes.
// Capped in bytes so that large blocks do not make a large buffer.
constexpr int kMaxBatchBlocks = 32;

int batchBlocksFor(int block) {
    constexpr int kMaxBytes = 4 << 20;
    return std::clamp(kMaxBytes / block, 1, kMaxBatchBlocks);
}

// One pass of blocks read from the file: where each starts in the batch
// buffer, its length, and whether the tail already holds it.
struct Batch {
    int blocks = 0;
    int length[kMaxBatchBlocks] = {};
    bool same[kMaxBatchBlocks] = {};
    // The tail's MD5 where the weak sums matched. A copy: the digests of a
    // later block may come in a new message, which frees the one before.
    bool candidate[kMaxBatchBlocks] = {};
    unsigned char tailMD5[kMaxBatchBlocks][16] = {};
    unsigned long long candidateBytes = 0;
};

// The MD5s of the blocks whose weak sum matched the tail's, all at once; a
// short last block goes on its own since the lanes need equal lengths.
void compareMD5s(const unsigned char* data, int block, Batch& batch) {
    const unsigned char* whole[kMaxBatchBlocks];
    int wholeIndex[kMaxBatchBlocks];
    size_t nWhole = 0;
    for (int b = 0; b < batch.blocks; ++b)
        if (batch.candidate[b] && batch.length[b] == block) {
            whole[nWhole] = data + static_cast<size_t>(b) * block;
            wholeIndex[nWhole++] = b;
        }
    unsigned char local[kMaxBatchBlocks][16];
    Jxc::md5Many(whole, nWhole, static_cast<size_t>(block), local);
    for (size_t i = 0; i < nWhole; ++i)
        batch.same[wholeIndex[i]] = std::memcmp(local[i], batch.tailMD5[wholeIndex[i]], 16) == 0;
    const int last = batch.blocks - 1;
    if (batch.candidate[last] && batch.length[last] != block) {
        unsigned char shortMD5[16];
        Jxc::md5(data + static_cast<size_t>(last) * block, static_cast<size_t>(batch.length[last]),
                 shortMD5);
        batch.same[last] = std::memcmp(shortMD5, batch.tailMD5[last], 16) == 0;
    }
}

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
            held = planner_.takeSameFile(first, fn);
            cur = held.get();
            next = 0;
        }
        return &cur->csums[next++];
    };
    const bool sampleNet = samples_.net.tryTake();
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
    const int batchBlocks = batchBlocksFor(block);
    std::vector<unsigned char> data(static_cast<size_t>(
        std::min<long long>(size, static_cast<long long>(batchBlocks) * block)));
    for (long long off = 0; off < size;) {
        checkAbort(fn);
        const int span = static_cast<int>(
            std::min<long long>(static_cast<long long>(batchBlocks) * block, size - off));
        const int got = readAll(fd, data.data(), span);
        if (got <= 0) break;
        // Weak sums first; only blocks whose CRC-32 matched need an MD5.
        Batch batch;
        batch.blocks = (got + block - 1) / block;
        for (int b = 0; b < batch.blocks; ++b) {
            const long long at = off + static_cast<long long>(b) * block;
            const unsigned char* p = data.data() + static_cast<size_t>(b) * block;
            batch.length[b] = std::min(block, got - b * block);
            const ChunkCSUM* tail = digest();
            if (!tail || tail->index != static_cast<uint32_t>(at / block)) continue;
            uint32_t crc = 0xFFFFFFFFu;
            jx_crc32(p, static_cast<size_t>(batch.length[b]), &crc);
            if (crc != tail->weak) continue;
            batch.candidate[b] = true;
            std::memcpy(batch.tailMD5[b], tail->md5, sizeof batch.tailMD5[b]);
            batch.candidateBytes += static_cast<unsigned long long>(batch.length[b]);
        }
        if (batch.candidateBytes > 0) {
            const bool sampleLocal = samples_.local.tryTake();
            const uint64_t t0 = FlrAdaptiveMD5::nowMicros();
            compareMD5s(data.data(), block, batch);
            if (sampleLocal)
                samples_.add(1, batch.candidateBytes, FlrAdaptiveMD5::nowMicros() - t0);
        }
        for (int b = 0; b < batch.blocks; ++b) {
            const long long at = off + static_cast<long long>(b) * block;
            const int n = batch.length[b];
            const int want = static_cast<int>(std::min<long long>(block, size - at));
            if (run.len + want > bufSize_) flushRun();
            if (batch.same[b]) {
                flushRun();
                prevSkipped = true;
                continue;
            }
            // Only a skipped block breaks the stream; a run that merely
            // filled the buffer continues where it ended.
            if (run.len == 0 && prevSkipped) head_->sendMirSeek(at);
            if (run.len == 0) run.start = at;
            std::memcpy(static_cast<unsigned char*>(buf_) + run.len,
                        data.data() + static_cast<size_t>(b) * block, static_cast<size_t>(n));
            run.len += n;
            prevSkipped = false;
            EvDebug::DebugLvl(fn, 3, "[%lld-%lld]: %s => %s", at, at + n - 1, first.src.c_str(),
                              first.dst.c_str());
        }
        off += got;
        if (got < span) break;  // the file shrank since the header
    }
    flushRun();
    if (sampleNet) samples_.add(0, static_cast<unsigned long long>(netBytes), netMicros);
    if (!cur->last) planner_.drainFile(*cur, fn);
}
