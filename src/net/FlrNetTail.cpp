// The tail's replies.
#include "FlrNetTail.h"

#include <algorithm>
#include <limits>

#include "FlrNetHead.h"

namespace {

// The encoder only reads the arrays; the message type holds them writable
// because decoded arrays are converted in place.
template <size_t N>
unsigned char (*writable(const unsigned char (*p)[N]))[N] {
    return const_cast<unsigned char(*)[N]>(p);
}

}  // namespace

void FlrNetTail::setSocket(int fd, int recvBufSize) {
    FlrNetBase::setSocket(fd, true);
    if (fd != -1) getLink().setRecvBufSize(recvBufSize);
}

void FlrNetTail::pong(long long unapplied) {
    FlrNetMessage m(FLR_NET_PING);
    constexpr long long kMost = std::numeric_limits<decltype(m.ping.value)>::max() - 1;
    m.ping.value = 1;
    if (getPeerVersion() >= kUnappliedInPongVersion)
        m.ping.value += static_cast<decltype(m.ping.value)>(std::clamp(unapplied, 0LL, kMost));
    sendMessage(m, netTimeout_, false);
}

void FlrNetTail::pongCount(long long count) {
    FlrNetMessage m(FLR_NET_PING);
    constexpr long long kMost = std::numeric_limits<decltype(m.ping.value)>::max() - 1;
    m.ping.value = 1 + static_cast<decltype(m.ping.value)>(std::clamp(count, 0LL, kMost));
    sendMessage(m, netTimeout_, false);
}

void FlrNetTail::sendDelPairResp() {
    FlrNagleOff nagleOff(*this);
    FlrNetMessage m(FLR_NET_DEL_PAIR_RESP);
    m.delPairResp.value = 0;
    sendMessage(m, netTimeout_, true);
}

void FlrNetTail::sendLastSeqNum(unsigned long long first, unsigned long long second) {
    FlrNagleOff nagleOff(*this);
    FlrNetMessage m(FLR_NET_GET_LAST_SEQNUM_RESP);
    m.lastSeqNum = {first, second};
    sendMessage(m, netTimeout_, true);
}

void FlrNetTail::sendLastTimestamp(int timestamp) {
    FlrNagleOff nagleOff(*this);
    FlrNetMessage m(FLR_NET_GET_LAST_TIME_RESP);
    m.lastTime.timestamp = timestamp;
    sendMessage(m, netTimeout_, true);
}

void FlrNetTail::sendFileCheckSums(const unsigned char (*md5)[16], int n) {
    FlrNagleOff nagleOff(*this);
    FlrNetMessage m(FLR_NET_GET_FILE_CHECKSUMS_RESP);
    m.fileCheckSums = {n, writable(md5)};
    sendMessage(m, -1, true);
}

void FlrNetTail::sendMD5(int value, int n, const unsigned char (*weak)[4],
                         const unsigned char (*md5)[16]) {
    FlrNetMessage m(FLR_NET_RECV_MD5);
    m.recvMD5 = {value, n, writable(weak), writable(md5)};
    sendMessage(m, -1, true);
}

void FlrNetTail::sendMD5EOF(int value) {
    FlrNagleOff nagleOff(*this);
    FlrNetMessage m(FLR_NET_RECV_MD5_EOF);
    m.recvMD5EOF.value = value;
    sendMessage(m, -1, true);
}

void FlrNetTail::sendRSyncCheckSums(const unsigned char (*weak)[4], const unsigned char (*md5)[16],
                                    int n, unsigned long long value) {
    FlrNagleOff nagleOff(*this);
    FlrNetMessage m(FLR_NET_GET_RSYNC_CSUMS_RESP);
    m.rsyncCsums = {value, n, writable(weak), writable(md5)};
    sendMessage(m, -1, true);
}

void FlrNetTail::sendLastWrIndex(unsigned long long index) {
    FlrNagleOff nagleOff(*this);
    FlrNetMessage m(FLR_NET_GET_LAST_WRINDEX_RESP);
    m.lastWrIndex.wrIndex = index;
    sendMessage(m, netTimeout_, true);
}

void FlrNetTail::sendLBFSBlockReq(const char* str1, const char* str2, unsigned long long value,
                                  const std::list<JxLBFS::Block>& blocks) {
    if (blocks.empty()) return;
    const size_t chunk = std::min<size_t>(blocks.size(), kLBFSBlockReqChunk);
    reqOffsets_.resize(chunk);
    reqLengths_.resize(chunk);
    size_t left = blocks.size();
    auto it = blocks.begin();
    while (left > 0) {
        const size_t n = std::min<size_t>(left, kLBFSBlockReqChunk);
        for (size_t i = 0; i < n; ++i, ++it) {
            reqOffsets_[i] = it->offset;
            reqLengths_[i] = it->length;
        }
        left -= n;
        FlrNetMessage m(FLR_NET_LBFS_BLOCK_REQ);
        m.lbfsBlockReq.value = value;
        m.lbfsBlockReq.last = left == 0 ? 1 : 0;
        m.lbfsBlockReq.count = static_cast<int>(n);
        m.lbfsBlockReq.offsets = reqOffsets_.data();
        m.lbfsBlockReq.lengths = reqLengths_.data();
        m.lbfsBlockReq.str1 = str1;
        m.lbfsBlockReq.str2 = str2;
        sendMessage(m, netTimeout_, false);
    }
}

void FlrNetTail::sendLBFSStop() {
    FlrNetMessage m(FLR_NET_LBFS_STOP);
    m.lbfsStop.filler = 0;
    sendMessage(m, netTimeout_, false);
}
