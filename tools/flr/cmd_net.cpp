// flr tail / flr head / flr link bench: a reference tail that answers the
// head's bookkeeping requests and counts what it receives, the head's
// requests from the command line, and a throughput probe of the link.
//
// The link secret comes from the registry ([ZRP] sLinkSecret or
// sLinkSecretFile), never from the command line.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "Commands.h"
#include "FLR/FlrNetHead.h"
#include "FLR/FlrNetJournal.h"
#include "FLR/FlrNetTail.h"
#include "FLR/platform/JxException.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Endpoint {
    std::string host;
    std::string port;  // a number or a registered service name
};

// "HOST:PORT", "[V6ADDR]:PORT".
Endpoint parseEndpoint(const std::string& text) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size())
        throw CLI::ValidationError("ADDR:PORT", "expected HOST:PORT, got \"" + text + "\"");
    Endpoint e{text.substr(0, colon), text.substr(colon + 1)};
    if (e.host.size() > 2 && e.host.front() == '[' && e.host.back() == ']')
        e.host = e.host.substr(1, e.host.size() - 2);
    return e;
}

bool isNumber(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

void connectHead(FlrNetHead& head, const Endpoint& e) {
    if (isNumber(e.port))
        head.connect(e.host.c_str(), std::atoi(e.port.c_str()), 0);
    else
        head.connect(e.host.c_str(), e.port.c_str());
}

std::string peerName(int fd) {
    struct sockaddr_storage a {};
    socklen_t len = sizeof a;
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return "unknown peer";
    char host[NI_MAXHOST];
    char serv[NI_MAXSERV];
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&a), len, host, sizeof host, serv, sizeof serv,
                      NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "unknown peer";
    return std::string(host) + ":" + serv;
}

double secondsSince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// --- flr tail ----------------------------------------------------------------------

// What the tail remembers per pair; nothing is applied, so "last applied"
// is the sequence number of the last journal entry received.
struct PairState {
    unsigned long long lastSeq = 0;
    int lastTime = 0;
    unsigned long long wrIndex = 0;
};

struct Counts {
    std::atomic<long long> messages{0};
    std::atomic<long long> entries{0};
    std::atomic<long long> bytes{0};
};

class TailService {
  public:
    explicit TailService(int recvBufSize) : recvBufSize_(recvBufSize) {}

    // Serves one accepted socket: a join of an existing session, or a new one.
    void serve(int fd, long id) {
        SdtError err;
        const int joined = SdtNetLink::acceptJoin(fd, &err, 10000);
        if (joined == 1) return;
        const std::string peer = peerName(fd);
        if (joined < 0) {
            std::fprintf(stderr, "flr tail: refused extra socket from %s: %s\n", peer.c_str(),
                         err.text().c_str());
            ::close(fd);
            return;
        }
        FlrNetTail tail;
        try {
            tail.setSocket(fd, recvBufSize_);
        } catch (const JxException& e) {
            std::fprintf(stderr, "flr tail: refused connection %ld from %s: %s\n", id, peer.c_str(),
                         e.getMessage().c_str());
            ::close(fd);
            return;
        }
        ++connections_;
        std::printf("connection %ld from %s\n", id, peer.c_str());
        std::fflush(stdout);
        Counts mine;
        std::string end = "closed by the peer";
        try {
            loop(tail, mine);
        } catch (const JxException& e) {
            end = "failed: " + e.getMessage();
        }
        if (stop_) end = "closed on shutdown";
        std::printf("connection %ld %s: %lld messages, %lld journal entries, %lld bytes\n", id,
                    end.c_str(), mine.messages.load(), mine.entries.load(), mine.bytes.load());
        std::fflush(stdout);
        total_.messages += mine.messages;
        total_.entries += mine.entries;
        total_.bytes += mine.bytes;
    }

    void stop() { stop_ = true; }

    void printSummary() const {
        std::printf(
            "flr tail: %ld connections, %lld messages, %lld journal entries, %lld bytes "
            "received\n",
            connections_.load(), total_.messages.load(), total_.entries.load(),
            total_.bytes.load());
        std::fflush(stdout);
    }

  private:
    void loop(FlrNetTail& tail, Counts& counts) {
        int pair = 0;
        FlrNetMessage m;
        while (!stop_) {
            const int rc = tail.recvMessage(&m, 1);
            if (rc == -2) continue;
            if (rc == -1) return;
            ++counts.messages;
            answer(tail, m, pair, counts);
        }
    }

