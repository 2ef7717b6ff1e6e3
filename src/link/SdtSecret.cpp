// Where the link secret comes from (docs/protocol.md, "Link secret"): the
// override, a private key file, or the registry when the registry file itself
// is private. Texts name the source, never the secret.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "FLR/JxException.h"
#include "SdtHandshake.h"
#include "platform/JXPlatformInfo.h"

namespace sdt {

namespace {

constexpr size_t kMaxSecretFile = 4096;

void trimTrailingSpace(std::string* s) {
    while (!s->empty() &&
           (s->back() == '\n' || s->back() == '\r' || s->back() == ' ' || s->back() == '\t'))
        s->pop_back();
}

SdtError secretError(const std::string& text) {
    return SdtError(SdtError::kAuthFailed, text);
}

bool readSecretFile(const std::string& path, std::string* secret, SdtError* err) {
    // O_NONBLOCK: a FIFO under the name must be refused, not waited on;
    // O_NOFOLLOW: so must a link planted under it.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) {
        *err = secretError("Couldn't open link secret file " + path + ": " + jxErrnoText(errno) +
                           (errno == ELOOP ? " (a symbolic link; name the file itself)" : ""));
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        *err = secretError("Link secret file " + path + " is not a regular file");
        return false;
    }
    // Whoever owns the file may change the secret, or read it whatever its mode.
    if (st.st_uid != ::geteuid()) {
        ::close(fd);
        *err = secretError(jxFormat(
            "Link secret file %s belongs to uid %u, not to this user (uid "
            "%u); refusing to use it",
            path.c_str(), static_cast<unsigned>(st.st_uid), static_cast<unsigned>(::geteuid())));
        return false;
    }
    if (st.st_mode & 077) {
        ::close(fd);
        *err =
            secretError(jxFormat("Link secret file %s is accessible by group or others (mode "
                                 "%04o); refusing to use it: chmod 600 it",
                                 path.c_str(), static_cast<unsigned>(st.st_mode & 07777)));
        return false;
    }
    std::string data(kMaxSecretFile + 1, '\0');
    size_t got = 0;
    for (;;) {
        const ssize_t r = ::read(fd, data.data() + got, data.size() - got);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            const int e = errno;
            ::close(fd);
            wipe(data.data(), data.size());
            *err = secretError("Couldn't read link secret file " + path + ": " + jxErrnoText(e));
            return false;
        }
        if (r == 0) break;
        got += static_cast<size_t>(r);
        if (got == data.size()) break;
    }
    ::close(fd);
    if (got > kMaxSecretFile) {
        wipe(data.data(), data.size());
        *err = secretError("Link secret file " + path + " is larger than " +
                           std::to_string(kMaxSecretFile) + " bytes");
        return false;
    }
    data.resize(got);
    trimTrailingSpace(&data);
    if (data.empty()) {
        *err = secretError("Link secret file " + path + " is empty");
        return false;
    }
    *secret = std::move(data);
    return true;
}

// An inline secret is only as private as the registry file holding it.
bool registryIsPrivate(SdtError* err) {
    const std::string path = JXPlatformInfo::getRegistryFile();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        *err = secretError("Couldn't check the mode of registry file " + path + ": " +
                           jxErrnoText(errno));
        return false;
    }
    if (st.st_uid != ::geteuid()) {
        *err = secretError(jxFormat(
            "Registry file %s holds the link secret but belongs to uid "
            "%u, not to this user (uid %u); refusing to use it",
            path.c_str(), static_cast<unsigned>(st.st_uid), static_cast<unsigned>(::geteuid())));
        return false;
    }
    if (st.st_mode & (S_IROTH | S_IWOTH | S_IWGRP)) {
        *err = secretError(
            jxFormat("Registry file %s holds the link secret but is readable or writable by "
                     "others or writable by its group (mode %04o); refusing to use it: chmod "
                     "600 it, or move the secret to a key file named by [ZRP] sLinkSecretFile",
                     path.c_str(), static_cast<unsigned>(st.st_mode & 07777)));
        return false;
    }
    return true;
}

