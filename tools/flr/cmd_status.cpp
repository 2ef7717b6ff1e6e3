// flr status: the watches of replication pairs, running or stopped, from
// the status file each watch keeps in its pair's state folder.
#include <dirent.h>
#include <signal.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "FLR/FlrReplicator.h"
#include "FLR/FlrWatcher.h"
#include "FLR/JxException.h"
#include "Json.h"
#include "platform/JxFile.h"
#include "platform/JxFileLock.h"

namespace {

struct StatusOptions {
    std::string source;
    std::string target;
    std::string stateRoot;
    bool json = false;
};

struct PairStatus {
    std::string stateDir;
    bool known = false;    // a status file was found
    bool running = false;  // its process lives and holds the pair's lock
    FlrWatchState state;
};

// A watch runs when its process lives and the pair's lock is really held
// (a pid alone may have been reused). The probe takes the shared lock, which
// only fails while a run or a watch holds the exclusive one.
bool lockHeld(const std::string& stateDir) {
    JxFileLock probe(stateDir + "/lock");
    try {
        if (!probe.lock(0, 0)) return true;
    } catch (const JxException&) {
        return false;  // no lock file: never ran
    }
    probe.unlock();
    return false;
}

bool processLives(long pid) {
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

PairStatus readPair(const std::string& stateDir) {
    PairStatus p;
    p.stateDir = stateDir;
    std::string text;
    if (!jx::readFileIfExists(flrWatchStateFile(stateDir), &text, "status file")) return p;
    p.known = flrParseWatchState(text, &p.state);
    p.running = p.known && processLives(p.state.pid) && lockHeld(stateDir);
    return p;
}

std::string when(long long epoch) {
    if (epoch <= 0) return "never";
    const time_t t = static_cast<time_t>(epoch);
    struct tm tm {};
    ::localtime_r(&t, &tm);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm);
    return text;
}

void printText(const PairStatus& p) {
    const FlrWatchState& s = p.state;
    std::printf("%s -> %s\n", s.source.c_str(), s.target.c_str());
    if (p.running)
        std::printf("  watch       running (pid %ld) since %s, %s, %s\n", s.pid,
                    when(s.startedAt).c_str(), s.phase.c_str(),
                    s.connected ? "connected" : "not connected");
    else
        std::printf("  watch       not running (last %s at %s)\n", s.phase.c_str(),
                    when(s.updatedAt).c_str());
    std::printf("  journal     %llu records taken, %llu sent (%llu bytes), %llu reconnects\n",
                (unsigned long long)s.taken, (unsigned long long)s.sent,
                (unsigned long long)s.sentBytes, (unsigned long long)s.reconnects);
    if (p.running)
        std::printf("  rates       %.0f records/s, %.0f bytes/s, lag %llu records %.0f s\n",
                    s.recordsPerSecond, s.bytesPerSecond, (unsigned long long)s.lagRecords,
                    s.lagSeconds);
    std::printf("  resyncs     %llu", (unsigned long long)s.resyncs);
    if (s.lastResyncAt > 0)
        std::printf(", last at %s: %s", when(s.lastResyncAt).c_str(), s.lastResyncReason.c_str());
    std::printf("\n  resends     %llu files\n", (unsigned long long)s.resentFiles);
    if (s.privStripped > 0 || s.privWithheld > 0)
        std::printf(
            "  privileged  %llu applied without setuid/setgid, %llu not applied (the "
            "tail's policy)\n",
            (unsigned long long)s.privStripped, (unsigned long long)s.privWithheld);
    std::printf("  last run    %s at %s, %lld files, %lld bytes in %.2f s\n",
                s.lastRunScan.empty() ? "none" : s.lastRunScan.c_str(), when(s.lastRunAt).c_str(),
                s.lastRunFiles, s.lastRunBytes, s.lastRunSeconds);
    std::printf("  consistent  %s\n",
                s.consistentAt > 0 ? when(s.consistentAt).c_str() : "not yet recorded");
    if (!s.error.empty()) std::printf("  error       %s\n", s.error.c_str());
}

void pairJson(Json& j, const PairStatus& p) {
    const FlrWatchState& s = p.state;
    j.beginObject().field("source", s.source).field("target", s.target);
    j.field("running", p.running).field("phase", s.phase).field("pid", s.pid);
    j.field("started_at", s.startedAt).field("updated_at", s.updatedAt);
    j.field("connected", s.connected).field("taken", s.taken).field("sent", s.sent);
    j.field("sent_bytes", s.sentBytes).field("reconnects", s.reconnects);
    j.field("records_per_second", s.recordsPerSecond, 1);
    j.field("bytes_per_second", s.bytesPerSecond, 1).field("lag_records", s.lagRecords);
    j.field("lag_seconds", s.lagSeconds, 1).field("resyncs", s.resyncs);
    j.field("resent_files", s.resentFiles).field("last_resync_at", s.lastResyncAt);
    j.field("privileged_stripped", s.privStripped).field("privileged_withheld", s.privWithheld);
    j.field("consistent_at", s.consistentAt).field("last_resync_reason", s.lastResyncReason);
    j.key("last_run").beginObject().field("scan", s.lastRunScan).field("at", s.lastRunAt);
    j.field("files", s.lastRunFiles).field("bytes", s.lastRunBytes);
    j.field("seconds", s.lastRunSeconds, 3).endObject();
    j.field("error", s.error).field("state_dir", p.stateDir).endObject();
}

std::vector<PairStatus> allPairs(const std::string& root) {
    std::vector<PairStatus> pairs;
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(root.c_str()), ::closedir);
    if (!dir) return pairs;
    while (const struct dirent* e = ::readdir(dir.get())) {
        if (e->d_name[0] == '.') continue;
        // Another user's private state folder is theirs alone: not listed.
        PairStatus p;
        try {
            p = readPair(root + "/" + e->d_name);
        } catch (const JxException& ex) {
            if (ex.getCode() != EACCES && ex.getCode() != EPERM) throw;
            continue;
        }
        if (p.known) pairs.push_back(std::move(p));
    }
    return pairs;
}

