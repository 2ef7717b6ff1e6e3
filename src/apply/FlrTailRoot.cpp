// The tail's confined destination root.
#include "FlrTailRoot.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>

#include <cerrno>
#include <random>
#include <vector>

#include "FLR/JxException.h"
#include "platform/EvDebug.h"
#include "platform/JxDirFd.h"
#include "snap/FlrSnapOSBtrfs.h"

namespace {

const char* const kTailRootFn = "FlrTailRoot";
constexpr char kTempMark[] = ".flrtmp.";
constexpr size_t kTempHexDigits = 16;
// Room for the mark and the suffix within a 255-byte name.
constexpr size_t kTempNameKeep = 200;

std::string withoutTrailingSlashes(std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

bool startsWithFolder(std::string_view path, const std::string& folder, std::string_view* rest) {
    if (folder == "/") {
        *rest = path.substr(1);
        return true;
    }
    if (path.substr(0, folder.size()) != folder) return false;
    if (path.size() > folder.size() && path[folder.size()] != '/') return false;
    *rest = path.substr(folder.size());
    return true;
}

std::vector<std::string> components(std::string_view rel) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= rel.size()) {
        size_t slash = rel.find('/', start);
        if (slash == std::string_view::npos) slash = rel.size();
        std::string_view part = rel.substr(start, slash - start);
        if (!part.empty() && part != ".") parts.emplace_back(part);
        start = slash + 1;
    }
    return parts;
}

// Makes (or replaces with) a folder named name inside dirFd and opens it.
jx::File makeFolder(int dirFd, const std::string& name) {
    jx::File f = jx::openBeneath(dirFd, name, O_RDONLY | O_DIRECTORY);
    if (f || (errno != ENOENT && errno != ENOTDIR)) return f;
    if (errno == ENOTDIR) {
        // A file where the source now has a folder: the folder wins.
        if (const int err = FlrTailRoot::removeEntry(dirFd, name)) {
            errno = err;
            return jx::File();
        }
    }
    if (jx::mkdirAt(dirFd, name, 0755) != 0 && errno != EEXIST) return jx::File();
    return jx::openBeneath(dirFd, name, O_RDONLY | O_DIRECTORY);
}

}  // namespace

FlrTailRoot::FlrTailRoot(const std::string& dir) : path_(withoutTrailingSlashes(dir)) {
    if (path_.empty()) JX_THROW(kTailRootFn, "The destination root is empty");
    root_ = jx::openDirectory(path_);
    if (!root_) JX_THROW_ERRNO(kTailRootFn, "Couldn't open the destination root " + path_, errno);
    char buf[PATH_MAX];
    canonical_ = ::realpath(path_.c_str(), buf) ? std::string(buf) : path_;
}

bool FlrTailRoot::stripRoot(std::string_view received, std::string_view* rest) const {
    return startsWithFolder(received, path_, rest) || startsWithFolder(received, canonical_, rest);
}

bool FlrTailRoot::relative(std::string_view received, std::string* rel, std::string* why) const {
    if (received.empty()) {
        *why = "empty path";
        return false;
    }
    std::string_view rest = received;
    if (received[0] == '/' && !stripRoot(received, &rest)) {
        *why = "outside the destination root " + path_;
        return false;
    }
    rel->clear();
    for (const std::string& part : components(rest)) {
        if (part == "..") {
            *why = "names a parent folder (..)";
            return false;
        }
        if (!rel->empty()) rel->push_back('/');
        rel->append(part);
    }
    if (inSnapshotFolder(*rel)) {
        *why = std::string("lies in the tail's recovery points' folder ") +
               FlrSnapOS_LV_btrfs::kSnapDir;
        return false;
    }
    return true;
}

bool FlrTailRoot::inSnapshotFolder(std::string_view rel) {
    const std::string_view top = rel.substr(0, rel.find('/'));
    return top == FlrSnapOS_LV_btrfs::kSnapDir;
}

jx::File FlrTailRoot::openParent(const std::string& rel, bool create, std::string* leaf) const {
    const std::vector<std::string> parts = components(rel);
    if (parts.empty()) {
        errno = EINVAL;
        return jx::File();
    }
    *leaf = parts.back();
    const size_t cut = rel.rfind('/');
    const std::string folder = cut == std::string::npos ? "" : rel.substr(0, cut);
    jx::File f = jx::openBeneath(fd(), folder, O_RDONLY | O_DIRECTORY);
    if (f || !create || (errno != ENOENT && errno != ENOTDIR)) return f;
    // Walk again, making what is missing.
    jx::File cur = jx::openBeneath(fd(), "", O_RDONLY | O_DIRECTORY);
    for (size_t i = 0; cur && i + 1 < parts.size(); ++i) cur = makeFolder(cur.get(), parts[i]);
    return cur;
}

