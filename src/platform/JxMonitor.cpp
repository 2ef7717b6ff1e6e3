#include "JxMonitor.h"

#include <algorithm>

#include "EvDebug.h"
#include "FLR/JxException.h"

// Signals are counted so that signal() wakes one waiter and broadcast() every
// waiter present at the time of the call, but no thread that starts waiting
// afterwards: a waiter may consume a pending signal only when the generation
// moved past the one it saw on entering the wait.
//
// Lock order: own_ may be held while taking m_ (a waiter registering, a
// holder signalling), never the other way round.

void JxMonitor::enter() {
    const auto me = std::this_thread::get_id();
    if (owner_.load(std::memory_order_relaxed) == me) {
        ++depth_;
        return;
    }
    own_.lock();
    owner_.store(me, std::memory_order_relaxed);
    depth_ = 1;
}

bool JxMonitor::tryEnter() {
    const auto me = std::this_thread::get_id();
    if (owner_.load(std::memory_order_relaxed) == me) {
        ++depth_;
        return true;
    }
    if (!own_.try_lock()) return false;
    owner_.store(me, std::memory_order_relaxed);
    depth_ = 1;
    return true;
}

void JxMonitor::exit() {
    if (owner_.load(std::memory_order_relaxed) != std::this_thread::get_id()) {
        // Called from scope guards' destructors: throwing would terminate.
        EvDebug::Error("JxMonitor::exit", "%s", "Monitor left by a thread that does not hold it");
        return;
    }
    if (--depth_ > 0) return;
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    own_.unlock();
}

bool JxMonitor::wait(long timeoutMs) {
    if (owner_.load(std::memory_order_relaxed) != std::this_thread::get_id())
        JX_THROW("JxMonitor::wait", "Monitor waited on by a thread that does not hold it");

    std::unique_lock<std::mutex> lk(m_);
    const int savedDepth = depth_;
    const uint64_t seenGeneration = generation_;
    ++waiters_;
    owner_.store(std::thread::id(), std::memory_order_relaxed);
    depth_ = 0;
    own_.unlock();

    auto signalled = [&] { return pendingSignals_ > 0 && generation_ != seenGeneration; };
    bool woken;
    if (timeoutMs < 0) {
        sigCv_.wait(lk, signalled);
        woken = true;
    } else {
        // Beyond a century the deadline arithmetic would overflow; it is "no limit" anyway.
        constexpr long kCentury = 100L * 365 * 24 * 3600 * 1000;
        const auto deadline = std::chrono::steady_clock::now() +
                              std::chrono::milliseconds(std::min(timeoutMs, kCentury));
        woken = sigCv_.wait_until(lk, deadline, signalled);
    }
    if (woken) --pendingSignals_;
    --waiters_;
    lk.unlock();

    own_.lock();
    owner_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    depth_ = savedDepth;
    return woken;
}

void JxMonitor::signal() {
    std::lock_guard<std::mutex> lk(m_);
    if (waiters_ <= pendingSignals_) return;  // every current waiter already has a wake-up
    ++pendingSignals_;
    ++generation_;
    // Every waiter must look: only those older than this generation qualify.
    sigCv_.notify_all();
}

void JxMonitor::broadcast() {
    std::lock_guard<std::mutex> lk(m_);
    if (waiters_ == 0) return;
    pendingSignals_ = waiters_;
    ++generation_;
    sigCv_.notify_all();
}

bool JxMonitor::heldByMe() const {
    return owner_.load(std::memory_order_relaxed) == std::this_thread::get_id();
}
