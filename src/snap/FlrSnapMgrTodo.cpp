// The snapshot manager's names, pending-removal list, mount directories and
// automounting.
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <vector>

#include "FLR/FlrSnapMgr.h"
#include "FLR/JxException.h"
#include "FlrSnapMgrHold.h"
#include "mgmt/MgmtConfig.h"
#include "mgmt/qzhsm/QZHSMCommon/QZHSMMntTab.h"
#include "platform/EvDebug.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxFile.h"

namespace {

const char* const kTodoKey = "sUnsnapTODO";

// Hex digits only, all of them, at least one.
bool parseHex(const std::string& text, unsigned long long* value) {
    if (text.empty() || text.size() > 16) return false;
    unsigned long long v = 0;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
        v = v << 4 | static_cast<unsigned long long>(
                         std::isdigit(static_cast<unsigned char>(c))
                             ? c - '0'
                             : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
    }
    *value = v;
    return true;
}

std::atomic<long> physClientId{-1};

}  // namespace

const char* FlrSnapMgr::prefixOf(SNAP_TYPE type) {
    switch (type) {
        case SNAP_TYPE_RECOVERY:
            return "jxr_";
        case SNAP_TYPE_RECOVERY2:
            return "jxc_";
        case SNAP_TYPE_PLAIN:
            break;
    }
    return "jxm_";
}

bool FlrSnapMgr::parseSnapName(const std::string& name, SNAP_TYPE* type, int64_t* time,
                               unsigned long long* host) {
    SNAP_TYPE t;
    if (name.compare(0, 4, "jxm_") == 0)
        t = SNAP_TYPE_PLAIN;
    else if (name.compare(0, 4, "jxr_") == 0)
        t = SNAP_TYPE_RECOVERY;
    else if (name.compare(0, 4, "jxc_") == 0)
        t = SNAP_TYPE_RECOVERY2;
    else
        return false;
    const std::string rest = name.substr(4);
    const size_t underscore = rest.find('_');
    unsigned long long created = 0, hostId = 0;
    if (!parseHex(rest.substr(0, underscore), &created)) return false;
    if (underscore != std::string::npos && !parseHex(rest.substr(underscore + 1), &hostId))
        return false;
    if (type) *type = t;
    if (time) *time = static_cast<int64_t>(created);
    if (host) *host = hostId;
    return true;
}

long FlrSnapMgr::getPhysClientID() {
    const long known = physClientId.load();
    if (known != -1) return known;
    const std::string name = JXPlatformInfo::getPhysicalHostName();
    if (name.empty()) JX_THROW("getPhysClientID", "Failed to retrieve the physical client name.");
    int id = -1;
    if (JXClient(name, JXClient::kShortName).getClientId(id) != 0) return -1;
    physClientId.store(id);
    return id;
}

// ---------------------------------------------------------------------------
// Mount directories

std::string FlrSnapMgr::getSnapMountDir() {
    std::string dir;
    if (JXPlatformInfo::getString("ZRP", "dSnapMountDir", dir)) return dir;
    std::string install = JXPI_Base::getOrchardDirectory();
    if (install.empty())
        // Part of the manager's interface: reported under its source name.
        throw JxException("FlrSnapMgr::getSnapMountDir",
                          "Failed to get snap mount directory name from registry.", "FlrSnapMgr",
                          __LINE__, -1);
    return install + "/SnapMount";
}

std::string FlrSnapMgr::makeSnapMountDir(const std::string& snapName) {
    // A name is one path component: anything else would mount outside the root.
    if (snapName.empty() || snapName == "." || snapName == ".." ||
        snapName.find('/') != std::string::npos)
        JX_THROW("FlrSnapMgr::makeSnapMountDir", "Invalid snapshot name \"" + snapName + "\"");
    std::string path = getSnapMountDir() + "/" + snapName;
    if (jx::makeDirs(path.c_str()) != 0 && errno != EEXIST)
        JX_THROW_ERRNO("FlrSnapMgr::makeSnapMountDir",
                       "Failed to create snap mount directory " + path, errno);
    return path;
}

std::string FlrSnapMgr::autoMountSnap(SP<FlrSnapOS::LV>& lv, SP<FlrSnapOS::Snap>& snap) {
    Hold hold(*this);
    const std::string dir = mountDirFor(snap->rdev.leaf, snap->rdev);
    lv->mount(snap, dir);
    return dir;
}

