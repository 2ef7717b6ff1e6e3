// Sending one entry: header, ACL, body (link target or file data) and EOF,
// and the full-copy sender.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "FlrBackup.h"
#include "mgmt/MgmtConfig.h"
#include "net/FlrNetHead.h"
#include "net/FlrNetTail.h"
#include "platform/EvDebug.h"
#include "platform/FlrDriver.h"
#include "platform/JxDirFd.h"
#include "platform/JxFile.h"
#include "platform/JxSparse.h"
#include "platform/JxUtf.h"

void FlrBackup::sendHeader(const File& f, uint8_t method) {
    FlrNetMirHeader h{};
    h.ino = static_cast<uint64_t>(f.st.st_ino);
    h.mode = static_cast<uint64_t>(f.st.st_mode);
    h.uid = static_cast<uint64_t>(f.st.st_uid);
    h.gid = static_cast<uint64_t>(f.st.st_gid);
    h.size = S_ISREG(f.st.st_mode) ? static_cast<uint64_t>(f.st.st_size) : 0;
    h.rdev = static_cast<uint64_t>(f.st.st_rdev);
    h.collectOffset = ctx_.sendOffsets ? f.collectOffset : 0;
    h.nlink = static_cast<uint32_t>(f.st.st_nlink);
    h.atime = static_cast<uint32_t>(f.st.st_atime);
    h.mtime = static_cast<uint32_t>(f.st.st_mtime);
    h.ctime = static_cast<uint32_t>(f.st.st_ctime);
    h.method = method;
    h.hasACL = f.acl.empty() ? 0 : 1;
    h.overwrite = overwrite ? 1 : 0;
    h.path = f.dst.c_str();
    head_->sendMirHeader(h);
    if (head_->getPeerVersion() >= FLR_NET_MIR_ATTRS_VERSION) sendAttrs(f);
}

// The times to the nanosecond and the extended attributes, for tails that
// take them. An entry whose attributes cannot be read, or exceed the limits,
// still gets its times; the tail then leaves its attributes as they are.
void FlrBackup::sendAttrs(const File& f) {
    FlrNetMirAttrs a{};
    a.flags = FlrNetMirAttrs::kTimes;
    a.atimeSec = static_cast<int64_t>(f.st.st_atim.tv_sec);
    a.atimeNsec = static_cast<uint32_t>(f.st.st_atim.tv_nsec);
    a.mtimeSec = static_cast<int64_t>(f.st.st_mtim.tv_sec);
    a.mtimeNsec = static_cast<uint32_t>(f.st.st_mtim.tv_nsec);
    // A placeholder (no inode) stands for an entry that could not be read.
    if (f.st.st_ino != 0 && gatherXattrs(f)) {
        a.flags |= FlrNetMirAttrs::kXattrs;
        if (::geteuid() == 0) a.flags |= FlrNetMirAttrs::kPrivileged;
        a.count = static_cast<uint32_t>(xattrs_.size());
        a.block = reinterpret_cast<const unsigned char*>(xattrBlock_.data());
        a.blockLen = static_cast<uint32_t>(xattrBlock_.size());
    }
    head_->sendMirAttrs(a);
}

bool FlrBackup::gatherXattrs(const File& f) {
    const unsigned scope = jx::xattrScopeFor(f.st.st_mode, ::geteuid() == 0);
    xattrBlock_.clear();
    const int err = jx::readXattrsPath(f.src, scope, &xattrs_);
    if (err == E2BIG) {
        ++counters_.xattrsSkipped;
        EvDebug::Error("FlrBackup::sendAttrs",
                       "The extended attributes of %s exceed what travels (names of 255 bytes, "
                       "values of 64 KiB, 1 MiB in all); they are not sent",
                       f.src.c_str());
        return false;
    }
    if (err) {
        EvDebug::DebugLvl("FlrBackup::sendAttrs", 2,
                          "Couldn't read the extended attributes of %s: %s", f.src.c_str(),
                          jxErrnoText(err).c_str());
        return false;
    }
    for (const jx::Xattr& x : xattrs_) flrNetAppendXattr(&xattrBlock_, x.name, x.value);
    return true;
}

// Read before anything of the entry is sent. False when the entry is no
// longer a link (it changed or went since it was examined): it is left to the
// next pass, as a file that is no longer one is, and never ends the run.
bool FlrBackup::readLinkTarget(const File& f, std::string* target) {
    const char* fn = "FlrBackup::backupMD5OrRSync";
    if (!f.fid.isZero() && driver_) {
        std::string source;
        if (FileReplicationSubClient(ctx_.pairId).getsrcPath(&source) != 0)
            JX_THROW("FlrDriver::readLink",
                     "Failed to get source directory name for pair " + std::to_string(ctx_.pairId));
        *target = driver_->readLink(source, f.fid);
        return true;
    }
    if (readlink_utf(f.src.c_str(), *target) == 0) return true;
    const int err = errno;
    if (err == EINVAL || err == ENOTDIR || err == ELOOP) {
        ++counters_.skippedEntries;
        EvDebug::Error(fn, "%s is no longer a link of the source; it is left to the next pass",
                       f.src.c_str());
        return false;
    }
    if (err == ENOENT && skipVanished) {
        EvDebug::DebugLvl(fn, 2, "Couldn't read link %s: %s", f.src.c_str(),
                          jxErrnoText(err).c_str());
        return false;
    }
    JX_THROW_CODE(fn, "readlink(" + f.src + ") failed: " + jxErrnoText(err), err);
}

