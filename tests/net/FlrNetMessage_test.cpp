// The FLR_NET_* codec: layouts byte for byte, buffer growth, round trips of
// every type, and refusal of every truncated or lying payload.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FLR/JxException.h"
#include "NetMessageSamples.h"
#include "net/FlrNetBase.h"

namespace {

using flrnettest::expectSameMessage;
using flrnettest::sampleMessages;

std::vector<unsigned char> encode(const FlrNetMessage& m) {
    void* buf = nullptr;
    int cap = 0;
    int len = -1;
    FlrNetBase::encodeMessage(m, buf, cap, &len);
    const auto* p = static_cast<const unsigned char*>(buf);
    std::vector<unsigned char> out(p, p + len);
    std::free(buf);
    return out;
}

SdtLinkPacket packet(int type, std::vector<unsigned char>& payload, size_t skip = 0) {
    SdtLinkPacket pkt;
    pkt.kind = SdtLinkPacket::kMessageFrame;
    pkt.msgType = static_cast<uint32_t>(type);
    pkt.payloadLen = static_cast<int>(payload.size() - skip);
    pkt.payload = payload.empty() ? nullptr : reinterpret_cast<char*>(payload.data() + skip);
    return pkt;
}

// Decodes from a heap block of exactly the payload's size, so that any read
// past it is caught by the address sanitizer.
void decodeExact(FlrNetMessage* m, int type, const std::vector<unsigned char>& bytes,
                 std::vector<unsigned char>& holder) {
    holder = bytes;
    holder.shrink_to_fit();
    FlrNetBase::decodeMessage(m, packet(type, holder));
}

uint64_t be64At(const std::vector<unsigned char>& v, size_t off) {
    uint64_t x = 0;
    for (int i = 0; i < 8; ++i) x = (x << 8) | v.at(off + i);
    return x;
}

uint32_t be32At(const std::vector<unsigned char>& v, size_t off) {
    uint32_t x = 0;
    for (int i = 0; i < 4; ++i) x = (x << 8) | v.at(off + i);
    return x;
}

void put32(std::vector<unsigned char>& v, uint32_t x) {
    for (int i = 3; i >= 0; --i) v.push_back(static_cast<unsigned char>(x >> (8 * i)));
}

void expectDecodeRefused(int type, std::vector<unsigned char> payload, const char* fragment) {
    FlrNetMessage m;
    std::vector<unsigned char> holder;
    try {
        decodeExact(&m, type, payload, holder);
        ADD_FAILURE() << flrNetMsgName(type) << " with " << payload.size() << " bytes was accepted";
    } catch (const JxException& e) {
        EXPECT_EQ("FlrNetBase::decodeMessage", e.getFunction());
        EXPECT_NE(std::string::npos, e.getMessage().find(fragment)) << e.getMessage();
        EXPECT_NE(std::string::npos, e.getMessage().find(flrNetMsgName(type)));
    }
}

TEST(FlrNetMessage, EveryTypeRoundTrips) {
    const std::vector<FlrNetMessage> samples = sampleMessages();
    ASSERT_EQ(40u, samples.size());
    for (const FlrNetMessage& sent : samples) {
        const std::vector<unsigned char> bytes = encode(sent);
        FlrNetMessage got;
        std::vector<unsigned char> holder;
        decodeExact(&got, sent.type, bytes, holder);
        expectSameMessage(sent, got);
    }
}

TEST(FlrNetMessage, FieldsAreBigEndianAndPacked) {
    FlrNetMessage m(FLR_NET_GET_LAST_SEQNUM_RESP);
    m.lastSeqNum = {0x1122334455667788ULL, 0x99};
    EXPECT_EQ((std::vector<unsigned char>{0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0, 0, 0,
                                          0, 0, 0, 0, 0x99}),
              encode(m));

    FlrNetMessage h(FLR_NET_MIR_HEADER);
    h.mirHeader = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 3, 1, 0, ""};
    const std::vector<unsigned char> hb = encode(h);
    ASSERT_EQ(76u, hb.size());  // 75 fixed bytes and the empty path's NUL
    for (unsigned i = 0; i < 7; ++i) EXPECT_EQ(i + 1, be64At(hb, 8 * i));
    for (unsigned i = 0; i < 4; ++i) EXPECT_EQ(8 + i, be32At(hb, 56 + 4 * i));
    EXPECT_EQ(3, hb[72]);
    EXPECT_EQ(1, hb[73]);
    EXPECT_EQ(0, hb[74]);
    EXPECT_EQ(0, hb[75]);

