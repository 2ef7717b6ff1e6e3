#pragma once
// Snapshot manager: creates, lists, mounts and removes the snapshots that
// serve as recovery points of the replica volumes, through the engine-neutral
// model only. Its snapshots are named "jxm_%x" (plain), "jxr_%x" and "jxc_%x"
// (recovery points) after their creation time, so it knows its own later;
// recovery snapshots are tagged "set:job" in the registry; per-set and
// per-volume limits remove the oldest recovery points; removals that meet a
// busy file system wait in a persistent list and are retried by the next
// operation. Every operation holds the process-shared mutex
// "FLR_SNAP_MGR_MUTEX", so services on one host never interleave.
#include <cstdint>
#include <list>
#include <string>

#include "FLR/FlrExport.h"
#include "FLR/FlrSnapOS.h"
#include "FLR/JxNamedMutex.h"

enum SNAP_TYPE : int32_t {
    SNAP_TYPE_PLAIN = 0,      // "jxm_", not a recovery point
    SNAP_TYPE_RECOVERY = 1,   // "jxr_"
    SNAP_TYPE_RECOVERY2 = 2,  // "jxc_", handled like type 1
};

class FLR_EXPORT FlrSnapMgr {
  public:
    struct Snap {
        SNAP_TYPE type = SNAP_TYPE_PLAIN;
        SP<FlrSnapOS::Snap> snap;
        SP<FlrSnapOS::LV> lv;
        int64_t time = 0;  // creation time, from the name
        int32_t setId = 0;
        uint64_t jobId = 0;
    };
    using SnapList = std::list<Snap>;

    // Event ids posted for recovery snapshots.
    static constexpr unsigned kEvCreated = 0x4c000027;
    static constexpr unsigned kEvForeignSnaps = 0x4c0000c5;
    static constexpr unsigned kEvRemoved = 0x4c000044;
    static constexpr unsigned kEvDeferred = 0x4c000045;
    static constexpr unsigned kEvRemoveFailed = 0x4c000043;

    // jobId: the job of the removal events.
    explicit FlrSnapMgr(unsigned long long jobId = 0);

    // Creates and mounts a snapshot of the volume `device`; out-pointers may
    // be null. Recovery snapshots (types 1, 2) need a set and a limit per set.
    void snap(const char* device, SNAP_TYPE type, unsigned long long jobId, int setId,
              int maxSnapsPerSet, std::string* snapDevice, std::string* mountPath);
    // True when removed (or nothing to remove), false when deferred (busy).
    bool unSnap(const char* snapDevice, bool skipCleanup = false);
    // Every snapshot of the type on the volume (all volumes for null); true
    // when none was deferred.
    bool unSnapAll(const char* device, SNAP_TYPE type);
    // The manager's snapshots of one volume, or of all for null or empty.
    SnapList getSnapList(const char* device);
    // Mounts one snapshot under the mount root; returns the directory.
    std::string autoMountSnap(SP<FlrSnapOS::LV>& lv, SP<FlrSnapOS::Snap>& snap);
    void autoMountAllSnaps();

    static SnapList::iterator findOldestRecoverySnap(SnapList& list, const FlrSnapOS::RDEV& volume,
                                                     int setId);
    static int getRepSetSnapCnt(const SnapList& list, const FlrSnapOS::RDEV& volume, int setId);
    // Removes every snapshot of the job, across volumes, and its entries.
    bool removeJobSnaps(SnapList& list, unsigned long long jobId);
    // Set and job of a recovery snapshot from its registry record.
    static bool getExtendedSnapInfo(Snap& entry);

    // The pending-removal list ([ZRP] sUnsnapTODO).
    static std::list<std::string> getUnsnapTODO();
    static void setUnsnapTODO(const std::list<std::string>& devices);
    static void addToUnsnapTODO(const char* device);
    static void delFromUnsnapTODO(const char* device);
    // Retries the pending removals, oldest first.
    void cleanupTODO();

    // Snapshot names: prefix, hex creation time, optionally "_" + hex host.
    static const char* prefixOf(SNAP_TYPE type);
    static bool parseSnapName(const std::string& name, SNAP_TYPE* type, int64_t* time,
                              unsigned long long* host);
    // This host's physical client identifier (-1 until the client is known).
    static long getPhysClientID();

    // [ZRP] dSnapMountDir as read, else the install directory + "/SnapMount".
    static std::string getSnapMountDir();
    // getSnapMountDir() + "/" + snapName, created with its parents.
    static std::string makeSnapMountDir(const std::string& snapName);

  private:
    class Hold;
    void _snap(const char* device, SNAP_TYPE type, unsigned long long jobId, int setId,
               int maxSnapsPerSet, std::string* snapDevice, std::string* mountPath);
    bool _unSnap(const char* snapDevice);
    SP<FlrSnapOS::LV> findVolume(const FlrSnapOS::RDEV& dev) const;
    std::string newSnapName(SNAP_TYPE type, const FlrSnapOS::RDEV& volume, const SnapList& list);
    std::string mountDirFor(const std::string& name, const FlrSnapOS::RDEV& dev) const;
    void postEvent(unsigned id, int level, const std::string& arg, unsigned long long jobId) const;

    JxNamedMutex mutex_;
    int holds_ = 0;  // depth of the current holder's holds; only the holder touches it
    FlrSnapOS::LVList lvs_;
    unsigned long long jobId_;
};
