// A tail's listing for a remote verify: batches stay bounded however large
// the replica, records come in canonical order without the tail's own
// files, and paths outside the root are refused with a reason the head
// shows.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "FLR/FlrRemoteVerify.h"
#include "FLR/JxException.h"
#include "TailApplyFixture.h"
#include "apply/FlrTreeListing.h"
#include "link/SdtNetLink.h"

using namespace tailtest;

namespace {

constexpr int kFiles = 3000;
constexpr size_t kBatch = 256u << 10;

struct VerifyAnswer : ::testing::Test {
    Registry registry;
    flrtest::TempDir tmp;
    std::string root = tmp.file("dst");
    std::string src = tmp.file("src");
    void SetUp() override {
        ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
        ASSERT_EQ(::mkdir(src.c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((root + "/r").c_str(), 0755), 0);
        ASSERT_EQ(::mkdir((src + "/..r").c_str(), 0755), 0);  // a name, not a parent
        flrtest::writeFile(root + "/r/..r", "");
        // Long names: the listing is several batches.
        for (int i = 0; i < kFiles; ++i)
            flrtest::writeFile(root + "/r/" + std::string(200, 'n') + std::to_string(i), "x");
    }
};

TEST_F(VerifyAnswer, ALargeReplicaIsListedInBoundedBatchesInCanonicalOrder) {
    ASSERT_EQ(::mkdir((root + "/.flrsnap").c_str(), 0700), 0);
    flrtest::writeFile(root + "/r/.f.flrtmp.0123456789abcdef", "half applied");
    Tail tail(root);
    Head head(tail.port());
    FlrNetMessage req(FLR_NET_VERIFY_REQ);
    req.verifyReq = {0, ""};
    const std::string path = root;
    req.verifyReq.path = path.c_str();
    head.net.sendMessage(req, 30, true);

    int batches = 0;
    uint64_t records = 0;
    std::string last;
    bool first = true;
    for (;;) {
        FlrNetMessage m;
        ASSERT_EQ(0, head.net.recvMessage(&m, 30));
        if (m.type == FLR_NET_VERIFY_END) {
            EXPECT_EQ(0, m.verifyEnd.status) << m.verifyEnd.text;
            EXPECT_EQ(records, m.verifyEnd.entries);
            break;
        }
        ASSERT_EQ(FLR_NET_VERIFY_ENTRIES, m.type);
        ++batches;
        const size_t len = static_cast<size_t>(m.verifyEntries.len);
        EXPECT_LT(len, kBatch + 1024);  // one record past the mark at most
        const auto* data = static_cast<const unsigned char*>(m.verifyEntries.data);
        for (size_t pos = 0; pos < len; ++records) {
            FlrTreeRecord r;
            FlrTreeRecordCodec::take(data, len, &pos, &r);
            EXPECT_EQ(std::string::npos, r.rel.find(".flrsnap")) << r.rel;
            EXPECT_EQ(std::string::npos, r.rel.find(".flrtmp.")) << r.rel;
            if (!first) {
                EXPECT_LT(FlrTreeRecordCompare::order(last, r.rel), 0) << r.rel;
            }
            first = false;
            last = r.rel;
        }
    }
    EXPECT_GE(batches, 3);
    EXPECT_EQ(static_cast<uint64_t>(kFiles) + 3, records);  // "", r, r/..r and the files
}

TEST_F(VerifyAnswer, PathsOutsideTheRootAreRefusedAndInsideComparedOverTheLink) {
    Tail tail(root);
    struct Case {
        std::string path;
        const char* says;  // "" = the comparison runs
    };
    const std::vector<Case> cases = {
        {"../dst", "refused"},
        {"/etc", "refused"},
        {root + "/r/../r", "refused"},
        {".flrsnap", "refused"},
        {root + "/missing", "cannot open"},
        {root + "/r", ""},
        {"r", ""},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.path);
        tailtest::Head head(tail.port());
        if (!*k.says) {
            const FlrTreeVerifyResult r = flrVerifyRemote(src, head.net, k.path, {});
            // Every file is extra and "..r" a folder on this side.
            EXPECT_EQ(kFiles + 1, r.differences);
            continue;
        }
        try {
            flrVerifyRemote(src, head.net, k.path, {});
            ADD_FAILURE() << "accepted";
        } catch (const JxException& e) {
            EXPECT_NE(std::string::npos, e.getMessage().find(k.says)) << e.getMessage();
        }
    }
}

// Digesting a sparse terabyte would take many minutes: a head that hangs up
// meanwhile ends its session within a chunk.
TEST_F(VerifyAnswer, AHeadThatHangsUpEndsTheListingInsideAHugeFile) {
    flrtest::writeFile(root + "/r/huge", "");
    if (::truncate((root + "/r/huge").c_str(), off_t{1} << 40) != 0)
        GTEST_SKIP() << "no sparse file of a terabyte here";
    Tail tail(root);
    auto head = std::make_unique<Head>(tail.port());
    FlrNetMessage req(FLR_NET_VERIFY_REQ);
    req.verifyReq = {0, "r"};
    head->net.sendMessage(req, 30, true);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    head.reset();
    const auto hungUp = std::chrono::steady_clock::now();
    while (tail.service->stats().sessions > 0 &&
           std::chrono::steady_clock::now() - hungUp < std::chrono::seconds(10))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(tail.service->stats().sessions, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - hungUp, std::chrono::seconds(3));
}

}  // namespace

