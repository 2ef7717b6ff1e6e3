// Throughput of the content-defined chunker against SHA-256 alone, same run,
// same buffer (1 GiB of random bytes in memory; FLR_BENCH_LBFS_MB scales it):
//   chunker + SHA-256: JxLBFS::Chunker over the buffer, a hash per block;
//   cut points only: JxLBFS::findCut block after block, no hashing;
//   SHA-256 per 8 KiB piece with one reused Jxc::Sha256, and over the whole
//     buffer at once.
// The chunker's cost over SHA-256 is what the LBFS transfer pays on top of the
// hashing it needs anyway; the last line prints the chunker + SHA-256 rate as
// a share of the SHA-256 rates (target 0.8 or more). Times are the thread's
// CPU time (single-threaded, CPU-bound work on a shared machine); each side
// keeps its best pass.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <random>
#include <vector>

#include "digest/JxLBFS.h"
#include "digest/Jxc.h"

namespace {

constexpr size_t kPiece = 8192;
constexpr double kMB = 1e6;

enum Side { kChunkSha, kCutsOnly, kShaPieces, kShaWhole, kSides };
double gBest[kSides];
std::vector<unsigned char> gData;
volatile unsigned gSink;
size_t gBlocks;

size_t benchBytes() {
    const char* mb = std::getenv("FLR_BENCH_LBFS_MB");
    const long n = mb != nullptr ? std::atol(mb) : 1024;
    return static_cast<size_t>(std::max(1L, n)) << 20;
}

double threadSeconds() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

template <typename Fn>
void timed(benchmark::State& state, Side side, Fn fn) {
    for (auto _ : state) {
        const double t0 = threadSeconds();
        fn();
        const double secs = threadSeconds() - t0;
        state.SetIterationTime(secs);
        gBest[side] = std::min(gBest[side], secs);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * gData.size()));
}

void countBlock(const JxLBFS::HashBlock& block, void* context) {
    ++*static_cast<size_t*>(context);
    gSink = block.hash[0];
}

void chunkAndHash() {
    size_t blocks = 0;
    JxLBFS::Chunker chunker(&countBlock, &blocks);
    chunker.feed(gData.data(), gData.size());
    chunker.finish();
    gBlocks = blocks;
}

void cutsOnly() {
    size_t at = 0;
    unsigned n = 0;
    while (at < gData.size()) {
        at += JxLBFS::findCut(gData.data() + at, gData.size() - at);
        ++n;
    }
    gSink = n;
}

void shaPieces() {
    Jxc::Sha256 sha;
    unsigned char d[32];
    for (size_t at = 0; at < gData.size(); at += kPiece) {
        sha.digest(gData.data() + at, std::min(kPiece, gData.size() - at), d);
        gSink = d[0];
    }
}

void shaWhole() {
    unsigned char d[32];
    Jxc::sha256(gData.data(), gData.size(), d);
    gSink = d[0];
}

}  // namespace

int main(int argc, char** argv) {
    std::fill(std::begin(gBest), std::end(gBest), 1e30);
    gData.resize(benchBytes());
    std::mt19937_64 rng(1);
    for (size_t i = 0; i + 8 <= gData.size(); i += 8) {
        const uint64_t v = rng();
        for (int k = 0; k < 8; ++k) gData[i + k] = static_cast<unsigned char>(v >> (8 * k));
    }

    benchmark::Initialize(&argc, argv);
    auto add = [](const char* name, Side side, auto fn) {
        benchmark::RegisterBenchmark(name, [=](benchmark::State& s) { timed(s, side, fn); })
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond)
            ->MinTime(1.0);
    };
    add("chunker_sha256", kChunkSha, chunkAndHash);
    add("cut_points_only", kCutsOnly, cutsOnly);
    add("sha256_8KiB_pieces", kShaPieces, shaPieces);
    add("sha256_whole", kShaWhole, shaWhole);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    auto rate = [](Side s) { return static_cast<double>(gData.size()) / gBest[s] / kMB; };
    std::printf(
        "%zu MiB, %zu blocks, average %.0f bytes\n", gData.size() >> 20, gBlocks,
        static_cast<double>(gData.size()) / static_cast<double>(std::max<size_t>(1, gBlocks)));
    std::printf(
        "chunker + SHA-256 %.0f MB/s, cut points only %.0f MB/s, SHA-256 per 8 KiB %.0f MB/s, "
        "whole %.0f MB/s\n",
        rate(kChunkSha), rate(kCutsOnly), rate(kShaPieces), rate(kShaWhole));
    std::printf("ratio chunker+sha256/sha256 8KiB %.2f, /sha256 whole %.2f (target 0.8)\n",
                gBest[kShaPieces] / gBest[kChunkSha], gBest[kShaWhole] / gBest[kChunkSha]);
    return 0;
}
