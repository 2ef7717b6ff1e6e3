// Service ports from the registry and connecting with a time-out.
#include "link/JxFwClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/JXPlatformInfo.h"
#include "support/TestSupport.h"

namespace {

// A listening loopback socket; port() is where it listens.
struct Listening {
    int fd = -1;
    int port = 0;
    Listening() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd, 4);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Listening() { ::close(fd); }
};

// A port nobody listens on: bound but not listening.
int deadPort(int* holder) {
    *holder = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(*holder, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(*holder, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

}  // namespace

TEST(CJxNetwork, LookupPrefersHostEntryThenServicesThenNumbers) {
    flrtest::ScopedRegistry reg;
    JXPlatformInfo::setString("Services", "nFlrTailPort", "7001");
    JXPlatformInfo::setString("Services", "nFlrTailPort2", "7002");
    JXPlatformInfo::setString("Services/tailhost", "nFlrTailPort", "7101");
    JXPlatformInfo::setString("Services", "nBrokenPort", "70000");
    CJxNetwork::PortRecord rec;
    bool fromHost = true;
    CQiError e = CJxNetwork::LookupRegisteredPorts("otherhost", "FlrTail", false, &rec, nullptr,
                                                   120, &fromHost);
    ASSERT_FALSE(e.IsError()) << e.GetMessage();
    EXPECT_EQ(3, rec.kind);
    EXPECT_EQ(7001, rec.port);
    EXPECT_EQ(7002, rec.port2);
    EXPECT_FALSE(fromHost);

    e = CJxNetwork::LookupRegisteredPorts("tailhost", "nFlrTailPort", false, &rec, nullptr, 120,
                                          &fromHost);
    ASSERT_FALSE(e.IsError());
    EXPECT_EQ(1, rec.kind);
    EXPECT_EQ(7101, rec.port);
    EXPECT_EQ(0, rec.port2);
    EXPECT_TRUE(fromHost);

    e = CJxNetwork::LookupRegisteredPorts("h", "8443", false, &rec, nullptr, 120, nullptr);
    ASSERT_FALSE(e.IsError());
    EXPECT_EQ(4, rec.kind);
    EXPECT_EQ(8443, rec.port);

    e = CJxNetwork::LookupRegisteredPorts("h", "Nothing", false, &rec, nullptr, 120, nullptr);
    EXPECT_TRUE(e.IsError());
    EXPECT_NE(std::string::npos, e.GetMessage().find("Nothing")) << e.GetMessage();
    EXPECT_NE(std::string::npos, e.GetMessage().find("on h")) << e.GetMessage();
    EXPECT_EQ(0, rec.kind);

    e = CJxNetwork::LookupRegisteredPorts("h", "Broken", false, &rec, nullptr, 120, nullptr);
    EXPECT_TRUE(e.IsError());
    EXPECT_NE(std::string::npos, e.GetMessage().find("not a port number")) << e.GetMessage();
}

TEST(JxFwClient, ConnectsFallsBackToSecondPortAndNamesHostAndPortOnFailure) {
    Listening l;
    CQiError err;
    int fd =
        JxFwClient::connect("127.0.0.1", l.port, 0, 262144, 262144, nullptr, nullptr, false, &err);
    ASSERT_GE(fd, 0) << err.GetMessage();
    EXPECT_EQ(0, ::fcntl(fd, F_GETFL) & O_NONBLOCK);
    ::close(fd);

    int holder = -1;
    const int dead = deadPort(&holder);
    std::vector<int> tried;
    auto cb = [](void* ctx, const char*, int port) {
        static_cast<std::vector<int>*>(ctx)->push_back(port);
    };
    fd = JxFwClient::connect("localhost", dead, l.port, 0, 0, cb, &tried, true, &err);
    ASSERT_GE(fd, 0) << err.GetMessage();
    EXPECT_NE(0, ::fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_EQ((std::vector<int>{dead, l.port}), tried);
    ::close(fd);

    fd = JxFwClient::connect("127.0.0.1", dead, 0, 0, 0, nullptr, nullptr, false, &err);
    EXPECT_EQ(-1, fd);
    EXPECT_TRUE(err.IsError());
    EXPECT_NE(std::string::npos, err.GetMessage().find("127.0.0.1:" + std::to_string(dead)))
        << err.GetMessage();
    EXPECT_NE(std::string::npos, err.GetMessage().find("refused")) << err.GetMessage();

    fd = JxFwClient::connect("no-such-host.invalid", 1234, 0, 0, 0, nullptr, nullptr, false, &err);
    EXPECT_EQ(-1, fd);
    EXPECT_NE(std::string::npos, err.GetMessage().find("no-such-host.invalid")) << err.GetMessage();
    ::close(holder);
}
