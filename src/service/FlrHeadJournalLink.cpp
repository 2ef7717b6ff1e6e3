// The head journal service's link: connecting with back-off, the resend of
// what the tail lacks after a connect, and the ping that confirms delivery.
#include <algorithm>
#include <chrono>
#include <utility>

#include "FLR/JxException.h"
#include "FlrHeadJournalImpl.h"
#include "net/FlrNetHead.h"
#include "platform/EvDebug.h"

namespace {
const char* const kJournalLinkFn = "FlrHeadJournal";
}  // namespace

// The first failure of a link (or of the first connect) is an error; the
// attempts that follow while the tail stays away are warnings, each with its
// reason and the delay before the next, which doubles up to the maximum.
void FlrHeadJournal::Impl::linkBroken(const JxException& e) {
    const bool wasConnected = connected;
    connected = false;
    if (head) head->abort(e.what());
    backoffMs = backoffMs == 0 ? o.reconnectMinMs : std::min(backoffMs * 2, o.reconnectMaxMs);
    nextConnect = Clock::now() + std::chrono::milliseconds(backoffMs);
    if (!linkDown || wasConnected) {
        EvDebug::Error(
            kJournalLinkFn, "%s, trying again in %d ms: %s",
            wasConnected || everConnected ? "Link to the tail lost" : "Cannot reach the tail",
            backoffMs, e.what());
        linkDown = true;
        failedAttempts = wasConnected ? 0 : 1;
    } else {
        ++failedAttempts;
        EvDebug::Warning(kJournalLinkFn,
                         "Tail still unreachable after %d failed attempts, trying again in %d "
                         "ms: %s",
                         failedAttempts, backoffMs, e.what());
    }
    count([](FlrHeadJournalCounters& k) { k.connected = false; });
}

void FlrHeadJournal::Impl::tryConnect() {
    if (connected || Clock::now() < nextConnect) return;
    try {
        head.reset();  // a fresh engine: the old one may hold a dead link's state
        for (int k = 0; k < 2; ++k) privBefore[k] += std::exchange(privNow[k], 0);
        unappliedSeen = 0;
        head = std::make_unique<FlrNetHead>();
        o.connect(*head);
        head->setMirPairID(o.pairId);
        unsigned long long tailLast = 0;
        head->getLastSeqNum(o.pairId, &tailLast, nullptr);
        connected = true;
        tailHas = tailLast;
        EvDebug::Debug(kJournalLinkFn, "Connected to the tail; it has pair %d up to %llu", o.pairId,
                       tailLast);
        // The resend marks itself unconfirmed: a ping must confirm it even
        // when no new record follows (or find the new link dead).
        unconfirmed = false;
        resendAfter(tailLast);
        if (!connected) return;  // broke during the resend
        backoffMs = 0;
        if (linkDown && failedAttempts > 0)
            EvDebug::Warning(kJournalLinkFn, "Link to the tail back after %d failed attempts",
                             failedAttempts);
        else if (linkDown)
            EvDebug::Warning(kJournalLinkFn, "Link to the tail back");
        linkDown = false;
        count([&](FlrHeadJournalCounters& k) {
            if (everConnected) ++k.reconnects;
            k.connected = true;
            k.lastConfirmed = tailLast;
        });
        everConnected = true;
    } catch (const JxException& e) {
        linkBroken(e);
    }
}

// Sends what the tail lacks of the records already processed: from the
// history where it reaches, from the cache (converted again) below it and
// above it (a history saved before a crash lacks the newest records).
void FlrHeadJournal::Impl::resendAfter(uint64_t tailLast) {
    uint64_t from = tailLast < o.startSeq ? o.startSeq : tailLast;
    if (from >= processed) return;
    int fromCache = 0;
    uint64_t fromHistory = 0;
    const uint64_t histMin = history.getMinSeqNum(), histMax = history.getMaxSeqNum();
    const bool useHistory = !history.empty() && histMax > from;
    if (!useHistory) {
        fromCache = resendFromCache(from, processed);
    } else {
        if (histMin > from) fromCache = resendFromCache(from, histMin - 1);
        history.forEach([&](unsigned long long seq, const void* data, int len) {
            if (seq <= from || seq > processed || !connected) return;
            stage(seq, data, len);
            sendStagedIfFull();
            ++fromHistory;
        });
        sendStaged(false);
        if (histMax < processed) fromCache += resendFromCache(histMax, processed);
    }
    count([&](FlrHeadJournalCounters& k) {
        k.resentCache += static_cast<uint64_t>(fromCache);
        k.resentHistory += fromHistory;
    });
}

