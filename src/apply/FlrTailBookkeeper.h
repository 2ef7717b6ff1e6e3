#pragma once
// The reference tail's session handler: answers a head's bookkeeping
// requests (PING, last sequence number, last timestamp, last write index,
// pair deletion) and counts what it receives. Nothing is applied, so a
// pair's "last applied" sequence number is that of the last journal entry
// received for it. One instance serves every session of an FlrTailService.
#include <atomic>
#include <map>
#include <mutex>

#include "FLR/FlrTailService.h"
#include "net/FlrNetMessage.h"

class FlrTailBookkeeper {
  public:
    struct Counts {
        long long messages = 0;
        long long entries = 0;  // network journal records
        long long bytes = 0;    // journal, data and ACL payload bytes
        // Transferred entries (MIR_HEADER, special files): a bookkeeper
        // applies none, and its pings say so, or a run would count them done.
        long long unapplied = 0;
    };

    // The handler: serves one session until the peer leaves or the service
    // stops; returns the session's counts through `counts` when given.
    void serve(FlrTailSession& session, Counts* counts = nullptr);
    FlrTailService::Handler handler() {
        return [this](FlrTailSession& s) { serve(s); };
    }

    // Answers one bookkeeping message (the applying handler delegates here);
    // pair is the session's current pair id.
    void answer(FlrNetTail& tail, const FlrNetMessage& m, int& pair, Counts& counts);

    Counts totals() const;
    unsigned long long lastSeqNum(int pair) const;

  private:
    struct PairState {
        unsigned long long lastSeq = 0;
        int lastTime = 0;
        unsigned long long wrIndex = 0;
    };

    void countEntries(const FlrNetRawBody& body, int pair, Counts& counts);
    PairState state(int pair) const;
    template <class Fn>
    void update(int pair, Fn fn) {
        std::lock_guard<std::mutex> lock(mtx_);
        fn(pairs_[pair]);
    }

    mutable std::mutex mtx_;
    std::map<int, PairState> pairs_;
    Counts totals_;
};
