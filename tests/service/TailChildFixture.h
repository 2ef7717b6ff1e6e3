#pragma once
// Runs a scenario in a forked child with a time limit, for tests whose
// failure is a hang (the child is killed) or that need process-wide limits
// of their own (setrlimit). Call it while the test holds no threads.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <thread>

namespace tailtest {

inline constexpr int kChildTimedOut = -1;

// fn's return value as the child's exit status, or kChildTimedOut when it
// had not ended after `seconds` (it is killed then).
inline int runInChild(const std::function<int()>& fn, int seconds) {
    const pid_t pid = ::fork();
    if (pid < 0) return -2;
    if (pid == 0) {
        int rc = 97;
        try {
            rc = fn();
        } catch (...) {
            rc = 98;
        }
        ::_exit(rc);
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= until) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return kChildTimedOut;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace tailtest
