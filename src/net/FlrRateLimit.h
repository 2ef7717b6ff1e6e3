#pragma once
// A send rate shared by every connection of a run (`flr replicate
// --bwlimit`): each sender reserves the time its bytes take at the rate and
// waits for its turn. The reservation is a computation under a short lock;
// senders wait on their own, holding nothing the others need.
#include <chrono>
#include <mutex>
#include <string>

class FlrRateLimit {
  public:
    using Clock = std::chrono::steady_clock;

    // bytesPerSecond > 0.
    explicit FlrRateLimit(long long bytesPerSecond);
    long long bytesPerSecond() const { return rate_; }

    // Counts `bytes` just sent and returns when the sender may send again.
    // Time left unused is not saved up beyond one message: a link idle for a
    // while does not then burst at full speed.
    Clock::time_point reserve(long long bytes);

    // "500K", "10M", "1G", "65536": bytes per second, K/M/G (either case)
    // 1024-based; "0" means no limit. False, with the reason, for anything
    // else (a negative, fractional or overflowing number, another suffix).
    static bool parse(const std::string& text, long long* bytesPerSecond, std::string* why);

  private:
    const long long rate_;
    std::mutex mtx_;            // guards free_
    Clock::time_point free_{};  // when the bytes reserved so far have left
};
