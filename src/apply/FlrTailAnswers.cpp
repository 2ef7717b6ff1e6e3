// Checksum answers of the tail.
#include "FlrTailAnswers.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "FLR/JxException.h"
#include "digest/Jxc.h"
#include "net/FlrNetTail.h"
#include "platform/EvDebug.h"
#include "platform/JxCoding.h"
#include "platform/JxDirFd.h"

namespace {

const char* const kAnswersFn = "FlrTailAnswers";
// Block sizes a head may ask for.
constexpr int kMaxBlockSize = 64 << 20;

using Weak4 = unsigned char[4];
using Md5 = unsigned char[16];

// The copy named by a request, confined to the root.
struct AnsweredCopy {
    std::string rel;
    bool confined = false;  // rel is a path beneath the root
    jx::File file;          // invalid when there is none to compare with
    struct stat st {};
};

// Opens the copy the request names; a copy that cannot be compared with
// (logged unless merely missing) leaves the file invalid.
AnsweredCopy openCopy(const FlrTailRoot& root, const FlrNetPathReq& req, const char* what) {
    AnsweredCopy c;
    const std::string path = req.path ? req.path : "";
    std::string why;
    if (!root.relative(path, &c.rel, &why)) {
        EvDebug::Error(kAnswersFn, "%s: refused %s: %s", what, path.c_str(), why.c_str());
        return c;
    }
    c.confined = true;
    if (req.blockSize <= 0 || req.blockSize > kMaxBlockSize) {
        EvDebug::Error(kAnswersFn, "%s for %s: block size %d refused", what, path.c_str(),
                       req.blockSize);
        return c;
    }
    jx::File f = jx::openRegularBeneath(root.fd(), c.rel, O_RDONLY, &c.st);
    if (!f) {
        if (errno != ENOENT && errno != ENXIO && errno != EISDIR)
            EvDebug::Error(kAnswersFn, "%s: couldn't open %s: %s", what, path.c_str(),
                           jxErrnoText(errno).c_str());
        return c;
    }
    c.file = std::move(f);
    return c;
}

// Remembered before the answer leaves: the head sends the entry only after
// it has the answer.
void remember(FlrTailAnswersOf answered, const AnsweredCopy& c, bool described) {
    if (c.confined)
        answered.answered.remember(answered.run, c.rel,
                                   described ? FlrTailCopyId::of(c.st) : FlrTailCopyId{});
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

// The copy's size says how many blocks it has: one the answer could not
// carry is refused before a byte is read (a sparse file of a terabyte read
// whole kept a core busy long after its head had gone).
bool fitsAnswer(const AnsweredCopy& c, const FlrNetPathReq& req, size_t maxBlocks) {
    const uint64_t size = static_cast<uint64_t>(c.st.st_size);
    const uint64_t block = static_cast<uint64_t>(req.blockSize);
    if ((size + block - 1) / block <= maxBlocks) return true;
    EvDebug::Error(kAnswersFn, "%s has more than %zu blocks of %d bytes: no sums sent", req.path,
                   maxBlocks, req.blockSize);
    return false;
}

// Every block's sums, or false (logged) when the copy cannot be read whole,
// has more blocks than an answer may carry, or the link ended meanwhile.
bool allSums(const AnsweredCopy& c, const FlrNetPathReq& req, Jxc::Weak kind, size_t maxBlocks,
             const FlrNetTail& reply, Sums* sums) {
    if (!fitsAnswer(c, req, maxBlocks)) return false;
    bool tooMany = false;
    bool ended = false;
    try {
        Jxc::blockSums(c.file.get(), static_cast<uint32_t>(req.blockSize), kind,
                       [&](const Jxc::BlockSum& b) {
                           if (sums->count() >= maxBlocks) {
                               tooMany = true;
                               return false;
                           }
                           ended = reply.isAborted() || reply.recvEnded();
                           sums->add(b);
                           return !ended;
                       });
    } catch (const JxException& e) {
        EvDebug::Error(kAnswersFn, "Couldn't read %s: %s", req.path, e.getMessage().c_str());
        return false;
    }
    if (tooMany) {
        EvDebug::Error(kAnswersFn, "%s has more than %zu blocks of %d bytes: no sums sent",
                       req.path, maxBlocks, req.blockSize);
        return false;
    }
    return !ended;
}

}  // namespace

FlrTailCopyId FlrTailCopyId::of(const struct stat& st) {
    FlrTailCopyId id;
    id.present = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.nlink = st.st_nlink;
    id.size = static_cast<int64_t>(st.st_size);
    id.mtimeNs = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
    id.ctimeNs = int64_t{st.st_ctim.tv_sec} * 1000000000 + st.st_ctim.tv_nsec;
    return id;
}

bool FlrTailCopyId::sameCopy(const struct stat& st) const {
    const FlrTailCopyId now = of(st);
    return present && dev == now.dev && ino == now.ino && size == now.size &&
           mtimeNs == now.mtimeNs && (ctimeNs == now.ctimeNs || nlink != now.nlink);
}

void FlrTailAnswered::remember(uint64_t run, const std::string& rel, const FlrTailCopyId& id) {
    std::lock_guard<std::mutex> lock(mtx_);
    const uint64_t seq = next_++;
    Key key{run, rel};
    byKey_[key] = {seq, id};
    order_.emplace_back(seq, std::move(key));
    if (order_.size() <= kKept) return;
    // The oldest answer goes, unless a newer one for its path replaced it.
    const auto& [oldSeq, oldKey] = order_.front();
    auto it = byKey_.find(oldKey);
    if (it != byKey_.end() && it->second.first == oldSeq) byKey_.erase(it);
    order_.pop_front();
}

std::optional<FlrTailCopyId> FlrTailAnswered::take(uint64_t run, const std::string& rel) {
    std::lock_guard<std::mutex> lock(mtx_);
    auto it = byKey_.find(Key{run, rel});
    if (it == byKey_.end()) return std::nullopt;
    const FlrTailCopyId id = it->second.second;
    byKey_.erase(it);
    return id;
}

namespace FlrTailAnswers {

void md5Stream(const FlrTailRoot& root, const FlrTailApplier::Options& options,
               FlrTailAnswersOf answered, const FlrNetPathReq& req, FlrNetTail& reply) {
    AnsweredCopy c = openCopy(root, req, "MD5 stream");
    remember(answered, c, static_cast<bool>(c.file));
    if (!c.file) {
        reply.sendMD5EOF(0);
        return;
    }
    const jx::File& f = c.file;
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
                           // A stopping service or a gone head ends the stream
                           // within a block, not after the file.
                           return total < INT32_MAX && !reply.isAborted() && !reply.recvEnded();
                       });
    } catch (const JxException& e) {
        // The blocks sent so far are true; the head sends the rest as data.
        EvDebug::Error(kAnswersFn, "Couldn't read %s: %s", req.path, e.getMessage().c_str());
    }
    flush();
    // No block described (an empty copy, or one unreadable from its start):
    // the head skips nothing of it, so the entry is built as for no copy.
    if (total == 0) remember(answered, c, false);
    reply.sendMD5EOF(total);
}

