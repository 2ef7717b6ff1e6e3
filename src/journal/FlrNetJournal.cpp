#include "FLR/FlrNetJournal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "FLR/platform/JxException.h"
#include "FlrJrnWire.h"

using flrwire::load24;
using flrwire::load32;
using flrwire::load64;
using flrwire::strLen;

namespace {

template <bool C>
void readTime(flrwire::Reader<C>& r, FlrJrnTime& t, const char* field) {
    t.sec = r.u32(field);
    t.sub = r.u32(field);
}

template <bool C>
void readSetattr(flrwire::Reader<C>& r, FlrJrnNetSetattr& b) {
    b.path = r.str("path");
    b.mode_valid = r.u8("mode_valid");
    b.uid_valid = r.u8("uid_valid");
    b.gid_valid = r.u8("gid_valid");
    b.atime_valid = r.u8("atime_valid");
    b.mtime_valid = r.u8("mtime_valid");
    b.size_valid = r.u8("size_valid");
    b.mode = r.u32("mode");
    b.uid = r.u64("uid");
    b.gid = r.u64("gid");
    readTime(r, b.atime, "atime");
    readTime(r, b.mtime, "mtime");
    b.size = r.u64("size");
}

template <bool C>
void readCreate(flrwire::Reader<C>& r, FlrJrnNetCreate& b, bool withRdev) {
    b.path = r.str("path");
    b.mode = r.u32("mode");
    b.uid = r.u64("uid");
    b.gid = r.u64("gid");
    readTime(r, b.atime, "atime");
    readTime(r, b.mtime, "mtime");
    if (withRdev) b.rdev = r.u64("rdev");
}

template <bool C>
void readSetxattr(flrwire::Reader<C>& r, FlrJrnNetSetxattr& b) {
    b.path = r.str("path");
    b.flags = r.u32("flags");
    b.attr_name = r.str("attr_name");
    b.attr_len = r.u32("attr_len");
    b.value = r.bytes(b.attr_len, "attr_value");
}

// Walks the body of cmd->cmd; false for a code without a network form.
template <bool C>
bool readNetBody(flrwire::Reader<C>& r, FlrJrnCommandNet* c) {
    switch (c->cmd) {
        case FLR_JRN_NOOP:
            c->noop.reserved = 0;
            return true;
        case FLR_JRN_SNAP:
            c->snap.job_id = r.u64("job_id");
            c->snap.job_token = r.str("job_token");
            c->snap.set_id = r.u32("set_id");
            return true;
        case FLR_JRN_SETATTR:
            readSetattr(r, c->setattr);
            return true;
        case FLR_JRN_WRITE:
        case FLR_JRN_TWRITE:
            c->write.path = r.str("path");
            c->write.offset = r.u64("offset");
            c->write.size = r.u32("size");
            c->write.data = r.bytes(c->write.size, "data");
            return true;
        case FLR_JRN_CREATE:
            readCreate(r, c->create, true);
            return true;
        case FLR_JRN_MKDIR:
            readCreate(r, c->mkdir, false);
            return true;
        case FLR_JRN_REMOVE:
        case FLR_JRN_UNSTUB:
            c->remove.path = r.str("path");
            return true;
        case FLR_JRN_RMDIR:
            c->rmdir.rmdir_flag = r.u8("rmdir_flag");
            c->rmdir.path = r.str("path");
            return true;
        case FLR_JRN_LINK:
        case FLR_JRN_RENAME:
            c->link.src_path = r.str("src_path");
            c->link.dst_path = r.str("dst_path");
            return true;
        case FLR_JRN_SYMLINK:
            c->symlink.src_name = r.str("src_name");
            c->symlink.dst_path = r.str("dst_path");
            c->symlink.uid = r.u64("uid");
            c->symlink.gid = r.u64("gid");
            return true;
        case FLR_JRN_EXT2_SETFLAGS:
            c->setflags.path = r.str("path");
            c->setflags.flags = r.u32("flags");
            return true;
        case FLR_JRN_SET_ACL:
            c->setacl.path = r.str("path");
            c->setacl.acl_word = r.u32("acl_word");
            c->setacl.data_len = r.u32("data_len");
            c->setacl.data = r.bytes(c->setacl.data_len, "data");
            return true;
        case FLR_JRN_SETXATTR:
        case FLR_JRN_SETXATTR_AIX:
            readSetxattr(r, c->setxattr);
            return true;
        case FLR_JRN_RMXATTR:
        case FLR_JRN_RMXATTR_AIX:
            c->rmxattr.path = r.str("path");
            c->rmxattr.attr_name = r.str("attr_name");
            return true;
        case FLR_JRN_STUB:
            c->stub.path = r.str("path");
            c->stub.meta = r.str("meta");
            return true;
        case FLR_JRN_FCLEAR:
            c->fclear.path = r.str("path");
            c->fclear.offset = r.u64("offset");
            c->fclear.length = r.u64("length");
            return true;
        default:
            return false;
    }
}

void readNetHeader(const uint8_t* p, FlrJrnCommandNet* c) {
    c->cmd = p[0];
    c->seq_num = load64(p + 4);
    c->timestamp = load32(p + 12);
    c->mask = load32(p + 16);
}

// Total encoded size, computed wide; 0 for a code without a network form.
uint64_t netSize(const FlrJrnCommandNet* c) {
    switch (c->cmd) {
        case FLR_JRN_NOOP:
            return 20;
        case FLR_JRN_SNAP:
            return 33 + strLen(c->snap.job_token);
        case FLR_JRN_SETATTR:
            return 71 + strLen(c->setattr.path);
        case FLR_JRN_WRITE:
        case FLR_JRN_TWRITE:
            return 33 + strLen(c->write.path) + uint64_t{c->write.size};
        case FLR_JRN_CREATE:
            return 65 + strLen(c->create.path);
        case FLR_JRN_MKDIR:
            return 57 + strLen(c->mkdir.path);
        case FLR_JRN_REMOVE:
        case FLR_JRN_UNSTUB:
            return 21 + strLen(c->remove.path);
        case FLR_JRN_RMDIR:
            return 22 + strLen(c->rmdir.path);
        case FLR_JRN_LINK:
        case FLR_JRN_RENAME:
            return 22 + strLen(c->link.src_path) + strLen(c->link.dst_path);
        case FLR_JRN_SYMLINK:
            return 38 + strLen(c->symlink.src_name) + strLen(c->symlink.dst_path);
        case FLR_JRN_EXT2_SETFLAGS:
            return 25 + strLen(c->setflags.path);
        case FLR_JRN_SET_ACL:
            return 29 + strLen(c->setacl.path) + uint64_t{c->setacl.data_len};
        case FLR_JRN_SETXATTR:
        case FLR_JRN_SETXATTR_AIX:
            return 30 + strLen(c->setxattr.path) + strLen(c->setxattr.attr_name) +
                   uint64_t{c->setxattr.attr_len};
        case FLR_JRN_RMXATTR:
        case FLR_JRN_RMXATTR_AIX:
            return 22 + strLen(c->rmxattr.path) + strLen(c->rmxattr.attr_name);
        case FLR_JRN_STUB:
            return 22 + strLen(c->stub.path) + strLen(c->stub.meta);
        case FLR_JRN_FCLEAR:
            return 37 + strLen(c->fclear.path);
        default:
            return 0;
    }
}

void writeTime(flrwire::Writer& w, const FlrJrnTime& t) {
    w.u32(static_cast<uint32_t>(t.sec));
    w.u32(static_cast<uint32_t>(t.sub));
}

void writeSetattr(flrwire::Writer& w, const FlrJrnNetSetattr& b) {
    w.str(b.path);
    w.u8(b.mode_valid);
    w.u8(b.uid_valid);
    w.u8(b.gid_valid);
    w.u8(b.atime_valid);
    w.u8(b.mtime_valid);
    w.u8(b.size_valid);
    w.u32(b.mode);
    w.u64(b.uid);
    w.u64(b.gid);
    writeTime(w, b.atime);
    writeTime(w, b.mtime);
    w.u64(b.size);
}

void writeCreate(flrwire::Writer& w, const FlrJrnNetCreate& b, bool withRdev) {
    w.str(b.path);
    w.u32(b.mode);
    w.u64(b.uid);
    w.u64(b.gid);
    writeTime(w, b.atime);
    writeTime(w, b.mtime);
    if (withRdev) w.u64(b.rdev);
}

void writeNetBody(flrwire::Writer& w, const FlrJrnCommandNet* c) {
    switch (c->cmd) {
        case FLR_JRN_SNAP:
            w.u64(c->snap.job_id);
            w.str(c->snap.job_token);
            w.u32(static_cast<uint32_t>(c->snap.set_id));
            return;
        case FLR_JRN_SETATTR:
            writeSetattr(w, c->setattr);
            return;
        case FLR_JRN_WRITE:
        case FLR_JRN_TWRITE:
            w.str(c->write.path);
            w.u64(c->write.offset);
            w.u32(c->write.size);
            w.bytes(c->write.data, c->write.size);
            return;
        case FLR_JRN_CREATE:
            writeCreate(w, c->create, true);
            return;
        case FLR_JRN_MKDIR:
            writeCreate(w, c->mkdir, false);
            return;
        case FLR_JRN_REMOVE:
        case FLR_JRN_UNSTUB:
            w.str(c->remove.path);
            return;
        case FLR_JRN_RMDIR:
            w.u8(static_cast<uint8_t>(c->rmdir.rmdir_flag));
            w.str(c->rmdir.path);
            return;
        case FLR_JRN_LINK:
        case FLR_JRN_RENAME:
            w.str(c->link.src_path);
            w.str(c->link.dst_path);
            return;
        case FLR_JRN_SYMLINK:
            w.str(c->symlink.src_name);
            w.str(c->symlink.dst_path);
            w.u64(c->symlink.uid);
            w.u64(c->symlink.gid);
            return;
        case FLR_JRN_EXT2_SETFLAGS:
            w.str(c->setflags.path);
            w.u32(c->setflags.flags);
            return;
        case FLR_JRN_SET_ACL:
            w.str(c->setacl.path);
            w.u32(c->setacl.acl_word);
            w.u32(c->setacl.data_len);
            w.bytes(c->setacl.data, c->setacl.data_len);
            return;
        case FLR_JRN_SETXATTR:
        case FLR_JRN_SETXATTR_AIX:
            w.str(c->setxattr.path);
            w.u32(c->setxattr.flags);
            w.str(c->setxattr.attr_name);
            w.u32(c->setxattr.attr_len);
            w.bytes(c->setxattr.value, c->setxattr.attr_len);
            return;
        case FLR_JRN_RMXATTR:
        case FLR_JRN_RMXATTR_AIX:
            w.str(c->rmxattr.path);
            w.str(c->rmxattr.attr_name);
            return;
        case FLR_JRN_STUB:
            w.str(c->stub.path);
            w.str(c->stub.meta);
            return;
        case FLR_JRN_FCLEAR:
            w.str(c->fclear.path);
            w.u64(c->fclear.offset);
            w.u64(c->fclear.length);
            return;
        default:  // NOOP: the bare header
            return;
    }
}

// Size of a record known to have a network form; throws when it cannot
// carry its length in 24 bits.
uint32_t checkedNetSize(const FlrJrnCommandNet* c, const char* function) {
    const uint64_t size = netSize(c);
    if (size > FLR_JRN_MAX_REC_LEN) {
        JX_THROW(function, jxFormat("Net journal record of %llu bytes exceeds the largest record "
                                    "length of %u bytes",
                                    static_cast<unsigned long long>(size), FLR_JRN_MAX_REC_LEN));
    }
    return static_cast<uint32_t>(size);
}

}  // namespace

