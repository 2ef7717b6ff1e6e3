// Every FLR_NET_* type against golden bytes: the ordinary samples and the
// edges (empty arrays, counts that fill a payload, strings that fill a path
// payload, null strings, extreme integers), each decoded back field by field,
// every prefix of it refused, and every type's ceiling pinned and enforced.
// The golden bytes are what the hand-written codec produced before the codec
// became table-driven: the wire must never notice.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "FLR/JxException.h"
#include "net/FlrNetBase.h"
#include "net/NetMessageSamples.h"
#include "net/NetTestUtil.h"

namespace {

using flrnettest::Bytes;
using flrnettest::decodeFromBytes;
using flrnettest::encodeToBytes;

// Payloads up to 160 bytes are kept whole as hex, longer ones as their
// length and a 64-bit FNV-1a of the bytes.
std::string fingerprint(const Bytes& b) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    if (b.size() <= 160) {
        for (unsigned char c : b) {
            out += kHex[c >> 4];
            out += kHex[c & 15];
        }
        return out;
    }
    uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : b) h = (h ^ c) * 0x100000001b3ULL;
    char text[64];
    std::snprintf(text, sizeof text, "%zu bytes, fnv %016llx", b.size(),
                  static_cast<unsigned long long>(h));
    return text;
}

bool isUnassigned(int type) {
    return std::string(flrNetMsgName(type)) == "UNKNOWN";
}

// The filler's value never travels: it is written as 0.
bool isFiller(int type) {
    return type == FLR_NET_MIR_EOF || type == FLR_NET_LBFS_STOP;
}

// The edge messages and the storage they point into.
class Edges {
  public:
    std::vector<std::pair<std::string, FlrNetMessage>> cases;

    Edges() {
        const std::vector<FlrNetMessage> samples = flrnettest::sampleMessages();
        for (const FlrNetMessage& m : samples) cases.emplace_back(flrNetMsgName(m.type), m);
        addEmpty();
        addLimits();
        addStrings();
        addAttrs();
        for (int code : {7, 27, 41, 47, 100}) cases.emplace_back("unassigned " + num(code), code);
    }

  private:
    static std::string num(long long v) { return std::to_string(v); }

    FlrNetMessage& add(const std::string& label, int type) {
        cases.emplace_back(label, FlrNetMessage(type));
        return cases.back().second;
    }
    template <class T>
    T* keep(size_t n, unsigned seed) {
        std::string& s = store_.emplace_back(n * sizeof(T), '\0');
        for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<char>((i * 131 + seed) >> 3);
        return reinterpret_cast<T*>(s.data());
    }
    const char* text(size_t n, char c) { return store_.emplace_back(n, c).c_str(); }

    void addEmpty() {
        for (int t : {FLR_NET_JOURNAL, FLR_NET_MIR_ACL, FLR_NET_MIR_DATA, FLR_NET_VERIFY_ENTRIES})
            add(std::string("empty ") + flrNetMsgName(t), t).data = {nullptr, 0};
        add("no md5", FLR_NET_GET_FILE_CHECKSUMS_RESP).fileCheckSums = {0, nullptr};
        add("no md5 blocks", FLR_NET_RECV_MD5).recvMD5 = {INT_MIN, 0, nullptr, nullptr};
        add("no rsync sums", FLR_NET_GET_RSYNC_CSUMS_RESP).rsyncCsums = {~0ULL, 0, nullptr,
                                                                         nullptr};
        add("no rsync pairs", FLR_NET_MIR_RSYNC).mirRSync = {0, nullptr, nullptr};
        add("no lbfs blocks", FLR_NET_LBFS_START).lbfsStart = {0,       0,  nullptr, nullptr,
                                                               nullptr, "", ""};
        add("no lbfs requests", FLR_NET_LBFS_BLOCK_REQ).lbfsBlockReq = {0,       1,  0, nullptr,
                                                                        nullptr, "", ""};
        add("empty lbfs block", FLR_NET_LBFS_BLOCK).lbfsBlock = {~0ULL, 0, 0, nullptr};
    }

