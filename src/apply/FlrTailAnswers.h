#pragma once
// The tail's answers to a head's checksum requests, computed over its copy
// of a file (a path confined to the root, opened without following links).
// A copy that is missing, not a regular file, refused or unreadable gets the
// empty answer (RECV_MD5_EOF at once, or no blocks), so the head sends the
// whole file. Weak sums travel as 4 big-endian bytes.
//
// The head compares its file with the answer and sends only what differs;
// the tail takes the rest from its copy at the entry's header, which may be
// much later and on another connection. Each MD5 and RSync answer therefore
// leaves the identity of the copy it described in the applier's
// FlrTailAnswered, and the entry checks its old copy against it.
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>

#include "FlrTailApplier.h"
#include "net/FlrNetMessage.h"

// Which copy an answer described: device, inode, size, modification and
// status-change times; absent when the answer described none (the head then
// sends every byte and relies on no old one).
struct FlrTailCopyId {
    bool present = false;
    dev_t dev = 0;
    ino_t ino = 0;
    nlink_t nlink = 0;
    int64_t size = 0;
    int64_t mtimeNs = 0;
    int64_t ctimeNs = 0;

    static FlrTailCopyId of(const struct stat& st);
    // The same copy with the same bytes. A changed link count changes the
    // status-change time without touching the bytes (the tail itself does
    // that when it replaces another name of the copy), so the time is then
    // not compared.
    bool sameCopy(const struct stat& st) const;
};

// The copies the answers described, by run and path relative to the root,
// until an entry's header takes them. Shared by every session of an applier:
// the head asks on its planner connection and sends the entry on another, of
// the same run. Runs are kept apart: a killed run's session still reading
// its last entries must not take the answer the next run asked for (that
// delta would then find none and be built over whatever copy is there).
// Sessions that named no run share run 0. A newer answer for a path of a
// run replaces the older one. Bounded: only the last kKept answers are
// kept, some 250 bytes each. The head asks up to its work list ahead of what
// it sends, and what it sent waits in the link's buffers (a socket's few
// MiB, an in-process channel's 1 MiB) before the tail applies it: at a few
// hundred bytes an entry that is tens of thousands of small files, and with
// 4,096 a resync of 100,000 changed 64-byte files found 30,000 answers gone.
// An entry with no answer (forgotten, or never asked for, as write intervals
// are sent) is built over the copy there at its header.
class FlrTailAnswered {
  public:
    static constexpr size_t kKept = 1u << 16;

    void remember(uint64_t run, const std::string& rel, const FlrTailCopyId& id);
    // The copy the last answer of run for rel described, forgotten once taken.
    std::optional<FlrTailCopyId> take(uint64_t run, const std::string& rel);

  private:
    struct Key {
        uint64_t run;
        std::string rel;
        bool operator==(const Key& o) const { return run == o.run && rel == o.rel; }
    };
    struct KeyHash {
        size_t operator()(const Key& k) const {
            return std::hash<std::string>()(k.rel) ^ std::hash<uint64_t>()(k.run);
        }
    };

    std::mutex mtx_;  // guards the members below
    uint64_t next_ = 0;
    std::deque<std::pair<uint64_t, Key>> order_;  // answers, oldest first
    std::unordered_map<Key, std::pair<uint64_t, FlrTailCopyId>, KeyHash> byKey_;
};

// Where a session's answers are remembered: the applier's store, under the
// session's run.
struct FlrTailAnswersOf {
    FlrTailAnswered& answered;
    uint64_t run;
};

namespace FlrTailAnswers {

// START_MD5_STREAM: RECV_MD5 messages (value = index of their first block)
// with CRC-32 weak sums and MD5 digests, then RECV_MD5_EOF (value = the
// number of blocks).
void md5Stream(const FlrTailRoot& root, const FlrTailApplier::Options& options,
               FlrTailAnswersOf answered, const FlrNetPathReq& req, FlrNetTail& reply);
// GET_RSYNC_CSUMS_REQ: rolling weak sums and MD5 digests of every block
// (value = the copy's size in bytes).
void rsyncSums(const FlrTailRoot& root, const FlrTailApplier::Options& options,
               FlrTailAnswersOf answered, const FlrNetPathReq& req, FlrNetTail& reply);
// GET_FILE_CHECKSUMS_REQ: the MD5 digest of every block.
void fileSums(const FlrTailRoot& root, const FlrTailApplier::Options& options,
              const FlrNetPathReq& req, FlrNetTail& reply);

}  // namespace FlrTailAnswers
