// Measures a continuous replicator from the outside: writes on a source
// folder and watches its copy for identical bytes, in one process so both
// ends share one CLOCK_MONOTONIC and nothing crosses a file to compare times.
//
//   latency_probe latency SRC DST [SECONDS] [INTERVAL_MS] [GRACE_S] [SIZE]
//     One new small file every INTERVAL_MS for SECONDS; DST (the copy of
//     SRC, already there) is watched with inotify and each file counts when
//     its bytes read back identical. Waits up to GRACE_S after the last
//     write for stragglers.
//   latency_probe burst SRC DST [DIRS] [FILES] [TIMEOUT_S]
//     DIRS folders x FILES small files created as fast as possible under
//     SRC; DST is listed every 50 ms and files that appeared are read back
//     until every one is identical.
//
// Prints one line of key=value pairs (times in ms or s, as the key says);
// exits 0 when everything arrived, 3 when something did not.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <unistd.h>

#include <dirent.h>
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

int64_t nowNs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

[[noreturn]] void fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// Writes the whole file and closes it: the moment close returns is the
// moment the change is complete on the source.
void writeWhole(const std::string& path, const std::string& bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) fail("Couldn't create " + path);
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail("Couldn't write " + path);
        done += static_cast<size_t>(n);
    }
    if (::close(fd) != 0) fail("Couldn't close " + path);
}

