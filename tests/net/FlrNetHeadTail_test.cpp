// Every head operation and every tail reply over real loopback TCP: what
// arrives is what was sent, field by field; request/response exchanges,
// wrong replies, LBFS chunking, special files, connecting and dup().
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "NetMessageSamples.h"
#include "NetTestUtil.h"
#include "link/SdtNetLink.h"
#include "net/FlrNetHead.h"
#include "net/FlrNetTail.h"
#include "platform/EvDebug.h"
#include "platform/JXPlatformInfo.h"
#include "support/TestSupport.h"

namespace {

using flrnettest::Connected;
using flrnettest::expectSameMessage;
using flrnettest::recvOne;
using flrnettest::sampleData;

std::map<int, FlrNetMessage> samplesByType() {
    std::map<int, FlrNetMessage> out;
    for (const FlrNetMessage& m : flrnettest::sampleMessages()) out.emplace(m.type, m);
    return out;
}

std::string messageText(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const JxException& e) {
        return e.getFunction() + ": " + e.getMessage();
    }
    return "no exception";
}

TEST(FlrNetHeadTail, OneWayOperationsArriveFieldForField) {
    Connected c;
    std::map<int, FlrNetMessage> s = samplesByType();
    flrnettest::SampleData& d = sampleData();
    FlrNetHead& h = c.head;

    h.sendJournalEntry(s[FLR_NET_JOURNAL].journal.data, s[FLR_NET_JOURNAL].journal.len);
    h.setMirPairID(s[FLR_NET_MIR_SET_PAIR_ID].setPairId.pairId);
    h.sendMirHeader(s[FLR_NET_MIR_HEADER].mirHeader);
    h.sendMirACL(s[FLR_NET_MIR_ACL].acl.data, s[FLR_NET_MIR_ACL].acl.len);
    h.sendMirSeek(s[FLR_NET_MIR_SEEK].seek.offset);
    h.sendMirRSync(flrnettest::SampleData::kN, d.first, d.second);
    h.addPair(s[FLR_NET_ADD_PAIR].addPair.arg1, s[FLR_NET_ADD_PAIR].addPair.arg2);
    h.setGenID(s[FLR_NET_SET_GEN_ID].setGenId.genId);
    h.setRestoreParams(true);
    h.setLastTimestamp(s[FLR_NET_SET_LAST_TIME_REQ].setLastTime.pairId,
                       s[FLR_NET_SET_LAST_TIME_REQ].setLastTime.timestamp);
    h.setLastWrIndex(s[FLR_NET_SET_LAST_WRINDEX_REQ].setLastWrIndex.pairId,
                     s[FLR_NET_SET_LAST_WRINDEX_REQ].setLastWrIndex.wrIndex);
    h.startMD5Stream(s[FLR_NET_START_MD5_STREAM].startMD5Stream.path,
                     s[FLR_NET_START_MD5_STREAM].startMD5Stream.blockSize);
    const FlrNetLBFSBlock& lb = s[FLR_NET_LBFS_BLOCK].lbfsBlock;
    h.sendLBFSBlock(lb.value, JxLBFS::Block{lb.offset, lb.length}, lb.data);
    h.sendLBFSDone(s[FLR_NET_LBFS_DONE].lbfsDone.value);
    h.sendLBFSStop();
    h.sendMirData(s[FLR_NET_MIR_DATA].data.data, s[FLR_NET_MIR_DATA].data.len);
    h.sendMirEOF();

    const int order[] = {FLR_NET_JOURNAL,
                         FLR_NET_MIR_SET_PAIR_ID,
                         FLR_NET_MIR_HEADER,
                         FLR_NET_MIR_ACL,
                         FLR_NET_MIR_SEEK,
                         FLR_NET_MIR_RSYNC,
                         FLR_NET_ADD_PAIR,
                         FLR_NET_SET_GEN_ID,
                         FLR_NET_SET_RESTORE_PARAMS,
                         FLR_NET_SET_LAST_TIME_REQ,
                         FLR_NET_SET_LAST_WRINDEX_REQ,
                         FLR_NET_START_MD5_STREAM,
                         FLR_NET_LBFS_BLOCK,
                         FLR_NET_LBFS_DONE,
                         FLR_NET_LBFS_STOP,
                         FLR_NET_MIR_DATA,
                         FLR_NET_MIR_EOF};
    for (int type : order) expectSameMessage(s[type], recvOne(*c.tail));

    // And the tail's one-way replies, read by the head.
    FlrNetTail& t = *c.tail;
    t.sendMD5(s[FLR_NET_RECV_MD5].recvMD5.value, flrnettest::SampleData::kN, d.weak, d.md5);
    t.sendMD5EOF(s[FLR_NET_RECV_MD5_EOF].recvMD5EOF.value);
    t.sendLBFSStop();
    std::list<JxLBFS::Block> blocks;
    for (int i = 0; i < flrnettest::SampleData::kN; ++i)
        blocks.push_back({d.offsets[i], d.lengths[i]});
    const FlrNetLBFSBlockReq& req = s[FLR_NET_LBFS_BLOCK_REQ].lbfsBlockReq;
    t.sendLBFSBlockReq(req.str1, req.str2, req.value, blocks);
    expectSameMessage(s[FLR_NET_RECV_MD5], recvOne(h));
    expectSameMessage(s[FLR_NET_RECV_MD5_EOF], recvOne(h));
    expectSameMessage(s[FLR_NET_LBFS_STOP], recvOne(h));
    FlrNetMessage got = recvOne(h);
    FlrNetMessage want = s[FLR_NET_LBFS_BLOCK_REQ];
    want.lbfsBlockReq.last = 1;  // a single chunk is the last one
    expectSameMessage(want, got);
}

