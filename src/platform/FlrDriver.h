#pragma once
// The journal driver interface on Linux file handles. A file id is the
// kernel's file handle of the file (name_to_handle_at) packed into the
// 24-byte fsf_fid: handle type (16 bits, big-endian), handle length (one
// byte), then the handle bytes (at most 21; a longer handle is refused with
// the file system named). Ids stay valid across renames and name the same
// file through every hard link. Opening by id (open_by_handle_at) needs
// CAP_DAC_READ_SEARCH: without it every call throws kNoCapability.
//
// Sequence numbers come from the host-wide JxSeqCounter, which the live
// journal source shares, so a no-op mark or a detail-stat bracket orders
// against journal records.
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

#include "FLR/FlrFid.h"

class JxSeqCounter;

class FlrDriver {
  public:
    static constexpr const char* kNoCapability =
        "Opening files by id needs CAP_DAC_READ_SEARCH, which this process lacks (run it as "
        "root or grant it the capability)";
    static constexpr size_t kMaxHandleBytes = fsf_fid::kSize - 3;

    FlrDriver();  // on JxSeqCounter::host()
    explicit FlrDriver(JxSeqCounter& counter);
    ~FlrDriver();
    FlrDriver(const FlrDriver&) = delete;
    FlrDriver& operator=(const FlrDriver&) = delete;

    // The id of path; a final symbolic link is followed only with `follow`.
    // Throws JxException (function "FlrDriver::getFID") naming the path.
    fsf_fid getFID(const std::string& path, bool follow);
    // The same for a name relative to a directory descriptor.
    fsf_fid getFIDAt(int dirFd, const std::string& name, bool follow);

    // Opens the file with that id on the file system of fd and puts it onto
    // fd (fd's old description is closed); *st describes the file. Returns
    // fd, or -1 with errno (ENOENT when the file no longer exists). A
    // symbolic link is opened as an O_PATH descriptor.
    int openByFID(int fd, const fsf_fid& fid, struct stat* st);

    // Only the stat of the file with that id on the file system of fd (which
    // keeps referring to what it did): nothing is opened for reading, so a
    // FIFO or a device is never opened. 0, or -1 with errno (ENOENT when the
    // file no longer exists).
    int statByFID(int fd, const fsf_fid& fid, struct stat* st);

    // The target of the symbolic link with that id under sourceDir (a pair's
    // source folder, which the caller looks up: the driver knows no pairs).
    // Throws JxException (function "FlrDriver::readLink").
    std::string readLink(const std::string& sourceDir, const fsf_fid& fid);

    // The sequence number of a no-op mark. `reserved` is not used.
    void injectNOOP(uint64_t* seq, void* reserved);

    // Bracket the listing of a directory: stop gives the sequence number the
    // listing is consistent with and a non-zero `changed` when the directory
    // changed meanwhile (also when it changed so shortly before start that
    // the file system's time stamps could not tell). The device must be one
    // this driver has opened a file of by id.
    void startDetailStat(dev_t dev, const fsf_fid& dirFid);
    void stopDetailStat(dev_t dev, const fsf_fid& dirFid, uint64_t* seq, int* changed);

    // True when the process may open files by id; otherwise why not.
    static bool hasCapability(std::string* why = nullptr);
    // Packs a kernel handle into an id; false (why says so) when it does not fit.
    static bool packHandle(int type, const unsigned char* bytes, unsigned length, fsf_fid& fid,
                           std::string* why);

  private:
    struct DirState {
        struct timespec ctime, mtime;
        off_t size;
        bool unsure;
    };
    int mountFd(dev_t dev, const char* function) const;
    int openHandle(int mountFd, const fsf_fid& fid, int flags) const;
    bool dirState(dev_t dev, const fsf_fid& fid, DirState& out) const;

    JxSeqCounter& counter_;
    std::map<dev_t, int> mounts_;  // one descriptor per file system seen
    std::map<fsf_fid, DirState> started_;
};
