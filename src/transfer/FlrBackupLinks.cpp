// Hard-link groups: a regular file with several names goes once, under the
// first name the run meets; every later name of the same inode travels as a
// link to it, so the replica shares one inode as the source does.
#include <sys/stat.h>

#include "FlrBackup.h"
#include "net/FlrNetHead.h"
#include "net/FlrNetTail.h"
#include "platform/EvDebug.h"

bool FlrBackup::sendIfHardLink(const File& f) {
    if (!linkHardLinks || !S_ISREG(f.st.st_mode) || f.st.st_nlink < 2) return false;
    if (head_->getPeerVersion() < FlrNetTail::kHardLinkVersion) return false;
    auto it = linkNames_.find({f.st.st_dev, f.st.st_ino});
    if (it == linkNames_.end()) return false;
    EvDebug::DebugLvl("FlrBackup::backup", 2, "%s => %s, a link to %s", f.src.c_str(),
                      f.dst.c_str(), it->second.c_str());
    sendHeader(f, FlrNetMirHeader::kLink);
    head_->sendMirData(it->second.data(), static_cast<int>(it->second.size()));
    head_->sendMirEOF();
    countFile(f, FlrNetMirHeader::kLink);
    return true;
}

// Only a name that was sent becomes the one later names link to: a file
// that vanished or could not be opened leaves the next name to go whole.
void FlrBackup::rememberLinkName(const File& f) {
    if (linkHardLinks && S_ISREG(f.st.st_mode) && f.st.st_nlink > 1)
        linkNames_.emplace(std::make_pair(f.st.st_dev, f.st.st_ino), f.dst);
}

void FlrBackup::seedLinkName(const std::string& src, std::pair<dev_t, ino_t> key) {
    seededLinkNames_[key] = translate(src.c_str(), nullptr);
}
