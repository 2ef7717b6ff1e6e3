// Journal codec throughput on a realistic record mix (WRITE with 4 KiB
// payloads, CREATE, RENAME, SETATTR, REMOVE), beside a memcpy of the same
// bytes in the same run. The last line gives the ratios:
//   encode/memcpy bandwidth (target >= 0.8) and small-record decoding in
//   million records per second on one core (target >= 20).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "FLR/FlrJrnConvert.h"
#include "FLR/FlrNetJournal.h"
#include "FLR/FlrRawJournal.h"
#include "journal/FlrJrnSample.h"

namespace {

// About 3.5 MB of records: larger than the private caches, as a journal
// batch is, without making the run long.
constexpr size_t kRecords = 2048;

uint32_t recLenAt(const uint8_t* p) {
    return (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

struct Corpus {
    std::vector<uint8_t> journal;  // the bench mix, encoded
    std::vector<FlrJrnCommand> cmds;
    std::vector<uint8_t> small;  // only the records without a payload
    size_t smallCount = 0;
    std::vector<uint8_t> writes;  // only the WRITE records
    std::vector<FlrJrnCommand> writeCmds;
    FlrFidPathMap paths;

    Corpus() {
        build();
        for (size_t off = 0; off < writes.size(); off += recLenAt(&writes[off])) {
            FlrJrnCommand c;
            decodeRawCmd(writes.data() + off, writes.size() - off, &c);
            writeCmds.push_back(c);
        }
    }

  private:
    void build() {
        FlrJrnSample::Options opt;
        opt.seed = 2024;
        opt.mix = FlrJrnSample::Mix::Bench;
        FlrJrnSample sample(opt);
        sample.generate(kRecords, journal);
        paths = sample.pathMap();
        for (size_t off = 0; off < journal.size(); off += recLenAt(&journal[off])) {
            FlrJrnCommand c;
            decodeRawCmd(journal.data() + off, journal.size() - off, &c);
            cmds.push_back(c);
            const uint32_t len = recLenAt(&journal[off]);
            if (c.cmd != FLR_JRN_WRITE) {
                small.insert(small.end(), journal.begin() + off, journal.begin() + off + len);
                ++smallCount;
            } else {
                writes.insert(writes.end(), journal.begin() + off, journal.begin() + off + len);
            }
        }
    }
};

const Corpus& corpus() {
    static const Corpus c;
    return c;
}

void copyAll(benchmark::State& state, const std::vector<uint8_t>& bytes, size_t count) {
    std::vector<uint8_t> out(bytes.size());
    for (auto _ : state) {
        std::memcpy(out.data(), bytes.data(), bytes.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes.size()));
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(count));
}

void encodeAll(benchmark::State& state, const std::vector<FlrJrnCommand>& cmds, size_t bytes) {
    std::vector<uint8_t> out(bytes);
    for (auto _ : state) {
        uint8_t* p = out.data();
        for (const FlrJrnCommand& cmd : cmds) {
            encodeRawCmd(&cmd, p);
            p += recLenAt(p);
        }
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(cmds.size()));
}

void BM_Memcpy(benchmark::State& state) {
    copyAll(state, corpus().journal, corpus().cmds.size());
}
BENCHMARK(BM_Memcpy);

void BM_EncodeRaw(benchmark::State& state) {
    encodeAll(state, corpus().cmds, corpus().journal.size());
}
BENCHMARK(BM_EncodeRaw);

// The WRITE records alone: what encoding costs when nearly every byte is payload.
void BM_MemcpyWrites(benchmark::State& state) {
    copyAll(state, corpus().writes, corpus().writeCmds.size());
}
BENCHMARK(BM_MemcpyWrites);

void BM_EncodeWrites(benchmark::State& state) {
    encodeAll(state, corpus().writeCmds, corpus().writes.size());
}
BENCHMARK(BM_EncodeWrites);

template <bool Checked>
void decodeAll(benchmark::State& state, const std::vector<uint8_t>& journal, size_t count) {
    FlrJrnCommand cmd;
    for (auto _ : state) {
        const uint8_t* p = journal.data();
        const uint8_t* end = p + journal.size();
        while (p < end) {
            if constexpr (Checked) {
                if (decodeRawCmd(p, size_t(end - p), &cmd) != 0) {
                    state.SkipWithError("decode failed");
                    return;
                }
            } else {
                decodeRawCmd(p, &cmd);
            }
            benchmark::DoNotOptimize(cmd);
            p += recLenAt(p);
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(journal.size()));
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(count));
}

void BM_DecodeRawChecked(benchmark::State& state) {
    decodeAll<true>(state, corpus().journal, corpus().cmds.size());
}
BENCHMARK(BM_DecodeRawChecked);

void BM_DecodeSmallChecked(benchmark::State& state) {
    decodeAll<true>(state, corpus().small, corpus().smallCount);
}
BENCHMARK(BM_DecodeSmallChecked);

void BM_DecodeSmallTrusting(benchmark::State& state) {
    decodeAll<false>(state, corpus().small, corpus().smallCount);
}
BENCHMARK(BM_DecodeSmallTrusting);

// The head's per-record path: raw record -> network form -> wire bytes.
void BM_ConvertAndEncodeNet(benchmark::State& state) {
    const Corpus& c = corpus();
    FlrJrnConverter conv(c.paths);
    FlrJrnCommandNet net;
    char* wire = nullptr;
    int capacity = 0;
    size_t bytes = 0;
    for (auto _ : state) {
        for (const FlrJrnCommand& cmd : c.cmds) {
            if (conv.convert(cmd, net) != FlrJrnConvResult::Ok) {
                state.SkipWithError(conv.lastError());
                std::free(wire);
                return;
            }
            bytes += size_t(encodeNetCmd(&net, wire, capacity));
        }
        benchmark::ClobberMemory();
    }
    std::free(wire);
    state.SetBytesProcessed(int64_t(bytes));
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(c.cmds.size()));
}
BENCHMARK(BM_ConvertAndEncodeNet);

// Keeps each benchmark's rates so the ratios can be printed last: the median
// of the repetitions when there are several, else the single run.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    explicit RatioReporter(OutputOptions opts) : ConsoleReporter(opts) {}

    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& r : runs) {
            if (r.error_occurred) continue;
            const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
            if (!median && r.run_type != Run::RT_Iteration) continue;
            const std::string name = r.run_name.function_name;
            if (!median && medians_.count(name)) continue;
            if (median) medians_.insert(name);
            const auto bytes = r.counters.find("bytes_per_second");
            const auto items = r.counters.find("items_per_second");
            if (bytes != r.counters.end()) bytesPerSec[name] = bytes->second.value;
            if (items != r.counters.end()) itemsPerSec[name] = items->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> bytesPerSec;
    std::map<std::string, double> itemsPerSec;

  private:
    std::set<std::string> medians_;
};

}  // namespace

