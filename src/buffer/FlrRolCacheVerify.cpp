// The rolling-cache verifier: what `flr cache ls|verify|dump` report.
#include "FlrRolCacheVerify.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "FLR/FlrRawJournal.h"
#include "FLR/JxException.h"
#include "FlrRolCacheBase.h"
#include "FlrRolCacheSum.h"
#include "platform/JxFile.h"
#include "platform/JxIO.h"

namespace {

using Base = FlrRolCacheBase;
using FileCheck = FlrRolCacheVerify::FileCheck;
using Outcome = FlrRolCacheVerify::Outcome;
constexpr const char* kCacheVerifyFn = "flr cache";

// Reads a whole file, or one byte more than any cache file may hold. False
// when the file is gone.
bool readWhole(const std::string& path, std::vector<unsigned char>& data) {
    const jx::File file = jx::openFile(path, O_RDONLY);
    if (!file) {
        if (errno == ENOENT) return false;
        JX_THROW_ERRNO(kCacheVerifyFn, "Failed to open " + path + " for reading", errno);
    }
    data.resize(static_cast<size_t>(Base::kMaxFileSize) + 1);
    const long n = jx::readUpTo(file.get(), data.data(), data.size());
    if (n < 0) JX_THROW_ERRNO(kCacheVerifyFn, "Failed to read " + path, errno);
    data.resize(static_cast<size_t>(n));
    return true;
}

// A payload is taken for a raw journal record when its header says so
// twice over: its length is the entry's, or its sequence number is. Such a
// record must then decode and carry the entry's number and length, which
// finds most damage inside journal payloads; other payloads are opaque.
bool journalDamage(const unsigned char* p, int len, uint64_t seq, std::string& why) {
    FlrJrnHeader hdr{};
    if (decodeRawHdr(p, static_cast<size_t>(len), &hdr, nullptr) != 0) return false;
    if (hdr.rec_len != static_cast<uint32_t>(len) && hdr.seq_num != seq) return false;
    FlrJrnCommand cmd{};
    std::string reason;
    if (decodeRawCmd(p, static_cast<size_t>(len), &cmd, &reason) != 0) {
        why = "journal record does not decode: " + reason;
        return true;
    }
    if (hdr.rec_len != static_cast<uint32_t>(len)) {
        why = jxFormat("journal record of %u bytes in an entry of %d bytes", hdr.rec_len, len);
        return true;
    }
    if (hdr.seq_num != seq) {
        why = jxFormat("journal record carries sequence number %llu",
                       static_cast<unsigned long long>(hdr.seq_num));
        return true;
    }
    return false;
}

}  // namespace

// Checks everything the format lets one check.
FileCheck FlrRolCacheVerify::checkBytes(const std::vector<unsigned char>& data, uint64_t nameSeq,
                                        Options opt, uint64_t& prev, const Visitor& visit) {
    FileCheck fc;
    fc.size = static_cast<long long>(data.size());
    auto damaged = [&](long long off, std::string why) {
        fc.outcome = Outcome::kDamaged;
        fc.offset = off;
        fc.why = std::move(why);
        return fc;
    };
    auto incomplete = [&](long long off, std::string why) {
        fc.outcome = Outcome::kIncomplete;
        fc.offset = off;
        fc.why = std::move(why);
        return fc;
    };
    if (fc.size > Base::kMaxFileSize)
        return damaged(0, jxFormat("file is larger than %d bytes", Base::kMaxFileSize));
    const size_t sigLen = std::min<size_t>(data.size(), Base::kSigSize);
    if (sigLen > 0 && std::memcmp(data.data(), Base::sig, sigLen) != 0)
        return damaged(0, "invalid signature");
    if (fc.size <= Base::kSigSize) {
        if (opt.newest) return incomplete(0, "the file holds no entry yet");
        return damaged(0, jxFormat("file is only %lld bytes long", fc.size));
    }
    long long off = Base::kSigSize;
    while (off < fc.size) {
        const long long remain = fc.size - off;
        const unsigned char* p = data.data() + off;
        unsigned char hdr[Base::kRecordHeaderSize] = {};
        std::memcpy(hdr, p, static_cast<size_t>(std::min<long long>(remain, sizeof(hdr))));
        uint64_t seq = 0;
        int32_t len = 0;
        Base::decodeRecordHeader(hdr, seq, len);
        if (remain >= 8) {
            if (seq == 0) return damaged(off, "sequence number 0");
            if (seq <= prev)
                return damaged(off, jxFormat("sequence number %llu does not follow %llu",
                                             static_cast<unsigned long long>(seq),
                                             static_cast<unsigned long long>(prev)));
            if (fc.entries == 0 && seq != nameSeq)
                return damaged(off, jxFormat("first entry %llu does not match the file name",
                                             static_cast<unsigned long long>(seq)));
        }
        if (remain < Base::kRecordHeaderSize) {
            const std::string why = jxFormat("%lld bytes of a record header", remain);
            return opt.newest ? incomplete(off, why) : damaged(off, why);
        }
        if (len < 1 || len > Base::kMaxRecordLen)
            return damaged(off, jxFormat("invalid record length %d", len));
        if (len > remain - Base::kRecordHeaderSize) {
            const std::string why =
                jxFormat("record of %d bytes has only %lld", len, remain - Base::kRecordHeaderSize);
            return opt.newest ? incomplete(off, why) : damaged(off, why);
        }
        const unsigned char* payload = p + Base::kRecordHeaderSize;
        std::string why;
        if (opt.journal && journalDamage(payload, len, seq, why)) return damaged(off, why);
        if (fc.entries == 0) fc.first = seq;
        fc.last = seq;
        ++fc.entries;
        prev = seq;
        if (visit && !visit(seq, off, payload, len)) return fc;
        off += Base::kRecordHeaderSize + len;
    }
    return fc;
}

