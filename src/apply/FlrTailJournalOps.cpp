// One network journal record applied beneath the destination root.
#include "FlrTailJournalOps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "FLR/JxException.h"
#include "FlrTailPrivileged.h"
#include "platform/EvDebug.h"
#include "platform/JxACL.h"
#include "platform/JxDirFd.h"
#include "platform/JxSparse.h"
#include "platform/JxXattr.h"

namespace {

const char* const kJournalOpsFn = "FlrTailJournal";
// No offset or length beyond this is believed (sums stay below 2^63).
constexpr uint64_t kJournalOpsMaxOffset = uint64_t{1} << 60;

bool isFolder(const struct stat& st) {
    return S_ISDIR(st.st_mode);
}

// The kind CREATE makes: its mode's type, a regular file when none is given.
mode_t createdType(uint32_t mode) {
    const mode_t t = static_cast<mode_t>(mode) & S_IFMT;
    return t == 0 ? S_IFREG : t;
}

}  // namespace

FlrTailJournalOps::Outcome FlrTailJournalOps::failed(const std::string& what,
                                                     const std::string& rel, int err) const {
    EvDebug::Error(kJournalOpsFn, "Couldn't %s %s: %s", what.c_str(), rel.c_str(),
                   jxErrnoText(err).c_str());
    return Outcome::Failed;
}

FlrTailJournalOps::Outcome FlrTailJournalOps::refused(const std::string& received,
                                                      const std::string& why) const {
    EvDebug::Error(kJournalOpsFn, "Refused %s: %s", received.c_str(), why.c_str());
    return Outcome::Refused;
}

bool FlrTailJournalOps::resolve(const char* received, Place* p, Outcome* out) const {
    std::string why;
    if (!root_.relative(received ? received : "", &p->rel, &why)) {
        *out = refused(received ? received : "", why);
        return false;
    }
    // relative() leaves no empty or "." component: the last slash splits it.
    const size_t cut = p->rel.rfind('/');
    p->leaf.assign(p->rel, cut == std::string::npos ? 0 : cut + 1);
    p->dir = -1;
    p->exists = false;
    return true;
}

bool FlrTailJournalOps::enter(const char* received, Place* p, Outcome* out) {
    const size_t cut = p->rel.rfind('/');
    p->dir = folderFd(cut == std::string::npos ? std::string_view()
                                               : std::string_view(p->rel).substr(0, cut));
    if (p->dir >= 0) return true;
    const int err = errno;
    if (p->rel.empty()) {
        *out = failed("open", "the destination root", err);
    } else if (err == ELOOP || err == EXDEV) {
        *out = refused(received, "a symbolic link on the way");
    } else if (err == ENOENT || err == ENOTDIR) {
        EvDebug::DebugLvl(kJournalOpsFn, 2, "%s: its folder is gone", p->rel.c_str());
        *out = Outcome::Settled;
    } else {
        *out = failed("open the folder of", p->rel, err);
    }
    return false;
}

bool FlrTailJournalOps::look(Place* p, Outcome* out) const {
    if (p->rel.empty()) {
        p->exists = jx::fileOps().fstat(p->dir, &p->st) == 0;
        return true;
    }
    p->exists = jx::statAt(p->dir, p->leaf, &p->st) == 0;
    if (!p->exists && errno != ENOENT) {
        *out = failed("look at", p->rel, errno);
        return false;
    }
    return true;
}

bool FlrTailJournalOps::locate(const char* received, Place* p, Outcome* out, bool andLook) {
    return resolve(received, p, out) && enter(received, p, out) && (!andLook || look(p, out));
}

// The same for records that create, move or remove a name: the root itself
// is not one.
bool FlrTailJournalOps::locateNamed(const char* received, Place* p, Outcome* out, bool andLook) {
    if (!locate(received, p, out, andLook)) return false;
    if (!p->leaf.empty()) return true;
    *out = refused(received, "names the destination root itself");
    return false;
}

