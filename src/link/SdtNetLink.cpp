#include "SdtNetLink.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <vector>

#include "FLR/JxException.h"
#include "SdtLinkImpl.h"
#include "platform/EvDebug.h"
#include "platform/JxFile.h"

using namespace sdt;

// --- SdtBuffer ----------------------------------------------------------------

SdtBuffer::SdtBuffer(int size) {
    if (size > 0) reserve(static_cast<size_t>(size));
}

SdtBuffer::~SdtBuffer() {
    std::free(data_);
}

void SdtBuffer::reserve(size_t n) {
    if (n <= capacity_) return;
    constexpr size_t kStep = 64 * 1024;
    const size_t cap = (n + kStep - 1) / kStep * kStep;
    void* p = std::malloc(cap);
    if (!p) throw std::bad_alloc();
    std::free(data_);
    data_ = static_cast<char*>(p);
    capacity_ = cap;
}

// --- state --------------------------------------------------------------------

namespace {

std::string hex(const uint8_t* p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

}  // namespace

void SdtNetLink::Impl::applyOptions(int sock) const {
    // A peer that stops reading or vanishes must not hold a sender forever:
    // unacknowledged data and dead peers end the connection. Not TCP (a
    // socketpair): these fail harmlessly.
    const int on = 1, idleS = 60, intervalS = 10, probes = 6;
    ::setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(sock, IPPROTO_TCP, TCP_KEEPIDLE, &idleS, sizeof idleS);
    ::setsockopt(sock, IPPROTO_TCP, TCP_KEEPINTVL, &intervalS, sizeof intervalS);
    ::setsockopt(sock, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes);
    const int userTimeoutMs = sendStallMs.load();
    if (userTimeoutMs > 0)
        ::setsockopt(sock, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
    const int nd = nodelay.load();
    if (nd >= 0) ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &nd, sizeof nd);
    const int snd = sndBuf.load();
    if (snd > 0) ::setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &snd, sizeof snd);
    const int rcv = rcvBuf.load();
    if (rcv > 0) ::setsockopt(sock, SOL_SOCKET, SO_RCVBUF, &rcv, sizeof rcv);
}

void SdtNetLink::Impl::shutdownAll() {
    std::lock_guard<std::mutex> lock(connMtx);
    for (int s : allFds) ::shutdown(s, SHUT_RDWR);
}

// A broken receive direction stays broken: the frame stream has lost its
// place, so nothing after it could be trusted. The sockets are shut down so
// the peer learns at once.
SdtError SdtNetLink::Impl::failRx(int code, const std::string& text) {
    rxBroken = SdtError(code, text);
    if (code != SdtError::kPeerClosed)
        EvDebug::Error("SdtNetLink::recvMsgPacket", "%s", text.c_str());
    shutdownAll();
    return rxBroken;
}

SdtError SdtNetLink::Impl::failTx(int code, const std::string& text) {
    txBroken = SdtError(code, text);
    EvDebug::Error("SdtNetLink::sendMessage", "%s", text.c_str());
    shutdownAll();
    return txBroken;
}

void SdtNetLink::Impl::install(int sock, bool asServer, bool integrity, int flags,
                               const SessionKeys& keys, const uint8_t sess[kSessionIdLen],
                               std::string peerName) {
    std::lock_guard<std::mutex> rl(rxMtx);
    std::lock_guard<std::mutex> tl(txMtx);
    std::lock_guard<std::mutex> cl(connMtx);
    server = asServer;
    integrityOnly = integrity;
    savedFlags = flags;
    peer = std::move(peerName);
    std::memcpy(session, sess, kSessionIdLen);
    std::memcpy(joinKey, keys.join, kKeyLen);
    allFds.assign(1, sock);
    joined.clear();
    txFds.assign(1, sock);
    rx.clear();
    rx.emplace_back(sock);
    txCounter = txBase = rxCounter = rxBase = 0;
    txBroken = rxBroken = SdtError();
    txGcm.setKey(asServer ? keys.tailToHead : keys.headToTail);
    rxGcm.setKey(asServer ? keys.headToTail : keys.tailToHead);
    extras = 0;
    fd = sock;
    applyOptions(sock);
}

