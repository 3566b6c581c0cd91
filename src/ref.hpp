// Ownership of Python references made explicit: a Ref owns exactly one
// reference and releases it when it goes out of scope; a plain PyObject* is
// always borrowed and never released.
#pragma once

#include "compat.hpp"

#include <utility>

class Ref {
public:
    Ref() = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : ptr_(other.release()) {}
    Ref &operator=(Ref &&other) noexcept {
        reset(other.release());
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a new reference, as the C API returns them; null stays null.
    static Ref steal(PyObject *owned) { return Ref(owned); }
    // Takes a reference of its own to a borrowed object.
    static Ref borrow(PyObject *borrowed) {
        Py_XINCREF(borrowed);
        return Ref(borrowed);
    }

    PyObject *get() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }

    // Hands the reference to the caller, as a C API function returning a new
    // reference does.
    PyObject *release() { return std::exchange(ptr_, nullptr); }

    // Releases the old reference only after the new one is in place, so a
    // destructor that runs Python code never sees a dangling pointer here.
    void reset(PyObject *owned = nullptr) {
        PyObject *old = std::exchange(ptr_, owned);
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject *owned) : ptr_(owned) {}
    PyObject *ptr_ = nullptr;
};
