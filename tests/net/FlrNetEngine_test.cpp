// The engine's queues, threads, time-outs, keep-alives and failure modes over
// real loopback TCP: a killed peer, a closed peer, a corrupted stream,
// options switched mid-stream and extra sockets.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "NetTestUtil.h"
#include "net/FlrNetHead.h"
#include "net/FlrNetTail.h"
#include "platform/EvDebug.h"
#include "platform/JXPlatformInfo.h"

namespace {

using flrnettest::Connected;
using flrnettest::recvOne;
using Clock = std::chrono::steady_clock;

using flrnettest::errorOf;
using flrnettest::ping;

long long msSince(Clock::time_point t0) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
}

// Payload i of a numbered stream: its number and a pattern derived from it.
std::string numbered(uint32_t i, size_t len) {
    std::string s(len, '\0');
    std::memcpy(&s[0], &i, sizeof i);
    for (size_t k = sizeof i; k < len; ++k) s[k] = static_cast<char>(i * 7 + k);
    return s;
}

bool isNumbered(const FlrNetMessage& m, uint32_t i, size_t len) {
    return m.type == FLR_NET_MIR_DATA && static_cast<size_t>(m.data.len) == len &&
           std::memcmp(m.data.data, numbered(i, len).data(), len) == 0;
}

// Started with kPeerPortEnv set, this binary is the head of
// KilledPeerGivesMinusOneOnEveryLaterReceive: it connects, sends its messages,
// says so on stdout and waits to be killed. It runs before the tests would.
constexpr char kPeerPortEnv[] = "FLR_NET_TEST_PEER_PORT";
constexpr uint32_t kPeerMessages = 6;
constexpr size_t kPeerMessageLen = 3000;

int runAsPeer(int port) {
    try {
        FlrNetHead head;
        head.connect("127.0.0.1", port, 0);
        for (uint32_t i = 0; i < kPeerMessages; ++i) {
            const std::string s = numbered(i, kPeerMessageLen);
            head.sendMirData(s.data(), static_cast<int>(s.size()));
        }
        head.flush(30);
        if (::write(1, "r", 1) != 1) return 2;
        for (;;) ::pause();
    } catch (...) {
        return 1;
    }
}

[[maybe_unused]] const bool kIsPeer = [] {
    const char* port = std::getenv(kPeerPortEnv);
    if (port) ::_exit(runAsPeer(std::atoi(port)));
    return false;
}();

TEST(FlrNetEngine, SettingsComeFromTheRegistry) {
    flrnettest::NetRegistry reg;
    EvDebugCapture log;
    {
        FlrNetBase net;
        EXPECT_EQ(300, net.getKeepAliveInterval());
        EXPECT_EQ(7200, net.getNetTimeout());
        EXPECT_TRUE(log.contains("Sending keep-alives every 300 seconds"));
        EXPECT_TRUE(log.contains("Network timeout: 7200 secs"));
    }
    reg.set("nKeepAlive", "0");
    reg.set("nNetTimeout", "30");
    {
        FlrNetBase net;
        EXPECT_EQ(0, net.getKeepAliveInterval());
        EXPECT_EQ(7200, net.getNetTimeout());  // below 60 gives the default
        EXPECT_TRUE(log.contains("Not sending keep-alives"));
    }
    reg.set("nKeepAlive", "2");
    reg.set("nNetTimeout", "90");
    FlrNetBase net;
    EXPECT_EQ(120, net.getKeepAliveInterval());
    EXPECT_EQ(90, net.getNetTimeout());

    EXPECT_EQ(75, FlrNetBase::keepAliveWithExtraSockets(300, 4));
    EXPECT_EQ(1, FlrNetBase::keepAliveWithExtraSockets(300, 600));
    EXPECT_EQ(300, FlrNetBase::keepAliveWithExtraSockets(300, 0));
    EXPECT_EQ(0, FlrNetBase::keepAliveWithExtraSockets(0, 4));
}

