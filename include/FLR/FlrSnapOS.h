#pragma once
// The engine-neutral snapshot model: device descriptors, volumes that can be
// snapshotted, their snapshots, mounting, and the enumeration of volumes
// across the volume-manager engines. Each engine derives its own LV and Snap
// classes; the snapshot manager uses only this interface.
#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <list>
#include <string>

#include "FLR/FlrExport.h"
#include "FLR/SP.h"

enum FLR_SNAP_ENG : int32_t {
    FLR_SNAP_ENG_ALL = 0,  // only as a selector in getLVList
    FLR_SNAP_ENG_VXVM = 3,
    FLR_SNAP_ENG_LINUX_LVM = 4,  // also LVM on LUKS
    FLR_SNAP_ENG_LINUX_QZBF = 5,
    FLR_SNAP_ENG_GPFS = 7,
    FLR_SNAP_ENG_BTRFS = 8,
};

class FLR_EXPORT FlrSnapOS {
  public:
    // A device path or a network path, a plain value.
    class FLR_EXPORT RDEV {
      public:
        static constexpr int32_t kLocal = 0;    // begins with "/"
        static constexpr int32_t kNetwork = 1;  // host:/path
        static constexpr int32_t kOther = 2;    // tmpfs, proc, an empty text...

        RDEV() { init(std::string()); }
        RDEV(const std::string& text) { init(text); }  // NOLINT: built from texts freely
        RDEV(const char* text) { init(text ? std::string(text) : std::string()); }  // NOLINT

        void init(const std::string& text);

        // Same type and, for local devices, the same device number; for every
        // other type the same text.
        bool operator==(const RDEV& o) const;
        bool operator!=(const RDEV& o) const { return !(*this == o); }

        bool isNull = true;
        int32_t type = kOther;
        std::string path;
        uint64_t rdev = 0;       // st_rdev of a local device node; 0 when it cannot be examined
        std::string host;        // network: before ":/"
        std::string remotePath;  // network: after ":"
        std::string volume;      // network: the component after "/vol/"
        std::string volPath;     // network: the path inside the volume (or snapshot)
        std::string leaf;        // local: after the last "/"; network: the snapshot component
    };

    class Snap;

    // A volume that can be snapshotted.
    class FLR_EXPORT LV : public SPEnabled {
      public:
        LV(const RDEV& dev, const std::string& lvName, FLR_SNAP_ENG eng)
            : rdev(dev), name(lvName), engine(eng) {}
        ~LV() override = default;

        virtual bool supportsPersistentSnaps() const = 0;
        virtual bool supportsTransientSnaps() const = 0;
        virtual int getMaxNumSnaps() const = 0;
        // Creates a snapshot named snapName. An engine whose snapshots are
        // visible without mounting stores their path in *mountPath.
        virtual SP<Snap> snap(int cowSizeMB, const std::string& snapName,
                              std::string* mountPath) = 0;
        virtual void mount(SP<Snap>& snap, const std::string& mountPoint) = 0;
        // Creates the snapshot and mounts it on *mountPath, unless the engine
        // gave a path of its own (then *mountPath becomes that path).
        virtual SP<Snap> snapAndMount(int cowSizeMB, const std::string& snapName,
                                      std::string* mountPath);

        RDEV rdev;
        std::string name;
        std::list<SP<Snap>> snaps;  // in the engine's order, new ones appended
        FLR_SNAP_ENG engine;
    };

    // Persistent snapshots: every engine of this library.
    class FLR_EXPORT LVP : public LV {
      public:
        using LV::LV;
        bool supportsPersistentSnaps() const override { return true; }
        bool supportsTransientSnaps() const override { return false; }
    };

    // Transient snapshots: the volume itself carries one snapshot at a time.
    class FLR_EXPORT LVT : public LV {
      public:
        using LV::LV;
        bool supportsPersistentSnaps() const override { return false; }
        bool supportsTransientSnaps() const override { return true; }
        virtual void removeTransientSnap() = 0;
    };

    class FLR_EXPORT Snap : public SPEnabled {
      public:
        Snap(const RDEV& dev, const std::string& snapName, FLR_SNAP_ENG eng)
            : rdev(dev), name(snapName), engine(eng) {}
        ~Snap() override = default;

        // True when the snapshot must be unmounted before it is removed.
        virtual bool isUnMountable() const { return true; }
        virtual bool isOrdered() const = 0;
        virtual bool isTransient() const = 0;
        virtual void unSnap() = 0;

        RDEV rdev;
        std::string name;
        FLR_SNAP_ENG engine;
    };

    using LVList = std::list<SP<LV>>;
    using Enumerator = std::function<LVList()>;

    // Volumes of the selected engines (0 selects all), in the fixed engine
    // order LVM, block filter, GPFS, VxVM, then any other engine by value.
    // An engine whose enumeration throws is logged and skipped.
    static LVList getLVList(const std::list<FLR_SNAP_ENG>& engines);
    static LVList getLVList(FLR_SNAP_ENG engine);
    static LVList getLVList();

    // Sets the enumeration of an engine (replacing the one it had); an empty
    // function removes it. Engines built into the library are set up on first
    // use; tests and outside engines register here.
    static void registerEngine(FLR_SNAP_ENG engine, Enumerator enumerate);
    // The enumeration an engine has now (empty when none).
    static Enumerator getEngine(FLR_SNAP_ENG engine);

    // Looks the device up in the mount table; out-arguments may be null.
    static bool getMountDetail(const RDEV& dev, std::string* mountPoint, std::string* options,
                               std::string* fsType);
    // Throws JxException on failure.
    static void mount(const RDEV& dev, const std::string& mountPoint, const std::string& options,
                      const std::string& fsType);
    // True when unmounted, false when the file system is busy; throws otherwise.
    static bool unMount(const std::string& mountPoint);
};
