#pragma once
// The file scanner: walks a pair's source tree and writes what must be copied
// to a collect file and what every walked directory holds to a dirchange file
// (docs/formats.md), counting files and bytes for the job. Four scans:
//   baseline      everything under the source folder, by path
//   smartsyncSDR  entries changed at or after a time, by path
//   smartsyncDDR  the same over a snapshot, reporting source paths, and
//                 rebuilding the name database for the subtree
//   zrpscan       the live file system by file id: lists every directory
//                 between two journal marks, reconciles the name database,
//                 then writes the output from it
// A scan runs in the calling thread and never changes the working
// directory. A scan that fails closes and deletes both of its files.
#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "FLR/FlrFid.h"

class FlrDatabase;
class FlrDriver;
class FlrFilter;
class FlrFilterConf;
class JxSeqCounter;

class FlrIfind {
  public:
    static constexpr int kFormatAttributes = 1;  // dirchangeFormat "With Attributes"
    static constexpr size_t kAttrBufSize = 128;

    // Lines written to the collect file, and the sizes of the selected
    // non-directories (baseline resets both at its end).
    int64_t fileCount = 0;
    int64_t byteCount = 0;
    // 1: entries of the dirchange file carry attribute strings; else plain.
    int dirchangeFormat = 0;
    // The SDR and DDR threshold's fraction of a second (0 to 999,999,999 ns):
    // entries changed at or after timestamp + timestampNanos are selected.
    long timestampNanos = 0;
    // Smart-sync: in a folder that changed, select only the entries that
    // changed too (a rename or link changes the entry's own ctime on Linux),
    // not all of them; the dirchange file still lists every entry.
    bool changedEntriesOnly = false;
    // A caller's excludes (absolute source paths, as FlrFilter matches them):
    // an excluded entry is neither selected nor entered, but the dirchange
    // file still lists it, so a destination keeps its copy.
    const FlrFilter* excludes = nullptr;
    // DDR smart-sync: the database already names the tree as it stood at the
    // threshold (a watch stopped cleanly then), so only folders changed since
    // are listed into it, instead of rebuilding it whole. Every change of a
    // folder's entries (create, remove, rename in or out, link) changes its
    // time; the folders new to the database are listed with all below them.
    bool namesKnownAtTimestamp = false;
    // Folders the last DDR smart-sync listed into the database (counters for
    // tests and the debug log).
    int64_t foldersReconciled = 0;

    FlrIfind();
    ~FlrIfind();
    FlrIfind(const FlrIfind&) = delete;
    FlrIfind& operator=(const FlrIfind&) = delete;

    // A null or empty dirchangeFile writes no dirchange file. With append the
    // collect file is extended instead of replaced. pairId > 0 applies the
    // set's filters and reports to the job; a negative one does neither.
    void baseline(const char* srcDir, const char* collectFile, const char* dirchangeFile,
                  int pairId, bool append);
    void smartsyncSDR(const char* srcDir, long timestamp, const char* collectFile,
                      const char* dirchangeFile, int pairId);
    // Walks snapDir, reporting paths under srcDir; with db, rebuilds the
    // database's subtree of srcDir (rooted at srcDir's mount point), or
    // reconciles it (namesKnownAtTimestamp).
    void smartsyncDDR(const char* snapDir, const char* srcDir, long timestamp,
                      const char* collectFile, const char* dirchangeFile, int pairId,
                      FlrDatabase* db);
    // Needs the pair's configuration and CAP_DAC_READ_SEARCH.
    void zrpscan(const fsf_fid& startFid, long timestamp, const char* collectFile,
                 const char* dirchangeFile, int pairId);

    // Collect-line escaping (FlrCollectText).
    static std::string escape(const std::string& path);
    static std::string unescape(const std::string& text);
    // "|%03o|%lld|%lld|%lld|%u|": permissions, uid, gid, size (regular files
    // only), mtime as unsigned 32 bits; a symbolic link shows 0 permissions.
    // Always NUL-terminated within size.
    static void stat2str(const struct stat& st, char* buffer, size_t size);

    // Entries stat-ed so far in this scan (for progress lines).
    int64_t entryCount() const { return entries_; }
    // fileCount and byteCount as the last scan ended (kept although a
    // baseline resets the counters).
    int64_t lastFileCount() const { return lastFiles_; }
    int64_t lastByteCount() const { return lastBytes_; }
    // Called every `every` entries from the scanning thread with the running
    // totals; for progress display.
    void setProgress(std::function<void(const FlrIfind&)> callback, int64_t every = 4096);

    // The journal sequence counter of the scans' driver calls (default: the
    // host's); tests and tools keep their own.
    void setSeqCounter(JxSeqCounter* counter) { counter_ = counter; }

    class Output;  // a collect or dirchange file being written
    struct Walk;   // the state of one path walk

  private:
    struct Files;
    void openFiles(const char* function, Files& files, const char* collectFile,
                   const char* dirchangeFile, bool append, bool dirchangeOptional);
    void finish(const char* function, Files& files, int pairId, bool baselineTotals);
    void reportToJob(int pairId, bool baselineTotals);
    // Sets up a path walk over walkPath writing to files, reporting paths
    // under reportPath.
    void pathWalk(Walk& walk, Files& files, const FlrFilterConf* filter,
                  const std::string& walkPath, const std::string& reportPath);
    void rebuildDdrDatabase(const std::string& srcLocal, FlrDatabase& db, FlrDriver& driver);
    static bool namesSource(FlrDatabase& db, const std::string& srcLocal, const fsf_fid& srcFid);
    void zrpListLiveTree(const fsf_fid& startFid, int sourceFd, FlrDatabase& db, FlrDriver& driver);
    struct FidWalk;
    void addToCollect(Output& file, const std::string& path);
    void addToCollect(Output& file, char type, const fsf_fid& fid, const std::string& path);
    void countEntry();

    std::unique_ptr<FlrDriver> makeDriver() const;

    JxSeqCounter* counter_ = nullptr;
    int64_t entries_ = 0;
    int64_t lastFiles_ = 0;
    int64_t lastBytes_ = 0;
    int64_t nextProgress_ = 0;
    int64_t progressEvery_ = 0;
    std::function<void(const FlrIfind&)> progress_;
};
