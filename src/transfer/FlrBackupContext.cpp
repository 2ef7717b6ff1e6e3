// The adaptive model's samples, shared by the planner and the sender, and
// the abort check of every role.
#include "FlrBackupContext.h"

#include <ctime>

#include "FLR/JxException.h"

FlrBackupSamples::FlrBackupSamples() : lastRefill_(static_cast<long long>(std::time(nullptr))) {}

void FlrBackupSamples::add(int kind, unsigned long long bytes, unsigned long long micros) {
    std::lock_guard<std::mutex> lock(mtx_);
    switch (kind) {
        case kNet:
            model_.addNetSample(bytes, micros);
            break;
        case kLocal:
            model_.addLMD5Sample(bytes, micros);
            break;
        default:
            model_.addRMD5Sample(bytes, micros);
            break;
    }
}

long long FlrBackupSamples::learnedThreshold() {
    // Kept 64-bit: a learned threshold past 2 GiB must not turn negative,
    // and -1 (comparing never pays off) must stay "never".
    std::lock_guard<std::mutex> lock(mtx_);
    return model_.getSizeThresh();
}

void FlrBackupSamples::refillIfDue(long long now, long long period) {
    if (now - lastRefill_ < period) return;
    lastRefill_ = now;
    net.set(kBudget);
    local.set(kBudget);
    remote.set(kBudget);
}

void FlrBackupContext::checkAbort(const char* function) const {
    if (abort.isSet()) JX_THROW(function, "Aborted");
}
