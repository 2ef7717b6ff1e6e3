#include "FLR/FlrSnapMgr.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <thread>

#include "FLR/JxException.h"
#include "FlrSnapMgrHold.h"
#include "mgmt/EvEvent.h"
#include "mgmt/qzhsm/QZHSMCommon/QZHSMMntTab.h"
#include "platform/EvDebug.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxFile.h"

namespace {

constexpr int kDefaultCowSizeMB = 4096;
constexpr unsigned kEventFlags = 0x100;

bool isRecoveryType(SNAP_TYPE t) {
    return t == SNAP_TYPE_RECOVERY || t == SNAP_TYPE_RECOVERY2;
}

bool isRecoveryDevice(const std::string& path) {
    return path.find("jxr_") != std::string::npos || path.find("jxc_") != std::string::npos;
}

// The manager's own snapshot names begin with a prefix that may also occur
// elsewhere in a device path; only the leaf is a name.
bool parsesAsOurs(const FlrSnapOS::RDEV& dev, int64_t* time) {
    return FlrSnapMgr::parseSnapName(dev.leaf, nullptr, time, nullptr);
}

}  // namespace

FlrSnapMgr::FlrSnapMgr(unsigned long long jobId) : mutex_("FLR_SNAP_MGR_MUTEX"), jobId_(jobId) {}

void FlrSnapMgr::postEvent(unsigned id, int level, const std::string& arg,
                           unsigned long long jobId) const {
    EvEvent ev(id, static_cast<EvEvent::Level>(level));
    ev.addArg(EvEvent::kArgText, arg);
    if (ev.post(jobId, kEventFlags) != 0)
        EvDebug::Error("FlrSnapMgr::postEvent", "Failed to post event 0x%08x: %s", id,
                       jxErrnoText(errno).c_str());
}

SP<FlrSnapOS::LV> FlrSnapMgr::findVolume(const FlrSnapOS::RDEV& dev) const {
    for (const auto& lv : lvs_)
        if (lv->rdev == dev) return lv;
    return SP<FlrSnapOS::LV>();
}

// ---------------------------------------------------------------------------
// Listing

bool FlrSnapMgr::getExtendedSnapInfo(Snap& entry) {
    std::string value;
    if (!entry.snap || !JXPlatformInfo::getString("ZRP", entry.snap->name, value)) return false;
    const char* text = value.c_str();
    char* end = nullptr;
    errno = 0;
    const long set = std::strtol(text, &end, 0);
    if (errno != 0 || end == text || *end != ':') return false;
    const char* jobText = end + 1;
    const long long job = std::strtoll(jobText, &end, 0);
    if (errno != 0 || end == jobText || *end != '\0') return false;
    entry.setId = static_cast<int32_t>(set);
    entry.jobId = static_cast<uint64_t>(job);
    return true;
}

