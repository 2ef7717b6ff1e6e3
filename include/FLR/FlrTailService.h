#pragma once
// The tail's main loop: listens, accepts, authenticates and serves head
// sessions, each on its own thread, with a per-session handler plugged in by
// the caller (FlrTailBookkeeper answers the bookkeeping requests; a handler
// that applies files into a destination root takes the same place).
//
// Anyone can connect, so nothing is spent on a connection before it proves
// the link secret beyond a thread and its socket: unauthenticated
// connections are bounded in total and per address prefix (/24 of IPv4, /64
// of IPv6); when the slots are full the oldest unauthenticated connection
// gives way to the new one, so a flood of idle connections cannot keep an
// honest head out. An allow-list may admit only known heads. The whole
// handshake has a time limit, authenticated sessions are
// bounded too, accept failures for want of descriptors or memory back off
// instead of spinning, and nothing a handler or a session's set-up throws
// leaves its thread. stop() ends everything promptly: pending handshakes are
// cut, sessions are aborted, and every thread is joined.
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "FLR/FlrExport.h"

class FlrNetTail;
class SdtNetLink;
class FlrTailAdmission;

struct FLR_EXPORT FlrTailLimits {
    int maxPending = 64;           // accepted, not yet authenticated, in total
    int maxPendingPerAddress = 8;  // the same from one address prefix (/24, /64)
    int maxSessions = 128;         // authenticated sessions
    int handshakeMs = 10000;       // from accept to an authenticated session
    int closeFlushSecs = 5;        // a session's last replies, when it ends
    int recvBufSize = 262144;      // socket receive buffer of a session
    // Largest payload a session accepts (refused before it is allocated or
    // decompressed); at most FlrNetBase::kMaxDataPayload.
    uint32_t maxPayload = 64u << 20;
};

struct FLR_EXPORT FlrTailStats {
    long pending = 0;   // connections in their handshake (not counting evicted ones)
    long sessions = 0;  // live authenticated sessions
    long threads = 0;   // connection threads not yet joined
    long long accepted = 0;
    long long refused = 0;           // not allowed, or no room: closed unread
    long long evicted = 0;           // unauthenticated, cut to make room for a newer one
    long long failedHandshakes = 0;  // timed out, wrong secret, malformed
    long long acceptErrors = 0;      // accept failures that made the loop back off
    size_t recvBufferBytes = 0;      // held by the live sessions' receive buffers
    long long wireBytes = 0;         // frame bytes sent and received by all sessions
};

// One authenticated session, as its handler sees it.
struct FLR_EXPORT FlrTailSession {
    FlrNetTail& net;
    long id;
    std::string peer;  // "ADDR:PORT"
    const std::atomic<bool>& stopFlag;

    // The service is shutting down: the handler should return.
    bool stopping() const { return stopFlag.load(); }
};

class FLR_EXPORT FlrTailService {
  public:
    // Serves one session until the peer leaves or stopping(); may throw.
    using Handler = std::function<void(FlrTailSession&)>;
    // Told what happens to connections (printing, logging); called from
    // connection threads, so they must be thread-safe.
    struct Events {
        std::function<void(long id, const std::string& peer)> opened;
        std::function<void(long id, const std::string& peer, const std::string& why)> refused;
        // how: "closed by the peer", "closed on shutdown" or "failed: ...".
        std::function<void(long id, const std::string& how)> ended;
    };

    explicit FlrTailService(Handler handler, FlrTailLimits limits = {});
    ~FlrTailService();
    FlrTailService(const FlrTailService&) = delete;
    FlrTailService& operator=(const FlrTailService&) = delete;

    void setEvents(Events events);
    // The link secret heads must prove, instead of the registry's (a tail
    // started for one run with a one-time secret). Before listen().
    void setSecret(const std::string& secret);
    // Whether connections offer integrity-only frames (SdtNetLink::
    // setIntegrityOnly: -1 as the registry says, 0 no, 1 yes). Before listen().
    void setIntegrityOnly(int mode);
    // Admits only heads from these addresses ("ADDR" or "ADDR/BITS", IPv4 or
    // IPv6; an entry may hold several, separated by commas or blanks); others
    // are closed unread. Empty: anyone may try. Throws
    // std::invalid_argument naming an entry that is no address. Before run().
    void setAllowList(const std::vector<std::string>& cidrs);
    // Binds host:port (port 0 picks one) and listens. Throws JxException.
    void listen(const std::string& host, const std::string& port);
    // "ADDR:PORT" actually bound.
    std::string localAddress() const;
    int localPort() const;

    // Accepts and serves until stop() or until stopFd (say, a signalfd)
    // becomes readable; then ends every session and joins every thread.
    // Without listen() it serves only in-process sessions.
    void run(int stopFd = -1);
    // Makes run() return; safe from any thread, also before run().
    void stop();
    // Serves an engine on an in-process channel (a head of this process,
    // which proved nothing since it is us) as a session on a thread of its
    // own, ended and joined with the others. Throws JxException when the
    // service is stopping or has no room for another session.
    void serveInProcess(std::unique_ptr<FlrNetTail> tail);
    FlrTailStats stats() const;

  private:
    struct Pending {
        std::string prefix;
        std::chrono::steady_clock::time_point deadline;
        unsigned long long order = 0;  // accept order: the oldest gives way first
        bool cut = false;
        bool evicted = false;  // no longer counted against the limits
    };
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    using Clock = std::chrono::steady_clock;

    bool waitForWork(int stopFd, int timeoutMs, bool watchListen);
    int nextWakeMs(int backoffMs) const;
    void cutExpiredHandshakes();
    void acceptOne(int& backoffMs);
    void admit(int fd, const sockaddr_storage& addr, socklen_t len);
    void serveConnection(int fd, long id, const std::string& peer);
    void serveSession(FlrNetTail& tail, long id, const std::string& peer);
    // Drops fd from the pending set; false when it was not there.
    bool forgetPending(int fd);
    // Makes room for one more unauthenticated connection from prefix by
    // cutting the oldest one of that prefix, or (all slots taken) of the
    // prefix holding most. False when there was nothing to cut. Under mtx_.
    bool makeRoomFor(const std::string& prefix);
    void evictOldest(const std::string& prefix);
    bool promote(int fd, FlrNetTail* tail);
    void demote(FlrNetTail* tail);
    void reapWorkers(bool all);
    void shutDownConnections();

    Handler handler_;
    FlrTailLimits limits_;
    std::unique_ptr<SdtNetLink> secretHolder_;  // never connected: holds setSecret()'s secret
    Events events_;
    int listenFd_ = -1;
    int wakePipe_[2] = {-1, -1};
    std::atomic<bool> stop_{false};

    std::unique_ptr<FlrTailAdmission> admission_;

    // mtx_ guards everything below.
    mutable std::mutex mtx_;
    std::map<int, Pending> pending_;
    std::map<std::string, int> pendingPerPrefix_;  // counted ones only
    long countedPending_ = 0;
    unsigned long long nextOrder_ = 0;
    std::set<FlrNetTail*> sessions_;
    std::list<Worker> workers_;
    long nextId_ = 1;
    FlrTailStats counts_;
};
