#include "FLR/FlrReplicator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <thread>

#include "FLR/FlrEndpoint.h"
#include "FLR/FlrPairs.h"
#include "FLR/FlrTailService.h"
#include "FLR/JxException.h"
#include "FlrReplicatorRun.h"
#include "apply/FlrTailApplier.h"
#include "db/FlrDatabase.h"
#include "digest/Jxc.h"
#include "env/FlrHelper.h"
#include "net/FlrNetHead.h"
#include "net/FlrNetMessage.h"
#include "platform/EvDebug.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxDirFd.h"
#include "platform/JxFile.h"
#include "platform/JxFileLock.h"
#include "scan/FlrCollectText.h"
#include "scan/FlrFilter.h"
#include "scan/FlrIfind.h"
#include "transfer/FlrBackup.h"

namespace {

const char* const kReplicatorFn = "FlrReplicator::run";
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

std::string hexDigest(const std::string& text) {
    unsigned char d[20];
    Jxc::sha1(text.data(), text.size(), d);
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : d) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// A file's times come from the kernel's coarse clock, up to a tick behind the
// clock read here: the threshold is set back well past a tick, so a change
// made just after this moment can never look older than the run.
constexpr long long kStartMarginNanos = 50'000'000;

void startTime(long long* seconds, long* nanos) {
    struct timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const long long at =
        static_cast<long long>(now.tv_sec) * 1'000'000'000 + now.tv_nsec - kStartMarginNanos;
    *seconds = at / 1'000'000'000;
    *nanos = static_cast<long>(at % 1'000'000'000);
}

// "SECONDS NANOS\n"; a record of whole seconds (older runs) reads as such.
// Anything else (a record a crash left empty or torn) reads as none, so the
// next run is a baseline rather than a scan from a wrong moment.
bool readRunRecord(const std::string& text, long long* seconds, long* nanos) {
    size_t pos = 0;
    auto number = [&](long long limit, long long* out) {
        const size_t from = pos;
        long long v = 0;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9' && pos - from < 18)
            v = v * 10 + (text[pos++] - '0');
        *out = v;
        return pos > from && v < limit &&
               (pos == text.size() || text[pos] < '0' || text[pos] > '9');
    };
    long long s = 0, n = 0;
    if (!number(LLONG_MAX, &s)) return false;
    if (pos < text.size() && text[pos] == ' ') {
        ++pos;
        if (!number(1'000'000'000, &n)) return false;
    }
    if (pos < text.size() && text[pos] == '\n') ++pos;
    if (pos != text.size()) return false;
    *seconds = s;
    *nanos = static_cast<long>(n);
    return true;
}

// The last dirchange the tail applied: a run whose listing is the same
// leaves the mirror out.
constexpr char kDirChangeApplied[] = "DirChangeApplied.txt";

std::string runRecordText(long long seconds, long nanos) {
    return jxFormat("%lld %09ld\n", seconds, nanos);
}

// The run record of a completed run, renamed into place without a sync of
// its own: the tail made everything it vouches for durable before it answered
// the run's last ping, so the record can never reach the disk ahead of that
// data. A crash may lose it (the next run scans from the previous record) or
// leave it torn (it reads as none: a baseline); neither skips a change.
void writeRunRecordAfterDurableData(const std::string& stateDir, long long seconds, long nanos) {
    const std::string path = stateDir + "/last-run";
    const std::string temp = path + ".new";
    const std::string text = runRecordText(seconds, nanos);
    jx::File f = jx::openFile(temp, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW, 0600);
    int err = f ? jx::writeAllAt(f.get(), text.data(), text.size(), 0) : errno;
    if (err == 0 && f.close() != 0) err = errno;
    if (err == 0 && jx::fileOps().rename(temp.c_str(), path.c_str()) != 0) err = errno;
    if (err != 0) {
        jx::fileOps().unlink(temp.c_str());
        JX_THROW_ERRNO(kReplicatorFn, "Failed to write run record " + path, err);
    }
}

void makeReplicaDirs(const std::string& dir) {
    if (FlrHelper::mkdir1(dir.c_str()) != 0)
        JX_THROW_ERRNO(kReplicatorFn, "Failed to create folder " + dir, errno);
}

}  // namespace

std::string FlrReplicator::absolutePath(const std::string& path) {
    std::string p = path;
    if (p.empty() || p[0] != '/') {
        char cwd[4096];
        if (!::getcwd(cwd, sizeof cwd))
            JX_THROW_ERRNO(kReplicatorFn, "Failed to get the current folder", errno);
        p = std::string(cwd) + "/" + p;
    }
    return FlrHelper::stripTrailingSlashes(p);
}

void FlrReplicator::recordConsistentPoint(const std::string& stateDir, long long seconds,
                                          long nanos) {
    jx::replaceFile(stateDir + "/last-run", runRecordText(seconds, nanos), 0600, "run record",
                    "FlrReplicator");
}

void FlrReplicator::forgetMirroredFolders(const std::string& stateDir) {
    const std::string path = stateDir + "/" + kDirChangeApplied;
    if (jx::fileOps().unlink(path.c_str()) != 0 && errno != ENOENT)
        JX_THROW_ERRNO(kReplicatorFn, "Failed to remove " + path, errno);
}

FlrReplicator::FlrReplicator(FlrReplicateOptions options) : options_(std::move(options)) {}
FlrReplicator::FlrReplicator(FlrReplicateOptions options, JxSafeFlags* abortFlag)
    : options_(std::move(options)), abort_(abortFlag) {}
FlrReplicator::~FlrReplicator() = default;

void FlrReplicator::setProgress(std::function<void(const FlrReplicateProgress&)> fn) {
    progress_ = std::move(fn);
}

std::string FlrReplicator::defaultStateRoot() {
    return FlrHelper::defaultStateRoot();
}

bool FlrReplicator::parseRemote(const std::string& target, std::string* host, std::string* port,
                                std::string* path) {
    if (target.empty() || target[0] == '/' || target[0] == '.') return false;
    // HOST may be "[v6]"; the port ends at the next ':'.
    size_t hostEnd = target[0] == '[' ? target.find("]:") : target.find(':');
    if (hostEnd == std::string::npos) return false;
    if (target[0] == '[') ++hostEnd;
    const size_t portEnd = target.find(':', hostEnd + 1);
    if (portEnd == std::string::npos || portEnd == hostEnd + 1) return false;
    const std::string h = target.substr(0, hostEnd);
    if (h.empty() || h.find('/') != std::string::npos) return false;
    *host = h;
    *port = target.substr(hostEnd + 1, portEnd - hostEnd - 1);
    *path = target.substr(portEnd + 1);
    if (path->empty()) *path = "/";
    return port->find('/') == std::string::npos;
}

// "HOST::PATH" (rsync's daemon spelling) or "HOST:PORT" without its path
// would otherwise be a local folder of that odd name, filled silently.
void FlrReplicator::refuseHalfRemote(const std::string& target) {
    std::string host, port, path;
    if (target.empty() || target[0] == '/' || target[0] == '.' ||
        parseRemote(target, &host, &port, &path))
        return;
    const size_t colon = target.find(':');
    if (colon == std::string::npos || target.find('/') < colon) return;
    JX_THROW(kReplicatorFn, "The destination " + target +
                                " is neither a local folder nor a tail: a tail is named "
                                "HOST:PORT:/path (a local folder with a colon in its name: ./" +
                                target + ")");
}

namespace {
// A list a run wrote for itself; one that cannot be removed costs only space.
void removeScratch(const std::string& path) {
    if (jx::fileOps().unlink(path.c_str()) != 0 && errno != ENOENT)
        EvDebug::Warning(kReplicatorFn, "Couldn't remove %s: %s", path.c_str(),
                         jxErrnoText(errno).c_str());
}
}  // namespace

std::string FlrReplicator::stateDir() const {
    const std::string root = options_.stateRoot.empty() ? defaultStateRoot() : options_.stateRoot;
    // Resolved spellings: "dst", "./dst" and "/x/dst" are one pair, one lock.
    std::string host, port, path;
    const std::string target = parseRemote(options_.target, &host, &port, &path)
                                   ? options_.target
                                   : jx::resolvePath(options_.target, kReplicatorFn);
    return root + "/" + hexDigest(jx::resolvePath(options_.source, kReplicatorFn) + "\n" + target);
}

// Names the pair in its folder (once), so `flr pair ls` can say whose state
// a folder is even when its first run failed.
void FlrReplicator::writePairFile(const std::string& state, const std::string& source) const {
    const std::string file = FlrPairs::pairFile(state);
    if (::access(file.c_str(), F_OK) == 0) return;
    std::string host, port, path;
    const std::string target = parseRemote(options_.target, &host, &port, &path)
                                   ? options_.target
                                   : jx::resolvePath(options_.target, kReplicatorFn);
    jx::replaceFile(file, jx::resolvePath(source, kReplicatorFn) + "\n" + target + "\n", 0600,
                    "pair file", kReplicatorFn);
}

void FlrReplicator::prepare(Run& r) {
    refuseHalfRemote(options_.target);
    r.source = absolutePath(options_.source);
    struct stat st;
    if (::stat(r.source.c_str(), &st) != 0)
        JX_THROW_ERRNO(kReplicatorFn, "Failed to stat " + r.source, errno);
    if (!S_ISDIR(st.st_mode)) JX_THROW(kReplicatorFn, r.source + " is not a folder");

    r.state = stateDir();
    jx::makePrivateDir(r.state, kReplicatorFn);
    writePairFile(r.state, r.source);
    if (!options_.lockHeld) {
        r.lock = std::make_unique<JxFileLock>(r.state + "/lock", 0600);
        if (!r.lock->lock(1, 0))
            JX_THROW(kReplicatorFn,
                     "Another run of " + r.source + " to " + options_.target + " is in progress");
    }
    r.collect = r.state + "/Collect.txt";
    r.dirchange = r.state + "/DirChange.txt";
    r.dirchangeSent = r.state + "/DirChangeTail.txt";
    r.dirchangeDone = r.state + "/" + kDirChangeApplied;
    r.lastRunFile = r.state + "/last-run";
    r.filtersFile = r.state + "/excludes";
    r.excludes = excludeFilter(r.source, options_.excludes, options_.includes);
}

std::shared_ptr<const FlrFilter> FlrReplicator::excludeFilter(
    const std::string& source, const std::vector<std::string>& excludes,
    const std::vector<std::string>& includes) {
    if (excludes.empty()) return nullptr;
    const std::string top = FlrHelper::stripTrailingSlashes(source);
    auto anchored = [&top](const std::vector<std::string>& patterns) {
        std::vector<std::string> out;
        for (const std::string& p : patterns)
            if (!p.empty()) out.push_back(top + (p[0] == '/' ? p : "/**/" + p));
        return out;
    };
    return std::make_shared<const FlrFilter>(anchored(excludes), anchored(includes));
}

// The patterns (and whether removals are mirrored) as the pair's state keeps
// them: a run with others than the last one must look at every entry, since
// what was left out may now go.
std::string FlrReplicator::excludeText() const {
    std::string text;
    for (const std::string& p : options_.excludes) text += "- " + p + "\n";
    for (const std::string& p : options_.includes) text += "+ " + p + "\n";
    // Removals skipped by a run without mirroring are found again by the
    // next run that mirrors only if it looks at every folder.
    if (options_.noDelete) text += "no-delete\n";
    return text;
}

FlrReplicateSummary FlrReplicator::run() {
    const auto t0 = Clock::now();
    Run r;
    prepare(r);
    std::string text;
    if (!options_.baseline && jx::readFileIfExists(r.lastRunFile, &text, "run record") &&
        !readRunRecord(text, &r.lastStart, &r.lastStartNanos)) {
        EvDebug::Error(kReplicatorFn, "The run record %s is unreadable: this run is a baseline",
                       r.lastRunFile.c_str());
        r.lastStart = -1;
        r.lastStartNanos = 0;
    }
    const std::string excludes = excludeText();
    std::string lastExcludes;
    jx::readFileIfExists(r.filtersFile, &lastExcludes, "excludes file");
    if (r.lastStart >= 0 && lastExcludes != excludes) {
        EvDebug::Debug(kReplicatorFn,
                       "Other excludes than the last run's: every entry is looked at");
        r.lastStart = -1;
        r.lastStartNanos = 0;
    }
    // Changes during this run are picked up by the next one: they are at or
    // after this moment.
    startTime(&r.start, &r.startNanos);

    FlrReplicateSummary s;
    scan(r, s);
    transfer(r, s);
    if (excludes != lastExcludes)
        jx::replaceFile(r.filtersFile, excludes, 0600, "excludes file", "FlrReplicator");
    writeRunRecordAfterDurableData(r.state, r.start, r.startNanos);
    EvDebug::Debug(kReplicatorFn, "Run record %lld.%09ld written", r.start, r.startNanos);
    // The scan's lists served this run only (the next one scans again); kept,
    // they would be most of the pair's state on a large tree.
    removeScratch(r.collect);
    removeScratch(r.dirchange);
    s.seconds = secondsSince(t0);
    return s;
}

FlrReplicateSummary FlrReplicator::sendFiles(const std::vector<std::string>& relPaths) {
    const auto t0 = Clock::now();
    Run r;
    prepare(r);
    r.collect = r.state + "/Resend.txt";
    std::string text;
    for (const std::string& rel : relPaths) {
        FlrCollectText::appendEscaped(text, rel.empty() ? r.source : r.source + "/" + rel);
        text += '\n';
    }
    jx::replaceFile(r.collect, text, 0600, "collect file", "FlrReplicator");
    FlrReplicateSummary s;
    s.scan = "resend";
    s.selected = static_cast<long long>(relPaths.size());
    sendCollect(r, s);
    r.head.ping();  // everything sent is applied, or said not to be
    confirmApplied(r);
    finishTransfer(r, s);
    removeScratch(r.collect);
    s.seconds = secondsSince(t0);
    return s;
}

void FlrReplicator::scan(Run& r, FlrReplicateSummary& s) {
    const auto t0 = Clock::now();
    FlrIfind scanner;
    scanner.dirchangeFormat = 0;
    scanner.changedEntriesOnly = options_.changedEntriesOnly;
    scanner.excludes = r.excludes.get();
    if (progress_)
        scanner.setProgress([&](const FlrIfind& f) {
            FlrReplicateProgress p;
            p.phase = "scan";
            p.entries = f.entryCount();
            p.files = f.fileCount;
            p.bytes = f.byteCount;
            p.seconds = secondsSince(t0);
            progress_(p);
        });
    if (!options_.nameDb.empty()) {
        // The same selection, by a walk that also rebuilds the names.
        makeReplicaDirs(options_.nameDb);
        FlrDatabase db(options_.nameDb);
        s.scan = r.lastStart < 0 ? "baseline" : "smart-sync";
        s.since = r.lastStart < 0 ? 0 : r.lastStart;
        scanner.timestampNanos = r.lastStart < 0 ? 0 : r.lastStartNanos;
        scanner.namesKnownAtTimestamp = options_.namesKnownAtLastRun;
        scanner.smartsyncDDR(r.source.c_str(), r.source.c_str(), static_cast<long>(s.since),
                             r.collect.c_str(), r.dirchange.c_str(), -1, &db);
    } else if (r.lastStart < 0) {
        s.scan = "baseline";
        scanner.baseline(r.source.c_str(), r.collect.c_str(), r.dirchange.c_str(), -1, false);
    } else {
        s.scan = "smart-sync";
        s.since = r.lastStart;
        scanner.timestampNanos = r.lastStartNanos;
        scanner.smartsyncSDR(r.source.c_str(), static_cast<long>(r.lastStart), r.collect.c_str(),
                             r.dirchange.c_str(), -1);
    }
    // The walk counts what it finds below the source; the source folder
    // itself is examined (and, on a baseline, selected) too.
    s.entries = scanner.entryCount() + 1;
    s.selected = scanner.lastFileCount();
    s.bytesRead = scanner.lastByteCount();
    s.scanSeconds = secondsSince(t0);
}
