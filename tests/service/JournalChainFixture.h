#pragma once
// The live journal chain for the convergence tests: a real head tree watched
// by FlrLiveJournal, the head journal service sending to a tail that applies
// (in this process, or a child the test kills), and what a watcher would do
// beside them: files too large for WRITE records resent through FlrBackup,
// and a resync answered by a replication scan once the journal has drained.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "FLR/FlrHeadJournal.h"
#include "FLR/FlrReplicator.h"
#include "FLR/FlrTreeVerify.h"
#include "FLR/JxException.h"
#include "FLR/JxSafeFlags.h"
#include "apply/TailApplyFixture.h"
#include "journal/FlrLiveJournal.h"
#include "net/FlrNetHead.h"
#include "platform/FlrDriver.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxSeqCounter.h"
#include "scan/FlrCollectText.h"
#include "support/TestSupport.h"
#include "transfer/FlrBackup.h"

namespace chaintest {

using Clock = std::chrono::steady_clock;
constexpr int kPair = 5;
// Generous (sanitizers on a loaded machine): a settle ends as soon as the
// trees agree; this only bounds a fault.
constexpr auto kSettleLimit = std::chrono::seconds(90);

// The link secret, and the install folder the tail keeps its numbers under.
struct ChainRegistry : tailtest::Registry {
    ChainRegistry() { JXPlatformInfo::setString("Platform", "dInstall", dir() + "/install"); }
};

// Where one head keeps what outlives its process: a restarted head is given
// the same folders.
struct HeadPaths {
    std::string src, state, db, liveState, seqFile, replicate;
    explicit HeadPaths(const std::string& base)
        : src(base + "/src"),
          state(base + "/state"),
          db(base + "/db"),
          liveState(base + "/live.state"),
          seqFile(base + "/journal.seq"),
          replicate(base + "/replicate") {}
};

// Empty when the live journal can run here, else why not.
inline std::string liveSkipReason() {
    std::string why;
    return FlrDriver::hasCapability(&why) ? std::string() : why;
}

inline FlrHeadJournalOptions headOptions(const HeadPaths& p, const std::string& dst,
                                         std::shared_ptr<std::atomic<int>> port,
                                         uint64_t startSeq) {
    FlrHeadJournalOptions o;
    o.pairId = kPair;
    o.source = p.src;
    o.destination = dst;
    o.dbDir = p.db;
    o.stateDir = p.state;
    o.startSeq = startSeq;
    o.reconnectMinMs = 20;
    o.reconnectMaxMs = 200;
    o.connect = [port](FlrNetHead& head) { head.connect("127.0.0.1", port->load(), 0); };
    return o;
}

inline FlrLiveJournal::Options liveOptions(const HeadPaths& p) {
    FlrLiveJournal::Options o;
    o.flushDelayMs = 300;
    o.stateFile = p.liveState;
    return o;
}

// Differences between the head tree and the tail tree, one per line.
inline std::string differences(const std::string& src, const std::string& dst) {
    FlrTreeVerifyOptions vo;
    vo.mtimes = true;
    vo.owners = ::geteuid() == 0;
    vo.maxDiffs = 20;
    const FlrTreeVerifyResult r = FlrTreeVerify(vo).compare(src, dst);
    std::string out;
    for (const FlrTreeDiff& d : r.diffs) out += d.path + ": " + d.what + "\n";
    if (r.differences > static_cast<long long>(r.diffs.size()))
        out += std::to_string(r.differences) + " differences in all\n";
    return out;
}

// The live journal and the head service for one pair, the service running
// on a thread of its own; the tail's port may change (a restarted tail).
class LiveHead {
  public:
    LiveHead(const HeadPaths& p, std::string dst, std::shared_ptr<std::atomic<int>> port)
        : paths_(p), dst_(std::move(dst)), port_(std::move(port)) {
        counter_ = std::make_unique<JxSeqCounter>(p.seqFile, 1024);
        live_ = std::make_unique<FlrLiveJournal>(std::vector<FlrLiveFolder>{{kPair, p.src}},
                                                 liveOptions(p), *counter_);
        // The tree is empty when a chain first starts: nothing is covered by
        // a scan, and a restarted head resumes from its own position.
        service_ = std::make_unique<FlrHeadJournal>(headOptions(p, dst_, port_, 0));
        initial_ = service_->counters();
        startMark_ = live_->lastSeq();
        runner_ = std::thread([this] { runService(); });
    }
    ~LiveHead() {
        service_->stop();
        live_->stop();
        runner_.join();
    }

