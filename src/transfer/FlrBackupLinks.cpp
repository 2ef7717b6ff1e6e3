// Hard-link groups: a regular file with several names goes once, under the
// first name the run meets; every later name of the same inode travels as a
// link to it, so the replica shares one inode as the source does.
#include <sys/stat.h>

#include "FlrBackupProgress.h"
#include "FlrBackupSender.h"
#include "FlrBackupSource.h"
#include "net/FlrNetHead.h"
#include "net/FlrNetTail.h"
#include "platform/EvDebug.h"

bool FlrBackupSender::sendIfHardLink(const FlrBackupItem& f) {
    if (!ctx_.settings.linkHardLinks || !S_ISREG(f.st.st_mode) || f.st.st_nlink < 2) return false;
    if (ctx_.head.getPeerVersion() < FlrNetTail::kHardLinkVersion) return false;
    auto it = linkNames_.find({f.st.st_dev, f.st.st_ino});
    if (it == linkNames_.end()) return false;
    EvDebug::DebugLvl("FlrBackup::backup", 2, "%s => %s, a link to %s", f.src.c_str(),
                      f.dst.c_str(), it->second.c_str());
    sendHeader(f, FlrNetMirHeader::kLink);
    ctx_.head.sendMirData(it->second.data(), static_cast<int>(it->second.size()));
    ctx_.head.sendMirEOF();
    progress_.countFile(f, FlrNetMirHeader::kLink);
    return true;
}

// Only a name that was sent becomes the one later names link to: a file
// that vanished or could not be opened leaves the next name to go whole.
void FlrBackupSender::rememberLinkName(const FlrBackupItem& f) {
    if (ctx_.settings.linkHardLinks && S_ISREG(f.st.st_mode) && f.st.st_nlink > 1)
        linkNames_.emplace(std::make_pair(f.st.st_dev, f.st.st_ino), f.dst);
}

void FlrBackupSender::beginRun() {
    linkNames_ = std::move(seededLinkNames_);
    seededLinkNames_.clear();
}

void FlrBackupSender::seedLinkName(const std::string& src, std::pair<dev_t, ino_t> key) {
    seededLinkNames_[key] = ctx_.source.translate(src.c_str(), nullptr);
}
