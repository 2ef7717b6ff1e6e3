// Collect file reading: lines per second through FlrCollectFile (the
// transfer's 4096-byte buffer form, the string form, and four threads sharing
// one reader), beside counting the lines of the same file with plain read()
// and memchr, as `wc -l` does, in the same run. The file (1,000,000 lines by
// default, FLR_BENCH_COLLECT_LINES to change) stays in the page cache, so the
// ratio on the last line is what the per-line work (lock, copy, unescape,
// checks) costs against bare line counting. Rates are per CPU second, except
// the shared reader's, which is per wall-clock second.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "scan/FlrCollectFile.h"
#include "scan/FlrCollectText.h"

namespace {

long lineCount() {
    const char* env = std::getenv("FLR_BENCH_COLLECT_LINES");
    const long n = env ? std::atol(env) : 0;
    return n > 0 ? n : 1000000;
}

// Paths shaped like a source tree, one in a hundred with a byte to escape.
class CollectFixture {
  public:
    CollectFixture() {
        const char* tmp = std::getenv("TMPDIR");
        path_ = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench_collect." +
                std::to_string(::getpid());
        std::string text;
        for (long i = 0; i < lines_; ++i) {
            std::string p = "/data/project" + std::to_string(i % 97) + "/src/module" +
                            std::to_string(i % 1013) + "/file" + std::to_string(i) + ".txt";
            if (i % 100 == 0) p += "\nwith\\breaks";
            FlrCollectText::appendEscaped(text, p);
            text += '\n';
        }
        const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        const bool ok = fd >= 0 && ::write(fd, text.data(), text.size()) == ssize_t(text.size());
        if (fd >= 0) ::close(fd);
        if (!ok) {
            std::perror(path_.c_str());
            std::exit(1);
        }
        bytes_ = text.size();
    }
    ~CollectFixture() { ::unlink(path_.c_str()); }

    const std::string& path() const { return path_; }
    long lines() const { return lines_; }
    size_t bytes() const { return bytes_; }

  private:
    std::string path_;
    long lines_ = lineCount();
    size_t bytes_ = 0;
};

const CollectFixture& fixture() {
    static const CollectFixture f;
    return f;
}

void finish(benchmark::State& state, long lines) {
    if (lines != fixture().lines()) state.SkipWithError("line count differs from the file");
    state.SetItemsProcessed(int64_t(state.iterations()) * fixture().lines());
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(fixture().bytes()));
}

void BM_CollectReadLine(benchmark::State& state) {
    long lines = 0;
    for (auto _ : state) {
        FlrCollectFile cf(fixture().path(), 0);
        char buf[4096];
        lines = 0;
        while (cf.readLine(buf, sizeof buf)) ++lines;
    }
    finish(state, lines);
}
BENCHMARK(BM_CollectReadLine)->Unit(benchmark::kMillisecond);

void BM_CollectReadString(benchmark::State& state) {
    long lines = 0;
    for (auto _ : state) {
        FlrCollectFile cf(fixture().path(), 0);
        std::string line;
        lines = 0;
        while (cf.readLine(line)) ++lines;
    }
    finish(state, lines);
}
BENCHMARK(BM_CollectReadString)->Unit(benchmark::kMillisecond);

void BM_CollectShared4Threads(benchmark::State& state) {
    long lines = 0;
    for (auto _ : state) {
        FlrCollectFile cf(fixture().path(), 0);
        std::vector<long> counts(4, 0);
        std::vector<std::thread> threads;
        for (long& n : counts)
            threads.emplace_back([&cf, &n] {
                char buf[4096];
                while (cf.readLine(buf, sizeof buf)) ++n;
            });
        for (auto& t : threads) t.join();
        lines = 0;
        for (long n : counts) lines += n;
    }
    finish(state, lines);
}
BENCHMARK(BM_CollectShared4Threads)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PlainReadCountLines(benchmark::State& state) {
    long lines = 0;
    std::vector<char> buf(64 * 1024);
    for (auto _ : state) {
        const int fd = ::open(fixture().path().c_str(), O_RDONLY | O_CLOEXEC);
        lines = 0;
        for (ssize_t n; (n = ::read(fd, buf.data(), buf.size())) > 0;) {
            const char* p = buf.data();
            const char* end = p + n;
            while ((p = static_cast<const char*>(std::memchr(p, '\n', size_t(end - p))))) {
                ++lines;
                ++p;
            }
        }
        ::close(fd);
    }
    finish(state, lines);
}
BENCHMARK(BM_PlainReadCountLines)->Unit(benchmark::kMillisecond);

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
            const auto items = r.counters.find("items_per_second");
            if (items != r.counters.end()) itemsPerSec[name] = items->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> itemsPerSec;

  private:
    std::set<std::string> medians_;
};

}  // namespace

int main(int argc, char** argv) {
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
    std::printf("collect file: %ld lines, %zu bytes\n", fixture().lines(), fixture().bytes());
    RatioReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                 : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    auto& i = reporter.itemsPerSec;
    auto rate = [&](const char* name) { return i.count(name) ? i[name] : 0.0; };
    const double ours = rate("BM_CollectReadLine"), plain = rate("BM_PlainReadCountLines");
    std::printf(
        "ratio FlrCollectFile/read() lines per second = %.2f (%.1f M lines/s vs %.1f M lines/s; "
        "string form %.1f M lines/s, 4 threads sharing one reader %.1f M lines/s)\n",
        plain > 0 ? ours / plain : 0.0, ours / 1e6, plain / 1e6, rate("BM_CollectReadString") / 1e6,
        rate("BM_CollectShared4Threads") / 1e6);
    return 0;
}
