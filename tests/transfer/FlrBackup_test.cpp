// The driver's settings: path translation, cluster filter, registry
// switches and the choice of method per file.
#include "transfer/FlrBackup.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "FLR/JxException.h"
#include "digest/Jxc.h"
#include "net/FlrNetHead.h"
#include "platform/EvDebug.h"
#include "platform/JXPlatformInfo.h"
#include "support/TestSupport.h"

namespace {

struct Driver {
    flrtest::ScopedRegistry registry;
    FlrNetHead head;
    JxSafeFlags abortFlag;
    std::unique_ptr<FlrBackup> make() {
        return std::make_unique<FlrBackup>(&head, &abortFlag, nullptr);
    }
};

TEST(FlrBackupSettings, NullArgumentsAreRefused) {
    FlrNetHead head;
    JxSafeFlags flags;
    for (int i = 0; i < 2; ++i) {
        try {
            FlrBackup b(i == 0 ? nullptr : &head, i == 1 ? nullptr : &flags, nullptr);
            FAIL() << "constructed with a null argument";
        } catch (const JxException& e) {
            EXPECT_EQ("Invalid arguments: NULL pointers passed as input.", e.getMessage());
            EXPECT_EQ("FlrBackup::FlrBackup", e.getFunction());
        }
    }
}

TEST(FlrBackupSettings, TranslateTakesTheLongestMatchingPair) {
    Driver d;
    auto b = d.make();
    b->addDirPair("/data", "/r/data");
    b->addDirPair("/data/sub/", "/s/");
    b->addDirPair("/", "/root-copy");
    b->addDirPair("/a/", "/b/");
    b->addDirPair("/a", "/c");  // same source after stripping: ignored
    struct Case {
        const char* path;
        const char* expected;
        const char* matchedSrc;
    } cases[] = {
        {"/data/sub/x", "/s/x", "/data/sub"},
        {"/data/subway", "/r/data/subway", "/data"},
        {"/data", "/r/data", "/data"},
        {"/etc/passwd", "/root-copy/etc/passwd", "/"},
        {"/a/f", "/b/f", "/a"},
    };
    for (const Case& c : cases) {
        const FlrBackup::DirPair* matched = nullptr;
        EXPECT_EQ(c.expected, b->translate(c.path, &matched)) << c.path;
        ASSERT_NE(nullptr, matched) << c.path;
        EXPECT_EQ(c.matchedSrc, matched->src) << c.path;
    }
    ASSERT_EQ(4u, b->getDirPairs().size());
    EXPECT_EQ("/b", b->getDirPairs()[3].dst);
}

TEST(FlrBackupSettings, TranslateWithoutAMatchKeepsThePath) {
    Driver d;
    auto b = d.make();
    const FlrBackup::DirPair dummy;
    const FlrBackup::DirPair* matched = &dummy;
    EXPECT_EQ("/x/y", b->translate("/x/y", &matched));
    b->addDirPair("/data", "/r");
    matched = nullptr;
    EXPECT_EQ("/database/x", b->translate("/database/x", &matched));
    EXPECT_EQ(nullptr, matched);
    EXPECT_EQ("/elsewhere",
              FlrBackup::translate("/elsewhere", FlrBackup::DirPair{"/data", "/r", nullptr}));
}

// A path whose SHA-1 digest starts with the given byte.
std::string pathWithDigestByte(unsigned char first) {
    for (int i = 0;; ++i) {
        const std::string p = "/data/f" + std::to_string(i);
        unsigned char d[20];
        Jxc::sha1(p.data(), p.size(), d);
        if (d[0] == first) return p;
    }
}

TEST(FlrBackupSettings, ClusterNodeSetting) {
    struct Case {
        const char* text;
        int node;
        int size;
        const char* log;
    } cases[] = {
        {"2/3", 2, 3, "This is cluster node 2 of 3 (ZRP/sClusterNodeID)"},
        {"3/3", 3, 3, "This is cluster node 3 of 3 (ZRP/sClusterNodeID)"},
        {"4/3", 0, 0, "Invalid ZRP/sClusterNodeID=4/3"},
        {"0/3", 0, 0, "Invalid ZRP/sClusterNodeID=0/3"},
        {"2", 0, 0, "Invalid ZRP/sClusterNodeID=2"},
        {"x/y", 0, 0, "Invalid ZRP/sClusterNodeID=x/y"},
        {"2/3x", 0, 0, "Invalid ZRP/sClusterNodeID=2/3x"},
    };
    for (const Case& c : cases) {
        Driver d;
        ASSERT_EQ(0, JXPlatformInfo::setString("ZRP", "sClusterNodeID", c.text));
        EvDebugCapture log;
        auto b = d.make();
        EXPECT_EQ(c.node, b->getClusterNode()) << c.text;
        EXPECT_EQ(c.size, b->getClusterSize()) << c.text;
        EXPECT_TRUE(log.contains(c.log)) << c.text;
    }
}

TEST(FlrBackupSettings, ClusterFilterByFirstDigestByte) {
    Driver d;
    ASSERT_EQ(0, JXPlatformInfo::setString("ZRP", "sClusterNodeID", "2/3"));
    auto b = d.make();
    EXPECT_TRUE(b->handledByThisNode(pathWithDigestByte(4)));  // 4 mod 3 + 1 = 2
    EXPECT_FALSE(b->handledByThisNode(pathWithDigestByte(5)));
    EXPECT_FALSE(b->handledByThisNode(pathWithDigestByte(3)));
    Driver none;
    EXPECT_TRUE(none.make()->handledByThisNode(pathWithDigestByte(5)));
}

TEST(FlrBackupSettings, RegistrySwitches) {
    Driver d;
    ASSERT_EQ(0, JXPlatformInfo::setString("ZRP", "nDisableMD5", "1"));
    ASSERT_EQ(0, JXPlatformInfo::setString("ZRP", "nDisableLBFS", "2"));
    ASSERT_EQ(0, JXPlatformInfo::setString("ZRP", "nDisableRSync", "0"));
    ASSERT_EQ(0, JXPlatformInfo::setString("ZRP", "bNoACL", "1"));
    EvDebugCapture log;
    auto b = d.make();
    EXPECT_TRUE(b->isMD5Disabled());
    EXPECT_FALSE(b->isRSyncDisabled());
    EXPECT_TRUE(b->isLBFSDisabled());
    EXPECT_FALSE(b->hasACLHelper());
    EXPECT_TRUE(log.contains("Disabling dedup as per ZRP/nDisableMD5"));
    EXPECT_TRUE(log.contains("Disabling dedup as per ZRP/nDisableLBFS"));
    EXPECT_FALSE(log.contains("Disabling dedup as per ZRP/nDisableRSync"));
    EXPECT_TRUE(log.contains("bNoACL is set in registry. Not mirroring ACLs."));
    EXPECT_TRUE(log.contains("Default minimum file size for hashing: 65536"));
    EXPECT_TRUE(log.contains("Default maximum file size for RSync: 104857600"));
    EXPECT_TRUE(log.contains("Default hash chunk size: 32768"));
}

TEST(FlrBackupSettings, MethodChoice) {
    Driver d;
    auto b = d.make();
    b->rsyncMaxFileSize = 10000;
    struct Case {
        bool md5, rsync;
        long long size, threshold;
        int method;
    } cases[] = {
        {true, false, 999, 1000, FlrNetMirHeader::kFull},
        {true, false, 1000, 1000, FlrNetMirHeader::kMD5},
        {true, false, 1LL << 40, -1, FlrNetMirHeader::kFull},
        {true, true, 10000, 0, FlrNetMirHeader::kMD5},
        {true, true, 9999, 0, FlrNetMirHeader::kRSync},
        {false, true, 1LL << 40, 0, FlrNetMirHeader::kRSync},
        {false, true, 5, 6, FlrNetMirHeader::kFull},
    };
    for (const Case& c : cases) {
        b->useMD5 = c.md5;
        b->useRSync = c.rsync;
        EXPECT_EQ(c.method, b->chooseMethod(c.size, c.threshold))
            << c.md5 << c.rsync << " " << c.size << " " << c.threshold;
    }
}

// A learned threshold between 2^31 and 2^32 would read as a negative 32-bit
// number, below every file size.
TEST(FlrBackupSettings, LearnedThresholdAbove2GiBStaysPositive) {
    Driver d;
    auto b = d.make();
    b->hashMinFileSize = 0;
    EXPECT_EQ(0, b->checksumThreshold());  // nothing learned yet: compare all
    {
        std::lock_guard<std::mutex> lock(b->adaptiveLock());
        FlrAdaptiveMD5& m = b->adaptive();
        for (unsigned long long x : {1000ULL, 2000ULL, 3000ULL}) {
            m.addNetSample(x, x);                           // 1 us per byte on the network
            m.addLMD5Sample(x, x / 20);                     // 0.05 us per byte hashing
            m.addRMD5Sample(x, 200000000ULL + x * 9 / 10);  // 200 s fixed, 0.9 per byte
        }
    }
    const long long threshold = b->checksumThreshold();
    EXPECT_GT(threshold, static_cast<long long>(INT_MAX));
    EXPECT_LT(threshold, 1LL << 32);
    b->useMD5 = true;
    EXPECT_EQ(FlrNetMirHeader::kFull, b->chooseMethod(1 << 20, threshold));
    b->hashMinFileSize = 4096;
    EXPECT_EQ(4096, b->checksumThreshold());
}

}  // namespace
