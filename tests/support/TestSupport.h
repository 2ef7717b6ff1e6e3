#pragma once
// Helpers shared by the test suites: private temp folders, a private registry
// file, and child processes for cross-process behaviour.
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace flrtest {

// A fresh directory under $TMPDIR (or /tmp), removed with all it holds.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Points the registry at a private file for the scope; restores the previous one.
class ScopedRegistry {
  public:
    ScopedRegistry();
    ~ScopedRegistry();
    const std::string& path() const { return path_; }
    std::string dir() const { return dir_.path(); }

  private:
    TempDir dir_;
    std::string path_;
    std::string previous_;
};

// Held by tests that mount file systems the snapshot engines list: each test
// process has its own registry, so a listing in one process takes another
// process's recovery points for unrecorded ones and removes them. One such
// test at a time on the host (a lock file under /tmp, waited for).
class HostVolumeLock {
  public:
    HostVolumeLock();
    ~HostVolumeLock();
    HostVolumeLock(const HostVolumeLock&) = delete;
    HostVolumeLock& operator=(const HostVolumeLock&) = delete;

  private:
    int fd_ = -1;
};

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
void removeTree(const std::string& path);

// Iteration count for crash loops and property tests: `base` in an optimised
// build, scaled by FLR_TEST_SCALE (a factor: 0.25 under sanitizers, 4 or more
// in `make test-long`); never below 1.
int scaled(int base);

// Polls pred every everyMs until it holds or `seconds` have passed; then once
// more, so a deadline missed by a slow poll still sees the last state.
bool eventually(const std::function<bool()>& pred, int seconds, int everyMs = 200);

// Runs body in a forked child; returns its exit status (body's return value),
// or 128 + signal when it was killed.
int runInChild(const std::function<int()>& body);

// Starts this test binary again running only `test` (a DISABLED_ one too),
// with `env` entries ("NAME=value") added and `passFd` (when >= 0) as its
// descriptor 3. A fresh process image: a fork of a threaded process would
// keep every lock another thread held at the fork (the sanitizer runtimes'
// among them). Returns the pid, or -1.
pid_t spawnSelf(const std::string& test, const std::vector<std::string>& env, int passFd = -1);

}  // namespace flrtest