int FlrTailJournalOps::setOwnerModeTimes(const Place& p, int fd, uint64_t uid, uint64_t gid,
                                         uint32_t mode, const FlrJrnTime& atime,
                                         const FlrJrnTime& mtime) const {
    const bool byFd = fd >= 0;
    const bool isLink = p.exists ? S_ISLNK(p.st.st_mode) : false;
    if (options_.setOwners) {
        const int rc =
            byFd ? jx::chownFd(fd, static_cast<uid_t>(uid), static_cast<gid_t>(gid))
                 : jx::chownAt(p.dir, p.leaf, static_cast<uid_t>(uid), static_cast<gid_t>(gid));
        if (rc != 0) return errno;
    }
    if (!isLink) {
        const mode_t perm = static_cast<mode_t>(mode) & 07777;
        const int rc = byFd ? jx::chmodFd(fd, perm) : jx::chmodAt(p.dir, p.leaf, perm);
        if (rc != 0) return errno;
    }
    // The sub-second part of a time pair is nanoseconds.
    const int rc = byFd
                       ? jx::setTimesFd(fd, atime.sec, mtime.sec, static_cast<long>(atime.sub),
                                        static_cast<long>(mtime.sub))
                       : jx::setTimesAt(p.dir, p.leaf, atime.sec, mtime.sec,
                                        static_cast<long>(atime.sub), static_cast<long>(mtime.sub));
    return rc == 0 ? 0 : errno;
}

bool FlrTailJournalOps::screenMode(mode_t type, const std::string& rel, uint32_t* mode) {
    auto m = static_cast<mode_t>(type | (*mode & 07777));
    const flrpriv::Verdict v = flrpriv::screen(options_.privileged, &m);
    if (v == flrpriv::Verdict::Apply) return true;
    // The first of a run of them is a warning, the rest detail.
    const bool first = stripped_ + withheld_ == 0;
    const char* policy = flrPrivilegedName(options_.privileged);
    if (v == flrpriv::Verdict::Withheld) {
        first ? EvDebug::Warning(kJournalOpsFn, flrpriv::kWithheldLine, rel.c_str(), policy)
              : EvDebug::DebugLvl(kJournalOpsFn, 2, flrpriv::kWithheldLine, rel.c_str(), policy);
        ++withheld_;
        return false;
    }
    first ? EvDebug::Warning(kJournalOpsFn, flrpriv::kStrippedLine, rel.c_str(), policy)
          : EvDebug::DebugLvl(kJournalOpsFn, 2, flrpriv::kStrippedLine, rel.c_str(), policy);
    ++stripped_;
    *mode = (*mode & ~uint32_t{07777}) | (m & 07777);
    return true;
}

void FlrTailJournalOps::takePrivileged(long long* stripped, long long* withheld) {
    *stripped += stripped_;
    *withheld += withheld_;
    stripped_ = withheld_ = 0;
}

jx::File FlrTailJournalOps::openData(const Place& p, int flags, Outcome* out) const {
    if (!p.exists) {
        *out = Outcome::Settled;  // gone since: a later record removed it
        return jx::File();
    }
    if (S_ISLNK(p.st.st_mode)) {
        *out = refused(p.rel, "a symbolic link (never followed)");
        return jx::File();
    }
    if (!S_ISREG(p.st.st_mode) && !isFolder(p.st)) {
        *out = Outcome::Settled;  // another kind now: later records own the name
        return jx::File();
    }
    jx::File f = p.rel.empty()    ? root_.openDir("")
                 : isFolder(p.st) ? jx::openBeneath(p.dir, p.leaf, O_RDONLY | O_DIRECTORY)
                                  : jx::openRegularBeneath(p.dir, p.leaf, flags);
    if (!f) {
        const int err = errno;
        *out = err == ELOOP ? refused(p.rel, "a symbolic link (never followed)")
                            : failed("open", p.rel, err);
    }
    return f;
}

int FlrTailJournalOps::folderFd(std::string_view rel) {
    const int held = dirs_.find(rel);
    if (held >= 0) return held;
    folder_.assign(rel);
    jx::File f = jx::openBeneath(root_.fd(), folder_, O_RDONLY | O_DIRECTORY);
    if (!f) return -1;
    return dirs_.put(rel, std::move(f));
}

int FlrTailJournalOps::dataFd(Place* p, Outcome* out) {
    const int held = files_.find(p->rel);
    if (held >= 0) return held;
    if (p->dir < 0 && !enter(p->rel.c_str(), p, out)) return -1;
    if (!look(p, out)) return -1;
    if (p->exists && isFolder(p->st)) {
        *out = Outcome::Settled;  // a folder now: later records own the name
        return -1;
    }
    jx::File f = openData(*p, O_WRONLY, out);
    if (!f) return -1;
    return files_.put(p->rel, std::move(f));
}

