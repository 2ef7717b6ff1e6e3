// The link against plain TCP over loopback, side by side in one run:
//   256 KiB messages: plain TCP sender/receiver vs the link (same socket
//   buffer sizes), the link with AES-256-GCM vs OpenSSL's own AES-256-GCM
//   speed, the link with zstd level 1 on semi-compressible data (MB/s of
//   input), 200-byte frames per second, and 3 extra sockets vs none.
// The last line printed holds the ratios.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "FLR/platform/SdtNetLink.h"

namespace {

constexpr int kSockBuf = 262144;  // what the head asks for when it connects
constexpr size_t kBig = 256 * 1024;
constexpr size_t kSmall = 200;
constexpr char kSecret[] = "benchmark link secret";

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
    int accept() const { return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC); }
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
    state.counters["per_sec"] = benchmark::Counter(units / secs);
}

// --- plain TCP -----------------------------------------------------------------

void plainTcp(benchmark::State& state, size_t msgLen, const std::string& name) {
    Listener l;
    const int tx = l.connect();
    const int rx = l.accept();
    const std::string msg = randomBytes(msgLen);
    std::atomic<long long> count{0};
    std::atomic<bool> done{false};
    std::thread receiver([&] {
        std::vector<char> buf(msgLen);
        for (;;) {
            const ssize_t n = ::recv(rx, buf.data(), msgLen, MSG_WAITALL);
            if (n != static_cast<ssize_t>(msgLen)) break;
            ++count;
        }
        done = true;
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
    record(state, name, static_cast<double>(sent * msgLen), t0);
    state.SetBytesProcessed(static_cast<int64_t>(sent * msgLen));
    ::close(tx);
    ::close(rx);
}

// --- the link ------------------------------------------------------------------

struct LinkPair {
    Listener l;
    SdtNetLink head, tail;
    SdtBuffer buf{65536};
    std::thread acceptor;
    explicit LinkPair(int extra) {
        head.setSecret(kSecret);
        tail.setSecret(kSecret);
        tail.setRecvBuffer(&buf);
        acceptor = std::thread([this, extra] {
            tail.setSocket(l.accept(), true);
            for (int i = 0; i < extra; ++i) {
                const int s = l.accept();
                SdtError e;
                if (SdtNetLink::acceptJoin(s, &e, 5000) != 1) ::close(s);
            }
        });
        head.setSocket(l.connect(), false);
        if (extra > 0) head.fatten(extra);
        acceptor.join();
        head.setSendBufSize(kSockBuf);
        head.setRecvBufSize(kSockBuf);
    }
};

void linkRun(benchmark::State& state, size_t msgLen, const std::string& data, int extra,
             int compression, bool gcm, const std::string& name) {
    LinkPair p(extra);
    p.head.setCompression(compression);
    p.head.setEncryption(gcm ? 1 : 0);
    std::atomic<long long> received{0};
    std::thread receiver([&] {
        SdtLinkPacket pkt;
        while (p.tail.recvMsgPacket(&pkt, -1).ok()) ++received;
    });
    const auto t0 = Clock::now();
    long long sent = 0;
    for (auto _ : state) {
        // One message buffer, as the plain sender has: both copy from cache.
        if (!p.head.sendMessage(4, data.data(), static_cast<int>(msgLen), -1, false).ok()) {
            state.SkipWithError("send failed");
            break;
        }
        ++sent;
    }
    // A closed head ends the receiver once it has everything.
    p.head.closeSocket();
    receiver.join();
    if (received != sent) state.SkipWithError("messages lost");
    const bool frames = msgLen == kSmall;
    record(state, name, frames ? static_cast<double>(sent) : static_cast<double>(sent * msgLen),
           t0);
    state.SetBytesProcessed(static_cast<int64_t>(sent * msgLen));
    state.SetItemsProcessed(sent);
}

const std::string& noise() {
    static const std::string s = randomBytes(8u << 20);
    return s;
}
const std::string& text() {
    static const std::string s = semiCompressible(8u << 20);
    return s;
}

void BM_PlainTcp_256K(benchmark::State& s) {
    plainTcp(s, kBig, "plain");
}
void BM_Link_256K(benchmark::State& s) {
    linkRun(s, kBig, noise(), 0, 0, false, "link");
}
void BM_Link_256K_GCM(benchmark::State& s) {
    linkRun(s, kBig, noise(), 0, 0, true, "gcm");
}
void BM_Link_256K_Zstd1(benchmark::State& s) {
    linkRun(s, kBig, text(), 0, 1, false, "zstd1");
}
void BM_Link_256K_Extra3(benchmark::State& s) {
    linkRun(s, kBig, noise(), 3, 0, false, "extra3");
}
void BM_PlainTcp_200B(benchmark::State& s) {
    plainTcp(s, kSmall, "plain_small");
}
void BM_Link_200B(benchmark::State& s) {
    linkRun(s, kSmall, noise(), 0, 0, false, "small");
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
BENCHMARK(BM_Link_256K)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_OpenSslGcm_256K)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_Link_256K_GCM)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Link_256K_Zstd1)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Link_256K_Extra3)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PlainTcp_200B)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_Link_200B)->UseRealTime()->MinTime(1.0);

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
        "plain %.0f MB/s, link %.0f MB/s, openssl aes-256-gcm %.0f MB/s, link+gcm %.0f "
        "MB/s (target %.0f), link+zstd1 %.0f MB/s of input, extra3 %.0f MB/s, "
        "200-byte frames %.0f/s (plain TCP writes %.0f/s)\n",
        rate("plain") / mb, rate("link") / mb, rate("openssl_gcm") / mb, rate("gcm") / mb,
        gcmTarget / mb, rate("zstd1") / mb, rate("extra3") / mb, rate("small"),
        rate("plain_small") / kSmall);
    std::printf(
        "ratios: link/plain %.2f (target >= 0.85); gcm/openssl %.2f, gcm/plain %.2f "
        "(target: gcm >= min(0.8 openssl, 0.6 plain) -> %.2f of target); zstd1 %.0f "
        "MB/s; frames %.0f/s; extra3/extra0 %.2f\n",
        ratio(rate("link"), rate("plain")), ratio(rate("gcm"), rate("openssl_gcm")),
        ratio(rate("gcm"), rate("plain")), ratio(rate("gcm"), gcmTarget), rate("zstd1") / mb,
        rate("small"), ratio(rate("extra3"), rate("link")));
    return 0;
}
