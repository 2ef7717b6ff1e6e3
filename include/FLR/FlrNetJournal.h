#pragma once
// The path-based network form of a journal record, carried by FLR_NET_JOURNAL
// messages: a 20-byte header (cmd, 24-bit rec_len, seq_num, timestamp,
// 32-bit mask; no device number) and a body per command in which every file
// is named by its path. Packed, big-endian, strings with their NUL. Codes are
// the FLR_JRN_* codes; WRITE_DDR and TXTMSG have no network form.
//
// Errors are JxException with source "FlrNetJournal" and code -1. The plain
// decoder trusts its input; input from a socket or a file goes through the
// checked overload that knows the buffer length.
#include <cstddef>
#include <cstdint>

#include "FLR/FlrExport.h"
#include "FLR/FlrRawJournal.h"

constexpr size_t FLR_JRN_NET_HDR_SIZE = 20;

// True for the codes the network form carries: 0..22 except 3 and 19.
FLR_EXPORT bool isNetJrnCode(uint32_t code);

struct FLR_EXPORT FlrJrnHeaderNet {
    uint32_t cmd;
    uint32_t rec_len;
    uint64_t seq_num;
    uint32_t timestamp;
    uint32_t mask;
};

struct FLR_EXPORT FlrJrnNetSnap {
    uint64_t job_id;
    const char* job_token;
    uint64_t set_id;  // 32 bits on the wire
};

struct FLR_EXPORT FlrJrnNetSetattr {
    const char* path;
    uint8_t mode_valid;
    uint8_t uid_valid;
    uint8_t gid_valid;
    uint8_t atime_valid;
    uint8_t mtime_valid;
    uint8_t size_valid;
    uint32_t mode;
    uint64_t uid;
    uint64_t gid;
    FlrJrnTime atime;
    FlrJrnTime mtime;
    uint64_t size;
};

// WRITE and TWRITE.
struct FLR_EXPORT FlrJrnNetWrite {
    const char* path;
    uint64_t offset;
    uint32_t size;
    const void* data;
};

// CREATE; MKDIR uses the same body without rdev.
struct FLR_EXPORT FlrJrnNetCreate {
    const char* path;
    uint32_t mode;
    uint64_t uid;
    uint64_t gid;
    FlrJrnTime atime;
    FlrJrnTime mtime;
    uint64_t rdev;
};

// REMOVE and UNSTUB.
struct FLR_EXPORT FlrJrnNetPath {
    const char* path;
};

struct FLR_EXPORT FlrJrnNetRmdir {
    uint32_t rmdir_flag;  // one byte on the wire
    const char* path;
};

// LINK and RENAME.
struct FLR_EXPORT FlrJrnNetLink {
    const char* src_path;
    const char* dst_path;
};

struct FLR_EXPORT FlrJrnNetSymlink {
    const char* src_name;
    const char* dst_path;
    uint64_t uid;
    uint64_t gid;
};

struct FLR_EXPORT FlrJrnNetSetflags {
    const char* path;
    uint32_t flags;
};

struct FLR_EXPORT FlrJrnNetSetAcl {
    const char* path;
    uint32_t acl_word;
    uint32_t data_len;
    const void* data;
};

// SETXATTR and SETXATTR_AIX.
struct FLR_EXPORT FlrJrnNetSetxattr {
    const char* path;
    uint32_t flags;
    const char* attr_name;
    uint32_t attr_len;
    const void* value;
};

// RMXATTR and RMXATTR_AIX.
struct FLR_EXPORT FlrJrnNetRmxattr {
    const char* path;
    const char* attr_name;
};

struct FLR_EXPORT FlrJrnNetStub {
    const char* path;
    const char* meta;
};

struct FLR_EXPORT FlrJrnNetFclear {
    const char* path;
    uint64_t offset;
    uint64_t length;
};

// A decoded network record; the body that `cmd` selects is the live member.
struct FLR_EXPORT FlrJrnCommandNet {
    uint32_t cmd;
    uint64_t seq_num;
    uint32_t timestamp;
    uint32_t mask;
    union {
        FlrJrnNoop noop;
        FlrJrnNetSnap snap;
        FlrJrnNetSetattr setattr;
        FlrJrnNetWrite write;  // WRITE, TWRITE
        FlrJrnNetCreate create;
        FlrJrnNetCreate mkdir;  // rdev unused
        FlrJrnNetPath remove;
        FlrJrnNetRmdir rmdir;
        FlrJrnNetLink link;
        FlrJrnNetSymlink symlink;
        FlrJrnNetLink rename;
        FlrJrnNetSetflags setflags;
        FlrJrnNetSetAcl setacl;
        FlrJrnNetSetxattr setxattr;  // SETXATTR, SETXATTR_AIX
        FlrJrnNetRmxattr rmxattr;    // RMXATTR, RMXATTR_AIX
        FlrJrnNetStub stub;
        FlrJrnNetPath unstub;
        FlrJrnNetFclear fclear;
    };
};

// Header only, rec_len included; throws on a null pointer.
FLR_EXPORT void decodeNetHdr(const void* buf, FlrJrnHeaderNet* hdr);
// Checked: also throws when len is shorter than the header or rec_len is
// shorter than the header. rec_len may exceed len (a reader learns how much
// more to fetch).
FLR_EXPORT void decodeNetHdr(const void* buf, size_t len, FlrJrnHeaderNet* hdr);

// Trusting decoder; throws on a null pointer or an unsupported code.
FLR_EXPORT void decodeNetCmd(const void* buf, FlrJrnCommandNet* cmd);
// Checked decoder for untrusted input: throws (function "decodeNetCmd") for
// a buffer shorter than the header, rec_len outside [20, len], any field,
// string (its NUL) or payload past rec_len, an unsupported code, and a record
// whose fields do not fill rec_len exactly. Reads nothing past
// min(len, rec_len) and allocates nothing unless it throws.
FLR_EXPORT void decodeNetCmd(const void* buf, size_t len, FlrJrnCommandNet* cmd);

// Encoded size; throws on a null pointer, an unsupported code, or a record
// that would not fit the 24-bit rec_len.
FLR_EXPORT int getNetCmdSize(const FlrJrnCommandNet* cmd);

// Encodes into buf, which holds at least getNetCmdSize bytes.
FLR_EXPORT void encodeNetCmd(const FlrJrnCommandNet* cmd, void* buf);
// Encodes into a malloc buffer the caller owns (and frees): grown to the
// size rounded up to a multiple of 1024 when too small, never shrunk.
// Returns the encoded size.
FLR_EXPORT int encodeNetCmd(const FlrJrnCommandNet* cmd, char*& buf, int& capacity);

// Multi-line dump in the style of printRawCmd (labels padded with dots to
// 17 characters, no trailing newline); the last byte of buf is always NUL.
FLR_EXPORT void printNetCmd(char* buf, size_t size, const FlrJrnCommandNet* cmd);
