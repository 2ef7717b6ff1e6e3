#include "JxUtf.h"

#include <fcntl.h>
#include <iconv.h>
#include <langinfo.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Paths need converting only when the locale has a multibyte code set that
// is not UTF-8; the C locale passes bytes through unchanged.
bool needsConversion() {
    const char* cs = nl_langinfo(CODESET);
    if (!cs || !*cs) return false;
    return std::strcmp(cs, "UTF-8") != 0 && std::strcmp(cs, "utf8") != 0 &&
           std::strcmp(cs, "ANSI_X3.4-1968") != 0 && std::strcmp(cs, "ASCII") != 0;
}

bool convert(const char* to, const char* from, const std::string& in, std::string& out) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    out.assign(in.size() * 4 + 16, '\0');
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    char* dst = out.data();
    size_t dstLeft = out.size();
    size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
    iconv_close(cd);
    if (rc == static_cast<size_t>(-1)) return false;
    out.resize(out.size() - dstLeft);
    return true;
}

// Holds the local form of a UTF-8 path for the duration of one call.
class LocalPath {
  public:
    explicit LocalPath(const char* utf) : ok_(true), p_(utf) {
        if (utf && needsConversion()) {
            ok_ = utfToMbe(utf, buf_);
            p_ = buf_.c_str();
        }
    }
    bool ok() const { return ok_; }
    const char* c_str() const { return p_; }

  private:
    bool ok_;
    std::string buf_;
    const char* p_;
};

}  // namespace

bool utfToMbe(const std::string& utf, std::string& mbe) {
    if (!needsConversion()) {
        mbe = utf;
        return true;
    }
    return convert(nl_langinfo(CODESET), "UTF-8", utf, mbe);
}

bool utfNeedsConversion() {
    return needsConversion();
}

bool mbeToUtf(const std::string& mbe, std::string& utf) {
    if (!needsConversion()) {
        utf = mbe;
        return true;
    }
    return convert("UTF-8", nl_langinfo(CODESET), mbe, utf);
}

#define JX_LOCAL_PATH_OR_FAIL(var, utf) \
    LocalPath var(utf);                 \
    if (!(var).ok()) {                  \
        errno = EILSEQ;                 \
        return -1;                      \
    }

int open_utf(const char* path, int flags, mode_t mode) {
    JX_LOCAL_PATH_OR_FAIL(lp, path);
    return ::open(lp.c_str(), flags | O_CLOEXEC, mode);
}

int stat_utf(const char* path, struct stat* st) {
    JX_LOCAL_PATH_OR_FAIL(lp, path);
    return ::stat(lp.c_str(), st);
}

int lstat_utf(const char* path, struct stat* st) {
    JX_LOCAL_PATH_OR_FAIL(lp, path);
    return ::lstat(lp.c_str(), st);
}

int unlink_utf(const char* path) {
    JX_LOCAL_PATH_OR_FAIL(lp, path);
    return ::unlink(lp.c_str());
}

int readlink_utf(const char* path, std::string& target) {
    JX_LOCAL_PATH_OR_FAIL(lp, path);
    std::string buf(256, '\0');
    for (;;) {
        ssize_t n = ::readlink(lp.c_str(), buf.data(), buf.size());
        if (n < 0) return -1;
        if (static_cast<size_t>(n) < buf.size()) {
            buf.resize(static_cast<size_t>(n));
            break;
        }
        buf.resize(buf.size() * 2);
    }
    if (!mbeToUtf(buf, target)) {
        errno = EILSEQ;
        return -1;
    }
    return 0;
}

DIR* opendir_utf(const char* path) {
    LocalPath lp(path);
    if (!lp.ok()) {
        errno = EILSEQ;
        return nullptr;
    }
    return ::opendir(lp.c_str());
}

int readdir_r_utf(DIR* dir, JxBuffer& buf, struct dirent** result) {
    *result = nullptr;
    errno = 0;
    // readdir on a stream that only this caller uses is thread-safe in glibc;
    // the entry is copied so it stays valid after the next call.
    struct dirent* ent = ::readdir(dir);
    if (!ent) return errno;
    if (buf.size() < sizeof(struct dirent)) buf.resize(sizeof(struct dirent));
    auto* copy = reinterpret_cast<struct dirent*>(buf.data());
    std::memcpy(copy, ent, sizeof(struct dirent));
    if (needsConversion()) {
        std::string utf;
        if (!mbeToUtf(ent->d_name, utf)) return EILSEQ;
        if (utf.size() >= sizeof(copy->d_name)) return ENAMETOOLONG;
        std::memcpy(copy->d_name, utf.c_str(), utf.size() + 1);
    }
    *result = copy;
    return 0;
}

// The library may be compiled in batches of sources: the macros end with this file.
#undef JX_LOCAL_PATH_OR_FAIL
