#include <algorithm>
#include <mutex>
#include <sstream>
#include <vector>

#include "FLR/JxException.h"
#include "FlrSnapOSLinux.h"
#include "mgmt/JXPassword.h"
#include "platform/EvDebug.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxFile.h"
#include "platform/JxProcess.h"

namespace {

const char* const kLuksSource = "FlrSnapOS_linux_lvm_LUKS";
const std::string kMapperDir = "/dev/mapper/";

[[noreturn]] void luksFail(const char* function, const std::string& message) {
    throw JxException(function, message, kLuksSource, __LINE__, -1);
}

std::mutex crypttabMutex;
std::string crypttabFile;  // empty: /etc/crypttab

std::string crypttabPath() {
    std::lock_guard<std::mutex> g(crypttabMutex);
    return crypttabFile.empty() ? "/etc/crypttab" : crypttabFile;
}

std::vector<std::string> luksSplitWords(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

std::string luksTrimmed(const std::string& text) {
    const auto words = luksSplitWords(text);
    return words.empty() ? std::string() : words.front();
}

// "name: 0 2097152 crypt ..." per mapping.
std::vector<std::string> cryptMappings(const std::string& table) {
    std::vector<std::string> names;
    std::istringstream in(table);
    for (std::string line; std::getline(in, line);) {
        const size_t colon = line.find(':');
        if (colon != std::string::npos && colon > 0) names.push_back(line.substr(0, colon));
    }
    return names;
}

// The second word of the first "device:" line of "cryptsetup status".
std::string underlyingDevice(const std::string& mapping) {
    const JxProcess::Result r = JxProcess::run({"cryptsetup", "status", mapping});
    std::istringstream in(r.output);
    for (std::string line; std::getline(in, line);) {
        if (line.find("device:") == std::string::npos) continue;
        const auto words = luksSplitWords(line);
        return words.size() >= 2 ? words[1] : std::string();
    }
    return std::string();
}

// The third field of the crypttab line of the mapping; empty when none.
std::string crypttabKeyFile(const std::string& mapping) {
    std::string text;
    try {
        if (!jx::readFileIfExists(crypttabPath(), &text, "crypttab")) return std::string();
    } catch (const JxException& e) {
        EvDebug::Error("GetLuksKey", "%s", e.getMessage().c_str());
        return std::string();
    }
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        const auto words = luksSplitWords(line);
        if (!words.empty() && words[0] == mapping) return words.size() >= 3 ? words[2] : "";
    }
    return std::string();
}

bool storedPassphrase(const std::string& key, std::string& stored) {
    return JXPlatformInfo::getString(JXPassword::kSection, key, stored) != 0;
}

}  // namespace

void FlrSnapOS_LV_linux_lvm_LUKS::setCrypttabFile(const std::string& path) {
    std::lock_guard<std::mutex> g(crypttabMutex);
    crypttabFile = path;
}

std::string FlrSnapOS_LV_linux_lvm_LUKS::Getuuid(const std::string& device) {
    const JxProcess::Result r =
        JxProcess::run({"dmsetup", "info", device, "-c", "-o", "uuid", "--noheadings"});
    if (r.status != 0) {
        EvDebug::Debug("FlrSnapOS_LV_linux_lvm_LUKS::Getuuid", "Failed to get uuid for %s",
                       device.c_str());
        return std::string();
    }
    return luksTrimmed(r.output);
}

int FlrSnapOS_LV_linux_lvm_LUKS::getLVList(FlrSnapOS::LVList& result) {
    const char* fn = "FlrSnapOS_LV_linux_lvm_LUKS::getLVList";
    const JxProcess::Result r = JxProcess::run({"dmsetup", "table", "--target", "crypt"});
    if (r.status != 0) {
        EvDebug::Error(fn, "Failed to get LUKS devices. err %s", r.error.c_str());
        return 0;
    }
    struct Mapping {
        std::string name, parent;
    };
    std::vector<Mapping> mappings;
    for (const auto& name : cryptMappings(r.output)) {
        Mapping m{name, underlyingDevice(name)};
        EvDebug::Debug(fn, "Found parent %s for %s", m.parent.c_str(), name.c_str());
        if (!m.parent.empty()) mappings.push_back(m);
    }

    std::vector<SP<FlrSnapOS_LV_linux_lvm_LUKS>> added;
    for (const auto& m : mappings) {
        const FlrSnapOS::RDEV parent(m.parent);
        for (auto& lv : result) {
            if (!lv.cast<FlrSnapOS_LV_linux_lvm>() || lv->rdev != parent) continue;
            const std::string dev = kMapperDir + m.name;
            added.push_back(
                new FlrSnapOS_LV_linux_lvm_LUKS(dev, Getuuid(dev), FLR_SNAP_ENG_LINUX_LVM, lv));
            break;
        }
    }
    // Mappings of LVM snapshots, after the volumes so that the order of the
    // table does not matter.
    std::vector<SP<FlrSnapOS::Snap>> claimed;
    for (const auto& m : mappings) {
        const FlrSnapOS::RDEV parent(m.parent);
        for (auto& luks : added) {
            for (auto& parentSnap : luks->parentLV->snaps) {
                if (parentSnap->rdev != parent) continue;
                const std::string dev = kMapperDir + m.name;
                EvDebug::Debug(fn, "Adding snap %s to %s", dev.c_str(), luks->rdev.path.c_str());
                luks->snaps.push_back(new FlrSnapOS_Snap_linux_lvm_LUKS(
                    dev, Getuuid(dev), FLR_SNAP_ENG_LINUX_LVM, parentSnap));
                claimed.push_back(parentSnap);
            }
        }
    }
    // An LVM snapshot under a mapping belongs to the mapping's snapshot (it
    // goes with it); listed on its own it would look like a snapshot without
    // its recovery record and be removed under the open mapping.
    for (auto& luks : added)
        luks->parentLV->snaps.remove_if([&](const SP<FlrSnapOS::Snap>& s) {
            return std::find(claimed.begin(), claimed.end(), s) != claimed.end();
        });
    result.insert(result.end(), added.begin(), added.end());
    return static_cast<int>(added.size());
}

