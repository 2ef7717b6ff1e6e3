#pragma once
// What the records sent so far leave at each recently changed name, checked
// against the source whenever the event queue has been drained.
//
// The kernel folds an event into an identical one still queued (same
// process, same folders, names and file): a rename made a second time, or a
// link removed and made again, is then read once, at the place of the first,
// and the records built from the queue leave the replica different from the
// source with nothing later to mend it. Such a name disagrees with the
// source once the queue is drained. A name that disagrees at two drains at
// least kSettle apart, with no event about it between, is a change the
// records missed: its pair needs a resync. A change made while the check
// runs can look the same for a moment, which costs at most a resync.
//
// Not thread-safe: the journal's reading thread alone calls it.
#include <chrono>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "platform/JxFanotify.h"

class FlrLiveNameCheck {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr auto kSettle = std::chrono::milliseconds(50);
    // Checked at most this often: each name costs a few system calls.
    static constexpr auto kEvery = std::chrono::milliseconds(10);
    static constexpr size_t kMaxNames = 1 << 16;

    // The records leave `name` in `dir` holding `object`, or nothing when
    // object is null. `since`: a moment before the change that made it so.
    void expect(int mountFd, int pair, const JxFanHandle& dir, const std::string& name,
                const JxFanHandle* object, const struct timespec& since);
    // At a drained queue: drops the names that agree and returns the pairs
    // of those that disagreed for good (each pair once).
    std::vector<int> check(Clock::time_point now);
    bool due(Clock::time_point now) const { return !names_.empty() && now >= nextCheck_; }
    // The earliest `since` among the names not yet found to agree.
    bool oldest(struct timespec* at) const;
    bool full() const { return names_.size() >= kMaxNames; }
    // Drops the names that agree with the source now, whether or not the
    // queue is drained: a check at a drained queue drops them too, and a
    // later change of one comes with an event and an expectation of its own.
    // For a burst that never lets the queue drain while the list fills.
    void dropAgreeing();
    void clear() { names_.clear(); }
    size_t size() const { return names_.size(); }

    // A handle as a map key: file system id, type and bytes.
    static std::string keyOf(const JxFanHandle& h);

    // True when `name` in `dir` is the file with handle `object` now.
    static bool holds(int mountFd, const JxFanHandle& dir, const std::string& name,
                      const JxFanHandle& object);

  private:
    struct Name {
        int mountFd = -1;
        int pair = -1;
        JxFanHandle dir;
        std::string name;
        bool present = false;
        JxFanHandle object;
        struct timespec since = {0, 0};
        bool missed = false;
        Clock::time_point missedAt;
    };
    static bool agrees(const Name& n);

    std::map<std::string, Name> names_;  // folder handle + name -> expectation
    Clock::time_point nextCheck_;
};
