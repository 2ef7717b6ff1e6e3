#pragma once
// First-in, first-out queue of raw journal entries between the thread that
// reads the journal driver and the thread that processes its records. Entries
// are kept in memory up to a byte limit; beyond it they spill into swap files
// (when a swap directory is configured) so the producer is not held up by a
// slow consumer. The queue can be drained into an export file and refilled
// from it, so unprocessed entries survive a restart.
//
// Swap files are written and read in 128 KiB blocks, so besides the payload
// bytes counted against the limit the buffer holds one read-ahead block and
// the not yet written block of the current swap file (also of a file whose
// write failed, until its entries are taken).
#include <cstdint>
#include <ctime>
#include <functional>
#include <list>
#include <string>

#include "platform/EvDebug.h"
#include "platform/JxMonitor.h"

class FlrRawBuffer : public EvDebug {
  public:
    // One swap file: the payloads of its entries back to back, no framing.
    // The newest bytes of a file are gathered in memory (`pending`) and
    // written in large blocks; readers take bytes below `flushed` from the
    // file and the rest from `pending`.
    struct SwapFile {
        std::string name;         // full path
        int written = 0;          // entries written
        int read = 0;             // entries read back
        int wfd = -1;             // write descriptor; -1 once the file takes no more entries
        int rfd = -1;             // read descriptor; -1 until the first read
        int64_t bytes = 0;        // payload bytes of the entries written
        int64_t flushed = 0;      // bytes known to be in the file
        char* pending = nullptr;  // bytes [flushed, bytes)
        int64_t readOffset = 0;   // payload bytes of the entries read back
        int64_t rfdPos = -1;      // offset of rfd; -1 when unknown
    };

    // Files larger than this take no further entry (a file grows past it by
    // at most one entry).
    static constexpr int64_t kSwapRollBytes = 0x4FFFFF;
    // Largest entry an export file may hold.
    static constexpr uint32_t kMaxExportEntry = 0x500000;
    // Export files written now: "ZRPAW\n" 0x0E 0xB0, the entries, then an end
    // record (kExportEndMarker, entry count, CRC-32) that import requires, so
    // a file cut anywhere is refused (format in docs/formats.md).
    static const unsigned char kExportSignature[8];
    // Files of earlier versions: "ZRPAW\n" 0x0E 0xAF, the entries up to the
    // end of the file, no end record. Still imported (an upgrade during an
    // outage must not lose the journal it holds), with a logged warning that
    // its completeness cannot be proven.
    static const unsigned char kLegacyExportSignature[8];
    static constexpr uint32_t kExportEndMarker = 0xFFFFFFFFu;
    static constexpr size_t kExportEndRecord = 16;

    // swapDir null or empty disables swapping. Removes stale swap files.
    FlrRawBuffer(const char* swapDir, int maxVM);
    ~FlrRawBuffer();
    FlrRawBuffer(const FlrRawBuffer&) = delete;
    FlrRawBuffer& operator=(const FlrRawBuffer&) = delete;

    // Queues a copy of the entry. Waits only when swapping is disabled and
    // memory is full; an entry that can never fit in memory is refused.
    void addEntry(const void* data, int len);
    // Takes the oldest entry into buf (a malloc buffer of capacity cap, grown
    // in 1 KiB steps when too small). Waits while the queue is empty unless a
    // non-blocking period is running, in which case it returns false.
    bool getNextEntry(char*& buf, int& cap, int* outLen = nullptr);
    // For the next `seconds`, consumers finding the queue empty return at once.
    void becomeNonBlock(int seconds);

    // Moves every queued entry into the file at path, replaced atomically (a
    // device or pipe is written in place). The queue is emptied only once the
    // file is completely written and synced, so a failed export loses nothing
    // and a crash leaves the previous file or the whole export.
    void exportToFile(const char* path);
    // Queues the entries of an export file; a damaged or cut file is refused
    // before any of its entries is queued.
    void importFromFile(const char* path);

    // Back to the just-constructed state: no entries, no swap files.
    void clear();
    void cleanQueue();
    void closeSwap();
    void cleanSwapDir();

    // Observers for callers' statistics and tests.
    int getMemCount() const;
    int getSwapCount() const;
    int getMemUsed() const;
    int getSwapFileCount() const;
    const std::string& getSwapDir() const { return swapDir; }
    int getMaxVM() const { return maxVM; }

  private:
    struct Node;

    Node* allocNode(int payloadLen);
    void recycleNode(Node* node);
    void releaseFreeNodes();
    void append(Node* node);
    Node* popHead();
    void checkFits(int64_t len) const;
    void addToMemory(const void* data, int len);
    void addToSwap(const void* data, int len);
    SwapFile& currentSwapFile();
    void appendToSwapFile(SwapFile& file, const void* data, int len);
    void flushSwapFile(SwapFile& file);
    void retireSwapWriter(SwapFile& file);
    void dropSwapFile(std::list<SwapFile>::iterator it);
    char* takeWriteBuffer();
    void releaseWriteBuffer(char*& buf);
    void readFromSwap(Node* node, char* out);
    void readSwapBytes(SwapFile& file, int64_t off, int len, char* out, const char* function);
    void readFileBytes(SwapFile& file, int64_t off, int64_t len, char* out, const char* function);
    void readAt(SwapFile& file, int64_t off, char* out, int64_t len, const char* function);
    void growBuffer(char*& buf, int& cap, int len, const char* function);
    struct ExportTally;
    class ExportSource;
    void forEachQueued(char*& work, int& workCap, const char* function,
                       const std::function<void(char* data, int len)>& fn);
    void writeExport(int fd, char*& work, int& workCap, ExportTally& tally);
    uint64_t validateExport(ExportSource& src, const std::string& path, bool& legacy);
    void queueExport(ExportSource& src, uint64_t count);

    std::string swapDir;
    int maxVM;
    int memUsed = 0;
    mutable JxMonitorH monitor;
    Node* head = nullptr;
    Node* tail = nullptr;
    int memCount = 0;
    int swapCount = 0;
    std::list<SwapFile> swapFiles;
    int nextSwapNo = 0;
    time_t nonBlockUntil = 0;
    // Nodes kept for reuse so the steady state allocates nothing per entry.
    Node* freeNodes = nullptr;
    int freeNodeCount = 0;
    int64_t freeNodeBytes = 0;
    // A write buffer kept for the next swap file.
    char* spareWriteBuf = nullptr;
    // Read-ahead of the consumer: bytes [raStart, raEnd) of raFile.
    char* raBuf = nullptr;
    const SwapFile* raFile = nullptr;
    int64_t raStart = 0;
    int64_t raEnd = 0;
};
