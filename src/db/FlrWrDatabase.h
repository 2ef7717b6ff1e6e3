#pragma once
// The write-interval database of a replication pair: per file id, the byte
// ranges the journal saw being written and the destination has not yet
// acknowledged. Ranges of one file closer than kSlack bytes are merged, so a
// later transfer sends a few larger ranges instead of many small ones.
//
// Files: <dir>/zrpwrdb.dat (an LMDB environment, see TCtreeTable) and its lock
// file. Every change is one transaction. One instance is used by one thread at
// a time; an iteration (getFirst/getNext/updateAckID) belongs to one user.
#include <cstdint>
#include <string>

#include "DbTable.h"
#include "FLR/FlrFid.h"
#include "FLR/SP.h"

class FlrWrDatabase : public SPEnabled {
  public:
    // Ranges of one file at most this many bytes apart become one interval.
    static constexpr uint64_t kSlack = 128;

    // The record, as laid out in the table (48 bytes, all fixed).
    struct Record {
        uint64_t ackid;  // 0: not acknowledged
        uint64_t fid[3];
        uint64_t start;
        uint64_t end;  // the byte after the last written byte
    };

    // Opens the database in dir, creating it (and dir) when missing.
    explicit FlrWrDatabase(const std::string& dir);
    // Opens an existing database; TAccessReadOnly for inspection tools.
    FlrWrDatabase(const std::string& dir, JXIndexing::TAccessEnum mode);
    ~FlrWrDatabase() override;

    // Records that [start, end) of fid was written.
    void add(const fsf_fid& fid, uint64_t start, uint64_t end);
    // The file is now size bytes long: nothing past size is left to send.
    void resizeFID(const fsf_fid& fid, uint64_t size);

    // Iteration in (file id, start) order; any output may be null. False at
    // the end of the table.
    bool getFirst(fsf_fid* fid, uint64_t* start, uint64_t* end, uint64_t* ackid);
    bool getNext(fsf_fid* fid, uint64_t* start, uint64_t* end, uint64_t* ackid, bool deleteCurrent);
    // Sets the acknowledgement id of the interval last returned.
    void updateAckID(uint64_t ackid);

    // Deletes every interval.
    void clear();
    // Deletes the database files in dir.
    static void clear(const std::string& dir);

  private:
    enum class Relocate { Same, Grown, Gone };

    // Declares the table for files in dir.
    int initialize(const char* dir);

    void intervalKey(const char* function, const uint64_t fid[3], uint64_t start);
    Relocate relocateCurrent(const char* function);
    bool readNext(const char* function, int rc, fsf_fid* fid, uint64_t* start, uint64_t* end,
                  uint64_t* ackid);
    void mergeRun(const char* function, uint64_t start, uint64_t end);
    template <class Body>
    void batched(const char* function, Body&& body);

    flrdb::DbTable table_;
    std::string base_;
    Record rec_{};      // the engine's record buffer
    Record current_{};  // the interval last returned by getFirst/getNext
    bool currentValid_ = false;
    char key_[32];
};