int FlrSnapOS_LV_linux_lvm_LUKS::GetLuksKey(const std::string& device, eLUKS_KeyType& type,
                                            std::string& passphrase, std::string& keyFile,
                                            std::string* reason) {
    const char* fn = "FlrSnapOS_LV_linux_lvm_LUKS::GetLuksKey";
    const std::string name = device.compare(0, kMapperDir.size(), kMapperDir) == 0
                                 ? device.substr(kMapperDir.size())
                                 : device;
    auto failWith = [&](const std::string& why) {
        if (reason) *reason = why;
        return -1;
    };
    std::string stored;
    const char* found = nullptr;
    if (storedPassphrase("Lukspassphrase_" + name, stored))
        found = "Luks passphrase provided for device %s";
    else if (storedPassphrase("Lukspassphrase", stored))
        found = "Luks passphrase provided for all devices";
    if (found) {
        if (JXPassword::decrypt(stored, passphrase) != 0)
            return failWith("Failed to decrypt passphrase/keyfile for " + name);
        EvDebug::Debug(fn, found, name.c_str());
        type = LUKS_KEY_PASSPHRASE;
        return 0;
    }
    const std::string file = crypttabKeyFile(name);
    if (file.empty()) return failWith("Keyfile not found for " + name + " in /etc/crypttab.");
    if (file == "none")
        return failWith("Keyfile is set to 'none' for " + name + " in /etc/crypttab.");
    keyFile = file;
    type = LUKS_KEY_KEYFILE;
    return 0;
}

SP<FlrSnapOS::Snap> FlrSnapOS_LV_linux_lvm_LUKS::snap(int cowSizeMB, const std::string& snapName,
                                                      std::string* mountPath) {
    const char* fn = "FlrSnapOS_LV_linux_lvm_LUKS::snap";
    const std::string& device = rdev.path;
    eLUKS_KeyType type = LUKS_KEY_KEYFILE;
    std::string passphrase, keyFile, reason;
    if (GetLuksKey(device, type, passphrase, keyFile, &reason) != 0)
        luksFail(fn, "Failed to snap " + device + " : " + reason);

    SP<FlrSnapOS::Snap> parentSnap =
        parentLV ? parentLV->snap(cowSizeMB, snapName, mountPath) : SP<FlrSnapOS::Snap>();
    if (!parentSnap) luksFail(fn, "Failed to snap parent lv of " + device);

    // The passphrase goes to cryptsetup on its standard input, never as an
    // argument: arguments are readable by every user through /proc.
    std::vector<std::string> argv = {"cryptsetup", "luksOpen", parentSnap->rdev.path, snapName};
    std::string shown = "cryptsetup luksOpen " + parentSnap->rdev.path + " " + snapName;
    if (type == LUKS_KEY_KEYFILE) {
        argv.insert(argv.end(), {"-d", keyFile});
        shown += " -d " + keyFile;
    } else {
        argv.push_back("--key-file=-");
        shown += " --key-file=- < *****";
    }
    EvDebug::Debug(fn, "Creating luks snap %s", snapName.c_str());
    EvDebug::Debug(fn, "Command [%s]", shown.c_str());
    const JxProcess::Result r = JxProcess::run(argv, passphrase);
    std::fill(passphrase.begin(), passphrase.end(), '\0');
    if (r.status != 0) {
        // Leave no unopened LVM snapshot behind.
        try {
            parentSnap->unSnap();
        } catch (const JxException& e) {
            EvDebug::Error(fn, "%s", e.getMessage().c_str());
        }
        luksFail(fn, "Failed to snap " + device + ": " + r.error);
    }
    const std::string dev = kMapperDir + snapName;
    return new FlrSnapOS_Snap_linux_lvm_LUKS(dev, Getuuid(dev), FLR_SNAP_ENG_LINUX_LVM, parentSnap);
}

void FlrSnapOS_Snap_linux_lvm_LUKS::unSnap() {
    const char* fn = "FlrSnapOS_Snap_linux_lvm_LUKS::unSnap";
    EvDebug::Debug(fn, "Unsnapping %s", rdev.path.c_str());
    const JxProcess::Result r = JxProcess::run({"cryptsetup", "remove", rdev.path});
    if (r.status != 0) luksFail(fn, "Failed to unsnap volume " + rdev.path + ": " + r.error);
    if (parentSnap) parentSnap->unSnap();
}
