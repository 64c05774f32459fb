// Python objects the modules need again and again, created on first use.
#pragma once

#include "runtime/ref.hpp"

#include <cstddef>

namespace zelkor {

// An interned identifier or text, created on first use. Interned strings are
// immortal, so the cached pointer is never released.
class Name {
public:
    constexpr explicit Name(const char* text) noexcept : text_(text) {}
    // Borrowed; null with an exception set if the string cannot be made.
    PyObject* get() noexcept;
    const char* text() const noexcept { return text_; }

private:
    const char* text_;
    PyObject* interned_ = nullptr;
};

// A constant object made by `make` on first use and kept for the life of the
// process (the modules load into one interpreter only).
class Constant {
public:
    using Factory = PyObject* (*)();
    constexpr explicit Constant(Factory make) noexcept : make_(make) {}
    // Borrowed; null with an exception set if it cannot be made.
    PyObject* get() noexcept;

private:
    Factory make_;
    PyObject* object_ = nullptr;
};

// The names of a call's keyword arguments, as the tuple vectorcall expects,
// made on first use and kept for the life of the process.
PyObject* make_keyword_names(const char* const* texts, std::size_t count) noexcept;

template <std::size_t N>
class KeywordNames {
public:
    template <typename... Texts>
    constexpr explicit KeywordNames(Texts... texts) noexcept : texts_{texts...} {}
    // Borrowed; null with an exception set if it cannot be made.
    PyObject* get() noexcept {
        if (tuple_ == nullptr) {
            tuple_ = make_keyword_names(texts_, N);
        }
        return tuple_;
    }
    static constexpr Py_ssize_t size() noexcept { return N; }

private:
    const char* texts_[N];
    PyObject* tuple_ = nullptr;
};

template <typename... Texts>
KeywordNames(Texts...) -> KeywordNames<sizeof...(Texts)>;

}  // namespace zelkor
