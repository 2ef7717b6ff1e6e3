// The adaptive MD5 size threshold.
#include "FlrAdaptiveMD5.h"

#include <sys/time.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <new>

#include "platform/EvDebug.h"

namespace {

using i128 = __int128;
using u128 = unsigned __int128;

// a*b - c*d, exactly when it fits 128 bits, else in long double.
long double productDifference(u128 a, u128 b, u128 c, u128 d) {
    i128 ab = 0;
    i128 cd = 0;
    i128 diff = 0;
    if (!__builtin_mul_overflow(static_cast<i128>(a), static_cast<i128>(b), &ab) &&
        !__builtin_mul_overflow(static_cast<i128>(c), static_cast<i128>(d), &cd) &&
        !__builtin_sub_overflow(ab, cd, &diff))
        return static_cast<long double>(diff);
    return static_cast<long double>(a) * static_cast<long double>(b) -
           static_cast<long double>(c) * static_cast<long double>(d);
}

uint64_t* zeroedWindow() {
    auto* p = static_cast<uint64_t*>(std::calloc(FlrAdaptiveMD5::kWindow, sizeof(uint64_t)));
    if (!p) throw std::bad_alloc();
    return p;
}

}  // namespace

FlrAdaptiveMD5::FlrAdaptiveMD5() {
    Samples* sets[] = {&net_, &lmd5_, &rmd5_};
    try {
        for (Samples* s : sets) {
            s->x = zeroedWindow();
            s->y = zeroedWindow();
        }
    } catch (...) {
        for (Samples* s : sets) {
            std::free(s->x);
            std::free(s->y);
        }
        throw;
    }
}

FlrAdaptiveMD5::~FlrAdaptiveMD5() {
    for (Samples* s : {&net_, &lmd5_, &rmd5_}) {
        std::free(s->x);
        std::free(s->y);
    }
}

uint64_t FlrAdaptiveMD5::nowMicros() {
    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    return static_cast<uint64_t>(tv.tv_sec) * 1000000u + static_cast<uint64_t>(tv.tv_usec);
}

void FlrAdaptiveMD5::startNetSample() {
    net_.start = nowMicros();
}

void FlrAdaptiveMD5::startLMD5Sample() {
    lmd5_.start = nowMicros();
}

void FlrAdaptiveMD5::startRMD5Sample() {
    rmd5_.start = nowMicros();
}

void FlrAdaptiveMD5::endNetSample(unsigned long long bytes) {
    const uint64_t now = nowMicros();
    if (now > net_.start && bytes != 0) addNetSample(bytes, now - net_.start);
}

void FlrAdaptiveMD5::endLMD5Sample(unsigned long long bytes) {
    const uint64_t now = nowMicros();
    if (now > lmd5_.start && bytes != 0) addLMD5Sample(bytes, now - lmd5_.start);
}

void FlrAdaptiveMD5::endRMD5Sample(unsigned long long bytes) {
    const uint64_t now = nowMicros();
    if (now > rmd5_.start) addRMD5Sample(bytes, now - rmd5_.start);
}

void FlrAdaptiveMD5::addNetSample(unsigned long long x, unsigned long long y) {
    if (x == 0) return;
    add(net_, x, y, "FlrAdaptiveMD5::addNetSample");
}

void FlrAdaptiveMD5::addLMD5Sample(unsigned long long x, unsigned long long y) {
    if (x == 0) return;
    add(lmd5_, x, y, "FlrAdaptiveMD5::addLMD5Sample");
}

void FlrAdaptiveMD5::addRMD5Sample(unsigned long long x, unsigned long long y) {
    add(rmd5_, x, y, "FlrAdaptiveMD5::addRMD5Sample");
}

void FlrAdaptiveMD5::add(Samples& s, unsigned long long x, unsigned long long y,
                         const char* function) {
    if (x > kMaxBytes || y == 0) return;
    EvDebug::DebugLvl(function, 2, "(%lld, %lld)", static_cast<long long>(x),
                      static_cast<long long>(y));
    s.last = (s.last + 1) % kWindow;
    if (s.count == kWindow) {
        // The oldest sample leaves the window.
        const u128 ox = s.x[s.last];
        const u128 oy = s.y[s.last];
        s.sumXX -= ox * ox;
        s.sumXY -= ox * oy;
        s.sumX -= ox;
        s.sumY -= oy;
    } else {
        ++s.count;
    }
    s.x[s.last] = x;
    s.y[s.last] = y;
    s.sumXX += static_cast<u128>(x) * x;
    s.sumXY += static_cast<u128>(x) * y;
    s.sumX += x;
    s.sumY += y;
    newSamples_ = true;
}

double FlrAdaptiveMD5::slopeThroughOrigin(const Samples& s) {
    return static_cast<double>(static_cast<long double>(s.sumXY) /
                               static_cast<long double>(s.sumXX));
}

bool FlrAdaptiveMD5::getCoeffs(double* net, double* localMD5, double* remoteFixed,
                               double* remotePerByte) const {
    const double netCost = net_.count > 2 ? slopeThroughOrigin(net_) : kDefaultNetCost;
    double local = kDefaultMD5Cost;
    double fixed = kDefaultRemoteFixed;
    double perByte = kDefaultMD5Cost;
    bool measured = false;
    if (lmd5_.count > 2) {
        local = slopeThroughOrigin(lmd5_);
        const u128 n = static_cast<u128>(rmd5_.count);
        const long double d = productDifference(rmd5_.sumX, rmd5_.sumX, rmd5_.sumXX, n);
        if (d == 0) {
            // All remote samples on one file size: no line through them.
            perByte = local;
        } else {
            fixed = static_cast<double>(
                productDifference(rmd5_.sumXY, rmd5_.sumX, rmd5_.sumY, rmd5_.sumXX) / d);
            perByte =
                static_cast<double>(productDifference(rmd5_.sumY, rmd5_.sumX, rmd5_.sumXY, n) / d);
            measured = net_.count > 2 && rmd5_.count > 2;
        }
    }
    if (net) *net = netCost;
    if (localMD5) *localMD5 = local;
    if (remoteFixed) *remoteFixed = fixed;
    if (remotePerByte) *remotePerByte = perByte;
    return measured;
}

long long FlrAdaptiveMD5::getSizeThresh() {
    if (cacheValid_ && !newSamples_) return cachedThresh_;
    double net = 0;
    double local = 0;
    double fixed = 0;
    double perByte = 0;
    if (!getCoeffs(&net, &local, &fixed, &perByte) && cacheValid_) return cachedThresh_;
    const double denom = net - local - perByte;
    const double q = fixed / denom;
    long long thresh;
    if (denom < 0 || std::isnan(q) || q == HUGE_VAL) {
        thresh = -1;
    } else if (q <= 0) {
        // A negative fixed cost: MD5 is expected to win at every size.
        thresh = 0;
    } else if (q >= static_cast<double>(LLONG_MAX)) {
        thresh = LLONG_MAX;
    } else {
        thresh = static_cast<long long>(q);
    }
    cachedThresh_ = thresh;
    cacheValid_ = true;
    newSamples_ = false;
    return thresh;
}
