#pragma once
// Head and tail over real TCP for the tests: a private registry holding the
// link secret, a listening tail that accepts sessions (and the extra sockets
// of their heads) in the background, and a byte-flipping proxy.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FLR/JxException.h"
#include "net/FlrNetHead.h"
#include "net/FlrNetTail.h"
#include "platform/JXPlatformInfo.h"
#include "support/TestSupport.h"

namespace flrnettest {

// The text of the JxException fn throws; "no exception" when none.
inline std::string errorOf(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const JxException& e) {
        return e.getMessage();
    }
    return "no exception";
}

inline FlrNetMessage ping(int value) {
    FlrNetMessage m(FLR_NET_PING);
    m.ping.value = value;
    return m;
}

constexpr char kSecret[] = "net test link secret, thirty-two bytes or more";

// A private registry with the link secret; engines read it when built, so
// make this before them.
class NetRegistry : public flrtest::ScopedRegistry {
  public:
    NetRegistry() { set("sLinkSecret", kSecret); }
    void set(const std::string& key, const std::string& value) {
        EXPECT_EQ(0, JXPlatformInfo::setString("ZRP", key, value));
    }
};

// A listening TCP socket on addr with an ephemeral port (or the one given).
class Listener {
  public:
    explicit Listener(const char* addr = "127.0.0.1", int port = 0) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        ::inet_pton(AF_INET, addr, &a.sin_addr);
        a.sin_port = htons(static_cast<uint16_t>(port));
        EXPECT_EQ(0, ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a));
        EXPECT_EQ(0, ::listen(fd_, 64));
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~Listener() { close(); }
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    int port() const { return port_; }
    int fd() const { return fd_; }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    // -1 when nothing arrived within timeoutMs.
    int accept(int timeoutMs) const {
        struct pollfd p {
            fd_, POLLIN, 0
        };
        if (::poll(&p, 1, timeoutMs) <= 0) return -1;
        return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
    }

  private:
    int fd_ = -1;
    int port_ = 0;
};

// A connected loopback socket to port.
inline int connectTo(int port, const char* addr = "127.0.0.1") {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, addr, &a.sin_addr);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(s);
        return -1;
    }
    return s;
}

// Accepts in the background as a tail service does: extra sockets join their
// session, every other socket becomes a new FlrNetTail.
class TailServer {
  public:
    explicit TailServer(const char* addr = "127.0.0.1", int recvBufSize = 262144)
        : listener_(addr), recvBufSize_(recvBufSize) {
        thread_ = std::thread([this] { run(); });
    }
    ~TailServer() {
        stop_ = true;
        thread_.join();
    }
    TailServer(const TailServer&) = delete;
    TailServer& operator=(const TailServer&) = delete;

    int port() const { return listener_.port(); }

    // The i-th attached session; fails the test when none came in time.
    FlrNetTail& tail(size_t i = 0, int timeoutMs = 20000) {
        std::unique_lock<std::mutex> lock(mtx_);
        cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return tails_.size() > i; });
        if (tails_.size() <= i) throw std::runtime_error("no tail session " + std::to_string(i));
        return *tails_[i];
    }
    // Texts of sessions that failed to attach.
    std::vector<std::string> errors(int waitMs = 0) {
        std::unique_lock<std::mutex> lock(mtx_);
        cv_.wait_for(lock, std::chrono::milliseconds(waitMs), [&] { return !errors_.empty(); });
        return errors_;
    }
    // The next tail gets this secret instead of the registry's.
    void useSecret(const std::string& s) {
        std::lock_guard<std::mutex> lock(mtx_);
        secret_ = s;
    }

  private:
    void run() {
        while (!stop_) {
            const int fd = listener_.accept(50);
            if (fd < 0) continue;
            SdtError err;
            const int joined = SdtNetLink::acceptJoin(fd, &err, 5000);
            if (joined == 1) continue;
            if (joined < 0) {
                ::close(fd);
                continue;
            }
            auto t = std::make_unique<FlrNetTail>();
            {
                std::lock_guard<std::mutex> lock(mtx_);
                if (!secret_.empty()) t->getLink().setSecret(secret_);
            }
            try {
                t->setSocket(fd, recvBufSize_);
            } catch (const JxException& e) {
                ::close(fd);
                std::lock_guard<std::mutex> lock(mtx_);
                errors_.push_back(e.getMessage());
                cv_.notify_all();
                continue;
            }
            std::lock_guard<std::mutex> lock(mtx_);
            tails_.push_back(std::move(t));
            cv_.notify_all();
        }
    }

    Listener listener_;
    int recvBufSize_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex mtx_;
    std::condition_variable cv_;
    std::vector<std::unique_ptr<FlrNetTail>> tails_;
    std::vector<std::string> errors_;
    std::string secret_;
};

// A head connected to a tail over loopback through the public connect().
struct Connected {
    NetRegistry registry;
    TailServer server;
    FlrNetHead head;
    FlrNetTail* tail = nullptr;

    Connected() {
        head.connect("127.0.0.1", server.port(), 0);
        tail = &server.tail();
    }
};

// Forwards one connection to target, flipping the byte at flipAt (counted
// from the first byte the client sends) on its way to the target.
class FlipProxy {
  public:
    FlipProxy(int targetPort, long long flipAt) : target_(targetPort), flipAt_(flipAt) {
        thread_ = std::thread([this] { run(); });
    }
    ~FlipProxy() {
        stop_ = true;
        thread_.join();
    }
    int port() const { return listener_.port(); }
    bool flipped() const { return flipped_; }

  private:
    void run() {
        int client = -1;
        while (!stop_ && client < 0) client = listener_.accept(50);
        if (client < 0) return;
        const int server = connectTo(target_);
        std::vector<char> buf(65536);
        long long forwarded = 0;
        struct pollfd p[2] = {{client, POLLIN, 0}, {server, POLLIN, 0}};
        while (!stop_) {
            if (::poll(p, 2, 50) <= 0) continue;
            if (p[0].revents) {
                const ssize_t n = ::recv(client, buf.data(), buf.size(), 0);
                if (n <= 0) break;
                if (flipAt_ >= forwarded && flipAt_ < forwarded + n) {
                    buf[static_cast<size_t>(flipAt_ - forwarded)] ^= 0x20;
                    flipped_ = true;
                }
                forwarded += n;
                if (::send(server, buf.data(), static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
            }
            if (p[1].revents) {
                const ssize_t n = ::recv(server, buf.data(), buf.size(), 0);
                if (n <= 0) break;
                if (::send(client, buf.data(), static_cast<size_t>(n), MSG_NOSIGNAL) != n) break;
            }
        }
        ::close(client);
        ::close(server);
    }

    Listener listener_;
    int target_;
    long long flipAt_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> flipped_{false};
    std::thread thread_;
};

// Receives the next message, failing the test on anything but a message.
inline FlrNetMessage recvOne(FlrNetBase& net, int timeout = 20) {
    FlrNetMessage m;
    const int rc = net.recvMessage(&m, timeout);
    EXPECT_EQ(0, rc) << "recvMessage";
    return m;
}

}  // namespace flrnettest
