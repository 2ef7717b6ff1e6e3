// The LVM and LVM-on-LUKS engines: report parsing, copy-on-write sizing,
// mount options, and the exact commands run against the fake tools.
#include <gtest/gtest.h>

#include <sstream>

#include "FLR/JxException.h"
#include "SnapFakes.h"
#include "mgmt/JXPassword.h"
#include "platform/EvDebug.h"
#include "platform/JXPlatformInfo.h"
#include "snap/FlrSnapOSLinux.h"

using flrtest::FakeHost;
using Argv = std::vector<std::string>;

namespace {

const char* const kReport = R"(  --- Volume group ---
  VG Name               vg00

  --- Logical volume ---
  LV Path                /dev/vg00/jxr_10
  LV Name                jxr_10
  LV UUID                SNAP-UUID-10
  LV snapshot status     active destination for home
  LV Status              available

  --- Logical volume ---
  LV Path                /dev/vg00/home
  LV Name                home
  LV UUID                HOME-UUID
  LV snapshot status     source of
                         /dev/vg00/jxr_10 [active]

  --- Logical volume ---
  LV Path                /dev/vg00/thin
  LV Name                thin
  LV UUID                THIN-UUID

  --- Logical volume ---
  LV Path                /dev/vg00/jxm_20
  LV Name                jxm_20
  LV Thin origin name    thin

  --- Logical volume ---
  LV Path                /dev/vg00/orphan
  LV snapshot status     active destination for gone

  --- Logical volume ---
  LV Path                relative/ignored
)";

TEST(FlrSnapOSLvm, ParsesVolumesAndAttachesSnapshots) {
    for (bool oldTools : {false, true}) {
        SCOPED_TRACE(oldTools ? "paths under LV Name" : "LV Path");
        std::string report = kReport;
        if (oldTools) {
            // Older tools print the path under "LV Name" and have no "LV Path".
            std::string out;
            std::istringstream in(report);
            for (std::string line; std::getline(in, line);)
                if (line.find("  LV Name") != 0) out += line + "\n";
            report = out;
            for (size_t at; (at = report.find("LV Path")) != std::string::npos;)
                report.replace(at, 7, "LV Name");
        }
        const auto lvs = FlrSnapOS_LV_linux_lvm::parseVgdisplay(report);
        ASSERT_EQ(lvs.size(), 2u);
        const auto& home = lvs.front();
        EXPECT_EQ(home->rdev.path, "/dev/vg00/home");
        EXPECT_EQ(home->name, "HOME-UUID");
        EXPECT_EQ(home->engine, FLR_SNAP_ENG_LINUX_LVM);
        EXPECT_EQ(home->getMaxNumSnaps(), 32);
        ASSERT_EQ(home->snaps.size(), 1u);
        EXPECT_EQ(home->snaps.front()->rdev.path, "/dev/vg00/jxr_10");
        EXPECT_EQ(home->snaps.front()->name, "SNAP-UUID-10");
        const auto& thin = lvs.back();
        EXPECT_EQ(thin->rdev.path, "/dev/vg00/thin");
        ASSERT_EQ(thin->snaps.size(), 1u);
        // No UUID line: the path is the name.
        EXPECT_EQ(thin->snaps.front()->name, "/dev/vg00/jxm_20");
        EXPECT_FALSE(thin->snaps.front()->isOrdered());
        EXPECT_TRUE(thin->snaps.front()->isUnMountable());
    }
    EXPECT_TRUE(FlrSnapOS_LV_linux_lvm::parseVgdisplay("  No volume groups found\n").empty());
}

