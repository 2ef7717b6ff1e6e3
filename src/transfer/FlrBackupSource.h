#pragma once
// The source side of a transfer: the directory pairs that translate source
// paths into destination paths, and opening, reading and describing the
// entries beneath them. Pairs are added before a run; during it the planner,
// the sender and the block server use this from their threads (opening and
// reading keep no state; the skipped count is atomic).
#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "FlrBackupContext.h"

class FlrDriver;
namespace JxACL {
class Helper;
}

class FlrBackupSource {
  public:
    FlrBackupSource(FlrDriver* driver, const FlrBackupSettings& settings,
                    FlrBackupCounters& counters);
    ~FlrBackupSource();
    FlrBackupSource(const FlrBackupSource&) = delete;
    FlrBackupSource& operator=(const FlrBackupSource&) = delete;

    FlrDriver* driver() const { return driver_; }

    // Trailing slashes go; a source already paired is kept as it was.
    void addPair(const char* src, const char* dst);
    void clearPairs() { pairs_.clear(); }
    const std::vector<FlrBackupDirPair>& pairs() const { return pairs_; }
    static std::string translate(const char* path, const FlrBackupDirPair& pair);
    // Translates with the longest matching pair (null when none matched).
    std::string translate(const char* path, const FlrBackupDirPair** matched) const;

    // A read-only descriptor of a regular file, or -1 for a vanished entry
    // when skipVanished is on, or an entry no longer a regular file.
    int openFile(const char* path, const fsf_fid& fid, struct stat* st) const;
    // Reads until len bytes or end of file; throws on errors.
    static int readAll(int fd, void* buf, int len);
    // lstat (or stat by id) with the vanished rule; false to skip.
    bool statEntry(FlrBackupItem& f) const;

    // ACLs are read unless the registry turned them off or the system has none.
    void enableACLs();
    bool hasACLHelper() const { return aclHelper_ != nullptr; }
    // From fd when the file is open already (no second open by path).
    void gatherACL(FlrBackupItem& f, int fd = -1) const;

  private:
    int openBeneathSource(const char* path, struct stat* st) const;

    FlrDriver* driver_;
    const FlrBackupSettings& settings_;
    FlrBackupCounters& counters_;
    std::vector<FlrBackupDirPair> pairs_;
    std::unique_ptr<JxACL::Helper> aclHelper_;
};
