// The write-interval database against raw LMDB in the same run, with the
// same transaction policy (one write transaction per change):
//   FlrWrDatabase::add of random small writes over 1,000 files
//   vs mdb_put of the same intervals (key: file id and start, value: record)
//   vs the table's own layout by hand (record + index entry per put)
// The last line printed holds the rates and ratios. --count=N sets the
// number of writes (default 1,000,000).
#include <benchmark/benchmark.h>
#include <lmdb.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "db/FlrWrDatabase.h"

namespace {

size_t gCount = 1000000;
constexpr uint64_t kFiles = 1000;
constexpr uint64_t kFileSize = uint64_t(64) << 20;  // offsets within 64 MiB
constexpr uint64_t kMaxWrite = 4096;
std::string gRoot;

// Rates measured, per second.
double gRawPut, gRawLayoutPut, gAdd;
size_t gIntervals;

struct Write {
    fsf_fid fid;
    uint64_t start, end;
};
std::vector<Write> gWrites;

fsf_fid F(uint64_t n) {
    uint64_t w[3] = {n * 0x9E3779B97F4A7C15ULL + 1, ~n, n ^ 0x5555};
    fsf_fid f;
    std::memcpy(f.bytes, w, sizeof w);
    return f;
}

void makeWrites() {
    std::mt19937_64 rng(1);
    gWrites.reserve(gCount);
    for (size_t i = 0; i < gCount; ++i) {
        uint64_t start = rng() % kFileSize;
        gWrites.push_back(Write{F(rng() % kFiles), start, start + 1 + rng() % kMaxWrite});
    }
}

void putBE(uint8_t* out, uint64_t v) {
    for (int i = 7; i >= 0; --i, v >>= 8) out[i] = static_cast<uint8_t>(v);
}

// The key the table's index holds: the three words and the start, big-endian.
void intervalKey(const Write& w, uint8_t* key) {
    uint64_t words[3];
    std::memcpy(words, w.fid.bytes, sizeof words);
    for (int i = 0; i < 3; ++i) putBE(key + 8 * i, words[i]);
    putBE(key + 24, w.start);
}

void recordOf(const Write& w, FlrWrDatabase::Record* r) {
    r->ackid = 0;
    std::memcpy(r->fid, w.fid.bytes, sizeof r->fid);
    r->start = w.start;
    r->end = w.end;
}

std::string freshDir(const char* name) {
    std::string d = gRoot + "/" + name;
    mkdir(d.c_str(), 0755);
    return d;
}

void check(int rc, const char* what) {
    if (rc) {
        std::fprintf(stderr, "%s: %s\n", what, mdb_strerror(rc));
        std::exit(1);
    }
}

// The flags the table engine opens its environments with.
MDB_env* rawEnv(const std::string& dir) {
    MDB_env* env;
    check(mdb_env_create(&env), "create");
    mdb_env_set_maxdbs(env, 8);
    mdb_env_set_mapsize(env, size_t(8) << 30);
    check(mdb_env_open(env, (dir + "/raw.dat").c_str(), MDB_NOSUBDIR | MDB_NOSYNC, 0664), "open");
    return env;
}

double perSecond(size_t n, std::chrono::steady_clock::time_point t0) {
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return n / s;
}

void BM_RawPut(benchmark::State& state) {
    for (auto _ : state) {
        MDB_env* env = rawEnv(freshDir("raw"));
        MDB_dbi dbi;
        MDB_txn* txn;
        check(mdb_txn_begin(env, nullptr, 0, &txn), "begin");
        check(mdb_dbi_open(txn, nullptr, 0, &dbi), "dbi");
        check(mdb_txn_commit(txn), "commit");
        uint8_t key[32];
        FlrWrDatabase::Record rec;
        auto t0 = std::chrono::steady_clock::now();
        for (const Write& w : gWrites) {
            intervalKey(w, key);
            recordOf(w, &rec);
            MDB_val k{sizeof key, key}, v{sizeof rec, &rec};
            check(mdb_txn_begin(env, nullptr, 0, &txn), "begin");
            check(mdb_put(txn, dbi, &k, &v, 0), "put");
            check(mdb_txn_commit(txn), "commit");
        }
        gRawPut = perSecond(gWrites.size(), t0);
        mdb_env_close(env);
    }
    state.counters["puts/s"] = gRawPut;
}

// The table's layout written by hand: the record under its number and the
// index entry (key + record number), one transaction each: what LMDB itself
// costs for the two B-trees an added interval touches.
void BM_RawPutTableLayout(benchmark::State& state) {
    for (auto _ : state) {
        MDB_env* env = rawEnv(freshDir("rawlayout"));
        MDB_dbi records, index;
        MDB_txn* txn;
        check(mdb_txn_begin(env, nullptr, 0, &txn), "begin");
        check(mdb_dbi_open(txn, "records", MDB_CREATE, &records), "dbi");
        check(mdb_dbi_open(txn, "fid_start", MDB_CREATE, &index), "dbi");
        check(mdb_txn_commit(txn), "commit");
        uint8_t recno[8], key[40];
        FlrWrDatabase::Record rec;
        uint64_t n = 0;
        auto t0 = std::chrono::steady_clock::now();
        for (const Write& w : gWrites) {
            putBE(recno, ++n);
            intervalKey(w, key);
            std::memcpy(key + 32, recno, 8);
            recordOf(w, &rec);
            MDB_val rk{8, recno}, rv{sizeof rec, &rec}, ik{sizeof key, key}, none{0, key};
            check(mdb_txn_begin(env, nullptr, 0, &txn), "begin");
            check(mdb_put(txn, records, &rk, &rv, MDB_APPEND), "put");
            check(mdb_put(txn, index, &ik, &none, 0), "put");
            check(mdb_txn_commit(txn), "commit");
        }
        gRawLayoutPut = perSecond(gWrites.size(), t0);
        mdb_env_close(env);
    }
    state.counters["puts/s"] = gRawLayoutPut;
}

void BM_Add(benchmark::State& state) {
    for (auto _ : state) {
        FlrWrDatabase db(freshDir("flr"));
        auto t0 = std::chrono::steady_clock::now();
        for (const Write& w : gWrites) db.add(w.fid, w.start, w.end);
        gAdd = perSecond(gWrites.size(), t0);
        gIntervals = 0;
        for (bool more = db.getFirst(nullptr, nullptr, nullptr, nullptr); more;
             more = db.getNext(nullptr, nullptr, nullptr, nullptr, false))
            ++gIntervals;
    }
    state.counters["adds/s"] = gAdd;
    state.counters["intervals"] = static_cast<double>(gIntervals);
}

void removeTree(const std::string& dir) {
    std::string cmd = "rm -rf '" + dir + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<char*> args;
    for (int i = 0; i < argc; ++i) {
        if (std::strncmp(argv[i], "--count=", 8) == 0)
            gCount = std::strtoull(argv[i] + 8, nullptr, 10);
        else
            args.push_back(argv[i]);
    }
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    if (gCount < 1) gCount = 1;

    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench_wrdb.XXXXXX";
    if (!mkdtemp(tmpl.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    gRoot = tmpl;
    makeWrites();

    auto once = [](const char* name, void (*fn)(benchmark::State&)) {
        benchmark::RegisterBenchmark(name, fn)
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    };
    once("raw_lmdb_put/txn_per_put", BM_RawPut);
    once("raw_lmdb_put/table_layout/txn_per_change", BM_RawPutTableLayout);
    once("FlrWrDatabase::add/txn_per_change", BM_Add);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    removeTree(gRoot);

    std::printf(
        "writes %zu over %llu files (%zu intervals after merging): FlrWrDatabase::add %.0f adds/s, "
        "raw LMDB put %.0f puts/s, add/raw put %.2f, add/raw table-layout put %.2f\n",
        gCount, static_cast<unsigned long long>(kFiles), gIntervals, gAdd, gRawPut, gAdd / gRawPut,
        gAdd / gRawLayoutPut);
    return 0;
}
