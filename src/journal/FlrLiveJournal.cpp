// The live journal: fanotify events on the watched folders' file systems
// read, placed in their pair and turned into journal records with
// sequence numbers. This file reads and places them (folder paths by
// handle, drain marks, resyncs); FlrLiveJournalEvents.cpp says what each
// event becomes.
#include "FlrLiveJournal.h"

#include <fcntl.h>
#include <sys/fanotify.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <ctime>
#include <utility>

#include "FLR/FlrRawJournal.h"
#include "FLR/JxException.h"
#include "FlrLiveNameCheck.h"
#include "platform/EvDebug.h"
#include "platform/FlrDriver.h"
#include "platform/JxFile.h"
#include "platform/JxSeqCounter.h"

namespace {

constexpr size_t kMaxCachedDirs = 65536;
constexpr size_t kMaxDrainMarks = 4096;
constexpr auto kSaveEvery = std::chrono::seconds(1);

}  // namespace

FlrLiveJournal::FlrLiveJournal(std::vector<FlrLiveFolder> folders, Options options)
    : FlrLiveJournal(std::move(folders), std::move(options), JxSeqCounter::host()) {}

FlrLiveJournal::FlrLiveJournal(std::vector<FlrLiveFolder> folders, Options options,
                               JxSeqCounter& counter)
    : folders_(std::move(folders)),
      options_(std::move(options)),
      counter_(counter),
      names_(std::make_unique<FlrLiveNameCheck>()) {
    ::clock_gettime(CLOCK_REALTIME, &drainedAt_);
    fan_ = std::make_unique<JxFanotify>(options_.boundedQueue);
    openFileSystems();
    // Files born from here on are new; an entry naming an older file is a link.
    // The clock the kernel stamps new files with: a file made a moment later
    // within the same tick must not look older than the watch.
    ::clock_gettime(CLOCK_REALTIME_COARSE, &bornAfter_);
    loadState();
    lastSeq_ = counter_.next();  // the start mark: every later change numbers above it
    // A queue just made is empty: every record comes from an event after now.
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    drainMarks_.push_back({lastSeq_.load(), now});
    saveState();
    savedAt_ = std::chrono::steady_clock::now();
}

FlrLiveJournal::~FlrLiveJournal() {
    try {
        saveState();
    } catch (const JxException& e) {
        EvDebug::Error("FlrLiveJournal", "%s", e.getMessage().c_str());
    }
    for (auto& fs : fileSystems_) ::close(fs.fd);
}

void FlrLiveJournal::openFileSystems() {
    for (auto& folder : folders_) {
        dev_t dev = 0;
        folder.path = JxFanotify::realDir(folder.path, &dev);
        const uint64_t fsid = fan_->markFileSystem(folder.path);
        const bool known = std::any_of(fileSystems_.begin(), fileSystems_.end(),
                                       [&](const FileSystem& fs) { return fs.fsid == fsid; });
        if (known) continue;
        jx::File f = jx::openFile(folder.path, O_RDONLY | O_DIRECTORY);
        if (!f) JX_THROW_ERRNO("FlrLiveJournal", "Failed to open folder " + folder.path, errno);
        fileSystems_.push_back({fsid, dev, f.release()});
    }
}

void FlrLiveJournal::loadState() {
    if (options_.stateFile.empty()) return;
    std::string text;
    if (!jx::readFileIfExists(options_.stateFile, &text, "live journal state", "FlrLiveJournal"))
        return;
    unsigned long long seq = 0;
    if (std::sscanf(text.c_str(), "last_seq %llu", &seq) != 1) seq = 0;
    for (size_t i = 0; i < folders_.size(); ++i)
        resyncs_.push_back({folders_[i].pairId, seq, "journal source restarted"});
}

void FlrLiveJournal::saveState() {
    if (options_.stateFile.empty()) return;
    std::lock_guard<std::mutex> lock(mutex_);
    jx::replaceFile(options_.stateFile, "last_seq " + std::to_string(lastSeq_.load()) + "\n", 0644,
                    "live journal state", "FlrLiveJournal");
}

void FlrLiveJournal::stop() {
    fan_->wake();
    saveState();
}

std::vector<FlrLiveResync> FlrLiveJournal::takeResyncs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(resyncs_, {});
}

std::vector<FlrLiveResend> FlrLiveJournal::takeResends() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(resends_, {});
}

bool FlrLiveJournal::next(std::vector<uint8_t>& record, int timeoutMs) {
    return next(record, timeoutMs, nullptr);
}

