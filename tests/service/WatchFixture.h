#pragma once
// A watch of dir/src to dir/dst run in a thread of its own, for the watcher's
// end-to-end suites (fanotify, so CAP_SYS_ADMIN: REQUIRE_LIVE skips without).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "FLR/FlrTreeVerify.h"
#include "FLR/FlrWatcher.h"
#include "FLR/JxException.h"
#include "journal/FlrLiveJournal.h"
#include "platform/FlrDriver.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxSeqCounter.h"
#include "support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;

// Polls until pred holds; generous, since CI runs loaded and under sanitizers.
bool eventually(const std::function<bool()>& pred, int seconds = 120) {
    return flrtest::eventually(pred, seconds, 50);
}

// A watch numbers its records with the host's counter, which lives under the
// install folder the registry names when it is first used and stays there
// for the process: first used here, with a folder of the test's own, no
// watch of these suites leaves numbers in the system's install folder. A
// watch child started by a test shares its parent's folder (and numbers).
const std::string& keepHostCounterInTempDir() {
    static std::unique_ptr<flrtest::TempDir> home;
    static const std::string install = [] {
        const char* parent = std::getenv("FLR_WATCH_CHILD_INSTALL");
        if (!parent || !*parent) home = std::make_unique<flrtest::TempDir>();
        const std::string path = home ? home->path() : std::string(parent);
        flrtest::ScopedRegistry registry;
        JXPlatformInfo::setString("Platform", "dInstall", path);
        JxSeqCounter::host();
        return path;
    }();
    return install;
}

// Why the live journal cannot run here, or empty.
std::string liveUnavailable(const std::string& dir) {
    keepHostCounterInTempDir();
    std::string why;
    if (!FlrDriver::hasCapability(&why)) return why.empty() ? "no CAP_SYS_ADMIN" : why;
    try {
        FlrLiveJournal probe({{1, dir}}, FlrLiveJournal::Options{});
    } catch (const JxException& e) {
        return e.getMessage();
    }
    return {};
}

std::string treeDiffs(const std::string& a, const std::string& b) {
    const FlrTreeVerifyResult r = FlrTreeVerify().compare(a, b);
    std::string out;
    for (const auto& d : r.diffs) out += d.path + ": " + d.what + "\n";
    return out;
}

// A watch of base/src to base/dst, quick to flush and to record progress.
FlrWatchOptions watchOptions(const std::string& base) {
    FlrWatchOptions o;
    o.replicate.source = base + "/src";
    o.replicate.target = base + "/dst";
    o.replicate.stateRoot = base + "/state";
    o.flushDelayMs = 300;
    o.consistentEveryMs = 300;
    return o;
}

// A watch of dir/src to dir/dst, run in a thread of its own.
struct Watch {
    flrtest::TempDir& dir;
    FlrWatchOptions options;
    std::unique_ptr<FlrWatcher> watcher;
    std::thread thread;
    std::string error;
    std::atomic<bool> returned{false};
    std::atomic<bool> ended{false};  // run() is over, by a return or a throw

    explicit Watch(flrtest::TempDir& d) : dir(d), options(watchOptions(d.path())) {}
    ~Watch() { stop(); }

    void start() {
        keepHostCounterInTempDir();
        watcher = std::make_unique<FlrWatcher>(options);
        returned = false;
        ended = false;
        error.clear();
        thread = std::thread([this] {
            try {
                watcher->run();
                returned = true;
            } catch (const JxException& e) {
                error = e.what();
            }
            ended = true;
        });
        ASSERT_TRUE(eventually([&] {
            const std::string phase = watcher->state().phase;
            return phase == "watching" || phase == "failed";
        })) << watcher->state().phase;
        ASSERT_EQ("watching", watcher->state().phase) << watcher->state().error;
    }
    void stop() {
        if (!watcher) return;
        watcher->stop();
        if (thread.joinable()) thread.join();
    }
    bool converged() { return FlrTreeVerify().compare(src(), dst()).same(); }
    std::string src() const { return dir.file("src"); }
    std::string dst() const { return dir.file("dst"); }
};

#define REQUIRE_LIVE(dir)                                                       \
    do {                                                                        \
        ::mkdir((dir).file("src").c_str(), 0755);                               \
        const std::string why = liveUnavailable((dir).file("src"));             \
        if (!why.empty()) GTEST_SKIP() << "the live journal needs it: " << why; \
    } while (0)

}  // namespace
