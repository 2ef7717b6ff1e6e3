// flr replicate --watch: the watch as a command runs it. Signals map to a
// clean stop, the status line goes to the terminal or the log, systemd hears
// when it is ready and that it lives, and a declared pair is read again on
// SIGHUP.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "FLR/FlrWatcher.h"
#include "FLR/JxException.h"
#include "Printable.h"
#include "ReplicateWatch.h"
#include "platform/EvDebug.h"
#include "platform/JxSystemd.h"
#include "service/FlrMetrics.h"

namespace {

// The watch being run; the first SIGINT/SIGTERM asks it to stop cleanly, a
// second one ends the process at once (the journal's cache is durable).
void onHangup(int);

FlrWatcher* gWatcher = nullptr;
FlrWatchGroup* gGroup = nullptr;
volatile sig_atomic_t gSignals = 0;

void onStopSignal(int sig) {
    if (gSignals) ::_exit(128 + sig);
    gSignals = 1;
    if (gWatcher) gWatcher->stop();
    if (gGroup) gGroup->stop();
}

void installSignals() {
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = onHangup;
    ::sigaction(SIGHUP, &sa, nullptr);
}

// SIGHUP (logrotate, `systemctl reload`) asks for the log file to be opened
// anew; the watch's loop does it, as opening a file is no work for a handler.
volatile sig_atomic_t gReopenLog = 0;

void onHangup(int) {
    gReopenLog = 1;
}

// True when a SIGHUP came since the last call.
bool reopenLogIfAsked(const std::string& logFile) {
    if (!gReopenLog) return false;
    gReopenLog = 0;
    if (logFile.empty()) return true;
    // On failure the file open until now stays the log.
    if (const int err = EvDebug::teeToFile(logFile, std::max(1, EvDebug::getLevel())))
        std::fprintf(stderr, "flr replicate: couldn't reopen the log file %s: %s\n",
                     logFile.c_str(), std::strerror(err));
    else
        EvDebug::Debug("flr replicate", "Log file reopened");
    return true;
}

std::string watchLine(const FlrWatchState& s) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "watch %s: %.0f records/s, lag %llu records %.0f s, %s/s, %llu resyncs, %s",
                  s.phase.c_str(), s.recordsPerSecond, (unsigned long long)s.lagRecords,
                  s.lagSeconds, humanBytes(s.bytesPerSecond).c_str(), (unsigned long long)s.resyncs,
                  s.connected ? "connected" : "not connected");
    return text;
}

// The status line: rewritten in place on a terminal, else a line a minute.
class StatusLine {
  public:
    explicit StatusLine(bool quiet) : quiet_(quiet), tty_(!quiet && ::isatty(STDERR_FILENO)) {}
    // However the watch ends, its line leaves the terminal.
    ~StatusLine() { clear(); }
    void clear() {
        if (tty_ && shown_) std::fprintf(stderr, "\r\x1b[K");
        shown_ = false;
    }
    void show(const std::string& line) {
        if (tty_) {
            std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
            shown_ = true;
        } else if (!quiet_ && ::time(nullptr) - lastLog_ >= 60) {
            lastLog_ = ::time(nullptr);
            std::fprintf(stderr, "%s\n", line.c_str());
        }
        std::fflush(stderr);
    }

  private:
    const bool quiet_, tty_;
    bool shown_ = false;
    time_t lastLog_ = 0;
};

// The signal handlers' target while it lives.
template <class T>
class SignalTarget {
  public:
    SignalTarget(T*& global, T& target) : global_(global) { global_ = &target; }
    ~SignalTarget() { global_ = nullptr; }

  private:
    T*& global_;
};

// --metrics [ADDR:]PORT: Prometheus figures while the watch runs.
std::unique_ptr<JxMetricsServer> serveWatchMetrics(const std::string& metricsAt,
                                                   const FlrWatcher& watcher) {
    if (metricsAt.empty()) return nullptr;
    auto server = flrServeMetrics(metricsAt, [&watcher] {
        FlrMetricsText text;
        flrWatchMetrics(watcher.state(), text);
        return text.text();
    });
    std::printf("flr replicate: metrics on http://%s/metrics\n", server->address().c_str());
    std::fflush(stdout);
    return server;
}