bool FlrLiveJournal::next(std::vector<uint8_t>& record, int timeoutMs, int* folder) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0));
    for (;;) {
        if (fan_->woken()) return false;
        releaseHeldRenameIfDue();
        if (ready_.empty()) flushDue();
        if (!ready_.empty()) {
            record = std::move(ready_.front().record);
            if (folder) *folder = ready_.front().folder;
            ready_.pop_front();
            if (Clock::now() - savedAt_ >= kSaveEvery) {
                saveState();
                savedAt_ = Clock::now();
            }
            return true;
        }
        int wait = msUntilNextFlush();
        if (const int held = msUntilHeldRenameDue(); held >= 0)
            wait = wait < 0 ? held : std::min(wait, held);
        if (timeoutMs >= 0) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0 && timeoutMs > 0) return false;
            const int leftMs = int(std::max<int64_t>(left.count(), 0));
            wait = wait < 0 ? leftMs : std::min(wait, leftMs);
        }
        struct timespec wall;
        ::clock_gettime(CLOCK_REALTIME, &wall);
        // Names are checked while the queue is empty, and at most every few
        // milliseconds: a wait that ends at once leaves them to the next.
        if (names_->due(Clock::now())) wait = 0;
        const JxFanotify::Wait got = fan_->wait(wait);
        if (got == JxFanotify::Wait::Woken) return false;
        if (got == JxFanotify::Wait::Timeout) {
            drainedAt_ = wall;
            noteDrain(wall);
            checkNames(true);
            if (timeoutMs == 0) return false;
            continue;
        }
        events_.clear();
        fan_->read(events_);
        for (const auto& ev : events_) {
            try {
                process(ev);
            } catch (const JxException& e) {
                // One bad event costs a resync of what it touched, never the journal.
                EvDebug::Error("FlrLiveJournal::next", "%s", e.getMessage().c_str());
                resyncAll("failed to journal an event");
            }
        }
        checkNames(false);
    }
}

// A name the records leave wrong for good asks for a resync of its pair.
void FlrLiveJournal::checkNames(bool drained) {
    if (names_->full()) {
        // A burst the reader never catches up with: most of its names agree
        // already and go; a list still half full is given up for a resync
        // (a scan of every pair) rather than checked again and again.
        names_->dropAgreeing();
        if (names_->size() >= FlrLiveNameCheck::kMaxNames / 2) {
            names_->clear();
            resyncAll("too many changed names to check");
        }
    } else if (drained && names_->due(std::chrono::steady_clock::now())) {
        for (int pair : names_->check(std::chrono::steady_clock::now()))
            resync(pair, "a change the event queue folded into another");
    }
    struct timespec t;
    unsettledNs_ = names_->oldest(&t) ? int64_t(t.tv_sec) * 1'000'000'000 + t.tv_nsec : 0;
}

bool FlrLiveJournal::settle() {
    const std::vector<int> wrong = names_->check(std::chrono::steady_clock::now());
    for (int pair : wrong) resync(pair, "a change the event queue folded into another");
    checkNames(false);
    return wrong.empty();
}

void FlrLiveJournal::noteDrain(const struct timespec& wall) {
    const uint64_t seq = lastSeq_.load();
    {
        std::lock_guard<std::mutex> lock(drainMutex_);
        // Only a drain after new records tells something new.
        if (!drainMarks_.empty() && drainMarks_.back().seq == seq) {
            drainMarks_.back().wall = wall;
        } else {
            drainMarks_.push_back({seq, wall});
            if (drainMarks_.size() > kMaxDrainMarks) drainMarks_.pop_front();
        }
    }
    seqAtDrain_.store(seq);
    drains_.fetch_add(1);
}

bool FlrLiveJournal::drainedBefore(uint64_t seq, struct timespec* at) const {
    std::lock_guard<std::mutex> lock(drainMutex_);
    for (auto it = drainMarks_.rbegin(); it != drainMarks_.rend(); ++it) {
        if (it->seq <= seq) {
            *at = it->wall;
            return true;
        }
    }
    return false;
}

