// flr replicate: copy a folder to a replica and keep it a mirror, run after
// run (a full scan the first time, only what changed afterwards).
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

#include "Commands.h"
#include "FLR/FlrPairs.h"
#include "FLR/FlrReplicator.h"
#include "FLR/FlrWatcher.h"
#include "FLR/JxException.h"
#include "Json.h"
#include "Printable.h"
#include "ReplicateWatch.h"
#include "env/FlrHelper.h"
#include "mgmt/MgmtConfig.h"
#include "net/FlrRateLimit.h"
#include "platform/EvDebug.h"
#include "platform/JxFile.h"
#include "platform/JxSystemd.h"
#include "service/FlrMetrics.h"

namespace {

std::string clock(double secs) {
    const long s = static_cast<long>(secs + 0.5);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    return text;
}

// One rewritten line on the terminal.
void showProgress(const FlrReplicateProgress& p) {
    const double rate = p.seconds > 0 ? p.bytes / p.seconds : 0;
    if (std::string(p.phase) == "scan") {
        std::fprintf(stderr, "\rscan: %lld entries, %lld selected (%s)\x1b[K", p.entries, p.files,
                     humanBytes(static_cast<double>(p.bytes)).c_str());
    } else {
        std::string eta = "--:--:--";
        if (rate > 0 && p.totalBytes >= p.bytes) eta = clock((p.totalBytes - p.bytes) / rate);
        std::fprintf(stderr, "\rtransfer: %lld/%lld files, %s/%s, %s/s, ETA %s\x1b[K", p.files,
                     p.totalFiles, humanBytes(static_cast<double>(p.bytes)).c_str(),
                     humanBytes(static_cast<double>(p.totalBytes)).c_str(),
                     humanBytes(rate).c_str(), eta.c_str());
    }
    std::fflush(stderr);
}

void printSummary(const FlrReplicateSummary& s, const std::string& src, const std::string& dst) {
    std::printf("flr replicate: %s -> %s\n", src.c_str(), dst.c_str());
    std::printf("  scan      %s, %lld entries examined, %lld selected (%s) in %.2f s\n",
                s.scan.c_str(), s.entries, s.selected,
                humanBytes(static_cast<double>(s.bytesRead)).c_str(), s.scanSeconds);
    std::printf(
        "  transfer  %lld entries (%lld full, %lld md5, %lld rsync, %lld lbfs), %s of data, %s on "
        "the wire in %.2f s\n",
        s.files, s.methods[0], s.methods[1], s.methods[2], s.methods[3],
        humanBytes(static_cast<double>(s.bytesSent)).c_str(),
        humanBytes(static_cast<double>(s.wireBytes)).c_str(), s.transferSeconds);
    if (s.methods[3] > 0)
        std::printf("  lbfs      %.1f%% of the LBFS files' bytes were already on the destination\n",
                    s.lbfsSaved);
    if (s.removedReported)
        std::printf("  mirror    %lld removed on the destination\n", s.removed);
    else
        std::printf(
            "  mirror    removals on the destination unknown (the tail is too old to tell)\n");
    if (s.skipped > 0)
        std::printf(
            "  skipped   %lld entries changed while they were sent; the next run takes them\n",
            s.skipped);
    if (s.privStripped > 0 || s.privWithheld > 0)
        std::printf(
            "  privilege %lld applied without setuid/setgid, %lld device nodes or privileged "
            "entries not applied (the tail's policy)\n",
            s.privStripped, s.privWithheld);
    std::printf("  total     %.2f s\n", s.seconds);
}

void printJson(const FlrReplicateSummary& s) {
    Json j;
    j.beginObject().field("scan", s.scan).field("since", s.since).field("entries", s.entries);
    j.field("selected", s.selected).field("files", s.files).field("bytes_read", s.bytesRead);
    j.field("bytes_sent", s.bytesSent).field("wire_bytes", s.wireBytes);
    j.key("methods").beginObject().field("full", s.methods[0]).field("md5", s.methods[1]);
    j.field("rsync", s.methods[2]).field("lbfs", s.methods[3]).endObject();
    j.field("lbfs_saved_percent", s.lbfsSaved, 1).field("removed", s.removed);
    j.field("removed_reported", s.removedReported).field("privileged_stripped", s.privStripped);
    j.field("privileged_withheld", s.privWithheld).field("privileged_reported", s.privReported);
    j.field("skipped", s.skipped);
    j.field("scan_seconds", s.scanSeconds, 3).field("transfer_seconds", s.transferSeconds, 3);
    j.field("elapsed", s.seconds, 3).endObject().printLine();
}

// --dry-run: one line an entry, then the totals.
void printDryRun(const FlrDryRunReport& r, const std::string& src, const std::string& dst) {
    std::printf("flr replicate --dry-run: %s -> %s (nothing changed)\n", src.c_str(), dst.c_str());
    for (const FlrDryRunItem& i : r.items) {
        const char* word = i.action == FlrDryRunItem::kNew        ? "new"
                           : i.action == FlrDryRunItem::kChanged  ? "changed"
                           : i.action == FlrDryRunItem::kReplaced ? "replace"
                           : i.action == FlrDryRunItem::kRemoved  ? "remove"
                                                                  : "unreadable";
        const std::string path = i.path.empty() ? "." : i.path;
        if (i.action == FlrDryRunItem::kUnreadable)
            std::printf("  %-9s %s: %s\n", word, path.c_str(), i.what.c_str());
        else
            std::printf("  %-9s %s\n", word, path.c_str());
    }
    std::printf(
        "  total     %lld to send (%s), %lld to replace, %lld to remove, %lld unreadable; %lld "
        "source entries examined in %.2f s\n",
        r.sent, humanBytes(static_cast<double>(r.bytes)).c_str(), r.replaced, r.removed,
        r.unreadable, r.entries, r.seconds);
}

void printDryRunJson(const FlrDryRunReport& r) {
    Json j;
    j.beginObject().field("dry_run", true).field("entries", r.entries).field("bytes", r.bytes);
    j.key("counts").beginObject().field("send", r.sent).field("replace", r.replaced);
    j.field("remove", r.removed).field("unreadable", r.unreadable).endObject();
    // One list a kind; new and changed entries are both sent.
    auto listOf = [](const FlrDryRunItem& i) {
        return i.action == FlrDryRunItem::kReplaced     ? 1
               : i.action == FlrDryRunItem::kRemoved    ? 2
               : i.action == FlrDryRunItem::kUnreadable ? 3
                                                        : 0;
    };
    const char* names[] = {"send", "replace", "remove", "unreadable"};
    for (int k = 0; k < 4; ++k) {
        j.key(names[k]).beginArray();
        for (const FlrDryRunItem& i : r.items) {
            if (listOf(i) != k) continue;
            if (k == 3)
                j.beginObject().field("path", i.path).field("what", i.what).endObject();
            else
                j.value(i.path);
        }
        j.endArray();
    }
    j.field("elapsed", r.seconds, 3).endObject().printLine();
}

// -v: a line an entry as it goes, in the summary's layout; on stderr when
// stdout carries the JSON summary. A progress line on the terminal is
// cleared first so the two do not mix.
// A watch lists its journal's records on the journal's thread while a scan
// lists its files on its own: one line at a time.
std::mutex gListMtx;

struct EntryLister {
    bool toStderr = false;
    bool progress = false;
    void line(const char* word, const std::string& rel) const {
        std::lock_guard<std::mutex> lock(gListMtx);
        if (progress) std::fprintf(stderr, "\r\x1b[K");
        std::FILE* out = toStderr ? stderr : stdout;
        std::fprintf(out, "  %-9s %s\n", word, rel.empty() ? "." : rel.c_str());
        std::fflush(out);
    }
};

// --exclude-from: a pattern per line; blank lines and # comments skipped.
void readPatterns(const std::string& file, std::vector<std::string>* out) {
    std::string text;
    if (!jx::readFileIfExists(file, &text, "exclude file"))
        throw CLI::ValidationError("--exclude-from", file + " does not exist");
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty() && line[0] != '#') out->push_back(line);
    }
}