void FlrTailJournalOps::forgetAt(const std::string& rel) {
    files_.dropAt(rel);
    dirs_.dropAt(rel);
}

void FlrTailJournalOps::closeAll() {
    files_.clear();
    dirs_.clear();
}

// --- records that make or remove names ---------------------------------------

FlrTailJournalOps::Outcome FlrTailJournalOps::create(const FlrJrnNetCreate& c, bool folder) {
    Place p;
    Outcome out;
    // Made at once: the name is looked at only when it turns out taken.
    if (!locateNamed(c.path, &p, &out, false)) return out;
    const mode_t type = folder ? S_IFDIR : createdType(c.mode);
    uint32_t mode = c.mode;
    if (!screenMode(type, p.rel, &mode)) return Outcome::Settled;
    const FlrJrnTime& atime = c.atime;
    const FlrJrnTime& mtime = c.mtime;
    jx::File file;
    int rc = 0;
    if (type == S_IFDIR) {
        rc = jx::mkdirAt(p.dir, p.leaf, 0700);
    } else if (type == S_IFREG) {
        file = jx::openBeneath(p.dir, p.leaf, O_WRONLY | O_CREAT | O_EXCL, 0600);
        rc = file ? 0 : -1;
    } else {
        rc = jx::mknodAt(p.dir, p.leaf, type | 0600, static_cast<dev_t>(c.rdev));
    }
    // A symbolic link of that name fails the exclusive open with ELOOP.
    if (rc != 0 && (errno == EEXIST || errno == ELOOP)) {
        if (!look(&p, &out)) return out;
        if (p.exists) return recreate(p, c, type);
        errno = EEXIST;
    }
    if (rc != 0) return failed("make", p.rel, errno);
    if (file) {
        // A new file's data records follow: it stays open for them.
        const int err = setOwnerModeTimes(p, file.get(), c.uid, c.gid, mode, atime, mtime);
        files_.put(p.rel, std::move(file));
        return err ? failed("set the attributes of", p.rel, err) : Outcome::Applied;
    }
    forgetAt(p.rel);
    p.exists = jx::statAt(p.dir, p.leaf, &p.st) == 0;
    if (const int err = setOwnerModeTimes(p, -1, c.uid, c.gid, mode, atime, mtime))
        return failed("set the attributes of", p.rel, err);
    return Outcome::Applied;
}

// Made before (a replay): the records after this one bring it up to date.
// Another kind there means they replaced it.
FlrTailJournalOps::Outcome FlrTailJournalOps::recreate(const Place& p, const FlrJrnNetCreate& c,
                                                       mode_t type) {
    if ((p.st.st_mode & S_IFMT) != type) return Outcome::Settled;
    uint32_t mode = c.mode;
    if (!screenMode(type, p.rel, &mode)) return Outcome::Settled;
    if (const int err = setOwnerModeTimes(p, -1, c.uid, c.gid, mode, c.atime, c.mtime))
        return failed("set the attributes of", p.rel, err);
    return Outcome::Settled;
}

FlrTailJournalOps::Outcome FlrTailJournalOps::symlink(const FlrJrnNetSymlink& s) {
    const std::string target = s.src_name ? s.src_name : "";
    if (target.empty() || target.size() > options_.maxLinkTarget)
        return refused(s.dst_path ? s.dst_path : "", "link target empty or too long");
    Place p;
    Outcome out;
    if (!locateNamed(s.dst_path, &p, &out)) return out;
    if (p.exists) return Outcome::Settled;  // made before, or replaced since
    // The target is stored as text and never resolved here.
    if (jx::symlinkAt(target, p.dir, p.leaf) != 0) return failed("make the link", p.rel, errno);
    if (options_.setOwners &&
        jx::chownAt(p.dir, p.leaf, static_cast<uid_t>(s.uid), static_cast<gid_t>(s.gid)) != 0)
        return failed("set the owner of", p.rel, errno);
    return Outcome::Applied;
}

FlrTailJournalOps::Outcome FlrTailJournalOps::link(const FlrJrnNetLink& l) {
    Place from;
    Place to;
    Outcome out;
    if (!locateNamed(l.src_path, &from, &out)) return out;
    if (!locateNamed(l.dst_path, &to, &out)) return out;
    // A source that no longer exists, or a target already there (the source
    // host cannot link over a name): applied before.
    if (!from.exists || to.exists) return Outcome::Settled;
    if (jx::linkBetween(from.dir, from.leaf, to.dir, to.leaf) != 0)
        return failed("link " + from.rel + " as", to.rel, errno);
    forgetAt(to.rel);
    return Outcome::Applied;
}