    // Structure of arrays: all first values, then all second values.
    long long first[2] = {1, 2};
    long long second[2] = {-1, -2};
    FlrNetMessage r(FLR_NET_MIR_RSYNC);
    r.mirRSync = {2, first, second};
    const std::vector<unsigned char> rb = encode(r);
    ASSERT_EQ(4u + 32u, rb.size());
    EXPECT_EQ(2u, be32At(rb, 0));
    EXPECT_EQ(1u, be64At(rb, 4));
    EXPECT_EQ(2u, be64At(rb, 12));
    EXPECT_EQ(~0ULL, be64At(rb, 20));
    EXPECT_EQ(~1ULL, be64At(rb, 28));

    uint64_t offs[2] = {10, 20};
    uint32_t lens[2] = {30, 40};
    FlrNetMessage q(FLR_NET_LBFS_BLOCK_REQ);
    q.lbfsBlockReq = {5, 1, 2, offs, lens, "s1", "s2"};
    const std::vector<unsigned char> qb = encode(q);
    ASSERT_EQ(16u + 24u + 6u, qb.size());
    EXPECT_EQ(5u, be64At(qb, 0));
    EXPECT_EQ(1u, be32At(qb, 8));
    EXPECT_EQ(2u, be32At(qb, 12));
    EXPECT_EQ(20u, be64At(qb, 24));
    EXPECT_EQ(40u, be32At(qb, 36));
    EXPECT_EQ(0, std::memcmp(qb.data() + 40, "s1\0s2\0", 6));
}

TEST(FlrNetMessage, EmptyArraysHaveTheSmallestSizes) {
    FlrNetMessage md5(FLR_NET_RECV_MD5);
    md5.recvMD5 = {9, 0, nullptr, nullptr};
    EXPECT_EQ(8u, encode(md5).size());

    const char fid[] = "000000000000000000000000000000000000000000000000";
    FlrNetMessage start(FLR_NET_LBFS_START);
    start.lbfsStart = {1, 0, nullptr, nullptr, nullptr, "p", fid};
    const std::vector<unsigned char> bytes = encode(start);
    ASSERT_EQ(10u + 1u + 48u, bytes.size());
    FlrNetMessage got;
    std::vector<unsigned char> holder;
    decodeExact(&got, FLR_NET_LBFS_START, bytes, holder);
    EXPECT_EQ(0, got.lbfsStart.count);
    EXPECT_STREQ("p", got.lbfsStart.path);
    EXPECT_STREQ(fid, got.lbfsStart.fid);
    // The empty arrays sit where the path starts.
    EXPECT_EQ(static_cast<const void*>(got.lbfsStart.path),
              static_cast<const void*>(got.lbfsStart.hashes));
    EXPECT_EQ(static_cast<const void*>(got.lbfsStart.path),
              static_cast<const void*>(got.lbfsStart.offsets));
    EXPECT_EQ(static_cast<const void*>(got.lbfsStart.path),
              static_cast<const void*>(got.lbfsStart.lengths));
}

