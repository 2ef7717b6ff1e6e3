// What each fanotify event becomes in the live journal: a creation, removal,
// rename (an exchange's two halves held until both are read), attribute
// change, or a write flushed as one record per file once it is closed or
// has waited long enough.
#include "FlrLiveJournal.h"

#include <sys/fanotify.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <ctime>
#include <utility>

#include "FLR/FlrRawJournal.h"
#include "FLR/JxException.h"
#include "FlrLiveNameCheck.h"
#include "platform/JxSeqCounter.h"

namespace {

constexpr size_t kMaxCreatedIds = 1 << 20;
// The two events of an exchange are queued by one call: the second is read
// with the first or moments later.
constexpr auto kExchangeWait = std::chrono::milliseconds(30);

std::string keyOf(const JxFanHandle& h) {
    return FlrLiveNameCheck::keyOf(h);
}

FlrJrnTime jrnTime(const struct timespec& t) {
    return {int64_t(t.tv_sec), int64_t(t.tv_nsec)};
}

bool before(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

std::string joinRel(const std::string& dir, const std::string& name) {
    return dir.empty() ? name : dir + "/" + name;
}

FlrJrnCommand blank(uint32_t code) {
    FlrJrnCommand c;
    std::memset(&c, 0, sizeof c);
    c.cmd = code;
    return c;
}

}  // namespace

bool FlrLiveJournal::touchesHeldRename(const JxFanEvent& ev) const {
    if (!heldRename_) return false;
    constexpr uint64_t kNames =
        FAN_CREATE | FAN_DELETE | FAN_RENAME | FAN_MOVED_FROM | FAN_MOVED_TO;
    if (!(ev.mask & kNames)) return false;
    const std::string from = keyOf(heldRename_->oldDir), to = keyOf(heldRename_->newDir);
    const auto either = [&](const JxFanHandle& d) {
        const std::string k = keyOf(d);
        return k == from || k == to;
    };
    return (ev.hasDir && either(ev.dir)) || (ev.hasOld && either(ev.oldDir)) ||
           (ev.hasNew && either(ev.newDir));
}

void FlrLiveJournal::emit(FlrJrnCommand& cmd, const Where& w) {
    const FileSystem& fs = *w.fs;
    cmd.seq_num = counter_.next();
    cmd.devt = uint64_t(fs.dev);
    cmd.timestamp = int32_t(::time(nullptr));
    const int size = getRawCmdSize(&cmd);
    if (size <= 0) JX_THROW("FlrLiveJournal", "A journal record too long to encode");
    std::vector<uint8_t> rec(static_cast<size_t>(size));
    encodeRawCmd(&cmd, rec.data());
    lastSeq_ = cmd.seq_num;
    ready_.push_back({w.pair, std::move(rec)});
}

bool FlrLiveJournal::isKnownCreated(const fsf_fid& fid) const {
    return created_.count(fid) != 0;
}

void FlrLiveJournal::rememberCreated(const fsf_fid& fid) {
    if (created_.size() >= kMaxCreatedIds) {
        // Forget them all, and treat every file born until now as old.
        created_.clear();
        ::clock_gettime(CLOCK_REALTIME_COARSE, &bornAfter_);
    }
    created_.insert(fid);
}

bool FlrLiveJournal::isLinkOfOldFile(const JxFanStat& st) const {
    if (S_ISDIR(st.st.st_mode) || st.st.st_nlink < 2) return false;
    // Without a birth time a second name is taken for a link.
    return !st.hasBirth || before(st.birth, bornAfter_);
}

void FlrLiveJournal::onCreate(const JxFanEvent& ev, const Where& w) {
    fsf_fid par, fid;
    if (!ev.hasObject) return resync(w.pair, "created entry without its file id");
    if (!fidOf(ev.dir, w.pair, par) || !fidOf(ev.object, w.pair, fid)) return;
    expectAt(w, ev.dir, ev.name, &ev.object);
    JxFanStat st{};
    const bool have = JxFanotify::statHandle(w.fs->fd, ev.object, st);
    std::string target;
    if (have && S_ISLNK(st.st.st_mode) && JxFanotify::readLink(w.fs->fd, ev.object, target)) {
        FlrJrnCommand c = blank(FLR_JRN_SYMLINK);
        c.symlink = {target.c_str(),        par, ev.name.c_str(), fid, uint64_t(st.st.st_uid),
                     uint64_t(st.st.st_gid)};
        emit(c, w);
        // The link record carries no times: without these the tail's copy
        // gets the time it was applied at.
        return emitSetattr(w, fid, st.st);
    }
    const bool dir = (ev.mask & FAN_ONDIR) != 0;
    if (!dir && (isKnownCreated(fid) || (have && isLinkOfOldFile(st)))) {
        FlrJrnCommand c = blank(FLR_JRN_LINK);
        c.link = {fid, par, ev.name.c_str()};
        return emit(c, w);
    }
    // Gone already: a removal follows; the record keeps the tail's names in step.
    if (!have) st.st.st_mode = dir ? (S_IFDIR | 0755) : (S_IFREG | 0644);
    FlrJrnCommand c = blank(dir ? FLR_JRN_MKDIR : FLR_JRN_CREATE);
    c.create = {par,
                fid,
                ev.name.c_str(),
                uint32_t(st.st.st_mode),
                uint64_t(st.st.st_uid),
                uint64_t(st.st.st_gid),
                jrnTime(st.st.st_atim),
                jrnTime(st.st.st_mtim),
                dir ? 0 : uint64_t(st.st.st_rdev)};
    if (!dir) rememberCreated(fid);
    emit(c, w);
}

void FlrLiveJournal::onDelete(const JxFanEvent& ev, const Where& w) {
    fsf_fid par, fid = fsf_fid::fid0;
    if (!fidOf(ev.dir, w.pair, par) || (ev.hasObject && !fidOf(ev.object, w.pair, fid))) return;
    expectAt(w, ev.dir, ev.name, nullptr);
    if (ev.mask & FAN_ONDIR) {
        if (ev.hasObject) {
            dirPaths_.erase(keyOf(ev.object));
            pairOfDir_.erase(keyOf(ev.object));
        }
        FlrJrnCommand c = blank(FLR_JRN_RMDIR);
        c.rmdir = {fid, par, ev.name.c_str()};
        return emit(c, w);
    }
    JxFanStat st{};
    const bool have = ev.hasObject && JxFanotify::statHandle(w.fs->fd, ev.object, st);
    const int32_t nlink = have ? int32_t(st.st.st_nlink) : 0;
    if (nlink == 0 && ev.hasObject) {
        dirty_.erase(keyOf(ev.object));
        created_.erase(fid);
    }
    FlrJrnCommand c = blank(FLR_JRN_REMOVE);
    c.remove = {par, ev.name.c_str(), fid, nlink};
    emit(c, w);
}

void FlrLiveJournal::onRename(const JxFanEvent& ev) {
    if (!ev.hasOld || !ev.hasNew || !ev.hasObject) return;
    const Where from = locateDir(ev.oldDir);
    const Where to = locateDir(ev.newDir);
    if (from.pair >= 0 && from.pair == to.pair) {
        // The old name taken again at once: most likely an exchange, whose
        // mirror follows. Applied alone it would replace the other entry.
        if (nameTaken(*from.fs, ev.oldDir, ev.oldName)) {
            releaseHeldRename();
            heldRename_ = std::make_unique<JxFanEvent>(ev);
            heldUntil_ = std::chrono::steady_clock::now() + kExchangeWait;
            return;
        }
        fsf_fid fid, oldPar, newPar;
        if (!fidOf(ev.object, from.pair, fid) || !fidOf(ev.oldDir, from.pair, oldPar) ||
            !fidOf(ev.newDir, from.pair, newPar))
            return;
        emitRename(from, fid, oldPar, ev.oldName.c_str(), newPar, ev.newName.c_str());
        expectMoved(from, ev);
        if (ev.mask & FAN_ONDIR) rememberPairOf(keyOf(ev.object), from.pair);
    } else {
        if (ev.mask & FAN_ONDIR) pairOfDir_.erase(keyOf(ev.object));
        if (from.pair >= 0) {
            JxFanEvent gone = ev;
            gone.mask = FAN_DELETE | (ev.mask & FAN_ONDIR);
            gone.dir = ev.oldDir;
            gone.name = ev.oldName;
            onDelete(gone, from);
            dirty_.erase(keyOf(ev.object));
        }
        if (to.pair >= 0) onMovedIn(ev, to);
    }
    followRenamed(ev);
}

// A rename over an existing entry carries no id for it: the name database
// and the tail both replace whatever holds the new name.
void FlrLiveJournal::emitRename(const Where& w, const fsf_fid& fid, const fsf_fid& fromPar,
                                const char* fromName, const fsf_fid& toPar, const char* toName) {
    FlrJrnCommand c = blank(FLR_JRN_RENAME);
    c.rename = {fid, fromPar, fromName, 0, fsf_fid::fid0, toPar, toName};
    emit(c, w);
}

void FlrLiveJournal::followRenamed(const JxFanEvent& ev) {
    const auto d = dirty_.find(keyOf(ev.object));
    if (d != dirty_.end()) d->second.dir = ev.newDir, d->second.name = ev.newName;
    // Every path below a renamed folder changed.
    if (ev.mask & FAN_ONDIR) dirPaths_.clear();
}

bool FlrLiveJournal::nameTaken(const FileSystem& fs, const JxFanHandle& dir,
                               const std::string& name) const {
    struct stat st;
    return JxFanotify::statAt(fs.fd, dir, name, st);
}

// The kernel reports an exchange as two renames with mirrored names. The
// tail gets three: the first entry steps aside to a spare name, the second
// takes its place, the first takes the second's.
bool FlrLiveJournal::completesExchange(const JxFanEvent& ev) {
    if (!heldRename_ || !ev.hasOld || !ev.hasNew || !ev.hasObject) return false;
    const JxFanEvent& a = *heldRename_;
    const bool mirror = keyOf(ev.oldDir) == keyOf(a.newDir) && ev.oldName == a.newName &&
                        keyOf(ev.newDir) == keyOf(a.oldDir) && ev.newName == a.oldName &&
                        keyOf(ev.object) != keyOf(a.object);
    if (!mirror) return false;
    const std::unique_ptr<JxFanEvent> held = std::move(heldRename_);
    const Where w = locateDir(a.oldDir);
    fsf_fid first, second, firstPar, secondPar;
    if (w.pair >= 0 && fidOf(a.object, w.pair, first) && fidOf(ev.object, w.pair, second) &&
        fidOf(a.oldDir, w.pair, firstPar) && fidOf(a.newDir, w.pair, secondPar)) {
        const std::string spare = ".flr-exchange." + std::to_string(lastSeq_.load() + 1);
        emitRename(w, first, firstPar, a.oldName.c_str(), firstPar, spare.c_str());
        emitRename(w, second, secondPar, a.newName.c_str(), firstPar, a.oldName.c_str());
        emitRename(w, first, firstPar, spare.c_str(), secondPar, a.newName.c_str());
        expectAt(w, a.oldDir, a.oldName, &ev.object);
        expectAt(w, a.newDir, a.newName, &a.object);
    }
    followRenamed(a);
    followRenamed(ev);
    return true;
}

// Not an exchange after all (a rename over an entry, or the old name made
// again): the rename goes as it came.
void FlrLiveJournal::releaseHeldRename() {
    if (!heldRename_) return;
    const std::unique_ptr<JxFanEvent> held = std::move(heldRename_);
    const Where w = locateDir(held->oldDir);
    fsf_fid fid, oldPar, newPar;
    if (w.pair >= 0 && fidOf(held->object, w.pair, fid) && fidOf(held->oldDir, w.pair, oldPar) &&
        fidOf(held->newDir, w.pair, newPar)) {
        emitRename(w, fid, oldPar, held->oldName.c_str(), newPar, held->newName.c_str());
        expectMoved(w, *held);
    }
    followRenamed(*held);
}

void FlrLiveJournal::releaseHeldRenameIfDue() {
    if (heldRename_ && std::chrono::steady_clock::now() >= heldUntil_) releaseHeldRename();
}

int FlrLiveJournal::msUntilHeldRenameDue() const {
    if (!heldRename_) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        heldUntil_ - std::chrono::steady_clock::now());
    return int(std::clamp<int64_t>(left.count() + 1, 0, INT_MAX));
}