    FlrHeadJournalCounters counters() const { return service_->counters(); }
    // Before the service ran: what an earlier head left in the cache.
    const FlrHeadJournalCounters& initial() const { return initial_; }
    FlrLiveJournal& live() { return *live_; }
    // Overflows and restarts seen so far (each answered by a scan).
    const std::vector<FlrLiveResync>& resyncs() const { return resyncs_; }
    int scans() const { return scans_; }
    std::string failure() const {
        std::lock_guard<std::mutex> lock(mtx_);
        return failure_;
    }

    // Every record made so far is processed and the tail confirmed it.
    bool caughtUp() const {
        const FlrHeadJournalCounters c = counters();
        const uint64_t made = live_->lastSeq();  // the start mark is no record
        return c.connected && (made == startMark_ || c.lastTakenSeq >= made) &&
               c.lastSentSeq == c.lastTakenSeq && c.lastConfirmed >= c.lastSentSeq;
    }

    // One step of a watcher: large files whose markers the service has
    // passed are resent; a resync waits for the journal to drain, then scans.
    void tend() {
        for (FlrLiveResync& r : live_->takeResyncs()) resyncs_.push_back(r);
        if (scans_ < static_cast<int>(resyncs_.size()) && caughtUp()) {
            scan();
            scans_ = static_cast<int>(resyncs_.size());
        }
        for (FlrLiveResend& r : live_->takeResends()) resends_.push_back(r);
        const uint64_t passed = counters().lastSentSeq;
        std::vector<std::string> lines;
        while (!resends_.empty() && resends_.front().seq <= passed) {
            lines.push_back(paths_.src + "/" + resends_.front().path);
            resends_.erase(resends_.begin());
        }
        if (!lines.empty()) resend(lines);
    }

