#include "FLR/FlrRawJournal.h"

#include <cstdio>
#include <cstring>

#include "FLR/JxException.h"
#include "FlrJrnFields.h"
#include "platform/JxCoding.h"

using flrwire::kCopied;
using flrwire::kPlain;
using flrwire::kShown;
using flrwire::Show;

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

// --- the record bodies ---------------------------------------------------------
// Each body once, field by field in wire order; decoding, sizing, encoding and
// printing all walk these. `c` is an FlrJrnCommand, const or not.

// WRITE and TWRITE carry their data; WRITE_DDR names the range only.
template <bool kData>
constexpr auto kWriteBody = [](auto& v, auto& c) __attribute__((always_inline)) {
    v.fid("fid", c.write.fid);
    v.u64("offset", c.write.offset);
    v.u32("size", c.write.size);
    if constexpr (kData) v.bytes("data", c.write.data, c.write.size, kCopied | kShown);
};

// CREATE ends with rdev; MKDIR (the same member type) does not.
template <bool kRdev>
constexpr auto kRawCreateBody = [](auto& v, auto& c) __attribute__((always_inline)) {
    v.fid("par_fid", c.create.par_fid);
    v.fid("fid", c.create.fid);
    v.str("short_name", c.create.short_name);
    v.u32("mode", c.create.mode, Show::Oct);
    v.u64("uid", c.create.uid);
    v.u64("gid", c.create.gid);
    v.time("atime", c.create.atime);
    v.time("mtime", c.create.mtime);
    if constexpr (kRdev) v.u64("rdev", c.create.rdev, Show::Hex);
};

// The AIX variant's value always goes in directly.
template <bool kAix>
constexpr auto kRawSetxattrBody = [](auto& v, auto& c) __attribute__((always_inline)) {
    v.fid("fid", c.setxattr.fid);
    v.u32("flags", c.setxattr.flags);
    v.str("attr_name", c.setxattr.attr_name);
    v.u32("attr_len", c.setxattr.attr_len);
    v.bytes("attr_value", c.setxattr.value, c.setxattr.attr_len, kAix ? kPlain : kCopied);
};

constexpr auto kRawRmxattrBody = [](auto& v, auto& c) __attribute__((always_inline)) {
    v.fid("fid", c.rmxattr.fid);
    v.str("attr_name", c.rmxattr.attr_name);
};

