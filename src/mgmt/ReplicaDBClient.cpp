#include "ReplicaDBClient.h"

#include <cerrno>

#include "EvAlertEx.h"
#include "FLR/JxException.h"
#include "JXZrpJobClient.h"

namespace {

template <typename T, typename F>
std::string array(const std::vector<T>& items, F toJson) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + toJson(items[i]);
    return out + "]";
}

std::string cpJson(const FLRConsistencyPointRecord_t& r) {
    return jxFormat(
        "{\"cp\":%d,\"time\":%lld,\"set\":%d,\"job\":%llu,\"destClient\":%d,\"kind\":%d,"
        "\"flag\":%s,\"ref\":%d}",
        r.cpOrdinal, static_cast<long long>(r.time), r.setId,
        static_cast<unsigned long long>(r.jobId), r.destClientId, r.kind, r.flag ? "true" : "false",
        r.reference);
}

std::string snapJson(const FLRSnapshotRecord_t& r) {
    const auto q = JXZrpJobClient::quoteJson;
    return jxFormat("{\"cp\":%d,\"snap\":%d,", r.cpOrdinal, r.snapOrdinal) +
           "\"name\":" + q(r.name) + ",\"device\":" + q(r.device) + ",\"volume\":" + q(r.volume) +
           ",\"volumeMount\":" + q(r.volumeMount) + jxFormat(",\"engine\":%d}", r.engineCode);
}

std::string linkJson(const FLRSnapPairRecord_t& r) {
    return jxFormat("{\"ref\":%d,\"snap\":%d,\"pair\":%d}", r.reference, r.snapOrdinal, r.pairId);
}

std::string mountJson(const FLRSnapMountPointRecord_t& r) {
    return jxFormat("{\"ref\":%d,\"snap\":%d,\"mountPoint\":", r.reference, r.snapOrdinal) +
           JXZrpJobClient::quoteJson(r.mountPoint) + "}";
}

}  // namespace

std::string ReplicaDBClient::toJson(const CreateCPArgsById_t& request) const {
    return jxFormat("{\"kind\":\"createCP\",\"client\":%d,\"time\":\"%s\",", kind_,
                    jxUtcNow().c_str()) +
           "\"consistencyPoints\":" + array(request.consistencyPoints, cpJson) +
           ",\"snapshots\":" + array(request.snapshots, snapJson) +
           ",\"snapPairs\":" + array(request.snapPairs, linkJson) +
           ",\"mountPoints\":" + array(request.mountPoints, mountJson) + "}";
}

int ReplicaDBClient::CreateCP(const CreateCPArgsById_t& request, CreateCPRet_t& reply) {
    reply.errorText.clear();
    if (jxAppendOutboxLine(toJson(request)) != 0) {
        reply.errorText =
            "Cannot write the outbox " + JXZrpJobClient::outboxPath() + ": " + jxErrnoText(errno);
        return 0;
    }
    return 1;
}
