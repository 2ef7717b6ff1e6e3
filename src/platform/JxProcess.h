#pragma once
// Runs host tools. The argv forms never go through a shell, so names and
// secrets are passed as arguments or on stdin and never spliced into a
// command line.
#include <string>
#include <vector>

class JxProcess {
  public:
    struct Result {
        int status = -1;  // exit code; 128 + signal when killed; -1 when it did not start
        std::string output;
        std::string error;
    };

    // /bin/sh -c command. Returns the exit status; output and error text go to
    // the pointers that are not null.
    static int system(const std::string& command, std::string* output = nullptr,
                      std::string* error = nullptr);
    // argv[0] is looked up in PATH.
    static Result run(const std::vector<std::string>& argv);
    // As run, with input written to the child's stdin (then closed).
    static Result run(const std::vector<std::string>& argv, const std::string& input);
};
