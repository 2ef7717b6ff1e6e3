// Extra sockets (docs/protocol.md, "Extra sockets"): the head connects them
// with fatten(); the tail's listener hands them to acceptJoin(), which finds
// their session in the registry of live tail links.
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "FLR/JxException.h"
#include "SdtLinkImpl.h"
#include "SdtNetLink.h"
#include "platform/EvDebug.h"

using namespace sdt;

namespace {

struct SessionRegistry {
    std::mutex mtx;
    std::map<std::string, SdtNetLink::Impl*> sessions;
};

SessionRegistry& joinRegistry() {
    static SessionRegistry r;
    return r;
}

std::string sessionKey(const uint8_t* s) {
    return std::string(reinterpret_cast<const char*>(s), kSessionIdLen);
}

void closeAll(std::vector<int>& fds) {
    for (int s : fds) ::close(s);
    fds.clear();
}

// Non-blocking connect bounded by the waiter; the socket stays non-blocking.
SdtError connectTo(const struct sockaddr_storage& addr, socklen_t len, Waiter& w,
                   const std::string& peer, int* out) {
    const int s = ::socket(addr.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0)
        return SdtError(SdtError::kFailure, "Couldn't create a socket: " + jxErrnoText(errno));
    *out = s;
    if (::connect(s, reinterpret_cast<const struct sockaddr*>(&addr), len) == 0) return {};
    if (errno != EINPROGRESS)
        return SdtError(SdtError::kConnReset,
                        "Couldn't connect to " + peer + ": " + jxErrnoText(errno));
    const IoStatus st = w.wait(s, POLLOUT);
    if (st.io != Io::Ok) return ioError(st, peer, "connecting an extra socket");
    int soErr = 0;
    socklen_t soLen = sizeof soErr;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &soErr, &soLen) != 0) soErr = errno;
    if (soErr != 0)
        return SdtError(SdtError::kConnReset,
                        "Couldn't connect to " + peer + ": " + jxErrnoText(soErr));
    return {};
}

void reply(int fd, uint32_t status, const uint8_t* body, Waiter& w) {
    uint8_t r[kReplyLen];
    encodeReply(status, body, r);
    writeAll(fd, r, kReplyLen, w);
}

}  // namespace

void (*joinAttachedHook)(int fd) = nullptr;

void registerSession(const uint8_t session[kSessionIdLen], SdtNetLink::Impl* impl) {
    auto& reg = joinRegistry();
    std::lock_guard<std::mutex> lock(reg.mtx);
    reg.sessions[sessionKey(session)] = impl;
}

void unregisterSession(SdtNetLink::Impl* impl) {
    auto& reg = joinRegistry();
    std::lock_guard<std::mutex> lock(reg.mtx);
    for (auto it = reg.sessions.begin(); it != reg.sessions.end();) {
        if (it->second == impl)
            it = reg.sessions.erase(it);
        else
            ++it;
    }
}

SdtError SdtNetLink::fatten(int n) {
    static const char* const kFn = "SdtNetLink::fatten";
    if (n < 0) return SdtError(SdtError::kInvalidArgs, "Invalid number of extra sockets");
    if (n == 0) return {};
    Impl& im = *impl_;
    std::lock_guard<std::mutex> tl(im.txMtx);
    if (im.txFds.empty()) return SdtError(SdtError::kInvalidArgs, "The link is not connected");
    if (im.server)
        return SdtError(SdtError::kInvalidArgs,
                        "Extra sockets are opened by the head; the tail accepts them");
    if (!im.txBroken.ok()) return im.txBroken;
    const size_t have = im.txFds.size();
    if (have - 1 + static_cast<size_t>(n) > static_cast<size_t>(kMaxExtraSockets))
        return SdtError(SdtError::kInvalidArgs,
                        jxFormat("At most %d extra sockets are allowed", kMaxExtraSockets));

    struct sockaddr_storage addr {};
    socklen_t addrLen = sizeof addr;
    if (::getpeername(im.txFds[0], reinterpret_cast<struct sockaddr*>(&addr), &addrLen) != 0)
        return SdtError(SdtError::kFailure,
                        "Couldn't get the peer's address: " + jxErrnoText(errno));
    uint8_t session[kSessionIdLen];
    uint8_t joinKey[kKeyLen];
    {
        std::lock_guard<std::mutex> cl(im.connMtx);
        std::memcpy(session, im.session, kSessionIdLen);
        std::memcpy(joinKey, im.joinKey, kKeyLen);
    }
    std::vector<int> fresh;
    SdtError e;
    for (int i = 0; i < n && e.ok(); ++i) {
        const auto index = static_cast<uint16_t>(have + static_cast<size_t>(i));
        Waiter w(handshakeTimeoutMs_.load(), &im.aborts);
        int s = -1;
        e = connectTo(addr, addrLen, w, im.peer, &s);
        if (s >= 0) fresh.push_back(s);
        if (e.ok()) {
            im.applyOptions(s);
            e = joinAsHead(s, index, session, joinKey, w, im.peer);
        }
        if (!e.ok())
            e = SdtError(e.code(),
                         jxFormat("Couldn't add extra socket %d of %d: ", i + 1, n) + e.text());
    }
    wipe(joinKey, sizeof joinKey);
    if (e.ok()) {
        // Announced on the current layout; the new one starts with the next frame.
        uint8_t payload[4];
        jx::storeBE32(payload, static_cast<uint32_t>(have + fresh.size()));
        e = im.sendFrame(kKindControl, kCtlSpread, payload, sizeof payload,
                         handshakeTimeoutMs_.load());
    }
    if (!e.ok()) {
        closeAll(fresh);
        EvDebug::Error(kFn, "%s", e.text().c_str());
        return e;
    }
    {
        std::lock_guard<std::mutex> cl(im.connMtx);
        im.allFds.insert(im.allFds.end(), fresh.begin(), fresh.end());
    }
    im.txFds.insert(im.txFds.end(), fresh.begin(), fresh.end());
    im.txBase = im.txCounter;
    im.extras = static_cast<int>(im.txFds.size() - 1);
    EvDebug::Debug(kFn, "Link with %s now uses %d extra sockets", im.peer.c_str(),
                   im.extras.load());
    return {};
}

