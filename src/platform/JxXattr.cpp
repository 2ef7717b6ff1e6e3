// Extended attributes through one small target: an open descriptor (f*
// calls) or a path whose last component is never followed (l* calls).
#include "JxXattr.h"

#include <sys/stat.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace jx {

namespace {

class Target {
  public:
    explicit Target(int fd) : fd_(fd) {}
    // follow: the path's last component is a /proc/self/fd magic link, whose
    // following lands on the entry itself (a link included) and goes no further.
    explicit Target(std::string path, bool follow = false)
        : path_(std::move(path)), follow_(follow) {}

    ssize_t list(char* buf, size_t n) const {
        if (fd_ >= 0) return ::flistxattr(fd_, buf, n);
        return follow_ ? ::listxattr(path_.c_str(), buf, n) : ::llistxattr(path_.c_str(), buf, n);
    }
    ssize_t get(const char* name, void* buf, size_t n) const {
        if (fd_ >= 0) return ::fgetxattr(fd_, name, buf, n);
        return follow_ ? ::getxattr(path_.c_str(), name, buf, n)
                       : ::lgetxattr(path_.c_str(), name, buf, n);
    }
    int set(const std::string& name, const void* value, size_t len) const {
        if (fd_ >= 0) return ::fsetxattr(fd_, name.c_str(), value, len, 0);
        return follow_ ? ::setxattr(path_.c_str(), name.c_str(), value, len, 0)
                       : ::lsetxattr(path_.c_str(), name.c_str(), value, len, 0);
    }
    int set(const std::string& name, const std::string& value) const {
        return set(name, value.data(), value.size());
    }
    int remove(const std::string& name) const {
        if (fd_ >= 0) return ::fremovexattr(fd_, name.c_str());
        return follow_ ? ::removexattr(path_.c_str(), name.c_str())
                       : ::lremovexattr(path_.c_str(), name.c_str());
    }

  private:
    int fd_ = -1;
    std::string path_;
    bool follow_ = false;
};

bool hasPrefix(const std::string& s, const char* prefix) {
    return s.compare(0, std::strlen(prefix), prefix) == 0;
}

// A file system without attributes has an empty set.
bool unsupported(int err) {
    return err == ENOTSUP || err == EOPNOTSUPP;
}

// The names list, grown while the entry gains names between the calls.
int listNames(const Target& t, std::string* names) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        const ssize_t need = t.list(nullptr, 0);
        if (need < 0) return unsupported(errno) ? (names->clear(), 0) : errno;
        names->resize(static_cast<size_t>(need));
        if (need == 0) return 0;
        const ssize_t got = t.list(names->data(), names->size());
        if (got >= 0) {
            names->resize(static_cast<size_t>(got));
            return 0;
        }
        if (errno != ERANGE) return errno;
    }
    return ERANGE;
}

// One value; ENODATA when the name went away meanwhile, E2BIG beyond the
// largest value that travels.
int getValue(const Target& t, const std::string& name, std::string* value) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        const ssize_t need = t.get(name.c_str(), nullptr, 0);
        if (need < 0) return errno;
        if (static_cast<size_t>(need) > kXattrValueMax) return E2BIG;
        value->resize(static_cast<size_t>(need));
        if (need == 0) return 0;
        const ssize_t got = t.get(name.c_str(), value->data(), value->size());
        if (got >= 0) {
            value->resize(static_cast<size_t>(got));
            return 0;
        }
        if (errno != ERANGE) return errno;
    }
    return ERANGE;
}

int readAll(const Target& t, unsigned scope, std::vector<Xattr>* out) {
    out->clear();
    std::string names;
    if (const int err = listNames(t, &names)) return err;
    size_t total = 0;
    for (size_t at = 0; at < names.size();) {
        const size_t end = names.find('\0', at);
        std::string name =
            names.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? names.size() : end + 1;
        if (name.empty() || !xattrInScope(name, scope)) continue;
        if (name.size() > kXattrNameMax) return E2BIG;
        Xattr x;
        x.name = std::move(name);
        if (const int err = getValue(t, x.name, &x.value)) {
            if (err == ENODATA) continue;
            return err;
        }
        total += x.name.size() + x.value.size();
        if (total > kXattrSetMax) return E2BIG;
        out->push_back(std::move(x));
    }
    std::sort(out->begin(), out->end(),
              [](const Xattr& a, const Xattr& b) { return a.name < b.name; });
    return 0;
}

