#include "FLR/platform/EvEvent.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "FLR/platform/JXZrpJobClient.h"
#include "FLR/platform/JxException.h"

namespace {

std::string utcNow() {
    const time_t now = ::time(nullptr);
    struct tm tm;
    gmtime_r(&now, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

}  // namespace

void EvEvent::addArg(int type, const std::string& value) {
    if (type == kArgText) args_.push_back(value);
}

const char* EvEvent::levelName(Level level) {
    switch (level) {
        case kInfo:
            return "info";
        case kMinor:
            return "minor";
        case kMajor:
            return "major";
        case kCritical:
            return "critical";
    }
    return "unknown";
}

std::string EvEvent::toJson(unsigned long long jobId, unsigned flags) const {
    std::string line = jxFormat(
        "{\"kind\":\"event\",\"id\":\"0x%08x\",\"level\":\"%s\",\"job\":%llu,"
        "\"flags\":%u,\"time\":\"%s\",\"args\":[",
        id_, levelName(level_), jobId, flags, utcNow().c_str());
    for (size_t i = 0; i < args_.size(); ++i)
        line += (i ? "," : "") + JXZrpJobClient::quoteJson(args_[i]);
    return line + "]}";
}

int EvEvent::post(unsigned long long jobId, unsigned flags) {
    const std::string line = toJson(jobId, flags) + "\n";
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