bool longEnough(std::string* secret, const std::string& source, SdtError* err) {
    if (secret->size() >= kMinSecretLen) return true;
    *err =
        secretError(jxFormat("The link secret from %s is %zu bytes long; at least %zu are "
                             "required (a new key file: flr link keygen)",
                             source.c_str(), secret->size(), kMinSecretLen));
    wipe(secret->data(), secret->size());
    secret->clear();
    return false;
}

}  // namespace

bool loadLinkSecret(const std::string& override, std::string* secret, SdtError* err) {
    if (!override.empty()) {
        *secret = override;
        return longEnough(secret, "SdtNetLink::setSecret", err);
    }
    std::string path;
    if (JXPlatformInfo::getString("ZRP", "sLinkSecretFile", path) && !path.empty())
        return readSecretFile(path, secret, err) &&
               longEnough(secret, "link secret file " + path, err);
    std::string value;
    if (JXPlatformInfo::getString("ZRP", "sLinkSecret", value) && !value.empty()) {
        const bool usable = registryIsPrivate(err);
        *secret = std::move(value);
        if (!usable) {
            wipe(secret->data(), secret->size());
            secret->clear();
            return false;
        }
        return longEnough(secret, "[ZRP] sLinkSecret", err);
    }
    *err = secretError(
        "No link secret configured: set [ZRP] sLinkSecret or sLinkSecretFile in the "
        "registry; refusing the connection");
    return false;
}

bool integrityOnlyRequested() {
    int v = 0;
    return JXPlatformInfo::getNumber("ZRP", kIntegrityOnlyKey, v) && v != 0;
}

bool randomSecretText(char (&text)[2 * kMinSecretLen + 1]) {
    uint8_t raw[kMinSecretLen];
    if (!randomBytes(raw, sizeof raw)) return false;
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < kMinSecretLen; ++i) {
        text[2 * i] = digits[raw[i] >> 4];
        text[2 * i + 1] = digits[raw[i] & 15];
    }
    text[2 * kMinSecretLen] = '\n';
    wipe(raw, sizeof raw);
    return true;
}

SdtError newSecretText(std::string* out) {
    char text[2 * kMinSecretLen + 1];
    if (!randomSecretText(text))
        return SdtError(SdtError::kFailure, "The random number generator failed");
    out->assign(text, 2 * kMinSecretLen);
    wipe(text, sizeof text);
    return {};
}

SdtError writeSecretFile(const std::string& path) {
    char text[2 * kMinSecretLen + 1];
    if (!randomSecretText(text))
        return SdtError(SdtError::kFailure, "The random number generator failed");
    // Written in full to a private temporary file, then linked under its
    // name: link() never replaces an existing file, and readers never see a
    // partial key.
    std::string tmp = path + ".tmpXXXXXX";
    const int fd = ::mkstemp(tmp.data());
    if (fd < 0) {
        wipe(text, sizeof text);
        return SdtError(SdtError::kFailure,
                        "Couldn't create a key file next to " + path + ": " + jxErrnoText(errno));
    }
    const bool written = ::fchmod(fd, 0600) == 0 &&
                         ::write(fd, text, sizeof text) == static_cast<ssize_t>(sizeof text) &&
                         ::fsync(fd) == 0;
    const int writeErr = errno;
    wipe(text, sizeof text);
    ::close(fd);
    SdtError result;
    if (!written)
        result = SdtError(SdtError::kFailure,
                          "Couldn't write key file " + path + ": " + jxErrnoText(writeErr));
    else if (::link(tmp.c_str(), path.c_str()) != 0)
        result = SdtError(errno == EEXIST ? SdtError::kInvalidArgs : SdtError::kFailure,
                          errno == EEXIST
                              ? "Key file " + path + " already exists; refusing to overwrite it"
                              : "Couldn't create key file " + path + ": " + jxErrnoText(errno));
    ::unlink(tmp.c_str());
    return result;
}

}  // namespace sdt
