#pragma once
// The head's side of the link: connects to a tail and turns each protocol
// operation into FLR_NET_* messages. One-way operations only enqueue (with the
// network time-out); request/response operations enqueue a request and wait
// for the matching reply, one exchange at a time per connection (parallel
// transfers use further connections made with dup()). Replies carry no
// request id, so an exchange that times out or gets a wrong reply ends the
// connection: every later operation on it throws, and the caller reconnects.
//
// Failures are JxException with code -1 from "FlrNetHead::<operation>";
// the engine's own send and receive errors pass through unchanged.
#include <functional>
#include <list>
#include <string>
#include <vector>

#include "FLR/FlrFid.h"
#include "FlrNetBase.h"
#include "digest/JxLBFS.h"

// Scope guard: small packets go out at once (Nagle off) while a
// request/response exchange runs; afterwards the link is as it was (links
// start with Nagle off, so by default this changes nothing).
class FlrNagleOff {
  public:
    // Throws the link's text from "FlrNagleOff::FlrNagleOff".
    explicit FlrNagleOff(FlrNetBase& net);
    ~FlrNagleOff();
    FlrNagleOff(const FlrNagleOff&) = delete;
    FlrNagleOff& operator=(const FlrNagleOff&) = delete;

  private:
    SdtNetLink& link_;
    bool wasOff_;
};

class FlrNetHead : public FlrNetBase {
  public:
    // Hash blocks per LBFS_START message.
    static constexpr int kLBFSStartChunk = 87381;
    // Socket buffer sizes asked for when connecting.
    static constexpr int kConnectBufSize = 262144;

    FlrNetHead() = default;
    ~FlrNetHead() override = default;

    // --- connecting ----------------------------------------------------------
    // Connects to host (port, else port2) and attaches the socket as head.
    void connect(const char* host, int port, int port2);
    // The same with the ports registered for service on host.
    void connect(const char* host, const char* service);
    // A second connection to the same tail, owned by the caller.
    FlrNetHead* dup();
    // Connects this engine some other way than by address (a tail of this
    // process); dup() makes its connections the same way.
    using Connector = std::function<void(FlrNetHead&)>;
    void connectBy(Connector connector);
    // What a tail of this link version cannot keep of what this build sends
    // ("extended attributes, nanosecond times and hard links"); empty for a
    // current tail. connect() logs it once per tail reached (dup() does not
    // repeat it).
    static std::string notKeptBy(uint32_t peerVersion);

    const std::string& getHost() const { return host_; }
    const std::string& getService() const { return service_; }
    int getPort() const { return port_; }
    int getPort2() const { return port2_; }

    // --- one-way operations ----------------------------------------------------
    void sendJournalEntry(const void* data, int len);
    void setMirPairID(int pairId);
    void sendMirHeader(const FlrNetMirHeader& header);
    void sendMirACL(const void* data, int len);
    // Only to tails of FLR_NET_MIR_ATTRS_VERSION on.
    void sendMirAttrs(const FlrNetMirAttrs& attrs);
    void sendMirSeek(long long offset);
    void sendMirRSync(int n, long long* first, long long* second);
    void addPair(int arg1, int arg2);
    void setGenID(unsigned long long genId);
    // Names the replication run this connection belongs to (see
    // FlrNetRunId); dup() names the same run on the connections it makes.
    // Sent only to tails of FLR_NET_RUN_ID_VERSION on: older ones keep no
    // answers apart and are told nothing.
    void setRunId(uint64_t runId, uint64_t follows);
    void setRestoreParams(bool value);
    void setLastTimestamp(int pairId, int timestamp);
    void setLastWrIndex(int pairId, unsigned long long index);
    // The tail answers with RECV_MD5 messages and RECV_MD5_EOF, which the
    // caller reads with recvMessage.
    void startMD5Stream(const char* path, int blockSize);
    // One LBFS_START per kLBFSStartChunk blocks, the last one marked; an
    // empty list sends nothing.
    void sendLBFSStart(const char* path, const fsf_fid& fid,
                       const std::list<JxLBFS::HashBlock>& blocks);
    void sendLBFSBlock(unsigned long long value, const JxLBFS::Block& block, const void* data);
    void sendLBFSDone(unsigned long long value);
    void sendLBFSStop();

    // --- request/response --------------------------------------------------------
    // Returns once the tail has handled everything sent before it. Tails
    // from link version 5 on answer 1 + the entries of this connection they
    // could not apply so far (refused, failed or cut); unappliedEntries()
    // gives that count (always 0 from older tails).
    void ping();
    long long unappliedEntries() const { return unapplied_; }
    // Entries this connection's dirchange files removed on the destination,
    // asked with a PING of value 2; -1 from a tail older than link version 6,
    // which cannot tell.
    long long removedEntries();
    // Entries of this connection the tail's privileged-entry policy applied
    // without setuid/setgid (*stripped) or did not apply (*withheld); false,
    // both left alone, from a tail older than link version 7.
    bool privilegedEntries(long long* stripped, long long* withheld);
    // The PING values that ask for a count rather than confirm delivery.
    static constexpr int kPingRemoved = 2;
    static constexpr int kPingStripped = 3;
    static constexpr int kPingWithheld = 4;
    void delPair(int pairId);
    // Each value is stored only when its pointer is given.
    void getLastSeqNum(int pairId, unsigned long long* first, unsigned long long* second);
    int getLastTimestamp(int pairId);
    // The digests point into the engine's receive slot and stay valid until
    // the next recvMessage (or request) on this connection.
    void getFileCheckSums(const char* path, int blockSize, unsigned char (**md5)[16], int* n);
    void getRSyncCheckSums(const char* path, int blockSize, unsigned char (**weak)[4],
                           unsigned char (**md5)[16], int* n, unsigned long long* value);
    unsigned long long getLastWrIndex(int pairId);

  private:
    // Enqueues request (network time-out, flag) and waits `wait` seconds for
    // a reply of type `expected`, left in `request`; throws `error` otherwise.
    void exchange(FlrNetMessage& request, bool flag, int wait, int expected, const char* function,
                  const char* error);
    // Ends the connection (abort) and throws `error` from `function`.
    [[noreturn]] void failExchange(const char* function, const char* error);
    // A PING asking for a count: the count.
    long long askCount(int what, const char* function);

    std::string host_;
    std::string service_;
    int port_ = 0;
    int port2_ = 0;
    long long unapplied_ = 0;         // as of the last ping's answer
    bool quietAboutVersion_ = false;  // a dup(): the first connection told it
    FlrNetRunId run_{0, 0};           // 0: no run named
    Connector connector_;             // set: connections are made by it

    // Staging arrays of sendLBFSStart, kept to avoid allocating per chunk.
    std::vector<unsigned char> lbfsHashes_;
    std::vector<uint64_t> lbfsOffsets_;
    std::vector<uint32_t> lbfsLengths_;
};
