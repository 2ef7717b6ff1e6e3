// The FLR_NET_* payload codec: FlrNetBase::encodeMessage and
// FlrNetBase::decodeMessage (layouts in docs/protocol.md, "Messages").
//
// One layout function per direction describes every type; encoding runs it
// twice (measure, then write) so sizes and bytes can never disagree.
// Decoding checks every field, count and string against the payload length
// before it converts anything in place, so a rejected frame is left as it
// arrived and nothing past the payload is ever read.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "FLR/JxException.h"
#include "FlrNetBase.h"
#include "FlrNetWire.h"
#include "platform/JxCoding.h"

namespace {

using flrnetwire::kDecodeFn;
using flrnetwire::kEncodeFn;
using flrnetwire::WireReader;
using flrnetwire::WireWriter;

const char* const kNames[FLR_NET_MAX_TYPE + 1] = {
    "FLR_NET_JOURNAL",
    "FLR_NET_MIR_SET_PAIR_ID",
    "FLR_NET_MIR_HEADER",
    "FLR_NET_MIR_ACL",
    "FLR_NET_MIR_DATA",
    "FLR_NET_MIR_SEEK",
    "FLR_NET_MIR_EOF",
    nullptr,
    "FLR_NET_ADD_PAIR",
    "FLR_NET_DEL_PAIR_REQ",
    "FLR_NET_DEL_PAIR_RESP",
    "FLR_NET_SET_GEN_ID",
    "FLR_NET_SET_RESTORE_PARAMS",
    "FLR_NET_GET_LAST_SEQNUM_REQ",
    "FLR_NET_GET_LAST_SEQNUM_RESP",
    "FLR_NET_GET_LAST_TIME_REQ",
    "FLR_NET_GET_LAST_TIME_RESP",
    "FLR_NET_SET_LAST_TIME_REQ",
    "FLR_NET_GET_FILE_CHECKSUMS_REQ",
    "FLR_NET_GET_FILE_CHECKSUMS_RESP",
    "FLR_NET_PING",
    "FLR_NET_START_MD5_STREAM",
    "FLR_NET_RECV_MD5",
    "FLR_NET_RECV_MD5_EOF",
    "FLR_NET_GET_RSYNC_CSUMS_REQ",
    "FLR_NET_GET_RSYNC_CSUMS_RESP",
    "FLR_NET_MIR_RSYNC",
    nullptr,
    "FLR_NET_GET_LAST_WRINDEX_REQ",
    "FLR_NET_GET_LAST_WRINDEX_RESP",
    "FLR_NET_SET_LAST_WRINDEX_REQ",
    "FLR_NET_MIR_SPEC_FILE",
    "FLR_NET_LBFS_START",
    "FLR_NET_LBFS_STOP",
    "FLR_NET_LBFS_BLOCK_REQ",
    "FLR_NET_LBFS_BLOCK",
    "FLR_NET_LBFS_DONE",
    "FLR_NET_KEEP_ALIVE",
    "FLR_NET_VERIFY_REQ",
    "FLR_NET_VERIFY_ENTRIES",
    "FLR_NET_VERIFY_END",
};

// --- encoding ------------------------------------------------------------------

size_t checkedCount(int count, const void* array, const char* what) {
    if (count < 0)
        JX_THROW(kEncodeFn, jxFormat("Invalid arguments: negative count %d of %s", count, what));
    if (count > 0 && !array) JX_THROW(kEncodeFn, jxFormat("Invalid arguments: %s==NULL", what));
    return static_cast<size_t>(count);
}

void checkRaw(const FlrNetRawBody& b) {
    if (b.len < 0 || (b.len > 0 && !b.data))
        JX_THROW(kEncodeFn, "Invalid arguments: a raw payload needs its bytes");
}

void layoutAttrs(const FlrNetMirAttrs& a, WireWriter& w) {
    if (a.blockLen > 0 && !a.block)
        JX_THROW(kEncodeFn, "Invalid arguments: an attribute block needs its bytes");
    w.u8(FlrNetMirAttrs::kFormat);
    w.u8(a.flags);
    w.u8(0);
    w.u8(0);
    w.u64(static_cast<uint64_t>(a.atimeSec));
    w.u32(a.atimeNsec);
    w.u64(static_cast<uint64_t>(a.mtimeSec));
    w.u32(a.mtimeNsec);
    w.u32(a.count);
    w.bytes(a.block, a.blockLen);
}

void layout(const FlrNetMessage& m, WireWriter& w) {
    switch (m.type) {
        case FLR_NET_JOURNAL:
        case FLR_NET_MIR_ACL:
        case FLR_NET_MIR_DATA:
        case FLR_NET_VERIFY_ENTRIES:
            // journal, acl, data and tree records share one layout.
            checkRaw(m.data);
            w.bytes(m.data.data, static_cast<size_t>(m.data.len));
            break;
        case FLR_NET_MIR_SET_PAIR_ID:
        case FLR_NET_DEL_PAIR_REQ:
        case FLR_NET_DEL_PAIR_RESP:
        case FLR_NET_SET_RESTORE_PARAMS:
        case FLR_NET_GET_LAST_SEQNUM_REQ:
        case FLR_NET_GET_LAST_TIME_REQ:
        case FLR_NET_GET_LAST_TIME_RESP:
        case FLR_NET_PING:
        case FLR_NET_RECV_MD5_EOF:
        case FLR_NET_GET_LAST_WRINDEX_REQ:
        case FLR_NET_MIR_SPEC_FILE:
        case FLR_NET_KEEP_ALIVE:
            w.u32(static_cast<uint32_t>(m.ping.value));
            break;
        case FLR_NET_MIR_EOF:
        case FLR_NET_LBFS_STOP:
            w.u32(0);
            break;
        case FLR_NET_MIR_HEADER: {
            const FlrNetMirHeader& h = m.mirHeader;
            w.u64(h.ino);
            w.u64(h.mode);
            w.u64(h.uid);
            w.u64(h.gid);
            w.u64(h.size);
            w.u64(h.rdev);
            w.u64(h.collectOffset);
            w.u32(h.nlink);
            w.u32(h.atime);
            w.u32(h.mtime);
            w.u32(h.ctime);
            w.u8(h.method);
            w.u8(h.hasACL);
            w.u8(h.overwrite);
            w.str(h.path);
            break;
        }
        case FLR_NET_MIR_SEEK:
            w.u64(static_cast<uint64_t>(m.seek.offset));
            break;
        case FLR_NET_MIR_ATTRS:
            layoutAttrs(m.mirAttrs, w);
            break;
        case FLR_NET_ADD_PAIR:
            w.u32(static_cast<uint32_t>(m.addPair.arg1));
            w.u32(static_cast<uint32_t>(m.addPair.arg2));
            break;
        case FLR_NET_SET_GEN_ID:
        case FLR_NET_GET_LAST_WRINDEX_RESP:
        case FLR_NET_LBFS_DONE:
            w.u64(m.setGenId.value);
            break;
        case FLR_NET_GET_LAST_SEQNUM_RESP:
            w.u64(m.lastSeqNum.seqNum1);
            w.u64(m.lastSeqNum.seqNum2);
            break;
        case FLR_NET_SET_LAST_TIME_REQ:
            w.u32(static_cast<uint32_t>(m.setLastTime.pairId));
            w.u32(static_cast<uint32_t>(m.setLastTime.timestamp));
            break;
        case FLR_NET_GET_FILE_CHECKSUMS_REQ:
        case FLR_NET_START_MD5_STREAM:
        case FLR_NET_GET_RSYNC_CSUMS_REQ:
        case FLR_NET_VERIFY_REQ:
            w.u32(static_cast<uint32_t>(m.fileCheckSumsReq.blockSize));
            w.str(m.fileCheckSumsReq.path);
            break;
        case FLR_NET_GET_FILE_CHECKSUMS_RESP: {
            const size_t n = checkedCount(m.fileCheckSums.count, m.fileCheckSums.md5, "md5");
            w.u32(static_cast<uint32_t>(n));
            w.bytes(m.fileCheckSums.md5, 16 * n);
            break;
        }
        case FLR_NET_RECV_MD5: {
            const FlrNetRecvMD5& r = m.recvMD5;
            const size_t n = checkedCount(r.count, r.weak, "weak");
            checkedCount(r.count, r.md5, "md5");
            w.u32(static_cast<uint32_t>(r.value));
            w.u32(static_cast<uint32_t>(n));
            w.bytes(r.weak, 4 * n);
            w.bytes(r.md5, 16 * n);
            break;
        }
        case FLR_NET_GET_RSYNC_CSUMS_RESP: {
            const FlrNetRSyncCheckSums& r = m.rsyncCsums;
            const size_t n = checkedCount(r.count, r.weak, "weak");
            checkedCount(r.count, r.md5, "md5");
            w.u64(r.value);
            w.u32(static_cast<uint32_t>(n));
            w.bytes(r.weak, 4 * n);
            w.bytes(r.md5, 16 * n);
            break;
        }
        case FLR_NET_MIR_RSYNC: {
            const FlrNetMirRSync& r = m.mirRSync;
            const size_t n = checkedCount(r.count, r.first, "first");
            checkedCount(r.count, r.second, "second");
            w.u32(static_cast<uint32_t>(n));
            w.array64(r.first, n);
            w.array64(r.second, n);
            break;
        }
        case FLR_NET_SET_LAST_WRINDEX_REQ:
            w.u32(static_cast<uint32_t>(m.setLastWrIndex.pairId));
            w.u64(m.setLastWrIndex.wrIndex);
            break;
        case FLR_NET_LBFS_START: {
            const FlrNetLBFSStart& s = m.lbfsStart;
            const size_t n = checkedCount(s.count, s.hashes, "hashes");
            checkedCount(s.count, s.offsets, "offsets");
            checkedCount(s.count, s.lengths, "lengths");
            w.u32(static_cast<uint32_t>(s.last));
            w.u32(static_cast<uint32_t>(n));
            w.bytes(s.hashes, 32 * n);
            w.array64(s.offsets, n);
            w.array32(s.lengths, n);
            w.str(s.path);
            w.str(s.fid);
            break;
        }
        case FLR_NET_LBFS_BLOCK_REQ: {
            const FlrNetLBFSBlockReq& r = m.lbfsBlockReq;
            const size_t n = checkedCount(r.count, r.offsets, "offsets");
            checkedCount(r.count, r.lengths, "lengths");
            w.u64(r.value);
            w.u32(static_cast<uint32_t>(r.last));
            w.u32(static_cast<uint32_t>(n));
            w.array64(r.offsets, n);
            w.array32(r.lengths, n);
            w.str(r.str1);
            w.str(r.str2);
            break;
        }
        case FLR_NET_LBFS_BLOCK: {
            const FlrNetLBFSBlock& b = m.lbfsBlock;
            if (b.length > static_cast<uint32_t>(INT_MAX) || (b.length > 0 && !b.data))
                JX_THROW(kEncodeFn, "Invalid arguments: a block needs its bytes");
            w.u64(b.value);
            w.u64(b.offset);
            w.u32(b.length);
            w.bytes(b.data, b.length);
            break;
        }
        case FLR_NET_VERIFY_END:
            w.u64(m.verifyEnd.entries);
            w.u32(static_cast<uint32_t>(m.verifyEnd.status));
            w.str(m.verifyEnd.text);
            break;
        default:
            // Unassigned codes carry nothing.
            break;
    }
}

void reallocBuffer(void*& buf, int& bufSize, size_t need) {
    const size_t rounded = (need + 1023) / 1024 * 1024;
    if (rounded > static_cast<size_t>(INT_MAX))
        JX_THROW("FlrNetBase::reallocBuffer", "Not enough memory");
    void* p = std::realloc(buf, rounded);
    if (!p) JX_THROW("FlrNetBase::reallocBuffer", "Not enough memory");
    buf = p;
    bufSize = static_cast<int>(rounded);
}

// --- decoding ------------------------------------------------------------------

// Host order in place; the stores are unaligned-safe.
void swap32InPlace(unsigned char* p, int n) {
    for (int i = 0; i < n; ++i, p += 4) jx::storeLE32(p, jx::loadBE32(p));
}

void swap64InPlace(unsigned char* p, int n) {
    for (int i = 0; i < n; ++i, p += 8) jx::storeLE64(p, jx::loadBE64(p));
}

// Big-endian 64-bit array elements into properly aligned host integers.
void copyBE64(long long* dst, const unsigned char* src, int n) {
    for (int i = 0; i < n; ++i) dst[i] = static_cast<long long>(jx::loadBE64(src + 8 * i));
}

template <class T>
T* as(unsigned char* p) {
    return reinterpret_cast<T*>(p);
}

void decodeAttrs(FlrNetMirAttrs& a, WireReader& r) {
    const uint8_t format = r.u8();
    if (format != FlrNetMirAttrs::kFormat)
        r.refuse(jxFormat("attribute format %u is not known here", format));
    a.flags = r.u8();
    r.u8();
    r.u8();
    a.atimeSec = static_cast<int64_t>(r.u64());
    a.atimeNsec = r.u32();
    a.mtimeSec = static_cast<int64_t>(r.u64());
    a.mtimeNsec = r.u32();
    if ((a.flags & FlrNetMirAttrs::kTimes) &&
        (a.atimeNsec >= 1000000000u || a.mtimeNsec >= 1000000000u))
        r.refuse("nanoseconds out of range");
    a.count = r.u32();
    a.block = r.rest();
    std::string why;
    const size_t used = flrNetCheckXattrBlock(a.block, r.left(), a.count, &why);
    if (!why.empty()) r.refuse(why);
    r.bytes(used);
    a.blockLen = static_cast<uint32_t>(used);
}

void decodeFields(FlrNetMessage& m, WireReader& r, std::vector<long long>& aligned) {
    switch (m.type) {
        case FLR_NET_MIR_SET_PAIR_ID:
        case FLR_NET_DEL_PAIR_REQ:
        case FLR_NET_DEL_PAIR_RESP:
        case FLR_NET_SET_RESTORE_PARAMS:
        case FLR_NET_GET_LAST_SEQNUM_REQ:
        case FLR_NET_GET_LAST_TIME_REQ:
        case FLR_NET_GET_LAST_TIME_RESP:
        case FLR_NET_PING:
        case FLR_NET_RECV_MD5_EOF:
        case FLR_NET_GET_LAST_WRINDEX_REQ:
        case FLR_NET_MIR_SPEC_FILE:
        case FLR_NET_KEEP_ALIVE:
        case FLR_NET_MIR_EOF:
        case FLR_NET_LBFS_STOP:
            m.ping.value = static_cast<int>(r.u32());
            break;
        case FLR_NET_MIR_HEADER: {
            FlrNetMirHeader& h = m.mirHeader;
            h.ino = r.u64();
            h.mode = r.u64();
            h.uid = r.u64();
            h.gid = r.u64();
            h.size = r.u64();
            h.rdev = r.u64();
            h.collectOffset = r.u64();
            h.nlink = r.u32();
            h.atime = r.u32();
            h.mtime = r.u32();
            h.ctime = r.u32();
            h.method = r.u8();
            h.hasACL = r.u8();
            h.overwrite = r.u8();
            h.path = r.str();
            break;
        }
        case FLR_NET_MIR_SEEK:
            m.seek.offset = static_cast<long long>(r.u64());
            break;
        case FLR_NET_MIR_ATTRS:
            decodeAttrs(m.mirAttrs, r);
            break;
        case FLR_NET_ADD_PAIR:
            m.addPair.arg1 = static_cast<int>(r.u32());
            m.addPair.arg2 = static_cast<int>(r.u32());
            break;
        case FLR_NET_SET_GEN_ID:
        case FLR_NET_GET_LAST_WRINDEX_RESP:
        case FLR_NET_LBFS_DONE:
            m.setGenId.value = r.u64();
            break;
        case FLR_NET_GET_LAST_SEQNUM_RESP:
            m.lastSeqNum.seqNum1 = r.u64();
            m.lastSeqNum.seqNum2 = r.u64();
            break;
        case FLR_NET_SET_LAST_TIME_REQ:
            m.setLastTime.pairId = static_cast<int>(r.u32());
            m.setLastTime.timestamp = static_cast<int>(r.u32());
            break;
        case FLR_NET_GET_FILE_CHECKSUMS_REQ:
        case FLR_NET_START_MD5_STREAM:
        case FLR_NET_GET_RSYNC_CSUMS_REQ:
        case FLR_NET_VERIFY_REQ:
            m.fileCheckSumsReq.blockSize = static_cast<int>(r.u32());
            m.fileCheckSumsReq.path = r.str();
            break;
        case FLR_NET_GET_FILE_CHECKSUMS_RESP: {
            const int n = r.count();
            m.fileCheckSums.md5 = as<unsigned char[16]>(r.array(n, 16));
            m.fileCheckSums.count = n;
            break;
        }
        case FLR_NET_RECV_MD5: {
            FlrNetRecvMD5& s = m.recvMD5;
            s.value = static_cast<int>(r.u32());
            const int n = r.count();
            unsigned char* weak = r.array(n, 4);
            s.md5 = as<unsigned char[16]>(r.array(n, 16));
            s.weak = as<unsigned char[4]>(weak);
            s.count = n;
            break;
        }
        case FLR_NET_GET_RSYNC_CSUMS_RESP: {
            FlrNetRSyncCheckSums& s = m.rsyncCsums;
            s.value = r.u64();
            const int n = r.count();
            unsigned char* weak = r.array(n, 4);
            s.md5 = as<unsigned char[16]>(r.array(n, 16));
            s.weak = as<unsigned char[4]>(weak);
            s.count = n;
            break;
        }
        case FLR_NET_MIR_RSYNC: {
            const int n = r.count();
            const unsigned char* first = r.array(n, 8);
            const unsigned char* second = r.array(n, 8);
            // The arrays start 4 bytes into the payload: a long long* there
            // would be misaligned, so the values go to aligned storage.
            aligned.resize(2 * static_cast<size_t>(n));
            copyBE64(aligned.data(), first, n);
            copyBE64(aligned.data() + n, second, n);
            m.mirRSync.count = n;
            m.mirRSync.first = aligned.data();
            m.mirRSync.second = aligned.data() + n;
            break;
        }
        case FLR_NET_SET_LAST_WRINDEX_REQ:
            m.setLastWrIndex.pairId = static_cast<int>(r.u32());
            m.setLastWrIndex.wrIndex = r.u64();
            break;
        case FLR_NET_LBFS_START: {
            FlrNetLBFSStart& s = m.lbfsStart;
            const int last = static_cast<int>(r.u32());
            const int n = r.count();
            unsigned char* hashes = r.array(n, 32);
            unsigned char* offsets = r.array(n, 8);
            unsigned char* lengths = r.array(n, 4);
            const char* path = r.str();
            const char* fid = r.str();
            swap64InPlace(offsets, n);
            swap32InPlace(lengths, n);
            s.last = last;
            s.count = n;
            s.hashes = as<unsigned char[32]>(hashes);
            s.offsets = as<uint64_t>(offsets);
            s.lengths = as<uint32_t>(lengths);
            s.path = path;
            s.fid = fid;
            break;
        }
        case FLR_NET_LBFS_BLOCK_REQ: {
            FlrNetLBFSBlockReq& s = m.lbfsBlockReq;
            const uint64_t value = r.u64();
            const int last = static_cast<int>(r.u32());
            const int n = r.count();
            unsigned char* offsets = r.array(n, 8);
            unsigned char* lengths = r.array(n, 4);
            const char* str1 = r.str();
            const char* str2 = r.str();
            swap64InPlace(offsets, n);
            swap32InPlace(lengths, n);
            s.value = value;
            s.last = last;
            s.count = n;
            s.offsets = as<uint64_t>(offsets);
            s.lengths = as<uint32_t>(lengths);
            s.str1 = str1;
            s.str2 = str2;
            break;
        }
        case FLR_NET_LBFS_BLOCK: {
            FlrNetLBFSBlock& b = m.lbfsBlock;
            b.value = r.u64();
            b.offset = r.u64();
            b.length = r.u32();
            b.data = r.bytes(b.length);
            break;
        }
        case FLR_NET_VERIFY_END: {
            FlrNetVerifyEnd& e = m.verifyEnd;
            e.entries = r.u64();
            e.status = static_cast<int>(r.u32());
            e.text = r.str();
            break;
        }
        default:
            break;
    }
}

}  // namespace

