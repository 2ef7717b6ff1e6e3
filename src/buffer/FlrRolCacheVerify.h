#pragma once
// Checks of a rolling-cache directory as a reader sees it: every file record
// by record (numbers, lengths, continuity, optionally the raw journal records
// inside), and files closed by their writer against their block checksums.
//
// Reads the files directly and takes no lock, so it never holds up a live
// writer: a file the writer deletes meanwhile is reported as gone, and the
// record the writer is appending to the newest file as incomplete.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class FlrRolCacheVerify {
  public:
    enum class Outcome { kSound, kGone, kIncomplete, kDamaged };

    struct FileCheck {
        Outcome outcome = Outcome::kSound;
        uint64_t first = 0, last = 0, entries = 0;
        long long size = 0;
        long long offset = 0;  // of the damaged or incomplete record
        std::string why;
    };

    struct CacheFile {
        uint64_t seq;
        std::string name;
    };

    struct Options {
        bool newest = false;   // the writer may be appending to it
        bool journal = false;  // check journal payloads
    };

    // Called for every sound record; returning false stops the walk.
    using Visitor =
        std::function<bool(uint64_t seq, long long offset, const unsigned char* p, int len)>;

    // Lists dir. Errors throw "Failed to open directory <dir>: <strerror>".
    explicit FlrRolCacheVerify(std::string dir);

    const std::vector<CacheFile>& files() const { return files_; }
    // "cache." names the cache never writes, sorted.
    const std::vector<std::string>& strays() const { return strays_; }
    const std::string& dir() const { return dir_; }

    // Checks files()[i]. Files are checked in ascending order (each must
    // follow the previous one's last number); startAfter sets where the
    // walk starts. opt.newest is set for the last file.
    FileCheck check(size_t i, Options opt, const Visitor& visit = nullptr);
    void startAfter(uint64_t prev) { prev_ = prev; }

    // Walks the records of one file's bytes; prev is the number before the
    // file and becomes its last.
    static FileCheck checkBytes(const std::vector<unsigned char>& data, uint64_t nameSeq,
                                Options opt, uint64_t& prev, const Visitor& visit = nullptr);
    // The person-readable note for an outcome other than sound.
    static std::string noteOf(const FileCheck& fc);

  private:
    std::string dir_;
    std::vector<CacheFile> files_;
    std::vector<std::string> strays_;
    std::vector<unsigned char> data_;  // reused for every file
    uint64_t prev_ = 0;
};
