// The tail's journal service: sequence numbers, durability, name reuse.
#include "FlrTailJournal.h"

#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <charconv>
#include <sstream>

#include "FLR/JxException.h"
#include "FlrTailJournalOps.h"
#include "db/FlrJournalPaths.h"
#include "digest/Jxc.h"
#include "platform/EvDebug.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxDirFd.h"
#include "platform/JxFile.h"

namespace {

const char* const kTailJournalFn = "FlrTailJournal";
constexpr char kStateHeader[] = "flr-tail-journal 1";

void makeFolders(const std::string& dir) {
    if (dir.empty() || dir == "/" || dir == ".") return;
    struct stat st {};
    if (jx::fileOps().stat(dir.c_str(), &st) == 0) return;
    makeFolders(jx::parentDir(dir));
    if (jx::fileOps().mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
        JX_THROW_ERRNO(kTailJournalFn, "Failed to make folder " + dir, errno);
}

std::string stateText(const std::map<int, unsigned long long>& numbers) {
    std::string s = std::string(kStateHeader) + "\n";
    for (const auto& [pair, seq] : numbers)
        s += std::to_string(pair) + " " + std::to_string(seq) + "\n";
    return s;
}

// "<pair> <seq>": a decimal pair id (maybe negative) and number, one space.
bool parseLine(const std::string& line, int* pair, unsigned long long* seq) {
    const size_t space = line.find(' ');
    if (space == std::string::npos) return false;
    const char* end = line.data() + line.size();
    const auto p = std::from_chars(line.data(), line.data() + space, *pair);
    const auto s = std::from_chars(line.data() + space + 1, end, *seq);
    return p.ec == std::errc() && p.ptr == line.data() + space && s.ec == std::errc() &&
           s.ptr == end && space + 1 < line.size() && line[space + 1] != '-';
}

// The relative path a record makes an entry at (empty: none, or refused).
std::string createdRel(const FlrTailRoot& root, const FlrJrnCommandNet& rec) {
    const char* path = nullptr;
    switch (rec.cmd) {
        case FLR_JRN_CREATE:
            path = rec.create.path;
            break;
        case FLR_JRN_MKDIR:
            path = rec.mkdir.path;
            break;
        case FLR_JRN_SYMLINK:
            path = rec.symlink.dst_path;
            break;
        case FLR_JRN_LINK:
            path = rec.link.dst_path;
            break;
        case FLR_JRN_RENAME:
            path = rec.rename.dst_path;
            break;
        default:
            return "";
    }
    std::string rel;
    std::string why;
    return path && root.relative(path, &rel, &why) ? rel : "";
}

}  // namespace

void FlrTailJournalStats::add(const FlrTailJournalStats& o) {
    records += o.records;
    applied += o.applied;
    settled += o.settled;
    sequenceOnly += o.sequenceOnly;
    skipped += o.skipped;
    refused += o.refused;
    failed += o.failed;
    syncs += o.syncs;
    stripped += o.stripped;
    withheld += o.withheld;
}

std::string FlrTailJournal::defaultStateFile(const std::string& root) {
    char canonical[PATH_MAX];
    const std::string path = ::realpath(root.c_str(), canonical) ? canonical : root;
    unsigned char digest[32];
    Jxc::sha256(path.data(), path.size(), digest);
    static const char hex[] = "0123456789abcdef";
    std::string name;
    for (int i = 0; i < 8; ++i) {
        name.push_back(hex[digest[i] >> 4]);
        name.push_back(hex[digest[i] & 15]);
    }
    return JXPI_Base::getOrchardDirectory() + "/tail/" + name + ".journal";
}

FlrTailJournal::FlrTailJournal(const FlrTailRoot& root, std::string stateFile)
    : FlrTailJournal(root, std::move(stateFile), Options{}) {}

FlrTailJournal::FlrTailJournal(const FlrTailRoot& root, std::string stateFile, Options options)
    : root_(root),
      stateFile_(stateFile.empty() ? defaultStateFile(root.path()) : std::move(stateFile)),
      options_(options),
      ops_(std::make_unique<FlrTailJournalOps>(root_, options_)),
      lastSync_(Clock::now()) {
    load();
}

FlrTailJournal::~FlrTailJournal() {
    try {
        sync();
    } catch (...) {
        // Only memory can run out here; the numbers then stay as last written.
    }
}

void FlrTailJournal::load() {
    std::string text;
    if (!jx::readFileIfExists(stateFile_, &text, "journal state", kTailJournalFn)) return;
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        if (lineNo == 1) {
            if (line != kStateHeader)
                JX_THROW(kTailJournalFn, "Journal state " + stateFile_ +
                                             " is not one (first line \"" + line.substr(0, 40) +
                                             "\")");
            continue;
        }
        int pair = 0;
        unsigned long long seq = 0;
        if (!parseLine(line, &pair, &seq))
            JX_THROW(kTailJournalFn, "Journal state " + stateFile_ + " line " +
                                         std::to_string(lineNo) + " is malformed");
        applied_[pair] = seq;
    }
    if (lineNo == 0) JX_THROW(kTailJournalFn, "Journal state " + stateFile_ + " is empty");
    durable_ = applied_;
}

