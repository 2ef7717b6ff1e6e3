#pragma once
// Each command family registers its subcommands on the flr app. Handlers
// throw JxException (exit 1, message on stderr), CLI::Error (usage, exit 2),
// or ExitCode to end with a chosen status after printing their own report.
#include <CLI/CLI.hpp>

struct ExitCode {
    int code;
};

void addJournalCommands(CLI::App& app);
void addFidCommands(CLI::App& app);
void addStubCommands(CLI::App& app);
void addEnvCommands(CLI::App& app);
void addCacheCommands(CLI::App& app);
void addDbCommands(CLI::App& app);
void addNetCommands(CLI::App& app);
void addConfigCommands(CLI::App& app);
void addJobsCommands(CLI::App& app);
