#pragma once
// The senders of a regular file's content, one per method. Each writes the
// body of one entry (between its header and MIR_EOF) on the main
// connection, on the sending thread; their state is that thread's alone.
#include <cstdint>
#include <list>
#include <map>
#include <string>

#include "FlrBackupContext.h"
#include "digest/JxLBFS.h"

class FlrBackupPlanner;
class FlrBackupProgress;
class FlrBackupSender;
class FlrBlockServer;

// The sending thread's buffer for file data: at least kTransferBufferBytes
// and three blocks of hashChunkSize. Handed to the link by reference: a
// swapping send takes it and leaves another buffer (malloc'd, at least as
// large) in its place.
class FlrTransferBuffer {
  public:
    explicit FlrTransferBuffer(int hashChunkSize);
    ~FlrTransferBuffer();
    FlrTransferBuffer(const FlrTransferBuffer&) = delete;
    FlrTransferBuffer& operator=(const FlrTransferBuffer&) = delete;
    void*& data() { return data_; }
    int& size() { return size_; }

  private:
    void* data_ = nullptr;
    int size_ = 0;
};

// What the senders that read file data through the transfer buffer hold.
class FlrDataSender {
  protected:
    FlrDataSender(FlrBackupContext& ctx, FlrBackupProgress& progress, FlrTransferBuffer& buf)
        : ctx_(ctx), progress_(progress), buf_(buf) {}

    FlrBackupContext& ctx_;
    FlrBackupProgress& progress_;
    FlrTransferBuffer& buf_;
};

// The whole file, less the zero runs worth a seek: the tail keeps those as
// holes.
class FlrFullSender : FlrDataSender {
  public:
    FlrFullSender(FlrBackupContext& ctx, FlrBackupProgress& progress, FlrTransferBuffer& buf)
        : FlrDataSender(ctx, progress, buf) {}
    // fd < 0: the file is opened by its source path.
    void send(FlrBackupItem& f, int fd);

  private:
    long long sendSkippingZeros(long long at, int n, long long* cursor);
    void finishSample(bool sampled, long long sent, uint64_t start);
};

// The blocks that differ from the tail's copy, whose digests the planner
// queued as one or more items of the file.
class FlrMD5Sender : FlrDataSender {
  public:
    FlrMD5Sender(FlrBackupContext& ctx, FlrBackupProgress& progress, FlrTransferBuffer& buf,
                 FlrBackupPlanner& planner)
        : FlrDataSender(ctx, progress, buf), planner_(planner) {}
    void send(FlrBackupItem& first, int fd);

  private:
    FlrBackupPlanner& planner_;
};

// An rsync-style delta against the tail's block checksums.
class FlrRSyncSender : FlrDataSender {
  public:
    FlrRSyncSender(FlrBackupContext& ctx, FlrBackupProgress& progress, FlrTransferBuffer& buf)
        : FlrDataSender(ctx, progress, buf) {}
    void send(FlrBackupItem& f, int fd);
};

// The file's block list (LBFS_START); the block server sends the blocks
// the tail asks for.
class FlrLBFSSender {
  public:
    FlrLBFSSender(FlrBackupContext& ctx, FlrBlockServer& blocks) : ctx_(ctx), blocks_(blocks) {}
    // Consumes fd.
    void send(FlrBackupItem& f, int fd);

  private:
    void cutIntoBlocks(const FlrBackupItem& f, int fd, std::list<JxLBFS::HashBlock>* blocks);

    FlrBackupContext& ctx_;
    FlrBlockServer& blocks_;
};

// The written intervals of one file (WBA), or the file by LBFS when that
// is cheaper; counts the bytes sent under each pair.
class FlrWBASender : FlrDataSender {
  public:
    FlrWBASender(FlrBackupContext& ctx, FlrBackupProgress& progress, FlrTransferBuffer& buf,
                 FlrBackupSender& entries)
        : FlrDataSender(ctx, progress, buf), entries_(entries) {}

    // A byte counter of 0 for the pair with source src.
    void countPair(const char* src);
    void clearPairs() { pairBytes_.clear(); }
    unsigned long long bytesOf(const char* src) const;

    void send(const fsf_fid& fid, const char* path, const std::list<unsigned long long>& starts,
              const std::list<unsigned long long>& ends, bool lbfsDisabled);
    // True when LBFS is possible and 5 x its cost is below the interval bytes.
    static bool usesLBFS(uint32_t peerVersion, bool lbfsDisabled, unsigned long long size,
                         size_t pathLen, const std::list<unsigned long long>& starts,
                         const std::list<unsigned long long>& ends);

  private:
    void sendIntervals(const FlrBackupItem& f, int fd, const std::list<unsigned long long>& starts,
                       const std::list<unsigned long long>& ends);

    FlrBackupSender& entries_;
    std::map<std::string, unsigned long long> pairBytes_;
};
