// Calls into Python objects without building bound methods or argument tuples.
#pragma once

#include "runtime/cached.hpp"

#include <cstring>

namespace zelkor {

// call(callable, self, *args, **kwargs) for a vectorcall's arguments: self
// goes in the slot before them when the caller lends it, otherwise in front
// of a copy of them.
inline PyObject* call_with_self(vectorcallfunc call, PyObject* callable, PyObject* self, PyObject* const* args,
                                std::size_t nargsf, PyObject* kwnames) noexcept {
    const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
    if (nargsf & PY_VECTORCALL_ARGUMENTS_OFFSET) {
        PyObject** with_self = const_cast<PyObject**>(args) - 1;
        PyObject* lent = with_self[0];
        with_self[0] = self;
        PyObject* result = call(callable, with_self, positional + 1, kwnames);
        with_self[0] = lent;
        return result;
    }
    const Py_ssize_t total = positional + (kwnames ? PyTuple_GET_SIZE(kwnames) : 0);
    constexpr Py_ssize_t on_stack = 8;  // arguments; more are copied to the heap
    PyObject* small[on_stack + 1];
    PyObject** with_self = total <= on_stack ? small : PyMem_New(PyObject*, total + 1);
    if (with_self == nullptr) {
        return PyErr_NoMemory();
    }
    with_self[0] = self;
    std::memcpy(with_self + 1, args, static_cast<std::size_t>(total) * sizeof(PyObject*));
    PyObject* result = call(callable, with_self, positional + 1, kwnames);
    if (with_self != small) {
        PyMem_Free(with_self);
    }
    return result;
}

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
