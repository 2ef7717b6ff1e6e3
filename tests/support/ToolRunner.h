#pragma once
// Runs the built flr command the way a person would, with an argument vector
// (no shell), and captures what it printed. Shared by every suite that tests
// a command.
#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace flrtest {

struct ToolRun {
    int status = -1;  // exit code, or 128 + signal
    std::string out;
    std::string err;
};

// The flr binary under test: FLR_TOOL (ctest sets it), else the "flr" beside
// the test binary. Empty when neither is executable.
std::string toolPath();

// Runs `flr args...` with `input` on standard input; extra environment entries
// ("NAME=value") are added to the test's own environment.
ToolRun runTool(const std::vector<std::string>& args, const std::string& input = {},
                const std::vector<std::string>& env = {});

class TempDir;

// `flr args...` running in the background, its stdout and stderr in one file
// (any amount, with or without a reader). Killed, if still running, when it
// goes out of scope.
class ToolProcess {
  public:
    explicit ToolProcess(const std::vector<std::string>& args,
                         const std::vector<std::string>& env = {});
    ~ToolProcess();
    ToolProcess(const ToolProcess&) = delete;
    ToolProcess& operator=(const ToolProcess&) = delete;

    pid_t pid() const { return pid_; }  // -1 once it was waited for
    std::string output() const;
    // The first output line holding `text`; empty if none came within
    // `seconds` or the process ended without one.
    std::string waitForLine(const std::string& text, int seconds);
    bool exited();  // without waiting; the status is then in exitStatus()
    int finish();   // waits for the exit: its code, or 128 + signal
    int exitStatus() const { return status_; }

  private:
    void reap(int raw);
    std::unique_ptr<TempDir> dir_;
    std::string out_;
    pid_t pid_ = -1;
    int status_ = -1;
};

// The port a `flr tail --listen ADDR:0` reports in its "listening on" line;
// 0 when no such line came within `seconds`.
int listeningPort(ToolProcess& tail, int seconds);

// Points the registry's install folder at `install`: the default home of a
// head's journal numbers, a tail's content stores and journal state and the
// pair folders, so a command a test runs as root leaves nothing behind in
// the system's. Empty, or what failed.
std::string setUpInstall(const std::string& install, const std::vector<std::string>& env);

// Sets a registry up as the README shows for a tail and its heads: a new key
// file `key` named as the link secret, and `install` as the install folder
// (where a tail keeps its journal numbers). Empty, or what failed.
std::string setUpLinkKey(const std::string& key, const std::string& install,
                         const std::vector<std::string>& env);

}  // namespace flrtest

// Skips the current test when the command has not been built.
#define FLR_REQUIRE_TOOL()                                                 \
    do {                                                                   \
        if (::flrtest::toolPath().empty())                                 \
            GTEST_SKIP() << "the flr command is not built (set FLR_TOOL)"; \
    } while (0)
