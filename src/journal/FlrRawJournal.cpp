#include "FLR/FlrRawJournal.h"

#include <cstdio>
#include <cstring>

#include "FLR/platform/JxException.h"
#include "FlrJrnWire.h"

using flrwire::load16;
using flrwire::load24;
using flrwire::load32;
using flrwire::load64;
using flrwire::strLen;

namespace {

constexpr const char* kCodeNames[] = {
    "FLR_JRN_NOOP",          "FLR_JRN_SNAP",         "FLR_JRN_SETATTR",     "UNKNOWN",
    "FLR_JRN_WRITE",         "FLR_JRN_CREATE",       "FLR_JRN_MKDIR",       "FLR_JRN_REMOVE",
    "FLR_JRN_RMDIR",         "FLR_JRN_LINK",         "FLR_JRN_SYMLINK",     "FLR_JRN_RENAME",
    "FLR_JRN_EXT2_SETFLAGS", "FLR_JRN_SET_ACL",      "FLR_JRN_SETXATTR",    "FLR_JRN_RMXATTR",
    "FLR_JRN_STUB",          "FLR_JRN_UNSTUB",       "FLR_JRN_TWRITE",      "FLR_JRN_WRITE_DDR",
    "FLR_JRN_FCLEAR",        "FLR_JRN_SETXATTR_AIX", "FLR_JRN_RMXATTR_AIX", "FLR_JRN_TXTMSG",
};

bool isRawCode(uint32_t code) {
    return code <= FLR_JRN_MAX_CODE && code != 3;
}

template <bool C>
void readTime(flrwire::Reader<C>& r, FlrJrnTime& t, const char* field) {
    t.sec = r.u32(field);
    t.sub = r.u32(field);
}

template <bool C>
void readCreate(flrwire::Reader<C>& r, FlrJrnCreate& b, bool withRdev) {
    r.fid(b.par_fid, "par_fid");
    r.fid(b.fid, "fid");
    b.short_name = r.str("short_name");
    b.mode = r.u32("mode");
    b.uid = r.u64("uid");
    b.gid = r.u64("gid");
    readTime(r, b.atime, "atime");
    readTime(r, b.mtime, "mtime");
    if (withRdev) b.rdev = r.u64("rdev");
}

template <bool C>
void readSetattr(flrwire::Reader<C>& r, FlrJrnSetattr& b) {
    r.fid(b.fid, "fid");
    b.mode_valid = r.u8("mode_valid");
    b.uid_valid = r.u8("uid_valid");
    b.gid_valid = r.u8("gid_valid");
    b.atime_valid = r.u8("atime_valid");
    b.mtime_valid = r.u8("mtime_valid");
    b.ctime_valid = r.u8("ctime_valid");
    b.size_valid = r.u8("size_valid");
    b.blocks_valid = r.u8("blocks_valid");
    b.mode = r.u32("mode");
    b.uid = r.u64("uid");
    b.gid = r.u64("gid");
    readTime(r, b.atime, "atime");
    readTime(r, b.mtime, "mtime");
    readTime(r, b.ctime, "ctime");
    b.size = r.u64("size");
    b.blocks = r.u64("blocks");
}

template <bool C>
void readRename(flrwire::Reader<C>& r, FlrJrnRename& b) {
    r.fid(b.src_fid, "src_fid");
    r.fid(b.src_par_fid, "src_par_fid");
    b.src_short_name = r.str("src_short_name");
    b.dst_fid_valid = r.u8("dst_fid_valid");
    r.fid(b.dst_fid, "dst_fid");
    r.fid(b.dst_par_fid, "dst_par_fid");
    b.dst_short_name = r.str("dst_short_name");
}

template <bool C>
void readSymlink(flrwire::Reader<C>& r, FlrJrnSymlink& b) {
    b.src_name = r.str("src_name");
    r.fid(b.dst_par_fid, "dst_par_fid");
    b.dst_short_name = r.str("dst_short_name");
    r.fid(b.dst_fid, "dst_fid");
    b.uid = r.u64("uid");
    b.gid = r.u64("gid");
}

// Walks the body of cmd->cmd; false for a code without a raw form.
template <bool C>
bool readRawBody(flrwire::Reader<C>& r, FlrJrnCommand* c) {
    switch (c->cmd) {
        case FLR_JRN_NOOP:
            c->noop.reserved = 0;
            return true;
        case FLR_JRN_SNAP:
            c->snap.job_id = r.u64("job_id");
            c->snap.job_token = r.str("job_token");
            c->snap.set_id = r.u64("set_id");
            return true;
        case FLR_JRN_SETATTR:
            readSetattr(r, c->setattr);
            return true;
        case FLR_JRN_WRITE:
        case FLR_JRN_TWRITE:
        case FLR_JRN_WRITE_DDR:
            r.fid(c->write.fid, "fid");
            c->write.offset = r.u64("offset");
            c->write.size = r.u32("size");
            c->write.data = c->cmd == FLR_JRN_WRITE_DDR ? nullptr : r.bytes(c->write.size, "data");
            return true;
        case FLR_JRN_CREATE:
            readCreate(r, c->create, true);
            return true;
        case FLR_JRN_MKDIR:
            readCreate(r, c->mkdir, false);
            return true;
        case FLR_JRN_REMOVE:
            r.fid(c->remove.par_fid, "par_fid");
            c->remove.short_name = r.str("short_name");
            r.fid(c->remove.file_fid, "file_fid");
            c->remove.nlink = static_cast<int32_t>(r.u32("nlink"));
            return true;
        case FLR_JRN_RMDIR:
            r.fid(c->rmdir.dir_fid, "dir_fid");
            r.fid(c->rmdir.par_fid, "par_fid");
            c->rmdir.short_name = r.str("short_name");
            return true;
        case FLR_JRN_LINK:
            r.fid(c->link.src_fid, "src_fid");
            r.fid(c->link.dst_par_fid, "dst_par_fid");
            c->link.dst_short_name = r.str("dst_short_name");
            return true;
        case FLR_JRN_SYMLINK:
            readSymlink(r, c->symlink);
            return true;
        case FLR_JRN_RENAME:
            readRename(r, c->rename);
            return true;
        case FLR_JRN_EXT2_SETFLAGS:
            r.fid(c->setflags.fid, "fid");
            c->setflags.flags = r.u32("flags");
            return true;
        case FLR_JRN_SET_ACL:
            r.fid(c->setacl.fid, "fid");
            c->setacl.data_len = r.u32("data_len");
            c->setacl.data = r.bytes(c->setacl.data_len, "data");
            return true;
        case FLR_JRN_SETXATTR:
        case FLR_JRN_SETXATTR_AIX:
            r.fid(c->setxattr.fid, "fid");
            c->setxattr.flags = r.u32("flags");
            c->setxattr.attr_name = r.str("attr_name");
            c->setxattr.attr_len = r.u32("attr_len");
            c->setxattr.value = r.bytes(c->setxattr.attr_len, "attr_value");
            return true;
        case FLR_JRN_RMXATTR:
        case FLR_JRN_RMXATTR_AIX:
            r.fid(c->rmxattr.fid, "fid");
            c->rmxattr.attr_name = r.str("attr_name");
            return true;
        case FLR_JRN_STUB:
            r.fid(c->stub.fid, "fid");
            c->stub.meta = r.str("meta");
            return true;
        case FLR_JRN_UNSTUB:
            r.fid(c->unstub.fid, "fid");
            return true;
        case FLR_JRN_FCLEAR:
            r.fid(c->fclear.fid, "fid");
            c->fclear.offset = r.u64("offset");
            c->fclear.length = r.u64("length");
            return true;
        case FLR_JRN_TXTMSG:
            c->txtmsg.msg = r.str("msg");
            return true;
        default:
            return false;
    }
}

void readRawHeader(const uint8_t* p, FlrJrnCommand* c) {
    c->cmd = p[0];
    c->devt = load64(p + 4);
    c->seq_num = load64(p + 12);
    c->timestamp = static_cast<int32_t>(load32(p + 20));
    c->mask = load16(p + 24);
}

int refuse(std::string* why, std::string text) {
    if (why) *why = std::move(text);
    return -1;
}

// Total encoded size; 0 when the code has no raw form. Computed wide so that
// a record too long for rec_len is seen rather than wrapped.
uint64_t rawSize(const FlrJrnCommand* c) {
    switch (c->cmd) {
        case FLR_JRN_NOOP:
            return 26;
        case FLR_JRN_SNAP:
            return 43 + strLen(c->snap.job_token);
        case FLR_JRN_SETATTR:
            return 118;
        case FLR_JRN_WRITE:
        case FLR_JRN_TWRITE:
            return 62 + uint64_t{c->write.size};
        case FLR_JRN_CREATE:
            return 119 + strLen(c->create.short_name);
        case FLR_JRN_MKDIR:
            return 111 + strLen(c->mkdir.short_name);
        case FLR_JRN_REMOVE:
            return 79 + strLen(c->remove.short_name);
        case FLR_JRN_RMDIR:
            return 75 + strLen(c->rmdir.short_name);
        case FLR_JRN_LINK:
            return 75 + strLen(c->link.dst_short_name);
        case FLR_JRN_SYMLINK:
            return 92 + strLen(c->symlink.src_name) + strLen(c->symlink.dst_short_name);
        case FLR_JRN_RENAME:
            return 125 + strLen(c->rename.src_short_name) + strLen(c->rename.dst_short_name);
        case FLR_JRN_EXT2_SETFLAGS:
            return 54;
        case FLR_JRN_SET_ACL:
            return 54 + uint64_t{c->setacl.data_len};
        case FLR_JRN_SETXATTR:
        case FLR_JRN_SETXATTR_AIX:
            return 59 + strLen(c->setxattr.attr_name) + uint64_t{c->setxattr.attr_len};
        case FLR_JRN_RMXATTR:
        case FLR_JRN_RMXATTR_AIX:
            return 51 + strLen(c->rmxattr.attr_name);
        case FLR_JRN_STUB:
            return 51 + strLen(c->stub.meta);
        case FLR_JRN_UNSTUB:
            return 50;
        case FLR_JRN_WRITE_DDR:
            return 62;
        case FLR_JRN_FCLEAR:
            return 66;
        case FLR_JRN_TXTMSG:
            return 27 + strLen(c->txtmsg.msg);
        default:
            return 0;
    }
}

void writeTime(flrwire::Writer& w, const FlrJrnTime& t) {
    w.u32(static_cast<uint32_t>(t.sec));
    w.u32(static_cast<uint32_t>(t.sub));
}

// Lays down the header once the record's total size is known; a record that
// cannot carry its length in 24 bits is refused before a byte is written.
inline __attribute__((always_inline)) bool beginRecord(flrwire::Writer& w, const FlrJrnCommand* c,
                                                       uint64_t total) {
    if (total > FLR_JRN_MAX_REC_LEN) return false;
    w.u8(static_cast<uint8_t>(c->cmd));
    flrwire::store24(w.pos(), static_cast<uint32_t>(total));
    w.skip(3);
    w.u64(c->devt);
    w.u64(c->seq_num);
    w.u32(static_cast<uint32_t>(c->timestamp));
    flrwire::store16(w.pos(), static_cast<uint16_t>(c->mask));
    w.skip(2);
    return true;
}

// A bulk payload goes through the caller's copy routine when one is given;
// the length counts in full whatever the routine answers.
inline __attribute__((always_inline)) int writePayload(flrwire::Writer& w, const void* src,
                                                       uint32_t len, FlrJrnCopyFn copyFn,
                                                       void* ctx) {
    if (!copyFn) {
        w.bytes(src, len);
        return 0;
    }
    const int rc = copyFn(w.pos(), src, static_cast<int>(len), ctx);
    w.skip(len);
    return rc;
}

// One writer per body. Each measures its strings once, checks the total and
// only then writes; false (nothing written) when the record would not fit
// rec_len. Inlined into one flat switch: one indirect jump per record.
#define FLR_JRN_INLINE inline __attribute__((always_inline))

FLR_JRN_INLINE bool writeSnap(flrwire::Writer& w, const FlrJrnCommand* c) {
    const size_t n = strLen(c->snap.job_token);
    if (!beginRecord(w, c, 43 + n)) return false;
    w.u64(c->snap.job_id);
    w.strn(c->snap.job_token, n);
    w.u64(c->snap.set_id);
    return true;
}

FLR_JRN_INLINE bool writeSetattr(flrwire::Writer& w, const FlrJrnCommand* c) {
    const FlrJrnSetattr& b = c->setattr;
    beginRecord(w, c, 118);
    w.fid(b.fid);
    w.u8(b.mode_valid);
    w.u8(b.uid_valid);
    w.u8(b.gid_valid);
    w.u8(b.atime_valid);
    w.u8(b.mtime_valid);
    w.u8(b.ctime_valid);
    w.u8(b.size_valid);
    w.u8(b.blocks_valid);
    w.u32(b.mode);
    w.u64(b.uid);
    w.u64(b.gid);
    writeTime(w, b.atime);
    writeTime(w, b.mtime);
    writeTime(w, b.ctime);
    w.u64(b.size);
    w.u64(b.blocks);
    return true;
}

FLR_JRN_INLINE bool writeWrite(flrwire::Writer& w, const FlrJrnCommand* c, FlrJrnCopyFn copyFn,
                               void* ctx, int& rc) {
    const bool ddr = c->cmd == FLR_JRN_WRITE_DDR;
    if (!beginRecord(w, c, 62 + (ddr ? 0 : uint64_t{c->write.size}))) return false;
    w.fid(c->write.fid);
    w.u64(c->write.offset);
    w.u32(c->write.size);
    if (!ddr) rc = writePayload(w, c->write.data, c->write.size, copyFn, ctx);
    return true;
}

FLR_JRN_INLINE bool writeCreate(flrwire::Writer& w, const FlrJrnCommand* c) {
    const FlrJrnCreate& b = c->create;
    const bool withRdev = c->cmd == FLR_JRN_CREATE;
    const size_t n = strLen(b.short_name);
    if (!beginRecord(w, c, (withRdev ? 119 : 111) + n)) return false;
    w.fid(b.par_fid);
    w.fid(b.fid);
    w.strn(b.short_name, n);
    w.u32(b.mode);
    w.u64(b.uid);
    w.u64(b.gid);
    writeTime(w, b.atime);
    writeTime(w, b.mtime);
    if (withRdev) w.u64(b.rdev);
    return true;
}

FLR_JRN_INLINE bool writeRemove(flrwire::Writer& w, const FlrJrnCommand* c) {
    const size_t n = strLen(c->remove.short_name);
    if (!beginRecord(w, c, 79 + n)) return false;
    w.fid(c->remove.par_fid);
    w.strn(c->remove.short_name, n);
    w.fid(c->remove.file_fid);
    w.u32(static_cast<uint32_t>(c->remove.nlink));
    return true;
}

FLR_JRN_INLINE bool writeRmdir(flrwire::Writer& w, const FlrJrnCommand* c) {
    const size_t n = strLen(c->rmdir.short_name);
    if (!beginRecord(w, c, 75 + n)) return false;
    w.fid(c->rmdir.dir_fid);
    w.fid(c->rmdir.par_fid);
    w.strn(c->rmdir.short_name, n);
    return true;
}

FLR_JRN_INLINE bool writeLink(flrwire::Writer& w, const FlrJrnCommand* c) {
    const size_t n = strLen(c->link.dst_short_name);
    if (!beginRecord(w, c, 75 + n)) return false;
    w.fid(c->link.src_fid);
    w.fid(c->link.dst_par_fid);
    w.strn(c->link.dst_short_name, n);
    return true;
}

FLR_JRN_INLINE bool writeSymlink(flrwire::Writer& w, const FlrJrnCommand* c) {
    const FlrJrnSymlink& b = c->symlink;
    const size_t n = strLen(b.src_name), m = strLen(b.dst_short_name);
    if (!beginRecord(w, c, 92 + n + m)) return false;
    w.strn(b.src_name, n);
    w.fid(b.dst_par_fid);
    w.strn(b.dst_short_name, m);
    w.fid(b.dst_fid);
    w.u64(b.uid);
    w.u64(b.gid);
    return true;
}

FLR_JRN_INLINE bool writeRename(flrwire::Writer& w, const FlrJrnCommand* c) {
    const FlrJrnRename& b = c->rename;
    const size_t n = strLen(b.src_short_name), m = strLen(b.dst_short_name);
    if (!beginRecord(w, c, 125 + n + m)) return false;
    w.fid(b.src_fid);
    w.fid(b.src_par_fid);
    w.strn(b.src_short_name, n);
    w.u8(static_cast<uint8_t>(b.dst_fid_valid));
    w.fid(b.dst_fid);
    w.fid(b.dst_par_fid);
    w.strn(b.dst_short_name, m);
    return true;
}

FLR_JRN_INLINE bool writeSetflags(flrwire::Writer& w, const FlrJrnCommand* c) {
    beginRecord(w, c, 54);
    w.fid(c->setflags.fid);
    w.u32(c->setflags.flags);
    return true;
}

FLR_JRN_INLINE bool writeSetAcl(flrwire::Writer& w, const FlrJrnCommand* c, FlrJrnCopyFn copyFn,
                                void* ctx, int& rc) {
    if (!beginRecord(w, c, 54 + uint64_t{c->setacl.data_len})) return false;
    w.fid(c->setacl.fid);
    w.u32(c->setacl.data_len);
    rc = writePayload(w, c->setacl.data, c->setacl.data_len, copyFn, ctx);
    return true;
}

FLR_JRN_INLINE bool writeSetxattr(flrwire::Writer& w, const FlrJrnCommand* c, FlrJrnCopyFn copyFn,
                                  void* ctx, int& rc) {
    const FlrJrnSetxattr& b = c->setxattr;
    const size_t n = strLen(b.attr_name);
    if (!beginRecord(w, c, 59 + n + uint64_t{b.attr_len})) return false;
    w.fid(b.fid);
    w.u32(b.flags);
    w.strn(b.attr_name, n);
    w.u32(b.attr_len);
    // The AIX variant always copies directly.
    rc = writePayload(w, b.value, b.attr_len, c->cmd == FLR_JRN_SETXATTR ? copyFn : nullptr, ctx);
    return true;
}

// RMXATTR, RMXATTR_AIX and STUB: a fid and one string.
FLR_JRN_INLINE bool writeFidName(flrwire::Writer& w, const FlrJrnCommand* c, const fsf_fid& fid,
                                 const char* name) {
    const size_t n = strLen(name);
    if (!beginRecord(w, c, 51 + n)) return false;
    w.fid(fid);
    w.strn(name, n);
    return true;
}

FLR_JRN_INLINE bool writeFclear(flrwire::Writer& w, const FlrJrnCommand* c) {
    beginRecord(w, c, 66);
    w.fid(c->fclear.fid);
    w.u64(c->fclear.offset);
    w.u64(c->fclear.length);
    return true;
}

FLR_JRN_INLINE bool writeTxtmsg(flrwire::Writer& w, const FlrJrnCommand* c) {
    const size_t n = strLen(c->txtmsg.msg);
    if (!beginRecord(w, c, 27 + n)) return false;
    w.strn(c->txtmsg.msg, n);
    return true;
}

// Returns the copy callback's result (or 0); sets tooLong instead of writing
// when the record would not fit rec_len.
int writeRawRecord(flrwire::Writer& w, const FlrJrnCommand* c, FlrJrnCopyFn copyFn, void* ctx,
                   bool& tooLong) {
    int rc = 0;
    bool fits = true;
    switch (c->cmd) {
        case FLR_JRN_SNAP:
            fits = writeSnap(w, c);
            break;
        case FLR_JRN_SETATTR:
            fits = writeSetattr(w, c);
            break;
        case FLR_JRN_WRITE:
        case FLR_JRN_TWRITE:
        case FLR_JRN_WRITE_DDR:
            fits = writeWrite(w, c, copyFn, ctx, rc);
            break;
        case FLR_JRN_CREATE:
        case FLR_JRN_MKDIR:
            fits = writeCreate(w, c);
            break;
        case FLR_JRN_REMOVE:
            fits = writeRemove(w, c);
            break;
        case FLR_JRN_RMDIR:
            fits = writeRmdir(w, c);
            break;
        case FLR_JRN_LINK:
            fits = writeLink(w, c);
            break;
        case FLR_JRN_SYMLINK:
            fits = writeSymlink(w, c);
            break;
        case FLR_JRN_RENAME:
            fits = writeRename(w, c);
            break;
        case FLR_JRN_EXT2_SETFLAGS:
            fits = writeSetflags(w, c);
            break;
        case FLR_JRN_SET_ACL:
            fits = writeSetAcl(w, c, copyFn, ctx, rc);
            break;
        case FLR_JRN_SETXATTR:
        case FLR_JRN_SETXATTR_AIX:
            fits = writeSetxattr(w, c, copyFn, ctx, rc);
            break;
        case FLR_JRN_RMXATTR:
        case FLR_JRN_RMXATTR_AIX:
            fits = writeFidName(w, c, c->rmxattr.fid, c->rmxattr.attr_name);
            break;
        case FLR_JRN_STUB:
            fits = writeFidName(w, c, c->stub.fid, c->stub.meta);
            break;
        case FLR_JRN_UNSTUB:
            beginRecord(w, c, 50);
            w.fid(c->unstub.fid);
            break;
        case FLR_JRN_FCLEAR:
            fits = writeFclear(w, c);
            break;
        case FLR_JRN_TXTMSG:
            fits = writeTxtmsg(w, c);
            break;
        default:  // NOOP, 3 and unknown codes: the bare header
            beginRecord(w, c, FLR_JRN_RAW_HDR_SIZE);
            break;
    }
    tooLong = !fits;
    return fits ? rc : -1;
}

#undef FLR_JRN_INLINE

}  // namespace

