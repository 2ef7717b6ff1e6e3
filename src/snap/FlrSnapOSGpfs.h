#pragma once
// Snapshots of GPFS file sets. GPFS snapshots live inside the file system
// and are visible under a path of their own, so nothing is ever mounted:
// snap() hands back that path and mount() does nothing. All GPFS work goes
// through the Gpfs administration class.
#include <string>

#include "FLR/FlrSnapOS.h"

class FlrSnapOS_LV_gpfs : public FlrSnapOS::LVP {
  public:
    static constexpr int kMaxSnaps = 256;
    static constexpr char kSeparator = '@';

    FlrSnapOS_LV_gpfs(const FlrSnapOS::RDEV& dev, const std::string& lvName, FLR_SNAP_ENG eng,
                      std::string fileSetName)
        : LVP(dev, lvName, eng), fileSet(std::move(fileSetName)) {}
    int getMaxNumSnaps() const override { return kMaxSnaps; }
    // cowSizeMB is not used; *mountPath receives where the snapshot is visible.
    SP<FlrSnapOS::Snap> snap(int cowSizeMB, const std::string& snapName,
                             std::string* mountPath) override;
    void mount(SP<FlrSnapOS::Snap>&, const std::string&) override {}

    // Enumeration failures are logged at debug level and shrink the list.
    static FlrSnapOS::LVList getLVList();

    std::string fileSet;
};

class FlrSnapOS_Snap_gpfs : public FlrSnapOS::Snap {
  public:
    // The descriptor text and name are "<snapshot>@<device>"; its leaf is
    // the snapshot name, as a device leaf is for the other engines.
    FlrSnapOS_Snap_gpfs(const std::string& device, std::string fileSetName,
                        const std::string& gpfsSnapName);
    bool isUnMountable() const override { return false; }
    bool isOrdered() const override { return false; }
    bool isTransient() const override { return false; }
    void unSnap() override;

    std::string fileSet;
    std::string snapName;
};