TEST(FlrNetEngine, QueueHoldsFifteenAndTimeOutsAreHonoured) {
    flrnettest::NetRegistry reg;
    flrnettest::TailServer server;
    FlrNetHead head;
    // T = 0 never succeeds, even with room.
    EXPECT_EQ("Timed out after 0 secs waiting for room in the send queue",
              errorOf([&] { head.sendMessage(ping(0), 0, false); }));
    // No send thread: fifteen fit, the sixteenth waits.
    for (int i = 0; i < 15; ++i) head.sendMessage(ping(i), 1, false);
    const auto t0 = Clock::now();
    EXPECT_EQ("Timed out after 1 secs waiting for room in the send queue",
              errorOf([&] { head.sendMessage(ping(15), 1, false); }));
    EXPECT_GE(msSince(t0), 900);

    std::atomic<bool> queued{false};
    std::thread waiter([&] {
        head.sendMessage(ping(16), -1, false);
        queued = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(queued);
    // Attaching a socket empties the queue and lets the waiter in.
    head.connect("127.0.0.1", server.port(), 0);
    waiter.join();
    const FlrNetMessage m = recvOne(server.tail());
    EXPECT_EQ(FLR_NET_PING, m.type);
    EXPECT_EQ(16, m.ping.value);
}

TEST(FlrNetEngine, ReceiveTimeOutsAndDetachedEngines) {
    flrnettest::NetRegistry reg;
    {
        FlrNetBase detached;
        FlrNetMessage m;
        EXPECT_EQ(-1, detached.recvMessage(&m, 5));  // no receive thread: nothing will come
        detached.flush(1);                           // no send thread: returns at once
        EXPECT_EQ("Invalid arguments: msg==NULL",
                  errorOf([&] { detached.recvMessage(nullptr, 0); }));
    }
    Connected c;
    FlrNetMessage m;
    auto t0 = Clock::now();
    EXPECT_EQ(-2, c.tail->recvMessage(&m, 0));
    EXPECT_LT(msSince(t0), 500);
    t0 = Clock::now();
    EXPECT_EQ(-2, c.tail->recvMessage(&m, 1));
    EXPECT_GE(msSince(t0), 900);

    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        c.head.sendMessage(ping(7), 10, false);
    });
    EXPECT_EQ(0, c.tail->recvMessage(&m, 20));
    EXPECT_EQ(7, m.ping.value);
    later.join();
}

