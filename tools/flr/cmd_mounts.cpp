// flr mounts: the mount table the snapshot and HSM code see.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Commands.h"
#include "FLR/JxException.h"
#include "Json.h"
#include "Printable.h"
#include "mgmt/qzhsm/QZHSMCommon/QZHSMMntTab.h"

namespace {

// Relative paths are taken from the working directory; symbolic links are
// followed so that the file system that really holds the path is found.
std::string absolutePath(const std::string& path) {
    if (char* real = realpath(path.c_str(), nullptr)) {
        std::string out(real);
        free(real);
        return out;
    }
    if (!path.empty() && path[0] == '/') return path;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd))
        JX_THROW_ERRNO("flr mounts", "Failed to get working directory", errno);
    return std::string(cwd) + "/" + path;
}

void mountJson(Json& j, const QZHSMMntTab::Entry& e) {
    j.beginObject()
        .field("device", e.device)
        .field("mountPoint", e.mountPoint)
        .field("fsType", e.fsType)
        .field("readOnly", e.readOnly)
        .field("options", e.options)
        .endObject();
}

void printMount(const QZHSMMntTab::Entry& e) {
    std::printf("%-24s %-28s %-10s %s %s\n", printable(e.device).c_str(),
                printable(e.mountPoint).c_str(), printable(e.fsType).c_str(),
                e.readOnly ? "ro" : "rw", printable(e.options).c_str());
}

}  // namespace

void addMountsCommands(CLI::App& app) {
    static std::string path, table;
    static bool json = false;
    auto* mounts =
        app.add_subcommand("mounts", "List the mount table, or the file system holding PATH");
    mounts->add_option("PATH", path, "Show only the entry of the file system holding this path");
    mounts->add_option("--table", table, "Read this mount-table file instead of the host's");
    mounts->add_flag("--json", json, "JSON output");
    mounts->callback([] {
        const QZHSMMntTab tab = table.empty() ? QZHSMMntTab() : QZHSMMntTab(table);
        Json j;
        if (!path.empty()) {
            const QZHSMMntTab::Entry* e = tab.find(absolutePath(path).c_str());
            if (!json) return printMount(*e);
            mountJson(j, *e);
            return j.printLine();
        }
        if (json) j.beginArray();
        for (const QZHSMMntTab::Entry& e : tab) json ? mountJson(j, e) : printMount(e);
        if (json) j.endArray().printLine();
    });
}