    // Tends the chain until the trees agree with every record confirmed, or
    // the limit passed; returns the differences left.
    std::string settle() {
        const auto until = Clock::now() + kSettleLimit;
        std::string diff = "not compared";
        while (Clock::now() < until && failure().empty()) {
            tend();
            if (caughtUp() && resends_.empty() && scans_ == static_cast<int>(resyncs_.size())) {
                diff = differences(paths_.src, dst_);
                if (diff.empty()) return diff;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (!failure().empty()) return failure();
        const FlrHeadJournalCounters c = counters();
        return diff + " (taken " + std::to_string(c.lastTakenSeq) + " of " +
               std::to_string(live_->lastSeq()) + ", processed " + std::to_string(c.lastSentSeq) +
               ", confirmed " + std::to_string(c.lastConfirmed) + ", sent " +
               std::to_string(c.sent) + ", dropped " +
               std::to_string(c.outside + c.filtered + c.noNetForm) + ", connected " +
               std::to_string(c.connected) + ", resends waiting " +
               std::to_string(resends_.size()) + ", resyncs " + std::to_string(resyncs_.size()) +
               ", scans " + std::to_string(scans_) + ")";
    }

  private:
    void runService() {
        try {
            service_->run(*live_);
        } catch (const JxException& e) {
            std::lock_guard<std::mutex> lock(mtx_);
            failure_ = "head service failed: " + e.getMessage();
        }
    }

    FlrNetHead& connectAside(FlrNetHead& net) const {
        net.connect("127.0.0.1", port_->load(), 0);
        return net;
    }

    // The files' current contents, in full, over a connection of their own.
    void resend(const std::vector<std::string>& sources) {
        std::string text;
        for (const std::string& s : sources) text += FlrCollectText::escape(s) + "\n";
        const std::string collect = paths_.state + "/resend.collect";
        flrtest::writeFile(collect, text);
        try {
            FlrNetHead net;
            JxSafeFlags abort;
            FlrBackup backup(&connectAside(net), &abort, nullptr);
            backup.addDirPair(paths_.src.c_str(), dst_.c_str());
            backup.skipVanished = true;  // removed since: the journal says so
            backup.backup(collect.c_str(), 0, false, -1);
            net.ping();
        } catch (const JxException&) {
            // A cut link or a restarting tail: the files go again later.
            for (const std::string& s : sources)
                resends_.push_back({kPair, fsf_fid::fid0, s.substr(paths_.src.size() + 1), 0, 0});
        }
    }

    // What a watcher does on a resync: a replication scan of the pair to the
    // running tail (a baseline here: its first run).
    void scan() {
        FlrReplicateOptions o;
        o.source = paths_.src;
        o.target = "127.0.0.1:" + std::to_string(port_->load()) + ":" + dst_;
        o.stateRoot = paths_.replicate;
        o.method = "full";
        try {
            FlrReplicator(o).run();
        } catch (const JxException& e) {
            std::lock_guard<std::mutex> lock(mtx_);
            failure_ = "scan failed: " + e.getMessage();
        }
    }

    HeadPaths paths_;
    std::string dst_;
    std::shared_ptr<std::atomic<int>> port_;
    std::unique_ptr<JxSeqCounter> counter_;
    std::unique_ptr<FlrLiveJournal> live_;
    std::unique_ptr<FlrHeadJournal> service_;
    FlrHeadJournalCounters initial_;
    uint64_t startMark_ = 0;
    std::thread runner_;
    mutable std::mutex mtx_;
    std::string failure_;
    std::vector<FlrLiveResync> resyncs_;
    std::vector<FlrLiveResend> resends_;
    int scans_ = 0;
};

// Forwards loopback connections to a port; cut() breaks every connection
// open at the time, as a failing network would.
class CuttableLink {
  public:
    explicit CuttableLink(int target) : target_(target) {
        listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            ::listen(listen_, 16) != 0 ||
            ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port_ = ntohs(a.sin_port);
        acceptor_ = std::thread([this] { acceptLoop(); });
    }
    ~CuttableLink() {
        stop_ = true;
        if (acceptor_.joinable()) acceptor_.join();
        cut();
        for (std::thread& t : pumps_) t.join();
        for (int fd : fds_) ::close(fd);
        ::close(listen_);
    }
    int port() const { return port_; }
    int cuts() const { return cuts_; }
    void cut() {
        std::lock_guard<std::mutex> lock(mtx_);
        for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
        ++cuts_;
    }

  private:
    void acceptLoop() {
        while (!stop_) {
            struct pollfd p = {listen_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            const int in = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
            if (in < 0) continue;
            const int out = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            struct sockaddr_in a {};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(static_cast<uint16_t>(target_));
            if (::connect(out, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
                ::shutdown(in, SHUT_RDWR);
            std::lock_guard<std::mutex> lock(mtx_);
            fds_.push_back(in);
            fds_.push_back(out);
            pumps_.emplace_back([this, in, out] { pump(in, out); });
        }
    }
    // Copies both ways until either side ends.
    void pump(int a, int b) {
        char buf[65536];
        struct pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
        while (!stop_) {
            if (::poll(p, 2, 50) <= 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (p[i].revents == 0) continue;
                const ssize_t n = ::read(p[i].fd, buf, sizeof buf);
                if (n <= 0 || !writeAll(p[1 - i].fd, buf, static_cast<size_t>(n))) {
                    ::shutdown(a, SHUT_RDWR);
                    ::shutdown(b, SHUT_RDWR);
                    return;
                }
            }
        }
    }
    static bool writeAll(int fd, const char* p, size_t n) {
        while (n > 0) {
            const ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
            if (k <= 0) return false;
            p += k;
            n -= static_cast<size_t>(k);
        }
        return true;
    }

    int target_;
    int listen_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread acceptor_;
    std::mutex mtx_;
    std::vector<int> fds_;
    std::vector<std::thread> pumps_;
    int cuts_ = 0;
};

}  // namespace chaintest
