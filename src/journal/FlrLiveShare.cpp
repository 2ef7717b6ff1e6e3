#include "FlrLiveShare.h"

#include <algorithm>
#include <utility>

#include "FLR/JxException.h"
#include "platform/EvDebug.h"
#include "platform/JxFanotify.h"
#include "platform/JxFile.h"
#include "platform/JxThread.h"

namespace {

constexpr const char* kShareFn = "FlrLiveShare";
// The reader's wait for the kernel: an idle read of a feed needs two drains
// after it began, so this is well below the readers' own waits.
constexpr int kReadMs = 20;
// Drains whose record number changed, remembered per pair: a watcher asks
// for the first one after its scan ended, a moment ago.
constexpr size_t kDrainHistory = 1024;
constexpr int kReaderNice = 10;

}  // namespace

FlrLiveShare::FlrLiveShare(const std::vector<std::string>& sources, FlrLiveJournal::Options options,
                           size_t maxQueuedBytes, JxSeqCounter* counter)
    : maxQueued_(maxQueuedBytes) {
    std::vector<std::string> real;
    for (const std::string& s : sources) {
        dev_t dev = 0;
        const std::string path = JxFanotify::realDir(s, &dev);
        size_t folder = real.size();
        for (size_t i = 0; i < real.size(); ++i) {
            if (real[i] == path) {
                folder = i;
                break;
            }
            if (jx::pathWithin(path, real[i]) || jx::pathWithin(real[i], path))
                JX_THROW(kShareFn, "The watched folders " + real[i] + " and " + path +
                                       " lie one inside the other; watch them apart");
        }
        if (folder == real.size()) {
            real.push_back(path);
            feedsOf_.emplace_back();
            // The folder's index is its id in the live journal's resyncs and resends.
            folders_.push_back({int(folder), path});
        }
        feedsOf_[folder].push_back(feeds_.size());
        feeds_.push_back(std::unique_ptr<FlrLiveFeed>(new FlrLiveFeed(*this, folder)));
    }
    live_ = counter ? std::make_unique<FlrLiveJournal>(folders_, std::move(options), *counter)
                    : std::make_unique<FlrLiveJournal>(folders_, std::move(options));
    reader_ = std::thread([this] { read(); });
}

FlrLiveShare::~FlrLiveShare() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        readerStopped_ = true;
        for (auto& f : feeds_) f->stopped_ = true;
    }
    live_->stop();
    if (reader_.joinable()) reader_.join();
}

void FlrLiveShare::beginStop() {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    stopReaderIfDoneLocked();
}

void FlrLiveShare::stopReaderIfDoneLocked() {
    if (!stopping_ || readerStopped_) return;
    if (!std::all_of(feeds_.begin(), feeds_.end(), [](const auto& f) { return f->stopped_; }))
        return;
    readerStopped_ = true;
    live_->stop();
}

void FlrLiveShare::read() {
    // Below the programs whose changes it reads, as a local tail's applying
    // is: under a burst the kernel holds their events a moment longer (its
    // queue is unlimited) rather than the reader taking a processor from
    // them for every event.
    JxThread::setNice(kReaderNice);
    std::vector<uint8_t> record;
    try {
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (readerStopped_) break;
            }
            int folder = -1;
            const bool got = live_->next(record, kReadMs, &folder);
            std::lock_guard<std::mutex> lock(mutex_);
            // A drain noted by the call that returned a record came before
            // that record was made: every earlier one is handed out already.
            if (live_->drains() != seenDrains_) noteDrainLocked();
            if (got && folder >= 0 && size_t(folder) < feedsOf_.size())
                dispatchLocked(size_t(folder), record);
        }
    } catch (const JxException& e) {
        std::lock_guard<std::mutex> lock(mutex_);
        error_ = e.getMessage();
        for (auto& f : feeds_) f->ready_.notify_all();
    }
    finish();
}

void FlrLiveShare::noteDrainLocked() {
    seenDrains_ = live_->drains();
    ++drainGen_;
    for (auto& f : feeds_) {
        auto& history = f->drainHistory_;
        if (!history.empty() && history.back().second == f->lastQueued_) continue;
        history.emplace_back(drainGen_, f->lastQueued_);
        if (history.size() > kDrainHistory) history.pop_front();
    }
}

void FlrLiveShare::dispatchLocked(size_t folder, std::vector<uint8_t>& record) {
    const uint64_t seq = flrRecordSeq(record);
    const std::vector<size_t>& feeds = feedsOf_[folder];
    for (size_t i = 0; i < feeds.size(); ++i) {
        FlrLiveFeed& f = *feeds_[feeds[i]];
        if (i + 1 == feeds.size())
            queueLocked(f, std::move(record), seq);
        else
            queueLocked(f, record, seq);
    }
}

void FlrLiveShare::queueLocked(FlrLiveFeed& f, std::vector<uint8_t> record, uint64_t seq) {
    const uint64_t before = f.lastQueued_;
    f.lastQueued_ = seq;
    if (f.stopped_) return;
    if (f.queuedBytes_ + record.size() > maxQueued_) {
        // A pair busy for long (a scan) while its folder keeps changing: the
        // records it missed are covered by a scan, as after a lost event.
        // Said even beside another pending resync: the log tells why.
        const bool said = std::any_of(f.resyncs_.begin(), f.resyncs_.end(), [](const auto& r) {
            return r.reason.rfind("event queue overflow", 0) == 0;
        });
        if (!said) {
            EvDebug::Warning(kShareFn, "%s: %zu bytes of records waiting, dropped for a resync",
                             folders_[f.folder_].path.c_str(), f.queuedBytes_);
            f.resyncs_.push_back({int(f.folder_), before,
                                  "event queue overflow: records dropped while the pair was busy"});
        }
        f.queue_.clear();
        f.queuedBytes_ = 0;
    }
    f.queuedBytes_ += record.size();
    f.queue_.push_back(std::move(record));
    f.ready_.notify_one();
}