const char* flrJrnCodeName(uint32_t code) {
    return code <= FLR_JRN_MAX_CODE ? kCodeNames[code] : "UNKNOWN";
}

void decodeRawHdr(const void* buf, FlrJrnHeader* hdr) {
    if (!buf || !hdr) return;
    const auto* p = static_cast<const uint8_t*>(buf);
    hdr->cmd = p[0];
    hdr->rec_len = load24(p + 1);
    hdr->devt = load64(p + 4);
    hdr->seq_num = load64(p + 12);
    hdr->timestamp = load32(p + 20);
    hdr->mask = load16(p + 24);
}

int decodeRawHdr(const void* buf, size_t len, FlrJrnHeader* hdr, std::string* why) {
    if (!buf || !hdr) return refuse(why, "null record or header pointer");
    if (len < FLR_JRN_RAW_HDR_SIZE) {
        return refuse(why, jxFormat("%zu bytes are too few for the %zu-byte record header", len,
                                    FLR_JRN_RAW_HDR_SIZE));
    }
    decodeRawHdr(buf, hdr);
    if (hdr->rec_len < FLR_JRN_RAW_HDR_SIZE) {
        return refuse(why, jxFormat("record length %u is shorter than the %zu-byte record header",
                                    hdr->rec_len, FLR_JRN_RAW_HDR_SIZE));
    }
    return 0;
}

