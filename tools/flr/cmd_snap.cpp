// flr snap: the recovery points of this host's volumes (list, create,
// remove, mount, pending removals); flr rp register: send the list of
// recovery points to the management outbox.
#include <algorithm>
#include <array>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "Commands.h"
#include "FLR/FlrSnapMgr.h"
#include "Json.h"
#include "Printable.h"
#include "env/FlrHelper.h"
#include "mgmt/ReplicaDBClient.h"
#include "platform/JXPlatformInfo.h"

namespace {

const char* typeName(SNAP_TYPE type) {
    switch (type) {
        case SNAP_TYPE_PLAIN:
            return "plain";
        case SNAP_TYPE_RECOVERY:
            return "rp";
        case SNAP_TYPE_RECOVERY2:
            return "crp";
    }
    return "?";
}

SNAP_TYPE parseType(const std::string& text) {
    if (text == "plain" || text == "0") return SNAP_TYPE_PLAIN;
    if (text == "rp" || text == "1") return SNAP_TYPE_RECOVERY;
    if (text == "crp" || text == "2") return SNAP_TYPE_RECOVERY2;
    throw CLI::ValidationError("--type", "must be plain, rp or crp (0, 1, 2)");
}

std::string utcTime(int64_t t) {
    const time_t tt = static_cast<time_t>(t);
    struct tm tm;
    gmtime_r(&tt, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

// Where a snapshot can be read: its mount, or its own path for engines whose
// snapshots are visible without mounting.
std::string mountPointOf(const FlrSnapOS::Snap& s) {
    std::string point;
    if (FlrSnapOS::getMountDetail(s.rdev, &point, nullptr, nullptr)) return point;
    if (!s.isUnMountable() && s.rdev.type == FlrSnapOS::RDEV::kLocal) return s.rdev.path;
    return std::string();
}

void printList(const std::string& device, bool json) {
    FlrSnapMgr mgr(0);
    const auto list = mgr.getSnapList(device.empty() ? nullptr : device.c_str());
    if (json) {
        for (const auto& e : list)
            Json()
                .beginObject()
                .field("type", typeName(e.type))
                .field("set", e.setId)
                .field("job", static_cast<unsigned long long>(e.jobId))
                .field("time", static_cast<long long>(e.time))
                .field("snapshot", e.snap->rdev.path)
                .field("name", e.snap->name)
                .field("volume", e.lv->rdev.path)
                .field("engine", static_cast<int>(e.snap->engine))
                .field("mountPoint", mountPointOf(*e.snap))
                .endObject()
                .printLine();
        return;
    }
    // Paths are as long as they are: the columns widen to the longest.
    std::vector<std::array<std::string, 7>> rows;
    rows.push_back({"TYPE", "SET", "JOB", "TIME", "SNAPSHOT", "VOLUME", "MOUNT POINT"});
    for (const auto& e : list) {
        const std::string mount = mountPointOf(*e.snap);
        rows.push_back({typeName(e.type), std::to_string(e.setId), std::to_string(e.jobId),
                        utcTime(e.time), printable(e.snap->rdev.path), printable(e.lv->rdev.path),
                        mount.empty() ? "-" : printable(mount)});
    }
    std::array<size_t, 7> width{};
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line.append(width[i] - row[i].size() + 2, ' ');
        }
        std::printf("%s\n", line.c_str());
    }
}

void printTodo(bool json) {
    const auto todo = FlrSnapMgr::getUnsnapTODO();
    if (!json) {
        for (const auto& d : todo) std::printf("%s\n", printable(d).c_str());
        return;
    }
    Json j;
    j.beginArray();
    for (const auto& d : todo) j.value(d);
    j.endArray().printLine();
}

void printRequest(const CreateCPArgsById_t& r) {
    std::printf("sent %zu recovery point(s), %zu snapshot(s)\n", r.consistencyPoints.size(),
                r.snapshots.size());
    for (const auto& cp : r.consistencyPoints) {
        std::printf("recovery point %d: set %d, job %llu, %s, %s\n", cp.cpOrdinal, cp.setId,
                    static_cast<unsigned long long>(cp.jobId), utcTime(cp.time).c_str(),
                    cp.flag ? "rp" : "crp");
        for (const auto& s : r.snapshots) {
            if (s.cpOrdinal != cp.cpOrdinal) continue;
            std::string pairs, mount = "-";
            for (const auto& l : r.snapPairs)
                if (l.snapOrdinal == s.snapOrdinal) pairs += " " + std::to_string(l.pairId);
            for (const auto& m : r.mountPoints)
                if (m.snapOrdinal == s.snapOrdinal) mount = printable(m.mountPoint);
            std::printf("  snapshot %d: %s of %s, mounted under %s, pairs:%s\n", s.snapOrdinal,
                        printable(s.device).c_str(), printable(s.volume).c_str(), mount.c_str(),
                        pairs.c_str());
        }
    }
}

void addSnapCreate(CLI::App* snap) {
    static std::string device, type = "rp";
    static unsigned long long job = 0;
    static int set = 0, maxPerSet = 0;
    auto* create = snap->add_subcommand("create", "Create (and mount) a snapshot of a volume");
    create->add_option("DEVICE", device, "The volume's device (or mount point for btrfs)")
        ->required();
    create->add_option("--type", type, "plain, rp (recovery point) or crp; default rp");
    create->add_option("--set", set, "Replication set of a recovery point");
    create->add_option("--job", job, "Job that makes the recovery point");
    create->add_option("--max-per-set", maxPerSet,
                       "Recovery points kept per set on the volume (oldest jobs removed)");
    create->callback([] {
        std::string snapDevice, mountPath;
        FlrSnapMgr(job).snap(device.c_str(), parseType(type), job, set, maxPerSet, &snapDevice,
                             &mountPath);
        std::printf("created %s, mounted under %s\n", printable(snapDevice).c_str(),
                    printable(mountPath).c_str());
    });
}

}  // namespace

