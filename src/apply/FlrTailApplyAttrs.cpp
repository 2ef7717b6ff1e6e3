// MIR_ATTRS of an entry: nanosecond times and the extended attribute set.
#include <unistd.h>

#include <cerrno>

#include "FlrTailApplyEntry.h"
#include "platform/EvDebug.h"

void FlrTailApplyEntry::attrs(const FlrNetMirAttrs& a) {
    if (a.flags & FlrNetMirAttrs::kTimes) {
        atime_ = a.atimeSec;
        mtime_ = a.mtimeSec;
        atimeNsec_ = static_cast<long>(a.atimeNsec);
        mtimeNsec_ = static_cast<long>(a.mtimeNsec);
    }
    hasXattrs_ = (a.flags & FlrNetMirAttrs::kXattrs) != 0;
    if (!hasXattrs_) return;
    // trusted.* and security.* only when both ends run as root: what the head
    // could not read is not known to be absent.
    // No part of the process changes its user: asked once, not per entry.
    static const bool kRoot = ::geteuid() == 0;
    const bool privileged = (a.flags & FlrNetMirAttrs::kPrivileged) && kRoot;
    xattrScope_ = jx::xattrScopeFor(mode_, privileged);
    xattrs_.clear();
    size_t at = 0;
    FlrNetXattrItem item{};
    while (flrNetNextXattr(a, &at, &item))
        xattrs_.push_back({item.name, std::string(static_cast<const char*>(item.value), item.len)});
}

// By descriptor (fd >= 0), or by name in the entry's folder. A destination
// file system without attributes keeps the entry: it cannot hold them at all.
void FlrTailApplyEntry::applyXattrs(int fd, const std::string& name) {
    if (!hasXattrs_ || xattrScope_ == 0) return;
    const int err = fd >= 0 ? jx::syncXattrsFd(fd, xattrScope_, xattrs_)
                            : jx::syncXattrsAt(parentFd(), name, xattrScope_, xattrs_);
    if (err == 0) return;
    if (err == ENOTSUP || err == EOPNOTSUPP) {
        EvDebug::Warning("FlrTailApplyEntry", "%s: the destination keeps no extended attributes",
                         rel_.c_str());
        return;
    }
    fail("set the extended attributes of", err);
}
