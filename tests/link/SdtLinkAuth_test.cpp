// Every frame after the handshake is authenticated: frames injected, forged,
// altered, replayed or reordered on the wire end the link instead of being
// delivered, in both directions and in integrity-only mode.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "digest/Jxc.h"
#include "link/SdtNetLink.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxCoding.h"
#include "support/LinkPair.h"
#include "support/TestSupport.h"

namespace {

constexpr size_t kHeader = 28;
constexpr size_t kTag = 16;
constexpr uint8_t kFlagCrc = 1, kFlagGcm = 4, kFlagMac = 8;

void fixHeaderCheck(std::string& frame) {
    auto* h = reinterpret_cast<uint8_t*>(frame.data());
    jx::storeBE32(h + 24, ~jx_crc32(0xffffffffu, h, 24));
}

// A frame as an attacker without the secret can build it: the header check
// is keyless, so it is always right.
std::string rawFrame(uint8_t flags, uint32_t type, const std::string& payload, uint64_t counter,
                     size_t extra = 0) {
    const size_t trailer = (flags & kFlagCrc) ? 4 : 0;
    std::string f(kHeader, '\0');
    auto* h = reinterpret_cast<uint8_t*>(f.data());
    h[0] = 1;
    h[1] = flags;
    jx::storeBE32(h + 4, type);
    jx::storeBE32(h + 8, static_cast<uint32_t>(payload.size()));
    jx::storeBE32(h + 12, static_cast<uint32_t>(payload.size() + extra - trailer));
    jx::storeBE64(h + 16, counter);
    fixHeaderCheck(f);
    return f + payload + std::string(extra, 'T');
}

std::string readExactly(int fd, size_t n) {
    std::string s(n, '\0');
    size_t got = 0;
    while (got < n) {
        struct pollfd p {
            fd, POLLIN, 0
        };
        if (::poll(&p, 1, 5000) <= 0) break;
        const ssize_t r = ::read(fd, s.data() + got, n - got);
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    s.resize(got);
    return s;
}

void writeAll(int fd, const std::string& s) {
    ASSERT_EQ(static_cast<ssize_t>(s.size()), ::write(fd, s.data(), s.size()));
}

// Sends a message and captures its frame from the wire (no CRC trailer).
std::string capture(SdtNetLink& from, int wire, const std::string& msg, uint32_t type = 7) {
    SdtError e = from.sendMessage(static_cast<int>(type), msg.data(), static_cast<int>(msg.size()),
                                  5, false);
    EXPECT_TRUE(e.ok()) << e.text();
    return readExactly(wire, kHeader + msg.size() + kTag);
}

SdtError receive(SdtNetLink& l, SdtLinkPacket* p) {
    return l.recvMsgPacketMs(p, 5000);
}

void expectRefused(SdtNetLink& l, const char* why) {
    SdtLinkPacket p;
    SdtError e = receive(l, &p);
    EXPECT_EQ(SdtError::kProtocol, e.code()) << e.text();
    EXPECT_NE(std::string::npos, e.text().find(why)) << e.text();
    EXPECT_EQ(SdtError::kProtocol, l.recvMsgPacketMs(&p, 100).code());  // stays ended
}

struct Direction {
    const char* name;
    bool headToTail;
};

const Direction kDirections[] = {{"head to tail", true}, {"tail to head", false}};

SdtNetLink& sender(flrtest::LinkPair& l, const Direction& d) {
    return d.headToTail ? l.head : l.tail;
}
SdtNetLink& receiver(flrtest::LinkPair& l, const Direction& d) {
    return d.headToTail ? l.tail : l.head;
}
int senderWire(flrtest::LinkPair& l, const Direction& d) {
    return d.headToTail ? l.headWire : l.tailWire;
}
int receiverWire(flrtest::LinkPair& l, const Direction& d) {
    return d.headToTail ? l.tailWire : l.headWire;
}

}  // namespace

TEST(SdtLinkAuth, FramesAreSealedByDefaultInBothDirections) {
    for (const Direction& d : kDirections) {
        SCOPED_TRACE(d.name);
        flrtest::LinkPair l(true);
        ASSERT_TRUE(l.ok());
        // Switching encryption off does not switch authentication off.
        sender(l, d).setEncryption(0);
        const std::string secret = "a plain text the wire must not show";
        const std::string frame = capture(sender(l, d), senderWire(l, d), secret);
        ASSERT_EQ(kHeader + secret.size() + kTag, frame.size());
        EXPECT_EQ(kFlagGcm, static_cast<uint8_t>(frame[1]));
        EXPECT_EQ(std::string::npos, frame.find(secret));
        writeAll(receiverWire(l, d), frame);
        SdtLinkPacket p;
        ASSERT_TRUE(receive(receiver(l, d), &p).ok());
        EXPECT_EQ(secret, std::string(p.payload, static_cast<size_t>(p.payloadLen)));
    }
}

TEST(SdtLinkAuth, InjectedUnauthenticatedFramesAreRefused) {
    struct Case {
        const char* name;
        uint8_t flags;
        size_t extra;
        const char* why;
    };
    const Case cases[] = {
        {"no protection", 0, 0, "without authentication"},
        {"CRC only", kFlagCrc, 4, "without authentication"},
        {"forged GCM tag", kFlagGcm, kTag, "authentication failed"},
        {"forged MAC on a sealed link", kFlagMac, kTag, "requires encryption"},
    };
    for (const Direction& d : kDirections) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(d.name) + ", " + c.name);
            flrtest::LinkPair l(true);
            ASSERT_TRUE(l.ok());
            std::string f = rawFrame(c.flags, 9, "delete everything", 0, c.extra);
            if (c.flags & kFlagCrc)  // a correct keyless trailer
                jx::storeBE32(f.data() + f.size() - 4,
                              ~jx_crc32(0xffffffffu, f.data() + kHeader, f.size() - kHeader - 4));
            writeAll(receiverWire(l, d), f);
            expectRefused(receiver(l, d), c.why);
        }
    }
}

