#pragma once
// The FLR_NET_* messages head and tail exchange: numeric codes, printable
// names, the in-memory message and the per-file header of a transfer. Each
// message travels as one link frame whose type is the code; the payload
// layouts are in docs/protocol.md ("Messages") and are encoded and decoded by
// FlrNetBase::encodeMessage / FlrNetBase::decodeMessage.
//
// After decoding, every pointer of a message points into the received frame
// (no copies) and stays valid until the next recvMessage on the same engine.
// Arrays are converted to host order in place. They may start at any byte
// offset of the payload (the 64-bit arrays of MIR_RSYNC start 4 bytes in), so
// read their elements through the accessors (or flrNetLoad), never by
// indexing a typed pointer directly. Messages built for sending may point at
// ordinary arrays; the encoder reads them the same careful way.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

enum : int {
    FLR_NET_JOURNAL = 0,
    FLR_NET_MIR_SET_PAIR_ID = 1,
    FLR_NET_MIR_HEADER = 2,
    FLR_NET_MIR_ACL = 3,
    FLR_NET_MIR_DATA = 4,
    FLR_NET_MIR_SEEK = 5,
    FLR_NET_MIR_EOF = 6,
    FLR_NET_ADD_PAIR = 8,
    FLR_NET_DEL_PAIR_REQ = 9,
    FLR_NET_DEL_PAIR_RESP = 10,
    FLR_NET_SET_GEN_ID = 11,
    FLR_NET_SET_RESTORE_PARAMS = 12,
    FLR_NET_GET_LAST_SEQNUM_REQ = 13,
    FLR_NET_GET_LAST_SEQNUM_RESP = 14,
    FLR_NET_GET_LAST_TIME_REQ = 15,
    FLR_NET_GET_LAST_TIME_RESP = 16,
    FLR_NET_SET_LAST_TIME_REQ = 17,
    FLR_NET_GET_FILE_CHECKSUMS_REQ = 18,
    FLR_NET_GET_FILE_CHECKSUMS_RESP = 19,
    FLR_NET_PING = 20,
    FLR_NET_START_MD5_STREAM = 21,
    FLR_NET_RECV_MD5 = 22,
    FLR_NET_RECV_MD5_EOF = 23,
    FLR_NET_GET_RSYNC_CSUMS_REQ = 24,
    FLR_NET_GET_RSYNC_CSUMS_RESP = 25,
    FLR_NET_MIR_RSYNC = 26,
    FLR_NET_GET_LAST_WRINDEX_REQ = 28,
    FLR_NET_GET_LAST_WRINDEX_RESP = 29,
    FLR_NET_SET_LAST_WRINDEX_REQ = 30,
    FLR_NET_MIR_SPEC_FILE = 31,
    FLR_NET_LBFS_START = 32,
    FLR_NET_LBFS_STOP = 33,
    FLR_NET_LBFS_BLOCK_REQ = 34,
    FLR_NET_LBFS_BLOCK = 35,
    FLR_NET_LBFS_DONE = 36,
    FLR_NET_KEEP_ALIVE = 37,
    FLR_NET_VERIFY_REQ = 38,
    FLR_NET_VERIFY_ENTRIES = 39,
    FLR_NET_VERIFY_END = 40,
    // Sent only to tails of version 9 on: see FlrNetMirAttrs.
    FLR_NET_MIR_ATTRS = 48,
    // Sent only to tails of version 12 on: see FlrNetRunId.
    FLR_NET_SET_RUN_ID = 49,
};

// Special-file ids of FLR_NET_MIR_SPEC_FILE: the dirchange file of a
// transfer (its entries in destination paths), which the tail mirrors.
enum : int { FLR_SPEC_FILE_DIRCHANGE = 1 };

// Highest assigned code; 7 and 27 are unassigned.
constexpr int FLR_NET_MAX_TYPE = FLR_NET_VERIFY_END;

// The code of the newest message (codes past FLR_NET_MAX_TYPE are the
// version-gated ones).
constexpr int FLR_NET_LAST_TYPE = FLR_NET_SET_RUN_ID;

