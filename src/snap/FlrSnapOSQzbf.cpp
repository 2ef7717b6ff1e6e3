#include "FlrSnapOSQzbf.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>

#include "FLR/JxException.h"
#include "mgmt/EvEvent.h"
#include "mgmt/qzhsm/QZHSMCommon/QZHSMMntTab.h"
#include "platform/EvDebug.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxProcess.h"

namespace {

const char* const kQzbfSource = "FlrSnapOS_linux_qzbf";
const char* const kProcRoot = "/proc/qzbf";
const char* const kDevDir = "/dev/qzbf/";

[[noreturn]] void qzbfFail(const char* function, const std::string& message) {
    throw JxException(function, message, kQzbfSource, __LINE__, -1);
}

std::string nodeDir(int minor) {
    return std::string(kProcRoot) + "/qzbf" + std::to_string(minor);
}

static_assert(FlrQzbfDriver::kAddSnapNode == _IOWR('C', 2, QzbfAddSnapRecord),
              "request code of the add-snapshot record");

bool isQZBF(const std::string& device, int* minorOut) {
    FlrQzbfDriver& drv = FlrQzbfDriver::current();
    const int driverMajor = drv.blkMajor();
    if (driverMajor == 0) return false;
    uint64_t rdev = 0;
    if (!drv.deviceNumber(device, &rdev)) return false;
    if (static_cast<int>(major(rdev)) != driverMajor) return false;
    if (minorOut) *minorOut = static_cast<int>(minor(rdev));
    return true;
}

// A critical event, so that the server learns that a volume it expects under
// the driver is not.
void reportNotQZBFDevice(const std::string& device) {
    std::string mountPoint;
    uint64_t rdev = 0;
    FlrQzbfDriver& drv = FlrQzbfDriver::current();
    if (drv.deviceNumber(device, &rdev)) {
        try {
            QZHSMMntTab table;
            for (const auto& e : table) {
                uint64_t other = 0;
                if (!e.device.empty() && e.device[0] == '/' && drv.deviceNumber(e.device, &other) &&
                    other == rdev) {
                    mountPoint = e.mountPoint;
                    break;
                }
            }
        } catch (const JxException& e) {
            EvDebug::Error("reportNotQZBFDevice", "%s", e.getMessage().c_str());
        }
    }
    const bool mounted = !mountPoint.empty();
    EvEvent ev(
        mounted ? FlrSnapOS_LV_linux_qzbf::kEvNotQzbfMounted : FlrSnapOS_LV_linux_qzbf::kEvNotQzbf,
        EvEvent::kCritical);
    if (mounted) ev.addArg(EvEvent::kArgText, mountPoint);
    ev.addArg(EvEvent::kArgText, device);
    ev.addArg(EvEvent::kArgText, device);
    if (ev.post(0, 0x100) != 0)
        EvDebug::Error("reportNotQZBFDevice", "Failed to post event for %s", device.c_str());
}

// The driver keeps its boot-time configuration in a script the suite's
// snapshot tool writes; a failure there does not undo the snapshot change.
void saveQZBFConfig() {
    const JxProcess::Result r =
        JxProcess::run({FlrSnapOS_LV_linux_qzbf::kConfigSaveTool, "-o", "/sbin/qzbf-bootscript1.rc",
                        "-c", "create_script"});
    if (r.status != 0)
        EvDebug::Error("saveQZBFConfig", "Failed to save QZBF config: %s", r.error.c_str());
}

// Closes the control node on every path out of a snapshot operation.
class ControlNode {
  public:
    explicit ControlNode(const char* function) : drv_(FlrQzbfDriver::current()) {
        const int err = drv_.openControl();
        if (err != 0)
            qzbfFail(function, std::string("Failed to open QZBF control node ") +
                                   FlrQzbfDriver::kControlNode + ": " + jxErrnoText(err));
    }
    ~ControlNode() { drv_.closeControl(); }
    ControlNode(const ControlNode&) = delete;
    ControlNode& operator=(const ControlNode&) = delete;
    // 0, or the errno of the failed request.
    int request(unsigned long code, void* arg) { return drv_.control(code, arg); }

