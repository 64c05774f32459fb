// Owning handle for one strong reference to a Python object.
#pragma once

#include "runtime/compat.hpp"

#include <utility>

namespace zelkor {

// Holds one strong reference, or none, and releases it when it goes out of
// scope. Move-only, so ownership is always visible at the call site.
class Ref {
public:
    Ref() noexcept = default;
    ~Ref() { Py_XDECREF(object_); }

    Ref(Ref&& other) noexcept : object_(other.release()) {}
    Ref& operator=(Ref&& other) noexcept {
        Ref(std::move(other)).swap(*this);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;

    // Takes over a new reference (the result of most C API calls); a null
    // result makes an empty Ref, so checking the Ref checks the call.
    [[nodiscard]] static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // Adds a reference of its own to a borrowed object.
    [[nodiscard]] static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the caller (a function returning a new reference).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void swap(Ref& other) noexcept { std::swap(object_, other.object_); }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace zelkor
