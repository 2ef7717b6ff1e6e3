// The head's operations: connecting, one-way messages, request/response.
#include "FlrNetHead.h"

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "FLR/JxException.h"
#include "FlrNetTail.h"
#include "link/JxFwClient.h"
#include "platform/CQiError.h"
#include "platform/EvDebug.h"

// --- FlrNagleOff -------------------------------------------------------------------

// An in-process channel has no socket and sends every message at once.
FlrNagleOff::FlrNagleOff(FlrNetBase& net)
    : link_(net.getLink()), wasOff_(net.inProcess() || link_.isNagleOff()) {
    if (wasOff_) return;
    const SdtError e = link_.nagleOff();
    if (!e.ok()) JX_THROW("FlrNagleOff::FlrNagleOff", e.text());
}

FlrNagleOff::~FlrNagleOff() {
    if (!wasOff_) link_.nagleOn();
}

// --- connecting ----------------------------------------------------------------------

void FlrNetHead::connect(const char* host, int port, int port2) {
    static const char* const kFn = "FlrNetHead::connect";
    if (!host) JX_THROW(kFn, "Invalid arguments: host==NULL");
    EvDebug::Debug(kFn, "Connecting to %s:%d/%d", host, port, port2);
    CQiError err;
    const int fd = JxFwClient::connect(host, port, port2, kConnectBufSize, kConnectBufSize, nullptr,
                                       nullptr, false, &err);
    if (fd < 0)
        JX_THROW(kFn, std::string("Couldn't connect to ") + host + ":" +
                          jxFormat("%d/%d", port, port2) + ": " + err.GetMessage());
    try {
        setSocket(fd, false);
    } catch (...) {
        // A refused socket stays ours.
        ::close(fd);
        throw;
    }
    host_ = host;
    service_.clear();
    port_ = port;
    port2_ = port2;
    const std::string lost = notKeptBy(getPeerVersion());
    if (!lost.empty() && !quietAboutVersion_)
        EvDebug::Warning(kFn, "The tail at %s:%d speaks link version %u: %s are not kept there",
                         host, port ? port : port2, getPeerVersion(), lost.c_str());
}

std::string FlrNetHead::notKeptBy(uint32_t peer) {
    std::vector<std::string> lost;
    if (peer < FLR_NET_MIR_ATTRS_VERSION) {
        lost.emplace_back("extended attributes");
        lost.emplace_back("nanosecond times");
    }
    if (peer < FlrNetTail::kHardLinkVersion) lost.emplace_back("hard links");
    if (peer < FlrNetTail::kSparseDeltaVersion) lost.emplace_back("holes of files sent as deltas");
    // Older tails have every attribute of a link from a scan, none by record.
    if (peer >= FLR_NET_MIR_ATTRS_VERSION && peer < FlrNetTail::kLinkXattrVersion)
        lost.emplace_back("attributes of symbolic links changed while watching");
    std::string text;
    for (size_t i = 0; i < lost.size(); ++i)
        text += (i == 0 ? "" : i + 1 == lost.size() ? " and " : ", ") + lost[i];
    return text;
}

void FlrNetHead::connect(const char* host, const char* service) {
    static const char* const kFn = "FlrNetHead::connect";
    if (!host || !service) JX_THROW(kFn, "Invalid arguments: host or service is NULL");
    CJxNetwork::PortRecord rec;
    bool fromHostEntry = false;
    const CQiError e =
        CJxNetwork::LookupRegisteredPorts(host, service, false, &rec, nullptr, 120, &fromHostEntry);
    if (e.IsError())
        JX_THROW(kFn, std::string("Couldn't lookup ") + service + "'s port number on " + host +
                          ": " + e.GetMessage());
    int port = 0;
    int port2 = 0;
    if (rec.kind == 1 || rec.kind == 3 || rec.kind == 4) {
        port = rec.port;
        port2 = rec.port2;
    }
    connect(host, port, port2);
    service_ = service;
}

