// Python objects the modules need again and again, made on first use and
// kept until the library's runtime state is released.
#pragma once

#include "runtime/ref.hpp"

#include <atomic>
#include <cstddef>

namespace zelkor {

// Shared by every thread: published once, atomically (a thread that finds
// the pointer set sees the whole object); threads that make one at the same
// time keep the first and release their own.
class CachedObject {
public:
    // Borrowed; null with an exception set if it cannot be made.
    PyObject* get() noexcept {
        PyObject* object = object_.load(std::memory_order_acquire);
        return object != nullptr ? object : make_and_keep();
    }

protected:
    constexpr CachedObject() noexcept = default;
    ~CachedObject() = default;

private:
    // A new reference, or null with an exception set.
    virtual PyObject* make() const noexcept = 0;
    PyObject* make_and_keep() noexcept;

    friend class RuntimeState;
    std::atomic<PyObject*> object_{nullptr};
    CachedObject* next_ = nullptr;  // in the state's list of what it keeps; guarded by the state
};

// An interned identifier or text.
class Name final : public CachedObject {
public:
    constexpr explicit Name(const char* text) noexcept : text_(text) {}
    const char* text() const noexcept { return text_; }

private:
    PyObject* make() const noexcept override;
    const char* text_;
};

// An immutable object made by `factory`.
class CachedValue final : public CachedObject {
public:
    using Factory = PyObject* (*)();
    constexpr explicit CachedValue(Factory factory) noexcept : factory_(factory) {}

private:
    PyObject* make() const noexcept override { return factory_(); }
    Factory factory_;
};

// A tuple of interned strings, in the order given.
Ref make_name_tuple(const char* const* texts, std::size_t count) noexcept;

// The names of a call's keyword arguments, as the tuple vectorcall expects.
template <std::size_t N>
class KeywordNames final : public CachedObject {
public:
    template <typename... Texts>
    constexpr explicit KeywordNames(Texts... texts) noexcept : texts_{texts...} {}
    static constexpr Py_ssize_t size() noexcept { return N; }

private:
    PyObject* make() const noexcept override { return make_name_tuple(texts_, N).release(); }
    const char* texts_[N];
};

template <typename... Texts>
KeywordNames(Texts...) -> KeywordNames<sizeof...(Texts)>;

}  // namespace zelkor
