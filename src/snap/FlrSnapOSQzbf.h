#pragma once
// Snapshots of block devices under the suite's block-filter kernel driver.
// The driver shows every filtered device and snapshot as a numbered node in
// its /proc tree and takes node changes as ioctls on its control node; both
// are reached through FlrQzbfDriver, so a test can point the /proc side at a
// fake tree (a root prefix) and put a double in place of the ioctls.
#include <cstdint>
#include <string>
#include <vector>

#include "FlrSnapOSLinux.h"

// The add-snapshot record of the driver's ioctl: 2228 bytes, native order.
struct QzbfAddSnapRecord {
    int32_t originMinor;  // in: the origin's filter node
    int32_t snapMinor;    // in: -1; out: the new node
    int32_t flags;        // in: 32768
    char cowBitmapPath[1024];
    char cowDataPath[1024];
    char uuid[39];  // out
    char name[128];
    char padding[1];
};
static_assert(sizeof(QzbfAddSnapRecord) == 2228, "the driver's record layout");

class FlrQzbfDriver {
  public:
    static constexpr unsigned long kAddSnapNode = 0xc8b44302;
    static constexpr unsigned long kDelNode = 0x80044303;
    static constexpr unsigned long kStartNode = 0x80044304;
    static constexpr unsigned long kStopNode = 0x80044305;
    static constexpr const char* kControlNode = "/dev/qzbf/ctrl";

    virtual ~FlrQzbfDriver() = default;
    // A file of the /proc tree ("/proc/qzbf/..."), read whole in 1024-byte
    // pieces, trailing newlines stripped; empty when unreadable.
    virtual std::string readProcFile(const std::string& path) = 0;
    // Entry names of a /proc directory; empty when it cannot be listed.
    virtual std::vector<std::string> listProcDir(const std::string& path) = 0;
    // The device number of a device node; false when it cannot be examined.
    virtual bool deviceNumber(const std::string& path, uint64_t* rdev) = 0;
    // The control node: 0, or an errno value.
    virtual int openControl() = 0;
    virtual int control(unsigned long request, void* arg) = 0;
    virtual void closeControl() = 0;

    // The driver's block major, read once per driver object; 0 when the
    // driver is not loaded.
    int blkMajor();

    // The driver the engine uses; null restores the real one.
    static FlrQzbfDriver& current();
    static void setCurrent(FlrQzbfDriver* driver);

  private:
    int major_ = -1;
};

// The real driver: /proc files under a root prefix (empty on a host), the
// control node through open and ioctl.
class FlrQzbfProcDriver : public FlrQzbfDriver {
  public:
    explicit FlrQzbfProcDriver(std::string root = std::string()) : root_(std::move(root)) {}
    ~FlrQzbfProcDriver() override;
    std::string readProcFile(const std::string& path) override;
    std::vector<std::string> listProcDir(const std::string& path) override;
    bool deviceNumber(const std::string& path, uint64_t* rdev) override;
    int openControl() override;
    int control(unsigned long request, void* arg) override;
    void closeControl() override;

  private:
    std::string root_;
    int fd_ = -1;
};

class FlrSnapOS_LV_linux_qzbf : public FlrSnapOS_LV_linux {
  public:
    static constexpr int kMaxSnaps = 256;
    static constexpr const char* kConfigSaveTool = "jxsnap";
    static constexpr unsigned kEvNotQzbfMounted = 0x4c000090;
    static constexpr unsigned kEvNotQzbf = 0x4c00008f;

    using FlrSnapOS_LV_linux::FlrSnapOS_LV_linux;
    int getMaxNumSnaps() const override { return kMaxSnaps; }
    // cowSizeMB is not used (the driver sizes its cache files); never fills mountPath.
    SP<FlrSnapOS::Snap> snap(int cowSizeMB, const std::string& snapName,
                             std::string* mountPath) override;

    static FlrSnapOS::LVList getLVList();
    // Fills the add-snapshot record; overlong paths and names are cut to fit.
    static void fillAddRecord(QzbfAddSnapRecord& rec, int originMinor, const std::string& cacheDir,
                              const std::string& snapName);
};

class FlrSnapOS_Snap_linux_qzbf : public FlrSnapOS_Snap_linux {
  public:
    using FlrSnapOS_Snap_linux::FlrSnapOS_Snap_linux;
    bool isOrdered() const override { return false; }
    bool isTransient() const override { return false; }
    void unSnap() override;
};