bool isNetJrnCode(uint32_t code) {
    return code <= FLR_JRN_RMXATTR_AIX && code != 3 && code != FLR_JRN_WRITE_DDR;
}

void decodeNetHdr(const void* buf, FlrJrnHeaderNet* hdr) {
    if (!buf || !hdr) JX_THROW("decodeNetHdr", "NULL header or buffer pointer passed as input");
    const auto* p = static_cast<const uint8_t*>(buf);
    hdr->cmd = p[0];
    hdr->rec_len = load24(p + 1);
    hdr->seq_num = load64(p + 4);
    hdr->timestamp = load32(p + 12);
    hdr->mask = load32(p + 16);
}

void decodeNetHdr(const void* buf, size_t len, FlrJrnHeaderNet* hdr) {
    if (!buf || !hdr) JX_THROW("decodeNetHdr", "NULL header or buffer pointer passed as input");
    if (len < FLR_JRN_NET_HDR_SIZE) {
        JX_THROW("decodeNetHdr", jxFormat("%zu bytes are too few for the %zu-byte record header",
                                          len, FLR_JRN_NET_HDR_SIZE));
    }
    decodeNetHdr(buf, hdr);
    if (hdr->rec_len < FLR_JRN_NET_HDR_SIZE) {
        JX_THROW("decodeNetHdr",
                 jxFormat("record length %u is shorter than the %zu-byte record header",
                          hdr->rec_len, FLR_JRN_NET_HDR_SIZE));
    }
}

