#pragma once
// GPFS administration for the snapshot engine: devices, file sets and
// snapshots through the mm* commands, each run with an argument vector and
// read in their colon-separated machine-readable form (-Y), whose fields
// are percent-encoded. Every call answers with a CQiError (negative code:
// failure, the tool's error text in the message).
#include <list>
#include <map>
#include <string>
#include <vector>

#include "platform/CQiError.h"

class Gpfs {
  public:
    struct FileSetInfo {
        std::string name;
        std::string id;
        std::string status;  // "Linked", "Unlinked"
        std::string path;    // the junction; "--" when unlinked
    };

    // The file set whose snapshots are the file system's global ones.
    static constexpr const char* kRootFileSet = "root";

    // `mounted`: only devices mounted on this host.
    static CQiError GetGpfsDevices(std::list<std::string>& devices, bool mounted);
    // `linkedOnly`: skip unlinked file sets.
    static CQiError GetFileSets(const std::string& device, std::list<FileSetInfo>& fileSets,
                                bool linkedOnly);
    // Snapshot names per file set; global snapshots are listed under "root".
    static CQiError GetSnapshots(const std::string& device,
                                 std::map<std::string, std::list<std::string>>& snapshots);
    static CQiError CreateSnapshot(const std::string& device, const std::string& fileSet,
                                   const std::string& snapName);
    // Where the snapshot is visible: <junction>/.snapshots/<name> for a file
    // set snapshot, <mount point>/.snapshots/<name> for a global one.
    static CQiError GetSnapMountPath(const std::string& device, const std::string& fileSet,
                                     const std::string& snapName, std::string& path);
    static CQiError DeleteSnapshot(const std::string& device, const std::string& fileSet,
                                   const std::string& snapName);

    // The rows of one -Y report, each a map from heading to decoded field.
    static std::vector<std::map<std::string, std::string>> parseY(const std::string& report);
};
