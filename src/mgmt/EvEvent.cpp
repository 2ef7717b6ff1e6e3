#include "EvEvent.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "FLR/JxException.h"
#include "JXZrpJobClient.h"

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
        id_, levelName(level_), jobId, flags, jxUtcNow().c_str());
    for (size_t i = 0; i < args_.size(); ++i)
        line += (i ? "," : "") + JXZrpJobClient::quoteJson(args_[i]);
    return line + "]}";
}

int EvEvent::post(unsigned long long jobId, unsigned flags) {
    return jxAppendOutboxLine(toJson(jobId, flags));
}
