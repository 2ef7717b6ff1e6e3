// Extended attribute and ACL changes of watched entries. fanotify reports
// them as FAN_ATTRIB like any other attribute change, without the name: the
// names and value hashes last sent per entry tell what changed. An entry not
// known yet sends every name it holds (setting a name again is harmless).
// ACLs (system.posix_acl_*) travel as one SET_ACL record holding the access
// and, for a folder, the default ACL: every tail version applies it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>

#include "FLR/FlrRawJournal.h"
#include "FLR/JxException.h"
#include "FlrLiveJournal.h"
#include "platform/JxACL.h"
#include "platform/JxFanotify.h"
#include "platform/JxFile.h"

namespace {

// Entries whose attributes are remembered; past it all are forgotten and
// start again as unknown.
constexpr size_t kMaxXattrEntries = 65536;

size_t hashOf(std::string_view value) {
    return std::hash<std::string_view>{}(value);
}

FlrJrnCommand command(uint32_t code, const fsf_fid& fid) {
    FlrJrnCommand c;
    std::memset(&c, 0, sizeof c);
    c.cmd = code;
    if (code == FLR_JRN_SETXATTR)
        c.setxattr.fid = fid;
    else
        c.rmxattr.fid = fid;
    return c;
}

}  // namespace

void FlrLiveJournal::emitXattrs(const Where& w, const fsf_fid& fid, const JxFanHandle& h,
                                mode_t mode) {
    const bool root = ::geteuid() == 0;
    if (S_ISLNK(mode)) {
        // Only trusted.* and security.* live on links: read through an
        // O_PATH descriptor, never following the link.
        if (!root) return;
        jx::File f(JxFanotify::openHandle(w.fs->fd, h, O_PATH | O_NOFOLLOW));
        if (!f || jx::readXattrsOpath(f.get(), jx::kXattrPrivileged, &xattrsNow_) != 0) return;
    } else {
        // Special files keep theirs until the next scan sends the entry.
        if (!S_ISREG(mode) && !S_ISDIR(mode)) return;
        jx::File f(JxFanotify::openHandle(w.fs->fd, h, O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
        if (!f) return;
        emitAcl(w, fid, f.get());
        // Too large or unreadable: a scan sends the entry, or logs why not.
        if (jx::readXattrsFd(f.get(), jx::xattrScopeFor(mode, root), &xattrsNow_) != 0) return;
    }
    auto it = xattrsSent_.find(fid);
    if (it == xattrsSent_.end()) {
        if (xattrsNow_.empty()) return;
        if (xattrsSent_.size() >= kMaxXattrEntries) xattrsSent_.clear();
        it = xattrsSent_.emplace(fid, SentXattrs{}).first;
    }
    SentXattrs& sent = it->second;
    for (const jx::Xattr& x : xattrsNow_) {
        const size_t hash = hashOf(x.value);
        const auto was = std::find_if(sent.begin(), sent.end(),
                                      [&](const auto& s) { return s.first == x.name; });
        if (was != sent.end() && was->second == hash) continue;
        FlrJrnCommand c = command(FLR_JRN_SETXATTR, fid);
        c.setxattr.attr_name = x.name.c_str();
        c.setxattr.attr_len = static_cast<uint32_t>(x.value.size());
        c.setxattr.value = x.value.data();
        emit(c, w);
    }
    for (const auto& s : sent) {
        const bool kept = std::any_of(xattrsNow_.begin(), xattrsNow_.end(),
                                      [&](const jx::Xattr& x) { return x.name == s.first; });
        if (kept) continue;
        FlrJrnCommand c = command(FLR_JRN_RMXATTR, fid);
        c.rmxattr.attr_name = s.first.c_str();
        emit(c, w);
    }
    if (xattrsNow_.empty()) {
        xattrsSent_.erase(it);
        return;
    }
    sent.clear();
    for (const jx::Xattr& x : xattrsNow_) sent.emplace_back(x.name, hashOf(x.value));
}

void FlrLiveJournal::emitAcl(const Where& w, const fsf_fid& fid, int fd) {
    std::vector<unsigned char> form;
    try {
        form = JxACL::Helper().get(fd);
    } catch (const JxException&) {
        return;  // unreadable now: a scan sends the entry, or logs why not
    }
    const size_t hash =
        hashOf(std::string_view(reinterpret_cast<const char*>(form.data()), form.size()));
    auto it = aclsSent_.find(fid);
    if (it == aclsSent_.end()) {
        if (form.empty()) return;
        if (aclsSent_.size() >= kMaxXattrEntries) aclsSent_.clear();
    } else if (it->second == hash) {
        return;
    }
    FlrJrnCommand c;
    std::memset(&c, 0, sizeof c);
    c.cmd = FLR_JRN_SET_ACL;
    c.setacl.fid = fid;
    c.setacl.data_len = static_cast<uint32_t>(form.size());
    c.setacl.data = form.data();
    emit(c, w);
    // An empty form removed the ACLs; the entry is unknown again.
    if (form.empty())
        aclsSent_.erase(it);
    else
        aclsSent_[fid] = hash;
}
