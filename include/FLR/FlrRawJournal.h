#pragma once
// The journal driver's raw record: command codes, the decoded forms and the
// codec. A record is packed and big-endian: a 26-byte header (cmd, 24-bit
// rec_len, devt, seq_num, timestamp, 16-bit mask) and a body per command in
// which files are named by fsf_fid. Strings keep their NUL. Decoded string
// and payload pointers point into the record buffer, so a decoded record is
// valid only while that buffer lives.
//
// The plain decoders trust their input (a complete record whose strings end
// inside it). Anything read from a disk or a network goes through the checked
// overloads that know the buffer length.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FLR/FlrExport.h"
#include "FLR/FlrFid.h"

enum FlrJrnCode : uint32_t {
    FLR_JRN_NOOP = 0,
    FLR_JRN_SNAP = 1,
    FLR_JRN_SETATTR = 2,
    // 3 is unassigned.
    FLR_JRN_WRITE = 4,
    FLR_JRN_CREATE = 5,
    FLR_JRN_MKDIR = 6,
    FLR_JRN_REMOVE = 7,
    FLR_JRN_RMDIR = 8,
    FLR_JRN_LINK = 9,
    FLR_JRN_SYMLINK = 10,
    FLR_JRN_RENAME = 11,
    FLR_JRN_EXT2_SETFLAGS = 12,
    FLR_JRN_SET_ACL = 13,
    FLR_JRN_SETXATTR = 14,
    FLR_JRN_RMXATTR = 15,
    FLR_JRN_STUB = 16,
    FLR_JRN_UNSTUB = 17,
    FLR_JRN_TWRITE = 18,
    FLR_JRN_WRITE_DDR = 19,
    FLR_JRN_FCLEAR = 20,
    FLR_JRN_SETXATTR_AIX = 21,
    FLR_JRN_RMXATTR_AIX = 22,
    FLR_JRN_TXTMSG = 23,
};

constexpr uint32_t FLR_JRN_MAX_CODE = FLR_JRN_TXTMSG;
constexpr size_t FLR_JRN_RAW_HDR_SIZE = 26;
// rec_len is 24 bits wide.
constexpr uint32_t FLR_JRN_MAX_REC_LEN = 0xFFFFFF;

// "FLR_JRN_WRITE" for a code, "UNKNOWN" for 3 and codes above 23.
FLR_EXPORT const char* flrJrnCodeName(uint32_t code);

// The 26-byte header in host form.
struct FLR_EXPORT FlrJrnHeader {
    uint32_t cmd;
    uint32_t rec_len;
    uint64_t devt;
    uint64_t seq_num;
    uint32_t timestamp;
    uint32_t mask;  // 16-bit value
};

// A time pair: whole seconds, then the sub-second part as the driver gives
// it. Stored as two u32 values; decoding zero-extends, encoding keeps the low
// 32 bits.
struct FLR_EXPORT FlrJrnTime {
    int64_t sec;
    int64_t sub;
};

struct FLR_EXPORT FlrJrnNoop {
    uint8_t reserved;  // cleared by decoding
};

struct FLR_EXPORT FlrJrnSnap {
    uint64_t job_id;
    const char* job_token;
    uint64_t set_id;
};

struct FLR_EXPORT FlrJrnSetattr {
    fsf_fid fid;
    uint8_t mode_valid;
    uint8_t uid_valid;
    uint8_t gid_valid;
    uint8_t atime_valid;
    uint8_t mtime_valid;
    uint8_t ctime_valid;
    uint8_t size_valid;
    uint8_t blocks_valid;
    uint32_t mode;
    uint64_t uid;
    uint64_t gid;
    FlrJrnTime atime;
    FlrJrnTime mtime;
    FlrJrnTime ctime;
    uint64_t size;
    uint64_t blocks;
};

// WRITE, TWRITE and (without data) WRITE_DDR.
struct FLR_EXPORT FlrJrnWrite {
    fsf_fid fid;
    uint64_t offset;
    uint32_t size;
    const void* data;
};

// CREATE; MKDIR uses the same body without rdev.
struct FLR_EXPORT FlrJrnCreate {
    fsf_fid par_fid;
    fsf_fid fid;
    const char* short_name;
    uint32_t mode;
    uint64_t uid;
    uint64_t gid;
    FlrJrnTime atime;
    FlrJrnTime mtime;
    uint64_t rdev;
};

struct FLR_EXPORT FlrJrnRemove {
    fsf_fid par_fid;
    const char* short_name;
    fsf_fid file_fid;
    int32_t nlink;
};

struct FLR_EXPORT FlrJrnRmdir {
    fsf_fid dir_fid;
    fsf_fid par_fid;
    const char* short_name;
};

struct FLR_EXPORT FlrJrnLink {
    fsf_fid src_fid;
    fsf_fid dst_par_fid;
    const char* dst_short_name;
};

struct FLR_EXPORT FlrJrnSymlink {
    const char* src_name;
    fsf_fid dst_par_fid;
    const char* dst_short_name;
    fsf_fid dst_fid;
    uint64_t uid;
    uint64_t gid;
};

