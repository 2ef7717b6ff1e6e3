// Tree records: the walker, their link codec and the merging comparer.
#include "FlrTreeListing.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "FLR/JxException.h"
#include "FlrTreeDiffText.h"
#include "digest/Jxc.h"
#include "platform/JxACL.h"
#include "platform/JxCoding.h"
#include "platform/JxDirFd.h"
#include "platform/JxXattr.h"

namespace {

constexpr size_t kChunk = 1 << 20;
// Strings a decoded record may carry: a path or a link target, or a reason.
constexpr uint32_t kMaxString = 65536;

std::string join(const std::string& rel, const std::string& name) {
    return rel.empty() ? name : rel + "/" + name;
}

// True when rel is prefix itself or lies below it.
bool under(const std::string& rel, const std::string& prefix) {
    if (prefix.empty()) return true;
    return rel.size() >= prefix.size() && rel.compare(0, prefix.size(), prefix) == 0 &&
           (rel.size() == prefix.size() || rel[prefix.size()] == '/');
}

void fill(const struct stat& st, FlrTreeRecord* r) {
    r->mode = st.st_mode;
    r->uid = st.st_uid;
    r->gid = st.st_gid;
    r->size = static_cast<uint64_t>(st.st_size);
    r->mtime = st.st_mtim.tv_sec;
    r->mtimeNsec = static_cast<uint32_t>(st.st_mtim.tv_nsec);
    r->rdev = st.st_rdev;
    r->extended = true;
}

// Length-prefixed, so no two different sets run together the same way.
void sumOf(const std::vector<jx::Xattr>& set, FlrTreeXattrSum* out) {
    Jxc::Sha256 sha;
    unsigned char len[4];
    for (const jx::Xattr& x : set) {
        jx::storeBE32(len, static_cast<uint32_t>(x.name.size()));
        sha.update(len, 4);
        sha.update(x.name.data(), x.name.size());
        jx::storeBE32(len, static_cast<uint32_t>(x.value.size()));
        sha.update(len, 4);
        sha.update(x.value.data(), x.value.size());
    }
    sha.final(out->sum);
    out->state = FlrTreeXattrSum::kSum;
}

// Reads one group; read(scope, set) is one of jx::readXattrs*.
template <typename Read>
void sumGroup(unsigned scope, unsigned group, const Read& read, std::vector<jx::Xattr>* set,
              FlrTreeXattrSum* out) {
    if (!(scope & group)) return;
    if (read(group, set) != 0) {
        out->state = FlrTreeXattrSum::kUnreadable;
        return;
    }
    sumOf(*set, out);
}

}  // namespace

// --- walker ----------------------------------------------------------------------

struct FlrTreeWalker::Level {
    jx::File dir;
    std::string rel;
    std::vector<std::string> names;  // sorted
    size_t at = 0;
};

FlrTreeWalker::FlrTreeWalker(jx::File top, std::function<bool(const std::string&)> skip,
                             std::function<bool()> stopped)
    : skip_(std::move(skip)), stopped_(std::move(stopped)), top_(std::move(top)) {}

FlrTreeWalker::~FlrTreeWalker() = default;

bool FlrTreeWalker::next(FlrTreeRecord* out) {
    *out = FlrTreeRecord{};
    if (!started_) {
        started_ = true;
        struct stat st;
        if (jx::fileOps().fstat(top_.get(), &st) != 0) {
            out->error = "cannot be examined: " + jxErrnoText(errno);
            return true;
        }
        fill(st, out);
        const int fd = top_.get();
        const unsigned scope = jx::xattrScopeFor(st.st_mode, ::geteuid() == 0);
        auto read = [fd](unsigned g, std::vector<jx::Xattr>* set) {
            return jx::readXattrsFd(fd, g, set);
        };
        sumGroup(scope, jx::kXattrUser, read, &xattrs_, &out->userXattrs);
        sumGroup(scope, jx::kXattrPrivileged, read, &xattrs_, &out->privXattrs);
        sumAcl(fd, out);
        if (S_ISDIR(st.st_mode)) enter(std::move(top_), "", out);
        return true;
    }
    while (!stack_.empty()) {
        if (stopped_ && stopped_()) return false;
        Level& level = *stack_.back();
        if (level.at == level.names.size()) {
            stack_.pop_back();
            continue;
        }
        const std::string& name = level.names[level.at++];
        const std::string rel = join(level.rel, name);
        if (skip_ && skip_(rel)) continue;
        const int dirFd = level.dir.get();
        describe(dirFd, name, rel, out);
        if (out->error.empty() && S_ISDIR(out->mode))
            enter(jx::openBeneath(dirFd, name, O_RDONLY | O_DIRECTORY), rel, out);
        return true;
    }
    return false;
}

