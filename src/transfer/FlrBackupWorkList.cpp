// The bounded list between the planner and the sender.
#include "FlrBackupWorkList.h"

void FlrBackupWorkList::reset() {
    JxMonitorLock lock(mon_);
    items_.clear();
    done_ = stop_ = false;
    error_.reset();
}

void FlrBackupWorkList::push(std::unique_ptr<FlrBackupItem> item, const char* function) {
    JxMonitorLock lock(mon_);
    while (items_.size() >= limit_) {
        if (stop_ || abort_.isSet()) JX_THROW(function, "Aborted");
        mon_.wait(waitMs_);
    }
    items_.push_back(std::move(item));
    mon_.broadcast();
}

void FlrBackupWorkList::check(const char* function) {
    JxMonitorLock lock(mon_);
    if (stop_ || abort_.isSet()) JX_THROW(function, "Aborted");
}

void FlrBackupWorkList::finish(std::unique_ptr<JxException> error) {
    JxMonitorLock lock(mon_);
    if (error) error_ = std::move(error);
    done_ = true;
    mon_.broadcast();
}

std::unique_ptr<FlrBackupItem> FlrBackupWorkList::take(const char* function) {
    JxMonitorLock lock(mon_);
    for (;;) {
        if (abort_.isSet()) JX_THROW(function, "Aborted");
        if (!items_.empty()) {
            std::unique_ptr<FlrBackupItem> item = std::move(items_.front());
            items_.pop_front();
            mon_.broadcast();
            return item;
        }
        // What the planner queued before it failed is still sent.
        if (error_) throw JxException(*error_);
        if (done_) return nullptr;
        mon_.wait(waitMs_);
    }
}

void FlrBackupWorkList::stop() {
    JxMonitorLock lock(mon_);
    stop_ = true;
    mon_.broadcast();
}

bool FlrBackupWorkList::stopped() const {
    JxMonitorLock lock(mon_);
    return stop_;
}