TEST(FlrNetMessage, BufferGrowsToMultiplesOf1024AndIsReused) {
    void* buf = nullptr;
    int cap = 0;
    int len = 0;
    FlrNetMessage ping(FLR_NET_PING);
    ping.ping.value = 0;
    FlrNetBase::encodeMessage(ping, buf, cap, &len);
    EXPECT_EQ(1024, cap);
    EXPECT_EQ(4, len);
    void* const first = buf;
    FlrNetMessage seek(FLR_NET_MIR_SEEK);
    seek.seek.offset = 1;
    FlrNetBase::encodeMessage(seek, buf, cap, nullptr);
    EXPECT_EQ(first, buf);
    EXPECT_EQ(1024, cap);

    const std::string data(5000, 'd');
    FlrNetMessage block(FLR_NET_LBFS_BLOCK);
    block.lbfsBlock = {1, 2, 5000, data.data()};
    FlrNetBase::encodeMessage(block, buf, cap, &len);
    EXPECT_EQ(5120, cap);
    EXPECT_EQ(5020, len);
    std::free(buf);

    // Unassigned codes carry nothing and allocate nothing.
    for (int type : {7, 27, 41, 1000}) {
        void* none = nullptr;
        int noneCap = 0;
        FlrNetMessage u(type);
        FlrNetBase::encodeMessage(u, none, noneCap, &len);
        EXPECT_EQ(0, len);
        EXPECT_EQ(nullptr, none);
    }
}

TEST(FlrNetMessage, EncoderRefusesInconsistentArguments) {
    FlrNetMessage neg(FLR_NET_GET_FILE_CHECKSUMS_RESP);
    neg.fileCheckSums = {-1, nullptr};
    EXPECT_THROW(encode(neg), JxException);
    FlrNetMessage noArray(FLR_NET_MIR_RSYNC);
    noArray.mirRSync = {2, nullptr, nullptr};
    EXPECT_THROW(encode(noArray), JxException);
    FlrNetMessage noData(FLR_NET_MIR_DATA);
    noData.data = {nullptr, 5};
    EXPECT_THROW(encode(noData), JxException);

    // A null string travels as an empty one.
    FlrNetMessage req(FLR_NET_GET_FILE_CHECKSUMS_REQ);
    req.fileCheckSumsReq = {512, nullptr};
    EXPECT_EQ(5u, encode(req).size());
}

TEST(FlrNetMessage, DecoderChecksItsArgumentsAndFrameKind) {
    std::vector<unsigned char> payload(4, 0);
    try {
        FlrNetBase::decodeMessage(nullptr, packet(FLR_NET_PING, payload));
        FAIL();
    } catch (const JxException& e) {
        EXPECT_EQ("Invalid arguments: msg==NULL", e.getMessage());
    }
    SdtLinkPacket control = packet(FLR_NET_PING, payload);
    control.kind = 2;
    FlrNetMessage m;
    try {
        FlrNetBase::decodeMessage(&m, control);
        FAIL();
    } catch (const JxException& e) {
        EXPECT_EQ("SDT packet has an invalid type.", e.getMessage());
        EXPECT_EQ("FlrNetBase::decodeMessage", e.getFunction());
    }

    // Codes the decoder does not know set only the type.
    for (int type : {7, 27, 41, 5000}) {
        FlrNetMessage u(FLR_NET_PING);
        u.ping.value = 1234;
        FlrNetBase::decodeMessage(&u, packet(type, payload));
        EXPECT_EQ(type, u.type);
        EXPECT_EQ(1234, u.ping.value);
    }
}

TEST(FlrNetMessage, FillerMessagesYieldTheirOneField) {
    for (int type : {FLR_NET_KEEP_ALIVE, FLR_NET_MIR_EOF, FLR_NET_LBFS_STOP}) {
        std::vector<unsigned char> payload = {0, 0, 0, 5};
        FlrNetMessage m;
        FlrNetBase::decodeMessage(&m, packet(type, payload));
        EXPECT_EQ(std::string(flrNetMsgName(type)) +
                      (type == FLR_NET_KEEP_ALIVE ? " value=5" : " filler=5"),
                  flrNetMsgText(m));
    }
    // Fillers are written as 0 whatever the message holds.
    FlrNetMessage eof(FLR_NET_MIR_EOF);
    eof.eof.filler = 77;
    EXPECT_EQ((std::vector<unsigned char>{0, 0, 0, 0}), encode(eof));
}

