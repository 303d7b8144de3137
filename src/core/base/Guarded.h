#pragma once
#include <mutex>
#include <utility>

namespace corvid {

// A value and the mutex that guards it, so that the value cannot be reached
// without the lock. Fields that must change together go into one struct in
// one Guarded; with() runs a step on it under the lock. Any thread.
template <class T>
class Guarded {
public:
    Guarded() = default;
    explicit Guarded(T value) : value_(std::move(value)) {}
    Guarded(const Guarded&) = delete;
    Guarded& operator=(const Guarded&) = delete;

    T get() const
    {
        std::lock_guard lock(mutex_);
        return value_;
    }
    // The old value is freed after the lock is released.
    void set(T value)
    {
        {
            std::lock_guard lock(mutex_);
            std::swap(value_, value);
        }
    }
    // Runs f(value) under the lock and gives what f gives. f must not reach
    // this Guarded again.
    template <class F>
    decltype(auto) with(F&& f)
    {
        std::lock_guard lock(mutex_);
        return std::forward<F>(f)(value_);
    }
    template <class F>
    decltype(auto) with(F&& f) const
    {
        std::lock_guard lock(mutex_);
        return std::forward<F>(f)(value_);
    }

private:
    mutable std::mutex mutex_;
    T value_{};
};

} // namespace corvid