bool FlrLiveJournal::unsettledSince(struct timespec* at) const {
    const int64_t ns = unsettledNs_.load();
    if (ns == 0) return false;
    at->tv_sec = time_t(ns / 1'000'000'000);
    at->tv_nsec = long(ns % 1'000'000'000);
    return true;
}

void FlrLiveJournal::expectMoved(const Where& w, const JxFanEvent& ev) {
    expectAt(w, ev.oldDir, ev.oldName, nullptr);
    expectAt(w, ev.newDir, ev.newName, &ev.object);
}

void FlrLiveJournal::expectAt(const Where& w, const JxFanHandle& dir, const std::string& name,
                              const JxFanHandle* object) {
    names_->expect(w.fs->fd, w.pair, dir, name, object, drainedAt_);
}

void FlrLiveJournal::process(const JxFanEvent& ev) {
    if (ev.overflow()) {
        releaseHeldRename();
        resyncAll("event queue overflow");
        names_->clear();
        dirPaths_.clear();
        return;
    }
    // Other threads' events can come between the two halves of an exchange;
    // only a change of a name in its folders ends the wait for the second.
    const bool exchanged = (ev.mask & FAN_RENAME) && completesExchange(ev);
    if (!exchanged && touchesHeldRename(ev)) releaseHeldRename();
    if ((ev.mask & FAN_RENAME) && !exchanged) onRename(ev);
    if (!ev.hasDir) return;
    const Where w = locateDir(ev.dir);
    if (w.pair < 0) return;
    // The kernel folds a removal and a creation of the same name and file
    // into one event: the order is lost, so the name's state now decides it.
    const bool bothWays = (ev.mask & FAN_CREATE) && (ev.mask & FAN_DELETE);
    const bool deleteFirst =
        bothWays && ev.hasObject && FlrLiveNameCheck::holds(w.fs->fd, ev.dir, ev.name, ev.object);
    if (deleteFirst) onDelete(ev, w);
    if (ev.mask & FAN_CREATE) onCreate(ev, w);
    if (ev.mask & FAN_MODIFY) markDirty(ev, w);
    if (ev.mask & FAN_ATTRIB) onAttrib(ev, w);
    if ((ev.mask & FAN_CLOSE_WRITE) && ev.hasObject) flushDirty(ev.object);
    if ((ev.mask & FAN_DELETE) && !deleteFirst) onDelete(ev, w);
}

const FlrLiveJournal::FileSystem* FlrLiveJournal::fileSystemOf(const JxFanHandle& h) const {
    for (const auto& fs : fileSystems_)
        if (fs.fsid == h.fsid) return &fs;
    return nullptr;
}

FlrLiveJournal::Where FlrLiveJournal::locateDir(const JxFanHandle& dir) {
    Where w;
    w.fs = fileSystemOf(dir);
    if (!w.fs) return w;
    const std::string key = FlrLiveNameCheck::keyOf(dir);
    auto it = dirPaths_.find(key);
    if (it == dirPaths_.end()) {
        std::string path;
        if (!JxFanotify::dirPath(w.fs->fd, dir, path)) return placeRemovedDir(w, key);
        if (dirPaths_.size() >= kMaxCachedDirs) dirPaths_.clear();
        it = dirPaths_.emplace(key, std::move(path)).first;
    }
    const std::string& path = it->second;
    size_t best = 0;
    for (size_t i = 0; i < folders_.size(); ++i) {
        const std::string& root = folders_[i].path;
        const bool inside =
            path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                             (root == "/" || path[root.size()] == '/'));
        if (inside && root.size() >= best) {
            best = root.size();
            w.pair = int(i);
            w.relPath = path == root ? "" : path.substr(root == "/" ? 1 : root.size() + 1);
        }
    }
    if (w.pair >= 0) rememberPairOf(key, w.pair);
    return w;
}

void FlrLiveJournal::rememberPairOf(const std::string& key, int pair) {
    if (pairOfDir_.size() >= kMaxCachedDirs) pairOfDir_.clear();
    pairOfDir_[key] = pair;
}

// A folder removed before its events were read (rm -rf) has no path left,
// yet its children's removals must reach the tail or the folder's own
// removal fails there: a directory seen inside a pair stays in it.
FlrLiveJournal::Where FlrLiveJournal::placeRemovedDir(Where w, const std::string& key) {
    w.gone = true;
    const auto it = pairOfDir_.find(key);
    if (it != pairOfDir_.end()) w.pair = it->second;
    return w;
}

bool FlrLiveJournal::fidOf(const JxFanHandle& h, int pair, fsf_fid& fid) {
    std::string why;
    if (FlrDriver::packHandle(h.type, h.bytes, h.length, fid, &why)) return true;
    EvDebug::Error("FlrLiveJournal", "a file of %s: %s", folders_[size_t(pair)].path.c_str(),
                   why.c_str());
    resync(pair, "file id does not fit");
    return false;
}

void FlrLiveJournal::resync(int pair, const std::string& reason) {
    std::lock_guard<std::mutex> lock(mutex_);
    const int id = folders_[size_t(pair)].pairId;
    for (const auto& r : resyncs_)
        if (r.pairId == id) return;  // the earlier one covers this
    resyncs_.push_back({id, lastSeq_.load(), reason});
}

void FlrLiveJournal::resyncAll(const std::string& reason) {
    for (size_t i = 0; i < folders_.size(); ++i) resync(int(i), reason);
}