    // Counts and lengths as large as a sender makes them, or as the payload
    // ceiling allows.
    void addLimits() {
        const int lbfsChunk = 87381;
        const int requestChunk = 262144;
        add("lbfs chunk", FLR_NET_LBFS_START).lbfsStart = {
            1,
            lbfsChunk,
            keep<unsigned char[32]>(lbfsChunk, 1),
            keep<uint64_t>(lbfsChunk, 2),
            keep<uint32_t>(lbfsChunk, 3),
            "p",
            "0123456789abcdef0123456789abcdef0123456789abcdef"};
        add("request chunk", FLR_NET_LBFS_BLOCK_REQ).lbfsBlockReq = {
            5,   1,  requestChunk, keep<uint64_t>(requestChunk, 4), keep<uint32_t>(requestChunk, 5),
            "a", "b"};
        const int md5Fill = (FlrNetBase::kMaxDataPayload - 4) / 16;
        add("md5 fill", FLR_NET_GET_FILE_CHECKSUMS_RESP).fileCheckSums = {
            md5Fill, keep<unsigned char[16]>(md5Fill, 6)};
        const int md5Blocks = 100000;
        add("md5 blocks", FLR_NET_RECV_MD5).recvMD5 = {INT_MAX, md5Blocks,
                                                       keep<unsigned char[4]>(md5Blocks, 7),
                                                       keep<unsigned char[16]>(md5Blocks, 8)};
        add("rsync sums", FLR_NET_GET_RSYNC_CSUMS_RESP).rsyncCsums = {
            1, md5Blocks, keep<unsigned char[4]>(md5Blocks, 9),
            keep<unsigned char[16]>(md5Blocks, 10)};
        const int rsyncFill = (FlrNetBase::kMaxDataPayload - 4) / 16;
        add("rsync fill", FLR_NET_MIR_RSYNC).mirRSync = {rsyncFill, keep<long long>(rsyncFill, 11),
                                                         keep<long long>(rsyncFill, 12)};
        const uint32_t blockFill = FlrNetBase::kMaxDataPayload - 20;
        add("block fill", FLR_NET_LBFS_BLOCK).lbfsBlock = {1, ~0ULL, blockFill,
                                                           keep<char>(blockFill, 13)};
        add("file piece", FLR_NET_MIR_DATA).data = {keep<char>(FlrNetBase::kFilePieceSize, 14),
                                                    FlrNetBase::kFilePieceSize};
        add("verify batch", FLR_NET_VERIFY_ENTRIES).verifyEntries = {
            keep<char>(FlrNetBase::kMaxVerifyBatch, 15),
            static_cast<int>(FlrNetBase::kMaxVerifyBatch)};
        using IntField = int& (*)(FlrNetMessage&);
        const std::vector<std::pair<int, IntField>> ints = {
            {FLR_NET_MIR_SET_PAIR_ID, [](FlrNetMessage& m) -> int& { return m.setPairId.pairId; }},
            {FLR_NET_DEL_PAIR_REQ, [](FlrNetMessage& m) -> int& { return m.delPairReq.pairId; }},
            {FLR_NET_DEL_PAIR_RESP, [](FlrNetMessage& m) -> int& { return m.delPairResp.value; }},
            {FLR_NET_SET_RESTORE_PARAMS,
             [](FlrNetMessage& m) -> int& { return m.setRestoreParams.value; }},
            {FLR_NET_GET_LAST_SEQNUM_REQ,
             [](FlrNetMessage& m) -> int& { return m.getLastSeqNumReq.pairId; }},
            {FLR_NET_GET_LAST_TIME_REQ,
             [](FlrNetMessage& m) -> int& { return m.getLastTimeReq.pairId; }},
            {FLR_NET_GET_LAST_TIME_RESP,
             [](FlrNetMessage& m) -> int& { return m.lastTime.timestamp; }},
            {FLR_NET_PING, [](FlrNetMessage& m) -> int& { return m.ping.value; }},
            {FLR_NET_RECV_MD5_EOF, [](FlrNetMessage& m) -> int& { return m.recvMD5EOF.value; }},
            {FLR_NET_GET_LAST_WRINDEX_REQ,
             [](FlrNetMessage& m) -> int& { return m.getLastWrIndexReq.pairId; }},
            {FLR_NET_MIR_SPEC_FILE, [](FlrNetMessage& m) -> int& { return m.mirSpecFile.id; }},
            {FLR_NET_KEEP_ALIVE, [](FlrNetMessage& m) -> int& { return m.keepAlive.value; }},
            {FLR_NET_MIR_EOF, [](FlrNetMessage& m) -> int& { return m.eof.filler; }},
            {FLR_NET_LBFS_STOP, [](FlrNetMessage& m) -> int& { return m.lbfsStop.filler; }},
        };
        for (const auto& [t, field] : ints) {
            field(add(std::string("min ") + flrNetMsgName(t), t)) = INT_MIN;
            field(add(std::string("max ") + flrNetMsgName(t), t)) = INT_MAX;
        }
        add("max FLR_NET_SET_GEN_ID", FLR_NET_SET_GEN_ID).setGenId.genId = ~0ULL;
        add("max FLR_NET_SET_RUN_ID", FLR_NET_SET_RUN_ID).setRunId = {~0ULL, ~0ULL};
        add("max FLR_NET_GET_LAST_WRINDEX_RESP", FLR_NET_GET_LAST_WRINDEX_RESP)
            .lastWrIndex.wrIndex = ~0ULL;
        add("max FLR_NET_LBFS_DONE", FLR_NET_LBFS_DONE).lbfsDone.value = ~0ULL;
        add("min seek", FLR_NET_MIR_SEEK).seek.offset = LLONG_MIN;
        add("extreme pair", FLR_NET_ADD_PAIR).addPair = {INT_MIN, INT_MAX};
        add("extreme times", FLR_NET_SET_LAST_TIME_REQ).setLastTime = {INT_MAX, INT_MIN};
        add("extreme index", FLR_NET_SET_LAST_WRINDEX_REQ).setLastWrIndex = {-1, ~0ULL};
        add("extreme seqnums", FLR_NET_GET_LAST_SEQNUM_RESP).lastSeqNum = {~0ULL, 0};
    }

