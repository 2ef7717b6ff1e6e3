#include "FlrRawBuffer.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

#include "FLR/JxException.h"
#include "platform/JxFile.h"
#include "platform/JxIO.h"

namespace {

constexpr const char* kSource = "FlrRawBuffer";
constexpr const char* kSwapWhat = "swap file";
constexpr const char* kEmptyEntry =
    "NULL or empty journal entry passed to FlrRawBuffer::addEntry()";
constexpr const char* kNoMemory = "Memory allocation failed.";

// The header every node carries in front of an in-memory payload.
constexpr size_t kNodeHeader = 40;
// Node capacities are rounded so that entries of similar size can reuse a
// recycled node.
constexpr int kNodeCapStep = 128;
constexpr int kMaxFreeNodes = 256;
constexpr int64_t kMaxFreeNodeBytes = 1 << 20;
constexpr int kConsumerBufStep = 1024;
// Swap bytes are written and read in blocks of this size; larger entries go
// straight through.
constexpr int64_t kSwapWriteBuf = 128 * 1024;
constexpr int64_t kReadAhead = 128 * 1024;

void closeFd(int& fd) {
    if (fd >= 0) jx::fileOps().close(fd);
    fd = -1;
}

int roundUp(int len, int step) {
    const int64_t rounded = (static_cast<int64_t>(len) + step - 1) / step * step;
    return rounded > INT_MAX ? len : static_cast<int>(rounded);
}

}  // namespace

struct FlrRawBuffer::Node {
    Node* next;
    Node* prev;
    SwapFile* file;  // null for in-memory nodes
    int len;
    int cap;  // payload room behind the header
    unsigned char inSwap;

    char* payload() { return reinterpret_cast<char*>(this) + kNodeHeader; }
};

FlrRawBuffer::FlrRawBuffer(const char* dir, int maxVm) : swapDir(dir ? dir : ""), maxVM(maxVm) {
    static_assert(sizeof(Node) <= kNodeHeader, "node header must fit its 40 bytes");
    Debug("FlrRawBuffer::FlrRawBuffer", "Swap dir: %s, Max VM: %d",
          swapDir.empty() ? "DISABLED" : swapDir.c_str(), maxVM);
    cleanSwapDir();
}

FlrRawBuffer::~FlrRawBuffer() {
    try {
        JxMonitorLock lock(monitor);
        cleanQueue();
        closeSwap();
        cleanSwapDir();
    } catch (const JxException& e) {
        Error("FlrRawBuffer::~FlrRawBuffer", "%s", e.getMessage().c_str());
    }
    releaseFreeNodes();
    std::free(spareWriteBuf);
    std::free(raBuf);
}

// --- nodes -------------------------------------------------------------------

FlrRawBuffer::Node* FlrRawBuffer::allocNode(int payloadLen) {
    if (freeNodes) {
        Node* n = freeNodes;
        freeNodes = n->next;
        --freeNodeCount;
        freeNodeBytes -= n->cap;
        if (n->cap >= payloadLen) return n;
        // Too small for this entry: let it go so that the cache follows the
        // sizes now in use.
        std::free(n);
    }
    const int cap = payloadLen > 0 ? roundUp(payloadLen, kNodeCapStep) : 0;
    auto* n = static_cast<Node*>(std::malloc(kNodeHeader + static_cast<size_t>(cap)));
    if (!n) JX_THROW("FlrRawBuffer::addEntry", kNoMemory);
    n->cap = cap;
    return n;
}

void FlrRawBuffer::recycleNode(Node* node) {
    if (freeNodeCount >= kMaxFreeNodes || freeNodeBytes + node->cap > kMaxFreeNodeBytes) {
        std::free(node);
        return;
    }
    node->next = freeNodes;
    freeNodes = node;
    ++freeNodeCount;
    freeNodeBytes += node->cap;
}

void FlrRawBuffer::releaseFreeNodes() {
    while (freeNodes) {
        Node* n = freeNodes;
        freeNodes = n->next;
        std::free(n);
    }
    freeNodeCount = 0;
    freeNodeBytes = 0;
}

void FlrRawBuffer::append(Node* node) {
    node->next = nullptr;
    node->prev = tail;
    if (tail)
        tail->next = node;
    else
        head = node;
    tail = node;
}

