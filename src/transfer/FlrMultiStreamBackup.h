#pragma once
// Several transfer drivers in parallel, each on its own connection to the
// tail, sharing one collect file: the regular files go through the streams,
// then directories and every other entry through one driver on the caller's
// connection, so a directory is applied after its contents. Works on
// path-form collect files (no journal driver).
//
// A failing stream does not stop the others; the run fails after all of
// them ended, with the first failure in stream order, and the directory pass
// is skipped. The split files (collect name + ".files" / ".dirs") are
// removed either way.
#include <sys/types.h>
#include <cstdint>

#include <functional>
#include <map>
#include <string>

class FlrBackup;
class FlrNetHead;
class JxSafeFlags;

class FlrMultiStreamBackup {
  public:
    explicit FlrMultiStreamBackup(int streams);

    // Options handed to every driver.
    bool overwrite = true;
    bool skipVanished = false;
    bool wantMD5 = false;
    bool wantRSync = false;
    bool wantLBFS = false;
    // Later names of a multi-link file go in the closing single pass, as
    // hard links to the name a stream sent (tails of link version 10 on).
    bool linkHardLinks = false;
    // Called on each driver once its options are set (block sizes,
    // thresholds, progress).
    std::function<void(FlrBackup&)> tune;

    void addDirPair(const std::string& src, const std::string& dst) { pairs_[src] = dst; }

    // The split starts at offset; headers carry no collect offsets.
    void backup(FlrNetHead* head, const char* collectFile, unsigned long offset, bool sendOffsets,
                JxSafeFlags* abort, int pairId);

    // The run's LBFS figure (percentage of the LBFS files' bytes not sent,
    // over every driver of the run); a gets the bytes sent as blocks, b the
    // bytes of the files sent by LBFS, each only when its pointer is given.
    float getLBFSStats(unsigned long* a, unsigned long* b) const;

    // Totals of the last run: entries and data bytes sent, and entries by
    // method (0 full, 1 MD5, 2 RSync, 3 LBFS).
    long long getTotalFiles() const { return totalFiles_; }
    long long getTotalBytes() const { return totalBytes_; }
    long long getMethodCount(int method) const;
    // Entries the tail said it could not apply on the stream connections of
    // the last run (see FlrNetHead::unappliedEntries).
    long long getUnappliedEntries() const { return unapplied_; }
    // Bytes both ways on the connections of the last run but the caller's.
    long long getOwnWireBytes() const { return wireBytes_; }
    // Entries the streams left to the next pass (see FlrBackup::getSkippedEntries).
    long long getSkippedEntries() const { return skipped_; }
    // What the tail's privileged-entry policy did on the stream connections
    // of the last run (see FlrNetHead::privilegedEntries); false when a
    // stream's tail could not say.
    bool getPrivilegedEntries(long long* stripped, long long* withheld) const {
        *stripped += privStripped_;
        *withheld += privWithheld_;
        return privReported_;
    }
    // Entries of the last split.
    unsigned long getSplitFiles() const { return splitFiles_; }
    unsigned long getSplitDirs() const { return splitDirs_; }

  private:
    void split(const char* collectFile, unsigned long offset, const std::string& filesPath,
               const std::string& dirsPath, bool groupLinks);
    void setUp(FlrBackup& driver) const;
    void addTotals(const FlrBackup& driver);

    int streams_;
    std::map<std::string, std::string> pairs_;
    float lbfsPercent_ = 0;
    unsigned long lbfsA_ = 0;
    unsigned long lbfsB_ = 0;
    long long totalFiles_ = 0;
    long long totalBytes_ = 0;
    long long methodCounts_[4] = {0, 0, 0, 0};
    unsigned long splitFiles_ = 0;
    unsigned long splitDirs_ = 0;
    long long unapplied_ = 0;
    long long wireBytes_ = 0;
    long long skipped_ = 0;
    long long privStripped_ = 0;
    long long privWithheld_ = 0;
    bool privReported_ = true;
    // The split's first name (source path) of each multi-link file it kept
    // for the closing pass.
    std::map<std::pair<dev_t, ino_t>, std::string> firstNames_;
};
