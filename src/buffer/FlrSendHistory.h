#pragma once
// The most recently sent journal entries, each with its sequence number, in
// one fixed-size ring, so that after a reconnection the head can resend what
// the tail has not confirmed. Saved to and loaded from a history file.
//
// Record, in the ring and in the file (big-endian): next (4; the ring offset
// of the next newer record, 0xFFFFFFFF in the newest), len (4), seq (8), the
// payload, zero padding to a multiple of 8. File: "FLRHIS" 0xEA 0x0F, then
// the records from oldest to newest as they lie in the ring; at least one
// record (an empty history has no file), the newest last. The file is
// replaced atomically (jx::AtomicFile), so a crash leaves the previous file
// or the new one; a file cut anywhere is refused by load.
//
// Not locked: the owner calls it from one thread at a time. Errors are
// JxException with source "FlrSendHistory".
#include <cstddef>
#include <cstdint>
#include <functional>

#include "FLR/SP.h"

class FlrSendHistory : public SPEnabled {
  public:
    static constexpr uint32_t kEndMarker = 0xFFFFFFFFu;
    static constexpr int kRecordHeader = 16;
    static constexpr unsigned char kSignature[8] = {'F', 'L', 'R', 'H', 'I', 'S', 0xEA, 0x0F};

    // A ring of maxBytes; throws "Not enough memory." when it cannot be had.
    explicit FlrSendHistory(int maxBytes);
    ~FlrSendHistory() override;
    FlrSendHistory(const FlrSendHistory&) = delete;
    FlrSendHistory& operator=(const FlrSendHistory&) = delete;

    // Appends an entry, dropping the oldest ones it overwrites. Sequence
    // numbers must come in increasing order. An entry too large for the ring
    // (len + 32 > capacity) replaces everything and grows the ring to fit.
    void add(unsigned long long seq, const void* data, int len);
    // Receives one entry's bytes; a link's sendJournalEntry, typically (the
    // history sits below the link, so it is handed the sender).
    using Send = std::function<void(const void* data, int len)>;
    // Passes every entry newer than seq to send, oldest first; returns the
    // newest entry's number (seq itself when the history is empty). Throws
    // when seq is older than the oldest entry.
    unsigned long long resend(unsigned long long seq, const Send& send);
    // Sequence number of the oldest / newest entry, 0 when empty.
    unsigned long long getMinSeqNum() const;
    unsigned long long getMaxSeqNum() const;
    bool empty() const { return oldest_ < 0; }
    int getCapacity() const { return capacity_; }

    // Empties the history (keeping the ring) and deletes path (durably) when given.
    void clear(const char* path);
    // Replaces path atomically with the history (mode 0600); for an empty
    // history removes path durably, so no older history comes back on load.
    void save(const char* path);
    // Replaces the history with the file's; false when it does not exist. A
    // damaged file is refused and leaves the history as it was.
    bool load(const char* path);

    // Same entries (sequence numbers, lengths, bytes) in the same order.
    // Ring positions are not compared: a history loaded from a file holds
    // its entries from offset 0, wherever they lay when it was saved.
    bool operator==(const FlrSendHistory& other) const;
    bool operator!=(const FlrSendHistory& other) const { return !(*this == other); }

    // Calls fn for every entry from oldest to newest.
    void forEach(
        const std::function<void(unsigned long long seq, const void* data, int len)>& fn) const;

  private:
    uint32_t nextOf(long off) const;
    uint32_t lenOf(long off) const;
    uint64_t seqOf(long off) const;
    long endOf(long off) const;
    void writeRecord(long off, unsigned long long seq, const void* data, int len);
    void dropOldest();
    static void removeFile(const char* function, const char* path);

    int capacity_ = 0;
    unsigned char* ring_ = nullptr;
    long oldest_ = -1;  // ring offsets, -1 when empty
    long newest_ = -1;
};
