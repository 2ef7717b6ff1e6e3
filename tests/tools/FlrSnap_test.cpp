// flr snap and flr rp, run as a person would run them: usage errors, the
// pending list, registration of an empty host, and a recovery point on a
// real loop-mounted btrfs image (root and loop devices; skipped otherwise).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/JXPlatformInfo.h"
#include "platform/JxProcess.h"
#include "support/TestSupport.h"
#include "support/ToolRunner.h"

namespace {

using Args = std::vector<std::string>;

struct SnapFixture {
    flrtest::ScopedRegistry reg;
    flrtest::TempDir dir;
    std::vector<std::string> env{"FLR_REGISTRY=" + reg.path()};

    SnapFixture() {
        JXPlatformInfo::setString("Platform", "dInstall", dir.file("install"));
        JXPlatformInfo::setString("Platform", "dTemp", dir.path());
        JXPlatformInfo::setString("ZRP", "dSnapMountDir", dir.file("snapmount"));
        JXPlatformInfo::setString("Platform", "sHostName", "tailhost");
    }
    flrtest::ToolRun run(const Args& args) { return flrtest::runTool(args, {}, env); }
    std::string outbox() const {
        const std::string path = dir.file("install") + "/outbox.jsonl";
        return ::access(path.c_str(), F_OK) == 0 ? flrtest::readFile(path) : std::string();
    }
};

TEST(FlrSnap, UsageErrorsAndUnknownVolumes) {
    FLR_REQUIRE_TOOL();
    SnapFixture f;
    EXPECT_EQ(f.run({"snap"}).status, 2);
    EXPECT_EQ(f.run({"snap", "create", "/x", "--type", "weekly"}).status, 2);
    EXPECT_EQ(f.run({"snap", "create"}).status, 2);
    const auto r = f.run(
        {"snap", "create", "/no/such;$(volume)", "--set", "1", "--max-per-set", "2", "--job", "3"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Don't know how to snap /no/such;$(volume): unrecognized device name."),
              std::string::npos)
        << r.err;
}

TEST(FlrSnap, PendingRemovalsAreListedAndRetried) {
    FLR_REQUIRE_TOOL();
    SnapFixture f;
    JXPlatformInfo::setString("ZRP", "sUnsnapTODO", "/dev/gone/jxr_10 /dev/gone/jxm_20");
    const auto ls = f.run({"snap", "todo"});
    EXPECT_EQ(ls.status, 0);
    EXPECT_EQ(ls.out, "/dev/gone/jxr_10\n/dev/gone/jxm_20\n");
    // Neither matches a snapshot or a volume any more: retrying drops them.
    const auto retry = f.run({"snap", "todo", "--retry"});
    EXPECT_EQ(retry.status, 0) << retry.err;
    EXPECT_EQ(retry.out, "");
}

TEST(FlrRp, RegisteringAHostWithoutRecoveryPointsSendsAnEmptyList) {
    FLR_REQUIRE_TOOL();
    SnapFixture f;
    const auto r = f.run({"rp", "register"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "sent 0 recovery point(s), 0 snapshot(s)\n");
    EXPECT_NE(f.outbox().find(R"("kind":"createCP","client":4,)"), std::string::npos);
    const auto json = f.run({"rp", "register", "--json"});
    EXPECT_NE(json.out.find(R"("consistencyPoints":[],"snapshots":[],"snapPairs":[],)"),
              std::string::npos);
}

TEST(FlrSnap, RecoveryPointOnABtrfsImage) {
    FLR_REQUIRE_TOOL();
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a btrfs image";
    if (::access("/dev/loop-control", F_OK) != 0) GTEST_SKIP() << "no loop devices";
    flrtest::HostVolumeLock hostLock;
    SnapFixture f;
    const std::string image = f.dir.file("img"), mnt = f.dir.file("replica");
    ::mkdir(mnt.c_str(), 0755);
    flrtest::writeFile(image, "");
    if (::truncate(image.c_str(), 128ll << 20) != 0) GTEST_SKIP() << "cannot size the image";
    if (JxProcess::run({"mkfs.btrfs", "-q", "-f", image}).status != 0)
        GTEST_SKIP() << "mkfs.btrfs unavailable";
    if (JxProcess::run({"mount", "-o", "loop", image, mnt}).status != 0)
        GTEST_SKIP() << "cannot loop-mount btrfs";

    const auto create = f.run(
        {"snap", "create", mnt, "--type", "rp", "--set", "4", "--job", "99", "--max-per-set", "3"});
    EXPECT_EQ(create.status, 0) << create.err;
    EXPECT_EQ(create.out.rfind("created " + mnt + "/.flrsnap/jxr_", 0), 0u) << create.out;
    const auto ls = f.run({"snap", "ls", mnt, "--json"});
    EXPECT_EQ(ls.status, 0) << ls.err;
    EXPECT_NE(ls.out.find(R"({"type":"rp","set":4,"job":99,)"), std::string::npos) << ls.out;
    EXPECT_NE(ls.out.find("\"mountPoint\":\"" + mnt + "/.flrsnap/jxr_"), std::string::npos);
    const std::string snap = create.out.substr(8, create.out.find(',') - 8);
    const auto rm = f.run({"snap", "rm", snap});
    EXPECT_EQ(rm.status, 0) << rm.err;
    EXPECT_EQ(rm.out, "removed " + snap + "\n");
    EXPECT_EQ(f.run({"snap", "ls", mnt}).out.find("jxr_"), std::string::npos);
    JxProcess::run({"umount", mnt});
}

}  // namespace
