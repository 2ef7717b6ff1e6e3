#pragma once
// The host's mounted file systems, from /proc/self/mounts (or the file named
// by setMountTableFile, for tests).
#include <list>
#include <string>

#include "CQiError.h"

class JxMntTab {
  public:
    struct Entry {
        std::string device;
        std::string mountPoint;
        std::string fsType;
        std::string options;
    };

    // Every entry in table order; an error value when the table cannot be read.
    static CQiError getAll(std::list<Entry>& entries);
    // The entry of the file system that holds path: the longest mount point
    // that is path itself or a whole-component prefix of it; a later entry
    // wins a tie (it is mounted over the earlier one). Null when none.
    static const Entry* find(const std::list<Entry>& entries, const char* path);

    static void setMountTableFile(const std::string& path);  // empty: /proc/self/mounts
    static std::string getMountTableFile();
};

// The platform's raw mount-table reader used by the HSM mount table: an array
// of records that the caller frees with jxFreeMntTab. Null on failure with the
// reason in errBuf.
struct JxMntRecord {
    char* device;
    char* mountPoint;
    bool readOnly;
    char* options;
    char* fsType;
};
struct JxMntRecords {
    JxMntRecord* records;
    int count;
};
JxMntRecords* jxReadMntTab(char* errBuf, int errBufLen);
void jxFreeMntTab(JxMntRecords* table);