FlrTailJournalOps::Outcome FlrTailJournalOps::rename(const FlrJrnNetLink& r, bool* replaced) {
    Place from;
    Outcome out;
    if (!locateNamed(r.src_path, &from, &out)) return out;
    if (!from.exists) return Outcome::Settled;  // moved before
    Place to;
    if (!locateNamed(r.dst_path, &to, &out)) {
        if (out == Outcome::Settled) return failed("move " + from.rel + " to", r.dst_path, ENOENT);
        return out;
    }
    if (from.rel == to.rel) return Outcome::Settled;
    if (jx::renameBetween(from.dir, from.leaf, to.dir, to.leaf) == 0) {
        // Whatever was held at either name (or below) now has another path.
        forgetAt(from.rel);
        forgetAt(to.rel);
        *replaced = to.exists;
        return Outcome::Applied;
    }
    const int err = errno;
    // A target of another kind, or a folder that is not empty: the source
    // host could not have made this move, so the target is a later one.
    if (err == EISDIR || err == ENOTDIR || err == ENOTEMPTY || err == EEXIST) {
        EvDebug::DebugLvl(kJournalOpsFn, 2, "%s not moved to %s: %s", from.rel.c_str(),
                          to.rel.c_str(), jxErrnoText(err).c_str());
        return Outcome::Settled;
    }
    return failed("move " + from.rel + " to", to.rel, err);
}

FlrTailJournalOps::Outcome FlrTailJournalOps::remove(const char* path, bool folder) {
    Place p;
    Outcome out;
    if (!locateNamed(path, &p, &out)) return out;
    // Gone already, or the name holds the other kind made later.
    if (!p.exists || isFolder(p.st) != folder) return Outcome::Settled;
    if (jx::unlinkAt(p.dir, p.leaf, folder) == 0) {
        forgetAt(p.rel);
        return Outcome::Applied;
    }
    const int err = errno;
    if (folder && (err == ENOTEMPTY || err == EEXIST)) return folderNotEmpty(p.rel);
    return failed("remove", p.rel, err);
}

// The source removed the folder, so it was empty there. What it still holds
// here is either filled again by later records (a replay) or entries whose
// removal the head never sent (a folder moved, then removed with its
// contents). A tail never empties a folder for RMDIR on its own: the record
// counts as not applied, so the run is incomplete and a resync settles it.
FlrTailJournalOps::Outcome FlrTailJournalOps::folderNotEmpty(const std::string& rel) const {
    EvDebug::Warning(kJournalOpsFn,
                     "%s not removed: it still holds entries the source no longer has",
                     rel.c_str());
    return Outcome::Failed;
}

// --- records that change an entry ----------------------------------------------

FlrTailJournalOps::Outcome FlrTailJournalOps::setattr(const FlrJrnNetSetattr& a) {
    Place p;
    Outcome out;
    if (!locate(a.path, &p, &out)) return out;
    if (!p.exists) return Outcome::Settled;
    if (a.size_valid && S_ISREG(p.st.st_mode)) {
        if (a.size > kJournalOpsMaxOffset) return failed("set the size of", p.rel, EFBIG);
        const int fd = dataFd(&p, &out);
        if (fd < 0) return out;
        if (jx::fileOps().ftruncate(fd, static_cast<off_t>(a.size)) != 0)
            return failed("set the size of", p.rel, errno);
    }
    const int dir = p.dir;
    const bool root = p.leaf.empty();
    // The root folder's owner and mode are the operator's (see FlrPrivileged).
    const bool ownerMode = !root || flrpriv::headOwnsRoot(options_.privileged);
    if (ownerMode && options_.setOwners && (a.uid_valid || a.gid_valid)) {
        const uid_t uid = a.uid_valid ? static_cast<uid_t>(a.uid) : static_cast<uid_t>(-1);
        const gid_t gid = a.gid_valid ? static_cast<gid_t>(a.gid) : static_cast<gid_t>(-1);
        const int rc = root ? jx::chownFd(dir, uid, gid) : jx::chownAt(dir, p.leaf, uid, gid);
        if (rc != 0) return failed("set the owner of", p.rel, errno);
    }
    uint32_t mode = a.mode;
    if (ownerMode && a.mode_valid && !S_ISLNK(p.st.st_mode) &&
        screenMode(p.st.st_mode & S_IFMT, p.rel, &mode)) {
        const mode_t perm = static_cast<mode_t>(mode) & 07777;
        const int rc = root ? jx::chmodFd(dir, perm) : jx::chmodAt(dir, p.leaf, perm);
        if (rc != 0) return failed("set the mode of", p.rel, errno);
    }
    if (a.atime_valid || a.mtime_valid) {
        // One time alone keeps the other as it is.
        const FlrJrnTime at =
            a.atime_valid ? a.atime : FlrJrnTime{p.st.st_atim.tv_sec, p.st.st_atim.tv_nsec};
        const FlrJrnTime mt =
            a.mtime_valid ? a.mtime : FlrJrnTime{p.st.st_mtim.tv_sec, p.st.st_mtim.tv_nsec};
        const int rc = root ? jx::setTimesFd(dir, at.sec, mt.sec, static_cast<long>(at.sub),
                                             static_cast<long>(mt.sub))
                            : jx::setTimesAt(dir, p.leaf, at.sec, mt.sec, static_cast<long>(at.sub),
                                             static_cast<long>(mt.sub));
        if (rc != 0) return failed("set the times of", p.rel, errno);
    }
    return Outcome::Applied;
}