// Resyncs and resends the live journal raised go to the pairs of their
// folder, stopped ones too: a stopping watcher still asks whether a resync
// came before its stop, and a restart clears them.
void FlrLiveShare::collectLocked() {
    for (FlrLiveResync& r : live_->takeResyncs())
        for (size_t i : feedsOf_[size_t(r.pairId)]) feeds_[i]->resyncs_.push_back(r);
    for (FlrLiveResend& r : live_->takeResends())
        for (size_t i : feedsOf_[size_t(r.pairId)]) feeds_[i]->resends_.push_back(r);
}

// On the reader, once it no longer reads: every name is checked once more,
// and a pair with a name that disagrees records no consistent point.
void FlrLiveShare::finish() {
    std::vector<FlrLiveResync> wrong;
    try {
        live_->settle();
        wrong = live_->takeResyncs();
    } catch (const JxException& e) {
        EvDebug::Error(kShareFn, "%s", e.getMessage().c_str());
        wrong.clear();
        for (const FlrLiveFolder& f : folders_) wrong.push_back({f.pairId, 0, "settle failed"});
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (const FlrLiveResync& r : wrong)
        for (size_t i : feedsOf_[size_t(r.pairId)]) feeds_[i]->settleFailed_ = true;
    settledDone_ = true;
    settled_.notify_all();
}

// --- a pair's feed ----------------------------------------------------------

bool FlrLiveFeed::next(std::vector<uint8_t>& record, int timeoutMs) {
    std::unique_lock<std::mutex> lock(share_.mutex_);
    idle_ = false;
    const auto failed = [this] { return !share_.error_.empty(); };
    if (failed()) JX_THROW(kShareFn, "The live journal failed: " + share_.error_);
    if (stopped_) return false;
    const uint64_t drainsAtStart = share_.drainGen_;
    ready_.wait_for(lock, std::chrono::milliseconds(std::max(timeoutMs, 0)),
                    [&] { return !queue_.empty() || stopped_ || failed(); });
    if (failed()) JX_THROW(kShareFn, "The live journal failed: " + share_.error_);
    if (stopped_) return false;
    if (!queue_.empty()) {
        record = std::move(queue_.front());
        queue_.pop_front();
        queuedBytes_ -= record.size();
        return true;
    }
    // The first drain counted may have begun before this call; the second
    // began after it.
    idle_ = !share_.readerStopped_ && share_.drainGen_ >= drainsAtStart + 2;
    return false;
}

bool FlrLiveFeed::emptyWasIdle() const {
    std::lock_guard<std::mutex> lock(share_.mutex_);
    return idle_;
}

void FlrLiveFeed::restart() {
    std::lock_guard<std::mutex> lock(share_.mutex_);
    share_.collectLocked();
    queue_.clear();
    queuedBytes_ = 0;
    resyncs_.clear();
    resends_.clear();
    stopped_ = false;
    idle_ = false;
    settleFailed_ = false;
}

void FlrLiveFeed::stop() {
    std::lock_guard<std::mutex> lock(share_.mutex_);
    stopped_ = true;
    queue_.clear();
    queuedBytes_ = 0;
    ready_.notify_all();
    share_.stopReaderIfDoneLocked();
}

bool FlrLiveFeed::settle(std::chrono::steady_clock::time_point until) {
    std::unique_lock<std::mutex> lock(share_.mutex_);
    share_.settled_.wait_until(lock, until, [this] { return share_.settledDone_; });
    return share_.settledDone_ && !settleFailed_;
}

std::vector<FlrLiveResync> FlrLiveFeed::takeResyncs() {
    std::lock_guard<std::mutex> lock(share_.mutex_);
    share_.collectLocked();
    return std::exchange(resyncs_, {});
}

std::vector<FlrLiveResend> FlrLiveFeed::takeResends() {
    std::lock_guard<std::mutex> lock(share_.mutex_);
    share_.collectLocked();
    return std::exchange(resends_, {});
}

uint64_t FlrLiveFeed::drains() const {
    std::lock_guard<std::mutex> lock(share_.mutex_);
    return share_.drainGen_;
}

uint64_t FlrLiveFeed::lastSeqAtDrainAfter(uint64_t drains) const {
    std::lock_guard<std::mutex> lock(share_.mutex_);
    uint64_t at = drainHistory_.empty() ? 0 : drainHistory_.front().second;
    for (const auto& [gen, seq] : drainHistory_) {
        if (gen > drains + 1) break;
        at = seq;
    }
    return at;
}

bool FlrLiveFeed::drainedBefore(uint64_t seq, struct timespec* at) const {
    return share_.live_->drainedBefore(seq, at);
}

bool FlrLiveFeed::unsettledSince(struct timespec* at) const {
    return share_.live_->unsettledSince(at);
}

uint64_t FlrLiveFeed::lastSeq() const {
    return share_.live_->lastSeq();
}
