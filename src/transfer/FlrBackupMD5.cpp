// The MD5 sender: the blocks of the file whose digests differ from the
// tail's, the digests taken from the planner's items of the file.
#include <algorithm>
#include <cstring>
#include <vector>

#include "FlrBackup.h"
#include "FlrBackupPlanner.h"
#include "FlrBackupProgress.h"
#include "FlrBackupSenders.h"
#include "FlrBackupSource.h"
#include "digest/Jxc.h"
#include "net/FlrNetHead.h"
#include "platform/EvDebug.h"
#include "platform/JxFile.h"

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

void FlrMD5Sender::send(FlrBackupItem& first, int fd) {
    const char* fn = "FlrBackup::sendRegFileMD5";
    const int block = first.block > 0 ? first.block : ctx_.settings.hashChunkSize;
    long long size = static_cast<long long>(first.st.st_size);
    const FlrBackupItem* cur = &first;
    std::unique_ptr<FlrBackupItem> held;
    size_t next = 0;
    // The tail's digest for the next block, or null past its last one:
    // everything from there on is local data the tail lacks and is sent.
    auto digest = [&]() -> const FlrBackupChunkCSUM* {
        while (next >= cur->csums.size()) {
            if (cur->last) return nullptr;
            held = planner_.takeSameFile(first, fn);
            cur = held.get();
            next = 0;
        }
        return &cur->csums[next++];
    };
    const bool sampleNet = ctx_.samples.net.tryTake();
    unsigned long long netMicros = 0;
    long long netBytes = 0;
    PendingRun run;
    bool prevSkipped = false;
    auto flushRun = [&]() {
        if (run.len == 0) return;
        const uint64_t t0 = FlrAdaptiveMD5::nowMicros();
        ctx_.head.sendMirData(buf_.data(), run.len, buf_.size());
        netMicros += FlrAdaptiveMD5::nowMicros() - t0;
        netBytes += run.len;
        progress_.countBytes(run.len);
        progress_.reportIfDue(fn);
        run.len = 0;
    };
    const int batchBlocks = batchBlocksFor(block);
    std::vector<unsigned char> data(static_cast<size_t>(
        std::min<long long>(size, static_cast<long long>(batchBlocks) * block)));
    for (long long off = 0; off < size;) {
        ctx_.checkAbort(fn);
        const int span = static_cast<int>(
            std::min<long long>(static_cast<long long>(batchBlocks) * block, size - off));
        const int got = FlrBackupSource::readAll(fd, data.data(), span);
        if (got <= 0) break;
        // Weak sums first; only blocks whose CRC-32 matched need an MD5.
        Batch batch;
        batch.blocks = (got + block - 1) / block;
        for (int b = 0; b < batch.blocks; ++b) {
            const long long at = off + static_cast<long long>(b) * block;
            const unsigned char* p = data.data() + static_cast<size_t>(b) * block;
            batch.length[b] = std::min(block, got - b * block);
            const FlrBackupChunkCSUM* tail = digest();
            if (!tail || tail->index != static_cast<uint32_t>(at / block)) continue;
            uint32_t crc = 0xFFFFFFFFu;
            jx_crc32(p, static_cast<size_t>(batch.length[b]), &crc);
            if (crc != tail->weak) continue;
            batch.candidate[b] = true;
            std::memcpy(batch.tailMD5[b], tail->md5, sizeof batch.tailMD5[b]);
            batch.candidateBytes += static_cast<unsigned long long>(batch.length[b]);
        }
        if (batch.candidateBytes > 0) {
            const bool sampleLocal = ctx_.samples.local.tryTake();
            const uint64_t t0 = FlrAdaptiveMD5::nowMicros();
            compareMD5s(data.data(), block, batch);
            if (sampleLocal)
                ctx_.samples.add(1, batch.candidateBytes, FlrAdaptiveMD5::nowMicros() - t0);
        }
        for (int b = 0; b < batch.blocks; ++b) {
            const long long at = off + static_cast<long long>(b) * block;
            const int n = batch.length[b];
            const int want = static_cast<int>(std::min<long long>(block, size - at));
            if (run.len + want > buf_.size()) flushRun();
            if (batch.same[b]) {
                flushRun();
                prevSkipped = true;
                continue;
            }
            // Only a skipped block breaks the stream; a run that merely
            // filled the buffer continues where it ended.
            if (run.len == 0 && prevSkipped) ctx_.head.sendMirSeek(at);
            if (run.len == 0) run.start = at;
            std::memcpy(static_cast<unsigned char*>(buf_.data()) + run.len,
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
    if (sampleNet) ctx_.samples.add(0, static_cast<unsigned long long>(netBytes), netMicros);
    if (!cur->last) planner_.drainFile(*cur, fn);
}
