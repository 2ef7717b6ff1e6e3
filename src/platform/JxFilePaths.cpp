// Path spellings and private folders: the parts of the file API that decide
// which folder a name means and who may change it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

#include "FLR/JxException.h"
#include "JxFile.h"

namespace jx {

namespace {

[[noreturn]] void failPath(const char* function, const std::string& text, const char* source,
                           int err) {
    throw JxException(function, text, source, __LINE__, err);
}

std::string absoluteSpelling(const std::string& path, const char* source) {
    if (!path.empty() && path[0] == '/') return path;
    std::unique_ptr<char, decltype(&std::free)> cwd(::getcwd(nullptr, 0), &std::free);
    if (!cwd)
        failPath("resolvePath", "Failed to get the current folder: " + jxErrnoText(errno), source,
                 errno);
    return std::string(cwd.get()) + "/" + path;
}

// Appends name to a resolved folder, folding "." and ".." lexically (the
// folder below does not exist, so no link can make ".." mean anything else).
std::string appendName(const std::string& dir, const std::string& name) {
    if (name.empty() || name == ".") return dir;
    if (name == "..") return parentDir(dir);
    return dir == "/" ? "/" + name : dir + "/" + name;
}

std::string resolveExisting(const std::string& abs, const char* source) {
    char buf[PATH_MAX];
    if (::realpath(abs.c_str(), buf)) return buf;
    if (errno != ENOENT && errno != ENOTDIR)
        failPath("resolvePath", "Failed to resolve " + abs + ": " + jxErrnoText(errno), source,
                 errno);
    const size_t slash = abs.find_last_of('/');
    const std::string parent = slash == 0 ? "/" : abs.substr(0, slash);
    return appendName(resolveExisting(parent, source), abs.substr(slash + 1));
}

}  // namespace

std::string resolvePath(const std::string& path, const char* source) {
    std::string abs = absoluteSpelling(path, source);
    while (abs.size() > 1 && abs.back() == '/') abs.pop_back();
    return resolveExisting(abs, source);
}

bool pathWithin(const std::string& inner, const std::string& outer) {
    if (outer == "/") return true;
    return inner == outer ||
           (inner.size() > outer.size() && inner.compare(0, outer.size(), outer) == 0 &&
            inner[outer.size()] == '/');
}

int makeDirs(const char* path) {
    if (!path || !*path) {
        errno = EINVAL;
        return -1;
    }
    if (fileOps().mkdir(path, 0777) == 0) return 0;
    if (errno == EEXIST) return 0;
    if (errno != ENOENT) return -1;
    std::string parent(path);
    const size_t slash = parent.rfind('/');
    parent = slash == std::string::npos ? std::string() : parent.substr(0, slash);
    if (const int rc = makeDirs(parent.c_str()); rc != 0) return rc;
    if (fileOps().mkdir(path, 0777) == 0) return 0;
    // Another thread or process may have made it since the first attempt, and
    // a path ending in "/" names the directory its parent step just made.
    return errno == EEXIST ? 0 : -1;
}

void makePrivateDir(const std::string& path, const char* source) {
    const std::string parent = parentDir(path);
    struct stat pst {};
    if (parent != path && fileOps().stat(parent.c_str(), &pst) != 0) {
        if (errno != ENOENT)
            failPath("makePrivateDir",
                     "Failed to stat folder " + parent + ": " + jxErrnoText(errno), source, errno);
        makePrivateDir(parent, source);
    }
    if (fileOps().mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        failPath("makePrivateDir", "Failed to create folder " + path + ": " + jxErrnoText(errno),
                 source, errno);
    File dir = openFile(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW);
    if (!dir)
        failPath("makePrivateDir",
                 "Refusing state folder " + path + ": " + jxErrnoText(errno) +
                     (errno == ELOOP || errno == ENOTDIR ? " (not a plain folder)" : ""),
                 source, errno);
    struct stat st {};
    if (fileOps().fstat(dir.get(), &st) != 0)
        failPath("makePrivateDir", "Failed to stat folder " + path + ": " + jxErrnoText(errno),
                 source, errno);
    if (st.st_uid != ::geteuid())
        failPath("makePrivateDir",
                 "Refusing state folder " + path + ": it is owned by user " +
                     std::to_string(st.st_uid) + ", not by this user",
                 source, EPERM);
    // Someone else may already have planted a link there: refused, not narrowed.
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0)
        failPath("makePrivateDir",
                 "Refusing state folder " + path + ": it is writable by group or others", source,
                 EPERM);
    if ((st.st_mode & 07777) != 0700 && ::fchmod(dir.get(), 0700) != 0)
        failPath("makePrivateDir",
                 "Failed to make folder " + path + " private: " + jxErrnoText(errno), source,
                 errno);
}

}  // namespace jx
