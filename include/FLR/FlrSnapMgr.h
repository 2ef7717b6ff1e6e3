#pragma once
// Snapshot manager. For now: where recovery snapshots are mounted.
#include <string>

#include "FLR/platform/FlrExport.h"

class FLR_EXPORT FlrSnapMgr {
  public:
    // [ZRP] dSnapMountDir as read, else the install directory + "/SnapMount".
    static std::string getSnapMountDir();
    // getSnapMountDir() + "/" + snapName, created with its parents.
    static std::string makeSnapMountDir(const std::string& snapName);
};