uint32_t FlrNetBase::maxPayloadFor(int type) {
    switch (type) {
        case FLR_NET_JOURNAL:
        case FLR_NET_MIR_ACL:
        case FLR_NET_MIR_DATA:
        case FLR_NET_GET_FILE_CHECKSUMS_RESP:
        case FLR_NET_RECV_MD5:
        case FLR_NET_GET_RSYNC_CSUMS_RESP:
        case FLR_NET_MIR_RSYNC:
        case FLR_NET_LBFS_START:
        case FLR_NET_LBFS_BLOCK_REQ:
        case FLR_NET_LBFS_BLOCK:
            return kMaxDataPayload;
        case FLR_NET_MIR_ATTRS:
            // The fixed fields, and per item its name's NUL and length.
            return kMaxAttrsPayload;
        case FLR_NET_MIR_HEADER:
        case FLR_NET_GET_FILE_CHECKSUMS_REQ:
        case FLR_NET_START_MD5_STREAM:
        case FLR_NET_GET_RSYNC_CSUMS_REQ:
        case FLR_NET_VERIFY_REQ:
        case FLR_NET_VERIFY_END:
            return kMaxPathPayload;
        case FLR_NET_VERIFY_ENTRIES:
            return kMaxVerifyBatch;
        default:
            // Fixed-size control messages, and codes nobody assigned, which
            // carry nothing.
            return kMaxControlPayload;
    }
}

