// Mount, unmount and the snapshot mount options on real file systems in loop
// images. Needs root, loop devices and mkfs; skipped with the reason elsewhere.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FLR/JxException.h"
#include "platform/JxProcess.h"
#include "snap/FlrSnapOSLinux.h"
#include "support/TestSupport.h"

using RDEV = FlrSnapOS::RDEV;

namespace {

// A file system in a loop image, detached and removed at the end.
class LoopImage {
  public:
    LoopImage(const std::string& image, const char* fsType, const char* size) : image_(image) {
        if (::geteuid() != 0) {
            skip_ = "needs root";
            return;
        }
        const std::string mkfs = std::string("mkfs.") + fsType;
        if (JxProcess::run({"truncate", "-s", size, image}).status != 0) {
            skip_ = "cannot make an image file";
            return;
        }
        const auto made =
            JxProcess::run({mkfs, "-q", fsType == std::string("xfs") ? "-f" : "-F", image});
        if (made.status != 0) {
            skip_ = mkfs + " is not available: " + made.error;
            return;
        }
        attach(image);
    }
    // A second device on an existing image (a copy of another).
    explicit LoopImage(const std::string& image) : image_(image) { attach(image); }
    ~LoopImage() {
        if (device_.empty()) return;
        // Whatever a failed case left mounted goes before the device does.
        JxProcess::run({"umount", "-l", device_});
        JxProcess::run({"losetup", "-d", device_});
    }
    const std::string& device() const { return device_; }
    const std::string& skipReason() const { return skip_; }

  private:
    void attach(const std::string& image) {
        const auto r = JxProcess::run({"losetup", "-f", "--show", image});
        if (r.status != 0) {
            skip_ = "no loop device: " + r.error;
            return;
        }
        device_ = r.output.substr(0, r.output.find('\n'));
    }
    std::string image_, device_, skip_;
};

class TestLV : public FlrSnapOS_LV_linux {
  public:
    using FlrSnapOS_LV_linux::FlrSnapOS_LV_linux;
    int getMaxNumSnaps() const override { return 1; }
    SP<FlrSnapOS::Snap> snap(int, const std::string&, std::string*) override { return nullptr; }
};

class TestSnap : public FlrSnapOS_Snap_linux {
  public:
    using FlrSnapOS_Snap_linux::FlrSnapOS_Snap_linux;
    bool isOrdered() const override { return false; }
    bool isTransient() const override { return false; }
    void unSnap() override {}
};

#define REQUIRE_IMAGE(img)                                               \
    if (!(img).skipReason().empty()) GTEST_SKIP() << (img).skipReason(); \
    ASSERT_FALSE((img).device().empty())

TEST(FlrSnapOSReal, MountBusyUnmountOnExt4) {
    flrtest::TempDir dir;
    LoopImage img(dir.file("ext4.img"), "ext4", "32M");
    REQUIRE_IMAGE(img);
    const std::string point = dir.file("mnt \"q\" $(id) ;x");
    ASSERT_EQ(::mkdir(point.c_str(), 0755), 0);

    FlrSnapOS::mount(RDEV(img.device()), point, "", "");
    std::string mounted, options, fsType;
    ASSERT_TRUE(FlrSnapOS::getMountDetail(RDEV(img.device()), &mounted, &options, &fsType));
    EXPECT_EQ(mounted, point);
    EXPECT_EQ(fsType, "ext4");

    const int fd = ::open((point + "/held").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(FlrSnapOS::unMount(point));  // busy: an answer, not an error
    EXPECT_TRUE(FlrSnapOS::getMountDetail(RDEV(img.device()), nullptr, nullptr, nullptr));
    ::close(fd);
    EXPECT_TRUE(FlrSnapOS::unMount(point));
    EXPECT_FALSE(FlrSnapOS::getMountDetail(RDEV(img.device()), nullptr, nullptr, nullptr));
    EXPECT_THROW(FlrSnapOS::unMount(point), JxException);  // not mounted any more
}

// A copy of a mounted image stands for a snapshot: same UUID, and for XFS a
// log that was never cleanly closed.
void mountSnapshotOfMountedOrigin(const char* fsType, const char* size,
                                  const std::string& expectedOptions) {
    flrtest::TempDir dir;
    LoopImage origin(dir.file("origin.img"), fsType, size);
    REQUIRE_IMAGE(origin);
    const std::string originPoint = dir.file("origin"), snapPoint = dir.file("snap");
    ::mkdir(originPoint.c_str(), 0755);
    ::mkdir(snapPoint.c_str(), 0755);
    FlrSnapOS::mount(RDEV(origin.device()), originPoint, "rw", "");
    flrtest::writeFile(originPoint + "/file", "content");
    // Frozen while copied, as the volume manager freezes it for a snapshot.
    ASSERT_EQ(JxProcess::run({"fsfreeze", "--freeze", originPoint}).status, 0);
    const int copied =
        JxProcess::run({"cp", "--sparse=always", dir.file("origin.img"), dir.file("snap.img")})
            .status;
    JxProcess::run({"fsfreeze", "--unfreeze", originPoint});
    ASSERT_EQ(copied, 0);
    LoopImage copy(dir.file("snap.img"));
    REQUIRE_IMAGE(copy);

    SP<TestLV> lv(new TestLV(RDEV(origin.device()), "origin", FLR_SNAP_ENG_LINUX_LVM));
    SP<FlrSnapOS::Snap> s(new TestSnap(RDEV(copy.device()), "snap", FLR_SNAP_ENG_LINUX_LVM));
    std::string originOptions, fs;
    ASSERT_TRUE(FlrSnapOS::getMountDetail(lv->rdev, nullptr, &originOptions, &fs));
    EXPECT_EQ(FlrSnapOS_LV_linux::snapMountOptions(originOptions, fs), expectedOptions);
    lv->mount(s, snapPoint);
    std::string options, snapFs;
    ASSERT_TRUE(FlrSnapOS::getMountDetail(RDEV(copy.device()), nullptr, &options, &snapFs));
    EXPECT_EQ(snapFs, fsType);
    EXPECT_EQ(options.rfind("ro,", 0), 0u) << options;
    EXPECT_EQ(flrtest::readFile(snapPoint + "/file"), "content");
    EXPECT_TRUE(FlrSnapOS::unMount(snapPoint));
    EXPECT_TRUE(FlrSnapOS::unMount(originPoint));
}

TEST(FlrSnapOSReal, SnapshotOfExt4MountsReadOnly) {
    mountSnapshotOfMountedOrigin("ext4", "32M", "ro");
}

TEST(FlrSnapOSReal, SnapshotOfXfsNeedsNoUuidNoRecovery) {
    mountSnapshotOfMountedOrigin("xfs", "320M", "ro,nouuid,norecovery");
}

}  // namespace
