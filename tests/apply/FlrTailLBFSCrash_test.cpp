// A tail killed with SIGKILL in the middle of an LBFS file leaves the previous
// copy or the new one under the name, never a half file; the tail started
// again on the same root and store sweeps the temporaries and rebuilds the
// file right, whatever the store recorded before the kill.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>

#include "TailLBFSFixture.h"

using namespace tailtest;

namespace {

FlrTailApplier::Options storeOptions(const std::string& store) {
    FlrTailApplier::Options o;
    o.storeDir = store;
    o.batchEntries = 2;  // entries wait for one syncfs before their rename
    return o;
}

// A few blocks of base changed (and sometimes its length), so the new file
// takes some blocks from the store and asks for others.
std::string mutate(const std::string& base, std::mt19937& rng) {
    std::string next = base;
    const int edits = 1 + static_cast<int>(rng() % 3);
    for (int i = 0; i < edits; ++i) next[rng() % next.size()] ^= 0x21;
    if (rng() % 3 == 0) next += pattern(1 + rng() % 9000, rng());
    return next;
}

// Announces path as next and sends the first `blocks` requested blocks
// (all of them and the LBFS_DONE when blocks is large), then returns.
void sendPart(int port, const std::string& path, const std::string& next, int blocks) {
    LBFSHead head(port);
    head.announce(path, next);
    if (blocks < 0) return;
    FlrNetMessage m;
    if (head.net.recvMessage(&m, 10) != 0 || m.type != FLR_NET_LBFS_BLOCK_REQ) return;
    const FlrNetLBFSBlockReq& req = m.lbfsBlockReq;
    int sent = 0;
    for (int i = 0; i < req.count && sent < blocks; ++i, ++sent) {
        JxLBFS::Block b;
        b.offset = req.offsetAt(i);
        b.length = req.lengthAt(i);
        head.blockLink->sendLBFSBlock(req.value, b, next.data() + b.offset);
    }
    if (sent == req.count) head.blockLink->sendLBFSDone(req.value);
    head.blockLink->flush(5);
}

TEST(TailLBFSCrash, KilledMidFileLeavesOldOrNewAndRecovers) {
    Registry reg;
    flrtest::TempDir tmp;
    const std::string root = tmp.path() + "/root";
    const std::string store = tmp.path() + "/store";
    ::mkdir(root.c_str(), 0755);
    const std::string path = root + "/f.bin";
    std::mt19937 rng(20261208);

    std::string current = pattern(50000, 11);
    {
        ChildTail tail(root, storeOptions(store));
        ASSERT_GT(tail.port, 0);
        LBFSHead head(tail.port);
        head.announce("f.bin", current);
        head.finish();
    }
    ASSERT_EQ(flrtest::readFile(path), current);

    const int rounds = flrtest::scaled(16);
    for (int round = 0; round < rounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::string next = mutate(current, rng);
        {
            ChildTail tail(root, storeOptions(store));
            ASSERT_GT(tail.port, 0);
            // -1: killed before any block; past the count: after LBFS_DONE.
            const int blocks = static_cast<int>(rng() % 8) - 1;
            sendPart(tail.port, "f.bin", next, blocks);
            ::usleep(static_cast<useconds_t>(rng() % 4000));
            tail.kill();
        }
        const std::string after = flrtest::readFile(path);
        EXPECT_TRUE(after == current || after == next) << "a half file under the name";

        ChildTail tail(root, storeOptions(store));  // sweeps, reopens the store
        ASSERT_GT(tail.port, 0);
        EXPECT_FALSE(hasTemporaries(root));
        LBFSHead head(tail.port);
        head.announce("f.bin", next);
        head.announce("copy.bin", next);  // built from the store, verified
        head.finish();
        ASSERT_EQ(flrtest::readFile(path), next);
        ASSERT_EQ(flrtest::readFile(root + "/copy.bin"), next);
        current = next;
    }
}

}  // namespace
