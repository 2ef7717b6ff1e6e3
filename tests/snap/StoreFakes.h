#pragma once
// The fake storage tools of tests/fakes/fakestore.py (VxVM, GPFS, the
// block-filter configuration saver) first on PATH, with their state and the
// record of every call in a private folder; a private registry and mount
// table; the platform directories inside the folder.
#include <string>
#include <vector>

#include "support/TestSupport.h"

namespace flrtest {

class FakeStore {
  public:
    // state: the JSON of tests/fakes/fakestore.py ("@DIR@" is replaced by
    // the private folder).
    explicit FakeStore(const std::string& state);
    ~FakeStore();
    FakeStore(const FakeStore&) = delete;
    FakeStore& operator=(const FakeStore&) = delete;

    void setState(const std::string& state);
    std::string state() const;
    // The argument vectors of one tool's calls, in order.
    std::vector<std::vector<std::string>> calls(const std::string& tool) const;
    void clearCalls();
    void setMounts(const std::string& table);
    const std::string& dir() const { return dir_.path(); }
    std::string outbox() const;

  private:
    TempDir dir_;
    ScopedRegistry registry_;
    std::string oldPath_;
    std::string oldMountTable_;
};

}  // namespace flrtest