TEST(FlrSnapOSLvm, CopyOnWriteSize) {
    auto line = [](unsigned long long sectors) {
        return "  /dev/vg00/home:vg00:3:1:-1:1:" + std::to_string(sectors) + ":256:-1:0:-1:253:3\n";
    };
    const unsigned long long GB = 2097152;  // sectors
    const struct {
        unsigned long long sectors;
        int requested;
        unsigned percentage;
        int expected;
    } cases[] = {
        {GB, 4096, 0, 1024},          // limited to the origin
        {2048 * GB, 4096, 0, 51200},  // 5 % capped
        {200 * GB, 4096, 0, 10240},   // 5 %
        {200 * GB, 20000, 0, 20000},  // the request is larger
        {GB, 4096, 10, 102},          // percentage also after limiting
        {200 * GB, 4096, 10, 20480},  // percentage
        {GB + 1, 4096, 0, 1025},      // rounded up
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sectors);
        EXPECT_EQ(FlrSnapOS_LV_linux_lvm::cowSizeMB("/dev/vg00/home", c.requested, line(c.sectors),
                                                    c.percentage),
                  c.expected);
    }
    for (const char* bad : {"", "a:b:c", "  /dev/x:vg:3:1:-1:1:12x:256", "/dev/x:vg:3:1:-1:1:0:1",
                            "/dev/x:vg:3:1:-1:1:-5:1"})
        EXPECT_EQ(FlrSnapOS_LV_linux_lvm::cowSizeMB("/dev/x", 4096, bad, 0), 4096) << bad;

    EvDebugCapture log;
    FlrSnapOS_LV_linux_lvm::cowSizeMB("/dev/vg00/home", 4096, line(GB), 0);
    EXPECT_TRUE(log.contains(
        "Since /dev/vg00/home is only 1048576KB in size, limiting COW space to 1024MB"));
}

TEST(FlrSnapOSLinux, SnapshotMountOptions) {
    const struct {
        const char* origin;
        const char* fs;
        const char* expected;
    } cases[] = {
        {"rw,acl,user_xattr", "ext4", "ro,acl,user_xattr"},
        {"rw,relatime", "xfs", "ro,nouuid,norecovery"},
        {"rw,noacl,nouser_xattr", "ext4", "ro"},
        {"user_xattr,acl", "ext4", "ro,acl,user_xattr"},
        {"", "", "ro"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FlrSnapOS_LV_linux::snapMountOptions(c.origin, c.fs), c.expected) << c.origin;
}

std::string lvState(const std::string& attr, const std::string& extra = "") {
    return R"({"lvs": [{"path": "/dev/vg00/home", "uuid": "HOME-UUID", "sectors": 2097152,
               "attr": ")" +
           attr + R"(", "fstype": "ext4"}])" + extra + "}";
}

SP<FlrSnapOS::LV> onlyVolume() {
    auto lvs = FlrSnapOS_LV_linux_lvm::getLVList();
    EXPECT_EQ(lvs.size(), 1u);
    return lvs.front();
}

TEST(FlrSnapOSLvm, ClassicAndThinSnapshotCommands) {
    const struct {
        const char* attr;
        const char* readOnly;  // null: not set
        Argv lvcreate;
        bool activated;
    } cases[] = {
        {"-wi-ao----",
         nullptr,
         {"lvcreate", "--snapshot", "--size", "1024M", "--name", "jxm_1", "/dev/vg00/home"},
         false},
        {"-wi-ao----",
         "yes",
         {"lvcreate", "--snapshot", "--size", "1024M", "--name", "jxm_1", "--permission", "r",
          "/dev/vg00/home"},
         false},
        {"-wi-ao----",
         "no",
         {"lvcreate", "--snapshot", "--size", "1024M", "--name", "jxm_1", "/dev/vg00/home"},
         false},
        {"Vwi-aotz--", "", {"lvcreate", "--snapshot", "--name", "jxm_1", "/dev/vg00/home"}, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.attr) + " " + (c.readOnly ? c.readOnly : "unset"));
        FakeHost host(lvState(c.attr));
        if (c.readOnly)
            JXPlatformInfo::setString("FileSystemAgent", "sUseReadOnlyLVMSnap", c.readOnly);
        auto lv = onlyVolume();
        std::string path = "untouched";
        SP<FlrSnapOS::Snap> s = lv->snap(4096, "jxm_1", &path);
        EXPECT_EQ(path, "untouched");
        ASSERT_TRUE(s);
        EXPECT_EQ(s->rdev.path, "/dev/vg00/jxm_1");
        EXPECT_FALSE(s->name.empty());
        ASSERT_EQ(host.calls("lvcreate").size(), 1u);
        EXPECT_EQ(host.calls("lvcreate")[0].argv, c.lvcreate);
        EXPECT_EQ(host.calls("lvdisplay").size(), c.activated ? 0u : 1u);
        if (c.activated)
            EXPECT_EQ(host.calls("lvchange").at(0).argv,
                      (Argv{"lvchange", "-ay", "-K", "/dev/vg00/jxm_1"}));
        else
            EXPECT_TRUE(host.calls("lvchange").empty());

        s->unSnap();
        EXPECT_EQ(host.calls("lvremove").at(0).argv, (Argv{"lvremove", "-f", "/dev/vg00/jxm_1"}));
    }
}