// Link version from which a tail takes FLR_NET_MIR_ATTRS.
constexpr uint32_t FLR_NET_MIR_ATTRS_VERSION = 9;
// Link version from which a tail takes FLR_NET_SET_RUN_ID.
constexpr uint32_t FLR_NET_RUN_ID_VERSION = 12;

// "FLR_NET_PING" for a code, "UNKNOWN" for unassigned codes.
const char* flrNetMsgName(int type);

// Element i of an array that may sit at any byte offset.
template <class T>
inline T flrNetLoad(const T* array, size_t i) {
    T v;
    std::memcpy(&v, reinterpret_cast<const unsigned char*>(array) + i * sizeof(T), sizeof(T));
    return v;
}

// The body of MIR_HEADER: what the tail needs to recreate one file.
struct FlrNetMirHeader {
    // Transfer methods (`method`).
    static constexpr uint8_t kFull = 0;
    static constexpr uint8_t kMD5 = 1;
    static constexpr uint8_t kRSync = 2;
    static constexpr uint8_t kLBFS = 3;
    // Another name of a file sent earlier on the same connection: its
    // MIR_DATA is that name's destination path (tails of link version 10 on).
    static constexpr uint8_t kLink = 4;
    // Fixed part of the payload; the path and its NUL follow.
    static constexpr int kFixedSize = 75;

    uint64_t ino;
    uint64_t mode;
    uint64_t uid;
    uint64_t gid;
    uint64_t size;
    uint64_t rdev;
    uint64_t collectOffset;  // the collect-file offset of the entry, or 0
    uint32_t nlink;
    uint32_t atime;
    uint32_t mtime;
    uint32_t ctime;
    uint8_t method;
    uint8_t hasACL;     // an MIR_ACL message follows
    uint8_t overwrite;  // the transfer's overwrite option
    const char* path;
};

// One extended attribute of an FlrNetMirAttrs block.
struct FlrNetXattrItem {
    const char* name;
    const void* value;
    uint32_t len;
};

// The body of MIR_ATTRS, sent between an entry's MIR_HEADER (and MIR_ACL)
// and its body to tails that take it: the times in full (the header's are
// 32-bit seconds) and the entry's extended attributes. The attribute block
// is `count` entries of name, NUL, value length (32) and value; the decoder
// has checked every one (names 1 to 255 bytes, values at most 64 KiB, names
// and values at most 1 MiB in all) before anything reads it.
struct FlrNetMirAttrs {
    static constexpr uint8_t kFormat = 1;
    // flags
    static constexpr uint8_t kTimes = 1;       // the times below replace the header's
    static constexpr uint8_t kXattrs = 2;      // the block is the entry's whole set
    static constexpr uint8_t kPrivileged = 4;  // ... trusted.* and security.* included
    static constexpr int kFixedSize = 32;
    static constexpr uint32_t kNameMax = 255;
    static constexpr uint32_t kValueMax = 64 << 10;
    static constexpr uint32_t kBlockMax = 1 << 20;  // names and values of one entry

    uint8_t flags;
    int64_t atimeSec;
    uint32_t atimeNsec;
    int64_t mtimeSec;
    uint32_t mtimeNsec;
    uint32_t count;
    const unsigned char* block;
    uint32_t blockLen;
};

// Checks the first count items of a received block of avail bytes: the
// bytes they take, or 0 with *why set (names 1 to 255 bytes, values at most
// 64 KiB, at most 1 MiB in all, nothing past avail).
size_t flrNetCheckXattrBlock(const unsigned char* p, size_t avail, uint32_t count,
                             std::string* why);
// Walks a block the decoder (or flrNetAppendXattr) made: *at starts at 0;
// false after the last item.
bool flrNetNextXattr(const FlrNetMirAttrs& a, size_t* at, FlrNetXattrItem* out);
// Appends one item to a block being built for sending (count it too).
void flrNetAppendXattr(std::string* block, const std::string& name, const std::string& value);

