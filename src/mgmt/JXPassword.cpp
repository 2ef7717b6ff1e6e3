#include "JXPassword.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "FLR/JxException.h"
#include "link/SdtCrypto.h"
#include "platform/JXPlatformInfo.h"

namespace {

constexpr const char* kPasswordPrefix = "gcm1:";
constexpr size_t kPasswordNonceLen = 8;  // the GCM counter part of the nonce, random per value
// Binds every value to this use of the key.
constexpr const char* kAad = "FLR JXPassword v1";

// The key bytes, wiped when done.
struct PasswordKey {
    uint8_t bytes[sdt::kKeyLen];
    ~PasswordKey() { sdt::wipe(bytes, sizeof bytes); }
};

void setError(std::string* error, const std::string& text) {
    if (error) *error = text;
}

// Why the opened key file cannot be trusted; empty when it can. Whoever owns
// it may change the key or read it whatever its mode.
std::string keyFileFault(const struct stat& st) {
    if (!S_ISREG(st.st_mode)) return "is not a regular file";
    if (st.st_uid != ::geteuid())
        return jxFormat("belongs to uid %u, not to this user (uid %u)",
                        static_cast<unsigned>(st.st_uid), static_cast<unsigned>(::geteuid()));
    if ((st.st_mode & 077) != 0) return "is not a regular file readable by its owner only";
    return "";
}

bool readKeyFile(const std::string& path, PasswordKey& key, std::string* error) {
    // O_NONBLOCK: a FIFO under the name is refused, not waited on;
    // O_NOFOLLOW: a link planted under the name is never used as the key.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
    if (fd < 0) {
        setError(error, "Couldn't open secret key file " + path + ": " + jxErrnoText(errno) +
                            (errno == ELOOP ? " (a symbolic link)" : ""));
        return false;
    }
    struct stat st {};
    const std::string fault = ::fstat(fd, &st) != 0 ? "cannot be examined" : keyFileFault(st);
    ssize_t got = -1;
    if (fault.empty()) got = ::read(fd, key.bytes, sizeof key.bytes);
    ::close(fd);
    if (!fault.empty()) {
        setError(error, "Secret key file " + path + " " + fault + "; refusing it");
        return false;
    }
    if (got != static_cast<ssize_t>(sizeof key.bytes) || st.st_size != got) {
        setError(error, "Secret key file " + path + " is damaged");
        return false;
    }
    return true;
}

// A new key goes to a temporary file that is then linked into place: link
// fails when another process made the key first, and nobody ever sees a
// key file that is not whole.
bool createKeyFile(const std::string& path, std::string* error) {
    PasswordKey key;
    if (!sdt::randomBytes(key.bytes, sizeof key.bytes)) {
        setError(error, "The random source failed");
        return false;
    }
    // The install directory may not exist yet on a fresh host.
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        if (::mkdir(path.substr(0, at).c_str(), 0755) != 0 && errno != EEXIST) {
            setError(error, "Couldn't create folder of secret key file " + path + ": " +
                                jxErrnoText(errno));
            return false;
        }
    const std::string temp = path + ".new." + std::to_string(::getpid());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        setError(error, "Couldn't create secret key file " + temp + ": " + jxErrnoText(errno));
        return false;
    }
    const bool written =
        ::write(fd, key.bytes, sizeof key.bytes) == static_cast<ssize_t>(sizeof key.bytes) &&
        ::fsync(fd) == 0;
    const int writeErr = errno;
    ::close(fd);
    const bool linked = written && (::link(temp.c_str(), path.c_str()) == 0 || errno == EEXIST);
    const int linkErr = errno;
    ::unlink(temp.c_str());
    if (!linked) {
        setError(error, "Couldn't write secret key file " + path + ": " +
                            jxErrnoText(written ? linkErr : writeErr));
        return false;
    }
    return true;
}

