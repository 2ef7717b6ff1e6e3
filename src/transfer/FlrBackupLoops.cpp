// The run's loops: the plain loop (every file whole, or by LBFS) and the
// MD5/RSync pipeline, whose items the planner queues; and the LBFS figures.
#include <ctime>

#include "FlrBackup.h"
#include "net/FlrNetHead.h"
#include "platform/EvDebug.h"

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

void FlrBackup::backupRegOrLBFS(bool lbfs) {
    const char* fn = "FlrBackup::backup";
    // An LBFS file is complete on the tail only once its blocks came over the
    // other connection, after its MIR_EOF: an offset in the header would let
    // a restart skip a file that never arrived.
    if (lbfs) ctx_.sendOffsets = false;
    File f;
    while (true) {
        ctx_.checkAbort(fn);
        if (!planner_.nextEntry(f)) break;
        if (!source_.statEntry(f)) {
            if (!f.fid.isZero()) sender_.sendPlaceholder(f);
            continue;
        }
        if (sender_.sendIfHardLink(f)) continue;
        int fd = -1;
        if (S_ISREG(f.st.st_mode)) {
            fd = openFile(f.src.c_str(), f.fid, &f.st);
            if (fd < 0) {
                if (!f.fid.isZero()) sender_.sendPlaceholder(f);
                continue;
            }
        }
        source_.gatherACL(f, fd);
        const bool byBlocks = lbfs && fd >= 0 && lbfsFits(f.st.st_size);
        const uint8_t method = byBlocks ? FlrNetMirHeader::kLBFS : FlrNetMirHeader::kFull;
        if (!sender_.sendEntry(f, fd, method)) {
            if (!f.fid.isZero()) sender_.sendPlaceholder(f);
            continue;
        }
        sender_.rememberLinkName(f);
        progress_.countFile(f, method);
    }
    blocks_.flush();
    head_->flush(300);
    EvDebug::Debug(fn, "Transfer complete");
}

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
        if (sender_.sendIfHardLink(*item)) {
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
        if (!sender_.sendEntry(*item, fd, method)) {
            planner_.drainFile(*item, fn);
            continue;
        }
        sender_.rememberLinkName(*item);
        // A file the tail held nothing of travelled whole, whatever the
        // message says: the summary counts it as full.
        const bool compared = method == FlrNetMirHeader::kMD5 || method == FlrNetMirHeader::kRSync;
        progress_.countFile(*item,
                            compared && item->tailHeldNothing ? FlrNetMirHeader::kFull : method);
    }
    // The LBFS thread (started by the first new name) answers block
    // requests until the tail asked for everything.
    blocks_.flush();
    head_->flush(300);
    EvDebug::Debug(fn, "Transfer complete");
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
