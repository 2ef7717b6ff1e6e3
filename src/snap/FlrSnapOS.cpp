#include "FLR/FlrSnapOS.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <vector>

#include "FLR/JxException.h"
#include "FlrSnapOSBtrfs.h"
#include "FlrSnapOSGpfs.h"
#include "FlrSnapOSLinux.h"
#include "FlrSnapOSQzbf.h"
#include "FlrSnapOSVxvm.h"
#include "platform/EvDebug.h"
#include "platform/JxMntTab.h"
#include "platform/JxProcess.h"

// ---------------------------------------------------------------------------
// RDEV

void FlrSnapOS::RDEV::init(const std::string& text) {
    isNull = true;
    type = kOther;
    rdev = 0;
    for (std::string* s : {&path, &host, &remotePath, &volume, &volPath, &leaf}) s->clear();
    if (text.empty()) return;
    isNull = false;
    path = text;
    if (text[0] == '/') {
        type = kLocal;
        struct stat st;
        if (::stat(text.c_str(), &st) != 0) {
            const int err = errno;
            EvDebug::Error("FlrSnapOS::RDEV::init", "Failed to stat %s: %s", text.c_str(),
                           jxErrnoText(err).c_str());
        } else {
            rdev = st.st_rdev;
        }
        leaf = text.substr(text.rfind('/') + 1);
        return;
    }
    const size_t colon = text.find(":/");
    if (colon == std::string::npos) return;
    type = kNetwork;
    host = text.substr(0, colon);
    remotePath = text.substr(colon + 1);
    static const std::string kVol = "/vol/";
    if (remotePath.compare(0, kVol.size(), kVol) != 0) return;
    std::string rest = remotePath.substr(kVol.size());
    size_t slash = rest.find('/');
    volume = rest.substr(0, slash);
    if (slash == std::string::npos) return;
    rest = rest.substr(slash + 1);
    static const std::string kSnapDir = ".snapshot/";
    if (rest.compare(0, kSnapDir.size(), kSnapDir) != 0) {
        volPath = rest;
        return;
    }
    rest = rest.substr(kSnapDir.size());
    slash = rest.find('/');
    leaf = rest.substr(0, slash);
    if (slash != std::string::npos) volPath = rest.substr(slash + 1);
}

bool FlrSnapOS::RDEV::operator==(const RDEV& o) const {
    if (type != o.type) return false;
    // A node that could not be examined (0) is told apart by its path, so
    // that two missing devices are not taken for one.
    if (type == kLocal && rdev != 0 && o.rdev != 0) return rdev == o.rdev;
    return path == o.path;
}

// ---------------------------------------------------------------------------
// LV

SP<FlrSnapOS::Snap> FlrSnapOS::LV::snapAndMount(int cowSizeMB, const std::string& snapName,
                                                std::string* mountPath) {
    std::string enginePath;
    SP<Snap> s = snap(cowSizeMB, snapName, &enginePath);
    if (enginePath.empty()) {
        mount(s, mountPath ? *mountPath : std::string());
    } else if (mountPath) {
        *mountPath = enginePath;
    }
    return s;
}

// ---------------------------------------------------------------------------
// Engine enumeration

namespace {

struct EngineTable {
    std::mutex mutex;
    std::map<int32_t, FlrSnapOS::Enumerator> engines;
};

// The engines of this library, one line each.
void addBuiltinEngines(std::map<int32_t, FlrSnapOS::Enumerator>& engines) {
    engines[FLR_SNAP_ENG_LINUX_LVM] = [] { return FlrSnapOS_LV_linux_lvm::getLVList(); };
    engines[FLR_SNAP_ENG_LINUX_QZBF] = [] { return FlrSnapOS_LV_linux_qzbf::getLVList(); };
    engines[FLR_SNAP_ENG_GPFS] = [] { return FlrSnapOS_LV_gpfs::getLVList(); };
    engines[FLR_SNAP_ENG_VXVM] = [] { return FlrSnapOS_LV_vxvm::getLVList(); };
    engines[FLR_SNAP_ENG_BTRFS] = [] { return FlrSnapOS_LV_btrfs::getLVList(); };
}

EngineTable& engineTable() {
    static EngineTable* table = [] {
        auto* t = new EngineTable;  // never destroyed: engines may be listed at exit
        addBuiltinEngines(t->engines);
        return t;
    }();
    return *table;
}

// The walk order: LVM, block filter, GPFS, VxVM, then the others by value.
std::vector<int32_t> walkOrder(const std::map<int32_t, FlrSnapOS::Enumerator>& engines) {
    std::vector<int32_t> order = {FLR_SNAP_ENG_LINUX_LVM, FLR_SNAP_ENG_LINUX_QZBF,
                                  FLR_SNAP_ENG_GPFS, FLR_SNAP_ENG_VXVM};
    for (const auto& [engine, fn] : engines)
        if (std::find(order.begin(), order.end(), engine) == order.end()) order.push_back(engine);
    return order;
}

}  // namespace

