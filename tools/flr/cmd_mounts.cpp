// flr mounts: the mount table the snapshot and HSM code see.
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Commands.h"
#include "FLR/JxException.h"
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

void printMount(const QZHSMMntTab::Entry& e, bool json, bool first) {
    if (json) {
        std::printf(
            "%s{\"device\":\"%s\",\"mountPoint\":\"%s\",\"fsType\":\"%s\",\"readOnly\":%s,"
            "\"options\":\"%s\"}",
            first ? "" : ",", printable(e.device, true).c_str(),
            printable(e.mountPoint, true).c_str(), printable(e.fsType, true).c_str(),
            e.readOnly ? "true" : "false", printable(e.options, true).c_str());
        return;
    }
    std::printf("%-24s %-28s %-10s %s %s\n", printable(e.device, false).c_str(),
                printable(e.mountPoint, false).c_str(), printable(e.fsType, false).c_str(),
                e.readOnly ? "ro" : "rw", printable(e.options, false).c_str());
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
        if (!path.empty()) {
            const QZHSMMntTab::Entry* e = tab.find(absolutePath(path).c_str());
            printMount(*e, json, true);
            if (json) std::printf("\n");
            return;
        }
        if (json) std::printf("[");
        bool first = true;
        for (const QZHSMMntTab::Entry& e : tab) {
            printMount(e, json, first);
            first = false;
        }
        if (json) std::printf("]\n");
    });
}
