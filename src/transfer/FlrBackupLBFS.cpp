// The LBFS sender: the file's block list goes on the main connection
// (LBFS_START); the block server (FlrBlockServer) answers the tail's
// requests for the blocks it lacks.
#include "FLR/JxException.h"
#include "FlrBackupSenders.h"
#include "FlrBlockServer.h"
#include "FlrLBFSBlockCache.h"
#include "net/FlrNetHead.h"
#include "platform/EvDebug.h"
#include "platform/JxFile.h"

void FlrLBFSSender::send(FlrBackupItem& f, int fd) {
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
    ctx_.head.sendLBFSStart(f.src.c_str(), f.fid, blocks);
    blocks_.start();
    unsigned long long bytes = 0;
    for (const JxLBFS::HashBlock& b : blocks) bytes += b.block.length;
    ctx_.counters.lbfsFileBytes += bytes;
}

// An unchanged file's blocks come from the cache; a file cut here goes
// into it.
void FlrLBFSSender::cutIntoBlocks(const FlrBackupItem& f, int fd,
                                  std::list<JxLBFS::HashBlock>* blocks) {
    const char* fn = "FlrBackup::sendRegFileLBFS";
    struct stat before {};
    const bool known = ctx_.settings.lbfsBlockCache && jx::fileOps().fstat(fd, &before) == 0;
    if (known &&
        ctx_.settings.lbfsBlockCache->lookup(FlrLBFSBlockCache::keyOf(before), f.src, blocks)) {
        EvDebug::DebugLvl(fn, 2, "Block list of %s taken from the cache", f.src.c_str());
        return;
    }
    const CQiError e = JxLBFS::split(fd, *blocks);
    if (e.IsError()) JX_THROW(fn, e.GetMessage());
    EvDebug::DebugLvl(fn, 2, "Split %s into %lu hash blocks", f.src.c_str(),
                      static_cast<unsigned long>(blocks->size()));
    struct stat after {};
    if (known && jx::fileOps().fstat(fd, &after) == 0)
        ctx_.settings.lbfsBlockCache->insert(before, after, f.src, *blocks);
}