// Raw bytes: JOURNAL (network journal records), MIR_ACL, MIR_DATA,
// VERIFY_ENTRIES.
struct FlrNetRawBody {
    const void* data;
    int len;
};

// One 32-bit field: PING, DEL_PAIR_RESP, SET_RESTORE_PARAMS, RECV_MD5_EOF,
// KEEP_ALIVE.
struct FlrNetInt {
    int value;
};

// The requests that name a pair: MIR_SET_PAIR_ID, DEL_PAIR_REQ,
// GET_LAST_SEQNUM_REQ, GET_LAST_TIME_REQ, GET_LAST_WRINDEX_REQ.
struct FlrNetPairId {
    int pairId;
};

// MIR_EOF and LBFS_STOP: written as 0, read as it came.
struct FlrNetFiller {
    int filler;
};

struct FlrNetLastTime {
    int timestamp;
};

struct FlrNetSpecFile {
    int id;  // FLR_SPEC_FILE_*
};

struct FlrNetGenId {
    uint64_t genId;
};

// SET_RUN_ID, the first message on every connection of one replication
// run: the tail keeps the checksum answers of each run apart (a killed run's
// sessions may still be reading what it sent while the next run asks), and
// lets the run start only once the sessions of the run it follows (the
// head's previous run of the same pair, 0 when none is known) have ended.
struct FlrNetRunId {
    uint64_t runId;
    uint64_t follows;
};

struct FlrNetWrIndex {
    uint64_t wrIndex;
};

// LBFS_DONE: the token of the finished request.
struct FlrNetU64 {
    uint64_t value;
};

struct FlrNetSeek {
    long long offset;
};

struct FlrNetAddPair {
    int arg1;
    int arg2;
};

struct FlrNetLastSeqNum {
    uint64_t seqNum1;
    uint64_t seqNum2;
};

struct FlrNetSetLastTime {
    int pairId;
    int timestamp;
};

struct FlrNetSetLastWrIndex {
    int pairId;
    uint64_t wrIndex;
};

// GET_FILE_CHECKSUMS_REQ, START_MD5_STREAM, GET_RSYNC_CSUMS_REQ.
struct FlrNetPathReq {
    int blockSize;
    const char* path;
};

struct FlrNetFileCheckSums {
    int count;
    unsigned char (*md5)[16];
};

struct FlrNetRecvMD5 {
    int value;
    int count;
    unsigned char (*weak)[4];
    unsigned char (*md5)[16];
};

struct FlrNetRSyncCheckSums {
    uint64_t value;
    int count;
    unsigned char (*weak)[4];
    unsigned char (*md5)[16];
};

struct FlrNetMirRSync {
    int count;
    long long* first;
    long long* second;

    long long firstAt(int i) const { return flrNetLoad(first, static_cast<size_t>(i)); }
    long long secondAt(int i) const { return flrNetLoad(second, static_cast<size_t>(i)); }
};

struct FlrNetLBFSStart {
    int last;  // 1 on the final chunk of a file's block list
    int count;
    unsigned char (*hashes)[32];
    uint64_t* offsets;
    uint32_t* lengths;
    const char* path;
    const char* fid;  // 48 hex digits of the file identifier

    uint64_t offsetAt(int i) const { return flrNetLoad(offsets, static_cast<size_t>(i)); }
    uint32_t lengthAt(int i) const { return flrNetLoad(lengths, static_cast<size_t>(i)); }
};

struct FlrNetLBFSBlockReq {
    uint64_t value;
    int last;  // 1 on the final chunk of the request
    int count;
    uint64_t* offsets;
    uint32_t* lengths;
    const char* str1;
    const char* str2;

    uint64_t offsetAt(int i) const { return flrNetLoad(offsets, static_cast<size_t>(i)); }
    uint32_t lengthAt(int i) const { return flrNetLoad(lengths, static_cast<size_t>(i)); }
};

struct FlrNetLBFSBlock {
    uint64_t value;
    uint64_t offset;
    uint32_t length;
    const void* data;
};

// VERIFY_END: how a tree listing ended. status 0: every record was sent
// (entries of them); otherwise text says why the listing stopped.
struct FlrNetVerifyEnd {
    uint64_t entries;
    int status;
    const char* text;
};