TEST(FlrNetHeadTail, RequestResponseExchanges) {
    Connected c;
    flrnettest::SampleData& d = sampleData();
    std::thread responder([&] {
        FlrNetTail& t = *c.tail;
        for (int i = 0; i < 8; ++i) {
            const FlrNetMessage m = recvOne(t);
            switch (m.type) {
                case FLR_NET_PING:
                    EXPECT_EQ(0, m.ping.value);
                    t.pong();
                    break;
                case FLR_NET_DEL_PAIR_REQ:
                    EXPECT_EQ(5, m.delPairReq.pairId);
                    t.sendDelPairResp();
                    break;
                case FLR_NET_GET_LAST_SEQNUM_REQ:
                    t.sendLastSeqNum(1000 + m.getLastSeqNumReq.pairId, 1ULL << 50);
                    break;
                case FLR_NET_GET_LAST_TIME_REQ:
                    EXPECT_EQ(8, m.getLastTimeReq.pairId);
                    t.sendLastTimestamp(-77);
                    break;
                case FLR_NET_GET_FILE_CHECKSUMS_REQ:
                    EXPECT_STREQ("some/file", m.fileCheckSumsReq.path);
                    EXPECT_EQ(8192, m.fileCheckSumsReq.blockSize);
                    t.sendFileCheckSums(d.md5, flrnettest::SampleData::kN);
                    break;
                case FLR_NET_GET_RSYNC_CSUMS_REQ:
                    EXPECT_STREQ("other file", m.rsyncCsumsReq.path);
                    EXPECT_EQ(700, m.rsyncCsumsReq.blockSize);
                    t.sendRSyncCheckSums(d.weak, d.md5, flrnettest::SampleData::kN, 555);
                    break;
                case FLR_NET_GET_LAST_WRINDEX_REQ:
                    EXPECT_EQ(9, m.getLastWrIndexReq.pairId);
                    t.sendLastWrIndex(1ULL << 40);
                    break;
                default:
                    ADD_FAILURE() << "unexpected " << flrNetMsgName(m.type);
            }
        }
    });
    FlrNetHead& h = c.head;
    h.ping();
    h.delPair(5);
    unsigned long long a = 0;
    unsigned long long b = 0;
    h.getLastSeqNum(6, &a, &b);
    EXPECT_EQ(1006u, a);
    EXPECT_EQ(1ULL << 50, b);
    h.getLastSeqNum(7, nullptr, nullptr);  // the exchange happens, nothing is stored
    EXPECT_EQ(-77, h.getLastTimestamp(8));
    unsigned char(*md5)[16] = nullptr;
    int n = 0;
    h.getFileCheckSums("some/file", 8192, &md5, &n);
    ASSERT_EQ(flrnettest::SampleData::kN, n);
    EXPECT_EQ(0, std::memcmp(md5, d.md5, sizeof d.md5));
    unsigned char(*weak)[4] = nullptr;
    unsigned long long value = 0;
    h.getRSyncCheckSums("other file", 700, &weak, &md5, &n, &value);
    ASSERT_EQ(flrnettest::SampleData::kN, n);
    EXPECT_EQ(555u, value);
    EXPECT_EQ(0, std::memcmp(weak, d.weak, sizeof d.weak));
    EXPECT_EQ(0, std::memcmp(md5, d.md5, sizeof d.md5));
    EXPECT_EQ(1ULL << 40, h.getLastWrIndex(9));
    responder.join();
}