    // Strings that fill a path payload exactly, and null strings (sent empty).
    void addStrings() {
        const size_t path = FlrNetBase::kMaxPathPayload;
        FlrNetMirHeader& h = add("longest header path", FLR_NET_MIR_HEADER).mirHeader;
        h = {~0ULL, ~0ULL, ~0ULL, ~0ULL, ~0ULL,
             ~0ULL, ~0ULL, ~0U,   ~0U,   ~0U,
             ~0U,   0xFF,  0xFF,  0xFF,  text(path - 76, 'h')};
        add("null header path", FLR_NET_MIR_HEADER).mirHeader.path = nullptr;
        for (int t : {FLR_NET_GET_FILE_CHECKSUMS_REQ, FLR_NET_START_MD5_STREAM,
                      FLR_NET_GET_RSYNC_CSUMS_REQ, FLR_NET_VERIFY_REQ}) {
            add(std::string("longest path ") + flrNetMsgName(t), t).fileCheckSumsReq = {
                INT_MIN, text(path - 5, static_cast<char>('a' + t % 26))};
            add(std::string("null path ") + flrNetMsgName(t), t).fileCheckSumsReq = {-1, nullptr};
        }
        add("longest reason", FLR_NET_VERIFY_END).verifyEnd = {~0ULL, INT_MIN,
                                                               text(path - 13, 'r')};
        add("null reason", FLR_NET_VERIFY_END).verifyEnd = {0, 0, nullptr};
        add("null lbfs strings", FLR_NET_LBFS_START).lbfsStart = {
            0, 0, nullptr, nullptr, nullptr, nullptr, nullptr};
        add("null request strings", FLR_NET_LBFS_BLOCK_REQ).lbfsBlockReq = {
            0, 0, 0, nullptr, nullptr, nullptr, nullptr};
    }

    void addAttrs() {
        FlrNetMirAttrs& times = add("times only", FLR_NET_MIR_ATTRS).mirAttrs;
        times = {FlrNetMirAttrs::kTimes, INT64_MIN, 999999999, INT64_MAX, 0, 0, nullptr, 0};
        std::string& block = store_.emplace_back();
        flrNetAppendXattr(&block, "user.a", "");
        flrNetAppendXattr(&block, std::string(FlrNetMirAttrs::kNameMax, 'n'),
                          std::string(FlrNetMirAttrs::kValueMax, 'v'));
        flrNetAppendXattr(&block, "trusted.x", "value");
        FlrNetMirAttrs& set = add("attribute set", FLR_NET_MIR_ATTRS).mirAttrs;
        set = {FlrNetMirAttrs::kXattrs | FlrNetMirAttrs::kPrivileged,
               -1,
               0,
               1,
               0,
               3,
               reinterpret_cast<const unsigned char*>(block.data()),
               static_cast<uint32_t>(block.size())};
    }

    std::deque<std::string> store_;
};

Edges& edges() {
    static Edges e;
    return e;
}

