// flr tail: a reference tail over FlrTailService. With --root it applies what
// heads transfer into that folder (FlrTailApplier); with --bookkeeping it only
// answers the bookkeeping requests and counts what it receives. One of the two
// is required: a tail that cannot apply would leave a replicating head
// waiting for answers that never come. SIGINT and SIGTERM end it.
//
// The link secret comes from the registry ([ZRP] sLinkSecret or
// sLinkSecretFile), never from the command line.
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Commands.h"
#include "FLR/FlrEndpoint.h"
#include "FLR/FlrTailService.h"
#include "FLR/JxException.h"
#include "apply/FlrTailApplier.h"
#include "apply/FlrTailBookkeeper.h"
#include "apply/FlrTailStore.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxSystemd.h"
#include "service/FlrMetrics.h"

namespace {

// Signals are taken through a descriptor, so every thread started later
// inherits the blocked mask and none is interrupted.
int blockStopSignals() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    const int sfd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (sfd < 0) JX_THROW_ERRNO("flr tail", "Couldn't watch for signals", errno);
    return sfd;
}

void printSession(const FlrTailSession& s, const FlrTailBookkeeper::Counts& c,
                  const std::string& how) {
    std::printf("connection %ld %s: %lld messages, %lld journal entries, %lld bytes\n", s.id,
                how.c_str(), c.messages, c.entries, c.bytes);
    std::fflush(stdout);
}

void printApplied(const FlrTailSession& s, const FlrTailApplyStats& a, const std::string& how) {
    std::printf(
        "connection %ld %s: %lld files, %lld folders, %lld links, %lld special, %lld bytes "
        "written, %lld reused, %lld deleted, %lld refused, %lld failed\n",
        s.id, how.c_str(), a.files, a.dirs, a.links, a.specials, a.bytes, a.reused, a.deleted,
        a.refused, a.failed);
    std::fflush(stdout);
}

// Runs the handler of one session and prints how it ended.
template <class Serve, class Print>
void serveAndPrint(FlrTailSession& s, Serve serve, Print print) {
    std::string how = "closed by the peer";
    try {
        serve();
    } catch (const JxException& e) {
        how = "failed: " + e.getMessage();
    }
    if (s.stopping()) how = "closed on shutdown";
    print(how);
}

// Heads allowed to connect: --allow, plus the registry's [Services]
// sTailAllow (addresses or ADDR/BITS separated by commas or blanks).
std::vector<std::string> gAllow;

std::vector<std::string> allowList() {
    std::vector<std::string> all = gAllow;
    std::string fromRegistry;
    if (JXPlatformInfo::getString("Services", "sTailAllow", fromRegistry) && !fromRegistry.empty())
        all.push_back(fromRegistry);
    return all;
}

// --metrics ADDR:PORT: Prometheus figures while the tail runs.
std::string gMetrics;
double gStartedAt = 0;

// Starts the metrics server once the service listens (its port is known
// then); figures() copies the counters under their locks at each scrape.
std::unique_ptr<JxMetricsServer> serveMetrics(std::function<FlrTailFigures()> figures) {
    if (gMetrics.empty()) return nullptr;
    auto server = flrServeMetrics(gMetrics, [figures] {
        FlrMetricsText text;
        flrTailMetrics(figures(), text);
        return text.text();
    });
    std::printf("flr tail: metrics on http://%s/metrics\n", server->address().c_str());
    std::fflush(stdout);
    return server;
}