// A wrong reply raises the operation's error and ends the connection: the
// reply it was waiting for may still come and must not answer a later request.
TEST(FlrNetHeadTail, WrongRepliesRaiseTheOperationsErrorAndEndTheConnection) {
    struct Case {
        int answer;  // what the tail sends back
        std::function<void(FlrNetHead&)> request;
        std::string error;
    };
    const std::vector<Case> cases = {
        {FLR_NET_PING, [](FlrNetHead& h) { h.getLastTimestamp(1); },
         "FlrNetHead::getLastTimestamp: Didn't get expected FLR_NET_GET_LAST_TIME_RESP message "
         "back."},
        {-1, [](FlrNetHead& h) { h.ping(); },  // a PING that is not a reply
         "FlrNetHead::ping: Didn't get expected FLR_NET_PING message back."},
    };
    for (const Case& k : cases) {
        Connected c;
        std::thread responder([&] {
            FlrNetTail& t = *c.tail;
            recvOne(t);
            if (k.answer == FLR_NET_PING) {
                t.pong();
            } else {
                FlrNetMessage notReply(FLR_NET_PING);
                notReply.ping.value = 0;
                t.sendMessage(notReply, 10, false);
            }
        });
        EXPECT_EQ(k.error, messageText([&] { k.request(c.head); }));
        responder.join();
        EXPECT_TRUE(c.head.isAborted());
        EXPECT_NE("no exception", messageText([&] { c.head.ping(); }));
        // The tail sees the connection go.
        FlrNetMessage m;
        int rc = 0;
        try {
            rc = c.tail->recvMessage(&m, 20);
        } catch (const JxException&) {
            rc = -1;
        }
        EXPECT_EQ(-1, rc);
    }
}

