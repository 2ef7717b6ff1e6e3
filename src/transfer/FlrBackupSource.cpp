// Directory pairs, and opening and describing the source's entries.
#include "FlrBackupSource.h"

#include <fcntl.h>

#include <cerrno>
#include <cstring>

#include "FLR/JxException.h"
#include "platform/EvDebug.h"
#include "platform/FlrDriver.h"
#include "platform/JxACL.h"
#include "platform/JxDirFd.h"
#include "platform/JxFile.h"

namespace {

std::string stripTrailingSlashes(const char* path) {
    std::string s = path ? path : "";
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

// True when path lies at or beneath src ("/data" covers "/data" and
// "/data/x", not "/database").
bool covers(const std::string& src, const char* path) {
    if (src == "/") return true;
    const size_t n = src.size();
    return std::strncmp(path, src.c_str(), n) == 0 && (path[n] == '\0' || path[n] == '/');
}

}  // namespace

FlrBackupSource::FlrBackupSource(FlrDriver* driver, const FlrBackupSettings& settings,
                                 FlrBackupCounters& counters)
    : driver_(driver), settings_(settings), counters_(counters) {}

FlrBackupSource::~FlrBackupSource() = default;

void FlrBackupSource::enableACLs() {
    if (JxACL::Helper::supported())
        aclHelper_ = std::make_unique<JxACL::Helper>();
    else
        EvDebug::Debug("FlrBackup::FlrBackup", "ACL is not supported.");
}

// --- directory pairs ---------------------------------------------------------------

void FlrBackupSource::addPair(const char* src, const char* dst) {
    FlrBackupDirPair pair{stripTrailingSlashes(src), stripTrailingSlashes(dst), nullptr};
    for (const FlrBackupDirPair& p : pairs_)
        if (p.src == pair.src) return;
    jx::File root = jx::openDirectory(pair.src);
    if (root) pair.srcRoot = std::make_shared<const jx::File>(std::move(root));
    pairs_.push_back(std::move(pair));
}

std::string FlrBackupSource::translate(const char* path, const FlrBackupDirPair& pair) {
    if (pair.src == "/") return pair.dst + path;
    if (covers(pair.src, path)) return pair.dst + (path + pair.src.size());
    return path;
}

std::string FlrBackupSource::translate(const char* path, const FlrBackupDirPair** matched) const {
    const FlrBackupDirPair* best = nullptr;
    for (const FlrBackupDirPair& p : pairs_) {
        if (!covers(p.src, path)) continue;
        const size_t len = p.src == "/" ? 1 : p.src.size();
        const size_t bestLen = !best ? 0 : best->src == "/" ? 1 : best->src.size();
        if (!best || len > bestLen) best = &p;
    }
    if (matched) *matched = best;
    return best ? translate(path, *best) : std::string(path);
}

// --- describing entries -----------------------------------------------------------------

bool FlrBackupSource::statEntry(FlrBackupItem& f) const {
    const char* fn = "FlrBackup::openFile";
    if (f.fid.isZero()) {
        if (jx::fileOps().lstat(f.src.c_str(), &f.st) == 0) return true;
        const int err = errno;
        if (settings_.skipVanished) {
            EvDebug::DebugLvl(fn, 2, "Couldn't stat %s: %s", f.src.c_str(),
                              jxErrnoText(err).c_str());
            return false;
        }
        JX_THROW_CODE(fn, "Failed to stat file " + f.src, err);
    }
    // By id the open describes the entry; a descriptor of a directory or a
    // link is of no further use here.
    const int fd = openFile(f.src.c_str(), f.fid, &f.st);
    if (fd < 0) return false;
    jx::fileOps().close(fd);
    return true;
}

void FlrBackupSource::gatherACL(FlrBackupItem& f, int fd) const {
    if (!aclHelper_ || S_ISLNK(f.st.st_mode)) return;
    try {
        // f.st is the fstat of fd (openFile), so the common case is one call.
        f.acl = fd >= 0 ? aclHelper_->get(fd, f.st) : aclHelper_->get(f.src);
    } catch (const JxException& e) {
        EvDebug::Error("FlrBackup::backup", "Failed to get ACL info for %s: %s", f.src.c_str(),
                       e.getMessage().c_str());
        f.acl.clear();
    }
}

// --- opening and reading -----------------------------------------------------------------

int FlrBackupSource::openFile(const char* path, const fsf_fid& fid, struct stat* st) const {
    const char* fn = "FlrBackup::openFile";
    if (fid.isZero()) return openBeneathSource(path, st);
    if (!driver_) JX_THROW(fn, "Internal error: Can't open files by FID w/o FlrDriver");
    const FlrBackupDirPair* pair = nullptr;
    translate(path, &pair);
    if (!pair) JX_THROW(fn, std::string("Couldn't relate ") + path + " to any replication pair");
    const int dirFd = jx::fileOps().open(pair->src.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    const std::string id = fid.toString();
    if (dirFd < 0) JX_THROW(fn, "Couldn't open FID " + id + " due to unknown error");
    const int fd = driver_->openByFID(dirFd, fid, st);
    const int err = errno;
    if (fd >= 0) return fd;
    jx::fileOps().close(dirFd);
    if (err == ENOENT || err == ESTALE) {
        if (settings_.skipVanished) {
            EvDebug::Debug(fn, "Couldn't open FID %s because it's no longer on the FS", id.c_str());
            return -1;
        }
        JX_THROW(fn, "Couldn't open FID " + id + " because it's no longer on the FS");
    }
    if (err == EISDIR || err == ELOOP || err == ENOTDIR)
        JX_THROW(fn, "Couldn't open FID " + id + " because it's no a file");
    JX_THROW(fn, "Couldn't open FID " + id + " due to unknown error");
}

// Opened beneath its pair's source folder without following a link on the
// way, and described by fstat of what was opened: a folder swapped for a link
// between the scan and here cannot make a root head read outside the source,
// and the header always describes the bytes that are read. An entry that is
// no longer a regular file there (a folder, a link, a FIFO now) is left to the
// next pass, which sees it as it is then: one entry never ends the run.
int FlrBackupSource::openBeneathSource(const char* path, struct stat* st) const {
    const char* fn = "FlrBackup::openFile";
    const FlrBackupDirPair* pair = nullptr;
    translate(path, &pair);
    const int flags = O_RDONLY | O_LARGEFILE | O_NONBLOCK | O_NOCTTY;
    jx::File file;
    if (pair && pair->srcRoot) {
        const size_t skip =
            pair->src == "/" ? 1 : pair->src.size() + (path[pair->src.size()] ? 1 : 0);
        file = jx::openBeneath(pair->srcRoot->get(), path + skip, flags);
    } else {
        file = jx::openFile(path, flags | O_NOFOLLOW | O_CLOEXEC);
    }
    int err = errno;
    if (file && jx::fileOps().fstat(file.get(), st) != 0) err = errno, file.reset();
    if (file && S_ISREG(st->st_mode)) return file.release();
    if (file || err == ELOOP || err == ENOTDIR || err == EXDEV || err == ENXIO) {
        ++counters_.skippedEntries;
        EvDebug::Error(
            fn, "%s is no longer a regular file of the source; it is left to the next pass", path);
        return -1;
    }
    if (err == ENOENT && settings_.skipVanished) {
        EvDebug::DebugLvl(fn, 2, "Couldn't open %s: %s", path, jxErrnoText(err).c_str());
        return -1;
    }
    if (err == ENOENT) JX_THROW_CODE(fn, std::string("Failed to stat file ") + path, err);
    JX_THROW(fn, std::string("Failed to open file ") + path + ": " + jxErrnoText(err));
}

int FlrBackupSource::readAll(int fd, void* buf, int len) {
    int done = 0;
    while (done < len) {
        const ssize_t n =
            jx::fileOps().read(fd, static_cast<char*>(buf) + done, static_cast<size_t>(len - done));
        if (n > 0) {
            done += static_cast<int>(n);
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            JX_THROW("FlrBackup::readAll", "File read error: " + jxErrnoText(errno));
        }
    }
    return done;
}
