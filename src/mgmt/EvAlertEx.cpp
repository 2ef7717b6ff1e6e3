#include "EvAlertEx.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

#include "FLR/JxException.h"
#include "JXZrpJobClient.h"

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
