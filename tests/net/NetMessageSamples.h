#pragma once
// One filled-in message of every assigned FLR_NET_* type, and a field-by-field
// comparison, shared by the codec tests and the tests that carry messages
// over a real link.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "link/SdtNetLink.h"
#include "net/FlrNetBase.h"
#include "net/FlrNetMessage.h"

namespace flrnettest {

using Bytes = std::vector<unsigned char>;

// The payload encodeMessage gives for m.
inline Bytes encodeToBytes(const FlrNetMessage& m) {
    void* buf = nullptr;
    int cap = 0;
    int len = -1;
    FlrNetBase::encodeMessage(m, buf, cap, &len);
    const auto* p = static_cast<const unsigned char*>(buf);
    Bytes out(p, p + len);
    std::free(buf);
    return out;
}

// Decodes a payload of that type from a heap block of exactly its size (the
// sanitizer catches any read past it); holder keeps the bytes m points into.
inline void decodeFromBytes(FlrNetMessage* m, int type, const Bytes& bytes, Bytes& holder) {
    holder = bytes;
    holder.shrink_to_fit();
    SdtLinkPacket pkt;
    pkt.kind = SdtLinkPacket::kMessageFrame;
    pkt.msgType = static_cast<uint32_t>(type);
    pkt.payloadLen = static_cast<int>(holder.size());
    pkt.payload = holder.empty() ? nullptr : reinterpret_cast<char*>(holder.data());
    FlrNetBase::decodeMessage(m, pkt);
}

// Backing arrays of the samples (non-empty, with distinctive values).
struct SampleData {
    static constexpr int kN = 3;
    unsigned char md5[kN][16];
    unsigned char weak[kN][4];
    unsigned char hashes[kN][32];
    uint64_t offsets[kN] = {0x0102030405060708ULL, 4096, 0xFFFFFFFFFFFFFFF0ULL};
    uint32_t lengths[kN] = {0x0A0B0C0D, 65535, 1};
    long long first[kN] = {-1, 0x7FFFFFFFFFFFFFFFLL, 12345};
    long long second[kN] = {-0x7FFFFFFFFFFFFFFFLL, 42, -99};
    std::string bytes;

