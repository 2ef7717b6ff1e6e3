// Sending the written intervals of a file (WBA), or the whole file by LBFS
// when the intervals are large against what LBFS would cost.
#include <fcntl.h>

#include <algorithm>
#include <cerrno>

#include "FlrBackup.h"
#include "FlrBackupProgress.h"
#include "FlrBackupSender.h"
#include "FlrBackupSource.h"
#include "net/FlrNetHead.h"
#include "platform/EvDebug.h"
#include "platform/JxFile.h"

namespace {

const char* const kBackupWbaFn = "FlrBackup::sendRegFileWBA";

std::string wbaStripTrailingSlashes(const char* path) {
    std::string s = path ? path : "";
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

unsigned long long intervalLength(unsigned long long start, unsigned long long end) {
    return end > start ? end - start : 0;
}

const char* const kEOFText = "Unexpected EOF when reading from ";

// A file cut below an interval after its writes were recorded.
void requireIntervalsInside(const FlrBackupItem& f, const std::list<unsigned long long>& starts,
                            const std::list<unsigned long long>& ends) {
    const auto size = static_cast<unsigned long long>(f.st.st_size);
    for (auto s = starts.begin(), e = ends.begin(); s != starts.end(); ++s, ++e)
        if (*e > *s && *e > size) JX_THROW(kBackupWbaFn, kEOFText + f.src);
}

}  // namespace

// LBFS sends 32 bytes of hash per average block, a fixed request overhead
// and the path, and the tail still asks for every block that changed: an
// interval no longer than the smallest block changes a whole block.
bool FlrWBASender::usesLBFS(uint32_t peerVersion, bool lbfsDisabled, unsigned long long size,
                            size_t pathLen, const std::list<unsigned long long>& starts,
                            const std::list<unsigned long long>& ends) {
    if (lbfsDisabled || peerVersion <= 3 ||
        size > static_cast<unsigned long long>(FlrBackup::kLBFSMaxFileSize))
        return false;
    const unsigned long long minBlock = JxLBFS::getMinBlockSize();
    const unsigned long long avgBlock = JxLBFS::getAvgBlockSize();
    unsigned long long cost = size / avgBlock * 32 + 124 + pathLen;
    unsigned long long written = 0;
    for (auto s = starts.begin(), e = ends.begin(); s != starts.end() && e != ends.end();
         ++s, ++e) {
        const unsigned long long len = intervalLength(*s, *e);
        written += len;
        if (len <= minBlock) cost += len;
    }
    return 5 * cost < written;
}

void FlrWBASender::send(const fsf_fid& fid, const char* path,
                        const std::list<unsigned long long>& starts,
                        const std::list<unsigned long long>& ends, bool lbfsDisabled) {
    if (starts.size() != ends.size())
        JX_THROW(kBackupWbaFn, "Internal error: start and end offset lists do not match.");
    FlrBackupItem f;
    f.fid = fid;
    f.src = path;
    const int fd = ctx_.source.openFile(path, fid, &f.st);
    if (fd < 0) return;
    jx::File file(fd);
    const uint32_t peer = ctx_.head.getPeerVersion();
    const bool lbfs = usesLBFS(peer, lbfsDisabled, static_cast<unsigned long long>(f.st.st_size),
                               f.src.size(), starts, ends);
    if (!lbfs && !lbfsDisabled && peer > 3)
        EvDebug::DebugLvl(kBackupWbaFn, 2,
                          "Not going to use LBFS/Dedup for %s since the changes are really small",
                          path);
    // Checked before anything goes out: a send cut short after the tail
    // began changing its copy in place would cost the tail that copy.
    if (!lbfs) requireIntervalsInside(f, starts, ends);
    f.dst = ctx_.source.translate(path, nullptr);
    ctx_.source.gatherACL(f);
    // Without LBFS the tail keeps its copy and writes the intervals into it,
    // which is how it applies the MD5 method (old copy, seeks and data).
    const uint8_t method = lbfs ? FlrNetMirHeader::kLBFS : FlrNetMirHeader::kMD5;
    entries_.sendHeader(f, method);
    if (!f.acl.empty()) ctx_.head.sendMirACL(f.acl.data(), static_cast<int>(f.acl.size()));
    if (lbfs)
        entries_.lbfs().send(f, file.release());
    else
        sendIntervals(f, file.get(), starts, ends);
    ctx_.head.sendMirEOF();
    progress_.countFile(f, method);
}

void FlrWBASender::sendIntervals(const FlrBackupItem& f, int fd,
                                 const std::list<unsigned long long>& starts,
                                 const std::list<unsigned long long>& ends) {
    const FlrBackupDirPair* pair = nullptr;
    ctx_.source.translate(f.src.c_str(), &pair);
    unsigned long long* pairBytes = pair ? &pairBytes_[pair->src] : nullptr;
    for (auto s = starts.begin(), e = ends.begin(); s != starts.end(); ++s, ++e) {
        ctx_.checkAbort(kBackupWbaFn);
        if (jx::fileOps().lseek(fd, static_cast<off_t>(*s), SEEK_SET) < 0)
            JX_THROW(kBackupWbaFn,
                     jxFormat("Failed to seek to offset %lld", static_cast<long long>(*s)) +
                         " of " + f.src + ": " + jxErrnoText(errno));
        ctx_.head.sendMirSeek(static_cast<long long>(*s));
        unsigned long long pos = *s;
        while (pos < *e) {
            const int want = static_cast<int>(std::min<unsigned long long>(
                *e - pos,
                static_cast<unsigned long long>(std::min(FlrBackup::kWBAPieceSize, buf_.size()))));
            const int n = FlrBackupSource::readAll(fd, buf_.data(), want);
            if (n < want) JX_THROW(kBackupWbaFn, kEOFText + f.src);
            EvDebug::DebugLvl(kBackupWbaFn, 2, "[%lld-%lld]: %s => %s", static_cast<long long>(pos),
                              static_cast<long long>(pos + static_cast<unsigned long long>(n)),
                              f.src.c_str(), f.dst.c_str());
            ctx_.head.sendMirData(buf_.data(), n, buf_.size());
            pos += static_cast<unsigned long long>(n);
            progress_.countBytes(n);
            if (pairBytes) *pairBytes += static_cast<unsigned long long>(n);
            progress_.reportIfDue(kBackupWbaFn);
        }
    }
}

void FlrWBASender::countPair(const char* src) {
    pairBytes_[wbaStripTrailingSlashes(src)] = 0;
}

unsigned long long FlrWBASender::bytesOf(const char* src) const {
    const auto it = pairBytes_.find(wbaStripTrailingSlashes(src));
    return it == pairBytes_.end() ? 0 : it->second;
}