// One line per record at level 3: what a divergence hunt reads beside the
// head's own trace of what it sent.
void FlrTailJournal::trace(int pair, const FlrJrnCommandNet& rec, Outcome o) {
    static const char* const kOutcome[] = {"applied", "settled", "sequence only", "refused",
                                           "failed"};
    const char* path = flrJournalChangedPath(rec);
    const char* from = rec.cmd == FLR_JRN_RENAME ? rec.rename.src_path : nullptr;
    const auto i = static_cast<size_t>(o);
    EvDebug::DebugLvl(kTailJournalFn, 3, "pair %d record %llu %s %s%s%s: %s", pair,
                      static_cast<unsigned long long>(rec.seq_num), flrJrnCodeName(rec.cmd),
                      from ? from : "", from ? " -> " : "", path ? path : "",
                      i < std::size(kOutcome) ? kOutcome[i] : "?");
}

void FlrTailJournal::count(Outcome o, FlrTailJournalStats& s) const {
    switch (o) {
        case Outcome::Applied:
            ++s.applied;
            break;
        case Outcome::Settled:
            ++s.settled;
            break;
        case Outcome::SequenceOnly:
            ++s.sequenceOnly;
            break;
        case Outcome::Refused:
            ++s.refused;
            break;
        case Outcome::Failed:
            ++s.failed;
            break;
    }
}

bool FlrTailJournal::reusesCarried(const std::string& rel) const {
    if (carried_.empty() || rel.empty()) return false;
    if (carried_.count(rel)) return true;
    // A folder made above a moved name can bring an entry of that name back
    // (a folder moved there holding one).
    const std::string below = rel + "/";
    const auto it = carried_.lower_bound(below);
    return it != carried_.end() && it->compare(0, below.size(), below) == 0;
}

void FlrTailJournal::guardNameReuse(const FlrJrnCommandNet& rec) {
    const std::string rel = createdRel(root_, rec);
    bool reuse = false;
    {
        std::lock_guard<std::mutex> lock(mtx_);
        reuse = reusesCarried(rel);
    }
    if (reuse) sync();
}

void FlrTailJournal::noteCarried(const FlrJrnCommandNet& rec) {
    if (rec.cmd != FLR_JRN_RENAME && rec.cmd != FLR_JRN_LINK) return;
    const char* src = rec.cmd == FLR_JRN_RENAME ? rec.rename.src_path : rec.link.src_path;
    std::string rel;
    std::string why;
    if (!src || !root_.relative(src, &rel, &why) || rel.empty()) return;
    std::lock_guard<std::mutex> lock(mtx_);
    carried_.insert(rel);
}

FlrTailJournal::Outcome FlrTailJournal::applyRecord(const FlrJrnCommandNet& rec) {
    std::lock_guard<std::mutex> one(applyMtx_);
    reopenIfAsked();
    bool replaced = false;
    const Outcome o = ops_->apply(rec, &replaced);
    FlrTailJournalStats mine;
    ops_->takePrivileged(&mine.stripped, &mine.withheld);
    std::lock_guard<std::mutex> lock(mtx_);
    totals_.add(mine);
    return o;
}

void FlrTailJournal::reopenIfAsked() {
    if (reopen_.load() && reopen_.exchange(false)) ops_->closeAll();
}

void FlrTailJournal::closeFiles() {
    std::lock_guard<std::mutex> one(applyMtx_);
    reopen_.store(false);
    ops_->closeAll();
}

