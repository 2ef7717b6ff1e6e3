#include "support/ToolRunner.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "support/TestSupport.h"

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

}  // namespace flrtest