// Recorded from the hand-written codec.
const std::map<std::string, std::string> kGolden = {
    {"FLR_NET_JOURNAL", "300 bytes, fnv f6c87c941888ad55"},
    {"FLR_NET_MIR_SET_PAIR_ID", "00000007"},
    {"FLR_NET_MIR_HEADER",
     "000001000000000000000000000081a400000000000003e800000000000003e900000002000000000000000000000"
     "801000000003ade68b1000000026553f1016553f1026553f1030301016469722f66696c65206e616d6500"},
    {"FLR_NET_MIR_ACL", "00070e151c232a31383f464d545b626970"},
    {"FLR_NET_MIR_DATA", "300 bytes, fnv f6c87c941888ad55"},
    {"FLR_NET_MIR_SEEK", "fffffffffffff000"},
    {"FLR_NET_MIR_EOF", "00000000"},
    {"FLR_NET_ADD_PAIR", "0000000bfffffff4"},
    {"FLR_NET_DEL_PAIR_REQ", "0000000d"},
    {"FLR_NET_DEL_PAIR_RESP", "00000000"},
    {"FLR_NET_SET_GEN_ID", "deadbeefcafef00d"},
    {"FLR_NET_SET_RESTORE_PARAMS", "00000001"},
    {"FLR_NET_GET_LAST_SEQNUM_REQ", "0000000e"},
    {"FLR_NET_GET_LAST_SEQNUM_RESP", "11223344556677880000000000000063"},
    {"FLR_NET_GET_LAST_TIME_REQ", "0000000f"},
    {"FLR_NET_GET_LAST_TIME_RESP", "fffffffb"},
    {"FLR_NET_SET_LAST_TIME_REQ", "000000106553f100"},
    {"FLR_NET_GET_FILE_CHECKSUMS_REQ", "00010000612f6200"},
    {"FLR_NET_GET_FILE_CHECKSUMS_RESP",
     "00000003000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f202122232425262728292"
     "a2b2c2d2e2f"},
    {"FLR_NET_PING", "00000001"},
    {"FLR_NET_START_MD5_STREAM", "000010006d6435207061746800"},
    {"FLR_NET_RECV_MD5",
     "fffffff900000003f0f1f2f3f4f5f6f7f8f9fafb000102030405060708090a0b0c0d0e0f101112131415161718191"
     "a1b1c1d1e1f202122232425262728292a2b2c2d2e2f"},
    {"FLR_NET_RECV_MD5_EOF", "00000003"},
    {"FLR_NET_GET_RSYNC_CSUMS_REQ", "000002bc7273796e63207061746800"},
    {"FLR_NET_GET_RSYNC_CSUMS_RESP",
     "000000abcdef012300000003f0f1f2f3f4f5f6f7f8f9fafb000102030405060708090a0b0c0d0e0f1011121314151"
     "61718191a1b1c1d1e1f202122232425262728292a2b2c2d2e2f"},
    {"FLR_NET_MIR_RSYNC",
     "00000003ffffffffffffffff7fffffffffffffff00000000000030398000000000000001000000000000002afffff"
     "fffffffff9d"},
    {"FLR_NET_GET_LAST_WRINDEX_REQ", "00000011"},
    {"FLR_NET_GET_LAST_WRINDEX_RESP", "8000000000000000"},
    {"FLR_NET_SET_LAST_WRINDEX_REQ", "000000120f0e0d0c0b0a0908"},
    {"FLR_NET_MIR_SPEC_FILE", "00000013"},
    {"FLR_NET_LBFS_START", "199 bytes, fnv 9f15eca218359850"},
    {"FLR_NET_LBFS_STOP", "00000000"},
    {"FLR_NET_LBFS_BLOCK_REQ",
     "000000000000004d000000000000000301020304050607080000000000001000fffffffffffffff00a0b0c0d0000f"
     "fff00000001666972737420737472696e67007365636f6e6420737472696e6700"},
    {"FLR_NET_LBFS_BLOCK",
     "000000000000004e00000008000000000000006400070e151c232a31383f464d545b626970777e858c939aa1a8afb"
     "6bdc4cbd2d9e0e7eef5fc030a11181f262d343b424950575e656c737a81888f969da4abb2b9c0c7ced5dce3eaf1f8"
     "ff060d141b222930373e454c535a61686f767d848b9299a0a7aeb5"},
    {"FLR_NET_LBFS_DONE", "000000000000004f"},
    {"FLR_NET_KEEP_ALIVE", "00000000"},
    {"FLR_NET_VERIFY_REQ", "000000002f7265706c6963612f62656c6f7720726f6f7400"},
    {"FLR_NET_VERIFY_ENTRIES",
     "00070e151c232a31383f464d545b626970777e858c939aa1a8afb6bdc4cbd2d9e0e7eef5fc030a11181f262d343b4"
     "24950575e656c737a81888f969da4abb2b9c0c7ced5dce3eaf1f8ff060d141b222930373e454c535a61686f767d84"
     "8b9299a0a7aeb5bcc3cad1d8dfe6edf4fb020910171e252c333a41484f56"},
    {"FLR_NET_VERIFY_END",
     "00000001020304050000000d72656675736564202f783a206f7574736964652074686520726f6f7400"},
    {"FLR_NET_SET_RUN_ID", "88776655443322110102030405060708"},
    {"max FLR_NET_SET_RUN_ID", "ffffffffffffffffffffffffffffffff"},
    {"empty FLR_NET_JOURNAL", ""},
    {"empty FLR_NET_MIR_ACL", ""},
    {"empty FLR_NET_MIR_DATA", ""},
    {"empty FLR_NET_VERIFY_ENTRIES", ""},
    {"no md5", "00000000"},
    {"no md5 blocks", "8000000000000000"},
    {"no rsync sums", "ffffffffffffffff00000000"},
    {"no rsync pairs", "00000000"},
    {"no lbfs blocks", "00000000000000000000"},
    {"no lbfs requests", "000000000000000000000001000000000000"},
    {"empty lbfs block", "ffffffffffffffff000000000000000000000000"},
    {"lbfs chunk", "3844823 bytes, fnv ace99066e1c8cd46"},
    {"request chunk", "3145748 bytes, fnv 1419c39526199266"},
    {"md5 fill", "67108852 bytes, fnv 89428b03f33bbfbc"},
    {"md5 blocks", "2000008 bytes, fnv 97a9b75b78a4b660"},
    {"rsync sums", "2000012 bytes, fnv 147cd1d1d4fb47eb"},
    {"rsync fill", "67108852 bytes, fnv e138684da3ea0747"},
    {"block fill", "67108864 bytes, fnv e0b44d2abbdaeb50"},
    {"file piece", "262144 bytes, fnv 755c78f43b352325"},
    {"verify batch", "524288 bytes, fnv 498e145a9d802325"},
    {"min FLR_NET_MIR_SET_PAIR_ID", "80000000"},
    {"max FLR_NET_MIR_SET_PAIR_ID", "7fffffff"},
    {"min FLR_NET_DEL_PAIR_REQ", "80000000"},
    {"max FLR_NET_DEL_PAIR_REQ", "7fffffff"},
    {"min FLR_NET_DEL_PAIR_RESP", "80000000"},
    {"max FLR_NET_DEL_PAIR_RESP", "7fffffff"},
    {"min FLR_NET_SET_RESTORE_PARAMS", "80000000"},
    {"max FLR_NET_SET_RESTORE_PARAMS", "7fffffff"},
    {"min FLR_NET_GET_LAST_SEQNUM_REQ", "80000000"},
    {"max FLR_NET_GET_LAST_SEQNUM_REQ", "7fffffff"},
    {"min FLR_NET_GET_LAST_TIME_REQ", "80000000"},
    {"max FLR_NET_GET_LAST_TIME_REQ", "7fffffff"},
    {"min FLR_NET_GET_LAST_TIME_RESP", "80000000"},
    {"max FLR_NET_GET_LAST_TIME_RESP", "7fffffff"},
    {"min FLR_NET_PING", "80000000"},
    {"max FLR_NET_PING", "7fffffff"},
    {"min FLR_NET_RECV_MD5_EOF", "80000000"},
    {"max FLR_NET_RECV_MD5_EOF", "7fffffff"},
    {"min FLR_NET_GET_LAST_WRINDEX_REQ", "80000000"},
    {"max FLR_NET_GET_LAST_WRINDEX_REQ", "7fffffff"},
    {"min FLR_NET_MIR_SPEC_FILE", "80000000"},
    {"max FLR_NET_MIR_SPEC_FILE", "7fffffff"},
    {"min FLR_NET_KEEP_ALIVE", "80000000"},
    {"max FLR_NET_KEEP_ALIVE", "7fffffff"},
    {"min FLR_NET_MIR_EOF", "00000000"},
    {"max FLR_NET_MIR_EOF", "00000000"},
    {"min FLR_NET_LBFS_STOP", "00000000"},
    {"max FLR_NET_LBFS_STOP", "00000000"},
    {"max FLR_NET_SET_GEN_ID", "ffffffffffffffff"},
    {"max FLR_NET_GET_LAST_WRINDEX_RESP", "ffffffffffffffff"},
    {"max FLR_NET_LBFS_DONE", "ffffffffffffffff"},
    {"min seek", "8000000000000000"},
    {"extreme pair", "800000007fffffff"},
    {"extreme times", "7fffffff80000000"},
    {"extreme index", "ffffffffffffffffffffffff"},
    {"extreme seqnums", "ffffffffffffffff0000000000000000"},
    {"longest header path", "65536 bytes, fnv dce34f7d277df524"},
    {"null header path",
     "000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
     "00000000000000000000000000000000000000000000000000000000000"},
    {"longest path FLR_NET_GET_FILE_CHECKSUMS_REQ", "65536 bytes, fnv d5bf093878f2f578"},
    {"null path FLR_NET_GET_FILE_CHECKSUMS_REQ", "ffffffff00"},
    {"longest path FLR_NET_START_MD5_STREAM", "65536 bytes, fnv 084b733133acf343"},
    {"null path FLR_NET_START_MD5_STREAM", "ffffffff00"},
    {"longest path FLR_NET_GET_RSYNC_CSUMS_REQ", "65536 bytes, fnv 573b53993bd7acc6"},
    {"null path FLR_NET_GET_RSYNC_CSUMS_REQ", "ffffffff00"},
    {"longest path FLR_NET_VERIFY_REQ", "65536 bytes, fnv d61df53641760e3a"},
    {"null path FLR_NET_VERIFY_REQ", "ffffffff00"},
    {"longest reason", "65536 bytes, fnv 301a421c718b99d7"},
    {"null reason", "00000000000000000000000000"},
    {"null lbfs strings", "00000000000000000000"},
    {"null request strings", "000000000000000000000000000000000000"},
    {"times only", "0101000080000000000000003b9ac9ff7fffffffffffffff0000000000000000"},
    {"attribute set", "65858 bytes, fnv c4d258ddff081620"},
    {"unassigned 7", ""},
    {"unassigned 27", ""},
    {"unassigned 41", ""},
    {"unassigned 47", ""},
    {"unassigned 100", ""},
};