namespace verifyVersions {

// An older tail lists in the plain form: its replica's nanoseconds and
// attributes cannot be compared, and the result says so instead of
// calling the trees the same on their account.
TEST(VerifyAnswerVersions, AnOlderTailComparesSecondsOnlyAndSaysSo) {
    struct Case {
        uint32_t version;  // announced by both ends; 0: this build's
        long long differences;
        const char* note;  // "" = none
    };
    const std::vector<Case> cases = {
        {0, 2, ""},
        {10, 0,
         "the tail speaks link version 10: nanoseconds of modification times, extended "
         "attributes and ACLs were not compared"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.version);
        tailtest::Registry registry;
        flrtest::TempDir tmp;
        const std::string src = tmp.file("src"), root = tmp.file("dst");
        ASSERT_EQ(0, ::mkdir(src.c_str(), 0755));
        ASSERT_EQ(0, ::mkdir(root.c_str(), 0755));
        flrtest::writeFile(src + "/f", "same");
        flrtest::writeFile(root + "/f", "same");
        if (::setxattr((root + "/f").c_str(), "user.extra", "1", 1, 0) != 0)
            GTEST_SKIP() << "no user xattrs here";
        const struct timespec a[2] = {{1, 0}, {1700000000, 1}}, b[2] = {{1, 0}, {1700000000, 2}};
        ASSERT_EQ(0, ::utimensat(AT_FDCWD, (src + "/f").c_str(), a, 0));
        ASSERT_EQ(0, ::utimensat(AT_FDCWD, (root + "/f").c_str(), b, 0));

        SdtNetLink::setAdvertisedVersionForTests(k.version);
        tailtest::Tail tail(root);
        tailtest::Head head(tail.port());
        FlrTreeVerifyOptions o;
        o.mtimes = true;
        const FlrTreeVerifyResult r = flrVerifyRemote(src, head.net, root, o);
        SdtNetLink::setAdvertisedVersionForTests(0);
        EXPECT_EQ(k.differences, r.differences);
        if (*k.note) {
            ASSERT_EQ(1u, r.notes.size());
            EXPECT_EQ(k.note, r.notes[0]);
        } else {
            EXPECT_TRUE(r.notes.empty()) << r.notes[0];
        }
    }
}

}  // namespace verifyVersions
