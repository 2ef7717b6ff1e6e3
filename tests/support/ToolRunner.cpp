#include "ToolRunner.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "TestSupport.h"

extern char** environ;

namespace flrtest {

std::string toolPath() {
    if (const char* t = std::getenv("FLR_TOOL"); t && *t && access(t, X_OK) == 0) return t;
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return {};
    self[n] = '\0';
    std::string beside = std::string(self, std::strrchr(self, '/') - self) + "/flr";
    return access(beside.c_str(), X_OK) == 0 ? beside : std::string{};
}

ToolRun runTool(const std::vector<std::string>& args, const std::string& input,
                const std::vector<std::string>& env) {
    const std::string tool = toolPath();
    if (tool.empty()) throw std::runtime_error("the flr command is not built");
    // Files rather than pipes: the child can print any amount without a
    // reader, and the input is there in full before it starts.
    TempDir dir;
    const std::string in = dir.file("in"), out = dir.file("out"), err = dir.file("err");
    writeFile(in, input);
    writeFile(out, {});

    std::vector<std::string> envCopy;
    for (char** e = environ; *e; ++e) envCopy.emplace_back(*e);
    envCopy.insert(envCopy.end(), env.begin(), env.end());
    std::vector<char*> argv{const_cast<char*>(tool.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : envCopy) envp.push_back(e.data());
    envp.push_back(nullptr);

    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        const int i = open(in.c_str(), O_RDONLY);
        const int o = open(out.c_str(), O_WRONLY | O_TRUNC);
        const int r = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (i < 0 || o < 0 || r < 0 || dup2(i, 0) < 0 || dup2(o, 1) < 0 || dup2(r, 2) < 0)
            _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0) {
    }
    ToolRun run;
    run.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    run.out = readFile(out);
    run.err = readFile(err);
    return run;
}

ToolProcess::ToolProcess(const std::vector<std::string>& args, const std::vector<std::string>& env)
    : dir_(std::make_unique<TempDir>()), out_(dir_->file("out")) {
    std::vector<std::string> all{toolPath()};
    if (all[0].empty()) throw std::runtime_error("the flr command is not built");
    all.insert(all.end(), args.begin(), args.end());
    std::vector<std::string> vars;
    for (char** e = environ; *e; ++e) vars.emplace_back(*e);
    vars.insert(vars.end(), env.begin(), env.end());
    std::vector<char*> argv, envp;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& v : vars) envp.push_back(v.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&fa, 1, 2);
    const int rc = ::posix_spawn(&pid_, argv[0], &fa, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0) throw std::runtime_error("cannot start " + all[0]);
}

ToolProcess::~ToolProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        finish();
    }
}

std::string ToolProcess::output() const {
    return readFile(out_);
}

std::string ToolProcess::waitForLine(const std::string& text, int seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    for (;;) {
        const bool ended = exited();  // before reading: nothing comes after
        const std::string out = output();
        const size_t at = out.find(text);
        const size_t end = at == std::string::npos ? at : out.find('\n', at);
        if (end != std::string::npos) {
            const size_t begin = out.rfind('\n', at);
            return out.substr(begin == std::string::npos ? 0 : begin + 1,
                              end - (begin == std::string::npos ? 0 : begin + 1));
        }
        if (ended || std::chrono::steady_clock::now() > until) return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

void ToolProcess::reap(int raw) {
    pid_ = -1;
    status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

bool ToolProcess::exited() {
    if (pid_ <= 0) return true;
    int raw = 0;
    if (::waitpid(pid_, &raw, WNOHANG) != pid_) return false;
    reap(raw);
    return true;
}

int ToolProcess::finish() {
    int raw = 0;
    if (pid_ > 0 && ::waitpid(pid_, &raw, 0) == pid_) reap(raw);
    return status_;
}

int listeningPort(ToolProcess& tail, int seconds) {
    const std::string line = tail.waitForLine("listening on ", seconds);
    const size_t colon = line.rfind(':');
    return colon == std::string::npos ? 0 : std::atoi(line.c_str() + colon + 1);
}

std::string setUpInstall(const std::string& install, const std::vector<std::string>& env) {
    const ToolRun r = runTool({"registry", "set", "Platform", "dInstall", install}, {}, env);
    return r.status == 0 ? std::string() : "flr registry set: " + r.err;
}

std::string setUpLinkKey(const std::string& key, const std::string& install,
                         const std::vector<std::string>& env) {
    const std::vector<std::vector<std::string>> steps = {
        {"link", "keygen", key}, {"registry", "set", "ZRP", "sLinkSecretFile", key}};
    for (const auto& args : steps) {
        const ToolRun r = runTool(args, {}, env);
        if (r.status != 0) return "flr " + args[0] + " " + args[1] + ": " + r.err;
    }
    return setUpInstall(install, env);
}

}  // namespace flrtest