// The folder's names are read now; its records follow the folder's own.
void FlrTreeWalker::enter(jx::File dir, const std::string& rel, FlrTreeRecord* r) {
    // Every path a record names must fit its string; a name is at most
    // NAME_MAX bytes, so a folder this deep is reported, not entered.
    if (rel.size() + 1 + NAME_MAX > kMaxString) {
        r->error = "lies too deep to be listed";
        return;
    }
    auto level = std::make_unique<Level>();
    if (!dir || jx::listDirFd(dir.get(), &level->names) != 0) {
        r->error = "cannot be listed: " + jxErrnoText(errno);
        return;
    }
    std::sort(level->names.begin(), level->names.end());
    level->dir = std::move(dir);
    level->rel = rel;
    stack_.push_back(std::move(level));
}

void FlrTreeWalker::describe(int dirFd, const std::string& name, const std::string& rel,
                             FlrTreeRecord* r) {
    r->rel = rel;
    struct stat st;
    if (jx::statAt(dirFd, name, &st) != 0) {
        r->error = "cannot be examined: " + jxErrnoText(errno);
        return;
    }
    fill(st, r);
    sumXattrs(dirFd, name, r);
    if (S_ISLNK(st.st_mode)) {
        char target[PATH_MAX];
        const ssize_t n = ::readlinkat(dirFd, name.c_str(), target, sizeof target);
        if (n < 0)
            r->error = "link cannot be read: " + jxErrnoText(errno);
        else
            r->target.assign(target, static_cast<size_t>(n));
    } else if (S_ISREG(st.st_mode)) {
        digestFile(dirFd, name, r);
    }
}

// By name in the open folder, never following a link (a link's own).
void FlrTreeWalker::sumXattrs(int dirFd, const std::string& name, FlrTreeRecord* r) {
    const unsigned scope = jx::xattrScopeFor(r->mode, ::geteuid() == 0);
    auto read = [dirFd, &name](unsigned g, std::vector<jx::Xattr>* set) {
        return jx::readXattrsAt(dirFd, name, g, set);
    };
    sumGroup(scope, jx::kXattrUser, read, &xattrs_, &r->userXattrs);
    sumGroup(scope, jx::kXattrPrivileged, read, &xattrs_, &r->privXattrs);
    if (S_ISLNK(r->mode)) return;  // no ACL of its own
    const jx::File f = jx::openBeneath(dirFd, name, O_PATH);
    if (!f) {
        r->acl.state = FlrTreeXattrSum::kUnreadable;
        return;
    }
    sumAcl(f.get(), r);
}

void FlrTreeWalker::sumAcl(int fd, FlrTreeRecord* r) {
    std::vector<unsigned char> form;
    try {
        form = JxACL::Helper().get(fd);
    } catch (const JxException&) {
        r->acl.state = FlrTreeXattrSum::kUnreadable;
        return;
    }
    Jxc::Sha256().digest(form.data(), form.size(), r->acl.sum);
    r->acl.state = FlrTreeXattrSum::kSum;
}

