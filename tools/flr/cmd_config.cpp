// flr config ...: clients, replication sets, pairs and filters, so nobody
// edits the registry file by hand.
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "FLR/JxException.h"
#include "Json.h"
#include "mgmt/MgmtConfig.h"
#include "platform/JXPlatformInfo.h"

namespace {

std::string registryFile;
bool asJson = false;

void useRegistry() {
    if (!registryFile.empty()) JXPlatformInfo::setRegistryFile(registryFile);
}

bool allDigits(const std::string& s) {
    if (s.empty()) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

// A client or set named by its number or its name.
int clientRef(const std::string& ref) {
    if (allDigits(ref)) return std::stoi(ref);
    int id = 0;
    if (JXClient(ref, JXClient::kShortName).getClientId(id) != 0)
        JX_THROW("flr config", "No client named " + ref);
    return id;
}

long setRef(const std::string& ref) {
    if (allDigits(ref)) return std::stol(ref);
    for (const MgmtConfig::Set& s : MgmtConfig::listSets())
        if (s.name == ref) return s.id;
    JX_THROW("flr config", "No set named " + ref);
}

void addClientCommands(CLI::App& config) {
    auto* client = config.add_subcommand("client", "Clients (hosts) of the configuration");
    client->require_subcommand(1);
    static std::string name, host;
    static int id = 0;
    auto* add = client->add_subcommand("add", "Add a client; prints its number");
    add->add_option("NAME", name, "Short name")->required();
    add->add_option("--host", host, "Network host name (default: the name)");
    add->add_option("--id", id, "Client number (default: the next free one)");
    add->callback([] {
        useRegistry();
        std::printf("added client %d\n", MgmtConfig::addClient(name, host, id));
    });
    static std::string ref;
    auto* rm = client->add_subcommand("rm", "Remove a client no set uses");
    rm->alias("remove");  // the old spelling, kept for one release
    rm->add_option("CLIENT", ref, "Client number or name")->required();
    rm->callback([] {
        useRegistry();
        MgmtConfig::removeClient(clientRef(ref));
    });
    auto* list = client->add_subcommand("ls", "List the clients");
    list->alias("list");  // the old spelling, kept for one release
    list->add_flag("--json", asJson, "One JSON object per client");
    list->callback([] {
        useRegistry();
        for (const auto& c : MgmtConfig::listClients()) {
            if (asJson)
                Json()
                    .beginObject()
                    .field("id", c.id)
                    .field("name", c.name)
                    .field("host", c.host)
                    .endObject()
                    .printLine();
            else
                std::printf("%-6d %-20s %s\n", c.id, c.name.c_str(), c.host.c_str());
        }
    });
}

void addSetCommands(CLI::App& config) {
    auto* set = config.add_subcommand("set", "Replication sets");
    set->require_subcommand(1);
    static std::string name, src, dst, ref;
    static long id = 0;
    auto* add = set->add_subcommand("add", "Add a set from a source client to a destination");
    add->add_option("NAME", name, "Set name")->required();
    add->add_option("--client", src, "Source client (number or name)")->required();
    add->add_option("--dest", dst, "Destination client (number or name)")->required();
    add->add_option("--id", id, "Set number (default: the next free one)");
    add->callback([] {
        useRegistry();
        std::printf("added set %ld\n",
                    MgmtConfig::addSet(name, clientRef(src), clientRef(dst), id));
    });
    auto* rm = set->add_subcommand("rm", "Remove a set without pairs");
    rm->alias("remove");  // the old spelling, kept for one release
    rm->add_option("SET", ref, "Set number or name")->required();
    rm->callback([] {
        useRegistry();
        MgmtConfig::removeSet(setRef(ref));
    });
    auto* list = set->add_subcommand("ls", "List the sets");
    list->alias("list");  // the old spelling, kept for one release
    list->add_flag("--json", asJson, "One JSON object per set");
    list->callback([] {
        useRegistry();
        for (const auto& s : MgmtConfig::listSets()) {
            if (asJson)
                Json()
                    .beginObject()
                    .field("id", s.id)
                    .field("name", s.name)
                    .field("client", s.clientId)
                    .field("dest", s.destClientId)
                    .endObject()
                    .printLine();
            else
                std::printf("%-6ld %-20s client %d -> %d\n", s.id, s.name.c_str(), s.clientId,
                            s.destClientId);
        }
    });
}

void addPairCommands(CLI::App& config) {
    auto* pair =
        config.add_subcommand("pair", "Replication pairs: a source and a destination folder");
    pair->require_subcommand(1);
    static std::string set, src, dst;
    static long id = 0;
    auto* add = pair->add_subcommand("add", "Add a pair to a set");
    add->add_option("--set", set, "Set number or name")->required();
    add->add_option("SRC", src, "Source folder (absolute)")->required();
    add->add_option("DST", dst, "Destination folder (absolute)")->required();
    add->add_option("--id", id, "Pair number (default: the next free one)");
    add->callback([] {
        useRegistry();
        std::printf("added pair %ld\n", MgmtConfig::addPair(setRef(set), src, dst, id));
    });
    static long rmId = 0;
    auto* rm = pair->add_subcommand("rm", "Remove a pair");
    rm->alias("remove");  // the old spelling, kept for one release
    rm->add_option("PAIR", rmId, "Pair number")->required();
    rm->callback([] {
        useRegistry();
        MgmtConfig::removePair(rmId);
    });
    static std::string listSet;
    auto* list = pair->add_subcommand("ls", "List the pairs");
    list->alias("list");  // the old spelling, kept for one release
    list->add_option("--set", listSet, "Only this set (number or name)");
    list->add_flag("--json", asJson, "One JSON object per pair");
    list->callback([] {
        useRegistry();
        for (const auto& p : MgmtConfig::listPairs(listSet.empty() ? 0 : setRef(listSet))) {
            if (asJson)
                Json()
                    .beginObject()
                    .field("id", p.id)
                    .field("set", p.setId)
                    .field("src", p.srcPath)
                    .field("dst", p.destPath)
                    .endObject()
                    .printLine();
            else
                std::printf("%-6ld set %-4ld %s -> %s\n", p.id, p.setId, p.srcPath.c_str(),
                            p.destPath.c_str());
        }
    });
}

void addFilterCommands(CLI::App& config) {
    auto* filter = config.add_subcommand(
        "filter", "A set's filters: exclusions, and exceptions that re-include below them");
    filter->require_subcommand(1);
    static std::string set, pattern;
    static bool exception = false;
    auto type = [] { return exception ? JX_FILTER_EXCEPTIONS : JX_FILTER_EXCLUSIONS; };
    for (const char* verb : {"add", "rm"}) {
        const bool adding = std::string(verb) == "add";
        auto* cmd = filter->add_subcommand(
            verb, adding ? "Add a filter (a name without \"/\" matches at any depth)"
                         : "Remove a filter");
        cmd->add_option("--set", set, "Set number or name")->required();
        cmd->add_flag("--exception", exception, "An exception instead of an exclusion");
        cmd->add_option("PATTERN", pattern, "Glob: * ? [...] within a level, ** across levels")
            ->required();
        if (!adding) cmd->alias("remove");  // the old spelling, kept for one release
        cmd->callback([adding, type] {
            useRegistry();
            if (adding)
                MgmtConfig::addFilter(setRef(set), type(), pattern);
            else
                MgmtConfig::removeFilter(setRef(set), type(), pattern);
        });
    }
    auto* list = filter->add_subcommand("ls", "List a set's filters");
    list->alias("list");  // the old spelling, kept for one release
    list->add_option("--set", set, "Set number or name")->required();
    list->add_flag("--json", asJson, "One JSON object per filter");
    list->callback([] {
        useRegistry();
        const long id = setRef(set);
        for (int t : {JX_FILTER_EXCLUSIONS, JX_FILTER_EXCEPTIONS}) {
            const char* kind = t == JX_FILTER_EXCLUSIONS ? "exclude" : "exception";
            for (const std::string& f : MgmtConfig::getFilters(id, t)) {
                if (asJson)
                    Json()
                        .beginObject()
                        .field("type", kind)
                        .field("pattern", f)
                        .endObject()
                        .printLine();
                else
                    std::printf("%-10s %s\n", kind, f.c_str());
            }
        }
    });
}

}  // namespace

void addConfigCommands(CLI::App& app) {
    auto* config = app.add_subcommand("config", "Manage clients, sets, pairs and filters");
    config->require_subcommand(1);
    config->add_option("--file", registryFile,
                       "Registry file (default: $FLR_REGISTRY or /etc/flr/registry.ini)");
    addClientCommands(*config);
    addSetCommands(*config);
    addPairCommands(*config);
    addFilterCommands(*config);
}