const char* const kGoldenCeilings =
    "-1 UNKNOWN 64\n"
    "0 FLR_NET_JOURNAL 67108864\n"
    "1 FLR_NET_MIR_SET_PAIR_ID 64\n"
    "2 FLR_NET_MIR_HEADER 65536\n"
    "3 FLR_NET_MIR_ACL 67108864\n"
    "4 FLR_NET_MIR_DATA 67108864\n"
    "5 FLR_NET_MIR_SEEK 64\n"
    "6 FLR_NET_MIR_EOF 64\n"
    "7 UNKNOWN 64\n"
    "8 FLR_NET_ADD_PAIR 64\n"
    "9 FLR_NET_DEL_PAIR_REQ 64\n"
    "10 FLR_NET_DEL_PAIR_RESP 64\n"
    "11 FLR_NET_SET_GEN_ID 64\n"
    "12 FLR_NET_SET_RESTORE_PARAMS 64\n"
    "13 FLR_NET_GET_LAST_SEQNUM_REQ 64\n"
    "14 FLR_NET_GET_LAST_SEQNUM_RESP 64\n"
    "15 FLR_NET_GET_LAST_TIME_REQ 64\n"
    "16 FLR_NET_GET_LAST_TIME_RESP 64\n"
    "17 FLR_NET_SET_LAST_TIME_REQ 64\n"
    "18 FLR_NET_GET_FILE_CHECKSUMS_REQ 65536\n"
    "19 FLR_NET_GET_FILE_CHECKSUMS_RESP 67108864\n"
    "20 FLR_NET_PING 64\n"
    "21 FLR_NET_START_MD5_STREAM 65536\n"
    "22 FLR_NET_RECV_MD5 67108864\n"
    "23 FLR_NET_RECV_MD5_EOF 64\n"
    "24 FLR_NET_GET_RSYNC_CSUMS_REQ 65536\n"
    "25 FLR_NET_GET_RSYNC_CSUMS_RESP 67108864\n"
    "26 FLR_NET_MIR_RSYNC 67108864\n"
    "27 UNKNOWN 64\n"
    "28 FLR_NET_GET_LAST_WRINDEX_REQ 64\n"
    "29 FLR_NET_GET_LAST_WRINDEX_RESP 64\n"
    "30 FLR_NET_SET_LAST_WRINDEX_REQ 64\n"
    "31 FLR_NET_MIR_SPEC_FILE 64\n"
    "32 FLR_NET_LBFS_START 67108864\n"
    "33 FLR_NET_LBFS_STOP 64\n"
    "34 FLR_NET_LBFS_BLOCK_REQ 67108864\n"
    "35 FLR_NET_LBFS_BLOCK 67108864\n"
    "36 FLR_NET_LBFS_DONE 64\n"
    "37 FLR_NET_KEEP_ALIVE 64\n"
    "38 FLR_NET_VERIFY_REQ 65536\n"
    "39 FLR_NET_VERIFY_ENTRIES 524288\n"
    "40 FLR_NET_VERIFY_END 65536\n"
    "41 UNKNOWN 64\n"
    "42 UNKNOWN 64\n"
    "43 UNKNOWN 64\n"
    "44 UNKNOWN 64\n"
    "45 UNKNOWN 64\n"
    "46 UNKNOWN 64\n"
    "47 UNKNOWN 64\n"
    "48 FLR_NET_MIR_ATTRS 4194304\n"
    "49 FLR_NET_SET_RUN_ID 64\n"
    "50 UNKNOWN 64\n";

