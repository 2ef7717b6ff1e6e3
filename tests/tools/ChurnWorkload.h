#pragma once
// A seeded random workload on a source tree: several threads create, rewrite,
// truncate, rename, exchange, link, remove and re-kind entries as fast as a
// small pause lets them. Names come from a small alphabet at depths 1 to 3
// below one folder per thread, so the tree stays bounded (a few hundred
// entries, files of at most 256 KiB) while paths keep colliding: a thread
// mostly works in its own folder and sometimes in another's, and every
// operation tolerates ENOENT, EEXIST, ENOTDIR and the like, as a real
// application racing with itself would. Each thread's sequence of choices
// follows from the seed; the interleaving does not.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"

namespace flrtest {

enum class ChurnOp {
    Create,
    WriteAt,
    Append,
    Truncate,
    Mkdir,
    Rename,
    Exchange,
    HardLink,
    Symlink,
    Remove,
    RemoveTree,
    Chmod,
    Utime,
    Xattr,
    ChangeKind,
};

struct ChurnOpKind {
    ChurnOp op;
    const char* name;
    int weight;  // 0 disables the kind
};

// How often each kind is drawn. Creation outweighs removal so the tree stays
// populated.
inline constexpr std::array<ChurnOpKind, 15> kChurnOps{{
    {ChurnOp::Create, "create", 18},
    {ChurnOp::WriteAt, "write-at", 10},
    {ChurnOp::Append, "append", 6},
    {ChurnOp::Truncate, "truncate", 4},
    {ChurnOp::Mkdir, "mkdir", 16},
    {ChurnOp::Rename, "rename", 10},
    {ChurnOp::Exchange, "exchange", 5},
    {ChurnOp::HardLink, "hard-link", 4},
    {ChurnOp::Symlink, "symlink", 5},
    {ChurnOp::Remove, "remove", 4},
    {ChurnOp::RemoveTree, "remove-tree", 1},
    {ChurnOp::Chmod, "chmod", 5},
    {ChurnOp::Utime, "utime", 5},
    {ChurnOp::Xattr, "xattr", 4},
    {ChurnOp::ChangeKind, "change-kind", 2},
}};

class ChurnWorkload {
  public:
    static constexpr size_t kMaxFile = 256 * 1024;

    ChurnWorkload(std::string root, uint64_t seed, int threads)
        : root_(std::move(root)), seed_(seed), threads_(threads), done_(kChurnOps.size()) {
        for (auto& d : done_) d = 0;
    }
    ~ChurnWorkload() { stop(); }
    ChurnWorkload(const ChurnWorkload&) = delete;
    ChurnWorkload& operator=(const ChurnWorkload&) = delete;

    // `count` operations per thread folder on the calling thread, before a
    // watch starts: the tree it finds is not empty.
    void populate(int count) {
        for (int t = 0; t < threads_; ++t)
            ::mkdir((root_ + "/t" + std::to_string(t)).c_str(), 0755);
        for (int t = 0; t < threads_; ++t) {
            Worker w(*this, t, seed_ ^ 0x5eedULL);
            for (int i = 0; i < count; ++i) w.step();
        }
    }
    void start() {
        stop_ = false;
        for (int t = 0; t < threads_; ++t)
            pool_.emplace_back([this, t] {
                Worker w(*this, t, seed_);
                while (!stop_.load(std::memory_order_relaxed)) {
                    w.step();
                    w.pause();
                }
            });
    }
    void stop() {
        stop_ = true;
        for (auto& th : pool_) th.join();
        pool_.clear();
    }
    // "create 1234 (ok 1100), ..." : attempts and successes per kind.
    std::string tally() const {
        std::string s;
        for (size_t i = 0; i < kChurnOps.size(); ++i) {
            if (!s.empty()) s += ", ";
            s += std::string(kChurnOps[i].name) + " " + std::to_string(done_[i].load());
        }
        return s + "; " + std::to_string(succeeded_.load()) + " succeeded";
    }
    long long operations() const {
        long long n = 0;
        for (const auto& d : done_) n += d.load();
        return n;
    }

  private:
    class Worker {
      public:
        Worker(ChurnWorkload& w, int index, uint64_t seed)
            : w_(w),
              index_(index),
              rng_(seed + static_cast<uint64_t>(index) * 0x9e3779b97f4a7c15ULL) {
            data_.resize(kMaxFile);
            for (auto& c : data_) c = static_cast<char>(rng_());
            for (const auto& k : kChurnOps) total_ += k.weight;
        }
        void step() {
            int pick = below(total_);
            size_t i = 0;
            while (pick >= kChurnOps[i].weight) pick -= kChurnOps[i++].weight;
            w_.done_[i].fetch_add(1, std::memory_order_relaxed);
            if (run(kChurnOps[i].op)) w_.succeeded_.fetch_add(1, std::memory_order_relaxed);
        }
        void pause() { std::this_thread::sleep_for(std::chrono::microseconds(below(1500))); }

