// Attribute access of the function objects, as on a Python function.
#include "runtime/internal.hpp"

#include <cstddef>
#include <utility>

namespace zelkor {
namespace {

Function* as_function(PyObject* object) noexcept {
    return reinterpret_cast<Function*>(object);
}

// The getters and setters below serve several fields: `offset` (the
// closure of their PyGetSetDef) says which.
void* offset_of(std::size_t offset) noexcept {
    return reinterpret_cast<void*>(offset);
}

PyObject*& member_at(PyObject* self, void* offset) noexcept {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) +
                                         reinterpret_cast<std::ptrdiff_t>(offset));
}

// The writable fields are guarded by the function's critical section: a
// reader takes its reference inside it, and a writer releases the value it
// replaces outside it (releasing may run other code).

PyObject* get_or_none(PyObject* self, void* offset) noexcept {
    PyObject* value;
    Py_BEGIN_CRITICAL_SECTION(self);
    value = Py_XNewRef(member_at(self, offset));
    Py_END_CRITICAL_SECTION();
    return value ? value : Py_NewRef(Py_None);
}

// Stores `value` (a new reference, or null) in the field at `offset`.
void replace(PyObject* self, void* offset, PyObject* value) noexcept {
    PyObject* old;
    Py_BEGIN_CRITICAL_SECTION(self);
    old = std::exchange(member_at(self, offset), value);
    Py_END_CRITICAL_SECTION();
    Py_XDECREF(old);
}

int set_any(PyObject* self, PyObject* value, void* offset) noexcept {
    replace(self, offset, Py_XNewRef(value));
    return 0;
}

int set_str(PyObject* self, PyObject* value, void* offset) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ and __qualname__ must be set to a string object");
        return -1;
    }
    replace(self, offset, Py_NewRef(value));
    return 0;
}

// An empty dict after deletion, as for a Python function.
PyObject* get_annotations(PyObject* self, void*) noexcept {
    Function& f = *as_function(self);
    PyObject* annotations;
    Py_BEGIN_CRITICAL_SECTION(self);
    if (f.annotations == nullptr) {
        f.annotations = PyDict_New();
    }
    annotations = Py_XNewRef(f.annotations);
    Py_END_CRITICAL_SECTION();
    return annotations;
}

int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    replace(self, reinterpret_cast<void*>(offsetof(Function, annotations)), Py_XNewRef(value));
    return 0;
}

PyObject* get_kwdefaults(PyObject*, void*) noexcept {
    Py_RETURN_NONE;  // no keyword-only parameters
}

}  // namespace

PyGetSetDef function_getset[] = {
    {"__name__", get_or_none, set_str, nullptr, offset_of(offsetof(Function, name))},
    {"__qualname__", get_or_none, set_str, nullptr, offset_of(offsetof(Function, qualname))},
    {"__doc__", get_or_none, set_any, nullptr, offset_of(offsetof(Function, doc))},
    {"__module__", get_or_none, set_any, nullptr, offset_of(offsetof(PyCFunctionObject, m_module))},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__defaults__", Py_T_OBJECT_EX, offsetof(Function, defaults), Py_READONLY, nullptr},
    {"__code__", Py_T_OBJECT_EX, offsetof(Function, code), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(Function, globals), Py_READONLY, nullptr},
    {"__builtins__", Py_T_OBJECT_EX, offsetof(Function, builtins), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace zelkor
