#pragma once
// MD5 and RSync deltas as a head sends them, over cases that change a file
// at its start, middle and end, in length, and by moving blocks; and the ways
// the tail may apply them.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "TailApplyFixture.h"
#include "digest/Jxc.h"
#include "platform/JxCoding.h"

namespace tailtest {

inline constexpr int kDeltaBlock = 4096;

struct DeltaCase {
    const char* name;
    std::optional<std::string> old;
    std::string now;
};

// blocks (at least 10): the old copy's size in whole 4 KiB blocks.
inline std::vector<DeltaCase> deltaCases(size_t blocks = 10) {
    const std::string base = pattern(blocks * kDeltaBlock + 1234, 1);
    auto flip = [&](size_t at) {
        std::string s = base;
        s[at] = static_cast<char>(~s[at]);
        return s;
    };
    return {
        {"start", base, flip(0)},
        {"middle", base, flip(blocks / 2 * kDeltaBlock + 17)},
        {"end", base, flip(base.size() - 1)},
        {"equal", base, base},
        {"longer", base, base + pattern(3 * kDeltaBlock + 5, 2)},
        {"shorter", base, base.substr(0, 4 * kDeltaBlock + 100)},
        {"no-old-copy", std::nullopt, base},
        {"empty-now", base, ""},
        // Blocks that move make copy references read bytes an in-place
        // update has already overwritten.
        {"rotated", base,
         base.substr((blocks - 1) * kDeltaBlock) + base.substr(0, (blocks - 1) * kDeltaBlock)},
        {"swapped", base,
         base.substr(0, 2 * kDeltaBlock) + base.substr(7 * kDeltaBlock, kDeltaBlock) +
             base.substr(3 * kDeltaBlock, 4 * kDeltaBlock) +
             base.substr(2 * kDeltaBlock, kDeltaBlock) + base.substr(8 * kDeltaBlock)},
    };
}

// How the tail may apply a delta: in place, built beside, and in place until
// the kept old bytes pass a small bound (then beside from there on).
struct DeltaMode {
    const char* name;
    bool inPlace;
    long long keepBytes;
};
inline const DeltaMode kDeltaModes[] = {
    {"in place", true, 32ll << 20},
    {"beside", false, 32ll << 20},
    {"in place, then beside", true, 2 * kDeltaBlock},
};

inline FlrTailApplier::Options deltaOptions(const DeltaMode& mode) {
    FlrTailApplier::Options o;
    o.inPlace = mode.inPlace;
    o.inPlaceKeepBytes = mode.keepBytes;
    return o;
}

struct Sum {
    uint32_t weak;
    std::string md5;
};

inline std::string md5Of(const std::string& s) {
    unsigned char d[16];
    Jxc::md5(s.data(), s.size(), d);
    return std::string(reinterpret_cast<char*>(d), 16);
}

// The tail's MD5 stream for path, checked message by message.
inline std::vector<Sum> md5Stream(Head& head, const std::string& path) {
    head.net.startMD5Stream(path.c_str(), kDeltaBlock);
    std::vector<Sum> sums;
    for (;;) {
        FlrNetMessage m;
        EXPECT_EQ(head.net.recvMessage(&m, 30), 0);
        if (m.type == FLR_NET_RECV_MD5_EOF) {
            EXPECT_EQ(m.recvMD5EOF.value, static_cast<int>(sums.size()));
            return sums;
        }
        EXPECT_EQ(m.type, FLR_NET_RECV_MD5);
        if (m.type != FLR_NET_RECV_MD5) return sums;
        EXPECT_EQ(m.recvMD5.value, static_cast<int>(sums.size()));
        for (int i = 0; i < m.recvMD5.count; ++i)
            sums.push_back({jx::loadBE32(m.recvMD5.weak[i]),
                            std::string(reinterpret_cast<char*>(m.recvMD5.md5[i]), 16)});
    }
}

// What a head does under MD5: only differing blocks, a seek after a skip,
// local data beyond the tail's last digest as data.
inline void sendMD5Delta(Head& head, const std::string& path, const std::string& now) {
    const std::vector<Sum> sums = md5Stream(head, path);
    head.net.sendMirHeader(header(path, S_IFREG | 0644, now.size(), FlrNetMirHeader::kMD5));
    bool skipped = false;
    for (size_t b = 0; b * kDeltaBlock < now.size(); ++b) {
        const std::string block = now.substr(b * kDeltaBlock, kDeltaBlock);
        const bool same =
            b < sums.size() &&
            sums[b].weak == Jxc::weakSum(Jxc::Weak::Crc32, block.data(), block.size()) &&
            sums[b].md5 == md5Of(block);
        if (same) {
            skipped = true;
            continue;
        }
        if (skipped) head.net.sendMirSeek(static_cast<long long>(b * kDeltaBlock));
        head.net.sendMirData(block.data(), static_cast<int>(block.size()));
        skipped = false;
    }
    head.net.sendMirEOF();
}

// An RSync delta at block boundaries: copy references for blocks the tail
// has (anywhere in its copy), literals for the rest.
inline void sendRSyncDelta(Head& head, const std::string& path, const std::string& now,
                           const std::optional<std::string>& old) {
    unsigned char(*weak)[4] = nullptr;
    unsigned char(*md5)[16] = nullptr;
    int n = -1;
    unsigned long long value = 0;
    head.net.getRSyncCheckSums(path.c_str(), kDeltaBlock, &weak, &md5, &n, &value);
    EXPECT_EQ(value, old ? old->size() : 0);
    std::map<std::string, int> byDigest;
    for (int i = 0; i < n; ++i) {
        const std::string block = old->substr(static_cast<size_t>(i) * kDeltaBlock, kDeltaBlock);
        EXPECT_EQ(jx::loadBE32(weak[i]),
                  Jxc::weakSum(Jxc::Weak::Rsync, block.data(), block.size()));
        byDigest.emplace(std::string(reinterpret_cast<char*>(md5[i]), 16), i);
    }
    head.net.sendMirHeader(header(path, S_IFREG | 0644, now.size(), FlrNetMirHeader::kRSync));
    for (size_t at = 0; at < now.size(); at += kDeltaBlock) {
        const std::string block = now.substr(at, kDeltaBlock);
        auto it = byDigest.find(md5Of(block));
        if (it != byDigest.end()) {
            long long off = static_cast<long long>(it->second) * kDeltaBlock;
            long long len = static_cast<long long>(block.size());
            head.net.sendMirRSync(1, &off, &len);
        } else {
            head.net.sendMirData(block.data(), static_cast<int>(block.size()));
        }
    }
    head.net.sendMirEOF();
}

}  // namespace tailtest