TEST(FlrNetMessageTable, EveryTypeAndEdgeEncodesToItsGoldenBytes) {
    std::set<int> types;
    for (const auto& [label, m] : edges().cases) {
        SCOPED_TRACE(label);
        types.insert(m.type);
        const auto golden = kGolden.find(label);
        const std::string got = fingerprint(encodeToBytes(m));
        if (golden == kGolden.end()) {
            ADD_FAILURE() << "no golden bytes: {\"" << label << "\", \"" << got << "\"},";
            continue;
        }
        EXPECT_EQ(golden->second, got) << "{\"" << label << "\", \"" << got << "\"},";
    }
    // Every assigned code is among the cases.
    for (int code = 0; code <= FLR_NET_LAST_TYPE; ++code)
        EXPECT_TRUE(isUnassigned(code) || types.count(code)) << flrNetMsgName(code);
}

void expectSameAttrs(const FlrNetMirAttrs& a, const FlrNetMirAttrs& b) {
    EXPECT_EQ(a.flags, b.flags);
    EXPECT_EQ(a.atimeSec, b.atimeSec);
    EXPECT_EQ(a.atimeNsec, b.atimeNsec);
    EXPECT_EQ(a.mtimeSec, b.mtimeSec);
    EXPECT_EQ(a.mtimeNsec, b.mtimeNsec);
    EXPECT_EQ(a.count, b.count);
    ASSERT_EQ(a.blockLen, b.blockLen);
    EXPECT_TRUE(a.blockLen == 0 || std::memcmp(a.block, b.block, a.blockLen) == 0);
}

