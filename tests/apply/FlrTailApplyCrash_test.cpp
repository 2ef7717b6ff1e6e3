// A tail killed with SIGKILL at many points of a transfer (full, MD5 and
// RSync, the deltas in place and built beside, blocks staying or moving)
// leaves the old copy, the new one or, for an in-place update, no file:
// never a mix. The next tail sweeps the temporaries and a re-run converges.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <string>
#include <thread>

#include "FLR/JxException.h"
#include "TailApplyFixture.h"

using namespace tailtest;

namespace {

// Batched: entries wait for one syncfs before their rename.
FlrTailApplier::Options crashOptions() {
    FlrTailApplier::Options o;
    o.batchEntries = 4;
    return o;
}

constexpr size_t kPiece = 8192;
// sendTransfer: send everything, wait for nothing.
constexpr int kNoWait = -1;

// Sends the messages of one transfer of `now` over `old` by `method`; after
// `stopAfter` messages (when reached) it syncs and returns false, so the
// caller can kill the tail at exactly that point. True when all went out and
// were applied.
bool sendTransfer(Head& head, const std::string& path, const std::string& old,
                  const std::string& now, int method, int stopAfter) {
    int sent = 0;
    auto step = [&]() {
        if (stopAfter == kNoWait || ++sent < stopAfter) return true;
        head.sync();
        return false;
    };
    if (method != FlrNetMirHeader::kFull)
        head.askSums(path, static_cast<uint8_t>(method), static_cast<int>(kPiece));
    head.net.sendMirHeader(header(path, S_IFREG | 0644, now.size(), static_cast<uint8_t>(method)));
    if (!step()) return false;
    for (size_t at = 0; at < now.size(); at += kPiece) {
        const size_t len = std::min(kPiece, now.size() - at);
        const bool same = at + len <= old.size() && old.compare(at, len, now, at, len) == 0;
        if (method == FlrNetMirHeader::kMD5 && same) continue;
        // RSync finds a piece wherever the old copy has it.
        size_t from = old.size();
        for (size_t o = 0; method == FlrNetMirHeader::kRSync && o + len <= old.size(); o += kPiece)
            if (old.compare(o, len, now, at, len) == 0) {
                from = o;
                break;
            }
        if (from < old.size()) {
            long long off = static_cast<long long>(from);
            long long n = static_cast<long long>(len);
            head.net.sendMirRSync(1, &off, &n);
        } else {
            if (method == FlrNetMirHeader::kMD5) head.net.sendMirSeek(static_cast<long long>(at));
            head.net.sendMirData(now.data() + at, static_cast<int>(len));
        }
        if (!step()) return false;
    }
    head.net.sendMirEOF();
    if (stopAfter == kNoWait) return false;
    if (!step()) return true;  // synced at MIR_EOF
    head.sync();
    return true;
}

TEST(TailApplyCrash, KilledAnywhereLeavesOldOrNewAndConverges) {
    Registry registry;
    flrtest::TempDir tmp;
    const std::string root = tmp.file("dst");
    ASSERT_EQ(::mkdir(root.c_str(), 0755), 0);
    const std::string path = root + "/f";
    const std::string old = pattern(12 * kPiece + 100, 1);
    std::string changed = old.substr(0, 9 * kPiece) + pattern(5 * kPiece + 7, 2);
    changed[kPiece + 3] ^= 1;
    // The last pieces first: copy references read what the update overwrote.
    const std::string moved =
        old.substr(9 * kPiece, 3 * kPiece) + old.substr(0, 9 * kPiece) + old.substr(12 * kPiece);

    std::mt19937 rng(7);
    const int rounds = flrtest::scaled(24);
    const int methods[] = {FlrNetMirHeader::kFull, FlrNetMirHeader::kMD5, FlrNetMirHeader::kRSync};
    for (int round = 0; round < rounds; ++round) {
        const int method = methods[round % 3];
        const std::string& now = round % 2 ? moved : changed;
        FlrTailApplier::Options options = crashOptions();
        options.inPlace = round % 5 != 4;
        flrtest::writeFile(path, old);
        // Points from "right after the header" to "after MIR_EOF"; every
        // fourth round kills without waiting, wherever the tail happens to be.
        const int stopAfter = 1 + static_cast<int>(rng() % 17);
        const bool blind = round % 4 == 3;
        bool complete = false;
        {
            ChildTail child(root, options);
            ASSERT_GT(child.port, 0);
            try {
                Head head(child.port);
                head.net.setCloseFlushTimeout(1);
                if (blind) {
                    // Sent, not waited for: the kill lands wherever the tail is.
                    sendTransfer(head, path, old, now, method, kNoWait);
                    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
                } else {
                    complete = sendTransfer(head, path, old, now, method, stopAfter);
                }
                child.kill();
            } catch (const JxException&) {
                child.kill();
            }
        }
        const bool gone = ::access(path.c_str(), F_OK) != 0;
        const std::string got = gone ? std::string() : flrtest::readFile(path);
        const bool updatable = method != FlrNetMirHeader::kFull && options.inPlace;
        EXPECT_TRUE(got == old || got == now || (gone && updatable))
            << "round " << round << " method " << method << ": " << got.size() << " bytes"
            << (gone ? " (gone)" : "");
        if (complete) {
            EXPECT_TRUE(got == now) << "round " << round << ": " << got.size() << " bytes";
        }

        // The next tail sweeps what the killed one left; a re-run converges.
        Tail tail(root);
        EXPECT_FALSE(hasTemporaries(root)) << "round " << round;
        Head head(tail.port());
        ASSERT_TRUE(sendTransfer(head, path, got, now, method, 1 << 30));
        EXPECT_TRUE(flrtest::readFile(path) == now) << "round " << round << " (re-run)";
    }
}

}  // namespace
