#pragma once
// The Linux engines of the snapshot model: LVM logical volumes (classic
// copy-on-write or thin snapshots) and dm-crypt (LUKS) mappings on top of
// them. Every host tool runs through JxProcess with an argument vector.
#include <string>

#include "FLR/FlrSnapOS.h"

// Shared by the Linux engines: mounts a snapshot read-only with the options
// that follow from how the origin is mounted.
class FlrSnapOS_LV_linux : public FlrSnapOS::LVP {
  public:
    using LVP::LVP;
    void mount(SP<FlrSnapOS::Snap>& snap, const std::string& mountPoint) override;

    // "ro", then ",nouuid,norecovery" for XFS (the snapshot carries the
    // origin's UUID and a dirty log), then ",acl" and ",user_xattr" when the
    // origin's options hold them as whole words.
    static std::string snapMountOptions(const std::string& originOptions,
                                        const std::string& fsType);
};

class FlrSnapOS_Snap_linux : public FlrSnapOS::Snap {
  public:
    using Snap::Snap;
};

class FlrSnapOS_LV_linux_lvm : public FlrSnapOS_LV_linux {
  public:
    static constexpr int kMaxSnaps = 32;
    static constexpr int kDefaultCowPercent = 5;
    static constexpr int kMaxDefaultCowMB = 51200;

    using FlrSnapOS_LV_linux::FlrSnapOS_LV_linux;
    int getMaxNumSnaps() const override { return kMaxSnaps; }
    // Never fills mountPath.
    SP<FlrSnapOS::Snap> snap(int cowSizeMB, const std::string& snapName,
                             std::string* mountPath) override;

    // Volumes and their snapshots from "vgdisplay -v", then the LUKS mappings
    // on top of them. Throws when vgdisplay fails.
    static FlrSnapOS::LVList getLVList();
    // The volumes of one "vgdisplay -v" report, snapshots attached to their origins.
    static FlrSnapOS::LVList parseVgdisplay(const std::string& report);
    // Copy-on-write size of a classic snapshot: the request, limited by the
    // origin's size, or a percentage of it. lvdisplayLine is "lvdisplay -c"
    // output (empty when it failed); percentage 0 means not set.
    static int cowSizeMB(const std::string& device, int requestedMB,
                         const std::string& lvdisplayLine, unsigned percentage);
    // The snapshot's device: the origin's directory followed by the name.
    static std::string snapDevicePath(const std::string& originPath, const std::string& snapName);
};

class FlrSnapOS_Snap_linux_lvm : public FlrSnapOS_Snap_linux {
  public:
    using FlrSnapOS_Snap_linux::FlrSnapOS_Snap_linux;
    bool isOrdered() const override { return false; }
    bool isTransient() const override { return false; }
    void unSnap() override;
};

enum eLUKS_KeyType { LUKS_KEY_PASSPHRASE = 1, LUKS_KEY_KEYFILE = 2 };

class FlrSnapOS_LV_linux_lvm_LUKS : public FlrSnapOS_LV_linux {
  public:
    FlrSnapOS_LV_linux_lvm_LUKS(const FlrSnapOS::RDEV& dev, const std::string& lvName,
                                FLR_SNAP_ENG eng, SP<FlrSnapOS::LV> parent)
        : FlrSnapOS_LV_linux(dev, lvName, eng), parentLV(std::move(parent)) {}
    int getMaxNumSnaps() const override { return FlrSnapOS_LV_linux_lvm::kMaxSnaps; }
    SP<FlrSnapOS::Snap> snap(int cowSizeMB, const std::string& snapName,
                             std::string* mountPath) override;

    // Appends the crypt mappings whose underlying device is one of the LVM
    // volumes in result; attaches mappings of their snapshots. Returns the
    // number of volumes added.
    static int getLVList(FlrSnapOS::LVList& result);
    // The mapping's device-mapper UUID; empty when dmsetup fails.
    static std::string Getuuid(const std::string& device);
    // The unlock key of a mapping: a stored passphrase (per device, then for
    // all devices) or the key file named in the crypttab. 0 when found;
    // otherwise -1 with the reason in *reason when given.
    static int GetLuksKey(const std::string& device, eLUKS_KeyType& type, std::string& passphrase,
                          std::string& keyFile, std::string* reason = nullptr);
    // Where the crypttab is read (tests point it elsewhere); empty: /etc/crypttab.
    static void setCrypttabFile(const std::string& path);

    SP<FlrSnapOS::LV> parentLV;
};

class FlrSnapOS_Snap_linux_lvm_LUKS : public FlrSnapOS_Snap_linux {
  public:
    FlrSnapOS_Snap_linux_lvm_LUKS(const FlrSnapOS::RDEV& dev, const std::string& snapName,
                                  FLR_SNAP_ENG eng, SP<FlrSnapOS::Snap> parent)
        : FlrSnapOS_Snap_linux(dev, snapName, eng), parentSnap(std::move(parent)) {}
    bool isOrdered() const override { return false; }
    bool isTransient() const override { return false; }
    // Closes the mapping, then removes the LVM snapshot under it.
    void unSnap() override;

    SP<FlrSnapOS::Snap> parentSnap;
};