// The library's checks, reported as a usage error on DST.
void checkPair(FlrReplicateOptions& o) {
    try {
        FlrPairs::checkPatterns(o.excludes);
        FlrPairs::checkPatterns(o.includes);
    } catch (const JxException& e) {
        throw CLI::ValidationError("--exclude", e.getMessage());
    }
    try {
        FlrPairs::normalize(o);
    } catch (const JxException& e) {
        if (e.getCode() != EINVAL) throw;
        std::string why = e.getMessage();
        if (!why.empty())
            why[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(why[0])));
        throw CLI::ValidationError("DST", why);
    }
}

// A set's filter as a pattern of the command line: without a leading "/"
// it matches at any depth in both; an absolute one is made relative to the
// source. False for one that cannot match below the source.
bool relativeFilter(const std::string& filter, const std::string& source, std::string* out) {
    if (filter.empty()) return false;
    if (filter[0] != '/') {
        *out = filter;
    } else if (filter.rfind("/**/", 0) == 0) {
        *out = filter.substr(4);
    } else if (filter.size() > source.size() + 1 && filter.rfind(source + "/", 0) == 0) {
        *out = filter.substr(source.size());
    } else {
        return false;
    }
    return true;
}

std::string declaredPath(const std::string& path) {
    try {
        return jx::resolvePath(path);
    } catch (const JxException&) {
        return path;  // not there (yet): compared as written
    }
}

