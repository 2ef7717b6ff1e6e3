#include "Gpfs.h"

#include <cctype>
#include <sstream>

#include "platform/JxMntTab.h"
#include "platform/JxProcess.h"

namespace {

const char* const kGpfsSource = "Gpfs";

using Row = std::map<std::string, std::string>;

// -Y fields escape ':' and other bytes as %XX.
std::string percentDecode(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit((unsigned char)text[i + 1]) &&
            std::isxdigit((unsigned char)text[i + 2])) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::vector<std::string> splitColons(const std::string& line) {
    std::vector<std::string> fields;
    size_t from = 0;
    for (;;) {
        const size_t colon = line.find(':', from);
        fields.push_back(line.substr(from, colon - from));
        if (colon == std::string::npos) break;
        from = colon + 1;
    }
    return fields;
}

CQiError runY(const std::vector<std::string>& argv, std::vector<Row>& rows) {
    const JxProcess::Result r = JxProcess::run(argv);
    if (r.status != 0) {
        std::string why = r.error.empty() ? r.output : r.error;
        while (!why.empty() && std::isspace(static_cast<unsigned char>(why.back()))) why.pop_back();
        return CQiError(-1, kGpfsSource, argv[0].c_str(), __LINE__, "%s failed (exit %d): %s",
                        argv[0].c_str(), r.status, why.c_str());
    }
    rows = Gpfs::parseY(r.output);
    return CQiError();
}

CQiError runPlain(const std::vector<std::string>& argv) {
    std::vector<Row> ignored;
    return runY(argv, ignored);
}

std::string field(const Row& row, const char* name) {
    const auto it = row.find(name);
    return it == row.end() ? std::string() : it->second;
}

// The file system's default mount point, from "mmlsfs <device> -T -Y".
CQiError mountPointOf(const std::string& device, std::string& mountPoint) {
    std::vector<Row> rows;
    CQiError err = runY({"mmlsfs", device, "-T", "-Y"}, rows);
    if (err.IsError()) return err;
    for (const auto& row : rows)
        if (field(row, "fieldName") == "defaultMountPoint") {
            mountPoint = field(row, "data");
            return CQiError();
        }
    return CQiError(-1, kGpfsSource, "mountPointOf", __LINE__, "No mount point reported for %s",
                    device.c_str());
}

std::vector<std::string> snapshotArgs(const char* tool, const std::string& device,
                                      const std::string& fileSet, const std::string& snapName) {
    std::vector<std::string> argv = {tool, device, snapName};
    if (!fileSet.empty() && fileSet != Gpfs::kRootFileSet) argv.insert(argv.end(), {"-j", fileSet});
    return argv;
}

}  // namespace

std::vector<Row> Gpfs::parseY(const std::string& report) {
    std::map<std::string, std::vector<std::string>> headings;  // per command and section
    std::vector<Row> rows;
    std::istringstream in(report);
    for (std::string line; std::getline(in, line);) {
        const auto fields = splitColons(line);
        if (fields.size() < 3) continue;
        const std::string section = fields[0] + ":" + fields[1];
        if (fields[2] == "HEADER") {
            headings[section] = fields;
            continue;
        }
        const auto h = headings.find(section);
        if (h == headings.end()) continue;
        Row row;
        for (size_t i = 3; i < fields.size() && i < h->second.size(); ++i)
            if (!h->second[i].empty()) row[h->second[i]] = percentDecode(fields[i]);
        rows.push_back(row);
    }
    return rows;
}

CQiError Gpfs::GetGpfsDevices(std::list<std::string>& devices, bool mounted) {
    std::vector<Row> rows;
    CQiError err = runY({"mmlsfs", "all", "-T", "-Y"}, rows);
    if (err.IsError()) return err;
    std::list<JxMntTab::Entry> table;
    if (mounted) (void)JxMntTab::getAll(table);
    for (const auto& row : rows) {
        if (field(row, "fieldName") != "defaultMountPoint") continue;
        const std::string device = field(row, "deviceName");
        const std::string point = field(row, "data");
        bool ok = !mounted;
        for (const auto& e : table) ok = ok || (e.fsType == "gpfs" && e.mountPoint == point);
        if (ok && !device.empty()) devices.push_back(device);
    }
    return CQiError();
}

CQiError Gpfs::GetFileSets(const std::string& device, std::list<FileSetInfo>& fileSets,
                           bool linkedOnly) {
    std::vector<Row> rows;
    CQiError err = runY({"mmlsfileset", device, "-Y"}, rows);
    if (err.IsError()) return err;
    for (const auto& row : rows) {
        FileSetInfo info{field(row, "filesetName"), field(row, "id"), field(row, "status"),
                         field(row, "path")};
        if (info.name.empty() || (linkedOnly && info.status != "Linked")) continue;
        fileSets.push_back(info);
    }
    return CQiError();
}

CQiError Gpfs::GetSnapshots(const std::string& device,
                            std::map<std::string, std::list<std::string>>& snapshots) {
    std::vector<Row> rows;
    CQiError err = runY({"mmlssnapshot", device, "-Y"}, rows);
    if (err.IsError()) return err;
    for (const auto& row : rows) {
        const std::string name = field(row, "directory");
        std::string fileSet = field(row, "fileset");
        if (name.empty()) continue;
        if (fileSet.empty()) fileSet = kRootFileSet;  // a global snapshot
        snapshots[fileSet].push_back(name);
    }
    return CQiError();
}

CQiError Gpfs::CreateSnapshot(const std::string& device, const std::string& fileSet,
                              const std::string& snapName) {
    return runPlain(snapshotArgs("mmcrsnapshot", device, fileSet, snapName));
}

CQiError Gpfs::DeleteSnapshot(const std::string& device, const std::string& fileSet,
                              const std::string& snapName) {
    return runPlain(snapshotArgs("mmdelsnapshot", device, fileSet, snapName));
}

CQiError Gpfs::GetSnapMountPath(const std::string& device, const std::string& fileSet,
                                const std::string& snapName, std::string& path) {
    std::string base;
    if (fileSet.empty() || fileSet == kRootFileSet) {
        CQiError err = mountPointOf(device, base);
        if (err.IsError()) return err;
    } else {
        std::list<FileSetInfo> sets;
        CQiError err = GetFileSets(device, sets, true);
        if (err.IsError()) return err;
        for (const auto& s : sets)
            if (s.name == fileSet) base = s.path;
        if (base.empty() || base == "--")
            return CQiError(-1, kGpfsSource, "GetSnapMountPath", __LINE__,
                            "File set %s of %s is not linked", fileSet.c_str(), device.c_str());
    }
    path = base + "/.snapshots/" + snapName;
    return CQiError();
}
