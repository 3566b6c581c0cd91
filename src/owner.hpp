// Ownership of a foreign resource (a libcups connection or IPP message) made
// explicit the way Ref does it for Python references: an Owner releases what
// it holds when it goes out of scope, a plain pointer never does.
#pragma once

#include <utility>

template <typename T, void (*Free)(T *)>
class Owner {
public:
    Owner() = default;
    explicit Owner(T *owned) : ptr_(owned) {}
    Owner(const Owner &) = delete;
    Owner &operator=(const Owner &) = delete;
    Owner(Owner &&other) noexcept : ptr_(other.release()) {}
    Owner &operator=(Owner &&other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Owner() { reset(); }

    T *get() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    T *release() { return std::exchange(ptr_, nullptr); }
    void reset(T *owned = nullptr) {
        T *old = std::exchange(ptr_, owned);
        if (old != nullptr) {
            Free(old);
        }
    }

private:
    T *ptr_ = nullptr;
};