void encodeRawHdr(const FlrJrnHeader* hdr, void* buf) {
    if (!hdr || !buf) return;
    auto* p = static_cast<uint8_t*>(buf);
    p[0] = static_cast<uint8_t>(hdr->cmd);
    flrwire::store24(p + 1, hdr->rec_len);
    flrwire::store64(p + 4, hdr->devt);
    flrwire::store64(p + 12, hdr->seq_num);
    flrwire::store32(p + 20, hdr->timestamp);
    flrwire::store16(p + 24, static_cast<uint16_t>(hdr->mask));
}

int decodeRawCmd(const void* buf, FlrJrnCommand* cmd) {
    if (!buf || !cmd) return -1;
    const auto* p = static_cast<const uint8_t*>(buf);
    readRawHeader(p, cmd);
    if (!isRawCode(cmd->cmd)) return -1;
    flrwire::Reader<false> r(p + FLR_JRN_RAW_HDR_SIZE, nullptr);
    readRawBody(r, cmd);
    return 0;
}

int decodeRawCmd(const void* buf, size_t len, FlrJrnCommand* cmd, std::string* why) {
    if (!buf || !cmd) return refuse(why, "null record or command pointer");
    if (len < FLR_JRN_RAW_HDR_SIZE) {
        return refuse(why, jxFormat("%zu bytes are too few for the %zu-byte record header", len,
                                    FLR_JRN_RAW_HDR_SIZE));
    }
    const auto* p = static_cast<const uint8_t*>(buf);
    const uint32_t recLen = load24(p + 1);
    if (recLen < FLR_JRN_RAW_HDR_SIZE) {
        return refuse(why, jxFormat("record length %u is shorter than the %zu-byte record header",
                                    recLen, FLR_JRN_RAW_HDR_SIZE));
    }
    if (recLen > len) {
        return refuse(why,
                      jxFormat("record length %u exceeds the %zu bytes available", recLen, len));
    }
    readRawHeader(p, cmd);
    if (!isRawCode(cmd->cmd)) {
        return refuse(why, jxFormat("unknown journal command %u", cmd->cmd));
    }
    flrwire::Reader<true> r(p + FLR_JRN_RAW_HDR_SIZE, p + recLen);
    readRawBody(r, cmd);
    if (!r.ok()) return refuse(why, r.faultText());
    if (r.remaining() != 0) {
        return refuse(why, jxFormat("record length %u is longer than the %zu bytes its %s fields "
                                    "take",
                                    recLen, recLen - r.remaining(), flrJrnCodeName(cmd->cmd)));
    }
    return 0;
}