FlrTailJournalOps::Outcome FlrTailJournalOps::write(const FlrJrnNetWrite& w) {
    Place& p = scratch_;
    Outcome out;
    if (!resolve(w.path, &p, &out)) return out;
    if (w.offset > kJournalOpsMaxOffset) return failed("write", p.rel, EFBIG);
    const int fd = dataFd(&p, &out);
    if (fd < 0) return out;
    // Zeros (a file grown by writing them) become holes, as on the head.
    if (const int err = jx::writeSparseAt(fd, w.data, w.size, static_cast<int64_t>(w.offset)))
        return failed("write", p.rel, err);
    return Outcome::Applied;
}

// Zeroes a range of the file (within its size: a clear never extends it).
FlrTailJournalOps::Outcome FlrTailJournalOps::fclear(const FlrJrnNetFclear& c) {
    Place p;
    Outcome out;
    if (!resolve(c.path, &p, &out)) return out;
    const int fd = dataFd(&p, &out);
    if (fd < 0) return out;
    struct stat st {};
    if (jx::fileOps().fstat(fd, &st) != 0) return failed("look at", p.rel, errno);
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    const uint64_t from = std::min<uint64_t>(c.offset, size);
    const uint64_t to = std::min<uint64_t>(from + std::min(c.length, kJournalOpsMaxOffset), size);
    // A punched hole where the file system can: cleared space is freed.
    if (const int err =
            jx::zeroRange(fd, static_cast<int64_t>(from), static_cast<int64_t>(to - from)))
        return failed("clear a range of", p.rel, err);
    return Outcome::Applied;
}

FlrTailJournalOps::Outcome FlrTailJournalOps::setAcl(const FlrJrnNetSetAcl& a) {
    Place p;
    Outcome out;
    if (!locate(a.path, &p, &out)) return out;
    if (a.data_len > options_.maxACL) return refused(p.rel, "ACL form too large");
    if (p.leaf.empty() && !flrpriv::headOwnsRoot(options_.privileged)) return Outcome::Settled;
    jx::File f = openData(p, O_RDONLY | O_NONBLOCK, &out);
    if (!f) return out;
    try {
        JxACL::Helper().apply(f.get(), a.data, a.data_len);
    } catch (const JxException& e) {
        EvDebug::Error(kJournalOpsFn, "Couldn't set the ACL of %s: %s", p.rel.c_str(),
                       e.getMessage().c_str());
        return Outcome::Failed;
    }
    return Outcome::Applied;
}

// trusted.* and security.* only as root: a tail without the privilege could
// never set them, and would count the record as failed on every replay.
bool FlrTailJournalOps::xattrSettableHere(const char* name) {
    const std::string n = name ? name : "";
    return jx::xattrInScope(n, jx::kXattrUser) || ::geteuid() == 0;
}