TEST(FlrNetEngine, KeepAlivesAreSentOnIdleLinksAndNeverDelivered) {
    Connected c;
    EvDebugCapture log;
    c.head.setKeepAliveInterval(1);
    std::this_thread::sleep_for(std::chrono::milliseconds(2600));
    FlrNetMessage m;
    EXPECT_EQ(-2, c.tail->recvMessage(&m, 0));
    EXPECT_TRUE(log.containsFragment("Sending FLR_NET_KEEP_ALIVE"));
    EXPECT_TRUE(log.containsFragment("Received FLR_NET_KEEP_ALIVE"));

    // Messages flow as before around them.
    c.head.sendMessage(ping(3), 10, false);
    EXPECT_EQ(3, recvOne(*c.tail).ping.value);

    c.head.setKeepAliveInterval(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    log.clear();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    EXPECT_FALSE(log.containsFragment("Sending FLR_NET_KEEP_ALIVE"));
}

TEST(FlrNetEngine, ExtraSocketsShortenTheKeepAliveInterval) {
    flrnettest::NetRegistry reg;
    reg.set("nKeepAlive", "5");
    reg.set("nExtraSockets", "4");
    EvDebugCapture log;
    flrnettest::TailServer server;
    FlrNetHead head;
    head.connect("127.0.0.1", server.port(), 0);
    EXPECT_EQ(75, head.getKeepAliveInterval());
    EXPECT_EQ(4, head.getLink().extraSocketCount());
    EXPECT_TRUE(log.contains("Using 4 extra SDT socket connections"));
    EXPECT_TRUE(
        log.contains("Reducing keep-alive interval down to 75 secs due to extra SDT sockets"));
    // The tail never adds sockets of its own.
    EXPECT_EQ(300, server.tail().getKeepAliveInterval());
}

TEST(FlrNetEngine, ExtraSocketsDeliver100000MessagesInOrder) {
    flrnettest::NetRegistry reg;
    reg.set("nExtraSockets", "3");
    flrnettest::TailServer server;
    FlrNetHead head;
    head.connect("127.0.0.1", server.port(), 0);
    ASSERT_EQ(3, head.getLink().extraSocketCount());
    FlrNetTail& tail = server.tail();
    constexpr uint32_t kCount = 100000;
    std::thread sender([&] {
        for (uint32_t i = 0; i < kCount; ++i) head.sendJournalEntry(&i, sizeof i);
        head.flush(60);
    });
    uint32_t outOfOrder = 0;
    for (uint32_t i = 0; i < kCount; ++i) {
        FlrNetMessage m;
        ASSERT_EQ(0, tail.recvMessage(&m, 60)) << "message " << i;
        uint32_t got = ~0u;
        if (m.type == FLR_NET_JOURNAL && m.journal.len == sizeof got)
            std::memcpy(&got, m.journal.data, sizeof got);
        outOfOrder += got != i;
    }
    sender.join();
    EXPECT_EQ(0u, outOfOrder);
}

TEST(FlrNetEngine, ClosedPeerGivesMinusOneAfterTheQueuedMessages) {
    Connected c;
    for (uint32_t i = 0; i < 5; ++i) {
        const std::string s = numbered(i, 1000);
        c.head.sendMirData(s.data(), static_cast<int>(s.size()));
    }
    c.head.closeSocket();
    for (uint32_t i = 0; i < 5; ++i) EXPECT_TRUE(isNumbered(recvOne(*c.tail), i, 1000));
    FlrNetMessage m;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(-1, c.tail->recvMessage(&m, 5));

    // The engine attaches again after a close.
    c.head.connect("127.0.0.1", c.server.port(), 0);
    std::thread responder([&] {
        FlrNetTail& t = c.server.tail(1);
        recvOne(t);
        t.pong();
    });
    EXPECT_NO_THROW(c.head.ping());
    responder.join();
}

TEST(FlrNetEngine, KilledPeerGivesMinusOneOnEveryLaterReceive) {
    flrnettest::NetRegistry reg;
    flrnettest::Listener listener;
    int ready[2];
    ASSERT_EQ(0, ::pipe2(ready, O_CLOEXEC));
    // The peer is this test binary started afresh (a plain fork of a process
    // with threads could not start the engine's threads safely).
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    ASSERT_GT(n, 0);
    self[n] = 0;
    const std::string portEnv = std::string(kPeerPortEnv) + "=" + std::to_string(listener.port());
    const std::string regEnv = "FLR_REGISTRY=" + reg.path();
    char* argv[] = {self, nullptr};
    char* envp[] = {const_cast<char*>(portEnv.c_str()), const_cast<char*>(regEnv.c_str()), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ready[1], 1);
    pid_t child = -1;
    ASSERT_EQ(0, ::posix_spawn(&child, self, &actions, nullptr, argv, envp));
    posix_spawn_file_actions_destroy(&actions);
    ::close(ready[1]);

    FlrNetTail tail;
    const int fd = listener.accept(20000);
    ASSERT_GE(fd, 0);
    tail.setSocket(fd, 262144);
    char r = 0;
    ASSERT_EQ(1, ::read(ready[0], &r, 1));
    ::close(ready[0]);
    ASSERT_EQ(0, ::kill(child, SIGKILL));
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    EXPECT_TRUE(WIFSIGNALED(status));

    for (uint32_t i = 0; i < kPeerMessages; ++i)
        EXPECT_TRUE(isNumbered(recvOne(tail), i, kPeerMessageLen));
    FlrNetMessage m;
    for (int i = 0; i < 4; ++i) EXPECT_EQ(-1, tail.recvMessage(&m, 10));
}

TEST(FlrNetEngine, SendErrorPoisonsEveryLaterEnqueue) {
    Connected c;
    c.tail->closeSocket();
    const std::string block(65536, 'p');
    std::string first;
    for (int i = 0; i < 10000 && first.empty(); ++i) {
        try {
            c.head.sendMirData(block.data(), static_cast<int>(block.size()));
        } catch (const JxException& e) {
            first = e.getMessage();
        }
    }
    ASSERT_EQ(0u, first.find("Couldn't send FLR message: ")) << first;
    EXPECT_EQ(0u, errorOf([&] { c.head.sendMirEOF(); }).find("Couldn't send FLR message: "));
    // A flush does not wait for a queue that can no longer drain.
    const auto t0 = Clock::now();
    const std::string flushed = errorOf([&] { c.head.flush(60); });
    EXPECT_LT(msSince(t0), 5000);
    EXPECT_TRUE(flushed == "no exception" || flushed.find("Couldn't send FLR message: ") == 0)
        << flushed;
}

TEST(FlrNetEngine, OptionsSwitchMidStreamInBothDirections) {
    Connected c;
    std::string text;
    while (text.size() < 40000) text += "journal entry for /some/replicated/path number ";
    std::thread echo([&] {
        for (int i = 0; i < 60; ++i) {
            FlrNetMessage m = recvOne(*c.tail);
            // The tail switches its own options, independently of the head.
            c.tail->setCompression(i % 3 == 0 ? 1 : 0);
            c.tail->setEncryption(i % 4 == 1 ? 1 : 0);
            c.tail->enableCRC32(i % 5 == 2);
            c.tail->sendMessage(m, 10, false);
        }
    });
    for (int i = 0; i < 60; ++i) {
        ASSERT_TRUE(c.head.setCompression(i % 2 ? 3 : 0).ok());
        ASSERT_TRUE(c.head.setEncryption(i % 3 == 1 ? 1 : 0).ok());
        ASSERT_TRUE(c.head.enableCRC32(i % 4 >= 2).ok());
        const std::string payload = text.substr(static_cast<size_t>(i) * 100, 20000 + i);
        c.head.sendMirData(payload.data(), static_cast<int>(payload.size()));
        const FlrNetMessage back = recvOne(c.head);
        ASSERT_EQ(FLR_NET_MIR_DATA, back.type);
        ASSERT_EQ(payload, std::string(static_cast<const char*>(back.data.data),
                                       static_cast<size_t>(back.data.len)));
    }
    echo.join();
    EXPECT_FALSE(c.head.setEncryption(7).ok());
}

// The head talks to the tail through a proxy that flips one byte inside the
// payload of the 11th frame; the tail must fail the link instead of
// delivering that frame.
void expectFlipFailsLink(bool crc, bool gcm, const char* expected) {
    flrnettest::NetRegistry reg;
    flrnettest::TailServer server;
    constexpr int kLen = 65536;
    const long long handshake = 60 + 32;  // the head's hello and proof
    const long long frame = 28 + kLen + (gcm ? 16 : 0) + (crc ? 4 : 0);
    flrnettest::FlipProxy flipper(server.port(), handshake + 10 * frame + 28 + 5000);
    FlrNetHead head;
    head.connect("127.0.0.1", flipper.port(), 0);
    head.enableCRC32(crc);
    head.setEncryption(gcm ? 1 : 0);
    FlrNetTail& tail = server.tail();
    // Once the tail has failed the link, the head's sends fail too.
    try {
        for (uint32_t i = 0; i < 20; ++i) {
            const std::string s = numbered(i, kLen);
            head.sendMirData(s.data(), kLen);
        }
    } catch (const JxException& e) {
        EXPECT_EQ(0u, e.getMessage().find("Couldn't send FLR message: ")) << e.getMessage();
    }
    uint32_t delivered = 0;
    std::string failure;
    for (;;) {
        FlrNetMessage m;
        try {
            const int rc = tail.recvMessage(&m, 20);
            if (rc != 0) {
                failure = "rc " + std::to_string(rc);
                break;
            }
        } catch (const JxException& e) {
            failure = e.getMessage();
            break;
        }
        EXPECT_TRUE(isNumbered(m, delivered, kLen)) << "message " << delivered;
        ++delivered;
    }
    EXPECT_TRUE(flipper.flipped());
    EXPECT_EQ(10u, delivered);
    EXPECT_EQ(0u, failure.find("Failed to receive next FLR message: ")) << failure;
    EXPECT_NE(std::string::npos, failure.find(expected)) << failure;
    // The failure stays: every later call reports it again.
    FlrNetMessage m;
    EXPECT_THROW(tail.recvMessage(&m, 1), JxException);
}

TEST(FlrNetEngine, FlippedByteFailsTheLinkWithCRC) {
    expectFlipFailsLink(true, false, "CRC-32 mismatch");
}

TEST(FlrNetEngine, FlippedByteFailsTheLinkWithEncryption) {
    expectFlipFailsLink(false, true, "AES-256-GCM authentication failed");
}

}  // namespace

