// Rolling cache throughput against the file system's own tools, same run,
// same file system:
//   write: FlrRolCache::addEntry of 4 KiB entries into a 512 MiB disk part
//          versus dd writing the same bytes with 4 KiB writes (and, for
//          reference, with 1 MiB writes);
//   read:  getNextEntry over the same entries from the files, each pass on
//          a new thread (a cold context), versus cat of the cache files.
// Each side keeps its best pass. The last line prints both ratios.
//
// Files go to $FLR_BENCH_DIR, else $TMPDIR, else /tmp; at most one 512 MiB
// cache (plus one dd file of the same size) exists at a time, and
// everything is removed at the end.
#include <benchmark/benchmark.h>
#include <ftw.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "buffer/FlrRolCache.h"
#include "platform/JXPlatformInfo.h"

namespace {

constexpr int kEntry = 4096;
constexpr uint64_t kDiskLimit = 512ULL << 20;
// Fills the disk part up to its limit (less the room of one file, so that
// nothing has to be deleted and every entry can be read back).
constexpr uint64_t kEntries = (kDiskLimit - (2u << 20)) / kEntry;
constexpr double kMB = 1e6;

std::string gDir;
double gBest[5] = {1e30, 1e30, 1e30, 1e30, 1e30};
enum Side { kAdd, kDd4k, kDd1m, kGet, kCat };

std::string cacheDir() {
    return gDir + "/cache";
}

double seconds(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void record(benchmark::State& state, Side side, double secs, uint64_t bytes) {
    state.SetIterationTime(secs);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    gBest[side] = std::min(gBest[side], secs);
}

void shell(const std::string& cmd) {
    if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "bench_rolcache: '%s' failed\n", cmd.c_str());
        std::exit(1);
    }
}

void removeTree(const std::string& path) {
    nftw(
        path.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

void BM_AddEntry(benchmark::State& state) {
    std::vector<char> entry(kEntry, 'j');
    for (auto _ : state) {
        FlrRolCache::deleteCacheFiles(cacheDir());
        FlrRolCache cache(cacheDir().c_str(), kDiskLimit, 16 << 20);
        const auto t0 = std::chrono::steady_clock::now();
        for (uint64_t seq = 1; seq <= kEntries; ++seq) {
            entry[0] = static_cast<char>(seq);
            cache.addEntry(entry.data(), kEntry, seq);
        }
        cache.flush();
        record(state, kAdd, seconds(t0), kEntries * kEntry);
    }
}

void ddWrite(benchmark::State& state, Side side, int blockSize) {
    const std::string out = gDir + "/dd.out";
    const uint64_t count = kEntries * kEntry / static_cast<uint64_t>(blockSize);
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        shell("dd if=/dev/zero of=" + out + " bs=" + std::to_string(blockSize) +
              " count=" + std::to_string(count) + " status=none");
        record(state, side, seconds(t0), kEntries * kEntry);
        ::unlink(out.c_str());
    }
}

void BM_DdWrite4k(benchmark::State& state) {
    ddWrite(state, kDd4k, kEntry);
}
void BM_DdWrite1m(benchmark::State& state) {
    ddWrite(state, kDd1m, 1 << 20);
}

void BM_GetNextEntry(benchmark::State& state) {
    for (auto _ : state) {
        // A fresh cache holds only the newest file in memory; a new thread
        // has no context, so every older file is read from disk.
        FlrRolCache cache(cacheDir().c_str(), kDiskLimit, 2 << 20);
        const uint64_t first = cache.getFiles().front();
        const uint64_t last = cache.getLastSeq();
        uint64_t bytes = 0;
        bool ok = true;
        double secs = 0;
        std::thread reader([&] {
            char* buf = nullptr;
            int cap = 0, len = 0;
            uint64_t at = first, seq = 0;
            const auto t0 = std::chrono::steady_clock::now();
            while (at != last) {
                if (cache.getNextEntry(at, buf, cap, &len, &seq, 1) != FlrRolCache::kDelivered ||
                    seq != at + 1) {
                    ok = false;
                    break;
                }
                bytes += static_cast<uint64_t>(len);
                at = seq;
            }
            secs = seconds(t0);
            std::free(buf);
        });
        reader.join();
        if (!ok) {
            state.SkipWithError("getNextEntry did not return every entry");
            return;
        }
        record(state, kGet, secs, bytes);
    }
}

void BM_Cat(benchmark::State& state) {
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        shell("cat " + cacheDir() + "/cache.* > /dev/null");
        record(state, kCat, seconds(t0), kEntries * (kEntry + 12));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* base = std::getenv("FLR_BENCH_DIR");
    if (!base || !*base) base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/flrbench.XXXXXX";
    if (!mkdtemp(tmpl.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    gDir = tmpl;
    ::mkdir(cacheDir().c_str(), 0700);
    JXPlatformInfo::setRegistryFile(gDir + "/registry.ini");

    benchmark::Initialize(&argc, argv);
    auto add = [](const char* name, void (*fn)(benchmark::State&)) {
        benchmark::RegisterBenchmark(name, fn)
            ->Iterations(1)
            ->Repetitions(3)
            ->UseManualTime()
            ->Unit(benchmark::kMillisecond);
    };
    add("FlrRolCache::addEntry/4KiB", BM_AddEntry);
    add("dd/bs=4096", BM_DdWrite4k);
    add("dd/bs=1MiB", BM_DdWrite1m);
    add("FlrRolCache::getNextEntry/cold", BM_GetNextEntry);
    add("cat", BM_Cat);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    removeTree(gDir);

    const double bytes = static_cast<double>(kEntries) * kEntry;
    auto rate = [&](Side s) { return bytes / gBest[s] / kMB; };
    std::printf("addEntry %.0f MB/s, dd bs=4096 %.0f MB/s, dd bs=1MiB %.0f MB/s\n", rate(kAdd),
                rate(kDd4k), rate(kDd1m));
    std::printf("getNextEntry (cold contexts) %.0f MB/s, cat %.0f MB/s\n", rate(kGet), rate(kCat));
    std::printf("ratio addEntry/dd %.2f (target 0.70), getNextEntry/cat %.2f (target 0.70)\n",
                gBest[kDd4k] / gBest[kAdd], gBest[kCat] / gBest[kGet]);
    return 0;
}
