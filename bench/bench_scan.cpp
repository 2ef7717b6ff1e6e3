// Tree scans against find(1) over the same generated tree in the same run:
// a baseline scan writing a collect file and an attribute dirchange file,
// beside `find SRC -printf '%p %m %U %G %s %T@\n' >/dev/null` (the same stat
// work per entry); then a ZRP scan of the tree (fresh name database) and an
// SDR re-scan of the unchanged tree. Prints entries/s for each and, last,
// the baseline/find speed ratio (target >= 1.0).
//
//   bench_scan [FILES] [--dir DIR]     FILES default 20000 (env FLR_BENCH_SCAN_FILES)
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "FLR/JxException.h"
#include "mgmt/MgmtConfig.h"
#include "platform/FlrDriver.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxSeqCounter.h"
#include "scan/FlrIfind.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double timeIt(const std::function<void()>& body) {
    const Clock::time_point start = Clock::now();
    body();
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void mkdirOrDie(const std::string& path) {
    if (::mkdir(path.c_str(), 0755) != 0 && errno != EEXIST) {
        std::perror(path.c_str());
        std::exit(1);
    }
}

// FILES files, 100 per directory, directories 50 to a parent: a shape like
// a project or home tree. Returns the number of entries below src.
long long makeTree(const std::string& src, long long files) {
    mkdirOrDie(src);
    long long entries = 0;
    const long long dirs = std::max(1LL, (files + 99) / 100);
    long long made = 0;
    for (long long d = 0; d < dirs; ++d) {
        const std::string parent = src + "/group" + std::to_string(d / 50);
        if (d % 50 == 0) {
            mkdirOrDie(parent);
            ++entries;
        }
        const std::string dir = parent + "/dir" + std::to_string(d);
        mkdirOrDie(dir);
        ++entries;
        for (int f = 0; f < 100 && made < files; ++f, ++made) {
            const std::string name = dir + "/file_" + std::to_string(f) + ".dat";
            const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0 || ::write(fd, "data\n", 5) != 5) {
                std::perror(name.c_str());
                std::exit(1);
            }
            ::close(fd);
            ++entries;
        }
    }
    return entries;
}

// find with an argument vector, no shell; its output goes to /dev/null.
void runFind(const std::string& src) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    std::string a0 = "find", a2 = "-printf", a3 = "%p %m %U %G %s %T@\n";
    std::string a1 = src;
    char* argv[] = {a0.data(), a1.data(), a2.data(), a3.data(), nullptr};
    pid_t pid = 0;
    if (posix_spawnp(&pid, "find", &actions, nullptr, argv, environ) != 0) {
        std::perror("find");
        std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    ::waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "find failed\n");
        std::exit(1);
    }
}

void removeTree(const std::string& path) {
    pid_t pid = 0;
    std::string a0 = "rm", a1 = "-rf", a2 = path;
    char* argv[] = {a0.data(), a1.data(), a2.data(), nullptr};
    if (posix_spawnp(&pid, "rm", nullptr, nullptr, argv, environ) == 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    long long files = 20000;
    if (const char* env = std::getenv("FLR_BENCH_SCAN_FILES")) files = std::atoll(env);
    std::string base;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--dir" && i + 1 < argc)
            base = argv[++i];
        else
            files = std::atoll(argv[i]);
    }
    if (files <= 0) {
        std::fprintf(stderr, "usage: bench_scan [FILES] [--dir DIR]\n");
        return 2;
    }
    if (base.empty()) {
        char tmpl[] = "/tmp/flr-bench-scan.XXXXXX";
        if (!::mkdtemp(tmpl)) {
            std::perror("mkdtemp");
            return 1;
        }
        base = tmpl;
    }
    const std::string src = base + "/src";
    JXPlatformInfo::setRegistryFile(base + "/registry.ini");
    JXPlatformInfo::setString("Platform", "dInstall", base + "/install");
    JXPlatformInfo::setString("ZRP", "dDBDir", base + "/db");

    std::printf("generating %lld files under %s\n", files, src.c_str());
    const long long entries = makeTree(src, files);
    const std::string collect = base + "/Collect.txt", dirchange = base + "/DirChange.txt";
    try {
        runFind(src);  // warm the caches for both
        double bestFind = 1e9, bestScan = 1e9;
        for (int round = 0; round < 3; ++round) {
            bestFind = std::min(bestFind, timeIt([&] { runFind(src); }));
            bestScan = std::min(bestScan, timeIt([&] {
                                    FlrIfind scan;
                                    scan.dirchangeFormat = FlrIfind::kFormatAttributes;
                                    scan.baseline(src.c_str(), collect.c_str(), dirchange.c_str(),
                                                  -1, false);
                                }));
        }
        const double sdr = timeIt([&] {
            FlrIfind scan;
            scan.dirchangeFormat = FlrIfind::kFormatAttributes;
            scan.smartsyncSDR(src.c_str(), long(std::time(nullptr)) + 3600, collect.c_str(),
                              dirchange.c_str(), -1);
        });
        std::printf("tree: %lld entries\n", entries);
        std::printf("find -printf:           %10.0f entries/s (%.3f s)\n", entries / bestFind,
                    bestFind);
        std::printf("baseline + attrs:       %10.0f entries/s (%.3f s)\n", entries / bestScan,
                    bestScan);
        std::printf("SDR re-scan, unchanged: %10.0f entries/s (%.3f s)\n", entries / sdr, sdr);

        std::string why;
        if (FlrDriver::hasCapability(&why)) {
            const int head = MgmtConfig::addClient("head", "");
            const long set = MgmtConfig::addSet("bench", head, head);
            const int pair = int(MgmtConfig::addPair(set, src, "/dst"));
            JxSeqCounter counter(base + "/seq/journal.seq");
            FlrDriver driver(counter);
            const fsf_fid start = driver.getFID(src, true);
            const double zrp = timeIt([&] {
                FlrIfind scan;
                scan.setSeqCounter(&counter);
                scan.dirchangeFormat = FlrIfind::kFormatAttributes;
                scan.zrpscan(start, 0, collect.c_str(), dirchange.c_str(), pair);
            });
            const double zrpAgain = timeIt([&] {
                FlrIfind scan;
                scan.setSeqCounter(&counter);
                scan.dirchangeFormat = FlrIfind::kFormatAttributes;
                scan.zrpscan(start, 0, collect.c_str(), dirchange.c_str(), pair);
            });
            std::printf("ZRP scan, new database: %10.0f entries/s (%.3f s)\n", entries / zrp, zrp);
            std::printf("ZRP scan, known tree:   %10.0f entries/s (%.3f s)\n", entries / zrpAgain,
                        zrpAgain);
        } else {
            std::printf("ZRP scan skipped: %s\n", why.c_str());
        }
        std::printf("baseline/find speed ratio: %.2fx\n", bestFind / bestScan);
    } catch (const JxException& e) {
        std::fprintf(stderr, "%s\n", e.toString().c_str());
        removeTree(base);
        return 1;
    }
    removeTree(base);
    return 0;
}