void FlrSnapOS::registerEngine(FLR_SNAP_ENG engine, Enumerator enumerate) {
    EngineTable& t = engineTable();
    std::lock_guard<std::mutex> g(t.mutex);
    if (enumerate)
        t.engines[engine] = std::move(enumerate);
    else
        t.engines.erase(engine);
}

FlrSnapOS::Enumerator FlrSnapOS::getEngine(FLR_SNAP_ENG engine) {
    EngineTable& t = engineTable();
    std::lock_guard<std::mutex> g(t.mutex);
    const auto it = t.engines.find(engine);
    return it == t.engines.end() ? Enumerator() : it->second;
}

FlrSnapOS::LVList FlrSnapOS::getLVList(const std::list<FLR_SNAP_ENG>& engines) {
    const bool all = std::find(engines.begin(), engines.end(), FLR_SNAP_ENG_ALL) != engines.end();
    std::vector<std::pair<int32_t, Enumerator>> selected;
    {
        EngineTable& t = engineTable();
        std::lock_guard<std::mutex> g(t.mutex);
        for (int32_t engine : walkOrder(t.engines)) {
            const bool wanted =
                all || std::find(engines.begin(), engines.end(), engine) != engines.end();
            const auto it = t.engines.find(engine);
            if (wanted && it != t.engines.end()) selected.emplace_back(engine, it->second);
        }
    }
    // Enumerations run tools: outside the table's lock.
    LVList result;
    for (const auto& [engine, enumerate] : selected) {
        try {
            LVList found = enumerate();
            result.splice(result.end(), found);
        } catch (const JxException& e) {
            EvDebug::Error(e.getFunction().c_str(), "%s", e.getMessage().c_str());
        }
    }
    return result;
}

FlrSnapOS::LVList FlrSnapOS::getLVList(FLR_SNAP_ENG engine) {
    return getLVList(std::list<FLR_SNAP_ENG>{engine});
}

FlrSnapOS::LVList FlrSnapOS::getLVList() {
    return getLVList(FLR_SNAP_ENG_ALL);
}

// ---------------------------------------------------------------------------
// Mount table, mount and unmount

bool FlrSnapOS::getMountDetail(const RDEV& dev, std::string* mountPoint, std::string* options,
                               std::string* fsType) {
    std::list<JxMntTab::Entry> entries;
    (void)JxMntTab::getAll(entries);  // an unreadable table has no entries
    for (const auto& e : entries) {
        if (RDEV(e.device) != dev) continue;
        if (mountPoint) *mountPoint = e.mountPoint;
        if (options) *options = e.options;
        if (fsType) *fsType = e.fsType;
        return true;
    }
    return false;
}

void FlrSnapOS::mount(const RDEV& dev, const std::string& mountPoint, const std::string& options,
                      const std::string& fsType) {
    std::vector<std::string> argv = {"mount"};
    if (!fsType.empty()) argv.insert(argv.end(), {"-t", fsType});
    if (!options.empty()) argv.insert(argv.end(), {"-o", options});
    argv.insert(argv.end(), {dev.path, mountPoint});
    EvDebug::Debug("FlrSnapOS::mount", "Mounting %s under %s", dev.path.c_str(),
                   mountPoint.c_str());
    const JxProcess::Result r = JxProcess::run(argv);
    if (r.status != 0)
        JX_THROW("FlrSnapOS::mount",
                 "Failed to mount device " + dev.path + " under " + mountPoint + ": " + r.error);
}

bool FlrSnapOS::unMount(const std::string& mountPoint) {
    EvDebug::Debug("FlrSnapOS::unMount", "Unmounting %s", mountPoint.c_str());
    const JxProcess::Result r = JxProcess::run({"umount", mountPoint});
    if (r.status == 0) return true;
    for (const std::string* text : {&r.output, &r.error})
        if (text->find("busy") != std::string::npos || text->find("Busy") != std::string::npos)
            return false;
    JX_THROW("FlrSnapOS::unMount", "Failed to unmount " + mountPoint + ": " + r.error);
}
