#include "TestSupport.h"

#include <fcntl.h>
#include <ftw.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/JXPlatformInfo.h"

extern char** environ;

namespace flrtest {

TempDir::TempDir() {
    const char* base = std::getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/flrtest.XXXXXX";
    if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

TempDir::~TempDir() {
    removeTree(path_);
}

ScopedRegistry::ScopedRegistry()
    : path_(dir_.file("registry.ini")), previous_(JXPlatformInfo::getRegistryFile()) {
    JXPlatformInfo::setRegistryFile(path_);
}

ScopedRegistry::~ScopedRegistry() {
    JXPlatformInfo::setRegistryFile(previous_);
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
    if (!f) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void removeTree(const std::string& path) {
    nftw(
        path.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) { return ::remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

int scaled(int base) {
    const char* text = std::getenv("FLR_TEST_SCALE");
    const double factor = text && *text ? std::strtod(text, nullptr) : 1.0;
    const double n = factor > 0 ? base * factor : base;
    return n < 1 ? 1 : static_cast<int>(n);
}

bool eventually(const std::function<bool()>& pred, int seconds, int everyMs) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < until) {
        if (pred()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(everyMs));
    }
    return pred();
}

int runInChild(const std::function<int()>& body) {
    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        int rc = 1;
        try {
            rc = body();
        } catch (...) {
            rc = 99;
        }
        _exit(rc);
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
    }
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

pid_t spawnSelf(const std::string& test, const std::vector<std::string>& env, int passFd) {
    char self[4096];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return -1;
    self[n] = '\0';
    std::vector<std::string> args{self, "--gtest_filter=" + test,
                                  "--gtest_also_run_disabled_tests"};
    std::vector<std::string> vars;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "GTEST_OUTPUT=", 13) != 0)
            vars.emplace_back(*e);  // the parent's report
    vars.insert(vars.end(), env.begin(), env.end());
    std::vector<char*> argv, envp;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    // Moved above 3 first: a dup2 onto itself would keep close-on-exec.
    const int high = passFd >= 0 ? ::fcntl(passFd, F_DUPFD_CLOEXEC, 10) : -1;
    if (high >= 0) posix_spawn_file_actions_adddup2(&fa, high, 3);
    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, self, &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (high >= 0) ::close(high);
    return rc == 0 ? pid : -1;
}

HostVolumeLock::HostVolumeLock() {
    fd_ = ::open("/tmp/flrtest-host-volumes.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) throw std::runtime_error("cannot open /tmp/flrtest-host-volumes.lock");
    while (::flock(fd_, LOCK_EX) != 0)
        if (errno != EINTR) throw std::runtime_error("cannot lock /tmp/flrtest-host-volumes.lock");
}

HostVolumeLock::~HostVolumeLock() {
    if (fd_ >= 0) ::close(fd_);  // closing releases the lock
}

}  // namespace flrtest