int main(int argc, char** argv) {
    // The machines this runs on are shared: by default every benchmark runs
    // five times and the ratios use the medians.
    std::vector<char*> args(argv, argv + argc);
    char reps[] = "--benchmark_repetitions=5";
    char aggregates[] = "--benchmark_report_aggregates_only=true";
    if (argc == 1) {
        args.push_back(reps);
        args.push_back(aggregates);
    }
    int n = static_cast<int>(args.size());
    benchmark::Initialize(&n, args.data());
    if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
    const Corpus& c = corpus();
    std::printf("corpus: %zu records, %zu bytes; %zu small records, %zu bytes\n", c.cmds.size(),
                c.journal.size(), c.smallCount, c.small.size());
    RatioReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                 : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    auto& b = reporter.bytesPerSec;
    auto& i = reporter.itemsPerSec;
    auto ratio = [&](const char* x, const char* y) {
        return b.count(x) && b.count(y) && b[y] > 0 ? b[x] / b[y] : 0.0;
    };
    std::printf(
        "ratio encode/memcpy = %.2f (mix), %.2f (WRITE records only); decode/memcpy = %.2f; "
        "small-record decode = %.1f Mrec/s checked, %.1f Mrec/s trusting\n",
        ratio("BM_EncodeRaw", "BM_Memcpy"), ratio("BM_EncodeWrites", "BM_MemcpyWrites"),
        ratio("BM_DecodeRawChecked", "BM_Memcpy"), i["BM_DecodeSmallChecked"] / 1e6,
        i["BM_DecodeSmallTrusting"] / 1e6);
    return 0;
}