FlrNetHead* FlrNetHead::dup() {
    auto copy = std::make_unique<FlrNetHead>();
    copy->quietAboutVersion_ = true;
    copy->getLink().inheritSecret(getLink());
    copy->setRateLimit(rateLimit());
    if (connector_)
        copy->connectBy(connector_);
    else if (!service_.empty())
        copy->connect(host_.c_str(), service_.c_str());
    else if (port_ != 0)
        copy->connect(host_.c_str(), port_, port2_);
    else
        JX_THROW("FlrNetHead::dup", "Connection hasn't been established yet");
    if (run_.runId != 0) copy->setRunId(run_.runId, run_.follows);
    return copy.release();
}

void FlrNetHead::connectBy(Connector connector) {
    if (!connector) JX_THROW("FlrNetHead::connectBy", "Invalid arguments: no connector");
    connector(*this);
    connector_ = std::move(connector);
    host_.clear();
    service_.clear();
    port_ = port2_ = 0;
}

// --- one-way operations ----------------------------------------------------------------

void FlrNetHead::sendJournalEntry(const void* data, int len) {
    FlrNetMessage m(FLR_NET_JOURNAL);
    m.journal = {data, len};
    sendMessage(m, netTimeout_, false);
}

void FlrNetHead::setMirPairID(int pairId) {
    FlrNetMessage m(FLR_NET_MIR_SET_PAIR_ID);
    m.setPairId.pairId = pairId;
    sendMessage(m, netTimeout_, false);
}

void FlrNetHead::sendMirHeader(const FlrNetMirHeader& header) {
    FlrNetMessage m(FLR_NET_MIR_HEADER);
    m.mirHeader = header;
    sendMessage(m, netTimeout_, false);
}

void FlrNetHead::sendMirACL(const void* data, int len) {
    FlrNetMessage m(FLR_NET_MIR_ACL);
    m.acl = {data, len};
    sendMessage(m, netTimeout_, false);
}

void FlrNetHead::sendMirAttrs(const FlrNetMirAttrs& attrs) {
    FlrNetMessage m(FLR_NET_MIR_ATTRS);
    m.mirAttrs = attrs;
    sendMessage(m, netTimeout_, false);
}

void FlrNetHead::sendMirSeek(long long offset) {
    FlrNetMessage m(FLR_NET_MIR_SEEK);
    m.seek.offset = offset;
    sendMessage(m, netTimeout_, false);
}

void FlrNetHead::sendMirRSync(int n, long long* first, long long* second) {
    FlrNetMessage m(FLR_NET_MIR_RSYNC);
    m.mirRSync = {n, first, second};
    sendMessage(m, netTimeout_, false);
}

void FlrNetHead::addPair(int arg1, int arg2) {
    FlrNetMessage m(FLR_NET_ADD_PAIR);
    m.addPair = {arg1, arg2};
    sendMessage(m, netTimeout_, true);
}

void FlrNetHead::setGenID(unsigned long long genId) {
    FlrNetMessage m(FLR_NET_SET_GEN_ID);
    m.setGenId.genId = genId;
    sendMessage(m, netTimeout_, true);
}

void FlrNetHead::setRunId(uint64_t runId, uint64_t follows) {
    run_ = {runId, follows};
    if (getPeerVersion() < FLR_NET_RUN_ID_VERSION) return;
    FlrNetMessage m(FLR_NET_SET_RUN_ID);
    m.setRunId = run_;
    sendMessage(m, netTimeout_, false);
}

void FlrNetHead::setRestoreParams(bool value) {
    FlrNetMessage m(FLR_NET_SET_RESTORE_PARAMS);
    m.setRestoreParams.value = value ? 1 : 0;
    sendMessage(m, netTimeout_, true);
}

void FlrNetHead::setLastTimestamp(int pairId, int timestamp) {
    FlrNetMessage m(FLR_NET_SET_LAST_TIME_REQ);
    m.setLastTime = {pairId, timestamp};
    sendMessage(m, netTimeout_, true);
}

void FlrNetHead::setLastWrIndex(int pairId, unsigned long long index) {
    FlrNetMessage m(FLR_NET_SET_LAST_WRINDEX_REQ);
    m.setLastWrIndex = {pairId, index};
    sendMessage(m, netTimeout_, false);
}

void FlrNetHead::startMD5Stream(const char* path, int blockSize) {
    FlrNagleOff nagleOff(*this);
    FlrNetMessage m(FLR_NET_START_MD5_STREAM);
    m.startMD5Stream = {blockSize, path};
    sendMessage(m, netTimeout_, false);
}

