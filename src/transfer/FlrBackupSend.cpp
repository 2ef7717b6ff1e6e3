// Sending one entry: header, ACL, body (link target or file data) and EOF.
#include "FlrBackupSender.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "FLR/JxException.h"
#include "FlrBackupProgress.h"
#include "FlrBackupSource.h"
#include "mgmt/MgmtConfig.h"
#include "net/FlrNetHead.h"
#include "net/FlrNetTail.h"
#include "platform/EvDebug.h"
#include "platform/FlrDriver.h"
#include "platform/JxFile.h"
#include "platform/JxUtf.h"

FlrBackupSender::FlrBackupSender(FlrBackupContext& ctx, FlrBackupProgress& progress,
                                 FlrTransferBuffer& buf, FlrBackupPlanner& planner,
                                 FlrBlockServer& blocks)
    : ctx_(ctx),
      progress_(progress),
      full_(ctx, progress, buf),
      md5_(ctx, progress, buf, planner),
      rsync_(ctx, progress, buf),
      lbfs_(ctx, blocks) {}

void FlrBackupSender::sendHeader(const FlrBackupItem& f, uint8_t method, int fd) {
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
    h.overwrite = ctx_.settings.overwrite ? 1 : 0;
    h.path = f.dst.c_str();
    ctx_.head.sendMirHeader(h);
    if (ctx_.head.getPeerVersion() >= FLR_NET_MIR_ATTRS_VERSION) sendAttrs(f, fd);
}

// The times to the nanosecond and the extended attributes, for tails that
// take them. An entry whose attributes cannot be read, or exceed the limits,
// still gets its times; the tail then leaves its attributes as they are.
void FlrBackupSender::sendAttrs(const FlrBackupItem& f, int fd) {
    FlrNetMirAttrs a{};
    a.flags = FlrNetMirAttrs::kTimes;
    a.atimeSec = static_cast<int64_t>(f.st.st_atim.tv_sec);
    a.atimeNsec = static_cast<uint32_t>(f.st.st_atim.tv_nsec);
    a.mtimeSec = static_cast<int64_t>(f.st.st_mtim.tv_sec);
    a.mtimeNsec = static_cast<uint32_t>(f.st.st_mtim.tv_nsec);
    // A placeholder (no inode) stands for an entry that could not be read.
    if (f.st.st_ino != 0 && gatherXattrs(f, fd)) {
        a.flags |= FlrNetMirAttrs::kXattrs;
        if (asRoot_) a.flags |= FlrNetMirAttrs::kPrivileged;
        a.count = static_cast<uint32_t>(xattrs_.size());
        a.block = reinterpret_cast<const unsigned char*>(xattrBlock_.data());
        a.blockLen = static_cast<uint32_t>(xattrBlock_.size());
    }
    ctx_.head.sendMirAttrs(a);
}

// From the descriptor when there is one: the attributes of the bytes sent,
// and no second walk of the path.
bool FlrBackupSender::gatherXattrs(const FlrBackupItem& f, int fd) {
    const unsigned scope = jx::xattrScopeFor(f.st.st_mode, asRoot_);
    xattrBlock_.clear();
    const int err = fd >= 0 ? jx::readXattrsFd(fd, scope, &xattrs_)
                            : jx::readXattrsPath(f.src, scope, &xattrs_);
    if (err == E2BIG) {
        ++ctx_.counters.xattrsSkipped;
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
bool FlrBackupSender::readLinkTarget(const FlrBackupItem& f, std::string* target) {
    const char* fn = "FlrBackup::backupMD5OrRSync";
    if (!f.fid.isZero() && ctx_.source.driver()) {
        std::string source;
        if (FileReplicationSubClient(ctx_.pairId).getsrcPath(&source) != 0)
            JX_THROW("FlrDriver::readLink",
                     "Failed to get source directory name for pair " + std::to_string(ctx_.pairId));
        *target = ctx_.source.driver()->readLink(source, f.fid);
        return true;
    }
    if (readlink_utf(f.src.c_str(), *target) == 0) return true;
    const int err = errno;
    if (err == EINVAL || err == ENOTDIR || err == ELOOP) {
        ++ctx_.counters.skippedEntries;
        EvDebug::Error(fn, "%s is no longer a link of the source; it is left to the next pass",
                       f.src.c_str());
        return false;
    }
    if (err == ENOENT && ctx_.settings.skipVanished) {
        EvDebug::DebugLvl(fn, 2, "Couldn't read link %s: %s", f.src.c_str(),
                          jxErrnoText(err).c_str());
        return false;
    }
    JX_THROW_CODE(fn, "readlink(" + f.src + ") failed: " + jxErrnoText(err), err);
}

bool FlrBackupSender::sendEntry(FlrBackupItem& f, int fd, uint8_t method) {
    jx::File owned(fd);
    std::string target;
    if (S_ISLNK(f.st.st_mode) && !readLinkTarget(f, &target)) return false;
    EvDebug::DebugLvl("FlrBackup::backupMD5OrRSync", 2, "%s => %s", f.src.c_str(), f.dst.c_str());
    // A small file's four messages leave in one write.
    const FlrNetBase::SendBatch batch(ctx_.head);
    sendHeader(f, method, owned.get());
    if (!f.acl.empty()) ctx_.head.sendMirACL(f.acl.data(), static_cast<int>(f.acl.size()));
    if (S_ISLNK(f.st.st_mode)) {
        ctx_.head.sendMirData(target.data(), static_cast<int>(target.size()));
        progress_.countBytes(static_cast<long long>(target.size()));
    } else if (S_ISREG(f.st.st_mode)) {
        // The header keeps the delta's method: the tail checks it against
        // its answer.
        switch (deltaOfNothing(f, method) ? FlrNetMirHeader::kFull : method) {
            case FlrNetMirHeader::kMD5:
                md5_.send(f, owned.get());
                break;
            case FlrNetMirHeader::kRSync:
                rsync_.send(f, owned.get());
                break;
            case FlrNetMirHeader::kLBFS:
                lbfs_.send(f, owned.release());
                break;
            default:
                full_.send(f, owned.get());
                break;
        }
    }
    ctx_.head.sendMirEOF();
    return true;
}

// A delta of a file the tail answered it holds nothing of sends every byte;
// to a tail that takes seeks over holes there, the file goes as a full copy
// does: its data ranges only.
bool FlrBackupSender::deltaOfNothing(const FlrBackupItem& f, uint8_t method) const {
    return (method == FlrNetMirHeader::kMD5 || method == FlrNetMirHeader::kRSync) &&
           f.csums.empty() && f.last &&
           ctx_.head.getPeerVersion() >= FlrNetTail::kSparseDeltaVersion;
}

// An entry that can no longer be opened by id still reaches the tail, as a
// world-writable folder or empty file stamped now, so the journal records
// that follow it (a rename, a removal) find something to act on.
void FlrBackupSender::sendPlaceholder(FlrBackupItem& f) {
    const time_t now = std::time(nullptr);
    f.st = {};
    f.st.st_mode = f.type == 'D' ? 0x41FF : 0x81FF;
    f.st.st_nlink = 1;
    f.st.st_atime = f.st.st_mtime = f.st.st_ctime = now;
    f.acl.clear();
    sendHeader(f, FlrNetMirHeader::kFull);
    ctx_.head.sendMirEOF();
    progress_.countFile(f, FlrNetMirHeader::kFull);
}
