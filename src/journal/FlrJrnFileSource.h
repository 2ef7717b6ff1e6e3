#pragma once
// A journal source over a recorded raw journal file: hands out its records
// in file order, then reports nothing more. For tests and `flr journal
// replay`. The file is read whole and every record is checked when it is
// opened, so a damaged file is refused before anything is handed out.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FlrJournalSource.h"

class FlrJrnFileSource : public FlrJournalSource {
  public:
    // Throws JxException (function `function`) naming the file, or the byte
    // offset of the first bad record.
    FlrJrnFileSource(const std::string& path, const char* function);

    // The next record; after the last, false once timeoutMs has passed.
    bool next(std::vector<uint8_t>& record, int timeoutMs) override;

    size_t records() const { return ends_.size(); }
    size_t handedOut() const { return index_; }
    bool exhausted() const { return index_ == ends_.size(); }

  private:
    std::string data_;
    std::vector<size_t> ends_;  // end offset of each record
    size_t index_ = 0;
};