// The tail answers after the head gave up: the late reply (for pair 1) must
// not be taken as the answer to the next request (for pair 2).
TEST(FlrNetHeadTail, LateReplyNeverAnswersTheNextRequest) {
    struct QuickHead : FlrNetHead {
        void setNetTimeout(int s) { netTimeout_ = s; }
    };
    flrnettest::NetRegistry registry;
    flrnettest::TailServer server;
    QuickHead head;
    head.connect("127.0.0.1", server.port(), 0);
    FlrNetTail& tail = server.tail();
    head.setNetTimeout(1);
    std::thread lateTail([&] {
        const FlrNetMessage req = recvOne(tail);
        EXPECT_EQ(FLR_NET_GET_LAST_SEQNUM_REQ, req.type);
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        try {
            tail.sendLastSeqNum(111, 111);  // pair 1's answer, late
            FlrNetMessage next;
            if (tail.recvMessage(&next, 5) == 0) tail.sendLastSeqNum(222, 222);
        } catch (const JxException&) {
            // the head ended the connection: nothing to answer
        }
    });
    unsigned long long seq = 0;
    EXPECT_NE("no exception", messageText([&] { head.getLastSeqNum(1, &seq, nullptr); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    seq = 0;
    try {
        head.getLastSeqNum(2, &seq, nullptr);
    } catch (const JxException&) {
    }
    EXPECT_NE(111u, seq) << "pair 1's late reply answered pair 2's request";
    lateTail.join();
}

std::list<JxLBFS::HashBlock> hashBlocks(size_t n) {
    std::list<JxLBFS::HashBlock> out;
    for (size_t i = 0; i < n; ++i) {
        JxLBFS::HashBlock b;
        b.block.offset = i * 4099;
        b.block.length = static_cast<uint32_t>(i % 65521);
        std::memcpy(b.hash, &i, sizeof i);
        b.hash[31] = static_cast<unsigned char>(i * 13);
        out.push_back(b);
    }
    return out;
}

// Checks one LBFS_START chunk against blocks [first, first + count).
void expectStartChunk(const FlrNetMessage& m, size_t first, int count, int last) {
    ASSERT_EQ(FLR_NET_LBFS_START, m.type);
    const FlrNetLBFSStart& s = m.lbfsStart;
    EXPECT_EQ(last, s.last);
    ASSERT_EQ(count, s.count);
    EXPECT_STREQ("big/file", s.path);
    EXPECT_STREQ("000102030405060708090a0b0c0d0e0f1011121314151617", s.fid);
    int bad = 0;
    for (int i = 0; i < count; ++i) {
        const size_t k = first + static_cast<size_t>(i);
        size_t fromHash = 0;
        std::memcpy(&fromHash, s.hashes[i], sizeof fromHash);
        bad += s.offsetAt(i) != k * 4099 || s.lengthAt(i) != k % 65521 || fromHash != k ||
               s.hashes[i][31] != static_cast<unsigned char>(k * 13);
    }
    EXPECT_EQ(0, bad);
}

TEST(FlrNetHeadTail, LBFSStartIsSplitInto87381BlockChunks) {
    Connected c;
    fsf_fid fid;
    for (size_t i = 0; i < fsf_fid::kSize; ++i) fid.bytes[i] = static_cast<uint8_t>(i);

    c.head.sendLBFSStart("big/file", fid, hashBlocks(87382));
    expectStartChunk(recvOne(*c.tail), 0, 87381, 0);
    expectStartChunk(recvOne(*c.tail), 87381, 1, 1);

    c.head.sendLBFSStart("big/file", fid, hashBlocks(87381));
    expectStartChunk(recvOne(*c.tail), 0, 87381, 1);

    // An empty list sends nothing: the next message is what follows it.
    c.head.sendLBFSStart("big/file", fid, {});
    c.head.sendLBFSStop();
    EXPECT_EQ(FLR_NET_LBFS_STOP, recvOne(*c.tail).type);
}

TEST(FlrNetHeadTail, LBFSBlockRequestsAreSplitInto262144BlockChunks) {
    Connected c;
    std::list<JxLBFS::Block> blocks;
    for (uint32_t i = 0; i < 262145; ++i) blocks.push_back({uint64_t{i} << 20, i ^ 0x5A5A});
    c.tail->sendLBFSBlockReq("dst/path", "fid text", 31, blocks);
    c.tail->sendLBFSBlockReq("dst/path", "fid text", 32, {});
    c.tail->sendLBFSStop();

    const FlrNetMessage first = recvOne(c.head);
    ASSERT_EQ(FLR_NET_LBFS_BLOCK_REQ, first.type);
    EXPECT_EQ(262144, first.lbfsBlockReq.count);
    EXPECT_EQ(0, first.lbfsBlockReq.last);
    EXPECT_EQ(31u, first.lbfsBlockReq.value);
    int bad = 0;
    for (int i = 0; i < first.lbfsBlockReq.count; ++i)
        bad += first.lbfsBlockReq.offsetAt(i) != uint64_t(i) << 20 ||
               first.lbfsBlockReq.lengthAt(i) != (uint32_t(i) ^ 0x5A5A);
    EXPECT_EQ(0, bad);
    const FlrNetMessage second = recvOne(c.head);
    ASSERT_EQ(FLR_NET_LBFS_BLOCK_REQ, second.type);
    EXPECT_EQ(1, second.lbfsBlockReq.count);
    EXPECT_EQ(1, second.lbfsBlockReq.last);
    EXPECT_EQ(uint64_t{262144} << 20, second.lbfsBlockReq.offsetAt(0));
    EXPECT_STREQ("dst/path", second.lbfsBlockReq.str1);
    EXPECT_STREQ("fid text", second.lbfsBlockReq.str2);
    EXPECT_EQ(FLR_NET_LBFS_STOP, recvOne(c.head).type);
}

TEST(FlrNetHeadTail, SpecialFilesStreamInPiecesOfAtMost262144Bytes) {
    Connected c;
    flrtest::TempDir dir;
    std::string content(600000, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 31 + i / 7);
    flrtest::writeFile(dir.file("special"), content);

    c.head.sendMirSpecFile(42, dir.file("special").c_str());
    FlrNetMessage m = recvOne(*c.tail);
    ASSERT_EQ(FLR_NET_MIR_SPEC_FILE, m.type);
    EXPECT_EQ(42, m.mirSpecFile.id);
    std::string got;
    for (int expected : {262144, 262144, 600000 - 2 * 262144}) {
        m = recvOne(*c.tail);
        ASSERT_EQ(FLR_NET_MIR_DATA, m.type);
        EXPECT_EQ(expected, m.data.len);
        got.append(static_cast<const char*>(m.data.data), static_cast<size_t>(m.data.len));
    }
    EXPECT_EQ(content, got);
    EXPECT_EQ(FLR_NET_MIR_EOF, recvOne(*c.tail).type);

    c.head.sendMirSpecFile(43, "");
    c.head.sendMirSpecFile(44, nullptr);
    for (int id : {43, 44}) {
        m = recvOne(*c.tail);
        EXPECT_EQ(FLR_NET_MIR_SPEC_FILE, m.type);
        EXPECT_EQ(id, m.mirSpecFile.id);
        EXPECT_EQ(FLR_NET_MIR_EOF, recvOne(*c.tail).type);
    }

    const std::string missing = dir.file("missing");
    EXPECT_EQ("FlrNetBase::sendMirSpecFile: Failed to stat file " + missing +
                  ": No such file or directory",
              messageText([&] { c.head.sendMirSpecFile(45, missing.c_str()); }));
}

TEST(FlrNetHeadTail, SwappingEnqueueExchangesBuffersWithoutCopying) {
    Connected c;
    int cap = 100000;
    void* buf = std::malloc(static_cast<size_t>(cap));
    std::vector<const void*> handedOut;
    for (int i = 0; i < 40; ++i) {
        std::memset(buf, 'a' + i % 26, static_cast<size_t>(cap));
        handedOut.push_back(buf);
        c.head.sendMirData(buf, 50000 + i, cap);
        ASSERT_NE(nullptr, buf);
        EXPECT_GE(cap, 100000);
        const FlrNetMessage m = recvOne(*c.tail);
        ASSERT_EQ(FLR_NET_MIR_DATA, m.type);
        ASSERT_EQ(50000 + i, m.data.len);
        const auto* p = static_cast<const unsigned char*>(m.data.data);
        EXPECT_EQ('a' + i % 26, p[0]);
        EXPECT_EQ('a' + i % 26, p[m.data.len - 1]);
    }
    // Once every slot holds a large buffer, the caller's buffers circulate.
    EXPECT_NE(handedOut.end(), std::find(handedOut.begin(), handedOut.end(), buf));
    std::free(buf);
}

TEST(FlrNetHeadTail, ConnectingByPortByServiceAndDup) {
    flrnettest::NetRegistry registry;
    flrnettest::TailServer server;
    FlrNetHead fresh;
    EXPECT_EQ("FlrNetHead::dup: Connection hasn't been established yet",
              messageText([&] { delete fresh.dup(); }));

    flrnettest::Listener dead;
    const int deadPort = dead.port();
    dead.close();
    const std::string refused = messageText([&] { fresh.connect("127.0.0.1", deadPort, 0); });
    EXPECT_EQ(0u, refused.find("FlrNetHead::connect: Couldn't connect to 127.0.0.1:" +
                               std::to_string(deadPort) + "/0: "))
        << refused;
    const std::string unknown = messageText([&] { fresh.connect("127.0.0.1", "NoSuchService"); });
    EXPECT_EQ(0u, unknown.find("FlrNetHead::connect: Couldn't lookup NoSuchService's port number "
                               "on 127.0.0.1: "))
        << unknown;

    ASSERT_EQ(0,
              JXPlatformInfo::setString("Services", "nFlrTailPort", std::to_string(server.port())));
    FlrNetHead head;
    head.connect("127.0.0.1", "FlrTail");
    EXPECT_EQ("FlrTail", head.getService());
    EXPECT_EQ(server.port(), head.getPort());
    std::unique_ptr<FlrNetHead> second(head.dup());
    EXPECT_EQ("FlrTail", second->getService());

    // Two sessions: each answers its own head.
    std::thread responder([&] {
        for (size_t i = 0; i < 2; ++i) {
            FlrNetTail& t = server.tail(i);
            EXPECT_EQ(FLR_NET_PING, recvOne(t).type);
            t.pong();
        }
    });
    head.ping();
    second->ping();
    responder.join();
    EXPECT_EQ(SdtNetLink::kProtocolVersion, second->getPeerVersion());
}

// A run's name goes first on the connection it is given to and on every
// dup() of it, to tails that take it; an older tail is told nothing.
TEST(FlrNetHeadTail, ARunIsNamedOnEveryConnectionOfItToTailsThatTakeIt) {
    flrnettest::NetRegistry registry;
    for (const uint32_t version : {0u, FLR_NET_RUN_ID_VERSION - 1}) {
        SCOPED_TRACE(version);
        SdtNetLink::setAdvertisedVersionForTests(version);
        flrnettest::TailServer server;
        FlrNetHead head;
        head.connect("127.0.0.1", server.port(), 0);
        head.setRunId(0xA1B2C3D4E5F60718ULL, 42);
        std::unique_ptr<FlrNetHead> second(head.dup());
        std::thread responder([&] {
            for (size_t i = 0; i < 2; ++i) {
                FlrNetTail& t = server.tail(i);
                FlrNetMessage m = recvOne(t);
                if (version == 0) {
                    EXPECT_EQ(FLR_NET_SET_RUN_ID, m.type) << "session " << i;
                    EXPECT_EQ(0xA1B2C3D4E5F60718ULL, m.setRunId.runId);
                    EXPECT_EQ(42u, m.setRunId.follows);
                    m = recvOne(t);
                }
                EXPECT_EQ(FLR_NET_PING, m.type) << "session " << i;
                t.pong();
            }
        });
        head.ping();
        second->ping();
        responder.join();
    }
    SdtNetLink::setAdvertisedVersionForTests(0);
}

TEST(FlrNetHeadTail, WrongOrMissingSecretIsRefused) {
    flrnettest::NetRegistry registry;
    {
        flrnettest::TailServer server;
        server.useSecret("a different secret");
        FlrNetHead head;
        const std::string text = messageText([&] { head.connect("127.0.0.1", server.port(), 0); });
        EXPECT_NE(std::string::npos,
                  text.find("Failed to setup and authenticate socket connection: "))
            << text;
        EXPECT_FALSE(server.errors(5000).empty());
        FlrNetMessage m;
        EXPECT_EQ(-1, head.recvMessage(&m, 0));
    }
    ASSERT_EQ(0, JXPlatformInfo::deleteValue("ZRP", "sLinkSecret"));
    flrnettest::TailServer server;
    FlrNetHead head;
    const std::string text = messageText([&] { head.connect("127.0.0.1", server.port(), 0); });
    EXPECT_NE(std::string::npos, text.find("No link secret configured")) << text;
}

}  // namespace

namespace olderTailNote {

// Lines telling what the tail at this port cannot keep.
std::vector<std::string> notes(const EvDebugCapture& log, int port) {
    std::vector<std::string> out;
    const std::string at = "The tail at 127.0.0.1:" + std::to_string(port) + " ";
    for (const EvLogLine& l : log.lines())
        if (l.text.rfind(at, 0) == 0) out.push_back(l.text);
    return out;
}

}  // namespace olderTailNote

// A head reaching an older tail says once what that tail cannot keep, by
// the version that brought each aspect; a current tail and a dup() of the
// connection say nothing.
TEST(FlrNetHeadTail, AnOlderTailIsNamedOnceWithWhatItCannotKeep) {
    struct Case {
        uint32_t version;  // announced by both ends; 0: this build's
        const char* says;  // "" = no line
    };
    const std::vector<Case> cases = {
        {8,
         "speaks link version 8: extended attributes, nanosecond times, hard links and holes "
         "of files sent as deltas are not kept there"},
        {9,
         "speaks link version 9: hard links, holes of files sent as deltas and attributes of "
         "symbolic links changed while watching are not kept there"},
        {10,
         "speaks link version 10: attributes of symbolic links changed while watching are "
         "not kept there"},
        {0, ""},
    };
    flrnettest::NetRegistry registry;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.version);
        SdtNetLink::setAdvertisedVersionForTests(k.version);
        flrnettest::TailServer server;
        EvDebugCapture log;
        FlrNetHead head;
        head.connect("127.0.0.1", server.port(), 0);
        std::unique_ptr<FlrNetHead> second(head.dup());
        const std::vector<std::string> lines = olderTailNote::notes(log, server.port());
        if (!*k.says) {
            EXPECT_TRUE(lines.empty()) << lines.front();
        } else {
            ASSERT_EQ(1u, lines.size());
            EXPECT_NE(std::string::npos, lines[0].find(k.says)) << lines[0];
        }
        head.closeSocket();
        second->closeSocket();
    }
    SdtNetLink::setAdvertisedVersionForTests(0);
}
