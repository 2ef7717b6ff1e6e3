// Several watched pairs over one live journal: a thread per pair runs its
// watcher on its feed of the shared journal, and starts it again after a
// failure, so one pair whose tail is down leaves the others replicating.
#include <algorithm>
#include <chrono>
#include <set>

#include "FLR/FlrWatcher.h"
#include "FLR/JxException.h"
#include "FlrWatcherImpl.h"
#include "journal/FlrLiveShare.h"
#include "platform/EvDebug.h"

namespace {
constexpr const char* kGroupFn = "FlrWatchGroup";
}  // namespace

struct FlrWatchGroup::Slot {
    FlrWatchOptions options;
    std::unique_ptr<FlrWatcher> watcher;  // while one runs
    FlrWatchState last;                   // of the last one, once it ended
    std::thread thread;
};

FlrWatchGroup::FlrWatchGroup(FlrWatchGroupOptions options) : options_(std::move(options)) {}

FlrWatchGroup::~FlrWatchGroup() {
    stop();
    stopPairs();
}

// Stops every pair's watcher and waits for their threads; no watcher starts
// after it.
void FlrWatchGroup::stopPairs() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        for (auto& s : slots_)
            if (s->watcher) s->watcher->stop();
    }
    wake_.notify_all();
    // The reader settles once every pair has stopped taking records.
    if (share_) share_->beginStop();
    for (auto& s : slots_)
        if (s->thread.joinable()) s->thread.join();
}

void FlrWatchGroup::setStatusListener(std::function<void(size_t, const FlrWatchState&)> fn) {
    listener_ = std::move(fn);
}

std::vector<FlrWatchState> FlrWatchGroup::states() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<FlrWatchState> out;
    for (const auto& s : slots_) out.push_back(s->watcher ? s->watcher->state() : s->last);
    return out;
}

void FlrWatchGroup::run() {
    if (options_.pairs.empty()) JX_THROW(kGroupFn, "No pair to watch");
    const FlrWatchOptions& first = options_.pairs.front();
    std::vector<std::string> sources;
    std::set<std::string> states;
    for (FlrWatchOptions& o : options_.pairs) {
        // One journal, one flush delay: each pair's gate reckons with it.
        o.smallFileMax = first.smallFileMax;
        o.flushDelayMs = first.flushDelayMs;
        o.boundedQueue = first.boundedQueue;
        sources.push_back(FlrReplicator::absolutePath(o.replicate.source));
        if (!states.insert(FlrWatcher(o).stateDir()).second)
            JX_THROW(kGroupFn, "The pair " + o.replicate.source + " -> " + o.replicate.target +
                                   " is given twice");
    }
    share_ = flrWatchShare(sources, first);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const FlrWatchOptions& o : options_.pairs) {
            slots_.push_back(std::make_unique<Slot>());
            slots_.back()->options = o;
            slots_.back()->last.source = sources[slots_.size() - 1];
            slots_.back()->last.target = o.replicate.target;
        }
    }
    for (size_t i = 0; i < slots_.size(); ++i)
        slots_[i]->thread = std::thread([this, i] { runPair(i); });
    while (!stop_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stopPairs();
    share_.reset();
}

void FlrWatchGroup::runPair(size_t i) {
    Slot& slot = *slots_[i];
    FlrLiveFeed& feed = share_->feed(i);
    for (;;) {
        FlrWatcher* w = nullptr;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) break;
            slot.watcher = std::make_unique<FlrWatcher>(slot.options);
            w = slot.watcher.get();
            w->feed_ = &feed;
            if (listener_)
                w->setStatusListener([this, i](const FlrWatchState& s) { listener_(i, s); });
        }
        std::string failure;
        try {
            w->run();
        } catch (const JxException& e) {
            failure = e.getMessage();
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            slot.last = w->state();
            if (!failure.empty()) {
                slot.last.phase = "failed";
                slot.last.error = failure;
            }
            slot.watcher.reset();
        }
        feed.stop();                 // a watcher that failed to start never took it
        if (failure.empty()) break;  // stopped
        if (listener_) listener_(i, slot.last);
        EvDebug::Error(kGroupFn, "The watch of %s -> %s failed, started again in %d s: %s",
                       slot.last.source.c_str(), slot.options.replicate.target.c_str(),
                       options_.retrySeconds, failure.c_str());
        waitToRetry();
    }
}

void FlrWatchGroup::waitToRetry() {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto until =
        std::chrono::steady_clock::now() + std::chrono::seconds(options_.retrySeconds);
    while (!stopping_ && !stop_.load() && std::chrono::steady_clock::now() < until)
        wake_.wait_for(lock, std::chrono::milliseconds(100));
}
