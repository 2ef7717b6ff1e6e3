// Recovery-point registration and pair alerts of FlrHelper.
#include <map>
#include <vector>

#include "FLR/FlrSnapMgr.h"
#include "FLR/JxException.h"
#include "FLR/JxNamedMutex.h"
#include "FlrHelper.h"
#include "FlrPair.h"
#include "mgmt/EvAlertEx.h"
#include "mgmt/MgmtConfig.h"
#include "mgmt/ReplicaDBClient.h"
#include "mgmt/qzhsm/QZHSMCommon/QZHSMMntTab.h"
#include "platform/EvDebug.h"

namespace {

const char* const kHelperCPFn = "FlrHelper::sendCPListToBN";

// The engine code the server files a snapshot under.
int engineCode(FLR_SNAP_ENG engine) {
    if (engine == FLR_SNAP_ENG_LINUX_QZBF) return 1;
    if (static_cast<int>(engine) == 1) return 4;
    return 3;
}

const QZHSMMntTab::Entry* mountOfDevice(const std::list<QZHSMMntTab::Entry>& table,
                                        const FlrSnapOS::RDEV& dev) {
    for (const auto& e : table)
        if (FlrSnapOS::RDEV(e.device) == dev) return &e;
    return nullptr;
}

// A volume named by its mount point (btrfs) is found by that point; the
// later of two mounts on one point is the one in use.
const QZHSMMntTab::Entry* mountOfVolume(const std::list<QZHSMMntTab::Entry>& table,
                                        const FlrSnapOS::LV& lv) {
    if (const auto* e = mountOfDevice(table, lv.rdev)) return e;
    const QZHSMMntTab::Entry* found = nullptr;
    for (const auto& e : table)
        if (e.mountPoint == lv.rdev.path) found = &e;
    return found;
}

// Where the snapshot can be read now: its mount, or for a snapshot visible
// without mounting that is a folder (btrfs), its own path.
std::string snapMountPoint(const std::list<QZHSMMntTab::Entry>& table,
                           const FlrSnapOS::Snap& snap) {
    if (const auto* e = mountOfDevice(table, snap.rdev)) return e->mountPoint;
    if (!snap.isUnMountable() && snap.rdev.type == FlrSnapOS::RDEV::kLocal && snap.rdev.rdev == 0)
        return snap.rdev.path;
    return std::string();
}

bool folderOnVolume(const std::string& folder, const std::string& mountPoint) {
    if (mountPoint == "/") return true;
    if (folder.compare(0, mountPoint.size(), mountPoint) != 0) return false;
    return folder.size() == mountPoint.size() || folder[mountPoint.size()] == '/';
}

// The pairs of the set whose destination folder lies on the mount point;
// false (after an error line) when the set cannot be looked up.
bool pairsOnVolume(int setId, const std::string& mountPoint, int* destClient,
                   std::vector<long>* pairs) {
    if (FileReplicationBackupSet(setId).getDestinationHostId(destClient, nullptr) != 0) {
        EvDebug::Error(kHelperCPFn, "Failed to get destination client ID for set %d", setId);
        return false;
    }
    std::vector<long> ids;
    std::vector<std::string> names;
    std::vector<int> flags;
    if (ClientApplicationList().getSubclientList(ids, names, flags, JX_APPTYPE_FILE_REPLICATION,
                                                 setId, 0, JX_SUBCLIENTS_PAIRS) != 0) {
        EvDebug::Error(kHelperCPFn, "Failed to get list of pairs for set %d", setId);
        return false;
    }
    for (long pair : ids) {
        std::string folder;
        if (FileReplicationSubClient(pair).getdestPath(&folder, nullptr) != 0) {
            EvDebug::Error(kHelperCPFn, "Failed to get destination folder for pair (%d, %ld)",
                           setId, pair);
            return false;
        }
        if (folderOnVolume(folder, mountPoint)) pairs->push_back(pair);
    }
    return true;
}

void removeUnusedSnap(const std::string& device) {
    EvDebug::Debug(kHelperCPFn,
                   "Couldn't find any pairs associated with this snap. Kill the snap and "
                   "continue.");
    try {
        FlrSnapMgr(0).unSnap(device.c_str(), false);
    } catch (const JxException& e) {
        EvDebug::Error(kHelperCPFn, "%s", e.getMessage().c_str());
    }
}

class RequestBuilder {
  public:
    explicit RequestBuilder(const std::list<QZHSMMntTab::Entry>& table) : table_(table) {}

    void addJob(unsigned long long job, const std::vector<FlrSnapMgr::Snap>& snaps) {
        EvDebug::Debug(kHelperCPFn, "Found [C]RP for job %lld:", static_cast<long long>(job));
        int cp = 0;  // none yet for this job
        for (const auto& s : snaps) addSnap(s, cp);
    }

