// flr registry ...: read and change the configuration keys.
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <iterator>

#include "Commands.h"
#include "FLR/JxException.h"
#include "platform/JXPlatformInfo.h"

namespace {

// Secrets are taken from stdin only, so they never show in ps or shell history.
// A key naming a file (sLinkSecretFile) holds a path, which is no secret.
bool looksSecret(const std::string& key) {
    if (key.ends_with("File")) return false;
    for (const char* word : {"Secret", "Password", "Passphrase", "Key"})
        if (key.find(word) != std::string::npos) return true;
    return false;
}

}  // namespace

void addRegistryCommands(CLI::App& app) {
    auto* reg = app.add_subcommand("registry", "Read and change registry keys");
    reg->require_subcommand(1);
    static std::string file;
    reg->add_option("--file", file,
                    "Registry file (default: $FLR_REGISTRY or /etc/flr/registry.ini)");
    auto useFile = [] {
        if (!file.empty()) JXPlatformInfo::setRegistryFile(file);
    };

    static std::string section, key, value;
    static bool fromStdin = false;
    auto* get = reg->add_subcommand("get", "Print one key's value (exit 1 when absent)");
    get->add_option("SECTION", section)->required();
    get->add_option("KEY", key)->required();
    get->callback([useFile] {
        useFile();
        std::string v;
        if (!JXPlatformInfo::getString(section, key, v)) {
            std::fprintf(stderr, "flr: [%s] %s is not set in %s\n", section.c_str(), key.c_str(),
                         JXPlatformInfo::getRegistryFile().c_str());
            throw ExitCode{1};
        }
        std::printf("%s\n", looksSecret(key) ? "(set, not shown)" : v.c_str());
    });

    auto* set = reg->add_subcommand("set", "Set a key; secrets only with --stdin");
    set->add_option("SECTION", section)->required();
    set->add_option("KEY", key)->required();
    set->add_option("VALUE", value);
    set->add_flag("--stdin", fromStdin, "Read the value from standard input (first line)");
    set->callback([useFile] {
        useFile();
        if (fromStdin) {
            std::getline(std::cin, value);
        } else if (looksSecret(key)) {
            throw CLI::ValidationError("VALUE",
                                       "secret values are read with --stdin, never from arguments");
        }
        if (JXPlatformInfo::setString(section, key, value) != 0)
            JX_THROW_ERRNO("flr registry set",
                           "Failed to write " + JXPlatformInfo::getRegistryFile(), errno);
    });

    auto* del = reg->add_subcommand("rm", "Remove a key");
    del->alias("delete");  // the old spelling, kept for one release
    del->add_option("SECTION", section)->required();
    del->add_option("KEY", key)->required();
    del->callback([useFile] {
        useFile();
        if (JXPlatformInfo::deleteValue(section, key) != 0)
            JX_THROW_ERRNO("flr registry rm",
                           "Failed to write " + JXPlatformInfo::getRegistryFile(), errno);
    });
}
