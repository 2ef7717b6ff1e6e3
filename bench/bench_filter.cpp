// Filter pattern matching: the cost of asking 50 exclusion patterns about one
// path (what a scan pays per entry), beside glibc fnmatch(FNM_PATHNAME) over
// the same patterns in the same run, and the cost of a hostile pattern made
// of many "**" levels against a path 400 levels deep. The last line gives
// ns per path and the ratio TPathMatch/fnmatch speed (target >= 1.0).
#include <benchmark/benchmark.h>
#include <fnmatch.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "platform/TPathMatch.h"

namespace {

// Patterns a set's filters hold: names at any depth, extensions, fixed
// trees, wildcard levels. The "/**/" ones are what FlrFilterConf makes of a
// filter without a leading "/".
std::vector<std::string> filterPatterns() {
    std::vector<std::string> p = {
        "/**/tmp",
        "/**/*.o",
        "/**/*.tmp",
        "/**/.cache",
        "/**/node_modules",
        "/**/*.swp",
        "/**/core",
        "/**/.git",
        "/var/cache/**",
        "/var/tmp/**",
        "/proc/**",
        "/sys/**",
        "/home/*/Downloads",
        "/home/*/.cache",
        "/home/*/.local/share/Trash",
        "/srv/*/logs/*.log",
        "/data/[0-9][0-9]/scratch",
        "/**/*.bak",
        "/**/~*",
        "/**/#*#",
        "/opt/*/build/**",
        "/**/__pycache__",
        "/**/*.pyc",
        "/**/.DS_Store",
        "/**/Thumbs.db",
        "/**/*.iso",
    };
    for (int i = 0; p.size() < 50; ++i)
        p.push_back("/data/project" + std::to_string(i) + "/out/*.[ao]");
    return p;
}

// A tree-shaped sample of paths, 4 to 12 levels deep, names from a small
// vocabulary so that some patterns hit.
std::vector<std::string> samplePaths(size_t count) {
    const char* words[] = {"home",   "alice",     "src", "lib",   "data",       "project3",
                           "out",    "docs",      "var", "cache", "report.txt", "main.c",
                           "main.o", "image.png", "tmp", "build", "notes.md",   "a.tmp"};
    std::mt19937 rng(7);
    std::vector<std::string> out;
    for (size_t i = 0; i < count; ++i) {
        std::string path;
        const int depth = 4 + int(rng() % 9);
        for (int d = 0; d < depth; ++d) path += "/" + std::string(words[rng() % std::size(words)]);
        out.push_back(path);
    }
    return out;
}

struct Corpus {
    std::vector<std::string> patterns = filterPatterns();
    std::vector<std::string> paths = samplePaths(4096);
    std::vector<std::unique_ptr<TPathMatch>> matchers;
    // fnmatch has no "**": it gets the patterns with "**" read as "*"
    // (one level), which is less work than what TPathMatch is asked to do.
    std::vector<std::string> fnPatterns;

    Corpus() {
        for (const std::string& p : patterns) {
            auto m = std::make_unique<TPathMatch>();
            m->setDelimiter('/');
            if (m->compile(p, 1, 0) != 0) std::fprintf(stderr, "%s\n", m->lastError().c_str());
            matchers.push_back(std::move(m));
            std::string f = p;
            for (size_t at; (at = f.find("**")) != std::string::npos;) f.erase(at, 1);
            fnPatterns.push_back(f);
        }
    }
};

const Corpus& corpus() {
    static const Corpus c;
    return c;
}

void BM_TPathMatch50(benchmark::State& state) {
    const Corpus& c = corpus();
    size_t hits = 0;
    for (auto _ : state) {
        for (const std::string& path : c.paths)
            for (const auto& m : c.matchers)
                if (m->match(path)) {
                    ++hits;
                    break;
                }
    }
    benchmark::DoNotOptimize(hits);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(c.paths.size()));
}
BENCHMARK(BM_TPathMatch50);

void BM_Fnmatch50(benchmark::State& state) {
    const Corpus& c = corpus();
    size_t hits = 0;
    for (auto _ : state) {
        for (const std::string& path : c.paths)
            for (const std::string& p : c.fnPatterns)
                if (::fnmatch(p.c_str(), path.c_str(), FNM_PATHNAME) == 0) {
                    ++hits;
                    break;
                }
    }
    benchmark::DoNotOptimize(hits);
    state.SetItemsProcessed(int64_t(state.iterations()) * int64_t(c.paths.size()));
}
BENCHMARK(BM_Fnmatch50);

// 40 "**" levels, each followed by a wildcard level, then a level that only
// the last path level could be: a backtracking matcher tries every way of
// spreading 400 levels over 40 gaps.
void BM_HostileGlobStar(benchmark::State& state) {
    std::string pattern;
    for (int i = 0; i < 40; ++i) pattern += "/**/a*";
    pattern += "/**/zz*";
    std::string deep;
    for (int i = 0; i < 400; ++i) deep += "/aaaaaaaa";
    const std::string miss = deep + "/zq";
    TPathMatch m;
    if (m.compile(pattern, 1, 1) != 0) {
        state.SkipWithError(m.lastError().c_str());
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(m.match(miss));
    state.SetItemsProcessed(int64_t(state.iterations()));
}
BENCHMARK(BM_HostileGlobStar);

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
    std::printf("corpus: %zu patterns, %zu paths\n", corpus().patterns.size(),
                corpus().paths.size());
    RatioReporter reporter(isatty(STDOUT_FILENO) ? benchmark::ConsoleReporter::OO_ColorTabular
                                                 : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    auto& i = reporter.itemsPerSec;
    auto nsPer = [&](const char* name) { return i.count(name) && i[name] > 0 ? 1e9 / i[name] : 0; };
    const double ours = nsPer("BM_TPathMatch50"), theirs = nsPer("BM_Fnmatch50");
    std::printf(
        "ratio TPathMatch/fnmatch speed = %.2f (50 patterns: %.0f ns/path vs %.0f ns/path); "
        "hostile \"**\" pattern: %.0f ns/path (400-level path)\n",
        ours > 0 ? theirs / ours : 0.0, ours, theirs, nsPer("BM_HostileGlobStar"));
    return 0;
}