bool FlrBackup::sendEntry(File& f, int fd, uint8_t method) {
    jx::File owned(fd);
    std::string target;
    if (S_ISLNK(f.st.st_mode) && !readLinkTarget(f, &target)) return false;
    EvDebug::DebugLvl("FlrBackup::backupMD5OrRSync", 2, "%s => %s", f.src.c_str(), f.dst.c_str());
    sendHeader(f, method);
    if (!f.acl.empty()) head_->sendMirACL(f.acl.data(), static_cast<int>(f.acl.size()));
    if (S_ISLNK(f.st.st_mode)) {
        head_->sendMirData(target.data(), static_cast<int>(target.size()));
        countBytes(static_cast<long long>(target.size()));
    } else if (S_ISREG(f.st.st_mode)) {
        // The header keeps the delta's method: the tail checks it against
        // its answer.
        switch (deltaOfNothing(f, method) ? FlrNetMirHeader::kFull : method) {
            case FlrNetMirHeader::kMD5:
                sendRegFileMD5(f, owned.get());
                break;
            case FlrNetMirHeader::kRSync:
                sendRegFileRSync(f, owned.get());
                break;
            case FlrNetMirHeader::kLBFS:
                sendRegFileLBFS(f, owned.release());
                break;
            default:
                sendRegFileFull(f, owned.get());
                break;
        }
    }
    head_->sendMirEOF();
    return true;
}

// A delta of a file the tail answered it holds nothing of sends every byte;
// to a tail that takes seeks over holes there, the file goes as a full copy
// does: its data ranges only.
bool FlrBackup::deltaOfNothing(const File& f, uint8_t method) const {
    return (method == FlrNetMirHeader::kMD5 || method == FlrNetMirHeader::kRSync) &&
           f.csums.empty() && f.last && head_->getPeerVersion() >= FlrNetTail::kSparseDeltaVersion;
}

void FlrBackup::sendRegFileFull(File& f, int fd) {
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
    const bool sampled = samples_.net.tryTake();
    const uint64_t start = FlrAdaptiveMD5::nowMicros();
    long long sent = 0;
    long long cursor = 0;  // where the tail writes the next data
    jx::DataRange range;
    for (long long at = 0; jx::nextDataRange(fd, at, size, &range);) {
        at = range.offset;
        const long long end = range.offset + range.length;
        while (at < end) {
            checkAbort(fn);
            const int want = static_cast<int>(std::min<long long>(end - at, bufSize_));
            const ssize_t n = jx::readFullAt(fd, buf_, static_cast<size_t>(want), at);
            if (n < 0) JX_THROW(fn, "File read error: " + jxErrnoText(errno));
            if (n > 0) sent += sendDataSkippingZeros(at, static_cast<int>(n), &cursor);
            at += n;
            if (n < want) return finishFullSample(sampled, sent, start);  // the file shrank
            pushToBNIfNeeded(fn);
        }
    }
    finishFullSample(sampled, sent, start);
}

// The n bytes in buf_ at file offset at, less the zero runs worth a seek:
// those the tail leaves as holes. Returns the bytes sent. A piece without
// such a run (the usual case) hands buf_ itself to the link.
long long FlrBackup::sendDataSkippingZeros(long long at, int n, long long* cursor) {
    long long sent = 0;
    const auto* data = static_cast<const unsigned char*>(buf_);
    bool whole = false;
    jx::forEachZeroRun(data, static_cast<size_t>(n), at, kSkippedZeroRun,
                       [&](size_t from, size_t len, bool zero) {
                           if (zero) return;
                           const long long off = at + static_cast<long long>(from);
                           if (off != *cursor) head_->sendMirSeek(off);
                           *cursor = off + static_cast<long long>(len);
                           sent += static_cast<long long>(len);
                           whole = len == static_cast<size_t>(n);
                           if (!whole) head_->sendMirData(data + from, static_cast<int>(len));
                       });
    if (whole) head_->sendMirData(buf_, n, bufSize_);
    countBytes(sent);
    return sent;
}

void FlrBackup::finishFullSample(bool sampled, long long sent, uint64_t start) {
    if (sampled)
        samples_.add(0, static_cast<unsigned long long>(sent), FlrAdaptiveMD5::nowMicros() - start);
}
