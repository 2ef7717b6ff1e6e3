#pragma once
// Connection set-up for the head: service ports from the registry and a
// connect with a time-out that hands back a connected TCP socket.
//
// Registry: section "Services/<host>" (a host-specific entry), else section
// "Services"; key = the service name when it is a registry key such as
// "nFlrTailPort", else "n" + service + "Port" ("FlrTail" -> "nFlrTailPort").
// The second port, when registered, is under the same key with "2" appended
// ("nFlrTailPort2"). A service name that is a number is taken as the port.
#include <string>

#include "platform/CQiError.h"

class CJxNetwork {
  public:
    // What a lookup found. kind 1: registered for that host; 3: registered in
    // [Services]; 4: the service was a port number; 0: nothing.
    struct PortRecord {
        int kind = 0;
        int port = 0;
        int port2 = 0;
    };

    // Fills *rec with the ports of service on host. Returns code 0 on success,
    // a negative code with a text naming service and host when nothing is
    // registered or the value is not a port. refresh re-reads the registry
    // file; reserved is unused; timeoutSec bounds the lookup; *fromHostEntry
    // (if given) tells whether a host-specific entry answered.
    static CQiError LookupRegisteredPorts(const char* host, const char* service, bool refresh,
                                          PortRecord* rec, void* reserved, int timeoutSec,
                                          bool* fromHostEntry);
};

class JxFwClient {
  public:
    // Progress callback for long connects; called with the context and the
    // port being tried. May be null.
    using Callback = void (*)(void* context, const char* host, int port);

    // Resolves host (getaddrinfo, IPv4 and IPv6) and connects to port, then to
    // port2 when that is non-zero and different and the first failed, each
    // address with a non-blocking connect bounded by timeoutSec. Socket buffer
    // sizes are set before connecting (0 keeps the system's). Returns the
    // connected socket (blocking mode unless keepNonBlocking) or -1 with err
    // naming host and port and the system's reason.
    static int connect(const char* host, int port, int port2, int sendBufSize, int recvBufSize,
                       Callback cb, void* context, bool keepNonBlocking, CQiError* err,
                       int timeoutSec = 30);
};
