#pragma once
// What a run has sent so far, and the reports of it: to the job client, the
// caller's progress callback and its live counters. Used on the sending
// thread only (the live counters, shared with other threads, are atomic).
#include <cstdint>
#include <memory>
#include <string>

#include "FlrBackupContext.h"

class FlrJobClient;

class FlrBackupProgress {
  public:
    using ProgressFn = void (*)(long long totalFiles, long long totalBytes, void* context);

    explicit FlrBackupProgress(FlrBackupContext& ctx);
    ~FlrBackupProgress();
    FlrBackupProgress(const FlrBackupProgress&) = delete;
    FlrBackupProgress& operator=(const FlrBackupProgress&) = delete;

    void setCallback(ProgressFn fn, void* context) { fn_ = fn, fnContext_ = context; }
    // A new run from collect offset `offset`, reported to job (may be null).
    void beginRun(std::unique_ptr<FlrJobClient> job, unsigned long long offset);
    // The last report of a run that completed.
    void finishRun();
    // A run that failed reports nothing more.
    void abandonRun();

    void countBytes(long long bytes);
    void countFile(const FlrBackupItem& f, uint8_t method);
    // Reports when enough was sent since the last report and it is due.
    void reportIfDue(const char* caller);

    long long totalFiles() const { return totalFiles_; }
    long long totalBytes() const { return totalBytes_; }
    unsigned long long lastCollectOffset() const { return lastCollectOffset_; }
    long long methodCount(int method) const;

  private:
    FlrBackupContext& ctx_;
    ProgressFn fn_ = nullptr;
    void* fnContext_ = nullptr;
    std::unique_ptr<FlrJobClient> job_;
    long long lastReport_ = 0;
    std::string currentFile_;
    long long totalBytes_ = 0;
    long long bytesSinceReport_ = 0;
    long long totalFiles_ = 0;
    int filesSinceReport_ = 0;
    long long methodCounts_[4] = {0, 0, 0, 0};
    unsigned long long lastCollectOffset_ = 0;
};
