#pragma once
// An integer flag read and written by several threads; non-zero means
// "abort" where it is handed in as an abort flag, and it doubles as a small
// counted budget (sampling) through tryTake.
#include <atomic>

#include "FLR/FlrExport.h"

class FLR_EXPORT JxSafeFlags {
  public:
    explicit JxSafeFlags(int value = 0) : v_(value) {}
    JxSafeFlags(const JxSafeFlags&) = delete;
    JxSafeFlags& operator=(const JxSafeFlags&) = delete;

    int get() const { return v_.load(std::memory_order_acquire); }
    void set(int value) { v_.store(value, std::memory_order_release); }
    bool isSet() const { return get() != 0; }
    int add(int delta) { return v_.fetch_add(delta, std::memory_order_acq_rel) + delta; }
    // Takes one unit when the value is positive; false when none is left.
    bool tryTake() {
        int cur = get();
        while (cur > 0) {
            if (v_.compare_exchange_weak(cur, cur - 1, std::memory_order_acq_rel)) return true;
        }
        return false;
    }

  private:
    std::atomic<int> v_;
};
