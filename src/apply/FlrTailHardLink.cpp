#include "FlrTailHardLink.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "FLR/JxException.h"
#include "FlrTailApplyEntry.h"
#include "FlrTailDirChange.h"
#include "FlrTailIndexer.h"
#include "FlrTailLBFS.h"
#include "FlrTailStore.h"
#include "platform/EvDebug.h"
#include "platform/JxDirFd.h"
#include "platform/JxFile.h"

namespace {

const char* const kHardLinkFn = "FlrTailHardLink";

[[noreturn]] void throwErrno(const std::string& what, int err) {
    JX_THROW_CODE(kHardLinkFn, what + ": " + jxErrnoText(err), err);
}

}  // namespace

void FlrTailHardLink::data(const void* data, size_t len) {
    if (received_.size() + len > kMaxTarget)
        JX_THROW(kHardLinkFn, "Link path too long for " + rel_);
    received_.append(static_cast<const char*>(data), len);
}

std::string FlrTailHardLink::target() const {
    if (rel_.empty() || received_.empty() || received_.find('\0') != std::string::npos)
        JX_THROW(kHardLinkFn, "Invalid link path for " + rel_);
    std::string rel;
    std::string why;
    if (!root_.relative(received_, &rel, &why))
        JX_THROW_CODE(kHardLinkFn, "Refused the link " + rel_ + " to " + received_ + ": " + why,
                      EXDEV);
    if (rel.empty() || rel == rel_)
        JX_THROW(kHardLinkFn,
                 "The link " + rel_ + " names " + (rel.empty() ? "the root" : "itself"));
    return rel;
}

void FlrTailHardLink::place(const std::string& target, bool durable) const {
    std::string fromLeaf;
    jx::File from = root_.openParent(target, false, &fromLeaf);
    if (!from) throwErrno("Couldn't open the folder of " + target, errno);
    struct stat linked {};
    if (jx::statAt(from.get(), fromLeaf, &linked) != 0 || !S_ISREG(linked.st_mode))
        JX_THROW(kHardLinkFn,
                 "Couldn't link " + rel_ + " to " + target + ": not a regular file there");
    std::string leaf;
    jx::File parent = root_.openParent(rel_, true, &leaf);
    if (!parent) throwErrno("Couldn't open the folder of " + rel_, errno);
    struct stat there {};
    if (jx::statAt(parent.get(), leaf, &there) == 0 && there.st_dev == linked.st_dev &&
        there.st_ino == linked.st_ino)
        return;  // linked already (a rename between two names of one file does nothing)
    const std::string temp = FlrTailRoot::temporaryName(leaf);
    if (jx::linkBetween(from.get(), fromLeaf, parent.get(), temp) != 0)
        throwErrno("Couldn't link " + rel_ + " to " + target, errno);
    if (jx::renameAt(parent.get(), temp, leaf) != 0) {
        int err = errno;
        // A folder in the way goes, as for any file entry.
        if ((err == EISDIR || err == ENOTEMPTY || err == EEXIST) &&
            FlrTailRoot::removeEntry(parent.get(), leaf) == 0 &&
            jx::renameAt(parent.get(), temp, leaf) == 0)
            err = 0;
        if (err != 0) {
            jx::unlinkAt(parent.get(), temp, false);
            throwErrno("Couldn't rename the link " + rel_ + " into place", err);
        }
    }
    if (durable && jx::fileOps().fsync(parent.get()) != 0)
        throwErrno("Couldn't make the link " + rel_ + " durable", errno);
}

// --- the session's side ----------------------------------------------------------

void FlrTailApplySession::beginHardLink(const std::string& rel) {
    hardLink_ = std::make_unique<FlrTailHardLink>(applier_.root(), rel);
}

void FlrTailApplySession::feedHardLink(const void* data, size_t len) {
    try {
        hardLink_->data(data, len);
    } catch (const JxException& e) {
        EvDebug::Error(kHardLinkFn, "%s", e.getMessage().c_str());
        ++stats_.failed;
        hardLink_.reset();
    }
}

// The linked name came earlier on this session: it may still wait in the
// batch or for its LBFS blocks, and is put in place first.
void FlrTailApplySession::endHardLink() {
    const std::unique_ptr<FlrTailHardLink> link = std::move(hardLink_);
    try {
        const std::string target = link->target();
        if (batched(target)) commit();
        if (lbfs_->pendingAt(target)) settleLBFS();
        link->place(target, applier_.options().syncFiles);
        if (FlrTailStore* store = applier_.store()) store->forget(link->rel());
        ++stats_.files;
    } catch (const JxException& e) {
        const bool refused = e.getCode() == ELOOP || e.getCode() == EXDEV;
        EvDebug::Error(kHardLinkFn, "%s", e.getMessage().c_str());
        ++(refused ? stats_.refused : stats_.failed);
    }
}