TEST(SdtLinkAuth, AlteredReplayedAndReorderedFramesAreRefused) {
    struct Case {
        const char* name;
        size_t at;     // byte of the frame to change (the header check is fixed after)
        uint8_t mask;  // bits flipped
    };
    const Case flips[] = {{"message type", 7, 0x01},
                          {"sealed flag to MAC-only", 1, kFlagGcm | kFlagMac},
                          {"payload", kHeader + 3, 0x01},
                          {"tag", kHeader + 15 + 5, 0x80}};
    for (const Case& c : flips) {
        SCOPED_TRACE(c.name);
        flrtest::LinkPair l(true);
        ASSERT_TRUE(l.ok());
        std::string f = capture(l.head, l.headWire, "pay 20 to alice");
        f[c.at] = static_cast<char>(f[c.at] ^ c.mask);
        fixHeaderCheck(f);
        writeAll(l.tailWire, f);
        SdtLinkPacket p;
        SdtError e = receive(l.tail, &p);
        EXPECT_EQ(SdtError::kProtocol, e.code()) << e.text();
    }
    {
        SCOPED_TRACE("reordered");
        flrtest::LinkPair l(true);
        ASSERT_TRUE(l.ok());
        const std::string first = capture(l.head, l.headWire, "first");
        const std::string second = capture(l.head, l.headWire, "second");
        writeAll(l.tailWire, second + first);
        expectRefused(l.tail, "was expected");
    }
    {
        SCOPED_TRACE("counter rewritten to fit");
        flrtest::LinkPair l(true);
        ASSERT_TRUE(l.ok());
        const std::string first = capture(l.head, l.headWire, "first");
        std::string second = capture(l.head, l.headWire, "second");
        writeAll(l.tailWire, first);
        SdtLinkPacket p;
        ASSERT_TRUE(receive(l.tail, &p).ok());
        // Frame 0 again, its counter changed to 1: the tag covers the header.
        std::string replay = first;
        jx::storeBE64(replay.data() + 16, 1);
        fixHeaderCheck(replay);
        writeAll(l.tailWire, replay);
        expectRefused(l.tail, "authentication failed");
    }
}