void decodeNetCmd(const void* buf, FlrJrnCommandNet* cmd) {
    if (!buf || !cmd) JX_THROW("decodeNetCmd", "NULL command or buffer pointer passed as input");
    const auto* p = static_cast<const uint8_t*>(buf);
    readNetHeader(p, cmd);
    if (!isNetJrnCode(cmd->cmd)) {
        JX_THROW("decodeNetCmd", jxFormat("Can't decode unknown net journal command %d",
                                          static_cast<int>(cmd->cmd)));
    }
    flrwire::Reader<false> r(p + FLR_JRN_NET_HDR_SIZE, nullptr);
    readNetBody(r, cmd);
}

void decodeNetCmd(const void* buf, size_t len, FlrJrnCommandNet* cmd) {
    if (!buf || !cmd) JX_THROW("decodeNetCmd", "NULL command or buffer pointer passed as input");
    if (len < FLR_JRN_NET_HDR_SIZE) {
        JX_THROW("decodeNetCmd", jxFormat("%zu bytes are too few for the %zu-byte record header",
                                          len, FLR_JRN_NET_HDR_SIZE));
    }
    const auto* p = static_cast<const uint8_t*>(buf);
    const uint32_t recLen = load24(p + 1);
    if (recLen < FLR_JRN_NET_HDR_SIZE) {
        JX_THROW("decodeNetCmd",
                 jxFormat("record length %u is shorter than the %zu-byte record header", recLen,
                          FLR_JRN_NET_HDR_SIZE));
    }
    if (recLen > len) {
        JX_THROW("decodeNetCmd",
                 jxFormat("record length %u exceeds the %zu bytes available", recLen, len));
    }
    readNetHeader(p, cmd);
    if (!isNetJrnCode(cmd->cmd)) {
        JX_THROW("decodeNetCmd", jxFormat("Can't decode unknown net journal command %d",
                                          static_cast<int>(cmd->cmd)));
    }
    flrwire::Reader<true> r(p + FLR_JRN_NET_HDR_SIZE, p + recLen);
    readNetBody(r, cmd);
    if (!r.ok()) JX_THROW("decodeNetCmd", r.faultText());
    if (r.remaining() != 0) {
        JX_THROW("decodeNetCmd",
                 jxFormat("record length %u is longer than the %zu bytes its %s fields take",
                          recLen, recLen - r.remaining(), flrJrnCodeName(cmd->cmd)));
    }
}

