#include "FlrSnapOSGpfs.h"

#include <map>

#include "FLR/JxException.h"
#include "mgmt/Gpfs.h"
#include "platform/EvDebug.h"

namespace {

const char* const kSnapGpfsSource = "FlrSnapOS_gpfs";

[[noreturn]] void snapGpfsFail(const char* function, const std::string& message) {
    throw JxException(function, message, kSnapGpfsSource, __LINE__, -1);
}

std::string joined(const std::string& snapName, const std::string& device) {
    return snapName + FlrSnapOS_LV_gpfs::kSeparator + device;
}

}  // namespace

FlrSnapOS_Snap_gpfs::FlrSnapOS_Snap_gpfs(const std::string& device, std::string fileSetName,
                                         const std::string& gpfsSnapName)
    : Snap(FlrSnapOS::RDEV(joined(gpfsSnapName, device)), joined(gpfsSnapName, device),
           FLR_SNAP_ENG_GPFS),
      fileSet(std::move(fileSetName)),
      snapName(gpfsSnapName) {
    // The manager recognises its snapshots by the descriptor's leaf.
    rdev.leaf = gpfsSnapName;
}

FlrSnapOS::LVList FlrSnapOS_LV_gpfs::getLVList() {
    static const char* const fn = "FlrSnapOS_LV_gpfs::getLVList";
    FlrSnapOS::LVList result;
    std::list<std::string> devices;
    CQiError err = Gpfs::GetGpfsDevices(devices, true);
    if (err.IsError()) {
        EvDebug::Debug(fn, "GetGpfsDevices failed. '%s' ", err.AsString().c_str());
        return result;
    }
    for (const std::string& device : devices) {
        std::list<Gpfs::FileSetInfo> fileSets;
        std::map<std::string, std::list<std::string>> snapshots;
        err = Gpfs::GetFileSets(device, fileSets, true);
        if (err.IsError()) {
            EvDebug::Debug(fn, "GetFileSets failed. '%s'", err.AsString().c_str());
            continue;
        }
        err = Gpfs::GetSnapshots(device, snapshots);
        if (err.IsError()) {
            EvDebug::Debug(fn, "GetFileSetSnaps failed. '%s'", err.AsString().c_str());
            continue;
        }
        for (const auto& fs : fileSets) {
            SP<FlrSnapOS::LV> lv(new FlrSnapOS_LV_gpfs(FlrSnapOS::RDEV(device), fs.name,
                                                       FLR_SNAP_ENG_GPFS, fs.name));
            // Global snapshots are listed under "root" by the administration class.
            const auto snaps = snapshots.find(fs.name);
            if (snaps != snapshots.end())
                for (const auto& name : snaps->second)
                    lv->snaps.push_back(
                        SP<FlrSnapOS::Snap>(new FlrSnapOS_Snap_gpfs(device, fs.name, name)));
            result.push_back(lv);
        }
    }
    return result;
}

SP<FlrSnapOS::Snap> FlrSnapOS_LV_gpfs::snap(int /*cowSizeMB*/, const std::string& snapName,
                                            std::string* mountPath) {
    static const char* const fn = "FlrSnapOS_LV_gpfs::snap";
    const std::string& device = rdev.path;
    EvDebug::Debug(fn, "Creating snap of %s with name %s", device.c_str(), snapName.c_str());
    CQiError err = Gpfs::CreateSnapshot(device, fileSet, snapName);
    if (err.IsError())
        snapGpfsFail(fn, "Failed to create snapshot of device " + device + " with name " +
                             snapName + ": " + err.GetMessage());
    if (mountPath) {
        std::string path;
        err = Gpfs::GetSnapMountPath(device, fileSet, snapName, path);
        if (err.IsError())
            snapGpfsFail(fn, "Failed to get mount directory for " + joined(snapName, device) +
                                 " of file set " + fileSet + ". " + err.GetMessage());
        *mountPath = path;
    }
    return SP<FlrSnapOS::Snap>(new FlrSnapOS_Snap_gpfs(device, fileSet, snapName));
}

void FlrSnapOS_Snap_gpfs::unSnap() {
    static const char* const fn = "FlrSnapOS_Snap_gpfs::unSnap";
    const std::string& text = rdev.path;
    const size_t sep = text.find(FlrSnapOS_LV_gpfs::kSeparator);
    if (sep == std::string::npos) {
        EvDebug::Debug(fn, "unsnap failed. Invalid name %s", text.c_str());
        return;
    }
    const std::string gpfsName = text.substr(0, sep);
    const std::string device = text.substr(sep + 1);
    EvDebug::Debug(fn, "Unsnapping %s", text.c_str());
    CQiError err = Gpfs::DeleteSnapshot(device, fileSet, gpfsName);
    if (err.IsError())
        snapGpfsFail(fn, "Failed to destroy snapshot " + gpfsName + " of device " + device + ": " +
                             err.GetMessage());
}
