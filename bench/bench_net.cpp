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
#include <sys/stat.h>
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

#include "LoopbackBaseline.h"
#include "link/SdtNetLink.h"
#include "net/FlrNetHead.h"
#include "net/FlrNetTail.h"
#include "platform/JXPlatformInfo.h"

namespace {

using namespace flrbench;
static_assert(kSockBuf == FlrNetHead::kConnectBufSize);

// A registry file of its own: the link secret and, when asked, extra sockets.
class BenchRegistry {
  public:
    explicit BenchRegistry(int extraSockets) {
        char tmpl[] = "/tmp/flrbench.XXXXXX";
        dir_ = ::mkdtemp(tmpl) ? tmpl : "/tmp";
        path_ = dir_ + "/registry.ini";
        std::ofstream f(path_);
        f << "[ZRP]\nsLinkSecret = benchmark link secret, thirty-two bytes or more\n";
        if (extraSockets > 0) f << "nExtraSockets = " << extraSockets << "\n";
        f.close();
        ::chmod(path_.c_str(), 0600);  // an inline secret needs a private registry
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
    plainTcp(s, kBig, "plain", false);
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
    plainTcp(s, kSmall, "plain_small", true);
}
void BM_Engine_Journal_200B(benchmark::State& s) {
    engineJournal(s);
}

BENCHMARK(BM_PlainTcp_256K)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Engine_256K)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_OpenSslGcm_256K)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_Engine_256K_GCM)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Engine_256K_Zstd1)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Engine_256K_Extra3)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PlainTcp_200B)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_Engine_Journal_200B)->UseRealTime()->MinTime(2.0);

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