int getRawCmdSize(const FlrJrnCommand* cmd) {
    if (!cmd) return 0;
    const uint64_t size = rawSize(cmd);
    return size <= FLR_JRN_MAX_REC_LEN ? static_cast<int>(size) : 0;
}

namespace {

// Shared by both exported encoders, so neither pays for a call through the
// symbol table to reach the other.
int encodeRecord(const FlrJrnCommand* cmd, void* buf, FlrJrnCopyFn copyFn, void* ctx) {
    if (!cmd || !buf) return -1;
    auto* p = static_cast<uint8_t*>(buf);
    flrwire::Writer w(p);
    bool tooLong = false;
    const int rc = writeRawRecord(w, cmd, copyFn, ctx, tooLong);
    if (tooLong) return -1;
    // The length written up front is the length produced.
    flrwire::store24(p + 1, static_cast<uint32_t>(w.written()));
    return rc;
}

}  // namespace

int __encodeRawCmd(const FlrJrnCommand* cmd, void* buf, FlrJrnCopyFn copyFn, void* ctx) {
    return encodeRecord(cmd, buf, copyFn, ctx);
}

int encodeRawCmd(const FlrJrnCommand* cmd, void* buf) {
    return encodeRecord(cmd, buf, nullptr, nullptr);
}

// --- printing ----------------------------------------------------------------
// Each dump is one snprintf: the common five lines, then the command's own.
// Every label is padded with dots to 17 characters.

