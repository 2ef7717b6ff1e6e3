#pragma once
// The replica database client: the list of recovery points (consistency
// points) of this destination host, sent as one request. The request is
// appended to the outbox (JXZrpJobClient::outboxPath()) as one JSON line with
// one write() on an O_APPEND descriptor, so an operator or a test reads
// exactly what would reach the management server:
//   {"kind":"createCP","client":4,"time":"...","consistencyPoints":[...],
//    "snapshots":[...],"snapPairs":[...],"mountPoints":[...]}
// Records refer to each other by 1-based ordinals counted within the request.
#include <cstdint>
#include <string>
#include <vector>

struct FLRConsistencyPointRecord_t {
    int32_t cpOrdinal = 0;
    int64_t time = 0;  // creation time of the recovery point
    int32_t setId = 0;
    uint64_t jobId = 0;
    int32_t destClientId = 0;
    int32_t kind = 2;
    bool flag = false;  // true for a "jxr_" recovery point
    int32_t reference = -1;
};

struct FLRSnapshotRecord_t {
    int32_t cpOrdinal = 0;
    int32_t snapOrdinal = 0;
    std::string name;         // the engine's name of the snapshot
    std::string device;       // the snapshot's device or path
    std::string volume;       // the snapshotted volume's device
    std::string volumeMount;  // where that volume is mounted
    int32_t engineCode = 3;   // 1 block filter, 4 engine value 1, 3 every other
};

struct FLRSnapPairRecord_t {
    int32_t reference = -1;
    int32_t snapOrdinal = 0;
    int32_t pairId = 0;
};

struct FLRSnapMountPointRecord_t {
    int32_t reference = -1;
    int32_t snapOrdinal = 0;
    std::string mountPoint;
};

struct CreateCPArgsById_t {
    std::vector<FLRConsistencyPointRecord_t> consistencyPoints;
    std::vector<FLRSnapshotRecord_t> snapshots;
    std::vector<FLRSnapPairRecord_t> snapPairs;
    std::vector<FLRSnapMountPointRecord_t> mountPoints;
};

struct CreateCPRet_t {
    std::string errorText;  // empty on success
};

class ReplicaDBClient {
  public:
    explicit ReplicaDBClient(int clientKind) : kind_(clientKind) {}
    // Non-zero with an empty error text when the request was taken; 0 with
    // the reason in reply.errorText otherwise.
    int CreateCP(const CreateCPArgsById_t& request, CreateCPRet_t& reply);

    // The request's JSON object (without the line feed).
    std::string toJson(const CreateCPArgsById_t& request) const;

  private:
    int kind_;
};
