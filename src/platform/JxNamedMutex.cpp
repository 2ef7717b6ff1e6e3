#include "FLR/JxNamedMutex.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "EvDebug.h"
#include "FLR/JxException.h"
#include "JXPlatformInfo.h"
#include "JxFileLock.h"

// Between threads the mutex is an owner and a re-entry count; between
// processes it is an exclusive flock that the process holds while any of its
// threads owns the mutex. Only the owning thread touches the flock, so the
// state mutex is never held across a blocking lock call.
struct JxNamedMutex::Shared {
    std::mutex m;
    std::condition_variable freeCv;
    std::thread::id owner;  // set while taking the flock (depth 0) and while held
    int depth = 0;
    pid_t pid = 0;  // process this state belongs to; a forked child starts afresh
    std::unique_ptr<JxFileLock> file;
};

namespace {

// Never destroyed: mutexes may be used from static destructors and detached
// threads until the very end of the process.
std::mutex& registryMutex() {
    static auto* m = new std::mutex;
    return *m;
}

std::map<std::string, JxNamedMutex::Shared*>& mutexRegistry() {
    static auto* r = new std::map<std::string, JxNamedMutex::Shared*>;
    return *r;
}

bool validName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

void makeDirectories(const std::string& dir) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return;
    for (size_t pos = dir.find('/', 1);; pos = dir.find('/', pos + 1)) {
        const std::string part = dir.substr(0, pos);
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            JX_THROW_ERRNO("JxNamedMutex::lock", "Failed to create lock directory " + dir, errno);
        if (pos == std::string::npos) break;
    }
    if (::stat(dir.c_str(), &st) != 0)
        JX_THROW_ERRNO("JxNamedMutex::lock", "Failed to create lock directory " + dir, errno);
    if (!S_ISDIR(st.st_mode))
        JX_THROW_ERRNO("JxNamedMutex::lock", "Failed to create lock directory " + dir, ENOTDIR);
}

int secondsLeft(std::chrono::steady_clock::time_point deadline) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return 0;
    // Rounded up: a part-second still left is worth one more polling second.
    return static_cast<int>(std::chrono::ceil<std::chrono::seconds>(left).count());
}

}  // namespace

namespace {

// A forked child inherits the parent's in-process state and its descriptor,
// but owns nothing: drop both (closing only, so the parent keeps its flock).
void adoptAfterFork(JxNamedMutex::Shared& s) {
    const pid_t me = ::getpid();
    if (s.pid == me) return;
    s.file.reset();
    s.owner = std::thread::id();
    s.depth = 0;
    s.pid = me;
}

void releaseShared(JxNamedMutex::Shared& s) {
    s.file.reset();
    s.owner = std::thread::id();
    s.depth = 0;
    s.freeCv.notify_one();
}

}  // namespace

JxNamedMutex::JxNamedMutex(std::string name) : name_(std::move(name)) {
    if (!validName(name_)) JX_THROW("JxNamedMutex", "Invalid mutex name \"" + name_ + "\"");
    std::lock_guard<std::mutex> lk(registryMutex());
    Shared*& s = mutexRegistry()[name_];
    if (!s) s = new Shared;
    shared_ = s;
}

JxNamedMutex::~JxNamedMutex() {
    Shared& s = *shared_;
    std::lock_guard<std::mutex> lk(s.m);
    adoptAfterFork(s);
    if (levelsHere(s) == 0) return;
    EvDebug::DebugLvl("JxNamedMutex::~JxNamedMutex", 2, "Releasing %d level(s) of %s", held_,
                      name_.c_str());
    s.depth -= held_;
    held_ = 0;
    if (s.depth <= 0) releaseShared(s);
}

// Levels this object holds in this process; counts copied into a forked
// child are not the child's.
int& JxNamedMutex::levelsHere(const Shared& s) {
    if (heldPid_ != s.pid) {
        held_ = 0;
        heldPid_ = s.pid;
    }
    return held_;
}

std::string JxNamedMutex::lockDirectory() {
    std::string dir;
    if (JXPlatformInfo::getString("Platform", "dLock", dir) && !dir.empty()) return dir;
    return JXPI_Base::getOrchardTempDirectory() + "/locks";
}

bool JxNamedMutex::lock(int timeoutSec) {
    Shared& s = *shared_;
    const auto me = std::this_thread::get_id();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSec);
    std::unique_lock<std::mutex> lk(s.m);
    adoptAfterFork(s);
    if (s.owner == me && s.depth > 0) {
        ++s.depth;
        ++levelsHere(s);
        return true;
    }
    auto isFree = [&] { return s.owner == std::thread::id(); };
    if (timeoutSec < 0) {
        s.freeCv.wait(lk, isFree);
    } else if (!s.freeCv.wait_until(lk, deadline, isFree)) {
        return false;
    }
    s.owner = me;  // ours to take the flock; other threads keep waiting
    lk.unlock();

    bool locked = false;
    try {
        const std::string dir = lockDirectory();
        makeDirectories(dir);
        s.file = std::make_unique<JxFileLock>(dir + "/" + name_ + ".lock");
        locked = s.file->lock(1, timeoutSec < 0 ? -1 : secondsLeft(deadline));
    } catch (...) {
        lk.lock();
        releaseShared(s);
        throw;
    }
    lk.lock();
    if (!locked) {
        releaseShared(s);
        return false;
    }
    s.depth = 1;
    ++levelsHere(s);
    return true;
}

void JxNamedMutex::unlock() {
    Shared& s = *shared_;
    std::lock_guard<std::mutex> lk(s.m);
    adoptAfterFork(s);
    if (levelsHere(s) == 0 || s.owner != std::this_thread::get_id()) {
        // Reached from scope guards' destructors: throwing would terminate.
        EvDebug::Error("JxNamedMutex::unlock", "%s",
                       ("Mutex " + name_ + " released by a thread that does not hold it").c_str());
        return;
    }
    --held_;
    if (--s.depth == 0) releaseShared(s);
}
