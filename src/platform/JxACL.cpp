#include "JxACL.h"

#include <acl/libacl.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <memory>

#include "FLR/JxException.h"
#include "JxCoding.h"
#include "JxFile.h"

// Network form (docs/formats.md, "ACL network form"):
//   version u8 (1), section count u8 (1..2), then per section
//   kind u8 (1 access, 2 default), entry count u16 BE, entries of 6 bytes:
//   tag u8, perms u8, id u32 BE.
// Sections come in kind order and entries in (tag, id) order, each once, so
// every ACL has exactly one form and a decoded form re-encodes to its bytes.

namespace JxACL {

namespace {

constexpr uint8_t kVersion = 1;
constexpr uint8_t kSectionAccess = 1;
constexpr uint8_t kSectionDefault = 2;
constexpr size_t kEntryBytes = 6;
constexpr size_t kMinEntries = 3;  // owner, group and other

[[noreturn]] void malformed(const char* function, const std::string& why) {
    JX_THROW(function, "Malformed ACL form: " + why);
}

bool named(uint8_t tag) {
    return tag == TAG_USER || tag == TAG_GROUP;
}

bool entryLess(const Entry& a, const Entry& b) {
    return a.tag != b.tag ? a.tag < b.tag : a.id < b.id;
}

// Checks one section in (tag, id) order; the same rules libacl's acl_valid
// applies, so a form that passes can be set.
void checkSection(const std::vector<Entry>& entries, const char* function) {
    if (entries.size() < kMinEntries || entries.size() > kMaxEntries)
        malformed(function, jxFormat("entry count %zu outside %zu..%zu", entries.size(),
                                     kMinEntries, kMaxEntries));
    bool seen[TAG_OTHER + 1] = {};
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        if (e.tag < TAG_USER_OBJ || e.tag > TAG_OTHER)
            malformed(function, jxFormat("unknown tag %u", e.tag));
        if (e.perms > 7) malformed(function, jxFormat("permissions %u above 7", e.perms));
        if (!named(e.tag) && e.id != 0)
            malformed(function, jxFormat("id %u on an unnamed entry", e.id));
        if (i > 0 && !entryLess(entries[i - 1], e))
            malformed(function, "entries out of order or repeated");
        seen[e.tag] = true;
    }
    if (!seen[TAG_USER_OBJ] || !seen[TAG_GROUP_OBJ] || !seen[TAG_OTHER])
        malformed(function, "missing owner, group or other entry");
    if ((seen[TAG_USER] || seen[TAG_GROUP]) && !seen[TAG_MASK])
        malformed(function, "named entries without a mask");
}

void putSection(std::vector<unsigned char>& out, uint8_t kind, std::vector<Entry> entries) {
    std::sort(entries.begin(), entries.end(), entryLess);
    checkSection(entries, "JxACL::encode");
    const size_t at = out.size();
    out.resize(at + 3 + entries.size() * kEntryBytes);
    unsigned char* p = out.data() + at;
    p[0] = kind;
    jx::storeBE16(p + 1, static_cast<uint16_t>(entries.size()));
    p += 3;
    for (const Entry& e : entries) {
        p[0] = e.tag;
        p[1] = e.perms;
        jx::storeBE32(p + 2, e.id);
        p += kEntryBytes;
    }
}

}  // namespace

std::vector<unsigned char> encode(const Acl& acl) {
    std::vector<unsigned char> out;
    if (!acl.hasAccess && !acl.hasDefault) return out;
    out.push_back(kVersion);
    out.push_back(static_cast<unsigned char>(int{acl.hasAccess} + int{acl.hasDefault}));
    if (acl.hasAccess) putSection(out, kSectionAccess, acl.access);
    if (acl.hasDefault) putSection(out, kSectionDefault, acl.defaults);
    return out;
}