void FlrLiveJournal::onMovedIn(const JxFanEvent& ev, const Where& to) {
    JxFanEvent created = ev;
    created.mask = FAN_CREATE | (ev.mask & FAN_ONDIR);
    created.dir = ev.newDir;
    created.name = ev.newName;
    onCreate(created, to);
    // Its content (a folder's whole tree) never went through this journal.
    if (ev.mask & FAN_ONDIR) return resync(to.pair, "folder moved in from outside");
    flush({to.pair, ev.object, ev.newDir, ev.newName, std::chrono::steady_clock::now()});
}

void FlrLiveJournal::onAttrib(const JxFanEvent& ev, const Where& w) {
    const bool self = !ev.hasObject && ev.name == ".";
    if (!ev.hasObject && !self) return;
    const JxFanHandle& h = self ? ev.dir : ev.object;
    fsf_fid fid;
    JxFanStat st{};
    if (!fidOf(h, w.pair, fid) || !JxFanotify::statHandle(w.fs->fd, h, st)) return;
    emitSetattr(w, fid, st.st);
    emitXattrs(w, fid, h, st.st.st_mode);
}

void FlrLiveJournal::emitSetattr(const Where& w, const fsf_fid& fid, const struct stat& st) {
    FlrJrnCommand c = blank(FLR_JRN_SETATTR);
    FlrJrnSetattr& a = c.setattr;
    a.fid = fid;
    a.mode_valid = a.uid_valid = a.gid_valid = a.atime_valid = a.mtime_valid = a.ctime_valid = 1;
    // Size and blocks mean nothing for a directory or a link on the tail.
    a.size_valid = a.blocks_valid = S_ISREG(st.st_mode) ? 1 : 0;
    a.mode = uint32_t(st.st_mode);
    a.uid = uint64_t(st.st_uid);
    a.gid = uint64_t(st.st_gid);
    a.atime = jrnTime(st.st_atim);
    a.mtime = jrnTime(st.st_mtim);
    a.ctime = jrnTime(st.st_ctim);
    a.size = uint64_t(st.st_size);
    a.blocks = uint64_t(st.st_blocks);
    emit(c, w);
}

