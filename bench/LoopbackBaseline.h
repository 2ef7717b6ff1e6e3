#pragma once
// What the loopback benchmarks of the link and of the network engine share:
// the plain-TCP baseline with the same socket buffer sizes, OpenSSL's own
// AES-256-GCM speed, test data, and the table of measured rates the last line
// is printed from.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace flrbench {

constexpr int kSockBuf = 262144;  // what the head asks for when it connects
constexpr size_t kBig = 256 * 1024;
constexpr size_t kSmall = 200;

using Clock = std::chrono::steady_clock;

// name -> units per second
inline std::map<std::string, double>& rates() {
    static std::map<std::string, double> r;
    return r;
}

inline void setBufs(int fd) {
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
    // -1 waits without limit.
    int accept(int timeoutMs = -1) const {
        struct pollfd p {
            fd, POLLIN, 0
        };
        if (::poll(&p, 1, timeoutMs) <= 0) return -1;
        return ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    }
};

inline std::string randomBytes(size_t n) {
    std::string s(n, '\0');
    std::mt19937_64 rng(1);
    for (size_t i = 0; i + 8 <= n; i += 8) {
        const uint64_t v = rng();
        std::memcpy(&s[i], &v, 8);
    }
    return s;
}

// Roughly 3:1 for zstd level 1: words from a small vocabulary with numbers.
inline std::string semiCompressible(size_t n) {
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

// name -> units per CPU second of the whole process (every thread, user and
// system): on a shared, loaded machine this tells costs apart where the wall
// clock mostly measures the neighbours.
inline std::map<std::string, double>& cpuRates() {
    static std::map<std::string, double> r;
    return r;
}

inline double processCpuSeconds() {
    struct rusage ru {};
    ::getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

inline double& cpuMark() {
    static double mark = 0;
    return mark;
}

// The start of a measured run: wall clock, and the CPU mark record() uses.
inline Clock::time_point startClock() {
    cpuMark() = processCpuSeconds();
    return Clock::now();
}

inline void record(benchmark::State& state, const std::string& name, double units,
                   Clock::time_point t0) {
    const double secs = std::chrono::duration<double>(Clock::now() - t0).count();
    if (secs > 0) rates()[name] = units / secs;
    const double cpu = processCpuSeconds() - cpuMark();
    if (cpu > 0) cpuRates()[name] = units / cpu;
    state.counters["per_sec"] = benchmark::Counter(secs > 0 ? units / secs : 0);
}

// --- plain TCP -----------------------------------------------------------------

// countFrames: record messages per second instead of bytes per second.
inline void plainTcp(benchmark::State& state, size_t msgLen, const std::string& name,
                     bool countFrames) {
    Listener l;
    const int tx = l.connect();
    const int rx = l.accept(5000);
    const std::string msg = randomBytes(msgLen);
    std::thread receiver([&] {
        std::vector<char> buf(msgLen);
        while (::recv(rx, buf.data(), msgLen, MSG_WAITALL) == static_cast<ssize_t>(msgLen)) {
        }
    });
    const auto t0 = startClock();
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
    record(state, name,
           countFrames ? static_cast<double>(sent) : static_cast<double>(sent * msgLen), t0);
    state.SetBytesProcessed(static_cast<int64_t>(sent * msgLen));
    ::close(tx);
    ::close(rx);
}

// OpenSSL's own AES-256-GCM encryption speed on 256 KiB blocks, as
// `openssl speed -evp aes-256-gcm` measures it, in this process.
inline void BM_OpenSslGcm_256K(benchmark::State& state) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    unsigned char key[32] = {1}, iv[12] = {2}, tag[16];
    std::vector<unsigned char> in(kBig, 7), out(kBig);
    EVP_EncryptInit_ex(ctx, EVP_aes_256_gcm(), nullptr, key, nullptr);
    const auto t0 = startClock();
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

inline double rate(const char* name) {
    auto it = rates().find(name);
    return it == rates().end() ? 0.0 : it->second;
}

inline double cpuRate(const char* name) {
    auto it = cpuRates().find(name);
    return it == cpuRates().end() ? 0.0 : it->second;
}

inline double ratio(double a, double b) {
    return b > 0 ? a / b : 0.0;
}

}  // namespace flrbench