std::shared_ptr<const jx::File> FlrTailFolderCache::openParent(const FlrTailRoot& root,
                                                               const std::string& rel,
                                                               std::string* leaf) {
    // rel is confined and has no empty part: its folder is what comes
    // before the last slash, as FlrTailRoot::openParent cuts it.
    const size_t cut = rel.rfind('/');
    const std::string_view folder =
        cut == std::string::npos ? std::string_view() : std::string_view(rel).substr(0, cut);
    if (fd_ && !rel.empty() && folder == folder_) {
        *leaf = rel.substr(cut == std::string::npos ? 0 : cut + 1);
        return fd_;
    }
    clear();
    jx::File f = root.openParent(rel, true, leaf);
    if (!f) return nullptr;
    fd_ = std::make_shared<const jx::File>(std::move(f));
    folder_ = folder;
    return fd_;
}

jx::File FlrTailRoot::openDir(const std::string& rel) const {
    return jx::openBeneath(fd(), rel, O_RDONLY | O_DIRECTORY);
}

std::string FlrTailRoot::temporaryName(const std::string& name) {
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    static const char hex[] = "0123456789abcdef";
    std::string t = "." + name.substr(0, kTempNameKeep) + kTempMark;
    uint64_t r = rng();
    for (size_t i = 0; i < kTempHexDigits; ++i, r >>= 4) t.push_back(hex[r & 15]);
    return t;
}

bool FlrTailRoot::isTemporaryName(const std::string& name) {
    const size_t markLen = sizeof kTempMark - 1;
    if (name.size() < 2 + markLen + kTempHexDigits || name[0] != '.') return false;
    const size_t mark = name.size() - kTempHexDigits - markLen;
    if (name.compare(mark, markLen, kTempMark) != 0) return false;
    for (size_t i = name.size() - kTempHexDigits; i < name.size(); ++i) {
        const char c = name[i];
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    }
    return true;
}

long FlrTailRoot::sweepTemporaries() const {
    long removed = 0;
    std::vector<std::string> todo{""};
    std::vector<std::string> names;
    std::vector<unsigned char> types;
    while (!todo.empty()) {
        const std::string rel = todo.back();
        todo.pop_back();
        jx::File dir = openDir(rel);
        if (!dir || jx::listDirFd(dir.get(), &names, &types) != 0) continue;
        for (size_t i = 0; i < names.size(); ++i) {
            const std::string& name = names[i];
            if (isTemporaryName(name)) {
                if (removeEntry(dir.get(), name) == 0) ++removed;
                continue;
            }
            // The folder's own entry types spare a stat per file: on a large
            // destination the sweep would otherwise cost as much as a scan.
            bool isDir = types[i] == DT_DIR;
            if (types[i] == DT_UNKNOWN) {
                struct stat st {};
                isDir = jx::statAt(dir.get(), name, &st) == 0 && S_ISDIR(st.st_mode);
            }
            if (isDir) todo.push_back(rel.empty() ? name : rel + "/" + name);
        }
    }
    if (removed > 0)
        EvDebug::Debug(kTailRootFn, "Removed %ld temporary files of an earlier run under %s",
                       removed, path_.c_str());
    return removed;
}

int FlrTailRoot::removeEntry(int dirFd, const std::string& name) {
    struct stat st {};
    if (jx::statAt(dirFd, name, &st) != 0) return errno == ENOENT ? 0 : errno;
    if (!S_ISDIR(st.st_mode)) return jx::unlinkAt(dirFd, name, false) == 0 ? 0 : errno;
    struct stat here {};
    if (jx::fileOps().fstat(dirFd, &here) != 0) return errno;
    if (st.st_dev != here.st_dev) return EXDEV;  // a mount point: not ours to empty
    {
        jx::File sub = jx::openBeneath(dirFd, name, O_RDONLY | O_DIRECTORY);
        if (!sub) return errno;
        std::vector<std::string> names;
        if (const int err = jx::listDirFd(sub.get(), &names)) return err;
        // Past a mount point the rest still goes; the folder then stays.
        int first = 0;
        for (const std::string& n : names)
            if (const int err = removeEntry(sub.get(), n); err && !first) first = err;
        if (first) return first;
    }
    return jx::unlinkAt(dirFd, name, true) == 0 || errno == ENOENT ? 0 : errno;
}