    void answer(FlrNetTail& tail, const FlrNetMessage& m, int& pair, Counts& counts) {
        switch (m.type) {
            case FLR_NET_PING:
                if (m.ping.value == 0) tail.pong();
                break;
            case FLR_NET_MIR_SET_PAIR_ID:
                pair = m.setPairId.value;
                break;
            case FLR_NET_JOURNAL:
                counts.bytes += m.journal.len;
                countEntries(m.journal, pair, counts);
                break;
            case FLR_NET_MIR_DATA:
            case FLR_NET_MIR_ACL:
                counts.bytes += m.data.len;
                break;
            case FLR_NET_GET_LAST_SEQNUM_REQ: {
                const unsigned long long seq = state(m.getLastSeqNumReq.value).lastSeq;
                tail.sendLastSeqNum(seq, seq);
                break;
            }
            case FLR_NET_GET_LAST_TIME_REQ:
                tail.sendLastTimestamp(state(m.getLastTimeReq.value).lastTime);
                break;
            case FLR_NET_SET_LAST_TIME_REQ:
                update(m.setLastTime.pairId,
                       [&](PairState& s) { s.lastTime = m.setLastTime.timestamp; });
                break;
            case FLR_NET_GET_LAST_WRINDEX_REQ:
                tail.sendLastWrIndex(state(m.getLastWrIndexReq.value).wrIndex);
                break;
            case FLR_NET_SET_LAST_WRINDEX_REQ:
                update(m.setLastWrIndex.pairId,
                       [&](PairState& s) { s.wrIndex = m.setLastWrIndex.wrIndex; });
                break;
            case FLR_NET_DEL_PAIR_REQ: {
                std::lock_guard<std::mutex> lock(mtx_);
                pairs_.erase(m.delPairReq.value);
            }
                tail.sendDelPairResp();
                break;
            default:
                break;
        }
    }

    // Walks the network journal records of one message; a damaged record
    // ends the walk (its bytes are still counted).
    void countEntries(const FlrNetRawBody& body, int pair, Counts& counts) {
        const auto* p = static_cast<const unsigned char*>(body.data);
        size_t left = static_cast<size_t>(body.len);
        unsigned long long lastSeq = 0;
        long long n = 0;
        while (left >= FLR_JRN_NET_HDR_SIZE) {
            FlrJrnHeaderNet hdr{};
            try {
                decodeNetHdr(p, left, &hdr);
            } catch (const JxException&) {
                break;
            }
            if (hdr.rec_len > left) break;
            lastSeq = hdr.seq_num;
            ++n;
            p += hdr.rec_len;
            left -= hdr.rec_len;
        }
        counts.entries += n;
        if (n > 0) update(pair, [&](PairState& s) { s.lastSeq = lastSeq; });
    }

    PairState state(int pair) {
        std::lock_guard<std::mutex> lock(mtx_);
        auto it = pairs_.find(pair);
        return it == pairs_.end() ? PairState{} : it->second;
    }

    template <class Fn>
    void update(int pair, Fn fn) {
        std::lock_guard<std::mutex> lock(mtx_);
        fn(pairs_[pair]);
    }

    int recvBufSize_;
    std::atomic<bool> stop_{false};
    std::atomic<long> connections_{0};
    Counts total_;
    std::mutex mtx_;
    std::map<int, PairState> pairs_;
};

int listenOn(const Endpoint& e) {
    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    struct addrinfo* res = nullptr;
    const int rc = ::getaddrinfo(e.host.c_str(), e.port.c_str(), &hints, &res);
    if (rc != 0)
        JX_THROW("flr tail", "Couldn't resolve " + e.host + ":" + e.port + ": " + gai_strerror(rc));
    std::string why;
    for (struct addrinfo* ai = res; ai; ai = ai->ai_next) {
        const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) continue;
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && ::listen(fd, 128) == 0) {
            ::freeaddrinfo(res);
            return fd;
        }
        why = jxErrnoText(errno);
        ::close(fd);
    }
    ::freeaddrinfo(res);
    JX_THROW("flr tail", "Couldn't listen on " + e.host + ":" + e.port + ": " + why);
}

std::string localName(int fd) {
    struct sockaddr_storage a {};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    char host[NI_MAXHOST];
    char serv[NI_MAXSERV];
    ::getnameinfo(reinterpret_cast<sockaddr*>(&a), len, host, sizeof host, serv, sizeof serv,
                  NI_NUMERICHOST | NI_NUMERICSERV);
    return std::string(host) + ":" + serv;
}

