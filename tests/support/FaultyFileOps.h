#pragma once
// A file layer that fails on request, put under a family with
// jx::ScopedFileOps: the Nth write, fsync, rename... fails with a chosen
// errno, or every write is cut short. Calls pass to the layer that was in
// force when it was made (normally the POSIX one).
#include <array>
#include <atomic>
#include <string>

#include "platform/JxFile.h"

namespace flrtest {

class FaultyFileOps : public jx::FileOps {
  public:
    // write covers write, writev and pwrite; read covers read and pread.
    enum class Op { Open, Close, Read, Write, Fsync, Ftruncate, Rename, Unlink, Mkdir, ListDir };
    static constexpr int kOpCount = 10;

    FaultyFileOps();

    // The nth call of op from now on (1 = the next one) fails with err; with
    // sticky, that call and every later one fail.
    void failNth(Op op, int n, int err, bool sticky = false);
    // Every write transfers at most maxBytes (0 = no limit), as a full pipe
    // or a signal would cut it; a correct writer loops.
    void shortWrites(size_t maxBytes) { shortWrite_ = maxBytes; }
    // Path calls (open, rename's target, unlink, mkdir, listDir) are counted
    // and faulted only for this exact path; descriptor calls regardless.
    void onlyPath(std::string path) { pathFilter_ = std::move(path); }
    // Calls of op seen so far (faulted ones included; with a path filter,
    // path calls on other paths are not counted).
    int count(Op op) const { return counts_[index(op)].load(); }
    int faultsInjected() const { return injected_.load(); }
    void clear();

    int open(const char* path, int flags, mode_t mode) override;
    int close(int fd) override;
    ssize_t read(int fd, void* buf, size_t len) override;
    ssize_t pread(int fd, void* buf, size_t len, off_t offset) override;
    ssize_t write(int fd, const void* data, size_t len) override;
    ssize_t writev(int fd, const struct iovec* iov, int iovcnt) override;
    ssize_t pwrite(int fd, const void* data, size_t len, off_t offset) override;
    off_t lseek(int fd, off_t offset, int whence) override;
    int fsync(int fd) override;
    int ftruncate(int fd, off_t len) override;
    int fstat(int fd, struct stat* st) override;
    int stat(const char* path, struct stat* st) override;
    int lstat(const char* path, struct stat* st) override;
    int rename(const char* from, const char* to) override;
    int unlink(const char* path) override;
    int mkdir(const char* path, mode_t mode) override;
    int rmdir(const char* path) override;
    int listDir(const char* path, std::vector<std::string>* names) override;

  private:
    static constexpr size_t index(Op op) { return static_cast<size_t>(op); }
    // Counts the call; true (errno set) when it is to fail.
    bool fault(Op op, const char* path = nullptr);

    struct Plan {
        std::atomic<int> at{0};  // 0 = none; else the call number that fails
        std::atomic<int> err{0};
        std::atomic<bool> sticky{false};
    };
    jx::FileOps& inner_;
    std::array<std::atomic<int>, kOpCount> counts_{};
    std::array<Plan, kOpCount> plans_{};
    std::atomic<int> injected_{0};
    size_t shortWrite_ = 0;
    std::string pathFilter_;
};

}  // namespace flrtest
