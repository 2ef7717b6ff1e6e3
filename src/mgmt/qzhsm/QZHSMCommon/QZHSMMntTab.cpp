#include "QZHSMMntTab.h"

#include <cstring>

#include "FLR/JxException.h"
#include "platform/JxMntTab.h"

namespace {

constexpr int kErrorBufLen = 1024;

// Restores the process-wide mount-table file even when the read throws.
class MountTableFileOverride {
  public:
    explicit MountTableFileOverride(const std::string& path)
        : previous_(JxMntTab::getMountTableFile()) {
        JxMntTab::setMountTableFile(path);
    }
    ~MountTableFileOverride() { JxMntTab::setMountTableFile(previous_); }
    MountTableFileOverride(const MountTableFileOverride&) = delete;
    MountTableFileOverride& operator=(const MountTableFileOverride&) = delete;

  private:
    std::string previous_;
};

bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

QZHSMMntTab::QZHSMMntTab() {
    load();
}

QZHSMMntTab::QZHSMMntTab(const std::string& mountTableFile) {
    MountTableFileOverride useFile(mountTableFile);
    load();
}

void QZHSMMntTab::load() {
    char errBuf[kErrorBufLen] = "";
    JxMntRecords* table = jxReadMntTab(errBuf, sizeof errBuf);
    if (!table) JX_THROW("QZHSMMntTab", errBuf);
    try {
        for (int i = 0; i < table->count; ++i) {
            const JxMntRecord& r = table->records[i];
            entries_.push_back(Entry{r.device, r.mountPoint, r.readOnly, r.options, r.fsType});
        }
    } catch (...) {
        jxFreeMntTab(table);
        throw;
    }
    jxFreeMntTab(table);
}

const QZHSMMntTab::Entry* QZHSMMntTab::find(const char* path) const {
    if (!path || !*path) JX_THROW("QZHSMMntTab::find", "Internal error: fname==NULL");
    const std::string target(path);
    const Entry* best = nullptr;
    for (const Entry& e : entries_) {
        if (e.mountPoint.empty()) continue;
        std::string prefix = e.mountPoint;
        if (prefix.back() != '/') prefix += '/';
        if (target != e.mountPoint && !startsWith(target, prefix)) continue;
        // ">=": of two mounts at one place the later one is the visible one.
        if (!best || e.mountPoint.size() >= best->mountPoint.size()) best = &e;
    }
    if (!best)
        JX_THROW("QZHSMMntTab::find", "Failed to find mount point containing file " + target);
    return best;
}

const QZHSMMntTab::Entry* QZHSMMntTab::find(const char* mountPoint, const char* fsType) const {
    if (!mountPoint || !fsType) return nullptr;
    const Entry* found = nullptr;
    for (const Entry& e : entries_)
        if (e.mountPoint == mountPoint && e.fsType == fsType) found = &e;
    return found;
}
