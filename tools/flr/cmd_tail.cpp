// flr tail: a reference tail that answers a head's bookkeeping requests and
// counts what it receives, over FlrTailService. SIGINT and SIGTERM end it.
//
// The link secret comes from the registry ([ZRP] sLinkSecret or
// sLinkSecretFile), never from the command line.
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>

#include "Commands.h"
#include "FLR/platform/JxException.h"
#include "FLR/service/FlrEndpoint.h"
#include "FLR/service/FlrTailBookkeeper.h"
#include "FLR/service/FlrTailService.h"

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

void runTail(const std::string& listen, int recvBufSize) {
    const FlrEndpoint at = endpointArgument(listen);
    const int sfd = blockStopSignals();
    FlrTailBookkeeper keeper;
    std::atomic<long> connections{0};
    FlrTailLimits limits;
    limits.recvBufSize = recvBufSize;
    FlrTailService service(
        [&keeper](FlrTailSession& s) {
            FlrTailBookkeeper::Counts counts;
            std::string how = "closed by the peer";
            try {
                keeper.serve(s, &counts);
            } catch (const JxException& e) {
                how = "failed: " + e.getMessage();
            }
            if (s.stopping()) how = "closed on shutdown";
            printSession(s, counts, how);
        },
        limits);
    FlrTailService::Events events;
    events.opened = [&connections](long id, const std::string& peer) {
        ++connections;
        std::printf("connection %ld from %s\n", id, peer.c_str());
        std::fflush(stdout);
    };
    events.refused = [](long id, const std::string& peer, const std::string& why) {
        std::fprintf(stderr, "flr tail: refused connection %ld from %s: %s\n", id, peer.c_str(),
                     why.c_str());
    };
    service.setEvents(events);
    try {
        service.listen(at.host, at.port);
    } catch (...) {
        ::close(sfd);
        throw;
    }
    std::printf("flr tail: listening on %s\n", service.localAddress().c_str());
    std::fflush(stdout);
    service.run(sfd);
    ::close(sfd);
    const FlrTailBookkeeper::Counts t = keeper.totals();
    std::printf(
        "flr tail: %ld connections, %lld messages, %lld journal entries, %lld bytes received\n",
        connections.load(), t.messages, t.entries, t.bytes);
    std::fflush(stdout);
}

}  // namespace

void addTailCommands(CLI::App& app) {
    auto* tail = app.add_subcommand("tail", "Serve as a tail: answer a head's requests");
    static std::string listen;
    static int recvBuf = 262144;
    tail->add_option("--listen", listen,
                     "Address and port to listen on (ADDR:PORT; port 0 picks "
                     "one and prints it)")
        ->required();
    tail->add_option("--recv-buf", recvBuf, "Socket receive buffer size in bytes")
        ->check(CLI::PositiveNumber);
    tail->callback([] { runTail(listen, recvBuf); });
}
