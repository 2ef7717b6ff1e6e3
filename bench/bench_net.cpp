// The network engine (FlrNetHead -> FlrNetTail over loopback) against plain
// TCP, side by side in one run:
//   256 KiB MIR_DATA through the engine vs a plain TCP sender/receiver with
//   the same socket buffer sizes; the same with AES-256-GCM (vs OpenSSL's own
//   AES-256-GCM speed and vs plain); with zstd level 1 on semi-compressible
//   data (MB/s of input); 200-byte JOURNAL messages per second; and 3 extra
//   sockets (nExtraSockets) vs none.
// The last line printed holds the ratios.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "FLR/FlrNetHead.h"
#include "FLR/FlrNetTail.h"
#include "FLR/platform/JXPlatformInfo.h"
#include "FLR/platform/SdtNetLink.h"

namespace {

constexpr int kSockBuf = FlrNetHead::kConnectBufSize;
constexpr size_t kBig = 256 * 1024;
constexpr size_t kSmall = 200;

using Clock = std::chrono::steady_clock;
std::map<std::string, double> g_rate;  // name -> units per second

void setBufs(int fd) {
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSockBuf, sizeof kSockBuf);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kSockBuf, sizeof kSockBuf);
}

struct Listener {
    int fd = -1;
    int port = 0;
    Listener() {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        setBufs(fd);
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(fd, 16);
        socklen_t len = sizeof a;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Listener() { ::close(fd); }
    int connect() const {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        setBufs(s);
        struct sockaddr_in a {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(port));
        ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        return s;
    }
    int accept(int timeoutMs) const {
        struct pollfd p {
            fd, POLLIN, 0
        };
        if (::poll(&p, 1, timeoutMs) <= 0) return -1;
        return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    }
};

// A registry file of its own: the link secret and, when asked, extra sockets.
class BenchRegistry {
  public:
    explicit BenchRegistry(int extraSockets) {
        char tmpl[] = "/tmp/flrbench.XXXXXX";
        dir_ = ::mkdtemp(tmpl) ? tmpl : "/tmp";
        path_ = dir_ + "/registry.ini";
        std::ofstream f(path_);
        f << "[ZRP]\nsLinkSecret = benchmark link secret\n";
        if (extraSockets > 0) f << "nExtraSockets = " << extraSockets << "\n";
        f.close();
        previous_ = JXPlatformInfo::getRegistryFile();
        JXPlatformInfo::setRegistryFile(path_);
    }
    ~BenchRegistry() {
        JXPlatformInfo::setRegistryFile(previous_);
        std::remove(path_.c_str());
        std::remove((path_ + ".lock").c_str());
        ::rmdir(dir_.c_str());
    }

  private:
    std::string dir_;
    std::string path_;
    std::string previous_;
};

std::string randomBytes(size_t n) {
    std::string s(n, '\0');
    std::mt19937_64 rng(1);
    for (size_t i = 0; i + 8 <= n; i += 8) {
        const uint64_t v = rng();
        std::memcpy(&s[i], &v, 8);
    }
    return s;
}

// Roughly 3:1 for zstd level 1: words from a small vocabulary with numbers.
std::string semiCompressible(size_t n) {
    static const char* words[] = {"replica ", "journal ", "write ", "offset ",
                                  "inode ",   "rename ",  "chmod ", "block "};
    std::mt19937 rng(2);
    std::string s;
    while (s.size() < n) {
        s += words[rng() % 8];
        s += std::to_string(rng() % 100000);
        s += static_cast<char>(' ' + rng() % 90);
    }
    s.resize(n);
    return s;
}

void record(benchmark::State& state, const std::string& name, double units, Clock::time_point t0) {
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    if (secs > 0) g_rate[name] = units / secs;
    state.counters["per_sec"] = benchmark::Counter(secs > 0 ? units / secs : 0);
}

// --- plain TCP -----------------------------------------------------------------

void plainTcp(benchmark::State& state, size_t msgLen, const std::string& name) {
    Listener l;
    const int tx = l.connect();
    const int rx = l.accept(5000);
    const std::string msg = randomBytes(msgLen);
    std::thread receiver([&] {
        std::vector<char> buf(msgLen);
        while (::recv(rx, buf.data(), msgLen, MSG_WAITALL) == static_cast<ssize_t>(msgLen)) {
        }
    });
    const auto t0 = Clock::now();
    long long sent = 0;
    for (auto _ : state) {
        size_t off = 0;
        while (off < msgLen) {
            const ssize_t n = ::send(tx, msg.data() + off, msgLen - off, MSG_NOSIGNAL);
            if (n <= 0) break;
            off += static_cast<size_t>(n);
        }
        ++sent;
    }
    ::shutdown(tx, SHUT_WR);
    receiver.join();
    const bool frames = msgLen == kSmall;
    record(state, name, frames ? static_cast<double>(sent) : static_cast<double>(sent * msgLen),
           t0);
    state.SetBytesProcessed(static_cast<int64_t>(sent * msgLen));
    ::close(tx);
    ::close(rx);
}

// --- the engine ------------------------------------------------------------------

// A head connected to a tail over loopback, the tail's service thread
// counting what arrives.
struct EnginePair {
    BenchRegistry registry;
    Listener listener;
    FlrNetTail tail;
    FlrNetHead head;
    std::atomic<long long> received{0};
    std::atomic<bool> stop{false};
    std::thread service;

