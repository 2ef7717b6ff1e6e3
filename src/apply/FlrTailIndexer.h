#pragma once
// Cutting a file that arrives as one stream from offset 0 (a full copy, or
// an MD5 transfer into a path the tail lacked) into content-store blocks
// while it is written, so the store knows it without reading it again: after
// a baseline by any method, a later LBFS run finds its content under any
// name. A gap or a rewrite (old-copy bytes, seeks back) gives up, and the
// store then only drops the path's old entry.
//
// Cutting and hashing cost about as much CPU as receiving the data, so with a
// worker they run on a thread of their own: the session's thread only copies
// the bytes into a buffer and goes on receiving.
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "digest/JxLBFS.h"
#include "platform/JxThread.h"

class FlrTailIndexer;

// One thread cutting the buffers handed to it, in the order they came. At
// most kMaxQueuedBytes wait; a hand-over beyond that waits for room, so a
// slow worker slows the session down instead of filling memory. It must
// outlive every indexer using it (a session owns both).
class FlrTailIndexWorker {
  public:
    static constexpr size_t kMaxQueuedBytes = size_t{8} << 20;

    FlrTailIndexWorker();
    // Drops the buffers still waiting (their indexers give up) and joins.
    ~FlrTailIndexWorker();
    FlrTailIndexWorker(const FlrTailIndexWorker&) = delete;
    FlrTailIndexWorker& operator=(const FlrTailIndexWorker&) = delete;

    // An empty buffer to fill (a recycled one when there is one).
    std::vector<unsigned char> buffer();
    void submit(std::shared_ptr<FlrTailIndexer> indexer, std::vector<unsigned char> bytes);
    // Waits until every buffer submitted for indexer has been cut; false
    // when one of them was dropped.
    bool drain(FlrTailIndexer& indexer);

  private:
    struct Job {
        std::shared_ptr<FlrTailIndexer> indexer;
        std::vector<unsigned char> bytes;
    };
    void run();

    std::mutex mutex_;              // guards the members below and the indexers' job counts
    std::condition_variable work_;  // a job came, or stop
    std::condition_variable done_;  // a job was cut, or room was made
    std::deque<Job> jobs_;
    size_t queued_ = 0;  // bytes in jobs_
    bool stop_ = false;
    std::vector<std::vector<unsigned char>> spare_;
    JxThread thread_;
};

class FlrTailIndexer : public std::enable_shared_from_this<FlrTailIndexer> {
  public:
    // worker null: cuts on the caller's thread. size: the file's final size
    // (its last bytes are handed over as soon as they come).
    explicit FlrTailIndexer(FlrTailIndexWorker* worker = nullptr, int64_t size = -1);
    ~FlrTailIndexer();
    FlrTailIndexer(const FlrTailIndexer&) = delete;
    FlrTailIndexer& operator=(const FlrTailIndexer&) = delete;

    void wrote(const void* data, size_t len, int64_t at);
    // The file's blocks when the stream covered exactly [0, size), size > 0.
    bool take(int64_t size, std::vector<JxLBFS::HashBlock>* blocks);

    // Files are cut up to this size: the block list is held until the file
    // is placed (about 6 MB per GiB).
    static constexpr int64_t kMaxIndexedBytes = int64_t{4} << 30;
    // Bytes gathered before they go to the worker.
    static constexpr size_t kHandOverBytes = size_t{1} << 20;

  private:
    friend class FlrTailIndexWorker;
    static void collect(const JxLBFS::HashBlock& b, void* self);
    void handOver();

    FlrTailIndexWorker* worker_;
    int64_t size_;
    // Used by the worker while buffers are out, by the owner after drain().
    std::unique_ptr<JxLBFS::Chunker> chunker_;
    std::vector<JxLBFS::HashBlock> blocks_;
    // The owner's.
    std::vector<unsigned char> gathered_;
    int64_t next_ = 0;
    bool intact_ = true;
    // Under the worker's mutex.
    size_t submitted_ = 0;
    size_t cut_ = 0;
    bool dropped_ = false;
};