FlrSnapMgr::SnapList FlrSnapMgr::getSnapList(const char* device) {
    Hold hold(*this);
    const long physId = getPhysClientID();
    const FlrSnapOS::RDEV filter(device && *device ? device : "");
    SnapList result;
    for (auto lv : std::list<SP<FlrSnapOS::LV>>(lvs_)) {
        if (!filter.isNull && lv->rdev != filter) continue;
        const auto snaps = lv->snaps;  // removals below change the volume's list
        for (const auto& s : snaps) {
            Snap entry;
            unsigned long long host = 0;
            int64_t time = 0;
            SNAP_TYPE type = SNAP_TYPE_PLAIN;
            if (!parseSnapName(s->rdev.leaf, &type, &time, &host)) continue;
            if (host != 0 && static_cast<long>(host) != physId) continue;  // another host's
            entry.type = type;
            entry.snap = s;
            entry.lv = lv;
            entry.time = time;
            if (isRecoveryType(type) && s->name.empty()) {
                // The engine could not read the snapshot's identity this time
                // (a host tool failed): that says nothing about its record, so
                // the recovery point is kept and left out of this listing.
                EvDebug::Error("FlrSnapMgr::getSnapList",
                               "Cannot identify snapshot %s; leaving it in place.",
                               s->rdev.path.c_str());
                continue;
            }
            if (isRecoveryType(type) && !getExtendedSnapInfo(entry)) {
                // Not a recovery point without its record, and not ours to
                // remove either: a name alone proves nothing (a replicated
                // entry or a link may carry it).
                EvDebug::Error("FlrSnapMgr::getSnapList",
                               "Snapshot %s has no recovery record; leaving it in place.",
                               s->rdev.path.c_str());
                continue;
            }
            result.push_back(entry);
        }
        if (lv->supportsTransientSnaps() && (lv->rdev.leaf.find("jxm_") != std::string::npos ||
                                             lv->rdev.leaf.find("jxr_") != std::string::npos ||
                                             lv->rdev.leaf.find("jxc_") != std::string::npos)) {
            EvDebug::Debug("FlrSnapMgr::getSnapList",
                           "Removing stale LV %s left from a previous transient snapshot.",
                           lv->rdev.path.c_str());
            if (auto t = lv.cast<FlrSnapOS::LVT>()) t->removeTransientSnap();
        }
    }
    return result;
}

int FlrSnapMgr::getRepSetSnapCnt(const SnapList& list, const FlrSnapOS::RDEV& volume, int setId) {
    int count = 0;
    for (const auto& e : list)
        if (isRecoveryType(e.type) && e.lv->rdev == volume && e.setId == setId) ++count;
    return count;
}

FlrSnapMgr::SnapList::iterator FlrSnapMgr::findOldestRecoverySnap(SnapList& list,
                                                                  const FlrSnapOS::RDEV& volume,
                                                                  int setId) {
    auto oldest = list.end();
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (!isRecoveryType(it->type)) continue;
        if (!volume.isNull && it->lv->rdev != volume) continue;
        if (setId != 0 && it->setId != setId) continue;
        if (oldest == list.end() || it->time < oldest->time) oldest = it;
    }
    return oldest;
}

bool FlrSnapMgr::removeJobSnaps(SnapList& list, unsigned long long jobId) {
    // Plain snapshots carry job 0 too but belong to no recovery point: a
    // recovery point recorded with job 0 must not take them along.
    for (auto it = list.begin(); it != list.end();) {
        if (it->jobId != jobId || !isRecoveryType(it->type)) {
            ++it;
            continue;
        }
        const std::string path = it->snap->rdev.path;
        it = list.erase(it);
        unSnap(path.c_str(), false);
    }
    return true;
}

// ---------------------------------------------------------------------------
// Creation