// Calls fn with the description of the body `code` selects; a code without
// a body (3, above 23) gets the empty one, as NOOP's, so it encodes and
// prints as the bare header.
template <class Fn>
FLR_JRN_INLINE auto withRawBody(uint32_t code, Fn&& fn) {
    switch (code) {
        case FLR_JRN_NOOP:
            return fn([](auto& v, auto& c) { v.cleared(c.noop.reserved); });
        case FLR_JRN_SNAP:
            return fn([](auto& v, auto& c) __attribute__((always_inline)) {
                v.u64("job_id", c.snap.job_id);
                v.str("job_token", c.snap.job_token);
                v.u64("set_id", c.snap.set_id);
            });
        case FLR_JRN_SETATTR:
            return fn([](auto& v, auto& c) __attribute__((always_inline)) {
                auto& b = c.setattr;
                v.fid("fid", b.fid);
                v.u8("mode_valid", b.mode_valid);
                v.u8("uid_valid", b.uid_valid);
                v.u8("gid_valid", b.gid_valid);
                v.u8("atime_valid", b.atime_valid);
                v.u8("mtime_valid", b.mtime_valid);
                v.u8("ctime_valid", b.ctime_valid);
                v.u8("size_valid", b.size_valid);
                v.u8("blocks_valid", b.blocks_valid);
                v.u32("mode", b.mode, Show::Oct);
                v.u64("uid", b.uid);
                v.u64("gid", b.gid);
                v.time("atime", b.atime);
                v.time("mtime", b.mtime);
                v.time("ctime", b.ctime);
                v.u64("size", b.size);
                v.u64("blocks", b.blocks);
            });
        case FLR_JRN_WRITE:
        case FLR_JRN_TWRITE:
            return fn(kWriteBody<true>);
        case FLR_JRN_WRITE_DDR:
            return fn(kWriteBody<false>);
        case FLR_JRN_CREATE:
            return fn(kRawCreateBody<true>);
        case FLR_JRN_MKDIR:
            return fn(kRawCreateBody<false>);
        case FLR_JRN_REMOVE:
            return fn([](auto& v, auto& c) __attribute__((always_inline)) {
                v.fid("par_fid", c.remove.par_fid);
                v.str("short_name", c.remove.short_name);
                v.fid("file_fid", c.remove.file_fid);
                v.u32("nlink", c.remove.nlink);
            });
        case FLR_JRN_RMDIR:
            return fn([](auto& v, auto& c) __attribute__((always_inline)) {
                v.fid("dir_fid", c.rmdir.dir_fid);
                v.fid("par_fid", c.rmdir.par_fid);
                v.str("short_name", c.rmdir.short_name);
            });
        case FLR_JRN_LINK:
            return fn([](auto& v, auto& c) __attribute__((always_inline)) {
                v.fid("src_fid", c.link.src_fid);
                v.fid("dst_par_fid", c.link.dst_par_fid);
                v.str("dst_short_name", c.link.dst_short_name);
            });
        case FLR_JRN_SYMLINK:
            return fn([](auto& v, auto& c) __attribute__((always_inline)) {
                v.str("src_name", c.symlink.src_name);
                v.fid("dst_par_fid", c.symlink.dst_par_fid);
                v.str("dst_short_name", c.symlink.dst_short_name);
                v.fid("dst_fid", c.symlink.dst_fid);
                v.u64("uid", c.symlink.uid);
                v.u64("gid", c.symlink.gid);
            });
        case FLR_JRN_RENAME:
            return fn([](auto& v, auto& c) __attribute__((always_inline)) {
                v.fid("src_fid", c.rename.src_fid);
                v.fid("src_par_fid", c.rename.src_par_fid);
                v.str("src_short_name", c.rename.src_short_name);
                v.u8("dst_fid_valid", c.rename.dst_fid_valid);
                v.fid("dst_fid", c.rename.dst_fid);
                v.fid("dst_par_fid", c.rename.dst_par_fid);
                v.str("dst_short_name", c.rename.dst_short_name);
            });
        case FLR_JRN_EXT2_SETFLAGS:
            return fn([](auto& v, auto& c) __attribute__((always_inline)) {
                v.fid("fid", c.setflags.fid);
                v.u32("flags", c.setflags.flags, Show::Hex);
            });
        case FLR_JRN_SET_ACL:
            return fn([](auto& v, auto& c) __attribute__((always_inline)) {
                v.fid("fid", c.setacl.fid);
                v.u32("data_len", c.setacl.data_len);
                v.bytes("data", c.setacl.data, c.setacl.data_len, kCopied);
            });
        case FLR_JRN_SETXATTR:
            return fn(kRawSetxattrBody<false>);
        case FLR_JRN_SETXATTR_AIX:
            return fn(kRawSetxattrBody<true>);
        case FLR_JRN_RMXATTR:
        case FLR_JRN_RMXATTR_AIX:
            return fn(kRawRmxattrBody);
        case FLR_JRN_STUB:
            return fn([](auto& v, auto& c) __attribute__((always_inline)) {
                v.fid("fid", c.stub.fid);
                v.str("meta", c.stub.meta);
            });
        case FLR_JRN_UNSTUB:
            return fn([](auto& v, auto& c)
                          __attribute__((always_inline)) { v.fid("fid", c.unstub.fid); });
        case FLR_JRN_FCLEAR:
            return fn([](auto& v, auto& c) __attribute__((always_inline)) {
                v.fid("fid", c.fclear.fid);
                v.u64("offset", c.fclear.offset);
                v.u64("length", c.fclear.length);
            });
        case FLR_JRN_TXTMSG:
            return fn([](auto& v, auto& c)
                          __attribute__((always_inline)) { v.str("msg", c.txtmsg.msg); });
        default:
            return fn([](auto&, auto&) {});
    }
}

// --- the walks -------------------------------------------------------------------

void readRawHeader(const uint8_t* p, FlrJrnCommand* c) {
    c->cmd = p[0];
    c->devt = jx::loadBE64(p + 4);
    c->seq_num = jx::loadBE64(p + 12);
    c->timestamp = static_cast<int32_t>(jx::loadBE32(p + 20));
    c->mask = jx::loadBE16(p + 24);
}

template <bool C>
FLR_JRN_INLINE void readRawBody(flrwire::Reader<C>& r, FlrJrnCommand* c) {
    flrwire::DecodeFields<C> fields(r);
    withRawBody(
        c->cmd, [&](auto body) __attribute__((always_inline)) { body(fields, *c); });
}

