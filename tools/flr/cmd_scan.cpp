// flr scan: runs one of the four scans and writes its collect and dirchange
// files; a progress line on a terminal, totals at the end.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <string>

#include "Commands.h"
#include "FLR/JxException.h"
#include "Json.h"
#include "db/FlrDatabase.h"
#include "env/FlrHelper.h"
#include "mgmt/MgmtConfig.h"
#include "platform/FlrDriver.h"
#include "platform/JXPlatformInfo.h"
#include "scan/FlrIfind.h"

namespace {

struct ScanArgs {
    std::string kind;
    std::string src;
    std::string snapshot;
    std::string collect;
    std::string dirchange;
    std::string since;
    std::string startFid;
    std::string dbDir;
    std::string registryFile;
    int pair = -1;
    bool attrs = false;
    bool append = false;
    bool json = false;
};

using Clock = std::chrono::steady_clock;

// Seconds since the epoch, or a UTC time "YYYY-MM-DDTHH:MM:SS".
long parseSince(const std::string& text) {
    if (text.empty()) return 0;
    char* end = nullptr;
    const long long n = std::strtoll(text.c_str(), &end, 10);
    if (end && *end == '\0' && n >= 0) return long(n);
    struct tm tm = {};
    const char* rest = ::strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
    if (!rest || *rest != '\0')
        throw CLI::ValidationError("--since",
                                   "expects seconds since 1970 or YYYY-MM-DDTHH:MM:SS (UTC)");
    return long(::timegm(&tm));
}

void showProgress(const FlrIfind& scan, Clock::time_point start) {
    const double s = secondsSince(start);
    std::fprintf(stderr, "\r%lld entries, %lld files, %.1f MiB selected, %.0f entries/s   ",
                 static_cast<long long>(scan.entryCount()), static_cast<long long>(scan.fileCount),
                 double(scan.byteCount) / 1048576.0, s > 0 ? double(scan.entryCount()) / s : 0.0);
    std::fflush(stderr);
}

std::string pairSource(int pair) {
    std::string src;
    if (FileReplicationSubClient(pair).getsrcPath(&src) != 0 || src.empty())
        JX_THROW("flr scan", "Pair " + std::to_string(pair) + " has no source folder");
    return src;
}

void runScan(FlrIfind& scan, const ScanArgs& a, long since) {
    const std::string src = a.src.empty() && a.pair > 0 ? pairSource(a.pair) : a.src;
    if (a.kind != "zrp" && src.empty())
        throw CLI::ValidationError("SRC", "name a source folder or a --pair");
    if (a.kind == "baseline") {
        scan.baseline(src.c_str(), a.collect.c_str(), a.dirchange.c_str(), a.pair, a.append);
    } else if (a.kind == "sdr") {
        scan.smartsyncSDR(src.c_str(), since, a.collect.c_str(), a.dirchange.c_str(), a.pair);
    } else if (a.kind == "ddr") {
        if (a.snapshot.empty()) throw CLI::ValidationError("--snapshot", "ddr walks a snapshot");
        std::unique_ptr<FlrDatabase> db;
        if (!a.dbDir.empty()) db = std::make_unique<FlrDatabase>(a.dbDir);
        scan.smartsyncDDR(a.snapshot.c_str(), src.c_str(), since, a.collect.c_str(),
                          a.dirchange.c_str(), a.pair, db.get());
    } else {
        if (a.pair <= 0) throw CLI::ValidationError("--pair", "zrp scans a configured pair");
        FlrDriver driver;
        const fsf_fid start =
            a.startFid.empty()
                ? driver.getFID(FlrHelper::stripTrailingSlashes(pairSource(a.pair)), true)
                : str2fid(a.startFid);
        scan.zrpscan(start, since, a.collect.c_str(), a.dirchange.c_str(), a.pair);
    }
}

void scanCommand(const ScanArgs& a) {
    if (!a.registryFile.empty()) JXPlatformInfo::setRegistryFile(a.registryFile);
    const long since = parseSince(a.since);
    if (a.kind == "baseline" && !a.since.empty())
        throw CLI::ValidationError("--since", "a baseline selects everything");
    if (a.kind != "baseline" && a.dirchange.empty())
        throw CLI::ValidationError("--dirchange", "is required for " + a.kind);
    FlrIfind scan;
    scan.dirchangeFormat = a.attrs ? FlrIfind::kFormatAttributes : 0;
    const Clock::time_point start = Clock::now();
    const bool tty = ::isatty(STDERR_FILENO) == 1;
    if (tty) scan.setProgress([start](const FlrIfind& s) { showProgress(s, start); }, 8192);
    runScan(scan, a, since);
    const double seconds = secondsSince(start);
    if (tty) std::fprintf(stderr, "\n");
    const long long entries = scan.entryCount(), files = scan.lastFileCount(),
                    bytes = scan.lastByteCount();
    if (a.json) {
        Json j;
        j.beginObject().field("scan", a.kind).field("entries", entries).field("files", files);
        j.field("bytes", bytes).field("seconds", seconds, 3).field("collect", a.collect);
        j.field("dirchange", a.dirchange).endObject().printLine();
        return;
    }
    std::printf("%s scan: %lld entries, %lld files (%lld bytes) selected in %.2f s\n",
                a.kind.c_str(), entries, files, bytes, seconds);
}

void addScan(CLI::App& parent, const char* kind, const char* about) {
    static ScanArgs args[4];
    static int used = 0;
    ScanArgs& a = args[used++];
    a.kind = kind;
    const std::string k = kind;
    auto* cmd = parent.add_subcommand(kind, about);
    if (k != "zrp") cmd->add_option("SRC", a.src, "Source folder (default: the pair's)");
    if (k == "ddr") {
        cmd->add_option("--snapshot", a.snapshot, "Snapshot folder to walk")->required();
        cmd->add_option("--db", a.dbDir, "Rebuild this name database for the source subtree");
    }
    if (k == "zrp") cmd->add_option("--start-fid", a.startFid, "Directory to list from (hex)");
    cmd->add_option("--pair", a.pair, "Pair id: its filters, its job (and its source folder)");
    cmd->add_option("--collect", a.collect, "Collect file to write")->required();
    cmd->add_option("--dirchange", a.dirchange, "Dirchange file to write");
    cmd->add_flag("--attrs", a.attrs, "Dirchange entries with attributes");
    if (k == "baseline") {
        cmd->add_flag("--append", a.append, "Extend the collect file instead of replacing it");
    } else {
        cmd->add_option("--since", a.since,
                        "Select what changed at or after: seconds since 1970 or "
                        "YYYY-MM-DDTHH:MM:SS (UTC)");
    }
    cmd->add_flag("--json", a.json, "Totals as one JSON object");
    cmd->add_option("--file", a.registryFile, "Registry file to use");
    cmd->callback([&a] { scanCommand(a); });
}

}  // namespace

void addScanCommands(CLI::App& app) {
    auto* scan = app.add_subcommand("scan", "Scan a source tree into collect and dirchange files");
    scan->require_subcommand(1);
    addScan(*scan, "baseline", "Everything under the source folder");
    addScan(*scan, "sdr", "Smart-sync: what changed since a time, by path");
    addScan(*scan, "ddr", "Smart-sync over a snapshot, reporting source paths");
    addScan(*scan, "zrp", "A pair's live tree by file id, reconciling its name database");
}