void showStatus(const StatusOptions& o) {
    if (o.source.empty() != o.target.empty())
        throw CLI::ValidationError("SRC DST", "Give both SRC and DST, or neither");
    FlrReplicateOptions ro;
    ro.source = o.source;
    ro.target = o.target;
    ro.stateRoot = o.stateRoot;
    if (!o.source.empty()) {
        PairStatus p = readPair(FlrReplicator(ro).stateDir());
        if (!p.known) {
            if (o.json)
                Json()
                    .beginObject()
                    .field("source", FlrReplicator::absolutePath(o.source))
                    .field("target", o.target)
                    .field("running", false)
                    .field("phase", "never")
                    .endObject()
                    .printLine();
            else
                std::printf("%s -> %s: never watched\n", o.source.c_str(), o.target.c_str());
        } else if (o.json) {
            Json j;
            pairJson(j, p);
            j.printLine();
        } else {
            printText(p);
        }
        if (!p.running) throw ExitCode{1};
        return;
    }
    const std::string root = o.stateRoot.empty() ? FlrReplicator::defaultStateRoot() : o.stateRoot;
    const std::vector<PairStatus> pairs = allPairs(root);
    if (o.json) {
        Json j;
        j.beginObject().key("pairs").beginArray();
        for (const PairStatus& p : pairs) pairJson(j, p);
        j.endArray().endObject().printLine();
        return;
    }
    if (pairs.empty()) std::printf("no watched pairs under %s\n", root.c_str());
    for (size_t i = 0; i < pairs.size(); ++i) {
        if (i) std::printf("\n");
        printText(pairs[i]);
    }
}

}  // namespace

void addStatusCommands(CLI::App& app) {
    auto o = std::make_shared<StatusOptions>();
    auto* st = app.add_subcommand("status", "Show the watches of replication pairs");
    st->footer(
        "Per pair watched by `flr replicate SRC DST --watch`: whether the watch runs (its pid "
        "lives and holds the pair's lock), since when, journal records taken and sent, rates "
        "and lag, resyncs and the last one's reason, and the last completed run. Without SRC "
        "DST every pair under the state folder.\nExit status: 0, or 1 when the named pair's "
        "watch is not running.");
    st->add_option("SRC", o->source, "Source folder of the pair");
    st->add_option("DST", o->target, "Destination of the pair, as given to flr replicate");
    st->add_option("--state-dir", o->stateRoot, "Where pairs keep their state");
    st->add_flag("--json", o->json, "One JSON object");
    st->callback([o] { showStatus(*o); });
}