    explicit EnginePair(int extraSockets) : registry(extraSockets) {
        std::thread acceptor([this, extraSockets] {
            for (int i = 0; i < 1 + extraSockets; ++i) {
                const int fd = listener.accept(10000);
                if (fd < 0) return;
                SdtError err;
                const int joined = SdtNetLink::acceptJoin(fd, &err, 10000);
                if (joined == 0)
                    tail.setSocket(fd, kSockBuf);
                else if (joined < 0)
                    ::close(fd);
            }
        });
        head.connect("127.0.0.1", listener.port, 0);
        acceptor.join();
        service = std::thread([this] {
            FlrNetMessage m;
            while (!stop) {
                const int rc = tail.recvMessage(&m, 1);
                if (rc == 0)
                    received.fetch_add(1, std::memory_order_relaxed);
                else if (rc == -1)
                    break;
            }
        });
    }
    // Waits until the tail has taken n messages.
    bool waitFor(long long n) {
        const auto until = Clock::now() + std::chrono::seconds(60);
        while (received.load() < n && Clock::now() < until)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        return received.load() >= n;
    }
    ~EnginePair() {
        stop = true;
        service.join();
    }
};

void engineData(benchmark::State& state, const std::string& data, int extra, int compression,
                bool gcm, const std::string& name) {
    EnginePair p(extra);
    p.head.setCompression(compression);
    p.head.setEncryption(gcm ? 1 : 0);
    // Bulk data goes through the swapping enqueue, as the transfer sends it;
    // each buffer is filled once, the first time it comes back.
    int cap = static_cast<int>(kBig);
    void* buf = std::malloc(kBig);
    std::memcpy(buf, data.data(), kBig);
    std::unordered_set<void*> filled{buf};
    const auto t0 = Clock::now();
    long long sent = 0;
    for (auto _ : state) {
        p.head.sendMirData(buf, static_cast<int>(kBig), cap);
        if (filled.insert(buf).second) std::memcpy(buf, data.data(), kBig);
        ++sent;
    }
    if (!p.waitFor(sent)) state.SkipWithError("messages lost");
    record(state, name, static_cast<double>(sent) * kBig, t0);
    state.SetBytesProcessed(static_cast<int64_t>(sent * kBig));
    std::free(buf);
}

void engineJournal(benchmark::State& state) {
    EnginePair p(0);
    const std::string entry = randomBytes(kSmall);
    const auto t0 = Clock::now();
    long long sent = 0;
    for (auto _ : state) {
        p.head.sendJournalEntry(entry.data(), static_cast<int>(kSmall));
        ++sent;
    }
    if (!p.waitFor(sent)) state.SkipWithError("messages lost");
    record(state, "journal", static_cast<double>(sent), t0);
    state.SetItemsProcessed(sent);
}

const std::string& noise() {
    static const std::string s = randomBytes(kBig);
    return s;
}
const std::string& text() {
    static const std::string s = semiCompressible(kBig);
    return s;
}

void BM_PlainTcp_256K(benchmark::State& s) {
    plainTcp(s, kBig, "plain");
}
void BM_Engine_256K(benchmark::State& s) {
    engineData(s, noise(), 0, 0, false, "engine");
}
void BM_Engine_256K_GCM(benchmark::State& s) {
    engineData(s, noise(), 0, 0, true, "gcm");
}
void BM_Engine_256K_Zstd1(benchmark::State& s) {
    engineData(s, text(), 0, 1, false, "zstd1");
}
void BM_Engine_256K_Extra3(benchmark::State& s) {
    engineData(s, noise(), 3, 0, false, "extra3");
}
void BM_PlainTcp_200B(benchmark::State& s) {
    plainTcp(s, kSmall, "plain_small");
}
void BM_Engine_Journal_200B(benchmark::State& s) {
    engineJournal(s);
}

// OpenSSL's own AES-256-GCM encryption speed on 256 KiB blocks, as
// `openssl speed -evp aes-256-gcm` measures it, in this process.
void BM_OpenSslGcm_256K(benchmark::State& state) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    unsigned char key[32] = {1}, iv[12] = {2}, tag[16];
    std::vector<unsigned char> in(kBig, 7), out(kBig);
    EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key, nullptr);
    const auto t0 = Clock::now();
    long long n = 0;
    for (auto _ : state) {
        int len = 0;
        iv[11] = static_cast<unsigned char>(n);
        EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, iv);
        EVP_EncryptUpdate(ctx, out.data(), &len, in.data(), static_cast<int>(kBig));
        EVP_EncryptFinal_ex(ctx, out.data() + len, &len);
        EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, tag);
        benchmark::DoNotOptimize(out.data());
        ++n;
    }
    record(state, "openssl_gcm", static_cast<double>(n * static_cast<long long>(kBig)), t0);
    state.SetBytesProcessed(static_cast<int64_t>(n * static_cast<long long>(kBig)));
    EVP_CIPHER_CTX_free(ctx);
}

