#pragma once
// Which peers may start a handshake with a tail, and the key under which
// their unauthenticated connections are counted. Anyone can own a handful of
// neighbouring addresses (a /24 of IPv4 is cheap, a /64 of IPv6 comes with
// every host), so connections are counted per such prefix, not per address.
// An allow-list, when set, admits only the heads it names.
#include <sys/socket.h>

#include <string>
#include <vector>

class FlrTailAdmission {
  public:
    // Adds "ADDR/BITS" or a single address (IPv4 or IPv6) to the allow-list.
    // Throws std::invalid_argument naming the text when it is neither.
    void allow(const std::string& cidr);
    // Adds every entry of a list separated by commas or blanks (the registry's form).
    void allowList(const std::string& list);
    bool restricted() const { return !allowed_.empty(); }
    // True without an allow-list, or when the peer is in it.
    bool allows(const sockaddr_storage& peer) const;

    // "a.b.c.0/24" of an IPv4 peer (IPv4-mapped IPv6 included), "x:x:x:x::/64"
    // of an IPv6 one; the numeric address for anything else.
    static std::string prefixOf(const sockaddr_storage& peer);

  private:
    struct Net {
        bool v6 = false;
        unsigned char bytes[16] = {};
        int bits = 0;
    };
    static bool matches(const Net& net, bool v6, const unsigned char* bytes);
    std::vector<Net> allowed_;
};