int getNetCmdSize(const FlrJrnCommandNet* cmd) {
    if (!cmd) JX_THROW("getNetCmdSize", "NULL command pointer passed as input");
    if (!isNetJrnCode(cmd->cmd)) {
        JX_THROW("getNetCmdSize", jxFormat("Can't compute size of unknown net journal command %d",
                                           static_cast<int>(cmd->cmd)));
    }
    return static_cast<int>(checkedNetSize(cmd, "getNetCmdSize"));
}

namespace {

// Lays down a record whose code and size were checked already.
void writeNetRecord(const FlrJrnCommandNet* cmd, void* buf) {
    auto* p = static_cast<uint8_t*>(buf);
    flrwire::Writer w(p);
    w.u8(static_cast<uint8_t>(cmd->cmd));
    flrwire::store24(w.pos(), 0);
    w.skip(3);
    w.u64(cmd->seq_num);
    w.u32(cmd->timestamp);
    w.u32(cmd->mask);
    writeNetBody(w, cmd);
    flrwire::store24(p + 1, static_cast<uint32_t>(w.written()));
}

}  // namespace

void encodeNetCmd(const FlrJrnCommandNet* cmd, void* buf) {
    if (!cmd || !buf) JX_THROW("encodeNetCmd", "NULL command or buffer pointer passed as input");
    if (!isNetJrnCode(cmd->cmd)) {
        JX_THROW("encodeNetCmd", jxFormat("Can't encode unknown net journal command %d",
                                          static_cast<int>(cmd->cmd)));
    }
    // A body with a payload or long strings could outgrow rec_len; it is
    // refused before anything is written.
    checkedNetSize(cmd, "encodeNetCmd");
    writeNetRecord(cmd, buf);
}

