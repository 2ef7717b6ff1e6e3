// Sparse files end to end: a replica holds the source's bytes and takes the
// space of its data, by every method, to a local and to a network tail, on
// a baseline and when an edit is rebuilt from the old copy.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "FLR/FlrReplicator.h"
#include "FLR/FlrTreeVerify.h"
#include "apply/TailApplyFixture.h"
#include "platform/JxSparse.h"
#include "support/SparseFile.h"
#include "support/TestSupport.h"

namespace {

using flrtest::allocatedBytes;
using flrtest::Extent;

constexpr int64_t kMiB = 1 << 20;
// Beyond its data a replica may take a few file system blocks: partial
// blocks at the extents' edges, the extent tree.
constexpr int64_t kSlack = 64 << 10;

struct SparseSpec {
    const char* rel;
    int64_t size;
    std::vector<Extent> extents;
};

// 64 MiB files (4 under sanitizers, which hash the holes' zeros slowly):
// data at the very start and end, a hole at the end, a file all hole.
const int64_t kSize = (flrtest::scaled(64) >= 64 ? 64 : 4) * kMiB;
const int64_t kMiddle = kSize / 4;
const std::vector<SparseSpec> kFiles = {
    {"extents", kSize, {{0, 64 << 10}, {kMiddle, 128 << 10}, {kSize - 65536, 65536}}},
    {"sub/holeAtEnd", kSize, {{kMiB, 256 << 10}}},
    {"sub/allHole", kSize, {}},
};

struct SparseTree {
    tailtest::Registry registry;  // the network tail's link secret
    flrtest::TempDir dir;
    std::string src = dir.file("src"), state = dir.file("state");
    bool holes = jx::keepsHoles(dir.path().c_str());
    int64_t dataBytes = 0;

    SparseTree() {
        ::mkdir(src.c_str(), 0755);
        ::mkdir((src + "/sub").c_str(), 0755);
        if (!holes) return;
        for (const SparseSpec& f : kFiles)
            dataBytes += flrtest::writeSparse(src + "/" + f.rel, f.size, f.extents);
    }

    FlrReplicateSummary replicate(const std::string& method, const std::string& target) {
        FlrReplicateOptions o;
        o.source = src;
        o.target = target;
        o.method = method;
        o.stateRoot = state;
        return FlrReplicator(o).run();
    }

    // An edit inside the middle extent: the rest of the file is the old
    // copy's, holes included.
    void editMiddle() {
        const std::string edit = flrtest::noZeros(4096, 77);
        const int fd = ::open((src + "/extents").c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, edit.data(), edit.size(), kMiddle + 8192), 4096);
        ::close(fd);
    }

    void expectSparseReplica(const std::string& dst) {
        EXPECT_TRUE(FlrTreeVerify().compare(src, dst).same());
        for (const SparseSpec& f : kFiles) {
            SCOPED_TRACE(f.rel);
            int64_t data = 0;
            for (const Extent& e : f.extents) data += e.length;
            struct stat st {};
            ASSERT_EQ(0, ::stat((dst + "/" + f.rel).c_str(), &st));
            EXPECT_EQ(st.st_size, f.size);
            EXPECT_LE(allocatedBytes(dst + "/" + f.rel), data + kSlack);
        }
    }
};

struct Target {
    const char* name;
    bool network;
};

TEST(FlrReplicatorSparse, EveryMethodKeepsHolesOnEveryTail) {
    for (const Target target : {Target{"local", false}, Target{"network", true}}) {
        for (const char* method : {"full", "md5", "rsync", "lbfs", "auto"}) {
            SCOPED_TRACE(std::string(target.name) + " " + method);
            SparseTree t;
            if (!t.holes) GTEST_SKIP() << "the test folder's file system keeps no holes";
            std::string dst = t.dir.file("dst");
            std::unique_ptr<tailtest::Tail> tail;
            std::string where = dst;
            if (target.network) {
                // Rebuilt beside the old copy there, in place on the local tail.
                ASSERT_EQ(0, ::mkdir(dst.c_str(), 0755));
                FlrTailApplier::Options options;
                options.inPlace = false;
                tail = std::make_unique<tailtest::Tail>(dst, options, true);
                where = "127.0.0.1:" + std::to_string(tail->port()) + ":" + dst;
            }
            const FlrReplicateSummary first = t.replicate(method, where);
            EXPECT_EQ(first.refused, 0);
            t.expectSparseReplica(dst);
            if (std::string(method) != "lbfs") {
                // Holes never travel: the data and the messages' overhead
                // (a delta of a file the tail lacks sends only data too).
                EXPECT_LE(first.wireBytes, t.dataBytes + t.dataBytes / 10 + (64 << 10));
            }
            t.editMiddle();
            const FlrReplicateSummary second = t.replicate(method, where);
            EXPECT_GE(second.files, 1);
            t.expectSparseReplica(dst);
        }
    }
}

}  // namespace
