#pragma once
// A forked child that takes a lock, says so over a pipe, holds it until told
// to let go, and exits: the parent can test cross-process exclusion at exact
// moments instead of guessing with sleeps.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <functional>
#include <stdexcept>

#include "platform/JxThread.h"

namespace flrtest {

class ForkedHolder {
  public:
    // acquire runs in the child and says whether it got the lock; release runs
    // there when the parent calls release(), after releaseDelayMs (so that a
    // parent polling with a time-out really has to wait).
    ForkedHolder(const std::function<bool()>& acquire, const std::function<void()>& release,
                 long releaseDelayMs = 0) {
        int up[2], down[2];
        if (pipe(up) != 0 || pipe(down) != 0) throw std::runtime_error("pipe failed");
        pid_ = fork();
        if (pid_ < 0) throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            close(up[0]);
            close(down[1]);
            char report = 'F';
            try {
                report = acquire() ? 'L' : 'F';
            } catch (...) {
                report = 'E';
            }
            if (write(up[1], &report, 1) != 1) _exit(3);
            char cmd = 0;
            if (read(down[0], &cmd, 1) != 1) _exit(4);
            jxSleepMs(releaseDelayMs);
            release();
            _exit(0);
        }
        close(up[1]);
        close(down[0]);
        fromChild_ = up[0];
        toChild_ = down[1];
    }

    ~ForkedHolder() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            wait();
        }
        if (fromChild_ >= 0) close(fromChild_);
        if (toChild_ >= 0) close(toChild_);
    }

    ForkedHolder(const ForkedHolder&) = delete;
    ForkedHolder& operator=(const ForkedHolder&) = delete;

    // Blocks until the child has tried; true when it holds the lock.
    bool acquired() {
        char report = 0;
        if (read(fromChild_, &report, 1) != 1) return false;
        return report == 'L';
    }

    void release() {
        const char cmd = 'r';
        if (write(toChild_, &cmd, 1) != 1) throw std::runtime_error("child gone");
    }

    // Exit status of the child (128 + signal when killed).
    int wait() {
        int status = 0;
        while (waitpid(pid_, &status, 0) < 0) {
            if (errno != EINTR) return -1;
        }
        pid_ = -1;
        return WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    }

    // Ends the child without running release (a holder that dies).
    int killChild() {
        kill(pid_, SIGKILL);
        return wait();
    }

  private:
    pid_t pid_ = -1;
    int fromChild_ = -1;
    int toChild_ = -1;
};

}  // namespace flrtest
