#pragma once
// Runs the built flr command the way a person would, with an argument vector
// (no shell), and captures what it printed. Shared by every suite that tests
// a command.
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

}  // namespace flrtest

// Skips the current test when the command has not been built.
#define FLR_REQUIRE_TOOL()                                                 \
    do {                                                                   \
        if (::flrtest::toolPath().empty())                                 \
            GTEST_SKIP() << "the flr command is not built (set FLR_TOOL)"; \
    } while (0)
