// Flushing committed changes to disk. Commits do not flush (MDB_NOSYNC): an
// environment with unflushed commits is flushed by one background thread per
// process at most the sync interval after its first unflushed commit, at the
// end of a batch scope, and on close. A consistent copy of a live table is
// made here too, as it is a flush to another file.
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <thread>

#include "FLR/JxException.h"
#include "TCtreeTableImpl.h"
#include "platform/JxFile.h"

using namespace tctree;

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<long> gSyncIntervalMs{1000};
std::atomic<uint64_t> gSyncCount{0};

// The process's background flusher. Its state lives on the heap and is never
// freed: a child after fork() starts over with fresh state (the parent's
// thread does not exist there, and its mutex may have been held at fork).
struct Flusher {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::pair<Clock::time_point, std::weak_ptr<SharedEnv>>> due;  // in deadline order
    bool running = false;

    void schedule(const std::shared_ptr<SharedEnv>& env) {
        std::lock_guard<std::mutex> lk(mutex);
        due.emplace_back(Clock::now() + std::chrono::milliseconds(gSyncIntervalMs.load()), env);
        if (!running) {
            running = true;
            std::thread([this] { run(); }).detach();
        }
        wake.notify_one();
    }

    void run() {
        std::unique_lock<std::mutex> lk(mutex);
        for (;;) {
            if (due.empty()) {
                wake.wait(lk);
                continue;
            }
            if (Clock::now() < due.front().first) {
                wake.wait_until(lk, due.front().first);
                continue;
            }
            std::shared_ptr<SharedEnv> env = due.front().second.lock();
            due.pop_front();
            if (!env) continue;
            lk.unlock();
            if (env->unsynced.load() && env->pid == getpid()) syncNow(*env);
            env.reset();  // may close the environment, outside the lock
            lk.lock();
        }
    }
};

Flusher* gFlusher = nullptr;
std::once_flag gAtFork;

Flusher& flusher() {
    std::call_once(gAtFork, [] {
        gFlusher = new Flusher;
        pthread_atfork(nullptr, nullptr, [] { gFlusher = new Flusher; });
    });
    return *gFlusher;
}

}  // namespace

void tctree::noteCommit(const std::shared_ptr<SharedEnv>& env) {
    if (!env->unsynced.exchange(true)) flusher().schedule(env);
}

int tctree::syncNow(SharedEnv& env) {
    // Cleared first: a commit during the flush marks the environment again.
    bool was = env.unsynced.exchange(false);
    int rc = mdb_env_sync(env.env, 1);
    if (rc) {
        if (was) env.unsynced = true;
        return fromMdb(rc);
    }
    gSyncCount.fetch_add(1);
    return TCtreeTable::kOk;
}

void TCtreeTable::setSyncInterval(long milliseconds) {
    gSyncIntervalMs = milliseconds > 0 ? milliseconds : 1000;
}

uint64_t TCtreeTable::syncCount() {
    return gSyncCount.load();
}

bool TCtreeTable::hasUnsyncedChanges() const {
    return impl_->env && impl_->env->unsynced.load();
}

int TCtreeTable::environmentFlags(unsigned* flags) const {
    if (!impl_->env) return kNotOpen;
    return fromMdb(mdb_env_get_flags(impl_->env->env, flags));
}

// LMDB copies from a read transaction of its own, so the copy is one
// committed state however many writers go on meanwhile. It goes to a
// temporary name, reaches the disk, and only then takes the final name.
int tctree::copyEnv(SharedEnv& env, const std::string& target) {
    try {
        jx::AtomicFile file(target, 0664, "table copy", "TCtreeTable");
        const int rc = fromMdb(mdb_env_copyfd2(env.env, file.fd(), 0));
        if (rc != TCtreeTable::kOk) return rc;  // the temporary file goes with `file`
        file.commit();
    } catch (const JxException& e) {
        return TCtreeTable::kSystemErrorBase + (e.getCode() > 0 ? e.getCode() : EIO);
    }
    return TCtreeTable::kOk;
}

int TCtreeTable::copyTo(const std::string& target) {
    Impl& m = *impl_;
    if (!m.env) return m.result(kNotOpen);
    return m.result(copyEnv(*m.env, target));
}

int TCtreeTable::copyTable(const std::string& sourceBase, const std::string& targetBase) {
    std::shared_ptr<SharedEnv> env;
    int rc = openShared(sourceBase + ".dat", true, false, &env);
    if (rc == kReadOnly) rc = openShared(sourceBase + ".dat", true, true, &env);
    if (rc) return rc;
    return copyEnv(*env, targetBase + ".dat");
}
