// Who gets to authenticate with a tail under a flood of idle connections:
// neighbouring addresses share their prefix's slots, the oldest idle
// connection gives way to a new one, and an allow-list closes the door to
// everyone else.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "FLR/FlrTailService.h"
#include "FLR/JxException.h"
#include "apply/FlrTailBookkeeper.h"
#include "net/FlrNetHead.h"
#include "platform/JXPlatformInfo.h"
#include "service/FlrTailAdmission.h"
#include "support/TestSupport.h"

namespace admission_test {

using Clock = std::chrono::steady_clock;

struct Registry : flrtest::ScopedRegistry {
    Registry() {
        JXPlatformInfo::setString("ZRP", "sLinkSecret", "admission test secret, 32 bytes or more");
    }
};

struct Served {
    FlrTailBookkeeper keeper;
    FlrTailService service;
    std::thread runner;
    explicit Served(const std::vector<std::string>& allow = {})
        : service(keeper.handler(), FlrTailLimits{}) {
        service.setAllowList(allow);
        service.listen("127.0.0.1", "0");
        runner = std::thread([this] { service.run(); });
    }
    ~Served() {
        service.stop();
        runner.join();
    }
};

int dialFrom(const std::string& from, int port) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{}, b{};
    a.sin_family = b.sin_family = AF_INET;
    ::inet_pton(AF_INET, from.c_str(), &a.sin_addr);
    ::inet_pton(AF_INET, "127.0.0.1", &b.sin_addr);
    b.sin_port = htons(static_cast<uint16_t>(port));
    if (s >= 0 && (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
                   ::connect(s, reinterpret_cast<sockaddr*>(&b), sizeof b) != 0)) {
        ::close(s);
        return -1;
    }
    return s;
}