void FlrTailJournal::apply(const void* data, size_t len, int pair, FlrTailJournalStats* session) {
    FlrTailJournalStats mine;
    const auto* p = static_cast<const unsigned char*>(data);
    size_t left = len;
    std::lock_guard<std::mutex> one(applyMtx_);
    unsigned long long last = lastApplied(pair);
    while (left > 0) {
        FlrJrnCommandNet rec{};
        FlrJrnHeaderNet hdr{};
        try {
            decodeNetHdr(p, left, &hdr);
            decodeNetCmd(p, left, &rec);
        } catch (const JxException& e) {
            EvDebug::Error(kTailJournalFn,
                           "Damaged journal record for pair %d after %llu: %s; %zu bytes dropped",
                           pair, last, e.getMessage().c_str(), left);
            ++mine.failed;
            break;
        }
        p += hdr.rec_len;
        left -= hdr.rec_len;
        ++mine.records;
        if (rec.seq_num <= last) {
            ++mine.skipped;
            continue;
        }
        guardNameReuse(rec);
        reopenIfAsked();
        bool replaced = false;
        const Outcome o = ops_->apply(rec, &replaced);
        count(o, mine);
        if (EvDebug::enabled(3)) trace(pair, rec, o);
        if (o == Outcome::Applied) noteCarried(rec);
        last = rec.seq_num;
        {
            std::lock_guard<std::mutex> lock(mtx_);
            applied_[pair] = last;
            dirty_ = true;
            ++pending_;
        }
        // Records before this one name the path's former entry: a replay
        // from there would write them into the new one, so none starts there.
        if (replaced) sync();
    }
    ops_->takePrivileged(&mine.stripped, &mine.withheld);
    {
        std::lock_guard<std::mutex> lock(mtx_);
        totals_.add(mine);
    }
    if (session) session->add(mine);
    syncIfDue();
}

void FlrTailJournal::syncIfDue() {
    {
        std::lock_guard<std::mutex> lock(mtx_);
        if (!dirty_) return;
        const auto age =
            std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - lastSync_);
        if (pending_ < options_.syncRecords && age.count() < options_.syncMs) return;
    }
    sync();
}

bool FlrTailJournal::sync() {
    std::lock_guard<std::mutex> one(syncMtx_);
    std::map<int, unsigned long long> snapshot;
    {
        // Taken before the syncfs: every record counted here was applied
        // before it began, so the syncfs covers it.
        std::lock_guard<std::mutex> lock(mtx_);
        if (!dirty_) return true;
        snapshot = applied_;
        dirty_ = false;
        pending_ = 0;
        carried_.clear();
        lastSync_ = Clock::now();
    }
    // Held files never outlive a sync: a change beside the journal is seen
    // within syncRecords records or syncMs.
    reopen_.store(true);
    auto undo = [&] {
        std::lock_guard<std::mutex> lock(mtx_);
        dirty_ = true;
    };
    if (options_.syncData && jx::syncFileSystem(root_.fd()) != 0) {
        EvDebug::Error(kTailJournalFn, "Couldn't make the applied journal records durable: %s",
                       jxErrnoText(errno).c_str());
        undo();
        return false;
    }
    try {
        makeFolders(jx::parentDir(stateFile_));
        jx::replaceFile(stateFile_, stateText(snapshot), 0600, "journal state", kTailJournalFn);
    } catch (const JxException& e) {
        EvDebug::Error(kTailJournalFn, "%s", e.getMessage().c_str());
        undo();
        return false;
    }
    std::lock_guard<std::mutex> lock(mtx_);
    durable_ = snapshot;
    ++totals_.syncs;
    return true;
}

unsigned long long FlrTailJournal::lastSeqNum(int pair) {
    sync();
    std::lock_guard<std::mutex> lock(mtx_);
    const auto it = durable_.find(pair);
    return it == durable_.end() ? 0 : it->second;
}

unsigned long long FlrTailJournal::lastApplied(int pair) const {
    std::lock_guard<std::mutex> lock(mtx_);
    const auto it = applied_.find(pair);
    return it == applied_.end() ? 0 : it->second;
}

void FlrTailJournal::forget(int pair) {
    {
        std::lock_guard<std::mutex> lock(mtx_);
        // Also forgotten as durable: until the file says so, a question about
        // the pair gets 0 (a full resend) rather than an old number.
        durable_.erase(pair);
        if (applied_.erase(pair) == 0) return;
        dirty_ = true;
    }
    sync();
}

FlrTailJournalStats FlrTailJournal::totals() const {
    std::lock_guard<std::mutex> lock(mtx_);
    return totals_;
}