const char* flrNetMsgName(int type) {
    if (type == FLR_NET_MIR_ATTRS) return "FLR_NET_MIR_ATTRS";
    if (type < 0 || type > FLR_NET_MAX_TYPE || !kNames[type]) return "UNKNOWN";
    return kNames[type];
}

void FlrNetBase::encodeMessage(const FlrNetMessage& msg, void*& buf, int& bufSize, int* outLen) {
    WireWriter measure(nullptr);
    layout(msg, measure);
    const size_t need = measure.size();
    if (need > static_cast<size_t>(INT_MAX))
        JX_THROW(kEncodeFn,
                 jxFormat("%s message of %zu bytes is too large", flrNetMsgName(msg.type), need));
    if (bufSize < 0) bufSize = 0;
    if (need > static_cast<size_t>(bufSize)) reallocBuffer(buf, bufSize, need);
    WireWriter write(static_cast<unsigned char*>(buf));
    layout(msg, write);
    if (outLen) *outLen = static_cast<int>(need);
}

void FlrNetBase::decodeMessage(FlrNetMessage* msg, const SdtLinkPacket& pkt) {
    thread_local std::vector<long long> aligned;
    decodeMessage(msg, pkt, aligned);
}

void FlrNetBase::decodeMessage(FlrNetMessage* msg, const SdtLinkPacket& pkt,
                               std::vector<long long>& aligned) {
    if (!msg) JX_THROW(kDecodeFn, "Invalid arguments: msg==NULL");
    if (pkt.kind != SdtLinkPacket::kMessageFrame)
        JX_THROW(kDecodeFn, "SDT packet has an invalid type.");
    if (pkt.payloadLen < 0 || (pkt.payloadLen > 0 && !pkt.payload))
        JX_THROW(kDecodeFn, "Invalid arguments: the packet has no payload");
    const int type = static_cast<int>(pkt.msgType);
    msg->type = type;
    switch (type) {
        case FLR_NET_JOURNAL:
        case FLR_NET_MIR_ACL:
        case FLR_NET_MIR_DATA:
        case FLR_NET_VERIFY_ENTRIES:
            msg->data.data = pkt.payload;
            msg->data.len = pkt.payloadLen;
            return;
        default:
            break;
    }
    // Fields are read into a copy so that a rejected frame leaves msg with
    // nothing half-filled but its type.
    FlrNetMessage decoded(type);
    WireReader reader(reinterpret_cast<unsigned char*>(pkt.payload),
                      static_cast<size_t>(pkt.payloadLen), type);
    decodeFields(decoded, reader, aligned);
    if ((type >= 0 && type <= FLR_NET_MAX_TYPE && kNames[type]) || type == FLR_NET_MIR_ATTRS)
        *msg = decoded;
}