void FlrTreeWalker::digestFile(int dirFd, const std::string& name, FlrTreeRecord* r) {
    struct stat st;
    jx::File f = jx::openRegularBeneath(dirFd, name, O_RDONLY, &st);
    if (!f) {
        r->error = "cannot be read: " + jxErrnoText(errno);
        return;
    }
    buf_.resize(kChunk);
    Jxc::Sha256 sha;
    uint64_t total = 0;
    for (;;) {
        const ssize_t n = jx::fileOps().read(f.get(), buf_.data(), kChunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            r->error = "read failed: " + jxErrnoText(errno);
            return;
        }
        if (n == 0) break;
        if (stopped_ && stopped_()) {
            r->error = "not read to its end: the walk was stopped";
            return;
        }
        sha.update(buf_.data(), static_cast<size_t>(n));
        total += static_cast<uint64_t>(n);
    }
    sha.final(r->digest);
    r->hasDigest = true;
    r->size = total;  // what was read is what the digest covers
}

// --- codec -----------------------------------------------------------------------

namespace {

void put32(std::vector<unsigned char>* out, uint32_t v) {
    unsigned char b[4];
    jx::storeBE32(b, v);
    out->insert(out->end(), b, b + 4);
}

void put64(std::vector<unsigned char>* out, uint64_t v) {
    unsigned char b[8];
    jx::storeBE64(b, v);
    out->insert(out->end(), b, b + 8);
}

void putString(std::vector<unsigned char>* out, const std::string& s) {
    put32(out, static_cast<uint32_t>(s.size()));
    out->insert(out->end(), s.begin(), s.end());
}

class RecordReader {
  public:
    RecordReader(const unsigned char* p, size_t n) : p_(p), n_(n) {}
    const unsigned char* take(size_t k) {
        if (k > n_ - pos_)
            JX_THROW("FlrTreeRecordCodec::take", "A tree record is shorter than its fields");
        const unsigned char* at = p_ + pos_;
        pos_ += k;
        return at;
    }
    uint8_t u8() { return *take(1); }
    uint32_t u32() { return jx::loadBE32(take(4)); }
    uint64_t u64() { return jx::loadBE64(take(8)); }
    std::string str() {
        const uint32_t k = u32();
        if (k > kMaxString)
            JX_THROW("FlrTreeRecordCodec::take",
                     jxFormat("A tree record names a string of %u bytes", k));
        const unsigned char* s = take(k);
        return std::string(reinterpret_cast<const char*>(s), k);
    }
    bool atEnd() const { return pos_ == n_; }

  private:
    const unsigned char* p_;
    size_t n_;
    size_t pos_ = 0;
};

}  // namespace

namespace {

constexpr uint8_t kFlagDigest = 1;
constexpr uint8_t kFlagExtended = 2;

void putSum(std::vector<unsigned char>* out, const FlrTreeXattrSum& x) {
    out->push_back(x.state);
    if (x.state == FlrTreeXattrSum::kSum) out->insert(out->end(), x.sum, x.sum + 32);
}

void takeSum(RecordReader& in, FlrTreeXattrSum* x) {
    x->state = in.u8();
    if (x->state > FlrTreeXattrSum::kUnreadable)
        JX_THROW("FlrTreeRecordCodec::take", "A tree record has an unknown attribute state");
    if (x->state == FlrTreeXattrSum::kSum) std::memcpy(x->sum, in.take(32), 32);
}

}  // namespace

void FlrTreeRecordCodec::append(const FlrTreeRecord& r, std::vector<unsigned char>* out,
                                bool extended) {
    extended = extended && r.extended;
    const size_t lenAt = out->size();
    put32(out, 0);  // the record's length, filled in below
    put32(out, r.mode);
    put32(out, r.uid);
    put32(out, r.gid);
    put64(out, r.size);
    put64(out, static_cast<uint64_t>(r.mtime));
    put64(out, r.rdev);
    out->push_back((r.hasDigest ? kFlagDigest : 0) | (extended ? kFlagExtended : 0));
    if (r.hasDigest) out->insert(out->end(), r.digest, r.digest + 32);
    if (extended) {
        put32(out, r.mtimeNsec);
        putSum(out, r.userXattrs);
        putSum(out, r.privXattrs);
        putSum(out, r.acl);
    }
    putString(out, r.rel);
    putString(out, r.target);
    putString(out, r.error);
    jx::storeBE32(out->data() + lenAt, static_cast<uint32_t>(out->size() - lenAt - 4));
}

