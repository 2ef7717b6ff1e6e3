// Sending written intervals (WBA) against rsync's delta, same tree, same
// change, same run, warm cache:
//   FILES x 1 MiB are copied once to a loopback applying tail (and by rsync
//   -a to a second copy); then, each round, 4 KiB of new bytes go at a random
//   offset of every file. Each write is recorded in the write-interval
//   database as a journal driver records it (by file id). FLR reads the
//   intervals back, sends them with FlrBackup::sendRegFileWBA, waits until the
//   tail has applied everything and deletes the acknowledged intervals;
//   rsync -a --no-whole-file brings its copy up to date. Both copies are then
//   compared with the source (FlrTreeVerify); a difference fails the run.
// The tail does not fsync (rsync does not either). Rounds alternate which
// side runs first. Arguments: [files] [rounds]; defaults 1000 x 2. The last
// line prints wire bytes and the time ratios (FLR / rsync; below 1 is faster).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "FLR/FlrTailService.h"
#include "FLR/FlrTreeVerify.h"
#include "apply/FlrTailApplier.h"
#include "db/FlrWrDatabase.h"
#include "net/FlrNetHead.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxProcess.h"
#include "transfer/FlrBackup.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr size_t kFileSize = 1 << 20;
constexpr size_t kWrite = 4096;

double secondsSince(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "bench_wba: %s\n", what.c_str());
    std::exit(1);
}

void fill(std::mt19937_64& gen, std::string& data) {
    for (size_t j = 0; j + 8 <= data.size(); j += 8) {
        const uint64_t v = gen();
        std::memcpy(&data[j], &v, 8);
    }
}

void writeAt(const std::string& path, const std::string& data, off_t offset, int flags) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | flags, 0644);
    if (fd < 0 ||
        ::pwrite(fd, data.data(), data.size(), offset) != static_cast<ssize_t>(data.size()))
        die("cannot write " + path);
    ::close(fd);
}

// What a journal driver keys intervals by: the file's identity, not its name.
fsf_fid fidOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) die("cannot stat " + path);
    const uint64_t words[3] = {static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_dev),
                               0};
    fsf_fid fid;
    std::memcpy(fid.bytes, words, sizeof words);
    return fid;
}

struct Result {
    double seconds = 0;
    long long wire = 0;  // bytes both ways on the link, or rsync's sent + received
};

// rsync's time and its own count of bytes sent and received.
Result runRsync(const std::vector<std::string>& argv) {
    const auto t0 = Clock::now();
    const JxProcess::Result r = JxProcess::run(argv);
    const double s = secondsSince(t0);
    if (r.status != 0) die(argv[0] + " failed: " + r.error);
    auto number = [&](const char* label) {
        const size_t at = r.output.find(label);
        if (at == std::string::npos) die(std::string("no \"") + label + "\" in rsync's output");
        long long n = 0;
        for (size_t i = at + std::strlen(label); i < r.output.size(); ++i) {
            const char c = r.output[i];
            if (c >= '0' && c <= '9')
                n = n * 10 + (c - '0');
            else if (c != ',' && c != ' ')
                break;
        }
        return n;
    };
    return {s, number("Total bytes sent:") + number("Total bytes received:")};
}

void verify(const std::string& src, const std::string& dst, const char* who) {
    const FlrTreeVerifyResult r = FlrTreeVerify().compare(src, dst);
    if (!r.same())
        die(std::string(who) + "'s copy differs from the source: " +
            (r.diffs.empty() ? "" : r.diffs[0].path + ": " + r.diffs[0].what));
}

// The applying tail on loopback, for the whole bench.
struct Tail {
    FlrTailApplier applier;
    FlrTailService service;
    std::thread runner;
    static FlrTailApplier::Options options() {
        FlrTailApplier::Options o;
        o.syncFiles = false;
        return o;
    }
    explicit Tail(const std::string& root) : applier(root, options()), service(applier.handler()) {
        service.listen("127.0.0.1", "0");
        runner = std::thread([this] { service.run(); });
    }
    ~Tail() {
        service.stop();
        runner.join();
    }
};

class Bench {
  public:
    Bench(int files, const std::string& work)
        : files_(files),
          work_(work),
          src_(work + "/src"),
          flr_(work + "/flr"),
          rsync_(work + "/rsync"),
          wrdb_(work + "/wrdb") {}

    void makeTree() {
        for (const std::string& d : {src_, flr_, rsync_})
            if (::mkdir(d.c_str(), 0700) != 0) die("cannot make " + d);
        std::string data(kFileSize, '\0'), collect;
        for (int i = 0; i < files_; ++i) {
            fill(gen_, data);
            const std::string p = src_ + "/f" + std::to_string(i);
            writeAt(p, data, 0, O_CREAT | O_TRUNC);
            collect += p + "\n";
            names_[fidOf(p)] = p;
        }
        collectFile_ = work_ + "/collect.txt";
        writeAt(collectFile_, collect, 0, O_CREAT | O_TRUNC);
    }

