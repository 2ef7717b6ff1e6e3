// flr jobs: the latest reported state of every replication job, read from
// the job outbox.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "Commands.h"
#include "Json.h"
#include "mgmt/JXZrpJobClient.h"
#include "platform/JXPlatformInfo.h"

namespace {

std::string percent(long long done, long long total) {
    if (total <= 0) return "-";
    char buf[16];
    std::snprintf(buf, sizeof buf, "%.0f%%", 100.0 * double(done) / double(total));
    return buf;
}

}  // namespace

void addJobsCommands(CLI::App& app) {
    static std::string outbox, registryFile;
    static int pair = -1;
    static bool json = false;
    auto* jobs = app.add_subcommand("jobs", "Latest progress of each replication job");
    jobs->add_option("--outbox", outbox, "Outbox file (default: <install dir>/outbox.jsonl)");
    jobs->add_option("--file", registryFile, "Registry file naming the install directory");
    jobs->add_option("--pair", pair, "Only the job of this pair");
    jobs->add_flag("--json", json, "One JSON object per job, as reported");
    jobs->callback([] {
        if (!registryFile.empty()) JXPlatformInfo::setRegistryFile(registryFile);
        const std::string path = outbox.empty() ? JXZrpJobClient::outboxPath() : outbox;
        if (::access(path.c_str(), F_OK) != 0) {
            std::fprintf(stderr, "flr: no job has reported yet (%s does not exist)\n",
                         path.c_str());
            return;
        }
        const auto all = JXZrpJobClient::readOutbox(path);
        if (!json)
            std::printf("%-8s %-6s %-9s %-22s %-26s %-20s %s\n", "JOB", "PAIR", "STATE", "FILES",
                        "BYTES", "REPORTED", "CURRENT FILE");
        for (const auto& [id, s] : all) {
            if (pair >= 0 && s.pair != pair) continue;
            if (json) {
                // The record as the job reported it, in the outbox's own encoding.
                Json().raw(JXZrpJobClient::toJson(s)).printLine();
                continue;
            }
            const std::string files = std::to_string(s.filesTransferred) + "/" +
                                      std::to_string(s.filesToTransfer) + " " +
                                      percent(s.filesTransferred, s.filesToTransfer);
            const std::string bytes = std::to_string(s.bytesTransferred) + "/" +
                                      std::to_string(s.bytesToTransfer) + " " +
                                      percent(s.bytesTransferred, s.bytesToTransfer);
            std::printf("%-8llu %-6d %-9s %-22s %-26s %-20s %s\n", id, s.pair, s.state.c_str(),
                        files.c_str(), bytes.c_str(), s.time.c_str(),
                        Json::quote(s.currentFile).c_str());
        }
    });
}