void FlrTreeRecordCodec::take(const unsigned char* data, size_t len, size_t* pos,
                              FlrTreeRecord* r) {
    RecordReader outer(data + *pos, len - *pos);
    const uint32_t recordLen = outer.u32();
    RecordReader in(outer.take(recordLen), recordLen);
    r->mode = in.u32();
    r->uid = in.u32();
    r->gid = in.u32();
    r->size = in.u64();
    r->mtime = static_cast<int64_t>(in.u64());
    r->rdev = in.u64();
    const uint8_t flags = in.u8();
    if (flags & ~(kFlagDigest | kFlagExtended))
        JX_THROW("FlrTreeRecordCodec::take", "A tree record has unknown flags");
    r->hasDigest = (flags & kFlagDigest) != 0;
    if (r->hasDigest) std::memcpy(r->digest, in.take(32), 32);
    r->extended = (flags & kFlagExtended) != 0;
    r->mtimeNsec = 0;
    r->userXattrs = r->privXattrs = r->acl = FlrTreeXattrSum{};
    if (r->extended) {
        r->mtimeNsec = in.u32();
        if (r->mtimeNsec >= 1000000000u)
            JX_THROW("FlrTreeRecordCodec::take", "A tree record has a time past its second");
        takeSum(in, &r->userXattrs);
        takeSum(in, &r->privXattrs);
        takeSum(in, &r->acl);
    }
    r->rel = in.str();
    r->target = in.str();
    r->error = in.str();
    if (!in.atEnd())
        JX_THROW("FlrTreeRecordCodec::take", "A tree record is longer than its fields");
    *pos += 4 + recordLen;
}

// --- comparer --------------------------------------------------------------------

int FlrTreeRecordCompare::order(const std::string& a, const std::string& b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        if (a[i] == b[i]) continue;
        // A component that ends first sorts first: "d" and all below it come
        // before "d-x".
        if (a[i] == '/') return -1;
        if (b[i] == '/') return 1;
        return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]) ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

void FlrTreeRecordCompare::differ(const std::string& rel, std::string what) {
    ++result_.differences;
    if (result_.diffs.size() < options_.maxDiffs) result_.diffs.push_back({rel, std::move(what)});
}

FlrTreeVerifyResult FlrTreeRecordCompare::run(const Source& src, const Source& dst) {
    result_ = {};
    FlrTreeRecord a, b;
    bool haveA = src(&a), haveB = dst(&b);
    std::string skipA, skipB;  // subtrees reported whole
    bool skippingA = false, skippingB = false;
    auto advanceA = [&] {
        while ((haveA = src(&a)) && skippingA && under(a.rel, skipA)) {
        }
        skippingA = false;
    };
    auto advanceB = [&] {
        while ((haveB = dst(&b)) && skippingB && under(b.rel, skipB)) {
        }
        skippingB = false;
    };
    while (haveA || haveB) {
        const int c = !haveA ? 1 : !haveB ? -1 : order(a.rel, b.rel);
        if (c == 0) {
            ++result_.entries;
            compare(a, b);
            // A folder whose kind differs is not entered, as locally.
            skippingA = skippingB =
                (a.mode & S_IFMT) != (b.mode & S_IFMT) || !a.error.empty() || !b.error.empty();
            skipA = a.rel;
            skipB = b.rel;
            advanceA();
            advanceB();
        } else if (c < 0) {
            ++result_.entries;
            differ(a.rel, "missing on destination");
            skipA = a.rel;
            skippingA = true;
            advanceA();
        } else {
            differ(b.rel, "extra on destination");
            skipB = b.rel;
            skippingB = true;
            advanceB();
        }
    }
    if (options_.xattrs && result_.privUncompared > 0)
        result_.notes.push_back(jxFormat(
            "trusted.* and security.* attributes of %lld entries were not compared: only one "
            "side lists them (as root)",
            result_.privUncompared));
    return result_;
}

