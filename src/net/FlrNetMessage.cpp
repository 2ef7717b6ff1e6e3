// The FLR_NET_* payload codec: FlrNetBase::encodeMessage and
// FlrNetBase::decodeMessage (layouts in docs/protocol.md, "Messages").
//
// netMessageFields() below is the one description of every message: its name and its
// fields in wire order. Encoding runs it twice (measure, then write) so sizes
// and bytes can never disagree; decoding checks every field, count and string
// against the payload length before it converts anything in place, so a
// rejected frame is left as it arrived and nothing past the payload is ever
// read; the receive ceilings and the text form come from the same walk.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "FLR/JxException.h"
#include "FlrNetBase.h"
#include "FlrNetFields.h"

namespace {

using flrnetwire::kDecodeFn;
using flrnetwire::kEncodeFn;
using flrnetwire::WireReader;
using flrnetwire::WireWriter;

// GET_FILE_CHECKSUMS_REQ, START_MD5_STREAM, GET_RSYNC_CSUMS_REQ, VERIFY_REQ.
template <class V, class R>
void netPathReqFields(R& r, V& v) {
    v.u32("blockSize", r.blockSize);
    v.str("path", r.path);
}

// Each message's own member of FlrNetMessage, field by field; the name, or
// null for a code nobody assigned (those carry nothing).
template <class V, class M>
const char* netMessageFields(int type, M& m, V& v) {
    switch (type) {
        case FLR_NET_JOURNAL:
            v.raw("records", m.journal, FlrNetBase::kMaxDataPayload);
            return "FLR_NET_JOURNAL";
        case FLR_NET_MIR_SET_PAIR_ID:
            v.u32("pairId", m.setPairId.pairId);
            return "FLR_NET_MIR_SET_PAIR_ID";
        case FLR_NET_MIR_HEADER: {
            auto& h = m.mirHeader;
            v.u64("ino", h.ino);
            v.u64("mode", h.mode);
            v.u64("uid", h.uid);
            v.u64("gid", h.gid);
            v.u64("size", h.size);
            v.u64("rdev", h.rdev);
            v.u64("collectOffset", h.collectOffset);
            v.u32("nlink", h.nlink);
            v.u32("atime", h.atime);
            v.u32("mtime", h.mtime);
            v.u32("ctime", h.ctime);
            v.u8("method", h.method);
            v.u8("hasACL", h.hasACL);
            v.u8("overwrite", h.overwrite);
            v.str("path", h.path);
            return "FLR_NET_MIR_HEADER";
        }
        case FLR_NET_MIR_ACL:
            v.raw("acl", m.acl, FlrNetBase::kMaxDataPayload);
            return "FLR_NET_MIR_ACL";
        case FLR_NET_MIR_DATA:
            v.raw("data", m.data, FlrNetBase::kMaxDataPayload);
            return "FLR_NET_MIR_DATA";
        case FLR_NET_MIR_SEEK:
            v.u64("offset", m.seek.offset);
            return "FLR_NET_MIR_SEEK";
        case FLR_NET_MIR_EOF:
            v.filler("filler", m.eof.filler);
            return "FLR_NET_MIR_EOF";
        case FLR_NET_ADD_PAIR:
            v.u32("arg1", m.addPair.arg1);
            v.u32("arg2", m.addPair.arg2);
            return "FLR_NET_ADD_PAIR";
        case FLR_NET_DEL_PAIR_REQ:
            v.u32("pairId", m.delPairReq.pairId);
            return "FLR_NET_DEL_PAIR_REQ";
        case FLR_NET_DEL_PAIR_RESP:
            v.u32("result", m.delPairResp.value);
            return "FLR_NET_DEL_PAIR_RESP";
        case FLR_NET_SET_GEN_ID:
            v.u64("genId", m.setGenId.genId);
            return "FLR_NET_SET_GEN_ID";
        case FLR_NET_SET_RESTORE_PARAMS:
            v.u32("restore", m.setRestoreParams.value);
            return "FLR_NET_SET_RESTORE_PARAMS";
        case FLR_NET_GET_LAST_SEQNUM_REQ:
            v.u32("pairId", m.getLastSeqNumReq.pairId);
            return "FLR_NET_GET_LAST_SEQNUM_REQ";
        case FLR_NET_GET_LAST_SEQNUM_RESP:
            v.u64("seqNum1", m.lastSeqNum.seqNum1);
            v.u64("seqNum2", m.lastSeqNum.seqNum2);
            return "FLR_NET_GET_LAST_SEQNUM_RESP";
        case FLR_NET_GET_LAST_TIME_REQ:
            v.u32("pairId", m.getLastTimeReq.pairId);
            return "FLR_NET_GET_LAST_TIME_REQ";
        case FLR_NET_GET_LAST_TIME_RESP:
            v.u32("timestamp", m.lastTime.timestamp);
            return "FLR_NET_GET_LAST_TIME_RESP";
        case FLR_NET_SET_LAST_TIME_REQ:
            v.u32("pairId", m.setLastTime.pairId);
            v.u32("timestamp", m.setLastTime.timestamp);
            return "FLR_NET_SET_LAST_TIME_REQ";
        case FLR_NET_GET_FILE_CHECKSUMS_REQ:
            netPathReqFields(m.fileCheckSumsReq, v);
            return "FLR_NET_GET_FILE_CHECKSUMS_REQ";
        case FLR_NET_GET_FILE_CHECKSUMS_RESP: {
            auto& r = m.fileCheckSums;
            v.count("count", r.count);
            v.blob("md5", r.md5, r.count, 16);
            return "FLR_NET_GET_FILE_CHECKSUMS_RESP";
        }
        case FLR_NET_PING:
            v.u32("value", m.ping.value);
            return "FLR_NET_PING";
        case FLR_NET_START_MD5_STREAM:
            netPathReqFields(m.startMD5Stream, v);
            return "FLR_NET_START_MD5_STREAM";
        case FLR_NET_RECV_MD5: {
            auto& r = m.recvMD5;
            v.u32("value", r.value);
            v.count("count", r.count);
            v.blob("weak", r.weak, r.count, 4);
            v.blob("md5", r.md5, r.count, 16);
            return "FLR_NET_RECV_MD5";
        }
        case FLR_NET_RECV_MD5_EOF:
            v.u32("value", m.recvMD5EOF.value);
            return "FLR_NET_RECV_MD5_EOF";
        case FLR_NET_GET_RSYNC_CSUMS_REQ:
            netPathReqFields(m.rsyncCsumsReq, v);
            return "FLR_NET_GET_RSYNC_CSUMS_REQ";
        case FLR_NET_GET_RSYNC_CSUMS_RESP: {
            auto& r = m.rsyncCsums;
            v.u64("value", r.value);
            v.count("count", r.count);
            v.blob("weak", r.weak, r.count, 4);
            v.blob("md5", r.md5, r.count, 16);
            return "FLR_NET_GET_RSYNC_CSUMS_RESP";
        }
        case FLR_NET_MIR_RSYNC: {
            // The arrays start 4 bytes into the payload: decoded, they go to
            // aligned storage.
            auto& r = m.mirRSync;
            v.count("count", r.count);
            v.aligned64("first", r.first, r.count);
            v.aligned64("second", r.second, r.count);
            return "FLR_NET_MIR_RSYNC";
        }
        case FLR_NET_GET_LAST_WRINDEX_REQ:
            v.u32("pairId", m.getLastWrIndexReq.pairId);
            return "FLR_NET_GET_LAST_WRINDEX_REQ";
        case FLR_NET_GET_LAST_WRINDEX_RESP:
            v.u64("wrIndex", m.lastWrIndex.wrIndex);
            return "FLR_NET_GET_LAST_WRINDEX_RESP";
        case FLR_NET_SET_LAST_WRINDEX_REQ:
            v.u32("pairId", m.setLastWrIndex.pairId);
            v.u64("wrIndex", m.setLastWrIndex.wrIndex);
            return "FLR_NET_SET_LAST_WRINDEX_REQ";
        case FLR_NET_MIR_SPEC_FILE:
            v.u32("specFile", m.mirSpecFile.id);
            return "FLR_NET_MIR_SPEC_FILE";
        case FLR_NET_LBFS_START: {
            auto& s = m.lbfsStart;
            v.u32("last", s.last);
            v.count("count", s.count);
            v.blob("hashes", s.hashes, s.count, 32);
            v.array64("offsets", s.offsets, s.count);
            v.array32("lengths", s.lengths, s.count);
            v.str("path", s.path);
            v.str("fid", s.fid);
            return "FLR_NET_LBFS_START";
        }
        case FLR_NET_LBFS_STOP:
            v.filler("filler", m.lbfsStop.filler);
            return "FLR_NET_LBFS_STOP";
        case FLR_NET_LBFS_BLOCK_REQ: {
            auto& r = m.lbfsBlockReq;
            v.u64("value", r.value);
            v.u32("last", r.last);
            v.count("count", r.count);
            v.array64("offsets", r.offsets, r.count);
            v.array32("lengths", r.lengths, r.count);
            v.str("str1", r.str1);
            v.str("str2", r.str2);
            return "FLR_NET_LBFS_BLOCK_REQ";
        }
        case FLR_NET_LBFS_BLOCK: {
            auto& b = m.lbfsBlock;
            v.u64("value", b.value);
            v.u64("offset", b.offset);
            v.u32("length", b.length);
            v.bytes("data", b.data, b.length);
            return "FLR_NET_LBFS_BLOCK";
        }
        case FLR_NET_LBFS_DONE:
            v.u64("value", m.lbfsDone.value);
            return "FLR_NET_LBFS_DONE";
        case FLR_NET_KEEP_ALIVE:
            v.u32("value", m.keepAlive.value);
            return "FLR_NET_KEEP_ALIVE";
        case FLR_NET_VERIFY_REQ:
            netPathReqFields(m.verifyReq, v);
            return "FLR_NET_VERIFY_REQ";
        case FLR_NET_VERIFY_ENTRIES:
            v.raw("records", m.verifyEntries, FlrNetBase::kMaxVerifyBatch);
            return "FLR_NET_VERIFY_ENTRIES";
        case FLR_NET_VERIFY_END: {
            auto& e = m.verifyEnd;
            v.u64("entries", e.entries);
            v.u32("status", e.status);
            v.str("text", e.text);
            return "FLR_NET_VERIFY_END";
        }
        case FLR_NET_MIR_ATTRS: {
            auto& a = m.mirAttrs;
            v.constant("attribute format", FlrNetMirAttrs::kFormat);
            v.u8("flags", a.flags);
            v.reserved("reserved");
            v.reserved("reserved");
            v.u64("atimeSec", a.atimeSec);
            v.u32("atimeNsec", a.atimeNsec);
            v.u64("mtimeSec", a.mtimeSec);
            v.u32("mtimeNsec", a.mtimeNsec);
            v.require(!(a.flags & FlrNetMirAttrs::kTimes) ||
                          (a.atimeNsec < 1000000000u && a.mtimeNsec < 1000000000u),
                      "nanoseconds out of range");
            v.xattrs("xattrs", a.count, a.block, a.blockLen);
            return "FLR_NET_MIR_ATTRS";
        }
        case FLR_NET_SET_RUN_ID:
            v.u64("runId", m.setRunId.runId);
            v.u64("follows", m.setRunId.follows);
            return "FLR_NET_SET_RUN_ID";
        default:
            return nullptr;
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

using NetCeiling =
    flrnetwire::CeilingFields<FlrNetBase::kMaxControlPayload, FlrNetBase::kMaxPathPayload,
                              FlrNetBase::kMaxDataPayload, FlrNetBase::kMaxAttrsPayload>;

}  // namespace

uint32_t FlrNetBase::maxPayloadFor(int type) {
    const FlrNetMessage m(type);
    NetCeiling v;
    netMessageFields(type, m, v);
    return v.ceiling;
}

const char* flrNetMsgName(int type) {
    const FlrNetMessage m(type);
    NetCeiling v;
    const char* name = netMessageFields(type, m, v);
    return name ? name : "UNKNOWN";
}

std::string flrNetMsgText(const FlrNetMessage& m) {
    std::string out = flrNetMsgName(m.type);
    flrnetwire::PrintFields v(out);
    netMessageFields(m.type, m, v);
    return out;
}

void FlrNetBase::encodeMessage(const FlrNetMessage& msg, void*& buf, int& bufSize, int* outLen) {
    WireWriter measure(nullptr);
    flrnetwire::EncodeFields sized(measure);
    netMessageFields(msg.type, msg, sized);
    const size_t need = measure.size();
    if (need > static_cast<size_t>(INT_MAX))
        JX_THROW(kEncodeFn,
                 jxFormat("%s message of %zu bytes is too large", flrNetMsgName(msg.type), need));
    if (bufSize < 0) bufSize = 0;
    if (need > static_cast<size_t>(bufSize)) reallocBuffer(buf, bufSize, need);
    WireWriter write(static_cast<unsigned char*>(buf));
    flrnetwire::EncodeFields written(write);
    netMessageFields(msg.type, msg, written);
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
    // Fields are read into a copy so that a rejected frame leaves msg with
    // nothing half-filled but its type.
    FlrNetMessage decoded(type);
    WireReader reader(reinterpret_cast<unsigned char*>(pkt.payload),
                      static_cast<size_t>(pkt.payloadLen), type);
    flrnetwire::DecodeFields fields(reader, aligned);
    if (!netMessageFields(type, decoded, fields)) return;
    fields.finish();
    *msg = decoded;
}
