#pragma once
// The link's handshake (docs/protocol.md, "Handshake" and "Extra sockets"):
// where the secret comes from, the keys derived from it, the session-opening
// exchange and the join exchange of an extra socket.
#include <cstdint>
#include <string>

#include "SdtCrypto.h"
#include "SdtFrame.h"
#include "SdtNetLink.h"
#include "SdtStream.h"

namespace sdt {

struct SessionKeys {
    uint8_t auth[kKeyLen] = {};
    uint8_t join[kKeyLen] = {};
    uint8_t headToTail[kKeyLen] = {};
    uint8_t tailToHead[kKeyLen] = {};
    ~SessionKeys() { wipe(this, sizeof *this); }
};

bool deriveKeys(const std::string& secret, const uint8_t headNonce[kNonceLen],
                const uint8_t tailNonce[kNonceLen], SessionKeys* keys);

constexpr size_t kMinSecretLen = 32;
constexpr char kIntegrityOnlyKey[] = "bLinkIntegrityOnly";

// The secret: override if non-empty, else the file named by [ZRP]
// sLinkSecretFile, else [ZRP] sLinkSecret. On failure returns false and sets
// *err (never containing the secret).
// Secrets shorter than kMinSecretLen are refused; an inline registry secret
// only when the registry file is private.
bool loadLinkSecret(const std::string& override, std::string* secret, SdtError* err);
// [ZRP] bLinkIntegrityOnly: this end would accept MAC-only frames.
bool integrityOnlyRequested();
// A new random secret (hex, one line) in a new mode-0600 file; never
// replaces an existing one.
SdtError writeSecretFile(const std::string& path);
// A new random secret: 64 hex digits.
SdtError newSecretText(std::string* out);

// Failed proofs per peer address slow down later attempts from it.
int proofDelayMs(const std::string& address);
void noteProof(const std::string& address, bool ok);
// The peer's address without the port (the throttle's key).
std::string peerAddressOf(int fd);

// "what": the step that failed, for the text. Maps an I/O failure onto the
// link's codes.
SdtError ioError(const IoStatus& s, const std::string& peer, const char* what);

// "host:port" of the socket's peer, for messages.
std::string peerNameOf(int fd);

struct OpenResult {
    Hello peer;
    SessionKeys keys;
    uint8_t session[kSessionIdLen] = {};
    // Tail only: the accepting answer, sent by the caller once the session is
    // registered, so that a head which joins extra sockets right after it
    // always finds the session.
    uint8_t finalReply[kReplyLen] = {};
    bool replyPending = false;
    bool integrityOnly = false;
    bool proofRefused = false;  // tail: the head's proof was wrong
};

// Runs the session-opening exchange on a non-blocking socket.
// wantIntegrityOnly: this end would accept MAC-only frames; the link is
// integrity-only when both ends want it (out->integrityOnly).
SdtError openSession(int fd, bool server, const std::string& secret, bool wantIntegrityOnly,
                     Waiter& w, const std::string& peer, OpenResult* out);

// The head's side of a join on a freshly connected extra socket.
SdtError joinAsHead(int fd, uint16_t index, const uint8_t session[kSessionIdLen],
                    const uint8_t joinKey[kKeyLen], Waiter& w, const std::string& peer);

// The proof one side gives for an extra socket.
bool joinProof(const uint8_t joinKey[kKeyLen], uint8_t role, const uint8_t session[kSessionIdLen],
               uint16_t index, const uint8_t headNonce[kNonceLen],
               const uint8_t tailNonce[kNonceLen], uint8_t out[kMacLen]);

}  // namespace sdt