bool loadKey(bool create, PasswordKey& key, std::string* error) {
    const std::string path = JXPassword::keyFilePath();
    if (create && ::access(path.c_str(), F_OK) != 0 && errno == ENOENT &&
        !createKeyFile(path, error))
        return false;
    return readKeyFile(path, key, error);
}

std::string toHex(const std::vector<uint8_t>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (uint8_t b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

bool fromHex(const std::string& text, std::vector<uint8_t>& bytes) {
    if (text.size() % 2 != 0) return false;
    auto nibble = [](char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    bytes.clear();
    for (size_t i = 0; i < text.size(); i += 2) {
        const int hi = nibble(text[i]), lo = nibble(text[i + 1]);
        if (hi < 0 || lo < 0) return false;
        bytes.push_back(static_cast<uint8_t>(hi << 4 | lo));
    }
    return true;
}

uint64_t counterOf(const uint8_t* nonce) {
    uint64_t c = 0;
    for (size_t i = 0; i < kPasswordNonceLen; ++i) c = c << 8 | nonce[i];
    return c;
}

}  // namespace

std::string JXPassword::keyFilePath() {
    std::string path;
    if (JXPlatformInfo::getString("Platform", "sSecretKeyFile", path) && !path.empty()) return path;
    return JXPI_Base::getOrchardDirectory() + "/secret.key";
}

int JXPassword::encrypt(const std::string& plain, std::string& stored, std::string* error) {
    PasswordKey key;
    if (!loadKey(true, key, error)) return -1;
    std::vector<uint8_t> out(kPasswordNonceLen + plain.size() + sdt::kTagLen);
    sdt::Gcm gcm;
    if (!sdt::randomBytes(out.data(), kPasswordNonceLen) || !gcm.setKey(key.bytes) ||
        !gcm.seal(counterOf(out.data()), reinterpret_cast<const uint8_t*>(kAad), strlen(kAad),
                  reinterpret_cast<const uint8_t*>(plain.data()), plain.size(),
                  out.data() + kPasswordNonceLen, out.data() + kPasswordNonceLen + plain.size())) {
        setError(error, "Failed to encipher the secret");
        return -1;
    }
    stored = kPasswordPrefix + toHex(out);
    return 0;
}

int JXPassword::decrypt(const std::string& stored, std::string& plain, std::string* error) {
    const size_t prefixLen = strlen(kPasswordPrefix);
    std::vector<uint8_t> in;
    if (stored.compare(0, prefixLen, kPasswordPrefix) != 0 ||
        !fromHex(stored.substr(prefixLen), in) || in.size() < kPasswordNonceLen + sdt::kTagLen) {
        setError(error, "The stored secret is not an enciphered value");
        return -1;
    }
    PasswordKey key;
    if (!loadKey(false, key, error)) return -1;
    const size_t len = in.size() - kPasswordNonceLen - sdt::kTagLen;
    std::string out(len, '\0');
    sdt::Gcm gcm;
    if (!gcm.setKey(key.bytes) ||
        !gcm.open(counterOf(in.data()), reinterpret_cast<const uint8_t*>(kAad), strlen(kAad),
                  in.data() + kPasswordNonceLen, len, reinterpret_cast<uint8_t*>(out.data()),
                  in.data() + kPasswordNonceLen + len)) {
        sdt::wipe(out.data(), out.size());
        setError(error, "The stored secret does not decipher under this host's key");
        return -1;
    }
    plain.swap(out);
    sdt::wipe(out.data(), out.size());
    return 0;
}

int JXPassword::setSecret(const std::string& name, const std::string& plain, std::string* error) {
    std::string stored;
    if (encrypt(plain, stored, error) != 0) return -1;
    if (JXPlatformInfo::setString(kSection, name, stored) != 0) {
        setError(error, "Failed to write the registry: " + jxErrnoText(errno));
        return -1;
    }
    return 0;
}

int JXPassword::removeSecret(const std::string& name) {
    return JXPlatformInfo::deleteValue(kSection, name);
}
