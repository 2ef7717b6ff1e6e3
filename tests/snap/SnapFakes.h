#pragma once
// The fake host tools of tests/fakes put first on PATH, with their state, the
// mount table they keep and the record of every call, in a private folder; a
// private registry with the platform directories inside it.
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace flrtest {

class FakeHost {
  public:
    struct Call {
        std::vector<std::string> argv;
        std::string input;  // what the tool read on standard input
    };

    // state: the JSON of tests/fakes/fakehost.py.
    explicit FakeHost(const std::string& state);
    ~FakeHost();
    FakeHost(const FakeHost&) = delete;
    FakeHost& operator=(const FakeHost&) = delete;

    void setState(const std::string& state);
    std::string state() const;
    std::vector<Call> calls() const;
    // The calls of one tool.
    std::vector<Call> calls(const std::string& tool) const;
    void clearCalls();
    std::string mounts() const { return readFile(dir_.file("mounts")); }
    std::string mountRoot() const { return dir_.file("snapmount"); }
    const std::string& dir() const { return dir_.path(); }

  private:
    TempDir dir_;
    ScopedRegistry registry_;
    std::string oldPath_;
    std::string oldMountTable_;
};

// tests/fakes/fakehost.py in the source tree.
std::string fakeHostScript();

}  // namespace flrtest