void FlrLiveJournal::markDirty(const JxFanEvent& ev, const Where& w) {
    if (!ev.hasObject || (ev.mask & FAN_ONDIR)) return;
    const auto [it, added] = dirty_.try_emplace(keyOf(ev.object));
    if (added) it->second.since = std::chrono::steady_clock::now();
    it->second.pair = w.pair;
    it->second.handle = ev.object;
    it->second.dir = ev.dir;
    it->second.name = ev.name;
}

void FlrLiveJournal::flushDirty(const JxFanHandle& h) {
    const auto it = dirty_.find(keyOf(h));
    if (it == dirty_.end()) return;
    const Dirty d = it->second;
    dirty_.erase(it);
    flush(d);
}

void FlrLiveJournal::flushDue() {
    const auto now = std::chrono::steady_clock::now();
    const auto delay = std::chrono::milliseconds(options_.flushDelayMs);
    for (auto it = dirty_.begin(); it != dirty_.end();) {
        if (now - it->second.since >= delay) {
            const Dirty d = it->second;
            it = dirty_.erase(it);
            flush(d);
        } else {
            ++it;
        }
    }
}

int FlrLiveJournal::msUntilNextFlush() const {
    if (dirty_.empty()) return -1;
    auto first = dirty_.begin()->second.since;
    for (const auto& [key, d] : dirty_) first = std::min(first, d.since);
    const auto due = first + std::chrono::milliseconds(options_.flushDelayMs);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        due - std::chrono::steady_clock::now());
    return int(std::clamp<int64_t>(left.count() + 1, 0, INT_MAX));
}

