#include "FLR/FlrNetJournal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "FLR/JxException.h"
#include "FlrJrnFields.h"
#include "platform/JxCoding.h"

using flrwire::kCopied;
using flrwire::kPlain;
using flrwire::kShown;
using flrwire::Show;

namespace {

// --- the record bodies ---------------------------------------------------------
// Each body once, field by field in wire order; decoding, sizing, encoding and
// printing all walk these. `c` is an FlrJrnCommandNet, const or not. Payloads
// are never copied through a callback here, so kCopied only documents the
// raw form's twin.

// CREATE ends with rdev; MKDIR (the same member type) does not.
template <bool kRdev>
constexpr auto kCreateBody = [](auto& v, auto& c) __attribute__((always_inline)) {
    v.str("path", c.create.path);
    v.u32("mode", c.create.mode, Show::Oct);
    v.u64("uid", c.create.uid);
    v.u64("gid", c.create.gid);
    v.time("atime", c.create.atime);
    v.time("mtime", c.create.mtime);
    if constexpr (kRdev) v.u64("rdev", c.create.rdev, Show::Hex);
};

// REMOVE and UNSTUB.
constexpr auto kPathBody = [](auto& v, auto& c) __attribute__((always_inline)) {
    v.str("path", c.remove.path);
};

// LINK and RENAME.
constexpr auto kLinkBody = [](auto& v, auto& c) __attribute__((always_inline)) {
    v.str("src_path", c.link.src_path);
    v.str("dst_path", c.link.dst_path);
};

// SETXATTR and SETXATTR_AIX.
constexpr auto kSetxattrBody = [](auto& v, auto& c) __attribute__((always_inline)) {
    v.str("path", c.setxattr.path);
    v.u32("flags", c.setxattr.flags);
    v.str("attr_name", c.setxattr.attr_name);
    v.u32("attr_len", c.setxattr.attr_len);
    v.bytes("attr_value", c.setxattr.value, c.setxattr.attr_len, kPlain);
};

// RMXATTR and RMXATTR_AIX.
constexpr auto kRmxattrBody = [](auto& v, auto& c) __attribute__((always_inline)) {
    v.str("path", c.rmxattr.path);
    v.str("attr_name", c.rmxattr.attr_name);
};

// Calls fn with the description of the body `code` selects; codes without a
// network form get the empty one (callers refuse them first).
template <class Fn>
FLR_JRN_INLINE auto withNetBody(uint32_t code, Fn&& fn) {
    switch (code) {
        case FLR_JRN_NOOP:
            return fn([](auto& v, auto& c) { v.cleared(c.noop.reserved); });
        case FLR_JRN_SNAP:
            return fn([](auto& v, auto& c) __attribute__((always_inline)) {
                v.u64("job_id", c.snap.job_id);
                v.str("job_token", c.snap.job_token);
                v.u32("set_id", c.snap.set_id);  // 32 bits on the wire
            });
        case FLR_JRN_SETATTR:
            return fn([](auto& v, auto& c) __attribute__((always_inline)) {
                auto& b = c.setattr;
                v.str("path", b.path);
                v.u8("mode_valid", b.mode_valid);
                v.u8("uid_valid", b.uid_valid);
                v.u8("gid_valid", b.gid_valid);
                v.u8("atime_valid", b.atime_valid);
                v.u8("mtime_valid", b.mtime_valid);
                v.u8("size_valid", b.size_valid);
                v.u32("mode", b.mode, Show::Oct);
                v.u64("uid", b.uid);
                v.u64("gid", b.gid);
                v.time("atime", b.atime);
                v.time("mtime", b.mtime);
                v.u64("size", b.size);
            });
        case FLR_JRN_WRITE:
        case FLR_JRN_TWRITE:
            return fn([](auto& v, auto& c) __attribute__((always_inline)) {
                v.str("path", c.write.path);
                v.u64("offset", c.write.offset);
                v.u32("size", c.write.size);
                v.bytes("data", c.write.data, c.write.size, kCopied | kShown);
            });
        case FLR_JRN_CREATE:
            return fn(kCreateBody<true>);
        case FLR_JRN_MKDIR:
            return fn(kCreateBody<false>);
        case FLR_JRN_REMOVE:
        case FLR_JRN_UNSTUB:
            return fn(kPathBody);
        case FLR_JRN_RMDIR:
            return fn([](auto& v, auto& c) __attribute__((always_inline)) {
                v.u8("rmdir_flag", c.rmdir.rmdir_flag);
                v.str("path", c.rmdir.path);
            });
        case FLR_JRN_LINK:
        case FLR_JRN_RENAME:
            return fn(kLinkBody);
        case FLR_JRN_SYMLINK:
            return fn([](auto& v, auto& c) __attribute__((always_inline)) {
                v.str("src_name", c.symlink.src_name);
                v.str("dst_path", c.symlink.dst_path);
                v.u64("uid", c.symlink.uid);
                v.u64("gid", c.symlink.gid);
            });
        case FLR_JRN_EXT2_SETFLAGS:
            return fn([](auto& v, auto& c) __attribute__((always_inline)) {
                v.str("path", c.setflags.path);
                v.u32("flags", c.setflags.flags, Show::Hex);
            });
        case FLR_JRN_SET_ACL:
            return fn([](auto& v, auto& c) __attribute__((always_inline)) {
                v.str("path", c.setacl.path);
                v.u32("acl_word", c.setacl.acl_word, Show::Hex);
                v.u32("data_len", c.setacl.data_len);
                v.bytes("data", c.setacl.data, c.setacl.data_len, kCopied);
            });
        case FLR_JRN_SETXATTR:
        case FLR_JRN_SETXATTR_AIX:
            return fn(kSetxattrBody);
        case FLR_JRN_RMXATTR:
        case FLR_JRN_RMXATTR_AIX:
            return fn(kRmxattrBody);
        case FLR_JRN_STUB:
            return fn([](auto& v, auto& c) __attribute__((always_inline)) {
                v.str("path", c.stub.path);
                v.str("meta", c.stub.meta);
            });
        case FLR_JRN_FCLEAR:
            return fn([](auto& v, auto& c) __attribute__((always_inline)) {
                v.str("path", c.fclear.path);
                v.u64("offset", c.fclear.offset);
                v.u64("length", c.fclear.length);
            });
        default:
            return fn([](auto&, auto&) {});
    }
}

// --- the walks -------------------------------------------------------------------

void readNetHeader(const uint8_t* p, FlrJrnCommandNet* c) {
    c->cmd = p[0];
    c->seq_num = jx::loadBE64(p + 4);
    c->timestamp = jx::loadBE32(p + 12);
    c->mask = jx::loadBE32(p + 16);
}

template <bool C>
FLR_JRN_INLINE void readNetBody(flrwire::Reader<C>& r, FlrJrnCommandNet* c) {
    flrwire::DecodeFields<C> fields(r);
    withNetBody(
        c->cmd, [&](auto body) __attribute__((always_inline)) { body(fields, *c); });
}

void refuseUnknown(const FlrJrnCommandNet* cmd, const char* function, const char* what) {
    if (!isNetJrnCode(cmd->cmd)) {
        JX_THROW(function, jxFormat("Can't %s unknown net journal command %d", what,
                                    static_cast<int>(cmd->cmd)));
    }
}

// Throws when a record cannot carry its length in 24 bits.
void refuseTooLong(uint64_t size, const char* function) {
    if (size > FLR_JRN_MAX_REC_LEN) {
        JX_THROW(function, jxFormat("Net journal record of %llu bytes exceeds the largest record "
                                    "length of %u bytes",
                                    static_cast<unsigned long long>(size), FLR_JRN_MAX_REC_LEN));
    }
}

// Measures a record whose code was checked (its strings once), refuses it as
// `function` when too long for rec_len, asks bufferFor(size) where to write and
// lays it down there. Returns the size. Nothing is written to a refused record.
template <class BufferFor>
int encodeNetRecord(const FlrJrnCommandNet* cmd, const char* function, BufferFor&& bufferFor) {
    return withNetBody(
        cmd->cmd, [&](auto body) __attribute__((always_inline)) {
            flrwire::SizeFields size(FLR_JRN_NET_HDR_SIZE);
            body(size, *cmd);
            refuseTooLong(size.total, function);
            flrwire::Writer w(static_cast<uint8_t*>(bufferFor(static_cast<int>(size.total))));
            w.u8(static_cast<uint8_t>(cmd->cmd));
            jx::storeBE24(w.pos(), static_cast<uint32_t>(size.total));
            w.skip(3);
            w.u64(cmd->seq_num);
            w.u32(cmd->timestamp);
            w.u32(cmd->mask);
            flrwire::EncodeFields fields(w, size, nullptr, nullptr);
            body(fields, *cmd);
            return static_cast<int>(size.total);
        });
}

}  // namespace

