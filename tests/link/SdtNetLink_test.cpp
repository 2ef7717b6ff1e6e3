// The link over real loopback TCP: handshake and refusals, frames with every
// option switched mid-stream, corruption through a byte-flipping proxy,
// time-outs, closes, aborts, concurrency and extra sockets.
#include "link/SdtNetLink.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "digest/Jxc.h"
#include "platform/EvDebug.h"
#include "platform/JXPlatformInfo.h"
#include "support/LinkPair.h"
#include "support/TestSupport.h"

namespace {

constexpr char kNetLinkSecret[] = "correct horse battery staple, thirty-two bytes at least";

// A listening socket on 127.0.0.1 with an ephemeral port.
class Listener {
  public:
    Listener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(0, ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a));
        EXPECT_EQ(0, ::listen(fd_, 16));
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Listener() { ::close(fd_); }
    int port() const { return port_; }
    int accept() const { return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC); }
    int connect() const {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port_));
        EXPECT_EQ(0, ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a));
        return s;
    }

  private:
    int fd_ = -1;
    int port_ = 0;
};

struct TcpPair {
    int head = -1;
    int tail = -1;
};

TcpPair tcpPair(const Listener& l) {
    TcpPair p;
    p.head = l.connect();
    p.tail = l.accept();
    return p;
}

// Runs both handshakes at once, the tail on a thread.
void handshake(SdtNetLink& head, int headFd, SdtNetLink& tail, int tailFd, SdtError* headErr,
               SdtError* tailErr) {
    std::thread t([&] { *tailErr = tail.setSocket(tailFd, true); });
    *headErr = head.setSocket(headFd, false);
    t.join();
}

// Two links over loopback TCP, the secret from the registry.
struct Connected {
    flrtest::ScopedRegistry reg;
    Listener listener;
    SdtNetLink head, tail;
    SdtBuffer headBuf{65536}, tailBuf{65536};

    Connected() {
        JXPlatformInfo::setString("ZRP", "sLinkSecret", kNetLinkSecret);
        head.setRecvBuffer(&headBuf);
        tail.setRecvBuffer(&tailBuf);
        TcpPair p = tcpPair(listener);
        SdtError he, te;
        handshake(head, p.head, tail, p.tail, &he, &te);
        EXPECT_TRUE(he.ok()) << he.text();
        EXPECT_TRUE(te.ok()) << te.text();
    }
};

std::string pattern(size_t n, unsigned seed) {
    std::string s(n, '\0');
    std::mt19937 rng(seed);
    for (auto& c : s) c = static_cast<char>(rng());
    return s;
}

// Text-like data that zstd shrinks but not to nothing.
std::string compressible(size_t n, unsigned seed) {
    static const char* words[] = {"journal ", "entry ", "replica ", "tail ", "head ", "block "};
    std::mt19937 rng(seed);
    std::string s;
    while (s.size() < n) {
        s += words[rng() % 6];
        s += static_cast<char>('a' + rng() % 26);
    }
    s.resize(n);
    return s;
}

SdtError recvMs(SdtNetLink& l, SdtLinkPacket* p, int ms) {
    return l.recvMsgPacketMs(p, ms);
}

void expectMessage(SdtNetLink& to, int type, const std::string& bytes,
                   long long* frameSize = nullptr) {
    SdtLinkPacket p;
    SdtError e = recvMs(to, &p, 10000);
    ASSERT_TRUE(e.ok()) << e.code() << " " << e.text();
    EXPECT_EQ(SdtLinkPacket::kMessageFrame, p.kind);
    EXPECT_EQ(static_cast<uint32_t>(type), p.msgType);
    ASSERT_EQ(bytes.size(), static_cast<size_t>(p.payloadLen));
    EXPECT_EQ(0, std::memcmp(bytes.data(), p.payload, bytes.size()));
    if (frameSize) *frameSize = p.frameSize;
}

void send(SdtNetLink& from, int type, const std::string& bytes) {
    SdtError e = from.sendMessage(type, bytes.data(), static_cast<int>(bytes.size()), 10, false);
    ASSERT_TRUE(e.ok()) << e.text();
}

}  // namespace

