#pragma once
// Two links, head and tail, joined by a real handshake over socketpairs.
// Tapped, the test sits on the wire: after the handshake `headWire` reads
// what the head sends (and writes to the head), `tailWire` writes to the tail
// (and reads what it sends), so a test can capture, alter, replay or forge
// frames byte for byte.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "link/SdtNetLink.h"

namespace flrtest {

inline constexpr char kLinkSecret[] = "test link secret: thirty-two bytes or more";
// Handshake bytes each way: head hello and proof; tail hello and answer.
inline constexpr size_t kHeadHandshakeBytes = 60 + 32;
inline constexpr size_t kTailHandshakeBytes = 60 + 36;

// Copies exactly n bytes (false on EOF, error or 10 s of silence).
inline bool copyExactly(int from, int to, size_t n) {
    char buf[256];
    while (n > 0) {
        struct pollfd p {
            from, POLLIN, 0
        };
        if (::poll(&p, 1, 10000) <= 0) return false;
        const ssize_t r = ::read(from, buf, n < sizeof buf ? n : sizeof buf);
        if (r <= 0) return false;
        if (::write(to, buf, static_cast<size_t>(r)) != r) return false;
        n -= static_cast<size_t>(r);
    }
    return true;
}

struct LinkPair {
    SdtNetLink head, tail;
    SdtBuffer headBuf{65536}, tailBuf{65536};
    int headWire = -1;
    int tailWire = -1;
    SdtError headErr, tailErr;

    // configure runs on both links before the handshake (secrets, options).
    explicit LinkPair(
        bool tapped = false,
        const std::function<void(SdtNetLink& head, SdtNetLink& tail)>& configure = {}) {
        head.setRecvBuffer(&headBuf);
        tail.setRecvBuffer(&tailBuf);
        head.setSecret(kLinkSecret);
        tail.setSecret(kLinkSecret);
        if (configure) configure(head, tail);
        int a[2], b[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, a) != 0) return;
        if (!tapped) {
            open(a[0], a[1]);
            return;
        }
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, b) != 0) return;
        headWire = a[1];
        tailWire = b[0];
        std::thread up([&] { copyExactly(headWire, tailWire, kHeadHandshakeBytes); });
        std::thread down([&] { copyExactly(tailWire, headWire, kTailHandshakeBytes); });
        open(a[0], b[1]);
        up.join();
        down.join();
    }
    ~LinkPair() {
        head.closeSocket();
        tail.closeSocket();
        if (headWire >= 0) ::close(headWire);
        if (tailWire >= 0) ::close(tailWire);
    }
    LinkPair(const LinkPair&) = delete;
    LinkPair& operator=(const LinkPair&) = delete;

    bool ok() const { return headErr.ok() && tailErr.ok(); }

  private:
    void open(int headFd, int tailFd) {
        std::thread t([&] { tailErr = tail.setSocket(tailFd, true); });
        headErr = head.setSocket(headFd, false);
        t.join();
        if (!headErr.ok()) ::close(headFd);
        if (!tailErr.ok()) ::close(tailFd);
    }
};

}  // namespace flrtest
