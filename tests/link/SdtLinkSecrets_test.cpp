// Secrets and the sockets around the handshake: short secrets, new key files,
// the registry's mode for inline secrets, slowing down failed proofs, send
// stalls against a peer that stopped reading, and the join answer's socket.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "link/SdtNetLink.h"
#include "platform/JXPlatformInfo.h"
#include "support/LinkPair.h"
#include "support/TestSupport.h"

// Internal to the library (src/link/SdtLinkImpl.h): runs between a
// join's attachment to its session and the answer.
extern void (*joinAttachedHook)(int fd);

namespace {

using Clock = std::chrono::steady_clock;

int fileMode(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
}

size_t entriesIn(const std::string& dir) {
    size_t n = 0;
    if (DIR* d = ::opendir(dir.c_str())) {
        while (struct dirent* e = ::readdir(d))
            if (e->d_name[0] != '.') ++n;
        ::closedir(d);
    }
    return n;
}

long long millisSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

}  // namespace

TEST(SdtLinkSecrets, ShortSecretsAreRefusedWithoutShowingThem) {
    flrtest::ScopedRegistry reg;
    flrtest::TempDir dir;
    const std::string shortSecret = "only twenty-six bytes long";
    const std::string file = dir.file("short.key");
    flrtest::writeFile(file, shortSecret + "\n");
    ASSERT_EQ(0, ::chmod(file.c_str(), 0600));
    struct Case {
        const char* name;
        const char* key;  // registry key, or null for setSecret
        std::string value;
    };
    const Case cases[] = {{"setSecret", nullptr, shortSecret},
                          {"key file", "sLinkSecretFile", file},
                          {"registry", "sLinkSecret", shortSecret}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        JXPlatformInfo::deleteValue("ZRP", "sLinkSecretFile");
        JXPlatformInfo::deleteValue("ZRP", "sLinkSecret");
        SdtNetLink link;
        if (c.key)
            ASSERT_EQ(0, JXPlatformInfo::setString("ZRP", c.key, c.value));
        else
            link.setSecret(c.value);
        int sp[2];
        ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, sp));
        SdtError e = link.setSocket(sp[0], false);
        EXPECT_EQ(SdtError::kAuthFailed, e.code());
        EXPECT_NE(std::string::npos, e.text().find("at least 32")) << e.text();
        EXPECT_EQ(std::string::npos, e.text().find(shortSecret)) << e.text();
        char b;
        EXPECT_EQ(-1, ::recv(sp[1], &b, 1, MSG_DONTWAIT));  // nothing was sent
        ::close(sp[0]);
        ::close(sp[1]);
    }
}

TEST(SdtLinkSecrets, NewKeyFileIsPrivateUsableAndNeverReplaced) {
    flrtest::ScopedRegistry reg;
    flrtest::TempDir dir;
    const std::string key = dir.file("link.key");
    SdtError e = SdtNetLink::writeNewSecretFile(key);
    ASSERT_TRUE(e.ok()) << e.text();
    EXPECT_EQ(0600, fileMode(key));
    const std::string content = flrtest::readFile(key);
    ASSERT_EQ(65u, content.size());
    EXPECT_EQ(std::string::npos, content.substr(0, 64).find_first_not_of("0123456789abcdef"));
    EXPECT_EQ(1u, entriesIn(dir.path()));  // no temporary file left behind

    e = SdtNetLink::writeNewSecretFile(key);
    EXPECT_FALSE(e.ok());
    EXPECT_NE(std::string::npos, e.text().find("already exists")) << e.text();
    EXPECT_EQ(content, flrtest::readFile(key));
    EXPECT_EQ(1u, entriesIn(dir.path()));

    // Two fresh files differ, and both ends of a link accept one.
    const std::string other = dir.file("other.key");
    ASSERT_TRUE(SdtNetLink::writeNewSecretFile(other).ok());
    EXPECT_NE(content, flrtest::readFile(other));
    ASSERT_EQ(0, JXPlatformInfo::setString("ZRP", "sLinkSecretFile", key));
    flrtest::LinkPair l(false, [](SdtNetLink& h, SdtNetLink& t) {
        h.setSecret("");
        t.setSecret("");
    });
    EXPECT_TRUE(l.ok()) << l.headErr.text() << l.tailErr.text();
}