// What systemd hears from a watch run as a Type=notify service: ready once
// the first run is done and changes are followed, then its status line.
class WatchNotes {
  public:
    void onState(const FlrWatchState& s, const std::string& line) {
        beat_.store(std::chrono::steady_clock::now().time_since_epoch().count());
        std::string note;
        if (!ready_ && s.phase == "watching") {
            ready_ = true;
            note = "READY=1\n";
        }
        if (!note.empty() || s.phase != phase_ || ::time(nullptr) - statusAt_ >= 10) {
            phase_ = s.phase;
            statusAt_ = ::time(nullptr);
            jx::systemdNotify(note + "STATUS=" + line);
        }
    }
    // Runs (the first one, a resync, a resend) report only when they end;
    // otherwise the watch's loop reports every second.
    bool alive(const FlrWatcher& w) const {
        const std::string phase = w.state().phase;
        if (phase != "watching") return true;
        const auto since = std::chrono::steady_clock::now().time_since_epoch().count() - beat_;
        return since < std::chrono::steady_clock::duration(std::chrono::seconds(30)).count();
    }

  private:
    bool ready_ = false;
    std::string phase_;
    time_t statusAt_ = 0;
    std::atomic<std::chrono::steady_clock::rep> beat_{
        std::chrono::steady_clock::now().time_since_epoch().count()};
};

// One watch until it stops; true when it stopped to start again with *opts.
bool watchOnce(FlrReplicateOptions* opts, const WatchCommand& c) {
    const bool quiet = c.quiet;
    const std::string& logFile = c.logFile;
    const PairRereader& reread = c.reread;
    FlrWatchOptions wo;
    wo.replicate = *opts;
    FlrWatcher watcher(wo);
    // Stopped (by its destructor) before the watcher goes.
    const std::unique_ptr<JxMetricsServer> metrics = serveWatchMetrics(c.metricsAt, watcher);
    WatchNotes notes;
    bool restart = false;
    StatusLine status(quiet);
    watcher.setStatusListener([&](const FlrWatchState& s) {
        if (reopenLogIfAsked(logFile) && reread && !restart) {
            try {
                restart = reread(wo.replicate, opts);
            } catch (const JxException& e) {
                std::fprintf(stderr, "flr replicate: the pair's settings are kept: %s\n",
                             e.getMessage().c_str());
            }
            if (restart) watcher.stop();
        }
        notes.onState(s, watchLine(s));
        status.show(watchLine(s));
    });
    {
        const SignalTarget<FlrWatcher> target(gWatcher, watcher);
        const jx::JxSystemdWatchdog watchdog([&] { return notes.alive(watcher); });
        watcher.run();
    }
    status.clear();
    const FlrWatchState s = watcher.state();
    std::printf(
        "flr replicate: watch of %s -> %s stopped; first run %s, %llu records sent, %llu files "
        "resent, %llu resyncs\n",
        wo.replicate.source.c_str(), wo.replicate.target.c_str(), s.lastRunScan.c_str(),
        (unsigned long long)s.sent, (unsigned long long)s.resentFiles,
        (unsigned long long)s.resyncs);
    return restart && !gSignals;
}

// --- several pairs over one live journal -----------------------------------

// What a group shows: each pair's last state, updated from the pairs' threads.
class GroupView {
  public:
    explicit GroupView(size_t pairs) : states_(pairs) {}
    // True the first time every pair has been watching or has failed.
    bool update(size_t i, const FlrWatchState& s) {
        std::lock_guard<std::mutex> g(mutex_);
        states_[i] = s;
        beat_ = std::chrono::steady_clock::now();
        if (ready_) return false;
        ready_ = std::all_of(states_.begin(), states_.end(), [](const FlrWatchState& t) {
            return t.phase == "watching" || t.phase == "failed";
        });
        return ready_;
    }
    std::string line() const {
        std::lock_guard<std::mutex> g(mutex_);
        size_t watching = 0, failed = 0, connected = 0;
        double records = 0, bytes = 0, lagSeconds = 0;
        unsigned long long lag = 0, resyncs = 0;
        for (const FlrWatchState& t : states_) {
            watching += t.phase == "watching";
            failed += t.phase == "failed";
            connected += t.connected;
            records += t.recordsPerSecond;
            bytes += t.bytesPerSecond;
            lag = std::max<unsigned long long>(lag, t.lagRecords);
            lagSeconds = std::max(lagSeconds, t.lagSeconds);
            resyncs += t.resyncs;
        }
        char text[256];
        std::snprintf(text, sizeof text,
                      "watch of %zu pairs: %zu watching, %zu failed, %.0f records/s, lag at most "
                      "%llu records %.0f s, %s/s, %llu resyncs, %zu connected",
                      states_.size(), watching, failed, records, lag, lagSeconds,
                      humanBytes(bytes).c_str(), resyncs, connected);
        return text;
    }
    // The pairs' threads report about once a second while watching.
    bool alive() const {
        std::lock_guard<std::mutex> g(mutex_);
        return std::chrono::steady_clock::now() - beat_ < std::chrono::seconds(30) ||
               std::any_of(states_.begin(), states_.end(),
                           [](const FlrWatchState& t) { return t.phase != "watching"; });
    }