int FlrHeadJournal::Impl::resendFromCache(uint64_t after, uint64_t upTo) {
    int n = 0, len = 0, faults = 0;
    uint64_t seq = 0, at = after;
    std::string firstFault;
    while (connected && at < upTo && nextEntry(at, len, seq) && seq <= upTo) {
        FlrJrnCommand raw;
        std::string why;
        if (decodeRawCmd(entry, static_cast<size_t>(len), &raw, &why) != 0)
            JX_THROW(kJournalLinkFn, "Cache entry " + std::to_string(seq) + " is damaged: " + why);
        try {
            if (convertInto(raw) == Outcome::Sent) ++n;
        } catch (const JxException& e) {
            // Converted again with today's names, an old record may no longer
            // resolve (its folder was renamed over since). Retrying cannot
            // help: the pair is rescanned, which covers what it changed.
            if (faults++ == 0) firstFault = "record " + std::to_string(seq) + ": " + e.what();
        }
        sendStagedIfFull();
        at = seq;
    }
    sendStaged(false);
    if (faults > 0) resendFault(firstFault, faults);
    return n;
}

void FlrHeadJournal::Impl::resendFault(const std::string& first, int faults) {
    EvDebug::Error(kJournalLinkFn, "%d records cannot be sent again (%s); the pair is rescanned",
                   faults, first.c_str());
    count([&](FlrHeadJournalCounters& k) {
        ++k.resyncsAsked;
        k.resyncReason = "name database inconsistent on a resend: " + first;
    });
}

// A record the tail could not apply (a folder not empty on its side, a path
// it refused) leaves the replica different from the source, and no resend
// would fix it: the pair is rescanned from its last consistent point. Called
// after a ping, which the tail answers once everything before it is applied.
void FlrHeadJournal::Impl::checkUnapplied() {
    const long long n = head->unappliedEntries();
    if (n <= unappliedSeen) return;
    std::string why = std::to_string(n - unappliedSeen) +
                      " journal records could not be applied on the destination (see the tail's "
                      "log)";
    unappliedSeen = n;
    EvDebug::Error(kJournalLinkFn, "%s; the pair is rescanned", why.c_str());
    count([&](FlrHeadJournalCounters& k) {
        ++k.resyncsAsked;
        k.resyncReason = std::move(why);
    });
}

// While idle: how far the tail's applied records are on its disk. Its answer
// covers every record processed so far once it reaches the newest one sent
// (the records after that were dropped, not sent).
void FlrHeadJournal::Impl::askDurable() {
    if (o.durableCheckMs <= 0 || !connected || processed <= durable) return;
    if (Clock::now() - durableAsked < std::chrono::milliseconds(o.durableCheckMs)) return;
    durableAsked = Clock::now();
    const uint64_t asked = processed;
    unsigned long long tailLast = 0;
    try {
        head->getLastSeqNum(o.pairId, &tailLast, nullptr);
        head->ping();  // durable is not enough: applied, too?
    } catch (const JxException& e) {
        linkBroken(e);
        return;
    }
    // A failure is counted before the durable point moves past it, so a
    // consistent point is never recorded beyond a record that failed.
    checkUnapplied();
    durable =
        std::max(durable, tailLast >= lastStaged ? asked : std::min<uint64_t>(tailLast, asked));
    count([&](FlrHeadJournalCounters& k) { k.lastDurable = durable; });
}

// A ping answered means the tail has everything sent before it.
bool FlrHeadJournal::Impl::confirm() {
    if (!connected) return false;
    try {
        head->ping();
        head->privilegedEntries(&privNow[0], &privNow[1]);
    } catch (const JxException& e) {
        linkBroken(e);
        return false;
    }
    checkUnapplied();
    unconfirmed = false;
    count([&](FlrHeadJournalCounters& k) {
        k.lastConfirmed = processed;
        k.privStripped = static_cast<uint64_t>(privBefore[0] + privNow[0]);
        k.privWithheld = static_cast<uint64_t>(privBefore[1] + privNow[1]);
    });
    return true;
}