TEST(SdtNetLink, HandshakeOverTcpThenMessagesBothWays) {
    Connected c;
    EXPECT_EQ(SdtNetLink::kProtocolVersion, c.head.getPeerVersion());
    EXPECT_EQ(SdtNetLink::kProtocolVersion, c.tail.getPeerVersion());
    EXPECT_EQ(32u, c.head.getSessionId().size());
    EXPECT_EQ(c.head.getSessionId(), c.tail.getSessionId());

    send(c.head, 4, "hello tail");
    send(c.head, 37, "");
    send(c.tail, 20, std::string("\0\0\0\1", 4));
    expectMessage(c.tail, 4, "hello tail");
    expectMessage(c.tail, 37, "");
    expectMessage(c.head, 20, std::string("\0\0\0\1", 4));
    EXPECT_TRUE(c.head.closeSocket().ok());
    EXPECT_FALSE(c.head.isConnected());
    EXPECT_EQ(0u, c.head.getPeerVersion());
}

TEST(SdtNetLink, WrongSecretIsRefusedByBothSidesWithoutLeakingIt) {
    flrtest::ScopedRegistry reg;
    Listener l;
    EvDebugCapture logs;
    SdtNetLink head, tail;
    head.setSecret("the head's secret, long enough to be accepted");
    tail.setSecret("the tail's different secret, also long enough");
    TcpPair p = tcpPair(l);
    SdtError he, te;
    handshake(head, p.head, tail, p.tail, &he, &te);
    EXPECT_EQ(SdtError::kAuthFailed, he.code());
    EXPECT_EQ(SdtError::kAuthFailed, te.code());
    EXPECT_NE(std::string::npos, he.text().find("refused our proof")) << he.text();
    EXPECT_NE(std::string::npos, te.text().find("did not prove knowledge of the link secret"))
        << te.text();
    EXPECT_FALSE(head.isConnected());
    for (const auto& line : logs.lines()) {
        EXPECT_EQ(std::string::npos, line.text.find("secret\"")) << line.text;
        EXPECT_EQ(std::string::npos, line.text.find("head's secret")) << line.text;
        EXPECT_EQ(std::string::npos, line.text.find("different secret")) << line.text;
    }
    // The sockets stay the caller's after a refusal.
    EXPECT_EQ(-1, tail.stealSocket());
    ::close(p.head);
    ::close(p.tail);
}

TEST(SdtNetLink, RefusingTailReadsNothingPastTheForgedProof) {
    // A raw head: a plausible hello, a wrong proof, then more bytes that an
    // unauthenticated peer pushes after it. The tail must stop at the proof.
    flrtest::ScopedRegistry reg;
    Listener l;
    SdtNetLink tail;
    tail.setSecret(kNetLinkSecret);
    TcpPair p = tcpPair(l);
    std::string hello("FLRL\1\0\0\0\0\0\0\4", 12);
    hello += std::string(48, 'n');
    const std::string proofAndMore = std::string(32, 'p') + "FOLLOW-UP BYTES";
    ASSERT_EQ(60, ::write(p.head, hello.data(), hello.size()));
    ASSERT_EQ(static_cast<ssize_t>(proofAndMore.size()),
              ::write(p.head, proofAndMore.data(), proofAndMore.size()));
    SdtError e = tail.setSocket(p.tail, true);
    EXPECT_EQ(SdtError::kAuthFailed, e.code());
    char rest[64] = {};
    ASSERT_EQ(15, ::recv(p.tail, rest, sizeof rest, MSG_DONTWAIT));
    EXPECT_STREQ("FOLLOW-UP BYTES", rest);
    ::close(p.head);
    ::close(p.tail);
}

TEST(SdtNetLink, MissingSecretRefusesBeforeAnyIoAndSilentPeerTimesOut) {
    flrtest::ScopedRegistry reg;
    Listener l;
    SdtNetLink head, tail;
    head.setSecret(kNetLinkSecret);
    head.setHandshakeTimeout(300);
    TcpPair p = tcpPair(l);
    SdtError te = tail.setSocket(p.tail, true);  // registry has no secret
    EXPECT_EQ(SdtError::kAuthFailed, te.code());
    EXPECT_NE(std::string::npos, te.text().find("sLinkSecret")) << te.text();

    const auto start = std::chrono::steady_clock::now();
    SdtError he = head.setSocket(p.head, false);
    EXPECT_EQ(SdtError::kTimeout, he.code()) << he.text();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    // The tail consumed nothing: the head's hello is still waiting.
    char buf[128];
    EXPECT_EQ(60, ::recv(p.tail, buf, sizeof buf, MSG_DONTWAIT));
    ::close(p.head);
    ::close(p.tail);
}