// A group one side does not list (not root there) is not compared, and said so.
void FlrTreeRecordCompare::compareXattrs(const std::string& rel, const char* what,
                                         const FlrTreeXattrSum& a, const FlrTreeXattrSum& b) {
    if (a.state == FlrTreeXattrSum::kNotHere || b.state == FlrTreeXattrSum::kNotHere) {
        if (a.state != b.state) ++result_.privUncompared;
        return;
    }
    if (a.state == FlrTreeXattrSum::kUnreadable)
        return differ(rel, std::string("source ") + what + "extended attributes cannot be read");
    if (b.state == FlrTreeXattrSum::kUnreadable)
        return differ(rel,
                      std::string("destination ") + what + "extended attributes cannot be read");
    if (std::memcmp(a.sum, b.sum, 32) != 0)
        differ(rel, std::string(what) + "extended attributes differ");
}

void FlrTreeRecordCompare::compareAcl(const std::string& rel, const FlrTreeXattrSum& a,
                                      const FlrTreeXattrSum& b) {
    if (a.state == FlrTreeXattrSum::kUnreadable) return differ(rel, "source ACL cannot be read");
    if (b.state == FlrTreeXattrSum::kUnreadable)
        return differ(rel, "destination ACL cannot be read");
    if (a.state != b.state || std::memcmp(a.sum, b.sum, 32) != 0) differ(rel, "ACL differs");
}

void FlrTreeRecordCompare::compare(const FlrTreeRecord& a, const FlrTreeRecord& b) {
    const std::string& rel = a.rel;
    if (!a.error.empty()) return differ(rel, "source " + a.error);
    if (!b.error.empty()) return differ(rel, "destination " + b.error);
    if ((a.mode & S_IFMT) != (b.mode & S_IFMT))
        return differ(rel, flrtree::typeDiffers(a.mode, b.mode));
    // A link's own permission bits mean nothing on Linux and cannot be set;
    // the roots' modes are the caller's business, as locally.
    if (options_.modes && !rel.empty() && !S_ISLNK(a.mode) && (a.mode & 07777) != (b.mode & 07777))
        differ(rel, jxFormat("mode differs: %04o on source, %04o on destination",
                             unsigned(a.mode & 07777), unsigned(b.mode & 07777)));
    if (options_.owners && !rel.empty() && (a.uid != b.uid || a.gid != b.gid))
        differ(rel, jxFormat("owner differs: %u:%u on source, %u:%u on destination", a.uid, a.gid,
                             b.uid, b.gid));
    const bool extended = a.extended && b.extended;
    if (!extended) ++result_.plainRecords;
    if (options_.mtimes && !S_ISDIR(a.mode) &&
        (a.mtime != b.mtime || (extended && a.mtimeNsec != b.mtimeNsec)))
        differ(rel, extended
                        ? jxFormat("modification time differs: %lld.%09u on source, "
                                   "%lld.%09u on destination",
                                   (long long)a.mtime, a.mtimeNsec, (long long)b.mtime, b.mtimeNsec)
                        : jxFormat("modification time differs: %lld on source, %lld on "
                                   "destination",
                                   (long long)a.mtime, (long long)b.mtime));
    // The roots' attributes, like their modes, are the caller's business.
    if (options_.xattrs && extended && !rel.empty()) {
        compareXattrs(rel, "", a.userXattrs, b.userXattrs);
        compareXattrs(rel, "trusted.* and security.* ", a.privXattrs, b.privXattrs);
    }
    if (options_.acls && extended && !rel.empty() && !S_ISLNK(a.mode))
        compareAcl(rel, a.acl, b.acl);
    switch (a.mode & S_IFMT) {
        case S_IFREG:
            if (a.size != b.size)
                differ(rel, jxFormat("size differs: %lld on source, %lld on destination",
                                     (long long)a.size, (long long)b.size));
            else if (!options_.contents)
                break;
            else if (a.hasDigest != b.hasDigest || std::memcmp(a.digest, b.digest, 32) != 0)
                differ(rel, "content differs");
            else
                result_.bytes += static_cast<long long>(a.size);
            break;
        case S_IFLNK:
            if (a.target != b.target) differ(rel, "link target differs");
            break;
        case S_IFCHR:
        case S_IFBLK:
            if (a.rdev != b.rdev) differ(rel, "device number differs");
            break;
        default:
            break;
    }
}