void rsyncSums(const FlrTailRoot& root, const FlrTailApplier::Options& options,
               FlrTailAnswersOf answered, const FlrNetPathReq& req, FlrNetTail& reply) {
    Sums sums;
    unsigned long long size = 0;
    const AnsweredCopy c = openCopy(root, req, "RSync checksums");
    // An empty copy describes nothing either: its entry is built as for no
    // copy, like one whose sums could not be sent.
    const bool described =
        c.file && allSums(c, req, Jxc::Weak::Rsync, options.maxAnswerBlocks, reply, &sums) &&
        sums.count() > 0;
    if (described)
        size = static_cast<unsigned long long>(c.st.st_size);
    else
        sums.clear();
    remember(answered, c, described);
    reply.sendRSyncCheckSums(sums.weakArray(), sums.md5Array(), static_cast<int>(sums.count()),
                             size);
}

void fileSums(const FlrTailRoot& root, const FlrTailApplier::Options& options,
              const FlrNetPathReq& req, FlrNetTail& reply) {
    Sums sums;
    if (const AnsweredCopy c = openCopy(root, req, "File checksums"); c.file)
        if (!allSums(c, req, Jxc::Weak::Crc32, options.maxAnswerBlocks, reply, &sums)) sums.clear();
    reply.sendFileCheckSums(sums.md5Array(), static_cast<int>(sums.count()));
}

}  // namespace FlrTailAnswers
