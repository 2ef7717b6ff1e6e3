#include "platform/JxFanotify.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/fanotify.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "FLR/JxException.h"
#include "support/TestSupport.h"

namespace {

// Builds event buffers the way the kernel lays them out.
struct Buf {
    std::vector<unsigned char> b;
    void put(const void* p, size_t n) {
        const auto* c = static_cast<const unsigned char*>(p);
        b.insert(b.end(), c, c + n);
    }
    template <typename T>
    void put(T v) {
        put(&v, sizeof v);
    }
};

// One info record of a file id kind; `handleBytes` may claim more than it holds.
std::vector<unsigned char> fidRecord(uint8_t type, uint32_t handleBytes, size_t realBytes,
                                     const char* name, bool nul = true) {
    Buf r;
    r.put(uint8_t(type));
    r.put(uint8_t(0));
    r.put(uint16_t(0));  // length, set below
    r.put(int32_t(0x11));
    r.put(int32_t(0x22));
    r.put(handleBytes);
    r.put(int32_t(1));  // handle type
    for (size_t i = 0; i < realBytes; ++i) r.put(uint8_t(0xA0 + i));
    if (name) r.put(name, std::strlen(name) + (nul ? 1 : 0));
    while (r.b.size() % 4) r.put(uint8_t(0));
    const uint16_t len = uint16_t(r.b.size());
    std::memcpy(r.b.data() + 2, &len, 2);
    return r.b;
}

std::vector<unsigned char> event(uint64_t mask,
                                 const std::vector<std::vector<unsigned char>>& infos,
                                 int lenDelta = 0, uint8_t version = FANOTIFY_METADATA_VERSION,
                                 int fd = FAN_NOFD) {
    Buf e;
    size_t total = FAN_EVENT_METADATA_LEN;
    for (const auto& i : infos) total += i.size();
    fanotify_event_metadata m{};
    m.event_len = uint32_t(int(total) + lenDelta);
    m.vers = version;
    m.metadata_len = FAN_EVENT_METADATA_LEN;
    m.mask = mask;
    m.fd = fd;
    m.pid = 42;
    e.put(m);
    for (const auto& i : infos) e.put(i.data(), i.size());
    return e.b;
}

TEST(JxFanotify, ParsesNamesHandlesAndRenames) {
    auto buf = event(FAN_CREATE, {fidRecord(FAN_EVENT_INFO_TYPE_DFID_NAME, 8, 8, "new.txt"),
                                  fidRecord(FAN_EVENT_INFO_TYPE_FID, 8, 8, nullptr)});
    const auto ren = event(FAN_RENAME, {fidRecord(FAN_EVENT_INFO_TYPE_OLD_DFID_NAME, 8, 8, "a"),
                                        fidRecord(FAN_EVENT_INFO_TYPE_NEW_DFID_NAME, 4, 4, "b"),
                                        fidRecord(FAN_EVENT_INFO_TYPE_FID, 8, 8, nullptr)});
    buf.insert(buf.end(), ren.begin(), ren.end());
    const auto over = event(FAN_Q_OVERFLOW, {});
    buf.insert(buf.end(), over.begin(), over.end());
    std::vector<JxFanEvent> out;
    std::string why;
    ASSERT_TRUE(JxFanotify::parse(buf.data(), buf.size(), out, &why)) << why;
    ASSERT_EQ(3u, out.size());
    EXPECT_EQ(uint64_t(FAN_CREATE), out[0].mask);
    EXPECT_EQ(42, out[0].pid);
    EXPECT_TRUE(out[0].hasDir && out[0].hasObject);
    EXPECT_EQ("new.txt", out[0].name);
    EXPECT_EQ((uint64_t(0x11) << 32) | 0x22, out[0].dir.fsid);
    EXPECT_EQ(8u, out[0].object.length);
    EXPECT_EQ(0xA7, out[0].object.bytes[7]);
    EXPECT_TRUE(out[1].hasOld && out[1].hasNew && !out[1].hasDir);
    EXPECT_EQ("a", out[1].oldName);
    EXPECT_EQ("b", out[1].newName);
    EXPECT_EQ(4u, out[1].newDir.length);
    EXPECT_FALSE(out[1].overflow());
    EXPECT_TRUE(out[2].overflow());
}

TEST(JxFanotify, ParsingNeverClosesADescriptorABufferNames) {
    const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    const auto buf = event(FAN_MODIFY, {}, 0, FANOTIFY_METADATA_VERSION, fd);
    std::vector<JxFanEvent> out;
    ASSERT_TRUE(JxFanotify::parse(buf.data(), buf.size(), out, nullptr));
    ASSERT_EQ(1u, out.size());
    EXPECT_EQ(fd, out[0].fd);
    EXPECT_NE(-1, ::fcntl(fd, F_GETFD)) << "the parser closed a descriptor it does not own";
    ::close(fd);
}

TEST(JxFanotify, RefusesMalformedBuffers) {
    const auto good = fidRecord(FAN_EVENT_INFO_TYPE_DFID_NAME, 8, 8, "x");
    auto shortInfo = good;
    shortInfo[2] = 3;  // info length below its own header
    shortInfo[3] = 0;
    auto longInfo = good;
    longInfo[2] = uint8_t(good.size() + 4);  // claims past the event
    struct Case {
        const char* what;
        std::vector<unsigned char> buf;
        const char* reason;
    };
    std::vector<Case> cases = {
        {"metadata cut off", std::vector<unsigned char>(FAN_EVENT_METADATA_LEN - 1, 0),
         "event cut off"},
        {"event longer than the buffer", event(FAN_CREATE, {good}, 8), "left in the buffer"},
        {"event shorter than its metadata", event(FAN_CREATE, {}, -4), "left in the buffer"},
        {"unknown version", event(FAN_CREATE, {good}, 0, 2), "version 2"},
        {"info header cut off", event(FAN_CREATE, {std::vector<unsigned char>(2, 1)}),
         "header cut off"},
        {"info length below its header", event(FAN_CREATE, {shortInfo}), "info record of 3"},
        {"info length past the event", event(FAN_CREATE, {longInfo}), "left in the event"},
        {"handle longer than its record",
         event(FAN_CREATE, {fidRecord(FAN_EVENT_INFO_TYPE_FID, 64, 8, nullptr)}),
         "file handle of 64 bytes"},
        {"handle longer than any kernel handle",
         event(FAN_CREATE, {fidRecord(FAN_EVENT_INFO_TYPE_FID, 4096, 8, nullptr)}),
         "file handle of 4096 bytes"},
        {"name without its end",
         event(FAN_CREATE, {fidRecord(FAN_EVENT_INFO_TYPE_DFID_NAME, 8, 8, "abcd", false)}),
         "without its end"},
        {"file id record too short for a handle",
         event(FAN_CREATE,
               {std::vector<unsigned char>{FAN_EVENT_INFO_TYPE_FID, 0, 8, 0, 0, 0, 0, 0}}),
         "file id record of 8 bytes"},
    };
    for (const auto& c : cases) {
        std::vector<JxFanEvent> out;
        std::string why;
        EXPECT_FALSE(JxFanotify::parse(c.buf.data(), c.buf.size(), out, &why)) << c.what;
        EXPECT_NE(std::string::npos, why.find(c.reason)) << c.what << ": " << why;
        EXPECT_TRUE(out.empty()) << c.what;
    }
}

TEST(JxFanotify, WithoutSysAdminOneClearError) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop a capability it holds";
    const int status = flrtest::runInChild([] {
        struct __user_cap_header_struct hdr = {_LINUX_CAPABILITY_VERSION_3, 0};
        struct __user_cap_data_struct data[2] = {};
        if (::syscall(SYS_capget, &hdr, data) != 0) return 10;
        data[0].effective &= ~(1u << CAP_SYS_ADMIN);
        if (::syscall(SYS_capset, &hdr, data) != 0) return 11;
        try {
            JxFanotify fan;
            return 12;
        } catch (const JxException& e) {
            return e.getMessage() == JxFanotify::kNoCapability ? 0 : 13;
        }
    });
    EXPECT_EQ(0, status);
}

TEST(JxFanotify, WakeEndsAWaitAndReadsRealEvents) {
    std::unique_ptr<JxFanotify> fan;
    try {
        fan = std::make_unique<JxFanotify>();
    } catch (const JxException& e) {
        GTEST_SKIP() << e.getMessage();
    }
    flrtest::TempDir dir;
    fan->markFileSystem(dir.path());
    flrtest::writeFile(dir.file("seen"), "x");
    std::vector<JxFanEvent> events;
    bool found = false;
    for (int i = 0; i < 50 && !found; ++i) {
        if (fan->wait(100) != JxFanotify::Wait::Ready) continue;
        events.clear();
        fan->read(events);
        for (const auto& ev : events) found |= (ev.mask & FAN_CREATE) && ev.name == "seen";
    }
    EXPECT_TRUE(found);
    fan->wake();
    EXPECT_EQ(JxFanotify::Wait::Woken, fan->wait(-1));
    EXPECT_TRUE(fan->woken());
}

}  // namespace
