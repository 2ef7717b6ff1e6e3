// Cutting files that arrive whole, on the session's thread or a worker's.
#include "FlrTailIndexer.h"

#include <utility>

namespace {
// Enough for every buffer a full queue holds, so a long file reuses them.
constexpr size_t kSpareBuffers =
    FlrTailIndexWorker::kMaxQueuedBytes / FlrTailIndexer::kHandOverBytes + 2;
}  // namespace

FlrTailIndexWorker::FlrTailIndexWorker() {
    thread_.start("FlrTailIndex", [this] { run(); });
}

FlrTailIndexWorker::~FlrTailIndexWorker() {
    std::deque<Job> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
        for (Job& j : jobs_) j.indexer->dropped_ = true;
        dropped.swap(jobs_);
        queued_ = 0;
    }
    work_.notify_all();
    done_.notify_all();
    thread_.join();
}

std::vector<unsigned char> FlrTailIndexWorker::buffer() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (spare_.empty()) return {};
    std::vector<unsigned char> b = std::move(spare_.back());
    spare_.pop_back();
    return b;
}

void FlrTailIndexWorker::submit(std::shared_ptr<FlrTailIndexer> indexer,
                                std::vector<unsigned char> bytes) {
    std::unique_lock<std::mutex> lock(mutex_);
    // The worker always makes progress, so the wait ends.
    done_.wait(lock, [&] { return stop_ || queued_ < kMaxQueuedBytes; });
    if (stop_) {
        indexer->dropped_ = true;
        return;
    }
    queued_ += bytes.size();
    ++indexer->submitted_;
    jobs_.push_back(Job{std::move(indexer), std::move(bytes)});
    work_.notify_one();
}

bool FlrTailIndexWorker::drain(FlrTailIndexer& indexer) {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock,
               [&] { return stop_ || indexer.dropped_ || indexer.cut_ == indexer.submitted_; });
    return !indexer.dropped_ && indexer.cut_ == indexer.submitted_;
}

void FlrTailIndexWorker::run() {
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            work_.wait(lock, [&] { return stop_ || !jobs_.empty(); });
            if (stop_) return;
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        // Jobs of one indexer come in order and one at a time, so its
        // chunker is only ever used here until its owner drains it.
        bool fed = true;
        try {
            job.indexer->chunker_->feed(job.bytes.data(), job.bytes.size());
        } catch (...) {
            fed = false;  // out of memory: this file goes unrecorded
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            queued_ -= job.bytes.size();
            ++job.indexer->cut_;
            if (!fed) job.indexer->dropped_ = true;
            job.bytes.clear();
            if (spare_.size() < kSpareBuffers) spare_.push_back(std::move(job.bytes));
        }
        done_.notify_all();
    }
}

FlrTailIndexer::FlrTailIndexer(FlrTailIndexWorker* worker, int64_t size)
    : worker_(worker),
      size_(size),
      chunker_(std::make_unique<JxLBFS::Chunker>(&FlrTailIndexer::collect, this)) {}

FlrTailIndexer::~FlrTailIndexer() = default;

void FlrTailIndexer::collect(const JxLBFS::HashBlock& b, void* self) {
    static_cast<FlrTailIndexer*>(self)->blocks_.push_back(b);
}

void FlrTailIndexer::wrote(const void* data, size_t len, int64_t at) {
    if (!intact_) return;
    if (at != next_ || next_ + static_cast<int64_t>(len) > kMaxIndexedBytes) {
        // The chunker may still be at work on the worker: left as it is.
        intact_ = false;
        gathered_ = {};
        return;
    }
    next_ += static_cast<int64_t>(len);
    if (!worker_) {
        chunker_->feed(data, len);
        return;
    }
    if (gathered_.empty()) {
        gathered_ = worker_->buffer();
        gathered_.reserve(kHandOverBytes);
    }
    const auto* p = static_cast<const unsigned char*>(data);
    gathered_.insert(gathered_.end(), p, p + len);
    if (gathered_.size() >= kHandOverBytes || next_ == size_) handOver();
}

void FlrTailIndexer::handOver() {
    if (gathered_.empty()) return;
    std::vector<unsigned char> bytes;
    bytes.swap(gathered_);
    worker_->submit(shared_from_this(), std::move(bytes));
}

bool FlrTailIndexer::take(int64_t size, std::vector<JxLBFS::HashBlock>* blocks) {
    if (!intact_ || size <= 0 || next_ != size) return false;
    intact_ = false;
    if (worker_) {
        handOver();
        if (!worker_->drain(*this)) return false;
    }
    chunker_->finish();
    *blocks = std::move(blocks_);
    return true;
}