// The filters `flr config filter` keeps for the set of a declared pair with
// this source and destination apply to its runs as well, after the command
// line's own: exclusions as --exclude, exceptions as --include.
void addDeclaredFilters(FlrReplicateOptions& o) {
    std::vector<MgmtConfig::Pair> pairs;
    try {
        pairs = MgmtConfig::listPairs();
    } catch (const JxException& e) {
        EvDebug::Debug("flr replicate", "No declared pairs: %s", e.getMessage().c_str());
        return;
    }
    // A tail's path is compared as written: resolving it here would follow
    // this host's links, not the tail's.
    std::string host, port, path;
    const bool remote = FlrReplicator::parseRemote(o.target, &host, &port, &path);
    const std::string target = remote ? FlrHelper::stripTrailingSlashes(path) : o.target;
    for (const MgmtConfig::Pair& p : pairs) {
        const std::string dest = remote ? p.destPath : declaredPath(p.destPath);
        if (declaredPath(p.srcPath) != o.source || FlrHelper::stripTrailingSlashes(dest) != target)
            continue;
        for (const int type : {JX_FILTER_EXCLUSIONS, JX_FILTER_EXCEPTIONS}) {
            auto& into = type == JX_FILTER_EXCLUSIONS ? o.excludes : o.includes;
            for (const std::string& f : MgmtConfig::getFilters(p.setId, type)) {
                std::string pattern;
                if (relativeFilter(f, o.source, &pattern))
                    into.push_back(pattern);
                else
                    std::fprintf(stderr,
                                 "flr: the filter %s of set %ld names nothing below %s: not "
                                 "applied\n",
                                 f.c_str(), p.setId, o.source.c_str());
            }
        }
    }
}

FlrReplicateOptions repOpts;
bool repJson = false;
bool repQuiet = false;
bool verbose = false;
bool dryRun = false;
bool watch = false;
bool watchAllPairs = false;
std::string bwlimit = "0";
std::string repLogFile;
std::string pairName;
std::string repMetricsAt;
PairRereader rereadPair;

