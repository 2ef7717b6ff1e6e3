// flr head: a head's requests from the command line (ping, sequence numbers).
//
// The link secret comes from the registry ([ZRP] sLinkSecret or
// sLinkSecretFile), never from the command line.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include "Commands.h"
#include "FLR/FlrEndpoint.h"
#include "FLR/FlrNetJournal.h"
#include "Json.h"
#include "net/FlrNetHead.h"

FlrEndpoint endpointArgument(const std::string& text) {
    try {
        return flrParseEndpoint(text);
    } catch (const std::invalid_argument& e) {
        throw CLI::ValidationError("ADDR:PORT", e.what());
    }
}

namespace {

using Clock = std::chrono::steady_clock;

bool gJson = false;

void runPing(const std::string& target) {
    FlrNetHead head;
    flrConnectHead(head, endpointArgument(target));
    const auto t0 = Clock::now();
    head.ping();
    const double ms = std::chrono::duration<double>(Clock::now() - t0).count() * 1000.0;
    if (gJson)
        Json().beginObject().field("target", target).field("ms", ms, 3).endObject().printLine();
    else
        std::printf("PING %s: reply in %.3f ms\n", target.c_str(), ms);
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
    flrConnectHead(head, endpointArgument(target));
    if (set) {
        head.setMirPairID(pair);
        const std::vector<char> entry = noopEntry(*set);
        head.sendJournalEntry(entry.data(), static_cast<int>(entry.size()));
    }
    unsigned long long seq = 0;
    head.getLastSeqNum(pair, &seq, nullptr);
    if (gJson)
        Json().beginObject().field("pair", pair).field("seq", seq).endObject().printLine();
    else
        std::printf("pair %d: last sequence number %llu\n", pair, seq);
}

}  // namespace

void addHeadCommands(CLI::App& app) {
    auto* head = app.add_subcommand("head", "Talk to a tail as a head");
    head->require_subcommand(1);
    static std::string target;
    auto* ping = head->add_subcommand("ping", "Send a PING and wait for the reply");
    ping->add_option("ADDR:PORT", target, "The tail (PORT may be a registered service name)")
        ->required();
    ping->add_flag("--json", gJson, "The reply time as one JSON object");
    ping->callback([] { runPing(target); });

    auto* seq = head->add_subcommand("seq", "Get (or set, then get) a pair's last sequence number");
    static int pair = 0;
    static unsigned long long setSeq = 0;
    seq->add_option("ADDR:PORT", target, "The tail")->required();
    seq->add_option("--pair", pair, "Pair number")->required();
    seq->add_flag("--json", gJson, "The pair and its sequence number as one JSON object");
    auto* seqOpt = seq->add_option("--seq", setSeq, "Send a journal entry with this number first");
    // --set names a replication set everywhere else; here it was the number.
    auto* oldOpt = seq->add_option("--set", setSeq)->group("")->excludes(seqOpt);
    seq->callback([seqOpt, oldOpt] {
        const bool given = seqOpt->count() || oldOpt->count();
        runSeq(target, pair, given ? &setSeq : nullptr);
    });
}