TEST(FlrNetMessage, EveryTruncationOfEveryTypeIsRefused) {
    for (const FlrNetMessage& sent : sampleMessages()) {
        const int t = sent.type;
        if (t == FLR_NET_JOURNAL || t == FLR_NET_MIR_ACL || t == FLR_NET_MIR_DATA ||
            t == FLR_NET_VERIFY_ENTRIES)
            continue;
        const std::vector<unsigned char> full = encode(sent);
        for (size_t len = 0; len < full.size(); ++len) {
            SCOPED_TRACE(std::string(flrNetMsgName(t)) + " cut to " + std::to_string(len));
            const std::vector<unsigned char> cut(full.begin(), full.begin() + len);
            FlrNetMessage m;
            std::vector<unsigned char> holder;
            EXPECT_THROW(decodeExact(&m, t, cut, holder), JxException);
            // Nothing was converted in place before the refusal.
            EXPECT_EQ(cut, holder);
        }
    }
}

TEST(FlrNetMessage, CountsAndLengthsThatLieAreRefused) {
    // Counts far beyond the payload, including ones whose byte size wraps a
    // 32-bit multiplication (97,612,894 * 44 = 2^32 + 40).
    for (uint32_t count : {0xFFFFFFFFu, 0x80000000u, 97612894u, 4u}) {
        std::vector<unsigned char> p;
        put32(p, count);
        p.resize(4 + 3 * 16);  // room for three digests only
        expectDecodeRefused(FLR_NET_GET_FILE_CHECKSUMS_RESP, p, "points past its end");

        std::vector<unsigned char> s;
        put32(s, 1);
        put32(s, count);
        s.resize(8 + 100, 'x');
        s.push_back(0);
        s.push_back(0);
        expectDecodeRefused(FLR_NET_LBFS_START, s, "points past its end");
    }

    std::vector<unsigned char> block(16, 0);
    put32(block, 11);
    block.resize(block.size() + 10, 'b');  // 10 of the 11 data bytes
    expectDecodeRefused(FLR_NET_LBFS_BLOCK, block, "shorter than");

    std::vector<unsigned char> noNul;
    put32(noNul, 4096);
    for (char c : std::string("no terminator")) noNul.push_back(static_cast<unsigned char>(c));
    expectDecodeRefused(FLR_NET_START_MD5_STREAM, noNul, "without its NUL");
}

TEST(FlrNetMessage, ArraysAtAnyOffsetAreConvertedAndReadable) {
    const std::vector<FlrNetMessage> samples = sampleMessages();
    for (const FlrNetMessage& sent : samples) {
        if (sent.type != FLR_NET_MIR_RSYNC && sent.type != FLR_NET_LBFS_START &&
            sent.type != FLR_NET_LBFS_BLOCK_REQ)
            continue;
        const std::vector<unsigned char> bytes = encode(sent);
        for (size_t skew = 1; skew < 8; ++skew) {
            std::vector<unsigned char> shifted(skew, 0xEE);
            shifted.insert(shifted.end(), bytes.begin(), bytes.end());
            FlrNetMessage got;
            FlrNetBase::decodeMessage(&got, packet(sent.type, shifted, skew));
            expectSameMessage(sent, got);
            if (sent.type == FLR_NET_MIR_RSYNC) {
                // Handed out as long long*: they must be aligned for it.
                EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(got.mirRSync.first) % alignof(long long));
                EXPECT_EQ(0u,
                          reinterpret_cast<uintptr_t>(got.mirRSync.second) % alignof(long long));
                EXPECT_EQ(sent.mirRSync.firstAt(0), got.mirRSync.first[0]);
            }
        }
    }
}

TEST(FlrNetMessage, NamesCoverEveryCode) {
    EXPECT_STREQ("FLR_NET_JOURNAL", flrNetMsgName(0));
    EXPECT_STREQ("FLR_NET_GET_RSYNC_CSUMS_RESP", flrNetMsgName(25));
    EXPECT_STREQ("FLR_NET_KEEP_ALIVE", flrNetMsgName(37));
    EXPECT_STREQ("FLR_NET_VERIFY_END", flrNetMsgName(40));
    for (int code : {-1, 7, 27, 41, 1 << 30}) EXPECT_STREQ("UNKNOWN", flrNetMsgName(code));
    int named = 0;
    for (int code = 0; code <= FLR_NET_MAX_TYPE; ++code)
        named += std::string(flrNetMsgName(code)) != "UNKNOWN";
    EXPECT_EQ(39, named);
}

}  // namespace