TEST(FlrNetMessageTable, DecodingGivesBackEveryField) {
    for (const auto& [label, sent] : edges().cases) {
        SCOPED_TRACE(label);
        const Bytes bytes = encodeToBytes(sent);
        FlrNetMessage got;
        Bytes holder;
        decodeFromBytes(&got, sent.type, bytes, holder);
        EXPECT_EQ(sent.type, got.type);
        // Re-encoding what came out gives the same bytes: nothing on the wire
        // was dropped or changed by the decoder.
        EXPECT_EQ(bytes, encodeToBytes(got));
        if (isFiller(sent.type)) {
            EXPECT_EQ(std::string(flrNetMsgName(sent.type)) + " filler=0", flrNetMsgText(got));
        } else if (sent.type == FLR_NET_MIR_ATTRS) {
            expectSameAttrs(sent.mirAttrs, got.mirAttrs);
        } else if (!isUnassigned(sent.type) && label.rfind("null ", 0) != 0) {
            // (null strings come back empty; the bytes above cover them)
            flrnettest::expectSameMessage(sent, got);
        }
        // The text form walks the same fields: equal wherever they are.
        EXPECT_TRUE(isFiller(sent.type) || flrNetMsgText(sent) == flrNetMsgText(got))
            << flrNetMsgText(sent) << "\n"
            << flrNetMsgText(got);
    }
}

