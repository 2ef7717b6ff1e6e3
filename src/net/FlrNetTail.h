#pragma once
// The tail's side of the link: the tail service reads requests with
// recvMessage and answers with these operations, each of which enqueues one
// message (sendLBFSBlockReq one per chunk).
//
// A listening tail hands every accepted socket to SdtNetLink::acceptJoin
// first: extra sockets of a head's session (nExtraSockets) are taken there,
// and only a socket that opens a new session comes to setSocket.
#include <cstdint>
#include <list>
#include <vector>

#include "FlrNetBase.h"
#include "digest/JxLBFS.h"

class FlrNetTail : public FlrNetBase {
  public:
    // Blocks per LBFS_BLOCK_REQ message.
    static constexpr int kLBFSBlockReqChunk = 262144;

    FlrNetTail() = default;
    ~FlrNetTail() override = default;

    // Attaches fd in server mode and sets the socket receive buffer size
    // (its result ignored: the default size works too); fd -1 only detaches.
    // It hides FlrNetBase::setSocket(fd, server): the second argument is a
    // size in bytes, not a mode.
    void setSocket(int fd, int recvBufSize);

    // unapplied: entries of this connection not applied so far, told to heads
    // from link version 5 on (older ones take only 1 for an answer).
    void pong(long long unapplied = 0);
    static constexpr uint32_t kUnappliedInPongVersion = 5;
    // The answer to a PING asking for a count (FlrNetHead::kPingRemoved and
    // after, which only heads of the version that brought each ask): 1 +
    // that count for this connection.
    void pongCount(long long count);
    static constexpr uint32_t kRemovedInPongVersion = 6;
    static constexpr uint32_t kPrivilegedInPongVersion = 7;
    // Tails from this version on apply MIR_HEADER method 4 (a hard link).
    static constexpr uint32_t kHardLinkVersion = 10;
    // ... and accept seeks over holes in an MD5 or RSync delta of a file
    // they answered they hold nothing of.
    static constexpr uint32_t kSparseDeltaVersion = 10;
    // ... and journal records setting or removing an attribute of a
    // symbolic link (as root), applied to the link itself.
    static constexpr uint32_t kLinkXattrVersion = 11;
    void sendDelPairResp();
    void sendLastSeqNum(unsigned long long first, unsigned long long second);
    void sendLastTimestamp(int timestamp);
    void sendFileCheckSums(const unsigned char (*md5)[16], int n);
    void sendMD5(int value, int n, const unsigned char (*weak)[4], const unsigned char (*md5)[16]);
    void sendMD5EOF(int value);
    void sendRSyncCheckSums(const unsigned char (*weak)[4], const unsigned char (*md5)[16], int n,
                            unsigned long long value);
    void sendLastWrIndex(unsigned long long index);
    // One LBFS_BLOCK_REQ per kLBFSBlockReqChunk blocks, the last one marked;
    // an empty list sends nothing.
    void sendLBFSBlockReq(const char* str1, const char* str2, unsigned long long value,
                          const std::list<JxLBFS::Block>& blocks);
    void sendLBFSStop();

  private:
    std::vector<uint64_t> reqOffsets_;
    std::vector<uint32_t> reqLengths_;
};