std::string FlrRolCacheVerify::noteOf(const FileCheck& fc) {
    switch (fc.outcome) {
        case Outcome::kGone:
            return "deleted while reading (rolled off by the writer)";
        case Outcome::kIncomplete:
            return jxFormat(
                "incomplete final record at offset %lld (%s): being appended, or "
                "left by a writer that stopped; cut off when the cache is next opened",
                fc.offset, fc.why.c_str());
        case Outcome::kDamaged:
            return jxFormat("damaged record at offset %lld: %s", fc.offset, fc.why.c_str());
        case Outcome::kSound:
            break;
    }
    return "";
}

namespace {

// A file closed by its writer has block checksums beside it: they find what
// the record structure cannot, a changed byte inside a payload.
void checkSums(const std::string& path, const std::vector<unsigned char>& data, FileCheck& fc) {
    uint64_t size = 0;
    std::vector<uint32_t> blocks;
    if (!FlrRolCacheSum::load(path, size, blocks)) return;
    if (size != data.size()) {
        fc.outcome = Outcome::kDamaged;
        fc.offset = static_cast<long long>(std::min<uint64_t>(size, data.size()));
        fc.why = jxFormat("file is %zu bytes long but was closed at %llu bytes", data.size(),
                          static_cast<unsigned long long>(size));
        return;
    }
    const long long bad = FlrRolCacheSum::firstBadBlock(data.data(), data.size(), blocks);
    if (bad < 0) return;
    const long long from = bad * FlrRolCacheSum::kBlockSize;
    const long long to = std::min<long long>(from + FlrRolCacheSum::kBlockSize, fc.size) - 1;
    // The first record that overlaps the damaged block; the structure is sound,
    // so the walk by lengths is safe.
    long long off = Base::kSigSize, recordOff = Base::kSigSize;
    while (off < fc.size) {
        uint64_t seq = 0;
        int32_t len = 0;
        Base::decodeRecordHeader(data.data() + off, seq, len);
        const long long end = off + Base::kRecordHeaderSize + len;
        recordOff = off;
        if (end > from) break;
        off = end;
    }
    fc.outcome = Outcome::kDamaged;
    fc.offset = recordOff;
    fc.why =
        jxFormat("content does not match the file's checksums (bytes %lld-%lld changed)", from, to);
}

}  // namespace

FlrRolCacheVerify::FlrRolCacheVerify(std::string dir) : dir_(std::move(dir)) {
    std::vector<std::string> names;
    if (const int err = jx::fileOps().listDir(dir_.c_str(), &names); err != 0)
        JX_THROW_ERRNO(kCacheVerifyFn, "Failed to open directory " + dir_, err);
    for (const std::string& name : names) {
        if (name.compare(0, 6, "cache.") != 0) continue;
        uint64_t seq = 0;
        if (Base::parseCacheFileName(name.c_str(), seq))
            files_.push_back({seq, name});
        else if (!FlrRolCacheSum::isSumFileName(name))
            strays_.push_back(name);
    }
    std::sort(files_.begin(), files_.end(),
              [](const CacheFile& a, const CacheFile& b) { return a.seq < b.seq; });
    std::sort(strays_.begin(), strays_.end());
}

FileCheck FlrRolCacheVerify::check(size_t i, Options opt, const Visitor& visit) {
    const CacheFile& f = files_[i];
    opt.newest = i + 1 == files_.size();
    if (!readWhole(dir_ + "/" + f.name, data_)) {
        FileCheck gone;
        gone.outcome = Outcome::kGone;
        return gone;
    }
    FileCheck fc = checkBytes(data_, f.seq, opt, prev_, visit);
    if (fc.outcome == Outcome::kSound) checkSums(dir_ + "/" + f.name, data_, fc);
    return fc;
}
