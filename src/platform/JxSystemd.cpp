#include "JxSystemd.h"

#include <systemd/sd-daemon.h>

#include <cstdlib>

namespace jx {

bool systemdNotify(const std::string& state) {
    // sd_notify returns 0 without a socket; checking first spares building
    // the message for every status line of a command run by hand.
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (!socket || !*socket) return false;
    return ::sd_notify(0, state.c_str()) > 0;
}

std::chrono::microseconds systemdWatchdogPeriod() {
    uint64_t usec = 0;
    if (::sd_watchdog_enabled(0, &usec) <= 0 || usec == 0) return std::chrono::microseconds(0);
    return std::chrono::microseconds(usec / 2);
}

JxSystemdWatchdog::JxSystemdWatchdog(std::function<bool()> alive)
    : alive_(std::move(alive)), period_(systemdWatchdogPeriod()) {
    if (enabled()) thread_ = std::thread([this] { loop(); });
}

JxSystemdWatchdog::~JxSystemdWatchdog() {
    {
        std::lock_guard<std::mutex> g(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void JxSystemdWatchdog::loop() {
    std::unique_lock<std::mutex> g(mutex_);
    while (!stop_) {
        g.unlock();
        if (alive_()) systemdNotify("WATCHDOG=1");
        g.lock();
        wake_.wait_for(g, period_, [this] { return stop_; });
    }
}

}  // namespace jx
