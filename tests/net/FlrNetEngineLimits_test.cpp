// The engine against a peer that authenticated but misbehaves: payloads over
// their type's limit, compressed frames that expand to the largest size,
// a peer that stops reading while the engine is being closed.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "NetTestUtil.h"
#include "net/FlrNetHead.h"
#include "net/FlrNetTail.h"

namespace {

using flrnettest::Connected;

std::string receiveError(FlrNetBase& net) {
    FlrNetMessage m;
    try {
        const int rc = net.recvMessage(&m, 20);
        return rc == 0 ? std::string("delivered ") + flrNetMsgName(m.type)
                       : "rc " + std::to_string(rc);
    } catch (const JxException& e) {
        return e.getMessage();
    }
}

TEST(FlrNetEngineLimits, PayloadsOverTheirTypesLimitEndTheLink) {
    struct Case {
        int type;
        size_t len;
        bool refused;
    };
    const std::vector<Case> cases = {
        {FLR_NET_PING, FlrNetBase::kMaxControlPayload, false},
        {FLR_NET_PING, 1u << 20, true},
        {FLR_NET_GET_LAST_SEQNUM_RESP, FlrNetBase::kMaxControlPayload + 1, true},
        {FLR_NET_MIR_HEADER, FlrNetBase::kMaxPathPayload + 1, true},
        {7, 4096, true},  // unassigned codes carry nothing
        {FLR_NET_MIR_DATA, 4u << 20, false},
        {FLR_NET_VERIFY_ENTRIES, FlrNetBase::kMaxVerifyBatch, false},
        {FLR_NET_VERIFY_ENTRIES, FlrNetBase::kMaxVerifyBatch + 1, true},
        {FLR_NET_VERIFY_END, FlrNetBase::kMaxPathPayload + 1, true},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::string(flrNetMsgName(k.type)) + " of " + std::to_string(k.len));
        Connected c;
        std::vector<char> payload(k.len, 0);
        ASSERT_TRUE(c.head.getLink()
                        .sendMessage(k.type, payload.data(), static_cast<int>(k.len), 20, false)
                        .ok());
        const std::string got = receiveError(*c.tail);
        if (k.refused)
            EXPECT_NE(std::string::npos, got.find("over its limit")) << got;
        else
            EXPECT_EQ(0u, got.find("delivered ")) << got;
    }
}

// 64 MiB frames of zeros arrive as a few KB each. Sixteen queued unread
// would pin a gigabyte; the engine holds about two of them at most, and
// releases them once consumed.
TEST(FlrNetEngineLimits, CompressedLargeFramesKeepReceiveMemoryBounded) {
    Connected c;
    ASSERT_TRUE(c.head.getLink().setCompression(1).ok());
    const size_t big = FlrNetBase::kMaxDataPayload;
    const std::vector<char> zeros(big, 0);
    // Three already hold more than the budget.
    constexpr int kFrames = 3;
    std::thread sender([&] {
        for (int i = 0; i < kFrames; ++i)
            ASSERT_TRUE(
                c.head.getLink()
                    .sendMessage(FLR_NET_MIR_DATA, zeros.data(), static_cast<int>(big), 60, false)
                    .ok());
    });
    // Give the receive thread time to read ahead as far as it will.
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    const size_t bound =
        FlrNetBase::kRecvMemoryBudget + FlrNetBase::kQueueSlots * FlrNetBase::kKeepRecvBufferSize;
    EXPECT_LE(c.tail->recvBufferBytes(), bound);
    for (int i = 0; i < kFrames; ++i) {
        FlrNetMessage m = flrnettest::recvOne(*c.tail, 60);
        EXPECT_EQ(FLR_NET_MIR_DATA, m.type);
        EXPECT_EQ(static_cast<int>(big), m.data.len);
        EXPECT_LE(c.tail->recvBufferBytes(), bound);
    }
    sender.join();
    // Only the last message's buffer (the caller may still read it) stays large.
    EXPECT_LE(c.tail->recvBufferBytes(),
              big + FlrNetBase::kQueueSlots * FlrNetBase::kKeepRecvBufferSize);
}

// A peer that stops reading: closing waits for the queued messages no
// longer than the close-flush time-out (it used to wait as long as anything
// moved, and 300 s when nothing did).
TEST(FlrNetEngineLimits, ClosingAgainstAPeerThatStopsReadingIsBounded) {
    flrnettest::NetRegistry registry;
    flrnettest::TailServer server;  // its tail never reads
    auto head = std::make_unique<FlrNetHead>();
    head->connect("127.0.0.1", server.port(), 0);
    server.tail();
    const std::vector<char> piece(1u << 20, 'x');
    FlrNetMessage m(FLR_NET_MIR_DATA);
    m.data = {piece.data(), static_cast<int>(piece.size())};
    bool full = false;
    for (int i = 0; i < 1000 && !full; ++i) {
        try {
            head->sendMessage(m, 1, false);
        } catch (const JxException&) {
            full = true;  // no room for a second: the pipe is stuffed
        }
    }
    ASSERT_TRUE(full);
    head->setCloseFlushTimeout(1);
    auto closed = std::async(std::launch::async, [&] { head.reset(); });
    EXPECT_EQ(std::future_status::ready, closed.wait_for(std::chrono::seconds(60)));
}

}  // namespace