std::string FlrSnapMgr::newSnapName(SNAP_TYPE type, const FlrSnapOS::RDEV& volume,
                                    const SnapList& list) {
    for (;;) {
        std::string name =
            jxFormat("%s%x", prefixOf(type), static_cast<unsigned>(::time(nullptr) & 0xffffffffu));
        if (volume.type == FlrSnapOS::RDEV::kNetwork && !volume.isNull)
            name += jxFormat("_%lx", getPhysClientID());
        const bool taken = std::any_of(list.begin(), list.end(), [&](const Snap& e) {
            return e.snap->rdev.path.find(name) != std::string::npos;
        });
        if (!taken) return name;
        // Names carry whole seconds: wait for the clock to move on.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

std::string FlrSnapMgr::mountDirFor(const std::string& name, const FlrSnapOS::RDEV& dev) const {
    const std::string dir = makeSnapMountDir(name);
    if (dev.type != FlrSnapOS::RDEV::kNetwork || dev.volPath.empty()) return dir;
    // The path inside the volume, component by component, never leaving it.
    std::string path = dir;
    size_t from = 0;
    while (from <= dev.volPath.size()) {
        const size_t slash = std::min(dev.volPath.find('/', from), dev.volPath.size());
        const std::string part = dev.volPath.substr(from, slash - from);
        from = slash + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..")
            JX_THROW("FlrSnapMgr::makeSnapMountDir",
                     "Invalid snapshot path \"" + dev.volPath + "\"");
        path += "/" + part;
    }
    if (jx::makeDirs(path.c_str()) != 0)
        JX_THROW_ERRNO("FlrSnapMgr::makeSnapMountDir",
                       "Failed to create snap mount directory " + path, errno);
    return path;
}

void FlrSnapMgr::snap(const char* device, SNAP_TYPE type, unsigned long long jobId, int setId,
                      int maxSnapsPerSet, std::string* snapDevice, std::string* mountPath) {
    _snap(device, type, jobId, setId, maxSnapsPerSet, snapDevice, mountPath);
    if (isRecoveryType(type)) postEvent(kEvCreated, EvEvent::kInfo, device, jobId);
}

void FlrSnapMgr::_snap(const char* device, SNAP_TYPE type, unsigned long long jobId, int setId,
                       int maxSnapsPerSet, std::string* snapDevice, std::string* mountPath) {
    const char* fn = "FlrSnapMgr::snap";
    const std::string dev = device ? device : "";
    const FlrSnapOS::RDEV target(dev);
    getPhysClientID();
    Hold hold(*this);
    cleanupTODO();
    SnapList list = getSnapList(nullptr);

    SP<FlrSnapOS::LV> lv = findVolume(target);
    if (!lv) JX_THROW(fn, "Don't know how to snap " + dev + ": unrecognized device name.");
    for (const auto& s : lv->snaps) {
        if (s->isOrdered() && !parsesAsOurs(s->rdev, nullptr)) {
            postEvent(kEvForeignSnaps, EvEvent::kMajor, dev, jobId);
            JX_THROW(fn, "Cannot create a new snapshot of [" + dev +
                             "] because there are already snapshots of this volume present "
                             "that have not been created by us.");
        }
    }

    if (isRecoveryType(type)) {
        if (setId == 0)
            JX_THROW(fn, "Replication Set ID must be passed when creating recovery snaps.");
        if (maxSnapsPerSet == 0)
            JX_THROW(fn,
                     "Maximum number of snaps per set must be passed when creating recovery "
                     "snaps.");
        while (!list.empty() && getRepSetSnapCnt(list, lv->rdev, setId) >= maxSnapsPerSet) {
            const auto oldest = findOldestRecoverySnap(list, lv->rdev, setId);
            if (oldest == list.end()) break;
            removeJobSnaps(list, oldest->jobId);
        }
    }

    if (static_cast<int>(lv->snaps.size()) >= lv->getMaxNumSnaps()) {
        const auto oldest = list.empty() ? list.end() : findOldestRecoverySnap(list, lv->rdev, 0);
        if (oldest == list.end())
            JX_THROW(fn,
                     "Can't create another snap of " + dev + ": too many snaps active already.");
        removeJobSnaps(list, oldest->jobId);
    }

    const std::string name = newSnapName(type, lv->rdev, list);
    const std::string record = jxFormat("%d:%lld", setId, static_cast<long long>(jobId));
    int cowSizeMB = kDefaultCowSizeMB;
    if (!JXPlatformInfo::getNumber("ZRP", "nSnapCowSizeMB", cowSizeMB))
        cowSizeMB = kDefaultCowSizeMB;

    std::string dir = mountDirFor(name, lv->rdev);
    SP<FlrSnapOS::Snap> created = lv->snapAndMount(cowSizeMB, name, &dir);
    if (isRecoveryType(type) && created->name.empty()) {
        // Its record could not be keyed, and the next listing would remove it
        // as unrecorded: fail now, naming the cause, rather than later.
        try {
            created->unSnap();
        } catch (const JxException& e) {
            EvDebug::Error(fn, "%s", e.getMessage().c_str());
        }
        JX_THROW(fn, "Failed to identify the new snapshot of " + dev + "; it was removed.");
    }
    lv->snaps.push_back(created);
    if (isRecoveryType(type)) JXPlatformInfo::setString("ZRP", created->name, record);
    if (snapDevice) *snapDevice = created->rdev.path;
    if (mountPath) *mountPath = dir;
}

// ---------------------------------------------------------------------------
// Removal

bool FlrSnapMgr::unSnap(const char* snapDevice, bool skipCleanup) {
    const std::string dev = snapDevice ? snapDevice : "";
    const bool recovery = isRecoveryDevice(dev);
    bool removed = false;
    try {
        removed = _unSnap(dev.c_str());
    } catch (const JxException&) {
        if (recovery) postEvent(kEvRemoveFailed, EvEvent::kCritical, dev, jobId_);
        throw;
    }
    if (recovery) {
        if (!removed) {
            postEvent(kEvDeferred, EvEvent::kInfo, dev, jobId_);
            return false;
        }
        postEvent(kEvRemoved, EvEvent::kInfo, dev, jobId_);
    }
    if (removed && !skipCleanup) cleanupTODO();
    return removed;
}

bool FlrSnapMgr::_unSnap(const char* snapDevice) {
    Hold hold(*this);
    const FlrSnapOS::RDEV target(snapDevice);
    for (auto& lv : lvs_) {
        for (auto it = lv->snaps.begin(); it != lv->snaps.end(); ++it) {
            SP<FlrSnapOS::Snap> s = *it;
            if (s->rdev != target) continue;

            int64_t myTime = 0, oldestTime = INT64_MAX;
            const bool mine = parsesAsOurs(s->rdev, &myTime);
            for (const auto& other : lv->snaps) {
                int64_t t = 0;
                if (parsesAsOurs(other->rdev, &t)) oldestTime = std::min(oldestTime, t);
            }
            const bool oldest = mine && myTime == oldestTime;

            const QZHSMMntTab table;
            const QZHSMMntTab::Entry* mounted = nullptr;
            for (const auto& e : table)
                if (FlrSnapOS::RDEV(e.device) == s->rdev) {
                    mounted = &e;
                    break;
                }
            if (mounted && s->isUnMountable() && !FlrSnapOS::unMount(mounted->mountPoint)) {
                addToUnsnapTODO(snapDevice);
                return false;
            }
            if (mounted) {
                const std::string root = getSnapMountDir() + "/";
                if (mounted->mountPoint.compare(0, root.size(), root) == 0)
                    (void)jx::fileOps().rmdir(mounted->mountPoint.c_str());
            }
            if (!s->isOrdered() || oldest) {
                s->unSnap();
                lv->snaps.erase(it);
                delFromUnsnapTODO(snapDevice);
                return true;
            }
            addToUnsnapTODO(snapDevice);
            return false;
        }
    }
    for (auto& lv : lvs_) {
        if (!lv->supportsTransientSnaps() || lv->rdev != target) continue;
        if (auto t = lv.cast<FlrSnapOS::LVT>()) t->removeTransientSnap();
        return true;
    }
    delFromUnsnapTODO(snapDevice);
    return true;
}

bool FlrSnapMgr::unSnapAll(const char* device, SNAP_TYPE type) {
    Hold hold(*this);
    SnapList list = getSnapList(device);
    list.sort([](const Snap& a, const Snap& b) { return a.time > b.time; });
    bool all = true;
    for (const auto& e : list) {
        if (e.type != type) continue;
        try {
            all = unSnap(e.snap->rdev.path.c_str(), false) && all;
        } catch (const JxException& ex) {
            EvDebug::Error("FlrSnapMgr::unSnapAll", "%s", ex.getMessage().c_str());
        }
    }
    return all;
}
