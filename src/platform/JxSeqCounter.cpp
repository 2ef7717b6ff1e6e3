#include "JxSeqCounter.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>

#include "FLR/JxException.h"
#include "JXPlatformInfo.h"
#include "JxFile.h"
#include "JxIO.h"

namespace {

constexpr uint64_t kSeqMagic = 0x464c525345513031ULL;  // "FLRSEQ01"

std::string bootId() {
    std::ifstream in("/proc/sys/kernel/random/boot_id");
    std::string id;
    std::getline(in, id);
    return id;
}

std::string dirOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

void makeDirs(const std::string& dir) {
    for (size_t at = dir.find('/', 1); at != std::string::npos; at = dir.find('/', at + 1))
        ::mkdir(dir.substr(0, at).c_str(), 0755);
    ::mkdir(dir.c_str(), 0755);
}

}  // namespace

// The shared page. Written only under the flock.
struct JxSeqCounter::Shared {
    uint64_t magic;
    char boot[40];
    uint64_t next;         // the next number to hand out
    uint64_t reservedEnd;  // last number of the persisted block
};

JxSeqCounter::JxSeqCounter(std::string statePath, uint64_t blockSize)
    : path_(std::move(statePath)), block_(blockSize ? blockSize : 1), boot_(bootId()) {
    const char* fn = "JxSeqCounter";
    makeDirs(dirOf(path_));
    const std::string shm = path_ + ".shm";
    shmFd_ = ::open(shm.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (shmFd_ < 0) JX_THROW_ERRNO(fn, "Failed to open " + shm, errno);
    struct stat st;
    if (::fstat(shmFd_, &st) != 0 ||
        (st.st_size < off_t(sizeof(Shared)) && ::ftruncate(shmFd_, sizeof(Shared)) != 0)) {
        const int err = errno;
        ::close(shmFd_);
        JX_THROW_ERRNO(fn, "Failed to size " + shm, err);
    }
    void* p = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, shmFd_, 0);
    if (p == MAP_FAILED) {
        const int err = errno;
        ::close(shmFd_);
        JX_THROW_ERRNO(fn, "Failed to map " + shm, err);
    }
    shared_ = static_cast<Shared*>(p);
}

JxSeqCounter::~JxSeqCounter() {
    if (shared_) ::munmap(shared_, sizeof(Shared));
    if (shmFd_ >= 0) ::close(shmFd_);
}

void JxSeqCounter::lock() {
    while (::flock(shmFd_, LOCK_EX) != 0)
        if (errno != EINTR) JX_THROW_ERRNO("JxSeqCounter::next", "Failed to lock " + path_, errno);
}

void JxSeqCounter::unlock() {
    ::flock(shmFd_, LOCK_UN);
}

uint64_t JxSeqCounter::readPersistedEnd() const {
    std::ifstream in(path_);
    unsigned long long end = 0;
    if (in >> end) return end;
    return 0;
}

// Replaced atomically and durably: after a crash the state file holds either
// the old or the new end, whole.
void JxSeqCounter::persistEnd(uint64_t end) {
    jx::replaceFile(path_, std::to_string(end) + "\n", 0644, "sequence file", "JxSeqCounter");
}

uint64_t JxSeqCounter::next() {
    lock();
    try {
        Shared& s = *shared_;
        const std::string& boot = boot_;
        if (s.magic != kSeqMagic || std::strncmp(s.boot, boot.c_str(), sizeof s.boot) != 0) {
            // First use since the host started: everything up to the persisted
            // end may have been handed out already.
            const uint64_t end = readPersistedEnd();
            s.next = end + 1;
            s.reservedEnd = end;
            std::strncpy(s.boot, boot.c_str(), sizeof s.boot - 1);
            s.boot[sizeof s.boot - 1] = '\0';
            s.magic = kSeqMagic;
        }
        if (s.next > s.reservedEnd) {
            const uint64_t end = s.next + block_ - 1;
            persistEnd(end);
            s.reservedEnd = end;
        }
        const uint64_t n = s.next++;
        unlock();
        return n;
    } catch (...) {
        unlock();
        throw;
    }
}

std::string JxSeqCounter::defaultPath() {
    return JXPI_Base::getOrchardDirectory() + "/journal.seq";
}

JxSeqCounter& JxSeqCounter::host() {
    static JxSeqCounter* counter = new JxSeqCounter(defaultPath());
    return *counter;
}
