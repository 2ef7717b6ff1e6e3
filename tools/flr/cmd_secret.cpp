// flr secret ...: store a secret (a LUKS passphrase, say) enciphered in the
// registry. The value is read from the terminal without echo or from standard
// input, never from the command line, where every user could read it.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "Commands.h"
#include "FLR/JxException.h"
#include "mgmt/JXPassword.h"
#include "platform/JXPlatformInfo.h"

namespace {

// One line from standard input; from a terminal with echo off.
std::string readSecret(const std::string& name) {
    const bool terminal = ::isatty(STDIN_FILENO) == 1;
    struct termios saved {};
    if (terminal) {
        std::fprintf(stderr, "Value of %s: ", name.c_str());
        std::fflush(stderr);
        if (::tcgetattr(STDIN_FILENO, &saved) == 0) {
            struct termios quiet = saved;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
        }
    }
    std::string value;
    std::getline(std::cin, value);
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::fprintf(stderr, "\n");
    }
    if (!value.empty() && value.back() == '\r') value.pop_back();
    return value;
}

}  // namespace

void addSecretCommands(CLI::App& app) {
    auto* secret = app.add_subcommand("secret", "Store or remove an enciphered registry secret");
    secret->require_subcommand(1);
    static std::string file, name;
    secret->add_option("--file", file,
                       "Registry file (default: $FLR_REGISTRY or /etc/flr/registry.ini)");
    auto useFile = [] {
        if (!file.empty()) JXPlatformInfo::setRegistryFile(file);
    };

    auto* set = secret->add_subcommand(
        "set", "Store [Satchel] NAME, read from the terminal (no echo) or standard input");
    set->add_option("NAME", name, "e.g. Lukspassphrase_<mapping> or Lukspassphrase")->required();
    set->callback([useFile] {
        useFile();
        std::string value = readSecret(name);
        if (value.empty())
            throw JxException("flr secret set", "No value given for " + name, "cmd_secret",
                              __LINE__);
        std::string error;
        const int rc = JXPassword::setSecret(name, value, &error);
        std::fill(value.begin(), value.end(), '\0');
        if (rc != 0) throw JxException("flr secret set", error, "cmd_secret", __LINE__);
        std::printf("[%s] %s stored enciphered\n", JXPassword::kSection, name.c_str());
    });

    auto* rm = secret->add_subcommand("rm", "Remove [Satchel] NAME");
    rm->add_option("NAME", name)->required();
    rm->callback([useFile] {
        useFile();
        if (JXPassword::removeSecret(name) != 0)
            throw JxException("flr secret rm", "Failed to write the registry", "cmd_secret",
                              __LINE__);
        std::printf("[%s] %s removed\n", JXPassword::kSection, name.c_str());
    });
}
