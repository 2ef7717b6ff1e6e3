#include "JxFanotify.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/fanotify.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <list>
#include <utility>

#include "FLR/JxException.h"
#include "JxFile.h"
#include "JxMntTab.h"

namespace {

constexpr size_t kReadBuffer = 256 * 1024;
constexpr uint64_t kMarkMask =
    FAN_CREATE | FAN_DELETE | FAN_RENAME | FAN_MODIFY | FAN_CLOSE_WRITE | FAN_ATTRIB | FAN_ONDIR;

// struct file_handle ends in a flexible array: room for the largest handle.
struct KernelHandle {
    alignas(
        struct file_handle) unsigned char room[sizeof(struct file_handle) + JxFanHandle::kMaxBytes];
    struct file_handle& h = *reinterpret_cast<struct file_handle*>(room);
};

uint64_t packFsid(int32_t hi, int32_t lo) {
    return (uint64_t(uint32_t(hi)) << 32) | uint32_t(lo);
}

std::string fanotifyFileSystemOf(const std::string& path) {
    std::list<JxMntTab::Entry> entries;
    if (JxMntTab::getAll(entries).GetCode() < 0) return "file system";
    const JxMntTab::Entry* e = JxMntTab::find(entries, path.c_str());
    return e ? e->fsType + " file system mounted at " + e->mountPoint : "file system";
}

bool fail(std::string* why, const std::string& text) {
    if (why) *why = text;
    return false;
}

// One FID / DFID / DFID_NAME style record: fsid, struct file_handle, and for
// the named kinds a NUL-terminated name, all inside `len` bytes.
bool parseFidRecord(const unsigned char* rec, size_t len, bool named, JxFanHandle& h,
                    std::string* name, std::string* why) {
    const size_t fixed = sizeof(fanotify_event_info_header) + 8 + 8;  // fsid, handle head
    if (len < fixed) return fail(why, "file id record of " + std::to_string(len) + " bytes");
    int32_t fsid[2];
    std::memcpy(fsid, rec + sizeof(fanotify_event_info_header), sizeof fsid);
    uint32_t bytes;
    int32_t type;
    std::memcpy(&bytes, rec + fixed - 8, 4);
    std::memcpy(&type, rec + fixed - 4, 4);
    if (bytes > JxFanHandle::kMaxBytes || bytes > len - fixed)
        return fail(why, "file handle of " + std::to_string(bytes) + " bytes in a record of " +
                             std::to_string(len) + " bytes");
    h.fsid = packFsid(fsid[0], fsid[1]);
    h.type = type;
    h.length = bytes;
    std::memcpy(h.bytes, rec + fixed, bytes);
    if (!named) return true;
    const char* start = reinterpret_cast<const char*>(rec + fixed + bytes);
    const size_t room = len - fixed - bytes;
    const void* nul = std::memchr(start, 0, room);
    if (!nul) return fail(why, "entry name without its end inside the record");
    name->assign(start, size_t(static_cast<const char*>(nul) - start));
    return true;
}

bool parseInfo(const unsigned char* rec, size_t len, JxFanEvent& ev, std::string* why) {
    switch (rec[0]) {
        case FAN_EVENT_INFO_TYPE_FID:
            ev.hasObject = true;
            return parseFidRecord(rec, len, false, ev.object, nullptr, why);
        case FAN_EVENT_INFO_TYPE_DFID:
            ev.hasDir = true;
            return parseFidRecord(rec, len, false, ev.dir, nullptr, why);
        case FAN_EVENT_INFO_TYPE_DFID_NAME:
            ev.hasDir = true;
            return parseFidRecord(rec, len, true, ev.dir, &ev.name, why);
        case FAN_EVENT_INFO_TYPE_OLD_DFID_NAME:
            ev.hasOld = true;
            return parseFidRecord(rec, len, true, ev.oldDir, &ev.oldName, why);
        case FAN_EVENT_INFO_TYPE_NEW_DFID_NAME:
            ev.hasNew = true;
            return parseFidRecord(rec, len, true, ev.newDir, &ev.newName, why);
        default:
            return true;  // kinds we did not ask for (pidfd, error) are skipped
    }
}

bool parseEvent(const unsigned char* p, size_t eventLen, size_t metaLen, JxFanEvent& ev,
                std::string* why) {
    fanotify_event_metadata meta;
    std::memcpy(&meta, p, sizeof meta);
    ev.mask = meta.mask;
    ev.pid = meta.pid;
    ev.fd = meta.fd;
    size_t off = metaLen;
    while (off < eventLen) {
        const size_t left = eventLen - off;
        if (left < sizeof(fanotify_event_info_header))
            return fail(why, "info record header cut off after " + std::to_string(left) + " bytes");
        fanotify_event_info_header hdr;
        std::memcpy(&hdr, p + off, sizeof hdr);
        if (hdr.len < sizeof hdr || hdr.len > left)
            return fail(why, "info record of " + std::to_string(hdr.len) + " bytes with " +
                                 std::to_string(left) + " left in the event");
        if (!parseInfo(p + off, hdr.len, ev, why)) return false;
        off += hdr.len;
    }
    return true;
}

}  // namespace