TEST(SdtLinkSecrets, InlineSecretNeedsAPrivateRegistryFile) {
    flrtest::ScopedRegistry reg;
    ASSERT_EQ(0, JXPlatformInfo::setString("ZRP", "sLinkSecret", flrtest::kLinkSecret));
    const std::string path = JXPlatformInfo::getRegistryFile();
    struct Case {
        int mode;
        bool accepted;
    };
    const Case cases[] = {{0600, true}, {0640, true}, {0644, false}, {0620, false}, {0602, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode);
        ASSERT_EQ(0, ::chmod(path.c_str(), static_cast<mode_t>(c.mode)));
        flrtest::LinkPair l(false, [](SdtNetLink& h, SdtNetLink& t) {
            h.setSecret("");
            t.setSecret("");
        });
        EXPECT_EQ(c.accepted, l.ok());
        if (!c.accepted) {
            EXPECT_NE(std::string::npos, l.headErr.text().find("chmod 600")) << l.headErr.text();
            EXPECT_NE(std::string::npos, l.headErr.text().find(path));
            EXPECT_EQ(std::string::npos, l.headErr.text().find(flrtest::kLinkSecret));
        }
    }
}

// A key file someone else owns (who could read or change it whatever its
// mode) or that is not a regular file is refused at once, never waited on.
TEST(SdtLinkSecrets, KeyFilesThatAreNotTheCallersPrivateFileAreRefusedAtOnce) {
    flrtest::TempDir dir;
    const std::string owned = dir.file("other-users-key");
    flrtest::writeFile(owned, std::string(flrtest::kLinkSecret) + "\n");
    ASSERT_EQ(0, ::chmod(owned.c_str(), 0600));
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(0, ::chown(owned.c_str(), 65534, 65534));
    }
    const std::string fifo = dir.file("fifo-key");
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    struct Case {
        std::string path;
        const char* why;
    };
    const std::string mine = dir.file("my-key"), link = dir.file("link-key");
    flrtest::writeFile(mine, std::string(flrtest::kLinkSecret) + "\n");
    ASSERT_EQ(0, ::chmod(mine.c_str(), 0600));
    ASSERT_EQ(0, ::symlink(mine.c_str(), link.c_str()));
    std::vector<Case> cases = {{fifo, "is not a regular file"}, {link, "a symbolic link"}};
    if (root) cases.push_back({owned, "belongs to uid 65534, not to this user"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        flrtest::ScopedRegistry reg;
        ASSERT_EQ(0, JXPlatformInfo::setString("ZRP", "sLinkSecretFile", c.path));
        const Clock::time_point t0 = Clock::now();
        flrtest::LinkPair l(false, [](SdtNetLink& h, SdtNetLink& t) {
            h.setSecret("");
            t.setSecret("");
        });
        EXPECT_FALSE(l.ok());
        EXPECT_LT(millisSince(t0), 5000);
        EXPECT_NE(std::string::npos, l.headErr.text().find(c.why)) << l.headErr.text();
        EXPECT_EQ(std::string::npos, l.headErr.text().find(flrtest::kLinkSecret));
    }
}

TEST(SdtLinkSecrets, RepeatedWrongProofsFromOneAddressAreSlowedDown) {
    // Socketpairs all come from the one "local socket" address.
    std::vector<long long> tailMs;
    for (int attempt = 0; attempt < 4; ++attempt) {
        const auto start = Clock::now();
        flrtest::LinkPair l(false, [](SdtNetLink& h, SdtNetLink&) {
            h.setSecret("a wrong secret that is long enough to try");
        });
        EXPECT_EQ(SdtError::kAuthFailed, l.tailErr.code()) << l.tailErr.text();
        tailMs.push_back(millisSince(start));
    }
    // 100, 200 and 400 ms after the first, second and third failure (less
    // a little for the clock's rounding).
    EXPECT_GE(tailMs[1], 90);
    EXPECT_GE(tailMs[2], 190);
    EXPECT_GE(tailMs[3], 390);
    // A right proof (delayed once more) clears the address.
    {
        flrtest::LinkPair ok;
        EXPECT_TRUE(ok.ok());
    }
    const auto start = Clock::now();
    flrtest::LinkPair again(false, [](SdtNetLink& h, SdtNetLink&) {
        h.setSecret("a wrong secret that is long enough to try");
    });
    EXPECT_EQ(SdtError::kAuthFailed, again.tailErr.code());
    EXPECT_LT(millisSince(start), 390);
    {
        flrtest::LinkPair ok;
        EXPECT_TRUE(ok.ok());
    }
}

