#include "FlrSnapOSVxvm.h"

#include <algorithm>
#include <cctype>
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

#include "FLR/JxException.h"
#include "platform/EvDebug.h"
#include "platform/JxFile.h"
#include "platform/JxProcess.h"

namespace {

const char* const kVxvmSource = "FlrSnapOS_vxvm";
const std::string kDskPrefix = "/dev/vx/dsk/";

[[noreturn]] void vxvmFail(const char* function, const std::string& message) {
    throw JxException(function, message, kVxvmSource, __LINE__, -1);
}

std::mutex g_rootMutex;
std::string g_deviceRoot;

std::string deviceRoot() {
    std::lock_guard<std::mutex> g(g_rootMutex);
    return g_deviceRoot.empty() ? std::string("/dev/vx") : g_deviceRoot;
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

bool beginsOn(const std::string& output) {
    const auto w = words(output);
    return !w.empty() && w.front().compare(0, 2, "on") == 0;
}

// Runs a VxVM tool; its error text on failure, else the output in *out.
bool runTool(const std::vector<std::string>& argv, std::string* out, std::string* error) {
    const JxProcess::Result r = JxProcess::run(argv);
    if (out) *out = r.output;
    if (error) {
        *error = r.error.empty() ? r.output : r.error;
        while (!error->empty() && std::isspace(static_cast<unsigned char>(error->back())))
            error->pop_back();
    }
    return r.status == 0;
}

std::string getUUID(const std::string& group, const std::string& volume) {
    std::string out, err;
    if (!runTool({"vxprint", "-g", group, "-F%guid", volume}, &out, &err))
        vxvmFail("FlrSnapOS_vxvm::getUUID",
                 "Failed to query UUID of volume " + volume + " in VG " + group + ": " + err);
    const auto w = words(out);
    return w.empty() ? std::string() : w.front();
}

std::vector<std::string> diskGroups() {
    std::string out, err;
    if (!runTool({"vxdg", "list"}, &out, &err))
        vxvmFail("FlrSnapOS::getVGList", "Failed to query the list of VxVM volume groups: " + err);
    std::vector<std::string> groups;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        const auto w = words(line);
        if (w.empty() || w.front() == "NAME") continue;  // the heading
        groups.push_back(w.front());
    }
    return groups;
}

// Space-optimised snapshot volume -> parent volume, from "vxsnap list".
std::map<std::string, std::string> spaceOptSnaps(const std::string& group) {
    std::string out, err;
    if (!runTool({"vxsnap", "-g", group, "list"}, &out, &err))
        vxvmFail("FlrSnapOS_LV_vxvm::getLVList",
                 "Failed to get the list of snapshots for VG " + group + ": " + err);
    std::map<std::string, std::string> snaps;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        const auto w = words(line);
        const auto type = std::find(w.begin(), w.end(), "spaceopt");
        if (type == w.end() || type == w.begin() || type + 1 == w.end()) continue;
        snaps[w.front()] = *(type + 1);
    }
    return snaps;
}

}  // namespace

void FlrSnapOS_LV_vxvm::setDeviceRoot(const std::string& dir) {
    std::lock_guard<std::mutex> g(g_rootMutex);
    g_deviceRoot = dir;
}

bool FlrSnapOS_LV_vxvm::splitDevice(const std::string& device, std::string* group,
                                    std::string* volume) {
    if (device.compare(0, kDskPrefix.size(), kDskPrefix) != 0) return false;
    const std::string rest = device.substr(kDskPrefix.size());
    const size_t slash = rest.find('/');
    if (slash == 0 || slash == std::string::npos || slash + 1 == rest.size() ||
        rest.find('/', slash + 1) != std::string::npos)
        return false;
    if (group) *group = rest.substr(0, slash);
    if (volume) *volume = rest.substr(slash + 1);
    return true;
}