namespace {

// Finds the session a join names, with the socket slot still free, and copies
// its join key.
bool lookupJoin(const uint8_t session[kSessionIdLen], uint16_t index, uint8_t joinKey[kKeyLen]) {
    auto& reg = joinRegistry();
    std::lock_guard<std::mutex> lock(reg.mtx);
    auto it = reg.sessions.find(sessionKey(session));
    if (it == reg.sessions.end()) return false;
    SdtNetLink::Impl& im = *it->second;
    std::lock_guard<std::mutex> cl(im.connMtx);
    if (index <= im.joined.size() && im.joined[index - 1] >= 0) return false;
    std::memcpy(joinKey, im.joinKey, kKeyLen);
    return true;
}

// Gives the socket to its session, unless the session went away or the slot
// was taken meanwhile.
bool attach(const uint8_t session[kSessionIdLen], uint16_t index, int fd) {
    auto& reg = joinRegistry();
    std::lock_guard<std::mutex> lock(reg.mtx);
    auto it = reg.sessions.find(sessionKey(session));
    if (it == reg.sessions.end()) return false;
    SdtNetLink::Impl& im = *it->second;
    std::lock_guard<std::mutex> cl(im.connMtx);
    if (im.joined.size() < index) im.joined.resize(index, -1);
    if (im.joined[index - 1] >= 0) return false;
    im.joined[index - 1] = fd;
    im.allFds.push_back(fd);
    im.applyOptions(fd);
    return true;
}

}  // namespace

int SdtNetLink::acceptJoin(int fd, SdtError* err, int timeoutMs) {
    static const char* const kFn = "SdtNetLink::acceptJoin";
    SdtError local;
    SdtError& e = err ? *err : local;
    e = SdtError();
    if (fd < 0) {
        e = SdtError(SdtError::kInvalidArgs, "Invalid socket");
        return -1;
    }
    const int flags = makeNonBlocking(fd);
    if (flags < 0) {
        e = SdtError(SdtError::kFailure,
                     "Couldn't make the socket non-blocking: " + jxErrnoText(errno));
        return -1;
    }
    const std::string peer = peerNameOf(fd);
    Waiter w(timeoutMs, nullptr);
    uint8_t bytes[kHelloLen];
    IoStatus s = peekExact(fd, bytes, kHelloLen, w);
    if (s.io != Io::Ok) {
        restoreFlags(fd, flags);
        e = ioError(s, peer, "waiting for the first record of an accepted connection");
        return -1;
    }
    Hello hello;
    if (decodeHello(bytes, &hello) != nullptr || hello.kind != kHelloJoin) {
        restoreFlags(fd, flags);  // a new session: setSocket() reads the hello
        return 0;
    }
    readExact(fd, bytes, kHelloLen, w);
    auto refuse = [&](uint32_t status, const std::string& why) {
        reply(fd, status, nullptr, w);
        restoreFlags(fd, flags);
        e = SdtError(SdtError::kAuthFailed, "Extra connection from " + peer + " refused: " + why);
        EvDebug::Error(kFn, "%s", e.text().c_str());
        return -1;
    };
    uint8_t joinKey[kKeyLen];
    if (hello.role != kRoleHead || hello.index == 0 || hello.index > kMaxExtraSockets)
        return refuse(kReplyRefused, "malformed join request");
    if (!lookupJoin(hello.session, hello.index, joinKey))
        return refuse(kReplyUnknownSession, "no live session with that id and a free slot");
    uint8_t tailNonce[kNonceLen];
    uint8_t headProof[kMacLen], tailProof[kMacLen], got[kMacLen];
    const bool macsOk = randomBytes(tailNonce, kNonceLen) &&
                        joinProof(joinKey, kRoleHead, hello.session, hello.index, hello.nonce,
                                  tailNonce, headProof) &&
                        joinProof(joinKey, kRoleTail, hello.session, hello.index, hello.nonce,
                                  tailNonce, tailProof);
    wipe(joinKey, sizeof joinKey);
    if (!macsOk) return refuse(kReplyRefused, "internal cryptography failure");
    reply(fd, kReplyOk, tailNonce, w);
    s = readExact(fd, got, kMacLen, w);
    if (s.io != Io::Ok) {
        restoreFlags(fd, flags);
        e = ioError(s, peer, "waiting for the join proof");
        return -1;
    }
    if (!sameBytes(got, headProof, kMacLen))
        return refuse(kReplyRefused, "the peer did not prove knowledge of the link secret");
    // Once attached, the session owns fd and may close it at any moment (and
    // the number be reused), so the answer goes out through a descriptor of
    // our own for the same socket.
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0) {
        restoreFlags(fd, flags);
        e = SdtError(SdtError::kFailure,
                     "Couldn't duplicate an accepted socket: " + jxErrnoText(errno));
        return -1;
    }
    if (!attach(hello.session, hello.index, fd)) {
        ::close(own);
        return refuse(kReplyUnknownSession, "the session ended or the socket slot is taken");
    }
    if (joinAttachedHook) joinAttachedHook(fd);
    // A failed answer shows up on the session's links.
    reply(own, kReplyOk, tailProof, w);
    ::close(own);
    EvDebug::Debug(kFn, "Extra socket %u from %s joined its session", hello.index, peer.c_str());
    return 1;
}