    // The baseline both sides start from, with whole files.
    void firstCopies(FlrNetHead& head, JxSafeFlags& abortFlag) {
        const auto t0 = Clock::now();
        FlrBackup b(&head, &abortFlag, nullptr);
        b.addDirPair(src_.c_str(), flr_.c_str());
        b.backup(collectFile_.c_str(), 0, false, -1);
        head.ping();
        const double flrSeconds = secondsSince(t0);
        const Result rs = runRsync({"rsync", "-a", "--stats", src_ + "/", rsync_ + "/"});
        std::printf("first copy of %d x 1 MiB: flr %.2f s, rsync -a %.2f s\n", files_, flrSeconds,
                    rs.seconds);
        verify(src_, flr_, "flr");
        verify(src_, rsync_, "rsync");
    }

    // 4 KiB of new bytes at a random offset of every file, each recorded.
    double writeAndRecord() {
        std::uniform_int_distribution<size_t> offset(0, kFileSize - kWrite);
        std::string data(kWrite, '\0');
        double recording = 0;
        for (const auto& [fid, path] : names_) {
            fill(gen_, data);
            const size_t at = offset(gen_);
            writeAt(path, data, static_cast<off_t>(at), 0);
            const auto t0 = Clock::now();
            wrdb_.add(fid, at, at + kWrite);
            recording += secondsSince(t0);
        }
        return recording;
    }

    // The intervals of every file from the database, sent, applied and
    // deleted once the tail answered.
    Result sendIntervals(FlrNetHead& head, JxSafeFlags& abortFlag, unsigned long long* sent) {
        SdtNetLink& link = head.getLink();
        const long long wire0 = link.wireBytesSent() + link.wireBytesReceived();
        const auto t0 = Clock::now();
        FlrBackup b(&head, &abortFlag, nullptr);
        b.setDirPairWBA(src_.c_str(), flr_.c_str());
        fsf_fid fid{}, current{};
        uint64_t start = 0, end = 0;
        std::list<unsigned long long> starts, ends;
        auto flush = [&] {
            if (starts.empty()) return;
            const auto name = names_.find(current);
            if (name == names_.end()) die("an interval of an unknown file id");
            b.sendRegFileWBA(fsf_fid::fid0, name->second.c_str(), starts, ends);
            starts.clear();
            ends.clear();
        };
        for (bool more = wrdb_.getFirst(&fid, &start, &end, nullptr); more;
             more = wrdb_.getNext(&fid, &start, &end, nullptr, false)) {
            if (fid != current) flush();
            current = fid;
            starts.push_back(start);
            ends.push_back(end);
        }
        flush();
        head.ping();  // answered once everything before it was applied
        wrdb_.clear();
        *sent = b.getByteCntWBA(src_.c_str());
        return {secondsSince(t0), link.wireBytesSent() + link.wireBytesReceived() - wire0};
    }

    void rounds(int count) {
        Tail tail(flr_);
        FlrNetHead head;
        head.connect("127.0.0.1", tail.service.localPort(), 0);
        JxSafeFlags abortFlag;
        firstCopies(head, abortFlag);
        std::vector<double> ratios;
        Result lastFlr, lastRsync;
        for (int r = 1; r <= count; ++r) {
            // rsync's quick check compares whole seconds of mtime.
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
            const double recording = writeAndRecord();
            unsigned long long sent = 0;
            Result f, rs;
            const std::vector<std::string> rsyncArgv = {"rsync",   "-a",       "--no-whole-file",
                                                        "--stats", src_ + "/", rsync_ + "/"};
            if (r % 2) {
                f = sendIntervals(head, abortFlag, &sent);
                rs = runRsync(rsyncArgv);
            } else {
                rs = runRsync(rsyncArgv);
                f = sendIntervals(head, abortFlag, &sent);
            }
            verify(src_, flr_, "flr");
            verify(src_, rsync_, "rsync");
            std::printf(
                "round %d: flr wba %.3f s (%llu bytes of intervals, %lld on the wire; recording "
                "the writes took %.3f s), rsync --no-whole-file %.3f s (%lld bytes)\n",
                r, f.seconds, sent, f.wire, recording, rs.seconds, rs.wire);
            ratios.push_back(f.seconds / rs.seconds);
            lastFlr = f;
            lastRsync = rs;
        }
        std::string list;
        for (double x : ratios) list += (list.empty() ? "" : " ") + std::to_string(x).substr(0, 5);
        std::printf("wire bytes: flr %lld, rsync %lld (%.4f); ratios (flr/rsync time): %s\n",
                    lastFlr.wire, lastRsync.wire,
                    static_cast<double>(lastFlr.wire) / static_cast<double>(lastRsync.wire),
                    list.c_str());
    }

  private:
    int files_;
    std::string work_, src_, flr_, rsync_, collectFile_;
    FlrWrDatabase wrdb_;
    std::map<fsf_fid, std::string> names_;  // the name database's part in this
    std::mt19937_64 gen_{1};
};

}  // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? std::max(1, std::atoi(argv[1])) : 1000;
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 2;
    std::string work = "/tmp/flrbench-wba-XXXXXX";
    if (!::mkdtemp(work.data())) die("cannot make a work folder");
    JXPlatformInfo::setRegistryFile(work + "/registry.ini");
    JXPlatformInfo::setString("ZRP", "sLinkSecret", "bench wba link secret, 32 bytes or more");
    {
        Bench bench(files, work);
        bench.makeTree();
        bench.rounds(rounds);
    }
    JxProcess::run({"rm", "-rf", work});
    return 0;
}
