// Engines joined by an in-process channel (a local destination): messages
// arrive decoded and in order, the ends behave as a closed or killed socket
// would, and a sender blocked on a full queue is never stranded.
#include "net/FlrNetChannel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FLR/JxException.h"
#include "NetTestUtil.h"
#include "net/FlrNetHead.h"
#include "net/FlrNetTail.h"

namespace flrchanneltest {

using Clock = std::chrono::steady_clock;

struct Joined {
    std::shared_ptr<FlrNetChannel> channel = std::make_shared<FlrNetChannel>();
    FlrNetHead head;
    std::unique_ptr<FlrNetTail> tail = std::make_unique<FlrNetTail>();
    Joined() {
        head.attachChannel(channel, 0);
        tail->attachChannel(channel, 1);
    }
};

using flrnettest::errorOf;
using flrnettest::ping;

std::string pattern(uint32_t seed, size_t len) {
    std::string s(len, '\0');
    for (size_t k = 0; k < len; ++k) s[k] = static_cast<char>(seed * 31 + k * 7);
    return s;
}

long long msSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

TEST(FlrNetChannel, MessagesArriveDecodedInOrderAndAreCounted) {
    Joined j;
    // Small, empty, larger than a slot keeps, and larger than a socket
    // frame: each slot is reused for all of them.
    const std::vector<size_t> sizes = {1, 0, 300, 65536, 3u << 20, 17, 2u << 20, 5};
    std::thread reader([&] {
        for (int round = 0; round < 3; ++round)
            for (size_t i = 0; i < sizes.size(); ++i) {
                FlrNetMessage m;
                ASSERT_EQ(0, j.tail->recvMessage(&m, 20));
                ASSERT_EQ(FLR_NET_MIR_DATA, m.type);
                ASSERT_EQ(sizes[i], static_cast<size_t>(m.data.len));
                if (sizes[i] == 0) continue;  // an empty body may come without a buffer
                ASSERT_EQ(
                    0, std::memcmp(m.data.data, pattern(static_cast<uint32_t>(i), sizes[i]).data(),
                                   sizes[i]));
            }
        FlrNetMessage m;
        ASSERT_EQ(0, j.tail->recvMessage(&m, 20));
        EXPECT_EQ(FLR_NET_MIR_SEEK, m.type);
        EXPECT_EQ(1LL << 40, m.seek.offset);
    });
    long long payload = 0;
    for (int round = 0; round < 3; ++round)
        for (size_t i = 0; i < sizes.size(); ++i) {
            const std::string s = pattern(static_cast<uint32_t>(i), sizes[i]);
            if (i % 2 == 0) {
                j.head.sendMirData(s.data(), static_cast<int>(s.size()));
            } else {
                // The swapping enqueue: the caller keeps its own buffer.
                int cap = static_cast<int>(s.size()) + 8;
                void* buf = std::malloc(static_cast<size_t>(cap));
                if (!s.empty()) std::memcpy(buf, s.data(), s.size());
                void* mine = buf;
                j.head.sendMirData(buf, static_cast<int>(s.size()), cap);
                EXPECT_EQ(mine, buf);
                std::free(buf);
            }
            payload += static_cast<long long>(sizes[i]);
        }
    j.head.sendMirSeek(1LL << 40);
    reader.join();
    EXPECT_GT(j.head.wireBytesSent(), payload);
    EXPECT_EQ(j.head.wireBytesSent(), j.tail->wireBytesReceived());
    EXPECT_EQ(0, j.tail->wireBytesSent());
    EXPECT_EQ(SdtNetLink::advertisedVersion(), j.head.getPeerVersion());
}

// How one end going away looks from the other: queued messages still come,
// then -1 on every receive, and sends fail at once.
TEST(FlrNetChannel, AClosedOrDestroyedPeerLooksLikeAClosedSocket) {
    struct Case {
        const char* name;
        std::function<void(Joined&)> end;
        const char* sendError;
    };
    const std::vector<Case> cases = {
        {"closed", [](Joined& j) { j.tail->closeSocket(); }, "the peer closed the link"},
        {"destroyed", [](Joined& j) { j.tail.reset(); }, "the peer closed the link"},
        {"aborted", [](Joined& j) { j.tail->abort("tail gave up"); }, "tail gave up"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.name);
        Joined j;
        FlrNetTail* tail = j.tail.get();
        tail->pong(5);
        tail->pong(6);
        EXPECT_FALSE(j.head.peerHungUp());
        k.end(j);
        EXPECT_TRUE(j.head.peerHungUp());
        EXPECT_TRUE(j.head.recvEnded());
        FlrNetMessage m;
        ASSERT_EQ(0, j.head.recvMessage(&m, 5));
        ASSERT_EQ(0, j.head.recvMessage(&m, 5));
        EXPECT_EQ(-1, j.head.recvMessage(&m, 5));
        EXPECT_EQ(-1, j.head.recvMessage(&m, 0));
        EXPECT_NE(std::string::npos,
                  errorOf([&] { j.head.sendMessage(ping(1), 5, false); }).find(k.sendError));
    }
}

TEST(FlrNetChannel, TimeOutsAndAbortFreeABlockedSender) {
    Joined j;
    FlrNetMessage m;
    auto t0 = Clock::now();
    EXPECT_EQ(-2, j.tail->recvMessage(&m, 1));
    EXPECT_GE(msSince(t0), 900);
    EXPECT_EQ("Timed out after 0 secs waiting for room in the send queue",
              errorOf([&] { j.head.sendMessage(ping(0), 0, false); }));
    // Fifteen large messages fit; the sixteenth waits for the reader or its
    // time-out.
    const std::string piece = pattern(1, 256u << 10);
    auto sendPiece = [&](int timeout) {
        void* buf = const_cast<char*>(piece.data());
        int cap = static_cast<int>(piece.size());
        j.head.sendMessage(FLR_NET_MIR_DATA, buf, cap, cap, timeout, false);
    };
    for (size_t i = 0; i < FlrNetChannel::kMessages; ++i) sendPiece(1);
    t0 = Clock::now();
    EXPECT_EQ("Timed out after 1 secs waiting for room in the send queue",
              errorOf([&] { sendPiece(1); }));
    EXPECT_GE(msSince(t0), 900);

    // A sender waiting without limit is freed by an abort from another
    // thread, and the aborting side's receives say why.
    std::string blocked;
    std::thread sender([&] { blocked = errorOf([&] { sendPiece(-1); }); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    t0 = Clock::now();
    j.head.abort("stopping the run");
    sender.join();
    EXPECT_LT(msSince(t0), 2000);
    EXPECT_NE(std::string::npos, blocked.find("the link was ended")) << blocked;
    EXPECT_NE(std::string::npos,
              errorOf([&] { j.head.recvMessage(&m, 1); }).find("stopping the run"));
    // The tail still reads what was queued before the abort, then the end.
    for (size_t i = 0; i < FlrNetChannel::kMessages; ++i) {
        ASSERT_EQ(0, j.tail->recvMessage(&m, 5));
        EXPECT_EQ(piece.size(), static_cast<size_t>(m.data.len));
    }
    EXPECT_EQ(-1, j.tail->recvMessage(&m, 5));

    // A new channel is a new connection: the abort of the last one is over.
    auto fresh = std::make_shared<FlrNetChannel>();
    FlrNetTail other;
    j.head.attachChannel(fresh, 0);
    other.attachChannel(fresh, 1);
    j.head.sendMessage(ping(42), 5, false);
    ASSERT_EQ(0, other.recvMessage(&m, 5));
    EXPECT_EQ(42, m.ping.value);
    other.pong();
    EXPECT_EQ(0, j.head.recvMessage(&m, 5));
}

// A planner pipelines requests and reads the answers later, as a socket's
// buffers let it: both ends may send thousands of small messages before
// either reads one.
TEST(FlrNetChannel, BothEndsMaySendManySmallMessagesBeforeReading) {
    Joined j;
    constexpr int kCount = 5000;
    for (int i = 0; i < kCount; ++i) {
        j.head.sendMessage(ping(i), 5, false);
        j.tail->pong(i);
    }
    FlrNetMessage m;
    for (int i = 0; i < kCount; ++i) {
        ASSERT_EQ(0, j.tail->recvMessage(&m, 5));
        ASSERT_EQ(i, m.ping.value);
        ASSERT_EQ(0, j.head.recvMessage(&m, 5));
        ASSERT_EQ(FLR_NET_PING, m.type);
        ASSERT_EQ(1 + i, m.ping.value);  // a pong: 1 + what it tells
    }
    EXPECT_EQ(-2, j.head.recvMessage(&m, 0));
}

TEST(FlrNetChannel, HeldBatchesReachAWaitingReaderAndNeverStall) {
    Joined j;
    std::atomic<int> got{0};
    auto receive = [&](int n) {
        for (int i = 0; i < n; ++i) {
            FlrNetMessage m;
            ASSERT_EQ(0, j.tail->recvMessage(&m, 20));
            ++got;
        }
    };
    // A reader already asleep hears of held messages at a flush, and of
    // the rest when the hold ends.
    std::thread reader([&] { receive(4); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    {
        const FlrNetBase::SendBatch batch(j.head);
        for (int i = 0; i < 3; ++i) j.head.sendMessage(ping(i), 5, false);
        j.head.flush(5);
        const auto t0 = Clock::now();
        while (got < 3 && msSince(t0) < 5000)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        EXPECT_EQ(3, got.load());
        j.head.sendMessage(ping(3), 5, false);
    }
    reader.join();
    // More than the queue holds under one hold: the full queue wakes it.
    const auto t0 = Clock::now();
    std::thread many([&] { receive(2000); });
    {
        const FlrNetBase::SendBatch batch(j.head);
        for (int i = 0; i < 2000; ++i) j.head.sendMessage(ping(i), 20, false);
    }
    many.join();
    EXPECT_EQ(2004, got.load());
    EXPECT_LT(msSince(t0), 10000);
}

}  // namespace flrchanneltest
