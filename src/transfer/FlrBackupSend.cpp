// Sending one entry: header, ACL, body (link target or file data) and EOF,
// and the full-copy sender.
#include <fcntl.h>

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
}

// Read before anything of the entry is sent. False when the entry is no
// longer a link (it changed or went since it was examined): it is left to the
// next pass, as a file that is no longer one is, and never ends the run.
bool FlrBackup::readLinkTarget(const File& f, std::string* target) {
    const char* fn = "FlrBackup::backupMD5OrRSync";
    if (!f.fid.isZero() && driver_) {
        *target = driver_->readLink(pairId_, f.fid);
        return true;
    }
    if (readlink_utf(f.src.c_str(), *target) == 0) return true;
    const int err = errno;
    if (err == EINVAL || err == ENOTDIR || err == ELOOP) {
        ++skippedEntries_;
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
    return true;
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
