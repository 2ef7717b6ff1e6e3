// A full destination disk: a file that grew on the source cannot be written,
// and whatever the method its old copy stays under its name, whole, and the
// entry counts as not applied (so the run is incomplete and retried).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <string>

#include "FLR/platform/JxFile.h"
#include "TailApplyFixture.h"
#include "TailLBFSFixture.h"
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