Acl decode(const void* data, size_t len) {
    static const char* const fn = "JxACL::decode";
    Acl acl;
    if (len == 0) return acl;
    const auto* p = static_cast<const unsigned char*>(data);
    if (len < 2) malformed(fn, "truncated header");
    if (p[0] != kVersion) malformed(fn, jxFormat("unknown version %u", p[0]));
    const unsigned sections = p[1];
    if (sections < 1 || sections > 2) malformed(fn, jxFormat("section count %u", sections));
    size_t at = 2;
    uint8_t lastKind = 0;
    for (unsigned s = 0; s < sections; ++s) {
        if (len - at < 3) malformed(fn, "truncated section header");
        const uint8_t kind = p[at];
        if (kind <= lastKind || kind > kSectionDefault)
            malformed(fn, jxFormat("unknown or repeated section kind %u", kind));
        lastKind = kind;
        const size_t count = jx::loadBE16(p + at + 1);
        at += 3;
        if (count < kMinEntries || count > kMaxEntries)
            malformed(
                fn, jxFormat("entry count %zu outside %zu..%zu", count, kMinEntries, kMaxEntries));
        if (count * kEntryBytes > len - at)
            malformed(fn, jxFormat("entries run past the end (%zu bytes needed, %zu left)",
                                   count * kEntryBytes, len - at));
        std::vector<Entry>& entries = kind == kSectionAccess ? acl.access : acl.defaults;
        entries.resize(count);
        for (Entry& e : entries) {
            e.tag = p[at];
            e.perms = p[at + 1];
            e.id = jx::loadBE32(p + at + 2);
            at += kEntryBytes;
        }
        checkSection(entries, fn);
        (kind == kSectionAccess ? acl.hasAccess : acl.hasDefault) = true;
    }
    if (at != len) malformed(fn, jxFormat("%zu trailing bytes", len - at));
    return acl;
}

namespace {

std::string entryText(const Entry& e) {
    static const char* const names[] = {"", "user", "user", "group", "group", "mask", "other"};
    std::string s = names[e.tag];
    s += ':';
    if (named(e.tag)) s += std::to_string(e.id);
    s += ':';
    s += (e.perms & PERM_READ) ? 'r' : '-';
    s += (e.perms & PERM_WRITE) ? 'w' : '-';
    s += (e.perms & PERM_EXECUTE) ? 'x' : '-';
    return s;
}

std::string sectionText(const char* label, const std::vector<Entry>& entries) {
    std::string s = label;
    s += ": ";
    for (size_t i = 0; i < entries.size(); ++i) s += (i ? "," : "") + entryText(entries[i]);
    return s;
}

}  // namespace

std::string toText(const void* data, size_t len) {
    Acl acl;
    try {
        acl = decode(data, len);
    } catch (const JxException& e) {
        return "(invalid ACL form: " + e.getMessage() + ")";
    }
    std::string s;
    if (acl.hasAccess) s = sectionText("access", acl.access);
    if (acl.hasDefault) s += (s.empty() ? "" : "; ") + sectionText("default", acl.defaults);
    return s.empty() ? "(mode only)" : s;
}

}  // namespace JxACL

// --- libacl -----------------------------------------------------------------

