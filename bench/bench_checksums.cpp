// Checksum throughput of the platform wrappers against OpenSSL called
// directly, same run, same buffer (64 MiB of random bytes, in cache):
//   MD5 and SHA-1 over the whole buffer: md5_init/md5_append/md5_finish and
//     Jxc::sha1 versus EVP_Digest;
//   MD5 per 32 KiB block (the block comparison's pattern, one reused state):
//     versus EVP_Digest per block with the algorithm fetched once;
//   rolling weak sum: Jxc::rsync over the buffer, Jxc::rsyncRoll across it
//     with a 32 KiB window, and Jxc::blockSums (weak sum + MD5 per block);
//   CRC-32 register update over the buffer: jx_crc32 versus zlib's crc32_z;
//   MD5 of 256 MiB in 4 KiB blocks (the resync's pattern): Jxc::md5Many in
//     groups of 32 blocks on the best lane path and on AVX2, versus
//     EVP_Digest per block.
// Times are the thread's CPU time, not wall time: the work is single-threaded
// and CPU-bound, and on a shared machine CPU time is what stays comparable
// between the two sides. Each side keeps its best pass. The last line prints
// the wrapper/OpenSSL ratios (target 0.95 or more).
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "digest/Jxc.h"

namespace {

constexpr size_t kBytes = 64u << 20;
constexpr size_t kBlock = 32768;
constexpr double kMB = 1e6;
constexpr size_t kLaneBytes = 256u << 20;
constexpr size_t kLaneBlock = 4096;
constexpr size_t kLaneGroup = 32;

enum Side {
    kMd5Ours,
    kMd5Evp,
    kMd5BlockOurs,
    kMd5BlockEvp,
    kSha1Ours,
    kSha1Evp,
    kRsync,
    kRoll,
    kBlockSumsCrc,
    kBlockSumsRsync,
    kLanesBest,
    kLanesAvx2,
    kLanesEvp,
    kCrcOurs,
    kCrcZlib,
    kSides
};
double gBest[kSides];
std::vector<unsigned char> gData;
std::vector<unsigned char> gLaneData;
volatile unsigned gSink;

double threadSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

template <typename Fn>
void timed(benchmark::State& state, Side side, Fn fn, size_t bytes = kBytes) {
    for (auto _ : state) {
        const double t0 = threadSeconds();
        fn();
        const double secs = threadSeconds() - t0;
        state.SetIterationTime(secs);
        gBest[side] = std::min(gBest[side], secs);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

void md5Ours() {
    md5_state_t st;
    md5_byte_t d[16];
    md5_init(&st);
    md5_append(&st, gData.data(), gData.size());
    md5_finish(&st, d);
    gSink = d[0];
}

void evpWhole(const EVP_MD* md) {
    unsigned char d[EVP_MAX_MD_SIZE];
    EVP_Digest(gData.data(), gData.size(), d, nullptr, md, nullptr);
    gSink = d[0];
}

void md5BlocksOurs() {
    md5_state_t st;
    md5_byte_t d[16];
    for (size_t at = 0; at < gData.size(); at += kBlock) {
        md5_init(&st);
        md5_append(&st, gData.data() + at, kBlock);
        md5_finish(&st, d);
        gSink = d[0];
    }
}

void md5BlocksEvp(const EVP_MD* md) {
    unsigned char d[EVP_MAX_MD_SIZE];
    for (size_t at = 0; at < gData.size(); at += kBlock) {
        EVP_Digest(gData.data() + at, kBlock, d, nullptr, md, nullptr);
        gSink = d[0];
    }
}

void sha1Ours() {
    unsigned char d[20];
    Jxc::sha1(gData.data(), gData.size(), d);
    gSink = d[0];
}

void rollAcross() {
    uint32_t sum = Jxc::rsync(gData.data(), kBlock);
    for (size_t at = kBlock; at < gData.size(); ++at)
        sum = Jxc::rsyncRoll(sum, kBlock, gData[at - kBlock], gData[at]);
    gSink = sum;
}

void signBlocks(Jxc::Weak kind) {
    unsigned acc = 0;
    Jxc::blockSums(gData.data(), gData.size(), kBlock, kind, [&](const Jxc::BlockSum& s) {
        acc += s.weak;
        return true;
    });
    gSink = acc;
}

// As the block signer and the MD5 sender call it: a group of blocks at a time.
void md5LaneBlocks(Jxc::Md5Path path) {
    Jxc::md5UsePath(path);
    const unsigned char* msgs[kLaneGroup];
    unsigned char d[kLaneGroup][16];
    for (size_t at = 0; at < gLaneData.size(); at += kLaneGroup * kLaneBlock) {
        for (size_t i = 0; i < kLaneGroup; ++i) msgs[i] = gLaneData.data() + at + i * kLaneBlock;
        Jxc::md5Many(msgs, kLaneGroup, kLaneBlock, d);
        gSink = d[0][0];
    }
    Jxc::md5UsePath(Jxc::Md5Path::Auto);
}

void md5LaneBlocksEvp(const EVP_MD* md) {
    unsigned char d[EVP_MAX_MD_SIZE];
    for (size_t at = 0; at < gLaneData.size(); at += kLaneBlock) {
        EVP_Digest(gLaneData.data() + at, kLaneBlock, d, nullptr, md, nullptr);
        gSink = d[0];
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::fill(std::begin(gBest), std::end(gBest), 1e30);
    gData.resize(kBytes);
    std::mt19937_64 rng(1);
    for (auto& b : gData) b = static_cast<unsigned char>(rng());
    gLaneData.resize(kLaneBytes);
    for (auto& b : gLaneData) b = static_cast<unsigned char>(rng());
    const Jxc::Md5Path bestPath = Jxc::md5Path();
    const bool haveAvx2 = Jxc::md5UsePath(Jxc::Md5Path::Avx2);
    Jxc::md5UsePath(Jxc::Md5Path::Auto);
    EVP_MD* md5 = EVP_MD_fetch(nullptr, "MD5", nullptr);
    EVP_MD* sha1 = EVP_MD_fetch(nullptr, "SHA1", nullptr);
    if (md5 == nullptr || sha1 == nullptr) {
        std::fprintf(stderr, "bench_checksums: OpenSSL has no MD5 or SHA-1\n");
        return 1;
    }

    benchmark::Initialize(&argc, argv);
    auto add = [](const char* name, Side side, auto fn) {
        benchmark::RegisterBenchmark(name, [=](benchmark::State& s) { timed(s, side, fn); })
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->MinTime(1.0);
    };
    add("md5/ours", kMd5Ours, md5Ours);
    add("md5/EVP_Digest", kMd5Evp, [=] { evpWhole(md5); });
    add("md5_32KiB_blocks/ours", kMd5BlockOurs, md5BlocksOurs);
    add("md5_32KiB_blocks/EVP_Digest", kMd5BlockEvp, [=] { md5BlocksEvp(md5); });
    add("sha1/ours", kSha1Ours, sha1Ours);
    add("sha1/EVP_Digest", kSha1Evp, [=] { evpWhole(sha1); });
    add("rsync_sum", kRsync, [] { gSink = Jxc::rsync(gData.data(), gData.size()); });
    add("rsync_roll_32KiB_window", kRoll, rollAcross);
    add("blockSums_crc32_md5", kBlockSumsCrc, [] { signBlocks(Jxc::Weak::Crc32); });
    add("blockSums_rsync_md5", kBlockSumsRsync, [] { signBlocks(Jxc::Weak::Rsync); });
    auto addLanes = [](const char* name, Side side, auto fn) {
        benchmark::RegisterBenchmark(name,
                                     [=](benchmark::State& s) { timed(s, side, fn, kLaneBytes); })
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->MinTime(1.0);
    };
    addLanes("md5_4KiB_blocks/lanes_best", kLanesBest, [=] { md5LaneBlocks(bestPath); });
    if (haveAvx2)
        addLanes("md5_4KiB_blocks/lanes_avx2", kLanesAvx2,
                 [] { md5LaneBlocks(Jxc::Md5Path::Avx2); });
    addLanes("md5_4KiB_blocks/EVP_Digest", kLanesEvp, [=] { md5LaneBlocksEvp(md5); });
    add("crc32/ours", kCrcOurs, [] { gSink = jx_crc32(0xffffffffu, gData.data(), gData.size()); });
    add("crc32/zlib", kCrcZlib,
        [] { gSink = static_cast<unsigned>(crc32_z(0, gData.data(), gData.size())); });
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    EVP_MD_free(md5);
    EVP_MD_free(sha1);

    auto rate = [](Side s) { return static_cast<double>(kBytes) / gBest[s] / kMB; };
    std::printf("MD5 %.0f MB/s (EVP_Digest %.0f), per 32 KiB block %.0f MB/s (EVP_Digest %.0f)\n",
                rate(kMd5Ours), rate(kMd5Evp), rate(kMd5BlockOurs), rate(kMd5BlockEvp));
    std::printf("SHA-1 %.0f MB/s (EVP_Digest %.0f)\n", rate(kSha1Ours), rate(kSha1Evp));
    std::printf(
        "rsync sum %.0f MB/s, rolled byte by byte %.0f MB/s, block sums %.0f MB/s "
        "(CRC-32 + MD5), %.0f MB/s (rsync + MD5)\n",
        rate(kRsync), rate(kRoll), rate(kBlockSumsCrc), rate(kBlockSumsRsync));
    std::printf("ratio md5/EVP %.2f, md5 per block/EVP %.2f, sha1/EVP %.2f (target 0.95)\n",
                gBest[kMd5Evp] / gBest[kMd5Ours], gBest[kMd5BlockEvp] / gBest[kMd5BlockOurs],
                gBest[kSha1Evp] / gBest[kSha1Ours]);
    std::printf("CRC-32 %.0f MB/s (zlib crc32_z %.0f), ratio zlib time / ours %.2f\n",
                rate(kCrcOurs), rate(kCrcZlib), gBest[kCrcZlib] / gBest[kCrcOurs]);
    auto laneRate = [](Side s) { return static_cast<double>(kLaneBytes) / gBest[s] / kMB; };
    const char* bestName = bestPath == Jxc::Md5Path::Avx512 ? "AVX-512"
                           : bestPath == Jxc::Md5Path::Avx2 ? "AVX2"
                                                            : "OpenSSL";
    std::printf(
        "MD5 per 4 KiB block, 256 MiB: lanes (%s, %zu lanes) %.0f MB/s, AVX2 %s MB/s, "
        "EVP_Digest %.0f MB/s\n",
        bestName, Jxc::md5Lanes(), laneRate(kLanesBest),
        haveAvx2 ? std::to_string(static_cast<long>(laneRate(kLanesAvx2))).c_str() : "n/a",
        laneRate(kLanesEvp));
    std::printf("ratio lanes/EVP %.2f (EVP time / lanes time, higher is better)\n",
                gBest[kLanesEvp] / gBest[kLanesBest]);
    return 0;
}