// The file's bytes, or nothing when it is absent or unreadable (a copy in
// flight may be renamed away under us: that is not an error here).
std::optional<std::string> readWhole(const std::string& path, size_t limit) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string out(limit + 1, '\0');
    size_t got = 0;
    while (got < out.size()) {
        ssize_t n = ::read(fd, out.data() + got, out.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    out.resize(got);
    return out;
}

// Unique content: the sequence number and the write time, padded so every
// change is the same size.
std::string contentFor(const std::string& tag, size_t size) {
    std::string s = tag + " t=" + std::to_string(nowNs()) + "\n";
    for (size_t i = 0; s.size() < size; ++i) s.push_back(static_cast<char>('a' + i % 26));
    return s;
}

double msOf(int64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

// Nearest-rank percentile of sorted values.
int64_t percentile(const std::vector<int64_t>& sorted, double p) {
    if (sorted.empty()) return 0;
    size_t rank = static_cast<size_t>(p / 100.0 * static_cast<double>(sorted.size()) + 0.999999);
    rank = std::clamp<size_t>(rank, 1, sorted.size());
    return sorted[rank - 1];
}

long argOr(int argc, char** argv, int i, long fallback) {
    if (i >= argc) return fallback;
    long v = 0;
    std::string_view s = argv[i];
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc{} || p != s.data() + s.size() || v < 0)
        throw std::runtime_error("Not a count: " + std::string(s));
    return v;
}

struct Change {
    std::string content;
    int64_t written = 0;
    int64_t arrived = 0;  // 0 while pending
    bool bySweep = false;
};

class LatencyRun {
  public:
    LatencyRun(std::string src, std::string dst, size_t size)
        : src_(std::move(src)), dst_(std::move(dst)), size_(size) {
        ino_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (ino_ < 0) fail("inotify_init1");
        // Every way a copier can make a name hold new bytes: written in place,
        // renamed from a temporary, or linked in.
        uint32_t mask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_MODIFY | IN_ATTRIB;
        if (inotify_add_watch(ino_, dst_.c_str(), mask) < 0) fail("Couldn't watch " + dst_);
        timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
        if (timer_ < 0) fail("timerfd_create");
    }
    ~LatencyRun() {
        ::close(ino_);
        ::close(timer_);
    }

    void run(long seconds, long intervalMs, long graceS) {
        itimerspec its{};
        its.it_interval.tv_sec = intervalMs / 1000;
        its.it_interval.tv_nsec = (intervalMs % 1000) * 1'000'000;
        its.it_value = its.it_interval;
        if (timerfd_settime(timer_, 0, &its, nullptr) != 0) fail("timerfd_settime");
        const int64_t start = nowNs();
        const int64_t stopWriting = start + seconds * 1'000'000'000LL;
        int64_t deadline = stopWriting + graceS * 1'000'000'000LL;
        int64_t nextSweep = start + 1'000'000'000LL;
        bool writing = true;
        while (nowNs() < deadline && (writing || pending_ > 0)) {
            pollfd fds[2] = {{ino_, POLLIN, 0}, {timer_, POLLIN, 0}};
            if (::poll(fds, writing ? 2 : 1, 100) < 0 && errno != EINTR) fail("poll");
            if (fds[0].revents & POLLIN) drainEvents();
            if (writing && (fds[1].revents & POLLIN)) writeDue();
            if (writing && nowNs() >= stopWriting) writing = false;
            if (nowNs() >= nextSweep) {
                sweep(nowNs() - 1'000'000'000LL);
                nextSweep = nowNs() + 1'000'000'000LL;
            }
        }
        drainEvents();
        sweep(INT64_MAX);
    }

    int report() const {
        std::vector<int64_t> lat;
        size_t bySweep = 0;
        for (const Change& c : changes_) {
            if (c.arrived == 0) continue;
            lat.push_back(c.arrived - c.written);
            bySweep += c.bySweep ? 1 : 0;
        }
        std::sort(lat.begin(), lat.end());
        size_t missing = changes_.size() - lat.size();
        std::printf(
            "sent=%zu arrived=%zu missing=%zu p50_ms=%.1f p99_ms=%.1f max_ms=%.1f "
            "late_writes=%zu seen_by_sweep=%zu\n",
            changes_.size(), lat.size(), missing, msOf(percentile(lat, 50)),
            msOf(percentile(lat, 99)), msOf(lat.empty() ? 0 : lat.back()), lateWrites_, bySweep);
        return missing == 0 ? 0 : 3;
    }

  private:
    // One file per timer expiry; expiries missed while busy are written at
    // once so the rate holds, and counted.
    void writeDue() {
        uint64_t expiries = 0;
        if (::read(timer_, &expiries, sizeof expiries) != sizeof expiries) return;
        if (expiries > 1) lateWrites_ += expiries - 1;
        for (uint64_t i = 0; i < expiries; ++i) {
            size_t seq = changes_.size();
            std::string name = "c" + std::to_string(seq);
            Change c;
            c.content = contentFor("seq=" + std::to_string(seq), size_);
            writeWhole(src_ + "/" + name, c.content);
            c.written = nowNs();
            changes_.push_back(std::move(c));
            byName_.emplace(name, seq);
            ++pending_;
        }
    }

    void drainEvents() {
        alignas(inotify_event) char buf[64 * 1024];
        for (;;) {
            ssize_t n = ::read(ino_, buf, sizeof buf);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;
            for (char* p = buf; p < buf + n;) {
                auto* ev = reinterpret_cast<inotify_event*>(p);
                if (ev->mask & IN_Q_OVERFLOW) sweep(INT64_MAX);
                if (ev->len > 0) check(ev->name, false);
                p += sizeof(inotify_event) + ev->len;
            }
        }
    }

    void check(const std::string& name, bool bySweep) {
        auto it = byName_.find(name);
        if (it == byName_.end()) return;
        Change& c = changes_[it->second];
        if (c.arrived != 0) return;
        auto got = readWhole(dst_ + "/" + name, c.content.size());
        if (!got || *got != c.content) return;
        c.arrived = nowNs();
        c.bySweep = bySweep;
        --pending_;
    }

    // The safety net for events lost to a queue overflow: pending changes
    // written before `olderThan` are read back directly. Their time is an
    // upper bound, and they are counted apart.
    void sweep(int64_t olderThan) {
        for (size_t seq = 0; seq < changes_.size(); ++seq) {
            if (changes_[seq].arrived == 0 && changes_[seq].written < olderThan)
                check("c" + std::to_string(seq), true);
        }
    }

    std::string src_, dst_;
    size_t size_;
    int ino_ = -1, timer_ = -1;
    std::vector<Change> changes_;
    std::unordered_map<std::string, size_t> byName_;
    size_t pending_ = 0;
    size_t lateWrites_ = 0;
};

std::vector<std::string> listNames(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (d == nullptr) return names;
    while (dirent* e = ::readdir(d)) names.emplace_back(e->d_name);
    ::closedir(d);
    return names;
}

int runBurst(const std::string& src, const std::string& dst, long dirs, long files, long timeoutS) {
    constexpr size_t kSize = 64;
    auto dirName = [](long d) { return "d" + std::to_string(d); };
    // Per folder: the expected bytes of the files not yet seen identical.
    std::vector<std::unordered_map<std::string, std::string>> pending(static_cast<size_t>(dirs));
    const int64_t start = nowNs();
    for (long d = 0; d < dirs; ++d) {
        std::string dir = src + "/" + dirName(d);
        if (::mkdir(dir.c_str(), 0755) != 0) fail("Couldn't make " + dir);
        for (long f = 0; f < files; ++f) {
            std::string name = "f" + std::to_string(f);
            std::string bytes = contentFor(dirName(d) + "/" + name, kSize);
            writeWhole(dir + "/" + name, bytes);
            pending[static_cast<size_t>(d)].emplace(std::move(name), std::move(bytes));
        }
    }
    const int64_t created = nowNs();
    const int64_t deadline = created + timeoutS * 1'000'000'000LL;
    size_t left = static_cast<size_t>(dirs * files);
    int64_t done = 0;
    // Listing is cheap next to opening absent names; only names listed and
    // still pending are read, so the probe stays light while it waits.
    while (left > 0 && nowNs() < deadline) {
        for (long d = 0; d < dirs; ++d) {
            auto& want = pending[static_cast<size_t>(d)];
            if (want.empty()) continue;
            std::string dir = dst + "/" + dirName(d);
            for (const std::string& name : listNames(dir)) {
                auto it = want.find(name);
                if (it == want.end()) continue;
                auto got = readWhole(dir + "/" + name, it->second.size());
                if (!got || *got != it->second) continue;
                want.erase(it);
                --left;
            }
        }
        if (left == 0) {
            done = nowNs();
            break;
        }
        timespec pause{0, 50'000'000};
        ::nanosleep(&pause, nullptr);
    }
    std::printf("files=%ld create_s=%.2f identical_s=%.2f missing=%zu\n", dirs * files,
                static_cast<double>(created - start) / 1e9,
                done == 0 ? -1.0 : static_cast<double>(done - start) / 1e9, left);
    return left == 0 ? 0 : 3;
}

int usage() {
    std::fprintf(stderr,
                 "usage: latency_probe latency SRC DST [SECONDS] [INTERVAL_MS] [GRACE_S] [SIZE]\n"
                 "       latency_probe burst SRC DST [DIRS] [FILES] [TIMEOUT_S]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) return usage();
    std::string mode = argv[1];
    try {
        if (mode == "latency") {
            long size = std::max(argOr(argc, argv, 7, 100), 48L);
            LatencyRun run(argv[2], argv[3], static_cast<size_t>(size));
            run.run(argOr(argc, argv, 4, 60), std::max(argOr(argc, argv, 5, 10), 1L),
                    argOr(argc, argv, 6, 10));
            return run.report();
        }
        if (mode == "burst")
            return runBurst(argv[2], argv[3], argOr(argc, argv, 4, 100), argOr(argc, argv, 5, 1000),
                            argOr(argc, argv, 6, 600));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "latency_probe: %s\n", e.what());
        return 1;
    }
    return usage();
}