void FlrNetHead::sendLBFSStart(const char* path, const fsf_fid& fid,
                               const std::list<JxLBFS::HashBlock>& blocks) {
    if (blocks.empty()) return;
    const std::string fidText = fid.toString();
    const size_t chunk = std::min<size_t>(blocks.size(), kLBFSStartChunk);
    lbfsHashes_.resize(chunk * JxLBFS::HashBlock::kHashSize);
    lbfsOffsets_.resize(chunk);
    lbfsLengths_.resize(chunk);
    size_t left = blocks.size();
    auto it = blocks.begin();
    while (left > 0) {
        const size_t n = std::min<size_t>(left, kLBFSStartChunk);
        for (size_t i = 0; i < n; ++i, ++it) {
            std::copy(it->hash, it->hash + JxLBFS::HashBlock::kHashSize,
                      lbfsHashes_.data() + i * JxLBFS::HashBlock::kHashSize);
            lbfsOffsets_[i] = it->block.offset;
            lbfsLengths_[i] = it->block.length;
        }
        left -= n;
        FlrNetMessage m(FLR_NET_LBFS_START);
        m.lbfsStart.last = left == 0 ? 1 : 0;
        m.lbfsStart.count = static_cast<int>(n);
        m.lbfsStart.hashes = reinterpret_cast<unsigned char(*)[32]>(lbfsHashes_.data());
        m.lbfsStart.offsets = lbfsOffsets_.data();
        m.lbfsStart.lengths = lbfsLengths_.data();
        m.lbfsStart.path = path;
        m.lbfsStart.fid = fidText.c_str();
        sendMessage(m, netTimeout_, false);
    }
}

void FlrNetHead::sendLBFSBlock(unsigned long long value, const JxLBFS::Block& block,
                               const void* data) {
    FlrNetMessage m(FLR_NET_LBFS_BLOCK);
    m.lbfsBlock = {value, block.offset, block.length, data};
    sendMessage(m, netTimeout_, false);
}

void FlrNetHead::sendLBFSDone(unsigned long long value) {
    FlrNetMessage m(FLR_NET_LBFS_DONE);
    m.lbfsDone.value = value;
    sendMessage(m, netTimeout_, false);
}

void FlrNetHead::sendLBFSStop() {
    FlrNetMessage m(FLR_NET_LBFS_STOP);
    m.lbfsStop.filler = 0;
    sendMessage(m, netTimeout_, false);
}

// --- request/response ----------------------------------------------------------------

void FlrNetHead::exchange(FlrNetMessage& request, bool flag, int wait, int expected,
                          const char* function, const char* error) {
    FlrNagleOff nagleOff(*this);
    sendMessage(request, netTimeout_, flag);
    // A time-out or a closed link leaves the request in the message, which is
    // not the reply, so those end in the same error as a wrong reply.
    const int rc = recvMessage(&request, wait);
    if (rc != 0 || request.type != expected) failExchange(function, error);
}

// Replies carry no request id: one that comes after its request gave up
// would be taken for the reply to the next request of its type (perhaps for
// another pair). So an exchange that failed ends the connection.
void FlrNetHead::failExchange(const char* function, const char* error) {
    abort(std::string(function) + ": " + error);
    JX_THROW(function, error);
}

void FlrNetHead::ping() {
    static const char* const kFn = "FlrNetHead::ping";
    static const char* const kErr = "Didn't get expected FLR_NET_PING message back.";
    FlrNetMessage m(FLR_NET_PING);
    m.ping.value = 0;
    exchange(m, false, netTimeout_, FLR_NET_PING, kFn, kErr);
    if (m.ping.value < 1) failExchange(kFn, kErr);
    unapplied_ = m.ping.value - 1;
}

long long FlrNetHead::askCount(int what, const char* function) {
    static const char* const kErr = "Didn't get expected FLR_NET_PING message back.";
    FlrNetMessage m(FLR_NET_PING);
    m.ping.value = what;
    exchange(m, false, netTimeout_, FLR_NET_PING, function, kErr);
    if (m.ping.value < 1) failExchange(function, kErr);
    return m.ping.value - 1;
}