FlrTailJournalOps::Outcome FlrTailJournalOps::setXattr(const FlrJrnNetSetxattr& x) {
    Place p;
    Outcome out;
    if (!locate(x.path, &p, &out)) return out;
    if (!xattrSettableHere(x.attr_name)) return Outcome::Settled;
    if (p.leaf.empty() && !flrpriv::headOwnsRoot(options_.privileged)) return Outcome::Settled;
    const std::string name = x.attr_name ? x.attr_name : "";
    // A link's own attributes (trusted.*, security.*), set by its name in
    // its folder: the link is never followed. Linux keeps no user.* there.
    if (p.exists && S_ISLNK(p.st.st_mode)) {
        if (!jx::xattrInScope(name, jx::kXattrPrivileged))
            return refused(p.rel, "a symbolic link (never followed)");
        if (const int err = jx::setXattrAt(p.dir, p.leaf, name, x.value, x.attr_len))
            return failed("set the attribute " + name + " of", p.rel, err);
        return Outcome::Applied;
    }
    jx::File f = openData(p, O_RDONLY | O_NONBLOCK, &out);
    if (!f) return out;
    // Create-or-replace whatever the source's flags were: a replay finds it set.
    if (jx::setXattrFd(f.get(), x.attr_name ? x.attr_name : "", x.value, x.attr_len, 0) != 0)
        return failed(std::string("set the attribute ") + (x.attr_name ? x.attr_name : "") + " of",
                      p.rel, errno);
    return Outcome::Applied;
}

FlrTailJournalOps::Outcome FlrTailJournalOps::removeXattr(const FlrJrnNetRmxattr& x) {
    Place p;
    Outcome out;
    if (!locate(x.path, &p, &out)) return out;
    if (p.leaf.empty() && !flrpriv::headOwnsRoot(options_.privileged)) return Outcome::Settled;
    int err = 0;
    if (p.exists && S_ISLNK(p.st.st_mode)) {
        if (!jx::xattrInScope(x.attr_name ? x.attr_name : "", jx::kXattrPrivileged))
            return refused(p.rel, "a symbolic link (never followed)");
        err = jx::removeXattrAt(p.dir, p.leaf, x.attr_name ? x.attr_name : "");
    } else {
        jx::File f = openData(p, O_RDONLY | O_NONBLOCK, &out);
        if (!f) return out;
        err = jx::removeXattrFd(f.get(), x.attr_name ? x.attr_name : "") == 0 ? 0 : errno;
    }
    if (err == 0) return Outcome::Applied;
    if (err == ENODATA) return Outcome::Settled;
    return failed(std::string("remove the attribute ") + (x.attr_name ? x.attr_name : "") + " of",
                  p.rel, err);
}

FlrTailJournalOps::Outcome FlrTailJournalOps::apply(const FlrJrnCommandNet& rec, bool* replaced) {
    *replaced = false;
    try {
        switch (rec.cmd) {
            case FLR_JRN_CREATE:
                return create(rec.create, false);
            case FLR_JRN_MKDIR:
                return create(rec.mkdir, true);
            case FLR_JRN_SYMLINK:
                return symlink(rec.symlink);
            case FLR_JRN_LINK: {
                const Outcome o = link(rec.link);
                *replaced = o == Outcome::Applied;
                return o;
            }
            case FLR_JRN_RENAME:
                return rename(rec.rename, replaced);
            case FLR_JRN_REMOVE:
                return remove(rec.remove.path, false);
            case FLR_JRN_RMDIR:
                return remove(rec.rmdir.path, true);
            case FLR_JRN_SETATTR:
                return setattr(rec.setattr);
            case FLR_JRN_WRITE:
            case FLR_JRN_TWRITE:
                return write(rec.write);
            case FLR_JRN_FCLEAR:
                return fclear(rec.fclear);
            case FLR_JRN_SET_ACL:
                return setAcl(rec.setacl);
            case FLR_JRN_SETXATTR:
            case FLR_JRN_SETXATTR_AIX:
                return setXattr(rec.setxattr);
            case FLR_JRN_RMXATTR:
            case FLR_JRN_RMXATTR_AIX:
                return removeXattr(rec.rmxattr);
            default:
                // NOOP, SNAP, EXT2_SETFLAGS, STUB, UNSTUB: nothing here to change.
                return Outcome::SequenceOnly;
        }
    } catch (const std::exception& e) {
        EvDebug::Error(kJournalOpsFn, "Couldn't apply %s record %llu: %s", flrJrnCodeName(rec.cmd),
                       static_cast<unsigned long long>(rec.seq_num), e.what());
        return Outcome::Failed;
    }
}