FlrSnapOS::LVList FlrSnapOS_LV_vxvm::getLVList() {
    FlrSnapOS::LVList result;
    const std::string root = deviceRoot();
    struct stat st;
    if (jx::fileOps().stat(root.c_str(), &st) != 0) return result;  // no VxVM here
    for (const std::string& group : diskGroups()) {
        const auto snapParents = spaceOptSnaps(group);
        std::vector<std::string> volumes;
        const int err = jx::fileOps().listDir((root + "/dsk/" + group).c_str(), &volumes);
        if (err != 0) {
            EvDebug::Error("FlrSnapOS_LV_vxvm::getLVList", "Failed to list volumes of VG %s: %s",
                           group.c_str(), jxErrnoText(err).c_str());
            continue;
        }
        std::sort(volumes.begin(), volumes.end());
        std::map<std::string, SP<FlrSnapOS::LV>> byName;
        for (const auto& vol : volumes) {
            if (snapParents.count(vol)) continue;
            SP<FlrSnapOS::LV> lv(new FlrSnapOS_LV_vxvm(
                FlrSnapOS::RDEV(kDskPrefix + group + "/" + vol), vol, FLR_SNAP_ENG_VXVM));
            byName[vol] = lv;
            result.push_back(lv);
        }
        for (const auto& vol : volumes) {
            const auto parent = snapParents.find(vol);
            if (parent == snapParents.end()) continue;
            const auto lv = byName.find(parent->second);
            if (lv == byName.end()) continue;  // its parent is gone from the tree
            lv->second->snaps.push_back(SP<FlrSnapOS::Snap>(
                new FlrSnapOS_Snap_vxvm(FlrSnapOS::RDEV(kDskPrefix + group + "/" + vol),
                                        getUUID(group, vol), FLR_SNAP_ENG_VXVM)));
        }
    }
    return result;
}

SP<FlrSnapOS::Snap> FlrSnapOS_LV_vxvm::snap(int cowSizeMB, const std::string& snapName,
                                            std::string* /*mountPath*/) {
    static const char* const fn = "FlrSnapOS_LV_vxvm::snap";
    const std::string& device = rdev.path;
    EvDebug::Debug(fn, "Creating %dMB snap of %s with name %s", cowSizeMB, device.c_str(),
                   snapName.c_str());
    std::string group, volume;
    if (!splitDevice(device, &group, &volume)) vxvmFail(fn, "Invalid VxVM device name " + device);
    const std::string where = volume + " of VG " + group;
    std::string out, err;
    if (!runTool({"vxprint", "-g", group, "-F%instant", volume}, &out, &err))
        vxvmFail(fn, "Failed to find out whether volume " + where + " is instant-ready: " + err);
    const bool instant = beginsOn(out);
    if (!runTool({"vxprint", "-g", group, "-F%fastresync", volume}, &out, &err))
        vxvmFail(fn,
                 "Failed to find out whether volume " + where + " has fast resync enabled: " + err);
    const bool fastResync = beginsOn(out);
    if (!(instant && fastResync) &&
        !runTool({"vxsnap", "-g", group, "prepare", volume, "drl=no"}, nullptr, &err))
        vxvmFail(fn, "Failed to prepare volume " + where + " for snapping: " + err);
    const std::string spec = "source=" + volume + "/newvol=" + snapName +
                             "/cachesize=" + std::to_string(cowSizeMB) + "m/autogrow=yes";
    if (!runTool({"vxsnap", "-g", group, "make", spec}, nullptr, &err))
        vxvmFail(fn, "Failed to create snapshot of " + where + ": " + err);
    return SP<FlrSnapOS::Snap>(
        new FlrSnapOS_Snap_vxvm(FlrSnapOS::RDEV(kDskPrefix + group + "/" + snapName),
                                getUUID(group, snapName), FLR_SNAP_ENG_VXVM));
}

void FlrSnapOS_LV_vxvm::mount(SP<FlrSnapOS::Snap>& snap, const std::string& mountPoint) {
    FlrSnapOS::mount(snap->rdev, mountPoint, "ro", "vxfs");
}

void FlrSnapOS_Snap_vxvm::unSnap() {
    static const char* const fn = "FlrSnapOS_Snap_vxvm::unSnap";
    std::string group, volume;
    if (!FlrSnapOS_LV_vxvm::splitDevice(rdev.path, &group, &volume))
        vxvmFail(fn, "Invalid VxVM snap device name " + rdev.path);
    EvDebug::Debug(fn, "Unsnapping %s", rdev.path.c_str());
    std::string err;
    if (!runTool({"vxedit", "-g", group, "-f", "-r", "rm", volume}, nullptr, &err))
        vxvmFail(fn, "Failed to unsnap volume " + volume + ": " + err);
}
