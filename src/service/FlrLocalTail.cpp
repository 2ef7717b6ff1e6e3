#include "FlrLocalTail.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "FLR/JxException.h"
#include "env/FlrHelper.h"
#include "net/FlrNetChannel.h"
#include "net/FlrNetHead.h"
#include "net/FlrNetTail.h"
#include "platform/EvDebug.h"
#include "platform/JxThread.h"

namespace {

const char* const kLocalTailFn = "FlrLocalTail";

// The local destination folder, made when missing (as rsync does).
std::string absoluteDestination(const std::string& target) {
    std::string p = target;
    if (p.empty() || p[0] != '/') {
        char cwd[4096];
        if (!::getcwd(cwd, sizeof cwd))
            JX_THROW_ERRNO(kLocalTailFn, "Failed to get the current folder", errno);
        p = std::string(cwd) + "/" + p;
    }
    p = FlrHelper::stripTrailingSlashes(p);
    if (FlrHelper::mkdir1(p.c_str()) != 0)
        JX_THROW_ERRNO(kLocalTailFn, "Failed to create folder " + p, errno);
    return p;
}

}  // namespace

FlrLocalTail::FlrLocalTail(const std::string& destination, FlrTailApplier::Options options,
                           int applyNice)
    : destination_(absoluteDestination(destination)) {
    applier_ = std::make_unique<FlrTailApplier>(destination_, std::move(options));
    FlrTailService::Handler handler = applier_->handler();
    if (applyNice > 0)
        handler = [h = std::move(handler), applyNice](FlrTailSession& session) {
            // Each session has a thread of its own, which ends with it.
            if (!JxThread::setNice(applyNice))
                EvDebug::Warning(kLocalTailFn, "Couldn't lower the applying thread's priority");
            h(session);
        };
    service_ = std::make_unique<FlrTailService>(std::move(handler));
    // No listening socket: the only heads are this process's (connect).
    thread_ = std::thread([svc = service_.get()] { svc->run(); });
}

FlrLocalTail::~FlrLocalTail() {
    stop();
}

// Head and tail are this process: an in-process channel carries the
// messages, with no frames to seal and no threads between them.
void FlrLocalTail::connect(FlrNetHead& head) const {
    head.connectBy([svc = service_.get()](FlrNetHead& h) {
        auto channel = std::make_shared<FlrNetChannel>();
        auto tail = std::make_unique<FlrNetTail>();
        tail->attachChannel(channel, 1);
        h.attachChannel(channel, 0);
        svc->serveInProcess(std::move(tail));
    });
}

void FlrLocalTail::stop() {
    if (service_) service_->stop();
    if (thread_.joinable()) thread_.join();
}
