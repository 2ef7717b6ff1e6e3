// The transfer driver over loopback into the applying tail, side by side
// with rsync on the same trees in the same run (warm cache for both):
//   full:   a fresh copy of FILES x SIZE bytes (rsync -a, whole files)
//   delta:  the same after one 10 KiB change per file, FlrBackup with MD5
//           block comparison and with RSync deltas, against
//           rsync -a --no-whole-file (rsync's quick check finds the
//           changed files by size and time; ours is told by the collect file)
// Arguments: [files] [size in KiB]; defaults 64 x 1024. The ratios (FLR time
// / rsync time; below 1 is faster) come last.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "FLR/FlrTailService.h"
#include "apply/FlrTailApplier.h"
#include "net/FlrNetHead.h"
#include "platform/JXPlatformInfo.h"
#include "platform/JxProcess.h"
#include "transfer/FlrBackup.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string makeTemp(const char* tag) {
    std::string t = "/tmp/flrbench-backup-" + std::string(tag) + "-XXXXXX";
    if (!::mkdtemp(t.data())) std::exit(1);
    return t;
}

void writeFile(const std::string& path, const std::string& data) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(data.data(), 1, data.size(), f) != data.size()) std::exit(1);
    std::fclose(f);
}

double run(const std::vector<std::string>& argv) {
    const auto t0 = Clock::now();
    const JxProcess::Result r = JxProcess::run(argv);
    if (r.status != 0) {
        std::fprintf(stderr, "%s failed: %s\n", argv[0].c_str(), r.error.c_str());
        std::exit(1);
    }
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

struct Result {
    double seconds;
    long long bytes;
};

// One driver run of collect into dst through a fresh applying tail.
Result transfer(const std::string& src, const std::string& dst, const std::string& collect,
                bool md5, bool rsync) {
    FlrTailApplier::Options options;
    options.syncFiles = false;  // rsync does not fsync either
    FlrTailApplier applier(dst, options);
    FlrTailService service(applier.handler());
    service.listen("127.0.0.1", "0");
    std::thread runner([&] { service.run(); });
    const auto t0 = Clock::now();
    long long bytes = 0;
    {
        FlrNetHead head;
        head.connect("127.0.0.1", service.localPort(), 0);
        JxSafeFlags abortFlag;
        FlrBackup b(&head, &abortFlag, nullptr);
        b.addDirPair(src.c_str(), dst.c_str());
        b.useMD5 = md5;
        b.useRSync = rsync;
        b.hashMinFileSize = 1;
        b.backup(collect.c_str(), 0, false, -1);
        head.ping();  // answered once everything before it was applied
        bytes = b.getTotalBytes();
    }
    const double s = std::chrono::duration<double>(Clock::now() - t0).count();
    service.stop();
    runner.join();
    return {s, bytes};
}

}  // namespace

int main(int argc, char** argv) {
    const int files = argc > 1 ? std::atoi(argv[1]) : 64;
    const size_t size = (argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 1024) * 1024;
    const std::string work = makeTemp("work");
    JXPlatformInfo::setRegistryFile(work + "/registry.ini");
    JXPlatformInfo::setString("ZRP", "sLinkSecret", "bench backup link secret, 32 bytes or more");
    const std::string src = work + "/src", flrDst = work + "/flr", rsDst = work + "/rsync";
    for (const std::string& d : {src, flrDst, rsDst}) ::mkdir(d.c_str(), 0700);
    std::mt19937_64 gen(1);
    std::string collect;
    std::string data(size, '\0');
    for (int i = 0; i < files; ++i) {
        for (size_t j = 0; j + 8 <= size; j += 8) {
            const uint64_t v = gen();
            std::memcpy(&data[j], &v, 8);
        }
        const std::string p = src + "/f" + std::to_string(i);
        writeFile(p, data);
        collect += p + "\n";
    }
    const std::string cf = work + "/collect.txt";
    writeFile(cf, collect);
    const long long total = static_cast<long long>(files) * static_cast<long long>(size);

    const Result full = transfer(src, flrDst, cf, false, false);
    const double rsFull = run({"rsync", "-a", src + "/", rsDst + "/"});
    std::printf("full   %d x %zu KiB: flr %.3f s (%lld bytes sent), rsync -a %.3f s\n", files,
                size / 1024, full.seconds, full.bytes, rsFull);

    // A second destination with the same old copies for the RSync run.
    const std::string flrDst2 = work + "/flr2";
    run({"cp", "-a", flrDst, flrDst2});
    // One 10 KiB change per file, in its middle.
    for (int i = 0; i < files; ++i) {
        const std::string p = src + "/f" + std::to_string(i);
        FILE* f = std::fopen(p.c_str(), "r+b");
        std::fseek(f, static_cast<long>(size / 2), SEEK_SET);
        const std::string change(10240, static_cast<char>('a' + i % 26));
        std::fwrite(change.data(), 1, change.size(), f);
        std::fclose(f);
    }
    const Result md5 = transfer(src, flrDst, cf, true, false);
    const Result rs = transfer(src, flrDst2, cf, false, true);
    const double rsDelta = run({"rsync", "-a", "--no-whole-file", src + "/", rsDst + "/"});
    std::printf(
        "delta  md5 %.3f s (%lld bytes sent), rsync-delta %.3f s (%lld bytes sent), "
        "rsync --no-whole-file %.3f s, of %lld bytes\n",
        md5.seconds, md5.bytes, rs.seconds, rs.bytes, rsDelta, total);
    run({"rm", "-rf", work});
    std::printf("ratios (flr/rsync time): full %.2f, delta md5 %.2f, delta rsync %.2f\n",
                full.seconds / rsFull, md5.seconds / rsDelta, rs.seconds / rsDelta);
    return 0;
}
