#pragma once
// POSIX ACLs of a file in the network form that travels from head to tail.
//
// Only extended ACLs produce bytes: a file whose ACL says no more than its
// mode bits gives an empty form, so the common file costs nothing on the
// wire. The form carries the access ACL and, for directories, the default
// ACL; users and groups travel as numeric ids (like rsync --numeric-ids):
// names need not mean the same on both hosts, ids are what the file system
// stores. The byte layout is in docs/formats.md, "ACL network form".
//
// The decoder is given untrusted bytes: it knows the buffer's length, checks
// every count against the bytes that carry it, and refuses anything malformed
// or overlong with a JxException (function "JxACL::decode"), never reading
// past the buffer.
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include <string>
#include <vector>

namespace JxACL {

// Entry tags, as stored in the form.
enum Tag : uint8_t {
    TAG_USER_OBJ = 1,
    TAG_USER = 2,
    TAG_GROUP_OBJ = 3,
    TAG_GROUP = 4,
    TAG_MASK = 5,
    TAG_OTHER = 6,
};

// Permission bits of an entry.
enum Perm : uint8_t { PERM_EXECUTE = 1, PERM_WRITE = 2, PERM_READ = 4 };

struct Entry {
    uint8_t tag = 0;    // Tag
    uint8_t perms = 0;  // Perm bits, 0..7
    uint32_t id = 0;    // uid for TAG_USER, gid for TAG_GROUP, 0 otherwise
    bool operator==(const Entry&) const = default;
};

// A decoded form. An absent section means "nothing beyond the mode" for the
// access ACL and "no default ACL" for the default one.
struct Acl {
    bool hasAccess = false;
    bool hasDefault = false;
    std::vector<Entry> access;    // sorted by tag, then id
    std::vector<Entry> defaults;  // sorted by tag, then id
    bool operator==(const Acl&) const = default;
};

// Largest entry count of one section the decoder accepts (well above what any
// Linux file system stores per file).
constexpr size_t kMaxEntries = 8192;

// Form <-> structure. encode sorts the entries and checks each section as
// decode does; an Acl without sections encodes to no bytes, and no bytes
// decode to an Acl without sections. Both throw JxException on a section that
// is not a valid ACL (missing or repeated owner/group/other entry, named
// entries without a mask, a repeated id, unknown tag, perms above 7).
std::vector<unsigned char> encode(const Acl& acl);
Acl decode(const void* data, size_t len);

// Short text of a form for logs and the inspect tools, e.g.
// "access: user::rw-,user:1000:r--,group::r--,mask::r--,other::---".
// Malformed input gives "(invalid ACL form: <reason>)", never an exception.
std::string toText(const void* data, size_t len);

class Helper {
  public:
    // Whether this build and host can read and set ACLs at all.
    static bool supported();

    // The network form of a file's ACLs: empty when the access ACL is just
    // the mode and there is no default ACL (also for symbolic links, and on
    // file systems without ACL support). Errors throw JxException with the
    // path and the errno text.
    std::vector<unsigned char> get(const std::string& path) const;
    // The same from an open descriptor (any kind, O_PATH included).
    std::vector<unsigned char> get(int fd) const;
    // The same for a descriptor (not O_PATH) whose fstat the caller holds:
    // an entry other than a folder without an access ACL attribute, most
    // of them, costs one call instead of three.
    std::vector<unsigned char> get(int fd, const struct stat& st) const;

    // Makes the file's ACLs exactly what the form says: an access section is
    // set as the access ACL (which also sets the permission bits of the
    // mode, so apply after chmod), a missing one leaves the access ACL at the
    // mode (dropping named entries); for a directory a default section is
    // set as its default ACL and a missing one removes it. A malformed form
    // throws before anything changes; a file system without ACL support
    // throws only when the form asks for more than the mode (ENOTSUP).
    // Works on any descriptor kind (O_PATH too); never follows a symbolic
    // link.
    void apply(int fd, const void* data, size_t len) const;
    // Opens path without following a final symbolic link and applies.
    void apply(const std::string& path, const void* data, size_t len) const;
};

}  // namespace JxACL
