// Endpoint parsing and connecting a head to one.
#include "FLR/FlrEndpoint.h"

#include <cstdlib>
#include <stdexcept>

#include "net/FlrNetHead.h"

namespace {

bool isNumber(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

}  // namespace

FlrEndpoint flrParseEndpoint(const std::string& text) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
        throw std::invalid_argument("expected HOST:PORT, got \"" + text + "\"");
    FlrEndpoint e{text.substr(0, colon), text.substr(colon + 1)};
    if (e.host.size() > 2 && e.host.front() == '[' && e.host.back() == ']')
        e.host = e.host.substr(1, e.host.size() - 2);
    return e;
}

void flrConnectHead(FlrNetHead& head, const FlrEndpoint& e) {
    if (isNumber(e.port))
        head.connect(e.host.c_str(), std::atoi(e.port.c_str()), 0);
    else
        head.connect(e.host.c_str(), e.port.c_str());
}
