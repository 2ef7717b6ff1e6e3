#pragma once
// Where journal records come from: the live source on the head's file system,
// or a recorded raw journal file replayed for tests and `flr journal replay`.
// A consumer (the head journal service) pulls one encoded raw record at a time.
#include <cstdint>
#include <vector>

#include "FLR/FlrRawJournal.h"

class FlrJournalSource {
  public:
    virtual ~FlrJournalSource();
    // Fills `record` with one encoded raw record and returns true, or returns
    // false when none arrived within `timeoutMs`. Throws JxException when the
    // source has failed for good.
    virtual bool next(std::vector<uint8_t>& record, int timeoutMs) = 0;
    // After next() returned false: whether every change made before that
    // call began had become a record returned by then. A source that reads
    // its changes on another thread may not know it yet.
    virtual bool emptyWasIdle() const { return true; }
};

// The sequence number of an encoded raw record; 0 when it is none.
inline uint64_t flrRecordSeq(const std::vector<uint8_t>& record) {
    FlrJrnHeader h{};
    if (decodeRawHdr(record.data(), record.size(), &h) != 0) return 0;
    return h.seq_num;
}