TEST(FlrSnapOSLvm, FailuresCarryTheToolsText) {
    FakeHost host(lvState("-wi-ao----", R"(, "fail": {"lvcreate": "Insufficient free space"})"));
    auto lv = onlyVolume();
    try {
        lv->snap(4096, "jxm_1", nullptr);
        FAIL() << "no exception";
    } catch (const JxException& e) {
        EXPECT_EQ(e.getFunction(), "FlrSnapOS_LV_linux_lvm::snap");
        EXPECT_EQ(e.getSource(), "FlrSnapOS_linux_lvm");
        EXPECT_EQ(e.getMessage(),
                  "Failed to create snapshot of device /dev/vg00/home with name jxm_1 and size "
                  "1024MB: Insufficient free space\n");
    }
    SP<FlrSnapOS::LV> bad(
        new FlrSnapOS_LV_linux_lvm(FlrSnapOS::RDEV("home"), "x", FLR_SNAP_ENG_LINUX_LVM));
    EXPECT_THROW(
        {
            try {
                bad->snap(1, "jxm_1", nullptr);
            } catch (const JxException& e) {
                EXPECT_EQ(e.getMessage(), "Can't snap home: Invalid device name.");
                throw;
            }
        },
        JxException);
    host.setState(R"({"lvs": [], "fail": {"vgdisplay": "no lvm"}})");
    try {
        FlrSnapOS_LV_linux_lvm::getLVList();
        FAIL() << "no exception";
    } catch (const JxException& e) {
        EXPECT_EQ(e.getMessage(), "Failed to get the list of logical volumes: no lvm\n");
    }
}

// ---------------------------------------------------------------------------
// LUKS

const char* const kLuksState = R"({
  "lvs": [{"path": "/dev/vg00/home", "uuid": "HOME-UUID", "sectors": 2097152,
           "attr": "-wi-ao----"}],
  "crypt": [{"name": "home_crypt", "device": "/dev/vg00/home", "uuid": "CRYPT-HOME"}],
  "luksKeys": {"/dev/vg00/home": "pa$$ \"word\" $(id) ;`x`"}
})";
const std::string kPassphrase = "pa$$ \"word\" $(id) ;`x`";

SP<FlrSnapOS_LV_linux_lvm_LUKS> luksVolume() {
    for (auto& lv : FlrSnapOS_LV_linux_lvm::getLVList())
        if (auto l = lv.cast<FlrSnapOS_LV_linux_lvm_LUKS>()) return l;
    return SP<FlrSnapOS_LV_linux_lvm_LUKS>();
}

TEST(FlrSnapOSLuks, PassphraseOnlyOnStandardInput) {
    FakeHost host(kLuksState);
    ASSERT_EQ(JXPassword::setSecret("Lukspassphrase_home_crypt", kPassphrase), 0);
    ASSERT_EQ(JXPassword::setSecret("Lukspassphrase", "the other one"), 0);
    auto lv = luksVolume();
    ASSERT_TRUE(lv);
    EXPECT_EQ(lv->rdev.path, "/dev/mapper/home_crypt");
    EXPECT_EQ(lv->name, "CRYPT-HOME");
    ASSERT_TRUE(lv->parentLV);
    EXPECT_EQ(lv->parentLV->rdev.path, "/dev/vg00/home");

    EvDebugCapture log;
    SP<FlrSnapOS::Snap> s = lv->snap(4096, "jxr_5", nullptr);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->rdev.path, "/dev/mapper/jxr_5");
    EXPECT_EQ(s->name.rfind("CRYPT-LUKS2-", 0), 0u);
    const auto open = host.calls("cryptsetup");
    ASSERT_FALSE(open.empty());
    EXPECT_EQ(open.back().argv,
              (Argv{"cryptsetup", "luksOpen", "/dev/vg00/jxr_5", "jxr_5", "--key-file=-"}));
    EXPECT_EQ(open.back().input, kPassphrase);  // the per-device one wins
    for (const auto& c : host.calls())
        for (const auto& a : c.argv) EXPECT_EQ(a.find("word"), std::string::npos) << a;
    for (const auto& l : log.lines()) EXPECT_EQ(l.text.find("word"), std::string::npos) << l.text;
    EXPECT_TRUE(
        log.contains("Command [cryptsetup luksOpen /dev/vg00/jxr_5 jxr_5 --key-file=- < *****]"));

    // Listed again, the LVM snapshot under the mapping is reached only through it.
    auto again = FlrSnapOS_LV_linux_lvm::getLVList();
    ASSERT_EQ(again.size(), 2u);
    EXPECT_TRUE(again.front()->snaps.empty());
    auto luks = again.back().cast<FlrSnapOS_LV_linux_lvm_LUKS>();
    ASSERT_TRUE(luks);
    ASSERT_EQ(luks->snaps.size(), 1u);
    host.clearCalls();
    luks->snaps.front()->unSnap();
    const auto calls = host.calls();
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].argv, (Argv{"cryptsetup", "remove", "/dev/mapper/jxr_5"}));
    EXPECT_EQ(calls[1].argv, (Argv{"lvremove", "-f", "/dev/vg00/jxr_5"}));
}

