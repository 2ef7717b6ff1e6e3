#pragma once
// Extended attributes of one entry: read them on the head, make the replica's
// set equal on the tail.
//
// Only the namespaces a caller manages are read or changed: user.* always,
// trusted.* and security.* only when asked (both ends root). system.* (POSIX
// ACLs travel on their own) is never touched. Linux refuses user.* on
// symbolic links and special files, so those manage the privileged
// namespaces only.
//
// Bounds: a name is 1 to 255 bytes, a value at most 64 KiB, an entry's names
// and values together at most 1 MiB; anything larger is refused with E2BIG
// and the entry's set is left alone. Every call has the POSIX contract: 0 or
// an errno value, no exceptions.
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace jx {

constexpr size_t kXattrNameMax = 255;
constexpr size_t kXattrValueMax = 64 << 10;
constexpr size_t kXattrSetMax = 1 << 20;

// Which namespaces a call manages.
enum XattrScope : unsigned {
    kXattrUser = 1,        // user.*
    kXattrPrivileged = 2,  // trusted.* and security.*
};

struct Xattr {
    std::string name;
    std::string value;
    bool operator==(const Xattr& o) const { return name == o.name && value == o.value; }
};

// True when name lies in one of scope's namespaces.
bool xattrInScope(const std::string& name, unsigned scope);

// The scope for an entry of this type (st_mode): the privileged namespaces
// only when privileged is set; user.* only on regular files and folders.
unsigned xattrScopeFor(mode_t mode, bool privileged);

// The attributes of an entry in scope, sorted by name. By descriptor (not
// O_PATH), by path (never following a final symbolic link) or by name inside
// an open folder (name has no "/"; the folder is reached through
// /proc/self/fd, so nothing outside it is ever named).
int readXattrsFd(int fd, unsigned scope, std::vector<Xattr>* out);
int readXattrsPath(const std::string& path, unsigned scope, std::vector<Xattr>* out);
int readXattrsAt(int dirFd, const std::string& name, unsigned scope, std::vector<Xattr>* out);
// The same by a descriptor of any kind, O_PATH included: a symbolic link
// opened with O_PATH | O_NOFOLLOW gives the link's own attributes (reached
// through /proc/self/fd, which leads to the entry and never past it).
int readXattrsOpath(int fd, unsigned scope, std::vector<Xattr>* out);

// One attribute of the entry `name` inside the open folder dirFd, never
// following a final symbolic link (which is how a link's own are changed):
// create-or-replace, and remove. 0 or an errno value.
int setXattrAt(int dirFd, const std::string& name, const std::string& attr, const void* value,
               size_t len);
int removeXattrAt(int dirFd, const std::string& name, const std::string& attr);

// Makes the entry's attributes in scope exactly `want`: names it lacks are
// set, different values replaced, names in scope that want lacks removed.
// want's names outside scope are ignored. 0 or the first failure's errno
// (the other attributes are still tried).
int syncXattrsFd(int fd, unsigned scope, const std::vector<Xattr>& want);
int syncXattrsAt(int dirFd, const std::string& name, unsigned scope,
                 const std::vector<Xattr>& want);

}  // namespace jx
