#include "SdtHandshake.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <mutex>

#include "FLR/JxException.h"
#include "platform/JXPlatformInfo.h"

namespace sdt {

namespace {

constexpr char kProofHead[] = "FLR link v4 head proof";
constexpr char kProofTail[] = "FLR link v4 tail proof";
constexpr char kJoinHead[] = "FLR link v4 head join";
constexpr char kJoinTail[] = "FLR link v4 tail join";

// HMAC over a fixed label and the given pieces, concatenated.
bool labelledMac(const uint8_t key[kKeyLen], const char* label, const uint8_t* a, size_t aLen,
                 const uint8_t* b, size_t bLen, uint8_t out[kMacLen]) {
    uint8_t msg[256];
    const size_t labelLen = std::strlen(label);
    if (labelLen + aLen + bLen > sizeof msg) return false;
    std::memcpy(msg, label, labelLen);
    std::memcpy(msg + labelLen, a, aLen);
    if (bLen) std::memcpy(msg + labelLen + aLen, b, bLen);
    const bool ok = hmacSha256(key, kKeyLen, msg, labelLen + aLen + bLen, out);
    wipe(msg, sizeof msg);
    return ok;
}

SdtError authFailure(const std::string& peer, const char* why) {
    return SdtError(SdtError::kAuthFailed, "Link authentication with " + peer + " failed: " + why);
}

}  // namespace

bool deriveKeys(const std::string& secret, const uint8_t headNonce[kNonceLen],
                const uint8_t tailNonce[kNonceLen], SessionKeys* keys) {
    uint8_t salt[2 * kNonceLen];
    std::memcpy(salt, headNonce, kNonceLen);
    std::memcpy(salt + kNonceLen, tailNonce, kNonceLen);
    const auto* ikm = reinterpret_cast<const uint8_t*>(secret.data());
    return hkdfSha256(salt, sizeof salt, ikm, secret.size(), "FLR link v4 auth", keys->auth,
                      kKeyLen) &&
           hkdfSha256(salt, sizeof salt, ikm, secret.size(), "FLR link v4 join", keys->join,
                      kKeyLen) &&
           hkdfSha256(salt, sizeof salt, ikm, secret.size(), "FLR link v4 head to tail",
                      keys->headToTail, kKeyLen) &&
           hkdfSha256(salt, sizeof salt, ikm, secret.size(), "FLR link v4 tail to head",
                      keys->tailToHead, kKeyLen);
}

SdtError ioError(const IoStatus& s, const std::string& peer, const char* what) {
    const std::string where = std::string(what) + " (peer " + peer + ")";
    switch (s.io) {
        case Io::Ok:
            return {};
        case Io::Eof:
            return SdtError(SdtError::kPeerClosed, "Connection closed by the peer while " + where);
        case Io::Timeout:
            return SdtError(SdtError::kTimeout, "Timed out while " + where);
        case Io::Aborted:
            return SdtError(SdtError::kAborted, "Aborted while " + where);
        case Io::Error:
            break;
    }
    const int code = (s.err == ECONNRESET || s.err == EPIPE || s.err == ENOTCONN ||
                      s.err == ETIMEDOUT || s.err == EHOSTUNREACH || s.err == ENETUNREACH)
                         ? SdtError::kConnReset
                         : SdtError::kFailure;
    return SdtError(code, "Failed while " + where + ": " + jxErrnoText(s.err));
}

namespace {

// Recent failed proofs per address, bounded; an entry is forgotten after
// kForgetAfter without failures or when its address proves the secret.
struct ProofThrottle {
    static constexpr size_t kMaxEntries = 1024;
    static constexpr int kBaseDelayMs = 100;
    static constexpr int kMaxDelayMs = 2000;
    static constexpr std::chrono::minutes kForgetAfter{10};
    struct Entry {
        int failures = 0;
        std::chrono::steady_clock::time_point last;
    };
    std::mutex mtx;
    std::map<std::string, Entry> entries;

