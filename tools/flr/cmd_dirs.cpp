// flr dirs: where a pair's files and databases live, for setting up or
// debugging a pair.
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "FLR/JxException.h"
#include "Json.h"
#include "env/FlrHelper.h"

namespace {

struct Place {
    const char* label;  // for a person
    const char* key;    // for --json
    std::string path;
};

std::vector<Place> placesOf(int pair, const std::string& client) {
    std::vector<Place> out = {
        {"pair directory", "pair_dir", FlrHelper::getPairDir(pair, client)},
        {"collect file", "collect", FlrHelper::getCollectFileName(pair, client)},
        {"dirchange file", "dirchange", FlrHelper::getDirChangeFileName(pair, client, false)},
        {"dirchange (tail)", "dirchange_tail", FlrHelper::getDirChangeFileName(pair, client, true)},
        {"orphan file", "orphan", FlrHelper::getOrphanFileName(pair, client)},
        {"send history", "send_history", FlrHelper::getSendHistoryFileName(pair, client)}};
    try {
        out.push_back({"name database", "name_db", FlrHelper::getDatabaseDir(pair)});
        out.push_back(
            {"write-interval db", "write_interval_db", FlrHelper::getWrDatabaseDir(pair)});
        out.push_back({"LBFS database", "lbfs_db", FlrHelper::getLBFSDatabaseDir()});
    } catch (const JxException& e) {
        out.push_back({"databases", "databases_error", "(" + e.getMessage() + ")"});
    }
    return out;
}

// The pair as --pair, or, in the old spelling, as the first of two arguments.
int pairArgument(int pair, const std::vector<std::string>& args) {
    if (args.size() < 2) {
        if (pair < 0) throw CLI::RequiredError("--pair");
        return pair;
    }
    if (pair >= 0) throw CLI::ValidationError("PAIR", "give the pair once, as --pair");
    int n = -1;
    if (!CLI::detail::lexical_cast(args[0], n) || n < 0)
        throw CLI::ValidationError("PAIR", "not a pair number: " + args[0]);
    return n;
}

}  // namespace

void addDirsCommands(CLI::App& app) {
    static int pair = -1;
    static std::vector<std::string> args;
    static bool json = false;
    auto* dirs = app.add_subcommand("dirs", "Show where a pair's files and databases live");
    dirs->add_option("--pair", pair, "Pair number")->check(CLI::NonNegativeNumber);
    // "flr dirs PAIR CLIENT", the old spelling, is still taken.
    dirs->add_option("CLIENT", args, "Client name")->required()->expected(1, 2);
    dirs->add_flag("--json", json, "The places as one JSON object");
    dirs->callback([] {
        const std::vector<Place> places = placesOf(pairArgument(pair, args), args.back());
        if (!json) {
            for (const Place& p : places) std::printf("%-22s %s\n", p.label, p.path.c_str());
            return;
        }
        Json j;
        j.beginObject();
        for (const Place& p : places) j.field(p.key, p.path);
        j.endObject().printLine();
    });
}
