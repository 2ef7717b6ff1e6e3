#include "FLR/FlrSnapMgr.h"

#include <cerrno>

#include "FLR/FlrHelper.h"
#include "FLR/platform/JXPlatformInfo.h"
#include "FLR/platform/JxException.h"

std::string FlrSnapMgr::getSnapMountDir() {
    std::string dir;
    if (JXPlatformInfo::getString("ZRP", "dSnapMountDir", dir)) return dir;
    std::string install = JXPI_Base::getOrchardDirectory();
    if (install.empty())
        JX_THROW("FlrSnapMgr::getSnapMountDir",
                 "Failed to get snap mount directory name from registry.");
    return install + "/SnapMount";
}

std::string FlrSnapMgr::makeSnapMountDir(const std::string& snapName) {
    // A name is one path component: anything else would mount outside the root.
    if (snapName.empty() || snapName == "." || snapName == ".." ||
        snapName.find('/') != std::string::npos)
        JX_THROW("FlrSnapMgr::makeSnapMountDir", "Invalid snapshot name \"" + snapName + "\"");
    std::string path = getSnapMountDir() + "/" + snapName;
    if (FlrHelper::mkdir1(path.c_str()) != 0 && errno != EEXIST)
        JX_THROW_ERRNO("FlrSnapMgr::makeSnapMountDir",
                       "Failed to create snap mount directory " + path, errno);
    return path;
}