int refuse(std::string* why, std::string text) {
    if (why) *why = std::move(text);
    return -1;
}

// Total encoded size of a record with a raw form.
uint64_t rawSize(const FlrJrnCommand* c) {
    flrwire::SizeFields size(FLR_JRN_RAW_HDR_SIZE);
    withRawBody(c->cmd, [&](auto body) { body(size, *c); });
    return size.total;
}

FLR_JRN_INLINE void writeRawHeader(flrwire::Writer& w, const FlrJrnCommand* c, uint64_t total) {
    w.u8(static_cast<uint8_t>(c->cmd));
    jx::storeBE24(w.pos(), static_cast<uint32_t>(total));
    w.skip(3);
    w.u64(c->devt);
    w.u64(c->seq_num);
    w.u32(static_cast<uint32_t>(c->timestamp));
    jx::storeBE16(w.pos(), static_cast<uint16_t>(c->mask));
    w.skip(2);
}

// Behind both exported encoders. Measures the record (its strings once), and
// refuses one that cannot carry its length in 24 bits before writing a byte;
// otherwise the copy routine's answer, or 0. One switch per record.
int encodeRawRecord(const FlrJrnCommand* cmd, void* buf, FlrJrnCopyFn copyFn, void* ctx) {
    if (!cmd || !buf) return -1;
    return withRawBody(
        cmd->cmd, [&](auto body) __attribute__((always_inline)) {
            flrwire::SizeFields size(FLR_JRN_RAW_HDR_SIZE);
            body(size, *cmd);
            if (size.total > FLR_JRN_MAX_REC_LEN) return -1;
            flrwire::Writer w(static_cast<uint8_t*>(buf));
            writeRawHeader(w, cmd, size.total);
            flrwire::EncodeFields fields(w, size, copyFn, ctx);
            body(fields, *cmd);
            return fields.rc;
        });
}

}  // namespace

const char* flrJrnCodeName(uint32_t code) {
    return code <= FLR_JRN_MAX_CODE ? kCodeNames[code] : "UNKNOWN";
}

void decodeRawHdr(const void* buf, FlrJrnHeader* hdr) {
    if (!buf || !hdr) return;
    const auto* p = static_cast<const uint8_t*>(buf);
    hdr->cmd = p[0];
    hdr->rec_len = jx::loadBE24(p + 1);
    hdr->devt = jx::loadBE64(p + 4);
    hdr->seq_num = jx::loadBE64(p + 12);
    hdr->timestamp = jx::loadBE32(p + 20);
    hdr->mask = jx::loadBE16(p + 24);
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
    jx::storeBE24(p + 1, hdr->rec_len);
    jx::storeBE64(p + 4, hdr->devt);
    jx::storeBE64(p + 12, hdr->seq_num);
    jx::storeBE32(p + 20, hdr->timestamp);
    jx::storeBE16(p + 24, static_cast<uint16_t>(hdr->mask));
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
    const uint32_t recLen = jx::loadBE24(p + 1);
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
    if (!cmd || !isRawCode(cmd->cmd)) return 0;
    const uint64_t size = rawSize(cmd);
    return size <= FLR_JRN_MAX_REC_LEN ? static_cast<int>(size) : 0;
}

int __encodeRawCmd(const FlrJrnCommand* cmd, void* buf, FlrJrnCopyFn copyFn, void* ctx) {
    return encodeRawRecord(cmd, buf, copyFn, ctx);
}

int encodeRawCmd(const FlrJrnCommand* cmd, void* buf) {
    return encodeRawRecord(cmd, buf, nullptr, nullptr);
}

void printRawCmd(char* buf, size_t size, const FlrJrnCommand* cmd) {
    if (!buf || size == 0) return;
    if (!cmd) {
        buf[0] = '\0';
        return;
    }
    // Every label is padded with dots to 17 characters.
    flrwire::TextOut out(buf, size);
    out.add(
        "cmd.............. %s"
        "\ntimestamp........ %ld"
        "\nseq_num.......... %lld"
        "\ndevt............. 0x%llx"
        "\nmask............. 0x%02x",
        flrJrnCodeName(cmd->cmd), static_cast<long>(cmd->timestamp),
        static_cast<long long>(cmd->seq_num), static_cast<unsigned long long>(cmd->devt),
        static_cast<unsigned>(cmd->mask));
    flrwire::PrintFields fields(out);
    withRawBody(cmd->cmd, [&](auto body) { body(fields, *cmd); });
    buf[size - 1] = '\0';
}
