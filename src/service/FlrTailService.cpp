// The tail's accept loop and its connection threads.
#include "FLR/FlrTailService.h"

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>

#include "FLR/JxException.h"
#include "FlrTailAdmission.h"
#include "link/SdtNetLink.h"
#include "net/FlrNetTail.h"
#include "platform/EvDebug.h"

namespace {

const char* const kTailServiceFn = "FlrTailService";
constexpr int kMinBackoffMs = 10;
constexpr int kMaxBackoffMs = 1000;
constexpr long long kReapMs = 250;

// Numeric host and port of a socket address.
std::string nameOf(const sockaddr_storage& a, socklen_t len) {
    char host[NI_MAXHOST];
    char serv[NI_MAXSERV];
    if (::getnameinfo(reinterpret_cast<const sockaddr*>(&a), len, host, sizeof host, serv,
                      sizeof serv, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "unknown peer";
    return std::string(host) + ":" + serv;
}

// Accept failures that more attempts cannot cure until something is freed.
bool isResourceShortage(int err) {
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

}  // namespace

FlrTailService::FlrTailService(Handler handler, FlrTailLimits limits)
    : handler_(std::move(handler)),
      limits_(limits),
      secretHolder_(std::make_unique<SdtNetLink>()),
      admission_(std::make_unique<FlrTailAdmission>()) {
    if (::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0)
        JX_THROW_ERRNO(kTailServiceFn, "Couldn't create the wake-up pipe", errno);
}

FlrTailService::~FlrTailService() {
    stop();
    reapWorkers(true);
    if (listenFd_ >= 0) ::close(listenFd_);
    ::close(wakePipe_[0]);
    ::close(wakePipe_[1]);
}

void FlrTailService::setSecret(const std::string& secret) {
    secretHolder_->setSecret(secret);
}

void FlrTailService::setIntegrityOnly(int mode) {
    secretHolder_->setIntegrityOnly(mode);
}

void FlrTailService::setAllowList(const std::vector<std::string>& cidrs) {
    auto admission = std::make_unique<FlrTailAdmission>();
    for (const std::string& c : cidrs) admission->allowList(c);
    std::lock_guard<std::mutex> lock(mtx_);
    admission_ = std::move(admission);
}

void FlrTailService::setEvents(Events events) {
    std::lock_guard<std::mutex> lock(mtx_);
    events_ = std::move(events);
}

void FlrTailService::listen(const std::string& host, const std::string& port) {
    // A tail no head could authenticate to says so now, not once per head.
    const SdtError secret = secretHolder_->checkSecret();
    if (!secret.ok()) JX_THROW_CODE(kTailServiceFn, "Not listening: " + secret.text(), EACCES);
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    struct addrinfo* res = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &res);
    if (rc != 0)
        JX_THROW(kTailServiceFn, "Couldn't resolve " + host + ":" + port + ": " + gai_strerror(rc));
    std::string why = "no address";
    for (struct addrinfo* ai = res; ai; ai = ai->ai_next) {
        const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                                ai->ai_protocol);
        if (fd < 0) continue;
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && ::listen(fd, 128) == 0) {
            ::freeaddrinfo(res);
            if (listenFd_ >= 0) ::close(listenFd_);
            listenFd_ = fd;
            return;
        }
        why = jxErrnoText(errno);
        ::close(fd);
    }
    ::freeaddrinfo(res);
    JX_THROW(kTailServiceFn, "Couldn't listen on " + host + ":" + port + ": " + why);
}

