// A head may announce a file of any size as a block list the tail holds in
// memory while it asks for the missing blocks: a list past the tail's bound
// fails the file at once (counted, old copy kept) and the tail stops asking
// for its blocks, instead of growing the session's memory.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <list>
#include <string>

#include "TailLBFSFixture.h"

using namespace tailtest;

namespace {

TEST(TailLBFSBounds, AHugeBlockListFailsTheFileAndStopsItsRequests) {
    Registry reg;
    flrtest::TempDir tmp;
    const std::string root = tmp.file("root");
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    flrtest::writeFile(root + "/huge.bin", "old");
    FlrTailApplier::Options o;
    o.storeDir = tmp.file("store");
    o.lbfsIdleSeconds = 2;  // what is asked for is never sent
    Tail tail(root, o);

    // One million blocks of the largest size: a file of some 64 GB.
    constexpr size_t kBlocks = 1u << 20;
    constexpr uint32_t kLength = 65535;
    JxLBFS::HashBlock b{};
    b.block.length = kLength;
    std::list<JxLBFS::HashBlock> blocks;
    for (size_t i = 0; i < kBlocks; ++i, b.block.offset += kLength) {
        std::memcpy(b.hash, &i, sizeof i);  // all different: every one is asked for
        blocks.push_back(b);
    }

    Head head(tail.port());
    const auto started = std::chrono::steady_clock::now();
    head.net.sendMirHeader(
        header("huge.bin", S_IFREG | 0644, kBlocks * uint64_t{kLength}, FlrNetMirHeader::kLBFS));
    head.net.sendLBFSStart("/src/huge.bin", fsf_fid{}, blocks);
    head.net.sendMirEOF();
    head.net.sendLBFSStop();
    int requests = 0;
    FlrNetMessage m;
    for (bool echoed = false; !echoed && head.net.recvMessage(&m, 30) == 0;) {
        echoed = m.type == FLR_NET_LBFS_STOP;
        if (m.type == FLR_NET_LBFS_BLOCK_REQ) ++requests;
    }
    head.net.ping();
    // One request per chunk until the list outgrew the bound, far from all.
    const int chunks = static_cast<int>(kBlocks / FlrNetHead::kLBFSStartChunk) + 1;
    EXPECT_GT(requests, 0);
    EXPECT_LT(requests, chunks / 2);
    EXPECT_EQ(head.net.unappliedEntries(), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    EXPECT_EQ(flrtest::readFile(root + "/huge.bin"), "old");
}

}  // namespace