bool JxFanHandle::operator==(const JxFanHandle& o) const {
    return fsid == o.fsid && type == o.type && length == o.length &&
           std::memcmp(bytes, o.bytes, length) == 0;
}

bool JxFanEvent::overflow() const {
    return (mask & FAN_Q_OVERFLOW) != 0;
}

JxFanotify::JxFanotify(bool boundedQueue) {
    const char* fn = "JxFanotify::open";
    unsigned flags = FAN_CLASS_NOTIF | FAN_CLOEXEC | FAN_NONBLOCK | FAN_REPORT_DFID_NAME_TARGET;
    if (!boundedQueue) flags |= FAN_UNLIMITED_QUEUE;
    fd_ = ::fanotify_init(flags, O_RDONLY | O_LARGEFILE | O_CLOEXEC);
    if (fd_ < 0) {
        const int err = errno;
        if (err == EPERM) JX_THROW_CODE(fn, kNoCapability, err);
        if (err == EINVAL)
            JX_THROW_CODE(fn,
                          "This kernel's fanotify cannot report file ids, names and renames "
                          "(Linux 5.17 or later is needed)",
                          err);
        JX_THROW_ERRNO(fn, "Failed to start fanotify", err);
    }
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd_ < 0) {
        const int err = errno;
        ::close(fd_);
        JX_THROW_ERRNO(fn, "Failed to make a wake-up descriptor", err);
    }
    buf_.resize(kReadBuffer);
}