int encodeNetCmd(const FlrJrnCommandNet* cmd, char*& buf, int& capacity) {
    const int size = getNetCmdSize(cmd);
    if (capacity < size) {
        const int grown = (size + 1023) / 1024 * 1024;
        auto* fresh = static_cast<char*>(std::malloc(static_cast<size_t>(grown)));
        if (!fresh) JX_THROW("encodeNetCmd", "Memory allocation failed.");
        std::free(buf);
        buf = fresh;
        capacity = grown;
    }
    // getNetCmdSize has checked the code and the size.
    writeNetRecord(cmd, buf);
    return size;
}

// --- printing ----------------------------------------------------------------
// The labels and number formats of printRawCmd, so both dumps read alike.

#define FLR_NET_HDR_FMT        \
    "cmd.............. %s"     \
    "\ntimestamp........ %u"   \
    "\nseq_num.......... %lld" \
    "\nmask............. 0x%02x"
#define FLR_NET_HDR_ARGS(c)                                                \
    flrJrnCodeName(isNetJrnCode((c)->cmd) ? (c)->cmd : 3), (c)->timestamp, \
        static_cast<long long>((c)->seq_num), (c)->mask
#define FLR_TIME_ARGS(t) static_cast<long>((t).sec), static_cast<long>((t).sub)

