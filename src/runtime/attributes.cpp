// Attribute access of the function objects, as on a Python function: the
// same checks, messages and audit events for each attribute either has.
#include "runtime/calls.hpp"
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

PyObject* get_field(PyObject* self, void* offset) noexcept {
    PyObject* value;
    Py_BEGIN_CRITICAL_SECTION(self);
    value = Py_XNewRef(member_at(self, offset));
    Py_END_CRITICAL_SECTION();
    return value;
}

PyObject* get_or_none(PyObject* self, void* offset) noexcept {
    PyObject* value = get_field(self, offset);
    return value ? value : Py_NewRef(Py_None);
}

// Stores `value` (a new reference, or null) in the field at `offset`, and
// `other_value` in the field at `other`, if given, at the same time.
void replace(PyObject* self, void* offset, PyObject* value, void* other = nullptr,
             PyObject* other_value = nullptr) noexcept {
    PyObject* old;
    PyObject* other_old = nullptr;
    Py_BEGIN_CRITICAL_SECTION(self);
    old = std::exchange(member_at(self, offset), value);
    if (other != nullptr) {
        other_old = std::exchange(member_at(self, other), other_value);
    }
    Py_END_CRITICAL_SECTION();
    Py_XDECREF(old);
    Py_XDECREF(other_old);
}

void* const kAnnotations = offset_of(offsetof(Function, annotations));
#if PY_VERSION_HEX >= 0x030E0000
void* const kAnnotate = offset_of(offsetof(Function, annotate));
#endif

// __doc__, __module__: anything, deleted as None.
int set_any(PyObject* self, PyObject* value, void* offset) noexcept {
    replace(self, offset, Py_XNewRef(value));
    return 0;
}

// __name__, __qualname__: a str, never deleted.
template <const char* message>
int set_str(PyObject* self, PyObject* value, void* offset) noexcept {
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    replace(self, offset, Py_NewRef(value));
    return 0;
}

constexpr char kNameMessage[] = "__name__ must be set to a string object";
constexpr char kQualnameMessage[] = "__qualname__ must be set to a string object";

// The audit events a Python function raises as code reads, sets or
// deletes the attributes that change what a call does.
bool audit_get(PyObject* self, const char* name) noexcept {
    return PySys_Audit("object.__getattr__", "Os", self, name) == 0;
}

bool audit_set(PyObject* self, const char* name, PyObject* value) noexcept {
    return value ? PySys_Audit("object.__setattr__", "OsO", self, name, value) == 0
                 : PySys_Audit("object.__delattr__", "Os", self, name) == 0;
}

// __defaults__ and __kwdefaults__: audited, None when unset.
template <const char* name>
PyObject* get_audited(PyObject* self, void* offset) noexcept {
    return audit_get(self, name) ? get_or_none(self, offset) : nullptr;
}

// ... set to a tuple (a dict), or None or deleted, which unsets them. The
// next call binds with the new defaults.
template <const char* name, int (*check)(PyObject*), const char* message>
int set_audited(PyObject* self, PyObject* value, void* offset) noexcept {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    if (!audit_set(self, name, value)) {
        return -1;
    }
    replace(self, offset, Py_XNewRef(value));
    return 0;
}

int is_tuple(PyObject* value) noexcept {
    return PyTuple_Check(value);
}

int is_dict(PyObject* value) noexcept {
    return PyDict_Check(value);
}

constexpr char kDefaults[] = "__defaults__";
constexpr char kKwdefaults[] = "__kwdefaults__";
constexpr char kDefaultsMessage[] = "__defaults__ must be set to a tuple object";
constexpr char kKwdefaultsMessage[] = "__kwdefaults__ must be set to a dict object";

// __type_params__: a tuple, () when unset, never deleted.
PyObject* get_type_params(PyObject* self, void* offset) noexcept {
    PyObject* value = get_field(self, offset);
    return value ? value : PyTuple_New(0);
}

int set_type_params(PyObject* self, PyObject* value, void* offset) noexcept {
    if (value == nullptr || !PyTuple_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__type_params__ must be set to a tuple");
        return -1;
    }
    replace(self, offset, Py_NewRef(value));
    return 0;
}

// __closure__: always None, since a native function closes over nothing,
// and read-only, with the message of a read-only member.
PyObject* get_closure(PyObject*, void*) noexcept {
    Py_RETURN_NONE;
}

int refuse_readonly(PyObject*, PyObject*, void*) noexcept {
    PyErr_SetString(PyExc_AttributeError, "readonly attribute");
    return -1;
}

// __code__: what inspect reads the parameters from. The checks of a Python
// function run first; a code object that passes them is still refused,
// since the native body is no code object a new one could stand in for.
PyObject* get_code(PyObject* self, void*) noexcept {
    return audit_get(self, "__code__") ? Py_NewRef(as_function(self)->code) : nullptr;
}