bool closedByPeer(int fd) {
    char c;
    const ssize_t n = ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

// Keeps `total` idle connections open from 127.0.0.2..9, reopening each one
// the tail closes as soon as it notices.
class Flood {
  public:
    Flood(int port, int total) : fds_(static_cast<size_t>(total), -1) {
        thread_ = std::thread([this, port] {
            while (!stop_) {
                for (size_t i = 0; i < fds_.size(); ++i) {
                    if (fds_[i] >= 0 && !closedByPeer(fds_[i])) continue;
                    if (fds_[i] >= 0) ::close(fds_[i]);
                    fds_[i] = dialFrom("127.0.0." + std::to_string(2 + i % 8), port);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            for (int fd : fds_)
                if (fd >= 0) ::close(fd);
        });
    }
    ~Flood() {
        stop_ = true;
        thread_.join();
    }

  private:
    std::vector<int> fds_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Authenticates and pings; empty when that worked.
std::string ping(int port) {
    try {
        FlrNetHead head;
        head.connect("127.0.0.1", port, 0);
        head.ping();
        return "";
    } catch (const JxException& e) {
        return e.getMessage();
    }
}

// Tries until one ping works or `seconds` passed.
std::string pingWithin(int port, double seconds) {
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    std::string last = "no attempt";
    while (Clock::now() < until) {
        last = ping(port);
        if (last.empty()) return "";
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return last;
}

TEST(FlrTailAdmission, AFloodOfIdleConnectionsCannotKeepAnHonestHeadOut) {
    Registry registry;
    Served s;
    const int port = s.service.localPort();
    Flood flood(port, 64);
    // Let the flood take every slot it can.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (int round = 0; round < 3; ++round) {
        const auto t0 = Clock::now();
        EXPECT_EQ("", pingWithin(port, 3.0)) << "round " << round;
        EXPECT_LT(std::chrono::duration<double>(Clock::now() - t0).count(), 3.0);
    }
    const FlrTailStats st = s.service.stats();
    EXPECT_GT(st.evicted, 0);
    EXPECT_LE(st.pending, 64 + 8);  // counted ones plus evicted ones still ending
}

// A head whose handshake is slow (a loaded or instrumented host) has spoken;
// the idle flood from its own prefix gives way before it does.
TEST(FlrTailAdmission, AHeadThatHasSpokenOutlastsIdleConnectionsOfItsPrefix) {
    Registry registry;
    Served s;
    const int port = s.service.localPort();
    const int slow = dialFrom("127.0.0.1", port);
    ASSERT_GE(slow, 0);
    ASSERT_EQ(1, ::send(slow, "S", 1, MSG_NOSIGNAL));  // the first byte of a hello
    {
        Flood flood(port, 64);
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        EXPECT_GT(s.service.stats().evicted, 8) << "the flood churned";
        EXPECT_FALSE(closedByPeer(slow)) << "the speaking connection was cut for idle ones";
    }
    // A connection that hangs up halfway through its first record is let go
    // at once, not kept until its handshake deadline.
    ::close(slow);
    const auto until = Clock::now() + std::chrono::seconds(3);
    while (s.service.stats().threads > 0 && Clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(0, s.service.stats().threads);
}

TEST(FlrTailAdmission, AnAllowListAdmitsOnlyTheHeadsItNames) {
    Registry registry;
    {
        Served s({"127.0.0.1/32"});
        const int port = s.service.localPort();
        const int stranger = dialFrom("127.0.0.2", port);
        ASSERT_GE(stranger, 0);
        pollfd p{stranger, POLLIN, 0};
        EXPECT_EQ(1, ::poll(&p, 1, 5000)) << "a stranger's connection stays open";
        EXPECT_TRUE(closedByPeer(stranger));
        ::close(stranger);
        EXPECT_EQ("", ping(port));
        EXPECT_GE(s.service.stats().refused, 1);
    }
    {
        Served s({"10.0.0.0/8, ::1", "192.168.1.7"});
        EXPECT_NE("", ping(s.service.localPort())) << "127.0.0.1 is in none of them";
    }
    {
        Served s({"127.0.0.0/25"});
        EXPECT_EQ("", ping(s.service.localPort()));
    }
    FlrTailBookkeeper keeper;
    FlrTailService service(keeper.handler());
    for (const char* bad : {"tailhost", "10.0.0.0/33", "::1/129", "1.2.3.4/x", "1.2.3"})
        EXPECT_THROW(service.setAllowList({bad}), std::invalid_argument) << bad;
}

sockaddr_storage peerAt(const char* text) {
    sockaddr_storage a{};
    if (std::string(text).find(':') == std::string::npos) {
        auto& in = reinterpret_cast<sockaddr_in&>(a);
        in.sin_family = AF_INET;
        EXPECT_EQ(1, ::inet_pton(AF_INET, text, &in.sin_addr)) << text;
    } else {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(a);
        in6.sin6_family = AF_INET6;
        EXPECT_EQ(1, ::inet_pton(AF_INET6, text, &in6.sin6_addr)) << text;
    }
    return a;
}

// Neighbours share one key: eight IPv6 addresses of one /64 cost an
// attacker nothing, so they count as one peer.
TEST(FlrTailAdmission, NeighboursShareTheirPrefixAndTheAllowListMatchesByBits) {
    const struct {
        const char* peer;
        const char* prefix;
    } prefixes[] = {
        {"127.0.0.2", "127.0.0.0/24"},
        {"127.0.0.9", "127.0.0.0/24"},
        {"10.1.2.3", "10.1.2.0/24"},
        {"::ffff:10.1.2.200", "10.1.2.0/24"},
        {"2001:db8:1:2::1", "2001:db8:1:2::/64"},
        {"2001:db8:1:2:ffff:1:2:3", "2001:db8:1:2::/64"},
        {"::1", "::/64"},
    };
    for (const auto& c : prefixes)
        EXPECT_EQ(c.prefix, FlrTailAdmission::prefixOf(peerAt(c.peer))) << c.peer;

    FlrTailAdmission a;
    a.allowList("10.0.0.0/9, 2001:db8::/32 192.168.1.7");
    const struct {
        const char* peer;
        bool allowed;
    } peers[] = {
        {"10.127.255.255", true}, {"10.128.0.0", false},        {"::ffff:10.1.1.1", true},
        {"192.168.1.7", true},    {"192.168.1.8", false},       {"2001:db8:ffff::1", true},
        {"2001:db9::1", false},   {"::ffff:192.168.1.7", true},
    };
    for (const auto& c : peers) EXPECT_EQ(c.allowed, a.allows(peerAt(c.peer))) << c.peer;
    EXPECT_TRUE(FlrTailAdmission().allows(peerAt("203.0.113.5")));  // no list: anyone
}

}  // namespace admission_test
