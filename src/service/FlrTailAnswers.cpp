// Checksum answers of the tail.
#include "FlrTailAnswers.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "FLR/FlrNetTail.h"
#include "FLR/platform/EvDebug.h"
#include "FLR/platform/JxCoding.h"
#include "FLR/platform/JxDirFd.h"
#include "FLR/platform/JxException.h"
#include "FLR/platform/Jxc.h"

namespace {

const char* const kFn = "FlrTailAnswers";
// Block sizes a head may ask for.
constexpr int kMaxBlockSize = 64 << 20;

using Weak4 = unsigned char[4];
using Md5 = unsigned char[16];

// The copy named by the request, or an invalid File (logged) when there is
// none to compare with.
jx::File openCopy(const FlrTailRoot& root, const FlrNetPathReq& req, const char* what) {
    const std::string path = req.path ? req.path : "";
    if (req.blockSize <= 0 || req.blockSize > kMaxBlockSize) {
        EvDebug::Error(kFn, "%s for %s: block size %d refused", what, path.c_str(), req.blockSize);
        return jx::File();
    }
    std::string rel;
    std::string why;
    if (!root.relative(path, &rel, &why)) {
        EvDebug::Error(kFn, "%s: refused %s: %s", what, path.c_str(), why.c_str());
        return jx::File();
    }
    jx::File f = jx::openBeneath(root.fd(), rel, O_RDONLY);
    struct stat st {};
    if (!f) {
        if (errno != ENOENT)
            EvDebug::Error(kFn, "%s: couldn't open %s: %s", what, path.c_str(),
                           jxErrnoText(errno).c_str());
        return jx::File();
    }
    if (jx::fileOps().fstat(f.get(), &st) != 0 || !S_ISREG(st.st_mode)) return jx::File();
    return f;
}

struct Sums {
    std::vector<unsigned char> weak;  // 4 bytes each
    std::vector<unsigned char> md5;   // 16 bytes each
    size_t count() const { return md5.size() / 16; }
    void add(const Jxc::BlockSum& b) {
        weak.resize(weak.size() + 4);
        jx::storeBE32(&weak[weak.size() - 4], b.weak);
        md5.insert(md5.end(), b.md5, b.md5 + 16);
    }
    void clear() {
        weak.clear();
        md5.clear();
    }
    const Weak4* weakArray() const { return reinterpret_cast<const Weak4*>(weak.data()); }
    const Md5* md5Array() const { return reinterpret_cast<const Md5*>(md5.data()); }
};

// Every block's sums, or false (logged) when the copy cannot be read whole or
// has more blocks than an answer may carry.
bool allSums(int fd, const FlrNetPathReq& req, Jxc::Weak kind, size_t maxBlocks, Sums* sums) {
    bool tooMany = false;
    try {
        Jxc::blockSums(fd, static_cast<uint32_t>(req.blockSize), kind, [&](const Jxc::BlockSum& b) {
            if (sums->count() >= maxBlocks) {
                tooMany = true;
                return false;
            }
            sums->add(b);
            return true;
        });
    } catch (const JxException& e) {
        EvDebug::Error(kFn, "Couldn't read %s: %s", req.path, e.getMessage().c_str());
        return false;
    }
    if (tooMany) {
        EvDebug::Error(kFn, "%s has more than %zu blocks of %d bytes: no sums sent", req.path,
                       maxBlocks, req.blockSize);
        return false;
    }
    return true;
}

}  // namespace

namespace FlrTailAnswers {

void md5Stream(const FlrTailRoot& root, const FlrTailApplier::Options& options,
               const FlrNetPathReq& req, FlrNetTail& reply) {
    jx::File f = openCopy(root, req, "MD5 stream");
    if (!f) {
        reply.sendMD5EOF(0);
        return;
    }
    const size_t perMessage = static_cast<size_t>(std::max(1, options.md5BlocksPerMessage));
    Sums batch;
    int first = 0;
    int total = 0;
    auto flush = [&] {
        if (batch.count() == 0) return;
        reply.sendMD5(first, static_cast<int>(batch.count()), batch.weakArray(), batch.md5Array());
        first = total;
        batch.clear();
    };
    try {
        Jxc::blockSums(f.get(), static_cast<uint32_t>(req.blockSize), Jxc::Weak::Crc32,
                       [&](const Jxc::BlockSum& b) {
                           batch.add(b);
                           ++total;
                           if (batch.count() >= perMessage) flush();
                           return total < INT32_MAX;
                       });
    } catch (const JxException& e) {
        // The blocks sent so far are true; the head sends the rest as data.
        EvDebug::Error(kFn, "Couldn't read %s: %s", req.path, e.getMessage().c_str());
    }
    flush();
    reply.sendMD5EOF(total);
}

void rsyncSums(const FlrTailRoot& root, const FlrTailApplier::Options& options,
               const FlrNetPathReq& req, FlrNetTail& reply) {
    Sums sums;
    unsigned long long size = 0;
    if (jx::File f = openCopy(root, req, "RSync checksums")) {
        struct stat st {};
        if (jx::fileOps().fstat(f.get(), &st) == 0 &&
            allSums(f.get(), req, Jxc::Weak::Rsync, options.maxAnswerBlocks, &sums))
            size = static_cast<unsigned long long>(st.st_size);
        else
            sums.clear();
    }
    reply.sendRSyncCheckSums(sums.weakArray(), sums.md5Array(), static_cast<int>(sums.count()),
                             size);
}

void fileSums(const FlrTailRoot& root, const FlrTailApplier::Options& options,
              const FlrNetPathReq& req, FlrNetTail& reply) {
    Sums sums;
    if (jx::File f = openCopy(root, req, "File checksums"))
        if (!allSums(f.get(), req, Jxc::Weak::Crc32, options.maxAnswerBlocks, &sums)) sums.clear();
    reply.sendFileCheckSums(sums.md5Array(), static_cast<int>(sums.count()));
}

}  // namespace FlrTailAnswers