TEST(FlrSnapOSLuks, WrongKeyLeavesNoSnapshotAndNoSecretInTheMessage) {
    FakeHost host(kLuksState);
    ASSERT_EQ(JXPassword::setSecret("Lukspassphrase", "wrong secret"), 0);
    auto lv = luksVolume();
    ASSERT_TRUE(lv);
    try {
        lv->snap(4096, "jxr_6", nullptr);
        FAIL() << "no exception";
    } catch (const JxException& e) {
        EXPECT_EQ(e.getMessage(),
                  "Failed to snap /dev/mapper/home_crypt: No key available with "
                  "this passphrase.\n");
    }
    EXPECT_EQ(host.calls("cryptsetup").back().input, "wrong secret");
    EXPECT_EQ(host.calls("lvremove").at(0).argv, (Argv{"lvremove", "-f", "/dev/vg00/jxr_6"}));
}

TEST(FlrSnapOSLuks, KeyFileFromCrypttab) {
    FakeHost host(kLuksState);
    const std::string crypttab = host.dir() + "/crypttab";
    FlrSnapOS_LV_linux_lvm_LUKS::setCrypttabFile(crypttab);
    const struct {
        const char* crypttab;
        const char* reason;  // null: key file /keys/home.key
    } cases[] = {
        {"# comment\nhome_crypt_old UUID=1 /keys/old.key\nhome_crypt UUID=2 /keys/home.key luks\n",
         nullptr},
        {"home_crypt\tUUID=2\tnone\n", "Keyfile is set to 'none' for home_crypt in /etc/crypttab."},
        {"other UUID=2 /keys/x\n", "Keyfile not found for home_crypt in /etc/crypttab."},
        {"", "Keyfile not found for home_crypt in /etc/crypttab."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.crypttab);
        flrtest::writeFile(crypttab, c.crypttab);
        eLUKS_KeyType type{};
        std::string pass, file, reason;
        const int rc = FlrSnapOS_LV_linux_lvm_LUKS::GetLuksKey("/dev/mapper/home_crypt", type, pass,
                                                               file, &reason);
        if (!c.reason) {
            EXPECT_EQ(rc, 0);
            EXPECT_EQ(type, LUKS_KEY_KEYFILE);
            EXPECT_EQ(file, "/keys/home.key");
            continue;
        }
        EXPECT_NE(rc, 0);
        EXPECT_EQ(reason, c.reason);
        auto lv = luksVolume();
        ASSERT_TRUE(lv);
        try {
            lv->snap(4096, "jxr_7", nullptr);
            FAIL() << "no exception";
        } catch (const JxException& e) {
            EXPECT_EQ(e.getMessage(),
                      std::string("Failed to snap /dev/mapper/home_crypt : ") + c.reason);
        }
    }
    // The key file goes to cryptsetup as an argument.
    host.setState(R"({
      "lvs": [{"path": "/dev/vg00/home", "uuid": "HOME-UUID", "attr": "-wi-ao----"}],
      "crypt": [{"name": "home_crypt", "device": "/dev/vg00/home", "uuid": "CRYPT-HOME"}],
      "luksKeys": {"/dev/vg00/home": "/keys/home.key"}})");
    flrtest::writeFile(crypttab, "home_crypt UUID=2 /keys/home.key\n");
    auto lv = luksVolume();
    ASSERT_TRUE(lv);
    lv->snap(4096, "jxr_8", nullptr);
    EXPECT_EQ(host.calls("cryptsetup").back().argv,
              (Argv{"cryptsetup", "luksOpen", "/dev/vg00/jxr_8", "jxr_8", "-d", "/keys/home.key"}));
    FlrSnapOS_LV_linux_lvm_LUKS::setCrypttabFile("");
}

}  // namespace
