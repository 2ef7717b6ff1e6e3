#include "FlrLocalTail.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "FLR/JxException.h"
#include "env/FlrHelper.h"
#include "link/SdtNetLink.h"
#include "net/FlrNetHead.h"

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

FlrLocalTail::FlrLocalTail(const std::string& destination, FlrTailApplier::Options options)
    : destination_(absoluteDestination(destination)) {
    applier_ = std::make_unique<FlrTailApplier>(destination_, std::move(options));
    service_ = std::make_unique<FlrTailService>(applier_->handler());
    if (SdtError e = SdtNetLink::newSecret(&secret_); !e.ok()) JX_THROW(kLocalTailFn, e.text());
    service_->setSecret(secret_);
    // Head and tail are this process, over loopback: sealing the bytes hides
    // them from no one, while authenticating every frame still catches any
    // other process that would talk to the port. --encrypt seals anyway.
    service_->setIntegrityOnly(1);
    service_->listen("127.0.0.1", "0");
    thread_ = std::thread([svc = service_.get()] { svc->run(); });
}

FlrLocalTail::~FlrLocalTail() {
    stop();
    std::fill(secret_.begin(), secret_.end(), '\0');
}

void FlrLocalTail::connect(FlrNetHead& head) const {
    head.getLink().setSecret(secret_);
    head.getLink().setIntegrityOnly(1);
    head.connect("127.0.0.1", service_->localPort(), 0);
}

void FlrLocalTail::stop() {
    if (service_) service_->stop();
    if (thread_.joinable()) thread_.join();
}
