// A full destination disk: a file that grew on the source cannot be written,
// and whatever the method its old copy stays under its name, whole, and the
// entry counts as not applied (so the run is incomplete and retried).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "TailApplyFixture.h"
#include "TailLBFSFixture.h"
#include "platform/JxFile.h"
#include "support/FaultyFileOps.h"

using namespace tailtest;

namespace {

constexpr size_t kOldBytes = 3 * 4096;
constexpr size_t kGrownBytes = 5 * 4096;

void handleAll(FlrTailApplySession& s, FlrNetMessage m) {
    s.handle(m, nullptr);
}

// The grown file as a delta over the old copy (the old bytes reused), or
// whole for the full method.
void sendGrown(FlrTailApplySession& s, const std::string& path, uint8_t method,
               const std::string& grown) {
    FlrNetMessage h(FLR_NET_MIR_HEADER);
    h.mirHeader = header(path, S_IFREG | 0644, grown.size(), method);
    handleAll(s, h);
    size_t from = 0;
    if (method == FlrNetMirHeader::kRSync) {
        long long off = 0;
        long long len = static_cast<long long>(kOldBytes);
        FlrNetMessage r(FLR_NET_MIR_RSYNC);
        r.mirRSync = {1, &off, &len};
        handleAll(s, r);
        from = kOldBytes;
    } else if (method == FlrNetMirHeader::kMD5) {
        FlrNetMessage seek(FLR_NET_MIR_SEEK);
        seek.seek.offset = static_cast<long long>(kOldBytes);
        handleAll(s, seek);
        from = kOldBytes;
    }
    FlrNetMessage d(FLR_NET_MIR_DATA);
    d.data = {grown.data() + from, static_cast<int>(grown.size() - from)};
    handleAll(s, d);
    handleAll(s, FlrNetMessage(FLR_NET_MIR_EOF));
}

struct FullDiskCase {
    const char* name;
    uint8_t method;
    bool syncFiles;
};

TEST(TailFullDisk, TheOldCopyStaysWhenItsGrownReplacementCannotBeWritten) {
    const FullDiskCase cases[] = {
        {"full", FlrNetMirHeader::kFull, false},
        {"md5", FlrNetMirHeader::kMD5, false},
        {"rsync", FlrNetMirHeader::kRSync, false},
        {"full, batched", FlrNetMirHeader::kFull, true},
        {"md5, batched", FlrNetMirHeader::kMD5, true},
        {"rsync, batched", FlrNetMirHeader::kRSync, true},
    };
    const std::string old = pattern(kOldBytes, 1);
    const std::string grown = old + pattern(kGrownBytes - kOldBytes, 2);
    for (const FullDiskCase& c : cases) {
        SCOPED_TRACE(c.name);
        Registry reg;
        flrtest::TempDir tmp;
        const std::string root = tmp.path() + "/root";
        ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
        flrtest::writeFile(root + "/f", old);
        FlrTailApplier::Options o;
        o.syncFiles = c.syncFiles;
        FlrTailApplier applier(root, o);
        FlrTailApplySession session(applier);
        {
            flrtest::FaultyFileOps full;
            full.failNth(flrtest::FaultyFileOps::Op::Write, 1, ENOSPC, true);
            jx::ScopedFileOps scoped(full);
            sendGrown(session, root + "/f", c.method, grown);
            session.commit();
            EXPECT_GT(full.faultsInjected(), 0);
        }
        EXPECT_TRUE(flrtest::readFile(root + "/f") == old) << "the old copy is lost or changed";
        EXPECT_GE(session.stats().failed, 1);
        EXPECT_EQ(session.stats().files, 0);
        EXPECT_FALSE(hasTemporaries(root));
    }
}

// LBFS builds beside the old copy from verified blocks.
TEST(TailFullDisk, AnLBFSFileThatCannotBeWrittenLeavesTheOldCopy) {
    Registry reg;
    flrtest::TempDir tmp;
    const std::string root = tmp.path() + "/root";
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    const std::string old = pattern(kOldBytes, 1);
    flrtest::writeFile(root + "/f", old);
    FlrTailApplier::Options o;
    o.lbfsIdleSeconds = 2;
    auto tail = std::make_unique<Tail>(root, o);
    {
        flrtest::FaultyFileOps full;
        full.failNth(flrtest::FaultyFileOps::Op::Write, 1, ENOSPC, true);
        jx::ScopedFileOps scoped(full);
        LBFSHead head(tail->port());
        head.announce("f", old + pattern(kGrownBytes - kOldBytes, 2));
        head.finish();
    }
    for (int i = 0; i < 1000 && tail->service->stats().sessions > 0; ++i) ::usleep(10000);
    EXPECT_TRUE(flrtest::readFile(root + "/f") == old) << "the old copy is lost or changed";
    EXPECT_GE(tail->totals().failed + tail->totals().cut, 1);
    tail.reset();
    EXPECT_FALSE(hasTemporaries(root));
}

}  // namespace