bool isNetJrnCode(uint32_t code) {
    return code <= FLR_JRN_RMXATTR_AIX && code != 3 && code != FLR_JRN_WRITE_DDR;
}

void decodeNetHdr(const void* buf, FlrJrnHeaderNet* hdr) {
    if (!buf || !hdr) JX_THROW("decodeNetHdr", "NULL header or buffer pointer passed as input");
    const auto* p = static_cast<const uint8_t*>(buf);
    hdr->cmd = p[0];
    hdr->rec_len = jx::loadBE24(p + 1);
    hdr->seq_num = jx::loadBE64(p + 4);
    hdr->timestamp = jx::loadBE32(p + 12);
    hdr->mask = jx::loadBE32(p + 16);
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
    refuseUnknown(cmd, "decodeNetCmd", "decode");
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
    const uint32_t recLen = jx::loadBE24(p + 1);
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
    refuseUnknown(cmd, "decodeNetCmd", "decode");
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
    refuseUnknown(cmd, "getNetCmdSize", "compute size of");
    flrwire::SizeFields size(FLR_JRN_NET_HDR_SIZE);
    withNetBody(cmd->cmd, [&](auto body) { body(size, *cmd); });
    refuseTooLong(size.total, "getNetCmdSize");
    return static_cast<int>(size.total);
}