void FlrLiveJournal::flush(const Dirty& d) {
    // Where the file is now: the pair and path a resend needs.
    const Where w = locateDir(d.dir);
    fsf_fid fid;
    if (w.pair < 0 || w.gone || !fidOf(d.handle, w.pair, fid)) return;
    JxFanStat st{};
    if (!JxFanotify::statHandle(w.fs->fd, d.handle, st) || !S_ISREG(st.st.st_mode)) return;
    if (uint64_t(st.st.st_size) > options_.smallFileMax) {
        FlrJrnCommand c = blank(FLR_JRN_WRITE_DDR);
        c.write = {fid, 0, uint32_t(std::min<uint64_t>(uint64_t(st.st.st_size), UINT32_MAX)),
                   nullptr};
        emit(c, w);
        std::lock_guard<std::mutex> lock(mutex_);
        resends_.push_back({folders_[size_t(w.pair)].pairId, fid, joinRel(w.relPath, d.name),
                            uint64_t(st.st.st_size), lastSeq_.load(), uint64_t(st.st.st_ino)});
        return;
    }
    std::string data;
    struct stat now;
    if (!JxFanotify::readFile(w.fs->fd, d.handle, options_.smallFileMax, data, now)) return;
    if (!data.empty()) {
        FlrJrnCommand c = blank(FLR_JRN_WRITE);
        c.write = {fid, 0, uint32_t(data.size()), data.data()};
        emit(c, w);
    }
    // After the data: the size cuts a file that shrank, the times come last.
    emitSetattr(w, fid, now);
}
