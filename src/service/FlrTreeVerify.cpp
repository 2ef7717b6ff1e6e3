#include "FLR/FlrTreeVerify.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include "FLR/JxException.h"
#include "apply/FlrTreeDiffText.h"
#include "platform/JxACL.h"
#include "platform/JxFile.h"
#include "platform/JxXattr.h"

namespace {

constexpr size_t kVerifyChunk = 1 << 20;

std::string verifyJoin(const std::string& root, const std::string& rel) {
    return rel.empty() ? root : root + "/" + rel;
}

std::set<std::string> sortedNames(const std::string& path) {
    std::vector<std::string> names = jx::listDir(path, "FlrTreeVerify");
    return {names.begin(), names.end()};
}

// Reads up to len bytes; fewer only at the end of the file.
ssize_t readFully(int fd, char* buf, size_t len) {
    size_t got = 0;
    while (got < len) {
        const ssize_t n = jx::fileOps().read(fd, buf + got, len - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

}  // namespace

FlrTreeVerify::FlrTreeVerify(FlrTreeVerifyOptions options) : options_(options) {}

FlrTreeVerifyResult FlrTreeVerify::compare(const std::string& srcRoot, const std::string& dstRoot) {
    struct stat a, b;
    if (jx::fileOps().stat(srcRoot.c_str(), &a) != 0)
        JX_THROW_ERRNO("FlrTreeVerify::compare", "Failed to stat " + srcRoot, errno);
    if (jx::fileOps().stat(dstRoot.c_str(), &b) != 0)
        JX_THROW_ERRNO("FlrTreeVerify::compare", "Failed to stat " + dstRoot, errno);
    src_ = srcRoot;
    dst_ = dstRoot;
    result_ = {};
    if (S_ISDIR(a.st_mode) != S_ISDIR(b.st_mode)) {
        differ("", "one root is a folder, the other is not");
        return result_;
    }
    if (S_ISDIR(a.st_mode)) {
        ++result_.entries;
        compareFolder("");
    } else {
        compareContent("");
    }
    return result_;
}

void FlrTreeVerify::differ(const std::string& rel, std::string what) {
    ++result_.differences;
    if (result_.diffs.size() < options_.maxDiffs) result_.diffs.push_back({rel, std::move(what)});
}

void FlrTreeVerify::compareFolder(const std::string& rel) {
    std::set<std::string> src, dst;
    try {
        src = sortedNames(verifyJoin(src_, rel));
        dst = sortedNames(verifyJoin(dst_, rel));
    } catch (const JxException& e) {
        differ(rel, e.getMessage());
        return;
    }
    for (const std::string& name : src) {
        const std::string child = rel.empty() ? name : rel + "/" + name;
        if (!dst.count(name))
            differ(child, "missing on destination");
        else
            compareEntry(child);
    }
    for (const std::string& name : dst)
        if (!src.count(name)) differ(rel.empty() ? name : rel + "/" + name, "extra on destination");
}

void FlrTreeVerify::compareEntry(const std::string& rel) {
    ++result_.entries;
    struct stat a, b;
    if (jx::fileOps().lstat(verifyJoin(src_, rel).c_str(), &a) != 0) {
        differ(rel, "source cannot be examined: " + jxErrnoText(errno));
        return;
    }
    if (jx::fileOps().lstat(verifyJoin(dst_, rel).c_str(), &b) != 0) {
        differ(rel, "destination cannot be examined: " + jxErrnoText(errno));
        return;
    }
    if ((a.st_mode & S_IFMT) != (b.st_mode & S_IFMT)) {
        differ(rel, flrtree::typeDiffers(a.st_mode, b.st_mode));
        return;
    }
    // A link's own permission bits mean nothing on Linux and cannot be set.
    if (options_.modes && !S_ISLNK(a.st_mode) && (a.st_mode & 07777) != (b.st_mode & 07777))
        differ(rel, jxFormat("mode differs: %04o on source, %04o on destination",
                             unsigned(a.st_mode & 07777), unsigned(b.st_mode & 07777)));
    if (options_.owners && (a.st_uid != b.st_uid || a.st_gid != b.st_gid))
        differ(rel,
               jxFormat("owner differs: %u:%u on source, %u:%u on destination", unsigned(a.st_uid),
                        unsigned(a.st_gid), unsigned(b.st_uid), unsigned(b.st_gid)));
    if (options_.mtimes && !S_ISDIR(a.st_mode) &&
        (a.st_mtim.tv_sec != b.st_mtim.tv_sec || a.st_mtim.tv_nsec != b.st_mtim.tv_nsec))
        differ(rel, jxFormat("modification time differs: %lld.%09ld on source, %lld.%09ld on "
                             "destination",
                             (long long)a.st_mtim.tv_sec, a.st_mtim.tv_nsec,
                             (long long)b.st_mtim.tv_sec, b.st_mtim.tv_nsec));
    if (options_.xattrs) compareXattrs(rel, a.st_mode);
    if (options_.acls && !S_ISLNK(a.st_mode)) compareAcls(rel);
    switch (a.st_mode & S_IFMT) {
        case S_IFDIR:
            compareFolder(rel);
            break;
        case S_IFREG:
            if (a.st_size != b.st_size)
                differ(rel, jxFormat("size differs: %lld on source, %lld on destination",
                                     (long long)a.st_size, (long long)b.st_size));
            else if (options_.contents)
                compareContent(rel);
            break;
        case S_IFLNK:
            try {
                if (jx::readSymlink(verifyJoin(src_, rel), "FlrTreeVerify") !=
                    jx::readSymlink(verifyJoin(dst_, rel), "FlrTreeVerify"))
                    differ(rel, "link target differs");
            } catch (const JxException& e) {
                differ(rel, e.getMessage());
            }
            break;
        case S_IFCHR:
        case S_IFBLK:
            if (a.st_rdev != b.st_rdev) differ(rel, "device number differs");
            break;
        default:
            break;
    }
}

// user.* (and, as root, trusted.* and security.*), as the tail keeps them.
void FlrTreeVerify::compareXattrs(const std::string& rel, mode_t mode) {
    const unsigned scope = jx::xattrScopeFor(mode, ::geteuid() == 0);
    if (scope == 0) return;
    std::vector<jx::Xattr> a, b;
    if (const int err = jx::readXattrsPath(verifyJoin(src_, rel), scope, &a))
        return differ(rel, "source extended attributes cannot be read: " + jxErrnoText(err));
    if (const int err = jx::readXattrsPath(verifyJoin(dst_, rel), scope, &b))
        return differ(rel, "destination extended attributes cannot be read: " + jxErrnoText(err));
    if (a == b) return;
    // Both are sorted by name: the first name where they part is the one named.
    size_t i = 0;
    while (i < a.size() && i < b.size() && a[i] == b[i]) ++i;
    if (i < a.size() && (i == b.size() || a[i].name < b[i].name))
        return differ(rel, "extended attribute " + a[i].name + " missing on destination");
    if (i < b.size() && (i == a.size() || b[i].name < a[i].name))
        return differ(rel, "extended attribute " + b[i].name + " extra on destination");
    differ(rel, "extended attribute " + a[i].name + " differs");
}

void FlrTreeVerify::compareAcls(const std::string& rel) {
    const JxACL::Helper acl;
    std::vector<unsigned char> a, b;
    try {
        a = acl.get(verifyJoin(src_, rel));
    } catch (const JxException& e) {
        return differ(rel, "source ACL cannot be read: " + e.getMessage());
    }
    try {
        b = acl.get(verifyJoin(dst_, rel));
    } catch (const JxException& e) {
        return differ(rel, "destination ACL cannot be read: " + e.getMessage());
    }
    if (a != b) differ(rel, "ACL differs");
}

void FlrTreeVerify::compareContent(const std::string& rel) {
    jx::File fa = jx::openFile(verifyJoin(src_, rel), O_RDONLY | O_NOFOLLOW);
    if (!fa) return differ(rel, "source cannot be read: " + jxErrnoText(errno));
    jx::File fb = jx::openFile(verifyJoin(dst_, rel), O_RDONLY | O_NOFOLLOW);
    if (!fb) return differ(rel, "destination cannot be read: " + jxErrnoText(errno));
    bufA_.resize(kVerifyChunk);
    bufB_.resize(kVerifyChunk);
    uint64_t offset = 0;
    for (;;) {
        const ssize_t na = readFully(fa.get(), bufA_.data(), kVerifyChunk);
        const ssize_t nb = readFully(fb.get(), bufB_.data(), kVerifyChunk);
        if (na < 0 || nb < 0) return differ(rel, "read failed: " + jxErrnoText(errno));
        result_.bytes += std::min(na, nb);
        const size_t common = static_cast<size_t>(std::min(na, nb));
        if (std::memcmp(bufA_.data(), bufB_.data(), common) != 0) {
            size_t at = 0;
            while (bufA_[at] == bufB_[at]) ++at;
            return differ(
                rel, jxFormat("content differs at byte %llu", (unsigned long long)(offset + at)));
        }
        if (na != nb)  // one of them changed size while it was read
            return differ(rel, jxFormat("content differs at byte %llu",
                                        (unsigned long long)(offset + common)));
        if (na == 0) break;
        offset += static_cast<uint64_t>(na);
    }
}