void runTail(const std::string& listen, int recvBufSize) {
    const int lfd = listenOn(parseEndpoint(listen));
    // Signals are taken through a descriptor, so every thread started below
    // inherits the blocked mask and none is interrupted.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    const int sfd = ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
    if (sfd < 0) JX_THROW_ERRNO("flr tail", "Couldn't watch for signals", errno);
    std::printf("flr tail: listening on %s\n", localName(lfd).c_str());
    std::fflush(stdout);

    TailService service(recvBufSize);
    struct Session {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    std::list<Session> sessions;
    // Finished sessions are joined as new ones come, so a long-running tail
    // keeps only the live ones.
    auto reap = [&sessions] {
        for (auto it = sessions.begin(); it != sessions.end();) {
            if (!it->done->load()) {
                ++it;
                continue;
            }
            it->thread.join();
            it = sessions.erase(it);
        }
    };
    long nextId = 1;
    for (;;) {
        struct pollfd p[2] = {{lfd, POLLIN, 0}, {sfd, POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (p[1].revents) break;
        if (!(p[0].revents & POLLIN)) continue;
        const int fd = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        reap();
        const long id = nextId++;
        auto done = std::make_shared<std::atomic<bool>>(false);
        sessions.push_back({std::thread([&service, fd, id, done] {
                                service.serve(fd, id);
                                *done = true;
                            }),
                            done});
    }
    service.stop();
    for (Session& s : sessions) s.thread.join();
    ::close(lfd);
    ::close(sfd);
    service.printSummary();
}

// --- flr head ----------------------------------------------------------------------

void runPing(const std::string& target) {
    FlrNetHead head;
    connectHead(head, parseEndpoint(target));
    const auto t0 = Clock::now();
    head.ping();
    std::printf("PING %s: reply in %.3f ms\n", target.c_str(), secondsSince(t0) * 1000.0);
}

// One NOOP journal entry carrying seq: what the tail takes as the last
// sequence number of the pair.
std::vector<char> noopEntry(unsigned long long seq) {
    FlrJrnCommandNet cmd{};
    cmd.cmd = FLR_JRN_NOOP;
    cmd.seq_num = seq;
    cmd.timestamp = static_cast<uint32_t>(std::time(nullptr));
    char* buf = nullptr;
    int cap = 0;
    const int len = encodeNetCmd(&cmd, buf, cap);
    std::vector<char> out(buf, buf + len);
    std::free(buf);
    return out;
}

void runSeq(const std::string& target, int pair, const unsigned long long* set) {
    FlrNetHead head;
    connectHead(head, parseEndpoint(target));
    if (set) {
        head.setMirPairID(pair);
        const std::vector<char> entry = noopEntry(*set);
        head.sendJournalEntry(entry.data(), static_cast<int>(entry.size()));
    }
    unsigned long long seq = 0;
    head.getLastSeqNum(pair, &seq, nullptr);
    std::printf("pair %d: last sequence number %llu\n", pair, seq);
}

// --- flr link bench ------------------------------------------------------------------

struct BenchOptions {
    std::string target;
    std::string type = "data";
    int size = 262144;
    double seconds = 5.0;
    int compress = 0;
    bool encrypt = false;
    int streams = 1;
};

// Semi-compressible bytes (words and numbers), so that compression has
// something to do without being trivial.
std::vector<char> benchBytes(size_t n) {
    static const char* words[] = {"replica ", "journal ", "write ", "offset ",
                                  "inode ",   "rename ",  "chmod ", "block "};
    std::mt19937 rng(3);
    std::string s;
    while (s.size() < n) {
        s += words[rng() % 8];
        s += std::to_string(rng() % 100000);
        s += static_cast<char>(' ' + rng() % 90);
    }
    return std::vector<char>(s.begin(), s.begin() + static_cast<long>(n));
}

// A WRITE journal record of about `size` bytes.
std::vector<char> journalRecord(int size, const std::vector<char>& data) {
    FlrJrnCommandNet cmd{};
    cmd.cmd = FLR_JRN_WRITE;
    cmd.seq_num = 1;
    cmd.write.path = "/bench/file";
    cmd.write.offset = 0;
    cmd.write.size = 0;
    cmd.write.data = data.data();
    const int base = getNetCmdSize(&cmd);
    cmd.write.size = static_cast<uint32_t>(
        std::max(0, std::min<int>(size - base, static_cast<int>(data.size()))));
    char* buf = nullptr;
    int cap = 0;
    const int len = encodeNetCmd(&cmd, buf, cap);
    std::vector<char> out(buf, buf + len);
    std::free(buf);
    return out;
}

void runBench(const BenchOptions& o) {
    if (o.type != "data" && o.type != "journal")
        throw CLI::ValidationError("--type", "data or journal");
    FlrNetHead head;
    connectHead(head, parseEndpoint(o.target));
    if (o.streams > 1) {
        const SdtError e = head.getLink().fatten(o.streams - 1);
        if (!e.ok()) JX_THROW("flr link bench", "Couldn't add extra sockets: " + e.text());
    }
    if (!head.setCompression(o.compress).ok() || !head.setEncryption(o.encrypt ? 1 : 0).ok())
        JX_THROW("flr link bench", "The link refused the compression or encryption setting");

    const bool journal = o.type == "journal";
    const std::vector<char> data = benchBytes(static_cast<size_t>(std::max(o.size, 1)));
    const std::vector<char> record = journal ? journalRecord(o.size, data) : std::vector<char>();
    const int len = journal ? static_cast<int>(record.size()) : o.size;

    // Data goes through the swapping enqueue; each buffer is filled the
    // first time it comes back, after that it already holds the bytes.
    int cap = std::max(o.size, 1);
    void* buf = std::malloc(static_cast<size_t>(cap));
    if (!buf) JX_THROW("flr link bench", "Not enough memory");
    std::memcpy(buf, data.data(), static_cast<size_t>(o.size));
    std::unordered_set<void*> filled{buf};

    long long sent = 0;
    const auto t0 = Clock::now();
    const auto until = t0 + std::chrono::duration<double>(o.seconds);
    while (Clock::now() < until) {
        for (int i = 0; i < 64; ++i, ++sent) {
            if (journal) {
                head.sendJournalEntry(record.data(), len);
                continue;
            }
            head.sendMirData(buf, len, cap);
            if (filled.insert(buf).second) std::memcpy(buf, data.data(), static_cast<size_t>(len));
        }
    }
    // The reply comes after the tail has taken everything sent before.
    head.ping();
    const double secs = secondsSince(t0);
    std::free(buf);
    const double mb = static_cast<double>(sent) * len / 1e6;
    std::printf(
        "sent %lld %s messages of %d bytes in %.2f s over %d socket%s%s%s: %.1f MB/s, "
        "%.0f messages/s\n",
        sent, journal ? "FLR_NET_JOURNAL" : "FLR_NET_MIR_DATA", len, secs, o.streams,
        o.streams == 1 ? "" : "s", o.compress ? " (zstd)" : "", o.encrypt ? " (AES-256-GCM)" : "",
        mb / secs, static_cast<double>(sent) / secs);
}

}  // namespace

void addNetCommands(CLI::App& app) {
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

    auto* head = app.add_subcommand("head", "Talk to a tail as a head");
    head->require_subcommand(1);
    static std::string target;
    auto* ping = head->add_subcommand("ping", "Send a PING and wait for the reply");
    ping->add_option("ADDR:PORT", target, "The tail (PORT may be a registered service name)")
        ->required();
    ping->callback([] { runPing(target); });

    auto* seq = head->add_subcommand("seq", "Get (or set, then get) a pair's last sequence number");
    static int pair = 0;
    static unsigned long long setSeq = 0;
    seq->add_option("ADDR:PORT", target, "The tail")->required();
    seq->add_option("--pair", pair, "Pair number")->required();
    auto* setOpt = seq->add_option("--set", setSeq, "Send a journal entry with this number first");
    seq->callback([setOpt] { runSeq(target, pair, setOpt->count() ? &setSeq : nullptr); });

    auto* link = app.add_subcommand("link", "Link tools");
    link->require_subcommand(1);
    static BenchOptions bench;
    auto* b = link->add_subcommand("bench", "Stream messages to a tail and report throughput");
    b->add_option("ADDR:PORT", bench.target, "The tail")->required();
    b->add_option("--type", bench.type, "data (FLR_NET_MIR_DATA) or journal (FLR_NET_JOURNAL)")
        ->check(CLI::IsMember({"data", "journal"}));
    b->add_option("--size", bench.size, "Message size in bytes")->check(CLI::Range(1, 64 << 20));
    b->add_option("--seconds", bench.seconds, "How long to stream")->check(CLI::PositiveNumber);
    b->add_option("--compress", bench.compress, "zstd level (0 off)")->check(CLI::Range(0, 22));
    b->add_flag("--encrypt", bench.encrypt, "AES-256-GCM");
    b->add_option("--streams", bench.streams, "TCP connections of the link (extra sockets + 1)")
        ->check(CLI::Range(1, SdtNetLink::kMaxExtraSockets + 1));
    b->callback([] { runBench(bench); });
}
