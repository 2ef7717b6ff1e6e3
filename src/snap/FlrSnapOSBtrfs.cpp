#include "FlrSnapOSBtrfs.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <sstream>
#include <thread>
#include <vector>

#include "FLR/JxException.h"
#include "platform/EvDebug.h"
#include "platform/JxFile.h"
#include "platform/JxMntTab.h"
#include "platform/JxProcess.h"

namespace {

const char* const kBtrfsSource = "FlrSnapOS_btrfs";

[[noreturn]] void btrfsFail(const char* function, const std::string& message) {
    throw JxException(function, message, kBtrfsSource, __LINE__, -1);
}

std::string snapDirOf(const std::string& mountPoint) {
    return (mountPoint == "/" ? std::string() : mountPoint) + "/" + FlrSnapOS_LV_btrfs::kSnapDir;
}

// A folder (a subvolume is one) reached without following a symbolic link:
// removing a recovery point found through a link would delete whatever the
// link names.
bool realFolder(const std::string& path) {
    struct stat st {};
    return jx::fileOps().lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A recovery point is a subvolume made here: a real folder whose inode is a
// subvolume root's. A link or a plain folder under the same name is someone
// else's: never listed, so never deleted.
bool isSubvolume(const std::string& path) {
    constexpr ino_t kSubvolumeRootInode = 256;
    struct stat st {};
    return jx::fileOps().lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) &&
           st.st_ino == kSubvolumeRootInode;
}

// The recovery points in dir, sorted; anything else there is left alone.
std::vector<std::string> recoveryPointsIn(const std::string& dir) {
    std::vector<std::string> names;
    if (!realFolder(dir) || jx::fileOps().listDir(dir.c_str(), &names) != 0) return {};
    std::vector<std::string> points;
    for (const auto& name : names) {
        if (isSubvolume(dir + "/" + name)) {
            points.push_back(name);
            continue;
        }
        EvDebug::Error("FlrSnapOS_LV_btrfs::getLVList",
                       "%s/%s is not a subvolume; leaving it out of the recovery points",
                       dir.c_str(), name.c_str());
    }
    std::sort(points.begin(), points.end());
    return points;
}

bool readOnly(const std::string& options) {
    std::istringstream in(options);
    for (std::string word; std::getline(in, word, ',');)
        if (word == "ro") return true;
    return false;
}

std::string errorText(const JxProcess::Result& r) {
    std::string text = r.error.empty() ? r.output : r.error;
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
    return text;
}

std::string btrfsTrimmed(const std::string& text) {
    const size_t b = text.find_first_not_of(" \t");
    if (b == std::string::npos) return std::string();
    return text.substr(b, text.find_last_not_of(" \t\r") - b + 1);
}

}  // namespace

std::string FlrSnapOS_LV_btrfs::subvolumeUuid(const std::string& path) {
    // The tool resolves the path through the mount table, and fails now and
    // then while another file system is mounted or unmounted: try again
    // before reporting the identity as unknown.
    JxProcess::Result r;
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (attempt) std::this_thread::sleep_for(std::chrono::milliseconds(100));
        r = JxProcess::run({"btrfs", "subvolume", "show", path});
        if (r.status == 0) break;
    }
    if (r.status != 0) {
        EvDebug::Error("FlrSnapOS_LV_btrfs::subvolumeUuid", "Cannot read the identity of %s: %s",
                       path.c_str(), errorText(r).c_str());
        return std::string();
    }
    std::istringstream in(r.output);
    for (std::string line; std::getline(in, line);) {
        const std::string t = btrfsTrimmed(line);
        if (t.compare(0, 5, "UUID:") == 0) return btrfsTrimmed(t.substr(5));
    }
    return std::string();
}

FlrSnapOS::LVList FlrSnapOS_LV_btrfs::getLVList() {
    std::list<JxMntTab::Entry> entries;
    (void)JxMntTab::getAll(entries);  // an unreadable table has no volumes
    std::vector<JxMntTab::Entry> mounts;
    for (const auto& e : entries) {
        if (e.fsType != "btrfs") continue;
        // The later mount on a point hides the earlier one.
        mounts.erase(std::remove_if(mounts.begin(), mounts.end(),
                                    [&](const auto& m) { return m.mountPoint == e.mountPoint; }),
                     mounts.end());
        if (!readOnly(e.options)) mounts.push_back(e);
    }
    FlrSnapOS::LVList result;
    for (const auto& m : mounts) {
        SP<FlrSnapOS::LV> lv(new FlrSnapOS_LV_btrfs(FlrSnapOS::RDEV(m.mountPoint), m.mountPoint,
                                                    FLR_SNAP_ENG_BTRFS, m.device));
        const std::string dir = snapDirOf(m.mountPoint);
        for (const auto& name : recoveryPointsIn(dir)) {
            const std::string path = dir + "/" + name;
            lv->snaps.push_back(SP<FlrSnapOS::Snap>(new FlrSnapOS_Snap_btrfs(
                FlrSnapOS::RDEV(path), subvolumeUuid(path), FLR_SNAP_ENG_BTRFS)));
        }
        result.push_back(lv);
    }
    return result;
}

SP<FlrSnapOS::Snap> FlrSnapOS_LV_btrfs::snap(int /*cowSizeMB*/, const std::string& snapName,
                                             std::string* mountPath) {
    static const char* const fn = "FlrSnapOS_LV_btrfs::snap";
    const std::string& origin = rdev.path;
    if (snapName.empty() || snapName.find('/') != std::string::npos || snapName == "." ||
        snapName == "..")
        btrfsFail(fn, "Invalid snapshot name [" + snapName + "]");
    EvDebug::Debug(fn, "Creating snap of %s with name %s", origin.c_str(), snapName.c_str());
    const std::string dir = snapDirOf(origin);
    // Only root reaches the recovery points; the folder is no part of the replica.
    if (jx::fileOps().mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        btrfsFail(fn, "Failed to create snapshot folder " + dir + ": " + jxErrnoText(errno));
    const std::string path = dir + "/" + snapName;
    const JxProcess::Result r =
        JxProcess::run({"btrfs", "subvolume", "snapshot", "-r", origin, path});
    if (r.status != 0)
        btrfsFail(fn, "Failed to create snapshot of " + origin + " with name " + snapName + ": " +
                          errorText(r));
    if (mountPath) *mountPath = path;
    return SP<FlrSnapOS::Snap>(
        new FlrSnapOS_Snap_btrfs(FlrSnapOS::RDEV(path), subvolumeUuid(path), FLR_SNAP_ENG_BTRFS));
}

void FlrSnapOS_Snap_btrfs::unSnap() {
    static const char* const fn = "FlrSnapOS_Snap_btrfs::unSnap";
    EvDebug::Debug(fn, "Unsnapping %s", rdev.path.c_str());
    // Checked again right before: the tool follows links.
    if (!isSubvolume(rdev.path))
        btrfsFail(fn, "Refusing to remove " + rdev.path + ": it is not a subvolume");
    const JxProcess::Result r = JxProcess::run({"btrfs", "subvolume", "delete", rdev.path});
    if (r.status != 0)
        btrfsFail(fn, "Failed to remove snapshot " + rdev.path + ": " + errorText(r));
}
