// The reference tail's answers to bookkeeping requests.
#include "FlrTailBookkeeper.h"

#include "FLR/FlrNetJournal.h"
#include "FLR/JxException.h"
#include "net/FlrNetHead.h"
#include "net/FlrNetTail.h"

void FlrTailBookkeeper::serve(FlrTailSession& session, Counts* out) {
    Counts mine;
    int pair = 0;
    FlrNetMessage m;
    // Sums reach the totals also when the session ends with an error.
    struct AddOnExit {
        FlrTailBookkeeper& self;
        Counts& mine;
        Counts* out;
        ~AddOnExit() {
            std::lock_guard<std::mutex> lock(self.mtx_);
            self.totals_.messages += mine.messages;
            self.totals_.entries += mine.entries;
            self.totals_.bytes += mine.bytes;
            if (out) *out = mine;
        }
    } addOnExit{*this, mine, out};
    while (!session.stopping()) {
        const int rc = session.net.recvMessage(&m, 1);
        if (rc == -2) continue;
        if (rc == -1) return;
        ++mine.messages;
        answer(session.net, m, pair, mine);
    }
}

void FlrTailBookkeeper::answer(FlrNetTail& tail, const FlrNetMessage& m, int& pair,
                               Counts& counts) {
    switch (m.type) {
        case FLR_NET_PING:
            if (m.ping.value == 0) tail.pong(counts.unapplied);
            // It never removes, strips or withholds anything.
            if (m.ping.value >= FlrNetHead::kPingRemoved &&
                m.ping.value <= FlrNetHead::kPingWithheld)
                tail.pongCount(0);
            break;
        case FLR_NET_MIR_SET_PAIR_ID:
            pair = m.setPairId.pairId;
            break;
        case FLR_NET_JOURNAL:
            counts.bytes += m.journal.len;
            countEntries(m.journal, pair, counts);
            break;
        case FLR_NET_MIR_HEADER:
        case FLR_NET_MIR_SPEC_FILE:
            ++counts.unapplied;
            break;
        case FLR_NET_MIR_DATA:
        case FLR_NET_MIR_ACL:
            counts.bytes += m.data.len;
            break;
        // It holds no copies: every checksum question gets the answer for
        // a file it does not have, so a head sends the file whole (and its
        // pings count it unapplied) instead of waiting for an answer.
        case FLR_NET_START_MD5_STREAM:
            tail.sendMD5EOF(0);
            break;
        case FLR_NET_GET_RSYNC_CSUMS_REQ:
            tail.sendRSyncCheckSums(nullptr, nullptr, 0, 0);
            break;
        case FLR_NET_GET_FILE_CHECKSUMS_REQ:
            tail.sendFileCheckSums(nullptr, 0);
            break;
        case FLR_NET_GET_LAST_SEQNUM_REQ: {
            const unsigned long long seq = state(m.getLastSeqNumReq.pairId).lastSeq;
            tail.sendLastSeqNum(seq, seq);
            break;
        }
        case FLR_NET_GET_LAST_TIME_REQ:
            tail.sendLastTimestamp(state(m.getLastTimeReq.pairId).lastTime);
            break;
        case FLR_NET_SET_LAST_TIME_REQ:
            update(m.setLastTime.pairId,
                   [&](PairState& s) { s.lastTime = m.setLastTime.timestamp; });
            break;
        case FLR_NET_GET_LAST_WRINDEX_REQ:
            tail.sendLastWrIndex(state(m.getLastWrIndexReq.pairId).wrIndex);
            break;
        case FLR_NET_SET_LAST_WRINDEX_REQ:
            update(m.setLastWrIndex.pairId,
                   [&](PairState& s) { s.wrIndex = m.setLastWrIndex.wrIndex; });
            break;
        case FLR_NET_DEL_PAIR_REQ: {
            {
                std::lock_guard<std::mutex> lock(mtx_);
                pairs_.erase(m.delPairReq.pairId);
            }
            tail.sendDelPairResp();
            break;
        }
        default:
            break;
    }
}

// Walks the network journal records of one message; a damaged record ends
// the walk (its bytes are still counted).
void FlrTailBookkeeper::countEntries(const FlrNetRawBody& body, int pair, Counts& counts) {
    const auto* p = static_cast<const unsigned char*>(body.data);
    size_t left = static_cast<size_t>(body.len);
    unsigned long long lastSeq = 0;
    long long n = 0;
    while (left >= FLR_JRN_NET_HDR_SIZE) {
        FlrJrnHeaderNet hdr{};
        try {
            decodeNetHdr(p, left, &hdr);
        } catch (const JxException&) {
            break;
        }
        if (hdr.rec_len > left || hdr.rec_len == 0) break;
        lastSeq = hdr.seq_num;
        ++n;
        p += hdr.rec_len;
        left -= hdr.rec_len;
    }
    counts.entries += n;
    if (n > 0) update(pair, [&](PairState& s) { s.lastSeq = lastSeq; });
}

FlrTailBookkeeper::PairState FlrTailBookkeeper::state(int pair) const {
    std::lock_guard<std::mutex> lock(mtx_);
    auto it = pairs_.find(pair);
    return it == pairs_.end() ? PairState{} : it->second;
}

FlrTailBookkeeper::Counts FlrTailBookkeeper::totals() const {
    std::lock_guard<std::mutex> lock(mtx_);
    return totals_;
}

unsigned long long FlrTailBookkeeper::lastSeqNum(int pair) const {
    return state(pair).lastSeq;
}
