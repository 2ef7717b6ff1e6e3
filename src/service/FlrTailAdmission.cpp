#include "FlrTailAdmission.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <stdexcept>

namespace {

// The address bytes of a peer: 4 for IPv4 (also when IPv4-mapped), 16 for
// IPv6; false for other families.
bool addressBytes(const sockaddr_storage& a, bool* v6, unsigned char out[16]) {
    if (a.ss_family == AF_INET) {
        std::memcpy(out, &reinterpret_cast<const sockaddr_in&>(a).sin_addr, 4);
        *v6 = false;
        return true;
    }
    if (a.ss_family != AF_INET6) return false;
    const in6_addr& in = reinterpret_cast<const sockaddr_in6&>(a).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&in)) {
        std::memcpy(out, in.s6_addr + 12, 4);
        *v6 = false;
    } else {
        std::memcpy(out, in.s6_addr, 16);
        *v6 = true;
    }
    return true;
}

int parseBits(const std::string& text, const std::string& whole, int most) {
    if (text.empty() || text.size() > 3 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        throw std::invalid_argument("invalid address prefix \"" + whole + "\"");
    const int bits = std::stoi(text);
    if (bits > most) throw std::invalid_argument("invalid address prefix \"" + whole + "\"");
    return bits;
}

}  // namespace

void FlrTailAdmission::allow(const std::string& cidr) {
    const size_t slash = cidr.find('/');
    const std::string addr = cidr.substr(0, slash);
    Net net;
    if (::inet_pton(AF_INET, addr.c_str(), net.bytes) == 1) {
        net.bits = slash == std::string::npos ? 32 : parseBits(cidr.substr(slash + 1), cidr, 32);
    } else if (::inet_pton(AF_INET6, addr.c_str(), net.bytes) == 1) {
        net.v6 = true;
        net.bits = slash == std::string::npos ? 128 : parseBits(cidr.substr(slash + 1), cidr, 128);
    } else {
        throw std::invalid_argument("\"" + cidr + "\" is not an address or ADDR/BITS");
    }
    allowed_.push_back(net);
}

void FlrTailAdmission::allowList(const std::string& list) {
    size_t pos = 0;
    while (pos < list.size()) {
        const size_t end = list.find_first_of(", \t", pos);
        const std::string item = list.substr(pos, end - pos);
        if (!item.empty()) allow(item);
        if (end == std::string::npos) break;
        pos = end + 1;
    }
}

bool FlrTailAdmission::matches(const Net& net, bool v6, const unsigned char* bytes) {
    if (net.v6 != v6) return false;
    const int whole = net.bits / 8;
    if (std::memcmp(net.bytes, bytes, static_cast<size_t>(whole)) != 0) return false;
    const int rest = net.bits % 8;
    if (rest == 0) return true;
    const unsigned char mask = static_cast<unsigned char>(0xff << (8 - rest));
    return (net.bytes[whole] & mask) == (bytes[whole] & mask);
}

bool FlrTailAdmission::allows(const sockaddr_storage& peer) const {
    if (allowed_.empty()) return true;
    bool v6 = false;
    unsigned char bytes[16];
    if (!addressBytes(peer, &v6, bytes)) return false;
    for (const Net& net : allowed_)
        if (matches(net, v6, bytes)) return true;
    return false;
}

std::string FlrTailAdmission::prefixOf(const sockaddr_storage& peer) {
    bool v6 = false;
    unsigned char bytes[16] = {};
    if (!addressBytes(peer, &v6, bytes)) return "unknown";
    char text[INET6_ADDRSTRLEN];
    if (!v6) {
        bytes[3] = 0;
        ::inet_ntop(AF_INET, bytes, text, sizeof text);
        return std::string(text) + "/24";
    }
    std::memset(bytes + 8, 0, 8);
    ::inet_ntop(AF_INET6, bytes, text, sizeof text);
    return std::string(text) + "/64";
}