void FlrSnapMgr::autoMountAllSnaps() {
    EvDebug::Debug("FlrSnapMgr::autoMountAllSnaps", "Automounting all snapshots");
    Hold hold(*this);
    const QZHSMMntTab table;
    for (auto& e : getSnapList(nullptr)) {
        bool mounted = false;
        for (const auto& m : table) mounted = mounted || FlrSnapOS::RDEV(m.device) == e.snap->rdev;
        if (mounted) continue;
        try {
            autoMountSnap(e.lv, e.snap);
        } catch (const JxException& ex) {
            EvDebug::Error("FlrSnapMgr::autoMountAllSnaps", "%s", ex.getMessage().c_str());
        }
    }
}

// ---------------------------------------------------------------------------
// Pending removals

namespace {

// Entries are separated by blanks; a path that holds white space (a btrfs
// snapshot under a mount point with a blank) keeps it as an octal escape,
// the way the mount table does. Device paths without such bytes are stored
// unchanged.
std::string escapeTodoEntry(const std::string& entry) {
    std::string out;
    for (char c : entry) {
        if (c == '\\' || std::isspace(static_cast<unsigned char>(c)))
            out += jxFormat("\\%03o", static_cast<unsigned char>(c));
        else
            out += c;
    }
    return out;
}

std::string unescapeTodoEntry(const std::string& word) {
    std::string out;
    for (size_t i = 0; i < word.size(); ++i) {
        const auto octal = [&](size_t at) {
            return at < word.size() && word[at] >= '0' && word[at] <= '7';
        };
        if (word[i] == '\\' && octal(i + 1) && octal(i + 2) && octal(i + 3)) {
            out += static_cast<char>(((word[i + 1] - '0') << 6) | ((word[i + 2] - '0') << 3) |
                                     (word[i + 3] - '0'));
            i += 3;
        } else {
            out += word[i];
        }
    }
    return out;
}

}  // namespace

std::list<std::string> FlrSnapMgr::getUnsnapTODO() {
    std::list<std::string> devices;
    std::string value;
    if (!JXPlatformInfo::getString("ZRP", kTodoKey, value)) return devices;
    std::string word;
    for (char c : value + " ") {
        if (!std::isspace(static_cast<unsigned char>(c))) {
            word += c;
        } else if (!word.empty()) {
            devices.push_back(unescapeTodoEntry(word));
            word.clear();
        }
    }
    return devices;
}

void FlrSnapMgr::setUnsnapTODO(const std::list<std::string>& devices) {
    std::string value;
    for (const auto& d : devices) {
        if (!value.empty()) value += ' ';
        value += escapeTodoEntry(d);
    }
    JXPlatformInfo::setString("ZRP", kTodoKey, value);
}

void FlrSnapMgr::addToUnsnapTODO(const char* device) {
    std::list<std::string> devices = getUnsnapTODO();
    for (const auto& d : devices)
        if (d == device) return;
    devices.push_back(device);
    setUnsnapTODO(devices);
}

void FlrSnapMgr::delFromUnsnapTODO(const char* device) {
    std::list<std::string> devices = getUnsnapTODO();
    for (auto it = devices.begin(); it != devices.end(); ++it) {
        if (*it != device) continue;
        devices.erase(it);
        setUnsnapTODO(devices);
        return;
    }
}

void FlrSnapMgr::cleanupTODO() {
    const std::list<std::string> pending = getUnsnapTODO();
    std::vector<std::string> order(pending.begin(), pending.end());
    // The manager's names oldest first, in the places they held; other
    // entries keep theirs.
    std::vector<size_t> slots;
    std::vector<std::pair<int64_t, std::string>> named;
    for (size_t i = 0; i < order.size(); ++i) {
        int64_t t = 0;
        if (!parseSnapName(FlrSnapOS::RDEV(order[i]).leaf, nullptr, &t, nullptr)) continue;
        slots.push_back(i);
        named.emplace_back(t, order[i]);
    }
    std::stable_sort(named.begin(), named.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (size_t k = 0; k < slots.size(); ++k) order[slots[k]] = named[k].second;

    for (const auto& device : order) {
        try {
            unSnap(device.c_str(), true);
        } catch (const JxException& e) {
            EvDebug::Error("FlrSnapMgr::cleanupTODO", "%s", e.getMessage().c_str());
        }
    }
}