// A declared pair's settings stand where the command line gave none
// (patterns: the pair's first, then the command line's).
void applyPair(const CLI::App* rep, const FlrDeclaredPair& p, FlrReplicateOptions& o) {
    const FlrReplicateOptions& d = p.options;
    o.source = d.source;
    o.target = d.target;
    auto unset = [rep](const char* name) { return rep->get_option(name)->count() == 0; };
    if (unset("--method")) o.method = d.method;
    if (unset("--streams")) o.streams = d.streams;
    if (unset("--compress")) o.compress = d.compress;
    if (unset("--bwlimit")) o.bwlimit = d.bwlimit;
    o.encrypt = o.encrypt || d.encrypt;
    o.noDelete = o.noDelete || d.noDelete;
    o.excludes.insert(o.excludes.begin(), d.excludes.begin(), d.excludes.end());
    o.includes.insert(o.includes.begin(), d.includes.begin(), d.includes.end());
}

FlrDeclaredPair findPair() {
    FlrDeclaredPair p;
    if (!FlrPairs::find(pairName, &p))
        throw CLI::ValidationError(
            "--pair", "no pair named " + pairName + " is declared (flr pair ls lists them)");
    return p;
}

// SRC and DST, or a declared pair.
void takePair(const CLI::App* rep) {
    if (pairName.empty()) {
        if (repOpts.source.empty() || repOpts.target.empty())
            throw CLI::ValidationError("DST", "give SRC and DST, or --pair NAME");
        return;
    }
    if (!repOpts.source.empty())
        throw CLI::ValidationError("--pair", "the pair names its folders; give no SRC or DST");
    applyPair(rep, findPair(), repOpts);
}

bool sameRun(const FlrReplicateOptions& a, const FlrReplicateOptions& b) {
    return a.source == b.source && a.target == b.target && a.method == b.method &&
           a.streams == b.streams && a.compress == b.compress && a.encrypt == b.encrypt &&
           a.noDelete == b.noDelete && a.bwlimit == b.bwlimit && a.excludes == b.excludes &&
           a.includes == b.includes;
}

// SIGHUP under `--watch --pair NAME`: the pair as a start would take it now.
PairRereader pairRereader(const CLI::App* rep, FlrReplicateOptions fromCommandLine) {
    if (pairName.empty()) return nullptr;
    return [rep, fromCommandLine](const FlrReplicateOptions& running, FlrReplicateOptions* next) {
        FlrReplicateOptions o = fromCommandLine;
        FlrDeclaredPair p;
        if (!FlrPairs::find(pairName, &p))
            JX_THROW_CODE("flr replicate", "the pair " + pairName + " is no longer declared",
                          ENOENT);
        applyPair(rep, p, o);
        FlrPairs::normalize(o);
        addDeclaredFilters(o);
        if (sameRun(o, running)) return false;
        o.onSent = running.onSent;
        o.onRemoved = running.onRemoved;
        *next = std::move(o);
        return true;
    };
}

// --watch --all-pairs: every declared pair marked for watching, as a start
// would take it now; `names` gets their names. Throws JxException for a pair
// that cannot run.
std::vector<FlrReplicateOptions> watchedPairs(const CLI::App* rep,
                                              const FlrReplicateOptions& fromCommandLine,
                                              std::vector<std::string>* names) {
    std::vector<FlrReplicateOptions> out;
    names->clear();
    for (const std::string& name : FlrPairs::names()) {
        FlrDeclaredPair p;
        if (!FlrPairs::find(name, &p) || !p.watch) continue;
        FlrReplicateOptions o = fromCommandLine;
        applyPair(rep, p, o);
        FlrPairs::checkPatterns(o.excludes);
        FlrPairs::checkPatterns(o.includes);
        FlrPairs::normalize(o);
        addDeclaredFilters(o);
        out.push_back(std::move(o));
        names->push_back(name);
    }
    return out;
}