// A held batch wakes the send thread once: its messages go when the hold
// ends, when one is large, when the queue fills past its wake mark or on a
// flush, never later (a stalled one would wait out the receive time-outs);
// and a burst received in one piece reaches the caller at once, its last
// message included.
TEST(FlrNetEngine, HeldBatchesLeaveWhenReleasedAndNeverStall) {
    Connected c;
    {
        const FlrNetBase::SendBatch batch(c.head);
        for (int i = 0; i < 3; ++i) c.head.sendMessage(ping(i), 5, false);
    }
    for (int i = 0; i < 3; ++i) EXPECT_EQ(i, recvOne(*c.tail, 5).ping.value);
    {
        const FlrNetBase::SendBatch batch(c.head);
        const std::string big = numbered(1, FlrNetBase::kBatchWakeBytes);
        c.head.sendMirData(big.data(), static_cast<int>(big.size()));
        EXPECT_TRUE(isNumbered(recvOne(*c.tail, 5), 1, big.size()));
        c.head.sendMessage(ping(7), 5, false);
        c.head.flush(5);
        EXPECT_EQ(7, recvOne(*c.tail, 5).ping.value);
    }
    // More than the queue holds under one hold, then a burst of small
    // frames read together: nothing waits for a time-out on either side.
    const auto t0 = Clock::now();
    std::thread receiver([&] {
        for (uint32_t i = 0; i < 2000; ++i) ASSERT_TRUE(isNumbered(recvOne(*c.tail, 20), i, 40));
    });
    {
        const FlrNetBase::SendBatch batch(c.head);
        for (uint32_t i = 0; i < 2000; ++i) {
            const std::string s = numbered(i, 40);
            c.head.sendMirData(s.data(), static_cast<int>(s.size()));
        }
    }
    receiver.join();
    EXPECT_LT(msSince(t0), 10000);
}
