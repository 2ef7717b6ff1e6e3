// flr verify: does a replica hold exactly what its source holds? Exit 0 when
// the trees are the same, 1 when they differ (each difference printed).
#include <cstdio>
#include <string>

#include "Commands.h"
#include "FLR/platform/JXZrpJobClient.h"
#include "FLR/service/FlrTreeVerify.h"

namespace {

std::string jsonString(const std::string& s) {
    return JXZrpJobClient::quoteJson(s);
}

void printJson(const FlrTreeVerifyResult& r) {
    std::printf("{\"same\":%s,\"entries\":%lld,\"bytes\":%lld,\"differences\":%lld,\"diffs\":[",
                r.same() ? "true" : "false", r.entries, r.bytes, r.differences);
    for (size_t i = 0; i < r.diffs.size(); ++i)
        std::printf("%s{\"path\":%s,\"what\":%s}", i ? "," : "",
                    jsonString(r.diffs[i].path).c_str(), jsonString(r.diffs[i].what).c_str());
    std::printf("]}\n");
}

void printText(const FlrTreeVerifyResult& r) {
    for (const FlrTreeDiff& d : r.diffs)
        std::printf("%s: %s\n", d.path.empty() ? "." : d.path.c_str(), d.what.c_str());
    if (r.differences > static_cast<long long>(r.diffs.size()))
        std::printf("... and %lld more\n", r.differences - static_cast<long long>(r.diffs.size()));
    if (r.same())
        std::printf("flr verify: same (%lld entries, %lld bytes compared)\n", r.entries, r.bytes);
    else
        std::printf("flr verify: %lld difference%s in %lld entries\n", r.differences,
                    r.differences == 1 ? "" : "s", r.entries);
}

}  // namespace

void addVerifyCommands(CLI::App& app) {
    static std::string src, dst;
    static FlrTreeVerifyOptions options;
    static bool json = false;
    auto* verify = app.add_subcommand(
        "verify",
        "Compare a replica with its source (names, types, sizes, modes, contents, links)");
    verify->add_option("SRC", src, "Source folder")->required();
    verify->add_option("DST", dst, "Replica folder")->required();
    verify->add_flag("--owners", options.owners, "Also compare owners and groups");
    verify->add_flag("--times", options.mtimes, "Also compare modification times");
    verify->add_option("--max-diffs", options.maxDiffs, "Differences to print (all are counted)");
    verify->add_flag("--json", json, "One JSON object with the totals and the differences");
    verify->callback([] {
        FlrTreeVerifyResult r = FlrTreeVerify(options).compare(src, dst);
        json ? printJson(r) : printText(r);
        if (!r.same()) throw ExitCode{1};
    });
}
