#pragma once
// Read-only btrfs subvolume snapshots: the engine that works on a stock
// Linux without device-mapper or a driver of our own. Every mounted btrfs
// subvolume is a volume, named by its mount point; its snapshots live in
// "<mount point>/.flrsnap/<name>", visible without mounting (like GPFS), so
// nothing is ever mounted or unmounted. The btrfs tool runs through
// JxProcess argument vectors.
#include <string>

#include "FLR/FlrSnapOS.h"

class FlrSnapOS_LV_btrfs : public FlrSnapOS::LVP {
  public:
    static constexpr int kMaxSnaps = 256;
    static constexpr const char* kSnapDir = ".flrsnap";

    // dev: the mount point; blockDevice: the device the mount table names.
    FlrSnapOS_LV_btrfs(const FlrSnapOS::RDEV& dev, const std::string& lvName, FLR_SNAP_ENG eng,
                       std::string blockDevice)
        : LVP(dev, lvName, eng), device(std::move(blockDevice)) {}
    int getMaxNumSnaps() const override { return kMaxSnaps; }
    // cowSizeMB is not used; *mountPath receives the snapshot's path.
    SP<FlrSnapOS::Snap> snap(int cowSizeMB, const std::string& snapName,
                             std::string* mountPath) override;
    void mount(SP<FlrSnapOS::Snap>&, const std::string&) override {}

    // The writable btrfs mounts of the mount table (a file system mounted
    // twice on one point: the later mount) with the snapshots in their
    // snapshot folders.
    static FlrSnapOS::LVList getLVList();
    // The subvolume's UUID from "btrfs subvolume show"; empty when unknown.
    static std::string subvolumeUuid(const std::string& path);

    std::string device;
};

class FlrSnapOS_Snap_btrfs : public FlrSnapOS::Snap {
  public:
    using Snap::Snap;
    bool isUnMountable() const override { return false; }
    bool isOrdered() const override { return false; }
    bool isTransient() const override { return false; }
    void unSnap() override;
};