TEST(SdtNetLink, SecretFileMustBePrivateAndWinsOverTheRegistryValue) {
    flrtest::ScopedRegistry reg;
    flrtest::TempDir dir;
    const std::string file = dir.file("link.key");
    flrtest::writeFile(file, std::string(kNetLinkSecret) + "\n");
    ASSERT_EQ(0, ::chmod(file.c_str(), 0644));
    JXPlatformInfo::setString("ZRP", "sLinkSecretFile", file);
    JXPlatformInfo::setString("ZRP", "sLinkSecret", "not used when the file is named");
    Listener l;
    {
        SdtNetLink tail;
        TcpPair p = tcpPair(l);
        SdtError e = tail.setSocket(p.tail, true);
        EXPECT_EQ(SdtError::kAuthFailed, e.code());
        EXPECT_NE(std::string::npos, e.text().find("accessible by group or others")) << e.text();
        EXPECT_NE(std::string::npos, e.text().find(file));
        EXPECT_EQ(std::string::npos, e.text().find(kNetLinkSecret));
        ::close(p.head);
        ::close(p.tail);
    }
    ASSERT_EQ(0, ::chmod(file.c_str(), 0600));
    SdtNetLink head, tail;
    head.setSecret(kNetLinkSecret);  // the file's content, trailing newline dropped
    TcpPair p = tcpPair(l);
    SdtError he, te;
    handshake(head, p.head, tail, p.tail, &he, &te);
    EXPECT_TRUE(he.ok()) << he.text();
    EXPECT_TRUE(te.ok()) << te.text();
}

namespace {

// Forwards bytes between two sockets; flips one byte at a given offset of the
// head-to-tail stream.
class FlippingProxy {
  public:
    FlippingProxy(int headSide, int tailSide, size_t flipAt)
        : a_(headSide), b_(tailSide), flipAt_(flipAt), thread_([this] { run(); }) {}
    ~FlippingProxy() {
        stop_ = true;
        thread_.join();
        ::close(a_);
        ::close(b_);
    }