// Callers hold rxMtx, txMtx and connMtx.
void SdtNetLink::Impl::resetLocked() {
    allFds.clear();
    joined.clear();
    txFds.clear();
    rx.clear();
    txGcm.clearKey();
    rxGcm.clearKey();
    wipe(joinKey, sizeof joinKey);
    std::memset(session, 0, sizeof session);
    txBroken = rxBroken = SdtError();
    extras = 0;
    fd = -1;
    savedFlags = -1;
    integrityOnly = false;
}

// --- SdtNetLink: connection ---------------------------------------------------

SdtNetLink::SdtNetLink() : impl_(std::make_unique<Impl>()) {}

SdtNetLink::~SdtNetLink() {
    closeSocket();
}

bool SdtNetLink::isConnected() const {
    return impl_->fd.load() >= 0;
}

bool SdtNetLink::peerHungUp() const {
    std::lock_guard<std::mutex> lock(impl_->connMtx);
    const int fd = impl_->fd.load();
    if (fd < 0) return true;
    struct pollfd p {
        fd, POLLRDHUP, 0
    };
    return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

std::string SdtNetLink::getSessionId() const {
    std::lock_guard<std::mutex> lock(impl_->connMtx);
    if (impl_->fd.load() < 0) return {};
    return hex(impl_->session, kSessionIdLen);
}

long long SdtNetLink::wireBytesSent() const {
    return impl_->txWireBytes.load(std::memory_order_relaxed);
}

long long SdtNetLink::wireBytesReceived() const {
    return impl_->rxWireBytes.load(std::memory_order_relaxed);
}

int SdtNetLink::extraSocketCount() const {
    return impl_->extras.load();
}

void SdtNetLink::setSecret(const std::string& secret) {
    std::lock_guard<std::mutex> lock(impl_->secretMtx);
    wipe(impl_->secretOverride.data(), impl_->secretOverride.size());
    impl_->secretOverride = secret;
}

void SdtNetLink::inheritSecret(const SdtNetLink& other) {
    if (&other == this) return;
    std::string copy;
    {
        std::lock_guard<std::mutex> lock(other.impl_->secretMtx);
        copy = other.impl_->secretOverride;
    }
    setSecret(copy);
    wipe(copy.data(), copy.size());
    // The same peer, the same trust: the integrity-only offer goes along.
    integrityOnly_.store(other.integrityOnly_.load(std::memory_order_relaxed),
                         std::memory_order_relaxed);
}

namespace {

// Slows down an address whose earlier proofs failed, before the tail says
// anything to it; abort descriptors still interrupt the wait.
bool sitOutFailedProofs(const std::string& address, const AbortList& aborts) {
    const int delay = proofDelayMs(address);
    if (delay <= 0) return true;
    Waiter w(delay, &aborts);
    return w.wait(-1, 0).io != Io::Aborted;  // poll ignores fd -1: only aborts or the delay
}

}  // namespace

SdtError SdtNetLink::checkSecret() const {
    std::string secret;
    SdtError err;
    std::lock_guard<std::mutex> lock(impl_->secretMtx);
    if (loadLinkSecret(impl_->secretOverride, &secret, &err)) wipe(secret.data(), secret.size());
    return err;
}

SdtError SdtNetLink::setSocket(int fd, bool server) {
    static const char* const kFn = "SdtNetLink::setSocket";
    if (isConnected()) closeSocket();
    if (fd < 0) return {};
    std::string secret;
    SdtError err;
    {
        std::lock_guard<std::mutex> lock(impl_->secretMtx);
        if (!loadLinkSecret(impl_->secretOverride, &secret, &err)) {
            EvDebug::Error(kFn, "%s", err.text().c_str());
            return err;
        }
    }
    const int wantOpt = integrityOnly_.load(std::memory_order_relaxed);
    const bool wantIntegrityOnly = wantOpt < 0 ? integrityOnlyRequested() : wantOpt == 1;
    const int flags = makeNonBlocking(fd);
    if (flags < 0) {
        wipe(secret.data(), secret.size());
        return SdtError(SdtError::kFailure, "Couldn't make socket " + std::to_string(fd) +
                                                " non-blocking: " + jxErrnoText(errno));
    }
    const std::string peer = peerNameOf(fd);
    const std::string address = peerAddressOf(fd);
    if (server && !sitOutFailedProofs(address, impl_->aborts)) {
        wipe(secret.data(), secret.size());
        restoreFlags(fd, flags);
        return SdtError(SdtError::kAborted,
                        "Aborted while delaying " + peer + " after its earlier failed link proofs");
    }
    Waiter w(handshakeTimeoutMs_.load(), &impl_->aborts);
    OpenResult res;
    err = openSession(fd, server, secret, wantIntegrityOnly, w, peer, &res);
    wipe(secret.data(), secret.size());
    if (server && (err.ok() || res.proofRefused)) noteProof(address, err.ok());
    if (!err.ok()) {
        restoreFlags(fd, flags);
        EvDebug::Error(kFn, "%s", err.text().c_str());
        return err;
    }
    impl_->install(fd, server, res.integrityOnly, flags, res.keys, res.session, peer);
    peerVersion_ = res.peer.version;
    if (res.replyPending) {
        registerSession(res.session, impl_.get());
        const IoStatus st = writeAll(fd, res.finalReply, kReplyLen, w);
        if (st.io != Io::Ok) {
            stealSocket();
            err = ioError(st, peer, "sending the link proof");
            EvDebug::Error(kFn, "%s", err.text().c_str());
            return err;
        }
    }
    EvDebug::Debug(kFn, "Link with %s authenticated as %s (peer protocol version %u, %s)",
                   peer.c_str(), server ? "tail" : "head", res.peer.version,
                   res.integrityOnly ? "integrity only" : "sealed");
    return {};
}

bool SdtNetLink::isIntegrityOnly() const {
    std::lock_guard<std::mutex> lock(impl_->connMtx);
    return impl_->integrityOnly;
}

namespace {

// The folders of a key file that do not exist yet, made from the top down,
// each 0700: a key's folder is nobody else's business. A folder that exists
// keeps its mode (its owner's choice: /etc stays 0755).
SdtError makeMissingFolders(const std::string& path) {
    const std::string parent = jx::parentDir(path);
    if (parent == path || parent == "." || parent == "/") return {};
    struct stat st {};
    if (jx::fileOps().stat(parent.c_str(), &st) == 0) return {};
    if (errno != ENOENT)
        return SdtError(SdtError::kFailure,
                        "Couldn't examine folder " + parent + ": " + jxErrnoText(errno));
    if (SdtError e = makeMissingFolders(parent); !e.ok()) return e;
    if (jx::fileOps().mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST)
        return SdtError(SdtError::kFailure,
                        "Couldn't create folder " + parent + ": " + jxErrnoText(errno));
    return {};
}

}  // namespace

SdtError SdtNetLink::writeNewSecretFile(const std::string& path) {
    if (path.empty()) return SdtError(SdtError::kInvalidArgs, "No key file path given");
    if (SdtError e = makeMissingFolders(path); !e.ok()) return e;
    return writeSecretFile(path);
}

SdtError SdtNetLink::newSecret(std::string* out) {
    return newSecretText(out);
}

#ifdef FLR_LINK_FUZZ_HOOK
SdtError SdtNetLink::attachForFuzzing(int fd, bool server, const std::string& secret) {
    if (isConnected()) closeSocket();
    if (fd < 0 || secret.empty())
        return SdtError(SdtError::kInvalidArgs, "A socket and a secret are needed");
    const int flags = makeNonBlocking(fd);
    if (flags < 0) return SdtError(SdtError::kFailure, "Couldn't make the socket non-blocking");
    const uint8_t zeros[kNonceLen] = {};
    SessionKeys keys;
    if (!deriveKeys(secret, zeros, zeros, &keys))
        return SdtError(SdtError::kFailure, "Key derivation failed");
    impl_->install(fd, server, false, flags, keys, zeros, "fuzz peer");
    impl_->fuzzUnauthenticated = true;
    peerVersion_ = kProtocolVersion;
    return {};
}
#endif

namespace {
std::atomic<uint32_t> advertisedOverride{0};
}  // namespace

uint32_t SdtNetLink::advertisedVersion() {
    const uint32_t v = advertisedOverride.load(std::memory_order_relaxed);
    return v ? v : kProtocolVersion;
}

void SdtNetLink::setAdvertisedVersionForTests(uint32_t version) {
    advertisedOverride.store(version, std::memory_order_relaxed);
}

SdtError SdtNetLink::closeSocket() {
    unregisterSession(impl_.get());
    // Wake a thread blocked in a send or receive before taking its lock.
    impl_->shutdownAll();
    std::lock_guard<std::mutex> rl(impl_->rxMtx);
    std::lock_guard<std::mutex> tl(impl_->txMtx);
    std::lock_guard<std::mutex> cl(impl_->connMtx);
    SdtError result;
    for (int s : impl_->allFds)
        if (::close(s) != 0 && errno != EINTR && result.ok())
            result = SdtError(SdtError::kFailure, "Failed to close socket: " + jxErrnoText(errno));
    for (int s : impl_->joined)
        if (s >= 0 &&
            std::find(impl_->allFds.begin(), impl_->allFds.end(), s) == impl_->allFds.end())
            ::close(s);
    impl_->resetLocked();
    peerVersion_ = 0;
    return result;
}

int SdtNetLink::stealSocket() {
    unregisterSession(impl_.get());
    std::lock_guard<std::mutex> rl(impl_->rxMtx);
    std::lock_guard<std::mutex> tl(impl_->txMtx);
    std::lock_guard<std::mutex> cl(impl_->connMtx);
    const int primary = impl_->fd.load();
    if (primary < 0) return -1;
    for (size_t i = 1; i < impl_->allFds.size(); ++i) ::close(impl_->allFds[i]);
    for (int s : impl_->joined)
        if (s >= 0 &&
            std::find(impl_->allFds.begin(), impl_->allFds.end(), s) == impl_->allFds.end())
            ::close(s);
    restoreFlags(primary, impl_->savedFlags);
    impl_->resetLocked();
    peerVersion_ = 0;
    return primary;
}

// --- options -------------------------------------------------------------------

void SdtNetLink::setRecvBuffer(SdtBuffer* buf) {
    impl_->recvBuffer.store(buf);
}

void SdtNetLink::addAbortFd(int fd) {
    if (!impl_->aborts.add(fd))
        EvDebug::Error("SdtNetLink::addAbortFd", "Too many abort descriptors; %d not watched", fd);
}

void SdtNetLink::removeAbortFd(int fd) {
    impl_->aborts.remove(fd);
}

SdtError SdtNetLink::setCompression(int level) {
    if (level < 0 || level > maxCompressionLevel())
        return SdtError(SdtError::kInvalidArgs,
                        jxFormat("Compression level %d is out of range (0 to %d)", level,
                                 maxCompressionLevel()));
    impl_->compression = level;
    return {};
}

SdtError SdtNetLink::setEncryption(int mode) {
    if (mode != 0 && mode != 1)
        return SdtError(
            SdtError::kInvalidArgs,
            jxFormat("Encryption mode %d is not supported (0 off, 1 AES-256-GCM)", mode));
    impl_->encrypt = mode == 1;
    return {};
}

SdtError SdtNetLink::enableCRC32(bool on) {
    impl_->crc = on;
    return {};
}

namespace {

SdtError setOnAll(SdtNetLink::Impl& impl, int level, int name, int value, const char* what) {
    std::lock_guard<std::mutex> lock(impl.connMtx);
    if (impl.allFds.empty()) return {};
    for (int s : impl.allFds)
        if (::setsockopt(s, level, name, &value, sizeof value) != 0)
            return SdtError(SdtError::kFailure,
                            std::string("Couldn't set ") + what + ": " + jxErrnoText(errno));
    return {};
}

}  // namespace

SdtError SdtNetLink::nagleOff() {
    impl_->nodelay = 1;
    return setOnAll(*impl_, IPPROTO_TCP, TCP_NODELAY, 1, "TCP_NODELAY");
}

bool SdtNetLink::isNagleOff() const {
    return impl_->nodelay.load() == 1;
}

SdtError SdtNetLink::nagleOn() {
    impl_->nodelay = 0;
    return setOnAll(*impl_, IPPROTO_TCP, TCP_NODELAY, 0, "TCP_NODELAY");
}

void SdtNetLink::setSendStallLimit(int ms) {
    impl_->sendStallMs = ms;
}

SdtError SdtNetLink::setSendBufSize(int bytes) {
    if (bytes <= 0) return SdtError(SdtError::kInvalidArgs, "Socket buffer size must be positive");
    impl_->sndBuf = bytes;
    return setOnAll(*impl_, SOL_SOCKET, SO_SNDBUF, bytes, "the socket send buffer size");
}

SdtError SdtNetLink::setRecvBufSize(int bytes) {
    if (bytes <= 0) return SdtError(SdtError::kInvalidArgs, "Socket buffer size must be positive");
    impl_->rcvBuf = bytes;
    return setOnAll(*impl_, SOL_SOCKET, SO_RCVBUF, bytes, "the socket receive buffer size");
}