TEST(SdtLinkSecrets, SendToAPeerThatStoppedReadingFailsWithinTheStallLimit) {
    flrtest::LinkPair l(false, [](SdtNetLink& h, SdtNetLink&) { h.setSendStallLimit(500); });
    ASSERT_TRUE(l.ok());
    l.head.setSendBufSize(16384);
    l.tail.setRecvBufSize(16384);
    const std::string big(4u << 20, 'x');
    // The tail never reads. Without a limit the send would wait for ever.
    auto sent = std::async(std::launch::async, [&] {
        return l.head.sendMessage(3, big.data(), static_cast<int>(big.size()), -1, false);
    });
    if (sent.wait_for(std::chrono::seconds(30)) != std::future_status::ready) {
        l.head.closeSocket();
        FAIL() << "the send did not give up on a peer that stopped reading";
    }
    SdtError e = sent.get();
    EXPECT_EQ(SdtError::kConnReset, e.code()) << e.text();
    EXPECT_NE(std::string::npos, e.text().find("accepted no data")) << e.text();
}

TEST(SdtLinkSecrets, TcpLinkSocketsCarryKeepAliveAndUserTimeout) {
    const int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, ::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a));
    ASSERT_EQ(0, ::listen(lfd, 4));
    socklen_t len = sizeof a;
    ::getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
    const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(0, ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a));
    const int s = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
    SdtNetLink head, tail;
    head.setSecret(flrtest::kLinkSecret);
    tail.setSecret(flrtest::kLinkSecret);
    head.setSendStallLimit(7000);
    SdtError te;
    std::thread t([&] { te = tail.setSocket(s, true); });
    SdtError he = head.setSocket(c, false);
    t.join();
    ASSERT_TRUE(he.ok() && te.ok()) << he.text() << te.text();
    const int fd = head.stealSocket();
    int v = 0;
    len = sizeof v;
    ASSERT_EQ(0, ::getsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &v, &len));
    EXPECT_EQ(1, v);
    ASSERT_EQ(0, ::getsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &v, &len));
    EXPECT_EQ(7000, v);
    ::close(fd);
    ::close(lfd);
}

namespace {

// Closes the session the join was just handed to and puts another socket
// under the same descriptor number, as a busy process might.
int g_reused[2] = {-1, -1};
SdtNetLink* g_session = nullptr;

void closeSessionAndReuse(int fd) {
    g_session->closeSocket();
    ::dup2(g_reused[0], fd);
}

}  // namespace

TEST(SdtLinkSecrets, JoinAnswerNeverGoesToAReusedDescriptor) {
    const int lfd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, ::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a));
    ASSERT_EQ(0, ::listen(lfd, 4));
    socklen_t len = sizeof a;
    ::getsockname(lfd, reinterpret_cast<sockaddr*>(&a), &len);
    ASSERT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, g_reused));
    SdtNetLink head, tail;
    head.setSecret(flrtest::kLinkSecret);
    tail.setSecret(flrtest::kLinkSecret);
    head.setHandshakeTimeout(3000);
    g_session = &tail;
    int joinResult = 0, joinedFd = -1;
    SdtError opened;
    std::thread acceptor([&] {
        opened = tail.setSocket(::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC), true);
        joinedFd = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        joinAttachedHook = closeSessionAndReuse;
        SdtError e;
        joinResult = SdtNetLink::acceptJoin(joinedFd, &e, 5000);
        joinAttachedHook = nullptr;
    });
    const int c = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(0, ::connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a));
    ASSERT_TRUE(head.setSocket(c, false).ok());
    head.fatten(1);  // the session went away meanwhile: either outcome is fine
    acceptor.join();
    ASSERT_TRUE(opened.ok()) << opened.text();
    EXPECT_EQ(1, joinResult);
    // The socket now under the old number received nothing meant for the peer.
    char buf[64];
    EXPECT_EQ(-1, ::recv(g_reused[1], buf, sizeof buf, MSG_DONTWAIT));
    ::close(joinedFd);  // the reused descriptor
    ::close(g_reused[0]);
    ::close(g_reused[1]);
    ::close(lfd);
}
