#pragma once
// Talking to systemd when it started us as a Type=notify service: readiness,
// a status line for `systemctl status`, and the watchdog's keep-alive pings.
// Everything here does nothing when NOTIFY_SOCKET is unset, so the same
// command runs unchanged from a terminal.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace jx {

// Sends one notification ("READY=1", "STATUS=...", "STOPPING=1", ...).
// False when there is no service manager to tell or the send failed; a
// service keeps running either way.
bool systemdNotify(const std::string& state);

// How often to ping: half the interval the manager asked for
// (WATCHDOG_USEC, for this process), or zero when it asked for none.
std::chrono::microseconds systemdWatchdogPeriod();

// Pings the watchdog from its own thread while alive() says the process
// still makes progress; a false answer withholds the ping, and systemd
// then restarts the service once the interval runs out.
class JxSystemdWatchdog {
  public:
    explicit JxSystemdWatchdog(std::function<bool()> alive);
    ~JxSystemdWatchdog();
    JxSystemdWatchdog(const JxSystemdWatchdog&) = delete;
    JxSystemdWatchdog& operator=(const JxSystemdWatchdog&) = delete;

    bool enabled() const { return period_.count() > 0; }

  private:
    void loop();

    std::function<bool()> alive_;
    std::chrono::microseconds period_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace jx
