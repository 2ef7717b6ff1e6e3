// Sending one entry: header, ACL, body (link target or file data) and EOF,
// and the full-copy sender.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "FLR/FlrBackup.h"
#include "FLR/FlrNetHead.h"
#include "FLR/platform/EvDebug.h"
#include "FLR/platform/FlrDriver.h"
#include "FLR/platform/JxFile.h"
#include "FLR/platform/JxUtf.h"

void FlrBackup::sendHeader(const File& f, uint8_t method) {
    FlrNetMirHeader h{};
    h.ino = static_cast<uint64_t>(f.st.st_ino);
    h.mode = static_cast<uint64_t>(f.st.st_mode);
    h.uid = static_cast<uint64_t>(f.st.st_uid);
    h.gid = static_cast<uint64_t>(f.st.st_gid);
    h.size = S_ISREG(f.st.st_mode) ? static_cast<uint64_t>(f.st.st_size) : 0;
    h.rdev = static_cast<uint64_t>(f.st.st_rdev);
    h.collectOffset = sendOffsets_ ? f.collectOffset : 0;
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
        ++xattrsSkipped_;
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

void FlrBackup::sendLinkTarget(const File& f) {
    std::string target;
    if (!f.fid.isZero() && driver_) {
        target = driver_->readLink(pairId_, f.fid);
    } else {
        if (readlink_utf(f.src.c_str(), target) != 0)
            JX_THROW("FlrBackup::backupMD5OrRSync",
                     "readlink(" + f.src + ") failed: " + jxErrnoText(errno));
    }
    head_->sendMirData(target.data(), static_cast<int>(target.size()));
    countBytes(static_cast<long long>(target.size()));
}

void FlrBackup::sendEntry(File& f, int fd, uint8_t method) {
    jx::File owned(fd);
    EvDebug::DebugLvl("FlrBackup::backupMD5OrRSync", 2, "%s => %s", f.src.c_str(), f.dst.c_str());
    sendHeader(f, method);
    if (!f.acl.empty()) head_->sendMirACL(f.acl.data(), static_cast<int>(f.acl.size()));
    if (S_ISLNK(f.st.st_mode)) {
        sendLinkTarget(f);
    } else if (S_ISREG(f.st.st_mode)) {
        switch (method) {
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
    // The header promised this size; the tail cuts anything beyond it.
    long long left = static_cast<long long>(f.st.st_size);
    const bool sampled = netSamples_.tryTake();
    const uint64_t start = FlrAdaptiveMD5::nowMicros();
    long long sent = 0;
    while (left > 0) {
        checkAbort(fn);
        const int want = static_cast<int>(std::min<long long>(left, bufSize_));
        const int n = readAll(fd, buf_, want);
        if (n <= 0) break;
        head_->sendMirData(buf_, n, bufSize_);
        left -= n;
        sent += n;
        countBytes(n);
        pushToBNIfNeeded(fn);
    }
    if (sampled)
        addSample(0, static_cast<unsigned long long>(sent), FlrAdaptiveMD5::nowMicros() - start);
}

void FlrBackup::addSample(int kind, unsigned long long bytes, unsigned long long micros) {
    std::lock_guard<std::mutex> lock(adaptiveMtx_);
    switch (kind) {
        case 0:
            adaptive_.addNetSample(bytes, micros);
            break;
        case 1:
            adaptive_.addLMD5Sample(bytes, micros);
            break;
        default:
            adaptive_.addRMD5Sample(bytes, micros);
            break;
    }
}