#define FLR_RAW_HDR_FMT          \
    "cmd.............. %s"       \
    "\ntimestamp........ %ld"    \
    "\nseq_num.......... %lld"   \
    "\ndevt............. 0x%llx" \
    "\nmask............. 0x%02x"
#define FLR_RAW_HDR_ARGS(c)                                                               \
    flrJrnCodeName((c)->cmd), static_cast<long>((c)->timestamp),                          \
        static_cast<long long>((c)->seq_num), static_cast<unsigned long long>((c)->devt), \
        static_cast<unsigned>((c)->mask)
#define FLR_TIME_ARGS(t) static_cast<long>((t).sec), static_cast<long>((t).sub)

namespace {

struct FidText {
    explicit FidText(const fsf_fid& fid) { fid2hex(fid.bytes, text); }
    char text[fsf_fid::kHexLen + 1];
};

const char* orNull(const char* s) {
    return s ? s : "(null)";
}

void printCreate(char* buf, size_t size, const FlrJrnCommand* c) {
    const FlrJrnCreate& b = c->cmd == FLR_JRN_CREATE ? c->create : c->mkdir;
    FidText par(b.par_fid), fid(b.fid);
    if (c->cmd == FLR_JRN_CREATE) {
        snprintf(buf, size,
                 FLR_RAW_HDR_FMT
                 "\npar_fid.......... %s"
                 "\nfid.............. %s"
                 "\nshort_name....... %s"
                 "\nmode............. %o"
                 "\nuid.............. %lld"
                 "\ngid.............. %lld"
                 "\natime............ (%ld, %ld)"
                 "\nmtime............ (%ld, %ld)"
                 "\nrdev............. 0x%llx",
                 FLR_RAW_HDR_ARGS(c), par.text, fid.text, orNull(b.short_name), b.mode,
                 static_cast<long long>(b.uid), static_cast<long long>(b.gid),
                 FLR_TIME_ARGS(b.atime), FLR_TIME_ARGS(b.mtime),
                 static_cast<unsigned long long>(b.rdev));
    } else {
        snprintf(buf, size,
                 FLR_RAW_HDR_FMT
                 "\npar_fid.......... %s"
                 "\nfid.............. %s"
                 "\nshort_name....... %s"
                 "\nmode............. %o"
                 "\nuid.............. %lld"
                 "\ngid.............. %lld"
                 "\natime............ (%ld, %ld)"
                 "\nmtime............ (%ld, %ld)",
                 FLR_RAW_HDR_ARGS(c), par.text, fid.text, orNull(b.short_name), b.mode,
                 static_cast<long long>(b.uid), static_cast<long long>(b.gid),
                 FLR_TIME_ARGS(b.atime), FLR_TIME_ARGS(b.mtime));
    }
}

void printSetattr(char* buf, size_t size, const FlrJrnCommand* c) {
    const FlrJrnSetattr& b = c->setattr;
    FidText fid(b.fid);
    snprintf(buf, size,
             FLR_RAW_HDR_FMT
             "\nfid.............. %s"
             "\nmode_valid....... %d"
             "\nuid_valid........ %d"
             "\ngid_valid........ %d"
             "\natime_valid...... %d"
             "\nmtime_valid...... %d"
             "\nctime_valid...... %d"
             "\nsize_valid....... %d"
             "\nblocks_valid..... %d"
             "\nmode............. %o"
             "\nuid.............. %lld"
             "\ngid.............. %lld"
             "\natime............ (%ld, %ld)"
             "\nmtime............ (%ld, %ld)"
             "\nctime............ (%ld, %ld)"
             "\nsize............. %lld"
             "\nblocks........... %lld",
             FLR_RAW_HDR_ARGS(c), fid.text, b.mode_valid, b.uid_valid, b.gid_valid, b.atime_valid,
             b.mtime_valid, b.ctime_valid, b.size_valid, b.blocks_valid, b.mode,
             static_cast<long long>(b.uid), static_cast<long long>(b.gid), FLR_TIME_ARGS(b.atime),
             FLR_TIME_ARGS(b.mtime), FLR_TIME_ARGS(b.ctime), static_cast<long long>(b.size),
             static_cast<long long>(b.blocks));
}

void printWrite(char* buf, size_t size, const FlrJrnCommand* c) {
    const FlrJrnWrite& b = c->write;
    FidText fid(b.fid);
    if (c->cmd == FLR_JRN_WRITE_DDR) {
        snprintf(buf, size,
                 FLR_RAW_HDR_FMT
                 "\nfid.............. %s"
                 "\noffset........... %lld"
                 "\nsize............. %d",
                 FLR_RAW_HDR_ARGS(c), fid.text, static_cast<long long>(b.offset),
                 static_cast<int>(b.size));
        return;
    }
    char shown[61];
    flrwire::payloadPreview(b.data, b.size, shown);
    snprintf(buf, size,
             FLR_RAW_HDR_FMT
             "\nfid.............. %s"
             "\noffset........... %lld"
             "\nsize............. %d"
             "\ndata............. %s...",
             FLR_RAW_HDR_ARGS(c), fid.text, static_cast<long long>(b.offset),
             static_cast<int>(b.size), shown);
}

void printNames(char* buf, size_t size, const FlrJrnCommand* c) {
    switch (c->cmd) {
        case FLR_JRN_REMOVE: {
            FidText par(c->remove.par_fid), file(c->remove.file_fid);
            snprintf(buf, size,
                     FLR_RAW_HDR_FMT
                     "\npar_fid.......... %s"
                     "\nshort_name....... %s"
                     "\nfile_fid......... %s"
                     "\nnlink............ %d",
                     FLR_RAW_HDR_ARGS(c), par.text, orNull(c->remove.short_name), file.text,
                     c->remove.nlink);
            return;
        }
        case FLR_JRN_RMDIR: {
            FidText dir(c->rmdir.dir_fid), par(c->rmdir.par_fid);
            snprintf(buf, size,
                     FLR_RAW_HDR_FMT
                     "\ndir_fid.......... %s"
                     "\npar_fid.......... %s"
                     "\nshort_name....... %s",
                     FLR_RAW_HDR_ARGS(c), dir.text, par.text, orNull(c->rmdir.short_name));
            return;
        }
        case FLR_JRN_LINK: {
            FidText src(c->link.src_fid), par(c->link.dst_par_fid);
            snprintf(buf, size,
                     FLR_RAW_HDR_FMT
                     "\nsrc_fid.......... %s"
                     "\ndst_par_fid...... %s"
                     "\ndst_short_name... %s",
                     FLR_RAW_HDR_ARGS(c), src.text, par.text, orNull(c->link.dst_short_name));
            return;
        }
        case FLR_JRN_SYMLINK: {
            const FlrJrnSymlink& b = c->symlink;
            FidText par(b.dst_par_fid), dst(b.dst_fid);
            snprintf(buf, size,
                     FLR_RAW_HDR_FMT
                     "\nsrc_name......... %s"
                     "\ndst_par_fid...... %s"
                     "\ndst_short_name... %s"
                     "\ndst_fid.......... %s"
                     "\nuid.............. %lld"
                     "\ngid.............. %lld",
                     FLR_RAW_HDR_ARGS(c), orNull(b.src_name), par.text, orNull(b.dst_short_name),
                     dst.text, static_cast<long long>(b.uid), static_cast<long long>(b.gid));
            return;
        }
        default: {  // FLR_JRN_RENAME
            const FlrJrnRename& b = c->rename;
            FidText src(b.src_fid), srcPar(b.src_par_fid), dst(b.dst_fid), dstPar(b.dst_par_fid);
            snprintf(buf, size,
                     FLR_RAW_HDR_FMT
                     "\nsrc_fid.......... %s"
                     "\nsrc_par_fid...... %s"
                     "\nsrc_short_name... %s"
                     "\ndst_fid_valid.... %d"
                     "\ndst_fid.......... %s"
                     "\ndst_par_fid...... %s"
                     "\ndst_short_name... %s",
                     FLR_RAW_HDR_ARGS(c), src.text, srcPar.text, orNull(b.src_short_name),
                     b.dst_fid_valid, dst.text, dstPar.text, orNull(b.dst_short_name));
            return;
        }
    }
}

void printAttrs(char* buf, size_t size, const FlrJrnCommand* c) {
    switch (c->cmd) {
        case FLR_JRN_EXT2_SETFLAGS: {
            FidText fid(c->setflags.fid);
            snprintf(buf, size,
                     FLR_RAW_HDR_FMT
                     "\nfid.............. %s"
                     "\nflags............ 0x%x",
                     FLR_RAW_HDR_ARGS(c), fid.text, c->setflags.flags);
            return;
        }
        case FLR_JRN_SET_ACL: {
            FidText fid(c->setacl.fid);
            snprintf(buf, size,
                     FLR_RAW_HDR_FMT
                     "\nfid.............. %s"
                     "\ndata_len......... %d",
                     FLR_RAW_HDR_ARGS(c), fid.text, static_cast<int>(c->setacl.data_len));
            return;
        }
        case FLR_JRN_SETXATTR:
        case FLR_JRN_SETXATTR_AIX: {
            const FlrJrnSetxattr& b = c->setxattr;
            FidText fid(b.fid);
            snprintf(buf, size,
                     FLR_RAW_HDR_FMT
                     "\nfid.............. %s"
                     "\nflags............ %d"
                     "\nattr_name........ %s"
                     "\nattr_len......... %d",
                     FLR_RAW_HDR_ARGS(c), fid.text, static_cast<int>(b.flags), orNull(b.attr_name),
                     static_cast<int>(b.attr_len));
            return;
        }
        case FLR_JRN_RMXATTR:
        case FLR_JRN_RMXATTR_AIX: {
            FidText fid(c->rmxattr.fid);
            snprintf(buf, size,
                     FLR_RAW_HDR_FMT
                     "\nfid.............. %s"
                     "\nattr_name........ %s",
                     FLR_RAW_HDR_ARGS(c), fid.text, orNull(c->rmxattr.attr_name));
            return;
        }
        case FLR_JRN_STUB: {
            FidText fid(c->stub.fid);
            snprintf(buf, size,
                     FLR_RAW_HDR_FMT
                     "\nfid.............. %s"
                     "\nmeta............. %s",
                     FLR_RAW_HDR_ARGS(c), fid.text, orNull(c->stub.meta));
            return;
        }
        case FLR_JRN_UNSTUB: {
            FidText fid(c->unstub.fid);
            snprintf(buf, size, FLR_RAW_HDR_FMT "\nfid.............. %s", FLR_RAW_HDR_ARGS(c),
                     fid.text);
            return;
        }
        default: {  // FLR_JRN_FCLEAR
            FidText fid(c->fclear.fid);
            snprintf(buf, size,
                     FLR_RAW_HDR_FMT
                     "\nfid.............. %s"
                     "\noffset........... %lld"
                     "\nlength........... %lld",
                     FLR_RAW_HDR_ARGS(c), fid.text, static_cast<long long>(c->fclear.offset),
                     static_cast<long long>(c->fclear.length));
            return;
        }
    }
}

}  // namespace