namespace JxACL {

namespace {

struct AclFree {
    void operator()(void* p) const { acl_free(p); }
};
using AclPtr = std::unique_ptr<struct __acl_ext, AclFree>;

bool notSupported(int err) {
    return err == ENOTSUP || err == ENOSYS;
}

// A descriptor's own path: reaches the file without opening it again, so
// O_PATH descriptors and the default ACL (which has no descriptor call) work.
std::string procPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

std::string describe(int fd) {
    return jxFormat("descriptor %d", fd);
}

acl_tag_t toLibTag(uint8_t tag) {
    switch (tag) {
        case TAG_USER_OBJ:
            return ACL_USER_OBJ;
        case TAG_USER:
            return ACL_USER;
        case TAG_GROUP_OBJ:
            return ACL_GROUP_OBJ;
        case TAG_GROUP:
            return ACL_GROUP;
        case TAG_MASK:
            return ACL_MASK;
        default:
            return ACL_OTHER;
    }
}

uint8_t fromLibTag(acl_tag_t tag) {
    switch (tag) {
        case ACL_USER_OBJ:
            return TAG_USER_OBJ;
        case ACL_USER:
            return TAG_USER;
        case ACL_GROUP_OBJ:
            return TAG_GROUP_OBJ;
        case ACL_GROUP:
            return TAG_GROUP;
        case ACL_MASK:
            return TAG_MASK;
        case ACL_OTHER:
            return TAG_OTHER;
        default:
            return 0;
    }
}

std::vector<Entry> entriesOf(acl_t acl, const std::string& what) {
    std::vector<Entry> out;
    acl_entry_t e;
    for (int r = acl_get_entry(acl, ACL_FIRST_ENTRY, &e); r == 1;
         r = acl_get_entry(acl, ACL_NEXT_ENTRY, &e)) {
        Entry x;
        acl_tag_t tag;
        acl_permset_t ps;
        if (acl_get_tag_type(e, &tag) != 0 || acl_get_permset(e, &ps) != 0)
            JX_THROW_ERRNO("JxACL::Helper::get", "Failed to read an ACL entry of " + what, errno);
        x.tag = fromLibTag(tag);
        if (x.tag == 0) JX_THROW("JxACL::Helper::get", "Unknown ACL entry kind on " + what);
        x.perms = static_cast<uint8_t>((acl_get_perm(ps, ACL_READ) == 1 ? PERM_READ : 0) |
                                       (acl_get_perm(ps, ACL_WRITE) == 1 ? PERM_WRITE : 0) |
                                       (acl_get_perm(ps, ACL_EXECUTE) == 1 ? PERM_EXECUTE : 0));
        if (named(x.tag)) {
            void* q = acl_get_qualifier(e);
            if (q == nullptr)
                JX_THROW_ERRNO("JxACL::Helper::get", "Failed to read an ACL id of " + what, errno);
            x.id = *static_cast<uint32_t*>(q);
            acl_free(q);
        }
        out.push_back(x);
    }
    return out;
}

AclPtr toLibAcl(const std::vector<Entry>& entries, const std::string& what) {
    AclPtr acl(acl_init(static_cast<int>(entries.size())));
    if (!acl) JX_THROW_ERRNO("JxACL::Helper::apply", "Failed to build an ACL for " + what, errno);
    for (const Entry& x : entries) {
        acl_t raw = acl.get();
        acl_entry_t e;
        acl_permset_t ps;
        const uint32_t id = x.id;
        const bool ok = acl_create_entry(&raw, &e) == 0 &&
                        acl_set_tag_type(e, toLibTag(x.tag)) == 0 &&
                        (!named(x.tag) || acl_set_qualifier(e, &id) == 0) &&
                        acl_get_permset(e, &ps) == 0 && acl_clear_perms(ps) == 0 &&
                        (!(x.perms & PERM_READ) || acl_add_perm(ps, ACL_READ) == 0) &&
                        (!(x.perms & PERM_WRITE) || acl_add_perm(ps, ACL_WRITE) == 0) &&
                        (!(x.perms & PERM_EXECUTE) || acl_add_perm(ps, ACL_EXECUTE) == 0) &&
                        acl_set_permset(e, ps) == 0;
        acl.release();
        acl.reset(raw);
        if (!ok)
            JX_THROW_ERRNO("JxACL::Helper::apply", "Failed to build an ACL for " + what, errno);
    }
    return acl;
}

struct stat statOf(int fd, const char* function, const std::string& what) {
    struct stat st;
    if (jx::fileOps().fstat(fd, &st) != 0)
        JX_THROW_ERRNO(function, "Failed to stat " + what, errno);
    return st;
}

// The access ACL through the descriptor, or through its /proc path when the
// descriptor cannot carry extended attributes (O_PATH). Null with errno set
// on failure.
AclPtr readAccess(int fd) {
    AclPtr acl(acl_get_fd(fd));
    if (!acl && errno == EBADF) acl.reset(acl_get_file(procPath(fd).c_str(), ACL_TYPE_ACCESS));
    return acl;
}

int writeAccess(int fd, acl_t acl) {
    if (acl_set_fd(fd, acl) == 0) return 0;
    if (errno != EBADF) return -1;
    return acl_set_file(procPath(fd).c_str(), ACL_TYPE_ACCESS, acl);
}

// Reads the file's sections; false when the file system has no ACLs.
bool readAcl(int fd, const struct stat& st, const std::string& what, Acl* out) {
    AclPtr access = readAccess(fd);
    if (!access) {
        if (notSupported(errno)) return false;
        JX_THROW_ERRNO("JxACL::Helper::get", "Failed to read the access ACL of " + what, errno);
    }
    const int extended = acl_equiv_mode(access.get(), nullptr);
    if (extended < 0) JX_THROW_ERRNO("JxACL::Helper::get", "Invalid access ACL on " + what, errno);
    if (extended == 1) {
        out->hasAccess = true;
        out->access = entriesOf(access.get(), what);
    }
    if (S_ISDIR(st.st_mode)) {
        AclPtr def(acl_get_file(procPath(fd).c_str(), ACL_TYPE_DEFAULT));
        if (!def)
            JX_THROW_ERRNO("JxACL::Helper::get", "Failed to read the default ACL of " + what,
                           errno);
        if (acl_entries(def.get()) > 0) {
            out->hasDefault = true;
            out->defaults = entriesOf(def.get(), what);
        }
    }
    return true;
}

std::vector<unsigned char> getFrom(int fd, const std::string& what) {
    const struct stat st = statOf(fd, "JxACL::Helper::get", what);
    Acl acl;
    if (S_ISLNK(st.st_mode) || !readAcl(fd, st, what, &acl)) return {};
    return encode(acl);
}

[[noreturn]] void applyFailed(const std::string& action, const std::string& what, int err) {
    JX_THROW_ERRNO("JxACL::Helper::apply", "Failed to " + action + " of " + what, err);
}

void setAccess(int fd, const struct stat& st, const Acl& want, const Acl& have,
               const std::string& what) {
    if (!want.hasAccess && !have.hasAccess) return;
    AclPtr acl = want.hasAccess ? toLibAcl(want.access, what) : AclPtr(acl_from_mode(st.st_mode));
    if (!acl || writeAccess(fd, acl.get()) != 0) applyFailed("set the access ACL", what, errno);
}

void setDefault(int fd, const Acl& want, const Acl& have, const std::string& what) {
    const std::string proc = procPath(fd);
    if (want.hasDefault) {
        AclPtr acl = toLibAcl(want.defaults, what);
        if (acl_set_file(proc.c_str(), ACL_TYPE_DEFAULT, acl.get()) != 0)
            applyFailed("set the default ACL", what, errno);
    } else if (have.hasDefault && acl_delete_def_file(proc.c_str()) != 0) {
        applyFailed("remove the default ACL", what, errno);
    }
}

void applyTo(int fd, const void* data, size_t len, const std::string& what) {
    const Acl want = decode(data, len);
    const struct stat st = statOf(fd, "JxACL::Helper::apply", what);
    const bool wantsAny = want.hasAccess || want.hasDefault;
    if (S_ISLNK(st.st_mode)) {
        if (wantsAny) JX_THROW("JxACL::Helper::apply", "Symbolic link " + what + " has no ACLs");
        return;
    }
    if (want.hasDefault && !S_ISDIR(st.st_mode))
        JX_THROW("JxACL::Helper::apply", "Default ACL for " + what + ", which is no directory");
    Acl have;
    if (!readAcl(fd, st, what, &have)) {
        if (wantsAny) applyFailed("set the ACL", what, ENOTSUP);
        return;
    }
    setAccess(fd, st, want, have, what);
    if (S_ISDIR(st.st_mode)) setDefault(fd, want, have, what);
}

jx::File openNoFollow(const std::string& path, const char* function) {
    jx::File f = jx::openFile(path, O_PATH | O_NOFOLLOW);
    if (!f) JX_THROW_ERRNO(function, "Failed to open " + path, errno);
    return f;
}

}  // namespace

bool Helper::supported() {
    return true;
}

std::vector<unsigned char> Helper::get(const std::string& path) const {
    jx::File f = openNoFollow(path, "JxACL::Helper::get");
    return getFrom(f.get(), path);
}

std::vector<unsigned char> Helper::get(int fd) const {
    return getFrom(fd, describe(fd));
}

std::vector<unsigned char> Helper::get(int fd, const struct stat& st) const {
    if (S_ISLNK(st.st_mode)) return {};
    if (!S_ISDIR(st.st_mode) && ::fgetxattr(fd, "system.posix_acl_access", nullptr, 0) < 0 &&
        (errno == ENODATA || notSupported(errno)))
        return {};  // the mode says it all; a folder may still have a default ACL
    return getFrom(fd, describe(fd));
}

void Helper::apply(int fd, const void* data, size_t len) const {
    applyTo(fd, data, len, describe(fd));
}

void Helper::apply(const std::string& path, const void* data, size_t len) const {
    jx::File f = openNoFollow(path, "JxACL::Helper::apply");
    applyTo(f.get(), data, len, path);
}

}  // namespace JxACL