FlrRawBuffer::Node* FlrRawBuffer::popHead() {
    Node* n = head;
    head = n->next;
    if (head)
        head->prev = nullptr;
    else
        tail = nullptr;
    return n;
}

// --- producer ----------------------------------------------------------------

void FlrRawBuffer::addEntry(const void* data, int len) {
    if (!data || len <= 0) JX_THROW("FlrRawBuffer::addEntry", kEmptyEntry);
    checkFits(len);
    JxMonitorLock lock(monitor);
    for (;;) {
        if (static_cast<int64_t>(memUsed) + len <= maxVM) {
            addToMemory(data, len);
            break;
        }
        if (!swapDir.empty()) {
            addToSwap(data, len);
            break;
        }
        monitor.wait();
    }
    monitor.broadcast();
}

// Without swap files an entry larger than the memory limit could only wait
// for ever.
void FlrRawBuffer::checkFits(int64_t len) const {
    if (swapDir.empty() && len > maxVM)
        JX_THROW("FlrRawBuffer::addEntry",
                 jxFormat("Journal entry of %lld bytes exceeds the raw buffer's memory limit of "
                          "%d bytes and swapping is disabled.",
                          static_cast<long long>(len), maxVM));
}

void FlrRawBuffer::addToMemory(const void* data, int len) {
    Node* n = allocNode(len);
    n->inSwap = 0;
    n->file = nullptr;
    n->len = len;
    std::memcpy(n->payload(), data, static_cast<size_t>(len));
    append(n);
    memUsed += len;
    ++memCount;
}

void FlrRawBuffer::addToSwap(const void* data, int len) {
    SwapFile& file = currentSwapFile();
    Node* n = allocNode(0);
    n->inSwap = 1;
    n->file = &file;
    n->len = len;
    try {
        appendToSwapFile(file, data, len);
    } catch (...) {
        recycleNode(n);
        // Part of a block may be in the file now, behind the bytes readers
        // expect: nothing may follow it. Entries already queued keep their
        // bytes in `pending`.
        retireSwapWriter(file);
        if (file.written == 0) dropSwapFile(std::prev(swapFiles.end()));
        throw;
    }
    file.bytes += len;
    ++file.written;
    append(n);
    ++swapCount;
}

// Adds the payload behind the file's bytes; the caller counts it. On a throw
// nothing of the payload is counted and `flushed` still marks good bytes.
void FlrRawBuffer::appendToSwapFile(SwapFile& file, const void* data, int len) {
    if (file.bytes - file.flushed + len > kSwapWriteBuf) flushSwapFile(file);
    if (len >= kSwapWriteBuf) {
        jx::writeAll(file.wfd, data, static_cast<size_t>(len), kSwapWhat, kSource);
        file.flushed += len;
        return;
    }
    if (!file.pending) file.pending = takeWriteBuffer();
    std::memcpy(file.pending + (file.bytes - file.flushed), data, static_cast<size_t>(len));
}

void FlrRawBuffer::flushSwapFile(SwapFile& file) {
    const int64_t len = file.bytes - file.flushed;
    if (len == 0) return;
    jx::writeAll(file.wfd, file.pending, static_cast<size_t>(len), kSwapWhat, kSource);
    file.flushed = file.bytes;
}

FlrRawBuffer::SwapFile& FlrRawBuffer::currentSwapFile() {
    if (!swapFiles.empty()) {
        SwapFile& last = swapFiles.back();
        if (last.wfd >= 0 && last.bytes <= kSwapRollBytes) return last;
        if (last.wfd >= 0) {
            try {
                flushSwapFile(last);
            } catch (...) {
                retireSwapWriter(last);
                throw;
            }
            retireSwapWriter(last);
            releaseWriteBuffer(last.pending);
        }
    }
    const std::string name = swapDir + "/" + jxFormat("swap.%d", nextSwapNo++);
    const int fd = jx::fileOps().open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        JX_THROW_ERRNO("FlrRawBuffer::addEntry", "Failed to open " + name + " for writing", errno);
    SwapFile& file = swapFiles.emplace_back();
    file.name = name;
    file.wfd = fd;
    return file;
}

