// The plain/LBFS loop and the LBFS sender. The main connection carries
// headers, LBFS_START and LBFS_STOP out; the block server (FlrBlockServer)
// answers the tail's block requests.
#include <fcntl.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "FlrBackup.h"
#include "FlrLBFSBlockCache.h"
#include "net/FlrNetHead.h"
#include "platform/EvDebug.h"
#include "platform/JxFile.h"

FlrBackup::RunLoop FlrBackup::chooseRunLoop(bool lbfs, bool md5, bool rsync, uint32_t peerVersion,
                                            bool newNames) {
    const bool lbfsPossible = lbfs && peerVersion > 3;
    if (lbfsPossible && newNames && (md5 || rsync)) return RunLoop::MD5OrRSyncLBFS;
    if (lbfsPossible) return RunLoop::LBFS;
    if (md5 || rsync) return RunLoop::MD5OrRSync;
    return RunLoop::Plain;
}

void FlrBackup::runChosenLoop() {
    counters_.lbfsFileBytes = 0;
    counters_.lbfsBlockBytes = 0;
    counters_.lbfsUnapplied = 0;
    blocks_.resetRun();
    const RunLoop loop =
        chooseRunLoop(useLBFS, useMD5, useRSync, head_->getPeerVersion(), lbfsForNewNames);
    ctx_.newNamesByLBFS = loop == RunLoop::MD5OrRSyncLBFS;
    switch (loop) {
        case RunLoop::LBFS:
            backupRegOrLBFS(true);
            break;
        case RunLoop::MD5OrRSync:
        case RunLoop::MD5OrRSyncLBFS:
            backupMD5OrRSync();
            break;
        case RunLoop::Plain:
            backupRegOrLBFS(false);
            break;
    }
}

// An entry that can no longer be opened by id still reaches the tail, as a
// world-writable folder or empty file stamped now, so the journal records
// that follow it (a rename, a removal) find something to act on.
void FlrBackup::sendPlaceholder(File& f) {
    const time_t now = std::time(nullptr);
    f.st = {};
    f.st.st_mode = f.type == 'D' ? 0x41FF : 0x81FF;
    f.st.st_nlink = 1;
    f.st.st_atime = f.st.st_mtime = f.st.st_ctime = now;
    f.acl.clear();
    sendHeader(f, FlrNetMirHeader::kFull);
    head_->sendMirEOF();
    countFile(f, FlrNetMirHeader::kFull);
}

void FlrBackup::backupRegOrLBFS(bool lbfs) {
    const char* fn = "FlrBackup::backup";
    // An LBFS file is complete on the tail only once its blocks came over the
    // other connection, after its MIR_EOF: an offset in the header would let
    // a restart skip a file that never arrived.
    if (lbfs) ctx_.sendOffsets = false;
    File f;
    while (true) {
        checkAbort(fn);
        if (!planner_.nextEntry(f)) break;
        if (!source_.statEntry(f)) {
            if (!f.fid.isZero()) sendPlaceholder(f);
            continue;
        }
        if (sendIfHardLink(f)) continue;
        int fd = -1;
        if (S_ISREG(f.st.st_mode)) {
            fd = openFile(f.src.c_str(), f.fid, &f.st);
            if (fd < 0) {
                if (!f.fid.isZero()) sendPlaceholder(f);
                continue;
            }
        }
        source_.gatherACL(f, fd);
        const bool byBlocks = lbfs && fd >= 0 && lbfsFits(f.st.st_size);
        const uint8_t method = byBlocks ? FlrNetMirHeader::kLBFS : FlrNetMirHeader::kFull;
        if (!sendEntry(f, fd, method)) {
            if (!f.fid.isZero()) sendPlaceholder(f);
            continue;
        }
        rememberLinkName(f);
        countFile(f, method);
    }
    flushLBFS();
    head_->flush(300);
    EvDebug::Debug(fn, "Transfer complete");
}

void FlrBackup::sendRegFileLBFS(File& f, int fd) {
    const char* fn = "FlrBackup::sendRegFileLBFS";
    jx::File file(fd);
    const std::string error = blocks_.errorText();
    if (!error.empty()) {
        EvDebug::Error(fn, "LBFS thread encountered an error: %s", error.c_str());
        JX_THROW(fn, error);
    }
    std::list<JxLBFS::HashBlock> blocks;
    cutIntoBlocks(f, file.get(), &blocks);
    blocks_.announce(f, file.get(), blocks);
    head_->sendLBFSStart(f.src.c_str(), f.fid, blocks);
    blocks_.start();
    unsigned long long bytes = 0;
    for (const JxLBFS::HashBlock& b : blocks) bytes += b.block.length;
    counters_.lbfsFileBytes += bytes;
}

// An unchanged file's blocks come from the cache; a file cut here goes
// into it.
void FlrBackup::cutIntoBlocks(const File& f, int fd, std::list<JxLBFS::HashBlock>* blocks) {
    const char* fn = "FlrBackup::sendRegFileLBFS";
    struct stat before {};
    const bool known = lbfsBlockCache && jx::fileOps().fstat(fd, &before) == 0;
    if (known && lbfsBlockCache->lookup(FlrLBFSBlockCache::keyOf(before), f.src, blocks)) {
        EvDebug::DebugLvl(fn, 2, "Block list of %s taken from the cache", f.src.c_str());
        return;
    }
    const CQiError e = JxLBFS::split(fd, *blocks);
    if (e.IsError()) JX_THROW(fn, e.GetMessage());
    EvDebug::DebugLvl(fn, 2, "Split %s into %lu hash blocks", f.src.c_str(),
                      static_cast<unsigned long>(blocks->size()));
    struct stat after {};
    if (known && jx::fileOps().fstat(fd, &after) == 0)
        lbfsBlockCache->insert(before, after, f.src, *blocks);
}

// --- statistics ------------------------------------------------------------------------

float FlrBackup::lbfsSavedPercent(long long total, unsigned long long blocks,
                                  unsigned long long fileBytes) {
    const double t = static_cast<double>(total);
    const double l = t - static_cast<double>(blocks) + static_cast<double>(fileBytes);
    if (l == 0) return 0.0f;
    return static_cast<float>(100.0 * (l - t) / l);
}

float FlrBackup::getLBFSStats(unsigned long* /*a*/, unsigned long* /*b*/) const {
    return lbfsSavedPercent(getTotalBytes(), counters_.lbfsBlockBytes.load(),
                            counters_.lbfsFileBytes.load());
}
