#include "JxProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "EvDebug.h"
#include "FLR/JxException.h"

extern char** environ;

// Nothing here logs an argument or the environment: host tools get
// passphrases and names on their command line or stdin, and those must not
// end up in a log file. Only the program name and the status are logged.

namespace {

class Fd {
  public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() { close(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd) {
        close();
        fd_ = fd;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

  private:
    int fd_ = -1;
};

struct Pipe {
    Fd read;
    Fd write;
};

// Pipe ends land above the standard descriptors even when the caller runs
// with one of 0..2 closed, so the dup2 onto 0..2 in the child never finds
// source and target the same descriptor.
int moveAboveStdio(int fd) {
    if (fd > 2) return fd;
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int err = errno;
    ::close(fd);
    errno = err;
    return moved;
}

bool openPipe(Pipe& p) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    p.read.reset(moveAboveStdio(fds[0]));
    p.write.reset(moveAboveStdio(fds[1]));
    return p.read.get() >= 0 && p.write.get() >= 0;
}

// Writing to a child that has exited raises SIGPIPE; the caller may not
// ignore it, so it is blocked in this thread for the run and a SIGPIPE we
// caused is consumed before the old mask comes back.
class SigpipeBlock {
  public:
    SigpipeBlock() {
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &block, &old_);
    }
    ~SigpipeBlock() {
        if (!wasPending_) {
            sigset_t only;
            sigemptyset(&only);
            sigaddset(&only, SIGPIPE);
            const timespec zero{0, 0};
            while (sigtimedwait(&only, nullptr, &zero) == SIGPIPE) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    SigpipeBlock(const SigpipeBlock&) = delete;
    SigpipeBlock& operator=(const SigpipeBlock&) = delete;

  private:
    sigset_t old_;
    bool wasPending_ = false;
};

// Dispositions a service commonly changes and an exec would otherwise pass
// on (ignored signals stay ignored across exec).
void resetChildSignals(posix_spawnattr_t& attr) {
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGCHLD, SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2,
                    SIGTSTP, SIGTTIN, SIGTTOU, SIGXFSZ})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

// Returns 0 and the pid, or the error number when the program cannot start.
int spawnChild(const std::vector<std::string>& argv, Pipe& in, Pipe& out, Pipe& err, pid_t& pid) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in.read.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, out.write.get(), 1);
    posix_spawn_file_actions_adddup2(&actions, err.write.get(), 2);
    // Whatever the caller left without O_CLOEXEC (sockets, lock files) stays
    // out of the child.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    resetChildSignals(attr);

    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int rc = ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return rc;
}

void setNonBlocking(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// Feeds stdin and drains stdout and stderr in one loop, so a child that
// fills one pipe while we wait on another never deadlocks either side.
void exchange(Fd& in, const std::string* input, Fd& out, Fd& err, JxProcess::Result& r) {
    size_t written = 0;
    char buf[65536];
    if (!input || input->empty()) in.close();
    if (in.get() >= 0) setNonBlocking(in.get());
    while (in.get() >= 0 || out.get() >= 0 || err.get() >= 0) {
        pollfd fds[3];
        Fd* owners[3];
        nfds_t n = 0;
        if (in.get() >= 0) fds[n] = {in.get(), POLLOUT, 0}, owners[n++] = &in;
        if (out.get() >= 0) fds[n] = {out.get(), POLLIN, 0}, owners[n++] = &out;
        if (err.get() >= 0) fds[n] = {err.get(), POLLIN, 0}, owners[n++] = &err;
        if (::poll(fds, n, -1) < 0) {
            if (errno == EINTR) continue;
            r.error += "poll failed: " + jxErrnoText(errno);
            return;
        }
        for (nfds_t i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            Fd& fd = *owners[i];
            if (&fd == &in) {
                const ssize_t w =
                    ::write(fd.get(), input->data() + written, input->size() - written);
                if (w > 0) written += static_cast<size_t>(w);
                // EPIPE: the child stopped reading; what it did not take is its business.
                if ((w < 0 && errno != EAGAIN && errno != EINTR) || written == input->size())
                    fd.close();
                continue;
            }
            const ssize_t got = ::read(fd.get(), buf, sizeof buf);
            if (got > 0) {
                (&fd == &out ? r.output : r.error).append(buf, static_cast<size_t>(got));
            } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
                fd.close();
            }
        }
    }
}

int waitForChild(pid_t pid, std::string& error) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno == EINTR) continue;
        error += "waitpid failed: " + jxErrnoText(errno);
        return -1;
    }
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

JxProcess::Result runProcess(const std::vector<std::string>& argv, const std::string* input) {
    JxProcess::Result r;
    if (argv.empty() || argv[0].empty()) {
        r.error = "failed to start: no program given";
        return r;
    }
    Pipe in, out, err;
    pid_t pid = -1;
    int rc = 0;
    if (!openPipe(in) || !openPipe(out) || !openPipe(err))
        rc = errno;
    else
        rc = spawnChild(argv, in, out, err, pid);
    if (rc != 0) {
        r.error = "failed to start " + argv[0] + ": " + jxErrnoText(rc);
        EvDebug::DebugLvl("JxProcess::run", 2, "%s", r.error.c_str());
        return r;
    }
    in.read.close();
    out.write.close();
    err.write.close();
    {
        SigpipeBlock noSigpipe;
        exchange(in.write, input, out.read, err.read, r);
    }
    // Closing our ends first lets a child blocked on a pipe we stopped
    // serving (after a poll failure) finish instead of hanging waitpid.
    in.write.close();
    out.read.close();
    err.read.close();
    r.status = waitForChild(pid, r.error);
    EvDebug::DebugLvl("JxProcess::run", 4, "%s (pid %d) ended with status %d", argv[0].c_str(),
                      static_cast<int>(pid), r.status);
    return r;
}

}  // namespace

int JxProcess::system(const std::string& command, std::string* output, std::string* error) {
    Result r = runProcess({"/bin/sh", "-c", command}, nullptr);
    if (output) *output = std::move(r.output);
    if (error) *error = std::move(r.error);
    return r.status;
}

JxProcess::Result JxProcess::run(const std::vector<std::string>& argv) {
    return runProcess(argv, nullptr);
}

JxProcess::Result JxProcess::run(const std::vector<std::string>& argv, const std::string& input) {
    return runProcess(argv, &input);
}
