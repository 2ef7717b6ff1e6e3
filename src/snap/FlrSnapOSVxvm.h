#pragma once
// Space-optimised instant snapshots of VxVM volumes, made and removed with
// the VxVM tools (vxdg, vxsnap, vxprint, vxedit) through JxProcess argument
// vectors. Devices are "/dev/vx/dsk/<disk group>/<volume>"; a snapshot is a
// volume of the same disk group named by the snapshot name, mounted
// read-only as VxFS.
#include <string>

#include "FLR/FlrSnapOS.h"

class FlrSnapOS_LV_vxvm : public FlrSnapOS::LVP {
  public:
    static constexpr int kMaxSnaps = 256;

    using LVP::LVP;
    int getMaxNumSnaps() const override { return kMaxSnaps; }
    // Never fills mountPath.
    SP<FlrSnapOS::Snap> snap(int cowSizeMB, const std::string& snapName,
                             std::string* mountPath) override;
    void mount(SP<FlrSnapOS::Snap>& snap, const std::string& mountPoint) override;

    // Empty when VxVM is not installed ("/dev/vx" missing); throws when a
    // tool fails.
    static FlrSnapOS::LVList getLVList();
    // Splits "/dev/vx/dsk/<group>/<volume>"; false for any other text.
    static bool splitDevice(const std::string& device, std::string* group, std::string* volume);
    // Where the device tree is looked for (tests point it at a fake tree);
    // empty: the host's /dev/vx.
    static void setDeviceRoot(const std::string& dir);
};

class FlrSnapOS_Snap_vxvm : public FlrSnapOS::Snap {
  public:
    using Snap::Snap;
    bool isOrdered() const override { return false; }
    bool isTransient() const override { return false; }
    void unSnap() override;
};