  private:
    FlrQzbfDriver& drv_;
};

void copyCut(char* field, size_t size, const std::string& text) {
    const size_t n = std::min(text.size(), size - 1);
    std::memcpy(field, text.data(), n);
    field[n] = '\0';
}

bool pendingIsZero(const std::string& text) {
    return text.empty() || std::strtol(text.c_str(), nullptr, 10) == 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Driver access

int FlrQzbfDriver::blkMajor() {
    if (major_ < 0) {
        const std::string text = readProcFile(std::string(kProcRoot) + "/blk_major");
        major_ = text.empty() ? 0 : static_cast<int>(std::strtol(text.c_str(), nullptr, 10));
        if (major_ < 0) major_ = 0;
    }
    return major_;
}

namespace {
FlrQzbfDriver* g_driver = nullptr;
}

FlrQzbfDriver& FlrQzbfDriver::current() {
    static FlrQzbfProcDriver real;
    return g_driver ? *g_driver : real;
}

void FlrQzbfDriver::setCurrent(FlrQzbfDriver* driver) {
    g_driver = driver;
}

FlrQzbfProcDriver::~FlrQzbfProcDriver() {
    closeControl();
}

std::string FlrQzbfProcDriver::readProcFile(const std::string& path) {
    const int fd = ::open((root_ + path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::string();
    std::string text;
    char buf[1024];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

std::vector<std::string> FlrQzbfProcDriver::listProcDir(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = ::opendir((root_ + path).c_str());
    if (!dir) return names;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

bool FlrQzbfProcDriver::deviceNumber(const std::string& path, uint64_t* rdev) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return false;
    *rdev = st.st_rdev;
    return true;
}

int FlrQzbfProcDriver::openControl() {
    closeControl();
    fd_ = ::open(kControlNode, O_RDWR | O_CLOEXEC);
    return fd_ < 0 ? errno : 0;
}

int FlrQzbfProcDriver::control(unsigned long request, void* arg) {
    if (fd_ < 0) return EBADF;
    return ::ioctl(fd_, request, arg) == 0 ? 0 : errno;
}

void FlrQzbfProcDriver::closeControl() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

// ---------------------------------------------------------------------------
// Listing

FlrSnapOS::LVList FlrSnapOS_LV_linux_qzbf::getLVList() {
    FlrQzbfDriver& drv = FlrQzbfDriver::current();
    FlrSnapOS::LVList result;
    for (const std::string& entry : drv.listProcDir(kProcRoot)) {
        const std::string dir = std::string(kProcRoot) + "/" + entry;
        if (drv.readProcFile(dir + "/dev_type") != "filter") continue;
        SP<FlrSnapOS::LV> lv(
            new FlrSnapOS_LV_linux_qzbf(FlrSnapOS::RDEV(drv.readProcFile(dir + "/dev_name")),
                                        drv.readProcFile(dir + "/uuid"), FLR_SNAP_ENG_LINUX_QZBF));
        std::istringstream snaps(drv.readProcFile(dir + "/snaps"));
        for (long minor; snaps >> minor;) {
            const std::string node = nodeDir(static_cast<int>(minor));
            if (drv.readProcFile(node + "/dev_type") != "snap") continue;
            if (!pendingIsZero(drv.readProcFile(node + "/stop_pending")) ||
                !pendingIsZero(drv.readProcFile(node + "/del_pending")))
                continue;  // on its way out
            lv->snaps.push_back(SP<FlrSnapOS::Snap>(new FlrSnapOS_Snap_linux_qzbf(
                FlrSnapOS::RDEV(drv.readProcFile(node + "/dev_name")),
                drv.readProcFile(node + "/uuid"), FLR_SNAP_ENG_LINUX_QZBF)));
        }
        result.push_back(lv);
    }
    return result;
}

// ---------------------------------------------------------------------------
// Snapshots

void FlrSnapOS_LV_linux_qzbf::fillAddRecord(QzbfAddSnapRecord& rec, int originMinor,
                                            const std::string& cacheDir,
                                            const std::string& snapName) {
    std::memset(&rec, 0, sizeof rec);
    rec.originMinor = originMinor;
    rec.snapMinor = -1;
    rec.flags = 32768;
    copyCut(rec.cowBitmapPath, sizeof rec.cowBitmapPath, cacheDir + "/" + snapName + ".cow.bmp");
    copyCut(rec.cowDataPath, sizeof rec.cowDataPath, cacheDir + "/" + snapName + ".cow.data");
    copyCut(rec.name, sizeof rec.name, snapName);
}

SP<FlrSnapOS::Snap> FlrSnapOS_LV_linux_qzbf::snap(int cowSizeMB, const std::string& snapName,
                                                  std::string* /*mountPath*/) {
    static const char* const fn = "FlrSnapOS_LV_linux_qzbf::snap";
    const std::string& device = rdev.path;
    EvDebug::Debug(fn, "Creating %dMB snap of %s with name %s", cowSizeMB, device.c_str(),
                   snapName.c_str());
    int originMinor = 0;
    if (!isQZBF(device, &originMinor)) {
        reportNotQZBFDevice(device);
        qzbfFail(fn, "Can't snap " + device + ": Not a QZBF device.");
    }
    std::string cacheDir;
    if (!JXPlatformInfo::getString("HotspotSnapshotAgent", "sSNAPPART", cacheDir) ||
        cacheDir.empty())
        qzbfFail(fn, "Failed to get COW cache directory name from registry.");

    QzbfAddSnapRecord rec;
    fillAddRecord(rec, originMinor, cacheDir, snapName);
    {
        ControlNode ctrl(fn);
        int err = ctrl.request(FlrQzbfDriver::kAddSnapNode, &rec);
        if (err != 0)
            qzbfFail(fn, "Failed to snap " + device +
                             ": ioctl(QZBF_ADD_SNAP_NODE) failed: " + jxErrnoText(err));
        rec.uuid[sizeof rec.uuid - 1] = '\0';  // the driver's text, bounded here
        EvDebug::Debug(fn, "Successfully created snap node /dev/qzbf/%s: minor=%d, uuid=%s",
                       rec.name, rec.snapMinor, rec.uuid);
        int32_t minor = rec.snapMinor;
        err = ctrl.request(FlrQzbfDriver::kStartNode, &minor);
        if (err != 0)
            qzbfFail(fn, std::string("Failed to start snap ") + kDevDir + rec.name +
                             ": ioctl(QZBF_START_NODE) failed: " + jxErrnoText(err));
    }
    saveQZBFConfig();
    EvDebug::Debug(fn, "%s has been started successfully.", rec.name);
    FlrQzbfDriver& drv = FlrQzbfDriver::current();
    const std::string node = nodeDir(rec.snapMinor);
    return SP<FlrSnapOS::Snap>(
        new FlrSnapOS_Snap_linux_qzbf(FlrSnapOS::RDEV(drv.readProcFile(node + "/dev_name")),
                                      drv.readProcFile(node + "/uuid"), FLR_SNAP_ENG_LINUX_QZBF));
}

void FlrSnapOS_Snap_linux_qzbf::unSnap() {
    static const char* const fn = "FlrSnapOS_Snap_linux_qzbf::unSnap";
    const std::string& device = rdev.path;
    int minor = 0;
    if (!isQZBF(device, &minor)) {
        reportNotQZBFDevice(device);
        qzbfFail(fn, "Can't snap " + device + ": Not a QZBF device.");
    }
    EvDebug::Debug(fn, "Unsnapping %s (minor %d)", device.c_str(), minor);
    {
        ControlNode ctrl(fn);
        int32_t arg = minor;
        int err = ctrl.request(FlrQzbfDriver::kStopNode, &arg);
        if (err != 0)
            qzbfFail(fn, "Failed to stop snap device " + device +
                             ": ioctl(QZBF_STOP_NODE) failed: " + jxErrnoText(err));
        arg = minor;
        err = ctrl.request(FlrQzbfDriver::kDelNode, &arg);
        if (err != 0)
            qzbfFail(fn, "Failed to delete snap device " + device +
                             ": ioctl(QZBF_DEL_NODE) failed: " + jxErrnoText(err));
    }
    saveQZBFConfig();
}