BENCHMARK(BM_PlainTcp_256K)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Engine_256K)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_OpenSslGcm_256K)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_Engine_256K_GCM)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Engine_256K_Zstd1)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Engine_256K_Extra3)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PlainTcp_200B)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_Engine_Journal_200B)->UseRealTime()->MinTime(2.0);

double rate(const char* name) {
    auto it = g_rate.find(name);
    return it == g_rate.end() ? 0.0 : it->second;
}

double ratio(double a, double b) {
    return b > 0 ? a / b : 0.0;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    const double mb = 1e6;
    const double gcmTarget = std::min(0.8 * rate("openssl_gcm"), 0.6 * rate("plain"));
    std::printf(
        "plain %.0f MB/s, engine %.0f MB/s, openssl aes-256-gcm %.0f MB/s, engine+gcm %.0f "
        "MB/s (target %.0f), engine+zstd1 %.0f MB/s of input, 3 extra sockets %.0f MB/s, "
        "200-byte JOURNAL %.0f messages/s (plain TCP writes %.0f/s)\n",
        rate("plain") / mb, rate("engine") / mb, rate("openssl_gcm") / mb, rate("gcm") / mb,
        gcmTarget / mb, rate("zstd1") / mb, rate("extra3") / mb, rate("journal"),
        rate("plain_small"));
    std::printf(
        "ratios: engine/plain %.2f (target >= 0.85); gcm/openssl %.2f, gcm/plain %.2f "
        "(target: gcm >= min(0.8 openssl, 0.6 plain) -> %.2f of target); zstd1 %.0f MB/s; "
        "journal %.0f msgs/s (%.2f of the 200,000 target); extra3/extra0 %.2f\n",
        ratio(rate("engine"), rate("plain")), ratio(rate("gcm"), rate("openssl_gcm")),
        ratio(rate("gcm"), rate("plain")), ratio(rate("gcm"), gcmTarget), rate("zstd1") / mb,
        rate("journal"), rate("journal") / 200000.0, ratio(rate("extra3"), rate("engine")));
    return 0;
}
