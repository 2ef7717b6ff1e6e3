#pragma once
// "HOST:PORT" addresses as people type them, and a head connected to one.
#include <string>

#include "FLR/FlrExport.h"

class FlrNetHead;

struct FLR_EXPORT FlrEndpoint {
    std::string host;
    std::string port;  // a number or a registered service name
};

// "HOST:PORT" or "[V6ADDR]:PORT"; throws std::invalid_argument with a
// message for people when the text is not one.
FLR_EXPORT FlrEndpoint flrParseEndpoint(const std::string& text);
// Connects head by port number or by the service name registered for host.
FLR_EXPORT void flrConnectHead(FlrNetHead& head, const FlrEndpoint& e);
