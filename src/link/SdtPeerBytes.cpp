// Kept apart from the rest of the link: the kernel's tcp_info with its byte
// counters comes from <linux/tcp.h>, which clashes with <netinet/tcp.h>.
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>

#include "SdtNetLink.h"

bool SdtNetLink::peerHasSpoken(int fd) {
    tcp_info info{};
    socklen_t len = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) return false;
    // Older kernels fill a shorter structure without the counter.
    const socklen_t needed = static_cast<socklen_t>(offsetof(tcp_info, tcpi_bytes_received) +
                                                    sizeof info.tcpi_bytes_received);
    return len >= needed && info.tcpi_bytes_received > 0;
}
