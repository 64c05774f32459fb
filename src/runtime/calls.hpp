// Calls into Python objects without building bound methods or argument tuples.
#pragma once

#include "runtime/cached.hpp"

namespace zelkor {

// callable(*args)
template <typename... Args>
Ref call(PyObject* callable, Args... args) noexcept {
    // The first slot is spare, so that a callee may use it for `self`.
    PyObject* stack[] = {nullptr, args...};
    const std::size_t count = sizeof...(Args) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    return Ref::steal(PyObject_Vectorcall(callable, stack + 1, count, nullptr));
}

// self.<name>(*args, **dict(zip(keywords, the last values)))
template <std::size_t K, typename... Args>
Ref call_method_kw(PyObject* self, Name& name, KeywordNames<K>& keywords,
                   Args... args) noexcept {
    static_assert(sizeof...(Args) >= K, "each keyword needs a value");
    PyObject* method = name.get();
    PyObject* names = keywords.get();
    if (method == nullptr || names == nullptr) {
        return {};
    }
    PyObject* stack[] = {nullptr, self, args...};
    const std::size_t positional = (1 + sizeof...(Args) - K) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    return Ref::steal(PyObject_VectorcallMethod(method, stack + 1, positional, names));
}

// self.<name>(*args)
template <typename... Args>
Ref call_method(PyObject* self, Name& name, Args... args) noexcept {
    PyObject* method = name.get();
    if (method == nullptr) {
        return {};
    }
    PyObject* stack[] = {nullptr, self, args...};
    const std::size_t count = (1 + sizeof...(Args)) | PY_VECTORCALL_ARGUMENTS_OFFSET;
    return Ref::steal(PyObject_VectorcallMethod(method, stack + 1, count, nullptr));
}

// self.<name>
inline Ref get_attr(PyObject* self, Name& name) noexcept {
    PyObject* attribute = name.get();
    return attribute ? Ref::steal(PyObject_GetAttr(self, attribute)) : Ref();
}

// self.<name> = value
inline bool set_attr(PyObject* self, Name& name, PyObject* value) noexcept {
    PyObject* attribute = name.get();
    return attribute && PyObject_SetAttr(self, attribute, value) == 0;
}

}  // namespace zelkor
