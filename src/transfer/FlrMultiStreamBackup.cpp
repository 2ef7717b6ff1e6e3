// Parallel transfer streams over one shared collect file, then the
// directory pass.
#include "FlrMultiStreamBackup.h"

#include <sys/stat.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <vector>

#include "FLR/JxException.h"
#include "FLR/JxSafeFlags.h"
#include "FlrBackup.h"
#include "net/FlrNetHead.h"
#include "net/FlrNetTail.h"
#include "platform/EvDebug.h"
#include "platform/JxFile.h"
#include "platform/JxThread.h"
#include "scan/FlrCollectFile.h"
#include "scan/FlrCollectText.h"

namespace {

// Lines gathered and written in large pieces; committed whole.
class SplitWriter {
  public:
    explicit SplitWriter(const std::string& path)
        : file_(path, 0600, "split collect file", "FlrMultiStreamBackup") {}
    void add(const std::string& path) {
        FlrCollectText::appendEscaped(buf_, path);
        buf_ += '\n';
        ++lines_;
        if (buf_.size() >= kPiece) flush();
    }
    void commit() {
        flush();
        file_.commit();
    }
    unsigned long lines() const { return lines_; }

  private:
    static constexpr size_t kPiece = 1 << 16;
    void flush() {
        file_.write(buf_);
        buf_.clear();
    }
    jx::AtomicFile file_;
    std::string buf_;
    unsigned long lines_ = 0;
};

// One parallel stream: its connection, driver and outcome.
struct Stream {
    std::unique_ptr<FlrNetHead> conn;
    std::unique_ptr<FlrBackup> driver;
    JxThread thread;
    std::unique_ptr<JxException> error;
    long long unapplied = 0;  // as the stream's last ping said
    long long stripped = 0;   // what the tail's privileged-entry policy did
    long long withheld = 0;
    bool privReported = false;
};

void removeSplitFiles(const std::string& files, const std::string& dirs) {
    jx::fileOps().unlink(files.c_str());
    jx::fileOps().unlink(dirs.c_str());
}

}  // namespace

FlrMultiStreamBackup::FlrMultiStreamBackup(int streams) : streams_(streams < 1 ? 1 : streams) {
    EvDebug::Debug("FlrMultiStreamBackup::FlrMultiStreamBackup", "Initializing for %d streams",
                   streams_);
}

long long FlrMultiStreamBackup::getMethodCount(int method) const {
    return method >= 0 && method < 4 ? methodCounts_[method] : 0;
}

float FlrMultiStreamBackup::getLBFSStats(unsigned long* a, unsigned long* b) const {
    if (a) *a = lbfsA_;
    if (b) *b = lbfsB_;
    return lbfsPercent_;
}

void FlrMultiStreamBackup::split(const char* collectFile, unsigned long offset,
                                 const std::string& filesPath, const std::string& dirsPath,
                                 bool groupLinks) {
    firstNames_.clear();
    std::map<std::pair<dev_t, ino_t>, std::string> seen;
    FlrCollectFile in(collectFile, static_cast<int64_t>(offset));
    SplitWriter files(filesPath);
    SplitWriter dirs(dirsPath);
    char line[FlrBackup::kCollectLineSize];
    while (in.readLine(line, sizeof line)) {
        if (line[0] == '\0') continue;
        const std::string path = line;
        struct stat st {};
        const bool regular = path.find('/') != std::string::npos &&
                             jx::fileOps().lstat(line, &st) == 0 && S_ISREG(st.st_mode);
        // A later name of a file a stream sends waits for the closing pass,
        // when the streams' files are in place: it goes as a link then.
        bool later = false;
        if (regular && groupLinks && st.st_nlink > 1) {
            auto [it, first] = seen.try_emplace({st.st_dev, st.st_ino}, path);
            if (!first) firstNames_.emplace(it->first, it->second);
            later = !first;
        }
        (regular && !later ? files : dirs).add(path);
    }
    files.commit();
    dirs.commit();
    splitFiles_ = files.lines();
    splitDirs_ = dirs.lines();
    EvDebug::Debug("FlrMultiStreamBackup::backup",
                   "Successfully split collect file: %lu files, %lu dirs", splitFiles_, splitDirs_);
}

void FlrMultiStreamBackup::setUp(FlrBackup& driver) const {
    driver.overwrite = overwrite;
    driver.skipVanished = skipVanished;
    driver.useMD5 = wantMD5 && !driver.isMD5Disabled();
    driver.useRSync = wantRSync && !driver.isRSyncDisabled();
    driver.useLBFS = wantLBFS && !driver.isLBFSDisabled();
    if (wantLBFS && driver.isLBFSDisabled()) {
        // MD5 and RSync take the place of a disabled LBFS.
        driver.useMD5 = !driver.isMD5Disabled();
        driver.useRSync = !driver.isRSyncDisabled();
    }
    for (const auto& [src, dst] : pairs_) driver.addDirPair(src.c_str(), dst.c_str());
    if (tune) tune(driver);
}

