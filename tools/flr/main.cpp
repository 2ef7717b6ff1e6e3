// flr: the command a person runs to replicate, serve and inspect.
#include <cctype>
#include <cstdio>
#include <exception>
#include <memory>
#include <sstream>
#include <string>

#include "Commands.h"
#include "FLR/JxException.h"
#include "platform/EvDebug.h"

namespace {

// Errors held back from the terminal are counted at the end, however it comes.
struct HeldErrorsReport {
    ~HeldErrorsReport() { EvDebug::flushHeldErrors(); }
};

// Help without the aliases: an old spelling kept for scripts ("list" for
// "ls") still works but is not offered to a person, in --help, --help-all or
// the man page made from it.
class NoAliasFormatter : public CLI::Formatter {
  public:
    std::string make_subcommand(const CLI::App* sub) const override {
        std::stringstream out;
        CLI::detail::format_help(out, sub->get_display_name(false), sub->get_description(),
                                 column_width_);
        return out.str();
    }
    std::string make_expanded(const CLI::App* sub) const override {
        // The base's text, its first line (the name with its aliases) replaced.
        const std::string full = CLI::Formatter::make_expanded(sub);
        return sub->get_display_name(false) + full.substr(full.find('\n'));
    }
};

}  // namespace

int main(int argc, char** argv) {
    const HeldErrorsReport heldErrors;
    CLI::App app{"flr - continuous file-level replication between Linux hosts"};
    app.formatter(std::make_shared<NoAliasFormatter>());
    app.require_subcommand(1);
    app.set_help_all_flag("--help-all", "Show help for every command");
    app.set_version_flag("--version", std::string("flr ") + FLR_VERSION_STRING);
    addJournalCommands(app);
    addFidCommands(app);
    addStubCommands(app);
    addRegistryCommands(app);
    addDirsCommands(app);
    addMountsCommands(app);
    addCacheCommands(app);
    addDbCommands(app);
    addTailCommands(app);
    addHeadCommands(app);
    addLinkCommands(app);
    addConfigCommands(app);
    addJobsCommands(app);
    addCollectCommands(app);
    addSecretCommands(app);
    addVerifyCommands(app);
    addSnapCommands(app);
    addReplicateCommands(app);
    addScanCommands(app);
    addStatusCommands(app);
    addDeclaredPairCommands(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::Error& e) {
        app.exit(e);
        return 2;
    } catch (const ExitCode& e) {
        return e.code;
    } catch (const JxException& e) {
        // The person reads what went wrong; the class that found it goes
        // to the log, for whoever debugs it.
        EvDebug::Debug("flr", "%s", e.toString().c_str());
        std::fflush(stdout);
        const std::string& where = e.getFunction();
        const bool internal = where.empty() || std::isupper(static_cast<unsigned char>(where[0])) ||
                              where.find("::") != std::string::npos;
        // A command's own name ("journal print") tells what failed; a class's does not.
        std::fprintf(stderr, "flr: %s\n", (internal ? e.getMessage() : e.toString()).c_str());
        return 1;
    } catch (const std::exception& e) {
        std::fflush(stdout);
        std::fprintf(stderr, "flr: %s\n", e.what());
        return 1;
    }
    return 0;
}