JxFanotify::~JxFanotify() {
    if (fd_ >= 0) ::close(fd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

uint64_t JxFanotify::markFileSystem(const std::string& path) {
    const char* fn = "JxFanotify::markFileSystem";
    if (::fanotify_mark(fd_, FAN_MARK_ADD | FAN_MARK_FILESYSTEM, kMarkMask, AT_FDCWD,
                        path.c_str()) != 0) {
        const int err = errno;
        if (err == EXDEV || err == ENODEV || err == EOPNOTSUPP)
            JX_THROW_CODE(fn,
                          "Failed to watch " + path + ": the " + fanotifyFileSystemOf(path) +
                              " cannot report file ids",
                          err);
        if (err == EPERM) JX_THROW_CODE(fn, kNoCapability, err);
        JX_THROW_ERRNO(fn, "Failed to watch " + path, err);
    }
    return fsidOf(path);
}

JxFanotify::Wait JxFanotify::wait(int timeoutMs) {
    struct pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {fd_, POLLIN, 0}};
    int rc;
    do {
        rc = ::poll(fds, 2, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    if (rc < 0) JX_THROW_ERRNO("JxFanotify::wait", "Failed to wait for file system events", errno);
    if (fds[0].revents) return Wait::Woken;
    return rc == 0 ? Wait::Timeout : Wait::Ready;
}

void JxFanotify::wake() {
    const uint64_t one = 1;
    // A full counter still wakes every poll; nothing to handle.
    [[maybe_unused]] const ssize_t n = ::write(wakeFd_, &one, sizeof one);
}

bool JxFanotify::woken() const {
    struct pollfd p = {wakeFd_, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

size_t JxFanotify::read(std::vector<JxFanEvent>& out) {
    const ssize_t n = ::read(fd_, buf_.data(), buf_.size());
    if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return 0;
        JX_THROW_ERRNO("JxFanotify::read", "Failed to read file system events", errno);
    }
    const size_t before = out.size();
    std::string why;
    const bool parsed = parse(buf_.data(), size_t(n), out, &why);
    // Descriptors are never asked for; should one come, it must not leak.
    for (size_t i = before; i < out.size(); ++i)
        if (out[i].fd >= 0) ::close(std::exchange(out[i].fd, -1));
    if (!parsed) JX_THROW("JxFanotify::read", "Malformed file system events: " + why);
    return out.size() - before;
}

bool JxFanotify::parse(const void* buf, size_t len, std::vector<JxFanEvent>& out,
                       std::string* why) {
    const auto* p = static_cast<const unsigned char*>(buf);
    size_t off = 0;
    while (off < len) {
        const size_t left = len - off;
        if (left < FAN_EVENT_METADATA_LEN)
            return fail(why, "event cut off after " + std::to_string(left) + " bytes");
        fanotify_event_metadata meta;
        std::memcpy(&meta, p + off, sizeof meta);
        if (meta.vers != FANOTIFY_METADATA_VERSION)
            return fail(why, "event metadata version " + std::to_string(meta.vers));
        if (meta.metadata_len < FAN_EVENT_METADATA_LEN || meta.event_len < meta.metadata_len ||
            meta.event_len > left)
            return fail(why, "event of " + std::to_string(meta.event_len) + " bytes (metadata " +
                                 std::to_string(meta.metadata_len) + ") with " +
                                 std::to_string(left) + " left in the buffer");
        JxFanEvent ev;
        if (!parseEvent(p + off, meta.event_len, meta.metadata_len, ev, why)) return false;
        out.push_back(std::move(ev));
        off += meta.event_len;
    }
    return true;
}

int JxFanotify::openHandle(int mountFd, const JxFanHandle& h, int flags) {
    if (h.length > JxFanHandle::kMaxBytes) {
        errno = EINVAL;
        return -1;
    }
    KernelHandle k;
    k.h.handle_bytes = h.length;
    k.h.handle_type = h.type;
    std::memcpy(k.h.f_handle, h.bytes, h.length);
    const int fd = ::open_by_handle_at(mountFd, &k.h, flags | O_CLOEXEC);
    if (fd < 0 && errno == ESTALE) errno = ENOENT;  // the file no longer exists
    return fd;
}

bool JxFanotify::statHandle(int mountFd, const JxFanHandle& h, JxFanStat& out) {
    jx::File f(openHandle(mountFd, h, O_PATH | O_NOFOLLOW));
    if (!f) return false;
    struct statx sx;
    if (::statx(f.get(), "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME,
                &sx) == 0) {
        if (::fstatat(f.get(), "", &out.st, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) != 0) return false;
        out.hasBirth = (sx.stx_mask & STATX_BTIME) != 0;
        out.birth = {sx.stx_btime.tv_sec, long(sx.stx_btime.tv_nsec)};
        return true;
    }
    return ::fstatat(f.get(), "", &out.st, AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW) == 0;
}

bool JxFanotify::statAt(int mountFd, const JxFanHandle& dir, const std::string& name,
                        struct stat& st) {
    const jx::File d(openHandle(mountFd, dir, O_PATH | O_DIRECTORY));
    return d && ::fstatat(d.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

bool JxFanotify::dirPath(int mountFd, const JxFanHandle& h, std::string& path) {
    jx::File f(openHandle(mountFd, h, O_PATH | O_DIRECTORY));
    if (!f) return false;
    char buf[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(f.get());
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
    if (n <= 0 || size_t(n) == sizeof buf) return false;
    path.assign(buf, size_t(n));
    static const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() &&
        path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
        errno = ENOENT;
        return false;
    }
    return true;
}

bool JxFanotify::readLink(int mountFd, const JxFanHandle& h, std::string& target) {
    jx::File f(openHandle(mountFd, h, O_PATH | O_NOFOLLOW));
    if (!f) return false;
    char buf[4096];
    const ssize_t n = ::readlinkat(f.get(), "", buf, sizeof buf);
    if (n < 0) return false;
    if (size_t(n) == sizeof buf) {
        errno = ENAMETOOLONG;
        return false;
    }
    target.assign(buf, size_t(n));
    return true;
}

bool JxFanotify::readFile(int mountFd, const JxFanHandle& h, size_t max, std::string& data,
                          struct stat& st) {
    jx::File f(openHandle(mountFd, h, O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
    if (!f || jx::fileOps().fstat(f.get(), &st) != 0) return false;
    data.clear();
    if (!S_ISREG(st.st_mode)) return true;
    data.resize(std::min<size_t>(max, size_t(st.st_size)));
    size_t got = 0;
    while (got < data.size()) {
        const ssize_t n =
            jx::fileOps().pread(f.get(), data.data() + got, data.size() - got, off_t(got));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;  // shrunk meanwhile: a later event follows
        got += size_t(n);
    }
    data.resize(got);
    return true;
}

uint64_t JxFanotify::fsidOf(const std::string& path) {
    struct statfs sfs;
    if (::statfs(path.c_str(), &sfs) != 0)
        JX_THROW_ERRNO("JxFanotify::fsidOf", "Failed to read the file system of " + path, errno);
    int32_t v[2];
    std::memcpy(v, &sfs.f_fsid, sizeof v);
    return packFsid(v[0], v[1]);
}

std::string JxFanotify::realDir(const std::string& path, dev_t* dev) {
    const char* fn = "JxFanotify::realDir";
    jx::File f = jx::openFile(path, O_RDONLY | O_DIRECTORY);
    if (!f) JX_THROW_ERRNO(fn, "Failed to open folder " + path, errno);
    struct stat st;
    if (jx::fileOps().fstat(f.get(), &st) != 0) JX_THROW_ERRNO(fn, "Failed to stat " + path, errno);
    if (dev) *dev = st.st_dev;
    char buf[4096];
    const std::string link = "/proc/self/fd/" + std::to_string(f.get());
    const ssize_t n = ::readlink(link.c_str(), buf, sizeof buf);
    if (n <= 0 || size_t(n) == sizeof buf) JX_THROW_ERRNO(fn, "Failed to resolve " + path, errno);
    return std::string(buf, size_t(n));
}