// SIGHUP under `--watch --all-pairs`: the pairs as a start would take them now.
GroupRereader groupRereader(const CLI::App* rep, FlrReplicateOptions fromCommandLine) {
    return [rep, fromCommandLine](const std::vector<FlrReplicateOptions>& running,
                                  std::vector<FlrReplicateOptions>* next,
                                  std::vector<std::string>* names) {
        std::vector<FlrReplicateOptions> now = watchedPairs(rep, fromCommandLine, names);
        if (now.empty())
            JX_THROW_CODE("flr replicate", "no declared pair is marked for watching any more",
                          ENOENT);
        const bool same = now.size() == running.size() &&
                          std::equal(now.begin(), now.end(), running.begin(), sameRun);
        if (same) return false;
        *next = std::move(now);
        return true;
    };
}

void runWatchedPairs(const CLI::App* rep) {
    if (!pairName.empty() || !repOpts.source.empty() || !repOpts.target.empty())
        throw CLI::ValidationError("--all-pairs",
                                   "runs the declared pairs marked for watching; give no SRC, "
                                   "DST or --pair");
    std::vector<std::string> names;
    const std::vector<FlrReplicateOptions> pairs = watchedPairs(rep, repOpts, &names);
    if (pairs.empty())
        throw CLI::ValidationError("--all-pairs",
                                   "no declared pair is marked for watching (flr pair add NAME "
                                   "SRC DST --watch)");
    runWatchGroup(pairs, names, WatchCommand{repQuiet, repLogFile, repMetricsAt, nullptr},
                  groupRereader(rep, repOpts));
}

void runReplicate() {
    EvDebug::Debug("flr replicate", "%s%s -> %s", dryRun ? "Dry run: " : "", repOpts.source.c_str(),
                   repOpts.target.c_str());
    if (dryRun) {
        const FlrDryRunReport d = FlrReplicator(repOpts).dryRun();
        EvDebug::Debug("flr replicate",
                       "Dry run: %lld to send, %lld to replace, %lld to remove, %lld unreadable",
                       d.sent, d.replaced, d.removed, d.unreadable);
        return repJson ? printDryRunJson(d) : printDryRun(d, repOpts.source, repOpts.target);
    }
    const bool progress = !repQuiet && ::isatty(STDERR_FILENO);
    if (verbose) {
        const EntryLister lister{repJson, progress};
        repOpts.onSent = [lister](const std::string& rel) { lister.line("sent", rel); };
        repOpts.onRemoved = [lister](const std::string& rel) { lister.line("removed", rel); };
    }
    if (watch)
        return runWatch(repOpts, WatchCommand{repQuiet, repLogFile, repMetricsAt, rereadPair});
    FlrReplicator r(repOpts);
    if (progress) r.setProgress(showProgress);
    const FlrReplicateSummary s = r.run();
    if (progress) std::fprintf(stderr, "\r\x1b[K");
    EvDebug::Debug("flr replicate", "Done: %s, %lld entries sent, %lld removed, %.2f s",
                   s.scan.c_str(), s.files, s.removed, s.seconds);
    repJson ? printJson(s) : printSummary(s, repOpts.source, repOpts.target);
}

}  // namespace