namespace {

const char* orNull(const char* s) {
    return s ? s : "(null)";
}

void printNetSetattr(char* buf, size_t size, const FlrJrnCommandNet* c) {
    const FlrJrnNetSetattr& b = c->setattr;
    snprintf(buf, size,
             FLR_NET_HDR_FMT
             "\npath............. %s"
             "\nmode_valid....... %d"
             "\nuid_valid........ %d"
             "\ngid_valid........ %d"
             "\natime_valid...... %d"
             "\nmtime_valid...... %d"
             "\nsize_valid....... %d"
             "\nmode............. %o"
             "\nuid.............. %lld"
             "\ngid.............. %lld"
             "\natime............ (%ld, %ld)"
             "\nmtime............ (%ld, %ld)"
             "\nsize............. %lld",
             FLR_NET_HDR_ARGS(c), orNull(b.path), b.mode_valid, b.uid_valid, b.gid_valid,
             b.atime_valid, b.mtime_valid, b.size_valid, b.mode, static_cast<long long>(b.uid),
             static_cast<long long>(b.gid), FLR_TIME_ARGS(b.atime), FLR_TIME_ARGS(b.mtime),
             static_cast<long long>(b.size));
}

void printNetCreate(char* buf, size_t size, const FlrJrnCommandNet* c) {
    const FlrJrnNetCreate& b = c->cmd == FLR_JRN_CREATE ? c->create : c->mkdir;
    if (c->cmd == FLR_JRN_CREATE) {
        snprintf(buf, size,
                 FLR_NET_HDR_FMT
                 "\npath............. %s"
                 "\nmode............. %o"
                 "\nuid.............. %lld"
                 "\ngid.............. %lld"
                 "\natime............ (%ld, %ld)"
                 "\nmtime............ (%ld, %ld)"
                 "\nrdev............. 0x%llx",
                 FLR_NET_HDR_ARGS(c), orNull(b.path), b.mode, static_cast<long long>(b.uid),
                 static_cast<long long>(b.gid), FLR_TIME_ARGS(b.atime), FLR_TIME_ARGS(b.mtime),
                 static_cast<unsigned long long>(b.rdev));
    } else {
        snprintf(buf, size,
                 FLR_NET_HDR_FMT
                 "\npath............. %s"
                 "\nmode............. %o"
                 "\nuid.............. %lld"
                 "\ngid.............. %lld"
                 "\natime............ (%ld, %ld)"
                 "\nmtime............ (%ld, %ld)",
                 FLR_NET_HDR_ARGS(c), orNull(b.path), b.mode, static_cast<long long>(b.uid),
                 static_cast<long long>(b.gid), FLR_TIME_ARGS(b.atime), FLR_TIME_ARGS(b.mtime));
    }
}

void printNetWrite(char* buf, size_t size, const FlrJrnCommandNet* c) {
    const FlrJrnNetWrite& b = c->write;
    char shown[61];
    flrwire::payloadPreview(b.data, b.size, shown);
    snprintf(buf, size,
             FLR_NET_HDR_FMT
             "\npath............. %s"
             "\noffset........... %lld"
             "\nsize............. %d"
             "\ndata............. %s...",
             FLR_NET_HDR_ARGS(c), orNull(b.path), static_cast<long long>(b.offset),
             static_cast<int>(b.size), shown);
}

void printNetNames(char* buf, size_t size, const FlrJrnCommandNet* c) {
    switch (c->cmd) {
        case FLR_JRN_RMDIR:
            snprintf(buf, size,
                     FLR_NET_HDR_FMT
                     "\nrmdir_flag....... %d"
                     "\npath............. %s",
                     FLR_NET_HDR_ARGS(c), static_cast<int>(c->rmdir.rmdir_flag),
                     orNull(c->rmdir.path));
            return;
        case FLR_JRN_SYMLINK:
            snprintf(buf, size,
                     FLR_NET_HDR_FMT
                     "\nsrc_name......... %s"
                     "\ndst_path......... %s"
                     "\nuid.............. %lld"
                     "\ngid.............. %lld",
                     FLR_NET_HDR_ARGS(c), orNull(c->symlink.src_name), orNull(c->symlink.dst_path),
                     static_cast<long long>(c->symlink.uid),
                     static_cast<long long>(c->symlink.gid));
            return;
        default:  // LINK, RENAME
            snprintf(buf, size,
                     FLR_NET_HDR_FMT
                     "\nsrc_path......... %s"
                     "\ndst_path......... %s",
                     FLR_NET_HDR_ARGS(c), orNull(c->link.src_path), orNull(c->link.dst_path));
            return;
    }
}

void printNetAttrs(char* buf, size_t size, const FlrJrnCommandNet* c) {
    switch (c->cmd) {
        case FLR_JRN_EXT2_SETFLAGS:
            snprintf(buf, size,
                     FLR_NET_HDR_FMT
                     "\npath............. %s"
                     "\nflags............ 0x%x",
                     FLR_NET_HDR_ARGS(c), orNull(c->setflags.path), c->setflags.flags);
            return;
        case FLR_JRN_SET_ACL:
            snprintf(buf, size,
                     FLR_NET_HDR_FMT
                     "\npath............. %s"
                     "\nacl_word......... 0x%x"
                     "\ndata_len......... %d",
                     FLR_NET_HDR_ARGS(c), orNull(c->setacl.path), c->setacl.acl_word,
                     static_cast<int>(c->setacl.data_len));
            return;
        case FLR_JRN_SETXATTR:
        case FLR_JRN_SETXATTR_AIX:
            snprintf(buf, size,
                     FLR_NET_HDR_FMT
                     "\npath............. %s"
                     "\nflags............ %d"
                     "\nattr_name........ %s"
                     "\nattr_len......... %d",
                     FLR_NET_HDR_ARGS(c), orNull(c->setxattr.path),
                     static_cast<int>(c->setxattr.flags), orNull(c->setxattr.attr_name),
                     static_cast<int>(c->setxattr.attr_len));
            return;
        case FLR_JRN_RMXATTR:
        case FLR_JRN_RMXATTR_AIX:
            snprintf(buf, size,
                     FLR_NET_HDR_FMT
                     "\npath............. %s"
                     "\nattr_name........ %s",
                     FLR_NET_HDR_ARGS(c), orNull(c->rmxattr.path), orNull(c->rmxattr.attr_name));
            return;
        case FLR_JRN_STUB:
            snprintf(buf, size,
                     FLR_NET_HDR_FMT
                     "\npath............. %s"
                     "\nmeta............. %s",
                     FLR_NET_HDR_ARGS(c), orNull(c->stub.path), orNull(c->stub.meta));
            return;
        default:  // FLR_JRN_FCLEAR
            snprintf(buf, size,
                     FLR_NET_HDR_FMT
                     "\npath............. %s"
                     "\noffset........... %lld"
                     "\nlength........... %lld",
                     FLR_NET_HDR_ARGS(c), orNull(c->fclear.path),
                     static_cast<long long>(c->fclear.offset),
                     static_cast<long long>(c->fclear.length));
            return;
    }
}

}  // namespace