void FlrRawBuffer::retireSwapWriter(SwapFile& file) {
    closeFd(file.wfd);
}

void FlrRawBuffer::dropSwapFile(std::list<SwapFile>::iterator it) {
    closeFd(it->wfd);
    closeFd(it->rfd);
    jx::fileOps().unlink(it->name.c_str());
    releaseWriteBuffer(it->pending);
    if (raFile == &*it) raFile = nullptr;
    swapFiles.erase(it);
}

char* FlrRawBuffer::takeWriteBuffer() {
    char* buf = spareWriteBuf;
    spareWriteBuf = nullptr;
    if (!buf) buf = static_cast<char*>(std::malloc(kSwapWriteBuf));
    if (!buf) JX_THROW("FlrRawBuffer::addEntry", kNoMemory);
    return buf;
}

void FlrRawBuffer::releaseWriteBuffer(char*& buf) {
    if (!spareWriteBuf)
        spareWriteBuf = buf;
    else
        std::free(buf);
    buf = nullptr;
}

// --- consumer ----------------------------------------------------------------

bool FlrRawBuffer::getNextEntry(char*& buf, int& cap, int* outLen) {
    JxMonitorLock lock(monitor);
    while (!head) {
        if (time(nullptr) <= nonBlockUntil) return false;
        monitor.wait();
    }
    Node* n = head;
    growBuffer(buf, cap, n->len, "FlrRawBuffer::getNextEntry");
    if (n->inSwap) {
        readFromSwap(n, buf);
        --swapCount;
    } else {
        std::memcpy(buf, n->payload(), static_cast<size_t>(n->len));
        memUsed -= n->len;
        --memCount;
    }
    if (outLen) *outLen = n->len;
    popHead();
    recycleNode(n);
    if (swapDir.empty()) monitor.broadcast();
    return true;
}

void FlrRawBuffer::growBuffer(char*& buf, int& cap, int len, const char* function) {
    if (cap >= len && buf) return;
    const int newCap = roundUp(len, kConsumerBufStep);
    auto* grown = static_cast<char*>(std::malloc(static_cast<size_t>(newCap)));
    if (!grown) JX_THROW(function, kNoMemory);
    std::free(buf);
    buf = grown;
    cap = newCap;
}

void FlrRawBuffer::readFromSwap(Node* node, char* out) {
    SwapFile& file = *node->file;
    readSwapBytes(file, file.readOffset, node->len, out, "FlrRawBuffer::getNextEntry");
    file.readOffset += node->len;
    if (++file.read == file.written) {
        for (auto it = swapFiles.begin(); it != swapFiles.end(); ++it) {
            if (&*it == &file) {
                dropSwapFile(it);
                break;
            }
        }
    }
}

// Bytes [off, off + len) of a swap file: what is written from the file, the
// newest from its pending block.
void FlrRawBuffer::readSwapBytes(SwapFile& file, int64_t off, int len, char* out,
                                 const char* function) {
    const int64_t end = off + len;
    if (off < file.flushed)
        readFileBytes(file, off, std::min(end, file.flushed) - off, out, function);
    if (end > file.flushed) {
        const int64_t from = std::max(off, file.flushed);
        std::memcpy(out + (from - off), file.pending + (from - file.flushed),
                    static_cast<size_t>(end - from));
    }
}

void FlrRawBuffer::readFileBytes(SwapFile& file, int64_t off, int64_t len, char* out,
                                 const char* function) {
    if (raFile == &file && off >= raStart && off + len <= raEnd) {
        std::memcpy(out, raBuf + (off - raStart), static_cast<size_t>(len));
        return;
    }
    if (file.rfd < 0) {
        file.rfd = jx::fileOps().open(file.name.c_str(), O_RDONLY | O_CLOEXEC, 0);
        if (file.rfd < 0)
            JX_THROW_ERRNO(function, "Failed to open " + file.name + " for reading", errno);
        file.rfdPos = 0;
    }
    if (len >= kReadAhead) {
        readAt(file, off, out, len, function);
        return;
    }
    if (!raBuf) raBuf = static_cast<char*>(std::malloc(kReadAhead));
    if (!raBuf) JX_THROW(function, kNoMemory);
    const int64_t want = std::min(kReadAhead, file.flushed - off);
    raFile = nullptr;
    readAt(file, off, raBuf, want, function);
    raFile = &file;
    raStart = off;
    raEnd = off + want;
    std::memcpy(out, raBuf, static_cast<size_t>(len));
}