    void dropStale(std::chrono::steady_clock::time_point now) {
        for (auto it = entries.begin(); it != entries.end();)
            it = now - it->second.last > kForgetAfter ? entries.erase(it) : std::next(it);
    }
    void dropOldest() {
        auto oldest = entries.begin();
        for (auto it = entries.begin(); it != entries.end(); ++it)
            if (it->second.last < oldest->second.last) oldest = it;
        if (oldest != entries.end()) entries.erase(oldest);
    }
};

ProofThrottle& throttle() {
    static ProofThrottle t;
    return t;
}

}  // namespace

int proofDelayMs(const std::string& address) {
    ProofThrottle& t = throttle();
    std::lock_guard<std::mutex> lock(t.mtx);
    auto it = t.entries.find(address);
    if (it == t.entries.end()) return 0;
    if (std::chrono::steady_clock::now() - it->second.last > ProofThrottle::kForgetAfter) {
        t.entries.erase(it);
        return 0;
    }
    const int doublings = std::min(it->second.failures - 1, 16);
    return std::min(ProofThrottle::kMaxDelayMs, ProofThrottle::kBaseDelayMs << doublings);
}

void noteProof(const std::string& address, bool ok) {
    ProofThrottle& t = throttle();
    std::lock_guard<std::mutex> lock(t.mtx);
    if (ok) {
        t.entries.erase(address);
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (t.entries.size() >= ProofThrottle::kMaxEntries && !t.entries.count(address)) {
        t.dropStale(now);
        if (t.entries.size() >= ProofThrottle::kMaxEntries) t.dropOldest();
    }
    ProofThrottle::Entry& e = t.entries[address];
    e.failures = std::min(e.failures + 1, 1 << 20);
    e.last = now;
}

std::string peerAddressOf(int fd) {
    const std::string name = peerNameOf(fd);
    if (name.empty() || name[0] == '[') return name.substr(0, name.find(']') + 1);
    const size_t colon = name.rfind(':');
    return colon == std::string::npos ? name : name.substr(0, colon);
}

std::string peerNameOf(int fd) {
    struct sockaddr_storage ss {};
    socklen_t len = sizeof ss;
    if (::getpeername(fd, reinterpret_cast<struct sockaddr*>(&ss), &len) != 0) return "?";
    char host[INET6_ADDRSTRLEN] = "?";
    int port = 0;
    if (ss.ss_family == AF_INET) {
        auto* a = reinterpret_cast<struct sockaddr_in*>(&ss);
        ::inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
        port = ntohs(a->sin_port);
    } else if (ss.ss_family == AF_INET6) {
        auto* a = reinterpret_cast<struct sockaddr_in6*>(&ss);
        ::inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
        std::string text = "[";
        text += host;
        text += "]:";
        text += std::to_string(ntohs(a->sin6_port));
        return text;
    } else if (ss.ss_family == AF_UNIX) {
        return "local socket";
    }
    return std::string(host) + ":" + std::to_string(port);
}

SdtError openSession(int fd, bool server, const std::string& secret, bool wantIntegrityOnly,
                     Waiter& w, const std::string& peer, OpenResult* out) {
    Hello mine;
    mine.kind = kHelloOpen;
    mine.role = server ? kRoleTail : kRoleHead;
    mine.index = wantIntegrityOnly ? kOptIntegrityOnly : 0;
    mine.version = SdtNetLink::advertisedVersion();
    if (!randomBytes(mine.nonce, kNonceLen) ||
        (server && !randomBytes(mine.session, kSessionIdLen)))
        return SdtError(SdtError::kFailure, "The random number generator failed");
    uint8_t transcript[2 * kHelloLen];
    uint8_t* myBytes = transcript + (server ? kHelloLen : 0);
    uint8_t* peerBytes = transcript + (server ? 0 : kHelloLen);
    encodeHello(mine, myBytes);
    IoStatus s = writeAll(fd, myBytes, kHelloLen, w);
    if (s.io != Io::Ok) return ioError(s, peer, "sending the link hello");
    s = readExact(fd, peerBytes, kHelloLen, w);
    if (s.io != Io::Ok) return ioError(s, peer, "waiting for the peer's link hello");
    Hello& theirs = out->peer;
    if (const char* bad = decodeHello(peerBytes, &theirs))
        return SdtError(SdtError::kProtocol, "Handshake with " + peer + " failed: " + bad);
    if (theirs.kind == kHelloJoin)
        return SdtError(SdtError::kProtocol,
                        "Handshake with " + peer +
                            " failed: the peer asked to join a session; accepted sockets must "
                            "go through SdtNetLink::acceptJoin first");
    if (theirs.role == mine.role)
        return SdtError(
            SdtError::kProtocol,
            "Handshake with " + peer + " failed: both ends act as " + (server ? "tail" : "head"));
    // Both hellos are in the proved transcript, so nobody on the path can
    // talk the ends into integrity only.
    out->integrityOnly = wantIntegrityOnly && (theirs.index & kOptIntegrityOnly);
    const Hello& head = server ? theirs : mine;
    const Hello& tail = server ? mine : theirs;
    std::memcpy(out->session, tail.session, kSessionIdLen);
    if (!deriveKeys(secret, head.nonce, tail.nonce, &out->keys))
        return SdtError(SdtError::kFailure, "Key derivation failed");

    uint8_t headProof[kMacLen], tailProof[kMacLen];
    if (!labelledMac(out->keys.auth, kProofHead, transcript, sizeof transcript, nullptr, 0,
                     headProof) ||
        !labelledMac(out->keys.auth, kProofTail, transcript, sizeof transcript, nullptr, 0,
                     tailProof))
        return SdtError(SdtError::kFailure, "HMAC computation failed");

    // The head proves first; the tail answers with its own proof only to a
    // head that knows the secret, so an unauthenticated peer learns nothing.
    uint8_t reply[kReplyLen];
    if (server) {
        uint8_t got[kMacLen];
        s = readExact(fd, got, kMacLen, w);
        if (s.io != Io::Ok) return ioError(s, peer, "waiting for the peer's proof");
        if (!sameBytes(got, headProof, kMacLen)) {
            out->proofRefused = true;
            encodeReply(kReplyRefused, nullptr, reply);
            writeAll(fd, reply, kReplyLen, w);
            return authFailure(peer, "the peer did not prove knowledge of the link secret");
        }
        encodeReply(kReplyOk, tailProof, out->finalReply);
        out->replyPending = true;
        return {};
    }
    s = writeAll(fd, headProof, kMacLen, w);
    if (s.io != Io::Ok) return ioError(s, peer, "sending the link proof");
    s = readExact(fd, reply, kReplyLen, w);
    if (s.io == Io::Eof)
        return authFailure(peer, "the peer closed the connection instead of answering our proof");
    if (s.io != Io::Ok) return ioError(s, peer, "waiting for the peer's proof");
    if (jx::loadBE32(reply) == kReplyRefused)
        return authFailure(peer,
                           "the peer refused our proof of the link secret (the secrets "
                           "differ)");
    if (jx::loadBE32(reply) != kReplyOk || !sameBytes(reply + 4, tailProof, kMacLen))
        return authFailure(peer, "the peer did not prove knowledge of the link secret");
    return {};
}

bool joinProof(const uint8_t joinKey[kKeyLen], uint8_t role, const uint8_t session[kSessionIdLen],
               uint16_t index, const uint8_t headNonce[kNonceLen],
               const uint8_t tailNonce[kNonceLen], uint8_t out[kMacLen]) {
    uint8_t msg[kSessionIdLen + 2 + 2 * kNonceLen];
    std::memcpy(msg, session, kSessionIdLen);
    jx::storeBE16(msg + kSessionIdLen, index);
    std::memcpy(msg + kSessionIdLen + 2, headNonce, kNonceLen);
    std::memcpy(msg + kSessionIdLen + 2 + kNonceLen, tailNonce, kNonceLen);
    return labelledMac(joinKey, role == kRoleHead ? kJoinHead : kJoinTail, msg, sizeof msg, nullptr,
                       0, out);
}

SdtError joinAsHead(int fd, uint16_t index, const uint8_t session[kSessionIdLen],
                    const uint8_t joinKey[kKeyLen], Waiter& w, const std::string& peer) {
    Hello mine;
    mine.kind = kHelloJoin;
    mine.role = kRoleHead;
    mine.index = index;
    mine.version = SdtNetLink::advertisedVersion();
    std::memcpy(mine.session, session, kSessionIdLen);
    if (!randomBytes(mine.nonce, kNonceLen))
        return SdtError(SdtError::kFailure, "The random number generator failed");
    uint8_t hello[kHelloLen];
    encodeHello(mine, hello);
    IoStatus s = writeAll(fd, hello, kHelloLen, w);
    if (s.io != Io::Ok) return ioError(s, peer, "sending the join request of an extra socket");
    uint8_t reply[kReplyLen];
    s = readExact(fd, reply, kReplyLen, w);
    if (s.io != Io::Ok) return ioError(s, peer, "waiting for the join challenge");
    if (jx::loadBE32(reply) == kReplyUnknownSession)
        return SdtError(SdtError::kAuthFailed,
                        "Extra socket refused by " + peer + ": the peer does not know the session");
    if (jx::loadBE32(reply) != kReplyOk)
        return SdtError(SdtError::kAuthFailed, "Extra socket refused by " + peer);
    uint8_t tailNonce[kNonceLen];
    std::memcpy(tailNonce, reply + 4, kNonceLen);
    uint8_t proof[kMacLen], expected[kMacLen];
    if (!joinProof(joinKey, kRoleHead, session, index, mine.nonce, tailNonce, proof) ||
        !joinProof(joinKey, kRoleTail, session, index, mine.nonce, tailNonce, expected))
        return SdtError(SdtError::kFailure, "HMAC computation failed");
    s = writeAll(fd, proof, kMacLen, w);
    if (s.io != Io::Ok) return ioError(s, peer, "sending the join proof");
    s = readExact(fd, reply, kReplyLen, w);
    if (s.io != Io::Ok) return ioError(s, peer, "waiting for the join answer");
    if (jx::loadBE32(reply) != kReplyOk)
        return SdtError(SdtError::kAuthFailed,
                        "Extra socket refused by " + peer + ": our join proof was not accepted");
    if (!sameBytes(reply + 4, expected, kMacLen))
        return SdtError(SdtError::kAuthFailed, "Extra socket to " + peer +
                                                   " refused: the peer did not prove knowledge "
                                                   "of the link secret");
    return {};
}

}  // namespace sdt