    CreateCPArgsById_t request;

  private:
    void addSnap(const FlrSnapMgr::Snap& s, int& cp) {
        const std::string snapMount = snapMountPoint(table_, *s.snap);
        EvDebug::Debug(kHelperCPFn, "   Snap [%s], mounted under [%s]", s.snap->rdev.path.c_str(),
                       snapMount.empty() ? "NOWHERE" : snapMount.c_str());
        const auto* volume = mountOfVolume(table_, *s.lv);
        if (!volume) return;  // nothing to tie it to while its volume is away
        EvDebug::Debug(kHelperCPFn, "   this is a snap of [%s] mounted under [%s]",
                       s.lv->rdev.path.c_str(), volume->mountPoint.c_str());
        int destClient = 0;
        std::vector<long> pairs;
        if (!pairsOnVolume(s.setId, volume->mountPoint, &destClient, &pairs)) return;
        if (pairs.empty()) {
            removeUnusedSnap(s.snap->rdev.path);
            return;
        }
        if (cp == 0) {
            FLRConsistencyPointRecord_t r;
            r.cpOrdinal = cp = static_cast<int>(request.consistencyPoints.size()) + 1;
            r.time = s.time;
            r.setId = s.setId;
            r.jobId = s.jobId;
            r.destClientId = destClient;
            r.flag = s.type == SNAP_TYPE_RECOVERY;
            request.consistencyPoints.push_back(r);
        }
        FLRSnapshotRecord_t snap;
        snap.cpOrdinal = cp;
        snap.snapOrdinal = static_cast<int>(request.snapshots.size()) + 1;
        snap.name = s.snap->name;
        snap.device = s.snap->rdev.path;
        snap.volume = s.lv->rdev.path;
        snap.volumeMount = volume->mountPoint;
        snap.engineCode = engineCode(s.snap->engine);
        request.snapshots.push_back(snap);
        if (!snapMount.empty()) request.mountPoints.push_back({-1, snap.snapOrdinal, snapMount});
        EvDebug::Debug(kHelperCPFn, "   list of replication pairs for this snap:");
        for (long pair : pairs) {
            EvDebug::Debug(kHelperCPFn, "      %ld", pair);
            request.snapPairs.push_back({-1, snap.snapOrdinal, static_cast<int32_t>(pair)});
        }
    }

    const std::list<QZHSMMntTab::Entry>& table_;
};

std::list<QZHSMMntTab::Entry> mountTable() {
    try {
        QZHSMMntTab table;
        return table.entries();
    } catch (const JxException& e) {
        EvDebug::Error(kHelperCPFn, "%s", e.getMessage().c_str());
        return {};
    }
}

}  // namespace

void FlrHelper::sendCPListToBN() {
    sendCPListToBN(nullptr);
}

void FlrHelper::sendCPListToBN(CreateCPArgsById_t* sent) {
    JxNamedMutex mutex("FLR_SENDCPLISTTOBN");
    JxNamedMutexLock hold(mutex);
    const std::list<QZHSMMntTab::Entry> table = mountTable();

    std::map<unsigned long long, std::vector<FlrSnapMgr::Snap>> byJob;
    for (auto& s : FlrSnapMgr(0).getSnapList(nullptr))
        if (s.type == SNAP_TYPE_RECOVERY || s.type == SNAP_TYPE_RECOVERY2)
            byJob[s.jobId].push_back(s);

    EvDebug::Debug(kHelperCPFn, "Creating list of all active RPs/CRPs and sending it to BN...");
    RequestBuilder builder(table);
    for (const auto& [job, snaps] : byJob) builder.addJob(job, snaps);

    CreateCPRet_t reply;
    const int ok = ReplicaDBClient(4).CreateCP(builder.request, reply);
    if (sent) *sent = builder.request;
    if (ok == 0 || !reply.errorText.empty())
        JX_THROW(kHelperCPFn,
                 "Failed to update CRP list in Beacon DB: " +
                     (reply.errorText.empty() ? std::string("Unknown error") : reply.errorText));
}

void FlrHelper::sendAlert(const FlrPair& pair, const char* message) {
    EvAlertEx alert;
    int srcClient = 0;
    if (JXClient(pair.srcName, JXClient::kShortName).getClientId(srcClient) != 0) srcClient = 0;
    alert.srcClientId = srcClient;
    alert.pairId = pair.pairId;
    alert.setId = pair.setId;
    alert.srcHost = pair.srcHost;
    alert.dstHost = pair.dstHost;
    alert.srcPath = pair.srcPath;
    alert.dstPath = pair.dstPath;
    alert.message = message ? message : "";
    if (alert.sendAlert(25, 48, 0) != 0)
        EvDebug::Error("FlrHelper::sendAlert", "Failed to send alert for pair %d", pair.pairId);
}
