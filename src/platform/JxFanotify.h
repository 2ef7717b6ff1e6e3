#pragma once
// fanotify on whole file systems, reporting file ids and names: the kernel
// side of the live journal source. Events arrive as plain structs carrying
// the kernel file handles (the same handles name_to_handle_at gives, so
// FlrDriver::packHandle turns them into the file ids scans use), the parent
// directory's handle and the entry name, and for a rename both the old and
// the new directory and name.
//
// Every info record is parsed with its length checked against the event and
// the buffer: a malformed buffer is refused with a reason, never read past.
#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// One kernel file handle with the id of the file system it belongs to.
struct JxFanHandle {
    static constexpr unsigned kMaxBytes = 128;  // MAX_HANDLE_SZ
    uint64_t fsid = 0;
    int type = 0;
    unsigned length = 0;
    unsigned char bytes[kMaxBytes] = {};

    bool operator==(const JxFanHandle& o) const;
};

struct JxFanEvent {
    uint64_t mask = 0;
    int32_t pid = 0;
    int32_t fd = -1;         // as the kernel gave it; read() closes any it gets
    bool hasObject = false;  // FID record: the file the event is about
    bool hasDir = false;     // DFID_NAME or DFID record
    bool hasOld = false;     // OLD_DFID_NAME (rename)
    bool hasNew = false;     // NEW_DFID_NAME (rename)
    JxFanHandle object;
    JxFanHandle dir;
    std::string name;  // "." when the event is about the directory itself
    JxFanHandle oldDir;
    std::string oldName;
    JxFanHandle newDir;
    std::string newName;

    bool overflow() const;
};

// A file's status read through its handle; birth time when the file system
// keeps one.
struct JxFanStat {
    struct stat st;
    bool hasBirth = false;
    struct timespec birth = {0, 0};
};

class JxFanotify {
  public:
    static constexpr const char* kNoCapability =
        "Watching a file system needs CAP_SYS_ADMIN, which this process lacks (run it as root "
        "or grant it the capability)";

    // The events a journal needs: entries created, deleted and renamed, data
    // modified, files closed after writing, attribute changes; directories
    // included. The queue is unlimited unless `boundedQueue` (tests force an
    // overflow with it). Throws JxException (function "JxFanotify::open").
    explicit JxFanotify(bool boundedQueue = false);
    ~JxFanotify();
    JxFanotify(const JxFanotify&) = delete;
    JxFanotify& operator=(const JxFanotify&) = delete;

    // Marks the whole file system of path; returns its fsid as events carry
    // it. Throws naming the path and the file system type when it cannot
    // report file ids.
    uint64_t markFileSystem(const std::string& path);

    enum class Wait { Ready, Timeout, Woken };
    // Waits up to timeoutMs (-1: no limit) for events or a wake().
    Wait wait(int timeoutMs);
    // Any thread: makes the current and every later wait() return Woken.
    void wake();
    bool woken() const;

    // Reads what is queued (never blocks) into a reused buffer and appends
    // the parsed events. Returns the number of events appended. Throws on a
    // read error or a malformed buffer.
    size_t read(std::vector<JxFanEvent>& out);

    // Parses a buffer of events as read from a fanotify descriptor. False
    // (reason in *why) for a truncated or overlong event or info record, a
    // handle longer than the record holding it, a name without its NUL, or
    // an unknown metadata version. Events before the fault are kept in out.
    static bool parse(const void* buf, size_t len, std::vector<JxFanEvent>& out, std::string* why);

    // Handle operations on the file system of mountFd (any descriptor on it).
    // Each returns -1 / false with errno (ENOENT once the file is gone).
    static int openHandle(int mountFd, const JxFanHandle& h, int flags);
    static bool statHandle(int mountFd, const JxFanHandle& h, JxFanStat& out);
    // The status of `name` in the directory with handle `dir`, not following
    // a final link.
    static bool statAt(int mountFd, const JxFanHandle& dir, const std::string& name,
                       struct stat& st);
    // The current path of a directory; false when it is gone.
    static bool dirPath(int mountFd, const JxFanHandle& h, std::string& path);
    // The target of the symbolic link with that handle.
    static bool readLink(int mountFd, const JxFanHandle& h, std::string& target);
    // Up to `max` bytes of the file from offset 0, and its status.
    static bool readFile(int mountFd, const JxFanHandle& h, size_t max, std::string& data,
                         struct stat& st);
    // fsid of the file system holding path, as events carry it.
    static uint64_t fsidOf(const std::string& path);
    // The folder's path with every link resolved, as dirPath reports paths;
    // its device in *dev. Throws JxException (function "JxFanotify::realDir").
    static std::string realDir(const std::string& path, dev_t* dev);

  private:
    int fd_ = -1;
    int wakeFd_ = -1;
    std::vector<unsigned char> buf_;
};
