#include "FlrRateLimit.h"

#include <algorithm>
#include <climits>

FlrRateLimit::FlrRateLimit(long long bytesPerSecond) : rate_(std::max(bytesPerSecond, 1LL)) {}

FlrRateLimit::Clock::time_point FlrRateLimit::reserve(long long bytes) {
    const auto cost = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(
        static_cast<double>(std::max(bytes, 0LL)) / static_cast<double>(rate_)));
    std::lock_guard<std::mutex> lock(mtx_);
    free_ = std::max(free_, Clock::now()) + cost;
    return free_;
}

bool FlrRateLimit::parse(const std::string& text, long long* bytesPerSecond, std::string* why) {
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
    if (digits == 0) {
        *why = "\"" + text + "\" is not a rate: write bytes per second, e.g. 500K, 10M or 1G";
        return false;
    }
    long long scale = 1;
    if (digits + 1 == text.size()) {
        switch (text[digits]) {
            case 'k':
            case 'K':
                scale = 1LL << 10;
                break;
            case 'm':
            case 'M':
                scale = 1LL << 20;
                break;
            case 'g':
            case 'G':
                scale = 1LL << 30;
                break;
            default:
                scale = 0;
        }
    }
    if (digits != text.size() && (digits + 1 != text.size() || scale == 0)) {
        *why = "\"" + text + "\": a rate is a whole number with an optional K, M or G suffix";
        return false;
    }
    long long value = 0;
    for (size_t i = 0; i < digits; ++i) {
        const int digit = text[i] - '0';
        if (value > (LLONG_MAX - digit) / 10 || value * 10 + digit > LLONG_MAX / scale) {
            *why = "\"" + text + "\" is too large a rate";
            return false;
        }
        value = value * 10 + digit;
    }
    *bytesPerSecond = value * scale;
    return true;
}