int syncAll(const Target& t, unsigned scope, const std::vector<Xattr>& want) {
    std::vector<Xattr> have;
    const int readErr = readAll(t, scope, &have);
    int first = 0;
    auto note = [&first](int err) {
        if (!first) first = err;
    };
    if (readErr) note(readErr);
    for (const Xattr& h : have) {
        const bool kept =
            std::any_of(want.begin(), want.end(), [&](const Xattr& w) { return w.name == h.name; });
        if (!kept && t.remove(h.name) != 0 && errno != ENODATA) note(errno);
    }
    for (const Xattr& w : want) {
        if (!xattrInScope(w.name, scope)) continue;
        if (std::find(have.begin(), have.end(), w) != have.end()) continue;
        if (t.set(w.name, w.value) != 0) note(errno);
    }
    return first;
}

// The entry `name` of the folder dirFd as a path no one can redirect: the
// folder is the open descriptor itself, the name a single component.
int pathAt(int dirFd, const std::string& name, std::string* path) {
    if (dirFd < 0 || name.empty() || name == "." || name == ".." ||
        name.find('/') != std::string::npos)
        return EINVAL;
    *path = "/proc/self/fd/" + std::to_string(dirFd) + "/" + name;
    return 0;
}

}  // namespace

bool xattrInScope(const std::string& name, unsigned scope) {
    if (scope & kXattrUser && hasPrefix(name, "user.")) return true;
    return (scope & kXattrPrivileged) &&
           (hasPrefix(name, "trusted.") || hasPrefix(name, "security."));
}

unsigned xattrScopeFor(mode_t mode, bool privileged) {
    unsigned scope = privileged ? unsigned(kXattrPrivileged) : 0u;
    if (S_ISREG(mode) || S_ISDIR(mode)) scope |= kXattrUser;
    return scope;
}

int readXattrsFd(int fd, unsigned scope, std::vector<Xattr>* out) {
    if (fd < 0) return EBADF;
    return readAll(Target(fd), scope, out);
}

int readXattrsPath(const std::string& path, unsigned scope, std::vector<Xattr>* out) {
    if (path.empty()) return ENOENT;
    return readAll(Target(path), scope, out);
}

int readXattrsAt(int dirFd, const std::string& name, unsigned scope, std::vector<Xattr>* out) {
    std::string path;
    if (const int err = pathAt(dirFd, name, &path)) return err;
    return readAll(Target(std::move(path)), scope, out);
}

int syncXattrsFd(int fd, unsigned scope, const std::vector<Xattr>& want) {
    if (fd < 0) return EBADF;
    return syncAll(Target(fd), scope, want);
}

int syncXattrsAt(int dirFd, const std::string& name, unsigned scope,
                 const std::vector<Xattr>& want) {
    std::string path;
    if (const int err = pathAt(dirFd, name, &path)) return err;
    return syncAll(Target(std::move(path)), scope, want);
}

int readXattrsOpath(int fd, unsigned scope, std::vector<Xattr>* out) {
    if (fd < 0) return EBADF;
    return readAll(Target("/proc/self/fd/" + std::to_string(fd), true), scope, out);
}

int setXattrAt(int dirFd, const std::string& name, const std::string& attr, const void* value,
               size_t len) {
    std::string path;
    if (const int err = pathAt(dirFd, name, &path)) return err;
    return Target(std::move(path)).set(attr, value, len) == 0 ? 0 : errno;
}

int removeXattrAt(int dirFd, const std::string& name, const std::string& attr) {
    std::string path;
    if (const int err = pathAt(dirFd, name, &path)) return err;
    return Target(std::move(path)).remove(attr) == 0 ? 0 : errno;
}

}  // namespace jx
