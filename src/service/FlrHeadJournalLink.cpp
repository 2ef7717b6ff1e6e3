// The head journal service's link: connecting with back-off, the resend of
// what the tail lacks after a connect, and the ping that confirms delivery.
#include <algorithm>
#include <chrono>

#include "FLR/FlrNetHead.h"
#include "FLR/platform/EvDebug.h"
#include "FLR/platform/JxException.h"
#include "FlrHeadJournalImpl.h"

namespace {
const char* const kFn = "FlrHeadJournal";
}  // namespace

void FlrHeadJournal::Impl::linkBroken(const JxException& e) {
    EvDebug::Error(kFn, "Link to the tail broken: %s", e.what());
    connected = false;
    if (head) head->abort(e.what());
    backoffMs = backoffMs == 0 ? o.reconnectMinMs : std::min(backoffMs * 2, o.reconnectMaxMs);
    nextConnect = Clock::now() + std::chrono::milliseconds(backoffMs);
    count([](FlrHeadJournalCounters& k) { k.connected = false; });
}

void FlrHeadJournal::Impl::tryConnect() {
    if (connected || Clock::now() < nextConnect) return;
    try {
        head.reset();  // a fresh engine: the old one may hold a dead link's state
        head = std::make_unique<FlrNetHead>();
        o.connect(*head);
        head->setMirPairID(o.pairId);
        unsigned long long tailLast = 0;
        head->getLastSeqNum(o.pairId, &tailLast, nullptr);
        connected = true;
        tailHas = tailLast;
        EvDebug::Debug(kFn, "Connected to the tail; it has pair %d up to %llu", o.pairId, tailLast);
        // The resend marks itself unconfirmed: a ping must confirm it even
        // when no new record follows (or find the new link dead).
        unconfirmed = false;
        resendAfter(tailLast);
        if (!connected) return;  // broke during the resend
        backoffMs = 0;
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
    int n = 0, len = 0;
    uint64_t seq = 0, at = after;
    while (connected && at < upTo && nextEntry(at, len, seq) && seq <= upTo) {
        FlrJrnCommand raw;
        std::string why;
        if (decodeRawCmd(entry, static_cast<size_t>(len), &raw, &why) != 0)
            JX_THROW(kFn, "Cache entry " + std::to_string(seq) + " is damaged: " + why);
        if (convertInto(raw) == Outcome::Sent) ++n;
        sendStagedIfFull();
        at = seq;
    }
    sendStaged(false);
    return n;
}

// A ping answered means the tail has everything sent before it.
bool FlrHeadJournal::Impl::confirm() {
    if (!connected) return false;
    try {
        head->ping();
    } catch (const JxException& e) {
        linkBroken(e);
        return false;
    }
    unconfirmed = false;
    count([&](FlrHeadJournalCounters& k) { k.lastConfirmed = processed; });
    return true;
}
