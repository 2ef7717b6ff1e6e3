// flr pair: named replication pairs in the registry (what `flr replicate
// --pair NAME` and the flr-watch@NAME unit run), and the state folders that
// pairs, declared or not, keep under the state root.
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "Commands.h"
#include "FLR/FlrPairs.h"
#include "FLR/JxException.h"
#include "Json.h"
#include "Printable.h"
#include "net/FlrRateLimit.h"

namespace {

struct PairArgs {
    FlrDeclaredPair pair;
    std::string bwlimit = "0";
    bool replace = false;
    bool json = false;
    bool withState = false;
    std::string stateId;
    std::string stateRoot;
};
PairArgs pairArgs;

std::string stateDirOf(const FlrDeclaredPair& p) {
    FlrReplicateOptions o = p.options;
    o.stateRoot = pairArgs.stateRoot;
    try {
        return FlrReplicator(o).stateDir();
    } catch (const JxException&) {
        return {};  // the source is gone: no state of it can be named
    }
}

// "running", "stopped" (has state) or "never run".
const char* stateWord(const std::string& dir, const std::vector<FlrPairState>& all) {
    for (const FlrPairState& s : all) {
        if (s.dir == dir) return s.busy ? "running" : "stopped";
    }
    return "never run";
}

void printPairText(const FlrDeclaredPair& p, const char* state) {
    const FlrReplicateOptions& o = p.options;
    std::printf("%s\n  %s -> %s\n  method %s, %d stream%s%s%s%s, %s\n", p.name.c_str(),
                printable(o.source).c_str(), printable(o.target).c_str(), o.method.c_str(),
                o.streams, o.streams == 1 ? "" : "s",
                o.compress ? (", zstd " + std::to_string(o.compress)).c_str() : "",
                o.encrypt ? ", encrypted" : "", o.noDelete ? ", no delete" : "",
                p.watch ? "watched" : "run on demand");
    if (o.bwlimit) std::printf("  bwlimit %lld bytes/s\n", o.bwlimit);
    for (const std::string& x : o.excludes) std::printf("  exclude %s\n", printable(x).c_str());
    for (const std::string& x : o.includes) std::printf("  include %s\n", printable(x).c_str());
    std::printf("  state %s\n", state);
}

void printPairJson(const FlrDeclaredPair& p, const char* state) {
    const FlrReplicateOptions& o = p.options;
    Json()
        .beginObject()
        .field("name", p.name)
        .field("source", o.source)
        .field("destination", o.target)
        .field("method", o.method)
        .field("streams", o.streams)
        .field("compress", o.compress)
        .field("encrypt", o.encrypt)
        .field("exclude", o.excludes)
        .field("include", o.includes)
        .field("no_delete", o.noDelete)
        .field("bwlimit", o.bwlimit)
        .field("watch", p.watch)
        .field("state", state)
        .endObject()
        .printLine();
}

FlrDeclaredPair declaredPair(const std::string& name) {
    FlrDeclaredPair p;
    if (!FlrPairs::find(name, &p))
        JX_THROW_CODE("pair", "No pair named " + name + " is declared (flr pair ls lists them)",
                      ENOENT);
    return p;
}

void listPairs() {
    const std::vector<FlrPairState> all = FlrPairs::states(pairArgs.stateRoot);
    std::vector<std::string> claimed;
    for (const std::string& name : FlrPairs::names()) {
        const FlrDeclaredPair p = declaredPair(name);
        const std::string dir = stateDirOf(p);
        claimed.push_back(dir);
        pairArgs.json ? printPairJson(p, stateWord(dir, all))
                      : printPairText(p, stateWord(dir, all));
    }
    // State no declared pair claims: one-shot runs, removed pairs, failed first runs.
    for (const FlrPairState& s : all) {
        if (std::find(claimed.begin(), claimed.end(), s.dir) != claimed.end()) continue;
        const std::string src = s.source.empty() ? "?" : s.source;
        const std::string dst = s.target.empty() ? "?" : s.target;
        if (pairArgs.json)
            Json()
                .beginObject()
                .field("state_id", s.id)
                .field("source", src)
                .field("destination", dst)
                .field("state", s.busy ? "running" : "stopped")
                .endObject()
                .printLine();
        else
            std::printf("(undeclared) state %s\n  %s -> %s\n  state %s\n", s.id.c_str(),
                        printable(src).c_str(), printable(dst).c_str(),
                        s.busy ? "running" : "stopped");
    }
}

void addPairAdd(CLI::App* pair) {
    auto* add = pair->add_subcommand("add", "Declare a pair (checked, then written atomically)");
    FlrReplicateOptions& o = pairArgs.pair.options;
    add->add_option("NAME", pairArgs.pair.name, "Letters, digits, '.', '_' and '-'")->required();
    add->add_option("SRC", o.source, "Source folder")->required();
    add->add_option("DST", o.target, "Destination folder, or HOST:PORT:/path of a tail")
        ->required();
    add->add_option("--method", o.method, "full, md5, rsync, lbfs or auto")
        ->check(CLI::IsMember({"full", "md5", "rsync", "lbfs", "auto"}));
    add->add_option("--streams", o.streams, "Parallel connections")->check(CLI::Range(1, 64));
    add->add_option("--compress", o.compress, "zstd level, 0 = off")->check(CLI::Range(0, 19));
    add->add_flag("--encrypt", o.encrypt, "Encrypt the link");
    add->add_option("--exclude", o.excludes, "Pattern left alone (repeatable)")
        ->allow_extra_args(false);
    add->add_option("--include", o.includes, "Pattern sent even when excluded (repeatable)")
        ->allow_extra_args(false);
    add->add_flag("--no-delete", o.noDelete, "Keep what the source no longer has");
    add->add_option("--bwlimit", pairArgs.bwlimit, "Bytes per second (K, M, G)")->type_name("RATE");
    add->add_flag("--watch", pairArgs.pair.watch,
                  "Meant to be watched: `systemctl enable --now flr-watch@NAME`");
    add->add_flag("--replace", pairArgs.replace, "Overwrite a pair of that name");
    add->callback([] {
        std::string why;
        if (!FlrRateLimit::parse(pairArgs.bwlimit, &pairArgs.pair.options.bwlimit, &why))
            throw CLI::ValidationError("--bwlimit", why);
        FlrPairs::save(pairArgs.pair, pairArgs.replace);
        std::printf("declared pair %s\n", pairArgs.pair.name.c_str());
    });
}

void addPairRm(CLI::App* pair) {
    auto* rm = pair->add_subcommand("rm", "Remove a declared pair, or a state folder");
    auto* name = rm->add_option("NAME", pairArgs.pair.name, "The declared pair");
    rm->add_flag("--state", pairArgs.withState,
                 "Also remove its state folder (its next run is a baseline)");
    rm->add_option("--state-id", pairArgs.stateId,
                   "Remove the state folder of this id (as `flr pair ls` shows it) instead")
        ->excludes(name);
    rm->callback([] {
        if (!pairArgs.stateId.empty()) {
            for (const FlrPairState& s : FlrPairs::states(pairArgs.stateRoot)) {
                if (s.id != pairArgs.stateId) continue;
                FlrPairs::removeState(s.dir);
                std::printf("removed state %s\n", s.id.c_str());
                return;
            }
            JX_THROW_CODE("pair rm", "No state folder " + pairArgs.stateId, ENOENT);
        }
        if (pairArgs.pair.name.empty())
            throw CLI::ValidationError("NAME", "name a pair, or a state folder with --state-id");
        const FlrDeclaredPair p = declaredPair(pairArgs.pair.name);
        if (pairArgs.withState) {
            const std::string dir = stateDirOf(p);
            const std::vector<FlrPairState> all = FlrPairs::states(pairArgs.stateRoot);
            if (!dir.empty() && std::string(stateWord(dir, all)) != "never run")
                FlrPairs::removeState(dir);
        }
        FlrPairs::remove(p.name);
        std::printf("removed pair %s%s\n", p.name.c_str(),
                    pairArgs.withState ? " and its state" : "");
    });
}

}  // namespace

void addDeclaredPairCommands(CLI::App& app) {
    auto* pair = app.add_subcommand("pair", "Declared replication pairs and their state");
    pair->require_subcommand(1);
    pair->add_option("--state-dir", pairArgs.stateRoot, "Where pairs keep their state");
    addPairAdd(pair);
    auto* ls = pair->add_subcommand("ls", "List declared pairs, and state no declared pair claims");
    ls->add_flag("--json", pairArgs.json, "One JSON object per line");
    ls->callback(listPairs);
    auto* show = pair->add_subcommand("show", "Show one declared pair");
    show->add_option("NAME", pairArgs.pair.name, "The pair")->required();
    show->add_flag("--json", pairArgs.json, "As one JSON object");
    show->callback([] {
        const FlrDeclaredPair p = declaredPair(pairArgs.pair.name);
        const char* state = stateWord(stateDirOf(p), FlrPairs::states(pairArgs.stateRoot));
        pairArgs.json ? printPairJson(p, state) : printPairText(p, state);
    });
    addPairRm(pair);
}