  private:
    void run() {
        char buf[65536];
        size_t forwarded = 0;
        while (!stop_) {
            struct pollfd p[2] = {{a_, POLLIN, 0}, {b_, POLLIN, 0}};
            if (::poll(p, 2, 50) <= 0) continue;
            if (p[0].revents) {
                const ssize_t n = ::recv(a_, buf, sizeof buf, 0);
                if (n <= 0) break;
                const size_t end = forwarded + static_cast<size_t>(n);
                if (flipAt_ >= forwarded && flipAt_ < end) buf[flipAt_ - forwarded] ^= 0x20;
                forwarded = end;
                if (::send(b_, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
            }
            if (p[1].revents) {
                const ssize_t n = ::recv(b_, buf, sizeof buf, 0);
                if (n <= 0) break;
                if (::send(a_, buf, static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
            }
        }
        ::shutdown(a_, SHUT_RDWR);
        ::shutdown(b_, SHUT_RDWR);
    }
    int a_, b_;
    size_t flipAt_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The head-to-tail handshake is 60 + 32 bytes; a 28-byte header follows.
constexpr size_t kHandshakeBytes = 92;
constexpr size_t kHeaderBytes = 28;

// Sends a good message, then one whose byte at `offset` (from the start of
// its frame) the proxy flips; returns the tail's error on the second.
SdtError corruptSecondFrame(size_t offset, const std::function<void(SdtNetLink&)>& options) {
    flrtest::ScopedRegistry reg;
    Listener outer, inner;
    SdtNetLink head, tail;
    SdtBuffer buf;
    tail.setRecvBuffer(&buf);
    head.setSecret(kNetLinkSecret);
    tail.setSecret(kNetLinkSecret);
    TcpPair toProxy = tcpPair(outer);
    TcpPair fromProxy = tcpPair(inner);
    const std::string first = compressible(1000, 1), second = pattern(1000, 2);
    options(head);
    // The first frame's size depends on the options; measure it on a
    // socketpair with the same options.
    size_t firstFrame = 0;
    {
        flrtest::LinkPair probe(true, [&](SdtNetLink& h, SdtNetLink&) { options(h); });
        EXPECT_TRUE(probe.ok());
        probe.head.sendMessage(1, first.data(), static_cast<int>(first.size()), 5, false);
        char tmp[4096];
        firstFrame = static_cast<size_t>(::recv(probe.headWire, tmp, sizeof tmp, 0));
    }
    FlippingProxy proxy(toProxy.tail, fromProxy.head, kHandshakeBytes + firstFrame + offset);
    SdtError he, te;
    handshake(head, toProxy.head, tail, fromProxy.tail, &he, &te);
    EXPECT_TRUE(he.ok() && te.ok()) << he.text() << te.text();
    send(head, 1, first);
    send(head, 2, second);
    expectMessage(tail, 1, first);
    SdtLinkPacket p;
    SdtError e = recvMs(tail, &p, 5000);
    EXPECT_NE(2u, p.msgType);  // the bad message never comes through
    SdtError again = recvMs(tail, &p, 100);
    EXPECT_EQ(e.code(), again.code());  // the link stays ended
    return e;
}

}  // namespace

TEST(SdtNetLink, FlippedByteEndsTheLinkInsteadOfDeliveringBadData) {
    SdtError e = corruptSecondFrame(kHeaderBytes + 500, [](SdtNetLink& l) { l.enableCRC32(true); });
    EXPECT_EQ(SdtError::kProtocol, e.code());
    EXPECT_NE(std::string::npos, e.text().find("CRC-32 mismatch")) << e.text();

    e = corruptSecondFrame(kHeaderBytes + 500, [](SdtNetLink& l) { l.setEncryption(1); });
    EXPECT_EQ(SdtError::kProtocol, e.code());
    EXPECT_NE(std::string::npos, e.text().find("AES-256-GCM authentication failed")) << e.text();

    // In the header, even with neither option on.
    e = corruptSecondFrame(9, [](SdtNetLink&) {});
    EXPECT_EQ(SdtError::kProtocol, e.code());
    EXPECT_NE(std::string::npos, e.text().find("header check failed")) << e.text();

    // The GCM tag itself.
    e = corruptSecondFrame(kHeaderBytes + 1000 + 3, [](SdtNetLink& l) { l.setEncryption(1); });
    EXPECT_NE(std::string::npos, e.text().find("AES-256-GCM authentication failed")) << e.text();
}

TEST(SdtNetLink, OptionsSwitchPerFrameFromEitherSide) {
    Connected c;
    const std::string text = compressible(200000, 3), noise = pattern(70000, 4);
    struct Step {
        int level;
        int enc;
        bool crc;
    };
    const Step steps[] = {{0, 0, false}, {1, 0, false}, {3, 1, false}, {0, 1, true},
                          {1, 1, true},  {0, 0, true},  {0, 0, false}, {19, 0, true}};
    int type = 100;
    for (const Step& s : steps) {
        for (SdtNetLink* from : {&c.head, &c.tail}) {
            ASSERT_TRUE(from->setCompression(s.level).ok());
            ASSERT_TRUE(from->setEncryption(s.enc).ok());
            ASSERT_TRUE(from->enableCRC32(s.crc).ok());
            SdtNetLink& to = from == &c.head ? c.tail : c.head;
            send(*from, type, text);
            send(*from, type + 1, noise);
            send(*from, type + 2, "x");
            long long textFrame = 0, noiseFrame = 0;
            expectMessage(to, type, text, &textFrame);
            expectMessage(to, type + 1, noise, &noiseFrame);
            expectMessage(to, type + 2, "x");
            if (s.level > 0)
                EXPECT_LT(textFrame, static_cast<long long>(text.size() / 2));
            else
                EXPECT_GT(textFrame, static_cast<long long>(text.size()));
            // Incompressible data goes as it is.
            EXPECT_GE(noiseFrame, static_cast<long long>(noise.size()));
            type += 3;
        }
    }
    EXPECT_EQ(SdtError::kInvalidArgs, c.head.setEncryption(2).code());
    EXPECT_EQ(SdtError::kInvalidArgs, c.head.setCompression(99).code());
}

TEST(SdtNetLink, LargePayloadsGrowTheBufferAndLimitsHold) {
    Connected c;
    const std::string big = pattern(6u << 20, 5);
    const std::string bigText = compressible(5u << 20, 6);
    // Several MiB do not fit in the socket buffers: send while receiving.
    std::thread sender([&] {
        send(c.head, 4, big);
        c.head.setEncryption(1);
        c.head.setCompression(1);
        c.head.enableCRC32(true);
        send(c.head, 4, bigText);
        send(c.head, 4, big);
    });
    expectMessage(c.tail, 4, big);
    EXPECT_GE(c.tailBuf.capacity(), big.size());
    expectMessage(c.tail, 4, bigText);
    expectMessage(c.tail, 4, big);
    sender.join();

    // The sender refuses a payload over its limit; the link stays usable.
    c.head.setMaxPayload(1000);
    std::string over(1001, 'o');
    EXPECT_EQ(SdtError::kInvalidArgs,
              c.head.sendMessage(4, over.data(), static_cast<int>(over.size()), 1, false).code());
    c.head.setMaxPayload(SdtNetLink::kDefaultMaxPayload);
    // The receiver refuses a frame over its own limit before allocating.
    c.tail.setMaxPayload(1000);
    send(c.head, 4, over);
    SdtLinkPacket p;
    SdtError e = recvMs(c.tail, &p, 5000);
    EXPECT_EQ(SdtError::kProtocol, e.code());
    EXPECT_NE(std::string::npos, e.text().find("more than this link accepts")) << e.text();
}

TEST(SdtNetLink, TimeoutKeepsTheLinkAndAbortWakesABlockedReceive) {
    Connected c;
    SdtLinkPacket p;
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SdtError::kTimeout, recvMs(c.tail, &p, 150).code());
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(140));
    EXPECT_EQ(SdtError::kTimeout, c.tail.recvMsgPacket(&p, 0).code());
    send(c.head, 7, "after the time-out");
    expectMessage(c.tail, 7, "after the time-out");

    int pipeFds[2];
    ASSERT_EQ(0, ::pipe(pipeFds));
    c.tail.addAbortFd(pipeFds[0]);
    std::atomic<int> code{-1};
    std::thread receiver([&] {
        SdtLinkPacket q;
        code = c.tail.recvMsgPacket(&q, -1).code();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(-1, code.load());  // still blocked
    ASSERT_EQ(1, ::write(pipeFds[1], "x", 1));
    receiver.join();
    EXPECT_EQ(SdtError::kAborted, code.load());
    char drain;
    ASSERT_EQ(1, ::read(pipeFds[0], &drain, 1));
    // An abort between frames loses nothing.
    send(c.head, 8, "still here");
    expectMessage(c.tail, 8, "still here");
    c.tail.removeAbortFd(pipeFds[0]);
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
}

TEST(SdtNetLink, PeerCloseDeliversQueuedFramesThenReportsGone) {
    {
        Connected c;
        for (int i = 0; i < 3; ++i) send(c.head, i, "queued " + std::to_string(i));
        c.head.closeSocket();
        for (int i = 0; i < 3; ++i) expectMessage(c.tail, i, "queued " + std::to_string(i));
        SdtLinkPacket p;
        EXPECT_EQ(SdtError::kPeerClosed, recvMs(c.tail, &p, 5000).code());
        EXPECT_EQ(SdtError::kPeerClosed, recvMs(c.tail, &p, 5000).code());  // every later call
        // Sending into the closed connection fails as gone, not as a time-out.
        SdtError e;
        for (int i = 0; i < 100 && e.ok(); ++i) e = c.tail.sendMessage(1, "x", 1, 1, false);
        EXPECT_TRUE(e.isGone()) << e.code() << " " << e.text();
    }
    {
        // A reset (linger 0) is 92.
        Connected c;
        const int fd = c.head.stealSocket();
        ASSERT_GE(fd, 0);
        struct linger lg {
            1, 0
        };
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        ::close(fd);
        SdtLinkPacket p;
        EXPECT_EQ(SdtError::kConnReset, recvMs(c.tail, &p, 5000).code());
    }
}

TEST(SdtNetLink, StealSocketHandsBackABlockingDescriptor) {
    Connected c;
    const int fd = c.head.stealSocket();
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(c.head.isConnected());
    EXPECT_EQ(0, ::fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(SdtError::kInvalidArgs, c.head.sendMessage(1, "x", 1, 1, false).code());
    ::close(fd);
}

TEST(SdtNetLink, SendAndReceiveRunConcurrentlyInBothDirections) {
    Connected c;
    c.head.enableCRC32(true);
    c.tail.setEncryption(1);
    constexpr int kCount = 3000;
    std::atomic<int> failures{0};
    auto sender = [&](SdtNetLink& l, unsigned seed) {
        for (int i = 0; i < kCount; ++i) {
            const std::string m =
                std::to_string(i) + pattern(seed % 7 + static_cast<size_t>(i % 300), seed);
            if (!l.sendMessage(i, m.data(), static_cast<int>(m.size()), 10, false).ok()) ++failures;
            if (i == kCount / 2) l.setCompression(1);
        }
    };
    auto receiver = [&](SdtNetLink& l, unsigned seed) {
        for (int i = 0; i < kCount; ++i) {
            SdtLinkPacket p;
            const std::string m =
                std::to_string(i) + pattern(seed % 7 + static_cast<size_t>(i % 300), seed);
            if (!l.recvMsgPacketMs(&p, 10000).ok() || p.msgType != static_cast<uint32_t>(i) ||
                std::string(p.payload, static_cast<size_t>(p.payloadLen)) != m)
                ++failures;
        }
    };
    std::thread t1(sender, std::ref(c.head), 11u), t2(receiver, std::ref(c.tail), 11u);
    std::thread t3(sender, std::ref(c.tail), 12u), t4(receiver, std::ref(c.head), 12u);
    t1.join();
    t2.join();
    t3.join();
    t4.join();
    EXPECT_EQ(0, failures.load());
}

TEST(SdtNetLink, ReplayedFrameIsRefused) {
    // A frame captured on the wire and played twice to the tail.
    flrtest::LinkPair l(true);
    ASSERT_TRUE(l.ok());
    send(l.head, 5, "transfer 100");
    char frame[256];
    const ssize_t n = ::recv(l.headWire, frame, sizeof frame, 0);
    ASSERT_GT(n, 0);
    ASSERT_EQ(n, ::write(l.tailWire, frame, static_cast<size_t>(n)));
    ASSERT_EQ(n, ::write(l.tailWire, frame, static_cast<size_t>(n)));
    expectMessage(l.tail, 5, "transfer 100");
    SdtLinkPacket p;
    SdtError e = recvMs(l.tail, &p, 1000);
    EXPECT_EQ(SdtError::kProtocol, e.code());
    EXPECT_NE(std::string::npos, e.text().find("was expected")) << e.text();
}

TEST(SdtNetLink, ShortTimeoutDoesNotCutAFrameInHalf) {
    flrtest::LinkPair l(true);
    ASSERT_TRUE(l.ok());
    SdtNetLink& sender = l.head;
    SdtNetLink& receiver = l.tail;
    const std::string msg = pattern(5000, 9);
    send(sender, 6, msg);
    std::string frame(8192, '\0');
    const ssize_t n = ::recv(l.headWire, frame.data(), frame.size(), 0);
    ASSERT_GT(n, 100);
    ASSERT_EQ(100, ::write(l.tailWire, frame.data(), 100));  // header and a little
    SdtLinkPacket p;
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ::write(l.tailWire, frame.data() + 100, static_cast<size_t>(n) - 100);
    });
    SdtError e = recvMs(receiver, &p, 0);
    late.join();
    ASSERT_TRUE(e.ok()) << e.text();
    EXPECT_EQ(msg, std::string(p.payload, static_cast<size_t>(p.payloadLen)));
}

TEST(SdtNetLink, GarbageStreamsNeverCrashAndAlwaysEndInAnError) {
    std::mt19937 rng(7);
    for (int round = 0; round < flrtest::scaled(200); ++round) {
        flrtest::LinkPair pair(true);
        ASSERT_TRUE(pair.ok());
        SdtNetLink& l = pair.tail;
        SdtBuffer buf(16);
        l.setRecvBuffer(&buf);
        l.setMaxPayload(1 << 20);
        std::string junk = pattern(rng() % 300, static_cast<unsigned>(round));
        if (round % 2 && junk.size() >= 28) {
            // A header that passes its own check makes the decoder go deeper:
            // small lengths, counter 0, random flags.
            auto* h = reinterpret_cast<uint8_t*>(junk.data());
            h[0] = 1;
            h[1] = static_cast<uint8_t>(rng() % 8);
            h[2] = h[3] = 0;
            for (int i = 8; i < 24; ++i) h[i] = 0;
            h[11] = static_cast<uint8_t>(rng() % 200);
            h[15] = static_cast<uint8_t>(rng() % 220);
            const uint32_t crc = ~jx_crc32(0xffffffffu, h, 24);
            for (int i = 0; i < 4; ++i) h[24 + i] = static_cast<uint8_t>(crc >> (24 - 8 * i));
        }
        ASSERT_EQ(static_cast<ssize_t>(junk.size()),
                  ::write(pair.tailWire, junk.data(), junk.size()));
        ::shutdown(pair.tailWire, SHUT_WR);
        SdtLinkPacket p;
        SdtError e = recvMs(l, &p, 2000);
        EXPECT_FALSE(e.ok());
    }
}

namespace {

// The tail's side of a listener: the first connection becomes the session,
// later ones are handed to acceptJoin.
struct TailAcceptor {
    Listener listener;
    SdtNetLink tail;
    SdtBuffer buf;
    std::atomic<int> joins{0};
    std::atomic<int> joinFailures{0};
    SdtError opened;
    std::string lastJoinError;
    std::thread thread;
    std::atomic<bool> stop{false};

    explicit TailAcceptor(int extraExpected) {
        tail.setRecvBuffer(&buf);
        tail.setSecret(kNetLinkSecret);
        thread = std::thread([this, extraExpected] {
            const int first = listener.accept();
            opened = tail.setSocket(first, true);
            while (joins + joinFailures < extraExpected && !stop) {
                const int s = listener.accept();
                SdtError e;
                const int r = SdtNetLink::acceptJoin(s, &e, 5000);
                if (r == 1) {
                    ++joins;
                } else {
                    lastJoinError = e.text();
                    ++joinFailures;
                    ::close(s);
                }
            }
        });
    }
    ~TailAcceptor() {
        if (thread.joinable()) thread.join();
    }
};

}  // namespace

TEST(SdtNetLink, ExtraSocketsDeliverAHundredThousandMessagesInOrder) {
    TailAcceptor acc(3);
    SdtNetLink head;
    SdtBuffer headBuf;
    head.setRecvBuffer(&headBuf);
    head.setSecret(kNetLinkSecret);
    ASSERT_TRUE(head.setSocket(acc.listener.connect(), false).ok());
    SdtError e = head.fatten(3);
    ASSERT_TRUE(e.ok()) << e.text();
    acc.thread.join();
    ASSERT_TRUE(acc.opened.ok()) << acc.opened.text();
    EXPECT_EQ(3, acc.joins.load());
    EXPECT_EQ(3, head.extraSocketCount());
    EXPECT_EQ(SdtError::kInvalidArgs, acc.tail.fatten(1).code());  // the head's job

    constexpr int kCount = 100000;
    std::atomic<int> bad{0};
    std::thread receiver([&] {
        for (int i = 0; i < kCount; ++i) {
            SdtLinkPacket p;
            SdtError r = acc.tail.recvMsgPacketMs(&p, 20000);
            if (!r.ok() || p.payloadLen != 8 || p.msgType != static_cast<uint32_t>(i % 38)) {
                ++bad;
                if (!r.ok()) break;
                continue;
            }
            long long v;
            std::memcpy(&v, p.payload, 8);
            if (v != i) ++bad;
        }
    });
    for (long long i = 0; i < kCount; ++i) {
        if (i == kCount / 2) head.enableCRC32(true);
        ASSERT_TRUE(head.sendMessage(static_cast<int>(i % 38), &i, 8, 20, false).ok());
    }
    receiver.join();
    EXPECT_EQ(0, bad.load());
    EXPECT_EQ(3, acc.tail.extraSocketCount());
    // Replies still flow tail to head.
    send(acc.tail, 14, "reply");
    expectMessage(head, 14, "reply");
}

TEST(SdtNetLink, JoinsForUnknownSessionsOrWithoutProofAreRefused) {
    TailAcceptor acc(1);
    SdtNetLink head;
    head.setSecret(kNetLinkSecret);
    head.setHandshakeTimeout(5000);
    ASSERT_TRUE(head.setSocket(acc.listener.connect(), false).ok());
    // Wait for the tail side to finish its handshake, then end its session.
    for (int i = 0; i < 500 && !acc.tail.isConnected(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    acc.tail.closeSocket();
    SdtError e = head.fatten(1);
    EXPECT_EQ(SdtError::kAuthFailed, e.code()) << e.text();
    EXPECT_NE(std::string::npos, e.text().find("does not know the session")) << e.text();
    acc.thread.join();
    EXPECT_EQ(1, acc.joinFailures.load());
    EXPECT_NE(std::string::npos, acc.lastJoinError.find("no live session")) << acc.lastJoinError;

    // A join naming a live session but without the secret's proof.
    {
        Connected c;
        const std::string sid = c.tail.getSessionId();
        std::string hello("FLRL\2\0\0\1\0\0\0\4", 12);
        hello += std::string(32, 'n');
        for (size_t i = 0; i < 16; ++i)
            hello += static_cast<char>(std::stoi(sid.substr(2 * i, 2), nullptr, 16));
        TcpPair raw = tcpPair(c.listener);
        ASSERT_EQ(60, ::write(raw.head, hello.data(), hello.size()));
        std::thread forger([&] {
            char challenge[36];
            if (::recv(raw.head, challenge, sizeof challenge, MSG_WAITALL) == 36)
                ::write(raw.head, std::string(32, 'p').data(), 32);
        });
        SdtError fe;
        EXPECT_EQ(-1, SdtNetLink::acceptJoin(raw.tail, &fe, 5000));
        forger.join();
        EXPECT_NE(std::string::npos, fe.text().find("did not prove knowledge")) << fe.text();
        ::close(raw.head);
        ::close(raw.tail);
    }

    // A plain hello is left untouched for setSocket.
    Listener l;
    SdtNetLink h2, t2;
    h2.setSecret(kNetLinkSecret);
    t2.setSecret(kNetLinkSecret);
    TcpPair p = tcpPair(l);
    SdtError he;
    std::thread th([&] { he = h2.setSocket(p.head, false); });
    SdtError je;
    EXPECT_EQ(0, SdtNetLink::acceptJoin(p.tail, &je, 5000));
    SdtError te = t2.setSocket(p.tail, true);
    th.join();
    EXPECT_TRUE(te.ok()) << te.text();
    EXPECT_TRUE(he.ok()) << he.text();
}

// sendMessages makes each message its own frame, as sendMessage does, in
// every framing mode: small frames gathered into one write, larger ones
// (and those past a write's worth) alone; the byte counters agree, and the
// receiver sees each whole frame waiting in its read-ahead.
TEST(SdtNetLink, BatchedSendsDeliverEveryFrameAsSingleSendsDo) {
    Connected c;
    const std::string text = compressible(30000, 5);
    const std::vector<std::string> payloads = {"",
                                               "a",
                                               pattern(100, 1),
                                               text.substr(0, 16384),
                                               pattern(16385, 2),
                                               text,
                                               pattern(200000, 3),
                                               "z"};
    struct Mode {
        int level;
        int enc;
        bool crc;
    };
    const Mode modes[] = {{0, 0, false}, {3, 0, false}, {0, 1, true}, {1, 1, true}};
    int type = 500;
    for (const Mode& m : modes) {
        ASSERT_TRUE(c.head.setCompression(m.level).ok());
        ASSERT_TRUE(c.head.setEncryption(m.enc).ok());
        ASSERT_TRUE(c.head.enableCRC32(m.crc).ok());
        std::vector<SdtOutMessage> batch;
        for (size_t i = 0; i < payloads.size(); ++i)
            batch.push_back({type + static_cast<int>(i), payloads[i].data(),
                             static_cast<int>(payloads[i].size())});
        // Enough small frames to need more than one gathered write.
        const std::string small = pattern(9000, 7);
        for (int i = 0; i < 40; ++i) batch.push_back({type + 100, small.data(), 9000});
        const long long before = c.head.wireBytesSent();
        std::thread sender([&] {
            const SdtError e =
                c.head.sendMessages(batch.data(), static_cast<int>(batch.size()), 10);
            EXPECT_TRUE(e.ok()) << e.text();
        });
        long long frames = 0;
        for (size_t i = 0; i < payloads.size(); ++i) {
            long long size = 0;
            expectMessage(c.tail, type + static_cast<int>(i), payloads[i], &size);
            frames += size;
        }
        for (int i = 0; i < 40; ++i) {
            long long size = 0;
            expectMessage(c.tail, type + 100, small, &size);
            frames += size;
        }
        sender.join();
        EXPECT_EQ(frames, c.head.wireBytesSent() - before);
        EXPECT_FALSE(c.tail.frameWaiting());
        type += 200;
    }
    // Two small frames in one write: the second waits whole once the first
    // is taken.
    const SdtOutMessage pair[] = {{1, "a", 1}, {2, "b", 1}};
    ASSERT_TRUE(c.head.sendMessages(pair, 2, 10).ok());
    expectMessage(c.tail, 1, "a");
    EXPECT_TRUE(c.tail.frameWaiting());
    expectMessage(c.tail, 2, "b");
    // A bad message refuses the whole batch before anything is sent.
    const SdtOutMessage bad[] = {{3, "c", 1}, {4, nullptr, 5}};
    EXPECT_EQ(SdtError::kInvalidArgs, c.head.sendMessages(bad, 2, 10).code());
    send(c.head, 5, "d");
    expectMessage(c.tail, 5, "d");
}
