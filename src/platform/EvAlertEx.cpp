#include "FLR/platform/EvAlertEx.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "FLR/platform/JXZrpJobClient.h"
#include "FLR/platform/JxException.h"

std::string jxUtcNow() {
    const time_t now = ::time(nullptr);
    struct tm tm;
    gmtime_r(&now, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

int jxAppendOutboxLine(const std::string& text) {
    const std::string line = text + "\n";
    const std::string path = JXZrpJobClient::outboxPath();
    // The install directory may not exist yet on a fresh host.
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        if (::mkdir(path.substr(0, at).c_str(), 0755) != 0 && errno != EEXIST) return -1;
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    ssize_t n;
    do {
        n = ::write(fd, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    const int err = errno;
    ::close(fd);
    if (n != static_cast<ssize_t>(line.size())) {
        errno = n < 0 ? err : EIO;
        return -1;
    }
    return 0;
}

std::string EvAlertEx::toJson(int type, int subtype, int flags) const {
    const auto q = JXZrpJobClient::quoteJson;
    return jxFormat(
               "{\"kind\":\"alert\",\"type\":%d,\"subtype\":%d,\"flags\":%d,\"time\":\"%s\","
               "\"pair\":%ld,\"set\":%ld,\"srcClient\":%d,",
               type, subtype, flags, jxUtcNow().c_str(), pairId, setId, srcClientId) +
           "\"srcHost\":" + q(srcHost) + ",\"dstHost\":" + q(dstHost) +
           ",\"srcPath\":" + q(srcPath) + ",\"dstPath\":" + q(dstPath) +
           ",\"message\":" + q(message) + "}";
}

int EvAlertEx::sendAlert(int type, int subtype, int flags) const {
    return jxAppendOutboxLine(toJson(type, subtype, flags));
}
