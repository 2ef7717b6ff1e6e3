#pragma once
// Each command family registers its subcommands on the flr app. Handlers
// throw JxException (exit 1, message on stderr), CLI::Error (usage, exit 2),
// or ExitCode to end with a chosen status after printing their own report.
#include <CLI/CLI.hpp>
#include <chrono>
#include <string>

#include "FLR/FlrEndpoint.h"

struct ExitCode {
    int code;
};

void addJournalCommands(CLI::App& app);
void addFidCommands(CLI::App& app);
void addStubCommands(CLI::App& app);
void addRegistryCommands(CLI::App& app);
void addDirsCommands(CLI::App& app);
void addMountsCommands(CLI::App& app);
void addCacheCommands(CLI::App& app);
void addDbCommands(CLI::App& app);
void addTailCommands(CLI::App& app);
void addHeadCommands(CLI::App& app);
void addLinkCommands(CLI::App& app);
void addConfigCommands(CLI::App& app);
void addJobsCommands(CLI::App& app);
void addCollectCommands(CLI::App& app);
void addSecretCommands(CLI::App& app);
void addVerifyCommands(CLI::App& app);
void addSnapCommands(CLI::App& app);
void addReplicateCommands(CLI::App& app);
void addScanCommands(CLI::App& app);
void addStatusCommands(CLI::App& app);
void addDeclaredPairCommands(CLI::App& app);

// "HOST:PORT" of a command argument; a malformed one is a usage error.
FlrEndpoint endpointArgument(const std::string& text);

// `--metrics [ADDR:]PORT` on a long-running command, checked as it is parsed.
CLI::Option* addMetricsOption(CLI::App* cmd, std::string& at);

// Seconds from a steady-clock reading until now, for a command's report.
inline double secondsSince(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}