std::string FlrTailService::localAddress() const {
    struct sockaddr_storage a {};
    socklen_t len = sizeof a;
    if (listenFd_ < 0 || ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return "";
    return nameOf(a, len);
}

int FlrTailService::localPort() const {
    const std::string a = localAddress();
    const size_t colon = a.rfind(':');
    return colon == std::string::npos ? 0 : std::atoi(a.c_str() + colon + 1);
}

void FlrTailService::stop() {
    stop_ = true;
    const char x = 'x';
    // A full pipe is already readable; nothing else can fail here.
    [[maybe_unused]] const ssize_t n = ::write(wakePipe_[1], &x, 1);
}

FlrTailStats FlrTailService::stats() const {
    std::lock_guard<std::mutex> lock(mtx_);
    FlrTailStats s = counts_;
    s.pending = countedPending_;
    s.sessions = static_cast<long>(sessions_.size());
    s.threads = static_cast<long>(workers_.size());
    s.recvBufferBytes = 0;
    // A session leaves the set before its engine is destroyed.
    for (FlrNetTail* t : sessions_) {
        s.recvBufferBytes += t->recvBufferBytes();
        s.wireBytes += t->wireBytesSent() + t->wireBytesReceived();
    }
    return s;
}

// --- the accept loop ---------------------------------------------------------------

void FlrTailService::run(int stopFd) {
    // Without listen() only in-process sessions come (serveInProcess).
    int backoffMs = 0;
    while (!stop_) {
        // While backing off the listening socket is not watched (it stays
        // readable); the next attempt comes when the back-off ends.
        const bool backingOff = backoffMs > 0;
        const bool readable = waitForWork(stopFd, nextWakeMs(backoffMs), !backingOff) || backingOff;
        if (stop_) break;
        cutExpiredHandshakes();
        reapWorkers(false);
        if (readable) acceptOne(backoffMs);
    }
    stop_ = true;
    shutDownConnections();
    reapWorkers(true);
}

// Sleeps until the listening socket is readable (true; watched only when
// watchListen), a stop is asked for, or timeoutMs passed.
bool FlrTailService::waitForWork(int stopFd, int timeoutMs, bool watchListen) {
    struct pollfd p[3] = {
        {wakePipe_[0], POLLIN, 0}, {stopFd, POLLIN, 0}, {watchListen ? listenFd_ : -1, POLLIN, 0}};
    const int n = ::poll(p, 3, timeoutMs);
    if (n < 0) return false;
    if (p[0].revents || (stopFd >= 0 && p[1].revents)) {
        stop_ = true;
        return false;
    }
    return (p[2].revents & POLLIN) != 0;
}

// The next moment something is due: the end of a back-off, the earliest
// handshake deadline, or the next look for finished threads. -1 for none.
int FlrTailService::nextWakeMs(int backoffMs) const {
    long long ms = backoffMs > 0 ? backoffMs : -1;
    std::lock_guard<std::mutex> lock(mtx_);
    const auto now = Clock::now();
    for (const auto& [fd, p] : pending_) {
        if (p.cut) continue;
        const long long left = std::max<long long>(
            0, std::chrono::ceil<std::chrono::milliseconds>(p.deadline - now).count());
        if (ms < 0 || left < ms) ms = left;
    }
    // Finished connection threads are joined by this loop: while any run, it
    // looks often enough that none lingers (and counts) long after its end.
    if (!workers_.empty() && (ms < 0 || ms > kReapMs)) ms = kReapMs;
    return static_cast<int>(std::min<long long>(ms, 60000));
}

// A connection past its handshake deadline is shut down; its thread sees the
// end of the stream and gives up. (Closing is left to the thread, which owns
// the descriptor, so it cannot be reused under anybody.)
void FlrTailService::cutExpiredHandshakes() {
    std::lock_guard<std::mutex> lock(mtx_);
    const auto now = Clock::now();
    for (auto& [fd, p] : pending_) {
        if (p.cut || p.deadline > now) continue;
        ::shutdown(fd, SHUT_RDWR);
        p.cut = true;
    }
}

void FlrTailService::acceptOne(int& backoffMs) {
    struct sockaddr_storage addr {};
    socklen_t len = sizeof addr;
    const int fd = ::accept4(listenFd_, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_CLOEXEC);
    if (fd >= 0) {
        backoffMs = 0;
        admit(fd, addr, len);
        return;
    }
    const int err = errno;
    if (!isResourceShortage(err)) return;  // EAGAIN, ECONNABORTED, EINTR: try again
    // The connection stays in the backlog and the socket stays readable:
    // retrying at once would spin. Wait, longer each time, for something
    // to be freed.
    backoffMs = std::clamp(backoffMs * 2, kMinBackoffMs, kMaxBackoffMs);
    std::lock_guard<std::mutex> lock(mtx_);
    if (counts_.acceptErrors++ == 0 || backoffMs == kMaxBackoffMs)
        EvDebug::Error(kTailServiceFn, "Couldn't accept a connection: %s; retrying in %d ms",
                       jxErrnoText(err).c_str(), backoffMs);
}

void FlrTailService::admit(int fd, const sockaddr_storage& addr, socklen_t len) {
    const std::string prefix = FlrTailAdmission::prefixOf(addr);
    const std::string peer = nameOf(addr, len);
    long id = 0;
    std::string refusal;
    Events events;
    {
        std::lock_guard<std::mutex> lock(mtx_);
        ++counts_.accepted;
        id = nextId_++;
        events = events_;
        if (!admission_->allows(addr))
            refusal = "not in the tail's allow-list";
        else if (!makeRoomFor(prefix))
            refusal = "no room for connections waiting to authenticate";
        if (!refusal.empty()) {
            ++counts_.refused;
        } else {
            ++pendingPerPrefix_[prefix];
            ++countedPending_;
            pending_[fd] =
                Pending{prefix, Clock::now() + std::chrono::milliseconds(limits_.handshakeMs),
                        nextOrder_++};
        }
    }
    if (!refusal.empty()) {
        ::close(fd);
        if (events.refused) events.refused(id, peer, refusal);
        return;
    }
    auto done = std::make_shared<std::atomic<bool>>(false);
    try {
        std::thread t([this, fd, id, peer, done] {
            serveConnection(fd, id, peer);
            *done = true;
        });
        std::lock_guard<std::mutex> lock(mtx_);
        workers_.push_back({std::move(t), done});
    } catch (const std::exception& e) {
        // No thread (or no room to remember it): the connection goes.
        EvDebug::Error(kTailServiceFn, "Couldn't start a connection thread: %s", e.what());
        if (forgetPending(fd)) ::close(fd);
    }
}

bool FlrTailService::makeRoomFor(const std::string& prefix) {
    if (limits_.maxPending <= 0 || limits_.maxPendingPerAddress <= 0) return false;
    auto mine = pendingPerPrefix_.find(prefix);
    if (mine != pendingPerPrefix_.end() && mine->second >= limits_.maxPendingPerAddress) {
        evictOldest(prefix);
        return true;
    }
    if (countedPending_ < limits_.maxPending) return true;
    auto busiest = pendingPerPrefix_.begin();
    for (auto it = pendingPerPrefix_.begin(); it != pendingPerPrefix_.end(); ++it)
        if (it->second > busiest->second) busiest = it;
    if (busiest == pendingPerPrefix_.end()) return false;
    evictOldest(std::string(busiest->first));
    return true;
}

// The oldest connection that has not said a word gives way first; a head
// in the middle of its handshake goes only when every other one has spoken
// too, so idle connections from its own prefix cannot crowd it out, however
// slow its handshake. The connection's thread sees the end of the stream and
// gives up; it still owns (and closes) the descriptor, so the entry stays
// until it forgets it.
void FlrTailService::evictOldest(const std::string& prefix) {
    Pending* oldest = nullptr;
    int oldestFd = -1;
    bool oldestSpoke = true;
    for (auto& [fd, p] : pending_) {
        if (p.evicted || p.prefix != prefix) continue;
        const bool spoke = SdtNetLink::peerHasSpoken(fd);
        if (!oldest || std::pair(spoke, p.order) < std::pair(oldestSpoke, oldest->order)) {
            oldest = &p;
            oldestFd = fd;
            oldestSpoke = spoke;
        }
    }
    if (!oldest) return;
    ::shutdown(oldestFd, SHUT_RDWR);
    oldest->cut = true;
    oldest->evicted = true;
    auto count = pendingPerPrefix_.find(prefix);
    if (count != pendingPerPrefix_.end() && --count->second <= 0) pendingPerPrefix_.erase(count);
    --countedPending_;
    ++counts_.evicted;
}

// --- connection threads ------------------------------------------------------------

bool FlrTailService::forgetPending(int fd) {
    std::lock_guard<std::mutex> lock(mtx_);
    auto it = pending_.find(fd);
    if (it == pending_.end()) return false;
    if (!it->second.evicted) {
        auto a = pendingPerPrefix_.find(it->second.prefix);
        if (a != pendingPerPrefix_.end() && --a->second <= 0) pendingPerPrefix_.erase(a);
        --countedPending_;
    }
    pending_.erase(it);
    return true;
}

bool FlrTailService::promote(int fd, FlrNetTail* tail) {
    forgetPending(fd);
    std::lock_guard<std::mutex> lock(mtx_);
    if (stop_ || static_cast<int>(sessions_.size()) >= limits_.maxSessions) return false;
    sessions_.insert(tail);
    return true;
}

void FlrTailService::demote(FlrNetTail* tail) {
    std::lock_guard<std::mutex> lock(mtx_);
    sessions_.erase(tail);
}

void FlrTailService::serveConnection(int fd, long id, const std::string& peer) {
    Events events;
    {
        std::lock_guard<std::mutex> lock(mtx_);
        events = events_;
    }
    auto refuse = [&](const std::string& why) {
        {
            std::lock_guard<std::mutex> lock(mtx_);
            ++counts_.failedHandshakes;
        }
        if (events.refused) events.refused(id, peer, why);
    };
    bool ownFd = true;
    try {
        SdtError err;
        const int joined = SdtNetLink::acceptJoin(fd, &err, limits_.handshakeMs);
        if (joined == 1) {
            ownFd = false;  // now a socket of a live session
            forgetPending(fd);
            return;
        }
        if (joined < 0 || stop_) {
            if (forgetPending(fd)) ::close(fd);
            ownFd = false;
            refuse(joined < 0 ? err.text() : "the service is stopping");
            return;
        }
        // Per-connection state is built only here, inside the try: running
        // short of descriptors or memory refuses this connection, nothing
        // else.
        auto tail = std::make_unique<FlrNetTail>();
        tail->getLink().setHandshakeTimeout(limits_.handshakeMs);
        tail->setCloseFlushTimeout(limits_.closeFlushSecs);
        tail->setMaxRecvPayload(limits_.maxPayload);
        tail->getLink().inheritSecret(*secretHolder_);
        try {
            tail->setSocket(fd, limits_.recvBufSize);
        } catch (const JxException& e) {
            if (forgetPending(fd)) ::close(fd);
            ownFd = false;
            refuse(e.getMessage());
            return;
        }
        ownFd = false;  // the link's now
        if (!promote(fd, tail.get())) {
            refuse(stop_ ? "the service is stopping" : "too many sessions");
            return;
        }
        serveSession(*tail, id, peer);
        demote(tail.get());
    } catch (const std::exception& e) {
        EvDebug::Error(kTailServiceFn, "Connection %ld from %s: %s", id, peer.c_str(), e.what());
        if (ownFd && forgetPending(fd)) ::close(fd);
        refuse(e.what());
    } catch (...) {
        if (ownFd && forgetPending(fd)) ::close(fd);
        refuse("unknown failure");
    }
}

void FlrTailService::serveInProcess(std::unique_ptr<FlrNetTail> tail) {
    if (!tail) JX_THROW(kTailServiceFn, "Invalid arguments: no engine to serve");
    FlrNetTail* raw = tail.get();
    auto done = std::make_shared<std::atomic<bool>>(false);
    // Under the lock from the check to the worker's record, so a shutdown
    // either refuses this session or aborts and joins it.
    std::lock_guard<std::mutex> lock(mtx_);
    if (stop_) JX_THROW(kTailServiceFn, "The tail service is stopping");
    if (static_cast<int>(sessions_.size()) >= limits_.maxSessions)
        JX_THROW(kTailServiceFn, "Too many sessions");
    const long id = nextId_++;
    sessions_.insert(raw);
    try {
        std::thread t([this, engine = std::move(tail), id, done]() mutable {
            serveSession(*engine, id, "this process");
            engine.reset();  // closes the channel: the head sees the end
            *done = true;
        });
        workers_.push_back({std::move(t), done});
    } catch (...) {
        sessions_.erase(raw);
        throw;
    }
    ++counts_.accepted;
}

void FlrTailService::serveSession(FlrNetTail& tail, long id, const std::string& peer) {
    Events events;
    {
        std::lock_guard<std::mutex> lock(mtx_);
        events = events_;
    }
    if (events.opened) events.opened(id, peer);
    std::string how = "closed by the peer";
    FlrTailSession session{tail, id, peer, stop_};
    try {
        handler_(session);
    } catch (const JxException& e) {
        how = "failed: " + e.getMessage();
    } catch (const std::exception& e) {
        how = std::string("failed: ") + e.what();
    } catch (...) {
        how = "failed: unknown failure";
    }
    if (stop_) how = "closed on shutdown";
    {
        std::lock_guard<std::mutex> lock(mtx_);
        counts_.wireBytes += tail.wireBytesSent() + tail.wireBytesReceived();
    }
    demote(&tail);
    if (events.ended) events.ended(id, how);
}

// --- stopping ------------------------------------------------------------------------

// Pending handshakes are cut and sessions aborted, so that every thread
// returns without waiting for a peer.
void FlrTailService::shutDownConnections() {
    std::lock_guard<std::mutex> lock(mtx_);
    for (auto& [fd, p] : pending_) {
        ::shutdown(fd, SHUT_RDWR);
        p.cut = true;
    }
    for (FlrNetTail* t : sessions_) t->abort("the tail service is stopping");
}

void FlrTailService::reapWorkers(bool all) {
    std::list<Worker> finished;
    {
        std::lock_guard<std::mutex> lock(mtx_);
        for (auto it = workers_.begin(); it != workers_.end();) {
            auto cur = it++;
            if (all || cur->done->load()) finished.splice(finished.end(), workers_, cur);
        }
    }
    for (Worker& w : finished) w.thread.join();
}