void runService(FlrTailService& service, const FlrEndpoint& at, int sfd,
                std::atomic<long>& connections, const std::function<FlrTailFigures()>& figures) {
    FlrTailService::Events events;
    events.opened = [&connections](long id, const std::string& peer) {
        const long n = ++connections;
        std::printf("connection %ld from %s\n", id, peer.c_str());
        std::fflush(stdout);
        jx::systemdNotify("STATUS=" + std::to_string(n) + " connections, the last from " + peer);
    };
    events.refused = [](long id, const std::string& peer, const std::string& why) {
        std::fprintf(stderr, "flr tail: refused connection %ld from %s: %s\n", id, peer.c_str(),
                     why.c_str());
    };
    service.setEvents(events);
    try {
        service.setAllowList(allowList());
        service.listen(at.host, at.port);
    } catch (...) {
        ::close(sfd);
        throw;
    }
    std::printf("flr tail: listening on %s\n", service.localAddress().c_str());
    std::fflush(stdout);
    std::unique_ptr<JxMetricsServer> metrics;
    try {
        metrics = serveMetrics(figures);
    } catch (...) {
        ::close(sfd);
        throw;
    }
    // Ready only now: a unit ordered after this one may connect at once.
    jx::systemdNotify("READY=1\nSTATUS=listening on " + service.localAddress());
    {
        // Sessions run on threads of their own; the process answering is
        // what the watchdog can tell here.
        jx::JxSystemdWatchdog watchdog([] { return true; });
        service.run(sfd);
        jx::systemdNotify("STOPPING=1");
    }
    if (metrics) metrics->stop();
    ::close(sfd);
}

FlrTailFigures baseFigures(const FlrTailService& service, const std::atomic<long>& connections) {
    FlrTailFigures f;
    f.startedAt = gStartedAt;
    f.connections = connections.load();
    f.service = service.stats();
    return f;
}

void runBookkeeper(const FlrEndpoint& at, int sfd, const FlrTailLimits& limits) {
    FlrTailBookkeeper keeper;
    std::atomic<long> connections{0};
    FlrTailService service(
        [&keeper](FlrTailSession& s) {
            FlrTailBookkeeper::Counts counts;
            serveAndPrint(
                s, [&] { keeper.serve(s, &counts); },
                [&](const std::string& how) { printSession(s, counts, how); });
        },
        limits);
    runService(service, at, sfd, connections, [&] {
        FlrTailFigures f = baseFigures(service, connections);
        f.received = keeper.totals();
        return f;
    });
    const FlrTailBookkeeper::Counts t = keeper.totals();
    std::printf(
        "flr tail: %ld connections, %lld messages, %lld journal entries, %lld bytes received\n",
        connections.load(), t.messages, t.entries, t.bytes);
    std::fflush(stdout);
}

// What the tail does with setuid/setgid files and device nodes: --privileged,
// else the registry's [Services] sTailPrivileged, else strip.
std::string gPrivileged;

FlrPrivileged privilegedPolicy() {
    std::string text = gPrivileged;
    if (text.empty() &&
        (!JXPlatformInfo::getString("Services", "sTailPrivileged", text) || text.empty()))
        return FlrPrivileged::Strip;
    FlrPrivileged p = FlrPrivileged::Strip;
    if (!flrParsePrivileged(text, &p))
        throw CLI::ValidationError("--privileged",
                                   "\"" + text + "\" is not one of keep, strip, refuse");
    return p;
}

void runApplier(const std::string& root, const std::string& store, const std::string& journalState,
                bool sync, const FlrEndpoint& at, int sfd, const FlrTailLimits& limits) {
    std::unique_ptr<FlrTailApplier> applier;
    try {
        FlrTailApplier::Options options;
        options.privileged = privilegedPolicy();
        options.syncFiles = sync;
        options.storeDir = store.empty() ? FlrTailStore::defaultDir(root) : store;
        options.journalState = journalState;
        applier = std::make_unique<FlrTailApplier>(root, options);
    } catch (...) {
        ::close(sfd);
        throw;
    }
    std::atomic<long> connections{0};
    FlrTailService service(
        [&applier](FlrTailSession& s) {
            FlrTailApplyStats stats;
            serveAndPrint(
                s, [&] { applier->serve(s, &stats); },
                [&](const std::string& how) { printApplied(s, stats, how); });
        },
        limits);
    std::printf("flr tail: destination root %s, content store %s, privileged entries: %s\n",
                applier->root().path().c_str(), applier->options().storeDir.c_str(),
                flrPrivilegedName(applier->options().privileged));
    runService(service, at, sfd, connections, [&] {
        FlrTailFigures f = baseFigures(service, connections);
        f.applied = applier->totals();
        f.journal = applier->journal().totals();
        return f;
    });
    const FlrTailApplyStats t = applier->totals();
    std::printf(
        "flr tail: %ld connections, %lld files, %lld folders, %lld links, %lld special, %lld "
        "deleted, %lld refused, %lld failed, %lld stripped of setuid/setgid, %lld privileged "
        "withheld\n",
        connections.load(), t.files, t.dirs, t.links, t.specials, t.deleted, t.refused, t.failed,
        t.stripped, t.withheld);
    const FlrTailJournalStats j = applier->journal().totals();
    if (j.records > 0)
        std::printf(
            "flr tail: %lld journal records, %lld applied, %lld already there, %lld skipped, "
            "%lld refused, %lld failed\n",
            j.records, j.applied, j.settled, j.skipped, j.refused, j.failed);
    std::fflush(stdout);
}