struct FLR_EXPORT FlrJrnRename {
    fsf_fid src_fid;
    fsf_fid src_par_fid;
    const char* src_short_name;
    int32_t dst_fid_valid;  // one byte in the record
    fsf_fid dst_fid;
    fsf_fid dst_par_fid;
    const char* dst_short_name;
};

struct FLR_EXPORT FlrJrnSetflags {
    fsf_fid fid;
    uint32_t flags;
};

struct FLR_EXPORT FlrJrnSetAcl {
    fsf_fid fid;
    uint32_t data_len;
    const void* data;
};

// SETXATTR and SETXATTR_AIX.
struct FLR_EXPORT FlrJrnSetxattr {
    fsf_fid fid;
    uint32_t flags;
    const char* attr_name;
    uint32_t attr_len;
    const void* value;
};

// RMXATTR and RMXATTR_AIX.
struct FLR_EXPORT FlrJrnRmxattr {
    fsf_fid fid;
    const char* attr_name;
};

struct FLR_EXPORT FlrJrnStub {
    fsf_fid fid;
    const char* meta;
};

struct FLR_EXPORT FlrJrnUnstub {
    fsf_fid fid;
};

struct FLR_EXPORT FlrJrnFclear {
    fsf_fid fid;
    uint64_t offset;
    uint64_t length;
};

struct FLR_EXPORT FlrJrnTxtmsg {
    const char* msg;
};

// A decoded raw record; the body that `cmd` selects is the live member.
struct FLR_EXPORT FlrJrnCommand {
    uint32_t cmd;
    int32_t timestamp;
    uint64_t seq_num;
    uint64_t devt;
    int32_t mask;  // 16-bit value
    union {
        FlrJrnNoop noop;
        FlrJrnSnap snap;
        FlrJrnSetattr setattr;
        FlrJrnWrite write;  // WRITE, TWRITE, WRITE_DDR
        FlrJrnCreate create;
        FlrJrnCreate mkdir;  // rdev unused
        FlrJrnRemove remove;
        FlrJrnRmdir rmdir;
        FlrJrnLink link;
        FlrJrnSymlink symlink;
        FlrJrnRename rename;
        FlrJrnSetflags setflags;
        FlrJrnSetAcl setacl;
        FlrJrnSetxattr setxattr;  // SETXATTR, SETXATTR_AIX
        FlrJrnRmxattr rmxattr;    // RMXATTR, RMXATTR_AIX
        FlrJrnStub stub;
        FlrJrnUnstub unstub;
        FlrJrnFclear fclear;
        FlrJrnTxtmsg txtmsg;
    };
};

// Moves a bulk payload into the record being encoded: (destination in the
// record, source, length, context); its result becomes __encodeRawCmd's.
typedef int (*FlrJrnCopyFn)(void* dst, const void* src, int len, void* ctx);

// Header only, rec_len included. Does nothing when a pointer is null.
FLR_EXPORT void decodeRawHdr(const void* buf, FlrJrnHeader* hdr);
// Checked: -1 (reason in *why) when len is shorter than the header or
// rec_len is shorter than the header. rec_len may exceed len, so a reader
// can learn how much more to fetch.
FLR_EXPORT int decodeRawHdr(const void* buf, size_t len, FlrJrnHeader* hdr,
                            std::string* why = nullptr);
// Writes the 26 header bytes.
FLR_EXPORT void encodeRawHdr(const FlrJrnHeader* hdr, void* buf);

// Trusting decoder: 0, or -1 for a null pointer, code 3 or a code above 23.
FLR_EXPORT int decodeRawCmd(const void* buf, FlrJrnCommand* cmd);
// Checked decoder for untrusted input: 0, or -1 with the reason in *why.
// Refuses a buffer shorter than the header, rec_len outside [26, len], any
// field or string (its NUL) or payload past rec_len, an unknown code, and a
// record whose fields do not fill rec_len exactly. Reads nothing past
// min(len, rec_len); allocates only to fill *why on failure.
FLR_EXPORT int decodeRawCmd(const void* buf, size_t len, FlrJrnCommand* cmd,
                            std::string* why = nullptr);

// Encoded size; 0 for a null pointer, an unknown code, or a record that
// would not fit the 24-bit rec_len.
FLR_EXPORT int getRawCmdSize(const FlrJrnCommand* cmd);

// Encodes into buf (getRawCmdSize bytes). -1 for a null pointer or a record
// too long for rec_len; otherwise the copy callback's result for the
// commands that use one, else 0.
FLR_EXPORT int __encodeRawCmd(const FlrJrnCommand* cmd, void* buf, FlrJrnCopyFn copyFn, void* ctx);
FLR_EXPORT int encodeRawCmd(const FlrJrnCommand* cmd, void* buf);

// Multi-line dump ("cmd.............. FLR_JRN_WRITE" ...) into buf; the last
// byte of buf is always NUL, so a short buffer gives a truncated dump.
FLR_EXPORT void printRawCmd(char* buf, size_t size, const FlrJrnCommand* cmd);