// A message: its code and the fields of that code. Which member is live
// follows from `type`, as the comments say: each code has a member of its
// own, the only one the codec reads or writes for it (FlrNetMessage.cpp).
struct FlrNetMessage {
    int32_t type;
    union {
        FlrNetRawBody journal;                // JOURNAL
        FlrNetPairId setPairId;               // MIR_SET_PAIR_ID
        FlrNetMirHeader mirHeader;            // MIR_HEADER
        FlrNetRawBody acl;                    // MIR_ACL
        FlrNetRawBody data;                   // MIR_DATA
        FlrNetSeek seek;                      // MIR_SEEK
        FlrNetFiller eof;                     // MIR_EOF
        FlrNetAddPair addPair;                // ADD_PAIR
        FlrNetPairId delPairReq;              // DEL_PAIR_REQ
        FlrNetInt delPairResp;                // DEL_PAIR_RESP (0)
        FlrNetGenId setGenId;                 // SET_GEN_ID
        FlrNetInt setRestoreParams;           // SET_RESTORE_PARAMS (boolean)
        FlrNetPairId getLastSeqNumReq;        // GET_LAST_SEQNUM_REQ
        FlrNetLastSeqNum lastSeqNum;          // GET_LAST_SEQNUM_RESP
        FlrNetPairId getLastTimeReq;          // GET_LAST_TIME_REQ
        FlrNetLastTime lastTime;              // GET_LAST_TIME_RESP
        FlrNetSetLastTime setLastTime;        // SET_LAST_TIME_REQ
        FlrNetPathReq fileCheckSumsReq;       // GET_FILE_CHECKSUMS_REQ
        FlrNetFileCheckSums fileCheckSums;    // GET_FILE_CHECKSUMS_RESP
        FlrNetInt ping;                       // PING (0 request, 1 reply)
        FlrNetPathReq startMD5Stream;         // START_MD5_STREAM
        FlrNetRecvMD5 recvMD5;                // RECV_MD5
        FlrNetInt recvMD5EOF;                 // RECV_MD5_EOF
        FlrNetPathReq rsyncCsumsReq;          // GET_RSYNC_CSUMS_REQ
        FlrNetRSyncCheckSums rsyncCsums;      // GET_RSYNC_CSUMS_RESP
        FlrNetMirRSync mirRSync;              // MIR_RSYNC
        FlrNetPairId getLastWrIndexReq;       // GET_LAST_WRINDEX_REQ
        FlrNetWrIndex lastWrIndex;            // GET_LAST_WRINDEX_RESP
        FlrNetSetLastWrIndex setLastWrIndex;  // SET_LAST_WRINDEX_REQ
        FlrNetSpecFile mirSpecFile;           // MIR_SPEC_FILE
        FlrNetLBFSStart lbfsStart;            // LBFS_START
        FlrNetFiller lbfsStop;                // LBFS_STOP
        FlrNetLBFSBlockReq lbfsBlockReq;      // LBFS_BLOCK_REQ
        FlrNetLBFSBlock lbfsBlock;            // LBFS_BLOCK
        FlrNetU64 lbfsDone;                   // LBFS_DONE
        FlrNetInt keepAlive;                  // KEEP_ALIVE (0)
        FlrNetMirAttrs mirAttrs;              // MIR_ATTRS
        FlrNetPathReq verifyReq;              // VERIFY_REQ (blockSize: flags, 0)
        FlrNetRawBody verifyEntries;          // VERIFY_ENTRIES (packed tree records)
        FlrNetVerifyEnd verifyEnd;            // VERIFY_END
        FlrNetRunId setRunId;                 // SET_RUN_ID
    };

    FlrNetMessage() : type(-1), mirHeader{} {}
    explicit FlrNetMessage(int t) : type(t), mirHeader{} {}
};

// The message as text for logs and tests: its name and "field=value" for
// each field in wire order (arrays and bytes show their first elements).
std::string flrNetMsgText(const FlrNetMessage& m);
