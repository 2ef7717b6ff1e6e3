// The registry of pending LBFS files the tail's sessions share: tokens,
// who began and who feeds each file, the per-session block budget, parked
// completed files, and the waits for a session's files to settle.
#include <algorithm>

#include "FlrTailApplyEntry.h"
#include "FlrTailLBFS.h"
#include "FlrTailLBFSFile.h"

uint64_t FlrTailLBFSRegistry::newAgent() {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    const uint64_t id = nextAgent_++;
    origins_[id];
    return id;
}

void FlrTailLBFSRegistry::countPaths(Origin& o, const std::string& rel, int delta) {
    auto bump = [&](const std::string& key) {
        int& n = o.paths[key];
        n += delta;
        if (n <= 0) o.paths.erase(key);
    };
    bump(rel);
    if (!rel.empty()) bump("");
    for (size_t slash = rel.find('/'); slash != std::string::npos; slash = rel.find('/', slash + 1))
        bump(rel.substr(0, slash));
}

void FlrTailLBFSRegistry::add(const std::shared_ptr<FlrTailLBFSFile>& file) {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    // Drawn at random: a token names a file only to the head it was sent to.
    do {
        file->token = tokens_();
    } while (file->token == 0 || byToken_.count(file->token));
    byToken_[file->token] = file;
    Origin& o = origins_[file->origin];
    ++o.outstanding;
    o.lastProgress = Clock::now();
    countPaths(o, file->rel, +1);
}

std::shared_ptr<FlrTailLBFSFile> FlrTailLBFSRegistry::find(uint64_t token) {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    auto it = byToken_.find(token);
    return it == byToken_.end() ? nullptr : it->second;
}

void FlrTailLBFSRegistry::remove(const FlrTailLBFSFile& file) {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    auto it = byToken_.find(file.token);
    if (it != byToken_.end() && it->second.get() == &file) byToken_.erase(it);
}

void FlrTailLBFSRegistry::progress(uint64_t origin) {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    auto it = origins_.find(origin);
    if (it != origins_.end()) it->second.lastProgress = Clock::now();
}

bool FlrTailLBFSRegistry::holdBlocks(uint64_t origin, size_t n) {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    Origin& o = origins_[origin];
    if (o.blocks + n > kMaxBlocksPerSession) return false;
    o.blocks += n;
    return true;
}

void FlrTailLBFSRegistry::releaseBlocks(uint64_t origin, size_t n) {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    auto it = origins_.find(origin);
    if (it != origins_.end()) it->second.blocks -= std::min(n, it->second.blocks);
}

void FlrTailLBFSRegistry::settled(uint64_t origin, const std::string& rel) {
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        auto it = origins_.find(origin);
        if (it == origins_.end()) return;
        --it->second.outstanding;
        it->second.lastProgress = Clock::now();
        countPaths(it->second, rel, -1);
    }
    settledCv_.notify_all();
}

bool FlrTailLBFSRegistry::pendingAt(uint64_t origin, const std::string& rel) {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    auto it = origins_.find(origin);
    return it != origins_.end() && it->second.paths.count(rel) != 0;
}

bool FlrTailLBFSRegistry::awaited(uint64_t origin) {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    auto it = origins_.find(origin);
    return it != origins_.end() && it->second.waiters > 0;
}

bool FlrTailLBFSRegistry::waitSettled(uint64_t origin, const std::atomic<bool>* stop,
                                      int idleSeconds, const std::function<bool()>& gone,
                                      int goneSeconds, const std::function<void(Entries)>& place,
                                      const int* inBatch) {
    std::unique_lock<std::mutex> lock(pendingMutex_);
    auto it = origins_.find(origin);
    if (it == origins_.end()) return true;
    Origin& o = it->second;  // element references survive rehashing
    ++o.waiters;
    bool settled = true;
    int limit = idleSeconds;
    while (o.outstanding > (inBatch ? *inBatch : 0)) {
        if (place && !o.parked.empty()) {
            Entries entries;
            for (auto& p : o.parked) entries.push_back(std::move(p.second));
            o.parked.clear();
            lock.unlock();
            place(std::move(entries));
            lock.lock();
            continue;
        }
        if ((stop && stop->load()) || Clock::now() - o.lastProgress > std::chrono::seconds(limit)) {
            settled = false;
            break;
        }
        settledCv_.wait_for(lock, std::chrono::milliseconds(100));
        if (gone && limit > goneSeconds) {
            lock.unlock();  // a system call: other sessions go on meanwhile
            if (gone()) limit = goneSeconds;
            lock.lock();
        }
    }
    --o.waiters;
    return settled;
}

std::vector<std::shared_ptr<FlrTailLBFSFile>> FlrTailLBFSRegistry::takeBegunBy(uint64_t origin) {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    std::vector<std::shared_ptr<FlrTailLBFSFile>> out;
    for (auto it = byToken_.begin(); it != byToken_.end();) {
        if (it->second->origin == origin) {
            out.push_back(std::move(it->second));
            it = byToken_.erase(it);
        } else {
            ++it;
        }
    }
    return out;
}

std::vector<std::shared_ptr<FlrTailLBFSFile>> FlrTailLBFSRegistry::takeFedBy(uint64_t feeder) {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    std::vector<std::shared_ptr<FlrTailLBFSFile>> out;
    for (auto it = byToken_.begin(); it != byToken_.end();) {
        if (it->second->feeder.load() == feeder) {
            out.push_back(std::move(it->second));
            it = byToken_.erase(it);
        } else {
            ++it;
        }
    }
    return out;
}

void FlrTailLBFSRegistry::forgetAgent(uint64_t agent) {
    Entries dropped;  // destroyed without the lock: their tickets take it
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        auto it = origins_.find(agent);
        if (it == origins_.end()) return;
        for (auto& p : it->second.parked) dropped.push_back(std::move(p.second));
        origins_.erase(it);
    }
}

bool FlrTailLBFSRegistry::park(uint64_t origin, uint64_t feeder,
                               std::unique_ptr<FlrTailApplyEntry>& entry) {
    {
        std::lock_guard<std::mutex> lock(pendingMutex_);
        auto it = origins_.find(origin);
        if (it == origins_.end() || it->second.closed) return false;
        auto& parked = it->second.parked;
        const auto fed = std::count_if(parked.begin(), parked.end(),
                                       [feeder](const auto& p) { return p.first == feeder; });
        if (static_cast<size_t>(fed) >= kMaxParked) return false;
        parked.emplace_back(feeder, std::move(entry));
    }
    settledCv_.notify_all();  // a session that waits meanwhile places it
    return true;
}

FlrTailLBFSRegistry::Entries FlrTailLBFSRegistry::unpark(uint64_t origin) {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    Entries out;
    auto it = origins_.find(origin);
    if (it == origins_.end()) return out;
    for (auto& p : it->second.parked) out.push_back(std::move(p.second));
    it->second.parked.clear();
    return out;
}

FlrTailLBFSRegistry::Entries FlrTailLBFSRegistry::unparkFedBy(uint64_t feeder) {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    Entries out;
    for (auto& [id, o] : origins_) {
        auto& parked = o.parked;
        for (auto& p : parked)
            if (p.first == feeder) out.push_back(std::move(p.second));
        parked.erase(
            std::remove_if(parked.begin(), parked.end(), [](const auto& p) { return !p.second; }),
            parked.end());
    }
    return out;
}

void FlrTailLBFSRegistry::close(uint64_t origin) {
    std::lock_guard<std::mutex> lock(pendingMutex_);
    auto it = origins_.find(origin);
    if (it != origins_.end()) it->second.closed = true;
}
