#include "JxThread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <system_error>

#include "EvDebug.h"
#include "FLR/JxException.h"

namespace {

// The kernel limits thread names to 15 bytes plus the NUL.
void nameCurrentThread(const std::string& name) {
    if (name.empty()) return;
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

// A thread body must never take the process down: whatever escapes it is
// logged and the thread simply ends.
void runBody(const std::string& name, const JxThread::Body& body) {
    nameCurrentThread(name);
    try {
        body();
    } catch (const JxException& e) {
        EvDebug::Error("JxThread::run", "%s", e.toString().c_str());
    } catch (const std::exception& e) {
        EvDebug::Error("JxThread::run", "%s", e.what());
    } catch (...) {
        EvDebug::Error("JxThread::run", "%s", ("Unknown exception in thread " + name).c_str());
    }
}

std::thread launch(const char* function, const std::string& name, JxThread::Body body) {
    try {
        return std::thread([name, b = std::move(body)] { runBody(name, b); });
    } catch (const std::system_error& e) {
        const int err = e.code().value();
        throw JxException(function, "Failed to start thread " + name + ": " + jxErrnoText(err),
                          "JxThread", __LINE__, err);
    }
}

}  // namespace

JxThread::~JxThread() {
    if (t_.joinable()) t_.join();
}

void JxThread::start(const std::string& name, Body body) {
    if (t_.joinable()) JX_THROW("JxThread::start", "Thread " + name + " is already running");
    t_ = launch("JxThread::start", name, std::move(body));
}

void JxThread::join() {
    if (!t_.joinable()) return;
    if (t_.get_id() == std::this_thread::get_id())
        JX_THROW("JxThread::join", "A thread cannot join itself");
    t_.join();
}

void JxThread::createDetachedThread(const std::string& name, Body body) {
    launch("JxThread::createDetachedThread", name, std::move(body)).detach();
}

namespace {

// Bumped in a forked child, whose only thread inherits the parent thread's
// cached id but has a new one.
std::atomic<unsigned> forkGeneration{0};

void noteFork() {
    forkGeneration.fetch_add(1, std::memory_order_relaxed);
}

}  // namespace

bool JxThread::setNice(int nice) {
    return ::setpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()), nice) == 0;
}

unsigned long JxThread::currentId() {
    static const bool registered = (pthread_atfork(nullptr, nullptr, noteFork), true);
    (void)registered;
    struct Cached {
        unsigned generation = ~0u;
        unsigned long id = 0;
    };
    thread_local Cached cached;
    const unsigned gen = forkGeneration.load(std::memory_order_relaxed);
    if (cached.generation != gen) {
        cached.id = static_cast<unsigned long>(syscall(SYS_gettid));
        cached.generation = gen;
    }
    return cached.id;
}

void jxSleepMs(long ms) {
    if (ms <= 0) return;
    timespec left{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}