void FlrMultiStreamBackup::addTotals(const FlrBackup& driver) {
    totalFiles_ += driver.getTotalFiles();
    totalBytes_ += driver.getTotalBytes();
    for (int m = 0; m < 4; ++m) methodCounts_[m] += driver.getMethodCount(m);
    skipped_ += driver.getSkippedEntries();
    lbfsA_ += driver.getLBFSBlockBytes();
    lbfsB_ += driver.getLBFSFileBytes();
    wireBytes_ += driver.getOwnWireBytes();
}

void FlrMultiStreamBackup::backup(FlrNetHead* head, const char* collectFile, unsigned long offset,
                                  bool /*sendOffsets*/, JxSafeFlags* abort, int pairId) {
    const char* fn = "FlrMultiStreamBackup::backup";
    if (!head || !abort || !collectFile)
        JX_THROW(fn, "Invalid arguments: NULL pointers passed as input.");
    totalFiles_ = totalBytes_ = unapplied_ = skipped_ = privStripped_ = privWithheld_ = 0;
    wireBytes_ = 0;
    privReported_ = true;
    std::fill(std::begin(methodCounts_), std::end(methodCounts_), 0);
    lbfsA_ = lbfsB_ = 0;
    lbfsPercent_ = 0;
    const std::string filesPath = std::string(collectFile) + ".files";
    const std::string dirsPath = std::string(collectFile) + ".dirs";
    split(collectFile, offset, filesPath, dirsPath,
          linkHardLinks && head->getPeerVersion() >= FlrNetTail::kHardLinkVersion);

    std::unique_ptr<JxException> failure;
    {
        FlrCollectFile shared(filesPath, 0);
        std::vector<Stream> streams(static_cast<size_t>(streams_));
        for (Stream& s : streams) {
            try {
                s.conn.reset(head->dup());
                s.driver = std::make_unique<FlrBackup>(s.conn.get(), abort, nullptr);
                setUp(*s.driver);
            } catch (const JxException& e) {
                s.error = std::make_unique<JxException>(e);
                continue;
            }
            s.thread.start("FlrStream", [&s, &shared, pairId] {
                try {
                    s.driver->backup(&shared, false, pairId);
                    // Answered once the tail applied everything before it,
                    // so no directory is applied ahead of its files.
                    s.conn->ping();
                    s.unapplied = s.conn->unappliedEntries() + s.driver->getUnappliedEntries();
                    s.privReported = s.conn->privilegedEntries(&s.stripped, &s.withheld);
                } catch (const JxException& e) {
                    EvDebug::Error("FlrMultiStreamBackup::backup", "%s", e.toString().c_str());
                    s.error = std::make_unique<JxException>(e);
                } catch (const std::exception& e) {
                    s.error = std::make_unique<JxException>("FlrMultiStreamBackup::backup",
                                                            e.what(), "FlrMultiStreamBackup", 0);
                }
            });
        }
        for (Stream& s : streams) {
            if (s.thread.joinable()) s.thread.join();
            if (s.error && !failure) failure = std::move(s.error);
            if (s.driver) addTotals(*s.driver);
            unapplied_ += s.unapplied;
            if (s.conn) wireBytes_ += s.conn->wireBytesSent() + s.conn->wireBytesReceived();
            privStripped_ += s.stripped;
            privWithheld_ += s.withheld;
            privReported_ = privReported_ && (s.privReported || !s.conn);
        }
    }
    if (failure) {
        removeSplitFiles(filesPath, dirsPath);
        throw JxException(failure->getFunction(), failure->getMessage(), "FlrMultiStreamBackup",
                          __LINE__, failure->getCode());
    }
    try {
        FlrBackup dirsDriver(head, abort, nullptr);
        setUp(dirsDriver);
        dirsDriver.linkHardLinks = linkHardLinks;
        for (const auto& [key, src] : firstNames_) dirsDriver.seedLinkName(src, key);
        dirsDriver.backup(dirsPath.c_str(), 0, false, pairId);
        addTotals(dirsDriver);
        // The figure of the whole run: the streams sent the files.
        lbfsPercent_ = FlrBackup::lbfsSavedPercent(totalBytes_, lbfsA_, lbfsB_);
    } catch (...) {
        removeSplitFiles(filesPath, dirsPath);
        throw;
    }
    removeSplitFiles(filesPath, dirsPath);
}
