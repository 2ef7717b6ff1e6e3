// The link against plain TCP over loopback, side by side in one run:
//   256 KiB messages: plain TCP sender/receiver vs the link (same socket
//   buffer sizes), the link with AES-256-GCM vs OpenSSL's own AES-256-GCM
//   speed, the link with zstd level 1 on semi-compressible data (MB/s of
//   input), 200-byte frames per second, and 3 extra sockets vs none.
// Every link frame is authenticated: "link" is the default (sealed) link,
// "gcm" asks for encryption explicitly, "maconly" is an integrity-only link.
// The ratios line and a line of per-CPU-second rates (steadier than the wall
// clock on a shared machine) come last.
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

#include "LoopbackBaseline.h"
#include "link/SdtNetLink.h"

namespace {

using namespace flrbench;

constexpr char kSecret[] = "benchmark link secret, thirty-two bytes or more";

// --- the link ------------------------------------------------------------------

struct LinkPair {
    Listener l;
    SdtNetLink head, tail;
    SdtBuffer buf{65536};
    std::thread acceptor;
    explicit LinkPair(int extra, bool integrityOnly = false) {
        head.setSecret(kSecret);
        tail.setSecret(kSecret);
        head.setIntegrityOnly(integrityOnly ? 1 : 0);
        tail.setIntegrityOnly(integrityOnly ? 1 : 0);
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
             int compression, bool gcm, const std::string& name, bool integrityOnly = false) {
    LinkPair p(extra, integrityOnly);
    p.head.setCompression(compression);
    p.head.setEncryption(gcm ? 1 : 0);
    std::atomic<long long> received{0};
    std::thread receiver([&] {
        SdtLinkPacket pkt;
        while (p.tail.recvMsgPacket(&pkt, -1).ok()) ++received;
    });
    const auto t0 = startClock();
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
    plainTcp(s, kBig, "plain", false);
}
void BM_Link_256K(benchmark::State& s) {
    linkRun(s, kBig, noise(), 0, 0, false, "link");
}
void BM_Link_256K_GCM(benchmark::State& s) {
    linkRun(s, kBig, noise(), 0, 0, true, "gcm");
}
void BM_Link_256K_MacOnly(benchmark::State& s) {
    linkRun(s, kBig, noise(), 0, 0, false, "maconly", true);
}
void BM_Link_256K_Zstd1(benchmark::State& s) {
    linkRun(s, kBig, text(), 0, 1, false, "zstd1");
}
void BM_Link_256K_Extra3(benchmark::State& s) {
    linkRun(s, kBig, noise(), 3, 0, false, "extra3");
}
void BM_PlainTcp_200B(benchmark::State& s) {
    plainTcp(s, kSmall, "plain_small", false);
}
void BM_Link_200B(benchmark::State& s) {
    linkRun(s, kSmall, noise(), 0, 0, false, "small");
}

BENCHMARK(BM_PlainTcp_256K)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Link_256K)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_OpenSslGcm_256K)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_Link_256K_GCM)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Link_256K_MacOnly)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Link_256K_Zstd1)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Link_256K_Extra3)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PlainTcp_200B)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_Link_200B)->UseRealTime()->MinTime(1.0);

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
    std::printf(
        "integrity-only link %.0f MB/s (%.2f of plain); per CPU second (all threads): plain "
        "%.0f MB, link %.0f MB, link+gcm %.0f MB, integrity-only %.0f MB; gcm/plain %.2f\n",
        rate("maconly") / mb, ratio(rate("maconly"), rate("plain")), cpuRate("plain") / mb,
        cpuRate("link") / mb, cpuRate("gcm") / mb, cpuRate("maconly") / mb,
        ratio(cpuRate("gcm"), cpuRate("plain")));
    return 0;
}