void addReplicateCommands(CLI::App& app) {
    auto* rep = app.add_subcommand("replicate", "Copy SRC to DST and keep DST a mirror of it");
    rep->add_option("SRC", repOpts.source, "Source folder");
    rep->add_option("DST", repOpts.target,
                    "Destination folder, or HOST:PORT:/path of a running tail");
    rep->add_option("--pair", pairName,
                    "Run the declared pair NAME (flr pair add) instead of SRC and DST; options "
                    "given here override its settings")
        ->type_name("NAME");
    rep->add_option(
           "--method", repOpts.method,
           "How files travel: full, md5, rsync, lbfs or auto (md5/rsync above a learned size)")
        ->check(CLI::IsMember({"full", "md5", "rsync", "lbfs", "auto"}));
    rep->add_option("--streams", repOpts.streams, "Parallel connections for the files")
        ->check(CLI::Range(1, 64));
    rep->add_flag("--encrypt", repOpts.encrypt, "Encrypt the link (it is always authenticated)");
    rep->add_option("--compress", repOpts.compress, "zstd level for the link, 0 = off")
        ->check(CLI::Range(0, 19));
    rep->add_flag("--baseline", repOpts.baseline, "Scan everything, not just what changed");
    rep->add_option("--exclude", repOpts.excludes,
                    "Leave paths matching PATTERN alone: neither sent nor removed on the "
                    "destination (repeatable; \"/x\" is anchored at SRC, \"x\" matches at any "
                    "depth; * and ? within a name, ** across folders)")
        ->allow_extra_args(false);
    rep->add_option("--include", repOpts.includes,
                    "Send paths matching PATTERN even when an --exclude matches them (repeatable)")
        ->allow_extra_args(false);
    static std::vector<std::string> excludeFiles;
    rep->add_option("--exclude-from", excludeFiles,
                    "Read exclude patterns from FILE, one per line (blank lines and lines "
                    "starting with # are skipped)")
        ->check(CLI::ExistingFile)
        ->allow_extra_args(false);
    rep->add_flag("--no-delete", repOpts.noDelete,
                  "Keep on the destination what the source no longer has");
    rep->parse_complete_callback([] {
        for (const std::string& f : excludeFiles) readPatterns(f, &repOpts.excludes);
    });
    rep->add_option("--state-dir", repOpts.stateRoot, "Where pairs keep their state");
    rep->add_flag("--json", repJson, "Print the summary as one JSON object");
    auto* quietFlag = rep->add_flag("-q,--quiet", repQuiet, "No progress line");
    rep->add_flag("-v,--verbose", verbose,
                  "List each entry sent and each entry removed on a local destination (a tail "
                  "over the network reports how many it removed)")
        ->excludes(quietFlag);
    rep->add_flag("-n,--dry-run", dryRun,
                  "Show what a run would send, replace and remove, and change nothing: neither "
                  "the destination nor the pair's state");
    rep->add_option("--bwlimit", bwlimit,
                    "Send at most RATE bytes per second over all connections together (K, M, G: "
                    "1024-based; 0 = no limit)")
        ->type_name("RATE");
    rep->add_option("--log-file", repLogFile,
                    "Also write the run's log lines to FILE (appended, created mode 0600)")
        ->type_name("FILE");
    rep->add_flag("--watch", watch,
                  "Then replicate every change as it happens until SIGINT/SIGTERM (needs root)");
    rep->add_flag("--all-pairs", watchAllPairs,
                  "With --watch: watch every declared pair marked for watching (flr pair add "
                  "--watch), all in this process over one live journal")
        ->needs("--watch");
    addMetricsOption(rep, repMetricsAt)->needs("--watch");
    rep->callback([rep] {
        if (dryRun && watch)
            throw CLI::ValidationError("--dry-run",
                                       "a dry run shows a single run; it cannot be combined "
                                       "with --watch");
        std::string why;
        if (!FlrRateLimit::parse(bwlimit, &repOpts.bwlimit, &why))
            throw CLI::ValidationError("--bwlimit", why);
        if (!repLogFile.empty()) {
            if (const int err = EvDebug::teeToFile(repLogFile, std::max(1, EvDebug::getLevel())))
                JX_THROW_ERRNO("flr replicate", "Couldn't open the log file " + repLogFile, err);
        }
        if (watchAllPairs) return runWatchedPairs(rep);
        rereadPair = pairRereader(rep, repOpts);
        takePair(rep);
        try {
            checkPair(repOpts);
            addDeclaredFilters(repOpts);
            runReplicate();
        } catch (const JxException& e) {
            // The log tells how the run ended; stderr shows it once, from main.
            EvDebug::Debug("flr replicate", "Failed: %s", e.toString().c_str());
            throw;
        }
    });
}
