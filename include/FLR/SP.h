#pragma once
// Intrusive shared pointer: the count lives in the object (SPEnabled), so an
// SP can be made again from a raw pointer to an object already shared.
#include <atomic>
#include <cstddef>
#include <utility>

#include "FLR/FlrExport.h"

class FLR_EXPORT SPEnabled {
  public:
    SPEnabled() = default;
    SPEnabled(const SPEnabled&) : refs_(0) {}
    SPEnabled& operator=(const SPEnabled&) { return *this; }
    virtual ~SPEnabled() = default;

    void spAddRef() const { refs_.fetch_add(1, std::memory_order_relaxed); }
    // Deletes the object when the last reference goes.
    void spRelease() const {
        if (refs_.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }
    int spRefCount() const { return refs_.load(std::memory_order_acquire); }

  private:
    mutable std::atomic<int> refs_{0};
};

template <class T>
class SP {
  public:
    SP() = default;
    SP(std::nullptr_t) {}
    SP(T* p) : p_(p) {
        if (p_) p_->spAddRef();
    }
    SP(const SP& o) : p_(o.p_) {
        if (p_) p_->spAddRef();
    }
    SP(SP&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    template <class U>
    SP(const SP<U>& o) : p_(o.get()) {
        if (p_) p_->spAddRef();
    }
    ~SP() {
        if (p_) p_->spRelease();
    }

    SP& operator=(SP o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T& operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }
    void reset() { SP().swap(*this); }
    void swap(SP& o) noexcept { std::swap(p_, o.p_); }

    // Shares the object as a derived type when it is one, else null.
    template <class U>
    SP<U> cast() const {
        return SP<U>(dynamic_cast<U*>(p_));
    }

    friend bool operator==(const SP& a, const SP& b) { return a.p_ == b.p_; }
    friend bool operator==(const SP& a, std::nullptr_t) { return a.p_ == nullptr; }
    friend bool operator<(const SP& a, const SP& b) { return a.p_ < b.p_; }

  private:
    T* p_ = nullptr;
};
