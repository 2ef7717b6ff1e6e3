// flr dirs: where a pair's files and databases live, for setting up or
// debugging a pair.
#include <cstdio>
#include <string>

#include "Commands.h"
#include "FLR/JxException.h"
#include "env/FlrHelper.h"

void addDirsCommands(CLI::App& app) {
    static int pair = 0;
    static std::string client;
    auto* dirs = app.add_subcommand("dirs", "Show where a pair's files and databases live");
    dirs->add_option("PAIR", pair, "Pair number")->required();
    dirs->add_option("CLIENT", client, "Client name")->required();
    dirs->callback([] {
        auto row = [](const char* what, const std::string& path) {
            std::printf("%-22s %s\n", what, path.c_str());
        };
        row("pair directory", FlrHelper::getPairDir(pair, client));
        row("collect file", FlrHelper::getCollectFileName(pair, client));
        row("dirchange file", FlrHelper::getDirChangeFileName(pair, client, false));
        row("dirchange (tail)", FlrHelper::getDirChangeFileName(pair, client, true));
        row("orphan file", FlrHelper::getOrphanFileName(pair, client));
        row("send history", FlrHelper::getSendHistoryFileName(pair, client));
        try {
            row("name database", FlrHelper::getDatabaseDir(pair));
            row("write-interval db", FlrHelper::getWrDatabaseDir(pair));
            row("LBFS database", FlrHelper::getLBFSDatabaseDir());
        } catch (const JxException& e) {
            row("databases", "(" + e.getMessage() + ")");
        }
    });
}