void addSnapCommands(CLI::App& app) {
    auto* snap = app.add_subcommand("snap", "Snapshots that serve as recovery points");
    snap->require_subcommand(1);

    static std::string lsDevice;
    static bool lsJson = false;
    auto* ls = snap->add_subcommand("ls", "List the recovery snapshots (of one volume)");
    ls->add_option("DEVICE", lsDevice, "Only the snapshots of this volume");
    ls->add_flag("--json", lsJson, "One JSON object per snapshot");
    ls->callback([] { printList(lsDevice, lsJson); });

    addSnapCreate(snap);

    static std::string rmDevice;
    auto* rm = snap->add_subcommand("rm", "Remove a snapshot (deferred while it is busy)");
    rm->add_option("SNAPDEVICE", rmDevice, "The snapshot's device or path")->required();
    rm->callback([] {
        if (FlrSnapMgr(0).unSnap(rmDevice.c_str(), false)) {
            std::printf("removed %s\n", printable(rmDevice).c_str());
            return;
        }
        std::printf("%s is busy: its removal is pending and will be retried\n",
                    printable(rmDevice).c_str());
        throw ExitCode{1};
    });

    auto* automount = snap->add_subcommand("automount", "Mount every snapshot not mounted yet");
    automount->callback([] { FlrSnapMgr(0).autoMountAllSnaps(); });

    static bool retry = false;
    auto* todo = snap->add_subcommand("todo", "Snapshot removals still pending");
    todo->add_flag("--retry", retry, "Retry them now, then list what is left");
    static bool todoJson = false;
    todo->add_flag("--json", todoJson, "The pending removals as one JSON array");
    todo->callback([] {
        if (retry) FlrSnapMgr(0).cleanupTODO();
        printTodo(todoJson);
    });

    auto* rp = app.add_subcommand("rp", "Recovery points and the management server");
    rp->require_subcommand(1);
    static bool rpJson = false;
    auto* reg = rp->add_subcommand("register", "Send the list of recovery points on this host");
    reg->add_flag("--json", rpJson, "Print the request as sent (one JSON line)");
    reg->callback([] {
        CreateCPArgsById_t sent;
        FlrHelper::sendCPListToBN(&sent);
        if (rpJson)
            // The request in the management server's own encoding.
            Json().raw(ReplicaDBClient(4).toJson(sent)).printLine();
        else
            printRequest(sent);
    });
}
