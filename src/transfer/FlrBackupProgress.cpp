// Totals of a run and their reports.
#include "FlrBackupProgress.h"

#include <algorithm>
#include <ctime>

#include "FlrBackup.h"
#include "env/FlrJobClient.h"
#include "platform/EvDebug.h"

namespace {

long long progressNow() {
    return static_cast<long long>(std::time(nullptr));
}

}  // namespace

FlrBackupProgress::FlrBackupProgress(FlrBackupContext& ctx) : ctx_(ctx) {}

FlrBackupProgress::~FlrBackupProgress() = default;

void FlrBackupProgress::beginRun(std::unique_ptr<FlrJobClient> job, unsigned long long offset) {
    job_ = std::move(job);
    lastReport_ = progressNow();
    currentFile_.clear();
    totalBytes_ = bytesSinceReport_ = totalFiles_ = 0;
    filesSinceReport_ = 0;
    std::fill(std::begin(methodCounts_), std::end(methodCounts_), 0);
    lastCollectOffset_ = offset;
}

void FlrBackupProgress::finishRun() {
    if (job_) {
        job_->setNumberOfTransferedFiles(filesSinceReport_);
        job_->setDataTransfered(bytesSinceReport_);
        job_->setCurrentFile("");
        job_->updateInfo(false, nullptr);
        job_.reset();
    }
    filesSinceReport_ = 0;
    bytesSinceReport_ = 0;
    if (fn_) fn_(totalFiles_, totalBytes_, fnContext_);
}

void FlrBackupProgress::abandonRun() {
    job_.reset();
}

void FlrBackupProgress::countBytes(long long bytes) {
    totalBytes_ += bytes;
    bytesSinceReport_ += bytes;
    if (ctx_.counters.liveBytes)
        ctx_.counters.liveBytes->fetch_add(bytes, std::memory_order_relaxed);
}

void FlrBackupProgress::countFile(const FlrBackupItem& f, uint8_t method) {
    ++totalFiles_;
    ++filesSinceReport_;
    if (ctx_.counters.liveFiles) ctx_.counters.liveFiles->fetch_add(1, std::memory_order_relaxed);
    if (ctx_.settings.onEntrySent) ctx_.settings.onEntrySent(f.src);
    if (method < 4) ++methodCounts_[method];
    currentFile_ = f.src;
    if (f.collectOffset) lastCollectOffset_ = f.collectOffset;
    // The link and the disks change speed over a long run: new samples now
    // and then keep the model current at a bounded cost.
    ctx_.samples.refillIfDue(progressNow(), FlrBackup::kReportSecs);
    reportIfDue("FlrBackup::backup");
}

long long FlrBackupProgress::methodCount(int method) const {
    return method >= 0 && method < 4 ? methodCounts_[method] : 0;
}

void FlrBackupProgress::reportIfDue(const char* caller) {
    if (bytesSinceReport_ <= FlrBackup::kReportBytes &&
        filesSinceReport_ <= FlrBackup::kReportFiles)
        return;
    const long long now = progressNow();
    if (now - lastReport_ <= FlrBackup::kReportSecs) return;
    EvDebug::Debug(caller, "Transferred %lld bytes, %lld files so far.", totalBytes_, totalFiles_);
    EvDebug::Debug(caller, "mir_file_inc=%d, mir_byte_inc=%lld, job_client=%p", filesSinceReport_,
                   bytesSinceReport_, static_cast<void*>(job_.get()));
    if (job_) {
        job_->setNumberOfTransferedFiles(filesSinceReport_);
        job_->setDataTransfered(bytesSinceReport_);
        job_->setCurrentFile(currentFile_);
        job_->updateInfo(false, nullptr);
    }
    if (fn_) fn_(totalFiles_, totalBytes_, fnContext_);
    lastReport_ = now;
    filesSinceReport_ = 0;
    bytesSinceReport_ = 0;
}