void encodeNetCmd(const FlrJrnCommandNet* cmd, void* buf) {
    if (!cmd || !buf) JX_THROW("encodeNetCmd", "NULL command or buffer pointer passed as input");
    refuseUnknown(cmd, "encodeNetCmd", "encode");
    encodeNetRecord(cmd, "encodeNetCmd", [buf](int) { return buf; });
}

int encodeNetCmd(const FlrJrnCommandNet* cmd, char*& buf, int& capacity) {
    // Refused as the size computation refuses them.
    if (!cmd) JX_THROW("getNetCmdSize", "NULL command pointer passed as input");
    refuseUnknown(cmd, "getNetCmdSize", "compute size of");
    return encodeNetRecord(cmd, "getNetCmdSize", [&](int size) {
        if (capacity < size) {
            const int grown = (size + 1023) / 1024 * 1024;
            auto* fresh = static_cast<char*>(std::malloc(static_cast<size_t>(grown)));
            if (!fresh) JX_THROW("encodeNetCmd", "Memory allocation failed.");
            std::free(buf);
            buf = fresh;
            capacity = grown;
        }
        return static_cast<void*>(buf);
    });
}

void printNetCmd(char* buf, size_t size, const FlrJrnCommandNet* cmd) {
    if (!buf || size == 0) return;
    if (!cmd) {
        buf[0] = '\0';
        return;
    }
    // The labels and number formats of printRawCmd, so both dumps read alike.
    flrwire::TextOut out(buf, size);
    out.add(
        "cmd.............. %s"
        "\ntimestamp........ %u"
        "\nseq_num.......... %lld"
        "\nmask............. 0x%02x",
        flrJrnCodeName(isNetJrnCode(cmd->cmd) ? cmd->cmd : 3), cmd->timestamp,
        static_cast<long long>(cmd->seq_num), cmd->mask);
    flrwire::PrintFields fields(out);
    if (isNetJrnCode(cmd->cmd)) withNetBody(cmd->cmd, [&](auto body) { body(fields, *cmd); });
    buf[size - 1] = '\0';
}
