#pragma once
// One entry on the main connection: its header (with the times and extended
// attributes for tails that take them), ACL, body and MIR_EOF, the body
// written by the sender of the entry's method. A regular file's later names
// in a run travel as hard links to its first. Sending thread only.
#include <sys/types.h>
#include <unistd.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "FlrBackupContext.h"
#include "FlrBackupSenders.h"
#include "platform/JxXattr.h"

class FlrBackupSender {
  public:
    FlrBackupSender(FlrBackupContext& ctx, FlrBackupProgress& progress, FlrTransferBuffer& buf,
                    FlrBackupPlanner& planner, FlrBlockServer& blocks);

    // Header, ACL, body, EOF of one entry; fd (when >= 0) is consumed. False
    // when nothing was sent: a link that is no longer one.
    bool sendEntry(FlrBackupItem& f, int fd, uint8_t method);
    // fd (when >= 0) is the entry opened: its attributes are read from it.
    void sendHeader(const FlrBackupItem& f, uint8_t method, int fd = -1);
    // An entry that can no longer be opened by id, as a stand-in.
    void sendPlaceholder(FlrBackupItem& f);
    FlrLBFSSender& lbfs() { return lbfs_; }

    // Hard links: the names seeded for the next run become its first names.
    void beginRun();
    void seedLinkName(const std::string& src, std::pair<dev_t, ino_t> key);
    bool sendIfHardLink(const FlrBackupItem& f);
    void rememberLinkName(const FlrBackupItem& f);

  private:
    void sendAttrs(const FlrBackupItem& f, int fd);
    bool gatherXattrs(const FlrBackupItem& f, int fd);
    bool readLinkTarget(const FlrBackupItem& f, std::string* target);
    bool deltaOfNothing(const FlrBackupItem& f, uint8_t method) const;

    FlrBackupContext& ctx_;
    FlrBackupProgress& progress_;
    FlrFullSender full_;
    FlrMD5Sender md5_;
    FlrRSyncSender rsync_;
    FlrLBFSSender lbfs_;
    // The attributes of the entry being sent, reused from entry to entry.
    std::vector<jx::Xattr> xattrs_;
    std::string xattrBlock_;
    // No part of the process changes its user: asked once, not per entry.
    const bool asRoot_ = ::geteuid() == 0;
    // The first destination name of each multi-link file sent this run.
    std::map<std::pair<dev_t, ino_t>, std::string> linkNames_;
    std::map<std::pair<dev_t, ino_t>, std::string> seededLinkNames_;
};