TEST(SdtLinkAuth, IntegrityOnlyIsNegotiatedAndStillRefusesForgeries) {
    // Only when both ends allow it; the registry key works like the call.
    {
        flrtest::LinkPair l(true, [](SdtNetLink& h, SdtNetLink&) { h.setIntegrityOnly(1); });
        ASSERT_TRUE(l.ok());
        EXPECT_FALSE(l.head.isIntegrityOnly());
        EXPECT_FALSE(l.tail.isIntegrityOnly());
        EXPECT_EQ(kFlagGcm, static_cast<uint8_t>(capture(l.head, l.headWire, "x")[1]));
    }
    flrtest::ScopedRegistry reg;
    ASSERT_EQ(0, JXPlatformInfo::setString("ZRP", "bLinkIntegrityOnly", "1"));
    for (const Direction& d : kDirections) {
        SCOPED_TRACE(d.name);
        flrtest::LinkPair l(true);
        ASSERT_TRUE(l.ok());
        EXPECT_TRUE(l.head.isIntegrityOnly());
        EXPECT_TRUE(l.tail.isIntegrityOnly());
        const std::string text = "readable on a trusted network";
        std::string f = capture(sender(l, d), senderWire(l, d), text);
        EXPECT_EQ(kFlagMac, static_cast<uint8_t>(f[1]));
        EXPECT_NE(std::string::npos, f.find(text));  // not encrypted
        writeAll(receiverWire(l, d), f);
        SdtLinkPacket p;
        ASSERT_TRUE(receive(receiver(l, d), &p).ok());
        EXPECT_EQ(text, std::string(p.payload, static_cast<size_t>(p.payloadLen)));
        // Sealing on request still works on an integrity-only link.
        sender(l, d).setEncryption(1);
        f = capture(sender(l, d), senderWire(l, d), text);
        EXPECT_EQ(kFlagGcm, static_cast<uint8_t>(f[1]));
        writeAll(receiverWire(l, d), f);
        ASSERT_TRUE(receive(receiver(l, d), &p).ok());
        // A changed byte of the readable payload is caught.
        sender(l, d).setEncryption(0);
        f = capture(sender(l, d), senderWire(l, d), text);
        f[kHeader] ^= 0x20;
        writeAll(receiverWire(l, d), f);
        expectRefused(receiver(l, d), "authentication failed");
    }
    {
        SCOPED_TRACE("unauthenticated frame on an integrity-only link");
        flrtest::LinkPair l(true);
        ASSERT_TRUE(l.ok());
        writeAll(l.tailWire, rawFrame(0, 9, "no tag", 0));
        expectRefused(l.tail, "without authentication");
    }
    {
        SCOPED_TRACE("receiver requiring encryption");
        flrtest::LinkPair l(true);
        ASSERT_TRUE(l.ok());
        l.tail.requireEncryption(true);
        writeAll(l.tailWire, capture(l.head, l.headWire, "mac only"));
        expectRefused(l.tail, "requires encryption");
    }
}

TEST(SdtLinkAuth, LargeFramesSealedInPiecesArriveWholeAndAlteredOnesDoNot) {
    // Larger than one sealing piece; with and without the CRC trailer.
    const std::string big = std::string(2500000, 'b') + "end";  // three pieces
    for (bool crc : {false, true}) {
        for (bool alter : {false, true}) {
            SCOPED_TRACE(std::string(crc ? "CRC, " : "") + (alter ? "altered" : "intact"));
            flrtest::LinkPair l(true);
            ASSERT_TRUE(l.ok());
            l.head.enableCRC32(crc);
            std::thread sender([&] {
                l.head.sendMessage(5, big.data(), static_cast<int>(big.size()), 10, false);
            });
            std::string f = readExactly(l.headWire, kHeader + big.size() + kTag + (crc ? 4 : 0));
            sender.join();
            ASSERT_EQ(kHeader + big.size() + kTag + (crc ? 4 : 0), f.size());
            if (alter) f[kHeader + 200000] ^= 0x04;
            std::thread forward([&] { writeAll(l.tailWire, f); });
            SdtLinkPacket p;
            SdtError e = receive(l.tail, &p);
            forward.join();
            if (alter) {
                EXPECT_EQ(SdtError::kProtocol, e.code()) << e.text();
            } else {
                ASSERT_TRUE(e.ok()) << e.text();
                EXPECT_EQ(big, std::string(p.payload, static_cast<size_t>(p.payloadLen)));
            }
        }
    }
}
