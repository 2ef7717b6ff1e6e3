#include <cctype>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "FLR/JxException.h"
#include "FlrSnapOSLinux.h"
#include "platform/EvDebug.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxProcess.h"

namespace {

const char* const kLvmSource = "FlrSnapOS_linux_lvm";
const char* const kAgentSection = "FileSystemAgent";

[[noreturn]] void lvmFail(const char* function, const std::string& message) {
    throw JxException(function, message, kLvmSource, __LINE__, -1);
}

std::vector<std::string> lvmSplitWords(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

std::string firstWordAfter(const std::string& text, size_t at) {
    const auto words = lvmSplitWords(text.substr(at, text.find('\n', at) - at));
    return words.empty() ? std::string() : words.front();
}

std::string withoutWhiteSpace(const std::string& text) {
    std::string out;
    for (char c : text)
        if (!std::isspace(static_cast<unsigned char>(c))) out += c;
    return out;
}

// One "--- Logical volume ---" block of the report.
struct LvBlock {
    std::string path;
    std::string name;
    std::string origin;  // empty unless the block is a snapshot
};

// The origin a snapshot block names: a path as is, a bare name in the
// snapshot's own volume group directory.
std::string originPath(const std::string& snapPath, const std::string& origin) {
    if (origin.empty() || origin[0] == '/') return origin;
    return FlrSnapOS_LV_linux_lvm::snapDevicePath(snapPath, origin);
}

LvBlock parseBlock(const std::string& block, size_t keyLen) {
    LvBlock b;
    b.path = firstWordAfter(block, keyLen);
    const size_t uuid = block.find("LV UUID");
    b.name = uuid == std::string::npos ? std::string() : firstWordAfter(block, uuid + 7);
    if (b.name.empty()) b.name = b.path;
    const size_t status = block.find("LV snapshot status");
    if (status != std::string::npos) {
        const size_t from = status + 18;
        const std::string line = block.substr(from, block.find('\n', from) - from);
        const auto words = lvmSplitWords(line);
        if (line.find("destination") != std::string::npos && !words.empty())
            b.origin = originPath(b.path, words.back());
    }
    const size_t thin = block.find("LV Thin origin name");
    if (thin != std::string::npos) b.origin = originPath(b.path, firstWordAfter(block, thin + 19));
    return b;
}

bool parsePositive(const std::string& text, unsigned long long& value) {
    if (text.empty()) return false;
    for (char c : text)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtoull(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && value > 0;
}

bool readOnlySnapsWanted() {
    std::string value = "N";
    JXPlatformInfo::getString(kAgentSection, "sUseReadOnlyLVMSnap", value);
    return !value.empty() && (value[0] == 'Y' || value[0] == 'y');
}

}  // namespace

// ---------------------------------------------------------------------------
// Mount, shared by the Linux engines

std::string FlrSnapOS_LV_linux::snapMountOptions(const std::string& originOptions,
                                                 const std::string& fsType) {
    std::string options = "ro";
    if (fsType == "xfs") options += ",nouuid,norecovery";
    bool acl = false, userXattr = false;
    std::istringstream in(originOptions);
    for (std::string word; std::getline(in, word, ',');) {
        acl = acl || word == "acl";
        userXattr = userXattr || word == "user_xattr";
    }
    if (acl) options += ",acl";
    if (userXattr) options += ",user_xattr";
    return options;
}

void FlrSnapOS_LV_linux::mount(SP<FlrSnapOS::Snap>& snap, const std::string& mountPoint) {
    std::string originOptions, fsType;
    FlrSnapOS::getMountDetail(rdev, nullptr, &originOptions, &fsType);
    FlrSnapOS::mount(snap->rdev, mountPoint, snapMountOptions(originOptions, fsType), fsType);
}

// ---------------------------------------------------------------------------
// Listing

std::string FlrSnapOS_LV_linux_lvm::snapDevicePath(const std::string& originPath,
                                                   const std::string& snapName) {
    const size_t slash = originPath.rfind('/');
    return (slash == std::string::npos ? std::string() : originPath.substr(0, slash + 1)) +
           snapName;
}

FlrSnapOS::LVList FlrSnapOS_LV_linux_lvm::parseVgdisplay(const std::string& report) {
    std::string key = "LV Path";
    if (report.find(key) == std::string::npos) key = "LV Name";  // older tools
    FlrSnapOS::LVList volumes;
    if (report.find(key) == std::string::npos) return volumes;

    std::vector<LvBlock> blocks;
    for (size_t at = report.find(key); at != std::string::npos;) {
        const size_t next = report.find(key, at + key.size());
        LvBlock b = parseBlock(report.substr(at, next - at), key.size());
        if (!b.path.empty() && b.path[0] == '/') blocks.push_back(std::move(b));
        at = next;
    }
    for (const auto& b : blocks)
        if (b.origin.empty())
            volumes.push_back(new FlrSnapOS_LV_linux_lvm(b.path, b.name, FLR_SNAP_ENG_LINUX_LVM));
    // Snapshots after the volumes, so one listed before its origin still finds it.
    for (const auto& b : blocks) {
        if (b.origin.empty()) continue;
        const FlrSnapOS::RDEV origin(b.origin);
        for (auto& lv : volumes) {
            if (lv->rdev != origin) continue;
            lv->snaps.push_back(
                new FlrSnapOS_Snap_linux_lvm(b.path, b.name, FLR_SNAP_ENG_LINUX_LVM));
            break;
        }
    }
    return volumes;
}

FlrSnapOS::LVList FlrSnapOS_LV_linux_lvm::getLVList() {
    const JxProcess::Result r = JxProcess::run({"vgdisplay", "-v"});
    if (r.status != 0)
        lvmFail("FlrSnapOS_LV_linux_lvm::getLVList",
                "Failed to get the list of logical volumes: " + r.error);
    FlrSnapOS::LVList volumes = parseVgdisplay(r.output);
    FlrSnapOS_LV_linux_lvm_LUKS::getLVList(volumes);
    return volumes;
}

// ---------------------------------------------------------------------------
// Snapshots

int FlrSnapOS_LV_linux_lvm::cowSizeMB(const std::string& device, int requestedMB,
                                      const std::string& lvdisplayLine, unsigned percentage) {
    const char* fn = "FlrSnapOS_LV_linux_lvm::snap";
    std::string line = lvdisplayLine.substr(0, lvdisplayLine.find('\n'));
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string f; std::getline(in, f, ':');) fields.push_back(f);
    unsigned long long sectors = 0;
    if (fields.size() < 7 || !parsePositive(withoutWhiteSpace(fields[6]), sectors))
        return requestedMB;
    const unsigned long long bytes = sectors * 512;
    const unsigned long long sizeMB = (sectors + 2047) / 2048;

    int size = requestedMB;
    bool limited = false;
    if (sizeMB < static_cast<unsigned long long>(requestedMB)) {
        size = static_cast<int>(sizeMB);
        limited = true;
        EvDebug::Debug(fn, "Since %s is only %ldKB in size, limiting COW space to %dMB",
                       device.c_str(), static_cast<long>(sectors / 2), size);
    }
    if (percentage != 0) {
        const unsigned long long mb = bytes * percentage / 100 / 1048576;
        size = static_cast<int>(mb);
        EvDebug::Debug(fn, "Setting COW space to %lluMB, lvSize=%lluB percentage=%u", mb, bytes,
                       percentage);
    } else if (!limited) {
        const unsigned long long defaultMB = bytes * kDefaultCowPercent / 100 / 1048576;
        const unsigned long long capped = std::min<unsigned long long>(
            defaultMB, static_cast<unsigned long long>(kMaxDefaultCowMB));
        size = std::max(requestedMB, static_cast<int>(capped));
        EvDebug::Debug(fn,
                       "we'll use max(%dMB(cow_size_mb), min(%lluMB(default percentage of LV "
                       "size), %dMB(default cow_cache size)) as cow_size",
                       requestedMB, defaultMB, kMaxDefaultCowMB);
        EvDebug::Debug(fn, "cow size to use=%dMB", size);
    }
    return size;
}

SP<FlrSnapOS::Snap> FlrSnapOS_LV_linux_lvm::snap(int cowSizeMB, const std::string& snapName,
                                                 std::string* /*mountPath*/) {
    const char* fn = "FlrSnapOS_LV_linux_lvm::snap";
    const std::string& device = rdev.path;
    EvDebug::Debug(fn, "Creating %dMB snap of %s with name %s", cowSizeMB, device.c_str(),
                   snapName.c_str());
    if (device.find('/') == std::string::npos)
        lvmFail(fn, "Can't snap " + device + ": Invalid device name.");

    bool thin = false;
    const JxProcess::Result attr = JxProcess::run({"lvs", "-o", "lv_attr", "--noheadings", device});
    const std::string attrText = withoutWhiteSpace(attr.output);
    if (attr.status == 0 && !attrText.empty()) {
        EvDebug::Debug(fn, "the lv attribute is [%s]", attrText.c_str());
        thin = attrText.size() >= 7 && attrText[6] == 't';
        if (thin) EvDebug::Debug(fn, "Thin lv detcted, using thin snapshots.");
    }

    int size = cowSizeMB;
    if (!thin) {
        const JxProcess::Result lvd = JxProcess::run({"lvdisplay", "-c", device});
        if (lvd.status == 0 && !lvd.output.empty()) {
            int percentage = 0;
            JXPlatformInfo::getNumber(kAgentSection, "nLVMSnapSourcePercentage", percentage);
            size = FlrSnapOS_LV_linux_lvm::cowSizeMB(
                device, cowSizeMB, lvd.output, static_cast<unsigned>(std::max(percentage, 0)));
        }
    }

    std::vector<std::string> argv = {"lvcreate", "--snapshot"};
    if (!thin) argv.insert(argv.end(), {"--size", std::to_string(size) + "M"});
    argv.insert(argv.end(), {"--name", snapName});
    if (readOnlySnapsWanted()) {
        EvDebug::Debug(fn, "Registry key %s=[Y]. Creating LVM Snap with Read only permission.",
                       "sUseReadOnlyLVMSnap");
        argv.insert(argv.end(), {"--permission", "r"});
    }
    argv.push_back(device);
    const JxProcess::Result created = JxProcess::run(argv);
    if (created.status != 0)
        lvmFail(fn, "Failed to create snapshot of device " + device + " with name " + snapName +
                        (thin ? std::string() : " and size " + std::to_string(size) + "MB") + ": " +
                        created.error);

    const std::string snapPath = snapDevicePath(device, snapName);
    if (thin) {
        EvDebug::Debug(fn, "activating thin snapshots.");
        const JxProcess::Result act = JxProcess::run({"lvchange", "-ay", "-K", snapPath});
        if (act.status != 0)
            lvmFail(fn, "Failed to activate snapshot of device " + device + " with name " +
                            snapName + ": " + act.error);
    }

    for (auto& lv : getLVList()) {
        if (lv->rdev != rdev) continue;
        for (auto& s : lv->snaps)
            if (s->rdev.path == snapPath) return s;
    }
    lvmFail(fn, "Can't find newly created snapshot " + snapName + " in the vgdisplay output.");
}

void FlrSnapOS_Snap_linux_lvm::unSnap() {
    EvDebug::Debug("FlrSnapOS_Snap_linux_lvm::unSnap", "Unsnapping %s", rdev.path.c_str());
    const JxProcess::Result r = JxProcess::run({"lvremove", "-f", rdev.path});
    if (r.status != 0)
        lvmFail("FlrSnapOS_Snap_linux_lvm::unSnap",
                "Failed to unsnap volume " + rdev.path + ": " + r.error);
}