  private:
    mutable std::mutex mutex_;  // guards everything below
    std::vector<FlrWatchState> states_;
    std::chrono::steady_clock::time_point beat_ = std::chrono::steady_clock::now();
    bool ready_ = false;
};

std::unique_ptr<JxMetricsServer> serveGroupMetrics(const std::string& metricsAt,
                                                   const FlrWatchGroup& group,
                                                   const std::vector<std::string>& names) {
    if (metricsAt.empty()) return nullptr;
    const double startedAt = static_cast<double>(::time(nullptr));
    auto server = flrServeMetrics(metricsAt, [&group, names, startedAt] {
        std::vector<std::pair<std::string, FlrWatchState>> pairs;
        const std::vector<FlrWatchState> states = group.states();
        for (size_t i = 0; i < states.size() && i < names.size(); ++i)
            pairs.emplace_back(names[i], states[i]);
        FlrMetricsText text;
        flrWatchGroupMetrics(pairs, startedAt, text);
        return text.text();
    });
    std::printf("flr replicate: metrics on http://%s/metrics\n", server->address().c_str());
    std::fflush(stdout);
    return server;
}

// One run of the group until it stops; true when it stopped to start again
// with *pairs.
bool watchGroupOnce(std::vector<FlrReplicateOptions>* pairs, std::vector<std::string>* names,
                    const WatchCommand& c, const GroupRereader& reread) {
    FlrWatchGroupOptions go;
    for (const FlrReplicateOptions& o : *pairs) {
        FlrWatchOptions wo;
        wo.replicate = o;
        go.pairs.push_back(std::move(wo));
    }
    FlrWatchGroup group(go);
    const std::unique_ptr<JxMetricsServer> metrics = serveGroupMetrics(c.metricsAt, group, *names);
    GroupView view(pairs->size());
    std::mutex noteMutex;  // one pair's thread at a time notes, logs and rereads
    time_t statusAt = 0;
    StatusLine status(c.quiet);
    bool restart = false;
    std::vector<FlrReplicateOptions> next;
    std::vector<std::string> nextNames;
    group.setStatusListener([&](size_t i, const FlrWatchState& s) {
        const bool ready = view.update(i, s);
        std::lock_guard<std::mutex> g(noteMutex);
        if (reopenLogIfAsked(c.logFile) && reread && !restart) {
            try {
                restart = reread(*pairs, &next, &nextNames);
            } catch (const JxException& e) {
                std::fprintf(stderr, "flr replicate: the pairs' settings are kept: %s\n",
                             e.getMessage().c_str());
            }
            if (restart) group.stop();
        }
        const std::string line = view.line();
        if (ready || ::time(nullptr) - statusAt >= 10) {
            statusAt = ::time(nullptr);
            jx::systemdNotify(std::string(ready ? "READY=1\n" : "") + "STATUS=" + line);
        }
        status.show(line);
    });
    {
        const SignalTarget<FlrWatchGroup> target(gGroup, group);
        const jx::JxSystemdWatchdog watchdog([&] { return view.alive(); });
        group.run();
    }
    status.clear();
    const std::vector<FlrWatchState> states = group.states();
    for (size_t i = 0; i < states.size(); ++i)
        std::printf(
            "flr replicate: watch of %s (%s -> %s) %s; %llu records sent, %llu files "
            "resent, %llu resyncs\n",
            (*names)[i].c_str(), (*pairs)[i].source.c_str(), (*pairs)[i].target.c_str(),
            states[i].phase.c_str(), (unsigned long long)states[i].sent,
            (unsigned long long)states[i].resentFiles, (unsigned long long)states[i].resyncs);
    if (!restart || gSignals) return false;
    *pairs = std::move(next);
    *names = std::move(nextNames);
    return true;
}

}  // namespace

void runWatch(FlrReplicateOptions opts, const WatchCommand& c) {
    installSignals();
    while (watchOnce(&opts, c)) {
        std::printf("flr replicate: the pair changed; watching again with its new settings\n");
        std::fflush(stdout);
    }
}

void runWatchGroup(std::vector<FlrReplicateOptions> pairs, std::vector<std::string> names,
                   const WatchCommand& c, const GroupRereader& reread) {
    installSignals();
    while (watchGroupOnce(&pairs, &names, c, reread)) {
        std::printf("flr replicate: the pairs changed; watching again with their new settings\n");
        std::fflush(stdout);
    }
}
