#include "FlrDriver.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <list>

#include "FLR/JxException.h"
#include "JxMntTab.h"
#include "JxSeqCounter.h"

namespace {

constexpr unsigned kMaxKernelHandle = 128;  // MAX_HANDLE_SZ

// struct file_handle ends in a flexible array: room for the largest handle.
struct Handle {
    alignas(struct file_handle) unsigned char room[sizeof(struct file_handle) + kMaxKernelHandle];
    struct file_handle& h = *reinterpret_cast<struct file_handle*>(room);
};

void requireCapability(const char* function) {
    if (!FlrDriver::hasCapability()) JX_THROW_CODE(function, FlrDriver::kNoCapability, EPERM);
}

// "ext4 file system mounted at /data", for messages about a path.
std::string fileSystemOf(const std::string& path) {
    std::list<JxMntTab::Entry> entries;
    if (JxMntTab::getAll(entries).GetCode() < 0) return "file system";
    const JxMntTab::Entry* e = JxMntTab::find(entries, path.c_str());
    return e ? e->fsType + " file system mounted at " + e->mountPoint : "file system";
}

std::string pathOfFd(int fd) {
    char buf[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, size_t(n)) : link;
}

bool sameTime(const struct timespec& a, const struct timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Time stamps come from the kernel's coarse clock; a change within the same
// tick as an earlier one leaves them unchanged. Two ticks of margin.
bool tooRecentToTell(const struct timespec& t) {
    struct timespec now, res;
    ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
    if (::clock_getres(CLOCK_REALTIME_COARSE, &res) != 0) res = {0, 10'000'000};
    const long long ns = (now.tv_sec - t.tv_sec) * 1'000'000'000LL + (now.tv_nsec - t.tv_nsec);
    return ns <= 2 * (res.tv_sec * 1'000'000'000LL + res.tv_nsec);
}

}  // namespace

FlrDriver::FlrDriver() : counter_(JxSeqCounter::host()) {}

FlrDriver::FlrDriver(JxSeqCounter& counter) : counter_(counter) {}

FlrDriver::~FlrDriver() {
    for (auto& [dev, fd] : mounts_) ::close(fd);
}

bool FlrDriver::hasCapability(std::string* why) {
    struct __user_cap_header_struct hdr = {_LINUX_CAPABILITY_VERSION_3, 0};
    struct __user_cap_data_struct data[2] = {};
    const bool has = ::syscall(SYS_capget, &hdr, data) == 0 &&
                     (data[0].effective & (1u << CAP_DAC_READ_SEARCH)) != 0;
    if (!has && why) *why = kNoCapability;
    return has;
}

bool FlrDriver::packHandle(int type, const unsigned char* bytes, unsigned length, fsf_fid& fid,
                           std::string* why) {
    if (type < 0 || type > 0xFFFF || length > kMaxHandleBytes) {
        if (why)
            *why = "its file handle (type " + std::to_string(type) + ", " + std::to_string(length) +
                   " bytes) does not fit in a file id (at most " + std::to_string(kMaxHandleBytes) +
                   " bytes)";
        return false;
    }
    fid = fsf_fid::fid0;
    fid.bytes[0] = uint8_t(type >> 8);
    fid.bytes[1] = uint8_t(type);
    fid.bytes[2] = uint8_t(length);
    std::memcpy(fid.bytes + 3, bytes, length);
    return true;
}

fsf_fid FlrDriver::getFID(const std::string& path, bool follow) {
    return getFIDAt(AT_FDCWD, path, follow);
}

fsf_fid FlrDriver::getFIDAt(int dirFd, const std::string& name, bool follow) {
    const char* fn = "FlrDriver::getFID";
    requireCapability(fn);
    Handle handle;
    handle.h.handle_bytes = kMaxKernelHandle;
    int mountId = 0;
    // The shown name costs a readlink: only for an error (scans call this per entry).
    const auto shownName = [&] { return dirFd == AT_FDCWD ? name : pathOfFd(dirFd) + "/" + name; };
    if (::name_to_handle_at(dirFd, name.c_str(), &handle.h, &mountId,
                            follow ? AT_SYMLINK_FOLLOW : 0) != 0) {
        const int err = errno;
        const std::string shown = shownName();
        if (err == EOPNOTSUPP)
            JX_THROW_CODE(fn,
                          "Failed to get the file id of " + shown + ": the " + fileSystemOf(shown) +
                              " has no file handles",
                          err);
        JX_THROW_ERRNO(fn, "Failed to get the file id of " + shown, err);
    }
    fsf_fid fid;
    std::string why;
    if (!packHandle(handle.h.handle_type, handle.h.f_handle, handle.h.handle_bytes, fid, &why))
        JX_THROW(fn, "Failed to get the file id of " + shownName() + " on the " +
                         fileSystemOf(shownName()) + ": " + why);
    return fid;
}

int FlrDriver::openHandle(int mount, const fsf_fid& fid, int flags) const {
    const unsigned length = fid.bytes[2];
    if (length > kMaxHandleBytes) {
        errno = EINVAL;
        return -1;
    }
    Handle handle;
    handle.h.handle_type = (int(fid.bytes[0]) << 8) | fid.bytes[1];
    handle.h.handle_bytes = length;
    std::memcpy(handle.h.f_handle, fid.bytes + 3, length);
    const int fd = ::open_by_handle_at(mount, &handle.h, flags | O_CLOEXEC);
    if (fd < 0 && errno == ESTALE) errno = ENOENT;  // the file no longer exists
    return fd;
}

int FlrDriver::openByFID(int fd, const fsf_fid& fid, struct stat* st) {
    requireCapability("FlrDriver::openByFID");
    struct stat own;
    if (::fstat(fd, &own) != 0) return -1;
    if (!mounts_.count(own.st_dev)) {
        const int keep = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (keep >= 0) mounts_[own.st_dev] = keep;
    }
    int file = openHandle(fd, fid, O_RDONLY | O_NOFOLLOW);
    if (file < 0 && errno == ELOOP) file = openHandle(fd, fid, O_PATH | O_NOFOLLOW);
    if (file < 0) return -1;
    struct stat fileStat;
    if (::fstat(file, &fileStat) != 0 || ::dup3(file, fd, O_CLOEXEC) < 0) {
        const int err = errno;
        ::close(file);
        errno = err;
        return -1;
    }
    ::close(file);
    if (st) *st = fileStat;
    return fd;
}

int FlrDriver::statByFID(int fd, const fsf_fid& fid, struct stat* st) {
    requireCapability("FlrDriver::statByFID");
    struct stat own;
    if (::fstat(fd, &own) != 0) return -1;
    if (!mounts_.count(own.st_dev)) {
        const int keep = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
        if (keep >= 0) mounts_[own.st_dev] = keep;
    }
    const int file = openHandle(fd, fid, O_PATH | O_NOFOLLOW);
    if (file < 0) return -1;
    const int rc = ::fstat(file, st);
    const int err = errno;
    ::close(file);
    errno = err;
    return rc;
}

std::string FlrDriver::readLink(const std::string& src, const fsf_fid& fid) {
    const char* fn = "FlrDriver::readLink";
    requireCapability(fn);
    const int dir = ::open(src.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) JX_THROW_ERRNO(fn, "Failed to open " + src, errno);
    const int link = openHandle(dir, fid, O_PATH | O_NOFOLLOW);
    const int openErr = errno;
    ::close(dir);
    if (link < 0) JX_THROW_ERRNO(fn, "Failed to open link " + fid.toString(), openErr);
    char buf[4096];
    const ssize_t n = ::readlinkat(link, "", buf, sizeof buf);
    const int err = errno;
    ::close(link);
    if (n < 0) JX_THROW_ERRNO(fn, "Failed to read link " + fid.toString(), err);
    if (size_t(n) == sizeof buf) JX_THROW(fn, "Link " + fid.toString() + " is too long");
    return std::string(buf, size_t(n));
}

void FlrDriver::injectNOOP(uint64_t* seq, void*) {
    const uint64_t n = counter_.next();
    if (seq) *seq = n;
}

int FlrDriver::mountFd(dev_t dev, const char* function) const {
    const auto it = mounts_.find(dev);
    if (it == mounts_.end())
        JX_THROW(function, "No descriptor on device " + std::to_string(major(dev)) + ":" +
                               std::to_string(minor(dev)) + ": open a file of it by id first");
    return it->second;
}

bool FlrDriver::dirState(dev_t dev, const fsf_fid& fid, DirState& out) const {
    const int fd = openHandle(mountFd(dev, "FlrDriver::startDetailStat"), fid, O_PATH);
    if (fd < 0) return false;
    struct stat st;
    const bool ok = ::fstat(fd, &st) == 0;
    ::close(fd);
    if (!ok) return false;
    out.ctime = st.st_ctim;
    out.mtime = st.st_mtim;
    out.size = st.st_size;
    out.unsure = tooRecentToTell(st.st_ctim) || tooRecentToTell(st.st_mtim);
    return true;
}

void FlrDriver::startDetailStat(dev_t dev, const fsf_fid& dirFid) {
    requireCapability("FlrDriver::startDetailStat");
    DirState s{};
    // A directory that cannot be stat-ed now reports "changed" at stop.
    if (!dirState(dev, dirFid, s)) s.unsure = true;
    started_[dirFid] = s;
}

void FlrDriver::stopDetailStat(dev_t dev, const fsf_fid& dirFid, uint64_t* seq, int* changed) {
    requireCapability("FlrDriver::stopDetailStat");
    const auto it = started_.find(dirFid);
    DirState now{};
    bool differs = it == started_.end() || it->second.unsure || !dirState(dev, dirFid, now);
    if (!differs)
        differs = !sameTime(now.ctime, it->second.ctime) ||
                  !sameTime(now.mtime, it->second.mtime) || now.size != it->second.size;
    if (it != started_.end()) started_.erase(it);
    // Drawn after the second look: every journal record of a later change
    // gets a higher number.
    injectNOOP(seq, nullptr);
    if (changed) *changed = differs ? 1 : 0;
}
