#include "FlrLiveNameCheck.h"

#include <sys/stat.h>

#include <algorithm>
#include <iterator>

namespace {

std::string nameKey(const JxFanHandle& dir, const std::string& name) {
    return FlrLiveNameCheck::keyOf(dir).append(1, '\0').append(name);
}

bool happenedBefore(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

}  // namespace

std::string FlrLiveNameCheck::keyOf(const JxFanHandle& h) {
    std::string k(reinterpret_cast<const char*>(&h.fsid), sizeof h.fsid);
    k.append(reinterpret_cast<const char*>(&h.type), sizeof h.type);
    return k.append(reinterpret_cast<const char*>(h.bytes), h.length);
}

void FlrLiveNameCheck::expect(int mountFd, int pair, const JxFanHandle& dir,
                              const std::string& name, const JxFanHandle* object,
                              const struct timespec& since) {
    const auto [it, added] = names_.try_emplace(nameKey(dir, name));
    Name& n = it->second;
    // An earlier change of the name still unchecked keeps its moment.
    if (added || happenedBefore(since, n.since)) n.since = since;
    n.mountFd = mountFd;
    n.pair = pair;
    n.dir = dir;
    n.name = name;
    n.present = object != nullptr;
    if (object) n.object = *object;
    n.missed = false;
}

// A folder gone holds no names; a file gone is at no name.
bool FlrLiveNameCheck::holds(int mountFd, const JxFanHandle& dir, const std::string& name,
                             const JxFanHandle& object) {
    struct stat at;
    JxFanStat obj{};
    return JxFanotify::statAt(mountFd, dir, name, at) &&
           JxFanotify::statHandle(mountFd, object, obj) && obj.st.st_ino == at.st_ino &&
           obj.st.st_dev == at.st_dev;
}

bool FlrLiveNameCheck::agrees(const Name& n) {
    if (n.present) return holds(n.mountFd, n.dir, n.name, n.object);
    struct stat at;
    return !JxFanotify::statAt(n.mountFd, n.dir, n.name, at);
}

std::vector<int> FlrLiveNameCheck::check(Clock::time_point now) {
    nextCheck_ = now + kEvery;
    std::vector<int> pairs;
    for (auto it = names_.begin(); it != names_.end();) {
        Name& n = it->second;
        if (agrees(n)) {
            it = names_.erase(it);
            continue;
        }
        if (!n.missed) {
            n.missed = true;
            n.missedAt = now;
        } else if (now - n.missedAt >= kSettle) {
            if (std::find(pairs.begin(), pairs.end(), n.pair) == pairs.end())
                pairs.push_back(n.pair);
            it = names_.erase(it);
            continue;
        }
        ++it;
    }
    return pairs;
}

void FlrLiveNameCheck::dropAgreeing() {
    for (auto it = names_.begin(); it != names_.end();)
        it = agrees(it->second) ? names_.erase(it) : std::next(it);
}

bool FlrLiveNameCheck::oldest(struct timespec* at) const {
    bool any = false;
    for (const auto& [key, n] : names_) {
        if (!any || happenedBefore(n.since, *at)) *at = n.since;
        any = true;
    }
    return any;
}
