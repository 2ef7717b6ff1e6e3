// The name database against raw LMDB on the same keys, in the same run and
// with the same transaction policy:
//   addNode, one transaction per change     vs  mdb_put, one transaction per put
//   fidToNodeName (cache cleared first)      vs  mdb_get, one read transaction per get
//   addNode inside one batch                 vs  mdb_put, all in one transaction
//   updateDir of a 10,000-entry directory that changed by 1 %: entries/s
// The last line printed holds the ratios. --count=N sets the number of
// entries (default 1,000,000).
#include <benchmark/benchmark.h>
#include <lmdb.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <list>
#include <string>
#include <vector>

#include "db/FlrDatabase.h"
#include "table/TCtreeTable.h"

namespace {

size_t gCount = 1000000;
constexpr size_t kPerDir = 1000;
constexpr size_t kUpdateDirSize = 10000;
std::string gRoot;

// Rates measured, entries per second.
double gRawLayoutPut, gRawPut, gAddNode, gRawGet, gResolve, gRawBatchPut, gBatchAddNode, gUpdateDir;

fsf_fid F(uint64_t n) {
    uint64_t w[3] = {n * 0x9E3779B97F4A7C15ULL + 1, ~n, n ^ 0x5555};
    fsf_fid f;
    std::memcpy(f.bytes, w, sizeof w);
    return f;
}

// The workload: N entries, a thousand per directory under the root.
struct Entry {
    fsf_fid parent, fid;
    std::string name;
    FLR_FTYPE type;
};
std::vector<Entry> gEntries;

void makeEntries() {
    gEntries.reserve(gCount);
    uint64_t next = 2;
    fsf_fid dir = F(1);
    for (size_t i = 0; gEntries.size() < gCount; ++i) {
        if (i % kPerDir == 0) {
            fsf_fid d = F(next++);
            gEntries.push_back(Entry{F(1), d, "dir" + std::to_string(i / kPerDir), FLR_FTYPE_DIR});
            dir = d;
            continue;
        }
        gEntries.push_back(
            Entry{dir, F(next++), "file-" + std::to_string(i) + ".dat", FLR_FTYPE_FILE});
    }
}

// The raw baseline stores under the file id what the table stores as the
// record: the fixed part and the name.
size_t rawValue(const Entry& e, char* buf) {
    FlrDatabase::Record r;
    std::memcpy(r.fid, e.fid.bytes, 24);
    std::memcpy(r.parent_fid, e.parent.bytes, 24);
    r.scan_seqnum = 1;
    r.flags = static_cast<uint8_t>(e.type);
    std::memcpy(r.sname, e.name.c_str(), e.name.size() + 1);
    size_t len = offsetof(FlrDatabase::Record, sname) + e.name.size();
    std::memcpy(buf, &r, len);
    return len;
}

std::string freshDir(const char* name) {
    std::string d = gRoot + "/" + name;
    mkdir(d.c_str(), 0755);
    return d;
}

MDB_env* rawEnv(const std::string& dir) {
    MDB_env* env;
    mdb_env_create(&env);
    mdb_env_set_mapsize(env, size_t(16) << 30);
    // The flags the table engine opens its environments with.
    if (int rc = mdb_env_open(env, (dir + "/raw.dat").c_str(), MDB_NOSUBDIR | MDB_NOSYNC, 0664)) {
        std::fprintf(stderr, "mdb_env_open: %s\n", mdb_strerror(rc));
        std::exit(1);
    }
    return env;
}

void check(int rc, const char* what) {
    if (rc) {
        std::fprintf(stderr, "%s: %s\n", what, mdb_strerror(rc));
        std::exit(1);
    }
}

double perSecond(size_t n, std::chrono::steady_clock::time_point t0) {
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    return n / s;
}

MDB_env* gRawEnv = nullptr;
FlrDatabase* gDb = nullptr;

void BM_RawPut(benchmark::State& state) {
    for (auto _ : state) {
        gRawEnv = rawEnv(freshDir("raw"));
        MDB_dbi dbi;
        MDB_txn* txn;
        check(mdb_txn_begin(gRawEnv, nullptr, 0, &txn), "begin");
        check(mdb_dbi_open(txn, nullptr, 0, &dbi), "dbi");
        check(mdb_txn_commit(txn), "commit");
        char buf[1100];
        auto t0 = std::chrono::steady_clock::now();
        for (const Entry& e : gEntries) {
            MDB_val k{24, const_cast<uint8_t*>(e.fid.bytes)}, v{rawValue(e, buf), buf};
            check(mdb_txn_begin(gRawEnv, nullptr, 0, &txn), "begin");
            check(mdb_put(txn, dbi, &k, &v, 0), "put");
            check(mdb_txn_commit(txn), "commit");
        }
        gRawPut = perSecond(gEntries.size(), t0);
    }
    state.counters["entries/s"] = gRawPut;
}

// The table's own layout written by hand: the record under its number and
// the two index entries (key bytes + record number), one transaction each.
// What LMDB itself costs for the three B-trees every change touches.
void BM_RawPutTableLayout(benchmark::State& state) {
    for (auto _ : state) {
        MDB_env* env;
        mdb_env_create(&env);
        mdb_env_set_maxdbs(env, 8);
        mdb_env_set_mapsize(env, size_t(16) << 30);
        std::string dir = freshDir("rawlayout");
        check(mdb_env_open(env, (dir + "/raw.dat").c_str(), MDB_NOSUBDIR | MDB_NOSYNC, 0664),
              "open");
        MDB_dbi rec, byFid, byName;
        MDB_txn* txn;
        check(mdb_txn_begin(env, nullptr, 0, &txn), "begin");
        check(mdb_dbi_open(txn, "records", MDB_CREATE, &rec), "dbi");
        check(mdb_dbi_open(txn, "fid", MDB_CREATE, &byFid), "dbi");
        check(mdb_dbi_open(txn, "parent_fid_and_sname", MDB_CREATE, &byName), "dbi");
        check(mdb_txn_commit(txn), "commit");
        char buf[1100];
        uint8_t recno[8], k1[32], k2[88];
        uint64_t n = 0;
        auto t0 = std::chrono::steady_clock::now();
        for (const Entry& e : gEntries) {
            ++n;
            for (int i = 0; i < 8; ++i) recno[i] = static_cast<uint8_t>(n >> (56 - 8 * i));
            std::memcpy(k1, e.fid.bytes, 24);
            std::memcpy(k1 + 24, recno, 8);
            std::memset(k2, 0, sizeof k2);
            std::memcpy(k2, e.parent.bytes, 24);
            std::memcpy(k2 + 24, e.name.data(), std::min<size_t>(56, e.name.size()));
            std::memcpy(k2 + 80, recno, 8);
            MDB_val rk{8, recno}, rv{rawValue(e, buf), buf}, ik1{32, k1}, ik2{88, k2}, none{0, buf};
            check(mdb_txn_begin(env, nullptr, 0, &txn), "begin");
            check(mdb_put(txn, rec, &rk, &rv, MDB_APPEND), "put");
            check(mdb_put(txn, byFid, &ik1, &none, 0), "put");
            check(mdb_put(txn, byName, &ik2, &none, 0), "put");
            check(mdb_txn_commit(txn), "commit");
        }
        gRawLayoutPut = perSecond(gEntries.size(), t0);
        mdb_env_close(env);
    }
    state.counters["entries/s"] = gRawLayoutPut;
}

void BM_AddNode(benchmark::State& state) {
    for (auto _ : state) {
        gDb = new FlrDatabase(freshDir("flr"));
        auto t0 = std::chrono::steady_clock::now();
        gDb->addRootNode(F(1));
        for (const Entry& e : gEntries) gDb->addNode(e.parent, e.name, e.fid, e.type, 1);
        gAddNode = perSecond(gEntries.size(), t0);
    }
    state.counters["entries/s"] = gAddNode;
}

void BM_RawGet(benchmark::State& state) {
    for (auto _ : state) {
        MDB_txn* txn;
        MDB_dbi dbi;
        check(mdb_txn_begin(gRawEnv, nullptr, MDB_RDONLY, &txn), "begin");
        check(mdb_dbi_open(txn, nullptr, 0, &dbi), "dbi");
        mdb_txn_reset(txn);
        size_t bytes = 0;
        auto t0 = std::chrono::steady_clock::now();
        for (const Entry& e : gEntries) {
            MDB_val k{24, const_cast<uint8_t*>(e.fid.bytes)}, v;
            check(mdb_txn_renew(txn), "renew");
            check(mdb_get(txn, dbi, &k, &v), "get");
            bytes += v.mv_size;
            mdb_txn_reset(txn);
        }
        gRawGet = perSecond(gEntries.size(), t0);
        benchmark::DoNotOptimize(bytes);
        mdb_txn_abort(txn);
        mdb_env_close(gRawEnv);
    }
    state.counters["entries/s"] = gRawGet;
}

void BM_FidToNodeName(benchmark::State& state) {
    for (auto _ : state) {
        gDb->clearCache();
        size_t bytes = 0;
        auto t0 = std::chrono::steady_clock::now();
        for (const Entry& e : gEntries) bytes += gDb->fidToNodeName(e.fid).size();
        gResolve = perSecond(gEntries.size(), t0);
        benchmark::DoNotOptimize(bytes);
        delete gDb;
    }
    state.counters["entries/s"] = gResolve;
}

void BM_RawPutBatched(benchmark::State& state) {
    for (auto _ : state) {
        MDB_env* env = rawEnv(freshDir("rawbatch"));
        MDB_dbi dbi;
        MDB_txn* txn;
        char buf[1100];
        auto t0 = std::chrono::steady_clock::now();
        check(mdb_txn_begin(env, nullptr, 0, &txn), "begin");
        check(mdb_dbi_open(txn, nullptr, 0, &dbi), "dbi");
        for (const Entry& e : gEntries) {
            MDB_val k{24, const_cast<uint8_t*>(e.fid.bytes)}, v{rawValue(e, buf), buf};
            check(mdb_put(txn, dbi, &k, &v, 0), "put");
        }
        check(mdb_txn_commit(txn), "commit");
        gRawBatchPut = perSecond(gEntries.size(), t0);
        mdb_env_close(env);
    }
    state.counters["entries/s"] = gRawBatchPut;
}

void BM_AddNodeBatched(benchmark::State& state) {
    for (auto _ : state) {
        FlrDatabase db(freshDir("flrbatch"));
        auto t0 = std::chrono::steady_clock::now();
        // A scan knows roughly how much it adds: room for it up front.
        TCtreeTable::BatchScope batch = db.transaction(gEntries.size() * 512);
        db.addRootNode(F(1));
        for (const Entry& e : gEntries) db.addNode(e.parent, e.name, e.fid, e.type, 1);
        if (batch.commit()) std::exit(1);
        gBatchAddNode = perSecond(gEntries.size(), t0);
    }
    state.counters["entries/s"] = gBatchAddNode;
}

// A 10,000-entry directory; each round 1 % of it changed (50 files gone,
// 50 new), alternating between two listings.
void BM_UpdateDir(benchmark::State& state) {
    FlrDatabase db(freshDir("update"));
    db.addRootNode(F(1));
    const fsf_fid dir = F(2);
    db.addNode(F(1), "big", dir, FLR_FTYPE_DIR, 0);
    std::list<FlrDatabase::Child> listings[2];
    for (uint64_t i = 0; i < kUpdateDirSize; ++i) {
        FlrDatabase::Child c{F(100 + i), "entry-" + std::to_string(i), FLR_FTYPE_FILE, 0};
        if (i % 10 == 5) c.type = FLR_FTYPE_DIR;
        listings[0].push_back(c);
        if (i % 200 == 7)
            c = FlrDatabase::Child{F(1000000 + i), "new-" + std::to_string(i), FLR_FTYPE_FILE, 0};
        listings[1].push_back(c);
    }
    std::list<fsf_fid> queue;
    db.updateDir(dir, 1, queue, listings[0]);
    uint64_t seq = 2;
    size_t entries = 0;
    double seconds = 0;
    for (auto _ : state) {
        queue.clear();
        auto t0 = std::chrono::steady_clock::now();
        db.updateDir(dir, seq, queue, listings[seq % 2]);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        ++seq;
        entries += kUpdateDirSize;
    }
    gUpdateDir = entries / seconds;
    state.counters["entries/s"] = gUpdateDir;
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
    if (gCount < 2) gCount = 2;

    const char* tmp = std::getenv("TMPDIR");
    std::string tmpl = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench_db.XXXXXX";
    if (!mkdtemp(tmpl.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    gRoot = tmpl;
    makeEntries();

    auto once = [](const char* name, void (*fn)(benchmark::State&)) {
        benchmark::RegisterBenchmark(name, fn)
            ->Iterations(1)
            ->Unit(benchmark::kMillisecond)
            ->UseRealTime();
    };
    once("raw_lmdb_put/txn_per_put", BM_RawPut);
    once("raw_lmdb_put/table_layout/txn_per_change", BM_RawPutTableLayout);
    once("FlrDatabase::addNode/txn_per_change", BM_AddNode);
    once("raw_lmdb_get/txn_per_get", BM_RawGet);
    once("FlrDatabase::fidToNodeName/cold_cache", BM_FidToNodeName);
    once("raw_lmdb_put/one_txn", BM_RawPutBatched);
    once("FlrDatabase::addNode/one_batch", BM_AddNodeBatched);
    benchmark::RegisterBenchmark("FlrDatabase::updateDir/10000_entries_1pct_changed", BM_UpdateDir)
        ->Iterations(20)
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    removeTree(gRoot);

    std::printf(
        "entries %zu: addNode/raw put %.2f (target >= 0.5), fidToNodeName/raw get %.2f (target "
        ">= 0.5), batched addNode/raw put in one txn %.2f, updateDir %.0f entries/s\n",
        gCount, gAddNode / gRawPut, gResolve / gRawGet, gBatchAddNode / gRawBatchPut, gUpdateDir);
    return 0;
}
