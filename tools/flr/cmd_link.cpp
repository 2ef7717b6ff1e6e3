// flr link: link tools (a throughput probe of a tail, a new secret file).
//
// The link secret comes from the registry ([ZRP] sLinkSecret or
// sLinkSecretFile), never from the command line.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "Commands.h"
#include "FLR/FlrEndpoint.h"
#include "FLR/FlrNetJournal.h"
#include "FLR/JxException.h"
#include "Json.h"
#include "net/FlrNetHead.h"

namespace {

using Clock = std::chrono::steady_clock;

// --- flr link bench ------------------------------------------------------------------

struct BenchOptions {
    std::string target;
    std::string type = "data";
    int size = 262144;
    double seconds = 5.0;
    int compress = 0;
    bool encrypt = false;
    int streams = 1;
    bool json = false;
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
    flrConnectHead(head, endpointArgument(o.target));
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
    if (o.json) {
        Json j;
        j.beginObject().field("type", journal ? "FLR_NET_JOURNAL" : "FLR_NET_MIR_DATA");
        j.field("messages", sent).field("size", len).field("seconds", secs, 3);
        j.field("streams", o.streams).field("compress", o.compress).field("encrypt", o.encrypt);
        j.field("mb_per_second", mb / secs, 1).field("messages_per_second", sent / secs, 0);
        j.endObject().printLine();
        return;
    }
    std::printf(
        "sent %lld %s messages of %d bytes in %.2f s over %d socket%s%s%s: %.1f MB/s, "
        "%.0f messages/s\n",
        sent, journal ? "FLR_NET_JOURNAL" : "FLR_NET_MIR_DATA", len, secs, o.streams,
        o.streams == 1 ? "" : "s", o.compress ? " (zstd)" : "", o.encrypt ? " (AES-256-GCM)" : "",
        mb / secs, static_cast<double>(sent) / secs);
}

// The secret itself is never printed: it goes to the file only.
void runKeygen(const std::string& path) {
    const SdtError e = SdtNetLink::writeNewSecretFile(path);
    if (!e.ok()) JX_THROW("flr link keygen", e.text());
    std::printf("wrote a new link secret to %s\n", path.c_str());
}

}  // namespace

void addLinkCommands(CLI::App& app) {
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
    b->add_flag("--json", bench.json, "The throughput as one JSON object");
    b->callback([] { runBench(bench); });

    static std::string keyFile;
    auto* keygen = link->add_subcommand(
        "keygen", "Write a new random link secret to a new file (mode 0600) for sLinkSecretFile");
    keygen->add_option("FILE", keyFile, "The file to create (an existing one is never replaced)")
        ->required();
    keygen->callback([] { runKeygen(keyFile); });
}
