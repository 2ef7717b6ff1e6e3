#pragma once
// A journal file: records of one form (raw or network) laid end to end, as
// the sample generator and the converter write them. The reader maps the
// file and walks it with the checked decoders, so a damaged file gives an
// error naming the byte offset of the first bad record and never a read past
// its end. The writer builds a file under a temporary name and renames it
// into place on commit, so a failed run never leaves a half-written journal.
//
// Errors are JxException whose function is the caller's `function` argument
// (the operation a person asked for, e.g. "journal print").
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FLR/FlrExport.h"
#include "FLR/FlrJrnConvert.h"
#include "FLR/FlrNetJournal.h"
#include "FLR/FlrRawJournal.h"

namespace jx {
class AtomicFile;
}

enum class FlrJrnForm { Raw, Net };

class FLR_EXPORT FlrJrnFileReader {
  public:
    // Maps `path` read-only.
    FlrJrnFileReader(const std::string& path, FlrJrnForm form, const char* function);
    // Walks bytes the caller keeps alive for the reader's life.
    FlrJrnFileReader(const void* data, size_t size, FlrJrnForm form, const char* function);
    ~FlrJrnFileReader();
    FlrJrnFileReader(const FlrJrnFileReader&) = delete;
    FlrJrnFileReader& operator=(const FlrJrnFileReader&) = delete;

    FlrJrnForm form() const { return form_; }
    const char* function() const { return function_; }
    size_t size() const { return size_; }

    // Decodes the next record in place (its strings and payloads point into
    // the file): true, or false at the end of the file. Throws "bad record at
    // byte offset <n>: <why>" for a record the checked decoder refuses, and
    // for a call of the other form's overload.
    bool next(FlrJrnCommand& cmd);
    bool next(FlrJrnCommandNet& cmd);

    // Byte offset and rec_len of the record the last next() returned.
    size_t offset() const { return offset_; }
    uint32_t length() const { return length_; }

    // Back to the first record.
    void rewind() { offset_ = length_ = 0; }

  private:
    bool atEnd();
    void expectForm(FlrJrnForm form) const;
    [[noreturn]] void badRecord(size_t offset, const std::string& why) const;

    const uint8_t* data_ = nullptr;
    size_t size_ = 0;
    bool mapped_ = false;
    FlrJrnForm form_;
    const char* function_;
    size_t offset_ = 0;
    uint32_t length_ = 0;
};

// Records and bytes per command code of a whole file.
struct FLR_EXPORT FlrJrnFileStats {
    std::array<size_t, FLR_JRN_MAX_CODE + 1> records{};
    std::array<size_t, FLR_JRN_MAX_CODE + 1> bytes{};

    size_t totalRecords() const;
    size_t totalBytes() const;
};

// Walks the reader from its first record to the end.
FLR_EXPORT FlrJrnFileStats countJournalFile(FlrJrnFileReader& in);

class FLR_EXPORT FlrJrnFileWriter {
  public:
    // Opens a temporary file beside `path`; nothing appears under `path` before commit.
    FlrJrnFileWriter(std::string path, const char* function);
    // Without a commit the temporary file is removed.
    ~FlrJrnFileWriter();
    FlrJrnFileWriter(const FlrJrnFileWriter&) = delete;
    FlrJrnFileWriter& operator=(const FlrJrnFileWriter&) = delete;

    void write(const void* data, size_t len);
    // Flushes, syncs and renames the file into place.
    void commit();

  private:
    static constexpr size_t kFlushAt = 1 << 20;
    void flush();

    std::unique_ptr<jx::AtomicFile> file_;
    std::vector<uint8_t> buf_;
};

// What a raw-to-network conversion did.
struct FLR_EXPORT FlrJrnFileConversion {
    size_t converted = 0;   // records written
    size_t bytes = 0;       // bytes written
    size_t skippedMsg = 0;  // FLR_JRN_TXTMSG records, which have no network form
    size_t skippedDdr = 0;  // FLR_JRN_WRITE_DDR records, likewise
};

// Converts every raw record of `in` and appends its network form to `out`
// (not committed). A record naming a file the resolver does not know throws
// "record at byte offset <n> (seq_num <s>): <why>".
FLR_EXPORT FlrJrnFileConversion convertJournalFile(FlrJrnFileReader& in,
                                                   const FlrFidResolver& paths,
                                                   FlrJrnFileWriter& out);