// Reads by absolute offset, so a failed read (the entry stays queued) or a
// block taken from memory never shifts what the next read gets.
void FlrRawBuffer::readAt(SwapFile& file, int64_t off, char* out, int64_t len,
                          const char* function) {
    if (file.rfdPos != off) {
        if (jx::fileOps().lseek(file.rfd, off, SEEK_SET) < 0) {
            file.rfdPos = -1;
            JX_THROW_ERRNO(function, "Failed to read data from " + std::string(kSwapWhat), errno);
        }
        file.rfdPos = off;
    }
    try {
        jx::readAll(file.rfd, out, static_cast<size_t>(len), true, kSwapWhat, kSource);
    } catch (...) {
        file.rfdPos = -1;
        throw;
    }
    file.rfdPos += len;
}

void FlrRawBuffer::becomeNonBlock(int seconds) {
    Debug("FlrRawBuffer::becomeNonBlock",
          "Switching raw buffer to non-blocking mode for %d seconds.", seconds);
    JxMonitorLock lock(monitor);
    nonBlockUntil = time(nullptr) + seconds;
    monitor.broadcast();
}

// --- export walk ---------------------------------------------------------------

// Calls fn for every queued entry, in queue order, without taking any off the
// queue. Reads go by absolute offsets, so a failed export leaves the
// consumer's position as it was. The caller holds the monitor.
void FlrRawBuffer::forEachQueued(char*& work, int& workCap, const char* function,
                                 const std::function<void(char* data, int len)>& fn) {
    SwapFile* cursorFile = nullptr;
    int64_t cursor = 0;
    for (Node* n = head; n; n = n->next) {
        char* payload = n->payload();
        if (n->inSwap) {
            if (cursorFile != n->file) {
                cursorFile = n->file;
                cursor = cursorFile->readOffset;
            }
            growBuffer(work, workCap, n->len, function);
            readSwapBytes(*cursorFile, cursor, n->len, work, function);
            cursor += n->len;
            payload = work;
        }
        fn(payload, n->len);
    }
}

// --- clearing ----------------------------------------------------------------

void FlrRawBuffer::clear() {
    JxMonitorLock lock(monitor);
    cleanQueue();
    closeSwap();
    nextSwapNo = 0;
    memUsed = 0;
    // A producer waiting for memory can go on now.
    monitor.broadcast();
    cleanSwapDir();
}

void FlrRawBuffer::cleanQueue() {
    JxMonitorLock lock(monitor);
    while (head) recycleNode(popHead());
    memCount = 0;
    swapCount = 0;
    memUsed = 0;
}

void FlrRawBuffer::closeSwap() {
    JxMonitorLock lock(monitor);
    while (!swapFiles.empty()) dropSwapFile(swapFiles.begin());
}

void FlrRawBuffer::cleanSwapDir() {
    if (swapDir.empty()) return;
    std::vector<std::string> names;
    if (const int rc = jx::fileOps().listDir(swapDir.c_str(), &names); rc != 0)
        JX_THROW_ERRNO("FlrRawBuffer::cleanSwapDir", "Failed to open directory " + swapDir, rc);
    for (const std::string& name : names) {
        if (name.compare(0, 5, "swap.") != 0) continue;
        Debug("FlrRawBuffer::cleanSwapDir", "Removing stale swap file %s", name.c_str());
        jx::fileOps().unlink((swapDir + "/" + name).c_str());
    }
}

// --- observers -------------------------------------------------------------

int FlrRawBuffer::getMemCount() const {
    JxMonitorLock lock(monitor);
    return memCount;
}

int FlrRawBuffer::getSwapCount() const {
    JxMonitorLock lock(monitor);
    return swapCount;
}

int FlrRawBuffer::getMemUsed() const {
    JxMonitorLock lock(monitor);
    return memUsed;
}

int FlrRawBuffer::getSwapFileCount() const {
    JxMonitorLock lock(monitor);
    return static_cast<int>(swapFiles.size());
}