// An older tail leaves a PING it does not know unanswered: never ask it.
long long FlrNetHead::removedEntries() {
    if (getPeerVersion() < FlrNetTail::kRemovedInPongVersion) return -1;
    return askCount(kPingRemoved, "FlrNetHead::removedEntries");
}

bool FlrNetHead::privilegedEntries(long long* stripped, long long* withheld) {
    static const char* const kFn = "FlrNetHead::privilegedEntries";
    if (getPeerVersion() < FlrNetTail::kPrivilegedInPongVersion) return false;
    *stripped = askCount(kPingStripped, kFn);
    *withheld = askCount(kPingWithheld, kFn);
    return true;
}

void FlrNetHead::delPair(int pairId) {
    FlrNetMessage m(FLR_NET_DEL_PAIR_REQ);
    m.delPairReq.pairId = pairId;
    exchange(m, true, netTimeout_, FLR_NET_DEL_PAIR_RESP, "FlrNetHead::delPair",
             "Didn't get expected FLR_NET_DEL_PAIR_RESP message back.");
}

void FlrNetHead::getLastSeqNum(int pairId, unsigned long long* first, unsigned long long* second) {
    FlrNetMessage m(FLR_NET_GET_LAST_SEQNUM_REQ);
    m.getLastSeqNumReq.pairId = pairId;
    exchange(m, true, netTimeout_, FLR_NET_GET_LAST_SEQNUM_RESP, "FlrNetHead::getLastSeqNum",
             "Didn't get expected FLR_NET_GET_LAST_SEQNUM_RESP message back.");
    if (first) *first = m.lastSeqNum.seqNum1;
    if (second) *second = m.lastSeqNum.seqNum2;
}

int FlrNetHead::getLastTimestamp(int pairId) {
    FlrNetMessage m(FLR_NET_GET_LAST_TIME_REQ);
    m.getLastTimeReq.pairId = pairId;
    exchange(m, true, netTimeout_, FLR_NET_GET_LAST_TIME_RESP, "FlrNetHead::getLastTimestamp",
             "Didn't get expected FLR_NET_GET_LAST_TIME_RESP message back.");
    return m.lastTime.timestamp;
}

void FlrNetHead::getFileCheckSums(const char* path, int blockSize, unsigned char (**md5)[16],
                                  int* n) {
    FlrNetMessage m(FLR_NET_GET_FILE_CHECKSUMS_REQ);
    m.fileCheckSumsReq = {blockSize, path};
    exchange(m, false, -1, FLR_NET_GET_FILE_CHECKSUMS_RESP, "FlrNetHead::getFileCheckSums",
             "Didn't get expected FLR_NET_GET_FILE_CHECKSUMS_RESP message back.");
    if (md5) *md5 = m.fileCheckSums.md5;
    if (n) *n = m.fileCheckSums.count;
}

void FlrNetHead::getRSyncCheckSums(const char* path, int blockSize, unsigned char (**weak)[4],
                                   unsigned char (**md5)[16], int* n, unsigned long long* value) {
    FlrNetMessage m(FLR_NET_GET_RSYNC_CSUMS_REQ);
    m.rsyncCsumsReq = {blockSize, path};
    exchange(m, false, -1, FLR_NET_GET_RSYNC_CSUMS_RESP, "FlrNetHead::getRSyncCheckSums",
             "Didn't get expected FLR_NET_GET_RSYNC_CSUMS_RESP message back.");
    if (weak) *weak = m.rsyncCsums.weak;
    if (md5) *md5 = m.rsyncCsums.md5;
    if (n) *n = m.rsyncCsums.count;
    if (value) *value = m.rsyncCsums.value;
}

unsigned long long FlrNetHead::getLastWrIndex(int pairId) {
    FlrNetMessage m(FLR_NET_GET_LAST_WRINDEX_REQ);
    m.getLastWrIndexReq.pairId = pairId;
    exchange(m, false, -1, FLR_NET_GET_LAST_WRINDEX_RESP, "FlrNetHead::getLastWrIndex",
             "Didn't get expected FLR_NET_GET_LAST_WRINDEX_RESP message back.");
    return m.lastWrIndex.wrIndex;
}
