#include "JxFwClient.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "FLR/JxException.h"
#include "platform/EvDebug.h"
#include "platform/JXPlatformInfo.h"

namespace {

constexpr int kLookupFailed = -1;

bool parsePort(const std::string& text, int* port) {
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < 1 || v > 65535) return false;
    *port = static_cast<int>(v);
    return true;
}

std::string registryKeyFor(const std::string& service) {
    // "nFlrTailPort" is a key already; "FlrTail" becomes "nFlrTailPort".
    if (service.size() > 1 && service[0] == 'n' && service[1] >= 'A' && service[1] <= 'Z')
        return service;
    return "n" + service + "Port";
}

// 1 found, 0 absent, -1 present but not a port (text set).
int readPort(const std::string& section, const std::string& key, int* port, std::string* bad) {
    std::string value;
    if (!JXPlatformInfo::getString(section, key, value)) return 0;
    if (parsePort(value, port)) return 1;
    *bad = "[" + section + "] " + key + " = \"" + value + "\" is not a port number";
    return -1;
}

}  // namespace

CQiError CJxNetwork::LookupRegisteredPorts(const char* host, const char* service, bool /*refresh*/,
                                           PortRecord* rec, void* /*reserved*/, int /*timeoutSec*/,
                                           bool* fromHostEntry) {
    if (!host || !service || !*service || !rec)
        return CQiError(kLookupFailed, "Invalid arguments: host, service and record are needed");
    *rec = PortRecord{};
    if (fromHostEntry) *fromHostEntry = false;
    int port = 0;
    if (parsePort(service, &port)) {
        rec->kind = 4;
        rec->port = port;
        return CQiError(0);
    }
    const std::string key = registryKeyFor(service);
    const std::string sections[] = {std::string("Services/") + host, "Services"};
    for (int i = 0; i < 2; ++i) {
        std::string bad;
        const int r = readPort(sections[i], key, &port, &bad);
        if (r < 0) return CQiError(kLookupFailed, bad);
        if (r == 0) continue;
        rec->kind = i == 0 ? 1 : 3;
        rec->port = port;
        int port2 = 0;
        if (readPort(sections[i], key + "2", &port2, &bad) < 0) return CQiError(kLookupFailed, bad);
        rec->port2 = port2;
        if (fromHostEntry) *fromHostEntry = i == 0;
        return CQiError(0);
    }
    return CQiError(kLookupFailed, std::string("No port registered for service ") + service +
                                       " on " + host + " (registry key [Services] " + key + ")");
}

namespace {

using Clock = std::chrono::steady_clock;

// One address: non-blocking connect, bounded by the deadline. Returns the
// socket or -1 with *err = errno (ETIMEDOUT when the deadline passed).
int connectOne(const struct addrinfo* ai, int sendBuf, int recvBuf, Clock::time_point deadline,
               int* err) {
    const int s =
        ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (s < 0) {
        *err = errno;
        return -1;
    }
    // Before connecting, so that the window scale fits the buffers.
    if (sendBuf > 0) ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &sendBuf, sizeof sendBuf);
    if (recvBuf > 0) ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &recvBuf, sizeof recvBuf);
    if (::connect(s, ai->ai_addr, ai->ai_addrlen) == 0) return s;
    if (errno != EINPROGRESS) {
        *err = errno;
        ::close(s);
        return -1;
    }
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            *err = ETIMEDOUT;
            ::close(s);
            return -1;
        }
        struct pollfd p {
            s, POLLOUT, 0
        };
        const int r = ::poll(&p, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            *err = errno;
            ::close(s);
            return -1;
        }
        if (r == 0) continue;
        int soErr = 0;
        socklen_t len = sizeof soErr;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &soErr, &len) != 0) soErr = errno;
        if (soErr == 0) return s;
        *err = soErr;
        ::close(s);
        return -1;
    }
}

// Every address of host:port in turn; the text of the last failure in *why.
int connectPort(const char* host, int port, int sendBuf, int recvBuf, int timeoutSec,
                std::string* why) {
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    struct addrinfo* list = nullptr;
    const std::string portText = std::to_string(port);
    const int gai = ::getaddrinfo(host, portText.c_str(), &hints, &list);
    if (gai != 0) {
        *why = std::string("cannot resolve ") + host + ": " +
               (gai == EAI_SYSTEM ? jxErrnoText(errno) : std::string(gai_strerror(gai)));
        return -1;
    }
    const auto deadline = Clock::now() + std::chrono::seconds(timeoutSec < 0 ? 3600 : timeoutSec);
    int fd = -1;
    int err = 0;
    for (const struct addrinfo* ai = list; ai && fd < 0; ai = ai->ai_next)
        fd = connectOne(ai, sendBuf, recvBuf, deadline, &err);
    ::freeaddrinfo(list);
    if (fd < 0)
        *why = err == ETIMEDOUT ? "connection timed out after " + std::to_string(timeoutSec) + "s"
                                : jxErrnoText(err);
    return fd;
}

}  // namespace

int JxFwClient::connect(const char* host, int port, int port2, int sendBufSize, int recvBufSize,
                        Callback cb, void* context, bool keepNonBlocking, CQiError* err,
                        int timeoutSec) {
    static const char* const kFn = "JxFwClient::connect";
    if (!host || !*host || port <= 0 || port > 65535) {
        if (err)
            *err = CQiError(-1, jxFormat("Invalid connect arguments: host %s, port %d",
                                         host ? host : "(null)", port));
        return -1;
    }
    std::string why;
    int fd = -1;
    int usedPort = port;
    const int ports[] = {port, (port2 > 0 && port2 <= 65535 && port2 != port) ? port2 : 0};
    std::string texts;
    for (int p : ports) {
        if (p == 0) continue;
        if (cb) cb(context, host, p);
        fd = connectPort(host, p, sendBufSize, recvBufSize, timeoutSec, &why);
        if (fd >= 0) {
            usedPort = p;
            break;
        }
        if (!texts.empty()) texts += "; ";
        texts += jxFormat("%s:%d: %s", host, p, why.c_str());
    }
    if (fd < 0) {
        if (err) *err = CQiError(-1, "Couldn't connect to " + texts);
        // Not an error here: the caller gets the text and says what it means
        // (a service retrying a tail that is down warns once per attempt).
        EvDebug::Debug(kFn, "Couldn't connect to %s", texts.c_str());
        return -1;
    }
    if (!keepNonBlocking) {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    }
    if (err) *err = CQiError(0);
    EvDebug::DebugLvl(kFn, 2, "Connected to %s:%d", host, usedPort);
    return fd;
}