void printNetCmd(char* buf, size_t size, const FlrJrnCommandNet* cmd) {
    if (!buf || size == 0) return;
    if (!cmd) {
        buf[0] = '\0';
        return;
    }
    const FlrJrnCommandNet* c = cmd;
    switch (c->cmd) {
        case FLR_JRN_SNAP:
            snprintf(buf, size,
                     FLR_NET_HDR_FMT
                     "\njob_id........... %lld"
                     "\njob_token........ %s"
                     "\nset_id........... %lld",
                     FLR_NET_HDR_ARGS(c), static_cast<long long>(c->snap.job_id),
                     orNull(c->snap.job_token), static_cast<long long>(c->snap.set_id));
            break;
        case FLR_JRN_SETATTR:
            printNetSetattr(buf, size, c);
            break;
        case FLR_JRN_WRITE:
        case FLR_JRN_TWRITE:
            printNetWrite(buf, size, c);
            break;
        case FLR_JRN_CREATE:
        case FLR_JRN_MKDIR:
            printNetCreate(buf, size, c);
            break;
        case FLR_JRN_REMOVE:
        case FLR_JRN_UNSTUB:
            snprintf(buf, size, FLR_NET_HDR_FMT "\npath............. %s", FLR_NET_HDR_ARGS(c),
                     orNull(c->remove.path));
            break;
        case FLR_JRN_RMDIR:
        case FLR_JRN_LINK:
        case FLR_JRN_RENAME:
        case FLR_JRN_SYMLINK:
            printNetNames(buf, size, c);
            break;
        case FLR_JRN_EXT2_SETFLAGS:
        case FLR_JRN_SET_ACL:
        case FLR_JRN_SETXATTR:
        case FLR_JRN_SETXATTR_AIX:
        case FLR_JRN_RMXATTR:
        case FLR_JRN_RMXATTR_AIX:
        case FLR_JRN_STUB:
        case FLR_JRN_FCLEAR:
            printNetAttrs(buf, size, c);
            break;
        default:  // NOOP and codes without a network form
            snprintf(buf, size, FLR_NET_HDR_FMT, FLR_NET_HDR_ARGS(c));
            break;
    }
    buf[size - 1] = '\0';
}