namespace {

// A destination that really fills up: a small tmpfs (skipped where mounting
// is not permitted).
struct SmallDisk {
    std::string at;
    bool mounted = false;
    explicit SmallDisk(std::string path) : at(std::move(path)) {
        ::mkdir(at.c_str(), 0755);
        mounted = ::mount("flrtest", at.c_str(), "tmpfs", 0, "size=256k") == 0;
    }
    ~SmallDisk() {
        if (mounted) ::umount2(at.c_str(), MNT_DETACH);
    }
};

// Fills the file system of dir until at most `keep` bytes are free.
void fillUpTo(const std::string& dir, size_t keep) {
    const std::string chunk(4096, 'z');
    const int fd = ::open((dir + "/.filler").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    struct statvfs v {};
    while (::fstatvfs(fd, &v) == 0 && v.f_bavail * v.f_frsize > keep)
        if (::write(fd, chunk.data(), chunk.size()) <= 0) break;
    ::close(fd);
}

// An in-place delta that changes the old copy's first block and appends more
// than the disk holds: the old bytes must not change before the growth is
// known to fit.
TEST(TailFullDisk, AnInPlaceUpdateDoesNotChangeTheOldCopyBeforeItsGrowthFits) {
    const uint8_t methods[] = {FlrNetMirHeader::kMD5, FlrNetMirHeader::kRSync};
    for (const uint8_t method : methods) {
        SCOPED_TRACE(method == FlrNetMirHeader::kMD5 ? "md5" : "rsync");
        Registry reg;
        flrtest::TempDir tmp;
        SmallDisk disk(tmp.path() + "/small");
        if (!disk.mounted) GTEST_SKIP() << "mounting a tmpfs is not permitted here";
        const std::string root = disk.at + "/root";
        ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
        const std::string old = pattern(kOldBytes, 3);
        flrtest::writeFile(root + "/f", old);
        fillUpTo(disk.at, 8192);
        FlrTailApplier::Options o;
        o.syncFiles = false;
        FlrTailApplier applier(root, o);
        FlrTailApplySession session(applier);
        const std::string head = pattern(4096, 4);
        const std::string tail = pattern(64 << 10, 5);
        FlrNetMessage h(FLR_NET_MIR_HEADER);
        const std::string path = root + "/f";  // the header points into it
        h.mirHeader = header(path, S_IFREG | 0644, kOldBytes + tail.size(), method);
        session.handle(h, nullptr);
        FlrNetMessage first(FLR_NET_MIR_DATA);
        first.data = {head.data(), static_cast<int>(head.size())};
        session.handle(first, nullptr);
        if (method == FlrNetMirHeader::kRSync) {
            long long off = 4096;
            long long len = static_cast<long long>(kOldBytes) - 4096;
            FlrNetMessage r(FLR_NET_MIR_RSYNC);
            r.mirRSync = {1, &off, &len};
            session.handle(r, nullptr);
        } else {
            FlrNetMessage seek(FLR_NET_MIR_SEEK);
            seek.seek.offset = static_cast<long long>(kOldBytes);
            session.handle(seek, nullptr);
        }
        FlrNetMessage rest(FLR_NET_MIR_DATA);
        rest.data = {tail.data(), static_cast<int>(tail.size())};
        session.handle(rest, nullptr);
        session.handle(FlrNetMessage(FLR_NET_MIR_EOF), nullptr);
        session.commit();
        EXPECT_TRUE(flrtest::readFile(root + "/f") == old) << "the old copy is lost or changed";
        EXPECT_GE(session.stats().failed, 1);
        EXPECT_FALSE(hasTemporaries(root));
    }
}

}  // namespace