void printRawCmd(char* buf, size_t size, const FlrJrnCommand* cmd) {
    if (!buf || size == 0) return;
    if (!cmd) {
        buf[0] = '\0';
        return;
    }
    const FlrJrnCommand* c = cmd;
    switch (c->cmd) {
        case FLR_JRN_SNAP:
            snprintf(buf, size,
                     FLR_RAW_HDR_FMT
                     "\njob_id........... %lld"
                     "\njob_token........ %s"
                     "\nset_id........... %lld",
                     FLR_RAW_HDR_ARGS(c), static_cast<long long>(c->snap.job_id),
                     orNull(c->snap.job_token), static_cast<long long>(c->snap.set_id));
            break;
        case FLR_JRN_SETATTR:
            printSetattr(buf, size, c);
            break;
        case FLR_JRN_WRITE:
        case FLR_JRN_TWRITE:
        case FLR_JRN_WRITE_DDR:
            printWrite(buf, size, c);
            break;
        case FLR_JRN_CREATE:
        case FLR_JRN_MKDIR:
            printCreate(buf, size, c);
            break;
        case FLR_JRN_REMOVE:
        case FLR_JRN_RMDIR:
        case FLR_JRN_LINK:
        case FLR_JRN_SYMLINK:
        case FLR_JRN_RENAME:
            printNames(buf, size, c);
            break;
        case FLR_JRN_EXT2_SETFLAGS:
        case FLR_JRN_SET_ACL:
        case FLR_JRN_SETXATTR:
        case FLR_JRN_SETXATTR_AIX:
        case FLR_JRN_RMXATTR:
        case FLR_JRN_RMXATTR_AIX:
        case FLR_JRN_STUB:
        case FLR_JRN_UNSTUB:
        case FLR_JRN_FCLEAR:
            printAttrs(buf, size, c);
            break;
        case FLR_JRN_TXTMSG:
            snprintf(buf, size, FLR_RAW_HDR_FMT "\nmsg.............. %s", FLR_RAW_HDR_ARGS(c),
                     orNull(c->txtmsg.msg));
            break;
        default:  // NOOP, 3 and unknown codes
            snprintf(buf, size, FLR_RAW_HDR_FMT, FLR_RAW_HDR_ARGS(c));
            break;
    }
    buf[size - 1] = '\0';
}