void runTail(const std::string& listen, const std::string& root, const std::string& store,
             const std::string& journalState, bool sync, int recvBufSize) {
    const FlrEndpoint at = endpointArgument(listen);
    gStartedAt =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    FlrTailLimits limits;
    limits.recvBufSize = recvBufSize;
    const int sfd = blockStopSignals();
    if (root.empty())
        runBookkeeper(at, sfd, limits);
    else
        runApplier(root, store, journalState, sync, at, sfd, limits);
}

}  // namespace

CLI::Option* addMetricsOption(CLI::App* cmd, std::string& at) {
    return cmd
        ->add_option("--metrics", at,
                     "Serve Prometheus metrics on http://ADDR:PORT/metrics (a PORT alone: on "
                     "127.0.0.1; port 0 picks one and prints it)")
        ->type_name("[ADDR:]PORT")
        ->check(
            [](const std::string& text) {
                try {
                    flrMetricsEndpoint(text);
                    return std::string();
                } catch (const std::invalid_argument& e) {
                    return std::string(e.what());
                }
            },
            "");
}

void addTailCommands(CLI::App& app) {
    auto* tail = app.add_subcommand(
        "tail", "Serve as a tail: apply transfers into a folder, answer a head's requests");
    static std::string listen;
    static std::string root;
    static std::string store;
    static std::string journalState;
    static bool noFsync = false;
    static bool bookkeeping = false;
    static int recvBuf = 262144;
    tail->add_option("--listen", listen,
                     "Address and port to listen on (ADDR:PORT; port 0 picks "
                     "one and prints it)")
        ->required();
    tail->add_option("--root", root, "Destination root: apply transfers into this folder")
        ->check(CLI::ExistingDirectory);
    tail->add_flag("--bookkeeping", bookkeeping,
                   "Without a root: answer only a head's bookkeeping requests (ping, last "
                   "sequence number, time and index); a replication run can't use it")
        ->excludes("--root");
    tail->add_option("--store", store,
                     "With --root: folder of the content store LBFS transfers reuse blocks "
                     "from (outside the root; default: one per root beside the replication "
                     "state)");
    tail->add_option("--journal-state", journalState,
                     "With --root: the file keeping each pair's last applied journal record "
                     "(default: under the install folder, named after the root)");
    tail->add_flag("--no-fsync", noFsync,
                   "With --root: don't fsync each file before renaming it into place (faster; "
                   "a power cut may then leave recently replaced files empty or stale)");
    tail->add_option("--allow", gAllow,
                     "Accept heads only from this address or ADDR/BITS (repeatable; also the "
                     "registry's [Services] sTailAllow)");
    tail->add_option("--privileged", gPrivileged,
                     "With --root: setuid/setgid files and device nodes a head sends: keep "
                     "(apply as sent), strip (default: clear setuid/setgid, don't make device "
                     "nodes) or refuse (apply neither); also the registry's [Services] "
                     "sTailPrivileged. Except with keep, the root folder's own owner, mode and "
                     "ACL stay as you set them")
        ->check(CLI::IsMember({"keep", "strip", "refuse"}));
    addMetricsOption(tail, gMetrics);
    tail->add_option("--recv-buf", recvBuf, "Socket receive buffer size in bytes")
        ->check(CLI::PositiveNumber);
    tail->callback([] {
        if (root.empty() && !bookkeeping)
            throw CLI::ValidationError("--root",
                                       "a tail needs --root DIR to apply what heads replicate (or "
                                       "--bookkeeping to answer only their bookkeeping requests)");
        runTail(listen, root, store, journalState, !noFsync, recvBuf);
    });
}