      private:
        int below(int n) { return static_cast<int>(rng_() % static_cast<uint64_t>(n)); }
        // t<k>/x[/y[/z]] with names from a, b, c, d: mostly this thread's folder.
        std::string path() {
            const int folder = below(5) == 0 ? below(w_.threads_) : index_;
            std::string p = w_.root_ + "/t" + std::to_string(folder);
            const int depth = 1 + below(3);
            for (int i = 0; i < depth; ++i)
                p += "/" + std::string(1, static_cast<char>('a' + below(4)));
            return p;
        }
        size_t size() {
            const int r = below(20);
            const size_t cap = r == 0 ? kMaxFile : r < 6 ? 64 * 1024 : 4096;
            return static_cast<size_t>(below(static_cast<int>(cap) + 1));
        }
        bool writeSome(int fd, size_t len) {
            const size_t from = static_cast<size_t>(below(static_cast<int>(kMaxFile - len) + 1));
            return ::write(fd, data_.data() + from, len) == static_cast<ssize_t>(len);
        }
        // A missing folder on the way is made (as `mkdir -p` would) and the
        // operation tried once more: the tree fills up to its bound.
        template <class Fn>
        bool withParents(const std::string& p, Fn&& fn) {
            if (fn()) return true;
            if (errno != ENOENT) return false;
            for (size_t at = w_.root_.size() + 1; (at = p.find('/', at)) != std::string::npos; ++at)
                ::mkdir(p.substr(0, at).c_str(), 0755);
            return fn();
        }
        bool create(const std::string& p) {
            int fd = -1;
            withParents(p, [&] {
                fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                return fd >= 0;
            });
            if (fd < 0) return false;
            const bool ok = writeSome(fd, size());
            ::close(fd);
            return ok;
        }
        bool writeAt(const std::string& p, bool append) {
            const int fd = ::open(p.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW);
            if (fd < 0) return false;
            struct stat st {};
            const size_t len = 1 + static_cast<size_t>(below(8192));
            bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
            if (ok && append) {
                ok = static_cast<size_t>(st.st_size) + len <= kMaxFile &&
                     ::lseek(fd, 0, SEEK_END) >= 0 && writeSome(fd, len);
            } else if (ok) {
                ok = ::lseek(fd, below(static_cast<int>(kMaxFile - len)), SEEK_SET) >= 0 &&
                     writeSome(fd, len);
            }
            ::close(fd);
            return ok;
        }
        bool symlink(const std::string& p) {
            static const char* const targets[] = {"a", "../b", "c/d", "/nonexistent-churn/x"};
            const char* t = targets[below(4)];
            return withParents(p, [&] { return ::symlink(t, p.c_str()) == 0; });
        }
        bool changeKind(const std::string& p) {
            struct stat st {};
            if (::lstat(p.c_str(), &st) != 0) return create(p);
            removeTree(p);
            if (S_ISREG(st.st_mode)) return ::mkdir(p.c_str(), 0755) == 0;
            if (S_ISDIR(st.st_mode)) return symlink(p);
            return create(p);
        }
        bool xattr(const std::string& p) {
            static const char* const names[] = {"user.churn.a", "user.churn.b"};
            const char* name = names[below(2)];
            if (below(4) == 0) return ::lremovexattr(p.c_str(), name) == 0;
            return ::lsetxattr(p.c_str(), name, data_.data() + below(1024), 1 + below(64), 0) == 0;
        }
        bool utime(const std::string& p) {
            const time_t now = ::time(nullptr);
            struct timespec ts[2];
            ts[0].tv_sec = now - below(86400);
            ts[0].tv_nsec = below(1000000000);
            ts[1].tv_sec = now - below(10 * 365 * 86400);
            ts[1].tv_nsec = below(1000000000);
            return ::utimensat(AT_FDCWD, p.c_str(), ts, AT_SYMLINK_NOFOLLOW) == 0;
        }
        bool run(ChurnOp op) {
            static const mode_t modes[] = {0644, 0600, 0755, 0640, 0700, 0444};
            const std::string p = path();
            switch (op) {
                case ChurnOp::Create:
                    return create(p);
                case ChurnOp::WriteAt:
                    return writeAt(p, false);
                case ChurnOp::Append:
                    return writeAt(p, true);
                case ChurnOp::Truncate:
                    return ::truncate(p.c_str(), static_cast<off_t>(size())) == 0;
                case ChurnOp::Mkdir:
                    return withParents(p, [&] { return ::mkdir(p.c_str(), 0755) == 0; });
                case ChurnOp::Rename:
                    return ::rename(p.c_str(), path().c_str()) == 0;
                case ChurnOp::Exchange:
                    return ::renameat2(AT_FDCWD, p.c_str(), AT_FDCWD, path().c_str(),
                                       RENAME_EXCHANGE) == 0;
                case ChurnOp::HardLink:
                    return ::link(p.c_str(), path().c_str()) == 0;
                case ChurnOp::Symlink:
                    return symlink(p);
                case ChurnOp::Remove:
                    return ::unlink(p.c_str()) == 0 || ::rmdir(p.c_str()) == 0;
                case ChurnOp::RemoveTree:
                    return removeTree(p), true;
                case ChurnOp::Chmod:
                    return ::chmod(p.c_str(), modes[below(6)]) == 0;
                case ChurnOp::Utime:
                    return utime(p);
                case ChurnOp::Xattr:
                    return xattr(p);
                case ChurnOp::ChangeKind:
                    return changeKind(p);
            }
            return false;
        }

        ChurnWorkload& w_;
        int index_;
        std::mt19937_64 rng_;
        std::vector<char> data_;
        int total_ = 0;
    };

    std::string root_;
    uint64_t seed_;
    int threads_;
    std::vector<std::atomic<long long>> done_;
    std::atomic<long long> succeeded_{0};
    std::atomic<bool> stop_{false};
    std::vector<std::thread> pool_;
};

}  // namespace flrtest