    SampleData() {
        for (int i = 0; i < kN; ++i) {
            for (int j = 0; j < 16; ++j) md5[i][j] = static_cast<unsigned char>(i * 16 + j);
            for (int j = 0; j < 4; ++j) weak[i][j] = static_cast<unsigned char>(0xF0 + i * 4 + j);
            for (int j = 0; j < 32; ++j) hashes[i][j] = static_cast<unsigned char>(0x80 + i + j);
        }
        for (int i = 0; i < 300; ++i) bytes += static_cast<char>(i * 7);
    }
};

inline SampleData& sampleData() {
    static SampleData d;
    return d;
}

inline std::vector<FlrNetMessage> sampleMessages() {
    SampleData& d = sampleData();
    std::vector<FlrNetMessage> out;
    auto add = [&out](int type) -> FlrNetMessage& {
        out.emplace_back(type);
        return out.back();
    };
    const int n = SampleData::kN;
    add(FLR_NET_JOURNAL).journal = {d.bytes.data(), static_cast<int>(d.bytes.size())};
    add(FLR_NET_MIR_SET_PAIR_ID).setPairId.pairId = 7;
    FlrNetMirHeader& h = add(FLR_NET_MIR_HEADER).mirHeader;
    h = {1ULL << 40, 0100644, 1000,           1001,       1ULL << 33, 0x0801,
         987654321,  2,       1700000001,     1700000002, 1700000003, FlrNetMirHeader::kLBFS,
         1,          1,       "dir/file name"};
    add(FLR_NET_MIR_ACL).acl = {d.bytes.data(), 17};
    add(FLR_NET_MIR_DATA).data = {d.bytes.data(), static_cast<int>(d.bytes.size())};
    add(FLR_NET_MIR_SEEK).seek.offset = -4096;
    add(FLR_NET_MIR_EOF).eof.filler = 0;
    add(FLR_NET_ADD_PAIR).addPair = {11, -12};
    add(FLR_NET_DEL_PAIR_REQ).delPairReq.pairId = 13;
    add(FLR_NET_DEL_PAIR_RESP).delPairResp.value = 0;
    add(FLR_NET_SET_GEN_ID).setGenId.genId = 0xDEADBEEFCAFEF00DULL;
    add(FLR_NET_SET_RESTORE_PARAMS).setRestoreParams.value = 1;
    add(FLR_NET_GET_LAST_SEQNUM_REQ).getLastSeqNumReq.pairId = 14;
    add(FLR_NET_GET_LAST_SEQNUM_RESP).lastSeqNum = {0x1122334455667788ULL, 99};
    add(FLR_NET_GET_LAST_TIME_REQ).getLastTimeReq.pairId = 15;
    add(FLR_NET_GET_LAST_TIME_RESP).lastTime.timestamp = -5;
    add(FLR_NET_SET_LAST_TIME_REQ).setLastTime = {16, 1700000000};
    add(FLR_NET_GET_FILE_CHECKSUMS_REQ).fileCheckSumsReq = {65536, "a/b"};
    add(FLR_NET_GET_FILE_CHECKSUMS_RESP).fileCheckSums = {n, d.md5};
    add(FLR_NET_PING).ping.value = 1;
    add(FLR_NET_START_MD5_STREAM).startMD5Stream = {4096, "md5 path"};
    add(FLR_NET_RECV_MD5).recvMD5 = {-7, n, d.weak, d.md5};
    add(FLR_NET_RECV_MD5_EOF).recvMD5EOF.value = 3;
    add(FLR_NET_GET_RSYNC_CSUMS_REQ).rsyncCsumsReq = {700, "rsync path"};
    add(FLR_NET_GET_RSYNC_CSUMS_RESP).rsyncCsums = {0xABCDEF0123ULL, n, d.weak, d.md5};
    add(FLR_NET_MIR_RSYNC).mirRSync = {n, d.first, d.second};
    add(FLR_NET_GET_LAST_WRINDEX_REQ).getLastWrIndexReq.pairId = 17;
    add(FLR_NET_GET_LAST_WRINDEX_RESP).lastWrIndex.wrIndex = 1ULL << 63;
    add(FLR_NET_SET_LAST_WRINDEX_REQ).setLastWrIndex = {18, 0x0F0E0D0C0B0A0908ULL};
    add(FLR_NET_MIR_SPEC_FILE).mirSpecFile.id = 19;
    FlrNetLBFSStart& s = add(FLR_NET_LBFS_START).lbfsStart;
    s = {1,
         n,
         d.hashes,
         d.offsets,
         d.lengths,
         "lbfs/path",
         "0123456789abcdef0123456789abcdef0123456789abcdef"};
    add(FLR_NET_LBFS_STOP).lbfsStop.filler = 0;
    FlrNetLBFSBlockReq& r = add(FLR_NET_LBFS_BLOCK_REQ).lbfsBlockReq;
    r = {77, 0, n, d.offsets, d.lengths, "first string", "second string"};
    add(FLR_NET_LBFS_BLOCK).lbfsBlock = {78, 1ULL << 35, 100, d.bytes.data()};
    add(FLR_NET_LBFS_DONE).lbfsDone.value = 79;
    add(FLR_NET_KEEP_ALIVE).keepAlive.value = 0;
    add(FLR_NET_VERIFY_REQ).verifyReq = {0, "/replica/below root"};
    add(FLR_NET_VERIFY_ENTRIES).verifyEntries = {d.bytes.data(), 123};
    add(FLR_NET_VERIFY_END).verifyEnd = {0x0102030405ULL, 13, "refused /x: outside the root"};
    add(FLR_NET_SET_RUN_ID).setRunId = {0x8877665544332211ULL, 0x0102030405060708ULL};
    return out;
}

// An empty array may be a null pointer, which memcmp must not be given.
inline void expectBytes(const void* a, const void* b, size_t n) {
    if (n == 0) return;
    ASSERT_TRUE(a && b);
    EXPECT_EQ(0, std::memcmp(a, b, n));
}

// Field-by-field equality of a sent and a received message.
inline void expectSameMessage(const FlrNetMessage& a, const FlrNetMessage& b) {
    ASSERT_EQ(a.type, b.type);
    SCOPED_TRACE(flrNetMsgName(a.type));
    switch (a.type) {
        case FLR_NET_JOURNAL:
        case FLR_NET_MIR_ACL:
        case FLR_NET_MIR_DATA:
        case FLR_NET_VERIFY_ENTRIES:
            ASSERT_EQ(a.data.len, b.data.len);
            expectBytes(a.data.data, b.data.data, static_cast<size_t>(a.data.len));
            break;
        case FLR_NET_MIR_HEADER: {
            const FlrNetMirHeader& x = a.mirHeader;
            const FlrNetMirHeader& y = b.mirHeader;
            EXPECT_EQ(x.ino, y.ino);
            EXPECT_EQ(x.mode, y.mode);
            EXPECT_EQ(x.uid, y.uid);
            EXPECT_EQ(x.gid, y.gid);
            EXPECT_EQ(x.size, y.size);
            EXPECT_EQ(x.rdev, y.rdev);
            EXPECT_EQ(x.collectOffset, y.collectOffset);
            EXPECT_EQ(x.nlink, y.nlink);
            EXPECT_EQ(x.atime, y.atime);
            EXPECT_EQ(x.mtime, y.mtime);
            EXPECT_EQ(x.ctime, y.ctime);
            EXPECT_EQ(x.method, y.method);
            EXPECT_EQ(x.hasACL, y.hasACL);
            EXPECT_EQ(x.overwrite, y.overwrite);
            EXPECT_STREQ(x.path, y.path);
            break;
        }
        case FLR_NET_MIR_SEEK:
            EXPECT_EQ(a.seek.offset, b.seek.offset);
            break;
        case FLR_NET_VERIFY_END:
            EXPECT_EQ(a.verifyEnd.entries, b.verifyEnd.entries);
            EXPECT_EQ(a.verifyEnd.status, b.verifyEnd.status);
            EXPECT_STREQ(a.verifyEnd.text, b.verifyEnd.text);
            break;
        case FLR_NET_ADD_PAIR:
            EXPECT_EQ(a.addPair.arg1, b.addPair.arg1);
            EXPECT_EQ(a.addPair.arg2, b.addPair.arg2);
            break;
        case FLR_NET_SET_RUN_ID:
            EXPECT_EQ(a.setRunId.runId, b.setRunId.runId);
            EXPECT_EQ(a.setRunId.follows, b.setRunId.follows);
            break;
        case FLR_NET_SET_GEN_ID:
            EXPECT_EQ(a.setGenId.genId, b.setGenId.genId);
            break;
        case FLR_NET_GET_LAST_WRINDEX_RESP:
            EXPECT_EQ(a.lastWrIndex.wrIndex, b.lastWrIndex.wrIndex);
            break;
        case FLR_NET_LBFS_DONE:
            EXPECT_EQ(a.lbfsDone.value, b.lbfsDone.value);
            break;
        case FLR_NET_GET_LAST_SEQNUM_RESP:
            EXPECT_EQ(a.lastSeqNum.seqNum1, b.lastSeqNum.seqNum1);
            EXPECT_EQ(a.lastSeqNum.seqNum2, b.lastSeqNum.seqNum2);
            break;
        case FLR_NET_SET_LAST_TIME_REQ:
            EXPECT_EQ(a.setLastTime.pairId, b.setLastTime.pairId);
            EXPECT_EQ(a.setLastTime.timestamp, b.setLastTime.timestamp);
            break;
        case FLR_NET_GET_FILE_CHECKSUMS_REQ:
        case FLR_NET_START_MD5_STREAM:
        case FLR_NET_GET_RSYNC_CSUMS_REQ:
        case FLR_NET_VERIFY_REQ:
            EXPECT_EQ(a.fileCheckSumsReq.blockSize, b.fileCheckSumsReq.blockSize);
            EXPECT_STREQ(a.fileCheckSumsReq.path, b.fileCheckSumsReq.path);
            break;
        case FLR_NET_GET_FILE_CHECKSUMS_RESP:
            ASSERT_EQ(a.fileCheckSums.count, b.fileCheckSums.count);
            expectBytes(a.fileCheckSums.md5, b.fileCheckSums.md5, 16u * a.fileCheckSums.count);
            break;
        case FLR_NET_RECV_MD5:
            EXPECT_EQ(a.recvMD5.value, b.recvMD5.value);
            ASSERT_EQ(a.recvMD5.count, b.recvMD5.count);
            expectBytes(a.recvMD5.weak, b.recvMD5.weak, 4u * a.recvMD5.count);
            expectBytes(a.recvMD5.md5, b.recvMD5.md5, 16u * a.recvMD5.count);
            break;
        case FLR_NET_GET_RSYNC_CSUMS_RESP:
            EXPECT_EQ(a.rsyncCsums.value, b.rsyncCsums.value);
            ASSERT_EQ(a.rsyncCsums.count, b.rsyncCsums.count);
            expectBytes(a.rsyncCsums.weak, b.rsyncCsums.weak, 4u * a.rsyncCsums.count);
            expectBytes(a.rsyncCsums.md5, b.rsyncCsums.md5, 16u * a.rsyncCsums.count);
            break;
        case FLR_NET_MIR_RSYNC:
            ASSERT_EQ(a.mirRSync.count, b.mirRSync.count);
            for (int i = 0; i < a.mirRSync.count; ++i) {
                EXPECT_EQ(a.mirRSync.firstAt(i), b.mirRSync.firstAt(i));
                EXPECT_EQ(a.mirRSync.secondAt(i), b.mirRSync.secondAt(i));
            }
            break;
        case FLR_NET_SET_LAST_WRINDEX_REQ:
            EXPECT_EQ(a.setLastWrIndex.pairId, b.setLastWrIndex.pairId);
            EXPECT_EQ(a.setLastWrIndex.wrIndex, b.setLastWrIndex.wrIndex);
            break;
        case FLR_NET_LBFS_START: {
            const FlrNetLBFSStart& x = a.lbfsStart;
            const FlrNetLBFSStart& y = b.lbfsStart;
            EXPECT_EQ(x.last, y.last);
            ASSERT_EQ(x.count, y.count);
            expectBytes(x.hashes, y.hashes, 32u * x.count);
            for (int i = 0; i < x.count; ++i) {
                EXPECT_EQ(x.offsetAt(i), y.offsetAt(i));
                EXPECT_EQ(x.lengthAt(i), y.lengthAt(i));
            }
            EXPECT_STREQ(x.path, y.path);
            EXPECT_STREQ(x.fid, y.fid);
            break;
        }
        case FLR_NET_LBFS_BLOCK_REQ: {
            const FlrNetLBFSBlockReq& x = a.lbfsBlockReq;
            const FlrNetLBFSBlockReq& y = b.lbfsBlockReq;
            EXPECT_EQ(x.value, y.value);
            EXPECT_EQ(x.last, y.last);
            ASSERT_EQ(x.count, y.count);
            for (int i = 0; i < x.count; ++i) {
                EXPECT_EQ(x.offsetAt(i), y.offsetAt(i));
                EXPECT_EQ(x.lengthAt(i), y.lengthAt(i));
            }
            EXPECT_STREQ(x.str1, y.str1);
            EXPECT_STREQ(x.str2, y.str2);
            break;
        }
        case FLR_NET_LBFS_BLOCK:
            EXPECT_EQ(a.lbfsBlock.value, b.lbfsBlock.value);
            EXPECT_EQ(a.lbfsBlock.offset, b.lbfsBlock.offset);
            ASSERT_EQ(a.lbfsBlock.length, b.lbfsBlock.length);
            expectBytes(a.lbfsBlock.data, b.lbfsBlock.data, a.lbfsBlock.length);
            break;
        default:
            // The one-int messages: each its own member, so by their text.
            EXPECT_EQ(flrNetMsgText(a), flrNetMsgText(b));
            break;
    }
}

}  // namespace flrnettest
