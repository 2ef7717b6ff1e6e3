// The receive limit: a declared payload, or one a compressed frame would
// expand to, beyond setMaxRecvPayload ends the link before it is allocated.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "link/SdtNetLink.h"

namespace {

constexpr char kSecret[] = "a link secret of at least thirty-two bytes";

struct SocketPairLinks {
    SdtNetLink head, tail;
    SdtBuffer tailBuf{65536};
    SocketPairLinks() {
        int sp[2];
        EXPECT_EQ(0, ::socketpair(AF_UNIX, SOCK_STREAM, 0, sp));
        head.setSecret(kSecret);
        tail.setSecret(kSecret);
        tail.setRecvBuffer(&tailBuf);
        SdtError te;
        std::thread t([&] { te = tail.setSocket(sp[1], true); });
        SdtError he = head.setSocket(sp[0], false);
        t.join();
        EXPECT_TRUE(he.ok() && te.ok()) << he.text() << te.text();
    }
};

}  // namespace

TEST(SdtLinkLimits, CompressedBombIsRefusedBeforeItIsAllocated) {
    SocketPairLinks l;
    l.tail.setMaxRecvPayload(1u << 20);
    l.head.setCompression(3);
    // 64 MiB of zeros compress to a few KiB: the frame is small on the wire.
    const std::string zeros(64u << 20, '\0');
    SdtError se;
    std::thread sender([&] {
        se = l.head.sendMessage(7, zeros.data(), static_cast<int>(zeros.size()), 10, false);
    });
    SdtLinkPacket p;
    SdtError e = l.tail.recvMsgPacketMs(&p, 10000);
    sender.join();
    ASSERT_TRUE(se.ok()) << se.text();
    EXPECT_EQ(SdtError::kProtocol, e.code());
    EXPECT_NE(std::string::npos, e.text().find("more than this link accepts")) << e.text();
    EXPECT_LT(l.tailBuf.capacity(), size_t{1} << 20);  // nothing was allocated for it
    // The link stays ended.
    EXPECT_EQ(SdtError::kProtocol, l.tail.recvMsgPacketMs(&p, 100).code());
}

TEST(SdtLinkLimits, PayloadsUpToTheLimitStillArrive) {
    SocketPairLinks l;
    l.tail.setMaxRecvPayload(1u << 20);
    l.head.setCompression(3);
    const std::string atLimit(1u << 20, '\0');
    SdtError se;
    std::thread sender([&] {
        se = l.head.sendMessage(7, atLimit.data(), static_cast<int>(atLimit.size()), 10, false);
    });
    SdtLinkPacket p;
    SdtError e = l.tail.recvMsgPacketMs(&p, 10000);
    sender.join();
    ASSERT_TRUE(e.ok()) << e.text();
    EXPECT_EQ(atLimit.size(), static_cast<size_t>(p.payloadLen));
}