int set_code(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr || !PyCode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__code__ must be set to a code object");
        return -1;
    }
    if (!audit_set(self, "__code__", value)) {
        return -1;
    }
    Ref free_variables = Ref::steal(PyCode_GetFreevars(reinterpret_cast<PyCodeObject*>(value)));
    if (!free_variables) {
        return -1;
    }
    if (const Py_ssize_t count = PyTuple_GET_SIZE(free_variables.get()); count != 0) {
        Ref name = Ref::steal(get_field(self, offset_of(offsetof(Function, name))));
        PyErr_Format(PyExc_ValueError, "%U() requires a code object with %zd free vars, not %zd", name.get(),
                     Py_ssize_t{0}, count);
        return -1;
    }
    return refuse_readonly(self, value, nullptr);
}

#if PY_VERSION_HEX >= 0x030E0000

// From 3.14 the annotations may be given by __annotate__, called with the
// format VALUE (1) the first time they are read.
Ref call_annotate(PyObject* annotate) noexcept {
    Ref format = Ref::steal(PyLong_FromLong(1));
    Ref annotations = format ? call(annotate, format.get()) : Ref();
    if (annotations && !PyDict_Check(annotations.get())) {
#if PY_VERSION_HEX >= 0x030F0000
        PyErr_Format(PyExc_TypeError, "__annotate__() must return a dict, not %T", annotations.get());
#else
        PyErr_Format(PyExc_TypeError, "__annotate__ returned non-dict of type '%.100s'",
                     Py_TYPE(annotations.get())->tp_name);
#endif
        return {};
    }
    return annotations;
}

// The annotations: those stored; else, if __annotate__ is callable, what
// it gives, stored; else a new empty dict, stored.
PyObject* get_annotations(PyObject* self, void*) noexcept {
    Function& f = *as_function(self);
    PyObject* annotations;
    Ref annotate;
    Py_BEGIN_CRITICAL_SECTION(self);
    annotations = Py_XNewRef(f.annotations);
    if (annotations == nullptr && f.annotate != nullptr && PyCallable_Check(f.annotate)) {
        annotate = Ref::borrow(f.annotate);
    }
    Py_END_CRITICAL_SECTION();
    if (annotations != nullptr) {
        return annotations;
    }
    // Called outside the critical section: it runs Python code.
    Ref made = annotate ? call_annotate(annotate.get()) : Ref::steal(PyDict_New());
    if (!made) {
        return nullptr;
    }
    Py_BEGIN_CRITICAL_SECTION(self);
    if (f.annotations == nullptr) {  // unless stored meanwhile
        f.annotations = Py_NewRef(made.get());
    }
    annotations = Py_NewRef(f.annotations);
    Py_END_CRITICAL_SECTION();
    return annotations;
}

// Setting or deleting the annotations drops __annotate__.
void replace_annotations(PyObject* self, PyObject* value) noexcept {
    replace(self, kAnnotations, value, kAnnotate, nullptr);
}

PyObject* get_annotate(PyObject* self, void*) noexcept {
    return get_or_none(self, kAnnotate);
}

// A callable (which drops the stored annotations) or None; never deleted.
int set_annotate(PyObject* self, PyObject* value, void*) noexcept {
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
        return -1;
    }
    if (value == Py_None) {
        replace(self, kAnnotate, nullptr);
        return 0;
    }
    if (!PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
        return -1;
    }
    replace(self, kAnnotate, Py_NewRef(value), kAnnotations, nullptr);
    return 0;
}

#else

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

void replace_annotations(PyObject* self, PyObject* value) noexcept {
    replace(self, kAnnotations, value);
}

#endif

// A dict, or None or deleted, which unsets them.
int set_annotations(PyObject* self, PyObject* value, void*) noexcept {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    replace_annotations(self, Py_XNewRef(value));
    return 0;
}

}  // namespace

PyGetSetDef function_getset[] = {
    {"__name__", get_or_none, set_str<kNameMessage>, nullptr, offset_of(offsetof(Function, name))},
    {"__qualname__", get_or_none, set_str<kQualnameMessage>, nullptr, offset_of(offsetof(Function, qualname))},
    {"__doc__", get_or_none, set_any, nullptr, offset_of(offsetof(Function, doc))},
    {"__module__", get_or_none, set_any, nullptr, offset_of(offsetof(PyCFunctionObject, m_module))},
    {"__code__", get_code, set_code, nullptr, nullptr},
    {"__defaults__", get_audited<kDefaults>, set_audited<kDefaults, is_tuple, kDefaultsMessage>, nullptr,
     offset_of(offsetof(Function, defaults))},
    {"__kwdefaults__", get_audited<kKwdefaults>, set_audited<kKwdefaults, is_dict, kKwdefaultsMessage>, nullptr,
     offset_of(offsetof(Function, kwdefaults))},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
#if PY_VERSION_HEX >= 0x030E0000
    {"__annotate__", get_annotate, set_annotate, nullptr, nullptr},
#endif
    {"__type_params__", get_type_params, set_type_params, nullptr, offset_of(offsetof(Function, type_params))},
    {"__closure__", get_closure, refuse_readonly, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__globals__", Py_T_OBJECT_EX, offsetof(Function, globals), Py_READONLY, nullptr},
    {"__builtins__", Py_T_OBJECT_EX, offsetof(Function, builtins), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

}  // namespace zelkor