// Every payload shorter than a message's fields is refused, saying which
// message and leaving the frame as it arrived.
TEST(FlrNetMessageTable, EveryPrefixOfEveryMessageIsRefused) {
    for (const auto& [label, sent] : edges().cases) {
        const int type = sent.type;
        const bool raw = type == FLR_NET_JOURNAL || type == FLR_NET_MIR_ACL ||
                         type == FLR_NET_MIR_DATA || type == FLR_NET_VERIFY_ENTRIES;
        const Bytes bytes = encodeToBytes(sent);
        if (raw || bytes.size() > 4096) continue;
        SCOPED_TRACE(label);
        for (size_t len = 0; len < bytes.size(); ++len) {
            const Bytes cut(bytes.begin(), bytes.begin() + static_cast<long>(len));
            FlrNetMessage m;
            Bytes holder;
            try {
                decodeFromBytes(&m, type, cut, holder);
                ADD_FAILURE() << len << " of " << bytes.size() << " bytes were accepted";
            } catch (const JxException& e) {
                EXPECT_EQ("FlrNetBase::decodeMessage", e.getFunction());
                EXPECT_EQ(0u, e.getMessage().find(std::string(flrNetMsgName(type)) +
                                                  " message of " + std::to_string(len) + " bytes"))
                    << e.getMessage();
                EXPECT_EQ(cut, holder);
            }
        }
    }
}

TEST(FlrNetMessageTable, TextNamesEveryFieldInWireOrder) {
    FlrNetMessage b(FLR_NET_LBFS_BLOCK);
    const char data[] = "\x01\xff";
    b.lbfsBlock = {78, 1ULL << 35, 2, data};
    EXPECT_EQ("FLR_NET_LBFS_BLOCK value=78 offset=34359738368 length=2 data=[01 ff]",
              flrNetMsgText(b));
    FlrNetMessage h(FLR_NET_MIR_HEADER);
    h.mirHeader.path = "a b";
    h.mirHeader.method = FlrNetMirHeader::kLBFS;
    EXPECT_EQ(
        "FLR_NET_MIR_HEADER ino=0 mode=0 uid=0 gid=0 size=0 rdev=0 collectOffset=0 "
        "nlink=0 atime=0 mtime=0 ctime=0 method=3 hasACL=0 overwrite=0 path=\"a b\"",
        flrNetMsgText(h));
    // Long arrays show their first 16 elements.
    std::vector<uint32_t> lengths(20, 7);
    std::vector<uint64_t> offsets(20, 1);
    FlrNetMessage r(FLR_NET_LBFS_BLOCK_REQ);
    r.lbfsBlockReq = {1, 0, 20, offsets.data(), lengths.data(), "p", nullptr};
    const std::string text = flrNetMsgText(r);
    EXPECT_NE(std::string::npos,
              text.find(" count=20 offsets=[1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 ...]"))
        << text;
    EXPECT_NE(std::string::npos, text.find(" str1=\"p\" str2=\"\"")) << text;
    EXPECT_EQ("UNKNOWN", flrNetMsgText(FlrNetMessage(7)));
}

// The ceilings the receiver holds each type to, as the hand-written codec
// had them, and the names.
TEST(FlrNetMessageTable, CeilingsAndNamesOfEveryCode) {
    std::string got;
    for (int code = -1; code <= 50; ++code)
        got += std::to_string(code) + " " + flrNetMsgName(code) + " " +
               std::to_string(FlrNetBase::maxPayloadFor(code)) + "\n";
    EXPECT_EQ(kGoldenCeilings, got) << got;
}

// A payload one byte over its type's ceiling ends the link, naming the type
// and the ceiling. (Data messages are held to the link's own frame limit.)
TEST(FlrNetMessageTable, OversizedPayloadsOfEveryTypeAreRefused) {
    for (int type = 0; type <= FLR_NET_LAST_TYPE; ++type) {
        const uint32_t limit = FlrNetBase::maxPayloadFor(type);
        if (isUnassigned(type) || limit == FlrNetBase::kMaxDataPayload) continue;
        SCOPED_TRACE(flrNetMsgName(type));
        flrnettest::Connected c;
        const std::vector<char> payload(limit + 1, 0);
        ASSERT_TRUE(
            c.head.getLink()
                .sendMessage(type, payload.data(), static_cast<int>(payload.size()), 20, false)
                .ok());
        FlrNetMessage m;
        try {
            c.tail->recvMessage(&m, 20);
            ADD_FAILURE() << "delivered";
        } catch (const JxException& e) {
            EXPECT_NE(
                std::string::npos,
                e.getMessage().find(std::string(flrNetMsgName(type)) + " message of " +
                                    std::to_string(limit + 1) + " bytes is over its limit of " +
                                    std::to_string(limit) + " bytes"))
                << e.getMessage();
        }
    }
}

}  // namespace
